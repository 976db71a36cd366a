// Samples for the cluster store tests and its benchmark: a simulated three-ink printer (device
// values as fractions 0..1, Lab D65), the black-free FOGRA39 press measurements, and an owning
// handle for a store. Needs only the public headers, so that the benchmark can include it.
#ifndef VELMORA_TESTS_CLUSTER_SAMPLES_H
#define VELMORA_TESTS_CLUSTER_SAMPLES_H

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <random>
#include <vector>

#include "velmora/tclustergroup.h"

#ifdef VELMORA_DATA_DIR
#include "cgats.h"
#endif

namespace cluster_test {

struct GroupDeleter {
  void operator()(TClusterGroup *g) const { delete g; }
};
using Group = std::unique_ptr<TClusterGroup, GroupDeleter>;

using Lab = std::array<double, 3>;
using Dev = std::array<double, 3>;

struct Sample {
  Dev dev;
  Lab lab;
};

// A three-ink print simulated by block dyes: each ink absorbs mostly in one band of an RGB-like
// linear space, which is then taken to Lab (D65). Smooth, monotone, and curved like a real
// press; device values are fractions 0..1.
inline Lab printer_lab(const Dev &cmy) {
  const double c = cmy[0], m = cmy[1], y = cmy[2];
  const double r = (1 - 0.88 * c) * (1 - 0.12 * m) * (1 - 0.04 * y);
  const double gr = (1 - 0.22 * c) * (1 - 0.86 * m) * (1 - 0.10 * y);
  const double b = (1 - 0.08 * c) * (1 - 0.30 * m) * (1 - 0.90 * y);
  const double xyz[3] = {0.4124 * r + 0.3576 * gr + 0.1805 * b,
                         0.2126 * r + 0.7152 * gr + 0.0722 * b,
                         0.0193 * r + 0.1192 * gr + 0.9505 * b};
  const double white[3] = {0.95047, 1.0, 1.08883};
  double f[3];
  for (int i = 0; i < 3; ++i) {
    const double t = xyz[i] / white[i];
    f[i] = t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0;
  }
  return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

// count random device values of the printer, in random order.
inline std::vector<Sample> printer_random(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Sample> out;
  for (int i = 0; i < count; ++i) {
    const Dev d{unit(rng), unit(rng), unit(rng)};
    out.push_back({d, printer_lab(d)});
  }
  return out;
}

#ifdef VELMORA_DATA_DIR
// The 818 black-free patches of FOGRA39 (offset on coated paper, CMYK + CIELAB D50), device
// values as fractions 0..1, in file order.
inline std::vector<Sample> fogra39_black_free() {
  const cgats::Data data = cgats::read_file(VELMORA_DATA_DIR "/FOGRA39L.ti3");
  const int c = data.column("CMYK_C"), k = data.column("CMYK_K"), l = data.column("LAB_L");
  std::vector<Sample> out;
  for (std::size_t r = 0; r < data.rows.size(); ++r) {
    if (data.number(r, k) != 0.0) continue;
    Sample s;
    for (int i = 0; i < 3; ++i) {
      s.dev[i] = data.number(r, c + i) / 100.0;
      s.lab[i] = data.number(r, l + i);
    }
    out.push_back(s);
  }
  return out;
}
#endif

}  // namespace cluster_test

#endif
