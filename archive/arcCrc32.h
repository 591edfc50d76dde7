#pragma once
// CRC-32 (polynomial 0xEDB88320) of ZIP entries. The running value starts at 0xFFFFFFFF and the
// final CRC is its complement. Where the processor has a carry-less multiply, long buffers are
// folded 64 bytes at a time; everywhere else sixteen table lookups take sixteen bytes per step.
#include <cstddef>
#include <cstdint>

namespace arc {

// Feeds n bytes into a running (not yet complemented) CRC and returns the new running value.
uint32_t Crc32Update(uint32_t running, const void* data, size_t n);

// CRC-32 of a whole buffer (start 0xFFFFFFFF, complemented at the end).
inline uint32_t Crc32(const void* data, size_t n) { return ~Crc32Update(0xFFFFFFFFu, data, n); }

// The table-driven form alone (the fallback of Crc32Update); the same results.
uint32_t Crc32UpdateTable(uint32_t running, const void* data, size_t n);

// True when Crc32Update folds with the processor's carry-less multiply on this machine.
bool Crc32Folding();

// The byte-wise table (entry i = CRC of byte i), as the traditional cipher uses it.
const uint32_t* Crc32Table();

}  // namespace arc
