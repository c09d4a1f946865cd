#include "harmonic/houseformfast.hpp"

#include <cmath>
#include <cstddef>

namespace kov {

namespace {
typedef double v4d
    __attribute__((vector_size(32), aligned(8), may_alias));
}  // namespace

// P = I - beta*v*v' with v = col + alpha*e_1 and alpha = sign(pivot)*|col|.
// Element (i,k) is -((beta*v(min(i,k)))*v(max(i,k))), plus 1 on the
// diagonal, exactly the products and roundings of the full-size reflection;
// each column is filled in two vectorised runs (above and from the diagonal).
__attribute__((target_clones("avx2", "default"))) bool houseformfast(
    const double* col, int m, double* p, int ldp, double* v, double* bv) {
  double s = 0.0;
  for (int i = 0; i < m; ++i) {
    const double e = col[i];
    s += e * e;
    v[i] = e;
  }
  const double sigma = std::sqrt(s);
  const double t = col[0];
  if (sigma < 1e-60) return false;
  const double alpha = (t >= 0.0) ? sigma : -sigma;
  const double beta = 1.0 / (alpha * t + s);
  v[0] = v[0] + alpha;
  for (int i = 0; i < m; ++i) bv[i] = beta * v[i];

  const int mpad = (m + 3) & ~3;
  for (int k = 0; k < m; ++k) {
    double* pk = p + static_cast<std::size_t>(k) * static_cast<std::size_t>(ldp);
    const double vk = v[k];
    const double bvk = bv[k];
    // Rows above the diagonal: -(bv(i)*v(k)).
    int i = 0;
    const v4d vkv = {vk, vk, vk, vk};
    for (; i + 4 <= k; i += 4) {
      const v4d b = *reinterpret_cast<const v4d*>(bv + i);
      *reinterpret_cast<v4d*>(pk + i) = -(b * vkv);
    }
    for (; i < k; ++i) pk[i] = -(bv[i] * vk);
    // Diagonal and below: -(bv(k)*v(i)).
    const v4d bkv = {bvk, bvk, bvk, bvk};
    for (; i + 4 <= m; i += 4) {
      const v4d a = *reinterpret_cast<const v4d*>(v + i);
      *reinterpret_cast<v4d*>(pk + i) = -(bkv * a);
    }
    for (; i < m; ++i) pk[i] = -(bvk * v[i]);
    pk[k] = pk[k] + 1.0;
    for (i = m; i < mpad; ++i) pk[i] = 0.0;
  }
  return true;
}

}  // namespace kov
