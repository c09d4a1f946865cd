// The steps of the pipeline on one series: gap filling, the envelope
// filters, amplitude and phase.
#include "pixel/amplitude_phase.hpp"
#include "pixel/envelope.hpp"
#include "pixel/gap_fill.hpp"

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace kov {
namespace {

using Vec = std::vector<double>;

TEST(GapFill, FillsInteriorGapsAndZeroesTheEnds) {
  struct Case { Vec y; std::vector<int> f; Vec want_y; std::vector<int> want_f; int want_lmax; };
  const Case cases[] = {
      // Gaps on the straight line, flagged 2; negative flags are unusable too.
      {{0.5, 7, 1.5, 7, 7, 7, 3.5}, {1, -4, 1, 0, -1, 0, 1}, {0.5, 1, 1.5, 2, 2.5, 3, 3.5},
       {1, 2, 1, 2, 2, 2, 1}, 4},
      // Unusable ends are zeroed and keep their flags; a leading run counts from step 0.
      {{8, 9, 3, 5, 8}, {0, -1, 1, 1, 0}, {0, 0, 3, 5, 0}, {0, -1, 1, 1, 0}, 3},
  };
  for (Case c : cases) {
    int lmax = 0;
    fill_gaps(static_cast<int>(c.y.size()), c.y.data(), c.f.data(), lmax);
    EXPECT_EQ(std::tie(c.y, c.f, lmax), std::tie(c.want_y, c.want_f, c.want_lmax));
  }
  // The slope is rounded before it is applied: multiplying by (y2 - y1)
  // before dividing by (x2 - x1) rounds differently here.
  double r = 0.0;
  interpolate_linear(1.0, 50.0, 0.1, 0.7, 42.0, r);
  volatile double slope = (0.7 - 0.1) / 49.0, late = 41.0 * (0.7 - 0.1);
  EXPECT_EQ(r, 41.0 * slope + 0.1);
  EXPECT_NE(r, late / 49.0 + 0.1);
}

TEST(Envelope, DipsPeaksEndsAndCleanUp) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case { bool upper; int w; Vec in, out; };
  const Case cases[] = {
      // Dips (peaks) no wider than w are raised (lowered); the ends are
      // repeated w times, so an end dip or peak stays; w = 0 changes nothing.
      {true, 2, {5, 1, 1, 5, 2, 4}, {5, 5, 5, 5, 4, 4}},
      {false, 1, {1, 1, 7, 3, 3}, {1, 1, 3, 3, 3}},
      {false, 2, {2, 9, 9, 1, 7, 8}, {2, 2, 2, 1, 7, 8}},
      {false, 2, {9, 1, 1, 1}, {9, 1, 1, 1}},
      {true, 0, {3, 1, 2}, {3, 1, 2}},
      // Clean-up: <= -1e10 in the upper, > 1e10 in the lower envelope.
      {true, 1, {-1e10, -1e10, -1e10}, Vec(3, 0)},
      {true, 1, {-9.9e9, -9.9e9}, Vec(2, -9.9e9)},
      {false, 1, {1e10, 1e10, 1e10}, Vec(3, 1e10)},
      {false, 1, {2e10, 2e10}, Vec(2, 0)},
      // A NaN fails every comparison and is passed over.
      {true, 1, {1, nan, 3}, {1, 1, 3}},
      {false, 1, {1, nan, 3}, {1, 3, 3}},
  };
  for (const Case& c : cases) {
    Vec y = c.in, e(y.size() + 2 * c.w);
    (c.upper ? upper_envelope : lower_envelope)(static_cast<int>(y.size()), c.w, y.data(),
                                                e.data());
    EXPECT_EQ(y, c.out) << (c.upper ? "upper " : "lower ") << c.w << testing::PrintToString(c.in);
  }
}

constexpr double kPiF = 3.1415927410125732;

TEST(AmplitudePhase, AxesQuadrantsAndTheSmallSineBranch) {
  struct Case { double u, v, amp, phase; };
  const Case cases[] = {
      {0.0, 0.0, 0.0, 0.0},
      {1e-41, 0.0, 0.0, 0.0},           // amplitude floor
      {0.0, -0.5, 0.5, -0.5 * kPiF},    // u of exactly 0 counts as positive
      {-1.0, 0.0, 1.0, kPiF},           // v of exactly 0 counts as positive
      {-1e-11, 2.0, 2.0, 0.5 * kPiF},   // tiny negative u: no arctangent
      {-1e-11, -2.0, 2.0, -0.5 * kPiF},
      {-3.0, -4.0, 5.0, std::atan(4.0 / 3.0) - kPiF},
      {3.0, -4.0, 5.0, std::atan(-4.0 / 3.0)},
  };
  for (const Case& c : cases) {
    double a = -1.0, p = -1.0;
    amplitude_phase(c.u, c.v, a, p);
    EXPECT_EQ(a, c.amp) << c.u << "," << c.v;
    EXPECT_EQ(p, c.phase) << c.u << "," << c.v;
  }
}

}  // namespace
}  // namespace kov
