#include "archive/arcAesCrypt.h"

#include <algorithm>
#include <cstring>

namespace arc {

namespace {
inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
}  // namespace

// ---------------------------------------------------------------- SHA-1

void TSha1::Reset() {
  FH[0] = 0x67452301u;
  FH[1] = 0xEFCDAB89u;
  FH[2] = 0x98BADCFEu;
  FH[3] = 0x10325476u;
  FH[4] = 0xC3D2E1F0u;
  FFill = 0;
  FLength = 0;
}

// The 80 rounds written out: the message schedule kept in a ring of 16 words, each round's
// function and constant fixed, and the five working words renamed from round to round instead of
// moved.
void TSha1::Block(const uint8_t* p) {
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = Be32(p + 4 * i);
  uint32_t a = FH[0], b = FH[1], c = FH[2], d = FH[3], e = FH[4];
#define KESTA_SHA1_W(i) (w[(i) & 15] = Rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define KESTA_SHA1_F1(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define KESTA_SHA1_F2(x, y, z) ((x) ^ (y) ^ (z))
#define KESTA_SHA1_F3(x, y, z) (((x) & (y)) + ((z) & ((x) ^ (y))))
#define KESTA_SHA1_STEP(v, w_, x, y, z, f, k, word) \
  z += Rol(v, 5) + f(w_, x, y) + (k) + (word);     \
  w_ = Rol(w_, 30)
#define KESTA_SHA1_FIVE(i, f, k, word)                  \
  KESTA_SHA1_STEP(a, b, c, d, e, f, k, word(i));       \
  KESTA_SHA1_STEP(e, a, b, c, d, f, k, word((i) + 1)); \
  KESTA_SHA1_STEP(d, e, a, b, c, f, k, word((i) + 2)); \
  KESTA_SHA1_STEP(c, d, e, a, b, f, k, word((i) + 3)); \
  KESTA_SHA1_STEP(b, c, d, e, a, f, k, word((i) + 4))
#define KESTA_SHA1_W0(i) w[i]
  KESTA_SHA1_FIVE(0, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W0);
  KESTA_SHA1_FIVE(5, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W0);
  KESTA_SHA1_FIVE(10, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W0);
  KESTA_SHA1_STEP(a, b, c, d, e, KESTA_SHA1_F1, 0x5A827999u, w[15]);
  KESTA_SHA1_STEP(e, a, b, c, d, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W(16));
  KESTA_SHA1_STEP(d, e, a, b, c, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W(17));
  KESTA_SHA1_STEP(c, d, e, a, b, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W(18));
  KESTA_SHA1_STEP(b, c, d, e, a, KESTA_SHA1_F1, 0x5A827999u, KESTA_SHA1_W(19));
  KESTA_SHA1_FIVE(20, KESTA_SHA1_F2, 0x6ED9EBA1u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(25, KESTA_SHA1_F2, 0x6ED9EBA1u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(30, KESTA_SHA1_F2, 0x6ED9EBA1u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(35, KESTA_SHA1_F2, 0x6ED9EBA1u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(40, KESTA_SHA1_F3, 0x8F1BBCDCu, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(45, KESTA_SHA1_F3, 0x8F1BBCDCu, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(50, KESTA_SHA1_F3, 0x8F1BBCDCu, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(55, KESTA_SHA1_F3, 0x8F1BBCDCu, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(60, KESTA_SHA1_F2, 0xCA62C1D6u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(65, KESTA_SHA1_F2, 0xCA62C1D6u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(70, KESTA_SHA1_F2, 0xCA62C1D6u, KESTA_SHA1_W);
  KESTA_SHA1_FIVE(75, KESTA_SHA1_F2, 0xCA62C1D6u, KESTA_SHA1_W);
#undef KESTA_SHA1_W0
#undef KESTA_SHA1_FIVE
#undef KESTA_SHA1_STEP
#undef KESTA_SHA1_F3
#undef KESTA_SHA1_F2
#undef KESTA_SHA1_F1
#undef KESTA_SHA1_W
  FH[0] += a;
  FH[1] += b;
  FH[2] += c;
  FH[3] += d;
  FH[4] += e;
}

void TSha1::Update(const uint8_t* p, size_t n) {
  FLength += n;
  if (FFill) {
    const size_t k = std::min(n, kBlock - FFill);
    std::memcpy(FBuf + FFill, p, k);
    FFill += k;
    p += k;
    n -= k;
    if (FFill < kBlock) return;
    Block(FBuf);
    FFill = 0;
  }
  while (n >= kBlock) {
    Block(p);
    p += kBlock;
    n -= kBlock;
  }
  if (n) {
    std::memcpy(FBuf, p, n);
    FFill = n;
  }
}

void TSha1::Final(uint8_t out[kDigest]) {
  const uint64_t bits = FLength * 8;
  uint8_t pad[kBlock * 2] = {0x80};
  const size_t padLen = (FFill < 56 ? 56 - FFill : 120 - FFill);
  uint8_t len[8];
  for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(pad, padLen);
  Update(len, 8);
  for (int i = 0; i < 5; ++i) PutBe32(out + 4 * i, FH[i]);
  Reset();
}

// ---------------------------------------------------------------- HMAC

void THmacSha1::Init(const uint8_t* key, size_t keyLen) {
  uint8_t k[TSha1::kBlock] = {};
  if (keyLen > TSha1::kBlock) {
    TSha1 h;
    h.Update(key, keyLen);
    h.Final(k);
  } else if (keyLen) {
    std::memcpy(k, key, keyLen);
  }
  uint8_t ipad[TSha1::kBlock], opad[TSha1::kBlock];
  for (size_t i = 0; i < TSha1::kBlock; ++i) {
    ipad[i] = static_cast<uint8_t>(k[i] ^ 0x36);
    opad[i] = static_cast<uint8_t>(k[i] ^ 0x5C);
  }
  FInner.Reset();
  FInner.Update(ipad, sizeof ipad);
  FOuter.Reset();
  FOuter.Update(opad, sizeof opad);
}

void THmacSha1::Final(uint8_t out[kDigest]) {
  uint8_t inner[kDigest];
  FInner.Final(inner);
  FOuter.Update(inner, kDigest);
  FOuter.Final(out);
}

// ---------------------------------------------------------------- PBKDF2

void Pbkdf2HmacSha1(const uint8_t* pw, size_t pwLen, const uint8_t* salt, size_t saltLen, uint32_t iterations,
                    uint8_t* out, size_t outLen) {
  THmacSha1 keyed(pw, pwLen);  // the keyed state, copied for every round
  for (uint32_t block = 1; outLen > 0; ++block) {
    uint8_t idx[4];
    PutBe32(idx, block);
    THmacSha1 h = keyed;
    h.Update(salt, saltLen);
    h.Update(idx, 4);
    uint8_t u[20], t[20];
    h.Final(u);
    std::memcpy(t, u, 20);
    for (uint32_t i = 1; i < iterations; ++i) {
      THmacSha1 r = keyed;
      r.Update(u, 20);
      r.Final(u);
      for (int j = 0; j < 20; ++j) t[j] ^= u[j];
    }
    const size_t k = std::min<size_t>(outLen, 20);
    std::memcpy(out, t, k);
    out += k;
    outLen -= k;
  }
}

// ---------------------------------------------------------------- AES

namespace {
// The S-box and the four round tables (S-box, MixColumns and the rotations of ShiftRows folded
// into one 32-bit word per byte), computed at compile time.
struct AesTables {
  uint8_t sbox[256];
  uint32_t te[4][256];
  constexpr AesTables() : sbox(), te() {
    // Multiplicative inverse through log/antilog tables over the generator 3.
    uint8_t exp[256] = {}, log[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
      exp[i] = x;
      log[x] = static_cast<uint8_t>(i);
      x = static_cast<uint8_t>(x ^ (x << 1) ^ ((x & 0x80) ? 0x1B : 0));
    }
    for (int i = 0; i < 256; ++i) {
      uint8_t inv = i == 0 ? 0 : exp[(255 - log[i]) % 255];
      uint8_t s = inv;
      for (int r = 1; r <= 4; ++r) s = static_cast<uint8_t>(s ^ ((inv << r) | (inv >> (8 - r))));
      sbox[i] = static_cast<uint8_t>(s ^ 0x63);
    }
    for (int i = 0; i < 256; ++i) {
      const uint32_t s = sbox[i];
      const uint32_t s2 = ((s << 1) ^ ((s & 0x80) ? 0x1B : 0)) & 0xFF;
      const uint32_t s3 = s2 ^ s;
      const uint32_t w = s2 << 24 | s << 16 | s << 8 | s3;
      te[0][i] = w;
      te[1][i] = (w >> 8) | (w << 24);
      te[2][i] = (w >> 16) | (w << 16);
      te[3][i] = (w >> 24) | (w << 8);
    }
  }
};
constexpr AesTables kAesTables;
const AesTables& Tables() { return kAesTables; }
}  // namespace

bool TAesEncryptor::SetKey(const uint8_t* key, size_t len) {
  if (len == 128 || len == 192 || len == 256) len /= 8;
  if (len != 16 && len != 24 && len != 32) return false;
  const AesTables& T = Tables();
  const int nk = static_cast<int>(len / 4);
  FRounds = nk + 6;
  const int total = 4 * (FRounds + 1);
  for (int i = 0; i < nk; ++i) FRk[i] = Be32(key + 4 * i);
  uint32_t rcon = 1;
  for (int i = nk; i < total; ++i) {
    uint32_t t = FRk[i - 1];
    if (i % nk == 0) {
      t = (uint32_t{T.sbox[(t >> 16) & 0xFF]} << 24) | (uint32_t{T.sbox[(t >> 8) & 0xFF]} << 16) |
          (uint32_t{T.sbox[t & 0xFF]} << 8) | uint32_t{T.sbox[t >> 24]};
      t ^= rcon << 24;
      rcon = ((rcon << 1) ^ ((rcon & 0x80) ? 0x1B : 0)) & 0xFF;
    } else if (nk > 6 && i % nk == 4) {
      t = (uint32_t{T.sbox[t >> 24]} << 24) | (uint32_t{T.sbox[(t >> 16) & 0xFF]} << 16) |
          (uint32_t{T.sbox[(t >> 8) & 0xFF]} << 8) | uint32_t{T.sbox[t & 0xFF]};
    }
    FRk[i] = FRk[i - nk] ^ t;
  }
  return true;
}

void TAesEncryptor::EncryptBlock(const uint8_t in[16], uint8_t out[16]) const {
  const AesTables& T = Tables();
  const uint32_t* rk = FRk;
  uint32_t s0 = Be32(in) ^ rk[0], s1 = Be32(in + 4) ^ rk[1], s2 = Be32(in + 8) ^ rk[2], s3 = Be32(in + 12) ^ rk[3];
#define KESTA_AES_ROUND(d, a, r)                                                                            \
  d##0 = T.te[0][a##0 >> 24] ^ T.te[1][(a##1 >> 16) & 0xFF] ^ T.te[2][(a##2 >> 8) & 0xFF] ^ T.te[3][a##3 & 0xFF] ^ \
         rk[4 * (r)];                                                                                              \
  d##1 = T.te[0][a##1 >> 24] ^ T.te[1][(a##2 >> 16) & 0xFF] ^ T.te[2][(a##3 >> 8) & 0xFF] ^ T.te[3][a##0 & 0xFF] ^ \
         rk[4 * (r) + 1];                                                                                          \
  d##2 = T.te[0][a##2 >> 24] ^ T.te[1][(a##3 >> 16) & 0xFF] ^ T.te[2][(a##0 >> 8) & 0xFF] ^ T.te[3][a##1 & 0xFF] ^ \
         rk[4 * (r) + 2];                                                                                          \
  d##3 = T.te[0][a##3 >> 24] ^ T.te[1][(a##0 >> 16) & 0xFF] ^ T.te[2][(a##1 >> 8) & 0xFF] ^ T.te[3][a##2 & 0xFF] ^ \
         rk[4 * (r) + 3]
  // Rounds 1 to Rounds-1 written out, alternating between the s and the t words: the nine of
  // every key length, then two more for 192 bits and two more again for 256. Each length ends
  // with the state in t.
  uint32_t t0, t1, t2, t3;
  KESTA_AES_ROUND(t, s, 1);
  KESTA_AES_ROUND(s, t, 2);
  KESTA_AES_ROUND(t, s, 3);
  KESTA_AES_ROUND(s, t, 4);
  KESTA_AES_ROUND(t, s, 5);
  KESTA_AES_ROUND(s, t, 6);
  KESTA_AES_ROUND(t, s, 7);
  KESTA_AES_ROUND(s, t, 8);
  KESTA_AES_ROUND(t, s, 9);
  if (FRounds > 10) {
    KESTA_AES_ROUND(s, t, 10);
    KESTA_AES_ROUND(t, s, 11);
    if (FRounds > 12) {
      KESTA_AES_ROUND(s, t, 12);
      KESTA_AES_ROUND(t, s, 13);
    }
  }
#undef KESTA_AES_ROUND
  s0 = t0;
  s1 = t1;
  s2 = t2;
  s3 = t3;
  const uint32_t* k = rk + 4 * FRounds;
  auto last = [&](uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t kk) {
    return (uint32_t{T.sbox[a0 >> 24]} << 24 | uint32_t{T.sbox[(a1 >> 16) & 0xFF]} << 16 |
            uint32_t{T.sbox[(a2 >> 8) & 0xFF]} << 8 | uint32_t{T.sbox[a3 & 0xFF]}) ^
           kk;
  };
  PutBe32(out, last(s0, s1, s2, s3, k[0]));
  PutBe32(out + 4, last(s1, s2, s3, s0, k[1]));
  PutBe32(out + 8, last(s2, s3, s0, s1, k[2]));
  PutBe32(out + 12, last(s3, s0, s1, s2, k[3]));
}

// ---------------------------------------------------------------- ZIP AES entries

size_t ZipAesSaltLength(int strength) {
  const int s = strength & 3;
  return s == 0 ? 0 : static_cast<size_t>(4 * s + 4);
}
size_t ZipAesKeyLength(int strength) {
  const int s = strength & 3;
  return s == 0 ? 0 : static_cast<size_t>(8 * s + 8);
}

int TZipAesDecrypter::SetUp(std::string_view password, int strength, const uint8_t* salt, uint8_t verifierOut[2]) {
  FReady = false;
  if (password.size() > kZipAesMaxPassword) return -100;
  const size_t keyLen = ZipAesKeyLength(strength);
  if (keyLen == 0) return -1;
  uint8_t derived[66];
  Pbkdf2HmacSha1(reinterpret_cast<const uint8_t*>(password.data()), password.size(), salt, ZipAesSaltLength(strength),
                 kZipAesIterations, derived, 2 * keyLen + 2);
  std::memset(FCounter, 0, sizeof FCounter);
  FPos = 16;
  FAes.SetKey(derived, keyLen);
  FHmac.Init(derived + keyLen, keyLen);
  verifierOut[0] = derived[2 * keyLen];
  verifierOut[1] = derived[2 * keyLen + 1];
  std::memset(derived, 0, sizeof derived);
  FReady = true;
  return 0;
}

bool TZipAesDecrypter::Init(std::string_view password, int strength, const uint8_t* salt, const uint8_t* verifier) {
  if (password.empty()) return false;
  uint8_t v[2];
  if (SetUp(password, strength, salt, v) != 0) return false;
  if (v[0] != verifier[0] || v[1] != verifier[1]) {
    FReady = false;
    return false;
  }
  return true;
}

void TZipAesDecrypter::NextKeyBlock() {
  for (int j = 0; j < 8; ++j)
    if (++FCounter[j] != 0) break;
  FAes.EncryptBlock(FCounter, FStream);
}

void TZipAesDecrypter::Crypt(uint8_t* data, size_t n) {
  size_t i = 0;
  // The rest of the current keystream block, then whole blocks 8 bytes at a time, then the start
  // of the next block.
  while (i < n && FPos < 16) data[i++] ^= FStream[FPos++];
  for (; n - i >= 16; i += 16) {
    NextKeyBlock();
    uint64_t d[2], k[2];
    std::memcpy(d, data + i, 16);
    std::memcpy(k, FStream, 16);
    d[0] ^= k[0];
    d[1] ^= k[1];
    std::memcpy(data + i, d, 16);
  }
  if (i < n) {
    NextKeyBlock();
    for (FPos = 0; i < n; ++i) data[i] ^= FStream[FPos++];
  }
}

void TZipAesDecrypter::Decrypt(uint8_t* data, size_t n) {
  if (!FReady || n == 0) return;
  FHmac.Update(data, n);
  Crypt(data, n);
}

void TZipAesDecrypter::Encrypt(uint8_t* data, size_t n) {
  if (!FReady || n == 0) return;
  Crypt(data, n);
  FHmac.Update(data, n);
}

void TZipAesDecrypter::Code(uint8_t out[10]) {
  uint8_t mac[20];
  FHmac.Final(mac);
  std::memcpy(out, mac, 10);
  FReady = false;
}

bool TZipAesDecrypter::Verify(const uint8_t* code10) {
  if (!FReady) return false;
  uint8_t c[10];
  Code(c);
  uint8_t diff = 0;
  for (int i = 0; i < 10; ++i) diff |= static_cast<uint8_t>(c[i] ^ code10[i]);
  return diff == 0;
}

}  // namespace arc
