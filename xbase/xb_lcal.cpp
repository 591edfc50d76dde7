#include "xbase/xb_lcal.h"

#include <cstring>

#include "platform/strutil.h"

namespace xb {

int xbCompareStr(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int xbCompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = platform::AnsiUpperChar(static_cast<unsigned char>(a[i]));
    unsigned char y = platform::AnsiUpperChar(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int xbCompareStrZ(const char* a, const char* b) { return xbCompareStr(a ? a : "", b ? b : ""); }
int xbCompareTextZ(const char* a, const char* b) { return xbCompareText(a ? a : "", b ? b : ""); }
std::string xbUpperCase(std::string_view s) { return platform::AnsiUpperCase(s); }
std::string xbLowerCase(std::string_view s) { return platform::AnsiLowerCase(s); }

}  // namespace xb
