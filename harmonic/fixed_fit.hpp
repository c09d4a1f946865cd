// Least-squares fit of a fixed basis: constant, trend and the first h
// harmonics of the design matrix, through the normal equations.
#pragma once

#include <cstdint>

namespace kov {

class FitCache;

// Fits columns 1..m (m = 2h+2) of f to y over the time steps whose use flag
// is nonzero. On success coef[0..m-1] holds the coefficients and fit[0..n-1]
// the model at every time step. When the normal matrix is singular the
// coefficients are zero and fit is a copy of y. Requires n <= 200, m <= 50.
// With a cache, the inverted normal matrix kept for the same flags and
// design columns is reused (same results).
void fit_fixed_basis(int n, int h, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit, FitCache* cache = nullptr);

}  // namespace kov
