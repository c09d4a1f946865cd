// Householder reflections for the fast best-subset fit: the reflection
// vector of one column segment, computed as apply_householder computes it,
// and its product with a set of columns, summed exactly as apply_householder
// sums it over the explicit reflection matrix.
#pragma once

namespace kov {

// Rows by which apply_reflection may write past the requested rows, and by
// which v and bv are padded; callers give every buffer this much slack.
inline constexpr int kFastSlack = 4;

// col[0..m-1] is the column from the pivot row down (m >= 1). Returns false,
// writing nothing, when the norm of col is below 1e-60. Otherwise sets the
// reflection vector v[0..m-1] (v(0) = pivot + alpha, alpha = sign(pivot) *
// norm), bv[i] = beta*v[i] with beta = 1/(alpha*pivot + norm^2), zeroes both
// up to m rounded up to a multiple of 4, and returns true; beta goes to
// *beta_out when given.
bool form_reflection(const double* col, int m, double* v, double* bv,
                     double* beta_out = nullptr);

// With v, bv from form_reflection (length m), the reflection matrix is
// p(i,k) = -(bv(min(i,k))*v(max(i,k))), plus 1 on the diagonal. For
// c = 0..ncol-1 and i = 0..nr-1 sets dst[c][i] = sum over k = 0..m-1 of
// p(i,k)*src[c][k], each sum starting from +0.0 with k increasing and every
// product and addition rounded separately (1 <= nr <= m). Rows nr..nr+3 of
// dst may also be written; dst must not overlap src.
void apply_reflection(const double* v, const double* bv, int m, int nr,
                    const double* const* src, double* const* dst, int ncol);

// apply_reflection for one column (ncol = 1), with the same bits, at less
// cost per element: the series column on its own through kept reflections.
void apply_reflection_column(const double* v, const double* bv, int m, int nr,
                             const double* src, double* dst);

}  // namespace kov
