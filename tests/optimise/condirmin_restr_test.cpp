#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "foundation/alloc.h"
#include "optimise/restriction_internal.h"
#include "support/diagnostics_capture.h"
#include "velmora/condirmin.h"

#ifdef VELMORA_HAVE_NLOPT
#include <nlopt.h>
#endif

namespace {

using velmora::testing::DiagnosticsCapture;
using Vec = std::vector<double>;
using Strings = std::vector<std::string>;
using Function = std::function<double(const double *)>;

double distance(const Vec &a, const Vec &b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    s += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(s);
}

// Largest row . x - bound over rows of x.size() coefficients (absolute values for equalities).
double residual(const Vec &rows, const Vec &bounds, const Vec &x, bool equality) {
  double worst = 0.0;
  for (size_t r = 0; r < bounds.size(); ++r) {
    const double s =
        std::inner_product(x.begin(), x.end(), rows.begin() + r * x.size(), -bounds[r]);
    worst = std::fmax(worst, equality ? std::fabs(s) : s);
  }
  return worst;
}

// Minimise |x - centre|^2 (Rosenbrock's function when centre is empty) subject to ineq . x <=
// bounds and eq . x = values, from a free vector; the optimum is a full vector (empty when only
// the independent solver knows it).
struct Problem {
  const char *name;
  int n;
  Vec ineq, bounds, eq, values, centre, start, optimum;
  double f(const double *x) const {
    if (centre.empty()) return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
    double s = 0.0;
    for (size_t i = 0; i < centre.size(); ++i)
      s += (x[i] - centre[i]) * (x[i] - centre[i]);
    return s;
  }
  RESTRICTION *make() const {
    return restriction_new(ineq.data(), bounds.data(), static_cast<int>(bounds.size()), eq.data(),
                           values.data(), static_cast<int>(values.size()), n);
  }
};

std::vector<Problem> problems() {
  // Nearest point to c on the plane a . x = 3: c - a (a . c - 3) / |a|^2 = c + 0.936 a.
  const Vec a{1, 2, -1, 0.5}, box{1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
  return {
      {"one equality", 4, {}, {}, a, {3}, {1, -1, 2, 0.3}, {0, 0, 0}, {1.936, 0.872, 1.064, 0.768}},
      {"one inequality", 2, {1, 1}, {2}, {}, {}, {2, 2}, {0, 0}, {1, 1}},
      {"box", 3, box, {1, 0, 1, 0, 1, 0}, {}, {}, {2, -1, 0.5}, {0.5, 0.5, 0.5}, {1, 0, 0.5}},
      {"mixed", 3, {1, 0, 0}, {0.5}, {1, 1, 1}, {3}, {0, 0, 0}, {1.5, 1.5}, {0.5, 1.25, 1.25}},
      // x0 = x1 leaves one free variable; its first line search crosses x0 <= 1.
      {"one free variable", 2, {1, 0}, {1}, {1, -1}, {0}, {3, 3}, {0}, {1, 1}},
      {"Rosenbrock below x + y = 1.5", 2, {1, 1}, {1.5}, {}, {}, {}, {-1.2, 1.0}, {}}};
}

// Runs condirmin_restr and records the full vectors the objective sees.
struct Solve {
  RESTRICTION *r;
  Function f;
  std::vector<Vec> calls = {};
  int status = -1, iter = -3;
  double fret = -3.0;
  Vec p = {}, full = {};

  static double call(void *user1, void *, double *x) {
    auto *self = static_cast<Solve *>(user1);
    self->calls.emplace_back(x, x + self->r->nVars);
    return self->f(x);
  }
  Solve &minimise(Vec start, double ftol = 1.0e-10) {
    p = std::move(start);
    status = condirmin_restr(p.data(), static_cast<int>(p.size()), ftol, &iter, &fret, r,
                             &Solve::call, this, nullptr);
    full.assign(static_cast<size_t>(r->nVars), NAN);
    if (static_cast<int>(p.size()) == r->nVars - r->nEq)
      velmora::restriction_apply(r, p.data(), full.data());
    return *this;
  }
};

#ifdef VELMORA_HAVE_NLOPT
// The same problem solved by NLopt's COBYLA from the origin.
Vec cobyla(const Problem &pr) {
  struct Row {
    const double *row;
    double bound;
    int n;
  };
  nlopt_func value = [](unsigned, const double *x, double *, void *data) {
    return static_cast<const Problem *>(data)->f(x);
  };
  nlopt_func row_value = [](unsigned, const double *x, double *, void *data) {
    const auto *c = static_cast<const Row *>(data);
    return std::inner_product(c->row, c->row + c->n, x, -c->bound);
  };
  nlopt_opt opt = nlopt_create(NLOPT_LN_COBYLA, static_cast<unsigned>(pr.n));
  nlopt_set_min_objective(opt, value, const_cast<Problem *>(&pr));
  std::vector<Row> rows;
  for (size_t k = 0; k < pr.bounds.size(); ++k)
    rows.push_back({pr.ineq.data() + k * pr.n, pr.bounds[k], pr.n});
  for (size_t k = 0; k < pr.values.size(); ++k)
    rows.push_back({pr.eq.data() + k * pr.n, pr.values[k], pr.n});
  for (size_t i = 0; i < rows.size(); ++i)
    (i < pr.bounds.size() ? nlopt_add_inequality_constraint : nlopt_add_equality_constraint)(
        opt, row_value, &rows[i], 1e-12);
  nlopt_set_xtol_rel(opt, 1.0e-12);
  nlopt_set_maxeval(opt, 200000);
  Vec x(static_cast<size_t>(pr.n), 0.0);
  double fmin = 0.0;
  EXPECT_GT(nlopt_optimize(opt, x.data(), &fmin), 0);
  nlopt_destroy(opt);
  return x;
}
#endif

TEST(RestrictedMinimiser, SolvesConstrainedProblemsTwiceAlikeAndAgreesWithCobyla) {
  for (const Problem &pr : problems()) {
    SCOPED_TRACE(pr.name);
    DiagnosticsCapture capture;
    RESTRICTION *r = pr.make();
    ASSERT_NE(r, nullptr);
    const Function f = [&pr](const double *x) { return pr.f(x); };
    Solve run{r, f};
    EXPECT_TRUE(run.minimise(pr.start).status == 1 && capture.errors().empty());
    EXPECT_LT(residual(pr.ineq, pr.bounds, run.full, false), 1.0e-9);
    // Every call sees a full vector that satisfies the equalities.
    for (const Vec &x : run.calls)
      ASSERT_LT(residual(pr.eq, pr.values, x, true), 1.0e-9);
    if (!pr.optimum.empty()) {
      EXPECT_LT(distance(run.full, pr.optimum), 5.0e-5);
      EXPECT_NEAR(pr.f(run.full.data()), pr.f(pr.optimum.data()), 1.0e-8);
    }
#ifdef VELMORA_HAVE_NLOPT
    const Vec x = cobyla(pr);
    EXPECT_LT(distance(run.full, x), 1.0e-4);
    EXPECT_NEAR(pr.f(run.full.data()), pr.f(x.data()), 1.0e-7);
#endif
    // The restriction remembers its last activation; a second run must not stop on it.
    Solve again{r, f};
    EXPECT_TRUE(again.minimise(pr.start).status == run.status && again.p == run.p &&
                again.fret == run.fret && again.iter == run.iter);
    restriction_kill(r);
  }
}

TEST(RestrictedMinimiser, EndingTwiceOnTheSameActivationPointStops) {
  // Starts outside x <= 1 at the unconstrained minimum: the first search does not move and
  // leaves its end point remembered; the second one ends on the same point, which stops the run.
  const Problem pr{"", 2, {1, 0}, {1}, {}, {}, {2, 1}, {2, 1}, {}};
  RESTRICTION *r = pr.make();
  DiagnosticsCapture capture;
  Solve run{r, [&pr](const double *x) { return pr.f(x); }};
  EXPECT_TRUE(run.minimise(pr.start).status == 1 && run.p == pr.start && run.iter == 1);
  EXPECT_TRUE(capture.progress().size() == 3u && capture.errors().empty());
  restriction_kill(r);
}

TEST(RestrictedMinimiser, FailuresTheIterationLimitAndBadArguments) {
  const Problem pr = problems()[0];
  RESTRICTION *r = pr.make(), *wide = Problem{"", 7, {}, {}, {}, {}, {}, {}, {}}.make();
  const Function bowl = [](const double *x) { return x[0] * x[0] + x[1] * x[1]; };
  // Five reported working allocations, three silent ones, then the line storage of a size not
  // used before: without it every line search is skipped, and a run that never searched is no
  // success.
  for (int k = 0; k <= 8; ++k) {
    SCOPED_TRACE(k);
    DiagnosticsCapture capture;
    Solve run{k < 8 ? r : wide, bowl};
    const Vec start = k < 8 ? pr.start : Vec(7, 1.0);
    velmora::test_hooks::fail_allocations_after(k);
    run.minimise(start);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_TRUE(run.p == start && run.status == 0);
    EXPECT_EQ(capture.error_texts(), k < 5   ? Strings{"condirmin: malloc failed"}
                                     : k < 8 ? Strings{}
                                             : Strings(7, "linmin: malloc failed"));
    EXPECT_EQ(run.iter == -3 && run.calls.empty(), k < 8);
  }
  restriction_kill(wide);

  // A function that sinks by 1000 at each new iteration: the shared counter reaches 200.
  DiagnosticsCapture capture;
  Solve sinking{r, [&](const double *x) {
                  int iterations = 0;
                  for (const auto &line : capture.progress())
                    iterations += line.second.rfind("condirmin: iter=", 0) == 0;
                  return pr.f(x) - 1000.0 * iterations;
                }};
  EXPECT_TRUE(sinking.minimise(pr.start, 1.0e-12).status == 0 && sinking.iter == 200);
  EXPECT_EQ(capture.error_texts(), Strings{"condirmin: maxiter"});

  // A size that does not match the restriction, or no restriction, is refused untouched.
  Solve wrong{r, bowl};
  EXPECT_EQ(wrong.minimise({0.0, 0.0}).status, 0);
  Vec p = pr.start;
  EXPECT_EQ(condirmin_restr(p.data(), 3, 1.0e-8, &wrong.iter, &wrong.fret, nullptr, &Solve::call,
                            &wrong, nullptr),
            0);
  EXPECT_TRUE(wrong.calls.empty());
  restriction_kill(r);
}

}  // namespace
