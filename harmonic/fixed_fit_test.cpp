#include "harmonic/fixed_fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "test/support.hpp"

namespace kov {
namespace {

constexpr int kN = 46;

double noise(int t) { return 0.01 * std::sin(12.9898 * t * t + 78.233 * t); }

TEST(FixedFit, ReproducesAnExactCombinationIgnoringUnflaggedSteps) {
  const auto f = test::design(kN, 46, 6);
  const double w[8] = {0.4, 0.3, 0.1, -0.05, 0.02, 0.03, -0.01, 0.04};
  std::vector<double> model(kN), y(kN);
  std::vector<std::uint8_t> use(kN, 1);
  for (int t = 1; t <= kN; ++t) {
    for (int k = 1; k <= 8; ++k) model[t - 1] += w[k - 1] * f[at(kLdT, t, k)];
    y[t - 1] = model[t - 1];
  }
  for (int t : {3, 4, 10, 20, 21, 40}) {
    use[t - 1] = 0;
    y[t - 1] += 5.0;  // a spike at an unflagged step has no influence
  }
  double coef[8], fit[kN];
  fit_fixed_basis(kN, 3, y.data(), use.data(), f.data(), coef, fit);
  for (int k = 0; k < 8; ++k) EXPECT_NEAR(coef[k], w[k], 1e-12);
  for (int t = 0; t < kN; ++t) EXPECT_NEAR(fit[t], model[t], 1e-12) << t + 1;
}

TEST(FixedFit, ResidualsAreOrthogonalAndTheLineIsTheClosedForm) {
  const auto f = test::design(kN, 46, 3);
  std::vector<double> y(kN);
  std::vector<std::uint8_t> use(kN, 1);
  long double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int t = 1; t <= kN; ++t) {
    y[t - 1] = 0.3 + 0.02 * t + 0.2 * f[at(kLdT, t, 3)] + noise(t);
    const long double x = 0.1L * t;
    sx += x; sy += y[t - 1]; sxx += x * x; sxy += x * y[t - 1];
  }
  double coef[8], fit[kN];
  fit_fixed_basis(kN, 0, y.data(), use.data(), f.data(), coef, fit);  // h = 0: a line
  const long double slope = (kN * sxy - sx * sy) / (kN * sxx - sx * sx);
  EXPECT_NEAR(coef[1], static_cast<double>(slope), 1e-12);
  EXPECT_NEAR(coef[0], static_cast<double>((sy - slope * sx) / kN), 1e-12);

  use[17] = 0;
  fit_fixed_basis(kN, 3, y.data(), use.data(), f.data(), coef, fit);
  for (int k = 1; k <= 8; ++k) {
    long double dot = 0;
    for (int t = 1; t <= kN; ++t)
      if (use[t - 1]) dot += (long double)(y[t - 1] - fit[t - 1]) * f[at(kLdT, t, k)];
    EXPECT_NEAR(static_cast<double>(dot), 0.0, 1e-12) << k;
  }
}

TEST(FixedFit, SingularSystemsGiveZeroCoefficientsAndTheInput) {
  std::vector<double> y(kN);
  for (int t = 1; t <= kN; ++t) y[t - 1] = 0.1 * t + noise(t);
  // No flagged step; or position 7, whose zero sine column is singular.
  const struct { int h; bool flagged; } cases[] = {{3, false}, {7, true}};
  for (const auto& c : cases) {
    const auto f = test::design(kN, 46, c.h);
    std::vector<std::uint8_t> use(kN, c.flagged ? 1 : 0);
    std::vector<double> coef(2 * c.h + 2, 9.0), fit(kN, 9.0);
    fit_fixed_basis(kN, c.h, y.data(), use.data(), f.data(), coef.data(), fit.data());
    EXPECT_EQ(coef, std::vector<double>(2 * c.h + 2, 0.0));
    EXPECT_EQ(fit, y);
  }
}

}  // namespace
}  // namespace kov
