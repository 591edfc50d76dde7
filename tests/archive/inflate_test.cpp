// The Deflate decoders against zlib: the streaming decoder (method 8) and the block decoder in
// its Deflate mode, on streams of every zlib strategy and level, in any input/output chunking.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <initializer_list>
#include <random>
#include <tuple>
#include <utility>

#include "archive/arcCrc32.h"
#include "archive/arcInflate.h"
#include "archive/arcInflate64.h"
#include "archive/arcStreams.h"
#include "inflate_helpers.h"

using namespace inflatetest;
using arc::TDecodeResult;

namespace {

struct StreamResult {
  Bytes out;
  int last = 0;  // last decoder result
  uint64_t totalIn = 0;
  const char* msg = nullptr;
};

// Feeds inChunk input bytes and offers outChunk output bytes per call until the stream ends or
// no progress is possible with the whole input given.
StreamResult ArcInflate(const Bytes& in, size_t inChunk, size_t outChunk, int windowBits = -15, bool d64 = false) {
  StreamResult r;
  arc::TZStreamRec s;
  EXPECT_EQ((arc::inflateInit2)(&s, windowBits, arc::kInflateRecordCheck, d64), arc::Z_ARC_OK);
  size_t fed = 0;
  Bytes buf(outChunk);
  for (int guard = 0;; ++guard) {
    if (guard > 50'000'000) {
      ADD_FAILURE() << "decoder does not terminate";
      break;
    }
    if (s.avail_in == 0 && fed < in.size()) {
      const size_t k = std::min(inChunk, in.size() - fed);
      s.next_in = in.data() + fed;
      s.avail_in = static_cast<uint32_t>(k);
      fed += k;
    }
    s.next_out = buf.data();
    s.avail_out = static_cast<uint32_t>(outChunk);
    r.last = arc::inflate(&s, arc::Z_ARC_NO_FLUSH);
    r.out.insert(r.out.end(), buf.data(), buf.data() + (outChunk - s.avail_out));
    if (r.last == arc::Z_ARC_STREAM_END) break;
    if (r.last < 0 && (r.last != arc::Z_ARC_BUF_ERROR || (fed == in.size() && s.avail_in == 0))) break;
  }
  r.totalIn = s.total_in;
  r.msg = s.msg;
  arc::inflateEnd(&s);
  return r;
}

// Block decoder over an in-memory entry.
TDecodeResult BlockDecode(const Bytes& in, uint64_t unpacked, RecordingHost& host, arc::TInflateVariant v,
                          MemStream* src = nullptr) {
  MemStream local(in);
  MemStream& s = src ? *src : local;
  arc::TArcEntryInfo info;
  info.packedSize = in.size();
  info.unpackedSize = unpacked;
  return arc::Inflate64Decode(host, s, info, v);
}

// Hand-made fixed blocks.
Bytes FixedBlock(const std::function<void(BitWriter&)>& body, bool endOfBlock = true) {
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  body(w);
  if (endOfBlock) w.FixedLitLen(256);
  return w.Finish();
}

// ------------------------------------------------------------------ zlib round trips

enum class Kind { Random, Xml, Runs, Mixed };
Bytes Make(Kind k, size_t n, uint32_t seed) {
  switch (k) {
    case Kind::Random: return RandomBytes(n, seed);
    case Kind::Xml: return XmlLike(n, seed);
    case Kind::Runs: return Runs(n, seed);
    case Kind::Mixed: return Mixed(n, seed);
  }
  return {};
}

class ZlibRoundTrip : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ZlibRoundTrip, BothDecodersGiveZlibsInputBack) {
  const auto [strategy, level] = GetParam();
  for (Kind k : {Kind::Random, Kind::Xml, Kind::Runs, Kind::Mixed}) {
    const Bytes data = Make(k, 150000, 7 + static_cast<uint32_t>(k));
    const Bytes z = ZDeflate(data, level, strategy);
    const auto r = ArcInflate(z, z.size(), 32768);
    ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END) << (r.msg ? r.msg : "") << " kind " << int(k);
    ASSERT_EQ(r.out, data) << "kind " << int(k);
    EXPECT_EQ(r.totalIn, z.size()) << "the decoder consumes exactly the stream";
    RecordingHost host;
    ASSERT_EQ(BlockDecode(z, data.size(), host, arc::TInflateVariant::Deflate), TDecodeResult::Ok);
    ASSERT_EQ(host.out, data);
  }
}

INSTANTIATE_TEST_SUITE_P(Strategies, ZlibRoundTrip,
                         ::testing::Combine(::testing::Values(Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                                              Z_FIXED),
                                            ::testing::Range(0, 10)));

TEST(Inflate, OneByteChunksOfInputAndOutput) {
  const Bytes data = Mixed(70000, 3);
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    const Bytes z = ZDeflate(data, 6, strategy);
    const Bytes stored = ZDeflate(data, 0, Z_DEFAULT_STRATEGY);
    for (const Bytes* in : {&z, &stored}) {
      auto r = ArcInflate(*in, 1, 32768);
      ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END);
      EXPECT_EQ(r.out, data);
      r = ArcInflate(*in, in->size(), 1);
      ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END);
      EXPECT_EQ(r.out, data);
      r = ArcInflate(*in, 7, 3);
      ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END);
      EXPECT_EQ(r.out, data);
    }
  }
}

TEST(Inflate, RandomChunkBoundariesEverywhere) {
  // Input and output cut at random places, so that every state of the decoder is left and
  // resumed at some point; Deflate, and the Deflate64 variant on the stored stream (Deflate's
  // length code 285 means something else there).
  std::mt19937 g(77);
  const Bytes data = Mixed(200000, 78);
  const Bytes streams[] = {ZDeflate(data, 6, Z_DEFAULT_STRATEGY), ZDeflate(data, 1, Z_FIXED),
                           ZDeflate(data, 0, Z_DEFAULT_STRATEGY), ZDeflate(data, 9, Z_RLE)};
  for (const Bytes& z : streams) {
    for (bool d64 : {false, true}) {
      if (d64 && &z != &streams[2]) continue;
      arc::TZStreamRec s;
      ASSERT_EQ((arc::inflateInit2)(&s, -15, arc::kInflateRecordCheck, d64), arc::Z_ARC_OK);
      Bytes out, buf(70000);
      size_t fed = 0;
      int r = arc::Z_ARC_OK;
      for (int guard = 0; guard < 10000000 && r != arc::Z_ARC_STREAM_END; ++guard) {
        if (s.avail_in == 0 && fed < z.size()) {
          const size_t k = std::min<size_t>(1 + g() % (g() % 2 ? 20 : 5000), z.size() - fed);
          s.next_in = z.data() + fed;
          s.avail_in = static_cast<uint32_t>(k);
          fed += k;
        }
        const uint32_t room = 1 + g() % (g() % 2 ? 10 : 70000);
        s.next_out = buf.data();
        s.avail_out = room;
        r = arc::inflate(&s, 0);
        out.insert(out.end(), buf.data(), buf.data() + (room - s.avail_out));
        ASSERT_TRUE(r == arc::Z_ARC_OK || r == arc::Z_ARC_STREAM_END || r == arc::Z_ARC_BUF_ERROR)
            << r << " " << (s.msg ? s.msg : "") << " d64 " << d64 << " stream " << (&z - streams) << " out " << out.size()
            << " in " << s.total_in;
      }
      EXPECT_EQ(r, arc::Z_ARC_STREAM_END);
      EXPECT_EQ(out, data);
      EXPECT_EQ(s.total_out, data.size());
      arc::inflateEnd(&s);
    }
  }
}

TEST(Inflate, FirstCallWritesOnlyTheCallersRoom) {
  // The first output of a stream is decoded straight into the caller's buffer, which has no room
  // beyond avail_out: nothing is written past it, whatever the room and however the data ends
  // (long runs end in over-long match copies), and the rest of the stream, decoded in 32 KiB
  // pieces from the history the first call leaves, comes out right. The zlib-wrapped form checks
  // its Adler-32 over the same output.
  struct Case {
    Kind kind;
    int level, strategy;
  };
  const Case cases[] = {{Kind::Runs, 9, Z_RLE},
                        {Kind::Xml, 6, Z_DEFAULT_STRATEGY},
                        {Kind::Mixed, 1, Z_FIXED},
                        {Kind::Random, 0, Z_DEFAULT_STRATEGY}};
  constexpr size_t kGuard = 64;
  for (const Case& c : cases) {
    const Bytes data = Make(c.kind, 100000, 31);
    for (bool wrapped : {false, true}) {
      const Bytes z = ZDeflate(data, c.level, c.strategy, wrapped);
      for (size_t room : {data.size(), data.size() + 5, data.size() - 1, size_t{1}, size_t{40}, size_t{1000},
                          size_t{32768 + 3}}) {
        SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << " wrapped " << wrapped << " room " << room);
        arc::TZStreamRec s;
        ASSERT_EQ((arc::inflateInit2)(&s, wrapped ? 15 : -15), arc::Z_ARC_OK);
        Bytes buf(room + kGuard, 0xA5);
        s.next_in = z.data();
        s.avail_in = static_cast<uint32_t>(z.size());
        s.next_out = buf.data();
        s.avail_out = static_cast<uint32_t>(room);
        int r = arc::inflate(&s, arc::Z_ARC_NO_FLUSH);
        EXPECT_EQ(r, room >= data.size() ? arc::Z_ARC_STREAM_END : arc::Z_ARC_OK) << (s.msg ? s.msg : "");
        EXPECT_EQ(s.total_out, std::min(room, data.size()));
        EXPECT_EQ(Bytes(buf.begin() + static_cast<long>(room), buf.end()), Bytes(kGuard, 0xA5))
            << "written beyond the room";
        Bytes out(buf.begin(), buf.begin() + static_cast<long>(s.total_out));
        Bytes piece(32768);
        while (r == arc::Z_ARC_OK) {
          s.next_out = piece.data();
          s.avail_out = static_cast<uint32_t>(piece.size());
          r = arc::inflate(&s, arc::Z_ARC_NO_FLUSH);
          out.insert(out.end(), piece.data(), piece.data() + (piece.size() - s.avail_out));
        }
        EXPECT_EQ(r, arc::Z_ARC_STREAM_END) << (s.msg ? s.msg : "");
        EXPECT_EQ(out, data);
        arc::inflateEnd(&s);
      }
    }
  }
}

TEST(Inflate, BlockDecoderWithShortSourceReads) {
  // The archive stream may return less than asked (a volume boundary): the decoder goes on.
  const Bytes data = XmlLike(200000, 5);
  const Bytes z = ZDeflate(data, 9, Z_DEFAULT_STRATEGY);
  for (size_t piece : {1u, 13u, 1000u}) {
    MemStream src(z, piece);
    RecordingHost host;
    ASSERT_EQ(BlockDecode(z, data.size(), host, arc::TInflateVariant::Deflate, &src), TDecodeResult::Ok) << piece;
    EXPECT_EQ(host.out, data);
  }
}

TEST(Inflate, DistancesOfTheWholeWindow) {
  // zlib reaches back about 32,500 bytes; a random block repeated at that distance.
  Bytes a = RandomBytes(32400, 11);
  Bytes data = a;
  data.insert(data.end(), a.begin(), a.end());
  const Bytes z = ZDeflate(data, 9, Z_DEFAULT_STRATEGY);
  ASSERT_LT(z.size(), 40000u) << "zlib did use the far matches";
  auto r = ArcInflate(z, z.size(), 32768);
  ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END);
  EXPECT_EQ(r.out, data);
  RecordingHost host;
  ASSERT_EQ(BlockDecode(z, data.size(), host, arc::TInflateVariant::Deflate), TDecodeResult::Ok);
  EXPECT_EQ(host.out, data);
  // The longest distance, 32,768 (code 29 with all 13 extra bits set), made by hand.
  Bytes want;
  const Bytes h = FixedBlock([&want](BitWriter& w) {
    for (int i = 0; i < 32768; ++i) {
      const uint8_t c = static_cast<uint8_t>('A' + (i * 7 + i / 26) % 26);
      w.FixedLitLen(c);
      want.push_back(c);
    }
    w.FixedLitLen(284);  // length 227 + 5 extra bits
    w.Bits(31, 5);       // 258
    w.FixedDist(29);
    w.Bits(8191, 13);
    for (int i = 0; i < 258; ++i) want.push_back(want[want.size() - 32768]);
  });
  bool zok;
  ASSERT_EQ(ZInflate(h, zok), want);
  ASSERT_TRUE(zok);
  r = ArcInflate(h, 10, 32768);
  ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END);
  EXPECT_EQ(r.out, want);
  RecordingHost h2;
  ASSERT_EQ(BlockDecode(h, want.size(), h2, arc::TInflateVariant::Deflate), TDecodeResult::Ok);
  EXPECT_EQ(h2.out, want);
}

TEST(Inflate, SmallerWindowsRefuseDistancesBeyondThem) {
  const Bytes a = RandomBytes(3000, 12);
  Bytes data = a;
  data.insert(data.end(), a.begin(), a.end());  // distance 3000 > 2^10
  const Bytes z = ZDeflate(data, 9, Z_DEFAULT_STRATEGY);
  EXPECT_EQ(ArcInflate(z, z.size(), 4096, -12).out, data);
  const auto r = ArcInflate(z, z.size(), 4096, -10);
  EXPECT_EQ(r.last, arc::Z_ARC_DATA_ERROR);
}

TEST(Inflate, EmptyInputAndEmptyStream) {
  const Bytes z = ZDeflate({}, 6, Z_DEFAULT_STRATEGY);
  auto r = ArcInflate(z, z.size(), 100);
  EXPECT_EQ(r.last, arc::Z_ARC_STREAM_END);
  EXPECT_TRUE(r.out.empty());
  // No input at all: no progress possible.
  arc::TZStreamRec s;
  ASSERT_EQ((arc::inflateInit2)(&s, -15), arc::Z_ARC_OK);
  uint8_t b[10];
  s.next_out = b;
  s.avail_out = 10;
  EXPECT_EQ(arc::inflate(&s, arc::Z_ARC_NO_FLUSH), arc::Z_ARC_BUF_ERROR);
  EXPECT_EQ(arc::inflate(&s, arc::Z_ARC_FINISH), arc::Z_ARC_BUF_ERROR);
  arc::inflateEnd(&s);
}

TEST(Inflate, InitChecksArguments) {
  arc::TZStreamRec s;
  EXPECT_EQ((arc::inflateInit2)(&s, -15, 73), arc::Z_ARC_VERSION_ERROR);
  EXPECT_EQ((arc::inflateInit2)(&s, -7), arc::Z_ARC_STREAM_ERROR);
  EXPECT_EQ((arc::inflateInit2)(&s, -16), arc::Z_ARC_STREAM_ERROR);
  EXPECT_EQ((arc::inflateInit2)(&s, -16, arc::kInflateRecordCheck, true), arc::Z_ARC_STREAM_ERROR);
  ASSERT_EQ((arc::inflateInit2)(&s, -15, arc::kInflateRecordCheck, true), arc::Z_ARC_OK);
  arc::inflateEnd(&s);
  EXPECT_EQ(arc::inflate(&s, 0), arc::Z_ARC_STREAM_ERROR);
  EXPECT_EQ(arc::inflateEnd(&s), arc::Z_ARC_STREAM_ERROR);
}

TEST(Inflate, ResetDecodesASecondStream) {
  const Bytes d1 = XmlLike(5000, 1), d2 = Runs(7000, 2);
  const Bytes z1 = ZDeflate(d1, 6, Z_DEFAULT_STRATEGY), z2 = ZDeflate(d2, 1, Z_FIXED);
  arc::TZStreamRec s;
  ASSERT_EQ((arc::inflateInit2)(&s, -15), arc::Z_ARC_OK);
  for (const auto* p : {&z1, &z2}) {
    Bytes out(10000);
    s.next_in = p->data();
    s.avail_in = static_cast<uint32_t>(p->size());
    s.next_out = out.data();
    s.avail_out = 10000;
    ASSERT_EQ(arc::inflate(&s, 0), arc::Z_ARC_STREAM_END);
    out.resize(s.total_out);
    EXPECT_EQ(out, p == &z1 ? d1 : d2);
    EXPECT_EQ(s.total_in, p->size());
    arc::inflateReset(&s);
    EXPECT_EQ(s.total_out, 0u);
  }
  arc::inflateEnd(&s);
}

TEST(Inflate, ZlibWrappedForm) {
  const Bytes data = XmlLike(60000, 9);
  Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY, true);
  auto r = ArcInflate(z, 100, 1000, 15);
  ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END);
  EXPECT_EQ(r.out, data);
  Bytes bad = z;
  bad.back() ^= 1;  // Adler-32 trailer
  EXPECT_EQ(ArcInflate(bad, bad.size(), 1000, 15).last, arc::Z_ARC_DATA_ERROR);
  bad = z;
  bad[1] ^= 1;  // header check
  EXPECT_EQ(ArcInflate(bad, bad.size(), 1000, 15).last, arc::Z_ARC_DATA_ERROR);
  // A window larger than the decoder's is refused.
  EXPECT_EQ(ArcInflate(z, z.size(), 1000, 9).last, arc::Z_ARC_DATA_ERROR);
}

TEST(Inflate, PresetDictionaryCannotBeSupplied) {
  z_stream zs{};
  deflateInit(&zs, 6);
  const uint8_t dict[] = "dictionary";
  deflateSetDictionary(&zs, dict, sizeof dict);
  uint8_t in[] = "dictionary dictionary", out[100];
  zs.next_in = in;
  zs.avail_in = sizeof in;
  zs.next_out = out;
  zs.avail_out = sizeof out;
  deflate(&zs, Z_FINISH);
  const Bytes z(out, out + zs.total_out);
  deflateEnd(&zs);
  arc::TZStreamRec s;
  ASSERT_EQ((arc::inflateInit2)(&s, 15), arc::Z_ARC_OK);
  uint8_t o[100];
  s.next_in = z.data();
  s.avail_in = static_cast<uint32_t>(z.size());
  s.next_out = o;
  s.avail_out = sizeof o;
  EXPECT_EQ(arc::inflate(&s, 0), arc::Z_ARC_NEED_DICT);
  EXPECT_EQ(arc::inflate(&s, 0), arc::Z_ARC_STREAM_ERROR);
  arc::inflateEnd(&s);
}

// ------------------------------------------------------------------ code shapes and match copies

// Tokens of a hand-made stream: a literal, or a match of len bytes from dist back.
struct Token {
  uint32_t len;  // 0 = literal
  uint32_t distOrByte;
};

Bytes Expand(const std::vector<Token>& tokens) {
  Bytes out;
  for (const Token& t : tokens) {
    if (t.len == 0) {
      out.push_back(static_cast<uint8_t>(t.distOrByte));
    } else {
      for (uint32_t i = 0; i < t.len; ++i) out.push_back(out[out.size() - t.distOrByte]);
    }
  }
  return out;
}

// Length and distance symbols with their extra bits (deflate64: code 285 = 3 + 16 extra bits).
struct Coded {
  unsigned sym, extra, value;
};
Coded LengthCode(uint32_t len, bool d64) {
  static const uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  if (d64 && len > 257) return {285, 16, len - 3};
  int i = 28;
  if (d64) i = 27;  // 285 is not 258 there
  while (base[i] > len) --i;
  return {257u + i, extra[i], len - base[i]};
}
Coded DistanceCode(uint32_t dist) {
  unsigned code = 0;
  uint32_t base = 1;
  for (;; ++code) {
    const unsigned extra = code < 4 ? 0 : code / 2 - 1;
    if (dist < base + (1u << extra)) return {code, extra, dist - base};
    base += 1u << extra;
  }
}

// A fixed block of the tokens.
Bytes FixedTokens(const std::vector<Token>& tokens, bool d64 = false) {
  return FixedBlock([&](BitWriter& w) {
    for (const Token& t : tokens) {
      if (t.len == 0) {
        w.FixedLitLen(t.distOrByte);
        continue;
      }
      const Coded l = LengthCode(t.len, d64), d = DistanceCode(t.distOrByte);
      w.FixedLitLen(l.sym);
      w.Bits(l.value, l.extra);
      w.FixedDist(d.sym);
      w.Bits(d.value, d.extra);
    }
  });
}

// Canonical codes of a set of code lengths.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lens) {
  unsigned count[16] = {}, next[16] = {};
  for (uint8_t l : lens) ++count[l];
  count[0] = 0;
  for (unsigned l = 1, code = 0; l < 16; ++l) next[l] = code = (code + count[l - 1]) << 1;
  std::vector<uint32_t> codes(lens.size());
  for (size_t s = 0; s < lens.size(); ++s)
    if (lens[s]) codes[s] = next[lens[s]]++;
  return codes;
}

// A dynamic block with the given literal/length and distance code lengths (every length sent as a
// 4-bit code-length code, no repeats) carrying the tokens.
Bytes DynamicTokens(const std::vector<uint8_t>& litLens, const std::vector<uint8_t>& distLens,
                    const std::vector<Token>& tokens, bool d64 = false) {
  static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(2, 2);
  w.Bits(static_cast<uint32_t>(litLens.size() - 257), 5);
  w.Bits(static_cast<uint32_t>(distLens.size() - 1), 5);
  w.Bits(15, 4);
  for (uint8_t s : order) w.Bits(s < 16 ? 4 : 0, 3);
  for (uint8_t l : litLens) w.Code(l, 4);
  for (uint8_t l : distLens) w.Code(l, 4);
  const auto lc = CanonicalCodes(litLens), dc = CanonicalCodes(distLens);
  auto put = [&](unsigned sym) { w.Code(lc.at(sym), litLens.at(sym)); };
  for (const Token& t : tokens) {
    if (t.len == 0) {
      put(t.distOrByte);
      continue;
    }
    const Coded l = LengthCode(t.len, d64), d = DistanceCode(t.distOrByte);
    put(l.sym);
    w.Bits(l.value, l.extra);
    w.Code(dc.at(d.sym), distLens.at(d.sym));
    w.Bits(d.value, d.extra);
  }
  put(256);
  return w.Finish();
}

// The stream through zlib, the streaming decoder in several chunkings and the block decoder.
void ExpectAllDecode(const Bytes& z, const Bytes& want) {
  bool zok;
  ASSERT_EQ(ZInflate(z, zok), want) << "zlib does not agree with the test's model";
  ASSERT_TRUE(zok);
  for (auto [inChunk, outChunk] : {std::pair<size_t, size_t>{z.size(), 65536}, {1, 65536}, {z.size(), 1}, {37, 300}}) {
    SCOPED_TRACE(testing::Message() << "chunks " << inChunk << "/" << outChunk);
    const auto r = ArcInflate(z, inChunk, outChunk);
    ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END) << (r.msg ? r.msg : "");
    ASSERT_EQ(r.out, want);
    EXPECT_EQ(r.totalIn, z.size());
  }
  RecordingHost host;
  ASSERT_EQ(BlockDecode(z, want.size(), host, arc::TInflateVariant::Deflate), TDecodeResult::Ok);
  EXPECT_EQ(host.out, want);
}

// A Deflate64 stream through both Deflate64 decoders: the streaming one with each pair of
// input/output chunk sizes, then the block decoder.
void ExpectDeflate64Decodes(const Bytes& z, const Bytes& want,
                            std::initializer_list<std::pair<size_t, size_t>> chunks) {
  for (auto [inChunk, outChunk] : chunks) {
    SCOPED_TRACE(testing::Message() << "chunks " << inChunk << "/" << outChunk);
    const auto r = ArcInflate(z, inChunk, outChunk, -15, true);
    ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END) << (r.msg ? r.msg : "");
    ASSERT_EQ(r.out, want);
  }
  RecordingHost host;
  ASSERT_EQ(BlockDecode(z, want.size(), host, arc::TInflateVariant::Deflate64), TDecodeResult::Ok);
  EXPECT_EQ(host.out, want);
}

TEST(InflateTables, CodesOfEveryLengthFrom1To15) {
  // Literals of 1 to 15 bits, the end of block at 14 and a length at 15: pairs of short literals,
  // sub-tables beyond the root bits holding literals, a length and the end of block.
  std::vector<uint8_t> lit(258, 0);
  for (unsigned k = 0; k < 13; ++k) lit['A' + k] = static_cast<uint8_t>(k + 1);
  lit[256] = 14;
  lit[257] = 15;
  lit['A' + 13] = 15;
  const std::vector<uint8_t> dist = {2, 2, 2, 2};  // distances 1 to 4
  std::mt19937 gen(5);
  auto g = [&gen] { return static_cast<uint32_t>(gen()); };
  std::vector<Token> tokens;
  for (int i = 0; i < 60000; ++i) {
    const uint32_t r = g();
    if (i > 4 && r % 97 == 0) {
      tokens.push_back({3, 1 + (r >> 8) % 4});
      continue;
    }
    unsigned k = 0;  // literal k with probability 2^-(k+1)
    while (k < 13 && (r >> k) & 1) ++k;
    tokens.push_back({0, 'A' + k});
  }
  ExpectAllDecode(DynamicTokens(lit, dist, tokens), Expand(tokens));
}

TEST(InflateTables, LongDistanceCodesUseSubTables) {
  // Distance codes of 9 to 15 bits (beyond the 8 root bits) for the far codes, 1 to 8 bits for
  // some near ones; literals of 9 bits, lengths of 5 and 6.
  std::vector<uint8_t> lit(286, 9);
  lit[256] = lit[257] = 5;
  for (unsigned s = 258; s < 286; ++s) lit[s] = 6;
  std::vector<uint8_t> dist(30, 0);
  const unsigned nearCodes[8] = {0, 1, 2, 3, 4, 5, 10, 20};  // 1 to 8 bits: 1 - 2^-8
  const unsigned farCodes[8] = {29, 28, 27, 26, 25, 24, 23, 22};  // 9 to 15, 15: 2^-8
  for (unsigned i = 0; i < 8; ++i) dist[nearCodes[i]] = static_cast<uint8_t>(i + 1);
  for (unsigned i = 0; i < 8; ++i) dist[farCodes[i]] = static_cast<uint8_t>(i < 7 ? 9 + i : 15);
  std::mt19937 gen(6);
  auto g = [&gen] { return static_cast<uint32_t>(gen()); };
  std::vector<Token> tokens;
  for (int i = 0; i < 33000; ++i) tokens.push_back({0, g() & 0xFF});
  for (int i = 0; i < 6000;) {
    const uint32_t d = g() % 2 ? 1 + g() % 32768 : 1 + g() % 64;
    if (!dist[DistanceCode(d).sym]) continue;
    tokens.push_back({3 + g() % 256, d});
    tokens.push_back({0, g() & 0xFF});
    ++i;
  }
  ExpectAllDecode(DynamicTokens(lit, dist, tokens), Expand(tokens));
}

TEST(InflateTables, LongestLengthAndDistanceCodesBackToBack) {
  // 15-bit length and distance codes with all their extra bits, match after match: up to 48 bits
  // a match in Deflate, 60 in Deflate64, more than one refill of the bit buffer holds.
  for (bool d64 : {false, true}) {
    SCOPED_TRACE(d64 ? "deflate64" : "deflate");
    const unsigned lenSym = d64 ? 285 : 284, distSym = d64 ? 31 : 29;
    std::vector<uint8_t> lit(286, 0);
    for (unsigned k = 0; k < 13; ++k) lit['A' + k] = static_cast<uint8_t>(k + 1);
    lit[256] = 14;
    lit[lenSym] = 15;
    lit['A' + 13] = 15;
    std::vector<uint8_t> dist(32, 0);
    for (unsigned c = 0; c < 14; ++c) dist[c] = static_cast<uint8_t>(c + 1);
    dist[distSym] = 15;
    dist[14] = 15;
    if (!d64) dist.resize(30);
    std::mt19937 gen(10);
    auto g = [&gen] { return static_cast<uint32_t>(gen()); };
    std::vector<Token> tokens;
    for (int i = 0; i < 70000; ++i) tokens.push_back({0, 'A' + g() % 14});
    for (int i = 0; i < (d64 ? 400 : 3000); ++i) {
      const uint32_t len = d64 ? 258 + g() % 65281 : 227 + g() % 31;  // the codes of lenSym
      const uint32_t far = d64 ? 49153 + g() % 16384 : 24577 + g() % 8192;
      tokens.push_back({len, g() % 3 ? far : 1 + g() % 8});
      if (g() % 8 == 0) tokens.push_back({0, 'A' + g() % 14});
    }
    const Bytes z = DynamicTokens(lit, dist, tokens, d64);
    const Bytes want = Expand(tokens);
    if (!d64) {
      ExpectAllDecode(z, want);
      continue;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectDeflate64Decodes(z, want, {{z.size(), 65536}, {3, 100000}}));
  }
}

TEST(InflateTables, AllSymbolsWithCodesBeyondTheRoot) {
  // 280 of the 286 literal/length symbols with codes of 12 to 15 bits: the most sub-table entries
  // a literal/length code can make; every symbol used.
  std::vector<uint8_t> lit(286, 0);
  const unsigned shortSyms[6] = {'a', 'b', 'c', 'd', 'e', 256};
  const uint8_t shortLens[6] = {1, 2, 3, 4, 5, 8};  // 1992 of the 2048 root entries
  for (unsigned i = 0; i < 6; ++i) lit[shortSyms[i]] = shortLens[i];
  unsigned k = 0;
  for (unsigned s = 0; s < 286; ++s) {
    if (lit[s]) continue;
    lit[s] = static_cast<uint8_t>(k < 56 ? 12 : k < 112 ? 13 : k < 168 ? 14 : 15);  // 56 x 2^-11 left
    ++k;
  }
  ASSERT_EQ(k, 280u);
  const std::vector<uint8_t> dist = {1};  // the single distance code of one bit: distance 1
  std::mt19937 gen(11);
  auto g = [&gen] { return static_cast<uint32_t>(gen()); };
  std::vector<Token> tokens;
  for (int round = 0; round < 20; ++round) {
    for (unsigned s = 0; s < 256; ++s) tokens.push_back({0, s});
    for (uint32_t len = 3; len <= 258; len += 1 + g() % 9) tokens.push_back({len, 1});
    for (int i = 0; i < 500; ++i) tokens.push_back({0, 'a' + g() % 5});
  }
  ExpectAllDecode(DynamicTokens(lit, dist, tokens), Expand(tokens));
}

TEST(InflateTables, ShortDynamicBlockEndsWhereItsStreamEnds) {
  // The code lengths of a block header are read many bits at a time; what is read beyond them must
  // go back to the input when the block is short and the stream ends soon after it: wrapped
  // streams whose only block holds a few literals (headers of every length modulo 64 bits), their
  // Adler-32 and bytes of something else after them, in any chunking.
  const std::vector<Token> tokens = {{0, 'a'}, {0, 'b'}, {0, 'b'}, {0, 'a'}};
  const Bytes data = Expand(tokens);
  const uint32_t adler = static_cast<uint32_t>(adler32(1, data.data(), static_cast<uInt>(data.size())));
  for (unsigned unused = 0; unused < 16; ++unused) {
    std::vector<uint8_t> lit(257 + unused, 0);  // unused length codes: 4 header bits each
    lit['a'] = 1;
    lit['b'] = 2;
    lit[256] = 2;
    Bytes z = {0x78, 0x01};
    const Bytes block = DynamicTokens(lit, {1, 1}, tokens);
    z.insert(z.end(), block.begin(), block.end());
    for (int shift = 24; shift >= 0; shift -= 8) z.push_back(static_cast<uint8_t>(adler >> shift));
    for (size_t trailing : {0, 1, 9}) {
      Bytes in = z;
      for (size_t i = 0; i < trailing; ++i) in.push_back(static_cast<uint8_t>(0xA5 ^ i));
      for (size_t inChunk : {in.size(), size_t{1}, size_t{7}}) {
        SCOPED_TRACE(testing::Message() << unused << " unused codes, " << trailing
                                        << " bytes after the stream, chunks of " << inChunk);
        const auto r = ArcInflate(in, inChunk, 100, 15);
        ASSERT_EQ(r.last, arc::Z_ARC_STREAM_END) << (r.msg ? r.msg : "");
        EXPECT_EQ(r.out, data);
        EXPECT_EQ(r.totalIn, z.size());
      }
    }
  }
}

TEST(InflateTables, MatchCopiesOfEveryDistanceClass) {
  // Short distances overlap the copy (1, 2-7, 8-15, 16-31, beyond); lengths around the copy
  // widths; every match followed and preceded by plenty of stream, so the fast loop runs them.
  std::mt19937 gen(8);
  auto g = [&gen] { return static_cast<uint32_t>(gen()); };
  std::vector<Token> tokens;
  for (int i = 0; i < 400; ++i) tokens.push_back({0, g() & 0xFF});
  const uint32_t lens[] = {3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 47, 48, 63, 64, 65, 100, 255, 257, 258};
  for (uint32_t dist = 1; dist <= 70; ++dist)
    for (uint32_t len : lens) {
      tokens.push_back({len, dist});
      tokens.push_back({0, g() & 0xFF});
    }
  for (uint32_t dist : {100u, 255u, 256u, 1000u, 4096u})
    for (uint32_t len : lens) tokens.push_back({len, dist});
  ExpectAllDecode(FixedTokens(tokens), Expand(tokens));
}

TEST(InflateTables, Deflate64LongMatchesInTheFastLoop) {
  // Lengths of up to 65,538 (code 285, 16 extra bits) and distances of codes 30 and 31 in the
  // middle of a long stream: both Deflate64 decoders against the model.
  std::mt19937 gen(9);
  auto g = [&gen] { return static_cast<uint32_t>(gen()); };
  std::vector<Token> tokens;
  for (int i = 0; i < 70000; ++i) tokens.push_back({0, g() % 200});
  for (int i = 0; i < 400; ++i) {
    const uint32_t kind = g() % 4;
    const uint32_t len = kind == 0 ? 3 + g() % 65536 : kind == 1 ? 259 + g() % 300 : 3 + g() % 256;
    const uint32_t dist = g() % 2 ? 32769 + g() % 32768 : 1 + g() % 40;
    tokens.push_back({len, dist});
    for (int k = g() % 5; k > 0; --k) tokens.push_back({0, g() % 200});
  }
  const Bytes z = FixedTokens(tokens, true);
  const Bytes want = Expand(tokens);
  ExpectDeflate64Decodes(z, want, {{z.size(), 65536}, {1, 70000}, {z.size(), 7}, {41, 1000}});
}

// ------------------------------------------------------------------ hostile streams

struct Hostile {
  const char* what;
  Bytes stream;
};

std::vector<Hostile> HostileStreams() {
  std::vector<Hostile> v;
  v.push_back({"symbol 286", FixedBlock([](BitWriter& w) {
                 w.FixedLitLen('a');
                 w.FixedLitLen(286);
                 w.FixedDist(0);
               })});
  v.push_back({"symbol 287", FixedBlock([](BitWriter& w) {
                 w.FixedLitLen('a');
                 w.FixedLitLen(287);
                 w.FixedDist(0);
               })});
  v.push_back({"distance before the start", FixedBlock([](BitWriter& w) {
                 w.FixedLitLen('a');
                 w.FixedLitLen(257);
                 w.FixedDist(1);  // distance 2 after one byte
               })});
  {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(3, 2);  // block type 3
    v.push_back({"block type 3", w.Finish()});
  }
  {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(0, 2);
    w.AlignByte();
    w.Bits(5, 16);
    w.Bits(0x1234, 16);  // not the complement
    v.push_back({"stored length check", w.Finish()});
  }
  {
    // Dynamic header with 287 literal/length codes: more than Deflate has.
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(2, 2);
    w.Bits(30, 5);
    w.Bits(29, 5);
    w.Bits(15, 4);
    for (int i = 0; i < 19; ++i) w.Bits(4, 3);
    v.push_back({"too many codes", w.Finish()});
  }
  {
    // Over-subscribed code-length code: all 19 of length 1.
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(2, 2);
    w.Bits(0, 5);
    w.Bits(0, 5);
    w.Bits(15, 4);
    for (int i = 0; i < 19; ++i) w.Bits(1, 3);
    for (int i = 0; i < 10; ++i) w.Bits(0, 8);
    v.push_back({"over-subscribed code lengths", w.Finish()});
  }
  return v;
}

TEST(InflateHostile, EveryDecoderEndsWithAnError) {
  for (const auto& h : HostileStreams()) {
    SCOPED_TRACE(h.what);
    bool zok = true;
    ZInflate(h.stream, zok);
    EXPECT_FALSE(zok) << "zlib accepts it: the fixture is wrong";
    const auto r = ArcInflate(h.stream, h.stream.size(), 1000);
    EXPECT_EQ(r.last, arc::Z_ARC_DATA_ERROR) << (r.msg ? r.msg : "");
    for (auto v : {arc::TInflateVariant::Deflate, arc::TInflateVariant::Deflate64}) {
      RecordingHost host;
      const auto res = BlockDecode(h.stream, 100, host, v);
      EXPECT_TRUE(res == TDecodeResult::DataError || res == TDecodeResult::BadBlock) << int(res);
      EXPECT_LE(host.out.size(), 1u);
    }
  }
}

TEST(InflateHostile, DistanceCodes30And31AreErrorsInDeflateOnly) {
  for (unsigned code : {30u, 31u}) {
    Bytes data;
    const Bytes z = FixedBlock([code](BitWriter& w) {
      for (int i = 0; i < 40000; ++i) w.FixedLitLen('a' + i % 7);
      w.FixedLitLen(257);  // length 3
      w.FixedDist(code);
      w.Bits(0, 14);  // base 32,769 or 49,153
    });
    const auto r = ArcInflate(z, z.size(), 65536);
    EXPECT_EQ(r.last, arc::Z_ARC_DATA_ERROR) << code;
    RecordingHost host;
    EXPECT_EQ(BlockDecode(z, 40003, host, arc::TInflateVariant::Deflate), TDecodeResult::DataError);
    // Deflate64: 32,769 lies within 40,000 bytes, 49,153 not.
    RecordingHost h64;
    const auto r64 = BlockDecode(z, 40003, h64, arc::TInflateVariant::Deflate64);
    if (code == 30) {
      ASSERT_EQ(r64, TDecodeResult::Ok);
      ASSERT_EQ(h64.out.size(), 40003u);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(h64.out[40000 + i], h64.out[40000 + i - 32769]);
    } else {
      EXPECT_EQ(r64, TDecodeResult::DataError);
    }
  }
}

TEST(InflateHostile, TruncatedStreamsEndWithAnErrorAndAPrefix) {
  const Bytes data = Mixed(120000, 21);
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    const Bytes z = ZDeflate(data, 6, strategy);
    const Bytes st = ZDeflate(data, 0, Z_DEFAULT_STRATEGY);
    for (const Bytes* full : {&z, &st}) {
      for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, full->size() / 3, full->size() / 2, full->size() - 2,
                         full->size() - 1}) {
        SCOPED_TRACE(cut);
        const Bytes t(full->begin(), full->begin() + static_cast<long>(cut));
        const auto r = ArcInflate(t, 4096, 32768);
        EXPECT_EQ(r.last, arc::Z_ARC_BUF_ERROR);
        ASSERT_LE(r.out.size(), data.size());
        EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin()));
        MemStream src(t);
        RecordingHost host;
        EXPECT_EQ(BlockDecode(t, data.size(), host, arc::TInflateVariant::Deflate, &src), TDecodeResult::DataError);
        EXPECT_TRUE(std::equal(host.out.begin(), host.out.end(), data.begin()));
        EXPECT_LE(src.furthest, static_cast<int64_t>(cut));
      }
    }
  }
}

TEST(InflateHostile, CorruptStreamsNeverOverrunOrHang) {
  const Bytes data = Mixed(60000, 23);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  std::mt19937 g(99);
  for (int round = 0; round < 300; ++round) {
    Bytes c = z;
    const int flips = 1 + static_cast<int>(g() % 4);
    for (int i = 0; i < flips; ++i) c[g() % c.size()] ^= static_cast<uint8_t>(1u << (g() % 8));
    bool zok;
    const Bytes zo = ZInflate(c, zok);
    const auto r = ArcInflate(c, c.size(), 32768);
    if (zok) {
      EXPECT_EQ(r.last, arc::Z_ARC_STREAM_END);
      EXPECT_EQ(r.out, zo);
    } else {
      EXPECT_NE(r.last, arc::Z_ARC_STREAM_END);
    }
    RecordingHost host;
    const auto br = BlockDecode(c, data.size(), host, arc::TInflateVariant::Deflate);
    EXPECT_LE(host.out.size(), data.size());
    if (zok && zo.size() == data.size()) {
      EXPECT_EQ(br, TDecodeResult::Ok);
      EXPECT_EQ(host.out, zo);
    } else {
      EXPECT_NE(br, TDecodeResult::Ok);
    }
  }
}

// ------------------------------------------------------------------ method 8 entry driver

TDecodeResult Method8(const Bytes& entry, const Bytes& trailer, uint64_t unpacked, RecordingHost& host,
                      MemStream** keep = nullptr, uint8_t encKind = 13) {
  Bytes all = entry;
  all.insert(all.end(), trailer.begin(), trailer.end());
  static MemStream* last = nullptr;
  delete last;
  last = new MemStream(all);
  if (keep) *keep = last;
  arc::TArcEntryInfo info;
  info.packedSize = entry.size();
  info.unpackedSize = unpacked;
  info.encKind = encKind;
  return arc::InflateDeflated(host, *last, info, -15);
}

TEST(InflateEntry, ExtractsAndNeverReadsPastTheEntry) {
  const Bytes data = XmlLike(300000, 31);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  const Bytes mac(10, 0xEE);  // what follows the entry (an authentication code, the next header)
  RecordingHost host;
  MemStream* src;
  ASSERT_EQ(Method8(z, mac, data.size(), host, &src), TDecodeResult::Ok);
  EXPECT_EQ(host.out, data);
  EXPECT_EQ(src->furthest, static_cast<int64_t>(z.size()));
  EXPECT_GE(host.pumps, 10) << "messages pumped once per 32 KiB chunk";
  // Output in chunks of 32 KiB: every write but the last is a full chunk.
  EXPECT_EQ(host.writes, static_cast<int>((data.size() + 32767) / 32768));
  ASSERT_EQ(host.writeSizes.size(), static_cast<size_t>(host.writes));
  for (size_t i = 0; i + 1 < host.writeSizes.size(); ++i) EXPECT_EQ(host.writeSizes[i], 32768u) << i;
  EXPECT_EQ(host.writeSizes.back(), data.size() - 32768 * (host.writeSizes.size() - 1));
}

TEST(InflateEntry, DecryptsEachInputByteOnce) {
  const Bytes data = XmlLike(100000, 32);
  Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  for (auto& b : z) b ^= 0x5A;
  for (uint8_t kind : {uint8_t{3}, uint8_t{6}}) {
    RecordingHost host;
    host.xorKey = 0x5A;
    ASSERT_EQ(Method8(z, {}, data.size(), host, nullptr, kind), TDecodeResult::Ok);
    EXPECT_EQ(host.out, data);
    EXPECT_EQ(host.decrypted, static_cast<int>(z.size()));
  }
  RecordingHost plain;
  plain.xorKey = 0x5A;
  EXPECT_NE(Method8(z, {}, data.size(), plain, nullptr, 13), TDecodeResult::Ok) << "kind 13 is not deciphered";
  EXPECT_EQ(plain.decrypted, 0);
}

TEST(InflateEntry, EmptyEntryWritesNothing) {
  RecordingHost host;
  EXPECT_EQ(Method8({}, {}, 0, host), TDecodeResult::Ok);
  EXPECT_EQ(Method8(ZDeflate({}, 6, 0), {}, 0, host), TDecodeResult::Ok);
  EXPECT_EQ(host.writes, 0);
}

TEST(InflateEntry, TruncatedEntryWritesWhatWasDecodedThenFails) {
  const Bytes data = RandomBytes(100000, 33);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  const Bytes cut(z.begin(), z.begin() + 60000);
  RecordingHost host;
  MemStream* src;
  EXPECT_EQ(Method8(cut, Bytes(z.begin() + 60000, z.end()), data.size(), host, &src), TDecodeResult::DataError);
  EXPECT_GT(host.out.size(), 50000u);
  EXPECT_TRUE(std::equal(host.out.begin(), host.out.end(), data.begin()));
  EXPECT_EQ(src->furthest, 60000) << "the rest of the stream lies beyond the entry";
}

TEST(InflateEntry, OverLongOrShortStreamsAreDataErrors) {
  const Bytes data = XmlLike(100000, 34);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  RecordingHost small;
  EXPECT_EQ(Method8(z, {}, 70000, small), TDecodeResult::DataError);
  EXPECT_EQ(small.out, Bytes(data.begin(), data.begin() + 70000)) << "exactly the declared size, no more";
  RecordingHost big;
  EXPECT_EQ(Method8(z, {}, 130000, big), TDecodeResult::DataError);
  EXPECT_EQ(big.out, data);
  // The same through the block decoder.
  RecordingHost bsmall;
  EXPECT_EQ(BlockDecode(z, 70000, bsmall, arc::TInflateVariant::Deflate), TDecodeResult::DataError);
  EXPECT_EQ(bsmall.out, Bytes(data.begin(), data.begin() + 70000));
}

TEST(InflateEntry, FullDiskLeavesTheDecoder) {
  const Bytes data = XmlLike(50000, 35);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  RecordingHost host;
  host.throwOnWrite = true;
  EXPECT_THROW(Method8(z, {}, data.size(), host), DiskFull);
  RecordingHost h2;
  h2.throwOnWrite = true;
  EXPECT_THROW(BlockDecode(z, data.size(), h2, arc::TInflateVariant::Deflate), DiskFull);
  RecordingHost h3;
  h3.throwOnWrite = true;
  EXPECT_THROW(BlockDecode(z, data.size(), h3, arc::TInflateVariant::Deflate64), DiskFull);
}

TEST(InflateEntry, FailedWriteEndsTheEntry) {
  const Bytes data = XmlLike(300000, 36);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  RecordingHost host;
  host.failAfter = 40000;
  EXPECT_EQ(Method8(z, {}, data.size(), host), TDecodeResult::WriteFailed);
  EXPECT_EQ(host.writes, 2) << "no further writes after the failed one";
  RecordingHost h2;
  h2.failAfter = 40000;
  EXPECT_EQ(BlockDecode(z, data.size(), h2, arc::TInflateVariant::Deflate), TDecodeResult::WriteFailed);
  EXPECT_EQ(h2.writes, 1);
}

TEST(InflateEntry, CancelStopsTheEntry) {
  const Bytes data = XmlLike(300000, 37);
  const Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  RecordingHost host;
  host.cancelAfterWrites = 2;
  EXPECT_EQ(Method8(z, {}, data.size(), host), TDecodeResult::Cancelled);
  EXPECT_EQ(host.writes, 2);
}

// ------------------------------------------------------------------ TDecompressStream

TEST(DecompressStream, ReadSeekAndWrite) {
  const Bytes data = XmlLike(50000, 41);
  Bytes z = ZDeflate(data, 6, Z_DEFAULT_STRATEGY);
  const size_t zsize = z.size();
  z.insert(z.end(), 100, 0xCC);  // bytes after the stream
  MemStream src(z);
  src.pos = 0;
  {
    arc::TDecompressStream ds(src, 13, -15);
    uint8_t b[1000];
    EXPECT_EQ(ds.Read(b, 1000), 1000);
    EXPECT_TRUE(std::equal(b, b + 1000, data.begin()));
    EXPECT_EQ(ds.Seek(10, arc::TSeekOrigin::soBeginning), 1000) << "backward seek stays";
    EXPECT_EQ(ds.Seek(-5, arc::TSeekOrigin::soCurrent), 1000);
    EXPECT_EQ(ds.Seek(5000, arc::TSeekOrigin::soBeginning), 5000) << "forward seek decodes";
    EXPECT_EQ(ds.Seek(1000, arc::TSeekOrigin::soCurrent), 6000);
    EXPECT_EQ(ds.Read(b, 10), 10);
    EXPECT_TRUE(std::equal(b, b + 10, data.begin() + 6000));
    EXPECT_EQ(ds.Write(b, 10), -1);
    EXPECT_THROW(ds.Seek(int64_t{1} << 33, arc::TSeekOrigin::soBeginning), arc::ERangeError);
    EXPECT_EQ(ds.Seek(0, arc::TSeekOrigin::soBeginning), 0) << "offset 0 restarts";
    EXPECT_EQ(ds.Read(b, 1000), 1000);
    EXPECT_TRUE(std::equal(b, b + 1000, data.begin()));
    Bytes rest(60000);
    EXPECT_EQ(ds.Read(rest.data(), 60000), 49000);
    EXPECT_TRUE(ds.EndOfStream());
    EXPECT_EQ(ds.Read(rest.data(), 10), 0);
  }
  EXPECT_EQ(src.pos, static_cast<int64_t>(zsize)) << "the destructor gives back the unused input";
}

TEST(DecompressStream, CorruptDataGivesTheDecoderCode) {
  const Bytes bad = {0xFF, 0xFF, 0xFF, 0xFF};  // block type 3
  MemStream src(bad);
  arc::TDecompressStream ds(src, 13, -15);
  uint8_t b[10];
  EXPECT_EQ(ds.Read(b, 10), arc::Z_ARC_DATA_ERROR);
}


// ------------------------------------------------------------------ spanned sets

// The archive stream of a split set as the container side joins it: one stream over the volume
// files in order, whose reads end at each volume's end.
class JoinedVolumes : public MemStream {
public:
  explicit JoinedVolumes(const std::vector<Bytes>& vols) : MemStream({}) {
    for (const auto& v : vols) {
      starts.push_back(static_cast<int64_t>(data.size()));
      data.insert(data.end(), v.begin(), v.end());
    }
  }
  int32_t Read(void* b, int32_t n) override {
    for (int64_t s : starts)
      if (s > pos && s - pos < n) n = static_cast<int32_t>(s - pos);
    return MemStream::Read(b, n);
  }
  std::vector<int64_t> starts;
};

uint32_t Le16(const Bytes& b, size_t o) { return b.at(o) | (b.at(o + 1) << 8); }
uint32_t Le32(const Bytes& b, size_t o) { return Le16(b, o) | (Le16(b, o + 2) << 16); }

TEST(InflateSpanned, EntryAcrossVolumesEqualsTheUnsplitFile) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  const auto dir = TestDir();
  Bytes data = Mixed(400000, 71);
  const Bytes noise = RandomBytes(200000, 72);
  data.insert(data.begin() + 100000, noise.begin(), noise.end());
  WriteFile(dir / "big.bin", data);
  ASSERT_EQ(RunShell("cd '" + dir.string() + "' && zip -q -s 64k split.zip big.bin"), 0);
  std::vector<Bytes> vols;
  for (int i = 1;; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "split.z%02d", i);
    if (!std::filesystem::exists(dir / name)) break;
    vols.push_back(ReadFile(dir / name));
  }
  vols.push_back(ReadFile(dir / "split.zip"));
  ASSERT_GE(vols.size(), 3u) << "the entry spans several volumes";
  JoinedVolumes src(vols);
  // End record and central header in the last volume; offsets are relative to their disks.
  const Bytes& last = vols.back();
  size_t eocd = last.size() - 22;
  while (Le32(last, eocd) != 0x06054b50) --eocd;
  const uint32_t cdDisk = Le16(last, eocd + 6);
  const size_t cd = static_cast<size_t>(src.starts.at(cdDisk)) + Le32(last, eocd + 16);
  ASSERT_EQ(Le32(src.data, cd), 0x02014b50u);
  ASSERT_EQ(Le16(src.data, cd + 10), 8u);
  const uint32_t crc = Le32(src.data, cd + 16), packed = Le32(src.data, cd + 20), unpacked = Le32(src.data, cd + 24);
  const size_t lho = static_cast<size_t>(src.starts.at(Le16(src.data, cd + 34))) + Le32(src.data, cd + 42);
  ASSERT_EQ(Le32(src.data, lho), 0x04034b50u);
  src.pos = static_cast<int64_t>(lho + 30 + Le16(src.data, lho + 26) + Le16(src.data, lho + 28));
  const int64_t start = src.pos;
  RecordingHost host;
  arc::TArcEntryInfo info;
  info.packedSize = packed;
  info.unpackedSize = unpacked;
  ASSERT_EQ(arc::InflateDeflated(host, src, info), TDecodeResult::Ok);
  EXPECT_EQ(host.out, data);
  EXPECT_EQ(arc::Crc32(host.out.data(), host.out.size()), crc);
  EXPECT_EQ(src.furthest, start + packed);
  std::filesystem::remove_all(dir);
}

}  // namespace
