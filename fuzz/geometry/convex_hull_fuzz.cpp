// TConvexHull against the definition of a convex hull. The input is a list of points on a coarse
// grid (so that coincident, collinear and coplanar points are common), a few of them huge or not
// finite. Construct must either fail as documented or give a sound hull that is exactly the
// convex hull: every point lies on or inside every face, and a query lies strictly outside some
// face exactly when some plane through three of the points has all points on one side and the
// query strictly on the other (brute force). Copies and a second Construct must agree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "geometry/exact_orientation_internal.h"
#include "velmora/tconvexhull.h"

using Point = std::vector<double>;

struct TConvexHullProbe {
  static bool sound(const TConvexHull &h) {
    int v = 0, e = 0, f = 0;
    for (auto *r = h.vertices; r != nullptr && (v == 0 || r != h.vertices); r = r->next)
      ++v;
    for (auto *r = h.edges; r != nullptr && (e == 0 || r != h.edges); r = r->next)
      ++e;
    for (auto *r = h.faces; r != nullptr && (f == 0 || r != h.faces); r = r->next)
      ++f;
    return h.CheckEuler(v, e, f) == 0 && h.CheckConsistency() == 0;
  }
  // Whether p lies strictly outside some face (exact signs).
  static bool outside(const TConvexHull &h, const double *p) {
    const tFaceStructure *f = h.faces;
    do {
      if (velmora::exact::orientation(f->vertex[0]->coords, f->vertex[1]->coords,
                                      f->vertex[2]->coords, p) < 0)
        return true;
      f = f->next;
    } while (f != h.faces);
    return false;
  }
};

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

double coordinate(uint8_t b) {
  if (b == 0xff) return std::nan("");
  if (b == 0xfe) return 1e28;
  return (static_cast<int>(b) - 128) * 0.5;
}

// Brute force: the planes through three of the points that have all points on one side, with
// that side's sign.
struct Support {
  std::size_t i, j, k;
  int side;
};

std::vector<Support> supporting_planes(const std::vector<Point> &pts) {
  std::vector<Support> planes;
  const std::size_t n = pts.size();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j)
      for (std::size_t k = j + 1; k < n; ++k) {
        if (velmora::exact::collinear(pts[i].data(), pts[j].data(), pts[k].data())) continue;
        bool pos = false, neg = false;
        for (const Point &p : pts) {
          const int s =
              velmora::exact::orientation(pts[i].data(), pts[j].data(), pts[k].data(), p.data());
          pos |= s > 0;
          neg |= s < 0;
        }
        if (!(pos && neg)) planes.push_back({i, j, k, pos ? 1 : -1});
      }
  return planes;
}

// q is strictly outside the hull: beyond some supporting plane.
bool outside_by_planes(const std::vector<Point> &pts, const std::vector<Support> &planes,
                       const double *q) {
  for (const Support &s : planes)
    if (velmora::exact::orientation(pts[s.i].data(), pts[s.j].data(), pts[s.k].data(), q) ==
        -s.side)
      return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  const std::size_t n = std::min<std::size_t>(size / 3, 14);
  TConvexHull hull;
  std::vector<Point> pts;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = coordinate(data[3 * i]), y = coordinate(data[3 * i + 1]),
                 z = coordinate(data[3 * i + 2]);
    const bool finite = std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
    check((hull.AddPoint(x, y, z) == 0) == finite);
    if (!finite) continue;
    pts.push_back({x, y, z});
  }
  if (hull.Construct() != 0) return 0;  // flat sets: no body to check
  check(TConvexHullProbe::sound(hull));
  // A copy rebuilt from the kept corners starts from another triangle, and the +-0.5 band may
  // then call a thin set flat; when it builds, it builds the same hull.
  TConvexHull copy(hull);
  const bool rebuilt = copy.Construct() == 0;
  check(!rebuilt || TConvexHullProbe::sound(copy));
  const std::vector<Support> planes = supporting_planes(pts);
  std::vector<Point> queries = pts;
  for (std::size_t i = 0; i + 1 < pts.size(); ++i)
    queries.push_back({(pts[i][0] + pts[i + 1][0]) / 2 + 0.25, (pts[i][1] + pts[i + 1][1]) / 2,
                       (pts[i][2] + pts[i + 1][2]) / 2 - 0.25});
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const double *q = queries[i].data();
    const bool out = TConvexHullProbe::outside(hull, q);
    check(out == outside_by_planes(pts, planes, q));
    check(!rebuilt || out == TConvexHullProbe::outside(copy, q));
    if (i < pts.size()) check(!out && hull.InsideHull(q[0], q[1], q[2]) == 1);
  }
  check(hull.InsideHull(std::nan(""), 0, 0) == 0);
  return 0;
}
