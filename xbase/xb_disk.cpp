#include "xbase/xb_disk.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/codepage.h"
#include "xbase/SysXBase.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"

namespace xb {

namespace {
struct WriteFault {
  bool armed = false;
  bool sticky = false;
  int64_t failAt = 0;     // the matching write that fails, counted from the arming call
  int64_t seen = 0;       // matching writes since the last call
  std::string filter;     // upper-cased file-name ending
};

WriteFault& writeFault() {
  static WriteFault fault;
  return fault;
}

bool endsWithNoCase(std::string_view name, std::string_view tail) {
  if (tail.size() > name.size()) return false;
  name.remove_prefix(name.size() - tail.size());
  for (size_t i = 0; i < tail.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(name[i]), b = static_cast<unsigned char>(tail[i]);
    if (a >= 'a' && a <= 'z') a = static_cast<unsigned char>(a - 32);
    if (a != b) return false;
  }
  return true;
}

// True when the seam makes this write fail.
bool injectedWriteFailure(const std::string& fileName) {
  WriteFault& f = writeFault();
  if (!endsWithNoCase(fileName, f.filter)) return false;
  ++f.seen;
  return f.armed && (f.seen == f.failAt || (f.sticky && f.seen > f.failAt));
}

// The whole-file share lock of an open: shared opens share it, an exclusive open
// holds it alone. It is a flock() lock, independent of the byte-range protocol
// locks (fcntl) on the same file, and held per open, so a second open in this
// process is refused like one of another process. A file system that cannot take
// such locks at all leaves the open without one. False when another open holds it.
bool takeShareLock(int fd, bool shared) {
  for (;;) {
    if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
}
}  // namespace

bool xbLockParamsFor(int protocol, TxbLockParams& p) {
  switch (protocol) {
    case Default:
    case FoxLock:
      p = {0x40000000u, 0x7FFFFFFEu, 0x3FFFFFFFu};
      return true;
    case DB4Lock:
      p = {0x40000000u, 0xEFFFFFFFu, 0xB0000000u};
      return true;
    case ClipLock:
      p = {1000000000u, 1000000000u, 1000000000u};
      return true;
    default:
      return false;
  }
}

TxbLockSpan xbAppendLockSpan(const TxbLockParams& p) { return {p.recordBase, 1}; }
TxbLockSpan xbFileLockSpan(const TxbLockParams& p) { return {p.lockBase, p.fileLockLength}; }
TxbLockSpan xbFullLockSpan() { return {0, 0x7FFFFFFFu}; }

std::optional<TxbLockSpan> xbRecordLockSpan(int protocol, const TxbLockParams& p, uint32_t n,
                                            uint32_t headerLength, uint32_t recordLength, bool indexOpen) {
  uint64_t nn = n;
  switch (protocol) {
    case DB4Lock:
      if (nn + 1 > p.recordBase) return std::nullopt;
      return TxbLockSpan{p.recordBase - nn - 1, 1};
    case ClipLock:
      return TxbLockSpan{p.recordBase + nn, 1};
    case Default:
    case FoxLock:
      if (indexOpen) {
        if (nn > p.recordBase) return std::nullopt;
        return TxbLockSpan{p.recordBase - nn, 1};
      }
      if (n < 1) return std::nullopt;
      return TxbLockSpan{static_cast<uint64_t>(p.lockBase) + headerLength + (nn - 1) * recordLength, 1};
    default:
      return std::nullopt;
  }
}

std::optional<TxbLockSpan> xbMemoLockSpan(int protocol) {
  switch (protocol) {
    case Default:
    case FoxLock: return TxbLockSpan{0x7FFFFFFDu, 1};
    case DB4Lock: return TxbLockSpan{0xEFFFFFFEu, 2};
    case ClipLock: return TxbLockSpan{1000000000u, 1};
    default: return std::nullopt;
  }
}

XBobjFileColl& XBobjFileColl::Instance() {
  static XBobjFileColl coll;
  return coll;
}

void XBobjFileColl::Add(XBO_DiskFile* f) {
  if (!Contains(f)) files_.push_back(f);
}

void XBobjFileColl::Remove(XBO_DiskFile* f) {
  auto it = std::find(files_.begin(), files_.end(), f);
  if (it != files_.end()) files_.erase(it);
}

bool XBobjFileColl::Contains(const XBO_DiskFile* f) const {
  return std::find(files_.begin(), files_.end(), f) != files_.end();
}

XBobjFileColl::~XBobjFileColl() {
  for (XBO_DiskFile* f : files_) {
    if (f->LockCount > 0 && f->Shared) xbUnlockFile(f->Handle, f->LockOffset, f->LockLength);
    if (f->Handle >= 0) ::close(f->Handle);
    f->Handle = -1;
    f->Closed = true;
    f->LockCount = 0;
  }
  files_.clear();
}

XBO_DiskFile::XBO_DiskFile(const std::string& fileName, bool readWrite, bool shared)
    : FileName(xbExpandFileName(fileName)), ReadWrite(readWrite), Shared(shared) {
  FileExists = xbFileExists(FileName);
}

XBO_DiskFile::~XBO_DiskFile() {
  try {
    XBO_DiskFile::Close();
  } catch (...) {
  }
}

bool XBO_DiskFile::Close() {
  if (Closed) return true;
  if (LockCount > 0) {
    LockCount = 1;
    XBO_DiskFile::Unlock();
  }
  XBobjFileColl::Instance().Remove(this);
  int rc = ::close(Handle);
  Handle = -1;
  Closed = true;
  Position = 0;
  return rc == 0;
}

int64_t XBO_DiskFile::FileSize() {
  struct stat st;
  if (Closed || ::fstat(Handle, &st) != 0) xbRaise(msg::ErrorFileSize, {FileName});
  return static_cast<int64_t>(st.st_size);
}

void XBO_DiskFile::Flush() {
  if (!Closed && Written) {
    if (injectedWriteFailure(FileName) || !xbFlushFile(Handle)) xbRaise(msg::ErrorFlush, {FileName});
  }
  Written = false;
}

bool XBO_DiskFile::LockFile() {
  if (!Shared) {
    ++LockCount;
    LockOffset = 0;
    LockLength = 0x7FFFFFFF;
    return true;
  }
  return LockRange(0, 0x7FFFFFFF);
}

bool XBO_DiskFile::LockRange(uint64_t offset, uint64_t length) {
  if (!Shared) {
    ++LockCount;
    LockOffset = offset;
    LockLength = length;
    return true;
  }
  if (LockCount > 0) {
    if (offset == LockOffset && length == LockLength) {
      ++LockCount;
      return true;
    }
    return false;
  }
  if (Closed) return false;
  if (!xbLockFile(Handle, offset, length, ReadWrite)) return false;
  LockOffset = offset;
  LockLength = length;
  LockCount = 1;
  return true;
}

int64_t XBO_DiskFile::Read(int64_t pos, void* buffer, int64_t count) {
  if (Closed || pos < 0 || count < 0) xbRaise(msg::ErrorRead, {FileName});
  char* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t r = ::pread(Handle, p + done, static_cast<size_t>(count - done), static_cast<off_t>(pos + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      xbRaise(msg::ErrorRead, {FileName});
    }
    if (r == 0) break;
    done += r;
  }
  Position = pos + done;
  LastCount = done;
  return done;
}

bool XBO_DiskFile::Rename(const std::string& newName) {
  if (!Close()) xbRaise(msg::ErrorClose, {FileName});
  std::string target = xbExpandFileName(newName);
  std::string from = platform::ToFsPath(FileName), to = platform::ToFsPath(target);
  int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    // A file system without RENAME_NOREPLACE: link refuses an existing target too.
    rc = ::link(from.c_str(), to.c_str());
    if (rc == 0) ::unlink(from.c_str());
  }
  if (rc != 0) xbRaise(msg::ErrorRename, {FileName});
  FileName = target;
  Open();
  return true;
}

void XBO_DiskFile::Open() {
  if (!FileExists) xbRaise(msg::FileNotFound, {FileName});
  if (!Closed) return;
  int flags = (ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  int fd = ::open(platform::ToFsPath(FileName).c_str(), flags);
  if (fd < 0) {
    if (errno == ENOENT) xbRaise(msg::FileNotFound, {FileName});
    xbRaise(msg::AccessDenied, {FileName});
  }
  if (!takeShareLock(fd, Shared)) {
    ::close(fd);
    xbRaise(msg::AccessDenied, {FileName});
  }
  Handle = fd;
  Position = 0;
  Closed = false;
  XBobjFileColl::Instance().Add(this);
}

void XBO_DiskFile::Create() {
  Close();
  // A file that another open holds is not emptied under it.
  int fd = ::open(platform::ToFsPath(FileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) xbRaise(msg::CouldNotCreate, {FileName});
  if (!takeShareLock(fd, false)) {
    ::close(fd);
    xbRaise(msg::AccessDenied, {FileName});
  }
  bool emptied = ::ftruncate(fd, 0) == 0;
  ::close(fd);
  if (!emptied) xbRaise(msg::CouldNotCreate, {FileName});
  FileExists = true;
  Open();
}

bool XBO_DiskFile::FullAccess() const {
  return !Shared || (LockCount > 0 && LockOffset == 0 && LockLength == 0x7FFFFFFF);
}

void XBO_DiskFile::Truncate(int64_t size) {
  if (!ReadWrite || !FullAccess()) xbRaise(msg::NeedsFullAccess, {"Truncate", FileName});
  if (Closed || xbTruncateFile(Handle, size) != 0) xbRaise(msg::ErrorTruncate, {FileName});
}

bool XBO_DiskFile::Unlock() {
  if (LockCount > 0) {
    if (Shared && LockCount == 1) {
      if (!xbUnlockFile(Handle, LockOffset, LockLength)) xbRaise(msg::ErrorUnlock, {FileName});
    }
    --LockCount;
  }
  return true;
}

int64_t xbFailWrites(int64_t n, std::string_view filter, bool sticky) {
  WriteFault& f = writeFault();
  int64_t seen = f.seen;
  f.armed = n > 0;
  f.sticky = sticky;
  f.failAt = n;
  f.seen = 0;
  f.filter.clear();
  for (char c : filter) f.filter += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return seen;
}

void XBO_DiskFile::Write(int64_t pos, const void* buffer, int64_t count) {
  Written = false;
  if (Closed || pos < 0 || count < 0) xbRaise(msg::ErrorWrite, {FileName});
  if (injectedWriteFailure(FileName)) xbRaise(msg::ErrorWrite, {FileName});
  const char* p = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t r = ::pwrite(Handle, p + done, static_cast<size_t>(count - done), static_cast<off_t>(pos + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      xbRaise(msg::ErrorWrite, {FileName});
    }
    if (r == 0) xbRaise(msg::ErrorWrite, {FileName});
    done += r;
  }
  Position = pos + done;
  LastCount = done;
  Written = true;
}

}  // namespace xb
