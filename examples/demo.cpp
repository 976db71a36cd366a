// Velmora demo: builds a 3-input, 3-output table of the sRGB -> CIELAB (D65) conversion from an
// analytic colour model, converts one million colours through it in batches and reports the
// colour difference against the direct model and the throughput.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "velmora/velmora.h"

namespace {

constexpr int kGridPoints = 33;
constexpr int kColours = 1 << 20;
constexpr int kBatch = 4096;
constexpr double kWhite[3] = {95.047, 100.0, 108.883};  // D65

double srgb_to_linear(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double lab_f(double t) {
  constexpr double kEpsilon = 216.0 / 24389.0;
  constexpr double kKappa = 24389.0 / 27.0;
  return t > kEpsilon ? std::cbrt(t) : (kKappa * t + 16.0) / 116.0;
}

// sRGB in [0, 1] to CIELAB relative to D65.
void srgb_to_lab(const double rgb[3], double lab[3]) {
  const double r = srgb_to_linear(rgb[0]), g = srgb_to_linear(rgb[1]), b = srgb_to_linear(rgb[2]);
  const double xyz[3] = {100.0 * (0.4124564 * r + 0.3575761 * g + 0.1804375 * b),
                         100.0 * (0.2126729 * r + 0.7151522 * g + 0.0721750 * b),
                         100.0 * (0.0193339 * r + 0.1191920 * g + 0.9503041 * b)};
  const double fx = lab_f(xyz[0] / kWhite[0]);
  const double fy = lab_f(xyz[1] / kWhite[1]);
  const double fz = lab_f(xyz[2] / kWhite[2]);
  lab[0] = 116.0 * fy - 16.0;
  lab[1] = 500.0 * (fx - fy);
  lab[2] = 200.0 * (fy - fz);
}

MD_TETRAD *build_table() {
  MD_TETRAD *table = md_tetrad_new(3, 3, kGridPoints, 0.0, 1.0);
  if (table == nullptr) return nullptr;
  int index[3] = {0, 0, 0};
  double rgb[3];
  do {
    double *vertex = md_tetrad_vertex_get(table, index, rgb);
    srgb_to_lab(rgb, vertex);
  } while (md_tetrad_scan_vertex(table, index) != 0);
  return table;
}

}  // namespace

int main() {
  MD_TETRAD *table = build_table();
  if (table == nullptr) {
    std::fprintf(stderr, "could not create the table\n");
    return 1;
  }

  // Random colours, stored as interleaved RGB triples.
  std::mt19937_64 rng(20261206);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> rgb(3 * static_cast<size_t>(kColours));
  for (double &v : rgb)
    v = unit(rng);
  std::vector<double> lab(rgb.size());

  const auto start = std::chrono::steady_clock::now();
  for (int first = 0; first < kColours; first += kBatch) {
    const int count = std::min(kBatch, kColours - first);
    double *pixel = rgb.data() + 3 * static_cast<size_t>(first);
    double *result = lab.data() + 3 * static_cast<size_t>(first);
    double *in[3] = {pixel, pixel + 1, pixel + 2};
    double *out[3] = {result, result + 1, result + 2};
    md_tetrad_interp(table, in, 3, out, 3, count);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  double sum_de = 0.0, max_de = 0.0;
  for (int i = 0; i < kColours; ++i) {
    double exact[3];
    srgb_to_lab(&rgb[3 * static_cast<size_t>(i)], exact);
    const double *got = &lab[3 * static_cast<size_t>(i)];
    const double de = std::hypot(got[0] - exact[0], got[1] - exact[1], got[2] - exact[2]);
    sum_de += de;
    max_de = std::max(max_de, de);
  }
  md_tetrad_kill(table);

  std::printf("sRGB -> CIELAB (D65) through a %d^3 tetrahedral table\n", kGridPoints);
  std::printf("colours converted : %d\n", kColours);
  std::printf("mean delta E*ab   : %.5f\n", sum_de / kColours);
  std::printf("max delta E*ab    : %.5f\n", max_de);
  std::printf("throughput        : %.1f million colours/s\n", kColours / seconds / 1e6);
  return 0;
}
