#pragma once
// NTX index files: one tag in a B-tree of 1024-byte pages whose every entry, in
// leaf and interior pages alike, is a key with its record number.
#include <memory>
#include <string>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjNTXFile;

class XBobjNTXTag : public XBobjIndexTag {
public:
  explicit XBobjNTXTag(XBobjIndexFile& file) : XBobjIndexTag(file, TxbTreeStyle::KeysInInterior) {}
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string SeekForm(std::string_view text) const override;
  std::string DisplayKey(const std::string& key) const override;
  void PageRead(XBobjIndexKey& page) override;
  void PageWrite(XBobjIndexKey& page) override;
  bool PageOverflows(const XBobjIndexKey& page) const override { return page.Count() > MaxKeys; }
  bool PackFits(XBobjIndexKey& page, std::string_view key, int level) override;
  void PackStart(size_t keys) override;
  void TagLoad() override;
  void TagStore() override;

  int ItemSize = 0, MaxKeys = 0, HalfPage = 0;

private:
  XBobjNTXFile& ntx();
  int fill_ = 1;
};

class XBobjNTXFile : public XBobjIndexFile {
public:
  static constexpr int PageSize = 1024;

  XBobjNTXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  // Opens an existing file and reads its tag's header and root; raises naming the file when it is damaged.
  static std::unique_ptr<XBobjNTXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  // Creates (or replaces) the file and builds its tag from the table.
  static std::unique_ptr<XBobjNTXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                  const std::string& keyExpr, bool unique = false,
                                                  const std::string& forExpr = "", bool descending = false);
  // Key geometry of a key length: item size, maximum keys per page, half page.
  static void Geometry(int keyLength, int& itemSize, int& maxKeys, int& halfPage);

  bool ChangedExternally() override;
  bool NeedsReload() override { return ChangedExternally(); }
  void Reindex() override;
  uint32_t PageAllocate() override;
  int64_t FileEndRead() override { return FileSize(); }
  uint16_t UpdateCount() const { return counter_; }

protected:
  friend class XBobjNTXTag;
  void LoadTags() override;
  void AfterChange() override;
  void WriteOpenMark(bool refused) override;
  int64_t RefusedLength() const override { return PageSize; }   // the header alone

private:
  XBobjNTXTag& tag() { return static_cast<XBobjNTXTag&>(*tags_.front()); }
  uint16_t counter_ = 1;
};

}  // namespace xb
