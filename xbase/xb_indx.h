#pragma once
// Common part of the index kinds: key evaluation, the ordered key list of a tag
// with its navigation, seek and range, and the index file with its lock, its page
// reader (every address, count and length checked) and the write-back.
//
// A tag holds its keys in memory in index order, loaded from the file's pages
// when the file is opened and when another program changed it. A changed file is
// written again whole in the kind's page layout: a shared file when the index lock
// is released after the record write, a file opened exclusively when the table
// flushes and when the file is closed.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xbase/xb_dbsy.h"
#include "xbase/xb_disk.h"

namespace xb {

// The value of a key expression for one record.
struct TxbKeyValue {
  char type = 'C';        // 'C' character, 'N' numeric, 'D' date, 'L' logical ("T" or "F" in text)
  std::string text;       // 'C': the bytes as stored in the record (OEM)
  double number = 0;      // 'N'
  int32_t julian = 0;     // 'D': 0 for an empty date
  int length = 0;         // 'C': the evaluated length; 'N': field width
  int decimals = 0;       // 'N'
};

// A compiled key or FOR expression on one table.
class IxbKeyEvaluator {
public:
  virtual ~IxbKeyEvaluator() = default;
  // Evaluates on a record buffer of the table (RecordLength bytes).
  virtual TxbKeyValue Evaluate(const uint8_t* record) = 0;
};
using TxbKeyCompiler = std::function<std::unique_ptr<IxbKeyEvaluator>(XBO_dBHandler&, const std::string& text)>;
// The compiler the index kinds use. By default it understands field names joined
// by '+' (character fields concatenate; a numeric, date or logical field stands alone).
// The expression language's compiler is the default.
TxbKeyCompiler& xbKeyCompiler();
// The expression language's compiler (the default) and the field-name one.
std::unique_ptr<IxbKeyEvaluator> xbExpressionKeyCompiler(XBO_dBHandler& table, const std::string& text);
std::unique_ptr<IxbKeyEvaluator> xbFieldKeyCompiler(XBO_dBHandler& table, const std::string& text);

// Index errors.
namespace msg {
inline constexpr const char* IndexKeyExpression = "Invalid index key expression %s for file %s";
inline constexpr const char* IndexForExpression = "Invalid FOR expression %s for file %s";
inline constexpr const char* IndexKeyTooLong = "Index key length %d is not possible in file %s";
inline constexpr const char* IndexPageBad = "Index file %s is corrupted: bad page at %d";
inline constexpr const char* IndexOrderBad = "Index file %s is corrupted: keys out of order";
inline constexpr const char* IndexTooDeep = "Index file %s is corrupted: page tree deeper than %d levels";
inline constexpr const char* IndexReadOnly = "Index file %s is open read-only";
}  // namespace msg

// One key entry: the key in the tag's sort form (fixed length, compared byte by byte)
// and the record number.
struct TxbIndexEntry {
  std::string key;
  int32_t recNo = 0;
};

class XBobjIndexFile;

class XBobjIndexTag : public IxbIndexTag {
public:
  explicit XBobjIndexTag(XBobjIndexFile& file) : file_(file) {}
  ~XBobjIndexTag() override = default;

  // IxbIndexTag
  std::string TagName() const override { return Name; }
  std::string KeyExpression() const override { return KeyExpr; }
  TxbTagMove Move(int32_t code) override;
  int32_t SeekKey(std::string_view key) override;
  std::string CurrentKey() const override;
  int32_t CurrentRecord() const override;
  bool AtEnd() const override;
  bool SetRange(std::string_view low, std::string_view high, bool partial) override;
  void ClearRange() override;
  bool HasRange() const override { return hasRange_; }
  bool SyncTo(int32_t recNo) override;

  // The sort form of an evaluated value (fixed length KeyLength).
  virtual std::string MakeKey(const TxbKeyValue& v) const = 0;
  // The sort form of a caller's key text (CP1251; character keys may be prefixes).
  virtual std::string SeekForm(std::string_view text) const;
  // The caller's form of a stored key (character keys trimmed, in CP1251).
  virtual std::string DisplayKey(const std::string& key) const;

  // Takes the definition and keys of a freshly read copy of this tag, staying on
  // the same record where it can (the object itself stays, so pointers to it hold).
  virtual void TakeOver(XBobjIndexTag& fresh);
  // Compiles the expressions (raises naming the file when they cannot be compiled).
  void Prepare(XBO_dBHandler& table);
  // The key value of a blank record (for the key's type and length); Prepare first.
  TxbKeyValue ProbeKey(XBO_dBHandler& table);
  // Evaluates the key and the FOR condition on a record buffer.
  bool KeyFor(const uint8_t* record, std::string& key);
  // Brings the entry of record recNo in step with the record; true when it changed.
  bool UpdateRecord(int32_t recNo, const uint8_t* record);
  // Fills the entries from every record of the table in key order.
  void Build(XBO_dBHandler& table);
  // Takes entries read from a file (in file order) and checks their order.
  void SetEntries(std::vector<TxbIndexEntry> entries);
  const std::vector<TxbIndexEntry>& Entries() const { return entries_; }
  bool Less(const TxbIndexEntry& a, const TxbIndexEntry& b) const;

  std::string Name = "UNK";
  std::string KeyExpr, ForExpr;
  char KeyType = 'C';
  int KeyLength = 0;
  int Decimals = 0;
  bool Unique = false;
  bool Descending = false;
  bool RecordOrder = true;   // equal keys stay in record-number order
  int64_t HeaderPos = 0;

protected:
  // The entry the tag stands on, or none.
  const TxbIndexEntry* current() const {
    return pos_ >= 0 && pos_ < static_cast<int64_t>(entries_.size()) ? &entries_[static_cast<size_t>(pos_)] : nullptr;
  }
  XBobjIndexFile& file_;
  std::unique_ptr<IxbKeyEvaluator> keyEval_, forEval_;
  std::string lastSeekText_, lastSeekKey_;

private:
  int cmpKey(std::string_view a, std::string_view b) const;   // honours Descending
  bool inRange(size_t i) const;
  size_t lowerBound(std::string_view seek) const;
  std::vector<TxbIndexEntry> entries_;
  std::unordered_map<int32_t, std::string> byRec_;
  int64_t pos_ = -1;
  bool hasRange_ = false, rangePartial_ = false;
  std::string low_, high_;
};

class XBobjIndexFile : public IxbIndexFile {
public:
  XBobjIndexFile(XBO_dBHandler& table, const std::string& fileName);
  ~XBobjIndexFile() override;

  // IxbIndexFile
  std::string FileName() const override { return fileName_; }
  int TagCount() const override { return static_cast<int>(tags_.size()); }
  IxbIndexTag* Tag(int i) override { return TagByIndex(i); }
  void Flush() override;
  void UpdateKeys(int32_t recNo) override;
  bool Lock() override;
  void Unlock() override;
  void SetLockProtocol(int protocol) override { protocol_ = protocol; }
  bool Rename(const std::string& newName) override;

  XBobjIndexTag* TagByIndex(int i) {
    return i >= 0 && i < TagCount() ? tags_[static_cast<size_t>(i)].get() : nullptr;
  }
  XBobjIndexTag* TagByName(std::string_view name);
  // Reads the file again after another program changed it; tag objects of the
  // same name are kept (the handler may hold them), vanished tags become empty.
  void Reload();
  // Builds every tag again from the table and writes the file.
  void Reindex();
  // Removes the tag of that name (without regard to case) and writes the file; false when none.
  bool TagDelete(const std::string& name);
  // The byte range of the index lock of a protocol.
  static TxbLockSpan IndexLockSpan(int protocol);

  // Reads the file's tags and keys; raises naming the file when it is damaged.
  virtual void Load() = 0;
  // Writes the whole file from the tags' entries.
  virtual void Save() = 0;
  // True when another program changed the file since it was read or written: by
  // default the file's size or modification time differ from those this object
  // saw last (the kinds with an update counter compare it instead).
  virtual bool ChangedExternally();

  XBO_dBHandler& Table() { return table_; }
  bool Dirty = false;

protected:
  // Writes pending changes; the kinds call it from their destructors.
  void finish() noexcept;
  // Opens the file (created empty when create is set).
  void openDisk(bool create);
  // Reads exactly n bytes at pos; a damaged file when they are not there.
  void readExact(int64_t pos, void* buf, size_t n);
  void writeAll(const std::vector<uint8_t>& image);
  // Page-walk guard: every page once, at most 32 levels.
  struct Walk {
    std::set<int64_t> seen;
    int depth = 0;
  };
  void checkPage(Walk& w, int64_t pos, int64_t size, int64_t fileSize);
  [[noreturn]] void corrupt() const;
  [[noreturn]] void badPage(int64_t pos) const;

  XBO_dBHandler& table_;
  std::string fileName_;
  std::unique_ptr<XBO_DiskFile> disk_;
  std::vector<std::unique_ptr<XBobjIndexTag>> tags_;
  std::vector<std::unique_ptr<XBobjIndexTag>> retired_;
  // The file's size and modification time after the last read or write.
  void noteFileState();
  int64_t seenSize_ = -1, seenTime_ = -1;
  int protocol_ = Default;
  int locks_ = 0;
  bool lockHeld_ = false;
};

// The engine's collation table for character keys (none unless an application sets one).
const uint8_t*& xbCollationTable();

// The built-in index kinds by extension (".NTX", ".NDX", ".CDX", ...).
void xbRegisterBuiltinIndexes(std::map<std::string, TxbIndexFactory>& classes);

// One item of a page level being built: a key, its record number and its left child.
struct TxbBuildItem {
  std::string key;
  int32_t recNo = 0;
  uint32_t child = 0;
};
// Writes one page of a level (items, the rightmost child, whether a leaf) and returns its address.
using TxbPageWriter = std::function<uint32_t(const std::vector<TxbBuildItem>&, uint32_t tail, bool leaf)>;
// Builds a page tree bottom-up and returns the root's address. keysInInterior: every
// key lives in exactly one page and interior pages hold the keys between their
// children; otherwise every key lives in a leaf and interior pages hold copies of
// the last key of each child but the last.
uint32_t xbBuildTree(const std::vector<TxbIndexEntry>& entries, size_t maxLeaf, size_t maxInterior,
                     bool keysInInterior, const TxbPageWriter& writePage);

// Little- and big-endian helpers of the page layouts.
inline uint16_t xbGet16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t xbGet32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t xbGet32BE(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void xbPut16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void xbPut32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void xbPut32BE(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
// A double as 8 bytes that sort as the values do (most significant first).
std::string xbSortableDouble(double v);
double xbDoubleFromSortable(std::string_view s);
// Text of a number for display ("12.5", "-3").
std::string xbNumberText(double v);
// A seek text as a number or a date ("yyyymmdd"); false when it is none.
bool xbParseNumber(std::string_view text, double& v);
bool xbParseDate(std::string_view text, int32_t& julian);

}  // namespace xb
