// Velmora demo, three short tours of the library.
//
// 1. An analytic model in a table: the sRGB -> CIELAB (D65) conversion sampled into a 3-input,
//    3-output tetrahedral table; one million colours converted in batches, compared with the
//    direct model.
// 2. From measurements to device values: the black-free patches of the FOGRA39 characterisation
//    data (offset print on coated paper, CMYK + CIELAB D50) go into a scattered-data cluster
//    store; leave-one-out accuracy and query timing of its two interpolators, Lab -> CMY.
// 3. From the cluster store to a fast table: a Lab -> CMY tetrahedral table filled from the store,
//    then a batch of in-gamut colours converted both ways, with accuracy and timing.
//
// Usage: velmora_demo [path/to/FOGRA39L.ti3]   (default: the copy shipped in examples/data)
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "cgats.h"
#include "velmora/velmora.h"

#ifndef VELMORA_DATA_DIR
#define VELMORA_DATA_DIR "examples/data"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double distance3(const double *x, const double *y) {
  return std::hypot(x[0] - y[0], x[1] - y[1], x[2] - y[2]);
}

// ---- 1. sRGB -> CIELAB through a table ---------------------------------------------------------

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

MD_TETRAD *build_srgb_table() {
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

// Converts count interleaved triples through a 3-in, 3-out table in batches of kBatch.
void convert(const MD_TETRAD *table, double *in, double *out, int count) {
  for (int first = 0; first < count; first += kBatch) {
    const int n = std::min(kBatch, count - first);
    double *pixel = in + 3 * static_cast<size_t>(first);
    double *result = out + 3 * static_cast<size_t>(first);
    double *ins[3] = {pixel, pixel + 1, pixel + 2};
    double *outs[3] = {result, result + 1, result + 2};
    md_tetrad_interp(table, ins, 3, outs, 3, n);
  }
}

int srgb_table_demo() {
  MD_TETRAD *table = build_srgb_table();
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

  const auto start = Clock::now();
  convert(table, rgb.data(), lab.data(), kColours);
  const double seconds = seconds_since(start);

  double sum_de = 0.0, max_de = 0.0;
  for (int i = 0; i < kColours; ++i) {
    double exact[3];
    srgb_to_lab(&rgb[3 * static_cast<size_t>(i)], exact);
    const double de = distance3(&lab[3 * static_cast<size_t>(i)], exact);
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

// ---- Measured data -----------------------------------------------------------------------------

// A black-free patch: CMY as fractions 0..1 (the file gives percent) and its measured Lab.
struct Patch {
  double cmy[3];
  double lab[3];
};

std::vector<Patch> black_free_patches(const cgats::Data &data) {
  const char *names[7] = {"CMYK_C", "CMYK_M", "CMYK_Y", "CMYK_K", "LAB_L", "LAB_A", "LAB_B"};
  int col[7];
  for (int i = 0; i < 7; ++i) {
    col[i] = data.column(names[i]);
    if (col[i] < 0) throw std::runtime_error(std::string("the data has no field ") + names[i]);
  }
  std::vector<Patch> patches;
  for (std::size_t r = 0; r < data.rows.size(); ++r) {
    if (data.number(r, col[3]) != 0.0) continue;
    Patch p;
    for (int i = 0; i < 3; ++i) {
      p.cmy[i] = data.number(r, col[i]) / 100.0;
      p.lab[i] = data.number(r, col[4 + i]);
    }
    patches.push_back(p);
  }
  return patches;
}

// The press as a forward model, CMY -> Lab: tetrahedral interpolation in the chart's own 9 x 9 x 9
// grid of CMY levels (repeated patches averaged). It stands in for printing a CMY value and
// measuring it, so that an inverse result can be judged by the colour it would print.
class GridPress {
 public:
  static constexpr int kLevels = 9;
  static constexpr double kLevel[kLevels] = {0.0, 0.1, 0.2, 0.3, 0.4, 0.55, 0.7, 0.85, 1.0};

  // False when the patches do not cover the whole grid.
  bool build(const std::vector<Patch> &patches) {
    std::vector<int> hits(lab_.size(), 0);
    for (auto &node : lab_)
      node = {0.0, 0.0, 0.0};
    for (const Patch &p : patches) {
      int idx[3];
      bool on_grid = true;
      for (int i = 0; i < 3; ++i) {
        idx[i] = level_index(p.cmy[i]);
        on_grid = on_grid && idx[i] >= 0;
      }
      if (!on_grid) continue;
      const int n = node(idx[0], idx[1], idx[2]);
      for (int i = 0; i < 3; ++i)
        lab_[n][i] += p.lab[i];
      ++hits[n];
    }
    for (std::size_t n = 0; n < lab_.size(); ++n) {
      if (hits[n] == 0) return false;
      for (double &v : lab_[n])
        v /= hits[n];
    }
    return true;
  }

  // Splits the cube of the cell holding cmy into six tetrahedra along its main diagonal and
  // blends the four corners of the one that holds cmy.
  void lab_of(const double *cmy, double *lab) const {
    int base[3];
    double t[3];
    for (int i = 0; i < 3; ++i) {
      const double x = std::clamp(cmy[i], 0.0, 1.0);
      int k = 0;
      while (k < kLevels - 2 && x > kLevel[k + 1])
        ++k;
      base[i] = k;
      t[i] = (x - kLevel[k]) / (kLevel[k + 1] - kLevel[k]);
    }
    int order[3] = {0, 1, 2};  // axes by falling fraction
    std::sort(order, order + 3, [&](int a, int b) { return t[a] > t[b]; });
    int corner[3] = {base[0], base[1], base[2]};
    for (int i = 0; i < 3; ++i)
      lab[i] = 0.0;
    for (int step = 0; step <= 3; ++step) {
      // Corner `step` of the walk from the base corner along the axes in falling order.
      const double w = step == 0   ? 1.0 - t[order[0]]
                       : step == 3 ? t[order[2]]
                                   : t[order[step - 1]] - t[order[step]];
      const auto &node_lab = lab_[node(corner[0], corner[1], corner[2])];
      for (int i = 0; i < 3; ++i)
        lab[i] += w * node_lab[i];
      if (step < 3) ++corner[order[step]];
    }
  }

 private:
  static int level_index(double v) {
    for (int k = 0; k < kLevels; ++k)
      if (std::fabs(v - kLevel[k]) < 1e-9) return k;
    return -1;
  }
  static int node(int c, int m, int y) { return (c * kLevels + m) * kLevels + y; }

  std::vector<std::array<double, 3>> lab_ =
      std::vector<std::array<double, 3>>(kLevels * kLevels * kLevels);
};

// ---- 2. measurements -> device values ----------------------------------------------------------

// The Lab grid of the store: the whole CIELAB box at 0.1 units, so snapping a measurement to its
// node moves it by at most 0.09 Delta E.
constexpr double kLabStep = 0.1;

bool same_cmy(const Patch &x, const Patch &y) {
  return x.cmy[0] == y.cmy[0] && x.cmy[1] == y.cmy[1] && x.cmy[2] == y.cmy[2];
}

// A store of the patches, without those printed with the same CMY as patches[skip] when skip is
// an index (the chart repeats some patches; a repeat would answer for its twin).
std::unique_ptr<TClusterGroup> make_group(const std::vector<Patch> &patches,
                                          std::size_t skip = static_cast<std::size_t>(-1)) {
  std::unique_ptr<TClusterGroup> group(TClusterGroup::Create(3, 0.0, 100.0, kLabStep, -128.0, 128.0,
                                                             kLabStep, -128.0, 128.0, kLabStep,
                                                             static_cast<int>(patches.size())));
  if (!group) return nullptr;
  for (std::size_t i = 0; i < patches.size(); ++i) {
    if (skip < patches.size() && same_cmy(patches[i], patches[skip])) continue;
    double lab[3] = {patches[i].lab[0], patches[i].lab[1], patches[i].lab[2]};
    if (group->AddPoint(patches[i].cmy, lab) != 0) return nullptr;
  }
  if (group->UpdateForAddedPoints() != 0) return nullptr;
  return group;
}

// The plane of constant hue through a Lab colour (it holds the L axis): the natural plane in
// which to keep a colour's hue while moving it.
void hue_plane(const double *lab, double *plane) {
  plane[0] = 0.0;
  plane[1] = lab[2];
  plane[2] = -lab[1];
  plane[3] = 0.0;
}

// Largest channel difference, in percent.
double device_error(const double *x, const double *y) {
  return 100.0 * std::max({std::fabs(x[0] - y[0]), std::fabs(x[1] - y[1]), std::fabs(x[2] - y[2])});
}

struct Stats {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double mean() const {
    double s = 0.0;
    for (double v : values)
      s += v;
    return values.empty() ? 0.0 : s / static_cast<double>(values.size());
  }
  double percentile(double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
  }
};

void print_stats(const char *label, Stats &device, Stats *colour) {
  std::printf("  %-27s device error %%: mean %5.2f  95%% %5.2f  max %6.2f", label, device.mean(),
              device.percentile(0.95), device.percentile(1.0));
  if (colour != nullptr)
    std::printf("  | printed dE*ab: mean %5.2f  95%% %5.2f  max %6.2f", colour->mean(),
                colour->percentile(0.95), colour->percentile(1.0));
  std::printf("\n");
}

// Times `count` calls of fn(i) and returns microseconds per call.
template <typename Fn>
double microseconds_per_call(int count, Fn fn) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i)
    fn(i);
  return 1e6 * seconds_since(start) / count;
}

int measured_demo(const std::vector<Patch> &patches, const GridPress *press,
                  std::unique_ptr<TClusterGroup> &full) {
  const int n = static_cast<int>(patches.size());
  std::printf("\nFOGRA39 black-free patches (K = 0): %d, Lab -> CMY through a cluster store\n", n);
  std::printf(
      "(device error: largest of |dC|, |dM|, |dY| in percent; printed dE*ab: distance from\n"
      " the target to the colour the CMY result prints, judged on the chart's CMY grid)\n");

  // Leave-one-out: each patch is predicted from a store of all the others (its repeats left out
  // as well).
  Stats dev_npar, dev_par, de_npar, de_par;
  int failures = 0;
  const auto loo_start = Clock::now();
  for (int i = 0; i < n; ++i) {
    const auto group = make_group(patches, static_cast<std::size_t>(i));
    if (!group) {
      std::fprintf(stderr, "could not build the cluster store\n");
      return 1;
    }
    const double *lab = patches[static_cast<std::size_t>(i)].lab;
    const double *truth = patches[static_cast<std::size_t>(i)].cmy;
    double plane[4], cmy[3], dist, printed[3];
    hue_plane(lab, plane);
    if (group->InterpolateNPar(lab, cmy, &dist) == 0) {
      dev_npar.add(device_error(cmy, truth));
      if (press != nullptr) {
        press->lab_of(cmy, printed);
        de_npar.add(distance3(printed, lab));
      }
    } else {
      ++failures;
    }
    if (group->InterpolatePar(lab, plane, cmy, &dist) == 0) {
      dev_par.add(device_error(cmy, truth));
      if (press != nullptr) {
        press->lab_of(cmy, printed);
        de_par.add(distance3(printed, lab));
      }
    } else {
      ++failures;
    }
  }
  std::printf(
      "leave-one-out, repeats of the patch left out too (%d stores built and queried in %.2f s, %d "
      "failed queries):\n",
      n, seconds_since(loo_start), failures);
  print_stats("InterpolateNPar", dev_npar, press != nullptr ? &de_npar : nullptr);
  print_stats("InterpolatePar (hue plane)", dev_par, press != nullptr ? &de_par : nullptr);

  // Timing on the full store, querying every patch's Lab many times over.
  const auto build_start = Clock::now();
  full = make_group(patches);
  const double build_ms = 1e3 * seconds_since(build_start);
  if (!full) {
    std::fprintf(stderr, "could not build the cluster store\n");
    return 1;
  }
  constexpr int kRounds = 10;
  volatile double sink = 0.0;  // keeps the timed calls from being optimised away
  const double us_npar = microseconds_per_call(kRounds * n, [&](int i) {
    double cmy[3], dist;
    full->InterpolateNPar(patches[static_cast<std::size_t>(i % n)].lab, cmy, &dist);
    sink = sink + cmy[0];
  });
  const double us_par = microseconds_per_call(kRounds * n, [&](int i) {
    const double *lab = patches[static_cast<std::size_t>(i % n)].lab;
    double plane[4], cmy[3], dist;
    hue_plane(lab, plane);
    full->InterpolatePar(lab, plane, cmy, &dist);
    sink = sink + cmy[0];
  });
  std::printf(
      "full store of %d patches built in %.2f ms; per query: InterpolateNPar %.2f us, "
      "InterpolatePar %.2f us\n",
      n, build_ms, us_npar, us_par);
  return 0;
}

// ---- 3. cluster store -> Lab -> CMY table ------------------------------------------------------

constexpr int kLabGrid = 33;
constexpr int kBatchColours = 20000;
constexpr int kTableRounds = 50;  // the table converts the batch this often for its timing
constexpr int kInsideSample = 5000;

// The table's inputs share one range, 0..1; each maps linearly onto a Lab axis of this box, which
// holds the measured gamut with a margin.
constexpr double kBoxMin[3] = {0.0, -90.0, -90.0};
constexpr double kBoxMax[3] = {100.0, 100.0, 110.0};

void table_to_lab(const double *t, double *lab) {
  for (int i = 0; i < 3; ++i)
    lab[i] = kBoxMin[i] + t[i] * (kBoxMax[i] - kBoxMin[i]);
}
void lab_to_table(const double *lab, double *t) {
  for (int i = 0; i < 3; ++i)
    t[i] = (lab[i] - kBoxMin[i]) / (kBoxMax[i] - kBoxMin[i]);
}

int table_demo(const std::vector<Patch> &patches, const GridPress *press,
               const TClusterGroup &group) {
  std::printf(
      "\nLab -> CMY table (%d^3 vertices over L 0..100, a %.0f..%.0f, b %.0f..%.0f) "
      "filled from the cluster store\n",
      kLabGrid, kBoxMin[1], kBoxMax[1], kBoxMin[2], kBoxMax[2]);
  const auto fill_start = Clock::now();
  MD_TETRAD *table = md_tetrad_new(3, 3, kLabGrid, 0.0, 1.0);
  if (table == nullptr) {
    std::fprintf(stderr, "could not create the table\n");
    return 1;
  }
  int index[3] = {0, 0, 0}, failed = 0;
  double t[3];
  do {
    double *vertex = md_tetrad_vertex_get(table, index, t);
    double lab[3], dist;
    table_to_lab(t, lab);
    if (group.InterpolateNPar(lab, vertex, &dist) != 0) {
      vertex[0] = vertex[1] = vertex[2] = 0.0;
      ++failed;
    }
  } while (md_tetrad_scan_vertex(table, index) != 0);
  std::printf("filled in %.2f s (%d vertices failed)\n", seconds_since(fill_start), failed);

  // The batch: colours the press can print, from random CMY through the forward model (or, with
  // no model, the measured colours themselves).
  std::mt19937_64 rng(39);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int count = press != nullptr ? kBatchColours : static_cast<int>(patches.size());
  std::vector<double> truth(3 * static_cast<size_t>(count)), lab(truth.size()), in(truth.size());
  for (int i = 0; i < count; ++i) {
    double *c = &truth[3 * static_cast<size_t>(i)], *l = &lab[3 * static_cast<size_t>(i)];
    if (press != nullptr) {
      for (int k = 0; k < 3; ++k)
        c[k] = unit(rng);
      press->lab_of(c, l);
    } else {
      std::copy(patches[static_cast<size_t>(i)].cmy, patches[static_cast<size_t>(i)].cmy + 3, c);
      std::copy(patches[static_cast<size_t>(i)].lab, patches[static_cast<size_t>(i)].lab + 3, l);
    }
    lab_to_table(l, &in[3 * static_cast<size_t>(i)]);
  }

  std::vector<double> direct(truth.size()), tabled(truth.size());
  const auto direct_start = Clock::now();
  for (int i = 0; i < count; ++i) {
    double dist;
    group.InterpolateNPar(&lab[3 * static_cast<size_t>(i)], &direct[3 * static_cast<size_t>(i)],
                          &dist);
  }
  const double direct_s = seconds_since(direct_start);
  const auto table_start = Clock::now();
  for (int round = 0; round < kTableRounds; ++round)
    convert(table, in.data(), tabled.data(), count);
  const double table_s = seconds_since(table_start) / kTableRounds;
  md_tetrad_kill(table);

  Stats dev_direct, dev_table, dev_gap, de_direct, de_table;
  for (int i = 0; i < count; ++i) {
    const size_t o = 3 * static_cast<size_t>(i);
    dev_direct.add(device_error(&direct[o], &truth[o]));
    dev_table.add(device_error(&tabled[o], &truth[o]));
    dev_gap.add(device_error(&tabled[o], &direct[o]));
    if (press != nullptr) {
      double printed[3];
      press->lab_of(&direct[o], printed);
      de_direct.add(distance3(printed, &lab[o]));
      press->lab_of(&tabled[o], printed);
      de_table.add(distance3(printed, &lab[o]));
    }
  }
  std::printf("%d %s colours, error against the CMY that produced them:\n", count,
              press != nullptr ? "printable" : "measured");
  print_stats("cluster store", dev_direct, press != nullptr ? &de_direct : nullptr);
  print_stats("table", dev_table, press != nullptr ? &de_table : nullptr);
  print_stats("table vs cluster store", dev_gap, nullptr);
  std::printf(
      "throughput: cluster store %.3f million colours/s, table %.1f million colours/s "
      "(%.0fx)\n",
      count / direct_s / 1e6, count / table_s / 1e6, direct_s / table_s);

  const int sample = std::min(count, kInsideSample);
  int inside = 0;
  const double us_inside = microseconds_per_call(
      sample, [&](int i) { inside += group.IsInside(&lab[3 * static_cast<size_t>(i)]); });
  std::printf("IsInside: %d of %d of these colours inside the measured cloud (%.1f us per query)\n",
              inside, sample, us_inside);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (srgb_table_demo() != 0) return 1;

  const std::string path = argc > 1 ? argv[1] : VELMORA_DATA_DIR "/FOGRA39L.ti3";
  std::vector<Patch> patches;
  try {
    patches = black_free_patches(cgats::read_file(path));
  } catch (const std::exception &error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  if (patches.size() < 4) {
    std::fprintf(stderr, "%s: too few black-free patches (%zu)\n", path.c_str(), patches.size());
    return 1;
  }
  GridPress press;
  const bool have_press = press.build(patches);
  if (!have_press)
    std::printf("\n(the patches do not cover the 9-level CMY grid: no printed-colour errors)\n");

  std::unique_ptr<TClusterGroup> group;
  if (measured_demo(patches, have_press ? &press : nullptr, group) != 0) return 1;
  return table_demo(patches, have_press ? &press : nullptr, *group);
}
