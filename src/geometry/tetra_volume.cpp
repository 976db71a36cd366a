// Tetrahedral volumes.
//
// The boundary is a list of triangles; inside tests count the distinct points where a ray from the
// query in +x direction meets them (odd means inside). The faces of a volume built from points are
// those of their convex hull, constructed by the library's incremental hull with exact
// orientation signs, so they cover the hull's surface exactly once whatever the order, density
// or coplanarity of the points. The filling tetrahedra are fanned from the first point, the apex,
// to every face that does not touch it, plus three tetrahedra around each input point that is not
// a hull corner. A bounding-volume hierarchy over the faces lets every segment query visit only
// the faces near the segment, in the same order and with the same answers as a visit of all.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <new>

#include "foundation/alloc.h"
#include "geometry/exact_orientation_internal.h"
#include "geometry/face_index_internal.h"
#include "geometry/tetra_volume_internal.h"
#include "velmora/tconvexhull.h"
#include "velmora/tetra_volume.h"

// The faces of a constructed hull, for the volume built on it.
struct TConvexHullAccess {
  // Adds a vertex numbered index; throws std::bad_alloc.
  static void add(TConvexHull &hull, const double p[3], int index) {
    tVertexStructure *v = hull.MakeNullVertex();
    for (int k = 0; k < 3; ++k)
      v->coords[k] = p[k];
    v->index = index;
    hull.vertexCount = index + 1;
  }
  // Construct without reports: 0, -1 for a flat set, -2 for inconsistent faces; throws
  // std::bad_alloc.
  static int build(TConvexHull &hull) { return hull.Build(); }
  static const tFaceStructure *faces(const TConvexHull &hull) { return hull.faces; }
};

namespace velmora::tetvol {

namespace {

constexpr double kMinDeterminant = 1.0e-6;
// Barycentric slack on the triangle edges: covers rounding only, so that a line through a shared
// edge meets both faces in the same point and a line beside it meets one.
constexpr double kEdgeSlack = 1.0e-9;
constexpr double kRayEndX = 10000.0;
constexpr double kNoMargin = -1.0;
// Hits whose barycentric margin is below this lie on an edge or corner up to rounding.
constexpr double kGrazingMargin = 1.0e-7;
// Hits closer than this, relative to their coordinates' size, are one point up to rounding.
constexpr double kSameHit = 1.0e-9;
// Offsets of the far end of the inside-test ray: the plain +x ray first, then rays turned by 30 to
// 60 degrees in different directions, so that a recast ray does not clip the same edge again.
constexpr Vec3 kRayTilts[] = {
    {0.0, 0.0, 0.0},         {0.0, 3710.0, 5330.0},  {0.0, -6170.0, 2990.0}, {0.0, 1730.0, -7190.0},
    {0.0, -4310.0, -4770.0}, {0.0, 8830.0, -1210.0}, {0.0, -2270.0, -9050.0}};
constexpr Vec3 kLabCentre = {50.0, 0.0, 0.0};
constexpr int kListSizeHint = 10;
constexpr int kListElementSize = 8;

double length(Vec3 a) {
  return std::sqrt(dot(a, a));
}

// All three corners beyond q by more than the tolerance, on the same side, in coordinate k.
bool corners_beyond(double q, double a, double b, double c) {
  const double hi = q + kCoincidence;
  const double lo = q - kCoincidence;
  return (a > hi && b > hi && c > hi) || (a < lo && b < lo && c < lo);
}

// All three corners strictly beyond both ends of the segment, on the same side.
bool corners_beyond_segment(double s, double e, double a, double b, double c) {
  const double hi = s > e ? s : e;
  const double lo = s > e ? e : s;
  return (a > hi && b > hi && c > hi) || (a < lo && b < lo && c < lo);
}

bool face_outside_segment_box(const TETRA_PLANE *f, Vec3 s, Vec3 e) {
  return corners_beyond_segment(s.x, e.x, f->p0.x, f->p1.x, f->p2.x) ||
         corners_beyond_segment(s.y, e.y, f->p0.y, f->p1.y, f->p2.y) ||
         corners_beyond_segment(s.z, e.z, f->p0.z, f->p1.z, f->p2.z);
}

double l1_distance(Vec3 a, Vec3 b) {
  return std::fabs(a.x - b.x) + std::fabs(a.y - b.y) + std::fabs(a.z - b.z);
}

bool contains_coincident(const Vec3 *points, int count, Vec3 p) {
  for (int i = 0; i < count; ++i)
    if (coincide(points[i], p)) return true;
  return false;
}

bool touches(const TETRA_PLANE *f, Vec3 apex) {
  return coincide(vec(f->p0), apex) || coincide(vec(f->p1), apex) || coincide(vec(f->p2), apex);
}

// Smallest barycentric coordinate of the foot of q on the triangle's plane, or kNoMargin when q
// is off the plane band, beyond the corners' box or the triangle has no area. The coordinates are
// ratios of sub-triangle areas, signed along the normal.
double triangle_margin(Vec3 q, Vec3 t0, Vec3 t1, Vec3 t2) {
  for (int k = 0; k < 3; ++k) {
    if (corners_beyond(coordinate(q, k), coordinate(t0, k), coordinate(t1, k), coordinate(t2, k)))
      return kNoMargin;
  }
  const Vec3 normal = cross(t0 - t2, t1 - t2);
  const double n2 = dot(normal, normal);
  if (n2 == 0.0) return kNoMargin;
  const double height = dot(normal, q - t0) / n2;  // signed distance over |normal|
  if (std::fabs(height) * std::sqrt(n2) >= kCoincidence) return kNoMargin;
  const Vec3 foot = q - height * normal;
  const double w0 = dot(cross(t1 - foot, t2 - foot), normal) / n2;
  const double w1 = dot(cross(t2 - foot, t0 - foot), normal) / n2;
  const double w2 = dot(cross(t0 - foot, t1 - foot), normal) / n2;
  return std::fmin(w0, std::fmin(w1, w2));
}

// segment_plane_hit, also giving how far inside the face the hit lies (0 at a corner).
bool face_hit(const TETRA_PLANE *face, Vec3 s, Vec3 e, Vec3 *x, double *margin) {
  const Vec3 normal = vec(face->normal);
  const Vec3 d = e - s;
  const double denom = dot(normal, d);
  if (denom == 0.0) return false;
  const double t = -(dot(normal, s) + face->offset) / denom;
  *x = s + t * d;
  for (int k = 0; k < 3; ++k) {
    const double xk = coordinate(*x, k);
    if ((coordinate(s, k) - xk) * (coordinate(e, k) - xk) > kCoincidence) return false;
  }
  const Vec3 p0 = vec(face->p0), p1 = vec(face->p1), p2 = vec(face->p2);
  if (l1_distance(*x, p0) < kCoincidence || l1_distance(*x, p1) < kCoincidence ||
      l1_distance(*x, p2) < kCoincidence) {
    *margin = 0.0;
    return true;
  }
  *margin = triangle_margin(*x, p0, p1, p2);
  return *margin >= -kEdgeSlack;
}

// Records every distinct hit of s..e, visiting the faces in the given direction. With ray given,
// also tells whether some hit lay on or next to an edge or corner of its face, and counts the
// crossings: hits apart by more than rounding, so that a ray clipping a sharp edge, which enters
// and leaves within the coincidence tolerance, counts both.
bool record_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, bool last_to_first, HitPoints *hits,
                 RayCrossings *ray) {
  hits->clear();
  if (ray != nullptr) {
    ray->at_edge = false;
    ray->distinct.clear();
  }
  FaceList near;
  if (volume->index != nullptr && !volume->index->candidates(s, e, &near)) return false;
  const int n = volume->index != nullptr ? near.size() : volume->nfaces;
  for (int k = 0; k < n; ++k) {
    const int i = last_to_first ? n - 1 - k : k;
    const TETRA_PLANE *f = face_at(volume, volume->index != nullptr ? near[i] : i);
    Vec3 x;
    double margin;
    if (!face_hit(f, s, e, &x, &margin)) continue;
    if (ray != nullptr) {
      if (margin < kGrazingMargin) ray->at_edge = true;
      const double rounding = kSameHit * (1.0 + std::fabs(x.x) + std::fabs(x.y) + std::fabs(x.z));
      bool same = false;
      for (int j = 0; j < ray->distinct.size() && !same; ++j)
        same = l1_distance(ray->distinct[j], x) < rounding;
      if (!same && !ray->distinct.push(x)) return false;
    }
    if (contains_coincident(hits->data(), hits->size(), x)) continue;
    if (!hits->push(x)) return false;
  }
  return true;
}

// Releases the face records of a list and the list.
void kill_faces(LIST faces) {
  const int n = list_num(faces);
  for (int i = 0; i < n; ++i)
    mem_free(*static_cast<TETRA_PLANE **>(list_get_element(faces, i)));
  list_kill(faces);
}

// Appends a new face (p0, p1, p2) to faces; false when memory ran out (nothing appended).
bool append_face(LIST faces, const TETRA_POINT *p0, const TETRA_POINT *p1, const TETRA_POINT *p2) {
  TETRA_PLANE *f = tetra_plane_new(p0, p1, p2);
  if (f == nullptr) return false;
  if (list_insert(faces, &f) < 0) {
    mem_free(f);
    return false;
  }
  return true;
}

bool append_tetra(TETRA_VOLUME *volume, const TETRA_POINT *c0, const TETRA_POINT *c1,
                  const TETRA_POINT *c2, const TETRA_POINT *c3) {
  TETRA *t = tetra_new(c0, c1, c2, c3);
  if (t == nullptr) return false;
  if (list_insert(volume->tetras, &t) < 0) {
    mem_free(t);
    return false;
  }
  ++volume->ntetra;
  return true;
}

// Ray parity. A ray through an edge or a corner may touch the body without crossing it, or cross
// it where several faces meet, or clip a sharp edge so closely that its entry and exit coincide
// within the tolerance; its count says nothing then. Such a ray is recast in another direction
// (the parity of any ray that crosses faces cleanly is the same); when every ray grazes, the
// parity most of them give is taken.
bool inside(const TETRA_VOLUME *volume, Vec3 p) {
  HitPoints hits;
  RayCrossings ray;
  int odd = 0, tried = 0;
  for (const Vec3 &tilt : kRayTilts) {
    if (!tetra_volume_count_hits(volume, p, Vec3{kRayEndX, p.y, p.z} + tilt, &hits, &ray))
      return false;
    if (!ray.at_edge) return ray.distinct.size() % 2 == 1;
    ++tried;
    odd += hits.size() % 2;
  }
  return 2 * odd > tried;
}

const TETRA_POINT *point_at(LIST points, int i) {
  return *static_cast<TETRA_POINT **>(list_get_element(points, i));
}

// Points kept apart by the coincidence tolerance, found through a hash of their 0.01 cells: a point
// coinciding with a kept one lies in the same cell or a neighbouring one. The capacity is fixed
// when the set is made.
class CoincidenceSet {
 public:
  bool reserve(int capacity) {
    int buckets = 16;
    while (buckets < 2 * capacity)
      buckets *= 2;
    if (!heads_.grow(buckets) || !next_.grow(capacity) || !points_.grow(capacity)) return false;
    for (int i = 0; i < buckets; ++i)
      heads_.push(-1);
    mask_ = static_cast<std::uint64_t>(buckets - 1);
    return true;
  }
  bool contains(Vec3 p) const {
    const std::int64_t c[3] = {cell(p.x), cell(p.y), cell(p.z)};
    for (std::int64_t dx = -1; dx <= 1; ++dx)
      for (std::int64_t dy = -1; dy <= 1; ++dy)
        for (std::int64_t dz = -1; dz <= 1; ++dz)
          for (int i = heads_[bucket(c[0] + dx, c[1] + dy, c[2] + dz)]; i >= 0; i = next_[i])
            if (coincide(points_[i], p)) return true;
    return false;
  }
  // Adds p (room was reserved).
  void add(Vec3 p) {
    const int i = points_.size();
    points_.push(p);
    int &head = heads_[bucket(cell(p.x), cell(p.y), cell(p.z))];
    next_.push(head);
    head = i;
  }
  int size() const { return points_.size(); }
  const Vec3 &operator[](int i) const { return points_[i]; }

 private:
  static std::int64_t cell(double v) {
    const double c = std::floor(v / kCoincidence);
    constexpr double kLimit = 4.0e18;
    return static_cast<std::int64_t>(std::fmax(-kLimit, std::fmin(kLimit, c)));
  }
  int bucket(std::int64_t x, std::int64_t y, std::int64_t z) const {
    const std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull ^
                            static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Full ^
                            static_cast<std::uint64_t>(z) * 0x165667B19E3779F9ull;
    return static_cast<int>((h ^ (h >> 29)) & mask_);
  }
  PodBuffer<int> heads_;
  PodBuffer<int> next_;
  PodBuffer<Vec3> points_;
  std::uint64_t mask_ = 0;
};

// Input points, in list order, that coincide neither with a hull corner nor with one taken before.
bool collect_interior_points(LIST points, const PodBuffer<Vec3> &corners,
                             PodBuffer<TETRA_POINT> *interior) {
  const int n = list_num(points);
  CoincidenceSet corner_set, taken;
  if (!corner_set.reserve(corners.size()) || !taken.reserve(n)) return false;
  for (int i = 0; i < corners.size(); ++i)
    corner_set.add(corners[i]);
  for (int i = 0; i < n; ++i) {
    const TETRA_POINT *p = point_at(points, i);
    const Vec3 v = vec(*p);
    if (corner_set.contains(v) || taken.contains(v)) continue;
    if (!interior->push(*p)) return false;
    taken.add(v);
  }
  return true;
}

// Whether the probe of face f (its tetrahedron with the apex) holds q.
bool probe_holds(const TETRA_PLANE *f, const TETRA_POINT *apex, Vec3 q) {
  TETRA probe;
  tetra_fill(&probe, &f->p0, &f->p1, &f->p2, apex);
  double weights[3];
  return tetra_point_inside(&probe, q, weights);
}

// The first face (not touching the apex) whose probe holds q, or -1. A probe holds q only when
// the ray from the apex through q meets its face beyond q, so with an index only the faces near
// that part of the ray are tried, in face order. reach is a length that takes the ray beyond the
// body.
int find_probe(const TETRA_VOLUME *volume, const TETRA_POINT *apex, Vec3 q, double reach,
               FaceList *near) {
  const Vec3 a = vec(*apex);
  const Vec3 d = q - a;
  const double len = length(d);
  const bool indexed = volume->index != nullptr && len > kCoincidence;
  if (indexed) {
    if (!volume->index->candidates(q, a + (1.0 + reach / len) * d, near)) return -2;
  }
  const int n = indexed ? near->size() : volume->nfaces;
  for (int k = 0; k < n; ++k) {
    const int i = indexed ? (*near)[k] : k;
    const TETRA_PLANE *f = face_at(volume, i);
    if (!touches(f, a) && probe_holds(f, apex, q)) return i;
  }
  return -1;
}

// The extent of the faces' corners: the largest coordinate difference.
double face_extent(const TETRA_VOLUME *volume) {
  Vec3 lo = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    for (const TETRA_POINT *p : {&f->p0, &f->p1, &f->p2}) {
      lo = {std::fmin(lo.x, p->x), std::fmin(lo.y, p->y), std::fmin(lo.z, p->z)};
      hi = {std::fmax(hi.x, p->x), std::fmax(hi.y, p->y), std::fmax(hi.z, p->z)};
    }
  }
  return std::fmax(hi.x - lo.x, std::fmax(hi.y - lo.y, hi.z - lo.z));
}

bool fill_tetrahedra(TETRA_VOLUME *volume, LIST points) {
  PodBuffer<TETRA_POINT> interior;
  {
    PodBuffer<Vec3> corners;
    if (tetra_volume_collect_vertices(volume, &corners) < 0) return false;
    if (!collect_interior_points(points, corners, &interior)) return false;
  }
  const TETRA_POINT *apex = point_at(points, 0);
  const double reach = 4.0 * face_extent(volume) + 1.0;
  volume->ntetra = 0;
  FaceList near;
  for (int k = 0; k < interior.size(); ++k) {
    const TETRA_POINT *q = &interior[k];
    const int i = find_probe(volume, apex, vec(*q), reach, &near);
    if (i == -2) return false;
    if (i < 0) continue;
    const TETRA_PLANE *f = face_at(volume, i);
    if (!append_tetra(volume, apex, &f->p0, &f->p1, q) ||
        !append_tetra(volume, apex, &f->p1, &f->p2, q) ||
        !append_tetra(volume, apex, &f->p0, &f->p2, q))
      return false;
  }
  const Vec3 a = vec(*apex);
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    if (!touches(f, a) && !append_tetra(volume, apex, &f->p0, &f->p1, &f->p2)) return false;
  }
  return true;
}

double cone_volume(const TETRA_PLANE *f) {
  const Vec3 p0 = vec(f->p0), p1 = vec(f->p1), p2 = vec(f->p2);
  const double area = 0.5 * length(p1 - p0) * std::sqrt(point_line_dist2(p2, p0, p1));
  const Vec3 normal = vec(f->normal);
  const double n2 = dot(normal, normal);
  if (n2 < kCoincidence) return 0.0;
  const double h = std::fabs(dot(normal, kLabCentre) + f->offset) / std::sqrt(n2);
  return area * h / 3.0;
}

// Marks every face that lies between another face's centroid and the Lab centre. With an index
// only the faces near each sight line are tried (all of them when memory for that ran out).
void mark_hidden_faces(TETRA_VOLUME *volume) {
  const int n = volume->nfaces;
  FaceList near;
  for (int i = 0; i < n; ++i) {
    const Vec3 ci = vec(face_at(volume, i)->centroid);
    const bool indexed =
        volume->index != nullptr && volume->index->candidates(ci, kLabCentre, &near);
    const int m = indexed ? near.size() : n;
    for (int k = 0; k < m; ++k) {
      TETRA_PLANE *fj = face_at(volume, indexed ? near[k] : k);
      if (coincide(ci, vec(fj->centroid))) continue;
      Vec3 x;
      if (segment_plane_hit(fj, ci, kLabCentre, &x)) fj->hidden = 1;
    }
  }
}

}  // namespace

TETRA_PLANE *face_at(const TETRA_VOLUME *volume, int i) {
  return *static_cast<TETRA_PLANE **>(list_get_element(volume->faces, i));
}

TETRA *tetra_at(const TETRA_VOLUME *volume, int i) {
  return *static_cast<TETRA **>(list_get_element(volume->tetras, i));
}

TETRA_PLANE *tetra_plane_new(const TETRA_POINT *p0, const TETRA_POINT *p1, const TETRA_POINT *p2) {
  auto *f = alloc_array<TETRA_PLANE>(1);
  if (f == nullptr) return nullptr;
  const Vec3 a = vec(*p0), b = vec(*p1), c = vec(*p2);
  const Vec3 normal = cross(a - c, b - c);
  store(normal, f->normal);
  f->offset = -dot(normal, a);
  f->p0 = *p0;
  f->p1 = *p1;
  f->p2 = *p2;
  f->centroid[0] = (a.x + b.x + c.x) / 3.0;
  f->centroid[1] = (a.y + b.y + c.y) / 3.0;
  f->centroid[2] = (a.z + b.z + c.z) / 3.0;
  f->hidden = 0;
  return f;
}

// The rows of the inverse of the edge matrix [e1 e2 e3] are the cross products of the other two
// edges over the determinant (Cramer's rule).
void tetra_fill(TETRA *t, const TETRA_POINT *c0, const TETRA_POINT *c1, const TETRA_POINT *c2,
                const TETRA_POINT *c3) {
  t->c0 = *c0;
  t->c1 = *c1;
  t->c2 = *c2;
  t->c3 = *c3;
  const Vec3 o = vec(*c0);
  const Vec3 e1 = vec(*c1) - o, e2 = vec(*c2) - o, e3 = vec(*c3) - o;
  t->centroid[0] = (c0->x + c1->x + c2->x + c3->x) / 4.0;
  t->centroid[1] = (c0->y + c1->y + c2->y + c3->y) / 4.0;
  t->centroid[2] = (c0->z + c1->z + c2->z + c3->z) / 4.0;
  const Vec3 r1 = cross(e2, e3), r2 = cross(e3, e1), r3 = cross(e1, e2);
  double det = dot(e1, r1);
  if (det >= 0.0 && det < kMinDeterminant) det = kMinDeterminant;
  if (det < 0.0 && det > -kMinDeterminant) det = -kMinDeterminant;
  for (int k = 0; k < 3; ++k) {
    const Vec3 r = k == 0 ? r1 : (k == 1 ? r2 : r3);
    t->inverse[k][0] = r.x / det;
    t->inverse[k][1] = r.y / det;
    t->inverse[k][2] = r.z / det;
  }
}

TETRA *tetra_new(const TETRA_POINT *c0, const TETRA_POINT *c1, const TETRA_POINT *c2,
                 const TETRA_POINT *c3) {
  auto *t = alloc_array<TETRA>(1);
  if (t != nullptr) tetra_fill(t, c0, c1, c2, c3);
  return t;
}

bool tetra_point_inside(const TETRA *t, Vec3 p, double weights[3]) {
  if (t == nullptr) return false;
  const Vec3 d = p - vec(t->c0);
  for (int k = 0; k < 3; ++k)
    weights[k] = dot(vec(t->inverse[k]), d);
  const double w1 = weights[0], w2 = weights[1], w3 = weights[2];
  return w1 >= 0.0 && w1 <= 1.0 && w2 >= 0.0 && w2 <= 1.0 && w3 >= 0.0 && w3 <= 1.0 &&
         w1 + w2 + w3 <= 1.0;
}

bool point_in_triangle(Vec3 q, Vec3 t0, Vec3 t1, Vec3 t2) {
  return triangle_margin(q, t0, t1, t2) >= -kEdgeSlack;
}

bool segment_plane_hit(const TETRA_PLANE *face, Vec3 s, Vec3 e, Vec3 *x) {
  double margin;
  return face_hit(face, s, e, x, &margin);
}

bool tetra_volume_count_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, HitPoints *hits,
                             RayCrossings *ray) {
  return record_hits(volume, s, e, true, hits, ray);
}

bool tetra_volume_collect_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, HitPoints *hits) {
  return record_hits(volume, s, e, false, hits, nullptr);
}

bool tetra_volume_crosses_twice(const TETRA_VOLUME *volume, Vec3 q, Vec3 target) {
  bool have_first = false;
  Vec3 first = {0.0, 0.0, 0.0};
  FaceList near;
  // Without memory for the candidates, every face is visited.
  const bool indexed = volume->index != nullptr && volume->index->candidates(q, target, &near);
  for (int k = (indexed ? near.size() : volume->nfaces) - 1; k >= 0; --k) {
    const TETRA_PLANE *f = face_at(volume, indexed ? near[k] : k);
    if (face_outside_segment_box(f, q, target)) continue;
    Vec3 x;
    if (!segment_plane_hit(f, q, target, &x)) continue;
    if (!have_first) {
      first = x;
      have_first = true;
    } else if (!coincide(first, x)) {
      return true;
    }
  }
  return false;
}

void tetra_volume_visibility(const TETRA_VOLUME *volume, Vec3 q, TETRA_VISIBILITY *out) {
  auto visible = [&](Vec3 p) { return tetra_volume_crosses_twice(volume, q, p) ? 0 : 1; };
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    const Vec3 p0 = vec(f->p0), p1 = vec(f->p1), p2 = vec(f->p2);
    TETRA_VISIBILITY &v = out[i];
    v.corner0 = visible(p0);
    v.corner1 = visible(p1);
    v.corner2 = visible(p2);
    v.centroid = visible(vec(f->centroid));
    v.mid01 = v.mid12 = v.mid02 = 0;
    if (v.corner0 && v.corner1 && v.corner2 && v.centroid) continue;
    v.mid01 = visible(0.5 * (p0 + p1));
    v.mid12 = visible(0.5 * (p1 + p2));
    v.mid02 = visible(0.5 * (p0 + p2));
  }
}

int tetra_volume_collect_vertices(const TETRA_VOLUME *volume, PodBuffer<Vec3> *out) {
  CoincidenceSet kept;
  if (!kept.reserve(3 * volume->nfaces + out->size())) return -1;
  for (int i = 0; i < out->size(); ++i)
    kept.add((*out)[i]);
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    for (const TETRA_POINT *p : {&f->p0, &f->p1, &f->p2}) {
      const Vec3 v = vec(*p);
      if (kept.contains(v)) continue;
      if (!out->push(v)) return -1;
      kept.add(v);
    }
  }
  return out->size();
}

// The hull starts from the first point, the point farthest from it, the one farthest from their
// line and the one farthest from their plane, so that the start is a proper body whatever the
// order of the points (grid-ordered samples begin with collinear runs). The coordinates are
// scaled by a power of two to an extent of at least 1024, which changes no orientation sign but
// keeps the hull's coplanarity band (+-0.5 on the determinant) far below the coincidence
// tolerance for small sets.
TETRA_VOLUME *tetra_hull_build(LIST points) {
  const int n = list_num(points);
  if (n < 4) return nullptr;
  const Vec3 p0 = vec(*point_at(points, 0));
  int start[4] = {0, -1, -1, -1};
  double best = -1.0, extent = 0.0;
  for (int i = 0; i < n; ++i) {
    const TETRA_POINT *p = point_at(points, i);
    for (double c : {p->x, p->y, p->z})
      if (!std::isfinite(c) || std::fabs(c) > exact::kLargestCoordinate) return nullptr;
    const Vec3 d = vec(*p) - p0;
    extent =
        std::fmax(extent, std::fmax(std::fabs(d.x), std::fmax(std::fabs(d.y), std::fabs(d.z))));
    if (dot(d, d) > best) {
      best = dot(d, d);
      start[1] = i;
    }
  }
  const Vec3 p1 = vec(*point_at(points, start[1]));
  best = -1.0;
  for (int i = 0; i < n; ++i) {
    const double d = point_line_dist2(vec(*point_at(points, i)), p0, p1);
    if (d > best) {
      best = d;
      start[2] = i;
    }
  }
  const Vec3 normal = cross(p1 - p0, vec(*point_at(points, start[2])) - p0);
  const double nn = length(normal);
  best = -1.0;
  for (int i = 0; nn > 0.0 && i < n; ++i) {
    const double h = std::fabs(dot(normal, vec(*point_at(points, i)) - p0)) / nn;
    if (h > best) {
      best = h;
      start[3] = i;
    }
  }
  if (start[3] < 0 || best < kCoincidence) return nullptr;  // no body: all on one plane

  double scale = 1.0;
  while (extent * scale < 1024.0 && scale < 0x1p60)
    scale *= 2.0;
  TETRA_VOLUME *volume = nullptr;
  try {
    TConvexHull hull;
    auto add = [&](int i) {
      const TETRA_POINT *p = point_at(points, i);
      const double scaled[3] = {p->x * scale, p->y * scale, p->z * scale};
      TConvexHullAccess::add(hull, scaled, i);
    };
    for (int i : start)
      add(i);
    for (int i = 0; i < n; ++i)
      if (i != start[0] && i != start[1] && i != start[2] && i != start[3]) add(i);
    if (TConvexHullAccess::build(hull) != 0) return nullptr;
    volume = tetra_volume_new0();
    if (volume == nullptr) return nullptr;
    const tFaceStructure *head = TConvexHullAccess::faces(hull);
    const tFaceStructure *f = head;
    do {
      if (tetra_volume_add_plane(volume, point_at(points, f->vertex[0]->index),
                                 point_at(points, f->vertex[1]->index),
                                 point_at(points, f->vertex[2]->index)) != 0) {
        tetra_volume_kill(volume);
        return nullptr;
      }
      f = f->next;
    } while (f != head);
  } catch (const std::bad_alloc &) {
    tetra_volume_kill(volume);
    return nullptr;
  }
  return volume;
}

double point_line_dist2(Vec3 p, Vec3 a, Vec3 b) {
  const Vec3 d = b - a;
  const double len2 = dot(d, d);
  if (std::sqrt(len2) < kCoincidence) return 0.0;
  const Vec3 r = p - a;
  const Vec3 off = r - (dot(r, d) / len2) * d;
  return dot(off, off);
}

}  // namespace velmora::tetvol

using namespace velmora::tetvol;

extern "C" {

TETRA_VOLUME *tetra_volume_new0(void) {
  auto *volume = velmora::calloc_array<TETRA_VOLUME>(1);
  if (volume == nullptr) return nullptr;
  volume->faces = list_new(kListSizeHint, kListElementSize, nullptr);
  volume->tetras = list_new(kListSizeHint, kListElementSize, nullptr);
  if (volume->faces == nullptr || volume->tetras == nullptr) {
    tetra_volume_kill(volume);
    return nullptr;
  }
  return volume;
}

TETRA_VOLUME *tetra_volume_new(LIST points) {
  if (list_num(points) < 4) return nullptr;
  TETRA_VOLUME *volume = tetra_hull_build(points);
  if (volume == nullptr) return nullptr;
  volume->index = FaceIndex::create(volume);
  if (volume->index == nullptr || !fill_tetrahedra(volume, points)) {
    tetra_volume_kill(volume);
    return nullptr;
  }
  return volume;
}

int tetra_volume_add_plane(TETRA_VOLUME *volume, const TETRA_POINT *p0, const TETRA_POINT *p1,
                           const TETRA_POINT *p2) {
  if (volume == nullptr || !append_face(volume->faces, p0, p1, p2)) return -1;
  ++volume->nfaces;
  face_index_kill(volume->index);
  volume->index = nullptr;
  return 0;
}

int tetra_volume_get_nr_of_tetrahedrae(const TETRA_VOLUME *volume) {
  return volume == nullptr ? 0 : volume->ntetra;
}

int tetra_volume_get_tetra2(const TETRA_VOLUME *volume, int index, TETRA **tetra) {
  if (volume == nullptr || index < 0 || index >= volume->ntetra) return -1;
  *tetra = tetra_at(volume, index);
  return 0;
}

int tetra_get_pointnr(const TETRA *tetra, int corner) {
  if (tetra == nullptr || corner < 0 || corner > 3) return -1;
  const TETRA_POINT *corners[4] = {&tetra->c0, &tetra->c1, &tetra->c2, &tetra->c3};
  const double nr = std::trunc(corners[corner]->pointnr);
  // Out-of-range values are clamped rather than converted with undefined behaviour.
  if (!(nr > static_cast<double>(std::numeric_limits<int>::min())))
    return std::isnan(nr) ? -1 : std::numeric_limits<int>::min();
  if (nr > static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  return static_cast<int>(nr);
}

double tetra_volume_get_volume(TETRA_VOLUME *volume, int check_hidden) {
  if (volume == nullptr) return -1.0;
  if (check_hidden > 0) mark_hidden_faces(volume);
  double sum = 0.0;
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    if (f->hidden != 1) sum += cone_volume(f);
  }
  return sum;
}

int tetra_volume_point_inside(const TETRA_VOLUME *volume, const double *point) {
  if (volume == nullptr) return 0;
  return inside(volume, vec(point)) ? 1 : 0;
}

int tetra_volume_line_intersect2(const TETRA_VOLUME *volume, const double *a, const double *b,
                                 int *count, double *points, int max) {
  if (volume == nullptr) return -1;
  HitPoints hits;
  if (!tetra_volume_collect_hits(volume, vec(a), vec(b), &hits)) {
    *count = 0;
    return -1;
  }
  *count = hits.size();
  if (points != nullptr && hits.size() >= 1 && hits.size() <= max) {
    for (int i = 0; i < hits.size(); ++i)
      store(hits[i], points + 3 * i);
  }
  return 0;
}

int tetra_volume_kill(TETRA_VOLUME *volume) {
  if (volume == nullptr) return 0;
  face_index_kill(volume->index);
  if (volume->faces != nullptr) kill_faces(volume->faces);
  if (volume->tetras != nullptr) {
    const int n = list_num(volume->tetras);
    for (int i = 0; i < n; ++i)
      velmora::mem_free(*static_cast<TETRA **>(list_get_element(volume->tetras, i)));
    list_kill(volume->tetras);
  }
  velmora::mem_free(volume);
  return 0;
}

}  // extern "C"
