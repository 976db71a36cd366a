// The vector kernels against the scalar path on the same tables and inputs: byte tables byte for
// byte, double tables bit for bit, across layouts, curves, masks, repeats, tails and aliasing.
// Both paths run in one process through the test hook that forces the path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tables/byte_table_support.h"
#include "tables/md_tetra_simd.h"
#include "tables/md_tetrab_internal.h"
#include "tables/md_tetrad_internal.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

namespace {

using velmora::test_hooks::force_table_path;
using velmora::test_hooks::TablePath;
using velmora::testing::Bytes;
using velmora::testing::for_each_vertex;

// Runs f with the path forced, then restores the automatic choice.
template <typename F>
void on_path(TablePath path, F f) {
  force_table_path(path);
  f();
  force_table_path(TablePath::Automatic);
}

// Where a call's inputs and outputs live inside one buffer: element offsets of each input and
// each output of point 0 (-1: a null output) and the strides.
struct Layout {
  const char *name;
  std::vector<long> in;
  long in_stride;
  std::vector<long> out;
  long out_stride;
  bool vectorises;  // whether the kernels take this layout (the rest goes to the scalar path)
};

// Layouts for n inputs and m outputs over count points; the buffer holds `size` elements.
std::vector<Layout> layouts(int n, int m, int count, long &size) {
  std::vector<Layout> all;
  const long c = count;
  auto seq = [](int k, long first, long step) {
    std::vector<long> v(k);
    for (int i = 0; i < k; ++i)
      v[i] = first + i * step;
    return v;
  };
  const long outs = c * n + 8;  // outputs behind the inputs
  all.push_back({"interleaved", seq(n, 0, 1), n, seq(m, outs, 1), m, true});
  all.push_back({"padded pixels", seq(n, 0, 1), n + 1, seq(m, (n + 1) * c + 3, 1), m + 1, true});
  all.push_back({"planar", seq(n, 0, c + 5), 1, seq(m, n * (c + 5), c + 7), 1, true});
  all.push_back({"odd strides", seq(n, 2, 1), n + 4, seq(m, (n + 4) * c + 9, 2), 2 * m + 1, true});
  all.push_back({"reversed planes", seq(n, (n - 1) * (c + 1), -(c + 1)), 1,
                 seq(m, n * (c + 1) + (m - 1) * c, -c), 1, true});
  std::vector<long> some = seq(m, outs, 1);
  some[m / 2] = -1;
  all.push_back({"null channel", seq(n, 0, 1), n, some, m, m > 1});
  const int slot = std::max(n, m);
  all.push_back({"in place", seq(n, 0, 1), slot, seq(m, 0, 1), slot, true});
  // Each point's results land on the next point's inputs: only the scalar order is right.
  all.push_back({"onto the next point", seq(n, 0, 1), slot, seq(m, slot, 1), slot, false});
  // Channels written over each other: the store order decides.
  all.push_back({"overlapping channels", seq(n, 0, 1), n, seq(m, outs, 0), m, m == 1});
  size = std::max((n + 4) * c + 9 + 2 * m * c + 2 * c + 64, (n + m) * (c + 8) + 64);
  return all;
}

// Input points: random, runs of repeats, grid points, and the ordered sweep of a coarse cube.
Bytes byte_points(int n, int count, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes p(static_cast<size_t>(n) * count);
  for (int i = 0; i < count; ++i) {
    const int kind = i / 40 % 4;
    for (int d = 0; d < n; ++d) {
      unsigned char v = static_cast<unsigned char>(rng() >> 24);
      if (kind == 1 && i > 0 && rng() % 4 != 0) v = p[(i - 1) * n + d];  // runs of repeats
      if (kind == 2) v = static_cast<unsigned char>(rng() % 2 ? 0 : 255);
      if (kind == 3) v = static_cast<unsigned char>((i >> (2 * d)) % 4 * 85);
      p[static_cast<size_t>(i) * n + d] = v;
    }
  }
  return p;
}

MD_TETRAB *byte_table(int n, int m, int g, unsigned seed, bool curves) {
  MD_TETRAB *t = md_tetrab_new(n, m, g);
  std::mt19937 rng(seed);
  for_each_vertex(t, [&](const std::vector<int> &, const Bytes &, unsigned char *v) {
    for (int c = 0; c < m; ++c)
      v[c] = static_cast<unsigned char>(rng() >> 24);
  });
  if (curves) {
    std::vector<Bytes> table(n + m, Bytes(256));
    std::vector<unsigned char *> pointers;
    for (Bytes &curve : table) {
      for (auto &b : curve)
        b = static_cast<unsigned char>(rng() >> 24);
      std::sort(curve.begin(), curve.end());
      pointers.push_back(curve.data());
    }
    md_tetrab_LUT(t, pointers.data(), pointers.data() + n);
  }
  return t;
}

// One call in a buffer filled with the given inputs; returns the whole buffer and checks that the
// output pointers advanced by count * out_stride.
Bytes run_bytes(MD_TETRAB *t, const Layout &l, long size, const Bytes &points, int count,
                const unsigned char *mask, double threshold) {
  const int n = static_cast<int>(l.in.size()), m = static_cast<int>(l.out.size());
  Bytes buffer(size, 0x5a);
  for (int p = 0; p < count; ++p) {
    for (int d = 0; d < n; ++d)
      buffer[l.in[d] + p * l.in_stride] = points[static_cast<size_t>(p) * n + d];
  }
  std::vector<unsigned char *> in(n), out(m);
  for (int d = 0; d < n; ++d)
    in[d] = buffer.data() + l.in[d];
  for (int c = 0; c < m; ++c)
    out[c] = l.out[c] < 0 ? nullptr : buffer.data() + l.out[c];
  const std::vector<unsigned char *> out_before = out;
  EXPECT_EQ(md_tetrab_interp(t, in.data(), static_cast<int>(l.in_stride), out.data(),
                             static_cast<int>(l.out_stride), count, mask, threshold),
            1);
  for (int c = 0; c < m; ++c) {
    if (out_before[c] != nullptr) {
      EXPECT_EQ(out[c], out_before[c] + count * l.out_stride);
    }
  }
  return buffer;
}

bool kernel_takes(MD_TETRAB *t, const Layout &l, long size, int count) {
  Bytes buffer(size);
  const int n = static_cast<int>(l.in.size()), m = static_cast<int>(l.out.size());
  std::vector<const unsigned char *> in(n);
  std::vector<unsigned char *> out(m);
  for (int d = 0; d < n; ++d)
    in[d] = buffer.data() + l.in[d];
  for (int c = 0; c < m; ++c)
    out[c] = l.out[c] < 0 ? nullptr : buffer.data() + l.out[c];
  return velmora::md_tetrab_interp_vector(*t, in.data(), l.in_stride, out.data(), l.out_stride,
                                          count, nullptr, -1) > 0;
}

TEST(TablePaths, EnvironmentSwitchesTheVectorKernelsOff) {
  const char *value = std::getenv("VELMORA_NO_SIMD");
  const bool off = value != nullptr && std::string(value) == "1";
  EXPECT_EQ(velmora::vector_kernels_enabled(), velmora::vector_kernels_supported() && !off);
  on_path(TablePath::Scalar, [] { EXPECT_FALSE(velmora::vector_kernels_enabled()); });
  on_path(TablePath::Vector, [] {
    EXPECT_EQ(velmora::vector_kernels_enabled(), velmora::vector_kernels_supported());
  });
}

TEST(TablePaths, ByteKernelsMatchTheScalarPathByteForByte) {
  if (!velmora::vector_kernels_supported()) GTEST_SKIP() << "no AVX2 on this processor";
  struct Shape {
    int n, m, g;
    bool curves;
  };
  const Shape shapes[] = {{3, 3, 17, false}, {3, 3, 33, true},  {4, 4, 17, false}, {4, 4, 9, true},
                          {3, 1, 2, true},   {4, 2, 5, false},  {3, 5, 7, true},   {4, 7, 3, false},
                          {3, 4, 17, true},  {4, 7, 17, false},  // strides above 2^15
                          {3, 4, 91, false}};                    // strides above 2^15, three inputs
  const int count = 643;
  for (const Shape &s : shapes) {
    MD_TETRAB *t = byte_table(s.n, s.m, s.g, s.n * 1000 + s.m * 10 + s.g, s.curves);
    const Bytes points = byte_points(s.n, count, s.g);
    Bytes mask(count);
    std::mt19937 rng(s.m);
    for (int p = 0; p < count; ++p)  // stretches of unmasked, masked and mixed points
      mask[p] = static_cast<unsigned char>(p / 64 % 3 == 0 ? 200 : p / 64 % 3 == 1 ? 3 : rng());
    long size = 0;
    for (const Layout &l : layouts(s.n, s.m, count, size)) {
      SCOPED_TRACE(testing::Message() << s.n << " -> " << s.m << ", G " << s.g
                                      << (s.curves ? ", curves, " : ", ") << l.name);
      EXPECT_EQ(kernel_takes(t, l, size, count), l.vectorises);
      for (const double threshold : {-1.0, 10.0, 127.5, std::nan("")}) {
        const unsigned char *m = threshold < 0 ? nullptr : mask.data();
        Bytes scalar, vector;
        on_path(TablePath::Scalar,
                [&] { scalar = run_bytes(t, l, size, points, count, m, threshold); });
        on_path(TablePath::Vector,
                [&] { vector = run_bytes(t, l, size, points, count, m, threshold); });
        ASSERT_EQ(scalar, vector) << "threshold " << threshold;
      }
    }
    // Every tail length behind whole blocks, and short calls, on the interleaved layout.
    for (int c = 0; c < 64; ++c) {
      long tail_size = 0;
      const Layout l = layouts(s.n, s.m, 64 + c, tail_size)[0];
      Bytes scalar, vector;
      on_path(TablePath::Scalar,
              [&] { scalar = run_bytes(t, l, tail_size, points, 64 + c, nullptr, 0); });
      on_path(TablePath::Vector,
              [&] { vector = run_bytes(t, l, tail_size, points, 64 + c, nullptr, 0); });
      ASSERT_EQ(scalar, vector) << "count " << 64 + c;
      const Layout short_call = layouts(s.n, s.m, c, tail_size)[2];
      on_path(TablePath::Scalar,
              [&] { scalar = run_bytes(t, short_call, tail_size, points, c, nullptr, 0); });
      on_path(TablePath::Vector,
              [&] { vector = run_bytes(t, short_call, tail_size, points, c, nullptr, 0); });
      ASSERT_EQ(scalar, vector) << "count " << c;
    }
    md_tetrab_kill(t);
  }
}

// Inputs and outputs in heap blocks of exactly the bytes a call touches, so that the sanitizer
// build catches any load or store of a kernel beyond them (the kernels' 4- and 16-byte loads
// must stop short of the end and leave the last points to the scalar code).
TEST(TablePaths, ByteKernelsTouchNothingBeyondTheCallersArrays) {
  if (!velmora::vector_kernels_supported()) GTEST_SKIP() << "no AVX2 on this processor";
  for (const int n : {3, 4}) {
    MD_TETRAB *t = byte_table(n, 3, 9, 31, n == 4);
    for (const int stride : {1, 3, 4, 5}) {
      const bool interleaved = stride >= n;
      for (int count = 1; count <= 40; ++count) {
        const Bytes points = byte_points(n, count, count);
        const size_t span = static_cast<size_t>(count - 1) * stride;
        Bytes result[2];
        for (const int k : {0, 1}) {
          std::vector<Bytes> in_blocks(interleaved ? 1 : n, Bytes(span + (interleaved ? n : 1)));
          // Results in three planes, or interleaved (exactly 3 * count bytes) for odd counts.
          const bool rows = count % 2 == 1;
          std::vector<Bytes> out_blocks(rows ? 1 : 3,
                                        Bytes(static_cast<size_t>(count) * (rows ? 3 : 1)));
          std::vector<unsigned char *> in(n);
          for (int d = 0; d < n; ++d) {
            in[d] = interleaved ? in_blocks[0].data() + d : in_blocks[d].data();
            for (int p = 0; p < count; ++p)
              in[d][p * stride] = points[static_cast<size_t>(p) * n + d];
          }
          unsigned char *out[3];
          for (int c = 0; c < 3; ++c)
            out[c] = rows ? out_blocks[0].data() + c : out_blocks[c].data();
          on_path(k == 0 ? TablePath::Scalar : TablePath::Vector, [&] {
            md_tetrab_interp(t, in.data(), stride, out, rows ? 3 : 1, count, nullptr, 0.0);
          });
          for (const Bytes &b : out_blocks)
            result[k].insert(result[k].end(), b.begin(), b.end());
        }
        ASSERT_EQ(result[0], result[1]) << n << " inputs, stride " << stride << ", " << count;
      }
    }
    md_tetrab_kill(t);
  }
}

// The ordered cube of every RGB byte triple at 33 grid points with curves, as a sweep users run.
TEST(TablePaths, ByteKernelsMatchTheScalarPathOnTheOrderedCube) {
  if (!velmora::vector_kernels_supported()) GTEST_SKIP() << "no AVX2 on this processor";
  MD_TETRAB *t = byte_table(3, 3, 33, 5, true);
  const int count = 1 << 24;
  Bytes cube(static_cast<size_t>(count) * 3);
  for (int p = 0; p < count; ++p) {
    cube[3 * p] = static_cast<unsigned char>(p >> 16);
    cube[3 * p + 1] = static_cast<unsigned char>(p >> 8);
    cube[3 * p + 2] = static_cast<unsigned char>(p);
  }
  Bytes scalar(cube.size()), vector(cube.size());
  auto run = [&](Bytes &result) {
    unsigned char *in[3] = {cube.data(), cube.data() + 1, cube.data() + 2};
    unsigned char *out[3] = {result.data(), result.data() + 1, result.data() + 2};
    md_tetrab_interp(t, in, 3, out, 3, count, nullptr, 0.0);
  };
  on_path(TablePath::Scalar, [&] { run(scalar); });
  on_path(TablePath::Vector, [&] { run(vector); });
  EXPECT_TRUE(scalar == vector);
  md_tetrab_kill(t);
}

// Inputs for the double tables in Lab-like units: random points, grid points, ties of equal
// fractions, the range's ends, and values outside it (clamped), including NaN and infinities.
std::vector<double> double_points(int n, int count, double lo, double hi, int g, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> inside(std::min(lo, hi), std::max(lo, hi));
  const double step = (hi - lo) / (g - 1);
  const double specials[] = {lo,
                             hi,
                             lo - 1,
                             hi + 1,
                             std::nan(""),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             -0.0};
  std::vector<double> p(static_cast<size_t>(n) * count);
  for (int i = 0; i < count; ++i) {
    const double shared = inside(rng);
    for (int d = 0; d < n; ++d) {
      double v = inside(rng);
      if (i % 7 == 1) v = lo + static_cast<double>(rng() % g) * step;
      if (i % 7 == 2) v = shared - static_cast<double>(d % 2) * step;  // equal fractions
      if (i % 7 == 3 && rng() % 3 == 0) v = specials[rng() % 8];
      p[static_cast<size_t>(i) * n + d] = v;
    }
  }
  return p;
}

std::vector<double> run_doubles(MD_TETRAD *t, const Layout &l, long size,
                                const std::vector<double> &points, int count) {
  const int n = static_cast<int>(l.in.size()), m = static_cast<int>(l.out.size());
  std::vector<double> buffer(size, -7.0);
  for (int p = 0; p < count; ++p) {
    for (int d = 0; d < n; ++d)
      buffer[l.in[d] + p * l.in_stride] = points[static_cast<size_t>(p) * n + d];
  }
  std::vector<double *> in(n), out(m);
  for (int d = 0; d < n; ++d)
    in[d] = buffer.data() + l.in[d];
  for (int c = 0; c < m; ++c)
    out[c] = l.out[c] < 0 ? nullptr : buffer.data() + l.out[c];
  const std::vector<double *> in_before = in;
  EXPECT_EQ(md_tetrad_interp(t, in.data(), static_cast<int>(l.in_stride), out.data(),
                             static_cast<int>(l.out_stride), count),
            1);
  EXPECT_EQ(in, in_before);
  return buffer;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(TablePaths, DoubleKernelsMatchTheScalarPathBitForBit) {
  if (!velmora::vector_kernels_supported()) GTEST_SKIP() << "no AVX2 on this processor";
  struct Shape {
    int n, m, g;
    double lo, hi;
  };
  const Shape shapes[] = {{3, 3, 33, 0, 100},   {3, 3, 2, -128, 127}, {4, 4, 17, 0, 1},
                          {3, 1, 9, 100, 0},    {4, 5, 5, -1e3, 1e3}, {3, 2, 17, 0, 255},
                          {4, 3, 3, -0.5, 0.25}};
  const int count = 517;
  for (const Shape &s : shapes) {
    MD_TETRAD *t = md_tetrad_new(s.n, s.m, s.g, s.lo, s.hi);
    std::mt19937_64 rng(s.g);
    std::uniform_real_distribution<double> value(-1e4, 1e4);
    std::vector<int> index(s.n, 0);
    std::vector<double> coords(s.n);
    do {
      double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
      for (int c = 0; c < s.m; ++c)
        v[c] = value(rng) * std::pow(10.0, static_cast<int>(rng() % 9) - 4);
    } while (md_tetrad_scan_vertex(t, index.data()) != 0);
    const std::vector<double> points = double_points(s.n, count, s.lo, s.hi, s.g, s.m);
    long size = 0;
    for (const Layout &l : layouts(s.n, s.m, count, size)) {
      SCOPED_TRACE(testing::Message() << s.n << " -> " << s.m << ", G " << s.g << ", " << l.name);
      std::vector<double> scalar, vector;
      on_path(TablePath::Scalar, [&] { scalar = run_doubles(t, l, size, points, count); });
      on_path(TablePath::Vector, [&] { vector = run_doubles(t, l, size, points, count); });
      ASSERT_TRUE(same_bits(scalar, vector));
    }
    for (int c = 0; c < 64; ++c) {
      long tail_size = 0;
      const Layout l = layouts(s.n, s.m, c, tail_size)[c % 3];
      std::vector<double> scalar, vector;
      on_path(TablePath::Scalar, [&] { scalar = run_doubles(t, l, tail_size, points, c); });
      on_path(TablePath::Vector, [&] { vector = run_doubles(t, l, tail_size, points, c); });
      ASSERT_TRUE(same_bits(scalar, vector)) << "count " << c;
    }
    md_tetrad_kill(t);
  }
}

// Several threads interpolate one table at once (the vector path at three inputs, the general
// path, with its per-call work arrays, at five) and get what one thread gets.
TEST(TablePaths, ConcurrentReadersOfOneTableAgreeWithOneThread) {
  for (const int n : {3, 5}) {
    MD_TETRAB *t = byte_table(n, 3, 5, 77, true);
    const int count = 2000, threads = 4;
    std::vector<Bytes> points(threads), alone(threads), together(threads);
    auto run = [&](int k, Bytes &result) {
      result.assign(static_cast<size_t>(count) * 3, 0);
      std::vector<unsigned char *> in(n);
      for (int d = 0; d < n; ++d)
        in[d] = points[k].data() + d;
      unsigned char *out[3] = {result.data(), result.data() + 1, result.data() + 2};
      md_tetrab_interp(t, in.data(), n, out, 3, count, nullptr, 0.0);
    };
    for (int k = 0; k < threads; ++k) {
      points[k] = byte_points(n, count, 100 + k);
      run(k, alone[k]);
    }
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k)
      pool.emplace_back([&, k] { run(k, together[k]); });
    for (std::thread &th : pool)
      th.join();
    for (int k = 0; k < threads; ++k)
      EXPECT_EQ(together[k], alone[k]) << n << " inputs, thread " << k;
    md_tetrab_kill(t);
  }
}

}  // namespace
