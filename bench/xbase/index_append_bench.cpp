// Cost of keeping index files in step while records are appended: 10,000 appends
// under a shared (and, for comparison, an exclusive) open to a table of 0 and of
// 100,000 records, with one NTX tag, one NDX tag, an MDX of 2 tags and a CDX of 2 tags;
// the cost per append and the ratio between the large and the empty table (goal: at
// most 2). Then the open of a CDX holding 1,000,000 keys against a plain
// read of its directory, tag headers and roots.
//
//   index_append_bench [appends] [base records] [open keys]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/xbase/name_amount_table.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

using namespace xb;

namespace {
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string folder() {
  static std::string dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("kesta_idx_append_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  return dir;
}

// A name that spreads the keys over the whole tree.
std::string nameOf(int64_t i) { return "N" + std::to_string((i * 7919) % 1000003); }

void writeTable(const std::string& path, int64_t n) { writeNameAmountTable(path, n, nameOf); }

enum Kind { Ntx, Ndx, Mdx, Cdx };
const char* kindName(Kind k) {
  switch (k) {
    case Ntx: return "NTX, 1 tag";
    case Ndx: return "NDX, 1 tag";
    case Mdx: return "MDX, 2 tags";
    default: return "CDX, 2 tags";
  }
}

// Builds the index of the kind over the table; returns the list to open.
std::string buildIndex(Kind k, const std::string& table) {
  XBO_dBHandler h(table, true, false, "");
  std::string base = table.substr(0, table.size() - 4);
  switch (k) {
    case Ntx: XBobjNTXFile::CreateFile(h, base + ".NTX", "NAME"); return base + ".NTX";
    case Ndx: XBobjNDXFile::CreateFile(h, base + ".NDX", "NAME"); return base + ".NDX";
    case Mdx: {
      auto f = XBobjMDXFile::CreateFile(h, base + ".MDX");
      f->TagCreate("NAME", "NAME");
      f->TagCreate("AMT", "AMT");
      return base + ".MDX";
    }
    case Cdx: {
      auto f = XBobjCDXFile::CreateFile(h, base + ".CDX");
      f->TagCreate("NAME", "NAME");
      f->TagCreate("AMT", "AMT");
      return base + ".CDX";
    }
  }
  return {};
}

// Seconds per append of `appends` records under a shared or an exclusive open.
double appendCost(Kind k, int64_t baseRecords, int64_t appends, bool shared) {
  std::string table = folder() + "T" + std::to_string(static_cast<int>(k)) + "_" + std::to_string(baseRecords) + ".DBF";
  writeTable(table, baseRecords);
  std::string index = buildIndex(k, table);
  XBO_dBHandler h(table, true, shared, "");
  h.OpenIndexes(index, "");
  h.SelectTag(h.TagByNumber(k == Ntx || k == Ndx ? 1 : 2)->TagName(), false);   // NTX, NDX: the file's own tag; MDX, CDX: NAME
  auto t0 = Clock::now();
  for (int64_t i = 0; i < appends; ++i) {
    h.BlankRecord();
    h.FieldPutByName("NAME", nameOf(baseRecords + i));
    h.NumberPutByName("AMT", static_cast<double>(i % 1999) - 999.25);
    h.Append();
  }
  if (!h.FindKey(nameOf(baseRecords + appends - 1))) std::fprintf(stderr, "the last appended key is missing\n");
  h.CloseIndexes();   // an exclusive open may write at the close: it counts
  return secondsSince(t0) / static_cast<double>(appends);
}

void openCost(int64_t keys) {
  std::string table = folder() + "BIG.DBF";
  writeTable(table, keys);
  buildIndex(Cdx, table);
  std::string cdx = folder() + "BIG.CDX";
  // The plain reads that an open cannot do without: the directory's header and root,
  // then each tag's header and root.
  auto rawRead = [&] {
    int fd = ::open(cdx.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t b[1024];
    auto get32 = [&](const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; };
    ssize_t n = ::pread(fd, b, 1024, 0);
    uint32_t dirRoot = get32(b);
    n += ::pread(fd, b, 512, dirRoot);
    int count = b[2] | (b[3] << 8);
    std::vector<uint32_t> headers;
    // The directory root is a leaf holding the tag names; its record numbers are the header offsets.
    uint32_t mask = get32(b + 14);
    int bpe = b[23];
    for (int i = 0; i < count; ++i) {
      uint32_t v = 0;
      for (int j = bpe - 1; j >= 0; --j) v = (v << 8) | b[24 + i * bpe + j];
      headers.push_back(v & mask);
    }
    for (uint32_t hp : headers) {
      n += ::pread(fd, b, 1024, hp);
      n += ::pread(fd, b, 512, get32(b));
    }
    ::close(fd);
    return n;
  };
  const int rounds = 50;
  double raw = 1e9, open = 1e9;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    volatile ssize_t n = rawRead();
    (void)n;
    raw = std::min(raw, secondsSince(t0));
  }
  XBO_dBHandler h(table, false, true, "");
  double file = 1e9;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    auto f = XBobjCDXFile::OpenFile(h, cdx);
    file = std::min(file, secondsSince(t0));
  }
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    h.OpenIndexes("BIG.CDX", "NAME");
    open = std::min(open, secondsSince(t0));
    h.CloseIndexes();
  }
  h.OpenIndexes("BIG.CDX", "NAME");
  auto t0 = Clock::now();
  bool found = h.FindKey(nameOf(keys / 2));
  double seek = secondsSince(t0);
  std::printf("\nopen of a CDX of 2 tags over %lld records (%lld keys per tag, file %.1f MB):\n",
              static_cast<long long>(keys), static_cast<long long>(keys),
              static_cast<double>(std::filesystem::file_size(cdx)) / 1e6);
  std::printf("  open of the index file             %9.1f us (best of %d)\n", file * 1e6, rounds);
  std::printf("  OpenIndexes + SelectTag (top)     %9.1f us (best of %d)\n", open * 1e6, rounds);
  std::printf("  plain read of headers and roots   %9.1f us (best of %d)\n", raw * 1e6, rounds);
  std::printf("  first FindKey after the open      %9.1f us (%s)\n", seek * 1e6, found ? "found" : "NOT FOUND");
}
}  // namespace

int main(int argc, char** argv) {
  int64_t appends = argc > 1 ? std::atoll(argv[1]) : 10000;
  int64_t base = argc > 2 ? std::atoll(argv[2]) : 100000;
  int64_t keys = argc > 3 ? std::atoll(argv[3]) : 1000000;
  std::printf("%lld appends, cost per append (goal: a ratio of at most 2)\n",
              static_cast<long long>(appends));
  std::string large = std::to_string(base) + " records";
  std::printf("%-13s %-10s %14s %17s %8s\n", "index", "open", "empty table", large.c_str(), "ratio");
  for (Kind k : {Ntx, Ndx, Mdx, Cdx})
    for (bool shared : {true, false}) {
      double empty = appendCost(k, 0, appends, shared);
      double full = appendCost(k, base, appends, shared);
      std::printf("%-13s %-10s %11.1f us %14.1f us %8.2f%s\n", kindName(k), shared ? "shared" : "exclusive",
                  empty * 1e6, full * 1e6, full / empty, full / empty > 2.0 ? "  (above the goal of 2)" : "");
      std::fflush(stdout);
    }
  if (keys > 0) openCost(keys);
  std::filesystem::remove_all(folder());
  return 0;
}
