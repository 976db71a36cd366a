#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/dhsm_internal.h"
#include "optimise_test_functions.h"
#include "support/diagnostics_capture.h"
#include "velmora/dhsm.h"

namespace {

using velmora::testing::DiagnosticsCapture;
using velmora::testing::TestFunction;
using Point = std::vector<double>;

// The objective's caller values: data points at a Problem; info counts the calls.
struct Problem {
  int n;
  std::function<double(const double *)> f;
  std::vector<Point> calls;  // every point evaluated, in order
};

double objective(double *, const void *data, int *info, double *x) {
  auto *problem = static_cast<Problem *>(const_cast<void *>(data));
  problem->calls.emplace_back(x, x + problem->n);
  if (info != nullptr) ++*info;
  return problem->f(x);
}

Point vertex_of(const SFM_DHSM *s, int j) {
  return Point(s->simplex + j * s->nDims, s->simplex + (j + 1) * s->nDims);
}

TEST(DownhillSimplex, FindsTheMinimaOfClassicFunctionsFromTheirUsualStarts) {
  for (const TestFunction &tf : velmora::testing::classic_functions()) {
    const int n = static_cast<int>(tf.start.size());
    Problem problem{n, tf.f, {}};
    SFM_DHSM *s = dhsm_new(objective, nullptr, n);
    ASSERT_NE(s, nullptr);
    Point x = tf.start;
    double fmin = 1e300;
    int calls = 0;
    // Restarting from the point found is the usual remedy for a simplex that degenerated.
    int result = -1;
    for (int solve = 0; solve < 3 && result != 0; ++solve)
      result = dhsm_solve(s, nullptr, &problem, &calls, 1e-10, x.data(), 5000, &fmin);
    // The minimiser of the ellipsoid has a zero coordinate: the default measure's probes,
    // relative to that coordinate's size, keep finding lower values about a best vertex a few
    // ulps off zero, so its solves end at the iteration limit, at the minimum nonetheless.
    if (tf.name != "ShiftedEllipsoid10") {
      EXPECT_EQ(result, 0) << tf.name;
    }
    EXPECT_NEAR(fmin, tf.fmin, 1e-8) << tf.name;
    EXPECT_EQ(fmin, tf.f(x.data())) << tf.name;
    for (size_t k = 0; k < tf.minimum.size(); ++k)
      EXPECT_NEAR(x[k], tf.minimum[k], 1e-4) << tf.name << " coordinate " << k;
    EXPECT_EQ(calls, static_cast<int>(problem.calls.size()));
    dhsm_kill(s);
  }
}

// One iteration on the start simplex (0,0), (1,0), (0,1) with values 1, 2, 3 (worst: vertex 2,
// centroid of the others (0.5, 0)), where the objective's values at the candidate points decide
// which step is taken.
struct StepCase {
  const char *name;
  std::map<Point, double> values;  // besides the vertices
  std::vector<Point> expected_calls;
  std::vector<Point> expected_simplex;
};

TEST(DownhillSimplex, TakesReflectionExpansionContractionAndShrinkInTheGivenOrder) {
  const Point v0{0, 0}, v1{1, 0}, v2{0, 1};
  const Point reflected{1, -1}, expanded{1.5, -2};
  const Point inner{0.25, 0.5}, outer{0.75, -0.5};  // contractions toward v2 and toward r
  const Point start_calls[] = {v2, v1, v0};
  const StepCase cases[] = {
      {"expansion kept",
       {{reflected, 0.5}, {expanded, 0.2}},
       {reflected, expanded},
       {v0, v1, expanded}},
      {"expansion refused",
       {{reflected, 0.5}, {expanded, 0.7}},
       {reflected, expanded},
       {v0, v1, reflected}},
      {"reflection kept below the second worst",
       {{reflected, 1.5}},
       {reflected},
       {v0, v1, reflected}},
      {"reflection then outer contraction",
       {{reflected, 2.5}, {outer, 2.2}},
       {reflected, outer},
       {v0, v1, outer}},
      {"inner contraction", {{reflected, 3.5}, {inner, 2.9}}, {reflected, inner}, {v0, v1, inner}},
      {"shrink",
       {{reflected, 3.5}, {inner, 3.5}, {{0.5, 0}, 9}, {{0, 0.5}, 9}},
       {reflected, inner, {0.5, 0}, {0, 0.5}},
       {v0, {0.5, 0}, {0, 0.5}}},
  };
  for (const StepCase &sc : cases) {
    std::map<Point, double> values = sc.values;
    values[v0] = 1.0;
    values[v1] = 2.0;
    values[v2] = 3.0;
    Problem problem{2,
                    [&values](const double *x) {
                      const auto it = values.find(Point(x, x + 2));
                      return it == values.end() ? 100.0 : it->second;
                    },
                    {}};
    // Not converged at the first ranking, converged at the second: exactly one iteration.
    static int conv_calls;
    conv_calls = 0;
    SFM_DHSM *s = dhsm_new(
        objective,
        [](const SFM_DHSM *, double *, const void *, int *, int, int) {
          return ++conv_calls == 1 ? 1.0 : 0.0;
        },
        2);
    const double step[] = {1, 1};
    dhsm_init(s, nullptr, nullptr, nullptr, nullptr, step, v0.data());
    Point x(2);
    double fmin;
    EXPECT_EQ(dhsm_solve(s, nullptr, &problem, nullptr, 0.5, x.data(), 0, &fmin), 0);
    std::vector<Point> expected(start_calls, start_calls + 3);
    expected.insert(expected.end(), sc.expected_calls.begin(), sc.expected_calls.end());
    EXPECT_EQ(problem.calls, expected) << sc.name;
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(vertex_of(s, j), sc.expected_simplex[j]) << sc.name << " vertex " << j;
    EXPECT_EQ(conv_calls, 2);
    dhsm_kill(s);
  }
}

// Convergence measure that never accepts, counting its calls.
int never_calls;
double never_converged(const SFM_DHSM *, double *, const void *, int *, int, int) {
  ++never_calls;
  return 1e300;
}

double measure_value;
double fixed_measure(const SFM_DHSM *, double *, const void *, int *, int, int) {
  return measure_value;
}

double sphere(const double *x) {
  return x[0] * x[0] + x[1] * x[1];
}

TEST(DownhillSimplex, StopsOnConvergenceBeforeTheIterationLimitAndAppliesDefaults) {
  struct LimitCase {
    int maxiter;
    int measure_calls;  // iterations run + 1
  };
  const LimitCase limits[] = {{5, 7}, {0, 1002}, {1, 3}, {-1, 1}};
  for (const LimitCase &lc : limits) {
    Problem problem{2, sphere, {}};
    SFM_DHSM *s = dhsm_new(objective, never_converged, 2);
    never_calls = 0;
    Point x{1, 3};
    double fmin = -1;
    EXPECT_EQ(dhsm_solve(s, nullptr, &problem, nullptr, 1e-3, x.data(), lc.maxiter, &fmin), -1);
    EXPECT_EQ(never_calls, lc.measure_calls) << "maxiter " << lc.maxiter;
    EXPECT_EQ(fmin, sphere(x.data()));
    dhsm_kill(s);
  }

  // tol 0 means 1e-7; the measure is compared strictly and ahead of the iteration limit.
  struct ToleranceCase {
    double tol, measure;
    int maxiter, result;
    size_t calls;
  };
  const ToleranceCase tolerances[] = {
      {0.0, 0.99e-7, -1, 0, 3}, {0.0, 1e-7, 3, -1, 0}, {0.5, 0.4, 3, 0, 3},
      {0.5, 0.5, -1, -1, 3},    {0.5, 0.0, 7, 0, 3},
  };
  for (const ToleranceCase &tc : tolerances) {
    Problem problem{2, sphere, {}};
    SFM_DHSM *s = dhsm_new(objective, fixed_measure, 2);
    measure_value = tc.measure;
    Point x{1, 3};
    double fmin = -1;
    EXPECT_EQ(dhsm_solve(s, nullptr, &problem, nullptr, tc.tol, x.data(), tc.maxiter, &fmin),
              tc.result)
        << tc.tol << " " << tc.measure;
    if (tc.calls != 0) {
      EXPECT_EQ(problem.calls.size(), tc.calls);
    }
    if (tc.result == 0) {
      // Ended at the first ranking: the best start vertex, (1, 3) itself.
      EXPECT_EQ(x, (Point{1, 3}));
      EXPECT_EQ(fmin, 10.0);
    }
    dhsm_kill(s);
  }
}

TEST(DownhillSimplex, BuildsItsStartSimplexFromThePointOrFromInit) {
  struct StartCase {
    Point x;
    std::vector<Point> first_calls;  // vertex n first
  };
  const StartCase starts[] = {
      {{1, 3}, {{1, 3.2}, {1.2, 3}, {1, 3}}},                           // step 0.1 * range
      {{2, 2, 2}, {{2, 2, 2.1}, {2, 2.1, 2}, {2.1, 2, 2}, {2, 2, 2}}},  // equal: step 0.1
      {{5}, {{5.1}, {5}}},
  };
  for (const StartCase &sc : starts) {
    const int n = static_cast<int>(sc.x.size());
    Problem problem{n, [](const double *) { return 0.0; }, {}};
    measure_value = 0.0;
    SFM_DHSM *s = dhsm_new(objective, fixed_measure, n);
    Point x = sc.x;
    double fmin;
    EXPECT_EQ(dhsm_solve(s, nullptr, &problem, nullptr, 1.0, x.data(), 0, &fmin), 0);
    ASSERT_EQ(problem.calls.size(), sc.first_calls.size());
    for (size_t i = 0; i < sc.first_calls.size(); ++i)
      for (int k = 0; k < n; ++k)
        EXPECT_DOUBLE_EQ(problem.calls[i][k], sc.first_calls[i][k]);
    // All values equal: ranking leaves the best at vertex 1.
    for (int k = 0; k < n; ++k)
      EXPECT_DOUBLE_EQ(x[k], sc.first_calls[n - 1][k]);
    dhsm_kill(s);
  }

  // dhsm_init with bounds, armed for exactly one solve.
  Problem problem{2, sphere, {}};
  measure_value = 0.0;
  SFM_DHSM *s = dhsm_new(objective, fixed_measure, 2);
  const int has_low[] = {1, 0}, has_high[] = {1, 1};
  const double low[] = {0, 0}, high[] = {1.5, 1.5}, step[] = {1, 1}, x0[] = {1, 1};
  EXPECT_EQ(dhsm_init(s, has_low, has_high, low, high, step, x0), 0);
  EXPECT_EQ(s->initialised, 1);
  EXPECT_EQ(vertex_of(s, 0), (Point{1, 1}));
  EXPECT_DOUBLE_EQ(vertex_of(s, 1)[0], 0.9);   // pulled back toward the lower bound
  EXPECT_EQ(vertex_of(s, 2), (Point{1, -1}));  // no lower bound: two steps back
  Point x{7, 7};
  double fmin;
  EXPECT_EQ(dhsm_solve(s, nullptr, &problem, nullptr, 1.0, x.data(), 0, &fmin), 0);
  EXPECT_EQ(s->initialised, 0);
  EXPECT_EQ(problem.calls[2], (Point{1, 1}));
  problem.calls.clear();
  EXPECT_EQ(dhsm_solve(s, nullptr, &problem, nullptr, 1.0, x.data(), 0, &fmin), 0);
  EXPECT_EQ(problem.calls.back(), x);  // the next solve starts from x again

  // Without bounds arrays the steps are taken as given.
  EXPECT_EQ(dhsm_init(s, nullptr, has_high, low, high, step, x0), 0);
  EXPECT_EQ(vertex_of(s, 1), (Point{2, 1}));
  EXPECT_EQ(vertex_of(s, 2), (Point{1, 2}));
  dhsm_kill(s);
}

// Places every vertex of a 2-D solver within `spread` of centre and fills in the values.
void collapse_simplex(SFM_DHSM *s, Problem &problem, const Point &centre, double spread) {
  for (int j = 0; j < 3; ++j) {
    double *v = s->simplex + 2 * j;
    v[0] = centre[0] + (j == 1 ? spread : 0.0);
    v[1] = centre[1] + (j == 2 ? spread : 0.0);
    s->values[j] = problem.f(v);
  }
}

TEST(DownhillSimplex, DefaultMeasureProbesAroundTheBestVertexBeforeAcceptingConvergence) {
  constexpr double kTol = 1e-7;  // the default outside a solve
  struct ProbeCase {
    const char *name;
    std::function<double(const double *)> f;
    Point centre;
    double spread;
    bool converged;
    size_t probes;
  };
  const ProbeCase cases[] = {
      {"at a minimum",
       [](const double *x) { return std::pow(x[0] - 1, 2) + std::pow(x[1] - 1, 2); },
       {1, 1},
       1e-9,
       true,
       4},
      {"collapsed beside the minimum",
       [](const double *x) { return std::pow(x[0] - 2, 2); },
       {1, 1},
       1e-9,
       false,
       1},
      {"lower along the second axis only",
       [](const double *x) { return -x[1]; },
       {1, 1},
       0.0,
       false,
       3},
      {"zero coordinate probed with the largest magnitude",
       [](const double *x) { return std::pow(x[0] - 0.015, 2) + std::pow(x[1] - 4, 2); },
       {0, 4},
       0.0,
       false,
       1},
      {"wide simplex: no probes", [](const double *x) { return x[0]; }, {1, 1}, 1e-3, false, 0},
  };
  for (const ProbeCase &pc : cases) {
    Problem problem{2, pc.f, {}};
    SFM_DHSM *s = dhsm_new(objective, nullptr, 2);
    EXPECT_EQ(s->conv, &dhsm_conv_default);
    collapse_simplex(s, problem, pc.centre, pc.spread);
    const double measure = dhsm_conv_default(s, nullptr, &problem, nullptr, 1, 0);
    const double d = pc.spread;
    EXPECT_NEAR(measure, pc.converged || d > kTol ? d : kTol + d, 1e-15) << pc.name;
    EXPECT_EQ(problem.calls.size(), pc.probes) << pc.name;
    dhsm_kill(s);
  }
}

TEST(DownhillSimplex, SolvesOnSeveralThreadsKeepTheirOwnTolerance) {
  const auto classic = velmora::testing::classic_functions();
  auto run = [&](double tol) {
    std::vector<std::pair<Point, double>> results;
    for (const TestFunction &tf : classic) {
      const int n = static_cast<int>(tf.start.size());
      Problem problem{n, tf.f, {}};
      SFM_DHSM *s = dhsm_new(objective, nullptr, n);
      Point x = tf.start;
      double fmin;
      dhsm_solve(s, nullptr, &problem, nullptr, tol, x.data(), 3000, &fmin);
      results.emplace_back(x, fmin);
      dhsm_kill(s);
    }
    return results;
  };
  const double tolerances[] = {1e-2, 1e-6, 1e-12};
  std::vector<std::vector<std::pair<Point, double>>> alone;
  for (double tol : tolerances)
    alone.push_back(run(tol));
  std::vector<std::vector<std::pair<Point, double>>> together(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&, i] { together[i] = run(tolerances[i]); });
  for (std::thread &t : threads)
    t.join();
  EXPECT_EQ(together, alone);
}

TEST(DownhillSimplex, CreationFailuresAreReportedAndReleased) {
  constexpr int kAllocations = 6;  // record, simplex, values, trial, trial2, centroid
  for (int k = 0; k < kAllocations; ++k) {
    DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(k);
    SFM_DHSM *s = dhsm_new(objective, nullptr, 3);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(s, nullptr);
    ASSERT_EQ(capture.errors().size(), 1u) << "allocation " << k;
    EXPECT_NE(capture.errors()[0].text.find("nr: 1, kind: 0, sys: 12, file: "), std::string::npos);
    EXPECT_NE(capture.errors()[0].text.find("dhsm.cpp, line: "), std::string::npos);
    EXPECT_NE(capture.errors()[0].text.find(", info: No resources available"), std::string::npos);
  }
  DiagnosticsCapture capture;
  EXPECT_EQ(dhsm_new(objective, nullptr, 0), nullptr);
  EXPECT_EQ(dhsm_new(objective, nullptr, -4), nullptr);
  EXPECT_EQ(dhsm_kill(nullptr), nullptr);
  EXPECT_TRUE(capture.errors().empty());
}

}  // namespace
