// Per-pixel pipeline. The series goes through two passes: the first screens
// the samples against a fixed three-harmonic fit, the second fills what was
// rejected, filters and fits the final model with order selection.
#include "pixel/pipeline.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harmonic/best_subset.hpp"
#include "harmonic/fixed_fit.hpp"
#include "pixel/amplitude_phase.hpp"
#include "pixel/envelope.hpp"
#include "pixel/gap_fill.hpp"

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
constexpr double kCounts = 4096.0;              // raw counts per unit value
constexpr double kRound = 0.49000000953674316;  // 0.49f widened

// Working series and flags of one call; every element read is written first.
struct Series {
  int n;
  double scaled[kMaxSteps];     // raw / 4096
  double y[kMaxSteps];          // series handed to filling, envelope and fits
  double first_fit[kMaxSteps];  // first-pass fit (zeros when there is none)
  double model[kMaxSteps];      // final fit
  double coef[kMaxCols];        // coefficients of the fits
  int usable[kMaxSteps];        // > 0 usable (1 observed, 2 filled), <= 0 not
  std::uint8_t in_sums[kMaxSteps];  // nonzero: the sample enters the fit
  int longest_gap = 0;          // over both fillings
};

void check_preconditions(const Control& c, const PixelScratch& ws) {
  const int n = c.ndat;
  if (n < 1 || n > kMaxSteps) internal_error("series length", n);
  if (c.nfunc < 0 || c.nfunc > kMaxHarmonics) internal_error("nfunc", c.nfunc);
  if (c.npara != 2 * c.nfunc + 2) internal_error("npara", c.npara);
  if (envelope_on(c) &&
      (c.nwin < 0 ||
       ws.padded.size() < static_cast<std::size_t>(n) + 2 * static_cast<std::size_t>(c.nwin)))
    internal_error("envelope half-width", c.nwin);
  for (std::int16_t t : c.kdef)
    if (t < 1 || t > n) internal_error("excluded time step", t);
}

void exclude_steps(const Control& c, Series& s) {
  for (std::int16_t t : c.kdef) {
    s.usable[t - 1] = 0;
    s.in_sums[t - 1] = 0;
  }
}

// Flags every step usable, then takes out the excluded steps and the samples
// above the ceiling or risen too far over their predecessor; scales to units.
void screen_raw(const Control& c, const std::int16_t* raw, const std::int16_t* mask,
                Series& s, std::int16_t* in_fit) {
  const int n = s.n;
  for (int i = 0; i < n; ++i) {
    s.usable[i] = 1;
    s.in_sums[i] = 1;
    s.first_fit[i] = 0.0;
    in_fit[i] = c.mask == 1 ? mask[i] : std::int16_t{1};
  }
  exclude_steps(c, s);
  for (int i = 0; i < n; ++i) {
    if (raw[i] > kRawCeiling || (i > 0 && raw[i] - raw[i - 1] > kRawRise)) {
      s.usable[i] = 0;
      in_fit[i] = 0;
    }
    s.scaled[i] = static_cast<double>(raw[i]) / kCounts;
    s.y[i] = s.scaled[i];
  }
}

// Upper envelope for FITMD 0, lower for 1, nothing otherwise or when the
// filter is switched off.
void apply_envelope(const Control& c, double* y, PixelScratch& ws) {
  if (c.mmsw <= 0) return;
  if (c.fitmd == 0) {
    upper_envelope(c.ndat, c.nwin, y, ws.padded.data());
  } else if (c.fitmd == 1) {
    lower_envelope(c.ndat, c.nwin, y, ws.padded.data());
  }
}

// First pass (no mask): fixed three-harmonic fit of the filled and filtered
// series; every sample whose residual lies outside tlo..thi is rejected, the
// others are usable, replacing every flag set so far. y returns to the
// scaled samples.
void screen_residuals(const Control& c, const double* design, Series& s, PixelScratch& ws,
                      FitCache* cache) {
  if (!c.kdef.empty()) fill_gaps(s.n, s.y, s.usable, s.longest_gap);
  apply_envelope(c, s.y, ws);
  fit_fixed_basis(s.n, 3, s.y, s.in_sums, design, s.coef, s.first_fit, cache);
  for (int i = 0; i < s.n; ++i) {
    const double d = s.scaled[i] - s.first_fit[i];
    s.y[i] = s.scaled[i];
    const bool keep = !(d < c.tlo || d > c.thi);
    s.usable[i] = keep ? 1 : 0;
    s.in_sums[i] = keep ? 1 : 0;
  }
}

// The order limit NFUNC, capped by the longest gap: above 7 steps 5, above
// 13 steps 4, above 19 steps 3.
int capped_order(int nfunc, int longest_gap) {
  int order = nfunc;
  if (longest_gap > 7 && order > 5) order = 5;
  if (longest_gap > 13 && order > 4) order = 4;
  if (longest_gap > 19 && order > 3) order = 3;
  return order;
}

// Success: the fitted series, its extremes in raw counts (a maximum below 0
// counts as 0, a minimum above 10 as 0), and amplitude and phase per harmonic.
void write_model(const Control& c, const Series& s, PixelResult& out) {
  double vmax = -9.9e9;
  double vmin = 9.9e9;
  for (int i = 0; i < s.n; ++i) {
    out.fit[i] = s.model[i];
    if (s.model[i] > vmax) vmax = s.model[i];
    if (s.model[i] < vmin) vmin = s.model[i];
  }
  if (vmax < 0.0) vmax = 0.0;
  if (vmin > 10.0) vmin = 0.0;
  out.para[0] = s.coef[0];
  out.para[1] = s.coef[1];
  for (int k = 1; k <= c.nfunc; ++k)
    amplitude_phase(s.coef[2 * k], s.coef[2 * k + 1], out.para[2 * k], out.para[2 * k + 1]);
  out.min_counts = static_cast<int>(vmin * kCounts + kRound);
  out.max_counts = static_cast<int>(vmax * kCounts + kRound);
}

void write_failure(const Control& c, int n, PixelResult& out) {
  for (int i = 0; i < n; ++i) out.fit[i] = 0.0;
  for (int k = 0; k < c.npara; ++k) out.para[k] = 0.0;
  out.min_counts = 0;
  out.max_counts = 0;
}

// Every step up to the final fit: s holds the series and flags it takes,
// the return value is its order limit.
int prepare_final_fit(const Control& c, const double* design, const std::int16_t* raw,
                      const std::int16_t* mask, PixelResult& out, PixelScratch& ws,
                      FitCache* cache, Series& s) {
  s.n = c.ndat;
  s.longest_gap = 0;
  const int n = s.n;
  screen_raw(c, raw, mask, s, out.in_fit);
  if (c.mask != 1) screen_residuals(c, design, s, ws, cache);

  // Second pass: fill the rejected samples, filter, fit with order selection.
  exclude_steps(c, s);
  if (c.mask == 1)
    for (int i = 0; i < n; ++i) s.usable[i] = out.in_fit[i];
  fill_gaps(n, s.y, s.usable, s.longest_gap);
  if (c.intp > 0)
    for (int i = 0; i < n; ++i) out.first_fit[i] = s.first_fit[i];
  int order = capped_order(c.nfunc, s.longest_gap);
  apply_envelope(c, s.y, ws);
  if (c.fitsw > 0)
    for (int i = 0; i < n; ++i) s.in_sums[i] = s.usable[i] == 1 ? 1 : 0;
  return order;
}

// The products of the final fit's outcome.
void finish_pixel(const Control& c, const Series& s, int order, double crit,
                  PixelResult& out) {
  out.criterion = crit;
  out.order = order;
  if (has_model(out)) {
    write_model(c, s, out);
  } else {
    write_failure(c, s.n, out);
  }
  for (int i = 0; i < s.n; ++i) out.in_fit[i] = s.in_sums[i] ? 1 : 0;
}

}  // namespace

// Working series of a run of pixels processed together.
struct PixelScratch::Batch {
  Series s[kMaxGroup];
  int order[kMaxGroup];
  double crit[kMaxGroup];
  bool done[kMaxGroup];
};

PixelScratch::PixelScratch(int ndat, int nwin, bool cached)
    : padded(static_cast<std::size_t>(std::max(ndat, 0)) +
             2 * static_cast<std::size_t>(std::max(nwin, 0))),
      cache(cached) {}

PixelScratch::~PixelScratch() = default;

std::size_t PixelScratch::batch_bytes() { return sizeof(Batch); }

void process_pixel(const Control& c, const double* design, const std::int16_t* raw,
                   const std::int16_t* mask, PixelResult& out, PixelScratch& ws,
                   FitPath path) {
  check_preconditions(c, ws);
  Series s;
  FitCache* cache = path == FitPath::kFast ? &ws.cache : nullptr;
  int order = prepare_final_fit(c, design, raw, mask, out, ws, cache, s);
  double crit = 0.0;
  if (path == FitPath::kPlain) {
    fit_best_subset(s.n, c.nfunc, s.y, s.in_sums, design, s.coef, s.model, order, crit,
                    ws.fit.plain);
  } else {
    fit_best_subset_fast(s.n, c.nfunc, s.y, s.in_sums, design, s.coef, s.model, order, crit,
                         ws.fit, cache);
  }
  finish_pixel(c, s, order, crit, out);
}

// Pixels whose final fits share flags and order limit form a group (in
// arrival order, at most kMaxGroup), fitted by fit_best_subset_group.
void process_pixels(const Control& c, const double* design, const std::int16_t* raw,
                    const std::int16_t* mask, std::size_t stride, int count,
                    PixelResult* out, PixelScratch& ws) {
  check_preconditions(c, ws);
  if (count < 1 || count > kMaxGroup) internal_error("pixels in a batch", count);
  if (!ws.batch) ws.batch = std::make_unique<PixelScratch::Batch>();
  PixelScratch::Batch& b = *ws.batch;
  const int n = c.ndat;
  for (int p = 0; p < count; ++p) {
    const std::size_t off = stride * static_cast<std::size_t>(p);
    b.order[p] = prepare_final_fit(c, design, raw + off, mask != nullptr ? mask + off : nullptr,
                                   out[p], ws, &ws.cache, b.s[p]);
    b.done[p] = false;
  }
  for (int p = 0; p < count; ++p) {
    if (b.done[p]) continue;
    int member[kMaxGroup];
    int g = 0;
    for (int q = p; q < count; ++q)
      if (!b.done[q] && b.order[q] == b.order[p] &&
          std::memcmp(b.s[q].in_sums, b.s[p].in_sums, static_cast<std::size_t>(n)) == 0) {
        member[g++] = q;
        b.done[q] = true;
      }
    const double* y[kMaxGroup];
    double* coef[kMaxGroup];
    double* model[kMaxGroup];
    int order[kMaxGroup];
    double crit[kMaxGroup];
    for (int l = 0; l < g; ++l) {
      Series& s = b.s[member[l]];
      y[l] = s.y;
      coef[l] = s.coef;
      model[l] = s.model;
      order[l] = b.order[member[l]];
      crit[l] = 0.0;
    }
    fit_best_subset_group(g, n, c.nfunc, y, b.s[p].in_sums, design, coef, model, order, crit,
                          ws.fit, &ws.cache);
    for (int l = 0; l < g; ++l) {
      b.order[member[l]] = order[l];
      b.crit[member[l]] = crit[l];
    }
  }
  for (int p = 0; p < count; ++p) finish_pixel(c, b.s[p], b.order[p], b.crit[p], out[p]);
}

}  // namespace kov
