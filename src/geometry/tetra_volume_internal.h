// Internal records and operations of the tetrahedral volume, shared with its file output and its
// tests. Nothing here is exported.
#ifndef VELMORA_GEOMETRY_TETRA_VOLUME_INTERNAL_H
#define VELMORA_GEOMETRY_TETRA_VOLUME_INTERNAL_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/vector_number.h"
#include "velmora/tetra_volume.h"

// One triangular face: plane normal . x + offset = 0 with normal = (p0 - p2) x (p1 - p2), not
// normalised, and offset = -(normal . p0).
struct tetra_plane {
  double normal[3];
  double offset;
  TETRA_POINT p0;
  TETRA_POINT p1;
  TETRA_POINT p2;
  double centroid[3];
  int32_t hidden;  // set by tetra_volume_get_volume, never cleared
};

namespace velmora::tetvol {
class FaceIndex;
}

// Face and tetrahedron lists hold pointers to records the volume owns, in insertion order. The
// face index is built once the faces of a tetra_volume_new body are complete, and dropped when a
// face is added (queries then visit every face).
struct tetra_volume {
  int nfaces;
  LIST faces;
  int ntetra;
  LIST tetras;
  velmora::tetvol::FaceIndex *index;
};

namespace velmora::tetvol {

// Two points coincide when they differ by less than this in every coordinate.
inline constexpr double kCoincidence = 0.01;

// Small 3-vector arithmetic for the hot geometric tests (no allocation, no length argument).
struct Vec3 {
  double x, y, z;
};
inline Vec3 operator+(Vec3 a, Vec3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(Vec3 a, Vec3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(double s, Vec3 a) {
  return {s * a.x, s * a.y, s * a.z};
}
inline double dot(Vec3 a, Vec3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec3 cross(Vec3 a, Vec3 b) {
  const double u[3] = {a.x, a.y, a.z}, w[3] = {b.x, b.y, b.z};
  double n[3];
  vect_cross(u, w, n);
  return {n[0], n[1], n[2]};
}
inline double coordinate(Vec3 a, int k) {
  return k == 0 ? a.x : (k == 1 ? a.y : a.z);
}
inline Vec3 vec(const TETRA_POINT &p) {
  return {p.x, p.y, p.z};
}
inline Vec3 vec(const double *p) {
  return {p[0], p[1], p[2]};
}
inline void store(Vec3 a, double *out) {
  out[0] = a.x;
  out[1] = a.y;
  out[2] = a.z;
}
inline bool coincide(Vec3 a, Vec3 b) {
  return std::fabs(a.x - b.x) < kCoincidence && std::fabs(a.y - b.y) < kCoincidence &&
         std::fabs(a.z - b.z) < kCoincidence;
}

// Growable array of trivially copyable T through the library allocator. The first InlineCount
// elements live inside the object, so short-lived small sets allocate nothing.
template <typename T, int InlineCount = 1>
class PodBuffer {
 public:
  PodBuffer() = default;
  ~PodBuffer() { release_heap(); }
  PodBuffer(const PodBuffer &) = delete;
  PodBuffer &operator=(const PodBuffer &) = delete;

  T *data() { return data_; }
  const T *data() const { return data_; }
  int size() const { return size_; }
  int capacity() const { return capacity_; }
  T &operator[](int i) { return data_[i]; }
  const T &operator[](int i) const { return data_[i]; }
  void clear() { size_ = 0; }

  // Appends value, doubling the storage when full; false when memory ran out (nothing appended).
  bool push(const T &value) {
    if (size_ == capacity_ && !grow(2 * capacity_)) return false;
    data_[size_++] = value;
    return true;
  }
  // Makes room for at least count elements, keeping the contents; false when memory ran out.
  bool grow(int count) {
    if (count <= capacity_) return true;
    T *bigger = alloc_array<T>(static_cast<std::size_t>(count));
    if (bigger == nullptr) return false;
    if (size_ > 0) std::memcpy(bigger, data_, static_cast<std::size_t>(size_) * sizeof(T));
    release_heap();
    data_ = bigger;
    capacity_ = count;
    return true;
  }

 private:
  void release_heap() {
    if (data_ != inline_) mem_free(data_);
  }
  T inline_[InlineCount];
  T *data_ = inline_;
  int size_ = 0;
  int capacity_ = InlineCount;
};

// Distinct intersection points of one query; queries of up to 64 points allocate nothing.
using HitPoints = PodBuffer<Vec3, 64>;

// Face / tetrahedron i of the volume (0 .. count-1).
TETRA_PLANE *face_at(const TETRA_VOLUME *volume, int i);
TETRA *tetra_at(const TETRA_VOLUME *volume, int i);

// New face through p0, p1, p2 with its plane, centroid and hidden mark 0; null when memory ran
// out. Released with mem_free.
TETRA_PLANE *tetra_plane_new(const TETRA_POINT *p0, const TETRA_POINT *p1, const TETRA_POINT *p2);

// Fills t with corners c0 .. c3, their centroid and the barycentric inverse, the determinant moved
// to at least 1.0e-6 away from zero (+1.0e-6 when exactly zero).
void tetra_fill(TETRA *t, const TETRA_POINT *c0, const TETRA_POINT *c1, const TETRA_POINT *c2,
                const TETRA_POINT *c3);
// The same in a new record; null when memory ran out. Released with mem_free.
TETRA *tetra_new(const TETRA_POINT *c0, const TETRA_POINT *c1, const TETRA_POINT *c2,
                 const TETRA_POINT *c3);

// Stores the barycentric weights of corners 1 .. 3 of p in weights (always) and answers whether
// all lie in [0, 1] with a sum of at most 1. A null tetrahedron is never entered.
bool tetra_point_inside(const TETRA *t, Vec3 p, double weights[3]);

// Whether q lies on the triangle t0 t1 t2: within the coincidence tolerance of its plane, with
// its foot on the plane inside the triangle or on its edges. No for a triangle without area, and
// at once when in some coordinate all three corners lie beyond q, on the same side, by more than
// the coincidence tolerance.
bool point_in_triangle(Vec3 q, Vec3 t0, Vec3 t1, Vec3 t2);

// Intersection x of the segment s..e with the face's plane (stored whenever the segment is not
// parallel to it); answers whether x lies between the ends (0.01 slack) and on the face.
bool segment_plane_hit(const TETRA_PLANE *face, Vec3 s, Vec3 e, Vec3 *x);

// What a ray tells an inside test beyond its hits: whether one of them lay on or next to an edge
// or corner of its face (the count may not tell crossings then), and its crossings, the hits
// apart by more than rounding.
struct RayCrossings {
  bool at_edge = false;
  HitPoints distinct;
};

// Distinct boundary points on the segment s..e, faces visited from the last to the first; hits
// receives the points in the order found, points within the coincidence tolerance of an earlier
// one left out. ray (when not null) receives what an inside test needs. false when memory ran out.
bool tetra_volume_count_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, HitPoints *hits,
                             RayCrossings *ray = nullptr);

// The same, faces visited from the first to the last.
bool tetra_volume_collect_hits(const TETRA_VOLUME *volume, Vec3 s, Vec3 e, HitPoints *hits);

// Whether the segment q..target meets the boundary in two distinct points.
bool tetra_volume_crosses_twice(const TETRA_VOLUME *volume, Vec3 q, Vec3 target);

// Fills out[i] (one record per face, in face order) with what of face i is visible from q.
void tetra_volume_visibility(const TETRA_VOLUME *volume, Vec3 q, TETRA_VISIBILITY *out);

// Appends the distinct face corners (face order, p0 p1 p2) to out; returns their number, or -1
// when memory ran out.
int tetra_volume_collect_vertices(const TETRA_VOLUME *volume, PodBuffer<Vec3> *out);

// Volume holding the faces of the convex hull of points (a LIST of TETRA_POINT pointers, at least
// four), with corners copied from the points; null when the points lie within the coincidence
// tolerance of one plane, when a coordinate is not finite or beyond +-1e99, or when memory ran
// out.
TETRA_VOLUME *tetra_hull_build(LIST points);

// Squared distance of p from the line through a and b; 0 when a and b lie within 0.01.
double point_line_dist2(Vec3 p, Vec3 a, Vec3 b);

// CIE L*a*b* (D65 white) to sRGB as the scene files colour faces: negative channels become 0,
// channels above 1 are kept.
void lab_to_srgb(double L, double a, double b, double rgb[3]);

}  // namespace velmora::tetvol

#endif
