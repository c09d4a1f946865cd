#include "harmonic/best_subset.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "test/support.hpp"

namespace kov {
namespace {

constexpr long double kPiF = 3.1415927410125732L;
const double kW = 2.0 * 3.141592653589793 / 46.0;

struct Series {
  int n;
  std::vector<double> y;
  std::vector<std::uint8_t> use;
};

struct Result {
  std::vector<double> coef, fit;
  int order;
  double crit;
  int mask = 0;  // harmonic positions with a nonzero coefficient pair
};

Result fit7(const Series& s, const std::vector<double>& f, int nfunc, int order,
            BestSubsetScratch* ws = nullptr) {
  auto own = std::make_unique<BestSubsetScratch>();
  Result r{std::vector<double>(2 * nfunc + 4, 123.0), std::vector<double>(s.n, 123.0),
           order, 0.0};
  fit_best_subset(s.n, nfunc, s.y.data(), s.use.data(), f.data(), r.coef.data(), r.fit.data(),
        r.order, r.crit, ws ? *ws : *own);
  for (int q = 1; q <= nfunc; ++q)
    if (r.coef[2 * q] != 0.0 || r.coef[2 * q + 1] != 0.0) r.mask |= 1 << (q - 1);
  return r;
}

Series make(int n, double (*g)(int)) {
  Series s{n, std::vector<double>(n), std::vector<std::uint8_t>(n, 1)};
  for (int t = 1; t <= n; ++t) s.y[t - 1] = g(t);
  return s;
}

double noise(int t) { return 0.01 * std::sin(12.9898 * t * t + 78.233 * t); }

// Independent least squares for the harmonic positions in mask (bit q-1 =
// position q): normal equations solved in long double by Gauss-Jordan.
struct Brute {
  long double aic, fmin = 1e300L, fmax = -1e300L;
  std::vector<long double> fit;
};

Brute solve(const Series& s, const std::vector<double>& f, int mask) {
  std::vector<int> cols = {1, 2};
  for (int q = 1; q <= 24; ++q)
    if (mask >> (q - 1) & 1) cols.insert(cols.end(), {2 * q + 1, 2 * q + 2});
  const int d = static_cast<int>(cols.size()), w = d + 1;
  std::vector<long double> a(d * w, 0.0L);  // augmented, row-major
  int u = 0;
  for (int t = 1; t <= s.n; ++t) {
    if (!s.use[t - 1]) continue;
    ++u;
    for (int i = 0; i < d; ++i) {
      const long double fi = f[at(kLdT, t, cols[i])];
      for (int j = 0; j < d; ++j) a[i * w + j] += fi * f[at(kLdT, t, cols[j])];
      a[i * w + d] += fi * s.y[t - 1];
    }
  }
  for (int c = 0; c < d; ++c)
    for (int r = 0; r < d; ++r) {
      if (r == c) continue;
      const long double g = a[r * w + c] / a[c * w + c];
      for (int j = 0; j <= d; ++j) a[r * w + j] -= g * a[c * w + j];
    }
  Brute b{0, 1e300L, -1e300L, {}};
  long double rss = 0;
  for (int t = 1; t <= s.n; ++t) {
    long double v = 0;
    for (int i = 0; i < d; ++i) v += a[i * w + d] / a[i * w + i] * f[at(kLdT, t, cols[i])];
    b.fit.push_back(v);
    b.fmin = std::min(b.fmin, v);
    b.fmax = std::max(b.fmax, v);
    if (s.use[t - 1]) rss += (s.y[t - 1] - v) * (s.y[t - 1] - v);
  }
  b.aic = u * std::log(2 * kPiF * rss / u) + u + (4 * __builtin_popcount(mask) + 6);
  return b;
}

// The winner over every nonempty subset of positions 1..order, by brute
// force, is the chosen set; its criterion and model match.
TEST(BestSubset, WinnerAgreesWithExhaustiveSearch) {
  struct Case {
    double (*g)(int);
    int order, want_mask;  // 0: whatever the search finds
  };
  const Case cases[] = {
      {[](int t) { return 0.5 + 0.2 * std::sin(kW * t) + noise(t); }, 1, 0b1},
      {[](int t) { return 0.5 + 0.1 * std::sin(kW * t) + 0.08 * std::cos(3 * kW * t) + noise(t); },
       3, 0b101},  // a set with a gap
      {[](int t) { return 0.4 + 0.001 * t + 0.1 * std::cos(2 * kW * t) + 0.05 * std::sin(4 * kW * t) + noise(t); },
       5, 0},
      {[](int t) { return 0.5 + 3 * noise(t); }, 4, 0},
  };
  const auto f = test::design(46, 46, 6);
  for (const Case& c : cases) {
    Series s = make(46, c.g);
    for (int t : {2, 9, 30}) s.use[t - 1] = 0;
    long double best = 1e300L, second = 1e300L;
    int best_mask = 0;
    for (int mask = 1; mask < (1 << c.order); ++mask) {
      const long double a = solve(s, f, mask).aic;
      if (a < best) {
        second = best;
        best = a;
        best_mask = mask;
      } else {
        second = std::min(second, a);
      }
    }
    if (c.order > 1) {
      ASSERT_GT(second - best, 1e-6);  // a clear winner
    }
    if (c.want_mask) {
      ASSERT_EQ(best_mask, c.want_mask);
    }
    const Result r = fit7(s, f, 6, c.order);
    EXPECT_EQ(r.order, c.order);
    EXPECT_EQ(r.mask, best_mask);
    EXPECT_NEAR(r.crit, static_cast<double>(best), 1e-9);
    const Brute b = solve(s, f, best_mask);
    for (int t = 0; t < 46; ++t) EXPECT_NEAR(r.fit[t], static_cast<double>(b.fit[t]), 1e-11);
  }
}

// A unit-vector design makes every reflection an exact signed row swap, so
// {1,2}, {1,3} and {2,3} tie to the last bit: the first scored, {1,2}, wins,
// and fitted values of exactly 0 and 1 are inside the range.
TEST(BestSubset, EqualCriteriaKeepTheFirstScored) {
  std::vector<double> f(kLdT * kMaxCols, 0.0);
  for (int j = 1; j <= 8; ++j) f[at(kLdT, j, j)] = 1.0;
  const Series s{9, {1.0, 0.0, 0.25, 0.0, 0.25, 0.0, 0.25, 0.0, 0.0},
                 std::vector<std::uint8_t>(9, 1)};
  const Result r = fit7(s, f, 3, 3);
  EXPECT_EQ(r.order, 3);
  const double want[10] = {1.0, 0.0, 0.25, 0.0, 0.25, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (int j = 0; j < 10; ++j) EXPECT_EQ(r.coef[j], want[j]) << j + 1;
  for (int t = 0; t < 9; ++t) EXPECT_EQ(r.fit[t], t < 8 ? want[t] : 0.0);
  EXPECT_NEAR(r.crit, static_cast<double>(9 * std::log(2 * kPiF * 0.0625L / 9) + 23), 1e-12);
}

// Twelve steps, positions 1 and 3 exactly: every list holding both fits
// exactly and is skipped, so {1} wins.
TEST(BestSubset, ExactFitsAreSkipped) {
  const auto f = test::design(12, 12, 3);
  const Series s = make(12, [](int t) {
    const double w = 2.0 * 3.141592653589793 / 12.0;
    return 0.2 + 0.1 * std::sin(w * t) + 0.05 * std::cos(3 * w * t);
  });
  const Result r = fit7(s, f, 3, 3);
  EXPECT_EQ(r.order, 3);
  EXPECT_EQ(r.mask, 0b001);
  EXPECT_NEAR(r.crit, -37.59, 0.005);
  EXPECT_NEAR(r.crit, static_cast<double>(solve(s, f, 1).aic), 1e-9);
}

TEST(BestSubset, RetriesAtLowerOrderThenFails) {
  const auto f = test::design(46, 46, 6);
  // Limit 2 picks {1,2}, which dips below 0; limit 1 gives {1}, inside.
  const Series ok = make(46, [](int t) {
    return 0.5 + 0.45 * std::sin(kW * t) + 0.1 * std::cos(2 * kW * t) + 0.5 * noise(t);
  });
  ASSERT_LT(solve(ok, f, 0b11).fmin, 0.0L);
  const Brute one = solve(ok, f, 0b01);
  ASSERT_TRUE(one.fmin >= 0.0L && one.fmax <= 1.0L);
  const Result r = fit7(ok, f, 6, 2);
  EXPECT_EQ(r.order, 1);
  EXPECT_EQ(r.mask, 0b01);
  EXPECT_NEAR(r.crit, static_cast<double>(one.aic), 1e-9);

  // Every attempt leaves [0, 1]: the failure marker, crit of the last attempt.
  const Series bad = make(46, [](int t) { return 0.05 + 0.3 * std::sin(kW * t) + noise(t); });
  const Result b = fit7(bad, f, 6, 2);
  EXPECT_EQ(b.order, -1);
  EXPECT_NEAR(b.crit, static_cast<double>(solve(bad, f, 0b01).aic), 1e-9);
  EXPECT_EQ(b.coef, std::vector<double>(16, 0.0));
  EXPECT_EQ(b.fit, std::vector<double>(46, -1.0));
}

// Nothing scored (a constant series, no flagged step) keeps the order limit
// with a zero model; an order limit of 0 or less fails at once.
TEST(BestSubset, NothingScoredAndNonPositiveOrder) {
  const auto f = test::design(46, 46, 6);
  Series flat = make(46, [](int) { return 0.3; });
  Series none = make(46, [](int t) { return 0.5 + noise(t); });
  std::fill(none.use.begin(), none.use.end(), 0);
  const Series wavy = make(46, [](int t) { return 0.5 + noise(t); });
  const struct { const Series* s; int order, want_order; double want_fit; } cases[] = {
      {&flat, 3, 3, 0.0}, {&none, 3, 3, 0.0}, {&wavy, 0, -1, -1.0}, {&wavy, -2, -1, -1.0}};
  for (const auto& c : cases) {
    const Result r = fit7(*c.s, f, 6, c.order);
    EXPECT_EQ(r.order, c.want_order);
    EXPECT_EQ(r.crit, 9.9e9);
    EXPECT_EQ(r.coef, std::vector<double>(16, 0.0));
    EXPECT_EQ(r.fit, std::vector<double>(46, c.want_fit));
  }
}

// With more columns than flagged steps the scoring reads rows no step loads;
// the result must not depend on what the scratch held before.
TEST(BestSubset, ResultDoesNotDependOnScratchHistory) {
  const auto f5 = test::design(5, 46, 6);
  const Series s{5, {0.40, 0.52, 0.47, 0.61, 0.55}, std::vector<std::uint8_t>(5, 1)};
  const Result ref = fit7(s, f5, 6, 6);
  EXPECT_NE(ref.crit, 9.9e9);  // something was scored
  auto junk = std::make_unique<BestSubsetScratch>();
  std::memset(static_cast<void*>(junk.get()), 0x7f, sizeof(BestSubsetScratch));
  auto used = std::make_unique<BestSubsetScratch>();
  fit7(make(46, [](int t) { return 0.5 + 0.3 * std::sin(kW * t) + noise(t); }),
       test::design(46, 46, 6), 6, 4, used.get());
  for (BestSubsetScratch* ws : {junk.get(), used.get()}) {
    const Result r = fit7(s, f5, 6, 6, ws);
    EXPECT_EQ(r.order, ref.order);
    EXPECT_EQ(std::memcmp(&r.crit, &ref.crit, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(r.coef.data(), ref.coef.data(), r.coef.size() * 8), 0);
    EXPECT_EQ(std::memcmp(r.fit.data(), ref.fit.data(), r.fit.size() * 8), 0);
  }
}

}  // namespace
}  // namespace kov
