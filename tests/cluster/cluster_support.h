// Shared pieces of the cluster store tests: white-box access, store builders at the sizes and
// orders users bring (thousands of scattered measurements, grid-ordered charts, Lab units,
// device values as fractions 0..1) and a brute-force octant search. The samples themselves
// (printer model, FOGRA39 patches) are in cluster_samples.h, which the benchmark shares.
#ifndef VELMORA_TESTS_CLUSTER_SUPPORT_H
#define VELMORA_TESTS_CLUSTER_SUPPORT_H

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "cluster/tclustergroup_internal.h"
#include "cluster_samples.h"

// White-box access to the store's lists and private steps.
struct TClusterGroupProbe {
  static std::vector<clg_pt_t> points(const TClusterGroup &g) {
    std::vector<clg_pt_t> out;
    for (int i = 0; i < list_num(g.points); ++i)
      out.push_back(*velmora::cluster::record<clg_pt_t>(list_get_element(g.points, i)));
    return out;
  }
  static std::vector<clg_lrange_t> lrange(const TClusterGroup &g) {
    std::vector<clg_lrange_t> out;
    for (int i = 0; i < list_num(g.lRange); ++i)
      out.push_back(*velmora::cluster::record<clg_lrange_t>(list_get_element(g.lRange, i)));
    return out;
  }
  // The cells search that the interpolators and the inside test use (plane-frame octants when
  // planes are given).
  static int octant_nearest(const TClusterGroup &g, const double *x, clg_near_t *near,
                            const double *const *planes = nullptr) {
    return g.OctantNearest(x, near, planes);
  }
  static std::array<int, 3> nodes(const TClusterGroup &g) {
    return {g.nrOfNodes[0], g.nrOfNodes[1], g.nrOfNodes[2]};
  }
  // Per axis the grid's minimum and step.
  static std::array<std::array<double, 2>, 3> grid(const TClusterGroup &g) {
    return {{{g.rangeMin[0], g.step[0]}, {g.rangeMin[1], g.step[1]}, {g.rangeMin[2], g.step[2]}}};
  }
  // Lab of a grid node, as the store expands it.
  static std::array<double, 3> node_lab(const TClusterGroup &g, const std::uint16_t *node) {
    std::array<double, 3> lab;
    for (int i = 0; i < 3; ++i)
      lab[i] = static_cast<float>(static_cast<float>(node[i]) * g.step[i]) + g.rangeMin[i];
    return lab;
  }
  static int interpolate(const TClusterGroup &g, const double *c, const double *plane, int par,
                         double *dev, const clg_near_t &near, double *dist, double *proj) {
    double score = 0.0;
    return g.Interpolate(c, plane, par, dev, &near, &score, dist, proj);
  }
  static int interpolate_penal(const TClusterGroup &g, const double *c, double *dev,
                               const clg_near_t &near, double *score, double *dist, double *proj) {
    return g.InterpolatePenal(c, nullptr, 0, dev, &near, score, dist, proj);
  }
  static int project_npar(const TClusterGroup &g, const double *lab, double *dev, double *dist,
                          double *proj) {
    return g.InterpolateProjectNPar(lab, dev, dist, proj);
  }
  static int project_par(const TClusterGroup &g, const double *lab, const double *plane,
                         double *dev, double *dist, double *proj) {
    return g.InterpolateProjectPar(lab, plane, dev, dist, proj);
  }
  static int project_penal(const TClusterGroup &g, const double *lab, double *dev, double *dist,
                           double *proj) {
    return g.InterpolateProjectNParPenal(lab, dev, dist, proj);
  }
};

namespace cluster_test {

// The usual Lab grid: L 0..100, a and b -128..128, step 1 on every axis.
inline Group make_group(int devCoord = 3, double step = 1.0, int hint = 1000) {
  return Group(
      TClusterGroup::Create(devCoord, 0, 100, step, -128, 128, step, -128, 128, step, hint));
}

inline Group fill(Group g, const std::vector<Sample> &samples) {
  for (Sample s : samples) {
    if (g->AddPoint(s.dev.data(), s.lab.data()) != 0) return nullptr;
  }
  if (g->UpdateForAddedPoints() != 0) return nullptr;
  return g;
}

// A grid-ordered chart of the printer: n^3 patches, cyan slowest.
inline std::vector<Sample> printer_chart(int n) {
  std::vector<Sample> out;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k) {
        const Dev d{i / (n - 1.0), j / (n - 1.0), k / (n - 1.0)};
        out.push_back({d, printer_lab(d)});
      }
  return out;
}

// Per octant, the squared distance from x to the nearest stored point, by visiting every point
// (-1 for an empty octant). A point's octant bit is 1 where its node index exceeds the query's.
inline std::array<double, 8> brute_force(const TClusterGroup &g, const double *x) {
  const auto pts = TClusterGroupProbe::points(g);
  const auto nodes = TClusterGroupProbe::nodes(g);
  // The query's node: x mapped onto the grid by the step, rounded, held inside the grid.
  const auto grid = TClusterGroupProbe::grid(g);
  int q[3];
  for (int i = 0; i < 3; ++i) {
    const double v = std::round((x[i] - grid[i][0]) / grid[i][1]);
    q[i] = static_cast<int>(std::clamp(v, 0.0, nodes[i] - 1.0));
  }
  std::array<double, 8> best;
  best.fill(-1.0);
  for (const clg_pt_t &p : pts) {
    const auto lab = TClusterGroupProbe::node_lab(g, p.node);
    const int k = 4 * (p.node[0] > q[0]) + 2 * (p.node[1] > q[1]) + (p.node[2] > q[2]);
    double d2 = 0;
    for (int i = 0; i < 3; ++i)
      d2 += (lab[i] - x[i]) * (lab[i] - x[i]);
    if (best[k] < 0 || d2 < best[k]) best[k] = d2;
  }
  return best;
}

// The record a search must fill, by walking every stored point in the search's order without
// any early stop: slices above the query's L node upward, then those at or below it downward;
// inside a slice, the points at or below the query's a node from the split downward, then those
// above it upward. The update rule is applied literally, so count is the number of times an
// octant's point was replaced by a strictly nearer one and the first of equidistant points stays.
// mode and planes give the octants as DetermineIntIndex does.
inline clg_near_t walk_order_reference(const TClusterGroup &g, const double *x, int mode = 0,
                                       const double *const *planes = nullptr) {
  const auto pts = TClusterGroupProbe::points(g);
  const auto nodes = TClusterGroupProbe::nodes(g);
  const auto grid = TClusterGroupProbe::grid(g);
  std::uint16_t q[3];
  for (int i = 0; i < 3; ++i) {
    const double v = std::round((x[i] - grid[i][0]) / grid[i][1]);
    q[i] = static_cast<std::uint16_t>(std::clamp(v, 0.0, nodes[i] - 1.0));
  }
  // Slices as position runs [first, last] in list order.
  std::vector<std::pair<int, int>> upper, lower;
  for (int first = 0; first < static_cast<int>(pts.size());) {
    int last = first;
    while (last + 1 < static_cast<int>(pts.size()) && pts[last + 1].node[0] == pts[first].node[0])
      ++last;
    (pts[first].node[0] > q[0] ? upper : lower).push_back({first, last});
    first = last + 1;
  }
  std::reverse(lower.begin(), lower.end());
  std::vector<int> order;
  for (const auto *half : {&upper, &lower})
    for (const auto &[first, last] : *half) {
      int split = first;
      while (split <= last && pts[split].node[1] <= q[1])
        ++split;
      for (int i = split - 1; i >= first; --i)
        order.push_back(i);
      for (int i = split; i <= last; ++i)
        order.push_back(i);
    }
  clg_near_t near{};
  for (int i : order) {
    const clg_pt_t &p = pts[i];
    int bits[3];
    g.DetermineIntIndex(p.node, q, bits, mode, planes);
    const int k = 4 * bits[0] + 2 * bits[1] + bits[2];
    const auto lab = TClusterGroupProbe::node_lab(g, p.node);
    const double dl = lab[0] - x[0], da = lab[1] - x[1], db = lab[2] - x[2];
    const double d2 = dl * dl + da * da + db * db;
    if (near.count[k] == 0 || near.dist2[k] > d2) {
      near.dist2[k] = d2;
      ++near.count[k];
      for (int j = 0; j < 3; ++j)
        near.best[k].lab[j] = lab[j];
      for (int j = 0; j < g.GetNrOfDevCoord(); ++j)
        near.best[k].dev[j] = p.dev[j];
    }
  }
  return near;
}

}  // namespace cluster_test

#endif
