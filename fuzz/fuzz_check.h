// Checks of the fuzz programs: a failed check names itself and its line on stderr and aborts, so
// that libFuzzer keeps the input as a finding.
#ifndef VELMORA_FUZZ_FUZZ_CHECK_H
#define VELMORA_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

#endif
