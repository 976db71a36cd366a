#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "velmora/tplane.h"

namespace {

using PlanePtr = std::shared_ptr<TPlane>;

struct PlaneCase {
  TPlane::PlaneType type;
  double value;
  double xMin, xMax, yMin, yMax;
};

const PlaneCase kPlanes[] = {
    {TPlane::PlaneL, 50.0, -128, 128, -100, 120}, {TPlane::PlaneA, -20.0, -90, 110, 0, 100},
    {TPlane::PlaneB, 35.0, -128, 127, 5, 95},     {TPlane::PlaneHue, 60.0, 0, 150, 0, 100},
    {TPlane::PlaneHue, 200.0, -80, 80, 10, 90},
};

TEST(PlaneGrid, CellsRoundTripThroughLabForEveryKindOfPlane) {
  for (const PlaneCase &c : kPlanes) {
    const PlanePtr plane = TPlane::Create(41, 23, c.type, c.value, c.xMin, c.xMax, c.yMin, c.yMax);
    ASSERT_NE(plane, nullptr);
    for (int x = 0; x < plane->W(); ++x) {
      for (int y = 0; y < plane->H(); ++y) {
        double lab[3];
        plane->GetLab(x, y, lab, true);
        int gx = -1, gy = -1;
        plane->GetXY(lab, &gx, &gy, false);
        EXPECT_EQ(gx, x) << "type " << c.type << " at " << x << "," << y;
        EXPECT_EQ(gy, y) << "type " << c.type << " at " << x << "," << y;
      }
    }
    // The corners of the image are the corners of the ranges.
    EXPECT_DOUBLE_EQ(plane->X(0), c.xMin);
    EXPECT_DOUBLE_EQ(plane->X(plane->W() - 1), c.xMax);
    EXPECT_DOUBLE_EQ(plane->Y(0), c.yMax);
    EXPECT_DOUBLE_EQ(plane->Y(plane->H() - 1), c.yMin);
  }
}

TEST(PlaneGrid, PlacesTheConstantAndTheAxesInTheirLabSlots) {
  double lab[3];
  TPlane::Create(11, 11, TPlane::PlaneL, 50, -100, 100, -50, 50)->GetLab(10, 0, lab, true);
  EXPECT_EQ(std::vector<double>(lab, lab + 3), (std::vector<double>{50, 100, 50}));
  TPlane::Create(11, 11, TPlane::PlaneA, 7, -100, 100, 0, 100)->GetLab(0, 10, lab, true);
  EXPECT_EQ(std::vector<double>(lab, lab + 3), (std::vector<double>{0, 7, -100}));
  TPlane::Create(11, 11, TPlane::PlaneB, 7, -100, 100, 0, 100)->GetLab(5, 5, lab, true);
  EXPECT_EQ(std::vector<double>(lab, lab + 3), (std::vector<double>{50, 0, 7}));

  // An unknown kind writes nothing.
  const PlanePtr odd = TPlane::Create(11, 11, static_cast<TPlane::PlaneType>(7), 0, 0, 1, 0, 1);
  double untouched[3] = {-1, -2, -3};
  odd->GetLab(3, 3, untouched, true);
  int x = -9, y = -9;
  odd->GetXY(untouched, &x, &y, false);
  EXPECT_EQ(std::vector<double>(untouched, untouched + 3), (std::vector<double>{-1, -2, -3}));
  EXPECT_EQ(x, -9);
  EXPECT_EQ(y, -9);
}

TEST(PlaneGrid, HuePlaneRunsAlongItsHueDirection) {
  // Chroma 0 .. 100 over 101 columns: column c has chroma c.
  const PlanePtr plane = TPlane::Create(101, 101, TPlane::PlaneHue, 90, 0, 100, 0, 100);
  double lab[3];
  plane->GetLab(50, 30, lab, true);
  EXPECT_DOUBLE_EQ(lab[0], 70);
  EXPECT_NEAR(lab[1], 0, 1e-12);
  EXPECT_DOUBLE_EQ(lab[2], 50);

  struct Case {
    double lab[3];
    int x, y;
    bool unclamped;
  } cases[] = {
      {{70, 0, 50}, 50, 30, false},
      {{70, 30, 40}, 40, 30, false},  // only the chroma along the hue counts
      {{70, 0, -50}, 0, 30, false},   // the opposite hue projects to negative chroma
      {{70, 0, -50}, -50, 30, true},
      {{120, 0, 300}, 101, 0, false},  // clamped to W and 0, not W - 1
      {{-20, 0, 300}, 300, 120, true},
  };
  for (const Case &c : cases) {
    int x = -1, y = -1;
    plane->GetXY(c.lab, &x, &y, c.unclamped);
    EXPECT_EQ(x, c.x) << c.lab[0] << " " << c.lab[1] << " " << c.lab[2];
    EXPECT_EQ(y, c.y) << c.lab[0] << " " << c.lab[1] << " " << c.lab[2];
  }
}

TEST(PlaneGrid, RoundsHalfAwayFromZeroAndClampsToTheImagePlusOne) {
  // 11 columns over a = 0 .. 10 and 11 rows over b = 0 .. 10: one unit per cell.
  const PlanePtr plane = TPlane::Create(11, 11, TPlane::PlaneL, 50, 0, 10, 0, 10);
  struct Case {
    double a, b;
    bool unclamped;
    int x, y;
  } cases[] = {
      {2.5, 7.5, true, 3, 3},
      {-2.5, 12.5, true, -3, -3},
      {2.4999, 7.4999, true, 2, 3},
      {-2.5, 12.5, false, 0, 0},
      {25, -25, false, 11, 11},
      {25, -25, true, 25, 35},
      {1e300, -1e300, true, INT_MAX, INT_MAX},
      {NAN, 3, true, 0, 7},
  };
  for (const Case &c : cases) {
    const double lab[3] = {50, c.a, c.b};
    int x = -1, y = -1;
    plane->GetXY(lab, &x, &y, c.unclamped);
    EXPECT_EQ(x, c.x) << c.a;
    EXPECT_EQ(y, c.y) << c.b;
  }

  double lab[3];
  plane->GetLab(11 + 5, -4, lab, true);  // x = W lies one cell beyond xMax; y = 0
  EXPECT_DOUBLE_EQ(lab[1], 11);
  EXPECT_DOUBLE_EQ(lab[2], 10);
  plane->GetLab(11 + 5, -4, lab, false);
  EXPECT_DOUBLE_EQ(lab[1], 16);
  EXPECT_DOUBLE_EQ(lab[2], 14);
}

TEST(PlaneGrid, GridLinesSitOnTheirLabValues) {
  // PlaneL: a and b from -125 to 125 over 251 cells: line i is at cell 25 i.
  const PlanePtr lPlane = TPlane::Create(251, 251, TPlane::PlaneL, 50, -125, 125, -125, 125);
  int count = 0, mark = 0;
  const int *xs = lPlane->GetXGridPoints(&count, &mark);
  ASSERT_EQ(count, 11);
  EXPECT_EQ(mark, 5);
  const int *ys = lPlane->GetYGridPoints(&count, &mark);
  EXPECT_EQ(mark, 5);
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(xs[i], 25 * i);
    EXPECT_EQ(ys[i], 25 * i);  // counted from yMin: not flipped like the cells
  }

  // Lightness planes: x lines at -125 .. 125 (outside cells are negative or beyond W), y lines
  // at L = 0, 10, ..., 100 counted from yMin.
  for (TPlane::PlaneType type : {TPlane::PlaneA, TPlane::PlaneB, TPlane::PlaneHue}) {
    const PlanePtr plane = TPlane::Create(101, 51, type, 0, -50, 50, 0, 100);
    xs = plane->GetXGridPoints(&count, &mark);
    EXPECT_EQ(mark, 5);
    ys = plane->GetYGridPoints(&count, &mark);
    EXPECT_EQ(mark, 10);
    for (int i = 0; i < 11; ++i) {
      EXPECT_EQ(xs[i], 25 * i - 75);
      EXPECT_EQ(ys[i], 5 * i);
    }
  }
}

TEST(PlaneGrid, ComparesByDefinitionAndCopiesEverything) {
  const PlanePtr a = TPlane::Create(64, 32, TPlane::PlaneA, 10, -100, 100, 0, 100);
  const PlanePtr b = TPlane::Create(64, 32, TPlane::PlaneA, 10, -100, 100, 0, 100);
  int count, mark;
  a->GetXGridPoints(&count, &mark);  // only a has its grid lines
  EXPECT_TRUE(*a == *b);
  EXPECT_FALSE(*a != *b);
  for (const PlanePtr &other : {TPlane::Create(65, 32, TPlane::PlaneA, 10, -100, 100, 0, 100),
                                TPlane::Create(64, 32, TPlane::PlaneB, 10, -100, 100, 0, 100),
                                TPlane::Create(64, 32, TPlane::PlaneA, 11, -100, 100, 0, 100),
                                TPlane::Create(64, 32, TPlane::PlaneA, 10, -100, 100, 0, 99)}) {
    EXPECT_TRUE(*a != *other);
  }

  *b = *TPlane::Create(8, 8, TPlane::PlaneL, 1, 0, 1, 0, 1);
  EXPECT_EQ(b->W(), 8);
  EXPECT_EQ(b->Type(), TPlane::PlaneL);
  *b = *a;
  EXPECT_TRUE(*a == *b);
  const int *fromA = a->GetXGridPoints(&count, &mark);
  const int *fromB = b->GetXGridPoints(&count, &mark);
  EXPECT_EQ(std::vector<int>(fromA, fromA + 11), std::vector<int>(fromB, fromB + 11));
  EXPECT_EQ(b->YMax(), 100);
  EXPECT_EQ(b->Value(), 10);
}

TEST(PlaneGrid, DegenerateAxesMapToTheirFirstCell) {
  const PlanePtr one = TPlane::Create(1, 1, TPlane::PlaneL, 50, -10, 10, -20, 20);
  const PlanePtr flat = TPlane::Create(9, 9, TPlane::PlaneB, 5, 3, 3, 40, 40);
  for (const PlanePtr &plane : {one, flat}) {
    double lab[3];
    plane->GetLab(4, 4, lab, false);
    for (double v : lab)
      EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(plane->X(4), plane->XMin());
    EXPECT_EQ(plane->Y(4), plane->YMax());
    const double query[3] = {70, 1, -1};
    int x = -1, y = -1;
    plane->GetXY(query, &x, &y, true);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    int count, mark;
    const int *xs = plane->GetXGridPoints(&count, &mark);
    const int *ys = plane->GetYGridPoints(&count, &mark);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(xs[i], 0);
      EXPECT_EQ(ys[i], 0);
    }
  }
}

}  // namespace
