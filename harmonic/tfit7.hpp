// Best-subset harmonic fit: constant, trend and the subset of harmonic
// positions 1..r that minimises Akaike's criterion, refitted with a lower
// order limit while the model leaves [0, 1].
#pragma once

#include <cstdint>

#include "harmonic/dims.hpp"
#include "harmonic/housev.hpp"

namespace kov {

// Per-worker scratch of tfit7; every element read in a call is written
// earlier in the same call.
struct Tfit7Scratch {
  double x[kLdT * kMaxCols];          // work matrix, one row per flagged step
  double s[kLdC * (kMaxCols + 1)];    // system S, columns 0..50 (column 0 = rhs)
  int list[kMaxCols + 1];             // term list, entry 0 = sentinel 0
  int best[kMaxCols + 1];             // best term list so far
  HousevScratch h;
};

// Fits y over the time steps whose use flag is nonzero. order is the order
// limit on entry and, on return, the limit of the accepted attempt or -1.
// coef must hold 2*nfunc+4 doubles (all cleared; the chosen columns set);
// fit receives the model at all n steps (-1.0 everywhere on failure); crit
// receives the criterion of the chosen model, 9.9e9 when none was scored.
// Requires n <= 200, nfunc <= 23, order <= nfunc.
void tfit7(int n, int nfunc, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit, int& order,
           double& crit, Tfit7Scratch& ws);

}  // namespace kov
