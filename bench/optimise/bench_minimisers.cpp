// Derivative-free minimisers on classic test functions of 2 to 10 variables: condirmin and
// dhsm_solve beside GSL's nmsimplex2 and NLopt's PRAXIS and Nelder-Mead, from the same starting
// points in the same run. Each case times one whole minimisation; its counters give the number of
// objective evaluations and the final value. The shared ratio reporter lists, per function, each
// method's minimisations per second, evaluations and final value, and the ratio of each of ours
// to every peer (above 1: faster than the peer).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "../../tests/optimise/optimise_test_functions.h"
#include "support/ratio_reporter.h"
#include "velmora/condirmin.h"
#include "velmora/dhsm.h"

#ifdef VELMORA_HAVE_GSL
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multimin.h>
#endif
#ifdef VELMORA_HAVE_NLOPT
#include <nlopt.h>
#endif

namespace {

using velmora::testing::TestFunction;

constexpr double kFtol = 1.0e-10;        // relative change of the value that ends a run
constexpr double kSimplexSize = 1.0e-8;  // simplex size that ends a simplex run
constexpr double kStartStep = 0.1;       // initial simplex step of the simplex methods
constexpr int kMaxEvaluations = 200000;
constexpr double kMinSeconds = 0.05;
constexpr int kRepetitions = 3;

// The objective with an evaluation counter.
struct Counted {
  const TestFunction *tf;
  long evaluations = 0;
  double operator()(const double *x) {
    ++evaluations;
    return tf->f(x);
  }
};

struct Outcome {
  long evaluations = 0;
  double value = NAN;
};

using Method = Outcome (*)(const TestFunction &);

Outcome run_condirmin(const TestFunction &tf) {
  Counted c{&tf};
  std::vector<double> x = tf.start;
  int iter = 0;
  double fret = 0.0;
  condirmin(
      x.data(), static_cast<int>(x.size()), kFtol, &iter, &fret,
      [](void *u1, void *, double *p) { return (*static_cast<Counted *>(u1))(p); }, &c, nullptr);
  return {c.evaluations, tf.f(x.data())};
}

Outcome run_dhsm(const TestFunction &tf) {
  Counted c{&tf};
  const int n = static_cast<int>(tf.start.size());
  SFM_DHSM *solver = dhsm_new(
      [](double *, const void *data, int *, double *p) {
        return (*const_cast<Counted *>(static_cast<const Counted *>(data)))(p);
      },
      nullptr, n);
  std::vector<double> x = tf.start;
  const std::vector<double> step(x.size(), kStartStep);
  dhsm_init(solver, nullptr, nullptr, x.data(), x.data(), step.data(), x.data());
  double par = 0.0, fmin = 0.0;
  int info = 0;
  // maxiter 0: the solver's own limit of 1000 iterations.
  dhsm_solve(solver, &par, &c, &info, kSimplexSize, x.data(), 0, &fmin);
  dhsm_kill(solver);
  return {c.evaluations, tf.f(x.data())};
}

#ifdef VELMORA_HAVE_GSL
double gsl_objective(const gsl_vector *v, void *params) {
  return (*static_cast<Counted *>(params))(v->data);
}

Outcome run_gsl(const TestFunction &tf) {
  Counted c{&tf};
  const size_t n = tf.start.size();
  gsl_multimin_function fn{&gsl_objective, n, &c};
  gsl_vector *x = gsl_vector_alloc(n);
  gsl_vector *step = gsl_vector_alloc(n);
  for (size_t i = 0; i < n; ++i)
    gsl_vector_set(x, i, tf.start[i]);
  gsl_vector_set_all(step, kStartStep);
  gsl_multimin_fminimizer *s = gsl_multimin_fminimizer_alloc(gsl_multimin_fminimizer_nmsimplex2, n);
  gsl_multimin_fminimizer_set(s, &fn, x, step);
  int status = GSL_CONTINUE;
  while (status == GSL_CONTINUE && c.evaluations < kMaxEvaluations) {
    if (gsl_multimin_fminimizer_iterate(s) != GSL_SUCCESS) break;
    status = gsl_multimin_test_size(gsl_multimin_fminimizer_size(s), kSimplexSize);
  }
  const Outcome o{c.evaluations, gsl_multimin_fminimizer_minimum(s)};
  gsl_multimin_fminimizer_free(s);
  gsl_vector_free(step);
  gsl_vector_free(x);
  return o;
}
#endif

#ifdef VELMORA_HAVE_NLOPT
double nlopt_objective(unsigned, const double *x, double *, void *data) {
  return (*static_cast<Counted *>(data))(x);
}

Outcome run_nlopt(const TestFunction &tf, nlopt_algorithm algorithm) {
  Counted c{&tf};
  const auto n = static_cast<unsigned>(tf.start.size());
  nlopt_opt opt = nlopt_create(algorithm, n);
  nlopt_set_min_objective(opt, &nlopt_objective, &c);
  nlopt_set_ftol_rel(opt, kFtol);
  nlopt_set_xtol_abs1(opt, kSimplexSize);
  nlopt_set_maxeval(opt, kMaxEvaluations);
  const std::vector<double> step(n, kStartStep);
  nlopt_set_initial_step(opt, step.data());
  std::vector<double> x = tf.start;
  double fmin = NAN;
  nlopt_optimize(opt, x.data(), &fmin);
  nlopt_destroy(opt);
  return {c.evaluations, fmin};
}

Outcome run_praxis(const TestFunction &tf) {
  return run_nlopt(tf, NLOPT_LN_PRAXIS);
}

Outcome run_nlopt_nm(const TestFunction &tf) {
  return run_nlopt(tf, NLOPT_LN_NELDERMEAD);
}
#endif

const std::vector<TestFunction> &functions() {
  static const std::vector<TestFunction> list = velmora::testing::classic_functions();
  return list;
}

void minimise(benchmark::State &state, Method method, const TestFunction *tf) {
  Outcome o;
  for (auto _ : state) {
    o = method(*tf);
    benchmark::DoNotOptimize(o.value);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["evals"] = static_cast<double>(o.evaluations);
  state.counters["fmin"] = o.value;
}

void register_method(const char *method_name, Method method) {
  for (const TestFunction &tf : functions())
    velmora::bench::register_case(tf.name + "/" + method_name, kMinSeconds, kRepetitions, &minimise,
                                  method, &tf);
}

}  // namespace

int main(int argc, char **argv) {
#ifdef VELMORA_HAVE_GSL
  gsl_set_error_handler_off();
  register_method("gsl_nmsimplex2", &run_gsl);
#endif
  register_method("velmora-condirmin", &run_condirmin);
  register_method("velmora-dhsm", &run_dhsm);
#ifdef VELMORA_HAVE_NLOPT
  nlopt_srand(1);  // PRAXIS draws random numbers: fixed, so runs repeat
  register_method("nlopt_praxis", &run_praxis);
  register_method("nlopt_neldermead", &run_nlopt_nm);
#endif
  return velmora::bench::run_with_ratios(argc, argv, "velmora", {"evals", "fmin"});
}
