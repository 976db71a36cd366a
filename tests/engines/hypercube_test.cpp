// Hyper-cube interpolation with corrections: corners and stored corrections reproduced, the 0.01
// key rule, linear data reproduced through cells whose corners nobody stored, and clamping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "velmora/hypercube.h"

namespace {

using InterpolationHelpers::BlackLevelCube;
using InterpolationHelpers::HyperCubeWithCorrections;
using InterpolationHelpers::Point;

// A box shrinking from 15 to 5 units between black levels 5 and 10.
const BlackLevelCube kLow{{5, 5, 5}, 5, {15, 15, 15}};
const BlackLevelCube kHigh{{10, 10, 10}, 10, {5, 5, 5}};

// Input coordinates of a normalised position (the inverse of the normalisation).
void Denormalise(const double *n, double *in) {
  const double t = n[3], u = 1.0 - t;
  in[3] = kLow.level + t * (kHigh.level - kLow.level);
  for (int k = 0; k < 3; ++k) {
    in[k] =
        u * kLow.origin[k] + t * kHigh.origin[k] + n[k] * (u * kLow.size[k] + t * kHigh.size[k]);
  }
}

Point PointAt(const double *n, const double *value) {
  Point p{};
  Denormalise(n, p.coordinates);
  std::copy(value, value + 3, p.value);
  return p;
}

// Values linear in the normalised coordinates.
void Linear(const double *n, double *v) {
  v[0] = 3.0 + 2.0 * n[0] - 1.5 * n[1] + 0.5 * n[2] + 4.0 * n[3];
  v[1] = -1.0 + 0.25 * n[0] + 7.0 * n[3];
  v[2] = 10.0 * n[1] - 3.0 * n[2] + n[3];
}

std::vector<Point> UnitCorners(int levelBit) {
  std::vector<Point> points;
  for (int c = 0; c < 16; ++c) {
    if (((c >> 3) & 1) != levelBit) continue;
    const double n[4] = {double(c & 1), double((c >> 1) & 1), double((c >> 2) & 1),
                         double((c >> 3) & 1)};
    double v[3];
    Linear(n, v);
    v[2] += c * c;  // not linear: corners must still come back exactly
    points.push_back(PointAt(n, v));
  }
  return points;
}

TEST(HyperCube, ReproducesEveryCornerOfTheMovingBoxExactly) {
  std::vector<Point> a = UnitCorners(0), b = UnitCorners(1);
  const std::vector<Point> all = [&] {
    std::vector<Point> v = a;
    v.insert(v.end(), b.begin(), b.end());
    return v;
  }();
  const HyperCubeWithCorrections cube(kLow, kHigh, a, b);
  for (std::size_t i = 0; i < all.size(); ++i) {
    double out[3];
    cube.interpolate(all[i].coordinates, out);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(out[j], all[i].value[j]) << "corner " << i;
  }
  // The caller's points receive their normalised coordinates.
  for (int c = 0; c < 8; ++c) {
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(a[c].normalized[k], (c >> k) & 1, 1e-12);
    EXPECT_EQ(a[c].normalized[3], 0.0);
    EXPECT_EQ(b[c].normalized[3], 1.0);
  }
}

TEST(HyperCube, PointsAgreeingWithinOneHundredthShareAKey) {
  const auto point = [](double n0, double n1, double n2, double n3) {
    Point p{};
    p.normalized[0] = n0;
    p.normalized[1] = n1;
    p.normalized[2] = n2;
    p.normalized[3] = n3;
    return p;
  };
  struct Row {
    Point a, b;
    bool less, greater;
  };
  const Row rows[] = {
      {point(0, 0, 0, 0), point(0.009, -0.009, 0.0099, 0), false, false},  // one key
      {point(0, 0, 0, 0), point(0.011, 0, 0, 0), true, false},
      {point(0.5, 0.2, 0, 0), point(0.5, 0.1, 0.9, 0.9), false, true},  // first entry decides
      {point(0.5, 0.1, 0.9, 0), point(0.505, 0.1, 0.9, 0.02), true, false},
  };
  const Point order{};
  for (const Row &r : rows) {
    EXPECT_EQ(order(r.a, r.b), r.less);
    EXPECT_EQ(order(r.b, r.a), r.greater);
  }
  // Of two points of A within 0.01 of each other the first one is kept.
  std::vector<Point> a = UnitCorners(0), b = UnitCorners(1);
  Point shadow = a[0];
  shadow.coordinates[0] += 0.1;  // 0.1 / 15 in normalised units
  shadow.value[0] = 1000.0;
  a.push_back(shadow);
  const HyperCubeWithCorrections cube(kLow, kHigh, a, b);
  double out[3];
  cube.interpolate(a[0].coordinates, out);
  EXPECT_EQ(out[0], a[0].value[0]);
}

TEST(HyperCube, ReproducesAStoredCorrectionAtItsOwnPosition) {
  EXPECT_TRUE(HyperCubeWithCorrections::runTest());
  // The fixed example: 16 corners valued (x, y, level), one interior correction.
  std::vector<Point> a;
  for (int c = 0; c < 8; ++c) {
    const double lx = c & 1 ? 20 : 5, ly = c & 2 ? 20 : 5, lz = c & 4 ? 20 : 5;
    a.push_back(Point{{lx, ly, 5}, {lx, ly, lz, 5}, {}});
    const double hx = c & 1 ? 15 : 10, hy = c & 2 ? 15 : 10, hz = c & 4 ? 15 : 10;
    a.push_back(Point{{hx, hy, 10}, {hx, hy, hz, 10}, {}});
  }
  std::vector<Point> b{Point{{11, 12, 7}, {11, 12, 13, 7}, {}}};
  const HyperCubeWithCorrections cube(kLow, kHigh, a, b);
  double out[3];
  cube.interpolate(b[0].coordinates, out);
  EXPECT_NEAR(out[0], 11.0, 1e-12);
  EXPECT_NEAR(out[1], 12.0, 1e-12);
  EXPECT_NEAR(out[2], 7.0, 1e-12);
  // The example's own query lies in a cell most of whose corners nobody stored: they are derived
  // from the unit corners, so the result stays within the stored values.
  const double in[4] = {12, 13, 13.5, 9};
  cube.interpolate(in, out);
  for (int j = 0; j < 3; ++j) {
    EXPECT_TRUE(std::isfinite(out[j]));
    EXPECT_GE(out[j], 5.0);
    EXPECT_LE(out[j], 20.0);
  }
}

TEST(HyperCube, ReproducesLinearDataThroughCellsWithDerivedCorners) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Point> a;
  for (int c = 0; c < 16; ++c) {
    const double n[4] = {double(c & 1), double((c >> 1) & 1), double((c >> 2) & 1),
                         double((c >> 3) & 1)};
    double v[3];
    Linear(n, v);
    a.push_back(PointAt(n, v));
  }
  // Interior corrections carrying the same linear values; each adds a grid position per axis
  // (more than 0.01 from the others, which would otherwise share their keys).
  const double interior[4][4] = {{0.2, 0.45, 0.7, 0.35},
                                 {0.6, 0.15, 0.3, 0.8},
                                 {0.4, 0.8, 0.55, 0.2},
                                 {0.75, 0.6, 0.85, 0.55}};
  std::vector<Point> b;
  for (const auto &n : interior) {
    double v[3];
    Linear(n, v);
    b.push_back(PointAt(n, v));
  }
  const HyperCubeWithCorrections cube(kLow, kHigh, a, b);
  const HyperCubeWithCorrections copy(cube);
  HyperCubeWithCorrections scratch(cube);
  const HyperCubeWithCorrections moved(std::move(scratch));
  double worst = 0.0;
  for (int i = 0; i < 5000; ++i) {
    double n[4], in[4], want[3], out[3], again[3];
    for (double &x : n)
      x = unit(rng);
    if (i % 5 == 0) n[i / 5 % 4] = b[i / 20 % 4].normalized[i / 5 % 4];  // on a grid line
    Denormalise(n, in);
    Linear(n, want);
    cube.interpolate(in, out);
    for (int j = 0; j < 3; ++j)
      worst = std::max(worst, std::fabs(out[j] - want[j]));
    copy.interpolate(in, again);
    ASSERT_EQ(std::vector<double>(again, again + 3), std::vector<double>(out, out + 3));
    moved.interpolate(in, again);
    ASSERT_EQ(std::vector<double>(again, again + 3), std::vector<double>(out, out + 3));
  }
  EXPECT_LT(worst, 1e-9);
}

TEST(HyperCube, ClampsInputsOutsideTheUnitHypercube) {
  std::vector<Point> a = UnitCorners(0), b = UnitCorners(1);
  const HyperCubeWithCorrections cube(kLow, kHigh, a, b);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    double outside[4], clamped[4];  // normalised
  };
  const Row rows[] = {
      {{-0.5, 0.3, 1.7, 0.4}, {0.0, 0.3, 1.0, 0.4}},
      {{0.2, 0.2, 0.2, 3.0}, {0.2, 0.2, 0.2, 1.0}},
      {{nan, 0.6, 0.6, -2.0}, {0.0, 0.6, 0.6, 0.0}},
  };
  for (const Row &r : rows) {
    double in[4], at[4], out[3], want[3];
    Denormalise(r.outside, in);
    Denormalise(r.clamped, at);
    if (std::isnan(r.outside[0])) in[0] = nan;
    cube.interpolate(in, out);
    cube.interpolate(at, want);
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(out[j], want[j], 1e-9);
  }
}

}  // namespace
