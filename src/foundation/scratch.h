// Working storage of one operation: arrays taken from the library's allocator (so the tests' hook
// can make any of them fail) and released together when the holder goes out of scope or is
// released. Failure is sticky: once one array could not be had, every later take() returns null
// as well, so a caller takes everything it needs and checks ok() once.
#ifndef VELMORA_FOUNDATION_SCRATCH_H
#define VELMORA_FOUNDATION_SCRATCH_H

#include <cstddef>

#include "foundation/alloc.h"

namespace velmora {

class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  ~Scratch() { release(); }

  // count elements of T, uninitialised; null when memory is missing (or was missing before).
  template <typename T>
  T *take(std::size_t count) {
    if (failed_ || used_ == kCapacity) {
      failed_ = true;
      return nullptr;
    }
    T *block = alloc_array<T>(count);
    if (block == nullptr) {
      failed_ = true;
      return nullptr;
    }
    blocks_[used_++] = block;
    return block;
  }

  // Every take() so far succeeded.
  bool ok() const { return !failed_; }

  // Releases every array taken; the holder can be used again.
  void release() {
    for (int i = 0; i < used_; ++i)
      mem_free(blocks_[i]);
    used_ = 0;
    failed_ = false;
  }

 private:
  static constexpr int kCapacity = 12;
  void *blocks_[kCapacity] = {};
  int used_ = 0;
  bool failed_ = false;
};

}  // namespace velmora

#endif
