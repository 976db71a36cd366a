// Exact orientation signs: a filtered floating-point evaluation, exact expansions when the filter
// cannot decide.
#include <cmath>

#include "geometry/exact_orientation_internal.h"

namespace velmora::exact {

namespace {

// Forward error bound of the filtered determinant relative to its permanent (Shewchuk's
// o3derrboundA is 7.77e-16; rounded up for the differences taken here as well).
constexpr double kOrientErrorBound = 1.0e-15;
// determinant() returns the floating-point value when its error bound is below this, absolutely or
// relative to the value.
constexpr double kAccurateEnough = 1.0e-6;

// A number held exactly as the sum of at most N components, non-overlapping and in increasing
// order of magnitude, zero components dropped (an empty expansion is 0). The capacity of each
// intermediate is what its operands can produce, so nothing is copied beyond its size.
template <int N>
struct Expansion {
  int n = 0;
  double c[N];

  int sign() const { return n == 0 ? 0 : (c[n - 1] > 0 ? 1 : -1); }
};

// x + y = a + b exactly, x the rounded sum.
void two_sum(double a, double b, double &x, double &y) {
  x = a + b;
  const double bv = x - a;
  const double av = x - bv;
  y = (a - av) + (b - bv);
}

// x + y = a * b exactly, x the rounded product (the fused multiply-add gives the remainder).
void two_product(double a, double b, double &x, double &y) {
  x = a * b;
  y = std::fma(a, b, -x);
}

// e += b, keeping e non-overlapping and ordered (e has room for one more component).
template <int N>
void grow(Expansion<N> &e, double b) {
  double q = b;
  int k = 0;
  for (int i = 0; i < e.n; ++i) {
    double sum, low;
    two_sum(q, e.c[i], sum, low);
    q = sum;
    if (low != 0.0) e.c[k++] = low;
  }
  if (q != 0.0) e.c[k++] = q;
  e.n = k;
}

// out += sign * e * f.
template <int N, int A, int B>
void add_product(Expansion<N> &out, const Expansion<A> &e, const Expansion<B> &f, double sign) {
  static_assert(N >= 2 * A * B);
  for (int j = 0; j < f.n; ++j) {
    for (int i = 0; i < e.n; ++i) {
      double high, low;
      two_product(e.c[i], sign * f.c[j], high, low);
      grow(out, low);
      grow(out, high);
    }
  }
}

// a - b exactly.
Expansion<2> difference(double a, double b) {
  Expansion<2> e;
  grow(e, a);
  grow(e, -b);
  return e;
}

// u1 * v2 - u2 * v1 exactly.
Expansion<16> cross_term(const Expansion<2> &u1, const Expansion<2> &v2, const Expansion<2> &u2,
                         const Expansion<2> &v1) {
  Expansion<16> out;
  add_product(out, u1, v2, 1.0);
  add_product(out, u2, v1, -1.0);
  return out;
}

// The exact determinant as an expansion.
Expansion<192> exact_determinant(const double *a, const double *b, const double *c,
                                 const double *p) {
  Expansion<2> ad[3], bd[3], cd[3];
  for (int k = 0; k < 3; ++k) {
    ad[k] = difference(a[k], p[k]);
    bd[k] = difference(b[k], p[k]);
    cd[k] = difference(c[k], p[k]);
  }
  Expansion<192> det;
  add_product(det, ad[0], cross_term(bd[1], cd[2], bd[2], cd[1]), 1.0);
  add_product(det, ad[1], cross_term(bd[2], cd[0], bd[0], cd[2]), 1.0);
  add_product(det, ad[2], cross_term(bd[0], cd[1], bd[1], cd[0]), 1.0);
  return det;
}

// The floating-point determinant and its forward error bound.
double filtered_determinant(const double *a, const double *b, const double *c, const double *p,
                            double *bound) {
  const double adx = a[0] - p[0], ady = a[1] - p[1], adz = a[2] - p[2];
  const double bdx = b[0] - p[0], bdy = b[1] - p[1], bdz = b[2] - p[2];
  const double cdx = c[0] - p[0], cdy = c[1] - p[1], cdz = c[2] - p[2];
  const double bycz = bdy * cdz, bzcy = bdz * cdy;
  const double bzcx = bdz * cdx, bxcz = bdx * cdz;
  const double bxcy = bdx * cdy, bycx = bdy * cdx;
  const double permanent = std::fabs(adx) * (std::fabs(bycz) + std::fabs(bzcy)) +
                           std::fabs(ady) * (std::fabs(bzcx) + std::fabs(bxcz)) +
                           std::fabs(adz) * (std::fabs(bxcy) + std::fabs(bycx));
  *bound = kOrientErrorBound * permanent;
  return adx * (bycz - bzcy) + ady * (bzcx - bxcz) + adz * (bxcy - bycx);
}

}  // namespace

int orientation(const double *a, const double *b, const double *c, const double *p) {
  double bound;
  const double det = filtered_determinant(a, b, c, p, &bound);
  if (det > bound) return 1;
  if (-det > bound) return -1;
  return exact_determinant(a, b, c, p).sign();
}

double determinant(const double *a, const double *b, const double *c, const double *p) {
  double bound;
  const double det = filtered_determinant(a, b, c, p, &bound);
  if (bound <= kAccurateEnough || bound <= kAccurateEnough * std::fabs(det)) return det;
  const Expansion<192> e = exact_determinant(a, b, c, p);
  double sum = 0.0;
  for (int i = 0; i < e.n; ++i)
    sum += e.c[i];
  return sum;
}

bool collinear(const double *a, const double *b, const double *c) {
  // A component of the cross product that is clearly not zero in floating point settles it.
  const double u0 = b[0] - a[0], u1 = b[1] - a[1], u2 = b[2] - a[2];
  const double w0 = c[0] - a[0], w1 = c[1] - a[1], w2 = c[2] - a[2];
  const double terms[3][2] = {{u1 * w2, w1 * u2}, {w0 * u2, u0 * w2}, {u0 * w1, w0 * u1}};
  for (const auto &t : terms)
    if (std::fabs(t[0] - t[1]) > kOrientErrorBound * (std::fabs(t[0]) + std::fabs(t[1])))
      return false;
  Expansion<2> u[3], w[3];
  for (int k = 0; k < 3; ++k) {
    u[k] = difference(b[k], a[k]);
    w[k] = difference(c[k], a[k]);
  }
  return cross_term(u[1], w[2], w[1], u[2]).sign() == 0 &&
         cross_term(w[0], u[2], u[0], w[2]).sign() == 0 &&
         cross_term(u[0], w[1], w[0], u[1]).sign() == 0;
}

}  // namespace velmora::exact
