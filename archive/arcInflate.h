#pragma once
// Deflate decoding for ZIP entries of method 8 (and the driver of method 9, see arcInflate64.h).
//
// The streaming decoder has the interface of the zlib library (stream record with next_in /
// avail_in / total_in / next_out / avail_out / total_out, init / reset / end, the same result
// codes), so that TDecompressStream can feed it input chunks and pull output chunks of any size.
// Its state lives in the stream record: one decoder per stream, no shared tables or switches.
//
// Note for code that also includes <zlib.h>: zlib defines inflateInit2 as a macro, so call this
// one as (arc::inflateInit2)(...).
#include <cstddef>
#include <cstdint>

namespace arc {

class TStream32;
class TArcEntryHost;
struct TArcEntryInfo;

// Result codes of the streaming decoder (the values of the zlib interface).
enum : int {
  Z_ARC_OK = 0,
  Z_ARC_STREAM_END = 1,
  Z_ARC_NEED_DICT = 2,
  Z_ARC_STREAM_ERROR = -2,
  Z_ARC_DATA_ERROR = -3,
  Z_ARC_MEM_ERROR = -4,
  Z_ARC_BUF_ERROR = -5,
  Z_ARC_VERSION_ERROR = -6,
};
constexpr int Z_ARC_NO_FLUSH = 0;
constexpr int Z_ARC_FINISH = 4;
// The record check value inflateInit2 expects.
constexpr int kInflateRecordCheck = 74;

// Decoder state modes (TInflateState::mode), exposed for diagnostics.
enum class TInflateMode : uint8_t {
  Head, DictId, Dict, Type, Stored, Copy, Table, LenLens, CodeLens, Len, Dist, Match, Check, Done, Bad
};

struct TInflateState;
using TInflateAlloc = void* (*)(void* opaque, unsigned items, unsigned size);
using TInflateFree = void (*)(void* opaque, void* address);

// The decoder's stream record.
struct TZStreamRec {
  const uint8_t* next_in = nullptr;
  uint32_t avail_in = 0;
  uint64_t total_in = 0;
  uint8_t* next_out = nullptr;
  uint32_t avail_out = 0;
  uint64_t total_out = 0;
  const char* msg = nullptr;  // text of the last data error
  TInflateState* state = nullptr;
  // Allocation routines; null means a zero-filled heap allocation and its release.
  TInflateAlloc zalloc = nullptr;
  TInflateFree zfree = nullptr;
  void* opaque = nullptr;
};

// windowBits: negative = raw Deflate (no zlib header, no Adler-32 trailer) with a window of
// 2^-windowBits bytes, 8..15; positive = zlib-wrapped form. deflate64 selects the Deflate64
// variant (64 KiB window: the window bits are raised by one and may reach 16; length code 285 =
// base 3 + 16 extra bits; distance codes 30 and 31). recordCheck must be kInflateRecordCheck.
int(inflateInit2)(TZStreamRec* strm, int windowBits, int recordCheck = kInflateRecordCheck,
                  bool deflate64 = false);
// Runs the decoder over the record's input and output. flush: Z_ARC_NO_FLUSH (the ZIP path) or
// Z_ARC_FINISH. A call that can make no progress (no input consumed, no output produced) returns
// Z_ARC_BUF_ERROR; so does every Z_ARC_FINISH call that does not reach the end of the stream.
int inflate(TZStreamRec* strm, int flush);
int inflateReset(TZStreamRec* strm);
int inflateEnd(TZStreamRec* strm);
// Mode of the decoder (Bad after a data error).
TInflateMode inflateMode(const TZStreamRec* strm);

// Results of the entry decoders (InflateEntry, Inflate64Decode, Bz2DecompressEntry).
enum class TDecodeResult : int {
  Ok = 0,            // the stream ended and exactly the declared size came out
  WriteFailed = -2,  // the output-write routine wrote less than it was given
  DataError = -3,    // corrupt, truncated or over-long data (the entry fails its check)
  BadBlock = -4,     // block type 3, bad stored length or bad code table (block decoder)
  Cancelled = -5,    // the component's cancel flag stopped the entry
};

// Method 8: raw Deflate from the archive stream (positioned at the entry's data) to the
// component's output. Reads at most info.packedSize bytes, writes at most info.unpackedSize
// bytes, deciphers on input (kinds 3-6), checks the cancel flag and pumps messages once per
// output chunk of 32 KiB. Exceptions of the output-write routine (a full disk) pass through.
// windowBits: the per-entry extraction passes -15.
TDecodeResult InflateDeflated(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                              int windowBits = -15);
// Method 9: Deflate64 through the block decoder with the 64 KiB window (arcInflate64.h).
TDecodeResult InflateDeflate64(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                               int windowBits = -15);
// Both methods: deflate64 selects the variant (a parameter, not shared state).
TDecodeResult InflateEntry(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                           int windowBits, bool deflate64);

}  // namespace arc
