// The restriction record and the operations the restricted minimiser works with. Internal; the
// tests reach it directly.
#ifndef VELMORA_OPTIMISE_RESTRICTION_INTERNAL_H
#define VELMORA_OPTIMISE_RESTRICTION_INTERNAL_H

#include <cstdint>

#include "velmora/mat.h"
#include "velmora/restriction.h"

// Constraints on nVars variables: nIneq rows ineqRows . x <= ineqBounds and nEq rows
// eqRows . x = eqValues. The dependent variables dep (ascending) are solved for from the free
// ones (the other indices, ascending): depBlock . x_dep = eqValues - freeBlock . x_free.
struct restriction {
  int nVars;
  int nEq;
  int nIneq;
  double *ineqRows;        // nIneq x nVars, row-major
  double *eqRows;          // nEq x nVars, row-major
  double *eqValues;        // nEq
  double *ineqBounds;      // nIneq
  MATRIX *depBlock;        // nEq x nEq: (r, c) = eqRows[r][dep[c]], factorised at creation
  MATRIX *freeBlock;       // nEq x (nVars - nEq): the free columns in ascending order
  int *dep;                // nEq dependent indices, ascending
  double *lastActivation;  // free vector of the last activation, or null
  double *rhs;             // nEq doubles of working storage for restriction_apply
};

namespace velmora {

// Number of variables of the full space; -1 for null.
int restriction_nr_vars(const RESTRICTION *r);

// Writes the nVars - nEq free indices in ascending order. Returns 1; -1 for null.
int restriction_free_indices(const RESTRICTION *r, int *out);

// Maps a free vector (nVars - nEq values; may be null when there are none) to the full vector
// (nVars values) that satisfies the equality rows. Returns 0; -1 for null. Allocates nothing.
int restriction_apply(RESTRICTION *r, const double *free_values, double *full);

// Maps the free vector sub_free of s (a restriction of r's space with more equalities) to the
// full vector and writes its components at r's free indices to out. Returns 1; -1 for a null
// argument or missing memory.
int restriction_map_back(const RESTRICTION *r, RESTRICTION *s, double *out, const double *sub_free);

// The restriction_activate result that tells the minimiser to stop: no restriction has it.
inline RESTRICTION *restriction_stop_marker() {
  return reinterpret_cast<RESTRICTION *>(~std::uintptr_t{0});
}

// Active-set step after a line search from the free vector `before` to `after`. Returns the stop
// marker when `after` is where r last activated an inequality. Otherwise, when `after` violates
// inequalities, the last violated row v is made an equality: the result is a new restriction
// (owned by the caller) without row v among its inequalities and with it appended to the
// equalities, and out receives the point where the segment crosses row v's boundary, as a free
// vector of the new restriction; `after` is remembered in r. Returns null when nothing is
// violated, the step runs parallel to row v, or memory or the new restriction is missing.
RESTRICTION *restriction_activate(RESTRICTION *r, const double *before, const double *after,
                                  double *out);

// Forgets the remembered activation point.
void restriction_forget_activation(RESTRICTION *r);

}  // namespace velmora

#endif
