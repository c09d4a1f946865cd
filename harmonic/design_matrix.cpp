#include "harmonic/design_matrix.hpp"

#include <cmath>

namespace kov {

void fill_design_matrix(int ndat, int npoint, int nfunc, const int* numk, double* f) {
  const double pi = 4.0 * std::atan(1.0);
  const double omega = 2.0 * pi / static_cast<double>(npoint);
  for (int t = 1; t <= ndat; ++t) {
    const double td = static_cast<double>(t);
    for (int j = 1; j <= nfunc; ++j) {
      // The angle is rounded as (omega*t) first, then scaled by the
      // harmonic number.
      const double a = (omega * td) * static_cast<double>(numk[j - 1]);
      f[at(kLdT, t, 2 * j + 1)] = std::sin(a);
      f[at(kLdT, t, 2 * j + 2)] = std::cos(a);
    }
    f[at(kLdT, t, 1)] = 1.0;
    f[at(kLdT, t, 2)] = 0.1 * td;
  }
}

std::vector<double> design_matrix(int ndat, int npoint, int nfunc) {
  std::vector<double> f(static_cast<std::size_t>(kLdT) * kMaxCols, 0.0);
  fill_design_matrix(ndat, npoint, nfunc, kHarmonicNumbers.data(), f.data());
  return f;
}

}  // namespace kov
