#pragma once
// Internals shared by the two Deflate decoders of the archive engine (the streaming decoder of
// arcInflate.cpp and the block decoder of arcInflate64.cpp): the decoding-table format, the
// table builder and the fast inner loop. Not for use outside the decoders.
//
// A decoding table is an array of 32-bit entries indexed by the next bits of the input (least
// significant bit first). Entry layout:
//   bits 0-7   number of input bits the entry stands for (for a link: the root width)
//   bits 8-12  extra bits that follow (length/distance), or the index width of a sub-table
//   bit 13     end of block (value 0) or invalid code (value 1)
//   bit 14     link to a sub-table (value = offset of the sub-table)
//   bit 15     literal byte (value = the byte)
//   bits 16-31 value: literal, length or distance base, symbol, or sub-table offset
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace arc::inflate_detail {

constexpr uint32_t kEob = 1u << 13;
constexpr uint32_t kSub = 1u << 14;
constexpr uint32_t kLit = 1u << 15;
constexpr uint32_t kInvalid = kEob | (1u << 16);

constexpr uint32_t MakeEntry(uint32_t value, uint32_t flagsOrExtra, uint32_t bits) {
  return (value << 16) | (flagsOrExtra << 8) | bits;
}

// Root widths and capacities of the three kinds of table.
constexpr unsigned kLenRoot = 10;
constexpr unsigned kDistRoot = 8;
constexpr unsigned kCodeRoot = 7;
constexpr size_t kLenTableSize = 3072;
constexpr size_t kDistTableSize = 1024;
constexpr size_t kCodeTableSize = 128;

enum class TableKind { CodeLengths, LitLen, Dist };

// Builds a two-level table for n code lengths (0 = unused symbol). Symbol meanings follow the
// kind and the variant (deflate64: length code 285 = base 3 + 16 extra bits, distance codes 30 and
// 31 valid). Rejects over-subscribed codes and incomplete ones, except the single code of length
// one that Deflate allows. Returns false for a bad code set.
bool BuildTable(const uint8_t* lengths, unsigned n, TableKind kind, bool deflate64, uint32_t* table,
                size_t capacity, unsigned rootBits);

// Fixed literal/length and distance tables of a variant, built into caller-owned arrays.
void BuildFixedTables(bool deflate64, uint32_t* lenTable, uint32_t* distTable);

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // little-endian hosts (x86-64, arm64)
  return v;
}

// Copy of a match of len bytes from dist bytes back. May write up to 15 bytes beyond out + len.
inline uint8_t* CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* const end = out + len;
  if (dist >= 16) {
    do {
      std::memcpy(out, src, 16);
      out += 16;
      src += 16;
    } while (out < end);
  } else if (dist >= 8) {
    do {
      std::memcpy(out, src, 8);
      out += 8;
      src += 8;
    } while (out < end);
  } else if (dist == 1) {
    std::memset(out, *src, len);
  } else {
    for (uint32_t i = 0; i < len; ++i) out[i] = src[i];
  }
  return end;
}

// Bytes a buffer must have beyond the fast loop's output limit for over-long match copies.
constexpr size_t kCopySlack = 16;

enum FastExit { kFastMore = 0, kFastEob, kFastBad, kFastMatch };

struct FastIO {
  const uint8_t* in;
  const uint8_t* inEnd;
  uint8_t* out;
  uint8_t* outEnd;      // decode no further; kCopySlack writable bytes follow it
  const uint8_t* base;  // oldest byte a distance may reach
  uint32_t maxDist;     // window size
  uint64_t bitBuf;
  unsigned bitCount;    // < 64; bits above it in bitBuf are zero
  const uint32_t* lenTable;
  const uint32_t* distTable;
  // Pending match when the loop stopped with kFastMatch.
  uint32_t matchLen;
  uint32_t matchDist;
  const char* error;
};

// Decodes literal/length and distance codes while at least 16 input bytes and 260 output bytes
// of room remain. Never reads outside [in, inEnd). On exit the bit buffer is trimmed back so that
// whole unused bytes read by the loop are returned to the input.
inline FastExit InflateFast(FastIO& f) {
  const uint8_t* in = f.in;
  const uint8_t* const inStart = in;
  uint8_t* out = f.out;
  uint64_t bb = f.bitBuf;
  unsigned bc = f.bitCount;
  const uint32_t* const lt = f.lenTable;
  const uint32_t* const dt = f.distTable;
  constexpr uint64_t lmask = (1u << kLenRoot) - 1;
  constexpr uint64_t dmask = (1u << kDistRoot) - 1;
  FastExit result = kFastMore;

#define ARC_REFILL()                  \
  bb |= Load64(in) << bc;             \
  in += (63 - bc) >> 3;               \
  bc |= 56
#define ARC_DECODE(e, table, mask)                                          \
  e = table[bb & mask];                                                     \
  if (e & kSub) [[unlikely]] {                                              \
    bb >>= (e & 0xFF);                                                      \
    bc -= (e & 0xFF);                                                       \
    e = table[(e >> 16) + (bb & ((uint64_t{1} << ((e >> 8) & 31)) - 1))];   \
  }                                                                         \
  bb >>= (e & 0xFF);                                                        \
  bc -= (e & 0xFF)

  while (static_cast<size_t>(f.inEnd - in) >= 16 && static_cast<size_t>(f.outEnd - out) >= 260) {
    ARC_REFILL();
    uint32_t e;
    ARC_DECODE(e, lt, lmask);
    if (e & kLit) {
      *out++ = static_cast<uint8_t>(e >> 16);
      ARC_DECODE(e, lt, lmask);
      if (e & kLit) {
        *out++ = static_cast<uint8_t>(e >> 16);
        ARC_DECODE(e, lt, lmask);
        if (e & kLit) {
          *out++ = static_cast<uint8_t>(e >> 16);
          continue;
        }
      }
    }
    if (e & kEob) [[unlikely]] {
      if (e >> 16) {
        f.error = "invalid literal/length code";
        result = kFastBad;
      } else {
        result = kFastEob;
      }
      break;
    }
    ARC_REFILL();
    unsigned extra = (e >> 8) & 31;
    const uint32_t len = (e >> 16) + static_cast<uint32_t>(bb & ((uint64_t{1} << extra) - 1));
    bb >>= extra;
    bc -= extra;
    ARC_DECODE(e, dt, dmask);
    if (e & kEob) [[unlikely]] {
      f.error = "invalid distance code";
      result = kFastBad;
      break;
    }
    extra = (e >> 8) & 31;
    const uint32_t dist = (e >> 16) + static_cast<uint32_t>(bb & ((uint64_t{1} << extra) - 1));
    bb >>= extra;
    bc -= extra;
    if (dist > static_cast<size_t>(out - f.base) || dist > f.maxDist) [[unlikely]] {
      f.error = "invalid distance too far back";
      result = kFastBad;
      break;
    }
    if (len > static_cast<size_t>(f.outEnd - out)) [[unlikely]] {
      f.matchLen = len;
      f.matchDist = dist;
      result = kFastMatch;
      break;
    }
    out = CopyMatch(out, dist, len);
  }
#undef ARC_REFILL
#undef ARC_DECODE
  // Give back whole bytes that this run took from the input and did not use.
  size_t back = bc >> 3;
  const size_t taken = static_cast<size_t>(in - inStart);
  if (back > taken) back = taken;
  in -= back;
  bc -= static_cast<unsigned>(back * 8);
  bb &= (uint64_t{1} << bc) - 1;
  f.in = in;
  f.out = out;
  f.bitBuf = bb;
  f.bitCount = bc;
  return result;
}

}  // namespace arc::inflate_detail
