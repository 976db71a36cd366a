#ifndef __cplusplus
#error "velmora/tconvexhull.h is a C++ header"
#endif

/* Convex hull of a small set of 3-D points, built incrementally: a double-sided first triangle,
   then one point at a time, each addition deleting the faces visible from the new point and
   erecting a cone of new faces on the horizon. Usage:

       TConvexHull hull;
       for (...) hull.AddPoint(x, y, z);
       if (hull.Construct() == 0 && hull.InsideHull(px, py, pz)) ...

   Coplanarity uses a fixed threshold: a point whose determinant against a face (six times the
   signed tetrahedron volume) lies within +-0.5 counts as lying on that face's plane, whatever the
   scale of the coordinates. */
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
     Returns 0; -1 after a report when memory runs out (the hull is unchanged). */
  int AddPoint(double x, double y, double z);

  /* Builds the hull of every point added so far (a repeated call starts afresh from the vertices
     kept by the earlier one and those added since). Returns 0, or
     -1 when the hull is empty, when no three consecutive points (in order of addition) are
     non-collinear, when all points are coplanar within the +-0.5 threshold, or after a report
     when memory runs out. After -1, InsideHull answers for whatever faces were made (none after
     a memory failure) and means nothing. */
  int Construct();

  /* 1 when (x, y, z) lies inside the constructed hull, on it, or outside it by less than the
     coplanarity threshold against every face; else 0. Meaningful after Construct returned 0. */
  int InsideHull(double x, double y, double z) const;

 private:
  friend struct TConvexHullProbe; /* white-box access for the library's tests */

  int DoubleTriangle();
  void ConstructHull();
  int AddPoint(tVertexStructure *p);
  tFaceStructure *MakeConeFace(tEdgeStructure *e, tVertexStructure *p);
  void MakeCcw(tFaceStructure *f, tEdgeStructure *e, tVertexStructure *p);
  tFaceStructure *MakeFace(tVertexStructure *v0, tVertexStructure *v1, tVertexStructure *v2,
                           tFaceStructure *fold);
  tVertexStructure *MakeNullVertex();
  tEdgeStructure *MakeNullEdge();
  tFaceStructure *MakeNullFace();
  void CleanUp(tVertexStructure **pvnext);
  void CleanEdges();
  void CleanFaces();
  void CleanVertices(tVertexStructure **pvnext);
  void EdgeOrderOnFaces();
  int VolumeSign(const tFaceStructure *f, const tVertexStructure *p) const;
  int Collinear(const tVertexStructure *a, const tVertexStructure *b,
                const tVertexStructure *c) const;
  int InsideHull(const tVertexStructure *p) const;
  int CheckEuler(int V, int E, int F) const;
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
