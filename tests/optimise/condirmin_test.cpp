#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/condirmin_internal.h"
#include "optimise_test_functions.h"
#include "support/diagnostics_capture.h"
#include "velmora/condirmin.h"

namespace {

using velmora::testing::DiagnosticsCapture;
using Vec = std::vector<double>;
using Strings = std::vector<std::string>;
namespace detail = velmora::condirmin_detail;

// An objective that records every point it is called at and how many progress lines had been
// sent by then, so that a test can cut the calls into line searches.
struct Recorder {
  int n;
  std::function<double(const double *)> f;
  const DiagnosticsCapture *capture = nullptr;
  std::vector<Vec> calls = {};
  std::vector<size_t> lines_before = {};
  int status = -1, iter = -7;
  double fret = -7.0;

  static double call(void *user1, void *user2, double *x) {
    auto *self = static_cast<Recorder *>(user1);
    EXPECT_EQ(user2, &self->n);  // passed through unchanged
    self->calls.emplace_back(x, x + self->n);
    self->lines_before.push_back(self->capture ? self->capture->progress().size() : 0);
    return self->f(x);
  }
  Vec minimise(Vec p, double ftol) {
    status = condirmin(p.data(), n, ftol, &iter, &fret, &Recorder::call, this, &n);
    return p;
  }
  // The calls made after progress line `line` and before the next one.
  std::vector<Vec> after_line(size_t line) const {
    std::vector<Vec> group;
    for (size_t c = 0; c < calls.size(); ++c)
      if (lines_before[c] == line + 1) group.push_back(calls[c]);
    return group;
  }
};

Vec difference(const Vec &a, const Vec &b) {
  Vec d(a.size());
  std::transform(a.begin(), a.end(), b.begin(), d.begin(), std::minus<>());
  return d;
}

double distance(const Vec &a, const Vec &b) {
  const Vec d = difference(a, b);
  return std::sqrt(std::inner_product(d.begin(), d.end(), d.begin(), 0.0));
}

TEST(Condirmin, FindsClassicMinimaOnConcurrentThreadsAndInsideItsOwnObjectiveAsAlone) {
  const auto functions = velmora::testing::classic_functions();
  std::vector<Vec> alone(functions.size()), together(functions.size());
  auto solve = [&](size_t i, std::vector<Vec> *out) {  // the point found, then its value
    Recorder r{static_cast<int>(functions[i].start.size()), functions[i].f};
    Vec &p = (*out)[i] = r.minimise(functions[i].start, 1.0e-12);
    EXPECT_TRUE(r.status == 1 && r.iter < detail::kMaxIterations) << functions[i].name;
    EXPECT_DOUBLE_EQ(r.fret, functions[i].f(p.data()));
    p.push_back(r.fret);
  };
  for (size_t i = 0; i < functions.size(); ++i) {
    solve(i, &alone);
    EXPECT_NEAR(alone[i].back(), functions[i].fmin, 1.0e-7) << functions[i].name;
    EXPECT_LT(distance(Vec(alone[i].begin(), alone[i].end() - 1), functions[i].minimum),
              functions[i].near)
        << functions[i].name;
  }
  std::vector<std::thread> threads;
  for (size_t i = 0; i < functions.size(); ++i)
    threads.emplace_back(solve, i, &together);
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(together, alone);

  // f(a, b) = min over z of (z - a)^2 + (z - b)^2, plus (a - 1)^2 + (b + 2)^2: the inner minimum
  // is (a - b)^2 / 2, so the outer one lies at (0.25, -1.25) with value 2.25.
  Recorder outer{2, [](const double *x) {
                   Recorder inner{1, [x](const double *z) {
                                    return std::pow(z[0] - x[0], 2) + std::pow(z[0] - x[1], 2);
                                  }};
                   inner.minimise({5.0}, 1.0e-12);
                   return inner.fret + std::pow(x[0] - 1.0, 2) + std::pow(x[1] + 2.0, 2);
                 }};
  DiagnosticsCapture capture;  // not during the threads: it records from one thread only
  EXPECT_LT(distance(outer.minimise({3.0, 3.0}, 1.0e-10), {0.25, -1.25}), 1.0e-4);
  EXPECT_TRUE(outer.status == 1 && std::fabs(outer.fret - 2.25) < 1.0e-8);
  EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 2);
  EXPECT_TRUE(capture.errors().empty());
}

TEST(Condirmin, SearchesFromTZeroAndOneThenReplacesTheDirectionOfLargestDecrease) {
  // A separable bowl: the extrapolated point mirrors the start (fE = fp), nothing is replaced.
  // A narrow valley along (1, 1) entered near its floor: the displacement is searched along and
  // replaces the direction that fell furthest, which the start decides.
  auto valley = [](const double *x) {
    return std::pow(x[0] - x[1], 2) + 0.01 * std::pow(x[0] + x[1], 2);
  };
  struct Case {
    std::function<double(const double *)> f;
    Vec start;
    int ibig;  // -1: nothing replaced
  };
  const Case cases[] = {{[](const double *x) { return x[0] * x[0] + x[1] * x[1]; }, {1, 1}, -1},
                        {valley, {10.3, 10.0}, 0},
                        {valley, {10.1, 10.0}, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ibig);
    DiagnosticsCapture capture;
    Recorder r{2, c.f, &capture};
    r.minimise(c.start, 1.0e-10);
    ASSERT_TRUE(r.iter >= 2 && r.status == 1 && capture.errors().empty());
    EXPECT_TRUE(r.calls[0] == c.start && r.lines_before[0] == 0u);  // before any progress
    // After dir 1 of iteration 1: the extrapolated point 2 p1 - p0, then, when replacing, a line
    // search from p1 whose t = 1 is that same point.
    const auto extra = r.after_line(2);
    ASSERT_EQ(extra.size() > 1, c.ibig >= 0);
    EXPECT_TRUE(c.ibig < 0 ? extra[0] == Vec({-1, -1}) : distance(extra[0], extra[2]) < 1.0e-12);
    // Each line search evaluates t = 0, then t = 1: along unit vectors in iteration 1, and in
    // iteration 2 (from p2) along p2 - p1 in place of the replaced direction.
    const Vec p2 = r.after_line(3)[0];
    for (int line : {0, 1, 3, 4}) {
      const int i = line % 3;
      const auto group = r.after_line(static_cast<size_t>(line));
      const Vec unit{i == 0 ? 1.0 : 0.0, i == 1 ? 1.0 : 0.0};
      const Vec expected = line > 2 && i == c.ibig ? difference(p2, extra[1]) : unit;
      EXPECT_LT(distance(difference(group[1], group[0]), expected), 1.0e-12) << "line " << line;
    }
    // Per iteration an "iter" line and one line per direction, all at level 1.
    char last[64];
    std::snprintf(last, sizeof last, "  dir 1 -> meddE = %lf\n", r.fret);
    EXPECT_EQ(capture.progress().at(3), std::make_pair(1, std::string("condirmin: iter= 2\n")));
    EXPECT_EQ(capture.progress().back(), std::make_pair(1, std::string(last)));
  }
}

TEST(Condirmin, StoppingRulesComeInTheirOrderBeforeTheIterationLimit) {
  struct Case {
    double fp, fret;
    bool stop;
  };
  const Case cases[] = {
      {10.0, 9.996, true},             // relative: 1e-3 * 19.996 >= 0.008
      {0.5, 0.5 - 0.9e-3, true},       // absolute only: relative needs <= 0.0005
      {1.5, 1.5 - 2.0e-3, false},      // |fp| > 1: no absolute test
      {-1.0, -1.0 + 0.9999e-3, true},  // |fp| = 1 takes the absolute test; relative fails
  };
  for (const Case &c : cases)
    EXPECT_EQ(detail::stopping_rule_met(1.0e-3, c.fp, c.fret), c.stop) << c.fp << " " << c.fret;

  // A function that sinks by 1000 at every iteration meets no rule and ends after 200, before
  // extrapolating; when it stops sinking for the 200th iteration, the rule wins over the limit
  // and nothing is evaluated after the last line search either.
  for (bool settles_at_last : {false, true}) {
    SCOPED_TRACE(settles_at_last);
    DiagnosticsCapture cap;
    Recorder r{2,
               [&](const double *x) {
                 int level = 0;
                 for (const auto &line : cap.progress())
                   level += line.second.rfind("condirmin: iter=", 0) == 0;
                 level = settles_at_last ? std::min(level, 199) : level;
                 return std::pow(x[0] - 3.0, 2) + std::pow(x[1] + 1.0, 2) - 1000.0 * level;
               },
               &cap};
    const Vec p = r.minimise({0.0, 0.0}, 1.0e-12);
    EXPECT_TRUE(r.iter == 200 && r.status == (settles_at_last ? 1 : 0));
    EXPECT_EQ(cap.error_texts(), settles_at_last ? Strings{} : Strings{"condirmin: maxiter"});
    EXPECT_EQ(r.lines_before.back(), 599u);
    EXPECT_LT(distance(p, {3.0, -1.0}), 1.0e-4);
    EXPECT_DOUBLE_EQ(r.fret, r.f(p.data()));
  }
}

TEST(LineSearch, BrentReportsWhenItsStepsRunOut) {
  // A negative tolerance makes the convergence test unreachable: 200 steps, then a report.
  DiagnosticsCapture capture;
  int calls = 0;
  auto g = [&](double t) { return ++calls, (t - 0.3) * (t - 0.3); };
  const detail::LineFunction line{
      [](void *ctx, double t) { return (*static_cast<decltype(g) *>(ctx))(t); }, &g};
  double xmin = 0.0;
  const double fmin = detail::brent(0.0, 0.5, 1.0, line, -1.0, &xmin);
  EXPECT_TRUE(calls == 201 && fmin == (xmin - 0.3) * (xmin - 0.3));
  EXPECT_EQ(capture.error_texts(), Strings{"brent: too many iter"});
  EXPECT_NEAR(xmin, 0.3, 1.0e-3);
}

TEST(Condirmin, FailedAllocationsAreReportedAndReleased) {
  auto bowl = [](const double *x) { return x[0] * x[0] + std::pow(x[1] - 1.0, 2); };
  // Four working arrays, then the line storage when the dimension differs from the last run's:
  // without it every line search is skipped and the unchanged value stops the run at once, which
  // is no success: the run never searched.
  Recorder{2, bowl}.minimise({3.0, 3.0}, 1.0e-8);
  struct Case {
    int n, successes;
    Strings errors;
    int status;
  };
  const Case cases[] = {
      {-1, -1, {"condirmin: malloc failed"}, 0},  // a negative size
      {2, 0, {"condirmin: malloc failed"}, 0},
      {2, 3, {"condirmin: malloc failed"}, 0},
      {2, 4, {}, 1},  // same dimension: the line storage is kept
      {3, 4, Strings(3, "linmin: malloc failed"), 0},
      {2, -1, {}, 1},  // the old dimension again: nothing stale is left behind
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.successes);
    DiagnosticsCapture capture;
    Recorder r{c.n, bowl};
    const Vec start(static_cast<size_t>(std::max(c.n, 0)), 3.0);
    velmora::test_hooks::fail_allocations_after(c.successes);
    const Vec p = r.minimise(start, 1.0e-8);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_TRUE(r.status == c.status && capture.error_texts() == c.errors);
    if (c.errors == Strings{"condirmin: malloc failed"}) {  // nothing evaluated, nothing written
      EXPECT_TRUE(p == start && r.iter == -7 && r.calls.empty());
    } else {  // without line storage only the start is evaluated, and the storage is dropped
      EXPECT_TRUE(c.errors.empty() ? std::fabs(p[1] - 1.0) < 1.0e-6
                                   : p == start && r.calls.size() == 1u && r.iter == 1 &&
                                         r.fret == bowl(start.data()));
      EXPECT_EQ(detail::test_hooks::line_cache_dimension(), c.errors.empty() ? 2 : 0);
    }
  }
}

}  // namespace
