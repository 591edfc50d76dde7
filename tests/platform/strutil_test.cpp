#include "platform/strutil.h"

#include <gtest/gtest.h>

#include "platform/exception.h"

using namespace platform;

TEST(StrUtil, CopyIsOneBasedAndClamped) {
  struct Case { const char* s; long long i, n; const char* want; } cases[] = {
      {"abcdef", 1, 3, "abc"}, {"abcdef", 4, 100, "def"}, {"abcdef", 0, 2, "ab"}, {"abcdef", -5, 2, "ab"},
      {"abcdef", 7, 1, ""},    {"abcdef", 3, 0, ""},      {"abcdef", 3, -1, ""}, {"", 1, 1, ""},
  };
  for (auto& c : cases) EXPECT_EQ(Copy(c.s, c.i, c.n), c.want) << c.s << " " << c.i << " " << c.n;
}

TEST(StrUtil, TrimRemovesControlBytesButNotHighBytes) {
  EXPECT_EQ(Trim("\t\r\n  a b \x01\x1f"), "a b");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");  // CP1251 no-break space is a character here
  EXPECT_EQ(TrimLeft("  x "), "x ");
  EXPECT_EQ(TrimRight("  x "), "  x");
  EXPECT_EQ(Trim("   "), "");
}

TEST(StrUtil, UpperCaseAsciiOnlyAndAnsiUpperCaseCp1251) {
  // "г." in CP1251 is E3 2E; its capital is C3.
  EXPECT_EQ(UpperCase("abc\xE3."), "ABC\xE3.");
  EXPECT_EQ(AnsiUpperCase("abc\xE3.\xB8\xFF"), "ABC\xC3.\xA8\xDF");
  EXPECT_EQ(AnsiLowerCase("\xC0\xDF\xA8Z"), "\xE0\xFF\xB8z");
  // Cyrillic capital EM (CC) is not Latin M.
  EXPECT_FALSE(AnsiSameText("\xCC", "M"));
  EXPECT_TRUE(AnsiSameText("\xEC\xE8\xF0", "\xCC\xC8\xD0"));
  EXPECT_FALSE(SameText("\xEC", "\xCC"));
  EXPECT_TRUE(SameText("Password", "PASSWORD"));
}

TEST(StrUtil, StrToIntRules) {
  struct Case { const char* s; bool ok; int32_t v; } cases[] = {
      {"12", true, 12},       {"  -7", true, -7},     {"+5", true, 5},       {"$1F", true, 31},
      {"0x10", true, 16},     {"2147483647", true, 2147483647},             {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"12 ", false, 0},  {"", false, 0},        {" ", false, 0},
      {"12A", false, 0},      {"-", false, 0},       {"1.5", false, 0},
  };
  for (auto& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.s, v), c.ok) << '"' << c.s << '"';
    if (c.ok) {
      EXPECT_EQ(v, c.v) << c.s;
    }
  }
  EXPECT_THROW(StrToInt(""), EConvertError);
  try {
    StrToInt("x1");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    EXPECT_EQ(describe(e), "EConvertError\r'x1' is not a valid integer value");
  }
  EXPECT_EQ(StrToIntDef("zz", 9), 9);
  EXPECT_EQ(IntToStr(-1234567890123LL), "-1234567890123");
}

TEST(StrUtil, FloatsIgnoreTheLocaleAndRoundHalfToEven) {
  double d = 0;
  EXPECT_TRUE(TryStrToFloat(" 12.5 ", d));
  EXPECT_DOUBLE_EQ(d, 12.5);
  EXPECT_TRUE(TryStrToFloat("-0,25", d));
  EXPECT_DOUBLE_EQ(d, -0.25);
  EXPECT_FALSE(TryStrToFloat("1.2.3", d));
  EXPECT_FALSE(TryStrToFloat("", d));
  EXPECT_EQ(FloatToStr(12.5), "12.5");
  EXPECT_EQ(FloatToStr(100), "100");
  struct Case { double v; int64_t want; } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-2.5, -2}, {2.6, 3}, {-0.4, 0}};
  for (auto& c : cases) EXPECT_EQ(RoundHalfEven(c.v), c.want) << c.v;
}

TEST(StrUtil, SplitPosReplace) {
  auto parts = Split("a;;b;", ';');
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[2], "b");
  EXPECT_EQ(parts[3], "");
  EXPECT_EQ(Pos("cd", "abcd"), 3u);
  EXPECT_EQ(Pos("x", "abcd"), 0u);
  EXPECT_EQ(StringReplaceAll("a.ZIP.ZIP", ".ZIP", ".LOAD"), "a.LOAD.LOAD");
  EXPECT_TRUE(StartsText("ab", "ABC"));
}
