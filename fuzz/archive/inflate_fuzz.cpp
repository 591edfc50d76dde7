// Fuzz target of the entry decoders. The first byte picks the mode:
//   0-3  Deflate: the streaming decoder (in chunks taken from the byte) and the block decoder
//        against zlib's inflate, which must agree on success and on the bytes;
//   4-5  Deflate64: the streaming and the block decoder must agree with each other;
//   6-7  bzip2 entry driver: must end, never write more than the declared size.
// Every decoder must end without reading past the entry or writing past the declared size.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/arcBZip.h"
#include "archive/arcInflate.h"
#include "archive/arcInflate64.h"
#include "archive/arcStreams.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kMaxOut = 1 << 20;

class Source : public arc::TStream32 {
public:
  Source(const uint8_t* d, size_t n) : p(d), size(n) {}
  int32_t Read(void* b, int32_t n) override {
    const int64_t k = std::min<int64_t>(n, static_cast<int64_t>(size) - pos);
    if (k <= 0) return 0;
    std::memcpy(b, p + pos, static_cast<size_t>(k));
    pos += k;
    return static_cast<int32_t>(k);
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t off, arc::TSeekOrigin o) override {
    if (o == arc::TSeekOrigin::soCurrent) off += pos;
    if (o == arc::TSeekOrigin::soEnd) off += static_cast<int64_t>(size);
    return pos = off;
  }
  const uint8_t* p;
  size_t size;
  int64_t pos = 0;
};

class Sink : public arc::TArcEntryHost {
public:
  int64_t WriteOutput(const uint8_t* d, size_t n) override {
    out.insert(out.end(), d, d + n);
    return static_cast<int64_t>(n);
  }
  Bytes out;
};

bool ZlibInflate(const uint8_t* d, size_t n, Bytes& out) {
  z_stream s{};
  inflateInit2(&s, -15);
  s.next_in = const_cast<Bytef*>(d);
  s.avail_in = static_cast<uInt>(n);
  uint8_t buf[16384];
  int r;
  do {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    r = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
  } while (r == Z_OK && out.size() <= kMaxOut);
  inflateEnd(&s);
  return r == Z_STREAM_END;
}

bool ArcStream(const uint8_t* d, size_t n, size_t inChunk, size_t outChunk, bool d64, Bytes& out) {
  arc::TZStreamRec s;
  if ((arc::inflateInit2)(&s, -15, arc::kInflateRecordCheck, d64) != arc::Z_ARC_OK) abort();
  size_t fed = 0;
  Bytes buf(outChunk);
  int r;
  for (;;) {
    if (s.avail_in == 0 && fed < n) {
      const size_t k = std::min(inChunk, n - fed);
      s.next_in = d + fed;
      s.avail_in = static_cast<uint32_t>(k);
      fed += k;
    }
    s.next_out = buf.data();
    s.avail_out = static_cast<uint32_t>(outChunk);
    r = arc::inflate(&s, arc::Z_ARC_NO_FLUSH);
    out.insert(out.end(), buf.data(), buf.data() + (outChunk - s.avail_out));
    if (r == arc::Z_ARC_STREAM_END || out.size() > kMaxOut) break;
    if (r < 0 && (r != arc::Z_ARC_BUF_ERROR || (fed == n && s.avail_in == 0))) break;
  }
  if (s.total_in > n) abort();
  arc::inflateEnd(&s);
  return r == arc::Z_ARC_STREAM_END;
}

arc::TDecodeResult Block(const uint8_t* d, size_t n, uint64_t declared, arc::TInflateVariant v, Bytes& out) {
  Source src(d, n);
  Sink sink;
  arc::TArcEntryInfo info;
  info.packedSize = n;
  info.unpackedSize = declared;
  const auto r = arc::Inflate64Decode(sink, src, info, v);
  if (src.pos > static_cast<int64_t>(n) || sink.out.size() > declared) abort();
  out = std::move(sink.out);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] & 7;
  const size_t inChunk = 1 + (data[0] >> 3) * 37;
  const size_t outChunk = 1 + (data[0] >> 3) * 1021;
  const uint8_t* d = data + 1;
  const size_t n = size - 1;
  if (mode < 4) {
    Bytes z, a;
    const bool zok = ZlibInflate(d, n, z);
    const bool aok = ArcStream(d, n, inChunk, outChunk, false, a);
    if (z.size() <= kMaxOut) {
      if (zok != aok) abort();
      if (zok && z != a) abort();
      if (!zok && !std::equal(a.begin(), a.begin() + static_cast<long>(std::min(a.size(), z.size())), z.begin()))
        abort();
      Bytes b;
      const auto br = Block(d, n, zok ? z.size() : kMaxOut, arc::TInflateVariant::Deflate, b);
      if (zok && (br != arc::TDecodeResult::Ok || b != z)) abort();
      if (!zok && br == arc::TDecodeResult::Ok) abort();
    }
  } else if (mode < 6) {
    Bytes a, b;
    const bool aok = ArcStream(d, n, inChunk, outChunk, true, a);
    if (a.size() <= kMaxOut) {
      const auto br = Block(d, n, aok ? a.size() : kMaxOut, arc::TInflateVariant::Deflate64, b);
      if (aok != (br == arc::TDecodeResult::Ok)) abort();
      if (aok && a != b) abort();
    }
  } else {
    Source src(d, n);
    Sink sink;
    arc::TArcEntryInfo info;
    info.packedSize = n;
    info.unpackedSize = 1 + (data[0] >> 3) * 40000u;
    arc::Bz2DecompressEntry(sink, src, info);
    if (src.pos > static_cast<int64_t>(n) || sink.out.size() > info.unpackedSize) abort();
  }
  return 0;
}
