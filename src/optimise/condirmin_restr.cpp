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
#include "foundation/scratch.h"
#include "optimise/condirmin_internal.h"
#include "optimise/restriction_internal.h"
#include "velmora/condirmin.h"

namespace {

using namespace velmora;
using namespace velmora::condirmin_detail;

int run_restricted(double *p, int n, double ftol, int *iter, double *fret, RESTRICTION *r,
                   const Objective &objective);

// One level of the minimisation: line searches along free vectors of r, each followed by the
// active-set step; the stopping test after the extrapolation.
class Restricted final : public PowellMethod {
 public:
  Restricted(double *p, int n, double ftol, int *iter, double *fret, RESTRICTION *r,
             const Objective &objective, double *before, double *full, double *sub, int *index)
      : PowellMethod(true),
        p_(p),
        n_(n),
        ftol_(ftol),
        iter_(iter),
        fret_(fret),
        r_(r),
        objective_(objective),
        before_(before),
        full_(full),
        sub_(sub),
        index_(index) {}

  double value_at(double *x) override {
    restriction_apply(r_, x, full_);
    return objective_(full_);
  }

  // Line search along xi from p, remembering where it started.
  bool search(double *p, double *xi, int n, double *fret) override {
    copy_vector(p, n, before_);
    return linmin_restr(p, xi, n, fret, r_, objective_);
  }

  // The active-set step after a line search from before_ to p_. After a recursive run the
  // iteration goes on from the mapped-back point.
  bool finished_after_search() override {
    RESTRICTION *s = restriction_activate(r_, before_, p_, sub_);
    if (s == nullptr) return false;
    if (s == restriction_stop_marker()) return true;
    if (n_ == 1) {
      // The new equality fixes the last free variable.
      restriction_apply(s, nullptr, full_);
      restriction_free_indices(r_, index_);
      p_[0] = full_[index_[0]];
      restriction_kill(s);
      return true;
    }
    run_restricted(sub_, n_ - 1, ftol_, iter_, fret_, s, objective_);
    restriction_map_back(r_, s, p_, sub_);
    restriction_kill(s);
    return false;
  }

 private:
  double *p_;
  int n_;
  double ftol_;
  int *iter_;
  double *fret_;
  RESTRICTION *r_;
  Objective objective_;
  double *before_;  // p before the last line search
  double *full_;    // a full vector of r's space
  double *sub_;     // the start, then the result, of a recursive run
  int *index_;      // r's free indices
};

int run_restricted(double *p, int n, double ftol, int *iter, double *fret, RESTRICTION *r,
                   const Objective &objective) {
  const auto count = static_cast<std::size_t>(n);
  Scratch work;
  const PowellVectors v{work.take<double>(count), work.take<double>(count),
                        work.take<double>(count), work.take<double>(count * count)};
  double *before = work.take<double>(count);
  if (!work.ok()) {
    VELMORA_REPORT("condirmin: malloc failed");
    return 0;
  }
  const auto nvars = static_cast<std::size_t>(restriction_nr_vars(r));
  double *full = work.take<double>(nvars);
  double *sub = work.take<double>(nvars);
  int *index = work.take<int>(count);
  if (!work.ok()) return 0;
  Restricted method(p, n, ftol, iter, fret, r, objective, before, full, sub, index);
  return powell_iterations(method, p, n, ftol, iter, fret, v);
}

}  // namespace

extern "C" int condirmin_restr(double *p, int n, double ftol, int *iter, double *fret,
                               RESTRICTION *r, condirmin_func f, void *user1, void *user2) {
  if (r == nullptr || n != r->nVars - r->nEq) return 0;
  // A point remembered from an earlier call would stop this run at its first visit.
  restriction_forget_activation(r);
  return run_restricted(p, n, ftol, iter, fret, r, Objective{f, user1, user2});
}
