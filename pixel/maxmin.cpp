// Running lower envelope of a series.
#include "pixel/maxmin.hpp"

#include <cstdio>
#include <cstdlib>

namespace kov {

void maxmin(int n, int w, double* y, double* e) {
  if (w < 0) {
    std::fprintf(stderr, "kovarind: internal error: maxmin half-width %d\n",
                 w);
    std::abort();
  }
  // Extended copy: w copies of y[0], the series, w copies of y[n-1]; every
  // output is computed from it, so outputs never feed each other.
  for (int j = 0; j < w; ++j) e[j] = y[0];
  for (int i = 0; i < n; ++i) e[w + i] = y[i];
  for (int j = 0; j < w; ++j) e[w + n + j] = y[n - 1];

  for (int i = 0; i < n; ++i) {
    double a = 9.9e99;  // min of the forward window i..i+w
    double b = 9.9e99;  // min of the backward window i-w..i
    for (int k = 0; k <= w; ++k) {
      // A NaN fails the comparison and is passed over.
      if (e[i + w + k] < a) a = e[i + w + k];
      if (e[i + w - k] < b) b = e[i + w - k];
    }
    double r = b > a ? b : a;
    if (r > 1e10) r = 0.0;
    y[i] = r;
  }
}

}  // namespace kov
