// Projections of points onto segments, triangles and tetrahedra, as barycentric weights.
//
// A triangle locates a point by its three side planes: each contains a side and the triangle's
// normal, so the ratio of its values at the point and at the opposite corner is that corner's
// barycentric weight, negative when the point lies beyond the side. A tetrahedron does the same
// with its four face planes. The plane-restricted variants work on the line where the
// restricting plane meets the triangle's plane.
#include <cmath>
#include <memory>

#include "foundation/vector_number.h"
#include "geometry/projection_internal.h"
#include "velmora/mat.h"

namespace {

constexpr int kDim = 3;
constexpr double kDegenerateCross = 1e-20;    // shortest normal of a usable plane
constexpr double kShortSegment = 1e-20;       // squared length of a segment that is a point
constexpr double kShortSegmentPlane = 1e-40;  // the same for the plane-restricted projection
constexpr double kParallel = 1e-20;           // |normal . direction| of a parallel line
constexpr double kParallelPlanes = 1e-16;     // |n_a x n_b| of parallel planes
constexpr double kPenaltyWeight = 1000.0;     // price of h^2, the squared move off the plane
constexpr double kNoDistance = 1e20;          // distance before any candidate was measured
constexpr double kMissedLine = -1e20;         // parline result for a line that cannot meet
constexpr double kMeetsTriangle = 0.001;      // parline: y this close counts as on the triangle
constexpr double kWeightSlack = 0.001;        // tetrahedron weights in [-slack, 1 + slack]
constexpr double kFlatCorner = 0.001;         // smallest |value| of a corner on its face plane

// Faces of a tetrahedron: the corners other than 0, 1, 2, 3, in their order.
constexpr int kTetraFaces[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
// Sides of a triangle as tested for location: (corner, corner, opposite corner).
constexpr int kTriangleSides[3][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};
// The side opposite corner k: its two corners.
constexpr int kOppositeSide[3][2] = {{1, 2}, {0, 2}, {0, 1}};

const double *corner(const double *points, int i) {
  return points + kDim * i;
}

void subtract(const double *a, const double *b, double *out) {
  for (int k = 0; k < kDim; ++k)
    out[k] = a[k] - b[k];
}

double plane_value(const double *plane, const double *p) {
  return vect_dot(plane, p, kDim) + plane[3];
}

void set_point(PROJ_RESULT *result, const double *p) {
  *result = PROJ_RESULT{};
  for (int k = 0; k < kDim; ++k)
    result->point[k] = p[k];
}

void store(double *out, double value) {
  if (out != nullptr) *out = value;
}

// Copies corners of a point list into a smaller simplex.
void gather(const double *points, const int *indices, int count, double *out) {
  for (int i = 0; i < count; ++i)
    for (int k = 0; k < kDim; ++k)
      out[kDim * i + k] = corner(points, indices[i])[k];
}

// A sub-simplex result expressed on the corners of the whole simplex.
void lift(const PROJ_RESULT &part, const int *indices, int count, PROJ_RESULT *result) {
  set_point(result, part.point);
  for (int i = 0; i < count; ++i)
    result->weights[indices[i]] = part.weights[i];
}

// sqrt(|q - x|^2 + 1000 h^2): h the distance of p from the plane through x with normal m, q the
// foot of p on that plane. A zero normal restricts nothing.
double penalised_distance(const double *p, const double *x, const double *m) {
  const double mm = vect_dot(m, m, kDim);
  if (mm < kShortSegmentPlane) return vect_distance(p, x, kDim);
  const double offset = vect_dot(m, p, kDim) - vect_dot(m, x, kDim);
  double q[kDim];
  for (int k = 0; k < kDim; ++k)
    q[k] = p[k] - offset / mm * m[k];
  const double h2 = offset * offset / mm;
  return std::sqrt(vect_square_distance(q, x, kDim) + kPenaltyWeight * h2);
}

// The 3 x 3 system of the plane-restricted triangle projection, solved in a work matrix kept
// per thread for the thread's life, so concurrent callers never share it.
struct MatrixRelease {
  void operator()(MATRIX *m) const { mat_kill(m); }
};
thread_local std::unique_ptr<MATRIX, MatrixRelease> workMatrix;

int solve_work_system(const double *a, double *b, int *flag) {
  if (workMatrix == nullptr) {
    MATRIX *m = mat_new(a, kDim);  // reports its own failure
    if (m == nullptr) return kProjNoResources;
    workMatrix.reset(m);
  } else {
    mat_set_data(workMatrix.get(), a);
  }
  if (mat_solve_set(workMatrix.get(), b, flag) != 0) return kProjNoResources;
  return 0;
}

// Where y lies relative to the sides of the triangle with plane (n, d), tested in the order
// P0P1, P0P2, P1P2 and stopping at the first side y lies beyond.
enum class Location { Inside, Beyond, DegenerateSide };

Location locate_in_triangle(const double *triangle, const double *plane, const double *y,
                            double *weights) {
  for (const int *side : kTriangleSides) {
    const double *a = corner(triangle, side[0]);
    double lifted[kDim];
    for (int k = 0; k < kDim; ++k)
      lifted[k] = a[k] + plane[k];
    double sidePlane[4];
    if (plane_from_points(a, corner(triangle, side[1]), lifted, sidePlane) != 0)
      return Location::DegenerateSide;
    const double r = plane_value(sidePlane, y) / plane_value(sidePlane, corner(triangle, side[2]));
    weights[side[2]] = std::fabs(r);
    if (r < 0) return Location::Beyond;
  }
  return Location::Inside;
}

// Projects x onto the side of the triangle opposite corner k (restricted by m when given).
void project_on_side(const double *triangle, int k, const double *x, const double *m,
                     PROJ_RESULT *result, double *value) {
  double segment[2 * kDim];
  gather(triangle, kOppositeSide[k], 2, segment);
  PROJ_RESULT part;
  if (m == nullptr)
    proj_on_segment(segment, x, &part, value);
  else
    proj_on_segment_plane(segment, x, m, &part, value);
  lift(part, kOppositeSide[k], 2, result);
}

// The best side: the first tried, then any strictly better one. edge selects the side opposite
// that corner; a negative edge tries all three.
void project_on_best_side(const double *triangle, const double *x, const double *m,
                          PROJ_RESULT *result, double *value, int edge) {
  double best = kNoDistance;
  bool found = false;
  for (int k = 0; k < 3; ++k) {
    if (edge >= 0 && edge != k) continue;
    PROJ_RESULT candidate;
    double v;
    project_on_side(triangle, k, x, m, &candidate, &v);
    if (!found || v < best) {
      *result = candidate;
      best = v;
      found = true;
    }
  }
  store(value, best);
}

// A triangle without a plane is handled as its longest side.
void project_on_longest_side(const double *triangle, const double *x, const double *m,
                             PROJ_RESULT *result, double *value) {
  const double d01 = vect_square_distance(corner(triangle, 0), corner(triangle, 1), kDim);
  const double d02 = vect_square_distance(corner(triangle, 0), corner(triangle, 2), kDim);
  const double d12 = vect_square_distance(corner(triangle, 1), corner(triangle, 2), kDim);
  int opposite = 0;  // side P1P2
  if (d01 > d02 && d01 > d12)
    opposite = 2;
  else if (d01 <= d02 && d02 > d12)
    opposite = 1;
  project_on_side(triangle, opposite, x, m, result, value);
}

// Barycentric weights of x in the tetrahedron from its face planes.
enum class TetraFit { Inside, Outside, Flat };

TetraFit fit_in_tetra(const double *tetra, const double *x, double *weights, int *flatFace) {
  for (int i = 0; i < 4; ++i) {
    const int *f = kTetraFaces[i];
    double plane[4];
    if (plane_from_points(corner(tetra, f[0]), corner(tetra, f[1]), corner(tetra, f[2]), plane) !=
        0) {
      *flatFace = i;
      return TetraFit::Flat;
    }
    const double den = plane_value(plane, corner(tetra, i));
    if (std::fabs(den) < kFlatCorner) return TetraFit::Outside;
    weights[i] = plane_value(plane, x) / den;
    if (weights[i] < -kWeightSlack || weights[i] > 1.0 + kWeightSlack) return TetraFit::Outside;
  }
  return TetraFit::Inside;
}

void keep_inside_point(const double *x, const double *weights, PROJ_RESULT *result, double *score) {
  set_point(result, x);
  double largest = 0.0;
  for (int i = 0; i < 4; ++i) {
    result->weights[i] = weights[i];
    if (weights[i] > largest) largest = weights[i];
  }
  store(score, largest);
}

// The best face (omitting corner 0, 1, 2, 3 in turn): the first usable one, then any strictly
// better. Returns kProjNoResources as soon as a face reports it.
int project_on_best_face(const double *tetra, const double *x, const double *m, PROJ_RESULT *result,
                         double *value) {
  double best = kNoDistance;
  bool found = false;
  for (const int *f : kTetraFaces) {
    double triangle[3 * kDim];
    gather(tetra, f, 3, triangle);
    PROJ_RESULT part;
    double v;
    const int status = (m == nullptr) ? proj_on_triangle(triangle, x, &part, &v)
                                      : proj_on_triangle_plane(triangle, x, m, &part, &v);
    if (status == kProjNoResources) return status;
    if (status != 0) continue;
    if (!found || v < best) {
      lift(part, f, 3, result);
      best = v;
      found = true;
    }
  }
  store(value, best);
  return 0;
}

}  // namespace

int plane_from_points(const double *p0, const double *p1, const double *p2, double *plane) {
  double u[kDim], w[kDim], n[kDim];
  subtract(p1, p0, u);
  subtract(p2, p0, w);
  vect_cross(u, w, n);
  const double length = std::sqrt(vect_dot(n, n, kDim));
  if (length < kDegenerateCross) return -1;
  for (int k = 0; k < kDim; ++k)
    plane[k] = n[k] / length;
  plane[3] = -vect_dot(n, p0, kDim) / length;
  return 0;
}

int proj_on_segment(const double *segment, const double *x, PROJ_RESULT *result, double *distance) {
  const double *p0 = corner(segment, 0);
  const double *p1 = corner(segment, 1);
  double e[kDim];
  subtract(p1, p0, e);
  const double length2 = vect_dot(e, e, kDim);
  if (length2 < kShortSegment) {
    set_point(result, p0);
    result->weights[0] = 1.0;
  } else {
    const double t = (vect_dot(e, x, kDim) - vect_dot(e, p0, kDim)) / length2;
    double p[kDim], along[kDim];
    for (int k = 0; k < kDim; ++k) {
      p[k] = p0[k] + t * e[k];
      along[k] = p[k] - p0[k];
    }
    const double direction = vect_dot(e, along, kDim);
    if (direction >= 0 && vect_dot(along, along, kDim) > length2) {
      set_point(result, p1);
      result->weights[1] = 1.0;
    } else if (direction < 0) {
      set_point(result, p0);
      result->weights[0] = 1.0;
    } else {
      set_point(result, p);
      const double s = std::sqrt(vect_square_distance(p1, p, kDim) / length2);
      result->weights[0] = s;
      result->weights[1] = 1.0 - s;
    }
  }
  store(distance, vect_distance(result->point, x, kDim));
  return 0;
}

int proj_on_segment_plane(const double *segment, const double *x, const double *m,
                          PROJ_RESULT *result, double *score) {
  const double *p0 = corner(segment, 0);
  const double *p1 = corner(segment, 1);
  double e[kDim];
  subtract(p1, p0, e);
  if (vect_dot(e, e, kDim) < kShortSegmentPlane) {
    set_point(result, p0);
    result->weights[0] = 1.0;
    store(score, penalised_distance(p0, x, m));
    return 0;
  }
  const double den = vect_dot(m, e, kDim);
  if (std::fabs(den) < kParallel) {
    proj_on_segment(segment, x, result, nullptr);
    store(score, penalised_distance(result->point, x, m));
    return 0;
  }
  const double t = (vect_dot(m, x, kDim) - vect_dot(m, p0, kDim)) / den;
  if (t < 0) {
    set_point(result, p0);
    result->weights[0] = 1.0;
    store(score, penalised_distance(p0, x, m));
  } else if (t > 1) {
    set_point(result, p1);
    result->weights[1] = 1.0;
    store(score, penalised_distance(p1, x, m));
  } else {
    double p[kDim];
    for (int k = 0; k < kDim; ++k)
      p[k] = p0[k] + t * e[k];
    set_point(result, p);
    result->weights[0] = 1.0 - t;
    result->weights[1] = t;
    store(score, vect_distance(p, x, kDim));
  }
  return 0;
}

// A point beyond any side is projected onto the nearest of all three sides: beyond an obtuse
// corner it can lie beyond two sides, and the nearer one is not always the first found.
int proj_on_triangle(const double *triangle, const double *x, PROJ_RESULT *result,
                     double *distance) {
  double plane[4];
  if (plane_from_points(corner(triangle, 0), corner(triangle, 1), corner(triangle, 2), plane) !=
      0) {
    project_on_longest_side(triangle, x, nullptr, result, distance);
    return 0;
  }
  double weights[3];
  switch (locate_in_triangle(triangle, plane, x, weights)) {
    case Location::DegenerateSide:
      return -1;
    case Location::Beyond:
      proj_on_triangle_edges(triangle, x, result, distance, -1);
      return 0;
    case Location::Inside:
      break;
  }
  const double height = plane_value(plane, x);
  double p[kDim];
  for (int k = 0; k < kDim; ++k)
    p[k] = x[k] - height * plane[k];
  set_point(result, p);
  for (int i = 0; i < 3; ++i)
    result->weights[i] = weights[i];
  store(distance, std::fabs(height));
  return 0;
}

void proj_on_triangle_edges(const double *triangle, const double *x, PROJ_RESULT *result,
                            double *distance, int edge) {
  project_on_best_side(triangle, x, nullptr, result, distance, edge);
}

// y solves n . y = -d (the triangle's plane), m . y = m . x (the restricting plane) and
// c . y = c . x with c = n x m: the foot of x on the line where the two planes meet.
int proj_on_triangle_plane(const double *triangle, const double *x, const double *m,
                           PROJ_RESULT *result, double *score) {
  double plane[4];
  if (plane_from_points(corner(triangle, 0), corner(triangle, 1), corner(triangle, 2), plane) !=
      0) {
    project_on_longest_side(triangle, x, m, result, score);
    return 0;
  }
  double c[kDim];
  vect_cross(plane, m, c);
  const double system[kDim * kDim] = {plane[0], plane[1], plane[2], m[0], m[1],
                                      m[2],     c[0],     c[1],     c[2]};
  double y[kDim] = {-plane[3], vect_dot(m, x, kDim), vect_dot(c, x, kDim)};
  int flag = 0;
  if (solve_work_system(system, y, &flag) != 0) return kProjNoResources;
  if (flag != 0) {  // m parallel to the normal: the planes do not meet in a line
    proj_on_triangle(triangle, x, result, nullptr);
    store(score, penalised_distance(result->point, x, m));
    return 0;
  }
  double weights[3];
  switch (locate_in_triangle(triangle, plane, y, weights)) {
    case Location::DegenerateSide:
      return -1;
    case Location::Beyond:
      return proj_on_triangle_edges_plane(triangle, x, m, result, score) == 0 ? 0 : -1;
    case Location::Inside:
      break;
  }
  set_point(result, y);
  for (int i = 0; i < 3; ++i)
    result->weights[i] = weights[i];
  store(score, vect_distance(y, x, kDim));
  return 0;
}

int proj_on_triangle_edges_plane(const double *triangle, const double *x, const double *m,
                                 PROJ_RESULT *result, double *score) {
  project_on_best_side(triangle, x, m, result, score, -1);
  return 0;
}

int proj_on_triangle_parline(const double *triangle, const double *x, const double *dir,
                             PROJ_RESULT *result, double *distance) {
  double plane[4];
  const bool flat =
      plane_from_points(corner(triangle, 0), corner(triangle, 1), corner(triangle, 2), plane) != 0;
  const double slope = flat ? 0.0 : vect_dot(plane, dir, kDim);
  if (flat || std::fabs(slope) < kParallel) {
    store(distance, kMissedLine);
    return -1;
  }
  const double t = -(plane[3] + vect_dot(plane, x, kDim)) / slope;
  double y[kDim];
  for (int k = 0; k < kDim; ++k)
    y[k] = x[k] + t * dir[k];
  double offTriangle = 0.0;
  if (proj_on_triangle(triangle, y, result, &offTriangle) != 0) {
    store(distance, kMissedLine);
    return -1;
  }
  const double d = vect_distance(result->point, x, kDim);
  store(distance, offTriangle <= kMeetsTriangle ? d : -d);
  return 0;
}

int proj_on_tetra(const double *tetra, const double *x, PROJ_RESULT *result, double *score) {
  double weights[4];
  int flatFace = 0;
  if (fit_in_tetra(tetra, x, weights, &flatFace) != TetraFit::Inside) {
    double distance = kNoDistance;
    proj_on_tetra_surface(tetra, x, result, &distance);
    store(score, -distance);
    return 0;
  }
  keep_inside_point(x, weights, result, score);
  return 0;
}

int proj_on_tetra_surface(const double *tetra, const double *x, PROJ_RESULT *result,
                          double *distance) {
  return project_on_best_face(tetra, x, nullptr, result, distance);
}

// A flat tetrahedron is projected onto the triangle that keeps the longest side of its
// degenerate face and replaces one of that face's corners by the omitted one.
int proj_on_tetra_plane(const double *tetra, const double *x, const double *m, PROJ_RESULT *result,
                        double *score) {
  store(score, 0.0);
  double weights[4];
  int flatFace = 0;
  switch (fit_in_tetra(tetra, x, weights, &flatFace)) {
    case TetraFit::Flat: {
      int corners[3] = {kTetraFaces[flatFace][0], kTetraFaces[flatFace][1],
                        kTetraFaces[flatFace][2]};
      const double dab =
          vect_square_distance(corner(tetra, corners[0]), corner(tetra, corners[1]), kDim);
      const double dac =
          vect_square_distance(corner(tetra, corners[0]), corner(tetra, corners[2]), kDim);
      const double dbc =
          vect_square_distance(corner(tetra, corners[1]), corner(tetra, corners[2]), kDim);
      int replaced;
      if (dab <= dac)
        replaced = (dac <= dbc) ? 0 : 1;
      else
        replaced = (dab <= dbc) ? 0 : 2;
      corners[replaced] = flatFace;
      double triangle[3 * kDim];
      gather(tetra, corners, 3, triangle);
      PROJ_RESULT part;
      double s = 0.0;
      const int status = proj_on_triangle_plane(triangle, x, m, &part, &s);
      if (status != 0) return status;
      lift(part, corners, 3, result);
      store(score, -s);
      return 0;
    }
    case TetraFit::Outside: {
      double s = kNoDistance;
      const int status = proj_on_tetra_surface_plane(tetra, x, m, result, &s);
      if (status != 0) return status;
      store(score, -s);
      return 0;
    }
    case TetraFit::Inside:
      break;
  }
  keep_inside_point(x, weights, result, score);
  return 0;
}

int proj_on_tetra_surface_plane(const double *tetra, const double *x, const double *m,
                                PROJ_RESULT *result, double *score) {
  return project_on_best_face(tetra, x, m, result, score);
}

// The direction is the cross product of the normals (the vector orthogonal to both).
int plane_intersection_line(const double *a, const double *b, double *direction, double *point) {
  double u[kDim];
  vect_cross(a, b, u);
  if (std::sqrt(vect_dot(u, u, kDim)) < kParallelPlanes) return -1;
  vect_normalize(u, kDim);

  MATRIX *system = mat_new(nullptr, kDim);  // reports its own failure
  if (system == nullptr) return kProjNoResources;
  double p[kDim] = {-a[3], -b[3], 0.0};
  int flag = 0;
  const bool solved = mat_set_row(system, 0, a) == 0 && mat_set_row(system, 1, b) == 0 &&
                      mat_set_row(system, 2, u) == 0 && mat_solve_set(system, p, &flag) == 0 &&
                      flag == 0;
  mat_kill(system);
  if (!solved) return -1;
  for (int k = 0; k < kDim; ++k) {
    direction[k] = u[k];
    point[k] = p[k];
  }
  return 0;
}
