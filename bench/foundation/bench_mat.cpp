// LU decomposition, solve and inverse of dense matrices, against Eigen's PartialPivLU on the same
// random matrices in the same run, reported through the shared ratio reporter (operations per
// second; above 1: faster than Eigen). Results are checked against Eigen's before timing.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/ratio_reporter.h"
#include "velmora/mat.h"

#ifdef VELMORA_HAVE_EIGEN3
#include <Eigen/Dense>
#endif

namespace {

constexpr int kSizes[] = {3, 4, 8, 16, 32, 64};
constexpr int kRepetitions = 5;
constexpr double kMinSeconds = 0.05;
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

void velmora_lu(benchmark::State &state, int n) {
  const Problem p = make_problem(n);
  MATRIX *m = mat_new(p.a.data(), n);
  int flag = 0;
  for (auto _ : state) {
    mat_set_data(m, p.a.data());  // invalidates the cached factors
    mat_ludcmp(m, &flag);
    benchmark::DoNotOptimize(m->lu);
  }
  state.SetItemsProcessed(state.iterations());
  mat_kill(m);
}

void velmora_solve(benchmark::State &state, int n) {
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
  state.SetItemsProcessed(state.iterations());
  mat_kill(m);
}

void velmora_inverse(benchmark::State &state, int n) {
  const Problem p = make_problem(n);
  MATRIX *m = mat_new(p.a.data(), n);
  MATRIX *inv = nullptr;
  int flag = 0;
  for (auto _ : state) {
    mat_set_data(m, p.a.data());  // forces decomposition and inversion into the linked matrix
    inv = mat_invert(m, &flag);
    benchmark::DoNotOptimize(inv->elements);
  }
  state.SetItemsProcessed(state.iterations());
  mat_kill(inv);
  mat_kill(m);
}

#ifdef VELMORA_HAVE_EIGEN3
Eigen::MatrixXd eigen_matrix(const Problem &p, int n) {
  return Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      p.a.data(), n, n);
}

void eigen_lu(benchmark::State &state, int n) {
  const Eigen::MatrixXd a = eigen_matrix(make_problem(n), n);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(n);
  for (auto _ : state) {
    lu.compute(a);
    benchmark::DoNotOptimize(lu.matrixLU().data());
  }
  state.SetItemsProcessed(state.iterations());
}

void eigen_solve(benchmark::State &state, int n) {
  const Problem p = make_problem(n);
  const Eigen::PartialPivLU<Eigen::MatrixXd> lu(eigen_matrix(p, n));
  const Eigen::VectorXd b = Eigen::Map<const Eigen::VectorXd>(p.b.data(), n);
  Eigen::VectorXd x(n);
  for (auto _ : state) {
    x = lu.solve(b);
    benchmark::DoNotOptimize(x.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void eigen_inverse(benchmark::State &state, int n) {
  const Eigen::MatrixXd a = eigen_matrix(make_problem(n), n);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(n);
  Eigen::MatrixXd inv(n, n);
  for (auto _ : state) {
    lu.compute(a);
    inv = lu.inverse();
    benchmark::DoNotOptimize(inv.data());
  }
  state.SetItemsProcessed(state.iterations());
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

// One case per operation and size: "lu_8/velmora" beside "lu_8/eigen".
void register_cases(const char *implementation, void (*lu)(benchmark::State &, int),
                    void (*solve)(benchmark::State &, int),
                    void (*inverse)(benchmark::State &, int)) {
  for (int n : kSizes) {
    const auto name = [&](const char *op) {
      std::string text = op;  // built by appending: GCC 12 misreads "a" + std::string (-Wrestrict)
      text += '_';
      text += std::to_string(n);
      text += '/';
      text += implementation;
      return text;
    };
    velmora::bench::register_case(name("lu"), kMinSeconds, kRepetitions, lu, n);
    velmora::bench::register_case(name("solve"), kMinSeconds, kRepetitions, solve, n);
    velmora::bench::register_case(name("inverse"), kMinSeconds, kRepetitions, inverse, n);
  }
}

}  // namespace

int main(int argc, char **argv) {
  register_cases("velmora", velmora_lu, velmora_solve, velmora_inverse);
#ifdef VELMORA_HAVE_EIGEN3
  if (!results_agree()) {
    std::fprintf(stderr, "results differ from Eigen's; not timing\n");
    return 1;
  }
  register_cases("eigen", eigen_lu, eigen_solve, eigen_inverse);
#endif
  return velmora::bench::run_with_ratios(argc, argv);
}
