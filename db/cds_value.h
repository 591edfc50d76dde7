#pragma once
// Typed values of the client datasets: a value of one field type, or null.
//
// Text is CP1251. Empty text, memo and blob values are null: assigning "" to a
// field clears it, and IsNull/compare treat "" and null alike.
// Dates are whole days since 30.12.1899 (the integral part of a date-time
// number); times and time stamps count 1/10000 s (the database's precision),
// time stamps from 30.12.1899 00:00.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/exception.h"

namespace cds {

__extension__ typedef __int128 Int128;

enum class FType : uint8_t {
  I16,    // smallint
  I32,    // integer
  I64,    // largeint
  F64,    // float (double)
  Dec,    // scaled decimal: int64 with the field's scale
  Bool,
  Str,    // text
  Date,
  Time,
  Stamp,  // date and time
  Memo,   // text blob
  Blob    // binary blob
};

const char* FTypeName(FType t);
bool IsTextType(FType t);     // Str, Memo, Blob
bool IsIntType(FType t);      // I16, I32, I64

// Errors of the client-dataset layer (bad use, missing fields, damaged packets).
class EDBClient : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EDBClient"; }
};

// Errors of the database side of a provider (conflicts of apply-updates).
class EDatabaseError : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EDatabaseError"; }
};

constexpr int64_t kTicksPerSecond = 10000;
constexpr int64_t kTicksPerDay = 86400LL * kTicksPerSecond;

class Value {
public:
  Value() = default;                       // null text
  Value(int v) : type_(FType::I32), null_(false) { u_.i = v; }
  Value(long v) : type_(FType::I64), null_(false) { u_.i = v; }
  Value(long long v) : type_(FType::I64), null_(false) { u_.i = v; }
  Value(double v) : type_(FType::F64), null_(false) { u_.d = v; }
  Value(const char* s) : Value(std::string_view(s)) {}
  Value(std::string_view s) : type_(FType::Str), null_(s.empty()), s_(s) {}
  Value(const std::string& s) : Value(std::string_view(s)) {}
  Value(std::string&& s) : type_(FType::Str), null_(s.empty()), s_(std::move(s)) {}

  static Value Null(FType t = FType::Str);
  static Value Int16(int16_t v);
  static Value Int32(int32_t v);
  static Value Int64(int64_t v);
  static Value Float(double v);
  static Value Decimal(int64_t unscaled, int scale);
  static Value Boolean(bool v);
  static Value Text(std::string_view s, FType t = FType::Str);
  static Value Date(int32_t days);                 // days since 30.12.1899
  static Value Date(int year, int month, int day); // raises EConvertError on a bad date
  static Value Time(int32_t ticks);                // 1/10000 s since midnight
  static Value Stamp(int64_t ticks);               // 1/10000 s since 30.12.1899
  static Value DateTime(double dt);                // a date-time number, kept as a stamp
  // Text converted to type t as a field assignment converts it; "" gives null.
  static Value FromText(std::string_view s, FType t, int scale = 0);

  FType type() const { return type_; }
  bool isNull() const { return null_; }
  int scale() const { return scale_; }

  // Raw access (valid for the matching type when not null).
  int64_t rawInt() const { return u_.i; }     // integers, decimals (unscaled), dates, times, stamps, bool
  double rawFloat() const { return u_.d; }
  const std::string& rawText() const { return s_; }

  // The platform's As... conversions: null gives 0, "", false, 30.12.1899.
  int32_t asInteger() const;     // raises EConvertError when out of 32 bits or not a number
  int64_t asLargeInt() const;
  double asFloat() const;
  bool asBoolean() const;
  std::string asString() const;  // dates "dd.mm.yyyy", stamps "dd.mm.yyyy hh:nn:ss", times "hh:nn:ss"
  double asDateTime() const;

  // The value converted to type t (scale for Dec); null stays null.
  Value convertTo(FType t, int scale = 0) const;

  // Order of index keys for two values of one type (nulls first, null == null).
  // caseInsensitive folds ASCII letters only.
  static int compare(const Value& a, const Value& b, bool caseInsensitive = false);
  bool operator==(const Value& o) const { return type_ == o.type_ && compare(*this, o) == 0; }

private:
  FType type_ = FType::Str;
  bool null_ = true;
  int8_t scale_ = 0;
  union {
    int64_t i;
    double d;
  } u_{0};
  std::string s_;
};

// Helpers shared by the dataset, the packets and the providers.
int64_t Pow10(int n);                                    // 10^n for 0..18
std::string DecimalToText(int64_t unscaled, int scale);  // "-12.5" (trailing zeros dropped)
bool TextToDecimal(std::string_view s, int scale, int64_t& out);  // rounds half away from zero
double StampToDateTime(int64_t ticks);
int64_t DateTimeToStamp(double dt);                      // rounded to the tick
int CompareBytes(std::string_view a, std::string_view b, bool caseInsensitive);

}  // namespace cds
