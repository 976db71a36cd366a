// Point sets that gamut work brings to the hull and the tetrahedral volume, and qhull's hull of
// them as the oracle. Shared by the geometry tests and benchmarks.
#ifndef VELMORA_TESTS_GEOMETRY_GAMUT_SETS_H
#define VELMORA_TESTS_GEOMETRY_GAMUT_SETS_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef VELMORA_HAVE_QHULL_R
extern "C" {
#include <libqhull_r/libqhull_r.h>
}
#endif

namespace gamut_sets {

using Point = std::array<double, 3>;

// n points on the sphere of radius 50 about the Lab centre (50, 0, 0), directions drawn from a
// normal distribution.
inline std::vector<Point> sphere(int n, unsigned seed = 1, double radius = 50.0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<Point> points;
  while (static_cast<int>(points.size()) < n) {
    const double x = g(rng), y = g(rng), z = g(rng), r = std::sqrt(x * x + y * y + z * z);
    if (r < 1e-9) continue;
    points.push_back({50.0 + radius * x / r, radius * y / r, radius * z / r});
  }
  return points;
}

// sRGB (D65) to CIELAB (D65 white).
inline Point srgb_to_lab(double r, double g, double b) {
  auto linear = [](double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double R = linear(r), G = linear(g), B = linear(b);
  const double X = (0.4124 * R + 0.3576 * G + 0.1805 * B) * 100.0 / 95.047;
  const double Y = (0.2126 * R + 0.7152 * G + 0.0722 * B);
  const double Z = (0.0193 * R + 0.1192 * G + 0.9505 * B) * 100.0 / 108.883;
  auto f = [](double t) {
    constexpr double d = 6.0 / 29.0;
    return t > d * d * d ? std::cbrt(t) : t / (3 * d * d) + 4.0 / 29.0;
  };
  return {116.0 * f(Y) - 16.0, 500.0 * (f(X) - f(Y)), 200.0 * (f(Y) - f(Z))};
}

// The surface of the sRGB cube sampled with `per_edge` points per edge, in CIELAB: in plain
// i, j, k grid order, or side by side (each side's grid in turn, shared points repeated), or
// shuffled.
enum class Order { Grid, SideBySide, Shuffled };

inline std::vector<Point> srgb_surface(int per_edge, Order order, unsigned seed = 5) {
  const int m = per_edge - 1;
  std::vector<Point> points;
  if (order == Order::SideBySide) {
    for (int axis = 0; axis < 3; ++axis)
      for (int side = 0; side <= m; side += m)
        for (int i = 0; i <= m; ++i)
          for (int j = 0; j <= m; ++j) {
            int c[3];
            c[axis] = side;
            c[(axis + 1) % 3] = i;
            c[(axis + 2) % 3] = j;
            points.push_back(srgb_to_lab(double(c[0]) / m, double(c[1]) / m, double(c[2]) / m));
          }
    return points;
  }
  for (int i = 0; i <= m; ++i)
    for (int j = 0; j <= m; ++j)
      for (int k = 0; k <= m; ++k)
        if (i == 0 || j == 0 || k == 0 || i == m || j == m || k == m)
          points.push_back(srgb_to_lab(double(i) / m, double(j) / m, double(k) / m));
  if (order == Order::Shuffled) std::shuffle(points.begin(), points.end(), std::mt19937(seed));
  return points;
}

// The surface of the cube about centre with half side `half`, an exact grid of `per_edge` points
// per edge, in grid order: whole sides of coplanar points.
inline std::vector<Point> cube_surface(int per_edge, Point centre, double half) {
  const int m = per_edge - 1;
  std::vector<Point> points;
  for (int i = 0; i <= m; ++i)
    for (int j = 0; j <= m; ++j)
      for (int k = 0; k <= m; ++k)
        if (i == 0 || j == 0 || k == 0 || i == m || j == m || k == m)
          points.push_back({centre[0] - half + 2 * half * i / m,
                            centre[1] - half + 2 * half * j / m,
                            centre[2] - half + 2 * half * k / m});
  return points;
}

// The measured Lab values of a CGATS file (fields LAB_L, LAB_A, LAB_B), in file order; empty when
// the file cannot be read.
inline std::vector<Point> cgats_lab(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::vector<std::string> fields;
  std::vector<Point> points;
  bool data = false;
  int col[3] = {-1, -1, -1};
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first == "BEGIN_DATA_FORMAT") {
      std::getline(in, line);
      std::istringstream names(line);
      for (std::string name; names >> name;)
        fields.push_back(name);
      for (int k = 0; k < 3; ++k) {
        const char *want[3] = {"LAB_L", "LAB_A", "LAB_B"};
        col[k] =
            static_cast<int>(std::find(fields.begin(), fields.end(), want[k]) - fields.begin());
      }
    } else if (first == "BEGIN_DATA") {
      data = true;
    } else if (first == "END_DATA") {
      data = false;
    } else if (data && !first.empty()) {
      std::vector<std::string> tokens = {first};
      for (std::string t; words >> t;)
        tokens.push_back(t);
      Point p{};
      for (int k = 0; k < 3; ++k)
        p[k] = std::stod(tokens.at(col[k]));
      points.push_back(p);
    }
  }
  return points;
}

#ifdef VELMORA_HAVE_QHULL_R
// qhull's hull of a point set: outward facet planes (unit normal, offset), volume, vertex ids.
struct Oracle {
  std::vector<std::array<double, 4>> planes;
  double volume = 0.0;
  std::set<int> vertices;

  // The largest signed distance of p beyond a facet plane: negative inside, positive outside.
  double excess(const Point &p) const {
    double d = -1e300;
    for (const auto &pl : planes)
      d = std::max(d, pl[0] * p[0] + pl[1] * p[1] + pl[2] * p[2] + pl[3]);
    return d;
  }
};

inline Oracle qhull_oracle(std::vector<Point> points) {
  Oracle o;
  qhT context, *qh = &context;
  qh_zero(qh, stderr);
  char options[] = "qhull Qt FA";
  if (qh_new_qhull(qh, 3, static_cast<int>(points.size()), points[0].data(), False, options,
                   nullptr, stderr) == 0) {
    facetT *facet;
    vertexT *vertex;
    FORALLfacets {
      o.planes.push_back({facet->normal[0], facet->normal[1], facet->normal[2], facet->offset});
    }
    FORALLvertices {
      o.vertices.insert(qh_pointid(qh, vertex->point));
    }
    o.volume = qh->totvol;
  }
  qh_freeqhull(qh, !qh_ALL);
  int curlong, totlong;
  qh_memfreeshort(qh, &curlong, &totlong);
  return o;
}
#endif

// Queries spread over the box of the points, widened by a fifth on every side.
inline std::vector<Point> queries_around(const std::vector<Point> &points, int n, unsigned seed) {
  Point lo = points[0], hi = points[0];
  for (const Point &p : points)
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], p[k]);
      hi[k] = std::max(hi[k], p[k]);
    }
  std::mt19937 rng(seed);
  std::vector<Point> out(n);
  for (Point &q : out)
    for (int k = 0; k < 3; ++k) {
      const double w = hi[k] - lo[k];
      q[k] = std::uniform_real_distribution<double>(lo[k] - 0.2 * w, hi[k] + 0.2 * w)(rng);
    }
  return out;
}

}  // namespace gamut_sets

#endif
