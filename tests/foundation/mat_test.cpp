#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "velmora/mat.h"

#ifdef VELMORA_HAVE_EIGEN3
#include <Eigen/Dense>
#endif

namespace {

using velmora::testing::DiagnosticsCapture;
using Dense = std::vector<double>;  // row-major n x n

// Householder reflection I - 2 v v^T / |v|^2 applied from the left to the rows of a.
void reflect_rows(Dense &a, int n, const Dense &v) {
  double vv = 0.0;
  for (double x : v)
    vv += x * x;
  for (int c = 0; c < n; ++c) {
    double dot = 0.0;
    for (int r = 0; r < n; ++r)
      dot += v[r] * a[r * n + c];
    for (int r = 0; r < n; ++r)
      a[r * n + c] -= 2.0 * v[r] * dot / vv;
  }
}

// A random n x n matrix with singular values spread log-uniformly from 1 down to 1/condition,
// rotated on both sides by random reflections, so its 2-norm condition number is `condition`.
Dense conditioned_matrix(int n, double condition, std::mt19937 &rng) {
  std::normal_distribution<double> normal;
  Dense a(n * n, 0.0);
  for (int i = 0; i < n; ++i)
    a[i * n + i] = n == 1 ? 1.0 : std::pow(condition, -static_cast<double>(i) / (n - 1));
  auto random_vector = [&] {
    Dense v(n);
    for (double &x : v)
      x = normal(rng);
    return v;
  };
  for (int k = 0; k < 3; ++k)
    reflect_rows(a, n, random_vector());
  // Right side: transpose, reflect the rows, transpose back.
  Dense t(n * n);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      t[c * n + r] = a[r * n + c];
  for (int k = 0; k < 3; ++k)
    reflect_rows(t, n, random_vector());
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      a[r * n + c] = t[c * n + r];
  return a;
}

Dense multiply(const Dense &a, const Dense &x, int n) {
  Dense y(n, 0.0);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      y[r] += a[r * n + c] * x[c];
  return y;
}

double max_abs_difference(const Dense &a, const Dense &b) {
  double d = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    d = std::fmax(d, std::fabs(a[i] - b[i]));
  return d;
}

double max_abs(const Dense &a) {
  double m = 0.0;
  for (double x : a)
    m = std::fmax(m, std::fabs(x));
  return m;
}

struct Case {
  int n;
  double condition;
};
const Case kCases[] = {{1, 1.0},  {2, 10.0}, {3, 1e2},   {4, 1e8},  {5, 1e3},  {8, 1e1},
                       {8, 1e10}, {13, 1e4}, {16, 1e12}, {24, 1e6}, {32, 1e2}, {40, 1e9}};

TEST(Matrix, FactorsReproduceTheRowExchangedMatrix) {
  std::mt19937 rng(7);
  for (const Case &tc : kCases) {
    const int n = tc.n;
    const Dense a = conditioned_matrix(n, tc.condition, rng);
    MATRIX *m = mat_new(a.data(), n);
    ASSERT_NE(m, nullptr);
    int flag = 99;
    ASSERT_EQ(mat_ludcmp(m, &flag), 0);
    EXPECT_EQ(flag, 0);
    // Apply the recorded exchanges to A, then compare with L * U.
    Dense pa = a;
    double parity = 1.0;
    for (int j = 0; j < n; ++j) {
      const int p = m->pivots[j];
      ASSERT_GE(p, j);
      ASSERT_LT(p, n);
      if (p != j) {
        parity = -parity;
        for (int c = 0; c < n; ++c)
          std::swap(pa[j * n + c], pa[p * n + c]);
      }
    }
    EXPECT_EQ(m->sign, parity);
    Dense lu(n * n, 0.0);
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < n; ++c)
        for (int k = 0; k <= std::min(r, c); ++k) {
          const double l = k == r ? 1.0 : m->lu[r * n + k];
          lu[r * n + c] += l * m->lu[k * n + c];
        }
    EXPECT_LT(max_abs_difference(lu, pa), 1e-13 * n) << "n " << n;
    mat_kill(m);
  }
}

#ifdef VELMORA_HAVE_EIGEN3
using EigenMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

TEST(Matrix, SolveInverseAndDeterminantAgreeWithEigen) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (const Case &tc : kCases) {
    const int n = tc.n;
    const Dense a = conditioned_matrix(n, tc.condition, rng);
    Dense b(n);
    for (double &x : b)
      x = uniform(rng);
    const Eigen::Map<const EigenMatrix> ea(a.data(), n, n);
    const Eigen::PartialPivLU<EigenMatrix> peer(ea);
    const Eigen::VectorXd ex = peer.solve(Eigen::Map<const Eigen::VectorXd>(b.data(), n));
    const EigenMatrix einv = peer.inverse();
    // Backward-stable solvers agree to about condition * eps relative to the solution size.
    const double tolerance = 64.0 * n * tc.condition * 2.2e-16;

    MATRIX *m = mat_new(a.data(), n);
    ASSERT_NE(m, nullptr);
    Dense x = b;
    int flag = 99;
    ASSERT_EQ(mat_solve_set(m, x.data(), &flag), 0);
    EXPECT_EQ(flag, 0);
    const Dense expected(ex.data(), ex.data() + n);
    EXPECT_LT(max_abs_difference(x, expected), tolerance * max_abs(expected)) << "n " << n;
    // The residual is small whatever the conditioning.
    EXPECT_LT(max_abs_difference(multiply(a, x, n), b), 1e-13 * n * max_abs(x) + 1e-15);

    MATRIX *inv = mat_invert(m, &flag);
    ASSERT_NE(inv, nullptr);
    EXPECT_EQ(flag, 0);
    const Dense expected_inv(einv.data(), einv.data() + n * n);
    const Dense got_inv(inv->elements, inv->elements + n * n);
    EXPECT_LT(max_abs_difference(got_inv, expected_inv), tolerance * max_abs(expected_inv));

    double det = 0.0;
    ASSERT_EQ(mat_determinant(m, &det), 0);
    const double edet = peer.determinant();
    EXPECT_NEAR(det, edet, tolerance * std::fabs(edet)) << "n " << n;
    mat_kill(inv);
    mat_kill(m);
  }
}
#endif

TEST(Matrix, RepeatedSolvesReuseTheFactorsUntilAnElementChanges) {
  const double a[] = {4, 1, 2, 3, 5, 1, 1, 1, 6};
  const double b[] = {1, 2, 3};
  MATRIX *m = mat_new(a, 3);
  ASSERT_NE(m, nullptr);
  Dense first(b, b + 3);
  int flag = 99;
  ASSERT_EQ(mat_solve_set(m, first.data(), &flag), 0);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(m->luValid, 1);
  EXPECT_LT(max_abs_difference(multiply(Dense(a, a + 9), first, 3), Dense(b, b + 3)), 1e-14);

  // Writing behind the functions' back keeps the factors: a second solve must not decompose.
  m->elements[0] = 100.0;
  Dense second(b, b + 3);
  ASSERT_EQ(mat_solve_set(m, second.data(), &flag), 0);
  EXPECT_EQ(second, first);

  // Every writing function invalidates the factors.
  Dense changed(a, a + 9);
  changed[4] = -7.0;
  using Writer = void (*)(MATRIX *, const Dense &);
  const Writer writers[] = {
      [](MATRIX *mm, const Dense &d) { mat_set_element(mm, 1, 1, d[4]); },
      [](MATRIX *mm, const Dense &d) { mat_set_row(mm, 1, d.data() + 3); },
      [](MATRIX *mm, const Dense &d) {
        const double col[] = {d[1], d[4], d[7]};
        mat_set_col(mm, 1, col);
      },
      [](MATRIX *mm, const Dense &d) { mat_set_data(mm, d.data()); },
  };
  for (Writer write : writers) {
    mat_set_data(m, a);
    ASSERT_EQ(mat_solve_set(m, Dense(b, b + 3).data(), &flag), 0);
    m->inverseValid = 1;  // as if an inverse had been made
    write(m, changed);
    EXPECT_EQ(m->luValid, 0);
    EXPECT_EQ(m->inverseValid, 0);
    Dense x(b, b + 3);
    ASSERT_EQ(mat_solve_set(m, x.data(), &flag), 0);
    EXPECT_LT(max_abs_difference(multiply(changed, x, 3), Dense(b, b + 3)), 1e-14);
  }
  m->inverseValid = 0;
  mat_kill(m);
}

TEST(Matrix, PivotsOnTheLargestScaledCandidateAndKeepsTheFirstOfEqualOnes) {
  struct PivotCase {
    double a[4];
    int pivot0;
    double sign;
  };
  const PivotCase cases[] = {
      {{0, 1, 1, 0}, 1, -1.0},    // zero leading element
      {{3, 100, 2, 1}, 1, -1.0},  // implicit scaling overrules the larger raw magnitude
      {{1, 1, 1, 0.5}, 0, 1.0},   // equal scaled candidates: the first wins
      {{1, 2, 3, 4}, 1, -1.0},    // weights 0.5 and 0.75
  };
  for (const PivotCase &pc : cases) {
    MATRIX *m = mat_new(pc.a, 2);
    int flag = 99;
    ASSERT_EQ(mat_ludcmp(m, &flag), 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(m->pivots[0], pc.pivot0) << pc.a[0] << " " << pc.a[1];
    EXPECT_EQ(m->sign, pc.sign);
    double det = 0.0;
    ASSERT_EQ(mat_determinant(m, &det), 0);
    EXPECT_DOUBLE_EQ(det, pc.a[0] * pc.a[3] - pc.a[1] * pc.a[2]);
    mat_kill(m);
  }
}

TEST(Matrix, ZeroRowIsReportedOnEveryUseAndLeavesTheRightHandSideAlone) {
  const double a[] = {1, 2, 3, 0, 0, 0, 4, 5, 7};
  MATRIX *m = mat_new(a, 3);
  for (int round = 0; round < 2; ++round) {  // fresh, then with the cached verdict
    double b[] = {1, 2, 3};
    int flag = 99;
    ASSERT_EQ(mat_solve_set(m, b, &flag), 0);
    EXPECT_EQ(flag, -1);
    EXPECT_EQ(b[0], 1.0);
    EXPECT_EQ(b[1], 2.0);
    EXPECT_EQ(b[2], 3.0);
    flag = 99;
    EXPECT_EQ(mat_ludcmp(m, &flag), 0);
    EXPECT_EQ(flag, -1);
    flag = 99;
    EXPECT_EQ(mat_invert(m, &flag), nullptr);
    EXPECT_EQ(flag, -1);
    double det = 5.0;
    ASSERT_EQ(mat_determinant(m, &det), 0);
    EXPECT_EQ(det, 0.0);
  }
  mat_kill(m);

  MATRIX *fresh = mat_new(a, 3);
  double det = 5.0;
  ASSERT_EQ(mat_determinant(fresh, &det), 0);
  EXPECT_EQ(det, 0.0);
  mat_kill(fresh);
}

TEST(Matrix, VanishingPivotIsReplacedAndFlagged) {
  const double a[] = {1, 2, 2, 4};  // rank 1
  MATRIX *m = mat_new(a, 2);
  double b[] = {1, 1};
  int flag = 99;
  ASSERT_EQ(mat_solve_set(m, b, &flag), 0);
  EXPECT_EQ(flag, -2);
  EXPECT_EQ(b[0], 1.0);  // the flagged decomposition solves nothing
  EXPECT_EQ(m->lu[3], 1e-20);
  mat_set_data(m, a);
  double det = 5.0;
  ASSERT_EQ(mat_determinant(m, &det), 0);
  EXPECT_EQ(det, 0.0);
  mat_kill(m);
}

TEST(Matrix, NonSquareMatricesAreNotFactored) {
  const double a[] = {1, 2, 3, 4, 5, 6};
  MATRIX *m = mat_new_data(a, 2, 3);
  int flag = 99;
  double b[] = {1, 2};
  EXPECT_EQ(mat_solve_set(m, b, &flag), 0);
  EXPECT_EQ(flag, -1);
  EXPECT_EQ(b[0], 1.0);
  EXPECT_EQ(mat_invert(m, &flag), nullptr);
  double det = 5.0;
  EXPECT_EQ(mat_determinant(m, &det), 0);
  EXPECT_EQ(det, 0.0);

  const double x[] = {1, -1, 2};
  double y[2];
  EXPECT_EQ(mat_mulvec(m, x, y), 0);
  EXPECT_EQ(y[0], 5.0);
  EXPECT_EQ(y[1], 11.0);

  struct Index {
    int row, col, status;
    double value;
  };
  const Index indices[] = {{0, 0, 0, 1.0},  {1, 2, 0, 6.0},   {0, 2, 0, 3.0},  {2, 0, -1, 0.0},
                           {0, 3, -1, 0.0}, {-1, 0, -1, 0.0}, {0, -1, -1, 0.0}};
  for (const Index &ix : indices) {
    int status = 99;
    EXPECT_EQ(mat_get_element(m, ix.row, ix.col, &status), ix.value);
    EXPECT_EQ(status, ix.status) << ix.row << "," << ix.col;
  }
  mat_kill(m);
}

TEST(Matrix, InverseIsCachedLinkedAndRecomputedIntoTheSameObject) {
  const double a[] = {2, 1, 0, 1, 3, 1, 0, 1, 4};
  MATRIX *m = mat_new(a, 3);
  int flag = 99;
  MATRIX *inv = mat_invert(m, &flag);
  ASSERT_NE(inv, nullptr);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(inv->inverse, m);
  EXPECT_EQ(m->inverse, inv);
  inv->elements[0] = 42.0;  // a cached inverse is returned without work
  EXPECT_EQ(mat_invert(m, &flag), inv);
  EXPECT_EQ(inv->elements[0], 42.0);

  const double row[] = {1, 5, 1};
  mat_set_row(m, 1, row);
  EXPECT_EQ(mat_invert(m, &flag), inv);
  const Dense now = {2, 1, 0, 1, 5, 1, 0, 1, 4};
  for (int c = 0; c < 3; ++c) {  // m * column c of the inverse = e_c
    const Dense col = {inv->elements[c], inv->elements[3 + c], inv->elements[6 + c]};
    const Dense e = multiply(now, col, 3);
    for (int r = 0; r < 3; ++r)
      EXPECT_NEAR(e[r], r == c ? 1.0 : 0.0, 1e-15);
  }

  // Inverting the inverse computes into its source (which then equals the source again).
  EXPECT_EQ(mat_invert(inv, &flag), m);
  EXPECT_LT(max_abs_difference(Dense(m->elements, m->elements + 9), now), 1e-14);

  // Releasing the source leaves the inverse usable and unlinked.
  mat_kill(m);
  EXPECT_EQ(inv->inverse, nullptr);
  double det = 0.0;
  ASSERT_EQ(mat_determinant(inv, &det), 0);
  EXPECT_NEAR(det, 1.0 / 34.0, 1e-15);
  mat_kill(inv);
}

TEST(Matrix, ReleasedInverseIsComputedAfresh) {
  const double a[] = {0, 2, 4, 0};
  MATRIX *m = mat_new(a, 2);
  int flag = 99;
  MATRIX *inv = mat_invert(m, &flag);
  ASSERT_NE(inv, nullptr);
  mat_kill(inv);
  EXPECT_EQ(m->inverse, nullptr);
  m->inverseValid = 1;  // a stale claim must not hand out a null inverse either
  inv = mat_invert(m, &flag);
  ASSERT_NE(inv, nullptr);
  EXPECT_EQ(flag, 0);
  EXPECT_DOUBLE_EQ(inv->elements[1], 0.25);
  EXPECT_DOUBLE_EQ(inv->elements[2], 0.5);
  mat_kill(inv);
  mat_kill(m);
  EXPECT_EQ(mat_kill(nullptr), nullptr);
}

TEST(Matrix, SolveSkipsLeadingZerosOfTheRightHandSideAndPropagatesNaN) {
  const double a[] = {2, 0, 0, 1, 3, 0, 4, 5, 6};
  MATRIX *m = mat_new(a, 3);
  double b[] = {0, 0, 6};
  int flag;
  ASSERT_EQ(mat_solve_set(m, b, &flag), 0);
  const Dense x(b, b + 3);
  EXPECT_LT(max_abs_difference(multiply(Dense(a, a + 9), x, 3), Dense{0, 0, 6}), 1e-15);
  double nan_rhs[] = {std::nan(""), 1, 1};
  ASSERT_EQ(mat_solve_set(m, nan_rhs, &flag), 0);
  EXPECT_TRUE(std::isnan(nan_rhs[0]) && std::isnan(nan_rhs[1]) && std::isnan(nan_rhs[2]));
  mat_kill(m);
}

// "nr: 1, kind: 0, sys: 12, file: <this module>, line: <n>, info: No resources available"
void expect_one_no_resources_report(const DiagnosticsCapture &capture) {
  ASSERT_EQ(capture.errors().size(), 1u);
  const std::string &text = capture.errors()[0].text;
  static const std::regex format(
      "nr: 1, kind: 0, sys: 12, file: (.*mat\\.cpp), line: ([0-9]+), info: No resources available");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(text, parts, format)) << text;
  EXPECT_EQ(parts[1].str(), capture.errors()[0].file);
  // The line named in the text is the failed allocation itself.
  std::ifstream source(parts[1].str());
  std::string line;
  for (int i = std::stoi(parts[2].str()); i > 0 && std::getline(source, line);)
    --i;
  EXPECT_NE(line.find("alloc_array"), std::string::npos) << line;
}

TEST(Matrix, EveryFailedAllocationIsReportedOnceAndReleased) {
  const double a[] = {2, 1, 1, 3};
  constexpr int kCreationAllocations = 2;  // record, elements
  for (int k = 0; k < kCreationAllocations; ++k) {
    DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(k);
    MATRIX *m = mat_new(a, 2);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(m, nullptr);
    expect_one_no_resources_report(capture);
  }
  {  // sizes that cannot be allocated
    DiagnosticsCapture capture;
    EXPECT_EQ(mat_new_data(nullptr, -3, 2), nullptr);
    expect_one_no_resources_report(capture);
  }

  constexpr int kFactorAllocations = 3;  // lu, scale, pivots
  for (int k = 0; k < kFactorAllocations; ++k) {
    MATRIX *m = mat_new(a, 2);
    DiagnosticsCapture capture;
    int flag = 99;
    double det = 5.0, b[] = {1, 1};
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(mat_ludcmp(m, &flag), -1);
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(mat_solve_set(m, b, &flag), -1);
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(mat_determinant(m, &det), -1);
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(mat_invert(m, &flag), nullptr);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(capture.errors().size(), 4u);
    EXPECT_EQ(m->luValid, 0);
    // Once memory is back everything works.
    ASSERT_EQ(mat_determinant(m, &det), 0);
    EXPECT_DOUBLE_EQ(det, 5.0);
    mat_kill(m);
  }

  constexpr int kInverseAllocations = 3;  // work, record, elements (factors already made)
  for (int k = 0; k < kInverseAllocations; ++k) {
    MATRIX *m = mat_new(a, 2);
    int flag;
    ASSERT_EQ(mat_ludcmp(m, &flag), 0);
    DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(mat_invert(m, &flag), nullptr);
    velmora::test_hooks::fail_allocations_after(-1);
    expect_one_no_resources_report(capture);
    EXPECT_EQ(m->inverse, nullptr);
    MATRIX *inv = mat_invert(m, &flag);
    ASSERT_NE(inv, nullptr);
    EXPECT_DOUBLE_EQ(inv->elements[0], 0.6);
    mat_kill(inv);
    mat_kill(m);
  }
}

}  // namespace
