#include "archive/arcStreams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <cstring>
#include <vector>

namespace arc {

bool IsDiskFullError(int err) noexcept {
  return err == ENOSPC
#ifdef EDQUOT
         || err == EDQUOT
#endif
      ;
}

// ---------------------------------------------------------------- TStream32

TStream32::~TStream32() = default;

int64_t TStream32::GetSize() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream32::SetSize64(int64_t) {}

void TStream32::ReadBuffer(void* buffer, int64_t count) {
  auto p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(count, 0x40000000));
    const int32_t got = Read(p, piece);
    if (got != piece) throw EReadError();
    p += got;
    count -= got;
  }
}

void TStream32::WriteBuffer(const void* buffer, int64_t count) {
  auto p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(count, 0x40000000));
    const int32_t put = Write(p, piece);
    if (put != piece) {
      auto* hs = dynamic_cast<THandleStream32*>(this);
      throw EWriteError(hs ? hs->LastError() : 0);
    }
    p += put;
    count -= put;
  }
}

void TStream32::DoProgress() {
  if (FProgress2) FProgress2(*this);
}

int64_t TStream32::CopyFrom(TStream32& source, int64_t count) {
  constexpr int64_t kMaxBuf = 0x20000;
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  if (count <= 0) return 0;
  const int64_t bufSize = std::min(count, kMaxBuf);
  std::vector<uint8_t> buf(static_cast<size_t>(bufSize));
  bool localCancel = false;
  const bool* cancel = Cancel ? Cancel : &localCancel;
  // The progress event serves the copy through the second slot.
  struct SlotGuard {
    TStream32& s;
    explicit SlotGuard(TStream32& st) : s(st) { s.FProgress2 = s.OnProgress; }
    ~SlotGuard() { s.FProgress2 = nullptr; }
  } guard(*this);
  int64_t done = 0;
  while (count > 0 && !*cancel) {
    const int64_t n = std::min(bufSize, count);
    PumpMessages();
    if (*cancel) break;
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    done += n;
    count -= n;
    DoProgress();
  }
  return done;
}

// ---------------------------------------------------------------- THandleStream32

THandleStream32::~THandleStream32() { FHandle = -1; }

int32_t THandleStream32::Read(void* buffer, int32_t count) {
  if (count <= 0 || FHandle < 0) return 0;
  ssize_t got;
  do {
    got = ::read(FHandle, buffer, static_cast<size_t>(count));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    FLastError = errno;
    return 0;
  }
  if (got > 0 && OnRead) {
    // The counter follows the bytes really read, so it never runs below the truth at the end
    // of the file.
    if (Remaining) *Remaining -= got;
    OnRead(*this);
  }
  return static_cast<int32_t>(got);
}

int32_t THandleStream32::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (FHandle < 0) {
    FLastError = EBADF;
    return 0;
  }
  auto p = static_cast<const uint8_t*>(buffer);
  size_t left = static_cast<size_t>(count);
  while (left > 0) {
    const ssize_t put = ::write(FHandle, p, left);
    if (put < 0) {
      if (errno == EINTR) continue;
      FLastError = errno;
      break;
    }
    if (put == 0) {  // no progress: treat as a full device
      FLastError = ENOSPC;
      break;
    }
    p += put;
    left -= static_cast<size_t>(put);
  }
  // A short write reports 0, as a failed one; LastError() tells why.
  return left == 0 ? count : 0;
}

int64_t THandleStream32::Seek(int64_t offset, TSeekOrigin origin) {
  if (FHandle < 0) return -1;
  int whence = SEEK_SET;
  if (origin == TSeekOrigin::soCurrent) whence = SEEK_CUR;
  if (origin == TSeekOrigin::soEnd) whence = SEEK_END;
  const off_t r = ::lseek(FHandle, static_cast<off_t>(offset), whence);
  if (r < 0) {
    FLastError = errno;
    return -1;
  }
  return static_cast<int64_t>(r);
}

void THandleStream32::SetSize64(int64_t newSize) {
  if (Seek(newSize, TSeekOrigin::soBeginning) < 0 || ::ftruncate(FHandle, static_cast<off_t>(newSize)) != 0) {
    const int err = FHandle < 0 ? EBADF : errno;
    FLastError = err;
    throw platform::EOSError(std::string("System error. Code: ") + std::to_string(err) + ".\r" +
                             std::strerror(err));
  }
}

// ---------------------------------------------------------------- TFileStream32

namespace {
int OpenFile(const std::string& name, uint32_t mode) {
  int flags = O_CLOEXEC;
  if (mode == TFileStream32::fmCreate) {
    flags |= O_CREAT | O_TRUNC | O_RDWR;
  } else {
    switch (mode & 3) {
      case TFileStream32::fmOpenWrite: flags |= O_WRONLY; break;
      case TFileStream32::fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  int fd;
  do {
    fd = ::open(name.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
}  // namespace

TFileStream32::TFileStream32(const std::string& fileName, uint32_t mode)
    : THandleStream32(OpenFile(fileName, mode)), FFileName(fileName) {
  if (FHandle < 0) FLastError = errno;
}

TFileStream32::~TFileStream32() {
  if (FHandle >= 0) ::close(FHandle);
  FHandle = -1;
}

}  // namespace arc

namespace arc {

// ---------------------------------------------------------------- TCustomStream

TCustomStream::TCustomStream(TStream32& source)
    : FSource(source), FStartPos(source.Position()), FSourcePos(FStartPos), FBuffer(new uint8_t[kInputBufferSize]) {
  FZRec.next_in = FBuffer;
  FZRec.avail_in = 0;
}

TCustomStream::~TCustomStream() { delete[] FBuffer; }

int32_t TCustomStream::FillInput(int32_t count) {
  int64_t n = std::clamp<int64_t>(count, 0, kInputBufferSize);
  if (FInputLeft >= 0) n = std::min(n, FInputLeft);
  int32_t got = n > 0 ? FSource.Read(FBuffer, static_cast<int32_t>(n)) : 0;
  if (got < 0) got = 0;
  FSourcePos += got;
  if (FInputLeft >= 0) FInputLeft -= got;
  FZRec.next_in = FBuffer;
  FZRec.avail_in = static_cast<uint32_t>(got);
  if (got > 0) {
    if (IsInputCipherKind(FEncKind) && Decrypt) Decrypt(FBuffer, static_cast<size_t>(got));
    DoProgress();
  }
  return got;
}

// ---------------------------------------------------------------- TDecompressStream

TDecompressStream::TDecompressStream(TStream32& source, uint8_t encKind, int windowBits, bool deflate64)
    : TCustomStream(source), FDeflate64(deflate64) {
  FEncKind = encKind;
  const int r = TDecompressStream::InflateInit(kInflateRecordCheck, windowBits);
  if (r == Z_ARC_MEM_ERROR) throw std::bad_alloc();
  FLastStatus = r;
}

TDecompressStream::~TDecompressStream() {
  // Give the source back the input that the decoder did not use.
  if (FZRec.avail_in > 0 && FSource.Position() == FSourcePos)
    FSource.Seek(-static_cast<int64_t>(FZRec.avail_in), TSeekOrigin::soCurrent);
  TDecompressStream::InflateEnd();
}

int TDecompressStream::InflateInit(int recordCheck, int windowBits) {
  if (FInitialised) InflateEnd();
  FZRec.next_in = FBuffer;
  FZRec.avail_in = 0;
  const int r = (inflateInit2)(&FZRec, windowBits, recordCheck, FDeflate64);
  FInitialised = r == Z_ARC_OK;
  return r;
}

int TDecompressStream::InflateReset() {
  FEndOfStream = false;
  return inflateReset(&FZRec);
}

int TDecompressStream::InflateEnd() {
  if (!FInitialised) return Z_ARC_STREAM_ERROR;
  FInitialised = false;
  return inflateEnd(&FZRec);
}

int32_t TDecompressStream::ReadInflated(void* buffer, int32_t inChunk, int32_t count, int& status) {
  status = FInitialised ? FLastStatus : Z_ARC_STREAM_ERROR;
  if (!FInitialised || count <= 0) return 0;
  if (status < 0 && status != Z_ARC_BUF_ERROR) return 0;  // a data error stays
  status = Z_ARC_OK;
  FZRec.next_out = static_cast<uint8_t*>(buffer);
  FZRec.avail_out = static_cast<uint32_t>(count);
  if (FSource.Position() != FSourcePos) FSource.SetPosition(FSourcePos);
  while (FZRec.avail_out > 0) {
    if (FZRec.avail_in == 0) FillInput(inChunk);
    const int r = inflate(&FZRec, Z_ARC_NO_FLUSH);
    if (r == Z_ARC_STREAM_END) {
      FEndOfStream = true;
      status = r;
      break;
    }
    if (r != Z_ARC_OK) {
      status = r == Z_ARC_NEED_DICT ? Z_ARC_STREAM_ERROR : r;
      break;
    }
  }
  FLastStatus = status == Z_ARC_BUF_ERROR ? Z_ARC_OK : status;
  return count - static_cast<int32_t>(FZRec.avail_out);
}

int32_t TDecompressStream::Read(void* buffer, int32_t count) {
  int status;
  const int32_t got = ReadInflated(buffer, count, count, status);
  if (got > 0) return got;
  return status < 0 ? status : 0;
}

int32_t TDecompressStream::Write(const void*, int32_t) { return -1; }

int64_t TDecompressStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (offset < INT32_MIN || offset > INT32_MAX) throw ERangeError();
  const int64_t done = static_cast<int64_t>(FZRec.total_out);
  if (origin == TSeekOrigin::soBeginning && offset == 0) {
    InflateReset();
    FLastStatus = Z_ARC_OK;
    FZRec.next_in = FBuffer;
    FZRec.avail_in = 0;
    FInputLeft = FInputLimit;
    FSourcePos = FStartPos;
    FSource.SetPosition(FStartPos);
    return 0;
  }
  int64_t skip = -1;
  if (origin == TSeekOrigin::soCurrent && offset >= 0) skip = offset;
  if (origin == TSeekOrigin::soBeginning && offset > done) skip = offset - done;
  uint8_t scratch[4096];
  while (skip > 0) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(skip, sizeof scratch));
    int status;
    const int32_t got = ReadInflated(scratch, n, n, status);
    if (got <= 0) break;
    skip -= got;
    if (status != Z_ARC_OK) break;
  }
  return static_cast<int64_t>(FZRec.total_out);
}

}  // namespace arc
