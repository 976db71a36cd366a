// Downhill simplex minimisation (Nelder and Mead, 1965).
//
// n + 1 vertices span a simplex in n dimensions. Each iteration replaces the worst vertex by its
// reflection through the centroid of the others, stretched further (expansion) when that beats
// the best vertex, pulled halfway back (contraction) when it does not improve on the second
// worst; when even the contraction fails the whole simplex shrinks halfway toward its best
// vertex. The default convergence measure adds axis probes about the best vertex, so a simplex
// that collapsed away from a minimum is not mistaken for convergence.
#include "velmora/dhsm.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "foundation/alloc.h"
#include "foundation/error.h"
#include "foundation/vector_number.h"
#include "optimise/dhsm_internal.h"

namespace {

constexpr double kExpansion = 2.0;
constexpr double kContraction = 0.5;
constexpr double kShrink = 0.5;
constexpr double kStartStepFraction = 0.1;  // of the start point's coordinate range
constexpr double kFallbackStartStep = 0.1;  // when that range is 0
constexpr double kBoundPullBack = 0.1;      // fraction of the way back toward the lower bound
constexpr double kDefaultTolerance = 1.0e-7;
constexpr int kDefaultMaxIterations = 1000;
constexpr double kProbeFraction = 0.005;
constexpr double kNearZero = 1.0e-20;

// The module's last allocation failure; per thread so concurrent reports do not mix.
thread_local velmora::LastError last_error;

// Tolerance of the solve running on this thread, read by dhsm_conv_default.
thread_local double solve_tolerance = kDefaultTolerance;

// Installs a solve's tolerance for its duration and restores the previous one afterwards, so an
// objective may itself run a solve.
class ToleranceScope {
 public:
  explicit ToleranceScope(double tol) : saved_(solve_tolerance) { solve_tolerance = tol; }
  ~ToleranceScope() { solve_tolerance = saved_; }
  ToleranceScope(const ToleranceScope &) = delete;
  ToleranceScope &operator=(const ToleranceScope &) = delete;

 private:
  double saved_;
};

// The module's one report site for failed allocations.
void report_failure(int failure_line) {
  velmora::report_no_resources(last_error, __FILE__, failure_line, __LINE__);
}

double *vertex(const SFM_DHSM *s, int j) {
  return s->simplex + static_cast<std::size_t>(j) * static_cast<std::size_t>(s->nDims);
}

void copy(double *dst, const double *src, int n) {
  std::memcpy(dst, src, static_cast<std::size_t>(n) * sizeof(double));
}

// The caller's values, passed through to every objective call unchanged.
struct CallerValues {
  double *par;
  const void *data;
  int *info;
};

// Evaluates point through the scratch array `trial`, so the objective never sees the simplex.
double evaluate_via_trial(const SFM_DHSM *s, const CallerValues &c, const double *point) {
  copy(s->trial, point, s->nDims);
  return s->func(c.par, c.data, c.info, s->trial);
}

struct Ranking {
  int ihi;   // worst
  int inhi;  // second worst
  int ilo;   // best; the first of equal values after index 0 wins
};

Ranking rank(const double *values, int n) {
  Ranking r;
  if (values[0] > values[1]) {
    r.ihi = 0;
    r.inhi = 1;
  } else {
    r.ihi = 1;
    r.inhi = 0;
  }
  r.ilo = 1;
  for (int i = 0; i <= n; ++i) {
    if (values[i] < values[r.ilo]) r.ilo = i;
    if (values[i] > values[r.ihi]) {
      r.inhi = r.ihi;
      r.ihi = i;
    } else if (values[i] > values[r.inhi] && i != r.ihi) {
      r.inhi = i;
    }
  }
  return r;
}

void build_default_simplex(SFM_DHSM *s, const double *x) {
  const int n = s->nDims;
  double lo = x[0], hi = x[0];
  for (int k = 1; k < n; ++k) {
    lo = std::fmin(lo, x[k]);
    hi = std::fmax(hi, x[k]);
  }
  double step = kStartStepFraction * (hi - lo);
  if (step == 0.0) step = kFallbackStartStep;
  for (int j = 0; j <= n; ++j) {
    double *v = vertex(s, j);
    copy(v, x, n);
    if (j > 0) v[j - 1] += step;
  }
}

void replace_worst(SFM_DHSM *s, int ihi, const double *point, double value) {
  copy(vertex(s, ihi), point, s->nDims);
  s->values[ihi] = value;
}

// p = centroid + factor * (q - centroid)
void along_centroid(const SFM_DHSM *s, const double *q, double factor, double *p) {
  for (int k = 0; k < s->nDims; ++k)
    p[k] = s->centroid[k] + factor * (q[k] - s->centroid[k]);
}

void shrink_toward_best(SFM_DHSM *s, const CallerValues &c, int ilo) {
  const int n = s->nDims;
  const double *best = vertex(s, ilo);
  for (int i = 0; i <= n; ++i) {
    if (i == ilo) continue;
    double *v = vertex(s, i);
    for (int k = 0; k < n; ++k)
      v[k] = kShrink * (v[k] + best[k]);
    s->values[i] = evaluate_via_trial(s, c, v);
  }
}

// One Nelder-Mead step: reflection, then expansion, acceptance, contraction or shrink.
void iterate(SFM_DHSM *s, const CallerValues &c, const Ranking &r) {
  const int n = s->nDims;
  for (int k = 0; k < n; ++k) {
    double sum = 0.0;
    for (int j = 0; j <= n; ++j)
      if (j != r.ihi) sum += vertex(s, j)[k];
    s->centroid[k] = sum / n;
  }
  double *reflected = s->trial;
  const double *worst = vertex(s, r.ihi);
  for (int k = 0; k < n; ++k)
    reflected[k] = 2.0 * s->centroid[k] - worst[k];
  const double yr = s->func(c.par, c.data, c.info, reflected);

  if (yr <= s->values[r.ilo]) {
    along_centroid(s, reflected, kExpansion, s->trial2);
    const double ye = s->func(c.par, c.data, c.info, s->trial2);
    if (ye < yr)
      replace_worst(s, r.ihi, s->trial2, ye);
    else
      replace_worst(s, r.ihi, reflected, yr);
    return;
  }
  if (yr < s->values[r.inhi]) {
    replace_worst(s, r.ihi, reflected, yr);
    return;
  }
  if (yr < s->values[r.ihi]) replace_worst(s, r.ihi, reflected, yr);
  along_centroid(s, vertex(s, r.ihi), kContraction, s->trial2);
  const double yk = s->func(c.par, c.data, c.info, s->trial2);
  if (yk < s->values[r.ihi])
    replace_worst(s, r.ihi, s->trial2, yk);
  else
    shrink_toward_best(s, c, r.ilo);
}

int finish(SFM_DHSM *s, int ilo, double *x, double *fmin, int result) {
  if (x != nullptr) copy(x, vertex(s, ilo), s->nDims);
  if (fmin != nullptr) *fmin = s->values[ilo];
  s->initialised = 0;
  return result;
}

SFM_DHSM *release(SFM_DHSM *s) {
  velmora::mem_free(s->simplex);
  velmora::mem_free(s->values);
  velmora::mem_free(s->trial);
  velmora::mem_free(s->trial2);
  velmora::mem_free(s->centroid);
  velmora::mem_free(s);
  return nullptr;
}

}  // namespace

double dhsm_conv_default(const SFM_DHSM *solver, double *par, const void *data, int *info, int ihi,
                         int ilo) {
  const int n = solver->nDims;
  const double *best = vertex(solver, ilo);
  const double tol = solve_tolerance;
  const double d = vect_distance(vertex(solver, ihi), best, n);
  if (d > tol) return d;

  double largest = 0.0;
  for (int k = 0; k < n; ++k)
    largest = std::fmax(largest, std::fabs(best[k]));
  const double best_value = solver->values[ilo];
  for (int k = 0; k < n; ++k) {
    const double h = std::fabs(best[k]) < kNearZero ? largest : best[k];
    for (double direction : {1.0, -1.0}) {
      copy(solver->trial, best, n);
      solver->trial[k] = best[k] + direction * kProbeFraction * h;
      if (best_value > solver->func(par, data, info, solver->trial)) return tol + d;
    }
  }
  return d;
}

SFM_DHSM *dhsm_new(dhsm_objective func, dhsm_convergence conv, int n) {
  if (n < 0) {  // arrays of a negative size cannot be had
    report_failure(__LINE__);
    return nullptr;
  }
  if (n == 0) return nullptr;
  SFM_DHSM *s = velmora::calloc_array<SFM_DHSM>(1);
  if (s == nullptr) {
    report_failure(__LINE__ - 2);
    return nullptr;
  }
  s->nDims = n;
  s->func = func;
  s->conv = conv != nullptr ? conv : dhsm_conv_default;

  const uint64_t vertex_values = (static_cast<uint64_t>(n) + 1) * static_cast<uint64_t>(n);
  if (vertex_values <= SIZE_MAX / sizeof(double))
    s->simplex = velmora::alloc_array<double>(static_cast<std::size_t>(vertex_values));
  if (s->simplex == nullptr) {
    report_failure(__LINE__ - 2);
    return release(s);
  }
  double **arrays[] = {&s->values, &s->trial, &s->trial2, &s->centroid};
  for (double **array : arrays) {
    *array = velmora::alloc_array<double>(static_cast<std::size_t>(n) + 1);
    if (*array == nullptr) {
      report_failure(__LINE__ - 2);
      return release(s);
    }
  }
  return s;
}

int dhsm_init(SFM_DHSM *solver, const int *hasLow, const int *hasHigh, const double *low,
              const double *high, const double *step, const double *x0) {
  const int n = solver->nDims;
  const bool bounded = hasLow != nullptr && hasHigh != nullptr;
  for (int j = 0; j <= n; ++j) {
    double *v = vertex(solver, j);
    copy(v, x0, n);
    if (j == 0) continue;
    const int k = j - 1;
    v[k] = x0[k] + step[k];
    if (bounded && hasHigh[k] != 0 && v[k] > high[k])
      v[k] = hasLow[k] != 0 ? x0[k] - kBoundPullBack * (x0[k] - low[k]) : x0[k] - 2.0 * step[k];
  }
  solver->initialised = 1;
  return 0;
}

int dhsm_solve(SFM_DHSM *solver, double *par, const void *data, int *info, double tol, double *x,
               int maxiter, double *fmin) {
  if (solver == nullptr) return -1;
  const int n = solver->nDims;
  if (solver->initialised == 0) {
    if (x == nullptr) return -1;  // no start point and no start simplex
    build_default_simplex(solver, x);
  }
  const CallerValues caller{par, data, info};
  for (int j = n; j >= 0; --j)
    solver->values[j] = evaluate_via_trial(solver, caller, vertex(solver, j));

  if (tol == 0.0) tol = kDefaultTolerance;
  if (maxiter == 0) maxiter = kDefaultMaxIterations;
  const ToleranceScope scope(tol);
  for (int iterations = 0;; ++iterations) {
    const Ranking r = rank(solver->values, n);
    if (tol > solver->conv(solver, par, data, info, r.ihi, r.ilo))
      return finish(solver, r.ilo, x, fmin, 0);
    if (iterations > maxiter) return finish(solver, r.ilo, x, fmin, -1);
    iterate(solver, caller, r);
  }
}

SFM_DHSM *dhsm_kill(SFM_DHSM *solver) {
  if (solver == nullptr) return nullptr;
  return release(solver);
}
