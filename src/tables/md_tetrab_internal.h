// The byte table record, shared by the table itself and its expansion.
#ifndef VELMORA_TABLES_MD_TETRAB_INTERNAL_H
#define VELMORA_TABLES_MD_TETRAB_INTERNAL_H

#include <cstdint>

#include "tables/md_tetra_common.h"
#include "velmora/md_tetrab.h"

namespace velmora {

inline constexpr int kByteValues = 256;
inline constexpr int kProductTableSize = kByteValues * kByteValues;
inline constexpr int kDefaultWeightLow = 0;
inline constexpr int kDefaultWeightHigh = 255;
inline constexpr int kDefaultGuard = 1;
// Bytes allocated behind the grid and the curves, so that the vector kernels' 4-byte loads at the
// last vertex or curve entry stay inside the allocation.
inline constexpr int kVectorLoadSlack = 4;

// The shared product table of the default weight range: entry 256 * r + c = r * c / 255 rounded
// to the nearest integer. Filled once, on first use.
const uint8_t *default_product_table();

}  // namespace velmora

struct md_tetrab {
  velmora::TetraShape shape;  // dimin, dimout, nrgrid, nrpoints
  int32_t inMin;              // 0
  int32_t inMax;              // 255
  int32_t weightLow;
  int32_t weightHigh;
  int32_t guard;                    // positions behind the last grid point of each dimension
  int32_t **indexTables;            // [d][v]: grid index of curved byte v times strides[d]
  uint8_t **inCurves;               // [d][v]
  uint8_t **outCurves;              // [c][v]
  uint8_t fractionWeights[256];     // per curved byte: weight of its position inside its cell
  int32_t nrvalues;                 // (G + guard)^N * M grid bytes
  double inStep;                    // 255 / (G - 1)
  uint8_t *data;                    // grid bytes
  uint8_t *productTable;            // private product table, null for the default range
  const uint8_t *productRows[256];  // row r of the product table in use
  int32_t cornerOffsets[5];         // [0]: far corner of a cell; [1..]: as for the double tables
  int32_t *strides;                 // byte offset between neighbouring grid points, per dimension
  // Lookups composed of the curves and the tables above, rebuilt when the curves change, so the
  // hot loop takes one entry per input byte:
  int32_t *inputOffsets;  // [d * 256 + v]: indexTables[d][inCurves[d][v]]
  uint64_t *inputKeys;    // [d * 256 + v]: sort key of dimension d, see md_tetrab.cpp
  uint8_t *curveBlock;    // storage of all input and output curves
  // For the vector kernels (null unless the table has 3 or 4 inputs, the default weight range and
  // fewer than 2^24 grid bytes): [d * 256 + v] = fraction weight << 24 | inputOffsets[d * 256 + v].
  uint32_t *vectorInputs;
  int32_t outCurvesCurved;  // nonzero unless every output curve is the identity
  int32_t inCurvesCurved;   // nonzero unless every input curve is the identity
};

#endif
