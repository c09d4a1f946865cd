#include "harmonic/fit_cache.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "harmonic/best_subset.hpp"
#include "harmonic/design_matrix.hpp"
#include "harmonic/best_subset_fast.hpp"
#include "harmonic/fixed_fit.hpp"
#include "pixel/pipeline.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

bool same_bits(const double* a, const double* b, int n) {
  return std::memcmp(a, b, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

// Differential sweep of the fits: per design, a small pool of flag patterns
// (more than the cache has slots, so slots are evicted and refilled) shared
// by many series of every kind; the cached fast fit against the plain fit,
// every output bit. The design buffer is rewritten in place between rounds,
// so a kept reduction must never serve another design at the same address;
// the arena is small, so records are overwritten all the time.
TEST(FitCache, CachedFitsMatchReferenceOnRepeatedPatterns) {
  auto plain = std::make_unique<BestSubsetScratch>();
  auto fast = std::make_unique<BestSubsetFastScratch>();
  FitCache cache(true, 1 << 17);
  test::Lcg rng{11};
  std::vector<double> f(kLdT * kMaxCols);
  int retried = 0, failed = 0;
  for (int round = 0; round < 24; ++round) {
    const int n = round % 3 == 0 ? 46 : round % 8 == 7 ? rng.pick(150, 200) : rng.pick(5, 70);
    const int nfunc = rng.pick(1, 7);
    const auto d = design_matrix(n, rng.pick(std::max(3, n / 2), n + 10), nfunc);
    std::copy(d.begin(), d.end(), f.begin());
    std::vector<std::vector<std::uint8_t>> pool(rng.pick(1, 12), std::vector<std::uint8_t>(n));
    for (auto& use : pool) {
      const double p = rng.unif() < 0.3 ? 1.0 : 0.5 + 0.5 * rng.unif();
      for (auto& u : use) u = rng.unif() < p;
    }
    for (int c = 0; c < 120 && !::testing::Test::HasFatalFailure(); ++c) {
      const auto& use = pool[rng.pick(0, static_cast<int>(pool.size()) - 1)];
      std::vector<double> y(n);
      const double amp = rng.unif() < 0.5 ? 1.5 : 0.5, ph = 6.3 * rng.unif();
      for (int t = 0; t < n; ++t)
        y[t] = 0.2 + amp * (0.5 + 0.5 * std::sin(0.3 * t + ph)) + 0.05 * rng.unif();
      const int kind = rng.pick(0, 9);
      if (kind == 0) std::fill(y.begin(), y.end(), 0.3);         // nothing scored
      if (kind == 1) y[rng.pick(0, n - 1)] = NAN;                 // plain fallback
      if (kind == 2) for (double& v : y) v = std::floor(4 * v) / 4;  // ties
      const int order = c % 17 == 0 ? rng.pick(-1, 0) : rng.pick(1, nfunc);
      const int nc = 2 * nfunc + 4;
      std::vector<double> c1(nc), c2(nc), f1(n), f2(n);
      int o1 = order, o2 = order;
      double k1 = 0, k2 = 0;
      fit_best_subset(n, nfunc, y.data(), use.data(), f.data(), c1.data(), f1.data(), o1, k1,
                      *plain);
      fit_best_subset_fast(n, nfunc, y.data(), use.data(), f.data(), c2.data(), f2.data(), o2,
                           k2, *fast, &cache);
      retried += o1 != order && o1 > 0;
      failed += o1 == -1 && order > 0;
      ASSERT_TRUE(o1 == o2 && same_bits(&k1, &k2, 1) && same_bits(c1.data(), c2.data(), nc) &&
                  same_bits(f1.data(), f2.data(), n))
          << "round " << round << " case " << c << " n=" << n << " order " << order;
      // The fixed-basis fit with its kept inverse, against a fresh one.
      std::vector<double> g1(8), g2(8), z1(n), z2(n);
      fit_fixed_basis(n, std::min(nfunc, 3), y.data(), use.data(), f.data(), g1.data(),
                      z1.data());
      fit_fixed_basis(n, std::min(nfunc, 3), y.data(), use.data(), f.data(), g2.data(),
                      z2.data(), &cache);
      ASSERT_TRUE(same_bits(g1.data(), g2.data(), 8) && same_bits(z1.data(), z2.data(), n));
    }
  }
  const FitCache::Stats& s = cache.stats();
  EXPECT_GT(s.reduction_hits, s.reductions / 2);
  EXPECT_GT(s.winner_hits, 500);
  EXPECT_GT(s.fixed_hits, s.fixed / 4);
  EXPECT_GT(retried, 40);
  EXPECT_GT(failed, 20);
  EXPECT_GT(fast->stats.skipped, fast->stats.applied / 20);
  EXPECT_GT(fast->stats.fallbacks, 0);
}

// The pipeline over every control option, with the cache and the skipping
// of term lists on and off in two scratches, every field of every result bit
// for bit. The pixels are series
// with repeated and unique flag patterns: clear sky, shared clouds (dips
// at the same steps), independent clouds and spikes.
TEST(FitCache, PipelineCachedMatchesUncachedForEveryOption) {
  test::Lcg rng{5};
  long hits = 0, skipped = 0;
  for (int variant = 0; variant < 48; ++variant) {
    Control c;
    c.ndat = variant % 4 == 3 ? 23 : 46;
    c.nfunc = (variant / 4) % 3 == 0 ? 6 : (variant / 4) % 3 == 1 ? 3 : 8;
    c.mask = variant % 2;
    c.fitsw = static_cast<std::int8_t>(variant % 3 == 0 ? 0 : 1);
    c.fitmd = static_cast<std::int8_t>(variant % 3);
    c.mmsw = variant % 5 == 0 ? 0 : 1;
    c.intp = 1;
    if (variant % 6 >= 4) c.kdef = {3, 17};
    c.ndef = static_cast<int>(c.kdef.size());
    derive_limits(c);
    const auto f = design_matrix(c.ndat, c.npoint, c.nfunc);
    PixelScratch on(c.ndat, c.nwin, true), off(c.ndat, c.nwin, false);
    off.fit.skip = false;
    std::vector<int> cloud(c.ndat);
    for (int p = 0; p < 120; ++p) {
      if (p % 30 == 0)
        for (int& k : cloud) k = rng.unif() < 0.15;
      const int kind = rng.pick(0, 2);  // 0 clear, 1 shared clouds, 2 own clouds
      std::vector<std::int16_t> raw(c.ndat), mask(c.ndat);
      const double ph = 6.3 * rng.unif(), amp = 300 + 600 * rng.unif();
      for (int t = 0; t < c.ndat; ++t) {
        double v = 300 + amp * (0.5 + 0.5 * std::sin(6.2831853 * t / 46 + ph)) +
                   15 * rng.unif();
        const bool cl = kind == 1 ? cloud[t] != 0 : kind == 2 && rng.unif() < 0.15;
        if (cl) v *= 0.2;
        if (kind == 2 && rng.unif() < 0.03) v = 2000;
        raw[t] = static_cast<std::int16_t>(v);
        mask[t] = static_cast<std::int16_t>(cl ? 0 : 1);
      }
      PixelResult a, b;
      process_pixel(c, f.data(), raw.data(), mask.data(), a, on);
      process_pixel(c, f.data(), raw.data(), mask.data(), b, off);
      const int n = c.ndat;
      ASSERT_TRUE(same_bits(a.fit, b.fit, n) && same_bits(a.first_fit, b.first_fit, n) &&
                  same_bits(a.para, b.para, c.npara) &&
                  std::memcmp(a.in_fit, b.in_fit, 2 * static_cast<std::size_t>(n)) == 0 &&
                  a.min_counts == b.min_counts && a.max_counts == b.max_counts &&
                  same_bits(&a.criterion, &b.criterion, 1) && a.order == b.order)
          << "variant " << variant << " pixel " << p;
    }
    hits += on.cache.stats().reduction_hits;
    skipped += on.fit.stats.skipped;
    EXPECT_EQ(off.cache.stats().reductions + off.fit.stats.skipped, 0);
  }
  EXPECT_GT(hits, 2000);
  EXPECT_GT(skipped, 50000);
}

// Whole scenes of coherent clouds with MASK 0 and 1: products of the
// program with 1 and 3 threads, cache and skipping each on and off, against
// the program without either, byte for byte.
TEST(FitCache, SceneProductsIndependentOfCacheAndThreads) {
  for (const char* mask : {"", "--mask"}) {
    test::TempDir d;
    std::vector<std::string> args = {"--lines", "9", "--pixels", "40", "--seed", "3",
                                     "--clouds", "coherent", "--intp"};
    if (*mask) args.push_back(mask);
    test::mkscene(d, args);
    std::map<std::string, std::string> ref;
    for (const std::string env : {"0", "1"})
      for (int threads : {1, 3}) {
        const test::RunResult r =
            test::run({KOVARIND_EXE}, d.path(),
                      {"OMP_NUM_THREADS=" + std::to_string(threads),
                       "KOVARIND_FIT_CACHE=" + env,
                       "KOVARIND_SKIP=" + std::string(threads == 1 ? env : "1")});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto now = test::snapshot(d);
        if (ref.empty()) ref = now;
        EXPECT_TRUE(now == ref) << env << " threads " << threads;
      }
  }
}

}  // namespace
}  // namespace kov
