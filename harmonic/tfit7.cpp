#include "harmonic/tfit7.hpp"

#include <algorithm>
#include <cmath>

#include "harmonic/tfit7aic.hpp"
#include "harmonic/tfit7retry.hpp"
#include "harmonic/tfit7sol.hpp"

namespace kov {

namespace {

constexpr double kCritStart = 9.9e9;
constexpr int kMaxList = kMaxCols;                 // capacity of a term list
// Largest list whose work matrix (2k+3 columns) fits in kMaxCols columns.
constexpr int kMaxListCols = (kMaxCols - 3) / 2;

// System S has columns 0..50; column 0 is the right-hand side.
inline std::size_t sidx(int i, int j) {
  return static_cast<std::size_t>(j) * kLdC + static_cast<std::size_t>(i - 1);
}

}  // namespace

// For every term list ending with the order limit r (positions in increasing
// order) the flagged rows of [constant, trend, chosen sine/cosine pairs, y]
// are reduced to triangular form by Householder reflections. Column w then
// holds Q'y, so the residual sum of squares of every prefix of the list is a
// tail sum of squares of that column. The prefix with the smallest Akaike
// criterion wins; its triangular factor is inverted to give the coefficients.
void tfit7(int n, int nfunc, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit, int& order,
           double& crit, Tfit7Scratch& ws) {
  const int m = 2 * nfunc + 2;
  double* x = ws.x;
  double* s = ws.s;
  int* list = ws.list;
  int* best = ws.best;

  for (;;) {
    const int r = order;

    // Start of an attempt.
    for (int i = 0; i < m + 2; ++i) coef[i] = 0.0;
    for (int i = 1; i <= m + 2; ++i) {
      list[i] = 0;
      best[i] = 0;
    }
    for (int j = 0; j <= m + 2; ++j)
      for (int i = 1; i <= m + 2; ++i) s[sidx(i, j)] = 0.0;
    for (int t = 0; t < n; ++t) fit[t] = 0.0;
    crit = kCritStart;
    int istar = 0;
    int dstar = 0;
    int k = 0;
    list[0] = 0;

    bool ok = true;
    for (;;) {
      // Complete the term list up to the order limit.
      while (list[k] < r && k < kMaxList) {
        list[k + 1] = list[k] + 1;
        ++k;
      }
      if (k < 1 || k > kMaxListCols) {
        ok = false;
        break;
      }
      const int w = 2 * k + 3;

      // Load the flagged rows. Rows up to max(n, w) are cleared: scoring and
      // the copy into S read rows up to w even when fewer rows are loaded,
      // and those rows must be zero, never left from an earlier list or call.
      const int rows = std::max(n, w);
      for (int j = 1; j <= w; ++j)
        for (int i = 1; i <= rows; ++i) x[at(kLdT, i, j)] = 0.0;
      int u = 0;
      for (int t = 1; t <= n; ++t) {
        if (use[t - 1] == 0) continue;
        ++u;
        x[at(kLdT, u, 1)] = f[at(kLdT, t, 1)];
        x[at(kLdT, u, 2)] = f[at(kLdT, t, 2)];
        for (int j = 1; j <= k; ++j) {
          x[at(kLdT, u, 2 * j + 1)] = f[at(kLdT, t, 2 * list[j] + 1)];
          x[at(kLdT, u, 2 * j + 2)] = f[at(kLdT, t, 2 * list[j] + 2)];
        }
        x[at(kLdT, u, w)] = y[t - 1];
      }

      for (int i = 1; i <= w; ++i) housev(x, u, w, i, i, ws.h);

      // Score the prefixes, longest first.
      const double uu = static_cast<double>(u);
      double rss = 0.0;
      for (int i = k; i >= 1; --i) {
        if (i == k) {
          const double e = x[at(kLdT, w, w)];
          rss = e * e;
        } else {
          const double e1 = x[at(kLdT, 2 * i + 3, w)];
          const double e2 = x[at(kLdT, 2 * i + 4, w)];
          rss = (e1 * e1 + rss) + e2 * e2;
        }
        double aic;
        if (!tfit7aic(rss, uu, i, aic)) continue;
        if (aic < crit) {
          crit = aic;
          istar = i;
          dstar = 2 * i + 2;
          for (int j = 1; j <= k; ++j) best[j] = list[j];
          for (int jj = 1; jj <= dstar; ++jj)
            for (int ii = 1; ii <= dstar; ++ii)
              s[sidx(ii, jj)] = x[at(kLdT, ii, jj)];
          for (int j = 1; j <= dstar; ++j) s[sidx(j, 0)] = x[at(kLdT, j, w)];
        }
      }

      // Next list: drop the last position and advance the new last one.
      --k;
      if (k == 0) break;
      list[k] = list[k] + 1;
    }

    if (ok && tfit7sol(n, m, istar, dstar, best, f, s, coef, fit)) return;

    if (!tfit7retry(r, n, m, coef, fit, order)) return;
  }
}

}  // namespace kov
