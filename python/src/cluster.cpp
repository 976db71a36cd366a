/* ClusterGroup: the store of measured (Lab, device) pairs, filled from arrays and queried in
   batches without the GIL. Queries share the group; adding points takes it exclusively, so a
   Python thread that adds while others query waits for them instead of racing them. */
#include <velmora/tclustergroup.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "binding_support.h"

namespace velmora_py {

namespace {

/* The result type of ClusterGroup.interpolate, a named tuple made at registration. */
py::object *interpolation_type = nullptr;

/* One Lab axis of the grid: its limits and node spacing. */
struct Axis {
  double min = 0.0;
  double max = 0.0;
  double step = 1.0;
};

Axis axis_arg(py::handle value, const char *name) {
  const std::string what(name);
  if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value))
    throw py::type_error(what + " must be a sequence (min, max, step) of numbers");
  py::sequence items = py::reinterpret_borrow<py::sequence>(value);
  if (items.size() != 3)
    throw py::value_error(what + " must be (min, max, step), got " + std::to_string(items.size()) +
                          " values");
  double v[3];
  for (std::size_t i = 0; i < 3; ++i) {
    try {
      v[i] = py::float_(items[i]).cast<double>();
    } catch (const py::error_already_set &) {
      throw py::type_error(what + " must be a sequence (min, max, step) of numbers");
    }
  }
  return {v[0], v[1], v[2]};
}

enum class Method { free, penalised, plane };

Method method_arg(const std::string &name) {
  if (name == "free") return Method::free;
  if (name == "penalised" || name == "penalized") return Method::penalised;
  if (name == "plane") return Method::plane;
  throw py::value_error("method must be 'free', 'penalised' or 'plane', got '" + name + "'");
}

class ClusterGroup {
 public:
  ClusterGroup(int channels, Axis l, Axis a, Axis b, int capacity)
      : channels_(channels), axes_{l, a, b}, capacity_(capacity) {
    if (channels < 0 || channels > TClusterGroup::kMaxDevCoord)
      throw py::value_error("device_channels must lie within 0 .. " +
                            std::to_string(TClusterGroup::kMaxDevCoord) + ", got " +
                            std::to_string(channels));
    if (capacity < 0) throw py::value_error("capacity must not be negative");
    ReportScope reports;
    group_.reset(TClusterGroup::Create(channels, l.min, l.max, l.step, a.min, a.max, a.step, b.min,
                                       b.max, b.step, capacity));
    if (!group_) reports.raise("the cluster group could not be created: memory ran out");
  }
  ClusterGroup(const ClusterGroup &) = delete;
  ClusterGroup &operator=(const ClusterGroup &) = delete;

  int channels() const { return channels_; }
  const Axis &axis(int i) const { return axes_[i]; }
  py::ssize_t size() const { return count_; }

  void add(const ArrayLike &lab, const OptionalArrayLike &device) {
    Rows<double> labs = input_rows<double>(lab, 3, "lab", Dtype::convert);
    std::optional<Rows<double>> devs;
    if (device.is_none()) {
      if (channels_ > 0)
        throw py::type_error("add needs device values: the group has " + std::to_string(channels_) +
                             " device channels");
    } else {
      devs = input_rows<double>(device, channels_, "device", Dtype::convert);
      if (devs->lead_shape != labs.lead_shape)
        throw py::value_error("lab and device must hold the same points: lab has shape " +
                              shape_text(labs.array.request().shape) + ", device " +
                              shape_text(devs->array.request().shape));
    }
    /* Refuse bad rows before anything is added, so that a refused call leaves the group as it
       was. The library itself refuses NaN Lab values (infinite ones are clamped into the grid);
       device values are stored as floats, so a non-finite one would only come back as NaN. */
    for (py::ssize_t i = 0; i < labs.count; ++i) {
      double v[3];
      copy_row(labs, i, 3, v);
      if (std::isnan(v[0]) || std::isnan(v[1]) || std::isnan(v[2]))
        throw py::value_error(row_name("lab", labs.lead_shape, i) + " holds a NaN");
      if (devs) {
        double d[TClusterGroup::kMaxDevCoord];
        copy_row(*devs, i, channels_, d);
        for (int j = 0; j < channels_; ++j)
          if (!std::isfinite(d[j]))
            throw py::value_error(row_name("device", devs->lead_shape, i) +
                                  " holds a value that is not finite");
      }
    }
    ReportScope reports;
    py::ssize_t added = 0;
    int updated = 0;
    {
      py::gil_scoped_release nogil;
      std::unique_lock<std::shared_mutex> hold(lock_);
      double d[TClusterGroup::kMaxDevCoord] = {};
      for (; added < labs.count; ++added) {
        double v[3];
        copy_row(labs, added, 3, v); /* AddPoint clamps its Lab argument in place */
        if (devs) copy_row(*devs, added, channels_, d);
        if (group_->AddPoint(d, v) != 0) break;
      }
      updated = group_->UpdateForAddedPoints();
    }
    count_ += added;
    if (added < labs.count)
      reports.raise("adding " + row_name("lab", labs.lead_shape, added) +
                    " failed: memory ran out (the earlier rows were added)");
    if (updated != 0)
      reports.raise(
          "the search tables could not be rebuilt: memory ran out (queries fail until "
          "the next successful add)");
  }

  py::object interpolate(const ArrayLike &lab, const std::string &method_name,
                         const OptionalArrayLike &plane, const OutArray &out) const {
    const Method method = method_arg(method_name);
    Rows<double> labs = input_rows<double>(lab, 3, "lab", Dtype::convert);
    std::optional<Rows<double>> planes;
    if (!plane.is_none()) {
      if (method != Method::plane) throw py::value_error("plane is used only with method='plane'");
      planes = input_rows<double>(plane, 4, "plane", Dtype::convert);
      if (!planes->lead_shape.empty() && planes->lead_shape != labs.lead_shape) {
        std::vector<py::ssize_t> wanted = labs.lead_shape;
        wanted.push_back(4);
        throw py::value_error("plane must have shape (4,) or " + shape_text(wanted) + ", got " +
                              shape_text(planes->array.request().shape));
      }
    } else if (method == Method::plane) {
      throw py::value_error("method='plane' needs plane=(nL, na, nb, d)");
    }
    if (count_ == 0) raise_error("the cluster group holds no points: add measurements first");

    Rows<double> devs = output_rows<double>(out, labs.lead_shape, channels_, "out");
    py::array_t<double> distance(labs.lead_shape);
    py::array_t<std::int32_t> status(labs.lead_shape);
    double *distance_data = distance.mutable_data();
    std::int32_t *status_data = status.mutable_data();
    const bool one_plane = planes && planes->lead_shape.empty();
    ReportScope reports;
    {
      py::gil_scoped_release nogil;
      std::shared_lock<std::shared_mutex> hold(lock_);
      double d[TClusterGroup::kMaxDevCoord];
      double normal[4] = {};
      if (one_plane) copy_row(*planes, 0, 4, normal);
      for (py::ssize_t i = 0; i < labs.count; ++i) {
        double v[3];
        copy_row(labs, i, 3, v);
        double dist = 0.0;
        int rc = -1;
        switch (method) {
          case Method::free:
            rc = group_->InterpolateNPar(v, d, &dist);
            break;
          case Method::penalised:
            rc = group_->InterpolateNParPenal(v, d, &dist);
            break;
          case Method::plane:
            if (!one_plane) copy_row(*planes, i, 4, normal);
            rc = group_->InterpolatePar(v, normal, d, &dist);
            break;
        }
        if (rc != 0) {
          /* The library may leave the outputs of a failed point partly written. */
          for (int j = 0; j < channels_; ++j)
            d[j] = kFailedValue;
          dist = kFailedValue;
        }
        store_row(devs, i, channels_, d);
        distance_data[i] = dist;
        status_data[i] = rc == 0 ? 0 : -1;
      }
    }
    reports.log_as_warnings();
    return (*interpolation_type)(devs.array, per_point(distance, labs.lead_shape),
                                 per_point(status, labs.lead_shape));
  }

  py::object inside(const ArrayLike &lab) const {
    return test_each_point(
        lab, "lab", [this] { return std::shared_lock<std::shared_mutex>(lock_); },
        [this](const double *v) { return group_->IsInside(v) != 0; });
  }

  std::unique_ptr<ClusterGroup> copy() const {
    auto twin = std::make_unique<ClusterGroup>(channels_, axes_[0], axes_[1], axes_[2], capacity_);
    py::gil_scoped_release nogil;
    std::shared_lock<std::shared_mutex> hold(lock_);
    *twin->group_ = *group_;
    twin->count_ = count_;
    return twin;
  }

 private:
  std::unique_ptr<TClusterGroup> group_;
  int channels_;
  Axis axes_[3];
  int capacity_;
  py::ssize_t count_ = 0;
  mutable std::shared_mutex lock_;
};

py::tuple axis_tuple(const Axis &axis) {
  return py::make_tuple(axis.min, axis.max, axis.step);
}

}  // namespace

void register_cluster(py::module_ &m) {
  py::object result = named_tuple("ClusterInterpolation", {"device", "distance", "status"}, R"doc(
Result of ClusterGroup.interpolate, a named tuple (device, distance, status).

device: float64 array (..., D), the interpolated device values.
distance: float64 array (...), minus the Lab distance from the (clamped) query to the point it
    was projected to: 0 inside the measured cloud, negative outside it.
status: int32 array (...), 0 for an interpolated point, -1 for a failed one (a NaN query, or a
    projection that failed); device and distance are NaN there.
For a single query given as shape (3,), distance and status are NumPy scalars.)doc");
  m.attr("ClusterInterpolation") = result;
  interpolation_type = new py::object(result);

  py::class_<ClusterGroup>(m, "ClusterGroup", R"doc(
A store of scattered measurements, each a pair (Lab colour, device values), that answers for
any Lab colour which device values produce it (interpolated from the nearest measured point in
each of the eight octants around it) and whether it lies inside the measured cloud.

    group = velmora.ClusterGroup(3)                # Lab -> 3 device channels, 1-unit grid
    group.add(lab, cmy)                            # (n, 3) and (n, 3) arrays
    cmy, distance, status = group.interpolate(image_lab)

Lab values are snapped to a regular grid (limits and step per axis); every later use of a point
takes the Lab value of its grid node. Device values are expected as fractions 0..1: the
penalised interpolation judges the spread of device values against constants for that scale.

Queries release the GIL, and any number of threads may query one group at once; add() waits
until running queries have finished.)doc")
      .def(py::init([](int device_channels, const py::object &l, const py::object &a,
                       const py::object &b, int capacity) {
             const Axis axis_l = axis_arg(l, "l"), axis_a = axis_arg(a, "a");
             const Axis axis_b = axis_arg(b, "b");
             return std::make_unique<ClusterGroup>(device_channels, axis_l, axis_a, axis_b,
                                                   capacity);
           }),
           py::arg("device_channels"), py::arg("l") = py::make_tuple(0.0, 100.0, 1.0),
           py::arg("a") = py::make_tuple(-128.0, 128.0, 1.0),
           py::arg("b") = py::make_tuple(-128.0, 128.0, 1.0), py::arg("capacity") = 1000,
           "An empty group of points with device_channels (0 .. 8) device values each. l, a and "
           "b are the grid of each Lab axis as (min, max, step): nodes per axis = round((max - "
           "min) / step + 1), 1 .. 32767. capacity is the expected number of points (a hint). "
           "ValueError for a channel count outside 0 .. 8; velmora.Error with the library's "
           "report for a grid it refuses (too many nodes, limits or steps not finite).")
      .def_property_readonly("device_channels", &ClusterGroup::channels,
                             "Device values per point D.")
      .def_property_readonly(
          "l", [](const ClusterGroup &g) { return axis_tuple(g.axis(0)); },
          "The L* grid as (min, max, step).")
      .def_property_readonly(
          "a", [](const ClusterGroup &g) { return axis_tuple(g.axis(1)); },
          "The a* grid as (min, max, step).")
      .def_property_readonly(
          "b", [](const ClusterGroup &g) { return axis_tuple(g.axis(2)); },
          "The b* grid as (min, max, step).")
      .def("__len__", &ClusterGroup::size, "Number of points added.")
      .def("__repr__",
           [](const ClusterGroup &g) {
             return "<velmora.ClusterGroup of " + std::to_string(g.size()) + " points, " +
                    std::to_string(g.channels()) + " device channels>";
           })
      .def("add", &ClusterGroup::add, py::arg("lab"), py::arg("device") = py::none(),
           "Adds measurements: lab of shape (..., 3) in Lab units and device of shape (..., D) "
           "with the same leading shape (a single point as shapes (3,) and (D,)); device may be "
           "omitted when D is 0. Lab values outside the grid limits are stored on the border "
           "node (the caller's arrays are not changed). The search tables are rebuilt once, at "
           "the end. ValueError, before anything is added, for a lab row holding a NaN or a "
           "device row holding a value that is not finite; velmora.Error when memory runs out.")
      .def("interpolate", &ClusterGroup::interpolate, py::arg("lab"), py::arg("method") = "free",
           py::arg("plane") = py::none(), py::arg("out") = py::none(),
           "Device values for Lab colours of shape (..., 3). Each query is clamped into the grid "
           "limits and projected onto the point, segment, triangle or best tetrahedron of its "
           "octants' nearest points; the device values are blended with the projection "
           "weights. method: 'free' (the query may move anywhere), 'penalised' (prefers "
           "tetrahedra whose corners carry similar device values and that contain or nearly "
           "contain the query; device values as fractions 0..1) or 'plane' (the query moves "
           "only within the plane through it with the normal (nL, na, nb) of plane, given as 4 "
           "values (nL, na, nb, d; d unused) for all queries or shape (..., 4) per query). "
           "Returns a ClusterInterpolation (device, distance, status); device is written to "
           "out (float64, shape (..., D)) when given. velmora.Error for an empty group.")
      .def("inside", &ClusterGroup::inside, py::arg("lab"),
           "Whether Lab colours of shape (..., 3) lie inside the measured cloud: inside the "
           "box of the Lab values added so far and inside the convex hull of the nearest "
           "points of the occupied octants around them. Returns a bool array (...); False for "
           "a NaN query or fewer than four occupied octants.")
      .def("copy", &ClusterGroup::copy,
           "An independent deep copy: either group may be changed afterwards without affecting "
           "the other.")
      .def("__copy__", &ClusterGroup::copy, "The deep copy of copy().")
      .def(
          "__deepcopy__", [](const ClusterGroup &g, const py::object &) { return g.copy(); },
          py::arg("memo"), "The deep copy of copy().");
}

}  // namespace velmora_py
