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
namespace detail = velmora::condirmin_detail;

// An objective that records every point it is called at, and how many progress lines had been
// sent by then, so a test can cut the calls into line searches.
struct Recorder {
  Recorder(int n_, std::function<double(const double *)> f_,
           const DiagnosticsCapture *capture_ = nullptr)
      : n(n_), f(std::move(f_)), capture(capture_) {}

  int n;
  std::function<double(const double *)> f;
  const DiagnosticsCapture *capture;
  std::vector<std::vector<double>> calls;
  std::vector<size_t> lines_before;

  static double call(void *user1, void *user2, double *x) {
    auto *self = static_cast<Recorder *>(user1);
    EXPECT_EQ(user2, &kUser2);
    self->calls.emplace_back(x, x + self->n);
    self->lines_before.push_back(self->capture ? self->capture->progress().size() : 0);
    return self->f(x);
  }
  int minimise(std::vector<double> &p, double ftol, int *iter, double *fret) {
    return condirmin(p.data(), n, ftol, iter, fret, &Recorder::call, this, &kUser2);
  }
  // Calls made after progress line `line` was sent and before the next one.
  std::vector<std::vector<double>> calls_after_line(size_t line) const {
    std::vector<std::vector<double>> group;
    for (size_t c = 0; c < calls.size(); ++c)
      if (lines_before[c] == line + 1) group.push_back(calls[c]);
    return group;
  }
  static int kUser2;
};
int Recorder::kUser2 = 0;

double distance(const std::vector<double> &a, const std::vector<double> &b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    s += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(s);
}

std::vector<double> difference(const std::vector<double> &a, const std::vector<double> &b) {
  std::vector<double> d(a.size());
  for (size_t i = 0; i < a.size(); ++i)
    d[i] = a[i] - b[i];
  return d;
}

bool starts_with(const std::string &s, const char *prefix) {
  return s.rfind(prefix, 0) == 0;
}

TEST(Condirmin, FindsTheKnownMinimaOfClassicFunctions) {
  for (const auto &tf : velmora::testing::classic_functions()) {
    SCOPED_TRACE(tf.name);
    DiagnosticsCapture capture;
    Recorder r{static_cast<int>(tf.start.size()), tf.f};
    std::vector<double> p = tf.start;
    int iter = -1;
    double fret = -1.0;
    EXPECT_EQ(r.minimise(p, 1.0e-12, &iter, &fret), 1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_GE(iter, 1);
    EXPECT_LT(iter, detail::kMaxIterations);
    EXPECT_NEAR(fret, tf.fmin, 1.0e-7);
    EXPECT_DOUBLE_EQ(fret, tf.f(p.data()));
    if (!tf.minimum.empty()) {
      EXPECT_LT(distance(p, tf.minimum), 1.0e-3);
    }
  }
}

TEST(Condirmin, OneVariableAlternatesLineSearchAndExtrapolation) {
  DiagnosticsCapture capture;
  Recorder r{1, [](const double *x) { return std::pow(x[0] - 2.0, 4) + 1.0; }, &capture};
  std::vector<double> p{-3.0};
  int iter = 0;
  double fret = 0.0;
  EXPECT_EQ(r.minimise(p, 1.0e-10, &iter, &fret), 1);
  EXPECT_NEAR(p[0], 2.0, 2.0e-2);
  EXPECT_NEAR(fret, 1.0, 1.0e-7);
  // Progress alternates "iter", "dir 0"; between a dir line and the next iter line the only
  // calls are the extrapolated point and, when taken, the line search along the displacement.
  ASSERT_EQ(capture.progress().size(), static_cast<size_t>(2 * iter));
  for (int k = 0; k < iter; ++k) {
    EXPECT_EQ(capture.progress()[2 * k].second, "condirmin: iter= " + std::to_string(k + 1) + "\n");
    EXPECT_TRUE(starts_with(capture.progress()[2 * k + 1].second, "  dir 0 -> meddE = "));
  }
}

TEST(Condirmin, EveryLineSearchStartsAtTheStartPointAndOneDirectionStepAway) {
  DiagnosticsCapture capture;
  Recorder r{3,
             [](const double *x) {
               return std::pow(x[0] - 1.0, 2) + 2.0 * std::pow(x[1] + x[0], 2) +
                      3.0 * std::pow(x[2] - 0.5 * x[1], 2);
             },
             &capture};
  std::vector<double> start{0.5, -2.0, 4.0};
  std::vector<double> p = start;
  int iter = 0;
  double fret = 0.0;
  EXPECT_EQ(r.minimise(p, 1.0e-10, &iter, &fret), 1);
  ASSERT_GE(iter, 2);

  // The first call is the start point itself, before any progress line.
  ASSERT_FALSE(r.calls.empty());
  EXPECT_EQ(r.calls[0], start);
  EXPECT_EQ(r.lines_before[0], 0u);
  // In the first iteration the line searches run along the unit vectors.
  for (int i = 0; i < 3; ++i) {
    const auto group = r.calls_after_line(static_cast<size_t>(i));
    ASSERT_GE(group.size(), 3u);
    const auto step = difference(group[1], group[0]);
    for (int j = 0; j < 3; ++j)
      EXPECT_DOUBLE_EQ(step[j], i == j ? 1.0 : 0.0) << "direction " << i << " component " << j;
  }
  // Every progress line has level 1.
  for (const auto &line : capture.progress())
    EXPECT_EQ(line.first, 1);
  EXPECT_TRUE(capture.errors().empty());
}

TEST(Condirmin, ProgressLinesNumberIterationsFromOneAndShowEachLineMinimum) {
  DiagnosticsCapture capture;
  Recorder r{2, [](const double *x) { return std::pow(x[0] - x[1], 2) + 0.1 * x[0] * x[0]; }};
  std::vector<double> p{3.0, -1.0};
  int iter = 0;
  double fret = 0.0;
  EXPECT_EQ(r.minimise(p, 1.0e-8, &iter, &fret), 1);
  ASSERT_EQ(capture.progress().size(), static_cast<size_t>(3 * iter));
  for (int k = 0; k < iter; ++k) {
    EXPECT_EQ(capture.progress()[3 * k].second, "condirmin: iter= " + std::to_string(k + 1) + "\n");
    for (int i = 0; i < 2; ++i) {
      const std::string &line = capture.progress()[3 * k + 1 + i].second;
      int dir = -1;
      double value = NAN;
      ASSERT_EQ(std::sscanf(line.c_str(), "  dir %d -> meddE = %lf\n", &dir, &value), 2) << line;
      EXPECT_EQ(dir, i);
      EXPECT_EQ(line.back(), '\n');
    }
  }
  char last[64];
  std::snprintf(last, sizeof last, "  dir 1 -> meddE = %lf\n", fret);
  EXPECT_EQ(capture.progress().back().second, last);
}

TEST(Condirmin, ExtrapolationNoBetterThanTheStartKeepsTheDirectionSet) {
  // Separable: one sweep reaches the minimum, the extrapolated point mirrors the start (fE = fp).
  DiagnosticsCapture capture;
  Recorder r{2, [](const double *x) { return x[0] * x[0] + x[1] * x[1]; }, &capture};
  std::vector<double> p{1.0, 1.0};
  int iter = 0;
  double fret = 0.0;
  EXPECT_EQ(r.minimise(p, 1.0e-10, &iter, &fret), 1);
  ASSERT_EQ(iter, 2);
  // After the dir 1 line of iteration 1 comes the extrapolated point only.
  const auto extrapolation = r.calls_after_line(2);
  ASSERT_EQ(extrapolation.size(), 1u);
  EXPECT_NEAR(extrapolation[0][0], -1.0, 1.0e-9);
  EXPECT_NEAR(extrapolation[0][1], -1.0, 1.0e-9);
  // Iteration 2 still searches along the unit vectors.
  for (int i = 0; i < 2; ++i) {
    const auto group = r.calls_after_line(static_cast<size_t>(3 + i));
    ASSERT_GE(group.size(), 2u);
    const auto step = difference(group[1], group[0]);
    EXPECT_DOUBLE_EQ(step[i], 1.0);
    EXPECT_DOUBLE_EQ(step[1 - i], 0.0);
  }
}

TEST(Condirmin, DisplacementReplacesTheDirectionOfLargestDecrease) {
  for (int wanted : {0, 1}) {
    SCOPED_TRACE(wanted);
    DiagnosticsCapture capture;
    // A narrow valley along (1, 1), entered near its floor so that the first sweep still falls
    // steeply along its displacement; the start decides which direction falls furthest.
    Recorder r{
        2,
        [](const double *x) { return std::pow(x[0] - x[1], 2) + 0.01 * std::pow(x[0] + x[1], 2); },
        &capture};
    std::vector<double> p =
        wanted == 0 ? std::vector<double>{10.3, 10.0} : std::vector<double>{10.1, 10.0};
    int iter = 0;
    double fret = 0.0;
    r.minimise(p, 1.0e-10, &iter, &fret);
    ASSERT_GE(iter, 2);

    // Largest decrease of iteration 1, from the start value and the two dir lines.
    double values[3] = {r.calls[0].empty() ? 0.0 : r.f(r.calls[0].data()), 0.0, 0.0};
    for (int i = 0; i < 2; ++i)
      std::sscanf(capture.progress()[1 + i].second.c_str(), "  dir %*d -> meddE = %lf",
                  &values[1 + i]);
    const int ibig = std::fabs(values[0] - values[1]) >= std::fabs(values[1] - values[2]) ? 0 : 1;
    ASSERT_EQ(ibig, wanted);

    // After dir 1: the extrapolated point 2 p1 - p0, then a line search from p1 along p1 - p0.
    const auto extra = r.calls_after_line(2);
    ASSERT_GE(extra.size(), 4u) << "the displacement was not searched along";
    const std::vector<double> &p1 = extra[1];
    EXPECT_LT(distance(extra[0], extra[2]), 1.0e-12);  // t = 1 is the extrapolated point
    // Iteration 2 starts at p2: direction ibig is the scaled displacement p2 - p1, the other
    // one is still a unit vector.
    const auto p2 = r.calls_after_line(3)[0];
    for (int i = 0; i < 2; ++i) {
      const auto group = r.calls_after_line(static_cast<size_t>(3 + i));
      ASSERT_GE(group.size(), 2u);
      const auto step = difference(group[1], group[0]);
      if (i == ibig) {
        const auto expected = difference(p2, p1);
        EXPECT_NEAR(step[0], expected[0], 1.0e-12);
        EXPECT_NEAR(step[1], expected[1], 1.0e-12);
      } else {
        EXPECT_DOUBLE_EQ(step[i], 1.0);
        EXPECT_DOUBLE_EQ(step[1 - i], 0.0);
      }
    }
  }
}

TEST(Condirmin, StoppingRulesComeInTheirOrder) {
  struct Case {
    double ftol, fp, fret;
    bool stop;
  };
  const Case cases[] = {
      {1.0e-3, 10.0, 9.996, true},          // relative: 1e-3 * 19.996 >= 0.008
      {1.0e-3, 10.0, 9.9, false},           // neither
      {1.0e-3, 0.5, 0.5 - 0.5e-3, true},    // absolute only: relative needs <= 0.0005
      {1.0e-3, 0.5, 0.5 - 0.9e-3, true},    // absolute only
      {1.0e-3, 0.5, 0.5 - 1.1e-3, false},   // beyond ftol
      {1.0e-3, 1.5, 1.5 - 0.9e-3, true},    // relative
      {1.0e-3, 1.5, 1.5 - 2.0e-3, false},   // |fp| > 1: no absolute test
      {1.0e-3, -1.0, -1.0 - 1.0e-3, true},  // |fp| = 1 still takes the absolute test
      {0.0, 0.0, 0.0, true},                // no change at all
  };
  for (const Case &c : cases)
    EXPECT_EQ(detail::stopping_rule_met(c.ftol, c.fp, c.fret), c.stop)
        << c.ftol << " " << c.fp << " " << c.fret;

  // End to end: an iteration from 0.5 that gains 0.0008 < ftol stops at once with result 1, and
  // nothing is evaluated after the last line search (no extrapolation).
  DiagnosticsCapture capture;
  Recorder r{1, [](const double *x) { return 0.4992 + 0.0008 * std::pow(x[0] - 1.0, 2); },
             &capture};
  std::vector<double> p{0.0};
  int iter = 0;
  double fret = 0.0;
  EXPECT_EQ(r.minimise(p, 1.0e-3, &iter, &fret), 1);
  EXPECT_EQ(iter, 1);
  EXPECT_NEAR(p[0], 1.0, 1.0e-6);
  EXPECT_EQ(r.lines_before.back(), 1u);
}

TEST(Condirmin, TwoHundredIterationsEndTheRunBeforeExtrapolating) {
  for (bool settles_at_last : {false, true}) {
    SCOPED_TRACE(settles_at_last);
    DiagnosticsCapture capture;
    // The function sinks by 1000 at each new iteration, so no stopping rule can hold, unless it
    // stops sinking for the 200th iteration, whose test then ends the run with result 1.
    Recorder r{2, nullptr, &capture};
    r.f = [&](const double *x) {
      int iterations = 0;
      for (const auto &line : capture.progress())
        iterations += starts_with(line.second, "condirmin: iter=");
      if (settles_at_last && iterations > 199) iterations = 199;
      return std::pow(x[0] - 3.0, 2) + std::pow(x[1] + 1.0, 2) - 1000.0 * iterations;
    };
    std::vector<double> p{0.0, 0.0};
    int iter = 0;
    double fret = 0.0;
    const int result = r.minimise(p, 1.0e-12, &iter, &fret);
    EXPECT_EQ(iter, 200);
    EXPECT_EQ(result, settles_at_last ? 1 : 0);
    EXPECT_EQ(capture.error_texts(), settles_at_last
                                         ? std::vector<std::string>{}
                                         : std::vector<std::string>{"condirmin: maxiter"});
    // Last progress line is dir 1 of iteration 200; no call follows it.
    EXPECT_EQ(capture.progress().size(), 600u);
    EXPECT_EQ(r.lines_before.back(), 599u);
    EXPECT_NEAR(p[0], 3.0, 1.0e-4);
    EXPECT_NEAR(p[1], -1.0, 1.0e-4);
    EXPECT_DOUBLE_EQ(fret, r.f(p.data()));
  }
}

TEST(Condirmin, EqualDecreasesKeepTheFirstDirection) {
  double del = 0.0;
  int ibig = 0;
  detail::note_decrease(3.0, 2.0, 0, &del, &ibig);
  detail::note_decrease(2.0, 1.0, 1, &del, &ibig);
  EXPECT_EQ(ibig, 0);
  detail::note_decrease(1.0, -0.5, 2, &del, &ibig);
  EXPECT_EQ(ibig, 2);
  EXPECT_DOUBLE_EQ(del, 1.5);
  detail::note_decrease(-0.5, 1.5, 3, &del, &ibig);  // an increase counts by magnitude
  EXPECT_EQ(ibig, 3);
}

TEST(Condirmin, ReplacementNeedsABetterExtrapolationAndANegativeTest) {
  struct Case {
    double fp, fret, fe, del;
    bool wanted;
  };
  const Case cases[] = {
      {10.0, 5.0, 10.0, 4.0, false},  // fE = fp
      {10.0, 5.0, 11.0, 4.0, false},  // fE > fp
      {10.0, 5.0, 4.0, 4.0, false},   // t = 2 * 4 * 36 - 4 * 36 = 144
      {10.0, 9.0, 8.9, 0.5, false},   // t = 2 * 0.9 * 1.21 - 0.5 * 1.21 > 0
      {10.0, 4.0, 1.0, 7.0, true},    // t = 2 * 3 * 81 - 7 * 81 = -81
  };
  for (const Case &c : cases)
    EXPECT_EQ(detail::replacement_wanted(c.fp, c.fret, c.fe, c.del), c.wanted)
        << c.fp << " " << c.fret << " " << c.fe << " " << c.del;
}

TEST(LineSearch, BracketStartsAtBothAbscissasAndEndsAroundALowerPoint) {
  struct Case {
    const char *name;
    std::function<double(double)> g;
  };
  const Case cases[] = {
      {"minimum inside", [](double t) { return (t - 0.4) * (t - 0.4); }},
      {"far downhill", [](double t) { return (t - 50.0) * (t - 50.0); }},
      {"uphill from 1", [](double t) { return (t + 3.0) * (t + 3.0); }},
      {"quartic", [](double t) { return std::pow(t - 7.5, 4) - t; }},
      {"cosine", [](double t) { return std::cos(t); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> at;
    auto record = [&](double t) {
      at.push_back(t);
      return c.g(t);
    };
    const detail::LineFunction g{
        [](void *ctx, double t) { return (*static_cast<decltype(record) *>(ctx))(t); }, &record};
    double ax = 0.0, bx = 1.0, cx = 0.0, fa = 0.0, fb = 0.0, fc = 0.0;
    detail::linmin_bracket(&ax, &bx, &cx, &fa, &fb, &fc, g);
    ASSERT_GE(at.size(), 3u);
    EXPECT_EQ(at[0], 0.0);
    EXPECT_EQ(at[1], 1.0);
    EXPECT_TRUE((ax < bx && bx < cx) || (cx < bx && bx < ax));
    EXPECT_LE(fb, fa);
    EXPECT_LE(fb, fc);
    EXPECT_EQ(fa, c.g(ax));
    EXPECT_EQ(fb, c.g(bx));
    EXPECT_EQ(fc, c.g(cx));

    double xmin = 0.0;
    const double fmin = detail::brent(ax, bx, cx, g, detail::kLineTolerance, &xmin);
    EXPECT_EQ(fmin, c.g(xmin));
    EXPECT_LE(fmin, fb);
  }
}

TEST(LineSearch, BrentIsolatesTheMinimumToTheRequestedPrecision) {
  struct Case {
    double centre, tol;
  };
  for (const Case c : {Case{2.0, 1.0e-4}, Case{-30.0, 1.0e-6}, Case{0.0, 1.0e-3}}) {
    auto g = [&](double t) { return std::pow(t - c.centre, 2) * (2.0 + std::sin(t)); };
    const detail::LineFunction lf{
        [](void *ctx, double t) { return (*static_cast<decltype(g) *>(ctx))(t); }, &g};
    double ax = c.centre - 3.0, bx = c.centre + 0.7, cx = c.centre + 5.0, xmin = 0.0;
    const double fmin = detail::brent(ax, bx, cx, lf, c.tol, &xmin);
    EXPECT_NEAR(xmin, c.centre, 4.0 * (c.tol * std::fabs(c.centre) + 1.0e-10) + 1.0e-9);
    EXPECT_EQ(fmin, g(xmin));
  }
}

TEST(LineSearch, BrentGivesUpAfterTwoHundredStepsWithTheBestPoint) {
  DiagnosticsCapture capture;
  int calls = 0;
  auto g = [&](double t) {
    ++calls;
    return (t - 0.3) * (t - 0.3);
  };
  const detail::LineFunction lf{
      [](void *ctx, double t) { return (*static_cast<decltype(g) *>(ctx))(t); }, &g};
  double xmin = 0.0;
  // A negative tolerance makes the convergence test unreachable.
  const double fmin = detail::brent(0.0, 0.5, 1.0, lf, -1.0, &xmin);
  EXPECT_EQ(calls, 201);
  EXPECT_EQ(capture.error_texts(), std::vector<std::string>{"brent: too many iter"});
  EXPECT_EQ(fmin, (xmin - 0.3) * (xmin - 0.3));
  EXPECT_NEAR(xmin, 0.3, 1.0e-3);
}

TEST(LineSearch, LinminScalesTheDirectionAndMovesThePoint) {
  int calls = 0;
  auto f = [&](const double *x) {
    ++calls;
    return std::pow(x[0] - 1.0, 2) + std::pow(x[1] - 2.0, 2);
  };
  const detail::Objective objective{
      [](void *u1, void *, double *x) { return (*static_cast<decltype(f) *>(u1))(x); }, &f,
      nullptr};
  double p[2] = {0.0, 0.0};
  double xi[2] = {0.5, 1.0};  // the minimum (1, 2) lies at t = 2
  double fret = -1.0;
  detail::linmin(p, xi, 2, &fret, objective);
  EXPECT_NEAR(p[0], 1.0, 1.0e-6);
  EXPECT_NEAR(p[1], 2.0, 1.0e-6);
  EXPECT_NEAR(xi[0], 1.0, 1.0e-6);
  EXPECT_NEAR(xi[1], 2.0, 1.0e-6);
  EXPECT_NEAR(fret, 0.0, 1.0e-12);
  EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 2);
}

TEST(Condirmin, FailedAllocationsAreReportedAndReleased) {
  auto bowl = [](const double *x) { return x[0] * x[0] + std::pow(x[1] - 1.0, 2); };
  // Working storage: four allocations; each failure ends the run untouched.
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    DiagnosticsCapture capture;
    Recorder r{2, bowl};
    std::vector<double> p{3.0, 3.0};
    int iter = -7;
    double fret = -7.0;
    velmora::test_hooks::fail_allocations_after(k);
    const int result = r.minimise(p, 1.0e-8, &iter, &fret);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>{"condirmin: malloc failed"});
    EXPECT_EQ(p, (std::vector<double>{3.0, 3.0}));
    EXPECT_EQ(iter, -7);
    EXPECT_EQ(fret, -7.0);
    EXPECT_TRUE(r.calls.empty());
  }

  // The line storage is kept between runs of the same dimension ...
  {
    Recorder r{2, bowl};
    std::vector<double> p{3.0, 3.0};
    int iter = 0;
    double fret = 0.0;
    ASSERT_EQ(r.minimise(p, 1.0e-8, &iter, &fret), 1);
    DiagnosticsCapture capture;
    p = {3.0, 3.0};
    velmora::test_hooks::fail_allocations_after(4);
    EXPECT_EQ(r.minimise(p, 1.0e-8, &iter, &fret), 1);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_NEAR(p[1], 1.0, 1.0e-6);
  }

  // ... and reallocated for another one: when that fails, every line search is skipped and the
  // run stops at once with the start point (no change is a stopping rule).
  {
    DiagnosticsCapture capture;
    Recorder r{3, [](const double *x) { return x[0] * x[0] + x[1] * x[1] + x[2] * x[2]; }};
    std::vector<double> p{1.0, 2.0, 3.0};
    int iter = 0;
    double fret = 0.0;
    velmora::test_hooks::fail_allocations_after(4);
    EXPECT_EQ(r.minimise(p, 1.0e-8, &iter, &fret), 1);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>(3, "linmin: malloc failed"));
    EXPECT_EQ(p, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(fret, 14.0);
    EXPECT_EQ(iter, 1);
    EXPECT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 0);
  }

  // A failed reallocation leaves no stale storage behind: the old dimension works again.
  {
    DiagnosticsCapture capture;
    Recorder r{2, bowl};
    std::vector<double> p{3.0, 3.0};
    int iter = 0;
    double fret = 0.0;
    EXPECT_EQ(r.minimise(p, 1.0e-8, &iter, &fret), 1);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_NEAR(p[0], 0.0, 1.0e-6);
    EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 2);
  }
}

TEST(Condirmin, RunsOnSeveralThreadsAsOnOne) {
  const auto functions = velmora::testing::classic_functions();
  struct Outcome {
    std::vector<double> p;
    double fret = 0.0;
    int iter = 0;
    int result = -1;
  };
  auto solve = [&](size_t which) {
    const auto &tf = functions[which];
    Outcome o{tf.start};
    condirmin(
        o.p.data(), static_cast<int>(o.p.size()), 1.0e-10, &o.iter, &o.fret,
        [](void *u1, void *, double *x) {
          return static_cast<const velmora::testing::TestFunction *>(u1)->f(x);
        },
        const_cast<velmora::testing::TestFunction *>(&tf), nullptr);
    return o;
  };
  std::vector<Outcome> alone;
  for (size_t i = 0; i < functions.size(); ++i)
    alone.push_back(solve(i));

  std::vector<Outcome> together(functions.size() * 3);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < together.size(); ++t)
    threads.emplace_back([&, t] {
      for (int repeat = 0; repeat < 3; ++repeat)
        together[t] = solve(t % functions.size());
    });
  for (auto &th : threads)
    th.join();
  for (size_t t = 0; t < together.size(); ++t) {
    const Outcome &a = alone[t % functions.size()];
    EXPECT_EQ(together[t].p, a.p) << functions[t % functions.size()].name;
    EXPECT_EQ(together[t].fret, a.fret);
    EXPECT_EQ(together[t].iter, a.iter);
    EXPECT_EQ(together[t].result, a.result);
  }
}

TEST(Condirmin, AnObjectiveMayMinimiseInTurn) {
  // f(a, b) = min over z of (z - a)^2 + (z - b)^2, plus (a - 1)^2 + (b + 2)^2; the inner minimum
  // is (a - b)^2 / 2, so the outer one lies at a = 0.25, b = -1.25 with value 2.25.
  auto inner = [](void *u1, void *, double *z) {
    const double *ab = static_cast<const double *>(u1);
    return std::pow(z[0] - ab[0], 2) + std::pow(z[0] - ab[1], 2);
  };
  auto outer = [](void *u1, void *, double *x) {
    double z = 5.0, value = 0.0;
    int iter = 0;
    condirmin(&z, 1, 1.0e-12, &iter, &value, *static_cast<condirmin_func *>(u1), x, nullptr);
    return value + std::pow(x[0] - 1.0, 2) + std::pow(x[1] + 2.0, 2);
  };
  condirmin_func inner_f = inner;
  double p[2] = {3.0, 3.0};
  int iter = 0;
  double fret = 0.0;
  DiagnosticsCapture capture;
  EXPECT_EQ(condirmin(p, 2, 1.0e-10, &iter, &fret, outer, &inner_f, nullptr), 1);
  EXPECT_TRUE(capture.errors().empty());
  EXPECT_NEAR(p[0], 0.25, 1.0e-4);
  EXPECT_NEAR(p[1], -1.25, 1.0e-4);
  EXPECT_NEAR(fret, 2.25, 1.0e-8);
  EXPECT_EQ(detail::test_hooks::line_cache_dimension(), 2);
}

}  // namespace
