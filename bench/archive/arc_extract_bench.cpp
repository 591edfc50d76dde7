// Extraction speed: one large stored entry to disk, many small stored files, and the listing
// pass over a directory of 100 000 entries (in memory).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/arcCrc32.h"
#include "archive/arcUnZip.h"

namespace {
using Bytes = std::vector<uint8_t>;
void P16(Bytes& b, uint16_t v) {
  b.push_back(v & 0xFF);
  b.push_back(v >> 8);
}
void P32(Bytes& b, uint32_t v) {
  P16(b, v & 0xFFFF);
  P16(b, v >> 16);
}

// Stored entries only; enough for the benchmarks.
Bytes StoredZip(const std::vector<std::pair<std::string, Bytes>>& files) {
  Bytes out, cd;
  for (const auto& [name, data] : files) {
    uint32_t crc = arc::Crc32(data.data(), data.size());
    uint32_t off = static_cast<uint32_t>(out.size());
    P32(out, 0x04034B50); P16(out, 20); P16(out, 0); P16(out, 0); P32(out, 0x58210000); P32(out, crc);
    P32(out, static_cast<uint32_t>(data.size())); P32(out, static_cast<uint32_t>(data.size()));
    P16(out, static_cast<uint16_t>(name.size())); P16(out, 0);
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), data.begin(), data.end());
    P32(cd, 0x02014B50); P16(cd, 20); P16(cd, 20); P16(cd, 0); P16(cd, 0); P32(cd, 0x58210000); P32(cd, crc);
    P32(cd, static_cast<uint32_t>(data.size())); P32(cd, static_cast<uint32_t>(data.size()));
    P16(cd, static_cast<uint16_t>(name.size())); P16(cd, 0); P16(cd, 0); P16(cd, 0); P16(cd, 0); P32(cd, 0x20);
    P32(cd, off);
    cd.insert(cd.end(), name.begin(), name.end());
  }
  uint32_t cdOff = static_cast<uint32_t>(out.size());
  out.insert(out.end(), cd.begin(), cd.end());
  P32(out, 0x06054B50); P16(out, 0); P16(out, 0);
  P16(out, static_cast<uint16_t>(std::min<size_t>(files.size(), 0xFFFF)));
  P16(out, static_cast<uint16_t>(std::min<size_t>(files.size(), 0xFFFF)));
  P32(out, static_cast<uint32_t>(cd.size())); P32(out, cdOff); P16(out, 0);
  return out;
}

std::string BenchDir() {
  std::string d = std::filesystem::temp_directory_path().string() + "/kesta_arc_bench/";
  std::filesystem::create_directories(d);
  return d;
}

void WriteAll(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void BM_ExtractLargeStored(benchmark::State& st) {
  const size_t size = static_cast<size_t>(st.range(0)) << 20;
  Bytes data(size);
  uint32_t x = 1;
  for (auto& c : data) c = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 8);
  std::string dir = BenchDir();
  WriteAll(dir + "large.zip", StoredZip({{"large.bin", data}}));
  for (auto _ : st) {
    arc::TUnZip z;
    z.SetArchiveFile(dir + "large.zip");
    z.SetExtractDir(dir + "out");
    z.FileSpec = {"*.*"};
    if (z.Extract() != 1) st.SkipWithError("extraction failed");
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * size));
}
BENCHMARK(BM_ExtractLargeStored)->Arg(200)->Unit(benchmark::kMillisecond);

void BM_ExtractSmallFiles(benchmark::State& st) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (int i = 0; i < 10000; ++i)
    files.push_back({"d" + std::to_string(i % 50) + "/f" + std::to_string(i) + ".xml", Bytes(200, 'x')});
  std::string dir = BenchDir();
  WriteAll(dir + "small.zip", StoredZip(files));
  for (auto _ : st) {
    arc::TUnZip z;
    z.SetArchiveFile(dir + "small.zip");
    z.SetExtractDir(dir + "small");
    z.FileSpec = {"*.xml"};
    if (z.Extract() != 10000) st.SkipWithError("extraction failed");
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * 10000));
}
BENCHMARK(BM_ExtractSmallFiles)->Unit(benchmark::kMillisecond);

void BM_List100k(benchmark::State& st) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (int i = 0; i < 100000; ++i) files.push_back({"dir/entry" + std::to_string(i) + ".xml", {}});
  arc::MemoryFileSystem fs;
  fs.addFile("/a.zip", StoredZip(files));
  arc::Services s = arc::Services::posix();
  s.fs = &fs;
  for (auto _ : st) {
    arc::TUnZip z(s);
    z.SetArchiveFile("/a.zip");
    z.SetExtractDir("/out");
    z.FileSpec = {"*.xml"};
    benchmark::DoNotOptimize(z.List());
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * 100000));
}
BENCHMARK(BM_List100k)->Unit(benchmark::kMillisecond);
}  // namespace
