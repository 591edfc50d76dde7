// Speed of the expression language: parsing a typical filter, evaluating a filter
// and an index key on every record of a 20,000-record table, and the same filter
// as the dataset applies it (the whole table evaluated into the filter set).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "xbase/XBaseDB.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_sql.h"

using namespace xb;

namespace {
constexpr int kRecords = 20000;

std::string field(std::string s, size_t n, bool right = false) {
  if (s.size() > n) s.resize(n);
  return right ? std::string(n - s.size(), ' ') + s : s + std::string(n - s.size(), ' ');
}

// NAME C 30, AGE N 3, BDATE D 8, SUM N 10.2, ACTIVE L 1.
const std::string& tablePath() {
  static std::string path = [] {
    std::string dir = std::filesystem::temp_directory_path().string() + "/kesta_expr_bench_" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::string p = dir + "/people.dbf";
    struct F { const char* n; char t; int len, dec; } fs[] = {
        {"NAME", 'C', 30, 0}, {"AGE", 'N', 3, 0}, {"BDATE", 'D', 8, 0}, {"SUM", 'N', 10, 2}, {"ACTIVE", 'L', 1, 0}};
    int recLen = 1;
    for (auto& f : fs) recLen += f.len;
    std::string h(32, '\0');
    h[0] = 0x03;
    h[1] = 126; h[2] = 1; h[3] = 1;
    auto le = [&](size_t at, uint32_t v, int n) { for (int i = 0; i < n; ++i) h[at + i] = static_cast<char>(v >> (8 * i)); };
    le(4, kRecords, 4);
    le(8, 32 + 32 * 5 + 1, 2);
    le(10, static_cast<uint32_t>(recLen), 2);
    for (auto& f : fs) {
      std::string d(32, '\0');
      std::memcpy(d.data(), f.n, std::strlen(f.n));
      d[11] = f.t;
      d[16] = static_cast<char>(f.len);
      d[17] = static_cast<char>(f.dec);
      h += d;
    }
    h += '\r';
    const char* names[] = {"PETROV IVAN", "IVANOVA MARIA", "SIDOROV PETR", "KUZNETSOVA ANNA", "SMIRNOV OLEG"};
    for (int i = 0; i < kRecords; ++i) {
      h += ' ';
      h += field(std::string(names[i % 5]) + " " + std::to_string(i), 30);
      h += field(std::to_string(i % 90), 3, true);
      char date[9];
      std::snprintf(date, sizeof date, "%04d%02d%02d", 1940 + i % 70, 1 + i % 12, 1 + i % 28);
      h += date;
      h += field(std::to_string(i % 1000) + ".25", 10, true);
      h += (i % 3) ? "T" : "F";
    }
    h += '\x1a';
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(h.data(), 1, h.size(), f);
    std::fclose(f);
    return p;
  }();
  return path;
}

const char* kFilter = "UPPER(NAME) = 'IVAN*' .AND. AGE >= 18 .AND. DTOS(BDATE) < '19900101' .OR. .NOT. ACTIVE";

void BM_ParseFilter(benchmark::State& state) {
  XBO_dBHandler h(tablePath(), false, true, "");
  for (auto _ : state) {
    TxbExpHandler e(h, kFilter);
    benchmark::DoNotOptimize(e.HasTree());
  }
}
BENCHMARK(BM_ParseFilter);

void BM_EvaluateFilterPerRecord(benchmark::State& state) {
  XBO_dBHandler h(tablePath(), false, true, "");
  TxbExpHandler e(h, kFilter);
  TxbExpValue v;
  int type = 0;
  for (auto _ : state) {
    int hits = 0;
    for (int r = 1; r <= kRecords; ++r) {
      h.GoTo(r);
      e.Evaluate(v, type);
      hits += v.bln;
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_EvaluateFilterPerRecord)->Unit(benchmark::kMillisecond);

void BM_EvaluateIndexKey(benchmark::State& state) {
  XBO_dBHandler h(tablePath(), false, true, "");
  TxbExpHandler e(h, "UPPER(NAME) + STR(AGE, 3) + DTOS(BDATE)");
  TxbVariant key;
  for (auto _ : state) {
    for (int r = 1; r <= kRecords; ++r) {
      h.GoTo(r);
      e.EvaluateKey(key);
    }
    benchmark::DoNotOptimize(key.Length());
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_EvaluateIndexKey)->Unit(benchmark::kMillisecond);

void BM_HandlerFilterSet(benchmark::State& state) {
  XBO_dBHandler::FilterCompiler() = xbCompileFilter;
  XBO_dBHandler h(tablePath(), false, true, "");
  h.EnableFilter(true);
  bool flip = false;
  for (auto _ : state) {
    // A changed option makes the handler compile and evaluate the whole table again.
    h.SetFilter(kFilter, flip, true);
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_HandlerFilterSet)->Unit(benchmark::kMillisecond);
}  // namespace


