// Derivative-free minimisers on classic test functions of 2 to 10 variables: condirmin and
// dhsm_solve beside GSL's nmsimplex2 and NLopt's PRAXIS and Nelder-Mead, from the same starting
// points in the same run. Each case times one whole minimisation; its counters give the number of
// objective evaluations and the final value. After the runs a table lists, per function, each
// method's evaluations, final value and time, with the time and evaluation ratios against GSL's
// nmsimplex2 (below 1: cheaper than GSL). CPU time is used, as the machines are often shared.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "../../tests/optimise/optimise_test_functions.h"
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
constexpr double kMinTimeSeconds = 0.05;
const char *const kBaseline = "gsl_nmsimplex2";

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

struct Entry {
  std::string function, method;
  Outcome outcome;
  double seconds = 0.0;
};
std::map<std::string, Entry> entries;  // by benchmark name
std::vector<std::string> method_order;

void minimise(benchmark::State &state, Method method, const TestFunction *tf) {
  Outcome o;
  for (auto _ : state) {
    o = method(*tf);
    benchmark::DoNotOptimize(o.value);
  }
  state.counters["evals"] = static_cast<double>(o.evaluations);
  state.counters["fmin"] = o.value;
}

// Collects the timings for the summary table.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      auto it = entries.find(run.run_name.function_name);
      if (it != entries.end() && run.iterations > 0)
        it->second.seconds =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-20s %-15s %8s %12s %11s %9s %9s\n", "function", "method", "evals",
                "final value", "time (us)", "time/GSL", "evals/GSL");
    for (const TestFunction &tf : functions())
      for (const std::string &method : method_order)
        print_row(tf.name + "/" + method);
  }

 private:
  static void print_row(const std::string &name) {
    const auto found = entries.find(name);
    if (found == entries.end()) return;
    const Entry &e = found->second;
    const auto base = entries.find(e.function + "/" + kBaseline);
    std::printf("%-20s %-15s %8ld %12.3e %11.1f", e.function.c_str(), e.method.c_str(),
                e.outcome.evaluations, e.outcome.value, e.seconds * 1.0e6);
    if (base != entries.end() && base->second.seconds > 0.0) {
      std::printf(" %9.2f %9.2f\n", e.seconds / base->second.seconds,
                  static_cast<double>(e.outcome.evaluations) /
                      static_cast<double>(base->second.outcome.evaluations));
    } else {
      std::printf(" %9s %9s\n", "-", "-");
    }
  }
};

void register_method(const char *method_name, Method method) {
  method_order.push_back(method_name);
  for (const TestFunction &tf : functions()) {
    const std::string name = tf.name + "/" + method_name;
    // One untimed run first: its evaluations and final value go to the table.
    entries[name] = {tf.name, method_name, method(tf), 0.0};
    benchmark::RegisterBenchmark(name.c_str(), &minimise, method, &tf)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(kMinTimeSeconds);
  }
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
#ifdef VELMORA_HAVE_GSL
  gsl_set_error_handler_off();
  register_method(kBaseline, &run_gsl);
#endif
  register_method("condirmin", &run_condirmin);
  register_method("dhsm_solve", &run_dhsm);
#ifdef VELMORA_HAVE_NLOPT
  nlopt_srand(1);  // PRAXIS draws random numbers: fixed, so runs repeat
  register_method("nlopt_praxis", &run_praxis);
  register_method("nlopt_neldermead", &run_nlopt_nm);
#endif
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
