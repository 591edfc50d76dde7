#pragma once
// Block decoder for Deflate64 (ZIP method 9) and plain Deflate: pulls the entry's compressed data
// from the archive stream in pieces of at most 32 KiB (never past the entry), deciphers them on
// input, and hands the decoded bytes to the component's output-write routine whenever its window
// area fills and at the end.
//
// The bit input and the window are public so that other ZIP decoders built on the same machinery
// (explode) can drive them with their own code tables.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/arcInflate.h"

namespace arc {

class TStream32;
class TArcEntryHost;
struct TArcEntryInfo;

enum class TInflateVariant : uint8_t { Deflate, Deflate64 };

class TInflateBlockDecoder {
public:
  // windowSize: 65,536 for Deflate64, 32,768 for Deflate (and explode). zeroHistory: distances
  // may reach before the start of the output, where they read zero bytes (explode); otherwise
  // such a distance is a data error.
  TInflateBlockDecoder(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info, TInflateVariant variant,
                       uint32_t windowSize, bool zeroHistory = false);
  TInflateBlockDecoder(const TInflateBlockDecoder&) = delete;
  TInflateBlockDecoder& operator=(const TInflateBlockDecoder&) = delete;
  ~TInflateBlockDecoder();

  // Decodes one Deflate stream up to its last block and writes the rest of the window. Cancel is
  // checked between blocks and inside stored blocks (Cancelled, after writing what was decoded).
  // Blocks that fail end the entry at once (DataError, BadBlock) without a final write.
  // Ok only when the stream ended with exactly the declared size written.
  TDecodeResult InflateMembers();

  // ---- bit input ----
  // Makes at least n (<= 32) bits available. Past the last byte of the entry zero bits are
  // supplied; InputOverrun() tells when one of them has been taken.
  void NeedBits(unsigned n) {
    while (FBitCount < n) PullByte();
  }
  uint32_t PeekBits(unsigned n) const { return static_cast<uint32_t>(FBitBuf & ((uint64_t{1} << n) - 1)); }
  void DropBits(unsigned n) {
    FBitBuf >>= n;
    FBitCount -= n;
  }
  uint32_t GetBits(unsigned n) {
    NeedBits(n);
    const uint32_t v = PeekBits(n);
    DropBits(n);
    return v;
  }
  // True once a bit beyond the entry's compressed data has been taken.
  bool InputOverrun() const { return FPadBits > FBitCount; }
  // True when every compressed byte of the entry has been read from the archive.
  bool EndOfInput() const { return FEndOfInput; }

  // ---- window output ----
  // Appends one byte; false when writing a full window failed (see LastFlushResult()).
  bool PutByte(uint8_t b) {
    if (FPos == FAreaSize && !MakeRoom()) return false;
    FWin[FPos++] = b;
    return true;
  }
  // Appends a copy of len bytes from dist bytes back; false when dist reaches before the start of
  // the output (without zeroHistory) or beyond the window, or when a window write failed.
  bool CopyFromWindow(uint32_t dist, uint32_t len);
  // Writes the bytes decoded since the last write (never beyond the declared size).
  TDecodeResult Flush();
  TDecodeResult LastFlushResult() const { return FFlushResult; }
  // Bytes decoded so far (written or waiting in the window).
  uint64_t Produced() const { return FProduced + (FPos - FFlushed); }
  bool Cancelled();

private:
  void PullByte();
  bool ReadMore();
  bool MakeRoom();
  TDecodeResult StoredBlock();
  TDecodeResult DynamicTables();
  TDecodeResult CodesBlock();
  bool DecodeSlow(const uint32_t* table, unsigned root, uint32_t& e);

  TArcEntryHost& FHost;
  TStream32& FArchive;
  const TArcEntryInfo& FInfo;
  const bool FD64;
  const uint32_t FWindowSize;
  // Input
  std::vector<uint8_t> FIn;
  size_t FInPos = 0;
  size_t FInEnd = 0;
  uint64_t FPackedRead = 0;
  bool FEndOfInput = false;
  uint64_t FBitBuf = 0;
  unsigned FBitCount = 0;
  unsigned FPadBits = 0;
  // Window: FWin[0, FPos) holds history, FWin[FFlushed, FPos) waits to be written.
  std::vector<uint8_t> FWinStore;
  uint8_t* FWin;
  size_t FAreaSize;
  size_t FPos = 0;
  size_t FFlushed = 0;
  uint64_t FProduced = 0;    // bytes written to the output
  TDecodeResult FFlushResult = TDecodeResult::Ok;
  // Code tables of the current block.
  bool FFixedReady = false;
  const uint32_t* FLenCode = nullptr;
  bool FLenPairs = false;  // FLenCode has pair entries
  const uint32_t* FDistCode = nullptr;
  std::vector<uint32_t> FTables;
};

// Method 9 (and Deflate through the block decoder): sets up a decoder with the variant's window,
// runs InflateMembers and returns its result.
TDecodeResult Inflate64Decode(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                              TInflateVariant variant);

}  // namespace arc
