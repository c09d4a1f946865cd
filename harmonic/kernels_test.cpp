// The building blocks of the fits: design matrix, Householder step and
// inversion (the fixed-basis fit is the reference of the best-subset tests).
#include "harmonic/design_matrix.hpp"
#include "harmonic/householder.hpp"
#include "harmonic/invert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>


namespace kov {
namespace {

// Rows 1..ndat of columns 1..2*nfunc+2 hold the basis (position 7 has
// harmonic number 0: a zero sine and a cosine of one); nothing else changes.
TEST(DesignMatrix, ColumnsHoldTheBasisAndNothingElseIsWritten) {
  for (const auto [ndat, npoint, nfunc] : {std::array{46, 46, 6}, {20, 36, 7}, {200, 46, 3}}) {
    std::vector<double> f(kLdT * kMaxCols, 7.25);
    fill_design_matrix(ndat, npoint, nfunc, kHarmonicNumbers.data(), f.data());
    for (int t = 1; t <= kMaxSteps; ++t)
      for (int j = 1; j <= kMaxCols; ++j) {
        const int numk = kHarmonicNumbers[std::max(j - 1, 2) / 2 - 1];  // of position (j - 1) / 2
        const long double a = 8.0L * std::atan(1.0L) * t * numk / npoint;
        long double want = 7.25L;
        if (t <= ndat && j <= 2 * nfunc + 2)
          want = j == 1 ? 1.0L : j == 2 ? 0.1L * t : j % 2 ? std::sin(a) : std::cos(a);
        ASSERT_NEAR(f[at(kLdT, t, j)], static_cast<double>(want), 1e-13) << t << "," << j;
      }
  }
}

struct Matrix {
  std::vector<double> a = std::vector<double>(kLdT * kMaxCols, 0.0);
  std::unique_ptr<HouseholderScratch> ws = std::make_unique<HouseholderScratch>();
  double& operator()(int i, int j) { return a[at(kLdT, i, j)]; }
  void reflect(int nrow, int ncol, int irow, int icol) {
    apply_householder(a.data(), nrow, ncol, irow, icol, *ws);
  }
};

// The numerical quality shows in the fits built on the reflections; here are
// the thresholds, the sign of a zero pivot and the no-ops.
TEST(Householder, EdgesAndNoOps) {
  // A zero pivot with a nonzero norm below counts as positive; a norm of
  // exactly 1e-60 is reflected.
  Matrix z;
  z(1, 1) = 7, z(3, 1) = 3, z(4, 1) = 4, z(1, 2) = 1e-60;
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
  for (auto [irow, icol] : {std::pair{2, 2}, {2, 3}, {4, 3}, {1, 0}, {1, 4}, {0, 1}, {5, 1}}) {
    m.reflect(4, 3, irow, icol);
    EXPECT_EQ(m.a, a0) << "irow " << irow << " icol " << icol;
  }
}

using Mat = std::vector<double>;

// Column-major leading dimension 50 from the rows of an n x n block; the
// rest holds 99.
Mat rows(int n, std::initializer_list<double> r) {
  Mat a(kLdC * kLdC, 99.0);
  auto it = r.begin();
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[at(kLdC, i, j)] = *it++;
  return a;
}

// The numerical quality shows in the fits built on the inversion; here are
// the pivot rules, bit for bit, and the singular steps.
TEST(Invert, KnownInversesAndSingularSteps) {
  struct Case {
    int n;
    Mat a, inv;  // inv empty: singular
  };
  const Case cases[] = {
      // Tied pivots (1,2) and (2,1): the first of the row scan is taken.
      {2, rows(2, {0, 1, 1, 0}), rows(2, {0, 1, 1, 0})},
      {1, rows(1, {4}), rows(1, {0.25})},
      // A 4-cycle: column interchanges must be undone in reverse order.
      {4, rows(4, {0, 0, 3, 0, 5, 0, 0, 0, 0, 0, 0, 2, 0, 4, 0, 0}),
       rows(4, {0, 0.2, 0, 0, 0, 0, 0, 0.25, 1.0 / 3, 0, 0, 0, 0, 0, 0.5, 0})},
      // Multipliers strictly inside +-1e-31 are flushed; 1e-31 itself is not.
      {2, rows(2, {1, 0, 1e-32, 1}), rows(2, {1, 0, 0, 1})},
      {2, rows(2, {1, 0, 1e-31, 1}), rows(2, {1, 0, -1e-31, 1})},
      {0, rows(0, {}), rows(0, {})},  // touches nothing
      {1, rows(1, {0}), {}},
      {2, rows(2, {1, 2, 2, 4}), {}},  // singular at the second step
  };
  for (const Case& c : cases) {
    Mat a = c.a;
    const int st = invert_in_place(a.data(), c.n, kLdC);
    EXPECT_EQ(st != 0, c.inv.empty()) << "n " << c.n;
    // Bitwise, so that a signed zero from a wrong pivot order shows.
    if (st == 0) {
      EXPECT_EQ(std::memcmp(a.data(), c.inv.data(), a.size() * sizeof(double)), 0)
          << "n " << c.n << " a11 " << c.a[0];
    }
  }
}

}  // namespace
}  // namespace kov
