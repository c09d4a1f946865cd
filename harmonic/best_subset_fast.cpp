#include "harmonic/best_subset_fast.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "harmonic/householder_fast.hpp"
#include "harmonic/best_subset.hpp"
#include "harmonic/fit_cache.hpp"
#include "harmonic/invert.hpp"

namespace kov {

namespace {

constexpr double kCritStart = 9.9e9;
constexpr double kFastMax = 1e150;  // no sum of squares can overflow below it
constexpr int kMaxDepth = kMaxHarmonics + 1;

inline std::size_t sidx(int i, int j) {
  return static_cast<std::size_t>(j) * kLdC + static_cast<std::size_t>(i - 1);
}

// The reduction of a term list q_1 < ... < q_k applies 2k+3 reflections in
// turn to the columns [constant, trend, pair q_1, ..., pair q_k, y]. Each
// column is transformed independently and the reflection at pivot row p
// depends only on columns 1..p, so the state after the reflections of a
// prefix is shared by every list that starts with it. The lists are the
// leaves (last position = r) of the prefix tree, in depth-first order with
// children in increasing position, which is the enumeration order of fit_best_subset.
//
// A node at depth j with last position q holds, after its two reflections
// (pivot rows 2j+1 and 2j+2), the columns still to be pivoted in its subtree:
// the pairs of positions q+1..r and y, rows 2j+1..u. Columns already pivoted
// are not carried: the leading block S of a candidate is rebuilt once per
// attempt by reducing the winning prefix again (its rows 1..d are final after
// reflection d, whatever list it was scored in).
//
// Exactness: a reflection at pivot row p has v(k) = 0 for k < p, so in
// b(i,j) = sum_k p(i,k)*a(k,j) the terms k < p are signed zeros that leave the
// +0.0 start unchanged, and rows i < p map to a(i,j) + 0.0, which is a(i,j)
// once any reflection has written them (a sum starting from +0.0 is never
// -0.0). The first reflection (constant column, norm at least 1e-60, else
// the plain routine runs) writes every row. Finite inputs bounded by 1e150
// keep every product finite, so the skipped terms are zeros.
//
// Replay: every reflection of the tree is formed from design columns alone,
// so a reduction recorded for the same flags, order limit and design holds
// the same v and beta*v bits. Each column goes through a reflection on its
// own (apply_reflection sums every element in the same order whatever the
// columns beside it), so sending only y through the recorded reflections
// gives the y rows, and with them every criterion, of the full walk. The
// rows of y that enter S are those of the winner's path (row p of y is final
// after reflection p), kept when the winner is scored.
struct Engine {
  BestSubsetFastScratch& ws;
  int u = 0;       // flagged steps
  int ld = 0;      // rows per column buffer
  int r0 = 0;      // order limit of the first attempt (load layout)
  int r = 0;       // order limit of the tree being walked
  int rrec = 0;    // order limit of the recorded tree, 0 if none
  double uu = 0.0;
  double* x0 = nullptr;   // loaded columns: const, trend, pairs 1..r0, y
  double* tmp = nullptr;  // output of the first reflection of a node
  double* rep = nullptr;  // replay of the winning prefix
  double* lev[kMaxDepth + 1] = {};
  bool rec = false;

  // Recording into or replaying from a kept reduction: the reflections in
  // the order the walk forms them (ri counts them, cur is the offset of the
  // next v in its data).
  FitCache::Reduction red;
  bool kept = false;  // red holds every reflection of the first attempt
  bool recording = false;
  bool replaying = false;
  std::size_t ri = 0;
  std::size_t cur = 0;

  // Along the current path, per depth j: rows 2j+1, 2j+2 of y and the value
  // x(w,w) of a list ending at that node (w = 2j+3).
  double yb[kMaxDepth + 1][2] = {};
  double xw[kMaxDepth + 1] = {};
  int path[kMaxDepth + 1] = {};

  double crit = kCritStart;
  int istar = 0;
  int dstar = 0;
  int best[kMaxCols + 1] = {};
  double sy[kMaxCols + 2] = {};  // rows 1..d* of y of the best candidate

  explicit Engine(BestSubsetFastScratch& w) : ws(w) {}

  double* col(double* b, int c) const {
    return b + static_cast<std::size_t>(c) * static_cast<std::size_t>(ld);
  }

  // One reflection at 0-based pivot row pr, formed from column piv, applied
  // to ncol columns from src into dst over rows pr..u-1 (only nr of them if
  // nr > 0). A reflection that leaves the matrix unchanged copies.
  void reflect(const double* piv, int pr, const double* const* src,
               double* const* dst, int ncol, int nr = 0) {
    const int m = u - pr;
    if (m <= 0) return;
    if (nr <= 0 || nr > m) nr = m;
    const double* s[kMaxCols];
    double* d[kMaxCols];
    for (int c = 0; c < ncol; ++c) {
      s[c] = src[c] + pr;
      d[c] = dst[c] + pr;
    }
    const std::size_t mp = static_cast<std::size_t>((m + 3) & ~3);
    double* v = ws.v;
    double* bv = ws.bv;
    bool formed;
    // A kept reflection is v (padded) and beta; beta*v(i) is recomputed
    // with the one rounding form_reflection gave it.
    if (replaying) {
      formed = red.formed[ri++] != 0;
      if (formed) {
        v = red.data + cur;
        const double beta = v[mp];
        for (std::size_t i = 0; i < mp; ++i) bv[i] = beta * v[i];
        cur += mp + 4;
      }
    } else {
      double beta = 0.0;
      if (recording) v = red.data + cur;
      formed = form_reflection(piv + pr, m, v, bv, &beta);
      if (recording) {
        red.formed[ri++] = formed ? 1 : 0;
        if (formed) {
          v[mp] = beta;
          cur += mp + 4;
        }
      }
    }
    if (formed && replaying) {
      apply_reflection_column(v, bv, m, nr, s[0], d[0]);
    } else if (formed) {
      apply_reflection(v, bv, m, nr, s, d, ncol);
    } else {
      for (int c = 0; c < ncol; ++c)
        std::memcpy(d[c], s[c], sizeof(double) * static_cast<std::size_t>(nr));
    }
  }

  // x(w,w) after the final reflection of a list, from column yc of y with
  // 0-based pivot row pr: one row of the reflection product.
  double leafvalue(const double* yc, int pr) const {
    if (pr >= u) return 0.0;
    double s = 0.0;
    for (int i = pr; i < u; ++i) {
      const double e = yc[i];
      s += e * e;
    }
    const double sigma = std::sqrt(s);
    const double t = yc[pr];
    if (sigma < 1e-60) return t;
    const double alpha = (t >= 0.0) ? sigma : -sigma;
    const double beta = 1.0 / (alpha * t + s);
    const double vw = t + alpha;
    const double bvw = beta * vw;
    double sum = 0.0;
    sum += (-(bvw * vw) + 1.0) * t;
    for (int i = pr + 1; i < u; ++i) sum += (-(bvw * yc[i])) * yc[i];
    return sum;
  }

  double row(const double* c, int ri) const { return ri < u ? c[ri] : 0.0; }

  // Scores the prefixes of the list on the current path (depth k), longest
  // first, as fit_best_subset does.
  void score(int k) {
    double rss = 0.0;
    for (int i = k; i >= 1; --i) {
      if (i == k) {
        const double e = xw[k];
        rss = e * e;
      } else {
        const double e1 = yb[i + 1][0];
        const double e2 = yb[i + 1][1];
        rss = (e1 * e1 + rss) + e2 * e2;
      }
      double aic;
      if (!akaike_criterion(rss, uu, i, aic)) continue;
      if (aic < crit) {
        crit = aic;
        istar = i;
        dstar = 2 * i + 2;
        for (int j = 1; j <= k; ++j) best[j] = path[j];
        for (int j = 0; j <= i; ++j) {
          sy[2 * j] = yb[j][0];
          sy[2 * j + 1] = yb[j][1];
        }
      }
    }
  }

  void store(int id, int j) {
    double* e = ws.node + 3 * static_cast<std::size_t>(id);
    e[0] = yb[j][0];
    e[1] = yb[j][1];
    e[2] = xw[j];
  }

  // Node at depth j with last position q, pending columns in a, id its
  // preorder number in the tree of order r.
  void visit(int j, int q, double* a, int id) {
    if (rec) store(id, j);
    if (q == r) {
      score(j);
      return;
    }
    double* b = lev[j + 1];
    const double* src[kMaxCols];
    double* dst[kMaxCols];
    int cid = id + 1;
    const int ya = 2 * (r - q);  // index of y in a
    for (int qc = q + 1; qc <= r; ++qc) {
      const int a0 = 2 * (qc - q - 1);  // sine column of qc in a
      const int ny = 2 * (r - qc) + 1;  // pending columns of the child
      // Pivot row 2j+3 on the sine column: cosine, later pairs and y.
      for (int c = 0; c <= ny; ++c) {
        src[c] = col(a, a0 + 1 + c);
        dst[c] = col(tmp, a0 + 1 + c);
      }
      reflect(col(a, a0), 2 * j + 2, src, dst, ny + 1);
      // Pivot row 2j+4 on the cosine column: later pairs and y.
      for (int c = 0; c < ny; ++c) {
        src[c] = col(tmp, a0 + 2 + c);
        dst[c] = col(b, c);
      }
      reflect(col(tmp, a0 + 1), 2 * j + 3, src, dst, ny);
      yb[j + 1][0] = row(col(tmp, ya), 2 * j + 2);
      yb[j + 1][1] = row(col(b, ny - 1), 2 * j + 3);
      xw[j + 1] = leafvalue(col(b, ny - 1), 2 * j + 4);
      path[j + 1] = qc;
      visit(j + 1, qc, b, cid);
      cid += 1 << (r - qc);
    }
  }

  // Walks the tree of order r from the loaded columns.
  void walk() {
    std::size_t off = 0;
    double* base = rep + static_cast<std::size_t>(2 * kMaxHarmonics + 3) * ld;
    for (int j = 0; j <= r; ++j) {
      lev[j] = base + off * static_cast<std::size_t>(ld);
      off += static_cast<std::size_t>(2 * (r - j) + 1);
    }
    const int yc0 = 2 * r0 + 2;
    const int np = 2 * r + 1;  // pairs 1..r and y
    const double* src[kMaxCols];
    double* dst[kMaxCols];
    // Pivot row 1 on the constant: trend, pairs, y (load layout in tmp).
    src[0] = col(x0, 1);
    dst[0] = col(tmp, 1);
    for (int c = 0; c < np; ++c) {
      const int g = (c == np - 1) ? yc0 : 2 + c;
      src[c + 1] = col(x0, g);
      dst[c + 1] = col(tmp, g);
    }
    reflect(col(x0, 0), 0, src, dst, np + 1);
    // Pivot row 2 on the trend: pairs and y into level 0.
    for (int c = 0; c < np; ++c) {
      src[c] = dst[c + 1];
      dst[c] = col(lev[0], c);
    }
    reflect(col(tmp, 1), 1, src, dst, np);
    yb[0][0] = row(col(tmp, yc0), 0);
    yb[0][1] = row(col(lev[0], np - 1), 1);
    rec = (r <= kFastCacheOrder);
    rrec = rec ? r : 0;
    visit(0, 0, lev[0], 0);
  }

  // The walk of walk() and visit() for y alone, from recorded reflections:
  // the same sequence of reflections, each applied to the y column only.
  void replay() {
    double* ytmp = col(tmp, 0);
    double* ylev[kMaxDepth + 1];
    for (int j = 0; j <= r; ++j) ylev[j] = col(tmp, 1 + j);
    const double* y0 = col(x0, 2 * r0 + 2);
    reflect(nullptr, 0, &y0, &ytmp, 1);
    const double* y1 = ytmp;
    reflect(nullptr, 1, &y1, &ylev[0], 1);
    yb[0][0] = row(ytmp, 0);
    yb[0][1] = row(ylev[0], 1);
    rec = (r <= kFastCacheOrder);
    rrec = rec ? r : 0;
    replay_visit(0, 0, ylev, ytmp, 0);
  }

  void replay_visit(int j, int q, double* const* ylev, double* ytmp, int id) {
    if (rec) store(id, j);
    if (q == r) {
      score(j);
      return;
    }
    int cid = id + 1;
    for (int qc = q + 1; qc <= r; ++qc) {
      const double* a = ylev[j];
      reflect(nullptr, 2 * j + 2, &a, &ytmp, 1);
      const double* t = ytmp;
      reflect(nullptr, 2 * j + 3, &t, &ylev[j + 1], 1);
      yb[j + 1][0] = row(ytmp, 2 * j + 2);
      yb[j + 1][1] = row(ylev[j + 1], 2 * j + 3);
      xw[j + 1] = leafvalue(ylev[j + 1], 2 * j + 4);
      path[j + 1] = qc;
      replay_visit(j + 1, qc, ylev, ytmp, cid);
      cid += 1 << (r - qc);
    }
  }

  // Scores the tree of order r from the nodes recorded for order rrec > r.
  void rescore(int j, int q, int id) {
    const double* e = ws.node + 3 * static_cast<std::size_t>(id);
    yb[j][0] = e[0];
    yb[j][1] = e[1];
    xw[j] = e[2];
    if (q == r) {
      score(j);
      return;
    }
    int cid = id + 1;
    for (int qc = q + 1; qc <= r; ++qc) {
      path[j + 1] = qc;
      rescore(j + 1, qc, cid);
      cid += 1 << (rrec - qc);
    }
  }

  // Reduces the winning prefix again (all its columns, pivot rows 1..d) and
  // copies the leading block and the rows of y into S.
  void rebuild(double* s) {
    const int d = dstar;
    const double* src[kMaxCols];
    double* dst[kMaxCols];
    for (int c = 0; c <= d; ++c) {
      int g;
      if (c < 2) {
        g = c;
      } else if (c < d) {
        g = 2 * best[c / 2] + (c & 1);
      } else {
        g = 2 * r0 + 2;
      }
      std::memcpy(col(rep, c), col(x0, g),
                  sizeof(double) * static_cast<std::size_t>(u));
      src[c] = col(rep, c);
      dst[c] = col(tmp, c);
    }
    for (int p = 1; p <= d && p <= u; ++p) {
      const int pr = p - 1;
      const int nr = (p < d) ? u - pr : 1;
      reflect(col(rep, pr), pr, src, dst, d + 1, nr);
      for (int c = 0; c <= d; ++c)
        std::memcpy(col(rep, c) + pr, col(tmp, c) + pr,
                    sizeof(double) * static_cast<std::size_t>(nr));
    }
    for (int jj = 1; jj <= d; ++jj)
      for (int ii = 1; ii <= d; ++ii) s[sidx(ii, jj)] = row(col(rep, jj - 1), ii - 1);
    for (int j = 1; j <= d; ++j) s[sidx(j, 0)] = row(col(rep, d), j - 1);
  }
};

bool usable(double e) { return std::fabs(e) <= kFastMax; }  // false for NaN

}  // namespace

void fit_best_subset_fast(int n, int nfunc, const double* y, const std::uint8_t* use,
               const double* f, double* coef, double* fit, int& order,
               double& crit, BestSubsetFastScratch& ws, FitCache* cache) {
  const int r0 = order;
  auto plain = [&] { fit_best_subset(n, nfunc, y, use, f, coef, fit, order, crit, ws.plain); };
  if (n < 0 || n > kMaxSteps || nfunc < 0 || nfunc > kMaxHarmonics || r0 < 1 ||
      r0 > nfunc) {
    plain();
    return;
  }

  Engine e(ws);
  e.r0 = r0;
  int u = 0;
  for (int t = 0; t < n; ++t) u += (use[t] != 0);
  if (u == 0) {
    plain();
    return;
  }
  e.u = u;
  e.uu = static_cast<double>(u);
  e.ld = (u + kFastSlack + 7) & ~7;
  e.x0 = ws.buf;
  e.tmp = e.x0 + static_cast<std::size_t>(2 * kMaxHarmonics + 3) * e.ld;
  e.rep = e.tmp + static_cast<std::size_t>(2 * kMaxHarmonics + 3) * e.ld;

  // Load the flagged rows of constant, trend, pairs 1..r0 and y.
  const int ncol0 = 2 * r0 + 3;
  {
    int i = 0;
    bool ok = true;
    for (int t = 1; t <= n; ++t) {
      if (use[t - 1] == 0) continue;
      for (int g = 0; g < ncol0 - 1; ++g) {
        const double a = f[at(kLdT, t, g + 1)];
        ok = ok && usable(a);
        e.col(e.x0, g)[i] = a;
      }
      const double a = y[t - 1];
      ok = ok && usable(a);
      e.col(e.x0, ncol0 - 1)[i] = a;
      ++i;
    }
    double s = 0.0;
    for (int k = 0; k < u; ++k) {
      const double a = e.x0[k];
      s += a * a;
    }
    if (!ok || std::sqrt(s) < 1e-60) {
      plain();
      return;
    }
  }

  // The design-side work of this flag pattern, recorded before or to be
  // recorded now (the tree of the first attempt; retries rescore it).
  bool hit = false;
  if (cache != nullptr && cache->enabled()) {
    const FitKey key = FitKey::of(n, nfunc, r0, use);
    hit = e.kept = cache->find(key, u, e.x0, ncol0 - 1, e.ld, e.red);
    if (!hit && r0 <= kFastCacheOrder &&
        cache->claim(key, u, e.x0, ncol0 - 1, e.ld, std::size_t{2} << r0, e.red)) {
      e.recording = true;
      e.cur = 0;
    }
  }

  const int m = 2 * nfunc + 2;
  double* s = ws.s;
  bool first = true;
  for (;;) {
    const int r = order;
    for (int i = 0; i < m + 2; ++i) coef[i] = 0.0;
    for (int t = 0; t < n; ++t) fit[t] = 0.0;
    e.crit = kCritStart;
    e.istar = 0;
    e.dstar = 0;
    e.r = r;
    if (first && hit) {
      e.replaying = true;
      e.cur = 0;
      e.replay();
      e.replaying = false;
    } else if (e.rrec > r) {
      e.rescore(0, 0, 0);
    } else {
      e.walk();
      if (e.recording) {
        e.recording = false;
        cache->finish(e.red, e.cur);
        e.kept = true;
      }
    }
    first = false;
    crit = e.crit;
    const int istar = e.istar;
    const int dstar = e.dstar;

    bool accepted;
    FitCache::Winner w;
    if (e.kept && dstar > 0 && cache->find_winner(e.red, istar, e.best, w)) {
      // The winner's inverted block as kept; the y rows from its path.
      accepted = w.inverted;
      if (accepted) {
        for (int jj = 1; jj <= dstar; ++jj)
          std::memcpy(s + sidx(1, jj), w.block + static_cast<std::size_t>(jj - 1) * dstar,
                      sizeof(double) * static_cast<std::size_t>(dstar));
        for (int j = 1; j <= dstar; ++j) s[sidx(j, 0)] = e.sy[j - 1];
        accepted = evaluate_winner(n, m, istar, dstar, e.best, f, s, coef, fit);
      }
    } else if (e.kept && dstar > 0) {
      e.rebuild(s);
      const bool inverted = invert_in_place(s + sidx(1, 1), dstar, kLdC) == 0;
      cache->keep_winner(e.red, istar, e.best, inverted, s + sidx(1, 1));
      accepted = inverted && evaluate_winner(n, m, istar, dstar, e.best, f, s, coef, fit);
    } else {
      if (dstar > 0) e.rebuild(s);
      accepted = solve_winner(n, m, istar, dstar, e.best, f, s, coef, fit);
    }
    if (accepted) return;

    if (!retry_lower_order(r, n, m, coef, fit, order)) return;
  }
}

}  // namespace kov
