// Tetrahedral volumes.
//
// The boundary is a list of triangles; inside tests count the distinct points where a ray from the
// query in +x direction meets them (odd means inside). The hull of a point list grows from the
// tetrahedron of its first four points: each further point outside the current body sees part of
// the boundary, and the faces it sees wholly are replaced by a fan of new faces from the point to
// the edges of the seen region (visibility decided by whether the sight line crosses the boundary
// twice). The filling tetrahedra are fanned from the first point, the apex, to every face that
// does not touch it, plus three tetrahedra around each input point that is not a hull corner.
#include <cmath>
#include <initializer_list>
#include <limits>

#include "foundation/alloc.h"
#include "geometry/tetra_volume_internal.h"
#include "velmora/tetra_volume.h"

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
// Offsets of the far end of the inside-test ray: the plain +x ray first, then tilted ones.
constexpr Vec3 kRayTilts[] = {{0.0, 0.0, 0.0},
                              {0.0, 37.1, 53.3},
                              {0.0, -61.7, 29.9},
                              {0.0, 17.3, -71.9},
                              {0.0, -43.1, -47.7}};
constexpr Vec3 kLabCentre = {50.0, 0.0, 0.0};
constexpr int kInitialVisibilityRoom = 100;
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

// Records every distinct hit of s..e, visiting the faces in the given direction. *grazing (when
// not null) tells whether some hit lay on or next to an edge or corner of its face, or within the
// tolerance of another hit (the segment passes close by where faces meet).
bool record_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, bool last_to_first, HitPoints *hits,
                 bool *grazing) {
  hits->clear();
  if (grazing != nullptr) *grazing = false;
  const int n = volume->nfaces;
  for (int k = 0; k < n; ++k) {
    const TETRA_PLANE *f = face_at(volume, last_to_first ? n - 1 - k : k);
    Vec3 x;
    double margin;
    if (!face_hit(f, s, e, &x, &margin)) continue;
    const bool repeated = contains_coincident(hits->data(), hits->size(), x);
    if (grazing != nullptr && (repeated || margin < kGrazingMargin)) *grazing = true;
    if (repeated) continue;
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

// Appends a fresh copy of face f (hidden mark reset).
bool append_face_copy(LIST faces, const TETRA_PLANE *f) {
  auto *copy = alloc_array<TETRA_PLANE>(1);
  if (copy == nullptr) return false;
  *copy = *f;
  copy->hidden = 0;
  if (list_insert(faces, &copy) < 0) {
    mem_free(copy);
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

// Appends to next the faces that survive point q for face f with visibility v, followed by the
// new faces from q to the edges of f that border the region q sees.
bool rebuild_face(LIST next, const TETRA_PLANE *f, const TETRA_VISIBILITY &v,
                  const TETRA_POINT *q) {
  const bool all_corners = v.corner0 && v.corner1 && v.corner2;
  if (all_corners && v.centroid) return true;  // wholly visible: dropped
  if (!append_face_copy(next, f)) return false;
  bool add01 = false, add12 = false, add02 = false;
  if (!v.corner0) {
    add12 = v.corner1 && v.corner2 && v.mid12;
  } else if (!v.corner1) {
    add02 = v.corner2 && v.mid02;
  } else if (!v.corner2) {
    add01 = v.mid01;
  } else {
    add01 = v.mid01;
    add12 = v.mid12;
    add02 = v.mid02;
  }
  if (add01 && !append_face(next, &f->p0, &f->p1, q)) return false;
  if (add12 && !append_face(next, &f->p1, &f->p2, q)) return false;
  if (add02 && !append_face(next, &f->p0, &f->p2, q)) return false;
  return true;
}

// Replaces the faces of volume by those that remain after adding the outside point q.
bool add_hull_point(TETRA_VOLUME *volume, const TETRA_POINT *q, const TETRA_VISIBILITY *vis) {
  LIST next = list_new(kListSizeHint, kListElementSize, nullptr);
  if (next == nullptr) return false;
  for (int i = 0; i < volume->nfaces; ++i) {
    if (!rebuild_face(next, face_at(volume, i), vis[i], q)) {
      kill_faces(next);
      return false;
    }
  }
  kill_faces(volume->faces);
  volume->faces = next;
  volume->nfaces = list_num(next);
  return true;
}

bool on_some_face(const TETRA_VOLUME *volume, Vec3 q) {
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    if (point_in_triangle(q, vec(f->p0), vec(f->p1), vec(f->p2))) return true;
  }
  return false;
}

// Ray parity. A ray through an edge or a corner may touch the body without crossing it, or cross
// it where several faces meet, and its count says nothing then; such a ray is recast with its far
// end moved off the x direction (the parity of any ray that crosses faces cleanly is the same).
bool inside(const TETRA_VOLUME *volume, Vec3 p) {
  HitPoints hits;
  bool odd = false;
  for (const Vec3 &tilt : kRayTilts) {
    bool grazing = false;
    if (!tetra_volume_count_hits(volume, p, Vec3{kRayEndX, p.y, p.z} + tilt, &hits, &grazing))
      return false;
    odd = hits.size() % 2 == 1;
    if (!grazing) break;
  }
  return odd;
}

const TETRA_POINT *point_at(LIST points, int i) {
  return *static_cast<TETRA_POINT **>(list_get_element(points, i));
}

// Whether the four points span a body: the least height of the tetrahedron above one of its
// faces is at least the coincidence tolerance. Height = |det| / (twice the largest face area).
bool spans_body(const TETRA_POINT *a, const TETRA_POINT *b, const TETRA_POINT *c,
                const TETRA_POINT *d) {
  const Vec3 e1 = vec(*b) - vec(*a), e2 = vec(*c) - vec(*a), e3 = vec(*d) - vec(*a);
  const double det = std::fabs(dot(e1, cross(e2, e3)));
  double largest = length(cross(e1, e2));
  largest = std::fmax(largest, length(cross(e1, e3)));
  largest = std::fmax(largest, length(cross(e2, e3)));
  largest = std::fmax(largest, length(cross(vec(*c) - vec(*b), vec(*d) - vec(*b))));
  return largest > 0.0 && det / largest >= kCoincidence;
}

// Input points, in list order, that coincide neither with a hull corner nor with one taken before.
bool collect_interior_points(LIST points, const PodBuffer<Vec3> &corners,
                             PodBuffer<TETRA_POINT> *interior) {
  const int n = list_num(points);
  for (int i = 0; i < n; ++i) {
    const TETRA_POINT *p = point_at(points, i);
    const Vec3 v = vec(*p);
    if (contains_coincident(corners.data(), corners.size(), v)) continue;
    bool taken = false;
    for (int k = 0; k < interior->size() && !taken; ++k)
      taken = coincide(vec((*interior)[k]), v);
    if (!taken && !interior->push(*p)) return false;
  }
  return true;
}

// Three tetrahedra around interior point q, from the first face (not touching the apex) whose
// tetrahedron with the apex holds q. None when no such face exists.
bool fan_interior_point(TETRA_VOLUME *volume, const TETRA_POINT *apex, const TETRA_POINT *q) {
  const Vec3 a = vec(*apex);
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    if (touches(f, a)) continue;
    TETRA probe;
    tetra_fill(&probe, &f->p0, &f->p1, &f->p2, apex);
    double weights[3];
    if (!tetra_point_inside(&probe, vec(*q), weights)) continue;
    return append_tetra(volume, apex, &f->p0, &f->p1, q) &&
           append_tetra(volume, apex, &f->p1, &f->p2, q) &&
           append_tetra(volume, apex, &f->p0, &f->p2, q);
  }
  return true;
}

bool fill_tetrahedra(TETRA_VOLUME *volume, LIST points) {
  PodBuffer<TETRA_POINT> interior;
  {
    PodBuffer<Vec3> corners;
    if (tetra_volume_collect_vertices(volume, &corners) < 0) return false;
    if (!collect_interior_points(points, corners, &interior)) return false;
  }
  const TETRA_POINT *apex = point_at(points, 0);
  volume->ntetra = 0;
  for (int k = 0; k < interior.size(); ++k)
    if (!fan_interior_point(volume, apex, &interior[k])) return false;
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

// Marks every face that lies between another face's centroid and the Lab centre.
void mark_hidden_faces(TETRA_VOLUME *volume) {
  const int n = volume->nfaces;
  for (int i = 0; i < n; ++i) {
    const Vec3 ci = vec(face_at(volume, i)->centroid);
    for (int j = 0; j < n; ++j) {
      TETRA_PLANE *fj = face_at(volume, j);
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
                             bool *grazing) {
  return record_hits(volume, s, e, true, hits, grazing);
}

bool tetra_volume_collect_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, HitPoints *hits) {
  return record_hits(volume, s, e, false, hits, nullptr);
}

bool tetra_volume_crosses_twice(const TETRA_VOLUME *volume, Vec3 q, Vec3 target) {
  bool have_first = false;
  Vec3 first = {0.0, 0.0, 0.0};
  for (int i = volume->nfaces - 1; i >= 0; --i) {
    const TETRA_PLANE *f = face_at(volume, i);
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
  for (int i = 0; i < volume->nfaces; ++i) {
    const TETRA_PLANE *f = face_at(volume, i);
    for (const TETRA_POINT *p : {&f->p0, &f->p1, &f->p2}) {
      const Vec3 v = vec(*p);
      if (contains_coincident(out->data(), out->size(), v)) continue;
      if (!out->push(v)) return -1;
    }
  }
  return out->size();
}

TETRA_VOLUME *tetra_hull_build(LIST points) {
  TETRA_VOLUME *volume = tetra_volume_new0();
  if (volume == nullptr) return nullptr;
  const int n = list_num(points);
  const TETRA_POINT *p[4] = {point_at(points, 0), point_at(points, 1), point_at(points, 2),
                             point_at(points, 3)};
  const bool ok = tetra_volume_add_plane(volume, p[1], p[2], p[0]) == 0 &&
                  tetra_volume_add_plane(volume, p[1], p[3], p[0]) == 0 &&
                  tetra_volume_add_plane(volume, p[2], p[3], p[0]) == 0 &&
                  tetra_volume_add_plane(volume, p[2], p[3], p[1]) == 0;
  if (!ok) {
    tetra_volume_kill(volume);
    return nullptr;
  }

  // Points inside the first tetrahedron can never become corners.
  PodBuffer<int> candidates;
  for (int i = 4; i < n; ++i) {
    if (!inside(volume, vec(*point_at(points, i))) && !candidates.push(i)) {
      tetra_volume_kill(volume);
      return nullptr;
    }
  }

  PodBuffer<TETRA_VISIBILITY> visibility;
  if (!visibility.grow(kInitialVisibilityRoom)) {
    tetra_volume_kill(volume);
    return nullptr;
  }
  for (int k = 0; k < candidates.size(); ++k) {
    const TETRA_POINT *q = point_at(points, candidates[k]);
    const Vec3 qv = vec(*q);
    if (on_some_face(volume, qv) || inside(volume, qv)) continue;
    // The working records are replaced by twice the room when the faces outgrow them.
    if (volume->nfaces > visibility.capacity() && !visibility.grow(2 * volume->nfaces)) {
      tetra_volume_kill(volume);
      return nullptr;
    }
    tetra_volume_visibility(volume, qv, visibility.data());
    if (!add_hull_point(volume, q, visibility.data())) {
      tetra_volume_kill(volume);
      return nullptr;
    }
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
  if (!spans_body(point_at(points, 0), point_at(points, 1), point_at(points, 2),
                  point_at(points, 3)))
    return nullptr;
  TETRA_VOLUME *volume = tetra_hull_build(points);
  if (volume == nullptr) return nullptr;
  if (!fill_tetrahedra(volume, points)) {
    tetra_volume_kill(volume);
    return nullptr;
  }
  return volume;
}

int tetra_volume_add_plane(TETRA_VOLUME *volume, const TETRA_POINT *p0, const TETRA_POINT *p1,
                           const TETRA_POINT *p2) {
  if (volume == nullptr || !append_face(volume->faces, p0, p1, p2)) return -1;
  ++volume->nfaces;
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
