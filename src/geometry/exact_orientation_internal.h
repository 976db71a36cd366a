// Exact orientation tests for the hull constructions.
//
// A hull built with rounded orientation signs can see a face from one point and not from its
// neighbour across an edge, split the visible region and end with faces that no longer bound a
// convex body. These tests give the sign of the true determinant for any finite input: a
// floating-point evaluation with a forward error bound decides almost every call, and the rare
// undecided ones are evaluated exactly in floating-point expansions (sums of non-overlapping
// doubles, after Shewchuk, "Adaptive precision floating-point arithmetic and fast robust
// geometric predicates", 1997). Coordinates are meant to stay within +-1e99, where no product of
// three differences overflows.
#ifndef VELMORA_GEOMETRY_EXACT_ORIENTATION_INTERNAL_H
#define VELMORA_GEOMETRY_EXACT_ORIENTATION_INTERNAL_H

namespace velmora::exact {

// Largest coordinate magnitude the exact tests accept.
inline constexpr double kLargestCoordinate = 1e99;

// Sign (1, 0, -1) of (a - p) . ((b - p) x (c - p)), six times the signed volume of the
// tetrahedron a, b, c, p (3 doubles each).
int orientation(const double *a, const double *b, const double *c, const double *p);

// The same determinant's value, within 1e-6 absolute or relative (the floating-point value when
// its error bound allows, else the exact value rounded), so that thresholds on it mean what
// they say at any coordinate scale.
double determinant(const double *a, const double *b, const double *c, const double *p);

// Whether a, b and c lie exactly on one line (coincident points included).
bool collinear(const double *a, const double *b, const double *c);

}  // namespace velmora::exact

#endif
