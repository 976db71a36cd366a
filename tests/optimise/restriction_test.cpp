#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/restriction_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/restriction.h"

namespace {

using velmora::testing::DiagnosticsCapture;

struct Rows {
  std::vector<double> ineq, bounds, eq, values;
  int k, m, n;
  RESTRICTION *make() const {
    return restriction_new(ineq.data(), bounds.data(), k, eq.data(), values.data(), m, n);
  }
};

std::vector<int> free_indices(const RESTRICTION *r) {
  std::vector<int> idx(static_cast<size_t>(r->nVars - r->nEq));
  EXPECT_EQ(velmora::restriction_free_indices(r, idx.data()), 1);
  return idx;
}

std::vector<double> full_vector(RESTRICTION *r, const std::vector<double> &free_values) {
  std::vector<double> full(static_cast<size_t>(r->nVars), NAN);
  EXPECT_EQ(velmora::restriction_apply(r, free_values.data(), full.data()), 0);
  return full;
}

// Largest |row . x - value| over the equality rows.
double equality_residual(const RESTRICTION *r, const std::vector<double> &x) {
  double worst = 0.0;
  for (int row = 0; row < r->nEq; ++row) {
    double s = 0.0;
    for (int i = 0; i < r->nVars; ++i)
      s += r->eqRows[row * r->nVars + i] * x[i];
    worst = std::fmax(worst, std::fabs(s - r->eqValues[row]));
  }
  return worst;
}

TEST(Restriction, ChoosesTheFirstWellConditionedDependentSetAndMapsOntoIt) {
  struct Case {
    const char *name;
    std::vector<double> eq;
    int m, n;
    std::vector<int> dep;
  };
  std::vector<Case> cases = {
      {"no equality", {}, 0, 3, {}},
      {"sum row", {1, 1, 1}, 1, 3, {0}},
      {"zero first coefficient", {0, 1, 1}, 1, 3, {1}},
      {"determinant just below the bound", {0.99e-5, 1, 0}, 1, 3, {1}},
      {"determinant at the bound", {1.0e-5, 1, 0}, 1, 3, {0}},
      {"singular leading blocks", {1, 1, 0, 0, 2, 2, 0, 1}, 2, 4, {0, 3}},
      {"every variable dependent", {1, 2, 3, 4}, 2, 2, {0, 1}},
  };
  // Random well-posed systems: only the mapping property is checked for them.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  for (int trial = 0; trial < 20; ++trial) {
    Case c{"random", {}, 1 + trial % (2 + trial % 5), 3 + trial % 5, {}};
    for (int i = 0; i < c.m * c.n; ++i)
      c.eq.push_back(u(rng));
    cases.push_back(c);
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<double> values(static_cast<size_t>(c.m), 0.75);
    const std::vector<double> ineq(static_cast<size_t>(c.n), 1.0);
    RESTRICTION *r =
        restriction_new(ineq.data(), ineq.data(), 1, c.eq.data(), values.data(), c.m, c.n);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(velmora::restriction_nr_vars(r), c.n);
    if (std::string(c.name) != "random") {
      EXPECT_EQ(std::vector<int>(r->dep, r->dep + c.m), c.dep);
    }
    // The free indices are the others, ascending; a free vector keeps its values there and the
    // dependent ones satisfy the equalities.
    const auto idx = free_indices(r);
    EXPECT_EQ(static_cast<int>(idx.size()), c.n - c.m);
    EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end()));
    std::vector<double> free_values;
    for (size_t i = 0; i < idx.size(); ++i)
      free_values.push_back(u(rng));
    const auto full = full_vector(r, free_values);
    EXPECT_LT(equality_residual(r, full), 1.0e-9);
    for (size_t i = 0; i < idx.size(); ++i)
      EXPECT_EQ(full[static_cast<size_t>(idx[i])], free_values[i]);
    restriction_kill(r);
  }
  Rows sum{{}, {}, {1, 1, 1}, {1}, 0, 1, 3};
  RESTRICTION *r = sum.make();
  EXPECT_EQ(full_vector(r, {0.25, 0.25}), (std::vector<double>{0.5, 0.25, 0.25}));
  restriction_kill(r);
}

TEST(Restriction, RefusesImpossibleAndDegenerateDefinitions) {
  const double row[] = {1, 1, 1, 2, 2, 2};
  const double values[] = {1, 2};
  DiagnosticsCapture capture;
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, 2, 1), nullptr);  // m > n
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, 2, 3), nullptr);  // dependent rows
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, 1, 0), nullptr);
  EXPECT_EQ(restriction_new(nullptr, nullptr, -1, row, values, 1, 3), nullptr);
  EXPECT_EQ(restriction_new(nullptr, nullptr, 0, row, values, -1, 3), nullptr);
  EXPECT_TRUE(capture.errors().empty());
  EXPECT_EQ(restriction_kill(nullptr), 0);
  EXPECT_EQ(velmora::restriction_nr_vars(nullptr), -1);
  int idx[3];
  EXPECT_EQ(velmora::restriction_free_indices(nullptr, idx), -1);
  double full[3];
  EXPECT_EQ(velmora::restriction_apply(nullptr, full, full), -1);
}

TEST(Restriction, ActivationMakesTheLastViolatedRowAnEquality) {
  // x0 <= 1, x1 <= 1, x0 + x1 + x2 <= 10 on three variables.
  Rows rows{{1, 0, 0, 0, 1, 0, 1, 1, 1}, {1, 1, 10}, {}, {}, 3, 0, 3};
  RESTRICTION *r = rows.make();
  ASSERT_NE(r, nullptr);
  double out[3] = {NAN, NAN, NAN};

  // Inside: nothing happens and nothing is remembered.
  const double origin[] = {0, 0, 0};
  const double inside[] = {0.5, 0.5, 3.0};
  EXPECT_EQ(velmora::restriction_activate(r, origin, inside, out), nullptr);
  EXPECT_EQ(r->lastActivation, nullptr);

  // Rows 0 and 1 violated: row 1 (the last) becomes the equality x1 = 1, crossed at t = 1/3.
  const double after[] = {2, 3, 0};
  RESTRICTION *s = velmora::restriction_activate(r, origin, after, out);
  ASSERT_NE(s, nullptr);
  ASSERT_NE(s, velmora::restriction_stop_marker());
  EXPECT_EQ(s->nEq, 1);
  EXPECT_EQ(std::vector<double>(s->eqRows, s->eqRows + 3), (std::vector<double>{0, 1, 0}));
  EXPECT_EQ(s->eqValues[0], 1.0);
  EXPECT_EQ(s->nIneq, 2);
  EXPECT_EQ(std::vector<double>(s->ineqRows, s->ineqRows + 6),
            (std::vector<double>{1, 0, 0, 1, 1, 1}));
  EXPECT_EQ(std::vector<double>(s->ineqBounds, s->ineqBounds + 2), (std::vector<double>{1, 10}));
  EXPECT_EQ(free_indices(s), (std::vector<int>{0, 2}));
  EXPECT_NEAR(out[0], 2.0 / 3.0, 1.0e-15);
  EXPECT_EQ(out[1], 0.0);
  ASSERT_NE(r->lastActivation, nullptr);
  EXPECT_EQ(std::vector<double>(r->lastActivation, r->lastActivation + 3),
            (std::vector<double>{2, 3, 0}));
  restriction_kill(s);

  // Ending on the remembered point stops, whatever the constraints say.
  const double elsewhere[] = {5, 5, 5};
  EXPECT_EQ(velmora::restriction_activate(r, elsewhere, after, out),
            reinterpret_cast<RESTRICTION *>(~std::uintptr_t{0}));

  // A step along the violated boundary cannot cross it: none, but the end point is remembered.
  const double outside_before[] = {2, 0, 0};
  const double outside_after[] = {2, 0.5, 0};
  EXPECT_EQ(velmora::restriction_activate(r, outside_before, outside_after, out), nullptr);
  EXPECT_EQ(r->lastActivation[1], 0.5);
  EXPECT_EQ(velmora::restriction_activate(r, origin, outside_after, out),
            velmora::restriction_stop_marker());

  velmora::restriction_forget_activation(r);
  EXPECT_EQ(r->lastActivation, nullptr);
  restriction_kill(r);

  // Without inequality rows there is never anything to activate.
  Rows none{{}, {}, {1, 1, 1}, {1}, 0, 1, 3};
  r = none.make();
  const double a[] = {0, 0}, b[] = {100, -100};
  EXPECT_EQ(velmora::restriction_activate(r, a, b, out), nullptr);
  restriction_kill(r);
}

TEST(Restriction, ActivationAndMapBackWorkThroughExistingEqualities) {
  // x0 + x1 + x2 = 1 (x0 dependent) and x1 <= 0.5.
  Rows rows{{0, 1, 0}, {0.5}, {1, 1, 1}, {1}, 1, 1, 3};
  RESTRICTION *r = rows.make();
  ASSERT_NE(r, nullptr);
  const double before[] = {0, 0};  // (1, 0, 0)
  const double after[] = {1, 0};   // (0, 1, 0): violates, crossing at (0.5, 0.5, 0)
  double out[2] = {NAN, NAN};
  RESTRICTION *s = velmora::restriction_activate(r, before, after, out);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->nEq, 2);
  EXPECT_EQ(s->nIneq, 0);
  EXPECT_EQ(free_indices(s), std::vector<int>{2});
  EXPECT_EQ(out[0], 0.0);
  const auto crossing = full_vector(s, {out[0]});
  EXPECT_NEAR(crossing[0], 0.5, 1.0e-15);
  EXPECT_NEAR(crossing[1], 0.5, 1.0e-15);

  // A result of the sub-restriction, mapped back, is a free vector of r with the same full point.
  const double sub_free[] = {0.2};
  double mapped[2] = {NAN, NAN};
  EXPECT_EQ(velmora::restriction_map_back(r, s, mapped, sub_free), 1);
  const auto via_s = full_vector(s, {0.2});
  const auto via_r = full_vector(r, {mapped[0], mapped[1]});
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(via_r[i], via_s[i], 1.0e-15);
  EXPECT_EQ(velmora::restriction_map_back(nullptr, s, mapped, sub_free), -1);
  EXPECT_EQ(velmora::restriction_map_back(r, nullptr, mapped, sub_free), -1);
  restriction_kill(s);
  restriction_kill(r);
}

TEST(Restriction, FailedAllocationsReleaseWhatWasBuilt) {
  // The matrices report their own allocation failures; the restrictions add nothing.
  DiagnosticsCapture capture;
  Rows rows{{1, 0, 0, 0, 0, 1, 0, 0}, {1, 1}, {1, 1, 0, 0, 2, 2, 0, 1}, {1, 2}, 2, 2, 4};
  int needed = -1;
  for (int k = 0; k < 60 && needed < 0; ++k) {
    velmora::test_hooks::fail_allocations_after(k);
    RESTRICTION *r = rows.make();
    velmora::test_hooks::fail_allocations_after(-1);
    if (r != nullptr) {
      needed = k;
      EXPECT_EQ(std::vector<int>(r->dep, r->dep + 2), (std::vector<int>{0, 3}));
    }
    restriction_kill(r);
  }
  EXPECT_GT(needed, 8);

  // Activation needs working memory and a new restriction; without them it finds nothing, and
  // map-back reports -1.
  RESTRICTION *r = rows.make();
  ASSERT_NE(r, nullptr);
  const double before[] = {0, 0}, after[] = {3, 0};
  double out[2];
  int activated_after = -1;
  for (int k = 0; k < 60 && activated_after < 0; ++k) {
    velmora::restriction_forget_activation(r);
    velmora::test_hooks::fail_allocations_after(k);
    RESTRICTION *s = velmora::restriction_activate(r, before, after, out);
    velmora::test_hooks::fail_allocations_after(-1);
    ASSERT_NE(s, velmora::restriction_stop_marker());
    if (s != nullptr) activated_after = k;
    restriction_kill(s);
  }
  EXPECT_GT(activated_after, 2);
  RESTRICTION *s = velmora::restriction_activate(r, before, after, out);
  ASSERT_EQ(s, velmora::restriction_stop_marker());
  Rows sub{{}, {}, {1, 1, 0, 0, 2, 2, 0, 1, 1, 0, 0, 0}, {1, 2, 1}, 0, 3, 4};
  s = sub.make();
  velmora::test_hooks::fail_allocations_after(0);
  double mapped[2];
  const double sub_free[] = {0.0};
  EXPECT_EQ(velmora::restriction_map_back(r, s, mapped, sub_free), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  restriction_kill(s);
  restriction_kill(r);
  EXPECT_FALSE(capture.errors().empty());
  for (const std::string &text : capture.error_texts())
    EXPECT_NE(text.find("info: No resources available"), std::string::npos) << text;
}

}  // namespace
