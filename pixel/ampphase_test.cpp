#include "pixel/ampphase.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace kov {
namespace {

constexpr double kPiF = 3.1415927410125732;

TEST(Ampphase, QuadrantAndAxisCases) {
  double a = -1.0, p = -1.0;
  ampphase(0.0, 0.0, a, p);
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(p, 0.0);
  ampphase(1e-41, 0.0, a, p);  // below the amplitude floor
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(p, 0.0);

  ampphase(0.0, -0.5, a, p);  // u of exactly 0 counts as positive
  EXPECT_EQ(a, 0.5);
  EXPECT_EQ(p, -0.5 * kPiF);
  ampphase(0.0, 0.5, a, p);
  EXPECT_EQ(p, 0.5 * kPiF);

  ampphase(-1.0, 0.0, a, p);  // v of exactly 0 counts as positive
  EXPECT_EQ(a, 1.0);
  EXPECT_EQ(p, kPiF);
  ampphase(1.0, 0.0, a, p);
  EXPECT_EQ(p, 0.0);

  ampphase(-1e-11, 2.0, a, p);  // tiny negative u: no arctangent
  EXPECT_EQ(a, 2.0);
  EXPECT_EQ(p, 0.5 * kPiF);
  ampphase(-1e-11, -2.0, a, p);
  EXPECT_EQ(p, -0.5 * kPiF);

  ampphase(-3.0, -4.0, a, p);
  EXPECT_EQ(a, 5.0);
  EXPECT_EQ(p, std::atan(4.0 / 3.0) - kPiF);
}

TEST(Ampphase, ReproducesTheHarmonic) {
  // u sin(t) + v cos(t) == A sin(t + phase), up to the single-precision pi.
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> c(-2.0, 2.0);
  for (int k = 0; k < 200; ++k) {
    const double u = c(gen), v = c(gen);
    double a = 0.0, p = 0.0;
    ampphase(u, v, a, p);
    EXPECT_LE(std::fabs(p), kPiF);
    for (double t = 0.0; t < 6.3; t += 0.7) {
      EXPECT_NEAR(a * std::sin(t + p), u * std::sin(t) + v * std::cos(t),
                  1e-6);
    }
  }
}

}  // namespace
}  // namespace kov
