#pragma once
// The file object under every table, memo and index file of the engine, its
// process-wide registry, and the byte-range lock protocols shared with other programs.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xb {

// Lock protocol of a table, handed down to its memo and index files.
enum TxbLokProtocol : int { Default = 0, DB4Lock = 1, ClipLock = 2, FoxLock = 3 };

// The three lock parameters of a protocol.
struct TxbLockParams {
  uint32_t lockBase = 0x40000000u;
  uint32_t recordBase = 0x7FFFFFFEu;
  uint32_t fileLockLength = 0x3FFFFFFFu;
};

struct TxbLockSpan {
  uint64_t offset;
  uint64_t length;
  bool operator==(const TxbLockSpan&) const = default;
};

// Sets the parameters of a protocol; a value outside 0..3 leaves them unchanged and gives false.
bool xbLockParamsFor(int protocol, TxbLockParams& params);

// The byte ranges of the table locks (pure functions, computed in 64 bits).
TxbLockSpan xbAppendLockSpan(const TxbLockParams& p);
TxbLockSpan xbFileLockSpan(const TxbLockParams& p);
TxbLockSpan xbFullLockSpan();
// Record n (>= 1); none for a protocol value outside 0..3.
std::optional<TxbLockSpan> xbRecordLockSpan(int protocol, const TxbLockParams& p, uint32_t n,
                                            uint32_t headerLength, uint32_t recordLength, bool indexOpen);
// The memo-file lock; none for a protocol value outside 0..3.
std::optional<TxbLockSpan> xbMemoLockSpan(int protocol);

class XBO_DiskFile {
public:
  // fileName is a CP1251 path; it is expanded to a full path.
  XBO_DiskFile(const std::string& fileName, bool readWrite, bool shared);
  virtual ~XBO_DiskFile();
  XBO_DiskFile(const XBO_DiskFile&) = delete;
  XBO_DiskFile& operator=(const XBO_DiskFile&) = delete;

  virtual bool Close();
  virtual int64_t FileSize();
  virtual void Flush();
  virtual bool LockFile();
  virtual bool LockRange(uint64_t offset, uint64_t length);
  // Reads up to count bytes at pos; returns the bytes read (fewer at the end of the file).
  virtual int64_t Read(int64_t pos, void* buffer, int64_t count);
  virtual bool Rename(const std::string& newName);
  virtual void Open();
  virtual void Create();
  virtual void StatusUpdate(int32_t code, int32_t value) {}
  virtual void Truncate(int64_t size);
  virtual bool Unlock();
  // Writes all count bytes at pos or raises.
  virtual void Write(int64_t pos, const void* buffer, int64_t count);

  // Full access: not shared, or shared with the full lock held.
  bool FullAccess() const;
  bool IsOpen() const { return !Closed; }

  std::string FileName;
  int Handle = -1;          // -1 while closed
  bool FileExists = false;
  bool ReadWrite = false;
  bool Shared = true;
  int64_t Position = 0;
  int64_t LastCount = 0;
  int32_t LockCount = 0;
  uint64_t LockOffset = 0;
  uint64_t LockLength = 0;
  bool Written = false;
  bool Closed = true;
};

// Write failures on demand, for the tests of the paths a failing disk takes. After
// xbFailWrites(n, filter) the n-th XBO_DiskFile::Write from then on (n >= 1) whose full file
// name ends with filter (any file when filter is empty, compared without regard to case) fails as
// a write the kernel refused; with sticky set every matching write after it fails too, as on a
// full disk. A Flush that has written bytes to sync counts as a write and fails the same way, as
// fsync reporting EIO or ENOSPC. xbFailWrites(0) disarms. Each call returns the number of
// matching writes and flushes since the call before (failed ones included), so a test can see
// how many writes an operation made.
int64_t xbFailWrites(int64_t n, std::string_view filter = {}, bool sticky = false);

// Registry of the open file objects (non-owning). At shutdown every registered
// file that still holds a lock is unlocked and its handle closed.
class XBobjFileColl {
public:
  static XBobjFileColl& Instance();
  void Add(XBO_DiskFile* f);
  void Remove(XBO_DiskFile* f);
  size_t Count() const { return files_.size(); }
  bool Contains(const XBO_DiskFile* f) const;
  ~XBobjFileColl();

private:
  std::vector<XBO_DiskFile*> files_;
};

}  // namespace xb
