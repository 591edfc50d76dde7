#pragma once
// Locale compares and case of the engine: CP1251 texts, compared byte-wise after
// CP1251 case folding (Cyrillic letters and Ё included).
#include <string>
#include <string_view>

namespace xb {

// Results below, equal or above zero.
int xbCompareStr(std::string_view a, std::string_view b);      // case-sensitive, byte order
int xbCompareText(std::string_view a, std::string_view b);     // without regard to case
int xbCompareStrZ(const char* a, const char* b);
int xbCompareTextZ(const char* a, const char* b);
std::string xbUpperCase(std::string_view s);
std::string xbLowerCase(std::string_view s);

}  // namespace xb
