#ifndef __cplusplus
#error "velmora/labtoproctable.h is a C++ header"
#endif

/* A regular grid over CIELAB that stores process values as floats and converts Lab colours to
   process values by trilinear interpolation. The grid covers L* 0 .. 128 and a*, b* -128 .. +128;
   grid point (iL, iA, iB) stands for L* = iL * 128 / (nrL - 1), a* = iA * 256 / (nrA - 1) - 128,
   b* = iB * 256 / (nrB - 1) - 128, and its values start at buffer[index * nrOutputChannels] with
   index = (iB * nrA + iA) * nrL + iL (L* fastest, then a*, then b*).

       LabToProcTable table(4, 4, 8, 8, 4);   // CMYK, 33 x 33 x 33 points
       table.FillTable(samples, labToCmyk, cmykToLab, true, 2);
       table.Interpolate(lab, cmyk, count);

   Interpolate only reads the table: several threads may interpolate at once as long as nobody
   writes the buffer (through GetBuffer or FillTable) meanwhile. */
#ifndef VELMORA_LABTOPROCTABLE_H
#define VELMORA_LABTOPROCTABLE_H

#include <cstdint>
#include <functional>
#include <vector>

#include "velmora/export.h"

class VELMORA_API LabToProcTable {
 public:
  /* Caller's Lab-to-process model: (lab, count, out, progressStart, progressEnd) writes
     nrOutputChannels values on the scale 0 .. 255 per colour (three doubles each at lab) to out;
     progressStart .. progressEnd (within 0 .. 1) is the share of the whole fill this call stands
     for. */
  using LabToProcessFunction = std::function<void(const double *, int, float *, double, double)>;
  /* Caller's process-to-Lab model: (process, count, lab) writes the Lab colour of each of count
     process points (nrOutputChannels doubles each, 1 - value / 254.999, so 0 is full and 1 empty)
     to lab (three doubles per point). */
  using ProcessToLabFunction = std::function<void(const double *, int, double *)>;

  /* A table of zeros. stepL is the requested L* spacing, rounded down to a divisor of 128; stepA
     and stepB the a* and b* spacings, rounded down to divisors of 256; along each axis the
     number of grid intervals is then rounded down to a multiple of coarseStep, the spacing in
     grid steps of the coarse grid that FillTable computes first. Throws std::invalid_argument
     for fewer than one output channel, for spacings or a coarse step below 1, and for a coarse step
     larger than an axis' interval count (which would leave a single grid point on it). */
  LabToProcTable(int nrOutputChannels, int stepL, int stepA, int stepB, int coarseStep);
  /* Deep copy, extraBytes included. */
  LabToProcTable(const LabToProcTable &other);
  /* Takes over the source's values; the source is left a valid table without grid points
     (GetBufferPointAmount() == 0, Interpolate writes zeros). */
  LabToProcTable(LabToProcTable &&other) noexcept;
  LabToProcTable &operator=(const LabToProcTable &other);
  LabToProcTable &operator=(LabToProcTable &&other) noexcept;
  ~LabToProcTable();

  /* The value vector itself (GetBufferPointAmount() * nrOutputChannels floats in the point order
     above), for reading or writing. Its size must not be changed. */
  std::vector<float> &GetBuffer();
  /* Number of grid points, nrL * nrA * nrB. */
  int GetBufferPointAmount() const;

  /* Converts count Lab colours (L*, a*, b* consecutive) to count * nrOutputChannels values at out
     by trilinear interpolation. Positions are clamped into the grid (L* below 0, a* or b* below
     -128 and NaN read the first grid plane; values at or beyond the top read the last one with
     weight 0.99999); each result is limited to 0 .. 255, a NaN sum giving 255. Allocates
     nothing. */
  void Interpolate(const float *lab, float *out, std::uint64_t count) const;

  /* Computes every grid value from the caller's model. The model is evaluated on the coarse grid,
     then on every second grid point of the region around the samples (the Lab points given by the
     first three entries of each inner vector, grown by borderWidth grid steps, plus one step of
     support), and finally at the region points whose interpolated values, converted back to Lab,
     lie more than 0.5 from their colour; everything else is interpolated. labToProcess is called
     three times with consecutive progress ranges covering 0 .. 1, processToLab once, both on the
     calling thread; the geometric phases run on a bounded set of worker threads (at most the
     number of processors available to the calling thread). With clipToHull, colours outside the
     samples' hull are pulled into it before labToProcess sees them. Values of exactly 0 and 255
     are stored as -2.55 and 257.55. Throws std::invalid_argument for a coarse step below 2 or a
     sample with fewer than three entries (table unchanged), std::bad_function_call for an empty
     model, and passes on whatever the model throws; on any exception the values are unchanged.
     A table without grid points (moved from) is left as it is, without calling the model. */
  void FillTable(std::vector<std::vector<double>> samples, LabToProcessFunction labToProcess,
                 ProcessToLabFunction processToLab, bool clipToHull, int borderWidth);

 private:
  friend struct LabToProcTableAccess;  // the filling code and its tests

  int nrOutputChannels;
  int stepL;
  int stepA;
  int stepB;
  int nrL;
  int nrA;
  int nrB;
  std::vector<float> buffer;
  int nrPoints;
  std::vector<std::uint8_t> extraBytes;  // caller's data, carried along by copies
  int coarseStep;
};

#endif
