#include "xbase/xb_fctn.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_lcal.h"
#include "xbase/xb_sql.h"

namespace xb {

namespace {

using Body = std::function<void(TxbExpFunction&, TxbExpValue&, int&)>;

class TxbStdFunction : public TxbUserDefFunction {
public:
  TxbStdFunction(std::string name, Body body) : name_(std::move(name)), body_(std::move(body)) {}
  std::string Name() const override { return name_; }
  void Evaluate(TxbExpFunction& call, TxbExpValue& value, int& type) override { body_(call, value, type); }

private:
  std::string name_;
  Body body_;
};

bool isBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}
std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

// Required argument of a type: a missing one raises as a wrong type.
void need(TxbExpFunction& call, size_t i, int expected, TxbExpValue& v) {
  if (call.Arg(i, expected, v) == etEmpty && expected != etAny)
    xbRaiseExpr(msg::ExpArgumentType, {xbExpTypeName(expected), static_cast<int32_t>(i + 1), call.Name()});
}

double num(TxbExpFunction& call, size_t i) {
  TxbExpValue v;
  need(call, i, etNumber, v);
  return v.AsNumber();
}

std::string text(TxbExpFunction& call, size_t i) {
  TxbExpValue v;
  need(call, i, etText, v);
  return v.AsText();
}

int32_t whole(double d, const std::string& fn) {
  double r = std::nearbyint(d);
  if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
    xbRaiseExpr(msg::ExpArgumentRange, {fn, "a 32-bit whole number"});
  return static_cast<int32_t>(r);
}

int32_t wholeArg(TxbExpFunction& call, size_t i) { return whole(num(call, i), call.Name()); }

// Optional Number argument; only a Number counts, anything else gives the default.
bool optNum(TxbExpFunction& call, size_t i, double& out) {
  if (!call.HasArg(i)) return false;
  TxbExpValue v;
  int t = call.Arg(i, etAny, v);
  if (!xbExpNumeric(t)) return false;
  out = v.AsNumber();
  return true;
}

double finite(double v, const std::string& fn) {
  if (!std::isfinite(v)) xbRaiseExpr(msg::ExpOverflow, {fn});
  return v;
}

void checkLength(size_t n, const std::string& fn) {
  if (n > xbMaxFunctionText) xbRaiseExpr(msg::ExpTooLong, {fn});
}

bool emptyDate(double d) { return d == 0 || d == xbEmptyDateMark; }

// -1, 0, 1 for two values of matching types.
// Texts compare as the expression's comparison operators compare them.
int compareValues(const TxbExpFunction& call, const TxbExpValue& a, int ta, const TxbExpValue& b) {
  if (xbExpNumeric(ta)) {
    double x = a.AsNumber(), y = b.AsNumber();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (ta == etBoolean) return static_cast<int>(a.AsBoolean()) - static_cast<int>(b.AsBoolean());
  int c = call.Owner().CompareText(a.AsText(), b.AsText());
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

size_t atPosition(std::string c1, std::string c2, TxbExpFunction& call, bool upper) {
  if (upper) {
    for (char& ch : c1)
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    for (char& ch : c2)
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  }
  double occ = 1;
  optNum(call, 2, occ);
  if (occ < 1 || c1.empty()) return 0;
  double count = std::floor(occ);
  size_t pos = c2.find(c1);
  if (pos == std::string::npos) return 0;
  size_t reached = pos + 1;
  for (double k = 1; k < count; ++k) {
    size_t next = c2.find(c1, pos + c1.size());
    if (next == std::string::npos) break;
    pos = next;
    reached = pos + 1;
  }
  return reached;
}

void pad(TxbExpFunction& call, TxbExpValue& v, int& type, int where) {
  type = etText;
  if (!call.HasArg(0)) xbRaiseExpr(msg::ExpArgumentType, {"Value", int32_t{1}, "Pad"});
  TxbExpValue x;
  int tx = call.Arg(0, etAny, x);
  std::string s;
  if (tx == etDate) s = xbDBFDate().JulianToDisplayStr(static_cast<int32_t>(x.AsNumber()));
  else s = x.AsText();
  int32_t n = wholeArg(call, 1);
  char fill = ' ';
  if (call.HasArg(2)) {
    TxbExpValue c;
    int tc = call.Arg(2, etAny, c);
    if (tc != etText || c.text.size() != 1) xbRaiseExpr(msg::ExpValueRequired, {"Char"});
    fill = c.text[0];
  }
  if (n < 0 || static_cast<size_t>(n) <= s.size()) {
    v.SetText(std::move(s));
    return;
  }
  checkLength(static_cast<size_t>(n), call.Name());
  size_t gap = static_cast<size_t>(n) - s.size();
  size_t left = where == 0 ? gap / 2 : (where < 0 ? gap : 0);
  v.SetText(std::string(left, fill) + s + std::string(gap - left, fill));
}

// The platform's future and present values.
double futureValue(double rate, int32_t n, double payment, double present, int timing) {
  if (rate == 0) return -(present + payment * n);
  double f = std::pow(1 + rate, n);
  return -(present * f + payment * (1 + rate * timing) * (f - 1) / rate);
}
double presentValue(double rate, int32_t n, double payment, double future, int timing) {
  if (rate == 0) return -(future + payment * n);
  double f = std::pow(1 + rate, n);
  return -(future + payment * (1 + rate * timing) * (f - 1) / rate) / f;
}

void money(TxbExpFunction& call, TxbExpValue& v, int& type, bool fv) {
  type = etNumber;
  double payment = num(call, 0), rate = num(call, 1);
  int32_t periods = wholeArg(call, 2);
  double other = 0, timing = 0;
  optNum(call, 3, other);
  optNum(call, 4, timing);
  if (std::fabs(timing) > 1) xbRaiseExpr(msg::ExpArgumentRange, {"FV PaymentTime", "0 or 1"});
  int t = timing != 0 ? 1 : 0;
  double r = fv ? futureValue(rate, periods, payment, other, t) : presentValue(rate, periods, payment, other, t);
  v.SetNumber(finite(std::fabs(r), call.Name()));
}

bool isAnsiLetter(unsigned char c) {
  return (c >= 0xC0) || c == 0xA8 || c == 0xB8 || c == 0xAA || c == 0xBA || c == 0xAF || c == 0xBF ||
         c == 0xB2 || c == 0xB3 || c == 0xA1 || c == 0xA2 || c == 0x8A || c == 0x9A || c == 0x8C || c == 0x9C ||
         c == 0x8D || c == 0x9D || c == 0x8E || c == 0x9E || c == 0x8F || c == 0x9F || c == 0x80 || c == 0x90 ||
         c == 0x81 || c == 0x83 || c == 0xA3 || c == 0xBC || c == 0xA5 || c == 0xB4 || c == 0xBD || c == 0xBE;
}

bool properSeparator(unsigned char c) {
  if (c == 0 || (c >= 32 && c <= 38) || (c >= 40 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 95) ||
      (c >= 123 && c <= 127))
    return true;
  return c > 127 && !isAnsiLetter(c);
}

void reg(TxbFunctionReg& r, const char* name, Body body) { r.Register(std::make_unique<TxbStdFunction>(name, std::move(body))); }

using Math = double (*)(double);
void mathFn(TxbFunctionReg& r, const char* name, Math f) {
  reg(r, name, [f](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    v.SetNumber(finite(f(num(c, 0)), c.Name()));
  });
}

}  // namespace

// ---------------------------------------------------------------------------

std::string xbStrNumber(double v, int width, int decimals) {
  if (width < 1) return std::string();
  if (static_cast<size_t>(width) > xbMaxFunctionText) xbRaiseExpr(msg::ExpTooLong, {"STR"});
  if (decimals < 0) decimals = 0;
  if (decimals >= width) decimals = width > 1 ? width - 2 : 0;
  if (decimals < 0) decimals = 0;
  if (!std::isfinite(v)) return std::string(static_cast<size_t>(width), '*');
  char buf[1200];
  auto r = std::to_chars(buf, buf + sizeof buf, xbRoundTo(v, decimals), std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return std::string(static_cast<size_t>(width), '*');
  std::string s(buf, r.ptr);
  if (s == "-0" || (s.size() > 1 && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)) s.erase(0, 1);
  if (s.size() > static_cast<size_t>(width)) return std::string(static_cast<size_t>(width), '*');
  return std::string(static_cast<size_t>(width) - s.size(), ' ') + s;
}

std::string xbStrZero(double v, int width, int decimals) {
  std::string s = xbStrNumber(v, width, decimals);
  size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos || s[first] == '*') return s;
  bool negative = s[first] == '-';
  for (size_t i = 0; i < first; ++i) s[i] = '0';
  if (negative) {
    s[first] = '0';
    s[0] = '-';
  }
  return s;
}

std::string xbSoundex(std::string_view s) {
  if (s.empty()) return "0000";
  auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
  std::string r(1, up(s[0]));
  static const char* const groups[] = {"BFPV", "CGJKQSXZ", "DT", "L", "MN", "R"};
  char last = 0;
  for (size_t i = 1; i < s.size() && r.size() < 4; ++i) {
    char c = up(s[i]);
    char digit = 0;
    for (int g = 0; g < 6; ++g)
      if (c >= 'A' && c <= 'Z' && std::strchr(groups[g], c)) digit = static_cast<char>('1' + g);
    if (!digit) continue;
    if (digit != last) r += digit;
    last = digit;
  }
  r += "0000";
  return r.substr(0, 4);
}

double xbRoundTo(double v, int places) {
  if (!std::isfinite(v)) return v;
  if (places > 300) return v;
  if (places < -308) return 0;
  char buf[1200];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  if (res.ec != std::errc()) return v;
  std::string s(buf, res.ptr);
  bool negative = !s.empty() && s[0] == '-';
  if (negative) s.erase(0, 1);
  size_t dot = s.find('.');
  std::string intPart = dot == std::string::npos ? s : s.substr(0, dot);
  std::string frac = dot == std::string::npos ? std::string() : s.substr(dot + 1);
  std::string digits = intPart + frac;
  // Position (in digits) of the last kept digit.
  long keep = static_cast<long>(intPart.size()) + places;
  if (keep >= static_cast<long>(digits.size())) return v;
  bool up = keep >= 0 && digits[static_cast<size_t>(keep)] >= '5';
  if (keep < 0) return 0;
  std::string kept = digits.substr(0, static_cast<size_t>(keep));
  if (up) {
    long i = static_cast<long>(kept.size()) - 1;
    while (i >= 0 && kept[static_cast<size_t>(i)] == '9') kept[static_cast<size_t>(i--)] = '0';
    if (i < 0) {
      kept.insert(kept.begin(), '1');
      ++keep;
      intPart.insert(intPart.begin(), '0');
    } else {
      ++kept[static_cast<size_t>(i)];
    }
  }
  std::string out;
  long intLen = static_cast<long>(intPart.size());
  if (places >= 0) {
    out = kept.substr(0, static_cast<size_t>(std::min<long>(intLen, static_cast<long>(kept.size()))));
    if (out.empty()) out = "0";
    if (static_cast<long>(kept.size()) > intLen) out += "." + kept.substr(static_cast<size_t>(intLen));
  } else {
    out = kept.empty() ? "0" : kept + std::string(static_cast<size_t>(-places), '0');
  }
  double r = 0;
  std::from_chars(out.data(), out.data() + out.size(), r);
  return negative ? -r : r;
}

void xbRegisterStandardFunctions(TxbFunctionReg& r) {
  reg(r, "ABS", [](TxbExpFunction& c, TxbExpValue& v, int& t) { t = etNumber; v.SetNumber(std::fabs(num(c, 0))); });
  auto arc = [](Math f, const char* name) {
    return [f, name](TxbExpFunction& c, TxbExpValue& v, int& t) {
      t = etNumber;
      double n = num(c, 0);
      if (!(n >= -1 && n <= 1)) xbRaiseExpr(msg::ExpArgumentRange, {name, "-1 to +1"});
      v.SetNumber(f(n));
    };
  };
  reg(r, "ACOS", arc(static_cast<Math>(std::acos), "ACOS"));
  reg(r, "ASIN", arc(static_cast<Math>(std::asin), "ASIN"));
  reg(r, "ALLTRIM", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    v.SetText(std::string(trimLeft(trimRight(text(c, 0)))));
  });
  reg(r, "ASC", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    std::string s = text(c, 0);
    v.SetNumber(s.empty() ? 0 : static_cast<unsigned char>(s[0]));
  });
  reg(r, "AT", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    std::string a = text(c, 0), b = text(c, 1);
    v.SetNumber(static_cast<double>(atPosition(a, b, c, false)));
  });
  reg(r, "ATC", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    std::string a = text(c, 0), b = text(c, 1);
    v.SetNumber(static_cast<double>(atPosition(a, b, c, true)));
  });
  mathFn(r, "ATAN", std::atan);
  reg(r, "ATN2", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    double y = num(c, 0), x = num(c, 1);
    v.SetNumber(std::atan2(y, x));
  });
  reg(r, "BETWEEN", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etBoolean;
    TxbExpValue x, lo, hi;
    int tx = c.Arg(0, etAny, x);
    if (tx == etEmpty) xbRaiseExpr(msg::ExpValueMissing, {"BETWEEN"});
    need(c, 1, tx, lo);
    need(c, 2, tx, hi);
    v.SetBoolean(compareValues(c, x, tx, lo) >= 0 && compareValues(c, x, tx, hi) <= 0);
  });
  mathFn(r, "CEILING", std::ceil);
  reg(r, "CHR", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    double n = std::nearbyint(num(c, 0));
    if (!(n >= 0 && n <= 255)) xbRaiseExpr(msg::ExpValueRequired, {"Byte"});
    v.SetText(std::string(1, static_cast<char>(static_cast<unsigned char>(n))));
  });
  mathFn(r, "COS", std::cos);
  reg(r, "CTOD", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etDate;
    std::string s = text(c, 0);
    int32_t j = 0;
    try {
      j = xbDBFDate().StrToJulian(s);
    } catch (const platform::Exception&) {
      j = 0;   // a text that is no date gives the empty date
    }
    v.SetNumber(j);
  });
  reg(r, "DATE", [](TxbExpFunction&, TxbExpValue& v, int& t) {
    t = etDate;
    v.SetNumber(xbDBFDate().TodayJulian());
  });
  reg(r, "DESCEND", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    TxbExpValue x;
    int tx = c.Arg(0, etAny, x);
    t = tx;
    if (tx == etDate || tx == etDateTime) v.SetNumber(5231808 - (emptyDate(x.AsNumber()) ? 0 : x.AsNumber()));
    else if (xbExpNumeric(tx)) v.SetNumber(x.AsNumber() == 0 ? 0 : -x.AsNumber());
    else if (tx == etText || tx == etMemo) {
      std::string s = x.AsText();
      for (char& ch : s)
        if (ch != 0) ch = static_cast<char>(256 - static_cast<unsigned char>(ch));
      v.SetText(std::move(s));
    } else if (tx == etBoolean) v.SetBoolean(!x.AsBoolean());
    else {
      t = etBoolean;
      v.SetBoolean(false);
    }
  });
  reg(r, "DOW", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    TxbExpValue d;
    need(c, 0, etDate, d);
    double j = d.AsNumber();
    if (emptyDate(j) || j < 1 || j > xbJulianMax) v.SetNumber(0);
    else v.SetNumber(xbDBFDate().DayOfWeekJulian(static_cast<int32_t>(j)));
  });
  reg(r, "DTOC", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    TxbExpValue d;
    need(c, 0, etDate, d);
    double j = d.AsNumber();
    double form = 0;
    optNum(c, 1, form);
    int32_t day = (emptyDate(j) || j < 1 || j > xbJulianMax) ? 0 : static_cast<int32_t>(std::nearbyint(j));
    v.SetText(form == 1 ? xbDBFDate().JulianToDBFStr(day) : xbDBFDate().JulianToDisplayStr(day));
  });
  reg(r, "DTOR", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    v.SetNumber(num(c, 0) * 3.141592653589793 / 180);
  });
  reg(r, "DTOS", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    TxbExpValue d;
    need(c, 0, etDate, d);
    double j = d.AsNumber();
    if (emptyDate(j) || j < 1) v.SetText(std::string(8, ' '));
    else if (j > xbJulianMax) xbRaiseExpr(msg::ExpArgumentRange, {"DTOS", "a date up to 31.12.9999"});
    else v.SetText(xbDBFDate().JulianToDBFStr(static_cast<int32_t>(std::nearbyint(j))));
  });
  reg(r, "EMPTY", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etBoolean;
    TxbExpValue x;
    int tx = c.Arg(0, etAny, x);
    bool e = false;
    if (tx == etDate || tx == etDateTime) e = emptyDate(x.AsNumber());
    else if (xbExpNumeric(tx)) e = x.AsNumber() == 0;
    else if (tx == etText || tx == etMemo) e = x.text.find_first_not_of(' ') == std::string::npos;
    else if (tx == etBoolean) e = !x.AsBoolean();
    v.SetBoolean(e);
  });
  mathFn(r, "FLOOR", std::floor);
  reg(r, "FV", [](TxbExpFunction& c, TxbExpValue& v, int& t) { money(c, v, t, true); });
  reg(r, "IIF", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    TxbExpValue cond;
    need(c, 0, etBoolean, cond);
    t = c.Arg(cond.AsBoolean() ? 1 : 2, etAny, v);
  });
  reg(r, "INLIST", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etBoolean;
    TxbExpValue x;
    int tx = c.Arg(0, etAny, x);
    if (tx == etEmpty) {
      v.SetBoolean(false);
      return;
    }
    if (tx == etText || tx == etMemo) x.text = std::string(trimRight(x.text));
    bool found = false;
    for (size_t i = 1; i < c.ArgCount() && c.HasArg(i) && !found; ++i) {
      TxbExpValue y;
      int ty = c.Arg(i, etAny, y);
      if (!xbExpTypesMatch(tx, ty) && !((tx == etText || tx == etMemo) && (ty == etText || ty == etMemo))) continue;
      found = compareValues(c, x, tx, y) == 0;
    }
    v.SetBoolean(found);
  });
  reg(r, "INT", [](TxbExpFunction& c, TxbExpValue& v, int& t) { t = etNumber; v.SetNumber(std::trunc(num(c, 0))); });
  reg(r, "LEFT", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    std::string s = text(c, 0);
    double n = num(c, 1);
    if (n <= 0.01) {
      v.SetText(std::string());
      return;
    }
    int32_t k = whole(n, c.Name());
    if (k < 0) k = 0;
    checkLength(static_cast<size_t>(k), c.Name());
    s.resize(static_cast<size_t>(k), ' ');
    v.SetText(std::move(s));
  });
  reg(r, "LEN", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    v.SetNumber(static_cast<double>(text(c, 0).size()));
  });
  auto logFn = [](Math f, const char* name) {
    return [f, name](TxbExpFunction& c, TxbExpValue& v, int& t) {
      t = etNumber;
      double n = num(c, 0);
      if (!(n > 0)) xbRaiseExpr(msg::ExpArgumentRange, {name, "> 0"});
      v.SetNumber(f(n));
    };
  };
  reg(r, "LOG", logFn(static_cast<Math>(std::log), "LOG"));
  reg(r, "LOG10", logFn(static_cast<Math>(std::log10), "LOG10"));
  reg(r, "LOWER", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    v.SetText(c.Owner().Lower(text(c, 0)));
  });
  reg(r, "LTRIM", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    v.SetText(std::string(trimLeft(text(c, 0))));
  });
  auto extreme = [](bool max) {
    return [max](TxbExpFunction& c, TxbExpValue& v, int& t) {
      const char* name = max ? "Max()" : "Min()";
      int t0 = c.Arg(0, etAny, v);
      if (t0 == etEmpty) xbRaiseExpr(msg::ExpValueMissing, {name});
      t = t0;
      for (size_t i = 1; i < c.ArgCount() && c.HasArg(i); ++i) {
        TxbExpValue y;
        int ty = c.Arg(i, etAny, y);
        if (!xbExpTypesMatch(t0, ty)) xbRaiseExpr(msg::ExpSameType, {name});
        int cmp = compareValues(c, y, t0, v);
        if (max ? cmp > 0 : cmp < 0) v = std::move(y);
      }
    };
  };
  reg(r, "MAX", extreme(true));
  reg(r, "MIN", extreme(false));
  reg(r, "MOD", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    int64_t a = wholeArg(c, 0), b = wholeArg(c, 1);
    if (b == 0) xbRaiseExpr(msg::ExpDivZero);
    v.SetNumber(static_cast<double>(a % b));
  });
  reg(r, "PADC", [](TxbExpFunction& c, TxbExpValue& v, int& t) { pad(c, v, t, 0); });
  reg(r, "PADL", [](TxbExpFunction& c, TxbExpValue& v, int& t) { pad(c, v, t, -1); });
  reg(r, "PADR", [](TxbExpFunction& c, TxbExpValue& v, int& t) { pad(c, v, t, 1); });
  reg(r, "PI", [](TxbExpFunction&, TxbExpValue& v, int& t) { t = etNumber; v.SetNumber(3.141592653589793); });
  reg(r, "PROPER", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    bool oem = c.Owner().Link() && c.Owner().Link()->OemText();
    std::string s = text(c, 0);
    if (oem) s = xbOemToAnsiStr(s);
    s = xbLowerCase(s);
    bool after = true;
    for (char& ch : s) {
      if (after) ch = xbUpperCase(std::string_view(&ch, 1))[0];
      after = properSeparator(static_cast<unsigned char>(ch));
    }
    v.SetText(oem ? xbAnsiToOemStr(s) : s);
  });
  reg(r, "PV", [](TxbExpFunction& c, TxbExpValue& v, int& t) { money(c, v, t, false); });
  reg(r, "RIGHT", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    std::string s = text(c, 0);
    int32_t n = wholeArg(c, 1);
    if (n >= 1 && static_cast<size_t>(n) <= s.size() - (s.empty() ? 0 : 1) && !s.empty())
      s = s.substr(s.size() - static_cast<size_t>(n));
    v.SetText(std::move(s));
  });
  reg(r, "Round", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    double n = num(c, 0), places = 0;
    optNum(c, 1, places);
    int32_t p = whole(places, c.Name());
    v.SetNumber(xbRoundTo(n, p));
  });
  reg(r, "RTOD", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    v.SetNumber(finite(num(c, 0) * 180 / 3.141592653589793, c.Name()));
  });
  auto rtrim = [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    v.SetText(std::string(trimRight(text(c, 0))));
  };
  reg(r, "RTRIM", rtrim);
  reg(r, "TRIM", rtrim);
  mathFn(r, "SIN", std::sin);
  reg(r, "SOUNDEX", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    v.SetText(xbSoundex(text(c, 0)));
  });
  reg(r, "SPACE", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    int32_t n = wholeArg(c, 0);
    if (n < 0) n = 0;
    checkLength(static_cast<size_t>(n), c.Name());
    v.SetText(std::string(static_cast<size_t>(n), ' '));
  });
  auto str = [](bool zero) {
    return [zero](TxbExpFunction& c, TxbExpValue& v, int& t) {
      t = etText;
      double n = num(c, 0);
      double width = c.Owner().Link() ? c.Owner().Link()->DefaultWidth : 10, decimals = 0;
      if (c.HasArg(1)) width = num(c, 1);
      if (c.HasArg(2)) decimals = num(c, 2);
      int32_t w = whole(width, c.Name()), d = whole(decimals, c.Name());
      if (w > 0) checkLength(static_cast<size_t>(w), c.Name());
      v.SetText(zero ? xbStrZero(n, w, d) : xbStrNumber(n, w, d));
    };
  };
  reg(r, "STR", str(false));
  reg(r, "STRZERO", str(true));
  reg(r, "STRTRAN", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    std::string s = text(c, 0), search = text(c, 1), repl;
    if (c.HasArg(2)) repl = text(c, 2);
    double start = 1, count = -1;
    if (c.HasArg(3)) start = num(c, 3);
    if (c.HasArg(4)) count = num(c, 4);
    if (s.empty() || search.empty()) {
      v.SetText(std::move(s));
      return;
    }
    std::string out;
    double seen = 0, done = 0;
    size_t pos = 0;
    for (;;) {
      size_t f = s.find(search, pos);
      if (f == std::string::npos) break;
      ++seen;
      out.append(s, pos, f - pos);
      if (seen >= start && (count < 0 || done < count)) {
        out += repl;
        ++done;
      } else {
        out += search;
      }
      checkLength(out.size(), c.Name());
      pos = f + search.size();
    }
    out.append(s, pos, std::string::npos);
    checkLength(out.size(), c.Name());
    v.SetText(std::move(out));
  });
  reg(r, "SUBSTR", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    std::string s = text(c, 0);
    int64_t start = wholeArg(c, 1);
    int64_t len = static_cast<int64_t>(s.size());
    int64_t count = len;
    if (c.HasArg(2)) count = wholeArg(c, 2);
    if (start < 1 || start > len || count < 1) {
      v.SetText(std::move(s));
      return;
    }
    count = std::min(count, len - start + 1);
    v.SetText(s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count)));
  });
  mathFn(r, "TAN", std::tan);
  reg(r, "UPPER", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etText;
    v.SetText(c.Owner().Upper(text(c, 0)));
  });
  reg(r, "VAL", [](TxbExpFunction& c, TxbExpValue& v, int& t) {
    t = etNumber;
    TxbExpValue s;
    need(c, 0, etText, s);
    // The process locale's decimal separator is accepted; a point still is too, as
    // the numbers the engine itself writes (STR, numeric fields) carry one.
    const char* dp = std::localeconv()->decimal_point;
    if (dp && dp[0] && !dp[1] && dp[0] != '.') {
      std::string txt = s.AsText();
      if (txt.find('.') == std::string::npos) std::replace(txt.begin(), txt.end(), dp[0], '.');
      s.SetText(std::move(txt));
    }
    v.SetNumber(s.AsNumber());
  });
}

}  // namespace xb
