// Linear restrictions: inequality rows and equality rows on n variables, with the equalities
// eliminated through m dependent variables.
//
// The dependent set is the first m-subset of the variables, in lexicographic order, whose block of
// equality coefficients is safely invertible (|det| >= 1.0e-5). With x = (x_dep, x_free) the
// equalities E x = e read B x_dep + F x_free = e, so every free vector maps to the full vector
// x_dep = B^-1 (e - F x_free). B is factorised once, when its determinant is taken.
#include "velmora/restriction.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/scratch.h"
#include "foundation/vector_number.h"
#include "optimise/restriction_internal.h"

namespace {

constexpr double kMinDependentDeterminant = 1.0e-5;

std::size_t elements(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

// A copy of count doubles (src may be null when count is 0), or null when memory is missing.
double *copy_of(const double *src, std::size_t count) {
  auto *copy = velmora::alloc_array<double>(count);
  if (copy != nullptr && count > 0) std::memcpy(copy, src, count * sizeof(double));
  return copy;
}

// Determinant magnitude of the m x m block of eq columns `subset`; the block matrix is handed out
// in *block. False when memory is missing.
bool subset_block(const RESTRICTION *r, const int *subset, double *scratch, MATRIX **block,
                  double *det) {
  const int m = r->nEq;
  for (int row = 0; row < m; ++row)
    for (int c = 0; c < m; ++c)
      scratch[elements(row, m) + c] = r->eqRows[elements(row, r->nVars) + subset[c]];
  *block = mat_new_data(scratch, m, m);
  if (*block == nullptr) return false;
  if (mat_determinant(*block, det) != 0) {
    *block = mat_kill(*block);
    return false;
  }
  return true;
}

// Chooses dep and depBlock; false when memory is missing or no subset qualifies.
bool choose_dependents(RESTRICTION *r) {
  const int m = r->nEq;
  const int n = r->nVars;
  velmora::Scratch work;
  int *mask = work.take<int>(static_cast<std::size_t>(n));
  double *scratch = work.take<double>(elements(m, m));
  bool found = false;
  if (work.ok()) {
    int state = numb_next_combination(m, n, 1, r->dep, mask);
    while (state == 0) {
      MATRIX *block = nullptr;
      double det = 0.0;
      if (!subset_block(r, r->dep, scratch, &block, &det)) break;
      if (std::fabs(det) >= kMinDependentDeterminant) {
        r->depBlock = block;
        found = true;
        break;
      }
      mat_kill(block);
      state = numb_next_combination(m, n, 0, r->dep, mask);
    }
  }
  return found;
}

// Calls visit(i) for every free index i in ascending order.
template <typename Visit>
void for_each_free(const RESTRICTION *r, Visit visit) {
  int j = 0;
  for (int i = 0; i < r->nVars; ++i) {
    if (j < r->nEq && r->dep[j] == i) {
      ++j;
    } else {
      visit(i);
    }
  }
}

bool build_free_block(RESTRICTION *r) {
  const int m = r->nEq;
  const int nfree = r->nVars - m;
  r->freeBlock = mat_new_data(nullptr, m, nfree);
  if (r->freeBlock == nullptr) return false;
  int c = 0;
  for_each_free(r, [&](int i) {
    for (int row = 0; row < m; ++row)
      r->freeBlock->elements[elements(row, nfree) + c] = r->eqRows[elements(row, r->nVars) + i];
    ++c;
  });
  return true;
}

bool same_point(const double *a, const double *b, int n) {
  for (int i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The highest-numbered inequality row that x violates, or -1.
int last_violated_row(const RESTRICTION *r, const double *x) {
  int v = -1;
  for (int i = 0; i < r->nIneq; ++i)
    if (vect_dot(r->ineqRows + elements(i, r->nVars), x, r->nVars) > r->ineqBounds[i]) v = i;
  return v;
}

bool remember_activation(RESTRICTION *r, const double *after, int nfree) {
  if (r->lastActivation == nullptr)
    r->lastActivation = velmora::alloc_array<double>(static_cast<std::size_t>(nfree));
  if (r->lastActivation == nullptr) return false;
  for (int i = 0; i < nfree; ++i)
    r->lastActivation[i] = after[i];
  return true;
}

// S's rows: r's inequalities without row v, r's equalities followed by row v.
RESTRICTION *restriction_with_row_active(const RESTRICTION *r, int v) {
  const int n = r->nVars;
  const int k = r->nIneq;
  const int m = r->nEq;
  velmora::Scratch work;
  double *ineq = work.take<double>(elements(k - 1, n));
  double *bounds = work.take<double>(static_cast<std::size_t>(k - 1));
  double *eq = work.take<double>(elements(m + 1, n));
  double *values = work.take<double>(static_cast<std::size_t>(m + 1));
  RESTRICTION *s = nullptr;
  if (work.ok()) {
    int kept = 0;
    for (int i = 0; i < k; ++i) {
      if (i == v) continue;
      std::memcpy(ineq + elements(kept, n), r->ineqRows + elements(i, n),
                  static_cast<std::size_t>(n) * sizeof(double));
      bounds[kept++] = r->ineqBounds[i];
    }
    if (m > 0) {
      std::memcpy(eq, r->eqRows, elements(m, n) * sizeof(double));
      std::memcpy(values, r->eqValues, static_cast<std::size_t>(m) * sizeof(double));
    }
    std::memcpy(eq + elements(m, n), r->ineqRows + elements(v, n),
                static_cast<std::size_t>(n) * sizeof(double));
    values[m] = r->ineqBounds[v];
    s = restriction_new(ineq, bounds, k - 1, eq, values, m + 1, n);
  }
  return s;
}

}  // namespace

extern "C" RESTRICTION *restriction_new(const double *ineq_rows, const double *ineq_bounds, int k,
                                        const double *eq_rows, const double *eq_values, int m,
                                        int n) {
  if (n < 1 || k < 0 || m < 0 || m > n) return nullptr;
  auto *r = velmora::calloc_array<RESTRICTION>(1);
  if (r == nullptr) return nullptr;
  r->nVars = n;
  r->nEq = m;
  r->nIneq = k;
  r->ineqRows = copy_of(ineq_rows, elements(k, n));
  r->eqRows = copy_of(eq_rows, elements(m, n));
  r->eqValues = copy_of(eq_values, static_cast<std::size_t>(m));
  r->ineqBounds = copy_of(ineq_bounds, static_cast<std::size_t>(k));
  r->dep = velmora::alloc_array<int>(static_cast<std::size_t>(m));
  r->rhs = velmora::alloc_array<double>(static_cast<std::size_t>(m));
  const bool copied = r->ineqRows != nullptr && r->eqRows != nullptr && r->eqValues != nullptr &&
                      r->ineqBounds != nullptr && r->dep != nullptr && r->rhs != nullptr;
  if (!copied || (m > 0 && !(choose_dependents(r) && build_free_block(r)))) {
    restriction_kill(r);
    return nullptr;
  }
  return r;
}

extern "C" int restriction_kill(RESTRICTION *r) {
  if (r == nullptr) return 0;
  velmora::mem_free(r->ineqRows);
  velmora::mem_free(r->eqRows);
  velmora::mem_free(r->eqValues);
  velmora::mem_free(r->ineqBounds);
  mat_kill(r->depBlock);
  mat_kill(r->freeBlock);
  velmora::mem_free(r->dep);
  velmora::mem_free(r->lastActivation);
  velmora::mem_free(r->rhs);
  velmora::mem_free(r);
  return 0;
}

namespace velmora {

int restriction_nr_vars(const RESTRICTION *r) {
  return r == nullptr ? -1 : r->nVars;
}

int restriction_free_indices(const RESTRICTION *r, int *out) {
  if (r == nullptr) return -1;
  int c = 0;
  for_each_free(r, [&](int i) { out[c++] = i; });
  return 1;
}

int restriction_apply(RESTRICTION *r, const double *free_values, double *full) {
  if (r == nullptr) return -1;
  const int m = r->nEq;
  if (m == 0) {
    for (int i = 0; i < r->nVars; ++i)
      full[i] = free_values[i];
    return 0;
  }
  mat_mulvec(r->freeBlock, free_values, r->rhs);
  for (int row = 0; row < m; ++row)
    r->rhs[row] = r->eqValues[row] - r->rhs[row];
  int flag = 0;
  if (mat_solve_set(r->depBlock, r->rhs, &flag) != 0 || flag != 0) return -1;
  int j = 0, c = 0;
  for (int i = 0; i < r->nVars; ++i) {
    if (j < m && r->dep[j] == i) {
      full[i] = r->rhs[j++];
    } else {
      full[i] = free_values[c++];
    }
  }
  return 0;
}

int restriction_map_back(const RESTRICTION *r, RESTRICTION *s, double *out,
                         const double *sub_free) {
  if (r == nullptr || s == nullptr || out == nullptr) return -1;
  Scratch work;
  double *full = work.take<double>(static_cast<std::size_t>(s->nVars));
  if (full == nullptr || restriction_apply(s, sub_free, full) != 0) return -1;
  int c = 0;
  for_each_free(r, [&](int i) { out[c++] = full[i]; });
  return 1;
}

RESTRICTION *restriction_activate(RESTRICTION *r, const double *before, const double *after,
                                  double *out) {
  const int nfree = r->nVars - r->nEq;
  if (r->lastActivation != nullptr && same_point(r->lastActivation, after, nfree))
    return restriction_stop_marker();
  const int n = r->nVars;
  Scratch work;
  double *xb = work.take<double>(elements(3, n));
  if (xb == nullptr || r->nIneq < 1) return nullptr;
  double *xa = xb + n;
  double *xc = xa + n;
  if (restriction_apply(r, before, xb) != 0 || restriction_apply(r, after, xa) != 0) return nullptr;
  const int v = last_violated_row(r, xa);
  if (v < 0 || !remember_activation(r, after, nfree)) return nullptr;

  // Where the segment xb -> xa meets the boundary of row v.
  const double *row = r->ineqRows + elements(v, n);
  double denom = 0.0;
  for (int i = 0; i < n; ++i)
    denom += row[i] * (xa[i] - xb[i]);
  if (denom == 0.0) return nullptr;
  const double t = (r->ineqBounds[v] - vect_dot(row, xb, n)) / denom;
  for (int i = 0; i < n; ++i)
    xc[i] = xb[i] + (xa[i] - xb[i]) * t;

  RESTRICTION *s = restriction_with_row_active(r, v);
  if (s == nullptr) return nullptr;
  int c = 0;
  for_each_free(s, [&](int i) { out[c++] = xc[i]; });
  return s;
}

void restriction_forget_activation(RESTRICTION *r) {
  if (r == nullptr) return;
  mem_free(r->lastActivation);
  r->lastActivation = nullptr;
}

}  // namespace velmora
