// The cluster store on real press measurements: the 818 black-free patches of FOGRA39 (offset on
// coated paper, CMYK + CIELAB D50), read with the examples' CGATS reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cluster_support.h"

#ifdef VELMORA_HAVE_QHULL_R
extern "C" {
#include <libqhull_r/libqhull_r.h>
}
#endif

namespace {

using cluster_test::Dev;
using cluster_test::Group;
using cluster_test::Lab;
using cluster_test::Sample;

constexpr double kLabStep = 0.1;

Group store(const std::vector<Sample> &samples) {
  return cluster_test::fill(Group(TClusterGroup::Create(3, 0, 100, kLabStep, -128, 128, kLabStep,
                                                        -128, 128, kLabStep, 1000)),
                            samples);
}

// The press as a forward model, CMY -> Lab: trilinear interpolation in the chart's 9 x 9 x 9 grid
// of CMY levels (repeated patches averaged), standing in for printing and measuring.
class Press {
 public:
  static constexpr double kLevels[9] = {0, 0.1, 0.2, 0.3, 0.4, 0.55, 0.7, 0.85, 1};

  explicit Press(const std::vector<Sample> &patches) {
    std::vector<int> hits(node_.size(), 0);
    for (const Sample &p : patches) {
      int idx[3];
      bool on = true;
      for (int i = 0; i < 3; ++i) {
        idx[i] = -1;
        for (int k = 0; k < 9; ++k)
          if (std::abs(p.dev[i] - kLevels[k]) < 1e-9) idx[i] = k;
        on = on && idx[i] >= 0;
      }
      if (!on) continue;
      const int n = (idx[0] * 9 + idx[1]) * 9 + idx[2];
      for (int i = 0; i < 3; ++i)
        node_[n][i] += p.lab[i];
      ++hits[n];
    }
    for (size_t n = 0; n < node_.size(); ++n) {
      complete_ = complete_ && hits[n] > 0;
      for (double &v : node_[n])
        v /= std::max(hits[n], 1);
    }
  }
  bool complete() const { return complete_; }

  Lab lab_of(const double *cmy) const {
    int base[3];
    double t[3];
    for (int i = 0; i < 3; ++i) {
      const double x = std::clamp(cmy[i], 0.0, 1.0);
      int k = 0;
      while (k < 7 && x > kLevels[k + 1])
        ++k;
      base[i] = k;
      t[i] = (x - kLevels[k]) / (kLevels[k + 1] - kLevels[k]);
    }
    Lab out{0, 0, 0};
    for (int corner = 0; corner < 8; ++corner) {
      double w = 1;
      int idx[3];
      for (int i = 0; i < 3; ++i) {
        const int bit = (corner >> (2 - i)) & 1;
        idx[i] = base[i] + bit;
        w *= bit ? t[i] : 1 - t[i];
      }
      const auto &v = node_[static_cast<size_t>((idx[0] * 9 + idx[1]) * 9 + idx[2])];
      for (int i = 0; i < 3; ++i)
        out[i] += w * v[i];
    }
    return out;
  }

 private:
  std::array<Lab, 729> node_{};
  bool complete_ = true;
};

double percentile95(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(std::ceil(0.95 * static_cast<double>(v.size()))) - 1];
}

double distance(const Lab &a, const Lab &b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

// Each patch is left out in turn and found again from the other 817: the device values found,
// against the patch's own (largest channel error, as a fraction), and the colour they print,
// against the patch's measured Lab.
TEST(ClusterFogra39, LeaveOneOutRecoversTheBlackFreePatches) {
  const auto patches = cluster_test::fogra39_black_free();
  ASSERT_EQ(patches.size(), 818u);
  const Press press(patches);
  ASSERT_TRUE(press.complete());
  std::vector<double> devError[2], labError[2];
  for (size_t i = 0; i < patches.size(); ++i) {
    std::vector<Sample> others = patches;
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(i));
    Group g = store(others);
    ASSERT_NE(g, nullptr);
    for (int road = 0; road < 2; ++road) {
      double cmy[3], dist;
      const int rc = road == 0 ? g->InterpolateNPar(patches[i].lab.data(), cmy, &dist)
                               : g->InterpolateNParPenal(patches[i].lab.data(), cmy, &dist);
      ASSERT_EQ(rc, 0) << i;
      double e = 0;
      for (int j = 0; j < 3; ++j)
        e = std::max(e, std::abs(cmy[j] - patches[i].dev[j]));
      devError[road].push_back(e);
      labError[road].push_back(distance(press.lab_of(cmy), patches[i].lab));
    }
  }
  const char *names[2] = {"InterpolateNPar", "InterpolateNParPenal"};
  for (int road = 0; road < 2; ++road) {
    double meanDev = 0, meanLab = 0;
    for (size_t i = 0; i < patches.size(); ++i) {
      meanDev += devError[road][i] / static_cast<double>(patches.size());
      meanLab += labError[road][i] / static_cast<double>(patches.size());
    }
    const double p95Dev = percentile95(devError[road]), p95Lab = percentile95(labError[road]);
    EXPECT_LT(meanDev, 0.04) << names[road];
    EXPECT_LT(p95Dev, 0.12) << names[road];
    EXPECT_LT(meanLab, 2.0) << names[road];
    EXPECT_LT(p95Lab, 6.0) << names[road];
  }
}

#ifdef VELMORA_HAVE_QHULL_R
// Outward facet planes of qhull's hull of the points.
std::vector<std::array<double, 4>> hull_planes(const std::vector<Sample> &samples) {
  std::vector<double> coords;
  for (const Sample &s : samples)
    coords.insert(coords.end(), s.lab.begin(), s.lab.end());
  std::vector<std::array<double, 4>> planes;
  qhT context, *qh = &context;
  qh_zero(qh, stderr);
  char options[] = "qhull Qt";
  if (qh_new_qhull(qh, 3, static_cast<int>(samples.size()), coords.data(), False, options, nullptr,
                   stderr) == 0) {
    facetT *facet;
    FORALLfacets {
      planes.push_back({facet->normal[0], facet->normal[1], facet->normal[2], facet->offset});
    }
  }
  qh_freeqhull(qh, !qh_ALL);
  int curlong, totlong;
  qh_memfreeshort(qh, &curlong, &totlong);
  return planes;
}

// Checks IsInside against the measured gamut (qhull's hull of the measurements): every colour
// more than 1 unit outside it is outside, and colours deeper than 3 units inside it are inside
// (allowing a few in the dents of a real gamut).
void expect_agrees_with_gamut(const std::vector<Sample> &samples, const char *name) {
  Group g = store(samples);
  ASSERT_NE(g, nullptr);
  const auto planes = hull_planes(samples);
  ASSERT_GT(planes.size(), 10u);
  auto excess = [&](const double *p) {
    double d = -1e300;
    for (const auto &pl : planes)
      d = std::max(d, pl[0] * p[0] + pl[1] * p[1] + pl[2] * p[2] + pl[3]);
    return d;
  };
  std::mt19937 rng(41);
  std::uniform_real_distribution<double> l(0, 100), ab(-90, 90);
  int deep = 0, deepInside = 0, outside = 0, outsideWrong = 0;
  for (int i = 0; i < 4000; ++i) {
    const double x[3] = {l(rng), ab(rng), ab(rng)};
    const double e = excess(x);
    if (e > 1.0) {
      ++outside;
      outsideWrong += g->IsInside(x);
    } else if (e < -3.0) {
      ++deep;
      deepInside += g->IsInside(x);
    }
  }
  EXPECT_EQ(outsideWrong, 0) << name;
  EXPECT_GT(outside, 500) << name;
  EXPECT_GE(deepInside, 0.97 * deep) << name;
}

TEST(ClusterFogra39, InsideTestAgreesWithTheMeasuredGamut) {
  expect_agrees_with_gamut(cluster_test::fogra39_black_free(), "FOGRA39 K = 0");
  expect_agrees_with_gamut(cluster_test::printer_random(3000, 43), "simulated printer");
}
#endif

}  // namespace
