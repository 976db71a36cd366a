#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"
#include "velmora/md_tetrab.h"

namespace {

using velmora::testing::DiagnosticsCapture;
using Bytes = std::vector<unsigned char>;

MD_TETRAB *make_random_table(int n, int m, int g, unsigned seed) {
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  std::mt19937 rng(seed);
  std::vector<int> index(n, 0);
  Bytes coords(n);
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c)
      v[c] = static_cast<unsigned char>(rng() & 0xff);
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  return t;
}

// A table sampled from a smooth function, so simplex and multilinear interpolation nearly agree.
MD_TETRAB *make_smooth_table(int n, int m, int g) {
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  std::vector<int> index(n, 0);
  Bytes coords(n);
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c) {
      double y = 0;
      for (int d = 0; d < n; ++d)
        y += (c + d + 1) * coords[d];
      v[c] = static_cast<unsigned char>(std::lround(y / (n * (c + n + 1)) * 0.9 + 10));
    }
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  return t;
}

// Visits every vertex of t: f(index, coords, vertex bytes).
template <typename F>
void for_each_vertex(MD_TETRAB *t, F f) {
  const int n = md_tetrab_get_dimin(t);
  std::vector<int> index(n, 0);
  Bytes coords(n);
  do {
    f(index, coords, md_tetrab_vertex_get(t, index.data(), coords.data()));
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
}

Bytes interpolate_one(MD_TETRAB *t, const Bytes &coords) {
  const int n = md_tetrab_get_dimin(t), m = md_tetrab_get_dimout(t);
  Bytes result(m);
  std::vector<unsigned char *> in(n), out(m);
  for (int d = 0; d < n; ++d)
    in[d] = const_cast<unsigned char *>(coords.data()) + d;
  for (int c = 0; c < m; ++c)
    out[c] = result.data() + c;
  md_tetrab_interp(t, in.data(), 1, out.data(), 1, 1, nullptr, 0.0);
  return result;
}

// On the refinement path every source vertex reappears unchanged at k times its index, and each
// new vertex is the multilinear blend of its source cell's corners within the rounding of one
// 8-bit product per level.
TEST(TableExpansion, RefinementKeepsEverySourceVertexAndBlendsMultilinearly) {
  struct Case {
    int n, m, g, g2;
  };
  for (const Case c : {Case{3, 3, 17, 33}, Case{3, 2, 3, 5}, Case{4, 4, 5, 9}, Case{2, 1, 17, 17},
                       Case{1, 2, 2, 256}, Case{5, 2, 3, 7}}) {
    MD_TETRAB *source = make_random_table(c.n, c.m, c.g, c.g2);
    DiagnosticsCapture capture;
    MD_TETRAB *expanded = md_tetrab_expand(source, c.g2);
    ASSERT_NE(expanded, nullptr);
    EXPECT_TRUE(capture.error_texts().empty());
    EXPECT_EQ(md_tetrab_get_nrpoints(expanded), static_cast<int>(std::pow(c.g2, c.n)));
    const int k = (c.g2 - 1) / (c.g - 1);
    std::vector<int> source_index(c.n);
    Bytes coords(c.n);
    int worst = 0;
    for_each_vertex(expanded, [&](const std::vector<int> &index, const Bytes &, unsigned char *v) {
      // Exact multilinear value from the source corners around the new vertex.
      std::vector<int> cell(c.n);
      std::vector<double> t(c.n);
      for (int d = 0; d < c.n; ++d) {
        cell[d] = std::min(index[d] / k, c.g - 2);
        t[d] = (index[d] - cell[d] * k) / static_cast<double>(k);
      }
      for (int ch = 0; ch < c.m; ++ch) {
        double value = 0;
        for (int corner = 0; corner < (1 << c.n); ++corner) {
          double weight = 1;
          for (int d = 0; d < c.n; ++d) {
            const int upper = (corner >> d) & 1;
            source_index[d] = cell[d] + upper;
            weight *= upper ? t[d] : 1 - t[d];
          }
          value += weight * md_tetrab_vertex_get(source, source_index.data(), coords.data())[ch];
        }
        worst = std::max(worst, static_cast<int>(std::ceil(std::abs(v[ch] - value) - 1e-9)));
      }
      bool on_source_vertex = true;
      for (int d = 0; d < c.n; ++d) {
        on_source_vertex = on_source_vertex && index[d] % k == 0;
        source_index[d] = index[d] / k;
      }
      if (on_source_vertex) {
        const unsigned char *s = md_tetrab_vertex_get(source, source_index.data(), coords.data());
        EXPECT_EQ(Bytes(v, v + c.m), Bytes(s, s + c.m)) << c.g << " -> " << c.g2;
      }
    });
    EXPECT_LE(worst, c.n) << c.n << ": " << c.g << " -> " << c.g2;
    if (c.g == c.g2) {
      int size = 0, size2 = 0;
      const unsigned char *a = md_tetrab_dataptr(source, &size);
      const unsigned char *b = md_tetrab_dataptr(expanded, &size2);
      EXPECT_EQ(Bytes(a, a + size), Bytes(b, b + size2));
    }
    md_tetrab_kill(expanded);
    md_tetrab_kill(source);
  }
}

// Both paths agree with interpolating the source at the new vertices' input bytes, within the
// error of byte weights and rounded products, on smooth data.
TEST(TableExpansion, BothPathsAgreeWithDirectInterpolationOfTheSource) {
  struct Case {
    int n, g, g2;
  };
  for (const Case c : {Case{3, 17, 33}, Case{3, 17, 20}, Case{4, 5, 9}, Case{4, 5, 7},
                       Case{6, 3, 4}, Case{2, 9, 65}}) {
    const int m = 3;
    MD_TETRAB *source = make_smooth_table(c.n, m, c.g);
    MD_TETRAB *expanded = md_tetrab_expand(source, c.g2);
    ASSERT_NE(expanded, nullptr);
    int worst = 0;
    for_each_vertex(expanded, [&](const std::vector<int> &, const Bytes &coords, unsigned char *v) {
      const Bytes direct = interpolate_one(source, coords);
      for (int ch = 0; ch < m; ++ch)
        worst = std::max(worst, std::abs(direct[ch] - v[ch]));
    });
    EXPECT_LE(worst, c.n + 1) << c.n << ": " << c.g << " -> " << c.g2;
    md_tetrab_kill(expanded);
    md_tetrab_kill(source);
  }
}

// The evaluation path samples the source's whole chain, curves included, and the new table
// starts with identity curves; at the far corner it returns the source's far corner.
TEST(TableExpansion, EvaluationPathSamplesTheSourceThroughItsCurves) {
  const int n = 3, m = 2;
  MD_TETRAB *source = make_random_table(n, m, 3, 5);
  Bytes identity_far = interpolate_one(source, Bytes(n, 255));
  MD_TETRAB *plain = md_tetrab_expand(source, 4);
  EXPECT_EQ(interpolate_one(plain, Bytes(n, 255)), identity_far);
  md_tetrab_kill(plain);

  Bytes in_curve(256), out_curve(256);
  for (int v = 0; v < 256; ++v) {
    in_curve[v] = static_cast<unsigned char>(255 - v);
    out_curve[v] = static_cast<unsigned char>(v / 2);
  }
  unsigned char *ins[3] = {in_curve.data(), nullptr, in_curve.data()};
  unsigned char *outs[2] = {nullptr, out_curve.data()};
  md_tetrab_LUT(source, ins, outs);
  MD_TETRAB *expanded = md_tetrab_expand(source, 4);
  ASSERT_NE(expanded, nullptr);
  for_each_vertex(expanded, [&](const std::vector<int> &, const Bytes &coords, unsigned char *v) {
    EXPECT_EQ(Bytes(v, v + m), interpolate_one(source, coords));
  });
  // Identity curves on the new table: interpolating at a vertex returns the vertex bytes.
  std::vector<int> corner(n, 3);
  Bytes coords(n);
  const unsigned char *far = md_tetrab_vertex_get(expanded, corner.data(), coords.data());
  EXPECT_EQ(interpolate_one(expanded, coords), Bytes(far, far + m));
  md_tetrab_kill(expanded);
  md_tetrab_kill(source);
}

// Every allocation of an expansion fails in turn, on both paths: null, the creation's own report
// where it failed there, then the expansion's report; nothing leaked.
TEST(TableExpansion, ReportsFailedAllocationsAndReleasesEverything) {
  const std::string kExpand = "md_tetrab_expand: error in md_tetrab_new";
  for (int g2 : {5, 4}) {
    MD_TETRAB *source = make_random_table(2, 2, 3, 1);
    bool succeeded = false;
    for (long i = 0; !succeeded; ++i) {
      DiagnosticsCapture capture;
      velmora::test_hooks::fail_allocations_after(i);
      MD_TETRAB *expanded = md_tetrab_expand(source, g2);
      velmora::test_hooks::fail_allocations_after(-1);
      succeeded = expanded != nullptr;
      const auto texts = capture.error_texts();
      if (succeeded) {
        EXPECT_TRUE(texts.empty());
      } else {
        ASSERT_FALSE(texts.empty());
        EXPECT_LE(texts.size(), 2u);
        EXPECT_EQ(texts.back(), kExpand) << "allocation " << i;
      }
      md_tetrab_kill(expanded);
      ASSERT_LT(i, 40);
    }
    md_tetrab_kill(source);
  }
  MD_TETRAB *source = make_random_table(2, 2, 3, 1);
  DiagnosticsCapture capture;
  EXPECT_EQ(md_tetrab_expand(source, 1), nullptr);
  EXPECT_EQ(capture.error_texts(),
            (std::vector<std::string>{"md_tetra_new: illegal dimension", kExpand}));
  md_tetrab_kill(source);
}

}  // namespace
