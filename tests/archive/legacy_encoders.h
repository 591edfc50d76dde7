#pragma once
// Test-side encoders of the old ZIP methods (no tool on the system writes them any more).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ziptest {

using Bytes = std::vector<uint8_t>;

struct ShrinkOptions {
  int clearEvery = 0;          // partial clear after every n codes (0 = never by count)
  bool clearWhenFull = true;   // partial clear once every code is in use
};
struct ShrinkStats {
  int clears = 0, kwkwk = 0;
};
Bytes Shrink(const Bytes& data, const ShrinkOptions& opt = {}, ShrinkStats* stats = nullptr);

// followers[b]: the follower set of byte b (at most 63 bytes are written; the decoder takes 32).
Bytes Reduce(const Bytes& data, int method, const std::vector<Bytes>& followers);

// Returns the packed data; flags receives the general-purpose flags to store with it.
Bytes Implode(const Bytes& data, bool bigDict, bool litTree, uint16_t& flags, size_t zeroRefLen = 0);

class BitWriter {
public:
  void Put(uint32_t v, unsigned n);      // least significant bit first
  void PutRev(uint32_t code, unsigned n);  // most significant bit of the n-bit code first
  Bytes Finish();

private:
  Bytes out_;
  uint32_t acc_ = 0;
  unsigned count_ = 0;
};

}  // namespace ziptest
