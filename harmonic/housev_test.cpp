#include "harmonic/housev.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "harmonic/test_support.hpp"

namespace kov {
namespace {

struct Matrix {
  std::vector<double> a = std::vector<double>(kLdT * kMaxCols, 0.0);
  std::unique_ptr<HousevScratch> ws = std::make_unique<HousevScratch>();
  double& operator()(int i, int j) { return a[at(kLdT, i, j)]; }
  void reflect(int nrow, int ncol, int irow, int icol) {
    housev(a.data(), nrow, ncol, irow, icol, *ws);
  }
};

TEST(Housev, SmallReflections) {
  // Columns (3,4) and (-3,4) with a second column (1,0): the pivot becomes
  // -sign(pivot)*norm and the second column is reflected with it.
  for (double p : {3.0, -3.0}) {
    Matrix m;
    m(1, 1) = p; m(2, 1) = 4; m(1, 2) = 1;
    m.reflect(2, 2, 1, 1);
    EXPECT_NEAR(m(1, 1), p > 0 ? -5.0 : 5.0, 1e-15);
    EXPECT_NEAR(m(2, 1), 0.0, 1e-15);
    EXPECT_NEAR(m(1, 2), -0.6, 1e-15);
    EXPECT_NEAR(m(2, 2), p > 0 ? -0.8 : 0.8, 1e-15);
  }
  // irow = nrow: the last row changes sign, the others stay.
  Matrix last;
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) last(i, j) = i + 10.0 * j;
  const std::vector<double> a0 = last.a;
  last.reflect(3, 3, 3, 2);
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i)
      EXPECT_DOUBLE_EQ(last(i, j), (i == 3 ? -1 : 1) * a0[at(kLdT, i, j)]);
  // A zero pivot with a nonzero norm below counts as positive.
  Matrix z;
  z(1, 1) = 7; z(3, 1) = 3; z(4, 1) = 4;
  z.reflect(4, 1, 2, 1);
  EXPECT_EQ(z(1, 1), 7.0);
  EXPECT_NEAR(z(2, 1), -5.0, 1e-15);
  // A norm of exactly 1e-60 is reflected.
  Matrix t;
  t(1, 1) = 1e-60; t(1, 2) = 1;
  t.reflect(2, 2, 1, 1);
  EXPECT_DOUBLE_EQ(t(1, 1), -1e-60);
  EXPECT_DOUBLE_EQ(t(1, 2), -1.0);
}

TEST(Housev, NoOpCasesLeaveTheMatrixUnchanged) {
  Matrix m;
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 4; ++i) m(i, j) = 1.0 + i * j;
  for (int i = 2; i <= 4; ++i) m(i, 2) = 0.0;  // zero from row 2 down
  m(2, 3) = m(3, 3) = 0.0;
  m(4, 3) = -std::nextafter(1e-60, 0.0);  // norm just below 1e-60
  const std::vector<double> a0 = m.a;
  const int cases[][2] = {{2, 2}, {2, 3}, {4, 3}, {1, 0}, {1, 4}, {0, 1}, {5, 1}};
  for (const auto& c : cases) {
    m.reflect(4, 3, c[0], c[1]);
    EXPECT_EQ(m.a, a0) << "irow " << c[0] << " icol " << c[1];
  }
}

TEST(Housev, SuccessiveReflectionsTriangularizeOrthogonally) {
  const int nrow = 30, ncol = 8;
  Matrix m;
  testing::Lcg rng{99};
  for (int j = 1; j <= ncol; ++j)
    for (int i = 1; i <= nrow; ++i) m(i, j) = rng.unif() - 0.5;
  m(5, kMaxCols) = 42.0;  // outside the columns in use
  const std::vector<double> a0 = m.a;
  for (int i = 1; i <= ncol; ++i) m.reflect(nrow, ncol, i, i);
  EXPECT_EQ(m(5, kMaxCols), 42.0);
  // R triangular and R'R = A'A.
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
