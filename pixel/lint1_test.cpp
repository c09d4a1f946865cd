#include "pixel/lint1.hpp"

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(Lint1, InterpolatesBetweenAndAtTheEnds) {
  double r = -1.0;
  lint1(1.0, 5.0, 10.0, 30.0, 2.0, r);
  EXPECT_EQ(r, 15.0);
  lint1(1.0, 5.0, 10.0, 30.0, 5.0, r);
  EXPECT_EQ(r, 30.0);
  lint1(1.0, 5.0, 10.0, 30.0, 1.0, r);
  EXPECT_EQ(r, 10.0);
  lint1(2.0, 4.0, 7.0, 3.0, 3.0, r);  // falling line
  EXPECT_EQ(r, 5.0);
}

TEST(Lint1, SlopeIsRoundedBeforeItIsApplied) {
  // (y2 - y1) / d is a double before it meets (x - x1); multiplying first
  // and dividing last rounds differently for these values.
  const double x1 = 1.0, x2 = 50.0, y1 = 0.1, y2 = 0.7, x = 42.0;
  double r = 0.0;
  lint1(x1, x2, y1, y2, x, r);
  volatile double slope = (y2 - y1) / (x2 - x1);
  volatile double step = (x - x1) * slope;
  EXPECT_EQ(r, step + y1);
  volatile double product = (x - x1) * (y2 - y1);
  volatile double late = product / (x2 - x1);
  EXPECT_NE(r, late + y1);
}

TEST(Lint1DeathTest, OutOfContractCallsAbortLoudly) {
  double r = 0.0;
  EXPECT_DEATH(lint1(3.0, 3.0, 1.0, 2.0, 3.0, r), "internal error");
  EXPECT_DEATH(lint1(1.0, 5.0, 10.0, 30.0, 6.0, r), "internal error");
  EXPECT_DEATH(lint1(1.0, 5.0, 10.0, 30.0, 0.5, r), "internal error");
}

}  // namespace
}  // namespace kov
