#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "cluster_support.h"

namespace {

using cluster_test::Group;
using cluster_test::Lab;
using cluster_test::Sample;

Group store_of(const std::vector<Lab> &points) {
  std::vector<Sample> samples;
  for (const Lab &p : points)
    samples.push_back({{0.5, 0.5, 0.5}, p});
  return cluster_test::fill(cluster_test::make_group(), samples);
}

std::vector<Lab> cube(double half, Lab centre) {
  std::vector<Lab> out;
  for (int k = 0; k < 8; ++k)
    out.push_back({centre[0] + ((k & 4) ? half : -half), centre[1] + ((k & 2) ? half : -half),
                   centre[2] + ((k & 1) ? half : -half)});
  return out;
}

// The box of the added points (bounds included) comes first; inside it the hull of the occupied
// octants' nearest points decides, and fewer than four of them, or four in one plane, are outside.
TEST(ClusterInside, BoxAndNeighbourHullDecide) {
  std::vector<Lab> dented = cube(5, {50, 0, 0});
  dented[7] = {51, 1, 1};  // one corner pulled in: the box stays, the hull loses a corner
  const std::vector<Lab> three = {{40, -10, -10}, {60, -10, -10}, {60, 10, -10}};
  const std::vector<Lab> flat = {{40, -10, -10}, {60, -10, -10}, {40, 10, -10}, {60, 10, -10}};
  struct Row {
    const char *name;
    const std::vector<Lab> *points;
    Lab query;
    int inside;
  };
  const auto full = cube(5, {50, 0, 0});
  const Row rows[] = {
      {"centre of a cube", &full, {50.3, 0.2, -0.4}, 1},
      {"on the smallest L added", &full, {45, 0, 0}, 1},
      {"just below the smallest L added", &full, {44.999, 0, 0}, 0},
      // At the lowest corner the other corners fill all eight octants (equal node indices
      // count as lower); at the highest corner all of them share octant 0.
      {"lowest corner of the box", &full, {45, -5, -5}, 1},
      {"highest corner of the box", &full, {55, 5, 5}, 0},
      {"in the box, beyond the dent", &dented, {54, 4, 4}, 0},
      {"in the box, inside the dented hull", &dented, {47, -3, -2}, 1},
      {"three occupied octants", &three, {50, -5, -10}, 0},
      {"four neighbours in one plane", &flat, {50, 0, -10}, 0},
      {"NaN", &full, {50, std::numeric_limits<double>::quiet_NaN(), 0}, 0},
  };
  for (const Row &r : rows) {
    Group g = store_of(*r.points);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->IsInside(r.query.data()), r.inside) << r.name;
    clg_near_t near;
    if (g->FindNearestClusterNPar(r.query.data(), &near, 0, nullptr) == 0 &&
        std::string(r.name).find("box") == std::string::npos &&
        std::string(r.name).find("L added") == std::string::npos) {
      EXPECT_EQ(g->IsInside(r.query.data(), &near), r.inside) << r.name;
    }
  }
  // Added points make every query outside until the next update.
  Group g = store_of(full);
  double lab[3] = {50, 0, 0};
  const double dev[3] = {0, 0, 0};
  ASSERT_EQ(g->AddPoint(dev, lab), 0);
  EXPECT_EQ(g->IsInside(lab), 0);
  ASSERT_EQ(g->UpdateForAddedPoints(), 0);
  EXPECT_EQ(g->IsInside(lab), 1);
}

// Several threads query one ready group at once, through every interpolator (the
// plane-restricted ones included) and the inside test; each gets exactly what one thread gets.
TEST(ClusterGroup, ConcurrentInterpolateParCallsAgreeWithOneThread) {
  Group g = cluster_test::fill(cluster_test::make_group(), cluster_test::printer_random(1500, 31));
  ASSERT_NE(g, nullptr);
  constexpr int kQueries = 60;
  constexpr int kThreads = 4;
  std::mt19937 rng(37);
  std::uniform_real_distribution<double> l(20, 90), ab(-50, 50);
  std::vector<Lab> queries;
  for (int i = 0; i < kQueries; ++i)
    queries.push_back({l(rng), ab(rng), ab(rng)});
  const double planes[2][4] = {{0.2, 6, -8, 0}, {0, 2.1, 2.8, 0}};
  auto run = [&](std::vector<double> &out) {
    for (const Lab &q : queries) {
      double dev[3], dist;
      for (const auto &plane : planes) {
        out.push_back(g->InterpolatePar(q.data(), plane, dev, &dist));
        out.insert(out.end(), {dev[0], dev[1], dev[2], dist});
      }
      out.push_back(g->InterpolateNPar(q.data(), dev, &dist));
      out.insert(out.end(), {dev[0], dev[1], dev[2], dist});
      out.push_back(g->InterpolateNParPenal(q.data(), dev, &dist));
      out.insert(out.end(), {dev[0], dev[1], dev[2], dist});
      out.push_back(g->IsInside(q.data()));
    }
  };
  std::vector<double> expected;
  run(expected);
  std::vector<std::vector<double>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(run, std::ref(results[static_cast<size_t>(t)]));
  for (auto &t : threads)
    t.join();
  for (const auto &r : results)
    EXPECT_EQ(r, expected);
}

}  // namespace
