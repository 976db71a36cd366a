// Lab-to-process tables. Interpolate against Little CMS 2 interpolating the same grid: an output
// profile with Lab PCS whose B-to-A table holds the grid, which Little CMS interpolates
// trilinearly because its inputs are Lab, run as a float Lab -> CMYK transform. Cases: 4 channels
// on 33 x 33 x 33 (random colours and an ordered sweep) and on 65 x 129 x 129 (random colours),
// 2^20 colours each. Accuracy is checked before timing.
//
// FillTable wall time on 33 x 33 x 33 and 65 x 129 x 129 with a cheap model and samples filling a
// sphere of colours, on one thread and on two. FillTable sizes its worker pool from the
// processors the calling thread may run on (its affinity mask, at most the hardware
// concurrency), so the one-thread case runs with the calling thread pinned to one processor.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/ratio_reporter.h"
#include "velmora/labtoproctable.h"

#ifdef __linux__
#include <sched.h>
#endif

#ifdef VELMORA_HAVE_LCMS2
#include "../../tests/engines/lab_table_lcms.h"
#endif

namespace {

constexpr int kColours = 1 << 20;
constexpr int kChannels = 4;
constexpr int kRepetitions = 3;
constexpr double kMinSeconds = 0.3;

struct Shape {
  const char *name;
  int stepL, stepA, stepB, coarseStep;
};
const Shape kSmall{"33x33x33", 4, 8, 8, 4};
const Shape kLarge{"65x129x129", 2, 2, 2, 2};

struct Grid {
  int nrL, nrA, nrB;
};

// Grid sizes as the table derives them (all these spacings divide the Lab ranges).
Grid GridOf(const Shape &s) {
  return {128 / s.stepL + 1, 256 / s.stepA + 1, 256 / s.stepB + 1};
}

double Smooth(const double *lab, int o) {
  return 127.5 + 120.0 * std::sin(0.021 * lab[0] + 0.013 * (o + 1) * lab[1]) *
                     std::cos(0.011 * (o + 2) * lab[2]);
}

LabToProcTable MakeTable(const Shape &s) {
  LabToProcTable table(kChannels, s.stepL, s.stepA, s.stepB, s.coarseStep);
  const Grid g = GridOf(s);
  std::vector<float> &buffer = table.GetBuffer();
  for (int iB = 0; iB < g.nrB; ++iB) {
    for (int iA = 0; iA < g.nrA; ++iA) {
      for (int iL = 0; iL < g.nrL; ++iL) {
        const double lab[3] = {iL * 128.0 / (g.nrL - 1), iA * 256.0 / (g.nrA - 1) - 128.0,
                               iB * 256.0 / (g.nrB - 1) - 128.0};
        const std::size_t p = (static_cast<std::size_t>(iB) * g.nrA + iA) * g.nrL + iL;
        for (int o = 0; o < kChannels; ++o)
          buffer[p * kChannels + o] = static_cast<float>(Smooth(lab, o));
      }
    }
  }
  return table;
}

// Colours inside the table's domain, random or on an ordered lattice (b* slowest).
std::vector<float> Colours(bool sweep) {
  std::vector<float> lab(3 * static_cast<std::size_t>(kColours));
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> l(0.0f, 128.0f), ab(-128.0f, 128.0f);
  for (int p = 0; p < kColours; ++p) {
    if (sweep) {
      lab[3 * p] = (p % 128) * 1.0f;
      lab[3 * p + 1] = (p / 128 % 128) * 2.0f - 128.0f;
      lab[3 * p + 2] = (p / 16384) * 4.0f - 128.0f;
    } else {
      lab[3 * p] = l(rng);
      lab[3 * p + 1] = ab(rng);
      lab[3 * p + 2] = ab(rng);
    }
  }
  return lab;
}

void RunVelmora(benchmark::State &state, Shape s, bool sweep) {
  const LabToProcTable table = MakeTable(s);
  const std::vector<float> lab = Colours(sweep);
  std::vector<float> out(static_cast<std::size_t>(kColours) * kChannels);
  for (auto _ : state) {
    table.Interpolate(lab.data(), out.data(), kColours);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kColours);
}

#ifdef VELMORA_HAVE_LCMS2
using velmora::testing::ToLcmsLab;

// The table's grid as a Lab-PCS output profile and a float Lab -> CMYK transform through it.
struct LcmsTable : velmora::testing::LcmsLabTable {
  explicit LcmsTable(const Shape &s) : LcmsTable(MakeTable(s), GridOf(s)) {}

 private:
  LcmsTable(LabToProcTable table, const Grid &g)
      : LcmsLabTable(table.GetBuffer(), g.nrL, g.nrA, g.nrB, kChannels) {}
};

void RunLcms(benchmark::State &state, Shape s, bool sweep) {
  LcmsTable lcms(s);
  if (lcms.transform == nullptr) {
    state.SkipWithError("could not build the Lab-PCS transform");
    return;
  }
  const std::vector<float> lab = ToLcmsLab(Colours(sweep));
  std::vector<float> out(static_cast<std::size_t>(kColours) * kChannels);
  for (auto _ : state) {
    cmsDoTransform(lcms.transform, lab.data(), out.data(), kColours);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kColours);
}

bool CheckAgreement() {
  bool ok = true;
  for (const Shape &s : {kSmall, kLarge}) {
    const LabToProcTable table = MakeTable(s);
    LcmsTable lcms(s);
    if (lcms.transform == nullptr) return false;
    const int n = 100000;
    std::vector<float> lab = Colours(false);
    lab.resize(3 * n);
    const std::vector<float> mapped = ToLcmsLab(lab);
    std::vector<float> ours(static_cast<std::size_t>(n) * kChannels), theirs(ours.size());
    table.Interpolate(lab.data(), ours.data(), n);
    cmsDoTransform(lcms.transform, mapped.data(), theirs.data(), n);
    double worst = 0.0;
    for (std::size_t i = 0; i < ours.size(); ++i)  // CMYK floats travel as 0 .. 100
      worst = std::fmax(worst, std::fabs(ours[i] - theirs[i] * 2.55));
    std::printf("accuracy check, %s: max |velmora - lcms2| = %.2e (of 255)\n", s.name, worst);
    ok = ok && worst < 0.01;
  }
  return ok;
}
#endif

// FillTable with the calling thread (and so the workers it starts) limited to `threads`
// processors of its current affinity mask.
void RunFill(benchmark::State &state, Shape s, int threads) {
#ifdef __linux__
  cpu_set_t original, limited;
  sched_getaffinity(0, sizeof original, &original);
  CPU_ZERO(&limited);
  for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < threads; ++cpu) {
    if (CPU_ISSET(cpu, &original)) {
      CPU_SET(cpu, &limited);
      ++taken;
    }
  }
  if (CPU_COUNT(&limited) < threads) {
    state.SkipWithError("fewer processors available than threads asked for");
    return;
  }
  sched_setaffinity(0, sizeof limited, &limited);
#endif
  // Samples filling a sphere of radius 45 about (55, 0, 0); a cheap, smooth CMYK model.
  std::vector<std::vector<double>> samples;
  for (int i = 0; i <= 12; ++i) {
    for (int j = 0; j <= 12; ++j) {
      for (int k = 0; k <= 12; ++k) {
        const double x = i / 6.0 - 1.0, y = j / 6.0 - 1.0, z = k / 6.0 - 1.0;
        if (x * x + y * y + z * z <= 1.0) samples.push_back({55 + 45 * x, 45 * y, 45 * z});
      }
    }
  }
  const auto model = [](const double *lab, int count, float *out, double, double) {
    for (int p = 0; p < count; ++p, lab += 3, out += kChannels) {
      const double u = lab[0] / 128.0;
      out[0] = static_cast<float>(127.5 - 0.9 * lab[1] + 40.0 * (1.0 - u));
      out[1] = static_cast<float>(127.5 + 0.9 * lab[1] - 0.5 * lab[2]);
      out[2] = static_cast<float>(127.5 - 0.9 * lab[2] + 20.0 * u * u);
      out[3] = static_cast<float>(255.0 * (1.0 - u) * (1.0 - u));
    }
  };
  const auto back = [](const double *process, int count, double *lab) {
    for (int p = 0; p < count; ++p, process += kChannels, lab += 3) {
      lab[0] = 128.0 * (1.0 - std::sqrt(1.0 - process[3] * 254.999 / 255.0));
      lab[1] = 0.0;
      lab[2] = 0.0;
    }
  };
  LabToProcTable table(kChannels, s.stepL, s.stepA, s.stepB, s.coarseStep);
  for (auto _ : state) {
    table.FillTable(samples, model, back, true, 2);
    benchmark::DoNotOptimize(table.GetBuffer().data());
  }
  state.SetItemsProcessed(state.iterations() * table.GetBufferPointAmount());
#ifdef __linux__
  sched_setaffinity(0, sizeof original, &original);
#endif
}

void RegisterCases() {
  struct Lookup {
    Shape shape;
    bool sweep;
  };
  for (const Lookup &c : {Lookup{kSmall, false}, Lookup{kSmall, true}, Lookup{kLarge, false}}) {
    const std::string group = std::string("interp_") + c.shape.name + (c.sweep ? "_sweep" : "");
    velmora::bench::register_case(group + "/velmora", kMinSeconds, kRepetitions, RunVelmora,
                                  c.shape, c.sweep);
#ifdef VELMORA_HAVE_LCMS2
    velmora::bench::register_case(group + "/lcms2_transform", kMinSeconds, kRepetitions, RunLcms,
                                  c.shape, c.sweep);
#endif
  }
  // Fill: the two-thread run is the subject, the one-thread run its reference, so the ratio is
  // the speed-up from the second thread.
  for (const Shape &s : {kSmall, kLarge}) {
    const std::string group = std::string("fill_") + s.name;
    for (const auto &[impl, threads] : {std::pair{"/velmora", 2}, std::pair{"/one_thread", 1}}) {
      benchmark::RegisterBenchmark((group + impl).c_str(), RunFill, s, threads)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1)
          ->UseRealTime()
          ->Repetitions(kRepetitions);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
#ifdef VELMORA_HAVE_LCMS2
  if (!CheckAgreement()) {
    std::fprintf(stderr, "velmora and lcms2 disagree: timing skipped\n");
    return 1;
  }
#endif
  RegisterCases();
  return velmora::bench::run_with_ratios(argc, argv);
}
