// Filling a Lab-to-process table from an analytic Lab -> process model and its inverse: the calls
// made, the region logic, the accuracy guarantees, the final substitution, and the same table on
// any number of threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engines/labtoproctable_internal.h"

namespace {

using Geometry = LabToProcTableAccess::Geometry;
using velmora::labtoproc::BuildOrientedBoxes;
using velmora::labtoproc::IsInsideBoxes;

// A smooth model, quadratic in L* and b*, linear in a*, with values 20 .. 235.
void Forward(const double *lab, float *out) {
  const double u = std::clamp(lab[0] / 128.0, 0.0, 1.0);
  const double v = std::clamp((lab[1] + 128.0) / 256.0, 0.0, 1.0);
  const double w = std::clamp((lab[2] + 128.0) / 256.0, 0.0, 1.0);
  out[0] = static_cast<float>(20.0 + 215.0 * u * u);
  out[1] = static_cast<float>(20.0 + 215.0 * v);
  out[2] = static_cast<float>(20.0 + 215.0 * w * w);
}

// Its inverse, taking process values as 1 - value / 254.999.
void Backward(const double *process, double *lab) {
  double p[3];
  for (int k = 0; k < 3; ++k)
    p[k] = std::max(0.0, ((1.0 - process[k]) * 254.999 - 20.0) / 215.0);
  lab[0] = 128.0 * std::sqrt(p[0]);
  lab[1] = 256.0 * p[1] - 128.0;
  lab[2] = 256.0 * std::sqrt(p[2]) - 128.0;
}

struct Call {
  std::vector<double> lab;
  double start, end;
  std::thread::id thread;
};

// Records every call of the two model functions.
struct Recorder {
  std::vector<Call> forward;
  int backwardCalls = 0;
  std::thread::id backwardThread;
  void (*model)(const double *, float *) = Forward;

  LabToProcTable::LabToProcessFunction Lab2Proc() {
    return [this](const double *lab, int count, float *out, double start, double end) {
      forward.push_back(
          {std::vector<double>(lab, lab + 3 * count), start, end, std::this_thread::get_id()});
      for (int i = 0; i < count; ++i)
        model(lab + 3 * i, out + 3 * i);
    };
  }
  LabToProcTable::ProcessToLabFunction Proc2Lab() {
    return [this](const double *process, int count, double *lab) {
      ++backwardCalls;
      backwardThread = std::this_thread::get_id();
      for (int i = 0; i < count; ++i)
        Backward(process + 3 * i, lab + 3 * i);
    };
  }
};

// Lab lattice of samples filling a box.
std::vector<std::vector<double>> BoxSamples(const double lo[3], const double hi[3], int per) {
  std::vector<std::vector<double>> samples;
  for (int i = 0; i < per; ++i) {
    for (int j = 0; j < per; ++j) {
      for (int k = 0; k < per; ++k) {
        samples.push_back({lo[0] + (hi[0] - lo[0]) * i / (per - 1),
                           lo[1] + (hi[1] - lo[1]) * j / (per - 1),
                           lo[2] + (hi[2] - lo[2]) * k / (per - 1)});
      }
    }
  }
  return samples;
}

struct GridPoint {
  std::size_t index;
  int iL, iA, iB;
  double lab[3];
};

// Every grid point, in the table's order, with the colour the lookup reads it as.
std::vector<GridPoint> GridPoints(const LabToProcTable &table) {
  const Geometry g = LabToProcTableAccess::GetGeometry(table);
  std::vector<GridPoint> points;
  points.reserve(g.nrPoints);
  for (int iB = 0; iB < g.nrB; ++iB) {
    for (int iA = 0; iA < g.nrA; ++iA) {
      for (int iL = 0; iL < g.nrL; ++iL) {
        points.push_back({points.size(),
                          iL,
                          iA,
                          iB,
                          {iL * 128.0 / (g.nrL - 1), iA * 256.0 / (g.nrA - 1) - 128.0,
                           iB * 256.0 / (g.nrB - 1) - 128.0}});
      }
    }
  }
  return points;
}

bool InBox(const double *lab, const double lo[3], const double hi[3], double margin) {
  for (int k = 0; k < 3; ++k) {
    if (lab[k] < lo[k] - margin || lab[k] > hi[k] + margin) return false;
  }
  return true;
}

// Distance between a colour and the colour its table values convert back to.
double RoundTripError(LabToProcTable &table, const GridPoint &p) {
  double process[3], back[3];
  for (int o = 0; o < 3; ++o)
    process[o] = 1.0 - table.GetBuffer()[p.index * 3 + o] / 254.999;
  Backward(process, back);
  return std::sqrt(std::pow(back[0] - p.lab[0], 2) + std::pow(back[1] - p.lab[1], 2) +
                   std::pow(back[2] - p.lab[2], 2));
}

// Trilinear interpolation of the model's values on the coarse grid, computed directly.
double CoarseInterpolation(const Geometry &g, const GridPoint &p, int o) {
  const int f = g.coarseStep;
  const int i[3] = {p.iL, p.iA, p.iB};
  const int n[3] = {g.nrL, g.nrA, g.nrB};
  double sum = 0.0;
  for (int corner = 0; corner < 8; ++corner) {
    double w = 1.0;
    double lab[3];
    for (int k = 0; k < 3; ++k) {
      const int lower = std::min(i[k] / f * f, n[k] - 1 - f);
      const double t = static_cast<double>(i[k] - lower) / f;
      const int at = (corner >> k) & 1 ? lower + f : lower;
      w *= (corner >> k) & 1 ? t : 1.0 - t;
      lab[k] = k == 0 ? at * 128.0 / (n[k] - 1) : at * 256.0 / (n[k] - 1) - 128.0;
    }
    float v[3];
    Forward(lab, v);
    sum += w * v[o];
  }
  return sum;
}

const double kBoxLo[3] = {6.0, -30.0, -20.0};
const double kBoxHi[3] = {60.0, 30.0, 40.0};

TEST(LabToProcTableFill, CallsTheModelOnTheCallingThreadWithConsecutiveProgress) {
  LabToProcTable table(3, 4, 8, 8, 4);  // 33^3, coarse 9^3
  const Geometry g = LabToProcTableAccess::GetGeometry(table);
  Recorder rec;
  table.FillTable(BoxSamples(kBoxLo, kBoxHi, 6), rec.Lab2Proc(), rec.Proc2Lab(), false, 2);

  ASSERT_EQ(rec.forward.size(), 3u);
  EXPECT_EQ(rec.backwardCalls, 1);
  EXPECT_EQ(rec.backwardThread, std::this_thread::get_id());
  for (const Call &c : rec.forward)
    EXPECT_EQ(c.thread, std::this_thread::get_id());
  EXPECT_EQ(rec.forward[0].start, 0.0);
  EXPECT_EQ(rec.forward[0].end, rec.forward[1].start);
  EXPECT_EQ(rec.forward[1].end, rec.forward[2].start);
  EXPECT_EQ(rec.forward[2].end, 1.0);

  // First call: the coarse grid, L* fastest, every colour as the lookup reads it.
  ASSERT_EQ(rec.forward[0].lab.size(), 729u * 3);
  for (int k = 0, p = 0; k < 9; ++k) {
    for (int j = 0; j < 9; ++j) {
      for (int i = 0; i < 9; ++i, ++p) {
        ASSERT_EQ(rec.forward[0].lab[3 * p], i * 16.0);
        ASSERT_EQ(rec.forward[0].lab[3 * p + 1], j * 32.0 - 128.0);
        ASSERT_EQ(rec.forward[0].lab[3 * p + 2], k * 32.0 - 128.0);
      }
    }
  }
  // Progress: the coarse points count three each and the region points one: T = 2187 + R0.
  const double total = 2187.0 / rec.forward[0].end;
  const long regionPoints = std::lround(total) - 2187;
  const std::vector<GridPoint> points = GridPoints(table);
  long inBox = 0;
  for (const GridPoint &p : points)
    inBox += InBox(p.lab, kBoxLo, kBoxHi, 0.0);
  EXPECT_GT(regionPoints, inBox);  // the box grown by two steps
  EXPECT_NEAR((rec.forward[1].end - rec.forward[1].start) * total, rec.forward[1].lab.size() / 3.0,
              1e-6);
  // Second call: grid points with even indices around the region, in table order.
  for (std::size_t p = 0; p < rec.forward[1].lab.size() / 3; ++p) {
    EXPECT_EQ(std::fmod(rec.forward[1].lab[3 * p], 8.0), 0.0);
    EXPECT_EQ(std::fmod(rec.forward[1].lab[3 * p + 1] + 128.0, 16.0), 0.0);
  }
  // Near L* = 6 the quadratic model is too curved for the level-1 spacing: level 2 is needed.
  EXPECT_GT(rec.forward[2].lab.size(), 0u);

  // Inside the sample box every value converts back within 0.5 of its colour; far from it the
  // table holds the trilinear interpolation of the coarse values.
  for (const GridPoint &p : points) {
    if (InBox(p.lab, kBoxLo, kBoxHi, 0.0)) {
      ASSERT_LE(RoundTripError(table, p), 0.5 + 1e-9) << p.lab[0] << " " << p.lab[1];
    } else if (p.lab[0] >= 100.0) {
      for (int o = 0; o < 3; ++o)
        ASSERT_NEAR(table.GetBuffer()[p.index * 3 + o], CoarseInterpolation(g, p, o), 1e-3);
    }
  }
}

TEST(LabToProcTableFill, WithoutSamplesInterpolatesTheCoarseGridAndNeverClips) {
  std::vector<float> tables[2];
  for (int clip = 0; clip < 2; ++clip) {
    LabToProcTable table(3, 4, 8, 8, 4);
    Recorder rec;
    table.FillTable({}, rec.Lab2Proc(), rec.Proc2Lab(), clip == 1, 2);
    ASSERT_EQ(rec.forward.size(), 3u);
    EXPECT_EQ(rec.forward[0].end, 1.0);  // T = 2187 + 0 region points
    EXPECT_TRUE(rec.forward[1].lab.empty());
    EXPECT_TRUE(rec.forward[2].lab.empty());
    EXPECT_EQ(rec.forward[2].start, 1.0);
    EXPECT_EQ(rec.forward[0].lab[3 * 728], 128.0);  // colours not moved by clipping
    EXPECT_EQ(rec.forward[0].lab[3 * 728 + 2], 128.0);
    const Geometry g = LabToProcTableAccess::GetGeometry(table);
    for (const GridPoint &p : GridPoints(table)) {
      for (int o = 0; o < 3; ++o)
        ASSERT_NEAR(table.GetBuffer()[p.index * 3 + o], CoarseInterpolation(g, p, o), 1e-3);
    }
    tables[clip] = table.GetBuffer();
  }
  EXPECT_EQ(tables[0], tables[1]);
}

// With a coarse step that does not divide the interval counts (here 32 intervals make 30 of
// 128 / 30 units), each grid point must still be computed for the colour the lookup reads it as.
TEST(LabToProcTableFill, ComputesEachPointForTheColourTheLookupReadsItAs) {
  const auto linear = [](const double *lab, float *out) {
    out[0] = static_cast<float>(10 + 1.5 * lab[0]);
    out[1] = static_cast<float>(128 + 0.7 * lab[1] - 0.2 * lab[2]);
    out[2] = static_cast<float>(128 + 0.5 * lab[2]);
  };
  for (const bool withSamples : {false, true}) {
    LabToProcTable table(3, 4, 8, 8, 3);
    Recorder rec;
    rec.model = linear;
    std::vector<std::vector<double>> samples;
    if (withSamples) samples = BoxSamples(kBoxLo, kBoxHi, 4);
    LabToProcTableAccess::FillTable(table, samples, rec.Lab2Proc(), rec.Proc2Lab(), false, 1, 2);
    std::vector<float> lab;
    for (int i = 0; i <= 40; ++i) {
      for (int j = 0; j <= 40; ++j) {
        lab.insert(lab.end(), {static_cast<float>(i * 3.2), static_cast<float>(j * 6.4 - 128),
                               static_cast<float>(100 - j * 5.0)});
      }
    }
    std::vector<float> out(lab.size());
    table.Interpolate(lab.data(), out.data(), lab.size() / 3);
    for (std::size_t p = 0; p < lab.size() / 3; ++p) {
      const double c[3] = {lab[3 * p], lab[3 * p + 1], lab[3 * p + 2]};
      float want[3];
      linear(c, want);
      for (int o = 0; o < 3; ++o)
        ASSERT_NEAR(out[3 * p + o], want[o], 2e-3) << c[0] << " " << c[1] << " " << c[2];
    }
  }
}

// Level-1 model values sit on every second grid point of the region; interpolating with any other
// spacing afterwards would overwrite them with coarser interpolations.
TEST(LabToProcTableFill, KeepsTheModelValuesOfEverySecondRegionPoint) {
  for (const int f : {2, 4, 8}) {
    LabToProcTable table(3, 4, 8, 8, f);
    Recorder rec;
    LabToProcTableAccess::FillTable(table, BoxSamples(kBoxLo, kBoxHi, 4), rec.Lab2Proc(),
                                    rec.Proc2Lab(), false, 1, 2);
    int checked = 0;
    for (const GridPoint &p : GridPoints(table)) {
      if (p.iL % 2 || p.iA % 2 || p.iB % 2 || !InBox(p.lab, kBoxLo, kBoxHi, 0.0)) continue;
      float want[3];
      Forward(p.lab, want);
      for (int o = 0; o < 3; ++o)
        ASSERT_EQ(table.GetBuffer()[p.index * 3 + o], want[o]) << "f " << f << " L " << p.lab[0];
      ++checked;
    }
    EXPECT_EQ(checked, 7 * 3 * 4);  // L* 8 .. 56, a* -16 .. 16, b* -16 .. 32
  }
}

// With an odd coarse step and odd interval counts (63 here) the top grid plane is not on the
// every-second-point lattice; its region points must be checked against their own colours.
TEST(LabToProcTableFill, ChecksTopEdgePointsAgainstTheirOwnColours) {
  LabToProcTable table(3, 2, 4, 4, 3);  // 64^3
  const double lo[3] = {100.0, -20.0, -20.0}, hi[3] = {128.0, 20.0, 20.0};
  Recorder rec;
  LabToProcTableAccess::FillTable(table, BoxSamples(lo, hi, 4), rec.Lab2Proc(), rec.Proc2Lab(),
                                  false, 1, 2);
  int top = 0;
  for (const GridPoint &p : GridPoints(table)) {
    if (!InBox(p.lab, lo, hi, 0.0)) continue;
    ASSERT_LE(RoundTripError(table, p), 0.5 + 1e-9) << p.lab[0] << " " << p.lab[1];
    top += p.iL == 63;
  }
  EXPECT_GT(top, 50);
}

TEST(LabToProcTableFill, BorderWidthZeroMakesTheRegionTheInsidePoints) {
  const auto samples = BoxSamples(kBoxLo, kBoxHi, 4);
  const auto boxes = BuildOrientedBoxes(samples);
  long inside = 0, inBox = 0;
  LabToProcTable table(3, 4, 8, 8, 4);
  for (const GridPoint &p : GridPoints(table)) {
    const bool in = IsInsideBoxes(boxes, p.lab, 0.0);
    inside += in;
    inBox += InBox(p.lab, kBoxLo, kBoxHi, 0.0);
    // The boxes hug the samples' box: nothing more than a unit outside it is inside them all.
    if (!InBox(p.lab, kBoxLo, kBoxHi, 1.0)) {
      ASSERT_FALSE(in) << p.lab[0] << " " << p.lab[1];
    }
    if (InBox(p.lab, kBoxLo, kBoxHi, -0.01)) {
      ASSERT_TRUE(in) << p.lab[0] << " " << p.lab[1];
    }
  }
  EXPECT_GE(inside, inBox - 300);  // faces of the box may fall outside by rounding
  long previous = -1;
  for (const int border : {0, 1, 3}) {
    Recorder rec;
    LabToProcTable filled(3, 4, 8, 8, 4);
    filled.FillTable(samples, rec.Lab2Proc(), rec.Proc2Lab(), false, border);
    const long region = std::lround(2187.0 / rec.forward[0].end) - 2187;
    if (border == 0) {
      EXPECT_EQ(region, inside);
    }
    EXPECT_GT(region, previous);
    previous = region;
  }
}

TEST(LabToProcTableFill, GrowsFlagsByCubesClippedToTheGrid) {
  const int dims[3] = {13, 9, 11};
  const std::size_t points = 13 * 9 * 11;
  std::mt19937 rng(9);
  for (const int density : {3, 40, 400}) {
    std::vector<std::uint8_t> flags(points, 0);
    for (std::size_t p = 0; p < points; ++p)
      flags[p] = rng() % density == 0;
    for (const int radius : {-1, 0, 1, 2, 5}) {
      std::vector<std::uint8_t> want(points, 0);
      for (int b = 0; b < 11; ++b) {
        for (int a = 0; a < 9; ++a) {
          for (int l = 0; l < 13; ++l) {
            if (!flags[(b * 9 + a) * 13 + l]) continue;
            for (int db = -radius; db <= radius; ++db) {
              for (int da = -radius; da <= radius; ++da) {
                for (int dl = -radius; dl <= radius; ++dl) {
                  if (b + db >= 0 && b + db < 11 && a + da >= 0 && a + da < 9 && l + dl >= 0 &&
                      l + dl < 13)
                    want[((b + db) * 9 + a + da) * 13 + l + dl] = 1;
                }
              }
            }
          }
        }
      }
      EXPECT_EQ(velmora::labtoproc::Dilate(flags, dims, radius), want)
          << "density " << density << " radius " << radius;
    }
  }
}

TEST(LabToProcTableFill, StoresExactZeroAnd255BeyondTheRange) {
  LabToProcTable table(3, 4, 8, 8, 4);
  Recorder rec;
  rec.model = [](const double *lab, float *out) {
    out[0] = static_cast<float>(std::clamp(3.0 * lab[0] - 60.0, 0.0, 255.0));
    out[1] = static_cast<float>(std::clamp(lab[1] + 128.0, 0.0, 255.0));
    out[2] = 100.0f;
  };
  table.FillTable({}, rec.Lab2Proc(), rec.Proc2Lab(), false, 1);
  int low = 0, high = 0;
  for (float v : table.GetBuffer()) {
    ASSERT_NE(v, 0.0f);
    ASSERT_NE(v, 255.0f);
    low += v == -2.55f;
    high += v == 257.55f;
  }
  // Channel 0 on L* = 0 .. 16 (coarse values 0 at L* = 0 and 16), channel 1 at a* = -128.
  EXPECT_EQ(low, 5 * 33 * 33 + 33 * 33);
  EXPECT_GT(high, 0);
  const float lab[9] = {10, 0, 0, 120, 0, 0, 64, -100, 0};
  float out[9];
  table.Interpolate(lab, out, 3);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[3], 255.0f);
  EXPECT_NEAR(out[6], 132.0f, 1e-3);
  EXPECT_NEAR(out[7], 28.0f, 1e-3);
  EXPECT_NEAR(out[8], 100.0f, 1e-4);
}

TEST(LabToProcTableFill, RefusesBadArgumentsAndKeepsTheTableOnFailure) {
  Recorder rec;
  LabToProcTable fine(3, 8, 16, 16, 1);
  EXPECT_THROW(fine.FillTable({}, rec.Lab2Proc(), rec.Proc2Lab(), false, 1), std::invalid_argument);
  LabToProcTable table(3, 8, 16, 16, 2);
  EXPECT_THROW(table.FillTable({{50, 0}}, rec.Lab2Proc(), rec.Proc2Lab(), false, 1),
               std::invalid_argument);
  EXPECT_TRUE(rec.forward.empty());
  EXPECT_THROW(table.FillTable({}, nullptr, rec.Proc2Lab(), false, 1), std::bad_function_call);
  EXPECT_THROW(table.FillTable({}, rec.Lab2Proc(), nullptr, false, 1), std::bad_function_call);
  int calls = 0;
  const auto failing = [&](const double *, int, float *, double, double) {
    if (++calls == 2) throw std::runtime_error("model failed");
  };
  EXPECT_THROW(table.FillTable({{50, 0, 0}}, failing, rec.Proc2Lab(), false, 1),
               std::runtime_error);
  for (float v : table.GetBuffer())
    ASSERT_EQ(v, 0.0f);
}

TEST(LabToProcTableFill, ClippingPullsTheModelColoursIntoTheSamplesHull) {
  const auto samples = BoxSamples(kBoxLo, kBoxHi, 4);
  LabToProcTable table(3, 8, 16, 16, 2);
  Recorder rec;
  LabToProcTableAccess::FillTable(table, samples, rec.Lab2Proc(), rec.Proc2Lab(), true, 2, 2);
  ASSERT_EQ(rec.forward.size(), 3u);
  for (int c = 0; c < 2; ++c) {
    const std::vector<double> &lab = rec.forward[c].lab;
    for (std::size_t p = 0; p < lab.size() / 3; ++p)
      ASSERT_TRUE(InBox(&lab[3 * p], kBoxLo, kBoxHi, 0.05)) << lab[3 * p] << " " << lab[3 * p + 1];
  }
  // MapIntoBoxes: inside points stay, outside ones land on the hull.
  const auto boxes = BuildOrientedBoxes(samples);
  const double in[3] = {30, 0, 10}, out[3] = {90, -70, 100};
  double mapped[3];
  velmora::labtoproc::MapIntoBoxes(boxes, in, mapped);
  EXPECT_EQ(std::vector<double>(mapped, mapped + 3), std::vector<double>(in, in + 3));
  velmora::labtoproc::MapIntoBoxes(boxes, out, mapped);
  EXPECT_TRUE(IsInsideBoxes(boxes, mapped, 0.02));
  EXPECT_NEAR(mapped[0], 60.0, 0.5);
  EXPECT_NEAR(mapped[1], -30.0, 0.5);
  EXPECT_NEAR(mapped[2], 40.0, 0.5);
}

TEST(LabToProcTableFill, ConcurrentFillGivesTheSameTableOnAnyNumberOfThreads) {
  const auto samples = BoxSamples(kBoxLo, kBoxHi, 3);
  std::vector<float> reference;
  std::vector<std::vector<double>> referenceCalls;
  for (const unsigned threads : {1u, 2u, 3u}) {
    LabToProcTable table(3, 8, 16, 16, 2);
    Recorder rec;
    LabToProcTableAccess::FillTable(table, samples, rec.Lab2Proc(), rec.Proc2Lab(), true, 1,
                                    threads);
    std::vector<std::vector<double>> calls;
    for (const Call &c : rec.forward) {
      calls.push_back(c.lab);
      EXPECT_EQ(c.thread, std::this_thread::get_id());
    }
    if (threads == 1) {
      reference = table.GetBuffer();
      referenceCalls = calls;
    } else {
      EXPECT_EQ(table.GetBuffer(), reference) << threads << " threads";
      EXPECT_EQ(calls, referenceCalls) << threads << " threads";
    }
  }
}

TEST(LabToProcTableFill, ConcurrentWorkersVisitEveryIndexOnceOnBoundedThreads) {
  using velmora::labtoproc::ParallelFor;
  for (const unsigned threads : {1u, 2u, 4u}) {
    std::vector<std::atomic<int>> visits(200);
    std::atomic<int> active{0}, mostActive{0};
    std::mutex lock;
    std::set<std::thread::id> ids;
    ParallelFor(200, threads, [&](int i) {
      const int now = ++active;
      for (int seen = mostActive.load();
           now > seen && !mostActive.compare_exchange_weak(seen, now);) {
      }
      ++visits[i];
      {
        std::lock_guard<std::mutex> hold(lock);
        ids.insert(std::this_thread::get_id());
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      --active;
    });
    for (const auto &v : visits)
      ASSERT_EQ(v.load(), 1);
    EXPECT_LE(ids.size(), threads);
    EXPECT_LE(mostActive.load(), static_cast<int>(threads));
  }
  std::atomic<int> done{0};
  EXPECT_THROW(ParallelFor(200, 3,
                           [&](int i) {
                             if (i == 50) throw std::runtime_error("task failed");
                             ++done;
                           }),
               std::runtime_error);
  EXPECT_LT(done.load(), 200);
  ParallelFor(0, 4, [&](int) { ++done; });
  const unsigned available = velmora::labtoproc::AvailableThreads();
  EXPECT_GE(available, 1u);
  if (std::thread::hardware_concurrency() > 0) {
    EXPECT_LE(available, std::thread::hardware_concurrency());
  }
}

}  // namespace
