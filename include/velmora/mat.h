/* Dense matrices of doubles with a cached LU decomposition and a cached inverse.

   A MATRIX keeps its elements row-major and remembers derived data: the LU factors of its current
   elements (so repeated solves cost one decomposition) and a linked inverse matrix. Every
   operation that writes elements invalidates both. The decomposition, the solver, the inverse and
   the determinant treat the matrix as square of order `rows`; on a matrix with rows != cols they
   report the singularity flag -1 and compute nothing.

   Singularity flag (an int the caller passes by pointer):
      0  the factors are sound;
     -1  the matrix has a zero row (or is not square): nothing was decomposed or solved;
     -2  a pivot below 1e-20 was replaced by 1e-20; nothing was solved or inverted.
   The flag belongs to the factors: every later use of the same cached factors (solve, inverse,
   determinant, another mat_ludcmp) reports it again, until the elements change. */

/* A MATRIX caches work state inside itself, so even solving modifies it: one matrix must not be
   used by two threads at once. Allocation failures are reported ("No resources available") and
   return the documented failure value. */
#ifndef VELMORA_MAT_H
#define VELMORA_MAT_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

typedef struct velmora_matrix MATRIX;

/* Fields in this order. Callers read them; they write only through the functions below. */
struct velmora_matrix {
  double *elements; /* rows x cols, row-major: element (r, c) at r * cols + c */
  double *lu;       /* rows x rows LU factors, null until the first decomposition */
  MATRIX *inverse;  /* the cached inverse; in a matrix made by inversion, its source */
  double *scale;    /* per row 1 / (largest magnitude in the row) */
  int *pivots;      /* per column the row chosen as pivot */
  double sign;      /* +1.0 or -1.0: parity of the row interchanges of the last decomposition */
  double *work;     /* one unit column, used by inversion */
  int rows;
  int cols;
  int luValid;      /* the LU factors belong to the current elements */
  int inverseValid; /* the linked inverse belongs to the current elements */
  int luFlag;       /* singularity flag of the last decomposition (0, -1 or -2) */
};

/* Creates a rows x cols matrix. With data non-null (and rows >= 1) its rows * cols values,
   row-major, are copied in; without data the elements are left unset. Returns null after a
   report ("No resources available") when rows or cols is negative, rows * cols is too large or
   an allocation fails. Release with
   mat_kill; the caller owns the matrix. */
VELMORA_API MATRIX *mat_new_data(const double *data, int rows, int cols);

/* mat_new_data(data, n, n). */
VELMORA_API MATRIX *mat_new(const double *data, int n);

/* Releases the matrix and its own arrays. A linked inverse (or the source of an inverse) is not
   released: it stays usable, its link to this matrix is cleared. Accepts null; returns null. */
VELMORA_API MATRIX *mat_kill(MATRIX *m);

/* Returns element (row, col) and sets *status to 0; with row or col outside the matrix returns
   0.0 and sets *status to -1. */
VELMORA_API double mat_get_element(const MATRIX *m, int row, int col, int *status);

/* Stores value at (row, col), which must lie inside the matrix. Invalidates the cached data. */
VELMORA_API void mat_set_element(MATRIX *m, int row, int col, double value);

/* Copies cols values into row `row` (nothing is read when cols is 0). Invalidates the cached
   data. Returns 0. */
VELMORA_API int mat_set_row(MATRIX *m, int row, const double *values);

/* Copies rows values into column `col`. Invalidates the cached data. Returns 0. */
VELMORA_API int mat_set_col(MATRIX *m, int col, const double *values);

/* Copies rows * cols values, row-major, into the matrix; resets sign to 1.0 and invalidates the
   cached data. */
VELMORA_API void mat_set_data(MATRIX *m, const double *data);

/* y (rows values) = m * x (cols values). y must not alias x. Returns 0. */
VELMORA_API int mat_mulvec(const MATRIX *m, const double *x, double *y);

/* LU-decomposes the matrix (Crout, partial pivoting with implicit scaling) unless its factors
   are already valid; *flag gets the singularity flag (see above). Returns 0, or -1 after a report
   when the work arrays cannot be allocated. */
VELMORA_API int mat_ludcmp(MATRIX *m, int *flag);

/* Solves m * x = b in place: b (rows values) is replaced by x. Decomposes first when needed.
   With a nonzero flag from that decomposition b is left unchanged. Returns 0 (check *flag), or
   -1 when the decomposition could not allocate its arrays. */
VELMORA_API int mat_solve_set(MATRIX *m, double *b, int *flag);

/* Returns the inverse of m, computed into the matrix linked to m (made on first use, owned by
   the caller, released with mat_kill). While m's elements are unchanged the same inverse is
   returned without work. Returns null with *flag nonzero when m is singular, or null after a
   report when an allocation failed. */
VELMORA_API MATRIX *mat_invert(MATRIX *m, int *flag);

/* Stores the determinant of m in *det (0.0 when the factors carry a nonzero singularity flag).
   Returns 0, or -1 when the decomposition could not allocate its arrays. */
VELMORA_API int mat_determinant(MATRIX *m, double *det);

VELMORA_EXTERN_C_END

#endif
