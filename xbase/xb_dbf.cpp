#include "xbase/xb_dbf.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

#include "platform/exception.h"
#include "xbase/SysXBase.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_encrxm.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_lcal.h"

namespace xb {

namespace {
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// A field's length from its descriptor: C fields take byte 17 as the high byte.
uint32_t descLength(const uint8_t* d) { return d[11] == 'C' ? d[16] + 256u * d[17] : d[16]; }
bool versionAccepted(uint8_t v) {
  return v == 0x03 || v == 0x04 || v == 0x30 || v == 0x83 || v == 0x8B || v == 0xF5;
}
std::string upperAscii(std::string_view s) {
  std::string r(s);
  for (auto& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}
std::string_view trimRight(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}
std::string_view trimBoth(std::string_view s) {
  s = trimRight(s);
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  return s;
}

// Decimal text of a DBF number field (no locale): optional sign, digits, '.' or ','.
bool parseNumber(std::string_view s, double& out) {
  s = trimBoth(s);
  if (s.empty()) {
    out = 0;
    return true;
  }
  if (s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  // Plain integers (the common case) need no floating-point parse.
  if (s.size() <= 15) {
    size_t i = s[0] == '-' ? 1 : 0;
    bool digits = i < s.size();
    int64_t v = 0;
    for (size_t k = i; k < s.size() && digits; ++k) {
      if (s[k] < '0' || s[k] > '9') digits = false;
      else v = v * 10 + (s[k] - '0');
    }
    if (digits) {
      out = static_cast<double>(i ? -v : v);
      return true;
    }
  }
  char buf[400];
  if (s.size() >= sizeof buf) return false;
  std::memcpy(buf, s.data(), s.size());
  for (size_t k = 0; k < s.size(); ++k)
    if (buf[k] == ',') buf[k] = '.';
  char c0 = buf[0] == '-' ? (s.size() > 1 ? buf[1] : 0) : buf[0];
  if (!((c0 >= '0' && c0 <= '9') || c0 == '.')) return false;
  auto r = std::from_chars(buf, buf + s.size(), out, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == buf + s.size();
}

// Releases a table lock on every path.
struct TableLockGuard {
  XBO_dBaseDBF* t;
  bool held = true;
  ~TableLockGuard() {
    if (held) {
      try {
        t->UnlockTable();
      } catch (...) {
      }
    }
  }
};
}  // namespace

std::function<void(XBO_dBaseDBF&)>& XBO_dBaseDBF::ExpressionHook() {
  static std::function<void(XBO_dBaseDBF&)> hook;
  return hook;
}

std::string XBO_dBaseDBF::resolveName(const std::string& fileName) {
  std::string n = xbDefaultExt(fileName, ".DBF");
  return xbResolveFileName(n);
}

XBO_dBaseDBF::XBO_dBaseDBF(const std::string& fileName, bool readWrite, bool shared, const std::string& password)
    : XBO_DiskFile(resolveName(fileName), readWrite, shared), Password(password), WriteKey(password) {
  TableStem = upperAscii(xbFileStem(FileName));
  Open();
  readStructure();
}

void XBO_dBaseDBF::readStructure() {
  if (Read(0, Header, 32) != 32) xbRaise(msg::ErrorRead, {FileName});
  Version = Header[0];
  if (!versionAccepted(Version)) xbRaise(msg::HeaderInvalid, {FileName});
  HeaderLength = le16(Header + 8);
  RecordLength = le16(Header + 10);
  Encrypted = Header[15] != 0;
  ChangeStamp = le32(Header + 16);
  UserID = static_cast<int32_t>(le32(Header + 20));
  ProductionIndex = Header[28] & 1;
  MemoPresent = Header[28] & 2;
  DatabaseContainer = Header[28] & 4;
  if (Encrypted && Password.empty()) xbRaiseEncryption(msg::NoPassword, {FileName});
  if (!Encrypted && !Password.empty()) xbRaiseEncryption(msg::PasswordForPlain, {FileName});
  uint32_t fixed = Version == 0x30 ? 296 : 33;
  if (RecordLength == 0 || HeaderLength < fixed) xbRaise(msg::HeaderInvalid, {FileName});
  switch (Version) {
    case 0x83: case 0x8B: case 0xF5: HasMemo = true; break;
    case 0x30: HasMemo = MemoPresent; break;
    default: HasMemo = false;
  }
  Eof = false;
  Bof = true;
  RecNo = 0;
  RecordCount = CountFromSize();
  // The descriptors end with 0x0D at the start of a 32-byte slot, inside the header
  // length (FoxPro's 263-byte backlink follows it); bytes after it are padding. An
  // enciphered table keeps its terminator plain, right after the descriptors the header
  // length has room for.
  const uint32_t slots = (HeaderLength - fixed) / 32;
  std::vector<uint8_t> area(static_cast<size_t>(slots) * 32 + 1);
  if (Read(32, area.data(), static_cast<int64_t>(area.size())) != static_cast<int64_t>(area.size()))
    xbRaise(msg::ErrorRead, {FileName});
  uint32_t count = slots;
  if (!Encrypted) {
    count = 0;
    while (count < slots && area[static_cast<size_t>(count) * 32] != xbFieldTerminator) ++count;
  }
  if (area[static_cast<size_t>(count) * 32] != xbFieldTerminator) headerDamaged(slots);
  FieldCount = static_cast<int>(count);
  DescArea.assign(area.begin(), area.begin() + static_cast<ptrdiff_t>(count) * 32);
  if (Encrypted) xbEncrypt(Password, DescArea.data(), DescArea.data(), DescArea.size(), 0);
  Fields.resize(static_cast<size_t>(FieldCount));
  uint64_t offset = 1;
  for (int i = 0; i < FieldCount; ++i) {
    const uint8_t* d = DescArea.data() + static_cast<size_t>(i) * 32;
    TxbFieldDesc& f = Fields[static_cast<size_t>(i)];
    size_t nl = 0;
    while (nl < 11 && d[nl] != 0) ++nl;
    f.Name.assign(reinterpret_cast<const char*>(d), nl);
    f.Type = static_cast<char>(d[11]);
    f.Length = descLength(d);
    f.Decimals = f.Type == 'C' ? 0 : d[17];
    f.Offset = static_cast<uint32_t>(offset);
    f.Number = static_cast<uint32_t>(i + 1);
    offset += f.Length;
  }
  // The field lengths of an encrypted table add up only with the right key.
  if (Encrypted && offset != RecordLength) xbRaiseEncryption(msg::InvalidPassword, {FileName});
  if (offset > RecordLength) xbRaise(msg::HeaderInvalid, {FileName});
  if (offset != RecordLength)
    xbRaise(msg::HeaderDamaged, {FileName, xbFormat(msg::RecordLengthMismatch, {RecordLength, static_cast<int64_t>(offset)})});
  RecordBuffer.assign(RecordLength + 1, ' ');
  RecordBuffer[RecordLength] = xbEOFMark;
  CurRecord = RecordBuffer.data();
  OldBuffer.assign(RecordLength + 1, ' ');
  CryptBuffer.assign(RecordLength + 1, ' ');
  FieldChanged.assign(static_cast<size_t>(FieldCount) + 1, 0);
  RefreshHeader();
  // A table whose records are read out of step (a header that does not match them)
  // shows it in the first record's deletion flag.
  if (RecordCount > 0) ReadRecord(1);
  std::fill(RecordBuffer.begin(), RecordBuffer.end() - 1, ' ');
  NotifyEvent(xbeOpened, 0);
  if (ExpressionHook()) ExpressionHook()(*this);
}

XBO_dBaseDBF::~XBO_dBaseDBF() {
  try {
    if (HeaderChanged && ReadWrite && !Closed) {
      RefreshHeader();
      WriteHeader();
    }
  } catch (...) {
  }
  memo_.reset();
}

uint32_t XBO_dBaseDBF::CountFromSize() {
  int64_t size = FileSize();
  if (size <= static_cast<int64_t>(HeaderLength) || RecordLength == 0) return 0;
  uint64_t n = static_cast<uint64_t>(size - HeaderLength) / RecordLength;
  if (n > static_cast<uint64_t>(INT32_MAX)) xbRaise(msg::HeaderInvalid, {FileName});
  return static_cast<uint32_t>(n);
}

void XBO_dBaseDBF::RefreshHeader() {
  if (!Shared) {
    TableChanged = false;
    return;
  }
  uint8_t h[32];
  if (Read(0, h, 32) != 32) xbRaise(msg::ErrorRead, {FileName});
  uint32_t count = CountFromSize();
  uint32_t stamp = le32(h + 16);
  TableChanged = count != RecordCount || stamp != ChangeStamp;
  RecordCount = count;
  ChangeStamp = stamp;
}

void XBO_dBaseDBF::WriteHeader() {
  if (!ReadWrite || !HeaderChanged || FileLocked) return;
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  Header[1] = static_cast<uint8_t>((tm.tm_year + 1900) % 100);
  Header[2] = static_cast<uint8_t>(tm.tm_mon + 1);
  Header[3] = static_cast<uint8_t>(tm.tm_mday);
  putLe32(Header + 4, RecordCount);
  Header[15] = Encrypted ? 1 : 0;
  ChangeStamp = static_cast<uint32_t>(((tm.tm_hour * 64 + tm.tm_min) * 64 + tm.tm_sec) * 1024 + ms);
  putLe32(Header + 16, ChangeStamp);
  putLe32(Header + 20, static_cast<uint32_t>(UserID));
  Header[28] = static_cast<uint8_t>((ProductionIndex ? 1 : 0) | (MemoPresent ? 2 : 0) | (DatabaseContainer ? 4 : 0));
  Write(0, Header, 32);
  HeaderChanged = false;
}

void XBO_dBaseDBF::Flush() {
  XBO_DiskFile::Flush();
  if (memo_) memo_->Flush();
  NotifyEvent(xbeFlush, 0);
}

bool XBO_dBaseDBF::Rename(const std::string& newName) {
  bool r = XBO_DiskFile::Rename(newName);
  TableStem = upperAscii(xbFileStem(FileName));
  if (HasMemo) {
    if (XBobjMemoBase* m = Memo()) m->RenameMemo(FileName);
  }
  return r;
}

void XBO_dBaseDBF::NotifyEvent(int code, int32_t value) {
  if (code == xbeAfterRead || code == xbeAfterWrite) {
    RecordChanged = false;
    if (BusyState != 5) BusyState = 1;
  }
}

int64_t XBO_dBaseDBF::RecordOffset(int32_t n) const {
  return static_cast<int64_t>(HeaderLength) + (static_cast<int64_t>(n) - 1) * static_cast<int64_t>(RecordLength);
}

void XBO_dBaseDBF::ReadRecord(int32_t n) {
  if (Read(RecordOffset(n), CurRecord, RecordLength) != static_cast<int64_t>(RecordLength))
    xbRaise(msg::ErrorRead, {FileName});
  if (Encrypted) xbEncrypt(Password, CurRecord, CurRecord, RecordLength, 0);
  if (CurRecord[0] != ' ' && CurRecord[0] != '*') xbRaise(msg::RecordDamaged, {n, FileName});
}

void XBO_dBaseDBF::headerDamaged(uint32_t slots) {
  // Descriptors that go on past the header length, their lengths adding up to the record
  // length, are a header length too short for them; anything else lacks its terminator.
  const int64_t size = FileSize();
  uint64_t offset = 1;
  for (uint32_t i = 0; i < 4096 && 32 + static_cast<int64_t>(i) * 32 < size; ++i) {
    uint8_t d[32] = {};
    int64_t got = Read(32 + static_cast<int64_t>(i) * 32, d, 32);
    if (got >= 1 && d[0] == xbFieldTerminator) {
      if (i > slots && offset == RecordLength)
        xbRaise(msg::HeaderDamaged, {FileName, xbFormat(msg::HeaderTooShort, {HeaderLength, i})});
      break;
    }
    if (got != 32) break;
    offset += descLength(d);
  }
  xbRaise(msg::HeaderDamaged, {FileName, msg::NoFieldTerminator});
}

void XBO_dBaseDBF::GoTo(int32_t code) {
  Eof = false;
  Bof = false;
  if (code == 0) return;
  if (code < -5) xbRaise(msg::RecordNotInTable, {code, FileName});
  if (RecordCount == 0) {
    RefreshHeader();
    if (RecordCount == 0) {
      Eof = true;
      Bof = true;
      return;
    }
  }
  int64_t target;
  switch (code) {
    case -1: target = static_cast<int64_t>(RecNo) + 1; break;
    case -2:
      if (RecNo <= 1) {
        Bof = true;
        return;
      }
      target = RecNo - 1;
      break;
    case -3: target = 1; break;
    case -4: target = RecordCount; break;
    case -5:
      target = RecNo;
      if (target < 1) {
        Bof = true;
        return;
      }
      break;
    default: target = code;
  }
  if (target > static_cast<int64_t>(RecordCount)) {
    RefreshHeader();
    if (target > static_cast<int64_t>(RecordCount)) {
      if (target == static_cast<int64_t>(RecordCount) + 1) {
        Eof = true;
        return;
      }
      xbRaise(msg::RecordNotInTable, {static_cast<int64_t>(target), FileName});
    }
  }
  int32_t n = static_cast<int32_t>(target);
  NotifyEvent(xbeBeforeRead, code);
  ReadRecord(n);
  RecNo = n;
  NotifyEvent(xbeAfterRead, n);
  if (ReadWrite) std::memcpy(OldBuffer.data(), CurRecord, RecordLength);   // old values matter only to writers
}

void XBO_dBaseDBF::WriteRecordAt(int32_t n, bool withEof) {
  if (!ReadWrite) xbRaise(msg::ErrorWrite, {FileName});
  std::memcpy(CryptBuffer.data(), CurRecord, RecordLength);
  CryptBuffer[RecordLength] = xbEOFMark;
  if (Encrypted) xbEncrypt(WriteKey, CryptBuffer.data(), CryptBuffer.data(), RecordLength, 1);
  Write(RecordOffset(n), CryptBuffer.data(), RecordLength + (withEof ? 1 : 0));
}

bool XBO_dBaseDBF::TableLockRange(const TxbLockSpan& s) {
  if (FileLocked) {
    ++LockCount;
    return true;
  }
  return LockRange(s.offset, s.length);
}

bool XBO_dBaseDBF::LockAppend() { return TableLockRange(xbAppendLockSpan(LockParams)); }

bool XBO_dBaseDBF::LockTable() {
  if (!TableLockRange(xbFileLockSpan(LockParams))) return false;
  FileLocked = true;
  RefreshHeader();
  return true;
}

bool XBO_dBaseDBF::LockFull() {
  if (!TableLockRange(xbFullLockSpan())) return false;
  FileLocked = true;
  RefreshHeader();
  return true;
}

bool XBO_dBaseDBF::UnlockTable() {
  Unlock();
  if (LockCount == 0) {
    FileLocked = false;
    if (HeaderChanged) WriteHeader();
  }
  return true;
}

bool XBO_dBaseDBF::LockRecord() {
  if (FileLocked) {
    ++LockCount;
    return true;
  }
  auto s = xbRecordLockSpan(LockProtocol, LockParams, static_cast<uint32_t>(RecNo < 0 ? 0 : RecNo), HeaderLength,
                            RecordLength, IndexLocking());
  if (!s) return false;
  return TableLockRange(*s);
}

void XBO_dBaseDBF::SetLockProtocol(int protocol) {
  LockProtocol = protocol;
  xbLockParamsFor(protocol, LockParams);
  if (memo_) memo_->SetLockProtocol(protocol);
}

void XBO_dBaseDBF::Append() {
  if (!ReadWrite) xbRaise(msg::ErrorWrite, {FileName});
  // Never append without the append lock: retry within the budget, then fail.
  bool locked = false;
  int tries = xbLockRetry().tries();
  for (int i = 0; i < tries && !locked; ++i) {
    locked = LockAppend();
    if (!locked && i + 1 < tries) xbSleep(xbLockRetry().intervalMs);
  }
  if (!locked) xbRaise(msg::CannotLock, {FileName});
  TableLockGuard guard{this};
  NotifyEvent(xbeBeforeWrite, 0);
  RecordChanged = true;
  // A failed append leaves the header as it was: nothing to write at the unlock.
  const bool headerWas = HeaderChanged;
  HeaderChanged = true;
  RefreshHeader();
  if (!Shared) RecordCount = std::max(RecordCount, CountFromSize());
  CurRecord[0] = ' ';
  if (RecordCount >= static_cast<uint32_t>(INT32_MAX)) throw EIntOverflow();
  const uint32_t oldCount = RecordCount;
  const int32_t oldRecNo = RecNo;
  const int64_t oldSize = FileSize();
  uint32_t newCount = RecordCount + 1;
  // What the new record overwrites at the file's end (the end-of-file mark).
  const int64_t at = RecordOffset(static_cast<int32_t>(newCount));
  std::string tail(static_cast<size_t>(std::clamp<int64_t>(oldSize - at, 0, 16)), '\0');
  if (!tail.empty() && XBO_DiskFile::Read(at, tail.data(), static_cast<int64_t>(tail.size())) !=
                           static_cast<int64_t>(tail.size()))
    tail.clear();
  try {
    WriteRecordAt(static_cast<int32_t>(newCount), true);
    RecordCount = newCount;
    RecNo = static_cast<int32_t>(newCount);
    WriteHeader();
    Eof = false;
    Bof = false;
    // The keys follow under the append lock: when they cannot be written, the record
    // is taken back before anyone else appends behind it.
    NotifyEvent(xbeAfterWrite, 0);
  } catch (...) {
    const bool counted = RecordCount != oldCount;
    takeBackAppend(oldCount, oldRecNo, oldSize, at, tail);
    if (!counted) HeaderChanged = headerWas;   // the header was not reached
    throw;
  }
  guard.held = false;
  UnlockTable();
  // The record stands: a flush that fails is reported as it is, with nothing taken back.
  if (AutoFlush) Flush();
  std::memcpy(OldBuffer.data(), CurRecord, RecordLength);
}

void XBO_dBaseDBF::takeBackAppend(uint32_t oldCount, int32_t oldRecNo, int64_t oldSize, int64_t at,
                                  const std::string& tail) {
  // The failure already raised is what the caller sees; the header first, so that a
  // file cut short is never counted longer than it is.
  const bool counted = RecordCount != oldCount;
  RecordCount = oldCount;
  RecNo = oldRecNo;
  try {
    if (counted) {
      HeaderChanged = true;
      WriteHeader();
    }
  } catch (...) {
  }
  // The append lock keeps other writers off the file's end: it is cut back even
  // under a shared open.
  if (!Closed && FileSize() > oldSize) xbTruncateFile(Handle, oldSize);
  try {
    if (!tail.empty()) XBO_DiskFile::Write(at, tail.data(), static_cast<int64_t>(tail.size()));
  } catch (...) {
  }
}

void XBO_dBaseDBF::takeBackEdit(int32_t n, const uint8_t* stored) {
  try {
    if (stored) {
      Write(RecordOffset(n), stored, RecordLength);
      return;
    }
    const uint8_t* prior = PriorRecord(n);
    if (!prior) return;
    std::memcpy(CryptBuffer.data(), prior, RecordLength);
    if (Encrypted) xbEncrypt(WriteKey, CryptBuffer.data(), CryptBuffer.data(), RecordLength, 1);
    Write(RecordOffset(n), CryptBuffer.data(), RecordLength);
  } catch (...) {
  }
}

void XBO_dBaseDBF::PutRecord(int32_t n) {
  if (n < 1 || static_cast<uint32_t>(n) > RecordCount) {
    Append();
    return;
  }
  NotifyEvent(xbeBeforeWrite, n);
  const bool headerWas = HeaderChanged;
  HeaderChanged = true;
  // The record as the file holds it, written back when the header cannot be written.
  std::vector<uint8_t> stored(RecordLength);
  const bool haveStored =
      XBO_DiskFile::Read(RecordOffset(n), stored.data(), RecordLength) == static_cast<int64_t>(RecordLength);
  try {
    WriteRecordAt(n, false);
  } catch (...) {
    HeaderChanged = headerWas;
    throw;
  }
  RecNo = n;
  RecordWritten = true;
  try {
    RefreshHeader();
    WriteHeader();
    NotifyEvent(xbeAfterWrite, n);
  } catch (...) {
    // A header or keys that could not follow the record: the record goes back to
    // what the file held.
    takeBackEdit(n, haveStored ? stored.data() : nullptr);
    throw;
  }
  // The record stands: a flush that fails is reported as it is, with nothing taken back.
  if (AutoFlush) Flush();
  std::memcpy(OldBuffer.data(), CurRecord, RecordLength);
}

std::string XBO_dBaseDBF::MemoFileName() const {
  std::string name(trimBoth(FileName));
  const char* ext = (Version == 0x30 || Version == 0xF5) ? ".fpt" : ".dbt";
  return xbResolveFileName(xbChangeExt(name, ext));
}

XBobjMemoBase* XBO_dBaseDBF::Memo() {
  if (!HasMemo) return nullptr;
  if (!memo_) {
    std::string name = MemoFileName();
    if (!xbFileExists(name)) xbRaise(msg::FileNotFound, {name});
    switch (Version) {
      case 0x83: memo_ = std::make_unique<XBobjMemo>(name, ReadWrite, Shared, LockProtocol); break;
      case 0x8B: memo_ = std::make_unique<XBobjMemo4>(name, ReadWrite, Shared, LockProtocol); break;
      default: memo_ = std::make_unique<XBobjFXMemo20>(name, ReadWrite, Shared, LockProtocol); break;
    }
    memo_->SetKeys(Encrypted, Password, WriteKey);
  }
  return memo_.get();
}

// Field access

XBO_dBaseFld::XBO_dBaseFld(const std::string& fileName, bool readWrite, bool shared, const std::string& password)
    : XBO_dBaseDBF(fileName, readWrite, shared, password) {
  for (const auto& f : Fields) {
    if (f.Name.empty()) continue;
    std::string key = upperAscii(trimRight(f.Name));
    byName_.emplace(key, static_cast<int>(f.Number));
  }
  std::fill(FieldChanged.begin(), FieldChanged.end(), 0);
}

int XBO_dBaseFld::FieldNo(std::string_view name) const {
  if (name.size() > 11) name = name.substr(0, 11);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  if (name.empty()) return 0;
  char key[12];
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    key[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  auto it = byName_.find(std::string(key, name.size()));
  return it == byName_.end() ? 0 : it->second;
}

int XBO_dBaseFld::requireNo(std::string_view name) const {
  int n = FieldNo(name);
  if (n == 0) xbRaise(msg::NoFieldName, {FileName + "->" + std::string(name)});
  return n;
}

const TxbFieldDesc& XBO_dBaseFld::FieldDescByName(std::string_view name) const {
  return Fields[static_cast<size_t>(requireNo(name) - 1)];
}

std::string XBO_dBaseFld::fieldRef(const TxbFieldDesc& f) const { return TableStem + "->" + f.Name; }

std::string_view XBO_dBaseFld::FieldView(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return std::string_view();
  return std::string_view(reinterpret_cast<const char*>(CurRecord) + f->Offset, f->Length);
}

bool XBO_dBaseFld::FieldPut(int n, std::string_view text) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return false;
  uint8_t* p = CurRecord + f->Offset;
  std::memset(p, ' ', f->Length);
  size_t len = std::min<size_t>(text.size(), f->Length);
  bool left = f->Type == 'C' || f->Type == 'D' || f->Type == 'L';
  if (left)
    std::memcpy(p, text.data(), len);
  else
    std::memcpy(p + (f->Length - len), text.data() + (text.size() - len), len);
  FieldChanged[static_cast<size_t>(n)] = 1;
  RecordChanged = true;
  return true;
}

int XBO_dBaseFld::FieldDecimals(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  return f ? f->Decimals : 0;
}
uint32_t XBO_dBaseFld::FieldLength(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  return f ? f->Length : 0;
}
uint32_t XBO_dBaseFld::FieldOffset(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  return f ? f->Offset : 0;
}
std::string XBO_dBaseFld::FieldName(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  return f ? f->Name : std::string();
}
char XBO_dBaseFld::FieldType(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  return f ? f->Type : 0;
}

bool XBO_dBaseFld::IsBinaryField(int n) const {
  if (Version != 0x30) return false;
  char t = FieldType(n);
  return t == 'B' || t == 'G' || t == 'I' || t == 'M' || t == 'T' || t == 'Y';
}

void XBO_dBaseFld::BlankRecord() {
  std::memset(CurRecord, ' ', RecordLength);
  for (int n = 1; n <= FieldCount; ++n) {
    char t = FieldType(n);
    if (t == 'F' || t == 'N' || IsBinaryField(n)) NumberPut(n, 0.0);
  }
  std::fill(FieldChanged.begin(), FieldChanged.end(), 1);
  RecordChanged = true;
  NotifyEvent(xbeBlanked, 0);
}

void XBO_dBaseFld::DeleteRecord() {
  if (CurRecord[0] != '*') {
    CurRecord[0] = '*';
    FieldChanged[0] = 1;
    RecordChanged = true;
    PutRecord(RecNo);
  }
}

void XBO_dBaseFld::RecallRecord() {
  if (CurRecord[0] != ' ') {
    CurRecord[0] = ' ';
    FieldChanged[0] = 1;
    RecordChanged = true;
    PutRecord(RecNo);
  }
}

int32_t XBO_dBaseFld::DateGet(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return 0;
  std::string_view text = FieldView(n);
  try {
    return xbDBFDate().StrToJulian(text);
  } catch (const platform::Exception&) {
    xbRaise(msg::InvalidDate, {fieldRef(*f) + " (" + std::string(text) + ")"});
  }
}

int32_t XBO_dBaseFld::DateGetByName(std::string_view name) const {
  int n = requireNo(name);
  if (FieldType(n) != 'D') xbRaise(msg::IncorrectType, {std::string(name)});
  return DateGet(n);
}

bool XBO_dBaseFld::DatePut(int n, int32_t julian) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f || f->Type != 'D') return false;
  if (julian == -1 || (julian > 0 && (julian < xbJulianMin || julian > xbJulianMax)))
    xbRaise(msg::InvalidValue, {"Date", f->Name});
  FieldPut(n, xbDBFDate().JulianToDBFStr(julian));
  return true;
}

bool XBO_dBaseFld::LogicGet(int n) const {
  std::string_view v = FieldView(n);
  return !v.empty() && xbIsTrueChar(v[0]);
}

bool XBO_dBaseFld::LogicGetByName(std::string_view name) const {
  int n = requireNo(name);
  if (FieldType(n) != 'L') xbRaise(msg::IncorrectType, {std::string(name)});
  return LogicGet(n);
}

void XBO_dBaseFld::LogicPut(int n, bool value) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return;
  if (f->Type != 'L') xbRaise(msg::InvalidValue, {"Logical", f->Name});
  FieldPut(n, value ? "T" : "F");
}

double XBO_dBaseFld::NumberGet(int n) const { return NumberAt(n, CurRecord); }

double XBO_dBaseFld::NumberAt(int n, const uint8_t* record) const {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return 0;
  std::string_view v(reinterpret_cast<const char*>(record) + f->Offset, f->Length);
  if (Version == 0x30 && IsBinaryField(n)) {
    uint8_t b[8] = {};
    std::memcpy(b, v.data(), std::min<size_t>(v.size(), 8));
    bool blank4 = v.size() >= 4 && std::memcmp(v.data(), "    ", 4) == 0;
    switch (f->Type) {
      case 'B': {
        if (v.size() < 8) return 0;
        double d;
        std::memcpy(&d, b, 8);
        return d;
      }
      case 'I': {
        if (blank4) return 0;
        int32_t i;
        std::memcpy(&i, b, 4);
        return i;
      }
      case 'M':
      case 'G':
        if (blank4) return 0;
        return le32(b);
      case 'T': {
        if (blank4) return 0;
        int32_t jd, ms;
        std::memcpy(&jd, b, 4);
        std::memcpy(&ms, b + 4, 4);
        if (jd == 0 && ms == 0) return 0;
        return (static_cast<double>(jd) - xbTimeStampOffset) * 86400000.0 + ms;
      }
      case 'Y': {
        int64_t y;
        std::memcpy(&y, b, 8);
        return static_cast<double>(y) / 10000.0;
      }
    }
  }
  double d;
  if (!parseNumber(v, d)) xbRaise(msg::InvalidNumeric, {fieldRef(*f) + " (" + std::string(v) + ")"});
  return d;
}

double XBO_dBaseFld::NumberGetByName(std::string_view name) const {
  int n = requireNo(name);
  char t = FieldType(n);
  if (t != 'B' && t != 'F' && t != 'G' && t != 'I' && t != 'M' && t != 'N' &&
      !(Version == 0x30 && (t == 'T' || t == 'Y')))
    xbRaise(msg::IncorrectType, {std::string(name)});
  return NumberGet(n);
}

void XBO_dBaseFld::NumberPut(int n, double value) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return;
  char t = f->Type;
  bool allowed = t == 'B' || t == 'F' || t == 'G' || t == 'M' || t == 'N' ||
                 (Version == 0x30 && (t == 'I' || t == 'T' || t == 'Y'));
  if (!allowed) xbRaise(msg::IncorrectType, {f->Name});
  if (!std::isfinite(value)) xbRaise(msg::InvalidValue, {"Number", f->Name});
  uint8_t* p = CurRecord + f->Offset;
  if (IsBinaryField(n)) {
    uint8_t b[8] = {};
    size_t width = 4;
    try {
      switch (t) {
        case 'B': std::memcpy(b, &value, 8); width = 8; break;
        case 'I': { int32_t i = checked_trunc<int32_t>(value); std::memcpy(b, &i, 4); break; }
        case 'M':
        case 'G': { uint32_t u = checked_trunc<uint32_t>(value); putLe32(b, u); break; }
        case 'T': {
          width = 8;
          if (value != 0) {
            int64_t days = checked_trunc<int64_t>(value / 86400000.0);
            int32_t jd = checked_cast<int32_t>(checked_add<int64_t>(days, xbTimeStampOffset));
            int32_t ms = checked_trunc<int32_t>(value - static_cast<double>(days) * 86400000.0);
            std::memcpy(b, &jd, 4);
            std::memcpy(b + 4, &ms, 4);
          }
          break;
        }
        case 'Y': { int64_t y = checked_round<int64_t>(value * 10000.0); std::memcpy(b, &y, 8); width = 8; break; }
      }
    } catch (const ERangeError&) {
      xbRaise(msg::NumericTooBig, {f->Name});
    } catch (const EIntOverflow&) {
      xbRaise(msg::NumericTooBig, {f->Name});
    }
    std::memcpy(p, b, std::min<size_t>(width, f->Length));
    FieldChanged[static_cast<size_t>(n)] = 1;
    RecordChanged = true;
    return;
  }
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, f->Decimals);
  if (r.ec != std::errc()) xbRaise(msg::NumericTooBig, {f->Name});
  std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
  if (text.size() > f->Length) xbRaise(msg::NumericTooBig, {f->Name + " - " + std::string(text)});
  FieldPut(n, text);
}

std::string XBO_dBaseFld::StringGet(int n) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return std::string();
  std::string_view v = FieldView(n);
  switch (f->Type) {
    case 'B':
    case 'G': {
      if (Version == 0x30 && f->Type == 'B') {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, NumberGet(n));
        return std::string(buf, r.ptr);
      }
      double d = 0;
      bool ok = parseNumber(v, d);
      if (IsBinaryField(n)) { d = NumberGet(n); ok = true; }
      bool none = !ok || d <= 0;
      if (f->Type == 'B') return none ? "--binary--" : "--BINARY--";
      return none ? "-general--" : "-GENERAL--";
    }
    case 'D': {
      std::string s = xbDBFDate().JulianToDisplayStr(DateGet(n));
      return std::string(trimRight(s));
    }
    case 'F':
    case 'N': {
      std::string_view t = trimBoth(v);
      if (!t.empty()) return std::string(t);
      char buf[400];
      auto r = std::to_chars(buf, buf + sizeof buf, 0.0, std::chars_format::fixed, f->Decimals);
      return std::string(trimBoth(std::string_view(buf, static_cast<size_t>(r.ptr - buf))));
    }
    case 'L': return LogicGet(n) ? "T" : "F";
    case 'M': return MemoRead(n);
    default: return std::string(trimRight(v));
  }
}

void XBO_dBaseFld::StringPut(int n, std::string_view text) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f) return;
  switch (f->Type) {
    case 'D': {
      int32_t j;
      try {
        j = xbDBFDate().StrToJulian(text);
      } catch (const platform::Exception&) {
        xbRaise(msg::InvalidValue, {"Date", f->Name});
      }
      DatePut(n, j);
      return;
    }
    case 'F':
    case 'N': {
      double d;
      if (!parseNumber(trimRight(text), d)) xbRaise(msg::InvalidValue, {"Number", f->Name});
      NumberPut(n, d);
      return;
    }
    case 'L': {
      if (text.empty()) {
        LogicPut(n, false);
        return;
      }
      char c = text[0];
      if (xbIsTrueChar(c)) {
        LogicPut(n, true);
      } else if (xbIsFalseChar(c)) {
        LogicPut(n, false);
      } else {
        double d;
        if (!parseNumber(text, d) || trimBoth(text).empty()) xbRaise(msg::InvalidValue, {"Logical", f->Name});
        LogicPut(n, d != 0);
      }
      return;
    }
    case 'M':
      MemoWrite(n, text);
      return;
    default:
      FieldPut(n, text);
  }
}

void XBO_dBaseFld::BuildSearchRecord(uint8_t* buffer, std::string_view fieldList,
                                     const std::vector<std::string>& values) {
  uint8_t* saved = CurRecord;
  struct Restore {
    XBO_dBaseFld& t;
    uint8_t* p;
    ~Restore() { t.CurRecord = p; }
  } restore{*this, saved};
  CurRecord = buffer;
  std::memset(buffer, ' ', RecordLength);
  size_t index = 0;
  for (const std::string& name : SplitFieldList(fieldList)) {
    std::string value = values.size() == 1 ? values[0] : (index < values.size() ? values[index] : std::string());
    ++index;
    if (TranslateOEM) xbAnsiToOemBuf(value.data(), value.data(), value.size());
    StringPutByName(name, value);
  }
}

std::vector<std::string> XBO_dBaseFld::SplitFieldList(std::string_view fieldList) {
  std::vector<std::string> names;
  while (!fieldList.empty()) {
    size_t semi = fieldList.find(';');
    std::string_view name = trimBoth(fieldList.substr(0, semi));
    fieldList = semi == std::string_view::npos ? std::string_view() : fieldList.substr(semi + 1);
    if (!name.empty()) names.emplace_back(name);
  }
  return names;
}

uint32_t XBO_dBaseFld::MemoBlock(int n) const {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f || (f->Type != 'M' && f->Type != 'B' && f->Type != 'G')) return 0;
  if (Version == 0x30 && f->Type == 'B') return 0;   // an 8-byte double there
  double d = NumberGet(n);
  if (d < 0 || d > 4294967295.0 || d != std::trunc(d)) xbRaise(msg::InvalidNumeric, {fieldRef(*f)});
  return static_cast<uint32_t>(d);
}

uint32_t XBO_dBaseFld::MemoLength(int n) {
  uint32_t b = MemoBlock(n);
  if (b == 0 || !HasMemo) return 0;
  return Memo()->MemoLength(b);
}

std::string XBO_dBaseFld::MemoRead(int n, size_t maxSize) {
  uint32_t b = MemoBlock(n);
  if (b == 0 || !HasMemo) return std::string();
  return Memo()->MemoRead(b, maxSize);
}

void XBO_dBaseFld::MemoWrite(int n, std::string_view data) {
  const TxbFieldDesc* f = FieldDesc(n);
  if (!f || (f->Type != 'M' && f->Type != 'B' && f->Type != 'G') || (Version == 0x30 && f->Type == 'B'))
    xbRaise(msg::IncorrectType, {f ? f->Name : std::string()});
  if (!HasMemo) xbRaise(msg::FileNotFound, {xbChangeExt(FileName, Version == 0x30 ? ".fpt" : ".dbt")});
  uint32_t block = MemoBlock(n);
  XBobjMemoBase* m = Memo();
  if (data.empty()) {
    NumberPut(n, 0);
    return;
  }
  if (data.size() > UINT32_MAX - 16) throw ERangeError();
  m->MemoWrite(data.data(), static_cast<uint32_t>(data.size()), block);
  NumberPut(n, block);
}

}  // namespace xb
