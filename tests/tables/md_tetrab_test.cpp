#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "tables/byte_table_support.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

#ifdef VELMORA_HAVE_LCMS2
#include <lcms2.h>
#endif

namespace {

using velmora::testing::Bytes;
using velmora::testing::DiagnosticsCapture;
using velmora::testing::for_each_vertex;

MD_TETRAB *random_table(int n, int m, int g, unsigned seed) {
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  std::mt19937 rng(seed);
  for_each_vertex(t, [&](const std::vector<int> &, const Bytes &, unsigned char *v) {
    for (int c = 0; c < m; ++c)
      v[c] = static_cast<unsigned char>(rng() & 0xff);
  });
  return t;
}

Bytes random_points(int n, int count, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes points(static_cast<size_t>(n) * count);
  for (auto &b : points)
    b = static_cast<unsigned char>(rng() & 0xff);
  return points;
}

// Pointers to k interleaved channels starting at base.
template <typename T>
std::vector<T *> channels(T *base, int k) {
  std::vector<T *> p(k);
  for (int i = 0; i < k; ++i)
    p[i] = base + i;
  return p;
}

// Interpolates points stored point-major (n bytes each); returns m bytes per point.
Bytes interpolate(MD_TETRAB *t, int n, int m, Bytes points, const Bytes *mask = nullptr,
                  double threshold = 0.0, unsigned char fill = 0) {
  const int count = static_cast<int>(points.size()) / n;
  Bytes result(static_cast<size_t>(count) * m, fill);
  md_tetrab_interp(t, channels(points.data(), n).data(), n, channels(result.data(), m).data(), m,
                   count, mask ? mask->data() : nullptr, threshold);
  return result;
}

// Byte weights are truncated to 1/255 (at most one unit per dimension of the value range) and
// each of the N+1 products is rounded: the byte result stays within that of the exact blend by
// the double table over [0, 255] on the same grid. The grid's corners, and every vertex when
// G - 1 divides 255, are reproduced exactly.
TEST(ByteTable, AgreesWithTheDoubleTableOnTheSameGridInEveryDimension) {
  for (int n = 1; n <= 6; ++n) {
    for (int g : {2, 5, 16}) {
      if (n >= 5 && g == 16) continue;
      SCOPED_TRACE(testing::Message() << "n=" << n << " g=" << g);
      const int m = n % 2 ? 3 : 4;
      MD_TETRAB *b = random_table(n, m, g, n * 100 + g);
      MD_TETRAD *d = md_tetrad_new(n, m, g, 0.0, 255.0);
      Bytes points = random_points(n, 3000, n);
      std::vector<double> dcoords(n);
      for_each_vertex(b, [&](const std::vector<int> &index, const Bytes &coords, unsigned char *v) {
        std::copy(v, v + m, md_tetrad_vertex_get(d, index.data(), dcoords.data()));
        points.insert(points.end(), coords.begin(), coords.end());
      });
      const Bytes got = interpolate(b, n, m, points);
      std::vector<double> x(points.begin(), points.end()), want(got.size());
      md_tetrad_interp(d, channels(x.data(), n).data(), n, channels(want.data(), m).data(), m,
                       static_cast<int>(points.size()) / n);
      const size_t first = 3000 * m, corner = got.size() - m;  // the vertices come last
      double worst = 0;
      int inexact = 0;
      for (size_t i = 0; i < got.size(); ++i) {
        worst = std::max(worst, std::abs(got[i] - want[i]));
        const bool exact = i < first + m || i >= corner || (i >= first && 255 % (g - 1) == 0);
        inexact += exact && i >= first && got[i] != want[i];
      }
      EXPECT_LE(worst, n + (n + 1) * 0.5);
      EXPECT_EQ(inexact, 0);
      md_tetrab_kill(b);
      md_tetrad_kill(d);
    }
  }
}

// Vertex input bytes are index * 255 / (G - 1) with halves rounded up, also on grids too long
// for 32-bit products.
TEST(ByteTable, RoundsVertexInputBytesHalvesUp) {
  for (auto [grid, i, expected] :
       {std::tuple{3, 1, 128}, {35, 3, 23}, {10000001, 5000000, 128}, {10000001, 10000000, 255}}) {
    MD_TETRAB *t = md_tetrab_new(1, 1, grid);
    unsigned char c = 0;
    md_tetrab_vertex_get(t, &i, &c);
    EXPECT_EQ(c, expected) << grid;
    md_tetrab_kill(t);
  }
}

// The product table observed through a one-input table over G = 2 with grid values 0 and v:
// input x (below the last grid point) yields P(v, w(x)), w(x) its fraction weight. Properties
// rather than the formula: the largest value passes a weight unchanged (which reveals w), P is
// symmetric and non-decreasing in the value, and with the default range it is within half a unit
// of the exact product v * w / 255.
TEST(ByteTable, ProductTableIsSymmetricMonotoneAndCloseToTheExactProduct) {
  Bytes inputs(255);
  std::iota(inputs.begin(), inputs.end(), 0);
  for (const int high : {255, 200, 128}) {
    SCOPED_TRACE(testing::Message() << "weights 0 .. " << high);
    MD_TETRAB *t = md_tetrab_new_special(1, 1, 2, 0, high, 1);
    ASSERT_NE(t, nullptr);
    unsigned char *data = md_tetrab_dataptr(t, nullptr);
    std::vector<Bytes> product(high + 1);  // product[v][x] = P(v, w(x))
    for (int v = 0; v <= high; ++v) {
      data[1] = static_cast<unsigned char>(v);
      product[v] = interpolate(t, 1, 1, inputs);
    }
    const Bytes &weight = product[high];
    int asymmetric = 0, decreasing = 0;
    double worst = 0;
    for (int x = 0; x < 255; ++x) {
      for (int y = 0; y < 255; ++y)
        asymmetric += product[weight[x]][y] != product[weight[y]][x];
      for (int v = 1; v <= high; ++v)
        decreasing += product[v][x] < product[v - 1][x];
      for (int v = 0; v <= high; ++v)
        worst = std::max(worst, std::abs(product[v][x] - v * weight[x] / 255.0));
    }
    EXPECT_EQ(asymmetric, 0);
    EXPECT_EQ(decreasing, 0);
    if (high == 255) {
      EXPECT_LE(worst, 0.5);
      EXPECT_EQ(weight[0], 0);  // a grid point takes its vertex whole
    }
    md_tetrab_kill(t);
  }
}

// The table with curves equals output curve o (table without curves (input curve i (x))); null
// arrays and null entries reinstall the identity. Three and four channels take their own paths.
TEST(ByteTable, AppliesInputAndOutputCurvesAroundTheGrid) {
  for (auto [n, m] : {std::pair{3, 2}, {3, 3}, {4, 4}, {5, 3}}) {
    MD_TETRAB *curved = random_table(n, m, 5, 11), *plain = random_table(n, m, 5, 11);
    std::vector<Bytes> curves(n + m, Bytes(256));  // n input curves, then m output curves
    std::vector<unsigned char *> pointers(n + m);
    for (int j = 0; j < n + m; ++j) {
      for (int v = 0; v < 256; ++v)
        curves[j][v] = static_cast<unsigned char>(j % 2 ? 255 - v : v * v / 255);
      pointers[j] = curves[j].data();
    }
    EXPECT_EQ(md_tetrab_LUT(curved, pointers.data(), pointers.data() + n), 1);
    const Bytes points = random_points(n, 1000, 5);
    Bytes through(points);
    for (size_t i = 0; i < points.size(); ++i)
      through[i] = curves[i % n][points[i]];
    Bytes want = interpolate(plain, n, m, through);
    for (size_t i = 0; i < want.size(); ++i)
      want[i] = curves[n + i % m][want[i]];
    EXPECT_EQ(interpolate(curved, n, m, points), want) << "n=" << n << " m=" << m;

    pointers[1] = nullptr;
    md_tetrab_LUT(curved, pointers.data(), nullptr);
    for (size_t i = 1; i < points.size(); i += n)
      through[i] = points[i];
    EXPECT_EQ(interpolate(curved, n, m, points), interpolate(plain, n, m, through));
    md_tetrab_kill(curved);
    md_tetrab_kill(plain);
  }
}

// Masked points are left as the caller had them; a repeat copies the point before, unless that
// point was skipped, in which case it is computed. The table inverts each channel exactly, so in
// place (results over the inputs) the third point's input b equals the result just written over
// the second (a): it must still be computed. Null output channels stay untouched.
TEST(ByteTable, SkipsMaskedPointsAndRepeatsOnlyComputedResults) {
  for (int n : {3, 6}) {
    MD_TETRAB *t = md_tetrab_new(n, n, 2);
    for_each_vertex(t, [n](const std::vector<int> &i, const Bytes &, unsigned char *v) {
      for (int c = 0; c < n; ++c)
        v[c] = i[c] ? 0 : 255;
    });
    Bytes a = random_points(n, 1, 1), b(n), points, expected;
    std::transform(a.begin(), a.end(), b.begin(), [](unsigned char x) { return 255 - x; });
    for (const Bytes *p : {&a, &a, &b, &b, &b, &a}) {
      points.insert(points.end(), p->begin(), p->end());
      expected.insert(expected.end(), p == &a ? b.begin() : a.begin(), p == &a ? b.end() : a.end());
    }
    EXPECT_EQ(interpolate(t, n, n, points), expected);
    // In the second mask the fifth point repeats a skipped point that repeated a computed one.
    for (const Bytes &mask : {Bytes{0, 9, 10, 11, 200, 0}, Bytes{200, 9, 200, 10, 11, 0}}) {
      const Bytes got = interpolate(t, n, n, points, &mask, 10.0, 0x5a);
      for (int i = 0; i < 6 * n; ++i)
        EXPECT_EQ(got[i], mask[i / n] <= 10 ? 0x5a : expected[i]) << n << " " << i / n;
    }
    const Bytes all_ten(6, 10);  // a NaN threshold masks nothing
    EXPECT_EQ(interpolate(t, n, n, points, &all_ten, std::nan("")), expected);

    Bytes buffer = points, partial(points.size(), 0xee);
    auto in = channels(buffer.data(), n), out = in, some = channels(partial.data(), n);
    md_tetrab_interp(t, in.data(), n, out.data(), n, 6, nullptr, 0.0);
    EXPECT_EQ(buffer, expected);
    some[1] = nullptr;
    md_tetrab_interp(t, channels(points.data(), n).data(), n, some.data(), n, 6, nullptr, 0.0);
    EXPECT_EQ(some[0], partial.data() + 6 * n);  // the output pointers advance
    for (int p = 0; p < 6; ++p)
      expected[p * n + 1] = 0xee;
    EXPECT_EQ(partial, expected);
    md_tetrab_kill(t);
  }
}

TEST(ByteTable, RefusesIllegalAndOversizedTablesWithOneReport) {
  const char *kIllegal = "md_tetra_new: illegal dimension";
  const char *kMemory = "md_tetra_new: insufficient memory";
  const std::tuple<int, int, int, int, int, int, const char *> cases[] = {
      {0, 1, 2, 0, 255, 1, kIllegal},   {3, 0, 2, 0, 255, 1, kIllegal},
      {3, 1, 1, 0, 255, 1, kIllegal},   {3, 1, 2, 100, 100, 1, kIllegal},
      {3, 1, 2, -1, 255, 1, kIllegal},  {3, 1, 2, 0, 256, 1, kIllegal},
      {3, 1, 2, 0, 255, 0, kIllegal},   {2, 1, 65536, 0, 255, 1, kMemory},
      {3, 1, 2, 0, 255, 2000, kMemory}, {20, 1, 2, 0, 255, 1, kMemory},
      {34, 1, 2, 0, 255, 1, kIllegal}};
  for (const auto &[n, m, g, low, high, guard, message] : cases) {
    DiagnosticsCapture capture;
    EXPECT_EQ(md_tetrab_new_special(n, m, g, low, high, guard), nullptr);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>{message}) << n << " " << g;
  }
  EXPECT_EQ(md_tetrab_kill(nullptr), nullptr);
}

// Each allocation of creation fails in turn: one report with its message, nothing leaked.
TEST(ByteTable, ReportsEachFailedAllocationAndReleasesTheRest) {
  const char *kMemory = "md_tetra_new: insufficient memory";
  const char *kMalloc = "md_tetrab_new: malloc failure";
  // record, data, strides, index table array, 2 index tables, curves (3), [a private range's
  // products], composed lookups (2)
  const std::vector<std::string> shared = {kMemory, kMalloc, kMemory, kMalloc, kMalloc, kMalloc,
                                           kMemory, kMemory, kMemory, kMemory, kMemory};
  std::vector<std::string> own = shared;
  own.insert(own.begin() + 9, "md_tetrab_new: insuff. mem.");
  // Three inputs: one more index table, and the vector kernels' lookups after the other two.
  std::vector<std::string> three = shared;
  three.insert(three.begin() + 4, kMalloc);
  three.push_back(kMemory);
  for (const auto &[n, high, messages] :
       {std::tuple{2, 255, shared}, std::tuple{2, 254, own}, std::tuple{3, 255, three}}) {
    for (size_t i = 0; i <= messages.size(); ++i) {
      DiagnosticsCapture capture;
      velmora::test_hooks::fail_allocations_after(static_cast<long>(i));
      MD_TETRAB *t = md_tetrab_new_special(n, 1, 3, 0, high, 1);
      velmora::test_hooks::fail_allocations_after(-1);
      std::vector<std::string> want;
      if (i < messages.size()) want.push_back(messages[i]);
      EXPECT_EQ(capture.error_texts(), want) << n << " inputs, allocation " << i;
      EXPECT_EQ(t == nullptr, !want.empty());
      md_tetrab_kill(t);
    }
  }
}

#ifdef VELMORA_HAVE_LCMS2
// At three inputs Little CMS 2 splits the cube into the same six simplices; its 8-bit forced-
// CLUT transform interpolates the same grid in 16 bits, so the byte table is within a unit or two.
TEST(ByteTable, AgreesWithLittleCmsEightBitClutAtThreeInputs) {
  const int g = 17;
  MD_TETRAB *t = random_table(3, 3, g, g);
  std::vector<cmsUInt16Number> grid(g * g * g * 3);
  for_each_vertex(t, [&](const std::vector<int> &i, const Bytes &, unsigned char *v) {
    for (int c = 0; c < 3; ++c)
      grid[((i[0] * g + i[1]) * g + i[2]) * 3 + c] = static_cast<cmsUInt16Number>(v[c] * 257);
  });
  cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, 3, 3);
  cmsPipelineInsertStage(pipeline, cmsAT_END,
                         cmsStageAllocCLut16bit(nullptr, g, 3, 3, grid.data()));
  cmsHPROFILE link = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(link, 4.3);
  cmsSetDeviceClass(link, cmsSigLinkClass);
  cmsSetColorSpace(link, cmsSigRgbData);
  cmsSetPCS(link, cmsSigRgbData);
  ASSERT_TRUE(cmsWriteTag(link, cmsSigAToB0Tag, pipeline));
  cmsHTRANSFORM xform = cmsCreateTransform(link, TYPE_RGB_8, nullptr, TYPE_RGB_8, INTENT_PERCEPTUAL,
                                           cmsFLAGS_NOCACHE | cmsFLAGS_NOWHITEONWHITEFIXUP |
                                               cmsFLAGS_FORCE_CLUT | cmsFLAGS_GRIDPOINTS(g));
  ASSERT_NE(xform, nullptr);
  const int count = 1 << 16;
  const Bytes points = random_points(3, count, 9), ours = interpolate(t, 3, 3, points);
  Bytes theirs(points.size());
  cmsDoTransform(xform, points.data(), theirs.data(), count);
  int worst = 0;
  for (size_t i = 0; i < ours.size(); ++i)
    worst = std::max(worst, std::abs(ours[i] - theirs[i]));
  EXPECT_LE(worst, 2);
  cmsDeleteTransform(xform);
  cmsCloseProfile(link);
  cmsPipelineFree(pipeline);
  md_tetrab_kill(t);
}
#endif

}  // namespace
