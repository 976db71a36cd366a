// Support for the fuzz programs: checks that name themselves, and a reader that turns the fuzz
// input into the values a program needs.
#ifndef VELMORA_FUZZ_FUZZ_SUPPORT_H
#define VELMORA_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A failed check names itself and its line on stderr and aborts, so that libFuzzer keeps the
// input as a finding.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace velmora::fuzz {

// Reads the input front to back; past its end every byte reads as 0.
class Input {
 public:
  Input(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Any double, NaNs and infinities included, from the next 8 bytes (most significant first).
  double raw_double() {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
      bits = bits << 8 | byte();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

 private:
  const uint8_t *data_;
  std::size_t size_, at_ = 0;
};

// Vertices of a grid of nrgrid points on each of dimin axes, or -1 above limit.
inline int grid_vertex_count(int dimin, int nrgrid, long long limit) {
  long long count = 1;
  for (int d = 0; d < dimin && count <= limit; ++d)
    count *= nrgrid;
  return count > limit ? -1 : static_cast<int>(count);
}

// A diagnostics handler that drops reports: the fuzz programs expect refusals.
inline void ignore_report(void *, const char *, const char *, int) {}

}  // namespace velmora::fuzz

#endif
