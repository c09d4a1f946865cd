#include "pixel/lint1.hpp"

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(Lint1, InterpolatesWithTheSlopeRoundedFirst) {
  const double cases[][6] = {  // x1, x2, y1, y2, x, result
      {1, 5, 10, 30, 2, 15}, {1, 5, 10, 30, 5, 30}, {1, 5, 10, 30, 1, 10}, {2, 4, 7, 3, 3, 5}};
  for (const auto& c : cases) {
    double r = -1.0;
    lint1(c[0], c[1], c[2], c[3], c[4], r);
    EXPECT_EQ(r, c[5]);
  }
  // Here multiplying by (y2 - y1) before dividing by (x2 - x1) rounds
  // differently from applying the rounded slope.
  double r = 0.0;
  lint1(1.0, 50.0, 0.1, 0.7, 42.0, r);
  volatile double slope = (0.7 - 0.1) / 49.0, late = 41.0 * (0.7 - 0.1);
  EXPECT_EQ(r, 41.0 * slope + 0.1);
  EXPECT_NE(r, late / 49.0 + 0.1);
}

TEST(Lint1DeathTest, OutOfContractCallsAbortLoudly) {
  double r = 0.0;
  EXPECT_DEATH(lint1(3.0, 3.0, 1.0, 2.0, 3.0, r), "internal error");
  EXPECT_DEATH(lint1(1.0, 5.0, 10.0, 30.0, 6.0, r), "internal error");
  EXPECT_DEATH(lint1(1.0, 5.0, 10.0, 30.0, 0.5, r), "internal error");
}

}  // namespace
}  // namespace kov
