// The matrix family against simple references: a solve leaves a small residual A x - b, the
// inverse gives A A^-1 = I, the determinant agrees with a long-double elimination, mat_mulvec with
// the plain sum, and cached factors give the same answers and the same singularity flag as fresh
// ones. Sizes come from the input, negative ones included; an armed allocation hook makes one
// allocation fail, after which everything must still be released (the leak checker watches).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "foundation/alloc.h"
#include "fuzz/fuzz_support.h"
#include "ostrel/ostrel.h"
#include "velmora/mat.h"

namespace {

void count_report(void *user, const char *, const char *, int) {
  ++*static_cast<int *>(user);
}

using velmora::fuzz::Input;

// Small integers over powers of two: exact inputs with a wide but sane dynamic range, so that row
// scaling matters and the references stay meaningful.
double entry(Input &in) {
  const int value = static_cast<int8_t>(in.byte());
  const int exponent = static_cast<int>(in.byte() % 16) - 8;
  return std::ldexp(value, exponent);
}

double norm_inf(const std::vector<double> &v) {
  double big = 0.0;
  for (double x : v)
    big = std::max(big, std::fabs(x));
  return big;
}

// Determinant by Gaussian elimination with complete pivoting in long double.
long double reference_determinant(std::vector<long double> a, int n) {
  long double det = 1.0L;
  for (int k = 0; k < n; ++k) {
    int pr = k, pc = k;
    for (int i = k; i < n; ++i)
      for (int j = k; j < n; ++j)
        if (std::fabs(a[i * n + j]) > std::fabs(a[pr * n + pc])) pr = i, pc = j;
    if (a[pr * n + pc] == 0.0L) return 0.0L;
    if (pr != k) {
      for (int j = 0; j < n; ++j)
        std::swap(a[pr * n + j], a[k * n + j]);
      det = -det;
    }
    if (pc != k) {
      for (int i = 0; i < n; ++i)
        std::swap(a[i * n + pc], a[i * n + k]);
      det = -det;
    }
    det *= a[k * n + k];
    for (int i = k + 1; i < n; ++i) {
      const long double l = a[i * n + k] / a[k * n + k];
      for (int j = k; j < n; ++j)
        a[i * n + j] -= l * a[k * n + j];
    }
  }
  return det;
}

void exercise(Input &in) {
  const int n = in.byte() % 9;
  std::vector<double> a(static_cast<std::size_t>(n * n)), b(static_cast<std::size_t>(n));
  for (double &x : a)
    x = entry(in);
  for (double &x : b)
    x = entry(in);
  MATRIX *m = mat_new(a.data(), n);
  if (m == nullptr) return;

  // mat_mulvec against the plain sum.
  std::vector<double> y(static_cast<std::size_t>(n));
  mat_mulvec(m, b.data(), y.data());
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int j = 0; j < n; ++j)
      s += a[i * n + j] * b[j];
    FUZZ_CHECK(y[i] == s);
  }

  // Solve twice: the second use of the cached factors must agree, flag included.
  std::vector<double> x1 = b, x2 = b;
  int flag1 = 99, flag2 = 99;
  const int r1 = mat_solve_set(m, x1.data(), &flag1);
  const int r2 = mat_solve_set(m, x2.data(), &flag2);
  if (r1 != 0 || r2 != 0) {
    mat_kill(m);
    return;  // an allocation failed (reported)
  }
  FUZZ_CHECK(flag1 == flag2 && (flag1 == 0 || flag1 == -1 || flag1 == -2));
  FUZZ_CHECK(flag1 != 0 ? x1 == b && x2 == b : x1 == x2);
  const double scale = norm_inf(a) * n;
  if (flag1 == 0) {
    // Backward stability of partial pivoting: the residual is small against |A| |x| + |b|.
    std::vector<double> r(static_cast<std::size_t>(n));
    mat_mulvec(m, x1.data(), r.data());
    for (int i = 0; i < n; ++i)
      r[i] -= b[i];
    if (std::isfinite(norm_inf(x1)))
      FUZZ_CHECK(norm_inf(r) <= 1e-9 * (scale * norm_inf(x1) + norm_inf(b)) + 1e-300);
  }

  double det = 5.0;
  FUZZ_CHECK(mat_determinant(m, &det) == 0);
  std::vector<long double> wide(a.begin(), a.end());
  const long double ref = reference_determinant(wide, n);
  long double hadamard = 1.0L;
  for (int i = 0; i < n; ++i) {
    long double row = 0.0L;
    for (int j = 0; j < n; ++j)
      row += static_cast<long double>(a[i * n + j]) * a[i * n + j];
    hadamard *= std::sqrt(row);
  }
  if (flag1 == 0)
    FUZZ_CHECK(std::fabs(det - ref) <= 1e-9L * hadamard);
  else
    FUZZ_CHECK(det == 0.0 && std::fabs(ref) <= 1e-9L * hadamard);

  int flag3 = 99, flag4 = 99;
  MATRIX *inv = mat_invert(m, &flag3);
  FUZZ_CHECK(flag3 == flag1 || (inv == nullptr && flag3 == 0));  // flag 0 and null: allocation
  FUZZ_CHECK((inv != nullptr) == (flag3 == 0) || inv == nullptr);
  if (inv != nullptr) {
    FUZZ_CHECK(mat_invert(m, &flag4) == inv && flag4 == 0);
    // A A^-1 = I within the stability bound.
    std::vector<double> col(static_cast<std::size_t>(n)), prod(static_cast<std::size_t>(n));
    std::vector<double> inverse(inv->elements, inv->elements + n * n);
    const double inv_norm = norm_inf(inverse);
    if (std::isfinite(inv_norm))
      for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i)
          col[i] = inverse[i * n + j];
        mat_mulvec(m, col.data(), prod.data());
        for (int i = 0; i < n; ++i)
          FUZZ_CHECK(std::fabs(prod[i] - (i == j ? 1.0 : 0.0)) <= 1e-9 * (scale * inv_norm + 1.0));
      }
  }

  // A changed element invalidates everything: the next results are those of a fresh matrix.
  if (n > 0) {
    const int row = in.byte() % n, col = in.byte() % n;
    a[row * n + col] = entry(in);
    mat_set_element(m, row, col, a[row * n + col]);
    MATRIX *fresh = mat_new(a.data(), n);
    if (fresh != nullptr) {
      std::vector<double> xs = b, xf = b;
      int fs = 99, ff = 99;
      if (mat_solve_set(m, xs.data(), &fs) == 0 && mat_solve_set(fresh, xf.data(), &ff) == 0) {
        FUZZ_CHECK(fs == ff);
        for (int i = 0; i < n; ++i)
          FUZZ_CHECK(xs[i] == xf[i] || (std::isnan(xs[i]) && std::isnan(xf[i])));
      }
      mat_kill(fresh);
    }
  }
  mat_kill(m);
  mat_kill(inv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  int reports = 0;
  ostrel_set_error_handler(count_report, &reports);
  Input in(data, size);
  // Shapes, negative ones included: a matrix exists exactly for non-negative sizes.
  const int rows = static_cast<int8_t>(in.byte()) / 16, cols = static_cast<int8_t>(in.byte()) / 16;
  MATRIX *shaped = mat_new_data(nullptr, rows, cols);
  FUZZ_CHECK((shaped != nullptr) == (rows >= 0 && cols >= 0));
  FUZZ_CHECK(reports == (shaped == nullptr ? 1 : 0));
  if (shaped != nullptr) {
    std::vector<double> row(static_cast<std::size_t>(cols), 1.0);
    if (rows > 0) mat_set_row(shaped, rows - 1, cols > 0 ? row.data() : nullptr);
    int flag = 99;
    if (rows != cols) FUZZ_CHECK(mat_ludcmp(shaped, &flag) == 0 && flag == -1);
    mat_kill(shaped);
  }
  // The arithmetic, first with every allocation granted, then with one of them failing.
  const uint8_t failure = in.byte();
  const std::size_t rest = size > 3 ? size - 3 : 0;
  Input first(data + (size - rest), rest);
  exercise(first);
  velmora::test_hooks::fail_allocations_after(failure % 8);
  Input second(data + (size - rest), rest);
  exercise(second);
  velmora::test_hooks::fail_allocations_after(-1);
  ostrel_set_error_handler(nullptr, nullptr);
  return 0;
}
