#pragma once
// Internals shared by the two Deflate decoders of the archive engine (the streaming decoder of
// arcInflate.cpp and the block decoder of arcInflate64.cpp): the decoding-table format, the
// table builder and the fast inner loop. Not for use outside the decoders.
//
// A decoding table is an array of 32-bit entries indexed by the next bits of the input (least
// significant bit first). Entry layout:
//   bits 0-7   input bits the entry takes in all: its code bits plus the extra bits that follow
//              (length/distance); for a pair of literals both codes; for a link the root width
//   bits 8-11  code bits of the entry (of the first literal of a pair); for a link the index width
//              of its sub-table
//   bit 12     two literals (value = first | second << 8)
//   bit 13     end of block (value 0) or invalid code (value 1)
//   bit 14     link to a sub-table (value = offset of the sub-table)
//   bit 15     literal byte (value = the byte)
//   bits 16-31 value: literal(s), length or distance base, symbol, or sub-table offset
// Entries in a sub-table count the bits after the root ones.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace arc::inflate_detail {

constexpr uint32_t kPair = 1u << 12;
constexpr uint32_t kEob = 1u << 13;
constexpr uint32_t kSub = 1u << 14;
constexpr uint32_t kLit = 1u << 15;
constexpr uint32_t kInvalid = kEob | (1u << 16);

constexpr uint32_t MakeEntry(uint32_t value, uint32_t codeBits, uint32_t totalBits) {
  return (value << 16) | (codeBits << 8) | totalBits;
}
// Code bits of an entry (a pair: of its first literal; a link: the width of its sub-table).
constexpr unsigned CodeBits(uint32_t e) { return (e >> 8) & 15; }
// The same as shift counts for the fast loop: an entry's total never reaches 64 bits, and bits
// 12 and 13 are clear in length, distance and link entries, so the low six bits of the byte are
// the count. A shift by a register takes only those bits on x86-64 and arm64, so the masks cost
// nothing there.
constexpr unsigned TotalShift(uint32_t e) { return e & 63; }
constexpr unsigned CodeShift(uint32_t e) { return (e >> 8) & 63; }
// Extra bits after the code of a length or distance entry.
constexpr unsigned ExtraBits(uint32_t e) { return (e & 0xFF) - CodeBits(e); }

// Root widths and capacities of the three kinds of table. A complete literal/length code of at
// most 288 symbols needs fewer than 2048 + 57 * 16 entries with an 11-bit root, a distance code of
// at most 32 symbols fewer than 256 + 4 * 128 with an 8-bit root (canonical codes need less).
constexpr unsigned kLenRoot = 11;
constexpr unsigned kDistRoot = 8;
constexpr unsigned kCodeRoot = 7;
constexpr size_t kLenTableSize = 3072;
constexpr size_t kDistTableSize = 1024;
constexpr size_t kCodeTableSize = 128;

enum class TableKind { CodeLengths, LitLen, Dist };

// Builds a two-level table for n code lengths (0 = unused symbol). Symbol meanings follow the
// kind and the variant (deflate64: length code 285 = base 3 + 16 extra bits, distance codes 30 and
// 31 valid). Rejects over-subscribed codes and incomplete ones, except the single code of length
// one that Deflate allows. Returns false for a bad code set. Given pairs, a literal/length table
// gets pair entries wherever two literal codes fit in the root bits together, if the code makes
// them frequent enough to pay for the pair handling; *pairs tells whether it did.
bool BuildTable(const uint8_t* lengths, unsigned n, TableKind kind, bool deflate64, uint32_t* table,
                size_t capacity, unsigned rootBits, bool* pairs = nullptr);

// Fixed literal/length and distance tables of a variant, built into caller-owned arrays.
void BuildFixedTables(bool deflate64, uint32_t* lenTable, uint32_t* distTable);

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // little-endian hosts (x86-64, arm64)
  return v;
}

inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Bytes a buffer must have beyond the end of a match for over-long match copies.
constexpr size_t kCopySlack = 32;

// Copy of a match of len bytes (len >= 1) from dist bytes back (dist >= 1). May write up to
// kCopySlack - 1 bytes beyond out + len; the bytes of [out, out + len) are right on return.
// The first 32 bytes are copied whatever the length, so that the common short matches take no
// branch on it.
inline uint8_t* CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* const end = out + len;
  if (dist >= 16) {
    std::memcpy(out, src, 16);
    std::memcpy(out + 16, src + 16, 16);
    if (len > 32) [[unlikely]] {
      out += 32;
      src += 32;
      do {
        std::memcpy(out, src, 16);
        std::memcpy(out + 16, src + 16, 16);
        out += 32;
        src += 32;
      } while (out < end);
    }
  } else if (dist >= 8) {
    Store64(out, Load64(src));
    Store64(out + 8, Load64(src + 8));
    Store64(out + 16, Load64(src + 16));
    Store64(out + 24, Load64(src + 24));
    if (len > 32) [[unlikely]] {
      out += 32;
      src += 32;
      do {
        Store64(out, Load64(src));
        Store64(out + 8, Load64(src + 8));
        out += 16;
        src += 16;
      } while (out < end);
    }
  } else if (dist == 1) {
    const uint64_t v = uint64_t{*src} * 0x0101010101010101u;
    do {
      Store64(out, v);
      Store64(out + 8, v);
      out += 16;
    } while (out < end);
  } else {
    // Each step loads 8 bytes dist back and keeps the first dist of them.
    do {
      Store64(out, Load64(out - dist));
      out += dist;
    } while (out < end);
  }
  return end;
}

// Room the fast loop needs at the top of a round: input bytes (four refills of at most 7 bytes,
// the 8-byte load of the last within them) and output bytes (two pairs of literals and the
// literal of a sub-table). A match longer than the room left stops the loop with the match
// pending, so that the loop runs up to the end of the caller's output.
constexpr size_t kFastInput = 32;
constexpr size_t kFastOutput = 2 * 2 + 1;

enum FastExit { kFastMore = 0, kFastEob, kFastBad, kFastMatch };

// FastIO::plain: Deflate (not Deflate64) with a window that holds the farthest distance it can
// code, 32 KiB. Its fast loop needs no window-size bound beside the start of its buffer, and no
// refill between a length and its distance.
constexpr bool PlainDeflate(uint32_t windowSize, bool deflate64) { return !deflate64 && windowSize >= 32768; }

struct FastIO {
  const uint8_t* in;
  const uint8_t* inEnd;
  uint8_t* out;
  uint8_t* outEnd;      // decode no further; kCopySlack writable bytes follow it
  const uint8_t* base;  // oldest byte a distance may reach
  uint32_t maxDist;     // window size
  bool plain;           // Deflate with a window of every distance (PlainDeflate)
  uint64_t bitBuf;
  unsigned bitCount;    // < 64; bits above it in bitBuf are zero
  const uint32_t* lenTable;
  const uint32_t* distTable;
  bool pairs;  // lenTable has pair entries
  // Pending match when the loop stopped with kFastMatch.
  uint32_t matchLen;
  uint32_t matchDist;
  const char* error;
};

// Decodes literal/length and distance codes while at least kFastInput input bytes and
// kFastOutput output bytes of room remain. Never reads outside [in, inEnd). On exit the bit
// buffer is trimmed back so that whole unused bytes read by the loop are returned to the input.
//
// Bit budget: a refill leaves 56 to 63 bits. Two root literals take at most 22, after which the
// next root entry is still looked up from valid bits. A length takes at most 20 bits, a distance
// at most 28, so one refill before the length covers a match; the next entry needs another only
// when fewer than 11 bits are left. A deflate64 length (up to 31 bits) may need a refill before
// its distance (up to 29).
//
// InflateFast (arcInflate.cpp) runs this body compiled for the processor at hand (on x86-64 with
// BMI2 where present, which shifts by a register count in one step), for the table (with the
// handling of pair entries only where the table has them) and for the stream (plain Deflate
// without the checks that only Deflate64 or a small window need).
template <bool kPairs, bool kPlain>
[[gnu::always_inline]] inline FastExit InflateFastBody(FastIO& f) {
  const uint8_t* in = f.in;
  const uint8_t* const inStart = in;
  uint8_t* out = f.out;
  // Kept in registers: the stores of output bytes could otherwise change them for the compiler.
  uint8_t* const outEnd = f.outEnd;
  const uint8_t* const base = f.base;
  const uint32_t maxDist = f.maxDist;
  uint64_t bb = f.bitBuf;
  // Only the low byte of bc counts: whole entries are taken from it, and an entry never takes
  // more bits than the buffer holds, so the low byte stays exact whatever the bits above it.
  uint32_t bc = f.bitCount;
  const uint32_t* const lt = f.lenTable;
  const uint32_t* const dt = f.distTable;
  constexpr uint64_t lmask = (1u << kLenRoot) - 1;
  constexpr uint64_t dmask = (1u << kDistRoot) - 1;
  FastExit result = kFastMore;

  // Last positions at which a round may start.
  const uintptr_t inLast = reinterpret_cast<uintptr_t>(f.inEnd) - kFastInput;
  const uintptr_t outLast = reinterpret_cast<uintptr_t>(outEnd) - kFastOutput;
  const bool enough = static_cast<size_t>(f.inEnd - in) >= kFastInput &&
                      static_cast<size_t>(outEnd - out) >= kFastOutput;
  auto room = [&] {
    return reinterpret_cast<uintptr_t>(in) <= inLast && reinterpret_cast<uintptr_t>(out) <= outLast;
  };
#define ARC_REFILL()                  \
  bb |= Load64(in) << (bc & 63);      \
  in += 7 - ((bc >> 3) & 7);          \
  bc |= 56
#define ARC_CONSUME(e)                \
  bb >>= TotalShift(e);               \
  bc -= (e)
  // One literal or, where the table has pairs, one or two: two bytes are stored either way, the
  // second counts only for a pair.
#define ARC_LITERAL(e)                                        \
  ARC_CONSUME(e);                                             \
  if constexpr (kPairs) {                                     \
    const uint16_t v = static_cast<uint16_t>((e) >> 16);      \
    std::memcpy(out, &v, 2);                                  \
    out += 1 + (((e) >> 12) & 1);                             \
  } else {                                                    \
    *out++ = static_cast<uint8_t>((e) >> 16);                 \
  }                                                           \
  e = lt[bb & lmask]
#define ARC_SUBENTRY(e, table)                                             \
  ARC_CONSUME(e);                                                          \
  e = table[(e >> 16) + (bb & ~(~uint64_t{0} << CodeShift(e)))]
#define ARC_EXTRA(saved, e) \
  static_cast<uint32_t>(((saved) & ~(~uint64_t{0} << TotalShift(e))) >> CodeShift(e))

  if (enough) {
    ARC_REFILL();
    uint32_t e = lt[bb & lmask];
    while (room()) {
      // Here e is the root entry of the next code, looked up from at least 11 valid bits. The
      // refill does not hold up the use of e: it needs only the bit count, known before e.
      ARC_REFILL();
      if (e & kLit) {
        ARC_LITERAL(e);
        if (e & kLit) {
          ARC_LITERAL(e);
        }
        if (e & kLit) continue;
        ARC_REFILL();
      }
      // A length is the common case here: the rarer kinds are sorted out behind one test.
      if (e & (kSub | kEob)) [[unlikely]] {
        if (e & kSub) {
          ARC_SUBENTRY(e, lt);
          if (e & kLit) {
            ARC_CONSUME(e);
            *out++ = static_cast<uint8_t>(e >> 16);
            e = lt[bb & lmask];
            continue;
          }
        }
        if (e & kEob) {
          if (e >> 16) {
            f.error = "invalid literal/length code";
            result = kFastBad;
          } else {
            ARC_CONSUME(e);
            result = kFastEob;
          }
          break;
        }
      }
      uint64_t saved = bb;
      ARC_CONSUME(e);
      const uint32_t len = (e >> 16) + ARC_EXTRA(saved, e);
      e = dt[bb & dmask];
      if (!kPlain && (bc & 0xFF) < 29) [[unlikely]] {  // only after a long deflate64 length
        ARC_REFILL();
      }
      if (e & (kSub | kEob)) [[unlikely]] {
        if (e & kSub) {
          ARC_SUBENTRY(e, dt);
        }
        if (e & kEob) {
          f.error = "invalid distance code";
          result = kFastBad;
          break;
        }
      }
      saved = bb;
      ARC_CONSUME(e);
      const uint32_t dist = (e >> 16) + ARC_EXTRA(saved, e);
      if (dist > static_cast<size_t>(out - base) || (!kPlain && dist > maxDist)) [[unlikely]] {
        f.error = "invalid distance too far back";
        result = kFastBad;
        break;
      }
      if (len > static_cast<size_t>(outEnd - out)) [[unlikely]] {
        f.matchLen = len;
        f.matchDist = dist;
        result = kFastMatch;
        break;
      }
      e = lt[bb & lmask];
      if ((bc & 0xFF) < kLenRoot) [[unlikely]] {
        ARC_REFILL();
        e = lt[bb & lmask];
      }
      out = CopyMatch(out, dist, len);
    }
  }
#undef ARC_REFILL
#undef ARC_CONSUME
#undef ARC_LITERAL
#undef ARC_SUBENTRY
#undef ARC_EXTRA
  bc &= 0xFF;
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

FastExit InflateFast(FastIO& f);

}  // namespace arc::inflate_detail
