// Plane grids: a Lab slice rasterised as W x H cells, mapped linearly in both directions.
#include <climits>
#include <cmath>
#include <new>

#include "foundation/error.h"
#include "velmora/tplane.h"

namespace {

const double kPi = std::acos(-1.0);  // computed once when the library loads

constexpr double kDegreesPerTurn = 360.0;
constexpr double kGridLo = -125.0;  // a, b and chroma grid lines: -125, -100, ..., 125
constexpr double kGridHi = 125.0;
constexpr double kLightnessLo = 0.0;  // lightness grid lines: 0, 10, ..., 100
constexpr double kLightnessHi = 100.0;
constexpr int kChromaMark = 5;      // the line of a, b or chroma 0
constexpr int kLightnessMark = 10;  // the line of L 100

thread_local velmora::LastError lastError;

// Rounds half away from zero: truncation of v + 0.5, or of v - 0.5 below zero. Values beyond
// the int range saturate and NaN gives 0, so no conversion is undefined.
int rnd(double v) {
  const double r = (v >= 0.0) ? v + 0.5 : v - 0.5;
  if (std::isnan(r)) return 0;
  if (r >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (r <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(r);
}

// Cell of coordinate v on an axis of `cells` cells spanning [from, to] (from at cell 0). A
// degenerate axis (one cell, or an empty range) maps everything to cell 0.
int to_cell(double v, double from, double to, int cells) {
  if (cells <= 1 || to == from) return 0;
  return rnd((v - from) / (to - from) * (cells - 1));
}

// Coordinate of cell i on such an axis; the range's start on a degenerate axis.
double from_cell(int i, double from, double to, int cells) {
  if (cells <= 1) return from;
  return from + (to - from) * i / (cells - 1);
}

int clamp_cell(int v, int limit) {
  if (v < 0) return 0;
  return v > limit ? limit : v;
}

double hue_angle(double degrees) {
  return 2.0 * kPi * degrees / kDegreesPerTurn;
}

}  // namespace

TPlane::TPlane(int w, int h, PlaneType type, double value, double xMin, double xMax, double yMin,
               double yMax)
    : w(w),
      h(h),
      type(type),
      value(value),
      xMin(xMin),
      xMax(xMax),
      yMin(yMin),
      yMax(yMax),
      axesCalculated(0),
      xGridMark(0),
      yGridMark(0),
      xGridPoints{},
      yGridPoints{} {}

std::shared_ptr<TPlane> TPlane::Create(int w, int h, PlaneType type, double value, double xMin,
                                       double xMax, double yMin, double yMax) {
  try {
    return std::shared_ptr<TPlane>(new TPlane(w, h, type, value, xMin, xMax, yMin, yMax));
  } catch (const std::bad_alloc &) {
    velmora::report_no_resources(lastError, __FILE__, __LINE__, __LINE__);
    return nullptr;
  }
}

TPlane::TPlane(const TPlane &other) = default;
TPlane::TPlane(TPlane &&other) = default;
TPlane &TPlane::operator=(const TPlane &other) = default;
TPlane &TPlane::operator=(TPlane &&other) = default;

int TPlane::W() const {
  return w;
}
int TPlane::H() const {
  return h;
}
TPlane::PlaneType TPlane::Type() const {
  return type;
}
double TPlane::Value() const {
  return value;
}
double TPlane::XMin() const {
  return xMin;
}
double TPlane::XMax() const {
  return xMax;
}
double TPlane::YMin() const {
  return yMin;
}
double TPlane::YMax() const {
  return yMax;
}

double TPlane::X(int i) const {
  return from_cell(i, xMin, xMax, w);
}

// Rows run downwards from yMax.
double TPlane::Y(int j) const {
  return from_cell(j, yMax, yMin, h);
}

int TPlane::X2x(double v) const {
  return to_cell(v, xMin, xMax, w);
}

int TPlane::Y2y(double v) const {
  return to_cell(v, yMax, yMin, h);
}

void TPlane::GetLab(int x, int y, double lab[3], bool clamp) const {
  if (clamp) {
    x = clamp_cell(x, w);
    y = clamp_cell(y, h);
  }
  const double vx = X(x);
  const double vy = Y(y);
  switch (type) {
    case PlaneL:
      lab[0] = value, lab[1] = vx, lab[2] = vy;
      break;
    case PlaneA:
      lab[0] = vy, lab[1] = value, lab[2] = vx;
      break;
    case PlaneB:
      lab[0] = vy, lab[1] = vx, lab[2] = value;
      break;
    case PlaneHue: {
      const double angle = hue_angle(value);
      lab[0] = vy, lab[1] = std::cos(angle) * vx, lab[2] = std::sin(angle) * vx;
      break;
    }
    default:
      break;
  }
}

void TPlane::GetXY(const double lab[3], int *x, int *y, bool unclamped) const {
  const double L = lab[0], a = lab[1], b = lab[2];
  switch (type) {
    case PlaneL:
      *x = X2x(a), *y = Y2y(b);
      break;
    case PlaneA:
      *y = Y2y(L), *x = X2x(b);
      break;
    case PlaneB:
      *y = Y2y(L), *x = X2x(a);
      break;
    case PlaneHue: {
      *y = Y2y(L);
      const double chroma =
          std::cos(hue_angle(value) - std::atan2(b, a)) * std::sqrt(a * a + b * b);
      *x = X2x(chroma);
      break;
    }
    default:
      return;
  }
  if (!unclamped) {
    *x = clamp_cell(*x, w);
    *y = clamp_cell(*y, h);
  }
}

const int *TPlane::GetXGridPoints(int *count, int *mark) const {
  CalculateAxes();
  *count = kGridLines;
  *mark = xGridMark;
  return xGridPoints;
}

const int *TPlane::GetYGridPoints(int *count, int *mark) const {
  CalculateAxes();
  *count = kGridLines;
  *mark = yGridMark;
  return yGridPoints;
}

// Grid lines are measured from the range's minimum on both axes (rows are not flipped).
void TPlane::CalculateAxes() const {
  if (axesCalculated) return;
  switch (type) {
    case PlaneL:
      GetGridPoints(kGridHi, kGridLo, xMax, xMin, w, kGridLines, xGridPoints);
      GetGridPoints(kGridHi, kGridLo, yMax, yMin, h, kGridLines, yGridPoints);
      xGridMark = kChromaMark;
      yGridMark = kChromaMark;
      break;
    case PlaneA:
    case PlaneB:
    case PlaneHue:
      GetGridPoints(kGridHi, kGridLo, xMax, xMin, w, kGridLines, xGridPoints);
      GetGridPoints(kLightnessHi, kLightnessLo, yMax, yMin, h, kGridLines, yGridPoints);
      xGridMark = kChromaMark;
      yGridMark = kLightnessMark;
      break;
    default:
      break;
  }
  axesCalculated = 1;
}

// n equally spaced values from lo to hi, each as a cell on the axis [min, max] of `cells` cells.
void TPlane::GetGridPoints(double hi, double lo, double max, double min, int cells, int n,
                           int *out) const {
  for (int i = 0; i < n; ++i)
    out[i] = to_cell(i * (hi - lo) / (n - 1) + lo, min, max, cells);
}

bool TPlane::operator==(const TPlane &other) const {
  return w == other.w && h == other.h && type == other.type && value == other.value &&
         xMin == other.xMin && xMax == other.xMax && yMin == other.yMin && yMax == other.yMax;
}

bool TPlane::operator!=(const TPlane &other) const {
  return !(*this == other);
}
