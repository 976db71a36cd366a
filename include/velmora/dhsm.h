#ifndef __cplusplus
#error "velmora/dhsm.h is a C++ header"
#endif
/* Downhill simplex (Nelder-Mead) minimisation of a function of n real variables: reflection 1,
   expansion 2, contraction 0.5, shrink 0.5 toward the best vertex. Create a solver for n, set a
   start simplex if wanted, solve any number of times, release:

       SFM_DHSM *s = dhsm_new(objective, nullptr, n);
       double fmin;
       int converged = dhsm_solve(s, par, data, info, 0.0, x, 0, &fmin) == 0;
       s = dhsm_kill(s);

   The functions keep C++ linkage. */
#ifndef VELMORA_DHSM_H
#define VELMORA_DHSM_H

#include "velmora/export.h"

struct SFM_DHSM;

/* Objective: the value at x (n doubles). par, data and info are the values given to dhsm_solve,
   passed through unchanged. */
typedef double (*dhsm_objective)(double *par, const void *data, int *info, double *x);

/* Convergence measure, called once per iteration after the vertices are ranked: ihi is the index
   of the worst vertex, ilo of the best. The solve counts as converged when its tolerance is
   greater than the value returned. It may evaluate the objective (writing probes into
   solver->trial) but must not change the simplex or its values. */
typedef double (*dhsm_convergence)(const SFM_DHSM *solver, double *par, const void *data, int *info,
                                   int ihi, int ilo);

/* The solver record, fields in this order; callers read it (a convergence callback inspects the
   simplex and its values) and change it only through the functions below. */
struct SFM_DHSM {
  double *simplex;  /* (n + 1) x n: vertex j occupies elements j * n .. j * n + n - 1 */
  double *values;   /* n + 1: objective value of each vertex */
  double *trial;    /* n + 1: scratch for evaluated, reflected and probe points */
  double *trial2;   /* n + 1: the expansion or contraction point */
  double *centroid; /* n + 1: centroid of all vertices except the worst */
  int nDims;        /* n */
  int initialised;  /* 1 after dhsm_init: the next solve starts from the simplex it built */
  dhsm_objective func;
  dhsm_convergence conv;
};

/* Creates a solver for n >= 1 variables with the objective func and the convergence measure conv
   (null selects the default: the distance between the best and the worst vertex, accepted only
   when no probe of +-0.5% along a coordinate axis about the best vertex finds a lower value).
   Returns null for n = 0, or after a report ("No resources available") when n is negative or an
   allocation fails. The caller owns the solver; release it with dhsm_kill. */
VELMORA_API SFM_DHSM *dhsm_new(dhsm_objective func, dhsm_convergence conv, int n);

/* Builds the start simplex of the next solve only: vertex 0 is x0, vertex j (1 .. n) is x0 with
   step[j-1] added to coordinate j-1. Where that coordinate then exceeds high[j-1] (hasLow and
   hasHigh both given and hasHigh[j-1] != 0) it becomes x0 - 0.1 * (x0 - low) when
   hasLow[j-1] != 0, else x0 - 2 * step. hasLow and hasHigh may be null (no bounds). Returns 0. */
VELMORA_API int dhsm_init(SFM_DHSM *solver, const int *hasLow, const int *hasHigh,
                          const double *low, const double *high, const double *step,
                          const double *x0);

/* Minimises from the simplex of dhsm_init, or else from x with a common step of 10% of x's
   coordinate range (0.1 when that is 0). tol 0 means 1e-7, maxiter 0 means 1000 (at most
   maxiter + 1 iterations run). On return x (n doubles) holds the best vertex and *fmin its
   value. Returns 0 when converged, -1 when the iteration limit ended the solve. Returns -1 at
   once, touching nothing and reporting nothing, for a null solver, or for a null x without a
   start simplex from dhsm_init (there is then no start point). Every solve clears
   `initialised`. Solves on different threads are independent. */
VELMORA_API int dhsm_solve(SFM_DHSM *solver, double *par, const void *data, int *info, double tol,
                           double *x, int maxiter, double *fmin);

/* Releases the solver and its arrays. Accepts null. Returns null. */
VELMORA_API SFM_DHSM *dhsm_kill(SFM_DHSM *solver);

#endif
