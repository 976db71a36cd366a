// Filling a Lab-to-process table from the caller's colour model in three levels: the model on a
// coarse grid over the whole Lab box, then on every second grid point of the region around the
// samples (bounded by 1000 oriented boxes), then on the region points whose interpolated values
// fail a round trip through the process-to-Lab model. Everything else is interpolated. The
// geometric phases run on a bounded pool of threads writing disjoint parts of shared arrays; the
// model is only ever called from the calling thread.
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "engines/labtoproctable_internal.h"

#ifdef __linux__
#include <sched.h>
#endif

namespace velmora::labtoproc {

namespace {

constexpr int kOrientationSteps = 10;  // per angle: 10^3 boxes
constexpr double kTwoPi = 6.2832;
constexpr double kHalfPi = 1.5708;
constexpr double kMapTolerance = 0.01;
// A region point whose interpolated values convert back farther than 0.5 from its colour (squared
// distance above 0.25) is computed by the model.
constexpr double kMaxSquaredRoundTrip = 0.25;
// Process values 0 .. 255 reach the process-to-Lab model as 1 - v / 254.999 (0 full, 1 empty).
constexpr double kProcessScale = 254.999;
// Exact 0 and 255 are pushed beyond the range, so that lookups near them clamp to the limit.
constexpr float kBelowZero = -2.55f;
constexpr float kAbove255 = 257.55f;

void Multiply(const double *a, const double *b, double *out) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
  }
}

void Apply(const double *m, const double *p, double *out) {
  for (int r = 0; r < 3; ++r)
    out[r] = m[3 * r] * p[0] + m[3 * r + 1] * p[1] + m[3 * r + 2] * p[2];
}

double ClampTo(double v, double lo, double hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

bool IsInsideBox(const OrientedBox &box, const double *p, double margin) {
  double q[3];
  Apply(box.rotation, p, q);
  for (int k = 0; k < 3; ++k) {
    if (!(box.minimum[k] - margin <= q[k] && q[k] <= box.maximum[k] + margin)) return false;
  }
  return true;
}

}  // namespace

// The cube is the product of three segments, so the flags grow one axis at a time, each line with
// a forward and a backward sweep for the nearest flagged point: the cost does not depend on the
// radius.
std::vector<std::uint8_t> Dilate(const std::vector<std::uint8_t> &flags, const int dims[3],
                                 int radius) {
  std::vector<std::uint8_t> grown(flags.size(), 0);
  if (radius < 0) return grown;
  grown = flags;
  const std::size_t stride[3] = {1, static_cast<std::size_t>(dims[0]),
                                 static_cast<std::size_t>(dims[0]) * dims[1]};
  std::vector<std::uint8_t> line;
  for (int axis = 0; axis < 3; ++axis) {
    const int u = axis == 0 ? 1 : 0, v = axis == 2 ? 1 : 2;
    const int length = dims[axis];
    line.resize(length);
    for (int iv = 0; iv < dims[v]; ++iv) {
      for (int iu = 0; iu < dims[u]; ++iu) {
        std::uint8_t *start = grown.data() + iu * stride[u] + iv * stride[v];
        for (int i = 0; i < length; ++i)
          line[i] = start[i * stride[axis]];
        long last = -static_cast<long>(radius) - 1;
        for (int i = 0; i < length; ++i) {
          if (line[i]) last = i;
          start[i * stride[axis]] = i - last <= radius;
        }
        long next = static_cast<long>(length) + radius;
        for (int i = length - 1; i >= 0; --i) {
          if (line[i]) next = i;
          if (next - i <= radius) start[i * stride[axis]] = 1;
        }
      }
    }
  }
  return grown;
}

std::vector<double> Linspace(double start, double end, int count) {
  std::vector<double> values(count > 0 ? count : 0);
  for (int i = 0; i < count; ++i)
    values[i] = count > 1 ? start + (end - start) * i / (count - 1) : start;
  return values;
}

void RotationFromAngles(double x1, double x2, double x3, double *rotation, double *inverse) {
  const auto rx = [](double t, double *m) {
    const double c = std::cos(t), s = std::sin(t);
    const double v[9] = {1, 0, 0, 0, c, -s, 0, s, c};
    std::copy(v, v + 9, m);
  };
  const auto ry = [](double t, double *m) {
    const double c = std::cos(t), s = std::sin(t);
    const double v[9] = {c, 0, s, 0, 1, 0, -s, 0, c};
    std::copy(v, v + 9, m);
  };
  const auto rz = [](double t, double *m) {
    const double c = std::cos(t), s = std::sin(t);
    const double v[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
    std::copy(v, v + 9, m);
  };
  double a[9], b[9], c[9], ab[9];
  rz(x3, a);
  ry(x2, b);
  rx(x1, c);
  Multiply(a, b, ab);
  Multiply(ab, c, rotation);
  rx(-x1, a);
  ry(-x2, b);
  rz(-x3, c);
  Multiply(a, b, ab);
  Multiply(ab, c, inverse);
}

std::vector<OrientedBox> BuildOrientedBoxes(const std::vector<std::vector<double>> &samples) {
  const std::vector<double> t = Linspace(0.0, 1.0, kOrientationSteps);
  std::vector<OrientedBox> boxes;
  boxes.reserve(t.size() * t.size() * t.size());
  for (double t1 : t) {
    for (double t2 : t) {
      for (double t3 : t) {
        OrientedBox box{};
        box.angles[0] = t1 * kTwoPi;
        box.angles[1] = std::asin(t2);
        box.angles[2] = (2.0 * t3 - 1.0) * kHalfPi;
        RotationFromAngles(box.angles[0], box.angles[1], box.angles[2], box.rotation, box.inverse);
        for (int k = 0; k < 3; ++k) {
          box.minimum[k] = 128.0;
          box.maximum[k] = k == 0 ? 0.0 : -128.0;
        }
        for (const std::vector<double> &s : samples) {
          double q[3];
          Apply(box.rotation, s.data(), q);
          for (int k = 0; k < 3; ++k) {
            box.minimum[k] = std::min(box.minimum[k], q[k]);
            box.maximum[k] = std::max(box.maximum[k], q[k]);
          }
        }
        box.margin = 0.0;
        boxes.push_back(box);
      }
    }
  }
  return boxes;
}

bool IsInsideBoxes(const std::vector<OrientedBox> &boxes, const double *p, double margin) {
  for (const OrientedBox &box : boxes) {
    if (!IsInsideBox(box, p, margin)) return false;
  }
  return true;
}

void MapIntoBoxes(const std::vector<OrientedBox> &boxes, const double *p, double *out) {
  std::copy(p, p + 3, out);
  if (boxes.empty() || IsInsideBoxes(boxes, p, 0.0)) return;
  // The box the point lies farthest outside of decides the first candidate.
  double farthest = -1.0;
  double candidate[3] = {p[0], p[1], p[2]};
  for (const OrientedBox &box : boxes) {
    double q[3], c[3];
    Apply(box.rotation, p, q);
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      c[k] = ClampTo(q[k], box.minimum[k], box.maximum[k]);
      d2 += (c[k] - q[k]) * (c[k] - q[k]);
    }
    const double d = std::sqrt(d2);
    if (d > farthest) {
      farthest = d;
      Apply(box.inverse, c, candidate);
    }
  }
  if (!IsInsideBoxes(boxes, candidate, kMapTolerance)) {
    for (const OrientedBox &box : boxes) {
      if (IsInsideBox(box, candidate, kMapTolerance)) continue;
      double q[3];
      Apply(box.rotation, candidate, q);
      for (int k = 0; k < 3; ++k)
        q[k] = ClampTo(q[k], box.minimum[k], box.maximum[k]);
      Apply(box.inverse, q, candidate);
    }
  }
  std::copy(candidate, candidate + 3, out);
}

unsigned AvailableThreads() {
  unsigned threads = std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int allowed = CPU_COUNT(&set);
    if (allowed > 0 && static_cast<unsigned>(allowed) < threads)
      threads = static_cast<unsigned>(allowed);
  }
#endif
  return threads;
}

}  // namespace velmora::labtoproc

void LabToProcTableAccess::FillTable(LabToProcTable &table,
                                     std::vector<std::vector<double>> samples,
                                     const LabToProcTable::LabToProcessFunction &labToProcess,
                                     const LabToProcTable::ProcessToLabFunction &processToLab,
                                     bool clipToHull, int borderWidth, unsigned threads) {
  using namespace velmora::labtoproc;
  const int f = table.coarseStep;
  if (f < 2) throw std::invalid_argument("LabToProcTable::FillTable: coarse step below 2");
  for (const std::vector<double> &s : samples) {
    if (s.size() < 3)
      throw std::invalid_argument("LabToProcTable::FillTable: sample with fewer than 3 entries");
  }
  if (table.nrPoints == 0) return;  // a moved-from table: nothing to compute
  const int n = table.nrOutputChannels;
  const int dims[3] = {table.nrL, table.nrA, table.nrB};
  const int nL = dims[0], nA = dims[1], nB = dims[2];
  const std::size_t points = static_cast<std::size_t>(table.nrPoints);
  const auto index = [&](int iL, int iA, int iB) {
    return (static_cast<std::size_t>(iB) * nA + iA) * nL + iL;
  };
  // Every grid point is computed for the colour that Interpolate reads it as.
  const auto labOf = [&](int iL, int iA, int iB, double *lab) {
    lab[0] = iL * 128.0 / (nL - 1);
    lab[1] = iA * 256.0 / (nA - 1) - 128.0;
    lab[2] = iB * 256.0 / (nB - 1) - 128.0;
  };
  // Clipping needs boxes that hold something.
  const bool clip = clipToHull && !samples.empty();

  // Coarse grid, one task per coarse L* plane.
  const int cL = nL / f + 1, cA = nA / f + 1, cB = nB / f + 1;
  const int coarseCount = cL * cA * cB;
  std::vector<double> coarseLab(static_cast<std::size_t>(coarseCount) * 3);
  ParallelFor(cL, threads, [&](int i) {
    for (int k = 0; k < cB; ++k) {
      for (int j = 0; j < cA; ++j)
        labOf(i * f, j * f, k * f,
              &coarseLab[((static_cast<std::size_t>(k) * cA + j) * cL + i) * 3]);
    }
  });

  // Region of the samples: points inside every box, grown by borderWidth steps.
  const std::vector<OrientedBox> boxes = BuildOrientedBoxes(samples);
  std::vector<std::uint8_t> inside(points, 0);
  ParallelFor(nL, threads, [&](int iL) {
    double lab[3];
    for (int iB = 0; iB < nB; ++iB) {
      for (int iA = 0; iA < nA; ++iA) {
        labOf(iL, iA, iB, lab);
        inside[index(iL, iA, iB)] = IsInsideBoxes(boxes, lab, 0.0) ? 1 : 0;
      }
    }
  });
  std::vector<std::uint8_t> region = Dilate(inside, dims, borderWidth);
  long long regionCount = 0;
  for (std::uint8_t r : region)
    regionCount += r;

  // Progress shares: each coarse point counts three, each region point one.
  const int total = static_cast<int>(3.0 * coarseCount + static_cast<double>(regionCount));
  const double p1 = 3.0 * coarseCount / total;

  const auto mapAll = [&](std::vector<double> &labs) {
    if (!clip) return;
    ParallelFor(static_cast<int>(labs.size() / 3), threads, [&](int p) {
      double mapped[3];
      MapIntoBoxes(boxes, &labs[static_cast<std::size_t>(p) * 3], mapped);
      std::copy(mapped, mapped + 3, &labs[static_cast<std::size_t>(p) * 3]);
    });
  };
  mapAll(coarseLab);
  std::vector<float> coarseValues(static_cast<std::size_t>(coarseCount) * n, 0.0f);
  labToProcess(coarseLab.data(), coarseCount, coarseValues.data(), 0.0, p1);

  // The coarse values, interpolated over the whole grid. Built aside and swapped in at the end,
  // so that the table keeps its values if anything below throws.
  std::vector<float> values(points * n, 255.0f);
  for (int k = 0; k < cB; ++k) {
    for (int j = 0; j < cA; ++j) {
      for (int i = 0; i < cL; ++i) {
        const float *from = &coarseValues[((static_cast<std::size_t>(k) * cA + j) * cL + i) * n];
        std::copy(from, from + n, &values[index(i * f, j * f, k * f) * n]);
      }
    }
  }
  for (int axis = 0; axis < 3; ++axis)
    UpsampleAxis(values.data(), n, dims, f, axis);

  // Level 1: every second point of the region and its one-step support.
  const std::vector<std::uint8_t> support = Dilate(region, dims, 1);
  std::vector<std::size_t> level1Points;
  std::vector<double> level1Lab;
  for (int iB = 0; iB < nB; iB += 2) {
    for (int iA = 0; iA < nA; iA += 2) {
      for (int iL = 0; iL < nL; iL += 2) {
        const std::size_t p = index(iL, iA, iB);
        if (!support[p]) continue;
        level1Points.push_back(p);
        level1Lab.resize(level1Lab.size() + 3);
        labOf(iL, iA, iB, &level1Lab[level1Lab.size() - 3]);
      }
    }
  }
  mapAll(level1Lab);
  const int level1Count = static_cast<int>(level1Points.size());
  const double p2 = p1 + static_cast<double>(level1Count) / total;
  std::vector<float> level1Values(static_cast<std::size_t>(level1Count) * n, 0.0f);
  labToProcess(level1Lab.data(), level1Count, level1Values.data(), p1, p2);

  // Colours of the points still to check. Clipped level-1 colours are spread over the points
  // between them, so that a checked point is compared with the colour its values came from;
  // every other point keeps the colour of its own indices.
  std::vector<double> gridLab;
  if (clip) {
    gridLab.resize(points * 3);
    for (int iB = 0; iB < nB; ++iB) {
      for (int iA = 0; iA < nA; ++iA) {
        for (int iL = 0; iL < nL; ++iL)
          labOf(iL, iA, iB, &gridLab[index(iL, iA, iB) * 3]);
      }
    }
    for (int i = 0; i < level1Count; ++i)
      std::copy(&level1Lab[3 * i], &level1Lab[3 * i] + 3, &gridLab[level1Points[i] * 3]);
    for (int axis = 0; axis < 3; ++axis)
      UpsampleAxis(gridLab.data(), 3, dims, 2, axis);
  }
  for (int i = 0; i < level1Count; ++i) {
    const std::size_t p = level1Points[i];
    if (!region[p]) continue;
    std::copy(&level1Values[static_cast<std::size_t>(i) * n],
              &level1Values[static_cast<std::size_t>(i) * n] + n, &values[p * n]);
    region[p] = 0;
  }
  // Level-1 values sit on every second point: interpolate the points between them.
  for (int axis = 0; axis < 3; ++axis)
    UpsampleAxis(values.data(), n, dims, 2, axis);

  // Round trip of the remaining region points through the process-to-Lab model.
  std::vector<std::size_t> checked;
  std::vector<double> checkedLab;
  for (int iB = 0; iB < nB; ++iB) {
    for (int iA = 0; iA < nA; ++iA) {
      for (int iL = 0; iL < nL; ++iL) {
        const std::size_t p = index(iL, iA, iB);
        if (!region[p]) continue;
        checked.push_back(p);
        checkedLab.resize(checkedLab.size() + 3);
        double *lab = &checkedLab[checkedLab.size() - 3];
        if (clip)
          std::copy(&gridLab[p * 3], &gridLab[p * 3] + 3, lab);
        else
          labOf(iL, iA, iB, lab);
      }
    }
  }
  const int checkedCount = static_cast<int>(checked.size());
  std::vector<double> process(static_cast<std::size_t>(checkedCount) * n);
  for (int i = 0; i < checkedCount; ++i) {
    for (int o = 0; o < n; ++o)
      process[static_cast<std::size_t>(i) * n + o] =
          1.0 - values[checked[i] * n + o] / kProcessScale;
  }
  std::vector<double> backLab(static_cast<std::size_t>(checkedCount) * 3);
  processToLab(process.data(), checkedCount, backLab.data());

  // Level 2: the model at the points that failed the round trip.
  std::vector<std::size_t> level2Points;
  std::vector<double> level2Lab;
  for (int i = 0; i < checkedCount; ++i) {
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double d = backLab[3 * i + k] - checkedLab[3 * i + k];
      d2 += d * d;
    }
    if (d2 > kMaxSquaredRoundTrip) {
      level2Points.push_back(checked[i]);
      level2Lab.insert(level2Lab.end(), &checkedLab[3 * i], &checkedLab[3 * i] + 3);
    } else {
      region[checked[i]] = 0;
    }
  }
  const int level2Count = static_cast<int>(level2Points.size());
  std::vector<float> level2Values(static_cast<std::size_t>(level2Count) * n, 255.0f);
  labToProcess(level2Lab.data(), level2Count, level2Values.data(), p2, 1.0);
  for (int i = 0; i < level2Count; ++i) {
    std::copy(&level2Values[static_cast<std::size_t>(i) * n],
              &level2Values[static_cast<std::size_t>(i) * n] + n, &values[level2Points[i] * n]);
  }

  for (float &v : values) {
    if (v == 0.0f)
      v = kBelowZero;
    else if (v == 255.0f)
      v = kAbove255;
  }
  table.buffer = std::move(values);
}
