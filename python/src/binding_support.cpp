#include "binding_support.h"

#include <ostrel/ostrel.h>

#include <cstdio>
#include <utility>

namespace velmora_py {

namespace {

/* Both live until the process ends: the library may report from its own threads at any time, and
   destroying Python objects at exit would race the interpreter's own teardown. */
PyObject *error_type = nullptr;
py::object *logger = nullptr;

thread_local ReportScope *current_scope = nullptr;

constexpr int kLogDebug = 10;
constexpr int kLogWarning = 30;
constexpr int kLogError = 40;

/* Passes one line to the "velmora" logger; to stderr when the interpreter is gone. */
void log_line(int level, const std::string &text) {
  if (!Py_IsInitialized() || logger == nullptr) {
    if (level >= kLogError) std::fprintf(stderr, "velmora: %s\n", text.c_str());
    return;
  }
  py::gil_scoped_acquire gil;
  try {
    if (logger->attr("isEnabledFor")(level).cast<bool>()) logger->attr("log")(level, "%s", text);
  } catch (py::error_already_set &e) {
    e.discard_as_unraisable("velmora diagnostics");
  }
}

std::string without_trailing_newlines(const char *text) {
  std::string line = text ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  return line;
}

void on_error(void *, const char *text, const char *file, int line) {
  if (current_scope != nullptr) {
    current_scope->add(text);
    return;
  }
  log_line(kLogError, without_trailing_newlines(text) + " (" + (file ? file : "?") + ":" +
                          std::to_string(line) + ")");
}

void on_progress(void *, int, const char *text) {
  log_line(kLogDebug, without_trailing_newlines(text));
}

/* The merged stride of the leading axes (those before the last) of arr, in bytes; false when
   they cannot be walked with one stride. Axes of length 1 do not count. */
bool merged_row_stride(const py::array &arr, py::ssize_t &row_stride) {
  const py::ssize_t nd = arr.ndim();
  bool first = true;
  py::ssize_t expected = 0;
  row_stride = 0;
  for (py::ssize_t d = nd - 2; d >= 0; --d) {
    const py::ssize_t length = arr.shape(d);
    if (length == 1) continue;
    if (first) {
      row_stride = arr.strides(d);
      first = false;
    } else if (arr.strides(d) != expected) {
      return false;
    }
    expected = arr.strides(d) * length;
  }
  return true;
}

template <class T>
bool strides_in_elements(const py::array &arr) {
  for (py::ssize_t d = 0; d < arr.ndim(); ++d)
    if (arr.shape(d) > 1 && arr.strides(d) % static_cast<py::ssize_t>(sizeof(T)) != 0) return false;
  return true;
}

std::vector<py::ssize_t> shape_of(const py::array &arr) {
  return std::vector<py::ssize_t>(arr.shape(), arr.shape() + arr.ndim());
}

template <class T>
const char *dtype_name() {
  if constexpr (std::is_same_v<T, double>) return "float64";
  if constexpr (std::is_same_v<T, float>) return "float32";
  if constexpr (std::is_same_v<T, unsigned char>) return "uint8";
  if constexpr (std::is_same_v<T, int>) return "int32";
  return "?";
}

/* Fills rows from an array already known to have dtype T, the right width and addressable
   strides. */
template <class T>
Rows<T> rows_of(py::array arr, py::ssize_t row_stride_bytes) {
  Rows<T> rows;
  rows.data = static_cast<T *>(const_cast<void *>(arr.data()));
  rows.lead_shape.assign(arr.shape(), arr.shape() + arr.ndim() - 1);
  rows.count = 1;
  for (py::ssize_t length : rows.lead_shape)
    rows.count *= length;
  rows.row_stride = row_stride_bytes / static_cast<py::ssize_t>(sizeof(T));
  rows.col_stride = arr.shape(arr.ndim() - 1) > 1
                        ? arr.strides(arr.ndim() - 1) / static_cast<py::ssize_t>(sizeof(T))
                        : 1;
  rows.array = std::move(arr);
  return rows;
}

}  // namespace

void install_diagnostics(py::module_ &m) {
  error_type = PyErr_NewExceptionWithDoc(
      "velmora.Error",
      "A library call failed; the message is the library's own report of the failure.",
      PyExc_RuntimeError, nullptr);
  if (error_type == nullptr) throw py::error_already_set();
  m.attr("Error") = py::handle(error_type);
  logger = new py::object(py::module_::import("logging").attr("getLogger")("velmora"));
  ostrel_set_error_handler(on_error, nullptr);
  ostrel_set_warn_handler(on_progress, nullptr);
}

void raise_error(const std::string &message) {
  PyErr_SetString(error_type, message.c_str());
  throw py::error_already_set();
}

ReportScope::ReportScope() : outer_(current_scope) {
  current_scope = this;
}

ReportScope::~ReportScope() {
  close();
}

void ReportScope::close() {
  if (!open_) return;
  open_ = false;
  current_scope = outer_;
}

void ReportScope::add(const char *text) {
  messages_.push_back(without_trailing_newlines(text));
}

std::string ReportScope::text() const {
  std::string joined;
  for (const std::string &message : messages_) {
    if (!joined.empty()) joined += '\n';
    joined += message;
  }
  return joined;
}

void ReportScope::raise(const std::string &fallback) {
  close();
  const std::string reports = text();
  raise_error(reports.empty() ? fallback : reports);
}

void ReportScope::log_as_warnings() {
  for (const std::string &message : messages_)
    log_line(kLogWarning, message);
  messages_.clear();
}

void CallbackGuard::keep(py::error_already_set &&e) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!error_ && message_.empty()) error_.emplace(std::move(e));
  failed_.store(true, std::memory_order_release);
}

void CallbackGuard::keep_message(const char *what) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!error_ && message_.empty()) message_ = what;
  failed_.store(true, std::memory_order_release);
}

void CallbackGuard::rethrow() {
  std::optional<py::error_already_set> error;
  std::string message;
  {
    std::lock_guard<std::mutex> hold(lock_);
    error.swap(error_);
    message.swap(message_);
  }
  if (error) throw std::move(*error);
  if (!message.empty()) throw std::runtime_error(message);
}

std::string shape_text(const std::vector<py::ssize_t> &shape) {
  std::string text = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  if (shape.size() == 1) text += ",";
  return text + ")";
}

std::string row_name(const char *what, const std::vector<py::ssize_t> &lead_shape, py::ssize_t i) {
  std::vector<py::ssize_t> index(lead_shape.size());
  for (std::size_t d = lead_shape.size(); d-- > 0;) {
    index[d] = i % lead_shape[d];
    i /= lead_shape[d];
  }
  std::string text = std::string(what) + "[";
  for (std::size_t d = 0; d < index.size(); ++d)
    text += (d > 0 ? ", " : "") + std::to_string(index[d]);
  return text + "]";
}

py::object per_point(py::array values, const std::vector<py::ssize_t> &lead_shape) {
  if (lead_shape.empty()) return values.attr("__getitem__")(py::tuple());
  return values;
}

py::object named_tuple(const char *name, std::initializer_list<const char *> fields,
                       const char *doc) {
  py::list names;
  for (const char *field : fields)
    names.append(field);
  py::object type = py::module_::import("collections").attr("namedtuple")(name, names);
  type.attr("__module__") = "velmora";
  type.attr("__doc__") = doc;
  return type;
}

template <class T>
Rows<T> input_rows(py::handle obj, py::ssize_t width, const char *what, Dtype policy) {
  py::array arr = py::array::ensure(obj);
  if (!arr) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be an array of numbers");
  }
  if (!py::isinstance<py::array_t<T, 0>>(arr)) {
    const char kind = arr.dtype().kind();
    const bool real = kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
    if (policy == Dtype::exact || !real)
      throw py::type_error(std::string(what) + " must have dtype " + dtype_name<T>() + ", got " +
                           py::str(arr.dtype()).cast<std::string>());
    arr = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(arr);
    if (!arr) throw py::error_already_set();
  }
  if (arr.ndim() < 1 || arr.shape(arr.ndim() - 1) != width)
    throw py::value_error(std::string(what) + " must have shape (..., " + std::to_string(width) +
                          "), got " + shape_text(shape_of(arr)));
  py::ssize_t row_stride = 0;
  if (!strides_in_elements<T>(arr) || !merged_row_stride(arr, row_stride)) {
    arr = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(arr);
    if (!arr) throw py::error_already_set();
    merged_row_stride(arr, row_stride);
  }
  return rows_of<T>(std::move(arr), row_stride);
}

template <class T>
Rows<T> output_rows(py::handle out, const std::vector<py::ssize_t> &lead_shape, py::ssize_t width,
                    const char *what) {
  std::vector<py::ssize_t> shape = lead_shape;
  shape.push_back(width);
  if (out.is_none()) {
    py::array_t<T> fresh(shape);
    py::ssize_t row_stride = 0;
    merged_row_stride(fresh, row_stride);
    return rows_of<T>(std::move(fresh), row_stride);
  }
  if (!py::isinstance<py::array_t<T, 0>>(out))
    throw py::type_error(std::string(what) + " must be a NumPy array of dtype " + dtype_name<T>());
  py::array arr = py::reinterpret_borrow<py::array>(out);
  if (!arr.writeable()) throw py::value_error(std::string(what) + " is read-only");
  if (shape_of(arr) != shape)
    throw py::value_error(std::string(what) + " must have shape " + shape_text(shape) + ", got " +
                          shape_text(shape_of(arr)));
  py::ssize_t row_stride = 0;
  if (!strides_in_elements<T>(arr) || !merged_row_stride(arr, row_stride))
    throw py::value_error(std::string(what) +
                          " must be laid out so that its leading axes share one stride");
  return rows_of<T>(std::move(arr), row_stride);
}

template Rows<double> input_rows<double>(py::handle, py::ssize_t, const char *, Dtype);
template Rows<float> input_rows<float>(py::handle, py::ssize_t, const char *, Dtype);
template Rows<unsigned char> input_rows<unsigned char>(py::handle, py::ssize_t, const char *,
                                                       Dtype);
template Rows<int> input_rows<int>(py::handle, py::ssize_t, const char *, Dtype);
template Rows<double> output_rows<double>(py::handle, const std::vector<py::ssize_t> &, py::ssize_t,
                                          const char *);
template Rows<float> output_rows<float>(py::handle, const std::vector<py::ssize_t> &, py::ssize_t,
                                        const char *);
template Rows<unsigned char> output_rows<unsigned char>(py::handle,
                                                        const std::vector<py::ssize_t> &,
                                                        py::ssize_t, const char *);
template Rows<int> output_rows<int>(py::handle, const std::vector<py::ssize_t> &, py::ssize_t,
                                    const char *);

}  // namespace velmora_py
