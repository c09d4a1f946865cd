// Two-point linear interpolation.
#include "pixel/lint1.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kov {

void lint1(double x1, double x2, double y1, double y2, double x,
           double& result) {
  const double d = x2 - x1;
  if (std::fabs(d) < 1e-10 || x1 > x || x > x2) {
    // Callers guarantee x1 <= x <= x2 with distinct abscissae; reaching this
    // is a defect in the caller, not a property of the data.
    std::fprintf(stderr,
                 "kovarind: internal error: lint1 called with x1=%.17g "
                 "x2=%.17g x=%.17g\n",
                 x1, x2, x);
    std::abort();
  }
  const double s = (y2 - y1) / d;  // slope rounded before it is applied
  result = (x - x1) * s + y1;
}

}  // namespace kov
