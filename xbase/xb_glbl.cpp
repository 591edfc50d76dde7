#include "xbase/xb_glbl.h"

#include <iconv.h>

#include <array>
#include <cstring>
#include <mutex>

namespace xb {

namespace {

// Converts one byte; -1 when the code page has no such character.
int convertByte(iconv_t cd, uint8_t c) {
  char in[1] = {static_cast<char>(c)};
  char out[8];
  char* ip = in;
  char* op = out;
  size_t il = 1, ol = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  if (r == static_cast<size_t>(-1) || il != 0 || op - out != 1) return -1;
  return static_cast<uint8_t>(out[0]);
}

struct Tables {
  uint8_t a2o[256];
  uint8_t o2a[256];
  Tables() { xbBuildTranslation("CP1251", "CP866", a2o, o2a); }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

void xbBuildTranslation(const char* ansiCodepage, const char* oemCodepage, uint8_t ansiToOem[256],
                        uint8_t oemToAnsi[256]) {
  int A[256];
  for (int c = 0; c < 256; ++c) A[c] = c;
  iconv_t toOem = iconv_open(oemCodepage, ansiCodepage);
  iconv_t toAnsi = iconv_open(ansiCodepage, oemCodepage);
  bool ok = toOem != reinterpret_cast<iconv_t>(-1) && toAnsi != reinterpret_cast<iconv_t>(-1);
  // Steps 1-2: keep the exact round-trip pairs.
  for (int c = 33; c < 256; ++c) {
    int a = ok ? convertByte(toOem, static_cast<uint8_t>(c)) : -1;
    int r = a >= 0 ? convertByte(toAnsi, static_cast<uint8_t>(a)) : -1;
    A[c] = (a >= 33 && r == c) ? a : 0;
  }
  if (toOem != reinterpret_cast<iconv_t>(-1)) iconv_close(toOem);
  if (toAnsi != reinterpret_cast<iconv_t>(-1)) iconv_close(toAnsi);
  // Step 3: among ANSI codes with the same OEM code the smallest keeps it.
  for (int j = 1; j < 256; ++j) {
    if (A[j] == 0) continue;
    for (int k = j + 1; k < 256; ++k)
      if (A[k] == A[j]) A[k] = 0;
  }
  auto held = [&](int v) {
    for (int i = 33; i < 256; ++i)
      if (A[i] == v) return true;
    return false;
  };
  // Step 4: unmapped codes keep themselves when nobody holds them.
  for (int c = 33; c < 256; ++c)
    if (A[c] == 0 && !held(c)) A[c] = c;
  // Step 5: the rest take the smallest free value.
  for (int c = 33; c < 256; ++c) {
    if (A[c] != 0) continue;
    for (int v = 33; v < 256; ++v)
      if (!held(v)) { A[c] = v; break; }
  }
  for (int c = 0; c < 33; ++c) A[c] = c;
  for (int c = 0; c < 256; ++c) ansiToOem[c] = static_cast<uint8_t>(A[c]);
  // Step 6: the inverse.
  for (int o = 0; o < 256; ++o) oemToAnsi[o] = static_cast<uint8_t>(o);
  for (int o = 33; o < 256; ++o) {
    for (int i = 0; i < 256; ++i)
      if (ansiToOem[i] == o) { oemToAnsi[o] = static_cast<uint8_t>(i); break; }
  }
}

const uint8_t* xbAnsiToOemTable() { return tables().a2o; }
const uint8_t* xbOemToAnsiTable() { return tables().o2a; }

void xbAnsiToOemBuf(const void* source, void* dest, size_t count) {
  const uint8_t* t = tables().a2o;
  const uint8_t* s = static_cast<const uint8_t*>(source);
  uint8_t* d = static_cast<uint8_t*>(dest);
  for (size_t i = 0; i < count; ++i) d[i] = t[s[i]];
}

void xbOemToAnsiBuf(const void* source, void* dest, size_t count) {
  const uint8_t* t = tables().o2a;
  const uint8_t* s = static_cast<const uint8_t*>(source);
  uint8_t* d = static_cast<uint8_t*>(dest);
  for (size_t i = 0; i < count; ++i) d[i] = t[s[i]];
}

std::string xbAnsiToOemStr(std::string_view s) {
  std::string r(s);
  xbAnsiToOemBuf(r.data(), r.data(), r.size());
  return r;
}

std::string xbOemToAnsiStr(std::string_view s) {
  std::string r(s);
  xbOemToAnsiBuf(r.data(), r.data(), r.size());
  return r;
}

size_t xbWildcardPos(std::string_view pattern, std::string_view text) {
  if (pattern.empty() || pattern.size() > text.size()) return 0;
  std::string p(pattern);
  bool leadingStar = false;
  if (p[0] == '*') {
    leadingStar = true;
    p.erase(0, 1);
    if (p.empty()) return 1;
  }
  if (p.back() == '*') {
    p.pop_back();
    if (p.empty()) return 1;
  }
  std::string t(text);
  if (!leadingStar) {
    for (size_t i = 0; i < p.size() && i < t.size(); ++i)
      if (p[i] == '?') t[i] = '?';
  }
  size_t pos = t.find(p);
  return pos == std::string::npos ? 0 : pos + 1;
}

namespace {
size_t nameStart(std::string_view name) {
  size_t s = name.find_last_of('/');
  return s == std::string_view::npos ? 0 : s + 1;
}
size_t extPos(std::string_view name) {
  size_t start = nameStart(name);
  size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos || dot < start) return std::string_view::npos;
  return dot;
}
}  // namespace

bool xbHasExt(std::string_view name) { return extPos(name) != std::string_view::npos; }

std::string xbDefaultExt(std::string_view name, std::string_view ext) {
  if (xbHasExt(name)) return std::string(name);
  return std::string(name) + std::string(ext);
}

std::string xbFileStem(std::string_view name) {
  size_t start = nameStart(name);
  size_t e = extPos(name);
  if (e == std::string_view::npos) e = name.size();
  return std::string(name.substr(start, e - start));
}

std::string xbFileDir(std::string_view name) { return std::string(name.substr(0, nameStart(name))); }

std::string xbChangeExt(std::string_view name, std::string_view ext) {
  size_t e = extPos(name);
  std::string r(name.substr(0, e == std::string_view::npos ? name.size() : e));
  r += ext;
  return r;
}

void xbPadBuffer(char* buffer, char ch, size_t length) {
  size_t n = std::strlen(buffer);
  for (; n < length; ++n) buffer[n] = ch;
  buffer[n] = '\0';
}

}  // namespace xb
