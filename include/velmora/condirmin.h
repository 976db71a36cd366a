/* Derivative-free minimisation by Powell's direction-set method, unrestricted (condirmin) and
   under linear restrictions (condirmin_restr). The function is minimised along each direction of a
   set in turn (bracketing, then Brent's method); after each iteration the direction of largest
   decrease may be replaced by the net displacement of the iteration.

   Progress goes to the diagnostics sink's progress channel at level 1: "condirmin: iter= %d\n" at
   the start of every iteration and "  dir %d -> meddE = %lf\n" after every line minimisation.
   Failures go to its error channel ("condirmin: malloc failed", "condirmin: maxiter",
   "linmin: malloc failed", "brent: too many iter").

   Minimisations on different threads are independent. The line-search storage is kept per thread
   between calls and reallocated when a line search of another dimension is asked for; an objective
   may itself start another minimisation (nested up to 8 line searches deep; deeper ones are
   skipped with "linmin: malloc failed"). */
#ifndef VELMORA_CONDIRMIN_H
#define VELMORA_CONDIRMIN_H

#include "velmora/export.h"
#include "velmora/restriction.h"

VELMORA_EXTERN_C_BEGIN

/* Objective: returns the function value at x. user1 and user2 are the values given to the
   minimiser, passed through unchanged. x is valid only during the call and must not be kept. */
typedef double (*condirmin_func)(void *user1, void *user2, double *x);

/* Minimises f over n variables, starting at p[0..n-1]. ftol is the fractional tolerance on the
   function value: a run stops when an iteration lowers the value by no more than
   ftol * (|fp| + |fret|) / 2, or, for starting values of magnitude at most 1, by no more than ftol.
   On return p holds the minimum found, *fret its value and *iter the number of iterations (1 for
   the first). Returns 1 when a stopping rule was met; 0 after 200 iterations (p and *fret then hold
   the last point reached, *iter is 200) or when working memory was not available: for the run's
   own arrays (and for a negative n, "condirmin: malloc failed") p is unchanged and *fret and *iter
   are not written; when the line-search storage
   could not be had, each line search is skipped ("linmin: malloc failed") and the run goes on,
   and a run that ends without having made any line search returns 0 with p unchanged, *fret
   its value and *iter the iterations counted. */
VELMORA_API int condirmin(double *p, int n, double ftol, int *iter, double *fret, condirmin_func f,
                          void *user1, void *user2);

/* Minimises f over the variables of the restriction r, keeping its equality rows satisfied and
   treating its inequality rows by active sets. p[0..n-1] is the free vector (n must be the number
   of variables of r minus its number of equality rows); f is always called with the full vector
   of all variables. When a line search crosses an inequality, the minimisation continues from the
   crossing point with that inequality as an equality, and the result is mapped back into p.
   *iter is the shared iteration counter (reset to 1 whenever such a run starts), *fret the last
   function value. Returns 1 when a stopping rule was met or the run ended through an activation;
   0 when the shared counter reached 200, when working memory was not available (as for
   condirmin, a run that could make no line search at all returns 0), or when r is null or n does
   not match it. r is not released; the activation point it remembers from an earlier
   call is forgotten when the call starts. */
VELMORA_API int condirmin_restr(double *p, int n, double ftol, int *iter, double *fret,
                                RESTRICTION *r, condirmin_func f, void *user1, void *user2);

VELMORA_EXTERN_C_END

#endif
