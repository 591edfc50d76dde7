#pragma once
// Dates and times as the platform counts them: a date-time is a double whose
// integral part is days since 30.12.1899 and whose fraction is the time of day.
// Texts are fixed "dd.mm.yyyy" / "hh:nn:ss"; nothing goes through the locale.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

using TDateTime = double;

constexpr int32_t kDateDelta = 693594;  // days from 01.01.0001 to 30.12.1899

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
TDateTime EncodeDate(int year, int month, int day);   // raises EConvertError on an invalid date
void DecodeDate(TDateTime d, int& year, int& month, int& day);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeTime(TDateTime d, int& hour, int& min, int& sec, int& msec);
int DayOfWeek(TDateTime d);   // 1 = Sunday ... 7 = Saturday

// Current local date, time, date and time.
TDateTime Date();
TDateTime Time();
TDateTime Now();

// "dd.mm.yyyy"
std::string FormatDate(TDateTime d);
// "hh:nn:ss"
std::string FormatTime(TDateTime d);
// "dd.mm.yyyy hh:nn:ss"
std::string FormatDateTimeText(TDateTime d);
// Formats with the platform's pattern letters: d dd m mm yy yyyy h hh n nn s ss z zzz,
// and literal text in quotes; other characters are copied.
std::string FormatDateTime(std::string_view pattern, TDateTime d);

// Day.month.year with '.', '/' or '-' as separator (day first in every case), an
// optional time part "hh:nn[:ss]"; a two-digit year is taken in 1950..2049.
bool TryStrToDate(std::string_view s, TDateTime& out);
TDateTime StrToDate(std::string_view s);   // raises EConvertError "'s' is not a valid date"
bool TryStrToTime(std::string_view s, TDateTime& out);
TDateTime StrToTime(std::string_view s);
bool TryStrToDateTime(std::string_view s, TDateTime& out);

// Whole days between two date-times (truncated towards zero), as DaysBetween.
int64_t DaysBetween(TDateTime a, TDateTime b);

}  // namespace platform
