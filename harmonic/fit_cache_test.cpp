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

// Pixels sharing a kept reduction, fitted in groups of every size up to the
// largest: each against the plain fit of its own series, every output bit.
// The series overshoot [0, 1] (retries, failures) or hold a NaN (a lane
// fitted on its own); the skipping is on, so lanes part ways in the tree.
TEST(FitCache, GroupsOfEverySizeMatchTheReference) {
  auto plain = std::make_unique<BestSubsetScratch>();
  auto fast = std::make_unique<BestSubsetFastScratch>();
  FitCache cache;
  test::Lcg rng{21};
  const int n = 46, nfunc = 6, nc = 2 * nfunc + 4;
  const auto f = design_matrix(n, 46, nfunc);
  for (int size = 1; size <= kMaxGroup; ++size)
    for (int round = 0; round < 8; ++round) {
      std::vector<std::uint8_t> use(n);
      for (auto& u : use) u = rng.unif() < (round % 2 ? 1.0 : 0.8);
      const int order = rng.pick(1, nfunc);
      std::vector<std::vector<double>> y(size, std::vector<double>(n));
      for (auto& v : y) {
        const double amp = rng.unif() < 0.3 ? 1.2 : 0.6, ph = 6.3 * rng.unif();
        for (int t = 0; t < n; ++t)
          v[t] = 0.1 + amp * (0.5 + 0.5 * std::sin(6.2831853 * t / 46 + ph)) +
                 0.05 * std::sin(0.9 * t) * rng.unif();
        if (rng.unif() < 0.05) v[rng.pick(0, n - 1)] = NAN;
      }
      std::vector<std::vector<double>> c1(size, std::vector<double>(nc)), f1(size, std::vector<double>(n));
      std::vector<double> k1(size);
      std::vector<int> o1(size, order);
      for (int l = 0; l < size; ++l)
        fit_best_subset(n, nfunc, y[l].data(), use.data(), f.data(), c1[l].data(), f1[l].data(),
                        o1[l], k1[l], *plain);
      for (int pass = 0; pass < 3 && !::testing::Test::HasFatalFailure(); ++pass) {
        std::vector<std::vector<double>> c2(size, std::vector<double>(nc)), f2(size, std::vector<double>(n));
        std::vector<const double*> yp(size);
        std::vector<double*> cp(size), fp(size);
        std::vector<double> k2(size);
        std::vector<int> o2(size, order);
        for (int l = 0; l < size; ++l) {
          yp[l] = y[l].data();
          cp[l] = c2[l].data();
          fp[l] = f2[l].data();
        }
        fit_best_subset_group(size, n, nfunc, yp.data(), use.data(), f.data(), cp.data(),
                              fp.data(), o2.data(), k2.data(), *fast, &cache);
        for (int l = 0; l < size; ++l)
          ASSERT_TRUE(o1[l] == o2[l] && same_bits(&k1[l], &k2[l], 1) &&
                      same_bits(c1[l].data(), c2[l].data(), nc) &&
                      same_bits(f1[l].data(), f2[l].data(), n))
              << "size " << size << " round " << round << " pass " << pass << " lane " << l;
      }
    }
  EXPECT_GT(fast->stats.grouped, 150);
  EXPECT_GT(fast->stats.fallbacks, 0);
}

// The pipeline over every control option: with neither the cache nor the
// skipping of term lists, with both, and with both on runs of 1 to 16
// pixels fitted in groups; every field of every result bit for bit. The
// pixels are series with repeated and unique flag patterns: clear sky,
// shared clouds (dips at the same steps), independent clouds and spikes.
TEST(FitCache, PipelineCachedSkippedAndGroupedMatchPlainForEveryOption) {
  test::Lcg rng{5};
  long hits = 0, skipped = 0, grouped = 0;
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
    const int n = c.ndat, count = 150;
    const auto f = design_matrix(n, c.npoint, c.nfunc);
    PixelScratch on(n, c.nwin, true), off(n, c.nwin, false), grp(n, c.nwin, true);
    off.fit.skip = false;
    std::vector<int> cloud(n);
    std::vector<std::int16_t> raw(static_cast<std::size_t>(n) * count), mask(raw.size());
    for (int p = 0; p < count; ++p) {
      if (p % 30 == 0)
        for (int& k : cloud) k = rng.unif() < 0.15;
      const int kind = rng.pick(0, 2);  // 0 clear, 1 shared clouds, 2 own clouds
      // Some amplitudes overshoot 4096 counts: retries and failures.
      const double ph = 6.3 * rng.unif(), amp = 300 + (p % 7 == 0 ? 4000 : 600) * rng.unif();
      for (int t = 0; t < n; ++t) {
        double v = 300 + amp * (0.5 + 0.5 * std::sin(6.2831853 * t / 46 + ph)) +
                   15 * rng.unif();
        const bool cl = kind == 1 ? cloud[t] != 0 : kind == 2 && rng.unif() < 0.15;
        if (cl) v *= 0.2;
        if (kind == 2 && rng.unif() < 0.03) v = 2000;
        raw[static_cast<std::size_t>(p) * n + t] = static_cast<std::int16_t>(v);
        mask[static_cast<std::size_t>(p) * n + t] = static_cast<std::int16_t>(cl ? 0 : 1);
      }
    }
    std::vector<PixelResult> a(count), b(count), g(count);
    for (int p = 0; p < count; ++p) {
      const std::size_t o = static_cast<std::size_t>(p) * n;
      process_pixel(c, f.data(), &raw[o], &mask[o], a[p], on);
      process_pixel(c, f.data(), &raw[o], &mask[o], b[p], off);
    }
    for (int p = 0, run = 1; p < count; p += run, run = run % kMaxGroup + 1) {
      run = std::min(run, count - p);
      const std::size_t o = static_cast<std::size_t>(p) * n;
      process_pixels(c, f.data(), &raw[o], &mask[o], n, run, &g[p], grp);
    }
    const auto same = [&](const PixelResult& x, const PixelResult& y) {
      return same_bits(x.fit, y.fit, n) && same_bits(x.first_fit, y.first_fit, n) &&
             same_bits(x.para, y.para, c.npara) &&
             std::memcmp(x.in_fit, y.in_fit, 2 * static_cast<std::size_t>(n)) == 0 &&
             x.min_counts == y.min_counts && x.max_counts == y.max_counts &&
             same_bits(&x.criterion, &y.criterion, 1) && x.order == y.order;
    };
    for (int p = 0; p < count; ++p)
      ASSERT_TRUE(same(a[p], b[p]) && same(g[p], b[p])) << "variant " << variant << " pixel " << p;
    hits += on.cache.stats().reduction_hits;
    skipped += on.fit.stats.skipped;
    grouped += grp.fit.stats.grouped;
    EXPECT_EQ(off.cache.stats().reductions + off.fit.stats.skipped, 0);
  }
  EXPECT_GT(hits, 2000);
  EXPECT_GT(skipped, 50000);
  EXPECT_GT(grouped, 1000);
}

// Whole scenes of coherent clouds with MASK 0 and 1: products of the
// program with 1 and 3 threads, the cache, skipping and groups on and off,
// against the program without any of them, byte for byte.
TEST(FitCache, SceneProductsIndependentOfCacheAndThreads) {
  for (const char* mask : {"", "--mask"}) {
    test::TempDir d;
    std::vector<std::string> args = {"--lines", "9", "--pixels", "40", "--seed", "3",
                                     "--clouds", "coherent", "--intp"};
    if (*mask) args.push_back(mask);
    test::mkscene(d, args);
    std::map<std::string, std::string> ref;
    // Threads, then cache, skipping and groups on (1) or off (0).
    for (const char* run : {"1000", "3011", "1100", "3111", "1111", "3101"}) {
      const auto flag = [&](const char* name, int i) {
        return std::string(name) + "=" + std::string(1, run[i]);
      };
      const test::RunResult r = test::run(
          {KOVARIND_EXE}, d.path(),
          {std::string("OMP_NUM_THREADS=") + run[0], flag("KOVARIND_FIT_CACHE", 1),
           flag("KOVARIND_SKIP", 2), flag("KOVARIND_GROUP", 3)});
      ASSERT_EQ(r.status, 0) << r.err;
      const auto now = test::snapshot(d);
      if (ref.empty()) ref = now;
      EXPECT_TRUE(now == ref) << run;
    }
  }
}

}  // namespace
}  // namespace kov
