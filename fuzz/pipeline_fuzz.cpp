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

using Result = kov::PixelResult;

void run(const kov::Control& c, const double* design, const std::int16_t* raw,
         const std::int16_t* mask, Result& r, kov::PixelScratch& ws, kov::FitPath path) {
  std::memset(&r, 0x5a, sizeof r);  // every output must be written
  for (int i = 0; i < c.ndat; ++i) r.first_fit[i] = 0.0;  // written only with INTP > 0
  kov::process_pixel(c, design, raw, mask, r, ws, path);
}

bool same(const kov::Control& c, const Result& a, const Result& b) {
  const std::size_t n = static_cast<std::size_t>(c.ndat);
  return std::memcmp(a.fit, b.fit, n * sizeof(double)) == 0 &&
         std::memcmp(a.first_fit, b.first_fit, n * sizeof(double)) == 0 &&
         std::memcmp(a.in_fit, b.in_fit, n * sizeof(std::int16_t)) == 0 &&
         std::memcmp(a.para, b.para, c.npara * sizeof(double)) == 0 &&
         a.max_counts == b.max_counts && a.min_counts == b.min_counts && a.order == b.order &&
         std::memcmp(&a.criterion, &b.criterion, sizeof a.criterion) == 0;
}

void check(const kov::Control& c, const Result& r) {
  const int n = c.ndat;
  for (int i = 0; i < n; ++i)
    if (r.in_fit[i] != 0 && r.in_fit[i] != 1) fail("flag not 0 or 1", r.in_fit[i]);
  if (r.order != -1 && (r.order < 1 || r.order > c.nfunc)) fail("order", r.order);
  if (!std::isfinite(r.criterion)) fail("criterion not finite", r.criterion);
  if (c.intp > 0)
    for (int i = 0; i < n; ++i)
      if (!std::isfinite(r.first_fit[i])) fail("first-pass value not finite", r.first_fit[i]);
  if (kov::has_model(r)) {
    for (int i = 0; i < n; ++i)
      if (!(r.fit[i] >= 0.0 && r.fit[i] <= 1.0)) fail("fitted value outside [0, 1]", r.fit[i]);
    for (int k = 0; k < c.npara; ++k)
      if (!std::isfinite(r.para[k])) fail("parameter not finite", r.para[k]);
    if (r.min_counts < 0 || r.max_counts > 4096 || r.min_counts > r.max_counts)
      fail("extremes", r.min_counts);
  } else {
    for (int i = 0; i < n; ++i)
      if (r.fit[i] != 0.0) fail("series of a failed fit not zero", r.fit[i]);
    for (int k = 0; k < c.npara; ++k)
      if (r.para[k] != 0.0) fail("parameter of a failed fit not zero", r.para[k]);
    if (r.min_counts != 0 || r.max_counts != 0) fail("extremes of a failed fit", r.max_counts);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report_fd = dup(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  kov::Control p;
  p.ndat = in.ConsumeIntegralInRange<int>(3, kov::kMaxSteps);
  // The best-subset search costs 2^(order-1) term lists per attempt, so the
  // order is kept to 10 for speed; the plain fit runs only on small inputs.
  p.nfunc = in.ConsumeIntegralInRange<int>(0, kMaxFuzzNfunc);
  p.mmsw = in.ConsumeIntegralInRange<int>(-1, 2);
  p.fitmd = static_cast<std::int8_t>(in.ConsumeIntegralInRange<int>(-1, 3));
  p.nwin = in.ConsumeIntegralInRange<int>(-2, kMaxWin);
  if (p.nwin < 0 && kov::envelope_on(p)) return 0;
  p.intp = in.ConsumeIntegralInRange<int>(-1, 2);
  p.fitsw = in.ConsumeIntegral<std::int8_t>();
  p.mask = in.ConsumeIntegralInRange<int>(0, 2);
  p.npoint = in.ConsumeIntegralInRange<int>(1, 400);
  // Residual limits as the control-file reader derives them from TCLD.
  if (in.ConsumeBool()) {
    p.tcld = in.ConsumeFloatingPoint<double>();
    if (!std::isfinite(p.tcld)) return 0;
  }
  kov::derive_limits(p);
  p.ndef = in.ConsumeIntegralInRange<int>(0, p.ndat);
  for (int j = 0; j < p.ndef; ++j)
    p.kdef.push_back(static_cast<std::int16_t>(in.ConsumeIntegralInRange<int>(1, p.ndat)));

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
      const double s = std::sin(6.283185307179586 * i / p.npoint + phase);
      int v = base + static_cast<int>(amp * s);
      v += noise ? static_cast<int>(in.ConsumeIntegral<std::uint8_t>() % (noise + 1)) - noise / 2 : 0;
      kpix[i] = static_cast<std::int16_t>(v < 0 ? 0 : (v > 32767 ? 32767 : v));
    }
  }
  for (int i = 0; i < p.ndat; ++i) kflg[i] = in.ConsumeIntegral<std::uint8_t>();
  const int poison = in.ConsumeIntegral<std::uint8_t>();

  const std::vector<double> f = kov::design_matrix(p.ndat, p.npoint, p.nfunc);

  // Scratch that earlier inputs left behind, and scratch poisoned afresh.
  static auto dirty = std::make_unique<kov::PixelScratch>(kov::kMaxSteps, kMaxWin);
  static auto fresh = std::make_unique<kov::PixelScratch>(kov::kMaxSteps, kMaxWin);
  auto poisoned = [&]() -> kov::PixelScratch& {
    std::memset(static_cast<void*>(&fresh->fit), poison, sizeof fresh->fit);
    std::memset(fresh->padded.data(), poison, fresh->padded.size() * sizeof(double));
    return *fresh;
  };

  static Result a, b, c;
  run(p, f.data(), kpix, kflg, a, *dirty, kov::FitPath::kFast);
  run(p, f.data(), kpix, kflg, b, poisoned(), kov::FitPath::kFast);
  if (!same(p, a, b)) fail("result depends on the scratch's earlier content", 0);
  if ((p.ndat << p.nfunc) <= kMaxPlainCost) {
    run(p, f.data(), kpix, kflg, c, poisoned(), kov::FitPath::kPlain);
    if (!same(p, a, c)) fail("fast and plain fits differ", 0);
  }
  check(p, a);
  return 0;
}
