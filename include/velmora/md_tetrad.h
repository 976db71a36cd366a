/* Double-precision tetrahedral tables: a function from N inputs to M outputs held as values on a
   regular grid (G points per input, every input over the same range [min, max]) and evaluated by
   simplex interpolation. Fill the grid vertex by vertex, then interpolate in batches:

       int index[N] = {0};
       double coords[N];
       do {
         double *v = md_tetrad_vertex_get(t, index, coords);
         ... write the M outputs for coords into v ...
       } while (md_tetrad_scan_vertex(t, index) != 0);

   Note: md_tetrad_interp advances the caller's input pointers in[d] for tables of five or more
   inputs, and leaves them unchanged for one to four inputs (see md_tetrad_interp).

   Vector path: on x86-64 processors with AVX2, tables of three and four inputs interpolate four
   points at a time; the path is chosen once per process, and VELMORA_NO_SIMD=1 in the
   environment forces the scalar path. Results do not depend on the path: they are identical bit
   for bit (a NaN result, which only NaN or infinite grid values produce, may carry another NaN
   payload). Other tables, and other processors, take the scalar path.

   Threads: a filled table may be read by any number of threads at once.
*/
#ifndef VELMORA_MD_TETRAD_H
#define VELMORA_MD_TETRAD_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

typedef struct md_tetrad MD_TETRAD;

/* Creates an all-zero table of dimin inputs (1 .. 33), dimout outputs and nrgrid points per input,
   spanning [min, max] on every input (min > max is allowed). Returns null after the report
   "md_tetra_new: illegal dimension" for dimin outside 1 .. 33, dimout < 1, nrgrid < 2, a bound
   that is not finite, or a grid step (max - min) / (nrgrid - 1) that is zero or not finite (so
   min == max, or a range too wide or too narrow for a double); after "md_tetra_new: insufficient
   memory" for sizes beyond 32 bits; after its own report on a failed allocation. Release with
   md_tetrad_kill. */
VELMORA_API MD_TETRAD *md_tetrad_new(int dimin, int dimout, int nrgrid, double min, double max);

/* Releases the table and everything it owns. Accepts null. Returns null. */
VELMORA_API MD_TETRAD *md_tetrad_kill(MD_TETRAD *table);

/* For the vertex with grid index index[0..N-1] (each 0 .. G-1) writes its input coordinates
   coords[d] = index[d] * step + min and returns the address of its M output values, owned by the
   table, for the caller to fill. Arguments are not checked. */
VELMORA_API double *md_tetrad_vertex_get(MD_TETRAD *table, const int *index, double *coords);

/* Advances index[0..N-1] to the next vertex (index[0] fastest, like an odometer; after the last
   vertex it wraps to all zeros). Returns the number of vertices after the one given on entry, so
   0 after the last. Shares its body with md_tetrab_scan_vertex. */
VELMORA_API int md_tetrad_scan_vertex(const MD_TETRAD *table, int *index);

/* Interpolates count points. in[d] points at coordinate d of the first point; point p's
   coordinate is in[d][p * in_stride]. out[c] points at channel c of the first result, likewise
   with out_stride; a null out[c] skips the channel. Inputs outside the table's range (and NaN)
   are clamped onto it. Every non-null out[c] is advanced by count * out_stride.
   IN IS CHANGED FOR N >= 5: every in[d] is then advanced by count * in_stride as well; for
   N <= 4 in is left unchanged. Results may be written over the inputs (equal strides); other
   overlaps give the results of interpolating the points one after another. count <= 0 does
   nothing. Returns 1. Allocates nothing; safe for concurrent readers of one table. */
VELMORA_API int md_tetrad_interp(const MD_TETRAD *table, double **in, int in_stride, double **out,
                                 int out_stride, int count);

VELMORA_EXTERN_C_END

#endif
