#ifndef __cplusplus
#error "velmora/variablerestable.h is a C++ header"
#endif

/* Variable-resolution tables: up to 15 byte-valued input channels mapped to a fixed number of
   float outputs per grid point, on a grid that coarsens as more channels are active at once.

   Grid indices run 0 .. M per channel (M, the last grid index, a power of two up to 32). A grid
   point's active channels (those with a non-zero index) form its combination; the combination's
   grid step s grows with the number k of active channels: without fixed subsets 1, 1, 2, 4, 8,
   16, 32 for k = 0 .. 6 and 33 (only the last index) from 7 on. Fixed subsets keep chosen channel
   groups at full resolution: a combination inside subset 0 has step 1, one inside a later subset
   step 1 as well, except that four active channels there have step 2; other combinations are
   coarsened by how many of their channels lie outside the subset that holds most of them. The nodes
   of a channel at step s are anchored at M: M, M - s, M - 2s, ... down to the first one above 0.

   The grid points live in a SharedBuffer spanning all channels; each VariableResolutionTable
   spans some of them (its mask), and points shared by several tables are stored once. The
   values of a point are computed on demand, once, by the table's callback:

       SharedBuffer buffer({33, 33, 33, 33}, nrPoints, {}, 3);
       std::vector<bool> mask{true, true, true, true};
       VariableResolutionTable table({32, 32, 32, 32}, positions, &buffer, mask);
       table.SetSinglePointCalculationCallBack(std::make_unique<MyModel>());
       table.IrregularInterpolate(planes, 1, out, count, indices);

   Where a combination has a finer step than one of its faces (four active channels inside a later
   subset have step 2, five around them in the same subset step 1), an input lying on a grid point
   of the finer combination can come back as a blend of the nodes of a coarser cell around it
   rather than its own stored value: with M = 8 on six channels and subsets {0, 1} and
   {0, 1, 2, 3, 4}, the input at grid point (1, 1, 8, 8, 8, 0) is such a blend. Linear functions
   are still reproduced, to float precision. */
#ifndef VELMORA_VARIABLERESTABLE_H
#define VELMORA_VARIABLERESTABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "velmora/export.h"

namespace VariableResTable {

/* A set of channels: bit c stands for channel c. */
struct DynamicBitSet {
  std::uint64_t bits = 0;
};

/* Up to four channel groups inside which combinations keep full resolution. Only the first
   nrSubsets entries are meaningful; the sets speak of channels 0 .. nrBits - 1. */
struct FixedSubsets {
  std::uint64_t nrSubsets = 0;
  std::uint64_t nrBits = 0;
  DynamicBitSet subsets[4];
};

/* Computes the values of one grid point on demand. Derive from it and hand an instance to
   VariableResolutionTable::SetSinglePointCalculationCallBack. The base version computes
   nothing. */
struct VELMORA_API SinglePointCalculationCallBack {
  SinglePointCalculationCallBack() = default;
  SinglePointCalculationCallBack(const SinglePointCalculationCallBack &) = default;
  SinglePointCalculationCallBack &operator=(const SinglePointCalculationCallBack &) = default;
  /* point holds one grid index per table channel; writes the buffer's number of output values
     to values. May run on several threads at once (each for a different point) when several
     threads interpolate in tables over one buffer. */
  virtual void operator()(const unsigned char *point, float *values);
  virtual ~SinglePointCalculationCallBack();
};

/* The buffer index of a grid point. nrChannels, maxGridIndex (M per channel),
   *blockOffsets (first index of each combination's block, by pattern number) and fixedSubsets
   describe the index space; point holds one grid index for each channel set in mask, in
   increasing channel order, each a node at the step of the point's combination. */
VELMORA_API int GetIndexOfBufferPoint(std::uint64_t nrChannels, const unsigned char *maxGridIndex,
                                      const unsigned char *point, const int *const *blockOffsets,
                                      const DynamicBitSet &mask, const FixedSubsets &fixedSubsets);

/* The per-channel description of a table and the per-byte tables derived from it. */
struct TableParameters {
  unsigned char maxGridIndex[15] = {};      /* M per table channel */
  unsigned char gridPositions[15][33] = {}; /* input byte of grid index j of channel c */
  unsigned char lowerIndexTable[15][256] = {};
  double fractionTable[15][256] = {};
  std::uint64_t nrChannels = 0;
};

struct IrregularPointCache;
struct PointDefinition;
struct InterpolationCache;
struct TableInspector; /* read access for the library's own tests */

}  // namespace VariableResTable

/* The grid points of a set of channels, with nrOutputChannels floats and one computed flag per
   point. Not thread-safe to construct, copy or destroy; lookups may run on many threads. */
class VELMORA_API SharedBuffer {
 public:
  /* gridPointCounts: M + 1 per channel (1 .. 33, at most 15 channels). nrPoints receives the
     number of grid points. fixedSubsets: at most four channel sets, each a flag per channel
     (missing flags count as false, flags past the last channel are ignored). nrOutputChannels:
     0 .. 255 floats per point. Throws std::invalid_argument for arguments outside these ranges
     and for grids of more than 2^31 - 1 points, before allocating anything. When the value or
     flag array cannot be allocated, reports "VariableResolutionTable: insufficient memory" and
     completes without storage (HasStorage() is false; lookups then return null). */
  SharedBuffer(const std::vector<unsigned char> &gridPointCounts, int &nrPoints,
               const std::vector<std::vector<bool>> &fixedSubsets, int nrOutputChannels);
  /* Copies are deep: values, flags and block offsets are duplicated. */
  SharedBuffer(const SharedBuffer &other);
  SharedBuffer(SharedBuffer &&other) noexcept;
  SharedBuffer &operator=(const SharedBuffer &other);
  SharedBuffer &operator=(SharedBuffer &&other) noexcept;
  ~SharedBuffer();

  /* Values of a grid point of a table whose every combination has step 1 (indexing at step 1,
     the fixed subsets not consulted). point holds one index per channel set in mask. */
  float *DoRegularLookup(const unsigned char *point,
                         const VariableResTable::DynamicBitSet &mask) const;
  /* Values of a grid point at any step; *computedFlag receives the address of its flag. */
  float *DoIrregularLookup(const unsigned char *point, const VariableResTable::DynamicBitSet &mask,
                           bool **computedFlag) const;
  /* The value and flag arrays, in buffer-index order. */
  void GetBufferStart(float **values, bool **computed) const;
  const VariableResTable::FixedSubsets &GetFixedSubsets() const;
  int GetNrOutputChannels() const;
  /* Number of grid points. */
  int GetNrPoints() const;
  /* False when the value or flag array could not be allocated. */
  bool HasStorage() const;

 private:
  friend class VariableResolutionTable;

  std::ptrdiff_t IndexOf(const unsigned char *point,
                         const VariableResTable::DynamicBitSet &mask) const;
  void Allocate();
  void Release();
  std::mutex &PointLock(std::ptrdiff_t index) const;

  unsigned char maxGridIndex[15] = {};
  VariableResTable::FixedSubsets fixedSubsets;
  std::uint64_t nrChannels = 0;
  float *values = nullptr;
  bool *computed = nullptr;
  int *blockOffsets = nullptr;
  int nrOutputChannels = 0;
  int nrPoints = 0;
  /* Striped locks that make the computation of a missing point happen once. */
  std::unique_ptr<std::mutex[]> pointLocks;
};

/* A table over some channels of a SharedBuffer. Each table has its own callback and its own
   cache of interpolated off-grid points; several tables may share one buffer. */
class VELMORA_API VariableResolutionTable {
 public:
  /* A cursor over grid points; see GetBufferStart. */
  struct BufferIterator {
    std::vector<unsigned char> point; /* current grid point, one index per table channel */
    std::vector<double> coordinates;  /* (255 - position) / 255 per channel, when converted */
    bool withConversion = false;
    std::uint32_t counter = 0; /* advances made */
    bool atEnd = false;
    std::uint32_t nrActive = 0; /* non-zero entries of point */
    float *value = nullptr;     /* the point's values in the buffer */
    bool *computed = nullptr;   /* the point's computed flag in the buffer */
  };

  /* maxGridIndex: M per table channel (1, 2, 4, 8, 16 or 32, equal to the buffer's M of that
     channel). gridPositions: per table channel the M + 1 input bytes of its grid indices,
     starting at 0, strictly increasing, ending at 255. buffer: not owned, must outlive the table
     and hold storage. mask: one flag per buffer channel, as many set as there are table channels.
     Throws std::invalid_argument when any of this does not hold, or when the buffer has more
     outputs than 255. */
  VariableResolutionTable(const std::vector<unsigned char> &maxGridIndex,
                          const std::vector<std::vector<unsigned char>> &gridPositions,
                          SharedBuffer *buffer, const std::vector<bool> &mask);
  ~VariableResolutionTable();
  VariableResolutionTable(const VariableResolutionTable &) = delete;
  VariableResolutionTable &operator=(const VariableResolutionTable &) = delete;

  const VariableResTable::TableParameters &GetTableParameters() const;
  VariableResTable::DynamicBitSet GetTableMask() const;
  /* True when every combination of the table's channels has step 1 (RegularInterpolate's
     condition). */
  bool GetIsCompleteFixedSubset() const;
  /* Number of grid points a buffer over this table's channels alone would hold. */
  int GetBufferSize() const;
  /* Values of a grid point (table channel order) in the shared buffer; null without storage. */
  float *getVertex(const unsigned char *point);
  /* Installs the callback (the table owns it); the previous one is destroyed. Not to be called
     while the table interpolates on another thread. */
  void SetSinglePointCalculationCallBack(
      std::unique_ptr<VariableResTable::SinglePointCalculationCallBack> callBack);

  /* A walk over grid points. GetBufferStart starts at the all-zero point; the walk then visits
     the combinations in increasing pattern number (channel 0 most significant), each one's
     points with the last channel fastest. GetBufferUniquePointsStart starts at the first point of
     the block in which every table channel is active. Advance with GetNextBufferPoint while
     atEnd is false. With withConversion the coordinates follow every advance. A walk is for one
     thread at a time per table, and not alongside interpolation on other threads. */
  BufferIterator GetBufferStart(bool withConversion);
  BufferIterator GetBufferUniquePointsStart(bool withConversion);
  void GetNextBufferPoint(BufferIterator &it);
  /* Calls the callback for the iterator's point unless its flag is set; the flag is left as it
     was (the caller sets it). */
  void EnsureIteratorHasConversion(BufferIterator &it);

  /* Interpolates count samples. Sample i reads channels[c][stride * indices[i]] for each table
     channel c and writes the buffer's n output values to out[i * n .. i * n + n - 1]. A sample
     equal to the one before copies its result. RegularInterpolate computes nothing: it needs a
     table whose combinations all have step 1 (GetIsCompleteFixedSubset) and whose points are all
     computed. IrregularInterpolate computes missing points through the callback and interpolates
     off-grid vertices from their own cells (cached per table, 100 of them); several threads may
     run it on one table at once. Neither allocates per sample. */
  void RegularInterpolate(const unsigned char *const *channels, int stride, float *out,
                          std::uint64_t count, const int *indices) const;
  void IrregularInterpolate(const unsigned char *const *channels, int stride, float *out,
                            std::uint64_t count, const int *indices);

 private:
  friend struct VariableResTable::TableInspector;

  void DefinePoint(const unsigned char *input, VariableResTable::PointDefinition &point) const;
  bool LocatePointCell(const VariableResTable::PointDefinition &point, unsigned char *base,
                       unsigned char *steps) const;
  void LocateVertexCell(const double *x, unsigned char *base, unsigned char *steps) const;
  void IrregularInterpolate(const unsigned char *input, VariableResTable::PointDefinition &point,
                            VariableResTable::InterpolationCache &first,
                            VariableResTable::InterpolationCache &second,
                            double *accumulator) const;
  float *EnsureComputed(const unsigned char *vertex) const;
  int StepOf(const unsigned char *point) const;

  VariableResTable::TableParameters tableParameters;
  /* Per channel and step (1, 2, 4, 8, 16, 32) the position of each input byte in its cell at that
     step; null for other steps. */
  const double *levelFractionTables[15][34] = {};
  std::unique_ptr<double[]> levelFractionStorage;
  std::uint64_t nrChannels = 0;
  std::int64_t tableStep = 1;
  SharedBuffer *sharedBuffer = nullptr;
  VariableResTable::DynamicBitSet tableMask;
  VariableResTable::FixedSubsets fixedSubsets;
  std::unique_ptr<VariableResTable::IrregularPointCache> irregularPointCache;
  mutable std::mutex cacheLock;
  bool isCompleteFixedSubset = false;
  /* Some combination has a coarser face (four channels in a later subset): every simplex vertex
     then needs the off-grid test. */
  bool hasCoarserFaces = false;
  /* Step of every combination of table channels, by its channel bits. */
  std::vector<unsigned char> combinationSteps;
  std::unique_ptr<VariableResTable::SinglePointCalculationCallBack> callBack;
};

#endif
