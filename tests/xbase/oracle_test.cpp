// Fixtures of all six versions with their memo files, read by the engine and by an
// independent reader (the Perl xBase module); both must see the same values.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "dbf_builder.h"
#include "xbase/xb_date.h"
#include "xbase/xb_dbf.h"

using namespace xb;
using namespace xbt;

namespace {
struct Fixture {
  uint8_t version;
  std::string memoExt;   // "" when none
};

// Writes table "t.dbf" (and its memo) of the version; fields NAME, CNT, and per
// version BDAY/OK or NOTE (and B for 0x30).
void build(const TempDir& t, uint8_t v) {
  std::vector<std::string> texts = {Oem("Заметка один"), std::string(700, 'm')};
  if (v == 0x03 || v == 0x04) {
    DbfBuilder b(v, {{"NAME", 'C', 20}, {"CNT", 'N', 5}, {"BDAY", 'D', 8}, {"OK", 'L', 1}});
    b.record(false, {Oem("Иванов"), N(7, 5), D(1980, 1, 1), "T"});
    b.record(true, {Oem("Петров"), N(12, 5), "", "F"});
    b.write(t.file("t.dbf"));
    return;
  }
  MemoImage m;
  std::string ext = ".dbt";
  if (v == 0x83) m = Dbt3(texts);
  if (v == 0x8B) m = Dbt4(texts);
  if (v == 0xF5 || v == 0x30) {
    m = Fpt(texts);
    ext = ".fpt";
  }
  WriteFile(t.file("t" + ext), m.bytes);
  if (v == 0x30) {
    DbfBuilder b(v, {{"NAME", 'C', 20}, {"CNT", 'N', 5}, {"NOTE", 'M', 4}, {"B", 'B', 8}});
    b.flags(0x02);
    b.record(false, {Oem("Иванов"), N(7, 5), LE32(m.blocks[0]), Dbl(2.5)});
    b.record(true, {Oem("Петров"), N(12, 5), LE32(m.blocks[1]), Dbl(-1.25)});
    b.write(t.file("t.dbf"));
    return;
  }
  DbfBuilder b(v, {{"NAME", 'C', 20}, {"CNT", 'N', 5}, {"NOTE", 'M', 10}});
  b.record(false, {Oem("Иванов"), N(7, 5), N(m.blocks[0], 10)});
  b.record(true, {Oem("Петров"), N(12, 5), N(m.blocks[1], 10)});
  b.write(t.file("t.dbf"));
}

std::string num(double d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

// The engine's view in the dump format: deleted|field|field...
std::string engineDump(const std::string& path) {
  XBO_dBaseFld f(path, false, true, "");
  std::string out;
  for (f.GoTo(-3); !f.Eof; f.GoTo(-1)) {
    out += f.IsDeleted() ? "1" : "0";
    for (int n = 1; n <= f.FieldCount; ++n) {
      out += "|";
      switch (f.FieldType(n)) {
        case 'C': out += f.StringGet(n); break;
        case 'N': out += num(f.NumberGet(n)); break;
        case 'D': out += f.DateGet(n) ? xbDBFDate().JulianToDBFStr(f.DateGet(n)) : ""; break;
        case 'L': out += f.LogicGet(n) ? "1" : "0"; break;
        case 'M': out += std::to_string(f.MemoRead(n).size()) + ":" + f.MemoRead(n).substr(0, 12); break;
        case 'B': out += num(f.NumberGet(n)); break;
      }
    }
    out += "\n";
  }
  return out;
}
}  // namespace

class SixVersions : public ::testing::TestWithParam<uint8_t> {};

TEST_P(SixVersions, EngineAndPerlReaderAgree) {
  if (std::system("perl -MXBase -e 1 2>/dev/null") != 0) GTEST_SKIP() << "the Perl xBase module is not installed";
  TempDir t;
  build(t, GetParam());
  std::string out = t.file("perl.txt");
  // Memo fields are printed as length:first 12 bytes, like the engine's dump.
  std::string cmd =
      "perl -MXBase -e '$t = XBase->new(name => shift, ignorebadheader => 1) or die XBase->errstr; "
      "@n = $t->field_names; @ty = $t->field_types; "
      "for $i (0..$t->last_record) { @r = $t->get_record($i); $d = shift @r; @o = ($d ? 1 : 0); "
      "for $k (0..$#r) { $v = $r[$k]; $v = \"\" unless defined $v; "
      "if ($ty[$k] eq \"M\") { $v = length($v) . \":\" . substr($v, 0, 12); } "
      "push @o, $v; } print join(\"|\", @o), \"\\n\"; }' " +
      t.file("t.dbf") + " > " + out + " 2>&1";
  int rc = std::system(cmd.c_str());
  ASSERT_EQ(rc, 0) << ReadFile(out);
  std::string dump = engineDump(t.file("t.dbf"));
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 2);
  EXPECT_NE(dump.find("|7"), std::string::npos);
  EXPECT_EQ(dump, ReadFile(out));
}

INSTANTIATE_TEST_SUITE_P(All, SixVersions, ::testing::Values(0x03, 0x04, 0x83, 0x8B, 0xF5, 0x30),
                         [](const ::testing::TestParamInfo<uint8_t>& p) {
                           char b[8];
                           std::snprintf(b, sizeof b, "v%02X", p.param);
                           return std::string(b);
                         });
