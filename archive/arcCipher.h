#pragma once
// The interface through which the ZIP reader deciphers entries and enciphered headers.
// The traditional cipher (arcCrypt) and the AES entry layout (arcAesCrypt) are the default;
// a component whose factory is emptied treats every enciphered entry as having no accepted
// password and every enciphered header as undecipherable.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "archive/arcGbls.h"

namespace arc {

// Traditional ZIP encryption: keys start from a seed, take a password, then decipher bytes.
class TraditionalCipher {
public:
  virtual ~TraditionalCipher() = default;
  virtual void Reset(const TSeedKeyRecord& seed) = 0;
  virtual void AddPassword(std::string_view password) = 0;
  virtual void Decrypt(uint8_t* data, size_t n) = 0;
  // The keys as they stand now (after the seed, the password and the bytes deciphered so far).
  virtual TSeedKeyRecord Keys() const = 0;
};

// WinZip AES entries: salt and verifier check, deciphering, authentication code.
class AesDecrypter {
public:
  virtual ~AesDecrypter() = default;
  // strength 1..3; the salt has 8, 12 or 16 bytes; the verifier 2.
  virtual bool Init(std::string_view password, int strength, const uint8_t* salt, const uint8_t* verifier) = 0;
  virtual void Decrypt(uint8_t* data, size_t n) = 0;
  virtual bool Verify(const uint8_t* code10) = 0;
};

// Checks a password against an entry's 12-byte encryption header. buf holds 24 bytes: bytes 12..23
// the enciphered header as read; bytes 0..11 receive the deciphered header. The check byte is the
// high byte of the CRC-32, or of the 16-bit modification time when bit 3 of the flags says that a
// data descriptor follows. An empty password fails at once. On success keys stand ready for the
// entry's data. (Defined with the traditional cipher.)
bool CheckPasswordHeader(TraditionalCipher& keys, const TSeedKeyRecord& seed, uint8_t* buf, uint16_t flags,
                         uint32_t crc, std::string_view password, uint16_t lastModTime);

struct CipherFactory {
  std::function<std::unique_ptr<TraditionalCipher>()> traditional;
  std::function<std::unique_ptr<AesDecrypter>()> aes;
};

// The built-in ciphers (defined with the traditional cipher).
CipherFactory DefaultCiphers();

}  // namespace arc
