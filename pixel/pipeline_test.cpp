#include "pixel/pipeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "test/support.hpp"
#include "harmonic/fixed_fit.hpp"
#include "harmonic/best_subset.hpp"
#include "pixel/gap_fill.hpp"

namespace kov {
namespace {

using I16 = std::vector<std::int16_t>;
using Vec = std::vector<double>;
constexpr double kTwoPi = 6.283185307179586;

// Smooth seasonal curve in raw counts, about 830..1480.
std::int16_t seasonal(int t) {
  return static_cast<std::int16_t>(std::lround(
      1150.0 + 280.0 * std::sin(kTwoPi * t / 46.0 - 1.0) + 50.0 * std::cos(2.0 * kTwoPi * t / 46.0)));
}

// One pixel's inputs and outputs, with the run set up as the driver does.
// kflg is the mask going in and the in-fit flags coming out.
struct Pixel {
  Control p;
  FitPath path = FitPath::kFast;
  Vec f, pix, pix0, para;
  I16 kpix, kflg;
  int kmax = 0, kmin = 0, iord = 0;
  double aic = 0.0;
  std::unique_ptr<PixelScratch> ws;

  Pixel(int n, int nfunc, int nwin = 3)
      : f(test::design(n, 46, nfunc)), kpix(n), kflg(n, 1),
        ws(std::make_unique<PixelScratch>(n, nwin)) {
    p.ndat = n;
    p.nfunc = nfunc;
    p.nwin = nwin;
    derive_limits(p);
    for (int t = 1; t <= n; ++t) kpix[t - 1] = seasonal(t);
  }
  void exclude(I16 steps) { p.kdef = std::move(steps); }
  // A seasonal curve with cloud dips (60 counts) and bright spikes (3300).
  void cloudy() {
    for (int i : {6, 7, 19, 33, 34, 35, 51, 70, 88}) kpix[i] = 60;
    for (int i : {12, 44, 60, 81}) kpix[i] = 3300;
  }
  void run(PixelScratch* shared = nullptr) {
    const int n = p.ndat;
    auto r = std::make_unique<PixelResult>();
    std::fill(std::begin(r->first_fit), std::end(r->first_fit), 7.0);
    process_pixel(p, f.data(), kpix.data(), kflg.data(), *r, shared ? *shared : *ws, path);
    pix.assign(r->fit, r->fit + n);
    pix0.assign(r->first_fit, r->first_fit + n);
    para.assign(r->para, r->para + p.npara);
    kflg.assign(r->in_fit, r->in_fit + n);
    kmax = r->max_counts;
    kmin = r->min_counts;
    iord = r->order;
    aic = r->criterion;
  }
  Vec xs() const {
    Vec x(kpix.size());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = kpix[i] / 4096.0;
    return x;
  }
  bool success() const { return aic != 0.0 && iord > 1; }
};

// Every output bit of two calls.
bool same_bits(const Pixel& a, const Pixel& b) {
  auto eq = [](const Vec& x, const Vec& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * 8) == 0;
  };
  return eq(a.pix, b.pix) && eq(a.pix0, b.pix0) && eq(a.para, b.para) && a.kflg == b.kflg &&
         a.kmax == b.kmax && a.kmin == b.kmin && a.iord == b.iord &&
         std::memcmp(&a.aic, &b.aic, 8) == 0;
}

// The outputs agree with one another: on success the parameters rebuild the
// fitted series, which lies in [0, 1], and kmin/kmax are its extremes in raw
// counts (offset 0.49f, truncated); on failure everything is zero.
void expect_consistent(const Pixel& px) {
  const int n = px.p.ndat;
  if (!px.success()) {
    EXPECT_EQ(px.pix, Vec(n, 0.0));
    EXPECT_EQ(px.para, Vec(px.p.npara, 0.0));
    EXPECT_EQ(px.kmin + px.kmax, 0);
    return;
  }
  // Phases rest on the single-precision pi: allow that error per amplitude.
  double tol = 1e-9;
  for (int k = 1; k <= px.p.nfunc; ++k) tol += 2e-7 * px.para[2 * k];
  double lo = 1e300, hi = -1e300;
  for (int t = 1; t <= n; ++t) {
    const double v = px.pix[t - 1];
    double m = px.para[0] * px.f[at(kLdT, t, 1)] + px.para[1] * px.f[at(kLdT, t, 2)];
    for (int k = 1; k <= px.p.nfunc; ++k)
      m += px.para[2 * k] * (px.f[at(kLdT, t, 2 * k + 1)] * std::cos(px.para[2 * k + 1]) +
                             px.f[at(kLdT, t, 2 * k + 2)] * std::sin(px.para[2 * k + 1]));
    EXPECT_NEAR(m, v, tol) << "t=" << t;
    ASSERT_TRUE(v >= 0.0 && v <= 1.0) << "t=" << t;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  EXPECT_EQ(px.kmin, static_cast<int>(lo * 4096.0 + 0.49000000953674316));
  EXPECT_EQ(px.kmax, static_cast<int>(hi * 4096.0 + 0.49000000953674316));
}

TEST(Pipeline, RawScreeningLimitsAreStrict) {
  Pixel px(46, 6);
  px.p.mask = 1;  // flags come straight from the mask and the screening
  auto& k = px.kpix;
  std::fill(k.begin(), k.end(), 1200);
  k[5] = 1536;                             // at the ceiling: kept
  k[10] = 1537;                            // above: out
  k[14] = 600; k[15] = 1112;               // rise 512: kept
  k[19] = 600; k[20] = 1113;               // rise 513: out
  k[24] = 100; k[25] = 613; k[26] = 1126;  // 513 twice: both out
  k[29] = 100; k[30] = 613; k[31] = 1125;  // 513, then 512 over a flagged one
  px.kflg[38] = 0;                         // masked out
  px.kflg[40] = 3;                         // usable for filling only
  px.run();
  I16 want(46, 1);
  for (int i : {10, 20, 25, 26, 30, 38, 40}) want[i] = 0;
  EXPECT_EQ(px.kflg, want);
}

TEST(Pipeline, ResidualScreeningReplacesFlagsWithInclusiveLimits) {
  Pixel px(46, 6);
  px.p.mmsw = 0;
  px.p.intp = 1;
  px.kpix[12] = 1700;  // above the raw ceiling, yet judged by its residual
  px.kpix[30] = 300;
  const Vec xs = px.xs();
  std::vector<std::uint8_t> use(46, 1);
  Vec coef(kMaxCols), zfit(46);
  fit_fixed_basis(46, 3, xs.data(), use.data(), px.f.data(), coef.data(), zfit.data());
  px.p.tlo = xs[30] - zfit[30];
  px.p.thi = xs[12] - zfit[12];
  for (int i = 0; i < 46; ++i) ASSERT_TRUE(xs[i] - zfit[i] >= px.p.tlo && xs[i] - zfit[i] <= px.p.thi);
  px.run();
  EXPECT_EQ(px.kflg, I16(46, 1));  // residuals on the limits are inside
  EXPECT_EQ(px.pix0, zfit);        // the first-pass fit goes out as it is

  px.p.tlo = std::nextafter(px.p.tlo, 1.0);
  px.p.thi = std::nextafter(px.p.thi, -1.0);
  px.kflg.assign(46, 1);
  px.run();
  I16 want(46, 1);
  want[12] = want[30] = 0;
  EXPECT_EQ(px.kflg, want);
}

TEST(Pipeline, OrderLimitFollowsTheLongestGap) {
  struct Case { int nfunc, first, gap, order; };  // gap of `gap` steps from `first`
  for (const Case c : {Case{6, 40, 7, 6}, Case{6, 40, 8, 5}, Case{6, 40, 13, 5},
                       Case{6, 40, 14, 4}, Case{6, 40, 19, 4}, Case{6, 40, 20, 3},
                       Case{6, 40, 30, 3}, Case{2, 40, 30, 2}, Case{2, 40, 1, 2},
                       Case{6, 0, 9, 5}}) {  // a leading run counts from step 0
    Pixel px(92, c.nfunc);
    px.p.mask = 1;
    for (int i = c.first; i < c.first + c.gap - 1; ++i) px.kflg[i] = 0;
    px.run();
    EXPECT_EQ(px.iord, c.order) << c.nfunc << " gap " << c.gap;
  }
}

TEST(Pipeline, EnvelopeDirectionAndFitmdTwo) {
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

TEST(Pipeline, MaskedExcludedStepEntersTheFitOnlyWithFitsw) {
  Pixel plain(46, 6), on(46, 6), off(46, 6);
  for (Pixel* px : {&plain, &on, &off}) {
    px->p.mask = 1;
    px->kpix[19] = static_cast<std::int16_t>(px->kpix[19] - 150);
  }
  on.exclude({20});
  off.exclude({20});
  off.p.fitsw = 0;
  for (Pixel* px : {&plain, &on, &off}) px->run();
  // Fit weights rebuilt from the mask undo the exclusion.
  EXPECT_TRUE(same_bits(plain, on));
  I16 want(46, 1);
  want[19] = 0;
  EXPECT_EQ(off.kflg, want);
  EXPECT_NE(off.pix, on.pix);
}

TEST(Pipeline, FailuresKeepOrderAndCriterion) {
  // A final fit of order 1 is a failure; iord and aic are kept.
  Pixel one(46, 1);
  one.p.mask = 1;
  one.run();
  EXPECT_EQ(one.iord, 1);
  EXPECT_TRUE(std::isfinite(one.aic) && one.aic != 0.0);
  expect_consistent(one);

  // Every sample rejected with fitsw on: the success path with a zero model,
  // aic 9.9e9 and the order limit capped by the first pass's gap of 9.
  Pixel none(46, 6);
  none.p.tlo = 1.0;
  none.p.thi = -1.0;
  none.exclude({2, 3, 4, 5, 6, 7, 8, 9});
  none.run();
  EXPECT_EQ(none.aic, 9.9e9);
  EXPECT_EQ(none.iord, 5);
  EXPECT_EQ(none.pix, Vec(46, 0.0));
  EXPECT_EQ(none.para, Vec(14, 0.0));
  EXPECT_EQ(none.kmin + none.kmax, 0);
  EXPECT_EQ(none.kflg, I16(46, 0));
}

TEST(Pipeline, FirstPassSeriesOnlyWhenRequested) {
  Pixel px(46, 6);
  px.run();  // intp 0: untouched
  EXPECT_EQ(px.pix0, Vec(46, 7.0));
  px.p.mask = px.p.intp = 1;  // a mask means no first fit: zeros
  px.run();
  EXPECT_EQ(px.pix0, Vec(46, 0.0));
}

TEST(Pipeline, ExtremesInRawCounts) {
  Pixel px(46, 6);
  px.p.mmsw = 0;
  // 2048 +- 1 alternating: no harmonic of the basis follows it, so the fit
  // stays within a fraction of a count of 0.5.
  for (int i = 0; i < 46; ++i) px.kpix[i] = i % 2 ? 2047 : 2049;
  px.run();
  ASSERT_TRUE(px.success());
  EXPECT_EQ(px.kmax, 2048);
  EXPECT_EQ(px.kmin, 2048);
  expect_consistent(px);
}

TEST(Pipeline, CloudySeriesIsScreenedAndFittedInRange) {
  Pixel px(92, 6);
  px.cloudy();
  px.p.intp = 1;
  px.run();
  ASSERT_TRUE(px.success());
  const Vec xs = px.xs();
  int out = 0;
  for (int i = 0; i < 92; ++i) {
    const double d = xs[i] - px.pix0[i];
    const bool inside = d >= px.p.tlo && d <= px.p.thi;
    EXPECT_EQ(px.kflg[i], inside ? 1 : 0) << i;
    out += !inside;
    EXPECT_NEAR(px.pix[i], seasonal(i + 1) / 4096.0, 0.03) << i;
  }
  EXPECT_EQ(out, 13);  // exactly the nine dips and four spikes
  expect_consistent(px);
}

TEST(Pipeline, FinalFitSeesTheRawValuesOfKeptSamples) {
  // The first pass fills the gaps of excluded steps and risen samples; once
  // the residual screening keeps such a sample, the final fit must see its
  // raw value, not the filling.
  Pixel px(92, 6);
  px.cloudy();
  px.p.mmsw = 0;
  px.exclude({50, 62});
  px.run();
  ASSERT_TRUE(px.success());
  ASSERT_EQ(px.kflg[8], 1);  // rose over the dip before it, kept
  Vec ys = px.xs(), z(92), coef(kMaxCols);
  std::vector<int> flags(px.kflg.begin(), px.kflg.end());
  std::vector<std::uint8_t> use(px.kflg.begin(), px.kflg.end());
  int lmax = 0, order = px.iord;
  double crit = 0.0;
  fill_gaps(92, ys.data(), flags.data(), lmax);
  fit_best_subset(92, 6, ys.data(), use.data(), px.f.data(), coef.data(), z.data(), order, crit,
        px.ws->fit.plain);
  EXPECT_EQ(order, px.iord);
  EXPECT_EQ(crit, px.aic);
  EXPECT_EQ(z, px.pix);
}

// A's scratch serves two very different pixels first; A must come out as on
// a fresh scratch.
TEST(Pipeline, NothingCarriesFromOnePixelToTheNext) {
  Pixel a(92, 6), fresh(92, 6), b(92, 6);
  a.cloudy();
  fresh.cloudy();
  a.p.intp = fresh.p.intp = b.p.intp = 1;
  b.p.tlo = 1.0;
  b.p.thi = -1.0;
  b.exclude({30, 31, 32});
  for (auto& v : b.kpix) v = static_cast<std::int16_t>(1536 - v);
  b.run(a.ws.get());
  b.p.mask = b.p.fitmd = 1;
  b.run(a.ws.get());
  a.run();
  fresh.run();
  EXPECT_TRUE(same_bits(fresh, a));
}

// The fast best-subset fit inside the pipeline gives every output bit of the
// plain one, over cloudy, gappy, spiky and random series and every switch,
// and the outputs are consistent with each other.
TEST(Pipeline, FastAndPlainFitsGiveIdenticalPixels) {
  test::Lcg rng{12345};
  for (int trial = 0; trial < 240 && !HasFatalFailure(); ++trial) {
    const int n = trial == 0 ? 200 : trial % 3 == 0 ? 46 : rng.pick(12, 71);
    const int nfunc = 1 + trial % 6, nwin = trial == 0 ? 10 : trial % 4;
    Pixel fast(n, nfunc, nwin), plain(n, nfunc, nwin);
    const double base = 200 + 600 * rng.unif(), amp = 100 + 900 * rng.unif();
    const double phase = 6.28 * rng.unif();
    for (int t = 0; t < n; ++t) {
      double v = base + amp * (0.5 - 0.5 * std::cos(kTwoPi * (t + 1) / 46.0 + phase));
      const double r = rng.unif();
      if (r < 0.15) v *= 0.3;                              // cloud dip
      else if (r < 0.18) v = 1600 + 2000 * rng.unif();     // spike
      else if (trial % 7 == 0) v = 4000 * rng.unif();      // noise pixels
      fast.kpix[t] = plain.kpix[t] = static_cast<std::int16_t>(v);
      fast.kflg[t] = plain.kflg[t] = rng.unif() < 0.8 ? 1 : (rng.unif() < 0.5 ? 0 : 2);
    }
    for (Pixel* px : {&fast, &plain}) {
      px->p.mask = trial % 5 == 0;
      px->p.intp = trial % 2;
      px->p.fitmd = static_cast<std::int8_t>(trial % 3);
      px->p.fitsw = static_cast<std::int8_t>(trial % 9 != 0);
      if (trial % 4 == 1) px->exclude({1, static_cast<std::int16_t>(n / 2)});
    }
    plain.path = FitPath::kPlain;
    fast.run();
    plain.run();
    EXPECT_TRUE(same_bits(fast, plain)) << "trial " << trial;
    expect_consistent(fast);
  }
}

}  // namespace
}  // namespace kov
