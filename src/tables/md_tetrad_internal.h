// The double table record, shared by the table itself and its vector kernel.
#ifndef VELMORA_TABLES_MD_TETRAD_INTERNAL_H
#define VELMORA_TABLES_MD_TETRAD_INTERNAL_H

#include <cstdint>

#include "tables/md_tetra_common.h"
#include "velmora/md_tetrad.h"

struct md_tetrad {
  velmora::TetraShape shape;  // dimin, dimout, nrgrid, nrpoints
  int32_t nrvalues;           // (G+1)^N * M stored doubles
  double step;                // (max - min) / (G - 1)
  double min;
  double max;
  int32_t cornerOffsets[5];  // [0]: the far corner of a cell; the rest as a speed cache
  int32_t *strides;          // value offset between neighbouring grid points, per dimension
  int32_t **indexTables;     // [d][k] = k * strides[d]
  double *data;
};

#endif
