#include "harmonic/houseapplyfast.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "harmonic/houseformfast.hpp"
#include "harmonic/housev.hpp"

namespace kov {
namespace {

// The restricted reflection (rows from the pivot down, elements formed on the
// fly) against the explicit full-size product of housev, bit for bit: every
// row from the pivot down, every column, and rows above the pivot untouched.
TEST(HouseApplyFast, MatchesExplicitReflectionBitForBit) {
  auto ws = std::make_unique<HousevScratch>();
  std::mt19937_64 rng(11);
  auto unif = [&rng] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
  double v[kMaxSteps + kFastSlack];
  double bv[kMaxSteps + kFastSlack];
  int compared = 0;
  for (int c = 0; c < 400; ++c) {
    const int nrow = 1 + static_cast<int>(rng() % 70);
    const int ncol = 1 + static_cast<int>(rng() % 13);
    const int irow = 1 + static_cast<int>(rng() % nrow);
    const int icol = 1 + static_cast<int>(rng() % ncol);
    std::vector<double> a(static_cast<std::size_t>(kLdT) * kMaxCols, 0.0);
    const double scale = (c % 5 == 0) ? 1e-40 : 1.0;
    for (int j = 1; j <= ncol; ++j)
      for (int i = 1; i <= nrow; ++i)
        a[at(kLdT, i, j)] = (c % 7 == 0 && unif() < 0.3)
                                ? 0.0  // exact zeros, also the pivot
                                : scale * (unif() - 0.5);
    std::vector<double> ref = a;
    housev(ref.data(), nrow, ncol, irow, icol, *ws);

    const int m = nrow - irow + 1;
    std::vector<double> out(static_cast<std::size_t>(ncol) * (m + kFastSlack));
    std::vector<const double*> src(ncol);
    std::vector<double*> dst(ncol);
    for (int j = 0; j < ncol; ++j) {
      src[j] = &a[at(kLdT, irow, j + 1)];
      dst[j] = &out[static_cast<std::size_t>(j) * (m + kFastSlack)];
    }
    if (!houseformfast(src[icol - 1], m, v, bv)) {
      EXPECT_EQ(0, std::memcmp(a.data(), ref.data(), sizeof(double) * a.size()));
      continue;
    }
    houseapplyfast(v, bv, m, m, src.data(), dst.data(), ncol);
    for (int j = 1; j <= ncol; ++j) {
      for (int i = 1; i < irow; ++i)
        ASSERT_EQ(0, std::memcmp(&a[at(kLdT, i, j)], &ref[at(kLdT, i, j)], 8));
      ASSERT_EQ(0, std::memcmp(dst[j - 1], &ref[at(kLdT, irow, j)],
                               sizeof(double) * m))
          << "case " << c << " column " << j;
    }
    ++compared;
  }
  EXPECT_GT(compared, 300);
}

// A partial product (first nr rows) gives the same leading rows.
TEST(HouseApplyFast, LeadingRowsOnly) {
  std::mt19937_64 rng(12);
  const int m = 37;
  double col[m];
  for (double& e : col) e = static_cast<double>(rng() >> 11) * 0x1.0p-53 - 0.3;
  double v[m + kFastSlack];
  double bv[m + kFastSlack];
  ASSERT_TRUE(houseformfast(col, m, v, bv));
  const double* src[1] = {col};
  double full[m + kFastSlack];
  double part[m + kFastSlack];
  double* d1[1] = {full};
  double* d2[1] = {part};
  houseapplyfast(v, bv, m, m, src, d1, 1);
  for (int nr = 1; nr <= m; nr += 5) {
    houseapplyfast(v, bv, m, nr, src, d2, 1);
    EXPECT_EQ(0, std::memcmp(full, part, sizeof(double) * nr)) << nr;
  }
}

}  // namespace
}  // namespace kov
