#pragma once
// String rules of the program. Texts are 8-bit CP1251 byte strings: every position
// and length counts bytes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// 1-based, clamped substring: never throws; index < 1 is taken as 1.
std::string Copy(std::string_view s, long long index, long long count);
// Remove every byte <= 0x20 at both ends / at the left / at the right.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
// ASCII-only case mapping.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// CP1251-aware case mapping (Cyrillic letters, Ё/ё and the other CP1251 letter pairs).
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);
unsigned char AnsiUpperChar(unsigned char c);
unsigned char AnsiLowerChar(unsigned char c);
// Case-insensitive comparisons: ASCII only / CP1251-aware.
bool SameText(std::string_view a, std::string_view b);
int CompareText(std::string_view a, std::string_view b);
bool AnsiSameText(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);

// Integers: leading blanks and a sign allowed, "$" or "0x" hex prefix accepted;
// trailing characters, the empty text and values outside 32 bits are errors.
bool TryStrToInt(std::string_view s, int32_t& out);
bool TryStrToInt64(std::string_view s, int64_t& out);
int32_t StrToInt(std::string_view s);      // raises EConvertError "'s' is not a valid integer value"
int64_t StrToInt64(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t def);
std::string IntToStr(int64_t v);

// Floating point with '.' (',' also accepted) as decimal separator, never the locale.
bool TryStrToFloat(std::string_view s, double& out);
double StrToFloat(std::string_view s);   // raises EConvertError
// Shortest text that reads back to the same double, '.' separator, no exponent for ordinary values.
std::string FloatToStr(double v);

// Round half to even, as the platform rounds floats to integers.
int64_t RoundHalfEven(double v);

// Splits on one separator byte; empty pieces kept.
std::vector<std::string> Split(std::string_view s, char sep);
bool StartsText(std::string_view prefix, std::string_view s);  // ASCII case-insensitive prefix test
// Position (1-based) of sub in s, 0 when absent.
size_t Pos(std::string_view sub, std::string_view s);
std::string StringReplaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace platform
