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

// Creates a table and fills every vertex from model.
MD_TETRAD *make_table(int n, int m, int g, double min, double max, const Model &model) {
  MD_TETRAD *t = md_tetrad_new(n, m, g, min, max);
  if (t == nullptr) return nullptr;
  std::vector<int> index(n, 0);
  std::vector<double> coords(n);
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    model(coords.data(), v);
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);
  return t;
}

// Interpolates points stored point-major (n coordinates each); returns m values per point.
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

// Linear model y_c = sum_d (c + 1) * (d + 2) * x_d + c.
Model linear_model(int n, int m) {
  return [n, m](const double *x, double *y) {
    for (int c = 0; c < m; ++c) {
      y[c] = c;
      for (int d = 0; d < n; ++d)
        y[c] += (c + 1) * (d + 2) * x[d];
    }
  };
}

TEST(DoubleTable, ScanVisitsEveryVertexOnceWithDimensionZeroFastest) {
  MD_TETRAD *t = md_tetrad_new(3, 2, 2, 0.0, 1.0);
  ASSERT_NE(t, nullptr);
  int index[3] = {0, 0, 0};
  EXPECT_EQ(md_tetrad_scan_vertex(t, index), 7);
  EXPECT_EQ(index[0], 1);
  EXPECT_EQ(index[1], 0);
  int last[3] = {1, 1, 1};
  EXPECT_EQ(md_tetrad_scan_vertex(t, last), 0);
  EXPECT_EQ(last[0] + last[1] + last[2], 0);
  md_tetrad_kill(t);

  // Vertex pointers follow the guarded layout: dimension 0 slowest, S = G + 1 positions each.
  const int g = 4, m = 3;
  t = md_tetrad_new(3, m, g, -1.0, 2.0);
  int idx[3] = {0, 0, 0};
  double coords[3];
  double *origin = md_tetrad_vertex_get(t, idx, coords);
  int visited = 0;
  do {
    double *v = md_tetrad_vertex_get(t, idx, coords);
    const long expected = ((idx[0] * (g + 1) + idx[1]) * (g + 1) + idx[2]) * m;
    EXPECT_EQ(v - origin, expected);
    for (int d = 0; d < 3; ++d)
      EXPECT_DOUBLE_EQ(coords[d], idx[d] * 1.0 - 1.0);
    ++visited;
  } while (md_tetrad_scan_vertex(t, idx) != 0);
  EXPECT_EQ(visited, g * g * g);
  md_tetrad_kill(t);
}

// Simplex interpolation reproduces linear functions exactly, in any number of dimensions, at
// vertices, at max and at random points; min > max works the same way.
TEST(DoubleTable, ReproducesLinearFunctionsInEveryDimension) {
  std::mt19937_64 rng(1);
  for (int n = 1; n <= 6; ++n) {
    for (auto [min, max] : {std::pair{0.0, 1.0}, std::pair{10.0, -5.0}}) {
      const int m = 2, g = n <= 3 ? 5 : 3;
      const Model model = linear_model(n, m);
      MD_TETRAD *t = make_table(n, m, g, min, max, model);
      ASSERT_NE(t, nullptr);
      std::uniform_real_distribution<double> coord(std::min(min, max), std::max(min, max));
      std::vector<double> points;
      for (int p = 0; p < 200; ++p)
        for (int d = 0; d < n; ++d)
          points.push_back(coord(rng));
      for (int d = 0; d < n; ++d)
        points.push_back(max);  // the far corner
      for (int d = 0; d < n; ++d)
        points.push_back(min + (max - min) / (g - 1));  // a vertex
      const auto result = interpolate(t, n, m, points);
      for (size_t p = 0; p < points.size() / n; ++p) {
        double expected[2];
        model(&points[p * n], expected);
        for (int c = 0; c < m; ++c) {
          EXPECT_NEAR(result[p * m + c], expected[c], 1e-9 * (1 + std::abs(expected[c])))
              << "n=" << n << " point " << p;
        }
      }
      md_tetrad_kill(t);
    }
  }
}

// Reference simplex interpolation from the vertex values alone: the barycentric blend along the
// descending order of the fractions, with ties broken the other way round.
double reference(MD_TETRAD *t, int n, int g, const std::vector<double> &x, int channel) {
  std::vector<int> base(n);
  std::vector<double> f(n);
  for (int d = 0; d < n; ++d) {
    const double pos = x[d] * (g - 1);
    base[d] = std::min(static_cast<int>(pos), g - 2);
    f[d] = pos - base[d];
  }
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](int a, int b) { return f[a] > f[b] || (f[a] == f[b] && a > b); });
  std::vector<double> coords(n);
  std::vector<int> corner = base;
  double value = (1 - f[order[0]]) * md_tetrad_vertex_get(t, corner.data(), coords.data())[channel];
  for (int k = 0; k < n; ++k) {
    corner[order[k]] += 1;
    const double w = f[order[k]] - (k + 1 < n ? f[order[k + 1]] : 0.0);
    value += w * md_tetrad_vertex_get(t, corner.data(), coords.data())[channel];
  }
  return value;
}

TEST(DoubleTable, MatchesAnIndependentSimplexBlendOnNonlinearData) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int n = 2; n <= 6; ++n) {
    const int g = 4, m = 2;
    MD_TETRAD *t = make_table(n, m, g, 0.0, 1.0, [&](const double *, double *y) {
      y[0] = unit(rng);
      y[1] = unit(rng) * 100;
    });
    std::vector<double> points;
    for (int p = 0; p < 300; ++p) {
      for (int d = 0; d < n; ++d) {
        // Every fourth point has all fractions equal, to exercise ties.
        points.push_back(p % 4 == 0 ? (p % g + 0.5) / (g - 1) * (d % 2 ? 1 : 0.999999) : unit(rng));
      }
    }
    const auto result = interpolate(t, n, m, points);
    for (size_t p = 0; p < points.size() / n; ++p) {
      std::vector<double> x(points.begin() + p * n, points.begin() + (p + 1) * n);
      for (int c = 0; c < m; ++c)
        EXPECT_NEAR(result[p * m + c], reference(t, n, g, x, c), 1e-12 * 100) << "n=" << n;
    }
    md_tetrad_kill(t);
  }
}

TEST(DoubleTable, EqualFractionsGiveTheSameValueWhateverTheTieOrder) {
  MD_TETRAD *t = make_table(3, 1, 3, 0.0, 1.0, [](const double *x, double *y) {
    y[0] = std::sin(7 * x[0]) + x[1] * x[1] * 3 + std::exp(x[2]);
  });
  const auto a = interpolate(t, 3, 1, {0.3, 0.3, 0.3});
  const auto b = interpolate(t, 3, 1, {0.3, 0.3 + 1e-15, 0.3});
  EXPECT_NEAR(a[0], b[0], 1e-12);
  md_tetrad_kill(t);
}

TEST(DoubleTable, ClampsInputsOutsideTheRangeAndNaN) {
  const Model model = linear_model(3, 1);
  MD_TETRAD *t = make_table(3, 1, 5, 0.0, 1.0, model);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto r = interpolate(t, 3, 1, {-3.0, 0.5, 7.0, inf, -inf, nan, 1.0, 1.0, 1.0});
  double expected[1];
  const double clamped0[3] = {0.0, 0.5, 1.0};
  model(clamped0, expected);
  EXPECT_NEAR(r[0], expected[0], 1e-12);
  const double clamped1[3] = {1.0, 0.0, 0.0};
  model(clamped1, expected);
  EXPECT_NEAR(r[1], expected[0], 1e-12);
  const double far[3] = {1.0, 1.0, 1.0};
  model(far, expected);
  EXPECT_DOUBLE_EQ(r[2], expected[0]);
  md_tetrad_kill(t);
}

// Output pointers advance by count * out_stride; input pointers only for N >= 5; a null output
// pointer stays null and its channel is untouched; count <= 0 does nothing.
TEST(DoubleTable, AdvancesTheCallersPointersAsDocumented) {
  for (int n : {3, 5}) {
    MD_TETRAD *t = make_table(n, 2, 2, 0.0, 1.0, linear_model(n, 2));
    std::vector<double> points(10 * 5, 0.5), first(20, -7.0);
    std::vector<double *> in(n);
    for (int d = 0; d < n; ++d)
      in[d] = points.data() + d;
    std::vector<double *> in_before = in;
    double *out[2] = {first.data(), nullptr};
    EXPECT_EQ(md_tetrad_interp(t, in.data(), 5, out, 2, 10), 1);
    EXPECT_EQ(out[0], first.data() + 20);
    EXPECT_EQ(out[1], nullptr);
    for (int d = 0; d < n; ++d)
      EXPECT_EQ(in[d], in_before[d] + (n >= 5 ? 50 : 0));
    for (int p = 0; p < 10; ++p) {
      EXPECT_NE(first[2 * p], -7.0);
      EXPECT_EQ(first[2 * p + 1], -7.0);
    }
    double *out_again[2] = {first.data(), nullptr};
    EXPECT_EQ(md_tetrad_interp(t, in_before.data(), 5, out_again, 2, 0), 1);
    EXPECT_EQ(md_tetrad_interp(t, in_before.data(), 5, out_again, 2, -4), 1);
    EXPECT_EQ(out_again[0], first.data());
    md_tetrad_kill(t);
  }
}

TEST(DoubleTable, RefusesIllegalAndOversizedTablesWithOneReport) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    int n, m, g;
    double min, max;
    const char *message;
  };
  const Case cases[] = {
      {0, 1, 2, 0, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 1, 0, 1, "md_tetra_new: illegal dimension"},
      {3, 0, 2, 0, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 2, 0.5, 0.5, "md_tetra_new: illegal dimension"},
      {3, 1, 2, 0, inf, "md_tetra_new: illegal dimension"},
      {3, 1, 2, std::nan(""), 1, "md_tetra_new: illegal dimension"},
      {2, 1, 65536, 0, 1, "md_tetra_new: insufficient memory"},
      {3, 144170, 30, 0, 1, "md_tetra_new: insufficient memory"},
      {34, 1, 2, 0, 1, "md_tetra_new: insufficient memory"},
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
  const std::vector<std::string> expected = {
      "md_tetra_new: insufficient memory",  // record
      "md_tetra_new: insufficient memory",  // vertex data
      "md_tetra_new: insufficient memory",  // strides
      "md_tetrad_new: insuff. mem.",        // array of index tables
      "md_tetrad_new: insuff. mem.",        // index table 0
      "md_tetrad_new: insuff. mem.",        // index table 1
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    DiagnosticsCapture capture;
    velmora::test_hooks::fail_allocations_after(static_cast<long>(i));
    MD_TETRAD *t = md_tetrad_new(2, 1, 3, 0.0, 1.0);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>{expected[i]}) << "allocation " << i;
  }
  velmora::test_hooks::fail_allocations_after(expected.size());
  MD_TETRAD *t = md_tetrad_new(2, 1, 3, 0.0, 1.0);
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_NE(t, nullptr);
  md_tetrad_kill(t);
}

#ifdef VELMORA_HAVE_LCMS2
// Little CMS 2 splits the cube the same way at three inputs, so both agree to float rounding.
TEST(DoubleTable, AgreesWithLittleCmsFloatClutAtThreeInputs) {
  const int g = 9;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  MD_TETRAD *t = make_table(3, 3, g, 0.0, 1.0, [&](const double *, double *y) {
    for (int c = 0; c < 3; ++c)
      y[c] = unit(rng);
  });
  std::vector<float> grid(g * g * g * 3);
  int index[3] = {0, 0, 0};
  double coords[3];
  do {
    const double *v = md_tetrad_vertex_get(t, index, coords);
    const int linear = (index[0] * g + index[1]) * g + index[2];
    for (int c = 0; c < 3; ++c)
      grid[linear * 3 + c] = static_cast<float>(v[c]);
  } while (md_tetrad_scan_vertex(t, index) != 0);

  cmsStage *stage = cmsStageAllocCLutFloat(nullptr, g, 3, 3, grid.data());
  cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, 3, 3);
  ASSERT_TRUE(cmsPipelineInsertStage(pipeline, cmsAT_END, stage));
  std::vector<double> points;
  for (int p = 0; p < 5000; ++p)
    for (int d = 0; d < 3; ++d)
      points.push_back(static_cast<float>(unit(rng)));
  const auto result = interpolate(t, 3, 3, points);
  for (int p = 0; p < 5000; ++p) {
    const float in[3] = {static_cast<float>(points[3 * p]), static_cast<float>(points[3 * p + 1]),
                         static_cast<float>(points[3 * p + 2])};
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
