#pragma once
// The small table the index fuzz target opens its index file over, shared with the
// seed maker so that the seeds index exactly these records.
#include <cstdint>
#include <cstring>
#include <string>

namespace xbfuzz {

// NAME C10, AMT N8.2, BD D8 with four records.
inline const std::string& IndexTableBytes() {
  static const std::string bytes = [] {
    std::string h(32 + 3 * 32 + 1, '\0');
    h[0] = 3;
    const char* recs[] = {"SMITH        12.5019800101", "JONES       -12.75        ", "ADAMS         0.0020240229",
                          "AB            3.2519700101"};
    uint32_t n = 4;
    std::memcpy(&h[4], &n, 4);
    uint16_t hl = static_cast<uint16_t>(h.size()), rl = 27;
    std::memcpy(&h[8], &hl, 2);
    std::memcpy(&h[10], &rl, 2);
    const char* names[] = {"NAME", "AMT", "BD"};
    const char types[] = {'C', 'N', 'D'};
    const int lens[] = {10, 8, 8}, decs[] = {0, 2, 0};
    for (int i = 0; i < 3; ++i) {
      size_t at = 32 + 32 * static_cast<size_t>(i);
      std::memcpy(&h[at], names[i], std::strlen(names[i]));
      h[at + 11] = types[i];
      h[at + 16] = static_cast<char>(lens[i]);
      h[at + 17] = static_cast<char>(decs[i]);
    }
    h.back() = 0x0D;
    for (const char* r : recs) h += std::string(" ") + r;
    h += '\x1A';
    return h;
  }();
  return bytes;
}

// The index kinds in the order of the target's first input byte.
inline constexpr const char* IndexFileNames[] = {"I.NTX", "I.NDX", "I.CDX", "I.MDX"};

}  // namespace xbfuzz
