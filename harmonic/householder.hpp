// One Householder reflection applied to a matrix, formed as an explicit
// reflection matrix and multiplied on.
#pragma once

#include "base/limits.hpp"

namespace kov {

// Scratch of one worker: the reflection matrix p and the product b. Holds
// nothing from one call to the next.
struct HouseholderScratch {
  double p[kLdT * kLdT];
  double b[kLdT * kMaxCols];
};

// Reflects rows irow..nrow of column icol of a (leading dimension 200) onto
// row irow and applies the same reflection to columns 1..ncol. Leaves a
// unchanged when an index is out of range or the column norm below irow is
// under 1e-60. Requires nrow <= 200, ncol <= 50.
void apply_householder(double* a, int nrow, int ncol, int irow, int icol,
            HouseholderScratch& ws);

}  // namespace kov
