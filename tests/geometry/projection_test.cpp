#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/alloc.h"
#include "geometry/projection_internal.h"
#include "support/diagnostics_capture.h"

namespace {

using velmora::testing::DiagnosticsCapture;
using Vec = std::array<double, 3>;

constexpr double kTol = 1e-9;

double distance(const double *a, const double *b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

// Smallest distance from x to a dense barycentric sampling of the first `corners` points.
double sampled_distance(const double *points, int corners, const double *x) {
  constexpr int kSteps = 120;
  double best = 1e300;
  auto consider = [&](const double *w) {
    double p[3] = {0, 0, 0};
    for (int c = 0; c < corners; ++c)
      for (int k = 0; k < 3; ++k)
        p[k] += w[c] * points[3 * c + k];
    best = std::min(best, distance(p, x));
  };
  for (int i = 0; i <= kSteps; ++i) {
    if (corners == 2) {
      const double w[2] = {1.0 - double(i) / kSteps, double(i) / kSteps};
      consider(w);
      continue;
    }
    for (int j = 0; i + j <= kSteps; ++j) {
      const double w[3] = {double(i) / kSteps, double(j) / kSteps, double(kSteps - i - j) / kSteps};
      consider(w);
    }
  }
  return best;
}

// The weights are non-negative (within slack), sum to 1 and reproduce the point.
void expect_barycentric(const double *points, int corners, const PROJ_RESULT &r, double slack,
                        const std::string &where) {
  double sum = 0, p[3] = {0, 0, 0};
  for (int c = 0; c < 4; ++c) {
    if (c >= corners) {
      EXPECT_EQ(r.weights[c], 0.0) << where;
      continue;
    }
    EXPECT_GE(r.weights[c], -slack) << where;
    sum += r.weights[c];
    for (int k = 0; k < 3; ++k)
      p[k] += r.weights[c] * points[3 * c + k];
  }
  EXPECT_NEAR(sum, 1.0, 1e-9) << where;
  EXPECT_NEAR(distance(p, r.point), 0.0, 1e-7) << where;
}

std::vector<double> random_points(std::mt19937 &rng, int n, double range) {
  std::uniform_real_distribution<double> u(-range, range);
  std::vector<double> v(3 * n);
  for (double &c : v)
    c = u(rng);
  return v;
}

TEST(Projection, FreeProjectionsFindTheNearestPointOfSegmentsAndTriangles) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 300; ++trial) {
    const std::string where = "trial " + std::to_string(trial);
    const std::vector<double> x = random_points(rng, 1, 100);
    for (int corners : {2, 3}) {
      const std::vector<double> simplex = random_points(rng, corners, 50);
      PROJ_RESULT r;
      double d = -1;
      const int status = corners == 2 ? proj_on_segment(simplex.data(), x.data(), &r, &d)
                                      : proj_on_triangle(simplex.data(), x.data(), &r, &d);
      ASSERT_EQ(status, 0) << where;
      expect_barycentric(simplex.data(), corners, r, 0.0, where);
      EXPECT_NEAR(d, distance(r.point, x.data()), kTol) << where;
      EXPECT_LE(d, sampled_distance(simplex.data(), corners, x.data()) + kTol) << where;
    }
  }
}

TEST(Projection, PointBeyondAnObtuseCornerGoesToTheNearerSide) {
  const double triangle[9] = {0, 0, 0, 10, 0, 0, -10, 1, 0};
  const double x[3] = {-5, -0.1, 0};
  PROJ_RESULT r;
  double d = 0;
  ASSERT_EQ(proj_on_triangle(triangle, x, &r, &d), 0);
  EXPECT_NEAR(d, 6.0 / std::sqrt(101.0), 1e-12);  // on side P0P2, not P0 at distance 5
  EXPECT_EQ(r.weights[1], 0.0);
  expect_barycentric(triangle, 3, r, 0.0, "obtuse");
}

TEST(Projection, DegenerateSimplicesUseTheirLongestSide) {
  struct Case {
    double triangle[9];
    double x[3];
    double point[3];
    double weights[3];
  } cases[] = {
      // Two equal corners: sides P0P2 and P1P2 tie, and the tie goes to P1P2.
      {{0, 0, 0, 0, 0, 0, 10, 0, 0}, {4, 3, 0}, {4, 0, 0}, {0, 0.6, 0.4}},
      // P0P2 strictly longest.
      {{0, 0, 0, 1, 0, 0, 10, 0, 0}, {4, 3, 0}, {4, 0, 0}, {0.6, 0, 0.4}},
      // Collinear corners, P1P2 longest.
      {{0, 0, 0, -5, 0, 0, 5, 0, 0}, {7, 1, 1}, {5, 0, 0}, {0, 0, 1}},
      // A segment of one point.
      {{2, 2, 2, 2, 2, 2, 2, 2, 2}, {0, 0, 0}, {2, 2, 2}, {0, 1, 0}},
  };
  for (const Case &c : cases) {
    PROJ_RESULT r;
    double d = -1;
    ASSERT_EQ(proj_on_triangle(c.triangle, c.x, &r, &d), 0);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(r.point[k], c.point[k], 1e-12);
      EXPECT_NEAR(r.weights[k], c.weights[k], 1e-12);
    }
    EXPECT_NEAR(d, distance(c.point, c.x), 1e-12);
  }

  // Segments: beyond either end, inside, and a single point.
  const double segment[6] = {0, 0, 0, 10, 0, 0};
  const double beyondEnd[3] = {12, 1, 0}, beforeStart[3] = {-3, 0, 4}, middle[3] = {2.5, 9, 0};
  PROJ_RESULT r;
  double d;
  proj_on_segment(segment, beyondEnd, &r, &d);
  EXPECT_EQ(std::vector<double>(r.weights, r.weights + 2), (std::vector<double>{0, 1}));
  EXPECT_EQ(r.point[0], 10);
  proj_on_segment(segment, beforeStart, &r, &d);
  EXPECT_EQ(std::vector<double>(r.weights, r.weights + 2), (std::vector<double>{1, 0}));
  EXPECT_EQ(d, 5);
  proj_on_segment(segment, middle, &r, nullptr);
  EXPECT_DOUBLE_EQ(r.weights[0], 0.75);
  EXPECT_DOUBLE_EQ(r.weights[1], 0.25);
}

TEST(Projection, TetrahedronKeepsInsidePointsAndProjectsOthersOntoItsSurface) {
  std::mt19937 rng(5);
  int inside = 0, outside = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const std::string where = "trial " + std::to_string(trial);
    const std::vector<double> tetra = random_points(rng, 4, 50);
    const std::vector<double> x = random_points(rng, 1, 20);
    PROJ_RESULT r;
    double score = 0;
    ASSERT_EQ(proj_on_tetra(tetra.data(), x.data(), &r, &score), 0);
    if (score >= 0) {
      ++inside;
      expect_barycentric(tetra.data(), 4, r, 0.001, where);
      EXPECT_EQ(distance(r.point, x.data()), 0.0) << where;
      EXPECT_EQ(score, *std::max_element(r.weights, r.weights + 4)) << where;
      continue;
    }
    ++outside;
    expect_barycentric(tetra.data(), 4, r, 0.0, where);
    EXPECT_NEAR(-score, distance(r.point, x.data()), kTol) << where;
    EXPECT_EQ(std::count(r.weights, r.weights + 4, 0.0) >= 1, true) << where;
    for (int omit = 0; omit < 4; ++omit) {
      std::vector<double> face;
      for (int c = 0; c < 4; ++c)
        if (c != omit) face.insert(face.end(), &tetra[3 * c], &tetra[3 * c] + 3);
      EXPECT_LE(-score, sampled_distance(face.data(), 3, x.data()) + kTol) << where;
    }
  }
  EXPECT_GT(inside, 20);
  EXPECT_GT(outside, 20);
}

TEST(Projection, PlaneRestrictedProjectionsStayInTheirPlaneOrPayForLeavingIt) {
  const double triangle[9] = {0, 0, 0, 10, 0, 0, 0, 10, 0};
  const double alongX[3] = {3, 0, 0}, alongZ[3] = {0, 0, 3};
  struct Case {
    const char *name;
    double x[3];
    const double *m;
    double point[3];
    double weights[3];
    double score;
  } cases[] = {
      {"line meets inside", {2, 3, 5}, alongX, {2, 3, 0}, {0.5, 0.2, 0.3}, 5},
      {"line leaves the triangle", {2, 20, 5}, alongX, {2, 8, 0}, {0, 0.2, 0.8}, 13},
      {"plane misses the triangle",
       {-2, 3, 0},
       alongX,
       {0, 3, 0},
       {0.7, 0, 0.3},
       std::sqrt(1000.0 * 4)},
      {"plane parallel to the triangle",
       {2, 3, 5},
       alongZ,
       {2, 3, 0},
       {0.5, 0.2, 0.3},
       std::sqrt(1000.0 * 25)},
  };
  for (const Case &c : cases) {
    PROJ_RESULT r;
    double score = -1;
    ASSERT_EQ(proj_on_triangle_plane(triangle, c.x, c.m, &r, &score), 0) << c.name;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(r.point[k], c.point[k], 1e-12) << c.name;
      EXPECT_NEAR(r.weights[k], c.weights[k], 1e-12) << c.name;
    }
    EXPECT_NEAR(score, c.score, 1e-9) << c.name;
  }

  // Segments: a crossing, a crossing beyond an end, and a segment parallel to the plane.
  const double segment[6] = {0, 0, 0, 10, 0, 0};
  const double across[3] = {4, 2, 0}, beyond[3] = {14, 0, 0}, parallelM[3] = {0, 3, 0};
  PROJ_RESULT r;
  double score;
  proj_on_segment_plane(segment, across, alongX, &r, &score);
  EXPECT_DOUBLE_EQ(r.weights[1], 0.4);
  EXPECT_DOUBLE_EQ(score, 2);
  proj_on_segment_plane(segment, beyond, alongX, &r, &score);
  EXPECT_EQ(r.weights[1], 1);
  EXPECT_DOUBLE_EQ(score, std::sqrt(1000.0 * 16));
  proj_on_segment_plane(segment, across, parallelM, &r, &score);
  EXPECT_DOUBLE_EQ(r.point[0], 4);
  EXPECT_DOUBLE_EQ(score, std::sqrt(1000.0 * 4));
}

TEST(Projection, RestrictedTetrahedronProjectionsHandleInsideOutsideAndFlatShapes) {
  const double alongX[3] = {3, 0, 0};
  const double tetra[12] = {0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0, 10};
  PROJ_RESULT r;
  double score = 0;
  const double inside[3] = {1, 2, 3};
  ASSERT_EQ(proj_on_tetra_plane(tetra, inside, alongX, &r, &score), 0);
  EXPECT_DOUBLE_EQ(score, 0.4);  // weights 0.4, 0.1, 0.2, 0.3
  EXPECT_EQ(std::vector<double>(r.point, r.point + 3), (std::vector<double>{1, 2, 3}));

  const double outside[3] = {2, 3, 8};  // the plane x = 2 meets the slanted face at z = 5
  ASSERT_EQ(proj_on_tetra_plane(tetra, outside, alongX, &r, &score), 0);
  EXPECT_NEAR(score, -std::sqrt(2.0 * 1.5 * 1.5), 1e-9);
  EXPECT_EQ(r.weights[0], 0.0);
  expect_barycentric(tetra, 4, r, 0.0, "outside");

  // Corners 1, 2, 3 on one line: the face omitting corner 0 is degenerate, and the triangle
  // keeps its longest side P1P2 with corner 0 in place of P3.
  const double flat[12] = {0, 0, 0, 10, 0, 0, 0, 10, 0, 5, 5, 0};
  const double above[3] = {2, 3, 5};
  ASSERT_EQ(proj_on_tetra_plane(flat, above, alongX, &r, &score), 0);
  EXPECT_NEAR(score, -5, 1e-12);
  const double weights[4] = {0.5, 0.2, 0.3, 0};
  for (int k = 0; k < 4; ++k)
    EXPECT_NEAR(r.weights[k], weights[k], 1e-12);

  // The restricted surface projection never beats the free one and keeps its weights sound.
  std::mt19937 rng(3);
  for (int trial = 0; trial < 200; ++trial) {
    const std::vector<double> t = random_points(rng, 4, 50);
    const std::vector<double> x = random_points(rng, 1, 80);
    const std::vector<double> m = random_points(rng, 1, 5);
    PROJ_RESULT free, restricted;
    double freeDistance, restrictedScore;
    ASSERT_EQ(proj_on_tetra_surface(t.data(), x.data(), &free, &freeDistance), 0);
    ASSERT_EQ(
        proj_on_tetra_surface_plane(t.data(), x.data(), m.data(), &restricted, &restrictedScore),
        0);
    expect_barycentric(t.data(), 4, restricted, 1e-12, "trial " + std::to_string(trial));
    EXPECT_GE(restrictedScore, distance(restricted.point, x.data()) - kTol);
    EXPECT_GE(restrictedScore, freeDistance - kTol);
  }
}

TEST(Projection, ParallelLineProjectionSignsWhetherTheLineMeetsTheTriangle) {
  const double triangle[9] = {0, 0, 0, 10, 0, 0, 0, 10, 0};
  const double x[3] = {2, 2, 5};
  struct Case {
    double dir[3];
    int status;
    double distance;
    double point[3];
  } cases[] = {
      {{0, 0, 1}, 0, 5, {2, 2, 0}},
      {{0, 0, -2}, 0, 5, {2, 2, 0}},
      {{1, 1, 1}, 0, -std::sqrt(33.0), {0, 0, 0}},  // meets the plane at (-3, -3, 0)
      {{1, 0, 0}, -1, -1e20, {0, 0, 0}},
  };
  for (const Case &c : cases) {
    PROJ_RESULT r{};
    double d = 0;
    EXPECT_EQ(proj_on_triangle_parline(triangle, x, c.dir, &r, &d), c.status);
    EXPECT_NEAR(d, c.distance, 1e-12);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(r.point[k], c.point[k], 1e-12);
  }
  const double line[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2};
  const double down[3] = {0, 0, 1};
  PROJ_RESULT r;
  double d = 0;
  EXPECT_EQ(proj_on_triangle_parline(line, x, down, &r, &d), -1);
  EXPECT_EQ(d, -1e20);
}

TEST(Projection, PlanesMeetInALineOnBoth) {
  std::mt19937 rng(9);
  for (int trial = 0; trial < 100; ++trial) {
    double a[4], b[4];
    const std::vector<double> p = random_points(rng, 3, 20), q = random_points(rng, 3, 20);
    ASSERT_EQ(plane_from_points(&p[0], &p[3], &p[6], a), 0);
    ASSERT_EQ(plane_from_points(&q[0], &q[3], &q[6], b), 0);
    double u[3], point[3];
    ASSERT_EQ(plane_intersection_line(a, b, u, point), 0);
    auto dot = [](const double *s, const double *t) {
      return s[0] * t[0] + s[1] * t[1] + s[2] * t[2];
    };
    EXPECT_NEAR(dot(a, point) + a[3], 0, 1e-9);
    EXPECT_NEAR(dot(b, point) + b[3], 0, 1e-9);
    EXPECT_NEAR(dot(u, u), 1, 1e-12);
    EXPECT_NEAR(dot(u, a), 0, 1e-12);
    EXPECT_NEAR(dot(u, b), 0, 1e-12);
    EXPECT_NEAR(dot(u, point), 0, 1e-9);
  }
  const double z1[4] = {0, 0, 1, -1}, x2[4] = {1, 0, 0, -2}, z5[4] = {0, 0, -1, 5};
  double u[3] = {9, 9, 9}, point[3] = {9, 9, 9};
  ASSERT_EQ(plane_intersection_line(z1, x2, u, point), 0);
  EXPECT_EQ(std::vector<double>(point, point + 3), (std::vector<double>{2, 0, 1}));
  EXPECT_EQ(std::vector<double>(u, u + 3), (std::vector<double>{0, 1, 0}));
  EXPECT_EQ(plane_intersection_line(z1, z5, u, point), -1);
  EXPECT_EQ(std::vector<double>(point, point + 3), (std::vector<double>{2, 0, 1}));  // unchanged

  const double p0[3] = {0, 0, 0}, p1[3] = {1, 1, 1}, p2[3] = {2, 2, 2 + 1e-22};
  double plane[4] = {7, 7, 7, 7};
  EXPECT_EQ(plane_from_points(p0, p1, p2, plane), -1);
}

// Every plane-restricted projection of a batch, as raw bytes, for comparing runs.
std::vector<unsigned char> restricted_batch(const std::vector<double> &input) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 18 <= input.size(); i += 18) {
    const double *tetra = &input[i], *x = &input[i + 12], *m = &input[i + 15];
    PROJ_RESULT r[2] = {};
    double s[2] = {};
    proj_on_triangle_plane(tetra, x, m, &r[0], &s[0]);
    proj_on_tetra_plane(tetra, x, m, &r[1], &s[1]);
    const auto *raw = reinterpret_cast<const unsigned char *>(r);
    bytes.insert(bytes.end(), raw, raw + sizeof r);
    raw = reinterpret_cast<const unsigned char *>(s);
    bytes.insert(bytes.end(), raw, raw + sizeof s);
  }
  return bytes;
}

TEST(Projection, RestrictedProjectionsGiveTheSameResultsOnConcurrentThreads) {
  std::mt19937 rng(21);
  const std::vector<double> input = random_points(rng, 6 * 3000, 50);
  const std::vector<unsigned char> reference = restricted_batch(input);
  std::vector<std::vector<unsigned char>> results(4);
  std::vector<std::thread> threads;
  for (auto &result : results)
    threads.emplace_back([&input, &result] {
      for (int round = 0; round < 3; ++round)
        result = restricted_batch(input);
    });
  for (auto &t : threads)
    t.join();
  for (const auto &result : results)
    EXPECT_TRUE(result == reference);
}

TEST(Projection, RestrictedProjectionsReportWhenTheirMatrixCannotBeMade) {
  // Runs on a fresh thread, whose work matrix does not exist yet.
  std::thread([] {
    const double tetra[12] = {0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0, 10};
    const double x[3] = {2, 3, 8}, m[3] = {3, 0, 0};
    const double a[4] = {0, 0, 1, -1}, b[4] = {1, 0, 0, -2};
    bool recovered = false;
    for (long k = 0; k < 40 && !recovered; ++k) {
      DiagnosticsCapture capture;
      PROJ_RESULT r;
      double score = 0, u[3], p[3];
      velmora::test_hooks::fail_allocations_after(k);
      const int triangle = proj_on_triangle_plane(tetra, x, m, &r, &score);
      const int surface = proj_on_tetra_surface_plane(tetra, x, m, &r, &score);
      const int solid = proj_on_tetra_plane(tetra, x, m, &r, &score);
      velmora::test_hooks::fail_allocations_after(k);
      const int line = plane_intersection_line(a, b, u, p);
      velmora::test_hooks::fail_allocations_after(-1);
      recovered = triangle == 0 && line == 0;
      if (triangle != 0) {
        EXPECT_EQ(triangle, kProjNoResources) << k;
        EXPECT_EQ(surface, kProjNoResources) << k;
        EXPECT_EQ(solid, kProjNoResources) << k;
      }
      // The line's own matrices fail as -100; a failed decomposition inside its solve as -1.
      EXPECT_TRUE(line == 0 || line == kProjNoResources || line == -1) << k;
      if (!recovered) {
        ASSERT_FALSE(capture.errors().empty()) << k;
        for (const auto &text : capture.error_texts())
          EXPECT_EQ(text.rfind("nr: 1, kind: 0, sys: 12, file: ", 0), 0u) << text;
      } else {
        EXPECT_TRUE(capture.errors().empty());
        EXPECT_EQ(surface, 0);
        EXPECT_EQ(solid, 0);
        EXPECT_NEAR(score, -std::sqrt(2.0 * 1.5 * 1.5), 1e-9);
      }
    }
    EXPECT_TRUE(recovered);
  }).join();
}

}  // namespace
