#pragma once
// Console reporter of the archive benchmarks that keeps the rate of every run by name (the median
// when runs are repeated) and prints, after the table, each arc rate divided by a library's rate
// on the same data: above 1 is faster than the library. The benchmarks that feed the ratios are
// timed by the clock (UseRealTime), the arc one and the library's alike; a row whose runs were
// timed otherwise says so. Rows name runs without the time kind ("BM_ArcInflate/0").
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
      if (r.run_type != Run::RT_Iteration && !median) continue;
      std::string name = r.run_name.function_name;
      if (!r.run_name.args.empty()) name += "/" + r.run_name.args;
      rates_[name] = {it->second.value, r.run_name.time_type == "real_time"};
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // A heading and its rows; rows whose runs are missing (filtered out, skipped) are left out.
  template <size_t N>
  void Print(const char* heading, const Row (&rows)[N]) const {
    std::printf("\n%s\n", heading);
    for (const Row& row : rows) {
      auto a = rates_.find(row.arc), o = rates_.find(row.other);
      if (a == rates_.end() || o == rates_.end() || o->second.rate <= 0) continue;
      const double ratio = a->second.rate / o->second.rate;
      std::printf("  %-42s %5.2f", row.what, ratio);
      if (row.goal > 0) std::printf("   goal %.2f%s", row.goal, ratio >= row.goal ? "" : "  (below the goal)");
      if (!a->second.wall || !o->second.wall) std::printf("   (processor time)");
      std::printf("\n");
    }
    std::fflush(stdout);
  }

private:
  struct Rate {
    double rate;
    bool wall;  // timed by the clock
  };
  std::map<std::string, Rate> rates_;
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
