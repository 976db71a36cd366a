// Nearest-cluster search: for a Lab query, the nearest stored point in each of the eight octants
// around it.
//
// The point list is sorted by L node index and, inside one L slice, by a node index. The walk
// starts at the query's slice and moves outward: slices above the query's L node (the upper
// half) upward, slices at or below it downward. Inside a slice, the a-split position divides the
// points below or at the query's a node from those above it, and each side is scanned away from
// the split. Because the L and a offsets only grow along a scan, a scan can stop as soon as every
// octant it feeds holds a point no farther than the current point's L-a distance, and a slice
// walk as soon as they hold points no farther than the next slice's L distance.
#include <cmath>
#include <cstring>

#include "cluster/tclustergroup_internal.h"
#include "foundation/vector_number.h"

namespace {

using velmora::cluster::nearest;
using velmora::cluster::record;

constexpr unsigned kAllOctants = 0xFFu;

// Octant groups of the axis-aligned walk: each scan feeds two octants, each half four.
constexpr unsigned kUpperDescending = 0x30u;  // octants 4, 5
constexpr unsigned kUpperAscending = 0xC0u;   // octants 6, 7
constexpr unsigned kUpperHalf = 0xF0u;        // octants 4 .. 7
constexpr unsigned kLowerDescending = 0x03u;  // octants 0, 1
constexpr unsigned kLowerAscending = 0x0Cu;   // octants 2, 3
constexpr unsigned kLowerHalf = 0x0Fu;        // octants 0 .. 3

bool has_nan(const double *x) {
  return std::isnan(x[0]) || std::isnan(x[1]) || std::isnan(x[2]);
}

// Every octant of the group holds a point no farther than t.
bool settled(const clg_near_t *near, unsigned group, double t) {
  for (int k = 0; k < 8; ++k) {
    if ((group >> k & 1u) != 0 && (near->count[k] == 0 || near->dist2[k] > t)) return false;
  }
  return true;
}

// What one walk needs: the query, its node, the grid and the record being filled.
struct Walk {
  const double *x;
  std::uint16_t q[3];
  float step[3];
  float rangeMin[3];
  int nrOfDevCoord;
  clg_near_t *near;

  void expand(const clg_pt_t *pt, double *lab) const {
    for (int i = 0; i < 3; ++i)
      lab[i] = static_cast<float>(static_cast<float>(pt->node[i]) * step[i]) + rangeMin[i];
  }

  // The update rule: the octant takes the point when empty or when the point is strictly
  // nearer. Returns the point's squared L-a distance for the scan's stop test.
  double visit(const clg_pt_t *pt, int k) const {
    double lab[3];
    expand(pt, lab);
    const double dl = lab[0] - x[0];
    const double da = lab[1] - x[1];
    const double db = lab[2] - x[2];
    const double dla = dl * dl + da * da;
    const double d2 = dla + db * db;
    if (near->count[k] == 0 || near->dist2[k] > d2) {
      near->dist2[k] = d2;
      ++near->count[k];
      clg_cl_t &best = near->best[k];
      for (int i = 0; i < 3; ++i)
        best.lab[i] = lab[i];
      for (int j = 0; j < nrOfDevCoord; ++j)
        best.dev[j] = pt->dev[j];
    }
    return dla;
  }

  double l_distance(const clg_pt_t *pt) const {
    const double dl =
        static_cast<float>(static_cast<float>(pt->node[0]) * step[0]) + rangeMin[0] - x[0];
    return dl * dl;
  }
};

const clg_pt_t *point_at(LIST points, int pos) {
  return record<clg_pt_t>(list_get_element(points, pos));
}

int first_pos(LIST lRange, int s) {
  return record<clg_lrange_t>(list_get_element(lRange, s))->firstPos;
}

// The walk shared by both searches. Octant(pt, upper, ascending) gives a point's octant;
// the groups give, per half and scan direction, the octants whose settling ends the scan, and
// per half those whose settling ends the slice walk.
struct Groups {
  unsigned upperDescending, upperAscending, upperHalf;
  unsigned lowerDescending, lowerAscending, lowerHalf;
};

template <typename Octant>
void walk(const Walk &w, LIST points, LIST lRange, const Groups &g, Octant octant) {
  const int nL = list_num(lRange);
  const int nP = list_num(points);
  if (nP == 0) return;
  clg_lrange_t lKey{w.q[0], 0};
  const clg_lrange_t *lKeyPtr = &lKey;
  const int p = list_pos(lRange, &lKeyPtr);
  clg_pt_t qKey{};
  for (int i = 0; i < 3; ++i)
    qKey.node[i] = w.q[i];
  const clg_pt_t *qKeyPtr = &qKey;

  auto scan_slice = [&](int first, int last, bool upper) {
    const int j = list_pos_range(points, &qKeyPtr, first, last, velmora::cluster::a_order);
    const unsigned down = upper ? g.upperDescending : g.lowerDescending;
    const unsigned up = upper ? g.upperAscending : g.lowerAscending;
    for (int i = j - 1; i >= first; --i) {
      const clg_pt_t *pt = point_at(points, i);
      const double dla = w.visit(pt, octant(pt, upper, false));
      if (settled(w.near, down, dla)) break;
    }
    for (int i = j; i <= last; ++i) {
      const clg_pt_t *pt = point_at(points, i);
      const double dla = w.visit(pt, octant(pt, upper, true));
      if (settled(w.near, up, dla)) break;
    }
  };

  // Upper half: slices p, p + 1, ... upward.
  for (int s = p; s < nL; ++s) {
    const int first = first_pos(lRange, s);
    const int last = s + 1 < nL ? first_pos(lRange, s + 1) - 1 : nP - 1;
    scan_slice(first, last, true);
    if (last + 1 == nP) break;
    if (settled(w.near, g.upperHalf, w.l_distance(point_at(points, last + 1)))) break;
  }
  // Lower half: slices p - 1, p - 2, ... downward.
  int last = p < nL ? first_pos(lRange, p) - 1 : nP - 1;
  for (int s = p - 1; s >= 0; --s) {
    const int first = first_pos(lRange, s);
    scan_slice(first, last, false);
    last = first - 1;
    if (last < 0) break;
    if (settled(w.near, g.lowerHalf, w.l_distance(point_at(points, last)))) break;
  }
}

// Prepares a walk: clears near and computes the query node, clamped into the grid so that a
// query outside the limits splits against the border node.
bool prepare(const double *x, clg_near_t *near, int nrOfDevCoord, const std::int16_t *nrOfNodes,
             const float *step, const float *rangeMin, Walk &w) {
  std::memset(near, 0, sizeof(*near));
  if (has_nan(x)) return false;
  w.x = x;
  w.near = near;
  w.nrOfDevCoord = nrOfDevCoord;
  for (int i = 0; i < 3; ++i) {
    w.step[i] = step[i];
    w.rangeMin[i] = rangeMin[i];
    const double v = (x[i] - rangeMin[i]) / step[i];
    int node = 0;
    if (v >= nrOfNodes[i] - 1) {
      node = nrOfNodes[i] - 1;
    } else if (v > 0.0) {
      node = nearest(v);
    }
    w.q[i] = static_cast<std::uint16_t>(node);
  }
  return true;
}

}  // namespace

int TClusterGroup::FindNearestClusterNPar(const double *lab, clg_near_t *near, int all,
                                          const double *const * /*planes*/) const {
  Walk w{};
  if (!prepare(lab, near, nrOfDevCoord, nrOfNodes, step, rangeMin, w) || lRangeValid == 0) {
    std::memset(near, 0, sizeof(*near));
    return -1;
  }
  const Groups g = all != 0 ? Groups{kAllOctants, kAllOctants, kAllOctants,
                                     kAllOctants, kAllOctants, kAllOctants}
                            : Groups{kUpperDescending, kUpperAscending, kUpperHalf,
                                     kLowerDescending, kLowerAscending, kLowerHalf};
  const std::uint16_t q2 = w.q[2];
  walk(w, points, lRange, g, [q2](const clg_pt_t *pt, bool upper, bool ascending) {
    return (upper ? 4 : 0) + (ascending ? 2 : 0) + (pt->node[2] > q2 ? 1 : 0);
  });
  return 0;
}

int TClusterGroup::FindNearestClusterPar(const double *lab, clg_near_t *near, int mode,
                                         const double *const *planes) const {
  Walk w{};
  if (!prepare(lab, near, nrOfDevCoord, nrOfNodes, step, rangeMin, w) || lRangeValid == 0) {
    std::memset(near, 0, sizeof(*near));
    return -1;
  }
  // With mode 0 the octants are the axis-aligned ones, and each scan settles the octants of its
  // own half and direction; any other mode settles all eight.
  const Groups g = mode != 0 ? Groups{kAllOctants, kAllOctants, kAllOctants,
                                      kAllOctants, kAllOctants, kAllOctants}
                             : Groups{kUpperDescending, kUpperAscending, kUpperHalf,
                                      kLowerDescending, kLowerAscending, kLowerHalf};
  const std::uint16_t *q = w.q;
  walk(w, points, lRange, g, [this, q, mode, planes](const clg_pt_t *pt, bool, bool) {
    int bits[3];
    DetermineIntIndex(pt->node, q, bits, mode, planes);
    return 4 * bits[0] + 2 * bits[1] + bits[2];
  });
  return 0;
}

int TClusterGroup::DetermineIntIndex(const std::uint16_t *pointNode, const std::uint16_t *queryNode,
                                     int *bits, int mode, const double *const *planes) const {
  if (mode == 0) {
    for (int i = 0; i < 3; ++i)
      bits[i] = pointNode[i] > queryNode[i] ? 1 : 0;
    return 0;
  }
  // The Lab offset of the two nodes, mapped by (nodes - 1) / (max - min) as points are stored.
  double e[3];
  for (int i = 0; i < 3; ++i) {
    const float span = rangeMax[i] - rangeMin[i];
    const double intervals = nrOfNodes[i] - 1;
    if (intervals <= 0.0) {
      e[i] = 0.0;
      continue;
    }
    const double p = static_cast<float>(pointNode[i] * span) / intervals + rangeMin[i];
    const double s = static_cast<float>(queryNode[i] * span) / intervals + rangeMin[i];
    e[i] = p - s;
  }
  for (int i = 0; i < 3; ++i)
    bits[i] = vect_dot(planes[i], e, 3) < 0.0 ? 0 : 1;
  return 0;
}

int TClusterGroup::Insert(const clg_cl_t *cl, const double *lab, const int *bits, clg_near_t *near,
                          int /*unused*/, const double *const * /*unusedPlanes*/) const {
  const int k = 4 * bits[0] + 2 * bits[1] + bits[2];
  const double d2 = vect_square_distance(cl->lab, lab, 3);
  if (near->count[k] == 0 || near->dist2[k] > d2) {
    near->dist2[k] = d2;
    ++near->count[k];
    clg_cl_t &best = near->best[k];
    for (int i = 0; i < 3; ++i)
      best.lab[i] = cl->lab[i];
    for (int j = 0; j < nrOfDevCoord; ++j)
      best.dev[j] = cl->dev[j];
  }
  return 0;
}
