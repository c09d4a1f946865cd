#include "pixel/intrp.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kov {
namespace {

struct Series {
  std::vector<double> y;
  std::vector<int> f;
};

void run(Series& s, int& lmax) {
  intrp(static_cast<int>(s.y.size()), s.y.data(), s.f.data(), lmax);
}

TEST(Intrp, FillsInteriorGapOnTheLineAndFlagsItTwo) {
  Series s{{1.0, 9.0, 9.0, 4.0}, {1, 0, 0, 1}};
  int lmax = 0;
  run(s, lmax);
  EXPECT_EQ(s.y, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
  EXPECT_EQ(s.f, (std::vector<int>{1, 2, 2, 1}));
  EXPECT_EQ(lmax, 3);

  // Negative flags are unusable too; two gaps, the longer one counts.
  Series t{{0.5, 7.0, 1.5, 7.0, 7.0, 7.0, 3.5}, {1, -4, 1, 0, -1, 0, 1}};
  lmax = 0;
  run(t, lmax);
  EXPECT_EQ(t.y, (std::vector<double>{0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5}));
  EXPECT_EQ(t.f, (std::vector<int>{1, 2, 1, 2, 2, 2, 1}));
  EXPECT_EQ(lmax, 4);
}

TEST(Intrp, LeadingRunIsZeroedAndCountsFromZero) {
  Series s{{8.0, 8.0, 0.25, 0.5}, {0, 0, 1, 1}};
  int lmax = 0;
  run(s, lmax);
  EXPECT_EQ(s.y, (std::vector<double>{0.0, 0.0, 0.25, 0.5}));
  EXPECT_EQ(s.f, (std::vector<int>{0, 0, 1, 1}));
  EXPECT_EQ(lmax, 3);
}

TEST(Intrp, TrailingRunIsZeroedAndDoesNotCount) {
  Series s{{0.25, 0.5, 8.0, 8.0}, {1, 1, 0, -2}};
  int lmax = 0;
  run(s, lmax);
  EXPECT_EQ(s.y, (std::vector<double>{0.25, 0.5, 0.0, 0.0}));
  EXPECT_EQ(s.f, (std::vector<int>{1, 1, 0, -2}));
  EXPECT_EQ(lmax, 1);
}

TEST(Intrp, NoUsableSampleZeroesAllAndKeepsLmax) {
  Series s{{3.0, 4.0, 5.0, 6.0}, {-7, 0, -1, 0}};
  int lmax = 2;
  run(s, lmax);
  EXPECT_EQ(s.y, (std::vector<double>{0.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(s.f, (std::vector<int>{0, 0, -1, 0}));
  EXPECT_EQ(lmax, 2);
}

TEST(Intrp, OtherPositiveFlagsAreUsableAndKeptAfterStepOne) {
  // Step 1 flag 5 becomes 1; later 5 and 2 stay and anchor the fill.
  Series s{{1.0, 9.0, 3.0, 9.0, 5.0, 6.0}, {5, 0, 5, 0, 2, 1}};
  int lmax = 0;
  run(s, lmax);
  EXPECT_EQ(s.y, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
  EXPECT_EQ(s.f, (std::vector<int>{1, 2, 5, 2, 2, 1}));
  EXPECT_EQ(lmax, 2);
}

TEST(Intrp, LmaxIsOnlyRaisedAcrossCalls) {
  Series s{{1.0, 0.0, 0.0, 0.0, 5.0, 6.0}, {1, 0, 0, 0, 1, 1}};  // gap 4
  int lmax = 9;
  run(s, lmax);
  EXPECT_EQ(lmax, 9);
  EXPECT_EQ(s.y, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));

  // A second call on the filled series (flags 2 are usable) adds no gap.
  lmax = 4;
  run(s, lmax);
  EXPECT_EQ(lmax, 4);
  Series longer{{1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 7.0}, {1, 0, 0, 0, 0, 0, 1}};
  run(longer, lmax);
  EXPECT_EQ(lmax, 6);
}

TEST(Intrp, FullLengthSeriesWithEveryGapPatternStaysInContract) {
  // lint1 aborts on an out-of-contract call; a 200-step series with gaps
  // of every width from 1 to 19 and unusable ends must never trigger it.
  std::vector<double> y(200);
  std::vector<int> f(200, 1);
  int t = 3, width = 1;
  while (t + width < 197) {
    for (int k = 0; k < width; ++k) f[t + k] = 0;
    t += width + 1;
    ++width;
  }
  f[0] = f[1] = f[199] = 0;
  for (int i = 0; i < 200; ++i) y[i] = f[i] > 0 ? 0.01 * i : -1.0;
  int lmax = 0;
  intrp(200, y.data(), f.data(), lmax);
  for (int i = 2; i < 199; ++i) EXPECT_NEAR(y[i], 0.01 * i, 1e-12) << i;
  EXPECT_EQ(y[0], 0.0);
  EXPECT_EQ(y[199], 0.0);
  EXPECT_EQ(lmax, width);  // widest interior run + 1
}

}  // namespace
}  // namespace kov
