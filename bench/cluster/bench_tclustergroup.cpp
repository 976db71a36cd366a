// Cluster store queries against two baselines on the same stores and queries: a brute-force
// octant search (the store's own octant rule, every point visited) and nanoflann's 8-nearest
// search on a k-d tree of the same points (a lower bound: it ignores octants). Stores: the 818
// black-free FOGRA39 patches, and 10^4 and 10^5 colours of a simulated three-ink press; queries
// are colours inside each store's gamut. Each case reports queries per second; the search case
// times the public nearest-cluster search alone (the slice walk, which also counts replacements),
// the other cases whole InterpolateNPar, InterpolatePar and IsInside calls (their octants come
// from the store's cells). Accuracy first: the search must agree with brute force on every query.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../tests/cluster/cluster_samples.h"
#include "support/ratio_reporter.h"
#include "velmora/tclustergroup.h"

#ifdef VELMORA_HAVE_NANOFLANN
#include <nanoflann.hpp>
#endif

namespace {

constexpr int kRepetitions = 3;
constexpr double kMinSeconds = 0.1;
constexpr int kQueries = 512;
constexpr double kStep = 0.1;  // Lab grid step of every store

using cluster_test::Group;
using cluster_test::Lab;
using cluster_test::Sample;

// One store in three forms: the cluster group, the same snapped points as flat arrays for the
// brute-force search, and a k-d tree of them.
struct Store {
  std::string name;
  Group group;
  std::vector<std::array<int, 3>> node;
  std::vector<Lab> lab;  // Lab of each point's node
  std::vector<Lab> dev;
  std::vector<Lab> queries;

  // nanoflann's dataset interface.
  size_t kdtree_get_point_count() const { return lab.size(); }
  double kdtree_get_pt(size_t i, size_t d) const { return lab[i][d]; }
  template <class Box>
  bool kdtree_get_bbox(Box &) const {
    return false;
  }
};

const double kMin[3] = {0, -128, -128};
const double kMax[3] = {100, 128, 128};
const int kNodes[3] = {1001, 2561, 2561};
const double kStepF = static_cast<float>(kStep);

std::unique_ptr<Store> make_store(const std::string &name, const std::vector<Sample> &samples,
                                  unsigned seed) {
  auto s = std::make_unique<Store>();
  s->name = name;
  s->group.reset(TClusterGroup::Create(3, kMin[0], kMax[0], kStep, kMin[1], kMax[1], kStep, kMin[2],
                                       kMax[2], kStep, static_cast<int>(samples.size())));
  for (const Sample &p : samples) {
    Lab lab = p.lab;
    s->group->AddPoint(p.dev.data(), lab.data());
    std::array<int, 3> node;
    Lab snapped;
    for (int i = 0; i < 3; ++i) {
      // Snapped as the store does: by (nodes - 1) / (max - min), rounded half away from zero.
      const double span = static_cast<float>(kMax[i] - kMin[i]);
      node[i] = static_cast<int>(std::lround((lab[i] - kMin[i]) * (kNodes[i] - 1) / span));
      snapped[i] = static_cast<float>(static_cast<float>(node[i]) * static_cast<float>(kStep)) +
                   static_cast<float>(kMin[i]);
    }
    s->node.push_back(node);
    s->lab.push_back(snapped);
    s->dev.push_back(p.dev);
  }
  s->group->UpdateForAddedPoints();
  // Queries: colours the press prints, between the measured ones.
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> pick(0, samples.size() - 1);
  std::uniform_real_distribution<double> t(0, 1);
  for (int i = 0; i < kQueries; ++i) {
    const Lab &a = samples[pick(rng)].lab;
    const Lab &b = samples[pick(rng)].lab;
    const double w = t(rng);
    s->queries.push_back(
        {a[0] + w * (b[0] - a[0]), a[1] + w * (b[1] - a[1]), a[2] + w * (b[2] - a[2])});
  }
  return s;
}

// The store's octant rule over every point: bit 1 where the point's node index exceeds the
// query's, nearest point per octant, the first of equals kept.
void brute_force(const Store &s, const double *x, clg_near_t *near) {
  *near = clg_near_t{};
  int q[3];
  for (int i = 0; i < 3; ++i)
    q[i] = static_cast<int>(std::lround((x[i] - kMin[i]) / kStepF));
  const size_t n = s.lab.size();
  for (size_t p = 0; p < n; ++p) {
    const auto &nd = s.node[p];
    const int k = 4 * (nd[0] > q[0]) + 2 * (nd[1] > q[1]) + (nd[2] > q[2]);
    const double d0 = s.lab[p][0] - x[0], d1 = s.lab[p][1] - x[1], d2 = s.lab[p][2] - x[2];
    const double d = d0 * d0 + d1 * d1 + d2 * d2;
    if (near->count[k] == 0 || near->dist2[k] > d) {
      near->dist2[k] = d;
      ++near->count[k];
      for (int i = 0; i < 3; ++i) {
        near->best[k].lab[i] = s.lab[p][i];
        near->best[k].dev[i] = s.dev[p][i];
      }
    }
  }
}

enum class Op { Search, InterpolateNPar, InterpolatePar, IsInside };

const char *op_name(Op op) {
  switch (op) {
    case Op::Search:
      return "Search";
    case Op::InterpolateNPar:
      return "InterpolateNPar";
    case Op::InterpolatePar:
      return "InterpolatePar";
    case Op::IsInside:
      return "IsInside";
  }
  return "";
}

void run_velmora(benchmark::State &state, const Store *s, Op op) {
  clg_near_t near;
  double dev[3], dist;
  for (auto _ : state) {
    for (const Lab &q : s->queries) {
      switch (op) {
        case Op::Search:
          s->group->FindNearestClusterNPar(q.data(), &near, 0, nullptr);
          benchmark::DoNotOptimize(near.dist2[0]);
          break;
        case Op::InterpolateNPar:
          s->group->InterpolateNPar(q.data(), dev, &dist);
          benchmark::DoNotOptimize(dev[0]);
          break;
        case Op::InterpolatePar: {
          const double plane[4] = {0, q[2], -q[1], 0};  // the constant-hue plane of the query
          s->group->InterpolatePar(q.data(), plane, dev, &dist);
          benchmark::DoNotOptimize(dev[0]);
          break;
        }
        case Op::IsInside:
          benchmark::DoNotOptimize(s->group->IsInside(q.data()));
          break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kQueries);
}

void run_brute_force(benchmark::State &state, const Store *s) {
  clg_near_t near;
  for (auto _ : state) {
    for (const Lab &q : s->queries) {
      brute_force(*s, q.data(), &near);
      benchmark::DoNotOptimize(near.dist2[0]);
    }
  }
  state.SetItemsProcessed(state.iterations() * kQueries);
}

#ifdef VELMORA_HAVE_NANOFLANN
using KdTree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Store>, Store, 3>;

void run_nanoflann(benchmark::State &state, const Store *s, const KdTree *tree) {
  unsigned index[8];
  double d2[8];
  for (auto _ : state) {
    for (const Lab &q : s->queries) {
      tree->knnSearch(q.data(), 8, index, d2);
      benchmark::DoNotOptimize(d2[0]);
    }
  }
  state.SetItemsProcessed(state.iterations() * kQueries);
}
#endif

// The search agrees with brute force on every query of the store.
bool check_agreement(const Store &s) {
  int bad = 0;
  for (const Lab &q : s.queries) {
    clg_near_t a, b;
    s.group->FindNearestClusterNPar(q.data(), &a, 0, nullptr);
    brute_force(s, q.data(), &b);
    for (int k = 0; k < 8; ++k)
      if ((a.count[k] != 0) != (b.count[k] != 0) || a.dist2[k] != b.dist2[k]) ++bad;
  }
  std::printf("accuracy check, %s (%zu points): %d octants differ from brute force\n",
              s.name.c_str(), s.lab.size(), bad);
  return bad == 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::unique_ptr<Store>> stores;
#ifdef VELMORA_DATA_DIR
  stores.push_back(make_store("fogra39", cluster_test::fogra39_black_free(), 1));
#endif
  stores.push_back(make_store("press1e4", cluster_test::printer_random(10000, 2), 3));
  stores.push_back(make_store("press1e5", cluster_test::printer_random(100000, 4), 5));
#ifdef VELMORA_HAVE_NANOFLANN
  std::vector<std::unique_ptr<KdTree>> trees;
#endif
  for (const auto &s : stores) {
    if (!check_agreement(*s)) {
      std::fprintf(stderr, "search and brute force disagree: timing skipped\n");
      return 1;
    }
#ifdef VELMORA_HAVE_NANOFLANN
    trees.push_back(std::make_unique<KdTree>(3, *s, nanoflann::KDTreeSingleIndexAdaptorParams(10)));
    trees.back()->buildIndex();
#endif
    for (Op op : {Op::Search, Op::InterpolateNPar, Op::InterpolatePar, Op::IsInside}) {
      const std::string group = std::string(op_name(op)) + "_" + s->name;
      velmora::bench::register_case(group + "/velmora", kMinSeconds, kRepetitions, run_velmora,
                                    s.get(), op);
      velmora::bench::register_case(group + "/brute_force", kMinSeconds, kRepetitions,
                                    run_brute_force, s.get());
#ifdef VELMORA_HAVE_NANOFLANN
      velmora::bench::register_case(group + "/nanoflann_8nn", kMinSeconds, kRepetitions,
                                    run_nanoflann, s.get(), trees.back().get());
#endif
    }
  }
  return velmora::bench::run_with_ratios(argc, argv);
}
