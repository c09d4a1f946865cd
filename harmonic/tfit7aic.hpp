// Akaike's criterion of one best-subset candidate (inline: it is evaluated
// for every prefix of every term list).
#pragma once

#include <cmath>

namespace kov {

// Criterion of a candidate with i harmonics whose residual sum of squares is
// rss over u flagged steps: u ln(2 pi rss / u) + u + (4i + 6), evaluated in
// that order with pi = 3.1415927f widened. Returns false (candidate not
// scored) when the residual mean square rss / u is not above 1e-20.
inline bool tfit7aic(double rss, double u, int i, double& aic) {
  constexpr double kPiSingle = 3.1415927410125732;
  if (!(rss / u > 1e-20)) return false;
  aic = u * std::log(2.0 * kPiSingle * rss / u) + u + static_cast<double>(4 * i + 6);
  return true;
}

}  // namespace kov
