#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <vector>

#include "foundation/alloc.h"
#include "foundation/vector_number.h"
#include "support/diagnostics_capture.h"

namespace {

TEST(Vector, DistanceAndNormalizeLeaveNegligibleVectorsAlone) {
  const double a[] = {1, 2, 3, 4}, b[] = {4, -2, 3, 4};
  EXPECT_EQ(vect_distance(a, b, 4), 5.0);
  const std::vector<double> cases[][2] = {
      {{3, 4}, {0.6, 0.8}}, {{1e-15, 0}, {1, 0}}, {{1e-21, 0}, {1e-21, 0}}, {{0, 0}, {0, 0}}};
  for (const auto &c : cases) {
    std::vector<double> v = c[0];
    EXPECT_EQ(vect_normalize(v.data(), 2), 0);
    EXPECT_EQ(v, c[1]);
  }
}

TEST(Vector, NormalIsTheCrossProductInThreeDimensionsAndOrthogonalInFive) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  double out[5];
  for (int n : {3, 3, 5}) {
    std::vector<double> block = {static_cast<double>(n)};
    for (int i = 0; i < n * (n - 1); ++i)
      block.push_back(u(rng));
    ASSERT_EQ(vect_normal(block.data(), out), 0);
    EXPECT_GT(vect_dot(out, out, n), 1e-6);
    for (int v = 0; v < n - 1; ++v)
      EXPECT_NEAR(vect_dot(out, block.data() + 1 + n * v, n), 0.0, 1e-13);
    const double *p = &block[1], *q = &block[4];
    const double cross[] = {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2],
                            p[0] * q[1] - p[1] * q[0]};
    for (int i = 0; i < 3 && n == 3; ++i)
      EXPECT_NEAR(out[i], cross[i], 1e-14);
  }
  const double parallel[] = {3.0, 1, 2, 3, 2, 4, 6};  // no unique normal: zeros
  ASSERT_EQ(vect_normal(parallel, out), 0);
  EXPECT_EQ(std::vector<double>(out, out + 3), std::vector<double>(3, 0.0));
  for (long k : {0L, 1L, 2L}) {  // matrix record, its elements, its factors
    velmora::testing::DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(vect_normal(parallel, out), -1);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(capture.errors().size(), 1u);
  }
}

TEST(Number, BinomialIsExactWhereverTheResultFitsInThirtyTwoBits) {
  const int cases[][3] = {{2, 5, -1},           {7, -3, 1},     {33, 16, 1166803110},
                          {34, 17, -1},         {65537, 2, -1}, {65536, 2, 2147450880},
                          {INT_MAX, INT_MAX, 1}};
  for (const auto &[n, k, want] : cases)
    EXPECT_EQ(numb_binomial(n, k), want) << n << " over " << k;
  for (int n = 1; n <= 30; ++n)  // Pascal's rule over a full triangle that fits
    for (int k = 1; k < n; ++k)
      EXPECT_EQ(numb_binomial(n, k), numb_binomial(n - 1, k - 1) + numb_binomial(n - 1, k));
}

TEST(Number, CombinationWalkListsEverySubsetInLexicographicOrder) {
  for (auto [k, n] : {std::pair{2, 4}, {0, 3}, {4, 9}}) {
    std::vector<int> out(std::max(k, 1)), mask(n, 7), selector(n, 0);
    std::vector<std::vector<int>> walked, expected;
    std::fill(selector.begin(), selector.begin() + k, 1);
    do {  // the oracle: every selection of k flags, in lexicographic order of the members
      expected.emplace_back();
      for (int i = 0; i < n; ++i)
        if (selector[i]) expected.back().push_back(i);
    } while (std::prev_permutation(selector.begin(), selector.end()));
    for (int r = numb_next_combination(k, n, 1, out.data(), mask.data()); r == 0;
         r = numb_next_combination(k, n, 0, out.data(), mask.data()))
      walked.emplace_back(out.begin(), out.begin() + k);
    EXPECT_EQ(walked, expected) << k << " of " << n;
    EXPECT_EQ(numb_next_combination(k, n, 0, out.data(), mask.data()), -2);
  }
  int out[4], too_many[] = {0, 1, 1, 1};
  EXPECT_EQ(numb_next_combination(2, 4, 0, out, too_many), -1);
}

// Least significant digit first, cut or padded with zeros to the given count; base 2 beyond 32
// digits does not shift by 32 or more, and from bit 31 on a negative value gives -1.
TEST(Number, DecimalToBaseWritesLeastSignificantDigitFirstAndBaseTwoBeyondThirtyTwoDigits) {
  const std::tuple<int, int, std::vector<int>> cases[] = {
      {10, 3, {1, 0, 1, 0}}, {255, 16, {15, 15, 0}}, {1000, 10, {0, 0}}, {-1, 2, {1, 1, 1}}};
  for (const auto &[value, base, expected] : cases) {
    std::vector<int> digits(expected.size(), 99);
    EXPECT_EQ(numb_decimal_to_base(value, digits.data(), int(digits.size()), base), 0);
    EXPECT_EQ(digits, expected) << value << " in base " << base;
  }
  for (int value : {5, INT_MIN}) {
    std::vector<int> digits(40, 99);
    numb_decimal_to_base(value, digits.data(), 40, 2);
    for (int i = 0; i < 40; ++i)
      EXPECT_EQ(digits[i], value == 5 ? int{i == 0 || i == 2} : -int{i >= 31}) << value << " " << i;
  }
}

}  // namespace
