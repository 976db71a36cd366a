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
#include <algorithm>
#include <cmath>
#include <cstring>

#include "cluster/tclustergroup_internal.h"
#include "foundation/vector_number.h"

namespace {

using velmora::cluster::frame_coordinate;
using velmora::cluster::frame_octant_mask;
using velmora::cluster::query_node;

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
  for (; group != 0; group &= group - 1) {
    const int k = __builtin_ctz(group);
    if (near->count[k] == 0 || near->dist2[k] > t) return false;
  }
  return true;
}

// What one walk needs: the query, its node and the record being filled.
struct Walk {
  const double *x;
  std::uint16_t q[3];
  int nrOfDevCoord;
  clg_near_t *near;

  // The update rule: the octant takes the point when empty or when the point is strictly
  // nearer. Returns the point's squared L-a distance for the scan's stop test.
  double visit(const clg_index_t::Point &p, int k) const {
    const double dl = p.lab[0] - x[0];
    const double da = p.lab[1] - x[1];
    const double db = p.lab[2] - x[2];
    const double dla = dl * dl + da * da;
    const double d2 = dla + db * db;
    if (near->count[k] == 0 || near->dist2[k] > d2) {
      near->dist2[k] = d2;
      ++near->count[k];
      clg_cl_t &best = near->best[k];
      for (int i = 0; i < 3; ++i)
        best.lab[i] = p.lab[i];
      for (int j = 0; j < nrOfDevCoord; ++j)
        best.dev[j] = p.record->dev[j];
    }
    return dla;
  }

  float step[3];
  float rangeMin[3];

  // Lab of node n on axis i, as the points are expanded.
  double node_lab(int i, int n) const {
    return static_cast<float>(static_cast<float>(n) * step[i]) + rangeMin[i];
  }

  // The octants of one half (base 4 above the query's L node, 0 at or below it) that points in
  // the box can fall into, as a mask: a-bit from the a range, b-bit from the b range.
  unsigned present(const clg_index_t::Box &box, int base) const {
    const bool aLo = box.minA <= q[1], aHi = box.maxA > q[1];
    const bool bLo = box.minB <= q[2], bHi = box.maxB > q[2];
    unsigned mask = 0;
    if (aLo && bLo) mask |= 1u << base;
    if (aLo && bHi) mask |= 1u << (base + 1);
    if (aHi && bLo) mask |= 1u << (base + 2);
    if (aHi && bHi) mask |= 1u << (base + 3);
    return mask;
  }

  // Squared distance from the query, along axis i, to the nearest node of the box's range
  // [lo, hi] on the lower (node <= q) or upper (node > q) side; a lower bound for its points.
  double side_gap(int i, int lo, int hi, bool upper) const {
    double gap = 0.0;
    if (upper) {
      gap = node_lab(i, std::max(lo, q[i] + 1)) - x[i];
    } else {
      gap = x[i] - node_lab(i, std::min(hi, static_cast<int>(q[i])));
    }
    return gap > 0.0 ? gap * gap : 0.0;
  }

  // Some octant of the half could still take a point of the box, whose points lie at squared L
  // distance dL2 or more: an octant the box reaches whose entry is missing or farther than the
  // box's nearest corner on that octant's side.
  bool improvable(const clg_index_t::Box &box, int base, double dL2) const {
    const unsigned mask = present(box, base);
    for (int k = 0; k < 4; ++k) {
      if ((mask >> (base + k) & 1u) == 0) continue;
      const double da = side_gap(1, box.minA, box.maxA, (k & 2) != 0);
      const double db = side_gap(2, box.minB, box.maxB, (k & 1) != 0);
      // Shaved by a relative 1e-12 so that rounding never lets it exceed a point's distance.
      const double bound = (dL2 + da + db) * (1.0 - 1e-12);
      const clg_near_t *n = near;
      if (n->count[base + k] == 0 || n->dist2[base + k] > bound) return true;
    }
    return false;
  }

  // Plane-frame octants: the three unit vectors and the node-to-Lab mapping of the octant bits.
  const double *const *planes = nullptr;
  float span[3];
  double intervals[3];

  // Lab offset of node n from the query's node along axis i, as DetermineIntIndex forms it.
  double offset(int i, int n) const {
    if (intervals[i] <= 0.0) return 0.0;
    return frame_coordinate(n, span[i], intervals[i], rangeMin[i]) -
           frame_coordinate(q[i], span[i], intervals[i], rangeMin[i]);
  }

  // The plane-frame octants that points with L nodes lLo .. lHi and a and b nodes in the box can
  // fall into.
  unsigned frame_present(int lLo, int lHi, const clg_index_t::Box &box) const {
    const double lo[3] = {offset(0, lLo), offset(1, box.minA), offset(2, box.minB)};
    const double hi[3] = {offset(0, lHi), offset(1, box.maxA), offset(2, box.maxB)};
    return frame_octant_mask(planes, lo, hi);
  }

  // Some plane-frame octant the points can fall into could still take one at squared distance
  // dL2 (their L distance) or more.
  bool frame_improvable(unsigned mask, double dL2) const {
    return !settled(near, mask, dL2 * (1.0 - 1e-12));
  }
};

// Which octant groups end scans and slice walks.
struct Groups {
  unsigned upperDescending, upperAscending, upperHalf;
  unsigned lowerDescending, lowerAscending, lowerHalf;
};

// With axis-aligned octants each scan settles the octants of its own half and direction; with
// all set (every octant searched at once, or plane-frame octants) each settles all eight.
Groups groups(bool all) {
  if (all)
    return Groups{kAllOctants, kAllOctants, kAllOctants, kAllOctants, kAllOctants, kAllOctants};
  return Groups{kUpperDescending, kUpperAscending, kUpperHalf,
                kLowerDescending, kLowerAscending, kLowerHalf};
}

// The walk shared by both searches. octant(point, upper, ascending) gives a point's octant.
// A slice or block of slices whose node ranges hold no point of an octant that could still
// improve is passed over, and a scan ends once the octants its slice can feed are settled:
// neither changes what the walk finds, only what it reads. With axis-aligned octants the ranges
// also bound the a and b distances; with plane-frame octants (w.planes set) only the L distance.
template <typename Octant>
void walk(const Walk &w, const clg_index_t &ix, const Groups &g, Octant octant) {
  const bool frame = w.planes != nullptr;
  const int nS = static_cast<int>(ix.slices.size());
  if (nS == 0) return;
  const double *x = w.x;
  // The first slice above the query's L node (slices at or below it form the lower half).
  int p = 0;
  for (int hi = nS; p < hi;) {
    const int mid = p + (hi - p) / 2;
    if (ix.slices[mid].lNode > w.q[0]) {
      hi = mid;
    } else {
      p = mid + 1;
    }
  }
  auto l_distance = [x](const clg_index_t::Slice &slice) {
    const double dl = slice.l - x[0];
    return dl * dl;
  };

  auto scan_slice = [&](const clg_index_t::Slice &slice, bool upper) {
    const int base = upper ? 4 : 0;
    unsigned down = upper ? g.upperDescending : g.lowerDescending;
    unsigned up = upper ? g.upperAscending : g.lowerAscending;
    const unsigned feeds =
        frame ? w.frame_present(slice.lNode, slice.lNode, slice.box) : w.present(slice.box, base);
    down &= feeds;
    up &= feeds;
    // The split: the first position whose a node index exceeds the query's.
    int j = slice.first;
    for (int n = slice.last + 1 - slice.first; n > 0;) {
      const int half = n / 2;
      const bool above = ix.points[j + half].node[1] > w.q[1];
      j = above ? j : j + half + 1;
      n = above ? half : n - half - 1;
    }
    for (int i = j - 1; i >= slice.first; --i) {
      const clg_index_t::Point &pt = ix.points[i];
      const double dla = w.visit(pt, octant(pt, upper, false));
      if (settled(w.near, down, dla)) break;
    }
    for (int i = j; i <= slice.last; ++i) {
      const clg_index_t::Point &pt = ix.points[i];
      const double dla = w.visit(pt, octant(pt, upper, true));
      if (settled(w.near, up, dla)) break;
    }
  };

  constexpr int kBlock = clg_index_t::kBlock;
  auto improvable = [&](const clg_index_t::Box &box, int lLo, int lHi, int base, double t) {
    return frame ? w.frame_improvable(w.frame_present(lLo, lHi, box), t)
                 : w.improvable(box, base, t);
  };
  // Upper half: slices p, p + 1, ... upward, until the octants above are settled against the
  // next slice's L distance.
  for (int s = p; s < nS;) {
    const clg_index_t::Slice &slice = ix.slices[s];
    const double t = l_distance(slice);
    if (s > p && settled(w.near, g.upperHalf, t)) break;
    if (s % kBlock == 0 && s + kBlock <= nS &&
        !improvable(ix.blocks[s / kBlock], slice.lNode, ix.slices[s + kBlock - 1].lNode, 4, t)) {
      s += kBlock;
      continue;
    }
    if (improvable(slice.box, slice.lNode, slice.lNode, 4, t)) scan_slice(slice, true);
    ++s;
  }
  // Lower half: slices p - 1, p - 2, ... downward.
  for (int s = p - 1; s >= 0;) {
    const clg_index_t::Slice &slice = ix.slices[s];
    const double t = l_distance(slice);
    if (s < p - 1 && settled(w.near, g.lowerHalf, t)) break;
    if (s % kBlock == kBlock - 1 &&
        !improvable(ix.blocks[s / kBlock], ix.slices[s - kBlock + 1].lNode, slice.lNode, 0, t)) {
      s -= kBlock;
      continue;
    }
    if (improvable(slice.box, slice.lNode, slice.lNode, 0, t)) scan_slice(slice, false);
    --s;
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
  for (int i = 0; i < 3; ++i) {
    w.step[i] = step[i];
    w.rangeMin[i] = rangeMin[i];
  }
  w.nrOfDevCoord = nrOfDevCoord;
  for (int i = 0; i < 3; ++i)
    w.q[i] = static_cast<std::uint16_t>(query_node(x[i], rangeMin[i], step[i], nrOfNodes[i]));
  return true;
}

}  // namespace

int TClusterGroup::FindNearestClusterNPar(const double *lab, clg_near_t *near, int all,
                                          const double *const * /*planes*/) const {
  Walk w{};
  if (!prepare(lab, near, nrOfDevCoord, nrOfNodes, step, rangeMin, w) || lRangeValid == 0 ||
      index == nullptr) {
    std::memset(near, 0, sizeof(*near));
    return -1;
  }
  const Groups g = groups(all != 0);
  const std::uint16_t q2 = w.q[2];
  walk(w, *index, g, [q2](const clg_index_t::Point &pt, bool upper, bool ascending) {
    return (upper ? 4 : 0) + (ascending ? 2 : 0) + (pt.node[2] > q2 ? 1 : 0);
  });
  return 0;
}

int TClusterGroup::FindNearestClusterPar(const double *lab, clg_near_t *near, int mode,
                                         const double *const *planes) const {
  Walk w{};
  if (!prepare(lab, near, nrOfDevCoord, nrOfNodes, step, rangeMin, w) || lRangeValid == 0 ||
      index == nullptr || (mode != 0 && planes == nullptr)) {
    std::memset(near, 0, sizeof(*near));
    return -1;
  }
  // Mode 0 uses the axis-aligned octants; any other mode the plane frame.
  const Groups g = groups(mode != 0);
  const std::uint16_t *q = w.q;
  if (mode != 0) {
    w.planes = planes;
    for (int i = 0; i < 3; ++i) {
      w.span[i] = rangeMax[i] - rangeMin[i];
      w.intervals[i] = nrOfNodes[i] - 1;
    }
  }
  walk(w, *index, g, [this, q, mode, planes](const clg_index_t::Point &pt, bool, bool) {
    int bits[3];
    DetermineIntIndex(pt.node, q, bits, mode, planes);
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
    e[i] = frame_coordinate(pointNode[i], span, intervals, rangeMin[i]) -
           frame_coordinate(queryNode[i], span, intervals, rangeMin[i]);
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
