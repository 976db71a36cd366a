/* What every family's bindings share: the velmora.Error exception and the bridge from the
   library's diagnostics to it and to the logging module, the guard that carries a Python
   exception out of a callback the library called, and batch views of NumPy arrays as rows of
   points addressed by base pointer and strides (no copy where the layout allows). */
#ifndef VELMORA_PYTHON_BINDING_SUPPORT_H
#define VELMORA_PYTHON_BINDING_SUPPORT_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora_py {

namespace py = pybind11;

/* One registration function per family, each in its own source file. */
void register_foundation(py::module_ &m);
void register_tables(py::module_ &m);
void register_cluster(py::module_ &m);
void register_engines(py::module_ &m);
void register_geometry(py::module_ &m);
void register_optimise(py::module_ &m);
void register_util(py::module_ &m);

/* ---- Errors and diagnostics ------------------------------------------------------------------ */

/* Creates velmora.Error and installs the library's diagnostics handlers: an error report made
   while a ReportScope is open on the reporting thread is kept by that scope; any other goes to
   the "velmora" logger at ERROR, and progress lines go to it at DEBUG. */
void install_diagnostics(py::module_ &m);

/* Throws velmora.Error with the message (the caller holds the GIL). */
[[noreturn]] void raise_error(const std::string &message);

/* Collects the error reports of the library calls made on this thread while it is open (scopes
   nest; the innermost collects). Open one around a call whose failure value is turned into
   velmora.Error, so that the exception carries the library's own message. */
class ReportScope {
 public:
  ReportScope();
  ~ReportScope();
  ReportScope(const ReportScope &) = delete;
  ReportScope &operator=(const ReportScope &) = delete;

  /* The reports so far, one per line; empty when none was made. */
  std::string text() const;
  /* Throws velmora.Error with the reports, or with fallback when there were none. Closes the
     scope first so that a handler sees the outer one. */
  [[noreturn]] void raise(const std::string &fallback);
  /* Passes the reports kept so far to the logger at WARNING: for reports of a call that still
     succeeded. */
  void log_as_warnings();

  void add(const char *text);

 private:
  void close();

  std::vector<std::string> messages_;
  ReportScope *outer_;
  bool open_ = true;
};

/* ---- Callbacks ------------------------------------------------------------------------------- */

/* Runs Python callables from inside library calls (which run without the GIL) and keeps the first
   exception one of them raised. Once a callable has failed, later calls are not made: the library
   call is left to finish on the placeholder values the binding writes, and rethrow() then raises
   the exception in the caller. Safe to use from several threads at once. */
class CallbackGuard {
 public:
  /* Acquires the GIL and runs body(); returns true when it completed, false when it raised (the
     exception is kept) or when an earlier call had failed (body is not run). */
  template <class Body>
  bool run(Body &&body) noexcept {
    if (failed_.load(std::memory_order_acquire)) return false;
    py::gil_scoped_acquire gil;
    try {
      body();
      return true;
    } catch (py::error_already_set &e) {
      keep(std::move(e));
    } catch (py::builtin_exception &e) {
      e.set_error();  // a TypeError, ValueError, ... thrown by pybind11 or a binding keeps its type
      keep(py::error_already_set());
    } catch (std::exception &e) {
      keep_message(e.what());
    } catch (...) {
      keep_message("unknown C++ exception in a callback");
    }
    return false;
  }

  bool failed() const { return failed_.load(std::memory_order_acquire); }
  /* Raises the kept exception, if any (the caller holds the GIL). */
  void rethrow();

 private:
  void keep(py::error_already_set &&e);
  void keep_message(const char *what);

  std::atomic<bool> failed_{false};
  std::mutex lock_;
  std::optional<py::error_already_set> error_;
  std::string message_;
};

/* ---- Batch views ----------------------------------------------------------------------------- */

/* How an input array of another dtype is treated: converted (any real dtype, one copy) or refused
   with TypeError. */
enum class Dtype { convert, exact };

/* A batch of count points of width values each: value j of point i is
   data[i * row_stride + j * col_stride] (strides in elements, possibly negative). lead_shape is
   the array's shape without its last axis (empty for a single point given as a 1-D array).
   array keeps the memory alive. */
template <class T>
struct Rows {
  T *data = nullptr;
  py::ssize_t count = 0;
  py::ssize_t row_stride = 0;
  py::ssize_t col_stride = 0;
  std::vector<py::ssize_t> lead_shape;
  py::array array;
};

/* Views obj (an array or anything NumPy converts) as rows of the given width. The rows are read
   in place when the array has dtype T and its leading axes merge into one stride; otherwise the
   values are copied once (for Dtype::convert) into a C-ordered array. Raises TypeError for a
   dtype that is not real (or not T for Dtype::exact) and ValueError for a last axis of another
   length; what names the argument in the messages ("points"). */
template <class T>
Rows<T> input_rows(py::handle obj, py::ssize_t width, const char *what, Dtype policy);

/* The output rows for lead_shape points of width values: a new C-ordered array when out is None,
   else out itself, which must be a writable array of dtype T and shape lead_shape + (width,)
   (any strides whose leading axes merge into one). */
template <class T>
Rows<T> output_rows(py::handle out, const std::vector<py::ssize_t> &lead_shape, py::ssize_t width,
                    const char *what);

/* The shape as NumPy prints it: "(3, 4)". */
std::string shape_text(const std::vector<py::ssize_t> &shape);

/* Row i of a batch, as NumPy indexes it: "lab[2, 5]" for a batch of leading shape (4, 8). */
std::string row_name(const char *what, const std::vector<py::ssize_t> &lead_shape, py::ssize_t i);

/* Copies the width values of row i out of a batch, or into it. */
template <class T>
void copy_row(const Rows<T> &rows, py::ssize_t i, py::ssize_t width, T *to) {
  const T *from = rows.data + i * rows.row_stride;
  for (py::ssize_t j = 0; j < width; ++j)
    to[j] = from[j * rows.col_stride];
}
template <class T>
void store_row(Rows<T> &rows, py::ssize_t i, py::ssize_t width, const T *from) {
  T *to = rows.data + i * rows.row_stride;
  for (py::ssize_t j = 0; j < width; ++j)
    to[j * rows.col_stride] = from[j];
}

/* One value per point: a NumPy scalar when the batch was a single point given without leading
   axes, else the array itself. */
py::object per_point(py::array values, const std::vector<py::ssize_t> &lead_shape);

/* One bool per point of a batch of 3-D points: test(xyz) for each, run without the GIL and while
   the guard that hold() returns is alive (a lock, or any value when none is needed). A single
   point given as shape (3,) gives a NumPy bool. */
template <class Hold, class Test>
py::object test_each_point(const py::handle &points, const char *what, Hold hold, Test test) {
  Rows<double> rows = input_rows<double>(points, 3, what, Dtype::convert);
  py::array_t<bool> result(rows.lead_shape);
  bool *data = result.mutable_data();
  {
    py::gil_scoped_release nogil;
    [[maybe_unused]] auto held = hold();
    for (py::ssize_t i = 0; i < rows.count; ++i) {
      double xyz[3];
      copy_row(rows, i, 3, xyz);
      data[i] = test(xyz);
    }
  }
  return per_point(result, rows.lead_shape);
}

/* A named tuple type of the package ("velmora.<name>") with the given fields and docstring. */
py::object named_tuple(const char *name, std::initializer_list<const char *> fields,
                       const char *doc);

/* Value of a failed point's outputs. */
constexpr double kFailedValue = std::numeric_limits<double>::quiet_NaN();

/* The largest batch handed to one library call whose count is an int. */
constexpr py::ssize_t kMaxBatch = 1 << 30;

/* Argument types that are plain Python objects but name what they expect in signatures, so that
   help() shows "points: numpy.typing.ArrayLike" instead of "object". They accept any object; the
   bindings check them (input_rows, output_rows, ...). */
#define VELMORA_PY_NAMED_OBJECTS(X)                     \
  X(ArrayLike, "numpy.typing.ArrayLike")                \
  X(OptionalArrayLike, "numpy.typing.ArrayLike | None") \
  X(OutArray, "numpy.ndarray | None")                   \
  X(Function, "Callable")                               \
  X(OptionalFunction, "Callable | None")                \
  X(PathLike, "str | os.PathLike")

#define VELMORA_PY_DECLARE_NAMED(Name, text)                                   \
  class Name : public py::object {                                             \
   public:                                                                     \
    PYBIND11_OBJECT_DEFAULT(Name, py::object, [](PyObject *) { return true; }) \
  };
VELMORA_PY_NAMED_OBJECTS(VELMORA_PY_DECLARE_NAMED)
#undef VELMORA_PY_DECLARE_NAMED

}  // namespace velmora_py

namespace pybind11::detail {

#define VELMORA_PY_TYPE_NAME(Name, text)           \
  template <>                                      \
  struct handle_type_name<velmora_py::Name> {      \
    static constexpr auto name = const_name(text); \
  };
VELMORA_PY_NAMED_OBJECTS(VELMORA_PY_TYPE_NAME)
#undef VELMORA_PY_TYPE_NAME

}  // namespace pybind11::detail

#endif
