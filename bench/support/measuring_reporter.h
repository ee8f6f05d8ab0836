// Every benchmark compares a path with its ceiling measured in the same run. This reporter prints
// the usual table, keeps each benchmark's real time per iteration and item rate (the median when
// repetitions are asked for), and hands them to the benchmark's own summary of ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

class MeasuringReporter : public benchmark::ConsoleReporter {
 public:
  // By function name ("BM_SerialQueueAsyncDrain"); 0 when the benchmark did not run.
  double time(const std::string& name) const { return find(times_, name); }
  double rate(const std::string& name) const { return find(rates_, name); }

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!median && (run.run_type == Run::RT_Aggregate || run.iterations == 0)) continue;
      const std::string& name = run.run_name.function_name;
      // A median replaces the single runs it summarises.
      if (!median && medians_.count(name)) continue;
      if (median) medians_[name] = true;
      times_[name] = run.GetAdjustedRealTime();
      if (auto it = run.counters.find("items_per_second"); it != run.counters.end()) rates_[name] = it->second.value;
    }
  }

 private:
  static double find(const std::map<std::string, double>& values, const std::string& name) {
    auto it = values.find(name);
    return it == values.end() ? 0 : it->second;
  }
  std::map<std::string, double> times_;
  std::map<std::string, double> rates_;
  std::map<std::string, bool> medians_;
};

// The main of a benchmark executable: runs what the command line selects, then the summary.
inline int runBenchmarks(int argc, char** argv, const std::function<void(const MeasuringReporter&)>& summary) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MeasuringReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  summary(reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
