#pragma once
// CDX compound index files: any number of tags in 512-byte nodes, found through a
// tag directory (itself an index of tag names); leaf nodes hold compressed keys,
// interior nodes full keys; the nodes of a level are chained left and right.
#include <memory>
#include <string>

#include "xbase/xb_indx.h"

namespace xb {

class XBobjCDXTag : public XBobjIndexTag {
public:
  using XBobjIndexTag::XBobjIndexTag;
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string SeekForm(std::string_view text) const override;
  std::string DisplayKey(const std::string& key) const override;
  // Under GENERAL the stored weights do not give the text back: a key that matches
  // the last seek gives the seek text (followed by one more byte when it only
  // starts with it).
  std::string CurrentKey() const override;
  void TakeOver(XBobjIndexTag& fresh) override {
    auto& f = static_cast<XBobjCDXTag&>(fresh);
    General = f.General;
    StoredCount = f.StoredCount;
    XBobjIndexTag::TakeOver(fresh);
  }
  bool General = false;        // GENERAL collation: character keys are language weights
  uint32_t StoredCount = 0;    // the update counter of the tag's header
};

// GENERAL weights of a text (code page 1252 codes): primary weights, then the
// secondary weights that are not zero, OR 0xF0.
std::string xbGeneralKey(std::string_view text);

class XBobjCDXFile : public XBobjIndexFile {
public:
  static constexpr int NodeSize = 512;
  static constexpr int MaxTagName = 10;

  XBobjCDXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  static std::unique_ptr<XBobjCDXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  // Creates (or empties) the file with an empty tag directory.
  static std::unique_ptr<XBobjCDXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName);

  // Replaces a tag of the name or adds it, builds it from the table and writes the file.
  XBobjIndexTag* TagCreate(const std::string& name, const std::string& keyExpr, bool unique = false,
                           const std::string& forExpr = "", bool descending = false, bool general = false);

  ~XBobjCDXFile() override { finish(); }
  void Load() override;
  void Save() override;
  bool ChangedExternally() override;
  uint32_t UpdateCount() const { return counter_; }

private:
  struct Header {
    uint32_t root = 0, counter = 0;
    int keyLength = 0;
    uint8_t options = 0, signature = 0;
    bool general = false, descending = false;
    std::string keyExpr, forExpr;
  };
  Header readHeader(int64_t pos, int64_t fileSize);
  std::vector<TxbIndexEntry> readTree(uint32_t root, int keyLength, char fill, int64_t fileSize, Walk& w);
  uint32_t writeTree(std::vector<uint8_t>& image, const std::vector<TxbIndexEntry>& entries, int keyLength,
                     char fill, uint32_t maxRec);
  void writeHeader(std::vector<uint8_t>& image, uint32_t pos, const Header& h);
  uint32_t counter_ = 0;
};

}  // namespace xb
