#include "harmonic/invert.hpp"

#include <cmath>
#include <cstddef>

#include "base/limits.hpp"

namespace kov {

// Gauss-Jordan elimination with full pivoting. At step i the pivot is the
// first element of largest magnitude in a row-by-row scan of the rows and
// columns not yet used as pivot column; its row is swapped onto the
// diagonal, and the column swaps this implies are undone at the end in
// reverse order of the steps.
int invert_in_place(double* a, int n, int lda) {
  bool used[kMaxCols + 1] = {};
  int prow[kMaxCols + 1];
  int pcol[kMaxCols + 1];
  auto el = [a, lda](int i, int j) -> double& { return a[at(lda, i, j)]; };

  for (int i = 1; i <= n; ++i) {
    int p = 0;
    int q = 0;
    double big = 0.0;
    for (int j = 1; j <= n; ++j) {
      if (used[j]) continue;
      for (int k = 1; k <= n; ++k) {
        if (used[k]) continue;
        const double mag = std::fabs(el(j, k));
        if (mag > big) {  // only a strictly greater magnitude replaces
          big = mag;
          p = j;
          q = k;
        }
      }
    }
    if (q == 0) return 1;  // every remaining element is exactly zero
    used[q] = true;

    if (p != q) {
      for (int l = 1; l <= n; ++l) {
        const double tmp = el(p, l);
        el(p, l) = el(q, l);
        el(q, l) = tmp;
      }
    }
    prow[i] = p;
    pcol[i] = q;
    const double d = el(q, q);

    el(q, q) = 1.0;
    for (int l = 1; l <= n; ++l) el(q, l) = el(q, l) / d;

    for (int r = 1; r <= n; ++r) {
      if (r == q) continue;
      double t = el(r, q);
      el(r, q) = 0.0;
      if (t > -1e-31 && t < 1e-31) t = 0.0;
      for (int l = 1; l <= n; ++l) el(r, l) = el(r, l) - el(q, l) * t;
    }
  }

  for (int i = n; i >= 1; --i) {
    const int p = prow[i];
    const int q = pcol[i];
    if (p == q) continue;
    for (int r = 1; r <= n; ++r) {
      const double tmp = el(r, p);
      el(r, p) = el(r, q);
      el(r, q) = tmp;
    }
  }
  return 0;
}

}  // namespace kov
