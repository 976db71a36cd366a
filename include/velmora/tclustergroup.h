#ifndef __cplusplus
#error "velmora/tclustergroup.h is a C++ header"
#endif

/* A store of scattered measurements, each a pair (device values, Lab colour), that answers two
   questions for any Lab colour: which device values produce it (interpolated from the nearest
   stored point in each of the eight octants around it) and whether it lies inside the measured
   cloud.

       TClusterGroup *group = TClusterGroup::Create(3, 0, 100, 1, -128, 128, 1, -128, 128, 1, 2000);
       for (...) group->AddPoint(cmy, lab);        // cmy as fractions 0..1, lab in Lab units
       group->UpdateForAddedPoints();
       double cmy[3], dist;
       if (group->InterpolateNPar(lab, cmy, &dist) == 0) ...
       delete group;

   Lab values are snapped to a regular grid whose limits and steps the caller gives per axis
   (axis 0 L*, axis 1 a*, axis 2 b*); every later use of a point takes the Lab value of its grid
   node. Several points on one node stay separate entries.

   Octants. The octant of a stored point relative to a query is k = 4 b2 + 2 b1 + b0, where b2
   belongs to L, b1 to a and b0 to b. In the axis-aligned searches a bit is 1 when the point's
   grid node index on that axis is greater than the query's node index (which is the query
   mapped by the step and rounded).

   Device values are expected as fractions 0..1: the penalised interpolation judges the spread
   of a tetrahedron's device values against fixed constants (coherent below 0.4, cost
   4 * spread + distance) that assume that scale. Other interpolators are scale-free.

   Threads. AddPoint and UpdateForAddedPoints change the group; every other member only reads
   it, so any number of threads may search, interpolate (InterpolatePar included) and test
   insideness on one ready group at once, but not while a thread adds points or updates.

   Queries with a NaN coordinate fail (-1, or 0 for the inside tests). */
#ifndef VELMORA_TCLUSTERGROUP_H
#define VELMORA_TCLUSTERGROUP_H

#include <cstdint>

#include "velmora/export.h"

/* A stored point expanded for searching and interpolation. */
struct clg_cl_t {
  double lab[3]; /* Lab of the point's grid node: node * step + min, in single precision */
  double dev[8]; /* device values; the first GetNrOfDevCoord() are meaningful */
};

/* Result of a nearest-cluster search: per octant, the nearest stored point found. */
struct clg_near_t {
  double dist2[8];  /* squared Lab distance from the query to best[k].lab */
  int count[8];     /* how often best[k] was replaced by a nearer point; 0: octant empty */
  clg_cl_t best[8]; /* the nearest point of each octant */
};

struct clg_pt_t;     /* a stored point (owned by the group) */
struct clg_lrange_t; /* a record of the L-range table (owned by the group) */
struct clg_index_t;  /* the point list laid out for the searches (owned by the group) */
typedef struct ostrel_list *LIST;

class VELMORA_API TClusterGroup {
 public:
  /* Most device coordinates a point may carry. */
  static constexpr int kMaxDevCoord = 8;
  /* Most grid nodes per Lab axis. */
  static constexpr int kMaxNodes = 32767;

  /* A new, empty group. nrOfDevCoord: device values per point, at most 8. Per Lab axis the grid
     runs from min to max with the given step; nodes per axis = round((max - min) / step + 1).
     listSize: the expected number of points (a capacity hint). Returns the object, owned by the
     caller (release it with delete), or null: after a report when nrOfDevCoord exceeds 8 or when
     an axis would have fewer than 1 or more than 32767 nodes (or limits and steps are not
     finite), without one when memory runs out. */
  static TClusterGroup *Create(int nrOfDevCoord, double minL, double maxL, double stepL,
                               double minA, double maxA, double stepA, double minB, double maxB,
                               double stepB, int listSize);

  /* Releases every stored point and both lists. */
  ~TClusterGroup();

  /* Copies are deep: the target receives lists and records of its own equal to the source's, so
     either object may be changed or destroyed without affecting the other. Self-assignment does
     nothing. Throws std::bad_alloc when memory runs out, leaving the target unchanged. */
  TClusterGroup &operator=(const TClusterGroup &other);
  TClusterGroup(const TClusterGroup &) = delete;

  /* Adds one measurement: dev holds GetNrOfDevCoord() device values, lab three Lab values. lab
     is clamped into the grid limits in place (the caller's array changes) and snapped to its
     nearest node. Returns 0; -1 when lab holds a NaN or memory runs out (the group is then
     unchanged). After adding, call UpdateForAddedPoints before the next query. */
  int AddPoint(const double *dev, double *lab);

  /* Brings the search tables up to date after points were added. Returns 0 (at once when
     nothing was added since the last call), or -1 when memory runs out (queries keep
     failing until a later call succeeds). */
  int UpdateForAddedPoints();

  /* Device values per point, as given to Create. */
  int GetNrOfDevCoord() const;

  /* ---- Nearest-cluster search ----------------------------------------------------------
     Fill near with, per octant around the query lab (3 doubles), the nearest stored point.
     A query outside the grid limits is measured against the nearest border node for the octant
     split. Return 0, or -1 (near all zero) when points were added since the last
     UpdateForAddedPoints or lab holds a NaN. An empty group leaves near all zero and returns 0.
     Allocate nothing. */

  /* Axis-aligned octants. all = 0 stops each walk once its own octants are settled; all = 1
     walks until all eight are (each octant then holds a point at least as near). planes is not
     used and may be null. */
  int FindNearestClusterNPar(const double *lab, clg_near_t *near, int all,
                             const double *const *planes) const;

  /* Octants from DetermineIntIndex with the same mode and planes: mode = 0 gives the
     axis-aligned octants; otherwise planes holds three unit vectors (3 doubles each) and a
     point's bit i tells on which side of planes[i] (through the query node) it lies; mode != 0
     walks until all eight octants are settled, and fails (-1) without planes. */
  int FindNearestClusterPar(const double *lab, clg_near_t *near, int mode,
                            const double *const *planes) const;

  /* Octant bits of the grid node pointNode relative to queryNode: mode = 0, bits[i] = 1 when
     pointNode[i] > queryNode[i]; otherwise bits[i] = 1 unless the Lab offset of the two nodes
     has a negative dot product with planes[i]. Returns 0. */
  int DetermineIntIndex(const std::uint16_t *pointNode, const std::uint16_t *queryNode, int *bits,
                        int mode, const double *const *planes) const;

  /* Applies the search's update rule to one point cl in the octant 4 bits[0] + 2 bits[1] +
     bits[2]: it replaces that octant's entry (and its count grows by 1) when the octant is empty
     or the point lies strictly nearer to lab. The last two arguments are not used. Returns 0. */
  int Insert(const clg_cl_t *cl, const double *lab, const int *bits, clg_near_t *near, int unused,
             const double *const *unusedPlanes) const;

  /* ---- Interpolation --------------------------------------------------------------------
     The query lab (3 doubles, not changed) is clamped into the grid limits; dev receives
     GetNrOfDevCoord() values; dist receives minus the distance from the clamped query to the
     point it was projected to (0 inside the chosen simplex). Depending on how many octants hold
     a point, the query is projected onto that point, the segment, the triangle or the
     best-scoring tetrahedron of the octants' nearest points, and dev is the corners' device
     values blended with the projection weights. Return 0, or -1: an empty group (after the
     report "Something wrong in searching for nearest neighbours"), a NaN query, points added
     since the last update, or a failed projection. On -1 the outputs may be partly written. */

  /* Free projection: the query may move anywhere. */
  int InterpolateNPar(const double *lab, double *dev, double *dist) const;

  /* Projection restricted to the plane through the query with the normal of plane (4 doubles
     nL, na, nb, d; d is not used). By the a-b length c of that normal: below 2 the free
     projection with axis-aligned octants; above 5 the plane-restricted projection with octants
     taken in a frame of the plane; in between the blend w = (c - 2) / 3 of both. A null plane
     fails (-1). */
  int InterpolatePar(const double *lab, const double *plane, double *dev, double *dist) const;

  /* As InterpolateNPar, but among the tetrahedra of the neighbours it prefers those whose
     corners carry similar device values (spread below 0.4 of the device scale 0..1) and that
     contain or nearly contain the query (within 0.25; dist is then 0). */
  int InterpolateNParPenal(const double *lab, double *dev, double *dist) const;

  /* ---- Inside tests ---------------------------------------------------------------------- */

  /* 1 when lab lies inside the box of the Lab values added so far (bounds included) and inside
     the convex hull (within its +-0.5 determinant tolerance) of the nearest points of the
     occupied octants around it; else 0 (also for fewer than four occupied octants, a NaN query
     or points added since the last update). */
  int IsInside(const double *lab) const;

  /* The hull test alone, on a record that a search for the same lab filled. */
  int IsInside(const double *lab, const clg_near_t *near) const;

 private:
  friend struct TClusterGroupProbe; /* white-box access for the library's tests */

  TClusterGroup();
  int DoAddPoint(const double *dev, const double *lab);
  int FillLRange();
  void ReleaseLists();
  void CopyFrom(const TClusterGroup &other);
  int IsInsideBox(const double *lab) const;
  int OctantNearest(const double *lab, clg_near_t *near,
                    const double *const *planes = nullptr) const;
  int InterpolateProjectNPar(const double *lab, double *dev, double *dist, double *proj) const;
  int InterpolateProjectPar(const double *lab, const double *plane, double *dev, double *dist,
                            double *proj) const;
  int InterpolateProjectNParPenal(const double *lab, double *dev, double *dist, double *proj) const;
  int Interpolate(const double *lab, const double *plane, int par, double *dev,
                  const clg_near_t *near, double *score, double *dist, double *proj) const;
  int InterpolatePenal(const double *lab, const double *plane, int par, double *dev,
                       const clg_near_t *near, double *score, double *dist, double *proj) const;

  std::int16_t nrOfDevCoord;
  std::int16_t nrOfNodes[3];
  float rangeMax[3];
  float rangeMin[3];
  float seenMax[3];
  float seenMin[3];
  float step[3];
  LIST points;               /* clg_pt_t pointers, sorted by L node, then a node */
  LIST lRange;               /* clg_lrange_t pointers, one per L node present; null until built */
  unsigned char lRangeValid; /* 1 when lRange matches points */
  clg_index_t *index;        /* built with lRange */
};

#endif
