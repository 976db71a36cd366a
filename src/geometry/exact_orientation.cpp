// Exact orientation signs: a filtered floating-point evaluation, exact expansions when the filter
// cannot decide.
#include <cmath>

#include "geometry/exact_orientation_internal.h"

namespace velmora::exact {

namespace {

// Forward error bound of the filtered determinant relative to its permanent (Shewchuk's
// o3derrboundA is 7.77e-16; rounded up for the differences taken here as well).
constexpr double kOrientErrorBound = 1.0e-15;
// A determinant of three 2-component differences has at most 192 components.
constexpr int kCapacity = 256;

// A number held exactly as the sum of its components, non-overlapping and in increasing order of
// magnitude, zero components dropped (an empty expansion is 0).
struct Expansion {
  int n = 0;
  double c[kCapacity];

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

// e += b, keeping e non-overlapping and ordered.
void grow(Expansion &e, double b) {
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

void add(Expansion &e, const Expansion &f) {
  for (int j = 0; j < f.n; ++j)
    grow(e, f.c[j]);
}

// e * f.
Expansion multiply(const Expansion &e, const Expansion &f) {
  Expansion out;
  for (int j = 0; j < f.n; ++j) {
    for (int i = 0; i < e.n; ++i) {
      double high, low;
      two_product(e.c[i], f.c[j], high, low);
      grow(out, low);
      grow(out, high);
    }
  }
  return out;
}

Expansion negate(Expansion e) {
  for (int i = 0; i < e.n; ++i)
    e.c[i] = -e.c[i];
  return e;
}

// a - b exactly.
Expansion difference(double a, double b) {
  Expansion e;
  grow(e, a);
  grow(e, -b);
  return e;
}

// u1 * v2 - u2 * v1 exactly.
Expansion cross_term(const Expansion &u1, const Expansion &v2, const Expansion &u2,
                     const Expansion &v1) {
  Expansion out = multiply(u1, v2);
  add(out, negate(multiply(u2, v1)));
  return out;
}

int exact_orientation(const double *a, const double *b, const double *c, const double *p) {
  Expansion ad[3], bd[3], cd[3];
  for (int k = 0; k < 3; ++k) {
    ad[k] = difference(a[k], p[k]);
    bd[k] = difference(b[k], p[k]);
    cd[k] = difference(c[k], p[k]);
  }
  Expansion det = multiply(ad[0], cross_term(bd[1], cd[2], bd[2], cd[1]));
  add(det, multiply(ad[1], cross_term(bd[2], cd[0], bd[0], cd[2])));
  add(det, multiply(ad[2], cross_term(bd[0], cd[1], bd[1], cd[0])));
  return det.sign();
}

}  // namespace

int orientation(const double *a, const double *b, const double *c, const double *p) {
  const double adx = a[0] - p[0], ady = a[1] - p[1], adz = a[2] - p[2];
  const double bdx = b[0] - p[0], bdy = b[1] - p[1], bdz = b[2] - p[2];
  const double cdx = c[0] - p[0], cdy = c[1] - p[1], cdz = c[2] - p[2];
  const double bycz = bdy * cdz, bzcy = bdz * cdy;
  const double bzcx = bdz * cdx, bxcz = bdx * cdz;
  const double bxcy = bdx * cdy, bycx = bdy * cdx;
  const double det = adx * (bycz - bzcy) + ady * (bzcx - bxcz) + adz * (bxcy - bycx);
  const double permanent = std::fabs(adx) * (std::fabs(bycz) + std::fabs(bzcy)) +
                           std::fabs(ady) * (std::fabs(bzcx) + std::fabs(bxcz)) +
                           std::fabs(adz) * (std::fabs(bxcy) + std::fabs(bycx));
  const double bound = kOrientErrorBound * permanent;
  if (det > bound) return 1;
  if (-det > bound) return -1;
  return exact_orientation(a, b, c, p);
}

bool collinear(const double *a, const double *b, const double *c) {
  Expansion u[3], w[3];
  for (int k = 0; k < 3; ++k) {
    u[k] = difference(b[k], a[k]);
    w[k] = difference(c[k], a[k]);
  }
  return cross_term(u[1], w[2], w[1], u[2]).sign() == 0 &&
         cross_term(w[0], u[2], u[0], w[2]).sign() == 0 &&
         cross_term(u[0], w[1], w[0], u[1]).sign() == 0;
}

}  // namespace velmora::exact
