#include "harmonic/matinv.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "harmonic/dims.hpp"

namespace kov {
namespace {

// Column-major matrix of leading dimension 50 from rows given row by row.
std::vector<double> FromRows(int n, std::initializer_list<double> rows) {
  std::vector<double> a(kLdC * kLdC, 0.0);
  auto it = rows.begin();
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[at(kLdC, i, j)] = *it++;
  return a;
}

double El(const std::vector<double>& a, int i, int j) {
  return a[at(kLdC, i, j)];
}

TEST(Matinv, SmallCasesWithKnownInverses) {
  std::vector<double> id = FromRows(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  const std::vector<double> id0 = id;
  EXPECT_EQ(matinv(id.data(), 3, kLdC), 0);
  EXPECT_EQ(id, id0);

  // Both off-diagonal ones tie; the first met in the row scan is (1,2), so a
  // row interchange and its column interchange both happen.
  std::vector<double> swap = FromRows(2, {0, 1, 1, 0});
  const std::vector<double> swap0 = swap;
  EXPECT_EQ(matinv(swap.data(), 2, kLdC), 0);
  EXPECT_EQ(swap, swap0);

  std::vector<double> a = FromRows(2, {2, 1, 1, 3});
  EXPECT_EQ(matinv(a.data(), 2, kLdC), 0);
  EXPECT_NEAR(El(a, 1, 1), 0.6, 1e-15);
  EXPECT_NEAR(El(a, 1, 2), -0.2, 1e-15);
  EXPECT_NEAR(El(a, 2, 1), -0.2, 1e-15);
  EXPECT_NEAR(El(a, 2, 2), 0.4, 1e-15);

  std::vector<double> one = FromRows(1, {4});
  EXPECT_EQ(matinv(one.data(), 1, kLdC), 0);
  EXPECT_EQ(El(one, 1, 1), 0.25);
}

TEST(Matinv, PermutationInverseIsItsTranspose) {
  // A 4-cycle needs several interchanges; undoing them in the wrong order
  // would not give the transpose.
  std::vector<double> a = FromRows(4, {0, 0, 3, 0,  //
                                       5, 0, 0, 0,  //
                                       0, 0, 0, 2,  //
                                       0, 4, 0, 0});
  const std::vector<double> a0 = a;
  ASSERT_EQ(matinv(a.data(), 4, kLdC), 0);
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j)
      EXPECT_EQ(El(a, i, j), El(a0, j, i) == 0 ? 0.0 : 1.0 / El(a0, j, i))
          << i << "," << j;
}

TEST(Matinv, SingularAtFirstAndLaterSteps) {
  std::vector<double> zero = FromRows(2, {0, 0, 0, 0});
  EXPECT_NE(matinv(zero.data(), 2, kLdC), 0);
  std::vector<double> z1 = FromRows(1, {0});
  EXPECT_NE(matinv(z1.data(), 1, kLdC), 0);

  // Rank one: the first step succeeds (pivot 4), the second finds 0 exactly.
  std::vector<double> r1 = FromRows(2, {1, 2, 2, 4});
  const std::vector<double> r10 = r1;
  EXPECT_NE(matinv(r1.data(), 2, kLdC), 0);
  EXPECT_NE(r1, r10);  // one elimination step ran before the failure
}

TEST(Matinv, SmallMultipliersAreFlushedStrictly) {
  std::vector<double> a = FromRows(2, {1, 0, 1e-32, 1});
  ASSERT_EQ(matinv(a.data(), 2, kLdC), 0);
  EXPECT_EQ(a, FromRows(2, {1, 0, 0, 1}));

  std::vector<double> b = FromRows(2, {1, 0, 1e-31, 1});  // at the threshold
  ASSERT_EQ(matinv(b.data(), 2, kLdC), 0);
  EXPECT_EQ(El(b, 2, 1), -1e-31);
}

TEST(Matinv, OrderZeroTouchesNothing) {
  std::vector<double> a(kLdC * kLdC);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::nan("") ;
  std::vector<std::uint64_t> before(a.size());
  std::memcpy(before.data(), a.data(), a.size() * sizeof(double));
  EXPECT_EQ(matinv(a.data(), 0, kLdC), 0);
  EXPECT_EQ(std::memcmp(before.data(), a.data(), a.size() * sizeof(double)), 0);
}

TEST(Matinv, RandomMatricesInvertAndStayInsideTheBlock) {
  std::uint64_t state = 12345;
  auto rnd = [&state]() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1.0p-53 * 2.0 - 1.0;
  };
  for (int n = 1; n <= 12; ++n) {
    const double fill = 99.0;
    std::vector<double> a(kLdC * kLdC, fill);
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) a[at(kLdC, i, j)] = rnd() + (i == j ? 3.0 : 0.0);
    const std::vector<double> a0 = a;
    ASSERT_EQ(matinv(a.data(), n, kLdC), 0);
    for (int i = 1; i <= n; ++i) {
      for (int j = 1; j <= n; ++j) {
        long double s = 0;
        for (int k = 1; k <= n; ++k) s += (long double)El(a, i, k) * El(a0, k, j);
        EXPECT_NEAR(static_cast<double>(s), i == j ? 1.0 : 0.0, 1e-13);
      }
      for (int j = n + 1; j <= kLdC; ++j) EXPECT_EQ(El(a, i, j), fill);
    }
    for (int i = n + 1; i <= kLdC; ++i) EXPECT_EQ(El(a, i, 1), fill);
  }
}

}  // namespace
}  // namespace kov
