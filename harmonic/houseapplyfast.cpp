#include "harmonic/houseapplyfast.hpp"

#include <cstddef>

namespace kov {

namespace {

typedef double v4d
    __attribute__((vector_size(32), aligned(8), may_alias));

// One register block: NV vectors of 4 rows times CB columns. Every lane
// accumulates its own element in increasing k, so vectorising across rows
// leaves each element's sequence of operations unchanged.
template <int NV, int CB>
[[gnu::always_inline]] inline void block(const double* p, std::size_t ldp,
                                         int m, int i0,
                                         const double* const* src,
                                         double* const* dst) {
  v4d acc[CB][NV];
  for (int c = 0; c < CB; ++c)
    for (int r = 0; r < NV; ++r) acc[c][r] = v4d{0.0, 0.0, 0.0, 0.0};
  const double* s[CB];
  for (int c = 0; c < CB; ++c) s[c] = src[c];
  const double* pk = p + i0;
  for (int k = 0; k < m; ++k, pk += ldp) {
    v4d pv[NV];
    for (int r = 0; r < NV; ++r) pv[r] = *reinterpret_cast<const v4d*>(pk + 4 * r);
    for (int c = 0; c < CB; ++c) {
      const double a = s[c][k];
      const v4d av = {a, a, a, a};
      for (int r = 0; r < NV; ++r) acc[c][r] = acc[c][r] + pv[r] * av;
    }
  }
  for (int c = 0; c < CB; ++c)
    for (int r = 0; r < NV; ++r)
      *reinterpret_cast<v4d*>(dst[c] + i0 + 4 * r) = acc[c][r];
}

// Remaining row vectors (fewer than a full block) of a column group.
template <int CB, int NV>
[[gnu::always_inline]] inline void tail(int left, const double* p,
                                        std::size_t ldp, int m, int i0,
                                        const double* const* src,
                                        double* const* dst) {
  if constexpr (NV > 0) {
    if (left == NV) {
      block<NV, CB>(p, ldp, m, i0, src, dst);
    } else {
      tail<CB, NV - 1>(left, p, ldp, m, i0, src, dst);
    }
  }
}

template <int CB, int NV>
[[gnu::always_inline]] inline void group(const double* p, std::size_t ldp,
                                         int m, int nvec,
                                         const double* const* src,
                                         double* const* dst) {
  int v = 0;
  for (; v + NV <= nvec; v += NV) block<NV, CB>(p, ldp, m, 4 * v, src, dst);
  tail<CB, NV - 1>(nvec - v, p, ldp, m, 4 * v, src, dst);
}

}  // namespace

__attribute__((target_clones("avx2", "default"))) void houseapplyfast(
    const double* p, int ldp, int m, int nr, const double* const* src,
    double* const* dst, int ncol) {
  const std::size_t ld = static_cast<std::size_t>(ldp);
  const int nvec = (nr + 3) / 4;
  int c = 0;
  for (; c + 4 <= ncol; c += 4) group<4, 2>(p, ld, m, nvec, src + c, dst + c);
  switch (ncol - c) {
    case 3:
      group<3, 3>(p, ld, m, nvec, src + c, dst + c);
      break;
    case 2:
      group<2, 4>(p, ld, m, nvec, src + c, dst + c);
      break;
    case 1:
      group<1, 8>(p, ld, m, nvec, src + c, dst + c);
      break;
    default:
      break;
  }
}

}  // namespace kov
