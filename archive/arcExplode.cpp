// Method 6 (imploding): Shannon-Fano coded lengths, distances and (with three trees) literals
// over a sliding dictionary of 4 or 8 KB.
#include <array>

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
  bool Read(TInflateBlockDecoder& d, unsigned n) {
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
    return true;
  }
  // The next symbol; -1 for a code that the tree does not hold.
  int Decode(TInflateBlockDecoder& d) const {
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

private:
  std::array<uint16_t, kMaxLen + 1> FCount{};
  std::array<uint16_t, 256> FSym{};
};
}  // namespace

TDecodeResult Explode(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info, uint16_t flags) {
  TInflateBlockDecoder d(host, archive, info, TInflateVariant::Deflate, 32768, /*zeroHistory=*/true);
  const bool litTree = (flags & 4) != 0;
  const unsigned lowBits = (flags & 2) ? 7 : 6;
  const uint32_t minMatch = litTree ? 3 : 2;
  SfTree lit, len, dist;
  if (litTree && !lit.Read(d, 256)) return TDecodeResult::BadBlock;
  if (!len.Read(d, 64) || !dist.Read(d, 64)) return TDecodeResult::BadBlock;
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
