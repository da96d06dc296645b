// A console reporter that also keeps the fastest wall and CPU time per iteration of every
// benchmark, for the ratio tables the benchmarks print at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

class FastestRunReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      Times& times = fastest[run.run_name.function_name];
      times.real = std::min(times.real, run.GetAdjustedRealTime());
      times.cpu = std::min(times.cpu, run.GetAdjustedCPUTime());
    }
  }

  std::map<std::string, Times> fastest;
};
