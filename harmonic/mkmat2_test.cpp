#include "harmonic/mkmat2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kov {
namespace {

constexpr double kUntouched = 7.25;

std::vector<double> Build(int ndat, int npoint, int nfunc) {
  std::vector<double> f(kLdT * kMaxCols, kUntouched);
  mkmat2(ndat, npoint, nfunc, kNumk.data(), f.data());
  return f;
}

TEST(Mkmat2, ColumnsMatchBasisAndNothingElseIsWritten) {
  const int ndat = 46, npoint = 46, nfunc = 6;
  const std::vector<double> f = Build(ndat, npoint, nfunc);
  const long double two_pi = 8.0L * std::atan(1.0L);
  for (int t = 1; t <= kMaxSteps; ++t) {
    for (int j = 1; j <= kMaxCols; ++j) {
      const double v = f[at(kLdT, t, j)];
      if (t > ndat || j > 2 * nfunc + 2) {
        ASSERT_EQ(v, kUntouched) << t << "," << j;
      } else if (j == 1) {
        ASSERT_EQ(v, 1.0);
      } else if (j == 2) {
        ASSERT_NEAR(v, 0.1L * t, 1e-15);
      } else {
        const int h = (j - 1) / 2;
        const long double a = two_pi * t * kNumk[h - 1] / npoint;
        const long double ref = (j % 2 == 1) ? std::sin(a) : std::cos(a);
        ASSERT_NEAR(v, static_cast<double>(ref), 1e-13) << t << "," << j;
      }
    }
  }
  EXPECT_EQ(f[at(kLdT, 1, 2)], 0.1);
  EXPECT_NEAR(f[at(kLdT, 46, 2)], 4.6, 1e-15);
  EXPECT_NEAR(f[at(kLdT, 46, 3)], 0.0, 1e-15);  // sin(2*pi)
  EXPECT_EQ(f[at(kLdT, 46, 4)], 1.0);           // cos(2*pi)
}

TEST(Mkmat2, SeventhPositionDuplicatesTheConstant) {
  const std::vector<double> f = Build(20, 46, 7);
  for (int t = 1; t <= 20; ++t) {
    EXPECT_EQ(f[at(kLdT, t, 15)], 0.0);
    EXPECT_EQ(f[at(kLdT, t, 16)], f[at(kLdT, t, 1)]);
  }
  EXPECT_EQ(f[at(kLdT, 1, 17)], kUntouched);
}

TEST(Mkmat2, PeriodChangesOnlyTheHarmonicColumns) {
  const std::vector<double> a = Build(46, 46, 3);
  const std::vector<double> b = Build(46, 36, 3);
  for (int t = 1; t <= 46; ++t) {
    EXPECT_EQ(a[at(kLdT, t, 1)], b[at(kLdT, t, 1)]);
    EXPECT_EQ(a[at(kLdT, t, 2)], b[at(kLdT, t, 2)]);
  }
  EXPECT_NE(a[at(kLdT, 5, 3)], b[at(kLdT, 5, 3)]);
  EXPECT_NEAR(b[at(kLdT, 36, 3)], 0.0, 1e-15);  // one full cycle of 36 steps
  EXPECT_EQ(b[at(kLdT, 1, 9)], kUntouched);     // nfunc 3: columns 1..8 only
}

}  // namespace
}  // namespace kov
