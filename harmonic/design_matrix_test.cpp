#include "harmonic/design_matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kov {
namespace {

// Every element against the basis in long double; elements outside rows
// 1..ndat and columns 1..2*nfunc+2 keep the value they had.
TEST(DesignMatrix, ColumnsMatchTheBasisAndNothingElseIsWritten) {
  struct Case { int ndat, npoint, nfunc; };
  for (const Case c : {Case{46, 46, 6}, Case{20, 36, 7}, Case{200, 46, 3}}) {
    std::vector<double> f(kLdT * kMaxCols, 7.25);
    fill_design_matrix(c.ndat, c.npoint, c.nfunc, kHarmonicNumbers.data(), f.data());
    const long double two_pi = 8.0L * std::atan(1.0L);
    for (int t = 1; t <= kMaxSteps; ++t)
      for (int j = 1; j <= kMaxCols; ++j) {
        const double v = f[at(kLdT, t, j)];
        long double want = 7.25L;
        if (t <= c.ndat && j <= 2 * c.nfunc + 2) {
          const int h = j < 3 ? 1 : (j - 1) / 2;
          const long double a = two_pi * t * kHarmonicNumbers[h - 1] / c.npoint;
          want = j == 1 ? 1.0L : j == 2 ? 0.1L * t : j % 2 ? std::sin(a) : std::cos(a);
        }
        ASSERT_NEAR(v, static_cast<double>(want), 1e-13) << t << "," << j;
      }
    // Position 7 has harmonic number 0: a zero sine and a cosine of one.
    if (c.nfunc == 7) {
      EXPECT_EQ(f[at(kLdT, 5, 15)], 0.0);
      EXPECT_EQ(f[at(kLdT, 5, 16)], 1.0);
    }
  }
}

}  // namespace
}  // namespace kov
