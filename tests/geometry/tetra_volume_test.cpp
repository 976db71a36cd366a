#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <deque>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

#include "foundation/alloc.h"
#include "geometry/tetra_volume_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/tetra_volume.h"

#ifdef VELMORA_HAVE_QHULL_R
extern "C" {
#include <libqhull_r/libqhull_r.h>
}
#endif

namespace {

using namespace velmora::tetvol;
using velmora::testing::DiagnosticsCapture;

struct VolumeDeleter {
  void operator()(TETRA_VOLUME *v) const { tetra_volume_kill(v); }
};
using Volume = std::unique_ptr<TETRA_VOLUME, VolumeDeleter>;

// A caller's point list: the records and the LIST of pointers to them.
class Points {
 public:
  Points() : list_(list_new(10, 8, nullptr)) {}
  Points(std::initializer_list<TETRA_POINT> points) : Points() {
    for (const TETRA_POINT &p : points)
      add(p.x, p.y, p.z, p.pointnr);
  }
  ~Points() { list_kill(list_); }
  Points(const Points &) = delete;
  Points &operator=(const Points &) = delete;
  void add(double x, double y, double z, double nr) {
    records_.push_back({x, y, z, nr});
    TETRA_POINT *p = &records_.back();
    list_insert(list_, &p);
  }
  void add(double x, double y, double z) { add(x, y, z, static_cast<double>(records_.size())); }
  LIST list() const { return list_; }

 private:
  std::deque<TETRA_POINT> records_;
  LIST list_;
};

TETRA_POINT tp(double x, double y, double z, double nr = 0.0) {
  return {x, y, z, nr};
}

// The box lo..hi as 12 faces; each square side is split along the diagonal from its lowest corner.
void add_box(TETRA_VOLUME *v, Vec3 lo, Vec3 hi) {
  for (int axis = 0; axis < 3; ++axis) {
    for (double side : {coordinate(lo, axis), coordinate(hi, axis)}) {
      const int u = (axis + 1) % 3, w = (axis + 2) % 3;
      auto corner = [&](double cu, double cw) {
        double c[3];
        c[axis] = side;
        c[u] = cu;
        c[w] = cw;
        return tp(c[0], c[1], c[2]);
      };
      const double u0 = coordinate(lo, u), u1 = coordinate(hi, u);
      const double w0 = coordinate(lo, w), w1 = coordinate(hi, w);
      TETRA_POINT a = corner(u0, w0), b = corner(u1, w0), c = corner(u1, w1), d = corner(u0, w1);
      ASSERT_EQ(tetra_volume_add_plane(v, &a, &b, &c), 0);
      ASSERT_EQ(tetra_volume_add_plane(v, &a, &c, &d), 0);
    }
  }
}

std::vector<int> corner_numbers(const TETRA *t) {
  return {tetra_get_pointnr(t, 0), tetra_get_pointnr(t, 1), tetra_get_pointnr(t, 2),
          tetra_get_pointnr(t, 3)};
}

std::vector<std::vector<int>> all_corner_numbers(const TETRA_VOLUME *v) {
  std::vector<std::vector<int>> result;
  for (int i = 0; i < tetra_volume_get_nr_of_tetrahedrae(v); ++i) {
    TETRA *t = nullptr;
    EXPECT_EQ(tetra_volume_get_tetra2(v, i, &t), 0);
    result.push_back(corner_numbers(t));
  }
  return result;
}

bool inside_box(const double *p, Vec3 lo, Vec3 hi) {
  return p[0] > lo.x && p[0] < hi.x && p[1] > lo.y && p[1] < hi.y && p[2] > lo.z && p[2] < hi.z;
}

double box_band_distance(const double *p, Vec3 lo, Vec3 hi) {
  double d = 1e300;
  for (int k = 0; k < 3; ++k)
    d = std::fmin(
        d, std::fmin(std::fabs(p[k] - coordinate(lo, k)), std::fabs(p[k] - coordinate(hi, k))));
  return d;
}

TEST(Tetrahedron, InverseRowsGiveBarycentricWeightsAndFlatDeterminantsAreClamped) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(-50.0, 50.0), weight(0.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    TETRA_POINT c[4];
    for (auto &p : c)
      p = tp(coord(rng), coord(rng), coord(rng));
    TETRA t;
    tetra_fill(&t, &c[0], &c[1], &c[2], &c[3]);
    const double w[3] = {weight(rng), weight(rng), weight(rng)};
    Vec3 p = vec(c[0]);
    for (int k = 0; k < 3; ++k)
      p = p + w[k] * (vec(c[k + 1]) - vec(c[0]));
    double got[3];
    const bool in = tetra_point_inside(&t, p, got);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(got[k], w[k], 1e-7);
    const double sum = w[0] + w[1] + w[2];
    if (sum < 0.99 || sum > 1.01) {
      EXPECT_EQ(in, sum < 1.0);
    }
  }

  // Corners lie inside (bounds inclusive); a point just beyond a face does not; null is outside.
  const TETRA_POINT o = tp(0, 0, 0), x = tp(1, 0, 0), y = tp(0, 1, 0), z = tp(0, 0, 1);
  TETRA unit;
  tetra_fill(&unit, &o, &x, &y, &z);
  double w[3];
  for (Vec3 p : {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}, Vec3{0.5, 0.5, 0}})
    EXPECT_TRUE(tetra_point_inside(&unit, p, w));
  EXPECT_FALSE(tetra_point_inside(&unit, {0.5, 0.5, 0.01}, w));
  EXPECT_FALSE(tetra_point_inside(&unit, {-1e-9, 0.2, 0.2}, w));
  EXPECT_FALSE(tetra_point_inside(nullptr, {0.1, 0.1, 0.1}, w));
  EXPECT_DOUBLE_EQ(unit.centroid[0], 0.25);

  // det = h for corners o, x, y, (0, 0, h): the sign of the true det survives, 0 becomes +.
  struct Case {
    double h, det;
  };
  for (Case c : {Case{0.0, 1e-6}, Case{1e-9, 1e-6}, Case{-1e-9, -1e-6}, Case{2.0, 2.0}}) {
    const TETRA_POINT top = tp(0, 0, c.h);
    TETRA t;
    tetra_fill(&t, &o, &x, &y, &top);
    EXPECT_DOUBLE_EQ(t.inverse[2][2], 1.0 / c.det) << c.h;  // row 3 = (e1 x e2) / det
    EXPECT_DOUBLE_EQ(t.inverse[0][0], c.h / c.det) << c.h;  // row 1 = (e2 x e3) / det
  }
  TETRA *heap = tetra_new(&o, &x, &y, &z);
  ASSERT_NE(heap, nullptr);
  EXPECT_DOUBLE_EQ(heap->inverse[1][1], 1.0);
  velmora::mem_free(heap);
}

TEST(PointInTriangle, AcceptsThePlaneBandAndTheEdgesButNothingBeside) {
  const Vec3 a = {0, 0, 5}, b = {10, 0, 5}, c = {0, 10, 5};
  const double off = std::nextafter(5.0, 0.0);  // one rounding step below the plane
  struct Case {
    Vec3 q;
    bool in;
  };
  const Case cases[] = {
      {{2, 2, 5}, true},      {{6, 6, 5}, false},    {{2, 2, off}, true},   {{2, 2, 5.005}, true},
      {{2, 2, 5.02}, false},  {{2, 2, 4.98}, false}, {{2, 2, 7}, false},    {{0, 0, 5}, true},
      {{5, 0, 5}, true},      {{5, 5, 5}, true},     {{-0.5, 3, 5}, false}, {{4.9, 5.0, 5}, true},
      {{5.2, 5.1, 5}, false},  // 0.2 beside the long edge: an angle-sum test would take it
      {{10.5, 0, 5}, false},
  };
  for (const Case &k : cases)
    EXPECT_EQ(point_in_triangle(k.q, a, b, c), k.in) << k.q.x << " " << k.q.y << " " << k.q.z;
  EXPECT_FALSE(point_in_triangle({1, 0, 0}, {0, 0, 0}, {2, 0, 0}, {4, 0, 0}));  // no area
}

TEST(SegmentPlaneHit, FindsTheCrossingBetweenTheEndsAndOnTheFace) {
  const TETRA_POINT p0 = tp(0, 0, 0), p1 = tp(10, 0, 0), p2 = tp(0, 10, 0);
  TETRA_PLANE *f = tetra_plane_new(&p0, &p1, &p2);
  ASSERT_NE(f, nullptr);
  EXPECT_DOUBLE_EQ(f->normal[2], 100.0);  // (p0 - p2) x (p1 - p2)
  EXPECT_DOUBLE_EQ(f->offset, 0.0);
  EXPECT_EQ(f->hidden, 0);
  struct Case {
    Vec3 s, e;
    bool hit;
    Vec3 x;
  };
  const Case cases[] = {
      {{2, 3, -4}, {2, 3, 6}, true, {2, 3, 0}},    // straight through
      {{1, 1, -1}, {3, 5, 3}, true, {1.5, 2, 0}},  // oblique
      {{8, 8, -1}, {8, 8, 1}, false, {8, 8, 0}},   // plane met outside the triangle
      {{2, 3, 1}, {2, 3, 6}, false, {2, 3, 0}},    // plane beyond the segment
      {{2, 3, 0}, {2, 3, 6}, true, {2, 3, 0}},     // segment starts on the face
      {{10.004, 0.003, -1}, {10.004, 0.003, 1}, true, {10.004, 0.003, 0}},  // at a corner
  };
  for (const Case &c : cases) {
    Vec3 x = {-99, -99, -99};
    EXPECT_EQ(segment_plane_hit(f, c.s, c.e, &x), c.hit) << c.s.x << " " << c.s.z;
    EXPECT_NEAR(x.x, c.x.x, 1e-12);
    EXPECT_NEAR(x.y, c.x.y, 1e-12);
    EXPECT_NEAR(x.z, c.x.z, 1e-12);
  }
  Vec3 x = {-99, -99, -99};
  EXPECT_FALSE(segment_plane_hit(f, {1, 1, 1}, {5, 1, 1}, &x));  // parallel: x untouched
  EXPECT_EQ(x.x, -99);
  velmora::mem_free(f);
}

TEST(TetraVolumeNew, BuildsTheHandWorkedTetrahedraOfSmallBodies) {
  Points four{{0, 0, 0, 10}, {10, 0, 0, 11}, {0, 10, 0, 12}, {0, 0, 10, 13}};
  Volume v(tetra_volume_new(four.list()));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->nfaces, 4);
  const int expected_faces[4][3] = {{11, 12, 10}, {11, 13, 10}, {12, 13, 10}, {12, 13, 11}};
  for (int i = 0; i < 4; ++i) {
    const TETRA_PLANE *f = face_at(v.get(), i);
    EXPECT_EQ(static_cast<int>(f->p0.pointnr), expected_faces[i][0]);
    EXPECT_EQ(static_cast<int>(f->p1.pointnr), expected_faces[i][1]);
    EXPECT_EQ(static_cast<int>(f->p2.pointnr), expected_faces[i][2]);
  }
  EXPECT_EQ(all_corner_numbers(v.get()), (std::vector<std::vector<int>>{{10, 12, 13, 11}}));

  // A fifth point inside (and a near-duplicate of it) is fanned in the probe of the far face.
  Points five{{0, 0, 0, 10},  {10, 0, 0, 11}, {0, 10, 0, 12},
              {0, 0, 10, 13}, {1, 2, 3, 14},  {1.005, 2, 3, 15}};
  v.reset(tetra_volume_new(five.list()));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->nfaces, 4);
  EXPECT_EQ(all_corner_numbers(v.get()),
            (std::vector<std::vector<int>>{
                {10, 12, 13, 14}, {10, 13, 11, 14}, {10, 12, 11, 14}, {10, 12, 13, 11}}));

  // A point outside the first tetrahedron grows the hull: the face it sees wholly is replaced by
  // three faces to it, and the apex fan covers those that do not touch the apex.
  Points grown{{0, 0, 0, 10}, {10, 0, 0, 11}, {0, 10, 0, 12}, {0, 0, 10, 13}, {10, 10, 10, 14}};
  v.reset(tetra_volume_new(grown.list()));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->nfaces, 6);
  EXPECT_EQ(all_corner_numbers(v.get()),
            (std::vector<std::vector<int>>{{10, 11, 12, 14}, {10, 11, 13, 14}, {10, 12, 13, 14}}));
}

TEST(TetraVolumeNew, RefusesFewerThanFourPointsOrAFlatStart) {
  struct Case {
    std::vector<std::array<double, 3>> points;
    bool built;
  };
  const Case cases[] = {
      {{}, false},
      {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, false},
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, 0}, {0, 0, 10}}, false},      // coplanar start
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, 0.005}, {0, 0, 10}}, false},  // thinner than 0.01
      {{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {0, 0, 10}}, false},                 // collinear three
      {{{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {5, 5, 0.05}}, true},
  };
  for (const Case &c : cases) {
    Points pts;
    for (const auto &p : c.points)
      pts.add(p[0], p[1], p[2]);
    Volume v(tetra_volume_new(pts.list()));
    EXPECT_EQ(v != nullptr, c.built) << c.points.size();
  }
  EXPECT_EQ(tetra_volume_new(nullptr), nullptr);
}

TEST(TetraVolume, HandlesAndCornersAnswerTheirDocumentedFailureValues) {
  TETRA t{};
  struct Case {
    double nr;
    int corner, expected;
  };
  const Case cases[] = {{7.9, 0, 7},   {-7.9, 1, -7},      {3.0, 2, 3},        {7.9, 4, -1},
                        {7.9, -1, -1}, {1e12, 3, INT_MAX}, {-1e12, 0, INT_MIN}};
  for (const Case &c : cases) {
    TETRA_POINT *corners[4] = {&t.c0, &t.c1, &t.c2, &t.c3};
    if (c.corner >= 0 && c.corner <= 3)
      corners[c.corner]->pointnr = c.nr;
    else
      t.c0.pointnr = c.nr;
    EXPECT_EQ(tetra_get_pointnr(&t, c.corner), c.expected) << c.nr;
  }
  EXPECT_EQ(tetra_get_pointnr(nullptr, 0), -1);

  const double p[3] = {1, 2, 3};
  int count = 42;
  TETRA *out = &t;
  EXPECT_EQ(tetra_volume_add_plane(nullptr, &t.c0, &t.c1, &t.c2), -1);
  EXPECT_EQ(tetra_volume_get_nr_of_tetrahedrae(nullptr), 0);
  EXPECT_EQ(tetra_volume_get_tetra2(nullptr, 0, &out), -1);
  EXPECT_EQ(tetra_volume_get_volume(nullptr, 1), -1.0);
  EXPECT_EQ(tetra_volume_point_inside(nullptr, p), 0);
  EXPECT_EQ(tetra_volume_line_intersect2(nullptr, p, p, &count, nullptr, 0), -1);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(tetra_volume_kill(nullptr), 0);

  Volume empty(tetra_volume_new0());
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(tetra_volume_get_nr_of_tetrahedrae(empty.get()), 0);
  EXPECT_EQ(tetra_volume_get_tetra2(empty.get(), 0, &out), -1);
  EXPECT_EQ(out, &t);
  EXPECT_EQ(tetra_volume_get_volume(empty.get(), 1), 0.0);
  EXPECT_EQ(tetra_volume_point_inside(empty.get(), p), 0);

  // A volume whose lists were never made is still released.
  auto *bare = velmora::calloc_array<TETRA_VOLUME>(1);
  EXPECT_EQ(tetra_volume_kill(bare), 0);
}

TEST(TetraVolume, AxisAlignedBoxAnswersInsideAndCountsSharedEdgeCrossingsOnce) {
  const Vec3 lo = {10, -20, -30}, hi = {30, 20, 10};
  Volume v(tetra_volume_new0());
  add_box(v.get(), lo, hi);
  ASSERT_EQ(v->nfaces, 12);

  // Rays that run through the diagonal shared by two triangles of a side.
  const double on_diagonal_in[3] = {20, 0, -10}, on_diagonal_out[3] = {0, 0, -10};
  EXPECT_EQ(tetra_volume_point_inside(v.get(), on_diagonal_in), 1);
  EXPECT_EQ(tetra_volume_point_inside(v.get(), on_diagonal_out), 0);

  std::mt19937 rng(11);
  std::uniform_real_distribution<double> x(0, 40), y(-30, 30), z(-40, 20);
  int wrong = 0, tested = 0;
  for (int i = 0; i < 4000; ++i) {
    const double p[3] = {x(rng), y(rng), z(rng)};
    if (box_band_distance(p, lo, hi) < 0.02) continue;
    ++tested;
    if (tetra_volume_point_inside(v.get(), p) != (inside_box(p, lo, hi) ? 1 : 0)) ++wrong;
  }
  EXPECT_GT(tested, 3900);
  EXPECT_EQ(wrong, 0);
}

// Signed distance-like measure of p from a body centred on (50, 0, 0): negative inside.
using BodyTest = double (*)(Vec3 p);
double cube_measure(Vec3 p) {  // the cube of half side 10
  return std::fmax(std::fabs(p.x - 50), std::fmax(std::fabs(p.y), std::fabs(p.z))) - 10;
}
double octahedron_measure(Vec3 p) {  // corners 20 away on the axes
  return (std::fabs(p.x - 50) + std::fabs(p.y) + std::fabs(p.z) - 20) / std::sqrt(3.0);
}

TEST(TetraVolume, HullsOfACubeAndAnOctahedronFromCornersAndInteriorPoints) {
  struct Body {
    BodyTest measure;
    Vec3 apex;  // inside, so it is no hull corner in the end
    std::vector<Vec3> corners;
    double volume;
  };
  std::vector<Vec3> cube;
  for (int i = 0; i < 8; ++i)
    cube.push_back({i & 1 ? 60.0 : 40.0, i & 2 ? 10.0 : -10.0, i & 4 ? 10.0 : -10.0});
  const Body bodies[] = {
      {cube_measure, {45, 1, 2}, cube, 8000.0},
      {octahedron_measure,
       {52, 1, -2},
       {{70, 0, 0}, {50, 20, 0}, {50, 0, 20}, {30, 0, 0}, {50, -20, 0}, {50, 0, -20}},
       4.0 / 3.0 * 8000.0},
  };
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1, 1);
  for (const Body &body : bodies) {
    Points pts;
    pts.add(body.apex.x, body.apex.y, body.apex.z);
    for (const Vec3 &c : body.corners)
      pts.add(c.x, c.y, c.z);
    for (int added = 0; added < 30;) {
      const Vec3 p = {50 + 10 * u(rng), 10 * u(rng), 10 * u(rng)};
      if (body.measure(p) < -0.5 && ++added) pts.add(p.x, p.y, p.z);
    }
    Volume v(tetra_volume_new(pts.list()));
    ASSERT_NE(v, nullptr);
    PodBuffer<Vec3> corners;
    EXPECT_EQ(tetra_volume_collect_vertices(v.get(), &corners),
              static_cast<int>(body.corners.size()));
    EXPECT_NEAR(tetra_volume_get_volume(v.get(), 0), body.volume, 1e-6);

    // Every point of the body lies in some tetrahedron.
    const int nt = tetra_volume_get_nr_of_tetrahedrae(v.get());
    for (int i = 0; i < 300; ++i) {
      const Vec3 p = {50 + 10 * u(rng), 10 * u(rng), 10 * u(rng)};
      if (body.measure(p) > -0.01) continue;
      bool covered = false;
      for (int k = 0; k < nt && !covered; ++k) {
        TETRA *t = nullptr;
        tetra_volume_get_tetra2(v.get(), k, &t);
        double w[3];
        covered = tetra_point_inside(t, p, w);
      }
      EXPECT_TRUE(covered) << p.x << " " << p.y << " " << p.z;
    }
    // Random points, and points whose +x ray runs through corners or along edges.
    std::vector<Vec3> queries = {{20, 20, 0}, {20, 0, -20}, {20, 10, 10},  {20, 0, 0},
                                 {45, 0, 0},  {45, 10, 0},  {20, 19.99, 0}};
    for (int i = 0; i < 2000; ++i)
      queries.push_back({50 + 30 * u(rng), 30 * u(rng), 30 * u(rng)});
    int wrong = 0;
    for (const Vec3 &q : queries) {
      const double p[3] = {q.x, q.y, q.z};
      if (std::fabs(body.measure(q)) < 0.02) continue;
      if (tetra_volume_point_inside(v.get(), p) != (body.measure(q) < 0 ? 1 : 0)) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
  }
}

#ifdef VELMORA_HAVE_QHULL_R
// Signed distances of p from the facets of the hull of pts (positive outside).
class QhullOracle {
 public:
  explicit QhullOracle(const std::vector<double> &coords) {
    qh_zero(&qh_, nullptr);
    std::vector<double> copy = coords;
    ok_ = qh_new_qhull(&qh_, 3, static_cast<int>(coords.size() / 3), copy.data(), False,
                       const_cast<char *>("qhull Qt"), nullptr, stderr) == 0;
    if (!ok_) return;
    qhT *qh = &qh_;
    facetT *facet;
    FORALLfacets {
      planes_.push_back({facet->normal[0], facet->normal[1], facet->normal[2], facet->offset});
    }
  }
  ~QhullOracle() {
    int curlong = 0, totlong = 0;
    qh_freeqhull(&qh_, !qh_ALL);
    qh_memfreeshort(&qh_, &curlong, &totlong);
  }
  bool ok() const { return ok_; }
  double max_distance(const double *p) const {
    double d = -1e300;
    for (const auto &h : planes_)
      d = std::fmax(d, h[0] * p[0] + h[1] * p[1] + h[2] * p[2] + h[3]);
    return d;
  }

 private:
  qhT qh_;
  bool ok_ = false;
  std::vector<std::array<double, 4>> planes_;
};

TEST(TetraVolume, SampledSphereAgreesWithQhullAwayFromTheBoundary) {
  std::mt19937 rng(5);
  std::normal_distribution<double> g(0, 1);
  std::uniform_real_distribution<double> u(-1, 1);
  Points pts;
  std::vector<double> coords;
  auto add = [&](double x, double y, double z) {
    pts.add(x, y, z);
    coords.insert(coords.end(), {x, y, z});
  };
  add(50, 0, 0);
  for (int i = 0; i < 90; ++i) {
    const double a = g(rng), b = g(rng), c = g(rng), r = std::sqrt(a * a + b * b + c * c);
    const double radius = i % 5 == 4 ? 15.0 : 30.0;  // some interior points among the hull ones
    add(50 + radius * a / r, radius * b / r, radius * c / r);
  }
  Volume v(tetra_volume_new(pts.list()));
  ASSERT_NE(v, nullptr);
  QhullOracle oracle(coords);
  ASSERT_TRUE(oracle.ok());
  int tested = 0, wrong = 0;
  for (int i = 0; i < 3000; ++i) {
    const double p[3] = {50 + 35 * u(rng), 35 * u(rng), 35 * u(rng)};
    const double d = oracle.max_distance(p);
    if (std::fabs(d) < 0.05) continue;
    ++tested;
    if (tetra_volume_point_inside(v.get(), p) != (d < 0 ? 1 : 0)) ++wrong;
  }
  EXPECT_GT(tested, 2900);
  EXPECT_EQ(wrong, 0);
}
#endif

TEST(TetraVolume, LineIntersectionsMatchTheBoxAndRespectTheCapacity) {
  const Vec3 lo = {0, 0, 0}, hi = {20, 20, 20};
  Volume v(tetra_volume_new0());
  add_box(v.get(), lo, hi);
  struct Case {
    Vec3 a, b;
    std::vector<Vec3> hits;
  };
  const Case cases[] = {
      {{-10, 5, 7}, {30, 5, 7}, {{0, 5, 7}, {20, 5, 7}}},
      {{-10, 10, 10}, {30, 10, 10}, {{0, 10, 10}, {20, 10, 10}}},  // through both diagonals
      {{5, 5, 5}, {15, 5, 5}, {}},
      {{10, 10, 10}, {10, 10, 40}, {{10, 10, 20}}},
      {{-10, -10, -10}, {30, 30, 30}, {{0, 0, 0}, {20, 20, 20}}},  // through two corners
  };
  for (const Case &c : cases) {
    const double a[3] = {c.a.x, c.a.y, c.a.z}, b[3] = {c.b.x, c.b.y, c.b.z};
    std::vector<double> out(30, -1.0);
    int count = -1;
    ASSERT_EQ(tetra_volume_line_intersect2(v.get(), a, b, &count, out.data(), 10), 0);
    ASSERT_EQ(count, static_cast<int>(c.hits.size()));
    for (const Vec3 &h : c.hits) {
      bool found = false;
      for (int i = 0; i < count; ++i)
        found = found || coincide(h, vec(&out[3 * i]));
      EXPECT_TRUE(found) << h.x << " " << h.y << " " << h.z;
    }
    // Too little room: the count is stored and nothing is copied; no room at all is fine too.
    std::vector<double> small(3, -1.0);
    count = -1;
    EXPECT_EQ(tetra_volume_line_intersect2(v.get(), a, b, &count, small.data(), 1), 0);
    EXPECT_EQ(count, static_cast<int>(c.hits.size()));
    if (count != 1) {
      EXPECT_EQ(small[0], -1.0);
    }
    EXPECT_EQ(tetra_volume_line_intersect2(v.get(), a, b, &count, nullptr, 10), 0);
    EXPECT_EQ(count, static_cast<int>(c.hits.size()));
  }
}

TEST(TetraVolume, ConeVolumeFromTheLabCentreAndPersistentHiddenMarks) {
  Volume v(tetra_volume_new0());
  add_box(v.get(), {40, -15, -20}, {60, 15, 20});
  EXPECT_NEAR(tetra_volume_get_volume(v.get(), 0), 20.0 * 30 * 40, 1e-9);
  EXPECT_NEAR(tetra_volume_get_volume(v.get(), 1), 20.0 * 30 * 40, 1e-9);

  // Two parallel faces on the same side: the nearer one covers the farther one's view of the
  // centre, so check_hidden marks it, and the mark stays for later calls.
  Volume pair(tetra_volume_new0());
  TETRA_POINT far0 = tp(80, -10, -10), far1 = tp(80, 10, -10), far2 = tp(80, 0, 20);
  TETRA_POINT near0 = tp(65, -40, -40), near1 = tp(65, 40, -40), near2 = tp(65, 0, 60);
  tetra_volume_add_plane(pair.get(), &far0, &far1, &far2);
  tetra_volume_add_plane(pair.get(), &near0, &near1, &near2);
  const double far_cone = 0.5 * 20 * 30 * 30 / 3, near_cone = 0.5 * 80 * 100 * 15 / 3;
  EXPECT_NEAR(tetra_volume_get_volume(pair.get(), 0), far_cone + near_cone, 1e-9);
  EXPECT_NEAR(tetra_volume_get_volume(pair.get(), 1), far_cone, 1e-9);  // near face hidden
  EXPECT_EQ(face_at(pair.get(), 0)->hidden, 0);
  EXPECT_EQ(face_at(pair.get(), 1)->hidden, 1);
  EXPECT_NEAR(tetra_volume_get_volume(pair.get(), 0), far_cone, 1e-9);

  EXPECT_DOUBLE_EQ(point_line_dist2({1, 2, 3}, {0, 0, 0}, {10, 0, 0}), 13.0);
  EXPECT_DOUBLE_EQ(point_line_dist2({1, 2, 3}, {0, 0, 0}, {0.005, 0, 0}), 0.0);
}

TEST(TetraVolume, AllocationFailuresReleaseEverythingAndReturnNull) {
  DiagnosticsCapture capture;
  Points pts;
  pts.add(5, 1, 2);
  for (int i = 0; i < 8; ++i)
    pts.add(i & 1 ? 20 : 0, i & 2 ? 10 : -10, i & 4 ? 10 : -10);
  for (int i = 0; i < 6; ++i)
    pts.add(3 + 2 * i, -5 + i, 4 - i);
  Volume reference(tetra_volume_new(pts.list()));
  ASSERT_NE(reference, nullptr);

  int failures = 0;
  for (long k = 0; k < 100000; ++k) {
    velmora::test_hooks::fail_allocations_after(k);
    TETRA_VOLUME *v = tetra_volume_new(pts.list());
    velmora::test_hooks::fail_allocations_after(-1);
    if (v == nullptr) {
      ++failures;
      continue;
    }
    EXPECT_EQ(tetra_volume_get_nr_of_tetrahedrae(v), reference->ntetra);
    tetra_volume_kill(v);
    break;
  }
  EXPECT_GT(failures, 10);

  Volume empty(tetra_volume_new0());
  const TETRA_POINT a = tp(0, 0, 0), b = tp(1, 0, 0), c = tp(0, 1, 0);
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(tetra_volume_add_plane(empty.get(), &a, &b, &c), -1);
  EXPECT_EQ(tetra_volume_new0(), nullptr);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(empty->nfaces, 0);

  // More than the 64 hits kept without allocation: a failed growth is reported as -1.
  Volume slabs(tetra_volume_new0());
  for (int i = 0; i < 70; ++i) {
    const TETRA_POINT p0 = tp(i, -10, -10), p1 = tp(i, 10, -10), p2 = tp(i, 0, 10);
    tetra_volume_add_plane(slabs.get(), &p0, &p1, &p2);
  }
  const double s[3] = {-1, 0, 0}, e[3] = {100, 0, 0};
  int count = -1;
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(tetra_volume_line_intersect2(slabs.get(), s, e, &count, nullptr, 0), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(capture.errors().empty());
}

TEST(TetraVolume, StorageGrowsBeyondTheOldLimitsOfInteriorPointsAndIntersections) {
  // 2500 parallel faces crossed by one segment: every crossing is kept and copied.
  Volume slabs(tetra_volume_new0());
  const int nslabs = 2500;
  for (int i = 0; i < nslabs; ++i) {
    const TETRA_POINT p0 = tp(i, -10, -10), p1 = tp(i, 10, -10), p2 = tp(i, 0, 10);
    tetra_volume_add_plane(slabs.get(), &p0, &p1, &p2);
  }
  const double s[3] = {-1, 0, 0}, e[3] = {3000, 0, 0};
  std::vector<double> out(3 * nslabs);
  int count = 0;
  ASSERT_EQ(tetra_volume_line_intersect2(slabs.get(), s, e, &count, out.data(), nslabs), 0);
  ASSERT_EQ(count, nslabs);
  for (int i = 0; i < nslabs; ++i)
    EXPECT_NEAR(out[3 * i], i, 1e-9);

  // 20001 interior points of one tetrahedron: three tetrahedra each, plus the apex fan's one.
  Points pts{{0, 0, 0, 0}, {100, 0, 0, 1}, {0, 100, 0, 2}, {0, 0, 100, 3}};
  const int ninterior = 20001;
  for (int i = 0; i < ninterior; ++i)
    pts.add(1 + 0.1 * (i % 250), 1 + 0.1 * (i / 250), 1);
  Volume v(tetra_volume_new(pts.list()));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(tetra_volume_get_nr_of_tetrahedrae(v.get()), 3 * ninterior + 1);
  TETRA *last = nullptr;
  ASSERT_EQ(tetra_volume_get_tetra2(v.get(), 3 * ninterior - 1, &last), 0);
  EXPECT_EQ(tetra_get_pointnr(last, 3), 4 + ninterior - 1);
}

}  // namespace
