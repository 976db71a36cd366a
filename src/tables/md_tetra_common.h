// What the double and the byte tetrahedral tables share: the leading fields of both records, the
// shared vertex scan and the size guards of creation.
#ifndef VELMORA_TABLES_MD_TETRA_COMMON_H
#define VELMORA_TABLES_MD_TETRA_COMMON_H

#include <cstddef>
#include <cstdint>
#include <utility>

namespace velmora {

// Input dimensions that the per-point work arrays of the interpolation hold.
inline constexpr int kMaxTetraDimensions = 33;

// The leading fields of MD_TETRAD and MD_TETRAB, in this order.
struct TetraShape {
  int32_t dimin;     // N
  int32_t dimout;    // M
  int32_t nrgrid;    // G
  int32_t nrpoints;  // G^N
};

// Advances index like an odometer (dimension 0 fastest, wrapping to all zeros after the last
// vertex) and returns the number of vertices after the one given on entry.
int tetra_scan_vertex(const TetraShape &shape, int *index);

// Fills the strides of a guarded grid (`positions` = grid points + guards per dimension, the last
// dimension fastest, nrvalues values in all) and the corner-offset cache of the straight-line
// paths: [0] the far corner of a cell; for N <= 4, [1 + d] the far corner minus the stride of d,
// except for N = 2, where [1] and [2] are the strides of dimensions 0 and 1.
void fill_grid_offsets(int32_t nrvalues, int dimin, int positions, int32_t *strides,
                       int32_t *corner_offsets);

// Fills shape and nrvalues for a table of dimin inputs, dimout outputs and nrgrid points plus
// `guard` guard positions per input. Returns false after the report "md_tetra_new: insufficient
// memory" when a size exceeds 32 bits or dimin exceeds the interpolation's work arrays.
bool tetra_checked_shape(int dimin, int dimout, int nrgrid, int guard, TetraShape &shape,
                         int32_t &nrvalues);

// The compare-exchange sequences that order 2, 3 or 4 fractions in descending order, shared by
// both tables and their vector kernels: each pair (a, b) moves the element at b in front of the
// one at a when it is strictly greater. How ties end up never changes a result, since the vertex
// between tied dimensions gets weight zero.
struct ExchangePair {
  int a;
  int b;
};
template <int N>
inline constexpr ExchangePair kDescendingNetwork[1] = {{0, 0}};
template <>
inline constexpr ExchangePair kDescendingNetwork<2>[1] = {{0, 1}};
template <>
inline constexpr ExchangePair kDescendingNetwork<3>[3] = {{0, 1}, {1, 2}, {0, 1}};
template <>
inline constexpr ExchangePair kDescendingNetwork<4>[5] = {{0, 1}, {2, 3}, {0, 2}, {1, 3}, {1, 2}};
template <int N>
inline constexpr std::size_t kNetworkLength = N <= 1   ? 0
                                              : N == 2 ? 1
                                              : N == 3 ? 3
                                                       : 5;

// Calls exchange(a, b) for every pair of the network of N elements, in order, unrolled.
template <int N, typename Exchange, std::size_t... I>
inline void run_network(Exchange &&exchange, std::index_sequence<I...>) {
  (exchange(kDescendingNetwork<N>[I].a, kDescendingNetwork<N>[I].b), ...);
}
template <int N, typename Exchange>
inline void run_network(Exchange &&exchange) {
  run_network<N>(exchange, std::make_index_sequence<kNetworkLength<N>>{});
}

// md_tetra_sort_fractions, the order of N >= 5 dimensions: each item in index order goes in front
// of the first already placed item that is strictly smaller (`smaller(placed, item)`), so equal
// items keep their index order.
template <typename T, typename Smaller>
inline void sort_descending(T *items, int n, Smaller smaller) {
  for (int i = 1; i < n; ++i) {
    const T item = items[i];
    int pos = i;
    while (pos > 0 && smaller(items[pos - 1], item)) {
      items[pos] = items[pos - 1];
      --pos;
    }
    items[pos] = item;
  }
}

// base^exponent * factor when it fits in a positive 32-bit int; -1 otherwise.
int64_t checked_grid_size(int64_t base, int exponent, int64_t factor);

}  // namespace velmora

#endif
