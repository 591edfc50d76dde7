// Self-extractors that name their archive's offset in a string resource: the resource reader on
// hand-made executables (7-Zip's PE reader as the oracle), the detection steps around it, and
// damaged headers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "archive/arcDetect.h"
#include "archive/arcPeStrings.h"
#include "archive/arcUnZip.h"
#include "pebuild.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

std::string Fixture(const std::string& name) { return SourceDir() + "/tests/archive/fixtures/" + name; }

DetectResult Detect(const Bytes& b) {
  MemorySource src(b.data(), b.size());
  DetectContext ctx;
  ctx.fileName = "setup.exe";
  return GetArcType(src, ctx);
}

std::array<std::string, 7> Strings(const Bytes& b, bool* image = nullptr) {
  MemorySource src(b.data(), b.size());
  std::array<std::string, 7> s;
  bool ok = ReadPeStrings(src, s);
  if (image) *image = ok;
  return s;
}

// A stub with a stray local-header signature at 0x40 and a ZIP of local headers only at 1024.
Bytes Stub(const std::vector<std::string>& strings, bool resources = true) {
  PeOptions o;
  o.strings = strings;
  o.resources = resources;
  o.stub = Text("PK\x03\x04 decoy");
  Bytes b = BuildPe(o);
  Entry e;
  e.name = "a.txt";
  e.data = Text("appended");
  Options zo;
  zo.omitCentral = true;
  Bytes z = Build({e}, zo);
  b.insert(b.end(), z.begin(), z.end());
  return b;
}

// A string the reader gave is in the file as a string resource stores it: its 16-bit length,
// then its characters in UTF-16 ('?' standing for one outside ASCII).
bool StoredInFile(const Bytes& f, const std::string& s) {
  if (s.empty()) return true;
  const size_t n = s.size();
  for (size_t p = 0; p + 2 + 2 * n <= f.size(); ++p) {
    if ((f[p] | f[p + 1] << 8) != static_cast<int>(n)) continue;
    bool same = true;
    for (size_t i = 0; i < n && same; ++i) {
      const unsigned unit = f[p + 2 + 2 * i] | f[p + 3 + 2 * i] << 8;
      same = s[i] == '?' ? (unit >= 0x80 || unit == '?') : unit == static_cast<unsigned char>(s[i]);
    }
    if (same) return true;
  }
  return false;
}

}  // namespace

TEST(SfxStrings, TheCommittedFixtureNamesItsArchiveInString1) {
  const Bytes f = ReadFile(Fixture("sfx_pe_strings.exe"));
  ASSERT_FALSE(f.empty()) << "fixture missing";
  EXPECT_EQ(f, PeStringsFixture()) << "the fixture is what the builder makes";
  bool image = false;
  auto s = Strings(f, &image);
  EXPECT_TRUE(image);
  EXPECT_EQ(s[0], "1024");
  for (size_t i = 1; i < s.size(); ++i) EXPECT_EQ(s[i], "") << i;
  DetectResult r = Detect(f);
  EXPECT_EQ(r.type, TArcType::atZipExe);
  EXPECT_EQ(r.startOffset, 1024);
  EXPECT_EQ(r.headerMode, hmLocal);  // no directory: the local headers are scanned from there

  std::string t = TempDir("sfx_pe");
  std::filesystem::copy_file(Fixture("sfx_pe_strings.exe"), t + "setup.exe");
  TUnZip z;
  std::vector<int32_t> codes;
  z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
    codes.push_back(c);
  };
  z.SetArchiveFile(t + "setup.exe");
  z.SetExtractDir(t + "out");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 2);
  EXPECT_TRUE(codes.empty());
  EXPECT_EQ(ReadFile(t + "out/readme.txt"), PeFixtureReadme());
  EXPECT_EQ(ReadFile(t + "out/sub/b.xml"), Text("<x/>\n"));
}

TEST(SfxStrings, StringsOneToSevenInTurn) {
  // The stray signature at 0x40 is where the end-record search would start the archive; 1024 is
  // found only through a string.
  struct Case {
    std::vector<std::string> strings;
    bool resources;
    int64_t start;
  } cases[] = {
      {{"1024"}, true, 1024},
      {{"  1024 "}, true, 1024},
      {{"7", "1024"}, true, 1024},                      // no archive at 7: the next string
      {{"1", "2", "3", "4", "5", "6", "1024"}, true, 1024},  // string 7 is the last one read
      {{"", "1024"}, true, 0x40},                       // an empty string ends the loop
      {{"abc", "1024"}, true, 0x40},                    // so does text that is no number
      {{"99999999", "1024"}, true, 0x40},               // and an offset beyond the file
      {{"-5", "1024"}, true, 0x40},
      {{"1024"}, false, 0x40},                          // no resources at all
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const auto& s : c.strings) trace += "[" + s + "]";
    SCOPED_TRACE(trace + (c.resources ? "" : " without resources"));
    DetectResult r = Detect(Stub(c.strings, c.resources));
    EXPECT_EQ(r.type, TArcType::atZipExe);
    EXPECT_EQ(r.startOffset, c.start);
  }
}

TEST(SfxStrings, SevenZipReadsTheSameStrings) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z not installed";
  std::string t = TempDir("sfx_7z");
  const std::vector<std::vector<std::string>> sets = {
      {"1024"}, {"1", "22", "333", "4444", "55555", "666666", "7777777"}, {"x", "", "offset 9"}};
  int k = 0;
  for (const auto& set : sets) {
    PeOptions o;
    o.strings = set;
    const std::string f = t + "s" + std::to_string(k++) + ".exe";
    WriteFile(f, BuildPe(o));
    ASSERT_EQ(Shell("7z x -tPE -so '" + f + "' .rsrc/string.txt 2>/dev/null | iconv -f UTF-16LE -t UTF-8 > '" + f +
                    ".txt'"),
              0);
    // 7-Zip lists every non-empty string as its number, a tab and the text.
    std::array<std::string, 7> want;
    std::istringstream lines(std::string(reinterpret_cast<const char*>(ReadFile(f + ".txt").data()),
                                         ReadFile(f + ".txt").size()));
    std::string line;
    int listed = 0;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t tab = line.find('\t');
      if (tab == std::string::npos) continue;
      const int id = std::stoi(line.substr(0, tab));
      ASSERT_TRUE(id >= 1 && id <= 7) << line;
      want[static_cast<size_t>(id - 1)] = line.substr(tab + 1);
      ++listed;
    }
    EXPECT_GT(listed, 0);
    EXPECT_EQ(Strings(ReadFile(f)), want);
  }
}

TEST(SfxStrings, ALoaderRefusalFallsBackToTheDosImageSize) {
  // A "Rar!" where the DOS header says the image ends: only a file that is no PE image goes there.
  PeOptions o;
  o.dosImageSize = 900;
  Bytes pe = BuildPe(o);
  std::memcpy(pe.data() + 900, "Rar!", 4);
  Entry e;
  e.name = "a.txt";
  e.data = Text("x");
  Bytes zip = Build({e});
  pe.insert(pe.end(), zip.begin(), zip.end());
  DetectResult valid = Detect(pe);
  EXPECT_EQ(valid.type, TArcType::atZipExe);  // the end-record search
  Bytes broken = pe;
  broken[0x81] = 'X';  // "PX": no PE header
  bool image = true;
  Strings(broken, &image);
  EXPECT_FALSE(image);
  DetectResult dos = Detect(broken);
  EXPECT_EQ(dos.type, TArcType::atRarExe);
  EXPECT_EQ(dos.startOffset, 900);
}

TEST(SfxStrings, DamagedHeadersAreRefusedOrReadWithinTheFile) {
  const Bytes f = PeStringsFixture();
  // Every cut of the file, and every byte of the headers and the resource directory changed:
  // no read outside the file (the sanitizers watch), a start inside the file or none.
  for (size_t n = 0; n <= f.size(); n += (n < 1100 ? 1 : 7)) {
    Bytes cut(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
    for (const auto& str : Strings(cut)) EXPECT_TRUE(StoredInFile(cut, str)) << n << " " << str;
    DetectResult r = Detect(cut);
    EXPECT_TRUE(r.startOffset == -1 || static_cast<uint64_t>(r.startOffset) < cut.size()) << n;
  }
  for (size_t at = 0; at < 0x2A0; ++at) {
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
      Bytes d = f;
      d[at] = v;
      for (const auto& str : Strings(d)) EXPECT_TRUE(StoredInFile(d, str)) << at << " " << str;
      DetectResult r = Detect(d);
      EXPECT_TRUE(r.startOffset == -1 || static_cast<uint64_t>(r.startOffset) < d.size()) << at;
    }
  }
}

TEST(SfxStrings, DecimalOffsets) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t value;
  } cases[] = {{"0", true, 0},
               {"1024", true, 1024},
               {" 77 ", true, 77},
               {"9223372036854775807", true, 9223372036854775807ull},
               {"9223372036854775808", false, 0},
               {"99999999999999999999", false, 0},
               {"", false, 0},
               {"  ", false, 0},
               {"12a", false, 0},
               {"+5", false, 0},
               {"-5", false, 0},
               {"0x10", false, 0}};
  for (const auto& c : cases) {
    uint64_t v = 12345;
    EXPECT_EQ(ParseDecimalOffset(c.text, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 12345u) << c.text;
  }
}
