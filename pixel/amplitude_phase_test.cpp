#include "pixel/amplitude_phase.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "test/support.hpp"

namespace kov {
namespace {

constexpr double kPiF = 3.1415927410125732;

TEST(AmplitudePhase, AxesQuadrantsAndTheSmallSineBranch) {
  struct Case { double u, v, amp, phase; };
  const Case cases[] = {
      {0.0, 0.0, 0.0, 0.0},
      {1e-41, 0.0, 0.0, 0.0},           // amplitude floor
      {0.0, -0.5, 0.5, -0.5 * kPiF},    // u of exactly 0 counts as positive
      {0.0, 0.5, 0.5, 0.5 * kPiF},
      {-1.0, 0.0, 1.0, kPiF},           // v of exactly 0 counts as positive
      {1.0, 0.0, 1.0, 0.0},
      {-1e-11, 2.0, 2.0, 0.5 * kPiF},   // tiny negative u: no arctangent
      {-1e-11, -2.0, 2.0, -0.5 * kPiF},
      {-3.0, -4.0, 5.0, std::atan(4.0 / 3.0) - kPiF},
  };
  for (const Case& c : cases) {
    double a = -1.0, p = -1.0;
    amplitude_phase(c.u, c.v, a, p);
    EXPECT_EQ(a, c.amp) << c.u << "," << c.v;
    EXPECT_EQ(p, c.phase) << c.u << "," << c.v;
  }
}

TEST(AmplitudePhase, ReproducesTheHarmonic) {
  // u sin(t) + v cos(t) == A sin(t + phase), up to the single-precision pi.
  test::Lcg rng{7};
  for (int k = 0; k < 200; ++k) {
    const double u = 4 * rng.unif() - 2, v = 4 * rng.unif() - 2;
    double a = 0.0, p = 0.0;
    amplitude_phase(u, v, a, p);
    EXPECT_LE(std::fabs(p), kPiF);
    for (double t = 0.0; t < 6.3; t += 0.7)
      EXPECT_NEAR(a * std::sin(t + p), u * std::sin(t) + v * std::cos(t), 1e-6);
  }
}

}  // namespace
}  // namespace kov
