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
#include "optimise_test_functions.h"
#include "support/diagnostics_capture.h"
#include "velmora/condirmin.h"

namespace {

using velmora::testing::DiagnosticsCapture;
using Vec = std::vector<double>;
namespace detail = velmora::condirmin_detail;

// An objective that records every point it is called at and how many progress lines had been
// sent by then, so that a test can cut the calls into line searches.
struct Recorder {
  Recorder(int n_, std::function<double(const double *)> f_,
           const DiagnosticsCapture *capture_ = nullptr)
      : n(n_), f(std::move(f_)), capture(capture_) {}
  int n;
  std::function<double(const double *)> f;
  const DiagnosticsCapture *capture;
  std::vector<Vec> calls;
  std::vector<size_t> lines_before;
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
  for (size_t i = 0; i < a.size(); ++i)
    d[i] = a[i] - b[i];
  return d;
}

double norm(const Vec &a) {
  double s = 0.0;
  for (double v : a)
    s += v * v;
  return std::sqrt(s);
}

int iteration_lines(const DiagnosticsCapture &capture) {
  int count = 0;
  for (const auto &line : capture.progress())
    count += line.second.rfind("condirmin: iter=", 0) == 0;
  return count;
}

TEST(Condirmin, FindsTheKnownMinimaOfClassicFunctions) {
  for (const auto &tf : velmora::testing::classic_functions()) {
    SCOPED_TRACE(tf.name);
    DiagnosticsCapture capture;
    Recorder r{static_cast<int>(tf.start.size()), tf.f};
    const Vec p = r.minimise(tf.start, 1.0e-12);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_LT(r.iter, detail::kMaxIterations);
    EXPECT_NEAR(r.fret, tf.fmin, 1.0e-7);
    EXPECT_DOUBLE_EQ(r.fret, tf.f(p.data()));
    if (!tf.minimum.empty()) {
      EXPECT_LT(norm(difference(p, tf.minimum)), 1.0e-3);
    }
  }
}

TEST(Condirmin, LineSearchesStartAtTheirPointAndOneStepAwayAndReportTheirValues) {
  DiagnosticsCapture capture;
  Recorder r{3,
             [](const double *x) {
               return std::pow(x[0] - 1.0, 2) + 2.0 * std::pow(x[1] + x[0], 2) +
                      3.0 * std::pow(x[2] - 0.5 * x[1], 2);
             },
             &capture};
  const Vec start{0.5, -2.0, 4.0};
  r.minimise(start, 1.0e-10);
  ASSERT_EQ(r.status, 1);
  // The start value comes first, before any progress; then each line search of iteration 1
  // evaluates t = 0 and t = 1 along a unit vector first.
  EXPECT_EQ(r.calls[0], start);
  EXPECT_EQ(r.lines_before[0], 0u);
  for (int i = 0; i < 3; ++i) {
    const auto group = r.after_line(static_cast<size_t>(i));
    ASSERT_GE(group.size(), 3u);
    const Vec step = difference(group[1], group[0]);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(step[j], i == j ? 1.0 : 0.0) << "direction " << i << " component " << j;
  }
  // Per iteration an "iter" line numbered from 1 and one line per direction, all at level 1.
  ASSERT_EQ(capture.progress().size(), static_cast<size_t>(4 * r.iter));
  for (int k = 0; k < r.iter; ++k) {
    EXPECT_EQ(capture.progress()[4 * k].second, "condirmin: iter= " + std::to_string(k + 1) + "\n");
    for (int i = 0; i < 3; ++i) {
      int dir = -1;
      const std::string &line = capture.progress()[4 * k + 1 + i].second;
      EXPECT_EQ(std::sscanf(line.c_str(), "  dir %d -> meddE = %*f\n", &dir), 1) << line;
      EXPECT_EQ(dir, i);
    }
  }
  for (const auto &line : capture.progress())
    EXPECT_EQ(line.first, 1);
  char last[64];
  std::snprintf(last, sizeof last, "  dir 2 -> meddE = %lf\n", r.fret);
  EXPECT_EQ(capture.progress().back().second, last);
  EXPECT_TRUE(capture.errors().empty());
}

TEST(Condirmin, DisplacementReplacesOnlyTheDirectionOfLargestDecrease) {
  struct Case {
    const char *name;
    std::function<double(const double *)> f;
    Vec start;
    bool replaced;
    int ibig;
  };
  // A separable bowl: the extrapolated point mirrors the start (fE = fp), nothing is replaced.
  // A narrow valley along (1, 1) entered near its floor: the displacement is searched along and
  // replaces the direction that fell furthest, which the start decides.
  auto valley = [](const double *x) {
    return std::pow(x[0] - x[1], 2) + 0.01 * std::pow(x[0] + x[1], 2);
  };
  const Case cases[] = {
      {"bowl", [](const double *x) { return x[0] * x[0] + x[1] * x[1]; }, {1, 1}, false, 0},
      {"valley, x falls furthest", valley, {10.3, 10.0}, true, 0},
      {"valley, y falls furthest", valley, {10.1, 10.0}, true, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DiagnosticsCapture capture;
    Recorder r{2, c.f, &capture};
    r.minimise(c.start, 1.0e-10);
    ASSERT_GE(r.iter, 2);
    // After dir 1 of iteration 1: the extrapolated point 2 p1 - p0, then, when replacing, a line
    // search from p1 whose t = 1 is that same point.
    const auto extra = r.after_line(2);
    ASSERT_EQ(extra.size() > 1, c.replaced);
    if (!c.replaced) {
      EXPECT_EQ(extra[0], (Vec{-1, -1}));
    } else {
      EXPECT_LT(norm(difference(extra[0], extra[2])), 1.0e-12);
    }
    // Iteration 2 starts at p2: the replaced direction is p2 - p1, the others are unit vectors.
    const Vec p2 = r.after_line(3)[0];
    for (int i = 0; i < 2; ++i) {
      const auto group = r.after_line(static_cast<size_t>(3 + i));
      const Vec step = difference(group[1], group[0]);
      const Vec expected =
          c.replaced && i == c.ibig ? difference(p2, extra[1]) : (i == 0 ? Vec{1, 0} : Vec{0, 1});
      EXPECT_LT(norm(difference(step, expected)), 1.0e-12) << "direction " << i;
    }
  }
}

TEST(Condirmin, StoppingRulesComeInTheirOrderBeforeTheIterationLimit) {
  struct Case {
    double ftol, fp, fret;
    bool stop;
  };
  const Case cases[] = {
      {1.0e-3, 10.0, 9.996, true},          // relative: 1e-3 * 19.996 >= 0.008
      {1.0e-3, 0.5, 0.5 - 0.9e-3, true},    // absolute only: relative needs <= 0.0005
      {1.0e-3, 0.5, 0.5 - 1.1e-3, false},   // beyond ftol
      {1.0e-3, 1.5, 1.5 - 2.0e-3, false},   // |fp| > 1: no absolute test
      {1.0e-3, -1.0, -1.0 - 1.0e-3, true},  // |fp| = 1 still takes the absolute test
  };
  for (const Case &c : cases)
    EXPECT_EQ(detail::stopping_rule_met(c.ftol, c.fp, c.fret), c.stop) << c.fp << " " << c.fret;

  // One variable from 0.5, gaining 0.0008 < ftol: stops after one iteration, and nothing is
  // evaluated after its line search (no extrapolation).
  DiagnosticsCapture capture;
  Recorder one{1, [](const double *x) { return 0.4992 + 0.0008 * std::pow(x[0] - 1.0, 2); },
               &capture};
  EXPECT_NEAR(one.minimise({0.0}, 1.0e-3)[0], 1.0, 1.0e-6);
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.iter, 1);
  EXPECT_EQ(one.lines_before.back(), 1u);

  // A function that sinks by 1000 at every iteration meets no rule and ends after 200, before
  // extrapolating; when it stops sinking for the 200th iteration, the rule wins over the limit.
  for (bool settles_at_last : {false, true}) {
    SCOPED_TRACE(settles_at_last);
    DiagnosticsCapture cap;
    Recorder r{2, nullptr, &cap};
    r.f = [&](const double *x) {
      const int level =
          settles_at_last ? std::min(iteration_lines(cap), 199) : iteration_lines(cap);
      return std::pow(x[0] - 3.0, 2) + std::pow(x[1] + 1.0, 2) - 1000.0 * level;
    };
    const Vec p = r.minimise({0.0, 0.0}, 1.0e-12);
    EXPECT_EQ(r.iter, 200);
    EXPECT_EQ(r.status, settles_at_last ? 1 : 0);
    EXPECT_EQ(cap.error_texts(), settles_at_last ? std::vector<std::string>{}
                                                 : std::vector<std::string>{"condirmin: maxiter"});
    EXPECT_EQ(cap.progress().size(), 600u);
    EXPECT_EQ(r.lines_before.back(), 599u);
    EXPECT_LT(norm(difference(p, {3.0, -1.0})), 1.0e-4);
    EXPECT_DOUBLE_EQ(r.fret, r.f(p.data()));
  }
}

TEST(LineSearch, BracketStartsAtZeroAndOneAndBrentRefinesInsideIt) {
  const std::function<double(double)> cases[] = {
      [](double t) { return (t - 0.4) * (t - 0.4); },
      [](double t) { return (t - 50.0) * (t - 50.0); },  // far downhill
      [](double t) { return (t + 3.0) * (t + 3.0); },    // uphill from t = 1
      [](double t) { return std::pow(t - 7.5, 4) - t; },
  };
  for (const auto &g : cases) {
    std::vector<double> at;
    auto record = [&](double t) {
      at.push_back(t);
      return g(t);
    };
    const detail::LineFunction lf{
        [](void *ctx, double t) { return (*static_cast<decltype(record) *>(ctx))(t); }, &record};
    double ax = 0.0, bx = 1.0, cx = 0.0, fa = 0.0, fb = 0.0, fc = 0.0;
    detail::linmin_bracket(&ax, &bx, &cx, &fa, &fb, &fc, lf);
    ASSERT_GE(at.size(), 3u);
    EXPECT_EQ(at[0], 0.0);
    EXPECT_EQ(at[1], 1.0);
    EXPECT_TRUE((ax < bx && bx < cx) || (cx < bx && bx < ax));
    EXPECT_LE(fb, fa);
    EXPECT_LE(fb, fc);
    EXPECT_EQ(fb, g(bx));
    double xmin = 0.0;
    const double fmin = detail::brent(ax, bx, cx, lf, detail::kLineTolerance, &xmin);
    EXPECT_EQ(fmin, g(xmin));
    EXPECT_LE(fmin, fb);
  }

  // A negative tolerance makes the convergence test unreachable: 200 steps, then a report.
  DiagnosticsCapture capture;
  int calls = 0;
  auto g = [&](double t) {
    ++calls;
    return (t - 0.3) * (t - 0.3);
  };
  const detail::LineFunction lf{
      [](void *ctx, double t) { return (*static_cast<decltype(g) *>(ctx))(t); }, &g};
  double xmin = 0.0;
  const double fmin = detail::brent(0.0, 0.5, 1.0, lf, -1.0, &xmin);
  EXPECT_EQ(fmin, (xmin - 0.3) * (xmin - 0.3));
  EXPECT_EQ(calls, 201);
  EXPECT_EQ(capture.error_texts(), std::vector<std::string>{"brent: too many iter"});
  EXPECT_NEAR(xmin, 0.3, 1.0e-3);
}

TEST(Condirmin, FailedAllocationsAreReportedAndReleased) {
  auto bowl = [](const double *x) { return x[0] * x[0] + std::pow(x[1] - 1.0, 2); };
  struct Case {
    int n, successes;
    std::vector<std::string> errors;
    int status;
  };
  // Four working arrays, then the line storage when the dimension differs from the last run's:
  // without it every line search is skipped and the unchanged value stops the run at once.
  Recorder warm{2, bowl};
  warm.minimise({3.0, 3.0}, 1.0e-8);
  const Case cases[] = {
      {2, 0, {"condirmin: malloc failed"}, 0},
      {2, 3, {"condirmin: malloc failed"}, 0},
      {2, 4, {}, 1},  // same dimension: the line storage is kept
      {3, 4, std::vector<std::string>(3, "linmin: malloc failed"), 1},
      {2, -1, {}, 1},  // the old dimension again: nothing stale is left behind
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.successes);
    DiagnosticsCapture capture;
    Recorder r{c.n, bowl};
    const Vec start(static_cast<size_t>(c.n), 3.0);
    velmora::test_hooks::fail_allocations_after(c.successes);
    const Vec p = r.minimise(start, 1.0e-8);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(capture.error_texts(), c.errors);
    if (c.status == 0) {
      EXPECT_EQ(p, start);
      EXPECT_EQ(r.iter, -7);
      EXPECT_TRUE(r.calls.empty());
    } else if (!c.errors.empty()) {
      EXPECT_EQ(p, start);
      EXPECT_EQ(r.calls.size(), 1u);
      EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 0);
    } else {
      EXPECT_NEAR(p[1], 1.0, 1.0e-6);
      EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 2);
    }
  }
}

TEST(Condirmin, RunsOnSeveralThreadsAndInsideItsOwnObjectiveAsOnOne) {
  const auto functions = velmora::testing::classic_functions();
  auto solve = [&](size_t which) {
    Recorder r{static_cast<int>(functions[which].start.size()), functions[which].f};
    Vec p = r.minimise(functions[which].start, 1.0e-10);
    p.push_back(r.fret);
    p.push_back(r.iter);
    return p;
  };
  std::vector<Vec> alone, together(functions.size() * 3);
  for (size_t i = 0; i < functions.size(); ++i)
    alone.push_back(solve(i));
  std::vector<std::thread> threads;
  for (size_t t = 0; t < together.size(); ++t)
    threads.emplace_back([&, t] { together[t] = solve(t % functions.size()); });
  for (auto &th : threads)
    th.join();
  for (size_t t = 0; t < together.size(); ++t)
    EXPECT_EQ(together[t], alone[t % functions.size()]) << functions[t % functions.size()].name;

  // f(a, b) = min over z of (z - a)^2 + (z - b)^2, plus (a - 1)^2 + (b + 2)^2: the inner minimum
  // is (a - b)^2 / 2, so the outer one lies at (0.25, -1.25) with value 2.25.
  Recorder outer{2, [](const double *x) {
                   Recorder inner{1, [x](const double *z) {
                                    return std::pow(z[0] - x[0], 2) + std::pow(z[0] - x[1], 2);
                                  }};
                   inner.minimise({5.0}, 1.0e-12);
                   return inner.fret + std::pow(x[0] - 1.0, 2) + std::pow(x[1] + 2.0, 2);
                 }};
  DiagnosticsCapture capture;
  const Vec p = outer.minimise({3.0, 3.0}, 1.0e-10);
  EXPECT_EQ(outer.status, 1);
  EXPECT_TRUE(capture.errors().empty());
  EXPECT_LT(norm(difference(p, {0.25, -1.25})), 1.0e-4);
  EXPECT_NEAR(outer.fret, 2.25, 1.0e-8);
  EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 2);
}

}  // namespace
