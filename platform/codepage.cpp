#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace platform {

namespace {

// Length of the UTF-8 sequence at p when it is well formed, else 1.
size_t utf8SequenceLength(const char* p, size_t left) {
  unsigned char c = static_cast<unsigned char>(p[0]);
  size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
  if (n > left) return 1;
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

std::string ConvertCodepage(std::string_view s, const char* from, const char* to) {
  if (s.empty()) return {};
  const bool fromUtf8 = std::string_view(from) == "UTF-8";
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(s);
  // Room for the text's own size first (every conversion to a single-byte code page
  // fits it); where the result is longer, it grows by what the rest of the input could
  // still make, so that a long text is not held several times over.
  std::string out;
  out.resize(s.size() + 16);
  char* in = const_cast<char*>(s.data());
  size_t inLeft = s.size();
  char* op = out.data();
  size_t outLeft = out.size();
  auto grow = [&] {
    size_t used = static_cast<size_t>(op - out.data());
    out.resize(out.size() + inLeft * 2 + 16);
    op = out.data() + used;
    outLeft = out.size() - used;
  };
  while (inLeft > 0) {
    size_t r = iconv(cd, &in, &inLeft, &op, &outLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      grow();
      continue;
    }
    // An invalid or unconvertible sequence: replace one input byte by '?'.
    if (outLeft == 0) grow();
    *op++ = '?';
    --outLeft;
    size_t skip = fromUtf8 ? utf8SequenceLength(in, inLeft) : 1;
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<size_t>(op - out.data()));
  iconv_close(cd);
  // A result much shorter than its room (UTF-8 Cyrillic to CP1251 halves) gives the rest back.
  if (out.capacity() > out.size() + out.size() / 4 + 64) out.shrink_to_fit();
  return out;
}

std::string Cp1251ToUtf8(std::string_view s) { return ConvertCodepage(s, "CP1251", "UTF-8"); }
std::string Utf8ToCp1251(std::string_view s) { return ConvertCodepage(s, "UTF-8", "CP1251"); }

namespace {

struct ByteTables {
  unsigned char oemToAnsi[256];
  unsigned char ansiToOem[256];
  ByteTables() {
    for (int i = 0; i < 256; ++i) oemToAnsi[i] = ansiToOem[i] = static_cast<unsigned char>(i);
    for (int i = 128; i < 256; ++i) {
      char c = static_cast<char>(i);
      std::string a = ConvertCodepage(std::string_view(&c, 1), "CP866", "CP1251");
      oemToAnsi[i] = a.size() == 1 && a[0] != '?' ? static_cast<unsigned char>(a[0]) : '?';
      std::string o = ConvertCodepage(std::string_view(&c, 1), "CP1251", "CP866");
      ansiToOem[i] = o.size() == 1 && o[0] != '?' ? static_cast<unsigned char>(o[0]) : '?';
    }
  }
};

const ByteTables& tables() {
  static const ByteTables t;
  return t;
}

std::string mapBytes(std::string_view s, const unsigned char* table) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
  return r;
}

}  // namespace

const unsigned char* OemToAnsiTable() { return tables().oemToAnsi; }
const unsigned char* AnsiToOemTable() { return tables().ansiToOem; }
std::string Cp866ToCp1251(std::string_view s) { return mapBytes(s, OemToAnsiTable()); }
std::string Cp1251ToCp866(std::string_view s) { return mapBytes(s, AnsiToOemTable()); }

}  // namespace platform
