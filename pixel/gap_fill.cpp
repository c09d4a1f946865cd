// Gap interpolation of one pixel's series.
#include "pixel/gap_fill.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>


namespace kov {

void fill_gaps(int n, double* y, int* flags, int& longest_gap) {
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
      if (g > longest_gap) longest_gap = g;
      if (g > 1 && last > 0) {
        const double xa = static_cast<double>(last);
        const double xi = static_cast<double>(i);
        const double ya = y[last - 1];
        const double yi = y[i - 1];
        for (int m = i - 1; m >= last + 1; --m) {
          interpolate_linear(xa, xi, ya, yi, static_cast<double>(m), y[m - 1]);
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

void interpolate_linear(double x1, double x2, double y1, double y2, double x,
           double& result) {
  const double d = x2 - x1;
  if (std::fabs(d) < 1e-10 || x1 > x || x > x2) {
    // Callers guarantee x1 <= x <= x2 with distinct abscissae; reaching this
    // is a defect in the caller, not a property of the data.
    std::fprintf(stderr,
                 "kovarind: internal error: interpolate_linear called with x1=%.17g "
                 "x2=%.17g x=%.17g\n",
                 x1, x2, x);
    std::abort();
  }
  const double s = (y2 - y1) / d;  // slope rounded before it is applied
  result = (x - x1) * s + y1;
}

}  // namespace kov
