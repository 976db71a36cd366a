// Powell's direction-set minimiser and its line searches.
//
// Each line minimisation brackets a minimum from t = 0 and t = 1 (golden-ratio steps with
// parabolic extrapolation) and refines it with Brent's method (parabolic interpolation safeguarded
// by golden-section steps), after Press et al., "Numerical Recipes", chapters 10.1, 10.2 and 10.5.
//
// The line storage (start point, direction, trial point and, for the restricted minimiser, the
// mapped trial point) is kept per thread between minimisations and reallocated only when a line
// search of another size is asked for. An objective that starts a minimisation of its own gets
// a storage slot of the next nesting level, so the outer line search is never disturbed.
#include "velmora/condirmin.h"

#include <cmath>

#include "foundation/error.h"
#include "foundation/scratch.h"
#include "optimise/condirmin_internal.h"
#include "optimise/restriction_internal.h"

namespace velmora::condirmin_detail {

namespace {

constexpr double kGoldenRatio = 1.618034;  // growth of successive bracketing steps
constexpr double kGrowthLimit = 100.0;     // farthest parabolic extrapolation, in last steps
constexpr double kTinyDenominator = 1.0e-20;
constexpr double kGoldenSection = 0.381966;  // 2 - golden ratio
constexpr double kAbsoluteFloor = 1.0e-10;   // tolerance near t = 0
constexpr int kBrentSteps = 200;
constexpr int kMaxNestedSearches = 8;  // line searches of objectives that minimise in turn

// The arrays one line search works in: the line (start, direction, trial point, n doubles each)
// and, for the restricted minimiser, the mapped trial point, each group held in its own scratch.
struct LineCache {
  int dim = 0;
  double *start = nullptr;
  double *direction = nullptr;
  double *trial = nullptr;
  double *restricted = nullptr;  // full vector of the restricted trial point
  int restricted_size = 0;
  Scratch line;
  Scratch mapped;

  void release_line() {
    line.release();
    start = direction = trial = nullptr;
    dim = 0;
  }
  void release_all() {
    release_line();
    mapped.release();
    restricted = nullptr;
    restricted_size = 0;
  }
  // Allocates the three line arrays of n doubles; false (and nothing held) when one is missing.
  bool allocate_line(int n) {
    const auto count = static_cast<std::size_t>(n);
    start = line.take<double>(count);
    direction = line.take<double>(count);
    trial = line.take<double>(count);
    if (!line.ok()) {
      release_line();
      return false;
    }
    dim = n;
    return true;
  }
  // Allocates the mapped trial point of full_size doubles; false (and nothing held) when missing.
  bool allocate_mapped(int full_size) {
    restricted = mapped.take<double>(static_cast<std::size_t>(full_size));
    if (restricted == nullptr) {
      mapped.release();
      return false;
    }
    restricted_size = full_size;
    return true;
  }
};

// One line cache per nesting level of line searches on this thread.
class LineCacheStack {
 public:
  LineCacheStack() = default;
  LineCacheStack(const LineCacheStack &) = delete;
  LineCacheStack &operator=(const LineCacheStack &) = delete;
  ~LineCacheStack() = default;

  // The cache of the next level, sized for a line of n doubles; null when it cannot be had.
  LineCache *enter_plain(int n) {
    if (depth_ == kMaxNestedSearches) return nullptr;
    LineCache &c = slots_[depth_];
    if (c.dim != n) {
      c.release_line();
      if (!c.allocate_line(n)) return nullptr;
    }
    ++depth_;
    return &c;
  }

  // The same with a mapped trial point of at least full_size doubles.
  LineCache *enter_restricted(int n, int full_size) {
    if (depth_ == kMaxNestedSearches) return nullptr;
    LineCache &c = slots_[depth_];
    if (c.dim != n || c.restricted == nullptr || c.restricted_size < full_size) {
      c.release_all();
      if (!c.allocate_line(n) || !c.allocate_mapped(full_size)) {
        c.release_all();
        return nullptr;
      }
    }
    ++depth_;
    return &c;
  }

  void leave() { --depth_; }
  int outer_dimension() const { return slots_[0].dim; }

 private:
  LineCache slots_[kMaxNestedSearches];
  int depth_ = 0;
};

thread_local LineCacheStack line_caches;

// Holds a level of the line caches for the duration of one line search.
class ActiveLine {
 public:
  explicit ActiveLine(LineCache *cache) : cache_(cache) {}
  ActiveLine(const ActiveLine &) = delete;
  ActiveLine &operator=(const ActiveLine &) = delete;
  ~ActiveLine() {
    if (cache_ != nullptr) line_caches.leave();
  }
  LineCache *cache() const { return cache_; }

 private:
  LineCache *cache_;
};

// What the one-dimensional function of a line search needs.
struct LineEval {
  const LineCache *cache;
  int n;
  Objective objective;
  RESTRICTION *restriction;
};

void fill_trial(const LineEval &e, double t) {
  const LineCache &c = *e.cache;
  for (int j = 0; j < e.n; ++j)
    c.trial[j] = c.start[j] + t * c.direction[j];
}

double linmin_eval(void *context, double t) {
  const auto &e = *static_cast<const LineEval *>(context);
  fill_trial(e, t);
  return e.objective(e.cache->trial);
}

double linmin_eval_restr(void *context, double t) {
  const auto &e = *static_cast<const LineEval *>(context);
  fill_trial(e, t);
  restriction_apply(e.restriction, e.cache->trial, e.cache->restricted);
  return e.objective(e.cache->restricted);
}

// Bracket from t = 0 and t = 1, refine, and move p to the minimum along xi.
void search_line(double *p, double *xi, int n, double *fret, LineEval &e,
                 double (*eval)(void *, double)) {
  copy_vector(p, n, e.cache->start);
  copy_vector(xi, n, e.cache->direction);
  const LineFunction g{eval, &e};
  double ax = 0.0, xx = 1.0, bx = 0.0, fa = 0.0, fx = 0.0, fb = 0.0;
  linmin_bracket(&ax, &xx, &bx, &fa, &fx, &fb, g);
  double xmin = 0.0;
  *fret = brent(ax, xx, bx, g, kLineTolerance, &xmin);
  for (int j = 0; j < n; ++j) {
    xi[j] *= xmin;
    p[j] += xi[j];
  }
}

void swap_values(double *a, double *b) {
  const double tmp = *a;
  *a = *b;
  *b = tmp;
}

// |magnitude| carrying the sign of a positive (strictly) or non-positive value.
double signed_as(double magnitude, double value) {
  return value > 0.0 ? std::fabs(magnitude) : -std::fabs(magnitude);
}

}  // namespace

void linmin_bracket(double *ax, double *bx, double *cx, double *fa, double *fb, double *fc,
                    const LineFunction &g) {
  *fa = g(*ax);
  *fb = g(*bx);
  if (*fb > *fa) {
    swap_values(ax, bx);
    swap_values(fa, fb);
  }
  *cx = *bx + kGoldenRatio * (*bx - *ax);
  *fc = g(*cx);
  while (*fb > *fc) {
    const double r = (*bx - *ax) * (*fb - *fc);
    const double q = (*bx - *cx) * (*fb - *fa);
    const double s = signed_as(std::fmax(std::fabs(q - r), kTinyDenominator), q - r);
    double u = *bx - ((*bx - *cx) * q - (*bx - *ax) * r) / (2.0 * s);
    const double ulim = *bx + kGrowthLimit * (*cx - *bx);
    double fu = 0.0;
    if ((*bx - u) * (u - *cx) > 0.0) {  // parabola vertex between bx and cx
      fu = g(u);
      if (fu < *fc) {
        *ax = *bx;
        *bx = u;
        *fa = *fb;
        *fb = fu;
        return;
      }
      if (fu > *fb) {
        *cx = u;
        *fc = fu;
        return;
      }
      u = *cx + kGoldenRatio * (*cx - *bx);
      fu = g(u);
    } else if ((*cx - u) * (u - ulim) > 0.0) {  // between cx and the growth limit
      fu = g(u);
      if (fu < *fc) {
        *bx = *cx;
        *cx = u;
        u = *cx + kGoldenRatio * (*cx - *bx);
        *fb = *fc;
        *fc = fu;
        fu = g(u);
      }
    } else if ((u - ulim) * (ulim - *cx) >= 0.0) {  // beyond the limit: clip to it
      u = ulim;
      fu = g(u);
    } else {
      u = *cx + kGoldenRatio * (*cx - *bx);
      fu = g(u);
    }
    *ax = *bx;
    *bx = *cx;
    *cx = u;
    *fa = *fb;
    *fb = *fc;
    *fc = fu;
  }
}

double brent(double ax, double bx, double cx, const LineFunction &g, double tol, double *xmin) {
  double a = std::fmin(ax, cx);
  double b = std::fmax(ax, cx);
  double x = bx, w = bx, v = bx;
  double fx = g(bx);
  double fw = fx, fv = fx;
  double d = 0.0;
  double e = 0.0;  // the step taken two steps before
  for (int step = 0; step < kBrentSteps; ++step) {
    const double xm = 0.5 * (a + b);
    const double tol1 = tol * std::fabs(x) + kAbsoluteFloor;
    const double tol2 = 2.0 * tol1;
    if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) {
      *xmin = x;
      return fx;
    }
    bool golden = true;
    if (std::fabs(e) > tol1) {  // try a parabola through x, w, v
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::fabs(q);
      const double etemp = e;
      e = d;
      if (!(std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) || p >= q * (b - x))) {
        golden = false;
        d = p / q;
        const double u = x + d;
        if (u - a < tol2 || b - u < tol2) d = signed_as(tol1, xm - x);
      }
    }
    if (golden) {
      e = x >= xm ? a - x : b - x;
      d = kGoldenSection * e;
    }
    const double u = std::fabs(d) >= tol1 ? x + d : x + signed_as(tol1, d);
    const double fu = g(u);
    if (fu <= fx) {
      if (u >= x) {
        a = x;
      } else {
        b = x;
      }
      v = w;
      fv = fw;
      w = x;
      fw = fx;
      x = u;
      fx = fu;
    } else {
      if (u < x) {
        a = u;
      } else {
        b = u;
      }
      if (fu <= fw || w == x) {
        v = w;
        fv = fw;
        w = u;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  VELMORA_REPORT("brent: too many iter");
  *xmin = x;
  return fx;
}

bool linmin(double *p, double *xi, int n, double *fret, const Objective &objective) {
  const ActiveLine line(line_caches.enter_plain(n));
  if (line.cache() == nullptr) {
    VELMORA_REPORT("linmin: malloc failed");
    return false;
  }
  LineEval e{line.cache(), n, objective, nullptr};
  search_line(p, xi, n, fret, e, &linmin_eval);
  return true;
}

bool linmin_restr(double *p, double *xi, int n, double *fret, RESTRICTION *r,
                  const Objective &objective) {
  const ActiveLine line(line_caches.enter_restricted(n, restriction_nr_vars(r)));
  if (line.cache() == nullptr) {
    VELMORA_REPORT("linmin: malloc failed");
    return false;
  }
  LineEval e{line.cache(), n, objective, r};
  search_line(p, xi, n, fret, e, &linmin_eval_restr);
  return true;
}

void set_identity(double *directions, int n) {
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      directions[r * n + c] = r == c ? 1.0 : 0.0;
}

void get_direction(const double *directions, int n, int i, double *out) {
  for (int j = 0; j < n; ++j)
    out[j] = directions[j * n + i];
}

void put_direction(double *directions, int n, int i, const double *in) {
  for (int j = 0; j < n; ++j)
    directions[j * n + i] = in[j];
}

void copy_vector(const double *from, int n, double *to) {
  for (int j = 0; j < n; ++j)
    to[j] = from[j];
}

void report_iteration(int iter) {
  report_progress("condirmin: iter= %d\n", iter);
}

void report_direction(int i, double fret) {
  report_progress("  dir %d -> meddE = %lf\n", i, fret);
}

void note_decrease(double fprev, double fret, int i, double *del, int *ibig) {
  const double decrease = std::fabs(fprev - fret);
  if (decrease > *del) {
    *del = decrease;
    *ibig = i;
  }
}

bool stopping_rule_met(double ftol, double fp, double fret) {
  const double change = std::fabs(fp - fret);
  if (ftol * (std::fabs(fp) + std::fabs(fret)) >= 2.0 * change) return true;
  return std::fabs(fp) <= 1.0 && change <= ftol;
}

void extrapolate(const double *p, int n, double *pt, double *ptt, double *xit) {
  for (int j = 0; j < n; ++j) {
    ptt[j] = 2.0 * p[j] - pt[j];
    xit[j] = p[j] - pt[j];
    pt[j] = p[j];
  }
}

bool replacement_wanted(double fp, double fret, double fe, double del) {
  if (!(fe < fp)) return false;
  const double gain = (fp - fe) * (fp - fe);
  const double t = 2.0 * (fp - 2.0 * fret + fe) * gain - del * gain;
  return t < 0.0;
}

int powell_iterations(PowellMethod &method, double *p, int n, double ftol, int *iter, double *fret,
                      const PowellVectors &v) {
  set_identity(v.directions, n);
  *fret = method.value_at(p);
  copy_vector(p, n, v.pt);
  *iter = 1;
  int searched = 0, skipped = 0;
  const auto search = [&](double *xi) { ++(method.search(p, xi, n, fret) ? searched : skipped); };
  const auto success = [&] { return searched == 0 && skipped > 0 ? 0 : 1; };
  // The stopping rules, then the iteration limit: 1 or 0 to end the run, -1 to go on.
  const auto verdict = [&](double fp) {
    if (stopping_rule_met(ftol, fp, *fret)) return success();
    if (*iter == kMaxIterations) {
      VELMORA_REPORT("condirmin: maxiter");
      return 0;
    }
    return -1;
  };
  for (;;) {
    report_iteration(*iter);
    const double fp = *fret;
    int ibig = 0;
    double del = 0.0;
    for (int i = 0; i < n; ++i) {
      get_direction(v.directions, n, i, v.xit);
      const double fprev = *fret;
      search(v.xit);
      report_direction(i, *fret);
      note_decrease(fprev, *fret, i, &del, &ibig);
      if (method.finished_after_search()) return success();
    }
    if (!method.stops_after_extrapolation()) {
      if (const int result = verdict(fp); result >= 0) return result;
    }
    extrapolate(p, n, v.pt, v.ptt, v.xit);
    const double fe = method.value_at(v.ptt);
    if (replacement_wanted(fp, *fret, fe, del)) {
      search(v.xit);
      put_direction(v.directions, n, ibig, v.xit);
      if (method.finished_after_search()) return success();
    }
    if (method.stops_after_extrapolation()) {
      if (const int result = verdict(fp); result >= 0) return result;
    }
    ++*iter;
  }
}

namespace test_hooks {
int line_cache_dimension() {
  return line_caches.outer_dimension();
}
}  // namespace test_hooks

}  // namespace velmora::condirmin_detail

using namespace velmora::condirmin_detail;

namespace {

// The unrestricted method: plain line searches, the stopping test before the extrapolation.
class Unrestricted final : public PowellMethod {
 public:
  explicit Unrestricted(const Objective &objective) : PowellMethod(false), objective_(objective) {}
  double value_at(double *x) override { return objective_(x); }
  bool search(double *p, double *xi, int n, double *fret) override {
    return linmin(p, xi, n, fret, objective_);
  }

 private:
  Objective objective_;
};

}  // namespace

extern "C" int condirmin(double *p, int n, double ftol, int *iter, double *fret, condirmin_func f,
                         void *user1, void *user2) {
  const auto count = static_cast<std::size_t>(n < 0 ? 0 : n);
  velmora::Scratch work;
  const PowellVectors v{work.take<double>(count), work.take<double>(count),
                        work.take<double>(count), work.take<double>(count * count)};
  if (n < 0 || !work.ok()) {  // arrays of a negative size cannot be had
    VELMORA_REPORT("condirmin: malloc failed");
    return 0;
  }
  Unrestricted method(Objective{f, user1, user2});
  return powell_iterations(method, p, n, ftol, iter, fret, v);
}
