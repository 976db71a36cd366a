// Lab-to-process table: geometry, copies, and the trilinear lookup against closed forms and
// against Little CMS 2 interpolating the same grid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "engines/labtoproctable_internal.h"

#ifdef VELMORA_HAVE_LCMS2
#include "engines/lab_table_lcms.h"
#endif

namespace {

using Geometry = LabToProcTableAccess::Geometry;

// Colour a grid point stands for, as the lookup reads it.
void GridLab(const Geometry &g, int iL, int iA, int iB, double *lab) {
  lab[0] = iL * 128.0 / (g.nrL - 1);
  lab[1] = iA * 256.0 / (g.nrA - 1) - 128.0;
  lab[2] = iB * 256.0 / (g.nrB - 1) - 128.0;
}

// Sets every grid value from fn(lab, channel).
template <typename Fn>
void FillGrid(LabToProcTable &table, Fn fn) {
  const Geometry g = LabToProcTableAccess::GetGeometry(table);
  std::vector<float> &buffer = table.GetBuffer();
  for (int iB = 0; iB < g.nrB; ++iB) {
    for (int iA = 0; iA < g.nrA; ++iA) {
      for (int iL = 0; iL < g.nrL; ++iL) {
        double lab[3];
        GridLab(g, iL, iA, iB, lab);
        const std::size_t p = (static_cast<std::size_t>(iB) * g.nrA + iA) * g.nrL + iL;
        for (int o = 0; o < g.nrOutputChannels; ++o)
          buffer[p * g.nrOutputChannels + o] = static_cast<float>(fn(lab, o));
      }
    }
  }
}

std::vector<float> RandomLab(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> l(0.0f, 128.0f), ab(-128.0f, 128.0f);
  std::vector<float> lab(3 * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    lab[3 * i] = l(rng);
    lab[3 * i + 1] = ab(rng);
    lab[3 * i + 2] = ab(rng);
  }
  return lab;
}

TEST(LabToProcTable, DerivesItsGridFromTheSpacingsAndCoarseStep) {
  struct Row {
    int channels, sL, sA, sB, f;
    int stepL, stepA, stepB, nrL, nrA, nrB;
  };
  const Row rows[] = {
      {3, 4, 8, 8, 4, 4, 8, 8, 33, 33, 33},    // 107811 floats
      {1, 3, 3, 3, 1, 2, 2, 2, 65, 129, 129},  // spacings rounded down to divisors
      {2, 4, 8, 8, 3, 4, 8, 8, 31, 31, 31},    // 32 intervals rounded down to 30
      {4, 5, 7, 100, 2, 4, 4, 64, 33, 65, 5},  // largest divisor not above each request
      {1, 1000, 1000, 1000, 1, 128, 256, 256, 2, 2, 2},
      {1, 2, 4, 4, 3, 2, 4, 4, 64, 64, 64},   // odd interval counts
      {1, 4, 8, 8, 32, 4, 8, 8, 33, 33, 33},  // the coarse step may equal the count
  };
  for (const Row &r : rows) {
    LabToProcTable table(r.channels, r.sL, r.sA, r.sB, r.f);
    const Geometry g = LabToProcTableAccess::GetGeometry(table);
    SCOPED_TRACE(testing::Message() << r.sL << " " << r.sA << " " << r.sB << " f " << r.f);
    EXPECT_EQ(g.stepL, r.stepL);
    EXPECT_EQ(g.stepA, r.stepA);
    EXPECT_EQ(g.stepB, r.stepB);
    EXPECT_EQ(g.nrL, r.nrL);
    EXPECT_EQ(g.nrA, r.nrA);
    EXPECT_EQ(g.nrB, r.nrB);
    EXPECT_EQ(g.coarseStep, r.f);
    EXPECT_EQ(table.GetBufferPointAmount(), r.nrL * r.nrA * r.nrB);
    EXPECT_EQ(table.GetBuffer().size(),
              static_cast<std::size_t>(r.nrL) * r.nrA * r.nrB * r.channels);
  }
  EXPECT_EQ(LabToProcTable(3, 4, 8, 8, 4).GetBuffer().size(), 107811u);

  // Spacings or coarse step below 1, negative channel counts, and a coarse step above an axis'
  // interval count (which would leave one grid point on it) are refused.
  const int refused[][5] = {
      {1, 0, 8, 8, 2}, {1, 4, -8, 8, 2},  {1, 4, 8, 0, 2},   {1, 4, 8, 8, 0},  {-1, 4, 8, 8, 2},
      {0, 4, 8, 8, 2}, {1, 128, 8, 8, 2}, {1, 4, 256, 8, 2}, {1, 4, 8, 8, 33}, {1, 1000, 8, 8, 2}};
  for (const auto &r : refused)
    EXPECT_THROW(LabToProcTable(r[0], r[1], r[2], r[3], r[4]), std::invalid_argument);
}

TEST(LabToProcTable, CopiesAreDeepAndMovesLeaveAnEmptyValidTable) {
  LabToProcTable original(3, 8, 16, 16, 2);
  FillGrid(original, [](const double *lab, int o) { return lab[0] + 10 * o; });
  LabToProcTableAccess::ExtraBytes(original) = {1, 2, 3};

  LabToProcTable copy(original);
  copy.GetBuffer()[0] = 99.0f;
  EXPECT_EQ(original.GetBuffer()[0], 0.0f);
  EXPECT_EQ(LabToProcTableAccess::ExtraBytes(copy), (std::vector<std::uint8_t>{1, 2, 3}));

  const float lab[3] = {60.0f, 10.0f, -20.0f};
  float expected[3], got[3];
  original.Interpolate(lab, expected, 1);

  LabToProcTable moved(std::move(original));
  moved.Interpolate(lab, got, 1);
  EXPECT_EQ(std::vector<float>(got, got + 3), std::vector<float>(expected, expected + 3));
  EXPECT_EQ(LabToProcTableAccess::ExtraBytes(moved), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(original.GetBufferPointAmount(), 0);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(original.GetBuffer().empty());
  float fromEmpty[6] = {7, 7, 7, 7, 7, 7};
  const float twoLab[6] = {50, 0, 0, 128, 128, 128};
  original.Interpolate(twoLab, fromEmpty, 2);
  for (float v : fromEmpty)
    EXPECT_EQ(v, 0.0f);
  int modelCalls = 0;
  original.FillTable(
      {{50, 0, 0}}, [&](const double *, int, float *, double, double) { ++modelCalls; },
      [&](const double *, int, double *) { ++modelCalls; }, false, 1);
  EXPECT_EQ(modelCalls, 0);
  EXPECT_TRUE(original.GetBuffer().empty());

  // Assignment: copies stay independent, a moved-from source is empty again.
  original = moved;
  EXPECT_EQ(original.GetBufferPointAmount(), moved.GetBufferPointAmount());
  original.Interpolate(lab, got, 1);
  EXPECT_EQ(got[2], expected[2]);
  copy = std::move(moved);
  EXPECT_EQ(moved.GetBufferPointAmount(), 0);  // NOLINT(bugprone-use-after-move)
  copy.Interpolate(lab, got, 1);
  EXPECT_EQ(got[1], expected[1]);
}

TEST(LabToProcTable, InterpolationReproducesConstantAndLinearTables) {
  const std::vector<float> lab = RandomLab(20000, 7);
  std::vector<float> out(lab.size() / 3 * 4);
  {
    LabToProcTable fresh(4, 4, 8, 8, 4);
    fresh.Interpolate(lab.data(), out.data(), lab.size() / 3);
    for (float v : out)
      ASSERT_EQ(v, 0.0f);
  }
  // Channel counts 1, 3 and 4 (unrolled loops) and 6 (generic); one f not dividing the counts.
  const int shapes[][5] = {{1, 4, 8, 8, 4}, {3, 2, 4, 4, 3}, {4, 8, 16, 16, 2}, {6, 16, 32, 8, 1}};
  for (const auto &s : shapes) {
    LabToProcTable table(s[0], s[1], s[2], s[3], s[4]);
    const int n = s[0];
    const auto linear = [](const double *c, int o) {
      return 0.4 * c[0] + 0.2 * (c[1] + 128) + 0.15 * (c[2] + 128) + 3 * o;
    };
    FillGrid(table, linear);
    out.resize(lab.size() / 3 * n);
    table.Interpolate(lab.data(), out.data(), lab.size() / 3);
    double worst = 0.0;
    for (std::size_t i = 0; i < lab.size() / 3; ++i) {
      const double c[3] = {lab[3 * i], lab[3 * i + 1], lab[3 * i + 2]};
      for (int o = 0; o < n; ++o)
        worst = std::max(worst, std::fabs(out[i * n + o] - linear(c, o)));
    }
    EXPECT_LT(worst, 2e-3) << "channels " << n;

    FillGrid(table, [](const double *, int) { return 117.25; });
    table.Interpolate(lab.data(), out.data(), lab.size() / 3);
    for (std::size_t i = 0; i < lab.size() / 3 * n; ++i)
      ASSERT_NEAR(out[i], 117.25f, 1e-4f);
  }
}

TEST(LabToProcTable, InterpolationClampsPositionsAndResults) {
  LabToProcTable table(2, 8, 16, 16, 2);  // 17 x 17 x 17
  const Geometry g = LabToProcTableAccess::GetGeometry(table);
  std::vector<float> &buffer = table.GetBuffer();
  const std::size_t last = static_cast<std::size_t>(g.nrPoints) - 1;
  buffer[0] = 50.0f;          // point (0, 0, 0), channel 0
  buffer[1] = 300.0f;         // above the range
  buffer[2 * last] = 200.0f;  // the last point
  buffer[2 * last + 1] = -40.0f;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Row {
    float lab[3];
    float expect[2];
  };
  const float top = static_cast<float>(200.0 * std::pow(0.99999, 3));
  const Row rows[] = {
      {{0, -128, -128}, {50, 255}},     // reads point (0, 0, 0) alone
      {{-10, -300, -1e9f}, {50, 255}},  // below the grid: the first point
      {{nan, nan, nan}, {50, 255}},     // NaN positions read the first point
      {{-inf, -128, -128}, {50, 255}},
      {{128, 128, 128}, {top, 0}},  // the last point with weight 0.99999 per axis
      {{1000, 1e9f, inf}, {top, 0}},
  };
  for (const Row &r : rows) {
    float out[2];
    table.Interpolate(r.lab, out, 1);
    EXPECT_NEAR(out[0], r.expect[0], 1e-3) << r.lab[0] << " " << r.lab[1] << " " << r.lab[2];
    EXPECT_EQ(out[1], r.expect[1]) << r.lab[0] << " " << r.lab[1] << " " << r.lab[2];
  }
  // A NaN grid value gives 255 wherever it takes part; count 0 writes nothing.
  buffer[0] = nan;
  float out[2] = {-1, -1};
  const float lab[3] = {1, -127, -127};
  table.Interpolate(lab, out, 1);
  EXPECT_EQ(out[0], 255.0f);
  out[0] = -1;
  table.Interpolate(lab, out, 0);
  EXPECT_EQ(out[0], -1.0f);
}

#ifdef VELMORA_HAVE_LCMS2
// Little CMS interpolates the same grid, as the B-to-A table of a Lab-PCS output profile,
// trilinearly too.
TEST(LabToProcTable, InterpolationAgreesWithLittleCmsOnTheSameGrid) {
  LabToProcTable table(3, 4, 8, 16, 4);
  const Geometry g = LabToProcTableAccess::GetGeometry(table);
  const auto smooth = [](const double *c, int o) {
    return 127.5 + 100 * std::sin(0.03 * c[0] + 0.02 * (o + 1) * c[1]) * std::cos(0.015 * c[2]);
  };
  FillGrid(table, smooth);
  const velmora::testing::LcmsLabTable lcms(table.GetBuffer(), g.nrL, g.nrA, g.nrB, 3);
  ASSERT_NE(lcms.transform, nullptr);

  const int count = 20000;
  std::vector<float> ours = RandomLab(count, 11);
  const std::vector<float> theirs = velmora::testing::ToLcmsLab(ours);
  std::vector<float> mine(ours.size()), reference(ours.size());
  table.Interpolate(ours.data(), mine.data(), count);
  cmsDoTransform(lcms.transform, theirs.data(), reference.data(), count);
  double worst = 0.0;
  for (std::size_t i = 0; i < mine.size(); ++i)
    worst = std::max(worst, std::fabs(mine[i] - reference[i] * 2.55));
  EXPECT_LT(worst, 0.01);
}
#endif

}  // namespace
