// Harmonic design matrix: constant, linear trend and a sine/cosine pair per
// harmonic, tabulated once per run at time steps 1..ndat.
#pragma once

#include <array>
#include <vector>

#include "base/limits.hpp"

namespace kov {

// Number of full cycles per period of each harmonic position; positions 7..50
// are zero (a sine of zero and a cosine of one).
inline constexpr std::array<int, kMaxCols> kHarmonicNumbers = {1, 2, 3, 4, 6, 12};

// Fills rows 1..ndat of columns 1..2*nfunc+2 of f (kLdT x kMaxCols doubles,
// column-major): column 1 = 1.0, column 2 = 0.1*t, column 2j+1 = sin(a),
// column 2j+2 = cos(a) with a = (omega*t)*numk[j-1], omega = 2*pi/npoint and
// pi = 4*atan(1). Every other element of f is left as it was (the caller
// hands in zeroed storage). Requires ndat <= 200, 2*nfunc+2 <= 50, npoint > 0.
void fill_design_matrix(int ndat, int npoint, int nfunc, const int* numk, double* f);

// A zeroed kLdT x kMaxCols matrix filled as above with kHarmonicNumbers.
std::vector<double> design_matrix(int ndat, int npoint, int nfunc);

}  // namespace kov
