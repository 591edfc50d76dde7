#include "platform/dates.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

#include "platform/exception.h"

using namespace platform;

TEST(Dates, DateNumbersMatchThePlatform) {
  struct Case { int y, m, d; double n; } cases[] = {
      {1899, 12, 30, 0}, {1899, 12, 31, 1}, {1900, 1, 1, 2}, {1980, 1, 1, 29221},
      {2000, 2, 29, 36585}, {2026, 12, 10, 46366}, {1, 1, 1, -693593}, {9999, 12, 31, 2958465},
  };
  for (auto& c : cases) {
    EXPECT_DOUBLE_EQ(EncodeDate(c.y, c.m, c.d), c.n) << c.y << "-" << c.m << "-" << c.d;
    int y, m, d;
    DecodeDate(c.n, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, c.y * 10000 + c.m * 100 + c.d) << c.n;
  }
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 10)), 5);  // a Thursday
}

TEST(Dates, FixedTextFormsWhateverTheLocale) {
  std::setlocale(LC_ALL, "");
  TDateTime dt = EncodeDate(2026, 1, 9) + EncodeTime(7, 5, 3, 0);
  EXPECT_EQ(FormatDate(dt), "09.01.2026");
  EXPECT_EQ(FormatTime(dt), "07:05:03");
  EXPECT_EQ(FormatDateTimeText(dt), "09.01.2026 07:05:03");
  EXPECT_EQ(FormatDateTime("ddmmyyyy", dt), "09012026");
  EXPECT_EQ(FormatDateTime("dd/mm/yy hh:mm:ss", dt), "09.01.26 07:05:03");
  EXPECT_EQ(FormatDateTime("yyyy\"-\"m\"-\"d h:nn", dt), "2026-1-9 7:05");
}

TEST(Dates, ParsingIsDayFirst) {
  struct Case { const char* s; bool ok; int y, m, d; } cases[] = {
      {"09.12.2026", true, 2026, 12, 9}, {"9/12/2026", true, 2026, 12, 9}, {" 01-02-99 ", true, 1999, 2, 1},
      {"01.02.49", true, 2049, 2, 1},    {"31.02.2026", false, 0, 0, 0},   {"", false, 0, 0, 0},
      {"..", false, 0, 0, 0},            {"1.2", false, 0, 0, 0},          {"aa.bb.cccc", false, 0, 0, 0},
  };
  for (auto& c : cases) {
    TDateTime t = 0;
    EXPECT_EQ(TryStrToDate(c.s, t), c.ok) << c.s;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(t, EncodeDate(c.y, c.m, c.d)) << c.s;
    }
  }
  TDateTime t;
  ASSERT_TRUE(TryStrToDate("10.12.2026 10:15:30", t));
  EXPECT_EQ(FormatDateTimeText(t), "10.12.2026 10:15:30");
  ASSERT_TRUE(TryStrToTime("10:15", t));
  EXPECT_EQ(FormatTime(t), "10:15:00");
  EXPECT_FALSE(TryStrToTime("24:00", t));
  EXPECT_THROW(StrToDate("31.04.2020"), EConvertError);
}

TEST(Dates, DaysBetweenCountsWholeDays) {
  EXPECT_EQ(DaysBetween(EncodeDate(2026, 1, 1), EncodeDate(2026, 1, 16)), 15);
  EXPECT_EQ(DaysBetween(EncodeDate(2026, 1, 16) + 0.9, EncodeDate(2026, 1, 1)), 15);
}

TEST(Dates, NowIsToday) {
  TDateTime n = Now();
  EXPECT_DOUBLE_EQ(Date(), std::trunc(n)) ;
  EXPECT_GT(n, EncodeDate(2020, 1, 1));
}
