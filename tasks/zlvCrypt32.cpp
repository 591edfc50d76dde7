#include "tasks/zlvCrypt32.h"

std::string DecryptStr(std::string_view S, uint32_t Key, uint32_t Multiplier, uint32_t Addend) {
  std::string out(S.size(), '\0');
  uint32_t k = Key;  // unsigned: the arithmetic wraps modulo 2^32
  for (size_t i = 0; i < S.size(); ++i) {
    uint32_t c = static_cast<unsigned char>(S[i]);
    out[i] = static_cast<char>(c ^ ((k >> 8) & 0xFFu));
    k = (c + k) * Multiplier + Addend;
  }
  return out;
}
