#include "harmonic/tfit7sol.hpp"

#include "harmonic/dims.hpp"
#include "harmonic/matinv.hpp"

namespace kov {

bool tfit7sol(int n, int m, int istar, int dstar, const int* best,
              const double* f, double* s, double* coef, double* fit) {
  // S(i, j) with columns numbered from 0.
  const auto sidx = [](int i, int j) {
    return static_cast<std::size_t>(j) * kLdC + static_cast<std::size_t>(i - 1);
  };
  if (matinv(s + sidx(1, 1), dstar, kLdC) != 0) return false;
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
