
#include "harmonic/householder_fast.hpp"

#include <cmath>


namespace kov {

// The sum of squares, the norm test, alpha, beta and v are the operations of
// apply_householder in the same order; bv holds the products beta*v(i) that every
// element of the reflection matrix starts from.
bool form_reflection(const double* col, int m, double* v, double* bv, double* beta_out) {
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
  if (beta_out != nullptr) *beta_out = beta;
  const int mpad = (m + 3) & ~3;
  for (int i = m; i < mpad; ++i) {
    v[i] = 0.0;
    bv[i] = 0.0;
  }
  return true;
}

namespace {

typedef double v4d
    __attribute__((vector_size(32), aligned(8), may_alias));

#define KOV_LOAD(p) (*reinterpret_cast<const v4d*>(p))
#define KOV_SPLAT(a) (v4d{(a), (a), (a), (a)})

// One register block: NV vectors of 4 rows (from row i0) times CB columns.
// Each lane accumulates its own element in increasing k, so vectorising
// across rows leaves every element's sequence of operations unchanged. The
// matrix elements are formed on the fly with the single product that the
// explicit matrix holds: for k below the block every lane has i > k, so
// p(i,k) = -(bv(k)*v(i)); above the block p(i,k) = -(bv(i)*v(k)); the
// negation is folded exactly into a subtraction, (-x)*a added = x*a
// subtracted. The k inside the block take the element lane by lane,
// including the diagonal -(bv(i)*v(i)) + 1.
template <int NV, int CB>
[[gnu::always_inline]] inline void block(const double* v, const double* bv,
                                         int m, int i0,
                                         const double* const* src,
                                         double* const* dst) {
  v4d acc[CB][NV];
  const double* s[CB];
#pragma GCC unroll 16
  for (int c = 0; c < CB; ++c) {
    s[c] = src[c];
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r) acc[c][r] = KOV_SPLAT(0.0);
  }
  const int ib = i0 + 4 * NV < m ? i0 + 4 * NV : m;
  {
    v4d vi[NV];
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r) vi[r] = KOV_LOAD(v + i0 + 4 * r);
    for (int k = 0; k < i0; ++k) {
      const v4d bk = KOV_SPLAT(bv[k]);
      v4d p[NV];
#pragma GCC unroll 16
      for (int r = 0; r < NV; ++r) p[r] = bk * vi[r];
#pragma GCC unroll 16
      for (int c = 0; c < CB; ++c) {
        const v4d a = KOV_SPLAT(s[c][k]);
#pragma GCC unroll 16
        for (int r = 0; r < NV; ++r) acc[c][r] = acc[c][r] - p[r] * a;
      }
    }
    v4d bvi[NV];
    v4d row[NV];  // row indices, exact as doubles
    const v4d lane = {0.0, 1.0, 2.0, 3.0};
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r) {
      bvi[r] = KOV_LOAD(bv + i0 + 4 * r);
      row[r] = lane + static_cast<double>(i0 + 4 * r);
    }
    for (int k = i0; k < ib; ++k) {
      const v4d bk = KOV_SPLAT(bv[k]);
      const v4d vk = KOV_SPLAT(v[k]);
      const v4d kk = KOV_SPLAT(static_cast<double>(k));
      v4d p[NV];
#pragma GCC unroll 16
      for (int r = 0; r < NV; ++r) {
        const v4d q = -(row[r] < kk ? bvi[r] * vk : bk * vi[r]);
        p[r] = row[r] == kk ? q + 1.0 : q;
      }
#pragma GCC unroll 16
      for (int c = 0; c < CB; ++c) {
        const v4d a = KOV_SPLAT(s[c][k]);
#pragma GCC unroll 16
        for (int r = 0; r < NV; ++r) acc[c][r] = acc[c][r] + p[r] * a;
      }
    }
  }
  {
    v4d bvi[NV];
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r) bvi[r] = KOV_LOAD(bv + i0 + 4 * r);
    for (int k = ib; k < m; ++k) {
      const v4d vk = KOV_SPLAT(v[k]);
      v4d p[NV];
#pragma GCC unroll 16
      for (int r = 0; r < NV; ++r) p[r] = bvi[r] * vk;
#pragma GCC unroll 16
      for (int c = 0; c < CB; ++c) {
        const v4d a = KOV_SPLAT(s[c][k]);
#pragma GCC unroll 16
        for (int r = 0; r < NV; ++r) acc[c][r] = acc[c][r] - p[r] * a;
      }
    }
  }
#pragma GCC unroll 16
  for (int c = 0; c < CB; ++c)
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r)
      *reinterpret_cast<v4d*>(dst[c] + i0 + 4 * r) = acc[c][r];
}

// Remaining row vectors (fewer than a full block) of a column group.
template <int CB, int NV>
[[gnu::always_inline]] inline void tail(int left, const double* v,
                                        const double* bv, int m, int i0,
                                        const double* const* src,
                                        double* const* dst) {
  if constexpr (NV > 0) {
    if (left == NV) {
      block<NV, CB>(v, bv, m, i0, src, dst);
    } else {
      tail<CB, NV - 1>(left, v, bv, m, i0, src, dst);
    }
  }
}

template <int CB, int NV>
[[gnu::always_inline]] inline void group(const double* v, const double* bv,
                                         int m, int nvec,
                                         const double* const* src,
                                         double* const* dst) {
  int k = 0;
  for (; k + NV <= nvec; k += NV) block<NV, CB>(v, bv, m, 4 * k, src, dst);
  tail<CB, NV - 1>(nvec - k, v, bv, m, 4 * k, src, dst);
}

// One column, NV vectors of 4 rows from row i0: the products of block()
// with the same rounding per element, arranged so that only the 4 x 4
// diagonal chunk of each vector needs the lane-by-lane choice of p(i,k):
// in the chunk of vector c every lane of a vector r > c lies below k, every
// lane of a vector r < c above it.
template <int NV>
[[gnu::always_inline]] inline void column_block(const double* v, const double* bv, int m,
                                                int i0, const double* src, double* dst) {
  v4d acc[NV], vi[NV], bvi[NV], row[NV];
  const v4d lane = {0.0, 1.0, 2.0, 3.0};
#pragma GCC unroll 16
  for (int r = 0; r < NV; ++r) {
    acc[r] = KOV_SPLAT(0.0);
    vi[r] = KOV_LOAD(v + i0 + 4 * r);
    bvi[r] = KOV_LOAD(bv + i0 + 4 * r);
    row[r] = lane + static_cast<double>(i0 + 4 * r);
  }
  for (int k = 0; k < i0; ++k) {
    const v4d bk = KOV_SPLAT(bv[k]);
    const v4d a = KOV_SPLAT(src[k]);
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r) acc[r] = acc[r] - (bk * vi[r]) * a;
  }
#pragma GCC unroll 16
  for (int c = 0; c < NV; ++c) {
#pragma GCC unroll 4
    for (int kk = 0; kk < 4; ++kk) {
      const int k = i0 + 4 * c + kk;
      if (k >= m) break;
      const v4d bk = KOV_SPLAT(bv[k]);
      const v4d vk = KOV_SPLAT(v[k]);
      const v4d a = KOV_SPLAT(src[k]);
#pragma GCC unroll 16
      for (int r = 0; r < NV; ++r) {
        if (r > c) {
          acc[r] = acc[r] - (bk * vi[r]) * a;
        } else if (r < c) {
          acc[r] = acc[r] - (bvi[r] * vk) * a;
        } else {
          const v4d kd = KOV_SPLAT(static_cast<double>(k));
          const v4d q = -(row[r] < kd ? bvi[r] * vk : bk * vi[r]);
          acc[r] = acc[r] + (row[r] == kd ? q + 1.0 : q) * a;
        }
      }
    }
  }
  for (int k = i0 + 4 * NV; k < m; ++k) {
    const v4d vk = KOV_SPLAT(v[k]);
    const v4d a = KOV_SPLAT(src[k]);
#pragma GCC unroll 16
    for (int r = 0; r < NV; ++r) acc[r] = acc[r] - (bvi[r] * vk) * a;
  }
#pragma GCC unroll 16
  for (int r = 0; r < NV; ++r) *reinterpret_cast<v4d*>(dst + i0 + 4 * r) = acc[r];
}

template <int NV>
[[gnu::always_inline]] inline void column_tail(int left, const double* v, const double* bv,
                                               int m, int i0, const double* src,
                                               double* dst) {
  if constexpr (NV > 0) {
    if (left == NV) {
      column_block<NV>(v, bv, m, i0, src, dst);
    } else {
      column_tail<NV - 1>(left, v, bv, m, i0, src, dst);
    }
  }
}

#undef KOV_LOAD
#undef KOV_SPLAT

}  // namespace

__attribute__((target_clones("avx2", "default"))) void apply_reflection(
    const double* v, const double* bv, int m, int nr,
    const double* const* src, double* const* dst, int ncol) {
  const int nvec = (nr + 3) / 4;
  int c = 0;
  for (; c + 4 <= ncol; c += 4) group<4, 2>(v, bv, m, nvec, src + c, dst + c);
  switch (ncol - c) {
    case 3:
      group<3, 2>(v, bv, m, nvec, src + c, dst + c);
      break;
    case 2:
      group<2, 3>(v, bv, m, nvec, src + c, dst + c);
      break;
    case 1:
      group<1, 5>(v, bv, m, nvec, src + c, dst + c);
      break;
    default:
      break;
  }
}

}  // namespace kov

namespace kov {

__attribute__((target_clones("avx2", "default"))) void apply_reflection_column(
    const double* v, const double* bv, int m, int nr, const double* src, double* dst) {
  constexpr int kNv = 4;
  const int nvec = (nr + 3) / 4;
  int k = 0;
  for (; k + kNv <= nvec; k += kNv) column_block<kNv>(v, bv, m, 4 * k, src, dst);
  column_tail<kNv - 1>(nvec - k, v, bv, m, 4 * k, src, dst);
}

}  // namespace kov
