#include "pixel/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "harmonic/design_matrix.hpp"
#include "harmonic/fixed_fit.hpp"
#include "pixel/gap_fill.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

using I16 = std::vector<std::int16_t>;
using Vec = std::vector<double>;
constexpr double kTwoPi = 6.283185307179586;

// One pixel as the driver sets it up: a seasonal curve of about 830..1480
// counts; flags is the mask going in and the in-fit flags coming out.
struct Pixel {
  Control p;
  Vec f;
  I16 raw, flags;
  std::unique_ptr<PixelScratch> ws;
  std::unique_ptr<PixelResult> r = std::make_unique<PixelResult>();

  Pixel(int n, int nfunc, int nwin = 3)
      : f(design_matrix(n, 46, nfunc)), raw(n), flags(n, 1),
        ws(std::make_unique<PixelScratch>(n, nwin)) {
    p.ndat = n;
    p.nfunc = nfunc;
    p.nwin = nwin;
    derive_limits(p);
    for (int t = 1; t <= n; ++t)
      raw[t - 1] = static_cast<std::int16_t>(std::lround(
          1150.0 + 280.0 * std::sin(kTwoPi * t / 46 - 1) + 50.0 * std::cos(2 * kTwoPi * t / 46)));
  }
  // Cloud dips (60 counts) and bright spikes (3300).
  void cloudy() {
    for (int i : {6, 7, 19, 33, 34, 35, 51, 70, 88}) raw[i] = 60;
    for (int i : {12, 44, 60, 81}) raw[i] = 3300;
  }
  void run(FitPath path = FitPath::kFast) {
    std::fill(std::begin(r->first_fit), std::end(r->first_fit), 7.0);
    process_pixel(p, f.data(), raw.data(), flags.data(), *r, *ws, path);
    flags.assign(r->in_fit, r->in_fit + p.ndat);
  }
  Vec fit() const { return Vec(r->fit, r->fit + p.ndat); }
  Vec first_fit() const { return Vec(r->first_fit, r->first_fit + p.ndat); }
  Vec scaled() const {
    Vec x(raw.begin(), raw.end());
    for (double& v : x) v /= 4096.0;
    return x;
  }
};

// Every output bit of two calls (results start zeroed, untouched entries stay).
bool same_bits(const PixelResult& a, const PixelResult& b) {
  return std::memcmp(&a, &b, sizeof(PixelResult)) == 0;
}
bool same_bits(const Pixel& a, const Pixel& b) { return same_bits(*a.r, *b.r); }

// With a model the parameters (amplitude and phase per harmonic) rebuild the
// fitted series, and the extremes are its own in raw counts (offset 0.49f,
// truncated); without one everything is zero.
void expect_consistent(const Control& c, const Vec& f, const PixelResult& r) {
  const bool model = has_model(r);
  double tol = 1e-9, lo = 1e300, hi = -1e300;  // phases rest on the single-precision pi
  for (int k = 1; k <= c.nfunc; ++k) tol += 2e-7 * r.para[2 * k];
  for (int t = 1; t <= c.ndat; ++t) {
    double m = r.para[0] * f[at(kLdT, t, 1)] + r.para[1] * f[at(kLdT, t, 2)];
    for (int k = 1; k <= c.nfunc; ++k)
      m += r.para[2 * k] * (f[at(kLdT, t, 2 * k + 1)] * std::cos(r.para[2 * k + 1]) +
                            f[at(kLdT, t, 2 * k + 2)] * std::sin(r.para[2 * k + 1]));
    EXPECT_NEAR(m, r.fit[t - 1], model ? tol : 0.0) << "t=" << t;
    lo = std::min(lo, r.fit[t - 1]);
    hi = std::max(hi, r.fit[t - 1]);
  }
  EXPECT_EQ(r.min_counts, model ? static_cast<int>(lo * 4096.0 + 0.49000000953674316) : 0);
  EXPECT_EQ(r.max_counts, model ? static_cast<int>(hi * 4096.0 + 0.49000000953674316) : 0);
}

TEST(Pipeline, RawScreeningLimitsAreStrict) {
  Pixel px(46, 6);
  px.p.mask = 1;  // flags come straight from the mask and the screening
  auto& k = px.raw;
  std::fill(k.begin(), k.end(), 1200);
  k[0] = 100;                              // rise 1100 at step 2: out
  k[5] = 1536;                             // at the ceiling: kept
  k[10] = 1537;                            // above: out
  k[14] = 600, k[15] = 1112;               // rise 512: kept
  k[19] = 600, k[20] = 1113;               // rise 513: out
  k[24] = 100, k[25] = 613, k[26] = 1126;  // 513 twice: both out
  k[29] = 100, k[30] = 613, k[31] = 1125;  // 513, then 512 over a flagged one
  px.flags[38] = 0;                        // masked out
  px.flags[40] = 3;                        // usable for filling only
  px.run();
  I16 want(46, 1);
  for (int i : {1, 10, 20, 25, 26, 30, 38, 40}) want[i] = 0;
  EXPECT_EQ(px.flags, want);
}

TEST(Pipeline, ResidualScreeningReplacesFlagsWithInclusiveLimits) {
  Pixel px(46, 6);
  px.p.mmsw = 0;
  px.p.intp = 1;
  px.raw[12] = 1700;  // above the raw ceiling, yet judged by its residual
  px.raw[30] = 300;
  const Vec xs = px.scaled();
  std::vector<std::uint8_t> use(46, 1);
  Vec coef(kMaxCols), first(46);
  fit_fixed_basis(46, 3, xs.data(), use.data(), px.f.data(), coef.data(), first.data());
  px.p.tlo = xs[30] - first[30];
  px.p.thi = xs[12] - first[12];
  px.run();
  EXPECT_EQ(px.flags, I16(46, 1));   // residuals on the limits are inside
  EXPECT_EQ(px.first_fit(), first);  // the first-pass fit goes out as it is
  px.p.tlo = std::nextafter(px.p.tlo, 1.0);
  px.p.thi = std::nextafter(px.p.thi, -1.0);
  px.run();
  I16 want(46, 1);
  want[12] = want[30] = 0;
  EXPECT_EQ(px.flags, want);
}

TEST(Pipeline, OrderLimitFollowsTheLongestGap) {
  struct Case { int nfunc, first, gap, order; };  // gap of `gap` steps from `first`
  for (const Case c : {Case{6, 40, 7, 6}, Case{6, 40, 8, 5}, Case{6, 40, 13, 5}, Case{6, 40, 14, 4},
                       Case{6, 40, 19, 4}, Case{6, 40, 20, 3}, Case{2, 40, 30, 2},
                       Case{6, 0, 9, 5}}) {  // a leading run counts from step 0
    Pixel px(92, c.nfunc);
    px.p.mask = 1;
    for (int i = c.first; i < c.first + c.gap - 1; ++i) px.flags[i] = 0;
    px.run();
    EXPECT_EQ(px.r->order, c.order) << c.nfunc << " gap " << c.gap;
  }
}

TEST(Pipeline, EnvelopeDirectionAndSwitches) {
  auto run = [](int mmsw, std::int8_t fitmd) {
    auto px = std::make_unique<Pixel>(92, 6);
    px->cloudy();
    px->p.intp = 1;
    px->p.mmsw = mmsw;
    px->p.fitmd = fitmd;
    px->run();
    return px;
  };
  EXPECT_TRUE(same_bits(*run(1, 2), *run(0, 2)));  // no envelope in either pass
  EXPECT_FALSE(same_bits(*run(1, 0), *run(0, 0)));
  EXPECT_FALSE(same_bits(*run(1, 1), *run(0, 1)));
  EXPECT_FALSE(same_bits(*run(1, 0), *run(1, 1)));
}

// With a mask, an excluded step whose mask value is 1 enters the final fit
// all the same while FITSW is on.
TEST(Pipeline, MaskedExcludedStepEntersTheFitOnlyWithFitsw) {
  Pixel plain(46, 6), on(46, 6), off(46, 6);
  for (Pixel* px : {&plain, &on, &off}) {
    px->p.mask = 1;
    px->raw[19] = static_cast<std::int16_t>(px->raw[19] - 150);
  }
  on.p.kdef = off.p.kdef = {20};
  off.p.fitsw = 0;
  for (Pixel* px : {&plain, &on, &off}) px->run();
  EXPECT_TRUE(same_bits(plain, on));
  I16 want(46, 1);
  want[19] = 0;
  EXPECT_EQ(off.flags, want);
}

TEST(Pipeline, FirstPassSeriesAndFailures) {
  // INTP 0: first_fit untouched; a mask means no first fit: zeros. A final
  // fit of order 1 is a failure that keeps its order and criterion.
  Pixel px(46, 1);
  px.run();
  EXPECT_EQ(px.first_fit(), Vec(46, 7.0));
  px.p.mask = px.p.intp = 1;
  px.flags.assign(46, 1);
  px.run();
  EXPECT_EQ(px.first_fit(), Vec(46, 0.0));
  EXPECT_EQ(px.r->order, 1);
  EXPECT_TRUE(std::isfinite(px.r->criterion) && px.r->criterion != 0.0);
  expect_consistent(px.p, px.f, *px.r);
}

TEST(Pipeline, FinalFitSeesTheRawValuesOfKeptSamples) {
  // The first pass fills the gaps of excluded steps and risen samples; once
  // the residual screening keeps such a sample, the final fit must see its
  // raw value, not the filling.
  Pixel px(92, 6);
  px.cloudy();
  px.p.mmsw = 0;
  px.p.kdef = {50, 62};
  px.run();
  ASSERT_TRUE(has_model(*px.r));
  ASSERT_EQ(px.flags[8], 1);  // rose over the dip before it, kept
  Vec ys = px.scaled(), z(92), coef(kMaxCols);
  std::vector<int> flags(px.flags.begin(), px.flags.end());
  std::vector<std::uint8_t> use(px.flags.begin(), px.flags.end());
  int lmax = 0, order = px.r->order;
  double crit = 0.0;
  fill_gaps(92, ys.data(), flags.data(), lmax);
  fit_best_subset(92, 6, ys.data(), use.data(), px.f.data(), coef.data(), z.data(), order, crit,
                  px.ws->fit.plain);
  EXPECT_EQ(crit, px.r->criterion);
  EXPECT_EQ(z, px.fit());
}

// The pipeline over every control option, the plain fit the reference: the
// fast fit with neither the cache nor the skipping of term lists, with both,
// and with both on runs of 1 to 16 pixels fitted in groups give every field
// of every result bit for bit, and the parameters rebuild the fitted series.
// The pixels: clear sky, shared clouds (dips at the same steps, so flag
// patterns repeat), independent clouds and spikes, noise; some amplitudes
// overshoot 4096 counts (retries and failures); some steps only fill gaps.
TEST(Pipeline, PlainFastCachedSkippedAndGroupedPixelsAgreeForEveryOption) {
  test::Lcg rng{5};
  long hits = 0, skipped = 0, grouped = 0;
  for (int variant = 0; variant < 48; ++variant) {
    Control c;
    c.ndat = variant % 4 == 3 ? rng.pick(12, 71) : 46;
    c.nfunc = (variant / 4) % 3 == 0 ? 6 : (variant / 4) % 3 == 1 ? 3 : 8;
    c.nwin = variant % 4;
    c.mask = variant % 2;
    c.fitsw = static_cast<std::int8_t>(variant % 3 == 0 ? 0 : 1);
    c.fitmd = static_cast<std::int8_t>(variant % 3);
    c.mmsw = variant % 5 == 0 ? 0 : 1;
    c.intp = variant % 7 != 0;
    if (variant % 6 >= 4) c.kdef = {1, 3, 17};
    c.ndef = static_cast<int>(c.kdef.size());
    derive_limits(c);
    const int n = c.ndat, count = 120, every = c.nfunc == 8 ? 50 : 10;  // plain: slow
    const auto f = design_matrix(n, c.npoint, c.nfunc);
    PixelScratch on(n, c.nwin, true), off(n, c.nwin, false), grp(n, c.nwin, true);
    off.fit.skip = false;
    std::vector<int> cloud(n);
    I16 raw(static_cast<std::size_t>(n) * count), mask(raw.size());
    for (int p = 0; p < count; ++p) {
      if (p % 30 == 0)
        for (int& k : cloud) k = rng.unif() < 0.15;
      const int kind = p % 25 == 0 ? 3 : rng.pick(0, 2);  // clear, shared clouds, own clouds, noise
      const double ph = 6.3 * rng.unif(), amp = 300 + (p % 7 == 0 ? 4000 : 600) * rng.unif();
      for (int t = 0; t < n; ++t) {
        double v = 300 + amp * (0.5 + 0.5 * std::sin(kTwoPi * t / 46 + ph)) + 15 * rng.unif();
        const bool cl = kind == 1 ? cloud[t] != 0 : kind == 2 && rng.unif() < 0.15;
        if (cl) v *= 0.2;
        if (kind == 2 && rng.unif() < 0.03) v = 2000;
        if (kind == 3) v = 4000 * rng.unif();
        raw[static_cast<std::size_t>(p) * n + t] = static_cast<std::int16_t>(v);
        mask[static_cast<std::size_t>(p) * n + t] = cl ? 0 : rng.unif() < 0.03 ? 2 : 1;
      }
    }
    std::vector<PixelResult> a(count), b(count), g(count), plain(count);
    for (int p = 0; p < count; ++p) {
      const std::size_t o = static_cast<std::size_t>(p) * n;
      process_pixel(c, f.data(), &raw[o], &mask[o], a[p], on);
      process_pixel(c, f.data(), &raw[o], &mask[o], b[p], off);
      if (p % every == 0) process_pixel(c, f.data(), &raw[o], &mask[o], plain[p], off, FitPath::kPlain);
    }
    for (int p = 0, run = 1; p < count; p += run, run = run % kMaxGroup + 1) {
      run = std::min(run, count - p);
      const std::size_t o = static_cast<std::size_t>(p) * n;
      process_pixels(c, f.data(), &raw[o], &mask[o], n, run, &g[p], grp);
    }
    for (int p = 0; p < count && !HasFatalFailure(); ++p) {
      ASSERT_TRUE(same_bits(a[p], b[p]) && same_bits(g[p], b[p]) &&
                  (p % every != 0 || same_bits(plain[p], b[p])))
          << "variant " << variant << " pixel " << p;
      expect_consistent(c, f, b[p]);
    }
    hits += on.cache.stats().reduction_hits;
    skipped += on.fit.stats.skipped;
    grouped += grp.fit.stats.grouped;
    EXPECT_EQ(off.cache.stats().reductions + off.fit.stats.skipped, 0);
  }
  EXPECT_GT(hits, 2000);
  EXPECT_GT(skipped, 50000);
  EXPECT_GT(grouped, 1000);
}

}  // namespace
}  // namespace kov
