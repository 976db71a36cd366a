// Dense matrices with cached LU factors and a linked inverse.
//
// P A = L U by Crout's method with partial pivoting and implicit scaling: each row is weighted by
// the reciprocal of its largest magnitude when the pivot is chosen, so a row scaled by a constant
// does not win the pivot by its size alone. L (unit diagonal, not stored) and U share the `lu`
// array; `pivots[j]` names the row exchanged with row j while column j was processed.
#include "velmora/mat.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/error.h"

namespace {

constexpr double kTinyPivot = 1e-20;  // replaces a vanishing pivot, so back substitution runs
constexpr int kFlagSound = 0;
constexpr int kFlagZeroRow = -1;
constexpr int kFlagTinyPivot = -2;

// The module's last allocation failure; per thread so concurrent reports do not mix.
thread_local velmora::LastError last_error;

// The module's one report site for failed allocations.
void report_failure(int failure_line) {
  velmora::report_no_resources(last_error, __FILE__, failure_line, __LINE__);
}

std::size_t square(int n) {
  return static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
}

double *row_of(double *a, int n, int i) {
  return a + static_cast<std::size_t>(i) * static_cast<std::size_t>(n);
}

void invalidate(MATRIX *m) {
  m->luValid = 0;
  m->inverseValid = 0;
}

void release_factors(MATRIX *m) {
  velmora::mem_free(m->lu);
  velmora::mem_free(m->scale);
  velmora::mem_free(m->pivots);
  m->lu = nullptr;
  m->scale = nullptr;
  m->pivots = nullptr;
}

// Allocates lu, scale and pivots together; on failure reports, releases all three and returns
// false, so a later call starts again from nothing.
bool allocate_factors(MATRIX *m) {
  const int n = m->rows;
  m->lu = velmora::alloc_array<double>(square(n));
  if (m->lu == nullptr) {
    report_failure(__LINE__ - 2);
    release_factors(m);
    return false;
  }
  if (m->scale == nullptr) {
    m->scale = velmora::alloc_array<double>(static_cast<std::size_t>(n));
    if (m->scale == nullptr) {
      report_failure(__LINE__ - 2);
      release_factors(m);
      return false;
    }
  }
  m->pivots = velmora::alloc_array<int>(static_cast<std::size_t>(n));
  if (m->pivots == nullptr) {
    report_failure(__LINE__ - 2);
    release_factors(m);
    return false;
  }
  return true;
}

// Row scales; false when some row is entirely zero.
bool compute_scales(const double *a, int n, double *scale) {
  bool all_rows_nonzero = true;
  for (int i = 0; i < n; ++i) {
    const double *row = a + static_cast<std::size_t>(i) * n;
    double big = -1.0;
    for (int j = 0; j < n; ++j)
      if (std::fabs(row[j]) > big) big = std::fabs(row[j]);
    if (big == 0.0) {
      all_rows_nonzero = false;
      continue;
    }
    scale[i] = 1.0 / big;
  }
  return all_rows_nonzero;
}

// Crout elimination of the copied elements in m->lu; returns the singularity flag. The updates
// are applied in right-looking order: every element receives the same products subtracted in the
// same ascending order as in Crout's column-by-column sums, so the factors are bit for bit
// Crout's, while the inner loop runs along contiguous rows.
int crout(MATRIX *m) {
  const int n = m->rows;
  double *a = m->lu;
  double *scale = m->scale;
  int flag = kFlagSound;
  for (int j = 0; j < n; ++j) {
    // Column j is complete from row j down. Strict comparison against -1: the first of equal
    // candidates wins, row j when all are 0.
    double big = -1.0;
    int p = j;
    for (int i = j; i < n; ++i) {
      const double weight = scale[i] * std::fabs(row_of(a, n, i)[j]);
      if (weight > big) {
        big = weight;
        p = i;
      }
    }
    double *rj = row_of(a, n, j);
    if (p != j) {
      double *rp = row_of(a, n, p);
      for (int k = 0; k < n; ++k) {
        const double t = rp[k];
        rp[k] = rj[k];
        rj[k] = t;
      }
      m->sign = -m->sign;
      scale[p] = scale[j];
    }
    m->pivots[j] = p;
    if (std::fabs(rj[j]) < kTinyPivot) {
      flag = kFlagTinyPivot;
      rj[j] = kTinyPivot;
    }
    for (int i = j + 1; i < n; ++i) {
      double *ri = row_of(a, n, i);
      ri[j] /= rj[j];
      const double l = ri[j];
      for (int c = j + 1; c < n; ++c)
        ri[c] -= l * rj[c];
    }
  }
  return flag;
}

// Forward substitution with the row exchanges (skipping the leading zeros of b, which stay
// zero), then back substitution. The factors must be valid and free of zero rows.
void substitute(const MATRIX *m, double *b) {
  const int n = m->rows;
  const double *a = m->lu;
  int first = -1;
  for (int i = 0; i < n; ++i) {
    const double *ri = a + static_cast<std::size_t>(i) * n;
    const int p = m->pivots[i];
    double s = b[p];
    b[p] = b[i];
    if (first >= 0) {
      for (int j = first; j < i; ++j)
        s -= ri[j] * b[j];
    } else if (s != 0.0) {  // NaN counts as nonzero
      first = i;
    }
    b[i] = s;
  }
  for (int i = n - 1; i >= 0; --i) {
    const double *ri = a + static_cast<std::size_t>(i) * n;
    double s = b[i];
    for (int j = i + 1; j < n; ++j)
      s -= ri[j] * b[j];
    b[i] = s / ri[i];
  }
}

// Makes sure the factors belong to the current elements. Returns -1 when the decomposition could
// not allocate, else 0 with *flag telling whether the factors may be used (0) or not. The verdict
// of the decomposition that made cached factors comes back with them on every use: a zero row
// must not be solved with an unfilled pivot order, and factors with a replaced pivot must not pass
// for sound ones the second time round.
int ensure_factors(MATRIX *m, int *flag) {
  return mat_ludcmp(m, flag);
}

}  // namespace

MATRIX *mat_new_data(const double *data, int rows, int cols) {
  MATRIX *m = velmora::calloc_array<MATRIX>(1);
  if (m == nullptr) {
    report_failure(__LINE__ - 2);
    return nullptr;
  }
  // A negative size (two negatives make a positive count) is refused like an impossible one.
  const int64_t count = static_cast<int64_t>(rows) * cols;
  constexpr int64_t kMaxElements = static_cast<int64_t>(SIZE_MAX / sizeof(double));
  if (rows >= 0 && cols >= 0 && count <= kMaxElements)
    m->elements = velmora::alloc_array<double>(static_cast<std::size_t>(count));
  if (m->elements == nullptr) {
    report_failure(__LINE__ - 2);
    velmora::mem_free(m);
    return nullptr;
  }
  m->rows = rows;
  m->cols = cols;
  m->sign = 1.0;
  if (data != nullptr && rows >= 1)
    std::memcpy(m->elements, data, static_cast<std::size_t>(count) * sizeof(double));
  return m;
}

MATRIX *mat_new(const double *data, int n) {
  return mat_new_data(data, n, n);
}

MATRIX *mat_kill(MATRIX *m) {
  if (m == nullptr) return nullptr;
  MATRIX *other = m->inverse;
  if (other != nullptr && other->inverse == m) {
    other->inverse = nullptr;
    other->inverseValid = 0;
  }
  release_factors(m);
  velmora::mem_free(m->work);
  velmora::mem_free(m->elements);
  velmora::mem_free(m);
  return nullptr;
}

double mat_get_element(const MATRIX *m, int row, int col, int *status) {
  if (row < 0 || row >= m->rows || col < 0 || col >= m->cols) {
    *status = -1;
    return 0.0;
  }
  *status = 0;
  return m->elements[static_cast<std::size_t>(row) * m->cols + col];
}

void mat_set_element(MATRIX *m, int row, int col, double value) {
  m->elements[static_cast<std::size_t>(row) * m->cols + col] = value;
  invalidate(m);
}

int mat_set_row(MATRIX *m, int row, const double *values) {
  if (m->cols >= 1)
    std::memcpy(m->elements + static_cast<std::size_t>(row) * m->cols, values,
                static_cast<std::size_t>(m->cols) * sizeof(double));
  invalidate(m);
  return 0;
}

int mat_set_col(MATRIX *m, int col, const double *values) {
  for (int r = 0; r < m->rows; ++r)
    m->elements[static_cast<std::size_t>(r) * m->cols + col] = values[r];
  invalidate(m);
  return 0;
}

void mat_set_data(MATRIX *m, const double *data) {
  if (m->rows >= 1 && m->cols >= 1)
    std::memcpy(m->elements, data, static_cast<std::size_t>(m->rows) * m->cols * sizeof(double));
  m->sign = 1.0;
  invalidate(m);
}

int mat_mulvec(const MATRIX *m, const double *x, double *y) {
  for (int r = 0; r < m->rows; ++r) {
    const double *row = m->elements + static_cast<std::size_t>(r) * m->cols;
    double sum = 0.0;
    for (int c = 0; c < m->cols; ++c)
      sum += row[c] * x[c];
    y[r] = sum;
  }
  return 0;
}

int mat_ludcmp(MATRIX *m, int *flag) {
  if (m->luValid) {
    *flag = m->luFlag;
    return 0;
  }
  *flag = kFlagSound;
  if (m->rows != m->cols) {
    // Not square: there is nothing to factor; treated like a zero row.
    *flag = kFlagZeroRow;
  } else {
    if (m->lu == nullptr && !allocate_factors(m)) return -1;
    const int n = m->rows;
    m->sign = 1.0;
    if (n > 0) std::memcpy(m->lu, m->elements, square(n) * sizeof(double));
    if (!compute_scales(m->lu, n, m->scale))
      *flag = kFlagZeroRow;
    else
      *flag = crout(m);
  }
  m->luFlag = *flag;
  m->luValid = 1;
  return 0;
}

int mat_solve_set(MATRIX *m, double *b, int *flag) {
  if (ensure_factors(m, flag) != 0) return -1;
  if (*flag != kFlagSound) return 0;
  substitute(m, b);
  return 0;
}

MATRIX *mat_invert(MATRIX *m, int *flag) {
  *flag = kFlagSound;
  // A released inverse clears the link: then a fresh one is computed below.
  if (m->inverseValid && m->inverse != nullptr) return m->inverse;
  if (ensure_factors(m, flag) != 0 || *flag != kFlagSound) return nullptr;

  const int n = m->rows;
  const bool work_made = m->work == nullptr;
  if (work_made) {
    m->work = velmora::alloc_array<double>(static_cast<std::size_t>(n));
    if (m->work == nullptr) {
      report_failure(__LINE__ - 2);
      return nullptr;
    }
  }
  MATRIX *inv = m->inverse;
  if (inv == nullptr) {
    inv = mat_new_data(nullptr, n, n);  // reports its own failure
    if (inv == nullptr) {
      if (work_made) {
        velmora::mem_free(m->work);
        m->work = nullptr;
      }
      return nullptr;
    }
  }
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i)
      m->work[i] = i == j ? 1.0 : 0.0;
    substitute(m, m->work);
    for (int i = 0; i < n; ++i)
      inv->elements[static_cast<std::size_t>(i) * n + j] = m->work[i];
  }
  invalidate(inv);  // its elements were just written
  inv->inverse = m;
  m->inverse = inv;
  m->inverseValid = 1;
  return inv;
}

int mat_determinant(MATRIX *m, double *det) {
  int flag;
  if (ensure_factors(m, &flag) != 0) return -1;
  if (flag != kFlagSound) {
    *det = 0.0;
    return 0;
  }
  double d = m->sign;
  for (int i = 0; i < m->rows; ++i)
    d *= m->lu[static_cast<std::size_t>(i) * m->rows + i];
  *det = d;
  return 0;
}
