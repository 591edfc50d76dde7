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
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_sql.h"

namespace xb {

namespace {
constexpr const char* kDefaultDirectory = "Default Directory";

std::string upperKey(std::string_view s) {
  std::string r(s);
  for (auto& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

// Points the table's current-record pointer at a buffer for one operation.
struct RecordPointer {
  XBO_dBHandler* t;
  RecordPointer(XBO_dBHandler* table, uint8_t* buffer) : t(table) { t->SetCurRecord(buffer); }
  ~RecordPointer() { t->SetCurRecord(nullptr); }
};

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

// Whether the translation table is the one oemLettersShifted computes for those bytes.
bool tableShiftsOemLetters(const uint8_t* t) {
  for (int c = 0; c < 0x100; ++c) {
    int expected = c < 0x80 ? c : c <= 0xAF ? c + 0x40 : (c >= 0xE0 && c <= 0xEF) ? c + 0x10 : t[c];
    if (t[c] != expected) return false;
  }
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

// Alias list

platform::TParams& TXBaseDataSet::AliasList() {
  static platform::TParams list = [] {
    platform::TParams p;
    platform::TIniFile ini(xbWindowsDirectory() + "xbase.cfg");
    try {
      ini.ReadSectionValues("Alias", p);
    } catch (const std::exception&) {
      // a missing or unreadable file gives an empty list
    }
    return p;
  }();
  return list;
}

void TXBaseDataSet::ReloadAliasList() {
  platform::TParams p;
  platform::TIniFile ini(xbWindowsDirectory() + "xbase.cfg");
  try {
    ini.ReadSectionValues("Alias", p);
  } catch (const std::exception&) {
  }
  AliasList() = p;
}

// Dataset

TXBaseDataSet::TXBaseDataSet() : oemToAnsi_(xbOemToAnsiTable()) {
  asciiKept_ = true;
  for (int c = 0; c < 0x80; ++c)
    if (oemToAnsi_[c] != c) asciiKept_ = false;
  lettersShifted_ = tableShiftsOemLetters(oemToAnsi_);
}

TXBaseDataSet::~TXBaseDataSet() {
  try {
    if (master_) {
      auto& d = master_->details_;
      d.erase(std::remove(d.begin(), d.end(), this), d.end());
    }
    master_ = nullptr;
    closeCursor();
  } catch (...) {
  }
  for (TXBaseDataSet* d : details_) {
    d->master_ = nullptr;
    try {
      d->masterDisabled();
    } catch (...) {
    }
  }
}

bool TXBaseDataSet::runChecked(const std::function<void()>& operation, const TDataSetErrorEvent& onError) {
  for (int retries = 0;; ++retries) {
    try {
      operation();
      return true;
    } catch (const platform::Exception& e) {
      TDataAction action = daFail;
      if (onError) onError(*this, e, action);
      if (action == daAbort) return false;
      if (action != daRetry || retries >= MaxErrorRetries) throw;
    }
  }
}

// Bookmarks

int32_t TXBaseDataSet::bookmarkRecNo(const TBookmark& bookmark) const {
  std::string_view text(bookmark.data(), bookmark.size());
  text = text.substr(0, text.find('\0'));
  size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return 0;
  text.remove_prefix(i);
  int32_t n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < 1) return 0;
  return n;
}

TBookmark TXBaseDataSet::GetBookmark() const {
  if (!table_ || !hasRecord_ || state_ == TxbDataSetState::dsInsert) return {};
  char text[16];
  auto [end, ec] = std::to_chars(text, text + sizeof text, recNo_);
  (void)ec;
  size_t len = static_cast<size_t>(end - text);
  TBookmark bm(len < 10 ? 10 - len : 0, ' ');
  bm.append(text, len);
  bm.push_back('\0');
  return bm;
}

void TXBaseDataSet::GotoBookmark(const TBookmark& bookmark) {
  checkActive();
  if (bookmark.empty()) return;
  if (!checkBrowseMode()) return;
  fire(BeforeScroll);
  int32_t n = bookmarkRecNo(bookmark);
  if (n == 0) xbRaiseDatabase("%s%s", {msg::BookmarkInvalid, tableName_});
  table_->GoTo(n);
  if (takeRecord()) eof_ = bof_ = false;
  scrolled();
}

bool TXBaseDataSet::BookmarkValid(const TBookmark& bookmark) const {
  checkActive();
  int32_t n = bookmarkRecNo(bookmark);
  return n >= 1 && static_cast<uint32_t>(n) <= table_->RecordCount;
}

int TXBaseDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty()) return b.empty() ? 0 : -1;
  if (b.empty()) return 1;
  int c = std::strcmp(a.c_str(), b.c_str());
  return (c > 0) - (c < 0);
}

void TXBaseDataSet::checkInactive() const {
  if (table_) xbRaiseDatabase(msg::DatasetOpen);
}

void TXBaseDataSet::raiseClosed() { xbRaiseDatabase(msg::ClosedDataset); }

void TXBaseDataSet::checkWritable() const {
  checkActive();
  if (readOnly_ || !table_->ReadWrite) xbRaiseDatabase(msg::ReadOnlyDataset);
}

bool TXBaseDataSet::checkBrowseMode() {
  checkActive();
  if (state_ == TxbDataSetState::dsEdit || state_ == TxbDataSetState::dsInsert) {
    if (modified_)
      Post();   // a failed post raises and the cursor stays
    else
      Cancel();
  }
  return state_ == TxbDataSetState::dsBrowse;
}

void TXBaseDataSet::SetDatabaseName(const std::string& value) {
  if (value == databaseName_) return;
  std::string v = value;
  if (!platform::SameText(v, kDefaultDirectory)) {
    while (v.size() > 1 && v.back() == '/') v.pop_back();
    if (!v.empty() && !AliasList().has(v)) AliasList().setValue(v, v);
  }
  checkInactive();
  databaseName_ = v;
}

std::string TXBaseDataSet::Translate(std::string_view src, bool toOem) const {
  std::string s(src);
  if (translate_) {
    if (toOem)
      xbAnsiToOemBuf(s.data(), s.data(), s.size());
    else
      xbOemToAnsiBuf(s.data(), s.data(), s.size());
  }
  return s;
}

std::string TXBaseDataSet::GetTableDirectory() const {
  std::string d;
  if (platform::SameText(databaseName_, kDefaultDirectory)) {
    d = platform::ExeDir();
  } else if (databaseName_.empty()) {
    return std::string();   // the current folder
  } else {
    std::string a = AliasList().value(databaseName_);
    d = a.empty() ? databaseName_ : a;
  }
  if (d.empty() || d.back() != '/') d += '/';
  return d;
}

void TXBaseDataSet::SetTableName(const std::string& value) {
  checkInactive();
  if (value != tableName_) indexFiles_.clear();   // the index files belonged to the old table
  tableName_ = value;
}

void TXBaseDataSet::SetReadOnly(bool value) {
  if (table_) {
    readOnly_ = (!value && table_->ReadWrite) ? false : true;
    return;
  }
  readOnly_ = value;
}

void TXBaseDataSet::SetTranslateASCII(bool value) {
  translate_ = value;
  if (table_) table_->TranslateOEM = value;
}

void TXBaseDataSet::SetExclusive(bool value) { exclusive_ = value; }   // takes effect at the next open

void TXBaseDataSet::SetLockProtocol(TxbLokProtocol value) {
  lockProtocol_ = value;
  if (table_) table_->SetLockProtocol(value);
}

void TXBaseDataSet::SetUseDeleted(bool value) {
  useDeleted_ = value;
  if (table_) table_->UseDeleted = value;
}

void TXBaseDataSet::SetAutoFlush(bool value) {
  autoFlush_ = value;
  if (table_) table_->AutoFlush = value;
}

void TXBaseDataSet::SetUserID(int32_t value) {
  userID_ = value;
  if (table_) table_->UserID = value;
}

void TXBaseDataSet::SetLargeIntegerAs(TxbIntFields value) { largeIntegerAs_ = value; }   // field types at the next open

void TXBaseDataSet::SetEncryptionKey(const std::string& value) {
  checkInactive();
  encryptionKey_ = value;
}

void TXBaseDataSet::SetFiltered(bool value) {
  if (!table_) {
    filtered_ = value;
    return;
  }
  if (!checkBrowseMode()) return;
  if (value != filtered_) {
    filtered_ = value;
    table_->EnableFilter(value);
    if (value) applyFilter();
  }
  First();
}

void TXBaseDataSet::SetFilter(const std::string& value) {
  filter_ = value;
  if (table_ && filtered_) {
    if (!checkBrowseMode()) return;
    applyFilter();
    First();
  }
}

void TXBaseDataSet::SetFilterOptions(bool caseInsensitive, bool noPartialCompare) {
  filterCaseInsensitive_ = caseInsensitive;
  filterNoPartial_ = noPartialCompare;
  if (table_ && filtered_) {
    if (!checkBrowseMode()) return;
    applyFilter();
    First();
  }
}

void TXBaseDataSet::applyFilter() {
  table_->EnableFilter(true);
  std::string text = filter_;
  if (translate_) xbAnsiToOemBuf(text.data(), text.data(), text.size());
  table_->SetFilter(text, filterCaseInsensitive_, !filterNoPartial_);
}

void TXBaseDataSet::Open() {
  if (table_) return;
  fire(BeforeOpen);
  if (tableName_.empty()) xbRaiseDatabase(msg::TableNameMissing);
  tableName_ = xbDefaultExt(tableName_, ".DBF");
  std::string full = GetTableDirectory() + tableName_;
  std::string resolved = xbResolveFileName(full);
  if (!xbFileExists(resolved)) xbRaiseDatabase(msg::CannotFindFile, {full});
  xbInstallExpressions();   // the Filter expressions, unless a compiler is registered already
  auto t = std::make_unique<XBO_dBHandler>(resolved, !readOnly_, !exclusive_, encryptionKey_);
  t->TranslateOEM = translate_;
  t->AutoFlush = autoFlush_;
  t->UseDeleted = useDeleted_;
  t->SetReadAhead(readOnly_);
  t->SetLockProtocol(lockProtocol_);
  t->UserID = userID_;
  t->StatusHook = [this](int32_t a, int32_t b, int32_t c) {
    if (OnStatus) OnStatus(a, b, c);
  };
  t->RecordFilterHook = [this]() {
    if (!filtered_ || !OnFilterRecord || !table_) return true;
    bool accept = true;
    // Field reads see the candidate record in the table's own buffer.
    struct Side {
      TXBaseDataSet& ds;
      uint8_t* rec;
      std::vector<TxbCalcValue>* calc;
      ~Side() { ds.sideRecord_ = rec; ds.sideCalc_ = calc; }
    } side{*this, sideRecord_, sideCalc_};
    sideRecord_ = table_->CurRecord;
    sideCalc_ = nullptr;
    OnFilterRecord(*this, accept);
    return accept;
  };
  table_ = std::move(t);
  try {
    buildFields();
    // Eight spare bytes behind the record let the field reads scan whole words.
    active_.assign(table_->RecordLength + 1 + kRecordSlack, ' ');
    keyBuffer_.assign(table_->RecordLength + 1, ' ');
    calcValues_.assign(calcDefs_.size(), TxbCalcValue{});
    state_ = TxbDataSetState::dsBrowse;
    modified_ = false;
    if (filtered_) applyFilter();
    if (!indexFiles_.empty()) openIndexFiles();
    UpdateIndexDefs();
    applyMasterRange();
    firstRecord();
  } catch (...) {
    closeCursor();
    throw;
  }
  fire(AfterOpen);
  if (hasRecord_) fire(AfterScroll);
  notifyDetails();
}

std::string TXBaseDataSet::indexPath(const std::string& entry, const char* ext) const {
  std::string name = xbDefaultExt(platform::Trim(entry), ext);
  std::string full = name.find('/') == std::string::npos ? GetTableDirectory() + name : name;
  std::string resolved = xbResolveFileName(full);
  if (!xbFileExists(resolved)) xbRaiseDatabase(msg::CannotFindFile, {full});
  return resolved;
}

void TXBaseDataSet::openOneIndex(const std::string& full) {
  try {
    table_->OpenIndex(full);
  } catch (const EXBaseError&) {
    xbRaiseDatabase(msg::ErrorGetting, {full});
  }
}

void TXBaseDataSet::openIndexFiles() {
  table_->CloseIndexes();
  indexDefs_.clear();
  for (const std::string& entry : indexFiles_) {
    if (platform::Trim(entry).empty()) continue;
    openOneIndex(indexPath(entry, ".ndx"));
  }
  table_->SelectTag(indexName_, false);
}

void TXBaseDataSet::SetIndexFiles(const std::vector<std::string>& files) {
  indexDefs_.clear();
  indexFiles_ = files;
  if (!table_) return;
  if (!checkBrowseMode()) return;
  fire(BeforeScroll);
  if (indexFiles_.empty()) {
    table_->CloseIndexes();
    indexName_.clear();
  } else {
    openIndexFiles();
  }
  UpdateIndexDefs();
  applyMasterRange();
  firstRecord();
  scrolled();
}

void TXBaseDataSet::AddIndexFile(const std::string& name) {
  if (!table_) {
    indexFiles_.push_back(name);
    return;
  }
  if (!checkBrowseMode()) return;
  std::string full = indexPath(name, ".NDX");
  for (int i = 1; i <= XBO_dBHandler::MaxIndexFiles; ++i) {
    IxbIndexFile* f = table_->IndexFile(i);
    if (f && f->FileName() == xbExpandFileName(full)) xbRaiseDatabase(msg::IndexAlreadyOpen, {full});
  }
  openOneIndex(full);
  indexFiles_.push_back(name);
  UpdateIndexDefs();
  SetIndexName(indexName_);
}

void TXBaseDataSet::UpdateIndexDefs() {
  indexDefs_.clear();
  if (!table_) return;
  for (int n = 1; n <= table_->TagCount(); ++n) {
    IxbIndexTag* tag = table_->TagByNumber(n);
    if (!tag) continue;
    TxbIndexDef d;
    d.Name = tag->TagName();
    std::string expr = tag->KeyExpression();
    if (expr.find('(') != std::string::npos) {
      d.Fields = expr;
      d.Expression = true;
    } else {
      for (char c : expr) {
        if (c == '+' || c == '-') d.Fields += ';';
        else if (c != ' ') d.Fields += c;
      }
    }
    indexDefs_.push_back(std::move(d));
  }
}

bool TXBaseDataSet::GetIsIndexField(const TxbField& field) {
  if (!table_ || !table_->MasterTag || field.Calculated()) return false;
  if (field.DataType() == TxbFieldType::ftMemo || field.DataType() == TxbFieldType::ftBlob) return false;
  std::string names = TxbExpHandler(*table_, table_->MasterTag->KeyExpression()).NamesOfKind(17);
  std::string want = upperKey(field.FieldName()) + ";";
  for (size_t at = 0; at < names.size();) {
    size_t semi = names.find(';', at);
    if (semi == std::string::npos) break;
    if (names.compare(at, semi + 1 - at, want) == 0) return true;
    at = semi + 1;
  }
  return false;
}

void TXBaseDataSet::SetIndexName(const std::string& name) {
  indexName_ = name;
  if (!table_) return;
  if (!checkBrowseMode()) return;
  table_->SelectTag(name, hasRecord_);
  applyMasterRange();
  if (table_->PositionDiffers || table_->Eof || table_->Bof || !takeRecord())
    firstRecord();
  else
    eof_ = bof_ = false;
  scrolled();
}

int TXBaseDataSet::GetTagCount() { return table_ ? table_->TagCount() : 0; }

std::string TXBaseDataSet::GetTagName(int n) {
  checkActive();
  IxbIndexTag* t = table_->TagByNumber(n);
  return t ? t->TagName() : std::string();
}

std::string TXBaseDataSet::GetTagExpression(int n) {
  checkActive();
  IxbIndexTag* t = table_->TagByNumber(n);
  return t ? t->KeyExpression() : std::string();
}

bool TXBaseDataSet::FindKey(std::string_view key) {
  if (!checkBrowseMode()) return false;
  fire(BeforeScroll);
  bool found = table_->FindKey(key) && takeRecord();
  if (found)
    eof_ = bof_ = false;
  else
    eof_ = true;
  scrolled();
  return found;
}

// The set-key state

void TXBaseDataSet::SetKey() {
  if (!checkBrowseMode()) return;
  if (!table_->MasterTag) xbRaiseDatabase(msg::NoIndexForKey);
  {
    RecordPointer rp(table_.get(), keyBuffer_.data());
    table_->BlankRecord();
  }
  state_ = TxbDataSetState::dsSetKey;
}

std::string TXBaseDataSet::keyFromRecord(const uint8_t* record) {
  XBO_dBHandler& t = *table_;
  TxbExpHandler key(t, t.MasterTag->KeyExpression());
  RecordPointer rp(&t, const_cast<uint8_t*>(record));
  std::string text = key.EvaluateKeyText();
  return Translate(text, false);
}

bool TXBaseDataSet::GotoKey() {
  checkActive();
  if (state_ != TxbDataSetState::dsSetKey) xbRaiseDatabase(msg::NotEditing);
  state_ = TxbDataSetState::dsBrowse;
  if (!table_->MasterTag) xbRaiseDatabase(msg::NoIndexForKey);
  std::string key = keyFromRecord(keyBuffer_.data());
  while (!key.empty() && key.back() == ' ') key.pop_back();
  return FindKey(key);
}

// Master-detail

void TXBaseDataSet::SetMasterSource(TXBaseDataSet* master) {
  if (master == master_) return;
  for (TXBaseDataSet* m = master; m; m = m->master_)
    if (m == this) xbRaiseDatabase(msg::CircularDataLink);
  if (master_) {
    auto& d = master_->details_;
    d.erase(std::remove(d.begin(), d.end(), this), d.end());
    master_ = nullptr;
    masterDisabled();
  }
  master_ = master;
  if (master_) {
    master_->details_.push_back(this);
    masterChanged();
  }
}

void TXBaseDataSet::SetMasterFields(const std::string& fields) {
  masterFields_ = fields;
  if (master_) masterChanged();
}

std::string TXBaseDataSet::getMasterKey() {
  if (!table_->MasterTag) xbRaiseDatabase(msg::MasterNoIndex, {tableName_});
  if (!master_ || master_->state_ == TxbDataSetState::dsInsert || platform::Trim(masterFields_).empty())
    return std::string();
  std::vector<std::string> values;
  bool allText = true;
  size_t sizes = 0;
  for (std::string_view rest = masterFields_; !rest.empty();) {
    size_t semi = rest.find(';');
    std::string name = platform::Trim(rest.substr(0, semi));
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    if (name.empty()) continue;
    TxbField& f = master_->FieldByName(name);
    if (f.DataType() != TxbFieldType::ftString) allText = false;
    sizes += static_cast<size_t>(f.Size());
    values.push_back(f.AsString());
  }
  std::string key =
      xbMasterDetailKey(*table_, tableName_, table_->MasterTag->KeyExpression(), values, allText, sizes);
  return Translate(key, false);
}

// The master link's refresh: the master's key as the range, without events.
void TXBaseDataSet::applyMasterRange() {
  if (!master_ || !table_ || !master_->table_ || !master_->hasRecord_) return;
  std::string key = getMasterKey();
  if (key.empty()) return;
  table_->SetRange(key, key, true);
  masterRange_ = true;
}

void TXBaseDataSet::masterChanged() {
  if (!table_ || !master_ || !master_->table_ || !master_->hasRecord_) return;
  if (!checkBrowseMode()) return;
  std::string key = getMasterKey();
  if (key.empty()) return;
  fire(BeforeScroll);
  table_->SetRange(key, key, true);
  masterRange_ = true;
  firstRecord();
  scrolled();
}

void TXBaseDataSet::masterDisabled() {
  if (!table_ || !masterRange_) return;
  if (!checkBrowseMode()) return;
  table_->ClearRange();
  masterRange_ = false;
  fire(BeforeScroll);
  firstRecord();
  scrolled();
}

void TXBaseDataSet::notifyDetails() {
  // A detail may unlink itself from an event handler: walk a copy.
  std::vector<TXBaseDataSet*> details = details_;
  for (TXBaseDataSet* d : details) {
    if (std::find(details_.begin(), details_.end(), d) == details_.end()) continue;
    if (table_)
      d->masterChanged();
    else
      d->masterDisabled();
  }
}

void TXBaseDataSet::scrolled() {
  fire(AfterScroll);
  notifyDetails();
}

void TXBaseDataSet::Close() {
  if (!table_) return;
  fire(BeforeClose);
  closeCursor();
  fire(AfterClose);
  notifyDetails();
}

void TXBaseDataSet::Refresh() {
  if (!checkBrowseMode()) return;
  table_->RefreshHeader();
  table_->RefreshFilter();
  if (hasRecord_) {
    table_->GoTo(recNo_);
    takeRecord();
    if (table_->PositionDiffers) {
      // The record no longer belongs to the view (the filter or the range dropped it).
      firstRecord();
    }
  } else {
    firstRecord();
  }
  scrolled();
}

void TXBaseDataSet::SetPassword(const std::string& newPassword) {
  if (!checkBrowseMode()) return;
  table_->SetPassword(newPassword);
  encryptionKey_ = newPassword;
  if (hasRecord_) {
    table_->GoTo(recNo_);
    takeRecord();
  }
}

bool TXBaseDataSet::IsSequenced() const { return !table_ || (!table_->MasterTag && !filtered_); }

void TXBaseDataSet::closeCursor() {
  if (editLock_ && table_) {
    try {
      table_->UnlockTable();
    } catch (...) {
    }
  }
  editLock_ = false;
  modified_ = false;
  masterRange_ = false;
  pendingBlobs_.clear();
  indexDefs_.clear();
  calcValues_.clear();
  sideRecord_ = nullptr;
  sideCalc_ = nullptr;
  fields_.clear();
  fieldDefs_.clear();
  nameSlots_.clear();
  upperNames_.clear();
  table_.reset();
  active_.clear();
  keyBuffer_.clear();
  hasRecord_ = false;
  recNo_ = 0;
  eof_ = bof_ = true;
  state_ = TxbDataSetState::dsInactive;
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

void TXBaseDataSet::syncTable() {
  if (hasRecord_ && table_->RecNo != recNo_) table_->GoTo(recNo_);
}

bool TXBaseDataSet::takeRecord() {
  if (table_->Eof || table_->Bof) return false;
  std::memcpy(active_.data(), table_->CurRecord, table_->RecordLength);
  recNo_ = table_->RecNo;
  hasRecord_ = true;
  if (!calcDefs_.empty()) calculate(active_.data(), calcValues_);
  return true;
}

void TXBaseDataSet::First() {
  if (!checkBrowseMode()) return;
  fire(BeforeScroll);
  firstRecord();
  scrolled();
}

void TXBaseDataSet::firstRecord() {
  table_->GoTo(-3);
  if (!takeRecord()) {
    hasRecord_ = false;
    recNo_ = 0;
    eof_ = bof_ = true;
    return;
  }
  bof_ = true;
  eof_ = false;
}

void TXBaseDataSet::Next() {
  if (!checkBrowseMode()) return;
  if (eof_) return;
  fire(BeforeScroll);
  syncTable();
  table_->GoTo(-1);
  if (takeRecord()) {
    bof_ = false;
  } else {
    eof_ = true;   // the last record stays current
  }
  scrolled();
}

void TXBaseDataSet::Prior() {
  if (!checkBrowseMode()) return;
  if (bof_) return;
  fire(BeforeScroll);
  syncTable();
  table_->GoTo(-2);
  if (takeRecord()) {
    eof_ = false;
  } else {
    bof_ = true;
  }
  scrolled();
}

void TXBaseDataSet::Last() {
  if (!checkBrowseMode()) return;
  fire(BeforeScroll);
  lastRecord();
  scrolled();
}

void TXBaseDataSet::lastRecord() {
  table_->GoTo(-4);
  if (!takeRecord()) {
    hasRecord_ = false;
    recNo_ = 0;
    eof_ = bof_ = true;
    return;
  }
  eof_ = true;
  bof_ = false;
}

int32_t TXBaseDataSet::RecordCount() {
  checkActive();
  if (!exactCount_) {
    table_->RefreshHeader();
    return checked_cast<int32_t>(table_->RecordCount);
  }
  int32_t n = 0;
  for (table_->GoTo(-3); !table_->Eof && !table_->Bof; table_->GoTo(-1)) ++n;
  if (hasRecord_) table_->GoTo(recNo_);
  return n;
}

int32_t TXBaseDataSet::RecNo() const {
  checkActive();
  return hasRecord_ ? recNo_ : 0;
}

void TXBaseDataSet::SetRecNo(int32_t n) {
  if (!checkBrowseMode()) return;
  fire(BeforeScroll);
  table_->GoTo(n);
  if (takeRecord()) {
    eof_ = bof_ = false;
  }
  scrolled();
}

bool TXBaseDataSet::Locate(std::string_view keyFields, const std::vector<std::string>& values, bool partialKey,
                           bool caseInsensitive) {
  if (!checkBrowseMode()) return false;
  if (table_->SearchFields(values, keyFields, 0, partialKey, caseInsensitive) && !table_->Eof && !table_->Bof) {
    fire(BeforeScroll);
    takeRecord();
    eof_ = bof_ = false;
    scrolled();
    return true;
  }
  if (hasRecord_) table_->GoTo(recNo_);
  return false;
}

std::optional<std::vector<std::string>> TXBaseDataSet::Lookup(std::string_view keyFields,
                                                              const std::vector<std::string>& values,
                                                              std::string_view resultFields) {
  if (!checkBrowseMode()) return std::nullopt;
  struct Back {
    TXBaseDataSet& ds;
    ~Back() {
      ds.sideRecord_ = nullptr;
      ds.sideCalc_ = nullptr;
      try {
        if (ds.hasRecord_) ds.table_->GoTo(ds.recNo_);
      } catch (...) {
      }
    }
  } back{*this};
  if (!table_->SearchFields(values, keyFields, 0, false, false)) return std::nullopt;
  std::vector<std::string> out;
  // The fields read the record found, with its calculated fields.
  std::vector<uint8_t> found(table_->CurRecord, table_->CurRecord + table_->RecordLength + 1);
  std::vector<TxbCalcValue> calc;
  calculate(found.data(), calc);
  sideRecord_ = found.data();
  sideCalc_ = &calc;
  for (std::string_view rest = resultFields; !rest.empty();) {
    size_t semi = rest.find(';');
    std::string name = platform::Trim(rest.substr(0, semi));
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    if (!name.empty()) out.push_back(FieldByName(name).AsString());
  }
  return out;
}

void TXBaseDataSet::Delete() {
  checkWritable();
  if (state_ == TxbDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (!hasRecord_) xbRaiseDatabase(msg::CannotDelete);
  XBO_dBHandler& t = *table_;
  fire(BeforeDelete);
  fire(BeforeScroll);
  bool done = runChecked([&] {
    bool saved = t.UseDeleted;
    struct G { XBO_dBHandler& t; bool s; ~G() { t.UseDeleted = s; t.SetCurRecord(nullptr); } } g{t, saved};
    t.UseDeleted = true;
    try {
      t.GoTo(recNo_);
      t.DeleteRecord();
    } catch (const std::exception&) {
      xbRaiseDatabase(msg::CannotDelete);
    }
  }, OnDeleteError);
  if (!done) return;
  if (editLock_) {
    t.UnlockTable();
    editLock_ = false;
  }
  state_ = TxbDataSetState::dsBrowse;
  modified_ = false;
  pendingBlobs_.clear();
  t.UseDeleted = useDeleted_;
  [&] {
    t.GoTo(-5);
    if (takeRecord()) {
      eof_ = false;
      return;
    }
    if (t.Eof) {
      t.GoTo(recNo_);
      t.GoTo(-2);
      if (takeRecord()) {
        eof_ = true;
        return;
      }
    }
    hasRecord_ = false;
    recNo_ = 0;
    eof_ = bof_ = true;
  }();
  fire(AfterDelete);
  scrolled();
}

void TXBaseDataSet::Recall() {
  checkWritable();
  if (!hasRecord_) xbRaiseDatabase(msg::CannotRecall);
  XBO_dBHandler& t = *table_;
  bool saved = t.UseDeleted;
  struct G { XBO_dBHandler& t; bool s; ~G() { t.UseDeleted = s; } } g{t, saved};
  t.UseDeleted = true;
  try {
    t.GoTo(recNo_);
    t.RecallRecord();
  } catch (const std::exception&) {
    xbRaiseDatabase(msg::CannotRecall);
  }
  takeRecord();
}

void TXBaseDataSet::Edit() {
  checkWritable();
  if (state_ != TxbDataSetState::dsBrowse) return;
  if (!hasRecord_) {
    Append();
    return;
  }
  XBO_dBHandler& t = *table_;
  fire(BeforeEdit);
  bool done = runChecked([&] {
    // Lock first, then re-read, so no other writer slips in between.
    t.RecNo = recNo_;
    if (!t.LockRecord()) xbRaiseDatabase(msg::RecordLocked);
    editLock_ = true;
    try {
      t.GoTo(recNo_);
      takeRecord();
    } catch (...) {
      t.UnlockTable();
      editLock_ = false;
      throw;
    }
  }, OnEditError);
  if (!done) return;
  state_ = TxbDataSetState::dsEdit;
  modified_ = false;
  pendingBlobs_.clear();
  fire(AfterEdit);
}

void TXBaseDataSet::Append() {
  checkWritable();
  if (!checkBrowseMode()) return;
  fire(BeforeInsert);
  fire(BeforeScroll);
  {
    RecordPointer rp(table_.get(), active_.data());
    table_->BlankRecord();
  }
  state_ = TxbDataSetState::dsInsert;
  pendingBlobs_.clear();
  if (!calcDefs_.empty()) calculate(active_.data(), calcValues_);
  try {
    fire(OnNewRecord);
  } catch (...) {
    state_ = TxbDataSetState::dsBrowse;
    if (hasRecord_) {
      table_->GoTo(recNo_);
      takeRecord();
    }
    throw;
  }
  modified_ = false;   // values set by OnNewRecord alone do not make the record worth posting
  fire(AfterInsert);
  scrolled();
}

void TXBaseDataSet::Post() {
  checkActive();
  if (state_ == TxbDataSetState::dsSetKey) {
    state_ = TxbDataSetState::dsBrowse;
    return;
  }
  if (state_ != TxbDataSetState::dsEdit && state_ != TxbDataSetState::dsInsert) return;
  XBO_dBHandler& t = *table_;
  fire(BeforePost);
  bool done = runChecked([&] {
    // Memo texts of blob streams first: a failed write raises here and nothing is posted.
    writePendingBlobs();
    if (state_ == TxbDataSetState::dsEdit) {
      RecordPointer rp(&t, active_.data());
      t.PutRecord(recNo_);
    } else {
      {
        RecordPointer rp(&t, active_.data());
        t.Append();
      }
      recNo_ = t.RecNo;
      hasRecord_ = true;
      t.GoTo(recNo_);
    }
  }, OnPostError);
  if (!done) return;
  if (editLock_) {
    t.UnlockTable();
    editLock_ = false;
  }
  state_ = TxbDataSetState::dsBrowse;
  modified_ = false;
  eof_ = bof_ = false;
  if (!calcDefs_.empty()) calculate(active_.data(), calcValues_);
  fire(AfterPost);
  notifyDetails();
}

void TXBaseDataSet::Cancel() {
  checkActive();
  if (state_ == TxbDataSetState::dsSetKey) {
    state_ = TxbDataSetState::dsBrowse;
    return;
  }
  if (state_ == TxbDataSetState::dsBrowse) return;
  const bool inserting = state_ == TxbDataSetState::dsInsert;
  fire(BeforeCancel);
  if (inserting) fire(BeforeScroll);
  if (editLock_) {
    table_->UnlockTable();
    editLock_ = false;
  }
  state_ = TxbDataSetState::dsBrowse;
  modified_ = false;
  pendingBlobs_.clear();
  if (hasRecord_) {
    table_->GoTo(recNo_);
    takeRecord();
  }
  fire(AfterCancel);
  if (inserting) scrolled();
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
  {
    RecordPointer rp(&t, rec);
    if (def_.DataType == TxbFieldType::ftString) {
      t.StringPut(def_.DbfFieldNo, s);
    } else {
      t.MemoWrite(def_.DbfFieldNo, s);
      ds.pendingBlobs_.erase(def_.DbfFieldNo);
    }
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
  {
    RecordPointer rp(&t, rec);
    switch (def_.DataType) {
      case TxbFieldType::ftString: t.StringPut(def_.DbfFieldNo, ""); break;
      case TxbFieldType::ftDate: t.DatePut(def_.DbfFieldNo, 0); break;
      case TxbFieldType::ftBoolean: t.LogicPut(def_.DbfFieldNo, false); break;
      case TxbFieldType::ftMemo:
      case TxbFieldType::ftBlob:
        t.MemoWrite(def_.DbfFieldNo, "");
        ds.pendingBlobs_.erase(def_.DbfFieldNo);
        break;
      default: t.NumberPut(def_.DbfFieldNo, 0); break;
    }
  }
  ds.fieldWritten(*this);
}

// Blob stream

THCBlobStream::THCBlobStream(TxbField& field, Mode mode) : field_(field), ds_(*field.ds_) {
  ds_.checkActive();
  if (field.DataType() != TxbFieldType::ftMemo && field.DataType() != TxbFieldType::ftBlob)
    xbRaiseDatabase(msg::AccessAsType, {field.FieldName(), "Blob"});
  if (mode != bmRead) {
    if (ds_.readOnly_) xbRaiseDatabase(msg::FieldReadOnly, {field.FieldName()});
    if (ds_.state_ != TxbDataSetState::dsEdit && ds_.state_ != TxbDataSetState::dsInsert)
      xbRaiseDatabase(msg::NotEditing);
  }
  if (!ds_.readBuffer()) return;
  active_ = true;
  if (mode == bmWrite) {
    modified_ = true;
  } else {
    LoadMemo();
  }
}

void THCBlobStream::LoadMemo() {
  uint8_t* rec = ds_.readBuffer();
  int n = field_.Def().DbfFieldNo;
  auto it = ds_.pendingBlobs_.find(n);
  if (it != ds_.pendingBlobs_.end() && rec == ds_.active_.data()) {
    data_ = it->second;
  } else {
    XBO_dBHandler& t = *ds_.table_;
    RecordPointer rp(&t, rec);
    data_ = t.MemoRead(n);
  }
  if (field_.DataType() == TxbFieldType::ftMemo && ds_.translate_) xbOemToAnsiBuf(data_.data(), data_.data(), data_.size());
  pos_ = 0;
}

THCBlobStream::~THCBlobStream() {
  if (!active_ || !modified_ || !ds_.table_) return;
  if (ds_.state_ != TxbDataSetState::dsEdit && ds_.state_ != TxbDataSetState::dsInsert) return;
  // Nothing here can fail but memory: the memo file is written by Post.
  std::string out = std::move(data_);
  if (field_.DataType() == TxbFieldType::ftMemo && ds_.translate_) xbAnsiToOemBuf(out.data(), out.data(), out.size());
  ds_.pendingBlobs_[field_.Def().DbfFieldNo] = std::move(out);
  ds_.modified_ = true;
}

void TXBaseDataSet::writePendingBlobs() {
  XBO_dBHandler& t = *table_;
  while (!pendingBlobs_.empty()) {
    auto it = pendingBlobs_.begin();
    {
      RecordPointer rp(&t, active_.data());
      t.MemoWrite(it->first, it->second);   // the block number goes into the record
    }
    pendingBlobs_.erase(it);
  }
}

int64_t THCBlobStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ < 0 || pos_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t THCBlobStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (pos_ < 0) pos_ = 0;
  size_t end = static_cast<size_t>(checked_add<int64_t>(pos_, count));
  data_.resize(static_cast<size_t>(pos_), '\0');   // anything behind is dropped; a gap becomes zeros
  data_.resize(end, '\0');
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ += count;
  modified_ = true;
  return count;
}

int64_t THCBlobStream::Seek(int64_t offset, int origin) {
  switch (origin) {
    case 0: pos_ = offset; break;
    case 1: pos_ = checked_add(pos_, offset); break;
    case 2: pos_ = checked_add(Size(), offset); break;
    default: break;
  }
  return pos_;
}

void THCBlobStream::Clear() {
  data_.clear();
  pos_ = 0;
  modified_ = true;
}

}  // namespace xb
