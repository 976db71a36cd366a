// Cluster interpolation and inside tests.
//
// The nearest stored point of each occupied octant around the query becomes a corner; with one
// corner the result is that point, with two or three the query is projected onto the segment or
// triangle, and with four or more onto every tetrahedron of four corners, keeping the best by
// projection score (a tetrahedron holding the query wins over any that does not, and among those
// the one in which the query lies nearest to a corner). The device values are the corners' device
// values mixed with the projection's barycentric weights, so inside the neighbours this is linear
// interpolation and outside it the value at the nearest point of their hull.
//
// The penalised variant trades projection quality for coherence: it prefers tetrahedra whose
// corners carry similar device values (spread below 0.4, on device values as fractions 0..1).
#include <cmath>
#include <cstring>

#include "cluster/tclustergroup_internal.h"
#include "foundation/error.h"
#include "foundation/vector_number.h"
#include "geometry/projection_internal.h"
#include "velmora/tconvexhull.h"

namespace {

using velmora::cluster::kOctantOrder;

constexpr const char *kNoNeighbours = "Something wrong in searching for nearest neighbours";

constexpr double kNoScore = -1e20;
constexpr double kNoCost = 1e20;
// InterpolatePar: below this a-b length of the plane normal the free projection is used, above
// the upper one the plane-restricted projection, and in between a linear blend of the two.
constexpr double kFreeChroma = 2.0;
constexpr double kPlaneChroma = 5.0;
// Penalised interpolation, for device values as fractions 0..1.
constexpr double kCoherentSpread = 0.4;  // corners this close in every channel are coherent
constexpr double kSpreadCost = 4.0;      // price of the spread against distance (Lab units)
constexpr double kNearlyInside = -0.25;  // projection scores from here up count as inside

bool has_nan(const double *x, int n) {
  for (int i = 0; i < n; ++i)
    if (std::isnan(x[i])) return true;
  return false;
}

// The occupied octants in visiting order; returns their number.
int occupied(const clg_near_t *near, int *octants) {
  int n = 0;
  for (int k : kOctantOrder)
    if (near->count[k] != 0) octants[n++] = k;
  return n;
}

// dev = sum of weights[i] * corner i's device values.
void blend(const clg_near_t *near, const int *octants, const int *corners, int count,
           const double *weights, int nrOfDevCoord, double *dev) {
  for (int j = 0; j < nrOfDevCoord; ++j) {
    double v = 0.0;
    for (int i = 0; i < count; ++i)
      v += weights[i] * near->best[octants[corners[i]]].dev[j];
    dev[j] = v;
  }
}

void copy3(const double *from, double *to) {
  for (int i = 0; i < 3; ++i)
    to[i] = from[i];
}

// One to three occupied octants: the point itself, or the projection onto the segment or the
// triangle (inside the plane through c with normal m when m is given). Returns 0 or -1.
int interpolate_few(const clg_near_t *near, const int *octants, int n, const double *c,
                    const double *m, int nrOfDevCoord, double *dev, double *score, double *dist,
                    double *proj) {
  if (n == 1) {
    const clg_cl_t &p = near->best[octants[0]];
    copy3(p.lab, proj);
    *dist = -vect_distance(p.lab, c, 3);
    for (int j = 0; j < nrOfDevCoord; ++j)
      dev[j] = p.dev[j];
    *score = 0.0;
    return 0;
  }
  double simplex[9];
  for (int i = 0; i < n; ++i)
    copy3(near->best[octants[i]].lab, simplex + 3 * i);
  PROJ_RESULT r{};
  double s = 0.0;
  if (n == 2) {
    if (m != nullptr) {
      proj_on_segment_plane(simplex, c, m, &r, &s);
    } else {
      proj_on_segment(simplex, c, &r, &s);
    }
  } else {
    const int rc = m != nullptr ? proj_on_triangle_plane(simplex, c, m, &r, &s)
                                : proj_on_triangle(simplex, c, &r, &s);
    if (rc != 0) return -1;
  }
  static constexpr int kCorners[3] = {0, 1, 2};
  *score = s;
  *dist = -vect_distance(r.point, c, 3);
  blend(near, octants, kCorners, n, r.weights, nrOfDevCoord, dev);
  copy3(r.point, proj);
  return 0;
}

// The tetrahedron of the listed corners `corners` (4 positions into octants).
void gather_tetra(const clg_near_t *near, const int *octants, const int *corners, double *tetra) {
  for (int i = 0; i < 4; ++i)
    copy3(near->best[octants[corners[i]]].lab, tetra + 3 * i);
}

int project_tetra(const double *tetra, const double *c, const double *m, PROJ_RESULT *r,
                  double *s) {
  return m != nullptr ? proj_on_tetra_plane(tetra, c, m, r, s) : proj_on_tetra(tetra, c, r, s);
}

// The restricting normal of the plane-restricted projections: the given plane's, or without one
// the constant-hue plane through c.
const double *restricting_normal(int par, const double *plane, const double *c, double *own) {
  if (par == 0) return nullptr;
  if (plane != nullptr) return plane;
  own[0] = 0.0;
  own[1] = c[2];
  own[2] = -c[1];
  return own;
}

// The tetrahedron step when some tetrahedron of the neighbours holds the query. A holding
// tetrahedron scores its largest barycentric weight (at least a quarter), free or
// plane-restricted, and any other scores minus a (penalised) distance, at most 0, so the winner
// is the first holding tetrahedron of largest weight, whatever the others score; the others are
// not projected at all. This finds it from the face planes of the n corners, each computed
// once, with the same arithmetic as the tetrahedron projection; it returns false (nothing
// written) when no tetrahedron holds the query, and the caller then projects every one.
bool best_holding_tetra(const clg_near_t *near, const int *octants, int n, const double *c,
                        int nrOfDevCoord, double *dev, double *score, double *dist, double *proj) {
  constexpr double kFlatCorner = 0.001;   // as the tetrahedron projection: smallest |den|
  constexpr double kWeightSlack = 0.001;  // weights within [-slack, 1 + slack] hold the query
  struct Face {
    double plane[4];
    double atQuery;
    bool valid;
  };
  Face faces[8][8][8];
  const double *p[8];
  for (int i = 0; i < n; ++i)
    p[i] = near->best[octants[i]].lab;
  for (int a = 0; a < n; ++a)
    for (int b = a + 1; b < n; ++b)
      for (int d = b + 1; d < n; ++d) {
        Face &f = faces[a][b][d];
        f.valid = plane_from_points(p[a], p[b], p[d], f.plane) == 0;
        if (f.valid) f.atQuery = vect_dot(f.plane, c, 3) + f.plane[3];
      }
  // The face opposite corner i of a tetrahedron: the other three corners, in order.
  static constexpr int kFaces[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
  double best = kNoScore;
  double bestWeights[4] = {0, 0, 0, 0};
  int bestCorners[4] = {0, 1, 2, 3};
  int corners[4];
  int mask[8];
  numb_next_combination(4, n, 1, corners, mask);
  do {
    double w[4];
    bool holds = true;
    for (int i = 0; i < 4 && holds; ++i) {
      const Face &f = faces[corners[kFaces[i][0]]][corners[kFaces[i][1]]][corners[kFaces[i][2]]];
      if (!f.valid) {
        holds = false;
        break;
      }
      const double den = vect_dot(f.plane, p[corners[i]], 3) + f.plane[3];
      if (std::fabs(den) < kFlatCorner) {
        holds = false;
        break;
      }
      w[i] = f.atQuery / den;
      holds = w[i] >= -kWeightSlack && w[i] <= 1.0 + kWeightSlack;
    }
    if (!holds) continue;
    double largest = 0.0;
    for (double wi : w)
      if (wi > largest) largest = wi;
    if (largest > best) {
      best = largest;
      for (int i = 0; i < 4; ++i) {
        bestWeights[i] = w[i];
        bestCorners[i] = corners[i];
      }
    }
  } while (numb_next_combination(4, n, 0, corners, mask) == 0);
  if (best == kNoScore) return false;
  *score = best;
  *dist = -vect_distance(c, c, 3);
  blend(near, octants, bestCorners, 4, bestWeights, nrOfDevCoord, dev);
  copy3(c, proj);
  return true;
}

// Projects c onto every tetrahedron of four of the n occupied octants' points, in combination
// order, and hands each to visit(corners, projection, score). Returns -1 when a projection fails
// (visiting stops there), else 0.
template <typename Visit>
int for_each_tetra(const clg_near_t *near, const int *octants, int n, const double *c,
                   const double *m, Visit visit) {
  int corners[4];
  int mask[8];
  numb_next_combination(4, n, 1, corners, mask);
  do {
    double tetra[12];
    gather_tetra(near, octants, corners, tetra);
    PROJ_RESULT r{};
    double s = 0.0;
    if (project_tetra(tetra, c, m, &r, &s) != 0) return -1;
    visit(static_cast<const int *>(corners), r, s);
  } while (numb_next_combination(4, n, 0, corners, mask) == 0);
  return 0;
}

// Four or more corners, plain: the best holding tetrahedron if one holds the query, else the
// best projection score.
int best_projection(const clg_near_t *near, const int *octants, int n, const double *lab,
                    const double *m, int nrOfDevCoord, double *dev, double *score, double *dist,
                    double *proj) {
  if (best_holding_tetra(near, octants, n, lab, nrOfDevCoord, dev, score, dist, proj)) return 0;
  double best = kNoScore;
  auto keep_best = [&](const int *corners, const PROJ_RESULT &r, double s) {
    if (s > best) {
      best = s;
      *dist = -vect_distance(r.point, lab, 3);
      blend(near, octants, corners, 4, r.weights, nrOfDevCoord, dev);
      copy3(r.point, proj);
    }
  };
  if (for_each_tetra(near, octants, n, lab, m, keep_best) != 0) return -1;
  *score = best;
  return 0;
}

// Four or more corners, penalised: coherent tetrahedra first (see the comment at the top).
int coherent_projection(const clg_near_t *near, const int *octants, int n, const double *lab,
                        const double *m, int nrOfDevCoord, double *dev, double *score, double *dist,
                        double *proj) {
  double bestCost = kNoCost;
  *score = kNoScore;
  bool found = false;
  auto keep_coherent = [&](const int *corners, const PROJ_RESULT &r, double s) {
    // Spread of the device values over the corners that take part, and the search distance
    // to the dominant corner (the first of the largest weights).
    double lo[TClusterGroup::kMaxDevCoord], hi[TClusterGroup::kMaxDevCoord];
    for (int j = 0; j < nrOfDevCoord; ++j) {
      lo[j] = kNoCost;
      hi[j] = 0.0;
    }
    int dominant = 0;
    for (int i = 0; i < 4; ++i) {
      if (r.weights[i] > r.weights[dominant]) dominant = i;
      if (r.weights[i] <= 0.0) continue;
      const double *d = near->best[octants[corners[i]]].dev;
      for (int j = 0; j < nrOfDevCoord; ++j) {
        if (d[j] > hi[j]) hi[j] = d[j];
        if (d[j] < lo[j]) lo[j] = d[j];
      }
    }
    double spread = 0.0;
    for (int j = 0; j < nrOfDevCoord; ++j)
      if (hi[j] - lo[j] > spread) spread = hi[j] - lo[j];
    const double dDom = std::sqrt(near->dist2[octants[corners[dominant]]]);
    const double cost = kSpreadCost * spread + dDom;
    const bool coherent = spread < kCoherentSpread;

    if (s >= kNearlyInside) {
      // Rule A: a coherent tetrahedron that (nearly) holds the query, the cheapest one wins.
      if (coherent && cost < bestCost) {
        bestCost = cost;
        *score = s;
        *dist = 0.0;
        blend(near, octants, corners, 4, r.weights, nrOfDevCoord, dev);
        copy3(r.point, proj);
        found = true;
        return;
      }
    }
    // Rule B: otherwise the best projection score, less the spread's price.
    if ((s < kNearlyInside && coherent) || !found) {
      const double t = s - kSpreadCost * spread;
      if (t > *score || (coherent && !found)) {
        *score = t;
        *dist = -vect_distance(r.point, lab, 3);
        blend(near, octants, corners, 4, r.weights, nrOfDevCoord, dev);
        copy3(r.point, proj);
        if (coherent) found = true;
      }
    }
  };
  return for_each_tetra(near, octants, n, lab, m, keep_coherent);
}

// Interpolation from the occupied octants' nearest points: none is a failure, one to three
// corners are projected onto their point, segment or triangle, and four or more are left to
// many (best_projection or coherent_projection).
template <typename Many>
int interpolate_corners(Many many, const clg_near_t *near, const double *lab, const double *plane,
                        int par, int nrOfDevCoord, double *dev, double *score, double *dist,
                        double *proj) {
  int octants[8];
  const int n = occupied(near, octants);
  if (n == 0) {
    VELMORA_REPORT(kNoNeighbours);
    return -1;
  }
  double own[3];
  const double *m = restricting_normal(par, plane, lab, own);
  if (n < 4) return interpolate_few(near, octants, n, lab, m, nrOfDevCoord, dev, score, dist, proj);
  return many(near, octants, n, lab, m, nrOfDevCoord, dev, score, dist, proj);
}

}  // namespace

int TClusterGroup::Interpolate(const double *lab, const double *plane, int par, double *dev,
                               const clg_near_t *near, double *score, double *dist,
                               double *proj) const {
  return interpolate_corners(best_projection, near, lab, plane, par, nrOfDevCoord, dev, score, dist,
                             proj);
}

int TClusterGroup::InterpolatePenal(const double *lab, const double *plane, int par, double *dev,
                                    const clg_near_t *near, double *score, double *dist,
                                    double *proj) const {
  return interpolate_corners(coherent_projection, near, lab, plane, par, nrOfDevCoord, dev, score,
                             dist, proj);
}

namespace {

void clamp_query(const double *lab, const float *rangeMin, const float *rangeMax, double *c) {
  for (int i = 0; i < 3; ++i) {
    c[i] = lab[i];
    if (c[i] < rangeMin[i]) {
      c[i] = rangeMin[i];
    } else if (c[i] > rangeMax[i]) {
      c[i] = rangeMax[i];
    }
  }
}

// The axis-aligned interpolators: a query with a NaN fails; any other is clamped into the grid,
// its octants' nearest points are found (find) and interpolated (many, as interpolate_corners
// takes it).
template <typename Find, typename Many>
int interpolate_clamped(const double *lab, const float *rangeMin, const float *rangeMax, Find find,
                        Many many, int nrOfDevCoord, double *dev, double *dist, double *proj) {
  if (has_nan(lab, 3)) return -1;
  double c[3];
  clamp_query(lab, rangeMin, rangeMax, c);
  clg_near_t near;
  if (find(c, &near) != 0) return -1;
  double score = 0.0;
  const int rc =
      interpolate_corners(many, &near, c, nullptr, 0, nrOfDevCoord, dev, &score, dist, proj);
  return rc != 0 ? -1 : 0;
}

}  // namespace

// The interpolators and the inside test read only which octants are occupied and their nearest
// points, which the cells find faster than the slice walk.
int TClusterGroup::OctantNearest(const double *lab, clg_near_t *near,
                                 const double *const *planes) const {
  return velmora::cluster::find_octant_nearest(index, lRangeValid != 0, lab, near, nrOfDevCoord,
                                               nrOfNodes, step, rangeMin, rangeMax, planes);
}

int TClusterGroup::InterpolateProjectNPar(const double *lab, double *dev, double *dist,
                                          double *proj) const {
  auto find = [this](const double *c, clg_near_t *near) { return OctantNearest(c, near); };
  return interpolate_clamped(lab, rangeMin, rangeMax, find, best_projection, nrOfDevCoord, dev,
                             dist, proj);
}

int TClusterGroup::InterpolateProjectNParPenal(const double *lab, double *dev, double *dist,
                                               double *proj) const {
  auto find = [this](const double *c, clg_near_t *near) { return OctantNearest(c, near); };
  return interpolate_clamped(lab, rangeMin, rangeMax, find, coherent_projection, nrOfDevCoord, dev,
                             dist, proj);
}

int TClusterGroup::InterpolateProjectPar(const double *lab, const double *plane, double *dev,
                                         double *dist, double *proj) const {
  if (plane == nullptr || has_nan(lab, 3) || has_nan(plane, 3)) return -1;
  double c[3];
  clamp_query(lab, rangeMin, rangeMax, c);
  const double chroma = std::sqrt(plane[1] * plane[1] + plane[2] * plane[2]);
  clg_near_t near;
  double score = 0.0;

  if (chroma < kFreeChroma) {
    if (OctantNearest(c, &near) != 0) return -1;
    return Interpolate(c, plane, 0, dev, &near, &score, dist, proj) != 0 ? -1 : 0;
  }
  if (chroma > kPlaneChroma) {
    // Octants in the plane's own frame: bit 0 the side of the plane, bit 1 the side along u,
    // the line where the plane meets the constant-L planes, bit 2 the side along the direction
    // orthogonal to both. u = (1, 0, 0) x n never vanishes here, as the a-b part of n exceeds 5.
    double normal[3] = {plane[0], plane[1], plane[2]};
    double u[3];
    const double lAxis[3] = {1.0, 0.0, 0.0};
    vect_cross(lAxis, normal, u);
    vect_normalize(u, 3);
    vect_normalize(normal, 3);
    double w[3];
    vect_cross(u, normal, w);
    const double *frame[3] = {w, u, normal};
    if (OctantNearest(c, &near, frame) != 0) return -1;
    return Interpolate(c, plane, 1, dev, &near, &score, dist, proj) != 0 ? -1 : 0;
  }

  const double w = (chroma - kFreeChroma) / (kPlaneChroma - kFreeChroma);
  double devA[kMaxDevCoord], devB[kMaxDevCoord], projA[3], projB[3];
  double distA = 0.0, distB = 0.0, scoreB = 0.0;
  if (OctantNearest(c, &near) != 0) return -1;
  if (Interpolate(c, plane, 0, devA, &near, &score, &distA, projA) != 0) return -1;
  if (Interpolate(c, plane, 1, devB, &near, &scoreB, &distB, projB) != 0) return -1;
  for (int j = 0; j < nrOfDevCoord; ++j)
    dev[j] = w * devB[j] + (1.0 - w) * devA[j];
  *dist = (1.0 - w) * distA + w * distB;
  for (int i = 0; i < 3; ++i)
    proj[i] = (1.0 - w) * projA[i] + w * projB[i];
  return 0;
}

int TClusterGroup::InterpolateNPar(const double *lab, double *dev, double *dist) const {
  double proj[3];
  return InterpolateProjectNPar(lab, dev, dist, proj);
}

int TClusterGroup::InterpolatePar(const double *lab, const double *plane, double *dev,
                                  double *dist) const {
  double proj[3];
  return InterpolateProjectPar(lab, plane, dev, dist, proj);
}

int TClusterGroup::InterpolateNParPenal(const double *lab, double *dev, double *dist) const {
  double proj[3];
  return InterpolateProjectNParPenal(lab, dev, dist, proj);
}

int TClusterGroup::IsInsideBox(const double *lab) const {
  for (int i = 0; i < 3; ++i)
    if (!(seenMin[i] <= lab[i] && lab[i] <= seenMax[i])) return 0;
  return 1;
}

int TClusterGroup::IsInside(const double *lab) const {
  if (IsInsideBox(lab) == 0) return 0;
  clg_near_t near;
  if (OctantNearest(lab, &near) != 0) return 0;
  return IsInside(lab, &near);
}

int TClusterGroup::IsInside(const double *lab, const clg_near_t *near) const {
  if (has_nan(lab, 3)) return 0;
  int octants[8];
  const int n = occupied(near, octants);
  if (n < 4) return 0;
  TConvexHull hull;
  for (int i = 0; i < n; ++i) {
    const double *p = near->best[octants[i]].lab;
    if (hull.AddPoint(p[0], p[1], p[2]) != 0) return 0;
  }
  if (hull.Construct() != 0) return 0;
  return hull.InsideHull(lab[0], lab[1], lab[2]);
}
