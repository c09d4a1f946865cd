
#include "harmonic/best_subset.hpp"

#include <algorithm>
#include <cmath>

#include "base/limits.hpp"
#include "harmonic/invert.hpp"

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
void fit_best_subset(int n, int nfunc, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit, int& order,
           double& crit, BestSubsetScratch& ws) {
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

      for (int i = 1; i <= w; ++i) apply_householder(x, u, w, i, i, ws.h);

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
        if (!akaike_criterion(rss, uu, i, aic)) continue;
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

    if (ok && solve_winner(n, m, istar, dstar, best, f, s, coef, fit)) return;

    if (!retry_lower_order(r, n, m, coef, fit, order)) return;
  }
}

bool retry_lower_order(int r, int n, int m, double* coef, double* fit, int& order) {
  if (r > 1) {
    order = r - 1;
    return true;
  }
  for (int i = 0; i < m; ++i) coef[i] = 0.0;
  for (int t = 0; t < n; ++t) fit[t] = -1.0;
  order = -1;
  return false;
}

bool solve_winner(int n, int m, int istar, int dstar, const int* best,
              const double* f, double* s, double* coef, double* fit) {
  // S(i, j) with columns numbered from 0.
  const auto sidx = [](int i, int j) {
    return static_cast<std::size_t>(j) * kLdC + static_cast<std::size_t>(i - 1);
  };
  if (invert_in_place(s + sidx(1, 1), dstar, kLdC) != 0) return false;
  return evaluate_winner(n, m, istar, dstar, best, f, s, coef, fit);
}

bool evaluate_winner(int n, int m, int istar, int dstar, const int* best,
                     const double* f, const double* s, double* coef, double* fit) {
  const auto sidx = [](int i, int j) {
    return static_cast<std::size_t>(j) * kLdC + static_cast<std::size_t>(i - 1);
  };
  for (int i = 0; i <= istar; ++i) {
    const int g = (i == 0) ? 1 : 2 * best[i] + 1;
    double c1 = 0.0;
    double c2 = 0.0;
    for (int j = 1; j <= dstar; ++j) c1 += s[sidx(2 * i + 1, j)] * s[sidx(j, 0)];
    for (int j = 1; j <= dstar; ++j) c2 += s[sidx(2 * i + 2, j)] * s[sidx(j, 0)];
    coef[g - 1] = c1;
    coef[g] = c2;
  }
  // A fitted value outside [0, 1] rejects the attempt; so does one that is
  // not a number, which no comparison of a minimum or maximum would see.
  bool inside = true;
  for (int t = 1; t <= n; ++t) {
    double sum = 0.0;
    for (int j = 1; j <= m; ++j) sum += coef[j - 1] * f[at(kLdT, t, j)];
    fit[t - 1] = sum;
    if (!(sum >= 0.0 && sum <= 1.0)) inside = false;
  }
  return inside;
}

}  // namespace kov
