#include "archive/arcInflate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "archive/arcInflate64.h"
#include "archive/arcInflateCore.h"
#include "archive/arcStreams.h"

namespace arc {

// ====================================================================== tables

namespace inflate_detail {
namespace {

constexpr uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// Entry of a symbol without its code bits: value, flags and the count of extra bits.
constexpr uint32_t SymbolEntry(unsigned sym, TableKind kind, bool d64) {
  switch (kind) {
    case TableKind::CodeLengths:
      return sym << 16;
    case TableKind::LitLen:
      if (sym < 256) return (sym << 16) | kLit;
      if (sym == 256) return kEob;
      if (sym == 285 && d64) return MakeEntry(3, 0, 16);
      if (sym < 286) return MakeEntry(kLenBase[sym - 257], 0, kLenExtra[sym - 257]);
      return kInvalid;
    case TableKind::Dist:
      if (sym < 30 || (d64 && sym < 32)) return MakeEntry(kDistBase[sym], 0, kDistExtra[sym]);
      return kInvalid;
  }
  return kInvalid;
}

// The entries of every symbol of each kind of table and variant, so that the table builder takes
// an entry in one load.
struct SymbolEntries {
  uint32_t codeLengths[19];
  uint32_t litLen[2][288];
  uint32_t dist[2][32];
  constexpr SymbolEntries() : codeLengths(), litLen(), dist() {
    for (unsigned s = 0; s < 19; ++s) codeLengths[s] = SymbolEntry(s, TableKind::CodeLengths, false);
    for (unsigned v = 0; v < 2; ++v) {
      for (unsigned s = 0; s < 288; ++s) litLen[v][s] = SymbolEntry(s, TableKind::LitLen, v != 0);
      for (unsigned s = 0; s < 32; ++s) dist[v][s] = SymbolEntry(s, TableKind::Dist, v != 0);
    }
  }
};
constexpr SymbolEntries kSymbolEntries;

// Adds the code bits of a table level to a symbol entry.
constexpr uint32_t WithCode(uint32_t e, unsigned bits) { return e + (bits << 8) + bits; }

constexpr struct Rev8 {
  uint8_t v[256];
  constexpr Rev8() : v() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned r = 0;
      for (unsigned b = 0; b < 8; ++b) r |= ((i >> b) & 1u) << (7 - b);
      v[i] = static_cast<uint8_t>(r);
    }
  }
} kRev8;

// The len low bits of code (len <= 15) in reverse order.
inline unsigned Reverse(unsigned code, unsigned len) {
  return ((unsigned{kRev8.v[code & 0xFF]} << 8) | kRev8.v[(code >> 8) & 0xFF]) >> (16 - len);
}

}  // namespace

bool BuildTable(const uint8_t* lengths, unsigned n, TableKind kind, bool d64, uint32_t* table,
                size_t capacity, unsigned root, bool* pairs) {
  if (pairs) *pairs = false;
  const uint32_t* const entries = kind == TableKind::CodeLengths ? kSymbolEntries.codeLengths
                                  : kind == TableKind::LitLen    ? kSymbolEntries.litLen[d64]
                                                                 : kSymbolEntries.dist[d64];
  if (n > (kind == TableKind::CodeLengths ? 19u : kind == TableKind::LitLen ? 288u : 32u)) return false;
  uint64_t any = 0;
  unsigned s8 = 0;
  for (; s8 + 8 <= n; s8 += 8) any |= Load64(lengths + s8);
  for (; s8 < n; ++s8) any |= lengths[s8];
  if (any & 0xF0F0F0F0F0F0F0F0u) return false;  // a length above 15
  // Counted in four rows: runs of equal lengths would otherwise wait on each other's increments.
  unsigned rows[4][16] = {};
  unsigned s4 = 0;
  for (; s4 + 4 <= n; s4 += 4) {
    ++rows[0][lengths[s4]];
    ++rows[1][lengths[s4 + 1]];
    ++rows[2][lengths[s4 + 2]];
    ++rows[3][lengths[s4 + 3]];
  }
  for (; s4 < n; ++s4) ++rows[0][lengths[s4]];
  unsigned count[16];
  for (unsigned l = 0; l < 16; ++l) count[l] = rows[0][l] + rows[1][l] + rows[2][l] + rows[3][l];
  count[0] = 0;
  unsigned maxLen = 0;
  int left = 1;
  for (unsigned l = 1; l <= 15; ++l) {
    left = (left << 1) - static_cast<int>(count[l]);
    if (left < 0) return false;  // over-subscribed
    if (count[l]) maxLen = l;
  }
  const size_t rootSize = size_t{1} << root;
  if (capacity < rootSize) return false;
  const uint32_t invalid = WithCode(kInvalid, 1);
  if (maxLen == 0) {  // no codes: every lookup is invalid
    for (size_t i = 0; i < rootSize; ++i) table[i] = invalid;
    return kind != TableKind::CodeLengths;
  }
  // Incomplete sets: only the single code of length one; the other half of the table stays
  // invalid. A complete set covers every entry below.
  if (left > 0) {
    if (kind == TableKind::CodeLengths || maxLen != 1) return false;
    for (size_t i = 0; i < rootSize; ++i) table[i] = invalid;
  }

  unsigned next[16] = {};
  unsigned code = 0;
  for (unsigned l = 1; l <= 15; ++l) {
    code = (code + count[l - 1]) << 1;
    next[l] = code;
  }
  // The symbols ordered by code length (and by symbol within a length): the one at sorted[k], of
  // l bits, has the canonical code next[l] + k - first[l], bit-reversed for
  // least-significant-first reading.
  unsigned sorted[288];
  unsigned first[17] = {};
  for (unsigned l = 1; l <= 15; ++l) first[l + 1] = first[l] + count[l];
  {
    unsigned at[16];
    std::memcpy(at, first, sizeof at);
    at[0] = first[16];  // unused symbols go after the others and are not read
    for (unsigned s = 0; s < n; ++s) sorted[at[lengths[s]]++] = s;
  }
  auto reversed = [&](unsigned k, unsigned l) { return Reverse(next[l] + k - first[l], l); };
  // Root entries of the short codes, length by length: the codes of up to l bits fill the first
  // 2^l entries, which are copied up each time the next length doubles the part filled.
  uint32_t literalShare[16] = {};  // literal codes by length, weighted by the root entries they take
  unsigned shortestLiteral = 16;
  size_t filled = 1;
  for (unsigned l = 1; l <= std::min(maxLen, root); ++l) {
    std::memcpy(table + filled, table, filled * sizeof *table);
    filled *= 2;
    unsigned literals = 0;  // counted in a register: a sum in the array would wait on its own stores
    for (unsigned k = first[l]; k < first[l + 1]; ++k) {
      const unsigned s = sorted[k];
      const uint32_t e = entries[s];
      table[reversed(k, l)] = WithCode(e, l);
      literals += (e >> 15) & 1;
    }
    literalShare[l] = literals << (root - l);
    if (literals) shortestLiteral = std::min(shortestLiteral, l);
  }
  for (; filled < rootSize; filled *= 2) std::memcpy(table + filled, table, filled * sizeof *table);
  // Sub-tables: one per root prefix of the long codes, as wide as its longest code.
  if (maxLen > root) {
    uint8_t subBits[1u << kLenRoot] = {};
    unsigned prefixes[288];
    unsigned nPrefixes = 0;
    unsigned rev[288];  // by sorted position
    for (unsigned k = first[root + 1]; k < first[16]; ++k) {
      const unsigned s = sorted[k];
      rev[k] = reversed(k, lengths[s]);
      const unsigned p = rev[k] & (rootSize - 1);
      if (!subBits[p]) prefixes[nPrefixes++] = p;
      subBits[p] = static_cast<uint8_t>(std::max<unsigned>(subBits[p], lengths[s] - root));
    }
    size_t offset = rootSize;
    for (unsigned k = 0; k < nPrefixes; ++k) {
      const unsigned p = prefixes[k];
      const size_t size = size_t{1} << subBits[p];
      if (offset + size > capacity) return false;
      table[p] = MakeEntry(static_cast<uint32_t>(offset), subBits[p], root) | kSub;
      offset += size;
    }
    for (unsigned k = first[root + 1]; k < first[16]; ++k) {
      const unsigned s = sorted[k];
      const unsigned l = lengths[s];
      const uint32_t link = table[rev[k] & (rootSize - 1)];
      const size_t off = link >> 16;
      const size_t sub = size_t{1} << CodeBits(link);
      const uint32_t el = WithCode(entries[s], l - root);
      for (size_t i = rev[k] >> root; i < sub; i += size_t{1} << (l - root)) table[off + i] = el;
    }
  }
  if (!pairs || kind != TableKind::LitLen || 2 * shortestLiteral > root) return true;
  // The share of lookups that would find a pair, in units of 2^-2root: a literal of l1 bits
  // followed by one of at most root - l1. Below about one in sixteen the pair handling costs more
  // than it saves.
  uint32_t pairShare = 0;
  for (unsigned l1 = shortestLiteral; l1 + shortestLiteral <= root; ++l1) {
    uint32_t second = 0;
    for (unsigned l2 = shortestLiteral; l1 + l2 <= root; ++l2) second += literalShare[l2];
    pairShare += literalShare[l1] * second;
  }
  if (pairShare < (uint32_t{1} << (2 * root - 4))) return true;
  // Pairs of literals whose two codes fit in the root bits. Walking down, the entry of the second
  // code (at index i >> l1, below i) is still a single one.
  *pairs = true;
  for (size_t i = rootSize; i-- > 0;) {
    const uint32_t e1 = table[i];
    if (!(e1 & kLit)) continue;
    const unsigned l1 = e1 & 0xFF;
    if (l1 + shortestLiteral > root) continue;
    const uint32_t e2 = table[i >> l1];
    const unsigned l2 = e2 & 0xFF;
    if (!(e2 & kLit) || l1 + l2 > root) continue;
    table[i] = MakeEntry((e1 >> 16) | ((e2 >> 16) << 8), l1, l1 + l2) | kLit | kPair;
  }
  return true;
}

void BuildFixedTables(bool d64, uint32_t* lenTable, uint32_t* distTable) {
  uint8_t l[288];
  std::memset(l, 8, 144);
  std::memset(l + 144, 9, 112);
  std::memset(l + 256, 7, 24);
  std::memset(l + 280, 8, 8);
  BuildTable(l, 288, TableKind::LitLen, d64, lenTable, kLenTableSize, kLenRoot);
  uint8_t d[32];
  std::memset(d, 5, 32);
  BuildTable(d, 32, TableKind::Dist, d64, distTable, kDistTableSize, kDistRoot);
}

namespace {

FastExit InflateFastBaseline(FastIO& f) {
  if (f.plain) return f.pairs ? InflateFastBody<true, true>(f) : InflateFastBody<false, true>(f);
  return f.pairs ? InflateFastBody<true, false>(f) : InflateFastBody<false, false>(f);
}

#if defined(__x86_64__)
__attribute__((target("bmi,bmi2"))) FastExit InflateFastBmi2(FastIO& f) {
  if (f.plain) return f.pairs ? InflateFastBody<true, true>(f) : InflateFastBody<false, true>(f);
  return f.pairs ? InflateFastBody<true, false>(f) : InflateFastBody<false, false>(f);
}
#endif

}  // namespace

FastExit InflateFast(FastIO& f) {
#if defined(__x86_64__)
  static const bool bmi2 = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  if (bmi2) return InflateFastBmi2(f);
#endif
  return InflateFastBaseline(f);
}

}  // namespace inflate_detail

using namespace inflate_detail;

// ====================================================================== streaming decoder

struct TInflateState {
  TInflateMode mode;
  bool raw;
  bool d64;
  bool last;
  bool fixedReady;
  unsigned wbits;
  uint32_t wsize;
  // Output is decoded into win[0, areaSize); win[0, pos) is history that has been delivered.
  uint8_t* win;
  size_t areaSize;
  size_t pos;
  uint64_t bb;
  unsigned bc;
  uint32_t length;  // stored bytes left, or match length
  uint32_t dist;
  unsigned nlen, ndist, ncode, have;
  uint32_t adler;
  const uint32_t* lcode;
  bool lpairs;  // lcode has pair entries
  bool lenPairs;
  const uint32_t* dcode;
  uint8_t lens[320];
  uint32_t codeTable[kCodeTableSize];
  uint32_t lenTable[kLenTableSize];
  uint32_t distTable[kDistTableSize];
  uint32_t fixedLen[kLenTableSize];
  uint32_t fixedDist[kDistTableSize];
};

namespace {

void* DefaultAlloc(void*, unsigned items, unsigned size) { return std::calloc(items, size); }
void DefaultFree(void*, void* p) { std::free(p); }

void* Alloc(TZStreamRec* s, size_t bytes) {
  if (bytes > 0xFFFFFFFFu) return nullptr;
  return s->zalloc(s->opaque, 1, static_cast<unsigned>(bytes));
}

uint32_t Adler32(uint32_t adler, const uint8_t* p, size_t n) {
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (n > 0) {
    size_t k = std::min<size_t>(n, 3854);
    n -= k;
    while (k--) {
      a += *p++;
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  return (b << 16) | a;
}

enum class Step { NeedInput, OutFull, Stop };

constexpr uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Runs the state machine until it needs input, the output reaches limit, or the mode becomes
// Check, Done, Bad or Dict. Output goes to win[posRef, limit); win[0, posRef) is the history.
// win is the state's own area (kCopySlack writable bytes beyond limit) or, with slack false,
// the caller's output buffer, which ends at limit: then no copy writes beyond it.
Step Decode(TZStreamRec* strm, TInflateState* st, const uint8_t*& in, const uint8_t* inEnd,
            const uint8_t* inCallStart, uint8_t* const win, size_t& posRef, size_t limit, bool slack) {
  uint64_t bb = st->bb;
  unsigned bc = st->bc;
  size_t pos = posRef;
  // End of the output the fast loop and the match copies may run up to with their over-long
  // writes.
  const size_t fastLimit = slack ? limit : limit - std::min(limit, kCopySlack);
  Step result = Step::Stop;

  auto need = [&](unsigned n) {
    while (bc < n) {
      if (in == inEnd) return false;
      bb |= uint64_t{*in++} << bc;
      bc += 8;
    }
    return true;
  };
  auto drop = [&](unsigned n) {
    bb >>= n;
    bc -= n;
  };
  // Fills the bit buffer to 56 bits or more in one step while eight input bytes remain (the code
  // length codes of a block header); giveBack returns the whole bytes not used.
  auto fillWide = [&] {
    if (static_cast<size_t>(inEnd - in) < 8) return;
    bb |= Load64(in) << bc;
    const unsigned bytes = (63 - bc) >> 3;
    in += bytes;
    bc += bytes * 8;
    bb &= (uint64_t{1} << bc) - 1;
  };
  auto giveBack = [&] {
    const size_t back = std::min<size_t>(bc >> 3, static_cast<size_t>(in - inCallStart));
    in -= back;
    bc -= static_cast<unsigned>(back * 8);
    bb &= (uint64_t{1} << bc) - 1;
  };
  // Looks up the next code without taking it; false when more input is needed.
  auto peek = [&](const uint32_t* t, unsigned root, uint32_t& e, unsigned& total) {
    for (;;) {
      e = t[bb & ((uint64_t{1} << root) - 1)];
      total = CodeBits(e);
      if (e & kSub) {
        e = t[(e >> 16) + ((bb >> root) & ((uint64_t{1} << CodeBits(e)) - 1))];
        total = root + CodeBits(e);
      }
      if (total <= bc) return true;
      if (in == inEnd) return false;
      bb |= uint64_t{*in++} << bc;
      bc += 8;
    }
  };
  auto bad = [&](const char* why) {
    strm->msg = why;
    st->mode = TInflateMode::Bad;
  };
  auto endOfBlock = [&] {
    if (!st->last) {
      st->mode = TInflateMode::Type;
    } else if (st->raw) {
      // Give back whole bytes of this call's input that lie beyond the stream.
      size_t back = bc >> 3;
      back = std::min(back, static_cast<size_t>(in - inCallStart));
      in -= back;
      bc -= static_cast<unsigned>(back * 8);
      bb &= (uint64_t{1} << bc) - 1;
      st->mode = TInflateMode::Done;
    } else {
      st->mode = TInflateMode::Check;
    }
  };

  for (;;) {
    switch (st->mode) {
      case TInflateMode::Head: {
        if (!need(16)) goto needInput;
        const unsigned cmf = bb & 0xFF, flg = (bb >> 8) & 0xFF;
        if (((cmf << 8) | flg) % 31 != 0) {
          bad("incorrect header check");
          goto stop;
        }
        if ((cmf & 15) != 8) {
          bad("unknown compression method");
          goto stop;
        }
        if ((cmf >> 4) + 8 > st->wbits) {
          bad("invalid window size");
          goto stop;
        }
        drop(16);
        st->adler = 1;
        st->mode = (flg & 0x20) ? TInflateMode::DictId : TInflateMode::Type;
        break;
      }
      case TInflateMode::DictId:
        if (!need(32)) goto needInput;
        drop(32);
        st->mode = TInflateMode::Dict;
        goto stop;
      case TInflateMode::Type: {
        if (!need(3)) goto needInput;
        st->last = bb & 1;
        const unsigned type = (bb >> 1) & 3;
        drop(3);
        if (type == 0) {
          drop(bc & 7);
          st->mode = TInflateMode::Stored;
        } else if (type == 1) {
          if (!st->fixedReady) {
            BuildFixedTables(st->d64, st->fixedLen, st->fixedDist);
            st->fixedReady = true;
          }
          st->lcode = st->fixedLen;
          st->lpairs = false;
          st->dcode = st->fixedDist;
          st->mode = TInflateMode::Len;
        } else if (type == 2) {
          st->mode = TInflateMode::Table;
        } else {
          bad("invalid block type");
          goto stop;
        }
        break;
      }
      case TInflateMode::Stored: {
        if (!need(32)) goto needInput;
        const uint32_t len = bb & 0xFFFF, nlen = (bb >> 16) & 0xFFFF;
        if (len != (~nlen & 0xFFFF)) {
          bad("invalid stored block lengths");
          goto stop;
        }
        drop(32);
        st->length = len;
        st->mode = TInflateMode::Copy;
        break;
      }
      case TInflateMode::Copy:
        while (st->length > 0) {
          if (pos == limit) goto outFull;
          if (bc >= 8) {
            win[pos++] = static_cast<uint8_t>(bb);
            drop(8);
            --st->length;
          } else if (in < inEnd) {
            const size_t k = std::min({static_cast<size_t>(st->length), static_cast<size_t>(inEnd - in), limit - pos});
            std::memcpy(win + pos, in, k);
            pos += k;
            in += k;
            st->length -= static_cast<uint32_t>(k);
          } else {
            goto needInput;
          }
        }
        endOfBlock();
        if (st->mode != TInflateMode::Type) goto stop;
        break;
      case TInflateMode::Table:
        if (!need(14)) goto needInput;
        st->nlen = 257 + (bb & 31);
        st->ndist = 1 + ((bb >> 5) & 31);
        st->ncode = 4 + ((bb >> 10) & 15);
        drop(14);
        if (!st->d64 && (st->nlen > 286 || st->ndist > 30)) {
          bad("too many length or distance symbols");
          goto stop;
        }
        st->have = 0;
        st->mode = TInflateMode::LenLens;
        break;
      case TInflateMode::LenLens:
        if (bc < 3 * 19) fillWide();
        while (st->have < st->ncode) {
          if (!need(3)) goto needInput;
          st->lens[kCodeOrder[st->have++]] = bb & 7;
          drop(3);
        }
        while (st->have < 19) st->lens[kCodeOrder[st->have++]] = 0;
        if (!BuildTable(st->lens, 19, TableKind::CodeLengths, st->d64, st->codeTable, kCodeTableSize, kCodeRoot)) {
          bad("invalid code lengths set");
          goto stop;
        }
        st->have = 0;
        st->mode = TInflateMode::CodeLens;
        break;
      case TInflateMode::CodeLens: {
        const unsigned total = st->nlen + st->ndist;
        while (st->have < total) {
          uint32_t e;
          unsigned nb;
          if (bc < 14) fillWide();  // a code of at most 7 bits and its up to 7 extra bits
          if (!peek(st->codeTable, kCodeRoot, e, nb)) goto needInput;
          const unsigned sym = e >> 16;
          if (sym < 16) {
            drop(nb);
            st->lens[st->have++] = static_cast<uint8_t>(sym);
            continue;
          }
          const unsigned xb = sym == 16 ? 2 : sym == 17 ? 3 : 7;
          if (!need(nb + xb)) goto needInput;
          drop(nb);
          const unsigned x = bb & ((1u << xb) - 1);
          drop(xb);
          uint8_t val = 0;
          unsigned rep;
          if (sym == 16) {
            if (st->have == 0) {
              bad("invalid bit length repeat");
              goto stop;
            }
            val = st->lens[st->have - 1];
            rep = 3 + x;
          } else if (sym == 17) {
            rep = 3 + x;
          } else {
            rep = 11 + x;
          }
          if (st->have + rep > total) {
            bad("invalid bit length repeat");
            goto stop;
          }
          while (rep--) st->lens[st->have++] = val;
        }
        giveBack();
        if (st->lens[256] == 0) {
          bad("invalid code -- missing end-of-block");
          goto stop;
        }
        if (!BuildTable(st->lens, st->nlen, TableKind::LitLen, st->d64, st->lenTable, kLenTableSize, kLenRoot,
                        &st->lenPairs)) {
          bad("invalid literal/lengths set");
          goto stop;
        }
        if (!BuildTable(st->lens + st->nlen, st->ndist, TableKind::Dist, st->d64, st->distTable, kDistTableSize,
                        kDistRoot)) {
          bad("invalid distances set");
          goto stop;
        }
        st->lcode = st->lenTable;
        st->lpairs = st->lenPairs;
        st->dcode = st->distTable;
        st->mode = TInflateMode::Len;
        break;
      }
      case TInflateMode::Len: {
        if (static_cast<size_t>(inEnd - in) >= kFastInput && pos < fastLimit && fastLimit - pos >= kFastOutput) {
          FastIO f;
          f.in = in;
          f.inEnd = inEnd;
          f.out = win + pos;
          f.outEnd = win + fastLimit;
          f.base = win;
          f.maxDist = st->wsize;
          f.plain = PlainDeflate(st->wsize, st->d64);
          f.bitBuf = bb;
          f.bitCount = bc;
          f.lenTable = st->lcode;
          f.pairs = st->lpairs;
          f.distTable = st->dcode;
          f.error = nullptr;
          const FastExit r = InflateFast(f);
          in = f.in;
          pos = static_cast<size_t>(f.out - win);
          bb = f.bitBuf;
          bc = f.bitCount;
          if (r == kFastEob) {
            endOfBlock();
            if (st->mode != TInflateMode::Type) goto stop;
            break;
          }
          if (r == kFastBad) {
            bad(f.error);
            goto stop;
          }
          if (r == kFastMatch) {
            st->length = f.matchLen;
            st->dist = f.matchDist;
            st->mode = TInflateMode::Match;
            break;
          }
        }
        uint32_t e;
        unsigned nb;
        if (!peek(st->lcode, kLenRoot, e, nb)) goto needInput;
        if (e & kLit) {
          if (pos == limit) goto outFull;
          drop(nb);
          win[pos++] = static_cast<uint8_t>(e >> 16);
          break;
        }
        if (e & kEob) {
          if (e >> 16) {
            bad("invalid literal/length code");
            goto stop;
          }
          drop(nb);
          endOfBlock();
          if (st->mode != TInflateMode::Type) goto stop;
          break;
        }
        const unsigned xb = ExtraBits(e);
        if (!need(nb + xb)) goto needInput;
        drop(nb);
        st->length = (e >> 16) + static_cast<uint32_t>(bb & ((uint64_t{1} << xb) - 1));
        drop(xb);
        st->mode = TInflateMode::Dist;
        break;
      }
      case TInflateMode::Dist: {
        uint32_t e;
        unsigned nb;
        if (!peek(st->dcode, kDistRoot, e, nb)) goto needInput;
        if (e & kEob) {
          bad("invalid distance code");
          goto stop;
        }
        const unsigned xb = ExtraBits(e);
        if (!need(nb + xb)) goto needInput;
        drop(nb);
        const uint32_t d = (e >> 16) + static_cast<uint32_t>(bb & ((uint64_t{1} << xb) - 1));
        drop(xb);
        if (d > pos || d > st->wsize) {
          bad("invalid distance too far back");
          goto stop;
        }
        st->dist = d;
        st->mode = TInflateMode::Match;
        break;
      }
      case TInflateMode::Match: {
        if (pos == limit) goto outFull;
        const uint32_t k = static_cast<uint32_t>(std::min<size_t>(st->length, limit - pos));
        if (k <= fastLimit - std::min(fastLimit, pos)) {
          CopyMatch(win + pos, st->dist, k);
        } else {
          for (uint32_t i = 0; i < k; ++i) win[pos + i] = win[pos + i - st->dist];
        }
        pos += k;
        st->length -= k;
        if (st->length == 0) st->mode = TInflateMode::Len;
        break;
      }
      case TInflateMode::Check: {
        drop(bc & 7);
        if (!need(32)) goto needInput;
        const uint32_t v = static_cast<uint32_t>(bb);
        const uint32_t want = ((v & 0xFF) << 24) | ((v & 0xFF00) << 8) | ((v >> 8) & 0xFF00) | (v >> 24);
        drop(32);
        if (want != st->adler) {
          bad("incorrect data check");
          goto stop;
        }
        st->mode = TInflateMode::Done;
        goto stop;
      }
      case TInflateMode::Dict:
      case TInflateMode::Done:
      case TInflateMode::Bad:
        goto stop;
    }
  }
needInput:
  result = Step::NeedInput;
  goto stop;
outFull:
  result = Step::OutFull;
stop:
  st->bb = bb;
  st->bc = bc;
  posRef = pos;
  return result;
}

}  // namespace

int(inflateInit2)(TZStreamRec* strm, int windowBits, int recordCheck, bool deflate64) {
  if (recordCheck != kInflateRecordCheck) return Z_ARC_VERSION_ERROR;
  if (!strm) return Z_ARC_STREAM_ERROR;
  strm->msg = nullptr;
  if (!strm->zalloc) {
    strm->zalloc = DefaultAlloc;
    strm->opaque = nullptr;
  }
  if (!strm->zfree) strm->zfree = DefaultFree;
  const bool raw = windowBits < 0;
  int bits = raw ? -windowBits : windowBits;
  if (deflate64) ++bits;
  const int maxBits = deflate64 ? 16 : 15;
  if (bits < 8 || bits > maxBits) return Z_ARC_STREAM_ERROR;
  auto* st = static_cast<TInflateState*>(Alloc(strm, sizeof(TInflateState)));
  if (!st) return Z_ARC_MEM_ERROR;
  st->raw = raw;
  st->d64 = deflate64;
  st->wbits = static_cast<unsigned>(bits);
  st->wsize = 1u << bits;
  // History keeps the last window; the rest of the area takes fresh output between slides.
  st->areaSize = std::max<size_t>(size_t{4} << bits, 32768);
  st->win = static_cast<uint8_t*>(Alloc(strm, st->areaSize + kCopySlack));
  if (!st->win) {
    strm->zfree(strm->opaque, st);
    return Z_ARC_MEM_ERROR;
  }
  st->fixedReady = false;
  strm->state = st;
  return inflateReset(strm);
}

int inflateReset(TZStreamRec* strm) {
  if (!strm || !strm->state) return Z_ARC_STREAM_ERROR;
  TInflateState* st = strm->state;
  strm->total_in = strm->total_out = 0;
  strm->msg = nullptr;
  st->mode = st->raw ? TInflateMode::Type : TInflateMode::Head;
  st->last = false;
  st->pos = 0;
  st->bb = 0;
  st->bc = 0;
  st->length = st->dist = 0;
  st->adler = 1;
  st->lcode = st->dcode = nullptr;
  return Z_ARC_OK;
}

int inflateEnd(TZStreamRec* strm) {
  if (!strm || !strm->state || !strm->zfree) return Z_ARC_STREAM_ERROR;
  strm->zfree(strm->opaque, strm->state->win);
  strm->zfree(strm->opaque, strm->state);
  strm->state = nullptr;
  return Z_ARC_OK;
}

TInflateMode inflateMode(const TZStreamRec* strm) {
  return strm && strm->state ? strm->state->mode : TInflateMode::Bad;
}

int inflate(TZStreamRec* strm, int flush) {
  if (!strm || !strm->state) return Z_ARC_STREAM_ERROR;
  TInflateState* st = strm->state;
  if ((!strm->next_out && strm->avail_out) || (!strm->next_in && strm->avail_in)) return Z_ARC_STREAM_ERROR;
  if (st->mode == TInflateMode::Dict) return Z_ARC_STREAM_ERROR;  // no dictionary can be supplied

  const uint8_t* const inStart = strm->next_in;
  const uint8_t* in = inStart;
  const uint8_t* const inEnd = in ? in + strm->avail_in : in;
  uint8_t* out = strm->next_out;
  size_t outLeft = strm->avail_out;
  size_t produced = 0;
  int ret = Z_ARC_OK;
  auto ended = [&] {
    switch (st->mode) {
      case TInflateMode::Done:
        ret = Z_ARC_STREAM_END;
        return true;
      case TInflateMode::Bad:
        ret = Z_ARC_DATA_ERROR;
        return true;
      case TInflateMode::Dict:
        ret = Z_ARC_NEED_DICT;
        return true;
      default:
        return false;
    }
  };

  // Without history yet (the first output of the stream), decode straight into the caller's
  // buffer: the history of every match lies in it. A stream that goes on keeps the buffer's last
  // window as the history of the next call.
  const bool direct = st->pos == 0 && outLeft > 0;
  if (direct) {
    size_t pos = 0;
    while (!ended() && (pos < outLeft || st->mode == TInflateMode::Check)) {
      const size_t before = pos;
      const uint8_t* inBefore = in;
      const TInflateMode modeBefore = st->mode;
      const Step step = Decode(strm, st, in, inEnd, inStart, out, pos, outLeft, false);
      if (!st->raw && pos > before) st->adler = Adler32(st->adler, out + before, pos - before);
      if (step == Step::NeedInput) break;
      if (step == Step::Stop && pos == before && in == inBefore && st->mode == modeBefore) break;
    }
    if (pos) {
      if (st->mode != TInflateMode::Done && st->mode != TInflateMode::Bad) {
        const size_t keep = std::min<size_t>(pos, st->wsize);
        std::memcpy(st->win, out + pos - keep, keep);
        st->pos = keep;
      }
      out += pos;
      outLeft -= pos;
      produced += pos;
    }
  }

  while (!direct && !ended()) {
    if (outLeft == 0 && st->mode != TInflateMode::Check) break;
    // Keep room to decode: slide the last window of history to the front.
    if (st->areaSize - st->pos < 4096 + kFastOutput) {
      const size_t keep = std::min<size_t>(st->pos, st->wsize);
      std::memmove(st->win, st->win + st->pos - keep, keep);
      st->pos = keep;
    }
    const size_t before = st->pos;
    const uint8_t* inBefore = in;
    const TInflateMode modeBefore = st->mode;
    const size_t limit = std::min(st->areaSize, st->pos + outLeft);
    const Step step = Decode(strm, st, in, inEnd, inStart, st->win, st->pos, limit, true);
    const size_t n = st->pos - before;
    if (n) {
      std::memcpy(out, st->win + before, n);
      if (!st->raw) st->adler = Adler32(st->adler, out, n);
      out += n;
      outLeft -= n;
      produced += n;
    }
    if (step == Step::NeedInput) break;
    if (step == Step::Stop && n == 0 && in == inBefore && st->mode == modeBefore) break;
  }

  const size_t consumed = static_cast<size_t>(in - inStart);
  strm->next_in = in;
  strm->avail_in -= static_cast<uint32_t>(consumed);
  strm->total_in += consumed;
  strm->next_out = out;
  strm->avail_out = static_cast<uint32_t>(outLeft);
  strm->total_out += produced;
  if (ret == Z_ARC_OK && ((consumed == 0 && produced == 0) || flush == Z_ARC_FINISH)) ret = Z_ARC_BUF_ERROR;
  return ret;
}

// ====================================================================== entry drivers

namespace {

constexpr int32_t kChunk = 32768;

TDecodeResult InflateDeflatedEntry(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                                   int windowBits) {
  if (info.unpackedSize == 0 && info.packedSize == 0) return TDecodeResult::Ok;
  TDecompressStream ds(archive, info.encKind, windowBits, false);
  ds.SetInputLimit(static_cast<int64_t>(info.packedSize));
  if (IsInputCipherKind(info.encKind)) {
    const uint8_t kind = info.encKind;
    ds.Decrypt = [&host, kind](uint8_t* p, size_t n) { host.DecryptInput(kind, p, n); };
  }
  const int32_t inChunk = static_cast<int32_t>(std::min<uint64_t>(info.packedSize, kChunk));
  std::vector<uint8_t> buf(kChunk);
  uint64_t expected = info.unpackedSize;
  while (expected > 0) {
    if (host.Cancelled()) return TDecodeResult::Cancelled;
    host.ProcessMessages();
    if (host.Cancelled()) return TDecodeResult::Cancelled;
    const int32_t outChunk = static_cast<int32_t>(std::min<uint64_t>(expected, kChunk));
    int status = Z_ARC_OK;
    const int32_t got = ds.ReadInflated(buf.data(), std::max<int32_t>(inChunk, 1), outChunk, status);
    if (got > 0) {
      if (host.WriteOutput(buf.data(), static_cast<size_t>(got)) != got) return TDecodeResult::WriteFailed;
      expected -= static_cast<uint64_t>(got);
    }
    if (status == Z_ARC_STREAM_END) return expected == 0 ? TDecodeResult::Ok : TDecodeResult::DataError;
    if (status < 0) return TDecodeResult::DataError;  // corrupt, or the input ended before the stream
  }
  // The declared size is out: the stream must end here.
  uint8_t probe;
  int status = Z_ARC_OK;
  const int32_t extra = ds.ReadInflated(&probe, std::max<int32_t>(inChunk, 1), 1, status);
  if (extra == 0 && status == Z_ARC_STREAM_END) return TDecodeResult::Ok;
  return TDecodeResult::DataError;
}

}  // namespace

TDecodeResult InflateEntry(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info, int windowBits,
                           bool deflate64) {
  if (deflate64) return Inflate64Decode(host, archive, info, TInflateVariant::Deflate64);
  return InflateDeflatedEntry(host, archive, info, windowBits);
}

TDecodeResult InflateDeflated(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                              int windowBits) {
  return InflateEntry(host, archive, info, windowBits, false);
}

TDecodeResult InflateDeflate64(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                               int windowBits) {
  return InflateEntry(host, archive, info, windowBits, true);
}

}  // namespace arc
