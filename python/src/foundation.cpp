/* Dense linear algebra through the library's matrices: solve, det and inv of a square float64
   matrix by LU decomposition (Crout, partial pivoting with implicit scaling). Each call builds
   its own MATRIX, so calls on different threads never share one, and runs without the GIL. */
#include <velmora/mat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "binding_support.h"

namespace velmora_py {

namespace {

struct MatrixDeleter {
  void operator()(MATRIX *m) const { mat_kill(m); }
};
using MatrixPtr = std::unique_ptr<MATRIX, MatrixDeleter>;

/* The largest order accepted: order * order elements must be counted by an int. */
constexpr py::ssize_t kMaxOrder = 46340;

/* A square matrix argument, copied row-major. */
struct Square {
  std::vector<double> values;
  int order = 0;
};

Square square_arg(py::handle obj) {
  py::array arr = py::array::ensure(obj);
  if (!arr) {
    PyErr_Clear();
    throw py::type_error("a must be an array of numbers");
  }
  const std::vector<py::ssize_t> shape(arr.shape(), arr.shape() + arr.ndim());
  if (arr.ndim() != 2 || shape[0] != shape[1] || shape[0] < 1)
    throw py::value_error("a must be a square matrix of shape (n, n) with n >= 1, got shape " +
                          shape_text(shape));
  if (shape[0] > kMaxOrder) throw py::value_error("a is too large for the library's matrices");
  const Rows<double> rows = input_rows<double>(arr, shape[1], "a", Dtype::convert);
  Square out;
  out.order = static_cast<int>(shape[0]);
  out.values.resize(static_cast<std::size_t>(shape[0] * shape[1]));
  std::size_t at = 0;
  for (py::ssize_t i = 0; i < shape[0]; ++i)
    for (py::ssize_t j = 0; j < shape[1]; ++j)
      out.values[at++] = rows.data[i * rows.row_stride + j * rows.col_stride];
  return out;
}

/* The library's matrix of a square argument; velmora.Error when it cannot be made. */
MatrixPtr make_matrix(const Square &a) {
  ReportScope reports;
  MatrixPtr m(mat_new_data(a.values.data(), a.order, a.order));
  if (!m) reports.raise("mat_new_data failed");
  return m;
}

/* The meaning of a nonzero singularity flag. */
[[noreturn]] void raise_singular(int flag) {
  if (flag == -1)
    raise_error("the matrix is singular: it has a row of zeros (singularity flag -1)");
  raise_error(
      "the matrix is singular: a pivot below 1e-20 came up in its LU decomposition "
      "(singularity flag -2)");
}

/* Decomposes m without the GIL; velmora.Error with the library's report when its arrays cannot
   be had, or for a singular matrix when refuse_singular. Returns the flag. */
int decompose(MATRIX *m, bool refuse_singular) {
  ReportScope reports;
  int status = 0, flag = 0;
  {
    py::gil_scoped_release nogil;
    status = mat_ludcmp(m, &flag);
  }
  if (status != 0) reports.raise("mat_ludcmp failed");
  if (flag != 0 && refuse_singular) raise_singular(flag);
  return flag;
}

py::array_t<double> solve(const ArrayLike &a, const ArrayLike &b) {
  const Square matrix = square_arg(a);
  py::array b_array = py::array::ensure(b);
  if (!b_array) {
    PyErr_Clear();
    throw py::type_error("b must be an array of numbers");
  }
  const std::vector<py::ssize_t> b_shape(b_array.shape(), b_array.shape() + b_array.ndim());
  if ((b_array.ndim() != 1 && b_array.ndim() != 2) || b_shape[0] != matrix.order)
    throw py::value_error("b must have shape (" + std::to_string(matrix.order) + ",) or (" +
                          std::to_string(matrix.order) + ", k) to match a, got shape " +
                          shape_text(b_shape));
  const py::ssize_t columns = b_array.ndim() == 2 ? b_shape[1] : 1;
  /* Columns of b as rows: the right-hand sides are solved one at a time, in place. */
  py::array b_columns = b_array.ndim() == 2 ? py::array(b_array.attr("T"))
                                            : py::array(b_array.attr("reshape")(1, matrix.order));
  const Rows<double> rhs = input_rows<double>(b_columns, matrix.order, "b", Dtype::convert);
  py::array_t<double> x(b_shape);
  double *out = x.mutable_data();
  MatrixPtr m = make_matrix(matrix);
  decompose(m.get(), true);
  {
    py::gil_scoped_release nogil;
    std::vector<double> column(static_cast<std::size_t>(matrix.order));
    for (py::ssize_t c = 0; c < columns; ++c) {
      for (int i = 0; i < matrix.order; ++i)
        column[static_cast<std::size_t>(i)] = rhs.data[c * rhs.row_stride + i * rhs.col_stride];
      int flag = 0;
      mat_solve_set(m.get(), column.data(), &flag);  // the factors are valid and sound
      for (int i = 0; i < matrix.order; ++i)
        out[i * columns + c] = column[static_cast<std::size_t>(i)];
    }
  }
  return x;
}

double det(const ArrayLike &a) {
  const Square matrix = square_arg(a);
  MatrixPtr m = make_matrix(matrix);
  decompose(m.get(), false);
  double value = 0.0;
  mat_determinant(m.get(), &value);  // the factors are valid: nothing to allocate
  return value;
}

py::array_t<double> inv(const ArrayLike &a) {
  const Square matrix = square_arg(a);
  MatrixPtr m = make_matrix(matrix);
  decompose(m.get(), true);
  ReportScope reports;
  int flag = 0;
  MATRIX *inverse = nullptr;
  {
    py::gil_scoped_release nogil;
    inverse = mat_invert(m.get(), &flag);
  }
  if (inverse == nullptr) reports.raise("mat_invert failed");
  MatrixPtr owned(inverse);
  py::array_t<double> out({matrix.order, matrix.order});
  std::copy(inverse->elements, inverse->elements + matrix.values.size(), out.mutable_data());
  return out;
}

}  // namespace

void register_foundation(py::module_ &m) {
  m.def("solve", &solve, py::arg("a"), py::arg("b"),
        R"doc(Solves a @ x = b for a square matrix a of shape (n, n).

b has shape (n,) or (n, k) (k right-hand sides, one decomposition); x has b's shape, float64.
Any real dtype and layout is accepted. The library's LU decomposition (Crout, partial pivoting
with implicit row scaling) runs without the GIL.

Raises velmora.Error for a singular matrix: a row of zeros, or a pivot below 1e-20 (where the
library would go on with 1e-20 and give meaningless results). The threshold is absolute: scale
a matrix whose entries are all that small before solving. ValueError for shapes that do not
match.)doc");
  m.def("det", &det, py::arg("a"),
        R"doc(The determinant of a square matrix a of shape (n, n), by LU decomposition.

0.0 for a matrix the decomposition finds singular (a row of zeros, or a pivot below 1e-20).
ValueError for a matrix that is not square.)doc");
  m.def("inv", &inv, py::arg("a"),
        R"doc(The inverse of a square matrix a of shape (n, n), as a new float64 array.

Raises velmora.Error for a singular matrix (a row of zeros, or a pivot below 1e-20), ValueError
for a matrix that is not square.)doc");
}

}  // namespace velmora_py
