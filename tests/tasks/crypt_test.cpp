// DecryptStr against vectors worked out by hand from the cipher, and against an
// independent 16-bit reference (only bits 8..15 of the key are ever used).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/codepage.h"
#include "tasks/zlvCrypt32.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Enciphering: the same key stream, fed with the enciphered byte.
std::string Encrypt16(const std::string& plain, uint16_t key, uint16_t mult, uint16_t add) {
  std::string out;
  uint16_t k = key;
  for (unsigned char p : plain) {
    unsigned char c = static_cast<unsigned char>(p ^ (k >> 8));
    out.push_back(static_cast<char>(c));
    k = static_cast<uint16_t>((c + k) * mult + add);
  }
  return out;
}

struct Vector {
  const char* cipherHex;
  const char* plainUtf8;
};

class DecryptVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(DecryptVectors, Decipher) {
  const Vector& v = GetParam();
  EXPECT_EQ(DecryptStr(FromHex(v.cipherHex), kPasswordKey, kPasswordMultiplier, kPasswordAddend),
            platform::Utf8ToCp1251(v.plainUtf8));
}

// "m": K = 0x05B2, bits 8..15 = 0x05, and 0x68 ^ 0x05 = 0x6D.
INSTANTIATE_TEST_SUITE_P(Table, DecryptVectors,
                         ::testing::Values(Vector{"", ""}, Vector{"68", "m"},
                                           Vector{"683496dd26177e115b", "masterkey"},
                                           Vector{"cabc11ed5c68dd", "Пароль1"}));

TEST(DecryptStr, FirstTwoBytesByHand) {
  // K0 = 0x05B2 -> xor 0x05. c0 = 0x68: K1 = (0x68 + 0x5B2) * 0x4E71 + 0xB7A9
  //   = 0x61A * 0x4E71 + 0xB7A9 = 0x1DE9D7A + 0xB7A9 = 0x1DF5523 -> bits 8..15 = 0x55.
  // c1 = 0x34 -> 0x34 ^ 0x55 = 0x61 'a'.
  std::string c = "\x68\x34";
  std::string p = DecryptStr(c, kPasswordKey, kPasswordMultiplier, kPasswordAddend);
  EXPECT_EQ(p, "ma");
  // The key stream depends on the enciphered byte, not on the output: changing the first
  // byte changes the second output byte.
  std::string q = DecryptStr(std::string("\x69\x34"), kPasswordKey, kPasswordMultiplier, kPasswordAddend);
  EXPECT_EQ(static_cast<unsigned char>(q[0]), 0x69 ^ 0x05);
  uint32_t k1 = (0x69u + 0x5B2u) * 0x4E71u + 0xB7A9u;
  EXPECT_EQ(static_cast<unsigned char>(q[1]), 0x34 ^ ((k1 >> 8) & 0xFF));
}

TEST(DecryptStr, LongTextsAndEveryByteValueAgainstTheSixteenBitReference) {
  std::string plain;
  for (int i = 0; i < 600; ++i) plain.push_back(static_cast<char>((i * 37 + 11) & 0xFF));  // > 255 bytes, all values
  std::string cipher = Encrypt16(plain, 0x5B2, 0x4E71, 0xB7A9);
  EXPECT_EQ(DecryptStr(cipher, kPasswordKey, kPasswordMultiplier, kPasswordAddend), plain);
  // Other constants, with products that overflow 32 bits.
  cipher = Encrypt16(plain, 0xFFFF, 0xFFFF, 0xFFFF);
  EXPECT_EQ(DecryptStr(cipher, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu), plain);
}

}  // namespace
