#include "xbase/xb_encrxm.h"

#include <cstdint>
#include <cstring>

namespace xb {

namespace {
uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
}  // namespace

void xbEncrypt(std::string_view key, const void* source, void* dest, size_t count, int direction) {
  const uint8_t* s = static_cast<const uint8_t*>(source);
  uint8_t* d = static_cast<uint8_t*>(dest);
  if (key.empty()) {
    if (s != d && count) std::memmove(d, s, count);
    return;
  }
  uint64_t seed = 0xCBF29CE484222325ull;   // FNV-1a of the key
  for (unsigned char c : key) seed = (seed ^ c) * 0x100000001B3ull;
  // A keystream of 8 bytes per block, XORed in: the same call enciphers and deciphers.
  (void)direction;
  uint64_t block = 0;
  uint64_t ks = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i % 8 == 0) {
      block = i / 8;
      ks = mix(seed ^ mix(block));
    }
    d[i] = static_cast<uint8_t>(s[i] ^ static_cast<uint8_t>(ks >> (8 * (i % 8))));
  }
}

}  // namespace xb
