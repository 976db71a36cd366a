// The C++ side of the Python module's benchmark: the same batch calls that DoubleTable and
// ByteTable make, on the same data, so that bench_tables.py can put the module's throughput
// against the library's own. The data files are written by bench_tables.py:
//
//   bench_python_baseline <points.f64> <image.u8> [benchmark flags]
//
// points.f64 holds 3 doubles per point (interleaved), image.u8 3 bytes per pixel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

namespace {

constexpr int kInputs = 3;
constexpr int kDoubleGrid = 33;
constexpr int kByteGrid = 17;
constexpr int kByteOutputs = 4;

std::vector<char> read_file(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<double> points;
std::vector<unsigned char> image;

// Grid models shared with bench_tables.py.
void double_model(const double *x, double *y) {
  for (int c = 0; c < kInputs; ++c)
    y[c] = std::sin(1.3 * (c + 1) * x[c]);
}

// Each case writes its results into one buffer kept across iterations (range 0) or, like a
// NumPy call that returns a new array, into a buffer newly allocated per call (range 1): its pages
// are then first touched, and faulted in, by the interpolation itself.
template <class T>
struct Results {
  explicit Results(std::size_t size) : size(size), kept(new T[size]) {}
  T *next(bool fresh) {
    if (fresh) kept.reset(new T[size]);
    return kept.get();
  }
  std::size_t size;
  std::unique_ptr<T[]> kept;
};

void DoubleTable(benchmark::State &state) {
  MD_TETRAD *table = md_tetrad_new(kInputs, kInputs, kDoubleGrid, 0.0, 1.0);
  int index[kInputs] = {0};
  double coords[kInputs];
  do {
    double *v = md_tetrad_vertex_get(table, index, coords);
    double_model(coords, v);
  } while (md_tetrad_scan_vertex(table, index) != 0);
  const int count = static_cast<int>(points.size() / kInputs);
  Results<double> results(points.size());
  for (auto _ : state) {
    double *out = results.next(state.range(0) != 0);
    double *in[kInputs] = {points.data(), points.data() + 1, points.data() + 2};
    double *o[kInputs] = {out, out + 1, out + 2};
    md_tetrad_interp(table, in, kInputs, o, kInputs, count);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * count);
  md_tetrad_kill(table);
}

void ByteTable(benchmark::State &state) {
  MD_TETRAB *table = md_tetrab_new(kInputs, kByteOutputs, kByteGrid);
  int index[kInputs] = {0};
  unsigned char coords[kInputs];
  do {
    unsigned char *v = md_tetrab_vertex_get(table, index, coords);
    for (int c = 0; c < kByteOutputs; ++c)
      v[c] = static_cast<unsigned char>(255 - coords[c % 3]);
  } while (md_tetrab_scan_vertex(table, index) != 0);
  const int count = static_cast<int>(image.size() / kInputs);
  Results<unsigned char> results(static_cast<size_t>(count) * kByteOutputs);
  for (auto _ : state) {
    unsigned char *out = results.next(state.range(0) != 0);
    unsigned char *in[kInputs] = {image.data(), image.data() + 1, image.data() + 2};
    unsigned char *o[kByteOutputs] = {out, out + 1, out + 2, out + 3};
    md_tetrab_interp(table, in, kInputs, o, kByteOutputs, count, nullptr, 0.0);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * count);
  md_tetrab_kill(table);
}

}  // namespace

BENCHMARK(DoubleTable)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ByteTable)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: bench_python_baseline <points.f64> <image.u8> [benchmark flags]\n");
    return 2;
  }
  const std::vector<char> p = read_file(argv[1]);
  points.resize(p.size() / sizeof(double));
  std::memcpy(points.data(), p.data(), points.size() * sizeof(double));
  const std::vector<char> i = read_file(argv[2]);
  image.assign(i.begin(), i.end());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
