#include "archive/arcBZip.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace arc {

namespace {

const char* const kInitMem = "The bz2 engine have not enough memory to initialize !";
const char* const kInitFatal = "The bz2 engine reports a fatal error during initialization process !";
const char* const kDecompFatal = "The bz2 engine reports a fatal error during decompression process.";
const char* const kInvalidOp = "Invalid stream operation";

void* BzAlloc(void*, int items, int size) {
  if (items <= 0 || size <= 0) return nullptr;
  return std::calloc(static_cast<size_t>(items), static_cast<size_t>(size));
}
void BzFree(void*, void* p) {
  if (p) std::free(p);
}

}  // namespace

// ---------------------------------------------------------------- Tbz2Stream

Tbz2Stream::Tbz2Stream(TStream32& source, TBzProgress progress, uint64_t total)
    : FSource(source), FProgress(std::move(progress)), FTotal(FProgress ? total : 0) {
  FStrm.bzalloc = BzAlloc;
  FStrm.bzfree = BzFree;
  FStrm.opaque = nullptr;
}

Tbz2Stream::~Tbz2Stream() = default;

void Tbz2Stream::ProgressCall() {
  if (FProgress) FProgress(FProduced, FTotal);
}

// ---------------------------------------------------------------- TBzDecompressStream

TBzDecompressStream::TBzDecompressStream(TStream32& source, TBzProgress progress, uint64_t compressedSize,
                                         uint64_t uncompressedSize, uint8_t encKind, TDecryptHook decrypt)
    : Tbz2Stream(source, std::move(progress), uncompressedSize),
      FCompressedLeft(static_cast<int64_t>(std::min<uint64_t>(compressedSize, INT64_MAX))),
      FUncompressed(uncompressedSize),
      FEncKind(encKind),
      FDecrypt(std::move(decrypt)) {
  ProgressCall();
  // The library's internal-error hook (an assertion inside the decoder) belongs to the shared
  // library and cannot be replaced; it is practically unreachable in decompression.
  const int r = BZ2_bzDecompressInit(&FStrm, 0, 0);
  if (r == BZ_MEM_ERROR) throw Ebz2MEMError(kInitMem);
  if (r != BZ_OK) throw Ebz2libError(kInitFatal);
  FLibOpen = true;
  FStrm.next_in = reinterpret_cast<char*>(FIn);
  FStrm.avail_in = 0;
}

TBzDecompressStream::~TBzDecompressStream() { EndLibrary(); }

void TBzDecompressStream::EndLibrary() {
  if (FLibOpen) BZ2_bzDecompressEnd(&FStrm);
  FLibOpen = false;
}

int32_t TBzDecompressStream::Read(void* buffer, int32_t count) {
  if (FFinished || count <= 0) return 0;
  FStrm.next_out = static_cast<char*>(buffer);
  FStrm.avail_out = static_cast<unsigned>(count);
  while (FStrm.avail_out > 0) {
    if (FStrm.avail_in == 0 && !FInputEnd) {
      const int32_t want = static_cast<int32_t>(std::min<int64_t>(FCompressedLeft, kInputBufferSize));
      const int32_t got = want > 0 ? FSource.Read(FIn, want) : 0;
      if (got <= 0) {
        FInputEnd = true;
      } else {
        FCompressedLeft -= got;
        if (IsInputCipherKind(FEncKind) && FDecrypt) FDecrypt(FIn, static_cast<size_t>(got));
        FStrm.next_in = reinterpret_cast<char*>(FIn);
        FStrm.avail_in = static_cast<unsigned>(got);
      }
    }
    const unsigned outBefore = FStrm.avail_out;
    const int r = BZ2_bzDecompress(&FStrm);
    if (r == BZ_OK) {
      // Input used up and no output came: the data ends before the stream does.
      if (FInputEnd && FStrm.avail_in == 0 && FStrm.avail_out == outBefore) {
        EndLibrary();
        FFinished = true;
        FDataError = true;
        break;
      }
      continue;
    }
    if (r == BZ_STREAM_END) {
      FFinished = true;
      EndLibrary();
      break;
    }
    if (r == BZ_DATA_ERROR || r == BZ_DATA_ERROR_MAGIC) {
      EndLibrary();
      FFinished = true;
      FDataError = true;
      break;
    }
    if (r == BZ_MEM_ERROR) {
      EndLibrary();
      FFinished = true;
      throw Ebz2MEMError(kInitMem);
    }
    throw Ebz2libError(kDecompFatal);
  }
  const int32_t produced = count - static_cast<int32_t>(FStrm.avail_out);
  FProduced += static_cast<uint64_t>(produced);
  ProgressCall();
  return produced;
}

int32_t TBzDecompressStream::Write(const void*, int32_t) { throw Ebz2libError(kInvalidOp); }

int64_t TBzDecompressStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t skip;
  const int64_t done = static_cast<int64_t>(FProduced);
  if (origin == TSeekOrigin::soCurrent && offset >= 0)
    skip = offset;
  else if (origin == TSeekOrigin::soBeginning && offset >= done)
    skip = offset - done;
  else
    throw Ebz2libError(kInvalidOp);
  std::vector<uint8_t> scratch(skip > 0 ? kInputBufferSize : 0);
  while (skip > 0 && !FFinished) {
    const int32_t got = Read(scratch.data(), static_cast<int32_t>(std::min<int64_t>(skip, kInputBufferSize)));
    if (got <= 0 || FDataError) break;
    skip -= got;
  }
  return static_cast<int64_t>(FProduced);
}

// ---------------------------------------------------------------- method 12

TDecodeResult Bz2DecompressEntry(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info) {
  if (info.packedSize == 0) return info.unpackedSize == 0 ? TDecodeResult::Ok : TDecodeResult::DataError;
  std::unique_ptr<TBzDecompressStream> bz;
  TDecryptHook decrypt;
  if (IsInputCipherKind(info.encKind)) {
    const uint8_t kind = info.encKind;
    decrypt = [&host, kind](uint8_t* p, size_t n) { host.DecryptInput(kind, p, n); };
  }
  try {
    bz = std::make_unique<TBzDecompressStream>(archive, nullptr, info.packedSize, info.unpackedSize, info.encKind,
                                               std::move(decrypt));
  } catch (const Ebz2libError&) {
    return TDecodeResult::DataError;
  }
  std::vector<uint8_t> buf(32768);
  uint64_t left = info.unpackedSize;
  for (;;) {
    if (host.Cancelled()) return TDecodeResult::Cancelled;
    int32_t got;
    try {
      got = bz->Read(buf.data(), static_cast<int32_t>(buf.size()));
    } catch (const Ebz2libError&) {
      return TDecodeResult::DataError;
    }
    if (bz->DataError()) return TDecodeResult::DataError;
    if (got > 0) {
      const size_t w = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got), left));
      if (w > 0 && host.WriteOutput(buf.data(), w) != static_cast<int64_t>(w)) return TDecodeResult::WriteFailed;
      left -= w;
      if (w < static_cast<size_t>(got)) return TDecodeResult::DataError;  // more than the declared size
    }
    if (bz->Finished()) return left == 0 ? TDecodeResult::Ok : TDecodeResult::DataError;
    if (got == 0) return TDecodeResult::DataError;
    host.ProcessMessages();
  }
}

}  // namespace arc
