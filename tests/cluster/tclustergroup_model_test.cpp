#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "cluster_support.h"
#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"

namespace {

using cluster_test::brute_force;
using cluster_test::Group;
using cluster_test::Lab;
using cluster_test::make_group;
using cluster_test::Sample;
using velmora::testing::DiagnosticsCapture;
using Probe = TClusterGroupProbe;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ClusterGroup, CreateCountsNodesAndRefusesWhatItCannotHold) {
  struct Row {
    int devCoord;
    double lo, hi, step;
    int nodes;  // 0: refused
    const char *message;
  };
  const char *devMessage = "Sorry we restricted the number of device coordinates to 3";
  const char *gridMessage = "The Lab grid needs 1 to 32767 nodes per axis";
  const Row rows[] = {
      {3, 0, 100, 5, 21, nullptr},
      {8, 0, 100, 1, 101, nullptr},
      {3, 0, 100, 3, 34, nullptr},  // 33.3 intervals round to 34 nodes
      {3, 50, 50, 1, 1, nullptr},   // a single L plane
      {3, 0, 65.532, 0.002, 32767, nullptr},
      {3, 0, 65.534, 0.002, 32768, gridMessage},  // would wrap the 16-bit count
      {3, 0, 100, 0.002, 0, gridMessage},
      {3, 0, 100, 0, 0, gridMessage},
      {3, 100, 0, 5, 0, gridMessage},
      {3, 0, kNaN, 5, 0, gridMessage},
      {9, 0, 100, 1, 0, devMessage},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.step);
    DiagnosticsCapture capture;
    Group g(TClusterGroup::Create(r.devCoord, r.lo, r.hi, r.step, -128, 128, 1, -128, 128, 1, 10));
    if (r.message == nullptr) {
      ASSERT_NE(g, nullptr);
      EXPECT_EQ(Probe::nodes(*g)[0], r.nodes);
      EXPECT_EQ(Probe::nodes(*g)[1], 257);
      EXPECT_EQ(g->GetNrOfDevCoord(), r.devCoord);
      EXPECT_TRUE(capture.errors().empty());
    } else {
      EXPECT_EQ(g, nullptr);
      EXPECT_EQ(capture.error_texts(), std::vector<std::string>{r.message});
    }
  }
}

TEST(ClusterGroup, AddPointClampsTheCallersLabAndSnapsItToTheNearestNode) {
  Group g = make_group(3, 2.5);
  struct Row {
    Lab in, clamped;
    std::array<int, 3> node;
  };
  const Row rows[] = {
      {{-5, 200, -300}, {0, 128, -128}, {0, 102, 0}},
      {{101, 0, 0}, {100, 0, 0}, {40, 51, 51}},
      {{51.2, 123.5, -1.2}, {51.2, 123.5, -1.2}, {20, 100, 51}},  // by (nodes - 1) / span
      {{51.26, 1.26, -1.26}, {51.26, 1.26, -1.26}, {21, 52, 50}},
  };
  for (const Row &r : rows) {
    Lab lab = r.in;
    const double dev[3] = {0.1, 0.2, 0.3};
    ASSERT_EQ(g->AddPoint(dev, lab.data()), 0);
    EXPECT_EQ(lab, r.clamped);
  }
  ASSERT_EQ(g->UpdateForAddedPoints(), 0);
  std::vector<std::array<int, 3>> stored;
  for (const clg_pt_t &p : Probe::points(*g))
    stored.push_back({p.node[0], p.node[1], p.node[2]});
  std::vector<std::array<int, 3>> expected;
  for (const Row &r : rows)
    expected.push_back(r.node);
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, expected);
}

// Adds a chart in grid order and in shuffled order: the list is sorted by L node then a node,
// each L node present has one L-range record at the start of its run, and a search after the
// update agrees with brute force; a further addition makes searches fail until the next update.
TEST(ClusterGroup, PointListAndLRangeTableFollowTheStoredPointsInAnyInsertionOrder) {
  std::vector<Sample> chart = cluster_test::printer_chart(9);
  chart.push_back(chart[100]);  // two points on one node stay separate entries
  std::vector<Sample> shuffled = chart;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  for (const auto *samples : {&chart, &shuffled}) {
    Group g = cluster_test::fill(make_group(), *samples);
    ASSERT_NE(g, nullptr);
    const auto pts = Probe::points(*g);
    ASSERT_EQ(pts.size(), chart.size());
    std::vector<clg_lrange_t> runs;
    for (size_t i = 0; i < pts.size(); ++i) {
      if (i > 0) {
        const bool ordered =
            pts[i - 1].node[0] < pts[i].node[0] ||
            (pts[i - 1].node[0] == pts[i].node[0] && pts[i - 1].node[1] <= pts[i].node[1]);
        ASSERT_TRUE(ordered) << i;
      }
      if (i == 0 || pts[i].node[0] != pts[i - 1].node[0])
        runs.push_back({pts[i].node[0], static_cast<std::int32_t>(i)});
    }
    const auto table = Probe::lrange(*g);
    ASSERT_EQ(table.size(), runs.size());
    for (size_t s = 0; s < runs.size(); ++s) {
      EXPECT_EQ(table[s].lNode, runs[s].lNode);
      EXPECT_EQ(table[s].firstPos, runs[s].firstPos);
    }

    const double query[3] = {55, 10, -10};
    clg_near_t near;
    ASSERT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), 0);
    EXPECT_EQ(g->UpdateForAddedPoints(), 0);  // nothing added: nothing to do
    double lab[3] = {50, 0, 0};
    const double dev[3] = {0, 0, 0};
    ASSERT_EQ(g->AddPoint(dev, lab), 0);
    EXPECT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), -1);
    EXPECT_EQ(g->FindNearestClusterPar(query, &near, 1, nullptr), -1);
    EXPECT_EQ(near.count[0] + near.count[7], 0);
    double out[3], dist;
    EXPECT_EQ(g->InterpolateNPar(query, out, &dist), -1);
    EXPECT_EQ(g->IsInside(query), 0);
    ASSERT_EQ(g->UpdateForAddedPoints(), 0);
    EXPECT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), 0);
  }
}

// More than 65 536 points: the L-range table must address every position of the list, so the
// searches in the upper slices still find their true nearest points.
TEST(ClusterGroup, StoresOfMoreThan65536PointsAreSearchedCorrectly) {
  Group g(TClusterGroup::Create(3, 0, 100, 2.5, -100, 100, 5, -100, 100, 5, 70000));
  ASSERT_NE(g, nullptr);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> l(0, 100), ab(-100, 100);
  for (int i = 0; i < 70000; ++i) {
    double lab[3] = {l(rng), ab(rng), ab(rng)};
    const double dev[3] = {lab[0] / 100, 0.5, 0.5};
    ASSERT_EQ(g->AddPoint(dev, lab), 0);
  }
  ASSERT_EQ(g->UpdateForAddedPoints(), 0);
  EXPECT_GT(Probe::lrange(*g).back().firstPos, 65536);
  for (int i = 0; i < 40; ++i) {
    const double x[3] = {60.0 + i, ab(rng), ab(rng)};
    clg_near_t near;
    ASSERT_EQ(g->FindNearestClusterNPar(x, &near, 0, nullptr), 0);
    const auto oracle = brute_force(*g, x);
    for (int k = 0; k < 8; ++k) {
      ASSERT_EQ(near.count[k] != 0, oracle[k] >= 0) << i << " octant " << k;
      if (oracle[k] >= 0) {
        ASSERT_EQ(near.dist2[k], oracle[k]) << i << " octant " << k;
      }
    }
  }
}

TEST(ClusterGroup, NaNCoordinatesAreRefusedWithoutStoringAnything) {
  Group g = cluster_test::fill(make_group(), cluster_test::printer_chart(5));
  ASSERT_NE(g, nullptr);
  const size_t before = Probe::points(*g).size();
  const double dev[3] = {0.5, 0.5, 0.5};
  for (int axis = 0; axis < 3; ++axis) {
    double lab[3] = {50, 0, 0};
    lab[axis] = kNaN;
    EXPECT_EQ(g->AddPoint(dev, lab), -1);
  }
  EXPECT_EQ(g->UpdateForAddedPoints(), 0);
  EXPECT_EQ(Probe::points(*g).size(), before);
  // The group stays ready: nothing was added.
  const double query[3] = {50, 0, 0};
  clg_near_t near;
  EXPECT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), 0);
  for (int axis = 0; axis < 3; ++axis) {
    double q[3] = {50, 0, 0};
    q[axis] = kNaN;
    double out[3], dist;
    const double plane[4] = {0, 1, 10, 0};
    EXPECT_EQ(g->FindNearestClusterNPar(q, &near, 0, nullptr), -1);
    EXPECT_EQ(g->FindNearestClusterPar(q, &near, 0, nullptr), -1);
    EXPECT_EQ(g->InterpolateNPar(q, out, &dist), -1);
    EXPECT_EQ(g->InterpolateNParPenal(q, out, &dist), -1);
    EXPECT_EQ(g->InterpolatePar(q, plane, out, &dist), -1);
    EXPECT_EQ(g->IsInside(q), 0);
  }
}

// Copies are deep: each object owns its lists, whichever is destroyed first or changed later,
// and self-assignment keeps the group intact. Out of memory, assignment throws and leaves the
// target as it was.
TEST(ClusterGroup, CopyAssignmentGivesIndependentGroups) {
  const auto chart = cluster_test::printer_chart(6);
  Group source = cluster_test::fill(make_group(), chart);
  Group target = cluster_test::fill(make_group(), cluster_test::printer_chart(3));
  ASSERT_NE(source, nullptr);
  ASSERT_NE(target, nullptr);
  const double query[3] = {60, 5, 5};
  double expected[3], dist;
  ASSERT_EQ(source->InterpolateNPar(query, expected, &dist), 0);

  *target = *source;
  *target = *target;
  source.reset();
  double got[3];
  ASSERT_EQ(target->InterpolateNPar(query, got, &dist), 0);
  for (int j = 0; j < 3; ++j)
    EXPECT_EQ(got[j], expected[j]);

  Group other = make_group();
  *other = *target;
  double lab[3] = {60, 5, 5};
  const double dev[3] = {1, 1, 1};
  ASSERT_EQ(other->AddPoint(dev, lab), 0);  // does not touch target
  ASSERT_EQ(target->InterpolateNPar(query, got, &dist), 0);
  EXPECT_EQ(Probe::points(*other).size(), chart.size() + 1);
  EXPECT_EQ(Probe::points(*target).size(), chart.size());

  Group small = cluster_test::fill(make_group(), cluster_test::printer_chart(2));
  velmora::test_hooks::fail_allocations_after(10);
  EXPECT_THROW(*small = *target, std::bad_alloc);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(Probe::points(*small).size(), 8u);
  EXPECT_EQ(small->InterpolateNPar(query, got, &dist), 0);
}

TEST(ClusterGroup, AllocationFailuresLeaveTheGroupUsable) {
  Group g = cluster_test::fill(make_group(), cluster_test::printer_chart(4));
  ASSERT_NE(g, nullptr);
  const double dev[3] = {0.5, 0.5, 0.5};
  double lab[3] = {50, 0, 0};
  velmora::test_hooks::fail_allocations_after(0);
  EXPECT_EQ(g->AddPoint(dev, lab), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(Probe::points(*g).size(), 64u);
  const double query[3] = {50, 0, 0};
  clg_near_t near;
  EXPECT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), 0);

  ASSERT_EQ(g->AddPoint(dev, lab), 0);
  velmora::test_hooks::fail_allocations_after(2);
  EXPECT_EQ(g->UpdateForAddedPoints(), -1);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), -1);
  EXPECT_EQ(g->UpdateForAddedPoints(), 0);
  EXPECT_EQ(g->FindNearestClusterNPar(query, &near, 0, nullptr), 0);
}

}  // namespace
