// Speed of the index files on a table of 200,000 records: the bulk build of an
// NTX, an NDX and a CDX tag, seeks through the handler, the walk in key order,
// and an append that brings a CDX tag up to date.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/xbase/name_amount_table.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

using namespace xb;

namespace {
constexpr int kRecords = 200000;

std::string folder() {
  static std::string dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("kesta_idx_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  return dir;
}

std::string nameOf(int i) { return "N" + std::to_string((static_cast<int64_t>(i) * 7919) % kRecords); }

const std::string& table() {
  static std::string path = [] {
    std::string p = folder() + "IDX.DBF";
    writeNameAmountTable(p, kRecords, [](int64_t i) { return nameOf(static_cast<int>(i)); });
    return p;
  }();
  return path;
}

void BM_BuildNtx(benchmark::State& st) {
  XBO_dBHandler h(table(), true, false, "");
  for (auto _ : st) XBobjNTXFile::CreateFile(h, folder() + "NAME.NTX", "NAME");
  st.counters["keys/s"] = benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(st.iterations()),
                                             benchmark::Counter::kIsRate);
}
void BM_BuildNdx(benchmark::State& st) {
  XBO_dBHandler h(table(), true, false, "");
  for (auto _ : st) XBobjNDXFile::CreateFile(h, folder() + "NAME.NDX", "NAME");
  st.counters["keys/s"] = benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(st.iterations()),
                                             benchmark::Counter::kIsRate);
}
void BM_BuildCdx(benchmark::State& st) {
  XBO_dBHandler h(table(), true, false, "");
  for (auto _ : st) {
    auto f = XBobjCDXFile::CreateFile(h, folder() + "IDX.CDX");
    f->TagCreate("NAME", "NAME");
    f->TagCreate("AMT", "AMT");
  }
  st.counters["keys/s"] = benchmark::Counter(2.0 * kRecords * static_cast<double>(st.iterations()),
                                             benchmark::Counter::kIsRate);
}

void seek(benchmark::State& st, const char* file) {
  XBO_dBHandler h(table(), false, true, "");
  h.OpenIndexes(file, "NAME");
  int i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(h.FindKey(nameOf(i)));
    i = (i + 104729) % kRecords;
  }
  st.counters["seeks/s"] = benchmark::Counter(static_cast<double>(st.iterations()), benchmark::Counter::kIsRate);
}
void BM_SeekNtx(benchmark::State& st) { seek(st, "NAME.NTX"); }
void BM_SeekCdx(benchmark::State& st) { seek(st, "IDX.CDX"); }

void BM_OpenAndWalkCdx(benchmark::State& st) {
  for (auto _ : st) {
    XBO_dBHandler h(table(), false, true, "");
    h.OpenIndexes("IDX.CDX", "NAME");
    int64_t n = 0;
    for (h.GoTo(-3); !h.Eof; h.GoTo(-1)) ++n;
    benchmark::DoNotOptimize(n);
  }
  st.counters["records/s"] = benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(st.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_EditUnderCdx(benchmark::State& st) {
  XBO_dBHandler h(table(), true, false, "");
  h.OpenIndexes("IDX.CDX", "NAME");
  int i = 1;
  for (auto _ : st) {
    h.GoTo(i);
    h.FieldPutByName("NAME", nameOf(i * 3));
    h.PutRecord(i);
    i = i % 1000 + 1;
  }
}
}  // namespace

BENCHMARK(BM_BuildNtx)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_BuildNdx)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_BuildCdx)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SeekNtx);
BENCHMARK(BM_SeekCdx);
BENCHMARK(BM_OpenAndWalkCdx)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_EditUnderCdx)->Unit(benchmark::kMillisecond)->Iterations(20);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(folder());
  return 0;
}
