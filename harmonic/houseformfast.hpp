// Householder reflection of one column segment formed as an explicit matrix,
// element for element as housev forms it, restricted to the rows from the
// pivot row down (the reflection is the identity above it).
#pragma once

namespace kov {

// Rows by which houseapplyfast may read and write past the requested rows;
// callers give every column buffer this much slack.
inline constexpr int kFastSlack = 4;

// col[0..m-1] is the column from the pivot row down (m >= 1). Returns false,
// writing nothing, when the norm of col is below 1e-60. Otherwise writes the
// reflection to p (m x m, column-major, leading dimension ldp >= m rounded up
// to a multiple of 4; rows m.. of that rounding are set to zero), the
// reflection vector to v[0..m-1] and beta*v to bv[0..m-1], and returns true.
bool houseformfast(const double* col, int m, double* p, int ldp, double* v,
                   double* bv);

}  // namespace kov
