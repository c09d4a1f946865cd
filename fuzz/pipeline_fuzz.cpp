// Fuzz harness of the per-pixel pipeline: arbitrary series, mask flags,
// excluded steps and switches within the limits the run set-up enforces.
// Every pixel is processed by the fast fit on a scratch left by earlier
// inputs and on scratch poisoned with a byte pattern, and (small inputs) by
// the plain fit: the results must agree bit for bit. An accepted model lies
// in [0, 1]; without one the fitted series is zero.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "harmonic/design_matrix.hpp"
#include "pixel/pipeline.hpp"

namespace {

constexpr int kMaxWin = 250;
int g_report_fd = 2;  // standard error as it was at start-up (the fuzzer may close it)

void check(bool ok, const char* what) {
  if (ok) return;
  dprintf(g_report_fd, "process_pixel invariant broken: %s\n", what);
  std::abort();
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
  p.nfunc = in.ConsumeIntegralInRange<int>(0, 10);  // 2^(order-1) term lists per attempt
  p.mmsw = in.ConsumeIntegralInRange<int>(-1, 2);
  p.fitmd = static_cast<std::int8_t>(in.ConsumeIntegralInRange<int>(-1, 3));
  p.nwin = in.ConsumeIntegralInRange<int>(-2, kMaxWin);
  if (p.nwin < 0 && kov::envelope_on(p)) return 0;
  p.intp = in.ConsumeIntegralInRange<int>(-1, 2);
  p.fitsw = in.ConsumeIntegral<std::int8_t>();
  p.mask = in.ConsumeIntegralInRange<int>(0, 2);
  p.npoint = in.ConsumeIntegralInRange<int>(1, 400);
  if (in.ConsumeBool()) p.tcld = in.ConsumeFloatingPoint<double>();
  if (!std::isfinite(p.tcld)) return 0;
  kov::derive_limits(p);  // as the control-file reader does
  p.ndef = in.ConsumeIntegralInRange<int>(0, p.ndat);
  for (int j = 0; j < p.ndef; ++j)
    p.kdef.push_back(static_cast<std::int16_t>(in.ConsumeIntegralInRange<int>(1, p.ndat)));

  // The series: raw samples, or a seasonal curve with noise, dips and spikes.
  std::int16_t raw[kov::kMaxSteps], mask[kov::kMaxSteps] = {};
  if (in.ConsumeBool()) {
    for (int i = 0; i < p.ndat; ++i) raw[i] = in.ConsumeIntegral<std::uint16_t>() & 0x7fff;
  } else {
    const int base = in.ConsumeIntegralInRange<int>(0, 1500);
    const int amp = in.ConsumeIntegralInRange<int>(0, 1500);
    const double phase = in.ConsumeIntegralInRange<int>(0, 628) / 100.0;
    const int noise = in.ConsumeIntegralInRange<int>(0, 255);
    for (int i = 0; i < p.ndat; ++i) {
      int v = base + static_cast<int>(amp * std::sin(6.283185307179586 * i / p.npoint + phase));
      if (noise) v += in.ConsumeIntegral<std::uint8_t>() % (noise + 1) - noise / 2;
      raw[i] = static_cast<std::int16_t>(v < 0 ? 0 : (v > 32767 ? 32767 : v));
    }
  }
  for (int i = 0; i < p.ndat; ++i) mask[i] = in.ConsumeIntegral<std::uint8_t>();
  const int poison = in.ConsumeIntegral<std::uint8_t>();
  const std::vector<double> f = kov::design_matrix(p.ndat, p.npoint, p.nfunc);

  // Scratch that earlier inputs left behind, and scratch poisoned afresh.
  // Results start from the same bytes: entries a call does not own stay so.
  static auto dirty = std::make_unique<kov::PixelScratch>(kov::kMaxSteps, kMaxWin);
  static auto fresh = std::make_unique<kov::PixelScratch>(kov::kMaxSteps, kMaxWin);
  static kov::PixelResult r[3];
  for (int k = 0; k < 3; ++k) {
    if (k == 2 && (p.ndat << p.nfunc) > 4096) break;
    std::memset(&r[k], 0x5a, sizeof r[k]);
    std::memset(static_cast<void*>(&fresh->fit), poison, sizeof fresh->fit);
    // The settings and counters of the scratch are not scratch: set them
    // again, with the skipping switched by the poison byte (same bits either way).
    fresh->fit.skip = (poison & 1) != 0;
    fresh->fit.stats = {};
    std::memset(fresh->padded.data(), poison, fresh->padded.size() * sizeof(double));
    kov::process_pixel(p, f.data(), raw, mask, r[k], k == 0 ? *dirty : *fresh,
                       k == 2 ? kov::FitPath::kPlain : kov::FitPath::kFast);
    check(std::memcmp(&r[k], &r[0], sizeof r[0]) == 0,
          k == 1 ? "the result depends on the scratch" : "fast and plain fits differ");
  }
  const kov::PixelResult& a = r[0];
  for (int i = 0; i < p.ndat; ++i)
    check(kov::has_model(a) ? a.fit[i] >= 0.0 && a.fit[i] <= 1.0 : a.fit[i] == 0.0, "fitted value");
  check(std::isfinite(a.criterion) && (a.order == -1 || (a.order >= 1 && a.order <= p.nfunc)),
        "criterion or order");
  return 0;
}
