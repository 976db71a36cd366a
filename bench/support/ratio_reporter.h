// A console reporter that also prints, at the end of the run, the throughput of each case as a
// ratio against its peer baseline measured in the same run. Cases are named
// "<group>/<implementation>[/...]"; ratios are taken against the implementation named as
// baseline, per group.
#ifndef VELMORA_BENCH_RATIO_REPORTER_H
#define VELMORA_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace velmora::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::string baseline) : baseline_(std::move(baseline)) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("items_per_second");
      if (it == run.counters.end()) continue;
      const std::string name = run.benchmark_name();
      const auto slash = name.find('/');
      if (slash == std::string::npos) continue;
      const std::string group = name.substr(0, slash);
      std::string impl = name.substr(slash + 1);
      impl = impl.substr(0, impl.find('/'));
      rates_[group][impl] = it->second.value;
      if (std::find(order_.begin(), order_.end(), group) == order_.end()) order_.push_back(group);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-34s %-22s %14s %10s\n", "case", "implementation", "Mpoints/s",
                ("vs " + baseline_).c_str());
    for (const std::string &group : order_) {
      const auto &impls = rates_[group];
      const auto base = impls.find(baseline_);
      for (const auto &[impl, rate] : impls) {
        if (base != impls.end() && base->second > 0) {
          std::printf("%-34s %-22s %14.1f %9.2fx\n", group.c_str(), impl.c_str(), rate / 1e6,
                      rate / base->second);
        } else {
          std::printf("%-34s %-22s %14.1f %10s\n", group.c_str(), impl.c_str(), rate / 1e6, "-");
        }
      }
    }
  }

 private:
  std::string baseline_;
  std::vector<std::string> order_;
  std::map<std::string, std::map<std::string, double>> rates_;
};

}  // namespace velmora::bench

#endif
