// tetra_volume_new against the definition of a convex hull. The input is a list of points on a
// 0.5 grid (coincident, collinear and coplanar points are common; the first four are often flat).
// A built volume must answer the inside test as the hull does for every query farther than 0.05
// from its surface (brute force: the planes through three points that have all points on one
// side), hold its input points, name only input points as tetrahedron corners, and answer its
// other queries without fault.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "geometry/exact_orientation_internal.h"
#include "velmora/tetra_volume.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

using Point = std::vector<double>;
using Plane = std::vector<double>;  // unit normal pointing out, offset

std::vector<Plane> hull_planes(const std::vector<Point> &pts) {
  std::vector<Plane> planes;
  const std::size_t n = pts.size();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j)
      for (std::size_t k = j + 1; k < n; ++k) {
        const double *a = pts[i].data(), *b = pts[j].data(), *c = pts[k].data();
        if (velmora::exact::collinear(a, b, c)) continue;
        bool pos = false, neg = false;
        for (const Point &p : pts) {
          const int s = velmora::exact::orientation(a, b, c, p.data());
          pos |= s > 0;
          neg |= s < 0;
        }
        if (pos == neg) continue;  // points on both sides, or none off the plane
        const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        const double w[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        double nrm[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2],
                         u[0] * w[1] - u[1] * w[0]};
        const double len = std::sqrt(nrm[0] * nrm[0] + nrm[1] * nrm[1] + nrm[2] * nrm[2]);
        // orientation(a, b, c, p) > 0 means p lies on the side opposite to u x w.
        const double out = pos ? 1.0 : -1.0;
        for (double &x : nrm)
          x *= out / len;
        planes.push_back(
            {nrm[0], nrm[1], nrm[2], -(nrm[0] * a[0] + nrm[1] * a[1] + nrm[2] * a[2])});
      }
  return planes;
}

// Largest signed distance beyond a hull plane: negative inside, positive outside.
double excess(const std::vector<Plane> &planes, const double *q) {
  double d = -1e300;
  for (const Plane &p : planes)
    d = std::max(d, p[0] * q[0] + p[1] * q[1] + p[2] * q[2] + p[3]);
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  const std::size_t n = std::min<std::size_t>(size / 3, 16);
  std::vector<TETRA_POINT> records(n);
  std::vector<Point> pts;
  LIST list = list_new(10, 8, nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    double c[3];
    for (int k = 0; k < 3; ++k)
      c[k] = (static_cast<int>(data[3 * i + k]) - 128) * 0.5;
    records[i] = {c[0], c[1], c[2], static_cast<double>(i)};
    TETRA_POINT *r = &records[i];
    list_insert(list, &r);
    pts.push_back({c[0], c[1], c[2]});
  }
  TETRA_VOLUME *v = tetra_volume_new(list);
  if (v != nullptr) {
    const std::vector<Plane> planes = hull_planes(pts);
    std::vector<Point> queries = pts;
    for (std::size_t i = 3 * n; i + 2 < size && queries.size() < 64; i += 3)
      queries.push_back(
          {(data[i] - 128) * 0.53, (data[i + 1] - 128) * 0.47, (data[i + 2] - 128) * 0.51});
    for (std::size_t i = 0; i + 1 < pts.size(); ++i)
      queries.push_back({(pts[i][0] + pts[i + 1][0]) / 2, (pts[i][1] + pts[i + 1][1]) / 2 + 0.1,
                         (pts[i][2] + pts[i + 1][2]) / 2});
    for (const Point &q : queries) {
      const double e = excess(planes, q.data());
      if (std::fabs(e) > 0.05) check(tetra_volume_point_inside(v, q.data()) == (e < 0 ? 1 : 0));
    }
    const int count = tetra_volume_get_nr_of_tetrahedrae(v);
    for (int t = 0; t < count; ++t) {
      TETRA *tetra = nullptr;
      check(tetra_volume_get_tetra2(v, t, &tetra) == 0);
      for (int k = 0; k < 4; ++k) {
        const int nr = tetra_get_pointnr(tetra, k);
        check(nr >= 0 && nr < static_cast<int>(n));
      }
    }
    double hits[6];
    int found = -1;
    check(tetra_volume_line_intersect2(v, pts[0].data(), queries.back().data(), &found, hits, 2) ==
          0);
    check(found >= 0);
    check(tetra_volume_get_volume(v, 1) >= 0.0);
    const TETRA_POINT extra = {1, 2, 3, 99};
    check(tetra_volume_add_plane(v, &extra, &records[0], &records[1]) == 0);
    tetra_volume_point_inside(v, pts[0].data());  // now without the face index
  }
  tetra_volume_kill(v);
  list_kill(list);
  return 0;
}
