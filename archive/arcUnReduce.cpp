// Methods 2 to 5 (reducing): follower sets per preceding byte, then the expansion of DLE (144)
// sequences into copies from a 4,096-byte circular buffer.
#include <array>

#include "archive/arcGbls.h"
#include "archive/arcLegacy.h"
#include "archive/arcLegacyIo.h"

namespace arc {

namespace {
constexpr uint8_t kDle = 144;
constexpr unsigned kMaxFollowers = 32;

unsigned IndexBits(unsigned n) {
  return n <= 2 ? 1 : n <= 4 ? 2 : n <= 8 ? 3 : n <= 16 ? 4 : n <= 32 ? 5 : 6;
}
}  // namespace

ZipDecodeStatus Unreduce(ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked, int method) {
  if (method < 2 || method > 5) return ZipDecodeStatus::DataError;
  const uint32_t mask = 0xFFu >> (method - 1);  // 0x7F, 0x3F, 0x1F, 0x0F
  const unsigned shift = static_cast<unsigned>(9 - method);
  legacy::BitInput bits(in);
  legacy::ByteOutput put(out);
  auto bad = [&] {
    put.Flush();
    out.Report(E_BadBlock);
    return ZipDecodeStatus::DataError;
  };

  std::array<std::array<uint8_t, kMaxFollowers>, 256> followers{};
  std::array<uint8_t, 256> counts{};
  for (int b = 255; b >= 0; --b) {
    uint32_t n = 0;
    if (!bits.Get(6, n)) return ZipDecodeStatus::DataError;
    if (n > kMaxFollowers) return bad();  // a set holds at most 32 followers
    counts[static_cast<size_t>(b)] = static_cast<uint8_t>(n);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t f = 0;
      if (!bits.Get(8, f)) return ZipDecodeStatus::DataError;
      followers[static_cast<size_t>(b)][i] = static_cast<uint8_t>(f);
    }
  }

  std::array<uint8_t, 4096> ring{};
  uint32_t pos = 0;
  auto emit = [&](uint8_t b) {
    ring[pos] = b;
    pos = (pos + 1) & 4095u;
    return put.Put(b);
  };
  int state = 0;
  uint32_t v = 0, len = 0;
  uint8_t last = 0;
  uint32_t steps = 0;
  // The loop ends at the declared size: the padding bits of the last byte are no data.
  while (put.Produced() < unpacked) {
    if ((++steps & 4095) == 0 && out.Cancelled()) {
      put.Flush();
      return ZipDecodeStatus::Cancelled;
    }
    uint32_t x = 0;
    const unsigned n = counts[last];
    if (n == 0) {
      if (!bits.Get(8, x)) break;
    } else {
      uint32_t literal = 0;
      if (!bits.Get(1, literal)) break;
      if (literal) {
        if (!bits.Get(8, x)) break;
      } else {
        uint32_t idx = 0;
        if (!bits.Get(IndexBits(n), idx)) break;
        if (idx >= n) return bad();
        x = followers[last][idx];
      }
    }
    const uint8_t c = static_cast<uint8_t>(x);
    last = c;
    bool ok = true;
    switch (state) {
      case 0:
        if (c == kDle)
          state = 1;
        else
          ok = emit(c);
        break;
      case 1:
        if (c == 0) {
          ok = emit(kDle);
          state = 0;
        } else {
          v = c;
          len = v & mask;
          state = len == mask ? 2 : 3;
        }
        break;
      case 2:
        len += c;
        state = 3;
        break;
      default: {
        const uint32_t dist = ((v >> shift) << 8) + c + 1;
        uint32_t src = (pos - dist) & 4095u;
        for (uint32_t k = 0; k < len + 3 && ok; ++k) {
          ok = emit(ring[src]);
          src = (src + 1) & 4095u;
        }
        state = 0;
        break;
      }
    }
    if (!ok) return ZipDecodeStatus::OutputStopped;
  }
  if (!put.Flush()) return ZipDecodeStatus::OutputStopped;
  return put.Produced() == unpacked ? ZipDecodeStatus::Ok : ZipDecodeStatus::DataError;
}

}  // namespace arc
