// Projections of a 3-D point x onto segments (6 doubles: P0, P1), triangles (9 doubles) and
// tetrahedra (12 doubles), with the result as barycentric weights of the corners (PROJ_RESULT).
//
// Two kinds: the free projections move x to the nearest point of the simplex; the
// plane-restricted ones ("_plane") keep x inside the plane through x with normal m (3 doubles;
// callers pass normals longer than 2) and charge a move out of that plane heavily. For a
// candidate point p, with h its distance from that plane and q = p moved along m onto it, the
// penalised distance is sqrt(|q - x|^2 + 1000 h^2).
//
// Every output pointer named distance or score may be null. All functions are reentrant; the
// plane-restricted triangle and tetrahedron projections keep one 3 x 3 work matrix per thread.
#ifndef VELMORA_GEOMETRY_PROJECTION_INTERNAL_H
#define VELMORA_GEOMETRY_PROJECTION_INTERNAL_H

#include "velmora/projection.h"

// Result of the plane-restricted projections when their work matrix cannot be made or solved.
inline constexpr int kProjNoResources = -100;

// The plane through p0, p1, p2 (3 doubles each): plane[0..2] the unit normal
// (p1 - p0) x (p2 - p0) / |...|, plane[3] the offset d with n . p + d = 0. Returns 0, or -1
// (plane unchanged) when the cross product is shorter than 1e-20.
int plane_from_points(const double *p0, const double *p1, const double *p2, double *plane);

// Nearest point of the segment to x, weights (w0, w1). A segment shorter than 1e-10 is its P0.
// Returns 0.
int proj_on_segment(const double *segment, const double *x, PROJ_RESULT *result, double *distance);

// The segment's crossing with the plane through x with normal m; a crossing beyond an end gives
// that end, a segment parallel to the plane its free projection; both penalised. Score: the
// penalised distance (|point - x| for a crossing). Returns 0.
int proj_on_segment_plane(const double *segment, const double *x, const double *m,
                          PROJ_RESULT *result, double *score);

// Nearest point of the side opposite corner `edge` (0, 1, 2) of the triangle, or of all three
// sides when edge is negative (the first of equally near sides wins). The opposite corner gets
// weight 0. distance: the smallest side distance, 1e20 when no side was tried (result unchanged).
void proj_on_triangle_edges(const double *triangle, const double *x, PROJ_RESULT *result,
                            double *distance, int edge);

// Projection inside the plane through x with normal m: the point of the line where that plane
// meets the triangle's plane nearest to x, when it lies in the triangle (score |point - x|);
// otherwise the best of the sides by proj_on_segment_plane. When m is parallel to the triangle's
// normal, the free projection, penalised. Returns 0; -1 when a side plane is degenerate;
// kProjNoResources when the work matrix cannot be made or solved (after a report).
int proj_on_triangle_plane(const double *triangle, const double *x, const double *m,
                           PROJ_RESULT *result, double *score);

// The best of the three sides by proj_on_segment_plane (score starts at 1e20). Returns 0.
int proj_on_triangle_edges_plane(const double *triangle, const double *x, const double *m,
                                 PROJ_RESULT *result, double *score);

// Inside the tetrahedron (every barycentric weight within [-0.001, 1.001], no face plane
// degenerate or within 0.001 of its opposite corner): point x, its weights, score the largest
// weight. Otherwise the nearest point of the surface, score minus its distance. Returns 0.
int proj_on_tetra(const double *tetra, const double *x, PROJ_RESULT *result, double *score);

// Nearest point of the four faces (omitting corner 0, 1, 2, 3 in this order; the first of
// equally near faces wins), the omitted corner weighted 0. Returns 0.
int proj_on_tetra_surface(const double *tetra, const double *x, PROJ_RESULT *result,
                          double *distance);

// As proj_on_tetra, with proj_on_tetra_surface_plane outside and minus its score; a flat
// tetrahedron is projected onto the triangle of its longest face side and the omitted corner.
// Returns 0, or kProjNoResources passed on.
int proj_on_tetra_plane(const double *tetra, const double *x, const double *m, PROJ_RESULT *result,
                        double *score);

// The best of the four faces by proj_on_triangle_plane (score starts at 1e20). Returns 0, or
// kProjNoResources passed on.
int proj_on_tetra_surface_plane(const double *tetra, const double *x, const double *m,
                                PROJ_RESULT *result, double *score);

// The line where planes a and b (4 doubles each: unit normal, offset) meet: direction (3, unit,
// orthogonal to both normals) and the point of the line with direction . point = 0. Returns 0;
// -1 for parallel planes (|normal_a x normal_b| < 1e-16) or a failed solve; kProjNoResources
// when a work matrix cannot be made (after a report). Outputs are written only on success.
int plane_intersection_line(const double *a, const double *b, double *direction, double *point);

#endif
