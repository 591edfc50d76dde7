#pragma once
// NDX index files: one tag as a B+-tree of 512-byte blocks; every key lives in a
// leaf, interior blocks hold copies of the last key of each child but the last.
#include <memory>
#include <string>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjNDXTag : public XBobjIndexTag {
public:
  explicit XBobjNDXTag(XBobjIndexFile& file) : XBobjIndexTag(file, TxbTreeStyle::SeparatorsWithTail) {}
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string DisplayKey(const std::string& key) const override;
  void PageRead(XBobjIndexKey& page) override;
  void PageWrite(XBobjIndexKey& page) override;
  bool PageOverflows(const XBobjIndexKey& page) const override {
    return page.Count() > (page.Leaf ? MaxKeys : maxInterior());
  }
  bool PackFits(XBobjIndexKey& page, std::string_view key, int level) override {
    return page.Count() < (level == 0 ? MaxKeys : maxInterior() + 1);
  }
  void TagLoad() override;
  void TagStore() override;
  uint32_t AllocatePage(XBobjIndexKey* page) override;
  int64_t PagePos(uint32_t addr) const override { return int64_t{addr} * 512; }

  int ItemSize = 0, MaxKeys = 0, HeaderKeyLength = 0;

private:
  // Keys of an interior block: the child after the last key needs an item of its own.
  int maxInterior() const { return std::min(MaxKeys, (512 - 4) / ItemSize - 1); }
};

class XBobjNDXFile : public XBobjIndexFile {
public:
  static constexpr int BlockSize = 512;

  XBobjNDXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  static std::unique_ptr<XBobjNDXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  static std::unique_ptr<XBobjNDXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                  const std::string& keyExpr, bool unique = false);

  void Reindex() override;
  uint32_t PageAllocate() override;
  int64_t FileEndRead() override { return FileSize() / BlockSize; }
  int ItemSize() { return tag().ItemSize; }
  int MaxKeys() { return tag().MaxKeys; }

protected:
  void LoadTags() override;
  void WriteOpenMark(bool refused) override;
  int64_t RefusedLength() const override { return BlockSize; }   // the header alone

private:
  XBobjNDXTag& tag() { return static_cast<XBobjNDXTag&>(*tags_.front()); }
};

}  // namespace xb
