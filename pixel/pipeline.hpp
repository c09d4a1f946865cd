// Per-pixel pipeline: screening, gap filling, envelope filter, first fixed
// fit, residual screening and the final best-subset fit of one series.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/control.hpp"
#include "base/limits.hpp"
#include "harmonic/best_subset_fast.hpp"
#include "harmonic/fit_cache.hpp"

namespace kov {

// Which best-subset fit the pipeline runs. Both give the same bits; the
// plain one is the reference for tests and benchmarks.
enum class FitPath { kFast, kPlain };

// Per-worker scratch, sized once for a run. No result carries between
// pixels: the cache keeps only work that depends on flags and design, and
// a pixel's results are the same bits with or without it.
struct PixelScratch {
  // nwin: the envelope half-width the scratch must serve (0 without filter).
  PixelScratch(int ndat, int nwin, bool cached = true);
  ~PixelScratch();
  BestSubsetFastScratch fit;  // holds a plain scratch too, for the reference path
  std::vector<double> padded;  // extended copy of the envelope filters
  FitCache cache;              // design-side work of the fast path's fits
  struct Batch;
  std::unique_ptr<Batch> batch;  // series of process_pixels, made on first use
  static std::size_t batch_bytes();
};

// What the pipeline returns for one pixel. Entries beyond NDAT (series) and
// npara (parameters) are not touched.
struct PixelResult {
  double fit[kMaxSteps];         // final fitted series (zeros on failure)
  double first_fit[kMaxSteps];   // first-pass fit; written only when INTP > 0
  double para[kMaxCols];         // constant, trend, amplitude and phase per harmonic
  std::int16_t in_fit[kMaxSteps];  // 1/0: sample offered to the final fit
  int min_counts = 0;            // extremes of the final fit in raw counts
  int max_counts = 0;
  double criterion = 0.0;        // Akaike's criterion of the final fit
  int order = 0;                 // order value of the final fit (-1: failed)
};

// Processes one pixel of the run described by c (limits derived, every
// retained excluded step in 1..NDAT). design: the run's design matrix. raw:
// NDAT samples in raw counts. mask: NDAT mask values, read only when
// MASK = 1 (1 marks a usable sample). A breach of the preconditions is a
// defect and aborts with a message.
void process_pixel(const Control& c, const double* design, const std::int16_t* raw,
                   const std::int16_t* mask, PixelResult& out, PixelScratch& ws,
                   FitPath path = FitPath::kFast);

// process_pixel (fast path) for count <= kMaxGroup pixels, pixel p's samples
// at raw + p*stride (and mask + p*stride), its result in out[p]. Pixels whose
// final fits share their flags go through the fit cache's kept reflections
// together; every result is the bits process_pixel gives that pixel.
void process_pixels(const Control& c, const double* design, const std::int16_t* raw,
                    const std::int16_t* mask, std::size_t stride, int count,
                    PixelResult* out, PixelScratch& ws);

// True when the pipeline accepted a final model for the pixel: the products
// then hold that model, otherwise zeros and the failure marks.
inline bool has_model(const PixelResult& r) { return r.criterion != 0.0 && r.order > 1; }

}  // namespace kov
