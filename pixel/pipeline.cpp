// Per-pixel pipeline: screening, gap filling, envelope filter, first fixed
// fit, residual screening and the final best-subset fit.
#include "pixel/pipeline.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/limits.hpp"
#include "harmonic/fixed_fit.hpp"
#include "pixel/amplitude_phase.hpp"
#include "pixel/gap_fill.hpp"
#include "pixel/envelope.hpp"
#include "pixel/envelope.hpp"

namespace kov {

namespace {

[[noreturn]] void internal_error(const char* what, long value) {
  std::fprintf(stderr, "kovarind: internal error: process_pixel: %s (%ld)\n", what,
               value);
  std::abort();
}

// Raw-count screening limits: an absolute ceiling and the largest rise over
// the previous raw sample (both strict).
constexpr int kRawCeiling = 1536;
constexpr int kRawRise = 512;
constexpr double kCounts = 4096.0;          // raw counts per unit value
constexpr double kRound = 0.49000000953674316;  // 0.49f widened

// Envelope filter of one pass: upper envelope for fitmd 0, lower for 1,
// nothing otherwise or when the filter is switched off.
void envelope(const PixelParams& p, double* ys, PixelScratch& ws) {
  if (p.mmsw <= 0) return;
  if (p.fitmd == 0) {
    upper_envelope(p.ndat, p.nwin, ys, ws.ext.data());
  } else if (p.fitmd == 1) {
    lower_envelope(p.ndat, p.nwin, ys, ws.ext.data());
  }
}

}  // namespace

PixelScratch::PixelScratch(int ndat, int nwin)
    : ext(static_cast<std::size_t>(std::max(ndat, 0)) +
          2 * static_cast<std::size_t>(std::max(nwin, 0))) {}

void process_pixel(const PixelParams& p, const std::int16_t* kpix, double* pix,
             double* pix0, std::int16_t* kflg, double* para, int& kmax,
             int& kmin, double& aic, int& iord, PixelScratch& ws) {
  const int n = p.ndat;
  // Preconditions the run set-up guarantees; a breach is a defect.
  if (n < 1 || n > kMaxSteps) internal_error("series length", n);
  if (p.nfunc < 0 || p.nfunc > kMaxHarmonics) internal_error("nfunc", p.nfunc);
  if (p.npara != 2 * p.nfunc + 2) internal_error("npara", p.npara);
  if (p.ndef < 0 || (p.ndef > 0 && p.kdef == nullptr))
    internal_error("ndef", p.ndef);
  if (p.mmsw > 0 && (p.fitmd == 0 || p.fitmd == 1) &&
      (p.nwin < 0 ||
       ws.ext.size() < static_cast<std::size_t>(n) + 2 * static_cast<std::size_t>(p.nwin)))
    internal_error("envelope half-width", p.nwin);
  for (int j = 0; j < p.ndef; ++j) {
    if (p.kdef[j] < 1 || p.kdef[j] > n)
      internal_error("excluded time step", p.kdef[j]);
  }

  // Working storage of this call; every element read is written first.
  double xs[kMaxSteps];    // scaled raw series
  double ys[kMaxSteps];    // series handed to filling, envelope and fits
  double zfit[kMaxSteps];  // first-pass fit (zeros when there is none)
  double z[kMaxSteps];     // final fit
  double pwork[kMaxCols];  // coefficients of the fits
  int iflg[kMaxSteps];     // usability: >0 usable (1 observed, 2 filled)
  std::uint8_t luse[kMaxSteps];  // nonzero: sample enters the fit
  int lmax = 0;                  // longest gap over both fillings

  // Start.
  for (int i = 0; i < n; ++i) {
    iflg[i] = 1;
    luse[i] = 1;
    zfit[i] = 0.0;
  }
  if (p.mask != 1) {
    for (int i = 0; i < n; ++i) kflg[i] = 1;
  }

  // Excluded time steps.
  for (int j = 0; j < p.ndef; ++j) {
    iflg[p.kdef[j] - 1] = 0;
    luse[p.kdef[j] - 1] = 0;
  }

  // Raw screening and scaling.
  for (int i = 0; i < n; ++i) {
    if (kpix[i] > kRawCeiling) {
      iflg[i] = 0;
      kflg[i] = 0;
    }
    if (i > 0 && kpix[i] - kpix[i - 1] > kRawRise) {
      iflg[i] = 0;
      kflg[i] = 0;
    }
    xs[i] = static_cast<double>(kpix[i]) / kCounts;
    ys[i] = xs[i];
  }

  // First pass (no mask): fixed three-harmonic fit and residual screening,
  // which replaces every flag set so far.
  if (p.mask != 1) {
    if (p.ndef > 0) fill_gaps(n, ys, iflg, lmax);
    envelope(p, ys, ws);
    fit_fixed_basis(n, 3, ys, luse, p.f, pwork, zfit);
    for (int i = 0; i < n; ++i) {
      const double d = xs[i] - zfit[i];
      ys[i] = xs[i];
      if (d < p.tlo || d > p.thi) {
        iflg[i] = 0;
        luse[i] = 0;
      } else {
        iflg[i] = 1;
        luse[i] = 1;
      }
    }
  }

  // Second pass.
  for (int j = 0; j < p.ndef; ++j) {
    iflg[p.kdef[j] - 1] = 0;
    luse[p.kdef[j] - 1] = 0;
  }
  if (p.mask == 1) {
    for (int i = 0; i < n; ++i) iflg[i] = kflg[i];
  }
  fill_gaps(n, ys, iflg, lmax);
  if (p.intp > 0) {
    for (int i = 0; i < n; ++i) pix0[i] = zfit[i];
  }
  // Order limit capped by the longest gap.
  int mord = p.nfunc;
  if (lmax > 7 && mord > 5) mord = 5;
  if (lmax > 13 && mord > 4) mord = 4;
  if (lmax > 19 && mord > 3) mord = 3;
  envelope(p, ys, ws);
  if (p.fitsw > 0) {
    for (int i = 0; i < n; ++i) luse[i] = iflg[i] == 1 ? 1 : 0;
  }
  double crit = 0.0;
  if (p.plain_fit) {
    fit_best_subset(n, p.nfunc, ys, luse, p.f, pwork, z, mord, crit, ws.fit.plain);
  } else {
    fit_best_subset_fast(n, p.nfunc, ys, luse, p.f, pwork, z, mord, crit, ws.fit);
  }
  aic = crit;
  iord = mord;

  if (crit != 0.0 && mord > 1) {
    double vmax = -9.9e9;
    double vmin = 9.9e9;
    for (int i = 0; i < n; ++i) {
      pix[i] = z[i];
      if (z[i] > vmax) vmax = z[i];
      if (z[i] < vmin) vmin = z[i];
    }
    if (vmax < 0.0) vmax = 0.0;
    if (vmin > 10.0) vmin = 0.0;
    para[0] = pwork[0];
    para[1] = pwork[1];
    for (int k = 1; k <= p.nfunc; ++k) {
      amplitude_phase(pwork[2 * k], pwork[2 * k + 1], para[2 * k], para[2 * k + 1]);
    }
    kmin = static_cast<int>(vmin * kCounts + kRound);
    kmax = static_cast<int>(vmax * kCounts + kRound);
  } else {
    for (int i = 0; i < n; ++i) pix[i] = 0.0;
    for (int k = 0; k < p.npara; ++k) para[k] = 0.0;
    kmin = 0;
    kmax = 0;
  }

  for (int i = 0; i < n; ++i) kflg[i] = luse[i] ? 1 : 0;
}

}  // namespace kov
