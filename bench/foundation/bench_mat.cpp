// LU decomposition, solve and inverse of dense matrices, against Eigen's PartialPivLU on the same
// random matrices in the same run. Prints, after the runs, the mean time of each case and its
// ratio to Eigen (below 1: faster than Eigen) with the spread from the repetitions. CPU time is
// used, as the machines these run on are often shared.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "velmora/mat.h"

#ifdef VELMORA_HAVE_EIGEN3
#include <Eigen/Dense>
#endif

namespace {

constexpr int kSizes[] = {3, 4, 8, 16, 32, 64};
constexpr int kRepetitions = 5;
constexpr double kMinTimeSeconds = 0.05;
constexpr double kAgreement = 1e-9;  // relative, for the accuracy check before timing

struct Problem {
  std::vector<double> a;  // row-major
  std::vector<double> b;
};

// Uniform random entries: partial pivoting does real row exchanges on these.
Problem make_problem(int n) {
  std::mt19937 rng(1000 + n);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Problem p{std::vector<double>(static_cast<size_t>(n) * n), std::vector<double>(n)};
  for (double &x : p.a)
    x = u(rng);
  for (double &x : p.b)
    x = u(rng);
  return p;
}

void velmora_lu(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const Problem p = make_problem(n);
  MATRIX *m = mat_new(p.a.data(), n);
  int flag = 0;
  for (auto _ : state) {
    mat_set_data(m, p.a.data());  // invalidates the cached factors
    mat_ludcmp(m, &flag);
    benchmark::DoNotOptimize(m->lu);
  }
  mat_kill(m);
}

void velmora_solve(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const Problem p = make_problem(n);
  MATRIX *m = mat_new(p.a.data(), n);
  int flag = 0;
  mat_ludcmp(m, &flag);
  std::vector<double> x(n);
  for (auto _ : state) {
    x = p.b;
    mat_solve_set(m, x.data(), &flag);  // factors cached: substitution only
    benchmark::DoNotOptimize(x.data());
  }
  mat_kill(m);
}

void velmora_inverse(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const Problem p = make_problem(n);
  MATRIX *m = mat_new(p.a.data(), n);
  MATRIX *inv = nullptr;
  int flag = 0;
  for (auto _ : state) {
    mat_set_data(m, p.a.data());  // forces decomposition and inversion into the linked matrix
    inv = mat_invert(m, &flag);
    benchmark::DoNotOptimize(inv->elements);
  }
  mat_kill(inv);
  mat_kill(m);
}

#ifdef VELMORA_HAVE_EIGEN3
Eigen::MatrixXd eigen_matrix(const Problem &p, int n) {
  return Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      p.a.data(), n, n);
}

void eigen_lu(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const Eigen::MatrixXd a = eigen_matrix(make_problem(n), n);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(n);
  for (auto _ : state) {
    lu.compute(a);
    benchmark::DoNotOptimize(lu.matrixLU().data());
  }
}

void eigen_solve(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const Problem p = make_problem(n);
  const Eigen::PartialPivLU<Eigen::MatrixXd> lu(eigen_matrix(p, n));
  const Eigen::VectorXd b = Eigen::Map<const Eigen::VectorXd>(p.b.data(), n);
  Eigen::VectorXd x(n);
  for (auto _ : state) {
    x = lu.solve(b);
    benchmark::DoNotOptimize(x.data());
  }
}

void eigen_inverse(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const Eigen::MatrixXd a = eigen_matrix(make_problem(n), n);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(n);
  Eigen::MatrixXd inv(n, n);
  for (auto _ : state) {
    lu.compute(a);
    inv = lu.inverse();
    benchmark::DoNotOptimize(inv.data());
  }
}

// Solutions, inverses and determinants must agree before their timings mean anything.
bool results_agree() {
  bool ok = true;
  for (int n : kSizes) {
    const Problem p = make_problem(n);
    const Eigen::MatrixXd a = eigen_matrix(p, n);
    const Eigen::PartialPivLU<Eigen::MatrixXd> lu(a);
    const Eigen::VectorXd ex = lu.solve(Eigen::Map<const Eigen::VectorXd>(p.b.data(), n));
    const Eigen::MatrixXd einv = lu.inverse();

    MATRIX *m = mat_new(p.a.data(), n);
    std::vector<double> x = p.b;
    int flag = 0;
    mat_solve_set(m, x.data(), &flag);
    double det = 0.0;
    mat_determinant(m, &det);
    MATRIX *inv = mat_invert(m, &flag);
    double solve_error = 0.0, inverse_error = 0.0;
    for (int i = 0; i < n; ++i) {
      solve_error = std::fmax(solve_error, std::fabs(x[i] - ex[i]) / ex.cwiseAbs().maxCoeff());
      for (int j = 0; j < n; ++j)
        inverse_error = std::fmax(inverse_error, std::fabs(inv->elements[i * n + j] - einv(i, j)) /
                                                     einv.cwiseAbs().maxCoeff());
    }
    const double det_error = std::fabs(det - lu.determinant()) / std::fabs(lu.determinant());
    std::printf("n = %2d: relative differences to Eigen: solve %.1e, inverse %.1e, det %.1e\n", n,
                solve_error, inverse_error, det_error);
    ok = ok && flag == 0 && solve_error < kAgreement && inverse_error < kAgreement &&
         det_error < kAgreement;
    mat_kill(inv);
    mat_kill(m);
  }
  return ok;
}
#endif

// Collects the mean and standard deviation of every case and prints the ratio table at the end.
class RatioTable : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Aggregate) continue;
      Stats &s = stats_[run.run_name.function_name][run.run_name.args];
      if (run.aggregate_name == "mean") s.mean = run.GetAdjustedCPUTime();
      if (run.aggregate_name == "stddev") s.stddev = run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-8s %4s %14s %14s %8s %8s\n", "op", "n", "velmora cpu ns", "eigen cpu ns",
                "ratio", "spread");
    for (const char *op : {"lu", "solve", "inverse"}) {
      for (int n : kSizes) {
        const std::string arg = std::to_string(n);
        const Stats v = stats_[std::string(op) + "/velmora"][arg];
        const Stats e = stats_[std::string(op) + "/eigen"][arg];
        if (e.mean > 0.0) {
          const double ratio = v.mean / e.mean;
          const double spread = ratio * std::hypot(v.stddev / v.mean, e.stddev / e.mean);
          std::printf("%-8s %4d %14.1f %14.1f %8.2f %8.2f\n", op, n, v.mean, e.mean, ratio, spread);
        } else {
          std::printf("%-8s %4d %14.1f %14s %8s %8s\n", op, n, v.mean, "-", "-", "-");
        }
      }
    }
  }

 private:
  struct Stats {
    double mean = 0.0;
    double stddev = 0.0;
  };
  std::map<std::string, std::map<std::string, Stats>> stats_;
};

void register_case(const char *name, void (*body)(benchmark::State &)) {
  auto *b = benchmark::RegisterBenchmark(name, body);
  for (int n : kSizes)
    b->Arg(n);
  b->Unit(benchmark::kNanosecond)
      ->MinTime(kMinTimeSeconds)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char **argv) {
  register_case("lu/velmora", velmora_lu);
  register_case("solve/velmora", velmora_solve);
  register_case("inverse/velmora", velmora_inverse);
#ifdef VELMORA_HAVE_EIGEN3
  if (!results_agree()) {
    std::fprintf(stderr, "results differ from Eigen's; not timing\n");
    return 1;
  }
  register_case("lu/eigen", eigen_lu);
  register_case("solve/eigen", eigen_solve);
  register_case("inverse/eigen", eigen_inverse);
#endif
  benchmark::Initialize(&argc, argv);
  RatioTable reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
