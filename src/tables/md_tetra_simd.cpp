#include "tables/md_tetra_simd.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

using test_hooks::TablePath;

std::atomic<TablePath> forced_path{TablePath::Automatic};

bool processor_has_avx2() {
#if VELMORA_TABLES_X86_KERNELS
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

// VELMORA_NO_SIMD set to anything but "" or "0" switches the kernels off.
bool switched_off_by_environment() {
  const char *value = std::getenv("VELMORA_NO_SIMD");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

using Address = std::intptr_t;

Address address(const void *p) {
  return static_cast<Address>(reinterpret_cast<std::uintptr_t>(p));
}

Address floor_div(Address a, Address b) {
  const Address q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// Whether k * stride comes within `element` bytes of delta for a whole k in [lo, hi]: an element
// at offset delta from another array then shares bytes with element k of it. With stride >=
// element only the two multiples around delta can.
bool lands_near(Address delta, Address stride, Address element, Address lo, Address hi) {
  const Address k = floor_div(delta, stride);
  for (Address c = k; c <= k + 1; ++c) {
    if (c < lo || c > hi) continue;
    const Address gap = c * stride - delta;
    if (gap < element && -gap < element) return true;
  }
  return false;
}

bool intervals_meet(Address a, Address a_bytes, Address b, Address b_bytes) {
  return a < b + b_bytes && b < a + a_bytes;
}

}  // namespace

bool vector_kernels_supported() {
  static const bool supported = processor_has_avx2();
  return supported;
}

bool vector_kernels_enabled() {
  static const bool automatic = vector_kernels_supported() && !switched_off_by_environment();
  switch (forced_path.load(std::memory_order_relaxed)) {
    case TablePath::Scalar:
      return false;
    case TablePath::Vector:
      return vector_kernels_supported();
    case TablePath::Automatic:
      break;
  }
  return automatic;
}

namespace test_hooks {
void force_table_path(TablePath path) {
  forced_path.store(path, std::memory_order_relaxed);
}
}  // namespace test_hooks

bool blocks_match_points(const void *const *in, int n, std::ptrdiff_t in_stride,
                         const void *const *out, int m, std::ptrdiff_t out_stride, int count,
                         const void *mask, std::size_t element) {
  if (count <= 0 || in_stride <= 0 || out_stride <= 0) return false;
  const Address e = static_cast<Address>(element);
  const Address si = in_stride * e;
  const Address so = out_stride * e;
  const Address last = count - 1;
  const Address out_bytes = last * so + e;
  const Address in_bytes = last * si + e;
  bool any_output = false;
  for (int c = 0; c < m; ++c) {
    if (out[c] == nullptr) continue;
    any_output = true;
    const Address o = address(out[c]);
    // Two outputs sharing bytes: the order of the stores would decide.
    for (int c2 = c + 1; c2 < m; ++c2) {
      if (out[c2] != nullptr && lands_near(address(out[c2]) - o, so, e, -last, last)) return false;
    }
    // An output on the input of a later point: that point must read it after the store.
    for (int d = 0; d < n; ++d) {
      const Address i = address(in[d]);
      if (si == so ? lands_near(o - i, so, e, 1, last) : intervals_meet(o, out_bytes, i, in_bytes))
        return false;
    }
    if (mask != nullptr && intervals_meet(o, out_bytes, address(mask), count)) return false;
  }
  return any_output;
}

}  // namespace velmora
