/* Reference cases of the minimisers: condirmin, condirmin_restr and dhsm_solve run from C++ on
   objectives that the tests mirror operation for operation in Python, so that both sides see the
   same values and the runs must agree to the bit. */
#include <velmora/condirmin.h>
#include <velmora/dhsm.h>
#include <velmora/restriction.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference.h"

namespace {

/* An objective by name over caller data, counting its calls.
     rosenbrock  sum over i of 100 (x[i+1] - x[i]^2)^2 + (1 - x[i])^2
     lab_median  sum of the Euclidean distances from x to the Lab samples in data
     ink_mix     squared distance from the target data[0..2] to the mixture sum of x[i] times
                 the Lab of ink i (data[3 + 3 i ..]) */
struct Problem {
  std::string name;
  reference::Values data;
  int n = 0;
  long calls = 0;

  double operator()(const double *x) {
    ++calls;
    double s = 0.0;
    if (name == "rosenbrock") {
      for (int i = 0; i + 1 < n; ++i) {
        const double a = x[i + 1] - x[i] * x[i];
        const double b = 1.0 - x[i];
        s += 100.0 * a * a + b * b;
      }
    } else if (name == "lab_median") {
      for (std::size_t j = 0; j + 2 < data.size(); j += 3) {
        const double dl = x[0] - data[j], da = x[1] - data[j + 1], db = x[2] - data[j + 2];
        s += std::sqrt(dl * dl + da * da + db * db);
      }
    } else if (name == "ink_mix") {
      double mix[3] = {0.0, 0.0, 0.0};
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c)
          mix[c] += x[i] * data[static_cast<std::size_t>(3 + 3 * i + c)];
      for (int c = 0; c < 3; ++c) {
        const double d = mix[c] - data[static_cast<std::size_t>(c)];
        s += d * d;
      }
    } else {
      throw std::runtime_error("no objective " + name);
    }
    return s;
  }
};

double powell_call(void *user1, void *, double *x) {
  return (*static_cast<Problem *>(user1))(x);
}

double simplex_call(double *, const void *data, int *, double *x) {
  return (*static_cast<Problem *>(const_cast<void *>(data)))(x);
}

/* Reads the objective's data from in (its count first) starting at `at`. */
reference::Values take(const reference::Values &in, std::size_t &at, std::size_t count) {
  if (at + count > in.size()) throw std::runtime_error("input too short");
  reference::Values out(in.begin() + static_cast<std::ptrdiff_t>(at),
                        in.begin() + static_cast<std::ptrdiff_t>(at + count));
  at += count;
  return out;
}

Problem problem(const reference::Arguments &args, const reference::Values &in, std::size_t &at) {
  Problem p;
  p.name = args.at(0);
  const auto count = static_cast<std::size_t>(take(in, at, 1)[0]);
  p.data = take(in, at, count);
  return p;
}

}  // namespace

/* args: objective ftol; in: data count, data, x0 (the rest); out: x, f, iterations, result,
   calls. */
REFERENCE_CASE(condirmin) {
  std::size_t at = 0;
  Problem p = problem(args, in, at);
  reference::Values x = take(in, at, in.size() - at);
  p.n = static_cast<int>(x.size());
  int iter = 0;
  double fret = 0.0;
  const int status = condirmin(x.data(), p.n, reference::double_arg(args, 1), &iter, &fret,
                               powell_call, &p, nullptr);
  x.insert(x.end(), {fret, double(iter), double(status), double(p.calls)});
  return x;
}

/* args: objective ftol k m n; in: data count, data, k x n inequality rows, k bounds, m x n
   equality rows, m values, x0 (n - m free values); out: x, f, iterations, result, calls. */
REFERENCE_CASE(condirmin_restr) {
  std::size_t at = 0;
  Problem p = problem(args, in, at);
  const int k = reference::int_arg(args, 2), m = reference::int_arg(args, 3);
  p.n = reference::int_arg(args, 4);
  const auto n = static_cast<std::size_t>(p.n);
  const reference::Values ineq = take(in, at, static_cast<std::size_t>(k) * n);
  const reference::Values bounds = take(in, at, static_cast<std::size_t>(k));
  const reference::Values eq = take(in, at, static_cast<std::size_t>(m) * n);
  const reference::Values values = take(in, at, static_cast<std::size_t>(m));
  reference::Values x = take(in, at, n - static_cast<std::size_t>(m));
  RESTRICTION *r = restriction_new(ineq.data(), bounds.data(), k, eq.data(), values.data(), m, p.n);
  if (r == nullptr) throw std::runtime_error("restriction_new failed");
  int iter = 0;
  double fret = 0.0;
  const int status = condirmin_restr(x.data(), p.n - m, reference::double_arg(args, 1), &iter,
                                     &fret, r, powell_call, &p, nullptr);
  restriction_kill(r);
  x.insert(x.end(), {fret, double(iter), double(status), double(p.calls)});
  return x;
}

/* args: objective tol maxiter with_start_simplex; in: data count, data, x0 (n), then with a start
   simplex step, has_low, has_high, low, high (n each); out: x, fmin, result, calls. */
REFERENCE_CASE(dhsm_solve) {
  std::size_t at = 0;
  Problem p = problem(args, in, at);
  const bool start_simplex = reference::int_arg(args, 3) != 0;
  const std::size_t n = start_simplex ? (in.size() - at) / 6 : in.size() - at;
  p.n = static_cast<int>(n);
  reference::Values x = take(in, at, n);
  SFM_DHSM *s = dhsm_new(simplex_call, nullptr, p.n);
  if (s == nullptr) throw std::runtime_error("dhsm_new failed");
  if (start_simplex) {
    const reference::Values step = take(in, at, n);
    const reference::Values has_low = take(in, at, n), has_high = take(in, at, n);
    const reference::Values low = take(in, at, n), high = take(in, at, n);
    std::vector<int> hl(has_low.begin(), has_low.end()), hh(has_high.begin(), has_high.end());
    dhsm_init(s, hl.data(), hh.data(), low.data(), high.data(), step.data(), x.data());
  }
  double fmin = 0.0;
  const int status = dhsm_solve(s, nullptr, &p, nullptr, reference::double_arg(args, 1), x.data(),
                                reference::int_arg(args, 2), &fmin);
  dhsm_kill(s);
  x.insert(x.end(), {fmin, double(status), double(p.calls)});
  return x;
}
