#pragma once
// Streams of the archive engine: the abstract 64-bit stream, the handle and file streams over
// POSIX descriptors, and the decompressing read streams (Deflate: TDecompressStream; bzip2 is
// in arcBZip.h).
//
// All state lives in the objects: nothing here is shared between components or threads.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "archive/arcInflate.h"
#include "platform/exception.h"

namespace arc {

class TStream32;

// Event with the stream as sender (progress, read).
using TStreamEvent = std::function<void(TStream32& sender)>;
// Lets the application process its pending window messages (the Qt shell sets it to
// QCoreApplication::processEvents; empty in tests and batch runs).
using TMessagePump = std::function<void()>;
// Deciphers a chunk of entry data in place (WinZip AES for kinds 3-5, traditional for kind 6).
using TDecryptHook = std::function<void(uint8_t* data, size_t count)>;

enum class TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Short transfer in ReadBuffer / WriteBuffer.
class EReadError : public platform::Exception {
public:
  EReadError() : platform::Exception("Stream read error") {}
  const char* className() const noexcept override { return "EReadError"; }
};
class EWriteError : public platform::Exception {
public:
  EWriteError() : platform::Exception("Stream write error") {}
  // errno of the failed write (0 when not known); ENOSPC/EDQUOT mean a full disk.
  explicit EWriteError(int err) : platform::Exception("Stream write error"), FErrno(err) {}
  const char* className() const noexcept override { return "EWriteError"; }
  int osError() const noexcept { return FErrno; }

private:
  int FErrno = 0;
};
// A 64-bit offset given to a stream that only moves within 32 bits.
class ERangeError : public platform::Exception {
public:
  ERangeError() : platform::Exception("Range check error") {}
  const char* className() const noexcept override { return "ERangeError"; }
};

// True for the errno values that mean "disk full" (the Windows error 112 of the old code).
bool IsDiskFullError(int err) noexcept;

// Encryption kinds of a ZIP entry whose data the decompressing streams decipher on input.
inline bool IsInputCipherKind(uint8_t kind) noexcept { return kind >= 3 && kind <= 6; }

// Abstract stream with 64-bit positions.
class TStream32 {
public:
  TStream32() = default;
  TStream32(const TStream32&) = delete;
  TStream32& operator=(const TStream32&) = delete;
  virtual ~TStream32();

  virtual int64_t GetSize();
  // Sets the size (32-bit form calls the 64-bit one). The base class cannot resize.
  void SetSize(int32_t newSize) { SetSize64(newSize); }
  virtual void SetSize64(int64_t newSize);
  // Reads up to count bytes; returns the bytes read (0 at the end or on failure).
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes count bytes; returns the bytes written.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // Copies count bytes of source into this stream in pieces of at most 128 KiB; count 0 copies
  // the whole source from its start. Pumps messages before each piece and stops when the cancel
  // flag is set. Raises EReadError/EWriteError on a short transfer. Returns the bytes copied.
  virtual int64_t CopyFrom(TStream32& source, int64_t count);

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  // Exactly count bytes or EReadError / EWriteError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

  // Progress event, fired with the stream as sender.
  TStreamEvent OnProgress;
  // Read event of handle streams (fired after a read that returned bytes).
  TStreamEvent OnRead;
  // Owner's cancel flag (may be null).
  bool* Cancel = nullptr;
  // Owner's count of bytes still to read; handle streams lower it on each read when OnRead is set.
  int64_t* Remaining = nullptr;
  // Message pump run before each CopyFrom piece and by the decoders once per output chunk.
  TMessagePump ProcessMessages;

protected:
  // Fires the second event slot (the progress event copied there for the duration of a copy).
  void DoProgress();
  void PumpMessages() {
    if (ProcessMessages) ProcessMessages();
  }
  bool Cancelled() const { return Cancel && *Cancel; }

  TStreamEvent FProgress2;
};

// Stream over an operating-system file descriptor (-1 = none); does not own it.
class THandleStream32 : public TStream32 {
public:
  explicit THandleStream32(int handle) : FHandle(handle) {}
  ~THandleStream32() override;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Seek to the size, then truncate/extend; failure raises platform::EOSError.
  void SetSize64(int64_t newSize) override;

  int Handle() const { return FHandle; }
  bool Valid() const { return FHandle >= 0; }
  // errno of the last failed read, write or seek (0 when none failed).
  int LastError() const { return FLastError; }

protected:
  int FHandle;
  int FLastError = 0;
};

// File stream: opens (mode below fmCreate) or creates (fmCreate) the file and owns the
// descriptor. An open failure leaves Handle() == -1 and raises nothing; the caller tests it.
// The share-deny bits of the mode have no POSIX equivalent and are ignored.
class TFileStream32 : public THandleStream32 {
public:
  static constexpr uint32_t fmCreate = 65535;
  static constexpr uint32_t fmOpenRead = 0x0000;
  static constexpr uint32_t fmOpenWrite = 0x0001;
  static constexpr uint32_t fmOpenReadWrite = 0x0002;
  static constexpr uint32_t fmShareDenyWrite = 0x0020;  // accepted, ignored

  TFileStream32(const std::string& fileName, uint32_t mode);
  ~TFileStream32() override;

  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
};


// The entry being extracted, as the decoders see it.
struct TArcEntryInfo {
  uint64_t packedSize = 0;    // compressed bytes of the entry's data (cipher header and MAC excluded)
  uint64_t unpackedSize = 0;  // declared size: no decoder writes more
  uint8_t encKind = 13;       // encryption kind (13 = not enciphered; 3-6 deciphered on input)
  uint16_t flags = 0;         // general-purpose flags
};

// The extracting component as the decoders of one entry see it.
class TArcEntryHost {
public:
  virtual ~TArcEntryHost() = default;
  // The output-write routine: writes the decoded bytes to the entry's output, keeps the running
  // CRC-32, lowers the bytes-still-to-write counters and fires progress. Returns the bytes
  // written; a short count ends the entry (the routine reports the failure itself, the decoders
  // add no report). Only what must leave Extract (a full disk) is thrown; it passes through
  // every decoder.
  virtual int64_t WriteOutput(const uint8_t* data, size_t count) = 0;
  // Deciphers entry data in place, on the input side (kinds 3-5 AES, 6 traditional). Called once
  // for every chunk read from the archive, in order.
  virtual void DecryptInput(uint8_t encKind, uint8_t* data, size_t count) {}
  // The component's cancel flag.
  virtual bool Cancelled() { return false; }
  // Lets the application process its pending window messages.
  virtual void ProcessMessages() {}
};

// Base of the decompressing read stream: source, resume position, 131,070-byte input buffer and
// the decoder's stream record.
class TCustomStream : public TStream32 {
public:
  static constexpr int32_t kInputBufferSize = 0x1FFFE;
  explicit TCustomStream(TStream32& source);
  ~TCustomStream() override;

  // Deciphers each input chunk of an entry of kinds 3-6 (set by the owner).
  TDecryptHook Decrypt;
  // At most this many bytes are read from the source (the entry's compressed size); -1 = no limit.
  void SetInputLimit(int64_t limit) { FInputLeft = FInputLimit = limit; }
  int64_t InputLeft() const { return FInputLeft; }
  const TZStreamRec& StreamRec() const { return FZRec; }

protected:
  // Reads up to count bytes of input into the buffer (clamped to the limit), deciphers them and
  // points the stream record at them. Returns the bytes read.
  int32_t FillInput(int32_t count);

  TStream32& FSource;
  int64_t FStartPos;
  int64_t FSourcePos;
  uint8_t* FBuffer;
  TZStreamRec FZRec;
  uint8_t FEncKind = 13;
  int64_t FInputLeft = -1;
  int64_t FInputLimit = -1;
};

// Inflating read stream over the archive (forward only; seeking forward decodes and discards).
class TDecompressStream : public TCustomStream {
public:
  // windowBits as for inflateInit2 (the ZIP path passes -15); deflate64 selects the variant.
  TDecompressStream(TStream32& source, uint8_t encKind, int windowBits, bool deflate64 = false);
  ~TDecompressStream() override;

  // Reads input in chunks of the requested count; returns the bytes produced, or a negative
  // decoder code.
  int32_t Read(void* buffer, int32_t count) override;
  // Reads input in chunks of inChunk bytes. Returns the bytes produced (also when the decoder
  // stopped with an error, which goes to status: Z_ARC_OK, Z_ARC_STREAM_END or a negative code).
  int32_t ReadInflated(void* buffer, int32_t inChunk, int32_t count, int& status);
  // Not supported: returns -1.
  int32_t Write(const void* buffer, int32_t count) override;
  // Offset 0 from the beginning restarts; forward moves decode and discard; anything else stays.
  // Returns the bytes produced so far. Offsets beyond 32 bits raise ERangeError.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  virtual int InflateReset();
  virtual int InflateEnd();
  virtual int InflateInit(int recordCheck, int windowBits);

  bool EndOfStream() const { return FEndOfStream; }
  // Result of the last decoder call.
  int LastStatus() const { return FLastStatus; }

private:
  bool FEndOfStream = false;
  bool FDeflate64;
  bool FInitialised = false;
  int FLastStatus = Z_ARC_OK;
};

}  // namespace arc
