// The direction-set method under linear restrictions.
//
// The search runs on the free variables of the restriction; every objective call sees the full
// vector that satisfies the equality rows. Inequalities are handled by active sets: when a line
// search ends beyond an inequality, the minimisation continues recursively from the crossing point
// in the smaller space where that inequality holds as an equality, and its result is mapped back.
// Each level has one free variable fewer; a level with one free variable ends instead of
// recursing. Unlike the unrestricted method, the stopping test follows the extrapolation step.
#include <cstddef>

#include "foundation/error.h"
#include "optimise/condirmin_internal.h"
#include "optimise/restriction_internal.h"
#include "velmora/condirmin.h"

namespace {

using namespace velmora;
using namespace velmora::condirmin_detail;

// One level of the minimisation: its arguments and working storage.
struct Run {
  double *p;
  int n;
  double ftol;
  int *iter;
  double *fret;
  RESTRICTION *r;
  Objective objective;
  double *before;  // p before the last line search
  double *full;    // a full vector of r's space
  double *sub;     // the start, then the result, of a recursive run
  int *index;      // r's free indices
};

enum class Outcome { kGoOn, kFinished };

int run_restricted(double *p, int n, double ftol, int *iter, double *fret, RESTRICTION *r,
                   const Objective &objective);

// The active-set step after a line search from run.before to run.p.
Outcome handle_activation(Run &run) {
  RESTRICTION *s = restriction_activate(run.r, run.before, run.p, run.sub);
  if (s == nullptr) return Outcome::kGoOn;
  if (s == restriction_stop_marker()) return Outcome::kFinished;
  if (run.n == 1) {
    // The new equality fixes the last free variable.
    restriction_apply(s, nullptr, run.full);
    restriction_free_indices(run.r, run.index);
    run.p[0] = run.full[run.index[0]];
    restriction_kill(s);
    return Outcome::kFinished;
  }
  run_restricted(run.sub, run.n - 1, run.ftol, run.iter, run.fret, s, run.objective);
  restriction_map_back(run.r, s, run.p, run.sub);
  restriction_kill(s);
  return Outcome::kGoOn;
}

// Line search along xit from run.p, remembering where it started.
void search_line(Run &run, double *xit) {
  copy_vector(run.p, run.n, run.before);
  linmin_restr(run.p, xit, run.n, run.fret, run.r, run.objective);
}

int run_restricted(double *p, int n, double ftol, int *iter, double *fret, RESTRICTION *r,
                   const Objective &objective) {
  const auto count = static_cast<std::size_t>(n);
  WorkArrays work;
  double *pt = work.take<double>(count);
  double *xit = pt != nullptr ? work.take<double>(count) : nullptr;
  double *ptt = xit != nullptr ? work.take<double>(count) : nullptr;
  double *directions = ptt != nullptr ? work.take<double>(count * count) : nullptr;
  double *before = directions != nullptr ? work.take<double>(count) : nullptr;
  if (before == nullptr) {
    VELMORA_REPORT("condirmin: malloc failed");
    return 0;
  }
  set_identity(directions, n);
  const auto nvars = static_cast<std::size_t>(restriction_nr_vars(r));
  double *full = work.take<double>(nvars);
  double *sub = full != nullptr ? work.take<double>(nvars) : nullptr;
  int *index = sub != nullptr ? work.take<int>(count) : nullptr;
  if (index == nullptr) return 0;
  Run run{p, n, ftol, iter, fret, r, objective, before, full, sub, index};

  restriction_apply(r, p, full);
  *fret = objective(full);
  copy_vector(p, n, pt);
  *iter = 1;
  for (;;) {
    report_iteration(*iter);
    const double fp = *fret;
    double del = 0.0;
    int ibig = 0;
    for (int i = 0; i < n; ++i) {
      get_direction(directions, n, i, xit);
      const double fprev = *fret;
      search_line(run, xit);
      report_direction(i, *fret);
      note_decrease(fprev, *fret, i, &del, &ibig);
      if (handle_activation(run) == Outcome::kFinished) return 1;
    }
    extrapolate(p, n, pt, ptt, xit);
    restriction_apply(r, ptt, full);
    const double fe = objective(full);
    if (replacement_wanted(fp, *fret, fe, del)) {
      search_line(run, xit);
      put_direction(directions, n, ibig, xit);
      if (handle_activation(run) == Outcome::kFinished) return 1;
    }
    if (stopping_rule_met(ftol, fp, *fret)) return 1;
    if (*iter == kMaxIterations) {
      VELMORA_REPORT("condirmin: maxiter");
      return 0;
    }
    ++*iter;
  }
}

}  // namespace

extern "C" int condirmin_restr(double *p, int n, double ftol, int *iter, double *fret,
                               RESTRICTION *r, condirmin_func f, void *user1, void *user2) {
  if (r == nullptr || n != r->nVars - r->nEq) return 0;
  // A point remembered from an earlier call would stop this run at its first visit.
  restriction_forget_activation(r);
  return run_restricted(p, n, ftol, iter, fret, r, Objective{f, user1, user2});
}
