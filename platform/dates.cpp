#include "platform/dates.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

#include "platform/exception.h"
#include "platform/strutil.h"

namespace platform {
namespace {

constexpr int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
constexpr double kMsPerDay = 86400000.0;

// Days from 01.01.0001 (day 1) for a valid civil date.
int64_t daysFromCivil(int y, int m, int d) {
  int64_t i = y - 1;
  int64_t days = i * 365 + i / 4 - i / 100 + i / 400;
  const int* md = kMonthDays[IsLeapYear(y) ? 1 : 0];
  for (int k = 0; k < m - 1; ++k) days += md[k];
  return days + d;
}

void civilFromDays(int64_t n, int& y, int& m, int& d) {
  // n: days since 01.01.0001 with 01.01.0001 = 1. Shift to days since 1970-01-01.
  int64_t z = n - 719163;  // 01.01.1970 is day 719163 of this count
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t yy = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2 ? 1 : 0));
}

std::string two(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

// Whole milliseconds of the time-of-day part.
int64_t timeMs(TDateTime d) {
  double frac = std::fabs(d - std::trunc(d));
  int64_t ms = static_cast<int64_t>(std::llround(frac * kMsPerDay));
  if (ms >= 86400000) ms = 86399999;
  return ms;
}

bool parseUInt(std::string_view s, int& out) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

}  // namespace

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) { return kMonthDays[IsLeapYear(y) ? 1 : 0][m - 1]; }

bool TryEncodeDate(int y, int m, int d, TDateTime& out) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  out = static_cast<double>(daysFromCivil(y, m, d) - kDateDelta);
  return true;
}

TDateTime EncodeDate(int y, int m, int d) {
  TDateTime r;
  if (!TryEncodeDate(y, m, d, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

void DecodeDate(TDateTime dt, int& y, int& m, int& d) {
  int64_t n = static_cast<int64_t>(std::trunc(dt)) + kDateDelta;
  if (n <= 0) {
    y = m = d = 0;
    return;
  }
  civilFromDays(n, y, m, d);
}

bool TryEncodeTime(int h, int mi, int s, int ms, TDateTime& out) {
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  out = ((h * 3600000.0) + mi * 60000.0 + s * 1000.0 + ms) / kMsPerDay;
  return true;
}

TDateTime EncodeTime(int h, int mi, int s, int ms) {
  TDateTime r;
  if (!TryEncodeTime(h, mi, s, ms, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeTime(TDateTime d, int& h, int& mi, int& s, int& ms) {
  int64_t t = timeMs(d);
  h = static_cast<int>(t / 3600000);
  mi = static_cast<int>(t / 60000 % 60);
  s = static_cast<int>(t / 1000 % 60);
  ms = static_cast<int>(t % 1000);
}

int DayOfWeek(TDateTime d) {
  int64_t n = static_cast<int64_t>(std::trunc(d)) + kDateDelta;  // 01.01.0001 was a Monday
  return static_cast<int>(n % 7) + 1;
}

TDateTime Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm lt{};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &lt);
  TDateTime d = EncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  TDateTime t = EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec,
                           static_cast<int>(tv.tv_usec / 1000));
  return d + t;
}

TDateTime Date() { return std::trunc(Now()); }

TDateTime Time() {
  TDateTime n = Now();
  return n - std::trunc(n);
}

std::string FormatDate(TDateTime d) {
  int y, m, dd;
  DecodeDate(d, y, m, dd);
  char b[16];
  std::snprintf(b, sizeof b, "%02d.%02d.%04d", dd, m, y);
  return b;
}

std::string FormatTime(TDateTime d) {
  int h, mi, s, ms;
  DecodeTime(d, h, mi, s, ms);
  return two(h) + ":" + two(mi) + ":" + two(s);
}

std::string FormatDateTimeText(TDateTime d) { return FormatDate(d) + " " + FormatTime(d); }

std::string FormatDateTime(std::string_view p, TDateTime dt) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
  std::string out;
  bool afterHour = false;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < p.size() && (p[i + n] | 0x20) == c) ++n;
    return n;
  };
  while (i < p.size()) {
    char c = p[i];
    char lc = static_cast<char>(c | 0x20);
    if (c == '"' || c == '\'') {
      size_t e = p.find(c, i + 1);
      if (e == std::string_view::npos) e = p.size();
      out.append(p.substr(i + 1, e - i - 1));
      i = e + 1;
      continue;
    }
    if (lc == 'd') {
      size_t n = run('d');
      out += n >= 2 ? two(d) : std::to_string(d);
      i += n;
    } else if (lc == 'm') {
      size_t n = run('m');
      int v = afterHour ? mi : mo;
      out += n >= 2 ? two(v) : std::to_string(v);
      afterHour = false;
      i += n;
    } else if (lc == 'y') {
      size_t n = run('y');
      char b[8];
      if (n <= 2) std::snprintf(b, sizeof b, "%02d", y % 100);
      else std::snprintf(b, sizeof b, "%04d", y);
      out += b;
      i += n;
    } else if (lc == 'h') {
      size_t n = run('h');
      out += n >= 2 ? two(h) : std::to_string(h);
      afterHour = true;
      i += n;
    } else if (lc == 'n') {
      size_t n = run('n');
      out += n >= 2 ? two(mi) : std::to_string(mi);
      afterHour = false;
      i += n;
    } else if (lc == 's') {
      size_t n = run('s');
      out += n >= 2 ? two(s) : std::to_string(s);
      i += n;
    } else if (lc == 'z') {
      size_t n = run('z');
      char b[8];
      if (n >= 3) std::snprintf(b, sizeof b, "%03d", ms);
      else std::snprintf(b, sizeof b, "%d", ms);
      out += b;
      i += n;
    } else if (c == '/') {
      out += '.';
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

bool TryStrToDate(std::string_view text, TDateTime& out) {
  std::string s = Trim(text);
  std::string datePart = s, timePart;
  size_t sp = s.find(' ');
  if (sp != std::string::npos) {
    datePart = s.substr(0, sp);
    timePart = Trim(s.substr(sp + 1));
  }
  char sep = 0;
  for (char c : datePart)
    if (c == '.' || c == '/' || c == '-') {
      sep = c;
      break;
    }
  if (!sep) return false;
  auto parts = Split(datePart, sep);
  if (parts.size() != 3) return false;
  int d, m, y;
  if (!parseUInt(parts[0], d) || !parseUInt(parts[1], m) || !parseUInt(parts[2], y)) return false;
  if (parts[2].size() <= 2) y += y < 50 ? 2000 : 1900;
  TDateTime r;
  if (!TryEncodeDate(y, m, d, r)) return false;
  if (!timePart.empty()) {
    TDateTime t;
    if (!TryStrToTime(timePart, t)) return false;
    r += t;
  }
  out = r;
  return true;
}

TDateTime StrToDate(std::string_view s) {
  TDateTime r;
  if (!TryStrToDate(s, r)) throw EConvertError("'" + std::string(s) + "' is not a valid date");
  return r;
}

bool TryStrToTime(std::string_view text, TDateTime& out) {
  std::string s = Trim(text);
  auto parts = Split(s, ':');
  if (parts.size() < 2 || parts.size() > 3) return false;
  int h, m, sec = 0, ms = 0;
  if (!parseUInt(parts[0], h) || !parseUInt(parts[1], m)) return false;
  if (parts.size() == 3) {
    std::string sp = parts[2];
    size_t dot = sp.find('.');
    if (dot != std::string::npos) {
      std::string frac = sp.substr(dot + 1);
      sp = sp.substr(0, dot);
      if (!parseUInt(frac, ms) || frac.size() > 3) return false;
      for (size_t k = frac.size(); k < 3; ++k) ms *= 10;
    }
    if (!parseUInt(sp, sec)) return false;
  }
  return TryEncodeTime(h, m, sec, ms, out);
}

TDateTime StrToTime(std::string_view s) {
  TDateTime r;
  if (!TryStrToTime(s, r)) throw EConvertError("'" + std::string(s) + "' is not a valid time");
  return r;
}

bool TryStrToDateTime(std::string_view s, TDateTime& out) { return TryStrToDate(s, out); }

int64_t DaysBetween(TDateTime a, TDateTime b) {
  double diff = std::fabs(a - b);
  return static_cast<int64_t>(std::trunc(diff + 1e-9));
}

}  // namespace platform
