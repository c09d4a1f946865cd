// Fuzz harness of the per-pixel pipeline: arbitrary series, mask flags,
// excluded steps and switches within the limits the run set-up enforces.
// Every pixel is processed by the fast fit on a scratch left by earlier
// inputs and on scratch poisoned with a byte pattern, and (small inputs) by
// the plain fit. The results must agree bit for bit (no state carries
// between pixels, the two fits are interchangeable) and must satisfy the
// output contract: flags 0 or 1, an order of -1 or 1..NFUNC, on an accepted
// fit of order 2 or more a series inside [0, 1], finite parameters and
// extremes in 0..4096, otherwise all zeros.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/limits.hpp"
#include "harmonic/design_matrix.hpp"
#include "pixel/pipeline.hpp"

namespace {

constexpr int kMaxWin = 250;
constexpr int kMaxFuzzNfunc = 10;
constexpr int kMaxPlainCost = 4096;  // ndat * 2^nfunc

// Standard error as it was at start-up (the fuzzer may close it for the
// target's own output).
int g_report_fd = 2;

[[noreturn]] void fail(const char* what, double value) {
  dprintf(g_report_fd, "process_pixel invariant broken: %s (%.17g)\n", what, value);
  std::abort();
}

struct Result {
  double pix[kov::kMaxSteps];
  double pix0[kov::kMaxSteps];
  double para[kov::kMaxCols];
  std::int16_t kflg[kov::kMaxSteps];
  int kmax = 0, kmin = 0, iord = 0;
  double aic = 0.0;
};

void run(const kov::PixelParams& p, const std::int16_t* kpix,
         const std::int16_t* kflg_in, Result& r, kov::PixelScratch& ws) {
  std::memset(&r, 0x5a, sizeof r);  // every output must be written
  std::memcpy(r.kflg, kflg_in, sizeof r.kflg);
  for (int i = 0; i < p.ndat; ++i) r.pix0[i] = 0.0;  // written only with INTP > 0
  kov::process_pixel(p, kpix, r.pix, r.pix0, r.kflg, r.para, r.kmax, r.kmin, r.aic,
               r.iord, ws);
}

bool same(const kov::PixelParams& p, const Result& a, const Result& b) {
  const std::size_t n = static_cast<std::size_t>(p.ndat);
  return std::memcmp(a.pix, b.pix, n * sizeof(double)) == 0 &&
         std::memcmp(a.pix0, b.pix0, n * sizeof(double)) == 0 &&
         std::memcmp(a.kflg, b.kflg, n * sizeof(std::int16_t)) == 0 &&
         std::memcmp(a.para, b.para, p.npara * sizeof(double)) == 0 &&
         a.kmax == b.kmax && a.kmin == b.kmin && a.iord == b.iord &&
         std::memcmp(&a.aic, &b.aic, sizeof a.aic) == 0;
}

void check(const kov::PixelParams& p, const Result& r) {
  const int n = p.ndat;
  for (int i = 0; i < n; ++i)
    if (r.kflg[i] != 0 && r.kflg[i] != 1) fail("flag not 0 or 1", r.kflg[i]);
  if (r.iord != -1 && (r.iord < 1 || r.iord > p.nfunc)) fail("order", r.iord);
  if (!std::isfinite(r.aic)) fail("criterion not finite", r.aic);
  if (p.intp > 0)
    for (int i = 0; i < n; ++i)
      if (!std::isfinite(r.pix0[i])) fail("first-pass value not finite", r.pix0[i]);
  if (r.aic != 0.0 && r.iord > 1) {
    for (int i = 0; i < n; ++i)
      if (!(r.pix[i] >= 0.0 && r.pix[i] <= 1.0)) fail("fitted value outside [0, 1]", r.pix[i]);
    for (int k = 0; k < p.npara; ++k)
      if (!std::isfinite(r.para[k])) fail("parameter not finite", r.para[k]);
    if (r.kmin < 0 || r.kmax > 4096 || r.kmin > r.kmax) fail("extremes", r.kmin);
  } else {
    for (int i = 0; i < n; ++i)
      if (r.pix[i] != 0.0) fail("series of a failed fit not zero", r.pix[i]);
    for (int k = 0; k < p.npara; ++k)
      if (r.para[k] != 0.0) fail("parameter of a failed fit not zero", r.para[k]);
    if (r.kmin != 0 || r.kmax != 0) fail("extremes of a failed fit", r.kmax);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report_fd = dup(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  kov::PixelParams p;
  p.ndat = in.ConsumeIntegralInRange<int>(3, kov::kMaxSteps);
  // The best-subset search costs 2^(order-1) term lists per attempt, so the
  // order is kept to 10 for speed; the plain fit runs only on small inputs.
  p.nfunc = in.ConsumeIntegralInRange<int>(0, kMaxFuzzNfunc);
  p.npara = 2 * p.nfunc + 2;
  p.mmsw = in.ConsumeIntegralInRange<int>(-1, 2);
  p.fitmd = static_cast<std::int8_t>(in.ConsumeIntegralInRange<int>(-1, 3));
  p.nwin = in.ConsumeIntegralInRange<int>(-2, kMaxWin);
  if (p.nwin < 0 && p.mmsw > 0 && (p.fitmd == 0 || p.fitmd == 1)) return 0;
  p.intp = in.ConsumeIntegralInRange<int>(-1, 2);
  p.fitsw = in.ConsumeIntegral<std::int8_t>();
  p.mask = in.ConsumeIntegralInRange<int>(0, 2);
  const int npoint = in.ConsumeIntegralInRange<int>(1, 400);
  // Residual limits as the control-file reader derives them from TCLD.
  double tcld = 0.15000000596046448;
  if (in.ConsumeBool()) {
    tcld = in.ConsumeFloatingPoint<double>();
    if (!std::isfinite(tcld)) return 0;
  }
  if (p.fitmd == 1) {
    p.thi = tcld;
    p.tlo = -2.0 * tcld;
  } else if (p.fitmd == 2) {
    p.thi = tcld;
    p.tlo = -tcld;
  } else {
    p.thi = 2.0 * tcld;
    p.tlo = -tcld;
  }
  std::int16_t kdef[kov::kMaxSteps];
  p.ndef = in.ConsumeIntegralInRange<int>(0, p.ndat);
  for (int j = 0; j < p.ndef; ++j)
    kdef[j] = static_cast<std::int16_t>(in.ConsumeIntegralInRange<int>(1, p.ndat));
  p.kdef = kdef;

  // The series: raw samples, or a seasonal curve with noise, dips and spikes.
  std::int16_t kpix[kov::kMaxSteps];
  std::int16_t kflg[kov::kMaxSteps] = {};
  if (in.ConsumeBool()) {
    for (int i = 0; i < p.ndat; ++i)
      kpix[i] = static_cast<std::int16_t>(in.ConsumeIntegral<std::uint16_t>() & 0x7fff);
  } else {
    const int base = in.ConsumeIntegralInRange<int>(0, 1500);
    const int amp = in.ConsumeIntegralInRange<int>(0, 1500);
    const double phase = in.ConsumeIntegralInRange<int>(0, 628) / 100.0;
    const int noise = in.ConsumeIntegralInRange<int>(0, 255);
    for (int i = 0; i < p.ndat; ++i) {
      const double s = std::sin(6.283185307179586 * i / npoint + phase);
      int v = base + static_cast<int>(amp * s);
      v += noise ? static_cast<int>(in.ConsumeIntegral<std::uint8_t>() % (noise + 1)) - noise / 2 : 0;
      kpix[i] = static_cast<std::int16_t>(v < 0 ? 0 : (v > 32767 ? 32767 : v));
    }
  }
  for (int i = 0; i < p.ndat; ++i) kflg[i] = in.ConsumeIntegral<std::uint8_t>();
  const int poison = in.ConsumeIntegral<std::uint8_t>();

  std::vector<double> f(static_cast<std::size_t>(kov::kLdT) * kov::kMaxCols, 0.0);
  kov::fill_design_matrix(p.ndat, npoint, p.nfunc, kov::kHarmonicNumbers.data(), f.data());
  p.f = f.data();

  // Scratch that earlier inputs left behind, and scratch poisoned afresh.
  static auto dirty = std::make_unique<kov::PixelScratch>(kov::kMaxSteps, kMaxWin);
  static auto fresh = std::make_unique<kov::PixelScratch>(kov::kMaxSteps, kMaxWin);
  auto poisoned = [&]() -> kov::PixelScratch& {
    std::memset(static_cast<void*>(&fresh->fit), poison, sizeof fresh->fit);
    std::memset(fresh->ext.data(), poison, fresh->ext.size() * sizeof(double));
    return *fresh;
  };

  static Result a, b, c;
  run(p, kpix, kflg, a, *dirty);
  run(p, kpix, kflg, b, poisoned());
  if (!same(p, a, b)) fail("result depends on the scratch's earlier content", 0);
  if ((p.ndat << p.nfunc) <= kMaxPlainCost) {
    p.plain_fit = true;
    run(p, kpix, kflg, c, poisoned());
    p.plain_fit = false;
    if (!same(p, a, c)) fail("fast and plain fits differ", 0);
  }
  check(p, a);
  return 0;
}
