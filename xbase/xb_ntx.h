#pragma once
// NTX index files: one tag in a B-tree of 1024-byte pages whose every entry, in
// leaf and interior pages alike, is a key with its record number.
#include <memory>
#include <string>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjNTXTag : public XBobjIndexTag {
public:
  using XBobjIndexTag::XBobjIndexTag;
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string SeekForm(std::string_view text) const override;
  std::string DisplayKey(const std::string& key) const override;
};

class XBobjNTXFile : public XBobjIndexFile {
public:
  static constexpr int PageSize = 1024;

  XBobjNTXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  // Opens an existing file and reads its tag; raises naming the file when it is damaged.
  static std::unique_ptr<XBobjNTXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  // Creates (or replaces) the file and builds its tag from the table.
  static std::unique_ptr<XBobjNTXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                  const std::string& keyExpr, bool unique = false,
                                                  const std::string& forExpr = "", bool descending = false);
  // Key geometry of a key length: item size, maximum keys per page, half page.
  static void Geometry(int keyLength, int& itemSize, int& maxKeys, int& halfPage);

  ~XBobjNTXFile() override { finish(); }
  void Load() override;
  void Save() override;
  bool ChangedExternally() override;
  uint16_t UpdateCount() const { return counter_; }

private:
  XBobjNTXTag& tag() { return static_cast<XBobjNTXTag&>(*tags_.front()); }
  void setType();
  uint16_t counter_ = 1;
  int itemSize_ = 0, maxKeys_ = 0, half_ = 0;
};

}  // namespace xb
