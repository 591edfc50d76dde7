#include "db/ClientDataSet.h"

#include <algorithm>
#include <cstring>

#include "db/DataPacket.h"
#include "db/Provider.h"
#include "platform/strutil.h"

namespace cds {

namespace {

size_t slotSize(FType t) {
  switch (t) {
    case FType::I16: return 2;
    case FType::I32:
    case FType::Date:
    case FType::Time: return 4;
    case FType::Bool: return 1;
    default: return 8;
  }
}

std::string upperName(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

template <class T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

template <class T>
int cmp3(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

// ---------------------------------------------------------------- TField

const TFieldDef& TField::Def() const { return ds_->defs_[static_cast<size_t>(col_)]; }
const std::string& TField::FieldName() const { return Def().Name; }
FType TField::DataType() const { return Def().DataType; }
int TField::Size() const { return Def().Size; }
bool TField::IsNull() const { return ds_->currentValue(col_).isNull(); }
int32_t TField::AsInteger() const { return ds_->currentValue(col_).asInteger(); }
int64_t TField::AsLargeInt() const { return ds_->currentValue(col_).asLargeInt(); }
double TField::AsFloat() const { return ds_->currentValue(col_).asFloat(); }
bool TField::AsBoolean() const { return ds_->currentValue(col_).asBoolean(); }
std::string TField::AsString() const { return ds_->currentValue(col_).asString(); }
double TField::AsDateTime() const { return ds_->currentValue(col_).asDateTime(); }
Value TField::AsValue() const { return ds_->currentValue(col_); }
void TField::SetAsInteger(int32_t v) { ds_->setFieldValue(col_, Value::Int32(v)); }
void TField::SetAsLargeInt(int64_t v) { ds_->setFieldValue(col_, Value::Int64(v)); }
void TField::SetAsFloat(double v) { ds_->setFieldValue(col_, Value::Float(v)); }
void TField::SetAsBoolean(bool v) { ds_->setFieldValue(col_, Value::Boolean(v)); }
void TField::SetAsString(std::string_view v) { ds_->setFieldValue(col_, Value(v)); }
void TField::SetAsDateTime(double v) { ds_->setFieldValue(col_, Value::DateTime(v)); }
void TField::SetValue(const Value& v) { ds_->setFieldValue(col_, v); }
void TField::Clear() { ds_->setFieldValue(col_, Value::Null(DataType())); }

// ---------------------------------------------------------------- structure

TClientDataSet::TClientDataSet() {
  auto ix = std::make_unique<Index>();
  ix->ds = this;
  ix->order = std::make_unique<detail::OrderedIndex>(ix.get());
  indexes_.push_back(std::move(ix));
}

TClientDataSet::~TClientDataSet() = default;

void TClientDataSet::checkActive(const char* op) const {
  if (!active_) throw EDatabaseError(std::string("Cannot perform this operation on a closed dataset (") + op + ")");
}

void TClientDataSet::SetFieldDefs(std::vector<TFieldDef> defs) {
  if (active_) throw EDatabaseError("Cannot change the fields of an open dataset");
  defs_ = std::move(defs);
  fields_.clear();
  byName_.clear();
  for (size_t i = 0; i < defs_.size(); ++i) {
    if (defs_[i].DataType == FType::Dec) Pow10(defs_[i].Scale);  // range check of the scale
    fields_.push_back(std::unique_ptr<TField>(new TField(this, static_cast<int>(i))));
    byName_.emplace(upperName(defs_[i].Name), static_cast<int>(i));
  }
  layout();
}

void TClientDataSet::layout() {
  bitmapBytes_ = (defs_.size() + 7) / 8;
  offset_.assign(defs_.size(), 0);
  types_.clear();
  for (const TFieldDef& d : defs_) types_.push_back(d.DataType);
  size_t off = bitmapBytes_;
  for (size_t i = 0; i < defs_.size(); ++i) {
    offset_[i] = off;
    off += slotSize(defs_[i].DataType);
  }
  rows_.reset(off);
}

void TClientDataSet::resetRows() {
  rows_.reset(rows_.rowSize());
  text_.clear();
  rowState_.clear();
  rowState_.shrink_to_fit();
  original_.clear();
  log_.clear();
  pending_ = 0;
  live_ = 0;
  for (auto& ix : indexes_) ix->order->clear();
  hasRange_ = false;
  lo_.clear();
  hi_.clear();
  cur_ = kNoRow;
  eof_ = true;
  buf_.clear();
  bufSet_.clear();
}

void TClientDataSet::CreateDataSet() {
  if (active_) Close();
  layout();
  resetRows();
  active_ = true;
  state_ = TDataSetState::dsBrowse;
  buildAllIndexes();
  First();
}

void TClientDataSet::Open() {
  if (active_) return;
  if (!provider_) throw EDatabaseError("Missing data provider or data packet");
  provider_->Provide(*this);
}

void TClientDataSet::Close() {
  resetRows();
  active_ = false;
  state_ = TDataSetState::dsInactive;
}

void TClientDataSet::LoadFromFile(const std::string& fileName, TPacketBudget* budget) {
  if (active_) Close();
  ReadDataPacket(fileName, *this, budget);
}

void TClientDataSet::SaveToFile(const std::string& fileName, TDataPacketFormat format) const {
  checkActive("SaveToFile");
  WriteDataPacket(fileName, *this, format);
}

int TClientDataSet::ApplyUpdates(int maxErrors) {
  checkActive("ApplyUpdates");
  if (state_ != TDataSetState::dsBrowse) Post();
  if (!provider_) throw EDatabaseError("Missing data provider or data packet");
  if (pending_ == 0) return 0;
  return provider_->ApplyUpdates(*this, maxErrors);
}

void TClientDataSet::BeginBulk(std::vector<TFieldDef> defs) {
  if (active_) Close();
  SetFieldDefs(std::move(defs));
  resetRows();
}

template <class Get>
void TClientDataSet::bulkAppend(size_t count, Get value) {
  if (count != defs_.size()) throw EDBClient("Row has a wrong number of values");
  uint32_t id = rows_.add();
  uint8_t* rec = rows_.row(id);
  for (size_t c = 0; c < count; ++c) {
    const TFieldDef& d = defs_[c];
    const Value& v = value(c);
    if (v.type() == d.DataType && (d.DataType != FType::Dec || v.scale() == d.Scale))
      writeSlot(rec, static_cast<int>(c), v);
    else
      writeSlot(rec, static_cast<int>(c), v.convertTo(d.DataType, d.Scale));
  }
  rowState_.push_back(rsUnchanged);
  ++live_;
}

void TClientDataSet::BulkAppend(const Value* values, size_t count) {
  bulkAppend(count, [values](size_t c) -> const Value& { return values[c]; });
}

void TClientDataSet::BulkAppend(const Value* const* values, size_t count) {
  bulkAppend(count, [values](size_t c) -> const Value& { return *values[c]; });
}

void TClientDataSet::EndBulk() {
  active_ = true;
  state_ = TDataSetState::dsBrowse;
  buildAllIndexes();
  First();
}

// ---------------------------------------------------------------- fields

TField& TClientDataSet::Fields(int i) {
  if (i < 0 || i >= FieldCount()) throw EDatabaseError("List index out of bounds (" + std::to_string(i) + ")");
  return *fields_[static_cast<size_t>(i)];
}

int TClientDataSet::FieldIndex(std::string_view name) const {
  auto it = byName_.find(upperName(name));
  return it == byName_.end() ? -1 : it->second;
}

TField* TClientDataSet::FindField(std::string_view name) {
  int i = FieldIndex(name);
  return i < 0 ? nullptr : fields_[static_cast<size_t>(i)].get();
}

TField& TClientDataSet::FieldByName(std::string_view name) {
  TField* f = FindField(name);
  if (!f) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return *f;
}

// ---------------------------------------------------------------- row records

Value TClientDataSet::readSlot(const uint8_t* rec, int col) const {
  const TFieldDef& d = defs_[static_cast<size_t>(col)];
  if (slotNull(rec, col)) return Value::Null(d.DataType);
  const uint8_t* p = rec + offset_[static_cast<size_t>(col)];
  switch (d.DataType) {
    case FType::I16: return Value::Int16(load<int16_t>(p));
    case FType::I32: return Value::Int32(load<int32_t>(p));
    case FType::I64: return Value::Int64(load<int64_t>(p));
    case FType::F64: return Value::Float(load<double>(p));
    case FType::Dec: return Value::Decimal(load<int64_t>(p), d.Scale);
    case FType::Bool: return Value::Boolean(*p != 0);
    case FType::Date: return Value::Date(load<int32_t>(p));
    case FType::Time: return Value::Time(load<int32_t>(p));
    case FType::Stamp: return Value::Stamp(load<int64_t>(p));
    case FType::Str:
    case FType::Memo:
    case FType::Blob: return Value::Text(text_.get(load<uint64_t>(p)), d.DataType);
  }
  return Value::Null(d.DataType);
}

void TClientDataSet::writeSlot(uint8_t* rec, int col, const Value& v) {
  const TFieldDef& d = defs_[static_cast<size_t>(col)];
  uint8_t bit = static_cast<uint8_t>(1u << (col & 7));
  if (v.isNull()) {
    rec[col >> 3] |= bit;
    return;
  }
  rec[col >> 3] &= static_cast<uint8_t>(~bit);
  uint8_t* p = rec + offset_[static_cast<size_t>(col)];
  switch (d.DataType) {
    case FType::I16: store<int16_t>(p, static_cast<int16_t>(v.rawInt())); break;
    case FType::I32:
    case FType::Date:
    case FType::Time: store<int32_t>(p, static_cast<int32_t>(v.rawInt())); break;
    case FType::I64:
    case FType::Dec:
    case FType::Stamp: store<int64_t>(p, v.rawInt()); break;
    case FType::F64: store<double>(p, v.rawFloat()); break;
    case FType::Bool: *p = v.rawInt() ? 1 : 0; break;
    case FType::Str:
    case FType::Memo:
    case FType::Blob: store<uint64_t>(p, text_.put(v.rawText())); break;
  }
}

int TClientDataSet::compareSlot(const uint8_t* a, const uint8_t* b, int col, bool ci) const {
  bool na = slotNull(a, col), nb = slotNull(b, col);
  if (na || nb) return na == nb ? 0 : (na ? -1 : 1);
  size_t off = offset_[static_cast<size_t>(col)];
  const uint8_t *pa = a + off, *pb = b + off;
  switch (types_[static_cast<size_t>(col)]) {
    case FType::I16: return cmp3(load<int16_t>(pa), load<int16_t>(pb));
    case FType::I32:
    case FType::Date:
    case FType::Time: return cmp3(load<int32_t>(pa), load<int32_t>(pb));
    case FType::I64:
    case FType::Dec:
    case FType::Stamp: return cmp3(load<int64_t>(pa), load<int64_t>(pb));
    case FType::F64: return cmp3(load<double>(pa), load<double>(pb));
    case FType::Bool: return cmp3(*pa, *pb);
    case FType::Str:
    case FType::Memo:
    case FType::Blob: return CompareBytes(text_.get(load<uint64_t>(pa)), text_.get(load<uint64_t>(pb)), ci);
  }
  return 0;
}

int TClientDataSet::compareSlotValue(const uint8_t* rec, int col, const Value& v, bool ci) const {
  bool na = slotNull(rec, col), nb = v.isNull();
  if (na || nb) return na == nb ? 0 : (na ? -1 : 1);
  const uint8_t* p = rec + offset_[static_cast<size_t>(col)];
  switch (types_[static_cast<size_t>(col)]) {
    case FType::I16: return cmp3<int64_t>(load<int16_t>(p), v.rawInt());
    case FType::I32:
    case FType::Date:
    case FType::Time: return cmp3<int64_t>(load<int32_t>(p), v.rawInt());
    case FType::I64:
    case FType::Dec:
    case FType::Stamp: return cmp3<int64_t>(load<int64_t>(p), v.rawInt());
    case FType::F64: return cmp3(load<double>(p), v.rawFloat());
    case FType::Bool: return cmp3<int64_t>(*p, v.rawInt());
    case FType::Str:
    case FType::Memo:
    case FType::Blob: return CompareBytes(text_.get(load<uint64_t>(p)), v.rawText(), ci);
  }
  return 0;
}

Value TClientDataSet::currentValue(int col) const {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return buf_[static_cast<size_t>(col)];
  if (!active_ || cur_ == kNoRow) return Value::Null(defs_[static_cast<size_t>(col)].DataType);
  return readSlot(rows_.row(cur_), col);
}

void TClientDataSet::setFieldValue(int col, const Value& v) {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert)
    throw EDatabaseError("Dataset not in edit or insert mode");
  const TFieldDef& d = defs_[static_cast<size_t>(col)];
  try {
    buf_[static_cast<size_t>(col)] = v.convertTo(d.DataType, d.Scale);
  } catch (const platform::EConvertError& e) {
    throw platform::EConvertError(std::string(e.what()) + " for field '" + d.Name + "'");
  }
  bufSet_[static_cast<size_t>(col)] = true;
}

// ---------------------------------------------------------------- indexes

[[gnu::flatten]] int TClientDataSet::compareRowsBy(const Index& ix, uint32_t a, uint32_t b) const {
  const uint8_t *ra = rows_.row(a), *rb = rows_.row(b);
  for (int c : ix.cols) {
    int r = compareSlot(ra, rb, c, ix.ci);
    if (r) return r;
  }
  return 0;
}

[[gnu::flatten]] int TClientDataSet::compareRowKey(const Index& ix, uint32_t row, const std::vector<Value>& key) const {
  const uint8_t* r = rows_.row(row);
  for (size_t i = 0; i < key.size(); ++i) {
    int c = compareSlotValue(r, ix.cols[i], key[i], ix.ci);
    if (c) return c;
  }
  return 0;
}

std::vector<Value> TClientDataSet::convertKey(const Index& ix, const std::vector<Value>& key) const {
  if (key.size() > ix.cols.size())
    throw EDatabaseError("Too many key fields for index '" + ix.def.Name + "'");
  std::vector<Value> out;
  out.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    const TFieldDef& d = defs_[static_cast<size_t>(ix.cols[i])];
    out.push_back(key[i].convertTo(d.DataType, d.Scale));
  }
  return out;
}

void TClientDataSet::AddIndex(const std::string& name, const std::string& fields, unsigned options) {
  if (HasIndex(name)) throw EDatabaseError("Duplicate index name '" + name + "'");
  auto ix = std::make_unique<Index>();
  ix->def = TIndexDef{name, fields, options};
  ix->ci = (options & ixCaseInsensitive) != 0;
  ix->ds = this;
  ix->order = std::make_unique<detail::OrderedIndex>(ix.get());
  if (active_) {
    checkBrowse();
    buildIndex(*ix);
  }
  indexDefs_.push_back(ix->def);
  indexes_.push_back(std::move(ix));
}

bool TClientDataSet::HasIndex(std::string_view name) const {
  for (const TIndexDef& d : indexDefs_)
    if (platform::SameText(d.Name, name)) return true;
  return false;
}

void TClientDataSet::buildIndex(Index& ix) {
  ix.cols.clear();
  if (!ix.def.Name.empty() && ix.def.Fields.empty()) throw EDatabaseError("Index '" + ix.def.Name + "' has no fields");
  {
    std::string_view f = ix.def.Fields;
    size_t start = 0;
    while (start <= f.size() && !f.empty()) {
      size_t semi = f.find(';', start);
      std::string_view part = f.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
      while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
      while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
      if (!part.empty()) {
        int c = FieldIndex(part);
        if (c < 0) throw EDatabaseError("Field '" + std::string(part) + "' not found");
        ix.cols.push_back(c);
      }
      if (semi == std::string_view::npos) break;
      start = semi + 1;
    }
  }
  std::vector<uint32_t> ids;
  ids.reserve(live_);
  for (uint32_t r = 0; r < rowState_.size(); ++r)
    if (isLive(r)) ids.push_back(r);
  if (!ix.cols.empty()) {
    auto less = [&](uint32_t a, uint32_t b) {
      int c = compareRowsBy(ix, a, b);
      return c < 0 || (c == 0 && a < b);
    };
    // Packets often come in key order already.
    if (!std::is_sorted(ids.begin(), ids.end(), less)) std::sort(ids.begin(), ids.end(), less);
  }
  ix.order->assignSorted(ids);
}

void TClientDataSet::buildAllIndexes() {
  for (auto& ix : indexes_) buildIndex(*ix);
}

void TClientDataSet::SetIndexName(std::string_view name) {
  size_t found = 0;
  if (!name.empty()) {
    for (size_t i = 1; i < indexes_.size(); ++i)
      if (platform::SameText(indexes_[i]->def.Name, name)) {
        found = i;
        break;
      }
    if (!found) throw EDatabaseError("Index '" + std::string(name) + "' not found");
  }
  if (active_) checkBrowse();
  activeIx_ = found;
  hasRange_ = false;
  lo_.clear();
  hi_.clear();
  if (active_) eof_ = cur_ == kNoRow;
}

const std::string& TClientDataSet::IndexName() const { return indexes_[activeIx_]->def.Name; }

// ---------------------------------------------------------------- cursor

void TClientDataSet::checkBrowse() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) Post();
}

detail::OrderedIndex::Pos TClientDataSet::locate(uint32_t row) const {
  const detail::OrderedIndex& o = *activeIndex().order;
  if (row == posRow_ && posIndex_ == activeIx_ && posVersion_ == o.version()) return posCache_;
  auto p = o.find(row);
  remember(row, p);
  return p;
}

void TClientDataSet::remember(uint32_t row, detail::OrderedIndex::Pos p) const {
  posCache_ = p;
  posRow_ = row;
  posIndex_ = activeIx_;
  posVersion_ = activeIndex().order->version();
}

detail::OrderedIndex::Pos TClientDataSet::rangeBegin() const {
  const Index& ix = activeIndex();
  if (!hasRange_) return ix.order->begin();
  return ix.order->partition([&](uint32_t r) { return compareRowKey(ix, r, lo_) < 0; });
}

bool TClientDataSet::inRangeHigh(uint32_t row) const { return !hasRange_ || compareRowKey(activeIndex(), row, hi_) <= 0; }
bool TClientDataSet::inRangeLow(uint32_t row) const { return !hasRange_ || compareRowKey(activeIndex(), row, lo_) >= 0; }

void TClientDataSet::First() {
  checkActive("First");
  checkBrowse();
  const detail::OrderedIndex& o = *activeIndex().order;
  auto p = rangeBegin();
  if (o.atEnd(p) || !inRangeHigh(o.at(p))) {
    cur_ = kNoRow;
    eof_ = true;
    return;
  }
  cur_ = o.at(p);
  eof_ = false;
  remember(cur_, p);
}

void TClientDataSet::Next() {
  checkActive("Next");
  checkBrowse();
  if (cur_ == kNoRow) {
    eof_ = true;
    return;
  }
  if (eof_) return;
  const detail::OrderedIndex& o = *activeIndex().order;
  auto p = o.next(locate(cur_));
  if (o.atEnd(p) || !inRangeHigh(o.at(p))) {
    eof_ = true;
    return;
  }
  cur_ = o.at(p);
  remember(cur_, p);
}

bool TClientDataSet::IsEmpty() const { return RecordCount() == 0; }

int TClientDataSet::RecordCount() const {
  if (!active_) return 0;
  if (!hasRange_) return static_cast<int>(live_);
  const Index& ix = activeIndex();
  const detail::OrderedIndex& o = *ix.order;
  size_t b = o.rank(rangeBegin());
  size_t e = o.rank(o.partition([&](uint32_t r) { return compareRowKey(ix, r, hi_) <= 0; }));
  return e > b ? static_cast<int>(e - b) : 0;
}

void TClientDataSet::SetRange(const std::vector<Value>& low, const std::vector<Value>& high) {
  checkActive("SetRange");
  checkBrowse();
  const Index& ix = activeIndex();
  if (ix.cols.empty()) throw EDatabaseError("No index currently active");
  lo_ = convertKey(ix, low);
  hi_ = convertKey(ix, high);
  hasRange_ = true;
  First();
}

void TClientDataSet::CancelRange() {
  checkActive("CancelRange");
  checkBrowse();
  hasRange_ = false;
  lo_.clear();
  hi_.clear();
  if (cur_ == kNoRow) First();
  else eof_ = false;
}

bool TClientDataSet::FindKey(const std::vector<Value>& key) {
  checkActive("FindKey");
  checkBrowse();
  const Index& ix = activeIndex();
  if (ix.cols.empty()) throw EDatabaseError("No index currently active");
  if (key.empty()) throw EDatabaseError("No key values given");
  std::vector<Value> k = convertKey(ix, key);
  const detail::OrderedIndex& o = *ix.order;
  auto p = o.partition([&](uint32_t r) { return compareRowKey(ix, r, k) < 0; });
  if (hasRange_) {
    auto rb = rangeBegin();
    if (rb.chunk > p.chunk || (rb.chunk == p.chunk && rb.off > p.off)) p = rb;
  }
  if (o.atEnd(p)) return false;
  uint32_t r = o.at(p);
  if (compareRowKey(ix, r, k) != 0 || !inRangeHigh(r)) return false;
  cur_ = r;
  eof_ = false;
  remember(r, p);
  return true;
}

// ---------------------------------------------------------------- editing

void TClientDataSet::Append() {
  checkActive("Append");
  checkBrowse();
  savedCur_ = cur_;
  savedEof_ = eof_;
  buf_.clear();
  for (const TFieldDef& d : defs_) buf_.push_back(Value::Null(d.DataType));
  bufSet_.assign(defs_.size(), false);
  state_ = TDataSetState::dsInsert;
}

void TClientDataSet::Edit() {
  checkActive("Edit");
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  if (cur_ == kNoRow) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  buf_.clear();
  const uint8_t* rec = rows_.row(cur_);
  for (size_t c = 0; c < defs_.size(); ++c) buf_.push_back(readSlot(rec, static_cast<int>(c)));
  bufSet_.assign(defs_.size(), false);
  state_ = TDataSetState::dsEdit;
}

void TClientDataSet::logChange(uint32_t row) {
  log_.push_back(row);
  ++pending_;
  if (log_.size() > 1024 && log_.size() > 2 * static_cast<size_t>(pending_)) compactLog();
}

void TClientDataSet::compactLog() {
  std::vector<bool> seen(rowState_.size(), false);
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(pending_));
  for (uint32_t r : log_) {
    uint8_t s = rowState_[r];
    if ((s == rsInserted || s == rsModified || s == rsDeleted) && !seen[r]) {
      seen[r] = true;
      out.push_back(r);
    }
  }
  log_.swap(out);
}

void TClientDataSet::Post() {
  if (state_ == TDataSetState::dsInsert) {
    uint32_t id = rows_.add();
    uint8_t* rec = rows_.row(id);
    for (size_t c = 0; c < defs_.size(); ++c) writeSlot(rec, static_cast<int>(c), buf_[c]);
    rowState_.push_back(rsInserted);
    ++live_;
    for (auto& ix : indexes_) ix->order->insert(id);
    logChange(id);
    cur_ = id;
    eof_ = false;
    state_ = TDataSetState::dsBrowse;
    return;
  }
  if (state_ != TDataSetState::dsEdit) return;
  state_ = TDataSetState::dsBrowse;
  std::vector<bool> changed(defs_.size(), false);
  bool any = false;
  {
    const uint8_t* rec = rows_.row(cur_);
    for (size_t c = 0; c < defs_.size(); ++c) {
      Value old = readSlot(rec, static_cast<int>(c));
      const Value& nv = buf_[c];
      if (old.isNull() != nv.isNull() || (!old.isNull() && Value::compare(old, nv) != 0)) {
        changed[c] = true;
        any = true;
      }
    }
  }
  if (!any) return;
  if (rowState_[cur_] == rsUnchanged) {
    uint32_t orig = rows_.add();
    std::memcpy(rows_.row(orig), rows_.row(cur_), rows_.rowSize());
    rowState_.push_back(rsOriginal);
    original_[cur_] = orig;
    rowState_[cur_] = rsModified;
    logChange(cur_);
  }
  std::vector<Index*> touched;
  for (auto& ix : indexes_) {
    bool hit = false;
    for (int c : ix->cols) hit = hit || changed[static_cast<size_t>(c)];
    if (hit) {
      ix->order->erase(cur_);
      touched.push_back(ix.get());
    }
  }
  uint8_t* rec = rows_.row(cur_);
  for (size_t c = 0; c < defs_.size(); ++c)
    if (changed[c]) writeSlot(rec, static_cast<int>(c), buf_[c]);
  for (Index* ix : touched) ix->order->insert(cur_);
}

void TClientDataSet::Cancel() {
  if (state_ == TDataSetState::dsInsert) {
    cur_ = savedCur_;
    eof_ = savedEof_;
  }
  if (state_ == TDataSetState::dsInsert || state_ == TDataSetState::dsEdit) state_ = TDataSetState::dsBrowse;
}

void TClientDataSet::Delete() {
  checkActive("Delete");
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (state_ == TDataSetState::dsEdit) state_ = TDataSetState::dsBrowse;
  if (cur_ == kNoRow) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  const detail::OrderedIndex& o = *activeIndex().order;
  auto p = locate(cur_);
  uint32_t nextRow = kNoRow, prevRow = kNoRow;
  auto np = o.next(p);
  if (!o.atEnd(np) && inRangeHigh(o.at(np))) nextRow = o.at(np);
  auto pp = p;
  if (o.prev(pp) && inRangeLow(o.at(pp))) prevRow = o.at(pp);
  for (auto& ix : indexes_) ix->order->erase(cur_);
  --live_;
  switch (rowState_[cur_]) {
    case rsInserted:
      rowState_[cur_] = rsDead;
      --pending_;
      break;
    case rsUnchanged:
      rowState_[cur_] = rsDeleted;
      logChange(cur_);
      break;
    default: rowState_[cur_] = rsDeleted; break;
  }
  if (nextRow != kNoRow) {
    cur_ = nextRow;
    eof_ = false;
  } else {
    cur_ = prevRow;
    eof_ = true;
  }
}

// ---------------------------------------------------------------- change log

std::vector<TClientDataSet::DeltaRow> TClientDataSet::Delta() const {
  std::vector<DeltaRow> out;
  std::vector<bool> seen(rowState_.size(), false);
  for (uint32_t r : log_) {
    if (seen[r]) continue;
    switch (rowState_[r]) {
      case rsInserted: out.push_back({r, TUpdateKind::ukInsert}); break;
      case rsModified: out.push_back({r, TUpdateKind::ukModify}); break;
      case rsDeleted: out.push_back({r, TUpdateKind::ukDelete}); break;
      default: continue;
    }
    seen[r] = true;
  }
  return out;
}

Value TClientDataSet::DeltaValue(uint32_t row, int col, bool original) const {
  if (row >= rowState_.size() || col < 0 || col >= FieldCount()) throw EDBClient("Change-log position out of range");
  uint32_t src = row;
  if (original) {
    auto it = original_.find(row);
    if (it != original_.end()) src = it->second;
  }
  return readSlot(rows_.row(src), col);
}

void TClientDataSet::MarkApplied(uint32_t row) {
  if (row >= rowState_.size()) return;
  uint8_t& s = rowState_[row];
  if (s != rsInserted && s != rsModified && s != rsDeleted) return;
  auto it = original_.find(row);
  if (it != original_.end()) {
    rowState_[it->second] = rsDead;
    original_.erase(it);
  }
  s = (s == rsDeleted) ? rsDead : rsUnchanged;
  --pending_;
}

void TClientDataSet::RevertRow(uint32_t row) {
  if (row >= rowState_.size()) return;
  uint8_t s = rowState_[row];
  if (s != rsInserted && s != rsModified && s != rsDeleted) return;
  checkBrowse();
  auto it = original_.find(row);
  if (s == rsInserted) {
    if (cur_ == row) {
      Delete();  // moves the cursor on and drops the row
      return;
    }
    for (auto& ix : indexes_) ix->order->erase(row);
    --live_;
    rowState_[row] = rsDead;
    --pending_;
    return;
  }
  if (s == rsModified) {
    for (auto& ix : indexes_) ix->order->erase(row);
  } else {
    ++live_;
  }
  if (it != original_.end()) {
    std::memcpy(rows_.row(row), rows_.row(it->second), rows_.rowSize());
    rowState_[it->second] = rsDead;
    original_.erase(it);
  }
  rowState_[row] = rsUnchanged;
  for (auto& ix : indexes_) ix->order->insert(row);
  --pending_;
}

void TClientDataSet::MergeChangeLog() {
  checkBrowse();
  for (const DeltaRow& d : Delta()) MarkApplied(d.row);
  log_.clear();
}

void TClientDataSet::ForEachRow(const std::function<void(uint32_t)>& fn) const {
  for (uint32_t r = 0; r < rowState_.size(); ++r)
    if (isLive(r)) fn(r);
}

size_t TClientDataSet::MemoryUsed() const {
  size_t n = rows_.bytesReserved() + text_.bytesReserved() + rowState_.capacity();
  for (const auto& ix : indexes_) n += ix->order->size() * sizeof(uint32_t) * 3 / 2;
  n += original_.size() * 32 + log_.capacity() * sizeof(uint32_t);
  return n;
}

}  // namespace cds
