#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

#ifdef VELMORA_HAVE_LCMS2
#include <lcms2.h>
#endif

namespace {

using velmora::testing::DiagnosticsCapture;
using Bytes = std::vector<unsigned char>;
// Grid value of channel c at the vertex with the given grid index.
using GridModel = std::function<unsigned char(const int *index, int c)>;

MD_TETRAB *make_byte_table(int n, int m, int g, const GridModel &model) {
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  if (t == nullptr) return nullptr;
  std::vector<int> index(n, 0);
  Bytes coords(n);
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c)
      v[c] = model(index.data(), c);
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  return t;
}

// The same grid as a double table over [0, 255], so byte inputs are its coordinates.
MD_TETRAD *make_double_table(int n, int m, int g, const GridModel &model) {
  MD_TETRAD *t = md_tetrad_new(n, m, g, 0.0, 255.0);
  std::vector<int> index(n, 0);
  std::vector<double> coords(n);
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c)
      v[c] = model(index.data(), c);
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);
  return t;
}

// Interpolates points stored point-major (n bytes each); returns m bytes per point.
Bytes interpolate(MD_TETRAB *t, int n, int m, const Bytes &points, const Bytes *mask = nullptr,
                  double threshold = 0.0, unsigned char fill = 0) {
  const int count = static_cast<int>(points.size()) / n;
  Bytes result(static_cast<size_t>(count) * m, fill);
  std::vector<unsigned char *> in(n), out(m);
  for (int d = 0; d < n; ++d)
    in[d] = const_cast<unsigned char *>(points.data()) + d;
  for (int c = 0; c < m; ++c)
    out[c] = result.data() + c;
  EXPECT_EQ(md_tetrab_interp(t, in.data(), n, out.data(), m, count, mask ? mask->data() : nullptr,
                             threshold),
            1);
  for (int c = 0; c < m; ++c)
    EXPECT_EQ(out[c], result.data() + c + count * m);
  return result;
}

std::vector<double> interpolate(const MD_TETRAD *t, int n, int m, const Bytes &points) {
  const int count = static_cast<int>(points.size()) / n;
  std::vector<double> x(points.begin(), points.end()), result(static_cast<size_t>(count) * m);
  std::vector<double *> in(n), out(m);
  for (int d = 0; d < n; ++d)
    in[d] = x.data() + d;
  for (int c = 0; c < m; ++c)
    out[c] = result.data() + c;
  md_tetrad_interp(t, in.data(), n, out.data(), m, count);
  return result;
}

GridModel random_model(unsigned seed) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng](const int *, int) { return static_cast<unsigned char>((*rng)() & 0xff); };
}

Bytes random_points(int n, int count, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes points(static_cast<size_t>(n) * count);
  for (auto &b : points)
    b = static_cast<unsigned char>(rng() & 0xff);
  return points;
}

// Byte weights are truncated to 1/255 (at most one unit per dimension of the value range) and
// each of the N+1 products is rounded: the byte result stays within that of the exact blend.
TEST(ByteTable, AgreesWithTheDoubleTableOnTheSameGridInEveryDimension) {
  for (int n = 1; n <= 6; ++n) {
    for (int g : {2, 5, 17}) {
      if (n >= 5 && g == 17) continue;
      const int m = n % 2 ? 3 : 4;
      MD_TETRAB *b = make_byte_table(n, m, g, random_model(n * 100 + g));
      MD_TETRAD *d = make_double_table(n, m, g, random_model(n * 100 + g));
      ASSERT_NE(b, nullptr);
      Bytes points = random_points(n, 3000, n);
      points.insert(points.end(), n, 255);
      points.insert(points.end(), n, 0);
      const Bytes got = interpolate(b, n, m, points);
      const auto want = interpolate(d, n, m, points);
      const double bound = n + (n + 1) * 0.5;
      double worst = 0;
      for (size_t i = 0; i < got.size(); ++i)
        worst = std::max(worst, std::abs(got[i] - want[i]));
      EXPECT_LE(worst, bound) << "n=" << n << " g=" << g;
      // The corners of the grid are exact.
      for (int c = 0; c < 2 * m; ++c)
        EXPECT_EQ(got[got.size() - 2 * m + c], want[want.size() - 2 * m + c]);
      md_tetrab_kill(b);
      md_tetrad_kill(d);
    }
  }
}

// When G - 1 divides 255 every vertex's input bytes land exactly on it.
TEST(ByteTable, ReturnsTheVertexBytesAtEveryVertexOfAnAlignedGrid) {
  for (auto [n, g] : {std::pair{3, 16}, std::pair{4, 6}, std::pair{5, 4}}) {
    const int m = 2;
    MD_TETRAB *t = make_byte_table(n, m, g, random_model(7));
    std::vector<int> index(n, 0);
    Bytes coords(n);
    do {
      const unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
      const Bytes got = interpolate(t, n, m, coords);
      EXPECT_EQ(got, Bytes(v, v + m)) << "n=" << n;
    } while (md_tetrab_scan_vertex(t, index.data()) != 0);
    md_tetrab_kill(t);
  }
}

TEST(ByteTable, LaysOutVerticesWithOneGuardAndRoundsTheirCoordinates) {
  const int n = 3, m = 2, g = 4;
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  int size = 0;
  unsigned char *data = md_tetrab_dataptr(t, &size);
  EXPECT_EQ(size, (g + 1) * (g + 1) * (g + 1) * m);
  EXPECT_EQ(std::count(data, data + size, 0), size);
  EXPECT_EQ(md_tetrab_get_dimin(t), n);
  EXPECT_EQ(md_tetrab_get_dimout(t), m);
  EXPECT_EQ(md_tetrab_get_nrpoints(t), g * g * g);
  int index[3] = {0, 0, 0};
  unsigned char coords[3];
  int visited = 0;
  do {
    const unsigned char *v = md_tetrab_vertex_get(t, index, coords);
    EXPECT_EQ(v - data, ((index[0] * (g + 1) + index[1]) * (g + 1) + index[2]) * m);
    for (int d = 0; d < n; ++d)
      EXPECT_EQ(coords[d], index[d] * 85);
    ++visited;
  } while (md_tetrab_scan_vertex(t, index) != 0);
  EXPECT_EQ(visited, g * g * g);
  md_tetrab_kill(t);

  // Halves round up (255 / 2, 255 * 3 / 34), also on grids too long for 32-bit products.
  for (auto [grid, i, expected] :
       {std::tuple{3, 1, 128}, std::tuple{35, 3, 23}, std::tuple{10000001, 5000000, 128},
        std::tuple{10000001, 10000000, 255}}) {
    t = md_tetrab_new(1, 1, grid);
    unsigned char c = 0;
    md_tetrab_vertex_get(t, &i, &c);
    EXPECT_EQ(c, expected) << grid;
    md_tetrab_kill(t);
  }
}

// One input over G = 2 with grid values 0 and v: the result is the product table entry
// v * x / 255 rounded, for every v and input x.
TEST(ByteTable, UsesRoundedProductsOfTheDefaultRange) {
  MD_TETRAB *t = md_tetrab_new(1, 1, 2);
  unsigned char *data = md_tetrab_dataptr(t, nullptr);
  Bytes inputs(256);
  for (int x = 0; x < 256; ++x)
    inputs[x] = static_cast<unsigned char>(x);
  for (int v = 0; v < 256; ++v) {
    data[0] = 0;
    data[1] = static_cast<unsigned char>(v);
    const Bytes got = interpolate(t, 1, 1, inputs);
    for (int x = 0; x < 256; ++x)
      ASSERT_EQ(got[x], static_cast<int>(std::floor(v * x / 255.0 + 0.5))) << v << " " << x;
  }
  md_tetrab_kill(t);
}

// A private range: weights trunc(x / 255 * (high - low) + low), products by the same formula
// within the range and 255 outside it, summed modulo 256.
TEST(ByteTable, BuildsThePrivateProductTableOfAnotherWeightRange) {
  for (auto [low, high] : {std::pair{16, 235}, std::pair{0, 100}, std::pair{3, 255}}) {
    MD_TETRAB *t = md_tetrab_new_special(1, 1, 2, low, high, 1);
    ASSERT_NE(t, nullptr);
    auto product = [&](int r, int c) {
      if (r < low || r > high || c < low || c > high) return 255;
      return static_cast<int>((c - low) * static_cast<double>(r - low) / (high - low) + low + 0.5);
    };
    unsigned char *data = md_tetrab_dataptr(t, nullptr);
    Bytes inputs(256);
    for (int x = 0; x < 256; ++x)
      inputs[x] = static_cast<unsigned char>(x);
    for (auto [v0, v1] : {std::pair{0, 255}, std::pair{40, 200}, std::pair{235, 16}}) {
      data[0] = static_cast<unsigned char>(v0);
      data[1] = static_cast<unsigned char>(v1);  // data[2] is the zero guard
      const Bytes got = interpolate(t, 1, 1, inputs);
      for (int x = 0; x < 256; ++x) {
        // Input 255 is the last grid point: weight low towards the guard.
        const int f = x == 255 ? low : x * (high - low) / 255 + low;
        const int lower = x == 255 ? v1 : v0, upper = x == 255 ? 0 : v1;
        const int expected = (product(lower, high - f) + product(upper, f)) & 0xff;
        ASSERT_EQ(got[x], expected) << low << ".." << high << " x=" << x;
      }
    }
    md_tetrab_kill(t);
  }
}

TEST(ByteTable, SelectsGridIndexAndFractionWeightPerInputByte) {
  MD_TETRAB *t = make_byte_table(1, 1, 2, [](const int *i, int) { return i[0] ? 200 : 100; });
  const Bytes got = interpolate(t, 1, 1, {0, 128, 255});
  EXPECT_EQ(got, (Bytes{100, 150, 200}));  // weight 128: 100 * 127 / 255 + 200 * 128 / 255
  md_tetrab_kill(t);
  t = make_byte_table(4, 1, 3, [](const int *, int) { return 255; });
  const Bytes full = interpolate(t, 4, 1, random_points(4, 500, 3));
  EXPECT_EQ(std::count(full.begin(), full.end(), 255), 500);
  md_tetrab_kill(t);
}

// Curves compose: the table with curves equals output curve o (table without curves (input
// curve i (x))); null arrays and null entries reinstall the identity.
TEST(ByteTable, AppliesInputAndOutputCurvesAroundTheGrid) {
  for (auto [n, m] : {std::pair{3, 2}, std::pair{3, 3}, std::pair{4, 4}, std::pair{5, 3}}) {
    const int g = 5;
    MD_TETRAB *curved = make_byte_table(n, m, g, random_model(11));
    MD_TETRAB *plain = make_byte_table(n, m, g, random_model(11));
    std::vector<Bytes> in_curves(n, Bytes(256)), out_curves(m, Bytes(256));
    for (int v = 0; v < 256; ++v) {
      for (int d = 0; d < n; ++d)
        in_curves[d][v] = static_cast<unsigned char>(d % 2 ? 255 - v : v * v / 255);
      for (int c = 0; c < m; ++c) {
        out_curves[c][v] = static_cast<unsigned char>(c % 2 ? std::sqrt(v / 255.0) * 255 : 255 - v);
      }
    }
    std::vector<unsigned char *> ins(n), outs(m);
    for (int d = 0; d < n; ++d)
      ins[d] = in_curves[d].data();
    for (int c = 0; c < m; ++c)
      outs[c] = out_curves[c].data();
    EXPECT_EQ(md_tetrab_LUT(curved, ins.data(), outs.data()), 1);

    const Bytes points = random_points(n, 1000, 5);
    Bytes through_curves(points);
    for (size_t i = 0; i < points.size(); ++i)
      through_curves[i] = in_curves[i % n][points[i]];
    const Bytes got = interpolate(curved, n, m, points);
    const Bytes grid = interpolate(plain, n, m, through_curves);
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i], out_curves[i % m][grid[i]]) << "n=" << n;

    ins[1] = nullptr;
    md_tetrab_LUT(curved, ins.data(), nullptr);
    for (size_t i = 1; i < points.size(); i += n)
      through_curves[i] = points[i];
    EXPECT_EQ(interpolate(curved, n, m, points), interpolate(plain, n, m, through_curves));
    md_tetrab_LUT(curved, nullptr, nullptr);
    EXPECT_EQ(interpolate(curved, n, m, points), interpolate(plain, n, m, points));
    md_tetrab_kill(curved);
    md_tetrab_kill(plain);
  }
}

// Masked points are left as the caller had them; a repeat copies the point before, unless that
// point was skipped, in which case it is computed.
TEST(ByteTable, SkipsMaskedPointsAndRepeatsOnlyComputedResults) {
  for (int n : {3, 6}) {
    const int m = 2;
    MD_TETRAB *t = make_byte_table(n, m, 3, random_model(21));
    Bytes points;
    const Bytes a = random_points(n, 1, 1), b = random_points(n, 1, 2);
    for (const Bytes *p : {&a, &a, &b, &b, &b, &a})
      points.insert(points.end(), p->begin(), p->end());
    const Bytes alone_a = interpolate(t, n, m, a), alone_b = interpolate(t, n, m, b);
    const Bytes expected_all = [&] {
      Bytes e;
      for (const Bytes *r : {&alone_a, &alone_a, &alone_b, &alone_b, &alone_b, &alone_a})
        e.insert(e.end(), r->begin(), r->end());
      return e;
    }();
    EXPECT_EQ(interpolate(t, n, m, points), expected_all);

    // Points a a b b b a: the third b follows a skipped b that followed a computed b.
    for (const Bytes &mask : {Bytes{0, 9, 10, 11, 200, 0}, Bytes{200, 9, 200, 10, 11, 0}}) {
      const Bytes got = interpolate(t, n, m, points, &mask, 10.0, 0x5a);
      for (int p = 0; p < 6; ++p) {
        const bool skipped = mask[p] <= 10;
        for (int c = 0; c < m; ++c)
          EXPECT_EQ(got[p * m + c], skipped ? 0x5a : expected_all[p * m + c]) << n << " " << p;
      }
    }
    Bytes all_ten(6, 10);
    EXPECT_EQ(interpolate(t, n, m, points, &all_ten, 10.0, 0x5a), Bytes(12, 0x5a));
    EXPECT_EQ(interpolate(t, n, m, points, &all_ten, -1.0), expected_all);
    EXPECT_EQ(interpolate(t, n, m, points, &all_ten, std::nan("")), expected_all);
    md_tetrab_kill(t);
  }
}

// Results written over the inputs (in place, stride 3) equal those written elsewhere, even
// when a point's input equals the result just written before it.
TEST(ByteTable, TransformsInPlaceAndNullChannelsStayUntouched) {
  MD_TETRAB *t = make_byte_table(3, 3, 2, [](const int *i, int c) {
    return static_cast<unsigned char>(i[c] ? 0 : 255);  // inverts each channel exactly
  });
  const Bytes points = {10, 20, 30, 245, 235, 225, 245, 235, 225, 77, 1, 2};
  const Bytes apart = interpolate(t, 3, 3, points);
  EXPECT_EQ(Bytes(apart.begin() + 3, apart.begin() + 6), (Bytes{10, 20, 30}));
  Bytes buffer = points;
  unsigned char *in[3] = {&buffer[0], &buffer[1], &buffer[2]};
  unsigned char *out[3] = {&buffer[0], &buffer[1], &buffer[2]};
  md_tetrab_interp(t, in, 3, out, 3, 4, nullptr, 0.0);
  EXPECT_EQ(buffer, apart);

  Bytes partial(12, 0xee);
  unsigned char *some[3] = {&partial[0], nullptr, &partial[2]};
  unsigned char *src[3] = {const_cast<unsigned char *>(&points[0]),
                           const_cast<unsigned char *>(&points[1]),
                           const_cast<unsigned char *>(&points[2])};
  md_tetrab_interp(t, src, 3, some, 3, 4, nullptr, 0.0);
  EXPECT_EQ(some[1], nullptr);
  EXPECT_EQ(some[0], &partial[0] + 12);
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(partial[3 * p], apart[3 * p]);
    EXPECT_EQ(partial[3 * p + 1], 0xee);
  }
  unsigned char *again[3] = {&partial[0], nullptr, &partial[2]};
  EXPECT_EQ(md_tetrab_interp(t, src, 3, again, 3, 0, nullptr, 0.0), 1);
  EXPECT_EQ(again[0], &partial[0]);
  md_tetrab_kill(t);
}

TEST(ByteTable, RefusesIllegalAndOversizedTablesWithOneReport) {
  struct Case {
    int n, m, g, low, high, guard;
    const char *message;
  };
  const Case cases[] = {
      {0, 1, 2, 0, 255, 1, "md_tetra_new: illegal dimension"},
      {3, 0, 2, 0, 255, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 1, 0, 255, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 2, 100, 100, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 2, 200, 100, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 2, -1, 255, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 2, 0, 256, 1, "md_tetra_new: illegal dimension"},
      {3, 1, 2, 0, 255, 0, "md_tetra_new: illegal dimension"},
      {2, 1, 65536, 0, 255, 1, "md_tetra_new: insufficient memory"},
      {3, 1, 2, 0, 255, 2000, "md_tetra_new: insufficient memory"},
      {20, 1, 2, 0, 255, 1, "md_tetra_new: insufficient memory"},
  };
  for (const Case &c : cases) {
    DiagnosticsCapture capture;
    EXPECT_EQ(md_tetrab_new_special(c.n, c.m, c.g, c.low, c.high, c.guard), nullptr);
    EXPECT_EQ(capture.error_texts(), std::vector<std::string>{c.message}) << c.n << " " << c.g;
  }
  EXPECT_EQ(md_tetrab_kill(nullptr), nullptr);
}

// Each allocation of creation fails in turn: one report with its message, nothing leaked.
TEST(ByteTable, ReportsEachFailedAllocationAndReleasesTheRest) {
  const char *kMemory = "md_tetra_new: insufficient memory";
  const char *kMalloc = "md_tetrab_new: malloc failure";
  const std::map<bool, std::vector<std::string>> expected = {
      // record, data, strides, index table array, 2 index tables, curves (3), [products],
      // work arrays, composed lookups (2)
      {false,
       {kMemory, kMalloc, kMemory, kMalloc, kMalloc, kMalloc, kMemory, kMemory, kMemory, kMemory,
        kMemory, kMemory}},
      {true,
       {kMemory, kMalloc, kMemory, kMalloc, kMalloc, kMalloc, kMemory, kMemory, kMemory,
        "md_tetrab_new: insuff. mem.", kMemory, kMemory, kMemory}},
  };
  for (const auto &[special, messages] : expected) {
    for (size_t i = 0; i <= messages.size(); ++i) {
      DiagnosticsCapture capture;
      velmora::test_hooks::fail_allocations_after(static_cast<long>(i));
      MD_TETRAB *t = md_tetrab_new_special(2, 1, 3, 0, special ? 254 : 255, 1);
      velmora::test_hooks::fail_allocations_after(-1);
      if (i == messages.size()) {
        EXPECT_NE(t, nullptr);
        EXPECT_TRUE(capture.error_texts().empty());
      } else {
        EXPECT_EQ(t, nullptr);
        EXPECT_EQ(capture.error_texts(), std::vector<std::string>{messages[i]})
            << "allocation " << i;
      }
      md_tetrab_kill(t);
    }
  }
}

#ifdef VELMORA_HAVE_LCMS2
// At three inputs Little CMS 2 splits the cube into the same six simplices; its 8-bit forced-
// CLUT transform interpolates the same grid in 16 bits, so the byte table is within a unit or two.
TEST(ByteTable, AgreesWithLittleCmsEightBitClutAtThreeInputs) {
  for (int g : {17, 33}) {
    const GridModel model = random_model(g);
    MD_TETRAB *t = make_byte_table(3, 3, g, model);
    std::vector<cmsUInt16Number> grid(g * g * g * 3);
    int index[3] = {0, 0, 0};
    unsigned char coords[3];
    do {
      const unsigned char *v = md_tetrab_vertex_get(t, index, coords);
      const int linear = (index[0] * g + index[1]) * g + index[2];
      for (int c = 0; c < 3; ++c)
        grid[linear * 3 + c] = static_cast<cmsUInt16Number>(v[c] * 257);
    } while (md_tetrab_scan_vertex(t, index) != 0);

    cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, 3, 3);
    cmsPipelineInsertStage(pipeline, cmsAT_END,
                           cmsStageAllocCLut16bit(nullptr, g, 3, 3, grid.data()));
    cmsHPROFILE link = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(link, 4.3);
    cmsSetDeviceClass(link, cmsSigLinkClass);
    cmsSetColorSpace(link, cmsSigRgbData);
    cmsSetPCS(link, cmsSigRgbData);
    ASSERT_TRUE(cmsWriteTag(link, cmsSigAToB0Tag, pipeline));
    cmsHTRANSFORM xform =
        cmsCreateTransform(link, TYPE_RGB_8, nullptr, TYPE_RGB_8, INTENT_PERCEPTUAL,
                           cmsFLAGS_NOCACHE | cmsFLAGS_NOWHITEONWHITEFIXUP | cmsFLAGS_FORCE_CLUT |
                               cmsFLAGS_GRIDPOINTS(g));
    ASSERT_NE(xform, nullptr);

    const int count = 1 << 18;
    const Bytes points = random_points(3, count, 9);
    Bytes theirs(points.size());
    cmsDoTransform(xform, points.data(), theirs.data(), count);
    const Bytes ours = interpolate(t, 3, 3, points);
    std::map<int, int> histogram;
    for (size_t i = 0; i < ours.size(); ++i)
      ++histogram[std::abs(ours[i] - theirs[i])];
    std::ostringstream distribution;
    for (auto [difference, times] : histogram)
      distribution << " " << difference << ":" << times;
    std::printf("g=%d |byte table - lcms2| (difference:count):%s\n", g, distribution.str().c_str());
    EXPECT_LE(histogram.rbegin()->first, 2) << distribution.str();
    EXPECT_GT(histogram[0], static_cast<int>(ours.size()) / 2) << distribution.str();
    cmsDeleteTransform(xform);
    cmsCloseProfile(link);
    cmsPipelineFree(pipeline);
    md_tetrab_kill(t);
  }
}
#endif

}  // namespace
