// Shared helpers of the variable-resolution table tests: grid positions, table construction over
// a whole buffer, and an independent enumeration of the grid points of a buffer.
#ifndef VELMORA_TESTS_ENGINES_VARIABLERESTABLE_TEST_SUPPORT_H
#define VELMORA_TESTS_ENGINES_VARIABLERESTABLE_TEST_SUPPORT_H

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "engines/variablerestable_internal.h"
#include "velmora/variablerestable.h"

namespace VariableResTable {
// Read access to a table's off-grid cache.
struct TableInspector {
  static const IrregularPointCache &Cache(const VariableResolutionTable &t) {
    return *t.irregularPointCache;
  }
};
}  // namespace VariableResTable

namespace vrt_test {

using namespace VariableResTable;

using Bytes = std::vector<unsigned char>;

// Input byte of grid index j on a channel with last index m: evenly spread, rounded.
inline unsigned char Position(int m, int j) {
  return static_cast<unsigned char>(std::lround(255.0 * j / m));
}

inline Bytes Positions(int m) {
  Bytes p(m + 1);
  for (int j = 0; j <= m; ++j)
    p[j] = Position(m, j);
  return p;
}

// A buffer and one table spanning all of its channels.
struct Grid {
  Bytes m;
  int nrPoints = 0;
  std::unique_ptr<SharedBuffer> buffer;
  std::unique_ptr<VariableResolutionTable> table;

  Grid(const Bytes &lastIndex, const std::vector<std::vector<bool>> &subsets, int outputs)
      : m(lastIndex) {
    Bytes counts;
    std::vector<Bytes> positions;
    for (unsigned char v : m) {
      counts.push_back(static_cast<unsigned char>(v + 1));
      positions.push_back(Positions(v));
    }
    buffer = std::make_unique<SharedBuffer>(counts, nrPoints, subsets, outputs);
    table = std::make_unique<VariableResolutionTable>(m, positions, buffer.get(),
                                                      std::vector<bool>(m.size(), true));
  }
  std::size_t IndexOf(const float *values) const {
    float *start = nullptr;
    bool *flags = nullptr;
    buffer->GetBufferStart(&start, &flags);
    return static_cast<std::size_t>(values - start) / buffer->GetNrOutputChannels();
  }
};

// Every grid point of a buffer in layout order, built from the definition alone: combinations in
// increasing pattern number (channel 0 most significant), each one's nodes at its step (anchored
// at M) in mixed radix with the last channel fastest.
inline void ForEachGridPoint(const Bytes &m, const FixedSubsets &subsets,
                             const std::function<void(const Bytes &)> &visit) {
  const std::size_t n = m.size();
  for (std::size_t pattern = 0; pattern < (std::size_t{1} << n); ++pattern) {
    std::vector<std::size_t> active;
    DynamicBitSet set;
    for (std::size_t c = 0; c < n; ++c) {
      if ((pattern >> (n - 1 - c)) & 1) {
        active.push_back(c);
        set.bits |= 1ULL << c;
      }
    }
    const int s = GetGridStep(active.size(), set, subsets);
    std::vector<Bytes> nodes;
    bool empty = false;
    for (std::size_t c : active) {
      Bytes list;
      for (int v = m[c]; v > 0; v -= s)
        list.insert(list.begin(), static_cast<unsigned char>(v));
      empty = empty || list.empty();
      nodes.push_back(list);
    }
    if (empty) continue;
    std::vector<std::size_t> digit(active.size(), 0);
    Bytes point(n, 0);
    while (true) {
      for (std::size_t a = 0; a < active.size(); ++a)
        point[active[a]] = nodes[a][digit[a]];
      visit(point);
      std::size_t a = active.size();
      while (a > 0 && ++digit[a - 1] == nodes[a - 1].size())
        digit[--a] = 0;
      if (a == 0) break;
    }
  }
}

// True when every active index of point is a node of its combination's grid.
inline bool IsGridPoint(const Bytes &m, const FixedSubsets &subsets, const unsigned char *point) {
  DynamicBitSet set;
  std::uint64_t k = 0;
  for (std::size_t c = 0; c < m.size(); ++c) {
    if (point[c] != 0) {
      set.bits |= 1ULL << c;
      ++k;
    }
  }
  const int s = GetGridStep(k, set, subsets);
  for (std::size_t c = 0; c < m.size(); ++c) {
    if (point[c] != 0 && (point[c] > m[c] || (m[c] - point[c]) % s != 0)) return false;
  }
  return true;
}

}  // namespace vrt_test

#endif
