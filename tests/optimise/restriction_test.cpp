#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

Ints free_indices(const RESTRICTION *r) {
  Ints idx(static_cast<size_t>(r->nVars - r->nEq));
  EXPECT_EQ(velmora::restriction_free_indices(r, idx.data()), 1);
  return idx;
}

Vec full_vector(RESTRICTION *r, const Vec &free_values) {
  Vec full(static_cast<size_t>(r->nVars), NAN);
  EXPECT_EQ(velmora::restriction_apply(r, free_values.data(), full.data()), 0);
  return full;
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
  for (int trial = 0; trial < 10; ++trial) {
    Case c{{}, 1 + trial % (2 + trial % 5), 3 + trial % 5, {}};
    for (int i = 0; i < c.m * c.n; ++i)
      c.eq.push_back(u(rng));
    cases.push_back(c);
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "m " << c.m << " n " << c.n);
    RESTRICTION *r = make(Vec(static_cast<size_t>(c.n), 1.0), {1.0}, c.eq,
                          Vec(static_cast<size_t>(c.m), 0.75), c.n);
    ASSERT_NE(r, nullptr);
    if (!c.dep.empty()) {
      EXPECT_EQ(Ints(r->dep, r->dep + c.m), c.dep);
    }
    // The free indices are the others, ascending; a free vector keeps its values there and the
    // dependent ones satisfy the equalities.
    const Ints idx = free_indices(r);
    EXPECT_TRUE(static_cast<int>(idx.size()) == c.n - c.m &&
                std::is_sorted(idx.begin(), idx.end()));
    Vec free_values(idx.size());
    for (double &v : free_values)
      v = u(rng);
    const Vec full = full_vector(r, free_values);
    for (int row = 0; row < c.m; ++row) {
      double s = 0.0;
      for (int i = 0; i < c.n; ++i)
        s += c.eq[row * c.n + i] * full[i];
      EXPECT_NEAR(s, 0.75, 1.0e-9);
    }
    for (size_t i = 0; i < idx.size(); ++i)
      EXPECT_EQ(full[static_cast<size_t>(idx[i])], free_values[i]);
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
  EXPECT_EQ(restriction_kill(nullptr), 0);
  EXPECT_EQ(velmora::restriction_nr_vars(nullptr), -1);
  int idx[3];
  double full[3];
  EXPECT_EQ(velmora::restriction_free_indices(nullptr, idx), -1);
  EXPECT_EQ(velmora::restriction_apply(nullptr, full, full), -1);
  EXPECT_EQ(velmora::restriction_map_back(nullptr, nullptr, full, full), -1);
}

TEST(Restriction, ActivationMakesTheLastViolatedRowAnEqualityAndStopsOnARepeatedPoint) {
  // x0 <= 1, x1 <= 1, x0 + x1 + x2 <= 10 on three variables.
  RESTRICTION *r = make({1, 0, 0, 0, 1, 0, 1, 1, 1}, {1, 1, 10}, {}, {}, 3);
  ASSERT_NE(r, nullptr);
  double out[3] = {NAN, NAN, NAN};
  // Inside: nothing happens and nothing is remembered.
  const double origin[] = {0, 0, 0}, inside[] = {0.5, 0.5, 3.0}, after[] = {2, 3, 0};
  EXPECT_EQ(restriction_activate(r, origin, inside, out), nullptr);
  EXPECT_EQ(r->lastActivation, nullptr);
  // Rows 0 and 1 violated: row 1 (the last) becomes the equality x1 = 1, crossed at t = 1/3.
  RESTRICTION *s = restriction_activate(r, origin, after, out);
  ASSERT_TRUE(s != nullptr && s != velmora::restriction_stop_marker());
  EXPECT_TRUE(s->nEq == 1 && s->nIneq == 2 && s->eqValues[0] == 1.0);
  EXPECT_EQ(Vec(s->eqRows, s->eqRows + 3), (Vec{0, 1, 0}));
  EXPECT_EQ(Vec(s->ineqRows, s->ineqRows + 6), (Vec{1, 0, 0, 1, 1, 1}));
  EXPECT_EQ(Vec(s->ineqBounds, s->ineqBounds + 2), (Vec{1, 10}));
  EXPECT_EQ(free_indices(s), (Ints{0, 2}));
  EXPECT_NEAR(out[0], 2.0 / 3.0, 1.0e-15);
  EXPECT_EQ(out[1], 0.0);
  ASSERT_NE(r->lastActivation, nullptr);
  EXPECT_EQ(Vec(r->lastActivation, r->lastActivation + 3), (Vec{2, 3, 0}));
  restriction_kill(s);
  // Ending on the remembered point stops, whatever the constraints say.
  const double elsewhere[] = {5, 5, 5};
  EXPECT_EQ(restriction_activate(r, elsewhere, after, out), velmora::restriction_stop_marker());
  // A step along the violated boundary cannot cross it: none, but the end point is remembered.
  const double outside_before[] = {2, 0, 0}, outside_after[] = {2, 0.5, 0};
  EXPECT_EQ(restriction_activate(r, outside_before, outside_after, out), nullptr);
  EXPECT_EQ(r->lastActivation[1], 0.5);
  EXPECT_EQ(restriction_activate(r, origin, outside_after, out),
            velmora::restriction_stop_marker());
  velmora::restriction_forget_activation(r);
  EXPECT_EQ(r->lastActivation, nullptr);
  restriction_kill(r);
  // Without inequality rows there is never anything to activate.
  r = make({}, {}, {1, 1, 1}, {1}, 3);
  const double a[] = {0, 0}, b[] = {100, -100};
  EXPECT_EQ(restriction_activate(r, a, b, out), nullptr);
  restriction_kill(r);
}

TEST(Restriction, FailedAllocationsReleaseWhatWasBuilt) {
  // The matrices report their own allocation failures; the restrictions add nothing. Creation,
  // then activation (working memory and a new restriction), fail at every allocation in turn.
  velmora::testing::DiagnosticsCapture capture;
  const Vec ineq{1, 0, 0, 0, 0, 1, 0, 0}, eq{1, 1, 0, 0, 2, 2, 0, 1};
  int created_after = -1, activated_after = -1;
  for (int k = 0; k < 60 && created_after < 0; ++k) {
    velmora::test_hooks::fail_allocations_after(k);
    RESTRICTION *r = make(ineq, {1, 1}, eq, {1, 2}, 4);
    velmora::test_hooks::fail_allocations_after(-1);
    if (r != nullptr) {
      created_after = k;
      EXPECT_EQ(Ints(r->dep, r->dep + 2), (Ints{0, 3}));
    }
    restriction_kill(r);
  }
  EXPECT_GT(created_after, 8);
  RESTRICTION *r = make(ineq, {1, 1}, eq, {1, 2}, 4);
  const double before[] = {0, 0}, after[] = {3, 0};
  double out[2];
  for (int k = 0; k < 60 && activated_after < 0; ++k) {
    velmora::restriction_forget_activation(r);
    velmora::test_hooks::fail_allocations_after(k);
    RESTRICTION *s = restriction_activate(r, before, after, out);
    velmora::test_hooks::fail_allocations_after(-1);
    ASSERT_NE(s, velmora::restriction_stop_marker());
    if (s != nullptr) activated_after = k;
    restriction_kill(s);
  }
  EXPECT_GT(activated_after, 2);
  // Map-back without memory reports -1.
  RESTRICTION *s = make({}, {}, {1, 1, 0, 0, 2, 2, 0, 1, 1, 0, 0, 0}, {1, 2, 1}, 4);
  double mapped[2];
  const double sub_free[] = {0.0};
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(velmora::restriction_map_back(r, s, mapped, sub_free), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  restriction_kill(s);
  restriction_kill(r);
  EXPECT_FALSE(capture.errors().empty());
  for (const std::string &text : capture.error_texts())
    EXPECT_NE(text.find("info: No resources available"), std::string::npos) << text;
}

}  // namespace
