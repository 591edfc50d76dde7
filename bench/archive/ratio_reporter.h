#pragma once
// Console reporter of the archive benchmarks that keeps the rate of every run by name (the median
// when runs are repeated) and prints, after the table, each arc rate divided by a library's rate
// on the same data: above 1 is faster than the library.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench_ratio {

struct Row {
  const char* what;
  const char* arc;    // run name of the arc benchmark
  const char* other;  // run name of the library's
  double goal;        // 0: none
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
  RatioReporter() : ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end() || r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Iteration || median) rates_[r.run_name.str()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // A heading and its rows; rows whose runs are missing (filtered out, skipped) are left out.
  template <size_t N>
  void Print(const char* heading, const Row (&rows)[N]) const {
    std::printf("\n%s\n", heading);
    for (const Row& row : rows) {
      auto a = rates_.find(row.arc), o = rates_.find(row.other);
      if (a == rates_.end() || o == rates_.end() || o->second <= 0) continue;
      const double ratio = a->second / o->second;
      std::printf("  %-42s %5.2f", row.what, ratio);
      if (row.goal > 0) std::printf("   goal %.2f%s", row.goal, ratio >= row.goal ? "" : "  (below the goal)");
      std::printf("\n");
    }
    std::fflush(stdout);
  }

private:
  std::map<std::string, double> rates_;
};

// The benchmark's main: runs the benchmarks with the reporter, then print(reporter).
template <typename PrintRatios>
int RunWithRatios(int argc, char** argv, PrintRatios print) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print(reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench_ratio
