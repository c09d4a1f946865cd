// Running upper envelope of a series.
#include "pixel/envelope.hpp"

#include <cstdio>
#include <cstdlib>


namespace kov {

void upper_envelope(int n, int w, double* y, double* e) {
  // Every output is computed from the extended copy, so outputs never feed
  // each other.
  padded_copy("upper_envelope", n, w, y, e);

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

void lower_envelope(int n, int w, double* y, double* e) {
  // Every output is computed from the extended copy, so outputs never feed
  // each other.
  padded_copy("lower_envelope", n, w, y, e);

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

void padded_copy(const char* who, int n, int w, const double* y, double* e) {
  if (w < 0) {
    std::fprintf(stderr, "kovarind: internal error: %s half-width %d\n", who,
                 w);
    std::abort();
  }
  for (int j = 0; j < w; ++j) e[j] = y[0];
  for (int i = 0; i < n; ++i) e[w + i] = y[i];
  for (int j = 0; j < w; ++j) e[w + n + j] = y[n - 1];
}

}  // namespace kov
