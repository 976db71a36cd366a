#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
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
  template <typename T, typename F>
  static int walk(const T *head, F &&f) {
    int n = 0;
    for (const T *r = head; r != nullptr && (n == 0 || r != head); r = r->next, ++n)
      f(r);
    return n;
  }
  static std::set<int> vertex_indices(const TConvexHull &h) {
    std::set<int> out;
    walk(h.vertices, [&](const tVertexStructure *v) { out.insert(v->index); });
    return out;
  }
  // Euler's formula holds, every face's edge i joins its corners i and i + 1, and every edge
  // has two distinct faces.
  static bool sound(const TConvexHull &h) {
    bool ok = h.CheckEuler(walk(h.vertices, [](auto *) {}), walk(h.edges, [](auto *) {}),
                           walk(h.faces, [](auto *) {})) == 0;
    walk(h.faces, [&](const tFaceStructure *f) {
      for (int i = 0; i < 3; ++i) {
        const tEdgeStructure *e = f->edge[i];
        const tVertexStructure *a = f->vertex[i], *b = f->vertex[(i + 1) % 3];
        ok &= (e->endPts[0] == a && e->endPts[1] == b) || (e->endPts[0] == b && e->endPts[1] == a);
      }
    });
    walk(h.edges, [&](const tEdgeStructure *e) {
      ok &= e->adjFace[0] != nullptr && e->adjFace[1] != nullptr && e->adjFace[0] != e->adjFace[1];
    });
    return ok;
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

TEST(ConvexHull, TetrahedronDropsInteriorPointsAndAnswersInsideWithTheVolumeTolerance) {
  // The interior points come first, in the middle and last in the order of addition.
  TConvexHull hull;
  add_all(hull, {{1, 1, 1}, {0, 0, 0}, {10, 0, 0}, {2, 2, 3}, {0, 10, 0}, {0, 0, 10}, {3, 3, 2}});
  ASSERT_EQ(hull.Construct(), 0);
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::vertex_indices(hull), (std::set<int>{1, 2, 4, 5}));
  EXPECT_TRUE(Probe::sound(hull));
  // The face z = 0 has area 50, so a point at depth d below it has determinant -100 d.
  const std::pair<Point, int> cases[] = {{{0, 0, 0}, 1},       {{1, 1, -0.004}, 1},
                                         {{1, 1, -0.006}, 0},  {{-1, 1, 1}, 0},
                                         {{3.3, 3.3, 3.3}, 1}, {{3.4, 3.4, 3.4}, 0}};
  for (const auto &[p, inside] : cases)
    EXPECT_EQ(hull.InsideHull(p[0], p[1], p[2]), inside) << p[0] << " " << p[1] << " " << p[2];
  // A further Construct takes the points added since.
  add_all(hull, {{10, 10, 10}});
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::vertex_indices(hull), (std::set<int>{1, 2, 4, 5, 7}));
  EXPECT_TRUE(Probe::sound(hull));
  EXPECT_EQ(hull.InsideHull(6, 6, 6), 1);
}

TEST(ConvexHull, RefusesEmptyCollinearAndCoplanarSetsSilently) {
  const std::vector<std::vector<Point>> sets = {
      {},
      {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}},
      {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-4, -4, -4}},
      {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {10, 10, 0}, {5, 3, 0.001}}};
  for (const auto &set : sets) {
    DiagnosticsCapture capture;
    TConvexHull hull;
    add_all(hull, set);
    EXPECT_EQ(hull.Construct(), -1) << set.size() << " points";
    EXPECT_TRUE(capture.errors().empty());
  }
}

TEST(ConvexHull, CopiesAreDeepAndSelfAssignmentChangesNothing) {
  auto source = std::make_unique<TConvexHull>();
  add_all(*source, {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}});
  ASSERT_EQ(source->Construct(), 0);
  TConvexHull copied(*source), assigned;
  add_all(assigned, {{1, 2, 3}});
  assigned = *source;
  assigned = *&assigned;
  const std::string listing = Probe::print(*source);
  source.reset();  // the copies keep their own records
  for (const TConvexHull *h : {&copied, &assigned}) {
    EXPECT_EQ(Probe::print(*h), listing);
    EXPECT_TRUE(Probe::sound(*h) && h->InsideHull(1, 1, 1) == 1 && h->InsideHull(9, 9, 9) == 0);
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
    completed = failures == 0 && built == 0;  // k is beyond the allocations a full build needs
    EXPECT_EQ(capture.errors().empty(), completed) << k;
    for (const auto &text : capture.error_texts())
      EXPECT_EQ(text.rfind("nr: 1, kind: 0, sys: 12, file: ", 0), 0u) << text;
    if (completed) continue;
    EXPECT_EQ(hull.InsideHull(1, 1, 1), 0);  // a failed build holds no faces
    if (failures != 0) continue;
    // Every vertex was kept, so a second attempt builds the full hull.
    ASSERT_EQ(hull.Construct(), 0) << "after failing at allocation " << k;
    EXPECT_TRUE(Probe::sound(hull) && hull.InsideHull(5, 5, 5) && !hull.InsideHull(-10, 5, 5));
  }
  EXPECT_TRUE(completed);
}

// Vertex 3 is added first, and the faces (2 1 0) and (2 0 3) face away from the viewer, so only
// the other two are drawn. Ghostscript, when present, renders the listing.
TEST(ConvexHull, PrintsAPostScriptListingThatRenders) {
  TConvexHull hull;
  add_all(hull, {{0, 0, 0}, {10.5, 0, 0}, {0, 10, 0}, {-0.25, 0.5, 10}});
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::print(hull),
            "%!PS\n%%BoundingBox: -1 0 11 10\n%%HiResBoundingBox: -1 0 11 10\n0 setlinewidth\n"
            "72.250000 72.000000 translate\n\n%% Vertices:\tV = 4\n%% index:\tx\ty\tz\n"
            "%%     3:\t-0.250\t0.500\t10.000\n%%     0:\t0.000\t0.000\t0.000\n"
            "%%     1:\t10.500\t0.000\t0.000\n%%     2:\t0.000\t10.000\t0.000\n"
            "\n%% Faces:\tF = 4\n%% Visible faces only: \n%% vnums:  0  1  3\nnewpath\n"
            "0.000\t0.000\tmoveto\n10.500\t0.000\tlineto\n-0.250\t0.500\tlineto\n"
            "closepath stroke\n\n%% vnums:  1  2  3\nnewpath\n"
            "10.500\t0.000\tmoveto\n0.000\t10.000\tlineto\n-0.250\t0.500\tlineto\n"
            "closepath stroke\n\n%% List of all faces: \n%%\tv0\tv1\tv2\t(vertex indices)\n"
            "%%\t2\t1\t0\n%%\t2\t0\t3\n%%\t0\t1\t3\n%%\t1\t2\t3\n"
            "\n%% Edges:\tE = 6\n\nshowpage\n\n");
  if (std::system("command -v gs >/dev/null 2>&1") != 0) return;
  FILE *gs = popen("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=nullpage - >/dev/null 2>&1", "w");
  ASSERT_NE(gs, nullptr);
  std::fputs(Probe::print(hull).c_str(), gs);
  EXPECT_EQ(pclose(gs), 0);
}

#ifdef VELMORA_HAVE_QHULL_R
TEST(ConvexHull, AgreesWithQhullOnRandomPointSets) {
  constexpr double kScale = 1000.0;
  constexpr double kBand = 1.0;  // queries this close to the surface are not compared
  std::mt19937 rng(2024);
  int compared = 0;
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    std::uniform_real_distribution<double> coordinate(0.0, kScale);
    std::vector<Point> points(4 + trial % 30);
    for (Point &p : points)
      p = {coordinate(rng), coordinate(rng), coordinate(rng)};
    TConvexHull hull;
    add_all(hull, points);
    ASSERT_EQ(hull.Construct(), 0);
    EXPECT_TRUE(Probe::sound(hull));

    // qhull's vertex ids and facet planes (outward normals) for the same points.
    std::set<int> vertices;
    std::vector<std::array<double, 4>> planes;
    qhT context, *qh = &context;
    qh_zero(qh, stderr);
    ASSERT_EQ(qh_new_qhull(qh, 3, static_cast<int>(points.size()), points[0].data(), False,
                           const_cast<char *>("qhull Qt"), nullptr, stderr),
              0);
    facetT *facet;
    vertexT *vertex;
    FORALLfacets {
      planes.push_back({facet->normal[0], facet->normal[1], facet->normal[2], facet->offset});
    }
    FORALLvertices {
      vertices.insert(qh_pointid(qh, vertex->point));
    }
    qh_freeqhull(qh, !qh_ALL);
    int curlong, totlong;
    qh_memfreeshort(qh, &curlong, &totlong);
    EXPECT_EQ(Probe::vertex_indices(hull), vertices);

    std::uniform_real_distribution<double> u(-0.2 * kScale, 1.2 * kScale);
    for (int q = 0; q < 200; ++q) {
      const Point p = {u(rng), u(rng), u(rng)};
      double excess = -1e300;  // the largest signed distance outside a facet
      for (const auto &pl : planes)
        excess = std::max(excess, pl[0] * p[0] + pl[1] * p[1] + pl[2] * p[2] + pl[3]);
      if (std::abs(excess) < kBand) continue;
      EXPECT_EQ(hull.InsideHull(p[0], p[1], p[2]), excess < 0 ? 1 : 0) << excess;
      ++compared;
    }
    for (const Point &p : points)
      EXPECT_EQ(hull.InsideHull(p[0], p[1], p[2]), 1);
  }
  EXPECT_GT(compared, 4000);
}
#endif

}  // namespace
