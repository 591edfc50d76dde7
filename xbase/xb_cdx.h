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
  explicit XBobjCDXTag(XBobjIndexFile& file) : XBobjIndexTag(file, TxbTreeStyle::SeparatorsPerChild) {}
  std::string MakeKey(const TxbKeyValue& v) const override;
  std::string SeekForm(std::string_view text) const override;
  std::string DisplayKey(const std::string& key) const override;
  // Under GENERAL the weights do not give the text back: the key of the last seek's
  // text gives that text, a longer key that starts with it the text and one more byte.
  std::string CurrentKey() const override;

  void PageRead(XBobjIndexKey& page) override;
  void PageWrite(XBobjIndexKey& page) override;
  bool PageOverflows(const XBobjIndexKey& page) const override;
  int SplitCount(const XBobjIndexKey& page, int at) const override;
  bool PackFits(XBobjIndexKey& page, std::string_view key, int level) override;
  void PackStart(size_t keys) override;
  void TagLoad() override;
  void TagStore() override;

  // The leaf layout: bytes per entry and the bits of the record number and the two counts.
  struct Layout {
    int bytes = 3, recBits = 16, countBits = 4;
    uint32_t recMask = 0xFFFF, countMask = 15;
  };
  // Leaves written by an update start at 2 bytes per entry, by a bulk build at 3.
  Layout LeafLayout(uint32_t maxRecord, bool bulk) const;

  bool General = false;        // GENERAL collation: character keys are language weights
  bool IsDirectory = false;    // the tag directory (keys: tag names, records: header offsets)
  uint32_t StoredCount = 0;    // the update counter of the tag's header

private:
  char fill() const { return KeyType != 'C' ? '\0' : ' '; }
  size_t trailOf(std::string_view k) const;
  // The leading bytes shared with the previous key and the trailing fill left out.
  void dupTrail(std::string_view prev, std::string_view key, size_t& dup, size_t& trail) const;
  size_t entryBytes(const XBobjIndexKey& p, int i, const Layout& l) const;
  size_t leafBytes(const XBobjIndexKey& p, const Layout& l) const;
  uint32_t maxRecord(const XBobjIndexKey& p) const;
  int maxInterior() const { return 500 / (KeyLength + 8); }
  Layout bulk_;
  uint32_t bulkMaxRec_ = 0;
};

// GENERAL weights of a text (code page 1252 codes): primary weights, then the
// secondary weights that are not zero, OR 0xF0. Keys sort byte by byte in this form.
std::string xbGeneralKey(std::string_view text);
// A leaf stores the secondary weights at the end of a key's stored bytes as their low
// 4 bits, and reads bytes below 16 there back with the high bits set.
void xbGeneralToStored(uint8_t* stored, size_t length);
void xbGeneralFromStored(char* stored, size_t length);

class XBobjCDXFile : public XBobjIndexFile {
public:
  static constexpr int NodeSize = 512;
  static constexpr int MaxTagName = 10;

  XBobjCDXFile(XBO_dBHandler& table, const std::string& fileName) : XBobjIndexFile(table, fileName) {}
  static std::unique_ptr<XBobjCDXFile> OpenFile(XBO_dBHandler& table, const std::string& fileName);
  // Creates (or empties) the file with an empty tag directory.
  static std::unique_ptr<XBobjCDXFile> CreateFile(XBO_dBHandler& table, const std::string& fileName);

  // Replaces a tag of the name or adds it, builds it from the table and writes it.
  XBobjIndexTag* TagCreate(const std::string& name, const std::string& keyExpr, bool unique = false,
                           const std::string& forExpr = "", bool descending = false, bool general = false);
  bool TagDelete(const std::string& name) override;
  void Reindex() override;
  bool ChangedExternally() override;
  bool NeedsReload() override { return ChangedExternally(); }
  uint32_t PageAllocate() override;
  int64_t FileEndRead() override { return (FileSize() + NodeSize - 1) / NodeSize * NodeSize; }
  uint32_t UpdateCount() const { return dir_ ? dir_->StoredCount : 0; }

protected:
  void LoadTags() override;
  void AfterChange() override;
  std::vector<XBobjIndexTag*> allTags() override;
  void WriteOpenMark(bool refused) override;
  int64_t RefusedLength() const override { return 2 * NodeSize; }   // the directory's header alone

private:
  std::string dirKey(const std::string& name) const;
  void newDirectory();
  std::unique_ptr<XBobjCDXTag> dir_;
};

}  // namespace xb
