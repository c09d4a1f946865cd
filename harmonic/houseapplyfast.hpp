// Product of an explicit reflection matrix (from houseformfast) with a set of
// columns, each element summed exactly as housev sums it.
#pragma once

namespace kov {

// For c = 0..ncol-1 and i = 0..nr-1 sets dst[c][i] = sum over k = 0..m-1 of
// p(i,k)*src[c][k], each sum starting from +0.0 with k increasing and a
// separate rounding of every product and addition (1 <= nr <= m). Rows
// nr..nr+3 of dst may also be written (p's zero rows beyond m make them
// finite); dst must not overlap src.
void houseapplyfast(const double* p, int ldp, int m, int nr,
                    const double* const* src, double* const* dst, int ncol);

}  // namespace kov
