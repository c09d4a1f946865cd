#include "pixel/qenpros.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "harmonic/dims.hpp"
#include "harmonic/mkmat2.hpp"
#include "harmonic/tfit3.hpp"
#include "harmonic/tfit7.hpp"
#include "pixel/intrp.hpp"

namespace kov {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Smooth seasonal curve in raw counts, about 830..1480.
std::int16_t seasonal(int t) {
  return static_cast<std::int16_t>(
      std::lround(1150.0 + 280.0 * std::sin(kTwoPi * t / 46.0 - 1.0) +
                  50.0 * std::cos(2.0 * kTwoPi * t / 46.0)));
}

// One pixel's inputs and outputs, with the run set up as the driver does.
struct Pixel {
  PixelParams p;
  std::vector<double> f;
  std::vector<std::int16_t> kdef, kpix, kflg;
  std::vector<double> pix, pix0, para;
  int kmax = -77, kmin = -77, iord = -77;
  double aic = -77.0;
  std::unique_ptr<PixelScratch> ws;

  Pixel(int n, int nfunc, int nwin = 3) {
    p.ndat = n;
    p.nfunc = nfunc;
    p.npara = 2 * nfunc + 2;
    p.nwin = nwin;
    f.assign(static_cast<std::size_t>(kLdT) * kMaxCols, 0.0);
    mkmat2(n, 46, nfunc, kNumk.data(), f.data());
    p.f = f.data();
    kpix.resize(n);
    for (int t = 1; t <= n; ++t) kpix[t - 1] = seasonal(t);
    kflg.assign(n, 1);
    ws = std::make_unique<PixelScratch>(n, nwin);
  }

  void exclude(std::vector<std::int16_t> steps) {
    kdef = std::move(steps);
    p.kdef = kdef.data();
    p.ndef = static_cast<int>(kdef.size());
  }

  // Runs qenpros with this pixel's scratch, or with a shared one.
  void run(PixelScratch* shared = nullptr) {
    const int n = p.ndat;
    pix.assign(n, 7.0);
    pix0.assign(n, 7.0);
    para.assign(p.npara, 7.0);
    kmax = kmin = iord = -77;
    aic = -77.0;
    qenpros(p, kpix.data(), pix.data(), pix0.data(), kflg.data(), para.data(),
            kmax, kmin, aic, iord, shared ? *shared : *ws);
  }

  std::vector<double> xs() const {
    std::vector<double> x(kpix.size());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = kpix[i] / 4096.0;
    return x;
  }
};

// Every output of one call.
struct Out {
  std::vector<double> pix, pix0, para;
  std::vector<std::int16_t> kflg;
  int kmax, kmin, iord;
  double aic;
};

Out outputs(const Pixel& px) {
  return {px.pix, px.pix0, px.para, px.kflg, px.kmax, px.kmin, px.iord,
          px.aic};
}

bool same_bits(const Out& a, const Out& b) {
  auto eq = [](const std::vector<double>& x, const std::vector<double>& y) {
    return x.size() == y.size() &&
           std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
  };
  return eq(a.pix, b.pix) && eq(a.pix0, b.pix0) && eq(a.para, b.para) &&
         a.kflg == b.kflg && a.kmax == b.kmax && a.kmin == b.kmin &&
         a.iord == b.iord && std::memcmp(&a.aic, &b.aic, sizeof(double)) == 0;
}

std::vector<std::int16_t> ones(int n) { return std::vector<std::int16_t>(n, 1); }

// The fitted series must equal constant + trend + sum of A sin(theta + phase)
// rebuilt from the parameter vector.
void expect_params_reproduce_fit(const Pixel& px) {
  for (int t = 1; t <= px.p.ndat; ++t) {
    double m = px.para[0] * px.f[at(kLdT, t, 1)] +
               px.para[1] * px.f[at(kLdT, t, 2)];
    for (int k = 1; k <= px.p.nfunc; ++k) {
      const double a = px.para[2 * k], ph = px.para[2 * k + 1];
      m += a * (px.f[at(kLdT, t, 2 * k + 1)] * std::cos(ph) +
                px.f[at(kLdT, t, 2 * k + 2)] * std::sin(ph));
    }
    EXPECT_NEAR(m, px.pix[t - 1], 1e-6) << "t=" << t;
  }
}

TEST(Qenpros, RawScreeningLimitsAreStrict) {
  Pixel px(46, 6);
  px.p.mask = 1;  // flags come straight from the mask and the screening
  auto& k = px.kpix;
  for (auto& v : k) v = 1200;
  k[5] = 1536;                       // at the ceiling: kept
  k[10] = 1537;                      // above: out
  k[14] = 600; k[15] = 1112;         // rise 512: kept
  k[19] = 600; k[20] = 1113;         // rise 513: out
  k[24] = 100; k[25] = 613; k[26] = 1126;  // 513 twice: both out
  k[29] = 100; k[30] = 613; k[31] = 1125;  // 513 then 512 over a flagged one
  px.kflg = ones(46);
  px.kflg[38] = 0;  // masked out
  px.kflg[40] = 3;  // usable for filling, but not an observation
  px.run();
  std::vector<std::int16_t> want = ones(46);
  for (int i : {10, 20, 25, 26, 30, 38, 40}) want[i] = 0;
  EXPECT_EQ(px.kflg, want);
}

TEST(Qenpros, ResidualScreeningReplacesFlagsAndKeepsLimitValues) {
  Pixel px(46, 6);
  px.p.mmsw = 0;
  px.p.intp = 1;
  px.kpix[12] = 1700;  // above the raw ceiling, yet judged by its residual
  px.kpix[30] = 300;
  const std::vector<double> xs = px.xs();
  std::vector<std::uint8_t> use(46, 1);
  std::vector<double> coef(kMaxCols), zfit(46);
  tfit3(46, 3, xs.data(), use.data(), px.f.data(), coef.data(), zfit.data());
  int lo = 0, hi = 0;
  for (int i = 0; i < 46; ++i) {
    if (xs[i] - zfit[i] < xs[lo] - zfit[lo]) lo = i;
    if (xs[i] - zfit[i] > xs[hi] - zfit[hi]) hi = i;
  }
  ASSERT_EQ(hi, 12);
  ASSERT_EQ(lo, 30);
  px.p.tlo = xs[lo] - zfit[lo];
  px.p.thi = xs[hi] - zfit[hi];
  px.run();
  EXPECT_EQ(px.kflg, ones(46));  // residuals on the limits are inside
  EXPECT_EQ(px.pix0, zfit);      // the first-pass fit goes out unchanged

  px.p.tlo = std::nextafter(px.p.tlo, 1.0);
  px.p.thi = std::nextafter(px.p.thi, -1.0);
  px.kflg = ones(46);
  px.run();
  std::vector<std::int16_t> want = ones(46);
  want[12] = want[30] = 0;
  EXPECT_EQ(px.kflg, want);
}

TEST(Qenpros, OrderLimitFollowsTheLongestGap) {
  struct Case { int nfunc, gap, order; };
  for (const Case c : {Case{6, 7, 6}, Case{6, 8, 5}, Case{6, 13, 5},
                       Case{6, 14, 4}, Case{6, 19, 4}, Case{6, 20, 3},
                       Case{6, 30, 3}, Case{2, 30, 2}, Case{2, 1, 2}}) {
    Pixel px(92, c.nfunc);
    px.p.mask = 1;
    px.kflg = ones(92);
    for (int i = 40; i < 40 + c.gap - 1; ++i) px.kflg[i] = 0;
    px.run();
    EXPECT_EQ(px.iord, c.order) << c.nfunc << " gap " << c.gap;
  }
  // A run of unusable samples at the start counts from step 0.
  Pixel px(92, 6);
  px.p.mask = 1;
  px.kflg = ones(92);
  for (int i = 0; i < 8; ++i) px.kflg[i] = 0;  // first usable step 9
  px.run();
  EXPECT_EQ(px.iord, 5);
}

// A seasonal curve with cloud dips (60 counts) and bright spikes (3300).
void make_cloudy(Pixel& px) {
  for (int i : {6, 7, 19, 33, 34, 35, 51, 70, 88}) px.kpix[i] = 60;
  for (int i : {12, 44, 60, 81}) px.kpix[i] = 3300;
}

TEST(Qenpros, EnvelopeDirectionAndFitmdTwo) {
  auto run = [](int mmsw, std::int8_t fitmd) {
    Pixel px(92, 6);
    make_cloudy(px);
    px.p.intp = 1;
    px.p.mmsw = mmsw;
    px.p.fitmd = fitmd;
    px.run();
    return outputs(px);
  };
  EXPECT_TRUE(same_bits(run(1, 2), run(0, 2)));
  EXPECT_FALSE(same_bits(run(1, 0), run(0, 0)));
  EXPECT_FALSE(same_bits(run(1, 1), run(0, 1)));
  EXPECT_FALSE(same_bits(run(1, 0), run(1, 1)));
}

TEST(Qenpros, MaskedExcludedStepEntersTheFitOnlyWithFitsw) {
  Pixel plain(46, 6), on(46, 6), off(46, 6);
  for (Pixel* px : {&plain, &on, &off}) {
    px->p.mask = 1;
    px->kpix[19] = static_cast<std::int16_t>(px->kpix[19] - 150);
  }
  on.exclude({20});
  off.exclude({20});
  off.p.fitsw = 0;
  plain.run();
  on.run();
  off.run();
  // With fit weights rebuilt from the mask, the exclusion has no effect:
  // the step keeps its raw value and its mask value 1.
  EXPECT_TRUE(same_bits(outputs(plain), outputs(on)));
  EXPECT_EQ(on.kflg[19], 1);
  std::vector<std::int16_t> want = ones(46);
  want[19] = 0;
  EXPECT_EQ(off.kflg, want);
  EXPECT_NE(off.pix, on.pix);
}

TEST(Qenpros, OrderOneIsAFailureThatKeepsOrderAndCriterion) {
  Pixel px(46, 1);
  px.p.mask = 1;
  px.run();
  EXPECT_EQ(px.iord, 1);
  EXPECT_NE(px.aic, 0.0);
  EXPECT_TRUE(std::isfinite(px.aic));
  EXPECT_EQ(px.pix, std::vector<double>(46, 0.0));
  EXPECT_EQ(px.para, std::vector<double>(4, 0.0));
  EXPECT_EQ(px.kmin, 0);
  EXPECT_EQ(px.kmax, 0);
  EXPECT_EQ(px.kflg, ones(46));
  EXPECT_EQ(px.pix0, std::vector<double>(46, 7.0));  // intp 0: untouched

  // The same series with two harmonics succeeds.
  Pixel two(46, 2);
  two.p.mask = 1;
  two.run();
  EXPECT_EQ(two.iord, 2);
  expect_params_reproduce_fit(two);
}

TEST(Qenpros, FirstPassSeriesOnlyWhenRequested) {
  Pixel px(46, 6);
  px.p.intp = 0;
  px.run();
  EXPECT_EQ(px.pix0, std::vector<double>(46, 7.0));
  px.p.mask = 1;
  px.run();
  EXPECT_EQ(px.pix0, std::vector<double>(46, 7.0));
  px.p.intp = 1;  // with a mask there is no first fit: zeros
  px.run();
  EXPECT_EQ(px.pix0, std::vector<double>(46, 0.0));
}

TEST(Qenpros, EverySampleRejectedTakesTheSuccessPathWithZeros) {
  Pixel px(46, 6);
  px.p.tlo = 1.0;  // every residual lies outside the limits
  px.p.thi = -1.0;
  px.exclude({2, 3, 4, 5, 6, 7, 8, 9});  // first filling: gap 9 at step 10
  px.run();
  EXPECT_EQ(px.aic, 9.9e9);
  EXPECT_EQ(px.iord, 5);  // order limit capped by the first pass's gap
  EXPECT_EQ(px.pix, std::vector<double>(46, 0.0));
  EXPECT_EQ(px.para, std::vector<double>(14, 0.0));
  EXPECT_EQ(px.kmin, 0);
  EXPECT_EQ(px.kmax, 0);
  EXPECT_EQ(px.kflg, std::vector<std::int16_t>(46, 0));
}

TEST(Qenpros, ExtremesInRawCounts) {
  Pixel px(46, 6);
  px.p.mmsw = 0;  // the envelope would flatten the series to one value
  // 2048 +- 1 count alternating: no harmonic of the basis follows it, so the
  // fit stays within a fraction of a count of 0.5. The samples are above the
  // raw ceiling, but without a mask the residual screening alone decides.
  for (int i = 0; i < 46; ++i) px.kpix[i] = i % 2 ? 2047 : 2049;
  px.run();
  ASSERT_GT(px.iord, 1);
  ASSERT_NE(px.aic, 0.0);
  for (double v : px.pix) EXPECT_NEAR(v * 4096.0, 2048.0, 0.45);
  EXPECT_EQ(px.kmax, 2048);
  EXPECT_EQ(px.kmin, 2048);
}

TEST(Qenpros, CloudySeriesIsScreenedAndFittedInRange) {
  Pixel px(92, 6);
  make_cloudy(px);
  px.p.intp = 1;
  px.run();
  ASSERT_GT(px.iord, 1);
  ASSERT_NE(px.aic, 0.0);
  const std::vector<double> xs = px.xs();
  int out = 0, risen_kept = 0;
  for (int i = 0; i < 92; ++i) {
    const double d = xs[i] - px.pix0[i];
    const bool inside = d >= px.p.tlo && d <= px.p.thi;
    EXPECT_EQ(px.kflg[i], inside ? 1 : 0) << i;
    if (px.kpix[i] > 1536 || px.kpix[i] == 60) {
      EXPECT_EQ(px.kflg[i], 0) << i;
    }
    // A sample right after a dip rises by more than 512 counts, yet the
    // residual screening alone decides and keeps it.
    if (i > 0 && px.kpix[i] - px.kpix[i - 1] > 512 && px.kflg[i] == 1) {
      ++risen_kept;
    }
    out += inside ? 0 : 1;
    EXPECT_GE(px.pix[i], 0.0);
    EXPECT_LE(px.pix[i], 1.0);
    // The final fit follows the clean seasonal curve.
    EXPECT_NEAR(px.pix[i], seasonal(i + 1) / 4096.0, 0.03) << i;
  }
  EXPECT_EQ(out, 13);  // exactly the nine dips and four spikes
  EXPECT_GE(risen_kept, 6);
  expect_params_reproduce_fit(px);
  double lo = px.pix[0], hi = px.pix[0];
  for (double v : px.pix) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  EXPECT_EQ(px.kmin, static_cast<int>(lo * 4096.0 + 0.49000000953674316));
  EXPECT_EQ(px.kmax, static_cast<int>(hi * 4096.0 + 0.49000000953674316));
}

TEST(Qenpros, FinalFitSeesTheRawValuesOfKeptSamples) {
  // With excluded steps the first pass fills gaps, among them samples the
  // rise limit flagged; once the residual screening keeps such a sample,
  // the final fit must see its raw value, not the first pass's filling.
  Pixel px(92, 6);
  make_cloudy(px);
  px.p.mmsw = 0;
  px.exclude({50, 62});
  px.run();
  ASSERT_GT(px.iord, 1);
  std::vector<double> ys = px.xs();
  std::vector<int> flags(px.kflg.begin(), px.kflg.end());
  std::vector<std::uint8_t> use(px.kflg.begin(), px.kflg.end());
  ASSERT_EQ(flags[8], 1);  // rose over the dip before it, kept
  int lmax = 0;
  intrp(92, ys.data(), flags.data(), lmax);
  std::vector<double> coef(kMaxCols), z(92);
  int order = px.iord;
  double crit = 0.0;
  tfit7(92, 6, ys.data(), use.data(), px.f.data(), coef.data(), z.data(),
        order, crit, px.ws->fit.plain);
  EXPECT_EQ(order, px.iord);
  EXPECT_EQ(crit, px.aic);
  EXPECT_EQ(z, px.pix);
}

TEST(Qenpros, NothingCarriesFromOnePixelToTheNext) {
  // Pixel A, a very different pixel B, then A again, all on one scratch.
  Pixel a(92, 6), b(92, 6);
  make_cloudy(a);
  a.p.intp = 1;
  b.p.intp = 1;
  b.p.tlo = 1.0;
  b.p.thi = -1.0;
  b.exclude({30, 31, 32});
  for (auto& v : b.kpix) v = static_cast<std::int16_t>(1536 - v);
  PixelScratch& ws = *a.ws;
  a.run(&ws);
  const Out first = outputs(a);
  b.run(&ws);
  b.p.mask = 1;
  b.p.fitmd = 1;
  b.run(&ws);
  a.run(&ws);
  EXPECT_TRUE(same_bits(first, outputs(a)));
}

TEST(Qenpros, LongSeriesWithWideEnvelope) {
  // 200 steps and a half-width of 10: the envelope copy holds 220 values.
  Pixel px(200, 6, 10);
  for (int i : {15, 16, 17, 90, 150, 151}) px.kpix[i] = 100;
  px.run();
  ASSERT_GT(px.iord, 1);
  for (int i = 0; i < 200; ++i) {
    EXPECT_GE(px.pix[i], 0.0);
    EXPECT_LE(px.pix[i], 1.0);
  }
  EXPECT_EQ(px.ws->ext.size(), 220u);
}

TEST(QenprosDeathTest, ExcludedStepOutsideTheSeriesIsAnInternalError) {
  Pixel px(46, 6);
  px.exclude({47});
  EXPECT_DEATH(px.run(), "internal error");
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

// The fast best-subset fit inside the pipeline gives every output bit of the
// plain one, over cloudy, gappy, spiky and random series and every switch.
TEST(Qenpros, FastAndPlainFitsGiveIdenticalPixels) {
  std::uint64_t state = 12345;
  auto next = [&state]() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) * 0x1.0p-53;
  };
  int compared = 0;
  for (int trial = 0; trial < 240; ++trial) {
    const int n = trial % 3 == 0 ? 46 : 12 + static_cast<int>(next() * 60);
    const int nfunc = 1 + trial % 6;
    Pixel fast(n, nfunc, trial % 4), plain(n, nfunc, trial % 4);
    const double base = 200 + 600 * next(), amp = 100 + 900 * next();
    const double phase = 6.28 * next();
    for (int t = 0; t < n; ++t) {
      double v = base + amp * (0.5 - 0.5 * std::cos(kTwoPi * (t + 1) / 46.0 + phase));
      const double r = next();
      if (r < 0.15) v *= 0.3;              // cloud dip
      else if (r < 0.18) v = 1600 + 2000 * next();  // spike
      else if (trial % 7 == 0) v = 4000 * next();   // noise pixels
      fast.kpix[t] = plain.kpix[t] = static_cast<std::int16_t>(v);
      fast.kflg[t] = plain.kflg[t] = next() < 0.8 ? 1 : (next() < 0.5 ? 0 : 2);
    }
    for (Pixel* px : {&fast, &plain}) {
      px->p.mask = trial % 5 == 0 ? 1 : 0;
      px->p.intp = trial % 2;
      px->p.fitmd = static_cast<std::int8_t>(trial % 3);
      px->p.fitsw = static_cast<std::int8_t>(trial % 9 == 0 ? 0 : 1);
      if (trial % 4 == 1) px->exclude({1, static_cast<std::int16_t>(n / 2)});
    }
    plain.p.plain_fit = true;
    fast.run();
    plain.run();
    EXPECT_TRUE(same_bits(outputs(fast), outputs(plain))) << "trial " << trial;
    ++compared;
  }
  EXPECT_EQ(compared, 240);
}

}  // namespace
}  // namespace kov
