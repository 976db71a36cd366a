/* Gamut geometry: the convex hull and the tetrahedral volume of a point set with vectorised
   inside tests, and projections of points onto a triangle. Batch work runs without the GIL. */
#include <velmora/projection.h>
#include <velmora/tconvexhull.h>
#include <velmora/tetra_volume.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "binding_support.h"

namespace velmora_py {

namespace {

/* Largest coordinate magnitude the hull's and the volume's exact tests take. */
constexpr double kMaxCoordinate = 1e99;

py::object *projection_type = nullptr;

/* The rows of a point set that a hull or volume is built from: finite coordinates within the
   range the exact tests take, at most INT_MAX points. */
Rows<double> point_set(py::handle points) {
  Rows<double> rows = input_rows<double>(points, 3, "points", Dtype::convert);
  if (rows.count > INT_MAX) throw py::value_error("too many points");
  for (py::ssize_t i = 0; i < rows.count; ++i) {
    double v[3];
    copy_row(rows, i, 3, v);
    for (double x : v)
      if (!(std::fabs(x) <= kMaxCoordinate))
        throw py::value_error(row_name("points", rows.lead_shape, i) +
                              " has a coordinate that is not finite or beyond +-1e99");
  }
  return rows;
}

/* One point given as 3 values. */
void single_point(py::handle value, const char *what, double *to) {
  Rows<double> rows = input_rows<double>(value, 3, what, Dtype::convert);
  if (!rows.lead_shape.empty())
    throw py::value_error(std::string(what) + " must have shape (3,), got " +
                          shape_text(rows.array.request().shape));
  copy_row(rows, 0, 3, to);
}

std::string path_arg(py::handle path) {
  return py::str(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

/* Raises OSError for files the library could not write: the subclass errno selects when the
   failing call set it (FileNotFoundError, PermissionError, ...). */
[[noreturn]] void raise_file_error(int error, const std::string &message) {
  py::object type = py::reinterpret_borrow<py::object>(PyExc_OSError);
  py::object exception =
      error != 0 ? type(error, std::string(std::strerror(error)) + ": " + message) : type(message);
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
  throw py::error_already_set();
}

/* ---- ConvexHull ----------------------------------------------------------------------------- */

class ConvexHull {
 public:
  explicit ConvexHull(const ArrayLike &points) {
    Rows<double> rows = point_set(points);
    count_ = rows.count;
    ReportScope reports;
    py::ssize_t added = 0;
    int built = -1;
    {
      py::gil_scoped_release nogil;
      for (; added < rows.count; ++added) {
        double v[3];
        copy_row(rows, added, 3, v);
        if (hull_.AddPoint(v[0], v[1], v[2]) != 0) break;
      }
      if (added == rows.count) built = hull_.Construct();
    }
    if (added < rows.count)
      reports.raise("adding " + row_name("points", rows.lead_shape, added) +
                    " to the hull failed: memory ran out");
    if (built != 0)
      reports.raise(
          "the points span no volume: there are none, or all lie on one line or within the "
          "hull's tolerance of one plane");
  }

  py::ssize_t size() const { return count_; }

  py::object inside(const ArrayLike &points) const {
    return test_each_point(
        points, "points", [] { return 0; },
        [this](const double *v) { return hull_.InsideHull(v[0], v[1], v[2]) != 0; });
  }

 private:
  TConvexHull hull_;
  py::ssize_t count_ = 0;
};

/* ---- TetraVolume ---------------------------------------------------------------------------- */

class TetraVolume {
 public:
  explicit TetraVolume(const ArrayLike &points) {
    Rows<double> rows = point_set(points);
    if (rows.count < 4)
      throw py::value_error("a volume needs at least four points, got " +
                            std::to_string(rows.count));
    count_ = rows.count;
    /* The volume copies every corner it keeps, so the points live only while it is built. */
    std::vector<TETRA_POINT> corners(static_cast<std::size_t>(rows.count));
    for (py::ssize_t i = 0; i < rows.count; ++i) {
      double v[3];
      copy_row(rows, i, 3, v);
      corners[static_cast<std::size_t>(i)] = {v[0], v[1], v[2], static_cast<double>(i)};
    }
    ReportScope reports;
    {
      py::gil_scoped_release nogil;
      LIST list = list_new(static_cast<int>(rows.count), sizeof(TETRA_POINT *), nullptr);
      bool listed = list != nullptr;
      for (std::size_t i = 0; listed && i < corners.size(); ++i) {
        TETRA_POINT *p = &corners[i];
        listed = list_insert(list, &p) == 0;
      }
      if (listed) volume_ = tetra_volume_new(list);
      list_kill(list);
    }
    if (volume_ == nullptr)
      reports.raise(
          "the volume could not be built: all points lie within 0.01 of one plane, or memory "
          "ran out");
  }
  ~TetraVolume() { tetra_volume_kill(volume_); }
  TetraVolume(const TetraVolume &) = delete;
  TetraVolume &operator=(const TetraVolume &) = delete;

  py::ssize_t size() const { return count_; }

  py::object inside(const ArrayLike &points) const {
    return test_each_point(
        points, "points", [this] { return std::shared_lock<std::shared_mutex>(lock_); },
        [this](const double *v) { return tetra_volume_point_inside(volume_, v) != 0; });
  }

  double volume(bool check_hidden) {
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> hold(lock_);
    return tetra_volume_get_volume(volume_, check_hidden ? 1 : 0);
  }

  py::array_t<double> intersect(const ArrayLike &a, const ArrayLike &b) const {
    double from[3], to[3];
    single_point(a, "a", from);
    single_point(b, "b", to);
    /* Most segments cross a body's surface a few times: one call with room for that, a second
       with exact room when there are more. */
    constexpr int kRoom = 16;
    std::vector<double> found(3 * kRoom);
    int count = 0;
    int rc = 0;
    ReportScope reports;
    {
      py::gil_scoped_release nogil;
      std::shared_lock<std::shared_mutex> hold(lock_);
      rc = tetra_volume_line_intersect2(volume_, from, to, &count, found.data(), kRoom);
      if (rc == 0 && count > kRoom) {
        found.resize(3 * static_cast<std::size_t>(count));
        rc = tetra_volume_line_intersect2(volume_, from, to, &count, found.data(), count);
      }
    }
    if (rc != 0) reports.raise("intersecting the segment failed: memory ran out");
    py::array_t<double> result(std::vector<py::ssize_t>{count, 3});
    std::copy(found.begin(), found.begin() + 3 * count, result.mutable_data());
    return result;
  }

  py::array_t<std::int32_t> tetrahedra() const {
    std::shared_lock<std::shared_mutex> hold(lock_);
    const int count = tetra_volume_get_nr_of_tetrahedrae(volume_);
    py::array_t<std::int32_t> result(std::vector<py::ssize_t>{count, 4});
    std::int32_t *data = result.mutable_data();
    for (int t = 0; t < count; ++t) {
      TETRA *tetra = nullptr;
      if (tetra_volume_get_tetra2(volume_, t, &tetra) != 0)
        raise_error("no tetrahedron " + std::to_string(t));
      for (int c = 0; c < 4; ++c)
        data[4 * t + c] = tetra_get_pointnr(tetra, c);
    }
    return result;
  }

  void write_vrml(const PathLike &face_path, const PathLike &point_path) const {
    const std::string faces = path_arg(face_path), points = path_arg(point_path);
    int rc = 0, error = 0;
    {
      py::gil_scoped_release nogil;
      std::shared_lock<std::shared_mutex> hold(lock_);
      errno = 0;
      rc = writeVRML(volume_, faces.c_str(), points.c_str());
      error = errno;
    }
    if (rc != 1)
      raise_file_error(error, "could not write the scenes '" + faces + "' and '" + points + "'");
  }

  void dump(const PathLike &path, const ArrayLike &viewpoint) const {
    double view[3];
    single_point(viewpoint, "viewpoint", view);
    const std::string file = path_arg(path);
    int rc = 0, error = 0;
    {
      py::gil_scoped_release nogil;
      std::shared_lock<std::shared_mutex> hold(lock_);
      errno = 0;
      rc = tetra_volume_dump_to_file(volume_, view, file.c_str());
      error = errno;
    }
    if (rc != 0) raise_file_error(error, "could not write '" + file + "'");
  }

 private:
  TETRA_VOLUME *volume_ = nullptr;
  py::ssize_t count_ = 0;
  /* Queries share the volume; the volume estimate writes its hidden-face marks. */
  mutable std::shared_mutex lock_;
};

/* ---- Projections ---------------------------------------------------------------------------- */

py::object project_on_triangle(const ArrayLike &triangle, const ArrayLike &points,
                               const OptionalArrayLike &direction) {
  Rows<double> corners = input_rows<double>(triangle, 3, "triangle", Dtype::convert);
  if (corners.lead_shape != std::vector<py::ssize_t>{3})
    throw py::value_error("triangle must have shape (3, 3), got " +
                          shape_text(corners.array.request().shape));
  double tri[9];
  for (int k = 0; k < 3; ++k)
    copy_row(corners, k, 3, tri + 3 * k);
  Rows<double> rows = input_rows<double>(points, 3, "points", Dtype::convert);
  std::optional<Rows<double>> dirs;
  if (!direction.is_none()) {
    dirs = input_rows<double>(direction, 3, "direction", Dtype::convert);
    if (!dirs->lead_shape.empty() && dirs->lead_shape != rows.lead_shape) {
      std::vector<py::ssize_t> wanted = rows.lead_shape;
      wanted.push_back(3);
      throw py::value_error("direction must have shape (3,) or " + shape_text(wanted) + ", got " +
                            shape_text(dirs->array.request().shape));
    }
  }
  Rows<double> point = output_rows<double>(py::none(), rows.lead_shape, 3, "point");
  Rows<double> weights = output_rows<double>(py::none(), rows.lead_shape, 3, "weights");
  py::array_t<double> distance(rows.lead_shape);
  py::array_t<std::int32_t> status(rows.lead_shape);
  double *distance_data = distance.mutable_data();
  std::int32_t *status_data = status.mutable_data();
  const bool one_direction = dirs && dirs->lead_shape.empty();
  {
    py::gil_scoped_release nogil;
    double dir[3] = {};
    if (one_direction) copy_row(*dirs, 0, 3, dir);
    for (py::ssize_t i = 0; i < rows.count; ++i) {
      double x[3];
      copy_row(rows, i, 3, x);
      PROJ_RESULT result = {};
      double dist = kFailedValue;
      int rc;
      if (dirs) {
        if (!one_direction) copy_row(*dirs, i, 3, dir);
        rc = proj_on_triangle_parline(tri, x, dir, &result, &dist);
      } else {
        rc = proj_on_triangle(tri, x, &result, &dist);
      }
      if (rc != 0) {
        /* The result is left unchanged by a failed projection. */
        for (int k = 0; k < 3; ++k)
          result.point[k] = result.weights[k] = kFailedValue;
      }
      store_row(point, i, 3, result.point);
      store_row(weights, i, 3, result.weights);
      distance_data[i] = dist;
      status_data[i] = rc == 0 ? 0 : -1;
    }
  }
  return (*projection_type)(point.array, weights.array, per_point(distance, rows.lead_shape),
                            per_point(status, rows.lead_shape));
}

}  // namespace

void register_geometry(py::module_ &m) {
  py::object result =
      named_tuple("TriangleProjection", {"point", "weights", "distance", "status"}, R"doc(
Result of project_on_triangle, a named tuple (point, weights, distance, status).

point: float64 array (..., 3), the projected points.
weights: float64 array (..., 3), the corner weights: point = sum of weights[..., i] * triangle[i].
distance: float64 array (...), |point - x|. Along a direction it is negative when the line misses
    the triangle (point is then the triangle's point nearest to where the line meets its plane).
status: int32 array (...), 0 or -1: a side too short to define the triangle's edge plane, or,
    along a direction, a degenerate triangle or a line parallel to its plane. point and weights
    are NaN there; distance is NaN, or -1e20 along a direction.
For a single point given as shape (3,), distance and status are NumPy scalars.)doc");
  m.attr("TriangleProjection") = result;
  projection_type = new py::object(result);

  py::class_<ConvexHull>(m, "ConvexHull", R"doc(
The convex hull of a set of 3-D points (Lab units), for inside tests.

    hull = velmora.ConvexHull(lab_points)        # (n, 3)
    hull.inside(queries)                         # (..., 3) -> bool (...)

A point counts as inside while its determinant against every face (six times the signed
tetrahedron volume) is above -0.5: about 0.0025 units beyond faces of 100 square units. The
hull does not change after construction; inside tests release the GIL and may run on several
threads at once.)doc")
      .def(py::init<const ArrayLike &>(), py::arg("points"),
           "Builds the hull of points, shape (..., 3). ValueError naming the row for a "
           "coordinate that is not finite or beyond +-1e99; velmora.Error when the points span "
           "no volume (none, all on one line or all within the tolerance of one plane).")
      .def("__len__", &ConvexHull::size, "Number of points the hull was built from.")
      .def("inside", &ConvexHull::inside, py::arg("points"),
           "Whether points of shape (..., 3) lie inside the hull, on it or outside it within "
           "the tolerance. Returns a bool array (...); False for a non-finite point.");

  py::class_<TetraVolume>(m, "TetraVolume", R"doc(
A closed body in Lab space held as the triangular faces of the convex hull of a point set and
as tetrahedra fanned from its first point (the apex) that fill it. Points closer than 0.01 in
every coordinate count as one; inside answers are those of the hull for points farther than
about 0.01 from its surface.

    body = velmora.TetraVolume(lab_points)      # (n, 3), n >= 4
    body.inside(queries)                        # (..., 3) -> bool (...)
    body.intersect(a, b)                        # (k, 3) surface crossings of the segment a..b

Inside tests and intersections release the GIL and may run on several threads at once.)doc")
      .def(py::init<const ArrayLike &>(), py::arg("points"),
           "Builds the volume of points, shape (..., 3), numbered by row in C order. "
           "ValueError for fewer than four points or a coordinate that is not finite or beyond "
           "+-1e99 (naming the row); velmora.Error when all points lie within 0.01 of one "
           "plane (no body) or memory runs out.")
      .def("__len__", &TetraVolume::size, "Number of points the volume was built from.")
      .def("inside", &TetraVolume::inside, py::arg("points"),
           "Whether points of shape (..., 3) lie inside the body (parity of the crossings of "
           "a ray in +L direction). Returns a bool array (...).")
      .def("volume", &TetraVolume::volume, py::arg("check_hidden") = false,
           "Estimated volume in cubic Lab units: the sum over the faces of the cone from the "
           "Lab centre (50, 0, 0) to the face. With check_hidden, faces lying between another "
           "face's centroid and the centre are first marked hidden; the marks persist, and "
           "marked faces are left out of this and every later estimate.")
      .def("intersect", &TetraVolume::intersect, py::arg("a"), py::arg("b"),
           "The distinct points where the segment from a to b (3 values each) crosses the "
           "faces, as a float64 array (k, 3) in face order (k = 0 when it crosses none).")
      .def("tetrahedra", &TetraVolume::tetrahedra,
           "The filling tetrahedra as an int32 array (T, 4) of point numbers (rows of the "
           "points the volume was built from); the first corner is the apex, point 0.")
      .def("write_vrml", &TetraVolume::write_vrml, py::arg("face_path"), py::arg("point_path"),
           "Writes two VRML 2.0 scenes: face_path gets the faces as an indexed face set, each "
           "coloured with the sRGB colour of its first corner, point_path the face corners as a "
           "point set. OSError when a file cannot be written (when the second fails, the first "
           "is complete).")
      .def("dump", &TetraVolume::dump, py::arg("path"), py::arg("viewpoint"),
           "Writes a text file of points sampled along the face edges, each line 'a b L', "
           "denser along edges visible from viewpoint (3 values). OSError when the file cannot "
           "be written.");

  m.def("project_on_triangle", &project_on_triangle, py::arg("triangle"), py::arg("points"),
        py::arg("direction") = py::none(),
        "Projects points of shape (..., 3) onto the triangle (shape (3, 3), one corner per "
        "row). Without direction each point goes to the nearest point of the triangle (a "
        "degenerate triangle onto its longest side). With direction (shape (3,), or (..., 3) "
        "per point) each point moves along that line to the triangle's plane and from there "
        "to the nearest point of the triangle. Returns a TriangleProjection (point, weights, "
        "distance, status). Releases the GIL.");
}

}  // namespace velmora_py
