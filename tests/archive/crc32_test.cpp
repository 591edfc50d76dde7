// The CRC-32 of ZIP entries against zlib's crc32: both forms (folding where the processor has a
// carry-less multiply, and the tables), every length near the block sizes, every alignment,
// any running value, and data fed in pieces.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "archive/arcCrc32.h"

using namespace arc;

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(g());
  return b;
}

// zlib takes and gives the complemented value; the running value here is not complemented.
uint32_t Zlib(uint32_t running, const uint8_t* p, size_t n) {
  return ~static_cast<uint32_t>(crc32(~running, p, static_cast<uInt>(n)));
}
}  // namespace

TEST(Crc32, EveryLengthAndAlignmentAgreesWithZlib) {
  const Bytes data = Random(4096 + 16, 1);
  std::mt19937 g(2);
  for (size_t n = 0; n <= 1100; ++n) {
    for (size_t align = 0; align < 16; align += (n < 300 ? 1 : 5)) {
      const uint32_t running = n % 3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(g());
      const uint8_t* p = data.data() + align;
      const uint32_t want = Zlib(running, p, n);
      ASSERT_EQ(Crc32Update(running, p, n), want) << n << " at " << align;
      ASSERT_EQ(Crc32UpdateTable(running, p, n), want) << n << " at " << align;
    }
  }
}

TEST(Crc32, LargeBuffersAndPieces) {
  const Bytes data = Random(3 << 20, 3);
  const uint32_t whole = Zlib(0xFFFFFFFFu, data.data(), data.size());
  EXPECT_EQ(Crc32Update(0xFFFFFFFFu, data.data(), data.size()), whole);
  EXPECT_EQ(Crc32UpdateTable(0xFFFFFFFFu, data.data(), data.size()), whole);
  EXPECT_EQ(Crc32(data.data(), data.size()),
            static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  // The same value whatever the pieces.
  for (size_t piece : {size_t{1}, size_t{15}, size_t{64}, size_t{65}, size_t{4095}, size_t{32768}, size_t{100003}}) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < data.size(); i += piece)
      c = Crc32Update(c, data.data() + i, std::min(piece, data.size() - i));
    EXPECT_EQ(c, whole) << piece;
  }
  // Runs of one value (the cases a table slip or a fold slip would show).
  for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
    const Bytes run(70000, v);
    EXPECT_EQ(Crc32Update(0, run.data(), run.size()), Zlib(0, run.data(), run.size())) << int(v);
  }
}

TEST(Crc32, TheTableIsTheByteTable) {
  const uint32_t* t = Crc32Table();
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t b = static_cast<uint8_t>(i);
    EXPECT_EQ(t[i], Crc32UpdateTable(0, &b, 1)) << i;
  }
  EXPECT_EQ(t[1], 0x77073096u);
  EXPECT_EQ(t[255], 0x2D02EF8Du);
  // Folding is chosen where the processor offers it; the result is the same either way.
  const Bytes d = Random(1000, 4);
  EXPECT_EQ(Crc32Update(0xFFFFFFFFu, d.data(), d.size()), Crc32UpdateTable(0xFFFFFFFFu, d.data(), d.size()))
      << "folding " << Crc32Folding();
}
