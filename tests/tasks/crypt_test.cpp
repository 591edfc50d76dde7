// DecryptStr and EncryptStr against vectors worked out by hand from the cipher, and against
// an independent 16-bit reference (only bits 8..15 of the key are ever used); the stored
// password of the settings file written and read back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/inifile.h"
#include "support/TestDatabase.h"
#include "tasks/zlvCrypt32.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

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

TEST_P(DecryptVectors, Encipher) {
  const Vector& v = GetParam();
  EXPECT_EQ(EncryptStr(platform::Utf8ToCp1251(v.plainUtf8), kPasswordKey, kPasswordMultiplier, kPasswordAddend),
            FromHex(v.cipherHex));
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

TEST(EncryptStr, EveryByteValueAgainstTheSixteenBitReference) {
  std::string plain;
  for (int i = 0; i < 600; ++i) plain.push_back(static_cast<char>((i * 53 + 7) & 0xFF));
  EXPECT_EQ(EncryptStr(plain, kPasswordKey, kPasswordMultiplier, kPasswordAddend), Encrypt16(plain, 0x5B2, 0x4E71, 0xB7A9));
  EXPECT_EQ(EncryptStr(plain, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu), Encrypt16(plain, 0xFFFF, 0xFFFF, 0xFFFF));
}

// The stored password: written enciphered among the other settings, read back deciphered;
// what cannot be stored is refused and the file stays as it was.
TEST(StoredPassword, WrittenAndReadBackOrRefused) {
  const std::string dir = testsupport::MakeTempDir("kesta-password");
  const std::string path = dir + "Morqa.ini";
  const std::string before = "[DB_PCName]\r\nDB_PCName=dbserver\r\n[Password]\r\nPassword=old\r\n";
  // The longest password, one whose enciphered form holds no line break.
  std::string longest;
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (size_t n = 1; n < 100 && (longest.empty() || !StorablePassword(longest)); ++n) {
    longest.clear();
    for (size_t i = 0; i < 255; ++i) longest.push_back(letters[(i * n + i * i) % letters.size()]);
  }
  ASSERT_TRUE(StorablePassword(longest));
  ASSERT_EQ(longest.size(), 255u);
  // "%" and "'" encipher to a blank and to a quote at the start, which the reader drops
  // unless the value is quoted; "gs" to a line break, which the file cannot hold.
  ASSERT_EQ(StoredPasswordValue("%"), " ");
  ASSERT_EQ(StoredPasswordValue("\""), "'");
  ASSERT_NE(StoredPasswordValue("gs").find_first_of("\r\n"), std::string::npos);
  struct Case {
    std::string plain;
    bool ok;
  } cases[] = {
      {"masterkey", true},
      {platform::Utf8ToCp1251("Пароль1"), true},
      {"m", true},
      {"%abc", true},
      {"%", true},
      {"\"k\"", true},
      {longest, true},
      {"", false},
      {longest + "k", false},
      {"gs", false},
  };
  for (const Case& c : cases) {
    testsupport::WriteFile(path, before);
    platform::TIniFile ini(path);
    if (c.ok) {
      EXPECT_TRUE(StorablePassword(c.plain)) << c.plain;
      WriteStoredPassword(ini, c.plain);
      EXPECT_EQ(ReadStoredPassword(platform::TIniFile(path)), c.plain);
      EXPECT_EQ(platform::TIniFile(path).ReadString("Password", "Password", ""),
                EncryptStr(c.plain, kPasswordKey, kPasswordMultiplier, kPasswordAddend));
      EXPECT_NE(ReadAll(path).find("Password=\"" + StoredPasswordValue(c.plain) + "\"\r\n"),
                std::string::npos);
      EXPECT_EQ(platform::TIniFile(path).ReadString("DB_PCName", "DB_PCName", ""), "dbserver");
    } else {
      EXPECT_THROW(WriteStoredPassword(ini, c.plain), platform::EConvertError) << c.plain;
      EXPECT_EQ(ReadStoredPassword(platform::TIniFile(path)),
                DecryptStr("old", kPasswordKey, kPasswordMultiplier, kPasswordAddend));
    }
  }
  // A read-only file is kept.
  testsupport::WriteFile(path, before);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  platform::TIniFile ini(path);
  EXPECT_THROW(WriteStoredPassword(ini, "masterkey"), platform::EOSError);
  EXPECT_EQ(platform::TIniFile(path).ReadString("Password", "Password", ""), "old");
  // No file yet: it is made.
  platform::TIniFile fresh(dir + "new.ini");
  WriteStoredPassword(fresh, "masterkey");
  EXPECT_EQ(ReadStoredPassword(platform::TIniFile(dir + "new.ini")), "masterkey");
  testsupport::RemoveDir(dir);
}

}  // namespace
