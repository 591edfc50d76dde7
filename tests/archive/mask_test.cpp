// Wildcard masks, entry selection, and the small helpers of the subsystem.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "archive/arcGbls.h"
#include "archive/arcMask.h"

using namespace arc;

namespace {
// Plain recursive reference of the same semantics ("*?" is "*", dot rule, capitals).
bool RefMatch(const std::string& m, size_t i, const std::string& n, size_t j) {
  if (i == m.size()) return j == n.size();
  if (m[i] == '*') {
    // after a star every "?" up to the next literal is dropped ("*?" is "*")
    size_t k = i;
    while (k < m.size() && (m[k] == '*' || m[k] == '?')) ++k;
    std::string rest = m.substr(k);
    for (size_t p = j; p <= n.size(); ++p)
      if (RefMatch(rest, 0, n, p)) return true;
    return false;
  }
  if (j == n.size()) return false;
  if (m[i] == '?' || UpCase1251(static_cast<unsigned char>(m[i])) == UpCase1251(static_cast<unsigned char>(n[j])))
    return RefMatch(m, i + 1, n, j + 1);
  return false;
}
bool Ref(const std::string& mask, std::string name) {
  if (!mask.empty() && mask.back() == '.' && name.find('.') == std::string::npos) name += '.';
  return RefMatch(mask, 0, name, 0);
}
}  // namespace

TEST(Mask, Table) {
  struct Case {
    const char* mask;
    const char* name;
    bool want;
  } cases[] = {
      {"*.xml", "A.XML", true},  {"*.xml", "a.xmlx", false}, {"a?c", "abc", true},  {"a?c", "ac", false},
      {"*?c", "c", true},        {"*.", "noext", true},      {"*.", "a.txt", false}, {"*", "", true},
      {"*a*b", "xaybzb", true},  {"*a*b", "xaybzc", false},  {"[ab]", "[ab]", true}, {"[ab]", "a", false},
      {"*.*", "a.b.c", true},    {"a*", "A", true},          {"", "", true},         {"", "x", false},
      {"*\xF2\xE5\xF1\xF2*", "\xD2\xC5\xD1\xD2.txt", true},  // Cyrillic in both cases
      {"*.XML", "\xEE\xF2\xF7\xB8\xF2.xml", true},
      {"\xB8*", "\xA8\xC6", true},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskMatches(c.mask, c.name), c.want) << c.mask << " / " << c.name;
}

TEST(Mask, AgreesWithReferenceOnRandomPairs) {
  std::mt19937 rng(12345);
  const char alphabet[] = "ab.*?A";
  for (int k = 0; k < 20000; ++k) {
    std::string m, n;
    int ml = static_cast<int>(rng() % 7), nl = static_cast<int>(rng() % 9);
    for (int i = 0; i < ml; ++i) m += alphabet[rng() % 6];
    for (int i = 0; i < nl; ++i) n += alphabet[rng() % 3];
    ASSERT_EQ(MaskMatches(m, n), Ref(m, n)) << "mask '" << m << "' name '" << n << "'";
  }
}

TEST(Mask, LongNamesWithManyStarsStayFast) {
  std::string name(65535, 'a');
  std::string mask = "*a*a*a*a*a*a*a*a*a*a*a*a*b";
  EXPECT_FALSE(MaskMatches(mask, name));  // quadratic at worst; exponential would not finish
}

TEST(Selection, Table) {
  struct Case {
    const char* mask;
    const char* name;
    bool recurse;
    bool want;
  } cases[] = {
      {"*.xml", "A.XML", true, true},
      {"*.xml", "dir/b.xml", true, true},
      {"*.xml", "dir/b.xml", false, false},
      {"*.xml", "a.xmlx", true, false},
      {"*.*", "README", true, true},
      {"*.*", "sub/", true, true},
      {"*.xml", "sub/", true, false},
      {"sub\\*.xml", "sub/a.xml", true, true},
      {"sub\\*.xml", "sub/deep/a.xml", true, true},
      {"sub\\*.xml", "sub/deep/a.xml", false, false},
      {"sub\\*.xml", "sub/a.xml", false, true},
      {"\\sub\\*.xml", "sub/a.xml", true, true},
      {"C:\\sub\\*", "SUB/x", true, true},
      {"sub\\*.xml", "other/a.xml", true, false},
      {"PATIENT.xml", "patient.XML", true, true},
      {"*.exe", "Renewal.exe", true, true},
  };
  for (const auto& c : cases) {
    EntrySelection s;
    s.fileSpec = {c.mask};
    s.recurseDirs = c.recurse;
    EXPECT_EQ(s.selected(c.name), c.want) << c.mask << " / " << c.name << " recurse " << c.recurse;
  }
}

TEST(Selection, ExcludeAndEmpty) {
  EntrySelection s;
  int fired = 0;
  s.onExclude = [&](const std::string&) { ++fired; };
  EXPECT_FALSE(s.selected("a.txt"));  // empty FileSpec selects nothing
  s.fileSpec = {"", "*.*"};
  s.excludeSpec = {"*.tmp", "cache\\*"};
  EXPECT_TRUE(s.selected("a.txt"));
  EXPECT_FALSE(s.selected("x/b.TMP"));
  EXPECT_FALSE(s.selected("cache/z.bin"));
  EXPECT_FALSE(s.selected("deep/cache/z.bin"));
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(s.selected(""));
}

TEST(Helpers, Percentage) {
  EXPECT_EQ(Percentage(5, 0), 0);
  EXPECT_EQ(Percentage(7, 5), 100);
  EXPECT_EQ(Percentage(1, 3), 33);
  EXPECT_EQ(Percentage(2, 3), 67);
  EXPECT_EQ(Percentage(-1, 3), 0);
  EXPECT_EQ(Percentage(INT64_MAX - 1, INT64_MAX), 100);
}

TEST(Helpers, DosDateTime) {
  auto pack = [](int y, int mo, int d, int h, int mi, int s) {
    return static_cast<uint32_t>((y - 1980) << 25 | mo << 21 | d << 16 | h << 11 | mi << 5 | s / 2);
  };
  struct Case {
    uint32_t dos;
    DosDateTime want;
  } cases[] = {
      {0, {1980, 1, 1, 0, 1, 0}},
      {pack(2024, 2, 30, 10, 0, 0), {1980, 1, 1, 0, 1, 0}},
      {pack(2024, 2, 29, 10, 0, 0), {2024, 2, 29, 10, 0, 0}},
      {pack(2023, 2, 29, 10, 0, 0), {1980, 1, 1, 0, 1, 0}},
      {pack(2001, 5, 6, 25, 0, 0), {1980, 1, 1, 0, 1, 0}},
      {pack(2001, 5, 6, 23, 59, 58), {2001, 5, 6, 23, 59, 58}},
      {pack(2001, 13, 6, 1, 0, 0), {1980, 1, 1, 0, 1, 0}},
  };
  for (const auto& c : cases) {
    DosDateTime d = DecodeDosDateTime(c.dos);
    EXPECT_EQ(std::tie(d.year, d.month, d.day, d.hour, d.minute, d.second),
              std::tie(c.want.year, c.want.month, c.want.day, c.want.hour, c.want.minute, c.want.second))
        << std::hex << c.dos;
  }
}

TEST(Helpers, VolumeNames) {
  EXPECT_EQ(ZipVolumeName("/d/set.zip", 1, 4), "/d/set.z01");
  EXPECT_EQ(ZipVolumeName("/d/set.zip", 3, 4), "/d/set.z03");
  EXPECT_EQ(ZipVolumeName("/d/set.zip", 4, 4), "/d/set.zip");
  EXPECT_EQ(ZipVolumeName("/d/set.zip", 100, 200), "/d/set.z100");
  EXPECT_EQ(ZipVolumeName("/d/set.zip", 1000, 2000), "");
  char letter = 'r';
  EXPECT_EQ(OtherVolumeName("x.part01.rar", 0, letter), "x.part02.rar");
  EXPECT_EQ(OtherVolumeName("x.part001.rar", 9, letter), "x.part011.rar");
  EXPECT_EQ(OtherVolumeName("x.rar", 99, letter), "x.r99");
  EXPECT_EQ(OtherVolumeName("x.rar", 100, letter), "x.s00");
}

TEST(Helpers, TextsNamesAndSmallRoutines) {
  EXPECT_EQ(ErrorText(25192), "File not found");
  EXPECT_EQ(ErrorText(25443), "User canceled");
  EXPECT_EQ(ErrorText(26517), "Invalid password");
  EXPECT_EQ(ErrorText(25170), "is not accessible");
  EXPECT_EQ(ErrorText(25251), "Maximum volumes 999");
  EXPECT_TRUE(ErrorText(25999).empty());
  for (int i = 0; i < kArcTypeCount; ++i) EXPECT_EQ(ArcTypeName(static_cast<TArcType>(i)).size(), i == 0 ? 11u : 10u);
  EXPECT_EQ(ArcTypeName(TArcType::atJarExe), "JJAR SFX  ");
  EXPECT_EQ(ArcTypeName(TArcType::atMsGZ), "MsGZ     \t");
  std::string s = "a;b;c";
  EXPECT_EQ(Split(s, ";"), "a");
  EXPECT_EQ(s, "b;c");
  std::string w = "whole";
  EXPECT_EQ(Split(w, ";"), "whole");
  EXPECT_EQ(w, "");
  EXPECT_TRUE(IsGZipWord(0x8B1F));
  EXPECT_FALSE(IsGZipWord(0x2125));
  EXPECT_TRUE(IsUNCPath("\\\\srv"));
  EXPECT_FALSE(IsUNCPath("\\\\"));
  EXPECT_EQ(MethodName(8, 2, false), "DFLT-X");
  EXPECT_EQ(MethodName(12, 0, false), "BZip2-N");
  EXPECT_EQ(MethodName(0, 0, true), "<Dir>");
}
