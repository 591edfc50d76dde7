#include "xbase/xb_dbsy.h"

#include <algorithm>
#include <exception>
#include <cstring>
#include <map>

#include "platform/strutil.h"
#include "xbase/SysXBase.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_encrxm.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_indx.h"
#include "xbase/xb_lcal.h"

namespace xb {

namespace {
std::map<std::string, TxbIndexFactory>& indexClasses() {
  // The built-in index kinds are there from the start; registrations may replace them.
  static std::map<std::string, TxbIndexFactory> m = [] {
    std::map<std::string, TxbIndexFactory> b;
    xbRegisterBuiltinIndexes(b);
    return b;
  }();
  return m;
}
std::string upper(std::string_view s) { return platform::UpperCase(s); }

// Restores the read-ahead switch on every path.
struct ReadAheadGuard {
  XBO_dBHandler& h;
  bool saved;
  explicit ReadAheadGuard(XBO_dBHandler& handler, bool on) : h(handler), saved(handler.ReadAhead) { h.SetReadAhead(on); }
  ~ReadAheadGuard() { h.SetReadAhead(saved); }
};
}  // namespace

void XBO_dBHandler::RegisterIndexClass(const std::string& ext, TxbIndexFactory factory) {
  indexClasses()[upper(ext)] = std::move(factory);
}
void XBO_dBHandler::UnregisterIndexClass(const std::string& ext) { indexClasses().erase(upper(ext)); }
TxbFilterCompiler& XBO_dBHandler::FilterCompiler() {
  static TxbFilterCompiler c;
  return c;
}

XBO_dBHandler::XBO_dBHandler(const std::string& fileName, bool readWrite, bool shared, const std::string& password)
    : XBO_dBaseFld(fileName, readWrite, shared, password) {
  int64_t per = std::max<int64_t>(1, ReadAheadBytes / RecordLength);
  raBuf_.resize(static_cast<size_t>(per * RecordLength));
}

XBO_dBHandler::~XBO_dBHandler() {
  FilterExpr.reset();
  MasterTag = nullptr;
  for (auto& f : IndexFiles) f.reset();
}

int64_t XBO_dBHandler::Read(int64_t pos, void* buffer, int64_t count) {
  if (!ReadAhead || pos < static_cast<int64_t>(HeaderLength) || count > static_cast<int64_t>(raBuf_.size()) ||
      count <= 0)
    return XBO_DiskFile::Read(pos, buffer, count);
  if (!(raStart_ >= 0 && pos >= raStart_ && pos + count <= raStart_ + raLen_)) {
    raStart_ = -1;
    raLen_ = XBO_DiskFile::Read(pos, raBuf_.data(), static_cast<int64_t>(raBuf_.size()));
    raStart_ = pos;
  }
  int64_t avail = raStart_ + raLen_ - pos;
  int64_t n = std::max<int64_t>(0, std::min(count, avail));
  std::memcpy(buffer, raBuf_.data() + (pos - raStart_), static_cast<size_t>(n));
  Position = pos + n;
  LastCount = n;
  return n;
}

void XBO_dBHandler::Write(int64_t pos, const void* buffer, int64_t count) {
  XBO_DiskFile::Write(pos, buffer, count);
  if (raStart_ >= 0) {
    int64_t a = std::max(pos, raStart_), b = std::min(pos + count, raStart_ + raLen_);
    if (a < b)
      std::memcpy(raBuf_.data() + (a - raStart_), static_cast<const uint8_t*>(buffer) + (a - pos),
                  static_cast<size_t>(b - a));
    // A write that extends the file behind the buffer makes its short tail stale.
    if (pos + count > raStart_ + raLen_ && pos <= raStart_ + raLen_) raStart_ = -1;
  }
}

void XBO_dBHandler::DropReadAhead() {
  raStart_ = -1;
  raLen_ = 0;
}

void XBO_dBHandler::SetReadAhead(bool on) {
  ReadAhead = on && ReadAheadAllowed;
  raStart_ = -1;
  raLen_ = 0;
}

bool XBO_dBHandler::Rename(const std::string& newName) {
  std::string oldStem = TableStem;
  bool r = XBO_dBaseFld::Rename(newName);
  for (int i = 1; i <= MaxIndexFiles; ++i) {
    auto& f = IndexFiles[i];
    if (f && platform::SameText(xbFileStem(f->FileName()), oldStem))
      f->Rename(xbFileDir(FileName) + xbFileStem(FileName) + xbFileStem(f->FileName()).substr(oldStem.size()) +
                f->FileName().substr(f->FileName().find_last_of('.')));
  }
  return r;
}

void XBO_dBHandler::StatusUpdate(int32_t code, int32_t value) {
  if (StatusHook) StatusHook(code, value, 0);
}

bool XBO_dBHandler::LockIndexes() {
  for (int i = 1; i <= MaxIndexFiles; ++i) {
    if (!IndexFiles[i]) continue;
    bool locked = false;
    try {
      locked = IndexFiles[i]->Lock();
    } catch (...) {
      // A file that cannot be read (damaged) raises: the locks taken before it go too.
      for (int j = 1; j < i; ++j)
        if (IndexFiles[j]) IndexFiles[j]->Unlock();
      throw;
    }
    if (!locked) {
      for (int j = 1; j < i; ++j)
        if (IndexFiles[j]) IndexFiles[j]->Unlock();
      xbRaise(msg::CannotLockIndexes, {FileName});
    }
  }
  return true;
}

void XBO_dBHandler::UnlockIndexes() {
  for (int i = 1; i <= MaxIndexFiles; ++i)
    if (IndexFiles[i]) IndexFiles[i]->Unlock();
}

void XBO_dBHandler::Append() {
  LockIndexes();
  struct G { XBO_dBHandler* h; ~G() { h->UnlockIndexes(); } } g{this};
  XBO_dBaseFld::Append();
}

void XBO_dBHandler::PutRecord(int32_t n) {
  LockIndexes();
  struct G {
    XBO_dBHandler* h;
    ~G() {
      h->preImageRec_ = 0;
      h->UnlockIndexes();
    }
  } g{this};
  // The index entries of the record are found by the keys of what the file holds now.
  preImageRec_ = 0;
  bool indexed = std::any_of(IndexFiles.begin(), IndexFiles.end(), [](const auto& f) { return f != nullptr; });
  if (indexed && n >= 1 && static_cast<uint32_t>(n) <= RecordCount) {
    preImage_.resize(RecordLength + 1);
    if (XBO_DiskFile::Read(RecordOffset(n), preImage_.data(), RecordLength) == static_cast<int64_t>(RecordLength)) {
      if (Encrypted) xbEncrypt(Password, preImage_.data(), preImage_.data(), RecordLength, 0);
      preImageRec_ = n;
    }
  }
  XBO_dBaseFld::PutRecord(n);
}

void XBO_dBHandler::SetLockProtocol(int protocol) {
  XBO_dBaseFld::SetLockProtocol(protocol);
  for (auto& f : IndexFiles)
    if (f) f->SetLockProtocol(protocol);
}

bool XBO_dBHandler::evalFilter() {
  TxbVariant v = FilterExpr->Evaluate();
  if (v.Type() != TxbVarType::Boolean) xbRaise(msg::FilterNotBoolean);
  return v.AsBoolean();
}

void XBO_dBHandler::NotifyEvent(int code, int32_t value) {
  if (code == xbeBeforeWrite && value == 0 && Shared) {
    // An append, under the append lock: the record it goes after may be one whose writer
    // was killed before its keys were written (a writer of this or another process,
    // open before or after this one); it gets them first. (An exclusive open has no
    // other writer beside it: its open made up for the one before it.)
    const uint32_t last = std::max(RecordCount, CountFromSize());
    if (last >= 1 && last <= static_cast<uint32_t>(INT32_MAX))
      for (auto& f : IndexFiles)
        if (f) f->AddMissingKeys(static_cast<int32_t>(last));
  } else if (code == xbeAfterWrite) {
    const bool filtered = FilterActive && FilterExpr && RecNo >= 1;
    const bool bitBefore = filtered && FilterSet.TestBit(RecNo);
    if (filtered) FilterSet.SetBit(RecNo, evalFilter() ? 1 : 0);
    // An append reports 0; a rewrite passes the record as it was before.
    const uint8_t* old = nullptr;
    if (value != 0) old = preImageRec_ == RecNo ? preImage_.data() : OldBuffer.data();
    try {
      updateAllKeys(old);
    } catch (...) {
      if (filtered) FilterSet.SetBit(RecNo, bitBefore ? 1 : 0);   // the write is taken back
      throw;
    }
    if (MasterTag) {
      if (MasterTag->CurrentRecord() != RecNo) PositionDiffers = true;
      if (!FilterActive) {
        if (value == 0 || value == static_cast<int32_t>(RecordCount)) Eof = true;
        if (value == 1) Bof = true;
      }
    }
    if (FilterActive && RecNo >= 1 && !FilterSet.TestBit(RecNo)) PositionDiffers = true;
  } else if (code == xbeFlush) {
    for (auto& f : IndexFiles)
      if (f) f->Flush();
    if (MasterTag) PositionDiffers = MasterTag->CurrentRecord() != RecNo;
  }
  XBO_dBaseFld::NotifyEvent(code, value);
}

void XBO_dBHandler::updateAllKeys(const uint8_t* oldRecord) {
  for (auto& f : IndexFiles)
    if (f) f->BeginKeyChange();
  try {
    for (auto& f : IndexFiles)
      if (f) f->UpdateKeys(RecNo, oldRecord);
  } catch (...) {
    // Every file is taken back; one that could not be is what the caller hears of.
    std::exception_ptr unmended;
    for (auto& f : IndexFiles)
      if (f) {
        try {
          f->TakeBackKeys();
        } catch (...) {
          if (!unmended) unmended = std::current_exception();
        }
      }
    if (unmended) std::rethrow_exception(unmended);
    throw;
  }
  for (auto& f : IndexFiles)
    if (f) f->EndKeyChange();
}

bool XBO_dBHandler::TestFilter() {
  if (RecordFilterHook && !RecordFilterHook()) return false;
  if (!FilterActive) return true;
  return RecNo >= 1 && FilterSet.TestBit(RecNo);
}

bool XBO_dBHandler::acceptable() { return (CurRecord[0] == ' ' || UseDeleted) && TestFilter(); }

void XBO_dBHandler::GoTo(int32_t code) {
  if (BusyState != 1 || code == 0) {
    XBO_dBaseFld::GoTo(code);
    return;
  }
  Found = false;
  PositionDiffers = false;
  Eof = false;
  Bof = false;
  if (code >= 1) {
    XBO_dBaseFld::GoTo(code);
    Found = !Eof && !Bof;
    if (MasterTag && MasterTag->CurrentRecord() != RecNo && !(Found && MasterTag->SyncTo(RecNo)))
      PositionDiffers = true;
    if (FilterActive && !FilterSet.TestBit(RecNo)) PositionDiffers = true;
    return;
  }
  if (code < -5) xbRaise(msg::RecordNotInTable, {code, FileName});
  const int32_t cont = (code == -3 || code == -5) ? -1 : (code == -4 ? -2 : code);
  int32_t cur = code;
  bool accepted = false;
  // Each rejected record costs one step, so the walk ends after at most the records there are.
  for (;;) {
    Eof = false;
    Bof = false;
    if (MasterTag) {
      bool saved = ReadAhead;
      ReadAhead = false;
      TxbTagMove m = MasterTag->Move(cur);
      while (FilterActive && !m.eof && !m.bof && !FilterSet.TestBit(m.recNo)) m = MasterTag->Move(cont);
      ReadAhead = saved;
      if (m.eof || m.bof) {
        Eof = m.eof;
        Bof = m.bof;
        break;
      }
      XBO_dBaseFld::GoTo(masterRecord(m.recNo));
    } else if (FilterActive) {
      int64_t hi = FilterSet.Highest();
      int64_t n = -1;
      if (hi < 1) {
        Eof = Bof = true;
        break;
      }
      bool up = cur == -3 || cur == -1 || cur == -5;
      int64_t from = cur == -3 ? 1 : cur == -4 ? hi : cur == -1 ? int64_t{RecNo} + 1 : cur == -2 ? int64_t{RecNo} - 1 : RecNo;
      if (up) {
        for (int64_t i = std::max<int64_t>(from, 1); i <= hi; ++i)
          if (FilterSet.TestBit(i)) { n = i; break; }
      } else {
        for (int64_t i = std::min(from, hi); i >= 1; --i)
          if (FilterSet.TestBit(i)) { n = i; break; }
      }
      if (n < 0) {
        if (up) Eof = true; else Bof = true;
        break;
      }
      if (n > static_cast<int64_t>(RecordCount)) {
        RefreshHeader();
        if (n > static_cast<int64_t>(RecordCount)) {
          Eof = true;
          break;
        }
      }
      XBO_dBaseFld::GoTo(static_cast<int32_t>(n));
    } else {
      XBO_dBaseFld::GoTo(cur);
      if (Eof || Bof) break;
    }
    if (acceptable()) {
      accepted = true;
      break;
    }
    cur = cont;
  }
  Found = accepted && !Eof && !Bof;
  if (Found && MasterTag && MasterTag->CurrentRecord() != RecNo) PositionDiffers = true;
  if (LockProtocol == ClipLock && holdIndexLocks_ == 0) UnlockIndexes();
}

int32_t XBO_dBHandler::masterRecord(int32_t recNo) {
  auto inTable = [&] { return recNo >= 1 && static_cast<uint32_t>(recNo) <= RecordCount; };
  if (inTable()) return recNo;
  RefreshHeader();   // another program's appends
  if (inTable()) return recNo;
  if (LockProtocol == ClipLock && holdIndexLocks_ == 0) UnlockIndexes();
  for (auto& f : IndexFiles)
    for (int k = 0; f && k < f->TagCount(); ++k)
      if (f->Tag(k) == MasterTag) xbRaise(msg::IndexCorrupted, {f->FileName()});
  xbRaise(msg::RecordNotInTable, {recNo, FileName});
}

void XBO_dBHandler::Skip(int32_t n) {
  if (n == 0) {
    GoTo(-5);
    return;
  }
  if (!FilterEnabled && UseDeleted) {
    if (!MasterTag) {
      int64_t target = int64_t{RecNo} + n;
      bool forward = n > 0;
      if (target < 1) target = 1;
      if (target > static_cast<int64_t>(RecordCount)) target = RecordCount;
      if (RecordCount == 0) {
        Eof = Bof = true;
        return;
      }
      // The ends are flagged only when the step runs past the last or first record.
      bool limit = (forward && int64_t{RecNo} + n > static_cast<int64_t>(RecordCount)) ||
                   (!forward && int64_t{RecNo} + n < 1);
      XBO_dBaseFld::GoTo(static_cast<int32_t>(target));
      if (limit) {
        if (forward) Eof = true; else Bof = true;
      }
      return;
    }
  }
  int32_t code = n > 0 ? -1 : -2;
  int64_t steps = n > 0 ? n : -int64_t{n};
  for (int64_t i = 0; i < steps; ++i) {
    GoTo(code);
    if (Eof || Bof) break;
  }
}

bool XBO_dBHandler::FindKey(std::string_view key) {
  if (RecordCount == 0) RefreshHeader();
  if (RecordCount == 0) return false;
  // Under ClipLock the search runs with the indexes locked, and every exit unlocks them.
  struct IndexLocks {
    XBO_dBHandler& h;
    bool held = false;
    ~IndexLocks() {
      if (!held) return;
      --h.holdIndexLocks_;
      h.UnlockIndexes();
    }
  } locks{*this};
  if (LockProtocol == ClipLock) {
    try {
      LockIndexes();
    } catch (const EXBaseError&) {
      return false;
    }
    locks.held = true;
    ++holdIndexLocks_;
  }
  if (!MasterTag) {
    GoTo(-4);
    Eof = true;
    return false;
  }
  SeekFound = false;
  int32_t r = MasterTag->SeekKey(key);
  if (r < 1) {
    if (!NearSearch || MasterTag->AtEnd()) {
      GoTo(-4);
      Eof = true;
    } else {
      XBO_dBaseFld::GoTo(masterRecord(MasterTag->CurrentRecord()));
    }
  } else {
    XBO_dBaseFld::GoTo(masterRecord(r));
    while (!Eof && !acceptable()) GoTo(-1);
    bool match = false;
    if (!Eof) {
      std::string stored = MasterTag->CurrentKey();
      match = stored == key || (!ExactMatch && stored.size() > key.size() && stored.compare(0, key.size(), key) == 0);
    }
    if (!match && !NearSearch) {
      GoTo(-4);
      Eof = true;
    }
    SeekFound = match;
  }
  return SeekFound;
}

int32_t XBO_dBHandler::FindKeyInTag(const std::string& tagName, std::string_view key) {
  std::string want = upper(platform::Trim(tagName));
  for (int i = 1; i <= MaxIndexFiles; ++i) {
    if (!IndexFiles[i]) continue;
    for (int k = 0; k < IndexFiles[i]->TagCount(); ++k) {
      IxbIndexTag* t = IndexFiles[i]->Tag(k);
      if (upper(t->TagName()) != want) continue;
      int32_t r = t->SeekKey(key);
      if (r >= 1 && t->CurrentKey() == key) return r;
      return -1;
    }
  }
  return -1;
}

int XBO_dBHandler::OpenIndexes(const std::string& list, const std::string& tagName) {
  CloseIndexes();
  std::vector<std::string> names;
  std::string cur;
  bool quoted = false;
  for (char c : list) {
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == ',' || c == ';')) {
      names.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  names.push_back(cur);
  for (auto& n : names) {
    std::string t = platform::Trim(n);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
    if (t.empty()) continue;
    OpenIndex(t);
  }
  SelectTag(tagName, true);
  return 0;
}

int XBO_dBHandler::OpenIndex(const std::string& name) {
  std::string full = name;
  if (full.find('/') == std::string::npos) full = xbFileDir(FileName) + full;
  full = xbDefaultExt(full, ".ndx");
  full = xbResolveFileName(xbExpandFileName(full));
  for (auto& f : IndexFiles)
    if (f && f->FileName() == full) return -1;
  int slot = 0;
  for (int i = 1; i <= MaxIndexFiles; ++i)
    if (!IndexFiles[i]) { slot = i; break; }
  if (slot == 0) xbRaise(msg::ErrorGetting, {full});
  std::string ext = upper(full.substr(full.find_last_of('.') == std::string::npos ? full.size() : full.find_last_of('.')));
  auto it = indexClasses().find(ext);
  if (it == indexClasses().end() || !xbFileExists(full)) xbRaise(msg::FileNotFound, {full});
  std::unique_ptr<IxbIndexFile> f = it->second(*this, full);
  if (!f) xbRaise(msg::IndexCorrupted, {full});
  f->SetLockProtocol(LockProtocol);
  IndexFiles[slot] = std::move(f);
  return 0;
}

void XBO_dBHandler::CloseIndexes() {
  if (MasterTag) MasterTag->Release();
  MasterTag = nullptr;
  MasterTagName.clear();
  for (auto& f : IndexFiles) f.reset();
}

int XBO_dBHandler::TagCount() {
  int n = 0;
  for (auto& f : IndexFiles)
    if (f) n += f->TagCount();
  return n;
}

IxbIndexTag* XBO_dBHandler::TagByNumber(int n) {
  for (auto& f : IndexFiles) {
    if (!f) continue;
    if (n <= f->TagCount()) return n >= 1 ? f->Tag(n - 1) : nullptr;
    n -= f->TagCount();
  }
  return nullptr;
}

void XBO_dBHandler::SelectTag(const std::string& tagName, bool keepPosition) {
  std::string want = upper(platform::Trim(tagName));
  if (want.empty()) {
    if (MasterTag) {
      MasterTag->ClearRange();
      MasterTag->Release();
    }
    MasterTag = nullptr;
    MasterTagName.clear();
    SetReadAhead(true);
    if (!keepPosition) GoTo(-3);
    return;
  }
  IxbIndexTag* found = nullptr;
  for (int i = 1; i <= MaxIndexFiles && !found; ++i) {
    if (!IndexFiles[i]) continue;
    for (int k = 0; k < IndexFiles[i]->TagCount(); ++k)
      if (upper(IndexFiles[i]->Tag(k)->TagName()) == want) { found = IndexFiles[i]->Tag(k); break; }
  }
  if (!found) xbRaise(msg::NoIndexTag, {want});
  if (MasterTag) {
    MasterTag->ClearRange();
    MasterTag->Release();
  }
  SetReadAhead(false);
  MasterTag = found;
  MasterTagName = want;
  MasterTag->Activate();
  if (keepPosition && RecNo >= 1) {
    GoTo(RecNo);
    if (PositionDiffers) GoTo(-3);
  } else {
    GoTo(-3);
  }
}

bool XBO_dBHandler::SearchFields(const std::vector<std::string>& values, std::string_view fieldList, int startMode,
                                 bool partial, bool caseInsensitive) {
  std::vector<int> fields;
  for (const std::string& name : SplitFieldList(fieldList)) {
    int n = FieldNo(name);
    if (n == 0) xbRaise(msg::NoFieldName, {FileName + "->" + name});
    fields.push_back(n);
  }
  std::vector<uint8_t> probe(RecordLength + 1, ' ');
  BuildSearchRecord(probe.data(), fieldList, values);
  auto text = [&](const uint8_t* rec, int n) {
    const TxbFieldDesc& f = *FieldDesc(n);
    std::string t(reinterpret_cast<const char*>(rec) + f.Offset, f.Length);
    while (!t.empty() && static_cast<unsigned char>(t.back()) <= ' ') t.pop_back();
    if (TranslateOEM) xbOemToAnsiBuf(t.data(), t.data(), t.size());
    return t;
  };
  auto matches = [&]() {
    for (int n : fields) {
      const TxbFieldDesc& f = *FieldDesc(n);
      if (f.Type == 'C') {
        std::string want = text(probe.data(), n), have = text(CurRecord, n);
        if (partial && have.size() > want.size()) have.resize(want.size());
        int c = caseInsensitive ? xbCompareText(have, want) : have.compare(want);
        if (c != 0) return false;
      } else if (std::memcmp(CurRecord + f.Offset, probe.data() + f.Offset, f.Length) != 0) {
        return false;
      }
    }
    return true;
  };
  // A tag keyed on exactly these fields seeks the first candidate in key order and
  // steps over the keys that start like the search key.
  IxbIndexTag* tag = (startMode == 0 && !caseInsensitive && !(MasterTag && MasterTag->HasRange()))
                         ? searchTag(fields, fieldList)
                         : nullptr;
  if (tag) {
    GoTo(-3);
    if (Eof && Bof) return false;
    std::string seek;
    for (int n : fields) {
      const TxbFieldDesc& f = *FieldDesc(n);
      std::string part(reinterpret_cast<const char*>(probe.data()) + f.Offset, f.Length);
      if (TranslateOEM) xbOemToAnsiBuf(part.data(), part.data(), part.size());
      seek += part;
    }
    while (!seek.empty() && static_cast<unsigned char>(seek.back()) <= ' ') seek.pop_back();
    for (int32_t r = tag->SeekKey(seek); r >= 1;) {
      if (tag->CurrentKey().compare(0, seek.size(), seek) != 0) break;
      XBO_dBaseFld::GoTo(r);
      if (acceptable() && matches()) {
        GoTo(r);   // the current tag follows the record found
        return true;
      }
      TxbTagMove m = tag->Move(-1);
      if (m.eof || m.bof) break;
      r = m.recNo;
    }
    GoTo(-4);
    Eof = true;
    return false;
  }
  GoTo(startMode == 0 ? -3 : -1);
  for (; !Eof && !Bof; GoTo(-1))
    if (matches()) return true;
  return false;
}

IxbIndexTag* XBO_dBHandler::searchTag(const std::vector<int>& fields, std::string_view fieldList) {
  if (fields.empty()) return nullptr;
  for (int n : fields)
    if (FieldDesc(n)->Type != 'C') return nullptr;
  auto normal = [](std::string_view list) {
    std::string out;
    for (char c : list) {
      if (c == '+' || c == '-') out += ';';
      else if (c != ' ') out += c;
    }
    out = upper(out);
    if (out.empty() || out.back() != ';') out += ';';
    return out;
  };
  std::string want = normal(fieldList);
  for (int i = 1; i <= MaxIndexFiles; ++i) {
    if (!IndexFiles[i]) continue;
    for (int k = 0; k < IndexFiles[i]->TagCount(); ++k) {
      IxbIndexTag* t = IndexFiles[i]->Tag(k);
      if (normal(t->KeyExpression()) != want) continue;
      // Only a tag that holds every record in ascending order can answer for the table.
      auto* x = dynamic_cast<XBobjIndexTag*>(t);
      if (!x || !x->ForExpr.empty() || x->Unique || x->Descending || x->KeyType != 'C') continue;
      return t;
    }
  }
  return nullptr;
}

void XBO_dBHandler::SetPassword(const std::string& newPassword) {
  if (Shared) xbRaise(msg::NeedsFullAccess, {"SetPassword", FileName});
  if ((Encrypted && Password == newPassword) || (!Encrypted && newPassword.empty())) return;
  if (!ReadWrite) xbRaise(msg::ErrorWrite, {FileName});
  const bool oldEncrypted = Encrypted, newEncrypted = !newPassword.empty();
  const std::string oldPassword = Password, oldWriteKey = WriteKey;
  const int32_t savedRec = RecNo;
  std::vector<int> memoFields;
  for (int n = 1; n <= FieldCount; ++n) {
    char t = FieldDesc(n)->Type;
    if (t == 'M' || t == 'G' || (t == 'B' && Version != 0x30)) memoFields.push_back(n);
  }
  XBobjMemoBase* memo = memoFields.empty() ? nullptr : Memo();
  const size_t nf = memoFields.size();
  const uint32_t count = RecordCount;
  // The old and the new block of every memo field of every record (0: no text).
  std::vector<uint32_t> oldBlocks, newBlocks;
  struct Restore {
    XBO_dBHandler& h;
    IxbIndexTag* tag;
    int busy;
    ~Restore() {
      h.MasterTag = tag;
      h.BusyState = busy;
    }
  } restore{*this, MasterTag, BusyState};
  BusyState = 5;
  MasterTag = nullptr;
  // Reads record r under one key, sets the memo blocks of the list (when given) and
  // writes it under the other.
  auto convert = [&](uint32_t r, bool fromEnc, const std::string& fromKey, bool toEnc, const std::string& toKey,
                     const std::vector<uint32_t>* blocks) {
    Encrypted = fromEnc;
    Password = fromKey;
    XBO_dBaseFld::GoTo(static_cast<int32_t>(r));
    if (blocks)
      for (size_t k = 0; k < nf; ++k)
        if (oldBlocks[(r - 1) * nf + k] != 0) NumberPut(memoFields[k], (*blocks)[(r - 1) * nf + k]);
    Encrypted = toEnc;
    WriteKey = toKey;
    WriteRecordAt(static_cast<int32_t>(r), false);
  };
  auto keysBack = [&] {
    Encrypted = oldEncrypted;
    Password = oldPassword;
    WriteKey = oldWriteKey;
    if (memo) memo->SetKeys(oldEncrypted, oldPassword, oldWriteKey);
  };
  auto positionBack = [&] {
    try {
      if (savedRec >= 1 && static_cast<uint32_t>(savedRec) <= RecordCount) XBO_dBaseFld::GoTo(savedRec);
    } catch (...) {
    }
  };
  ReadAheadGuard ra(*this, true);
  // 1. Every memo text again, under the new key and in new blocks; the records and the
  //    old blocks stay as they are, so a failure here takes back only the memo file.
  if (memo) {
    memo->BeginUpdate();
    try {
      oldBlocks.assign(static_cast<size_t>(count) * nf, 0);
      newBlocks.assign(static_cast<size_t>(count) * nf, 0);
      for (uint32_t n = 1; n <= count; ++n) {
        Encrypted = oldEncrypted;
        XBO_dBaseFld::GoTo(static_cast<int32_t>(n));
        for (size_t k = 0; k < nf; ++k) {
          uint32_t old = MemoBlock(memoFields[k]);
          if (old == 0) continue;
          oldBlocks[(n - 1) * nf + k] = old;
          memo->SetKeys(oldEncrypted, oldPassword, oldPassword);
          std::string text = memo->MemoRead(old);
          memo->SetKeys(newEncrypted, newPassword, newPassword);
          uint32_t b = 0;
          if (text.size() > UINT32_MAX - 16) throw ERangeError();
          memo->MemoWrite(text.data(), static_cast<uint32_t>(text.size()), b);
          newBlocks[(n - 1) * nf + k] = b;
        }
      }
    } catch (...) {
      memo->RollbackUpdate();
      keysBack();
      positionBack();
      throw;
    }
  } else {
    oldBlocks.assign(static_cast<size_t>(count) * nf, 0);
  }
  // 2. The records, the descriptors and the header under the new key. A failure writes
  //    back what was already rewritten, then takes back the memo file.
  uint32_t done = 0;
  bool descWritten = false;
  try {
    for (uint32_t n = 1; n <= count; ++n) {
      convert(n, oldEncrypted, oldPassword, newEncrypted, newPassword, memo ? &newBlocks : nullptr);
      done = n;
    }
    std::vector<uint8_t> desc = DescArea;
    if (newEncrypted) xbEncrypt(newPassword, desc.data(), desc.data(), desc.size(), 1);
    if (!desc.empty()) Write(32, desc.data(), static_cast<int64_t>(desc.size()));
    descWritten = true;
    Encrypted = newEncrypted;
    HeaderChanged = true;
    WriteHeader();
  } catch (...) {
    try {
      if (descWritten) {
        std::vector<uint8_t> desc = DescArea;
        if (oldEncrypted) xbEncrypt(oldPassword, desc.data(), desc.data(), desc.size(), 1);
        if (!desc.empty()) Write(32, desc.data(), static_cast<int64_t>(desc.size()));
      }
      for (uint32_t n = done; n >= 1; --n)
        convert(n, newEncrypted, newPassword, oldEncrypted, oldWriteKey, memo ? &oldBlocks : nullptr);
      if (memo) memo->RollbackUpdate();
    } catch (...) {
      // Records 1 .. done stay under the new key, and the memo file keeps their new texts.
      if (memo) memo->CommitUpdate();
    }
    HeaderChanged = false;
    keysBack();
    positionBack();
    throw;
  }
  Password = newPassword;
  WriteKey = newPassword;
  Encrypted = newEncrypted;
  if (memo) {
    memo->SetKeys(Encrypted, Password, WriteKey);
    // dBase IV gets the old runs back on its free list.
    for (uint32_t b : oldBlocks)
      if (b != 0) memo->ReleaseAfterUpdate(b);
    memo->CommitUpdate();
  }
  for (auto& f : IndexFiles)
    if (f) f->Reencrypt(oldEncrypted ? oldPassword : std::string(), newPassword);
  MasterTag = restore.tag;
  positionBack();
}

void XBO_dBHandler::buildFilterSet() {
  FilterSet.ClearAll();
  int32_t savedRec = RecNo;
  bool rangeTag = MasterTag && MasterTag->HasRange();
  IxbIndexTag* savedTag = MasterTag;
  bool savedActive = FilterActive;
  FilterActive = false;
  if (!rangeTag) MasterTag = nullptr;
  auto savedHook = std::move(RecordFilterHook);
  RecordFilterHook = nullptr;
  struct Restore {
    XBO_dBHandler& h;
    IxbIndexTag* tag;
    bool active;
    std::function<bool()>& hook;
    std::function<bool()> saved;
    ~Restore() {
      h.MasterTag = tag;
      h.FilterActive = active;
      hook = std::move(saved);
    }
  } restore{*this, savedTag, savedActive, RecordFilterHook, std::move(savedHook)};
  {
    ReadAheadGuard ra(*this, !rangeTag);
    bool savedDeleted = UseDeleted;
    UseDeleted = true;
    struct DelGuard { bool& d; bool s; ~DelGuard() { d = s; } } dg{UseDeleted, savedDeleted};
    for (GoTo(-3); !Eof; GoTo(-1)) {
      if (Bof) break;
      if (evalFilter()) FilterSet.SetBit(RecNo, 1);
    }
  }
  if (savedRec >= 1 && static_cast<uint32_t>(savedRec) <= RecordCount) XBO_dBaseFld::GoTo(savedRec);
}

void XBO_dBHandler::SetFilter(const std::string& expression, bool caseInsensitive, bool partial) {
  if (expression.empty()) {
    FilterExpr.reset();
    FilterText.clear();
    FilterActive = false;
    return;
  }
  if (FilterExpr && expression == FilterText && caseInsensitive == FilterCaseInsensitive && partial == FilterPartial) {
    EnableFilter(true);
    return;
  }
  if (!FilterCompiler()) xbRaise(msg::ErrorGetting, {expression});
  FilterExpr.reset();
  FilterText = expression;
  FilterCaseInsensitive = caseInsensitive;
  FilterPartial = partial;
  FilterSet.ClearAll();
  FilterExpr = FilterCompiler()(*this, expression, caseInsensitive, partial);
  if (!FilterExpr) xbRaise(msg::ErrorGetting, {expression});
  // The result type is checked once before the whole table is evaluated.
  TxbVariant probe = FilterExpr->Evaluate();
  if (probe.Type() != TxbVarType::Boolean) {
    FilterExpr.reset();
    xbRaise(msg::FilterNotBoolean);
  }
  buildFilterSet();
  EnableFilter(FilterEnabled);
}

void XBO_dBHandler::EnableFilter(bool on) {
  FilterEnabled = on;
  FilterActive = on && FilterExpr != nullptr;
}

void XBO_dBHandler::RefreshFilter() {
  if (FilterActive) buildFilterSet();
}

bool XBO_dBHandler::SetRange(std::string_view low, std::string_view high, bool partial) {
  if (!MasterTag) return false;
  bool ok = MasterTag->SetRange(low, high, partial);
  if (ok) {
    GoTo(-3);
    if (Bof) std::memset(CurRecord, ' ', RecordLength);
  }
  return ok;
}

void XBO_dBHandler::ClearRange() {
  if (MasterTag) MasterTag->ClearRange();
}

}  // namespace xb
