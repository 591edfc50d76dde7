#pragma once
// What the source files of TXBaseDataSet share; not for use outside them.
#include <cstdint>
#include <string>
#include <string_view>

#include "xbase/xb_dbsy.h"

namespace xb::dsparts {

inline std::string upperKey(std::string_view s) {
  std::string r(s);
  for (auto& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

// Whether a translation table moves the CP866 letters 0x80-0xAF up by 0x40 and
// 0xE0-0xEF by 0x10 and leaves ASCII alone, as the word-at-a-time text read assumes.
bool tableShiftsOemLetters(const uint8_t* table);

// Points the table's current-record pointer at a buffer for one operation.
struct RecordPointer {
  XBO_dBHandler* t;
  RecordPointer(XBO_dBHandler* table, uint8_t* buffer) : t(table) { t->SetCurRecord(buffer); }
  ~RecordPointer() { t->SetCurRecord(nullptr); }
};

}  // namespace xb::dsparts
