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
using Function = std::function<double(const double *)>;

double sq(double v) {
  return v * v;
}

double distance(const Vec &a, const Vec &b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    s += sq(a[i] - b[i]);
  return std::sqrt(s);
}

// Largest row . x - bound over rows of n coefficients (absolute values for equalities).
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

// A constrained problem, its start (a free vector) and its optimum (full vector; empty when
// only the independent solver knows it).
struct Problem {
  std::string name;
  int n;
  Vec ineq, bounds, eq, values;
  Function f;
  Vec start, optimum;
  double fmin;
  RESTRICTION *make() const {
    return restriction_new(ineq.data(), bounds.data(), static_cast<int>(bounds.size()), eq.data(),
                           values.data(), static_cast<int>(values.size()), n);
  }
};

std::vector<Problem> problems() {
  // Nearest point to c on the plane a . x = b: c - a (a . c - b) / |a|^2.
  const Vec a{1, 2, -1, 0.5}, c{1, -1, 2, 0.3};
  const double gap = (1 - 2 - 2 + 0.15) - 3.0, aa = 6.25;
  Vec plane(4);
  for (int i = 0; i < 4; ++i)
    plane[i] = c[i] - a[i] * gap / aa;
  const Function bowl = [](const double *x) { return sq(x[0] - 2) + sq(x[1] - 2); };
  return {
      {"one equality",
       4,
       {},
       {},
       a,
       {3},
       [c](const double *x) {
         return sq(x[0] - c[0]) + sq(x[1] - c[1]) + sq(x[2] - c[2]) + sq(x[3] - c[3]);
       },
       {0, 0, 0},
       plane,
       gap * gap / aa},
      {"one inequality", 2, {1, 1}, {2}, {}, {}, bowl, {0, 0}, {1, 1}, 2.0},
      {"two inequalities", 2, {1, 1, 1, 0}, {2, 0.5}, {}, {}, bowl, {0, 0}, {0.5, 1.5}, 2.5},
      {"box",
       3,
       {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1},
       {1, 0, 1, 0, 1, 0},
       {},
       {},
       [](const double *x) { return sq(x[0] - 2) + sq(x[1] + 1) + sq(x[2] - 0.5); },
       {0.5, 0.5, 0.5},
       {1, 0, 0.5},
       2.0},
      {"equality and inequality",
       3,
       {1, 0, 0},
       {0.5},
       {1, 1, 1},
       {3},
       [](const double *x) { return x[0] * x[0] + x[1] * x[1] + x[2] * x[2]; },
       {1.5, 1.5},
       {0.5, 1.25, 1.25},
       3.375},
      // x0 = x1 leaves one free variable; its first line search crosses x0 <= 1.
      {"one free variable",
       2,
       {1, 0},
       {1},
       {1, -1},
       {0},
       [](const double *x) { return sq(x[0] - 3) + sq(x[1] - 3); },
       {0},
       {1, 1},
       8.0},
      {"Rosenbrock below x + y = 1.5",
       2,
       {1, 1},
       {1.5},
       {},
       {},
       [](const double *x) { return 100.0 * sq(x[1] - x[0] * x[0]) + sq(1.0 - x[0]); },
       {-1.2, 1.0},
       {},
       0.0},
  };
}

// Runs condirmin_restr and records the full vectors the objective sees.
struct Solve {
  Solve(RESTRICTION *r_, Function f_) : r(r_), f(std::move(f_)) {}
  RESTRICTION *r;
  Function f;
  std::vector<Vec> calls;
  int status = -1, iter = -3;
  double fret = -3.0;
  Vec p, full;

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
struct CobylaRow {
  const double *row;
  double bound;
  int n;
};

double cobyla_objective(unsigned, const double *x, double *, void *data) {
  return (*static_cast<const Function *>(data))(x);
}

double cobyla_row(unsigned, const double *x, double *, void *data) {
  const auto *c = static_cast<const CobylaRow *>(data);
  double s = -c->bound;
  for (int i = 0; i < c->n; ++i)
    s += c->row[i] * x[i];
  return s;
}

Vec cobyla(const Problem &pr) {
  nlopt_opt opt = nlopt_create(NLOPT_LN_COBYLA, static_cast<unsigned>(pr.n));
  nlopt_set_min_objective(opt, cobyla_objective, const_cast<Function *>(&pr.f));
  std::vector<CobylaRow> rows;
  for (size_t i = 0; i < pr.bounds.size(); ++i)
    rows.push_back({pr.ineq.data() + i * pr.n, pr.bounds[i], pr.n});
  for (size_t i = 0; i < pr.values.size(); ++i)
    rows.push_back({pr.eq.data() + i * pr.n, pr.values[i], pr.n});
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i < pr.bounds.size()) {
      nlopt_add_inequality_constraint(opt, cobyla_row, &rows[i], 1e-12);
    } else {
      nlopt_add_equality_constraint(opt, cobyla_row, &rows[i], 1e-12);
    }
  }
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
    Solve run(r, pr.f);
    run.minimise(pr.start);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_LT(residual(pr.ineq, pr.bounds, run.full, false), 1.0e-9);
    // Every call sees a full vector that satisfies the equalities.
    for (const Vec &x : run.calls)
      ASSERT_LT(residual(pr.eq, pr.values, x, true), 1.0e-9);
    if (!pr.optimum.empty()) {
      EXPECT_LT(distance(run.full, pr.optimum), 5.0e-5);
      EXPECT_NEAR(pr.f(run.full.data()), pr.fmin, 1.0e-8);
      std::printf("[ optimum  ] %-30s |x - x*| = %.2e  f - f* = %.2e  evaluations %zu\n",
                  pr.name.c_str(), distance(run.full, pr.optimum), pr.f(run.full.data()) - pr.fmin,
                  run.calls.size());
    }
#ifdef VELMORA_HAVE_NLOPT
    const Vec x = cobyla(pr);
    EXPECT_LT(distance(run.full, x), 1.0e-4);
    EXPECT_NEAR(pr.f(run.full.data()), pr.f(x.data()), 1.0e-7);
    std::printf("[ cobyla   ] %-30s |x - x_cobyla| = %.2e  f - f_cobyla = %.2e\n", pr.name.c_str(),
                distance(run.full, x), pr.f(run.full.data()) - pr.f(x.data()));
#endif
    // The restriction remembers its last activation; a second run must not stop on it.
    Solve again(r, pr.f);
    again.minimise(pr.start);
    EXPECT_EQ(again.status, run.status);
    EXPECT_EQ(again.p, run.p);
    EXPECT_EQ(again.fret, run.fret);
    EXPECT_EQ(again.iter, run.iter);
    restriction_kill(r);
  }
}

TEST(RestrictedMinimiser, CrossingStartsAFreshRunSharingTheIterationCount) {
  const Problem pr = problems()[1];  // x + y <= 2, crossed by the second line search
  RESTRICTION *r = pr.make();
  DiagnosticsCapture capture;
  Solve(r, pr.f).minimise(pr.start);
  std::vector<int> numbers;
  for (const auto &line : capture.progress()) {
    EXPECT_EQ(line.first, 1);
    int number = 0;
    if (std::sscanf(line.second.c_str(), "condirmin: iter= %d", &number) == 1)
      numbers.push_back(number);
  }
  // Outer iteration 1 sweeps both directions, then the inner run's first line shows 1 again.
  // Every other number continues the shared count.
  ASSERT_GE(capture.progress().size(), 5u);
  EXPECT_EQ(capture.progress()[2].second.rfind("  dir 1 -> meddE = ", 0), 0u);
  EXPECT_EQ(capture.progress()[3].second, "condirmin: iter= 1\n");
  int fresh = 0;
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (numbers[i] == 1) {
      ++fresh;
    } else {
      EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << "line " << i;
    }
  }
  EXPECT_GE(fresh, 2);
  restriction_kill(r);

  // With one free variable the crossing ends the run: p is fixed by the new equality, while fret
  // keeps the value the line search found beyond the boundary.
  const Problem one = problems()[5];
  r = one.make();
  Solve last(r, one.f);
  last.minimise(one.start);
  EXPECT_EQ(last.p, Vec{1.0});
  EXPECT_EQ(last.iter, 1);
  EXPECT_NEAR(last.fret, 0.0, 1.0e-12);
  restriction_kill(r);
}

TEST(RestrictedMinimiser, EndingTwiceOnTheSameActivationPointStops) {
  // Starts outside x <= 1 at the unconstrained minimum: the first search does not move, cannot
  // cross the boundary (its step is parallel to it) and leaves its end point remembered; the
  // second one ends on the same point, which stops the run.
  RESTRICTION *r = Problem{"", 2, {1, 0}, {1}, {}, {}, nullptr, {}, {}, 0.0}.make();
  DiagnosticsCapture capture;
  Solve run(r, [](const double *x) { return sq(x[0] - 2) + sq(x[1] - 1); });
  run.minimise({2.0, 1.0});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.p, (Vec{2.0, 1.0}));
  EXPECT_EQ(run.iter, 1);
  EXPECT_EQ(capture.progress().size(), 3u);
  EXPECT_TRUE(capture.errors().empty());
  restriction_kill(r);
}

TEST(RestrictedMinimiser, WithoutActiveConstraintsItRetracesTheUnrestrictedMethod) {
  const Function f = [](const double *x) {
    return sq(x[0] - 1) + 3 * sq(x[1] + x[0]) + sq(x[2] - 0.5 * x[1]) + 0.1 * std::pow(x[2], 4);
  };
  RESTRICTION *r = Problem{"", 3, {1, 1, 1}, {100}, {}, {}, nullptr, {}, {}, 0.0}.make();
  Solve restricted(r, f);
  restricted.minimise({2.0, 2.0, 2.0});
  Solve plain(r, f);
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
  RESTRICTION *r = pr.make();
  // Five reported working allocations, three silent ones, then the line storage of a size not
  // used before: without it every line search is skipped.
  for (int k = 0; k <= 8; ++k) {
    SCOPED_TRACE(k);
    DiagnosticsCapture capture;
    RESTRICTION *wide = Problem{"", 7, {}, {}, {}, {}, nullptr, {}, {}, 0.0}.make();
    Solve run(k < 8 ? r : wide, [](const double *x) { return x[0] * x[0] + x[1] * x[1]; });
    const Vec start = k < 8 ? pr.start : Vec(7, 1.0);
    velmora::test_hooks::fail_allocations_after(k);
    run.minimise(start);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(run.p, start);
    if (k < 8) {
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.iter, -3);
      EXPECT_TRUE(run.calls.empty());
      EXPECT_EQ(capture.error_texts(), k < 5 ? std::vector<std::string>{"condirmin: malloc failed"}
                                             : std::vector<std::string>{});
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(capture.error_texts(), std::vector<std::string>(7, "linmin: malloc failed"));
    }
    restriction_kill(wide);
  }

  // A function that sinks by 1000 at each new iteration: the shared counter reaches 200.
  DiagnosticsCapture capture;
  Solve sinking(r, [&](const double *x) {
    int iterations = 0;
    for (const auto &line : capture.progress())
      iterations += line.second.rfind("condirmin: iter=", 0) == 0;
    return pr.f(x) - 1000.0 * iterations;
  });
  sinking.minimise(pr.start, 1.0e-12);
  EXPECT_EQ(sinking.status, 0);
  EXPECT_EQ(sinking.iter, 200);
  EXPECT_EQ(capture.error_texts(), std::vector<std::string>{"condirmin: maxiter"});

  // A size that does not match the restriction, or no restriction, is refused untouched.
  Solve wrong(r, pr.f);
  wrong.minimise({0.0, 0.0});
  EXPECT_EQ(wrong.status, 0);
  Vec p = pr.start;
  EXPECT_EQ(condirmin_restr(p.data(), 3, 1.0e-8, &wrong.iter, &wrong.fret, nullptr, &Solve::call,
                            &wrong, nullptr),
            0);
  EXPECT_TRUE(wrong.calls.empty());
  restriction_kill(r);
}

}  // namespace
