// Gamut bodies against qhull on the same points in the same run: TConvexHull built on a small
// neighbourhood with inside queries (the work of one cluster inside test) and on 2000 sphere
// points; tetra_volume_new on 2000 sphere points and on the 1617 measured Lab values of FOGRA39;
// inside queries on a body of about 3000 faces. Items are builds (or queries) per second; the
// ratio is against qhull (above 1: faster than qhull). Agreement is checked before timing.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../tests/geometry/gamut_sets.h"
#include "support/ratio_reporter.h"
#include "velmora/tconvexhull.h"
#include "velmora/tetra_volume.h"

namespace {

using gamut_sets::Point;

constexpr int kSmallQueries = 64;
constexpr int kBodyQueries = 4096;
constexpr double kBand = 0.05;  // queries this close to the surface are not compared

std::string fogra39_path() {
  const std::string here = __FILE__;
  return here.substr(0, here.rfind("bench/geometry/")) + "examples/data/FOGRA39L.ti3";
}

// A caller's point list for tetra_volume_new.
struct PointList {
  explicit PointList(const std::vector<Point> &points) : records(points.size()) {
    list = list_new(10, 8, nullptr);
    for (std::size_t i = 0; i < points.size(); ++i) {
      records[i] = {points[i][0], points[i][1], points[i][2], static_cast<double>(i)};
      TETRA_POINT *r = &records[i];
      list_insert(list, &r);
    }
  }
  ~PointList() { list_kill(list); }
  PointList(const PointList &) = delete;
  PointList &operator=(const PointList &) = delete;
  std::vector<TETRA_POINT> records;
  LIST list;
};

struct Problem {
  std::vector<Point> points;
  std::vector<Point> queries;
};

int hull_inside_count(const Problem &p) {
  TConvexHull hull;
  for (const Point &x : p.points)
    hull.AddPoint(x[0], x[1], x[2]);
  if (hull.Construct() != 0) return -1;
  int inside = 0;
  for (const Point &x : p.queries)
    inside += hull.InsideHull(x[0], x[1], x[2]);
  return inside;
}

void run_hull(benchmark::State &state, const Problem &p) {
  for (auto _ : state)
    benchmark::DoNotOptimize(hull_inside_count(p));
  state.SetItemsProcessed(state.iterations());
}

void run_volume_new(benchmark::State &state, const std::vector<Point> &points) {
  PointList list(points);
  for (auto _ : state) {
    TETRA_VOLUME *v = tetra_volume_new(list.list);
    benchmark::DoNotOptimize(v);
    tetra_volume_kill(v);
  }
  state.SetItemsProcessed(state.iterations());
}

void run_volume_inside(benchmark::State &state, const std::vector<Point> &points,
                       const std::vector<Point> &queries) {
  PointList list(points);
  TETRA_VOLUME *v = tetra_volume_new(list.list);
  for (auto _ : state) {
    int inside = 0;
    for (const Point &q : queries)
      inside += tetra_volume_point_inside(v, q.data());
    benchmark::DoNotOptimize(inside);
  }
  tetra_volume_kill(v);
  state.SetItemsProcessed(state.iterations() * static_cast<long>(queries.size()));
}

#ifdef VELMORA_HAVE_QHULL_R
// qhull's hull of the points; with queries, the count of those inside (no facet plane has them
// beyond 0), the way a caller of qhull answers inside tests.
struct Qhull {
  explicit Qhull(const std::vector<Point> &points) : coords(points) {
    qh_zero(qh, stderr);
    char options[] = "qhull Qt";
    ok = qh_new_qhull(qh, 3, static_cast<int>(coords.size()), coords[0].data(), False, options,
                      nullptr, stderr) == 0;
  }
  ~Qhull() {
    qh_freeqhull(qh, !qh_ALL);
    int curlong, totlong;
    qh_memfreeshort(qh, &curlong, &totlong);
  }
  Qhull(const Qhull &) = delete;
  Qhull &operator=(const Qhull &) = delete;
  // qhull's point location: the best facet found from a search start, outside when above it.
  bool inside(const Point &p) {
    double point[3] = {p[0], p[1], p[2]}, dist;
    boolT isoutside;
    qh_findbestfacet(qh, point, qh_ALL, &dist, &isoutside);
    return !isoutside;
  }
  std::vector<Point> coords;
  qhT context;
  qhT *qh = &context;
  bool ok = false;
};

int qhull_brute_inside(const Problem &p) {
  Qhull q(p.points);
  if (!q.ok) return -1;
  int inside = 0;
  qhT *qh = q.qh;
  for (const Point &x : p.queries) {
    double worst = -1e300;
    facetT *facet;
    FORALLfacets {
      worst = std::fmax(worst, facet->normal[0] * x[0] + facet->normal[1] * x[1] +
                                   facet->normal[2] * x[2] + facet->offset);
    }
    inside += worst <= 0;
  }
  return inside;
}

void run_qhull(benchmark::State &state, const Problem &p) {
  for (auto _ : state)
    benchmark::DoNotOptimize(qhull_brute_inside(p));
  state.SetItemsProcessed(state.iterations());
}

void run_qhull_inside(benchmark::State &state, const std::vector<Point> &points,
                      const std::vector<Point> &queries) {
  Qhull q(points);
  for (auto _ : state) {
    int inside = 0;
    for (const Point &x : queries)
      inside += q.inside(x);
    benchmark::DoNotOptimize(inside);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long>(queries.size()));
}

// Inside answers of both bodies equal qhull's away from its surface, on every data set timed.
bool check_agreement(const std::vector<std::vector<Point>> &sets) {
  for (const auto &points : sets) {
    if (points.empty()) continue;
    const gamut_sets::Oracle oracle = gamut_sets::qhull_oracle(points);
    TConvexHull hull;
    for (const Point &x : points)
      hull.AddPoint(x[0], x[1], x[2]);
    PointList list(points);
    TETRA_VOLUME *v = tetra_volume_new(list.list);
    bool ok = hull.Construct() == 0 && v != nullptr;
    Qhull located(points);
    for (const Point &q : gamut_sets::queries_around(points, 500, 41)) {
      const double excess = oracle.excess(q);
      if (!ok || std::fabs(excess) < kBand) continue;
      const int expected = excess < 0;
      // The hull's +-0.5 determinant band reaches 0.25 / area beyond a face: up to 0.5 units on
      // the small neighbourhood.
      ok = (std::fabs(excess) < 0.5 || hull.InsideHull(q[0], q[1], q[2]) == expected) &&
           tetra_volume_point_inside(v, q.data()) == expected &&
           (std::fabs(excess) < 1.0 || located.inside(q) == (expected == 1));
    }
    tetra_volume_kill(v);
    if (!ok) {
      std::fprintf(stderr, "disagreement on a set of %zu points\n", points.size());
      return false;
    }
  }
  return true;
}
#endif

Problem neighbourhood(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  Problem p;
  for (int i = 0; i < n; ++i)
    p.points.push_back({50 + u(rng), u(rng), u(rng)});
  for (int i = 0; i < kSmallQueries; ++i)
    p.queries.push_back({50 + 1.3 * u(rng), 1.3 * u(rng), 1.3 * u(rng)});
  return p;
}

void register_cases(const std::vector<Point> &sphere2000, const std::vector<Point> &fogra,
                    const std::vector<Point> &body, const std::vector<Point> &queries) {
  using velmora::bench::register_case;
  constexpr double kMin = 0.1;
  constexpr int kReps = 3;
  const Problem small = neighbourhood(8, 3), big = {sphere2000, {}};
  register_case("hull8_q64/velmora", kMin, kReps, run_hull, small);
  register_case("hull_sphere2000/velmora", kMin, kReps, run_hull, big);
  register_case("volume_sphere2000/velmora", kMin, kReps, run_volume_new, sphere2000);
  if (!fogra.empty()) register_case("volume_fogra39/velmora", kMin, kReps, run_volume_new, fogra);
  register_case("inside_3000faces/velmora", kMin, kReps, run_volume_inside, body, queries);
#ifdef VELMORA_HAVE_QHULL_R
  register_case("hull8_q64/qhull", kMin, kReps, run_qhull, small);
  register_case("hull_sphere2000/qhull", kMin, kReps, run_qhull, big);
  register_case("volume_sphere2000/qhull", kMin, kReps, run_qhull, big);
  if (!fogra.empty())
    register_case("volume_fogra39/qhull", kMin, kReps, run_qhull, Problem{fogra, {}});
  register_case("inside_3000faces/qhull", kMin, kReps, run_qhull_inside, body, queries);
#endif
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<Point> sphere2000 = gamut_sets::sphere(2000);
  const std::vector<Point> fogra = gamut_sets::cgats_lab(fogra39_path());
  const std::vector<Point> body = gamut_sets::sphere(1502, 2);  // 3000 faces
  const std::vector<Point> queries = gamut_sets::queries_around(body, kBodyQueries, 7);
#ifdef VELMORA_HAVE_QHULL_R
  if (!check_agreement({sphere2000, fogra, body, neighbourhood(8, 3).points})) {
    std::fprintf(stderr, "velmora and qhull disagree: timing skipped\n");
    return 1;
  }
#endif
  register_cases(sphere2000, fogra, body, queries);
  return velmora::bench::run_with_ratios(argc, argv);
}
