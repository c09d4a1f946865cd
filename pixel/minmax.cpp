// Running upper envelope of a series.
#include "pixel/minmax.hpp"

#include "pixel/extend.hpp"

namespace kov {

void minmax(int n, int w, double* y, double* e) {
  // Every output is computed from the extended copy, so outputs never feed
  // each other.
  extend("minmax", n, w, y, e);

  for (int i = 0; i < n; ++i) {
    double a = -9.9e99;  // max of the forward window i..i+w
    double b = -9.9e99;  // max of the backward window i-w..i
    for (int k = 0; k <= w; ++k) {
      // A NaN fails the comparison and is passed over.
      if (e[i + w + k] > a) a = e[i + w + k];
      if (e[i + w - k] > b) b = e[i + w - k];
    }
    double r = b < a ? b : a;
    if (r <= -1e10) r = 0.0;
    y[i] = r;
  }
}

}  // namespace kov
