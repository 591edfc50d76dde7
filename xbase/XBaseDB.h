#pragma once
// TXBaseDataSet: one DBF table presented as a dataset. Open it with DatabaseName
// (a folder, an alias of "xbase.cfg" or "Default Directory") and TableName, walk it
// with First/Next/Eof, read fields by name with the platform's conversions.
//
//   TXBaseDataSet ds;
//   ds.SetDatabaseName("/data/fund/");
//   ds.SetTableName("PEOPLE.DBF");
//   ds.SetReadOnly(true);                 // TranslateASCII is on by default
//   ds.Open();
//   for (ds.First(); !ds.Eof(); ds.Next()) {
//     std::string surname = ds.FieldByName("FIRSTNAME").AsString();   // CP1251
//     platform::TDateTime born = ds.FieldByName("DATEBDAY").AsDateTime();
//   }
//   ds.Close();
//
// Text is CP1251 with TranslateASCII on (the file holds CP866), the raw bytes otherwise.
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dates.h"
#include "platform/exception.h"
#include "platform/params.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_disk.h"

namespace xb {

enum class TxbFieldType { ftString, ftSmallint, ftInteger, ftLargeint, ftFloat, ftCurrency, ftBoolean, ftDate,
                          ftDateTime, ftMemo, ftBlob };
// Field type of integral N/F fields of 10 or more digits.
enum class TxbIntFields { asInteger, asLargeInt, asFloat };
// dsSetKey: fields are written into the search key of GotoKey; dsCalcFields: OnCalcFields runs.
enum class TxbDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields };
// What an error event asks for: re-raise, end the operation quietly, or try again.
enum TDataAction { daFail, daAbort, daRetry };
// A bookmark: the physical record number as decimal text right-aligned in 10
// characters with leading blanks, then a zero byte (11 bytes). Byte-wise order is
// record order. Empty means "no bookmark".
using TBookmark = std::string;

struct TxbFieldDef {
  std::string Name;
  TxbFieldType DataType;
  int Size;          // text length for ftString, else 0
  int DbfFieldNo;    // 1-based number in the table; 0 for a calculated field
  char DbfType;      // 0 for a calculated field
};

// An index definition rebuilt from an open tag: Fields is the key expression when it
// calls a function (Expression set), else its field names separated by ';'.
struct TxbIndexDef {
  std::string Name;
  std::string Fields;
  bool Expression = false;   // ixExpression
};

// The value of a calculated field for one record.
struct TxbCalcValue {
  bool has = false;
  std::string text;     // ftString
  double number = 0;    // numbers, Booleans (0/1), dates and times (TDateTime)
};

class TXBaseDataSet;

// A field name folded to ASCII upper case in 16 zero-padded bytes.
// Inline, so that the key of a name written in the program is computed by the compiler.
struct TxbNameKey {
  uint64_t a = 0, b = 0, len = 0;
  [[gnu::always_inline]] static TxbNameKey Of(std::string_view name) {
    TxbNameKey k;
    size_t n = name.size();
    if (n > 16) {
      k.len = UINT64_MAX;   // longer than any field name
      return k;
    }
    const char* p = name.data();
    // Fixed-size loads that stay inside the name; overlapping parts are shifted out.
    if (n >= 8) {
      uint64_t tail;
      std::memcpy(&k.a, p, 8);
      std::memcpy(&tail, p + n - 8, 8);
      k.b = n == 8 ? 0 : tail >> (8 * (16 - n));
    } else if (n >= 4) {
      uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
      k.a = lo | ((static_cast<uint64_t>(hi) >> (8 * (8 - n))) << 32);
    } else {
      for (size_t i = 0; i < n; ++i) k.a |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    k.a = upperWord(k.a);
    k.b = upperWord(k.b);
    k.len = n;
    return k;
  }
  // ASCII upper case of the eight bytes of a word (bytes >= 0x80 stay).
  [[gnu::always_inline]] static uint64_t upperWord(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
    uint64_t heptets = w & ~high;
    uint64_t geA = heptets + (0x80 - 'a') * ones;
    uint64_t gtZ = heptets + (0x80 - 'z' - 1) * ones;
    uint64_t lower = (geA ^ gtZ) & ~w & high;
    return w ^ (lower >> 2);
  }
  [[gnu::always_inline]] uint64_t Hash() const { return (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ len; }
  [[gnu::always_inline]] bool operator==(const TxbNameKey& o) const { return a == o.a && b == o.b && len == o.len; }
};

// A field of an open dataset; valid until the dataset closes.
class TxbField {
public:
  TxbField(TXBaseDataSet* ds, TxbFieldDef def, uint32_t offset, uint32_t length)
      : ds_(ds), def_(std::move(def)), offset_(offset), length_(length) {}
  const std::string& FieldName() const { return def_.Name; }
  TxbFieldType DataType() const { return def_.DataType; }
  int Size() const { return def_.Size; }
  const TxbFieldDef& Def() const { return def_; }
  bool Calculated() const { return calcIndex_ >= 0; }

  bool IsNull() const;
  // Text as the platform shows it: strings right-trimmed (CP1251 with TranslateASCII),
  // numbers in decimal, dates "dd.mm.yyyy" ("" when null), Booleans "True"/"False".
  std::string AsString() const;
  std::string AsUtf8() const;
  // Numbers round half to even and are range-checked; an empty or non-numeric text raises EConvertError.
  int32_t AsInteger() const;
  int64_t AsLargeInt() const;
  double AsFloat() const;
  // Days since 30.12.1899 with the time as fraction; a null date gives 0 (30.12.1899).
  platform::TDateTime AsDateTime() const;
  bool AsBoolean() const;

  // Writes (edit or insert state only).
  void SetAsString(std::string_view text);
  void SetAsInteger(int64_t v);
  void SetAsFloat(double v);
  void SetAsDateTime(platform::TDateTime v);
  void SetAsBoolean(bool v);
  void Clear();

private:
  friend class THCBlobStream;
  friend class TXBaseDataSet;
  [[noreturn]] void badAccess(const char* type) const;
  // The calculated value read in the state's record, or none.
  const TxbCalcValue* calcValue() const;
  TxbCalcValue& calcSlot();
  TXBaseDataSet* ds_;
  TxbFieldDef def_;
  uint32_t offset_, length_;   // inside the record
  int calcIndex_ = -1;         // slot of a calculated field
};

// Stream over the bytes of a memo or blob field.
class THCBlobStream {
public:
  enum Mode { bmRead, bmWrite, bmReadWrite };
  THCBlobStream(TxbField& field, Mode mode);
  // A modified text is handed to the dataset, which writes it to the memo file at
  // Post (so a failed write raises there); Cancel drops it.
  ~THCBlobStream();
  THCBlobStream(const THCBlobStream&) = delete;
  THCBlobStream& operator=(const THCBlobStream&) = delete;
  // At most count bytes, never past the data.
  int64_t Read(void* buffer, int64_t count);
  // At the position; a gap behind the old data is filled with zero bytes.
  int64_t Write(const void* buffer, int64_t count);
  // origin 0 from the start, 1 from the position, 2 from the size.
  int64_t Seek(int64_t offset, int origin);
  void Clear();
  int64_t Size() const { return static_cast<int64_t>(data_.size()); }
  int64_t Position() const { return pos_; }

private:
  void LoadMemo();
  bool active_ = false;   // bound to a record
  TxbField& field_;
  TXBaseDataSet& ds_;
  std::string data_;
  int64_t pos_ = 0;
  bool modified_ = false;
};

class TXBaseDataSet {
public:
  TXBaseDataSet();
  ~TXBaseDataSet();
  TXBaseDataSet(const TXBaseDataSet&) = delete;
  TXBaseDataSet& operator=(const TXBaseDataSet&) = delete;

  // Properties.
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& value);
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& value);            // closed only; a new name empties IndexFiles
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  bool TranslateASCII() const { return translate_; }
  void SetTranslateASCII(bool value);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  TxbLokProtocol LockProtocol() const { return lockProtocol_; }
  void SetLockProtocol(TxbLokProtocol value);
  bool UseDeleted() const { return useDeleted_; }
  void SetUseDeleted(bool value);
  bool ExactCount() const { return exactCount_; }
  void SetExactCount(bool value) { exactCount_ = value; }
  bool AutoFlush() const { return autoFlush_; }
  void SetAutoFlush(bool value);
  int32_t UserID() const { return userID_; }
  void SetUserID(int32_t value);
  TxbIntFields LargeIntegerAs() const { return largeIntegerAs_; }
  void SetLargeIntegerAs(TxbIntFields value);           // closed only
  const std::string& EncryptionKey() const { return encryptionKey_; }
  void SetEncryptionKey(const std::string& value);     // closed only
  // Switches the filters on: the OnFilterRecord event and the Filter expression
  // (compiled by the expression language registered with the handler).
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool value);
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& value);
  // foCaseInsensitive and foNoPartialCompare.
  bool FilterCaseInsensitive() const { return filterCaseInsensitive_; }
  bool FilterNoPartialCompare() const { return filterNoPartial_; }
  void SetFilterOptions(bool caseInsensitive, bool noPartialCompare);

  // Index files (names without a folder are looked for in the table directory, without
  // an extension as ".ndx") and the current tag; set open or closed.
  const std::vector<std::string>& IndexFiles() const { return indexFiles_; }
  void SetIndexFiles(const std::vector<std::string>& files);
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);
  // Tags over all open index files, 1-based.
  int GetTagCount();
  std::string GetTagName(int n);
  std::string GetTagExpression(int n);
  // Goes to the first record of the current tag whose key is (or, unless the
  // table asks for exact matches, starts with) key (CP1251); false and Eof when none.
  bool FindKey(std::string_view key);
  // Adds one index file to IndexFiles and opens it at once when the table is open
  // ("Index file %s already open" when it is open already); the tag IndexName
  // is selected again on the same record.
  void AddIndexFile(const std::string& name);
  // The definitions of the open tags (rebuilt when index files open).
  const std::vector<TxbIndexDef>& IndexDefs() const { return indexDefs_; }
  void UpdateIndexDefs();
  // True when a tag is current and its key expression uses the field.
  bool GetIsIndexField(const TxbField& field);

  // The set-key state: SetKey blanks a search record whose index fields are then
  // written; GotoKey builds the current tag's key from it and goes there like FindKey.
  // Post (or Cancel) in that state returns to browse.
  void SetKey();
  bool GotoKey();

  // Master-detail: the current record of the master gives the key (MasterFields,
  // ';'-separated master field names, put into the fields of the current tag's key)
  // that limits this dataset to the records of that key. A link that would make a
  // circle raises "Circular datalinks are not allowed". nullptr unlinks.
  TXBaseDataSet* MasterSource() const { return master_; }
  void SetMasterSource(TXBaseDataSet* master);
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(const std::string& fields);

  // Text between the OEM and the ANSI code page as the fields translate it
  // (unchanged with TranslateASCII off).
  std::string Translate(std::string_view src, bool toOem) const;

  // The folder the table is looked for in, with a trailing '/'.
  std::string GetTableDirectory() const;

  void Open();
  void Close();   // idempotent
  // Reads the current record again from the file and evaluates the Filter again.
  void Refresh();
  // True when the records are in physical order: no tag current and not filtered.
  bool IsSequenced() const;
  // Enciphers the open table, its memo texts and index files with a new password
  // ("" for none) and takes it as EncryptionKey; the table must be open Exclusive.
  void SetPassword(const std::string& newPassword);
  // A field was written since the last Edit or Append.
  bool Modified() const { return modified_; }
  bool Active() const { return table_ != nullptr; }
  TxbDataSetState State() const { return state_; }

  void First();
  void Next();
  void Prior();
  void Last();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  bool IsEmpty() const { return !hasRecord_; }
  // The table's record count (deleted records included) unless ExactCount.
  int32_t RecordCount();
  // Physical number of the current record, 0 when none.
  int32_t RecNo() const;
  void SetRecNo(int32_t n);

  const std::vector<TxbFieldDef>& FieldDefs() const { return fieldDefs_; }
  // Calculated fields (closed only): they follow the data fields, hold one value per
  // record and are set by OnCalcFields (run in the dsCalcFields state whenever a record
  // is read, and after each field write while editing when AutoCalcFields is set).
  // Types: ftString (with size), the numbers, ftBoolean, ftDate and ftDateTime.
  void AddCalcField(const std::string& name, TxbFieldType type, int size = 0);
  void ClearCalcFields();
  bool AutoCalcFields() const { return autoCalcFields_; }
  void SetAutoCalcFields(bool value) { autoCalcFields_ = value; }
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TxbField& Fields(int index);
  // Without regard to case; EDatabaseError "Field 'X' not found".
  // Inlined at the caller: for a name written in the program the lookup is one hash probe.
  [[gnu::always_inline]] TxbField& FieldByName(std::string_view name) {
    TxbField* f = FindField(name);
    if (!f) fieldNotFound(name);
    return *f;
  }
  // A name written in the program: its length is known to the compiler as well.
  [[gnu::always_inline]] TxbField& FieldByName(const char* name) {
    return FieldByName(std::string_view(name, __builtin_strlen(name)));
  }
  [[gnu::always_inline]] TxbField* FindField(const char* name) {
    return FindField(std::string_view(name, __builtin_strlen(name)));
  }
  [[gnu::always_inline]] TxbField* FindField(std::string_view name) {
    return lookupKey(TxbNameKey::Of(name));
  }

  // Goes to the first record whose key fields (';'-separated) hold the values
  // (CP1251 texts); stays where it was when none does.
  bool Locate(std::string_view keyFields, const std::vector<std::string>& values, bool partialKey = false,
              bool caseInsensitive = false);
  // The texts of the result fields of the first record that matches exactly;
  // nullopt when none does. The cursor does not move.
  std::optional<std::vector<std::string>> Lookup(std::string_view keyFields, const std::vector<std::string>& values,
                                                 std::string_view resultFields);

  void Delete();   // read-only: EDatabaseError
  void Recall();
  void Edit();
  void Append();
  void Post();
  void Cancel();

  // Bookmarks. GetBookmark is empty when there is no current record (closed, empty,
  // inserting). GotoBookmark ignores an empty bookmark, needs the browse state, and
  // raises "Bookmark is invalid for table <TableName>" for a text that is no record
  // number from 1 up (a number past the table's end gives the table's error).
  TBookmark GetBookmark() const;
  void GotoBookmark(const TBookmark& bookmark);
  // True for record numbers 1 .. the header's record count (dataset must be open).
  bool BookmarkValid(const TBookmark& bookmark) const;
  // Empty bookmarks: both 0, only a -1, only b 1; otherwise the sign of a byte-wise compare.
  static int CompareBookmarks(const TBookmark& a, const TBookmark& b);

  std::function<void(int32_t, int32_t, int32_t)> OnStatus;
  std::function<void(TXBaseDataSet&, bool&)> OnFilterRecord;

  // Dataset events, in the order datasets fire them:
  //   Open    BeforeOpen, AfterOpen, AfterScroll (not on an empty table)
  //   Close   BeforeClose, AfterClose (the destructor closes without events)
  //   First, Last, Next, Prior, SetRecNo, GotoBookmark, Locate (found)
  //           BeforeScroll, AfterScroll (Next at Eof and Prior at Bof fire nothing)
  //   Append  BeforeInsert, BeforeScroll, OnNewRecord, AfterInsert, AfterScroll
  //   Edit    BeforeEdit, AfterEdit (on an empty table Edit appends)
  //   Post    BeforePost, AfterPost
  //   Cancel  BeforeCancel, [BeforeScroll], AfterCancel, [AfterScroll] (brackets: when inserting)
  //   Delete  BeforeDelete, BeforeScroll, AfterDelete, AfterScroll (inserting: Cancel)
  // Every move (First, Last, Next, Prior, SetRecNo, GotoBookmark, Locate, FindKey,
  // GotoKey, index, filter and master changes) of a dataset in edit or insert state
  // first posts a modified record (BeforePost, AfterPost) or cancels an unmodified one;
  // a post that fails raises and the cursor stays where it was.
  // An exception from a Before* handler (or OnNewRecord) ends the operation and propagates.
  // OnEditError, OnPostError and OnDeleteError receive a program error of the record
  // operation; daFail (the default) re-raises it, daAbort ends the operation without an
  // error and without its After* events, daRetry runs it again, at most
  // MaxErrorRetries times in a row, after which the error is re-raised.
  // OnCalcFields runs only when the dataset has calculated fields.
  using TDataSetNotifyEvent = std::function<void(TXBaseDataSet&)>;
  using TDataSetErrorEvent = std::function<void(TXBaseDataSet&, const platform::Exception&, TDataAction&)>;
  static constexpr int MaxErrorRetries = 100;
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
      AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll,
      AfterScroll, OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;

  // The table object while open.
  XBO_dBHandler* Table() { return table_.get(); }

  // Process-wide alias list (name=directory), filled from section Alias of "xbase.cfg".
  static platform::TParams& AliasList();
  static void ReloadAliasList();

private:
  friend class TxbField;
  friend class THCBlobStream;
  void fire(const TDataSetNotifyEvent& event) { if (event) event(*this); }
  // AfterScroll, then the details follow the new record.
  void scrolled();
  // Posts or cancels an edit before a move; false when the post ended quietly.
  bool checkBrowseMode();
  // The record a field read sees in the present state; nullptr when none.
  uint8_t* readBuffer() {
    if (sideRecord_) return sideRecord_;
    switch (state_) {
      case TxbDataSetState::dsBrowse: return hasRecord_ ? active_.data() : nullptr;
      case TxbDataSetState::dsEdit:
      case TxbDataSetState::dsInsert: return active_.data();
      default: return nullptr;
    }
  }
  // The record a data-field write goes to (raises outside the writing states).
  uint8_t* writeBuffer(const TxbField& field);
  void fieldWritten(const TxbField& field);
  void calculate(uint8_t* record, std::vector<TxbCalcValue>& values);
  // Post's writes: the pending memo texts, then the record; a failure takes back the
  // memo file and the record's block numbers, and the texts stay pending.
  void writeRecord();
  struct RecordLock;
  // Master-detail.
  std::string getMasterKey();
  void masterChanged();
  void masterDisabled();
  void notifyDetails();
  void applyMasterRange();
  std::string keyFromRecord(const uint8_t* record);
  bool runChecked(const std::function<void()>& operation, const TDataSetErrorEvent& onError);
  void closeCursor();
  void firstRecord();
  void lastRecord();
  int32_t bookmarkRecNo(const TBookmark& bookmark) const;   // 0 when it is no record number
  void checkInactive() const;
  void checkActive() const {
    if (!table_) raiseClosed();
  }
  [[noreturn]] static void raiseClosed();
  void checkWritable() const;
  void syncTable();
  bool takeRecord();   // copies the table's record when the move found one
  void buildFields();

  void openIndexFiles();
  std::string indexPath(const std::string& entry, const char* ext) const;
  void openOneIndex(const std::string& full);
  std::vector<TxbIndexDef> indexDefs_;
  std::vector<std::string> indexFiles_;
  std::string indexName_;
  std::string databaseName_, tableName_, encryptionKey_, filter_;
  bool filterCaseInsensitive_ = false, filterNoPartial_ = false;
  void applyFilter();
  bool readOnly_ = false, translate_ = true, exclusive_ = false, useDeleted_ = false, exactCount_ = false,
       autoFlush_ = false, filtered_ = false;
  TxbLokProtocol lockProtocol_ = Default;
  int32_t userID_ = 0;
  TxbIntFields largeIntegerAs_ = TxbIntFields::asLargeInt;

  std::unique_ptr<XBO_dBHandler> table_;
  std::vector<TxbFieldDef> fieldDefs_;
  std::vector<std::unique_ptr<TxbField>> fields_;
  // Field lookup by name: open addressing over ASCII-folded names, the field beside its key.
  struct TxbNameSlot {
    TxbNameKey key;
    TxbField* field = nullptr;   // none: an empty slot
  };
  std::vector<TxbNameSlot> nameSlots_;
  std::vector<std::string> upperNames_;
  [[gnu::always_inline]] TxbField* lookupKey(const TxbNameKey& k) const {
    if (nameSlots_.empty() || k.len == UINT64_MAX) return nullptr;
    size_t mask = nameSlots_.size() - 1;
    for (size_t slot = static_cast<size_t>(k.Hash() >> nameShift_);; slot = (slot + 1) & mask) {
      const TxbNameSlot& e = nameSlots_[slot];
      if (!e.field || e.key == k) return e.field;
    }
  }
  [[noreturn]] static void fieldNotFound(std::string_view name);
  int nameShift_ = 58;
  static constexpr size_t kRecordSlack = 8;
  std::vector<uint8_t> active_;
  int32_t recNo_ = 0;
  bool hasRecord_ = false;
  bool eof_ = true, bof_ = true;
  const uint8_t* oemToAnsi_ = nullptr;
  bool asciiKept_ = false;   // the table leaves bytes below 0x80 as they are
  bool lettersShifted_ = false;   // and moves the CP866 letters as oemLettersShifted does
  bool editLock_ = false;
  bool modified_ = false;
  TxbDataSetState state_ = TxbDataSetState::dsInactive;
  // A field read outside the active record: the filter's candidate, the record of
  // OnCalcFields or of Lookup (calc values with it, none in the filter).
  uint8_t* sideRecord_ = nullptr;
  std::vector<TxbCalcValue>* sideCalc_ = nullptr;
  std::vector<TxbFieldDef> calcDefs_;
  std::vector<TxbCalcValue> calcValues_;
  bool autoCalcFields_ = true;
  std::vector<uint8_t> keyBuffer_;
  // Memo texts written through blob streams (file bytes), by field number, until Post.
  std::map<int, std::string> pendingBlobs_;
  TXBaseDataSet* master_ = nullptr;
  std::vector<TXBaseDataSet*> details_;
  std::string masterFields_;
  bool masterRange_ = false;
};

}  // namespace xb
