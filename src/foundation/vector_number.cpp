// Vector and integer helpers.
#include "foundation/vector_number.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "velmora/mat.h"

namespace {
constexpr double kNegligibleLength = 1e-20;
constexpr int kBinaryBase = 2;
constexpr int kIntBits = 32;
}  // namespace

double vect_square_distance(const double *a, const double *b, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double d = b[i] - a[i];
    sum += d * d;
  }
  return sum;
}

double vect_distance(const double *a, const double *b, int n) {
  return std::sqrt(vect_square_distance(a, b, n));
}

double vect_dot(const double *a, const double *b, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i)
    sum += a[i] * b[i];
  return sum;
}

int vect_normalize(double *v, int n) {
  const double length = std::sqrt(vect_dot(v, v, n));
  if (length > kNegligibleLength) {
    for (int i = 0; i < n; ++i)
      v[i] /= length;
  }
  return 0;
}

int vect_normal(const double *block, double *out) {
  const int n = static_cast<int>(block[0]);
  if (n < 1) return 0;
  MATRIX *m = mat_new(nullptr, n);
  if (m == nullptr) return -1;
  for (int r = 1; r < n; ++r)
    mat_set_row(m, r, block + 1 + static_cast<long>(r - 1) * n);
  int result = 0;
  for (int i = 0; i < n && result == 0; ++i) {
    for (int c = 0; c < n; ++c)
      mat_set_element(m, 0, c, c == i ? 1.0 : 0.0);
    result = mat_determinant(m, &out[i]);
  }
  mat_kill(m);
  return result;
}

int numb_binomial(int n, int k) {
  if (k > n) return -1;
  if (k < 1) return 1;
  // C(n, k) = C(n, n - k); build it as C(n-k+1, 1), C(n-k+2, 2), ..., each step exact.
  const int64_t kk = std::min<int64_t>(k, static_cast<int64_t>(n) - k);
  const int64_t base = static_cast<int64_t>(n) - kk;
  int64_t result = 1;
  for (int64_t i = 1; i <= kk; ++i) {
    result = result * (base + i) / i;
    if (result > INT_MAX) return -1;
  }
  return static_cast<int>(result);
}

int numb_next_combination(int k, int n, int start, int *out, int *mask) {
  if (start != 0) {
    for (int i = 0; i < n; ++i)
      mask[i] = i < k ? 1 : 0;
    for (int i = 0; i < k; ++i)
      out[i] = i;
    return 0;
  }
  // From the right: the first member with a free position after it moves one step right, and
  // the members passed so far follow it directly.
  int counted = 0;
  bool free_to_the_right = false;
  for (int pos = n - 1; pos >= 0; --pos) {
    if (mask[pos] == 0) {
      free_to_the_right = true;
      continue;
    }
    if (counted == k) return -1;
    ++counted;
    mask[pos] = 0;
    if (free_to_the_right) {
      for (int c = 1; c <= counted; ++c)
        mask[pos + c] = 1;
      int listed = 0;
      for (int i = 0; i < n; ++i)
        if (mask[i] != 0) out[listed++] = i;
      return 0;
    }
  }
  return -2;
}

int numb_decimal_to_base(int value, int *digits, int ndigits, int base) {
  if (base == kBinaryBase) {
    for (int i = 0; i < ndigits; ++i) {
      if (i < kIntBits) {
        // Arithmetic shift of the masked bit: bit 31 of a negative value gives -1.
        const int bit = static_cast<int>(1u << i);
        digits[i] = (value & bit) >> i;
      } else {
        digits[i] = value < 0 ? -1 : 0;
      }
    }
    return 0;
  }
  for (int i = 0; i < ndigits; ++i)
    digits[i] = 0;
  for (int i = 0; value != 0 && i < ndigits; ++i) {
    digits[i] = value % base;
    value /= base;
  }
  return 0;
}
