// Helpers for the numerical tests: a design matrix from mkmat2 and a small
// deterministic generator of uniform doubles.
#pragma once

#include <cstdint>
#include <vector>

#include "harmonic/dims.hpp"
#include "harmonic/mkmat2.hpp"

namespace kov::testing {

inline std::vector<double> design(int ndat, int npoint, int nfunc) {
  std::vector<double> f(static_cast<std::size_t>(kLdT) * kMaxCols, 0.0);
  mkmat2(ndat, npoint, nfunc, kNumk.data(), f.data());
  return f;
}

// Linear congruential generator; unif() is uniform on [0, 1).
struct Lcg {
  std::uint64_t s;
  double unif() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) * 0x1.0p-53;
  }
  int pick(int lo, int hi) { return lo + static_cast<int>(unif() * (hi - lo + 1)); }
};

}  // namespace kov::testing
