// Shared reporting for the benchmarks. Cases are named "<group>/<implementation>[/...]" and set
// items_per_second (state.SetItemsProcessed). Besides the usual console lines, the reporter prints
// per group each implementation's best throughput over the repetitions with the spread of all of
// them, and our best throughput as a multiple of every peer's and of the fastest peer's, all
// measured in the same run.
//
// Ours are the implementations named by the subject ("velmora") or starting with it and '-'
// ("velmora-condirmin", "velmora-dhsm"). With one of ours in a group its ratio to each
// implementation is the last column of that implementation's row; with several, each of ours gets
// its own rows of ratios below the group. Counters named with show_counters (for instance the
// evaluations a minimisation took) are printed per implementation from its last repetition.
#ifndef VELMORA_BENCH_RATIO_REPORTER_H
#define VELMORA_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velmora::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::string subject = "velmora") : subject_(std::move(subject)) {}

  // Counters printed per implementation, in this order.
  void show_counters(std::vector<std::string> names) { counters_ = std::move(names); }

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
      if (groups_.find(group) == groups_.end()) order_.push_back(group);
      Measured &m = groups_[group][impl];
      m.rates.push_back(it->second.value / 1e6);
      for (const std::string &counter : counters_) {
        const auto c = run.counters.find(counter);
        if (c != run.counters.end()) m.counters[counter] = c->second.value;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-26s %-18s %10s %21s", "case", "implementation", "best M/s", "spread M/s");
    for (const std::string &counter : counters_)
      std::printf(" %12s", counter.c_str());
    std::printf(" %10s\n", (subject_ + "/x").c_str());
    for (const std::string &group : order_) {
      const auto &impls = groups_[group];
      std::vector<std::string> ours;
      for (const auto &[impl, m] : impls)
        if (is_ours(impl)) ours.push_back(impl);
      const double single = ours.size() == 1 ? best(impls.at(ours[0])) : 0.0;
      for (const auto &[impl, m] : impls) {
        const auto [lo, hi] = std::minmax_element(m.rates.begin(), m.rates.end());
        std::printf("%-26s %-18s %10.4g %9.4g .. %9.4g", group.c_str(), impl.c_str(), *hi, *lo,
                    *hi);
        for (const std::string &counter : counters_) {
          const auto c = m.counters.find(counter);
          if (c != m.counters.end())
            std::printf(" %12.4g", c->second);
          else
            std::printf(" %12s", "-");
        }
        if (single > 0 && *hi > 0)
          std::printf(" %9.2fx\n", single / *hi);
        else
          std::printf(" %10s\n", "");
      }
      for (const std::string &o : ours) {
        const double mine = best(impls.at(o));
        double fastest_peer = 0.0;
        int peers = 0;
        for (const auto &[impl, m] : impls) {
          if (is_ours(impl)) continue;
          ++peers;
          fastest_peer = std::max(fastest_peer, best(m));
          if (ours.size() > 1 && mine > 0 && best(m) > 0)
            std::printf("%-26s %-18s %s / %s %.2fx\n", group.c_str(), "", o.c_str(), impl.c_str(),
                        mine / best(m));
        }
        if (peers > 1 && fastest_peer > 0 && mine > 0) {
          std::printf("%-26s %-18s %s / fastest peer %.2fx\n", group.c_str(), "", o.c_str(),
                      mine / fastest_peer);
        }
      }
    }
  }

 private:
  struct Measured {
    std::vector<double> rates;
    std::map<std::string, double> counters;
  };

  bool is_ours(const std::string &impl) const {
    return impl == subject_ || impl.rfind(subject_ + "-", 0) == 0;
  }

  static double best(const Measured &m) {
    return m.rates.empty() ? 0.0 : *std::max_element(m.rates.begin(), m.rates.end());
  }

  std::string subject_;
  std::vector<std::string> counters_;
  std::vector<std::string> order_;
  std::map<std::string, std::map<std::string, Measured>> groups_;
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
// not fall on one implementation alone. counters: as RatioReporter::show_counters.
inline int run_with_ratios(int argc, char **argv, const std::string &subject = "velmora",
                           std::vector<std::string> counters = {}) {
  std::vector<char *> args(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter(subject);
  reporter.show_counters(std::move(counters));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace velmora::bench

#endif
