// Lab-to-process table: geometry, copying and trilinear lookup.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "engines/labtoproctable_internal.h"

namespace {

// Position limit below the last grid index: keeps every position inside the last cell, so that
// colours at or beyond the top of an axis read its last point with weight 0.99999.
constexpr double kLastCellLimit = 1.00001;
constexpr double kOneOver128 = 0.0078125;
constexpr double kOneOver256 = 0.00390625;
constexpr double kMaxValue = 255.0;

// The largest divisor of `range` that does not exceed `requested` (requested >= 1).
int LargestDivisorNotAbove(int range, int requested) {
  int step = std::min(requested, range);
  while (range % step != 0)
    --step;
  return step;
}

// Grid points along an axis: its interval count rounded down to a multiple of the coarse step.
int AxisPoints(int range, int step, int coarseStep, const char *axis) {
  const int intervals = range / step;
  if (intervals < coarseStep) {
    throw std::invalid_argument(std::string("LabToProcTable: the coarse step exceeds the ") + axis +
                                " interval count");
  }
  return intervals - intervals % coarseStep + 1;
}

double ClampPosition(double x, double top) {
  x = x > 0.0 ? x : 0.0;  // NaN to 0
  return x < top ? x : top;
}

// Trilinear lookup; Channels > 0 fixes the channel count at compile time, 0 takes `channels`.
template <int Channels>
void InterpolatePoints(const float *buffer, int channels, const int dims[3], const float *lab,
                       float *out, std::uint64_t count) {
  const int n = Channels > 0 ? Channels : channels;
  const std::size_t strideA = static_cast<std::size_t>(dims[0]) * n;
  const std::size_t strideB = strideA * dims[1];
  const std::size_t corner[8] = {0,
                                 static_cast<std::size_t>(n),
                                 strideA,
                                 strideA + n,
                                 strideB,
                                 strideB + n,
                                 strideB + strideA,
                                 strideB + strideA + n};
  const double topL = dims[0] - kLastCellLimit;
  const double topA = dims[1] - kLastCellLimit;
  const double topB = dims[2] - kLastCellLimit;
  const float scaleL = static_cast<float>(dims[0] - 1);
  const double scaleA = (dims[1] - 1) * kOneOver256;
  const double scaleB = (dims[2] - 1) * kOneOver256;
  for (std::uint64_t p = 0; p < count; ++p, lab += 3, out += n) {
    const float productL = scaleL * lab[0];  // single precision, as the L* position always was
    const double xL = ClampPosition(static_cast<double>(productL) * kOneOver128, topL);
    const double xA = ClampPosition((lab[1] + 128.0) * scaleA, topA);
    const double xB = ClampPosition((lab[2] + 128.0) * scaleB, topB);
    const int iL = static_cast<int>(xL);
    const int iA = static_cast<int>(xA);
    const int iB = static_cast<int>(xB);
    const double fL = xL - iL, fA = xA - iA, fB = xB - iB;
    const double gL = 1.0 - fL, gA = 1.0 - fA, gB = 1.0 - fB;
    const double w[8] = {gL * gA * gB, fL * gA * gB, gL * fA * gB, fL * fA * gB,
                         gL * gA * fB, fL * gA * fB, gL * fA * fB, fL * fA * fB};
    const float *base = buffer + ((static_cast<std::size_t>(iB) * dims[1] + iA) * dims[0] + iL) * n;
    for (int o = 0; o < n; ++o) {
      double sum = 0.0;
      for (int c = 0; c < 8; ++c)
        sum += static_cast<double>(base[corner[c] + o]) * w[c];
      sum = sum < kMaxValue ? sum : kMaxValue;  // NaN to 255
      sum = sum > 0.0 ? sum : 0.0;
      out[o] = static_cast<float>(sum);
    }
  }
}

}  // namespace

LabToProcTable::LabToProcTable(int nrOutputChannels, int stepL, int stepA, int stepB,
                               int coarseStep)
    : nrOutputChannels(nrOutputChannels), coarseStep(coarseStep) {
  if (nrOutputChannels < 1)
    throw std::invalid_argument("LabToProcTable: at least one output channel is needed");
  if (stepL < 1 || stepA < 1 || stepB < 1 || coarseStep < 1)
    throw std::invalid_argument("LabToProcTable: spacings and coarse step must be at least 1");
  this->stepL = LargestDivisorNotAbove(128, stepL);
  this->stepA = LargestDivisorNotAbove(256, stepA);
  this->stepB = LargestDivisorNotAbove(256, stepB);
  nrL = AxisPoints(128, this->stepL, coarseStep, "L*");
  nrA = AxisPoints(256, this->stepA, coarseStep, "a*");
  nrB = AxisPoints(256, this->stepB, coarseStep, "b*");
  nrPoints = nrL * nrA * nrB;
  buffer.assign(static_cast<std::size_t>(nrPoints) * nrOutputChannels, 0.0f);
}

LabToProcTable::LabToProcTable(const LabToProcTable &other) = default;

LabToProcTable::LabToProcTable(LabToProcTable &&other) noexcept
    : nrOutputChannels(other.nrOutputChannels),
      stepL(other.stepL),
      stepA(other.stepA),
      stepB(other.stepB),
      nrL(other.nrL),
      nrA(other.nrA),
      nrB(other.nrB),
      buffer(std::move(other.buffer)),
      nrPoints(other.nrPoints),
      extraBytes(other.extraBytes.begin(), other.extraBytes.end()),
      coarseStep(other.coarseStep) {
  other.buffer.clear();
  other.nrPoints = 0;
}

LabToProcTable &LabToProcTable::operator=(const LabToProcTable &other) {
  if (this != &other) {
    LabToProcTable copy(other);
    *this = std::move(copy);
  }
  return *this;
}

LabToProcTable &LabToProcTable::operator=(LabToProcTable &&other) noexcept {
  if (this != &other) {
    nrOutputChannels = other.nrOutputChannels;
    stepL = other.stepL;
    stepA = other.stepA;
    stepB = other.stepB;
    nrL = other.nrL;
    nrA = other.nrA;
    nrB = other.nrB;
    buffer = std::move(other.buffer);
    nrPoints = other.nrPoints;
    extraBytes = std::move(other.extraBytes);
    coarseStep = other.coarseStep;
    other.buffer.clear();
    other.nrPoints = 0;
  }
  return *this;
}

LabToProcTable::~LabToProcTable() = default;

std::vector<float> &LabToProcTable::GetBuffer() {
  return buffer;
}

int LabToProcTable::GetBufferPointAmount() const {
  return nrPoints;
}

void LabToProcTable::Interpolate(const float *lab, float *out, std::uint64_t count) const {
  const int n = nrOutputChannels;
  if (nrPoints == 0) {  // a moved-from table
    std::fill(out, out + count * static_cast<std::uint64_t>(n), 0.0f);
    return;
  }
  const int dims[3] = {nrL, nrA, nrB};
  switch (n) {
    case 1:
      InterpolatePoints<1>(buffer.data(), n, dims, lab, out, count);
      break;
    case 3:
      InterpolatePoints<3>(buffer.data(), n, dims, lab, out, count);
      break;
    case 4:
      InterpolatePoints<4>(buffer.data(), n, dims, lab, out, count);
      break;
    default:
      InterpolatePoints<0>(buffer.data(), n, dims, lab, out, count);
  }
}

void LabToProcTable::FillTable(std::vector<std::vector<double>> samples,
                               LabToProcessFunction labToProcess, ProcessToLabFunction processToLab,
                               bool clipToHull, int borderWidth) {
  LabToProcTableAccess::FillTable(*this, std::move(samples), labToProcess, processToLab, clipToHull,
                                  borderWidth, velmora::labtoproc::AvailableThreads());
}
