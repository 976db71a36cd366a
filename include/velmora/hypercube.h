#ifndef __cplusplus
#error "velmora/hypercube.h is a C++ header"
#endif

/* Interpolation over a box that moves and shrinks with a black level. The domain is the box
   that runs linearly from lowCube (at lowCube.level) to highCube (at highCube.level); inputs
   (x, y, z, black level) are normalised into the unit hypercube [0, 1]^4 and the three outputs
   are a simplex blend of the values of correction points on the corners of a grid in that
   normalised space. Points of A supply values; points of B supply values and grid positions.

       HyperCubeWithCorrections cube(low, high, cornerPoints, corrections);
       cube.interpolate(in, out);

   interpolate is const and keeps its work on its own stack, so one object may serve several
   threads at once. */
#ifndef VELMORA_HYPERCUBE_H
#define VELMORA_HYPERCUBE_H

#include <array>
#include <set>
#include <vector>

#include "velmora/export.h"

namespace InterpolationHelpers {

/* The box that holds at one black level: lower corner, black level, edge lengths. */
struct VELMORA_API BlackLevelCube {
  double origin[3];
  double level;
  double size[3];
};

/* A stored point: the values it carries, its input coordinates (x, y, z, black level) and its
   normalised coordinates (filled in by HyperCubeWithCorrections). */
struct VELMORA_API Point {
  double value[3];
  double coordinates[4];
  double normalized[4];

  /* Ordering of the point set: compares the normalised coordinates in order, entries within 0.01
     of each other counting as equal, so points that agree within 0.01 everywhere share a key. */
  bool operator()(const Point &a, const Point &b) const;
};

class VELMORA_API HyperCubeWithCorrections {
 public:
  /* Normalises every point of A and B (writing their `normalized` entries) and stores a copy of
     each whose key is not yet present (the first one wins). The grid along coordinate k is 0, the
     distinct normalised coordinates k of B in ascending order, then 1. Requires
     high.level != low.level. Throws what the standard containers throw. */
  HyperCubeWithCorrections(BlackLevelCube low, BlackLevelCube high, std::vector<Point> &A,
                           std::vector<Point> &B);
  HyperCubeWithCorrections(const HyperCubeWithCorrections &other);
  HyperCubeWithCorrections(HyperCubeWithCorrections &&other) noexcept;
  ~HyperCubeWithCorrections();

  /* in: x, y, z, black level; out: three values. The normalised input is clamped into [0, 1]^4
     (NaN to 0). Within its grid cell the point is blended from the cell's corners by a simplex
     whose weights come from the position inside the cell, so each stored point is reproduced at
     its own position and values linear in the normalised coordinates are reproduced everywhere.
     A cell corner that no stored point holds takes the multilinear interpolation of the stored
     corners of the unit hypercube (missing ones left out and the weights of the others rescaled;
     0 when none is stored). Allocates nothing. */
  void interpolate(const double *in, double *out) const;

  /* Builds a fixed example (a box shrinking from 15 to 5 units between black levels 5 and 10,
     its 16 corners and one interior correction), interpolates one point and returns true. */
  static bool runTest();

 private:
  void calculateNormalizedCoordinates(const double *in, double *out) const;
  void simplexInterpolation(const double *lower, const double *width, const double *normalized,
                            double *out) const;
  void cornerValue(const double *key, double *value) const;

  BlackLevelCube lowCube;
  BlackLevelCube highCube;
  std::set<Point, Point> cornerPoints;
  std::array<std::vector<double>, 4> grids;
  // Values of the 16 unit-hypercube corners (bit k of the index: coordinate k is 1) and which of
  // them are stored; missing cell corners are derived from these.
  std::array<std::array<double, 3>, 16> unitCorners;
  std::array<bool, 16> unitCornerStored;
};

}  // namespace InterpolationHelpers

#endif
