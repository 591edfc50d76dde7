#include "tasks/zlvCrypt32.h"

#include "platform/exception.h"
#include "platform/inifile.h"

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

std::string EncryptStr(std::string_view S, uint32_t Key, uint32_t Multiplier, uint32_t Addend) {
  std::string out(S.size(), '\0');
  uint32_t k = Key;
  for (size_t i = 0; i < S.size(); ++i) {
    const uint32_t c = (static_cast<unsigned char>(S[i]) ^ ((k >> 8) & 0xFFu)) & 0xFFu;
    out[i] = static_cast<char>(c);
    k = (c + k) * Multiplier + Addend;
  }
  return out;
}

namespace {

const char* const kSection = "Password";
const char* const kKey = "Password";

}  // namespace

std::string StoredPasswordValue(std::string_view plain) {
  return EncryptStr(plain, kPasswordKey, kPasswordMultiplier, kPasswordAddend);
}

std::string ReadStoredPassword(const platform::TIniFile& ini) {
  return DecryptStr(ini.ReadString(kSection, kKey, ""), kPasswordKey, kPasswordMultiplier, kPasswordAddend);
}

bool StorablePassword(std::string_view plain) {
  return StoredPasswordValue(plain).find_first_of("\r\n") == std::string::npos;
}

void WriteStoredPassword(platform::TIniFile& ini, std::string_view plain) {
  if (plain.empty()) throw platform::EConvertError("The password is empty");
  if (plain.size() > kStoredPasswordMax) {
    throw platform::EConvertError("The password is longer than " + std::to_string(kStoredPasswordMax) + " characters");
  }
  if (!StorablePassword(plain)) {
    throw platform::EConvertError("The enciphered password cannot be kept as a settings value");
  }
  ini.WriteString(kSection, kKey, "\"" + StoredPasswordValue(plain) + "\"");
  if (ReadStoredPassword(ini) != plain) {
    throw platform::EConvertError("The stored password does not read back from " + ini.fileName());
  }
}
