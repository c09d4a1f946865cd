#include "harmonic/tfit3.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "harmonic/mkmat2.hpp"

namespace kov {
namespace {

constexpr int kN = 46;

std::vector<double> Design(int nfunc) {
  std::vector<double> f(kLdT * kMaxCols, 0.0);
  mkmat2(kN, 46, nfunc, kNumk.data(), f.data());
  return f;
}

double Noise(int t) { return 0.01 * std::sin(12.9898 * t * t + 78.233 * t); }

TEST(Tfit3, ReproducesAnExactCombinationAtEveryStep) {
  const std::vector<double> f = Design(6);
  const double w[8] = {0.4, 0.3, 0.1, -0.05, 0.02, 0.03, -0.01, 0.04};
  std::vector<double> y(kN);
  std::vector<std::uint8_t> use(kN, 1);
  for (int t = 1; t <= kN; ++t) {
    double v = 0;
    for (int k = 1; k <= 8; ++k) v += w[k - 1] * f[at(kLdT, t, k)];
    y[t - 1] = v;
  }
  for (int t : {3, 4, 10, 20, 21, 40}) {
    use[t - 1] = 0;
    y[t - 1] += 5.0;  // off-model at unused steps: must not matter
  }
  double coef[8], fit[kN];
  tfit3(kN, 3, y.data(), use.data(), f.data(), coef, fit);
  for (int k = 0; k < 8; ++k) EXPECT_NEAR(coef[k], w[k], 1e-12);
  for (int t = 1; t <= kN; ++t) {
    const double model = use[t - 1] ? y[t - 1] : y[t - 1] - 5.0;
    EXPECT_NEAR(fit[t - 1], model, 1e-12) << t;
  }
}

TEST(Tfit3, UnusedStepsAreNotReadAndResidualsAreOrthogonal) {
  const std::vector<double> f = Design(3);
  std::vector<double> y(kN);
  std::vector<std::uint8_t> use(kN, 1);
  for (int t = 1; t <= kN; ++t) y[t - 1] = 0.5 + 0.2 * f[at(kLdT, t, 3)] + Noise(t);
  use[17] = 0;
  y[17] = 1e6;
  double c1[8], f1[kN], c2[8], f2[kN];
  tfit3(kN, 3, y.data(), use.data(), f.data(), c1, f1);
  y[17] = -3.0;
  tfit3(kN, 3, y.data(), use.data(), f.data(), c2, f2);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(c1[k], c2[k]);
  for (int t = 0; t < kN; ++t) EXPECT_EQ(f1[t], f2[t]);
  // Least squares: the residual over the used steps is orthogonal to every
  // basis column.
  for (int k = 1; k <= 8; ++k) {
    long double dot = 0;
    for (int t = 1; t <= kN; ++t)
      if (use[t - 1]) dot += (long double)(y[t - 1] - f1[t - 1]) * f[at(kLdT, t, k)];
    EXPECT_NEAR(static_cast<double>(dot), 0.0, 1e-12) << k;
  }
}

TEST(Tfit3, StraightLineMatchesClosedForm) {
  const std::vector<double> f = Design(3);
  std::vector<double> y(kN);
  std::vector<std::uint8_t> use(kN, 1);
  long double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int t = 1; t <= kN; ++t) {
    y[t - 1] = 0.3 + 0.02 * t + Noise(t);
    const long double x = 0.1L * t;
    sx += x; sy += y[t - 1]; sxx += x * x; sxy += x * y[t - 1];
  }
  const long double slope = (kN * sxy - sx * sy) / (kN * sxx - sx * sx);
  const long double icept = (sy - slope * sx) / kN;
  double coef[2], fit[kN];
  tfit3(kN, 0, y.data(), use.data(), f.data(), coef, fit);
  EXPECT_NEAR(coef[0], static_cast<double>(icept), 1e-12);
  EXPECT_NEAR(coef[1], static_cast<double>(slope), 1e-12);
}

TEST(Tfit3, SingularSystemsReturnTheInputSeries) {
  std::vector<double> y(kN);
  for (int t = 1; t <= kN; ++t) y[t - 1] = 0.1 * t + Noise(t);
  double coef[16], fit[kN];

  const std::vector<double> f3 = Design(3);
  std::vector<std::uint8_t> none(kN, 0);
  tfit3(kN, 3, y.data(), none.data(), f3.data(), coef, fit);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(coef[k], 0.0);
  for (int t = 0; t < kN; ++t) EXPECT_EQ(fit[t], y[t]);

  // Seventh position: a zero sine column makes the normal matrix singular.
  const std::vector<double> f7 = Design(7);
  std::vector<std::uint8_t> all(kN, 1);
  tfit3(kN, 7, y.data(), all.data(), f7.data(), coef, fit);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(coef[k], 0.0);
  for (int t = 0; t < kN; ++t) EXPECT_EQ(fit[t], y[t]);
}

}  // namespace
}  // namespace kov
