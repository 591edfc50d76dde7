#pragma once
// INI file with the semantics of the platform's private-profile files: sections
// and keys are case-insensitive, values are raw CP1251 bytes, the first of
// duplicate keys wins, values are trimmed and one pair of enclosing quotes is
// removed. Every write reaches the file at once and keeps every other line.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/params.h"

namespace platform {

class TIniFile {
public:
  // fileName is a CP1251 path. Reading a missing file gives the defaults and creates nothing.
  explicit TIniFile(std::string fileName);

  const std::string& fileName() const { return fileName_; }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // Raise EOSError when the file cannot be written; a file that is read-only (no write
  // permission for anyone), or that this user may not write, is left as it is.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::vector<std::string> ReadSection(std::string_view section) const;       // key names
  void ReadSectionValues(std::string_view section, TParams& out) const;      // name=value pairs
  std::vector<std::string> ReadSections() const;
  void EraseSection(std::string_view section);
  void DeleteKey(std::string_view section, std::string_view key);

private:
  std::vector<std::string> load() const;
  void store(const std::vector<std::string>& lines) const;
  std::string fileName_;
};

}  // namespace platform
