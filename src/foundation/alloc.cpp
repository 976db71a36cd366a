#include "foundation/alloc.h"

#include <atomic>
#include <cstdlib>

namespace velmora {

namespace {
// Allocations left before failure; negative means the hook is disarmed.
std::atomic<long> allocations_left{-1};

bool allocation_refused() {
  long left = allocations_left.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) return true;
    if (allocations_left.compare_exchange_weak(left, left - 1)) return false;
  }
  return false;
}
}  // namespace

void *mem_alloc(std::size_t bytes) {
  if (allocation_refused()) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void *mem_calloc(std::size_t count, std::size_t size) {
  if (allocation_refused()) return nullptr;
  return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void mem_free(void *block) {
  std::free(block);
}

namespace test_hooks {
void fail_allocations_after(long successes) {
  allocations_left.store(successes);
}
}  // namespace test_hooks

}  // namespace velmora
