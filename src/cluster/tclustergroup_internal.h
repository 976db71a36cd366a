// Records and orderings of the cluster store, shared by its model, search and interpolation
// sources and reachable by the library's tests.
#ifndef VELMORA_CLUSTER_TCLUSTERGROUP_INTERNAL_H
#define VELMORA_CLUSTER_TCLUSTERGROUP_INTERNAL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "ostrel/ostrel.h"
#include "velmora/tclustergroup.h"

// A stored point: its device values and the grid node its Lab value snapped to.
struct clg_pt_t {
  float dev[8];
  std::uint16_t node[3];
};

// One record of the L-range table: an L node index present among the points and the position of
// its first point. The position is 32 bits wide so that the table addresses every position the
// list service can hold.
struct clg_lrange_t {
  std::uint16_t lNode;
  std::int32_t firstPos;
};

// The point list laid out for the searches, rebuilt with the L-range table: per position of the
// sorted point list its node, the Lab of that node (as the points are expanded) and its record;
// per L slice its run of positions and the range of a and b node indices it holds; the same ranges
// per block of kBlock consecutive slices. The ranges let a walk pass over slices that hold no
// point able to improve an octant it still needs.
struct clg_index_t {
  static constexpr int kBlock = 16;
  struct Point {
    double lab[3];
    std::uint16_t node[3];
    const clg_pt_t *record;
  };
  struct Box {
    std::uint16_t minA, maxA, minB, maxB;
  };
  struct Slice {
    std::int32_t first, last;  // positions of the slice's first and last point
    std::uint16_t lNode;
    double l;  // L of the slice's node
    Box box;
  };
  std::vector<Point> points;
  std::vector<Slice> slices;
  std::vector<Box> blocks;  // block b covers slices b * kBlock .. b * kBlock + kBlock - 1

  // The same points bucketed by a regular grid of cells over their node indices, for the
  // searches that need only each octant's nearest point: cell (c0, c1, c2) covers nodes
  // lo[i] + c[i] * size[i] .. + size[i] - 1 and holds entries cellStart[c] .. cellStart[c + 1] - 1,
  // in list order. Per entry the node's Lab and its node, and apart its device values, its list
  // position and its position mirrored inside its L slice (first + last - position), from which the
  // walk's order of equal distances follows. counts is the summed count table of the cells ((cells
  // + 1) per axis), so that the number of points in any box of cells takes eight reads.
  struct Cells {
    int lo[3] = {0, 0, 0};
    int size[3] = {1, 1, 1};
    int n[3] = {0, 0, 0};
    struct Entry {
      float lab[3];  // exact: the Lab of a node is a float widened
      std::uint16_t node[3];
    };
    std::vector<std::int32_t> cellStart;
    std::vector<Entry> entries;
    std::vector<std::int32_t> pos, mirrored;
    std::vector<float> dev;  // per entry 8 device values, as stored

    std::vector<std::int32_t> counts;
  };
  Cells cells;
};

namespace velmora::cluster {

// Grid nodes are found by rounding half away from zero.
inline int nearest(double v) {
  return static_cast<int>(v < 0.0 ? v - 0.5 : v + 0.5);
}

// The grid node of a query coordinate, as both searches take it: the nearest node, held inside
// the grid's nodes 0 .. nodes - 1.
inline int query_node(double x, float rangeMin, float step, int nodes) {
  const double v = (x - rangeMin) / step;
  if (v >= nodes - 1) return nodes - 1;
  if (v > 0.0) return nearest(v);
  return 0;
}

// The stored record behind a list element (each element is a pointer to a record).
template <typename T>
inline T *record(const void *element) {
  return *static_cast<T *const *>(element);
}

// Point order: by L node index, then by a node index (1 on equal L when the first's a index is
// greater or equal); the b index takes no part.
int point_order(const void *a, const void *b);
// a-order, for splitting one L slice by the query's a node index.
int a_order(const void *a, const void *b);
// L-range order, by L node index.
int lrange_order(const void *a, const void *b);

// Buckets the index's points into its cells; throws std::bad_alloc when memory runs out.
void build_cells(clg_index_t &index, const float *step);

// The nearest point of every octant around lab, as FindNearestClusterNPar (planes null) or
// FindNearestClusterPar with a nonzero mode and the three plane normals finds it (same
// occupancy, points, distances and choice between equidistant points), from the cells. Each
// occupied octant reports a count of 1 instead of the number of replacements. Returns 0, or -1
// (near all zero) as the searches do.
int find_octant_nearest(const clg_index_t *index, bool valid, const double *lab, clg_near_t *near,
                        int nrOfDevCoord, const std::int16_t *nrOfNodes, const float *step,
                        const float *rangeMin, const float *rangeMax,
                        const double *const *planes = nullptr);

// Coordinate of node n along an axis as the plane-frame octants place it: n times the span
// (max - min) in single precision, over the intervals (nodes - 1), plus the minimum. A point's
// offset from the query is the difference of their nodes' coordinates.
inline double frame_coordinate(int n, float span, double intervals, float rangeMin) {
  return static_cast<float>(n * span) / intervals + rangeMin;
}

// The plane-frame octants that points with Lab offsets from the query between lo and hi (per
// axis) can fall into. Bit i of an octant (counted from the top) is the sign of the offset's dot
// product with planes[i]; over the box that product ranges between the sums of its per-axis
// extremes, and signs within a relative 1e-9 of 0 count as both.
inline unsigned frame_octant_mask(const double *const *planes, const double *lo, const double *hi) {
  unsigned values[3];  // per bit: 1 when it may be 0, 2 when it may be 1
  for (int i = 0; i < 3; ++i) {
    double least = 0.0, most = 0.0, scale = 0.0;
    for (int d = 0; d < 3; ++d) {
      const double u = planes[i][d] * lo[d], v = planes[i][d] * hi[d];
      least += std::min(u, v);
      most += std::max(u, v);
      scale += std::max(std::fabs(u), std::fabs(v));
    }
    const double tolerance = 1e-9 * scale;
    values[i] = (least < tolerance ? 1u : 0u) | (most >= -tolerance ? 2u : 0u);
  }
  unsigned mask = 0;
  for (int k = 0; k < 8; ++k) {
    if ((values[0] >> (k >> 2 & 1) & 1u) != 0 && (values[1] >> (k >> 1 & 1) & 1u) != 0 &&
        (values[2] >> (k & 1) & 1u) != 0)
      mask |= 1u << k;
  }
  return mask;
}

// Octant visiting order of the interpolators and the inside test.
inline constexpr int kOctantOrder[8] = {0, 4, 2, 6, 1, 5, 3, 7};

}  // namespace velmora::cluster

#endif
