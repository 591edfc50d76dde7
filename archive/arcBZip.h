#pragma once
// bzip2 entries (ZIP method 12) through the bzip2 library.
#include <bzlib.h>

#include <cstdint>
#include <functional>

#include "archive/arcStreams.h"

namespace arc {

// bzip2 engine failure.
class Ebz2libError : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "Ebz2libError"; }
};
// bzip2 engine out of memory.
class Ebz2MEMError : public Ebz2libError {
public:
  using Ebz2libError::Ebz2libError;
  const char* className() const noexcept override { return "Ebz2MEMError"; }
};

// Progress routine of a bzip2 stream: bytes produced so far against the total.
using TBzProgress = std::function<void(uint64_t produced, uint64_t total)>;

// Base of the bzip2 streams: source, progress, the library's stream record.
class Tbz2Stream : public TStream32 {
public:
  Tbz2Stream(TStream32& source, TBzProgress progress, uint64_t total);
  ~Tbz2Stream() override;

  bool Finished() const { return FFinished; }
  uint64_t Produced() const { return FProduced; }

protected:
  void ProgressCall();

  TStream32& FSource;
  TBzProgress FProgress;
  uint64_t FTotal;  // 0 when no progress routine is given
  uint64_t FProduced = 0;
  bz_stream FStrm{};
  bool FFinished = false;
  bool FLibOpen = false;
};

// Forward-only bzip2 read stream over the compressed data of one entry. Reads at most
// compressedSize bytes of the source (in pieces of 32 KiB) and deciphers them on input.
class TBzDecompressStream : public Tbz2Stream {
public:
  static constexpr int32_t kInputBufferSize = 32768;
  // Raises Ebz2MEMError / Ebz2libError when the library cannot be initialised.
  TBzDecompressStream(TStream32& source, TBzProgress progress, uint64_t compressedSize, uint64_t uncompressedSize,
                      uint8_t encKind = 13, TDecryptHook decrypt = nullptr);
  ~TBzDecompressStream() override;

  // Returns the bytes produced. Corrupt or truncated data ends the stream and sets DataError();
  // callers test it before they use the bytes of that read. Library failures raise Ebz2libError.
  int32_t Read(void* buffer, int32_t count) override;
  // Raises Ebz2libError "Invalid stream operation".
  int32_t Write(const void* buffer, int32_t count) override;
  // Forward moves only (decode and discard); others raise "Invalid stream operation".
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  bool DataError() const { return FDataError; }
  int64_t CompressedLeft() const { return FCompressedLeft; }
  uint64_t UncompressedSize() const { return FUncompressed; }

private:
  void EndLibrary();

  bool FDataError = false;
  bool FInputEnd = false;
  int64_t FCompressedLeft;
  uint64_t FUncompressed;
  uint8_t FEncKind;
  TDecryptHook FDecrypt;
  uint8_t FIn[kInputBufferSize];
};

// Method 12: decodes the entry's bzip2 data to the component's output. Writes at most
// info.unpackedSize bytes; corrupt, truncated or over-long data gives DataError. Library
// failures (also at initialisation) end the entry as DataError; exceptions of the output-write
// routine (a full disk) pass through.
TDecodeResult Bz2DecompressEntry(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info);

}  // namespace arc
