// MDX production index files: tags built here and read back and by the Perl xBase
// module, the packed decimal numeric keys, updates and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_mdx.h"

using namespace xb;
using namespace xbt;

namespace {
const std::vector<int32_t> ByName = {7, 8, 3, 5, 2, 1, 6, 4};
const std::vector<int32_t> ByAmount = {2, 3, 6, 8, 4, 7, 1, 5};

std::vector<int32_t> perlRecs(const std::vector<std::string>& lines) {
  std::vector<int32_t> out;
  for (const std::string& l : lines) {
    size_t bar = l.rfind('|');
    out.push_back(bar == std::string::npos ? -1 : std::stoi(l.substr(bar + 1)));
  }
  return out;
}

class MdxTest : public ::testing::Test {
protected:
  void SetUp() override { writePeople(t.file("P.DBF"), samplePeople()); }
  void makeTags() {
    XBO_dBHandler h(t.file("P.DBF"), true, false, "");
    auto f = XBobjMDXFile::CreateFile(h, t.file("P.MDX"));
    f->TagCreate("NAME", "NAME");
    f->TagCreate("AMT", "AMT");
    f->TagCreate("BD", "BD");
    f->TagCreate("DNAME", "NAME", false, "", true);
  }
  TempDir t;
};
}  // namespace

TEST(MdxNumbers, PackedDecimal) {
  auto bytes = [](double v) {
    std::string p = xbMdxPackNumber(v);
    return std::vector<uint8_t>(p.begin(), p.end());
  };
  std::vector<uint8_t> a = bytes(12345);
  EXPECT_EQ(a[0], 57);
  EXPECT_EQ(a[1], 25);
  EXPECT_EQ((std::vector<uint8_t>(a.begin() + 2, a.begin() + 5)), (std::vector<uint8_t>{0x12, 0x34, 0x50}));
  std::vector<uint8_t> b = bytes(-0.5);
  EXPECT_EQ(b[0], 52);
  EXPECT_EQ(b[1], 0x89);
  EXPECT_EQ(b[2], 0x50);
  std::vector<uint8_t> z = bytes(0);
  EXPECT_EQ(z[0], 52);
  EXPECT_EQ(z[1], 1);
  std::vector<uint8_t> big = bytes(1e16);
  EXPECT_EQ(big[0], 52 + 15);
  EXPECT_EQ(big[2], 0x99);
  for (double v : {12345.0, -0.5, 0.0, 3.25, -12.75, 1e-5, 123456789012345.0}) {
    double back = -1;
    std::string p = xbMdxPackNumber(v);
    ASSERT_TRUE(xbMdxUnpackNumber(reinterpret_cast<const uint8_t*>(p.data()), back));
    EXPECT_EQ(back, v);
  }
}

TEST_F(MdxTest, TagsBuiltReadBackAndReadByPerl) {
  makeTags();
  std::string bytes = ReadFile(t.file("P.MDX"));
  EXPECT_EQ(bytes[0], 2);
  EXPECT_EQ(bytes.substr(4, 2), std::string("P\0", 2));
  EXPECT_EQ(static_cast<uint8_t>(bytes[28]), 4);   // tag count
  // Tag table in name order.
  EXPECT_EQ(bytes.substr(544 + 4, 3), "AMT");
  EXPECT_EQ(bytes.substr(576 + 4, 2), "BD");
  EXPECT_EQ(bytes.substr(608 + 4, 5), "DNAME");
  EXPECT_EQ(bytes.substr(640 + 4, 4), "NAME");
  uint32_t nameHdr = static_cast<uint8_t>(bytes[640]) | (static_cast<uint8_t>(bytes[641]) << 8);
  EXPECT_EQ(static_cast<uint8_t>(bytes[nameHdr * 512 + 14]), 62);   // keys per block of key length 10
  EXPECT_EQ(static_cast<uint8_t>(bytes[nameHdr * 512 + 18]), 16);   // item size

  XBO_dBHandler h(t.file("P.DBF"), false, true, "");
  ASSERT_EQ(h.OpenIndexes("P.MDX", "NAME"), 0);
  EXPECT_EQ(h.TagCount(), 4);
  EXPECT_EQ(walk(h), ByName);
  h.SelectTag("AMT", false);
  EXPECT_EQ(walk(h), ByAmount);
  EXPECT_TRUE(h.FindKey("3.25"));
  EXPECT_EQ(h.RecNo, 7);
  h.SelectTag("BD", false);
  EXPECT_EQ(walk(h), (std::vector<int32_t>{8, 1, 7, 4, 6, 3, 2, 5}));
  h.SelectTag("DNAME", false);
  std::vector<int32_t> back = ByName;
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(walk(h), back);

  bool ok;
  std::vector<std::string> lines = perlReadIndex(t, t.file("P.MDX"), "NAME", ok);
  if (!ok) GTEST_SKIP() << "perl with XBase::Index is missing";
  EXPECT_EQ(perlRecs(lines), ByName) << lines.front();
  EXPECT_EQ(perlRecs(perlReadIndex(t, t.file("P.MDX"), "AMT", ok)), ByAmount);
}

TEST_F(MdxTest, ManyKeysAndUpdates) {
  std::vector<PersonRow> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({"M" + std::to_string((i * 7919) % 3000), double(i % 101) - 50, ""});
  writePeople(t.file("P.DBF"), rows);
  makeTags();
  {
    XBO_dBHandler h(t.file("P.DBF"), true, true, "");
    ASSERT_EQ(h.OpenIndexes("P.MDX", "NAME"), 0);
    h.BlankRecord();
    h.FieldPutByName("NAME", "A");
    h.Append();
  }
  std::vector<std::pair<std::string, int32_t>> want;
  for (size_t i = 0; i < rows.size(); ++i) want.push_back({rows[i].name, static_cast<int32_t>(i + 1)});
  want.push_back({"A", 3001});
  std::sort(want.begin(), want.end());
  std::vector<int32_t> wantRecs;
  for (auto& w : want) wantRecs.push_back(w.second);
  XBO_dBHandler h(t.file("P.DBF"), false, true, "");
  ASSERT_EQ(h.OpenIndexes("P.MDX", "NAME"), 0);
  EXPECT_EQ(walk(h), wantRecs);
  bool ok;
  std::vector<std::string> lines = perlReadIndex(t, t.file("P.MDX"), "NAME", ok);
  if (ok) {
    EXPECT_EQ(perlRecs(lines), wantRecs);
  }
}

TEST_F(MdxTest, ReplaceAndDeleteTags) {
  makeTags();
  XBO_dBHandler h(t.file("P.DBF"), true, false, "");
  auto f = XBobjMDXFile::OpenFile(h, t.file("P.MDX"));
  f->TagCreate("AMT", "NAME");   // replaces the tag of that name
  EXPECT_EQ(f->TagCount(), 4);
  EXPECT_EQ(f->TagByName("AMT")->KeyExpr, "NAME");
  EXPECT_TRUE(f->TagDelete("BD"));
  EXPECT_EQ(f->TagCount(), 3);
  f.reset();
  auto g = XBobjMDXFile::OpenFile(h, t.file("P.MDX"));
  EXPECT_EQ(g->TagByIndex(0)->Name, "AMT");
  EXPECT_EQ(g->TagByIndex(1)->Name, "DNAME");
  EXPECT_EQ(g->TagByIndex(2)->Name, "NAME");
}

TEST_F(MdxTest, DamagedFilesAreRefusedWithTheFileName) {
  makeTags();
  std::string good = ReadFile(t.file("P.MDX"));
  uint32_t nameHdr = static_cast<uint8_t>(good[640]) | (static_cast<uint8_t>(good[641]) << 8);
  auto patch = [&](size_t at, const std::string& bytes) {
    std::string s = good;
    std::memcpy(s.data() + at, bytes.data(), bytes.size());
    return s;
  };
  std::vector<std::pair<const char*, std::string>> cases = {
      {"short file", good.substr(0, 1500)},
      {"block size 700", patch(22, std::string("\xBC\x02", 2))},
      {"tag count above the capacity", patch(28, std::string("\x40\x00", 2))},
      {"tag header beyond the end", patch(640, LE32(9000))},
      {"tag header inside the file header", patch(640, LE32(1))},
      {"root beyond the end", patch(nameHdr * 512, LE32(9000))},
      {"root is the tag header", patch(nameHdr * 512, LE32(nameHdr))},
      {"key length 0", patch(nameHdr * 512 + 12, std::string("\0\0", 2))},
      {"maximum and entry size at their limits", patch(nameHdr * 512 + 14, std::string("\xFF\xFF\x00\x00\xFF\xFF", 6))},
      {"count above the maximum", patch((nameHdr + 2) * 512, LE32(500))},
  };
  for (auto& [what, bytes] : cases) {
    WriteFile(t.file("BAD.MDX"), bytes);
    XBO_dBHandler h(t.file("P.DBF"), false, true, "");
    std::string err = errorOf([&] { h.OpenIndexes("BAD.MDX", ""); });
    EXPECT_NE(err.find(t.file("BAD.MDX")), std::string::npos) << what << ": " << err;
  }
}
