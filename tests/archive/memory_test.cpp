// Memory on large inputs that are no archives: a 400 MB file of zeros behind a ZIP-like head is
// detected, listed and "extracted" in a child process whose peak resident size is measured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "archive/arcUnZip.h"
#include "support/PeakMemory.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

constexpr uint64_t kSize = 400ull << 20;

// A sparse file: zeros, except for the head and the tail given.
class SparseSource : public ByteSource {
public:
  SparseSource(Bytes head, Bytes tail) : head_(std::move(head)), tail_(std::move(tail)) {}
  uint64_t size() const override { return kSize; }
  size_t readAt(uint64_t pos, void* buf, size_t n) override {
    if (pos >= kSize) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, kSize - pos));
    auto* p = static_cast<uint8_t*>(buf);
    std::memset(p, 0, n);
    // the parts of the head and of the tail that fall into [pos, pos + n)
    auto overlay = [&](const Bytes& part, uint64_t at) {
      const uint64_t from = std::max(pos, at), to = std::min<uint64_t>(pos + n, at + part.size());
      for (uint64_t q = from; q < to; ++q) p[q - pos] = part[q - at];
    };
    overlay(head_, 0);
    overlay(tail_, kSize - tail_.size());
    bytesRead += n;
    return n;
  }

private:
  Bytes head_, tail_;
};

class SparseFs : public MemoryFileSystem {
public:
  SparseFs(Bytes head, Bytes tail) : head_(std::move(head)), tail_(std::move(tail)) {
    addFile("/in/big.zip", {});
  }
  std::unique_ptr<ByteSource> openRead(const std::string& path) override {
    if (path != "/in/big.zip") return MemoryFileSystem::openRead(path);
    return std::make_unique<SparseSource>(head_, tail_);
  }

private:
  Bytes head_, tail_;
};

// Runs the component over the sparse file in a child; returns the growth of its peak resident
// size in KiB (or -1 when the child failed).
long PeakGrowthKb(const Bytes& head, const Bytes& tail) {
  return testsupport::ChildPeakRssGrowthKb([&] {
    SparseFs fs(head, tail);
    Services s = Services::posix();
    s.fs = &fs;
    TUnZip z(s);
    z.SetArchiveFile("/in/big.zip");
    z.SetExtractDir("/out");
    z.FileSpec = {"*.*"};
    z.Extract();
    z.List();
  });
}

}  // namespace

TEST(BoundedMemory, LargeSparseNonArchivesAreNotReadIntoMemory) {
  // An end record at the end that claims a directory of nearly the whole file from offset 0.
  Bytes end;
  Put32(end, 0x06054B50);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, 0xFFFF);
  Put16(end, 0xFFFF);
  Put32(end, static_cast<uint32_t>(kSize - 22));
  Put32(end, 0);
  Put16(end, 0);
  const Bytes central = {'P', 'K', 1, 2};
  struct Case {
    const char* name;
    Bytes head, tail;
  } cases[] = {{"local-header head, no end record", {'P', 'K', 0, 0}, {}},
               {"directory head, no end record", central, {}},
               {"end record claiming the whole file", central, end}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const long kb = PeakGrowthKb(c.head, c.tail);
    ASSERT_GE(kb, 0) << "child failed";
    EXPECT_LT(kb, 64 * 1024) << "peak resident size grew by " << kb << " KiB";
  }
}
