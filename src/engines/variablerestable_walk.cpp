// The walk over the grid points of a variable-resolution table: combinations in increasing
// pattern number, and inside each the nodes at the combination's step, last channel fastest,
// like an odometer whose digits start at each channel's first node.
#include "engines/variablerestable_internal.h"

using namespace VariableResTable;

namespace {

// First node of a channel with last index m at step s (nodes are anchored at m).
unsigned char FirstNode(int m, int s) {
  const int r = RemainderTable[m][s];
  return static_cast<unsigned char>(r != 0 ? r : s);
}

}  // namespace

VariableResolutionTable::BufferIterator VariableResolutionTable::GetBufferStart(
    bool withConversion) {
  BufferIterator it;
  it.point.assign(nrChannels, 0);
  it.coordinates.assign(nrChannels, 1.0);
  it.withConversion = withConversion;
  sharedBuffer->GetBufferStart(&it.value, &it.computed);
  return it;
}

VariableResolutionTable::BufferIterator VariableResolutionTable::GetBufferUniquePointsStart(
    bool withConversion) {
  BufferIterator it = GetBufferStart(withConversion);
  DynamicBitSet present;
  for (std::uint64_t c = 0; c < nrChannels; ++c) {
    if (tableParameters.maxGridIndex[c] != 0) present.bits |= 1ULL << c;
  }
  const int s = GetGridStep(nrChannels, present, fixedSubsets);
  for (std::uint64_t c = 0; c < nrChannels; ++c)
    it.point[c] = FirstNode(tableParameters.maxGridIndex[c], s);
  it.nrActive = static_cast<std::uint32_t>(nrChannels);
  it.value = sharedBuffer->DoIrregularLookup(it.point.data(), tableMask, &it.computed);
  if (withConversion) {
    for (std::uint64_t c = 0; c < nrChannels; ++c)
      it.coordinates[c] = (255 - tableParameters.gridPositions[c][it.point[c]]) / 255.0;
  }
  return it;
}

void VariableResolutionTable::GetNextBufferPoint(BufferIterator &it) {
  const std::uint64_t n = nrChannels;
  if (n == 0) {
    it.atEnd = true;
    return;
  }
  unsigned char *point = it.point.data();
  const unsigned char *m = tableParameters.maxGridIndex;
  const int s = GetGridStep(it.nrActive, point, fixedSubsets);
  bool advanced = false;
  for (std::uint64_t c = n; c-- > 0;) {
    if (point[c] == 0) continue;
    if (point[c] != m[c]) {
      point[c] = static_cast<unsigned char>(point[c] + s);
      it.atEnd = false;
      advanced = true;
      break;
    }
    point[c] = FirstNode(m[c], s);
  }
  if (!advanced) {
    // Every node of this combination is done: count the combination up, channel n - 1 the
    // least significant digit, and start it at its first nodes.
    bool carry = true;
    for (std::uint64_t c = n; c-- > 0 && carry;) {
      if (point[c] != 0) {
        point[c] = 0;
        --it.nrActive;
      } else {
        point[c] = 1;
        ++it.nrActive;
        carry = false;
      }
    }
    const int next = GetGridStep(it.nrActive, point, fixedSubsets);
    for (std::uint64_t c = 0; c < n; ++c) {
      if (point[c] != 0) point[c] = FirstNode(m[c], next);
    }
    it.atEnd = carry;
  }
  if (!it.atEnd) {
    ++it.counter;
    it.value = sharedBuffer->DoIrregularLookup(point, tableMask, &it.computed);
  }
  if (it.withConversion) {
    for (std::uint64_t c = 0; c < n; ++c)
      it.coordinates[c] = (255 - tableParameters.gridPositions[c][point[c]]) / 255.0;
  }
}

void VariableResolutionTable::EnsureIteratorHasConversion(BufferIterator &it) {
  if (!*it.computed) (*callBack)(it.point.data(), it.value);
}
