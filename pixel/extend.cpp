// Extended copy of a series for the running envelope filters.
#include "pixel/extend.hpp"

#include <cstdio>
#include <cstdlib>

namespace kov {

void extend(const char* who, int n, int w, const double* y, double* e) {
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
