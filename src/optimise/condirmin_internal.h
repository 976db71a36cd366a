// Pieces shared by the two direction-set minimisers (condirmin.cpp, condirmin_restr.cpp): the
// one-dimensional searches, the line minimisations with their per-thread storage, and the steps
// of an iteration. Internal; the tests reach it directly.
#ifndef VELMORA_OPTIMISE_CONDIRMIN_INTERNAL_H
#define VELMORA_OPTIMISE_CONDIRMIN_INTERNAL_H

#include <cstddef>

#include "velmora/condirmin.h"

namespace velmora::condirmin_detail {

inline constexpr int kMaxIterations = 200;
inline constexpr double kLineTolerance = 2.0e-4;  // relative precision of every line minimum

// The caller's objective with its two pass-through values.
struct Objective {
  condirmin_func f;
  void *user1;
  void *user2;
  double operator()(double *x) const { return f(user1, user2, x); }
};

// A function of one variable, evaluated as eval(context, t).
struct LineFunction {
  double (*eval)(void *context, double t);
  void *context;
  double operator()(double t) const { return eval(context, t); }
};

// From the abscissas *ax and *bx, walks downhill (golden-ratio steps with parabolic
// extrapolation, growth limited to 100 times the last step) until *bx lies between *ax and *cx
// with g(*bx) not above g(*ax) and g(*cx); stores the three values in *fa, *fb, *fc.
void linmin_bracket(double *ax, double *bx, double *cx, double *fa, double *fb, double *fc,
                    const LineFunction &g);

// Brent's method: isolates the minimum of g inside the bracket (ax, bx, cx) to relative precision
// tol, stores its abscissa in *xmin and returns the value there. After 200 steps it reports
// "brent: too many iter" and returns the best point found.
double brent(double ax, double bx, double cx, const LineFunction &g, double tol, double *xmin);

// Minimises the objective along the line p + t * xi, starting with t = 0 and t = 1. On return xi
// is scaled by the t of the minimum, p is moved to p + xi and *fret holds the value there. When the
// line storage cannot be (re)allocated it reports "linmin: malloc failed", leaves p, xi and
// *fret untouched and returns false; true when the search was made.
bool linmin(double *p, double *xi, int n, double *fret, const Objective &objective);

// The same along a line of free vectors of r: each trial point is mapped to the full vector of r
// before the objective sees it. p is neither mapped nor checked against the inequalities.
bool linmin_restr(double *p, double *xi, int n, double *fret, RESTRICTION *r,
                  const Objective &objective);

// What distinguishes the two minimisers inside Powell's iteration.
class PowellMethod {
 public:
  // stops_after_extrapolation: the stopping test follows the extrapolation step (restricted
  // method) instead of preceding it.
  explicit PowellMethod(bool stops_after_extrapolation)
      : stops_after_extrapolation_(stops_after_extrapolation) {}
  PowellMethod(const PowellMethod &) = delete;
  PowellMethod &operator=(const PowellMethod &) = delete;
  virtual ~PowellMethod() = default;
  // The objective at a point of the search space.
  virtual double value_at(double *x) = 0;
  // A line search from p along xi (p, xi and *fret as linmin leaves them); false when it was
  // skipped for want of memory.
  virtual bool search(double *p, double *xi, int n, double *fret) = 0;
  // Called after every line search; true ends the run with result 1.
  virtual bool finished_after_search() { return false; }
  bool stops_after_extrapolation() const { return stops_after_extrapolation_; }

 private:
  bool stops_after_extrapolation_;
};

// The working vectors of one run, n doubles each except the n x n direction set.
struct PowellVectors {
  double *pt;
  double *xit;
  double *ptt;
  double *directions;
};

// Powell's iteration, shared by both minimisers: starts from the identity direction set at p,
// searches along each direction, extrapolates, replaces the direction of largest decrease when
// that pays, and stops by the stopping rules (result 1) or after 200 iterations (result 0, with
// "condirmin: maxiter"). A run that ends without any line search having been made, because every
// one of them was skipped for want of memory, returns 0 as well: it never searched.
int powell_iterations(PowellMethod &method, double *p, int n, double ftol, int *iter, double *fret,
                      const PowellVectors &v);

// Steps of an iteration. The direction set is n x n, row-major, direction i being column i.
void set_identity(double *directions, int n);
void get_direction(const double *directions, int n, int i, double *out);
void put_direction(double *directions, int n, int i, const double *in);
void copy_vector(const double *from, int n, double *to);
// Progress lines "condirmin: iter= %d\n" and "  dir %d -> meddE = %lf\n".
void report_iteration(int iter);
void report_direction(int i, double fret);
// Keeps the first direction of strictly largest decrease.
void note_decrease(double fprev, double fret, int i, double *del, int *ibig);
// Relative test, then the absolute test for values near zero.
bool stopping_rule_met(double ftol, double fp, double fret);
// ptt = 2 p - pt, xit = p - pt, pt = p.
void extrapolate(const double *p, int n, double *pt, double *ptt, double *xit);
// Whether the net displacement should be searched along and replace direction ibig.
bool replacement_wanted(double fp, double fret, double fe, double del);

namespace test_hooks {
// Dimension of the calling thread's outermost line storage (0 when none is held).
int line_cache_dimension();
}  // namespace test_hooks

}  // namespace velmora::condirmin_detail

#endif
