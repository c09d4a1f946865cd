// Tests of both running envelope filters, minmax (upper) and maxmin (lower).
#include "pixel/minmax.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "pixel/maxmin.hpp"

namespace kov {
namespace {

using Vec = std::vector<double>;

Vec upper(int w, Vec y) {
  Vec e(y.size() + 2 * static_cast<std::size_t>(w));
  minmax(static_cast<int>(y.size()), w, y.data(), e.data());
  return y;
}

Vec lower(int w, Vec y) {
  Vec e(y.size() + 2 * static_cast<std::size_t>(w));
  maxmin(static_cast<int>(y.size()), w, y.data(), e.data());
  return y;
}

TEST(Minmax, RaisesDipsNoWiderThanTheHalfWidth) {
  EXPECT_EQ(upper(1, {5, 5, 5, 1, 5, 5, 5}), Vec(7, 5.0));
  EXPECT_EQ(upper(1, {5, 5, 1, 1, 5, 5}), (Vec{5, 5, 1, 1, 5, 5}));
  EXPECT_EQ(upper(2, {5, 5, 1, 1, 5, 5}), Vec(6, 5.0));
  // Only the middle of a three-wide dip is within 2 steps of both sides.
  EXPECT_EQ(upper(2, {5, 5, 1, 1, 1, 5, 5}), (Vec{5, 5, 1, 5, 1, 5, 5}));
  // A dip is raised to the lower of its neighbours.
  EXPECT_EQ(upper(1, {7, 7, 1, 5, 5}), (Vec{7, 7, 5, 5, 5}));
  EXPECT_EQ(upper(1, {1, 1, 5, 1, 1}), (Vec{1, 1, 5, 1, 1}));  // peaks stay
}

TEST(Maxmin, LowersPeaksNoWiderThanTheHalfWidth) {
  EXPECT_EQ(lower(1, {1, 1, 5, 1, 1}), Vec(5, 1.0));
  EXPECT_EQ(lower(1, {5, 5, 5, 1, 5, 5, 5}), (Vec{5, 5, 5, 1, 5, 5, 5}));
  EXPECT_EQ(lower(2, {1, 1, 5, 5, 5, 1, 1}), (Vec{1, 1, 5, 1, 5, 1, 1}));
  EXPECT_EQ(lower(1, {1, 1, 7, 3, 3}), (Vec{1, 1, 3, 3, 3}));
}

TEST(Minmax, EndsRepeatTheirValue) {
  // The backward window of step 1 holds only copies of it: an end dip stays.
  EXPECT_EQ(upper(2, {1, 5, 5, 5}), (Vec{1, 5, 5, 5}));
  EXPECT_EQ(upper(1, {5, 1, 5}), (Vec{5, 5, 5}));
  EXPECT_EQ(upper(3, {5, 5, 5, 1}), (Vec{5, 5, 5, 1}));
  EXPECT_EQ(lower(2, {9, 1, 1, 1}), (Vec{9, 1, 1, 1}));
  EXPECT_EQ(lower(1, {1, 9, 1}), (Vec{1, 1, 1}));
}

TEST(Minmax, ZeroHalfWidthIsTheIdentity) {
  const Vec y{0.3, -2.0, 0.0, 7.5, 1e-300, 0.3};
  EXPECT_EQ(upper(0, y), y);
  EXPECT_EQ(lower(0, y), y);
}

TEST(Minmax, CleanUpLimitsDifferInStrictness) {
  EXPECT_EQ(upper(1, {-1e10, -1e10, -1e10}), Vec(3, 0.0));
  EXPECT_EQ(upper(1, {-9.9e9, -9.9e9}), Vec(2, -9.9e9));
  EXPECT_EQ(lower(1, {1e10, 1e10, 1e10}), Vec(3, 1e10));
  EXPECT_EQ(lower(1, {2e10, 2e10}), Vec(2, 0.0));
}

TEST(Minmax, NotANumberIsPassedOver) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(upper(1, {1, nan, 3}), (Vec{1, 1, 3}));
  EXPECT_EQ(lower(1, {1, nan, 3}), (Vec{1, 3, 3}));
}

// Envelope from its definition with clamped indices, as an oracle.
double window(const Vec& y, int lo, int hi, bool take_max) {
  const int n = static_cast<int>(y.size());
  double r = y[std::clamp(lo, 0, n - 1)];
  for (int j = lo; j <= hi; ++j) {
    const double v = y[std::clamp(j, 0, n - 1)];
    r = take_max ? std::max(r, v) : std::min(r, v);
  }
  return r;
}

TEST(Minmax, MatchesDefinitionIncludingWindowsBeyondTwoHundred) {
  std::mt19937 gen(12345);
  std::uniform_real_distribution<double> val(0.0, 1.0);
  for (int n : {3, 17, 200}) {
    for (int w : {1, 3, 8, 40}) {
      Vec y(n);
      for (double& v : y) v = val(gen);
      const Vec up = upper(w, y);
      const Vec lo = lower(w, y);
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(up[i], std::min(window(y, i, i + w, true),
                                  window(y, i - w, i, true)))
            << n << ' ' << w << ' ' << i;
        EXPECT_EQ(lo[i], std::max(window(y, i, i + w, false),
                                  window(y, i - w, i, false)))
            << n << ' ' << w << ' ' << i;
        EXPECT_GE(up[i], y[i]);
        EXPECT_LE(lo[i], y[i]);
      }
    }
  }
}

}  // namespace
}  // namespace kov
