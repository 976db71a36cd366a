// Interpolation in variable-resolution tables.
//
// A sample is located in a cell of the grid (full resolution for regular tables; for the variable
// grid a cell whose spacing follows the resolution rule of the channels active at its corners),
// and the cell is split Kuhn's way: sort the fractional positions in decreasing order and walk
// from the base corner one channel at a time. The output is the barycentric blend of the simplex
// vertices. A vertex that is not a node of its own combination's grid (off-grid) is itself
// interpolated from its own, coarser cell; the values of the last 100 off-grid vertices are kept
// per table. Missing grid points are computed once, through the table's callback.
#include <atomic>
#include <cstring>

#include "engines/variablerestable_internal.h"

using namespace VariableResTable;

namespace {

constexpr int kMaxOutputs = 255;

// Byte loops rather than library calls: n is at most 15.
bool SameBytes(const unsigned char *a, const unsigned char *b, std::uint64_t n) {
  for (std::uint64_t c = 0; c < n; ++c) {
    if (a[c] != b[c]) return false;
  }
  return true;
}

void CopyBytes(unsigned char *to, const unsigned char *from, std::uint64_t n) {
  for (std::uint64_t c = 0; c < n; ++c)
    to[c] = from[c];
}

// Reads sample i's bytes; the product stride x index is taken in pointer width.
void ReadSample(const unsigned char *const *channels, std::uint64_t n, int stride, int index,
                unsigned char *input) {
  const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(stride) * index;
  for (std::uint64_t c = 0; c < n; ++c)
    input[c] = channels[c][at];
}

// Output o blended from the simplex's vertices that carry weight.
double WeightedSum(const InterpolationCache &simplex, int o) {
  double sum = 0.0;
  for (std::uint64_t k = 0; k < simplex.nrVertices; ++k) {
    if (simplex.weights[k] > 0.0)
      sum += simplex.weights[k] * static_cast<double>(simplex.vertexValues[k][o]);
  }
  return sum;
}

// Walks the samples: interpolate(input, result) computes one sample's outputs, except that a
// sample whose bytes repeat the previous sample's gets the previous result again.
template <class Interpolate>
void ForEachSample(const unsigned char *const *channels, std::uint64_t n, int stride,
                   const int *indices, std::uint64_t count, float *out, int nrOutputs,
                   Interpolate &&interpolate) {
  const std::size_t resultBytes = static_cast<std::size_t>(nrOutputs) * sizeof(float);
  unsigned char input[kMaxChannels] = {}, previous[kMaxChannels] = {};
  float last[kMaxOutputs] = {};
  for (std::uint64_t i = 0; i < count; ++i) {
    float *result = out + i * static_cast<std::uint64_t>(nrOutputs);
    ReadSample(channels, n, stride, indices[i], input);
    if (i > 0 && SameBytes(input, previous, n)) {
      std::memcpy(result, last, resultBytes);
      continue;
    }
    CopyBytes(previous, input, n);
    interpolate(input, result);
    std::memcpy(last, result, resultBytes);
  }
}

}  // namespace

namespace VariableResTable {

void ComputeSimplex(const unsigned char *base, const unsigned char *steps, const double *fractions,
                    InterpolationCache &cache) {
  const std::uint64_t n = cache.nrChannels;
  cache.nrVertices = 1;
  const bool sameBase = cache.valid && SameBytes(cache.vertices[0], base, n);
  CopyBytes(cache.vertices[0], base, n);
  for (std::uint64_t c = 0; c < n; ++c)
    cache.fractions[c] = steps[c] != 0 ? fractions[c] : 0.0;
  if (!sameBase) {
    cache.valid = false;
    cache.vertexValues[0] = nullptr;
  }

  // Insertion sort by decreasing fraction; equal fractions keep increasing channel order.
  std::uint64_t sorted = 0;
  for (std::uint64_t i = n; i-- > 0;) {
    const double f = cache.fractions[i];
    std::uint64_t at = 0;
    while (at < sorted && cache.fractions[cache.order[at]] > f)
      ++at;
    for (std::uint64_t j = sorted; j > at; --j)
      cache.order[j] = cache.order[j - 1];
    cache.order[at] = i;
    ++sorted;
  }

  std::uint64_t m = n;
  while (m > 0 && cache.fractions[cache.order[m - 1]] == 0.0)
    --m;
  if (m == 0) {
    cache.weights[0] = 1.0;
    cache.valid = true;
    return;
  }

  for (std::uint64_t k = 1; k <= m; ++k) {
    unsigned char vertex[16];
    std::memcpy(vertex, cache.vertices[k - 1], sizeof vertex);
    const std::uint64_t c = cache.order[k - 1];
    vertex[c] = static_cast<unsigned char>(vertex[c] + steps[c]);
    if (cache.valid && SameBytes(vertex, cache.vertices[k], n)) continue;
    cache.valid = false;
    std::memcpy(cache.vertices[k], vertex, sizeof vertex);
    cache.vertexValues[k] = nullptr;
  }
  cache.nrVertices = m + 1;

  // Weights from the top: each is what remains of the next larger fraction once the weights
  // above it are taken off.
  double remaining[kMaxChannels];
  for (std::uint64_t k = 0; k < m; ++k)
    remaining[k] = cache.fractions[cache.order[k]];
  double sum = 0.0;
  for (std::uint64_t k = m; k >= 1; --k) {
    cache.weights[k] = remaining[k - 1];
    for (std::uint64_t j = 0; j + 1 < k; ++j)
      remaining[j] -= cache.weights[k];
  }
  for (std::uint64_t k = 1; k <= m; ++k)
    sum += cache.weights[k];
  cache.weights[0] = 1.0 - sum;
  cache.valid = true;
}

}  // namespace VariableResTable

void VariableResolutionTable::DefinePoint(const unsigned char *input,
                                          PointDefinition &point) const {
  for (std::uint64_t c = 0; c < nrChannels; ++c) {
    point.lowerIndex[c] = tableParameters.lowerIndexTable[c][input[c]];
    point.fractions[c] = tableParameters.fractionTable[c][input[c]];
  }
}

// The cell of a sample: first at the table step T (the step of all channels active), then per
// channel at the step of the combination its upper corner would have, with the cells anchored at
// the channel's last index. Returns whether any channel's step moved away from T.
bool VariableResolutionTable::LocatePointCell(const PointDefinition &point, unsigned char *base,
                                              unsigned char *steps) const {
  const std::uint64_t n = nrChannels;
  if (isCompleteFixedSubset) {
    for (std::uint64_t c = 0; c < n; ++c) {
      base[c] = point.lowerIndex[c];
      steps[c] = 1;
    }
    return false;
  }
  const int t = static_cast<int>(tableStep);
  std::uint64_t k0 = 0;
  for (std::uint64_t c = 0; c < n; ++c) {
    const int lower = point.lowerIndex[c];
    base[c] = static_cast<unsigned char>(QuotientTable[lower][t] * t);
    steps[c] = (base[c] == lower && point.fractions[c] == 0.0) ? 0 : static_cast<unsigned char>(t);
    if (base[c] != 0) ++k0;
  }
  bool irregular = false;
  for (std::uint64_t c = 0; c < n; ++c) {
    if (steps[c] == 0) continue;
    const int b = base[c];
    const std::uint64_t k = k0 + (b == 0 ? 1 : 0);
    base[c] = 1;
    int s = GetGridStep(k, base, fixedSubsets);
    base[c] = static_cast<unsigned char>(b);
    // A channel never steps past its own last index.
    const int m = tableParameters.maxGridIndex[c];
    if (s > m) s = m;
    const int r = RemainderTable[steps[c]][s];
    const int d = point.lowerIndex[c] - b;
    int step;
    if (r != 0 ? d < r : d < s) {
      step = r != 0 ? r : s;
    } else {
      step = s;
      base[c] = static_cast<unsigned char>(b + r + QuotientTable[d - r][s] * s);
    }
    irregular = irregular || step != steps[c];
    steps[c] = static_cast<unsigned char>(step);
  }
  return irregular;
}

// The cell of a vertex at its own combination's step: per active channel the nodes around it
// (anchored at M), or the cell from 0 to the first node when the vertex lies below it.
void VariableResolutionTable::LocateVertexCell(const double *x, unsigned char *base,
                                               unsigned char *steps) const {
  const std::uint64_t n = nrChannels;
  std::uint64_t k = 0;
  DynamicBitSet active;
  for (std::uint64_t c = 0; c < n; ++c) {
    if (x[c] != 0.0) {
      ++k;
      active.bits |= 1ULL << c;
    }
  }
  const int s = GetGridStep(k, active, fixedSubsets);
  for (std::uint64_t c = 0; c < n; ++c) {
    if (x[c] == 0.0) {
      base[c] = 0;
      steps[c] = 0;
      continue;
    }
    // Vertices are grid indices held as doubles: the division by the step is exact in the
    // quotient table.
    const int v = static_cast<int>(x[c]);
    const int r = RemainderTable[tableParameters.maxGridIndex[c]][s];
    if (r > v) {
      base[c] = 0;
      steps[c] = static_cast<unsigned char>(r);
    } else {
      const int b = QuotientTable[v - r][s] * s + r;
      base[c] = static_cast<unsigned char>(b);
      steps[c] = b == v ? 0 : static_cast<unsigned char>(s);
    }
  }
}

// The values of a grid point, computed through the callback first when missing. The flag is read
// with acquire and set with release after the values are stored; a striped lock makes the
// callback run once per point when several threads need it at once.
float *VariableResolutionTable::EnsureComputed(const unsigned char *vertex) const {
  const SharedBuffer &buffer = *sharedBuffer;
  const std::ptrdiff_t index = buffer.IndexOf(vertex, tableMask);
  float *values = buffer.values + index * buffer.nrOutputChannels;
  std::atomic_ref<bool> flag(buffer.computed[index]);
  if (!flag.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> hold(buffer.PointLock(index));
    if (!flag.load(std::memory_order_relaxed)) {
      (*callBack)(vertex, values);
      flag.store(true, std::memory_order_release);
    }
  }
  return values;
}

void VariableResolutionTable::IrregularInterpolate(const unsigned char *input,
                                                   PointDefinition &point,
                                                   InterpolationCache &first,
                                                   InterpolationCache &second,
                                                   double *accumulator) const {
  const std::uint64_t n = nrChannels;
  unsigned char base[16], steps[16];
  const bool irregular = LocatePointCell(point, base, steps);
  if (!irregular && !hasCoarserFaces) {
    for (std::uint64_t c = 0; c < n; ++c)
      point.fractions[c] = steps[c] != 0 ? levelFractionTables[c][steps[c]][input[c]] : 0.0;
    ComputeSimplex(base, steps, point.fractions, first);
    return;
  }
  double f[kMaxChannels];
  for (std::uint64_t c = 0; c < n; ++c)
    f[c] = steps[c] != 0 ? levelFractionTables[c][steps[c]][input[c]] : 0.0;
  ComputeSimplex(base, steps, f, first);

  const int nrOutputs = sharedBuffer->nrOutputChannels;
  IrregularPointCache &cache = *irregularPointCache;
  for (std::uint64_t k = 0; k < first.nrVertices; ++k) {
    const unsigned char *v = first.vertices[k];
    const int s = StepOf(v);
    bool onGrid = true;
    if (s != 1) {
      for (std::uint64_t c = 0; c < n && onGrid; ++c) {
        const int below = tableParameters.maxGridIndex[c] - v[c];
        if (v[c] != 0 && (below < 0 || RemainderTable[below][s] != 0)) onGrid = false;
      }
    }
    if (onGrid) continue;

    std::uint32_t key = 0;
    for (std::uint64_t c = 0; c < n; ++c)
      key = key * kHashFactor + v[c];
    const double weight = first.weights[k];
    bool found = false;
    {
      std::lock_guard<std::mutex> hold(cacheLock);
      for (int slot = 0; slot < cache.capacity; ++slot) {
        if (cache.keys[slot] != key ||
            !SameBytes(&cache.storedPoints[static_cast<std::size_t>(slot) * n], v, n))
          continue;
        const float *stored = &cache.values[static_cast<std::size_t>(slot) * cache.nrOutputs];
        for (int o = 0; o < cache.nrOutputs; ++o)
          accumulator[o] += static_cast<double>(stored[o]) * weight;
        found = true;
        break;
      }
    }
    if (found) {
      first.weights[k] = 0.0;
      continue;
    }

    double x[kMaxChannels], f2[kMaxChannels];
    unsigned char base2[16], steps2[16];
    for (std::uint64_t c = 0; c < n; ++c)
      x[c] = v[c];
    LocateVertexCell(x, base2, steps2);
    for (std::uint64_t c = 0; c < n; ++c) {
      f2[c] = steps2[c] != 0
                  ? levelFractionTables[c][steps2[c]][tableParameters.gridPositions[c][v[c]]]
                  : 0.0;
    }
    ComputeSimplex(base2, steps2, f2, second);
    double sums[kMaxOutputs];
    for (int o = 0; o < nrOutputs; ++o)
      sums[o] = 0.0;
    for (std::uint64_t j = 0; j < second.nrVertices; ++j) {
      if (second.weights[j] <= 0.0) continue;
      if (second.vertexValues[j] == nullptr)
        second.vertexValues[j] = EnsureComputed(second.vertices[j]);
      const float *values = second.vertexValues[j];
      for (int o = 0; o < nrOutputs; ++o)
        sums[o] += second.weights[j] * static_cast<double>(values[o]);
    }
    float interpolated[kMaxOutputs];
    for (int o = 0; o < nrOutputs; ++o) {
      interpolated[o] = static_cast<float>(sums[o]);
      accumulator[o] += static_cast<double>(interpolated[o]) * weight;
    }
    {
      std::lock_guard<std::mutex> hold(cacheLock);
      const std::size_t slot = cache.next;
      cache.keys[slot] = key;
      std::memcpy(&cache.values[slot * cache.nrOutputs], interpolated,
                  cache.nrOutputs * sizeof(float));
      CopyBytes(&cache.storedPoints[slot * n], v, n);
      cache.next =
          static_cast<unsigned char>(cache.next + 1 == cache.capacity ? 0 : cache.next + 1);
    }
    first.weights[k] = 0.0;
  }
}

void VariableResolutionTable::IrregularInterpolate(const unsigned char *const *channels, int stride,
                                                   float *out, std::uint64_t count,
                                                   const int *indices) {
  const std::uint64_t n = nrChannels;
  const int nrOutputs = sharedBuffer->nrOutputChannels;
  PointDefinition point{};
  InterpolationCache first, second;
  first.nrChannels = second.nrChannels = n;
  double accumulator[kMaxOutputs];
  ForEachSample(channels, n, stride, indices, count, out, nrOutputs,
                [&](const unsigned char *input, float *result) {
                  for (int o = 0; o < nrOutputs; ++o)
                    accumulator[o] = 0.0;
                  DefinePoint(input, point);
                  IrregularInterpolate(input, point, first, second, accumulator);
                  for (std::uint64_t k = 0; k < first.nrVertices; ++k) {
                    if (first.weights[k] > 0.0 && first.vertexValues[k] == nullptr)
                      first.vertexValues[k] = EnsureComputed(first.vertices[k]);
                  }
                  for (int o = 0; o < nrOutputs; ++o)
                    result[o] = static_cast<float>(WeightedSum(first, o) + accumulator[o]);
                });
}

void VariableResolutionTable::RegularInterpolate(const unsigned char *const *channels, int stride,
                                                 float *out, std::uint64_t count,
                                                 const int *indices) const {
  const std::uint64_t n = nrChannels;
  const int nrOutputs = sharedBuffer->nrOutputChannels;
  PointDefinition point{};
  InterpolationCache cache;
  cache.nrChannels = n;
  ForEachSample(channels, n, stride, indices, count, out, nrOutputs,
                [&](const unsigned char *input, float *result) {
                  DefinePoint(input, point);
                  ComputeSimplex(point.lowerIndex, UnitSteps.data(), point.fractions, cache);
                  for (std::uint64_t k = 0; k < cache.nrVertices; ++k) {
                    if (cache.weights[k] <= 0.0 || cache.vertexValues[k] != nullptr) continue;
                    // Step-1 indexing is only valid when every combination has step 1;
                    // elsewhere the lookup at the combination's own step at least stays inside
                    // the buffer.
                    if (isCompleteFixedSubset) {
                      cache.vertexValues[k] =
                          sharedBuffer->DoRegularLookup(cache.vertices[k], tableMask);
                    } else {
                      bool *flag = nullptr;
                      cache.vertexValues[k] =
                          sharedBuffer->DoIrregularLookup(cache.vertices[k], tableMask, &flag);
                    }
                  }
                  for (int o = 0; o < nrOutputs; ++o)
                    result[o] = static_cast<float>(WeightedSum(cache, o));
                });
}
