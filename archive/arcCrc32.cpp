#include "archive/arcCrc32.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ARC_CRC32_FOLD 1
#endif

namespace arc {
namespace {

// t[k][i]: the CRC of byte i followed by k zero bytes.
struct Tables {
  uint32_t t[16][256];
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 16; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

const Tables& tables() {
  static const Tables tb;
  return tb;
}

inline uint32_t Le32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap32(v);
  return v;
}

uint32_t SliceBy16(uint32_t crc, const unsigned char* p, size_t n) {
  const auto& t = tables().t;
  while (n >= 16) {
    const uint32_t a = Le32(p) ^ crc, b = Le32(p + 4), c = Le32(p + 8), d = Le32(p + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += 16;
    n -= 16;
  }
  while (n--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return crc;
}

#ifdef ARC_CRC32_FOLD
// Folding. A 16-byte block, loaded little-endian, stands for a polynomial whose register bit t is
// the coefficient of x^(127-t): the first bit of the data is its highest term. Moving a block D
// bits further down the data multiplies it by x^D, which modulo the generator is a 32-bit
// polynomial; the block's high-degree half (the low 64 bits) needs x^(D+64), its low-degree half
// x^D. The carry-less product of two bit-reversed factors lands one place short of the block's
// own bit order, so each key is x^(exponent - 1), bit-reversed into 64 bits. The folded block is
// added to the block D bits on; the last block is finished through the tables.

// x^e modulo the generator, in the ordinary (not reflected) bit order.
uint32_t XPowMod(unsigned e) {
  uint64_t r = 1;
  while (e--) {
    r <<= 1;
    if (r >> 32) r ^= 0x104C11DB7ull;
  }
  return static_cast<uint32_t>(r);
}

uint64_t Reversed64(uint32_t v) {
  uint64_t r = 0;
  for (int i = 0; i < 32; ++i)
    if (v >> i & 1) r |= uint64_t{1} << (63 - i);
  return r;
}

struct FoldKeys {
  // {high-degree half, low-degree half} for a move of 512 bits (four blocks) and of 128 bits.
  uint64_t far[2], near[2];
  FoldKeys() {
    far[0] = Reversed64(XPowMod(512 + 64 - 1));
    far[1] = Reversed64(XPowMod(512 - 1));
    near[0] = Reversed64(XPowMod(128 + 64 - 1));
    near[1] = Reversed64(XPowMod(128 - 1));
  }
};

const FoldKeys& foldKeys() {
  static const FoldKeys k;
  return k;
}

__attribute__((target("pclmul"))) inline __m128i Move(__m128i x, __m128i key) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, key, 0x00), _mm_clmulepi64_si128(x, key, 0x11));
}

__attribute__((target("pclmul"))) inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// n >= 64.
__attribute__((target("pclmul"))) uint32_t Fold(uint32_t crc, const unsigned char* p, size_t n) {
  const FoldKeys& k = foldKeys();
  const __m128i far = _mm_set_epi64x(static_cast<long long>(k.far[1]), static_cast<long long>(k.far[0]));
  const __m128i near = _mm_set_epi64x(static_cast<long long>(k.near[1]), static_cast<long long>(k.near[0]));
  // The running value enters as the first 32 bits of the data.
  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load(p + 16), x2 = Load(p + 32), x3 = Load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x0 = _mm_xor_si128(Move(x0, far), Load(p));
    x1 = _mm_xor_si128(Move(x1, far), Load(p + 16));
    x2 = _mm_xor_si128(Move(x2, far), Load(p + 32));
    x3 = _mm_xor_si128(Move(x3, far), Load(p + 48));
    p += 64;
    n -= 64;
  }
  __m128i x = _mm_xor_si128(Move(x0, near), x1);
  x = _mm_xor_si128(Move(x, near), x2);
  x = _mm_xor_si128(Move(x, near), x3);
  while (n >= 16) {
    x = _mm_xor_si128(Move(x, near), Load(p));
    p += 16;
    n -= 16;
  }
  unsigned char last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
  return SliceBy16(SliceBy16(0, last, 16), p, n);
}

bool HaveClmul() {
  static const bool yes = __builtin_cpu_supports("pclmul");
  return yes;
}
#endif

}  // namespace

const uint32_t* Crc32Table() { return tables().t[0]; }

uint32_t Crc32UpdateTable(uint32_t crc, const void* data, size_t n) {
  return SliceBy16(crc, static_cast<const unsigned char*>(data), n);
}

bool Crc32Folding() {
#ifdef ARC_CRC32_FOLD
  return HaveClmul();
#else
  return false;
#endif
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t n) {
  auto p = static_cast<const unsigned char*>(data);
#ifdef ARC_CRC32_FOLD
  if (n >= 64 && HaveClmul()) return Fold(crc, p, n);
#endif
  return SliceBy16(crc, p, n);
}

}  // namespace arc
