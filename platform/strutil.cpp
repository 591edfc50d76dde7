#include "platform/strutil.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/exception.h"

namespace platform {

std::string Copy(std::string_view s, long long index, long long count) {
  if (index < 1) index = 1;
  if (count <= 0 || index > static_cast<long long>(s.size())) return {};
  size_t start = static_cast<size_t>(index - 1);
  size_t n = static_cast<size_t>(std::min<long long>(count, static_cast<long long>(s.size() - start)));
  return std::string(s.substr(start, n));
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(0, e));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

// CP1251 letter pairs outside the main Cyrillic block (upper, lower).
static const unsigned char kPairs[][2] = {
    {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F},
    {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3},
    {0xBD, 0xBE},
};

unsigned char AnsiUpperChar(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0) return static_cast<unsigned char>(c - 32);
  for (auto& p : kPairs)
    if (p[1] == c) return p[0];
  return c;
}

unsigned char AnsiLowerChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c >= 0xC0 && c <= 0xDF) return static_cast<unsigned char>(c + 32);
  for (auto& p : kPairs)
    if (p[0] == c) return p[1];
  return c;
}

std::string AnsiUpperCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(c)));
  return r;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(AnsiLowerChar(static_cast<unsigned char>(c)));
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareText(a, b) == 0; }

int AnsiCompareText(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = AnsiUpperChar(static_cast<unsigned char>(a[i]));
    unsigned char y = AnsiUpperChar(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AnsiCompareText(a, b) == 0;
}

bool TryStrToInt64(std::string_view s, int64_t& out) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t v = 0;
  auto r = std::from_chars(s.data() + i, s.data() + s.size(), v, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  if (neg) {
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) return false;
    out = static_cast<int64_t>(0 - v);
  } else {
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    out = static_cast<int64_t>(v);
  }
  return true;
}

bool TryStrToInt(std::string_view s, int32_t& out) {
  int64_t v;
  if (!TryStrToInt64(s, v)) return false;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
  out = static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(std::string_view s) {
  int32_t v;
  if (!TryStrToInt(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

int64_t StrToInt64(std::string_view s) {
  int64_t v;
  if (!TryStrToInt64(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}

std::string IntToStr(int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

bool TryStrToFloat(std::string_view s, double& out) {
  std::string t = Trim(s);
  for (auto& c : t)
    if (c == ',') c = '.';
  if (t.empty()) return false;
  const char* b = t.data();
  const char* e = t.data() + t.size();
  if (*b == '+') ++b;
  if (b == e) return false;
  auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e;
}

double StrToFloat(std::string_view s) {
  double v;
  if (!TryStrToFloat(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
  return v;
}

std::string FloatToStr(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string out(buf, r.ptr);
  // Plain notation for ordinary magnitudes, as the platform prints them.
  if (out.find('e') != std::string::npos && std::fabs(v) >= 1e-5 && std::fabs(v) < 1e15) {
    r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    out.assign(buf, r.ptr);
  }
  return out;
}

int64_t RoundHalfEven(double v) {
  double r = std::nearbyint(v);  // the default rounding mode: to nearest, ties to even
  if (!(r >= -9.2233720368547758e18 && r < 9.2233720368547758e18))
    throw EConvertError("Invalid floating point operation");
  return static_cast<int64_t>(r);
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    if (p == std::string_view::npos) {
      out.emplace_back(s.substr(start));
      return out;
    }
    out.emplace_back(s.substr(start, p - start));
    start = p + 1;
  }
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && CompareText(s.substr(0, prefix.size()), prefix) == 0;
}

size_t Pos(std::string_view sub, std::string_view s) {
  if (sub.empty()) return 0;
  size_t p = s.find(sub);
  return p == std::string_view::npos ? 0 : p + 1;
}

std::string StringReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(from, start);
    if (p == std::string_view::npos) break;
    out.append(s.substr(start, p - start));
    out.append(to);
    start = p + from.size();
  }
  out.append(s.substr(start));
  return out;
}

}  // namespace platform
