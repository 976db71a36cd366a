// Double tetrahedral tables, on the vector path ("velmora") and the scalar path
// ("velmora_scalar"), against Little CMS 2 holding the same grid: a float CLUT stage evaluated per
// point through its pipeline, and the same pipeline as an in-memory device link transformed in
// batches. Cases: 3 -> 3 at 17 and 33 grid points, 4 -> 4 at 17, each on 2^20
// random points and on an ordered sweep. Accuracy is checked before timing.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/ratio_reporter.h"
#include "tables/md_tetra_simd.h"
#include "tables/table_cases.h"
#include "velmora/md_tetrad.h"

#ifdef VELMORA_HAVE_LCMS2
#include <lcms2.h>
#endif

namespace {

constexpr int kPoints = 1 << 20;
constexpr int kRepetitions = 3;
constexpr double kMinSeconds = 0.3;

using Case = velmora::bench::TableCase;

// A smooth, non-linear model with outputs in [0, 1].
void model(int dims, const double *x, double *y) {
  for (int c = 0; c < dims; ++c) {
    double v = 0.0;
    for (int d = 0; d < dims; ++d)
      v += std::sin(1.3 * (c + 1) * x[d] + d) / dims;
    y[c] = 0.5 + 0.5 * v;
  }
}

struct Fixture {
  MD_TETRAD *table = nullptr;
  std::vector<float> grid;     // the same vertex values, first input slowest
  std::vector<double> points;  // interleaved, dims per point
  std::vector<float> points_f;
};

Fixture make_fixture(const Case &c) {
  Fixture f;
  f.table = md_tetrad_new(c.dims, c.dims, c.grid, 0.0, 1.0);
  std::vector<int> index(c.dims, 0);
  std::vector<double> coords(c.dims);
  int vertices = 1;
  for (int d = 0; d < c.dims; ++d)
    vertices *= c.grid;
  f.grid.resize(static_cast<size_t>(vertices) * c.dims);
  do {
    double *v = md_tetrad_vertex_get(f.table, index.data(), coords.data());
    model(c.dims, coords.data(), v);
    size_t linear = 0;
    for (int d = 0; d < c.dims; ++d)
      linear = linear * c.grid + index[d];
    for (int k = 0; k < c.dims; ++k)
      f.grid[linear * c.dims + k] = static_cast<float>(v[k]);
  } while (md_tetrad_scan_vertex(f.table, index.data()) != 0);

  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  f.points.resize(static_cast<size_t>(kPoints) * c.dims);
  const int side = c.dims == 3 ? 102 : 32;  // about 2^20 points on the sweep's lattice
  for (int p = 0; p < kPoints; ++p) {
    int rest = p;
    for (int d = c.dims - 1; d >= 0; --d) {
      double v = unit(rng);
      if (c.sweep) {
        v = (rest % side) / static_cast<double>(side - 1);
        rest /= side;
      }
      f.points[static_cast<size_t>(p) * c.dims + d] = static_cast<float>(v);
    }
  }
  f.points_f.assign(f.points.begin(), f.points.end());
  return f;
}

// The vector path where the processor has it ("velmora"), or the scalar path ("velmora_scalar").
void run_velmora(benchmark::State &state, Case c, velmora::test_hooks::TablePath path) {
  velmora::test_hooks::force_table_path(path);
  Fixture f = make_fixture(c);
  std::vector<double> out(f.points.size());
  for (auto _ : state) {
    std::vector<double *> in(c.dims), o(c.dims);
    for (int d = 0; d < c.dims; ++d) {
      in[d] = f.points.data() + d;
      o[d] = out.data() + d;
    }
    md_tetrad_interp(f.table, in.data(), c.dims, o.data(), c.dims, kPoints);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  md_tetrad_kill(f.table);
  velmora::test_hooks::force_table_path(velmora::test_hooks::TablePath::Automatic);
}

#ifdef VELMORA_HAVE_LCMS2
cmsPipeline *make_pipeline(const Case &c, const Fixture &f) {
  cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, c.dims, c.dims);
  cmsStage *stage = cmsStageAllocCLutFloat(nullptr, c.grid, c.dims, c.dims, f.grid.data());
  cmsPipelineInsertStage(pipeline, cmsAT_END, stage);
  return pipeline;
}

void run_lcms_pipeline(benchmark::State &state, Case c) {
  Fixture f = make_fixture(c);
  cmsPipeline *pipeline = make_pipeline(c, f);
  std::vector<float> out(f.points_f.size());
  for (auto _ : state) {
    for (int p = 0; p < kPoints; ++p) {
      cmsPipelineEvalFloat(&f.points_f[static_cast<size_t>(p) * c.dims],
                           &out[static_cast<size_t>(p) * c.dims], pipeline);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  cmsPipelineFree(pipeline);
  md_tetrad_kill(f.table);
}

// The pipeline written into an in-memory device link and run as a float transform. CMYK floats
// travel as 0 .. 100, so the 4-input points are scaled on the way in.
void run_lcms_transform(benchmark::State &state, Case c) {
  Fixture f = make_fixture(c);
  cmsPipeline *pipeline = make_pipeline(c, f);
  const bool rgb = c.dims == 3;
  cmsHPROFILE link = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(link, 4.3);
  cmsSetDeviceClass(link, cmsSigLinkClass);
  cmsSetColorSpace(link, rgb ? cmsSigRgbData : cmsSigCmykData);
  cmsSetPCS(link, rgb ? cmsSigRgbData : cmsSigCmykData);
  cmsWriteTag(link, cmsSigAToB0Tag, pipeline);
  const cmsUInt32Number format = rgb ? TYPE_RGB_FLT : TYPE_CMYK_FLT;
  cmsHTRANSFORM transform =
      cmsCreateTransform(link, format, nullptr, format, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
  if (transform == nullptr) {
    state.SkipWithError("could not build the device link transform");
    return;
  }
  std::vector<float> in = f.points_f;
  if (!rgb) {
    for (float &v : in)
      v *= 100.0f;
  }
  std::vector<float> out(in.size());
  for (auto _ : state) {
    cmsDoTransform(transform, in.data(), out.data(), kPoints);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  cmsDeleteTransform(transform);
  cmsCloseProfile(link);
  cmsPipelineFree(pipeline);
  md_tetrad_kill(f.table);
}

// Accuracy before timing: at three inputs both split the cube the same way.
bool check_agreement() {
  const Case c{3, 17, false};
  Fixture f = make_fixture(c);
  cmsPipeline *pipeline = make_pipeline(c, f);
  const int n = 100000;
  std::vector<double> out(static_cast<size_t>(n) * 3);
  double *in[3] = {f.points.data(), f.points.data() + 1, f.points.data() + 2};
  double *o[3] = {out.data(), out.data() + 1, out.data() + 2};
  md_tetrad_interp(f.table, in, 3, o, 3, n);
  double worst = 0.0;
  for (int p = 0; p < n; ++p) {
    float ref[3];
    cmsPipelineEvalFloat(&f.points_f[3 * static_cast<size_t>(p)], ref, pipeline);
    for (int k = 0; k < 3; ++k)
      worst = std::fmax(worst, std::fabs(out[3 * p + k] - ref[k]));
  }
  cmsPipelineFree(pipeline);
  md_tetrad_kill(f.table);
  std::printf("accuracy check, 3 -> 3 at 17 points: max |velmora - lcms2| = %.2e\n", worst);
  return worst < 1e-5;
}
#endif

void register_cases() {
  for (const Case &c : velmora::bench::kTableCases) {
    velmora::bench::register_case(c.name() + "/velmora", kMinSeconds, kRepetitions, run_velmora, c,
                                  velmora::test_hooks::TablePath::Vector);
    velmora::bench::register_case(c.name() + "/velmora_scalar", kMinSeconds, kRepetitions,
                                  run_velmora, c, velmora::test_hooks::TablePath::Scalar);
#ifdef VELMORA_HAVE_LCMS2
    velmora::bench::register_case(c.name() + "/lcms2_pipeline", kMinSeconds, kRepetitions,
                                  run_lcms_pipeline, c);
    velmora::bench::register_case(c.name() + "/lcms2_transform", kMinSeconds, kRepetitions,
                                  run_lcms_transform, c);
#endif
  }
}

}  // namespace

int main(int argc, char **argv) {
#ifdef VELMORA_HAVE_LCMS2
  if (!check_agreement()) {
    std::fprintf(stderr, "velmora and lcms2 disagree: timing skipped\n");
    return 1;
  }
#endif
  register_cases();
  return velmora::bench::run_with_ratios(argc, argv);
}
