// Product of a Householder reflection with a set of columns, each element
// summed exactly as housev sums it over its explicit reflection matrix.
#pragma once

namespace kov {

// With v, bv from houseformfast (length m), the reflection matrix is
// p(i,k) = -(bv(min(i,k))*v(max(i,k))), plus 1 on the diagonal. For
// c = 0..ncol-1 and i = 0..nr-1 sets dst[c][i] = sum over k = 0..m-1 of
// p(i,k)*src[c][k], each sum starting from +0.0 with k increasing and every
// product and addition rounded separately (1 <= nr <= m). Rows nr..nr+3 of
// dst may also be written; dst must not overlap src.
void houseapplyfast(const double* v, const double* bv, int m, int nr,
                    const double* const* src, double* const* dst, int ncol);

}  // namespace kov
