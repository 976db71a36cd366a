// Internals of the variable-resolution tables shared by their sources and tests: the resolution
// rule, the block layout, the constant division tables and the interpolation records.
#ifndef VELMORA_ENGINES_VARIABLERESTABLE_INTERNAL_H
#define VELMORA_ENGINES_VARIABLERESTABLE_INTERNAL_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "velmora/variablerestable.h"

namespace VariableResTable {

constexpr int kMaxChannels = 15;
constexpr int kMaxSubsets = 4;
constexpr int kMaxGridIndex = 32;
constexpr int kLastStep = 33;  // only the last index of a channel exists at this step
constexpr int kCacheCapacity = 100;
constexpr std::uint32_t kHashFactor = 37;

// RemainderTable[a][b] = a mod b and QuotientTable[a][b] = a div b for a = 0 .. 33, b = 1 .. 33;
// column 0 holds 0. Constant data, so usable before any object exists and from any thread.
using DivisionTable = std::array<std::array<unsigned char, kLastStep + 1>, kLastStep + 1>;
extern const DivisionTable RemainderTable;
extern const DivisionTable QuotientTable;
// A step of 1 in every channel.
extern const std::array<unsigned char, kMaxChannels> UnitSteps;

// The resolution rule: the grid step (1, 2, 4, 8, 16, 32 or 33) of a combination of k active
// channels. The first form takes the active set as bits; the second as a grid point (active where
// the byte is not 0), looking only at its first subsets.nrBits bytes.
int GetGridStep(std::uint64_t k, const DynamicBitSet &active, const FixedSubsets &subsets);
int GetGridStep(std::uint64_t k, const unsigned char *point, const FixedSubsets &subsets);

// Number of nodes of a channel with last index m at step s: m div s, plus one when s does not
// divide m.
inline int NodeCount(int m, int s) {
  return QuotientTable[m][s] + (RemainderTable[m][s] != 0 ? 1 : 0);
}

// Sizes of the blocks of every combination in pattern order, summed into the first index of each
// block; entry 2^n is the total. Computed in 64 bits; throws std::invalid_argument when the total
// exceeds the 32-bit index range.
std::unique_ptr<int[]> BuildBlockOffsets(std::uint64_t nrChannels,
                                         const unsigned char *maxGridIndex,
                                         const FixedSubsets &subsets);

// An input sample at full resolution.
struct PointDefinition {
  unsigned char lowerIndex[16];
  double fractions[15];
};

// The simplex of the last computed sample, kept from sample to sample.
struct InterpolationCache {
  std::uint64_t nrChannels = 0;
  std::uint64_t order[kMaxChannels] = {};
  double fractions[kMaxChannels] = {};
  unsigned char vertices[16][16] = {};
  float *vertexValues[16] = {};
  double weights[16] = {};
  std::uint64_t nrVertices = 0;
  bool valid = false;
};

// Splits the cell at base (with per-channel steps, 0 for a channel that does not move) along the
// decreasing order of the fractions, Kuhn's way, into the simplex holding the point: vertex k adds
// the step of the k-th largest fraction's channel to vertex k - 1, and its weight is the
// difference of consecutive sorted fractions. Vertices and their looked-up addresses are kept
// while they match the previous simplex.
void ComputeSimplex(const unsigned char *base, const unsigned char *steps, const double *fractions,
                    InterpolationCache &cache);

// The interpolated values of recently met off-grid vertices, in a ring of kCacheCapacity slots
// keyed by a polynomial hash of the vertex.
struct IrregularPointCache {
  std::uint32_t keys[kCacheCapacity] = {};
  std::vector<float> values;                // nrOutputs per slot
  std::vector<unsigned char> storedPoints;  // nrChannels per slot
  unsigned char next = 0;
  unsigned char capacity = kCacheCapacity;
  unsigned char nrOutputs = 0;
  unsigned char nrChannels = 0;
};

}  // namespace VariableResTable

#endif
