// Gap interpolation of one pixel's series.
#include "pixel/intrp.hpp"

#include "pixel/lint1.hpp"

namespace kov {

void intrp(int n, double* y, int* flags, int& lmax) {
  // last: 1-based time step of the latest usable sample, 0 before the first.
  int last = 0;
  if (flags[0] > 0) {
    last = 1;
    flags[0] = 1;
  } else {
    y[0] = 0.0;
    flags[0] = 0;
  }
  for (int i = 2; i <= n; ++i) {
    if (flags[i - 1] > 0) {
      const int g = i - last;
      if (g > lmax) lmax = g;
      if (g > 1 && last > 0) {
        const double xa = static_cast<double>(last);
        const double xi = static_cast<double>(i);
        const double ya = y[last - 1];
        const double yi = y[i - 1];
        for (int m = i - 1; m >= last + 1; --m) {
          lint1(xa, xi, ya, yi, static_cast<double>(m), y[m - 1]);
          flags[m - 1] = 2;
        }
      }
      last = i;
    } else {
      // Unusable: zero until a later usable sample closes the gap.
      y[i - 1] = 0.0;
    }
  }
}

}  // namespace kov
