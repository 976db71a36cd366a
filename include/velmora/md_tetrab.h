/* Byte-indexed tetrahedral tables: the 8-bit counterpart of the double tables (md_tetrad.h).
   Inputs, grid values and outputs are bytes; each input passes a 256-entry input curve and each
   output a 256-entry output curve, so a table realises input curves -> N-dimensional grid ->
   output curves. Interpolation splits each grid cell into simplices along the descending order of
   the point's fractional positions and runs on table lookups only: byte fraction weights per
   input byte and a 256 x 256 table of rounded products. Fill the grid vertex by vertex:

       int index[N] = {0};
       unsigned char coords[N];
       do {
         unsigned char *v = md_tetrab_vertex_get(t, index, coords);
         ... write the M output bytes for coords into v ...
       } while (md_tetrab_scan_vertex(t, index) != 0);

   Vector path: on x86-64 processors with AVX2, tables of three and four inputs with the default
   weight range (md_tetrab_new) and fewer than 2^24 grid bytes interpolate eight points at a time,
   any number of output channels up to 32, interleaved or planar, with curves, masks and the
   repeat rule; the path is chosen once per process, and VELMORA_NO_SIMD=1 in the environment
   forces the scalar path. Results do not depend on the path: they are identical byte for byte.
   Other tables, and other processors, take the scalar path.

   Threads: any number of threads may interpolate one table at once (every table, whatever its
   number of inputs, is only read by md_tetrab_interp). Creation, md_tetrab_LUT and writes to the
   grid must not overlap with interpolation of the same table.
*/
#ifndef VELMORA_MD_TETRAB_H
#define VELMORA_MD_TETRAB_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

typedef struct md_tetrab MD_TETRAB;

/* Same as md_tetrab_new_special(dimin, dimout, nrgrid, 0, 255, 1). */
VELMORA_API MD_TETRAB *md_tetrab_new(int dimin, int dimout, int nrgrid);

/* Creates a table of dimin inputs, dimout output channels and nrgrid points per input, with
   identity curves and every grid byte (guard positions included) zero. Weights and products run
   over weightLow .. weightHigh (0 and 255 for ordinary tables: products are then value * weight /
   255 rounded, from one table shared by all such tables); guard is the number of positions kept
   behind the last grid point of each dimension. Returns null after one report: "md_tetra_new:
   illegal dimension" for dimin < 1, dimout < 1, nrgrid < 2, weights outside 0 .. 255 or
   weightLow >= weightHigh, guard < 1, dimin > 33; "md_tetra_new: insufficient memory" for sizes
   beyond 32
   bits; an allocation failure's own message otherwise. Release with md_tetrab_kill. */
VELMORA_API MD_TETRAB *md_tetrab_new_special(int dimin, int dimout, int nrgrid, int weightLow,
                                             int weightHigh, int guard);

/* Releases the table and everything it owns. Accepts null. Returns null. */
VELMORA_API MD_TETRAB *md_tetrab_kill(MD_TETRAB *table);

/* Installs curves: inCurves[d] (256 bytes) for input d and outCurves[c] for output channel c are
   copied into the table; a null array or a null entry installs the identity. Returns 1. */
VELMORA_API int md_tetrab_LUT(MD_TETRAB *table, unsigned char *const *inCurves,
                              unsigned char *const *outCurves);

/* For the vertex with grid index index[0..N-1] (each 0 .. G-1) writes its input bytes
   coords[d] = index[d] * 255 / (G - 1) rounded (halves up) and returns the address of its M
   output bytes, owned by the table, for the caller to fill. Arguments are not checked. */
VELMORA_API unsigned char *md_tetrab_vertex_get(MD_TETRAB *table, const int *index,
                                                unsigned char *coords);

/* Advances index[0..N-1] to the next vertex, exactly as md_tetrad_scan_vertex does (index[0]
   fastest, wrapping to all zeros after the last vertex). Returns the number of vertices after the
   one given on entry, 0 after the last. */
VELMORA_API int md_tetrab_scan_vertex(const MD_TETRAB *table, int *index);

/* Interpolates count points. Point p's input d is the byte in[d][p * in_stride]; its channel c
   goes to out[c][p * out_stride] (strides in bytes); a null out[c] skips the channel. With a mask,
   a point whose mask[p] <= threshold is skipped: nothing is written for it. A point whose input
   bytes equal those of the point before, when that point was not skipped, copies that point's
   outputs. Every non-null out[c] is advanced by count * out_stride; in is left unchanged.
   Results may be written over the inputs (equal strides); other overlaps give the results of
   interpolating the points one after another. count <= 0 does nothing. Returns 1. Allocates
   nothing and uses no floating point per point. Any number of threads may interpolate one table
   at once. */
VELMORA_API int md_tetrab_interp(MD_TETRAB *table, unsigned char *const *in, int in_stride,
                                 unsigned char **out, int out_stride, int count,
                                 const unsigned char *mask, double threshold);

/* Returns the table's grid bytes (owned by the table) and stores their number,
   (G + guard)^N * M, in *size unless size is null. */
VELMORA_API unsigned char *md_tetrab_dataptr(MD_TETRAB *table, int *size);

/* The number of inputs N, of output channels M, and of grid vertices G^N. */
VELMORA_API int md_tetrab_get_dimin(const MD_TETRAB *table);
VELMORA_API int md_tetrab_get_dimout(const MD_TETRAB *table);
VELMORA_API int md_tetrab_get_nrpoints(const MD_TETRAB *table);

/* Makes a new table with the source's dimensions and nrgrid points per input, identity curves
   and the default weight range, filled from the source, which is left as it was. When
   nrgrid - 1 is a whole multiple of the source's G - 1 the new vertices are multilinear 8-bit
   interpolations of the source's raw grid bytes (its curves are ignored) and every source vertex
   reappears unchanged; otherwise each new vertex is md_tetrab_interp of the source (curves
   included) at the vertex's input bytes. Returns null after the report
   "md_tetrab_expand: error in md_tetrab_new" when the new table or a work array cannot be made. */
VELMORA_API MD_TETRAB *md_tetrab_expand(MD_TETRAB *source, int nrgrid);

VELMORA_EXTERN_C_END

#endif
