#include "harmonic/houseapplyfast.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "harmonic/houseformfast.hpp"
#include "harmonic/housev.hpp"
#include "harmonic/test_support.hpp"

namespace kov {
namespace {

// The restricted reflection (rows from the pivot down, elements formed on the
// fly) against the explicit product of housev, bit for bit: the leading nr
// rows of every column; a column that housev leaves alone is refused.
TEST(HouseApplyFast, MatchesExplicitReflectionBitForBit) {
  auto ws = std::make_unique<HousevScratch>();
  testing::Lcg rng{11};
  double v[kMaxSteps + kFastSlack], bv[kMaxSteps + kFastSlack];
  int compared = 0;
  for (int c = 0; c < 400; ++c) {
    const int nrow = rng.pick(1, 70), ncol = rng.pick(1, 13);
    const int irow = rng.pick(1, nrow), icol = rng.pick(1, ncol);
    const int m = nrow - irow + 1, nr = c % 3 ? m : rng.pick(1, m);
    std::vector<double> a(static_cast<std::size_t>(kLdT) * kMaxCols, 0.0);
    const double scale = c % 5 == 0 ? 1e-40 : 1.0;
    for (int j = 1; j <= ncol; ++j)
      for (int i = 1; i <= nrow; ++i)  // exact zeros too, also in the pivot
        a[at(kLdT, i, j)] = c % 7 == 0 && rng.unif() < 0.3 ? 0.0 : scale * (rng.unif() - 0.5);
    std::vector<double> ref = a;
    housev(ref.data(), nrow, ncol, irow, icol, *ws);

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
    houseapplyfast(v, bv, m, nr, src.data(), dst.data(), ncol);
    for (int j = 1; j <= ncol; ++j) {
      ASSERT_EQ(0, std::memcmp(&a[at(kLdT, 1, j)], &ref[at(kLdT, 1, j)], 8 * (irow - 1)));
      ASSERT_EQ(0, std::memcmp(dst[j - 1], &ref[at(kLdT, irow, j)], 8 * nr))
          << "case " << c << " column " << j;
    }
    ++compared;
  }
  EXPECT_GT(compared, 300);
}

}  // namespace
}  // namespace kov
