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

namespace {
// The table's own flush after a record write is held back while the dataset writes: a
// flush that fails after the write succeeded must not reach the write's take-back (the
// memo texts cut away under a record that names them, a second append on the retry).
// The dataset flushes once the write stands and reports a failure without undoing it.
struct HeldFlush {
  XBO_dBaseDBF& t;
  bool was;
  explicit HeldFlush(XBO_dBaseDBF& table) : t(table), was(table.AutoFlush) { t.AutoFlush = false; }
  ~HeldFlush() { t.AutoFlush = was; }
  HeldFlush(const HeldFlush&) = delete;
  HeldFlush& operator=(const HeldFlush&) = delete;
};
}  // namespace

// The record lock of a delete or recall: the one an edit holds already, else its own,
// taken as Edit takes it and released on every path.
struct TXBaseDataSet::RecordLock {
  TXBaseDataSet& ds;
  bool own = false;
  explicit RecordLock(TXBaseDataSet& d) : ds(d) {
    if (ds.editLock_) return;
    XBO_dBHandler& t = *ds.table_;
    t.RecNo = ds.recNo_;
    if (!t.LockRecord()) xbRaiseDatabase(msg::RecordLocked);
    own = true;
  }
  ~RecordLock() {
    if (!own) return;
    try {
      ds.table_->UnlockTable();
    } catch (...) {
    }
  }
};

// Dataset

TXBaseDataSet::TXBaseDataSet() : oemToAnsi_(xbOemToAnsiTable()) {
  asciiKept_ = true;
  for (int c = 0; c < 0x80; ++c)
    if (oemToAnsi_[c] != c) asciiKept_ = false;
  lettersShifted_ = dsparts::tableShiftsOemLetters(oemToAnsi_);
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
  // A writable dataset reads every record from the file: a record read ahead may be
  // older than the lock a later write takes.
  t->ReadAheadAllowed = readOnly_;
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
  table_->DropReadAhead();   // the records as the file holds them now
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
  try {
    HeldFlush held(*table_);
    table_->SetPassword(newPassword);
  } catch (...) {
    if (hasRecord_) {
      try {
        table_->GoTo(recNo_);
      } catch (...) {
      }
    }
    throw;
  }
  encryptionKey_ = newPassword;
  if (hasRecord_) {
    table_->GoTo(recNo_);
    takeRecord();
  }
  if (autoFlush_) table_->Flush();
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
  for (const std::string& name : XBO_dBaseFld::SplitFieldList(resultFields)) out.push_back(FieldByName(name).AsString());
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
    HeldFlush held(t);
    RecordLock lock(*this);
    bool saved = t.UseDeleted;
    struct G { XBO_dBHandler& t; bool s; ~G() { t.UseDeleted = s; t.SetCurRecord(nullptr); } } g{t, saved};
    t.UseDeleted = true;
    try {
      t.DropReadAhead();
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
  if (autoFlush_) t.Flush();   // the record is deleted whether or not this succeeds
}

void TXBaseDataSet::Recall() {
  checkWritable();
  if (!hasRecord_) xbRaiseDatabase(msg::CannotRecall);
  XBO_dBHandler& t = *table_;
  {
    HeldFlush held(t);
    RecordLock lock(*this);
    bool saved = t.UseDeleted;
    struct G { XBO_dBHandler& t; bool s; ~G() { t.UseDeleted = s; } } g{t, saved};
    t.UseDeleted = true;
    try {
      t.DropReadAhead();
      t.GoTo(recNo_);
      t.RecallRecord();
    } catch (const std::exception&) {
      xbRaiseDatabase(msg::CannotRecall);
    }
  }
  takeRecord();
  if (autoFlush_) t.Flush();
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
      t.DropReadAhead();   // the record as the file holds it now, under the lock
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
    HeldFlush held(t);
    const bool inserting = state_ == TxbDataSetState::dsInsert;
    writeRecord();
    if (inserting) t.GoTo(recNo_);
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
  // The record and its texts stand, the dataset is in browse: a failing flush is reported
  // as it is, with nothing taken back and nothing left to post again.
  if (autoFlush_) t.Flush();
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

}  // namespace xb
