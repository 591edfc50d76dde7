#include "db/cds_value.h"

#include <cmath>
#include <limits>

#include "platform/dates.h"
#include "platform/strutil.h"

namespace cds {

const char* FTypeName(FType t) {
  switch (t) {
    case FType::I16: return "smallint";
    case FType::I32: return "integer";
    case FType::I64: return "largeint";
    case FType::F64: return "float";
    case FType::Dec: return "decimal";
    case FType::Bool: return "boolean";
    case FType::Str: return "string";
    case FType::Date: return "date";
    case FType::Time: return "time";
    case FType::Stamp: return "timestamp";
    case FType::Memo: return "memo";
    case FType::Blob: return "blob";
  }
  return "?";
}

bool IsTextType(FType t) { return t == FType::Str || t == FType::Memo || t == FType::Blob; }
bool IsIntType(FType t) { return t == FType::I16 || t == FType::I32 || t == FType::I64; }

int64_t Pow10(int n) {
  static const int64_t p[19] = {1LL,
                                10LL,
                                100LL,
                                1000LL,
                                10000LL,
                                100000LL,
                                1000000LL,
                                10000000LL,
                                100000000LL,
                                1000000000LL,
                                10000000000LL,
                                100000000000LL,
                                1000000000000LL,
                                10000000000000LL,
                                100000000000000LL,
                                1000000000000000LL,
                                10000000000000000LL,
                                100000000000000000LL,
                                1000000000000000000LL};
  if (n < 0 || n > 18) throw EDBClient("Decimal scale out of range");
  return p[n];
}

std::string DecimalToText(int64_t unscaled, int scale) {
  bool neg = unscaled < 0;
  // Work on the magnitude as unsigned so that INT64_MIN is safe.
  uint64_t mag = neg ? (~static_cast<uint64_t>(unscaled) + 1) : static_cast<uint64_t>(unscaled);
  uint64_t p = static_cast<uint64_t>(Pow10(scale));
  uint64_t ip = mag / p, fp = mag % p;
  std::string out = neg ? "-" : "";
  out += std::to_string(ip);
  if (scale > 0 && fp != 0) {
    std::string frac = std::to_string(fp);
    frac.insert(0, static_cast<size_t>(scale) - frac.size(), '0');
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    out += '.';
    out += frac;
  }
  return out;
}

bool TextToDecimal(std::string_view s, int scale, int64_t& out) {
  std::string t = platform::Trim(s);
  if (t.empty()) return false;
  size_t i = 0;
  bool neg = false;
  if (t[i] == '+' || t[i] == '-') neg = t[i++] == '-';
  Int128 acc = 0;
  int fracDigits = 0;
  bool anyDigit = false, dot = false, roundUp = false, seenRoundDigit = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c == '.' || c == ',') {
      if (dot) return false;
      dot = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    anyDigit = true;
    if (dot && fracDigits >= scale) {
      if (!seenRoundDigit) {
        roundUp = c >= '5';
        seenRoundDigit = true;
      }
      continue;
    }
    acc = acc * 10 + (c - '0');
    if (dot) ++fracDigits;
    if (acc > static_cast<Int128>(std::numeric_limits<int64_t>::max()) * 10) return false;
  }
  if (!anyDigit) return false;
  for (; fracDigits < scale; ++fracDigits) acc *= 10;
  if (roundUp) acc += 1;
  if (neg) acc = -acc;
  if (acc > std::numeric_limits<int64_t>::max() || acc < std::numeric_limits<int64_t>::min()) return false;
  out = static_cast<int64_t>(acc);
  return true;
}

double StampToDateTime(int64_t ticks) {
  // Split into days and time of day so that the fraction keeps its precision.
  int64_t days = ticks / kTicksPerDay, rest = ticks % kTicksPerDay;
  if (rest < 0) {
    rest += kTicksPerDay;
    --days;
  }
  double frac = static_cast<double>(rest) / static_cast<double>(kTicksPerDay);
  // The platform's date-time numbers before 30.12.1899 keep the time as a positive
  // fraction added to a negative day count: -1.25 is 29.12.1899 06:00.
  if (days < 0) return static_cast<double>(days) - frac;
  return static_cast<double>(days) + frac;
}

int64_t DateTimeToStamp(double dt) {
  if (!std::isfinite(dt) || std::fabs(dt) > 3.0e6) throw platform::EConvertError("Invalid date-time value");
  double days = std::trunc(dt);
  double frac = std::fabs(dt - days);
  int64_t d = static_cast<int64_t>(days);
  int64_t t = static_cast<int64_t>(std::llround(frac * static_cast<double>(kTicksPerDay)));
  if (t >= kTicksPerDay) {
    t -= kTicksPerDay;
    d += dt < 0 ? -1 : 1;
  }
  if (dt < 0 && d == 0 && t > 0) {
    // -0.25: day 0 going back, the platform's reading is 30.12.1899 06:00 as well.
    return t;
  }
  return d * kTicksPerDay + t;
}

int CompareBytes(std::string_view a, std::string_view b, bool caseInsensitive) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (caseInsensitive) {
      if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
      if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

Value Value::Null(FType t) {
  Value v;
  v.type_ = t;
  return v;
}

Value Value::Int16(int16_t x) {
  Value v;
  v.type_ = FType::I16;
  v.null_ = false;
  v.u_.i = x;
  return v;
}
Value Value::Int32(int32_t x) {
  Value v;
  v.type_ = FType::I32;
  v.null_ = false;
  v.u_.i = x;
  return v;
}
Value Value::Int64(int64_t x) {
  Value v;
  v.type_ = FType::I64;
  v.null_ = false;
  v.u_.i = x;
  return v;
}
Value Value::Float(double x) {
  Value v;
  v.type_ = FType::F64;
  v.null_ = false;
  v.u_.d = x;
  return v;
}
Value Value::Decimal(int64_t unscaled, int scale) {
  Pow10(scale);  // range check
  Value v;
  v.type_ = FType::Dec;
  v.null_ = false;
  v.scale_ = static_cast<int8_t>(scale);
  v.u_.i = unscaled;
  return v;
}
Value Value::Boolean(bool x) {
  Value v;
  v.type_ = FType::Bool;
  v.null_ = false;
  v.u_.i = x ? 1 : 0;
  return v;
}
Value Value::Text(std::string_view s, FType t) {
  Value v(s);
  v.type_ = t;
  return v;
}
Value Value::Date(int32_t days) {
  Value v;
  v.type_ = FType::Date;
  v.null_ = false;
  v.u_.i = days;
  return v;
}
Value Value::Date(int year, int month, int day) {
  return Date(static_cast<int32_t>(platform::EncodeDate(year, month, day)));
}
Value Value::Time(int32_t ticks) {
  Value v;
  v.type_ = FType::Time;
  v.null_ = false;
  v.u_.i = ticks;
  return v;
}
Value Value::Stamp(int64_t ticks) {
  Value v;
  v.type_ = FType::Stamp;
  v.null_ = false;
  v.u_.i = ticks;
  return v;
}
Value Value::DateTime(double dt) { return Stamp(DateTimeToStamp(dt)); }

namespace {

[[noreturn]] void badConversion(std::string_view text, const char* what) {
  throw platform::EConvertError("'" + std::string(text) + "' is not a valid " + what);
}

int32_t checkedInt32(int64_t v, const Value& src) {
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    throw platform::EConvertError("'" + src.asString() + "' is not a valid integer value");
  return static_cast<int32_t>(v);
}

int64_t roundToInt64(double d, const Value& src) {
  if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18)
    throw platform::EConvertError("'" + src.asString() + "' is not a valid integer value");
  return platform::RoundHalfEven(d);
}

int32_t timeTicksOf(double dt) {
  double frac = std::fabs(dt - std::trunc(dt));
  int64_t t = std::llround(frac * static_cast<double>(kTicksPerDay));
  if (t >= kTicksPerDay) t = 0;
  return static_cast<int32_t>(t);
}

}  // namespace

int64_t Value::asLargeInt() const {
  if (null_) return 0;
  switch (type_) {
    case FType::I16:
    case FType::I32:
    case FType::I64:
    case FType::Bool: return u_.i;
    case FType::Dec: {
      int64_t p = Pow10(scale_);
      int64_t q = u_.i / p, r = u_.i % p;
      // Round half away from zero, as the platform's BCD-to-integer does.
      if (r * 2 >= p) ++q;
      else if (r * 2 <= -p) --q;
      return q;
    }
    case FType::F64: return roundToInt64(u_.d, *this);
    case FType::Date: return u_.i;
    case FType::Time:
    case FType::Stamp: return roundToInt64(asDateTime(), *this);
    case FType::Str:
    case FType::Memo:
    case FType::Blob: {
      int64_t v;
      if (!platform::TryStrToInt64(s_, v)) badConversion(s_, "integer value");
      return v;
    }
  }
  return 0;
}

int32_t Value::asInteger() const { return checkedInt32(asLargeInt(), *this); }

double Value::asFloat() const {
  if (null_) return 0.0;
  switch (type_) {
    case FType::I16:
    case FType::I32:
    case FType::I64:
    case FType::Bool:
    case FType::Date: return static_cast<double>(u_.i);
    case FType::Dec: return static_cast<double>(u_.i) / static_cast<double>(Pow10(scale_));
    case FType::F64: return u_.d;
    case FType::Time:
    case FType::Stamp: return asDateTime();
    case FType::Str:
    case FType::Memo:
    case FType::Blob: {
      double d;
      if (!platform::TryStrToFloat(s_, d)) badConversion(s_, "floating point value");
      return d;
    }
  }
  return 0.0;
}

bool Value::asBoolean() const {
  if (null_) return false;
  switch (type_) {
    case FType::Str:
    case FType::Memo:
    case FType::Blob: {
      if (platform::SameText(s_, "True") || s_ == "1" || platform::SameText(s_, "T") || platform::SameText(s_, "Y"))
        return true;
      if (platform::SameText(s_, "False") || s_ == "0" || platform::SameText(s_, "F") || platform::SameText(s_, "N"))
        return false;
      badConversion(s_, "boolean value");
    }
    case FType::F64: return u_.d != 0.0;
    default: return u_.i != 0;
  }
}

std::string Value::asString() const {
  if (null_) return std::string();
  switch (type_) {
    case FType::I16:
    case FType::I32:
    case FType::I64: return std::to_string(u_.i);
    case FType::Dec: return DecimalToText(u_.i, scale_);
    case FType::F64: return platform::FloatToStr(u_.d);
    case FType::Bool: return u_.i ? "True" : "False";
    case FType::Str:
    case FType::Memo:
    case FType::Blob: return s_;
    case FType::Date: return platform::FormatDate(static_cast<double>(u_.i));
    case FType::Time: return platform::FormatTime(static_cast<double>(u_.i) / static_cast<double>(kTicksPerDay));
    case FType::Stamp: return platform::FormatDateTimeText(StampToDateTime(u_.i));
  }
  return std::string();
}

double Value::asDateTime() const {
  if (null_) return 0.0;
  switch (type_) {
    case FType::Date: return static_cast<double>(u_.i);
    case FType::Time: return static_cast<double>(u_.i) / static_cast<double>(kTicksPerDay);
    case FType::Stamp: return StampToDateTime(u_.i);
    case FType::Str:
    case FType::Memo:
    case FType::Blob: {
      double d;
      if (!platform::TryStrToDateTime(s_, d)) badConversion(s_, "date and time");
      return d;
    }
    default: return asFloat();
  }
}

Value Value::FromText(std::string_view s, FType t, int scale) { return Value(s).convertTo(t, scale); }

Value Value::convertTo(FType t, int scale) const {
  if (t == type_ && (t != FType::Dec || scale == scale_)) return *this;
  if (null_) return Null(t);
  switch (t) {
    case FType::I16: {
      int64_t v = asLargeInt();
      if (v < -32768 || v > 32767) throw platform::EConvertError("'" + asString() + "' is not a valid smallint value");
      return Int16(static_cast<int16_t>(v));
    }
    case FType::I32: return Int32(asInteger());
    case FType::I64: return Int64(asLargeInt());
    case FType::F64: return Float(asFloat());
    case FType::Dec: {
      int64_t out;
      if (type_ == FType::Dec) {
        if (scale >= scale_) {
          Int128 v = static_cast<Int128>(u_.i) * Pow10(scale - scale_);
          if (v > std::numeric_limits<int64_t>::max() || v < std::numeric_limits<int64_t>::min())
            throw platform::EConvertError("Decimal overflow");
          return Decimal(static_cast<int64_t>(v), scale);
        }
        if (!TextToDecimal(DecimalToText(u_.i, scale_), scale, out)) throw platform::EConvertError("Decimal overflow");
        return Decimal(out, scale);
      }
      if (IsIntType(type_) || type_ == FType::Bool) {
        Int128 v = static_cast<Int128>(u_.i) * Pow10(scale);
        if (v > std::numeric_limits<int64_t>::max() || v < std::numeric_limits<int64_t>::min())
          throw platform::EConvertError("Decimal overflow");
        return Decimal(static_cast<int64_t>(v), scale);
      }
      std::string txt = (type_ == FType::F64) ? platform::FloatToStr(u_.d) : asString();
      if (!TextToDecimal(txt, scale, out)) badConversion(txt, "BCD value");
      return Decimal(out, scale);
    }
    case FType::Bool: return Boolean(asBoolean());
    case FType::Str:
    case FType::Memo:
    case FType::Blob: return Text(asString(), t);
    case FType::Date: {
      if (IsTextType(type_)) {
        double d;
        if (!platform::TryStrToDate(s_, d)) badConversion(s_, "date");
        return Date(static_cast<int32_t>(std::floor(d)));
      }
      if (type_ == FType::Stamp) {
        int64_t days = u_.i / kTicksPerDay;
        if (u_.i % kTicksPerDay < 0) --days;
        return Date(static_cast<int32_t>(days));
      }
      double d = asDateTime();
      if (!std::isfinite(d) || std::fabs(d) > 3.0e6) throw platform::EConvertError("Invalid date value");
      return Date(static_cast<int32_t>(std::trunc(d)));
    }
    case FType::Time: {
      if (IsTextType(type_)) {
        double d;
        if (!platform::TryStrToTime(s_, d)) badConversion(s_, "time");
        return Time(timeTicksOf(d));
      }
      if (type_ == FType::Stamp) {
        int64_t r = u_.i % kTicksPerDay;
        if (r < 0) r += kTicksPerDay;
        return Time(static_cast<int32_t>(r));
      }
      return Time(timeTicksOf(asDateTime()));
    }
    case FType::Stamp: {
      if (type_ == FType::Date) return Stamp(u_.i * kTicksPerDay);
      if (type_ == FType::Time) return Stamp(u_.i);
      return Stamp(DateTimeToStamp(asDateTime()));
    }
  }
  return Null(t);
}

int Value::compare(const Value& a, const Value& b, bool caseInsensitive) {
  if (a.null_ || b.null_) {
    if (a.null_ && b.null_) return 0;
    return a.null_ ? -1 : 1;
  }
  if (IsTextType(a.type_) && IsTextType(b.type_)) return CompareBytes(a.s_, b.s_, caseInsensitive);
  if (a.type_ == b.type_ && a.type_ != FType::F64 && a.type_ != FType::Dec)
    return a.u_.i < b.u_.i ? -1 : (a.u_.i > b.u_.i ? 1 : 0);
  if (a.type_ == FType::Dec && b.type_ == FType::Dec && a.scale_ == b.scale_)
    return a.u_.i < b.u_.i ? -1 : (a.u_.i > b.u_.i ? 1 : 0);
  if (IsTextType(a.type_) || IsTextType(b.type_)) return CompareBytes(a.asString(), b.asString(), caseInsensitive);
  double x = (a.type_ == FType::Stamp || a.type_ == FType::Time) ? a.asDateTime() : a.asFloat();
  double y = (b.type_ == FType::Stamp || b.type_ == FType::Time) ? b.asDateTime() : b.asFloat();
  return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace cds
