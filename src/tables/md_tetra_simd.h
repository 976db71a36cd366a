// Vector kernels of the tetrahedral tables and the choice between them and the scalar code.
//
// The scalar interpolation is the reference: a kernel handles a leading run of a call's points
// (whole blocks of 8 byte points or 4 double points) with results identical bit for bit, and the
// scalar code does the rest. The kernels exist for 3 and 4 inputs; byte tables also need the
// default weight range and fewer than 2^24 grid bytes. The path is chosen once per process, from
// what the processor supports; VELMORA_NO_SIMD=1 in the environment forces the scalar path.
#ifndef VELMORA_TABLES_MD_TETRA_SIMD_H
#define VELMORA_TABLES_MD_TETRA_SIMD_H

#include <cstddef>
#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_TABLES_X86_KERNELS 1
#else
#define VELMORA_TABLES_X86_KERNELS 0
#endif

struct md_tetrab;
struct md_tetrad;

namespace velmora {

// Output channels a kernel call serves (the scalar code takes tables with more).
inline constexpr int kVectorMaxChannels = 32;

// Whether this build has vector kernels and this processor can run them (AVX2).
bool vector_kernels_supported();

// Whether interpolation uses the vector kernels: supported, not switched off through
// VELMORA_NO_SIMD, and not forced off by a test.
bool vector_kernels_enabled();

namespace test_hooks {
enum class TablePath { Automatic, Scalar, Vector };
// Forces the path of every later interpolation, process-wide (Vector only where supported);
// Automatic restores the choice made from the processor and the environment. Tests only.
void force_table_path(TablePath path);
}  // namespace test_hooks

// True when running a call's points in blocks, each block's loads before its stores, yields what
// running them one by one does: no point's output lands on an input or mask element that a later
// point reads, and no two outputs collide. Elements are `element` bytes; strides count elements.
bool blocks_match_points(const void *const *in, int n, std::ptrdiff_t in_stride,
                         const void *const *out, int m, std::ptrdiff_t out_stride, int count,
                         const void *mask, std::size_t element);

// Vector kernels: interpolate the first points of a call and return how many (a multiple of the
// block size, possibly 0); the caller interpolates the rest with the scalar code. `limit` is the
// mask limit of md_tetrab.cpp (a point is skipped when mask[p] <= limit). Nothing is advanced.
int md_tetrab_interp_vector(const md_tetrab &t, const uint8_t *const *in, std::ptrdiff_t in_stride,
                            uint8_t *const *out, std::ptrdiff_t out_stride, int count,
                            const uint8_t *mask, int limit);
int md_tetrad_interp_vector(const md_tetrad &t, double *const *in, std::ptrdiff_t in_stride,
                            double *const *out, std::ptrdiff_t out_stride, int count);

}  // namespace velmora

#endif
