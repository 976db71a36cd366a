// The flat families allocate through these wrappers, so that tests can make allocation fail on
// demand and check the "report, release, return null" paths.
#ifndef VELMORA_FOUNDATION_ALLOC_H
#define VELMORA_FOUNDATION_ALLOC_H

#include <cstddef>

namespace velmora {

// malloc / calloc / free, except that an armed test hook makes allocation return null.
void *mem_alloc(std::size_t bytes);
void *mem_calloc(std::size_t count, std::size_t size);
void mem_free(void *block);

// Typed helpers: count elements of T, null on failure.
template <typename T>
T *alloc_array(std::size_t count) {
  return static_cast<T *>(mem_alloc(count * sizeof(T)));
}
template <typename T>
T *calloc_array(std::size_t count) {
  return static_cast<T *>(mem_calloc(count, sizeof(T)));
}

namespace test_hooks {
// Lets the next `successes` allocations succeed and makes every later one fail, process-wide,
// until disarmed with a negative value. Tests only.
void fail_allocations_after(long successes);
}  // namespace test_hooks

}  // namespace velmora

#endif
