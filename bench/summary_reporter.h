// A console reporter that also keeps each benchmark's time per iteration, so a
// program can print figures derived from several benchmarks of the same run
// (a ratio to memcpy, a tick's cost beside its fake serial line). With
// repetitions, the median of the repetitions is used.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "figures.h"

namespace wexlink::bench {

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  struct Result {
    double cpuNs = 0;   // CPU time per iteration
    double realNs = 0;  // wall time per iteration
    std::map<std::string, double> counters;
  };

  // Colours only on a terminal: the ConsoleReporter made here does not follow
  // --benchmark_color, and saved outputs are read by scripts.
  SummaryReporter()
      : benchmark::ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    benchmark::ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      Sample sample{run.GetAdjustedCPUTime() * toNs, run.GetAdjustedRealTime() * toNs, {}};
      for (const auto& [key, counter] : run.counters) sample.counters[key] = counter.value;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = sample;
      } else {
        samples_[name].push_back(sample);
      }
    }
  }

  // The benchmark's figures, or nullptr when it did not run.
  const Result* Find(const std::string& name) {
    if (auto it = medians_.find(name); it != medians_.end()) return &it->second;
    auto it = samples_.find(name);
    if (it == samples_.end() || it->second.empty()) return nullptr;
    auto& list = it->second;
    auto middle = [&](auto field) {
      std::vector<double> v;
      for (const auto& s : list) v.push_back(s.*field);
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
      return v[v.size() / 2];
    };
    Result& r = computed_[name];
    r.cpuNs = middle(&Sample::cpuNs);
    r.realNs = middle(&Sample::realNs);
    r.counters = list.back().counters;
    return &r;
  }

 private:
  using Sample = Result;
  std::map<std::string, std::vector<Sample>> samples_;
  std::map<std::string, Sample> medians_;
  std::map<std::string, Result> computed_;
};

}  // namespace wexlink::bench
