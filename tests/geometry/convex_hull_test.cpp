#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "velmora/tconvexhull.h"

#ifdef VELMORA_HAVE_QHULL_R
extern "C" {
#include <libqhull_r/libqhull_r.h>
}
#endif

using Point = std::array<double, 3>;

// White-box access to the hull's lists and private helpers.
struct TConvexHullProbe {
  template <typename T>
  static int count(const T *head) {
    if (head == nullptr) return 0;
    int n = 0;
    const T *r = head;
    do {
      ++n;
      r = r->next;
    } while (r != head);
    return n;
  }
  static int vertices(const TConvexHull &h) { return count(h.vertices); }
  static int edges(const TConvexHull &h) { return count(h.edges); }
  static int faces(const TConvexHull &h) { return count(h.faces); }
  static bool euler_holds(const TConvexHull &h) {
    return h.CheckEuler(vertices(h), edges(h), faces(h)) == 0;
  }
  static std::set<int> vertex_indices(const TConvexHull &h) {
    std::set<int> out;
    if (h.vertices == nullptr) return out;
    const tVertexStructure *v = h.vertices;
    do {
      out.insert(v->index);
      v = v->next;
    } while (v != h.vertices);
    return out;
  }
  // Every face's edge i joins its corners i and i+1, and every edge has two distinct faces.
  static bool links_consistent(const TConvexHull &h) {
    const tFaceStructure *f = h.faces;
    do {
      for (int i = 0; i < 3; ++i) {
        const tEdgeStructure *e = f->edge[i];
        const tVertexStructure *a = f->vertex[i], *b = f->vertex[(i + 1) % 3];
        if (!((e->endPts[0] == a && e->endPts[1] == b) || (e->endPts[0] == b && e->endPts[1] == a)))
          return false;
      }
      f = f->next;
    } while (f != h.faces);
    const tEdgeStructure *e = h.edges;
    do {
      if (e->adjFace[0] == nullptr || e->adjFace[1] == nullptr || e->adjFace[0] == e->adjFace[1])
        return false;
      e = e->next;
    } while (e != h.edges);
    return true;
  }
  static bool collinear(const Point &a, const Point &b, const Point &c) {
    tVertexStructure va{}, vb{}, vc{};
    std::copy(a.begin(), a.end(), va.coords);
    std::copy(b.begin(), b.end(), vb.coords);
    std::copy(c.begin(), c.end(), vc.coords);
    TConvexHull h;
    return h.Collinear(&va, &vb, &vc) != 0;
  }
  static std::string print(const TConvexHull &h) {
    ::testing::internal::CaptureStdout();
    h.Print();
    return ::testing::internal::GetCapturedStdout();
  }
};

namespace {

using velmora::testing::DiagnosticsCapture;
using Probe = TConvexHullProbe;

void add_all(TConvexHull &hull, const std::vector<Point> &points) {
  for (const Point &p : points)
    ASSERT_EQ(hull.AddPoint(p[0], p[1], p[2]), 0);
}

const std::vector<Point> kTetrahedron = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}};

std::vector<Point> random_points(std::mt19937 &rng, int n, double scale) {
  std::uniform_real_distribution<double> u(0.0, scale);
  std::vector<Point> points(n);
  for (Point &p : points)
    p = {u(rng), u(rng), u(rng)};
  return points;
}

TEST(ConvexHull, TetrahedronHasFourFacesAndAnswersInsideWithTheVolumeTolerance) {
  TConvexHull hull;
  add_all(hull, kTetrahedron);
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::faces(hull), 4);
  EXPECT_EQ(Probe::edges(hull), 6);
  EXPECT_TRUE(Probe::euler_holds(hull));
  EXPECT_TRUE(Probe::links_consistent(hull));

  // The face z = 0 has area 50, so a point at depth d below it has determinant -100 d.
  struct Case {
    Point p;
    int inside;
  } cases[] = {
      {{2.5, 2.5, 2.5}, 1}, {{0, 0, 0}, 1},       {{5, 5, 0}, 1},
      {{1, 1, -0.004}, 1},  {{1, 1, -0.006}, 0},  {{100, 100, 100}, 0},
      {{-1, 1, 1}, 0},      {{3.3, 3.3, 3.3}, 1}, {{3.4, 3.4, 3.4}, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(hull.InsideHull(c.p[0], c.p[1], c.p[2]), c.inside)
        << c.p[0] << " " << c.p[1] << " " << c.p[2];
}

TEST(ConvexHull, RefusesEmptyCollinearAndCoplanarSets) {
  const std::vector<std::vector<Point>> sets = {
      {},
      {{1, 2, 3}},
      {{0, 0, 0}, {10, 0, 0}},
      {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}},
      {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-4, -4, -4}},
      {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {10, 10, 0}, {5, 3, 0.001}},
  };
  for (const auto &set : sets) {
    DiagnosticsCapture capture;
    TConvexHull hull;
    add_all(hull, set);
    EXPECT_EQ(hull.Construct(), -1) << set.size() << " points";
    EXPECT_TRUE(capture.errors().empty());
  }
}

TEST(ConvexHull, CollinearityToleratesCrossProductsBelowTheMachineEpsilon) {
  struct Case {
    Point a, b, c;
    bool collinear;
  } cases[] = {
      {{0, 0, 0}, {1, 1, 1}, {3, 3, 3}, true},
      {{0, 0, 0}, {1, 0, 0}, {2, 1e-16, 0}, true},  // cross product 2e-16
      {{0, 0, 0}, {1, 0, 0}, {2, 0, 3e-16}, false},
      {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(Probe::collinear(c.a, c.b, c.c), c.collinear);
}

TEST(ConvexHull, DeletesVerticesThatEndUpInside) {
  // The interior points come first, last and in the middle of the order of addition.
  TConvexHull hull;
  add_all(hull, {{1, 1, 1}, {0, 0, 0}, {20, 0, 0}, {2, 2, 3}, {0, 20, 0}, {0, 0, 20}, {3, 3, 2}});
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::vertex_indices(hull), (std::set<int>{1, 2, 4, 5}));
  EXPECT_EQ(Probe::faces(hull), 4);
  EXPECT_TRUE(Probe::euler_holds(hull));
}

TEST(ConvexHull, RepeatedConstructIncludesPointsAddedSince) {
  TConvexHull hull;
  add_all(hull, kTetrahedron);
  ASSERT_EQ(hull.Construct(), 0);
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::faces(hull), 4);
  EXPECT_EQ(hull.InsideHull(2, 2, 2), 1);
  add_all(hull, {{10, 10, 10}});
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::faces(hull), 6);
  EXPECT_TRUE(Probe::euler_holds(hull));
  EXPECT_EQ(hull.InsideHull(6, 6, 6), 1);
}

TEST(ConvexHull, CopiesAreIndependentOfTheirSource) {
  auto source = std::make_unique<TConvexHull>();
  add_all(*source, kTetrahedron);
  ASSERT_EQ(source->Construct(), 0);
  TConvexHull copied(*source);
  TConvexHull assigned;
  add_all(assigned, {{1, 2, 3}});
  assigned = *source;
  assigned = *&assigned;  // self-assignment changes nothing
  const std::string listing = Probe::print(*source);
  source.reset();  // the copies keep their own records
  for (const TConvexHull *h : {&copied, &assigned}) {
    EXPECT_EQ(Probe::print(*h), listing);
    EXPECT_TRUE(Probe::links_consistent(*h));
    EXPECT_EQ(h->InsideHull(1, 1, 1), 1);
    EXPECT_EQ(h->InsideHull(9, 9, 9), 0);
  }
  // Adding to the copy continues its numbering and leaves the other alone.
  ASSERT_EQ(copied.AddPoint(10, 10, 10), 0);
  ASSERT_EQ(copied.Construct(), 0);
  EXPECT_TRUE(Probe::vertex_indices(copied).count(4));
  EXPECT_EQ(copied.InsideHull(6, 6, 6), 1);
  EXPECT_EQ(assigned.InsideHull(6, 6, 6), 0);
}

TEST(ConvexHull, ReportsAndRecoversWhenMemoryRunsOut) {
  const std::vector<Point> points = {{0, 0, 0},    {20, 0, 0}, {0, 20, 0},  {0, 0, 20},
                                     {20, 20, 20}, {5, 5, 5},  {-3, 10, 10}};
  bool completed = false;
  for (long k = 0; k < 100 && !completed; ++k) {
    DiagnosticsCapture capture;
    TConvexHull hull;
    velmora::test_hooks::fail_allocations_after(k);
    int failures = 0;
    for (const Point &p : points)
      failures += hull.AddPoint(p[0], p[1], p[2]) != 0;
    const int built = hull.Construct();
    velmora::test_hooks::fail_allocations_after(-1);
    if (failures == 0 && built == 0) {
      EXPECT_TRUE(capture.errors().empty());
      completed = true;  // k is beyond the allocations a full build needs
      continue;
    }
    ASSERT_FALSE(capture.errors().empty());
    for (const auto &text : capture.error_texts())
      EXPECT_EQ(text.rfind("nr: 1, kind: 0, sys: 12, file: ", 0), 0u) << text;
    EXPECT_EQ(hull.InsideHull(1, 1, 1), 0);  // a failed build holds no faces
    if (failures == 0) {
      // Every vertex was kept, so a second attempt builds the full hull.
      ASSERT_EQ(hull.Construct(), 0) << "after failing at allocation " << k;
      EXPECT_TRUE(Probe::euler_holds(hull));
      EXPECT_EQ(hull.InsideHull(5, 5, 5), 1);
      EXPECT_EQ(hull.InsideHull(-10, 5, 5), 0);
    }
  }
  EXPECT_TRUE(completed);
}

// A small hull whose listing is fixed: vertex 3 is added first, and the faces (2 1 0) and
// (2 0 3) face away from the viewer, so only the other two are drawn.
TEST(ConvexHull, PrintsAPostScriptListing) {
  TConvexHull hull;
  add_all(hull, {{0, 0, 0}, {10.5, 0, 0}, {0, 10, 0}, {-0.25, 0.5, 10}});
  ASSERT_EQ(hull.Construct(), 0);
  const std::string expected =
      "%!PS\n"
      "%%BoundingBox: -1 0 11 10\n"
      "%%HiResBoundingBox: -1 0 11 10\n"
      "0 setlinewidth\n"
      "72.250000 72.000000 translate\n"
      "\n%% Vertices:\tV = 4\n"
      "%% index:\tx\ty\tz\n"
      "%%     3:\t-0.250\t0.500\t10.000\n"
      "%%     0:\t0.000\t0.000\t0.000\n"
      "%%     1:\t10.500\t0.000\t0.000\n"
      "%%     2:\t0.000\t10.000\t0.000\n"
      "\n%% Faces:\tF = 4\n"
      "%% Visible faces only: \n"
      "%% vnums:  0  1  3\n"
      "newpath\n"
      "0.000\t0.000\tmoveto\n"
      "10.500\t0.000\tlineto\n"
      "-0.250\t0.500\tlineto\n"
      "closepath stroke\n\n"
      "%% vnums:  1  2  3\n"
      "newpath\n"
      "10.500\t0.000\tmoveto\n"
      "0.000\t10.000\tlineto\n"
      "-0.250\t0.500\tlineto\n"
      "closepath stroke\n\n"
      "%% List of all faces: \n"
      "%%\tv0\tv1\tv2\t(vertex indices)\n"
      "%%\t2\t1\t0\n"
      "%%\t2\t0\t3\n"
      "%%\t0\t1\t3\n"
      "%%\t1\t2\t3\n"
      "\n%% Edges:\tE = 6\n"
      "\nshowpage\n\n";
  EXPECT_EQ(Probe::print(hull), expected);
}

TEST(ConvexHull, ListingIsValidPostScript) {
  if (std::system("command -v gs >/dev/null 2>&1") != 0) GTEST_SKIP() << "gs is not on PATH";
  const char *tmp = std::getenv("VELMORA_TEST_TMP");
  const std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/convex_hull_listing.ps";
  std::mt19937 rng(7);
  TConvexHull hull;
  add_all(hull, random_points(rng, 25, 400.0));
  ASSERT_EQ(hull.Construct(), 0);
  { std::ofstream(path) << Probe::print(hull); }
  const std::string command =
      "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=nullpage '" + path + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::remove(path.c_str());
}

#ifdef VELMORA_HAVE_QHULL_R
// The hull of the same points from qhull: its vertex ids and its facet planes (outward normals).
struct ReferenceHull {
  std::set<int> vertices;
  std::vector<std::array<double, 4>> planes;

  explicit ReferenceHull(std::vector<Point> points) {
    qhT context;
    qhT *qh = &context;
    qh_zero(qh, stderr);
    char options[] = "qhull Qt";
    const int failed = qh_new_qhull(qh, 3, static_cast<int>(points.size()), points[0].data(), False,
                                    options, nullptr, stderr);
    if (failed == 0) {
      facetT *facet;
      vertexT *vertex;
      FORALLfacets {
        planes.push_back({facet->normal[0], facet->normal[1], facet->normal[2], facet->offset});
      }
      FORALLvertices {
        vertices.insert(qh_pointid(qh, vertex->point));
      }
    }
    qh_freeqhull(qh, !qh_ALL);
    int curlong, totlong;
    qh_memfreeshort(qh, &curlong, &totlong);
  }

  // Largest signed distance of p outside a facet (negative inside).
  double excess(const Point &p) const {
    double worst = -1e300;
    for (const auto &pl : planes)
      worst = std::max(worst, pl[0] * p[0] + pl[1] * p[1] + pl[2] * p[2] + pl[3]);
    return worst;
  }
};

TEST(ConvexHull, AgreesWithQhullOnRandomPointSets) {
  constexpr double kScale = 1000.0;
  constexpr double kBand = 1.0;  // queries this close to the surface are not compared
  std::mt19937 rng(2024);
  int compared = 0;
  for (int trial = 0; trial < 40; ++trial) {
    const int n = 4 + trial % 30;
    const std::vector<Point> points = random_points(rng, n, kScale);
    TConvexHull hull;
    add_all(hull, points);
    ASSERT_EQ(hull.Construct(), 0) << "trial " << trial;
    const ReferenceHull reference(points);
    ASSERT_FALSE(reference.planes.empty());
    EXPECT_EQ(Probe::vertex_indices(hull), reference.vertices) << "trial " << trial;
    EXPECT_TRUE(Probe::euler_holds(hull)) << "trial " << trial;
    EXPECT_TRUE(Probe::links_consistent(hull)) << "trial " << trial;

    std::uniform_real_distribution<double> u(-0.2 * kScale, 1.2 * kScale);
    for (int q = 0; q < 200; ++q) {
      const Point p = {u(rng), u(rng), u(rng)};
      const double excess = reference.excess(p);
      if (std::abs(excess) < kBand) continue;
      EXPECT_EQ(hull.InsideHull(p[0], p[1], p[2]), excess < 0 ? 1 : 0)
          << "trial " << trial << " excess " << excess;
      ++compared;
    }
    for (const Point &p : points)
      EXPECT_EQ(hull.InsideHull(p[0], p[1], p[2]), 1);
  }
  EXPECT_GT(compared, 4000);
}
#endif

}  // namespace
