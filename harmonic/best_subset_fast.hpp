// Best-subset harmonic fit with the results of fit_best_subset, bit for bit, at a
// fraction of its cost: term lists sharing a prefix share its reduction.
#pragma once

#include <cstdint>

#include "base/limits.hpp"
#include "harmonic/best_subset.hpp"

namespace kov {

class FitCache;

inline constexpr int kFastLd = 208;  // rows per column buffer: 200 + slack
inline constexpr int kFastBufCols =  // load + temp + replay + tree levels
    3 * (2 * kMaxHarmonics + 3) + (kMaxHarmonics + 1) * (kMaxHarmonics + 1);
inline constexpr int kFastCacheOrder = 12;  // largest tree kept for retries
inline constexpr int kMaxGroup = 16;  // pixels replayed together

// Reflections applied by the fast fit and reflections of term lists it
// proved unable to win and left out, since the scratch was made.
struct FastFitStats {
  long applied = 0, skipped = 0;
  long fallbacks = 0;  // retries that had to reduce again (nodes left out)
  long grouped = 0;    // fits whose first attempt was replayed in a group
};

// Per-worker scratch of fit_best_subset_fast (about 1.8 MB; allocate it on the heap).
// Every element read in a call is written earlier in the same call, except
// node_stamp, which marks the nodes a call stored.
struct BestSubsetFastScratch {
  alignas(64) double buf[kFastBufCols * kFastLd];  // column buffers
  alignas(64) double v[kFastLd];                   // reflection vector
  alignas(64) double bv[kFastLd];                  // beta * v
  double node[3 << kFastCacheOrder];  // per tree node: two rows of y, leaf value
  std::uint32_t node_stamp[1 << kFastCacheOrder] = {};  // epoch that stored a node
  std::uint32_t epoch = 0;
  double s[kLdC * (kMaxCols + 1)];    // system S, columns 0..50
  BestSubsetScratch plain;                 // for inputs the fast path does not take
  bool skip = true;  // leave out term lists that provably cannot win (same bits)
  FastFitStats stats;
};

// Same contract and, for every input, the same coef, fit, order and crit
// bits as fit_best_subset. Inputs with a non-finite or huge (above 1e150) value among
// the flagged samples or the design columns in use, no flagged step, a
// first design column of norm below 1e-60 over the flagged steps, or
// arguments outside the documented limits are handed to fit_best_subset.
// With a cache, the reflections and winners' inverted blocks recorded for
// the same flags, order limit and design are reused (same results). With
// ws.skip, subtrees of term lists whose every candidate provably scores at
// least the best criterion so far are not reduced (same results).
void fit_best_subset_fast(int n, int nfunc, const double* y, const std::uint8_t* use,
               const double* f, double* coef, double* fit, int& order,
               double& crit, BestSubsetFastScratch& ws, FitCache* cache = nullptr);

// fit_best_subset_fast for count pixels whose fits share n, nfunc, the use
// flags, the design and the order limit (order[l] equal on entry): y[l],
// coef[l], fit[l], order[l] and crit[l] are pixel l's. When the cache keeps
// the reduction of their flags, the pixels' series go through its
// reflections together (each reflection element formed once for several
// pixels); every result is the bits fit_best_subset_fast gives each pixel.
void fit_best_subset_group(int count, int n, int nfunc, const double* const* y,
                           const std::uint8_t* use, const double* f, double* const* coef,
                           double* const* fit, int* order, double* crit,
                           BestSubsetFastScratch& ws, FitCache* cache);

}  // namespace kov
