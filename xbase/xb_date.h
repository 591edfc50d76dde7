#pragma once
// Dates of the engine: a date is a Julian day number in a 32-bit signed integer
// (1 January 1980 = 2444240), 0 meaning no date.
#include <cstdint>
#include <string>
#include <string_view>

namespace xb {

inline constexpr int32_t xbJulianOffset = 2415019;    // Julian day of 30.12.1899 (platform day 0)
inline constexpr int32_t xbJulianMin = 1721426;       // 01.01.0001
inline constexpr int32_t xbJulianMax = 5373484;       // 31.12.9999
inline constexpr int32_t xbTimeStampOffset = 1721425; // Julian day before 01.01.0001

// Pure conversions (no range test beyond the calendar's own).
int32_t xbJulianFromYMD(int year, int month, int day);    // no validity check
bool xbValidYMD(int year, int month, int day);
void xbYMDFromJulian(int32_t julian, int& year, int& month, int& day);

class TxbDBFDate {
public:
  // Display formats are widened to a four-digit year.
  bool Century = true;
  // The short date format of the display text (the platform's "dd.MM.yyyy").
  std::string ShortDateFormat = "dd.MM.yyyy";

  // Text "yyyymmdd" (or a display date "dd.mm.yyyy") to Julian; empty, blanks and
  // "00000000" give 0; an impossible date raises EConvertError.
  int32_t StrToJulian(std::string_view text) const;
  // "yyyymmdd" for a Julian > 0, else 8 blanks; a Julian beyond 31.12.9999 raises ERangeError.
  std::string JulianToDBFStr(int32_t julian) const;
  std::string JulianToDisplayStr(int32_t julian) const;
  void JulianToDate(int32_t julian, int& year, int& month, int& day) const;
  int32_t TodayJulian() const;
  // 0 for Julian < 1, else 1 (Sunday) .. 7.
  int DayOfWeekJulian(int32_t julian) const;
  // The display format with the year widened when Century is set, upper case.
  std::string DisplayFormat() const;
};

// The engine's one date object.
TxbDBFDate& xbDBFDate();

}  // namespace xb
