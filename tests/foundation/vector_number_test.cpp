#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <vector>

#include "foundation/alloc.h"
#include "foundation/vector_number.h"
#include "support/diagnostics_capture.h"

namespace {

using velmora::testing::DiagnosticsCapture;

TEST(Vector, DistancesDotAndNormalize) {
  const double a[] = {1, 2, 3, 4};
  const double b[] = {4, -2, 3, 4};
  EXPECT_EQ(vect_square_distance(a, b, 4), 25.0);
  EXPECT_EQ(vect_distance(a, b, 4), 5.0);
  EXPECT_EQ(vect_distance(a, b, 0), 0.0);
  EXPECT_EQ(vect_dot(a, b, 4), 4.0 - 4.0 + 9.0 + 16.0);

  struct NormalizeCase {
    std::vector<double> v, expected;
  };
  const NormalizeCase cases[] = {
      {{3, 4}, {0.6, 0.8}},     {{0, 0, -2}, {0, 0, -1}},
      {{1e-21, 0}, {1e-21, 0}},  // too short to normalise: unchanged
      {{0, 0}, {0, 0}},         {{1e-15, 0}, {1, 0}},
  };
  for (NormalizeCase c : cases) {
    EXPECT_EQ(vect_normalize(c.v.data(), static_cast<int>(c.v.size())), 0);
    for (size_t i = 0; i < c.v.size(); ++i)
      EXPECT_DOUBLE_EQ(c.v[i], c.expected[i]);
  }
}

TEST(Vector, NormalIsOrthogonalAndMatchesTheCrossProductInThreeDimensions) {
  double out[3] = {-1, -1, -1};
  const double axes[] = {3.0, 1, 0, 0, 0, 1, 0};
  ASSERT_EQ(vect_normal(axes, out), 0);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1], 0.0);
  EXPECT_EQ(out[2], 1.0);

  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  for (int trial = 0; trial < 20; ++trial) {
    const double p[3] = {u(rng), u(rng), u(rng)}, q[3] = {u(rng), u(rng), u(rng)};
    const double block[] = {3.0, p[0], p[1], p[2], q[0], q[1], q[2]};
    ASSERT_EQ(vect_normal(block, out), 0);
    EXPECT_NEAR(out[0], p[1] * q[2] - p[2] * q[1], 1e-14);
    EXPECT_NEAR(out[1], p[2] * q[0] - p[0] * q[2], 1e-14);
    EXPECT_NEAR(out[2], p[0] * q[1] - p[1] * q[0], 1e-14);
  }

  // Five dimensions: orthogonal to the four given vectors.
  std::vector<double> block = {5.0};
  for (int i = 0; i < 20; ++i)
    block.push_back(u(rng));
  double normal[5];
  ASSERT_EQ(vect_normal(block.data(), normal), 0);
  EXPECT_GT(std::sqrt(vect_dot(normal, normal, 5)), 1e-3);
  for (int v = 0; v < 4; ++v)
    EXPECT_NEAR(vect_dot(normal, block.data() + 1 + 5 * v, 5), 0.0, 1e-13);

  // Parallel vectors have no unique normal: zeros. n < 1 writes nothing.
  const double parallel[] = {3.0, 1, 2, 3, 2, 4, 6};
  ASSERT_EQ(vect_normal(parallel, out), 0);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1], 0.0);
  EXPECT_EQ(out[2], 0.0);
  out[0] = 7.0;
  const double empty[] = {0.0};
  EXPECT_EQ(vect_normal(empty, out), 0);
  EXPECT_EQ(out[0], 7.0);
}

TEST(Vector, NormalFailsWhenItsMatrixCannotBeAllocated) {
  const double block[] = {3.0, 1, 0, 0, 0, 1, 0};
  double out[3];
  for (long k : {0L, 1L, 2L}) {  // matrix record, its elements, its factors
    DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(vect_normal(block, out), -1);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(capture.errors().size(), 1u);
  }
}

TEST(Number, BinomialIsExactWhereverTheResultFitsInThirtyTwoBits) {
  struct Case {
    int n, k, expected;
  };
  const Case cases[] = {
      {5, 2, 10},
      {2, 5, -1},
      {7, 0, 1},
      {7, -3, 1},
      {0, 0, 1},
      {6, 6, 1},
      {10, 9, 10},
      {30, 15, 155117520},
      {33, 16, 1166803110},
      {34, 17, -1},
      {1000, 2, 499500},
      {65536, 2, 2147450880},
      {65537, 2, -1},
      {INT_MAX, 1, INT_MAX},
      {INT_MAX, INT_MAX, 1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(numb_binomial(c.n, c.k), c.expected) << c.n << " over " << c.k;
  // Pascal's rule over a full triangle that fits.
  for (int n = 1; n <= 30; ++n)
    for (int k = 1; k < n; ++k)
      EXPECT_EQ(numb_binomial(n, k), numb_binomial(n - 1, k - 1) + numb_binomial(n - 1, k));
}

// Every k-subset of 0..n-1 in lexicographic order, the oracle for the walk.
std::vector<std::vector<int>> all_subsets(int k, int n) {
  std::vector<int> selector(n, 0);
  std::fill(selector.begin(), selector.begin() + k, 1);
  std::vector<std::vector<int>> subsets;
  do {
    std::vector<int> s;
    for (int i = 0; i < n; ++i)
      if (selector[i]) s.push_back(i);
    subsets.push_back(s);
  } while (std::prev_permutation(selector.begin(), selector.end()));
  return subsets;
}

TEST(Number, CombinationWalkListsEverySubsetInLexicographicOrder) {
  const std::pair<int, int> sizes[] = {{2, 4}, {1, 5}, {3, 3}, {0, 3}, {3, 7}, {4, 9}, {5, 6}};
  for (auto [k, n] : sizes) {
    std::vector<int> out(std::max(k, 1)), mask(n, 7);
    std::vector<std::vector<int>> walked;
    int result = numb_next_combination(k, n, 1, out.data(), mask.data());
    while (result == 0) {
      walked.emplace_back(out.begin(), out.begin() + k);
      result = numb_next_combination(k, n, 0, out.data(), mask.data());
    }
    EXPECT_EQ(result, -2) << k << " of " << n;
    EXPECT_EQ(walked, all_subsets(k, n)) << k << " of " << n;
    EXPECT_EQ(static_cast<int>(walked.size()), numb_binomial(n, k));
  }

  int out[4];
  int too_many[] = {0, 1, 1, 1};
  EXPECT_EQ(numb_next_combination(2, 4, 0, out, too_many), -1);
}

TEST(Number, DecimalToBaseWritesLeastSignificantDigitFirst) {
  struct Case {
    int value, base;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {6, 2, {0, 1, 1, 0}},   {10, 3, {1, 0, 1, 0}},
      {255, 16, {15, 15, 0}}, {1000, 10, {0, 0, 0, 1, 0, 0}},
      {1000, 10, {0, 0}},  // more digits than positions: the low ones
      {0, 7, {0, 0, 0}},      {-1, 2, {1, 1, 1}},
  };
  for (const Case &c : cases) {
    std::vector<int> digits(c.expected.size(), 99);
    EXPECT_EQ(numb_decimal_to_base(c.value, digits.data(), static_cast<int>(digits.size()), c.base),
              0);
    EXPECT_EQ(digits, c.expected) << c.value << " in base " << c.base;
  }

  // Base 2 beyond 32 digits: no shift by 32 or more; bit 31 of a negative value is -1.
  std::vector<int> digits(40, 99);
  numb_decimal_to_base(5, digits.data(), 40, 2);
  std::vector<int> five(40, 0);
  five[0] = five[2] = 1;
  EXPECT_EQ(digits, five);
  numb_decimal_to_base(INT_MIN, digits.data(), 40, 2);
  for (int i = 0; i < 31; ++i)
    EXPECT_EQ(digits[i], 0);
  for (int i = 31; i < 40; ++i)
    EXPECT_EQ(digits[i], -1);
}

}  // namespace
