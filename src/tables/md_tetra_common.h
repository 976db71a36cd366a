// What the double and the byte tetrahedral tables share: the leading fields of both records, the
// shared vertex scan and the size guards of creation.
#ifndef VELMORA_TABLES_MD_TETRA_COMMON_H
#define VELMORA_TABLES_MD_TETRA_COMMON_H

#include <cstdint>

namespace velmora {

// Input dimensions that the per-point work arrays of the interpolation hold.
inline constexpr int kMaxTetraDimensions = 33;

// The leading fields of MD_TETRAD and MD_TETRAB, in this order.
struct TetraShape {
  int32_t dimin;     // N
  int32_t dimout;    // M
  int32_t nrgrid;    // G
  int32_t nrpoints;  // G^N
};

// Advances index like an odometer (dimension 0 fastest, wrapping to all zeros after the last
// vertex) and returns the number of vertices after the one given on entry.
int tetra_scan_vertex(const TetraShape &shape, int *index);

// Fills the strides of a guarded grid (`positions` = grid points + guards per dimension, the last
// dimension fastest, nrvalues values in all) and the corner-offset cache of the straight-line
// paths: [0] the far corner of a cell; for N <= 4, [1 + d] the far corner minus the stride of d,
// except for N = 2, where [1] and [2] are the strides of dimensions 0 and 1.
void fill_grid_offsets(int32_t nrvalues, int dimin, int positions, int32_t *strides,
                       int32_t *corner_offsets);

// Fills shape and nrvalues for a table of dimin inputs, dimout outputs and nrgrid points plus
// `guard` guard positions per input. Returns false after the report "md_tetra_new: insufficient
// memory" when a size exceeds 32 bits or dimin exceeds the interpolation's work arrays.
bool tetra_checked_shape(int dimin, int dimout, int nrgrid, int guard, TetraShape &shape,
                         int32_t &nrvalues);

// base^exponent * factor when it fits in a positive 32-bit int; -1 otherwise.
int64_t checked_grid_size(int64_t base, int exponent, int64_t factor);

}  // namespace velmora

#endif
