
#include "pixel/gap_fill.hpp"

#include <gtest/gtest.h>
#include <vector>


namespace kov {

namespace {

TEST(GapFill, FillsInteriorGapsAndZeroesTheEnds) {
  struct Case {
    std::vector<double> y;
    std::vector<int> f;
    int lmax;
    std::vector<double> want_y;
    std::vector<int> want_f;
    int want_lmax;
  };
  const Case cases[] = {
      // Interior gap on the straight line, flagged 2.
      {{1, 9, 9, 4}, {1, 0, 0, 1}, 0, {1, 2, 3, 4}, {1, 2, 2, 1}, 3},
      // Negative flags are unusable too; the longer of two gaps counts.
      {{0.5, 7, 1.5, 7, 7, 7, 3.5}, {1, -4, 1, 0, -1, 0, 1}, 0,
       {0.5, 1, 1.5, 2, 2.5, 3, 3.5}, {1, 2, 1, 2, 2, 2, 1}, 4},
      // A leading run is zeroed; its gap counts from step 0.
      {{8, 8, 0.25, 0.5}, {0, 0, 1, 1}, 0, {0, 0, 0.25, 0.5}, {0, 0, 1, 1}, 3},
      // A trailing run is zeroed, keeps its flags and adds no gap.
      {{0.25, 0.5, 8, 8}, {1, 1, 0, -2}, 0, {0.25, 0.5, 0, 0}, {1, 1, 0, -2}, 1},
      // No usable sample: all zero, the first flag 0, lmax kept.
      {{3, 4, 5, 6}, {-7, 0, -1, 0}, 2, {0, 0, 0, 0}, {0, 0, -1, 0}, 2},
      // Flag 5 at step 1 becomes 1; later positive flags stay and anchor.
      {{1, 9, 3, 9, 5, 6}, {5, 0, 5, 0, 2, 1}, 0, {1, 2, 3, 4, 5, 6}, {1, 2, 5, 2, 2, 1}, 2},
      // A higher lmax is never lowered.
      {{1, 0, 0, 0, 5}, {1, 0, 0, 0, 1}, 9, {1, 2, 3, 4, 5}, {1, 2, 2, 2, 1}, 9},
  };
  for (const Case& c : cases) {
    std::vector<double> y = c.y;
    std::vector<int> f = c.f;
    int lmax = c.lmax;
    fill_gaps(static_cast<int>(y.size()), y.data(), f.data(), lmax);
    EXPECT_EQ(y, c.want_y);
    EXPECT_EQ(f, c.want_f);
    EXPECT_EQ(lmax, c.want_lmax);
  }
}

TEST(GapFill, GapsOfEveryWidthOnAFullLengthSeries) {
  // interpolate_linear aborts on an out-of-contract call; a 200-step series with gaps
  // of every width from 1 to 19 and unusable ends must never trigger it.
  std::vector<double> y(200);
  std::vector<int> f(200, 1);
  int t = 3, width = 1;
  for (; t + width < 197; t += ++width)
    for (int k = 0; k < width; ++k) f[t + k] = 0;
  f[0] = f[1] = f[199] = 0;
  for (int i = 0; i < 200; ++i) y[i] = f[i] > 0 ? 0.01 * i : -1.0;
  int lmax = 0;
  fill_gaps(200, y.data(), f.data(), lmax);
  for (int i = 2; i < 199; ++i) EXPECT_NEAR(y[i], 0.01 * i, 1e-12) << i;
  EXPECT_EQ(y[0], 0.0);
  EXPECT_EQ(y[199], 0.0);
  EXPECT_EQ(lmax, width);  // widest interior run + 1
}

}  // namespace

namespace {

TEST(GapFill, InterpolatesWithTheSlopeRoundedFirst) {
  const double cases[][6] = {  // x1, x2, y1, y2, x, result
      {1, 5, 10, 30, 2, 15}, {1, 5, 10, 30, 5, 30}, {1, 5, 10, 30, 1, 10}, {2, 4, 7, 3, 3, 5}};
  for (const auto& c : cases) {
    double r = -1.0;
    interpolate_linear(c[0], c[1], c[2], c[3], c[4], r);
    EXPECT_EQ(r, c[5]);
  }
  // Here multiplying by (y2 - y1) before dividing by (x2 - x1) rounds
  // differently from applying the rounded slope.
  double r = 0.0;
  interpolate_linear(1.0, 50.0, 0.1, 0.7, 42.0, r);
  volatile double slope = (0.7 - 0.1) / 49.0, late = 41.0 * (0.7 - 0.1);
  EXPECT_EQ(r, 41.0 * slope + 0.1);
  EXPECT_NE(r, late / 49.0 + 0.1);
}

TEST(GapFillDeathTest, OutOfContractCallsAbortLoudly) {
  double r = 0.0;
  EXPECT_DEATH(interpolate_linear(3.0, 3.0, 1.0, 2.0, 3.0, r), "internal error");
  EXPECT_DEATH(interpolate_linear(1.0, 5.0, 10.0, 30.0, 6.0, r), "internal error");
  EXPECT_DEATH(interpolate_linear(1.0, 5.0, 10.0, 30.0, 0.5, r), "internal error");
}

}  // namespace

}  // namespace kov
