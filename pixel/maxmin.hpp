// Running lower envelope of a series.
#pragma once

namespace kov {

// Replaces y[0..n-1] by max(min of steps i..i+w, min of steps i-w..i), the
// series extended at both ends by w copies of its end values; results above
// 1e10 become 0. e is caller scratch with room for n + 2w doubles.
// Requires w >= 0.
void maxmin(int n, int w, double* y, double* e);

}  // namespace kov
