#include "harmonic/houseformfast.hpp"

#include <cmath>

namespace kov {

// The sum of squares, the norm test, alpha, beta and v are the operations of
// housev in the same order; bv holds the products beta*v(i) that every
// element of the reflection matrix starts from.
bool houseformfast(const double* col, int m, double* v, double* bv) {
  double s = 0.0;
  for (int i = 0; i < m; ++i) {
    const double e = col[i];
    s += e * e;
    v[i] = e;
  }
  const double sigma = std::sqrt(s);
  const double t = col[0];
  if (sigma < 1e-60) return false;
  const double alpha = (t >= 0.0) ? sigma : -sigma;
  const double beta = 1.0 / (alpha * t + s);
  v[0] = v[0] + alpha;
  for (int i = 0; i < m; ++i) bv[i] = beta * v[i];
  const int mpad = (m + 3) & ~3;
  for (int i = m; i < mpad; ++i) {
    v[i] = 0.0;
    bv[i] = 0.0;
  }
  return true;
}

}  // namespace kov
