/* Linear restrictions on n real variables: k inequality rows (row . x <= bound) and m equality rows
   (row . x = value). The equality rows are eliminated by choosing m dependent variables, so that a
   vector of the n - m remaining free variables (in ascending variable order) determines the full
   vector. A restriction is the constraint model of condirmin_restr (velmora/condirmin.h); callers
   create it, hand it to the minimiser and release it. The minimiser keeps working state in it, so
   one restriction serves one minimisation at a time. */
#ifndef VELMORA_RESTRICTION_H
#define VELMORA_RESTRICTION_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

typedef struct restriction RESTRICTION;

/* Creates a restriction on n variables. ineq_rows holds k rows of n coefficients (row-major) with
   their bounds in ineq_bounds; eq_rows holds m rows of n coefficients with their values in
   eq_values. All four arrays are copied; any of them may be null when its count is 0. The
   dependent variables are the first m-subset of 0 .. n-1, in lexicographic order, whose block of
   equality coefficients has a determinant of magnitude >= 1.0e-5.
   Returns null when n < 1, k < 0, m < 0, m > n, when no subset qualifies (for instance linearly
   dependent equality rows) or when memory runs out; no message is issued. Release with
   restriction_kill.
   A restriction made here always maps free vectors onto the equality rows: its dependent block
   is safely invertible by construction, so the minimiser's mapping of a free vector to the full
   vector cannot fail on it. (That mapping reports -1 only for a null restriction, which the
   minimiser refuses before it starts.) */
VELMORA_API RESTRICTION *restriction_new(const double *ineq_rows, const double *ineq_bounds, int k,
                                         const double *eq_rows, const double *eq_values, int m,
                                         int n);

/* Releases the restriction and everything it owns. Accepts null. Returns 0. */
VELMORA_API int restriction_kill(RESTRICTION *restriction);

VELMORA_EXTERN_C_END

#endif
