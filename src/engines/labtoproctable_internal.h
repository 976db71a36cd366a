// Pieces of the Lab-to-process table that its tests reach directly: the oriented boxes around the
// samples, the axis upsampling, the bounded worker pool and the fill with a given thread count.
#ifndef VELMORA_ENGINES_LABTOPROCTABLE_INTERNAL_H
#define VELMORA_ENGINES_LABTOPROCTABLE_INTERNAL_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "velmora/labtoproctable.h"

namespace velmora::labtoproc {

// A box around the samples in a rotated frame: q = R * lab lies in [minimum, maximum] per axis.
struct OrientedBox {
  double minimum[3];
  double maximum[3];
  double angles[3];
  double rotation[9];  // R by rows
  double inverse[9];   // R^-1 by rows
  double margin;
};

// count values evenly spaced from start to end, both included.
std::vector<double> Linspace(double start, double end, int count);

// R = Rz(x3) * Ry(x2) * Rx(x1) and its inverse Rx(-x1) * Ry(-x2) * Rz(-x3); Rx turns about L*,
// Ry about a*, Rz about b*.
void RotationFromAngles(double x1, double x2, double x3, double *rotation, double *inverse);

// The 1000 boxes of the samples' first three entries, one per orientation (x1 = 2 pi t1,
// x2 = asin t2, x3 = (2 t3 - 1) pi / 2 with t1, t2, t3 in Linspace(0, 1, 10), t3 fastest).
// Without samples every box is empty (minimum above maximum) and contains nothing.
std::vector<OrientedBox> BuildOrientedBoxes(const std::vector<std::vector<double>> &samples);

// True when R * p lies within [minimum - margin, maximum + margin] on every axis of every box;
// false for NaN coordinates.
bool IsInsideBoxes(const std::vector<OrientedBox> &boxes, const double *p, double margin);

// p itself when inside the boxes; else the point clamped into the box it lies farthest outside,
// and, unless that lands inside all of them (within 0.01), clamped once more into each box it
// still leaves by more than 0.01, in order.
void MapIntoBoxes(const std::vector<OrientedBox> &boxes, const double *p, double *out);

// Linear interpolation along one axis of a grid in the table's point order (L* fastest) with
// `components` values per point: along every line whose coordinates on the later axes are
// multiples of spacing (earlier axes take every coordinate), the points between consecutive
// multiples a and a + spacing receive (1 - w) v(a) + w v(a + spacing), w = t / spacing in single
// precision. Does nothing for a spacing of 1 or less. Called for axes 0, 1, 2 in turn.
template <typename T>
void UpsampleAxis(T *values, int components, const int dims[3], int spacing, int axis) {
  if (spacing <= 1) return;
  const std::size_t stride[3] = {1, static_cast<std::size_t>(dims[0]),
                                 static_cast<std::size_t>(dims[0]) * dims[1]};
  const int u = axis == 0 ? 1 : 0;  // the two other axes, u before v
  const int v = axis == 2 ? 1 : 2;
  const int stepU = u > axis ? spacing : 1;
  const int stepV = v > axis ? spacing : 1;
  const std::size_t along = stride[axis] * components;
  for (int iv = 0; iv < dims[v]; iv += stepV) {
    for (int iu = 0; iu < dims[u]; iu += stepU) {
      T *line = values + (iu * stride[u] + iv * stride[v]) * components;
      for (int a = 0; a + spacing < dims[axis]; a += spacing) {
        const T *first = line + a * along;
        const T *last = first + spacing * along;
        for (int t = 1; t < spacing; ++t) {
          const float w = static_cast<float>(t) / static_cast<float>(spacing);
          const T wt = static_cast<T>(w);
          T *target = line + (a + t) * along;
          for (int c = 0; c < components; ++c)
            target[c] = (T(1) - wt) * first[c] + wt * last[c];
        }
      }
    }
  }
}

// Flags of every point within `radius` grid steps, per axis, of a flagged point (the cube of side
// 2 radius + 1 about each, clipped to the grid); no point for a negative radius. Flags are in the
// table's point order.
std::vector<std::uint8_t> Dilate(const std::vector<std::uint8_t> &flags, const int dims[3],
                                 int radius);

// Number of worker threads FillTable uses: the processors the calling thread may run on (its
// affinity mask), at most std::thread::hardware_concurrency(), at least 1.
unsigned AvailableThreads();

// Runs fn(i) for i = 0 .. count - 1 on at most `threads` threads, the calling thread among them,
// indices handed out in ascending order; returns when all are done. The first exception (by
// worker) is rethrown after every worker has stopped. If the system refuses to start a thread,
// the ones started (and the caller) do the work.
template <typename Fn>
void ParallelFor(int count, unsigned threads, const Fn &fn) {
  if (count <= 0) return;
  const unsigned workers = std::max(1u, std::min(threads, static_cast<unsigned>(count)));
  if (workers == 1) {
    for (int i = 0; i < count; ++i)
      fn(i);
    return;
  }
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::exception_ptr> errors(workers);
  auto work = [&](unsigned worker) {
    try {
      for (int i = next.fetch_add(1); i < count && !failed.load(); i = next.fetch_add(1))
        fn(i);
    } catch (...) {
      errors[worker] = std::current_exception();
      failed = true;
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(workers - 1);
  for (unsigned w = 1; w < workers; ++w) {
    try {
      pool.emplace_back(work, w);
    } catch (const std::system_error &) {
      break;
    }
  }
  work(0);
  for (std::thread &t : pool)
    t.join();
  for (const std::exception_ptr &e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace velmora::labtoproc

// Access to a table's geometry and to the fill with an explicit thread count, for the tests.
struct LabToProcTableAccess {
  struct Geometry {
    int nrOutputChannels, stepL, stepA, stepB, nrL, nrA, nrB, nrPoints, coarseStep;
  };
  static Geometry GetGeometry(const LabToProcTable &table) {
    return {table.nrOutputChannels,
            table.stepL,
            table.stepA,
            table.stepB,
            table.nrL,
            table.nrA,
            table.nrB,
            table.nrPoints,
            table.coarseStep};
  }
  static std::vector<std::uint8_t> &ExtraBytes(LabToProcTable &table) { return table.extraBytes; }

  // FillTable with the geometric phases on at most `threads` threads.
  static void FillTable(LabToProcTable &table, std::vector<std::vector<double>> samples,
                        const LabToProcTable::LabToProcessFunction &labToProcess,
                        const LabToProcTable::ProcessToLabFunction &processToLab, bool clipToHull,
                        int borderWidth, unsigned threads);
};

#endif
