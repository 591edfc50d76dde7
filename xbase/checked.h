#pragma once
// Checked integer arithmetic for values that come from files and record numbers:
// an overflow or an out-of-range conversion raises instead of wrapping.
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/exception.h"

namespace xb {

class EIntOverflow : public platform::Exception {
public:
  EIntOverflow() : platform::Exception("Integer overflow") {}
  const char* className() const noexcept override { return "EIntOverflow"; }
};

class ERangeError : public platform::Exception {
public:
  ERangeError() : platform::Exception("Range check error") {}
  const char* className() const noexcept override { return "ERangeError"; }
};

template <std::integral T>
T checked_add(T a, T b) {
  T r;
  if (__builtin_add_overflow(a, b, &r)) throw EIntOverflow();
  return r;
}

template <std::integral T>
T checked_sub(T a, T b) {
  T r;
  if (__builtin_sub_overflow(a, b, &r)) throw EIntOverflow();
  return r;
}

template <std::integral T>
T checked_mul(T a, T b) {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) throw EIntOverflow();
  return r;
}

// Integer narrowing or widening with a range test.
template <std::integral To, std::integral From>
To checked_cast(From v) {
  if (!std::in_range<To>(v)) throw ERangeError();
  return static_cast<To>(v);
}

// Double to integer: the value is truncated towards zero after a range test
// (an out-of-range conversion is undefined behaviour in C++).
template <std::integral To>
To checked_trunc(double v) {
  if (!std::isfinite(v)) throw ERangeError();
  double t = std::trunc(v);
  // The bounds of To are exact powers of two as doubles: -2^k <= t < 2^k.
  constexpr double lo = static_cast<double>(std::numeric_limits<To>::min());
  constexpr double hiExcl = static_cast<double>(std::numeric_limits<To>::max()) + 1.0;
  if (!(t >= lo && t < hiExcl)) throw ERangeError();
  return static_cast<To>(t);
}

// Double to integer rounding half to even, as the platform rounds.
template <std::integral To>
To checked_round(double v) {
  if (!std::isfinite(v)) throw ERangeError();
  double r = std::nearbyint(v);   // default rounding mode: to nearest, ties to even
  constexpr double lo = static_cast<double>(std::numeric_limits<To>::min());
  constexpr double hiExcl = static_cast<double>(std::numeric_limits<To>::max()) + 1.0;
  if (!(r >= lo && r < hiExcl)) throw ERangeError();
  return static_cast<To>(r);
}

}  // namespace xb
