// Householder reflection vector of one column segment, computed as housev
// computes it, for houseapplyfast.
#pragma once

namespace kov {

// Rows by which houseapplyfast may write past the requested rows, and by
// which v and bv are padded; callers give every buffer this much slack.
inline constexpr int kFastSlack = 4;

// col[0..m-1] is the column from the pivot row down (m >= 1). Returns false,
// writing nothing, when the norm of col is below 1e-60. Otherwise sets the
// reflection vector v[0..m-1] (v(0) = pivot + alpha, alpha = sign(pivot) *
// norm), bv[i] = beta*v[i] with beta = 1/(alpha*pivot + norm^2), zeroes both
// up to m rounded up to a multiple of 4, and returns true.
bool houseformfast(const double* col, int m, double* v, double* bv);

}  // namespace kov
