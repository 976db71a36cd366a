// Interpolation in variable-resolution tables: linear functions reproduced on every kind of grid,
// agreement of the regular and irregular forms, the callback once per grid point, the off-grid
// cache, and several threads on one table.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "engines/variablerestable_test_support.h"

namespace {

using namespace VariableResTable;
using vrt_test::Bytes;
using vrt_test::Grid;

// Outputs o = 0 .. n-1 of a linear function of the input bytes: o + sum_c (o + 1)(c + 2) x_c / 255.
double Linear(int o, const unsigned char *x, std::size_t channels) {
  double v = o;
  for (std::size_t c = 0; c < channels; ++c)
    v += (o + 1.0) * (c + 2.0) * x[c] / 255.0;
  return v;
}

// Evaluates a function at the grid point's input bytes; checks that every point asked for is a
// grid point of the table and counts the calls per buffer index.
struct Model : SinglePointCalculationCallBack {
  const Grid *setup;
  bool linear;
  std::vector<std::atomic<int>> *calls;
  std::atomic<int> *strays;
  Model(const Grid *s, bool lin, std::vector<std::atomic<int>> *c, std::atomic<int> *bad)
      : setup(s), linear(lin), calls(c), strays(bad) {}
  void operator()(const unsigned char *point, float *values) override {
    const std::size_t n = setup->m.size();
    if (!vrt_test::IsGridPoint(setup->m, setup->buffer->GetFixedSubsets(), point)) ++*strays;
    Bytes x(n);
    const auto &p = setup->table->GetTableParameters();
    for (std::size_t c = 0; c < n; ++c)
      x[c] = p.gridPositions[c][point[c]];
    const float *at = setup->table->getVertex(point);
    ++(*calls)[setup->IndexOf(at)];
    for (int o = 0; o < setup->buffer->GetNrOutputChannels(); ++o) {
      double v = Linear(o, x.data(), n);
      if (!linear) v = std::sin(v) + 0.1 * x[0] * x[n - 1] / 65025.0;
      values[o] = static_cast<float>(v);
    }
  }
};

struct Harness {
  Grid setup;
  std::vector<std::atomic<int>> calls;
  std::atomic<int> strays{0};
  Harness(const Bytes &m, const std::vector<std::vector<bool>> &subsets, int outputs, bool linear)
      : setup(m, subsets, outputs), calls(static_cast<std::size_t>(setup.nrPoints)) {
    setup.table->SetSinglePointCalculationCallBack(
        std::make_unique<Model>(&setup, linear, &calls, &strays));
  }
  int MaxCalls() const {
    int most = 0;
    for (const auto &c : calls)
      most = std::max(most, c.load());
    return most;
  }
};

// Samples stored one plane per channel; sample i is at index i.
struct Samples {
  std::size_t channels;
  std::vector<Bytes> planes;
  std::vector<int> indices;
  explicit Samples(std::size_t n) : channels(n), planes(n) {}
  void Add(const Bytes &x) {
    for (std::size_t c = 0; c < channels; ++c)
      planes[c].push_back(x[c]);
    indices.push_back(static_cast<int>(indices.size()));
  }
  Bytes At(std::size_t i) const {
    Bytes x(channels);
    for (std::size_t c = 0; c < channels; ++c)
      x[c] = planes[c][i];
    return x;
  }
  std::vector<const unsigned char *> Pointers() const {
    std::vector<const unsigned char *> p;
    for (const Bytes &plane : planes)
      p.push_back(plane.data());
    return p;
  }
  std::size_t size() const { return indices.size(); }
};

// Random samples, an ordered sweep of every channel against the first, the corners, and a few
// samples with one or several channels at 0.
Samples MakeSamples(std::size_t n, std::size_t randomCount, unsigned seed) {
  Samples s(n);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255), coin(0, 3);
  for (std::size_t i = 0; i < randomCount; ++i) {
    Bytes x(n);
    for (auto &v : x)
      v = static_cast<unsigned char>(coin(rng) == 0 ? 0 : byte(rng));
    s.Add(x);
  }
  for (int v = 0; v < 256; v += 3) {
    Bytes x(n, static_cast<unsigned char>(255 - v));
    x[0] = static_cast<unsigned char>(v);
    s.Add(x);
    s.Add(Bytes(n, static_cast<unsigned char>(v)));
  }
  s.Add(Bytes(n, 0));
  s.Add(Bytes(n, 255));
  return s;
}

std::vector<float> Interpolate(VariableResolutionTable &t, const Samples &s, int outputs,
                               bool regular = false) {
  std::vector<float> out(s.size() * outputs, -99.0f);
  const auto planes = s.Pointers();
  if (regular)
    t.RegularInterpolate(planes.data(), 1, out.data(), s.size(), s.indices.data());
  else
    t.IrregularInterpolate(planes.data(), 1, out.data(), s.size(), s.indices.data());
  return out;
}

struct GridCase {
  const char *name;
  Bytes m;
  std::vector<std::vector<bool>> subsets;
  int outputs = 3;
};

const std::vector<GridCase> &GridCases() {
  static const std::vector<GridCase> cases = {
      {"four channels, twenty outputs", Bytes(4, 32), {}, 20},
      {"four channels in subset 0", Bytes(4, 32), {{true, true, true, true}}},
      {"six channels with two subsets",
       Bytes(6, 16),
       {{true, true, true}, {false, false, false, true, true, true}}},
      {"eight channels, last index only when all are active", Bytes(8, 32), {}},
      {"channels of different last index", {32, 1, 8, 16}, {}},
      {"a combination finer than its faces",
       Bytes(5, 8),
       {{true, true}, {true, true, true, true, true}}},
      {"a finer combination whose grid points come back blended",
       Bytes(6, 8),
       {{true, true}, {true, true, true, true, true}}},
      {"a coarse channel, whose cells stay inside 0 .. M", {32, 1}, {}},
      {"four channels in a later subset", Bytes(4, 8), {{true}, {true, true, true, true}}},
  };
  return cases;
}

// Linear functions of the input bytes are reproduced on every grid, the callback is asked only
// for grid points, and each of them once.
TEST(VariableResInterpolation, ReproducesLinearFunctionsOnEveryGrid) {
  for (const GridCase &g : GridCases()) {
    SCOPED_TRACE(g.name);
    const int outputs = g.outputs;
    Harness h(g.m, g.subsets, outputs, true);
    const Samples s = MakeSamples(g.m.size(), 3000, 7);
    const std::vector<float> out = Interpolate(*h.setup.table, s, outputs);
    double worst = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const Bytes x = s.At(i);
      for (int o = 0; o < outputs; ++o)
        worst = std::max(worst, std::fabs(out[i * outputs + o] - Linear(o, x.data(), x.size())));
    }
    EXPECT_LT(worst, 2e-4);
    EXPECT_EQ(h.strays.load(), 0);
    EXPECT_EQ(h.MaxCalls(), 1);
  }
}

// Five channels in subset 1 (step 1) whose four-channel faces have step 2: the face point
// (0, 1, 1, 1, 1) is not a grid point and must not be stored in the slot of (0, 2, 2, 2, 2).
TEST(VariableResInterpolation, OffGridVerticesOfAFinerCombinationAreInterpolated) {
  Harness h(Bytes(5, 8), {{true, true}, {true, true, true, true, true}}, 1, true);
  ASSERT_FALSE(h.setup.table->GetIsCompleteFixedSubset());
  Samples s(5);
  s.Add({0, 40, 40, 40, 40});
  const std::vector<float> out = Interpolate(*h.setup.table, s, 1);
  const Bytes x = s.At(0);
  EXPECT_NEAR(out[0], Linear(0, x.data(), 5), 1e-4);
  EXPECT_EQ(h.strays.load(), 0);
  const Bytes node{0, 2, 2, 2, 2};
  const Bytes pos{0, 64, 64, 64, 64};
  EXPECT_NEAR(*h.setup.table->getVertex(node.data()), Linear(0, pos.data(), 5), 1e-5);
}

TEST(VariableResInterpolation, RegularAndIrregularAgreeWhereEveryCombinationHasStepOne) {
  Harness h({8, 8, 8, 16}, {{true, true, true, true}}, 2, false);
  VariableResolutionTable &t = *h.setup.table;
  ASSERT_TRUE(t.GetIsCompleteFixedSubset());
  for (auto it = t.GetBufferStart(false); !it.atEnd; t.GetNextBufferPoint(it)) {
    t.EnsureIteratorHasConversion(it);
    *it.computed = true;
  }
  const Samples s = MakeSamples(4, 4000, 11);
  EXPECT_EQ(Interpolate(t, s, 2, true), Interpolate(t, s, 2, false));
  EXPECT_EQ(h.MaxCalls(), 1);
}

TEST(VariableResInterpolation, SimplexFollowsTheDecreasingFractions) {
  InterpolationCache cache;
  cache.nrChannels = 2;
  const unsigned char base[2] = {3, 5}, steps[2] = {2, 2};
  const double fractions[2] = {0.5, 0.25};
  ComputeSimplex(base, steps, fractions, cache);
  ASSERT_EQ(cache.nrVertices, 3u);
  EXPECT_EQ(cache.order[0], 0u);
  EXPECT_DOUBLE_EQ(cache.weights[0], 0.5);
  EXPECT_DOUBLE_EQ(cache.weights[1], 0.25);
  EXPECT_DOUBLE_EQ(cache.weights[2], 0.25);
  EXPECT_EQ(Bytes(cache.vertices[1], cache.vertices[1] + 2), (Bytes{5, 5}));
  EXPECT_EQ(Bytes(cache.vertices[2], cache.vertices[2] + 2), (Bytes{5, 7}));

  // The next sample in the same cell keeps the looked-up addresses; another cell drops them.
  float marker = 0.0f;
  cache.vertexValues[0] = cache.vertexValues[1] = cache.vertexValues[2] = &marker;
  const double swapped[2] = {0.3, 0.3};
  ComputeSimplex(base, steps, swapped, cache);
  EXPECT_EQ(cache.order[0], 0u);  // equal fractions keep the lower channel first
  EXPECT_DOUBLE_EQ(cache.weights[1], 0.0);
  EXPECT_EQ(cache.vertexValues[2], &marker);
  const double reversed[2] = {0.1, 0.6};
  ComputeSimplex(base, steps, reversed, cache);
  EXPECT_EQ(cache.order[0], 1u);
  EXPECT_EQ(cache.vertexValues[0], &marker);
  EXPECT_EQ(cache.vertexValues[1], nullptr);
  const unsigned char moved[2] = {5, 5};
  const double onNode[2] = {0.0, 0.0};
  ComputeSimplex(moved, steps, onNode, cache);
  EXPECT_EQ(cache.nrVertices, 1u);
  EXPECT_DOUBLE_EQ(cache.weights[0], 1.0);
  EXPECT_EQ(cache.vertexValues[0], nullptr);
}

// A table over some channels of a buffer reads and fills the same points as a table over all of
// them: the points the first table computed are not asked of the second one's callback again.
TEST(VariableResInterpolation, TablesOverOneBufferShareTheirPoints) {
  Harness whole({32, 16, 32}, {{true, false, true}}, 2, true);
  const Samples all = MakeSamples(3, 2000, 9);
  Interpolate(*whole.setup.table, all, 2);

  struct Counting : SinglePointCalculationCallBack {
    int calls = 0;
    void operator()(const unsigned char *point, float *values) override {
      ++calls;
      const unsigned char x[3] = {vrt_test::Position(32, point[0]), 0,
                                  vrt_test::Position(32, point[1])};
      values[0] = static_cast<float>(Linear(0, x, 3));
      values[1] = static_cast<float>(Linear(1, x, 3));
    }
  };
  VariableResolutionTable part({32, 32}, {vrt_test::Positions(32), vrt_test::Positions(32)},
                               whole.setup.buffer.get(), {true, false, true});
  auto model = std::make_unique<Counting>();
  Counting *counter = model.get();
  part.SetSinglePointCalculationCallBack(std::move(model));
  Samples faces(2), embedded(3);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Bytes x = all.At(i);
    faces.Add({x[0], x[2]});
    embedded.Add({x[0], 0, x[2]});
  }
  const std::vector<float> fromWhole = Interpolate(*whole.setup.table, embedded, 2);
  const int before = counter->calls;
  const std::vector<float> fromPart = Interpolate(part, faces, 2);
  EXPECT_EQ(counter->calls, before);  // everything was computed through the first table
  for (std::size_t i = 0; i < fromPart.size(); ++i)
    ASSERT_NEAR(fromPart[i], fromWhole[i], 1e-5) << i;
  EXPECT_EQ(whole.MaxCalls(), 1);
}

// Samples addressed through indices and a stride; repeated samples copy the previous result.
TEST(VariableResInterpolation, ReadsSamplesThroughIndicesAndStride) {
  Harness h(Bytes(3, 32), {}, 2, false);
  const Samples s = MakeSamples(3, 500, 3);
  const std::vector<float> expected = Interpolate(*h.setup.table, s, 2);
  std::vector<Bytes> wide(3, Bytes(s.size() * 3, 0));
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t i = 0; i < s.size(); ++i)
      wide[c][i * 3] = s.planes[c][i];
  std::vector<int> indices;
  for (std::size_t i = s.size(); i-- > 0;) {
    indices.push_back(static_cast<int>(i));
    indices.push_back(static_cast<int>(i));
  }
  const std::vector<const unsigned char *> planes{wide[0].data(), wide[1].data(), wide[2].data()};
  std::vector<float> out(indices.size() * 2);
  h.setup.table->IrregularInterpolate(planes.data(), 3, out.data(), indices.size(), indices.data());
  for (std::size_t j = 0; j < indices.size(); ++j) {
    ASSERT_EQ(out[j * 2], expected[indices[j] * 2]) << j;
    ASSERT_EQ(out[j * 2 + 1], expected[indices[j] * 2 + 1]) << j;
  }
}

// An off-grid vertex is computed once and served from the cache until 100 newer off-grid vertices
// have been stored after it. Serving is seen in the cache's write position and in the result once
// every grid value is cleared: a served vertex keeps its old value, a recomputed one reads zeros.
TEST(VariableResInterpolation, OffGridCacheServesAVertexUntilAHundredNewerOnes) {
  Harness h(Bytes(3, 32), {}, 1, true);
  VariableResolutionTable &t = *h.setup.table;
  const IrregularPointCache &cache = TableInspector::Cache(t);
  auto one = [&](const Bytes &x) {
    Samples s(3);
    s.Add(x);
    return Interpolate(t, s, 1)[0];
  };
  auto writes = [&](auto &&step) {
    const int before = cache.next;
    step();
    return (cache.next - before + kCacheCapacity) % kCacheCapacity;
  };
  // A sample with exactly one off-grid vertex.
  Bytes probe;
  for (int v = 9; v < 120 && probe.empty(); ++v) {
    const Bytes x{static_cast<unsigned char>(v), static_cast<unsigned char>(v + 3),
                  static_cast<unsigned char>(v + 5)};
    Harness fresh(Bytes(3, 32), {}, 1, true);
    const IrregularPointCache &c = TableInspector::Cache(*fresh.setup.table);
    Samples s(3);
    s.Add(x);
    Interpolate(*fresh.setup.table, s, 1);
    if (c.next == 1) probe = x;
  }
  ASSERT_FALSE(probe.empty());
  const float first = one(probe);
  EXPECT_EQ(writes([&] { one(probe); }), 0);

  float *values = nullptr;
  bool *flags = nullptr;
  h.setup.buffer->GetBufferStart(&values, &flags);
  for (int i = 0; i < h.setup.nrPoints; ++i) {
    values[i] = 0.0f;
    flags[i] = true;
  }
  const float served = one(probe);
  EXPECT_NE(served, 0.0f);
  EXPECT_NE(served, first);

  std::mt19937 rng(5);
  std::uniform_int_distribution<int> byte(1, 254);
  int newer = 0;
  while (newer < kCacheCapacity) {
    EXPECT_EQ(writes([&] { EXPECT_EQ(one(probe), served); }), 0) << newer;
    newer += writes([&] {
      one({static_cast<unsigned char>(byte(rng)), static_cast<unsigned char>(byte(rng)),
           static_cast<unsigned char>(byte(rng))});
    });
  }
  EXPECT_EQ(writes([&] { EXPECT_EQ(one(probe), 0.0f); }), 1);
}

// Four threads interpolate the same samples in one table, each in its own order: no data race,
// every grid point computed once, results equal to one thread's on a fresh table.
TEST(VariableResInterpolation, ConcurrentIrregularInterpolationOfOneTableAgreesWithOneThread) {
  const Bytes m{32, 16, 8, 32};
  const Samples s = MakeSamples(4, 1500, 21);
  Harness reference(m, {{false, true, true}}, 2, false);
  const std::vector<float> expected = Interpolate(*reference.setup.table, s, 2);

  Harness shared(m, {{false, true, true}}, 2, false);
  std::vector<std::vector<float>> results(4);
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      std::vector<int> order = s.indices;
      std::shuffle(order.begin(), order.end(), std::mt19937(k));
      const auto planes = s.Pointers();
      std::vector<float> out(order.size() * 2);
      shared.setup.table->IrregularInterpolate(planes.data(), 1, out.data(), order.size(),
                                               order.data());
      results[k].assign(s.size() * 2, 0.0f);
      for (std::size_t j = 0; j < order.size(); ++j) {
        results[k][order[j] * 2] = out[j * 2];
        results[k][order[j] * 2 + 1] = out[j * 2 + 1];
      }
    });
  }
  for (auto &th : threads)
    th.join();
  for (int k = 0; k < 4; ++k) {
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
      mismatches += std::fabs(results[k][i] - expected[i]) > 1e-6f;
    EXPECT_EQ(mismatches, 0u) << "thread " << k;
  }
  EXPECT_EQ(shared.MaxCalls(), 1);
}

}  // namespace
