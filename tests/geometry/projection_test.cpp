#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "foundation/alloc.h"
#include "geometry/projection_internal.h"
#include "support/diagnostics_capture.h"

namespace {

constexpr double kTol = 1e-9;
const double kAlongX[3] = {3, 0, 0};
const double kTetra[12] = {0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0, 10};  // its first 9: a triangle

double distance(const double *a, const double *b) {
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// Brute force: the smallest distance from x to a barycentric sampling of a segment or triangle.
double sampled_distance(const double *points, int corners, const double *x) {
  constexpr int kSteps = 120;
  double best = 1e300;
  for (int i = 0; i <= kSteps; ++i)
    for (int j = 0; i + j <= kSteps && (corners == 3 || j == 0); ++j) {
      const double w[3] = {double(i) / kSteps, double(kSteps - i - j) / kSteps, double(j) / kSteps};
      double p[3] = {0, 0, 0};
      for (int k = 0; k < 3 * corners; ++k)
        p[k % 3] += w[k / 3] * points[k];
      best = std::min(best, distance(p, x));
    }
  return best;
}

// The weights are non-negative (within slack), sum to 1 and reproduce the point.
void expect_barycentric(const double *points, int corners, const PROJ_RESULT &r, double slack) {
  double sum = 0, p[3] = {0, 0, 0};
  for (int c = corners; c < 4; ++c)
    EXPECT_EQ(r.weights[c], 0.0);
  for (int c = 0; c < corners; ++c) {
    EXPECT_GE(r.weights[c], -slack);
    sum += r.weights[c];
    for (int k = 0; k < 3; ++k)
      p[k] += r.weights[c] * points[3 * c + k];
  }
  EXPECT_NEAR(sum, 1.0, 1e-9);
  EXPECT_NEAR(distance(p, r.point), 0.0, 1e-7);
}

std::vector<double> random_points(std::mt19937 &rng, int n, double range) {
  std::uniform_real_distribution<double> u(-range, range);
  std::vector<double> v(3 * n);
  for (double &c : v)
    c = u(rng);
  return v;
}

TEST(Projection, FreeProjectionsMatchBruteForceOnSegmentsTrianglesAndTetrahedra) {
  std::mt19937 rng(11);
  int inside = 0;
  for (int trial = 0; trial < 500; ++trial) {
    SCOPED_TRACE(trial);
    const std::vector<double> x = random_points(rng, 1, trial < 100 ? 100 : 20);
    for (int corners = 2; corners <= 3 && trial < 100; ++corners) {
      const std::vector<double> simplex = random_points(rng, corners, 50);
      PROJ_RESULT r;
      double d = -1;
      ASSERT_EQ(corners == 2 ? proj_on_segment(simplex.data(), x.data(), &r, &d)
                             : proj_on_triangle(simplex.data(), x.data(), &r, &d),
                0);
      expect_barycentric(simplex.data(), corners, r, 0.0);
      EXPECT_NEAR(d, distance(r.point, x.data()), kTol);
      EXPECT_LE(d, sampled_distance(simplex.data(), corners, x.data()) + kTol);
    }
    if (trial < 100) continue;
    // The plane-restricted surface projection never beats the free one.
    const std::vector<double> tetra = random_points(rng, 4, 50), m = random_points(rng, 1, 5);
    PROJ_RESULT r, restricted;
    double score = 0, restrictedScore = 0;
    ASSERT_EQ(proj_on_tetra_surface(tetra.data(), x.data(), &r, &score), 0);
    ASSERT_EQ(proj_on_tetra_surface_plane(tetra.data(), x.data(), m.data(), &restricted,
                                          &restrictedScore),
              0);
    expect_barycentric(tetra.data(), 4, restricted, 1e-12);
    EXPECT_GE(restrictedScore, distance(restricted.point, x.data()) - kTol);
    EXPECT_GE(restrictedScore, score - kTol);
    // A tetrahedron keeps the points inside and projects the others onto its nearest face.
    ASSERT_EQ(proj_on_tetra(tetra.data(), x.data(), &r, &score), 0);
    inside += score >= 0;
    expect_barycentric(tetra.data(), 4, r, score >= 0 ? 0.001 : 0.0);
    if (score >= 0) {
      EXPECT_EQ(distance(r.point, x.data()), 0.0);
      EXPECT_EQ(score, *std::max_element(r.weights, r.weights + 4));
      continue;
    }
    EXPECT_NEAR(-score, distance(r.point, x.data()), kTol);
    for (int omit = 0; omit < 4; ++omit) {
      std::vector<double> face;
      for (int c = 0; c < 4; ++c)
        if (c != omit) face.insert(face.end(), &tetra[3 * c], &tetra[3 * c] + 3);
      EXPECT_LE(-score, sampled_distance(face.data(), 3, x.data()) + kTol);
    }
  }
  EXPECT_GT(inside, 20);
  EXPECT_LT(inside, 380);
}

using Projector = int (*)(const double *, const double *, const double *, PROJ_RESULT *, double *);
const Projector kFree = [](const double *t, const double *x, const double *, PROJ_RESULT *r,
                           double *d) { return proj_on_triangle(t, x, r, d); };
const Projector kTetraFree = [](const double *t, const double *x, const double *, PROJ_RESULT *r,
                                double *d) { return proj_on_tetra(t, x, r, d); };
const Projector kParline = proj_on_triangle_parline, kTrianglePlane = proj_on_triangle_plane,
                kSegmentPlane = proj_on_segment_plane, kTetraPlane = proj_on_tetra_plane;

TEST(Projection, HandPlacedCasesGetTheirClosedFormWeightsAndScores) {
  const double obtuse[9] = {0, 0, 0, 10, 0, 0, -10, 1, 0}, twoEqual[9] = {0, 0, 0, 0, 0, 0, 10},
               collinear[9] = {0, 0, 0, -5, 0, 0, 5}, line[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2},
               flat[12] = {0, 0, 0, 10, 0, 0, 0, 10, 0, 5, 5, 0},
               lastTwoEqual[9] = {0, 0, 0, 1, 0, 0, 1, 0, 0};
  const double alongZ[3] = {0, 0, 3}, down[3] = {0, 0, -2}, slanted[3] = {1, 1, 1};
  struct Case {
    Projector project;
    const double *simplex, x[3], *m, weights[4], score;
  } cases[] = {
      // Beyond the obtuse corner P0 the nearest side is P0P2, at 6 / sqrt(101) < 5.
      {kFree, obtuse, {-5, -0.1, 0}, nullptr, {51.1 / 101, 0, 49.9 / 101}, 6 / std::sqrt(101.0)},
      // Triangles without a plane use their longest side; P0P2 and P1P2 tie, and P1P2 wins.
      {kFree, twoEqual, {4, 3, 0}, nullptr, {0, 0.6, 0.4}, 3},
      {kFree, collinear, {7, 1, 1}, nullptr, {0, 0, 1}, std::sqrt(6.0)},
      // {P0, P1, P1}: P0P1 and P0P2 tie, P0P2 wins; the zero-length side P1P2 would give P1.
      {kFree, lastTwoEqual, {0.5, 1, 0}, nullptr, {0.5, 0, 0.5}, 1},
      {kTrianglePlane, lastTwoEqual, {0.5, 1, 0}, kAlongX, {0.5, 0, 0.5}, 1},
      // A point on a face, or within 0.001 of it in weight (0.01 here) on either side, is inside
      // and stays where it is; beyond that it moves onto the face.
      {kTetraFree, kTetra, {2, 3, 0}, nullptr, {0.5, 0.2, 0.3, 0}, 0.5},
      {kTetraFree, kTetra, {2, 3, -0.009}, nullptr, {0.5009, 0.2, 0.3, -0.0009}, 0.5009},
      {kTetraFree, kTetra, {2, 3, 0.009}, nullptr, {0.4991, 0.2, 0.3, 0.0009}, 0.4991},
      {kTetraFree, kTetra, {2, 3, -0.02}, nullptr, {0.5, 0.2, 0.3, 0}, -0.02},
      {kTetraPlane, kTetra, {2, 3, -0.009}, kAlongX, {0.5009, 0.2, 0.3, -0.0009}, 0.5009},
      // Plane-restricted: within the plane, or charged sqrt(1000) per unit of leaving it.
      {kTrianglePlane, kTetra, {2, 3, 5}, kAlongX, {0.5, 0.2, 0.3}, 5},
      {kTrianglePlane, kTetra, {2, 3, 5}, alongZ, {0.5, 0.2, 0.3}, std::sqrt(25000.0)},
      {kSegmentPlane, kTetra, {4, 2, 0}, kAlongX, {0.6, 0.4}, 2},
      {kSegmentPlane, kTetra, {14, 0, 0}, kAlongX, {0, 1}, std::sqrt(16000.0)},
      // The plane x = 2 meets the slanted face at (2, 1.5, 6.5).
      {kTetraPlane, kTetra, {2, 3, 8}, kAlongX, {0, 0.2, 0.15, 0.65}, -std::sqrt(4.5)},
      // Corners 1, 2, 3 on one line: the degenerate face's longest side P1P2 and corner 0.
      {kTetraPlane, flat, {2, 3, 5}, kAlongX, {0.5, 0.2, 0.3}, -5},
      // Along a line: signed by whether it meets the triangle; -1 when it cannot meet it.
      {kParline, kTetra, {2, 2, 5}, down, {0.6, 0.2, 0.2}, 5},
      {kParline, kTetra, {2, 2, 5}, slanted, {1, 0, 0}, -std::sqrt(33.0)},
      {kParline, kTetra, {2, 2, 5}, kAlongX, {0, 0, 0}, -1e20},
      {kParline, line, {2, 2, 5}, down, {0, 0, 0}, -1e20},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    PROJ_RESULT r{};
    double score = 0, point[3] = {0, 0, 0};
    EXPECT_EQ(c.project(c.simplex, c.x, c.m, &r, &score), c.score == -1e20 ? -1 : 0);
    EXPECT_NEAR(score, c.score, 1e-12);
    for (int k = 0; k < 4; ++k)
      EXPECT_NEAR(r.weights[k], c.weights[k], 1e-12);
    const int corners = c.project == kSegmentPlane                            ? 2
                        : c.project == kTetraPlane || c.project == kTetraFree ? 4
                                                                              : 3;
    for (int k = 0; k < 3 * corners; ++k)
      point[k % 3] += c.weights[k / 3] * c.simplex[k];
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(r.point[k], point[k], 1e-12);
  }
}

TEST(Projection, PlanesMeetInALineOnBothUnlessParallel) {
  auto dot = [](const double *s, const double *t) {
    return s[0] * t[0] + s[1] * t[1] + s[2] * t[2];
  };
  std::mt19937 rng(9);
  for (int trial = 0; trial < 50; ++trial) {
    double a[4], b[4], u[3], point[3];
    const std::vector<double> p = random_points(rng, 3, 20), q = random_points(rng, 3, 20);
    ASSERT_EQ(plane_from_points(&p[0], &p[3], &p[6], a), 0);
    ASSERT_EQ(plane_from_points(&q[0], &q[3], &q[6], b), 0);
    ASSERT_EQ(plane_intersection_line(a, b, u, point), 0);
    for (double zero : {dot(a, point) + a[3], dot(b, point) + b[3], dot(u, point)})
      EXPECT_NEAR(zero, 0, 1e-9);
    for (double zero : {dot(u, u) - 1, dot(u, a), dot(u, b)})
      EXPECT_NEAR(zero, 0, 1e-12);
  }
  const double z1[4] = {0, 0, 1, -1}, z5[4] = {0, 0, -1, 5};
  double u[3] = {9, 9, 9}, point[3] = {9, 9, 9}, plane[4] = {7, 7, 7, 7};
  EXPECT_EQ(plane_intersection_line(z1, z5, u, point), -1);
  EXPECT_EQ(std::vector<double>(point, point + 3), (std::vector<double>{9, 9, 9}));
  const double p0[3] = {0, 0, 0}, p1[3] = {1, 1, 1}, p2[3] = {2, 2, 2 + 1e-22};
  EXPECT_EQ(plane_from_points(p0, p1, p2, plane), -1);
  EXPECT_EQ(plane[0], 7);
}

TEST(Projection, RestrictedProjectionsGiveTheSameResultsOnConcurrentThreads) {
  std::mt19937 rng(21);
  const std::vector<double> input = random_points(rng, 6 * 3000, 50);
  // Every plane-restricted projection of the batch, as raw bytes.
  auto batch = [&input] {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 18 <= input.size(); i += 18) {
      struct {
        PROJ_RESULT r[2] = {};
        double s[2] = {};
      } out;
      proj_on_triangle_plane(&input[i], &input[i + 12], &input[i + 15], &out.r[0], &out.s[0]);
      proj_on_tetra_plane(&input[i], &input[i + 12], &input[i + 15], &out.r[1], &out.s[1]);
      const auto *raw = reinterpret_cast<const unsigned char *>(&out);
      bytes.insert(bytes.end(), raw, raw + sizeof out);
    }
    return bytes;
  };
  const std::vector<unsigned char> reference = batch();
  std::vector<std::vector<unsigned char>> results(3);
  std::vector<std::thread> threads;
  for (auto &result : results)
    threads.emplace_back([&batch, &result] { result = batch(); });
  for (auto &t : threads)
    t.join();
  for (const auto &result : results)
    EXPECT_TRUE(result == reference);
}

TEST(Projection, RestrictedProjectionsReportWhenTheirMatrixCannotBeMade) {
  // Runs on a fresh thread, whose work matrix does not exist yet.
  std::thread([] {
    const double x[3] = {2, 3, 8}, a[4] = {0, 0, 1, -1}, b[4] = {1, 0, 0, -2};
    bool recovered = false;
    for (long k = 0; k < 40 && !recovered; ++k) {
      velmora::testing::DiagnosticsCapture capture;
      PROJ_RESULT r;
      double score = 0, u[3], p[3];
      velmora::test_hooks::fail_allocations_after(k);
      const int triangle = proj_on_triangle_plane(kTetra, x, kAlongX, &r, &score);
      const int surface = proj_on_tetra_surface_plane(kTetra, x, kAlongX, &r, &score);
      const int solid = proj_on_tetra_plane(kTetra, x, kAlongX, &r, &score);
      velmora::test_hooks::fail_allocations_after(k);
      const int line = plane_intersection_line(a, b, u, p);
      velmora::test_hooks::fail_allocations_after(-1);
      recovered = triangle == 0 && line == 0;
      for (int status : {triangle, surface, solid})
        EXPECT_EQ(status, triangle == 0 ? status : kProjNoResources) << k;
      // The line's own matrices fail as -100; a failed decomposition inside its solve as -1.
      EXPECT_TRUE(line == 0 || line == kProjNoResources || line == -1) << k;
      EXPECT_EQ(capture.errors().empty(), recovered) << k;
      for (const auto &text : capture.error_texts())
        EXPECT_EQ(text.rfind("nr: 1, kind: 0, sys: 12, file: ", 0), 0u) << text;
      EXPECT_TRUE(!recovered ||
                  (surface == 0 && solid == 0 && std::fabs(score + std::sqrt(4.5)) < 1e-9))
          << score;
    }
    EXPECT_TRUE(recovered);
  }).join();
}

}  // namespace
