#include "harmonic/tfit7.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "harmonic/mkmat2.hpp"

namespace kov {
namespace {

constexpr long double kPiF = 3.1415927410125732L;

struct Series {
  int n;
  std::vector<double> y;
  std::vector<std::uint8_t> use;
};

struct Result {
  std::vector<double> coef;
  std::vector<double> fit;
  int order;
  double crit;
};

std::vector<double> Design(int ndat, int npoint, int nfunc) {
  std::vector<double> f(kLdT * kMaxCols, 0.0);
  mkmat2(ndat, npoint, nfunc, kNumk.data(), f.data());
  return f;
}

Result Fit7(const Series& s, const std::vector<double>& f, int nfunc, int order,
           Tfit7Scratch& ws) {
  Result r{std::vector<double>(2 * nfunc + 4, 123.0),
           std::vector<double>(s.n, 123.0), order, 0.0};
  tfit7(s.n, nfunc, s.y.data(), s.use.data(), f.data(), r.coef.data(),
        r.fit.data(), r.order, r.crit, ws);
  return r;
}

Result Fit7(const Series& s, const std::vector<double>& f, int nfunc, int order) {
  auto ws = std::make_unique<Tfit7Scratch>();
  return Fit7(s, f, nfunc, order, *ws);
}

double Noise(int t) { return 0.01 * std::sin(12.9898 * t * t + 78.233 * t); }

// Independent least squares for one subset of harmonic positions (bit q-1 of
// mask set = position q): normal equations solved in long double.
struct Brute {
  long double aic;
  std::vector<long double> coef;  // by design-matrix column, 1-based
  long double fmin, fmax;
};

Brute Solve(const Series& s, const std::vector<double>& f, int mask, int m) {
  std::vector<int> cols = {1, 2};
  for (int q = 1; q <= 24; ++q)
    if (mask & (1 << (q - 1))) {
      cols.push_back(2 * q + 1);
      cols.push_back(2 * q + 2);
    }
  const int d = static_cast<int>(cols.size());
  std::vector<long double> a(d * (d + 1), 0.0L);  // augmented, row-major
  int u = 0;
  for (int t = 1; t <= s.n; ++t) {
    if (!s.use[t - 1]) continue;
    ++u;
    for (int i = 0; i < d; ++i) {
      const long double fi = f[at(kLdT, t, cols[i])];
      for (int j = 0; j < d; ++j) a[i * (d + 1) + j] += fi * f[at(kLdT, t, cols[j])];
      a[i * (d + 1) + d] += fi * s.y[t - 1];
    }
  }
  for (int c = 0; c < d; ++c) {
    int p = c;
    for (int r = c + 1; r < d; ++r)
      if (std::fabs(a[r * (d + 1) + c]) > std::fabs(a[p * (d + 1) + c])) p = r;
    for (int j = 0; j <= d; ++j) std::swap(a[c * (d + 1) + j], a[p * (d + 1) + j]);
    for (int r = 0; r < d; ++r) {
      if (r == c) continue;
      const long double g = a[r * (d + 1) + c] / a[c * (d + 1) + c];
      for (int j = 0; j <= d; ++j) a[r * (d + 1) + j] -= g * a[c * (d + 1) + j];
    }
  }
  Brute b{0, std::vector<long double>(m + 1, 0.0L), 1e300L, -1e300L};
  for (int i = 0; i < d; ++i) b.coef[cols[i]] = a[i * (d + 1) + d] / a[i * (d + 1) + i];
  long double rss = 0;
  for (int t = 1; t <= s.n; ++t) {
    long double v = 0;
    for (int j = 1; j <= m; ++j) v += b.coef[j] * f[at(kLdT, t, j)];
    b.fmin = std::min(b.fmin, v);
    b.fmax = std::max(b.fmax, v);
    if (s.use[t - 1]) rss += (s.y[t - 1] - v) * (s.y[t - 1] - v);
  }
  const int nh = __builtin_popcount(mask);
  b.aic = u * std::log(2 * kPiF * rss / u) + u + (4 * nh + 6);
  return b;
}

// Mask of the harmonic positions whose coefficient pair is nonzero.
int ChosenMask(const Result& r, int nfunc) {
  int mask = 0;
  for (int q = 1; q <= nfunc; ++q)
    if (r.coef[2 * q] != 0.0 || r.coef[2 * q + 1] != 0.0) mask |= 1 << (q - 1);
  return mask;
}

Series Make(int n, double (*g)(int)) {
  Series s{n, std::vector<double>(n), std::vector<std::uint8_t>(n, 1)};
  for (int t = 1; t <= n; ++t) s.y[t - 1] = g(t);
  return s;
}

const double kW = 2.0 * 3.141592653589793 / 46.0;

TEST(Tfit7, OrderOneFitsConstantTrendAndFirstHarmonic) {
  const auto f = Design(46, 46, 6);
  const Series s = Make(46, [](int t) { return 0.5 + 0.2 * std::sin(kW * t) + Noise(t); });
  const Result r = Fit7(s, f, 6, 1);
  const Brute b = Solve(s, f, 1, 14);
  EXPECT_EQ(r.order, 1);
  EXPECT_NEAR(r.crit, static_cast<double>(b.aic), 1e-9);
  for (int j = 1; j <= 4; ++j) EXPECT_NEAR(r.coef[j - 1], static_cast<double>(b.coef[j]), 1e-11);
  for (int j = 5; j <= 16; ++j) EXPECT_EQ(r.coef[j - 1], 0.0);
}

TEST(Tfit7, WinnerAgreesWithExhaustiveSearch) {
  struct Case {
    double (*g)(int);
    int order;
    int expect_mask;  // 0: whatever the exhaustive search finds
  };
  const Case cases[] = {
      // A set with a gap: positions 1 and 3.
      {[](int t) { return 0.5 + 0.1 * std::sin(kW * t) + 0.08 * std::cos(3 * kW * t) + Noise(t); }, 3, 0b101},
      {[](int t) { return 0.4 + 0.001 * t + 0.1 * std::cos(2 * kW * t) + 0.05 * std::sin(4 * kW * t) + Noise(t); }, 5, 0},
      {[](int t) { return 0.5 + 3 * Noise(t); }, 4, 0},
  };
  const auto f = Design(46, 46, 6);
  for (const Case& c : cases) {
    Series s = Make(46, c.g);
    for (int t : {2, 9, 30}) s.use[t - 1] = 0;
    long double best = 1e300L, second = 1e300L;
    int best_mask = 0;
    for (int mask = 1; mask < (1 << c.order); ++mask) {
      const long double a = Solve(s, f, mask, 14).aic;
      if (a < best) {
        second = best;
        best = a;
        best_mask = mask;
      } else if (a < second) {
        second = a;
      }
    }
    ASSERT_GT(second - best, 1e-6);  // a clear winner, robust to rounding
    if (c.expect_mask != 0) {
      ASSERT_EQ(best_mask, c.expect_mask);
    }
    const Result r = Fit7(s, f, 6, c.order);
    EXPECT_EQ(r.order, c.order);
    EXPECT_EQ(ChosenMask(r, 6), best_mask);
    EXPECT_NEAR(r.crit, static_cast<double>(best), 1e-9);
    const Brute b = Solve(s, f, best_mask, 14);
    for (int t = 1; t <= 46; ++t) {
      long double v = 0;
      for (int j = 1; j <= 14; ++j) v += b.coef[j] * f[at(kLdT, t, j)];
      EXPECT_NEAR(r.fit[t - 1], static_cast<double>(v), 1e-11);
    }
  }
}

// Unit-vector design on which every reflection is an exact signed row swap,
// so equal residual sums are equal to the last bit: {1,2}, {1,3} and {2,3}
// tie, and the one scored first ({1,2}) must win.
TEST(Tfit7, EqualCriteriaKeepTheFirstScoredAndBoundsAreInclusive) {
  std::vector<double> f(kLdT * kMaxCols, 0.0);
  for (int j = 1; j <= 8; ++j) f[at(kLdT, j, j)] = 1.0;
  Series s{9, {1.0, 0.0, 0.25, 0.0, 0.25, 0.0, 0.25, 0.0, 0.0},
           std::vector<std::uint8_t>(9, 1)};
  const Result r = Fit7(s, f, 3, 3);
  EXPECT_EQ(r.order, 3);  // fitted values 1.0 and 0.0 are accepted
  const double want[10] = {1.0, 0.0, 0.25, 0.0, 0.25, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (int j = 0; j < 10; ++j) EXPECT_EQ(r.coef[j], want[j]) << j + 1;
  for (int t = 0; t < 9; ++t) EXPECT_EQ(r.fit[t], t < 8 ? want[t] : 0.0);
  EXPECT_NEAR(r.crit, static_cast<double>(9 * std::log(2 * kPiF * 0.0625L / 9) + 23), 1e-12);
}

TEST(Tfit7, NothingScoredGivesZeroModel) {
  const auto f = Design(46, 46, 6);
  Series flat = Make(46, [](int) { return 0.3; });
  Series none = Make(46, [](int t) { return 0.5 + Noise(t); });
  std::fill(none.use.begin(), none.use.end(), 0);
  for (const Series* s : {&flat, &none}) {
    const Result r = Fit7(*s, f, 6, 3);
    EXPECT_EQ(r.order, 3);
    EXPECT_EQ(r.crit, 9.9e9);
    for (double c : r.coef) EXPECT_EQ(c, 0.0);
    for (double v : r.fit) EXPECT_EQ(v, 0.0);
  }
}

TEST(Tfit7, ExactFitsAreSkipped) {
  const auto f = Design(12, 12, 3);
  const Series s = Make(12, [](int t) {
    const double w = 2.0 * 3.141592653589793 / 12.0;
    return 0.2 + 0.1 * std::sin(w * t) + 0.05 * std::cos(3 * w * t);
  });
  const Result r = Fit7(s, f, 3, 3);
  EXPECT_EQ(r.order, 3);
  EXPECT_EQ(ChosenMask(r, 3), 0b001);
  EXPECT_NEAR(r.crit, -37.59, 0.005);
  EXPECT_NEAR(r.crit, static_cast<double>(Solve(s, f, 1, 8).aic), 1e-9);
}

TEST(Tfit7, FitOutsideTheRangeIsRetriedWithLowerOrder) {
  const auto f = Design(46, 46, 6);
  // Limit 2 picks {1,2}, which dips below 0; limit 1 gives {1}, inside.
  const Series ok = Make(46, [](int t) {
    return 0.5 + 0.45 * std::sin(kW * t) + 0.1 * std::cos(2 * kW * t) + 0.5 * Noise(t);
  });
  ASSERT_LT(Solve(ok, f, 0b11, 14).fmin, 0.0L);
  const Brute one = Solve(ok, f, 0b01, 14);
  ASSERT_GE(one.fmin, 0.0L);
  ASSERT_LE(one.fmax, 1.0L);
  const Result r = Fit7(ok, f, 6, 2);
  EXPECT_EQ(r.order, 1);
  EXPECT_EQ(ChosenMask(r, 6), 0b01);
  EXPECT_NEAR(r.crit, static_cast<double>(one.aic), 1e-9);

  // Every attempt leaves [0, 1]: failure marker, crit of the last attempt.
  const Series bad = Make(46, [](int t) { return 0.05 + 0.3 * std::sin(kW * t) + Noise(t); });
  const Result b = Fit7(bad, f, 6, 2);
  EXPECT_EQ(b.order, -1);
  EXPECT_NEAR(b.crit, static_cast<double>(Solve(bad, f, 0b01, 14).aic), 1e-9);
  for (double c : b.coef) EXPECT_EQ(c, 0.0);
  for (double v : b.fit) EXPECT_EQ(v, -1.0);
}

TEST(Tfit7, NonPositiveOrderFailsAtOnce) {
  const auto f = Design(46, 46, 6);
  const Series s = Make(46, [](int t) { return 0.5 + Noise(t); });
  for (int order : {0, -2}) {
    const Result r = Fit7(s, f, 6, order);
    EXPECT_EQ(r.order, -1);
    EXPECT_EQ(r.crit, 9.9e9);
    for (double c : r.coef) EXPECT_EQ(c, 0.0);
    for (double v : r.fit) EXPECT_EQ(v, -1.0);
  }
}

// With more columns than flagged steps the scoring reads rows that no step
// loads; the result must not depend on what the scratch held before.
TEST(Tfit7, ResultDoesNotDependOnScratchHistory) {
  const auto f5 = Design(5, 46, 6);
  const Series s{5, {0.40, 0.52, 0.47, 0.61, 0.55}, std::vector<std::uint8_t>(5, 1)};

  auto clean = std::make_unique<Tfit7Scratch>();
  const Result ref = Fit7(s, f5, 6, 6, *clean);
  EXPECT_NE(ref.crit, 9.9e9);  // something was scored

  auto junk = std::make_unique<Tfit7Scratch>();
  std::memset(static_cast<void*>(junk.get()), 0x7f, sizeof(Tfit7Scratch));
  auto used = std::make_unique<Tfit7Scratch>();
  const auto f46 = Design(46, 46, 6);
  Fit7(Make(46, [](int t) { return 0.5 + 0.3 * std::sin(kW * t) + Noise(t); }), f46, 6, 4, *used);

  for (Tfit7Scratch* ws : {junk.get(), used.get(), clean.get()}) {
    const Result r = Fit7(s, f5, 6, 6, *ws);
    EXPECT_EQ(r.order, ref.order);
    EXPECT_EQ(std::memcmp(&r.crit, &ref.crit, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(r.coef.data(), ref.coef.data(), r.coef.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(r.fit.data(), ref.fit.data(), r.fit.size() * sizeof(double)), 0);
  }
}

}  // namespace
}  // namespace kov
