#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/dhsm_internal.h"
#include "optimise_test_functions.h"
#include "support/diagnostics_capture.h"
#include "velmora/dhsm.h"

namespace {

using Point = std::vector<double>;

// A solver on an objective that records every point it is given; info counts the calls.
struct Solver {
  int n;
  std::function<double(const double *)> f;
  SFM_DHSM *s;
  std::vector<Point> calls;
  Solver(int n_, std::function<double(const double *)> f_, dhsm_convergence conv = nullptr)
      : n(n_), f(std::move(f_)), s(dhsm_new(objective, conv, n_)) {}
  ~Solver() { dhsm_kill(s); }
  static double objective(double *, const void *data, int *info, double *x) {
    auto *run = static_cast<Solver *>(const_cast<void *>(data));
    run->calls.emplace_back(x, x + run->n);
    if (info != nullptr) ++*info;
    return run->f(x);
  }
  int solve(Point &x, double tol, int maxiter, double *fmin, int *info = nullptr) {
    return dhsm_solve(s, nullptr, this, info, tol, x.data(), maxiter, fmin);
  }
  Point vertex(int j) const { return Point(s->simplex + j * n, s->simplex + (j + 1) * n); }
};

std::vector<double> measures;  // what fixed_measure returns at each call, the last repeated
size_t measure_calls;
double fixed_measure(const SFM_DHSM *, double *, const void *, int *, int, int) {
  return measures[std::min(measure_calls++, measures.size() - 1)];
}

double sphere(const double *x) {
  return x[0] * x[0] + x[1] * x[1];
}

TEST(DownhillSimplex, FindsClassicMinimaWithPerThreadTolerancesOnConcurrentThreadsAsWhenAlone) {
  const auto classic = velmora::testing::classic_functions();
  using Results = std::vector<std::tuple<Point, double, int>>;
  auto run_all = [&](double tol, Results *results) {
    for (const auto &tf : classic) {
      Solver run(static_cast<int>(tf.start.size()), tf.f);
      Point x = tf.start;
      double fmin = 1e300;
      int calls = 0, result = -1;
      // Restarting from the point found is the usual remedy for a simplex that degenerated.
      for (int solve = 0; solve < 3 && result != 0; ++solve)
        result = run.solve(x, tol, 5000, &fmin, &calls);
      EXPECT_EQ(calls, static_cast<int>(run.calls.size()));
      results->emplace_back(x, fmin, result);
    }
  };
  Results tight, loose, tight_together, loose_together;
  run_all(1e-10, &tight);
  run_all(1e-2, &loose);
  std::thread threads[] = {std::thread(run_all, 1e-10, &tight_together),
                           std::thread(run_all, 1e-2, &loose_together)};
  for (size_t i = 0; i < classic.size(); ++i) {
    SCOPED_TRACE(classic[i].name);
    const auto &[x, fmin, result] = tight[i];
    // About the ellipsoid's zero coordinate the default measure's relative probes keep finding
    // lower values: its solves end at the iteration limit, at the minimum nonetheless.
    EXPECT_EQ(result, classic[i].name == "ShiftedEllipsoid10" ? -1 : 0);
    EXPECT_TRUE(std::fabs(fmin - classic[i].fmin) <= 1e-8 && fmin == classic[i].f(x.data()));
    for (size_t k = 0; k < classic[i].minimum.size(); ++k)
      EXPECT_NEAR(x[k], classic[i].minimum[k], 1e-4) << "coordinate " << k;
  }
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(tight_together, tight);
  EXPECT_EQ(loose_together, loose);
}

TEST(DownhillSimplex, TakesReflectionExpansionContractionAndShrinkInTheGivenOrder) {
  // One iteration on the start simplex (0,0), (1,0), (0,1) with values 1, 2, 3 (worst: vertex 2,
  // centroid of the others (0.5, 0)); the values at the candidate points decide the step.
  const Point v0{0, 0}, v1{1, 0}, v2{0, 1}, refl{1, -1}, expd{1.5, -2}, half1{0.5, 0},
      half2{0, 0.5};
  const Point inner{0.25, 0.5}, outer{0.75, -0.5};  // contractions toward v2 and toward refl
  struct StepCase {
    std::map<Point, double> values;  // besides the vertices
    std::vector<Point> calls;        // after the three vertices
    Point replacement;               // of v2; empty for a shrink
  };
  const StepCase cases[] = {
      {{{refl, 0.5}, {expd, 0.2}}, {refl, expd}, expd},  // expansion kept
      {{{refl, 0.5}, {expd, 0.7}}, {refl, expd}, refl},  // expansion refused
      {{{refl, 1.0}, {expd, 0.2}}, {refl, expd}, expd},  // a reflection equal to the best expands
      {{{refl, 1.5}}, {refl}, refl},                     // reflection below the second worst
      {{{refl, 2.5}, {outer, 2.2}}, {refl, outer}, outer},
      {{{refl, 3.5}, {inner, 2.9}}, {refl, inner}, inner},
      {{{refl, 3.5}, {inner, 3.5}, {half1, 9}, {half2, 9}}, {refl, inner, half1, half2}, {}}};
  for (const StepCase &sc : cases) {
    std::map<Point, double> values = sc.values;
    values.insert({{v0, 1.0}, {v1, 2.0}, {v2, 3.0}});
    Solver run(
        2,
        [&](const double *x) { return values.try_emplace(Point(x, x + 2), 100.0).first->second; },
        fixed_measure);
    measures = {1.0, 0.0};  // not converged at the first ranking, converged at the second
    measure_calls = 0;
    const double step[] = {1, 1};
    dhsm_init(run.s, nullptr, nullptr, nullptr, nullptr, step, v0.data());
    Point x(2);
    double fmin;
    EXPECT_EQ(run.solve(x, 0.5, 0, &fmin), 0);
    std::vector<Point> expected{v2, v1, v0};
    expected.insert(expected.end(), sc.calls.begin(), sc.calls.end());
    EXPECT_EQ(run.calls, expected);
    EXPECT_EQ((std::vector<Point>{run.vertex(0), run.vertex(1), run.vertex(2)}),
              (sc.replacement.empty() ? std::vector<Point>{v0, half1, half2}
                                      : std::vector<Point>{v0, v1, sc.replacement}));
  }
}

TEST(DownhillSimplex, BuildsTheStartSimplexAndStopsOnAStrictToleranceBeforeTheIterationLimit) {
  // maxiter 0 means 1000 and at most maxiter + 1 iterations run; tol 0 means 1e-7; the measure is
  // compared strictly and ahead of the limit. The start simplex steps by 10% of x's coordinate
  // range, vertex n evaluated first; a converged run ends at the first ranking, on (1, 3) itself.
  struct Case {
    double tol, measure;
    int maxiter, result;
    size_t measure_calls;
  };
  const Case cases[] = {{1e-3, 1e300, 5, -1, 7},  {1e-3, 1e300, 0, -1, 1002},
                        {1e-3, 1e300, -1, -1, 1}, {0.0, 0.99e-7, -1, 0, 1},
                        {0.0, 1e-7, -1, -1, 1},   {0.5, 0.4, 3, 0, 1},
                        {0.5, 0.5, -1, -1, 1}};
  const std::vector<Point> start_calls{{1, 3.2}, {1.2, 3}, {1, 3}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.tol << " " << c.measure << " " << c.maxiter);
    Solver run(2, sphere, fixed_measure);
    measures = {c.measure};
    measure_calls = 0;
    Point x{1, 3};
    double fmin = -1;
    EXPECT_EQ(run.solve(x, c.tol, c.maxiter, &fmin), c.result);
    EXPECT_EQ(measure_calls, c.measure_calls);
    EXPECT_EQ(fmin, sphere(x.data()));
    EXPECT_EQ(run.calls == start_calls && x == start_calls[2], c.measure_calls == 1);
  }
  // An initialised simplex serves one solve: vertex 1 pulled back toward the lower bound, vertex 2,
  // without one, two steps back. The next solve starts from x again, stepping 0.1 for a range of 0.
  Solver run(2, sphere, fixed_measure);
  measures = {0.0};
  const int has_low[] = {1, 0}, has_high[] = {1, 1};
  const double low[] = {0, 0}, high[] = {1.5, 1.5}, step[] = {1, 1}, x0[] = {1, 1};
  EXPECT_EQ(dhsm_init(run.s, has_low, has_high, low, high, step, x0), 0);
  Point x{7, 7};
  double fmin;
  EXPECT_EQ(run.solve(x, 1.0, 0, &fmin), 0);
  ASSERT_EQ(run.calls.size(), 3u);
  EXPECT_TRUE(run.calls[0] == Point({1, -1}) && run.calls[2] == Point({1, 1}));
  EXPECT_DOUBLE_EQ(run.calls[1][0], 0.9);
  run.calls.clear();
  EXPECT_EQ(run.solve(x = {7, 7}, 1.0, 0, &fmin), 0);
  EXPECT_EQ(run.calls, (std::vector<Point>{{7, 7.1}, {7.1, 7}, {7, 7}}));
}

TEST(DownhillSimplex, DefaultMeasureProbesAroundTheBestVertexBeforeAcceptingConvergence) {
  // A simplex 1e-9 wide at the best vertex 0 of a bowl about `centre`; outside a solve the
  // tolerance is the default 1e-7. At the minimum all four probes fail and d is returned; beside
  // it the first probe finds a lower value and tol + d is returned. A coordinate that is exactly
  // 0 is probed by the largest coordinate's width, not by a width of 0.
  const struct {
    Point best, centre;
    size_t probes;
  } cases[] = {{{1, 1}, {1, 1}, 4}, {{1, 1}, {2, 1}, 1}, {{0, 1}, {0.004, 1}, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.centre[0] << " " << c.best[0]);
    Solver run(2, [&](const double *x) {
      return std::pow(x[0] - c.centre[0], 2) + std::pow(x[1] - c.centre[1], 2);
    });
    const double simplex[] = {c.best[0], c.best[1], c.best[0] + 1e-9,
                              c.best[1], c.best[0], c.best[1] + 1e-9};
    std::copy(simplex, simplex + 6, run.s->simplex);
    for (int j = 0; j < 3; ++j)
      run.s->values[j] = run.f(run.s->simplex + 2 * j);
    const bool at_minimum = c.best == c.centre;
    EXPECT_NEAR(dhsm_conv_default(run.s, nullptr, &run, nullptr, 1, 0),
                at_minimum ? 1e-9 : 1e-7 + 1e-9, 1e-15);
    EXPECT_EQ(run.calls.size(), c.probes);
  }
}

// Among equal values the best vertex is the first one; ties do not move it to the last. A
// constant objective thus converges at once on vertex 1 of the start simplex.
TEST(DownhillSimplex, TiedBestVerticesResolveToTheFirstAndAConstantObjectiveConvergesAtOnce) {
  static std::vector<std::pair<int, int>> ranked;  // (ihi, ilo) at each ranking
  const auto record = [](const SFM_DHSM *, double *, const void *, int *, int ihi, int ilo) {
    ranked.emplace_back(ihi, ilo);
    return 0.0;
  };
  const Point x0{1, 2, 3};
  const double step[] = {1, 1, 1};
  const struct {
    std::vector<double> values;  // of vertices 0 .. 3
    int ihi, ilo;
  } cases[] = {{{5, 1, 7, 1}, 2, 1}, {{1, 3, 1, 2}, 1, 0}, {{4, 4, 4, 4}, 1, 1}};
  for (const auto &c : cases) {
    Solver run(
        3,
        [&](const double *x) {
          // Vertex j > 0 is x0 with 1 added to coordinate j - 1.
          for (int j = 1; j <= 3; ++j)
            if (x[j - 1] != x0[j - 1]) return c.values[j];
          return c.values[0];
        },
        record);
    ranked.clear();
    dhsm_init(run.s, nullptr, nullptr, nullptr, nullptr, step, x0.data());
    Point x(3);
    double fmin;
    EXPECT_EQ(run.solve(x, 0.5, 0, &fmin), 0);
    EXPECT_EQ(ranked, (std::vector<std::pair<int, int>>{{c.ihi, c.ilo}}));
    EXPECT_EQ(x, run.vertex(c.ilo));
  }
  // The default measure: the best and the worst vertex coincide, nothing probes lower.
  Solver flat(3, [](const double *) { return 4.0; });
  Point x{1, 2, 3};
  double fmin = 0.0;
  EXPECT_EQ(flat.solve(x, 0.0, 0, &fmin), 0);
  EXPECT_EQ(x, (Point{1.2, 2, 3}));
  EXPECT_EQ(fmin, 4.0);
}

TEST(DownhillSimplex, CreationFailuresAreReportedAndReleased) {
  for (int k = 0; k < 6; ++k) {  // record, simplex, values, trial, trial2, centroid
    velmora::testing::DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(k);
    EXPECT_EQ(dhsm_new(Solver::objective, nullptr, 3), nullptr);
    velmora::test_hooks::fail_allocations_after(-1);
    ASSERT_EQ(capture.errors().size(), 1u) << "allocation " << k;
    EXPECT_TRUE(std::regex_search(capture.errors()[0].text,
                                  std::regex("nr: 1, kind: 0, sys: 12, file: .*dhsm\\.cpp, line: "
                                             "[0-9]+, info: No resources available")))
        << capture.errors()[0].text;
  }
  // No variables: refused silently; a negative count: refused like an impossible allocation.
  velmora::testing::DiagnosticsCapture capture;
  EXPECT_EQ(dhsm_new(Solver::objective, nullptr, 0), nullptr);
  EXPECT_EQ(dhsm_kill(nullptr), nullptr);
  EXPECT_TRUE(capture.errors().empty());
  EXPECT_EQ(dhsm_new(Solver::objective, nullptr, -4), nullptr);
  ASSERT_EQ(capture.errors().size(), 1u);
  EXPECT_NE(capture.errors()[0].text.find("info: No resources available"), std::string::npos);
}

}  // namespace
