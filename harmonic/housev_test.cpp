#include "harmonic/housev.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace kov {
namespace {

struct Fixture {
  std::vector<double> a = std::vector<double>(kLdT * kMaxCols, 0.0);
  std::unique_ptr<HousevScratch> ws = std::make_unique<HousevScratch>();
  double& operator()(int i, int j) { return a[at(kLdT, i, j)]; }
};

TEST(Housev, TwoByTwoReflections) {
  Fixture m;
  m(1, 1) = 3; m(2, 1) = 4; m(1, 2) = 1; m(2, 2) = 0;
  housev(m.a.data(), 2, 2, 1, 1, *m.ws);
  EXPECT_NEAR(m(1, 1), -5.0, 1e-15);
  EXPECT_NEAR(m(2, 1), 0.0, 1e-15);
  EXPECT_NEAR(m(1, 2), -0.6, 1e-15);
  EXPECT_NEAR(m(2, 2), -0.8, 1e-15);

  Fixture n;
  n(1, 1) = -3; n(2, 1) = 4; n(1, 2) = 1;
  housev(n.a.data(), 2, 2, 1, 1, *n.ws);
  EXPECT_NEAR(n(1, 1), 5.0, 1e-15);
  EXPECT_NEAR(n(2, 1), 0.0, 1e-15);
}

TEST(Housev, LastRowFlipsSignAndZeroPivotCountsPositive) {
  Fixture m;
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) m(i, j) = i + 10.0 * j;
  const std::vector<double> before = m.a;
  housev(m.a.data(), 3, 3, 3, 2, *m.ws);
  for (int j = 1; j <= 3; ++j) {
    EXPECT_EQ(m(1, j), before[at(kLdT, 1, j)]);
    EXPECT_EQ(m(2, j), before[at(kLdT, 2, j)]);
    EXPECT_DOUBLE_EQ(m(3, j), -before[at(kLdT, 3, j)]);
  }

  Fixture z;
  z(1, 1) = 7; z(2, 1) = 0; z(3, 1) = 3; z(4, 1) = 4;
  housev(z.a.data(), 4, 1, 2, 1, *z.ws);
  EXPECT_EQ(z(1, 1), 7.0);
  EXPECT_NEAR(z(2, 1), -5.0, 1e-15);
  EXPECT_NEAR(z(3, 1), 0.0, 1e-15);
  EXPECT_NEAR(z(4, 1), 0.0, 1e-15);
}

TEST(Housev, NoOpCasesLeaveTheMatrixUnchanged) {
  Fixture m;
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 4; ++i) m(i, j) = 1.0 + i * j;
  for (int i = 2; i <= 4; ++i) m(i, 2) = 0.0;  // zero below row 2
  m(4, 3) = 1e-61; m(3, 3) = -1e-61; m(2, 3) = 0.0;
  const std::vector<double> a0 = m.a;
  const int cases[][2] = {{2, 2}, {2, 3}, {1, 0}, {1, 4}, {0, 1}, {5, 1}};
  for (const auto& c : cases) {
    housev(m.a.data(), 4, 3, c[0], c[1], *m.ws);
    EXPECT_EQ(m.a, a0) << "irow " << c[0] << " icol " << c[1];
  }
}

TEST(Housev, NormThresholdIsStrict) {
  Fixture m;
  m(1, 1) = 1e-60;
  m(1, 2) = 1.0;
  housev(m.a.data(), 2, 2, 1, 1, *m.ws);  // sigma == 1e-60 is reflected
  EXPECT_DOUBLE_EQ(m(1, 1), -1e-60);
  EXPECT_DOUBLE_EQ(m(1, 2), -1.0);

  Fixture s;
  s(1, 1) = std::nextafter(1e-60, 0.0);
  s(1, 2) = 1.0;
  const std::vector<double> a0 = s.a;
  housev(s.a.data(), 2, 2, 1, 1, *s.ws);
  EXPECT_EQ(s.a, a0);
}

TEST(Housev, ColumnByColumnReductionIsOrthogonalTriangularization) {
  const int nrow = 30, ncol = 8;
  Fixture m;
  std::uint64_t state = 99;
  for (int j = 1; j <= ncol; ++j)
    for (int i = 1; i <= nrow; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      m(i, j) = static_cast<double>(state >> 11) * 0x1.0p-53 - 0.5;
    }
  m(5, kMaxCols) = 42.0;  // outside the columns in use
  const std::vector<double> a0 = m.a;
  for (int i = 1; i <= ncol; ++i) housev(m.a.data(), nrow, ncol, i, i, *m.ws);
  EXPECT_EQ(m(5, kMaxCols), 42.0);
  // R'R equals A'A: the reflections are orthogonal, and R is triangular.
  for (int j = 1; j <= ncol; ++j) {
    for (int i = j + 1; i <= nrow; ++i) EXPECT_NEAR(m(i, j), 0.0, 1e-14);
    for (int l = 1; l <= ncol; ++l) {
      long double ra = 0, aa = 0;
      for (int i = 1; i <= nrow; ++i) {
        ra += (long double)m(i, j) * m(i, l);
        aa += (long double)a0[at(kLdT, i, j)] * a0[at(kLdT, i, l)];
      }
      EXPECT_NEAR(static_cast<double>(ra), static_cast<double>(aa), 1e-13);
    }
  }
}

}  // namespace
}  // namespace kov
