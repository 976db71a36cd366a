#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "velmora/md_tetrad.h"

#ifdef VELMORA_HAVE_LCMS2
#include <lcms2.h>
#endif

namespace {

using velmora::testing::DiagnosticsCapture;
using Model = std::function<void(const double *x, double *y)>;

MD_TETRAD *make_table(int n, int m, int g, double min, double max, const Model &model) {
  MD_TETRAD *t = md_tetrad_new(n, m, g, min, max);
  std::vector<int> index(n, 0);
  std::vector<double> coords(n);
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    model(coords.data(), v);
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);
  return t;
}

// Interpolates points stored point-major; returns m values per point.
std::vector<double> interpolate(const MD_TETRAD *t, int n, int m, std::vector<double> points) {
  const int count = static_cast<int>(points.size()) / n;
  std::vector<double> result(static_cast<size_t>(count) * m, -1.0);
  std::vector<double *> in(n), out(m);
  for (int d = 0; d < n; ++d)
    in[d] = points.data() + d;
  for (int c = 0; c < m; ++c)
    out[c] = result.data() + c;
  EXPECT_EQ(md_tetrad_interp(t, in.data(), n, out.data(), m, count), 1);
  return result;
}

// y_c = c + sum_d (c + 1)(d + 2) x_d
void linear(int n, int m, const double *x, double *y) {
  for (int c = 0; c < m; ++c) {
    y[c] = c;
    for (int d = 0; d < n; ++d)
      y[c] += (c + 1) * (d + 2) * x[d];
  }
}

TEST(DoubleTable, ScanVisitsEveryVertexOnceInTheGuardedLayout) {
  const int g = 4, m = 3;
  MD_TETRAD *t = md_tetrad_new(3, m, g, -1.0, 2.0);
  int idx[3] = {0, 0, 0};
  double coords[3];
  const double *origin = md_tetrad_vertex_get(t, idx, coords);
  int visited = 0, remaining;
  do {
    const long expected = ((idx[0] * (g + 1) + idx[1]) * (g + 1) + idx[2]) * m;
    EXPECT_EQ(md_tetrad_vertex_get(t, idx, coords) - origin, expected);
    EXPECT_DOUBLE_EQ(coords[0], idx[0] - 1.0);
    const int before = idx[0];
    remaining = md_tetrad_scan_vertex(t, idx);
    EXPECT_EQ(remaining, g * g * g - 1 - visited);
    if (remaining > 0) {
      EXPECT_EQ(idx[0], (before + 1) % g);  // dimension 0 fastest
    }
    ++visited;
  } while (remaining != 0);
  EXPECT_EQ(visited, g * g * g);
  EXPECT_EQ(idx[0] + idx[1] + idx[2], 0);  // wrapped
  md_tetrad_kill(t);
}

// Simplex interpolation reproduces linear functions exactly in any dimension, at random points,
// vertices and the far corner, for either orientation of the range.
TEST(DoubleTable, ReproducesLinearFunctionsInEveryDimension) {
  std::mt19937_64 rng(1);
  for (int n = 1; n <= 6; ++n) {
    for (auto [min, max] : {std::pair{0.0, 1.0}, std::pair{10.0, -5.0}}) {
      const int g = n <= 3 ? 5 : 3;
      MD_TETRAD *t =
          make_table(n, 2, g, min, max, [n](const double *x, double *y) { linear(n, 2, x, y); });
      std::uniform_real_distribution<double> coord(std::min(min, max), std::max(min, max));
      std::vector<double> points;
      for (int p = 0; p < 100 * n; ++p)
        points.push_back(coord(rng));
      points.insert(points.end(), n, max);
      points.insert(points.end(), n, min + (max - min) / (g - 1));
      const auto result = interpolate(t, n, 2, points);
      for (size_t p = 0; p < points.size() / n; ++p) {
        double expected[2];
        linear(n, 2, &points[p * n], expected);
        for (int c = 0; c < 2; ++c)
          EXPECT_NEAR(result[p * 2 + c], expected[c], 1e-9 * (1 + std::abs(expected[c])));
      }
      md_tetrad_kill(t);
    }
  }
}

// An independent simplex blend built from the vertex values alone, breaking ties the other way.
double reference(MD_TETRAD *t, int n, int g, const double *x) {
  std::vector<int> corner(n);
  std::vector<double> f(n), coords(n);
  for (int d = 0; d < n; ++d) {
    corner[d] = std::min(static_cast<int>(x[d] * (g - 1)), g - 2);
    f[d] = x[d] * (g - 1) - corner[d];
  }
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](int a, int b) { return f[a] > f[b] || (f[a] == f[b] && a > b); });
  double value = (1 - f[order[0]]) * *md_tetrad_vertex_get(t, corner.data(), coords.data());
  for (int k = 0; k < n; ++k) {
    corner[order[k]] += 1;
    const double w = f[order[k]] - (k + 1 < n ? f[order[k + 1]] : 0.0);
    value += w * *md_tetrad_vertex_get(t, corner.data(), coords.data());
  }
  return value;
}

TEST(DoubleTable, MatchesAnIndependentSimplexBlendOnRandomDataWithTies) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int n = 2; n <= 6; ++n) {
    const int g = 4;
    MD_TETRAD *t =
        make_table(n, 1, g, 0.0, 1.0, [&](const double *, double *y) { *y = unit(rng); });
    std::vector<double> points;
    for (int p = 0; p < 300; ++p) {
      const double tied =
          (p % (g - 1) + 0.5) / (g - 1);  // every other point has all fractions equal
      for (int d = 0; d < n; ++d)
        points.push_back(p % 2 ? tied : unit(rng));
    }
    const auto result = interpolate(t, n, 1, points);
    for (size_t p = 0; p < result.size(); ++p)
      EXPECT_NEAR(result[p], reference(t, n, g, &points[p * n]), 1e-12) << "n=" << n;
    md_tetrad_kill(t);
  }
}

TEST(DoubleTable, ClampsInputsOutsideTheRangeAndNaN) {
  MD_TETRAD *t =
      make_table(3, 1, 5, 0.0, 1.0, [](const double *x, double *y) { linear(3, 1, x, y); });
  const double inf = std::numeric_limits<double>::infinity();
  const auto r = interpolate(t, 3, 1, {-3.0, 0.5, 7.0, inf, -inf, std::nan(""), 1.0, 1.0, 1.0});
  const double clamped[3][3] = {{0.0, 0.5, 1.0}, {1.0, 0.0, 0.0}, {1.0, 1.0, 1.0}};
  for (int p = 0; p < 3; ++p) {
    double expected;
    linear(3, 1, clamped[p], &expected);
    EXPECT_NEAR(r[p], expected, 1e-12);
  }
  md_tetrad_kill(t);
}

// Output pointers advance by count * out_stride, input pointers only for N >= 5; a null output
// stays null and its channel untouched; count <= 0 does nothing.
TEST(DoubleTable, AdvancesTheCallersPointersAsDocumented) {
  for (int n : {3, 5}) {
    MD_TETRAD *t =
        make_table(n, 2, 2, 0.0, 1.0, [n](const double *x, double *y) { linear(n, 2, x, y); });
    std::vector<double> points(50, 0.5), result(20, -7.0);
    std::vector<double *> in(n), in_before(n);
    for (int d = 0; d < n; ++d)
      in[d] = in_before[d] = points.data() + d;
    double *out[2] = {result.data(), nullptr};
    EXPECT_EQ(md_tetrad_interp(t, in.data(), 5, out, 2, 10), 1);
    EXPECT_EQ(out[0], result.data() + 20);
    EXPECT_EQ(out[1], nullptr);
    for (int d = 0; d < n; ++d)
      EXPECT_EQ(in[d], in_before[d] + (n >= 5 ? 50 : 0));
    for (int p = 0; p < 10; ++p)
      EXPECT_EQ(result[2 * p + 1], -7.0);
    for (int count : {0, -4}) {
      double *again[2] = {result.data(), nullptr};
      EXPECT_EQ(md_tetrad_interp(t, in_before.data(), 5, again, 2, count), 1);
      EXPECT_EQ(again[0], result.data());
    }
    md_tetrad_kill(t);
  }
}

TEST(DoubleTable, RefusesIllegalAndOversizedTablesWithOneReport) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::string illegal = "md_tetra_new: illegal dimension";
  const std::string memory = "md_tetra_new: insufficient memory";
  struct Case {
    int n, m, g;
    double min, max;
    const std::string &message;
  } const cases[] = {
      {0, 1, 2, 0, 1, illegal},
      {3, 1, 1, 0, 1, illegal},
      {3, 0, 2, 0, 1, illegal},
      {3, 1, 2, 0.5, 0.5, illegal},
      {3, 1, 2, 0, inf, illegal},
      {3, 1, 2, NAN, 1, illegal},
      {34, 1, 2, 0, 1, illegal},
      {40, 1, 2, 0, 1, illegal},
      // The grid spacing overflows to infinity, or underflows to zero.
      {1, 1, 3, -1e308, 1e308, illegal},
      {1, 1, 20, 4.9e-324, 0, illegal},
      {2, 1, 65536, 0, 1, memory},
      {3, 144170, 30, 0, 1, memory},
  };
  for (const Case &c : cases) {
    DiagnosticsCapture capture;
    EXPECT_EQ(md_tetrad_new(c.n, c.m, c.g, c.min, c.max), nullptr);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>{c.message}) << c.n << " " << c.g;
  }
  EXPECT_EQ(md_tetrad_kill(nullptr), nullptr);
}

// Each allocation of creation fails in turn: one report with its message, nothing leaked.
TEST(DoubleTable, ReportsEachFailedAllocationAndReleasesTheRest) {
  const char *record_data_strides = "md_tetra_new: insufficient memory";
  const char *index_tables = "md_tetrad_new: insuff. mem.";
  const std::vector<std::string> expected = {record_data_strides, record_data_strides,
                                             record_data_strides, index_tables,
                                             index_tables,        index_tables};
  for (size_t i = 0; i <= expected.size(); ++i) {
    DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(static_cast<long>(i));
    MD_TETRAD *t = md_tetrad_new(2, 1, 3, 0.0, 1.0);
    velmora::test_hooks::fail_allocations_after(-1);
    if (i == expected.size()) {
      EXPECT_NE(t, nullptr);
      EXPECT_TRUE(capture.errors().empty());
    } else {
      EXPECT_EQ(t, nullptr);
      EXPECT_EQ(capture.error_texts(), std::vector<std::string>{expected[i]}) << "allocation " << i;
    }
    md_tetrad_kill(t);
  }
}

#ifdef VELMORA_HAVE_LCMS2
// Little CMS 2 splits the cube the same way at three inputs, so both agree to float rounding.
TEST(DoubleTable, AgreesWithLittleCmsFloatClutAtThreeInputs) {
  const int g = 9;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> grid;
  MD_TETRAD *t = make_table(3, 3, g, 0.0, 1.0, [&](const double *, double *y) {
    for (int c = 0; c < 3; ++c)
      grid.push_back(static_cast<float>(y[c] = unit(rng)));
  });
  // The scan runs dimension 0 fastest; Little CMS wants it slowest.
  std::vector<float> clut(grid.size());
  for (int i = 0; i < g * g * g; ++i) {
    const int i0 = i % g, i1 = i / g % g, i2 = i / (g * g);
    for (int c = 0; c < 3; ++c)
      clut[((i0 * g + i1) * g + i2) * 3 + c] = grid[i * 3 + c];
  }
  cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, 3, 3);
  ASSERT_TRUE(cmsPipelineInsertStage(pipeline, cmsAT_END,
                                     cmsStageAllocCLutFloat(nullptr, g, 3, 3, clut.data())));
  std::vector<double> points(3 * 5000);
  for (double &v : points)
    v = unit(rng);
  const auto result = interpolate(t, 3, 3, points);
  for (size_t p = 0; p < 5000; ++p) {
    const float in[3] = {float(points[3 * p]), float(points[3 * p + 1]), float(points[3 * p + 2])};
    float out[3];
    cmsPipelineEvalFloat(in, out, pipeline);
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(result[3 * p + c], out[c], 2e-6);
  }
  cmsPipelineFree(pipeline);
  md_tetrad_kill(t);
}
#endif

}  // namespace
