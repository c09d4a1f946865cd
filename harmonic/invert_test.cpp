#include "harmonic/invert.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "test/support.hpp"

namespace kov {
namespace {

using Mat = std::vector<double>;

// Column-major leading dimension 50 from the rows of an n x n block.
Mat rows(int n, std::initializer_list<double> r) {
  Mat a(kLdC * kLdC, 0.0);
  auto it = r.begin();
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[at(kLdC, i, j)] = *it++;
  return a;
}

TEST(Invert, KnownInversesAndSingularSteps) {
  struct Case {
    int n;
    Mat a, inv;  // inv empty: singular
  };
  const Case cases[] = {
      {3, rows(3, {1, 0, 0, 0, 1, 0, 0, 0, 1}), rows(3, {1, 0, 0, 0, 1, 0, 0, 0, 1})},
      // Tied pivots (1,2) and (2,1): the first of the row scan is taken.
      {2, rows(2, {0, 1, 1, 0}), rows(2, {0, 1, 1, 0})},
      {1, rows(1, {4}), rows(1, {0.25})},
      // A 4-cycle: column interchanges must be undone in reverse order.
      {4, rows(4, {0, 0, 3, 0, 5, 0, 0, 0, 0, 0, 0, 2, 0, 4, 0, 0}),
       rows(4, {0, 0.2, 0, 0, 0, 0, 0, 0.25, 1.0 / 3, 0, 0, 0, 0, 0, 0.5, 0})},
      // Multipliers strictly inside +-1e-31 are flushed; 1e-31 itself is not.
      {2, rows(2, {1, 0, 1e-32, 1}), rows(2, {1, 0, 0, 1})},
      {2, rows(2, {1, 0, 1e-31, 1}), rows(2, {1, 0, -1e-31, 1})},
      {1, rows(1, {0}), {}},
      {2, rows(2, {0, 0, 0, 0}), {}},
      {2, rows(2, {1, 2, 2, 4}), {}},  // singular at the second step
  };
  for (const Case& c : cases) {
    Mat a = c.a;
    const int st = invert_in_place(a.data(), c.n, kLdC);
    if (c.inv.empty()) {
      EXPECT_NE(st, 0) << "n " << c.n;
      continue;
    }
    ASSERT_EQ(st, 0);
    // Bitwise, so that a signed zero from a wrong pivot order shows.
    EXPECT_EQ(std::memcmp(a.data(), c.inv.data(), a.size() * sizeof(double)), 0)
        << "n " << c.n << " a11 " << c.a[0];
  }
  Mat b = rows(2, {2, 1, 1, 3});
  ASSERT_EQ(invert_in_place(b.data(), 2, kLdC), 0);
  const double want[] = {0.6, -0.2, -0.2, 0.4};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(b[at(kLdC, 1 + k / 2, 1 + k % 2)], want[k], 1e-15);

  Mat nan(kLdC * kLdC, std::nan(""));  // n = 0 touches nothing
  const Mat nan0 = nan;
  EXPECT_EQ(invert_in_place(nan.data(), 0, kLdC), 0);
  EXPECT_EQ(std::memcmp(nan.data(), nan0.data(), nan.size() * sizeof(double)), 0);
}

TEST(Invert, RandomMatricesInvertInsideTheBlock) {
  test::Lcg rng{12345};
  for (int n = 1; n <= 12; ++n) {
    Mat a(kLdC * kLdC, 99.0);
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) a[at(kLdC, i, j)] = 2 * rng.unif() - 1 + (i == j ? 3 : 0);
    const Mat a0 = a;
    ASSERT_EQ(invert_in_place(a.data(), n, kLdC), 0);
    for (int i = 1; i <= kLdC; ++i)
      for (int j = 1; j <= kLdC; ++j) {
        if (i > n || j > n) {
          ASSERT_EQ(a[at(kLdC, i, j)], 99.0);
          continue;
        }
        long double s = 0;
        for (int k = 1; k <= n; ++k) s += (long double)a[at(kLdC, i, k)] * a0[at(kLdC, k, j)];
        EXPECT_NEAR(static_cast<double>(s), i == j ? 1.0 : 0.0, 1e-13);
      }
  }
}

}  // namespace
}  // namespace kov
