// What follows a rejected best-subset attempt.
#pragma once

namespace kov {

// After attempt r was rejected: when r > 1, stores r - 1 in order and
// returns true (try again with the lower limit); otherwise writes the
// failure marker (coef[0..m-1] = 0, fit[0..n-1] = -1.0, order = -1) and
// returns false.
bool tfit7retry(int r, int n, int m, double* coef, double* fit, int& order);

}  // namespace kov
