#include "xbase/xb_date.h"

#include <chrono>
#include <ctime>

#include "platform/dates.h"
#include "platform/exception.h"
#include "xbase/checked.h"

namespace xb {

namespace {
constexpr int32_t kUnixJulian = 2440588;   // 01.01.1970
}

bool xbValidYMD(int year, int month, int day) {
  if (year < 1 || year > 9999) return false;
  std::chrono::year_month_day d{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                std::chrono::day{static_cast<unsigned>(day)}};
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && d.ok();
}

int32_t xbJulianFromYMD(int year, int month, int day) {
  std::chrono::year_month_day d{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                std::chrono::day{static_cast<unsigned>(day)}};
  return static_cast<int32_t>(std::chrono::sys_days(d).time_since_epoch().count() + kUnixJulian);
}

void xbYMDFromJulian(int32_t julian, int& year, int& month, int& day) {
  std::chrono::sys_days sd{std::chrono::days{static_cast<int64_t>(julian) - kUnixJulian}};
  std::chrono::year_month_day d{sd};
  year = static_cast<int>(d.year());
  month = static_cast<int>(static_cast<unsigned>(d.month()));
  day = static_cast<int>(static_cast<unsigned>(d.day()));
}

int32_t TxbDBFDate::StrToJulian(std::string_view text) const {
  while (!text.empty() && static_cast<unsigned char>(text.back()) < 33) text.remove_suffix(1);
  if (text.empty() || text == "00000000") return 0;
  bool digits = text.size() == 8;
  for (char c : text)
    if (c < '0' || c > '9') digits = false;
  if (digits) {
    int y = (text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0');
    int m = (text[4] - '0') * 10 + (text[5] - '0');
    int d = (text[6] - '0') * 10 + (text[7] - '0');
    if (!xbValidYMD(y, m, d))
      throw platform::EConvertError("'" + std::string(text) + "' is not a valid date");
    return xbJulianFromYMD(y, m, d);
  }
  // Any other text goes through the platform's date conversion (dd.mm.yyyy).
  platform::TDateTime dt = platform::StrToDate(text);
  return checked_add(checked_trunc<int32_t>(dt), xbJulianOffset);
}

std::string TxbDBFDate::JulianToDBFStr(int32_t julian) const {
  if (julian <= 0) return std::string(8, ' ');
  if (julian < xbJulianMin || julian > xbJulianMax) throw ERangeError();
  int y, m, d;
  xbYMDFromJulian(julian, y, m, d);
  std::string s(8, '0');
  s[0] = static_cast<char>('0' + y / 1000);
  s[1] = static_cast<char>('0' + y / 100 % 10);
  s[2] = static_cast<char>('0' + y / 10 % 10);
  s[3] = static_cast<char>('0' + y % 10);
  s[4] = static_cast<char>('0' + m / 10);
  s[5] = static_cast<char>('0' + m % 10);
  s[6] = static_cast<char>('0' + d / 10);
  s[7] = static_cast<char>('0' + d % 10);
  return s;
}

std::string TxbDBFDate::DisplayFormat() const {
  std::string f;
  for (char c : ShortDateFormat) f += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  if (Century) {
    while (f.find("YYYY") == std::string::npos) {
      size_t y = f.find('Y');
      if (y == std::string::npos) break;
      f.insert(y, 1, 'Y');
    }
  }
  return f;
}

std::string TxbDBFDate::JulianToDisplayStr(int32_t julian) const {
  std::string f = DisplayFormat();
  if (julian < 1) return std::string(f.size(), ' ');
  if (julian < xbJulianMin || julian > xbJulianMax) throw ERangeError();
  int y, m, d;
  xbYMDFromJulian(julian, y, m, d);
  // The platform's pattern letters are case-insensitive for d, m and y.
  std::string pattern;
  for (char c : f) pattern += (c == 'D' || c == 'M' || c == 'Y') ? static_cast<char>(c + 32) : c;
  return platform::FormatDateTime(pattern, platform::EncodeDate(y, m, d));
}

void TxbDBFDate::JulianToDate(int32_t julian, int& year, int& month, int& day) const {
  xbYMDFromJulian(julian, year, month, day);
}

int32_t TxbDBFDate::TodayJulian() const {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return xbJulianFromYMD(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

int TxbDBFDate::DayOfWeekJulian(int32_t julian) const {
  if (julian < 1) return 0;
  return static_cast<int>((static_cast<int64_t>(julian) + 1) % 7) + 1;
}

TxbDBFDate& xbDBFDate() {
  static TxbDBFDate d;
  return d;
}

}  // namespace xb
