// Method 1 (shrinking): LZW with codes of 9 to 13 bits, the escape code 256 followed by 1 (one
// more bit of width) or 2 (partial clear: every entry that is no string's prefix is freed).
#include <vector>

#include "archive/arcGbls.h"
#include "archive/arcLegacy.h"
#include "archive/arcLegacyIo.h"

namespace arc {

namespace {
constexpr int kCodes = 8192;
constexpr int kFirstFree = 257;
constexpr int kMaxWidth = 13;

struct ShrinkTables {
  std::vector<int32_t> parent = std::vector<int32_t>(kCodes, -1);  // -1 = free (codes from 257)
  std::vector<uint8_t> ch = std::vector<uint8_t>(kCodes, 0);
  std::vector<uint16_t> kids = std::vector<uint16_t>(kCodes, 0);
  std::vector<uint16_t> freeList;  // ascending
  size_t freeNext = 0;
  size_t inUse = 0;     // built entries (codes from 257)
  bool settled = false;  // the last clear freed nothing and nothing was built since
  std::vector<uint8_t> stack = std::vector<uint8_t>(kCodes);

  ShrinkTables() {
    for (int c = 0; c < 256; ++c) ch[static_cast<size_t>(c)] = static_cast<uint8_t>(c);
    for (int c = kFirstFree; c < kCodes; ++c) freeList.push_back(static_cast<uint16_t>(c));
  }
  bool Free(int c) const { return c >= kFirstFree && parent[static_cast<size_t>(c)] < 0; }
  // Frees the entries that were leaves when the clear began (an entry whose last child goes in
  // the same clear stays: it still is the prefix of what the encoder keeps).
  void PartialClear() {
    if (inUse == 0 || settled) return;  // nothing to free: a run of clears costs no table scans
    std::vector<uint16_t> leaves;
    for (int c = kFirstFree; c < kCodes; ++c)
      if (!Free(c) && kids[static_cast<size_t>(c)] == 0) leaves.push_back(static_cast<uint16_t>(c));
    for (uint16_t c : leaves) {
      const int32_t p = parent[c];
      if (p >= 0 && kids[static_cast<size_t>(p)] > 0) --kids[static_cast<size_t>(p)];
      parent[c] = -1;
      ch[c] = 0;
      kids[c] = 0;
    }
    inUse -= leaves.size();
    settled = leaves.empty();
    freeList.clear();
    for (int c = kFirstFree; c < kCodes; ++c)
      if (Free(c)) freeList.push_back(static_cast<uint16_t>(c));
    freeNext = 0;
  }
};
}  // namespace

ZipDecodeStatus Unshrink(ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked) {
  legacy::BitInput bits(in);
  legacy::ByteOutput put(out);
  ShrinkTables t;
  auto bad = [&](int32_t code) {
    put.Flush();
    out.Report(code);
    return ZipDecodeStatus::DataError;
  };
  unsigned width = 9;
  uint32_t code = 0;
  if (!bits.Get(width, code) || code > 255) return bad(E_BadBlock);
  int prev = static_cast<int>(code);
  uint8_t first = static_cast<uint8_t>(code);
  if (!put.Put(first)) return ZipDecodeStatus::OutputStopped;
  uint32_t steps = 0;
  while (bits.Get(width, code)) {
    if ((++steps & 4095) == 0 && out.Cancelled()) {
      put.Flush();
      return ZipDecodeStatus::Cancelled;
    }
    if (code == 256) {
      uint32_t sub = 0;
      if (!bits.Get(width, sub)) break;
      if (sub == 1) {
        if (++width > kMaxWidth) return bad(E_BadBlock);
      } else if (sub == 2) {
        t.PartialClear();
      } else {
        return bad(E_BadBlock);
      }
      continue;
    }
    if (code >= kCodes) return bad(E_BadBlock);
    size_t depth = 0;
    int c = static_cast<int>(code);
    if (t.Free(c)) {  // the code being defined by this very step: previous string + its first byte
      t.stack[depth++] = first;
      c = prev;
    }
    while (c >= kFirstFree) {
      if (t.Free(c)) return bad(E_BadBlock);  // a chain through a freed entry
      if (depth == t.stack.size()) return bad(E_StackOverflow);
      t.stack[depth++] = t.ch[static_cast<size_t>(c)];
      c = t.parent[static_cast<size_t>(c)];
    }
    if (c == 256) return bad(E_BadBlock);
    const uint8_t root = static_cast<uint8_t>(c);
    if (!put.Put(root)) return ZipDecodeStatus::OutputStopped;
    while (depth > 0)
      if (!put.Put(t.stack[--depth])) return ZipDecodeStatus::OutputStopped;
    if (t.freeNext < t.freeList.size()) {
      const uint16_t nc = t.freeList[t.freeNext++];
      t.parent[nc] = prev;
      t.ch[nc] = root;
      ++t.kids[static_cast<size_t>(prev)];
      ++t.inUse;
      t.settled = false;
    }
    prev = static_cast<int>(code);
    first = root;
  }
  if (!put.Flush()) return ZipDecodeStatus::OutputStopped;
  // The codes ran out: the data is whole only when it gave exactly the declared size.
  return put.Produced() == unpacked ? ZipDecodeStatus::Ok : ZipDecodeStatus::DataError;
}

}  // namespace arc
