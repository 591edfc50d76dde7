// The index-file frame: the operation guard, the file's page I/O (enciphered
// pieces), its lock, the reload after another program's change, the commit and the
// undo of a record's key change.
#include "xbase/xb_indx.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <sys/stat.h>
#include <time.h>

#include "platform/strutil.h"
#include "xbase/SysXBase.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_encrxm.h"
#include "xbase/xb_glbl.h"

namespace xb {

// ---------------------------------------------------------------- operation guard

TxbIndexOp::TxbIndexOp(XBobjIndexFile& file) : f_(file) {
  if (!f_.Lock()) xbRaise(xb::msg::CannotLock, {f_.FileName()});
  f_.visits_ = 0;
}

TxbIndexOp::~TxbIndexOp() { f_.Unlock(); }

// ---------------------------------------------------------------- file

namespace {
constexpr size_t CipherPiece = 512;
constexpr int64_t MaxVisits = 4000000;
// The file's modification time is distrusted for this long after it was seen:
// writes within one tick of the coarse clock leave it unchanged.
constexpr int64_t RacyNanos = 100000000;

int64_t nowNanos() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
}  // namespace

XBobjIndexFile::XBobjIndexFile(XBO_dBHandler& table, const std::string& fileName)
    : table_(table), fileName_(fileName) {
  protocol_ = table.LockProtocol;
  key_ = table.Encrypted ? table.Password : std::string();
  translate_ = table.TranslateOEM;
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
  disk_ = std::make_unique<XBO_DiskFile>(fileName_, create ? true : table_.ReadWrite, table_.Shared);
  if (create)
    disk_->Create();
  else
    disk_->Open();
  fileName_ = disk_->FileName;
}

void XBobjIndexFile::loadLocked() {
  stale_ = true;
  TxbIndexOp op(*this);
  // A writer killed between a record and its keys leaves the table's last record
  // without them (the records before it had theirs when the next one was written).
  // The count the next append goes on from: an exclusive open takes in a record the
  // header does not count yet.
  const uint32_t last = std::max(table_.RecordCount, table_.CountFromSize());
  if (!ReadOnly() && last <= static_cast<uint32_t>(INT32_MAX)) AddMissingKeys(static_cast<int32_t>(last));
}

void XBobjIndexFile::AddMissingKeys(int32_t recNo) {
  const size_t rl = table_.RecordLength;
  if (recNo < 1 || rl == 0 || tags_.empty() || ReadOnly()) return;
  TxbIndexOp op(*this);
  std::vector<uint8_t> rec(rl + 1, ' ');
  const int64_t pos = static_cast<int64_t>(table_.HeaderLength) + static_cast<int64_t>(recNo - 1) * static_cast<int64_t>(rl);
  if (table_.XBO_DiskFile::Read(pos, rec.data(), static_cast<int64_t>(rl)) != static_cast<int64_t>(rl)) return;
  if (table_.Encrypted) xbEncrypt(table_.Password, rec.data(), rec.data(), rl, 0);
  BeginKeyChange();
  try {
    changeTags([&](XBobjIndexTag& t) { return t.AddIfMissing(recNo, rec.data()); });
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    try {
      TakeBackKeys();
    } catch (...) {
      failure = std::current_exception();
    }
    EndKeyChange();
    std::rethrow_exception(failure);
  }
  EndKeyChange();
}

void XBobjIndexFile::createLocked(const std::function<void()>& make) {
  creating_ = true;   // nothing on disk yet to compare with
  {
    TxbIndexOp op(*this);
    make();
    Commit();
  }
  creating_ = false;
}

void XBobjIndexFile::corrupt() const { xbRaise(msg::IndexCorrupted, {fileName_}); }
void XBobjIndexFile::badPage(int64_t pos) const { xbRaise(msg::IndexPageBad, {fileName_, pos}); }

void XBobjIndexFile::CountVisit() {
  if (++visits_ > MaxVisits) corrupt();
}

int64_t XBobjIndexFile::FileSize() {
  // While the index lock is held nobody else writes the file: its size is asked once
  // and then follows this object's own writes.
  if (locks_ > 0 && knownSize_ >= 0) return knownSize_;
  const int64_t size = disk_->FileSize();
  if (locks_ > 0) knownSize_ = size;
  return size;
}

bool XBobjIndexFile::Read(int64_t pos, void* buffer, size_t length) {
  if (pos < 0) return false;
  if (key_.empty()) return disk_->Read(pos, buffer, static_cast<int64_t>(length)) == static_cast<int64_t>(length);
  const int64_t a = pos / CipherPiece * CipherPiece;
  const int64_t b = (pos + static_cast<int64_t>(length) + CipherPiece - 1) / CipherPiece * CipherPiece;
  std::vector<uint8_t> tmp(static_cast<size_t>(b - a));
  int64_t got = disk_->Read(a, tmp.data(), b - a);
  if (got < pos + static_cast<int64_t>(length) - a) return false;
  for (int64_t at = 0; at < got; at += CipherPiece)
    xbEncrypt(key_, tmp.data() + at, tmp.data() + at, static_cast<size_t>(std::min<int64_t>(CipherPiece, got - at)), 0);
  std::memcpy(buffer, tmp.data() + (pos - a), length);
  return true;
}

void XBobjIndexFile::ReadPage(int64_t pos, void* buffer, size_t length) {
  if (!Read(pos, buffer, length)) badPage(pos);
}

void XBobjIndexFile::Write(int64_t pos, const void* buffer, size_t length) {
  if (ReadOnly()) xbRaise(msg::IndexReadOnly, {fileName_});
  written_ = true;
  if (key_.empty()) {
    diskWrite(pos, buffer, static_cast<int64_t>(length));
    if (knownSize_ >= 0) knownSize_ = std::max(knownSize_, pos + static_cast<int64_t>(length));
    return;
  }
  const int64_t a = pos / CipherPiece * CipherPiece;
  const int64_t b = (pos + static_cast<int64_t>(length) + CipherPiece - 1) / CipherPiece * CipherPiece;
  std::vector<uint8_t> tmp(static_cast<size_t>(b - a), 0);
  if (a != pos || b != pos + static_cast<int64_t>(length)) {
    // A piece written in part: the rest of it comes from the file.
    int64_t got = disk_->Read(a, tmp.data(), b - a);
    for (int64_t at = 0; at < got; at += CipherPiece)
      xbEncrypt(key_, tmp.data() + at, tmp.data() + at, static_cast<size_t>(std::min<int64_t>(CipherPiece, got - at)), 0);
  }
  std::memcpy(tmp.data() + (pos - a), buffer, length);
  for (size_t at = 0; at < tmp.size(); at += CipherPiece) xbEncrypt(key_, tmp.data() + at, tmp.data() + at, CipherPiece, 1);
  diskWrite(a, tmp.data(), b - a);
  if (knownSize_ >= 0) knownSize_ = std::max(knownSize_, b);
}

void XBobjIndexFile::diskWrite(int64_t pos, const void* buffer, int64_t length) {
  if (undoOn_) {
    // What the write overwrites, as the file held it when the record write began.
    if (undoSize_ < 0) undoSize_ = FileSize();
    const int64_t n = std::min(length, undoSize_ - pos);
    if (n > 0) {
      TxbUndoPiece u{pos, std::vector<uint8_t>(static_cast<size_t>(n))};
      if (disk_->Read(pos, u.bytes.data(), n) != n) xbRaise(xb::msg::ErrorRead, {fileName_});
      undo_.push_back(std::move(u));
    }
  }
  disk_->Write(pos, buffer, length);
}

void XBobjIndexFile::BeginKeyChange() {
  undoOn_ = disk_ && disk_->ReadWrite;
  undo_.clear();
  undoSize_ = -1;
}

void XBobjIndexFile::EndKeyChange() {
  undoOn_ = false;
  undo_.clear();
}

void XBobjIndexFile::TakeBackKeys() {
  if (!undoOn_) return;
  undoOn_ = false;
  if (undo_.empty() && undoSize_ < 0) return;   // nothing written: the file is as it was
  // Whatever happens below, the pages in memory are not what the file holds.
  dropPages();
  stale_ = true;
  nextFree_ = -1;
  knownSize_ = -1;
  std::vector<TxbUndoPiece> undo = std::move(undo_);
  undo_.clear();
  // Every piece is written back, also after one of them failed, and the file is cut.
  bool failed = false;
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    try {
      disk_->Write(it->pos, it->bytes.data(), static_cast<int64_t>(it->bytes.size()));
    } catch (...) {
      failed = true;
    }
  }
  // Pages added at the end go too; the index lock keeps other writers off the file.
  try {
    if (undoSize_ >= 0 && disk_->FileSize() > undoSize_ && xbTruncateFile(disk_->Handle, undoSize_) != 0) failed = true;
  } catch (...) {
    failed = true;
  }
  // A write that failed may have left the bytes as they were: what counts is what the file holds.
  const bool whole = !failed || holdsPieces(undo);
  if (whole && table_.AutoFlush) {
    try {
      disk_->Flush();
    } catch (...) {
    }
  }
  noteFileState();
  if (whole) return;
  markDamaged();
  corrupt();
}

bool XBobjIndexFile::holdsPieces(const std::vector<TxbUndoPiece>& undo) {
  // The oldest piece of a byte is what the file held before the key change.
  std::map<int64_t, uint8_t> want;
  for (auto it = undo.rbegin(); it != undo.rend(); ++it)
    for (size_t i = 0; i < it->bytes.size(); ++i) want[it->pos + static_cast<int64_t>(i)] = it->bytes[i];
  try {
    if (undoSize_ >= 0 && disk_->FileSize() != undoSize_) return false;
    std::vector<uint8_t> run;
    for (auto at = want.begin(); at != want.end();) {
      auto end = at;
      run.clear();
      for (int64_t pos = at->first; end != want.end() && end->first == pos; ++end, ++pos) run.push_back(end->second);
      std::vector<uint8_t> got(run.size());
      const int64_t n = static_cast<int64_t>(run.size());
      if (disk_->Read(at->first, got.data(), n) != n || got != run) return false;
      at = end;
    }
  } catch (...) {
    return false;
  }
  return true;
}

void XBobjIndexFile::markDamaged() {
  damaged_ = true;
  refused_ = true;
  dropPages();
  stale_ = true;
  nextFree_ = -1;
  knownSize_ = -1;
  try {
    WriteOpenMark(true);
    markWritten_ = true;
  } catch (...) {
    // A disk that takes no write: what the file holds is of no use (a Reindex makes it
    // again from the table), and a file cut short is refused by every open.
    markWritten_ = disk_ && xbTruncateFile(disk_->Handle, RefusedLength()) == 0;
  }
}

void XBobjIndexFile::rebuild(const std::function<void()>& body) {
  rebuilding_ = true;
  struct G { bool& b; ~G() { b = false; } } g{rebuilding_};
  TxbIndexOp op(*this);
  const bool wasRefused = refused_;
  refused_ = true;
  try {
    WriteOpenMark(true);
  } catch (...) {
    refused_ = wasRefused;   // nothing was changed
    throw;
  }
  try {
    body();
    refused_ = false;
    WriteOpenMark(false);   // the last write: the file opens again
    if (table_.AutoFlush) disk_->Flush();
  } catch (...) {
    markDamaged();
    throw;
  }
  damaged_ = false;
  markWritten_ = false;
  noteFileState();
}

bool XBobjIndexFile::truncate(int64_t size) {
  if (ReadOnly() || !disk_->FullAccess()) return false;
  knownSize_ = -1;
  disk_->Truncate(size);
  return true;
}

void XBobjIndexFile::noteFileState() {
  struct stat st;
  if (disk_ && disk_->Handle >= 0 && ::fstat(disk_->Handle, &st) == 0) {
    seenSize_ = st.st_size;
    seenTime_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    notedAt_ = nowNanos();
  }
}

bool XBobjIndexFile::ChangedExternally() {
  if (!disk_ || !disk_->Shared || disk_->Handle < 0) return false;
  struct stat st;
  if (::fstat(disk_->Handle, &st) != 0) return false;
  return st.st_size != seenSize_ ||
         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec != seenTime_;
}

bool XBobjIndexFile::NeedsReload() {
  if (!disk_ || !disk_->Shared) return false;
  // Without an update counter, a modification time seen shortly before it was noted
  // proves nothing: another write in the same tick of the clock would not change it.
  return ChangedExternally() || notedAt_ - seenTime_ < RacyNanos;
}

XBobjIndexTag* XBobjIndexFile::TagByName(std::string_view name) {
  std::string want = platform::Trim(std::string(name));
  for (auto& t : tags_)
    if (platform::SameText(t->Name, want)) return t.get();
  return nullptr;
}

std::vector<XBobjIndexTag*> XBobjIndexFile::allTags() {
  std::vector<XBobjIndexTag*> out;
  for (auto& t : tags_) out.push_back(t.get());
  return out;
}

void XBobjIndexFile::dropPages() {
  for (XBobjIndexTag* t : allTags()) t->DropPages();
}

void XBobjIndexFile::reload() {
  stale_ = false;
  try {
    LoadTags();
  } catch (...) {
    stale_ = true;
    throw;
  }
  noteFileState();
}

void XBobjIndexFile::retire(std::unique_ptr<XBobjIndexTag> tag) {
  tag->Retired = true;
  tag->DropPages();
  tag->ClearRange();
  retired_.push_back(std::move(tag));
}

bool XBobjIndexFile::TagDelete(const std::string&) { return false; }

void XBobjIndexFile::Commit() {
  for (XBobjIndexTag* t : allTags()) t->CommitPages();
  if (fileHeaderChanged_) {
    StoreFileHeader();
    fileHeaderChanged_ = false;
  }
  if (table_.AutoFlush) disk_->Flush();
  noteFileState();
}

void XBobjIndexFile::Flush() {
  if (disk_ && disk_->ReadWrite) disk_->Flush();
}

void XBobjIndexFile::UpdateKeys(int32_t recNo, const uint8_t* oldRecord) {
  if (recNo < 1 || tags_.empty()) return;
  TxbIndexOp op(*this);
  changeTags([&](XBobjIndexTag& t) { return t.UpdateRecord(recNo, table_.CurRecord, oldRecord); });
}

void XBobjIndexFile::changeTags(const std::function<bool(XBobjIndexTag&)>& change) {
  try {
    bool changed = false;
    for (auto& t : tags_) changed = change(*t) || changed;
    if (changed) {
      AfterChange();
      Commit();
    }
  } catch (...) {
    // What is in memory may no longer be what is on disk: everything is read again.
    dropPages();
    stale_ = true;
    throw;
  }
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
  if (!disk_) return false;
  knownSize_ = -1;
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
    nextFree_ = -1;   // another program may have made the file longer
  }
  locks_ = 1;
  try {
    if (damaged_ && !rebuilding_) {
      if (!markWritten_) {
        try {
          WriteOpenMark(true);
          markWritten_ = true;
        } catch (...) {
        }
      }
      corrupt();
    }
    if (damaged_) stale_ = false;   // a rebuild: the file is not read, it is made again
    else if (stale_ || (!creating_ && NeedsReload())) reload();
  } catch (...) {
    locks_ = 0;
    if (lockHeld_) {
      lockHeld_ = false;
      try {
        disk_->Unlock();
      } catch (...) {
      }
    }
    throw;
  }
  return true;
}

void XBobjIndexFile::Unlock() {
  if (locks_ == 0) return;
  if (--locks_ > 0) return;
  knownSize_ = -1;
  for (XBobjIndexTag* t : allTags()) t->TrimPages();
  if (lockHeld_) {
    lockHeld_ = false;
    disk_->Unlock();
  }
}

bool XBobjIndexFile::Rename(const std::string& newName) {
  bool r = disk_->Rename(newName);
  fileName_ = disk_->FileName;
  return r;
}

void XBobjIndexFile::Reencrypt(const std::string& oldKey, const std::string& newKey) {
  TxbIndexOp op(*this);
  if (ReadOnly()) xbRaise(msg::IndexReadOnly, {fileName_});
  const int64_t size = FileSize();
  std::vector<uint8_t> buf(64 * CipherPiece);
  for (int64_t pos = 0; pos < size; pos += static_cast<int64_t>(buf.size())) {
    int64_t n = std::min<int64_t>(static_cast<int64_t>(buf.size()), size - pos);
    if (disk_->Read(pos, buf.data(), n) != n) xbRaise(xb::msg::ErrorRead, {fileName_});
    for (int64_t at = 0; at < n; at += CipherPiece) {
      size_t len = static_cast<size_t>(std::min<int64_t>(CipherPiece, n - at));
      xbEncrypt(oldKey, buf.data() + at, buf.data() + at, len, 0);
      xbEncrypt(newKey, buf.data() + at, buf.data() + at, len, 1);
    }
    disk_->Write(pos, buf.data(), n);
  }
  key_ = newKey;
  written_ = true;
  noteFileState();
}

void XBobjIndexFile::markProduction() {
  if (table_.ProductionIndex) return;
  const std::string& t = table_.FileName;
  size_t slash = t.find_last_of('/'), dot = t.find_last_of('.');
  std::string ext = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? t.substr(dot) : "";
  if (!platform::SameText(xbChangeExt(fileName_, ext), t)) return;
  table_.ProductionIndex = true;
  table_.HeaderChanged = true;
  table_.RefreshHeader();
  table_.WriteHeader();
}

}  // namespace xb
