// Variable-resolution tables: the resolution rule, the buffer layout, construction and the walk.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engines/variablerestable_test_support.h"
#include "foundation/alloc.h"
#include "support/diagnostics_capture.h"

namespace {

using namespace VariableResTable;
using velmora::testing::DiagnosticsCapture;
using vrt_test::Bytes;
using vrt_test::Grid;
using vrt_test::Positions;

FixedSubsets Subsets(std::uint64_t nrBits, std::vector<std::uint64_t> sets) {
  FixedSubsets f;
  f.nrBits = nrBits;
  f.nrSubsets = sets.size();
  for (std::size_t i = 0; i < sets.size(); ++i)
    f.subsets[i].bits = sets[i];
  return f;
}

std::uint64_t Bits(std::initializer_list<int> channels) {
  std::uint64_t b = 0;
  for (int c : channels)
    b |= 1ULL << c;
  return b;
}

// Runs before any buffer or table of this program exists (the lookups need no construction).
TEST(VariableResTable, LookupsNeedNoPriorConstruction) {
  const unsigned char m[2] = {32, 32}, point[2] = {4, 6};
  const int offsets[4] = {0, 1, 33, 65};
  const int *view = offsets;
  EXPECT_EQ(GetIndexOfBufferPoint(2, m, point, &view, DynamicBitSet{3}, FixedSubsets{}), 83);
  for (int a = 0; a <= 33; ++a) {
    for (int b = 1; b <= 33; ++b) {
      ASSERT_EQ(RemainderTable[a][b], a % b);
      ASSERT_EQ(QuotientTable[a][b], a / b);
    }
  }
}

TEST(VariableResTable, GridStepFollowsTheResolutionRule) {
  const FixedSubsets none = Subsets(9, {});
  const int expected[] = {1, 1, 2, 4, 8, 16, 32, 33, 33};
  for (int k = 0; k <= 8; ++k) {
    const std::uint64_t set = (1ULL << k) - 1;
    EXPECT_EQ(GetGridStep(k, DynamicBitSet{set}, none), expected[k]) << k;
  }
  const FixedSubsets two = Subsets(6, {Bits({0, 1, 2, 3}), Bits({2, 3, 4, 5})});
  struct Case {
    std::initializer_list<int> channels;
    int step;
  };
  const Case cases[] = {
      {{}, 1},           {{0, 1, 2, 3}, 1},       {{1, 3}, 1},       {{0, 4}, 2},
      {{0, 1, 2, 4}, 4}, {{0, 1, 2, 3, 4}, 4},    {{2, 3, 4, 5}, 2}, {{4, 5}, 1},
      {{3, 4, 5}, 1},    {{0, 1, 2, 3, 4, 5}, 8}, {{0, 5}, 2},       {{1, 2, 3, 4, 5}, 4},
  };
  for (const Case &c : cases) {
    const std::uint64_t set = Bits(c.channels);
    const std::uint64_t k = c.channels.size();
    Bytes point(6, 0);
    for (int ch : c.channels)
      point[ch] = 7;
    EXPECT_EQ(GetGridStep(k, DynamicBitSet{set}, two), c.step) << set;
    EXPECT_EQ(GetGridStep(k, point.data(), two), c.step) << set;
  }
}

// Buffer sizes, and GetBufferSize of a table over the same channels against the real buffer.
TEST(VariableResTable, BufferSizesMatchTheLayoutAndGetBufferSize) {
  const int sizes[] = {33, 321, 1377, 3969, 9153, 18306, 33161, 55846};
  for (int n = 1; n <= 8; ++n) {
    Grid s(Bytes(n, 32), {}, 1);
    EXPECT_EQ(s.nrPoints, sizes[n - 1]) << n;
    EXPECT_EQ(s.table->GetBufferSize(), s.nrPoints) << n;
  }
  const struct {
    Bytes m;
    std::vector<std::vector<bool>> subsets;
    int points;
  } cases[] = {
      {Bytes(4, 32), {{true, true, true, true}}, 1185921},
      {Bytes(6, 32), {{true, true, true, true}}, 1370561},
      {Bytes(6, 32), {{true, true, true, true}, {false, false, false, false, true, true}}, 1385665},
      {{32, 8, 16, 1, 4}, {{false, true, true}, {true, false, false, true, true}}, 0},
  };
  for (const auto &c : cases) {
    Grid s(c.m, c.subsets, 1);
    if (c.points != 0) {
      EXPECT_EQ(s.nrPoints, c.points);
    }
    EXPECT_EQ(s.table->GetBufferSize(), s.nrPoints);
  }
  // A table over some channels of a bigger buffer: the size of a buffer over those alone.
  int n6 = 0, n3 = 0;
  SharedBuffer big(Bytes(6, 33), n6, {{true, false, true, false, true}}, 1);
  SharedBuffer small(Bytes(3, 33), n3, {{true, true, true}}, 1);
  VariableResolutionTable part(Bytes(3, 32), {Positions(32), Positions(32), Positions(32)}, &big,
                               {true, false, true, false, true});
  EXPECT_EQ(part.GetBufferSize(), n3);
}

// Every grid point, enumerated from the definition alone, has the next index in the buffer, and
// the walk from the start visits exactly those points in that order.
TEST(VariableResTable, GridPointsAndTheWalkFollowTheLayoutOrder) {
  const struct {
    Bytes m;
    std::vector<std::vector<bool>> subsets;
  } cases[] = {
      {{32, 32, 32}, {}},
      {{32, 1, 8, 16}, {}},
      {{32, 4, 16}, {{true, false, true}}},
      {{8, 8, 8, 8, 8}, {{true, true}, {true, true, true, true, true}}},
      {{16, 16, 16, 16, 16, 16}, {{true, false, true}, {false, true, true, true, true}}},
      {Bytes(8, 32), {}},
  };
  for (const auto &c : cases) {
    Grid s(c.m, c.subsets, 1);
    std::size_t expected = 0;
    bool ordered = true;
    vrt_test::ForEachGridPoint(c.m, s.buffer->GetFixedSubsets(), [&](const Bytes &p) {
      ordered = ordered && s.IndexOf(s.table->getVertex(p.data())) == expected;
      ++expected;
    });
    EXPECT_TRUE(ordered);
    EXPECT_EQ(expected, static_cast<std::size_t>(s.nrPoints));
    auto it = s.table->GetBufferStart(false);
    std::size_t walked = 0;
    while (!it.atEnd) {
      ordered = ordered && s.IndexOf(it.value) == walked &&
                vrt_test::IsGridPoint(c.m, s.buffer->GetFixedSubsets(), it.point.data());
      ++walked;
      s.table->GetNextBufferPoint(it);
    }
    EXPECT_TRUE(ordered) << "walk";
    EXPECT_EQ(walked, static_cast<std::size_t>(s.nrPoints));
    EXPECT_EQ(it.counter + 1, static_cast<std::uint32_t>(s.nrPoints));
  }
  // At step 1 everywhere the regular lookup agrees with the general one.
  Grid full({4, 4, 4, 4}, {{true, true, true, true}}, 1);
  ASSERT_TRUE(full.table->GetIsCompleteFixedSubset());
  std::size_t agree = 0, total = 0;
  vrt_test::ForEachGridPoint(full.m, full.buffer->GetFixedSubsets(), [&](const Bytes &p) {
    ++total;
    agree += full.buffer->DoRegularLookup(p.data(), DynamicBitSet{15}) ==
             full.table->getVertex(p.data());
  });
  EXPECT_EQ(agree, total);
  EXPECT_EQ(total, 625u);
}

TEST(VariableResTable, ShortSubsetFlagsCountAsFalse) {
  int shortPoints = 0, fullPoints = 0;
  // Flags dropped by a resize stay set in the vector's storage; they must not be read.
  std::vector<bool> two(5, true);
  two.resize(2);
  SharedBuffer shortFlags(Bytes(5, 9), shortPoints, {two, {}}, 1);
  SharedBuffer fullFlags(Bytes(5, 9), fullPoints,
                         {{true, true, false, false, false}, {false, false, false, false, false}},
                         1);
  EXPECT_EQ(shortPoints, fullPoints);
  EXPECT_EQ(shortFlags.GetFixedSubsets().subsets[0].bits, 3u);
  EXPECT_EQ(shortFlags.GetFixedSubsets().subsets[1].bits, 0u);
}

TEST(VariableResTable, RefusesArgumentsOutsideTheContractBeforeAllocating) {
  DiagnosticsCapture capture;
  velmora::test_hooks::fail_allocations_after(0);
  int n = 0;
  const struct {
    Bytes m;
    std::vector<std::vector<bool>> subsets;
    int outputs;
  } buffers[] = {
      {Bytes(16, 2), {}, 1},
      {{33, 34}, {}, 1},
      {{33, 0}, {}, 1},
      {{33}, {{true}, {true}, {true}, {true}, {true}}, 1},
      {{33}, {}, 256},
      {{33}, {}, -1},
      {Bytes(7, 33), {std::vector<bool>(7, true)}, 1},
      {Bytes(15, 33), {std::vector<bool>(9, true)}, 1},
  };
  for (const auto &c : buffers)
    EXPECT_THROW(SharedBuffer(c.m, n, c.subsets, c.outputs), std::invalid_argument)
        << c.m.size() << " channels, " << c.outputs << " outputs";
  velmora::test_hooks::fail_allocations_after(-1);
  EXPECT_TRUE(capture.errors().empty());

  int points = 0;
  SharedBuffer buffer({33, 33, 9}, points, {}, 2);
  const Bytes p32 = Positions(32);
  Bytes rising = p32;
  rising[5] = rising[4];
  using Table = VariableResolutionTable;
  const struct {
    Bytes m;
    std::vector<Bytes> positions;
    SharedBuffer *buffer;
    std::vector<bool> mask;
  } tables[] = {
      {{32, 32}, {p32, p32}, nullptr, {true, true}},
      {{32, 32}, {p32, p32}, &buffer, {true, true, true}},
      {{32, 32}, {p32, p32}, &buffer, {true}},
      {{32, 32}, {p32, p32}, &buffer, {true, false, false, true}},
      {{32, 32}, {p32}, &buffer, {true, true}},
      {{32, 32}, {p32, rising}, &buffer, {true, true}},
      {{32, 8}, {p32, Positions(8)}, &buffer, {true, true}},
      {{32, 6}, {p32, Positions(6)}, &buffer, {true, false, true}},
      {{32, 32}, {p32, Bytes(34, 0)}, &buffer, {true, true}},
      {Bytes(16, 32), std::vector<Bytes>(16, p32), &buffer, std::vector<bool>(16, true)},
  };
  for (std::size_t i = 0; i < std::size(tables); ++i) {
    const auto &c = tables[i];
    EXPECT_THROW(Table(c.m, c.positions, c.buffer, c.mask), std::invalid_argument)
        << "table case " << i;
  }
  EXPECT_NO_THROW(Table({32, 8}, {p32, Positions(8)}, &buffer, {true, false, true}));
}

TEST(VariableResTable, FailedAllocationLeavesABufferWithoutStorage) {
  for (long successes : {0L, 1L}) {
    DiagnosticsCapture capture;
    int n = 0;
    velmora::test_hooks::fail_allocations_after(successes);
    SharedBuffer buffer({33, 33}, n, {}, 3);
    velmora::test_hooks::fail_allocations_after(-1);
    EXPECT_EQ(n, 321);
    EXPECT_FALSE(buffer.HasStorage());
    EXPECT_EQ(capture.error_texts(),
              std::vector<std::string>{"VariableResolutionTable: insufficient memory"});
    const unsigned char point[2] = {4, 6};
    bool *flag = reinterpret_cast<bool *>(1);
    EXPECT_EQ(buffer.DoIrregularLookup(point, DynamicBitSet{3}, &flag), nullptr);
    EXPECT_EQ(flag, nullptr);
    EXPECT_EQ(buffer.DoRegularLookup(point, DynamicBitSet{3}), nullptr);
    EXPECT_THROW(
        VariableResolutionTable({32, 32}, {Positions(32), Positions(32)}, &buffer, {true, true}),
        std::invalid_argument);
  }
}

TEST(VariableResTable, CopiesOfABufferAreDeep) {
  Grid s({32, 32}, {}, 2);
  float *values = nullptr;
  bool *flags = nullptr;
  s.buffer->GetBufferStart(&values, &flags);
  for (int i = 0; i < 321 * 2; ++i)
    values[i] = static_cast<float>(i);
  flags[83] = true;
  SharedBuffer copy(*s.buffer);
  SharedBuffer assigned({2}, s.nrPoints, {}, 1);
  assigned = copy;
  float *copied = nullptr;
  bool *copiedFlags = nullptr;
  assigned.GetBufferStart(&copied, &copiedFlags);
  ASSERT_NE(copied, values);
  EXPECT_EQ(copied[641], 641.0f);
  EXPECT_TRUE(copiedFlags[83]);
  EXPECT_EQ(assigned.GetNrPoints(), 321);
  copied[0] = -1.0f;
  EXPECT_EQ(values[0], 0.0f);
  SharedBuffer moved(std::move(copy));
  EXPECT_TRUE(moved.HasStorage());
  EXPECT_FALSE(copy.HasStorage());  // NOLINT(bugprone-use-after-move): moved-from state
}

// Regular (RegularInterpolate's condition) exactly when every combination has step 1, whatever
// the numbering of the table's channels in the buffer.
TEST(VariableResTable, CompleteFixedSubsetIsDecidedOverTheTablesOwnCombinations) {
  int n = 0;
  const Bytes p = Positions(8);
  SharedBuffer a(Bytes(5, 9), n, {{false, true, true, true, true}}, 1);
  SharedBuffer b(Bytes(5, 9), n, {{true, true, true, true}}, 1);
  SharedBuffer c(Bytes(5, 9), n, {{true}, {true, true, true, true}}, 1);
  SharedBuffer d(Bytes(5, 9), n, {{true, true}, {true, true, true, true, true}}, 1);
  const std::vector<bool> upper{false, true, true, true, true}, lower{true, true, true, true};
  const std::vector<bool> all(5, true), mixed{true, true, true, false, true};
  const struct {
    SharedBuffer *buffer;
    const std::vector<bool> *mask;
    bool complete;
  } cases[] = {{&a, &upper, true},  {&b, &lower, true}, {&b, &mixed, false},
               {&c, &lower, false}, {&d, &all, false},  {&d, &lower, false}};
  for (const auto &k : cases) {
    const std::size_t channels = std::count(k.mask->begin(), k.mask->end(), true);
    VariableResolutionTable t(Bytes(channels, 8), std::vector<Bytes>(channels, p), k.buffer,
                              *k.mask);
    EXPECT_EQ(t.GetIsCompleteFixedSubset(), k.complete);
  }
}

// ---------------------------------------------------------------------------------------------
// The walk

struct CountingModel : SinglePointCalculationCallBack {
  int *calls;
  explicit CountingModel(int *c) : calls(c) {}
  void operator()(const unsigned char *point, float *values) override {
    ++*calls;
    values[0] = point[0];
  }
};

TEST(VariableResTable, UniquePointsWalkCoversTheAllActiveBlock) {
  Grid s({32, 32, 32, 32}, {}, 1);
  auto it = s.table->GetBufferUniquePointsStart(true);
  EXPECT_EQ(it.point, (Bytes{8, 8, 8, 8}));
  EXPECT_EQ(it.nrActive, 4u);
  EXPECT_DOUBLE_EQ(it.coordinates[0], (255 - 64) / 255.0);
  const std::size_t first = s.IndexOf(it.value);
  std::size_t visited = 0;
  while (!it.atEnd) {
    EXPECT_EQ(s.IndexOf(it.value), first + visited);
    ++visited;
    if (it.counter == 255) {
      EXPECT_EQ(it.point, (Bytes{32, 32, 32, 32}));
      EXPECT_DOUBLE_EQ(it.coordinates[3], 0.0);
    }
    s.table->GetNextBufferPoint(it);
  }
  EXPECT_EQ(visited, 256u);
  EXPECT_EQ(first + 256, static_cast<std::size_t>(s.nrPoints));

  // A table over some channels of a bigger buffer reaches each of its points once.
  int n = 0;
  SharedBuffer big({33, 5, 33, 9}, n, {}, 1);
  VariableResolutionTable part({32, 8}, {Positions(32), Positions(8)}, &big,
                               {true, false, false, true});
  std::set<const float *> seen;
  for (auto w = part.GetBufferStart(false); !w.atEnd; part.GetNextBufferPoint(w))
    seen.insert(w.value);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(part.GetBufferSize()));
}

TEST(VariableResTable, EnsureIteratorHasConversionAsksOnlyForMissingPoints) {
  Grid s({16, 16}, {}, 1);
  int calls = 0;
  s.table->SetSinglePointCalculationCallBack(std::make_unique<CountingModel>(&calls));
  auto it = s.table->GetBufferUniquePointsStart(false);
  s.table->EnsureIteratorHasConversion(it);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(*it.computed);
  EXPECT_EQ(*it.value, it.point[0]);
  *it.computed = true;
  *it.value = -5.0f;
  s.table->EnsureIteratorHasConversion(it);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(*it.value, -5.0f);
}

}  // namespace
