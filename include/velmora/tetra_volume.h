/* Tetrahedral volumes: a closed body in a three-dimensional colour space (coordinates taken as
   L, a, b) held as triangular boundary faces and as tetrahedra that fill it, with corners taken
   from the caller's points. The volume answers inside tests (ray parity), segment intersections
   with its boundary, an estimate of its enclosed volume, and writes its faces to text and VRML
   files for inspection.

   Two points coincide when they differ by less than 0.01 in each coordinate; every geometric
   test uses that tolerance.

       LIST points = list_new(10, 8, NULL);          (elements: pointers to TETRA_POINT)
       ... list_insert(points, &point_pointer) for each point; the first one is the apex ...
       TETRA_VOLUME *v = tetra_volume_new(points);
       if (tetra_volume_point_inside(v, lab)) ...
       tetra_volume_kill(v);
*/
#ifndef VELMORA_TETRA_VOLUME_H
#define VELMORA_TETRA_VOLUME_H

#include <ostrel/ostrel.h>

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

/* A caller's point, and every corner stored in a face or tetrahedron. pointnr is carried along
   unchanged (read back by tetra_get_pointnr); the geometry uses x, y, z only. */
typedef struct tetra_point {
  double x;
  double y;
  double z;
  double pointnr;
} TETRA_POINT;

/* One tetrahedron of a volume, owned by the volume. With e_k = c_k - c0 (k = 1, 2, 3), row k-1 of
   inverse times (p - c0) is the barycentric weight of corner k; the determinant behind it is kept
   at least 1.0e-6 away from zero, so flat tetrahedra have finite (large) rows. */
typedef struct tetra {
  TETRA_POINT c0;
  TETRA_POINT c1;
  TETRA_POINT c2;
  TETRA_POINT c3;
  double centroid[3];
  double inverse[3][3];
} TETRA;

/* Which points of one face are visible from a viewpoint (1) or hidden behind the body (0): its
   corners, its centroid and its edge midpoints. The midpoint flags are computed only when one of
   the first four is 0, and are 0 otherwise. */
typedef struct tetra_visibility {
  int corner0;
  int corner1;
  int corner2;
  int centroid;
  int mid01;
  int mid12;
  int mid02;
} TETRA_VISIBILITY;

/* One triangular face of a volume (internal to the volume). */
typedef struct tetra_plane TETRA_PLANE;

/* The volume handle (opaque). */
typedef struct tetra_volume TETRA_VOLUME;

/* Builds a volume from points, a LIST of pointers to TETRA_POINT (the caller keeps the points).
   Its faces are those of the convex hull of all the points, whatever their order, density or
   coplanarity: each piece of the hull's surface is covered by exactly one face (coplanar sides
   are triangulated, points on a side may be corners), so the inside test and the volume
   estimate agree with the hull. Its tetrahedra are fanned from the first point (the apex): one
   to every face that does not touch the apex, and three around every point that is not a hull
   corner, in the first face's tetrahedron with the apex that holds it. Tolerances are meant for
   Lab units: points closer than 0.01 in every coordinate count as one, and inside answers are
   those of the hull for points farther than about 0.01 from its surface. Returns null when
   there are fewer than four points, when all lie within 0.01 of one plane (no body), when a
   coordinate is not finite or beyond +-1e99, or when memory runs out (nothing is kept then).
   Takes about n log n for n points plus a short search per interior point. Release with
   tetra_volume_kill. */
VELMORA_API TETRA_VOLUME *tetra_volume_new(LIST points);

/* Returns a new volume without faces or tetrahedra, or null when memory runs out. */
VELMORA_API TETRA_VOLUME *tetra_volume_new0(void);

/* Appends the face (p0, p1, p2) (copied; the corner order fixes the normal's orientation).
   Returns 0, or -1 for a null volume or when the face cannot be allocated (nothing appended).
   Queries on a volume built by tetra_volume_new visit only the faces near their segment through
   an index over the faces; once a face is added, they visit every face. */
VELMORA_API int tetra_volume_add_plane(TETRA_VOLUME *volume, const TETRA_POINT *p0,
                                       const TETRA_POINT *p1, const TETRA_POINT *p2);

/* Number of tetrahedra; 0 for a null volume. */
VELMORA_API int tetra_volume_get_nr_of_tetrahedrae(const TETRA_VOLUME *volume);

/* Sets *tetra to the tetrahedron at index (0 .. count-1), owned by the volume, and returns 0.
   Returns -1 and leaves *tetra untouched for a null volume or an index out of range. */
VELMORA_API int tetra_volume_get_tetra2(const TETRA_VOLUME *volume, int index, TETRA **tetra);

/* Point number of corner 0 .. 3 of tetra, truncated toward zero (clamped to the int range).
   Returns -1 for a null tetrahedron or another corner value. */
VELMORA_API int tetra_get_pointnr(const TETRA *tetra, int corner);

/* Estimated volume: the sum over the faces of the cone from the Lab centre (50, 0, 0) to the face.
   With check_hidden > 0, faces that lie between another face's centroid and the centre are first
   marked hidden; marks persist, and marked faces are left out of this and every later estimate.
   Returns the sum (0.0 without faces), or -1.0 for a null volume. */
VELMORA_API double tetra_volume_get_volume(TETRA_VOLUME *volume, int check_hidden);

/* 1 when point (3 doubles) is inside the body, else 0; 0 for a null volume. Counts where the ray
   from point in +x direction to x = 10000 crosses the faces (odd: inside); crossings apart by
   more than rounding count separately, so a ray that clips a sharp edge counts two. A ray that
   runs through an edge or corner of a face is recast in other directions (when all of them do,
   the parity most of them give counts). Allocates nothing for bodies where a ray meets up to 64
   faces; reads the volume only, so several threads may query one volume at once. */
VELMORA_API int tetra_volume_point_inside(const TETRA_VOLUME *volume, const double *point);

/* Intersects the segment a..b (3 doubles each) with the faces. *count receives the number of
   distinct intersection points; when points is not null and 1 <= *count <= max, they are copied
   to points (3 doubles each, in face order), otherwise nothing is copied. Returns 0; -1 for a
   null volume (count untouched) or when memory runs out (count 0). */
VELMORA_API int tetra_volume_line_intersect2(const TETRA_VOLUME *volume, const double *a,
                                             const double *b, int *count, double *points, int max);

/* Releases every face and tetrahedron, the lists and the handle. Accepts null. Returns 0. */
VELMORA_API int tetra_volume_kill(TETRA_VOLUME *volume);

/* Writes a text file of points sampled along the face edges, each line "a b L" ("%7.1lf" each):
   first 20 lines of coordinate axes, then per edge 100 points when its ends and midpoint are
   visible from viewpoint (3 doubles), none when its midpoint is visible but an end is not, and 10
   otherwise (the end point itself is not written). path is UTF-8. Returns 0, or -1 for a null
   volume, missing memory, or a file that cannot be opened or written. */
VELMORA_API int tetra_volume_dump_to_file(const TETRA_VOLUME *volume, const double *viewpoint,
                                          const char *path);

/* Writes two VRML 2.0 scenes with LF line ends: facePath gets the faces as an indexed face set,
   each face coloured with the sRGB colour of its first corner read as L, a, b (D65); pointPath
   gets the face corners as a point set. Both include three axis bars. Paths are UTF-8. Returns 1,
   or -1 for a null argument or a file that cannot be opened or written (when the second file
   fails, the first one is complete). */
VELMORA_API int writeVRML(const TETRA_VOLUME *volume, const char *facePath, const char *pointPath);

VELMORA_EXTERN_C_END

#endif
