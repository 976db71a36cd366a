/* Reference cases of the geometry: hull, tetrahedral volume and triangle projections called one
   point at a time, as a C++ caller would. */
#include <velmora/projection.h>
#include <velmora/tconvexhull.h>
#include <velmora/tetra_volume.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "reference.h"

/* args: the number of points n; in: n points (3 each), then the queries (3 each); out:
   Construct's result, then InsideHull per query. */
REFERENCE_CASE(convex_hull) {
  const std::size_t n = static_cast<std::size_t>(reference::int_arg(args, 0));
  TConvexHull hull;
  for (std::size_t i = 0; i < n; ++i)
    if (hull.AddPoint(in.at(3 * i), in.at(3 * i + 1), in.at(3 * i + 2)) != 0)
      throw std::runtime_error("AddPoint failed");
  reference::Values out{static_cast<double>(hull.Construct())};
  for (std::size_t at = 3 * n; at + 3 <= in.size(); at += 3)
    out.push_back(hull.InsideHull(in[at], in[at + 1], in[at + 2]));
  return out;
}

/* args: the number of points n and of segments s; in: n points (3 each, numbered by row), s
   segments (6 each: a, b), then the queries (3 each); out: the volume estimate without and then
   with the hidden-face check, the tetrahedron count T, T rows of 4 point numbers, per segment
   the intersection count k and k points, then the inside answer per query. */
REFERENCE_CASE(tetra_volume) {
  const std::size_t n = static_cast<std::size_t>(reference::int_arg(args, 0));
  const std::size_t segments = static_cast<std::size_t>(reference::int_arg(args, 1));
  std::vector<TETRA_POINT> points(n);
  LIST list = list_new(static_cast<int>(n), 8, nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    points[i] = {in.at(3 * i), in.at(3 * i + 1), in.at(3 * i + 2), static_cast<double>(i)};
    TETRA_POINT *p = &points[i];
    list_insert(list, &p);
  }
  TETRA_VOLUME *volume = tetra_volume_new(list);
  list_kill(list);
  if (volume == nullptr) throw std::runtime_error("tetra_volume_new failed");
  reference::Values out{tetra_volume_get_volume(volume, 0), tetra_volume_get_volume(volume, 1)};
  const int count = tetra_volume_get_nr_of_tetrahedrae(volume);
  out.push_back(count);
  for (int t = 0; t < count; ++t) {
    TETRA *tetra = nullptr;
    tetra_volume_get_tetra2(volume, t, &tetra);
    for (int c = 0; c < 4; ++c)
      out.push_back(tetra_get_pointnr(tetra, c));
  }
  std::size_t at = 3 * n;
  for (std::size_t s = 0; s < segments; ++s, at += 6) {
    int k = 0;
    std::vector<double> hits(3 * 2000);
    tetra_volume_line_intersect2(volume, &in.at(at), &in.at(at + 3), &k, hits.data(), 2000);
    out.push_back(k);
    out.insert(out.end(), hits.begin(), hits.begin() + 3 * k);
  }
  for (; at + 3 <= in.size(); at += 3)
    out.push_back(tetra_volume_point_inside(volume, &in[at]));
  tetra_volume_kill(volume);
  return out;
}

/* args: "free" or "line"; in: the triangle (9), then per point x (3), followed by its direction
   (3) for "line"; out per point: the projected point (3), weights (3), distance, result. */
REFERENCE_CASE(proj_on_triangle) {
  const bool line = args.at(0) == "line";
  const std::size_t row = line ? 6 : 3;
  reference::Values out;
  for (std::size_t at = 9; at + row <= in.size(); at += row) {
    PROJ_RESULT result = {};
    double distance = 0.0;
    const int rc =
        line ? proj_on_triangle_parline(in.data(), &in[at], &in[at + 3], &result, &distance)
             : proj_on_triangle(in.data(), &in[at], &result, &distance);
    out.insert(out.end(), result.point, result.point + 3);
    out.insert(out.end(), result.weights, result.weights + 3);
    out.push_back(distance);
    out.push_back(rc);
  }
  return out;
}
