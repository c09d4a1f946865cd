#include "harmonic/fixed_fit.hpp"

#include "base/limits.hpp"
#include "harmonic/invert.hpp"

namespace kov {

// Ordinary least squares through the normal equations N c = r, with N
// inverted explicitly. Every sum starts from 0.0 and adds its terms in
// increasing index order.
void fit_fixed_basis(int n, int h, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit) {
  const int m = 2 * h + 2;
  double nrm[kLdC * kLdC];
  double w[kLdC * kLdC];
  double r[kLdC];

  for (int i = 0; i < m; ++i) coef[i] = 0.0;
  for (int s = 0; s < n; ++s) fit[s] = 0.0;
  for (int j = 1; j <= m; ++j) {
    for (int i = 1; i <= m; ++i) nrm[at(kLdC, i, j)] = 0.0;
    r[j - 1] = 0.0;
  }

  for (int s = 1; s <= n; ++s) {
    if (use[s - 1] == 0) continue;
    for (int k = 1; k <= m; ++k) {
      const double fsk = f[at(kLdT, s, k)];
      for (int l = 1; l <= m; ++l)
        nrm[at(kLdC, k, l)] += f[at(kLdT, s, l)] * fsk;
      r[k - 1] += y[s - 1] * fsk;
    }
  }

  for (int j = 1; j <= m; ++j) {
    for (int i = 1; i <= j; ++i) {
      w[at(kLdC, i, j)] = nrm[at(kLdC, i, j)];
      w[at(kLdC, j, i)] = nrm[at(kLdC, i, j)];
    }
  }

  if (invert_in_place(w, m, kLdC) != 0) {
    for (int i = 0; i < m; ++i) coef[i] = 0.0;
    for (int s = 0; s < n; ++s) fit[s] = y[s];
    return;
  }

  for (int i = 1; i <= m; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= m; ++j) sum += w[at(kLdC, i, j)] * r[j - 1];
    coef[i - 1] = sum;
  }
  for (int s = 1; s <= n; ++s) {
    double sum = 0.0;
    for (int k = 1; k <= m; ++k) sum += coef[k - 1] * f[at(kLdT, s, k)];
    fit[s - 1] = sum;
  }
}

}  // namespace kov
