#include "harmonic/best_subset_fast.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "test/support.hpp"
#include "harmonic/best_subset.hpp"

namespace kov {
namespace {

// Differential harness: the plain routine is the reference, compared bit for
// bit (coefficients, fitted series, order, criterion); one scratch of each
// serves every call, whatever its size.
class BestSubsetFastTest : public ::testing::Test {
 protected:
  std::unique_ptr<BestSubsetScratch> plain_ = std::make_unique<BestSubsetScratch>();
  std::unique_ptr<BestSubsetFastScratch> fast_ = std::make_unique<BestSubsetFastScratch>();
  test::Lcg rng_{1};
  int cases_ = 0, retried_ = 0, failed_ = 0, few_ = 0;

  void same(int n, int nfunc, const std::vector<double>& y,
            const std::vector<std::uint8_t>& use, const std::vector<double>& f, int order) {
    const int nc = 2 * nfunc + 4;
    std::vector<double> c1(nc, 7.0), c2(nc, 7.0), f1(n, 7.0), f2(n, 7.0);
    int o1 = order, o2 = order;
    double k1 = 7.0, k2 = 7.0;
    fit_best_subset(n, nfunc, y.data(), use.data(), f.data(), c1.data(), f1.data(), o1, k1, *plain_);
    fit_best_subset_fast(n, nfunc, y.data(), use.data(), f.data(), c2.data(), f2.data(), o2, k2, *fast_);
    ++cases_;
    retried_ += o1 != order && order > 0;
    failed_ += o1 == -1;
    int flagged = 0;
    for (auto u : use) flagged += u != 0;
    few_ += flagged > 0 && flagged < 2 * nfunc + 3;
    ASSERT_TRUE(o1 == o2 && std::memcmp(&k1, &k2, 8) == 0 &&
                std::memcmp(c1.data(), c2.data(), 8 * nc) == 0 &&
                std::memcmp(f1.data(), f2.data(), 8 * n) == 0)
        << "case " << cases_ << ": n=" << n << " nfunc=" << nfunc << " order=" << order
        << " -> " << o1 << "/" << o2 << " crit " << k1 << "/" << k2;
  }

  // Vegetation-like seasonal curve (amp > 1 overshoots [0, 1]) with cloud
  // dips, bright spikes and noise.
  std::vector<double> vegetation(int n, int npoint, double amp) {
    std::vector<double> y(n);
    const double base = 0.15 + 0.2 * rng_.unif(), phase = 6.2831853 * rng_.unif();
    for (int t = 0; t < n; ++t) {
      const double a = 6.283185307179586 * (t + 1) / npoint + phase;
      y[t] = base + amp * (0.5 + 0.5 * std::sin(a)) + 0.1 * amp * std::sin(2 * a + 1.0) +
             0.02 * (rng_.unif() - 0.5);
      const double u = rng_.unif();
      if (u < 0.12) y[t] *= 0.2 + 0.5 * rng_.unif();
      else if (u < 0.15) y[t] += 0.4 * rng_.unif();
    }
    return y;
  }

  std::vector<double> series(int n, int npoint, int nfunc, const std::vector<double>& f,
                             int kind) {
    std::vector<double> y(n);
    const double c = rng_.unif(), sc = c < 0.5 ? 1e-25 : 1e80;
    switch (kind) {
      case 0: return vegetation(n, npoint, 0.3 + 0.4 * rng_.unif());
      case 1: return vegetation(n, npoint, 1.2 + rng_.unif());  // retries, failures
      case 2: for (double& v : y) v = c; return y;               // constant
      case 3:                                                    // basis combination
        for (int j = 1; j <= 2 * nfunc + 2; ++j) {
          const double w = j == 1 ? 0.5 : rng_.unif() < 0.4 ? 0.2 * (rng_.unif() - 0.5) : 0.0;
          for (int t = 1; t <= n; ++t) y[t - 1] += w * f[at(kLdT, t, j)];
        }
        return y;
      case 4: for (double& v : y) v = sc * (rng_.unif() - 0.3); return y;  // far scales
      case 5: for (double& v : y) v = std::floor(rng_.unif() * 4) / 4; return y;  // ties
      default: for (double& v : y) v = rng_.unif(); return y;
    }
  }

  // Flags: all, none, dense, sparse, or a few steps (often fewer than columns).
  std::vector<std::uint8_t> flags(int n) {
    std::vector<std::uint8_t> use(n, 0);
    const double p[] = {1.0, 0.0, 0.85, 0.4};
    const int kind = rng_.pick(0, 4);
    if (kind == 4) {
      for (int i = rng_.pick(1, std::min(n, 12)); i > 0; --i) use[rng_.pick(0, n - 1)] = 1;
    } else {
      for (auto& u : use) u = rng_.unif() < p[kind];
    }
    return use;
  }

  void sweep(int count, int nmin, int nmax, int omax, std::uint64_t seed) {
    rng_.s = seed;
    for (int c = 0; c < count && !HasFatalFailure(); ++c) {
      const int n = rng_.pick(nmin, nmax), nfunc = rng_.pick(0, 8);
      const int npoint = rng_.pick(std::max(3, n / 2), n + 10);
      const auto f = test::design(n, npoint, nfunc);
      const auto use = flags(n);
      const auto y = series(n, npoint, nfunc, f, rng_.pick(0, 6));
      same(n, nfunc, y, use, f, rng_.pick(-1, std::min(nfunc, omax)));
    }
  }
};

TEST_F(BestSubsetFastTest, RandomAndAdversarialInputsMatchBitForBit) {
  sweep(2500, 3, 60, 4, 1);
  sweep(300, 3, 200, 3, 2);
  sweep(150, 30, 60, 6, 3);
  for (int c = 0; c < 60 && !HasFatalFailure(); ++c) {  // default options
    const auto y = vegetation(46, 46, 0.2 + 0.6 * rng_.unif());
    std::vector<std::uint8_t> use(46);
    for (int t = 0; t < 46; ++t) use[t] = !(y[t] < 0.25 && rng_.unif() < 0.7);
    same(46, 6, y, use, test::design(46, 46, 6), 6 - c % 4);
  }
  // The lowered order limits, the failure marker and the short systems are
  // compared, not only first attempts.
  EXPECT_GT(retried_, 100);
  EXPECT_GT(failed_, 20);
  EXPECT_GT(few_, 200);
}

TEST_F(BestSubsetFastTest, NonFiniteAndHugeSamples) {
  const auto f = test::design(24, 12, 3);
  for (double bad : {double(NAN), double(INFINITY), -double(INFINITY), 1e200, -0.0})
    for (int where = 0; where < 3; ++where) {
      std::vector<double> y = vegetation(24, 12, 0.5);
      std::vector<std::uint8_t> use(24, 1);
      y[7] = bad;
      if (where == 1) use[7] = 0;  // unflagged: never enters the fit
      if (where == 2) y[0] = -0.0;
      same(24, 3, y, use, f, 3);
    }
}

// Designs of unit columns: exact ties between term lists (the first scored
// wins), and zero pivots with a nonzero norm below them.
TEST_F(BestSubsetFastTest, TiesAndZeroPivots) {
  std::vector<double> f(kLdT * kMaxCols, 0.0);
  for (int j = 1; j <= 8; ++j) f[at(kLdT, j, j)] = 1.0;
  same(9, 3, {1.0, 0.0, 0.25, 0.0, 0.25, 0.0, 0.25, 0.0, 0.0}, std::vector<std::uint8_t>(9, 1), f, 3);
  for (int c = 0; c < 20 && !HasFatalFailure(); ++c) {
    for (int t = 1; t <= 30; ++t)
      for (int j = 2; j <= 14; ++j) f[at(kLdT, t, j)] = t == j ? 0.0 : rng_.unif() - 0.5;
    same(30, 6, series(30, 30, 6, f, 6), std::vector<std::uint8_t>(30, 1), f, 6);
  }
}

}  // namespace
}  // namespace kov
