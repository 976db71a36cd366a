// Byte-indexed tetrahedral tables.
//
// The simplex split is that of the double tables: a point's cell is walked from its base corner,
// adding one dimension per vertex in descending order of the point's fractional positions, and
// the value is the blend of those N+1 vertices. Here the fractions are byte weights looked up per
// input byte, the blend weights are their differences (they sum to weightHigh - weightLow), and
// each weight x value product is read from a 256 x 256 table of rounded products; the sum is
// taken modulo 256. With the default range the products of one point never exceed its weight,
// so the sum never wraps.
//
// The hot loop takes, per input byte, one 32-bit base offset and one 64-bit sort key composed
// at creation (and again when the curves change) from the input curve, the index table and the
// fraction weights. A key holds the fraction in bits 40..47, 255 - d in bits 32..39 (so equal
// fractions order the lower dimension first) and the dimension's stride in its low 32 bits:
// sorting the keys in descending order yields the simplex's weights and vertex steps at once.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/error.h"
#include "tables/md_tetra_common.h"
#include "tables/md_tetra_simd.h"
#include "tables/md_tetrab_internal.h"
#include "velmora/md_tetrab.h"

namespace velmora {

namespace {

constexpr int kKeyFractionShift = 40;
constexpr int kKeyTagShift = 32;
constexpr uint64_t kKeyStrideMask = 0xffffffffu;
constexpr int kLastByte = 255;

struct ProductTable {
  uint8_t entry[kProductTableSize];
};

// Entry [r][c] = trunc((c - low) * (r - low) / (high - low) + low + 0.5), in integers.
void fill_products(uint8_t *table, int low, int high) {
  const int range = high - low;
  for (int r = low; r <= high; ++r) {
    for (int c = low; c <= high; ++c) {
      const int product = (c - low) * (r - low);
      table[r * kByteValues + c] = static_cast<uint8_t>((2 * product + range) / (2 * range) + low);
    }
  }
}

}  // namespace

const uint8_t *default_product_table() {
  static const ProductTable table = [] {
    ProductTable t{};
    fill_products(t.entry, kDefaultWeightLow, kDefaultWeightHigh);
    return t;
  }();
  return table.entry;
}

}  // namespace velmora

using velmora::kByteValues;

namespace {

using velmora::kKeyFractionShift;
using velmora::kKeyStrideMask;
using velmora::kKeyTagShift;
using velmora::kLastByte;

MD_TETRAB *release(MD_TETRAB *table) {
  if (table == nullptr) return nullptr;
  if (table->indexTables != nullptr) {
    for (int d = 0; d < table->shape.dimin; ++d)
      velmora::mem_free(table->indexTables[d]);
    velmora::mem_free(table->indexTables);
  }
  velmora::mem_free(table->inCurves);
  velmora::mem_free(table->outCurves);
  velmora::mem_free(table->curveBlock);
  velmora::mem_free(table->productTable);
  velmora::mem_free(table->strides);
  velmora::mem_free(table->vectorInputs);
  velmora::mem_free(table->inputOffsets);
  velmora::mem_free(table->inputKeys);
  velmora::mem_free(table->data);
  velmora::mem_free(table);
  return nullptr;
}

bool is_legal(int dimin, int dimout, int nrgrid, int weight_low, int weight_high, int guard) {
  return dimin >= 1 && dimin <= velmora::kMaxTetraDimensions && dimout >= 1 && nrgrid >= 2 &&
         weight_low >= 0 && weight_high <= kLastByte && weight_low < weight_high && guard >= 1;
}

// Strides (dimension N-1 varies fastest, S = G + guard positions each) and the corner cache.
bool build_strides(MD_TETRAB *t) {
  const int n = t->shape.dimin;
  t->strides = velmora::alloc_array<int32_t>(static_cast<size_t>(n));
  if (t->strides == nullptr) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return false;
  }
  velmora::fill_grid_offsets(t->nrvalues, n, t->shape.nrgrid + t->guard, t->strides,
                             t->cornerOffsets);
  return true;
}

// Per input byte v: x = v * (G-1) / 255 in exact integers; the entry is trunc(x) times the
// stride; the fraction weight is trunc((x - trunc(x)) * (high - low) + low), and low at the last
// grid point.
bool build_index_tables(MD_TETRAB *t) {
  const int n = t->shape.dimin;
  const int cells = t->shape.nrgrid - 1;
  const int range = t->weightHigh - t->weightLow;
  t->indexTables = velmora::calloc_array<int32_t *>(static_cast<size_t>(n));
  if (t->indexTables == nullptr) {
    VELMORA_REPORT("md_tetrab_new: malloc failure");
    return false;
  }
  for (int d = 0; d < n; ++d) {
    t->indexTables[d] = velmora::alloc_array<int32_t>(kByteValues);
    if (t->indexTables[d] == nullptr) {
      VELMORA_REPORT("md_tetrab_new: malloc failure");
      return false;
    }
    for (int v = 0; v < kByteValues; ++v) {
      const int64_t scaled = int64_t{v} * cells;
      const int32_t i = static_cast<int32_t>(scaled / kLastByte);
      t->indexTables[d][v] = i * t->strides[d];
      if (d == 0) {
        const int64_t weight = scaled % kLastByte * range / kLastByte + t->weightLow;
        t->fractionWeights[v] = static_cast<uint8_t>(i < cells ? weight : t->weightLow);
      }
    }
  }
  return true;
}

void set_identity(uint8_t *curve) {
  for (int v = 0; v < kByteValues; ++v)
    curve[v] = static_cast<uint8_t>(v);
}

// Curve storage: one block of N + M curves, identity at creation.
bool build_curves(MD_TETRAB *t) {
  const int n = t->shape.dimin;
  const int m = t->shape.dimout;
  t->inCurves = velmora::alloc_array<uint8_t *>(static_cast<size_t>(n));
  t->outCurves = velmora::alloc_array<uint8_t *>(static_cast<size_t>(m));
  t->curveBlock = velmora::calloc_array<uint8_t>(
      static_cast<size_t>(n + m) * static_cast<size_t>(kByteValues) + velmora::kVectorLoadSlack);
  if (t->inCurves == nullptr || t->outCurves == nullptr || t->curveBlock == nullptr) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return false;
  }
  for (int d = 0; d < n; ++d)
    t->inCurves[d] = t->curveBlock + static_cast<size_t>(d) * kByteValues;
  for (int c = 0; c < m; ++c)
    t->outCurves[c] = t->curveBlock + static_cast<size_t>(n + c) * kByteValues;
  for (int i = 0; i < n + m; ++i)
    set_identity(t->curveBlock + static_cast<size_t>(i) * kByteValues);
  return true;
}

// The shared table for the default range; otherwise a private one, 255 outside the range.
bool build_products(MD_TETRAB *t) {
  const uint8_t *products = nullptr;
  if (t->weightLow == velmora::kDefaultWeightLow && t->weightHigh == velmora::kDefaultWeightHigh) {
    products = velmora::default_product_table();
  } else {
    t->productTable = velmora::alloc_array<uint8_t>(velmora::kProductTableSize);
    if (t->productTable == nullptr) {
      VELMORA_REPORT("md_tetrab_new: insuff. mem.");
      return false;
    }
    std::memset(t->productTable, kLastByte, velmora::kProductTableSize);
    velmora::fill_products(t->productTable, t->weightLow, t->weightHigh);
    products = t->productTable;
  }
  for (int r = 0; r < kByteValues; ++r)
    t->productRows[r] = products + r * kByteValues;
  return true;
}

// Whether the vector kernels can serve the table: they blend with the default product table and
// pack a grid offset and a fraction weight into 32 bits.
bool vector_eligible(const MD_TETRAB &t) {
  constexpr int32_t kPackedOffsetLimit = int32_t{1} << 24;
  return (t.shape.dimin == 3 || t.shape.dimin == 4) &&
         t.shape.dimout <= velmora::kVectorMaxChannels &&
         t.weightLow == velmora::kDefaultWeightLow && t.weightHigh == velmora::kDefaultWeightHigh &&
         t.nrvalues < kPackedOffsetLimit;
}

// The composed input lookups of the scalar path and, where they apply, of the vector kernels.
bool build_input_lookups(MD_TETRAB *t) {
  const size_t entries = static_cast<size_t>(t->shape.dimin) * kByteValues;
  t->inputOffsets = velmora::alloc_array<int32_t>(entries);
  t->inputKeys = velmora::alloc_array<uint64_t>(entries);
  const bool vector = vector_eligible(*t);
  if (vector) t->vectorInputs = velmora::alloc_array<uint32_t>(entries);
  if (t->inputOffsets == nullptr || t->inputKeys == nullptr ||
      (vector && t->vectorInputs == nullptr)) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return false;
  }
  return true;
}

void compose_input_lookups(MD_TETRAB *t) {
  for (int d = 0; d < t->shape.dimin; ++d) {
    const uint64_t tag = static_cast<uint64_t>(kLastByte - d) << kKeyTagShift;
    const uint64_t stride = static_cast<uint32_t>(t->strides[d]);
    for (int v = 0; v < kByteValues; ++v) {
      const uint8_t u = t->inCurves[d][v];
      t->inputOffsets[d * kByteValues + v] = t->indexTables[d][u];
      t->inputKeys[d * kByteValues + v] =
          (static_cast<uint64_t>(t->fractionWeights[u]) << kKeyFractionShift) | tag | stride;
      if (t->vectorInputs != nullptr) {
        t->vectorInputs[d * kByteValues + v] =
            static_cast<uint32_t>(t->fractionWeights[u]) << 24 |
            static_cast<uint32_t>(t->inputOffsets[d * kByteValues + v]);
      }
    }
  }
}

// Skip test of the mask without floating point per point: for a byte m, threshold >= m holds
// exactly when m <= the returned limit (-1: never, for negative or NaN thresholds).
int mask_limit(double threshold) {
  if (!(threshold >= 0.0)) return -1;
  if (threshold >= kLastByte) return kLastByte;
  return static_cast<int>(threshold);
}

inline bool is_masked(const uint8_t *mask, int limit, int p) {
  return mask != nullptr && mask[p] <= limit;
}

inline void copy_previous(uint8_t *const *out, int m, std::ptrdiff_t at, std::ptrdiff_t stride) {
  for (int c = 0; c < m; ++c) {
    if (out[c] != nullptr) out[c][at] = out[c][at - stride];
  }
}

// One step of the shared sorting network on keys, with min/max so random data costs no
// mispredictions.
inline void order_pair(uint64_t &a, uint64_t &b) {
  const uint64_t high = a > b ? a : b;
  const uint64_t low = a > b ? b : a;
  a = high;
  b = low;
}

inline int key_fraction(uint64_t key) {
  return static_cast<int>(key >> kKeyFractionShift);
}
inline int32_t key_stride(uint64_t key) {
  return static_cast<int32_t>(key & kKeyStrideMask);
}

// What one point's interpolation reads from the table, copied out of it once per call: the
// output bytes are written through byte pointers, which the compiler must otherwise assume to
// alias the table's fields.
struct Lookups {
  const uint8_t *data;
  const uint8_t *products;
  const int32_t *offsets;
  const uint64_t *keys;
  int32_t weightHigh;
  std::ptrdiff_t farCorner;

  explicit Lookups(const MD_TETRAB &t)
      : data(t.data),
        products(t.productRows[0]),
        offsets(t.inputOffsets),
        keys(t.inputKeys),
        weightHigh(t.weightHigh),
        farCorner(t.cornerOffsets[0]) {}
};

// Vertices V0 .. VN and weights w0 .. wN of the simplex from the sorted keys.
inline void build_simplex(const Lookups &l, int n, int32_t base, const uint64_t *keys,
                          int32_t *vertex, int *weight) {
  vertex[0] = base;
  weight[0] = l.weightHigh - key_fraction(keys[0]);
  for (int k = 1; k < n; ++k) {
    vertex[k] = vertex[k - 1] + key_stride(keys[k - 1]);
    weight[k] = key_fraction(keys[k - 1]) - key_fraction(keys[k]);
  }
  vertex[n] = base + l.farCorner;
  weight[n] = key_fraction(keys[n - 1]);
}

// The corners and product rows of the simplex for the straight-line path, in pointer-sized
// arithmetic: corner[k] points at vertex Vk's bytes, rows[k] at the products of weight wk.
template <int N>
inline void simplex_rows(const Lookups &l, std::ptrdiff_t base, const uint64_t *keys,
                         const uint8_t **corner, const uint8_t **rows) {
  constexpr int kRowShift = kKeyFractionShift - 8;  // the fraction times 256
  std::ptrdiff_t row[N];
  for (int d = 0; d < N; ++d)
    row[d] = static_cast<std::ptrdiff_t>((keys[d] >> kRowShift) & 0xff00u);
  corner[0] = l.data + base;
  rows[0] = l.products + std::ptrdiff_t{l.weightHigh} * kByteValues - row[0];
  for (int k = 1; k < N; ++k) {
    corner[k] = corner[k - 1] + static_cast<uint32_t>(keys[k - 1]);
    rows[k] = l.products + (row[k - 1] - row[k]);
  }
  corner[N] = corner[0] + l.farCorner;
  rows[N] = l.products + row[N - 1];
}

// The product table is symmetric (value x weight = weight x value), so the products of one
// weight are row w: rows[k][v] is the product of value v with weight k of the simplex.
inline const uint8_t *weight_row(const uint8_t *products, int weight) {
  return products + weight * kByteValues;
}

// Every requested channel of one point: the sum of the simplex's products modulo 256, through
// the output curve; null outputs are skipped.
inline void blend_channels(const MD_TETRAB &t, int vertices, const uint8_t *const *corner,
                           const uint8_t *const *rows, uint8_t *const *out, std::ptrdiff_t at) {
  for (int c = 0; c < t.shape.dimout; ++c) {
    if (out[c] == nullptr) continue;
    unsigned sum = 0;
    for (int k = 0; k < vertices; ++k)
      sum += rows[k][corner[k][c]];
    out[c][at] = t.outCurves[c][sum & 0xffu];
  }
}

// Where a call's input bytes come from. Interleaved: in[d] = in[0] + d (the usual pixel layout),
// so one pointer serves all inputs; otherwise one pointer per input.
template <int N, bool Interleaved>
class PointIo {
 public:
  explicit PointIo(const uint8_t *const *in) {
    for (int d = 0; d < (Interleaved ? 1 : N); ++d)
      src_[d] = in[d];
  }
  uint8_t input(int d, std::ptrdiff_t at) const {
    return Interleaved ? src_[0][at + d] : src_[d][at];
  }

 private:
  const uint8_t *src_[Interleaved ? 1 : N];
};

// Straight-line path for N = 1 .. 4. Channels > 0: that many interleaved channels, all requested
// (the channel loops unroll and the sums stay in registers); 0: any channels, some maybe null.
// Curved: whether any output curve differs from the identity.
template <int N, int Channels, bool Curved>
void interp_fixed(const MD_TETRAB &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                  uint8_t *const *out, std::ptrdiff_t out_stride, int count, const uint8_t *mask,
                  int limit) {
  constexpr bool kInterleaved = Channels > 0;
  const PointIo<N, kInterleaved> io(in);
  const Lookups l(t);
  const int m = t.shape.dimout;
  const uint8_t *out_curves[Channels > 0 ? Channels : 1];
  for (int c = 0; c < Channels; ++c)
    out_curves[c] = t.outCurves[c];
  uint8_t *dst = out[0];
  // The previous point's input bytes packed into one word; kNone matches no point.
  constexpr uint64_t kNone = uint64_t{1} << 32;
  uint64_t previous = kNone;
  for (int p = 0; p < count; ++p) {
    const std::ptrdiff_t at = p * out_stride;
    uint8_t x[N];
    uint64_t packed = 0;
    for (int d = 0; d < N; ++d) {
      x[d] = io.input(d, p * in_stride);
      packed |= uint64_t{x[d]} << (8 * d);
    }
    if (is_masked(mask, limit, p)) {
      previous = kNone;
      continue;
    }
    if (packed == previous) {
      copy_previous(out, m, at, out_stride);
      continue;
    }
    previous = packed;
    uint64_t k[N];
    int32_t base = 0;
    for (int d = 0; d < N; ++d) {
      base += l.offsets[d * kByteValues + x[d]];
      k[d] = l.keys[d * kByteValues + x[d]];
    }
    velmora::run_network<N>([&](int a, int b) { order_pair(k[a], k[b]); });
    const uint8_t *corner[N + 1];
    const uint8_t *rows[N + 1];
    simplex_rows<N>(l, base, k, corner, rows);
    if constexpr (Channels > 0) {
      unsigned sum[Channels] = {};
      for (int j = 0; j <= N; ++j) {
        for (int c = 0; c < Channels; ++c)
          sum[c] += rows[j][corner[j][c]];
      }
      for (int c = 0; c < Channels; ++c) {
        const uint8_t value = static_cast<uint8_t>(sum[c]);
        dst[at + c] = Curved ? out_curves[c][value] : value;
      }
    } else {
      blend_channels(t, N + 1, corner, rows, out, at);
    }
  }
}

bool is_interleaved(const MD_TETRAB &t, const uint8_t *const *in, uint8_t *const *out) {
  bool interleaved = out[0] != nullptr;
  for (int d = 1; d < t.shape.dimin; ++d)
    interleaved = interleaved && in[d] == in[0] + d;
  for (int c = 1; c < t.shape.dimout; ++c)
    interleaved = interleaved && out[c] == out[0] + c;
  return interleaved;
}

// Picks the specialisation of the straight-line path for this call's layout.
template <int N>
void interp_fixed_dispatch(const MD_TETRAB &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                           uint8_t *const *out, std::ptrdiff_t out_stride, int count,
                           const uint8_t *mask, int limit) {
  const int m = t.shape.dimout;
  const bool curved = t.outCurvesCurved != 0;
  const bool interleaved = (m == 3 || m == 4) && is_interleaved(t, in, out);
  if (interleaved && m == 3 && !curved) {
    interp_fixed<N, 3, false>(t, in, in_stride, out, out_stride, count, mask, limit);
  } else if (interleaved && m == 3) {
    interp_fixed<N, 3, true>(t, in, in_stride, out, out_stride, count, mask, limit);
  } else if (interleaved && m == 4 && !curved) {
    interp_fixed<N, 4, false>(t, in, in_stride, out, out_stride, count, mask, limit);
  } else if (interleaved && m == 4) {
    interp_fixed<N, 4, true>(t, in, in_stride, out, out_stride, count, mask, limit);
  } else {
    interp_fixed<N, 0, true>(t, in, in_stride, out, out_stride, count, mask, limit);
  }
}

// General path for N >= 5: the same steps with loops over N. Its work arrays live on the stack, so
// any number of threads may interpolate one table at once.
void interp_general(const MD_TETRAB &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                    uint8_t *const *out, std::ptrdiff_t out_stride, int count, const uint8_t *mask,
                    int limit) {
  constexpr int kMax = velmora::kMaxTetraDimensions;
  const int n = t.shape.dimin;
  const Lookups l(t);
  uint8_t previous[kMax];
  uint64_t keys[kMax];
  int32_t vertex[kMax + 1];
  int weight[kMax + 1];
  const uint8_t *corner[kMax + 1];
  const uint8_t *rows[kMax + 1];
  bool has_previous = false;
  for (int p = 0; p < count; ++p) {
    const std::ptrdiff_t at = p * out_stride;
    const std::ptrdiff_t from = p * in_stride;
    const bool masked = is_masked(mask, limit, p);
    bool repeats = has_previous && !masked;
    for (int d = 0; d < n && repeats; ++d)
      repeats = in[d][from] == previous[d];
    if (masked) {
      has_previous = false;
    } else if (repeats) {
      copy_previous(out, t.shape.dimout, at, out_stride);
    } else {
      int32_t base = 0;
      for (int d = 0; d < n; ++d) {
        const uint8_t x = in[d][from];
        previous[d] = x;
        base += l.offsets[d * kByteValues + x];
        keys[d] = l.keys[d * kByteValues + x];
      }
      has_previous = true;
      velmora::sort_descending(keys, n, [](uint64_t placed, uint64_t key) { return placed < key; });
      build_simplex(l, n, base, keys, vertex, weight);
      for (int j = 0; j <= n; ++j) {
        corner[j] = l.data + vertex[j];
        rows[j] = weight_row(l.products, weight[j]);
      }
      blend_channels(t, n + 1, corner, rows, out, at);
    }
  }
}

// The scalar path for any N: the reference for the vector kernels.
void interp_scalar(const MD_TETRAB &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                   uint8_t *const *out, std::ptrdiff_t out_stride, int count, const uint8_t *mask,
                   int limit) {
  switch (t.shape.dimin) {
    case 1:
      interp_fixed_dispatch<1>(t, in, in_stride, out, out_stride, count, mask, limit);
      break;
    case 2:
      interp_fixed_dispatch<2>(t, in, in_stride, out, out_stride, count, mask, limit);
      break;
    case 3:
      interp_fixed_dispatch<3>(t, in, in_stride, out, out_stride, count, mask, limit);
      break;
    case 4:
      interp_fixed_dispatch<4>(t, in, in_stride, out, out_stride, count, mask, limit);
      break;
    default:
      interp_general(t, in, in_stride, out, out_stride, count, mask, limit);
      break;
  }
}

// A vector kernel's share of a call, then the scalar path for the points it left. The first of
// those is computed even if it repeats the point before: that gives the bytes a copy would.
void interp_vector_first(const MD_TETRAB &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                         uint8_t *const *out, std::ptrdiff_t out_stride, int count,
                         const uint8_t *mask, int limit) {
  const int done =
      velmora::md_tetrab_interp_vector(t, in, in_stride, out, out_stride, count, mask, limit);
  if (done >= count) return;
  if (done == 0) return interp_scalar(t, in, in_stride, out, out_stride, count, mask, limit);
  const uint8_t *ins[4];
  uint8_t *outs[velmora::kVectorMaxChannels];
  for (int d = 0; d < t.shape.dimin; ++d)
    ins[d] = in[d] + done * in_stride;
  for (int c = 0; c < t.shape.dimout; ++c)
    outs[c] = out[c] == nullptr ? nullptr : out[c] + done * out_stride;
  interp_scalar(t, ins, in_stride, outs, out_stride, count - done,
                mask == nullptr ? nullptr : mask + done, limit);
}

}  // namespace

extern "C" MD_TETRAB *md_tetrab_new(int dimin, int dimout, int nrgrid) {
  return md_tetrab_new_special(dimin, dimout, nrgrid, velmora::kDefaultWeightLow,
                               velmora::kDefaultWeightHigh, velmora::kDefaultGuard);
}

extern "C" MD_TETRAB *md_tetrab_new_special(int dimin, int dimout, int nrgrid, int weightLow,
                                            int weightHigh, int guard) {
  if (!is_legal(dimin, dimout, nrgrid, weightLow, weightHigh, guard)) {
    VELMORA_REPORT("md_tetra_new: illegal dimension");
    return nullptr;
  }
  velmora::TetraShape shape;
  int32_t nrvalues;
  if (!velmora::tetra_checked_shape(dimin, dimout, nrgrid, guard, shape, nrvalues)) return nullptr;

  auto *t = velmora::calloc_array<MD_TETRAB>(1);
  if (t == nullptr) {
    VELMORA_REPORT("md_tetra_new: insufficient memory");
    return nullptr;
  }
  t->shape = shape;
  t->inMin = 0;
  t->inMax = kLastByte;
  t->weightLow = weightLow;
  t->weightHigh = weightHigh;
  t->guard = guard;
  t->nrvalues = nrvalues;
  t->inStep = static_cast<double>(kLastByte) / (nrgrid - 1);

  // Cleared, guards included, so no interpolation ever reads an undefined byte.
  t->data =
      velmora::calloc_array<uint8_t>(static_cast<size_t>(nrvalues) + velmora::kVectorLoadSlack);
  if (t->data == nullptr) {
    VELMORA_REPORT("md_tetrab_new: malloc failure");
    return release(t);
  }
  // The strides come first here: the index tables are built from them.
  if (!build_strides(t) || !build_index_tables(t) || !build_curves(t) || !build_products(t) ||
      !build_input_lookups(t)) {
    return release(t);
  }
  compose_input_lookups(t);
  return t;
}

extern "C" MD_TETRAB *md_tetrab_kill(MD_TETRAB *table) {
  return release(table);
}

extern "C" int md_tetrab_LUT(MD_TETRAB *table, unsigned char *const *inCurves,
                             unsigned char *const *outCurves) {
  table->inCurvesCurved = 0;
  for (int d = 0; d < table->shape.dimin; ++d) {
    if (inCurves != nullptr && inCurves[d] != nullptr) {
      std::memcpy(table->inCurves[d], inCurves[d], kByteValues);
      for (int v = 0; v < kByteValues; ++v)
        table->inCurvesCurved |= table->inCurves[d][v] != v;
    } else {
      set_identity(table->inCurves[d]);
    }
  }
  table->outCurvesCurved = 0;
  for (int c = 0; c < table->shape.dimout; ++c) {
    if (outCurves != nullptr && outCurves[c] != nullptr) {
      std::memcpy(table->outCurves[c], outCurves[c], kByteValues);
      for (int v = 0; v < kByteValues; ++v)
        table->outCurvesCurved |= table->outCurves[c][v] != v;
    } else {
      set_identity(table->outCurves[c]);
    }
  }
  compose_input_lookups(table);
  return 1;
}

extern "C" unsigned char *md_tetrab_vertex_get(MD_TETRAB *table, const int *index,
                                               unsigned char *coords) {
  const int64_t cells = table->shape.nrgrid - 1;
  int32_t offset = 0;
  for (int d = 0; d < table->shape.dimin; ++d) {
    // index * 255 / (G - 1) rounded, halves up.
    coords[d] =
        static_cast<unsigned char>((2 * int64_t{index[d]} * kLastByte + cells) / (2 * cells));
    offset += index[d] * table->strides[d];
  }
  return table->data + offset;
}

extern "C" int md_tetrab_scan_vertex(const MD_TETRAB *table, int *index) {
  return velmora::tetra_scan_vertex(table->shape, index);
}

extern "C" int md_tetrab_interp(MD_TETRAB *table, unsigned char *const *in, int in_stride,
                                unsigned char **out, int out_stride, int count,
                                const unsigned char *mask, double threshold) {
  if (count <= 0) return 1;
  const MD_TETRAB &t = *table;
  const int limit = mask_limit(threshold);
  if (t.vectorInputs != nullptr && velmora::vector_kernels_enabled()) {
    interp_vector_first(t, in, in_stride, out, out_stride, count, mask, limit);
  } else {
    interp_scalar(t, in, in_stride, out, out_stride, count, mask, limit);
  }
  const std::ptrdiff_t advance = static_cast<std::ptrdiff_t>(count) * out_stride;
  for (int c = 0; c < t.shape.dimout; ++c) {
    if (out[c] != nullptr) out[c] += advance;
  }
  return 1;
}

extern "C" unsigned char *md_tetrab_dataptr(MD_TETRAB *table, int *size) {
  if (size != nullptr) *size = table->nrvalues;
  return table->data;
}

extern "C" int md_tetrab_get_dimin(const MD_TETRAB *table) {
  return table->shape.dimin;
}

extern "C" int md_tetrab_get_dimout(const MD_TETRAB *table) {
  return table->shape.dimout;
}

extern "C" int md_tetrab_get_nrpoints(const MD_TETRAB *table) {
  return table->shape.nrpoints;
}
