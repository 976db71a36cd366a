// AVX2 kernels of the byte and double tables for 3 and 4 inputs.
//
// Each kernel runs the scalar code's arithmetic on several points at once, one point per lane, in
// the same order and with the same rounding, so results are identical bit for bit:
// - Byte tables, 8 points per block in 32-bit lanes. Per input, the cell offset and the fraction
//   weight come from a gather in a composed table (input curve included), or, for an identity
//   input curve, from the same integer arithmetic that built the index tables. The sort key of
//   input d is fraction << 8 | (7 - d), so equal fractions order the lower input first, as the
//   scalar keys do; the shared sorting network orders the keys with min/max, and a lane permutation
//   turns a key's low bits back into its input's stride. Each vertex's channels come four at a time
//   from one 4-byte gather. The rounded product of the default product table, round(w * v / 255)
//   with halves up, equals the high half of (w * v + 128) * 257 in 16-bit lanes for all bytes w and
//   v.
// - Double tables, 4 points per block in 64-bit lanes: the clamp, the truncation, the network on
//   strict comparisons with the strides swapped alongside, and the blend as a chain of separate
//   multiplications and additions (this file and md_tetrad.cpp are compiled without contraction).
// The functions carry a target attribute, so the file builds for any x86-64 and the kernels run
// only where the processor has AVX2 (md_tetra_simd.cpp decides).
#include "tables/md_tetra_simd.h"

#if VELMORA_TABLES_X86_KERNELS

#include <immintrin.h>

#include <climits>
#include <cstring>
#include <utility>

#include "tables/md_tetra_common.h"
#include "tables/md_tetrab_internal.h"
#include "tables/md_tetrad_internal.h"

#define VELMORA_AVX2 __attribute__((target("avx2")))

namespace velmora {

namespace {

constexpr int kBytePoints = 8;
constexpr int kDoublePoints = 4;
constexpr int kLastByteValue = 255;
// How far ahead of a block the interleaved pixels are fetched into the cache, in bytes. Long
// calls stream pixels from memory; the fetches keep the inputs and the output lines on their way
// while the block computes (an ordered sweep of 2^24 pixels runs about a fifth faster). A fetch
// never faults, so it may point past the arrays.
constexpr int kPrefetchAhead = 768;

// ---- byte tables -------------------------------------------------------------------------------

// Gathers spelt with an explicit all-lanes mask: the unmasked forms start from an undefined
// register, which some compilers warn about.
VELMORA_AVX2 inline __m256i gather_dwords(const void *base, __m256i offsets) {
  return _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), static_cast<const int *>(base),
                                     offsets, _mm256_set1_epi32(-1), 1);
}

VELMORA_AVX2 inline __m256i gather_entries(const uint32_t *table, __m256i index) {
  return _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int *>(table),
                                     index, _mm256_set1_epi32(-1), 4);
}

VELMORA_AVX2 inline __m256d gather_doubles(const double *base, __m256i index) {
  return _mm256_mask_i64gather_pd(_mm256_setzero_pd(), base, index,
                                  _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
}

VELMORA_AVX2 inline __m256d gather_strided(const double *base, __m128i index) {
  return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, index,
                                  _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
}

VELMORA_AVX2 inline void order_keys(__m256i *k, int a, int b) {
  const __m256i high = _mm256_max_epi32(k[a], k[b]);
  k[b] = _mm256_min_epi32(k[a], k[b]);
  k[a] = high;
}

template <int N, std::size_t... I>
VELMORA_AVX2 inline void sort_keys(__m256i *k, std::index_sequence<I...>) {
  (order_keys(k, kDescendingNetwork<N>[I].a, kDescendingNetwork<N>[I].b), ...);
}

// round(w * v / 255), halves up, for the bytes in the even (or odd) byte positions of v,
// with w in both 16-bit halves of each lane.
VELMORA_AVX2 inline __m256i rounded_products(__m256i v, __m256i w) {
  const __m256i bias = _mm256_set1_epi16(128);
  const __m256i scale = _mm256_set1_epi16(257);
  return _mm256_mulhi_epu16(_mm256_add_epi16(_mm256_mullo_epi16(v, w), bias), scale);
}

// Where the output bytes of a block go.
enum class ByteStore { Interleaved3, Interleaved4, Planar, PerByte };

// How a block's input bytes arrive: interleaved pixels of 3 or 4 bytes from two 16-byte loads,
// other interleaved inputs from one 4-byte gather per point, unit-stride planes 8 bytes at a
// time, anything else from a 4-byte gather per input and point.
enum class ByteLoad { Pixels, Gather, Planes, GatherEach };

// Everything a block needs, copied out of the table and the call before the loop: the output
// stores are byte stores, which may alias anything reached through a pointer, so values read
// through the table inside the loop would be read again after every store.
template <int N>
struct ByteBlocks {
  const uint8_t *data;
  const uint8_t *in[N];
  std::ptrdiff_t is;
  uint8_t *out[kVectorMaxChannels];
  const uint8_t *out_curve[kVectorMaxChannels];
  std::ptrdiff_t os;
  int m;
  const uint8_t *mask;
  int limit;
  int end;
  ByteLoad load;
  ByteStore how;
  const uint32_t *inputs;  // the composed input tables, for curved inputs
  int32_t strides[N];
  int32_t far_corner;
  int cells;           // grid points - 1
  bool short_strides;  // strides below 2^15 multiply in one 16-bit multiply-add
};

// The channels 4g .. 4g+3 of one block (dword lane p holds point p's bytes, channel 4g in the
// lowest), after the output curves of the first `channels` of them.
template <int N, bool Curved>
VELMORA_AVX2 inline __m256i blend_group(const uint8_t *data, const uint8_t *const *curve,
                                        int channels, const __m256i *vertex,
                                        const __m256i *weight) {
  const __m256i low_bytes = _mm256_set1_epi32(0x00ff00ff);
  __m256i even = _mm256_setzero_si256();
  __m256i odd = _mm256_setzero_si256();
  for (int k = 0; k <= N; ++k) {
    const __m256i v = gather_dwords(data, vertex[k]);
    even = _mm256_add_epi16(even, rounded_products(_mm256_and_si256(v, low_bytes), weight[k]));
    odd = _mm256_add_epi16(odd, rounded_products(_mm256_srli_epi16(v, 8), weight[k]));
  }
  // The sums modulo 256, back into their byte positions.
  const __m256i sum = _mm256_or_si256(_mm256_and_si256(even, low_bytes), _mm256_slli_epi16(odd, 8));
  if constexpr (!Curved) {
    return sum;
  } else {
    // Byte j of each lane alone into the low byte, to index curve j; the curve's byte back into
    // byte j.
    const __m256i byte = _mm256_set1_epi32(0xff);
    __m256i result = _mm256_setzero_si256();
    for (int j = 0; j < channels; ++j) {
      const __m256i s = _mm256_and_si256(_mm256_srli_epi32(sum, 8 * j), byte);
      const __m256i curved_byte = _mm256_and_si256(gather_dwords(curve[j], s), byte);
      result = _mm256_or_si256(result, _mm256_slli_epi32(curved_byte, 8 * j));
    }
    return result;
  }
}

// Stores the channels 4g .. 4g+3 of the points of a block that `keep` marks.
template <int N>
VELMORA_AVX2 inline void store_group(const ByteBlocks<N> &b, ByteStore how, int g, __m256i value,
                                     std::ptrdiff_t p0, unsigned keep) {
  const std::ptrdiff_t os = b.os;
  if (keep == 0xffu && how == ByteStore::Interleaved4) {
    uint8_t *dst = b.out[0] + p0 * 4;
    _mm_prefetch(reinterpret_cast<const char *>(dst) + kPrefetchAhead, _MM_HINT_T0);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), value);
    return;
  }
  if (keep == 0xffu && how == ByteStore::Interleaved3) {
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                          1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i packed = _mm256_shuffle_epi8(value, pack);
    const __m128i lo = _mm256_castsi256_si128(packed);
    const __m128i hi = _mm256_extracti128_si256(packed, 1);
    uint8_t *dst = b.out[0] + p0 * 3;
    _mm_prefetch(reinterpret_cast<const char *>(dst) + kPrefetchAhead, _MM_HINT_T0);
    const int lo_tail = _mm_extract_epi32(lo, 2);
    const int hi_tail = _mm_extract_epi32(hi, 2);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst), lo);
    std::memcpy(dst + 8, &lo_tail, 4);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 12), hi);
    std::memcpy(dst + 20, &hi_tail, 4);
    return;
  }
  const int channels = b.m - 4 * g < 4 ? b.m - 4 * g : 4;
  if (keep == 0xffu && how == ByteStore::Planar) {
    const __m256i lanes = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int j = 0; j < channels; ++j) {
      uint8_t *dst = b.out[4 * g + j];
      if (dst == nullptr) continue;
      // Byte j of every lane to the front of its half, then the two halves' fronts together.
      const __m256i pick = _mm256_set1_epi32(0x0c080400 + 0x01010101 * j);
      const __m256i picked = _mm256_shuffle_epi8(value, pick);
      const __m256i joined = _mm256_permutevar8x32_epi32(picked, lanes);
      _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + p0), _mm256_castsi256_si128(joined));
    }
    return;
  }
  alignas(32) uint32_t lanes[kBytePoints];
  _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), value);
  for (int p = 0; p < kBytePoints; ++p) {
    if ((keep >> p & 1u) == 0) continue;
    for (int j = 0; j < channels; ++j) {
      uint8_t *dst = b.out[4 * g + j];
      if (dst != nullptr) dst[(p0 + p) * os] = static_cast<uint8_t>(lanes[p] >> (8 * j));
    }
  }
}

// The blocks of one call. M is 3 or 4 for interleaved pixels of N bytes in and M bytes out (the
// common layouts, with loads and stores fixed at compile time), 0 for any other layout. Straight:
// identity input curves (Short: with strides below 2^15); Curved: output curves that are not all
// the identity.
template <int N, int M, bool Straight, bool Short, bool Curved>
__attribute__((noinline)) VELMORA_AVX2 void tetrab_blocks(const ByteBlocks<N> &b) {
  const ByteLoad load = M != 0 ? ByteLoad::Pixels : b.load;
  const ByteStore how = M == 3 ? ByteStore::Interleaved3 : M == 4 ? ByteStore::Interleaved4 : b.how;
  const int m = M != 0 ? M : b.m;
  const int groups = (m + 3) / 4;
  const std::ptrdiff_t is = M != 0 ? N : b.is;
  const uint8_t *const data = b.data;
  const uint8_t *const mask = b.mask;
  const int end = b.end;

  const __m256i offset_bits = _mm256_set1_epi32(0x00ffffff);
  const __m256i fraction_bits = _mm256_set1_epi32(0xff00);
  const __m256i byte = _mm256_set1_epi32(0xff);
  const __m256i top = _mm256_set1_epi16(kDefaultWeightHigh);
  const __m256i far_corner = _mm256_set1_epi32(b.far_corner);
  const int is32 = static_cast<int>(is);
  const __m256i in_lanes =
      _mm256_setr_epi32(0, is32, 2 * is32, 3 * is32, 4 * is32, 5 * is32, 6 * is32, 7 * is32);
  // Lane 7 - d holds the stride of input d, so a key's low three bits pick its input's stride.
  alignas(32) int32_t reversed[kBytePoints] = {};
  for (int d = 0; d < N; ++d)
    reversed[kBytePoints - 1 - d] = b.strides[d];
  const __m256i strides = _mm256_load_si256(reinterpret_cast<const __m256i *>(reversed));
  __m256i stride[N];
  __m256i tag[N];
  for (int d = 0; d < N; ++d) {
    stride[d] = _mm256_set1_epi32(b.strides[d]);
    tag[d] = _mm256_set1_epi32(kBytePoints - 1 - d);
  }
  const __m128i mask_limit = _mm_set1_epi8(static_cast<char>(b.limit));
  // Input d of pixel j of each half (byte is * j + d) into the low byte of lane j.
  __m256i pick_input[N] = {};
  for (int d = 0; d < N && load == ByteLoad::Pixels; ++d) {
    alignas(32) int8_t pattern[32];
    // With identity input curves, odd inputs go to byte 2 instead, beside their even partner.
    const int at = Straight && d % 2 == 1 ? 2 : 0;
    for (int k = 0; k < 32; ++k)
      pattern[k] = k % 4 == at ? static_cast<int8_t>(is * (k % 16 / 4) + d) : int8_t{-1};
    pick_input[d] = _mm256_load_si256(reinterpret_cast<const __m256i *>(pattern));
  }
  // Inputs 2p and 2p + 1 share lanes in the identity-curve arithmetic, one per 16-bit half.
  constexpr int kPairs = (N + 1) / 2;
  __m256i pair_stride[kPairs];
  __m256i pair_tag[kPairs];
  for (int q = 0; q < kPairs; ++q) {
    const int odd = 2 * q + 1;
    const uint32_t low = static_cast<uint32_t>(b.strides[2 * q]) & 0xffffu;
    const uint32_t high = odd < N ? static_cast<uint32_t>(b.strides[odd]) & 0xffffu : 0u;
    pair_stride[q] = _mm256_set1_epi32(static_cast<int>(low | high << 16));
    const int odd_tag = odd < N ? kBytePoints - 1 - odd : 0;
    pair_tag[q] = _mm256_set1_epi32((kBytePoints - 1 - 2 * q) | odd_tag << 16);
  }
  const __m256i low_half = _mm256_set1_epi32(0xffff);
  const __m256i cells = _mm256_set1_epi16(static_cast<int16_t>(b.cells));
  const __m256i reciprocal = _mm256_set1_epi16(static_cast<int16_t>(0x8081));
  const __m256i last_byte = _mm256_set1_epi16(kLastByteValue);
  // Byte 1 of each lane (a key's fraction) into both 16-bit halves of the lane.
  const __m256i fraction_halves =
      _mm256_setr_epi8(1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1, 1, -1, 1, -1, 5,
                       -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1);

  for (int p0 = 0; p0 < end; p0 += kBytePoints) {
    unsigned keep = 0xffu;
    if (mask != nullptr) {
      const __m128i mv = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(mask + p0));
      const __m128i skipped = _mm_cmpeq_epi8(_mm_min_epu8(mv, mask_limit), mv);
      keep = ~static_cast<unsigned>(_mm_movemask_epi8(skipped)) & 0xffu;
      if (keep == 0) continue;
    }
    // Input d of the block's points in the low byte of each lane; with identity input curves,
    // odd inputs in the third byte instead.
    __m256i x[N];
    if (load == ByteLoad::Pixels) {
      const uint8_t *src = b.in[0] + p0 * is;
      _mm_prefetch(reinterpret_cast<const char *>(src) + kPrefetchAhead, _MM_HINT_T0);
      const __m256i two = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src))),
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * is)), 1);
      for (int d = 0; d < N; ++d)
        x[d] = _mm256_shuffle_epi8(two, pick_input[d]);
    } else {
      if (load == ByteLoad::Gather) {
        const __m256i raw = gather_dwords(b.in[0] + p0 * is, in_lanes);
        for (int d = 0; d < N; ++d)
          x[d] = _mm256_and_si256(_mm256_srli_epi32(raw, 8 * d), byte);
      } else if (load == ByteLoad::Planes) {
        for (int d = 0; d < N; ++d) {
          x[d] = _mm256_cvtepu8_epi32(
              _mm_loadl_epi64(reinterpret_cast<const __m128i *>(b.in[d] + p0)));
        }
      } else {
        for (int d = 0; d < N; ++d)
          x[d] = _mm256_and_si256(gather_dwords(b.in[d] + p0 * is, in_lanes), byte);
      }
      if constexpr (Straight) {
        for (int d = 1; d < N; d += 2)
          x[d] = _mm256_slli_epi32(x[d], 16);
      }
    }
    __m256i base = _mm256_setzero_si256();
    __m256i key[N];
    if constexpr (Straight) {
      // Identity input curves: with s = x (G - 1), the cell is s / 255 and the fraction weight
      // s mod 255, as in the index tables; s / 255 = s * 0x8081 >> 23 for s < 2^16. Two inputs
      // per lane, one in each 16-bit half.
      for (int q = 0; q < kPairs; ++q) {
        const int d = 2 * q;
        const __m256i both = d + 1 < N ? _mm256_or_si256(x[d], x[d + 1]) : x[d];
        const __m256i s = _mm256_mullo_epi16(both, cells);
        const __m256i i = _mm256_srli_epi16(_mm256_mulhi_epu16(s, reciprocal), 7);
        const __m256i f = _mm256_sub_epi16(s, _mm256_mullo_epi16(i, last_byte));
        const __m256i k = _mm256_or_si256(_mm256_slli_epi16(f, 8), pair_tag[q]);
        if constexpr (Short) {
          base = _mm256_add_epi32(base, _mm256_madd_epi16(i, pair_stride[q]));
        } else {
          base =
              _mm256_add_epi32(base, _mm256_mullo_epi32(_mm256_and_si256(i, low_half), stride[d]));
          if (d + 1 < N) {
            base =
                _mm256_add_epi32(base, _mm256_mullo_epi32(_mm256_srli_epi32(i, 16), stride[d + 1]));
          }
        }
        if (d + 1 < N) {
          key[d] = _mm256_and_si256(k, low_half);
          key[d + 1] = _mm256_srli_epi32(k, 16);
        } else {
          key[d] = k;
        }
      }
    } else {
      for (int d = 0; d < N; ++d) {
        const __m256i e = gather_entries(b.inputs + d * kByteValues, x[d]);
        base = _mm256_add_epi32(base, _mm256_and_si256(e, offset_bits));
        key[d] = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(e, 16), fraction_bits), tag[d]);
      }
    }
    sort_keys<N>(key, std::make_index_sequence<kNetworkLength<N>>{});
    __m256i vertex[N + 1];
    __m256i weight[N + 1];
    vertex[0] = base;
    for (int k = 1; k < N; ++k)
      vertex[k] = _mm256_add_epi32(vertex[k - 1], _mm256_permutevar8x32_epi32(strides, key[k - 1]));
    vertex[N] = _mm256_add_epi32(base, far_corner);
    // Each key's fraction (its second byte) into both 16-bit halves of its lane; the keys are in
    // descending order, so the differences stay within 0 .. 255.
    __m256i fraction[N];
    for (int k = 0; k < N; ++k)
      fraction[k] = _mm256_shuffle_epi8(key[k], fraction_halves);
    weight[0] = _mm256_sub_epi16(top, fraction[0]);
    for (int k = 1; k < N; ++k)
      weight[k] = _mm256_sub_epi16(fraction[k - 1], fraction[k]);
    weight[N] = fraction[N - 1];
    for (int g = 0; g < groups; ++g) {
      const int channels = m - 4 * g < 4 ? m - 4 * g : 4;
      const __m256i value =
          blend_group<N, Curved>(data + 4 * g, b.out_curve + 4 * g, channels, vertex, weight);
      store_group(b, how, g, value, p0, keep);
    }
  }
}

template <int N, int M>
VELMORA_AVX2 void tetrab_blocks_for(const ByteBlocks<N> &b, bool straight, bool curved) {
  if (straight && b.short_strides) {
    curved ? tetrab_blocks<N, M, true, true, true>(b) : tetrab_blocks<N, M, true, true, false>(b);
  } else if (straight) {
    curved ? tetrab_blocks<N, M, true, false, true>(b) : tetrab_blocks<N, M, true, false, false>(b);
  } else {
    curved ? tetrab_blocks<N, M, false, false, true>(b)
           : tetrab_blocks<N, M, false, false, false>(b);
  }
}

template <int N>
inline bool out_interleaved_layout(uint8_t *const *out, int m) {
  if (out[0] == nullptr) return false;
  for (int c = 1; c < m; ++c) {
    if (out[c] != out[0] + c) return false;
  }
  return true;
}

template <int N>
VELMORA_AVX2 int tetrab_kernel(const md_tetrab &t, const uint8_t *const *in, std::ptrdiff_t is,
                               uint8_t *const *out, std::ptrdiff_t os, int count,
                               const uint8_t *mask, int limit, bool interleaved_in) {
  const int m = t.shape.dimout;
  if (is <= 0 || is > INT_MAX / kBytePoints || m > kVectorMaxChannels) return 0;

  // The loads read past the bytes the block uses (by `overrun` bytes behind the last point's
  // last input byte); blocks stop where that would leave the range the call reads anyway, and
  // the scalar code takes the rest.
  ByteLoad load = ByteLoad::GatherEach;
  std::ptrdiff_t overrun = 3;
  if (interleaved_in && (is == 3 || is == 4) && N <= is) {
    load = ByteLoad::Pixels;
    overrun = 4 * is + 15 - (7 * is + N - 1);  // the second load starts at point 4
  } else if (interleaved_in) {
    load = ByteLoad::Gather;
    overrun = 4 - N;
  } else if (is == 1) {
    load = ByteLoad::Planes;
    overrun = 0;
  }
  std::ptrdiff_t last = count - 1;
  if (overrun > 0) last -= (overrun + is - 1) / is;
  const int end = last < 0 ? 0 : static_cast<int>((last + 1) / kBytePoints * kBytePoints);
  if (end == 0) return 0;

  const bool out_interleaved = out_interleaved_layout<N>(out, m);
  ByteStore how = ByteStore::PerByte;
  if (out_interleaved && m == 4 && os == 4) how = ByteStore::Interleaved4;
  if (out_interleaved && m == 3 && os == 3) how = ByteStore::Interleaved3;
  if (how == ByteStore::PerByte && os == 1) how = ByteStore::Planar;

  ByteBlocks<N> b{};
  b.data = t.data;
  for (int d = 0; d < N; ++d)
    b.in[d] = in[d];
  b.is = is;
  for (int c = 0; c < m; ++c) {
    b.out[c] = out[c];
    b.out_curve[c] = t.outCurves[c];
  }
  b.os = os;
  b.m = m;
  b.mask = mask != nullptr && limit >= 0 ? mask : nullptr;
  b.limit = limit;
  b.end = end;
  b.load = load;
  b.how = how;
  b.inputs = t.vectorInputs;
  for (int d = 0; d < N; ++d)
    b.strides[d] = t.strides[d];
  b.far_corner = t.cornerOffsets[0];
  b.cells = t.shape.nrgrid - 1;
  b.short_strides = t.strides[0] < 0x8000;

  constexpr int kMaxStraightCells = 257;  // x (G - 1) stays below 2^16
  const bool straight = t.inCurvesCurved == 0 && t.shape.nrgrid - 1 <= kMaxStraightCells;
  const bool curved = t.outCurvesCurved != 0;
  if (load == ByteLoad::Pixels && is == N && how == ByteStore::Interleaved3) {
    tetrab_blocks_for<N, 3>(b, straight, curved);
  } else if (load == ByteLoad::Pixels && is == N && how == ByteStore::Interleaved4) {
    tetrab_blocks_for<N, 4>(b, straight, curved);
  } else {
    tetrab_blocks_for<N, 0>(b, straight, curved);
  }
  return end;
}

// ---- double tables -----------------------------------------------------------------------------

VELMORA_AVX2 inline void exchange_if_greater(__m256d *f, __m256i *stride, int a, int b) {
  const __m256d greater = _mm256_cmp_pd(f[b], f[a], _CMP_GT_OQ);
  const __m256d fa = f[a];
  f[a] = _mm256_max_pd(f[b], fa);  // fb when fb > fa, else fa
  f[b] = _mm256_min_pd(f[b], fa);  // fb when fb < fa, else fa
  const __m256d sa = _mm256_castsi256_pd(stride[a]);
  const __m256d sb = _mm256_castsi256_pd(stride[b]);
  stride[a] = _mm256_castpd_si256(_mm256_blendv_pd(sa, sb, greater));
  stride[b] = _mm256_castpd_si256(_mm256_blendv_pd(sb, sa, greater));
}

template <int N, std::size_t... I>
VELMORA_AVX2 inline void sort_fractions(__m256d *f, __m256i *stride, std::index_sequence<I...>) {
  (exchange_if_greater(f, stride, kDescendingNetwork<N>[I].a, kDescendingNetwork<N>[I].b), ...);
}

// Points of 3 or 4 interleaved doubles (12 or 16 in a row) to one vector per coordinate, and back.
// Three: rows [a0 b0 c0 a1] [b1 c1 a2 b2] [c2 a3 b3 c3] <-> [a0 a1 a2 a3] [b..] [c..].
VELMORA_AVX2 inline void transpose_rows3(const __m256d *row, __m256d *column) {
  const __m256d u = _mm256_blend_pd(row[0], row[2], 0xc);          // a0 b0 b3 c3
  const __m256d v = _mm256_permute2f128_pd(row[0], row[2], 0x21);  // c0 a1 c2 a3
  const __m256d a = _mm256_blend_pd(u, row[1], 0xc);               // a0 b0 a2 b2
  const __m256d b = _mm256_blend_pd(row[1], u, 0xc);               // b1 c1 b3 c3
  column[0] = _mm256_shuffle_pd(a, v, 0xa);
  column[1] = _mm256_shuffle_pd(a, b, 0x5);
  column[2] = _mm256_shuffle_pd(v, b, 0xa);
}

VELMORA_AVX2 inline void transpose_columns3(const __m256d *column, __m256d *row) {
  const __m256d a = _mm256_unpacklo_pd(column[0], column[1]);      // a0 b0 a2 b2
  const __m256d b = _mm256_unpackhi_pd(column[1], column[2]);      // b1 c1 b3 c3
  const __m256d v = _mm256_shuffle_pd(column[2], column[0], 0xa);  // c0 a1 c2 a3
  const __m256d u = _mm256_blend_pd(a, b, 0xc);                    // a0 b0 b3 c3
  row[0] = _mm256_permute2f128_pd(u, v, 0x20);
  row[1] = _mm256_blend_pd(b, a, 0xc);
  row[2] = _mm256_permute2f128_pd(v, u, 0x31);
}

VELMORA_AVX2 inline void transpose4(const __m256d *from, __m256d *to) {
  const __m256d t0 = _mm256_unpacklo_pd(from[0], from[1]);
  const __m256d t1 = _mm256_unpackhi_pd(from[0], from[1]);
  const __m256d t2 = _mm256_unpacklo_pd(from[2], from[3]);
  const __m256d t3 = _mm256_unpackhi_pd(from[2], from[3]);
  to[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
  to[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
  to[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
  to[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

template <int N>
VELMORA_AVX2 int tetrad_kernel(const md_tetrad &t, double *const *in, std::ptrdiff_t is,
                               double *const *out, std::ptrdiff_t os, int count) {
  const int end = count / kDoublePoints * kDoublePoints;
  const int m = t.shape.dimout;
  if (end == 0 || is <= 0 || is > INT_MAX / kDoublePoints) return 0;
  if (!blocks_match_points(reinterpret_cast<const void *const *>(in), N, is,
                           reinterpret_cast<const void *const *>(out), m, os, count, nullptr,
                           sizeof(double))) {
    return 0;
  }
  const __m256d min = _mm256_set1_pd(t.min);
  const __m256d step = _mm256_set1_pd(t.step);
  const __m256d last_index = _mm256_set1_pd(t.shape.nrgrid - 1);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256i far_corner = _mm256_set1_epi64x(t.cornerOffsets[0]);
  const int is32 = static_cast<int>(is);
  const __m128i in_lanes = _mm_setr_epi32(0, is32, 2 * is32, 3 * is32);
  __m256i dimension_stride[N];
  for (int d = 0; d < N; ++d)
    dimension_stride[d] = _mm256_set1_epi64x(t.strides[d]);

  // Interleaved points (in[d] = in[0] + d, stride N) load as rows; interleaved results of 3 or 4
  // channels, all requested, store as rows.
  bool rows_in = is == N;
  for (int d = 1; d < N; ++d)
    rows_in = rows_in && in[d] == in[0] + d;
  bool rows_out = (m == 3 || m == 4) && os == m && out[0] != nullptr;
  for (int c = 1; c < m; ++c)
    rows_out = rows_out && out[c] == out[0] + c;

  for (int p0 = 0; p0 < end; p0 += kDoublePoints) {
    __m256d f[N];
    __m256i stride[N];
    __m256i base = _mm256_setzero_si256();
    __m256d coordinate[N];
    if (rows_in) {
      __m256d row[N];
      for (int r = 0; r < N; ++r)
        row[r] = _mm256_loadu_pd(in[0] + p0 * N + 4 * r);
      if constexpr (N == 3) {
        transpose_rows3(row, coordinate);
      } else {
        transpose4(row, coordinate);
      }
    }
    for (int d = 0; d < N; ++d) {
      const double *src = in[d] + p0 * is;
      const __m256d v = rows_in   ? coordinate[d]
                        : is == 1 ? _mm256_loadu_pd(src)
                                  : gather_strided(src, in_lanes);
      // max(x, 0) takes 0 for NaN and -0, min(G - 1, x) the upper end, as the scalar clamp does.
      const __m256d x = _mm256_min_pd(
          last_index, _mm256_max_pd(_mm256_div_pd(_mm256_sub_pd(v, min), step), zero));
      const __m128i i = _mm256_cvttpd_epi32(x);
      f[d] = _mm256_sub_pd(x, _mm256_cvtepi32_pd(i));
      base =
          _mm256_add_epi64(base, _mm256_mul_epi32(_mm256_cvtepi32_epi64(i), dimension_stride[d]));
      stride[d] = dimension_stride[d];
    }
    sort_fractions<N>(f, stride, std::make_index_sequence<kNetworkLength<N>>{});
    __m256i vertex[N + 1];
    __m256d weight[N + 1];
    vertex[0] = base;
    weight[0] = _mm256_sub_pd(one, f[0]);
    for (int k = 1; k < N; ++k) {
      vertex[k] = _mm256_add_epi64(vertex[k - 1], stride[k - 1]);
      weight[k] = _mm256_sub_pd(f[k - 1], f[k]);
    }
    vertex[N] = _mm256_add_epi64(base, far_corner);
    weight[N] = f[N - 1];
    if (rows_out) {
      __m256d value[4];
      for (int c = 0; c < m; ++c) {
        const double *data = t.data + c;
        value[c] = _mm256_mul_pd(weight[0], gather_doubles(data, vertex[0]));
        for (int k = 1; k <= N; ++k) {
          value[c] =
              _mm256_add_pd(value[c], _mm256_mul_pd(weight[k], gather_doubles(data, vertex[k])));
        }
      }
      __m256d row[4];
      if (m == 3) {
        transpose_columns3(value, row);
      } else {
        transpose4(value, row);
      }
      for (int r = 0; r < m; ++r)
        _mm256_storeu_pd(out[0] + p0 * m + 4 * r, row[r]);
      continue;
    }
    for (int c = 0; c < m; ++c) {
      double *dst = out[c];
      if (dst == nullptr) continue;
      const double *data = t.data + c;
      __m256d value = _mm256_mul_pd(weight[0], gather_doubles(data, vertex[0]));
      for (int k = 1; k <= N; ++k)
        value = _mm256_add_pd(value, _mm256_mul_pd(weight[k], gather_doubles(data, vertex[k])));
      if (os == 1) {
        _mm256_storeu_pd(dst + p0, value);
      } else {
        alignas(32) double lanes[kDoublePoints];
        _mm256_store_pd(lanes, value);
        for (int p = 0; p < kDoublePoints; ++p)
          dst[(p0 + p) * os] = lanes[p];
      }
    }
  }
  return end;
}

}  // namespace

int md_tetrab_interp_vector(const md_tetrab &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                            uint8_t *const *out, std::ptrdiff_t out_stride, int count,
                            const uint8_t *mask, int limit) {
  const int n = t.shape.dimin;
  if (t.vectorInputs == nullptr || (n != 3 && n != 4)) return 0;
  if (!blocks_match_points(reinterpret_cast<const void *const *>(in), n, in_stride,
                           reinterpret_cast<const void *const *>(out), t.shape.dimout, out_stride,
                           count, mask, 1)) {
    return 0;
  }
  bool interleaved = true;
  for (int d = 1; d < n; ++d)
    interleaved = interleaved && in[d] == in[0] + d;
  if (n == 3)
    return tetrab_kernel<3>(t, in, in_stride, out, out_stride, count, mask, limit, interleaved);
  return tetrab_kernel<4>(t, in, in_stride, out, out_stride, count, mask, limit, interleaved);
}

int md_tetrad_interp_vector(const md_tetrad &t, double *const *in, std::ptrdiff_t in_stride,
                            double *const *out, std::ptrdiff_t out_stride, int count) {
  switch (t.shape.dimin) {
    case 3:
      return tetrad_kernel<3>(t, in, in_stride, out, out_stride, count);
    case 4:
      return tetrad_kernel<4>(t, in, in_stride, out, out_stride, count);
    default:
      return 0;
  }
}

}  // namespace velmora

#else  // no x86 kernels in this build: the scalar code does everything

namespace velmora {

int md_tetrab_interp_vector(const md_tetrab &, const uint8_t *const *, std::ptrdiff_t,
                            uint8_t *const *, std::ptrdiff_t, int, const uint8_t *, int) {
  return 0;
}
int md_tetrad_interp_vector(const md_tetrad &, double *const *, std::ptrdiff_t, double *const *,
                            std::ptrdiff_t, int) {
  return 0;
}

}  // namespace velmora

#endif
