#include "xbase/xb_indx.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

#include "platform/strutil.h"
#include "xbase/SysXBase.h"
#include "xbase/checked.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"
#include "xbase/xb_sort.h"
#include "xbase/xb_sql.h"

namespace xb {

// ---------------------------------------------------------------- key evaluation

namespace {

std::string trimBlanks(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

// Field names joined by '+'.
class TxbFieldKey : public IxbKeyEvaluator {
public:
  explicit TxbFieldKey(std::vector<TxbFieldDesc> fields) : fields_(std::move(fields)) {}
  TxbKeyValue Evaluate(const uint8_t* record) override {
    TxbKeyValue v;
    if (fields_.size() == 1 && fields_[0].Type != 'C') {
      const TxbFieldDesc& f = fields_[0];
      std::string_view raw(reinterpret_cast<const char*>(record) + f.Offset, f.Length);
      std::string t = platform::Trim(std::string(raw));
      switch (f.Type) {
        case 'D':
          v.type = 'D';
          if (!xbParseDate(t, v.julian)) v.julian = 0;
          v.length = 8;
          break;
        case 'L':
          v.type = 'L';
          v.text.assign(1, (!t.empty() && xbIsTrueChar(t[0])) ? 'T' : 'F');
          v.length = 1;
          break;
        default:
          v.type = 'N';
          if (!xbParseNumber(t, v.number)) v.number = 0;
          v.length = static_cast<int>(f.Length);
          v.decimals = f.Decimals;
          break;
      }
      return v;
    }
    for (const TxbFieldDesc& f : fields_) v.text.append(reinterpret_cast<const char*>(record) + f.Offset, f.Length);
    v.length = static_cast<int>(v.text.size());
    return v;
  }

private:
  std::vector<TxbFieldDesc> fields_;
};

}  // namespace

std::unique_ptr<IxbKeyEvaluator> xbFieldKeyCompiler(XBO_dBHandler& table, const std::string& text) {
  std::vector<TxbFieldDesc> fields;
  std::string_view rest = text;
  while (true) {
    size_t plus = rest.find('+');
    std::string name = platform::Trim(std::string(rest.substr(0, plus)));
    int n = table.FieldNo(name);
    if (name.empty() || n == 0) return nullptr;
    const TxbFieldDesc* d = table.FieldDesc(n);
    if (!d || !std::strchr("CNFDL", d->Type)) return nullptr;
    fields.push_back(*d);
    if (plus == std::string_view::npos) break;
    rest = rest.substr(plus + 1);
  }
  if (fields.size() > 1)
    for (const TxbFieldDesc& f : fields)
      if (f.Type != 'C') return nullptr;
  return std::make_unique<TxbFieldKey>(std::move(fields));
}

namespace {

// A key or FOR expression of the expression language, evaluated on a record buffer.
class TxbExpKey : public IxbKeyEvaluator {
public:
  TxbExpKey(XBO_dBHandler& table, const std::string& text) : table_(table), exp_(table, text) {
    std::string first = platform::Trim(text);
    first = first.substr(0, first.find(' '));
    int n = table.FieldNo(first);
    const TxbFieldDesc* f = n ? table.FieldDesc(n) : nullptr;
    if (f && platform::SameText(first, platform::Trim(text)) && (f->Type == 'N' || f->Type == 'F')) {
      length_ = static_cast<int>(f->Length);
      decimals_ = f->Decimals;
    }
  }
  TxbKeyValue Evaluate(const uint8_t* record) override {
    uint8_t* saved = table_.CurRecord;
    table_.SetCurRecord(const_cast<uint8_t*>(record));
    struct Restore {
      XBO_dBHandler& t;
      uint8_t* p;
      ~Restore() { t.CurRecord = p; }
    } restore{table_, saved};
    TxbExpValue v;
    int type = 0;
    exp_.Evaluate(v, type);
    TxbKeyValue k;
    switch (type) {
      case etNumber:
      case etInteger:
      case etDateTime:
        k.type = 'N';
        k.number = v.IsNull() ? 0 : v.AsNumber();
        k.length = length_;
        k.decimals = decimals_;
        break;
      case etDate: {
        k.type = 'D';
        double d = v.IsNull() ? 0 : v.AsNumber();
        k.julian = (d >= 1 && d <= xbJulianMax) ? static_cast<int32_t>(std::nearbyint(d)) : 0;
        k.length = 8;
        break;
      }
      case etBoolean:
        k.type = 'L';
        k.text.assign(1, !v.IsNull() && v.AsBoolean() ? 'T' : 'F');
        k.length = 1;
        break;
      case etText:
      case etMemo:
        k.text = v.IsNull() ? std::string() : v.AsText();
        k.length = static_cast<int>(k.text.size());
        break;
      default:
        xbRaise(msg::ExpCannotEvaluate);
    }
    return k;
  }

private:
  XBO_dBHandler& table_;
  TxbExpHandler exp_;
  int length_ = 0, decimals_ = 0;
};

}  // namespace

std::unique_ptr<IxbKeyEvaluator> xbExpressionKeyCompiler(XBO_dBHandler& table, const std::string& text) {
  return std::make_unique<TxbExpKey>(table, text);
}

TxbKeyCompiler& xbKeyCompiler() {
  static TxbKeyCompiler c = xbExpressionKeyCompiler;
  return c;
}

const uint8_t*& xbCollationTable() {
  static const uint8_t* t = nullptr;
  return t;
}

// ---------------------------------------------------------------- value helpers

std::string xbSortableDouble(double v) {
  if (v == 0) v = 0;   // -0 sorts as 0
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  if (bits >> 63)
    bits = ~bits;
  else
    bits |= uint64_t{1} << 63;
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[static_cast<size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
  return s;
}

double xbDoubleFromSortable(std::string_view s) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) bits = (bits << 8) | (i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
  if (bits >> 63)
    bits &= ~(uint64_t{1} << 63);
  else
    bits = ~bits;
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::string xbNumberText(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

bool xbParseNumber(std::string_view text, double& v) {
  std::string t = platform::Trim(std::string(text));
  if (t.empty()) return false;
  const char* b = t.data();
  if (*b == '+') ++b;
  auto r = std::from_chars(b, t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(v);
}

bool xbParseDate(std::string_view text, int32_t& julian) {
  std::string t = platform::Trim(std::string(text));
  if (t.empty() || t == "00000000") {
    julian = 0;
    return true;
  }
  if (t.size() != 8 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  int y = std::stoi(t.substr(0, 4)), m = std::stoi(t.substr(4, 2)), d = std::stoi(t.substr(6, 2));
  if (!xbValidYMD(y, m, d)) return false;
  julian = xbJulianFromYMD(y, m, d);
  return true;
}

// ---------------------------------------------------------------- tree builder

uint32_t xbBuildTree(const std::vector<TxbIndexEntry>& entries, size_t maxLeaf, size_t maxInterior,
                     bool keysInInterior, const TxbPageWriter& writePage) {
  if (maxLeaf < 2 || maxInterior < 2) throw ERangeError();
  std::vector<TxbBuildItem> cur;
  cur.reserve(entries.size());
  for (const TxbIndexEntry& e : entries) cur.push_back({e.key, e.recNo, 0});
  uint32_t tail = 0;
  bool leaf = true;
  if (!keysInInterior) {
    if (cur.size() <= maxLeaf) return writePage(cur, 0, true);
    size_t n = cur.size(), p = (n + maxLeaf - 1) / maxLeaf, base = n / p, extra = n % p, idx = 0;
    std::vector<TxbBuildItem> up;
    for (size_t j = 0; j < p; ++j) {
      size_t c = base + (j < extra ? 1 : 0);
      std::vector<TxbBuildItem> page(cur.begin() + static_cast<ptrdiff_t>(idx),
                                     cur.begin() + static_cast<ptrdiff_t>(idx + c));
      idx += c;
      uint32_t addr = writePage(page, 0, true);
      if (j + 1 < p)
        up.push_back({page.back().key, 0, addr});
      else
        tail = addr;
    }
    cur = std::move(up);
    leaf = false;
  }
  for (int level = 0;; ++level) {
    if (level > 64) throw ERangeError();
    size_t max = leaf ? maxLeaf : maxInterior;
    if (cur.size() <= max) return writePage(cur, tail, leaf);
    size_t n = cur.size(), p = (n + 1 + max) / (max + 1);
    size_t inPages = n - (p - 1), base = inPages / p, extra = inPages % p, idx = 0;
    std::vector<TxbBuildItem> up;
    uint32_t lastAddr = 0;
    for (size_t j = 0; j < p; ++j) {
      size_t c = base + (j < extra ? 1 : 0);
      std::vector<TxbBuildItem> page(cur.begin() + static_cast<ptrdiff_t>(idx),
                                     cur.begin() + static_cast<ptrdiff_t>(idx + c));
      idx += c;
      if (j + 1 < p) {
        const TxbBuildItem& sep = cur[idx++];
        uint32_t addr = writePage(page, sep.child, leaf);
        up.push_back({sep.key, sep.recNo, addr});
      } else {
        lastAddr = writePage(page, tail, leaf);
      }
    }
    cur = std::move(up);
    tail = lastAddr;
    leaf = false;
  }
}

// ---------------------------------------------------------------- tag

int XBobjIndexTag::cmpKey(std::string_view a, std::string_view b) const {
  int c = a.compare(b);
  c = c < 0 ? -1 : (c > 0 ? 1 : 0);
  return Descending ? -c : c;
}

bool XBobjIndexTag::Less(const TxbIndexEntry& a, const TxbIndexEntry& b) const {
  int c = cmpKey(a.key, b.key);
  if (c != 0) return c < 0;
  return RecordOrder && a.recNo < b.recNo;
}

void XBobjIndexTag::Prepare(XBO_dBHandler& table) {
  auto compile = [&](const std::string& text, const char* error) {
    std::unique_ptr<IxbKeyEvaluator> e;
    try {
      e = xbKeyCompiler()(table, text);
    } catch (const platform::Exception&) {
      e.reset();
    }
    if (!e) xbRaise(error, {text, file_.FileName()});
    return e;
  };
  keyEval_ = compile(KeyExpr, msg::IndexKeyExpression);
  forEval_.reset();
  if (!platform::Trim(ForExpr).empty()) forEval_ = compile(ForExpr, msg::IndexForExpression);
}

TxbKeyValue XBobjIndexTag::ProbeKey(XBO_dBHandler& table) {
  std::vector<uint8_t> blank(table.RecordLength + 1, ' ');
  return keyEval_->Evaluate(blank.data());
}

bool XBobjIndexTag::KeyFor(const uint8_t* record, std::string& key) {
  if (forEval_) {
    TxbKeyValue f = forEval_->Evaluate(record);
    if (f.type != 'L' || f.text.size() != 1 || f.text[0] != 'T') return false;
  }
  key = MakeKey(keyEval_->Evaluate(record));
  if (key.size() != static_cast<size_t>(KeyLength)) throw ERangeError();
  return true;
}

void XBobjIndexTag::SetEntries(std::vector<TxbIndexEntry> entries) {
  byRec_.clear();
  for (size_t i = 0; i < entries.size(); ++i) {
    const TxbIndexEntry& e = entries[i];
    if (e.key.size() != static_cast<size_t>(KeyLength) || e.recNo < 1) xbRaise(msg::IndexCorrupted, {file_.FileName()});
    if (i > 0 && cmpKey(e.key, entries[i - 1].key) < 0) xbRaise(msg::IndexOrderBad, {file_.FileName()});
    if (!byRec_.emplace(e.recNo, e.key).second) xbRaise(msg::IndexCorrupted, {file_.FileName()});
  }
  entries_ = std::move(entries);
  pos_ = entries_.empty() ? -1 : 0;
}

void XBobjIndexTag::Build(XBO_dBHandler& table) {
  TxbSort sorter(std::max(KeyLength, 1), nullptr, !Descending, Unique);
  int32_t saved = table.RecNo;
  uint32_t count = table.RecordCount;
  std::string key;
  for (uint32_t n = 1; n <= count; ++n) {
    table.XBO_dBaseDBF::GoTo(static_cast<int32_t>(n));
    if (table.RecNo != static_cast<int32_t>(n)) break;
    if (!KeyFor(table.CurRecord, key)) continue;
    TxbVariant v;
    v.SetRaw(key.data(), key.size());
    sorter.AddKey(v, static_cast<int32_t>(n));
  }
  if (saved >= 1 && saved <= static_cast<int32_t>(table.RecordCount)) table.XBO_dBaseDBF::GoTo(saved);
  std::vector<TxbIndexEntry> out;
  TxbVariant v;
  int32_t r = 0;
  while (sorter.NextKey(v, r)) {
    std::string k(reinterpret_cast<const char*>(v.Data()), v.Length());
    k.resize(static_cast<size_t>(KeyLength), '\0');   // raw keys keep their length; no fill happens
    out.push_back({std::move(k), r});
  }
  SetEntries(std::move(out));
}

bool XBobjIndexTag::UpdateRecord(int32_t recNo, const uint8_t* record) {
  std::string key;
  bool want = KeyFor(record, key);
  auto old = byRec_.find(recNo);
  if (old != byRec_.end() && want && old->second == key) return false;
  bool changed = false;
  auto keyLess = [this](const TxbIndexEntry& e, const std::string& k) { return cmpKey(e.key, k) < 0; };
  if (old != byRec_.end()) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), old->second, keyLess);
    while (it != entries_.end() && it->key == old->second && it->recNo != recNo) ++it;
    if (it != entries_.end() && it->recNo == recNo) entries_.erase(it);
    byRec_.erase(old);
    changed = true;
  }
  if (want) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key, keyLess);
    bool exists = it != entries_.end() && it->key == key;
    if (!(Unique && exists)) {
      while (it != entries_.end() && it->key == key && (!RecordOrder || it->recNo < recNo)) ++it;
      it = entries_.insert(it, TxbIndexEntry{key, recNo});
      byRec_[recNo] = key;
      pos_ = it - entries_.begin();
      changed = true;
    }
  }
  if (pos_ >= static_cast<int64_t>(entries_.size())) pos_ = static_cast<int64_t>(entries_.size()) - 1;
  return changed;
}

std::string XBobjIndexTag::SeekForm(std::string_view text) const {
  if (KeyType == 'N' || KeyType == 'D') {
    TxbKeyValue v;
    v.type = KeyType;
    bool ok = KeyType == 'N' ? xbParseNumber(text, v.number) : xbParseDate(text, v.julian);
    if (!ok) xbRaise(msg::InvalidValue, {KeyType == 'N' ? "numeric" : "date", Name});
    v.length = KeyLength;
    v.decimals = Decimals;
    return MakeKey(v);
  }
  std::string t(text);
  if (file_.Table().TranslateOEM) t = xbAnsiToOemStr(t);
  if (t.size() > static_cast<size_t>(KeyLength)) t.resize(static_cast<size_t>(KeyLength));
  return t;
}

std::string XBobjIndexTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'N') return xbNumberText(xbDoubleFromSortable(key));
  if (KeyType == 'D') {
    double d = xbDoubleFromSortable(key);
    if (!(d >= 1 && d <= xbJulianMax)) return std::string();
    return xbDBFDate().JulianToDBFStr(static_cast<int32_t>(d));
  }
  std::string t = trimBlanks(key);
  if (file_.Table().TranslateOEM) t = xbOemToAnsiStr(t);
  return t;
}

bool XBobjIndexTag::inRange(size_t i) const {
  if (!hasRange_) return true;
  const std::string& k = entries_[i].key;
  if (!low_.empty() && cmpKey(k, low_) < 0) return false;
  if (!high_.empty()) {
    std::string_view kv = k;
    if (rangePartial_ && KeyType == 'C')
      kv = kv.substr(0, std::min(kv.size(), high_.size()));
    else if (KeyType == 'C')
      while (!kv.empty() && kv.back() == ' ') kv.remove_suffix(1);
    if (cmpKey(kv, high_) > 0) return false;
  }
  return true;
}

size_t XBobjIndexTag::lowerBound(std::string_view seek) const {
  auto it = std::partition_point(entries_.begin(), entries_.end(),
                                 [&](const TxbIndexEntry& e) { return cmpKey(e.key, seek) < 0; });
  return static_cast<size_t>(it - entries_.begin());
}

TxbTagMove XBobjIndexTag::Move(int32_t code) {
  size_t lo = 0, hi = entries_.size();
  if (hasRange_) {
    lo = low_.empty() ? 0 : lowerBound(low_);
    auto it = std::partition_point(entries_.begin() + static_cast<ptrdiff_t>(lo), entries_.end(),
                                   [&](const TxbIndexEntry& e) { return inRange(static_cast<size_t>(&e - entries_.data())); });
    hi = static_cast<size_t>(it - entries_.begin());
  }
  if (lo >= hi) {
    pos_ = -1;
    return {0, true, true};
  }
  const int64_t l = static_cast<int64_t>(lo), h = static_cast<int64_t>(hi) - 1;
  bool outside = pos_ < l || pos_ > h;
  switch (code) {
    case -3: pos_ = l; break;
    case -4: pos_ = h; break;
    case -1:
      if (pos_ < l) { pos_ = l; break; }
      if (pos_ >= h) { pos_ = h; return {entries_[static_cast<size_t>(pos_)].recNo, true, false}; }
      ++pos_;
      break;
    case -2:
      if (pos_ > h) { pos_ = h; break; }
      if (pos_ <= l) { pos_ = l; return {entries_[static_cast<size_t>(pos_)].recNo, false, true}; }
      --pos_;
      break;
    default:
      if (outside) pos_ = l;
      break;
  }
  return {entries_[static_cast<size_t>(pos_)].recNo, false, false};
}

int32_t XBobjIndexTag::SeekKey(std::string_view key) {
  std::string seek = SeekForm(key);
  lastSeekText_ = std::string(key);
  lastSeekKey_ = seek;
  size_t i = lowerBound(seek);
  if (hasRange_ && i < entries_.size() && !inRange(i)) i = entries_.size();
  if (i >= entries_.size()) {
    pos_ = static_cast<int64_t>(entries_.size()) - 1;
    return 0;
  }
  pos_ = static_cast<int64_t>(i);
  return entries_[i].recNo;
}

std::string XBobjIndexTag::CurrentKey() const {
  if (pos_ < 0 || pos_ >= static_cast<int64_t>(entries_.size())) return std::string();
  const std::string& k = entries_[static_cast<size_t>(pos_)].key;
  if (KeyType != 'C' && k == lastSeekKey_) return lastSeekText_;
  return DisplayKey(k);
}

void XBobjIndexTag::TakeOver(XBobjIndexTag& fresh) {
  int32_t rec = CurrentRecord();
  KeyExpr = fresh.KeyExpr;
  ForExpr = fresh.ForExpr;
  KeyType = fresh.KeyType;
  KeyLength = fresh.KeyLength;
  Decimals = fresh.Decimals;
  Unique = fresh.Unique;
  Descending = fresh.Descending;
  RecordOrder = fresh.RecordOrder;
  HeaderPos = fresh.HeaderPos;
  keyEval_ = std::move(fresh.keyEval_);
  forEval_ = std::move(fresh.forEval_);
  entries_ = std::move(fresh.entries_);
  byRec_ = std::move(fresh.byRec_);
  lastSeekKey_.clear();
  lastSeekText_.clear();
  if (rec < 1 || !SyncTo(rec)) pos_ = entries_.empty() ? -1 : std::min<int64_t>(pos_, static_cast<int64_t>(entries_.size()) - 1);
}

bool XBobjIndexTag::SyncTo(int32_t recNo) {
  auto it = byRec_.find(recNo);
  if (it == byRec_.end()) return false;
  for (size_t i = lowerBound(it->second); i < entries_.size() && entries_[i].key == it->second; ++i)
    if (entries_[i].recNo == recNo) {
      if (hasRange_ && !inRange(i)) return false;
      pos_ = static_cast<int64_t>(i);
      return true;
    }
  return false;
}

int32_t XBobjIndexTag::CurrentRecord() const {
  if (pos_ < 0 || pos_ >= static_cast<int64_t>(entries_.size())) return 0;
  return entries_[static_cast<size_t>(pos_)].recNo;
}

bool XBobjIndexTag::AtEnd() const { return pos_ < 0 || pos_ >= static_cast<int64_t>(entries_.size()) - 1; }

bool XBobjIndexTag::SetRange(std::string_view low, std::string_view high, bool partial) {
  std::string l = low.empty() ? std::string() : SeekForm(trimBlanks(low));
  std::string h = high.empty() ? std::string() : SeekForm(trimBlanks(high));
  if (KeyType == 'C') {
    l = trimBlanks(l);
    h = trimBlanks(h);
  }
  bool changed = !hasRange_ || l != low_ || h != high_ || partial != rangePartial_;
  low_ = std::move(l);
  high_ = std::move(h);
  rangePartial_ = partial;
  hasRange_ = !low_.empty() || !high_.empty();
  if (changed) Move(-3);
  return changed;
}

void XBobjIndexTag::ClearRange() {
  hasRange_ = false;
  low_.clear();
  high_.clear();
}

// ---------------------------------------------------------------- file

XBobjIndexFile::XBobjIndexFile(XBO_dBHandler& table, const std::string& fileName)
    : table_(table), fileName_(fileName) {
  protocol_ = table.LockProtocol;
}

void XBobjIndexFile::finish() noexcept {
  try {
    if (Dirty && disk_ && disk_->ReadWrite) Save();
  } catch (...) {
  }
  Dirty = false;
}

XBobjIndexFile::~XBobjIndexFile() {
  if (disk_) {
    try {
      while (lockHeld_ && disk_->LockCount > 0) disk_->Unlock();
    } catch (...) {
    }
  }
}

void XBobjIndexFile::openDisk(bool create) {
  disk_ = std::make_unique<XBO_DiskFile>(fileName_, create ? true : table_.ReadWrite, create ? false : table_.Shared);
  if (create)
    disk_->Create();
  else
    disk_->Open();
  fileName_ = disk_->FileName;
}

void XBobjIndexFile::corrupt() const { xbRaise(msg::IndexCorrupted, {fileName_}); }
void XBobjIndexFile::badPage(int64_t pos) const { xbRaise(msg::IndexPageBad, {fileName_, pos}); }

void XBobjIndexFile::readExact(int64_t pos, void* buf, size_t n) {
  if (pos < 0 || disk_->Read(pos, buf, static_cast<int64_t>(n)) != static_cast<int64_t>(n)) badPage(pos);
}

void XBobjIndexFile::checkPage(Walk& w, int64_t pos, int64_t size, int64_t fileSize) {
  if (pos <= 0 || pos > fileSize - size) badPage(pos);
  if (!w.seen.insert(pos).second) badPage(pos);   // a page met twice: a cycle or a shared page
}

void XBobjIndexFile::writeAll(const std::vector<uint8_t>& image) {
  if (!disk_->ReadWrite) xbRaise(msg::IndexReadOnly, {fileName_});
  int64_t old = disk_->FileSize();
  disk_->Write(0, image.data(), static_cast<int64_t>(image.size()));
  if (old > static_cast<int64_t>(image.size()) && disk_->FullAccess()) disk_->Truncate(static_cast<int64_t>(image.size()));
  if (table_.AutoFlush) disk_->Flush();
  Dirty = false;
  noteFileState();
}

void XBobjIndexFile::noteFileState() {
  struct stat st;
  if (disk_ && disk_->Handle >= 0 && ::fstat(disk_->Handle, &st) == 0) {
    seenSize_ = st.st_size;
    seenTime_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
}

bool XBobjIndexFile::ChangedExternally() {
  if (!disk_ || !disk_->Shared || disk_->Handle < 0) return false;
  struct stat st;
  if (::fstat(disk_->Handle, &st) != 0) return false;
  return st.st_size != seenSize_ ||
         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec != seenTime_;
}

XBobjIndexTag* XBobjIndexFile::TagByName(std::string_view name) {
  for (auto& t : tags_)
    if (platform::SameText(t->Name, platform::Trim(std::string(name)))) return t.get();
  return nullptr;
}

void XBobjIndexFile::Reload() {
  std::vector<std::unique_ptr<XBobjIndexTag>> old = std::move(tags_);
  tags_.clear();
  try {
    Load();
  } catch (...) {
    for (auto& t : old) retired_.push_back(std::move(t));
    for (auto& t : retired_) t->SetEntries({});
    tags_.clear();
    throw;
  }
  for (auto& fresh : tags_) {
    for (auto& o : old) {
      if (o && o->Name == fresh->Name) {
        o->TakeOver(*fresh);
        fresh = std::move(o);
        break;
      }
    }
  }
  for (auto& o : old)
    if (o) {
      o->SetEntries({});
      retired_.push_back(std::move(o));
    }
}

bool XBobjIndexFile::TagDelete(const std::string& name) {
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if (platform::SameText((*it)->Name, platform::Trim(name))) {
      tags_.erase(it);
      Save();
      return true;
    }
  return false;
}

void XBobjIndexFile::Reindex() {
  for (auto& t : tags_) t->Build(table_);
  Save();
}

void XBobjIndexFile::Flush() {
  if (Dirty) Save();
  if (disk_ && disk_->ReadWrite) disk_->Flush();
}

void XBobjIndexFile::UpdateKeys(int32_t recNo) {
  if (recNo < 1) return;
  bool changed = false;
  for (auto& t : tags_) changed = t->UpdateRecord(recNo, table_.CurRecord) || changed;
  if (changed) Dirty = true;
  // A shared file is written at once, so that other programs see the change; a file
  // opened for this program alone is written when the table flushes or closes it.
  if (Dirty && locks_ == 0 && disk_->Shared) Save();
}

TxbLockSpan XBobjIndexFile::IndexLockSpan(int protocol) {
  switch (protocol) {
    case DB4Lock: return {0xEFFFFFFFull - 1, 2};
    case ClipLock: return {1000000000ull, 1};
    default: return {0x7FFFFFFEull - 1, 1};
  }
}

bool XBobjIndexFile::Lock() {
  if (locks_ > 0) {
    ++locks_;
    return true;
  }
  if (disk_->Shared) {
    TxbLockSpan s = IndexLockSpan(protocol_);
    int tries = xbLockRetry().tries();
    bool ok = false;
    for (int i = 0; i < tries && !ok; ++i) {
      ok = disk_->LockRange(s.offset, s.length);
      if (!ok && i + 1 < tries) xbSleep(xbLockRetry().intervalMs);
    }
    if (!ok) return false;
    lockHeld_ = true;
    try {
      if (!Dirty && ChangedExternally()) Reload();
    } catch (...) {
      disk_->Unlock();
      lockHeld_ = false;
      throw;
    }
  }
  locks_ = 1;
  return true;
}

void XBobjIndexFile::Unlock() {
  if (locks_ == 0) return;
  if (--locks_ > 0) return;
  struct G {
    XBobjIndexFile* f;
    ~G() {
      if (f->lockHeld_) {
        f->lockHeld_ = false;
        try {
          f->disk_->Unlock();
        } catch (...) {
        }
      }
    }
  } g{this};
  if (Dirty && disk_->Shared) Save();
}

bool XBobjIndexFile::Rename(const std::string& newName) {
  bool r = disk_->Rename(newName);
  fileName_ = disk_->FileName;
  return r;
}

void xbRegisterBuiltinIndexes(std::map<std::string, TxbIndexFactory>& classes) {
  classes[".NTX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjNTXFile::OpenFile(h, f);
  };
  classes[".NDX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjNDXFile::OpenFile(h, f);
  };
  classes[".MDX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjMDXFile::OpenFile(h, f);
  };
  classes[".CDX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjCDXFile::OpenFile(h, f);
  };
}

}  // namespace xb
