// Archive type detection on byte arrays, and the ZIP container cases in memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "archive/arcDetect.h"
#include "archive/arcUnZip.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {
DetectResult Detect(const Bytes& b, const std::string& name = "x.bin", TArcType volumeKind = TArcType::atZipMV) {
  MemorySource src(b.data(), b.size());
  DetectContext ctx;
  ctx.fileName = name;
  ctx.volumeKind = [volumeKind] { return volumeKind; };
  return GetArcType(src, ctx);
}
Bytes Head(const std::string& sig, size_t total = 64) {
  Bytes b(total, ' ');
  std::memcpy(b.data(), sig.data(), sig.size());
  return b;
}
Entry E(const std::string& name, const std::string& text) {
  Entry e;
  e.name = name;
  e.data = Text(text);
  return e;
}
}  // namespace

TEST(Detect, SignatureTable) {
  struct Case {
    std::string head;
    TArcType want;
  } cases[] = {
      {"Rar!\x1a\x07", TArcType::atRar},
      {std::string("\x13\x5D\x65\x8C", 4), TArcType::atMsGZ},
      {std::string("BH\x05\x07", 4), TArcType::atBh},
      {"ZOO 2.10", TArcType::atZoo},
      {"PKG5....", TArcType::atUnknown},
      {"MSCF\0\0\0\0", TArcType::atCab},
      {std::string("\xB7\xDF\x54\x57", 4), TArcType::atArc},
      {"xx-lh5-", TArcType::atLha},
      {std::string("\x1F\x8B\x08", 3), TArcType::atGZip},
      {std::string("\x1F\x9D", 2), TArcType::atGZip},
      {"%!PS-Adobe", TArcType::atGZip},
      {"ZOx", TArcType::atZoo},
      {std::string("\x60\xEA\x10\x00", 4), TArcType::atArj},
      {std::string("\x1A\x08", 2), TArcType::atArc},
      {std::string("\x1A\x0A", 2), TArcType::atPak},
      {"HA\x02", TArcType::atHA},
      {"PKG4", TArcType::atNA},
      {"PKCI", TArcType::atNA},
      {"BZh91AY&SY", TArcType::atBz2},
      {"BZh51AY&SY", TArcType::atBz2},
      {"1234567**ACE**", TArcType::atAce},
      {"Content-Transfer-Encoding: Base64\n", TArcType::atB64},
      {"Subject: x\ncontent-transfer-encoding: BASE64\n", TArcType::atB64},
      {"begin 644 x\n", TArcType::atUUE},
      {"nothing to see here", TArcType::atNA},
  };
  for (const auto& c : cases) EXPECT_EQ(Detect(Head(c.head)).type, c.want) << c.head;
}

TEST(Detect, ASelfExtractorOffsetPastTheEndIsNoArchive) {
  // B7 DF names an ARC self-extractor at 7716: taken only where the file reaches that far.
  const Bytes shortFile = {0xB7, 0xDF, 0xFF, 0xFF, 'P',  'K',  'G',  0x01, 0x00, 0x60, 0x30, 0x00,
                           0x07, 0x96, 0xE0, 0x00, 0x00, 0x15, 0x1C, 0x1C, 0x1C, 0xA5, 0x00, 0x3D};
  for (const char* name : {"x.zip", "X.JAR"}) {
    DetectResult r = Detect(shortFile, name);
    EXPECT_NE(r.type, TArcType::atArcExe) << name;
    EXPECT_TRUE(r.startOffset == -1 || static_cast<uint64_t>(r.startOffset) < shortFile.size()) << name;
  }
  Bytes longFile = shortFile;
  longFile.resize(8000, 0x20);
  DetectResult r = Detect(longFile);
  EXPECT_EQ(r.type, TArcType::atArcExe);
  EXPECT_EQ(r.startOffset, 7716);
}

TEST(Detect, SizesZerosAndTar) {
  EXPECT_EQ(Detect(Head("Rar!", 19)).type, TArcType::atNA);
  EXPECT_EQ(Detect(Head("Rar!", 20)).type, TArcType::atRar);
  Bytes zeros(4096, 0);
  EXPECT_EQ(Detect(zeros).type, TArcType::atNA);  // all zeros: no read past the buffer
  Bytes lha(400, 0);
  std::memcpy(lha.data() + 128, "xx-lh5-", 7);
  DetectResult r = Detect(lha);
  EXPECT_EQ(r.type, TArcType::atLha);
  EXPECT_EQ(r.startOffset, 128);
  // TAR headers with a correct checksum, also behind a volume label.
  auto tarHeader = [](char type) {
    Bytes h(512, 0);
    std::memcpy(h.data(), "file.txt", 8);
    h[156] = static_cast<uint8_t>(type);
    std::memcpy(h.data() + 257, "ustar", 5);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? 32 : h[i];
    snprintf(reinterpret_cast<char*>(h.data() + 148), 8, "%06o", sum);
    h[155] = ' ';
    return h;
  };
  Bytes tar = tarHeader('0');
  tar.resize(2048, 0);
  EXPECT_EQ(Detect(tar).type, TArcType::atTar);
  Bytes vol = tarHeader('V');
  vol[148] = '7';  // the label itself does not count
  Bytes second = tarHeader('0');
  vol.insert(vol.end(), second.begin(), second.end());
  vol.resize(2048, 0);
  EXPECT_EQ(Detect(vol).type, TArcType::atTar);
}

TEST(Detect, ZipKinds) {
  Bytes zip = Build({E("a.txt", "hello"), E("dir/b.xml", "<x/>")});
  DetectResult r = Detect(zip, "a.zip");
  EXPECT_EQ(r.type, TArcType::atZip);
  EXPECT_EQ(r.headerMode & (hmCentral | hmEnding | hmLocal), hmCentral | hmEnding | hmLocal);
  EXPECT_EQ(Detect(zip, "/x/A.JAR").type, TArcType::atJar);
  // Garbage in front, offsets not adjusted: the correction is the prefix length.
  Options pre;
  pre.prefix = Pseudo(100, 1);
  pre.prefix[0] = 'x';
  DetectResult p = Detect(Build({E("a.txt", "hello")}, pre));
  EXPECT_EQ(p.type, TArcType::atZip);
  EXPECT_EQ(p.correction, 100);
  // The same with ZIP64 records (total disks 1): a single file, not a volume set.
  Options pre64 = pre;
  pre64.zip64End = true;
  DetectResult q = Detect(Build({E("a.txt", "hello")}, pre64));
  EXPECT_EQ(q.type, TArcType::atZip);
  EXPECT_TRUE(q.headerMode & hmEnding64);
  // An executable stub in front.
  Bytes exe(3000, 0);
  exe[0] = 'M';
  exe[1] = 'Z';
  exe[2] = 0;
  exe[4] = 1;  // one page
  Options st;
  st.prefix = exe;
  EXPECT_EQ(Detect(Build({E("a.txt", "hello")}, st)).type, TArcType::atZipExe);
  // Local headers only: header mode 1.
  Options loc;
  loc.omitCentral = true;
  DetectResult l = Detect(Build({E("a.txt", "hello")}, loc));
  EXPECT_EQ(l.type, TArcType::atZip);
  EXPECT_EQ(l.headerMode, hmLocal);
  // A set: the end record names another disk.
  Bytes set = zip;
  set[set.size() - 22 + 4] = 3;
  set[set.size() - 22 + 6] = 3;
  EXPECT_EQ(Detect(set, "s.zip", TArcType::atZipMV).type, TArcType::atZipMV);
  EXPECT_EQ(Detect(set, "s.zip", TArcType::atZipDS).type, TArcType::atZipDS);
  Bytes marker = Text("PK\x07\x08");
  marker.insert(marker.end(), zip.begin(), zip.end());
  // The marker of a spanned set's first disk in front of a whole archive: a ZIP whose offsets
  // are corrected by the marker's 4 bytes.
  DetectResult m = Detect(marker);
  EXPECT_EQ(m.type, TArcType::atZip);
  EXPECT_EQ(m.correction, 4);
  EXPECT_EQ(m.headerMode & (hmCentral | hmEnding | hmLocal), hmCentral | hmEnding | hmLocal);
  EXPECT_EQ(m.totalEntries(), 2u);
}

TEST(Detect, EndRecordSearchRules) {
  // An empty archive of 22 bytes.
  Bytes empty = Build({});
  ASSERT_EQ(empty.size(), 22u);
  EXPECT_EQ(Detect(empty).type, TArcType::atZip);
  // A fake end record inside the comment is not taken.
  Options o;
  o.comment = std::string("xxPK\x05\x06", 6) + std::string(16, '\0') + std::string("\xFF\x00", 2) + "tail";
  Bytes fake = Build({E("a.txt", "hello")}, o);
  DetectResult r = Detect(fake);
  EXPECT_EQ(r.type, TArcType::atZip);
  EXPECT_EQ(r.totalEntries(), 1u);
  EXPECT_TRUE(r.headerMode & hmCentral);
  // A 64 KB comment puts the end record out of the window: local scan.
  Options big;
  big.comment = std::string(65535, 'c');
  DetectResult b = Detect(Build({E("a.txt", "hello")}, big));
  EXPECT_EQ(b.type, TArcType::atZip);
  EXPECT_EQ(b.headerMode, hmLocal);
  // ZIP64 end record with an extensible data sector, found through the locator.
  Options ext;
  ext.zip64End = true;
  ext.zip64Extensible = Bytes(40, 0xAB);
  DetectResult x = Detect(Build({E("a.txt", "hello")}, ext));
  EXPECT_TRUE(x.headerMode & hmEnding64);
  EXPECT_EQ(x.totalEntries(), 1u);
}

TEST(Detect, ReadsABoundedAmount) {
  // 64 MB of text: detection reads the head, the tail and the forward scan only.
  struct Big : ByteSource {
    uint64_t size() const override { return 64ull << 20; }
    size_t readAt(uint64_t pos, void* buf, size_t n) override {
      if (pos >= size()) return 0;
      size_t k = static_cast<size_t>(std::min<uint64_t>(n, size() - pos));
      std::memset(buf, 'q', k);
      bytesRead += k;
      return k;
    }
  } big;
  DetectContext ctx;
  EXPECT_EQ(GetArcType(big, ctx).type, TArcType::atNA);
  EXPECT_LT(big.bytesRead, 1u << 20);
}

TEST(Detect, VolumeProbe) {
  struct Case {
    const char* name;
    TArcType type;
    char letter;
    int32_t cur, first;
  } cases[] = {
      {"x.rar", TArcType::atRar, 'q', 0, 0},
      {"x.r05", TArcType::atRar, 'q', 5, 6},
      {"x.001", TArcType::atRar, '0', 1, 2},
      {"x", TArcType::atRar, 'q', 0, 0},
      {"x.arj", TArcType::atArj, 'a', 0, 1},
  };
  for (const auto& c : cases) {
    DetectResult r;
    r.type = c.type;
    ProbeVolumeNumbers(c.name, r);
    EXPECT_EQ(r.volumeLetter, c.letter) << c.name;
    EXPECT_EQ(r.currentVolume, c.cur) << c.name;
    EXPECT_EQ(r.firstVolume, c.first) << c.name;
  }
}

// ---------------------------------------------------------------- container cases in memory

namespace {
struct MemRun {
  MemoryFileSystem fs;
  std::vector<int32_t> codes;
  int32_t count = 0;
  std::vector<std::string> listed;
  int32_t go(const Bytes& zip, const std::string& mask = "*.*",
             std::function<void(TUnZip&)> setup = nullptr) {
    fs.addFile("/in/a.zip", zip);
    Services s = Services::posix();
    s.fs = &fs;
    TUnZip z(s);
    z.OnError = [this](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
      codes.push_back(c);
    };
    if (setup) setup(z);
    z.SetArchiveFile("/in/a.zip");
    z.SetExtractDir("/out");
    z.FileSpec = {mask};
    count = z.Extract();
    for (const auto& e : z.Entries()) listed.push_back(e.name);
    return count;
  }
  Bytes file(const std::string& p) {
    auto it = fs.nodes().find(p);
    return it == fs.nodes().end() ? Bytes{} : it->second.data;
  }
  bool has(int32_t c) const { return std::find(codes.begin(), codes.end(), c) != codes.end(); }
};
}  // namespace

TEST(Container, PrefixedAndAdjustedArchivesExtractEveryEntry) {
  for (bool adjust : {false, true}) {
    for (bool z64 : {false, true}) {
      Options o;
      o.prefix = Bytes(100, 'g');
      o.adjustOffsets = adjust;
      o.zip64End = z64;
      MemRun r;
      EXPECT_EQ(r.go(Build({E("a.txt", "aaa"), E("d/b.txt", "bbb")}, o)), 2) << adjust << z64;
      EXPECT_EQ(r.file("/out/d/b.txt"), Text("bbb"));
      EXPECT_TRUE(r.codes.empty());
    }
  }
}

TEST(Container, Zip64SizesComeFromTheExtraField) {
  Entry a = E("a.txt", std::string(600, 'h'));
  a.zip64 = true;
  Entry b = E("dir/b.xml", "<x/>");
  b.zip64 = true;
  Options o;
  o.zip64End = true;
  MemRun r;
  EXPECT_EQ(r.go(Build({a, b}, o)), 2);
  EXPECT_EQ(r.file("/out/a.txt"), Text(std::string(600, 'h')));
  EXPECT_EQ(r.file("/out/dir/b.xml"), Text("<x/>"));
}

TEST(Container, LocalScanAndDataDescriptors) {
  Options loc;
  loc.omitCentral = true;
  {  // local headers only: found by the scan
    MemRun r;
    EXPECT_EQ(r.go(Build({E("a.txt", "aaa"), E("b.txt", "bbb")}, loc)), 2);
  }
  {  // the scan stops at an entry whose sizes are only in a descriptor, which is reported
    Entry d = E("dd.txt", "descriptor");
    d.dataDescriptor = true;
    MemRun r;
    EXPECT_EQ(r.go(Build({E("a.txt", "aaa"), d, E("c.txt", "ccc")}, loc)), 1);
    EXPECT_TRUE(r.has(E_BadFileHeader));
    EXPECT_TRUE(r.file("/out/dd.txt").empty());
  }
  {  // with the central directory, descriptor entries are fine
    Entry d = E("dd.txt", "descriptor");
    d.dataDescriptor = true;
    MemRun r;
    EXPECT_EQ(r.go(Build({E("a.txt", "aaa"), d})), 2);
    EXPECT_EQ(r.file("/out/dd.txt"), Text("descriptor"));
  }
  {  // the handler of OnCorruptZipHeader that leaves Cancel set lists nothing
    MemRun r;
    EXPECT_EQ(r.go(Build({E("a.txt", "aaa")}, loc), "*.*",
                   [](TUnZip& z) { z.OnCorruptZipHeader = [](TUnBase&, THeaderTypeState, bool&) {}; }),
              0);
  }
}

TEST(Container, DamagedRecords) {
  Bytes good = Build({E("a.txt", "aaa"), E("b.txt", "bbb")});
  {  // a central offset off by 7: the entry is refused with 25115
    Entry b = E("b.txt", "bbb");
    b.centralOffsetDelta = 7;
    MemRun r;
    EXPECT_EQ(r.go(Build({E("a.txt", "aaa"), b})), 1);
    EXPECT_TRUE(r.has(E_BadLocalOffset));
  }
  {  // truncated at every length: no crash, never more files than entries
    for (size_t cut = 0; cut < good.size(); cut += 3) {
      MemRun r;
      Bytes t(good.begin(), good.begin() + static_cast<long>(cut));
      int32_t n = r.go(t);
      EXPECT_LE(n, 2) << cut;
      for (const auto& [k, node] : r.fs.nodes()) EXPECT_TRUE(k.rfind("/out", 0) == 0 || k.rfind("/in", 0) == 0 || k == "/");
    }
  }
  {  // a name length running past the directory
    Bytes bad = good;
    size_t cd = bad.size() - 22 - (46 + 5) * 2;
    bad[cd + 28] = 0xFF;
    bad[cd + 29] = 0x7F;
    MemRun r;
    EXPECT_LE(r.go(bad), 1);
  }
  {  // two central headers naming the same local header: the second one is refused
    Entry a = E("a.txt", "aaa");
    Bytes z = Build({a});
    // copy the central header once more with another name of equal length
    size_t cd = z.size() - 22 - (46 + 5);
    Bytes hdr(z.begin() + static_cast<long>(cd), z.begin() + static_cast<long>(cd + 51));
    hdr[46] = 'c';
    z.insert(z.begin() + static_cast<long>(cd + 51), hdr.begin(), hdr.end());
    size_t end = z.size() - 22;
    z[end + 8] = 2;
    z[end + 10] = 2;
    z[end + 12] = 102;
    MemRun r;
    EXPECT_EQ(r.go(z), 1);
    EXPECT_EQ(r.file("/out/a.txt"), Text("aaa"));
    EXPECT_EQ(r.fs.stat("/out/c.txt").kind, FileKind::None);
    EXPECT_EQ(r.codes, (std::vector<int32_t>{E_BadFileHeader, E_OpenError}));
  }
  {  // strong encryption: 25327, not listed
    Entry s = E("s.txt", "xxx");
    s.flags = 0x41;
    s.centralExtra = {0x17, 0x00, 0x04, 0x00, 1, 2, 3, 4};
    MemRun r;
    EXPECT_EQ(r.go(Build({s, E("a.txt", "aaa")})), 1);
    EXPECT_TRUE(r.has(E_UnsupportedEncryption));
    EXPECT_EQ(r.listed, (std::vector<std::string>{"a.txt"}));
  }
  {  // zero entries
    MemRun r;
    EXPECT_EQ(r.go(Build({})), 0);
    EXPECT_TRUE(r.codes.empty());
  }
}

TEST(Container, EncipheredHeadersWithoutACipherAreReported) {
  Bytes z = Build({E("a.txt", "aaa")});
  size_t cd = z.size() - 22 - (46 + 5);
  z[cd + 1] = 'N';  // "PN" 01 02
  MemRun r;
  EXPECT_EQ(r.go(z), 0);
  EXPECT_TRUE(r.has(E_BadFileHeader));
}

namespace {
// Two volumes by hand: the first holds the entries (a.txt), the second (the archive) the directory.
std::pair<Bytes, Bytes> TwoVolumeBytes(const std::vector<Entry>& entries = {E("a.txt", "volume data")}) {
  Bytes whole = Build(entries);
  const size_t at = whole.size() - 22 + 16;
  const size_t cd = whole[at] | whole[at + 1] << 8 | whole[at + 2] << 16 | static_cast<size_t>(whole[at + 3]) << 24;
  Bytes v1(whole.begin(), whole.begin() + static_cast<long>(cd));
  Bytes v2(whole.begin() + static_cast<long>(cd), whole.end());
  size_t end = v2.size() - 22;
  v2[end + 4] = 1;  // this disk
  v2[end + 6] = 1;  // directory disk
  v2[end + 16] = v2[end + 17] = v2[end + 18] = v2[end + 19] = 0;  // directory at 0 of disk 1
  return {v1, v2};
}
// /s/set.z01 and /s/set.zip.
void TwoVolumes(MemoryFileSystem& fs) {
  auto [v1, v2] = TwoVolumeBytes();
  fs.addFile("/s/set.z01", v1);
  fs.addFile("/s/set.zip", v2);
}
}  // namespace

TEST(Container, MultiVolumeWithoutHandlerCancels) {
  MemoryFileSystem fs;
  TwoVolumes(fs);
  Services s = Services::posix();
  s.fs = &fs;
  struct FakeVol : VolumeInfo {
    bool query(const std::string&, VolumeData& d, std::string&) override {
      d = VolumeData{};
      return true;
    }
  } vol;
  s.volumes = &vol;
  {
    TUnZip z(s);
    std::vector<int32_t> codes;
    std::vector<std::string> exts, files;
    z.OnError = [&](TUnBase&, const std::string& f, const std::string& x, const std::string&, int32_t c) {
      codes.push_back(c);
      exts.push_back(x);
      files.push_back(f);
    };
    z.SetArchiveFile("/s/set.zip");
    EXPECT_EQ(z.ArcType(), TArcType::atZipMV);
    z.SetExtractDir("/out");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], E_EventNotAssigned);
    EXPECT_EQ(exts[0], "OnNextVolume");
    for (const auto& f : files) EXPECT_EQ(f, "");  // reports about the archive name no entry
    EXPECT_TRUE(z.Cancel());
  }
  {
    TUnZip z(s);
    std::vector<std::string> asked;
    z.OnNextVolume = [&](TUnBase&, std::string& name, int32_t id, bool exists, bool&) {
      asked.push_back(name + " " + std::to_string(id) + (exists ? " yes" : " no"));
    };
    z.SetArchiveFile("/s/set.zip");
    z.SetExtractDir("/out");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 1);
    // the volume with the directory is the archive itself; it is asked for too when an entry
    // is read from it, and not for the listing
    EXPECT_EQ(asked, (std::vector<std::string>{"/s/set.z01 1 yes"}));
    EXPECT_EQ(fs.nodes().at("/out/a.txt").data, Text("volume data"));
    EXPECT_FALSE(z.Cancel());
  }
  {  // cancel in the handler: every later report is 25443, the next run starts uncancelled
    TUnZip z(s);
    std::vector<int32_t> codes;
    z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
      codes.push_back(c);
    };
    bool cancelOnce = true;
    z.OnNextVolume = [&](TUnBase&, std::string&, int32_t, bool, bool& cancel) {
      if (cancelOnce) cancel = true;
    };
    z.SetArchiveFile("/s/set.zip");
    z.SetExtractDir("/out2");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    ASSERT_FALSE(codes.empty());
    for (auto c : codes) EXPECT_EQ(c, E_UserCanceled);
    cancelOnce = false;
    EXPECT_EQ(z.Extract(), 1);
  }
  {  // a volume that never appears, with a handler that never gives up: it cannot be opened
    MemoryFileSystem gone;
    TwoVolumes(gone);
    ASSERT_TRUE(gone.removeFile("/s/set.z01"));
    Services g = s;
    g.fs = &gone;
    TUnZip z(g);
    std::vector<int32_t> codes;
    z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
      codes.push_back(c);
    };
    int asked = 0;
    z.OnNextVolume = [&](TUnBase&, std::string& name, int32_t, bool exists, bool&) {
      ++asked;
      EXPECT_EQ(name, "/s/set.z01");
      EXPECT_FALSE(exists);
    };
    z.SetArchiveFile("/s/set.zip");
    z.SetExtractDir("/out3");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    EXPECT_EQ(codes, (std::vector<int32_t>{E_OpenError}));
    EXPECT_EQ(asked, 100);
    EXPECT_TRUE(z.Cancel());
  }
}

TEST(Container, TwoRecordsOfOneHeaderInAVolumeSet) {
  // The listing opens no volume but the last: the second record for the header on the first
  // volume is refused all the same.
  Entry twin = E("b.txt", "volume data");
  twin.sharesHeaderOf = 0;
  auto [v1, v2] = TwoVolumeBytes({E("a.txt", "volume data"), twin, E("c.txt", "next entry")});
  MemoryFileSystem fs;
  fs.addFile("/s/set.z01", v1);
  fs.addFile("/s/set.zip", v2);
  struct AnyVolume : VolumeInfo {
    bool query(const std::string&, VolumeData& d, std::string&) override {
      d = VolumeData{};
      return true;
    }
  } vol;
  Services s = Services::posix();
  s.fs = &fs;
  s.volumes = &vol;
  TUnZip z(s);
  std::vector<int32_t> codes;
  std::vector<std::string> exts;
  z.OnError = [&](TUnBase&, const std::string&, const std::string& x, const std::string&, int32_t c) {
    codes.push_back(c);
    exts.push_back(x);
  };
  z.OnNextVolume = [](TUnBase&, std::string&, int32_t, bool, bool&) {};
  z.SetArchiveFile("/s/set.zip");
  ASSERT_EQ(z.ArcType(), TArcType::atZipMV);
  z.SetExtractDir("/out");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 2);
  EXPECT_EQ(codes, (std::vector<int32_t>{E_BadFileHeader, E_OpenError}));
  EXPECT_EQ(exts.back(), "overlaps an earlier entry");
  EXPECT_EQ(fs.nodes().at("/out/a.txt").data, Text("volume data"));
  EXPECT_EQ(fs.nodes().at("/out/c.txt").data, Text("next entry"));
  EXPECT_EQ(fs.stat("/out/b.txt").kind, FileKind::None);
}

TEST(Container, AFolderOfASetThatDoesNotAnswerOrIsWriteProtected) {
  // The folder of a set answers at detection, then fails the given number of times, or no file
  // can be made in it until a handler lifts the protection.
  struct Flaky : VolumeInfo {
    int calls = 0, failures = 0;
    bool query(const std::string&, VolumeData& d, std::string& err) override {
      ++calls;
      if (calls > 1 && failures > 0) {
        --failures;
        err = "No medium found";
        return false;
      }
      d = VolumeData{};
      return true;
    }
  };
  // A protected folder matters only when the run writes there: a set kept in a folder that
  // can only be read extracts elsewhere without a word.
  struct Case {
    const char* name;
    bool writeProtected;
    int handler;  // -1 none, 0 declines, 1 retries (after lifting the protection)
    const char* target;
    int32_t extracted;
    std::vector<int32_t> codes;
    std::vector<const char*> message;
  } cases[] = {{"no answer, no handler", false, -1, "/out/", 0, {E_NotAccessible}, {}},
               {"no answer, declined", false, 0, "/out/", 0, {E_UserCanceled}, {"is not accessible", "No medium found"}},
               {"no answer, retried", false, 1, "/out/", 1, {}, {"is not accessible", "No medium found"}},
               {"protected, no handler", true, -1, "/s/", 0, {E_DiskWriteProtected}, {}},
               {"protected, declined", true, 0, "/s/new/deep/", 0, {E_UserCanceled}, {"disk is write protected"}},
               {"protected, retried", true, 1, "/s/", 1, {}, {"disk is write protected"}},
               {"protected, written elsewhere", true, 1, "/out/", 1, {}, {}},
               {"protected, a writable folder in it", true, -1, "/s/rw/", 1, {}, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFileSystem fs;
    TwoVolumes(fs);
    fs.addDir("/out");
    fs.addDir("/s/rw");
    Flaky vol;
    if (c.writeProtected)
      fs.setReadOnlyDir("/s/");
    else
      vol.failures = 1;
    Services s = Services::posix();
    s.fs = &fs;
    s.volumes = &vol;
    TUnZip z(s);
    std::vector<int32_t> codes;
    std::vector<std::string> files, vols;
    z.OnError = [&](TUnBase&, const std::string& f, const std::string&, const std::string& v, int32_t code) {
      codes.push_back(code);
      files.push_back(f);
      vols.push_back(v);
    };
    int asked = 0;
    if (c.handler >= 0)
      z.OnDriveNotReady = [&](TUnBase&, const std::string& drive, const std::string& message) {
        ++asked;
        EXPECT_EQ(drive, "/s/");
        for (const char* m : c.message) EXPECT_NE(message.find(m), std::string::npos) << m;
        if (c.handler == 1) fs.setReadOnlyDir("/s/", false);
        return c.handler == 1;
      };
    z.OnNextVolume = [](TUnBase&, std::string&, int32_t, bool, bool&) {};
    z.SetArchiveFile("/s/set.zip");
    ASSERT_EQ(z.ArcType(), TArcType::atZipMV);
    z.SetExtractDir(c.target);
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), c.extracted);
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(asked, c.message.empty() ? 0 : 1);
    for (const auto& f : files) EXPECT_EQ(f, "");
    for (const auto& v : vols) EXPECT_EQ(v, "0");
    EXPECT_EQ(fs.stat(std::string(c.target) + "a.txt").kind, c.extracted ? FileKind::Regular : FileKind::None);
  }
}

TEST(Container, AVolumeSetInAFolderNoFileCanBeMadeIn) {
  // A folder in which not even root can make a file (the process's descriptor folder), through
  // which the archive is named, and into which it is to be extracted.
  std::string t = TempDir("protected_set");
  auto [v1, v2] = TwoVolumeBytes();
  WriteFile(t + "set.z01", v1);
  WriteFile(t + "set.zip", v2);
  const int fd = ::open((t + "set.zip").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string named = "/proc/self/fd/" + std::to_string(fd);
  ASSERT_FALSE(PosixFileSystem().folderWritable("/proc/self/fd/"));
  TUnZip z;
  std::vector<int32_t> codes;
  z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
    codes.push_back(code);
  };
  int volumesAsked = 0;
  z.OnNextVolume = [&](TUnBase&, std::string&, int32_t, bool, bool&) { ++volumesAsked; };
  z.SetArchiveFile(named);
  EXPECT_EQ(z.ArcType(), TArcType::atZipMV);
  z.SetExtractDir("/proc/self/fd");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 0);
  EXPECT_EQ(codes, (std::vector<int32_t>{E_DiskWriteProtected}));
  EXPECT_EQ(volumesAsked, 0);
  ::close(fd);
}

TEST(Container, TheWritableProbeLeavesNothingBehind) {
  // Neither a file nor a change of the folder's time: the folder may be one the run only reads.
  std::string t = TempDir("probe");
  const std::string dir = t + "set/";
  std::filesystem::create_directories(dir);
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.c_str(), old, 0), 0);
  EXPECT_TRUE(PosixFileSystem().folderWritable(dir));
  EXPECT_FALSE(PosixFileSystem().folderWritable(dir + "missing/"));
  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  EXPECT_TRUE(ListTree(dir).empty());
}

TEST(Container, SpannedDisksThroughThePrompts) {
  // Three "diskettes" behind one path: entry a on disk 1, entry b on disk 2, the directory on disk 3.
  Bytes whole = Build({E("a.txt", "first disk"), E("b.txt", "second disk")});
  const size_t aLen = 30 + 5 + 10, bLen = 30 + 5 + 11;
  // The first disk begins with the spanned-set marker, so entry a starts at offset 4.
  Bytes d1 = {0x50, 0x4B, 0x07, 0x08};
  d1.insert(d1.end(), whole.begin(), whole.begin() + aLen);
  Bytes d2(whole.begin() + aLen, whole.begin() + aLen + bLen);
  Bytes d3(whole.begin() + aLen + bLen, whole.end());
  d3[42] = 4;
  const size_t cdB = 46 + 5;
  d3[cdB + 34] = 1;                                             // b starts on the second disk
  d3[cdB + 42] = d3[cdB + 43] = d3[cdB + 44] = d3[cdB + 45] = 0;  // at its offset 0
  size_t end = d3.size() - 22;
  d3[end + 4] = 2;
  d3[end + 6] = 2;
  d3[end + 16] = d3[end + 17] = d3[end + 18] = d3[end + 19] = 0;
  std::vector<Bytes> disks = {d1, d2, d3};

  MemoryFileSystem fs;
  int inserted = 3;
  auto insert = [&](int n) {
    inserted = n;
    fs.addFile("/a/disk.zip", disks[static_cast<size_t>(n - 1)]);
  };
  insert(3);
  struct Drive : VolumeInfo {
    int* disk;
    bool query(const std::string&, VolumeData& d, std::string&) override {
      d = VolumeData{};
      d.removable = true;
      d.label = "PKBACK# 00" + std::to_string(*disk);
      return true;
    }
  } drive;
  drive.disk = &inserted;
  Services s = Services::posix();
  s.fs = &fs;
  s.volumes = &drive;
  {  // without the prompt events: 25270 with the event's name
    TUnZip z(s);
    std::vector<std::string> exts;
    z.OnError = [&](TUnBase&, const std::string&, const std::string& x, const std::string&, int32_t c) {
      EXPECT_EQ(c, E_EventNotAssigned);
      exts.push_back(x);
    };
    z.SetArchiveFile("/a/disk.zip");
    EXPECT_EQ(z.ArcType(), TArcType::atZipDS);
    z.SetExtractDir("/out");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    EXPECT_EQ(exts, (std::vector<std::string>{"OnGetZipLastDisk"}));
  }
  // The prompts of a run: the last disk is inserted when asked for, the next disks by number,
  // and the first disk as the case says (the n-th time it is asked for).
  struct Run {
    std::vector<std::string> log;
    std::vector<int32_t> codes;
    std::vector<std::string> files;
  };
  auto prompted = [&](TUnZip& z, Run& r, std::function<void(int, std::string&)> first) {
    z.OnError = [&r](TUnBase&, const std::string& f, const std::string&, const std::string&, int32_t c) {
      r.codes.push_back(c);
      r.files.push_back(f);
    };
    z.OnGetZipLastDisk = [&r, &insert](TUnBase&, bool& cancel, std::string&) {
      r.log.push_back("last");
      insert(3);
      cancel = false;
    };
    z.OnGetZipFirstDisk = [&r, first, asks = 0](TUnBase&, bool& cancel, std::string& path) mutable {
      r.log.push_back("first");
      first(++asks, path);
      cancel = false;
    };
    z.OnGetZipNextDisk = [&r, &insert](TUnBase&, const std::string& vol, bool& cancel, std::string&) {
      r.log.push_back("next " + vol);
      insert(std::stoi(vol));
      cancel = false;
    };
  };
  {
    insert(3);
    TUnZip z(s);
    Run r;
    prompted(z, r, [&](int, std::string&) { insert(1); });
    z.SetArchiveFile("/a/disk.zip");
    z.SetExtractDir("/out");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 2);
    EXPECT_EQ(r.log, (std::vector<std::string>{"last", "first", "next 2"}));
    EXPECT_TRUE(r.codes.empty());
    EXPECT_EQ(fs.nodes().at("/out/a.txt").data, Text("first disk"));
    EXPECT_EQ(fs.nodes().at("/out/b.txt").data, Text("second disk"));
  }
  {  // the wrong disk (no header where entry a starts) and a disk that cannot be opened are
     // asked for again; the one that cannot be opened is reported
    insert(3);
    TUnZip z(s);
    Run r;
    prompted(z, r, [&](int asks, std::string& path) {
      if (asks == 1) {  // labelled as the first disk, but offset 4 holds no header
        insert(1);
        fs.addFile("/a/disk.zip", disks[2]);
      }
      if (asks == 2) path = "/a/elsewhere.zip";  // nothing there
      if (asks == 3) insert(1);
    });
    z.SetArchiveFile("/a/disk.zip");
    z.SetExtractDir("/out3");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 2);
    EXPECT_EQ(r.log, (std::vector<std::string>{"last", "first", "first", "first", "next 2"}));
    EXPECT_EQ(r.codes, (std::vector<int32_t>{E_OpenError}));
    EXPECT_EQ(r.files, (std::vector<std::string>{""}));
    EXPECT_EQ(fs.nodes().at("/out3/a.txt").data, Text("first disk"));
    EXPECT_EQ(fs.nodes().at("/out3/b.txt").data, Text("second disk"));
  }
  {  // a prompt left cancelled ends the run; later reports are 25443
    insert(3);
    TUnZip z(s);
    z.OnGetZipLastDisk = [&](TUnBase&, bool& cancel, std::string&) { cancel = false; };
    z.OnGetZipFirstDisk = [&](TUnBase&, bool&, std::string&) {};
    z.SetArchiveFile("/a/disk.zip");
    z.SetExtractDir("/out2");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    EXPECT_TRUE(z.Cancel());
  }
}

namespace {
// Stand-in for the traditional cipher: XOR with the low byte of Key0 and a tweak (the real cipher
// is its own unit).
class XorHeaderCipher : public TraditionalCipher {
public:
  explicit XorHeaderCipher(uint8_t tweak = 0) : tweak_(tweak) {}
  void Reset(const TSeedKeyRecord& s) override { k_ = static_cast<uint8_t>(s.Key0 ^ tweak_); }
  void AddPassword(std::string_view) override {}
  void Decrypt(uint8_t* p, size_t n) override {
    for (size_t i = 0; i < n; ++i) p[i] ^= k_;
  }
  TSeedKeyRecord Keys() const override { return TSeedKeyRecord{k_, 0, 0}; }

private:
  uint8_t tweak_;
  uint8_t k_ = 0;
};
}  // namespace

TEST(Container, EncipheredHeadersDecipherWithTheHeaderKeys) {
  Bytes z = Build({E("a.txt", "enciphered headers")});
  const uint8_t k = static_cast<uint8_t>(kDefaultHeaderKeys.Key0);
  // local header: "PL", 26 bytes and the name enciphered
  z[1] = 'L';
  for (size_t i = 4; i < 30 + 5; ++i) z[i] ^= k;
  size_t cd = z.size() - 22 - (46 + 5);
  z[cd + 1] = 'N';
  for (size_t i = cd + 4; i < cd + 46 + 5; ++i) z[i] ^= k;
  {
    MemRun r;
    EXPECT_EQ(r.go(z, "*.*", [](TUnZip& u) { u.Ciphers.traditional = [] { return std::make_unique<XorHeaderCipher>(); }; }),
              1);
    EXPECT_EQ(r.file("/out/a.txt"), Text("enciphered headers"));
    EXPECT_TRUE(r.codes.empty());
  }
  {  // other keys: the central header does not decipher to one; one 25114, nothing listed
    MemRun r;
    EXPECT_EQ(r.go(z, "*.*",
                   [](TUnZip& u) {
                     u.Ciphers.traditional = [] { return std::make_unique<XorHeaderCipher>(0x5A); };
                   }),
              0);
    EXPECT_EQ(std::count(r.codes.begin(), r.codes.end(), E_BadFileHeader), 1);
  }
}
