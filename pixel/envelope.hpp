// Running upper and lower envelopes of a series, over a copy padded at both
// ends with the end values.
#pragma once

namespace kov {

// Replaces y[0..n-1] by min(max of steps i..i+w, max of steps i-w..i), the
// series extended at both ends by w copies of its end values; results at or
// below -1e10 become 0. e is caller scratch with room for n + 2w doubles.
// Requires w >= 0.
void upper_envelope(int n, int w, double* y, double* e);

// Replaces y[0..n-1] by max(min of steps i..i+w, min of steps i-w..i), the
// series extended at both ends by w copies of its end values; results above
// 1e10 become 0. e is caller scratch with room for n + 2w doubles.
// Requires w >= 0.
void lower_envelope(int n, int w, double* y, double* e);

// Writes w copies of y[0], then y[0..n-1], then w copies of y[n-1] into
// e[0..n+2w-1]. A negative w is a defect of the calling filter `who`: it
// aborts with a message naming it.
void padded_copy(const char* who, int n, int w, const double* y, double* e);

}  // namespace kov
