// Vector and integer helpers shared by the restrictions, the projections and the cluster search.
// The three exported ones are declared in the public header; the rest stay inside the library.
// None of them checks its arguments: counts are non-negative, bases at least 2.
#ifndef VELMORA_FOUNDATION_VECTOR_NUMBER_H
#define VELMORA_FOUNDATION_VECTOR_NUMBER_H

#include "velmora/vector_number.h"

// Dot product of a and b (n values each), summed in ascending index order.
double vect_dot(const double *a, const double *b, int n);

// Divides v (n values) in place by its Euclidean length when that exceeds 1e-20; otherwise
// leaves v unchanged. Returns 0.
int vect_normalize(double *v, int n);

// Cross product of two 3-vectors: out = a x b (out must not alias a or b). The one cross product
// of the library's 3-D geometry; inline, as hot geometric tests call it per face.
inline void vect_cross(const double *a, const double *b, double *out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// Generalised cross product. block[0] holds the dimension n (truncated to an integer), followed
// by n - 1 vectors of n doubles. Writes to out (n values) the vector whose component i is the
// determinant of the matrix with rows e_i, vector 1, ..., vector n-1: orthogonal to all of them
// (0 where they are linearly dependent). For n = 3 this is the ordinary cross product of the
// block 3.0, a0, a1, a2, b0, b1, b2. For n < 1 writes nothing. Returns 0, or -1 (after a report,
// out partly written) when the work matrix or its factors cannot be allocated.
int vect_normal(const double *block, double *out);

// Binomial coefficient n over k: 1 for k < 1, -1 for k > n. Exact whenever the result fits in
// 32 bits; -1 as well when it does not.
int numb_binomial(int n, int k);

// Walks the k-element subsets of {0, ..., n-1} in lexicographic order of their sorted members.
// mask (n ints, caller-owned) holds the current subset as 0/1 flags between calls; out (k ints)
// receives its members in ascending order. start != 0 produces the first subset {0, ..., k-1};
// start == 0 advances to the next one. Returns 0 with a subset in out, -2 when no subset follows
// (the mask is then cleared of its trailing members), -1 when the mask holds more than k members.
//   numb_next_combination(k, n, 1, out, mask);
//   do { ... use out ... } while (numb_next_combination(k, n, 0, out, mask) == 0);
int numb_next_combination(int k, int n, int start, int *out, int *mask);

#endif
