// Per-pixel pipeline: screening, gap filling, envelope filter, first fixed
// fit, residual screening and the final best-subset fit.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "harmonic/best_subset.hpp"
#include "harmonic/best_subset_fast.hpp"

namespace kov {

// Run-constant arguments of process_pixel (the control-file values and derived
// limits). kdef points at ndef retained excluded time steps, each in 1..ndat.
struct PixelParams {
  int ndat = 0;
  int nfunc = 6;
  int npara = 14;
  int nwin = 3;
  int ndef = 0;
  const std::int16_t* kdef = nullptr;
  int mmsw = 1;
  int intp = 0;
  double tlo = -0.15000000596046448;
  double thi = 0.30000001192092896;
  std::int8_t fitsw = 1;
  int mask = 0;
  std::int8_t fitmd = 0;
  const double* f = nullptr;  // design matrix from fill_design_matrix
  // Use the plain best-subset fit instead of the fast one (same results,
  // bit for bit; kept as the reference for benchmarks and tests).
  bool plain_fit = false;
};

// Per-worker scratch, sized once for a run; nothing carries between pixels.
struct PixelScratch {
  explicit PixelScratch(int ndat, int nwin);
  BestSubsetFastScratch fit;  // holds a plain scratch too, for the reference path
  std::vector<double> ext;  // extended copy of the envelope filters
};

// Processes one pixel. kpix: ndat raw samples (in). pix: final fitted series
// (out; zeros on failure). pix0: first-pass fitted series, written only when
// intp > 0. kflg: mask values in (used when mask == 1), 1/0 = in/out of the
// final fit on return. para: npara parameters (constant, trend, amplitude and
// phase per harmonic; zeros on failure). kmax, kmin: extremes of the final
// fit in raw counts. aic, iord: criterion and order value of the final fit.
void process_pixel(const PixelParams& p, const std::int16_t* kpix, double* pix,
             double* pix0, std::int16_t* kflg, double* para, int& kmax,
             int& kmin, double& aic, int& iord, PixelScratch& ws);

}  // namespace kov
