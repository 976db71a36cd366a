#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "velmora/mat.h"

#ifdef VELMORA_HAVE_EIGEN3
#include <Eigen/Dense>
#endif

namespace {

using Dense = std::vector<double>;  // row-major

// A random n x n matrix with singular values spread log-uniformly from 1 down to 1/condition,
// reflected (I - 2 v v^T / |v|^2) three times from the left and three times from the right, so
// its 2-norm condition number is `condition`.
Dense conditioned_matrix(int n, double condition, std::mt19937 &rng) {
  std::normal_distribution<double> normal;
  Dense a(n * n, 0.0), v(n);
  for (int i = 0; i < n; ++i)
    a[i * n + i] = n == 1 ? 1.0 : std::pow(condition, -static_cast<double>(i) / (n - 1));
  for (int k = 0; k < 6; ++k) {
    std::generate(v.begin(), v.end(), [&] { return normal(rng); });
    const double vv = std::inner_product(v.begin(), v.end(), v.begin(), 0.0);
    for (int c = 0; c < n; ++c) {  // column c from the left, row c from the right
      const auto at = [&](int r) -> double & { return k < 3 ? a[r * n + c] : a[c * n + r]; };
      double dot = 0.0;
      for (int r = 0; r < n; ++r)
        dot += v[r] * at(r);
      for (int r = 0; r < n; ++r)
        at(r) -= 2.0 * v[r] * dot / vv;
    }
  }
  return a;
}

// a (n x n) times x (n x x.size() / n).
Dense multiply(const Dense &a, const Dense &x, int n) {
  const int k = static_cast<int>(x.size()) / n;
  Dense y(x.size(), 0.0);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      for (int j = 0; j < k; ++j)
        y[r * k + j] += a[r * n + c] * x[c * k + j];
  return y;
}

double max_abs_difference(const Dense &a, const Dense &b = {}) {
  double d = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    d = std::fmax(d, std::fabs(a[i] - (b.empty() ? 0.0 : b[i])));
  return d;
}

Dense elements(const MATRIX *m) {
  return Dense(m->elements, m->elements + m->rows * m->cols);
}

TEST(Matrix, FactorsReproduceTheRowExchangedMatrixAndAgreeWithEigenAtEveryConditioning) {
  const std::pair<int, double> cases[] = {{1, 1.0},  {2, 10.0},  {4, 1e8},  {8, 1e10},
                                          {13, 1e4}, {16, 1e12}, {24, 1e6}, {40, 1e9}};
  std::mt19937 rng(7);
  for (const auto &[n, condition] : cases) {
    const Dense a = conditioned_matrix(n, condition, rng);
    MATRIX *m = mat_new(a.data(), n);
    int flag = 99;
    ASSERT_EQ(mat_ludcmp(m, &flag), 0);
    EXPECT_EQ(flag, 0);
    Dense pa = a, lu(n * n, 0.0);  // P A from the recorded exchanges, against L U
    for (int j = 0; j < n; ++j) {
      const int p = m->pivots[j];
      ASSERT_TRUE(p >= j && p < n);
      for (int c = 0; c < n && p != j; ++c)
        std::swap(pa[j * n + c], pa[p * n + c]);
    }
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < n; ++c)
        for (int k = 0; k <= std::min(r, c); ++k)
          lu[r * n + c] += (k == r ? 1.0 : m->lu[r * n + k]) * m->lu[k * n + c];
    EXPECT_LT(max_abs_difference(lu, pa), 1e-13 * n) << "n " << n;
#ifdef VELMORA_HAVE_EIGEN3
    using EigenMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    Dense b(n), x(n), got(n);
    std::generate(b.begin(), b.end(), [&] { return uniform(rng); });
    const Eigen::PartialPivLU<EigenMatrix> peer(Eigen::Map<const EigenMatrix>(a.data(), n, n));
    Eigen::Map<Eigen::VectorXd>(x.data(), n) =
        peer.solve(Eigen::Map<const Eigen::VectorXd>(b.data(), n));
    const EigenMatrix einv = peer.inverse();
    const Dense expected_inv(einv.data(), einv.data() + n * n);
    // Backward-stable solvers agree to about condition * eps relative to the solution size.
    const double tolerance = 64.0 * n * condition * 2.2e-16;
    got = b;
    ASSERT_EQ(mat_solve_set(m, got.data(), &flag), 0);
    EXPECT_LT(max_abs_difference(got, x), tolerance * max_abs_difference(x)) << "n " << n;
    // The residual is small whatever the conditioning.
    EXPECT_LT(max_abs_difference(multiply(a, got, n), b),
              1e-13 * n * max_abs_difference(got) + 1e-15);
    MATRIX *inv = mat_invert(m, &flag);
    ASSERT_NE(inv, nullptr);
    EXPECT_LT(max_abs_difference(elements(inv), expected_inv),
              tolerance * max_abs_difference(expected_inv));
    double det = 0.0;
    ASSERT_EQ(mat_determinant(m, &det), 0);
    EXPECT_NEAR(det, peer.determinant(), tolerance * std::fabs(peer.determinant())) << "n " << n;
    mat_kill(inv);
#endif
    mat_kill(m);
  }
}

// Each writing function invalidates the factors and the inverse; the linked inverse is then
// recomputed in place.
TEST(Matrix, WritingFunctionsInvalidateTheFactorsAndTheLinkedInverseIsRecomputedInPlace) {
  const Dense a = {4, 1, 2, 3, 5, 1, 1, 1, 6}, b = {1, 2, 3},
              changed = {4, 1, 2, 3, -7, 1, 1, 1, 6}, identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  MATRIX *m = mat_new(a.data(), 3), *inv = nullptr;
  int flag = 99;
  const double column[] = {1, -7, 1};
  const std::function<void()> writers[] = {
      [&] { mat_set_element(m, 1, 1, -7.0); }, [&] { mat_set_row(m, 1, changed.data() + 3); },
      [&] { mat_set_col(m, 1, column); }, [&] { mat_set_data(m, changed.data()); }};
  for (const auto &write : writers) {
    mat_set_data(m, a.data());
    Dense x = b;
    ASSERT_EQ(mat_solve_set(m, x.data(), &flag), 0);
    MATRIX *made = mat_invert(m, &flag);
    ASSERT_TRUE(made != nullptr && (inv == nullptr || made == inv));
    inv = made;
    EXPECT_TRUE(inv->inverse == m && m->inverse == inv);
    write();
    EXPECT_EQ(m->luValid + m->inverseValid, 0);
    x = b;
    ASSERT_EQ(mat_solve_set(m, x.data(), &flag), 0);
    EXPECT_LT(max_abs_difference(multiply(changed, x, 3), b), 1e-14);
    EXPECT_EQ(mat_invert(m, &flag), inv);
    EXPECT_LT(max_abs_difference(multiply(changed, elements(inv), 3), identity), 1e-14);
  }
  // A released inverse unlinks itself; even a stale validity claim then yields a fresh one.
  mat_kill(inv);
  EXPECT_EQ(m->inverse, nullptr);
  m->inverseValid = 1;
  inv = mat_invert(m, &flag);
  ASSERT_NE(inv, nullptr);
  EXPECT_LT(max_abs_difference(multiply(changed, elements(inv), 3), identity), 1e-14);
  // Releasing the source leaves the inverse usable and unlinked.
  mat_kill(m);
  EXPECT_EQ(inv->inverse, nullptr);
  double det = 0.0;
  ASSERT_EQ(mat_determinant(inv, &det), 0);
  EXPECT_NEAR(det, -1.0 / 169.0, 1e-15);
  mat_kill(inv);
  EXPECT_EQ(mat_kill(nullptr), nullptr);
}

TEST(Matrix, PivotsOnTheLargestScaledCandidateKeepsTheFirstOfEqualOnesAndFlagsVanishingOnes) {
  const struct {
    double a[4];
    int pivot0, flag;
  } cases[] = {
      {{0, 1, 1, 0}, 1, 0},    // zero leading element
      {{3, 100, 2, 1}, 1, 0},  // implicit scaling overrules the larger raw magnitude
      {{1, 1, 1, 0.5}, 0, 0},  // equal scaled candidates: the first wins
      {{1, 2, 2, 4}, 0, -2},   // rank 1: the vanishing pivot is replaced, the determinant is 0
  };
  for (const auto &pc : cases) {
    MATRIX *m = mat_new(pc.a, 2);
    double det = 5.0;
    ASSERT_EQ(mat_determinant(m, &det), 0);
    EXPECT_EQ(m->luFlag, pc.flag);
    EXPECT_EQ(m->pivots[0], pc.pivot0) << pc.a[0] << " " << pc.a[1];
    EXPECT_DOUBLE_EQ(det, pc.a[0] * pc.a[3] - pc.a[1] * pc.a[2]);
    mat_kill(m);
  }
}

// The verdict of a decomposition belongs to its factors: a zero row, a non-square shape and a
// replaced vanishing pivot all come back on every later use of the cached factors.
TEST(Matrix, SingularVerdictsAreReportedOnEveryUseOfTheCachedFactorsAndLeaveTheRightHandSideAlone) {
  const struct {
    Dense a;
    int rows, cols, flag;
  } cases[] = {
      {{1, 2, 3, 0, 0, 0, 4, 5, 7}, 3, 3, -1},  // zero row
      {{1, 2, 3, 4, 5, 6}, 2, 3, -1},           // not square
      {{1, 2, 2, 4}, 2, 2, -2},                 // rank 1: the second pivot is replaced
      {{1e-30, 0, 0, 1e-30}, 2, 2, -2},         // every pivot below the floor
  };
  for (const auto &c : cases) {
    MATRIX *m = mat_new_data(c.a.data(), c.rows, c.cols);
    const Dense b0 = Dense(static_cast<size_t>(c.rows), 1.0);
    for (int round = 0; round < 3; ++round) {  // fresh, then twice with the cached factors
      Dense b = b0;
      double det = 5.0;
      int flags[] = {99, 99, 99};
      ASSERT_EQ(mat_solve_set(m, b.data(), &flags[0]), 0);
      EXPECT_EQ(b, b0) << "round " << round;
      EXPECT_EQ(mat_invert(m, &flags[1]), nullptr) << "round " << round;
      EXPECT_EQ(mat_ludcmp(m, &flags[2]), 0);
      EXPECT_EQ(Dense(flags, flags + 3), Dense(3, c.flag)) << c.rows << " rows, round " << round;
      ASSERT_EQ(mat_determinant(m, &det), 0);
      EXPECT_EQ(det, 0.0) << "round " << round;
    }
    // A changed element brings a fresh decomposition and a sound verdict.
    mat_set_data(m, Dense{{2, 1, 1, 3, 0, 0, 0, 0, 0}}.data());
    if (c.rows == c.cols) {
      int flag = 99;
      if (c.rows == 3) mat_set_element(m, 2, 2, 1.0);
      ASSERT_NE(mat_invert(m, &flag), nullptr);
      EXPECT_EQ(flag, 0);
      mat_kill(m->inverse);
    }
    for (const auto &[row, col, status] :
         {std::tuple{c.rows - 1, c.cols - 1, 0}, {c.rows, 0, -1}, {0, -1, -1}, {0, c.cols, -1}}) {
      int got = 99;
      mat_get_element(m, row, col, &got);
      EXPECT_EQ(got, status) << row << "," << col;
    }
    mat_kill(m);
  }
  // Setting a row of a matrix without columns reads nothing.
  MATRIX *empty = mat_new_data(nullptr, 3, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(mat_set_row(empty, 1, nullptr), 0);
  mat_kill(empty);
}

// Rows (-1 -2 -1), (-1 -1 1), (-1 1 2) have scales 1/2, 1, 1/2. Column 0 takes row 1 (weight 1),
// which moves row 0 down to place 1 and its scale 1/2 with it. Column 1 then weighs
// 1/2 * |-1| against 1/2 * |2| and takes the row at place 2; had the scale stayed behind, the
// row at place 1 would weigh 1 * |-1| and win the tie as the first candidate.
TEST(Matrix, ARowScaleTravelsWithItsRowAndDecidesLaterPivots) {
  const double a[] = {-1, -2, -1, -1, -1, 1, -1, 1, 2};
  MATRIX *m = mat_new(a, 3);
  int flag = 99;
  ASSERT_EQ(mat_ludcmp(m, &flag), 0);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(std::vector<int>(m->pivots, m->pivots + 3), (std::vector<int>{1, 2, 2}));
  double det = 0.0;
  ASSERT_EQ(mat_determinant(m, &det), 0);
  EXPECT_DOUBLE_EQ(det, 3.0);  // cofactor expansion along the first row: 3 - 2 + 2
  mat_kill(m);
}

TEST(Matrix, SolvePropagatesNaNPastTheSkippedLeadingZerosOfTheRightHandSide) {
  const double a[] = {2, 0, 0, 1, 3, 0, 4, 5, 6};
  MATRIX *m = mat_new(a, 3);
  double b[] = {std::nan(""), 1, 1};
  int flag;
  ASSERT_EQ(mat_solve_set(m, b, &flag), 0);
  EXPECT_TRUE(std::isnan(b[0]) && std::isnan(b[1]) && std::isnan(b[2]));
  mat_kill(m);
}

// Fails allocation k (none for k < 0) during `fails`, which must return true, and expects one
// report "nr: 1, kind: 0, sys: 12, file: <this module>, line: <n>, info: No resources available"
// whose line is the failed allocation itself.
void expect_reported_failure(long k, const std::function<bool()> &fails) {
  velmora::testing::DiagnosticsCapture capture;
  velmora::test_hooks::fail_allocations_after(k);
  const bool failed = fails();
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_TRUE(failed) << "allocation " << k;
  ASSERT_EQ(capture.errors().size(), 1u) << "allocation " << k;
  // The file is named relative to the source tree, not by the building machine's path.
  static const std::regex format(
      "nr: 1, kind: 0, sys: 12, file: (.*), line: ([0-9]+), info: No resources available");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(capture.errors()[0].text, parts, format))
      << capture.errors()[0].text;
  EXPECT_EQ(parts[1].str(), "src/foundation/mat.cpp");
  EXPECT_EQ(parts[1].str(), capture.errors()[0].file);
  std::ifstream source(std::string(VELMORA_SOURCE_DIR) + "/" + parts[1].str());
  std::string line;
  for (int i = std::stoi(parts[2].str()); i > 0 && std::getline(source, line);)
    --i;
  EXPECT_NE(line.find("alloc_array"), std::string::npos) << line;
}

TEST(Matrix, EveryFailedAllocationIsReportedOnceAndReleased) {
  const double a[] = {2, 1, 1, 3};
  for (long k = 0; k < 2; ++k)  // record, elements
    expect_reported_failure(k, [&] { return mat_new(a, 2) == nullptr; });
  // Negative sizes are refused, also when two of them make a positive count.
  for (const std::pair<int, int> &shape : {std::pair{-3, 2}, {2, -3}, {-2, -2}, {-1, 0}})
    expect_reported_failure(
        -1, [&] { return mat_new_data(nullptr, shape.first, shape.second) == nullptr; });
  expect_reported_failure(-1, [] { return mat_new(nullptr, -2) == nullptr; });
  for (long k = 0; k < 3; ++k) {
    MATRIX *m = mat_new(a, 2);
    int flag = 99;
    double b[] = {1, 1};
    // The factors (lu, scale, pivots) through a solve and through an inversion.
    expect_reported_failure(k, [&] { return mat_solve_set(m, b, &flag) == -1; });
    expect_reported_failure(k, [&] { return mat_invert(m, &flag) == nullptr; });
    EXPECT_EQ(m->luValid, 0);
    // The inverse (work, record, elements) once the factors are made.
    ASSERT_EQ(mat_ludcmp(m, &flag), 0);
    expect_reported_failure(k, [&] { return mat_invert(m, &flag) == nullptr; });
    EXPECT_EQ(m->inverse, nullptr);
    MATRIX *inv = mat_invert(m, &flag);  // once memory is back everything works
    ASSERT_NE(inv, nullptr);
    EXPECT_DOUBLE_EQ(inv->elements[0], 0.6);
    mat_kill(inv);
    mat_kill(m);
  }
}

}  // namespace
