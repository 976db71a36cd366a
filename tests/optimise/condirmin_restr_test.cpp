#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/condirmin_internal.h"
#include "optimise/restriction_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/condirmin.h"

#ifdef VELMORA_HAVE_NLOPT
#include <nlopt.h>
#endif

namespace {

using velmora::testing::DiagnosticsCapture;
using Function = std::function<double(const double *)>;

// A constrained problem with its known optimum (full vector).
struct Problem {
  std::string name;
  int n;
  std::vector<double> ineq, bounds, eq, values;
  Function f;
  std::vector<double> start;  // free vector
  std::vector<double> optimum;
  double fmin;

  int k() const { return static_cast<int>(bounds.size()); }
  int m() const { return static_cast<int>(values.size()); }
  RESTRICTION *make() const {
    return restriction_new(ineq.data(), bounds.data(), k(), eq.data(), values.data(), m(), n);
  }
};

double squared(double v) {
  return v * v;
}

RESTRICTION *make_restriction(const std::vector<double> &ineq, const std::vector<double> &bounds,
                              const std::vector<double> &eq, const std::vector<double> &values,
                              int n) {
  return restriction_new(ineq.data(), bounds.data(), static_cast<int>(bounds.size()), eq.data(),
                         values.data(), static_cast<int>(values.size()), n);
}

std::vector<Problem> problems() {
  std::vector<Problem> list;
  {
    // Nearest point to c on the plane a . x = b: x = c - a (a . c - b) / |a|^2.
    const std::vector<double> a{1, 2, -1, 0.5}, c{1, -1, 2, 0.3};
    const double b = 3.0;
    double ac = 0.0, aa = 0.0;
    for (int i = 0; i < 4; ++i) {
      ac += a[i] * c[i];
      aa += a[i] * a[i];
    }
    std::vector<double> opt(4);
    for (int i = 0; i < 4; ++i)
      opt[i] = c[i] - a[i] * (ac - b) / aa;
    list.push_back({"one equality",
                    4,
                    {},
                    {},
                    a,
                    {b},
                    [c](const double *x) {
                      double s = 0.0;
                      for (int i = 0; i < 4; ++i)
                        s += squared(x[i] - c[i]);
                      return s;
                    },
                    {0, 0, 0},
                    opt,
                    squared(ac - b) / aa});
  }
  const Function bowl = [](const double *x) { return squared(x[0] - 2) + squared(x[1] - 2); };
  list.push_back({"one inequality", 2, {1, 1}, {2}, {}, {}, bowl, {0, 0}, {1, 1}, 2.0});
  list.push_back(
      {"two inequalities", 2, {1, 1, 1, 0}, {2, 0.5}, {}, {}, bowl, {0, 0}, {0.5, 1.5}, 2.5});
  list.push_back(
      {"box",
       3,
       {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1},
       {1, 0, 1, 0, 1, 0},
       {},
       {},
       [](const double *x) { return squared(x[0] - 2) + squared(x[1] + 1) + squared(x[2] - 0.5); },
       {0.5, 0.5, 0.5},
       {1, 0, 0.5},
       2.0});
  list.push_back({"equality and inequality",
                  3,
                  {1, 0, 0},
                  {0.5},
                  {1, 1, 1},
                  {3},
                  [](const double *x) { return x[0] * x[0] + x[1] * x[1] + x[2] * x[2]; },
                  {1.5, 1.5},
                  {0.5, 1.25, 1.25},
                  3.375});
  list.push_back({"one free variable",
                  2,
                  {1, 0},
                  {1},
                  {1, -1},
                  {0},
                  [](const double *x) { return squared(x[0] - 3) + squared(x[1] - 3); },
                  {0},
                  {1, 1},
                  8.0});
  return list;
}

// An objective that records the full vectors it is called with.
struct Recorder {
  Recorder(Function f_, int n_) : f(std::move(f_)), n(n_) {}
  Function f;
  int n;
  std::vector<std::vector<double>> calls;

  static double call(void *user1, void *, double *x) {
    auto *self = static_cast<Recorder *>(user1);
    self->calls.emplace_back(x, x + self->n);
    return self->f(x);
  }
};

struct Result {
  int status = -1;
  int iter = 0;
  double fret = 0.0;
  std::vector<double> p, full;
};

Result minimise(RESTRICTION *r, std::vector<double> start, Recorder &rec, double ftol = 1.0e-10) {
  Result res;
  res.p = std::move(start);
  res.status = condirmin_restr(res.p.data(), static_cast<int>(res.p.size()), ftol, &res.iter,
                               &res.fret, r, &Recorder::call, &rec, nullptr);
  res.full.assign(static_cast<size_t>(r->nVars), 0.0);
  velmora::restriction_apply(r, res.p.data(), res.full.data());
  return res;
}

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

double max_violation(const Problem &pr, const std::vector<double> &x) {
  double worst = 0.0;
  for (int row = 0; row < pr.k(); ++row) {
    double s = 0.0;
    for (int i = 0; i < pr.n; ++i)
      s += pr.ineq[static_cast<size_t>(row * pr.n + i)] * x[i];
    worst = std::fmax(worst, s - pr.bounds[static_cast<size_t>(row)]);
  }
  return worst;
}

double distance(const std::vector<double> &a, const std::vector<double> &b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    s += squared(a[i] - b[i]);
  return std::sqrt(s);
}

TEST(RestrictedMinimiser, SolvesConstrainedProblemsWithKnownOptima) {
  for (const Problem &pr : problems()) {
    SCOPED_TRACE(pr.name);
    DiagnosticsCapture capture;
    RESTRICTION *r = pr.make();
    ASSERT_NE(r, nullptr);
    Recorder rec{pr.f, pr.n};
    const Result res = minimise(r, pr.start, rec);
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_LT(distance(res.full, pr.optimum), 5.0e-5);
    EXPECT_NEAR(pr.f(res.full.data()), pr.fmin, 1.0e-8);
    EXPECT_LT(max_violation(pr, res.full), 1.0e-9);
    // Every call sees a full vector that satisfies the caller's equalities.
    for (const auto &x : rec.calls) {
      ASSERT_EQ(x.size(), static_cast<size_t>(pr.n));
      EXPECT_LT(equality_residual(r, x), 1.0e-9);
    }
    std::printf("[ optimum  ] %-24s |x - x*| = %.2e  f - f* = %.2e  calls %zu\n", pr.name.c_str(),
                distance(res.full, pr.optimum), pr.f(res.full.data()) - pr.fmin, rec.calls.size());
    restriction_kill(r);
  }
}

TEST(RestrictedMinimiser, SolvingTwiceWithOneRestrictionGivesTheSameAnswer) {
  for (const Problem &pr : problems()) {
    SCOPED_TRACE(pr.name);
    RESTRICTION *r = pr.make();
    Recorder rec{pr.f, pr.n};
    const Result first = minimise(r, pr.start, rec);
    const Result second = minimise(r, pr.start, rec);
    EXPECT_EQ(second.status, first.status);
    EXPECT_EQ(second.p, first.p);
    EXPECT_EQ(second.fret, first.fret);
    EXPECT_EQ(second.iter, first.iter);
    restriction_kill(r);
  }
}

TEST(RestrictedMinimiser, CrossingStartsAFreshRunInTheSmallerSpace) {
  const Problem pr = problems()[1];  // x + y <= 2 crossed by the second line search
  RESTRICTION *r = pr.make();
  Recorder rec{pr.f, pr.n};
  DiagnosticsCapture capture;
  const Result res = minimise(r, pr.start, rec);
  EXPECT_EQ(res.status, 1);
  std::vector<int> numbers;
  std::vector<std::string> lines;
  for (const auto &line : capture.progress()) {
    EXPECT_EQ(line.first, 1);
    lines.push_back(line.second);
    int number = 0;
    if (std::sscanf(line.second.c_str(), "condirmin: iter= %d", &number) == 1)
      numbers.push_back(number);
  }
  // Outer iteration 1 sweeps both directions; the crossing in direction 1 starts an inner run
  // whose first line shows 1 again. Every later number continues the shared count.
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "condirmin: iter= 1\n");
  EXPECT_EQ(lines[1].rfind("  dir 0 -> meddE = ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("  dir 1 -> meddE = ", 0), 0u);
  EXPECT_EQ(lines[3], "condirmin: iter= 1\n");
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
}

TEST(RestrictedMinimiser, LastFreeVariableIsFixedByTheCrossedInequality) {
  // x0 = x1 (x0 dependent, x1 free) and x0 <= 1; the line search goes to (3, 3).
  RESTRICTION *r = make_restriction({1, 0}, {1}, {1, -1}, {0}, 2);
  ASSERT_NE(r, nullptr);
  Recorder rec{[](const double *x) { return squared(x[0] - 3) + squared(x[1] - 3); }, 2};
  DiagnosticsCapture capture;
  const Result res = minimise(r, {0.0}, rec);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.p[0], 1.0);
  EXPECT_EQ(res.iter, 1);
  // fret is still the value the line search found beyond the boundary.
  EXPECT_NEAR(res.fret, 0.0, 1.0e-12);
  ASSERT_EQ(capture.progress().size(), 2u);
  restriction_kill(r);
}

TEST(RestrictedMinimiser, EndingTwiceOnTheSameActivationPointStops) {
  // Starts outside x <= 1 at the unconstrained minimum: the first search does not move, cannot
  // cross the boundary (the step is parallel to it) and leaves its end point remembered; the
  // second search ends on the same point, which stops the run.
  RESTRICTION *r = make_restriction({1, 0}, {1}, {}, {}, 2);
  Recorder rec{[](const double *x) { return squared(x[0] - 2) + squared(x[1] - 1); }, 2};
  DiagnosticsCapture capture;
  const Result res = minimise(r, {2.0, 1.0}, rec);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.p, (std::vector<double>{2.0, 1.0}));
  EXPECT_EQ(res.iter, 1);
  EXPECT_EQ(capture.progress().size(), 3u);
  EXPECT_TRUE(capture.errors().empty());
  restriction_kill(r);
}

TEST(RestrictedMinimiser, WithoutActiveConstraintsItRetracesTheUnrestrictedMethod) {
  const Function f = [](const double *x) {
    return squared(x[0] - 1) + 3 * squared(x[1] + x[0]) + squared(x[2] - 0.5 * x[1]) +
           0.1 * std::pow(x[2], 4);
  };
  RESTRICTION *r = make_restriction({1, 1, 1}, {100}, {}, {}, 3);
  Recorder restricted{f, 3};
  const Result res = minimise(r, {2.0, 2.0, 2.0}, restricted);
  Recorder plain{f, 3};
  std::vector<double> p{2.0, 2.0, 2.0};
  int iter = 0;
  double fret = 0.0;
  ASSERT_EQ(condirmin(p.data(), 3, 1.0e-10, &iter, &fret, &Recorder::call, &plain, nullptr), 1);
  // Both evaluate the same points up to the unrestricted run's stopping test; the restricted one
  // then still extrapolates before testing.
  ASSERT_GE(restricted.calls.size(), plain.calls.size());
  for (size_t c = 0; c < plain.calls.size(); ++c)
    ASSERT_EQ(restricted.calls[c], plain.calls[c]) << "call " << c;
  EXPECT_EQ(res.status, 1);
  EXPECT_LT(distance(res.p, p), 1.0e-4);
  restriction_kill(r);
}

TEST(RestrictedMinimiser, MaxiterFailuresAndBadArguments) {
  const Problem pr = problems()[0];
  RESTRICTION *r = pr.make();
  // Working storage: five reported allocations, then three silent ones.
  for (int k = 0; k < 8; ++k) {
    SCOPED_TRACE(k);
    DiagnosticsCapture capture;
    Recorder rec{pr.f, pr.n};
    std::vector<double> p = pr.start;
    int iter = -3;
    double fret = -3.0;
    velmora::test_hooks::fail_allocations_after(k);
    const int status =
        condirmin_restr(p.data(), 3, 1.0e-8, &iter, &fret, r, &Recorder::call, &rec, nullptr);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(capture.error_texts(), k < 5 ? std::vector<std::string>{"condirmin: malloc failed"}
                                           : std::vector<std::string>{});
    EXPECT_EQ(p, pr.start);
    EXPECT_EQ(iter, -3);
    EXPECT_TRUE(rec.calls.empty());
  }

  // A line storage of another size that cannot be had skips every line search.
  {
    DiagnosticsCapture capture;
    RESTRICTION *wide = restriction_new(nullptr, nullptr, 0, nullptr, nullptr, 0, 7);
    Recorder rec{[](const double *x) { return x[0] * x[0] + x[6] * x[6]; }, 7};
    std::vector<double> p(7, 1.0);
    int iter = 0;
    double fret = 0.0;
    velmora::test_hooks::fail_allocations_after(8);
    EXPECT_EQ(
        condirmin_restr(p.data(), 7, 1.0e-8, &iter, &fret, wide, &Recorder::call, &rec, nullptr),
        1);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>(7, "linmin: malloc failed"));
    EXPECT_EQ(p, std::vector<double>(7, 1.0));
    restriction_kill(wide);
  }

  // The shared counter reaching 200 ends the run.
  {
    DiagnosticsCapture capture;
    Recorder rec{nullptr, pr.n};
    rec.f = [&](const double *x) {
      int iterations = 0;
      for (const auto &line : capture.progress())
        iterations += line.second.rfind("condirmin: iter=", 0) == 0;
      return pr.f(x) - 1000.0 * iterations;
    };
    const Result res = minimise(r, pr.start, rec, 1.0e-12);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.iter, 200);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>{"condirmin: maxiter"});
  }

  Recorder rec{pr.f, pr.n};
  std::vector<double> p = pr.start;
  int iter = 0;
  double fret = 0.0;
  EXPECT_EQ(condirmin_restr(p.data(), 2, 1.0e-8, &iter, &fret, r, &Recorder::call, &rec, nullptr),
            0);
  EXPECT_EQ(
      condirmin_restr(p.data(), 3, 1.0e-8, &iter, &fret, nullptr, &Recorder::call, &rec, nullptr),
      0);
  EXPECT_TRUE(rec.calls.empty());
  restriction_kill(r);
}

TEST(RestrictedMinimiser, RunsOnSeveralThreadsAsOnOne) {
  const auto list = problems();
  std::vector<Result> alone;
  for (const Problem &pr : list) {
    RESTRICTION *r = pr.make();
    Recorder rec{pr.f, pr.n};
    alone.push_back(minimise(r, pr.start, rec));
    restriction_kill(r);
  }
  std::vector<Result> together(list.size() * 2);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < together.size(); ++t)
    threads.emplace_back([&, t] {
      const Problem &pr = list[t % list.size()];
      RESTRICTION *r = pr.make();
      Recorder rec{pr.f, pr.n};
      for (int repeat = 0; repeat < 3; ++repeat)
        together[t] = minimise(r, pr.start, rec);
      restriction_kill(r);
    });
  for (auto &th : threads)
    th.join();
  for (size_t t = 0; t < together.size(); ++t) {
    EXPECT_EQ(together[t].p, alone[t % list.size()].p);
    EXPECT_EQ(together[t].fret, alone[t % list.size()].fret);
  }
}

#ifdef VELMORA_HAVE_NLOPT
struct NloptRow {
  const double *row;
  double bound;
  int n;
};

double nlopt_objective(unsigned, const double *x, double *, void *data) {
  return (*static_cast<const Function *>(data))(x);
}

double nlopt_row(unsigned, const double *x, double *, void *data) {
  const auto *c = static_cast<const NloptRow *>(data);
  double s = -c->bound;
  for (int i = 0; i < c->n; ++i)
    s += c->row[i] * x[i];
  return s;
}

TEST(RestrictedMinimiser, AgreesWithCobyla) {
  auto list = problems();
  list.push_back(
      {"Rosenbrock below x + y = 1.5",
       2,
       {1, 1},
       {1.5},
       {},
       {},
       [](const double *x) { return 100.0 * squared(x[1] - x[0] * x[0]) + squared(1.0 - x[0]); },
       {-1.2, 1.0},
       {},
       0.0});
  for (const Problem &pr : list) {
    SCOPED_TRACE(pr.name);
    RESTRICTION *r = pr.make();
    Recorder rec{pr.f, pr.n};
    const Result ours = minimise(r, pr.start, rec, 1.0e-12);

    nlopt_opt opt = nlopt_create(NLOPT_LN_COBYLA, static_cast<unsigned>(pr.n));
    nlopt_set_min_objective(opt, nlopt_objective, const_cast<Function *>(&pr.f));
    std::vector<NloptRow> rows;
    for (int i = 0; i < pr.k(); ++i)
      rows.push_back({pr.ineq.data() + i * pr.n, pr.bounds[static_cast<size_t>(i)], pr.n});
    for (int i = 0; i < pr.m(); ++i)
      rows.push_back({pr.eq.data() + i * pr.n, pr.values[static_cast<size_t>(i)], pr.n});
    for (int i = 0; i < pr.k() + pr.m(); ++i) {
      if (i < pr.k()) {
        nlopt_add_inequality_constraint(opt, nlopt_row, &rows[static_cast<size_t>(i)], 1e-12);
      } else {
        nlopt_add_equality_constraint(opt, nlopt_row, &rows[static_cast<size_t>(i)], 1e-12);
      }
    }
    nlopt_set_xtol_rel(opt, 1.0e-12);
    nlopt_set_maxeval(opt, 200000);
    std::vector<double> x = ours.full;
    for (double &v : x)
      v = 0.0;
    double fmin = 0.0;
    const nlopt_result status = nlopt_optimize(opt, x.data(), &fmin);
    nlopt_destroy(opt);
    EXPECT_GT(status, 0);
    EXPECT_LT(distance(ours.full, x), 1.0e-4);
    EXPECT_NEAR(pr.f(ours.full.data()), fmin, 1.0e-7);
    std::printf("[ cobyla   ] %-30s |x - x_cobyla| = %.2e  f - f_cobyla = %.2e\n", pr.name.c_str(),
                distance(ours.full, x), pr.f(ours.full.data()) - fmin);
    restriction_kill(r);
  }
}
#endif

}  // namespace
