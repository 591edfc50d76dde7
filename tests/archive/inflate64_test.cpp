// Deflate64 (method 9): hand-made vectors for the parts of the format its usual encoders do not
// emit, and archives made by 7-Zip, checked by the external tools where they are installed.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "archive/arcCrc32.h"
#include "archive/arcInflate.h"
#include "archive/arcInflate64.h"
#include "archive/arcStreams.h"
#include "inflate_helpers.h"

using namespace inflatetest;
using arc::TDecodeResult;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDistBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr unsigned kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                     7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

void Dist(BitWriter& w, uint32_t d) {
  unsigned c = 31;
  while (kDistBase[c] > d) --c;
  w.FixedDist(c);
  w.Bits(d - kDistBase[c], kDistExtra[c]);
}

// Fixed block: 'x', length 65,538 at distance 1 (code 285 with 16 extra bits), 60,000 random
// literals, and length 300 at distance 60,000 (distance code 31).
Bytes LongMatchVector(Bytes& plain) {
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  plain.assign(1, 'x');
  w.FixedLitLen('x');
  w.FixedLitLen(285);
  w.Bits(65535, 16);
  Dist(w, 1);
  plain.insert(plain.end(), 65538, 'x');
  const Bytes rnd = RandomBytes(60000, 7);
  for (uint8_t b : rnd) w.FixedLitLen(b);
  plain.insert(plain.end(), rnd.begin(), rnd.end());
  w.FixedLitLen(285);
  w.Bits(300 - 3, 16);
  Dist(w, 60000);
  const size_t src = plain.size() - 60000;
  for (size_t i = 0; i < 300; ++i) plain.push_back(plain[src + i]);
  w.FixedLitLen(256);
  return w.Finish();
}

TDecodeResult Decode64(const Bytes& in, uint64_t unpacked, RecordingHost& host) {
  MemStream s(in);
  arc::TArcEntryInfo info;
  info.packedSize = in.size();
  info.unpackedSize = unpacked;
  return arc::InflateDeflate64(host, s, info, -15);
}

// The streaming decoder in its Deflate64 variant, inChunk input bytes and outChunk output
// bytes per call.
Bytes Stream64(const Bytes& in, int& last, size_t inChunk = SIZE_MAX, size_t outChunk = 32768) {
  arc::TZStreamRec s;
  EXPECT_EQ((arc::inflateInit2)(&s, -15, arc::kInflateRecordCheck, true), arc::Z_ARC_OK);
  size_t fed = 0;
  Bytes out, buf(outChunk);
  for (;;) {
    if (s.avail_in == 0 && fed < in.size()) {
      const size_t k = std::min(inChunk, in.size() - fed);
      s.next_in = in.data() + fed;
      s.avail_in = static_cast<uint32_t>(k);
      fed += k;
    }
    s.next_out = buf.data();
    s.avail_out = static_cast<uint32_t>(outChunk);
    last = arc::inflate(&s, 0);
    out.insert(out.end(), buf.data(), buf.data() + (outChunk - s.avail_out));
    if (last == arc::Z_ARC_STREAM_END) break;
    if (last < 0 && (last != arc::Z_ARC_BUF_ERROR || (fed == in.size() && s.avail_in == 0))) break;
  }
  arc::inflateEnd(&s);
  return out;
}

TEST(Deflate64, LengthCode285With16ExtraBitsAndDistanceCode31) {
  Bytes plain;
  const Bytes z = LongMatchVector(plain);
  RecordingHost host;
  ASSERT_EQ(Decode64(z, plain.size(), host), TDecodeResult::Ok);
  EXPECT_EQ(host.out, plain);
  int last;
  EXPECT_EQ(Stream64(z, last), plain);
  EXPECT_EQ(last, arc::Z_ARC_STREAM_END);
  for (auto [inChunk, outChunk] : {std::pair<size_t, size_t>{1, 32768}, {3, 1}, {100000, 7}, {5, 65536}}) {
    EXPECT_EQ(Stream64(z, last, inChunk, outChunk), plain) << inChunk << " " << outChunk;
    EXPECT_EQ(last, arc::Z_ARC_STREAM_END);
  }
  // In Deflate the same bits mean length 258 at distance 1 and then an invalid distance code.
  RecordingHost h8;
  MemStream s(z);
  arc::TArcEntryInfo info;
  info.packedSize = z.size();
  info.unpackedSize = plain.size();
  EXPECT_NE(arc::InflateDeflated(h8, s, info), TDecodeResult::Ok);
}

TEST(Deflate64, StoredBlocksLongerThanTheWindowSpace) {
  // Literals, then stored blocks of 65,535 bytes each, which cross the window's end.
  const Bytes rnd = RandomBytes(3 * 65535 + 50000, 8);
  BitWriter w;
  w.Bits(0, 1);
  w.Bits(1, 2);
  for (size_t i = 0; i < 50000; ++i) w.FixedLitLen(rnd[i]);
  w.FixedLitLen(256);
  Bytes z = w.Finish();  // ends on a byte boundary after the stored header bits below
  for (int b = 0; b < 3; ++b) {
    BitWriter h;
    h.Bits(b == 2 ? 1 : 0, 1);
    h.Bits(0, 2);
    Bytes hb = h.Finish();
    // The block header and the stored lengths start on a fresh byte here.
    z.insert(z.end(), hb.begin(), hb.end());
    z.push_back(0xFF);
    z.push_back(0xFF);
    z.push_back(0x00);
    z.push_back(0x00);
    const auto from = rnd.begin() + 50000 + static_cast<long>(b) * 65535;
    z.insert(z.end(), from, from + 65535);
  }
  bool zok;
  ASSERT_EQ(ZInflate(z, zok), rnd) << "zlib reads the same stream";
  ASSERT_TRUE(zok);
  RecordingHost host;
  ASSERT_EQ(Decode64(z, rnd.size(), host), TDecodeResult::Ok);
  EXPECT_EQ(host.out, rnd);
  // The stored copy stops at the end of the input.
  const Bytes cut(z.begin(), z.end() - 1000);
  RecordingHost h2;
  EXPECT_EQ(Decode64(cut, rnd.size(), h2), TDecodeResult::DataError);
}

TEST(Deflate64, SymbolsBeyond285AreErrors) {
  for (unsigned sym : {286u, 287u}) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    w.FixedLitLen('a');
    w.FixedLitLen(sym);
    w.Bits(0, 16);
    w.FixedDist(0);
    w.FixedLitLen(256);
    const Bytes z = w.Finish();
    RecordingHost host;
    EXPECT_EQ(Decode64(z, 100, host), TDecodeResult::DataError) << sym;
    int last;
    Stream64(z, last);
    EXPECT_EQ(last, arc::Z_ARC_DATA_ERROR);
  }
}

TEST(Deflate64, TruncatedInputEndsWithoutGarbage) {
  Bytes plain;
  const Bytes z = LongMatchVector(plain);
  for (size_t cut : {z.size() / 2, z.size() - 3, z.size() - 1}) {
    const Bytes t(z.begin(), z.begin() + static_cast<long>(cut));
    RecordingHost host;
    EXPECT_EQ(Decode64(t, plain.size(), host), TDecodeResult::DataError) << cut;
    EXPECT_TRUE(std::equal(host.out.begin(), host.out.end(), plain.begin()));
  }
}

// ------------------------------------------------------------------ 7-Zip archives

struct ToolFixture : ::testing::Test {
  void SetUp() override {
    if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
    dir = TestDir();
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }
  fs::path dir;
};

using SevenZip = ToolFixture;

TEST_F(SevenZip, Deflate64ArchivesDecode) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"mixed.bin", Mixed(400000, 51)},
      {"text.xml", XmlLike(390000, 52)},
      {"random.bin", RandomBytes(150000, 53)},
      {"runs.bin", Runs(200000, 54)},
  };
  for (const auto& [n, d] : files) WriteFile(dir / n, d);
  ASSERT_EQ(RunShell("cd '" + dir.string() + "' && 7z a -tzip -mm=Deflate64 -mx=9 d64.zip *.bin *.xml >/dev/null"), 0);
  const auto entries = ReadZip(ReadFile(dir / "d64.zip"));
  ASSERT_EQ(entries.size(), files.size());
  int deflate64 = 0;
  for (const auto& e : entries) {
    SCOPED_TRACE(e.name);
    if (e.method == 0) continue;  // 7-Zip stores what does not shrink
    ASSERT_EQ(e.method, 9);
    ++deflate64;
    const Bytes want = ReadFile(dir / e.name);
    RecordingHost host;
    ASSERT_EQ(Decode64(e.data, e.unpacked, host), TDecodeResult::Ok);
    EXPECT_EQ(host.out, want);
    EXPECT_EQ(arc::Crc32(host.out.data(), host.out.size()), e.crc);
    int last;
    EXPECT_EQ(Stream64(e.data, last), want);
    EXPECT_EQ(last, arc::Z_ARC_STREAM_END);
    EXPECT_EQ(Stream64(e.data, last, 7, 5000), want);
    EXPECT_EQ(last, arc::Z_ARC_STREAM_END);
  }
  EXPECT_GE(deflate64, 3);
}

TEST_F(SevenZip, CancelStopsAfterTheCurrentBlock) {
  WriteFile(dir / "m.bin", Mixed(2000000, 61));
  ASSERT_EQ(RunShell("cd '" + dir.string() + "' && 7z a -tzip -mm=Deflate64 -mx=5 c.zip m.bin >/dev/null"), 0);
  const auto e = ReadZip(ReadFile(dir / "c.zip")).at(0);
  RecordingHost host;
  host.cancelAfterWrites = 1;
  EXPECT_EQ(Decode64(e.data, e.unpacked, host), TDecodeResult::Cancelled);
  EXPECT_LT(host.out.size(), e.unpacked);
  const Bytes want = ReadFile(dir / "m.bin");
  EXPECT_TRUE(std::equal(host.out.begin(), host.out.end(), want.begin()));
  EXPECT_LE(host.writes, 3) << "only what was decoded up to the block's end is written";
}

// The hand-made vector in a ZIP, confirmed by the external tools (guards the test writer).
TEST_F(SevenZip, ToolsAcceptTheHandMadeVector) {
  Bytes plain;
  const Bytes z = LongMatchVector(plain);
  ZipEntry e;
  e.name = "d64fixed.bin";
  e.method = 9;
  e.crc = arc::Crc32(plain.data(), plain.size());
  e.unpacked = plain.size();
  e.data = z;
  WriteFile(dir / "fixed.zip", MakeZip({e}));
  EXPECT_EQ(RunShell("7z t '" + (dir / "fixed.zip").string() + "' >/dev/null"), 0);
  if (HaveTool("unzip")) {
    EXPECT_EQ(RunShell("unzip -tqq '" + (dir / "fixed.zip").string() + "' >/dev/null"), 0);
  }
}


// The block machinery as other decoders (explode) drive it: bit input, window copies that may
// reach before the output's start (zeros), window-sized writes, the end of the input.
TEST(BlockMachinery, BitsWindowAndZeroHistory) {
  const Bytes in = {0xB5, 0x0F, 0xFF};  // bits, least significant first
  MemStream src(in);
  arc::TArcEntryInfo info;
  info.packedSize = 2;  // the third byte lies beyond the entry
  info.unpackedSize = 40000 + 3 + 140000;
  RecordingHost host;
  arc::TInflateBlockDecoder dec(host, src, info, arc::TInflateVariant::Deflate, 32768, true);
  EXPECT_EQ(dec.GetBits(3), 5u);
  EXPECT_EQ(dec.GetBits(5), 0x16u);
  EXPECT_FALSE(dec.InputOverrun());
  dec.NeedBits(8);
  EXPECT_EQ(dec.PeekBits(4), 0xFu);
  dec.DropBits(8);
  EXPECT_FALSE(dec.InputOverrun());
  EXPECT_EQ(dec.GetBits(1), 0u) << "zero bits after the entry";
  EXPECT_TRUE(dec.InputOverrun());
  EXPECT_TRUE(dec.EndOfInput());
  EXPECT_EQ(src.furthest, 2);
  // Before any output a copy reads the zero history.
  ASSERT_TRUE(dec.CopyFromWindow(32768, 40000));
  ASSERT_TRUE(dec.PutByte('a'));
  ASSERT_TRUE(dec.PutByte('b'));
  ASSERT_TRUE(dec.PutByte('c'));
  EXPECT_FALSE(dec.CopyFromWindow(32769, 1)) << "beyond the window";
  ASSERT_TRUE(dec.CopyFromWindow(3, 140000));  // crosses the window area's end: written in pieces
  EXPECT_EQ(dec.Produced(), 180003u);
  EXPECT_EQ(dec.Flush(), TDecodeResult::Ok);
  ASSERT_EQ(host.out.size(), 180003u);
  EXPECT_TRUE(std::all_of(host.out.begin(), host.out.begin() + 40000, [](uint8_t b) { return b == 0; }));
  for (size_t i = 40000; i < host.out.size(); ++i) ASSERT_EQ(host.out[i], "abc"[(i - 40000) % 3]) << i;
  EXPECT_GE(host.writes, 2);
}

TEST(BlockMachinery, WithoutZeroHistoryDistancesStopAtTheStart) {
  MemStream src({});
  arc::TArcEntryInfo info;
  info.unpackedSize = 10;
  RecordingHost host;
  arc::TInflateBlockDecoder dec(host, src, info, arc::TInflateVariant::Deflate64, 65536);
  ASSERT_TRUE(dec.PutByte('z'));
  EXPECT_FALSE(dec.CopyFromWindow(2, 3));
  EXPECT_TRUE(dec.CopyFromWindow(1, 3));
  EXPECT_EQ(dec.Flush(), TDecodeResult::Ok);
  EXPECT_EQ(host.out, Bytes(4, 'z'));
  // More than the declared size is never written.
  ASSERT_TRUE(dec.CopyFromWindow(1, 20));
  EXPECT_EQ(dec.Flush(), TDecodeResult::DataError);
  EXPECT_EQ(host.out, Bytes(10, 'z'));
}

}  // namespace
