#include "archive/arcCrypt.h"

#include <cstring>

#include "archive/arcAesCrypt.h"
#include "archive/arcCrc32.h"

namespace arc {

void TZipCryptKeys::InitKeys(const TSeedKeyRecord& seed, std::string_view password) {
  Reset(seed);
  for (char c : password) UpdateKeys(static_cast<uint8_t>(c));
}

void TZipCryptKeys::UpdateKeys(uint8_t plain) {
  const uint32_t* t = Crc32Table();
  FKey0 = t[(FKey0 ^ plain) & 0xFFu] ^ (FKey0 >> 8);
  FKey1 = (FKey1 + (FKey0 & 0xFFu)) * 134775813u + 1u;
  FKey2 = t[(FKey2 ^ (FKey1 >> 24)) & 0xFFu] ^ (FKey2 >> 8);
}

void TZipCryptKeys::DecryptBuffer(uint8_t* buf, int64_t count) {
  for (int64_t i = 0; i < count; ++i) buf[i] = DecryptOne(buf[i]);
}

void TZipCryptKeys::EncryptBuffer(uint8_t* buf, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t k = DecryptByte();
    UpdateKeys(buf[i]);
    buf[i] = static_cast<uint8_t>(buf[i] ^ k);
  }
}

bool CheckPasswordHeader(TraditionalCipher& keys, const TSeedKeyRecord& seed, uint8_t* buf, uint16_t flags,
                         uint32_t crc, std::string_view password, uint16_t lastModTime) {
  if (password.empty()) return false;
  keys.Reset(seed);
  keys.AddPassword(password);
  std::memcpy(buf, buf + 12, 12);
  keys.Decrypt(buf, 12);
  const uint8_t check = (flags & 8) ? static_cast<uint8_t>(lastModTime >> 8) : static_cast<uint8_t>(crc >> 24);
  return buf[11] == check;
}

CipherFactory DefaultCiphers() {
  CipherFactory f;
  f.traditional = [] { return std::make_unique<TTraditionalCipher>(); };
  f.aes = [] { return std::make_unique<TZipAesDecrypter>(); };
  return f;
}

}  // namespace arc
