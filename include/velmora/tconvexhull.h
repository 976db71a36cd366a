#ifndef __cplusplus
#error "velmora/tconvexhull.h is a C++ header"
#endif

/* Convex hull of a set of 3-D points, built incrementally: a double-sided first triangle, then
   one point at a time, each addition deleting the faces visible from the new point and erecting a
   cone of new faces on the horizon. Usage:

       TConvexHull hull;
       for (...) hull.AddPoint(x, y, z);
       if (hull.Construct() == 0 && hull.InsideHull(px, py, pz)) ...

   What a successful Construct guarantees: the faces bound the convex hull of every point added,
   whatever their order, density or coplanarity. Which faces a new point sees is decided with the
   exact sign of its determinant, so every added point lies on the hull or inside it (its
   determinant against every face is >= 0), points inside the hull or on its faces are dropped,
   and points in the plane of a face but beyond it are kept as corners.

   Tolerances, meant for Lab units (coordinates up to a few hundred): InsideHull counts a point
   as inside while its determinant against every face (six times the signed tetrahedron volume)
   is above -0.5; for a face of area A that admits points up to 0.25 / A outside its plane, so
   about 0.0025 units beyond faces of 100 square units and 0.25 beyond faces of 1. The same +-0.5
   decides whether all points are coplanar (Construct fails then), against a triangle as large
   as the points allow when the first triangle leaves them all within it.
   Work grows as n log n for n points in random order (a conflict list per face). */
#ifndef VELMORA_TCONVEXHULL_H
#define VELMORA_TCONVEXHULL_H

#include "velmora/export.h"

struct tEdgeStructure;
struct tFaceStructure;

/* A hull vertex; a record of a circular doubly linked list owned by its hull. */
struct tVertexStructure {
  double coords[3];
  int index;                /* number given by AddPoint: 0, 1, 2, ... in order of addition */
  tEdgeStructure *coneEdge; /* during one addition, the new edge to the added point */
  int onHull;               /* end point of a remaining edge after an addition */
  int processed;            /* 1 once the vertex has been added to the hull */
  tVertexStructure *next;
  tVertexStructure *prev;
};

/* A hull edge shared by two faces. */
struct tEdgeStructure {
  tFaceStructure *adjFace[2];
  tVertexStructure *endPts[2];
  tFaceStructure *newFace; /* cone face erected on this edge during the current addition */
  int removed;             /* inside the visible region, to be deleted */
  tEdgeStructure *next;
  tEdgeStructure *prev;
};

/* A triangular hull face; the order of its corners gives its orientation (seen from outside the
   corners run counter-clockwise). */
struct tFaceStructure {
  tEdgeStructure *edge[3];
  tVertexStructure *vertex[3];
  int visible; /* visible from the point being added */
  tFaceStructure *next;
  tFaceStructure *prev;
};

class VELMORA_API TConvexHull {
 public:
  /* An empty hull. */
  TConvexHull();
  /* Releases every vertex, edge and face record. */
  ~TConvexHull();
  /* Copies are deep: the copy owns records of its own, equal to the source's, so either object
     may be destroyed or changed without affecting the other. Self-assignment does nothing.
     When memory runs out they throw std::bad_alloc, leaving the target unchanged. */
  TConvexHull(const TConvexHull &other);
  TConvexHull &operator=(const TConvexHull &other);

  /* Appends the point (x, y, z) as the vertex numbered by the count of earlier additions.
     Returns 0; -1 after a report when a coordinate is not finite or beyond +-1e99 (the exact
     determinants would overflow), or when memory runs out. The hull is unchanged after -1 and
     the refused point takes no number. */
  int AddPoint(double x, double y, double z);

  /* Builds the hull of every point added so far (a repeated call starts afresh from the vertices
     kept by the earlier one and those added since). Returns 0, or -1 when the hull is empty,
     when all points lie on one line, when all lie within the +-0.5 determinant of the plane of
     the first triangle (the first three consecutive non-collinear points in order of addition;
     when duplicates leave no such run, the first point, the next one apart from it and the next
     one off their line) and of the plane of a wide triangle (the first point, the point
     farthest from it and the point farthest from their line), or after a report when memory
     runs out or the faces fail their consistency check. After -1 the hull holds no faces and
     InsideHull answers 0. */
  int Construct();

  /* 1 when (x, y, z) lies inside the constructed hull, on it, or outside it by less than the
     +-0.5 determinant against every face; else 0. 0 for a point with a coordinate that is not
     finite or beyond +-1e99. Meaningful after Construct returned 0. */
  int InsideHull(double x, double y, double z) const;

 private:
  friend struct TConvexHullProbe;  /* white-box access for the library's tests */
  friend struct TConvexHullAccess; /* the library's own readers of the faces */
  struct Conflicts;                /* state of one construction, defined with the code */

  int Build();
  int DoubleTriangle();
  int FindFirstTriangle(tVertexStructure **pa, tVertexStructure **pb, tVertexStructure **pc) const;
  int FindWideTriangle(tVertexStructure **pa, tVertexStructure **pb, tVertexStructure **pc) const;
  tVertexStructure *FirstOffPlane(tVertexStructure *a, tVertexStructure *b,
                                  tVertexStructure *c) const;
  void ConstructHull(Conflicts &conflicts);
  int AddPoint(tVertexStructure *p, Conflicts &conflicts);
  tFaceStructure *MakeConeFace(tEdgeStructure *e, tVertexStructure *p);
  void MakeCcw(tFaceStructure *f, tEdgeStructure *e, tVertexStructure *p);
  tFaceStructure *MakeFace(tVertexStructure *v0, tVertexStructure *v1, tVertexStructure *v2,
                           tFaceStructure *fold);
  tVertexStructure *MakeNullVertex();
  tEdgeStructure *MakeNullEdge();
  tFaceStructure *MakeNullFace();
  void CleanUp(tVertexStructure *p, Conflicts &conflicts);
  void CleanEdges(Conflicts &conflicts);
  void CleanFaces(Conflicts &conflicts);
  void CleanVertices(tVertexStructure *p, Conflicts &conflicts);
  void EdgeOrderOnFaces();
  int VolumeSign(const tFaceStructure *f, const tVertexStructure *p) const;
  int ExactVolumeSign(const tFaceStructure *f, const tVertexStructure *p) const;
  int Collinear(const tVertexStructure *a, const tVertexStructure *b,
                const tVertexStructure *c) const;
  int InsideHull(const tVertexStructure *p) const;
  int CheckEuler(int V, int E, int F) const;
  int CheckConsistency() const;
  void SubVec(const double a[3], const double b[3], double c[3]) const;
  /* Writes the hull as a PostScript listing (projected onto x and y) to standard output. */
  void Print() const;
  void Release();
  void ResetConstruction();
  void CopyFrom(const TConvexHull &other);

  tVertexStructure *vertices;
  tEdgeStructure *edges;
  tFaceStructure *faces;
  int vertexCount;
};

#endif
