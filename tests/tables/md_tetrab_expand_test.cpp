#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "tables/byte_table_support.h"
#include "velmora/md_tetrab.h"

namespace {

using velmora::testing::Bytes;
using velmora::testing::DiagnosticsCapture;
using velmora::testing::for_each_vertex;

// A table of random bytes, or (seed 0) sampled from a smooth function, on which simplex and
// multilinear interpolation nearly agree.
MD_TETRAB *make_table(int n, int m, int g, unsigned seed) {
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  std::mt19937 rng(seed);
  for_each_vertex(t, [&](const std::vector<int> &, const Bytes &coords, unsigned char *v) {
    for (int c = 0; c < m; ++c) {
      double y = 0;
      for (int d = 0; d < n; ++d)
        y += (c + d + 1) * coords[d];
      v[c] = static_cast<unsigned char>(seed ? rng() & 0xff
                                             : std::lround(y / (n * (c + n + 1)) * 0.9 + 10));
    }
  });
  return t;
}

Bytes interpolate_one(MD_TETRAB *t, Bytes coords) {
  Bytes result(md_tetrab_get_dimout(t));
  std::vector<unsigned char *> in, out;
  for (auto &b : coords)
    in.push_back(&b);
  for (auto &b : result)
    out.push_back(&b);
  md_tetrab_interp(t, in.data(), 1, out.data(), 1, 1, nullptr, 0.0);
  return result;
}

// Expansion agrees with interpolating the source at the new vertices' input bytes. On the
// refinement path (G2 - 1 a multiple k of G - 1) each new vertex is the multilinear blend of its
// source cell's corners within the rounding of one 8-bit product per level, every source vertex
// reappears unchanged at k times its index, and on smooth data the source's simplex interpolation
// is within the error of byte weights and rounded products. On the evaluation path each new vertex
// is exactly the source's interpolation, through its curves. The new table has identity curves.
TEST(TableExpansion, AgreesWithTheSourceOnBothPaths) {
  Bytes reverse(256);
  for (int v = 0; v < 256; ++v)
    reverse[v] = static_cast<unsigned char>(255 - v);
  unsigned char *in_curves[6] = {reverse.data()}, *out_curves[4] = {nullptr, reverse.data()};
  for (const auto &shape :
       {std::tuple{3, 3, 17, 33}, std::tuple{4, 4, 5, 9}, std::tuple{2, 1, 17, 17},
        std::tuple{1, 2, 2, 256}, std::tuple{5, 2, 3, 7}, std::tuple{3, 3, 17, 20},
        std::tuple{6, 3, 3, 4}}) {
    // Plain variables, not structured bindings: the lambda below captures them.
    const int n = std::get<0>(shape), m = std::get<1>(shape), g = std::get<2>(shape),
              g2 = std::get<3>(shape);
    const bool refines = (g2 - 1) % (g - 1) == 0;
    const int k = (g2 - 1) / (g - 1);
    for (unsigned seed : {0u, 7u}) {  // smooth, then random data
      SCOPED_TRACE(testing::Message() << n << ": " << g << " -> " << g2 << ", seed " << seed);
      MD_TETRAB *source = make_table(n, m, g, seed);
      if (!refines) md_tetrab_LUT(source, in_curves, out_curves);
      DiagnosticsCapture capture;
      MD_TETRAB *expanded = md_tetrab_expand(source, g2);
      ASSERT_NE(expanded, nullptr);
      EXPECT_TRUE(capture.error_texts().empty());
      std::vector<int> at(n);
      Bytes source_coords(n);
      int direct_error = 0, blend_error = 0, changed_source_bytes = 0;
      for_each_vertex(
          expanded, [&](const std::vector<int> &index, const Bytes &coords, unsigned char *v) {
            const Bytes direct = interpolate_one(source, coords);
            const bool on_source =
                std::all_of(index.begin(), index.end(), [&](int i) { return i % k == 0; });
            for (int ch = 0; ch < m; ++ch) {
              direct_error = std::max(direct_error, std::abs(direct[ch] - v[ch]));
              if (!refines) continue;
              double value = 0;  // the exact multilinear blend of the cell's 2^N corners
              for (int corner = 0; corner < (1 << n); ++corner) {
                double weight = 1;
                for (int d = 0; d < n; ++d) {
                  const int cell = std::min(index[d] / k, g - 2), upper = (corner >> d) & 1;
                  const double t = (index[d] - cell * k) / static_cast<double>(k);
                  at[d] = cell + upper;
                  weight *= upper ? t : 1 - t;
                }
                value += weight * md_tetrab_vertex_get(source, at.data(), source_coords.data())[ch];
              }
              const int error = static_cast<int>(std::ceil(std::abs(v[ch] - value) - 1e-9));
              blend_error = std::max(blend_error, error);
              changed_source_bytes += on_source && error != 0;
            }
          });
      EXPECT_LE(blend_error, n);  // both stay 0 on the evaluation path
      EXPECT_EQ(changed_source_bytes, 0);
      EXPECT_LE(direct_error, !refines ? 0 : seed == 0 ? n + 1 : 255);
      std::vector<int> far(n, g2 - 1);
      Bytes coords(n);
      const unsigned char *v = md_tetrab_vertex_get(expanded, far.data(), coords.data());
      EXPECT_EQ(interpolate_one(expanded, coords), Bytes(v, v + m));
      md_tetrab_kill(expanded);
      md_tetrab_kill(source);
    }
  }
}

// Every allocation of an expansion fails in turn, on both paths: null, the creation's own report
// where it failed there, then the expansion's report; nothing leaked.
TEST(TableExpansion, ReportsFailedAllocationsAndReleasesEverything) {
  const std::string kExpand = "md_tetrab_expand: error in md_tetrab_new";
  MD_TETRAB *source = make_table(2, 2, 3, 1);
  for (int g2 : {5, 4}) {
    MD_TETRAB *expanded = nullptr;
    for (long i = 0; expanded == nullptr && i < 40; ++i) {
      DiagnosticsCapture capture;
      velmora::test_hooks::fail_allocations_after(i);
      expanded = md_tetrab_expand(source, g2);
      velmora::test_hooks::fail_allocations_after(-1);
      const auto texts = capture.error_texts();
      EXPECT_EQ(texts.empty() ? "" : texts.back(), expanded ? "" : kExpand) << "allocation " << i;
      EXPECT_LE(texts.size(), expanded ? 0u : 2u) << "allocation " << i;
    }
    EXPECT_NE(expanded, nullptr);
    md_tetrab_kill(expanded);
  }
  DiagnosticsCapture capture;
  EXPECT_EQ(md_tetrab_expand(source, 1), nullptr);
  EXPECT_EQ(capture.error_texts(),
            (std::vector<std::string>{"md_tetra_new: illegal dimension", kExpand}));
  md_tetrab_kill(source);
}

}  // namespace
