#include "harmonic/fit_cache.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "harmonic/best_subset.hpp"
#include "harmonic/design_matrix.hpp"
#include "harmonic/best_subset_fast.hpp"
#include "harmonic/fixed_fit.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

using Use = std::vector<std::uint8_t>;

bool same_bits(const double* a, const double* b, int n) {
  return std::memcmp(a, b, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

// Differential sweep of the fits, the plain one the reference of every
// output bit: the fast fit on its own without the cache, and the same series
// in groups of 1 to 16 through the cache (a group of one is the cached fast
// fit). Per design (the buffer rewritten in place, so a kept reduction must
// never serve another design at the same address) a small pool of flag
// patterns, more than the small arena holds, is shared by series of every
// kind: seasonal curves overshooting [0, 1] (retries, failures), constants,
// basis combinations, far scales, ties, and non-finite or huge samples
// (flagged or not: a lane fitted on its own). Skipping is on in both.
class FitSweep : public ::testing::Test {
 protected:
  std::unique_ptr<BestSubsetScratch> plain_ = std::make_unique<BestSubsetScratch>();
  std::unique_ptr<BestSubsetFastScratch> bare_ = std::make_unique<BestSubsetFastScratch>(),
                                         fast_ = std::make_unique<BestSubsetFastScratch>();
  FitCache cache_{true, 1 << 17};
  test::Lcg rng_{1};
  std::vector<double> f_ = std::vector<double>(kLdT * kMaxCols);
  int retried_ = 0, failed_ = 0;

  struct Out {
    std::vector<double> coef, fit;
    int order;
    double crit = 7.0;
    bool operator==(const Out& o) const {
      return order == o.order && same_bits(&crit, &o.crit, 1) &&
             same_bits(coef.data(), o.coef.data(), static_cast<int>(coef.size())) &&
             same_bits(fit.data(), o.fit.data(), static_cast<int>(fit.size()));
    }
  };

  void same(int n, int nfunc, const std::vector<std::vector<double>>& y, const Use& use,
            int order) {
    const int g = static_cast<int>(y.size()), nc = 2 * nfunc + 4;
    const Out fresh{std::vector<double>(nc, 7.0), std::vector<double>(n, 7.0), order};
    std::vector<Out> grp(g, fresh);
    std::vector<const double*> yp(g);
    std::vector<double*> cp(g), fp(g);
    std::vector<double> crit(g);
    std::vector<int> o(g, order);
    for (int l = 0; l < g; ++l) yp[l] = y[l].data(), cp[l] = grp[l].coef.data(), fp[l] = grp[l].fit.data();
    fit_best_subset_group(g, n, nfunc, yp.data(), use.data(), f_.data(), cp.data(), fp.data(),
                          o.data(), crit.data(), *fast_, &cache_);
    for (int l = 0; l < g && !HasFatalFailure(); ++l) {
      Out want = fresh, bare = fresh;
      grp[l].order = o[l], grp[l].crit = crit[l];
      fit_best_subset(n, nfunc, y[l].data(), use.data(), f_.data(), want.coef.data(),
                      want.fit.data(), want.order, want.crit, *plain_);
      fit_best_subset_fast(n, nfunc, y[l].data(), use.data(), f_.data(), bare.coef.data(),
                           bare.fit.data(), bare.order, bare.crit, *bare_);
      retried_ += want.order != order && want.order > 0;
      failed_ += want.order == -1 && order > 0;
      ASSERT_TRUE(want == bare && want == grp[l])
          << "n=" << n << " nfunc=" << nfunc << " order=" << order << " lane " << l << " of "
          << g << ": " << want.order << "/" << bare.order << "/" << grp[l].order;
    }
  }

  std::vector<double> series(int n, int npoint, int nfunc) {
    std::vector<double> y(n);
    const double c = rng_.unif(), sc = c < 0.5 ? 1e-25 : 1e80, amp = 0.3 + 2 * rng_.unif();
    const double base = 0.15 + 0.2 * rng_.unif(), phase = 6.2831853 * rng_.unif();
    const int kind = rng_.pick(0, 7);
    for (int t = 1; t <= n; ++t) {
      double& v = y[t - 1];
      const double a = 6.283185307179586 * t / npoint + phase, u = rng_.unif();
      if (kind <= 2) {
        v = base + amp * (0.5 + 0.5 * std::sin(a)) + 0.1 * amp * std::sin(2 * a + 1.0);
        v = u < 0.12 ? v * 0.3 : u < 0.15 ? v + 0.4 : v + 0.02 * (u - 0.5);
      } else if (kind == 3) {
        v = c;
      } else if (kind == 4) {
        for (int j = 1; j <= 2 * nfunc + 2; ++j)
          v += (j == 1 ? 0.5 : 0.1 * (j % 3)) * f_[at(kLdT, t, j)];
      } else {
        v = kind == 5 ? sc * (u - 0.3) : kind == 6 ? std::floor(u * 4) / 4 : u;
      }
    }
    const double bad[] = {NAN, INFINITY, -INFINITY, 1e200, -0.0};
    if (rng_.unif() < 0.05) y[rng_.pick(0, n - 1)] = bad[rng_.pick(0, 4)];
    return y;
  }
};

TEST_F(FitSweep, FastCachedAndGroupedFitsMatchThePlainFitBitForBit) {
  int n = 0, nfunc = 0;
  std::vector<Use> pool;
  for (int round = 0; round < 36 && !HasFatalFailure(); ++round) {
    // Every fourth round keeps the flags and sizes of the last one: only the
    // design changes (another period), under the kept reductions.
    if (round % 4 != 3) {
      n = round % 3 == 0 ? 46 : round % 8 == 7 ? rng_.pick(150, 200) : rng_.pick(3, 70);
      nfunc = rng_.pick(0, 8);
      // Flags: all, none, dense, sparse, or a few steps (often fewer than columns).
      pool.assign(rng_.pick(1, 12), Use(n));
      for (Use& use : pool) {
        const double p[] = {1.0, 0.0, 0.85, 0.5 + 0.5 * rng_.unif(), 0.0};
        const int kind = rng_.pick(0, 4);
        for (auto& u : use) u = rng_.unif() < p[kind];
        for (int i = kind == 4 ? rng_.pick(1, 12) : 0; i > 0; --i) use[rng_.pick(0, n - 1)] = 1;
      }
    }
    const int npoint = rng_.pick(std::max(3, n / 2), n + 10);
    const auto d = design_matrix(n, npoint, nfunc);
    std::copy(d.begin(), d.end(), f_.begin());
    for (int c = 0; c < 48 && !HasFatalFailure(); ++c) {
      const Use& use = pool[rng_.pick(0, static_cast<int>(pool.size()) - 1)];
      std::vector<std::vector<double>> y(c % 4 == 0 ? rng_.pick(2, kMaxGroup) : 1);
      for (auto& v : y) v = series(n, npoint, nfunc);
      same(n, nfunc, y, use, c % 17 == 0 ? rng_.pick(-1, 0) : rng_.pick(1, std::min(nfunc, 6)));
      // The fixed-basis fit with its kept inverse, against a fresh one.
      std::vector<double> g1(8), g2(8), z1(n), z2(n);
      fit_fixed_basis(n, std::min(nfunc, 3), y[0].data(), use.data(), f_.data(), g1.data(),
                      z1.data());
      fit_fixed_basis(n, std::min(nfunc, 3), y[0].data(), use.data(), f_.data(), g2.data(),
                      z2.data(), &cache_);
      ASSERT_TRUE(same_bits(g1.data(), g2.data(), 8) && same_bits(z1.data(), z2.data(), n));
    }
  }
  // Designs of unit columns: exact ties between term lists, and zero pivots
  // with a nonzero norm below.
  std::fill(f_.begin(), f_.end(), 0.0);
  for (int j = 1; j <= 8; ++j) f_[at(kLdT, j, j)] = 1.0;
  same(9, 3, {{1.0, 0.0, 0.25, 0.0, 0.25, 0.0, 0.25, 0.0, 0.0}}, Use(9, 1), 3);
  for (int c = 0; c < 20 && !HasFatalFailure(); ++c) {
    for (int t = 1; t <= 30; ++t)
      for (int j = 2; j <= 14; ++j) f_[at(kLdT, t, j)] = t == j ? 0.0 : rng_.unif() - 0.5;
    std::vector<std::vector<double>> y(3, std::vector<double>(30));
    for (auto& v : y)
      for (double& x : v) x = rng_.unif();
    same(30, 6, y, Use(30, 1), 6);
  }
  const FitCache::Stats& s = cache_.stats();
  EXPECT_GT(s.reduction_hits, s.reductions / 2);
  EXPECT_GT(s.winner_hits, 500);
  EXPECT_GT(s.fixed_hits, s.fixed / 4);
  EXPECT_GT(retried_, 50);
  EXPECT_GT(failed_, 20);
  for (const auto* ws : {bare_.get(), fast_.get()}) {
    EXPECT_GT(ws->stats.skipped, ws->stats.applied / 20);
    EXPECT_GT(ws->stats.fallbacks, 5);
  }
  EXPECT_GT(fast_->stats.grouped, 150);
}

}  // namespace
}  // namespace kov
