#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cluster_support.h"
#include "support/diagnostics_capture.h"

namespace {

using cluster_test::Dev;
using cluster_test::Group;
using cluster_test::Lab;
using cluster_test::Sample;
using velmora::testing::DiagnosticsCapture;
using Probe = TClusterGroupProbe;

// An affine device model: every barycentric blend reproduces it exactly, wherever the query is
// projected to.
Dev affine(const double *lab) {
  return {0.3 + lab[0] / 250, 0.5 + lab[1] / 500, 0.5 - lab[2] / 400 + lab[0] / 1000};
}

// A Lab lattice every 10 units (L 0..100, a and b -80..80): 3179 points, grid-ordered.
std::vector<Sample> lattice(const std::function<Dev(const double *)> &model) {
  std::vector<Sample> out;
  for (int l = 0; l <= 100; l += 10)
    for (int a = -80; a <= 80; a += 10)
      for (int b = -80; b <= 80; b += 10) {
        const Lab lab{double(l), double(a), double(b)};
        out.push_back({model(lab.data()), lab});
      }
  return out;
}

double distance(const double *a, const double *b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

// Each interpolator blends device values with the weights of the point it projects to, so an
// affine model comes back as the model at that point, and dist is minus the projection distance.
// Between the lattice's points (off its nodes on every axis) the queries lie inside a
// tetrahedron of neighbours: the projection is the query itself and dist is 0.
TEST(ClusterInterpolation, EveryInterpolatorReproducesAnAffineModel) {
  Group g = cluster_test::fill(cluster_test::make_group(), lattice(affine));
  ASSERT_NE(g, nullptr);
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> cell_l(0, 9), cell_ab(-8, 7);
  std::uniform_real_distribution<double> offset(1.0, 9.0), anywhere(-130, 130);
  const double planes[][4] = {{0, 1, 0.5, 0}, {1, 2.5, 2.5, 0}, {0.5, 8, -6, 0}, {0, -3, 12, 7}};
  for (int i = 0; i < 120; ++i) {
    const bool between = i % 4 != 0;
    const double x[3] = {
        between ? 10 * cell_l(rng) + offset(rng) : anywhere(rng) / 1.3 + 50,
        between ? 10 * cell_ab(rng) + offset(rng) : anywhere(rng),
        between ? 10 * cell_ab(rng) + offset(rng) : anywhere(rng),
    };
    for (int variant = 0; variant < 6; ++variant) {
      SCOPED_TRACE("query " + std::to_string(i) + " variant " + std::to_string(variant));
      double dev[3], dist = 1, proj[3];
      int rc;
      if (variant == 0) {
        rc = Probe::project_npar(*g, x, dev, &dist, proj);
      } else if (variant == 1) {
        rc = Probe::project_penal(*g, x, dev, &dist, proj);
      } else {
        rc = Probe::project_par(*g, x, planes[variant - 2], dev, &dist, proj);
      }
      ASSERT_EQ(rc, 0);
      const Dev expected = affine(proj);
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(dev[j], expected[j], 1e-6);
      double c[3] = {x[0], x[1], x[2]};
      const double lo[3] = {0, -128, -128}, hi[3] = {100, 128, 128};
      for (int k = 0; k < 3; ++k)
        c[k] = std::clamp(c[k], lo[k], hi[k]);
      // The blend (variant 3) mixes two distances; the penalised step reports 0 for nearly
      // held queries.
      if (variant != 1 && variant != 3) {
        EXPECT_NEAR(dist, -distance(proj, c), 1e-9);
      }
      if (between && variant < 3) {
        EXPECT_EQ(dist, 0.0);
      }
      if (between && (variant == 0 || variant == 2)) {
        for (int k = 0; k < 3; ++k)
          EXPECT_NEAR(proj[k], x[k], 1e-9);
      }
      // The public entry points give the same values.
      double pub[3], pubDist;
      if (variant == 0) {
        ASSERT_EQ(g->InterpolateNPar(x, pub, &pubDist), 0);
      } else if (variant == 1) {
        ASSERT_EQ(g->InterpolateNParPenal(x, pub, &pubDist), 0);
      } else {
        ASSERT_EQ(g->InterpolatePar(x, planes[variant - 2], pub, &pubDist), 0);
      }
      EXPECT_EQ(pubDist, dist);
      for (int j = 0; j < 3; ++j)
        EXPECT_EQ(pub[j], dev[j]);
    }
  }
}

// A query outside the grid limits gives exactly the result of the clamped query.
TEST(ClusterInterpolation, QueriesOutsideTheLimitsAreClampedFirst) {
  Group g = cluster_test::fill(cluster_test::make_group(), cluster_test::printer_chart(9));
  ASSERT_NE(g, nullptr);
  const Lab rows[][2] = {
      {{-20, 10, 10}, {0, 10, 10}},
      {{150, -200, 300}, {100, -128, 128}},
      {{50, 129, -129}, {50, 128, -128}},
  };
  const double plane[4] = {0, 6, 8, 0};
  for (const auto &r : rows) {
    double a[3], b[3], da, db;
    ASSERT_EQ(g->InterpolateNPar(r[0].data(), a, &da), 0);
    ASSERT_EQ(g->InterpolateNPar(r[1].data(), b, &db), 0);
    EXPECT_EQ(da, db);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(a[j], b[j]);
    ASSERT_EQ(g->InterpolatePar(r[0].data(), plane, a, &da), 0);
    ASSERT_EQ(g->InterpolatePar(r[1].data(), plane, b, &db), 0);
    EXPECT_EQ(da, db);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(a[j], b[j]);
  }
}

// One, two or three occupied octants: the point, the nearest point of the segment, the
// projection onto the triangle; an empty group is reported once and fails.
TEST(ClusterInterpolation, FewNeighboursGiveThePointTheSegmentOrTheTriangle) {
  struct Row {
    const char *name;
    std::vector<Lab> points;
    Lab query, proj;
  };
  const Row rows[] = {
      {"one", {{50, 10, 10}}, {40, 0, 0}, {50, 10, 10}},
      {"two", {{40, -10, 0}, {60, 10, 0}}, {50, 0, 5}, {50, 0, 0}},
      {"two in one octant", {{40, -10, 0}, {60, 10, 0}}, {30, -20, 0}, {40, -10, 0}},
      {"three", {{40, -10, -10}, {60, -10, -10}, {60, 10, -10}}, {55, -5, -7}, {55, -5, -10}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<Sample> samples;
    for (const Lab &p : r.points)
      samples.push_back({affine(p.data()), p});
    Group g = cluster_test::fill(cluster_test::make_group(), samples);
    ASSERT_NE(g, nullptr);
    const Dev expected = affine(r.proj.data());
    const double plane[4] = {0, 0.5, 0.5, 0};  // a-b length below 2: the free projection
    DiagnosticsCapture capture;
    for (int variant = 0; variant < 3; ++variant) {
      double dev[3], dist;
      const int rc = variant == 0   ? g->InterpolateNPar(r.query.data(), dev, &dist)
                     : variant == 1 ? g->InterpolateNParPenal(r.query.data(), dev, &dist)
                                    : g->InterpolatePar(r.query.data(), plane, dev, &dist);
      ASSERT_EQ(rc, 0);
      EXPECT_NEAR(dist, -distance(r.proj.data(), r.query.data()), 1e-9);
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(dev[j], expected[j], 1e-6);
    }
    EXPECT_TRUE(capture.errors().empty());
  }

  Group empty = cluster_test::make_group();
  ASSERT_EQ(empty->UpdateForAddedPoints(), 0);
  const double x[3] = {50, 0, 0}, plane[4] = {0, 3, 4, 0};
  double dev[3], dist;
  for (int variant = 0; variant < 3; ++variant) {
    DiagnosticsCapture capture;
    const int rc = variant == 0   ? empty->InterpolateNPar(x, dev, &dist)
                   : variant == 1 ? empty->InterpolateNParPenal(x, dev, &dist)
                                  : empty->InterpolatePar(x, plane, dev, &dist);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(capture.error_texts(),
              std::vector<std::string>{"Something wrong in searching for nearest neighbours"});
  }
}

// On a stored node with neighbours all around, the winning tetrahedron puts all weight on that
// node: its device values come back, at distance 0. Holds for a curved (non-affine) model.
TEST(ClusterInterpolation, AQueryOnAStoredNodeReturnsThatNodesDeviceValues) {
  const auto chart = lattice([](const double *lab) {
    return Dev{std::sin(lab[0] / 30) * 0.5 + 0.5, std::cos(lab[1] / 40) * 0.5,
               0.5 + lab[2] * lab[2] / 20000};
  });
  Group g = cluster_test::fill(cluster_test::make_group(), chart);
  ASSERT_NE(g, nullptr);
  for (const Sample &s : chart) {
    if (s.lab[0] == 0 || s.lab[0] == 100 || std::abs(s.lab[1]) == 80 || std::abs(s.lab[2]) == 80)
      continue;
    double dev[3], dist;
    ASSERT_EQ(g->InterpolateNPar(s.lab.data(), dev, &dist), 0);
    EXPECT_EQ(dist, 0.0);
    for (int j = 0; j < 3; ++j)
      ASSERT_NEAR(dev[j], s.dev[j], 1e-6) << s.lab[0] << " " << s.lab[1] << " " << s.lab[2];
  }
}

// The plane's a-b length chooses the road: below 2 the free interpolation, above 5 the
// plane-frame one, and between them the linear blend of the free result and the
// plane-restricted result over the full axis-aligned search. A neutral query in a constant-L
// plane (no a-b length at all) is answered, not refused.
TEST(ClusterInterpolation, ThePlanesChromaChoosesFreePlaneRestrictedOrBlendedInterpolation) {
  Group g = cluster_test::fill(cluster_test::make_group(), cluster_test::printer_random(3000, 9));
  ASSERT_NE(g, nullptr);
  std::mt19937 rng(19);
  std::uniform_real_distribution<double> l(20, 90), ab(-40, 40);
  for (int i = 0; i < 60; ++i) {
    const double x[3] = {l(rng), ab(rng), ab(rng)};
    double free[3], freeDist;
    ASSERT_EQ(g->InterpolateNPar(x, free, &freeDist), 0);
    double dev[3], dist;
    const double flat[4] = {1, 0.6, 0.8, 0};  // a-b length 1
    ASSERT_EQ(g->InterpolatePar(x, flat, dev, &dist), 0);
    EXPECT_EQ(dist, freeDist);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(dev[j], free[j]);

    const double mid[4] = {0.5, 2.1, 2.8, 0};  // a-b length 3.5: w = 0.5
    ASSERT_EQ(g->InterpolatePar(x, mid, dev, &dist), 0);
    clg_near_t near;
    double devB[3], distB, projB[3], proj[3], devA[3], distA;
    ASSERT_EQ(g->FindNearestClusterNPar(x, &near, 0, nullptr), 0);
    ASSERT_EQ(Probe::interpolate(*g, x, mid, 0, devA, near, &distA, proj), 0);
    ASSERT_EQ(g->FindNearestClusterNPar(x, &near, 1, nullptr), 0);
    ASSERT_EQ(Probe::interpolate(*g, x, mid, 1, devB, near, &distB, projB), 0);
    EXPECT_NEAR(dist, 0.5 * (distA + distB), 1e-12);
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(dev[j], 0.5 * (devA[j] + devB[j]), 1e-12);
  }
  const double neutral[3] = {50, 0, 0}, constantL[4] = {1, 0, 0, -50};
  double dev[3], dist;
  EXPECT_EQ(g->InterpolatePar(neutral, constantL, dev, &dist), 0);
}

// The penalised step on hand-made neighbourhoods: coherent corners that hold or nearly hold the
// query win with dist 0; otherwise the best score less four times the spread wins; negative
// device values count against a high mark that starts at 0.
TEST(ClusterInterpolation, PenalisedStepPrefersCoherentTetrahedraNearTheQuery) {
  Group g = cluster_test::make_group();
  ASSERT_EQ(g->UpdateForAddedPoints(), 0);
  // Corners of a tetrahedron around the origin of a query at (50, 0, 0), in octants 0, 4, 2, 1.
  const Lab corners[4] = {{40, -10, -10}, {60, -10, -10}, {45, 10, -10}, {45, -5, 20}};
  const int octants[4] = {0, 4, 2, 1};
  auto make = [&](const std::array<Dev, 4> &devs, int n) {
    clg_near_t near{};
    for (int i = 0; i < n; ++i) {
      near.count[octants[i]] = 1;
      for (int k = 0; k < 3; ++k)
        near.best[octants[i]].lab[k] = corners[i][k];
      for (int j = 0; j < 3; ++j)
        near.best[octants[i]].dev[j] = devs[i][j];
      near.dist2[octants[i]] = 100;
    }
    return near;
  };
  const Dev same{0.3, 0.4, 0.5};
  double dev[3], dist, score, proj[3];
  {
    const clg_near_t near = make({same, same, same, same}, 4);
    const double c[3] = {48, -4, -3};
    ASSERT_EQ(Probe::interpolate_penal(*g, c, dev, near, &score, &dist, proj), 0);
    EXPECT_EQ(dist, 0.0);
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(dev[j], same[j], 1e-12);
  }
  {
    // Just below the face b = -10 (0.2 away): nearly inside, so dist is reported as 0.
    const clg_near_t near = make({same, same, same, {0.35, 0.45, 0.5}}, 4);
    const double c[3] = {48, -4, -10.2};
    ASSERT_EQ(Probe::interpolate_penal(*g, c, dev, near, &score, &dist, proj), 0);
    EXPECT_EQ(dist, 0.0);
    EXPECT_NEAR(proj[2], -10.0, 1e-9);
  }
  {
    // Every corner far apart in device values: incoherent; the score less the spread decides,
    // and dist is minus the projection distance.
    const clg_near_t near = make({Dev{0, 0, 0}, Dev{1, 0, 0}, Dev{0, 1, 0}, Dev{0, 0, 1}}, 4);
    const double c[3] = {48, -4, -12};
    ASSERT_EQ(Probe::interpolate_penal(*g, c, dev, near, &score, &dist, proj), 0);
    EXPECT_NEAR(dist, -2.0, 1e-9);
    EXPECT_NEAR(score, -2.0 - 4.0, 1e-9);
  }
  {
    // Negative device values: the spread counts from a high mark of 0.
    const Dev negative{-0.5, 0.4, 0.5};
    const clg_near_t near = make({negative, negative, negative, negative}, 4);
    const double c[3] = {48, -4, -3};
    ASSERT_EQ(Probe::interpolate_penal(*g, c, dev, near, &score, &dist, proj), 0);
    // Spread 0.5 is incoherent: Rule B takes it (the only candidate) at its score.
    EXPECT_NEAR(dev[0], -0.5, 1e-12);
    EXPECT_LT(score, -1.0);
  }
}

// A neighbourhood with one outlier (a mismeasured patch): the plain step may blend it in, the
// penalised step keeps to tetrahedra of coherent corners whenever one holds the query.
TEST(ClusterInterpolation, PenalisedStepAvoidsAnOutlierCorner) {
  Group g = cluster_test::make_group();
  ASSERT_EQ(g->UpdateForAddedPoints(), 0);
  clg_near_t near{};
  const double c[3] = {50, 0, 0};
  for (int k = 0; k < 8; ++k) {
    const double lab[3] = {c[0] + ((k & 4) ? 5.0 : -5.0), c[1] + ((k & 2) ? 5.0 : -5.0),
                           c[2] + ((k & 1) ? 5.0 : -5.0)};
    near.count[k] = 1;
    for (int i = 0; i < 3; ++i)
      near.best[k].lab[i] = lab[i] + 0.3 * k * (i == 0 ? 1 : -1) / 7;
    const Dev d = affine(near.best[k].lab);
    for (int j = 0; j < 3; ++j)
      near.best[k].dev[j] = d[j];
    near.dist2[k] = 75;
  }
  for (int j = 0; j < 3; ++j)
    near.best[6].dev[j] = 0.95;  // the outlier
  double dev[3], dist, score, proj[3];
  ASSERT_EQ(Probe::interpolate_penal(*g, c, dev, near, &score, &dist, proj), 0);
  EXPECT_EQ(dist, 0.0);
  const Dev truth = affine(c);
  for (int j = 0; j < 3; ++j)
    EXPECT_NEAR(dev[j], truth[j], 3e-3);  // a nearly holding tetrahedron may be cheaper
}

// Scattered measurements of a curved printer: held-out colours are found again to a small
// device error, and the device values found reprint the colour closely.
TEST(ClusterInterpolation, RecoversDeviceValuesOfHeldOutColoursOfAPrinter) {
  Group g = cluster_test::fill(cluster_test::make_group(3, 0.5, 4000),
                               cluster_test::printer_random(4000, 23));
  ASSERT_NE(g, nullptr);
  const auto held = cluster_test::printer_random(300, 29);
  double sumDev[2] = {0, 0}, sumLab[2] = {0, 0};
  int n = 0;
  for (const Sample &s : held) {
    // Skip the outer skin of the device cube, where neighbours are one-sided.
    if (*std::min_element(s.dev.begin(), s.dev.end()) < 0.1 ||
        *std::max_element(s.dev.begin(), s.dev.end()) > 0.9)
      continue;
    ++n;
    for (int road = 0; road < 2; ++road) {
      double dev[3], dist;
      const int rc = road == 0 ? g->InterpolateNPar(s.lab.data(), dev, &dist)
                               : g->InterpolateNParPenal(s.lab.data(), dev, &dist);
      ASSERT_EQ(rc, 0);
      double e = 0;
      for (int j = 0; j < 3; ++j)
        e = std::max(e, std::abs(dev[j] - s.dev[j]));
      sumDev[road] += e;
      const Lab back = cluster_test::printer_lab({dev[0], dev[1], dev[2]});
      sumLab[road] += distance(back.data(), s.lab.data());
    }
  }
  ASSERT_GT(n, 100);
  for (int road = 0; road < 2; ++road) {
    EXPECT_LT(sumDev[road] / n, 0.03) << road;
    EXPECT_LT(sumLab[road] / n, 1.5) << road;
  }
}

}  // namespace
