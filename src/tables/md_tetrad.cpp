// Double-precision tetrahedral tables.
//
// A grid cell of N dimensions splits into N! simplices along the order of the point's fractional
// coordinates; the value at a point is the barycentric blend of the N+1 vertices of its simplex:
// starting at the cell's base corner, one dimension is added per vertex in descending order of
// the fractions. Each dimension stores G grid points plus one zero guard position, so a point
// exactly at `max` needs no boundary test: the guards it touches get weight zero.
#include "velmora/md_tetrad.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "foundation/alloc.h"
#include "foundation/error.h"
#include "tables/md_tetra_common.h"
#include "tables/md_tetra_simd.h"
#include "tables/md_tetrad_internal.h"

using velmora::kMaxTetraDimensions;

namespace {

constexpr int kGuardPositions = 1;

MD_TETRAD *release(MD_TETRAD *table) {
  if (table == nullptr) return nullptr;
  if (table->indexTables != nullptr) {
    for (int d = 0; d < table->shape.dimin; ++d)
      velmora::mem_free(table->indexTables[d]);
    velmora::mem_free(table->indexTables);
  }
  velmora::mem_free(table->strides);
  velmora::mem_free(table->data);
  velmora::mem_free(table);
  return nullptr;
}

// Besides the counts, the grid spacing must be a finite non-zero number: a range too wide for a
// double (step infinite) or too narrow to be divided (step zero) has no usable grid.
bool is_legal(int dimin, int dimout, int nrgrid, double min, double max) {
  if (dimin < 1 || dimin > kMaxTetraDimensions || dimout < 1 || nrgrid < 2) return false;
  const double step = (max - min) / (nrgrid - 1);
  return std::isfinite(min) && std::isfinite(max) && std::isfinite(step) && step != 0.0;
}

// Strides, index tables and the corner-offset cache; false after a report on failure.
bool build_offsets(MD_TETRAD *t) {
  const int n = t->shape.dimin;
  const int s = t->shape.nrgrid + kGuardPositions;
  t->strides = velmora::alloc_array<int32_t>(static_cast<size_t>(n));
  if (t->strides == nullptr) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return false;
  }
  velmora::fill_grid_offsets(t->nrvalues, n, s, t->strides, t->cornerOffsets);

  t->indexTables = velmora::calloc_array<int32_t *>(static_cast<size_t>(n));
  if (t->indexTables == nullptr) {
    VELMORA_REPORT("md_tetrad_new: insuff. mem.");
    return false;
  }
  for (int d = 0; d < n; ++d) {
    t->indexTables[d] = velmora::alloc_array<int32_t>(static_cast<size_t>(t->shape.nrgrid));
    if (t->indexTables[d] == nullptr) {
      VELMORA_REPORT("md_tetrad_new: insuff. mem.");
      return false;
    }
    for (int k = 0; k < t->shape.nrgrid; ++k)
      t->indexTables[d][k] = k * t->strides[d];
  }

  return true;
}

// Everything one point's interpolation needs: the vertex offsets of its simplex and their weights.
template <int Capacity>
struct Simplex {
  int32_t vertex[Capacity + 1];
  double weight[Capacity + 1];
};

// Grid coordinate of v, clamped onto [0, G-1] (NaN to 0) so no input reads outside the table.
inline double grid_coordinate(double v, double min, double step, double last_index) {
  const double x = (v - min) / step;
  return std::min(std::max(0.0, x), last_index);  // max(0, NaN) is 0
}

// One step of the sorting network on (fraction, stride) pairs: the pair at b moves in front of
// the pair at a when its fraction is strictly greater. Written without branches, since random
// inputs make the comparison unpredictable.
inline void exchange_if_greater(double *f, int32_t *stride, int a, int b) {
  const double fa = f[a], fb = f[b];
  const int32_t mask = -static_cast<int32_t>(fb > fa);
  const int32_t swapped = (stride[a] ^ stride[b]) & mask;
  f[a] = std::max(fa, fb);  // fb when fb > fa, else fa
  f[b] = std::min(fa, fb);
  stride[a] ^= swapped;
  stride[b] ^= swapped;
}

// Vertices and weights of the simplex holding a point, from its fractions f sorted in descending
// order and the strides of the dimensions in that order.
template <int Capacity>
inline void build_simplex(int n, int32_t base, int32_t far_corner, const double *f,
                          const int32_t *stride, Simplex<Capacity> &s) {
  s.vertex[0] = base;
  s.weight[0] = 1.0 - f[0];
  for (int k = 1; k < n; ++k) {
    s.vertex[k] = s.vertex[k - 1] + stride[k - 1];
    s.weight[k] = f[k - 1] - f[k];
  }
  s.vertex[n] = base + far_corner;
  s.weight[n] = f[n - 1];
}

// Channels = 0 reads the channel count from the table; a fixed count lets the loop unroll.
template <int Channels, int Capacity>
inline void blend_channels(const double *data, int channels, int n, const Simplex<Capacity> &s,
                           double *const *out, std::ptrdiff_t out_offset) {
  if constexpr (Channels > 0) channels = Channels;
  for (int c = 0; c < channels; ++c) {
    double *dst = out[c];
    if (dst == nullptr) continue;
    double value = s.weight[0] * data[s.vertex[0] + c];
    for (int k = 1; k <= n; ++k)
      value += s.weight[k] * data[s.vertex[k] + c];
    dst[out_offset] = value;
  }
}

// Straight-line path for N = 1 .. 4: the loops have compile-time bounds and unroll. The table's
// fields are copied to locals first, since the stores to the outputs could otherwise alias them.
template <int N, int Channels>
void interp_fixed(const MD_TETRAD &t, double *const *in, std::ptrdiff_t in_stride, double **out,
                  std::ptrdiff_t out_stride, int count) {
  const double min = t.min, step = t.step, last_index = t.shape.nrgrid - 1;
  const double *data = t.data;
  const int32_t far_corner = t.cornerOffsets[0];
  const double *inputs[N];
  const int32_t *tables[N];
  int32_t strides[N];
  for (int d = 0; d < N; ++d) {
    inputs[d] = in[d];
    tables[d] = t.indexTables[d];
    strides[d] = t.strides[d];
  }
  constexpr int kLocalOutputs = Channels > 0 ? Channels : 1;
  double *outputs[kLocalOutputs];
  if constexpr (Channels > 0) {
    for (int c = 0; c < Channels; ++c)
      outputs[c] = out[c];
  }
  double *const *dst = Channels > 0 ? outputs : out;
  for (int p = 0; p < count; ++p) {
    double f[N];
    int32_t base = 0;
    for (int d = 0; d < N; ++d) {
      const double x = grid_coordinate(inputs[d][p * in_stride], min, step, last_index);
      const int i = static_cast<int>(x);
      f[d] = x - i;
      base += tables[d][i];
    }
    int32_t stride[N];
    for (int d = 0; d < N; ++d)
      stride[d] = strides[d];
    velmora::run_network<N>([&](int a, int b) { exchange_if_greater(f, stride, a, b); });
    Simplex<N> s;
    build_simplex(N, base, far_corner, f, stride, s);
    blend_channels<Channels>(data, t.shape.dimout, N, s, dst, p * out_stride);
  }
}

// The common colour cases (three and four channels) get their own unrolled instances.
template <int N>
void interp_fixed_any_channels(const MD_TETRAD &t, double *const *in, std::ptrdiff_t in_stride,
                               double **out, std::ptrdiff_t out_stride, int count) {
  switch (t.shape.dimout) {
    case 3:
      interp_fixed<N, 3>(t, in, in_stride, out, out_stride, count);
      break;
    case 4:
      interp_fixed<N, 4>(t, in, in_stride, out, out_stride, count);
      break;
    default:
      interp_fixed<N, 0>(t, in, in_stride, out, out_stride, count);
      break;
  }
}

// General path for N >= 5: the same steps with loops over N, advancing the input pointers.
void interp_general(const MD_TETRAD &t, double **in, std::ptrdiff_t in_stride, double **out,
                    std::ptrdiff_t out_stride, int count) {
  const int n = t.shape.dimin;
  const double last_index = t.shape.nrgrid - 1;
  for (int p = 0; p < count; ++p) {
    double f[kMaxTetraDimensions];
    int32_t base = 0;
    for (int d = 0; d < n; ++d) {
      const double x = grid_coordinate(*in[d], t.min, t.step, last_index);
      const int i = static_cast<int>(x);
      f[d] = x - i;
      base += t.indexTables[d][i];
      in[d] += in_stride;
    }
    int order[kMaxTetraDimensions];
    for (int d = 0; d < n; ++d)
      order[d] = d;
    velmora::sort_descending(order, n, [&](int placed, int d) { return f[placed] < f[d]; });
    double sorted[kMaxTetraDimensions] = {};
    int32_t stride[kMaxTetraDimensions];
    for (int k = 0; k < n; ++k) {
      sorted[k] = f[order[k]];
      stride[k] = t.strides[order[k]];
    }
    Simplex<kMaxTetraDimensions> s;
    build_simplex(n, base, t.cornerOffsets[0], sorted, stride, s);
    blend_channels<0>(t.data, t.shape.dimout, n, s, out, p * out_stride);
  }
}

// The scalar path for any N: the reference for the vector kernels.
void interp_scalar(const MD_TETRAD &t, double **in, std::ptrdiff_t in_stride, double **out,
                   std::ptrdiff_t out_stride, int count) {
  switch (t.shape.dimin) {
    case 1:
      interp_fixed_any_channels<1>(t, in, in_stride, out, out_stride, count);
      break;
    case 2:
      interp_fixed_any_channels<2>(t, in, in_stride, out, out_stride, count);
      break;
    case 3:
      interp_fixed_any_channels<3>(t, in, in_stride, out, out_stride, count);
      break;
    case 4:
      interp_fixed_any_channels<4>(t, in, in_stride, out, out_stride, count);
      break;
    default:
      interp_general(t, in, in_stride, out, out_stride, count);
      break;
  }
}

// Points done .. count-1 of a call whose first points a vector kernel has done (N <= 4, so the
// caller's input pointers are not advanced).
void interp_rest(const MD_TETRAD &t, double **in, std::ptrdiff_t in_stride, double **out,
                 std::ptrdiff_t out_stride, int count, int done) {
  if (done >= count) return;
  double *ins[4];
  double *outputs[velmora::kVectorMaxChannels];
  const int m = t.shape.dimout;
  for (int d = 0; d < t.shape.dimin; ++d)
    ins[d] = in[d] + done * in_stride;
  for (int c = 0; c < m; ++c)
    outputs[c] = out[c] == nullptr ? nullptr : out[c] + done * out_stride;
  interp_scalar(t, ins, in_stride, outputs, out_stride, count - done);
}

}  // namespace

extern "C" MD_TETRAD *md_tetrad_new(int dimin, int dimout, int nrgrid, double min, double max) {
  if (!is_legal(dimin, dimout, nrgrid, min, max)) {
    VELMORA_REPORT("md_tetra_new: illegal dimension");
    return nullptr;
  }
  velmora::TetraShape shape;
  int32_t nrvalues;
  if (!velmora::tetra_checked_shape(dimin, dimout, nrgrid, kGuardPositions, shape, nrvalues)) {
    return nullptr;
  }

  auto *t = velmora::calloc_array<MD_TETRAD>(1);
  if (t == nullptr) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return nullptr;
  }
  t->shape = shape;
  t->nrvalues = nrvalues;
  t->min = min;
  t->max = max;
  t->step = (max - min) / (nrgrid - 1);

  t->data = velmora::calloc_array<double>(static_cast<size_t>(nrvalues));
  if (t->data == nullptr) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return release(t);
  }
  if (!build_offsets(t)) return release(t);
  return t;
}

extern "C" MD_TETRAD *md_tetrad_kill(MD_TETRAD *table) {
  return release(table);
}

extern "C" double *md_tetrad_vertex_get(MD_TETRAD *table, const int *index, double *coords) {
  int32_t offset = 0;
  for (int d = 0; d < table->shape.dimin; ++d) {
    coords[d] = index[d] * table->step + table->min;
    offset += table->indexTables[d][index[d]];
  }
  return table->data + offset;
}

extern "C" int md_tetrad_scan_vertex(const MD_TETRAD *table, int *index) {
  return velmora::tetra_scan_vertex(table->shape, index);
}

extern "C" int md_tetrad_interp(const MD_TETRAD *table, double **in, int in_stride, double **out,
                                int out_stride, int count) {
  if (count <= 0) return 1;
  const MD_TETRAD &t = *table;
  int done = 0;
  if ((t.shape.dimin == 3 || t.shape.dimin == 4) && t.shape.dimout <= velmora::kVectorMaxChannels &&
      velmora::vector_kernels_enabled()) {
    done = velmora::md_tetrad_interp_vector(t, in, in_stride, out, out_stride, count);
  }
  if (done > 0) {
    interp_rest(t, in, in_stride, out, out_stride, count, done);
  } else {
    interp_scalar(t, in, in_stride, out, out_stride, count);
  }
  const std::ptrdiff_t advance = static_cast<std::ptrdiff_t>(count) * out_stride;
  for (int c = 0; c < t.shape.dimout; ++c) {
    if (out[c] != nullptr) out[c] += advance;
  }
  return 1;
}
