// Byte tetrahedral tables, on the vector path ("velmora") and the scalar path ("velmora_scalar"),
// against Little CMS 2's 8-bit transforms of the same grid, held as an in-memory device link
// (16-bit CLUT of the same bytes, times 257): once with its default optimisation and once forced
// to a CLUT of the same grid size. Cases: 3 -> 3 at 17 and 33 grid points and 4 -> 4 at 17, on
// 2^20 random pixels and on an ordered sweep of 2^24 pixels (every RGB byte triple; 64 levels per
// channel in CMYK), and 3 -> 3 at 17 with input and output curves (Little CMS 2 then holds the
// same curves as tone-curve stages around its CLUT). Accuracy, and the identity of the two paths,
// are checked before timing. Expansion from 17 to 33 points is timed at three and four inputs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/ratio_reporter.h"
#include "tables/md_tetra_simd.h"
#include "tables/table_cases.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

#ifdef VELMORA_HAVE_LCMS2
#include <lcms2.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int kRandomPixels = 1 << 20;
constexpr int kSweepPixels = 1 << 24;
constexpr int kRepetitions = 5;
constexpr double kMinSeconds = 0.1;

using velmora::test_hooks::TablePath;

// A table case with the number of pixels it runs on; `curves` adds input and output curves.
struct Case : velmora::bench::TableCase {
  bool curves = false;
  Case(const velmora::bench::TableCase &c, bool with_curves = false)
      : TableCase(c), curves(with_curves) {}
  int pixels() const { return sweep ? kSweepPixels : kRandomPixels; }
  std::string label() const { return name() + (curves ? "_curves" : ""); }
};

// Gamma-like input curves and their inverses as output curves.
std::vector<Bytes> make_curves(int dims) {
  std::vector<Bytes> curves(2 * dims, Bytes(256));
  for (int v = 0; v < 256; ++v) {
    for (int d = 0; d < dims; ++d) {
      curves[d][v] = static_cast<unsigned char>(std::lround(255 * std::pow(v / 255.0, 2.2)));
      curves[dims + d][v] =
          static_cast<unsigned char>(std::lround(255 * std::pow(v / 255.0, 1 / 2.2)));
    }
  }
  return curves;
}

// A smooth, non-linear model from input bytes to output bytes.
unsigned char model(int dims, const unsigned char *x, int c) {
  double v = 0.0;
  for (int d = 0; d < dims; ++d)
    v += std::sin(1.3 * (c + 1) * x[d] / 255.0 + d) / dims;
  return static_cast<unsigned char>(std::lround(127.5 + 127.5 * v));
}

MD_TETRAB *make_table(int dims, int grid, bool curves = false) {
  MD_TETRAB *t = md_tetrab_new(dims, dims, grid);
  if (curves) {
    std::vector<Bytes> c = make_curves(dims);
    std::vector<unsigned char *> p;
    for (Bytes &curve : c)
      p.push_back(curve.data());
    md_tetrab_LUT(t, p.data(), p.data() + dims);
  }
  std::vector<int> index(dims, 0);
  Bytes coords(dims);
  do {
    unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < dims; ++c)
      v[c] = model(dims, coords.data(), c);
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  return t;
}

// The table's vertices in Little CMS's order (first input slowest), widened to 16 bits.
std::vector<unsigned short> grid16(MD_TETRAB *t, int dims, int grid) {
  std::vector<unsigned short> values(static_cast<size_t>(md_tetrab_get_nrpoints(t)) * dims);
  std::vector<int> index(dims, 0);
  Bytes coords(dims);
  do {
    const unsigned char *v = md_tetrab_vertex_get(t, index.data(), coords.data());
    size_t linear = 0;
    for (int d = 0; d < dims; ++d)
      linear = linear * grid + index[d];
    for (int c = 0; c < dims; ++c)
      values[linear * dims + c] = static_cast<unsigned short>(v[c] * 257);
  } while (md_tetrab_scan_vertex(t, index.data()) != 0);
  return values;
}

Bytes make_pixels(const Case &c) {
  Bytes pixels(static_cast<size_t>(c.pixels()) * c.dims);
  if (!c.sweep) {
    std::mt19937 rng(42);
    for (auto &b : pixels)
      b = static_cast<unsigned char>(rng() >> 24);
    return pixels;
  }
  const int bits = 24 / c.dims;  // 8 bits per RGB channel, 6 per CMYK channel
  const int levels = 1 << bits;
  for (int p = 0; p < c.pixels(); ++p) {
    for (int d = 0; d < c.dims; ++d) {
      const int level = (p >> (bits * (c.dims - 1 - d))) & (levels - 1);
      pixels[static_cast<size_t>(p) * c.dims + d] =
          static_cast<unsigned char>(level * 255 / (levels - 1));
    }
  }
  return pixels;
}

void interpolate(MD_TETRAB *t, int dims, const Bytes &in, Bytes &out, int count) {
  unsigned char *ins[4], *outs[4];
  for (int d = 0; d < dims; ++d) {
    ins[d] = const_cast<unsigned char *>(in.data()) + d;
    outs[d] = out.data() + d;
  }
  md_tetrab_interp(t, ins, dims, outs, dims, count, nullptr, 0.0);
}

void run_expansion(benchmark::State &state, int dims) {
  MD_TETRAB *t = make_table(dims, 17);
  int points = 0;
  for (auto _ : state) {
    MD_TETRAB *expanded = md_tetrab_expand(t, 33);
    points = md_tetrab_get_nrpoints(expanded);
    benchmark::DoNotOptimize(expanded);
    md_tetrab_kill(expanded);
  }
  state.SetItemsProcessed(state.iterations() * points);
  md_tetrab_kill(t);
}

// The shared table shapes, and 3 -> 3 at 17 points with curves on random pixels.
std::vector<Case> all_cases() {
  std::vector<Case> cases(velmora::bench::kTableCases.begin(), velmora::bench::kTableCases.end());
  cases.emplace_back(velmora::bench::TableCase{3, 17, false}, true);
  return cases;
}

using Histogram = std::map<int, long>;

void print_histogram(const char *what, const Histogram &h) {
  std::printf("%-44s", what);
  for (auto [difference, count] : h)
    std::printf(" %d:%ld", difference, count);
  std::printf("\n");
}

#ifdef VELMORA_HAVE_LCMS2
// The curves first .. first + dims - 1 of make_curves as a tone-curve stage at the pipeline's end.
void insert_curves(cmsPipeline *pipeline, int dims, int first) {
  const std::vector<Bytes> c = make_curves(dims);
  std::vector<cmsToneCurve *> curves(dims);
  for (int d = 0; d < dims; ++d) {
    std::vector<cmsUInt16Number> table(256);
    for (int v = 0; v < 256; ++v)
      table[v] = static_cast<cmsUInt16Number>(c[first + d][v] * 257);
    curves[d] = cmsBuildTabulatedToneCurve16(nullptr, 256, table.data());
  }
  cmsPipelineInsertStage(pipeline, cmsAT_END,
                         cmsStageAllocToneCurves(nullptr, dims, curves.data()));
  for (cmsToneCurve *curve : curves)
    cmsFreeToneCurve(curve);
}

// Little CMS 2's 8-bit transform of the table's grid; forced to the same CLUT size or with its
// default optimisation.
struct LcmsLink {
  cmsHPROFILE link = nullptr;
  cmsHTRANSFORM transform = nullptr;

  LcmsLink(MD_TETRAB *t, int dims, int grid, bool force_clut, bool curves = false) {
    std::vector<unsigned short> values = grid16(t, dims, grid);
    cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, dims, dims);
    if (curves) insert_curves(pipeline, dims, 0);
    cmsPipelineInsertStage(pipeline, cmsAT_END,
                           cmsStageAllocCLut16bit(nullptr, grid, dims, dims, values.data()));
    if (curves) insert_curves(pipeline, dims, dims);
    const bool rgb = dims == 3;
    link = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(link, 4.3);
    cmsSetDeviceClass(link, cmsSigLinkClass);
    cmsSetColorSpace(link, rgb ? cmsSigRgbData : cmsSigCmykData);
    cmsSetPCS(link, rgb ? cmsSigRgbData : cmsSigCmykData);
    cmsWriteTag(link, cmsSigAToB0Tag, pipeline);
    cmsPipelineFree(pipeline);
    cmsUInt32Number flags = cmsFLAGS_NOCACHE | cmsFLAGS_NOWHITEONWHITEFIXUP;
    if (force_clut) flags |= cmsFLAGS_FORCE_CLUT | cmsFLAGS_GRIDPOINTS(grid);
    const cmsUInt32Number format = rgb ? TYPE_RGB_8 : TYPE_CMYK_8;
    transform = cmsCreateTransform(link, format, nullptr, format, INTENT_PERCEPTUAL, flags);
  }
  ~LcmsLink() {
    if (transform != nullptr) cmsDeleteTransform(transform);
    cmsCloseProfile(link);
  }
};

#endif

// Everything one case needs, built once per case and kept for the whole run, so that the
// repetitions of the three implementations time nothing but the transform.
struct Fixture {
  MD_TETRAB *table = nullptr;
  Bytes in;
  Bytes out;
#ifdef VELMORA_HAVE_LCMS2
  std::unique_ptr<LcmsLink> standard;
  std::unique_ptr<LcmsLink> clut;
#endif
  ~Fixture() {
    md_tetrab_kill(table);
  }
};

Fixture &fixture(const Case &c) {
  static std::map<std::string, std::unique_ptr<Fixture>> cache;
  std::unique_ptr<Fixture> &f = cache[c.label()];
  if (f == nullptr) {
    f = std::make_unique<Fixture>();
    f->table = make_table(c.dims, c.grid, c.curves);
    f->in = make_pixels(c);
    f->out.resize(f->in.size());
#ifdef VELMORA_HAVE_LCMS2
    f->standard = std::make_unique<LcmsLink>(f->table, c.dims, c.grid, false, c.curves);
    f->clut = std::make_unique<LcmsLink>(f->table, c.dims, c.grid, true, c.curves);
#endif
  }
  return *f;
}

void run_velmora(benchmark::State &state, Case c, TablePath path) {
  Fixture &f = fixture(c);
  velmora::test_hooks::force_table_path(path);
  for (auto _ : state) {
    interpolate(f.table, c.dims, f.in, f.out, c.pixels());
    benchmark::DoNotOptimize(f.out.data());
    benchmark::ClobberMemory();
  }
  velmora::test_hooks::force_table_path(TablePath::Automatic);
  state.SetItemsProcessed(state.iterations() * c.pixels());
}

#ifdef VELMORA_HAVE_LCMS2
void run_lcms(benchmark::State &state, Case c, bool force_clut) {
  Fixture &f = fixture(c);
  const cmsHTRANSFORM transform = (force_clut ? f.clut : f.standard)->transform;
  if (transform == nullptr) {
    state.SkipWithError("could not build the device link transform");
    return;
  }
  for (auto _ : state) {
    cmsDoTransform(transform, f.in.data(), f.out.data(), static_cast<cmsUInt32Number>(c.pixels()));
    benchmark::DoNotOptimize(f.out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * c.pixels());
}
#endif

// Accuracy before timing. At 3 -> 3 Little CMS 2's forced CLUT interpolates the same simplices
// in 16 bits: the byte table must stay within two units. At 4 -> 4 it blends two 3-D lookups
// along the fourth input, so the byte table is checked against the double table of its grid.
bool check_accuracy() {
  bool ok = true;
  for (const Case &c : all_cases()) {
    MD_TETRAB *t = make_table(c.dims, c.grid, c.curves);
    const Bytes in = make_pixels(c);
    Bytes scalar(in.size()), vector(in.size());
    velmora::test_hooks::force_table_path(TablePath::Scalar);
    interpolate(t, c.dims, in, scalar, c.pixels());
    velmora::test_hooks::force_table_path(TablePath::Vector);
    interpolate(t, c.dims, in, vector, c.pixels());
    velmora::test_hooks::force_table_path(TablePath::Automatic);
    md_tetrab_kill(t);
    if (scalar != vector) {
      std::printf("%s: the vector path differs from the scalar path\n", c.label().c_str());
      ok = false;
    }
  }
  for (const velmora::bench::TableCase &shape : velmora::bench::kTableCases) {
    if (shape.sweep) continue;  // the random cases cover every shape
    const Case c = shape;
    MD_TETRAB *t = make_table(c.dims, c.grid);
    const Bytes in = make_pixels(c);
    Bytes ours(in.size());
    interpolate(t, c.dims, in, ours, c.pixels());
    Histogram h;
    std::string what;
    if (c.dims == 3) {
#ifdef VELMORA_HAVE_LCMS2
      LcmsLink lcms(t, c.dims, c.grid, true);
      Bytes theirs(in.size());
      cmsDoTransform(lcms.transform, in.data(), theirs.data(), c.pixels());
      for (size_t i = 0; i < ours.size(); ++i)
        ++h[std::abs(ours[i] - theirs[i])];
      what = c.name() + " |velmora - lcms2 forced CLUT|:";
      ok = ok && h.rbegin()->first <= 2;
#endif
    } else {
      MD_TETRAD *d = md_tetrad_new(c.dims, c.dims, c.grid, 0.0, 255.0);
      std::vector<int> index(c.dims, 0);
      Bytes bytes(c.dims);
      std::vector<double> coords(c.dims);
      do {
        const unsigned char *v = md_tetrab_vertex_get(t, index.data(), bytes.data());
        double *w = md_tetrad_vertex_get(d, index.data(), coords.data());
        for (int k = 0; k < c.dims; ++k)
          w[k] = v[k];
      } while (md_tetrab_scan_vertex(t, index.data()) != 0);
      std::vector<double> x(in.begin(), in.end()), y(x.size());
      double *ins[4], *outs[4];
      for (int k = 0; k < c.dims; ++k) {
        ins[k] = x.data() + k;
        outs[k] = y.data() + k;
      }
      md_tetrad_interp(d, ins, c.dims, outs, c.dims, c.pixels());
      md_tetrad_kill(d);
      for (size_t i = 0; i < ours.size(); ++i)
        ++h[static_cast<int>(std::lround(std::abs(ours[i] - y[i])))];
      what = c.name() + " |velmora - double table| (rounded):";
      ok = ok && h.rbegin()->first <= 3;
    }
    md_tetrab_kill(t);
    if (!what.empty()) print_histogram(what.c_str(), h);
  }
  return ok;
}

void register_cases() {
  for (const Case &c : all_cases()) {
    velmora::bench::register_case(c.label() + "/velmora", kMinSeconds, kRepetitions, run_velmora, c,
                                  TablePath::Vector);
    velmora::bench::register_case(c.label() + "/velmora_scalar", kMinSeconds, kRepetitions,
                                  run_velmora, c, TablePath::Scalar);
#ifdef VELMORA_HAVE_LCMS2
    velmora::bench::register_case(c.label() + "/lcms2_default", kMinSeconds, kRepetitions, run_lcms,
                                  c, false);
    velmora::bench::register_case(c.label() + "/lcms2_clut", kMinSeconds, kRepetitions, run_lcms, c,
                                  true);
#endif
  }
  for (int dims : {3, 4}) {
    velmora::bench::register_case(("expand_" + std::to_string(dims) + "d_17to33/velmora"),
                                  kMinSeconds, kRepetitions, run_expansion, dims);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (!check_accuracy()) {
    std::fprintf(stderr, "accuracy check failed: timing skipped\n");
    return 1;
  }
  register_cases();
  return velmora::bench::run_with_ratios(argc, argv);
}
