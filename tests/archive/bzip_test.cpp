// bzip2 entries (method 12): the read stream over the bzip2 library and the entry driver.
#include <gtest/gtest.h>

#include <random>

#include "archive/arcBZip.h"
#include "archive/arcCrc32.h"
#include "inflate_helpers.h"

using namespace inflatetest;
using arc::TDecodeResult;
namespace fs = std::filesystem;

namespace {

TDecodeResult Method12(const Bytes& entry, const Bytes& trailer, uint64_t unpacked, RecordingHost& host,
                       int64_t* furthest = nullptr, uint8_t encKind = 13) {
  Bytes all = entry;
  all.insert(all.end(), trailer.begin(), trailer.end());
  MemStream s(all);
  arc::TArcEntryInfo info;
  info.packedSize = entry.size();
  info.unpackedSize = unpacked;
  info.encKind = encKind;
  const auto r = arc::Bz2DecompressEntry(host, s, info);
  if (furthest) *furthest = s.furthest;
  return r;
}

TEST(BZip, EntriesRoundTripThroughTheLibrary) {
  for (int block : {1, 9}) {
    for (const Bytes& data : {XmlLike(300000, 1), RandomBytes(120000, 2), Runs(500000, 3), Bytes{}}) {
      const Bytes z = BzCompress(data, block);
      RecordingHost host;
      int64_t furthest = 0;
      ASSERT_EQ(Method12(z, Bytes(22, 0x50), data.size(), host, &furthest), TDecodeResult::Ok);
      EXPECT_EQ(host.out, data);
      EXPECT_EQ(furthest, static_cast<int64_t>(z.size())) << "never past the entry";
    }
  }
}

TEST(BZip, DecryptsOnInput) {
  const Bytes data = XmlLike(100000, 4);
  Bytes z = BzCompress(data, 9);
  for (auto& b : z) b ^= 0xA7;
  RecordingHost host;
  host.xorKey = 0xA7;
  ASSERT_EQ(Method12(z, {}, data.size(), host, nullptr, 6), TDecodeResult::Ok);
  EXPECT_EQ(host.out, data);
  EXPECT_EQ(host.decrypted, static_cast<int>(z.size()));
}

TEST(BZip, CompressedSizeZeroWritesNothing) {
  RecordingHost host;
  EXPECT_EQ(Method12({}, Bytes(100, 1), 0, host), TDecodeResult::Ok);
  EXPECT_EQ(host.writes, 0);
}

TEST(BZip, TruncatedEntriesEnd) {
  const Bytes data = XmlLike(400000, 5);
  const Bytes z = BzCompress(data, 1);
  for (size_t cut : {size_t{3}, size_t{10}, z.size() / 4, z.size() / 2, z.size() - 5, z.size() - 1}) {
    SCOPED_TRACE(cut);
    const Bytes t(z.begin(), z.begin() + static_cast<long>(cut));
    RecordingHost host;
    int64_t furthest = 0;
    EXPECT_EQ(Method12(t, Bytes(z.begin() + static_cast<long>(cut), z.end()), data.size(), host, &furthest),
              TDecodeResult::DataError);
    EXPECT_LE(furthest, static_cast<int64_t>(cut));
    EXPECT_TRUE(std::equal(host.out.begin(), host.out.end(), data.begin()));
  }
}

TEST(BZip, CorruptEntriesEndWithoutOverrun) {
  const Bytes data = Mixed(200000, 6);
  const Bytes z = BzCompress(data, 2);
  std::mt19937 g(5);
  for (int round = 0; round < 40; ++round) {
    Bytes c = z;
    c[4 + g() % (c.size() - 4)] ^= static_cast<uint8_t>(1u << (g() % 8));
    RecordingHost host;
    const auto r = Method12(c, {}, data.size(), host);
    EXPECT_LE(host.out.size(), data.size());
    if (r == TDecodeResult::Ok) {
      EXPECT_EQ(host.out, data);
    }
  }
  Bytes magic = z;
  magic[0] = 'X';
  RecordingHost host;
  EXPECT_EQ(Method12(magic, {}, data.size(), host), TDecodeResult::DataError);
  EXPECT_EQ(host.writes, 0);
}

TEST(BZip, NoMoreThanTheDeclaredSize) {
  const Bytes data = XmlLike(100000, 7);
  const Bytes z = BzCompress(data, 9);
  RecordingHost host;
  EXPECT_EQ(Method12(z, {}, 40000, host), TDecodeResult::DataError);
  EXPECT_EQ(host.out, Bytes(data.begin(), data.begin() + 40000));
  RecordingHost big;
  EXPECT_EQ(Method12(z, {}, 200000, big), TDecodeResult::DataError);
  EXPECT_EQ(big.out, data);
}

TEST(BZip, FullDiskLeavesAndFailedWritesEnd) {
  const Bytes data = XmlLike(200000, 8);
  const Bytes z = BzCompress(data, 9);
  RecordingHost full;
  full.throwOnWrite = true;
  EXPECT_THROW(Method12(z, {}, data.size(), full), DiskFull);
  RecordingHost shortw;
  shortw.failAfter = 1000;
  EXPECT_EQ(Method12(z, {}, data.size(), shortw), TDecodeResult::WriteFailed);
  EXPECT_EQ(shortw.writes, 1);
  RecordingHost cancel;
  cancel.cancelAfterWrites = 2;
  EXPECT_EQ(Method12(z, {}, data.size(), cancel), TDecodeResult::Cancelled);
  EXPECT_EQ(cancel.writes, 2);
}

TEST(BZipStream, ForwardOnlyAndNoWrites) {
  const Bytes data = Runs(100000, 9);
  const Bytes z = BzCompress(data, 9);
  MemStream src(z);
  uint64_t lastProduced = 0, progressTotal = 0;
  arc::TBzDecompressStream bz(
      src,
      [&](uint64_t produced, uint64_t total) {
        lastProduced = produced;
        progressTotal = total;
      },
      z.size(), data.size());
  uint8_t b[100];
  EXPECT_EQ(bz.Read(b, 100), 100);
  EXPECT_EQ(lastProduced, 100u);
  EXPECT_EQ(progressTotal, data.size());
  EXPECT_EQ(bz.Seek(5000, arc::TSeekOrigin::soBeginning), 5000);
  EXPECT_EQ(bz.Seek(1000, arc::TSeekOrigin::soCurrent), 6000);
  EXPECT_EQ(bz.Read(b, 100), 100);
  EXPECT_TRUE(std::equal(b, b + 100, data.begin() + 6000));
  try {
    bz.Seek(10, arc::TSeekOrigin::soBeginning);
    FAIL();
  } catch (const arc::Ebz2libError& e) {
    EXPECT_STREQ(e.what(), "Invalid stream operation");
    EXPECT_STREQ(e.className(), "Ebz2libError");
  }
  EXPECT_THROW(bz.Seek(-1, arc::TSeekOrigin::soCurrent), arc::Ebz2libError);
  EXPECT_THROW(bz.Write(b, 1), arc::Ebz2libError);
  EXPECT_EQ(bz.Position(), 6100);
}

TEST(BZipStream, DataErrorFlagOnCorruptData) {
  Bytes z = BzCompress(XmlLike(50000, 10), 9);
  z[20] ^= 0xFF;
  MemStream src(z);
  arc::TBzDecompressStream bz(src, nullptr, z.size(), 50000);
  Bytes out(60000);
  bz.Read(out.data(), 60000);
  EXPECT_TRUE(bz.DataError());
  EXPECT_TRUE(bz.Finished());
  EXPECT_EQ(bz.Read(out.data(), 10), 0);
}

// Archives of the external tools.
struct BzTools : ::testing::Test {
  void SetUp() override { dir = TestDir(); }
  void TearDown() override { fs::remove_all(dir); }
  void CheckArchive(const fs::path& zip, const std::vector<std::pair<std::string, Bytes>>& files) {
    const auto entries = ReadZip(ReadFile(zip));
    ASSERT_EQ(entries.size(), files.size());
    for (const auto& e : entries) {
      SCOPED_TRACE(e.name);
      ASSERT_EQ(e.method, 12);
      RecordingHost host;
      ASSERT_EQ(Method12(e.data, {}, e.unpacked, host), TDecodeResult::Ok);
      EXPECT_EQ(arc::Crc32(host.out.data(), host.out.size()), e.crc);
      EXPECT_EQ(host.out, ReadFile(dir / e.name));
    }
  }
  fs::path dir;
};

TEST_F(BzTools, InfoZipBzip2Entries) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  const std::vector<std::pair<std::string, Bytes>> files = {{"a.xml", XmlLike(300000, 11)}, {"b.bin", Mixed(200000, 12)}};
  for (const auto& [n, d] : files) WriteFile(dir / n, d);
  ASSERT_EQ(RunShell("cd '" + dir.string() + "' && zip -q -Z bzip2 z.zip a.xml b.bin"), 0);
  CheckArchive(dir / "z.zip", files);
}

TEST_F(BzTools, SevenZipBzip2Entries) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
  const std::vector<std::pair<std::string, Bytes>> files = {{"a.xml", XmlLike(300000, 13)}, {"b.bin", Runs(900000, 14)}};
  for (const auto& [n, d] : files) WriteFile(dir / n, d);
  ASSERT_EQ(RunShell("cd '" + dir.string() + "' && 7z a -tzip -mm=BZip2 s.zip a.xml b.bin >/dev/null"), 0);
  CheckArchive(dir / "s.zip", files);
}

}  // namespace
