// Nearest point per octant (axis-aligned, or in a frame of three planes) from a grid of cells
// over the stored points' nodes.
//
// The cells are visited in rings of growing Chebyshev distance around the query's cell; the
// first rings cell by cell, farther ones face by face, halving each face and passing over boxes
// without points (from the summed cell counts), boxes that can hold no open octant and boxes
// whose nearest corner is farther than the points they could replace. After each ring an
// octant is closed when its nearest point so far is strictly nearer than any point outside the
// rings can be, or (axis-aligned octants, which are boxes of cells) when none of its points lies
// outside them; octants that no point occupies are thus closed before the first ring. Equal
// distances are decided as the slice walk of the public searches meets the points: the nearer L
// slice above the query's node first (the slices at or below it after all of those), then inside
// a slice the points from the a split downward, then those above it upward.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "cluster/tclustergroup_internal.h"
#include "foundation/vector_number.h"

namespace velmora::cluster {

namespace {

// Cells per axis are kept at or below this; the box of the points holds about one cell per
// kPointsPerCell points (measured: from 1 to 3 the speed hardly changes).
constexpr int kMaxCellsPerAxis = 1024;
constexpr double kPointsPerCell = 2.0;
// Boxes waiting in the halving of one ring face: at most two per halving level.
constexpr int kBoxStack = 2 * 3 * 11 + 2;

// Rings up to this one are visited cell by cell (with per-ring side tables of at most
// kSideCache cells per axis); farther rings face by face, halving the faces.
constexpr int kNearRings = 2;
constexpr int kSideCache = 2 * kNearRings + 1;
// Boxes of at most this many cells are visited cell by cell, larger ones halved.
constexpr int kSmallBox = 12;

struct CellBox {
  int lo[3], hi[3];
};

std::size_t count_index(const clg_index_t::Cells &c, int i0, int i1, int i2) {
  return (static_cast<std::size_t>(i0) * (c.n[1] + 1) + i1) * (c.n[2] + 1) + i2;
}

// The octants with a given bit (L, a, b) on the sides in a mask (1: bit 0, 2: bit 1, 3: both).
constexpr unsigned kOctantsOf[3][4] = {
    {0x00u, 0x0Fu, 0xF0u, 0xFFu}, {0x00u, 0x33u, 0xCCu, 0xFFu}, {0x00u, 0x55u, 0xAAu, 0xFFu}};

// Points in the cells lo .. hi (inclusive, per axis, already inside the grid); 0 when empty.
int box_count(const clg_index_t::Cells &c, const int *lo, const int *hi) {
  if (lo[0] > hi[0] || lo[1] > hi[1] || lo[2] > hi[2]) return 0;
  const int a0 = lo[0], a1 = lo[1], a2 = lo[2], b0 = hi[0] + 1, b1 = hi[1] + 1, b2 = hi[2] + 1;
  const std::int32_t *s = c.counts.data();
  return s[count_index(c, b0, b1, b2)] - s[count_index(c, a0, b1, b2)] -
         s[count_index(c, b0, a1, b2)] - s[count_index(c, b0, b1, a2)] +
         s[count_index(c, a0, a1, b2)] + s[count_index(c, a0, b1, a2)] +
         s[count_index(c, b0, a1, a2)] - s[count_index(c, a0, a1, a2)];
}

}  // namespace

void build_cells(clg_index_t &index, const float *step) {
  clg_index_t::Cells &c = index.cells;
  c = clg_index_t::Cells{};
  const std::size_t n = index.points.size();
  if (n == 0) return;
  int lo[3], hi[3];
  for (int i = 0; i < 3; ++i) {
    lo[i] = hi[i] = index.points[0].node[i];
  }
  for (const clg_index_t::Point &p : index.points) {
    for (int i = 0; i < 3; ++i) {
      lo[i] = std::min(lo[i], static_cast<int>(p.node[i]));
      hi[i] = std::max(hi[i], static_cast<int>(p.node[i]));
    }
  }
  // Cubic cells in Lab units, sized so that the box of the points holds about one cell per
  // kPointsPerCell points.
  double volume = 1.0;
  for (int i = 0; i < 3; ++i)
    volume *= (hi[i] - lo[i] + 1) * std::fabs(static_cast<double>(step[i]));
  const double side = std::cbrt(volume * kPointsPerCell / static_cast<double>(n));
  std::size_t total = 1;
  for (int i = 0; i < 3; ++i) {
    const double s = std::fabs(static_cast<double>(step[i]));
    int size = s > 0.0 && std::isfinite(side / s) ? static_cast<int>(std::max(1.0, side / s)) : 1;
    size = std::max(size, (hi[i] - lo[i]) / kMaxCellsPerAxis + 1);
    c.lo[i] = lo[i];
    c.size[i] = size;
    c.n[i] = (hi[i] - lo[i]) / size + 1;
    total *= static_cast<std::size_t>(c.n[i]);
  }
  std::vector<std::int32_t> cellOf(n);
  c.cellStart.assign(total + 1, 0);
  for (std::size_t p = 0; p < n; ++p) {
    const clg_index_t::Point &pt = index.points[p];
    std::size_t cell = 0;
    for (int i = 0; i < 3; ++i)
      cell = cell * c.n[i] + (pt.node[i] - lo[i]) / c.size[i];
    cellOf[p] = static_cast<std::int32_t>(cell);
    ++c.cellStart[cell + 1];
  }
  c.counts.assign(static_cast<std::size_t>(c.n[0] + 1) * (c.n[1] + 1) * (c.n[2] + 1), 0);
  for (int i0 = 0; i0 < c.n[0]; ++i0)
    for (int i1 = 0; i1 < c.n[1]; ++i1)
      for (int i2 = 0; i2 < c.n[2]; ++i2) {
        const std::size_t cell = (static_cast<std::size_t>(i0) * c.n[1] + i1) * c.n[2] + i2;
        const std::int32_t *s = c.counts.data();
        c.counts[count_index(c, i0 + 1, i1 + 1, i2 + 1)] =
            c.cellStart[cell + 1] + s[count_index(c, i0, i1 + 1, i2 + 1)] +
            s[count_index(c, i0 + 1, i1, i2 + 1)] + s[count_index(c, i0 + 1, i1 + 1, i2)] -
            s[count_index(c, i0, i1, i2 + 1)] - s[count_index(c, i0, i1 + 1, i2)] -
            s[count_index(c, i0 + 1, i1, i2)] + s[count_index(c, i0, i1, i2)];
      }
  for (std::size_t cell = 0; cell < total; ++cell)
    c.cellStart[cell + 1] += c.cellStart[cell];
  c.entries.resize(n);
  c.pos.resize(n);
  c.mirrored.resize(n);
  c.dev.resize(n * 8);
  std::vector<std::int32_t> fill(c.cellStart.begin(), c.cellStart.end() - 1);
  for (const clg_index_t::Slice &slice : index.slices) {
    for (std::int32_t p = slice.first; p <= slice.last; ++p) {
      const std::int32_t e = fill[cellOf[p]]++;
      const clg_index_t::Point &pt = index.points[p];
      clg_index_t::Cells::Entry &entry = c.entries[e];
      for (int i = 0; i < 3; ++i) {
        entry.lab[i] = static_cast<float>(pt.lab[i]);
        entry.node[i] = pt.node[i];
      }
      c.pos[e] = p;
      std::copy(pt.record->dev, pt.record->dev + 8,
                c.dev.begin() + 8 * static_cast<std::size_t>(e));
      c.mirrored[e] = slice.first + slice.last - p;
    }
  }
}

int find_octant_nearest(const clg_index_t *index, bool valid, const double *x, clg_near_t *near,
                        int nrOfDevCoord, const std::int16_t *nrOfNodes, const float *step,
                        const float *rangeMin, const float *rangeMax, const double *const *planes) {
  std::memset(near, 0, sizeof(*near));
  if (std::isnan(x[0]) || std::isnan(x[1]) || std::isnan(x[2]) || !valid || index == nullptr)
    return -1;
  const clg_index_t::Cells &c = index->cells;
  if (c.entries.empty()) return 0;
  // The query node, held inside the grid, as the slice walk takes it.
  int q[3];
  for (int i = 0; i < 3; ++i)
    q[i] = query_node(x[i], rangeMin[i], step[i], nrOfNodes[i]);
  auto node_lab = [&](int i, int node) -> double {
    return static_cast<float>(static_cast<float>(node) * step[i]) + rangeMin[i];
  };
  // Plane-frame octants: per axis the node-to-Lab mapping of DetermineIntIndex and the query
  // node's term, so that a point's offset from the query node is its term minus the query's.
  const bool frame = planes != nullptr;
  float span[3] = {0.0f, 0.0f, 0.0f};
  double intervals[3] = {0.0, 0.0, 0.0}, queryTerm[3] = {0.0, 0.0, 0.0};
  auto term = [&](int i, int node) -> double {
    return frame_coordinate(node, span[i], intervals[i], rangeMin[i]);
  };
  if (frame) {
    for (int i = 0; i < 3; ++i) {
      span[i] = rangeMax[i] - rangeMin[i];
      intervals[i] = nrOfNodes[i] - 1;
      if (intervals[i] > 0.0) queryTerm[i] = term(i, q[i]);
    }
  }
  auto offset = [&](int i, int node) -> double {
    return intervals[i] <= 0.0 ? 0.0 : term(i, node) - queryTerm[i];
  };
  auto frame_octant = [&](const std::uint16_t *node) {
    double e[3];
    for (int i = 0; i < 3; ++i)
      e[i] = offset(i, node[i]);
    int k = 0;
    for (int i = 0; i < 3; ++i)
      k = k << 1 | (vect_dot(planes[i], e, 3) < 0.0 ? 0 : 1);
    return k;
  };
  // The plane-frame octants that points with nodes in the cells lo .. hi can fall into.
  auto frame_mask = [&](const int *cLo, const int *cHi) {
    double lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
      lo[i] = offset(i, c.lo[i] + cLo[i] * c.size[i]);
      hi[i] = offset(i, c.lo[i] + (cHi[i] + 1) * c.size[i] - 1);
    }
    return frame_octant_mask(planes, lo, hi);
  };
  // Per axis: the query's cell (-1 or n when outside the points' cells), and the cells that
  // can hold nodes at or below the query's node (side 0) and above it (side 1).
  int qc[3], sideLo[3][2], sideHi[3][2];
  for (int i = 0; i < 3; ++i) {
    auto cell = [&](int node) {
      const int d = node - c.lo[i];
      const int v = d < 0 ? -1 : d / c.size[i];
      return std::min(v, c.n[i]);
    };
    qc[i] = cell(q[i]);
    sideLo[i][0] = 0;
    sideHi[i][0] = std::min(qc[i], c.n[i] - 1);
    sideLo[i][1] = std::max(cell(q[i] + 1), 0);
    sideHi[i][1] = c.n[i] - 1;
  }
  int boxLo[8][3], boxHi[8][3], remaining[8];
  unsigned open = 0;
  for (int k = 0; k < 8; ++k) {
    for (int i = 0; i < 3; ++i) {
      const int bit = k >> (2 - i) & 1;
      boxLo[k][i] = sideLo[i][bit];
      boxHi[k][i] = sideHi[i][bit];
    }
    remaining[k] = box_count(c, boxLo[k], boxHi[k]);
    if (remaining[k] != 0) open |= 1u << k;
  }
  if (frame) open = 0xFFu;  // plane-frame octants close by distance only
  double best[8];
  std::fill(best, best + 8, std::numeric_limits<double>::infinity());
  std::int32_t bestEntry[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  bool found[8] = {false, false, false, false, false, false, false, false};
  // Where the walk meets a point: nearer L slices on the point's side first, then inside a slice
  // the a-lower points from the split downward, then the a-upper ones upward.
  auto order = [&](std::int32_t e) -> std::int64_t {
    const clg_index_t::Cells::Entry &entry = c.entries[e];
    const int n0 = entry.node[0];
    const std::int64_t slice = n0 > q[0] ? n0 - q[0] : 65536 + q[0] - n0;
    const bool aUpper = entry.node[1] > q[1];
    return slice << 33 | (aUpper ? std::int64_t{1} << 32 : 0) | (aUpper ? c.pos[e] : c.mirrored[e]);
  };
  // Per axis and run of cells: the sides of the query's node their nodes lie on (1: at or below,
  // 2: above) and the least squared gap from the query to them; summed over the axes as the
  // distances are, the gaps bound the distance of every point in the cells from below.
  struct Side {
    unsigned sides;
    double gap2;
  };
  auto side = [&](int i, int cLo, int cHi) -> Side {
    const int first = c.lo[i] + cLo * c.size[i], last = c.lo[i] + (cHi + 1) * c.size[i] - 1;
    if (first > q[i]) {
      const double g = node_lab(i, first) - x[i];
      return {2u, g > 0.0 ? g * g : 0.0};
    }
    if (last <= q[i]) {
      const double g = x[i] - node_lab(i, last);
      return {1u, g > 0.0 ? g * g : 0.0};
    }
    return {3u, 0.0};
  };
  const double x0 = x[0], x1 = x[1], x2 = x[2];
  const int q0 = q[0], q1 = q[1], q2 = q[2];
  const clg_index_t::Cells::Entry *entries = c.entries.data();
  const std::int32_t *cellStart = c.cellStart.data();
  auto visit_cell = [&](std::size_t cell) {
    const std::int32_t end = cellStart[cell + 1];
    for (std::int32_t e = cellStart[cell]; e < end; ++e) {
      const clg_index_t::Cells::Entry &entry = entries[e];
      const int k =
          frame ? frame_octant(entry.node)
                : (entry.node[0] > q0) << 2 | (entry.node[1] > q1) << 1 | (entry.node[2] > q2);
      const double dl = static_cast<double>(entry.lab[0]) - x0;
      const double da = static_cast<double>(entry.lab[1]) - x1;
      const double db = static_cast<double>(entry.lab[2]) - x2;
      const double dla = dl * dl + da * da;
      const double d2 = dla + db * db;
      // best starts infinite, so the first point of an octant always enters here.
      if (d2 <= best[k] && (d2 < best[k] || !found[k] || order(e) < order(bestEntry[k]))) {
        found[k] = true;
        best[k] = d2;
        bestEntry[k] = e;
      }
    }
  };
  // Visits the cells of a box that may hold a point improving an open octant: a box whose
  // octants are all closed, or whose nearest corner is farther than their points, is passed over,
  // and so is a box without points; a larger box is halved across its longest axis, the half
  // nearer the query first, so that empty space far from the data costs few steps.
  auto visit_box = [&](const CellBox &whole) {
    CellBox stack[kBoxStack];
    int top = 0;
    stack[top++] = whole;
    while (top > 0) {
      const CellBox b = stack[--top];
      unsigned m = open;
      Side s[3];
      for (int i = 0; i < 3; ++i) {
        s[i] = side(i, b.lo[i], b.hi[i]);
        m &= kOctantsOf[i][frame ? 3 : s[i].sides];
      }
      if (frame && m != 0) m &= frame_mask(b.lo, b.hi);
      const double bound = s[0].gap2 + s[1].gap2 + s[2].gap2;
      bool useful = false;
      for (; m != 0 && !useful; m &= m - 1)
        useful = best[__builtin_ctz(m)] >= bound;
      if (!useful) continue;
      int axis = 0;
      for (int i = 1; i < 3; ++i)
        if (b.hi[i] - b.lo[i] > b.hi[axis] - b.lo[axis]) axis = i;
      const int cells = (b.hi[0] - b.lo[0] + 1) * (b.hi[1] - b.lo[1] + 1) * (b.hi[2] - b.lo[2] + 1);
      if (cells > 2 && box_count(c, b.lo, b.hi) == 0) continue;
      if (cells == 1) {
        visit_cell((static_cast<std::size_t>(b.lo[0]) * c.n[1] + b.lo[1]) * c.n[2] + b.lo[2]);
        continue;
      }
      if (!frame && cells <= kSmallBox) {
        // A small box: each cell on its own test.
        for (int i0 = b.lo[0]; i0 <= b.hi[0]; ++i0) {
          const Side s0 = cells == 1 ? s[0] : side(0, i0, i0);
          const unsigned m0 = open & kOctantsOf[0][s0.sides];
          if (m0 == 0) continue;
          for (int i1 = b.lo[1]; i1 <= b.hi[1]; ++i1) {
            const Side s1 = cells == 1 ? s[1] : side(1, i1, i1);
            const unsigned m01 = m0 & kOctantsOf[1][s1.sides];
            if (m01 == 0) continue;
            const double g01 = s0.gap2 + s1.gap2;
            const std::size_t row = (static_cast<std::size_t>(i0) * c.n[1] + i1) * c.n[2];
            for (int i2 = b.lo[2]; i2 <= b.hi[2]; ++i2) {
              const Side s2 = cells == 1 ? s[2] : side(2, i2, i2);
              const double cellBound = g01 + s2.gap2;
              for (unsigned mc = m01 & kOctantsOf[2][s2.sides]; mc != 0; mc &= mc - 1) {
                if (best[__builtin_ctz(mc)] >= cellBound) {
                  visit_cell(row + i2);
                  break;
                }
              }
            }
          }
        }
        continue;
      }
      const int mid = b.lo[axis] + (b.hi[axis] - b.lo[axis]) / 2;
      CellBox lower = b, upper = b;
      lower.hi[axis] = mid;
      upper.lo[axis] = mid + 1;
      // Depth is bounded by the halvings of three axes of at most kMaxCellsPerAxis cells.
      if (qc[axis] <= mid) {
        stack[top++] = upper;
        stack[top++] = lower;
      } else {
        stack[top++] = lower;
        stack[top++] = upper;
      }
    }
  };
  for (int r = 0; open != 0; ++r) {
    // The cells of this ring that an open octant can use.
    int lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
      lo[i] = c.n[i];
      hi[i] = -1;
    }
    // (Plane-frame octants are not boxes of cells: they may use every cell.)
    for (unsigned m = frame ? 0x01u : open; m != 0; m &= m - 1) {
      const int k = __builtin_ctz(m);
      for (int i = 0; i < 3; ++i) {
        lo[i] = std::min(lo[i], frame ? 0 : boxLo[k][i]);
        hi[i] = std::max(hi[i], frame ? c.n[i] - 1 : boxHi[k][i]);
      }
    }
    for (int i = 0; i < 3; ++i) {
      lo[i] = std::max(lo[i], qc[i] - r);
      hi[i] = std::min(hi[i], qc[i] + r);
    }
    if (!frame && r <= kNearRings) {
      // The sides of the ring's a and b cells, computed once per ring where they fit.
      Side sides1[kSideCache], sides2[kSideCache];
      const bool cached = hi[1] - lo[1] < kSideCache && hi[2] - lo[2] < kSideCache;
      if (cached) {
        for (int i1 = lo[1]; i1 <= hi[1]; ++i1)
          sides1[i1 - lo[1]] = side(1, i1, i1);
        for (int i2 = lo[2]; i2 <= hi[2]; ++i2)
          sides2[i2 - lo[2]] = side(2, i2, i2);
      }
      for (int i0 = lo[0]; i0 <= hi[0]; ++i0) {
        const bool face0 = i0 == qc[0] - r || i0 == qc[0] + r;
        const Side s0 = side(0, i0, i0);
        if ((open & kOctantsOf[0][s0.sides]) == 0) continue;
        for (int i1 = lo[1]; i1 <= hi[1]; ++i1) {
          const std::size_t row = (static_cast<std::size_t>(i0) * c.n[1] + i1) * c.n[2];
          const Side s1 = cached ? sides1[i1 - lo[1]] : side(1, i1, i1);
          const unsigned m01 = open & kOctantsOf[0][s0.sides] & kOctantsOf[1][s1.sides];
          if (m01 == 0) continue;
          const double g01 = s0.gap2 + s1.gap2;
          auto try_cell = [&](int i2) {
            const Side s2 = cached ? sides2[i2 - lo[2]] : side(2, i2, i2);
            const unsigned m = m01 & kOctantsOf[2][s2.sides];
            const double bound = g01 + s2.gap2;
            for (unsigned b = m; b != 0; b &= b - 1) {
              const int k = __builtin_ctz(b);
              if (!found[k] || best[k] >= bound) {
                visit_cell(row + i2);
                return;
              }
            }
          };
          if (face0 || i1 == qc[1] - r || i1 == qc[1] + r) {
            for (int i2 = lo[2]; i2 <= hi[2]; ++i2)
              try_cell(i2);
          } else {
            if (qc[2] - r >= lo[2] && qc[2] - r <= hi[2]) try_cell(qc[2] - r);
            if (r > 0 && qc[2] + r >= lo[2] && qc[2] + r <= hi[2]) try_cell(qc[2] + r);
          }
        }
      }
    } else {
      // The ring as up to six boxes of cells, the faces of its cube (inner rows excluded), each
      // clipped to the cells an open octant can use.
      int face = 0;
      CellBox faces[6];
      auto add_face = [&](int lo0, int hi0, int lo1, int hi1, int lo2, int hi2) {
        CellBox b{{std::max(lo0, lo[0]), std::max(lo1, lo[1]), std::max(lo2, lo[2])},
                  {std::min(hi0, hi[0]), std::min(hi1, hi[1]), std::min(hi2, hi[2])}};
        if (b.lo[0] <= b.hi[0] && b.lo[1] <= b.hi[1] && b.lo[2] <= b.hi[2]) faces[face++] = b;
      };
      const int a0 = qc[0] - r, b0 = qc[0] + r, a1 = qc[1] - r, b1 = qc[1] + r;
      const int a2 = qc[2] - r, b2 = qc[2] + r;
      add_face(a0, a0, a1, b1, a2, b2);
      if (r > 0) {
        add_face(b0, b0, a1, b1, a2, b2);
        add_face(a0 + 1, b0 - 1, a1, a1, a2, b2);
        add_face(a0 + 1, b0 - 1, b1, b1, a2, b2);
        add_face(a0 + 1, b0 - 1, a1 + 1, b1 - 1, a2, a2);
        add_face(a0 + 1, b0 - 1, a1 + 1, b1 - 1, b2, b2);
      }
      for (int f = 0; f < face; ++f)
        visit_box(faces[f]);
    }
    // Close the octants that nothing outside the visited rings can change. Per axis, the least
    // squared gap from the query to a node beyond the rings on each side (infinite when the
    // rings reach the last cell); a point beyond the rings is beyond them on some axis on its
    // octant's side, and its squared distance is at least that gap's square.
    double gap[3][2];
    int ringLo[3], ringHi[3];
    for (int i = 0; i < 3; ++i) {
      ringLo[i] = std::max(qc[i] - r, 0);
      ringHi[i] = std::min(qc[i] + r, c.n[i] - 1);
      gap[i][0] = gap[i][1] = std::numeric_limits<double>::infinity();
      if (qc[i] - r - 1 >= 0) {
        const int node = std::min(c.lo[i] + (qc[i] - r) * c.size[i] - 1, q[i]);
        const double g = x[i] - node_lab(i, node);
        gap[i][0] = g > 0.0 ? g * g : 0.0;
      }
      if (qc[i] + r + 1 < c.n[i]) {
        const int node = std::max(c.lo[i] + (qc[i] + r + 1) * c.size[i], q[i] + 1);
        const double g = node_lab(i, node) - x[i];
        gap[i][1] = g > 0.0 ? g * g : 0.0;
      }
    }
    double farthest = std::numeric_limits<double>::infinity();  // any side, for plane frames
    for (int i = 0; i < 3; ++i)
      farthest = std::min({farthest, gap[i][0], gap[i][1]});
    for (unsigned m = open; m != 0; m &= m - 1) {
      const int k = __builtin_ctz(m);
      if (frame) {
        if (farthest == std::numeric_limits<double>::infinity() || (found[k] && best[k] < farthest))
          open &= ~(1u << k);
        continue;
      }
      int inLo[3], inHi[3];
      double bound = std::numeric_limits<double>::infinity();
      for (int i = 0; i < 3; ++i) {
        inLo[i] = std::max(boxLo[k][i], ringLo[i]);
        inHi[i] = std::min(boxHi[k][i], ringHi[i]);
        bound = std::min(bound, gap[i][k >> (2 - i) & 1]);
      }
      if ((found[k] && best[k] < bound) || remaining[k] == box_count(c, inLo, inHi))
        open &= ~(1u << k);
    }
  }
  for (int k = 0; k < 8; ++k) {
    if (!found[k]) continue;
    const std::int32_t e = bestEntry[k];
    near->count[k] = 1;
    near->dist2[k] = best[k];
    clg_cl_t &b = near->best[k];
    const clg_index_t::Cells::Entry &entry = c.entries[e];
    for (int i = 0; i < 3; ++i)
      b.lab[i] = entry.lab[i];
    const float *dev = &c.dev[8 * static_cast<std::size_t>(e)];
    for (int j = 0; j < nrOfDevCoord; ++j)
      b.dev[j] = dev[j];
  }
  return 0;
}

}  // namespace velmora::cluster
