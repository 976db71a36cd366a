/* DoubleTable and ByteTable: the tetrahedral tables with their grids as NumPy views, filled from
   vectorised Python models and interpolated in batches without the GIL. */
#include <velmora/md_tetrab.h>
#include <velmora/md_tetrad.h>

#include <climits>
#include <utility>

#include "binding_support.h"

namespace velmora_py {

namespace {

/* NumPy's limit on axes, less the channel axis of a grid view. */
constexpr int kMaxViewInputs = 31;

/* Access to the two table families through one interface, so that the grid view, the vertex
   coordinates and the fill are written once. */
template <class Table>
struct TableOps;

template <>
struct TableOps<MD_TETRAD> {
  using Value = double;
  static Value *vertex(MD_TETRAD *t, const int *index, Value *coords) {
    return md_tetrad_vertex_get(t, index, coords);
  }
  static int next(const MD_TETRAD *t, int *index) { return md_tetrad_scan_vertex(t, index); }
};

template <>
struct TableOps<MD_TETRAB> {
  using Value = unsigned char;
  static Value *vertex(MD_TETRAB *t, const int *index, Value *coords) {
    return md_tetrab_vertex_get(t, index, coords);
  }
  static int next(const MD_TETRAB *t, int *index) { return md_tetrab_scan_vertex(t, index); }
};

/* What a Python table object holds: the library's table and its shape. */
template <class Table>
struct TableShape {
  Table *table = nullptr;
  int inputs = 0;
  int outputs = 0;
  int grid = 0;
};

std::vector<py::ssize_t> grid_shape(int inputs, int grid, int last) {
  std::vector<py::ssize_t> shape(static_cast<std::size_t>(inputs), grid);
  shape.push_back(last);
  return shape;
}

void check_view_inputs(int inputs) {
  if (inputs > kMaxViewInputs)
    throw py::value_error("a table of " + std::to_string(inputs) +
                          " inputs has more axes than a NumPy array can have");
}

/* A writable view of the table's grid values, shape (G,) * N + (M,), axis d being grid index d,
   with the strides the table's own vertex addresses show. base keeps the table alive. */
template <class Table>
py::array grid_view(const TableShape<Table> &t, py::handle base) {
  using Ops = TableOps<Table>;
  using Value = typename Ops::Value;
  check_view_inputs(t.inputs);
  std::vector<int> index(static_cast<std::size_t>(t.inputs), 0);
  std::vector<Value> coords(static_cast<std::size_t>(t.inputs));
  Value *origin = Ops::vertex(t.table, index.data(), coords.data());
  std::vector<py::ssize_t> strides;
  for (int d = 0; d < t.inputs; ++d) {
    index[static_cast<std::size_t>(d)] = 1;
    Value *next = Ops::vertex(t.table, index.data(), coords.data());
    strides.push_back(static_cast<py::ssize_t>((next - origin) * sizeof(Value)));
    index[static_cast<std::size_t>(d)] = 0;
  }
  strides.push_back(sizeof(Value));
  return py::array(py::dtype::of<Value>(), grid_shape(t.inputs, t.grid, t.outputs), strides, origin,
                   base);
}

/* The input coordinates of every vertex, shape (G,) * N + (N,), as the table computes them. */
template <class Table>
py::array vertex_coordinates(const TableShape<Table> &t) {
  using Ops = TableOps<Table>;
  using Value = typename Ops::Value;
  check_view_inputs(t.inputs);
  /* The vertex walk runs index 0 fastest, so the leading axes are laid out in Fortran order. */
  std::vector<py::ssize_t> strides;
  py::ssize_t stride = static_cast<py::ssize_t>(t.inputs * sizeof(Value));
  for (int d = 0; d < t.inputs; ++d) {
    strides.push_back(stride);
    stride *= t.grid;
  }
  strides.push_back(sizeof(Value));
  py::array coords(py::dtype::of<Value>(), grid_shape(t.inputs, t.grid, t.inputs), strides);
  Value *out = static_cast<Value *>(coords.mutable_data());
  std::vector<int> index(static_cast<std::size_t>(t.inputs), 0);
  do {
    Ops::vertex(t.table, index.data(), out);
    out += t.inputs;
  } while (Ops::next(t.table, index.data()) != 0);
  return coords;
}

/* Sets every vertex to model(vertex coordinates); the model's result is assigned to the grid
   view with NumPy's broadcasting and casting rules, after the checks check_values makes. */
template <class Table, class Check>
void fill_grid(const TableShape<Table> &t, py::handle self, const py::object &model,
               Check check_values) {
  py::array coords = vertex_coordinates(t);
  py::object values = model(coords);
  values = check_values(py::module_::import("numpy").attr("asarray")(values));
  grid_view(t, self).attr("__setitem__")(py::ellipsis(), values);
}

/* Input pointers of rows start .. start + count - 1 of a batch, one per value of a point. */
template <class T>
void row_pointers(const Rows<T> &rows, py::ssize_t start, std::vector<T *> &pointers) {
  for (std::size_t j = 0; j < pointers.size(); ++j)
    pointers[j] =
        rows.data + start * rows.row_stride + static_cast<py::ssize_t>(j) * rows.col_stride;
}

template <class T>
int int_stride(const Rows<T> &rows, const char *what) {
  if (rows.row_stride > INT_MAX || rows.row_stride < INT_MIN)
    throw py::value_error(std::string(what) + " has a row stride too large for the table");
  return static_cast<int>(rows.row_stride);
}

/* ---- DoubleTable ---------------------------------------------------------------------------- */

class DoubleTable {
 public:
  DoubleTable(int inputs, int outputs, int grid, double lo, double hi) : lo_(lo), hi_(hi) {
    ReportScope reports;
    shape_ = {md_tetrad_new(inputs, outputs, grid, lo, hi), inputs, outputs, grid};
    if (shape_.table == nullptr) reports.raise("md_tetrad_new failed");
  }
  ~DoubleTable() { md_tetrad_kill(shape_.table); }
  DoubleTable(const DoubleTable &) = delete;
  DoubleTable &operator=(const DoubleTable &) = delete;

  const TableShape<MD_TETRAD> &shape() const { return shape_; }
  double lo() const { return lo_; }
  double hi() const { return hi_; }

  py::array interpolate(const ArrayLike &points, const OutArray &out) const {
    Rows<double> in = input_rows<double>(points, shape_.inputs, "points", Dtype::convert);
    Rows<double> result = output_rows<double>(out, in.lead_shape, shape_.outputs, "out");
    const int in_stride = int_stride(in, "points");
    const int out_stride = int_stride(result, "out");
    {
      py::gil_scoped_release nogil;
      std::vector<double *> in_ptrs(static_cast<std::size_t>(shape_.inputs));
      std::vector<double *> out_ptrs(static_cast<std::size_t>(shape_.outputs));
      for (py::ssize_t start = 0; start < in.count; start += kMaxBatch) {
        const py::ssize_t count = std::min(kMaxBatch, in.count - start);
        row_pointers(in, start, in_ptrs);
        row_pointers(result, start, out_ptrs);
        md_tetrad_interp(shape_.table, in_ptrs.data(), in_stride, out_ptrs.data(), out_stride,
                         static_cast<int>(count));
      }
    }
    return result.array;
  }

 private:
  TableShape<MD_TETRAD> shape_;
  double lo_;
  double hi_;
};

/* ---- ByteTable ------------------------------------------------------------------------------ */

class ByteTable {
 public:
  ByteTable(int inputs, int outputs, int grid, int weight_low, int weight_high, int guard) {
    ReportScope reports;
    adopt(md_tetrab_new_special(inputs, outputs, grid, weight_low, weight_high, guard), grid,
          reports);
  }
  /* Takes over a table the library made (from md_tetrab_expand). */
  ByteTable(MD_TETRAB *table, int grid, ReportScope &reports) { adopt(table, grid, reports); }
  ~ByteTable() { md_tetrab_kill(shape_.table); }
  ByteTable(const ByteTable &) = delete;
  ByteTable &operator=(const ByteTable &) = delete;

  const TableShape<MD_TETRAB> &shape() const { return shape_; }

  void set_curves(const OptionalArrayLike &in_curves, const OptionalArrayLike &out_curves) {
    py::array in_keep, out_keep;
    std::vector<unsigned char *> in = curve_rows(in_curves, shape_.inputs, "in_curves", in_keep);
    std::vector<unsigned char *> out =
        curve_rows(out_curves, shape_.outputs, "out_curves", out_keep);
    md_tetrab_LUT(shape_.table, in.empty() ? nullptr : in.data(),
                  out.empty() ? nullptr : out.data());
  }

  py::array interpolate(const ArrayLike &image, const OptionalArrayLike &mask, double threshold,
                        const OutArray &out) const {
    Rows<unsigned char> in = input_rows<unsigned char>(image, shape_.inputs, "image", Dtype::exact);
    Rows<unsigned char> result =
        output_rows<unsigned char>(out, in.lead_shape, shape_.outputs, "out");
    py::object mask_array = flat_mask(mask, in.lead_shape);
    const unsigned char *mask_data =
        mask_array.is_none() ? nullptr
                             : static_cast<const unsigned char *>(py::array(mask_array).data());
    const int in_stride = int_stride(in, "image");
    const int out_stride = int_stride(result, "out");
    {
      py::gil_scoped_release nogil;
      std::vector<unsigned char *> in_ptrs(static_cast<std::size_t>(shape_.inputs));
      std::vector<unsigned char *> out_ptrs(static_cast<std::size_t>(shape_.outputs));
      for (py::ssize_t start = 0; start < in.count; start += kMaxBatch) {
        const py::ssize_t count = std::min(kMaxBatch, in.count - start);
        row_pointers(in, start, in_ptrs);
        row_pointers(result, start, out_ptrs);
        md_tetrab_interp(shape_.table, in_ptrs.data(), in_stride, out_ptrs.data(), out_stride,
                         static_cast<int>(count), mask_data ? mask_data + start : nullptr,
                         threshold);
      }
    }
    return result.array;
  }

  std::unique_ptr<ByteTable> expand(int grid) const {
    ReportScope reports;
    MD_TETRAB *bigger = nullptr;
    {
      py::gil_scoped_release nogil;
      bigger = md_tetrab_expand(shape_.table, grid);
    }
    return std::make_unique<ByteTable>(bigger, grid, reports);
  }

 private:
  void adopt(MD_TETRAB *table, int grid, ReportScope &reports) {
    if (table == nullptr) reports.raise("md_tetrab_new failed");
    shape_ = {table, md_tetrab_get_dimin(table), md_tetrab_get_dimout(table), grid};
  }

  /* Row pointers of a (count, 256) uint8 curve array; empty for None (identity curves). */
  static std::vector<unsigned char *> curve_rows(py::handle curves, int count, const char *what,
                                                 py::array &keep) {
    if (curves.is_none()) return {};
    Rows<unsigned char> rows = input_rows<unsigned char>(curves, 256, what, Dtype::exact);
    if (rows.lead_shape != std::vector<py::ssize_t>{count})
      throw py::value_error(std::string(what) + " must have shape (" + std::to_string(count) +
                            ", 256), got " + shape_text(rows.array.request().shape));
    keep = py::array_t<unsigned char, py::array::c_style>::ensure(rows.array);
    std::vector<unsigned char *> pointers(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
      pointers[static_cast<std::size_t>(i)] =
          static_cast<unsigned char *>(keep.mutable_data()) + i * 256;
    return pointers;
  }

  /* The mask as one byte per point in point order (bool or uint8, shape of the image without its
     last axis); None for None. */
  static py::object flat_mask(py::handle mask, const std::vector<py::ssize_t> &lead_shape) {
    if (mask.is_none()) return py::none();
    py::array arr = py::array::ensure(mask);
    if (!arr) {
      PyErr_Clear();
      throw py::type_error("mask must be an array of bool or uint8");
    }
    const char kind = arr.dtype().kind();
    if (arr.itemsize() != 1 || (kind != 'b' && kind != 'u'))
      throw py::type_error("mask must have dtype bool or uint8, got " +
                           py::str(arr.dtype()).cast<std::string>());
    std::vector<py::ssize_t> shape(arr.shape(), arr.shape() + arr.ndim());
    if (shape != lead_shape)
      throw py::value_error("mask must have shape " + shape_text(lead_shape) + ", got " +
                            shape_text(shape));
    return py::array_t<unsigned char, py::array::c_style | py::array::forcecast>::ensure(arr);
  }

  TableShape<MD_TETRAB> shape_;
};

/* Byte grids take model values as they come when they are uint8, otherwise rounded, and refuse
   values outside 0 .. 255 (which a cast would wrap). */
py::object byte_values(py::object values) {
  py::module_ np = py::module_::import("numpy");
  if (py::str(values.attr("dtype")).cast<std::string>() == "uint8") return values;
  py::object rounded = np.attr("rint")(values);
  py::object bad = np.attr("logical_not")(np.attr("logical_and")(
      np.attr("greater_equal")(rounded, 0), np.attr("less_equal")(rounded, 255)));
  if (np.attr("any")(bad).cast<bool>())
    throw py::value_error("a byte table's values must lie within 0 .. 255");
  return rounded.attr("astype")("uint8");
}

}  // namespace

void register_tables(py::module_ &m) {
  py::class_<DoubleTable>(m, "DoubleTable", R"doc(
A function from N inputs to M outputs held on a regular grid of doubles and evaluated by simplex
(tetrahedral) interpolation. Every input spans [lo, hi] with `grid` points.

    t = velmora.DoubleTable(3, 3, 33, 0.0, 1.0)
    t.fill(lambda x: x ** 2.2)       # x has shape (33, 33, 33, 3)
    rgb = t(points)                  # (..., 3) -> (..., 3)

Interpolation releases the GIL, and any number of threads may interpolate one filled table at
once. Do not change the grid while another thread interpolates.)doc")
      .def(py::init<int, int, int, double, double>(), py::arg("inputs"), py::arg("outputs"),
           py::arg("grid"), py::arg("lo") = 0.0, py::arg("hi") = 1.0,
           "An all-zero table. Raises velmora.Error for inputs outside 1 .. 33, outputs < 1, "
           "grid < 2, lo == hi or bounds that are not finite.")
      .def_property_readonly(
          "inputs", [](const DoubleTable &t) { return t.shape().inputs; }, "Number of inputs N.")
      .def_property_readonly(
          "outputs", [](const DoubleTable &t) { return t.shape().outputs; }, "Number of outputs M.")
      .def_property_readonly(
          "grid_points", [](const DoubleTable &t) { return t.shape().grid; },
          "Grid points per input G.")
      .def_property_readonly("lo", &DoubleTable::lo, "Input value of grid index 0.")
      .def_property_readonly("hi", &DoubleTable::hi, "Input value of grid index G - 1.")
      .def_property_readonly(
          "grid",
          [](py::object self) { return grid_view(self.cast<DoubleTable &>().shape(), self); },
          "Writable float64 view of the grid values, shape (G,) * N + (M,): grid[i0, ..., "
          "iN-1] holds the outputs of the vertex at grid index (i0, ..., iN-1). It keeps the "
          "table alive.")
      .def(
          "coordinates", [](const DoubleTable &t) { return vertex_coordinates(t.shape()); },
          "The input coordinates of every vertex, shape (G,) * N + (N,): index * step + lo.")
      .def(
          "fill",
          [](const DoubleTable &table, const Function &model) {
            fill_grid(table.shape(), py::cast(&table), model,
                      [](py::object values) { return values; });
          },
          py::arg("model"),
          "Sets every vertex from model, called once with the vertex coordinates (an array of "
          "shape (G,) * N + (N,)); its result must broadcast to (G,) * N + (M,).")
      .def("__call__", &DoubleTable::interpolate, py::arg("points"), py::arg("out") = py::none(),
           "Interpolates points of shape (..., N) (any real dtype; float64 arrays are read in "
           "place, strided or not) and returns float64 results of shape (..., M), written to "
           "out when given. Inputs outside [lo, hi], and NaN, are clamped onto the grid.");

  py::class_<ByteTable>(m, "ByteTable", R"doc(
The 8-bit table: N input bytes pass an input curve each, a grid of G points per input, and an
output curve per channel; interpolation uses integer lookups only.

    t = velmora.ByteTable(3, 4, 17)
    t.fill(lambda rgb: model(rgb / 255.0) * 255.0)
    cmyk = t(image)                  # uint8 (..., 3) -> uint8 (..., 4)

Interpolation releases the GIL; any number of threads may interpolate one table at once, but
not while its grid or curves change.)doc")
      .def(py::init<int, int, int, int, int, int>(), py::arg("inputs"), py::arg("outputs"),
           py::arg("grid"), py::arg("weight_low") = 0, py::arg("weight_high") = 255,
           py::arg("guard") = 1,
           "A zero table with identity curves. weight_low, weight_high and guard are the "
           "special forms' weight range and guard positions. Raises velmora.Error for "
           "arguments the library refuses.")
      .def_property_readonly(
          "inputs", [](const ByteTable &t) { return t.shape().inputs; }, "Number of inputs N.")
      .def_property_readonly(
          "outputs", [](const ByteTable &t) { return t.shape().outputs; },
          "Number of output channels M.")
      .def_property_readonly(
          "grid_points", [](const ByteTable &t) { return t.shape().grid; },
          "Grid points per input G.")
      .def_property_readonly(
          "grid", [](py::object self) { return grid_view(self.cast<ByteTable &>().shape(), self); },
          "Writable uint8 view of the grid bytes, shape (G,) * N + (M,), indexed by grid index. "
          "It keeps the table alive.")
      .def(
          "coordinates", [](const ByteTable &t) { return vertex_coordinates(t.shape()); },
          "The input bytes of every vertex, shape (G,) * N + (N,): index * 255 / (G - 1), "
          "rounded.")
      .def(
          "fill",
          [](const ByteTable &table, const Function &model) {
            fill_grid(table.shape(), py::cast(&table), model, byte_values);
          },
          py::arg("model"),
          "Sets every vertex from model, called once with the vertex input bytes (uint8, shape "
          "(G,) * N + (N,)); its result must broadcast to (G,) * N + (M,). Values that are not "
          "uint8 are rounded; ValueError for values outside 0 .. 255.")
      .def("set_curves", &ByteTable::set_curves, py::arg("in_curves") = py::none(),
           py::arg("out_curves") = py::none(),
           "Installs input curves (uint8, shape (N, 256)) and output curves (uint8, shape "
           "(M, 256)); None installs identity curves.")
      .def("__call__", &ByteTable::interpolate, py::arg("image"), py::arg("mask") = py::none(),
           py::arg("threshold") = 0.0, py::arg("out") = py::none(),
           "Interpolates a uint8 array of shape (..., N) (read in place, strided or not) and "
           "returns uint8 results of shape (..., M), written to out when given. With a mask "
           "(bool or uint8, the image's shape without its last axis) a point whose mask value "
           "is <= threshold is skipped: its output is left as it was (zero in a new array).")
      .def("expand", &ByteTable::expand, py::arg("grid"),
           "A new table of the same dimensions with `grid` points per input, filled from this "
           "one (identity curves). Raises velmora.Error when it cannot be made.");
}

}  // namespace velmora_py
