#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cluster_support.h"

namespace {

using cluster_test::brute_force;
using cluster_test::Group;
using cluster_test::Lab;
using cluster_test::Sample;
using Probe = TClusterGroupProbe;

// The searched octants hold exactly the brute-force nearest distances, and each best entry is a
// stored point at that distance.
void expect_matches(const TClusterGroup &g, const double *x, const clg_near_t &near,
                    const std::array<double, 8> &oracle, const std::vector<clg_pt_t> &pts,
                    const std::string &what) {
  for (int k = 0; k < 8; ++k) {
    ASSERT_EQ(near.count[k] != 0, oracle[k] >= 0) << what << " octant " << k;
    if (oracle[k] < 0) continue;
    ASSERT_EQ(near.dist2[k], oracle[k]) << what << " octant " << k;
    const clg_cl_t &b = near.best[k];
    double d2 = 0;
    for (int i = 0; i < 3; ++i)
      d2 += (b.lab[i] - x[i]) * (b.lab[i] - x[i]);
    ASSERT_EQ(d2, near.dist2[k]) << what;
    bool stored = false;
    for (const clg_pt_t &p : pts) {
      const auto lab = Probe::node_lab(g, p.node);
      if (lab[0] == b.lab[0] && lab[1] == b.lab[1] && lab[2] == b.lab[2] && p.dev[0] == b.dev[0] &&
          p.dev[1] == b.dev[1] && p.dev[2] == b.dev[2])
        stored = true;
    }
    ASSERT_TRUE(stored) << what << " octant " << k;
  }
}

struct Store {
  const char *name;
  std::vector<Sample> samples;
  double step;
};

std::vector<Store> stores() {
  std::vector<Store> out;
  out.push_back({"random printer, step 1", cluster_test::printer_random(3000, 1), 1.0});
  out.push_back({"random printer, step 0.1", cluster_test::printer_random(3000, 3), 0.1});
  out.push_back({"grid-ordered chart 17^3, step 1", cluster_test::printer_chart(17), 1.0});
  out.push_back({"grid-ordered chart 11^3, step 2.5", cluster_test::printer_chart(11), 2.5});
  // A Lab lattice: many points share L, a and b node indices with the queries.
  std::vector<Sample> lattice;
  for (int l = 0; l <= 100; l += 10)
    for (int a = -80; a <= 80; a += 10)
      for (int b = -80; b <= 80; b += 10)
        lattice.push_back(
            {{l / 100.0, (a + 80) / 160.0, (b + 80) / 160.0}, {double(l), double(a), double(b)}});
  out.push_back({"Lab lattice, step 1", lattice, 1.0});
  return out;
}

// Both searches, with either stop rule, fill every octant with its true nearest point, for
// queries inside and around the data, on stored nodes, and outside the grid limits.
TEST(ClusterSearch, EveryOctantHoldsTheNearestPointThatBruteForceFinds) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> l(-5, 105), ab(-100, 100), pick(0, 1);
  for (const Store &s : stores()) {
    Group g = cluster_test::fill(cluster_test::make_group(3, s.step), s.samples);
    ASSERT_NE(g, nullptr);
    const auto pts = Probe::points(*g);
    for (int i = 0; i < 150; ++i) {
      std::array<double, 3> x{l(rng), ab(rng), ab(rng)};
      if (i % 5 == 0) {  // exactly on a stored node
        x = Probe::node_lab(*g, pts[static_cast<size_t>(pick(rng) * (pts.size() - 1))].node);
      }
      const auto oracle = brute_force(*g, x.data());
      clg_near_t near;
      const std::string what = std::string(s.name) + " query " + std::to_string(i);
      ASSERT_EQ(g->FindNearestClusterNPar(x.data(), &near, 0, nullptr), 0);
      expect_matches(*g, x.data(), near, oracle, pts, what + " all=0");
      ASSERT_EQ(g->FindNearestClusterNPar(x.data(), &near, 1, nullptr), 0);
      expect_matches(*g, x.data(), near, oracle, pts, what + " all=1");
      ASSERT_EQ(g->FindNearestClusterPar(x.data(), &near, 0, nullptr), 0);
      expect_matches(*g, x.data(), near, oracle, pts, what + " mode 0");
    }
  }
}

// The searches fill the record exactly as walking every point in the search's order would:
// the same occupied octants, points, distances and counts, and among equidistant points the
// one met first. The cells search the interpolators and the inside test use matches it too,
// reporting 1 as the count of an occupied octant. Stores of the sizes and orders users bring,
// one with many points per node and many equal distances; queries scattered, between points,
// on nodes, on a regular Lab grid and beyond the limits.
TEST(ClusterSearch, RecordsMatchAWalkOverEveryPointIncludingTiesAndCounts) {
  std::vector<Store> all = stores();
  const std::vector<Sample> fogra = cluster_test::fogra39_black_free();
  ASSERT_EQ(fogra.size(), 818u);
  all.push_back({"FOGRA39, step 0.1", fogra, 0.1});
  all.push_back({"FOGRA39, step 1", fogra, 1.0});
  // Whole-number Lab values in a small cube: several points per node, many equal distances.
  std::vector<Sample> crowded;
  std::mt19937 crowd(9);
  std::uniform_int_distribution<int> offset(-4, 4);
  for (int i = 0; i < 3000; ++i)
    crowded.push_back({{(i % 7) / 7.0, (i % 11) / 11.0, (i % 13) / 13.0},
                       {50.0 + offset(crowd), 3.0 * offset(crowd), 2.0 * offset(crowd)}});
  all.push_back({"crowded nodes, step 1", crowded, 1.0});
  all.push_back({"crowded nodes, step 0.5", crowded, 0.5});
  all.push_back({"random printer 10^4, step 0.1", cluster_test::printer_random(10000, 7), 0.1});

  const double w[3] = {0.6, 0.8, 0.0}, u[3] = {-0.8, 0.6, 0.0}, n[3] = {0.0, 0.0, 1.0};
  const double *frame[3] = {w, u, n};
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> unit(0, 1);
  int compared = 0;
  for (const Store &s : all) {
    Group g = cluster_test::fill(cluster_test::make_group(3, s.step), s.samples);
    ASSERT_NE(g, nullptr);
    std::vector<Lab> queries;
    const int each = s.samples.size() > 5000 ? 60 : 200;
    for (int i = 0; i < each; ++i) {
      queries.push_back({unit(rng) * 110 - 5, unit(rng) * 200 - 100, unit(rng) * 200 - 100});
      const Lab &a = s.samples[static_cast<size_t>(unit(rng) * (s.samples.size() - 1))].lab;
      const Lab &b = s.samples[static_cast<size_t>(unit(rng) * (s.samples.size() - 1))].lab;
      const double t = unit(rng);
      queries.push_back(
          {a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])});
      Lab on = a;
      for (double &v : on)
        v = std::round(v / s.step) * s.step;
      queries.push_back(on);
    }
    for (double L = 0; L <= 100; L += 25)
      for (double a = -150; a <= 150; a += 50)
        for (double b = -150; b <= 150; b += 50)
          queries.push_back({L, a, b});
    for (size_t i = 0; i < queries.size(); ++i) {
      const double *x = queries[i].data();
      const std::string what = std::string(s.name) + " query " + std::to_string(i);
      const clg_near_t want = cluster_test::walk_order_reference(*g, x);
      clg_near_t near;
      for (int search = 0; search < 3; ++search) {
        const int rc = search == 0   ? g->FindNearestClusterNPar(x, &near, 0, nullptr)
                       : search == 1 ? g->FindNearestClusterNPar(x, &near, 1, nullptr)
                                     : g->FindNearestClusterPar(x, &near, 0, nullptr);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(std::memcmp(&near, &want, sizeof near), 0) << what << " search " << search;
      }
      ASSERT_EQ(Probe::octant_nearest(*g, x, &near), 0);
      clg_near_t occupied = want;
      for (int &count : occupied.count)
        count = count != 0 ? 1 : 0;
      ASSERT_EQ(std::memcmp(&near, &occupied, sizeof near), 0) << what << " cells";
      if (i % 4 == 0) {
        const clg_near_t wantFrame = cluster_test::walk_order_reference(*g, x, 1, frame);
        ASSERT_EQ(g->FindNearestClusterPar(x, &near, 1, frame), 0);
        ASSERT_EQ(std::memcmp(&near, &wantFrame, sizeof near), 0) << what << " plane frame";
        ASSERT_EQ(Probe::octant_nearest(*g, x, &near, frame), 0);
        clg_near_t occupiedFrame = wantFrame;
        for (int &count : occupiedFrame.count)
          count = count != 0 ? 1 : 0;
        ASSERT_EQ(std::memcmp(&near, &occupiedFrame, sizeof near), 0)
            << what << " cells, plane frame";
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, 4000);
}

// With a plane frame, a point's octant bits are its sides of three planes through the query's
// node; the search still finds the nearest point of each such octant.
TEST(ClusterSearch, PlaneFrameOctantsHoldTheirNearestPoints) {
  Group g = cluster_test::fill(cluster_test::make_group(), cluster_test::printer_random(2500, 5));
  ASSERT_NE(g, nullptr);
  const auto pts = Probe::points(*g);
  std::mt19937 rng(13);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> l(10, 95), ab(-60, 60);
  for (int i = 0; i < 100; ++i) {
    double frame[3][3];
    for (auto &v : frame) {
      double n = 0;
      for (double &c : v) {
        c = normal(rng);
        n += c * c;
      }
      for (double &c : v)
        c /= std::sqrt(n);
    }
    const double *planes[3] = {frame[0], frame[1], frame[2]};
    const double x[3] = {l(rng), ab(rng), ab(rng)};
    std::array<double, 8> oracle;
    oracle.fill(-1);
    const int q[3] = {int(std::lround(x[0])), int(std::lround(x[1] + 128)),
                      int(std::lround(x[2] + 128))};
    for (const clg_pt_t &p : pts) {
      int k = 0;
      for (int axis = 0; axis < 3; ++axis) {
        double dot = 0;
        for (int c = 0; c < 3; ++c)
          dot += frame[axis][c] * (p.node[c] - q[c]);  // one Lab unit per node
        k += (dot >= 0 ? 1 : 0) << (2 - axis);
      }
      const auto lab = Probe::node_lab(*g, p.node);
      double d2 = 0;
      for (int c = 0; c < 3; ++c)
        d2 += (lab[c] - x[c]) * (lab[c] - x[c]);
      if (oracle[k] < 0 || d2 < oracle[k]) oracle[k] = d2;
    }
    clg_near_t near;
    ASSERT_EQ(g->FindNearestClusterPar(x, &near, 1, planes), 0);
    expect_matches(*g, x, near, oracle, pts, "frame " + std::to_string(i));
  }
}

// Small configurations where the walk's stop rules, ties and empty octants matter.
TEST(ClusterSearch, HandlesEqualKeysTiesAndEmptyOctants) {
  struct Row {
    const char *name;
    std::vector<Lab> points;
    Lab query;
    std::array<int, 8> count;  // expected counts
  };
  const Row rows[] = {
      // Points on the query's own L and a node indices sit in the lower octants; octants 4 and
      // 7 are fed only by the slice above.
      {"equal keys",
       {{50, -1, -1}, {50, -1, 1}, {50, 1, -1}, {50, 1, 1}, {53, -1, -1}, {53, 1, 1}},
       {50, 0.2, 0.2},
       {1, 1, 1, 1, 1, 0, 0, 1}},
      // Two points at one distance in one octant: the first stays and is counted once.
      {"tie", {{52, -1, -2}, {52, -2, -1}}, {50, 0, 0}, {0, 0, 0, 0, 1, 0, 0, 0}},
      // A point exactly on the query node belongs to octant 0.
      {"on node", {{50, 0, 0}, {60, 10, 10}}, {50, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 1}},
      // A query above every L slice walks only the lower half.
      {"above all", {{10, 0, 0}, {20, 5, 5}, {20, -5, -5}}, {90, 0, 0}, {1, 0, 0, 1, 0, 0, 0, 0}},
      // Farther points in one octant replace nearer-looking ones met earlier in the walk.
      {"replacement",
       {{55, -30, -30}, {55, -1, -1}, {51, -20, -20}},
       {50, 0, 0},
       {0, 0, 0, 0, 2, 0, 0, 0}},
  };
  for (const Row &r : rows) {
    std::vector<Sample> samples;
    for (const Lab &p : r.points)
      samples.push_back({{p[0] / 100, 0.5, 0.5}, p});
    Group g = cluster_test::fill(cluster_test::make_group(), samples);
    ASSERT_NE(g, nullptr);
    const auto oracle = brute_force(*g, r.query.data());
    for (int search = 0; search < 3; ++search) {
      clg_near_t near;
      const int rc = search == 0   ? g->FindNearestClusterNPar(r.query.data(), &near, 0, nullptr)
                     : search == 1 ? g->FindNearestClusterNPar(r.query.data(), &near, 1, nullptr)
                                   : g->FindNearestClusterPar(r.query.data(), &near, 0, nullptr);
      ASSERT_EQ(rc, 0);
      for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(near.count[k] != 0, oracle[k] >= 0) << r.name << " " << search << " " << k;
        if (oracle[k] >= 0) {
          EXPECT_EQ(near.dist2[k], oracle[k]) << r.name << " " << k;
        }
        if (search == 0) {
          EXPECT_EQ(near.count[k], r.count[k]) << r.name << " " << k;
        }
      }
    }
  }
}

TEST(ClusterSearch, EmptyGroupsAndTheHelpersFollowTheirContracts) {
  Group g = cluster_test::make_group();
  ASSERT_EQ(g->UpdateForAddedPoints(), 0);
  clg_near_t near;
  std::memset(&near, 0xAB, sizeof(near));
  const double x[3] = {50, 0, 0};
  EXPECT_EQ(g->FindNearestClusterNPar(x, &near, 0, nullptr), 0);
  for (int k = 0; k < 8; ++k)
    EXPECT_EQ(near.count[k], 0);

  // Octant bits: strict node comparison in mode 0; the side of each plane otherwise, with an
  // offset orthogonal to a normal on the upper side.
  const std::uint16_t q[3] = {50, 128, 128};
  const std::uint16_t p[3] = {50, 130, 127};
  int bits[3];
  g->DetermineIntIndex(p, q, bits, 0, nullptr);
  EXPECT_EQ((std::array<int, 3>{bits[0], bits[1], bits[2]}), (std::array<int, 3>{0, 1, 0}));
  const double n0[3] = {1, 0, 0}, n1[3] = {0, -1, 0}, n2[3] = {0, 0.6, 0.8};
  const double *planes[3] = {n0, n1, n2};
  g->DetermineIntIndex(p, q, bits, 1, planes);  // offset (0, 2, -1)
  EXPECT_EQ((std::array<int, 3>{bits[0], bits[1], bits[2]}), (std::array<int, 3>{1, 0, 1}));

  // The update rule: an empty octant or a strictly nearer point replaces, an equal one does not.
  clg_near_t r{};
  clg_cl_t a{{51, 0, 0}, {0.1, 0.2, 0.3}}, b{{50, 1, 0}, {0.4, 0.5, 0.6}}, c{{50, 0, 0.5}, {}};
  const int octant[3] = {1, 0, 1};  // octant 5
  g->Insert(&a, x, octant, &r, 0, nullptr);
  g->Insert(&b, x, octant, &r, 0, nullptr);
  EXPECT_EQ(r.count[5], 1);
  EXPECT_EQ(r.best[5].dev[0], 0.1);
  g->Insert(&c, x, octant, &r, 0, nullptr);
  EXPECT_EQ(r.count[5], 2);
  EXPECT_EQ(r.dist2[5], 0.25);
  EXPECT_EQ(r.best[5].lab[2], 0.5);
}

}  // namespace
