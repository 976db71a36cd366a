#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/restriction_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/condirmin.h"

#ifdef VELMORA_HAVE_NLOPT
#include <nlopt.h>
#endif

namespace {

using velmora::testing::DiagnosticsCapture;
using Vec = std::vector<double>;
using Strings = std::vector<std::string>;
using Function = std::function<double(const double *)>;

double distance(const Vec &a, const Vec &b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    s += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(s);
}

// Largest row . x - bound over rows of x.size() coefficients (absolute values for equalities).
double residual(const Vec &rows, const Vec &bounds, const Vec &x, bool equality) {
  double worst = 0.0;
  for (size_t r = 0; r < bounds.size(); ++r) {
    double s = -bounds[r];
    for (size_t i = 0; i < x.size(); ++i)
      s += rows[r * x.size() + i] * x[i];
    worst = std::fmax(worst, equality ? std::fabs(s) : s);
  }
  return worst;
}

// Minimise |x - centre|^2 (Rosenbrock's function when centre is empty) subject to ineq . x <=
// bounds and eq . x = values, from a free vector; the optimum is a full vector (empty when only
// the independent solver knows it).
struct Problem {
  const char *name;
  int n;
  Vec ineq, bounds, eq, values, centre, start, optimum;
  double f(const double *x) const {
    if (centre.empty()) return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
    double s = 0.0;
    for (size_t i = 0; i < centre.size(); ++i)
      s += (x[i] - centre[i]) * (x[i] - centre[i]);
    return s;
  }
  RESTRICTION *make() const {
    return restriction_new(ineq.data(), bounds.data(), static_cast<int>(bounds.size()), eq.data(),
                           values.data(), static_cast<int>(values.size()), n);
  }
};

std::vector<Problem> problems() {
  // Nearest point to c on the plane a . x = 3: c - a (a . c - 3) / |a|^2.
  const Vec a{1, 2, -1, 0.5}, c{1, -1, 2, 0.3},
      box{1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
  Vec plane(4);
  for (int i = 0; i < 4; ++i)
    plane[i] = c[i] - a[i] * (1 - 2 - 2 + 0.15 - 3.0) / 6.25;
  return {{"one equality", 4, {}, {}, a, {3}, c, {0, 0, 0}, plane},
          {"one inequality", 2, {1, 1}, {2}, {}, {}, {2, 2}, {0, 0}, {1, 1}},
          {"two inequalities", 2, {1, 1, 1, 0}, {2, 0.5}, {}, {}, {2, 2}, {0, 0}, {0.5, 1.5}},
          {"box", 3, box, {1, 0, 1, 0, 1, 0}, {}, {}, {2, -1, 0.5}, {0.5, 0.5, 0.5}, {1, 0, 0.5}},
          {"mixed", 3, {1, 0, 0}, {0.5}, {1, 1, 1}, {3}, {0, 0, 0}, {1.5, 1.5}, {0.5, 1.25, 1.25}},
          // x0 = x1 leaves one free variable; its first line search crosses x0 <= 1.
          {"one free variable", 2, {1, 0}, {1}, {1, -1}, {0}, {3, 3}, {0}, {1, 1}},
          {"Rosenbrock below x + y = 1.5", 2, {1, 1}, {1.5}, {}, {}, {}, {-1.2, 1.0}, {}}};
}

// Runs condirmin_restr and records the full vectors the objective sees.
struct Solve {
  RESTRICTION *r;
  Function f;
  std::vector<Vec> calls = {};
  int status = -1, iter = -3;
  double fret = -3.0;
  Vec p = {}, full = {};

  static double call(void *user1, void *, double *x) {
    auto *self = static_cast<Solve *>(user1);
    self->calls.emplace_back(x, x + self->r->nVars);
    return self->f(x);
  }
  Solve &minimise(Vec start, double ftol = 1.0e-10) {
    p = std::move(start);
    status = condirmin_restr(p.data(), static_cast<int>(p.size()), ftol, &iter, &fret, r,
                             &Solve::call, this, nullptr);
    full.assign(static_cast<size_t>(r->nVars), NAN);
    if (static_cast<int>(p.size()) == r->nVars - r->nEq)
      velmora::restriction_apply(r, p.data(), full.data());
    return *this;
  }
};

#ifdef VELMORA_HAVE_NLOPT
// The same problem solved by NLopt's COBYLA from the origin.
Vec cobyla(const Problem &pr) {
  struct Row {
    const double *row;
    double bound;
    int n;
  };
  nlopt_func value = [](unsigned, const double *x, double *, void *data) {
    return static_cast<const Problem *>(data)->f(x);
  };
  nlopt_func row_value = [](unsigned, const double *x, double *, void *data) {
    const auto *c = static_cast<const Row *>(data);
    double s = -c->bound;
    for (int i = 0; i < c->n; ++i)
      s += c->row[i] * x[i];
    return s;
  };
  nlopt_opt opt = nlopt_create(NLOPT_LN_COBYLA, static_cast<unsigned>(pr.n));
  nlopt_set_min_objective(opt, value, const_cast<Problem *>(&pr));
  std::vector<Row> rows;
  for (size_t i = 0; i < pr.bounds.size() + pr.values.size(); ++i) {
    const bool ineq = i < pr.bounds.size();
    const size_t k = ineq ? i : i - pr.bounds.size();
    rows.push_back(
        {(ineq ? pr.ineq : pr.eq).data() + k * pr.n, (ineq ? pr.bounds : pr.values)[k], pr.n});
  }
  for (size_t i = 0; i < rows.size(); ++i)
    (i < pr.bounds.size() ? nlopt_add_inequality_constraint : nlopt_add_equality_constraint)(
        opt, row_value, &rows[i], 1e-12);
  nlopt_set_xtol_rel(opt, 1.0e-12);
  nlopt_set_maxeval(opt, 200000);
  Vec x(static_cast<size_t>(pr.n), 0.0);
  double fmin = 0.0;
  EXPECT_GT(nlopt_optimize(opt, x.data(), &fmin), 0);
  nlopt_destroy(opt);
  return x;
}
#endif

TEST(RestrictedMinimiser, SolvesConstrainedProblemsTwiceAlikeAndAgreesWithCobyla) {
  for (const Problem &pr : problems()) {
    SCOPED_TRACE(pr.name);
    DiagnosticsCapture capture;
    RESTRICTION *r = pr.make();
    ASSERT_NE(r, nullptr);
    const Function f = [&pr](const double *x) { return pr.f(x); };
    Solve run{r, f};
    run.minimise(pr.start);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_LT(residual(pr.ineq, pr.bounds, run.full, false), 1.0e-9);
    // Every call sees a full vector that satisfies the equalities.
    for (const Vec &x : run.calls)
      ASSERT_LT(residual(pr.eq, pr.values, x, true), 1.0e-9);
    if (!pr.optimum.empty()) {
      EXPECT_LT(distance(run.full, pr.optimum), 5.0e-5);
      EXPECT_NEAR(pr.f(run.full.data()), pr.f(pr.optimum.data()), 1.0e-8);
    }
#ifdef VELMORA_HAVE_NLOPT
    const Vec x = cobyla(pr);
    EXPECT_LT(distance(run.full, x), 1.0e-4);
    EXPECT_NEAR(pr.f(run.full.data()), pr.f(x.data()), 1.0e-7);
#endif
    // A crossing starts a fresh run (its first line shows 1 again) sharing the iteration count:
    // every other number continues it. In "one inequality" the second line search of iteration
    // 1 crosses. With one free variable the crossing ends the run, while fret keeps the value the
    // line search found beyond the boundary.
    int previous = 0;
    for (const auto &line : capture.progress()) {
      int number = 0;
      EXPECT_EQ(line.first, 1);
      if (std::sscanf(line.second.c_str(), "condirmin: iter= %d", &number) == 1) {
        EXPECT_TRUE(number == 1 || number == previous + 1);
        previous = number;
      }
    }
    if (pr.name == std::string("one inequality")) {
      EXPECT_EQ(capture.progress().at(3).second, "condirmin: iter= 1\n");
    }
    if (pr.name == std::string("one free variable")) {
      EXPECT_TRUE(run.p == Vec{1.0} && run.iter == 1 && std::fabs(run.fret) < 1.0e-12);
    }
    // The restriction remembers its last activation; a second run must not stop on it.
    Solve again{r, f};
    again.minimise(pr.start);
    EXPECT_TRUE(again.status == run.status && again.p == run.p && again.fret == run.fret &&
                again.iter == run.iter);
    restriction_kill(r);
  }
}

TEST(RestrictedMinimiser, EndingTwiceOnTheSameActivationPointStops) {
  // Starts outside x <= 1 at the unconstrained minimum: the first search does not move, cannot
  // cross the boundary (its step is parallel to it) and leaves its end point remembered; the
  // second one ends on the same point, which stops the run.
  const Problem pr{"", 2, {1, 0}, {1}, {}, {}, {2, 1}, {2, 1}, {}};
  RESTRICTION *r = pr.make();
  DiagnosticsCapture capture;
  Solve run{r, [&pr](const double *x) { return pr.f(x); }};
  run.minimise(pr.start);
  EXPECT_TRUE(run.status == 1 && run.p == pr.start && run.iter == 1);
  EXPECT_EQ(capture.progress().size(), 3u);
  EXPECT_TRUE(capture.errors().empty());
  restriction_kill(r);
}

TEST(RestrictedMinimiser, WithoutActiveConstraintsItRetracesTheUnrestrictedMethod) {
  const Function f = [](const double *x) {
    return std::pow(x[0] - 1, 2) + 3 * std::pow(x[1] + x[0], 2) + std::pow(x[2] - 0.5 * x[1], 2) +
           0.1 * std::pow(x[2], 4);
  };
  RESTRICTION *r = Problem{"", 3, {1, 1, 1}, {100}, {}, {}, {}, {}, {}}.make();
  Solve restricted{r, f}, plain{r, f};
  restricted.minimise({2.0, 2.0, 2.0});
  Vec p{2.0, 2.0, 2.0};
  int iter = 0;
  double fret = 0.0;
  ASSERT_EQ(condirmin(p.data(), 3, 1.0e-10, &iter, &fret, &Solve::call, &plain, nullptr), 1);
  // The same points up to the unrestricted run's stopping test; the restricted run then still
  // extrapolates before testing.
  ASSERT_GE(restricted.calls.size(), plain.calls.size());
  for (size_t c = 0; c < plain.calls.size(); ++c)
    ASSERT_EQ(restricted.calls[c], plain.calls[c]) << "call " << c;
  EXPECT_EQ(restricted.status, 1);
  EXPECT_LT(distance(restricted.p, p), 1.0e-4);
  restriction_kill(r);
}

TEST(RestrictedMinimiser, FailuresTheIterationLimitAndBadArguments) {
  const Problem pr = problems()[0];
  RESTRICTION *r = pr.make(), *wide = Problem{"", 7, {}, {}, {}, {}, {}, {}, {}}.make();
  const Function bowl = [](const double *x) { return x[0] * x[0] + x[1] * x[1]; };
  // Five reported working allocations, three silent ones, then the line storage of a size not
  // used before: without it every line search is skipped.
  for (int k = 0; k <= 8; ++k) {
    SCOPED_TRACE(k);
    DiagnosticsCapture capture;
    Solve run{k < 8 ? r : wide, bowl};
    const Vec start = k < 8 ? pr.start : Vec(7, 1.0);
    velmora::test_hooks::fail_allocations_after(k);
    run.minimise(start);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(run.p, start);
    EXPECT_EQ(run.status, k < 8 ? 0 : 1);
    EXPECT_EQ(capture.error_texts(), k < 5   ? Strings{"condirmin: malloc failed"}
                                     : k < 8 ? Strings{}
                                             : Strings(7, "linmin: malloc failed"));
    EXPECT_EQ(run.iter == -3 && run.calls.empty(), k < 8);
  }
  restriction_kill(wide);

  // A function that sinks by 1000 at each new iteration: the shared counter reaches 200.
  DiagnosticsCapture capture;
  Solve sinking{r, [&](const double *x) {
                  int iterations = 0;
                  for (const auto &line : capture.progress())
                    iterations += line.second.rfind("condirmin: iter=", 0) == 0;
                  return pr.f(x) - 1000.0 * iterations;
                }};
  sinking.minimise(pr.start, 1.0e-12);
  EXPECT_TRUE(sinking.status == 0 && sinking.iter == 200);
  EXPECT_EQ(capture.error_texts(), Strings{"condirmin: maxiter"});

  // A size that does not match the restriction, or no restriction, is refused untouched.
  Solve wrong{r, bowl};
  EXPECT_EQ(wrong.minimise({0.0, 0.0}).status, 0);
  Vec p = pr.start;
  EXPECT_EQ(condirmin_restr(p.data(), 3, 1.0e-8, &wrong.iter, &wrong.fret, nullptr, &Solve::call,
                            &wrong, nullptr),
            0);
  EXPECT_TRUE(wrong.calls.empty());
  restriction_kill(r);
}

}  // namespace
