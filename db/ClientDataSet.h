#pragma once
// TClientDataSet: an in-memory dataset with typed fields, indexes kept current
// on every change, ranges and key search on the active index, a cursor, and a
// change log that a provider applies to the database.
//
// Cursor rules:
//  - First/Next walk the active index (insertion order when none is set),
//    inside the range when one is set. After Next past the last row Eof() is
//    true and the cursor stays on that row.
//  - Delete removes the current row and moves to the next row of the walk, or
//    sets Eof() when there is none.
//  - FindKey searches the active index within the range for the first row whose
//    leading key fields equal the values given; found: the cursor moves there;
//    not found: the cursor stays.
//  - A range is [low, high] compared field by field in lexicographic order;
//    keys shorter than the index compare only their leading fields.
//  - Navigation, index and range changes post a pending Edit/Append first.
// Keys: nulls sort first and equal each other; empty text is null; text
// compares bytewise (ASCII letters folded with the case-insensitive option);
// ties keep insertion order. Key values are converted to the index fields'
// types ("15.01.1980" for a date, "4" for an integer).
// Errors of use (closed dataset, missing field or index, not in edit mode)
// raise EDatabaseError; conversions raise platform::EConvertError.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/cds_storage.h"
#include "db/cds_value.h"

namespace cds {

class TClientDataSet;
class TDataSetProvider;
class TPacketBudget;

struct TFieldDef {
  std::string Name;
  FType DataType = FType::Str;
  int Size = 0;        // text width (bytes) where known
  int Scale = 0;       // decimals of Dec fields
  bool Required = false;
  bool ReadOnly = false;
  std::string Relation;  // table and column the field comes from (providers)
  std::string Column;
};

enum TIndexOption : unsigned { ixNone = 0, ixCaseInsensitive = 1 };

struct TIndexDef {
  std::string Name;
  std::string Fields;  // "A;B;C"
  unsigned Options = ixNone;
};

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };
enum class TUpdateKind { ukModify = 0, ukInsert = 1, ukDelete = 2 };
enum class TReconcileAction { raSkip, raAbort, raMerge, raCorrect, raCancel, raRefresh };
enum class TDataPacketFormat { dfBinary, dfXML };

// A row that failed to apply. Context is the statement or the key values,
// OriginalClassName and message those of the error the database raised.
class EReconcileError : public platform::Exception {
public:
  EReconcileError(std::string context, std::string originalClassName, const std::string& message)
      : platform::Exception(message), context_(std::move(context)), original_(std::move(originalClassName)) {}
  const char* className() const noexcept override { return "EReconcileError"; }
  const std::string& Context() const { return context_; }
  const std::string& OriginalClassName() const { return original_; }

private:
  std::string context_, original_;
};

using TReconcileErrorEvent =
    std::function<void(TClientDataSet& dataSet, const EReconcileError& e, TUpdateKind kind, TReconcileAction& action)>;

// One field of a dataset; reads and writes the current record.
class TField {
public:
  const std::string& FieldName() const;
  FType DataType() const;
  int Size() const;
  int Index() const { return col_; }
  const TFieldDef& Def() const;

  bool IsNull() const;
  int32_t AsInteger() const;
  int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  std::string AsString() const;
  double AsDateTime() const;
  Value AsValue() const;

  // Setters need Edit or Append state; the value is converted to the field's type.
  void SetAsInteger(int32_t v);
  void SetAsLargeInt(int64_t v);
  void SetAsFloat(double v);
  void SetAsBoolean(bool v);
  void SetAsString(std::string_view v);   // "" makes the field null
  void SetAsDateTime(double v);
  void SetValue(const Value& v);
  void Clear();
  void Assign(const TField& src) { SetValue(src.AsValue()); }

private:
  friend class TClientDataSet;
  TField(TClientDataSet* ds, int col) : ds_(ds), col_(col) {}
  TClientDataSet* ds_;
  int col_;
};

class TClientDataSet {
public:
  TClientDataSet();
  ~TClientDataSet();
  TClientDataSet(const TClientDataSet&) = delete;
  TClientDataSet& operator=(const TClientDataSet&) = delete;

  // ---- structure and opening
  // Field definitions of a dataset made in memory (CreateDataSet) or by a loader.
  void SetFieldDefs(std::vector<TFieldDef> defs);
  const std::vector<TFieldDef>& FieldDefs() const { return defs_; }
  void CreateDataSet();              // opens an empty dataset with the field definitions
  void Open();                       // fetches all rows through the provider
  void Close();                      // drops rows and change log; keeps field and index definitions
  bool Active() const { return active_; }
  // A data packet in XML or binary form, told apart by content. Replaces fields
  // and rows; index definitions stay and are rebuilt. The rows take their memory from
  // `budget` (shared by the packets of one archive), or from one of the file's own size.
  void LoadFromFile(const std::string& fileName, TPacketBudget* budget = nullptr);
  void SaveToFile(const std::string& fileName, TDataPacketFormat format) const;

  // A number the owner keeps with the dataset (the platform's Tag).
  int Tag = 0;

  // ---- provider
  void SetProvider(TDataSetProvider* provider) { provider_ = provider; }
  TDataSetProvider* Provider() const { return provider_; }
  // Applies the change log through the provider (see Provider.h); the number of
  // failed rows. 0 at once when nothing is pending; maxErrors < 0 sets no limit.
  int ApplyUpdates(int maxErrors);
  TReconcileErrorEvent OnReconcileError;

  // ---- fields
  int FieldCount() const { return static_cast<int>(defs_.size()); }
  TField& Fields(int i);
  TField* FindField(std::string_view name);   // nullptr when absent; the first of equal names
  TField& FieldByName(std::string_view name); // raises EDatabaseError "Field 'X' not found"
  int FieldIndex(std::string_view name) const; // -1 when absent

  // ---- indexes
  void AddIndex(const std::string& name, const std::string& fields, unsigned options = ixNone);
  bool HasIndex(std::string_view name) const;
  const std::vector<TIndexDef>& IndexDefs() const { return indexDefs_; }
  void SetIndexName(std::string_view name);   // "" for insertion order; cancels the range
  const std::string& IndexName() const;

  void SetRange(const std::vector<Value>& low, const std::vector<Value>& high);
  void CancelRange();
  bool FindKey(const std::vector<Value>& key);

  // ---- navigation and editing
  void First();
  void Next();
  bool Eof() const { return eof_; }
  bool IsEmpty() const;
  int RecordCount() const;           // rows in the current view (inside the range when set)
  TDataSetState State() const { return state_; }
  void Append();
  void Insert() { Append(); }
  void Edit();
  void Post();
  void Cancel();
  void Delete();

  // ---- change log
  int ChangeCount() const { return pending_; }
  void MergeChangeLog();             // pending changes become the base state

  // Change-log view for providers.
  struct DeltaRow {
    uint32_t row;
    TUpdateKind kind;
  };
  std::vector<DeltaRow> Delta() const;
  Value DeltaValue(uint32_t row, int col, bool original) const;
  void MarkApplied(uint32_t row);    // the row's change reached the database
  void RevertRow(uint32_t row);      // the row goes back to its original values

  // Every row of the current data in insertion order (writers).
  void ForEachRow(const std::function<void(uint32_t row)>& fn) const;
  Value RowValue(uint32_t row, int col) const { return DeltaValue(row, col, false); }

  // Memory held by the rows, the text and the indexes (bytes).
  size_t MemoryUsed() const;
  // What one more row takes whatever its values: its record (a null bitmap and a slot
  // per field), its state and its place in the insertion order (bytes).
  size_t RowBytes() const { return rows_.rowSize() + sizeof(uint8_t) + sizeof(uint32_t); }

  // Bulk building for loaders and providers: BeginBulk defines the fields and
  // empties the dataset, BulkAppend adds an unchanged row (values of any type,
  // converted to the field types), EndBulk opens the dataset and builds indexes.
  void BeginBulk(std::vector<TFieldDef> defs);
  void BulkAppend(const Value* values, size_t count);
  // The same from values elsewhere (rows that share values with others).
  void BulkAppend(const Value* const* values, size_t count);
  void EndBulk();

private:
  friend class TField;
  struct Index : detail::RowOrder {
    TIndexDef def;
    std::vector<int> cols;
    bool ci = false;
    const TClientDataSet* ds = nullptr;
    std::unique_ptr<detail::OrderedIndex> order;
    int compareRows(uint32_t a, uint32_t b) const override { return ds->compareRowsBy(*this, a, b); }
  };
  enum RowState : uint8_t { rsUnchanged, rsInserted, rsModified, rsDeleted, rsDead, rsOriginal };

  void checkActive(const char* op) const;
  template <class Get>
  void bulkAppend(size_t count, Get value);
  void checkBrowse();                // posts a pending edit
  void layout();
  void resetRows();
  void buildIndex(Index& ix);
  void buildAllIndexes();
  Index& activeIndex() { return *indexes_[activeIx_]; }
  const Index& activeIndex() const { return *indexes_[activeIx_]; }
  int compareRowKey(const Index& ix, uint32_t row, const std::vector<Value>& key) const;
  int compareRowsBy(const Index& ix, uint32_t a, uint32_t b) const;
  std::vector<Value> convertKey(const Index& ix, const std::vector<Value>& key) const;
  detail::OrderedIndex::Pos rangeBegin() const;
  bool inRangeHigh(uint32_t row) const;
  bool inRangeLow(uint32_t row) const;
  detail::OrderedIndex::Pos locate(uint32_t row) const;
  void remember(uint32_t row, detail::OrderedIndex::Pos p) const;

  // Row records.
  bool slotNull(const uint8_t* rec, int col) const { return (rec[col >> 3] >> (col & 7)) & 1; }
  Value readSlot(const uint8_t* rec, int col) const;
  void writeSlot(uint8_t* rec, int col, const Value& v);  // v already of the field's type
  int compareSlot(const uint8_t* a, const uint8_t* b, int col, bool ci) const;
  int compareSlotValue(const uint8_t* rec, int col, const Value& v, bool ci) const;
  Value currentValue(int col) const;
  void setFieldValue(int col, const Value& v);
  void logChange(uint32_t row);
  void compactLog();
  bool isLive(uint32_t row) const { return rowState_[row] <= rsModified; }

  std::vector<TFieldDef> defs_;
  std::vector<std::unique_ptr<TField>> fields_;
  std::unordered_map<std::string, int> byName_;   // upper-cased (ASCII) name -> first column
  std::vector<size_t> offset_;
  std::vector<FType> types_;   // field types, for the comparisons
  size_t bitmapBytes_ = 0;

  detail::RowStore rows_;
  detail::StringArena text_;
  std::vector<uint8_t> rowState_;
  std::unordered_map<uint32_t, uint32_t> original_;  // modified row -> copy of its original record
  std::vector<uint32_t> log_;                         // rows in the order of their first change
  int pending_ = 0;
  size_t live_ = 0;

  std::vector<TIndexDef> indexDefs_;
  std::vector<std::unique_ptr<Index>> indexes_;  // [0] is insertion order; then one per definition
  size_t activeIx_ = 0;

  bool hasRange_ = false;
  std::vector<Value> lo_, hi_;

  bool active_ = false;
  TDataSetState state_ = TDataSetState::dsInactive;
  static constexpr uint32_t kNoRow = 0xffffffffu;
  uint32_t cur_ = kNoRow;
  bool eof_ = true;
  uint32_t savedCur_ = kNoRow;
  bool savedEof_ = true;
  // Position of the current row in the active index, valid while the index is unchanged.
  mutable detail::OrderedIndex::Pos posCache_;
  mutable uint64_t posVersion_ = ~uint64_t(0);
  mutable size_t posIndex_ = ~size_t(0);
  mutable uint32_t posRow_ = kNoRow;
  std::vector<Value> buf_;        // edit buffer
  std::vector<bool> bufSet_;      // columns assigned in the buffer

  TDataSetProvider* provider_ = nullptr;
};

}  // namespace cds
