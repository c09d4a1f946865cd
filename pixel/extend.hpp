// Extended copy of a series for the running envelope filters.
#pragma once

namespace kov {

// Writes w copies of y[0], then y[0..n-1], then w copies of y[n-1] into
// e[0..n+2w-1]. A negative w is a defect of the calling filter `who`: it
// aborts with a message naming it.
void extend(const char* who, int n, int w, const double* y, double* e);

}  // namespace kov
