// Method 6 (imploding): Shannon-Fano coded lengths, distances and (with three trees) literals
// over a sliding dictionary of 4 or 8 KB.
#include <array>
#include <vector>

#include "archive/arcInflate64.h"
#include "archive/arcLegacy.h"
#include "archive/arcStreams.h"

namespace arc {

namespace {
constexpr unsigned kMaxLen = 16;

// A Shannon-Fano tree: the bit lengths as stored, decoded as a canonical code over the inverted
// bits (shortest lengths hold the codes of all ones).
class SfTree {
public:
  // Reads the tree from the stream; false when the lengths do not give exactly n codes or the
  // code is over-subscribed.
  bool Read(TInflateBlockDecoder& d, unsigned n, unsigned root) {
    const unsigned runs = d.GetBits(8) + 1;
    std::array<uint8_t, 256> lens{};
    unsigned filled = 0;
    for (unsigned r = 0; r < runs; ++r) {
      const uint32_t b = d.GetBits(8);
      const unsigned count = (b >> 4) + 1, len = (b & 15) + 1;
      if (filled + count > n) return false;
      for (unsigned i = 0; i < count; ++i) lens[filled++] = static_cast<uint8_t>(len);
    }
    if (d.InputOverrun() || filled != n) return false;
    FCount.fill(0);
    for (unsigned i = 0; i < n; ++i) ++FCount[lens[i]];
    int left = 1;
    for (unsigned l = 1; l <= kMaxLen; ++l) {
      left = left * 2 - FCount[l];
      if (left < 0) return false;
    }
    std::array<uint16_t, kMaxLen + 2> offs{};
    for (unsigned l = 1; l <= kMaxLen; ++l) offs[l + 1] = static_cast<uint16_t>(offs[l] + FCount[l]);
    for (unsigned i = 0; i < n; ++i) FSym[offs[lens[i]]++] = static_cast<uint16_t>(i);
    BuildLookup(root);
    return true;
  }
  // The next symbol; -1 for a code that the tree does not hold. Codes of up to root bits come
  // from the lookup table, longer ones bit by bit.
  int Decode(TInflateBlockDecoder& d) const {
    d.NeedBits(FRoot);
    const uint16_t e = FLookup[d.PeekBits(FRoot)];
    if (e != 0) {
      d.DropBits(e & 31u);
      return e >> 5;
    }
    return DecodeSlow(d);
  }

private:
  // Table of the next root bits in stream order: entry = symbol << 5 | length, 0 = longer code.
  void BuildLookup(unsigned root) {
    FRoot = root;
    FLookup.assign(size_t{1} << root, 0);
    uint32_t code = 0;
    size_t index = 0;
    for (unsigned l = 1; l <= kMaxLen; ++l) {
      for (unsigned k = 0; k < FCount[l]; ++k, ++code, ++index) {
        if (l > root) continue;
        // The stream carries the inverted code, most significant bit first.
        uint32_t stream = 0;
        for (unsigned i = 0; i < l; ++i) stream |= (((code >> (l - 1 - i)) & 1u) ^ 1u) << i;
        const uint16_t entry = static_cast<uint16_t>(FSym[index] << 5 | l);
        for (uint32_t fill = stream; fill < FLookup.size(); fill += 1u << l) FLookup[fill] = entry;
      }
      code <<= 1;
    }
  }
  int DecodeSlow(TInflateBlockDecoder& d) const {
    int code = 0, first = 0, index = 0;
    for (unsigned l = 1; l <= kMaxLen; ++l) {
      code |= static_cast<int>(d.GetBits(1) ^ 1u);
      const int count = FCount[l];
      if (code - first < count) return FSym[static_cast<size_t>(index + code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return -1;
  }

  std::array<uint16_t, kMaxLen + 1> FCount{};
  std::array<uint16_t, 256> FSym{};
  std::vector<uint16_t> FLookup;
  unsigned FRoot = 1;
};
}  // namespace

TDecodeResult Explode(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info, uint16_t flags) {
  TInflateBlockDecoder d(host, archive, info, TInflateVariant::Deflate, 32768, /*zeroHistory=*/true);
  const bool litTree = (flags & 4) != 0;
  const unsigned lowBits = (flags & 2) ? 7 : 6;
  const uint32_t minMatch = litTree ? 3 : 2;
  SfTree lit, len, dist;
  // Lookup widths: 9 bits for literals, 7 for lengths, 7 for distances (8 for large entries).
  const unsigned distRoot = info.packedSize > 200000 ? 8 : 7;
  if (litTree && !lit.Read(d, 256, 9)) return TDecodeResult::BadBlock;
  if (!len.Read(d, 64, 7) || !dist.Read(d, 64, distRoot)) return TDecodeResult::BadBlock;
  uint32_t steps = 0;
  bool cancelled = false;
  while (d.Produced() < info.unpackedSize) {
    if ((++steps & 1023) == 0 && d.Cancelled()) {
      cancelled = true;
      break;
    }
    if (d.GetBits(1)) {
      const int c = litTree ? lit.Decode(d) : static_cast<int>(d.GetBits(8));
      if (c < 0 || d.InputOverrun()) return TDecodeResult::DataError;
      if (!d.PutByte(static_cast<uint8_t>(c))) return d.LastFlushResult();
    } else {
      const uint32_t low = d.GetBits(lowBits);
      const int hi = dist.Decode(d);
      int l = len.Decode(d);
      if (hi < 0 || l < 0) return TDecodeResult::DataError;
      if (l == 63) l += static_cast<int>(d.GetBits(8));
      if (d.InputOverrun()) return TDecodeResult::DataError;
      const uint32_t distance = ((static_cast<uint32_t>(hi) << lowBits) | low) + 1;
      if (!d.CopyFromWindow(distance, static_cast<uint32_t>(l) + minMatch)) {
        const TDecodeResult r = d.LastFlushResult();
        return r == TDecodeResult::Ok ? TDecodeResult::DataError : r;
      }
    }
  }
  if (cancelled) return TDecodeResult::Cancelled;
  const TDecodeResult f = d.Flush();
  if (f != TDecodeResult::Ok) return f;
  return d.Produced() == info.unpackedSize ? TDecodeResult::Ok : TDecodeResult::DataError;
}

}  // namespace arc
