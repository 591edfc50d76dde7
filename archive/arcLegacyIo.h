#pragma once
// Byte and bit input, and buffered output, shared by the unshrink and unreduce decoders.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/arcZipDecode.h"

namespace arc::legacy {

inline constexpr size_t kPiece = 32768;

// Bits least significant first from the entry's data, read in pieces of at most 32 KB.
class BitInput {
public:
  explicit BitInput(ZipEntryInput& in) : FIn(in), FBuf(kPiece) {}
  // n (<= 24) bits; false once the input has ended before n bits were gathered.
  bool Get(unsigned n, uint32_t& v) {
    while (FCount < n) {
      if (FPos == FEnd && !Fill()) {
        FEnded = true;
        return false;
      }
      FAcc |= uint32_t{FBuf[FPos++]} << FCount;
      FCount += 8;
    }
    v = FAcc & ((1u << n) - 1u);
    FAcc >>= n;
    FCount -= n;
    return true;
  }
  bool Ended() const { return FEnded; }

private:
  bool Fill() {
    if (FIn.Remaining() == 0) return false;
    const size_t k = FIn.Read(FBuf.data(), FBuf.size());
    FPos = 0;
    FEnd = k;
    return k > 0;
  }
  ZipEntryInput& FIn;
  std::vector<uint8_t> FBuf;
  size_t FPos = 0, FEnd = 0;
  uint32_t FAcc = 0;
  unsigned FCount = 0;
  bool FEnded = false;
};

// Output in 32 KB pieces; a piece that the write routine refuses stops the entry.
class ByteOutput {
public:
  explicit ByteOutput(ZipEntryOutput& out) : FOut(out), FBuf(kPiece) {}
  bool Put(uint8_t b) {
    FBuf[FFill++] = b;
    ++FProduced;
    return FFill < FBuf.size() || Flush();
  }
  bool Flush() {
    if (FFailed) return false;
    if (FFill == 0) return true;
    const bool ok = FOut.Write(FBuf.data(), FFill);
    FFill = 0;
    FOut.Pump();
    if (!ok) FFailed = true;
    return ok;
  }
  uint64_t Produced() const { return FProduced; }
  bool Failed() const { return FFailed; }

private:
  ZipEntryOutput& FOut;
  std::vector<uint8_t> FBuf;
  size_t FFill = 0;
  uint64_t FProduced = 0;
  bool FFailed = false;
};

}  // namespace arc::legacy
