// Amplitude and phase of one harmonic from its sine and cosine coefficients.
#include "pixel/amplitude_phase.hpp"

#include <cmath>

namespace kov {

void amplitude_phase(double u, double v, double& amp, double& phase) {
  constexpr double kPi = 3.1415927410125732;  // 3.1415927f widened
  const double a = std::sqrt(u * u + v * v);
  if (a <= 1e-40) {
    amp = 0.0;
    phase = 0.0;
    return;
  }
  amp = a;
  const double su = u >= 0.0 ? 1.0 : -1.0;
  const double sv = v >= 0.0 ? 1.0 : -1.0;
  // Quadrant offset that turns atan(v/u) into the two-argument arctangent.
  double offset = 0.0;
  if (su < 0.0) offset = sv < 0.0 ? -kPi : kPi;
  if (std::fabs(u) < 1e-10) {
    phase = 0.5 * kPi * su * sv + offset;
  } else {
    phase = std::atan(v / u) + offset;
  }
}

}  // namespace kov
