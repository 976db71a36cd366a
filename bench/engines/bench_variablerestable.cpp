// Variable-resolution tables against the full-grid tetrahedral tables. IrregularInterpolate runs
// on 4, 6 and 8 channels (33 grid points per channel, three float outputs) on 2^16 random byte
// samples, cold (a fresh table: every grid point it needs computed through the callback during
// the run) and warm (every grid point computed beforehand). The baselines interpolate the same
// samples in full grids of the same channel count: md_tetrad_interp (doubles) and
// md_tetrab_interp (bytes), at 33, 9 and 5 points per channel, since a full 33-point grid of 6 or
// 8 channels does not fit in memory; the memory each full grid would need is printed first.
// Accuracy is checked before timing: every table reproduces a linear model.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/ratio_reporter.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"
#include "velmora/variablerestable.h"

namespace {

constexpr int kSamples = 1 << 16;
constexpr int kOutputs = 3;
constexpr int kRepetitions = 3;
constexpr double kMinSeconds = 0.2;

// A smooth model of the inputs in [0, 1] with outputs in [0, 1]; linear when asked.
void model(int n, const double *x, double *y, bool linear = false) {
  for (int o = 0; o < kOutputs; ++o) {
    double v = 0.0;
    for (int d = 0; d < n; ++d)
      v += linear ? (o + 1.0) * (d + 1.0) * x[d] / (n * n * kOutputs)
                  : std::sin(1.3 * (o + 1) * x[d] + d) / n;
    y[o] = linear ? v : 0.5 + 0.5 * v;
  }
}

int full_grid_points(int n) {
  return n == 4 ? 33 : n == 6 ? 9 : 5;
}

std::vector<unsigned char> positions() {
  std::vector<unsigned char> p(33);
  for (int j = 0; j <= 32; ++j)
    p[j] = static_cast<unsigned char>(std::lround(255.0 * j / 32));
  return p;
}

struct Callback : VariableResTable::SinglePointCalculationCallBack {
  int n;
  bool linear;
  std::vector<unsigned char> pos = positions();
  Callback(int channels, bool lin) : n(channels), linear(lin) {}
  void operator()(const unsigned char *point, float *values) override {
    double x[15], y[kOutputs];
    for (int c = 0; c < n; ++c)
      x[c] = pos[point[c]] / 255.0;
    model(n, x, y, linear);
    for (int o = 0; o < kOutputs; ++o)
      values[o] = static_cast<float>(y[o]);
  }
};

struct VariableTable {
  int nrPoints = 0;
  std::unique_ptr<SharedBuffer> buffer;
  std::unique_ptr<VariableResolutionTable> table;
  VariableTable(int n, bool linear) {
    buffer = std::make_unique<SharedBuffer>(std::vector<unsigned char>(n, 33), nrPoints,
                                            std::vector<std::vector<bool>>{}, kOutputs);
    table = std::make_unique<VariableResolutionTable>(
        std::vector<unsigned char>(n, 32), std::vector<std::vector<unsigned char>>(n, positions()),
        buffer.get(), std::vector<bool>(n, true));
    table->SetSinglePointCalculationCallBack(std::make_unique<Callback>(n, linear));
  }
  void fill() {
    for (auto it = table->GetBufferStart(false); !it.atEnd; table->GetNextBufferPoint(it)) {
      table->EnsureIteratorHasConversion(it);
      *it.computed = true;
    }
  }
};

struct Samples {
  std::vector<std::vector<unsigned char>> planes;  // one per channel
  std::vector<unsigned char> interleaved;          // for the byte table
  std::vector<double> doubles;                     // interleaved, in [0, 1]
  std::vector<int> indices;
  std::vector<const unsigned char *> pointers;
  explicit Samples(int n) : planes(n, std::vector<unsigned char>(kSamples)) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> byte(0, 255);
    interleaved.resize(static_cast<size_t>(kSamples) * n);
    doubles.resize(interleaved.size());
    for (int i = 0; i < kSamples; ++i) {
      indices.push_back(i);
      for (int c = 0; c < n; ++c) {
        const auto v = static_cast<unsigned char>(byte(rng));
        planes[c][i] = v;
        interleaved[static_cast<size_t>(i) * n + c] = v;
        doubles[static_cast<size_t>(i) * n + c] = v / 255.0;
      }
    }
    for (auto &p : planes)
      pointers.push_back(p.data());
  }
};

MD_TETRAD *make_tetrad(int n, bool linear) {
  const int g = full_grid_points(n);
  MD_TETRAD *t = md_tetrad_new(n, kOutputs, g, 0.0, 1.0);
  std::vector<int> index(n, 0);
  std::vector<double> coords(n);
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    model(n, coords.data(), v, linear);
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);
  return t;
}

MD_TETRAB *make_tetrab(int n) {
  const int g = full_grid_points(n);
  MD_TETRAB *t = md_tetrab_new(n, kOutputs, g);
  std::vector<int> index(n, 0);
  std::vector<unsigned char> coords(n);
  std::vector<double> x(n);
  double y[kOutputs];
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    for (int d = 0; d < n; ++d)
      x[d] = coords[d] / 255.0;
    model(n, x.data(), y);
    for (int o = 0; o < kOutputs; ++o)
      v[o] = static_cast<unsigned char>(std::lround(255.0 * y[o]));
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  return t;
}

void run_cold(benchmark::State &state, int n) {
  const Samples s(n);
  std::vector<float> out(static_cast<size_t>(kSamples) * kOutputs);
  for (auto _ : state) {
    state.PauseTiming();
    VariableTable t(n, false);
    state.ResumeTiming();
    t.table->IrregularInterpolate(s.pointers.data(), 1, out.data(), kSamples, s.indices.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void run_warm(benchmark::State &state, int n) {
  const Samples s(n);
  VariableTable t(n, false);
  t.fill();
  std::vector<float> out(static_cast<size_t>(kSamples) * kOutputs);
  for (auto _ : state) {
    t.table->IrregularInterpolate(s.pointers.data(), 1, out.data(), kSamples, s.indices.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void run_tetrad(benchmark::State &state, int n) {
  Samples s(n);
  MD_TETRAD *t = make_tetrad(n, false);
  std::vector<double> out(static_cast<size_t>(kSamples) * kOutputs);
  for (auto _ : state) {
    std::vector<double *> in(n), o(kOutputs);
    for (int d = 0; d < n; ++d)
      in[d] = s.doubles.data() + d;
    for (int c = 0; c < kOutputs; ++c)
      o[c] = out.data() + c;
    md_tetrad_interp(t, in.data(), n, o.data(), kOutputs, kSamples);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
  md_tetrad_kill(t);
}

void run_tetrab(benchmark::State &state, int n) {
  Samples s(n);
  MD_TETRAB *t = make_tetrab(n);
  std::vector<unsigned char> out(static_cast<size_t>(kSamples) * kOutputs);
  for (auto _ : state) {
    std::vector<unsigned char *> in(n), o(kOutputs);
    for (int d = 0; d < n; ++d)
      in[d] = s.interleaved.data() + d;
    for (int c = 0; c < kOutputs; ++c)
      o[c] = out.data() + c;
    md_tetrab_interp(t, in.data(), n, o.data(), kOutputs, kSamples, nullptr, 0.0);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
  md_tetrab_kill(t);
}

// Both kinds of table reproduce a linear model; the variable table on every kind of sample.
bool check_accuracy() {
  bool ok = true;
  for (int n : {4, 6, 8}) {
    const Samples s(n);
    VariableTable t(n, true);
    std::vector<float> out(static_cast<size_t>(kSamples) * kOutputs);
    t.table->IrregularInterpolate(s.pointers.data(), 1, out.data(), kSamples, s.indices.data());
    MD_TETRAD *d = make_tetrad(n, true);
    std::vector<double> ref(out.size());
    std::vector<double *> in(n), o(kOutputs);
    for (int c = 0; c < n; ++c)
      in[c] = const_cast<double *>(s.doubles.data()) + c;
    for (int c = 0; c < kOutputs; ++c)
      o[c] = ref.data() + c;
    md_tetrad_interp(d, in.data(), n, o.data(), kOutputs, kSamples);
    md_tetrad_kill(d);
    double worst_variable = 0.0, worst_full = 0.0;
    for (int i = 0; i < kSamples; ++i) {
      double y[kOutputs];
      model(n, &s.doubles[static_cast<size_t>(i) * n], y, true);
      for (int c = 0; c < kOutputs; ++c) {
        worst_variable = std::fmax(worst_variable, std::fabs(out[i * kOutputs + c] - y[c]));
        worst_full = std::fmax(worst_full, std::fabs(ref[i * kOutputs + c] - y[c]));
      }
    }
    std::printf("accuracy, linear model on %d channels: variable table %.1e, md_tetrad %.1e\n", n,
                worst_variable, worst_full);
    ok = ok && worst_variable < 1e-5 && worst_full < 1e-9;
  }
  return ok;
}

void print_memory() {
  std::printf("%-9s %14s %18s %18s %16s\n", "channels", "variable pts", "variable bytes",
              "full 33^n bytes", "baseline grid");
  for (int n : {4, 6, 8}) {
    VariableTable t(n, false);
    const double variable = t.nrPoints * (kOutputs * sizeof(float) + sizeof(bool));
    const double full = std::pow(33.0, n) * kOutputs * sizeof(float);
    const int g = full_grid_points(n);
    std::printf("%-9d %14d %18.4g %18.4g %13d^%d\n", n, t.nrPoints, variable, full, g, n);
  }
}

}  // namespace

int main(int argc, char **argv) {
  print_memory();
  if (!check_accuracy()) {
    std::fprintf(stderr, "a table does not reproduce the linear model: timing skipped\n");
    return 1;
  }
  for (int n : {4, 6, 8}) {
    const std::string group = std::to_string(n) + "ch";
    const std::string full = "/full_g" + std::to_string(full_grid_points(n));
    for (const char *phase : {"_cold", "_warm"}) {
      const std::string name = group + phase;
      velmora::bench::register_case(name + "/velmora", kMinSeconds, kRepetitions,
                                    std::string(phase) == "_cold" ? run_cold : run_warm, n);
      velmora::bench::register_case(name + "/md_tetrad" + full, kMinSeconds, kRepetitions,
                                    run_tetrad, n);
      velmora::bench::register_case(name + "/md_tetrab" + full, kMinSeconds, kRepetitions,
                                    run_tetrab, n);
    }
  }
  return velmora::bench::run_with_ratios(argc, argv);
}
