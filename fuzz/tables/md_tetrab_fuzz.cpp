// Byte tables against the double table on the same grid: for the default weight range every
// interpolated byte lies within N + (N + 1) / 2 of the exact simplex blend (weights truncated to
// 1/255 per dimension, N + 1 rounded products) and the corners come back exactly; tables with
// any other weight range (which blend modulo 256) are run for memory safety. Masked points are
// left alone. md_tetrab_expand keeps every source vertex when the new grid refines the old one, and
// otherwise fills each new vertex with the source's interpolation at the vertex's input bytes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ostrel/ostrel.h"
#include "tests/tables/byte_table_support.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

namespace {

constexpr int kMaxVertices = 1024;
constexpr unsigned char kUntouched = 0xa5;

using velmora::fuzz::Input;

using velmora::fuzz::ignore_report;

int vertex_count(int dimin, int nrgrid) {
  return velmora::fuzz::grid_vertex_count(dimin, nrgrid, kMaxVertices);
}

using velmora::testing::for_each_vertex;

// Interpolates points stored point-major (n bytes each) into m bytes per point.
std::vector<unsigned char> interpolate(MD_TETRAB *t, const std::vector<unsigned char> &points,
                                       const unsigned char *mask, double threshold) {
  const int n = md_tetrab_get_dimin(t), m = md_tetrab_get_dimout(t);
  const int count = static_cast<int>(points.size()) / n;
  std::vector<unsigned char> result(static_cast<std::size_t>(count * m), kUntouched);
  std::vector<unsigned char *> ins(static_cast<std::size_t>(n)), outs(static_cast<std::size_t>(m));
  for (int d = 0; d < n; ++d)
    ins[d] = const_cast<unsigned char *>(points.data()) + d;
  for (int c = 0; c < m; ++c)
    outs[c] = result.data() + c;
  FUZZ_CHECK(md_tetrab_interp(t, ins.data(), n, outs.data(), m, count, mask, threshold) == 1);
  for (int c = 0; c < m; ++c)
    FUZZ_CHECK(outs[c] == result.data() + c + count * m);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  ostrel_set_error_handler(ignore_report, nullptr);
  Input in(data, size);
  const int dimin = 1 + in.byte() % 6, dimout = 1 + in.byte() % 4;
  int nrgrid = 2 + in.byte() % 16;
  while (vertex_count(dimin, nrgrid) < 0)
    --nrgrid;
  const uint8_t shape = in.byte();
  const bool special = shape % 4 == 0;
  const int low = special ? in.byte() : 0, high = special ? in.byte() : 255;
  const int guard = 1 + in.byte() % 3;
  MD_TETRAB *t = md_tetrab_new_special(dimin, dimout, nrgrid, low, high, guard);
  if (low >= high) {
    FUZZ_CHECK(t == nullptr);
    ostrel_set_error_handler(nullptr, nullptr);
    return 0;
  }
  FUZZ_CHECK(t != nullptr);
  MD_TETRAD *d = md_tetrad_new(dimin, dimout, nrgrid, 0.0, 255.0);
  FUZZ_CHECK(d != nullptr);
  std::vector<double> dcoords(static_cast<std::size_t>(dimin));
  int lowest = 255, highest = 0;
  for_each_vertex(
      t, [&](const std::vector<int> &index, const std::vector<unsigned char> &, unsigned char *v) {
        double *w = md_tetrad_vertex_get(d, index.data(), dcoords.data());
        for (int c = 0; c < dimout; ++c) {
          v[c] = in.byte();
          w[c] = v[c];
          lowest = std::min<int>(lowest, v[c]);
          highest = std::max<int>(highest, v[c]);
        }
      });

  // Points from the input, then the two corners of the grid.
  const int count = 1 + in.byte() % 48;
  std::vector<unsigned char> points(static_cast<std::size_t>((count + 2) * dimin));
  for (int i = 0; i < count * dimin; ++i)
    points[i] = in.byte();
  std::fill(points.begin() + count * dimin, points.begin() + (count + 1) * dimin, 0);
  std::fill(points.begin() + (count + 1) * dimin, points.end(), 255);
  const int total = count + 2;
  std::vector<unsigned char> mask(static_cast<std::size_t>(total));
  for (unsigned char &b : mask)
    b = in.byte();
  const bool masked = in.byte() % 2 == 0;
  const double threshold = 127.5;
  const std::vector<unsigned char> got =
      interpolate(t, points, masked ? mask.data() : nullptr, threshold);

  std::vector<double> x(points.begin(), points.end()),
      want(static_cast<std::size_t>(total * dimout));
  std::vector<double *> ins(static_cast<std::size_t>(dimin)),
      outs(static_cast<std::size_t>(dimout));
  for (int k = 0; k < dimin; ++k)
    ins[k] = x.data() + k;
  for (int c = 0; c < dimout; ++c)
    outs[c] = want.data() + c;
  md_tetrad_interp(d, ins.data(), dimin, outs.data(), dimout, total);
  for (int p = 0; p < total; ++p)
    for (int c = 0; c < dimout; ++c) {
      const int b = got[p * dimout + c];
      if (masked && mask[p] <= threshold) {
        FUZZ_CHECK(b == kUntouched);
        continue;
      }
      if (!special) {  // other weight ranges blend modulo 256: only the masking is checked
        FUZZ_CHECK(std::fabs(b - want[p * dimout + c]) <= dimin + (dimin + 1) * 0.5);
        if (p >= count) FUZZ_CHECK(std::fabs(b - want[p * dimout + c]) < 1e-9);  // corners
      }
    }

  // Expansion onto another grid.
  int target = 2 + in.byte() % 16;
  while (vertex_count(dimin, target) < 0)
    --target;
  if (!special) {
    MD_TETRAB *e = md_tetrab_expand(t, target);
    FUZZ_CHECK(e != nullptr);
    FUZZ_CHECK(md_tetrab_get_dimin(e) == dimin && md_tetrab_get_dimout(e) == dimout);
    const bool refines = (target - 1) % (nrgrid - 1) == 0;
    const int factor = refines ? (target - 1) / (nrgrid - 1) : 0;
    std::vector<unsigned char> at_vertices;
    std::vector<const unsigned char *> values;
    for_each_vertex(e, [&](const std::vector<int> &index, const std::vector<unsigned char> &coords,
                           unsigned char *v) {
      if (refines) {
        bool on_source = true;
        std::vector<int> source(index.size());
        for (std::size_t k = 0; k < index.size(); ++k) {
          on_source = on_source && index[k] % factor == 0;
          source[k] = index[k] / factor;
        }
        std::vector<unsigned char> unused(index.size());
        const unsigned char *s = md_tetrab_vertex_get(t, source.data(), unused.data());
        for (int c = 0; c < dimout; ++c) {
          if (on_source) FUZZ_CHECK(v[c] == s[c]);
          FUZZ_CHECK(v[c] >= lowest && v[c] <= highest);
        }
      } else {
        at_vertices.insert(at_vertices.end(), coords.begin(), coords.end());
        values.push_back(v);
      }
    });
    if (!refines) {
      const std::vector<unsigned char> direct = interpolate(t, at_vertices, nullptr, 0.0);
      for (std::size_t i = 0; i < values.size(); ++i)
        for (int c = 0; c < dimout; ++c)
          FUZZ_CHECK(values[i][c] == direct[i * dimout + c]);
    }
    md_tetrab_kill(e);
  }
  md_tetrab_kill(t);
  md_tetrad_kill(d);
  ostrel_set_error_handler(nullptr, nullptr);
  return 0;
}
