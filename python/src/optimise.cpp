/* The derivative-free minimisers driven by Python objectives: Powell's direction-set method, plain
   (condirmin) and under linear restrictions (restriction_new + condirmin_restr), and the downhill
   simplex (dhsm_*). Each returns a velmora.MinimizeResult.

   The library calls the objective without the GIL; each call takes the GIL, hands the callable a
   new float64 array (the library's x is valid only during the call) and converts its result to a
   float. An exception in the callable must not unwind through the library, which keeps per-thread
   C state: the CallbackGuard keeps it, the callable is not called again, a placeholder value lets
   the minimiser end quickly, and the exception is raised once the library call has returned. */
#include <velmora/condirmin.h>
#include <velmora/dhsm.h>
#include <velmora/restriction.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding_support.h"

namespace velmora_py {

namespace {

/* The direction-set minimisers stop with result 0 after this many iterations. */
constexpr int kPowellIterationLimit = 200;

/* velmora.MinimizeResult, made once at import and kept until the process ends. */
py::object *result_type = nullptr;

/* ---- Arguments ------------------------------------------------------------------------------- */

std::string shape_of(const py::array &arr) {
  return shape_text(std::vector<py::ssize_t>(arr.shape(), arr.shape() + arr.ndim()));
}

/* A 1-D array of reals (any real dtype, any layout) as a vector. */
std::vector<double> vector_arg(py::handle obj, const std::string &what) {
  py::array arr = py::array::ensure(obj);
  if (!arr) {
    PyErr_Clear();
    throw py::type_error(what + " must be an array of numbers");
  }
  if (arr.ndim() != 1)
    throw py::value_error(what + " must be a 1-D array, got shape " + shape_of(arr));
  const Rows<double> rows = input_rows<double>(arr, arr.shape(0), what.c_str(), Dtype::convert);
  std::vector<double> values(static_cast<std::size_t>(arr.shape(0)));
  for (std::size_t j = 0; j < values.size(); ++j)
    values[j] = rows.data[static_cast<py::ssize_t>(j) * rows.col_stride];
  return values;
}

/* The same with a required length (a scalar is repeated when allow_scalar). */
std::vector<double> vector_arg(py::handle obj, const std::string &what, std::size_t length,
                               bool allow_scalar) {
  if (allow_scalar) {
    py::array arr = py::array::ensure(obj);
    if (arr && arr.ndim() == 0)
      return std::vector<double>(length, vector_arg(arr.attr("reshape")(1), what)[0]);
    PyErr_Clear();
  }
  std::vector<double> values = vector_arg(obj, what);
  if (values.size() != length)
    throw py::value_error(what + " must have " + std::to_string(length) + " values, got " +
                          std::to_string(values.size()));
  return values;
}

/* A 2-D array of reals as row-major values. */
struct RowsArg {
  std::vector<double> values;
  int rows = 0;
  int width = 0;
};

RowsArg rows_arg(py::handle obj, const std::string &what) {
  py::array arr = py::array::ensure(obj);
  if (!arr) {
    PyErr_Clear();
    throw py::type_error(what + " must be an array of numbers");
  }
  if (arr.ndim() != 2)
    throw py::value_error(what + " must be a 2-D array (one row per restriction), got shape " +
                          shape_of(arr));
  if (arr.shape(0) > INT_MAX / 2 || arr.shape(1) > INT_MAX / 2)
    throw py::value_error(what + " is too large");
  const Rows<double> rows = input_rows<double>(arr, arr.shape(1), what.c_str(), Dtype::convert);
  RowsArg out;
  out.rows = static_cast<int>(arr.shape(0));
  out.width = static_cast<int>(arr.shape(1));
  out.values.resize(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.width));
  std::size_t at = 0;
  for (py::ssize_t i = 0; i < out.rows; ++i)
    for (py::ssize_t j = 0; j < out.width; ++j)
      out.values[at++] = rows.data[i * rows.row_stride + j * rows.col_stride];
  return out;
}

int dimension_of(const std::vector<double> &x, const char *what) {
  if (x.empty()) throw py::value_error(std::string(what) + " must hold at least one variable");
  if (x.size() > static_cast<std::size_t>(INT_MAX / 2))
    throw py::value_error(std::string(what) + " has too many variables");
  return static_cast<int>(x.size());
}

void check_callable(const py::object &f) {
  if (!PyCallable_Check(f.ptr()))
    throw py::type_error("f must be callable, got " + std::string(Py_TYPE(f.ptr())->tp_name));
}

/* ---- The objective --------------------------------------------------------------------------- */

/* The callable's result as a float; TypeError names what came back instead. */
double objective_value(const py::object &result) {
  const double value = PyFloat_AsDouble(result.ptr());
  if (value == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "the objective must return a real number, got %.200s",
                   Py_TYPE(result.ptr())->tp_name);
    }
    throw py::error_already_set();
  }
  return value;
}

/* What a failed objective returns to the minimiser from then on. */
enum class Placeholder {
  /* The last value the callable returned (0 before any): a constant function, on which
     Powell's iteration meets its stopping rule at once. */
  last_value,
  /* NaN: every comparison of the simplex fails, so each iteration shrinks it toward its best
     vertex until the convergence measure falls below the tolerance. */
  nan,
};

/* A Python callable as the objective of one minimisation. */
class Objective {
 public:
  Objective(py::object f, int n, Placeholder placeholder)
      : f_(std::move(f)),
        n_(n),
        placeholder_(placeholder == Placeholder::nan ? std::numeric_limits<double>::quiet_NaN()
                                                     : 0.0),
        keep_last_(placeholder == Placeholder::last_value) {}

  /* Called by the library (without the GIL) with the point of n values. */
  double operator()(const double *x) noexcept {
    double value = 0.0;
    const bool done = guard_.run([&] {
      py::array_t<double> point(n_);
      std::copy(x, x + n_, point.mutable_data());
      ++calls_;
      value = objective_value(f_(point));
    });
    if (!done) return placeholder_;
    if (keep_last_) placeholder_ = value;
    return value;
  }

  /* Raises the callable's exception, if it raised one (the caller holds the GIL). */
  void rethrow() { guard_.rethrow(); }
  long calls() const { return calls_; }

 private:
  py::object f_;
  py::ssize_t n_;
  double placeholder_;
  bool keep_last_;
  long calls_ = 0;
  CallbackGuard guard_;
};

double powell_objective(void *user1, void *, double *x) {
  return (*static_cast<Objective *>(user1))(x);
}

double simplex_objective(double *, const void *data, int *, double *x) {
  return (*static_cast<Objective *>(const_cast<void *>(data)))(x);
}

/* ---- Results --------------------------------------------------------------------------------- */

py::array_t<double> as_array(const std::vector<double> &values) {
  py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::object make_result(const py::object &x, double f, py::object iterations, bool success,
                       int status, const std::string &message, long evaluations,
                       const py::object &x_full) {
  return (*result_type)(x, f, std::move(iterations), success, status, message, evaluations, x_full);
}

constexpr const char *kStoppingRuleMet = "a stopping rule was met";

/* The result of a direction-set run: 1 is success (reports made on the way, such as "brent: too
   many iter", go to the logger as warnings); 0 with the iteration limit reached is a result
   with success False and the library's message ("condirmin: maxiter"); any other 0 (working
   memory missing) raises velmora.Error with the library's report. */
void check_powell_end(int status, int iterations, ReportScope &reports, std::string &message) {
  if (status == 1) {
    reports.log_as_warnings();
    message = kStoppingRuleMet;
    return;
  }
  if (iterations == kPowellIterationLimit) {
    message = reports.text();
    if (message.empty()) message = "condirmin: maxiter";
    return;
  }
  reports.raise("the minimiser found no working memory");
}

/* ---- powell ---------------------------------------------------------------------------------- */

py::object powell(const Function &f, const ArrayLike &x0, double ftol) {
  check_callable(f);
  std::vector<double> p = vector_arg(x0, "x0");
  const int n = dimension_of(p, "x0");
  Objective objective(f, n, Placeholder::last_value);
  int iterations = 0;
  double fret = 0.0;
  int status = 0;
  ReportScope reports;
  {
    py::gil_scoped_release nogil;
    status =
        condirmin(p.data(), n, ftol, &iterations, &fret, powell_objective, &objective, nullptr);
  }
  objective.rethrow();
  std::string message;
  check_powell_end(status, iterations, reports, message);
  py::array_t<double> x = as_array(p);
  return make_result(x, fret, py::int_(iterations), status == 1, status, message, objective.calls(),
                     x);
}

/* ---- powell_restricted ----------------------------------------------------------------------- */

struct RestrictionDeleter {
  void operator()(RESTRICTION *r) const { restriction_kill(r); }
};
using RestrictionPtr = std::unique_ptr<RESTRICTION, RestrictionDeleter>;

/* One kind of restriction row (inequality or equality): the rows and their right-hand sides. */
struct RowSet {
  RowsArg rows;
  std::vector<double> rhs;
};

RowSet row_set(py::handle rows, py::handle rhs, const char *rows_name, const char *rhs_name) {
  RowSet set;
  if (rows.is_none() != rhs.is_none())
    throw py::value_error(std::string(rows_name) + " and " + rhs_name + " must be given together");
  if (rows.is_none()) return set;
  set.rows = rows_arg(rows, rows_name);
  set.rhs = vector_arg(rhs, rhs_name);
  if (set.rhs.size() != static_cast<std::size_t>(set.rows.rows))
    throw py::value_error(std::string(rhs_name) + " must have one value per row of " + rows_name +
                          " (" + std::to_string(set.rows.rows) + "), got " +
                          std::to_string(set.rhs.size()));
  return set;
}

/* Records the first full vector the minimiser hands its objective and returns the squared
   distance from it: every line search then ends at its start (a few calls each) and the run
   after one iteration. */
struct FullVectorCapture {
  std::vector<double> full;
  bool captured = false;
};

double capture_full_vector(void *user1, void *, double *x) {
  auto &capture = *static_cast<FullVectorCapture *>(user1);
  if (!capture.captured) {
    std::copy(x, x + capture.full.size(), capture.full.begin());
    capture.captured = true;
  }
  double distance = 0.0;
  for (std::size_t i = 0; i < capture.full.size(); ++i)
    distance += (x[i] - capture.full[i]) * (x[i] - capture.full[i]);
  return distance;
}

/* The full vector of all nvars variables that the library makes of the free vector p under the
   equality rows eq: the point its objective is called with first when a restricted run starts
   at p. The run uses a restriction of the equality rows alone, which chooses the same
   dependent variables and maps free vectors alike, but has no inequality that a line search
   could cross. */
std::vector<double> full_vector(const RowSet &eq, int nvars, std::vector<double> p) {
  ReportScope reports;
  const int m = eq.rows.rows;
  RestrictionPtr mapping(restriction_new(nullptr, nullptr, 0,
                                         m > 0 ? eq.rows.values.data() : nullptr,
                                         m > 0 ? eq.rhs.data() : nullptr, m, nvars));
  if (!mapping)
    reports.raise("could not map the result to the full vector: restriction_new failed");
  FullVectorCapture capture;
  capture.full.assign(static_cast<std::size_t>(nvars), 0.0);
  int iterations = 0;
  double fret = 0.0;
  {
    py::gil_scoped_release nogil;
    condirmin_restr(p.data(), static_cast<int>(p.size()), 1e-6, &iterations, &fret, mapping.get(),
                    capture_full_vector, &capture, nullptr);
  }
  if (!capture.captured) reports.raise("could not map the result to the full vector");
  return capture.full;
}

py::object powell_restricted(const Function &f, const ArrayLike &x0,
                             const OptionalArrayLike &ineq_rows,
                             const OptionalArrayLike &ineq_bounds, const OptionalArrayLike &eq_rows,
                             const OptionalArrayLike &eq_values, double ftol) {
  check_callable(f);
  std::vector<double> p = vector_arg(x0, "x0");
  const RowSet ineq = row_set(ineq_rows, ineq_bounds, "ineq_rows", "ineq_bounds");
  const RowSet eq = row_set(eq_rows, eq_values, "eq_rows", "eq_values");
  const int k = ineq.rows.rows;
  const int m = eq.rows.rows;
  int nvars = static_cast<int>(std::min<std::size_t>(p.size(), INT_MAX));
  if (!ineq_rows.is_none()) nvars = ineq.rows.width;
  if (!eq_rows.is_none()) {
    if (!ineq_rows.is_none() && eq.rows.width != nvars)
      throw py::value_error("ineq_rows and eq_rows must have the same number of columns (" +
                            std::to_string(nvars) + " and " + std::to_string(eq.rows.width) + ")");
    nvars = eq.rows.width;
  }
  if (nvars < 1) throw py::value_error("the restriction must have at least one variable");
  if (m > nvars)
    throw py::value_error("eq_rows has more rows (" + std::to_string(m) + ") than variables (" +
                          std::to_string(nvars) + ")");
  const int nfree = nvars - m;
  if (p.size() != static_cast<std::size_t>(nfree))
    throw py::value_error("x0 must hold the " + std::to_string(nfree) + " free variables (the " +
                          std::to_string(nvars) + " variables less one per equality row), got " +
                          std::to_string(p.size()));

  RestrictionPtr r(restriction_new(
      k > 0 ? ineq.rows.values.data() : nullptr, k > 0 ? ineq.rhs.data() : nullptr, k,
      m > 0 ? eq.rows.values.data() : nullptr, m > 0 ? eq.rhs.data() : nullptr, m, nvars));
  if (!r)
    raise_error("restriction_new refused the restriction: no " + std::to_string(m) + " of the " +
                std::to_string(nvars) +
                " variables have a block of equality coefficients with a determinant of "
                "magnitude >= 1e-5 (are the equality rows linearly dependent?), or memory ran "
                "out");

  Objective objective(f, nvars, Placeholder::last_value);
  int iterations = 0;
  double fret = 0.0;
  int status = 0;
  std::string message;
  {
    ReportScope reports;
    {
      py::gil_scoped_release nogil;
      status = condirmin_restr(p.data(), nfree, ftol, &iterations, &fret, r.get(), powell_objective,
                               &objective, nullptr);
    }
    objective.rethrow();
    check_powell_end(status, iterations, reports, message);
  }
  const std::vector<double> full = full_vector(eq, nvars, p);
  /* The library's last value can belong to a point beyond a crossed inequality (a run that ends
     through an activation keeps the value of its last line search); the value at the point
     returned is what a caller reads f as. */
  const double value = objective(full.data());
  objective.rethrow();
  return make_result(as_array(p), value, py::int_(iterations), status == 1, status, message,
                     objective.calls(), as_array(full));
}

/* ---- nelder_mead ----------------------------------------------------------------------------- */

struct SolverDeleter {
  void operator()(SFM_DHSM *s) const { dhsm_kill(s); }
};
using SolverPtr = std::unique_ptr<SFM_DHSM, SolverDeleter>;

/* Per coordinate: 1 where a bound is given and finite. */
std::vector<int> bound_flags(const std::vector<double> &bounds, std::size_t n) {
  std::vector<int> flags(n, 0);
  for (std::size_t j = 0; j < bounds.size(); ++j)
    flags[j] = std::isfinite(bounds[j]) ? 1 : 0;
  return flags;
}

py::object nelder_mead(const Function &f, const ArrayLike &x0, double tol, int maxiter,
                       const OptionalArrayLike &step, const OptionalArrayLike &low,
                       const OptionalArrayLike &high) {
  check_callable(f);
  std::vector<double> x = vector_arg(x0, "x0");
  const int n = dimension_of(x, "x0");
  if (maxiter < 0) throw py::value_error("maxiter must be >= 0 (0 selects 1000)");
  const std::size_t count = x.size();
  std::vector<double> steps, lows, highs;
  if (!step.is_none()) steps = vector_arg(step, "step", count, true);
  if (!low.is_none()) lows = vector_arg(low, "low", count, true);
  if (!high.is_none()) highs = vector_arg(high, "high", count, true);
  if (steps.empty() && !(lows.empty() && highs.empty()))
    throw py::value_error("low and high shape the start simplex built from step: give step too");

  SolverPtr solver;
  {
    ReportScope reports;
    solver.reset(dhsm_new(simplex_objective, nullptr, n));
    if (!solver) reports.raise("dhsm_new failed");
  }
  if (!steps.empty()) {
    const bool bounded = !lows.empty() || !highs.empty();
    const std::vector<int> has_low = bound_flags(lows, count);
    const std::vector<int> has_high = bound_flags(highs, count);
    lows.resize(count, 0.0);
    highs.resize(count, 0.0);
    dhsm_init(solver.get(), bounded ? has_low.data() : nullptr, bounded ? has_high.data() : nullptr,
              lows.data(), highs.data(), steps.data(), x.data());
  }
  Objective objective(f, n, Placeholder::nan);
  double fmin = 0.0;
  int status = 0;
  {
    py::gil_scoped_release nogil;
    status = dhsm_solve(solver.get(), nullptr, &objective, nullptr, tol, x.data(), maxiter, &fmin);
  }
  objective.rethrow();
  py::array_t<double> best = as_array(x);
  return make_result(best, fmin, py::none(), status == 0, status,
                     status == 0 ? "converged" : "iteration limit reached", objective.calls(),
                     best);
}

/* ---- Registration ---------------------------------------------------------------------------- */

void define_result_type(py::module_ &m) {
  py::object type =
      py::module_::import("collections")
          .attr("namedtuple")("MinimizeResult",
                              py::make_tuple("x", "f", "iterations", "success", "status", "message",
                                             "evaluations", "x_full"),
                              py::arg("module") = "velmora");
  type.attr("__doc__") = R"doc(The outcome of a minimisation (a named tuple).

x            float64 array: the point found (for powell_restricted, the free variables).
f            the objective's value there.
iterations   iterations of the direction-set method; None for nelder_mead.
success      True when the minimiser met its stopping rule, False when its iteration limit
             ended the run (x and f then hold the last point reached).
status       the library's result code: 1 or 0 for powell and powell_restricted, 0 or -1 for
             nelder_mead.
message      what ended the run, in the library's words where it gave any.
evaluations  the number of calls of the objective.
x_full       the point in all variables, as the objective receives them (x itself except for
             powell_restricted).)doc";
  const char *fields[][2] = {
      {"x", "The point found, a float64 array (for powell_restricted, the free variables)."},
      {"f", "The objective's value at the point found."},
      {"iterations", "Iterations of the direction-set method (None for nelder_mead)."},
      {"success", "True when a stopping rule ended the run, False for the iteration limit."},
      {"status", "The library's result code (powell: 1 or 0; nelder_mead: 0 or -1)."},
      {"message", "What ended the run."},
      {"evaluations", "The number of calls of the objective."},
      {"x_full", "The point in all variables, as the objective receives them."},
  };
  for (const auto &field : fields)
    type.attr(field[0]).attr("__doc__") = field[1];
  m.attr("MinimizeResult") = type;
  result_type = new py::object(type);
}

}  // namespace

void register_optimise(py::module_ &m) {
  define_result_type(m);

  m.def("powell", &powell, py::arg("f"), py::arg("x0"), py::arg("ftol") = 1e-6,
        R"doc(Minimises f without derivatives by Powell's direction-set method.

f(x) is called with a new float64 array of len(x0) values and must return a real number; x0
is the start point (1-D, any real dtype). Each line minimisation brackets a minimum and refines
it by Brent's method; a run stops when an iteration lowers the value by no more than
ftol * (|f_start| + |f_end|) / 2, or, for values of magnitude at most 1, by no more than ftol.

Returns a MinimizeResult: x, f, iterations (1 for the first), success, status (the library's 1
or 0), message, evaluations. After 200 iterations the run ends with success False, status 0 and
the message "condirmin: maxiter", x and f holding the last point reached; that is a result,
not an exception. velmora.Error is raised when the minimiser found no working memory. Reports
of a run that still succeeded ("brent: too many iter") go to the "velmora" logger as warnings;
the progress lines ("condirmin: iter= ...") go to it at DEBUG.

An exception raised by f ends the minimisation: f is not called again, and the exception
propagates unchanged once the library has returned. The GIL is released while the library
works; minimisations on different threads are independent, and f may itself minimise.)doc");

  m.def("powell_restricted", &powell_restricted, py::arg("f"), py::arg("x0"),
        py::arg("ineq_rows") = py::none(), py::arg("ineq_bounds") = py::none(),
        py::arg("eq_rows") = py::none(), py::arg("eq_values") = py::none(), py::arg("ftol") = 1e-6,
        R"doc(Minimises f(x) over n variables under linear restrictions, by Powell's method.

ineq_rows (k, n) with ineq_bounds (k,): rows with ineq_rows @ x <= ineq_bounds, treated by
active sets: when a line search crosses one, the minimisation goes on from the crossing point
with that row held as an equality. eq_rows (m, n) with eq_values (m,): rows with
eq_rows @ x == eq_values, kept satisfied throughout. Either pair may be left out; n is the
rows' number of columns (len(x0) when neither is given).

The library eliminates the equality rows: it takes as dependent variables the first m-element
subset of 0 .. n-1, in lexicographic order, whose block of equality coefficients has a
determinant of magnitude >= 1e-5. The other n - m variables are the free ones, and the
minimiser works on them:

  x0        the start, as the n - m free variables in ascending variable order. With
            eq_rows = [[1, 1, 1]], eq_values = [1] the dependent variable is x[0], and
            x0 = [x1, x2].
  f(x)      is always called with the full vector of all n variables (a new float64 array),
            the dependent ones computed so that the equality rows hold.
  result.x       the free variables at the minimum found (n - m values).
  result.x_full  the full vector there, as f receives it. It is the library's own mapping,
                 obtained from a second, one-iteration run of the minimiser under the
                 equality rows alone, on an internal objective that records the first point
                 it is given (f is not called; that run's progress lines follow the real
                 run's in the log).
  result.f       f(result.x_full), from one more call of f after the run: the library's
                 last value can belong to the end point of a line search beyond an
                 inequality that ended the run, rather than to x. Otherwise it is the
                 library's last value (the same number).

The start point should satisfy the inequality rows. iterations is the library's shared
counter, which restarts at 1 in each active-set run. Success, the iteration limit, failures,
logging, exceptions raised by f and threads are as for powell. ValueError for rows and values
of mismatched shapes or an x0 of the wrong length; velmora.Error when the library refuses the
restriction (equality rows linearly dependent) or found no working memory.)doc");

  m.def("nelder_mead", &nelder_mead, py::arg("f"), py::arg("x0"), py::arg("tol") = 0.0,
        py::arg("maxiter") = 0, py::arg("step") = py::none(), py::arg("low") = py::none(),
        py::arg("high") = py::none(),
        R"doc(Minimises f by the downhill simplex method (Nelder-Mead).

f(x) is called with a new float64 array of len(x0) values and must return a real number.
Reflection 1, expansion 2, contraction 0.5, shrink 0.5 toward the best vertex. The run has
converged when the distance between the best and the worst vertex is below tol (0 selects
1e-7) and no probe of +-0.5% along a coordinate axis about the best vertex finds a lower
value. maxiter 0 selects 1000; at most maxiter + 1 iterations run.

Start simplex: without step, x0 and x0 with a common step of 10% of x0's coordinate range
(0.1 when that is 0) added to each coordinate in turn. With step (a scalar or one value per
coordinate), vertex j is x0 with step[j-1] added to coordinate j-1; low and high (one value
per coordinate, NaN or inf for none) only keep those start vertices inside: a displaced
coordinate above high becomes x0 - 0.1 * (x0 - low), or x0 - 2 * step without a low bound.
They do not bound the search.

Returns a MinimizeResult: success True and status 0 when converged; success False and status
-1 when the iteration limit ended the solve (x and f then hold the best vertex), which is a
result, not an exception. iterations is None (the library does not count them for the
caller); evaluations counts the calls of f, the axis probes included. velmora.Error when the
solver cannot be made.

An exception raised by f ends the minimisation: f is not called again (the simplex shrinks to
its end on placeholder values), and the exception propagates unchanged. The GIL is released
while the library works; solves on different threads are independent.)doc");
}

}  // namespace velmora_py
