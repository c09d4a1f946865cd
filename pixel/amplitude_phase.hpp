// Amplitude and phase of one harmonic from its sine and cosine coefficients.
#pragma once

namespace kov {

// amp = sqrt(u^2 + v^2) and phase such that u*sin(t) + v*cos(t) =
// amp*sin(t + phase), phase in [-pi, pi] with pi = 3.1415927410125732 (the
// single-precision value); a u of exactly 0 counts as positive, |u| < 1e-10
// gives +-pi/2 without the arctangent, and amp <= 1e-40 gives both zero.
void amplitude_phase(double u, double v, double& amp, double& phase);

}  // namespace kov
