/* Distances between double vectors and the digits of an integer in a given base. */
#ifndef VELMORA_VECTOR_NUMBER_H
#define VELMORA_VECTOR_NUMBER_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

/* Sum over i < n of (b[i] - a[i])^2, summed in ascending index order. n >= 0. */
VELMORA_API double vect_square_distance(const double *a, const double *b, int n);

/* Euclidean distance of a and b (n values each): sqrt(vect_square_distance(a, b, n)). */
VELMORA_API double vect_distance(const double *a, const double *b, int n);

/* Writes the first ndigits digits of value in base `base` (>= 2) to digits, least significant
   first; positions beyond the last nonzero digit are 0. Base 2 writes bit i of value as digit i
   (bit 31 of a negative value as -1, and every digit beyond 31 as 0 for a non-negative value,
   -1 for a negative one); other bases use truncating division. Returns 0. */
VELMORA_API int numb_decimal_to_base(int value, int *digits, int ndigits, int base);

VELMORA_EXTERN_C_END

#endif
