#pragma once
// The table handler: navigation over a DBF table in index or physical order with
// deleted and filtered records skipped, read-ahead, index slots and the filter set.
// Index files and filter expressions are reached through the interfaces below; the
// index and expression units register their classes.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xbase/xb_dbf.h"
#include "xbase/xb_tool.h"

namespace xb {

class XBO_dBHandler;

// Result of a tag move: the record number the tag now stands on and its own ends.
struct TxbTagMove {
  int32_t recNo = 0;
  bool eof = false;
  bool bof = false;
};

// One index tag (an order of the table's records by a key expression).
class IxbIndexTag {
public:
  virtual ~IxbIndexTag() = default;
  virtual std::string TagName() const = 0;
  virtual std::string KeyExpression() const = 0;
  // code -1 next, -2 prior, -3 top, -4 bottom, -5 current.
  virtual TxbTagMove Move(int32_t code) = 0;
  // Positions on the first key >= key; the record number, below 1 when past the last key.
  virtual int32_t SeekKey(std::string_view key) = 0;
  virtual std::string CurrentKey() const = 0;
  virtual int32_t CurrentRecord() const = 0;
  virtual bool AtEnd() const = 0;
  virtual bool SetRange(std::string_view low, std::string_view high, bool partial) = 0;
  virtual void ClearRange() = 0;
  virtual bool HasRange() const = 0;
  virtual void Activate() {}
  virtual void Release() {}
  // Positions the tag on the entry of record recNo; false when the tag has none.
  virtual bool SyncTo(int32_t recNo) { return false; }
};

// One index file holding one or more tags.
class IxbIndexFile {
public:
  virtual ~IxbIndexFile() = default;
  virtual std::string FileName() const = 0;
  virtual int TagCount() const = 0;
  virtual IxbIndexTag* Tag(int i) = 0;   // 0-based
  virtual void Flush() {}
  // Brings the keys of record recNo (the table's current record, just written) up to
  // date; oldRecord is the record as it was before the write, nullptr for an append.
  // The changed index pages are on disk when it returns; a failure raises.
  virtual void UpdateKeys(int32_t recNo, const uint8_t* oldRecord) {}
  // The key upkeep of one record write as a whole: from BeginKeyChange on the file
  // keeps what its writes overwrite; TakeBackKeys puts the file back as it was at
  // BeginKeyChange (when the upkeep of this or another file failed), EndKeyChange
  // forgets it.
  virtual void BeginKeyChange() {}
  virtual void TakeBackKeys() {}
  virtual void EndKeyChange() {}
  // Gives record recNo, as the table file holds it, its keys in every tag that has no
  // entry for it (a writer killed between its record and its keys); a failure raises
  // and leaves the file as it was.
  virtual void AddMissingKeys(int32_t recNo) {}
  virtual bool Lock() { return true; }
  virtual void Unlock() {}
  virtual void SetLockProtocol(int protocol) {}
  virtual bool Rename(const std::string& newName) { return true; }
  // Enciphers the whole file again: deciphered with oldKey, enciphered with newKey
  // (an empty key means plain), for a table whose password changes.
  virtual void Reencrypt(const std::string& oldKey, const std::string& newKey) {}
};

// A compiled filter expression, evaluated on the table's current record.
class IxbFilterExpr {
public:
  virtual ~IxbFilterExpr() = default;
  virtual TxbVariant Evaluate() = 0;
};

// Makes an index object for an existing file; nullptr when the file is not a valid index.
using TxbIndexFactory = std::function<std::unique_ptr<IxbIndexFile>(XBO_dBHandler&, const std::string& fileName)>;
// Compiles a filter expression for a table.
using TxbFilterCompiler = std::function<std::unique_ptr<IxbFilterExpr>(XBO_dBHandler&, const std::string& text,
                                                                       bool caseInsensitive, bool partial)>;

class XBO_dBHandler : public XBO_dBaseFld {
public:
  static constexpr int MaxIndexFiles = 63;
  static constexpr int64_t ReadAheadBytes = 32768;

  XBO_dBHandler(const std::string& fileName, bool readWrite, bool shared, const std::string& password);
  ~XBO_dBHandler() override;

  // Registries of the index classes (by extension, without regard to case, e.g. ".NTX")
  // and of the expression compiler.
  static void RegisterIndexClass(const std::string& ext, TxbIndexFactory factory);
  static void UnregisterIndexClass(const std::string& ext);
  static TxbFilterCompiler& FilterCompiler();

  int64_t Read(int64_t pos, void* buffer, int64_t count) override;
  void Write(int64_t pos, const void* buffer, int64_t count) override;
  bool Rename(const std::string& newName) override;
  void Append() override;
  void NotifyEvent(int code, int32_t value) override;
  void GoTo(int32_t code) override;
  void PutRecord(int32_t n) override;
  void SetLockProtocol(int protocol) override;
  bool IndexLocking() override { return IndexFiles[1] != nullptr; }
  void StatusUpdate(int32_t code, int32_t value) override;

  bool FindKey(std::string_view key);
  int32_t FindKeyInTag(const std::string& tagName, std::string_view key);
  void Skip(int32_t n);
  virtual bool TestFilter();
  bool LockIndexes();
  void UnlockIndexes();
  // Enciphers the table (records, memo texts, descriptors) and its index files with
  // a new password ("" for none). Needs the table open unshared: a shared table
  // raises "SetPassword requires full access to file %s". The memo texts are written
  // first, in new blocks; then the records, the descriptors and the header. A failing
  // write takes back what was written and leaves the table under the old password;
  // only when that too fails do the records rewritten so far keep the new key.
  virtual void SetPassword(const std::string& newPassword);

  int OpenIndexes(const std::string& list, const std::string& tagName);
  // 0 when opened, -1 when already open.
  int OpenIndex(const std::string& name);
  void CloseIndexes();
  void SelectTag(const std::string& tagName, bool keepPosition);
  int TagCount();
  IxbIndexTag* TagByNumber(int n);   // 1-based over all open files
  IxbIndexFile* IndexFile(int slot) { return (slot >= 1 && slot <= MaxIndexFiles) ? IndexFiles[slot].get() : nullptr; }

  // Searches the records for the values (CP1251 texts, one per field of the
  // ';'-separated list, or one for all) from the top (startMode 0) or from the
  // record after the current one (-1). Text fields compare without trailing
  // blanks, as prefixes when partial and without regard to case when asked; other
  // fields compare as stored. The table stays on the record found.
  bool SearchFields(const std::vector<std::string>& values, std::string_view fieldList, int startMode, bool partial,
                    bool caseInsensitive);

  void SetFilter(const std::string& expression, bool caseInsensitive, bool partial);
  void EnableFilter(bool on);
  void RefreshFilter();
  bool SetRange(std::string_view low, std::string_view high, bool partial);
  void ClearRange();
  void SetReadAhead(bool on);
  // Forgets the records read ahead: the next read goes to the file.
  void DropReadAhead();

  // The dataset's hooks: progress reports and an extra record test before the filter set.
  std::function<void(int32_t, int32_t, int32_t)> StatusHook;
  std::function<bool()> RecordFilterHook;

  std::array<std::unique_ptr<IxbIndexFile>, MaxIndexFiles + 1> IndexFiles;
  IxbIndexTag* MasterTag = nullptr;
  std::string MasterTagName;
  bool UseDeleted = false;
  bool ExactMatch = false;
  bool NearSearch = false;
  bool Found = false;
  bool PositionDiffers = false;
  bool SeekFound = false;
  std::unique_ptr<IxbFilterExpr> FilterExpr;
  std::string FilterText;
  bool FilterCaseInsensitive = false, FilterPartial = true;
  TxbHugeSet FilterSet;
  bool FilterEnabled = false;
  bool FilterActive = false;
  bool ReadAhead = false;
  bool ReadAheadAllowed = true;

private:
  const uint8_t* PriorRecord(int32_t n) override { return preImageRec_ == n ? preImage_.data() : nullptr; }
  // Every index file's keys of the record just written; when one file fails, every
  // file is put back as it was and the failure raised.
  void updateAllKeys(const uint8_t* oldRecord);
  bool acceptable();
  // A record number the master tag gave; a record the table does not have (after a
  // look at the table's present size) raises naming the damaged index file.
  int32_t masterRecord(int32_t recNo);
  // A tag that can seek the values of the fields (see SearchFields), or none.
  IxbIndexTag* searchTag(const std::vector<int>& fields, std::string_view fieldList);
  int holdIndexLocks_ = 0;   // FindKey holds the index locks across its moves
  void buildFilterSet();
  bool evalFilter();
  // The record as it was on disk before a rewrite, for the index upkeep.
  std::vector<uint8_t> preImage_;
  int32_t preImageRec_ = 0;
  std::vector<uint8_t> raBuf_;
  int64_t raStart_ = -1;
  int64_t raLen_ = 0;
};

}  // namespace xb
