#include "tables/md_tetra_common.h"

#include <cstdint>

#include "foundation/error.h"

namespace velmora {

int tetra_scan_vertex(const TetraShape &shape, int *index) {
  int64_t linear = 0;
  int64_t place = 1;
  for (int d = 0; d < shape.dimin; ++d) {
    linear += index[d] * place;
    place *= shape.nrgrid;
  }
  for (int d = 0; d < shape.dimin; ++d) {
    if (++index[d] < shape.nrgrid) break;
    index[d] = 0;
  }
  return static_cast<int>(shape.nrpoints - (linear + 1));
}

void fill_grid_offsets(int32_t nrvalues, int dimin, int positions, int32_t *strides,
                       int32_t *corner_offsets) {
  int32_t stride = nrvalues;
  int32_t far_corner = 0;
  for (int d = 0; d < dimin; ++d) {
    stride /= positions;
    strides[d] = stride;
    far_corner += stride;
  }
  corner_offsets[0] = far_corner;
  if (dimin <= 4) {
    for (int d = 0; d < dimin; ++d)
      corner_offsets[1 + d] = far_corner - strides[d];
  }
  if (dimin == 2) {
    corner_offsets[1] = strides[0];
    corner_offsets[2] = strides[1];
  }
}

bool tetra_checked_shape(int dimin, int dimout, int nrgrid, int guard, TetraShape &shape,
                         int32_t &nrvalues) {
  const int64_t points = checked_grid_size(nrgrid, dimin, 1);
  const int64_t values = checked_grid_size(int64_t{nrgrid} + guard, dimin, dimout);
  if (dimin > kMaxTetraDimensions || points < 0 || values < 0) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return false;
  }
  shape = {dimin, dimout, nrgrid, static_cast<int32_t>(points)};
  nrvalues = static_cast<int32_t>(values);
  return true;
}

int64_t checked_grid_size(int64_t base, int exponent, int64_t factor) {
  constexpr int64_t kLimit = INT32_MAX;
  if (base < 1 || factor < 1 || factor > kLimit) return -1;
  int64_t size = factor;
  for (int i = 0; i < exponent; ++i) {
    if (size > kLimit / base) return -1;
    size *= base;
  }
  return size;
}

}  // namespace velmora
