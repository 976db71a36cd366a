// Convex hull of small random point sets plus inside queries, the work of one cluster inside
// test, against qhull on the same points and queries in the same run. Items are hulls built (and
// queried) per second; the ratio is against qhull (above 1: faster than qhull).
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/ratio_reporter.h"
#include "velmora/tconvexhull.h"

#ifdef VELMORA_HAVE_QHULL_R
extern "C" {
#include <libqhull_r/libqhull_r.h>
}
#endif

namespace {

constexpr int kSizes[] = {8, 32, 128};
constexpr int kQueries = 64;
constexpr double kScale = 1000.0;
constexpr double kBand = 1.0;  // queries this close to the surface are not compared

using Point = std::array<double, 3>;

struct Problem {
  std::vector<Point> points;
  std::vector<Point> queries;
};

Problem make_problem(int n) {
  std::mt19937 rng(500 + n);
  std::uniform_real_distribution<double> u(0.0, kScale);
  std::uniform_real_distribution<double> q(-0.2 * kScale, 1.2 * kScale);
  Problem p{std::vector<Point>(n), std::vector<Point>(kQueries)};
  for (Point &x : p.points)
    x = {u(rng), u(rng), u(rng)};
  for (Point &x : p.queries)
    x = {q(rng), q(rng), q(rng)};
  return p;
}

// Builds the hull and counts the queries inside; -1 when the build fails.
int velmora_inside_count(const Problem &p) {
  TConvexHull hull;
  for (const Point &x : p.points)
    hull.AddPoint(x[0], x[1], x[2]);
  if (hull.Construct() != 0) return -1;
  int inside = 0;
  for (const Point &x : p.queries)
    inside += hull.InsideHull(x[0], x[1], x[2]);
  return inside;
}

void run_velmora(benchmark::State &state, const Problem &p) {
  for (auto _ : state)
    benchmark::DoNotOptimize(velmora_inside_count(p));
  state.SetItemsProcessed(state.iterations());
}

#ifdef VELMORA_HAVE_QHULL_R
// The same with qhull: a query is inside when no facet plane has it beyond 0. When verdicts is
// given it receives per query 1 (inside), 0 (outside) or -1 (within kBand of the surface).
int qhull_inside_count(const Problem &p, std::vector<int> *verdicts) {
  qhT context;
  qhT *qh = &context;
  qh_zero(qh, stderr);
  char options[] = "qhull Qt";
  std::vector<Point> points = p.points;
  int inside = -1;
  if (qh_new_qhull(qh, 3, static_cast<int>(points.size()), points[0].data(), False, options,
                   nullptr, stderr) == 0) {
    inside = 0;
    for (const Point &x : p.queries) {
      double worst = -1e300;
      facetT *facet;
      FORALLfacets {
        const double d = facet->normal[0] * x[0] + facet->normal[1] * x[1] +
                         facet->normal[2] * x[2] + facet->offset;
        worst = d > worst ? d : worst;
      }
      inside += worst <= 0;
      if (verdicts != nullptr) verdicts->push_back(std::fabs(worst) < kBand ? -1 : worst <= 0);
    }
  }
  qh_freeqhull(qh, !qh_ALL);
  int curlong, totlong;
  qh_memfreeshort(qh, &curlong, &totlong);
  return inside;
}

void run_qhull(benchmark::State &state, const Problem &p) {
  for (auto _ : state)
    benchmark::DoNotOptimize(qhull_inside_count(p, nullptr));
  state.SetItemsProcessed(state.iterations());
}

bool check_agreement() {
  for (int n : kSizes) {
    const Problem p = make_problem(n);
    std::vector<int> verdicts;
    qhull_inside_count(p, &verdicts);
    TConvexHull hull;
    for (const Point &x : p.points)
      hull.AddPoint(x[0], x[1], x[2]);
    if (hull.Construct() != 0 || verdicts.size() != p.queries.size()) return false;
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
      const Point &x = p.queries[i];
      if (verdicts[i] >= 0 && verdicts[i] != hull.InsideHull(x[0], x[1], x[2])) {
        std::fprintf(stderr, "n = %d, query %zu: qhull says %d\n", n, i, verdicts[i]);
        return false;
      }
    }
  }
  return true;
}
#endif

void register_cases() {
  for (int n : kSizes) {
    const std::string group = "hull" + std::to_string(n) + "_q" + std::to_string(kQueries);
    benchmark::RegisterBenchmark((group + "/velmora").c_str(), run_velmora, make_problem(n))
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(0.2);
#ifdef VELMORA_HAVE_QHULL_R
    benchmark::RegisterBenchmark((group + "/qhull").c_str(), run_qhull, make_problem(n))
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(0.2);
#endif
  }
}

}  // namespace

int main(int argc, char **argv) {
#ifdef VELMORA_HAVE_QHULL_R
  if (!check_agreement()) {
    std::fprintf(stderr, "velmora and qhull disagree: timing skipped\n");
    return 1;
  }
#endif
  register_cases();
  return velmora::bench::run_with_ratios(argc, argv);
}
