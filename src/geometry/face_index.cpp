// Bounding-volume hierarchy over triangle faces: boxes split at the median centroid along their
// longest axis, a few faces per leaf, queried with a slab test per node.
#include <algorithm>
#include <cmath>
#include <new>

#include "geometry/face_index_internal.h"

namespace velmora::tetvol {

namespace {

constexpr int kLeafFaces = 4;
constexpr int kMaxDepth = 96;
// How far beyond a face's corners a hit may lie: the corner tolerance (0.01), plus the 0.1 by
// which a hit may pass an end of the segment ((s - x)(e - x) <= 0.01 per coordinate), plus room
// for rounding.
constexpr double kReach = 0.125;
// Relative widening for the barycentric slack of large faces.
constexpr double kRelativeReach = 1e-7;

// Whether s + t (e - s), 0 <= t <= 1, meets the box.
bool segment_meets_box(const double *s, const double *d, const double *lo, const double *hi) {
  double t0 = 0.0, t1 = 1.0;
  for (int k = 0; k < 3; ++k) {
    if (d[k] == 0.0) {
      if (s[k] < lo[k] || s[k] > hi[k]) return false;
      continue;
    }
    const double inv = 1.0 / d[k];
    double a = (lo[k] - s[k]) * inv, b = (hi[k] - s[k]) * inv;
    if (a > b) std::swap(a, b);
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
    if (t0 > t1) return false;
  }
  return true;
}

}  // namespace

FaceIndex *FaceIndex::create(const TETRA_VOLUME *volume) {
  void *memory = mem_alloc(sizeof(FaceIndex));
  if (memory == nullptr) return nullptr;
  auto *index = new (memory) FaceIndex();
  const int n = volume->nfaces;
  PodBuffer<double[6]> box;
  PodBuffer<double[3]> centre;
  bool ok =
      n > 0 && box.grow(n) && centre.grow(n) && index->faces_.grow(n) && index->nodes_.grow(2 * n);
  if (ok) {
    for (int i = 0; i < n; ++i) {
      const TETRA_PLANE *f = face_at(volume, i);
      const double corners[3][3] = {
          {f->p0.x, f->p0.y, f->p0.z}, {f->p1.x, f->p1.y, f->p1.z}, {f->p2.x, f->p2.y, f->p2.z}};
      double size = 0.0;
      for (int k = 0; k < 3; ++k) {
        const double lo = std::min({corners[0][k], corners[1][k], corners[2][k]});
        const double hi = std::max({corners[0][k], corners[1][k], corners[2][k]});
        size = std::max(size, std::max(std::fabs(lo), std::fabs(hi)));
        box[i][k] = lo;
        box[i][3 + k] = hi;
        centre[i][k] = 0.5 * (lo + hi);
      }
      const double reach = kReach + kRelativeReach * size;
      for (int k = 0; k < 3; ++k) {
        box[i][k] -= reach;
        box[i][3 + k] += reach;
      }
      index->faces_.push(i);
    }
    index->nodes_.push(Node{});
    ok = index->build(0, 0, n, box.data(), centre.data()) >= 0;
  }
  if (!ok) {
    face_index_kill(index);
    return nullptr;
  }
  return index;
}

// Fills node with the faces faces_[begin .. end); returns its depth below, or -1 when too deep
// (never for median splits of fewer than 2^96 faces).
int FaceIndex::build(int node, int begin, int end, const double (*box)[6],
                     const double (*centre)[3]) {
  Node &self = nodes_[node];
  double clo[3], chi[3];
  for (int k = 0; k < 3; ++k) {
    self.lo[k] = clo[k] = HUGE_VAL;
    self.hi[k] = chi[k] = -HUGE_VAL;
  }
  for (int i = begin; i < end; ++i) {
    const int f = faces_[i];
    for (int k = 0; k < 3; ++k) {
      self.lo[k] = std::min(self.lo[k], box[f][k]);
      self.hi[k] = std::max(self.hi[k], box[f][3 + k]);
      clo[k] = std::min(clo[k], centre[f][k]);
      chi[k] = std::max(chi[k], centre[f][k]);
    }
  }
  if (end - begin <= kLeafFaces) {
    self.first = begin;
    self.count = end - begin;
    return 0;
  }
  int axis = 0;
  for (int k = 1; k < 3; ++k)
    if (chi[k] - clo[k] > chi[axis] - clo[axis]) axis = k;
  const int middle = begin + (end - begin) / 2;
  std::nth_element(faces_.data() + begin, faces_.data() + middle, faces_.data() + end,
                   [&](int a, int b) { return centre[a][axis] < centre[b][axis]; });
  const int left = nodes_.size();
  self.first = left;
  self.count = 0;
  nodes_.push(Node{});  // room was made for 2n nodes, so these never reallocate
  nodes_.push(Node{});
  const int dl = build(left, begin, middle, box, centre);
  const int dr = build(left + 1, middle, end, box, centre);
  if (dl < 0 || dr < 0 || std::max(dl, dr) + 1 > kMaxDepth) return -1;
  return std::max(dl, dr) + 1;
}

bool FaceIndex::candidates(Vec3 s, Vec3 e, FaceList *out) const {
  out->clear();
  const double start[3] = {s.x, s.y, s.z};
  const double d[3] = {e.x - s.x, e.y - s.y, e.z - s.z};
  int stack[kMaxDepth + 2];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const Node &node = nodes_[stack[--top]];
    if (!segment_meets_box(start, d, node.lo, node.hi)) continue;
    if (node.count == 0) {
      stack[top++] = node.first;
      stack[top++] = node.first + 1;
      continue;
    }
    for (int i = 0; i < node.count; ++i)
      if (!out->push(faces_[node.first + i])) return false;
  }
  std::sort(out->data(), out->data() + out->size());
  return true;
}

void face_index_kill(FaceIndex *index) {
  if (index == nullptr) return;
  index->~FaceIndex();
  mem_free(index);
}

}  // namespace velmora::tetvol
