// Tests of both running envelope filters, upper_envelope (upper) and lower_envelope (lower),
// and of the extended copy they share.
#include "pixel/envelope.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "test/support.hpp"

namespace kov {
namespace {

using Vec = std::vector<double>;

Vec filter(bool upper, int w, Vec y) {
  Vec e(y.size() + 2 * static_cast<std::size_t>(w));
  (upper ? upper_envelope : lower_envelope)(static_cast<int>(y.size()), w, y.data(), e.data());
  return y;
}

TEST(Envelope, DipsPeaksEndsAndCleanUp) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case { bool upper; int w; Vec in, out; };
  const Case cases[] = {
      // Dips (peaks) no wider than w are raised (lowered); the ends are
      // repeated w times, so an end dip or peak stays.
      {true, 2, {5, 5, 1, 1, 1, 5, 5}, {5, 5, 1, 5, 1, 5, 5}},
      {false, 1, {1, 1, 7, 3, 3}, {1, 1, 3, 3, 3}},
      {true, 2, {1, 5, 5, 5}, {1, 5, 5, 5}},
      {false, 2, {9, 1, 1, 1}, {9, 1, 1, 1}},
      // Clean-up: <= -1e10 in the upper, > 1e10 in the lower envelope.
      {true, 1, {-1e10, -1e10, -1e10}, Vec(3, 0)},
      {true, 1, {-9.9e9, -9.9e9}, Vec(2, -9.9e9)},
      {false, 1, {1e10, 1e10, 1e10}, Vec(3, 1e10)},
      {false, 1, {2e10, 2e10}, Vec(2, 0)},
      // A NaN fails every comparison and is passed over.
      {true, 1, {1, nan, 3}, {1, 1, 3}},
      {false, 1, {1, nan, 3}, {1, 3, 3}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(filter(c.upper, c.w, c.in), c.out) << (c.upper ? "upper" : "lower") << " w " << c.w;
}

// Window extreme from its definition, indices clamped to the series.
double window(const Vec& y, int lo, int hi, bool take_max) {
  const int n = static_cast<int>(y.size());
  double r = y[std::clamp(lo, 0, n - 1)];
  for (int j = lo; j <= hi; ++j) {
    const double v = y[std::clamp(j, 0, n - 1)];
    r = take_max ? std::max(r, v) : std::min(r, v);
  }
  return r;
}

// Every end effect and w = 0 included, with copies beyond 200 values.
TEST(Envelope, MatchesDefinitionIncludingCopiesBeyondTwoHundred) {
  test::Lcg rng{12345};
  for (int n : {3, 17, 200})
    for (int w : {0, 1, 3, 8, 40}) {
      Vec y(n);
      for (double& v : y) v = rng.unif();
      const Vec up = filter(true, w, y), lo = filter(false, w, y);
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(up[i], std::min(window(y, i, i + w, true), window(y, i - w, i, true)));
        EXPECT_EQ(lo[i], std::max(window(y, i, i + w, false), window(y, i - w, i, false)));
      }
    }
}

}  // namespace
}  // namespace kov
