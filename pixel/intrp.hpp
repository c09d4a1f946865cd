// Gap interpolation of one pixel's series.
#pragma once

namespace kov {

// Fills every run of unusable samples (flag <= 0) lying between two usable
// ones (flag > 0) on the straight line between them and flags it 2; samples
// before the first or after the last usable one become 0.0. The flag of time
// step 1 becomes 1 or 0; other flags keep their value. lmax is raised to the
// longest gap (distance from the previous usable step, or from 0 when there
// is none) and never lowered. Requires 1 <= n <= 200.
void intrp(int n, double* y, int* flags, int& lmax);

}  // namespace kov
