#pragma once
// Traditional ZIP encryption: three 32-bit keys updated through the CRC-32 table, the keystream
// byte taken from the third key. Every key set lives in its own object (one per entry or header
// record), started from a seed (the seed of a component's data keys or of its header keys).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "archive/arcCipher.h"
#include "archive/arcGbls.h"

namespace arc {

class TZipCryptKeys {
public:
  TZipCryptKeys() { Reset(kDefaultDataKeys); }
  explicit TZipCryptKeys(const TSeedKeyRecord& seed) { Reset(seed); }

  void Reset(const TSeedKeyRecord& seed) {
    FKey0 = seed.Key0;
    FKey1 = seed.Key1;
    FKey2 = seed.Key2;
  }
  // Loads the keys from the seed and updates them with each byte of the password.
  void InitKeys(const TSeedKeyRecord& seed, std::string_view password);
  // Key update with one plain byte.
  void UpdateKeys(uint8_t plain);
  // The current keystream byte.
  uint8_t DecryptByte() const {
    const uint32_t t = (FKey2 & 0xFFFFu) | 2u;
    return static_cast<uint8_t>(((t * (t ^ 1u)) >> 8) & 0xFFu);
  }
  uint8_t DecryptOne(uint8_t c) {
    const uint8_t p = static_cast<uint8_t>(c ^ DecryptByte());
    UpdateKeys(p);
    return p;
  }
  // In place; a count of 0 or less does nothing.
  void DecryptBuffer(uint8_t* buf, int64_t count);
  void EncryptBuffer(uint8_t* buf, int64_t count);
  TSeedKeyRecord Keys() const { return TSeedKeyRecord{FKey0, FKey1, FKey2}; }

private:
  uint32_t FKey0 = 0, FKey1 = 0, FKey2 = 0;
};

// The traditional cipher behind TUnZip's Ciphers.
class TTraditionalCipher : public TraditionalCipher {
public:
  void Reset(const TSeedKeyRecord& seed) override { FKeys.Reset(seed); }
  void AddPassword(std::string_view password) override {
    for (char c : password) FKeys.UpdateKeys(static_cast<uint8_t>(c));
  }
  void Decrypt(uint8_t* data, size_t n) override { FKeys.DecryptBuffer(data, static_cast<int64_t>(n)); }
  TSeedKeyRecord Keys() const override { return FKeys.Keys(); }

private:
  TZipCryptKeys FKeys;
};

}  // namespace arc
