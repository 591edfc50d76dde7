// TXBaseDataSet: the fields and their conversions between the record and the program.
#include "xbase/XBaseDB.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/inifile.h"
#include "platform/oslayer.h"
#include "platform/strutil.h"
#include "xbase/SysXBase.h"
#include "xbase/XBaseDBParts.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_sql.h"

namespace xb {

using dsparts::RecordPointer;
using dsparts::upperKey;

namespace {
// Length without trailing bytes <= 0x20, eight bytes at a time: a byte below 0x80
// is above 0x20 exactly when adding 0x5F sets its high bit (no carry leaves a byte).
inline size_t trimmedLength(const char* p, size_t n) {
  constexpr uint64_t high = 0x8080808080808080ull, add = 0x5F5F5F5F5F5F5F5Full;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p + n - 8, 8);
    uint64_t keep = (((w & ~high) + add) | w) & high;
    if (keep) return n - (static_cast<size_t>(__builtin_clzll(keep)) >> 3);
    n -= 8;
  }
  while (n > 0 && static_cast<unsigned char>(p[n - 1]) <= ' ') --n;
  return n;
}

// Position of the first zero byte among n, n when none; eight bytes at a time (the
// lowest flagged byte of a word is always a real zero).
inline size_t zeroAt(const char* p, size_t n) {
  constexpr uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    uint64_t z = (w - ones) & ~w & high;
    if (z) return i + (static_cast<size_t>(__builtin_ctzll(z)) >> 3);
  }
  for (; i < n; ++i)
    if (p[i] == 0) return i;
  return n;
}

// The first zero byte among n (n when none) and whether any byte is 0x80 or above,
// a word at a time; it reads up to 7 bytes past n, which the caller must own.
inline size_t scanWords(const char* p, size_t n, bool& high) {
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  uint64_t seen = 0;
  for (size_t i = 0; i < n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    uint64_t mask = n - i >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * (n - i))) - 1;
    uint64_t z = (w - ones) & ~w & highs & mask;
    if (z) {
      // Bytes behind the zero are not part of the text.
      uint64_t before = (z & (~z + 1)) - 1;
      high = ((seen | (w & before)) & highs) != 0;
      return i + (static_cast<size_t>(__builtin_ctzll(z)) >> 3);
    }
    seen |= w & mask;
  }
  high = (seen & highs) != 0;
  return n;
}

// CP866 texts to CP1251 eight bytes at a time for the common case of Cyrillic
// letters among ASCII: the letters 0x80-0xAF move up by 0x40 and 0xE0-0xEF by
// 0x10, bytes below 0x80 stay. False when a byte of the word is none of these (the
// word then goes through the table). No byte carries into its neighbour.
inline bool oemLettersShifted(uint64_t w, uint64_t& out) {
  constexpr uint64_t highs = 0x8080808080808080ull, lows = 0x7F7F7F7F7F7F7F7Full;
  uint64_t high = w & highs, x = w & lows;
  uint64_t firstRun = ~(x + 0x5050505050505050ull) & high;                        // low 7 bits below 0x30
  uint64_t secondRun = ~((x ^ 0x6060606060606060ull) + 0x7070707070707070ull) & high;   // 0x60 to 0x6F
  if ((firstRun | secondRun) != high) return false;
  out = w + (firstRun >> 1) + (secondRun >> 3);
  return true;
}

// The table's bytes for the eight bytes of w.
inline uint64_t tableWord(const uint8_t* t, uint64_t w) {
  uint64_t r = 0;
  for (int k = 0; k < 8; ++k) r |= uint64_t{t[(w >> (8 * k)) & 0xFF]} << (8 * k);
  return r;
}

bool validDate8(std::string_view s, int32_t& julian) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  if (s.size() != 8 || s == "00000000") return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  int y = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
  int m = (s[4] - '0') * 10 + (s[5] - '0');
  int d = (s[6] - '0') * 10 + (s[7] - '0');
  if (!xbValidYMD(y, m, d)) return false;
  julian = xbJulianFromYMD(y, m, d);
  return true;
}
}  // namespace

bool dsparts::tableShiftsOemLetters(const uint8_t* t) {
  for (int c = 0; c < 0x100; ++c) {
    int expected = c < 0x80 ? c : c <= 0xAF ? c + 0x40 : (c >= 0xE0 && c <= 0xEF) ? c + 0x10 : t[c];
    if (t[c] != expected) return false;
  }
  return true;
}

void TXBaseDataSet::buildFields() {
  XBO_dBHandler& t = *table_;
  for (int n = 1; n <= t.FieldCount; ++n) {
    const TxbFieldDesc& f = *t.FieldDesc(n);
    TxbFieldDef d{f.Name, TxbFieldType::ftString, 0, n, f.Type};
    switch (f.Type) {
      case 'C': d.DataType = TxbFieldType::ftString; d.Size = static_cast<int>(f.Length); break;
      case 'D': d.DataType = TxbFieldType::ftDate; break;
      case 'L': d.DataType = TxbFieldType::ftBoolean; break;
      case 'M': d.DataType = TxbFieldType::ftMemo; break;
      case 'G': d.DataType = TxbFieldType::ftBlob; break;
      // Version 0x30 keeps B as an 8-byte double; elsewhere it is a binary memo.
      case 'B': d.DataType = t.Version == 0x30 ? TxbFieldType::ftFloat : TxbFieldType::ftBlob; break;
      case 'I': d.DataType = TxbFieldType::ftInteger; break;
      case 'T': d.DataType = TxbFieldType::ftDateTime; break;
      case 'Y': d.DataType = TxbFieldType::ftCurrency; break;
      case 'N':
      case 'F':
        if (f.Decimals > 0) d.DataType = TxbFieldType::ftFloat;
        else if (f.Length <= 4) d.DataType = TxbFieldType::ftSmallint;
        else if (f.Length <= 9) d.DataType = TxbFieldType::ftInteger;
        else d.DataType = largeIntegerAs_ == TxbIntFields::asInteger ? TxbFieldType::ftInteger
                          : largeIntegerAs_ == TxbIntFields::asLargeInt ? TxbFieldType::ftLargeint
                                                                        : TxbFieldType::ftFloat;
        break;
      default: continue;   // unknown letters and empty descriptors get no field
    }
    fieldDefs_.push_back(d);
    fields_.push_back(std::make_unique<TxbField>(this, d, f.Offset, f.Length));
    upperNames_.push_back(upperKey(d.Name));
  }
  for (size_t k = 0; k < calcDefs_.size(); ++k) {
    fields_.push_back(std::make_unique<TxbField>(this, calcDefs_[k], 0, 0));
    fields_.back()->calcIndex_ = static_cast<int>(k);
    upperNames_.push_back(upperKey(calcDefs_[k].Name));
  }
  size_t cap = 64;
  nameShift_ = 58;
  while (cap < upperNames_.size() * 4) {
    cap *= 2;
    --nameShift_;
  }
  nameSlots_.assign(cap, TxbNameSlot{});
  for (size_t i = 0; i < upperNames_.size(); ++i) {
    TxbNameKey k = TxbNameKey::Of(upperNames_[i]);
    if (lookupKey(k)) continue;   // the first of equal names wins
    size_t slot = static_cast<size_t>(k.Hash() >> nameShift_);
    while (nameSlots_[slot].field) slot = (slot + 1) & (cap - 1);
    nameSlots_[slot] = TxbNameSlot{k, fields_[i].get()};
  }
}

TxbField& TXBaseDataSet::Fields(int index) {
  checkActive();
  if (index < 0 || index >= FieldCount()) throw ERangeError();
  return *fields_[static_cast<size_t>(index)];
}

void TXBaseDataSet::fieldNotFound(std::string_view name) { xbRaiseDatabase(msg::FieldNotFound, {name}); }

uint8_t* TXBaseDataSet::writeBuffer(const TxbField& field) {
  checkActive();
  switch (state_) {
    case TxbDataSetState::dsEdit:
    case TxbDataSetState::dsInsert: return active_.data();
    case TxbDataSetState::dsSetKey:
      if (!GetIsIndexField(field)) xbRaiseDatabase(msg::FieldNotIndexed, {field.FieldName()});
      return keyBuffer_.data();
    default: xbRaiseDatabase(msg::NotEditing);
  }
}

void TXBaseDataSet::fieldWritten(const TxbField& field) {
  if (state_ != TxbDataSetState::dsEdit && state_ != TxbDataSetState::dsInsert) return;
  if (!field.Calculated()) modified_ = true;
  if (autoCalcFields_ && !calcDefs_.empty()) calculate(active_.data(), calcValues_);
}

void TXBaseDataSet::calculate(uint8_t* record, std::vector<TxbCalcValue>& values) {
  values.assign(calcDefs_.size(), TxbCalcValue{});
  if (calcDefs_.empty() || !OnCalcFields) return;
  struct Restore {
    TXBaseDataSet& ds;
    TxbDataSetState state;
    uint8_t* rec;
    std::vector<TxbCalcValue>* calc;
    ~Restore() {
      ds.state_ = state;
      ds.sideRecord_ = rec;
      ds.sideCalc_ = calc;
    }
  } restore{*this, state_, sideRecord_, sideCalc_};
  state_ = TxbDataSetState::dsCalcFields;
  sideRecord_ = record;
  sideCalc_ = &values;
  OnCalcFields(*this);
}

void TXBaseDataSet::AddCalcField(const std::string& name, TxbFieldType type, int size) {
  checkInactive();
  if (type == TxbFieldType::ftMemo || type == TxbFieldType::ftBlob)
    xbRaiseDatabase(msg::AccessAsType, {name, "Calculated"});
  calcDefs_.push_back(TxbFieldDef{name, type, type == TxbFieldType::ftString ? size : 0, 0, 0});
}

void TXBaseDataSet::ClearCalcFields() {
  checkInactive();
  calcDefs_.clear();
}

// Fields

void TxbField::badAccess(const char* type) const { xbRaiseDatabase(msg::AccessAsType, {def_.Name, type}); }

const TxbCalcValue* TxbField::calcValue() const {
  const TXBaseDataSet& ds = *ds_;
  const std::vector<TxbCalcValue>* values = nullptr;
  if (ds.sideRecord_)
    values = ds.sideCalc_;
  else if ((ds.state_ == TxbDataSetState::dsBrowse && ds.hasRecord_) || ds.state_ == TxbDataSetState::dsEdit ||
           ds.state_ == TxbDataSetState::dsInsert)
    values = &ds.calcValues_;
  if (!values || static_cast<size_t>(calcIndex_) >= values->size()) return nullptr;
  const TxbCalcValue& v = (*values)[static_cast<size_t>(calcIndex_)];
  return v.has ? &v : nullptr;
}

TxbCalcValue& TxbField::calcSlot() {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (ds.state_ == TxbDataSetState::dsSetKey) xbRaiseDatabase(msg::FieldNotIndexed, {def_.Name});
  std::vector<TxbCalcValue>* values = nullptr;
  if (ds.state_ == TxbDataSetState::dsCalcFields)
    values = ds.sideCalc_;
  else if (ds.state_ == TxbDataSetState::dsEdit || ds.state_ == TxbDataSetState::dsInsert)
    values = &ds.calcValues_;
  if (!values || static_cast<size_t>(calcIndex_) >= values->size()) xbRaiseDatabase(msg::NotEditing);
  TxbCalcValue& v = (*values)[static_cast<size_t>(calcIndex_)];
  v.has = true;
  return v;
}

namespace {
bool isNumberType(TxbFieldType t) {
  return t == TxbFieldType::ftSmallint || t == TxbFieldType::ftInteger || t == TxbFieldType::ftLargeint ||
         t == TxbFieldType::ftFloat || t == TxbFieldType::ftCurrency;
}
bool truthText(std::string_view s) {
  return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y' || s[0] == '1');
}
int64_t integralOf(TxbFieldType type, double v) {
  int64_t r = checked_round<int64_t>(v);
  if (type == TxbFieldType::ftSmallint) return checked_cast<int16_t>(r);
  if (type == TxbFieldType::ftInteger) return checked_cast<int32_t>(r);
  return r;
}
}  // namespace

bool TxbField::IsNull() const {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (Calculated()) return calcValue() == nullptr;
  uint8_t* rec = ds.readBuffer();
  if (!rec) return true;
  const char* p = reinterpret_cast<const char*>(rec) + offset_;
  switch (def_.DataType) {
    case TxbFieldType::ftString: {
      size_t n = trimmedLength(p, length_);
      if (const void* z = std::memchr(p, 0, n)) n = trimmedLength(p, static_cast<size_t>(static_cast<const char*>(z) - p));
      return n == 0;
    }
    case TxbFieldType::ftDate: {
      int32_t j;
      return !validDate8(std::string_view(p, length_), j);
    }
    default: break;
  }
  XBO_dBHandler& t = *ds.table_;
  RecordPointer rp(&t, rec);
  int n = def_.DbfFieldNo;
  switch (def_.DataType) {
    case TxbFieldType::ftDateTime: return t.NumberGet(n) == 0;
    case TxbFieldType::ftMemo:
    case TxbFieldType::ftBlob: {
      auto it = ds.pendingBlobs_.find(n);
      if (it != ds.pendingBlobs_.end() && rec == ds.active_.data()) return it->second.empty();
      return t.MemoBlock(n) == 0;
    }
    default: return false;
  }
}

std::string TxbField::AsString() const {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (Calculated()) {
    const TxbCalcValue* c = calcValue();
    if (!c) return std::string();
    switch (def_.DataType) {
      case TxbFieldType::ftString: return c->text;
      case TxbFieldType::ftBoolean: return c->number != 0 ? "True" : "False";
      case TxbFieldType::ftDate: return platform::FormatDate(c->number);
      case TxbFieldType::ftDateTime: return platform::FormatDateTimeText(c->number);
      case TxbFieldType::ftFloat:
      case TxbFieldType::ftCurrency: return platform::FloatToStr(c->number);
      default: return platform::IntToStr(integralOf(def_.DataType, c->number));
    }
  }
  uint8_t* rec = ds.readBuffer();
  if (!rec) return std::string();
  if (def_.DataType == TxbFieldType::ftString) {
    // The hot path of the tasks: trim and translate straight from the record image.
    // Right-trimming first and then cutting at the first zero byte gives the same
    // text as cutting first, and the search then covers only the short content.
    const char* p = reinterpret_cast<const char*>(rec) + offset_;
    size_t n = trimmedLength(p, length_);
    bool high = true;
    size_t z = rec == ds.active_.data() ? scanWords(p, n, high) : zeroAt(p, n);
    if (z < n) n = trimmedLength(p, z);
    if (!ds.translate_ || (!high && ds.asciiKept_)) return std::string(p, n);
    // A word at a time over the whole text: Cyrillic letters by their shift, a word
    // with any other byte by the table; no branch per byte. The active buffer has
    // slack behind the record, so the last word may read past the text and the loop
    // needs no tail (its varying length would cost a mispredicted branch per field).
    const uint8_t* const t = ds.oemToAnsi_;
    const bool shifted = ds.lettersShifted_;
    auto word = [&](const char* from, char* to) {
      uint64_t w, r;
      std::memcpy(&w, from, 8);
      if (!shifted || !oemLettersShifted(w, r)) r = tableWord(t, w);
      std::memcpy(to, &r, 8);
    };
    constexpr size_t kShort = 256;
    static_assert(TXBaseDataSet::kRecordSlack >= 8);
    if (rec == ds.active_.data() && n <= kShort) {
      char buf[kShort + 8];
      for (size_t i = 0; i < n; i += 8) word(p + i, buf + i);
      return std::string(buf, n);
    }
    std::string s(p, n);
    char* q = s.data();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) word(q + i, q + i);
    for (; i < n; ++i) q[i] = static_cast<char>(t[static_cast<uint8_t>(q[i])]);
    return s;
  }
  XBO_dBHandler& t = *ds.table_;
  int n = def_.DbfFieldNo;
  switch (def_.DataType) {
    case TxbFieldType::ftSmallint:
    case TxbFieldType::ftInteger:
    case TxbFieldType::ftLargeint: return platform::IntToStr(AsLargeInt());
    case TxbFieldType::ftFloat:
    case TxbFieldType::ftCurrency: return platform::FloatToStr(AsFloat());
    case TxbFieldType::ftDate: {
      int32_t j;
      if (!validDate8(std::string_view(reinterpret_cast<const char*>(rec) + offset_, length_), j)) return std::string();
      return platform::FormatDate(static_cast<double>(j - xbJulianOffset));
    }
    case TxbFieldType::ftDateTime: return IsNull() ? std::string() : platform::FormatDateTimeText(AsDateTime());
    case TxbFieldType::ftMemo:
    case TxbFieldType::ftBlob: {
      std::string s;
      auto it = ds.pendingBlobs_.find(n);
      if (it != ds.pendingBlobs_.end() && rec == ds.active_.data()) {
        s = it->second;
      } else {
        RecordPointer rp(&t, rec);
        s = t.MemoRead(n);
      }
      if (def_.DataType == TxbFieldType::ftMemo && ds.translate_) xbOemToAnsiBuf(s.data(), s.data(), s.size());
      return s;
    }
    default: {
      RecordPointer rp(&t, rec);
      return t.LogicGet(n) ? "True" : "False";
    }
  }
}

std::string TxbField::AsUtf8() const { return platform::Cp1251ToUtf8(AsString()); }

int64_t TxbField::AsLargeInt() const {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (def_.DataType == TxbFieldType::ftString) return platform::StrToInt64(AsString());
  if (!isNumberType(def_.DataType)) badAccess("LargeInt");
  if (Calculated()) {
    const TxbCalcValue* c = calcValue();
    return c ? integralOf(def_.DataType, c->number) : 0;
  }
  uint8_t* rec = ds.readBuffer();
  if (!rec) return 0;
  XBO_dBHandler& t = *ds.table_;
  // Numbers are read straight from the record image; the table pointer is not moved.
  return integralOf(def_.DataType, t.NumberAt(def_.DbfFieldNo, rec));
}

int32_t TxbField::AsInteger() const {
  if (def_.DataType == TxbFieldType::ftString) return platform::StrToInt(AsString());
  if (!isNumberType(def_.DataType)) badAccess("Integer");
  return checked_cast<int32_t>(AsLargeInt());
}

double TxbField::AsFloat() const {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (def_.DataType == TxbFieldType::ftString) return platform::StrToFloat(AsString());
  if (def_.DataType == TxbFieldType::ftBoolean || def_.DataType == TxbFieldType::ftMemo ||
      def_.DataType == TxbFieldType::ftBlob)
    badAccess("Float");
  if (def_.DataType == TxbFieldType::ftDate || def_.DataType == TxbFieldType::ftDateTime) return AsDateTime();
  if (Calculated()) {
    const TxbCalcValue* c = calcValue();
    return c ? c->number : 0;
  }
  uint8_t* rec = ds.readBuffer();
  if (!rec) return 0;
  return ds.table_->NumberAt(def_.DbfFieldNo, rec);
}

platform::TDateTime TxbField::AsDateTime() const {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (def_.DataType == TxbFieldType::ftString) {
    std::string s = AsString();
    platform::TDateTime d;
    if (!platform::TryStrToDateTime(s, d)) throw platform::EConvertError("'" + s + "' is not a valid date and time");
    return d;
  }
  if (def_.DataType != TxbFieldType::ftDate && def_.DataType != TxbFieldType::ftDateTime) badAccess("DateTime");
  if (Calculated()) {
    const TxbCalcValue* c = calcValue();
    return c ? c->number : 0;
  }
  uint8_t* rec = ds.readBuffer();
  if (!rec) return 0;
  if (def_.DataType == TxbFieldType::ftDate) {
    int32_t j;
    if (!validDate8(std::string_view(reinterpret_cast<const char*>(rec) + offset_, length_), j))
      return 0;   // null date: 30.12.1899
    return static_cast<double>(j - xbJulianOffset);
  }
  double ms = ds.table_->NumberAt(def_.DbfFieldNo, rec);
  if (ms == 0) return 0;
  return ms / 86400000.0 - platform::kDateDelta;
}

bool TxbField::AsBoolean() const {
  TXBaseDataSet& ds = *ds_;
  ds.checkActive();
  if (def_.DataType == TxbFieldType::ftString) return truthText(AsString());
  if (def_.DataType != TxbFieldType::ftBoolean) badAccess("Boolean");
  if (Calculated()) {
    const TxbCalcValue* c = calcValue();
    return c && c->number != 0;
  }
  uint8_t* rec = ds.readBuffer();
  if (!rec) return false;
  XBO_dBHandler& t = *ds.table_;
  RecordPointer rp(&t, rec);
  return t.LogicGet(def_.DbfFieldNo);
}

void TxbField::SetAsString(std::string_view text) {
  TXBaseDataSet& ds = *ds_;
  if (Calculated()) {
    std::string tr = platform::Trim(text);
    if (def_.DataType == TxbFieldType::ftString) {
      TxbCalcValue& c = calcSlot();
      c.text.assign(text.substr(0, def_.Size > 0 ? static_cast<size_t>(def_.Size) : text.size()));
    } else if (tr.empty()) {
      Clear();
      return;
    } else if (def_.DataType == TxbFieldType::ftBoolean) {
      calcSlot().number = truthText(tr) ? 1 : 0;
    } else if (def_.DataType == TxbFieldType::ftDate) {
      calcSlot().number = platform::StrToDate(tr);
    } else if (def_.DataType == TxbFieldType::ftDateTime) {
      platform::TDateTime d;
      if (!platform::TryStrToDateTime(tr, d)) throw platform::EConvertError("'" + tr + "' is not a valid date and time");
      calcSlot().number = d;
    } else {
      calcSlot().number = platform::StrToFloat(tr);
    }
    ds.fieldWritten(*this);
    return;
  }
  switch (def_.DataType) {
    case TxbFieldType::ftDate: {
      std::string tr = platform::Trim(text);
      if (tr.empty()) {
        Clear();
        return;
      }
      SetAsDateTime(platform::StrToDate(tr));
      return;
    }
    case TxbFieldType::ftBoolean: SetAsBoolean(truthText(text)); return;
    case TxbFieldType::ftString:
    case TxbFieldType::ftMemo:
    case TxbFieldType::ftBlob: break;
    default: {
      std::string tr = platform::Trim(text);
      SetAsFloat(tr.empty() ? 0.0 : platform::StrToFloat(tr));
      return;
    }
  }
  uint8_t* rec = ds.writeBuffer(*this);
  XBO_dBHandler& t = *ds.table_;
  std::string s(text);
  if (def_.DataType != TxbFieldType::ftBlob && ds.translate_) xbAnsiToOemBuf(s.data(), s.data(), s.size());
  if (def_.DataType == TxbFieldType::ftString) {
    RecordPointer rp(&t, rec);
    t.StringPut(def_.DbfFieldNo, s);
  } else {
    ds.pendingBlobs_[def_.DbfFieldNo] = std::move(s);   // to the memo file at Post
  }
  ds.fieldWritten(*this);
}

void TxbField::SetAsInteger(int64_t v) { SetAsFloat(static_cast<double>(v)); }

void TxbField::SetAsFloat(double v) {
  TXBaseDataSet& ds = *ds_;
  if (def_.DataType == TxbFieldType::ftDate || def_.DataType == TxbFieldType::ftDateTime) {
    SetAsDateTime(v);
    return;
  }
  if (def_.DataType == TxbFieldType::ftMemo || def_.DataType == TxbFieldType::ftBlob) badAccess("Float");
  if (def_.DataType == TxbFieldType::ftString) {
    SetAsString(platform::FloatToStr(v));
    return;
  }
  if (Calculated()) {
    calcSlot().number = def_.DataType == TxbFieldType::ftBoolean ? (v != 0 ? 1 : 0) : v;
    ds.fieldWritten(*this);
    return;
  }
  uint8_t* rec = ds.writeBuffer(*this);
  XBO_dBHandler& t = *ds.table_;
  {
    RecordPointer rp(&t, rec);
    if (def_.DataType == TxbFieldType::ftBoolean)
      t.LogicPut(def_.DbfFieldNo, v != 0);
    else
      t.NumberPut(def_.DbfFieldNo, v);
  }
  ds.fieldWritten(*this);
}

void TxbField::SetAsDateTime(platform::TDateTime v) {
  TXBaseDataSet& ds = *ds_;
  if (def_.DataType != TxbFieldType::ftDate && def_.DataType != TxbFieldType::ftDateTime) badAccess("DateTime");
  if (Calculated()) {
    calcSlot().number = def_.DataType == TxbFieldType::ftDate ? std::floor(v) : v;
    ds.fieldWritten(*this);
    return;
  }
  uint8_t* rec = ds.writeBuffer(*this);
  XBO_dBHandler& t = *ds.table_;
  {
    RecordPointer rp(&t, rec);
    if (def_.DataType == TxbFieldType::ftDate) {
      int64_t j = static_cast<int64_t>(std::floor(v)) + xbJulianOffset;
      t.DatePut(def_.DbfFieldNo, (j < xbJulianMin || j > xbJulianMax) ? 0 : static_cast<int32_t>(j));
    } else {
      t.NumberPut(def_.DbfFieldNo, v == 0 ? 0.0 : std::round((v + platform::kDateDelta) * 86400000.0));
    }
  }
  ds.fieldWritten(*this);
}

void TxbField::SetAsBoolean(bool v) {
  if (def_.DataType != TxbFieldType::ftBoolean) badAccess("Boolean");
  SetAsFloat(v ? 1 : 0);
}

void TxbField::Clear() {
  TXBaseDataSet& ds = *ds_;
  if (Calculated()) {
    calcSlot() = TxbCalcValue{};
    ds.fieldWritten(*this);
    return;
  }
  uint8_t* rec = ds.writeBuffer(*this);
  XBO_dBHandler& t = *ds.table_;
  if (def_.DataType == TxbFieldType::ftMemo || def_.DataType == TxbFieldType::ftBlob) {
    ds.pendingBlobs_[def_.DbfFieldNo].clear();   // an empty memo at Post
  } else {
    RecordPointer rp(&t, rec);
    switch (def_.DataType) {
      case TxbFieldType::ftString: t.StringPut(def_.DbfFieldNo, ""); break;
      case TxbFieldType::ftDate: t.DatePut(def_.DbfFieldNo, 0); break;
      case TxbFieldType::ftBoolean: t.LogicPut(def_.DbfFieldNo, false); break;
      default: t.NumberPut(def_.DbfFieldNo, 0); break;
    }
  }
  ds.fieldWritten(*this);
}

}  // namespace xb
