// A bounding-volume hierarchy over the faces of a tetrahedral volume, built once per body, so
// that inside tests, segment intersections and the filling of a volume visit the few faces near
// a segment instead of every face.
#ifndef VELMORA_GEOMETRY_FACE_INDEX_INTERNAL_H
#define VELMORA_GEOMETRY_FACE_INDEX_INTERNAL_H

#include "geometry/tetra_volume_internal.h"

namespace velmora::tetvol {

// Face numbers gathered by one query; queries near up to 64 faces allocate nothing.
using FaceList = PodBuffer<int, 64>;

class FaceIndex {
 public:
  // New index over the faces of volume, or null when memory ran out. Released with face_index_kill.
  static FaceIndex *create(const TETRA_VOLUME *volume);

  // Every face the segment s..e can hit in the sense of segment_plane_hit, and possibly a few
  // more, as face numbers in ascending order: the faces whose box, widened by the reach of the
  // hit tests' tolerances, the segment meets. false when memory ran out.
  bool candidates(Vec3 s, Vec3 e, FaceList *out) const;

 private:
  struct Node {
    double lo[3], hi[3];
    int first;  // leaf: first entry in faces_; inner node: index of the left child (right + 1)
    int count;  // leaf: number of faces; 0 for an inner node
  };
  int build(int node, int begin, int end, const double (*box)[6], const double (*centre)[3]);

  PodBuffer<Node> nodes_;
  PodBuffer<int> faces_;
};

void face_index_kill(FaceIndex *index);

}  // namespace velmora::tetvol

#endif
