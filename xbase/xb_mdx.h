#pragma once
// MDX production index files: a tag table in the file header, each tag a B+-tree
// of 1024-byte blocks addressed in 512-byte units.
#include <memory>
#include <string>
#include <vector>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjMDXFile;

class XBobjMDXTag : public XBobjIndexTag {
public:
  explicit XBobjMDXTag(XBobjIndexFile& file) : XBobjIndexTag(file, TxbTreeStyle::SeparatorsWithTail) {}
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string DisplayKey(const std::string& key) const override;
  void PageRead(XBobjIndexKey& page) override;
  void PageWrite(XBobjIndexKey& page) override;
  bool PageOverflows(const XBobjIndexKey& page) const override { return page.Count() > MaxKeys; }
  bool PackFits(XBobjIndexKey& page, std::string_view key, int level) override {
    return page.Count() < (level == 0 ? MaxKeys : MaxKeys + 1);
  }
  void TagLoad() override;
  void TagStore() override;
  uint32_t AllocatePage(XBobjIndexKey* page) override;
  int64_t PagePos(uint32_t addr) const override { return int64_t{addr} * 512; }

  int ItemSize = 0, MaxKeys = 0, DiskKeyLength = 0;
  uint32_t FirstUnit = 0, LastUnit = 0;   // the first and the last block allocated for the tag

private:
  XBobjMDXFile& mdx();
};

// The 12-byte packed decimal of a numeric key, and back (false for a damaged form).
std::string xbMdxPackNumber(double v);
bool xbMdxUnpackNumber(const uint8_t* p, double& v);

class XBobjMDXFile : public XBobjIndexFile {
public:
  static constexpr int Unit = 512;
  static constexpr int MaxTags = 48;

  XBobjMDXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  ~XBobjMDXFile() override;
  static std::unique_ptr<XBobjMDXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  static std::unique_ptr<XBobjMDXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName);

  // Replaces a tag of the name or adds it, builds it from the table and writes it.
  XBobjIndexTag* TagCreate(const std::string& name, const std::string& keyExpr, bool unique = false,
                           const std::string& forExpr = "", bool descending = false);
  bool TagDelete(const std::string& name) override;
  void Reindex() override;
  bool Rename(const std::string& newName) override;
  uint32_t PageAllocate() override;
  int64_t FileEndRead() override { return FileSize() / Unit; }
  int BlockBytes() const { return blockBytes_; }

protected:
  friend class XBobjMDXTag;
  void LoadTags() override;
  void StoreFileHeader() override;
  void WriteOpenMark(bool refused) override;
  // Shorter than the header, longer than a file the open makes anew.
  int64_t RefusedLength() const override { return 1024; }

private:
  // Tags whose entries fit the header after entry 0 (47 of the 48 the header announces).
  size_t tableRoom() const { return (header_.size() - 544) / 32; }
  void newHeader();
  void writeTagTable();
  void defineTag(XBobjMDXTag& t);
  int blockBytes_ = 1024;
  std::vector<uint8_t> header_;   // the file header with the tag table
};

}  // namespace xb
