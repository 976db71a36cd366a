#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "geometry/gamut_sets.h"
#include "support/diagnostics_capture.h"
#include "velmora/tconvexhull.h"

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
  // Every point of the set has an exactly non-negative determinant against every face, as the
  // construction promises: no input point lies outside the hull.
  static bool holds_exactly(const TConvexHull &h, const std::vector<Point> &points) {
    bool ok = true;
    for (const Point &p : points) {
      tVertexStructure v{};
      for (int k = 0; k < 3; ++k)
        v.coords[k] = p[k];
      walk(h.faces, [&](const tFaceStructure *f) { ok &= h.ExactVolumeSign(f, &v) >= 0; });
    }
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
// the other two are drawn, moved by (72.25, 72) onto the page.
TEST(ConvexHull, PrintsAPostScriptListingThatRenders) {
  TConvexHull hull;
  add_all(hull, {{0, 0, 0}, {10.5, 0, 0}, {0, 10, 0}, {-0.25, 0.5, 10}});
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_EQ(Probe::print(hull),
            "%!PS\n%%BoundingBox: 72 72 83 82\n%%HiResBoundingBox: 72 72 83 82\n0 setlinewidth\n"
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
  if (std::system("command -v gs >/dev/null 2>&1") != 0) GTEST_SKIP() << "Ghostscript not found";
  FILE *gs = popen("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=nullpage - >/dev/null 2>&1", "w");
  ASSERT_NE(gs, nullptr);
  std::fputs(Probe::print(hull).c_str(), gs);
  EXPECT_EQ(pclose(gs), 0);
}

// Every point the listing draws, moved by its translation, lies in its bounding box, wherever
// the hull lies (negative, offset and wide coordinates).
TEST(ConvexHull, PostScriptBoundingBoxHoldsEveryDrawnPoint) {
  const std::vector<std::vector<Point>> sets = {
      gamut_sets::sphere(60, 3),
      gamut_sets::srgb_surface(5, gamut_sets::Order::Shuffled),
      {{-500.5, -20.25, 0}, {-480, -20, 0}, {-490, 300.75, 0}, {-495, 10, 40}, {-470, 5, -3}}};
  for (const auto &set : sets) {
    TConvexHull hull;
    add_all(hull, set);
    ASSERT_EQ(hull.Construct(), 0);
    std::istringstream listing(Probe::print(hull));
    std::string line;
    int box[4] = {0, 0, 0, 0}, hires[4] = {1, 1, 1, 1}, drawn = 0;
    double dx = 0, dy = 0;
    while (std::getline(listing, line)) {
      double x, y;
      char word[16];
      if (std::sscanf(line.c_str(), "%%%%BoundingBox: %d %d %d %d", &box[0], &box[1], &box[2],
                      &box[3]) == 4)
        continue;
      if (std::sscanf(line.c_str(), "%%%%HiResBoundingBox: %d %d %d %d", &hires[0], &hires[1],
                      &hires[2], &hires[3]) == 4)
        continue;
      if (std::sscanf(line.c_str(), "%lf %lf %15s", &x, &y, word) != 3) continue;
      if (std::string(word) == "translate") {
        dx = x;
        dy = y;
      } else {
        ++drawn;
        // The listing rounds to 3 decimals.
        EXPECT_GE(x + dx, box[0] - 0.001);
        EXPECT_LE(x + dx, box[2] + 0.001);
        EXPECT_GE(y + dy, box[1] - 0.001);
        EXPECT_LE(y + dy, box[3] + 0.001);
      }
    }
    EXPECT_GT(drawn, 0);
    EXPECT_TRUE(std::equal(box, box + 4, hires));
  }
}

// The inputs that once gave a wrong hull with success, read freed memory, or dereferenced null on
// a second Construct; NaN queries and refused coordinates.
TEST(ConvexHull, RegressionInputsGiveSoundHullsHoldingEveryPoint) {
  const std::vector<std::vector<Point>> sets = {
      {{113.94140625, 113.94140625, 113.94140625},
       {113.7265625, 113.81640625, 113.87109375},
       {-27.609375, -27.609375, -27.609375},
       {127.390625, 127.99609375, 127.99609375},
       {127.99609375, 127.99609375, 127.99609375},
       {0, 94.9921875, -87.06640625}},
      {{10.5390625, 10.5390625, 10.5390625},
       {10.9765625, 10.5390625, 10.5390625},
       {10.5390625, 69.5390625, 69.76953125},
       {101.76953125, 69.76953125, 69.76953125},
       {69.76953125, 69.76953125, -118.23046875},
       {9, 9, 9},
       {-118.96484375, 9, 9},
       {0, 69.76953125, 69.76953125}},
      {{1e28, 0, 0},
       {0, 1e28, 0},
       {0, 0, 1e28},
       {-1e28, -1e28, -1e28},
       {1e27, 1e27, 1e27},
       {3e28, 1e28, 0},
       {1, 2, 3}},
      // A huge coordinate beside small ones: the start of a second Construct needs the
      // coplanarity band evaluated accurately.
      {{0, 0, 0},
       {0, 0, 8},
       {8, 2, 0},
       {4, 4, 4},
       {0, 4, 4},
       {2, 0, 0},
       {1e28, 0, 0},
       {0, -63.5, -64},
       {0, 0, 4}},
      // Duplicates leave no three consecutive non-collinear points.
      {{0, 0, 0}, {0, 0, 0}, {9, 0, 0}, {9, 0, 0}, {0, 9, 0}, {0, 9, 0}, {0, 0, 9}, {0, 0, 9}},
  };
  for (const auto &set : sets) {
    SCOPED_TRACE(set.size());
    DiagnosticsCapture capture;
    TConvexHull hull;
    add_all(hull, set);
    for (int round = 0; round < 2; ++round) {  // a repeated Construct builds the same hull
      ASSERT_EQ(hull.Construct(), 0);
      EXPECT_TRUE(Probe::sound(hull));
      EXPECT_TRUE(Probe::holds_exactly(hull, set));
    }
    TConvexHull copy(hull);
    ASSERT_EQ(copy.Construct(), 0);
    EXPECT_TRUE(Probe::holds_exactly(copy, set));
    EXPECT_TRUE(capture.errors().empty());
  }
  // The first set's fifth point is a corner, and the hull holds what lies between its points.
  TConvexHull hull;
  add_all(hull, sets[0]);
  ASSERT_EQ(hull.Construct(), 0);
  EXPECT_TRUE(Probe::vertex_indices(hull).count(4));
  EXPECT_EQ(hull.InsideHull(60, 60, 60), 1);

  const double nan = std::nan(""), inf = HUGE_VAL;
  TConvexHull cube;
  add_all(cube, gamut_sets::cube_surface(3, {5, 5, 5}, 5));
  ASSERT_EQ(cube.Construct(), 0);
  for (const Point &q : {Point{nan, 5, 5}, Point{5, nan, 5}, Point{5, 5, nan}, Point{inf, 5, 5},
                         Point{5, -inf, 5}, Point{5, 5, 1e300}})
    EXPECT_EQ(cube.InsideHull(q[0], q[1], q[2]), 0);
  DiagnosticsCapture capture;
  for (const Point &q : {Point{nan, 5, 5}, Point{5, inf, 5}, Point{5, 5, -2e99}})
    EXPECT_EQ(cube.AddPoint(q[0], q[1], q[2]), -1);
  EXPECT_EQ(
      capture.error_texts(),
      std::vector<std::string>(3, "TConvexHull::AddPoint: coordinate not finite or beyond 1e99"));
  ASSERT_EQ(cube.AddPoint(20, 20, 20), 0);  // the refused points took no number
  ASSERT_EQ(cube.Construct(), 0);
  EXPECT_TRUE(Probe::vertex_indices(cube).count(26));
}

#ifdef VELMORA_HAVE_QHULL_R
// The point sets of gamut work against qhull's hull of them: every input point inside, the
// hull's structure sound, and inside answers equal to qhull's for queries farther than kBand from
// its surface. Sphere corners must match qhull's vertices.
TEST(ConvexHull, AgreesWithQhullOnGamutsSpheresAndGrids) {
  using gamut_sets::Order;
  constexpr double kBand = 0.5;  // Lab units
  struct Case {
    const char *name;
    std::vector<Point> points;
    bool same_corners;
  };
  std::vector<Case> cases = {
      {"sphere 300", gamut_sets::sphere(300), true},
      {"sphere 800", gamut_sets::sphere(800), true},
      {"sphere 2000", gamut_sets::sphere(2000), true},
      {"sphere 5000", gamut_sets::sphere(5000, 9), true},
      {"sRGB 9 grid", gamut_sets::srgb_surface(9, Order::Grid), false},
      {"sRGB 17 grid", gamut_sets::srgb_surface(17, Order::Grid), false},
      {"sRGB 17 sides", gamut_sets::srgb_surface(17, Order::SideBySide), false},
      {"sRGB 33 grid", gamut_sets::srgb_surface(33, Order::Grid), false},  // tiny first triangle
      {"sRGB 33 shuffled", gamut_sets::srgb_surface(33, Order::Shuffled), false},
      {"cube 12 grid", gamut_sets::cube_surface(12, {50, 0, 0}, 40), false},
      {"FOGRA39", gamut_sets::cgats_lab(VELMORA_DATA_DIR "/FOGRA39L.ti3"), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.points.size(), 100u);
    const gamut_sets::Oracle oracle = gamut_sets::qhull_oracle(c.points);
    ASSERT_FALSE(oracle.planes.empty());
    TConvexHull hull;
    add_all(hull, c.points);
    ASSERT_EQ(hull.Construct(), 0);
    EXPECT_TRUE(Probe::sound(hull));
    // Every input point (every seventh of the large sets, to keep the run short) holds.
    std::vector<Point> sample;
    for (std::size_t i = 0; i<c.points.size(); i += c.points.size()> 2000 ? 7 : 1)
      sample.push_back(c.points[i]);
    EXPECT_TRUE(Probe::holds_exactly(hull, sample));
    if (c.same_corners) {
      EXPECT_EQ(Probe::vertex_indices(hull), oracle.vertices);
    }
    int compared = 0, wrong = 0;
    for (const Point &q : gamut_sets::queries_around(c.points, 1000, 17)) {
      const double excess = oracle.excess(q);
      if (std::fabs(excess) < kBand) continue;
      ++compared;
      wrong += hull.InsideHull(q[0], q[1], q[2]) != (excess < 0 ? 1 : 0);
    }
    EXPECT_EQ(wrong, 0) << "of " << compared;
    EXPECT_GT(compared, 800);
    for (const Point &p : sample)
      ASSERT_EQ(hull.InsideHull(p[0], p[1], p[2]), 1);
  }
}
#endif

}  // namespace
