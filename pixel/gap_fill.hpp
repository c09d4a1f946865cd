// Gap filling of one pixel's series: straight lines between usable samples.
#pragma once

namespace kov {

// Fills every run of unusable samples (flag <= 0) lying between two usable
// ones (flag > 0) on the straight line between them and flags it 2; samples
// before the first or after the last usable one become 0.0. The flag of time
// step 1 becomes 1 or 0; other flags keep their value. longest_gap is raised to the
// longest gap (distance from the previous usable step, or from 0 when there
// is none) and never lowered. Requires 1 <= n <= 200.
void fill_gaps(int n, double* y, int* flags, int& longest_gap);

// result = (x - x1) * s + y1 with the slope s = (y2 - y1) / (x2 - x1) rounded
// to a double first. Requires |x2 - x1| >= 1e-10 and x1 <= x <= x2; a call
// outside that is a programming error and aborts with a message.
void interpolate_linear(double x1, double x2, double y1, double y2, double x,
           double& result);

}  // namespace kov
