#include "harmonic/fixed_fit.hpp"

#include "base/limits.hpp"
#include "harmonic/fit_cache.hpp"
#include "harmonic/invert.hpp"

namespace kov {

namespace {

// coef = W r and the model at every step, sums in increasing index order.
void solve(int n, int m, const double* w, const double* r, const double* f, double* coef,
           double* fit) {
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

}  // namespace

// Ordinary least squares through the normal equations N c = r, with N
// inverted explicitly. Every sum starts from 0.0 and adds its terms in
// increasing index order. N and r are separate sums, so with N inverted
// already (a cache hit) r alone is summed, with the same bits.
void fit_fixed_basis(int n, int h, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit, FitCache* cache) {
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

  const FitCache::Fixed* kept = nullptr;
  FitKey key;
  if (cache != nullptr && cache->enabled()) {
    key = FitKey::of(n, h, h, use);
    kept = cache->find_fixed(key, f, m);
  }
  if (kept != nullptr) {
    for (int s = 1; s <= n; ++s) {
      if (use[s - 1] == 0) continue;
      for (int k = 1; k <= m; ++k) r[k - 1] += y[s - 1] * f[at(kLdT, s, k)];
    }
    if (!kept->inverted) {
      for (int s = 0; s < n; ++s) fit[s] = y[s];
      return;
    }
    solve(n, m, kept->w, r, f, coef, fit);
    return;
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

  const bool inverted = invert_in_place(w, m, kLdC) == 0;
  if (cache != nullptr && cache->enabled()) cache->keep_fixed(key, f, m, inverted, w);
  if (!inverted) {
    for (int i = 0; i < m; ++i) coef[i] = 0.0;
    for (int s = 0; s < n; ++s) fit[s] = y[s];
    return;
  }
  solve(n, m, w, r, f, coef, fit);
}

}  // namespace kov
