#include "xbase/xb_lcal.h"

#include <cstdint>
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

namespace {
struct Collation {
  uint16_t primary[256];
  uint8_t upper[256];   // 1 for an upper-case letter
  Collation() {
    // Letters as (lower, upper) pairs in alphabet order.
    static const unsigned char cyrillic[][2] = {
        {0xE0, 0xC0}, {0xE1, 0xC1}, {0xE2, 0xC2}, {0xE3, 0xC3}, {0x83, 0x81}, {0xB4, 0xA5}, {0xE4, 0xC4},
        {0x90, 0x80}, {0xE5, 0xC5}, {0xB8, 0xA8}, {0xBA, 0xAA}, {0xE6, 0xC6}, {0xE7, 0xC7}, {0xBE, 0xBD},
        {0xE8, 0xC8}, {0xB3, 0xB2}, {0xBF, 0xAF}, {0xE9, 0xC9}, {0xBC, 0xA3}, {0xEA, 0xCA}, {0x9D, 0x8D},
        {0xEB, 0xCB}, {0x9A, 0x8A}, {0xEC, 0xCC}, {0xED, 0xCD}, {0x9C, 0x8C}, {0xEE, 0xCE}, {0xEF, 0xCF},
        {0xF0, 0xD0}, {0xF1, 0xD1}, {0xF2, 0xD2}, {0x9E, 0x8E}, {0xF3, 0xD3}, {0xA2, 0xA1}, {0xF4, 0xD4},
        {0xF5, 0xD5}, {0xF6, 0xD6}, {0xF7, 0xD7}, {0x9F, 0x8F}, {0xF8, 0xD8}, {0xF9, 0xD9}, {0xFA, 0xDA},
        {0xFB, 0xDB}, {0xFC, 0xDC}, {0xFD, 0xDD}, {0xFE, 0xDE}, {0xFF, 0xDF}};
    bool letter[256] = {};
    for (int c = 'a'; c <= 'z'; ++c) letter[c] = letter[c - 32] = true;
    for (const auto& p : cyrillic) letter[p[0]] = letter[p[1]] = true;
    uint16_t w = 1;
    for (int c = 0; c < 256; ++c) {
      upper[c] = 0;
      if (!letter[c] && !(c >= '0' && c <= '9')) primary[c] = w++;   // controls, blanks, signs
    }
    for (int c = '0'; c <= '9'; ++c) primary[c] = w++;
    for (int c = 'a'; c <= 'z'; ++c) {
      primary[c] = primary[c - 32] = w++;
      upper[c - 32] = 1;
    }
    for (const auto& p : cyrillic) {
      primary[p[0]] = primary[p[1]] = w++;
      upper[p[1]] = 1;
    }
  }
};
const Collation& collation() {
  static const Collation c;
  return c;
}
}  // namespace

int xbCollateCompare(std::string_view a, std::string_view b) {
  const Collation& k = collation();
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    uint16_t x = k.primary[static_cast<unsigned char>(a[i])], y = k.primary[static_cast<unsigned char>(b[i])];
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = k.upper[static_cast<unsigned char>(a[i])], y = k.upper[static_cast<unsigned char>(b[i])];
    if (x != y) return x < y ? -1 : 1;
  }
  return xbCompareStr(a, b);
}

int xbCompareStrZ(const char* a, const char* b) { return xbCompareStr(a ? a : "", b ? b : ""); }
int xbCompareTextZ(const char* a, const char* b) { return xbCompareText(a ? a : "", b ? b : ""); }
std::string xbUpperCase(std::string_view s) { return platform::AnsiUpperCase(s); }
std::string xbLowerCase(std::string_view s) { return platform::AnsiLowerCase(s); }

}  // namespace xb
