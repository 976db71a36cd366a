/* Projections of 3-D points onto triangles, with the projected point expressed as barycentric
   weights of the triangle's corners, so that values carried by the corners can be blended.

   A triangle is 9 doubles: the corners P0, P1, P2, each (x, y, z). */
#ifndef VELMORA_PROJECTION_H
#define VELMORA_PROJECTION_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

/* A projected point and the weights of the simplex corners that reproduce it: point =
   sum of weights[i] * Pi. Weights of corners the simplex does not have (or that the result does
   not use) are 0. */
typedef struct proj_result {
  double point[3];
  double weights[4];
} PROJ_RESULT;

/* Projects x (3 doubles) onto the nearest point of the triangle (9 doubles) and writes it with
   its weights to *result. When distance is not null it receives |point - x|. A degenerate
   triangle (corners on one line, within 1e-20 on the cross product) is projected onto its
   longest side, the third corner weighted 0. Returns 0, or -1 when a side of the triangle is too
   short to define its edge plane (result unchanged). Allocates nothing; reentrant. */
VELMORA_API int proj_on_triangle(const double *triangle, const double *x, PROJ_RESULT *result,
                                 double *distance);

/* Projects x onto the triangle along the line through x with direction dir (3 doubles): the
   line meets the triangle's plane at y, and y is projected onto the triangle as by
   proj_on_triangle. When distance is not null it receives |point - x|, positive when the line
   meets the triangle (y within 0.001 of it) and negative when it misses. Returns 0; -1 with
   *distance = -1e20 and result unchanged when the triangle is degenerate or the line is parallel
   to its plane (|n . dir| < 1e-20 for the unit normal n). Allocates nothing; reentrant. */
VELMORA_API int proj_on_triangle_parline(const double *triangle, const double *x, const double *dir,
                                         PROJ_RESULT *result, double *distance);

VELMORA_EXTERN_C_END

#endif
