#include "harmonic/householder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "test/support.hpp"

namespace kov {
namespace {

struct Matrix {
  std::vector<double> a = std::vector<double>(kLdT * kMaxCols, 0.0);
  std::unique_ptr<HouseholderScratch> ws = std::make_unique<HouseholderScratch>();
  double& operator()(int i, int j) { return a[at(kLdT, i, j)]; }
  void reflect(int nrow, int ncol, int irow, int icol) { apply_householder(a.data(), nrow, ncol, irow, icol, *ws); }
};

TEST(Householder, SmallReflectionsAndNoOps) {
  // Columns (3,4) and (-3,4) beside (1,0): the pivot becomes -sign*norm.
  for (double p : {3.0, -3.0}) {
    Matrix m;
    m(1, 1) = p; m(2, 1) = 4; m(1, 2) = 1;
    m.reflect(2, 2, 1, 1);
    const double want[4] = {-p / 3 * 5, 0.0, -0.6, -p / 3 * 0.8};
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(m(1 + k % 2, 1 + k / 2), want[k], 1e-15) << p;
  }
  // irow = nrow flips the sign of the last row only.
  Matrix last;
  for (int k = 0; k < 9; ++k) last(1 + k % 3, 1 + k / 3) = k + 1;
  last.reflect(3, 3, 3, 2);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(last(1 + k % 3, 1 + k / 3), (k % 3 == 2 ? -1 : 1) * (k + 1));
  // A zero pivot with a nonzero norm below counts as positive; a norm of
  // exactly 1e-60 is reflected.
  Matrix z;
  z(1, 1) = 7; z(3, 1) = 3; z(4, 1) = 4; z(1, 2) = 1e-60;
  z.reflect(4, 2, 2, 1);
  EXPECT_EQ(z(1, 1), 7.0);
  EXPECT_NEAR(z(2, 1), -5.0, 1e-15);
  z.reflect(4, 2, 1, 2);
  EXPECT_DOUBLE_EQ(z(1, 2), -1e-60);

  // Unchanged: zero or sub-threshold norm below the pivot, indices out of range.
  Matrix m;
  for (int k = 0; k < 12; ++k) m(1 + k % 4, 1 + k / 4) = k + 1;
  m(2, 2) = m(3, 2) = m(4, 2) = m(2, 3) = m(3, 3) = 0.0;
  m(4, 3) = -std::nextafter(1e-60, 0.0);
  const std::vector<double> a0 = m.a;
  for (const auto& c : {std::pair{2, 2}, {2, 3}, {4, 3}, {1, 0}, {1, 4}, {0, 1}, {5, 1}}) {
    m.reflect(4, 3, c.first, c.second);
    EXPECT_EQ(m.a, a0) << "irow " << c.first << " icol " << c.second;
  }
}

TEST(Householder, SuccessiveReflectionsTriangularizeOrthogonally) {
  const int nrow = 30, ncol = 8;
  Matrix m;
  test::Lcg rng{99};
  for (int j = 1; j <= ncol; ++j)
    for (int i = 1; i <= nrow; ++i) m(i, j) = rng.unif() - 0.5;
  m(5, kMaxCols) = 42.0;  // outside the columns in use
  const std::vector<double> a0 = m.a;
  for (int i = 1; i <= ncol; ++i) m.reflect(nrow, ncol, i, i);
  EXPECT_EQ(m(5, kMaxCols), 42.0);
  for (int j = 1; j <= ncol; ++j) {  // R triangular, R'R = A'A
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
