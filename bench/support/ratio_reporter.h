// Shared reporting for the benchmarks. Cases are named "<group>/<implementation>[/...]". Besides
// the usual console lines, the reporter prints per group each implementation's best throughput
// over the repetitions with the spread of all of them, and the subject's best throughput as a
// multiple of every peer's and of the fastest peer's, all measured in the same run.
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
  explicit RatioReporter(std::string subject = "velmora") : subject_(std::move(subject)) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("items_per_second");
      if (it == run.counters.end()) continue;
      const std::string name = run.run_name.function_name;
      const auto slash = name.find('/');
      if (slash == std::string::npos) continue;
      const std::string group = name.substr(0, slash);
      std::string impl = name.substr(slash + 1);
      impl = impl.substr(0, impl.find('/'));
      if (rates_.find(group) == rates_.end()) order_.push_back(group);
      rates_[group][impl].push_back(it->second.value / 1e6);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-26s %-18s %10s %21s %10s\n", "case", "implementation", "best M/s",
                "spread M/s", (subject_ + "/x").c_str());
    for (const std::string &group : order_) {
      auto &impls = rates_[group];
      const double ours = best(impls[subject_]);
      double fastest_peer = 0.0;
      for (const auto &[impl, rates] : impls) {
        const auto [lo, hi] = std::minmax_element(rates.begin(), rates.end());
        if (impl != subject_) fastest_peer = std::max(fastest_peer, *hi);
        std::printf("%-26s %-18s %10.4g %9.4g .. %9.4g %9.2fx\n", group.c_str(), impl.c_str(), *hi,
                    *lo, *hi, ours > 0 && *hi > 0 ? ours / *hi : 0.0);
      }
      if (impls.size() > 2 && fastest_peer > 0 && ours > 0) {
        std::printf("%-26s %-18s %10s %21s %9.2fx\n", group.c_str(), "fastest peer", "", "",
                    ours / fastest_peer);
      }
    }
  }

 private:
  static double best(const std::vector<double> &rates) {
    return rates.empty() ? 0.0 : *std::max_element(rates.begin(), rates.end());
  }

  std::string subject_;
  std::vector<std::string> order_;
  std::map<std::string, std::map<std::string, std::vector<double>>> rates_;
};

// Registers one comparison case in milliseconds, with a minimum time per repetition and a number
// of repetitions (run interleaved by run_with_ratios).
template <typename Fn, typename... Args>
benchmark::internal::Benchmark *register_case(const std::string &name, double min_seconds,
                                              int repetitions, Fn fn, Args... args) {
  return benchmark::RegisterBenchmark(name.c_str(), fn, args...)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(min_seconds)
      ->Repetitions(repetitions);
}

// Runs the registered benchmarks with the shared reporter. Repetitions of all cases run in random
// order unless the command line says otherwise, so a burst of other work on a shared machine does
// not fall on one implementation alone.
inline int run_with_ratios(int argc, char **argv, const std::string &subject = "velmora") {
  std::vector<char *> args(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter(subject);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace velmora::bench

#endif
