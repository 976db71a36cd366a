#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/restriction_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/restriction.h"

namespace {

using Vec = std::vector<double>;
using Ints = std::vector<int>;
using velmora::restriction_activate;

RESTRICTION *make(const Vec &ineq, const Vec &bounds, const Vec &eq, const Vec &values, int n) {
  return restriction_new(ineq.data(), bounds.data(), static_cast<int>(bounds.size()), eq.data(),
                         values.data(), static_cast<int>(values.size()), n);
}

TEST(Restriction, ChoosesTheFirstWellConditionedDependentSetAndMapsOntoIt) {
  struct Case {
    Vec eq;
    int m, n;
    Ints dep;  // empty for the random systems
  };
  std::vector<Case> cases = {{{}, 0, 3, {}},
                             {{1, 1, 1}, 1, 3, {0}},
                             {{0, 1, 1}, 1, 3, {1}},        // zero first coefficient
                             {{0.99e-5, 1, 0}, 1, 3, {1}},  // determinant just below the bound
                             {{1.0e-5, 1, 0}, 1, 3, {0}},   // at the bound
                             {{1, 1, 0, 0, 2, 2, 0, 1}, 2, 4, {0, 3}},  // singular leading blocks
                             {{1, 2, 3, 4}, 2, 2, {0, 1}}};             // every variable dependent
  // Random well-posed systems: only the mapping property is checked for them.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  for (int trial = 0; trial < 5; ++trial) {
    Case c{Vec(static_cast<size_t>((trial + 1) * (trial + 3))), trial + 1, trial + 3, {}};
    for (double &v : c.eq)
      v = u(rng);
    cases.push_back(c);
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "m " << c.m << " n " << c.n);
    RESTRICTION *r = make(Vec(static_cast<size_t>(c.n), 1.0), {1.0}, c.eq,
                          Vec(static_cast<size_t>(c.m), 0.75), c.n);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(c.dep.empty() || Ints(r->dep, r->dep + c.m) == c.dep);
    // The free indices are the others, ascending; a free vector keeps its values there and the
    // dependent ones satisfy the equalities.
    Ints idx(static_cast<size_t>(c.n - c.m));
    Vec free_values(idx.size()), full(static_cast<size_t>(c.n), NAN);
    for (double &v : free_values)
      v = u(rng);
    ASSERT_EQ(velmora::restriction_free_indices(r, idx.data()), 1);
    ASSERT_EQ(velmora::restriction_apply(r, free_values.data(), full.data()), 0);
    EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end()));
    for (size_t i = 0; i < idx.size(); ++i)
      EXPECT_EQ(full[static_cast<size_t>(idx[i])], free_values[i]);
    for (int row = 0; row < c.m; ++row)
      EXPECT_NEAR(std::inner_product(full.begin(), full.end(), c.eq.begin() + row * c.n, 0.0), 0.75,
                  1.0e-9);
    restriction_kill(r);
  }
}

TEST(Restriction, RefusesImpossibleDefinitionsAndNullArgumentsSilently) {
  const double row[] = {1, 1, 1, 2, 2, 2}, values[] = {1, 2};
  velmora::testing::DiagnosticsCapture capture;
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, 2, 1), nullptr);  // m > n
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, 2, 3), nullptr);  // dependent rows
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, 1, 0), nullptr);
  EXPECT_EQ(restriction_new(nullptr, nullptr, -1, row, values, 1, 3), nullptr);
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, -1, 3), nullptr);
  EXPECT_TRUE(capture.errors().empty());
  int idx[3];
  double full[3];
  EXPECT_TRUE(restriction_kill(nullptr) == 0 && velmora::restriction_nr_vars(nullptr) == -1 &&
              velmora::restriction_free_indices(nullptr, idx) == -1 &&
              velmora::restriction_apply(nullptr, full, full) == -1 &&
              velmora::restriction_map_back(nullptr, nullptr, full, full) == -1);
}

TEST(Restriction, ActivationMakesTheLastViolatedRowAnEqualityAndStopsOnARepeatedPoint) {
  // x0 <= 1, x1 <= 1, x0 + x1 + x2 <= 10 on three variables.
  RESTRICTION *r = make({1, 0, 0, 0, 1, 0, 1, 1, 1}, {1, 1, 10}, {}, {}, 3);
  ASSERT_NE(r, nullptr);
  double out[3] = {NAN, NAN, NAN};
  const double origin[] = {0, 0, 0}, inside[] = {0.5, 0.5, 3.0}, after[] = {2, 3, 0};
  EXPECT_EQ(restriction_activate(r, origin, inside, out), nullptr);
  EXPECT_EQ(r->lastActivation, nullptr);
  // Rows 0 and 1 violated: row 1 (the last) becomes the equality x1 = 1, crossed at t = 1/3.
  RESTRICTION *s = restriction_activate(r, origin, after, out);
  ASSERT_TRUE(s != nullptr && s != velmora::restriction_stop_marker());
  EXPECT_TRUE(s->nEq == 1 && s->nIneq == 2 && s->eqValues[0] == 1.0);
  EXPECT_EQ(Vec(s->eqRows, s->eqRows + 3), (Vec{0, 1, 0}));
  EXPECT_NEAR(out[0], 2.0 / 3.0, 1.0e-15);
  restriction_kill(s);
  // Ending on the remembered point stops, whatever the constraints say; forgetting it clears it.
  const double elsewhere[] = {5, 5, 5};
  EXPECT_EQ(restriction_activate(r, elsewhere, after, out), velmora::restriction_stop_marker());
  velmora::restriction_forget_activation(r);
  EXPECT_EQ(r->lastActivation, nullptr);
  restriction_kill(r);
}

TEST(Restriction, FailedAllocationsReleaseWhatWasBuilt) {
  // Creation, then activation (working memory and a new restriction), then map-back, fail at
  // every allocation in turn; the matrices report their own failures.
  velmora::testing::DiagnosticsCapture capture;
  const Vec ineq{1, 0, 0, 0, 0, 1, 0, 0}, eq{1, 1, 0, 0, 2, 2, 0, 1};
  const double before[] = {0, 0}, after[] = {3, 0}, sub_free[] = {0.0};
  double out[2];
  RESTRICTION *r = nullptr, *s = nullptr;
  int k = 0;
  for (; r == nullptr && k < 60; ++k) {
    velmora::test_hooks::fail_allocations_after(k);
    r = make(ineq, {1, 1}, eq, {1, 2}, 4);
    velmora::test_hooks::fail_allocations_after(-1);
  }
  ASSERT_GT(k, 9);
  EXPECT_EQ(Ints(r->dep, r->dep + 2), (Ints{0, 3}));
  for (k = 0; s == nullptr && k < 60; ++k) {
    velmora::restriction_forget_activation(r);
    velmora::test_hooks::fail_allocations_after(k);
    s = restriction_activate(r, before, after, out);
    velmora::test_hooks::fail_allocations_after(-1);
    ASSERT_NE(s, velmora::restriction_stop_marker());
  }
  EXPECT_GT(k, 3);
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(velmora::restriction_map_back(r, s, out, sub_free), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  restriction_kill(s);
  restriction_kill(r);
  EXPECT_FALSE(capture.errors().empty());
  for (const std::string &text : capture.error_texts())
    EXPECT_NE(text.find("info: No resources available"), std::string::npos) << text;
}

}  // namespace
