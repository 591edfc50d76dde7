#pragma once
// Common part of the index kinds: key evaluation, the page tree of a tag with its
// navigation, seek, range and in-place upkeep, the bulk build, and the index file
// with its lock, its enciphered page I/O and the write-back of changed pages.
//
// A tag reads its header and root page when the file is opened and loads other
// pages when a walk or a search reaches them (a tag keeps a bounded number of
// pages). A record write inserts and removes single entries at their leaf; a page
// that overflows splits into a newly allocated page, an emptied page leaves its
// parent. The pages an update changed are written, under the index lock, before
// the record write returns, whether the file is shared or not. A shared file is
// read under its lock too, and its pages are read again when another program
// changed it (update counter, else size and modification time).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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

// How a kind lays out its tree.
enum class TxbTreeStyle {
  KeysInInterior,       // every entry is a key with its record number, interior ones too; k keys, k + 1 children
  SeparatorsWithTail,   // keys in the leaves; interior pages: k copies of the last key of each child but the last
  SeparatorsPerChild,   // keys in the leaves; interior pages: one entry per child, its last key and record number
};

inline constexpr uint32_t xbNoPage = 0xFFFFFFFFu;

// One page of a tag in memory: its entries in page order, the rightmost child of an
// interior page (the kinds that keep one), the neighbour links and the block link.
class XBobjIndexKey {
public:
  XBobjIndexKey(uint32_t address, size_t keyLength, bool leaf) : Address(address), Leaf(leaf), kl_(keyLength) {}

  int Count() const { return static_cast<int>(recs_.size()); }
  std::string_view Key(int i) const { return std::string_view(keys_).substr(static_cast<size_t>(i) * kl_, kl_); }
  int32_t RecNo(int i) const { return recs_[static_cast<size_t>(i)]; }
  uint32_t Child(int i) const { return children_[static_cast<size_t>(i)]; }
  size_t KeyLength() const { return kl_; }
  // The key is cut or filled with zero bytes to the key length.
  void Insert(int i, std::string_view key, int32_t recNo, uint32_t child);
  void Append(std::string_view key, int32_t recNo, uint32_t child) { Insert(Count(), key, recNo, child); }
  void Erase(int from, int count = 1);
  void Set(int i, std::string_view key, int32_t recNo);
  void SetChild(int i, uint32_t child) { children_[static_cast<size_t>(i)] = child; }
  void Clear();
  // Makes room for count entries in all.
  void Reserve(int count);
  // Moves entries [0, count) to the end of other.
  void MoveFront(int count, XBobjIndexKey& other);

  uint32_t Address;
  bool Leaf;
  uint32_t Tail = 0;                              // rightmost child (KeysInInterior, SeparatorsWithTail)
  uint32_t Left = xbNoPage, Right = xbNoPage;     // neighbours on the level (kinds that chain them)
  uint32_t Link = 0;                              // the block allocated before this one (kinds that keep it)
  bool Changed = false;
  bool Fresh = false;        // allocated by this update, not yet on disk
  bool BulkLayout = false;   // written by a bulk build (kinds whose leaf layout depends on it)
  size_t Bytes = 0;          // bytes taken so far while a bulk build fills the page (kinds that pack by bytes)

private:
  size_t kl_;
  std::string keys_;
  std::vector<int32_t> recs_;
  std::vector<uint32_t> children_;
};

// A search: the key (a prefix when shorter than the key length) and, optionally, the
// record number that decides among equal keys.
struct TxbSeek {
  std::string key;
  int32_t recNo = 0;
  bool withRecord = false;
};

// A position in the tree: the pages from the root down with the child index taken
// (interior) or the entry index (the last page).
struct TxbPathStep {
  uint32_t addr;
  int idx;
};
using TxbPath = std::vector<TxbPathStep>;

class XBobjIndexFile;

class XBobjIndexTag : public IxbIndexTag {
public:
  XBobjIndexTag(XBobjIndexFile& file, TxbTreeStyle style) : file_(file), style_(style) {}
  ~XBobjIndexTag() override = default;

  // IxbIndexTag
  std::string TagName() const override { return Name; }
  std::string KeyExpression() const override { return KeyExpr; }
  TxbTagMove Move(int32_t code) override;
  int32_t SeekKey(std::string_view key) override;
  std::string CurrentKey() const override;
  int32_t CurrentRecord() const override { return hasCur_ ? curRec_ : 0; }
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

  // The kind's page and header formats.
  virtual void PageRead(XBobjIndexKey& page) = 0;    // fills the page at page.Address; raises when damaged
  virtual void PageWrite(XBobjIndexKey& page) = 0;   // writes the page at page.Address
  virtual bool PageOverflows(const XBobjIndexKey& page) const = 0;
  // The leading entries that a split moves to the new page (with the one that goes up);
  // at is the entry the change went to (an inserted entry, or the child that split).
  virtual int SplitCount(const XBobjIndexKey& page, int at) const;
  // Whether a page being built can take one more entry.
  // (The kinds that pack by bytes count the entry in when it fits.)
  virtual bool PackFits(XBobjIndexKey& page, std::string_view key, int level) = 0;
  // Called before a bulk build packs its keys (the number of sorted keys).
  virtual void PackStart(size_t keys) {}
  // The byte position of a page address (for messages).
  virtual int64_t PagePos(uint32_t addr) const;
  virtual void TagLoad() = 0;    // reads the header (root and definition)
  virtual void TagStore() = 0;   // writes the header
  // A new page's address (the kinds that chain their blocks set its link).
  virtual uint32_t AllocatePage(XBobjIndexKey* page);

  // Compiles the expressions (raises naming the file when they cannot be compiled).
  void Prepare(XBO_dBHandler& table);
  // Compiles the expressions and takes the key's type ('C', 'N' or 'D') from the key
  // value of a blank record, which it returns (for the key's length).
  TxbKeyValue PrepareType(XBO_dBHandler& table);
  // Evaluates the key and the FOR condition on a record buffer.
  bool KeyFor(const uint8_t* record, std::string& key);
  // Brings the entry of record recNo in step with a written record; oldRecord is the
  // record as it was before the write (nullptr for an append). True when it changed.
  bool UpdateRecord(int32_t recNo, const uint8_t* record, const uint8_t* oldRecord);
  // Inserts or removes one entry (the tag is positioned on an inserted entry).
  bool KeyAdd(const std::string& key, int32_t recNo, bool append = false);
  bool KeyDelete(const std::string& key, int32_t recNo);
  // Adds the entry of a record (as the file holds it) when the tag has no entry for that
  // record number (under any key); true when added.
  bool AddIfMissing(int32_t recNo, const uint8_t* record);
  // Whether some entry of the tag carries the record number (a whole walk).
  bool HoldsRecord(int32_t recNo);
  // Builds the tag's pages at the file end from every record of the table; sets the root.
  void Build();
  // Makes the root an empty leaf (a new tag without a build).
  void MakeEmptyRoot();
  // Every entry in the tag's order (a whole walk).
  std::vector<TxbIndexEntry> Entries();
  // The levels of the page tree (1: the root is a leaf).
  size_t Depth();
  // Reads the header again and forgets every page.
  void Reload();
  // Forgets every page (they are read again from the file when needed).
  void DropPages();

  std::string Name = "UNK";
  std::string KeyExpr, ForExpr;
  char KeyType = 'C';
  int KeyLength = 0;
  int Decimals = 0;
  bool Unique = false;
  bool Descending = false;
  bool ReverseWalk = false;   // descending keys kept in ascending order on disk and walked backwards
  int64_t HeaderPos = 0;
  uint32_t Root = 0;
  bool HeaderChanged = false;
  bool Retired = false;       // the tag left its file; it stays empty

  // Writes the changed pages (new ones first, leaves last) and the header when changed.
  void CommitPages();
  size_t CachedPages() const { return pages_.size(); }
  static constexpr size_t PageCacheLimit = 512;
  void TrimPages();

protected:
  friend class XBobjIndexFile;
  friend class TxbTreePacker;
  // Storage order: keys descending on disk.
  bool storeDescending() const { return Descending && !ReverseWalk; }
  int cmpEntry(const XBobjIndexKey& p, int i, const TxbSeek& s) const;
  XBobjIndexKey& page(uint32_t addr);
  XBobjIndexKey& newPage(bool leaf);
  uint32_t childAt(const XBobjIndexKey& p, int i) const {
    return (style_ != TxbTreeStyle::SeparatorsPerChild && i == p.Count()) ? p.Tail : p.Child(i);
  }
  int childCount(const XBobjIndexKey& p) const {
    return p.Count() + (style_ != TxbTreeStyle::SeparatorsPerChild ? 1 : 0);
  }
  // Tree primitives in storage order.
  void descend(const TxbSeek& s, bool upper, TxbPath& path);
  bool descendEdge(TxbPath& path, bool rightmost);
  bool climbNext(TxbPath& path);
  bool climbPrev(TxbPath& path);
  bool stepNext(TxbPath& path);
  bool stepPrev(TxbPath& path);
  bool first(TxbPath& path);
  bool last(TxbPath& path);
  bool seekBound(const TxbSeek& s, bool upper, TxbPath& path);
  bool findEntry(const std::string& key, int32_t recNo, TxbPath& path);
  // Logical order (the tag's own): the storage order, reversed for ReverseWalk.
  bool lFirst(TxbPath& p) { return ReverseWalk ? last(p) : first(p); }
  bool lLast(TxbPath& p) { return ReverseWalk ? first(p) : last(p); }
  bool lNext(TxbPath& p) { return ReverseWalk ? stepPrev(p) : stepNext(p); }
  bool lPrev(TxbPath& p) { return ReverseWalk ? stepNext(p) : stepPrev(p); }
  bool lSeek(const TxbSeek& s, TxbPath& p, bool after = false);
  // Structure changes.
  void settle(TxbPath& path);
  // Splits every changed page that no longer fits (see PageOverflows).
  void settleChanged();
  void split(TxbPath& path, size_t d);
  void deleteAt(TxbPath& path);
  void fixEmpty(TxbPath& path, size_t d);
  void updateSeparators(const TxbPath& path, size_t d);
  void checkPath(const TxbPath& path, uint32_t next) const;
  void markChanged(XBobjIndexKey& p);

  XBobjIndexFile& file_;
  TxbTreeStyle style_;
  std::unique_ptr<IxbKeyEvaluator> keyEval_, forEval_;
  std::string lastSeekText_, lastSeekKey_;
  bool hasCurrent() const { return hasCur_; }
  const std::string& currentKeyBytes() const { return curKey_; }

private:
  // The position: the current entry and the path to it (valid while version_ is pathVersion_).
  bool syncPath();
  void takeCurrent(const TxbPath& path);
  void clearCurrent();
  bool belowLow(std::string_view k) const;
  bool aboveHigh(std::string_view k) const;
  bool inRange(std::string_view k) const { return !hasRange_ || (!belowLow(k) && !aboveHigh(k)); }
  bool rangeTop(TxbPath& path);
  bool rangeBottom(TxbPath& path);
  std::string_view keyAt(const TxbPath& path) { const TxbPathStep& s = path.back(); return page(s.addr).Key(s.idx); }
  int32_t recAt(const TxbPath& path) { const TxbPathStep& s = path.back(); return page(s.addr).RecNo(s.idx); }

  std::unordered_map<uint32_t, std::unique_ptr<XBobjIndexKey>> pages_;
  std::vector<uint32_t> changed_;   // pages changed since the last commit
  TxbPath path_;
  uint64_t version_ = 1, pathVersion_ = 0;
  bool hasCur_ = false;
  std::string curKey_;
  int32_t curRec_ = 0;
  bool hasRange_ = false, rangePartial_ = false;
  std::string low_, high_;
};

// The index lock and the per-operation page budget, taken around every tag operation.
class TxbIndexOp {
public:
  explicit TxbIndexOp(XBobjIndexFile& file);
  ~TxbIndexOp();
  TxbIndexOp(const TxbIndexOp&) = delete;
  TxbIndexOp& operator=(const TxbIndexOp&) = delete;

private:
  XBobjIndexFile& f_;
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
  void UpdateKeys(int32_t recNo, const uint8_t* oldRecord) override;
  bool Lock() override;
  void Unlock() override;
  void SetLockProtocol(int protocol) override { protocol_ = protocol; }
  bool Rename(const std::string& newName) override;
  void Reencrypt(const std::string& oldKey, const std::string& newKey) override;
  void BeginKeyChange() override;
  void TakeBackKeys() override;
  void EndKeyChange() override;
  void AddMissingKeys(int32_t recNo) override;

  XBobjIndexTag* TagByIndex(int i) {
    return i >= 0 && i < TagCount() ? tags_[static_cast<size_t>(i)].get() : nullptr;
  }
  XBobjIndexTag* TagByName(std::string_view name);
  // Builds every tag again from the table.
  virtual void Reindex() = 0;
  // Removes the tag of that name (without regard to case); false when none.
  virtual bool TagDelete(const std::string& name);
  // The byte range of the index lock of a protocol.
  static TxbLockSpan IndexLockSpan(int protocol);
  // True when another program changed the file since this object read or wrote it:
  // by default the file's size or modification time differ from those seen last
  // (the kinds with an update counter compare it instead).
  virtual bool ChangedExternally();
  // Whether the pages must be read again at the lock: changed, or not provably unchanged.
  virtual bool NeedsReload();

  // Page I/O through the disk file; an enciphered table's index is enciphered in
  // 512-byte pieces with the table's key.
  bool Read(int64_t pos, void* buffer, size_t length);
  void Write(int64_t pos, const void* buffer, size_t length);
  // Reads exactly length bytes at pos; a damaged file when they are not there.
  void ReadPage(int64_t pos, void* buffer, size_t length);
  // The address of a new page in the kind's units.
  virtual uint32_t PageAllocate() = 0;
  // The file end in the kind's units.
  virtual int64_t FileEndRead() = 0;
  int64_t FileSize();

  XBO_dBHandler& Table() { return table_; }
  bool ReadOnly() const { return !disk_ || !disk_->ReadWrite; }
  // Whether the headers are written in the form that every open refuses as a damaged
  // file: while a rebuild runs, and after a failure left the file neither old nor new.
  bool OpenRefused() const { return refused_; }
  // Whether this object's next lock raises "Index file … is corrupted" (until a Reindex).
  bool Damaged() const { return damaged_; }
  bool Translate() const { return translate_; }
  [[noreturn]] void corrupt() const;
  [[noreturn]] void badPage(int64_t pos) const;
  // Writes the changed pages and headers of every tag, then the kind's own header.
  void Commit();
  // Counts a page reached by one operation; a damaged file when too many are.
  void CountVisit();
  void ResetVisits() { visits_ = 0; }

protected:
  friend class TxbIndexOp;
  // Reads the headers (and the tag list) and creates or refreshes the tags.
  virtual void LoadTags() = 0;
  // Writes the few header bytes that make an open refuse the file as damaged (refused
  // set), or their valid form; the kind's header writes follow OpenRefused() as well.
  virtual void WriteOpenMark(bool refused) = 0;
  // A length the open refuses the file at (when not even the mark can be written).
  virtual int64_t RefusedLength() const = 0;
  // A Reindex: the refused form first, then body (the build and its commit), the valid
  // form last; a failure on the way leaves a file every open refuses, and this object
  // damaged. A damaged object's lock does not read the file again: the tags' definitions
  // in memory are what a Reindex builds from.
  void rebuild(const std::function<void()>& body);
  // The file is neither as it was nor as it should be: this object refuses every
  // operation, and the file every open (by its mark, or, when the disk takes no
  // write, cut to RefusedLength()).
  void markDamaged();
  // After an update that changed a tag: the kinds' update counters.
  virtual void AfterChange() {}
  // The kind's own header, written by Commit when fileHeaderChanged_ is set.
  virtual void StoreFileHeader() {}
  // Every tag with pages (the kinds with a tag directory add it).
  virtual std::vector<XBobjIndexTag*> allTags();
  // Opens the file (created empty when create is set).
  void openDisk(bool create);
  // Reads the headers and roots under the index lock; an open that may write then
  // gives the table's last record its keys where a tag lacks them.
  void loadLocked();
  // Makes a new file's first pages and headers under the lock, then writes them.
  void createLocked(const std::function<void()>& make);
  // Applies change to every tag and commits what it changed; a failure leaves the pages
  // to be read again from the file.
  void changeTags(const std::function<bool(XBobjIndexTag&)>& change);
  // Reads the file again after another program changed it.
  void reload();
  void dropPages();
  void noteFileState();
  // Cuts the file to size when this open may; false otherwise.
  bool truncate(int64_t size);
  // Sets the table's production-index flag when this file is the table's production index.
  void markProduction();
  // Keeps a tag that left the file (the handler may hold it); it stays empty.
  void retire(std::unique_ptr<XBobjIndexTag> tag);

  // Writes through the disk file, keeping what is overwritten while a key change is under way.
  void diskWrite(int64_t pos, const void* buffer, int64_t length);
  struct TxbUndoPiece {
    int64_t pos;
    std::vector<uint8_t> bytes;
  };
  // Whether the file holds again what the pieces of a take-back kept (and its old size).
  bool holdsPieces(const std::vector<TxbUndoPiece>& undo);

  XBO_dBHandler& table_;
  std::string fileName_;
  std::unique_ptr<XBO_DiskFile> disk_;
  std::vector<std::unique_ptr<XBobjIndexTag>> tags_;
  std::vector<std::unique_ptr<XBobjIndexTag>> retired_;
  std::string key_;            // the cipher key of the index pages (empty: plain)
  bool translate_ = true;      // the table's OEM translation
  int64_t nextFree_ = -1;      // in the kind's units; -1 = read from the file end
  bool fileHeaderChanged_ = false;
  bool written_ = false;
  int64_t seenSize_ = -1, seenTime_ = -1, notedAt_ = -1;
  int64_t knownSize_ = -1;     // the file size while the lock is held; -1: ask the file
  int protocol_ = Default;
  int locks_ = 0;
  bool lockHeld_ = false;
  bool stale_ = false;         // pages and headers must be read again
  bool creating_ = false;      // the file is being made: nothing on disk to compare yet
  int ops_ = 0;
  int64_t visits_ = 0;
  bool refused_ = false;             // headers are written in the refused form
  bool damaged_ = false;             // every lock raises "corrupted" (a rebuild mends it)
  bool markWritten_ = false;         // the refused form is on disk
  bool rebuilding_ = false;
  bool undoOn_ = false;              // a record's key change is under way
  int64_t undoSize_ = -1;            // the file size when it began (-1: not yet asked)
  std::vector<TxbUndoPiece> undo_;   // what its writes overwrote, in write order
};

// The engine's collation table for character keys (none unless an application sets it).
const uint8_t*& xbCollationTable();

// The built-in index kinds by extension (".NTX", ".NDX", ".CDX", ...).
void xbRegisterBuiltinIndexes(std::map<std::string, TxbIndexFactory>& classes);

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
// The zero-terminated text at p (at most max bytes).
std::string xbCString(const uint8_t* p, size_t max);

}  // namespace xb
