// The best-subset fit: the chosen model against an exhaustive search, the
// retries and failures, and the fast path against the plain one, bit for bit.
#include "harmonic/best_subset.hpp"
#include "harmonic/best_subset_fast.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "harmonic/design_matrix.hpp"
#include "harmonic/fixed_fit.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

constexpr double kPiF = 3.1415927410125732;
const double kW = 2.0 * 3.141592653589793 / 46.0;

using Use = std::vector<std::uint8_t>;

struct Series {
  int n;
  std::vector<double> y;
  Use use;
};

Series make(int n, double (*g)(int)) {
  Series s{n, std::vector<double>(n), std::vector<std::uint8_t>(n, 1)};
  for (int t = 1; t <= n; ++t) s.y[t - 1] = g(t);
  return s;
}

double noise(int t) { return 0.01 * std::sin(12.9898 * t * t + 78.233 * t); }

// mask: the harmonic positions with a nonzero coefficient pair.
struct Result { std::vector<double> coef, fit; int order; double crit = 0.0; int mask = 0; };

Result fit(const Series& s, const std::vector<double>& f, int nfunc, int order) {
  auto ws = std::make_unique<BestSubsetScratch>();
  Result r{std::vector<double>(2 * nfunc + 4, 123.0), std::vector<double>(s.n, 123.0), order};
  fit_best_subset(s.n, nfunc, s.y.data(), s.use.data(), f.data(), r.coef.data(), r.fit.data(),
                  r.order, r.crit, *ws);
  for (int q = 1; q <= nfunc; ++q)
    if (r.coef[2 * q] != 0.0 || r.coef[2 * q + 1] != 0.0) r.mask |= 1 << (q - 1);
  return r;
}

// Least squares over the flagged steps for the harmonic positions in mask
// (bit q-1 = position q) through the normal equations of the fixed-basis fit
// on a design holding only the chosen columns, and its criterion.
struct Reference {
  double aic, lo = 1e300;
  std::vector<double> fit;
};

Reference reference(const Series& s, const std::vector<double>& f, int mask) {
  std::vector<double> g(kLdT * kMaxCols, 0.0), coef(kMaxCols);
  int m = 0;
  for (int j = 1; j <= kMaxCols; ++j) {
    if (j > 2 && !(mask >> ((j - 3) / 2) & 1)) continue;
    ++m;
    for (int t = 1; t <= s.n; ++t) g[at(kLdT, t, m)] = f[at(kLdT, t, j)];
  }
  Reference r{0.0, 1e300, std::vector<double>(s.n)};
  fit_fixed_basis(s.n, m / 2 - 1, s.y.data(), s.use.data(), g.data(), coef.data(), r.fit.data());
  double rss = 0.0, u = 0.0;
  for (int t = 0; t < s.n; ++t) {
    if (s.use[t]) {
      rss += (s.y[t] - r.fit[t]) * (s.y[t] - r.fit[t]);
      u += 1.0;
    }
    r.lo = std::min(r.lo, r.fit[t]);
  }
  // A candidate whose residual mean square is not above 1e-20 is not scored.
  const double penalty = 4 * __builtin_popcount(mask) + 6;
  r.aic = rss / u > 1e-20 ? u * std::log(2 * kPiF * rss / u) + u + penalty : 9.9e9;
  return r;
}

// Series of 46 steps: positions 1 and 3 (a set with a gap); a trend and 2
// and 4; 1 and 2 so deep that {1,2} dips below 0; every model outside [0, 1].
double gapped(int t) {
  return 0.5 + 0.1 * std::sin(kW * t) + 0.08 * std::cos(3 * kW * t) + noise(t);
}
double mixed(int t) {
  return 0.4 + 0.001 * t + 0.1 * std::cos(2 * kW * t) + 0.05 * std::sin(4 * kW * t) + noise(t);
}
double deep(int t) {
  return 0.5 + 0.45 * std::sin(kW * t) + 0.1 * std::cos(2 * kW * t) + 0.5 * noise(t);
}
double low(int t) { return 0.05 + 0.3 * std::sin(kW * t) + noise(t); }
double flat(int) { return 0.3; }
double wavy(int t) { return 0.5 + noise(t); }

// The chosen positions are those of the exhaustive search over every
// nonempty subset of positions 1..r (r the accepted order limit), with their
// criterion and model; a rejected attempt retries with r - 1 down to the
// failure marker (the criterion of the last attempt); nothing scored keeps
// the order limit with a zero model.
TEST(BestSubset, ChoiceRetriesAndFailures) {
  const struct {
    double (*g)(int);
    int order, want_order;
    bool flagged = true;  // else no step is
  } cases[] = {{gapped, 3, 3}, {mixed, 5, 5}, {deep, 2, 1},   {low, 2, -1},
               {flat, 3, 3},   {wavy, 3, 3, false}, {wavy, 0, -1}, {wavy, -2, -1}};
  const auto f = design_matrix(46, 46, 6);
  for (const auto& c : cases) {
    SCOPED_TRACE("order limit " + std::to_string(c.order));
    Series s = make(46, c.g);
    for (int t = 1; t <= 46; ++t) s.use[t - 1] = c.flagged && t != 2 && t != 9 && t != 30;
    double best = 9.9e9;
    int best_mask = 0;
    for (int mask = 1; mask < (1 << std::abs(c.want_order)) && c.order > 0; ++mask) {
      const double a = reference(s, f, mask).aic;
      if (a < best) {
        best = a;
        best_mask = mask;
      }
    }
    const Result r = fit(s, f, 6, c.order);
    EXPECT_EQ(r.order, c.want_order);
    EXPECT_NEAR(r.crit, best, 1e-9);
    if (c.want_order > 0 && best_mask != 0) {
      EXPECT_EQ(r.mask, best_mask);
      const Reference b = reference(s, f, best_mask);
      for (int t = 0; t < 46; ++t) EXPECT_NEAR(r.fit[t], b.fit[t], 1e-11);
    } else {
      EXPECT_EQ(r.coef, std::vector<double>(16, 0.0));
      EXPECT_EQ(r.fit, std::vector<double>(46, c.want_order > 0 ? 0.0 : -1.0));
    }
  }
}

}  // namespace
}  // namespace kov
