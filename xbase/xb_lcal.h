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
// The locale-aware, case-sensitive order of CP1251 texts used by the expression
// language (-1, 0, 1): letters first by the letter (Latin a-z, then Cyrillic in
// alphabet order with the letters of other Cyrillic alphabets beside their
// neighbours, the letter yo next to e), then, for texts equal so far, lower case before
// upper case at the first difference; punctuation and blanks before digits before
// letters. Index keys never use it: they keep the byte order of their files.
int xbCollateCompare(std::string_view a, std::string_view b);
std::string xbUpperCase(std::string_view s);
std::string xbLowerCase(std::string_view s);

}  // namespace xb
