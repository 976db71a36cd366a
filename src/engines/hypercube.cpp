// Hyper-cube interpolation with corrections: inputs are normalised into [0, 1]^4 against a box
// that moves linearly with the black level, located in a rectilinear grid, and blended over the
// Kuhn simplex of their cell that contains them (the corners reached by stepping the coordinates
// down one at a time, largest fraction last).
#include <algorithm>
#include <cmath>

#include "velmora/hypercube.h"

namespace InterpolationHelpers {

namespace {

// Points whose normalised coordinates agree within this distance share one key.
constexpr double kKeyTolerance = 0.01;

double clampUnit(double v) {
  return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
}  // NaN to 0

}  // namespace

bool Point::operator()(const Point &a, const Point &b) const {
  for (int k = 0; k < 4; ++k) {
    if (a.normalized[k] - b.normalized[k] > kKeyTolerance) return false;
    if (b.normalized[k] - a.normalized[k] > kKeyTolerance) return true;
  }
  return false;
}

HyperCubeWithCorrections::HyperCubeWithCorrections(BlackLevelCube low, BlackLevelCube high,
                                                   std::vector<Point> &A, std::vector<Point> &B)
    : lowCube(low), highCube(high) {
  for (Point &p : A) {
    calculateNormalizedCoordinates(p.coordinates, p.normalized);
    cornerPoints.insert(p);  // keeps the first point of each key
  }
  std::array<std::set<double>, 4> positions;
  for (Point &p : B) {
    calculateNormalizedCoordinates(p.coordinates, p.normalized);
    cornerPoints.insert(p);
    for (int k = 0; k < 4; ++k)
      positions[k].insert(p.normalized[k]);
  }
  for (int k = 0; k < 4; ++k) {
    grids[k].reserve(positions[k].size() + 2);
    grids[k].push_back(0.0);
    grids[k].insert(grids[k].end(), positions[k].begin(), positions[k].end());
    grids[k].push_back(1.0);
  }
  for (int c = 0; c < 16; ++c) {
    Point probe{};
    for (int k = 0; k < 4; ++k)
      probe.normalized[k] = (c >> k) & 1;
    const auto it = cornerPoints.find(probe);
    unitCornerStored[c] = it != cornerPoints.end();
    for (int j = 0; j < 3; ++j)
      unitCorners[c][j] = unitCornerStored[c] ? it->value[j] : 0.0;
  }
}

HyperCubeWithCorrections::HyperCubeWithCorrections(const HyperCubeWithCorrections &other) = default;
HyperCubeWithCorrections::HyperCubeWithCorrections(HyperCubeWithCorrections &&other) noexcept =
    default;
HyperCubeWithCorrections::~HyperCubeWithCorrections() = default;

void HyperCubeWithCorrections::calculateNormalizedCoordinates(const double *in, double *out) const {
  const double t = (in[3] - lowCube.level) / (highCube.level - lowCube.level);
  const double u = 1.0 - t;
  out[3] = t;
  for (int k = 0; k < 3; ++k) {
    out[k] = (in[k] - (u * lowCube.origin[k] + t * highCube.origin[k])) /
             (u * lowCube.size[k] + t * highCube.size[k]);
  }
}

void HyperCubeWithCorrections::interpolate(const double *in, double *out) const {
  double n[4];
  calculateNormalizedCoordinates(in, n);
  double lower[4];
  double width[4];
  for (int k = 0; k < 4; ++k) {
    n[k] = clampUnit(n[k]);
    const std::vector<double> &g = grids[k];
    const auto i = std::lower_bound(g.begin(), g.end(), n[k]) - g.begin();  // g.back() == 1
    if (i > 0) {
      lower[k] = g[i - 1];
      width[k] = g[i] - g[i - 1];
    } else {
      lower[k] = 0.0;
      width[k] = g[1];
    }
  }
  simplexInterpolation(lower, width, n, out);
}

// Value at a cell corner: the stored point of that key, or else the multilinear blend of the
// stored unit-hypercube corners at that position (weights of missing ones left out).
void HyperCubeWithCorrections::cornerValue(const double *key, double *value) const {
  Point probe;
  std::copy(key, key + 4, probe.normalized);
  const auto it = cornerPoints.find(probe);
  if (it != cornerPoints.end()) {
    std::copy(it->value, it->value + 3, value);
    return;
  }
  double x[4];
  for (int k = 0; k < 4; ++k)
    x[k] = clampUnit(key[k]);
  double sum[3] = {0.0, 0.0, 0.0};
  double weights = 0.0;
  for (int c = 0; c < 16; ++c) {
    if (!unitCornerStored[c]) continue;
    double w = 1.0;
    for (int k = 0; k < 4; ++k)
      w *= ((c >> k) & 1) ? x[k] : 1.0 - x[k];
    weights += w;
    for (int j = 0; j < 3; ++j)
      sum[j] += w * unitCorners[c][j];
  }
  for (int j = 0; j < 3; ++j)
    value[j] = weights > 0.0 ? sum[j] / weights : 0.0;
}

// Walks from the cell's upper corner to its lower one, lowering the coordinate of smallest
// fraction first. The weights are the smallest fraction, the successive differences of the sorted
// fractions and 1 - the largest; they sum to 1 and reproduce the corners and linear functions.
// Zero-width cells (from a 0 or 1 that also occurs among the grid positions) count as fraction 0.
void HyperCubeWithCorrections::simplexInterpolation(const double *lower, const double *width,
                                                    const double *normalized, double *out) const {
  double r[4];
  double c[4];
  int order[4];
  for (int k = 0; k < 4; ++k) {
    r[k] = width[k] > 0.0 ? clampUnit((normalized[k] - lower[k]) / width[k]) : 0.0;
    c[k] = lower[k] + width[k];
    order[k] = k;
  }
  for (int i = 1; i < 4; ++i) {  // insertion sort by ascending fraction, ties in index order
    const int k = order[i];
    int j = i;
    for (; j > 0 && r[order[j - 1]] > r[k]; --j)
      order[j] = order[j - 1];
    order[j] = k;
  }
  out[0] = out[1] = out[2] = 0.0;
  double s = 0.0;
  double value[3];
  for (int i = 0; i < 4; ++i) {
    const int k = order[i];
    const double w = r[k];
    if (w != 0.0) {
      cornerValue(c, value);
      for (int j = 0; j < 3; ++j)
        out[j] += w * value[j];
    }
    s += w;
    c[k] -= width[k];
    for (double &v : r)
      v -= w;
  }
  if (1.0 - s != 0.0) {
    cornerValue(c, value);
    for (int j = 0; j < 3; ++j)
      out[j] += (1.0 - s) * value[j];
  }
}

bool HyperCubeWithCorrections::runTest() {
  const BlackLevelCube low{{5, 5, 5}, 5, {15, 15, 15}};
  const BlackLevelCube high{{10, 10, 10}, 10, {5, 5, 5}};
  std::vector<Point> a;
  for (int corner = 0; corner < 8; ++corner) {
    const int bx = corner & 1, by = (corner >> 1) & 1, bz = (corner >> 2) & 1;
    const double lx = bx ? 20 : 5, ly = by ? 20 : 5, lz = bz ? 20 : 5;
    a.push_back(Point{{lx, ly, 5}, {lx, ly, lz, 5}, {}});
    const double hx = bx ? 15 : 10, hy = by ? 15 : 10, hz = bz ? 15 : 10;
    a.push_back(Point{{hx, hy, 10}, {hx, hy, hz, 10}, {}});
  }
  std::vector<Point> b{Point{{11, 12, 7}, {11, 12, 13, 7}, {}}};
  const HyperCubeWithCorrections cube(low, high, a, b);
  const double in[4] = {12, 13, 13.5, 9};
  double out[3];
  cube.interpolate(in, out);
  return true;
}

}  // namespace InterpolationHelpers
