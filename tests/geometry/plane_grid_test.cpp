#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "velmora/tplane.h"

namespace {

using PlanePtr = std::shared_ptr<TPlane>;

TEST(PlaneGrid, CellsRoundTripThroughLabForEveryKindOfPlane) {
  for (auto type : {TPlane::PlaneL, TPlane::PlaneA, TPlane::PlaneB, TPlane::PlaneHue}) {
    const PlanePtr plane =
        TPlane::Create(41, 23, type, type == TPlane::PlaneHue ? 200 : -20, -90, 110, 5, 95);
    for (int x = 0; x < plane->W(); ++x)
      for (int y = 0; y < plane->H(); ++y) {
        double lab[3];
        int gx = -1, gy = -1;
        plane->GetLab(x, y, lab, true);
        plane->GetXY(lab, &gx, &gy, false);
        EXPECT_TRUE(gx == x && gy == y) << "type " << type << " at " << x << "," << y;
      }
  }
}

TEST(PlaneGrid, ConvertsCellsAndLabValuesWithRoundingClampingSaturationAndDegenerateAxes) {
  const PlanePtr a = TPlane::Create(11, 11, TPlane::PlaneA, 7, -100, 100, 0, 100),
                 unit = TPlane::Create(11, 11, TPlane::PlaneL, 50, 0, 10, 0, 10),
                 hue = TPlane::Create(101, 101, TPlane::PlaneHue, 90, 0, 100, 0, 100),
                 one = TPlane::Create(1, 1, TPlane::PlaneL, 50, -10, 10, -20, 20),
                 flat = TPlane::Create(9, 9, TPlane::PlaneB, 5, 3, 3, 40, 40);
  const struct {
    const PlanePtr &plane;
    int x, y;
    bool clamp;
    double lab[3];
  } cells[] = {
      {a, 0, 10, true, {0, 7, -100}},
      {hue, 50, 30, true, {70, 0, 50}},    // column c of the hue plane has chroma c
      {unit, 16, -4, true, {50, 11, 10}},  // clamped to x = W, one cell beyond xMax, and y = 0
      {unit, 16, -4, false, {50, 16, 14}},
      // Degenerate axes: every cell is at the range's start, and every Lab value in cell 0.
      {one, 4, 4, false, {50, -10, 20}},
      {flat, 4, 4, false, {40, 3, 5}},
  };
  for (const auto &c : cells) {
    double lab[3];
    c.plane->GetLab(c.x, c.y, lab, c.clamp);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(lab[k], c.lab[k], 1e-12) << c.x << "," << c.y;
  }
  const struct {
    const PlanePtr &plane;
    double lab[3];
    bool unclamped;
    int x, y;
  } labs[] = {
      {hue, {70, 30, 40}, false, 40, 30},   // only the chroma along the hue counts
      {hue, {70, 0, -50}, true, -50, 30},   // the opposite hue projects to negative chroma
      {hue, {120, 0, 300}, false, 101, 0},  // clamped to W and 0, not W - 1
      // Half away from zero; clamped to 0 .. W; saturated at the int range, NaN to 0.
      {unit, {50, 2.5, 7.5}, true, 3, 3},
      {unit, {50, -2.5, 12.4999}, true, -3, -2},
      {unit, {50, -2.5, 12.5}, false, 0, 0},
      {unit, {50, 1e300, -1e300}, true, INT_MAX, INT_MAX},
      {unit, {50, NAN, 3}, true, 0, 7},
      {flat, {70, 1, -1}, true, 0, 0},
  };
  for (const auto &c : labs) {
    int x = -1, y = -1;
    c.plane->GetXY(c.lab, &x, &y, c.unclamped);
    EXPECT_TRUE(x == c.x && y == c.y) << x << "," << y << " for " << c.lab[1] << "," << c.lab[2];
  }

  // An unknown kind writes nothing.
  const PlanePtr odd = TPlane::Create(11, 11, static_cast<TPlane::PlaneType>(7), 0, 0, 1, 0, 1);
  double untouched[3] = {-1, -2, -3};
  int x = -9, y = -9;
  odd->GetLab(3, 3, untouched, true);
  odd->GetXY(untouched, &x, &y, false);
  EXPECT_TRUE(untouched[0] == -1 && untouched[1] == -2 && untouched[2] == -3 && x == -9 && y == -9);
}

TEST(PlaneGrid, GridLinesSitOnTheirLabValuesOrInCellZeroOnDegenerateAxes) {
  // Chroma lines at -125 .. 125 and lightness lines at 0 .. 100, counted from yMin upwards.
  const struct {
    PlanePtr plane;
    int x0, dx, xMark, y0, dy, yMark;
  } cases[] = {
      {TPlane::Create(251, 251, TPlane::PlaneL, 50, -125, 125, -125, 125), 0, 25, 5, 0, 25, 5},
      {TPlane::Create(101, 51, TPlane::PlaneA, 0, -50, 50, 0, 100), -75, 25, 5, 0, 5, 10},
      {TPlane::Create(9, 9, TPlane::PlaneB, 5, 3, 3, 40, 40), 0, 0, 5, 0, 0, 10},
  };
  for (const auto &c : cases) {
    int count = 0, xMark = 0, yMark = 0;
    const int *xs = c.plane->GetXGridPoints(&count, &xMark);
    const int *ys = c.plane->GetYGridPoints(&count, &yMark);
    ASSERT_EQ(count, 11);
    EXPECT_TRUE(xMark == c.xMark && yMark == c.yMark);
    for (int i = 0; i < count; ++i)
      EXPECT_TRUE(xs[i] == c.x0 + c.dx * i && ys[i] == c.y0 + c.dy * i) << c.plane->Type() << i;
  }
}

TEST(PlaneGrid, ComparesByDefinitionAloneAndCopiesTheGridLinesToo) {
  const PlanePtr a = TPlane::Create(64, 32, TPlane::PlaneA, 10, -100, 100, 0, 100),
                 b = TPlane::Create(8, 8, TPlane::PlaneL, 1, 0, 1, 0, 1);
  int count, mark;
  const int *fromA = a->GetXGridPoints(&count, &mark);
  EXPECT_TRUE(*a != *b);
  *b = *a;
  EXPECT_TRUE(*a == *TPlane::Create(64, 32, TPlane::PlaneA, 10, -100, 100, 0, 100));  // no lines
  EXPECT_TRUE(*a != *TPlane::Create(64, 32, TPlane::PlaneA, 10, -100, 100, 0, 99));
  const int *fromB = b->GetXGridPoints(&count, &mark);
  EXPECT_EQ(std::vector<int>(fromA, fromA + 11), std::vector<int>(fromB, fromB + 11));
}

}  // namespace
