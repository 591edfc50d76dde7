#pragma once
// The standard functions of the expression language (text, number, date and
// logical functions) and the text helpers they share with the index code.
#include <cstdint>
#include <string>
#include <string_view>

namespace xb {

class TxbFunctionReg;

// Longest text a function may build (SPACE, PADx, LEFT, STR, STRTRAN, ...).
inline constexpr size_t xbMaxFunctionText = 65535;

// Registers the standard functions in the registry (the global one is filled once).
void xbRegisterStandardFunctions(TxbFunctionReg& reg);

// v right-aligned in width characters with decimals places; a number that does not
// fit is shown as width stars. Locale-free. width below 1 gives an empty text.
std::string xbStrNumber(double v, int width, int decimals);
// As xbStrNumber with the leading blanks turned into "0" (the sign stays in front).
std::string xbStrZero(double v, int width, int decimals);
// Four-character sound code of a text.
std::string xbSoundex(std::string_view s);
// Rounds v to places decimals (a negative count rounds to tens, hundreds, ...),
// halves away from zero, as the decimal text of v shows them.
double xbRoundTo(double v, int places);

}  // namespace xb
