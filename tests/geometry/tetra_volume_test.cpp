#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "foundation/alloc.h"
#include "geometry/gamut_sets.h"
#include "geometry/tetra_volume_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/tetra_volume.h"

namespace {

using namespace velmora::tetvol;

using Volume =
    std::unique_ptr<TETRA_VOLUME, decltype([](TETRA_VOLUME *v) { tetra_volume_kill(v); })>;

TETRA_POINT tp(Vec3 p) {
  return {p.x, p.y, p.z, 0.0};
}

// A caller's point list: the records, numbered in order, and the LIST of pointers to them.
struct Points {
  explicit Points(const std::vector<Vec3> &points = {}) {
    for (const Vec3 &p : points)
      add(p);
  }
  void add(Vec3 p) {
    records.push_back({p.x, p.y, p.z, static_cast<double>(records.size())});
    TETRA_POINT *r = &records.back();
    list_insert(list.get(), &r);
  }
  std::deque<TETRA_POINT> records;
  std::unique_ptr<ostrel_list, void (*)(LIST)> list{list_new(10, 8, nullptr), list_kill};
};

void add_face(TETRA_VOLUME *v, Vec3 a, Vec3 b, Vec3 c) {
  const TETRA_POINT p[3] = {tp(a), tp(b), tp(c)};
  tetra_volume_add_plane(v, &p[0], &p[1], &p[2]);
}

Vec3 box_corner(int i, Vec3 lo, Vec3 hi) {
  return {i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z};
}

// The box lo..hi as 12 faces, two per side.
Volume box(Vec3 lo, Vec3 hi) {
  static const int tri[12][3] = {{0, 2, 6}, {0, 6, 4}, {1, 3, 7}, {1, 7, 5}, {0, 1, 5}, {0, 5, 4},
                                 {2, 3, 7}, {2, 7, 6}, {0, 1, 3}, {0, 3, 2}, {4, 5, 7}, {4, 7, 6}};
  Volume v(tetra_volume_new0());
  for (const auto &t : tri)
    add_face(v.get(), box_corner(t[0], lo, hi), box_corner(t[1], lo, hi), box_corner(t[2], lo, hi));
  return v;
}

// n parallel triangles at x = 0 .. n-1, all crossed by the x axis.
Volume slabs(int n) {
  Volume v(tetra_volume_new0());
  for (double x = 0; x < n; ++x)
    add_face(v.get(), {x, -10, -10}, {x, 10, -10}, {x, 0, 10});
  return v;
}

std::vector<Vec3> random_points(std::mt19937 &rng, Vec3 centre, double half, int n) {
  std::uniform_real_distribution<double> u(-half, half);
  std::vector<Vec3> points;
  for (int i = 0; i < n; ++i)
    points.push_back(centre + Vec3{u(rng), u(rng), u(rng)});
  return points;
}

TEST(Tetrahedron, InverseRowsGiveBarycentricWeightsAndFlatDeterminantsAreClamped) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> weight(0.0, 1.0);
  for (int trial = 0; trial < 50; ++trial) {
    const std::vector<Vec3> c = random_points(rng, {0, 0, 0}, 50, 4);
    const TETRA_POINT c0 = tp(c[0]), c1 = tp(c[1]), c2 = tp(c[2]), c3 = tp(c[3]);
    TETRA t;
    tetra_fill(&t, &c0, &c1, &c2, &c3);
    const double w[3] = {weight(rng), weight(rng), weight(rng)}, sum = w[0] + w[1] + w[2];
    double got[3];
    const bool in = tetra_point_inside(
        &t, c[0] + w[0] * (c[1] - c[0]) + w[1] * (c[2] - c[0]) + w[2] * (c[3] - c[0]), got);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(got[k], w[k], 1e-7);
    EXPECT_TRUE(std::fabs(sum - 1.0) < 0.01 || in == (sum < 1.0)) << sum;
  }
  // Corners and edges are inside (bounds inclusive), a point just beyond a face is not.
  const TETRA_POINT o = tp({0, 0, 0}), x = tp({1, 0, 0}), y = tp({0, 1, 0}), z = tp({0, 0, 1});
  TETRA unit;
  tetra_fill(&unit, &o, &x, &y, &z);
  double w[3];
  for (Vec3 p : {Vec3{1, 0, 0}, Vec3{0.5, 0.5, 0}})
    EXPECT_TRUE(tetra_point_inside(&unit, p, w));
  EXPECT_FALSE(tetra_point_inside(&unit, {-1e-9, 0.2, 0.2}, w));
  EXPECT_FALSE(tetra_point_inside(nullptr, {0.1, 0.1, 0.1}, w));
  // det = h for corners o, x, y, (0, 0, h): the sign of the true det survives, 0 becomes +.
  for (const auto &[h, det] : {std::array{0.0, 1e-6}, {1e-9, 1e-6}, {-1e-9, -1e-6}, {2.0, 2.0}}) {
    const TETRA_POINT top = tp({0, 0, h});
    tetra_fill(&unit, &o, &x, &y, &top);
    EXPECT_DOUBLE_EQ(unit.inverse[2][2], 1.0 / det) << h;  // row 3 = (e1 x e2) / det
    EXPECT_DOUBLE_EQ(unit.inverse[0][0], h / det) << h;    // row 1 = (e2 x e3) / det
  }
}

TEST(PointInTriangle, AcceptsThePlaneBandAndTheEdgesButNothingBeside) {
  const double off = std::nextafter(5.0, 0.0);  // one rounding step below the plane
  const std::pair<Vec3, bool> cases[] = {
      {{2, 2, off}, true},    {{2, 2, 5.005}, true}, {{2, 2, 5.02}, false}, {{2, 2, 4.98}, false},
      {{0, 0, 5}, true},      {{5, 5, 5}, true},     {{-0.5, 3, 5}, false}, {{4.9, 5.0, 5}, true},
      {{5.2, 5.1, 5}, false},  // 0.2 beside the long edge: an angle-sum test would take it
  };
  for (const auto &[q, in] : cases)
    EXPECT_EQ(point_in_triangle(q, {0, 0, 5}, {10, 0, 5}, {0, 10, 5}), in) << q.x << " " << q.y;
  EXPECT_FALSE(point_in_triangle({1, 0, 0}, {0, 0, 0}, {2, 0, 0}, {4, 0, 0}));  // no area
}

// Null only without a body: fewer than four points, all within 0.01 of one plane, or a
// coordinate that is not finite. A flat or collinear start is no reason to refuse.
TEST(TetraVolumeNew, RefusesOnlySetsWithoutABody) {
  const double nan = std::nan("");
  const std::pair<std::vector<Vec3>, bool> cases[] = {
      {{}, false},
      {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, false},
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, 0.005}, {3, 7, -0.009}},
       false},                                                   // thinner than 0.01
      {{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {0, 0, 10}}, false},  // one plane
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, nan}, {0, 0, 10}}, false},
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, 0.05}}, true},
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, 0.005}, {0, 0, 10}}, true},  // flat first four
      {{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {30, 0, 0}, {0, 5, 0}, {0, 0, 5}}, true},  // collinear
      {{{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {9, 1, 1}, {1, 9, 1}, {1, 1, 9}}, true},
  };
  for (const auto &[points, built] : cases)
    EXPECT_EQ(Volume(tetra_volume_new(Points(points).list.get())) != nullptr, built)
        << points.size();
  EXPECT_EQ(tetra_volume_new(nullptr), nullptr);
}

TEST(TetraVolume, HandlesAndCornersAnswerTheirDocumentedFailureValues) {
  TETRA t{};
  // Point numbers are truncated; out-of-range ones are clamped instead of overflowing.
  const std::array<double, 3> cases[] = {
      {-7.9, 1, -7}, {7.9, 4, -1}, {1e12, 3, INT_MAX}, {-1e12, 0, INT_MIN}};
  for (const auto &[nr, corner, expected] : cases) {
    t.c0.pointnr = t.c1.pointnr = t.c2.pointnr = t.c3.pointnr = nr;
    EXPECT_EQ(tetra_get_pointnr(&t, static_cast<int>(corner)), static_cast<int>(expected)) << nr;
  }
  EXPECT_EQ(tetra_get_pointnr(nullptr, 0), -1);
  const double p[3] = {1, 2, 3};
  int count = 42;
  TETRA *out = &t;
  EXPECT_EQ(tetra_volume_add_plane(nullptr, &t.c0, &t.c1, &t.c2), -1);
  EXPECT_EQ(tetra_volume_get_tetra2(nullptr, 0, &out), -1);
  EXPECT_EQ(tetra_volume_get_volume(nullptr, 1), -1.0);
  EXPECT_EQ(tetra_volume_point_inside(nullptr, p), 0);
  EXPECT_EQ(tetra_volume_line_intersect2(nullptr, p, p, &count, nullptr, 0), -1);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(tetra_volume_kill(nullptr), 0);
  EXPECT_EQ(tetra_volume_get_tetra2(Volume(tetra_volume_new0()).get(), 0, &out), -1);
  EXPECT_EQ(out, &t);
  // A volume whose lists were never made is still released.
  EXPECT_EQ(tetra_volume_kill(velmora::calloc_array<TETRA_VOLUME>(1)), 0);
}

// Signed distances from the cube of half side 10 and the octahedron with corners 20 away on the
// axes, both around (50, 0, 0).
double cube_measure(Vec3 p) {
  return std::fmax(std::fabs(p.x - 50), std::fmax(std::fabs(p.y), std::fabs(p.z))) - 10;
}
double octahedron_measure(Vec3 p) {
  return (std::fabs(p.x - 50) + std::fabs(p.y) + std::fabs(p.z) - 20) / std::sqrt(3.0);
}

TEST(TetraVolume, HullsOfACubeAnOctahedronAndASampledSphereAgreeWithTheBodies) {
  struct Body {
    std::function<double(Vec3)> measure;  // signed distance, negative inside
    int corners;
    double volume, band;       // inside answers are checked more than band away from the boundary
    std::vector<Vec3> points;  // an apex inside, the corners, then interior points
  };
  const std::vector<Vec3> octahedron = {{52, 1, -2}, {70, 0, 0},   {50, 20, 0}, {50, 0, 20},
                                        {30, 0, 0},  {50, -20, 0}, {50, 0, -20}};
  std::vector<Body> bodies = {{cube_measure, 8, 8e3, 0.02, {{45, 1, 2}}},
                              {octahedron_measure, 6, 4.0 / 3.0 * 8e3, 0.02, octahedron}};
  for (int i = 0; i < 8; ++i)
    bodies[0].points.push_back(box_corner(i, {40, -10, -10}, {60, 10, 10}));
  std::mt19937 rng(3);
  for (Body &body : bodies)
    for (const Vec3 &p : random_points(rng, {50, 0, 0}, 10, 60))
      if (body.measure(p) < -0.5) body.points.push_back(p);
#ifdef VELMORA_HAVE_QHULL_R
  // The centre, 72 points of a sphere and 18 inside it, against qhull's hull of them.
  std::vector<Vec3> sphere = {{50, 0, 0}};
  std::vector<double> coords = {50, 0, 0};
  std::normal_distribution<double> g(0, 1);
  for (int i = 1; i <= 90; ++i) {
    const Vec3 d = {g(rng), g(rng), g(rng)};
    sphere.push_back(Vec3{50, 0, 0} + (i % 5 == 0 ? 15.0 : 30.0) / std::sqrt(dot(d, d)) * d);
    coords.insert(coords.end(), {sphere.back().x, sphere.back().y, sphere.back().z});
  }
  qhT qh_data, *qh = &qh_data;
  qh_zero(qh, nullptr);
  ASSERT_EQ(qh_new_qhull(qh, 3, 91, coords.data(), False, const_cast<char *>("qhull Qt FA"),
                         nullptr, stderr),
            0);
  auto facet_distance = [qh](Vec3 p) {
    double d = -1e300;
    for (facetT *facet = qh->facet_list; facet && facet->next; facet = facet->next)
      d = std::fmax(d, dot(vec(facet->normal), p) + facet->offset);
    return d;
  };
  bodies.push_back({facet_distance, 72, qh->totvol, 0.05, sphere});
#endif
  for (const Body &body : bodies) {
    Volume v(tetra_volume_new(Points(body.points).list.get()));
    ASSERT_NE(v, nullptr);
    PodBuffer<Vec3> hull;
    EXPECT_EQ(tetra_volume_collect_vertices(v.get(), &hull), body.corners);
    EXPECT_NEAR(tetra_volume_get_volume(v.get(), 1), body.volume, 1e-6);  // no face hidden
    for (const Vec3 &p : random_points(rng, {50, 0, 0}, 10, 200)) {
      bool covered = body.measure(p) > -0.01;  // else some tetrahedron holds it
      TETRA *t = nullptr;
      for (int k = 0; !covered && tetra_volume_get_tetra2(v.get(), k, &t) == 0; ++k) {
        double w[3];
        covered = tetra_point_inside(t, p, w);
      }
      EXPECT_TRUE(covered) << p.x << " " << p.y << " " << p.z;
    }
    // Random points, and points whose +x ray runs through corners, along edges or through the
    // diagonal shared by two triangles of a cube side.
    std::vector<Vec3> queries = random_points(rng, {50, 0, 0}, 35, 2000);
    queries.insert(queries.end(), {{20, 20, 0},
                                   {20, 0, -20},
                                   {20, 10, 10},
                                   {20, 0, 0},
                                   {45, 0, 0},
                                   {45, 10, 0},
                                   {20, 19.99, 0}});
    int wrong = 0;
    for (const Vec3 &q : queries) {
      const double p[3] = {q.x, q.y, q.z}, m = body.measure(q);
      if (std::fabs(m) > body.band && tetra_volume_point_inside(v.get(), p) != (m < 0)) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
  }
#ifdef VELMORA_HAVE_QHULL_R
  int curlong = 0, totlong = 0;
  qh_freeqhull(qh, !qh_ALL);
  qh_memfreeshort(qh, &curlong, &totlong);
#endif
}

TEST(TetraVolume, LineIntersectionsCountSharedEdgesOnceAndRespectTheCapacity) {
  Volume v = box({0, 0, 0}, {20, 20, 20});
  struct Case {
    double a[3], b[3];
    std::vector<Vec3> hits;  // in face order
  };
  const Case cases[] = {
      {{-10, 5, 7}, {30, 5, 7}, {{0, 5, 7}, {20, 5, 7}}},
      {{-10, 10, 10}, {30, 10, 10}, {{0, 10, 10}, {20, 10, 10}}},  // through both diagonals
      {{10, 10, 10}, {10, 10, 40}, {{10, 10, 20}}},
      {{-10, -10, -10}, {30, 30, 30}, {{0, 0, 0}, {20, 20, 20}}},  // through two corners
  };
  for (const auto &[a, b, hits] : cases) {
    const int expected = static_cast<int>(hits.size());
    std::vector<double> points(30, -1.0);
    int count = -1;
    ASSERT_EQ(tetra_volume_line_intersect2(v.get(), a, b, &count, points.data(), 10), 0);
    ASSERT_EQ(count, expected);
    for (int i = 0; i < count; ++i)
      EXPECT_TRUE(coincide(hits[i], vec(&points[3 * i]))) << a[0] << " " << i;
    // Too little room: the count is stored and nothing is copied.
    std::vector<double> small(3, -1.0);
    EXPECT_EQ(tetra_volume_line_intersect2(v.get(), a, b, &count, small.data(), 1), 0);
    EXPECT_EQ(count, expected);
    EXPECT_TRUE(count == 1 || small[0] == -1.0);
  }
}

TEST(TetraVolume, ConeVolumeFromTheLabCentreAndPersistentHiddenMarks) {
  // Two parallel faces on the same side: the nearer one covers the farther one's view of the
  // centre, so check_hidden marks it, and the mark stays for later calls.
  Volume pair(tetra_volume_new0());
  add_face(pair.get(), {80, -10, -10}, {80, 10, -10}, {80, 0, 20});
  add_face(pair.get(), {65, -40, -40}, {65, 40, -40}, {65, 0, 60});
  const double far_cone = 0.5 * 20 * 30 * 30 / 3, near_cone = 0.5 * 80 * 100 * 15 / 3;
  EXPECT_NEAR(tetra_volume_get_volume(pair.get(), 0), far_cone + near_cone, 1e-9);
  EXPECT_NEAR(tetra_volume_get_volume(pair.get(), 1), far_cone, 1e-9);  // near face hidden
  EXPECT_NEAR(tetra_volume_get_volume(pair.get(), 0), far_cone, 1e-9);
}

TEST(TetraVolume, AllocationFailuresReleaseEverythingAndReturnNull) {
  velmora::testing::DiagnosticsCapture capture;
  Points pts({{5, 1, 2}});
  for (int i = 0; i < 8; ++i)
    pts.add(box_corner(i, {0, -10, -10}, {20, 10, 10}));
  for (int i = 0; i < 6; ++i)
    pts.add({3.0 + 2 * i, -5.0 + i, 4.0 - i});
  Volume reference(tetra_volume_new(pts.list.get()));
  ASSERT_NE(reference, nullptr);
  int failures = 0;
  for (long k = 0; k < 100000; ++k, ++failures) {
    velmora::test_hooks::fail_allocations_after(k);
    Volume v(tetra_volume_new(pts.list.get()));
    velmora::test_hooks::fail_allocations_after(-1);
    if (v == nullptr) continue;
    EXPECT_EQ(tetra_volume_get_nr_of_tetrahedrae(v.get()), reference->ntetra);
    break;
  }
  EXPECT_GT(failures, 10);

  // More than the 64 hits kept without allocation: a failed growth is reported as -1.
  Volume many = slabs(70);
  const double s[3] = {-1, 0, 0}, e[3] = {100, 0, 0};
  int count = -1;
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(tetra_volume_add_plane(many.get(), &pts.records[0], &pts.records[1], &pts.records[2]),
            -1);
  EXPECT_EQ(tetra_volume_new0(), nullptr);
  EXPECT_EQ(tetra_volume_line_intersect2(many.get(), s, e, &count, nullptr, 0), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(many->nfaces, 70);
  EXPECT_TRUE(capture.errors().empty());
}

TEST(TetraVolume, StorageGrowsBeyondTheOldLimitsOfInteriorPointsAndIntersections) {
  // 2500 parallel faces crossed by one segment: every crossing is kept and copied.
  const int nslabs = 2500;
  const double s[3] = {-1, 0, 0}, e[3] = {3000, 0, 0};
  std::vector<double> out(3 * nslabs);
  int count = 0;
  ASSERT_EQ(tetra_volume_line_intersect2(slabs(nslabs).get(), s, e, &count, out.data(), nslabs), 0);
  ASSERT_EQ(count, nslabs);
  for (int i = 0; i < nslabs; ++i)
    EXPECT_NEAR(out[3 * i], i, 1e-9);

  // 20001 interior points of one tetrahedron (and one that coincides with the first of them):
  // each gets three tetrahedra from the apex and the far face, which the apex fan adds last.
  Points pts({{0, 0, 0}, {100, 0, 0}, {0, 100, 0}, {0, 0, 100}});
  const int n = 20001;
  for (int i = 0; i < n; ++i)
    pts.add({1 + 0.1 * (i % 250), 1 + 0.1 * (i / 250), 1});
  pts.add({1.005, 1, 1});
  Volume v(tetra_volume_new(pts.list.get()));
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(tetra_volume_get_nr_of_tetrahedrae(v.get()), 3 * n + 1);
  for (int i = 0; i <= 3 * n; i += 3 * n / 7) {
    TETRA *t = nullptr;
    ASSERT_EQ(tetra_volume_get_tetra2(v.get(), i, &t), 0);
    std::array<int, 4> corners;
    for (int k = 0; k < 4; ++k)
      corners[k] = tetra_get_pointnr(t, k);
    EXPECT_EQ(corners[0], 0) << i;  // the apex
    // Two corners of the far face and the interior point 4 + i / 3, or the far face itself.
    std::sort(corners.begin() + 1, corners.end());
    const std::array<int, 4> far = {0, 1, 2, 3};
    if (i == 3 * n)
      EXPECT_EQ(corners, far);
    else
      EXPECT_TRUE(corners[1] >= 1 && corners[2] <= 3 && corners[3] == 4 + i / 3) << i;
  }
}

#ifdef VELMORA_HAVE_QHULL_R
Points lab_points(const std::vector<gamut_sets::Point> &points) {
  Points out;
  for (const auto &p : points)
    out.add({p[0], p[1], p[2]});
  return out;
}

// The faces of a volume built from a gamut cover qhull's hull exactly once: the inside answers
// agree with qhull's for queries farther than kBand from its surface, the cone volume from the
// Lab centre equals qhull's volume, and every input point is inside or on the surface. Grid
// orders start with collinear and coplanar runs; the side-by-side order repeats the edges.
TEST(TetraVolume, AgreesWithQhullOnGamutsSpheresAndGridsInAnyOrder) {
  using gamut_sets::Order;
  constexpr double kBand = 0.05;  // Lab units
  struct Case {
    const char *name;
    std::vector<gamut_sets::Point> points;
  };
  const std::vector<Case> cases = {
      {"sRGB 9 grid", gamut_sets::srgb_surface(9, Order::Grid)},
      {"sRGB 9 shuffled", gamut_sets::srgb_surface(9, Order::Shuffled)},
      {"sRGB 17 grid", gamut_sets::srgb_surface(17, Order::Grid)},
      {"sRGB 17 sides", gamut_sets::srgb_surface(17, Order::SideBySide)},
      {"sRGB 33 grid", gamut_sets::srgb_surface(33, Order::Grid)},
      {"sRGB 33 shuffled", gamut_sets::srgb_surface(33, Order::Shuffled)},
      {"sphere 300", gamut_sets::sphere(300)},
      {"sphere 2000", gamut_sets::sphere(2000)},
      {"sphere 5000", gamut_sets::sphere(5000, 4)},
      {"cube 10 grid", gamut_sets::cube_surface(10, {50, 0, 0}, 30)},
      {"FOGRA39", gamut_sets::cgats_lab(VELMORA_DATA_DIR "/FOGRA39L.ti3")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.points.size(), 100u);
    const gamut_sets::Oracle oracle = gamut_sets::qhull_oracle(c.points);
    Points pts = lab_points(c.points);
    Volume v(tetra_volume_new(pts.list.get()));
    ASSERT_NE(v, nullptr);
    EXPECT_GT(tetra_volume_get_nr_of_tetrahedrae(v.get()), 0);
    // Within 0.01 %: faces of less than 0.05 square units add no cone.
    EXPECT_NEAR(tetra_volume_get_volume(v.get(), 0), oracle.volume, 1e-4 * oracle.volume);
    int compared = 0, wrong = 0;
    for (const auto &q : gamut_sets::queries_around(c.points, 1500, 23)) {
      const double excess = oracle.excess(q);
      if (std::fabs(excess) < kBand) continue;
      ++compared;
      wrong += tetra_volume_point_inside(v.get(), q.data()) != (excess < 0 ? 1 : 0);
    }
    EXPECT_EQ(wrong, 0) << "of " << compared;
    EXPECT_GT(compared, 1400);
  }
}

// Inside queries only read the volume and its face index: threads querying one volume at once
// answer as one thread does.
TEST(TetraVolume, ConcurrentInsideQueriesOnOneVolumeAgreeWithOneThread) {
  Points pts = lab_points(gamut_sets::srgb_surface(9, gamut_sets::Order::Grid));
  Volume v(tetra_volume_new(pts.list.get()));
  ASSERT_NE(v, nullptr);
  const std::vector<gamut_sets::Point> queries =
      gamut_sets::queries_around(gamut_sets::srgb_surface(9, gamut_sets::Order::Grid), 400, 8);
  auto answers = [&] {
    std::vector<int> out;
    for (const auto &q : queries)
      out.push_back(tetra_volume_point_inside(v.get(), q.data()));
    return out;
  };
  const std::vector<int> reference = answers();
  std::vector<std::vector<int>> results(3);
  std::vector<std::thread> threads;
  for (auto &r : results)
    threads.emplace_back([&] { r = answers(); });
  for (auto &t : threads)
    t.join();
  for (const auto &r : results)
    EXPECT_EQ(r, reference);
}

// Sets that once went wrong: seven points whose hull was lost to a face seen edge-on (a volume
// without tetrahedra, every point outside), and two sets with a sharp edge that a ray from a
// point 0.06 outside clips, entering and leaving within the coincidence tolerance.
TEST(TetraVolume, RegressionSetsBuildTheirHullAndAnswerNearSharpEdges) {
  const std::vector<std::vector<gamut_sets::Point>> sets = {
      {{90.34375, 22.5859375, 22.5859375},
       {22.5859375, 22.5859375, 22.5859375},
       {106.9140625, 106.9140625, 22.5859375},
       {22.5859375, -56.72265625, -56.72265625},
       {-56.72265625, -56.72265625, -56.72265625},
       {22.5859375, 22.5859375, 22.86328125},
       {-128, 0, 0}},
      {{0, 0, 1}, {0, 0, 10}, {0, 10, 0}, {5, 5, 0}, {0, 5, -64}, {-64, -64, -63}},
      {{0, 0, 1}, {-62.5, -64, -64}, {-48, -64, 10}, {5, 5, 5}},
  };
  for (const auto &points : sets) {
    SCOPED_TRACE(points.size());
    const gamut_sets::Oracle oracle = gamut_sets::qhull_oracle(points);
    Points pts = lab_points(points);
    Volume v(tetra_volume_new(pts.list.get()));
    ASSERT_NE(v, nullptr);
    EXPECT_GT(tetra_volume_get_nr_of_tetrahedrae(v.get()), 0);
    // The Lab centre may lie outside these bodies, so the cone sum may exceed the volume.
    EXPECT_GT(tetra_volume_get_volume(v.get(), 0), oracle.volume * (1 - 1e-9));
    std::vector<gamut_sets::Point> queries = gamut_sets::queries_around(points, 2000, 3);
    for (std::size_t i = 0; i + 1 < points.size(); ++i)  // beside the edges
      queries.push_back({(points[i][0] + points[i + 1][0]) / 2,
                         (points[i][1] + points[i + 1][1]) / 2 + 0.1,
                         (points[i][2] + points[i + 1][2]) / 2});
    int wrong = 0;
    for (const auto &q : queries) {
      const double excess = oracle.excess(q);
      if (std::fabs(excess) > 0.05)
        wrong += tetra_volume_point_inside(v.get(), q.data()) != (excess < 0);
    }
    EXPECT_EQ(wrong, 0);
  }
}
#endif

}  // namespace
