#include "archive/arcZipDecode.h"

#include <algorithm>
#include <vector>

#include "archive/arcBZip.h"
#include "archive/arcInflate.h"
#include "archive/arcLegacy.h"
#include "archive/arcStreams.h"

namespace arc {

namespace {
// Method 0: copy in blocks of at most 32 KiB; the write routine advances the progress, and the
// event queue is pumped after each block.
ZipDecodeStatus CopyStored(ZipEntryInput& in, ZipEntryOutput& out) {
  std::vector<uint8_t> buf(32768);
  while (in.Remaining() > 0) {
    if (out.Cancelled()) return ZipDecodeStatus::Cancelled;
    size_t k = in.Read(buf.data(), buf.size());
    if (k == 0) return ZipDecodeStatus::DataError;  // the archive ends inside the entry
    if (!out.Write(buf.data(), k)) return ZipDecodeStatus::OutputStopped;
    out.Pump();
  }
  return ZipDecodeStatus::Ok;
}

// The entry's data as the decoders' source stream: forward reads only, already deciphered and
// never past the entry.
class EntryStream : public TStream32 {
public:
  explicit EntryStream(ZipEntryInput& in) : in_(in) {}
  int32_t Read(void* buffer, int32_t count) override {
    if (count <= 0) return 0;
    size_t k = in_.Read(static_cast<uint8_t*>(buffer), static_cast<size_t>(count));
    pos_ += static_cast<int64_t>(k);
    return static_cast<int32_t>(k);
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return pos_; }  // the data is read once, forwards
  int64_t GetSize() override { return pos_ + static_cast<int64_t>(in_.Remaining()); }

private:
  ZipEntryInput& in_;
  int64_t pos_ = 0;
};

class Host : public TArcEntryHost {
public:
  explicit Host(ZipEntryOutput& out) : out_(out) {}
  int64_t WriteOutput(const uint8_t* data, size_t count) override {
    return out_.Write(data, count) ? static_cast<int64_t>(count) : 0;
  }
  bool Cancelled() override { return out_.Cancelled(); }
  void ProcessMessages() override { out_.Pump(); }

private:
  ZipEntryOutput& out_;
};

ZipDecodeStatus Map(TDecodeResult r) {
  switch (r) {
    case TDecodeResult::Ok: return ZipDecodeStatus::Ok;
    case TDecodeResult::WriteFailed: return ZipDecodeStatus::OutputStopped;
    case TDecodeResult::Cancelled: return ZipDecodeStatus::Cancelled;
    default: return ZipDecodeStatus::DataError;
  }
}
}  // namespace

bool ZipMethodSupported(uint16_t method) { return method <= 6 || method == 8 || method == 9 || method == 12; }

ZipDecodeStatus DecodeZipEntry(uint16_t method, ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked,
                               uint16_t flags) {
  if (method == 0) return CopyStored(in, out);
  if (!ZipMethodSupported(method)) return ZipDecodeStatus::DataError;
  if (method == 1) return Unshrink(in, out, unpacked);
  if (method >= 2 && method <= 5) return Unreduce(in, out, unpacked, method);
  EntryStream src(in);
  Host host(out);
  TArcEntryInfo info;
  info.packedSize = in.Remaining();
  info.unpackedSize = unpacked;
  info.encKind = 13;  // the entry reader deciphers already
  switch (method) {
    case 8: return Map(InflateDeflated(host, src, info));
    case 6: return Map(Explode(host, src, info, flags));
    case 9: return Map(InflateDeflate64(host, src, info));
    default: return Map(Bz2DecompressEntry(host, src, info));
  }
}

}  // namespace arc
