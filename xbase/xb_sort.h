#pragma once
// The key sorter of the index builders: one key and one record number per record
// go in, the pairs come back in key order. Memory only; no temporary files.
#include <cstdint>
#include <string>
#include <vector>

#include "xbase/xb_tool.h"

namespace xb {

class TxbSort {
public:
  static constexpr int MaxKeyLength = 251;

  // keyLength 1..251; collation: 256 weights applied to character keys, or nullptr.
  TxbSort(int keyLength, const uint8_t* collation, bool ascending, bool unique);
  virtual ~TxbSort() = default;

  // Kinds: text (trailing blanks cut), number (double), date/integer, raw bytes.
  void AddKey(const TxbVariant& key, int32_t recNo);
  // The next pair in order; false when none is left.
  bool NextKey(TxbVariant& key, int32_t& recNo);
  size_t KeyCount() const { return items_.size(); }

private:
  struct Item {
    std::string enc;   // encoded key followed by the record number, most significant byte first
    uint8_t mark;
  };
  int compareKeys(const Item& a, const Item& b, bool withRecord) const;
  int keyLength_;
  const uint8_t* collation_;
  bool ascending_, unique_;
  bool retrieving_ = false;
  size_t next_ = 0;
  bool haveLast_ = false;
  Item last_;
  std::vector<Item> items_;
};

}  // namespace xb
