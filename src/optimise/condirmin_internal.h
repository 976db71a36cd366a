// Pieces shared by the two direction-set minimisers (condirmin.cpp, condirmin_restr.cpp): the
// one-dimensional searches, the line minimisations with their per-thread storage, and the steps
// of an iteration. Internal; the tests reach it directly.
#ifndef VELMORA_OPTIMISE_CONDIRMIN_INTERNAL_H
#define VELMORA_OPTIMISE_CONDIRMIN_INTERNAL_H

#include <cstddef>

#include "foundation/alloc.h"
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
// line storage cannot be (re)allocated it reports "linmin: malloc failed" and leaves p, xi and
// *fret untouched.
void linmin(double *p, double *xi, int n, double *fret, const Objective &objective);

// The same along a line of free vectors of r: each trial point is mapped to the full vector of r
// before the objective sees it. p is neither mapped nor checked against the inequalities.
void linmin_restr(double *p, double *xi, int n, double *fret, RESTRICTION *r,
                  const Objective &objective);

// Arrays of one minimisation run, released together when the run ends.
class WorkArrays {
 public:
  WorkArrays() = default;
  WorkArrays(const WorkArrays &) = delete;
  WorkArrays &operator=(const WorkArrays &) = delete;
  ~WorkArrays() {
    for (int i = 0; i < used_; ++i)
      mem_free(blocks_[i]);
  }
  // count elements of T, or null when memory is not available.
  template <typename T>
  T *take(std::size_t count) {
    if (used_ == kCapacity) return nullptr;
    T *block = alloc_array<T>(count);
    if (block != nullptr) blocks_[used_++] = block;
    return block;
  }

 private:
  static constexpr int kCapacity = 8;
  void *blocks_[kCapacity] = {};
  int used_ = 0;
};

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
