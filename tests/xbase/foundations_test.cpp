// Foundations of the engine: translation tables, dates, typed values, bit sets,
// wildcard search, checked arithmetic and message formatting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "dbf_builder.h"
#include "platform/exception.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_lcal.h"
#include "xbase/xb_tool.h"

using namespace xb;

TEST(Translation, TablesAreInversePermutationsAndKeepControlBytes) {
  const uint8_t* a2o = xbAnsiToOemTable();
  const uint8_t* o2a = xbOemToAnsiTable();
  bool seen[256] = {};
  for (int c = 0; c < 256; ++c) {
    EXPECT_FALSE(seen[a2o[c]]) << c;
    seen[a2o[c]] = true;
    EXPECT_EQ(o2a[a2o[c]], c) << c;
    if (c <= 32) {
      EXPECT_EQ(a2o[c], c);
      EXPECT_EQ(o2a[c], c);
    }
  }
}

struct SpotCase { uint8_t ansi, oem; };
class TranslationSpot : public ::testing::TestWithParam<SpotCase> {};
TEST_P(TranslationSpot, AnsiToOem) { EXPECT_EQ(xbAnsiToOemTable()[GetParam().ansi], GetParam().oem); }
INSTANTIATE_TEST_SUITE_P(Values, TranslationSpot,
                         ::testing::Values(SpotCase{0xC0, 0x80}, SpotCase{0xE0, 0xA0}, SpotCase{0xF0, 0xE0},
                                           SpotCase{0xA8, 0xF0}, SpotCase{0xB8, 0xF1}, SpotCase{0xB9, 0xFC},
                                           SpotCase{0xA0, 0xFF}, SpotCase{0xB0, 0xF8}, SpotCase{0xB7, 0xFA},
                                           SpotCase{0x80, 0xB0}, SpotCase{0x98, 0xD2}, SpotCase{0xAC, 0xF9},
                                           SpotCase{'A', 'A'}));

TEST(Translation, OemToAnsiFillValue) { EXPECT_EQ(xbOemToAnsiTable()[0xC4], 0x8A); }

// The same algorithm over Python's codecs gives the same table.
TEST(Translation, MatchesIndependentBuildThroughPython) {
  if (std::system("test -x /usr/bin/python3") != 0) GTEST_SKIP() << "no /usr/bin/python3";
  const char* script = R"PY(
import sys
A=list(range(256))
for c in range(33,256):
    try:
        a=bytes([c]).decode('cp1251').encode('cp866')[0]
        r=bytes([a]).decode('cp866').encode('cp1251')[0]
        A[c]=a if (r==c and a>=33) else 0
    except Exception:
        A[c]=0
for j in range(1,256):
    if A[j]==0: continue
    for k in range(j+1,256):
        if A[k]==A[j]: A[k]=0
for c in range(33,256):
    if A[c]==0 and c not in A[33:256]: A[c]=c
for c in range(33,256):
    if A[c]==0:
        for v in range(33,256):
            if v not in A[33:256]:
                A[c]=v; break
for c in range(33): A[c]=c
sys.stdout.write(''.join('%02x'%x for x in A))
)PY";
  xbt::TempDir tmp;
  std::string out = tmp.file("table.txt");
  std::string cmd = std::string("/usr/bin/python3 -c \"") + "exec(open('/dev/stdin').read())\" > " + out + " <<'EOS'\n" +
                    script + "\nEOS";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  FILE* f = std::fopen(out.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[600] = {};
  size_t n = std::fread(buf, 1, 512, f);
  std::fclose(f);
  ASSERT_EQ(n, 512u);
  for (int c = 0; c < 256; ++c) {
    unsigned v = static_cast<unsigned>(std::strtoul(std::string(buf + 2 * c, 2).c_str(), nullptr, 16));
    EXPECT_EQ(xbAnsiToOemTable()[c], v) << "byte " << c;
  }
}

TEST(Translation, BufferInPlaceAndCountZero) {
  std::string s = "\xC8\xE2\xE0\xED\xEE\xE2";   // "Иванов" in CP1251
  std::string o = xbAnsiToOemStr(s);
  EXPECT_EQ(o, "\x88\xA2\xA0\xAD\xAE\xA2");
  xbOemToAnsiBuf(o.data(), o.data(), o.size());
  EXPECT_EQ(o, s);
  char b[2] = {'x', 'y'};
  xbAnsiToOemBuf(b, b, 0);
  EXPECT_EQ(b[0], 'x');
}

struct JulianCase { const char* text; int32_t julian; };
class StrToJulianCases : public ::testing::TestWithParam<JulianCase> {};
TEST_P(StrToJulianCases, Converts) { EXPECT_EQ(xbDBFDate().StrToJulian(GetParam().text), GetParam().julian); }
INSTANTIATE_TEST_SUITE_P(Values, StrToJulianCases,
                         ::testing::Values(JulianCase{"", 0}, JulianCase{"        ", 0}, JulianCase{"00000000", 0},
                                           JulianCase{"00000000\r\n", 0}, JulianCase{"19800101", 2444240},
                                           JulianCase{"01.01.1980", 2444240}, JulianCase{"18991230", 2415019},
                                           JulianCase{"00010101", 1721426}, JulianCase{"99991231", 5373484},
                                           JulianCase{"20110501", 2455683}));

TEST(Dates, ImpossibleDateRaisesConversionError) {
  EXPECT_THROW(xbDBFDate().StrToJulian("19800230"), platform::EConvertError);
  EXPECT_THROW(xbDBFDate().StrToJulian("00001301"), platform::EConvertError);
}

TEST(Dates, JulianToTexts) {
  EXPECT_EQ(xbDBFDate().JulianToDBFStr(0), "        ");
  EXPECT_EQ(xbDBFDate().JulianToDBFStr(-5), "        ");
  EXPECT_EQ(xbDBFDate().JulianToDBFStr(2444240), "19800101");
  EXPECT_EQ(xbDBFDate().JulianToDBFStr(5373484), "99991231");
  EXPECT_THROW(xbDBFDate().JulianToDBFStr(5373485), ERangeError);
  TxbDBFDate d;
  d.ShortDateFormat = "dd.MM.yy";
  d.Century = true;
  EXPECT_EQ(d.JulianToDisplayStr(2444240), "01.01.1980");
  EXPECT_EQ(d.JulianToDisplayStr(0), std::string(10, ' '));
  d.Century = false;
  EXPECT_EQ(d.JulianToDisplayStr(2444240), "01.01.80");
  EXPECT_EQ(xbDBFDate().DayOfWeekJulian(2444240), 3);
  EXPECT_EQ(xbDBFDate().DayOfWeekJulian(0), 0);
  int y, m, dd;
  xbDBFDate().JulianToDate(2455683, y, m, dd);
  EXPECT_EQ(y * 10000 + m * 100 + dd, 20110501);
  EXPECT_GT(xbDBFDate().TodayJulian(), 2460000);
}

TEST(Variant, CompareTable) {
  TxbVariant ab, abc, ab2, n;
  ab.SetText("AB");
  abc.SetText("ABC");
  ab2.SetText("AB");
  n.SetNumber(1.5);
  EXPECT_EQ(ab.Compare(&abc, nullptr, nullptr, 0), 0);
  EXPECT_EQ(ab.Compare(&abc, nullptr, nullptr, -1), -1);
  EXPECT_EQ(abc.Compare(&ab), 1);
  EXPECT_EQ(ab.Compare(&ab2), 0);
  EXPECT_THROW(ab.Compare(&n), EXBaseError);
  TxbVariant raw;
  raw.SetRaw("AC", 2);
  EXPECT_EQ(raw.Compare(&ab), 1);   // raw takes the text type
  TxbVariant empty;
  EXPECT_EQ(empty.Compare(&ab), -1);
  EXPECT_EQ(empty.Compare(nullptr), 0);
  TxbVariant et;
  et.SetText("");
  EXPECT_EQ(et.Compare(&ab), -1);
  EXPECT_EQ(ab.Compare(&et), 1);
  EXPECT_EQ(ab.Compare(nullptr), 1);
  TxbVariant d1, d2;
  d1.SetDate(-5);
  d2.SetDate(3);
  EXPECT_EQ(d1.Compare(&d2), -1);
  TxbVariant t, f;
  t.SetBoolean(true);
  f.SetBoolean(false);
  EXPECT_EQ(t.Compare(&f), 1);
  EXPECT_EQ(f.Compare(&t), -1);
  EXPECT_EQ(t.Compare(&t), 0);
}

TEST(Variant, Conversions) {
  TxbVariant v;
  v.SetText("19800101");
  EXPECT_EQ(v.AsDate(), 2444240);
  v.SetNumber(19800101);
  EXPECT_EQ(v.AsDate(), 2444240);   // numbers read as dates through yyyymmdd
  v.SetDate(2444240);
  EXPECT_EQ(v.AsNumber(), 2444240.0);
  v.SetBoolean(true);
  EXPECT_EQ(v.AsText(), "T");
  EXPECT_EQ(v.AsNumber(), 1.0);
  v.SetText("y");
  EXPECT_TRUE(v.AsBoolean());
  v.SetRaw("\x01", 1);   // shorter than a double: no over-read
  EXPECT_NO_THROW(v.AsNumber());
  EXPECT_NO_THROW(v.AsDate());
  v.SetText("AB");
  v.PadText(4);
  EXPECT_EQ(v.AsText(), "AB  ");
  v.TrimText();
  EXPECT_EQ(v.AsText(), "AB");
  v.AppendRaw("C", 1);
  EXPECT_EQ(v.Type(), TxbVarType::Raw);
  EXPECT_EQ(v.AsText(), "ABC");
}

TEST(HugeSet, PagesAndBits) {
  TxbHugeSet s;
  EXPECT_FALSE(s.TestBit(5));
  EXPECT_EQ(s.PageCount(), 0u);
  s.SetBit(3, 1);
  EXPECT_EQ(s.PageCount(), 1u);
  EXPECT_TRUE(s.TestBit(3));
  EXPECT_FALSE(s.TestBit(1000000));
  EXPECT_EQ(s.PageCount(), 1u);
  s.SetBit(131072, 1);
  EXPECT_EQ(s.PageCount(), 2u);
  EXPECT_EQ(s.Highest(), 131072);
  s.SetBit(7, 2);
  s.SetBit(7, 2);
  EXPECT_FALSE(s.TestBit(7));
  s.SetBit(3, 0);
  EXPECT_FALSE(s.TestBit(3));
  s.ClearAll();
  EXPECT_EQ(s.Highest(), -1);
  EXPECT_FALSE(s.TestBit(131072));
  EXPECT_THROW(s.SetBit(-1, 1), ERangeError);
}

struct WildCase { const char* pattern; const char* text; size_t pos; };
class Wildcard : public ::testing::TestWithParam<WildCase> {};
TEST_P(Wildcard, Position) { EXPECT_EQ(xbWildcardPos(GetParam().pattern, GetParam().text), GetParam().pos); }
INSTANTIATE_TEST_SUITE_P(Values, Wildcard,
                         ::testing::Values(WildCase{"", "ABC", 0}, WildCase{"ABCD", "ABC", 0}, WildCase{"*", "A", 1},
                                           WildCase{"BC", "ABCD", 2}, WildCase{"A?C", "ABCD", 1},
                                           WildCase{"B?D", "ABCD", 0}, WildCase{"*B?", "AB?D", 2},
                                           WildCase{"*BC*", "ABCD", 2}, WildCase{"AB*", "AB", 0},
                                           WildCase{"AB*", "ABC", 1}));

TEST(Checked, OverflowAndRange) {
  EXPECT_THROW(checked_add<int32_t>(INT32_MAX, 1), EIntOverflow);
  EXPECT_THROW(checked_mul<int32_t>(65536, 65536), EIntOverflow);
  EXPECT_THROW(checked_cast<int32_t>(int64_t{1} << 31), ERangeError);
  EXPECT_EQ(checked_cast<int32_t>(int64_t{-5}), -5);
  EXPECT_THROW(checked_trunc<int32_t>(2147483648.0), ERangeError);
  EXPECT_EQ(checked_trunc<int32_t>(-2147483648.9), INT32_MIN);
  EXPECT_THROW(checked_trunc<int64_t>(std::numeric_limits<double>::quiet_NaN()), ERangeError);
  EXPECT_EQ(checked_round<int32_t>(2.5), 2);
  EXPECT_EQ(checked_round<int32_t>(3.5), 4);
  EXPECT_EQ(checked_round<int32_t>(-2.5), -2);
}

TEST(Messages, FormatNeverInterpretsArguments) {
  EXPECT_EQ(xbFormat(msg::RecordNotInTable, {int32_t{7}, "/x/T.DBF"}), "Record number 7 is not in table /x/T.DBF");
  EXPECT_EQ(xbFormat(msg::FileNotFound, {"%s%d"}), "File %s%d could not be found");
  EXPECT_EQ(xbFormat(msg::NeedsFullAccess, {"Truncate", "a"}), "Truncate requires full access to file a");
  try {
    xbRaise(msg::HeaderInvalid, {"f.dbf"});
  } catch (const EXBaseError& e) {
    EXPECT_STREQ(e.className(), "EXBaseError");
    EXPECT_STREQ(e.what(), "Table Header for f.dbf is invalid");
  }
}

TEST(Locale, Cp1251CompareAndCase) {
  EXPECT_EQ(xbCompareText("\xE0\xE1", "\xC0\xC1"), 0);   // "аб" / "АБ"
  EXPECT_EQ(xbCompareText("\xB8", "\xA8"), 0);           // "ё" / "Ё"
  EXPECT_LT(xbCompareStr("\xC0", "\xE0"), 0);
  EXPECT_EQ(xbUpperCase("abc\xE0\xB8"), "ABC\xC0\xA8");
  EXPECT_EQ(xbLowerCase("ABC\xC0\xA8"), "abc\xE0\xB8");
  EXPECT_LT(xbCompareText("ab", "abc"), 0);
}

TEST(FileNames, Routines) {
  EXPECT_EQ(xbDefaultExt("/d/PATIENTS", ".DBF"), "/d/PATIENTS.DBF");
  EXPECT_EQ(xbDefaultExt("/d.x/PATIENTS.dbf", ".DBF"), "/d.x/PATIENTS.dbf");
  EXPECT_EQ(xbDefaultExt("/d.x/PATIENTS", ".DBF"), "/d.x/PATIENTS.DBF");
  EXPECT_EQ(xbFileStem("/a/b/Table.dbf"), "Table");
  EXPECT_EQ(xbChangeExt("/a/T.DBF", ".dbt"), "/a/T.dbt");
  char buf[8] = "ab";
  xbPadBuffer(buf, '*', 5);
  EXPECT_STREQ(buf, "ab***");
}
