#include "harmonic/tfit7retry.hpp"

namespace kov {

bool tfit7retry(int r, int n, int m, double* coef, double* fit, int& order) {
  if (r > 1) {
    order = r - 1;
    return true;
  }
  for (int i = 0; i < m; ++i) coef[i] = 0.0;
  for (int t = 0; t < n; ++t) fit[t] = -1.0;
  order = -1;
  return false;
}

}  // namespace kov
