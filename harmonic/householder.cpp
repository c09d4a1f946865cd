#include "harmonic/householder.hpp"

#include <algorithm>
#include <cmath>

namespace kov {

// Householder reflection P = I - beta*v*v' with v = x + alpha*e_irow, where
// x is column icol restricted to rows irow..nrow and alpha = sign(pivot)*|x|.
// P is formed explicitly and multiplied onto a; rows above irow are mapped
// onto themselves.
void apply_householder(double* a, int nrow, int ncol, int irow, int icol,
            HouseholderScratch& ws) {
  if (icol < 1 || icol > ncol || irow < 1 || irow > nrow) return;

  double* p = ws.p;
  double* b = ws.b;
  double v[kLdT + 1];

  const int nmax = std::max(nrow, ncol);
  for (int j = 1; j <= nmax; ++j)
    for (int i = 1; i <= nmax; ++i) p[at(kLdT, i, j)] = 0.0;
  for (int i = 1; i <= nmax; ++i) v[i] = 0.0;

  double s = 0.0;
  for (int i = irow; i <= nrow; ++i) {
    const double e = a[at(kLdT, i, icol)];
    s += e * e;
    v[i] = e;
  }
  const double sigma = std::sqrt(s);
  const double t = a[at(kLdT, irow, icol)];
  if (sigma < 1e-60) return;  // a norm of exactly 1e-60 is still reflected

  const double alpha = (t >= 0.0) ? sigma : -sigma;  // zero pivot: positive
  const double beta = 1.0 / (alpha * t + s);
  v[irow] = v[irow] + alpha;

  for (int i = 1; i <= nrow; ++i) {
    for (int j = i; j <= nrow; ++j) {
      const double e = -((beta * v[i]) * v[j]);
      p[at(kLdT, i, j)] = e;
      p[at(kLdT, j, i)] = e;
    }
  }
  for (int i = 1; i <= nrow; ++i) p[at(kLdT, i, i)] = p[at(kLdT, i, i)] + 1.0;

  for (int j = 1; j <= ncol; ++j) {
    for (int i = 1; i <= nrow; ++i) {
      double sum = 0.0;
      for (int k = 1; k <= nrow; ++k)
        sum += p[at(kLdT, i, k)] * a[at(kLdT, k, j)];
      b[at(kLdT, i, j)] = sum;
    }
  }
  for (int j = 1; j <= ncol; ++j)
    for (int i = 1; i <= nrow; ++i) a[at(kLdT, i, j)] = b[at(kLdT, i, j)];
}

}  // namespace kov
