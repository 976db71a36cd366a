// Double tables against linear functions: simplex interpolation reproduces an affine function of
// the inputs exactly (up to rounding) wherever the point lies, after clamping onto the range, for
// every dimension, grid size and range, ascending or descending. A table that is created at all
// must have a usable grid: finite vertex coordinates that move from min towards max, with max
// interpolated near the last vertex.
// The pointer advance of md_tetrad_interp follows its header (in only for five or more inputs).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ostrel/ostrel.h"
#include "velmora/md_tetrad.h"

namespace {

constexpr int kMaxVertices = 4096;

using velmora::fuzz::Input;

using velmora::fuzz::ignore_report;

int vertex_count(int dimin, int nrgrid) {
  return velmora::fuzz::grid_vertex_count(dimin, nrgrid, kMaxVertices);
}

// Any range: a table is refused or has a grid whose ends are min and max.
void extreme_range(Input &in) {
  const int nrgrid = 2 + in.byte() % 30;
  const double min = in.raw_double(), max = in.raw_double();
  MD_TETRAD *t = md_tetrad_new(1, 1, nrgrid, min, max);
  if (t == nullptr) return;
  FUZZ_CHECK(std::isfinite(min) && std::isfinite(max) && min != max);
  int index[1] = {0};
  double coord = 0.0, previous = min;
  do {
    *md_tetrad_vertex_get(t, index, &coord) = index[0];
    FUZZ_CHECK(std::isfinite(coord));
    if (index[0] == 0)
      FUZZ_CHECK(coord == min);
    else
      FUZZ_CHECK(max > min ? coord >= previous : coord <= previous);
    previous = coord;
  } while (md_tetrad_scan_vertex(t, index) != 0);
  FUZZ_CHECK(previous != min);  // the step did not vanish
  double x[2] = {min, max}, y[2] = {-1.0, -1.0};
  double *ins[1] = {x}, *outs[1] = {y};
  FUZZ_CHECK(md_tetrad_interp(t, ins, 1, outs, 1, 2) == 1);
  FUZZ_CHECK(y[0] == 0.0);
  // A step of a few subnormal units is coarse: max lands near, not on, the last vertex.
  FUZZ_CHECK(y[1] <= nrgrid - 1 && y[1] >= 0.5 * (nrgrid - 1));
  md_tetrad_kill(t);
}

void linear(Input &in) {
  const int dimin = 1 + in.byte() % 8;
  const int dimout = 1 + in.byte() % 4;
  int nrgrid = 2 + in.byte() % 15;
  while (vertex_count(dimin, nrgrid) < 0)
    --nrgrid;
  const double min = static_cast<int8_t>(in.byte()) * 0.25;
  const double max = static_cast<int8_t>(in.byte()) * 0.25;
  MD_TETRAD *t = md_tetrad_new(dimin, dimout, nrgrid, min, max);
  if (min == max) {
    FUZZ_CHECK(t == nullptr);
    return;
  }
  FUZZ_CHECK(t != nullptr);
  // f_c(x) = a[c][0] + sum over d of a[c][d + 1] x_d
  std::vector<double> a(static_cast<std::size_t>(dimout * (dimin + 1)));
  double magnitude = 1.0;
  for (double &v : a) {
    v = static_cast<int8_t>(in.byte());
    magnitude += std::fabs(v) * std::max({1.0, std::fabs(min), std::fabs(max)});
  }
  const auto f = [&](int c, const double *x) {
    double s = a[c * (dimin + 1)];
    for (int d = 0; d < dimin; ++d)
      s += a[c * (dimin + 1) + d + 1] * x[d];
    return s;
  };
  std::vector<int> index(static_cast<std::size_t>(dimin), 0);
  std::vector<double> coords(static_cast<std::size_t>(dimin));
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < dimout; ++c)
      v[c] = f(c, coords.data());
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);

  // Points: coordinates a little beyond the range on both sides, NaN for byte 255.
  const int count = 1 + in.byte() % 64;
  const int in_stride = 1 + in.byte() % 3, out_stride = 1 + in.byte() % 3;
  std::vector<std::vector<double>> xs(
      static_cast<std::size_t>(dimin),
      std::vector<double>(static_cast<std::size_t>(count * in_stride)));
  for (int p = 0; p < count; ++p)
    for (int d = 0; d < dimin; ++d) {
      const uint8_t b = in.byte();
      xs[d][p * in_stride] = b == 255 ? std::nan("") : min + (b - 16) / 223.0 * (max - min);
    }
  std::vector<std::vector<double>> ys(
      static_cast<std::size_t>(dimout),
      std::vector<double>(static_cast<std::size_t>(count * out_stride), 0.5));
  std::vector<double *> ins(static_cast<std::size_t>(dimin)),
      outs(static_cast<std::size_t>(dimout));
  for (int d = 0; d < dimin; ++d)
    ins[d] = xs[d].data();
  const int skipped = in.byte() % (dimout + 1);  // a null channel is skipped
  for (int c = 0; c < dimout; ++c)
    outs[c] = c == skipped ? nullptr : ys[c].data();
  FUZZ_CHECK(md_tetrad_interp(t, ins.data(), in_stride, outs.data(), out_stride, count) == 1);
  for (int d = 0; d < dimin; ++d)
    FUZZ_CHECK(ins[d] == xs[d].data() + (dimin >= 5 ? count * in_stride : 0));
  for (int c = 0; c < dimout; ++c)
    FUZZ_CHECK(outs[c] == (c == skipped ? nullptr : ys[c].data() + count * out_stride));

  const double lo = std::min(min, max), hi = std::max(min, max);
  std::vector<double> clamped(static_cast<std::size_t>(dimin));
  for (int p = 0; p < count; ++p) {
    for (int d = 0; d < dimin; ++d) {
      const double x = xs[d][p * in_stride];
      clamped[d] = std::isnan(x) ? min : std::clamp(x, lo, hi);
    }
    for (int c = 0; c < dimout; ++c) {
      if (c == skipped) {
        FUZZ_CHECK(ys[c][p * out_stride] == 0.5);
        continue;
      }
      FUZZ_CHECK(std::fabs(ys[c][p * out_stride] - f(c, clamped.data())) <= 1e-10 * magnitude);
      for (int s = 1; s < out_stride; ++s)
        FUZZ_CHECK(ys[c][p * out_stride + s] == 0.5);
    }
  }
  md_tetrad_kill(t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  ostrel_set_error_handler(ignore_report, nullptr);
  Input in(data, size);
  if (in.byte() % 4 == 0)
    extreme_range(in);
  else
    linear(in);
  ostrel_set_error_handler(nullptr, nullptr);
  return 0;
}
