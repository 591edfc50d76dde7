#pragma once
// NDX index files: one tag as a B+-tree of 512-byte blocks; every key lives in a
// leaf, interior blocks hold copies of the last key of each child but the last.
#include <memory>
#include <string>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjNDXTag : public XBobjIndexTag {
public:
  using XBobjIndexTag::XBobjIndexTag;
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string DisplayKey(const std::string& key) const override;
};

class XBobjNDXFile : public XBobjIndexFile {
public:
  static constexpr int BlockSize = 512;

  XBobjNDXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  static std::unique_ptr<XBobjNDXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  static std::unique_ptr<XBobjNDXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                  const std::string& keyExpr, bool unique = false);

  ~XBobjNDXFile() override { finish(); }
  void Load() override;
  void Save() override;
  int ItemSize() const { return itemSize_; }
  int MaxKeys() const { return maxKeys_; }

private:
  XBobjIndexTag& tag() { return *tags_.front(); }
  int itemSize_ = 0, maxKeys_ = 0, headerKeyLength_ = 0;
};

}  // namespace xb
