// Internals of the downhill simplex solver that tests reach.
#ifndef VELMORA_OPTIMISE_DHSM_INTERNAL_H
#define VELMORA_OPTIMISE_DHSM_INTERNAL_H

#include "velmora/dhsm.h"

// The default convergence measure. d = distance between the worst and the best vertex; when d
// exceeds the tolerance of the solve running on this thread, returns d. Otherwise probes the best
// vertex x along each coordinate k in turn at x_k + 0.005 h and x_k - 0.005 h (h = x_k, or the
// largest |coordinate| of x when |x_k| < 1e-20): the first probe lower than the best value
// returns tol + d (not converged); none returns d. Probes go through solver->trial.
double dhsm_conv_default(const SFM_DHSM *solver, double *par, const void *data, int *info, int ihi,
                         int ilo);

#endif
