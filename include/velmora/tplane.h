#ifndef __cplusplus
#error "velmora/tplane.h is a C++ header"
#endif

/* A planar slice through Lab space rasterised as an image of W x H cells, with conversions in
   both directions between cells and Lab values. Column 0 is xMin and column W - 1 is xMax; row 0
   is yMax and row H - 1 is yMin (y grows downwards, as in an image).

       auto plane = TPlane::Create(256, 256, TPlane::PlaneL, 50.0, -128, 128, -128, 128);
       double lab[3];
       plane->GetLab(10, 20, lab, true);

   Degenerate planes (W or H equal to 1 or less, or an empty range xMin == xMax or
   yMin == yMax) never divide by zero: along such an axis every cell maps to the range's start
   (X(i) = xMin, Y(j) = yMax), every Lab value maps to cell 0, and every grid line lies in cell 0.
   Results that do not fit an int (and NaN) are saturated to the int range (NaN gives 0). */
#ifndef VELMORA_TPLANE_H
#define VELMORA_TPLANE_H

#include <memory>

#include "velmora/export.h"

class VELMORA_API TPlane {
 public:
  /* Kind of slice: which Lab coordinate is constant and which run along x and y. */
  enum PlaneType : int {
    PlaneL = 0,  /* x: a, y: b, constant L */
    PlaneA = 1,  /* x: b, y: L, constant a */
    PlaneB = 2,  /* x: a, y: L, constant b */
    PlaneHue = 3 /* x: chroma along the hue direction, y: L, constant hue angle in degrees */
  };

  /* A new plane of w x h cells of the given kind; value is the constant coordinate (L, a, b, or
     the hue angle in degrees); [xMin, xMax] and [yMin, yMax] are the Lab ranges along x and y.
     The caller shares ownership of the result. Returns null (after the report "No resources
     available") when the plane cannot be allocated; it throws nothing. */
  static std::shared_ptr<TPlane> Create(int w, int h, PlaneType type, double value, double xMin,
                                        double xMax, double yMin, double yMax);

  /* The stored definition: cells along x and y, kind, constant and ranges. */
  int W() const;
  int H() const;
  PlaneType Type() const;
  double Value() const;
  double XMin() const;
  double XMax() const;
  double YMin() const;
  double YMax() const;

  /* Lab coordinate of column i: xMin + (xMax - xMin) * i / (W - 1); xMin on a degenerate axis. */
  double X(int i) const;
  /* Lab coordinate of row j: yMax - (yMax - yMin) * j / (H - 1); yMax on a degenerate axis. */
  double Y(int j) const;

  /* Writes the Lab value of cell (x, y) to lab[0..2]. With clamp, x is first limited to 0 .. W
     and y to 0 .. H (one cell beyond the last column and row is allowed). For an unknown plane
     kind lab is left unwritten. */
  void GetLab(int x, int y, double lab[3], bool clamp) const;

  /* Writes the cell of the Lab value lab[0..2] to *x, *y, rounded half away from zero. Unless
     unclamped, the cell is limited to 0 .. W and 0 .. H. For the hue plane the column is that of
     the chroma projected onto the plane's hue direction (negative for opposite hues). For an
     unknown plane kind *x and *y are left unwritten. */
  void GetXY(const double lab[3], int *x, int *y, bool unclamped) const;

  /* Columns of the 11 grid lines along x (a, or b, or chroma = -125, -100, ..., 125), computed
     on the first call of either grid getter. Sets *count to 11 and *mark to the index of the
     line to emphasise; returns the columns, owned by the plane. Not safe for concurrent first
     calls on one plane. */
  const int *GetXGridPoints(int *count, int *mark) const;
  /* Rows of the 11 grid lines along y (b = -125 .. 125 for the L plane, else L = 0, 10 .. 100),
     counted from yMin upwards, not flipped like the cells. Otherwise as GetXGridPoints. */
  const int *GetYGridPoints(int *count, int *mark) const;

  /* Equal when size, kind, value and ranges are exactly equal; the grid lines are ignored. */
  bool operator==(const TPlane &other) const;
  bool operator!=(const TPlane &other) const;

  /* Copies take every field, the computed grid lines included. */
  TPlane(const TPlane &other);
  TPlane(TPlane &&other);
  TPlane &operator=(const TPlane &other);
  TPlane &operator=(TPlane &&other);

 private:
  TPlane(int w, int h, PlaneType type, double value, double xMin, double xMax, double yMin,
         double yMax);

  int X2x(double v) const;
  int Y2y(double v) const;
  void CalculateAxes() const;
  void GetGridPoints(double hi, double lo, double max, double min, int cells, int n,
                     int *out) const;

  static constexpr int kGridLines = 11;

  int w;
  int h;
  PlaneType type;
  double value;
  double xMin, xMax;
  double yMin, yMax;
  mutable int axesCalculated;
  mutable int xGridMark;
  mutable int yGridMark;
  mutable int xGridPoints[kGridLines];
  mutable int yGridPoints[kGridLines];
};

#endif
