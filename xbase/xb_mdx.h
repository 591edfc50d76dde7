#pragma once
// MDX production index files: a tag table in the file header, each tag a B+-tree
// of 1024-byte blocks addressed in 512-byte units.
#include <memory>
#include <string>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjMDXTag : public XBobjIndexTag {
public:
  using XBobjIndexTag::XBobjIndexTag;
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string DisplayKey(const std::string& key) const override;
};

// The 12-byte packed decimal of a numeric key, and back (false for a damaged form).
std::string xbMdxPackNumber(double v);
bool xbMdxUnpackNumber(const uint8_t* p, double& v);

class XBobjMDXFile : public XBobjIndexFile {
public:
  static constexpr int Unit = 512;
  static constexpr int MaxTags = 48;

  XBobjMDXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  ~XBobjMDXFile() override { finish(); }
  static std::unique_ptr<XBobjMDXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  static std::unique_ptr<XBobjMDXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName);

  XBobjIndexTag* TagCreate(const std::string& name, const std::string& keyExpr, bool unique = false,
                           const std::string& forExpr = "", bool descending = false);

  void Load() override;
  void Save() override;
  int BlockBytes() const { return blockBytes_; }

private:
  int blockBytes_ = 1024;
  uint8_t created_[3] = {0, 0, 0};
};

}  // namespace xb
