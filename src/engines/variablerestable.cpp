// Variable-resolution tables: the resolution rule, the block layout of the shared buffer, the
// buffer and table objects and their per-byte tables.
//
// The buffer holds one block per combination of active channels, blocks in increasing pattern
// number (channel 0 the most significant bit). A block is the product grid of its channels' nodes
// at the combination's step, numbered in mixed radix with the lowest channel most significant.
// Nodes are anchored at the last index M, so M is a node at every step.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "engines/variablerestable_internal.h"
#include "foundation/alloc.h"
#include "foundation/error.h"

namespace VariableResTable {
namespace {

constexpr DivisionTable MakeDivisionTable(bool remainder) {
  DivisionTable t{};
  for (int a = 0; a <= kLastStep; ++a) {
    for (int b = 1; b <= kLastStep; ++b)
      t[a][b] = static_cast<unsigned char>(remainder ? a % b : a / b);
  }
  return t;
}

constexpr std::uint64_t LowBits(std::uint64_t n) {
  return n >= 64 ? ~0ULL : (1ULL << n) - 1;
}

[[noreturn]] void Refuse(const char *what) {
  throw std::invalid_argument(what);
}

}  // namespace

// Constant data rather than tables filled on first use: every lookup may run before any object
// exists and on any thread.
constinit const DivisionTable RemainderTable = MakeDivisionTable(true);
constinit const DivisionTable QuotientTable = MakeDivisionTable(false);
constinit const std::array<unsigned char, kMaxChannels> UnitSteps = {1, 1, 1, 1, 1, 1, 1, 1,
                                                                     1, 1, 1, 1, 1, 1, 1};

// The resolution rule. A combination inside a subset keeps full resolution (step 1; four active
// channels inside a later subset step 2). Otherwise m, the largest number of its channels that
// one subset holds, offsets the coarsening: the step is 2^((2k - m - 1) / 2), at most 33.
int GetGridStep(std::uint64_t k, const DynamicBitSet &active, const FixedSubsets &subsets) {
  const std::uint64_t a = active.bits;
  const std::uint64_t below = LowBits(subsets.nrBits);
  const std::uint64_t count = std::min<std::uint64_t>(subsets.nrSubsets, kMaxSubsets);
  const auto kk = static_cast<std::int64_t>(k);
  std::int64_t m = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t s = subsets.subsets[i].bits;
    if ((a & ~s) == 0) return (i == 0 || k != 4) ? 1 : 2;
    m = std::max<std::int64_t>(m, kk - std::popcount(a & below & ~s));
  }
  if (k == 0) return 1;
  const std::int64_t e = (2 * kk - m - 1) / 2;
  if (e <= 0) return 1;
  return e >= 6 ? kLastStep : 1 << e;
}

int GetGridStep(std::uint64_t k, const unsigned char *point, const FixedSubsets &subsets) {
  DynamicBitSet active;
  const std::uint64_t n = std::min<std::uint64_t>(subsets.nrBits, 64);
  for (std::uint64_t c = 0; c < n; ++c) {
    if (point[c] != 0) active.bits |= 1ULL << c;
  }
  return GetGridStep(k, active, subsets);
}

int GetIndexOfBufferPoint(std::uint64_t nrChannels, const unsigned char *maxGridIndex,
                          const unsigned char *point, const int *const *blockOffsets,
                          const DynamicBitSet &mask, const FixedSubsets &fixedSubsets) {
  if (nrChannels == 0) return (*blockOffsets)[0];
  const std::uint64_t n = std::min<std::uint64_t>(nrChannels, kMaxChannels);
  unsigned char bytes[kMaxChannels];
  std::uint64_t pattern = 0, k = 0;
  DynamicBitSet active;
  for (std::uint64_t c = 0, next = 0; c < n; ++c) {
    bytes[c] = (mask.bits >> c) & 1 ? point[next++] : 0;
    if (bytes[c] != 0) {
      pattern |= 1ULL << (n - 1 - c);
      active.bits |= 1ULL << c;
      ++k;
    }
  }
  const int s = GetGridStep(k, active, fixedSubsets);
  // Mixed radix, the last channel least significant: walk from the last channel up, carrying
  // the product of the node counts of the channels after the current one.
  std::int64_t position = 0, radix = 1;
  for (std::uint64_t c = n; c-- > 0;) {
    if (bytes[c] == 0) continue;
    const int m = maxGridIndex[c];
    const int rank = QuotientTable[bytes[c]][s] + (RemainderTable[m][s] != 0 ? 1 : 0);
    if (rank > 1) position += (rank - 1) * radix;
    const int nodes = NodeCount(m, s);
    radix *= nodes != 0 ? nodes : 1;
  }
  return static_cast<int>((*blockOffsets)[pattern] + position);
}

std::unique_ptr<int[]> BuildBlockOffsets(std::uint64_t nrChannels,
                                         const unsigned char *maxGridIndex,
                                         const FixedSubsets &subsets) {
  const std::uint64_t n = nrChannels;
  const std::uint64_t patterns = 1ULL << n;
  auto offsets = std::make_unique<int[]>(patterns + 1);
  std::int64_t total = 0;
  for (std::uint64_t p = 0; p < patterns; ++p) {
    DynamicBitSet set;
    for (std::uint64_t c = 0; c < n; ++c) {
      if ((p >> (n - 1 - c)) & 1) set.bits |= 1ULL << c;
    }
    offsets[p] = static_cast<int>(total);
    const int s = GetGridStep(static_cast<std::uint64_t>(std::popcount(p)), set, subsets);
    std::int64_t block = 1;
    for (std::uint64_t c = 0; c < n; ++c) {
      if ((set.bits >> c) & 1) {
        const int nodes = NodeCount(maxGridIndex[c], s);
        block *= nodes != 0 ? nodes : 1;
        if (block > INT_MAX) Refuse("VariableResolutionTable: grid exceeds 2^31 - 1 points");
      }
    }
    total += block;
    if (total > INT_MAX) Refuse("VariableResolutionTable: grid exceeds 2^31 - 1 points");
  }
  offsets[patterns] = static_cast<int>(total);
  return offsets;
}

SinglePointCalculationCallBack::~SinglePointCalculationCallBack() = default;
void SinglePointCalculationCallBack::operator()(const unsigned char *, float *) {}

}  // namespace VariableResTable

using namespace VariableResTable;

namespace {

// Stripes of the locks that serialise the computation of missing grid points.
constexpr int kPointLockStripes = 64;
constexpr int kMaxOutputs = 255;  // the off-grid cache counts outputs in a byte

}  // namespace

// ---------------------------------------------------------------------------------------------
// SharedBuffer

SharedBuffer::SharedBuffer(const std::vector<unsigned char> &gridPointCounts, int &nrPointsOut,
                           const std::vector<std::vector<bool>> &subsets, int nrOutputs) {
  if (gridPointCounts.size() > static_cast<std::size_t>(kMaxChannels))
    Refuse("SharedBuffer: more than 15 channels");
  for (unsigned char count : gridPointCounts) {
    if (count < 1 || count > kMaxGridIndex + 1)
      Refuse("SharedBuffer: grid point counts must lie in 1 .. 33");
  }
  if (subsets.size() > static_cast<std::size_t>(kMaxSubsets))
    Refuse("SharedBuffer: more than four fixed subsets");
  if (nrOutputs < 0 || nrOutputs > kMaxOutputs)
    Refuse("SharedBuffer: output channels must lie in 0 .. 255");

  nrOutputChannels = nrOutputs;
  nrChannels = gridPointCounts.size();
  for (std::uint64_t c = 0; c < nrChannels; ++c)
    maxGridIndex[c] = static_cast<unsigned char>(gridPointCounts[c] - 1);
  fixedSubsets.nrSubsets = subsets.size();
  fixedSubsets.nrBits = nrChannels;
  for (std::size_t i = 0; i < subsets.size(); ++i) {
    const std::size_t flags = std::min<std::size_t>(subsets[i].size(), nrChannels);
    for (std::size_t c = 0; c < flags; ++c) {
      if (subsets[i][c]) fixedSubsets.subsets[i].bits |= 1ULL << c;
    }
  }
  std::unique_ptr<int[]> offsets = BuildBlockOffsets(nrChannels, maxGridIndex, fixedSubsets);
  blockOffsets = offsets.release();
  const DynamicBitSet all{LowBits(nrChannels)};
  const int *offsetsView = blockOffsets;
  nrPoints = GetIndexOfBufferPoint(nrChannels, maxGridIndex, maxGridIndex, &offsetsView, all,
                                   fixedSubsets) +
             1;
  nrPointsOut = nrPoints;
  pointLocks = std::make_unique<std::mutex[]>(kPointLockStripes);
  Allocate();
}

void SharedBuffer::Allocate() {
  const auto points = static_cast<std::size_t>(nrPoints);
  values = velmora::alloc_array<float>(std::max<std::size_t>(1, points * nrOutputChannels));
  computed =
      values != nullptr ? velmora::calloc_array<bool>(std::max<std::size_t>(1, points)) : nullptr;
  if (values == nullptr || computed == nullptr) {
    VELMORA_REPORT("VariableResolutionTable: insufficient memory");
    velmora::mem_free(values);
    values = nullptr;
    computed = nullptr;
  }
}

void SharedBuffer::Release() {
  velmora::mem_free(values);
  velmora::mem_free(computed);
  delete[] blockOffsets;
  values = nullptr;
  computed = nullptr;
  blockOffsets = nullptr;
}

SharedBuffer::SharedBuffer(const SharedBuffer &other)
    : fixedSubsets(other.fixedSubsets),
      nrChannels(other.nrChannels),
      nrOutputChannels(other.nrOutputChannels),
      nrPoints(other.nrPoints),
      pointLocks(std::make_unique<std::mutex[]>(kPointLockStripes)) {
  std::memcpy(maxGridIndex, other.maxGridIndex, sizeof maxGridIndex);
  if (other.blockOffsets != nullptr) {
    const std::size_t entries = (std::size_t{1} << nrChannels) + 1;
    blockOffsets = new int[entries];
    std::memcpy(blockOffsets, other.blockOffsets, entries * sizeof(int));
  }
  if (other.HasStorage()) {
    Allocate();
    if (HasStorage()) {
      const auto points = static_cast<std::size_t>(nrPoints);
      std::memcpy(values, other.values, points * nrOutputChannels * sizeof(float));
      std::memcpy(computed, other.computed, points * sizeof(bool));
    }
  }
}

SharedBuffer::SharedBuffer(SharedBuffer &&other) noexcept
    : fixedSubsets(other.fixedSubsets),
      nrChannels(other.nrChannels),
      values(std::exchange(other.values, nullptr)),
      computed(std::exchange(other.computed, nullptr)),
      blockOffsets(std::exchange(other.blockOffsets, nullptr)),
      nrOutputChannels(other.nrOutputChannels),
      nrPoints(other.nrPoints),
      pointLocks(std::move(other.pointLocks)) {
  std::memcpy(maxGridIndex, other.maxGridIndex, sizeof maxGridIndex);
}

SharedBuffer &SharedBuffer::operator=(const SharedBuffer &other) {
  if (this != &other) *this = SharedBuffer(other);
  return *this;
}

SharedBuffer &SharedBuffer::operator=(SharedBuffer &&other) noexcept {
  if (this != &other) {
    Release();
    std::memcpy(maxGridIndex, other.maxGridIndex, sizeof maxGridIndex);
    fixedSubsets = other.fixedSubsets;
    nrChannels = other.nrChannels;
    values = std::exchange(other.values, nullptr);
    computed = std::exchange(other.computed, nullptr);
    blockOffsets = std::exchange(other.blockOffsets, nullptr);
    nrOutputChannels = other.nrOutputChannels;
    nrPoints = other.nrPoints;
    pointLocks = std::move(other.pointLocks);
  }
  return *this;
}

SharedBuffer::~SharedBuffer() {
  Release();
}

std::ptrdiff_t SharedBuffer::IndexOf(const unsigned char *point, const DynamicBitSet &mask) const {
  const int *offsets = blockOffsets;
  return GetIndexOfBufferPoint(nrChannels, maxGridIndex, point, &offsets, mask, fixedSubsets);
}

// At step 1 a channel's nodes are 1 .. M and the rank of index P is P - 1.
float *SharedBuffer::DoRegularLookup(const unsigned char *point, const DynamicBitSet &mask) const {
  if (values == nullptr) return nullptr;
  if (nrChannels == 0)
    return values + static_cast<std::ptrdiff_t>(blockOffsets[0]) * nrOutputChannels;
  unsigned char bytes[kMaxChannels];
  std::uint64_t pattern = 0;
  for (std::uint64_t c = 0, next = 0; c < nrChannels; ++c) {
    bytes[c] = (mask.bits >> c) & 1 ? point[next++] : 0;
    if (bytes[c] != 0) pattern |= 1ULL << (nrChannels - 1 - c);
  }
  std::ptrdiff_t position = 0, radix = 1;
  for (std::uint64_t c = nrChannels; c-- > 0;) {
    if (bytes[c] == 0) continue;
    if (bytes[c] > 1) position += (bytes[c] - 1) * radix;
    radix *= maxGridIndex[c];
  }
  return values + (blockOffsets[pattern] + position) * nrOutputChannels;
}

float *SharedBuffer::DoIrregularLookup(const unsigned char *point, const DynamicBitSet &mask,
                                       bool **computedFlag) const {
  if (values == nullptr) {
    *computedFlag = nullptr;
    return nullptr;
  }
  const std::ptrdiff_t index = IndexOf(point, mask);
  *computedFlag = computed + index;
  return values + index * nrOutputChannels;
}

void SharedBuffer::GetBufferStart(float **valuesOut, bool **computedOut) const {
  *valuesOut = values;
  *computedOut = computed;
}

const FixedSubsets &SharedBuffer::GetFixedSubsets() const {
  return fixedSubsets;
}
int SharedBuffer::GetNrOutputChannels() const {
  return nrOutputChannels;
}
int SharedBuffer::GetNrPoints() const {
  return nrPoints;
}
bool SharedBuffer::HasStorage() const {
  return values != nullptr && computed != nullptr;
}

std::mutex &SharedBuffer::PointLock(std::ptrdiff_t index) const {
  return pointLocks[static_cast<std::size_t>(index) % kPointLockStripes];
}

// ---------------------------------------------------------------------------------------------
// VariableResolutionTable

namespace {

constexpr int kLevelSteps[] = {1, 2, 4, 8, 16, 32};

// Position of every input byte within its cell when the grid of a channel is taken every t-th
// index: (v - pos[j - t]) / (pos[j] - pos[j - t]) with j the first multiple of t above v's
// position; 0 at both ends. With lower, the cell's lower index j - t per byte.
void FillFractions(const unsigned char *pos, int t, double *fractions, unsigned char *lower) {
  fractions[0] = 0.0;
  fractions[255] = 0.0;
  int j = t;
  for (int v = 1; v <= 254; ++v) {
    while (pos[j] <= v)
      j += t;
    fractions[v] = static_cast<double>(v - pos[j - t]) / static_cast<double>(pos[j] - pos[j - t]);
    if (lower != nullptr) lower[v] = static_cast<unsigned char>(j - t);
  }
}

bool IsLevel(int m) {
  return m == 1 || m == 2 || m == 4 || m == 8 || m == 16 || m == 32;
}

}  // namespace

VariableResolutionTable::VariableResolutionTable(
    const std::vector<unsigned char> &maxGridIndex,
    const std::vector<std::vector<unsigned char>> &gridPositions, SharedBuffer *buffer,
    const std::vector<bool> &mask) {
  // Every check comes before the first allocation.
  if (buffer == nullptr) Refuse("VariableResolutionTable: no buffer");
  if (!buffer->HasStorage()) Refuse("VariableResolutionTable: the buffer holds no storage");
  if (buffer->nrOutputChannels > kMaxOutputs)
    Refuse("VariableResolutionTable: more than 255 output channels");
  const std::size_t n = maxGridIndex.size();
  if (n > static_cast<std::size_t>(kMaxChannels))
    Refuse("VariableResolutionTable: more than 15 channels");
  if (gridPositions.size() != n)
    Refuse("VariableResolutionTable: one grid position list per channel expected");
  DynamicBitSet bits;
  for (std::size_t d = 0; d < mask.size(); ++d) {
    if (!mask[d]) continue;
    if (d >= buffer->nrChannels) Refuse("VariableResolutionTable: mask beyond the buffer");
    bits.bits |= 1ULL << d;
  }
  if (static_cast<std::size_t>(std::popcount(bits.bits)) != n)
    Refuse("VariableResolutionTable: mask does not match the channel count");
  for (std::size_t c = 0, d = 0; c < n; ++c, ++d) {
    while (((bits.bits >> d) & 1) == 0)
      ++d;
    const int m = maxGridIndex[c];
    if (!IsLevel(m)) Refuse("VariableResolutionTable: last grid index must be 1, 2, 4 .. 32");
    if (m != buffer->maxGridIndex[d])
      Refuse("VariableResolutionTable: last grid index differs from the buffer's");
    const std::vector<unsigned char> &pos = gridPositions[c];
    if (pos.size() != static_cast<std::size_t>(m) + 1 || pos.front() != 0 || pos.back() != 255)
      Refuse("VariableResolutionTable: grid positions must run from 0 to 255 in M + 1 steps");
    for (int j = 1; j <= m; ++j) {
      if (pos[j] <= pos[j - 1])
        Refuse("VariableResolutionTable: grid positions must increase strictly");
    }
  }

  sharedBuffer = buffer;
  tableMask = bits;
  callBack = std::make_unique<SinglePointCalculationCallBack>();
  nrChannels = n;
  tableParameters.nrChannels = n;
  for (std::size_t c = 0; c < n; ++c) {
    tableParameters.maxGridIndex[c] = maxGridIndex[c];
    std::copy(gridPositions[c].begin(), gridPositions[c].end(), tableParameters.gridPositions[c]);
  }

  // Per-byte tables: the full-resolution cell, and the cell at every power-of-two step.
  levelFractionStorage = std::make_unique<double[]>(n * std::size(kLevelSteps) * 256);
  for (std::size_t c = 0; c < n; ++c) {
    const int m = tableParameters.maxGridIndex[c];
    const unsigned char *pos = tableParameters.gridPositions[c];
    unsigned char *lower = tableParameters.lowerIndexTable[c];
    FillFractions(pos, 1, tableParameters.fractionTable[c], lower);
    lower[0] = 0;
    lower[255] = static_cast<unsigned char>(m);
    for (std::size_t l = 0; l < std::size(kLevelSteps); ++l) {
      double *level = &levelFractionStorage[(c * std::size(kLevelSteps) + l) * 256];
      FillFractions(pos, std::min(kLevelSteps[l], m), level, nullptr);
      levelFractionTables[c][kLevelSteps[l]] = level;
    }
    // Never used as a cell step (the cells are limited to M); kept valid all the same.
    levelFractionTables[c][kLastStep] = levelFractionTables[c][32];
  }

  // The buffer's subsets restricted to the table's channels and renumbered.
  const FixedSubsets &bufferSubsets = buffer->fixedSubsets;
  fixedSubsets.nrSubsets = bufferSubsets.nrSubsets;
  fixedSubsets.nrBits = n;
  for (std::uint64_t i = 0; i < bufferSubsets.nrSubsets; ++i) {
    for (std::uint64_t d = 0, j = 0; d < bufferSubsets.nrBits; ++d) {
      if (((tableMask.bits >> d) & 1) == 0) continue;
      if ((bufferSubsets.subsets[i].bits >> d) & 1) fixedSubsets.subsets[i].bits |= 1ULL << j;
      ++j;
    }
  }

  // Step of every combination. The table is regular when all have step 1; it has coarser faces
  // when dropping a channel from some combination makes the step larger (four channels in a
  // later subset), in which case the node test cannot be skipped for any cell.
  const std::size_t combinations = std::size_t{1} << n;
  combinationSteps.resize(combinations);
  isCompleteFixedSubset = true;
  for (std::size_t a = 0; a < combinations; ++a) {
    const int s =
        GetGridStep(static_cast<std::uint64_t>(std::popcount(a)), DynamicBitSet{a}, fixedSubsets);
    combinationSteps[a] = static_cast<unsigned char>(s);
    if (s != 1) isCompleteFixedSubset = false;
    for (std::size_t c = 0; c < n; ++c) {
      if (((a >> c) & 1) != 0 && combinationSteps[a & ~(std::size_t{1} << c)] > s)
        hasCoarserFaces = true;
    }
  }

  irregularPointCache = std::make_unique<IrregularPointCache>();
  IrregularPointCache &cache = *irregularPointCache;
  cache.nrOutputs = static_cast<unsigned char>(buffer->nrOutputChannels);
  cache.nrChannels = static_cast<unsigned char>(n);
  cache.values.assign(static_cast<std::size_t>(kCacheCapacity) * cache.nrOutputs, 0.0f);
  cache.storedPoints.assign(static_cast<std::size_t>(kCacheCapacity) * n, 0);

  tableStep = combinationSteps[combinations - 1];
}

VariableResolutionTable::~VariableResolutionTable() = default;

const TableParameters &VariableResolutionTable::GetTableParameters() const {
  return tableParameters;
}
DynamicBitSet VariableResolutionTable::GetTableMask() const {
  return tableMask;
}
bool VariableResolutionTable::GetIsCompleteFixedSubset() const {
  return isCompleteFixedSubset;
}

int VariableResolutionTable::GetBufferSize() const {
  const std::unique_ptr<int[]> offsets =
      BuildBlockOffsets(nrChannels, tableParameters.maxGridIndex, fixedSubsets);
  const int *view = offsets.get();
  return GetIndexOfBufferPoint(nrChannels, tableParameters.maxGridIndex,
                               tableParameters.maxGridIndex, &view,
                               DynamicBitSet{LowBits(nrChannels)}, fixedSubsets) +
         1;
}

float *VariableResolutionTable::getVertex(const unsigned char *point) {
  bool *flag = nullptr;
  return sharedBuffer->DoIrregularLookup(point, tableMask, &flag);
}

void VariableResolutionTable::SetSinglePointCalculationCallBack(
    std::unique_ptr<SinglePointCalculationCallBack> newCallBack) {
  callBack = newCallBack != nullptr ? std::move(newCallBack)
                                    : std::make_unique<SinglePointCalculationCallBack>();
}

int VariableResolutionTable::StepOf(const unsigned char *point) const {
  std::size_t bits = 0;
  for (std::uint64_t c = 0; c < nrChannels; ++c) {
    if (point[c] != 0) bits |= std::size_t{1} << c;
  }
  return combinationSteps[bits];
}
