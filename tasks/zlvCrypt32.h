#pragma once
// The keyed stream cipher with which the database password is stored in "Morqa.ini", and
// the stored password itself: read (deciphered) by the connection, written (enciphered) by
// the program's "--store-password" option.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {
class TIniFile;
}

// The constants the connect operation deciphers the stored password with.
constexpr uint32_t kPasswordKey = 0x5B2;
constexpr uint32_t kPasswordMultiplier = 0x4E71;
constexpr uint32_t kPasswordAddend = 0xB7A9;
// The longest stored password.
constexpr size_t kStoredPasswordMax = 255;

// Deciphers S byte by byte: out = c XOR bits 8..15 of K, then K = (c + K) * Multiplier +
// Addend modulo 2^32, where c is the enciphered byte. The result has the length of S;
// texts of any length are processed whole.
std::string DecryptStr(std::string_view S, uint32_t Key, uint32_t Multiplier, uint32_t Addend);
// The inverse: DecryptStr(EncryptStr(S, k, m, a), k, m, a) == S. The key advances with the
// enciphered byte, as in DecryptStr.
std::string EncryptStr(std::string_view S, uint32_t Key, uint32_t Multiplier, uint32_t Addend);

// The value under which the settings file keeps `plain`: enciphered with the constants
// above.
std::string StoredPasswordValue(std::string_view plain);
// The stored database password of the settings file (section Password, key Password),
// deciphered; "" when there is none.
std::string ReadStoredPassword(const platform::TIniFile& ini);
// Whether the enciphered form of `plain` can be kept in the line-based settings file: it
// holds no line break (CR or LF).
bool StorablePassword(std::string_view plain);
// Writes `plain` enciphered as the stored password, keeping every other line of the file,
// and reads it back. The value is written in double quotes, which the reader removes, so
// that blanks at either end of the enciphered form are kept. Raises platform::EConvertError
// when `plain` is empty, longer than kStoredPasswordMax or not storable (above), with the
// file left as it was, and platform::EOSError when the file cannot be written (a read-only
// file is kept).
void WriteStoredPassword(platform::TIniFile& ini, std::string_view plain);
