// Builds a cluster store from arbitrary bytes (coarse coordinates, so that points share nodes,
// slices and distances, and lie beyond the grid limits) and checks every query against simple
// references: each octant of the searches holds the brute-force nearest distance; the free and
// penalised interpolations succeed with device values inside the range of the stored ones (they
// are blends of neighbours) and dist <= 0; the inside test answers 0 or 1.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cluster/tclustergroup_internal.h"

struct TClusterGroupProbe {
  struct Stored {
    std::array<double, 3> lab;  // Lab of the point's node
    std::array<int, 3> node;
  };
  static std::vector<Stored> stored(const TClusterGroup &g) {
    std::vector<Stored> out;
    for (int i = 0; i < list_num(g.points); ++i) {
      const clg_pt_t *p = velmora::cluster::record<clg_pt_t>(list_get_element(g.points, i));
      Stored s;
      for (int k = 0; k < 3; ++k) {
        s.node[k] = p->node[k];
        s.lab[k] = static_cast<float>(static_cast<float>(p->node[k]) * g.step[k]) + g.rangeMin[k];
      }
      out.push_back(s);
    }
    return out;
  }
  static std::array<int, 3> query_node(const TClusterGroup &g, const double *x) {
    std::array<int, 3> q;
    for (int k = 0; k < 3; ++k) {
      const double v = std::round((x[k] - g.rangeMin[k]) / g.step[k]);
      q[k] = static_cast<int>(std::clamp(v, 0.0, g.nrOfNodes[k] - 1.0));
    }
    return q;
  }
};

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

constexpr double kSteps[4] = {0.5, 1.0, 2.5, 5.0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2) return 0;
  const double step = kSteps[data[0] & 3];
  TClusterGroup *g = TClusterGroup::Create(3, 0, 100, step, -64, 64, step, -64, 64, step, 64);
  check(g != nullptr);
  double devMin = 1e300, devMax = -1e300;
  std::vector<std::array<double, 3>> queries;
  for (std::size_t i = 1; i + 3 <= size && i < 1 + 3 * 3000; i += 3) {
    double lab[3] = {data[i] * 0.5 - 10.0, (data[i + 1] - 128) * 0.6, (data[i + 2] - 128) * 0.6};
    if ((data[i] & 7) == 7) {  // every eighth triple or so is a query instead of a point
      queries.push_back({lab[0] + 0.3, lab[1] - 0.2, lab[2] + 0.1});
      continue;
    }
    const double dev[3] = {data[i] / 255.0, data[i + 1] / 255.0, (i % 97) / 96.0};
    check(g->AddPoint(dev, lab) == 0);
    for (double d : dev) {
      devMin = std::min(devMin, d);
      devMax = std::max(devMax, d);
    }
  }
  check(g->UpdateForAddedPoints() == 0);
  const auto labs = TClusterGroupProbe::stored(*g);
  for (const auto &x : queries) {
    // Brute force: nearest squared distance per octant, octant bits by node comparison.
    double oracle[8];
    std::fill(oracle, oracle + 8, -1.0);
    const auto q = TClusterGroupProbe::query_node(*g, x.data());
    for (const auto &s : labs) {
      const auto &n = s.node;
      const auto &p = s.lab;
      const int k = 4 * (n[0] > q[0]) + 2 * (n[1] > q[1]) + (n[2] > q[2]);
      const double d2 = (p[0] - x[0]) * (p[0] - x[0]) + (p[1] - x[1]) * (p[1] - x[1]) +
                        (p[2] - x[2]) * (p[2] - x[2]);
      if (oracle[k] < 0 || d2 < oracle[k]) oracle[k] = d2;
    }
    for (int search = 0; search < 3; ++search) {
      clg_near_t near;
      const int rc = search == 2 ? g->FindNearestClusterPar(x.data(), &near, 0, nullptr)
                                 : g->FindNearestClusterNPar(x.data(), &near, search, nullptr);
      check(rc == 0);
      for (int k = 0; k < 8; ++k) {
        check((near.count[k] != 0) == (oracle[k] >= 0));
        if (oracle[k] >= 0) check(near.dist2[k] == oracle[k]);
      }
    }
    if (labs.empty()) continue;
    double dev[3], dist;
    check(g->InterpolateNPar(x.data(), dev, &dist) == 0);
    check(dist <= 0.0);
    for (double d : dev)
      check(d >= devMin - 0.01 && d <= devMax + 0.01);
    check(g->InterpolateNParPenal(x.data(), dev, &dist) == 0);
    check(dist <= 0.0);
    for (double d : dev)
      check(d >= devMin - 0.01 && d <= devMax + 0.01);
    const double plane[4] = {0.1, x[1] * 0.3 + 4, 6 - x[2] * 0.2, 0};
    if (g->InterpolatePar(x.data(), plane, dev, &dist) == 0) {
      for (double d : dev)
        check(std::isfinite(d));
    }
    const int inside = g->IsInside(x.data());
    check(inside == 0 || inside == 1);
  }
  delete g;
  return 0;
}
