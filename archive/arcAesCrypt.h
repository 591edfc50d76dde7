#pragma once
// WinZip AES entries: SHA-1, HMAC-SHA1, PBKDF2-HMAC-SHA1, AES encryption (128/192/256-bit keys),
// and the entry layout built on them (salt, 2-byte verifier, counter-mode data, 10-byte code).
// Every context is an object of its own: nothing is shared between entries or components.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "archive/arcCipher.h"

namespace arc {

class TSha1 {
public:
  static constexpr size_t kDigest = 20, kBlock = 64;
  TSha1() { Reset(); }
  void Reset();
  void Update(const uint8_t* p, size_t n);
  void Final(uint8_t out[kDigest]);

private:
  void Block(const uint8_t* p);
  uint32_t FH[5];
  uint8_t FBuf[kBlock];
  size_t FFill = 0;
  uint64_t FLength = 0;
};

class THmacSha1 {
public:
  static constexpr size_t kDigest = TSha1::kDigest;
  THmacSha1() = default;
  THmacSha1(const uint8_t* key, size_t keyLen) { Init(key, keyLen); }
  // A key longer than the 64-byte block is hashed first; a shorter one is padded with zeros.
  void Init(const uint8_t* key, size_t keyLen);
  void Update(const uint8_t* p, size_t n) { FInner.Update(p, n); }
  void Final(uint8_t out[kDigest]);

private:
  TSha1 FInner, FOuter;
};

// PBKDF2 with HMAC-SHA1: outLen bytes from the password and salt.
void Pbkdf2HmacSha1(const uint8_t* pw, size_t pwLen, const uint8_t* salt, size_t saltLen, uint32_t iterations,
                    uint8_t* out, size_t outLen);

// AES, encryption direction only.
class TAesEncryptor {
public:
  // Key length 16, 24 or 32 bytes (128, 192 or 256 are taken as bits); any other leaves the
  // schedule unset and returns false.
  bool SetKey(const uint8_t* key, size_t len);
  bool Ready() const { return FRounds != 0; }
  void EncryptBlock(const uint8_t in[16], uint8_t out[16]) const;

private:
  uint32_t FRk[60] = {};
  int FRounds = 0;
};

// Salt length of a strength (1..3; the two low bits count); 0 for an invalid strength.
size_t ZipAesSaltLength(int strength);
size_t ZipAesKeyLength(int strength);
inline constexpr size_t kZipAesMaxPassword = 128;
inline constexpr uint32_t kZipAesIterations = 1000;

// The encryption context of one AES entry.
class TZipAesDecrypter : public AesDecrypter {
public:
  // Key set-up: 0, or -100 for a password longer than 128 bytes, -1 for a bad strength.
  int SetUp(std::string_view password, int strength, const uint8_t* salt, uint8_t verifierOut[2]);
  // Empty or too long password, bad strength or a verifier that does not match: false.
  bool Init(std::string_view password, int strength, const uint8_t* salt, const uint8_t* verifier) override;
  // Feeds the still enciphered bytes into the code, then deciphers them in counter mode.
  void Decrypt(uint8_t* data, size_t n) override;
  // Enciphers plain bytes (the counter mode is symmetric) and feeds the result into the code.
  void Encrypt(uint8_t* data, size_t n);
  // The first 10 bytes of the HMAC of the enciphered data.
  void Code(uint8_t out[10]);
  bool Verify(const uint8_t* code10) override;

private:
  // Advances the counter block and enciphers it into the keystream block.
  void NextKeyBlock();
  void Crypt(uint8_t* data, size_t n);
  TAesEncryptor FAes;
  THmacSha1 FHmac;
  uint8_t FCounter[16] = {};
  uint8_t FStream[16] = {};
  unsigned FPos = 16;
  bool FReady = false;
};

}  // namespace arc
