// Two-point linear interpolation.
#pragma once

namespace kov {

// result = (x - x1) * s + y1 with the slope s = (y2 - y1) / (x2 - x1) rounded
// to a double first. Requires |x2 - x1| >= 1e-10 and x1 <= x <= x2; a call
// outside that is a programming error and aborts with a message.
void lint1(double x1, double x2, double y1, double y2, double x,
           double& result);

}  // namespace kov
