#include "harmonic/best_subset_fast.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>

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
//
// Skipping (branch and bound): before a child subtree is reduced, a lower
// bound of every criterion its leaves would compute is compared with the
// best criterion so far; when the bound is not below it, no candidate of the
// subtree could replace the best (only a strictly smaller value does, and
// the best only falls), so the subtree is left out and every result stays
// the same. A leaf scores every prefix of its list, so the bound covers two
// kinds of candidates:
//  * the prefixes i <= j of the node's own path: their computed residual in
//    any leaf below is the tail of y after the path's first i levels, sent
//    through further reflections. A computed reflection is orthogonal to
//    within O(m eps) whatever its vector (beta |v|^2 = 2 up to rounding, no
//    cancellation in alpha*t + s), so that tail keeps its norm to a relative
//    1e-11 at 200 rows and 50 reflections; x(w,w) at the depth-i node is that
//    norm to the same accuracy. No conditioning enters.
//  * the candidates with more than j harmonics below the child: each is a
//    subset of a term list already reduced whose columns cover the whole
//    remaining subtree (the first list of an earlier sibling's subtree, or
//    of an ancestor's), so in exact arithmetic its residual is at least that
//    list's. The computed residuals are exact residuals of y from subspaces
//    within an angle eps' sqrt(n) kappa of the candidates' column spans
//    (eps' = the column errors of the reductions, below 1e-11), where kappa
//    = 1/sigma_min of the loaded design with unit columns; a shifted
//    Cholesky factorisation certifies kappa <= 110 before this bound is used
//    (else nothing is skipped). The bound's slack, 1e-6 |y|, is more than a
//    hundred times that error.
// Residuals are lowered by a relative 1e-6, criteria by 1e-6 of their
// magnitude (the logarithm and the sums round far less), and a candidate
// only counts when its mean square exceeds 1e-20. Subtrees are never left
// out of a reduction being recorded for the cache, and a retry whose nodes
// were left out reduces again from the recorded reflections or the columns.
struct Engine {
  BestSubsetFastScratch& ws;
  int u = 0;       // flagged steps
  int ld = 0;      // rows per column buffer
  int r0 = 0;      // order limit of the first attempt (load layout)
  int r = 0;       // order limit of the tree being walked
  int rt = 0;      // order limit of the recorded tree being replayed
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

  // Skipping: per depth along the path, the lowest criterion a prefix of the
  // path can score anywhere below, and |x(w,w)| of a reduced list that covers
  // the node's remaining children (-1: none yet).
  FitCache* cache = nullptr;
  bool prune = false;
  bool missing = false;  // rescore met a node that was left out
  int cert = -1;         // conditioning certificate: -1 unknown, 0 failed, 1 passed
  double ynorm = 0.0;    // norm of the loaded series
  double amin[kMaxDepth + 1] = {};
  double ref[kMaxDepth + 1] = {};
  std::uint32_t stamp = 0;  // epoch of the nodes stored by the last walk

  static constexpr double kSlack = 1e-6;

  explicit Engine(BestSubsetFastScratch& w) : ws(w) {}

  // Lowest criterion that a candidate with at least i harmonics and a
  // computed residual of at least rss can score, lowered by the slack.
  double floor_of(double rss, int i) const {
    const double lo = 0.99e-20 * uu;  // scored only with rss / u > 1e-20
    if (!(rss > lo)) rss = lo;
    const double pen = static_cast<double>(4 * i + 6);
    const double a = uu * std::log(2.0 * 3.1415927410125732 * rss / uu) + uu + pen;
    return a - kSlack * (std::fabs(a) + uu + pen + 1.0);
  }

  // At a node of depth j whose x(w,w) is in xw[j].
  void enter(int j) {
    if (!prune) return;
    if (j == 0) {
      amin[0] = INFINITY;
      ref[0] = -1.0;
      return;
    }
    amin[j] = std::min(amin[j - 1], floor_of(xw[j] * xw[j] * (1.0 - kSlack), j));
    ref[j] = ref[j - 1];
  }

  // True when no candidate below the next child of the node at depth j can
  // score below the best so far.
  bool cut(int j) {
    if (!prune || !(amin[j] >= crit) || !(ref[j] >= 0.0)) return false;
    if (cert < 0) {
      // Kept with the reduction when there is one: it depends on the design.
      if (kept) cert = cache->certificate(red);  // -1 when overwritten
      if (cert < 0) {
        cert = certified() ? 1 : 0;
        if (kept) cache->keep_certificate(red, cert == 1);
      }
    }
    if (cert == 0) return false;
    const double s = ref[j] * (1.0 - kSlack) - kSlack * ynorm;
    const double low = s > 0.0 ? s * s * (1.0 - kSlack) : 0.0;
    return floor_of(low, j + 1) >= crit;
  }

  // The loaded design columns with unit norms have a Gram matrix whose
  // smallest eigenvalue is at least 1e-4 (so kappa <= 101): the Cholesky
  // factorisation of G - 1e-4 I succeeds. Rounding in G and in the
  // factorisation is below 1e-11 at 48 columns of 200 rows.
  bool certified() const {
    const int nc = 2 * r0 + 2;
    if (nc > u) return false;
    double nrm[kMaxCols];
    double g[kMaxCols * kMaxCols];
    for (int c = 0; c < nc; ++c) {
      const double* a = x0 + static_cast<std::size_t>(c) * ld;
      double s = 0.0;
      for (int t = 0; t < u; ++t) s += a[t] * a[t];
      if (!(s > 0.0)) return false;
      nrm[c] = std::sqrt(s);
    }
    for (int j = 0; j < nc; ++j)
      for (int i = j; i < nc; ++i) {
        const double* a = x0 + static_cast<std::size_t>(i) * ld;
        const double* b = x0 + static_cast<std::size_t>(j) * ld;
        double s = 0.0;
        for (int t = 0; t < u; ++t) s += a[t] * b[t];
        g[i * kMaxCols + j] = s / nrm[i] / nrm[j];
      }
    for (int j = 0; j < nc; ++j) {
      double d = g[j * kMaxCols + j] - 1e-4;
      for (int k = 0; k < j; ++k) d -= g[j * kMaxCols + k] * g[j * kMaxCols + k];
      if (!(d > 0.0)) return false;
      const double l = std::sqrt(d);
      g[j * kMaxCols + j] = l;
      for (int i = j + 1; i < nc; ++i) {
        double e = g[i * kMaxCols + j];
        for (int k = 0; k < j; ++k) e -= g[i * kMaxCols + k] * g[j * kMaxCols + k];
        g[i * kMaxCols + j] = e / l;
      }
    }
    return true;
  }

  // Past the kept reflections of a recorded subtree: the child qc of a node
  // at depth j, and every child of a node (tree of order rt).
  void pass(int pr) {
    if (u - pr <= 0) return;
    if (red.formed[ri++] != 0) cur += static_cast<std::size_t>(((u - pr) + 3) & ~3) + 4;
  }
  void pass_child(int j, int qc) {
    pass(2 * j + 2);
    pass(2 * j + 3);
    pass_over(j + 1, qc);
  }
  void pass_over(int j, int q) {
    for (int qc = q + 1; qc <= rt; ++qc) pass_child(j, qc);
  }

  void new_epoch() {
    if (!rec) return;
    if (++ws.epoch == 0) {
      std::fill(std::begin(ws.node_stamp), std::end(ws.node_stamp), 0u);
      ws.epoch = 1;
    }
    stamp = ws.epoch;
  }

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
    ws.node_stamp[id] = stamp;
    double* e = ws.node + 3 * static_cast<std::size_t>(id);
    e[0] = yb[j][0];
    e[1] = yb[j][1];
    e[2] = xw[j];
  }

  // Node at depth j with last position q, pending columns in a, id its
  // preorder number in the tree of order r. Returns |x(w,w)| of its first
  // list, or -1 when that list was left out.
  double visit(int j, int q, double* a, int id) {
    if (rec) store(id, j);
    enter(j);
    if (q == r) {
      score(j);
      return std::fabs(xw[j]);
    }
    double* b = lev[j + 1];
    const double* src[kMaxCols];
    double* dst[kMaxCols];
    int cid = id + 1;
    double first = -1.0;
    const int ya = 2 * (r - q);  // index of y in a
    for (int qc = q + 1; qc <= r; ++qc) {
      if (cut(j)) {
        ws.stats.skipped += 2L << (r - qc);
        cid += 1 << (r - qc);
        continue;
      }
      ws.stats.applied += 2;
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
      const double v = visit(j + 1, qc, b, cid);
      if (v >= 0.0) ref[j] = v;
      if (qc == q + 1) first = v;
      cid += 1 << (r - qc);
    }
    return first;
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
    ws.stats.applied += 2;
    yb[0][0] = row(col(tmp, yc0), 0);
    yb[0][1] = row(col(lev[0], np - 1), 1);
    rec = (r <= kFastCacheOrder);
    rrec = rec ? r : 0;
    new_epoch();
    visit(0, 0, lev[0], 0);
  }

  // The walk of walk() and visit() for y alone, from recorded reflections:
  // the same sequence of reflections, each applied to the y column only. The
  // recorded tree has order rt >= r; the subtrees beyond r are passed over.
  void replay() {
    replaying = true;
    ri = 0;
    cur = 0;
    double* ytmp = col(tmp, 0);
    double* ylev[kMaxDepth + 1];
    for (int j = 0; j <= r; ++j) ylev[j] = col(tmp, 1 + j);
    const double* y0 = col(x0, 2 * r0 + 2);
    reflect(nullptr, 0, &y0, &ytmp, 1);
    const double* y1 = ytmp;
    reflect(nullptr, 1, &y1, &ylev[0], 1);
    ws.stats.applied += 2;
    yb[0][0] = row(ytmp, 0);
    yb[0][1] = row(ylev[0], 1);
    rec = (r <= kFastCacheOrder);
    rrec = rec ? r : 0;
    new_epoch();
    replay_visit(0, 0, ylev, ytmp, 0);
    replaying = false;
  }

  double replay_visit(int j, int q, double* const* ylev, double* ytmp, int id) {
    if (rec) store(id, j);
    enter(j);
    if (q == r) {
      score(j);
      pass_over(j, q);
      return std::fabs(xw[j]);
    }
    int cid = id + 1;
    double first = -1.0;
    for (int qc = q + 1; qc <= rt; ++qc) {
      if (qc > r) {
        pass_child(j, qc);
        continue;
      }
      if (cut(j)) {
        pass_child(j, qc);
        ws.stats.skipped += 2L << (r - qc);
        cid += 1 << (r - qc);
        continue;
      }
      ws.stats.applied += 2;
      const double* a = ylev[j];
      reflect(nullptr, 2 * j + 2, &a, &ytmp, 1);
      const double* t = ytmp;
      reflect(nullptr, 2 * j + 3, &t, &ylev[j + 1], 1);
      yb[j + 1][0] = row(ytmp, 2 * j + 2);
      yb[j + 1][1] = row(ylev[j + 1], 2 * j + 3);
      xw[j + 1] = leafvalue(ylev[j + 1], 2 * j + 4);
      path[j + 1] = qc;
      const double v = replay_visit(j + 1, qc, ylev, ytmp, cid);
      if (v >= 0.0) ref[j] = v;
      if (qc == q + 1) first = v;
      cid += 1 << (r - qc);
    }
    return first;
  }

  // Scores the tree of order r from the nodes recorded for order rrec > r;
  // sets missing when a node it needs was left out of that walk.
  double rescore(int j, int q, int id) {
    if (ws.node_stamp[id] != stamp) {
      missing = true;
      return -1.0;
    }
    const double* e = ws.node + 3 * static_cast<std::size_t>(id);
    yb[j][0] = e[0];
    yb[j][1] = e[1];
    xw[j] = e[2];
    enter(j);
    if (q == r) {
      score(j);
      return std::fabs(xw[j]);
    }
    int cid = id + 1;
    double first = -1.0;
    for (int qc = q + 1; qc <= r; ++qc) {
      if (!cut(j)) {
        path[j + 1] = qc;
        const double v = rescore(j + 1, qc, cid);
        if (missing) return -1.0;
        if (v >= 0.0) ref[j] = v;
        if (qc == q + 1) first = v;
      }
      cid += 1 << (rrec - qc);
    }
    return first;
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

double series_norm(const double* y, int u) {
  double s = 0.0;
  for (int k = 0; k < u; ++k) s += y[k] * y[k];
  return std::sqrt(s);
}

// The replay of Engine::replay() for several pixels that share a kept
// reduction: lanes[l] holds pixel l's state, its loaded series in column
// y[l]. Each kept reflection is applied to every lane's column in one call
// of apply_reflection, which forms each element of the reflection once per
// four columns and sums every column exactly as apply_reflection_column
// sums one; every lane therefore gets the bits of its own replay. A subtree
// is left out only when every lane may leave it out; a lane that could have
// left out a subtree its group reduces scores candidates that cannot win
// (their criteria are not below its best), which changes nothing. No nodes
// are stored: a retry of a lane reduces again.
struct GroupReplay {
  std::optional<Engine>* lanes;
  int g;
  Engine& e0;
  double* ytmp[kMaxGroup];
  double* ylev[kMaxGroup][kMaxDepth + 1];

  GroupReplay(std::optional<Engine>* l, int count) : lanes(l), g(count), e0(*l[0]) {}

  Engine& lane(int l) { return *lanes[l]; }

  void reflect(int pr, double* const* src, double* const* dst) {
    const int m = e0.u - pr;
    if (m <= 0) return;
    const double* s[kMaxGroup];
    double* d[kMaxGroup];
    for (int l = 0; l < g; ++l) {
      s[l] = src[l] + pr;
      d[l] = dst[l] + pr;
    }
    if (e0.red.formed[e0.ri++] != 0) {
      const std::size_t mp = static_cast<std::size_t>((m + 3) & ~3);
      const double* v = e0.red.data + e0.cur;
      const double beta = v[mp];
      double* bv = e0.ws.bv;
      for (std::size_t i = 0; i < mp; ++i) bv[i] = beta * v[i];
      e0.cur += mp + 4;
      apply_reflection(v, bv, m, m, s, d, g);
    } else {
      for (int l = 0; l < g; ++l)
        std::memcpy(d[l], s[l], sizeof(double) * static_cast<std::size_t>(m));
    }
  }

  void run(double* const* y, double* area) {
    const int r = e0.r;
    const std::size_t ld = static_cast<std::size_t>(e0.ld);
    for (int l = 0; l < g; ++l) {
      ytmp[l] = area;
      area += ld;
      for (int j = 0; j <= r; ++j) {
        ylev[l][j] = area;
        area += ld;
      }
    }
    e0.ri = 0;
    e0.cur = 0;
    double* lev0[kMaxGroup];
    for (int l = 0; l < g; ++l) lev0[l] = ylev[l][0];
    reflect(0, y, ytmp);
    reflect(1, ytmp, lev0);
    e0.ws.stats.applied += 2L * g;
    for (int l = 0; l < g; ++l) {
      Engine& e = lane(l);
      e.yb[0][0] = e.row(ytmp[l], 0);
      e.yb[0][1] = e.row(ylev[l][0], 1);
    }
    double first[kMaxGroup];
    visit(0, 0, first);
  }

  void visit(int j, int q, double* first) {
    for (int l = 0; l < g; ++l) lane(l).enter(j);
    if (q == e0.r) {
      for (int l = 0; l < g; ++l) {
        lane(l).score(j);
        first[l] = std::fabs(lane(l).xw[j]);
      }
      return;
    }
    for (int l = 0; l < g; ++l) first[l] = -1.0;
    double* a[kMaxGroup];
    double* b[kMaxGroup];
    for (int l = 0; l < g; ++l) {
      a[l] = ylev[l][j];
      b[l] = ylev[l][j + 1];
    }
    for (int qc = q + 1; qc <= e0.r; ++qc) {
      bool all = true;
      for (int l = 0; l < g && all; ++l) all = lane(l).cut(j);
      if (all) {
        e0.pass_child(j, qc);
        e0.ws.stats.skipped += static_cast<long>(g) * (2L << (e0.r - qc));
        continue;
      }
      reflect(2 * j + 2, a, ytmp);
      reflect(2 * j + 3, ytmp, b);
      e0.ws.stats.applied += 2L * g;
      for (int l = 0; l < g; ++l) {
        Engine& e = lane(l);
        e.yb[j + 1][0] = e.row(ytmp[l], 2 * j + 2);
        e.yb[j + 1][1] = e.row(b[l], 2 * j + 3);
        e.xw[j + 1] = e.leafvalue(b[l], 2 * j + 4);
        e.path[j + 1] = qc;
      }
      double sub[kMaxGroup];
      visit(j + 1, qc, sub);
      for (int l = 0; l < g; ++l) {
        if (sub[l] >= 0.0) lane(l).ref[j] = sub[l];
        if (qc == q + 1) first[l] = sub[l];
      }
    }
  }
};

}  // namespace

namespace {

// Loads the flagged rows of constant, trend, pairs 1..r0 and y into e.x0
// (e's sizes set); false when the plain routine must run.
bool load(Engine& e, int n, const double* y, const std::uint8_t* use, const double* f) {
  const int ncol0 = 2 * e.r0 + 3;
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
  for (int k = 0; k < e.u; ++k) {
    const double a = e.x0[k];
    s += a * a;
  }
  if (!ok || std::sqrt(s) < 1e-60) return false;
  e.ynorm = series_norm(e.col(e.x0, ncol0 - 1), e.u);
  return true;
}

// Sizes and buffers of a fit of u flagged rows at order limit r0.
void setup(Engine& e, int u, int r0, FitCache* cache) {
  e.r0 = r0;
  e.u = u;
  e.uu = static_cast<double>(u);
  e.ld = (u + kFastSlack + 7) & ~7;
  e.x0 = e.ws.buf;
  e.tmp = e.x0 + static_cast<std::size_t>(2 * kMaxHarmonics + 3) * e.ld;
  e.rep = e.tmp + static_cast<std::size_t>(2 * kMaxHarmonics + 3) * e.ld;
  e.rt = r0;
  e.cache = cache;
}

bool arguments_fast(int n, int nfunc, int r0) {
  return n >= 0 && n <= kMaxSteps && nfunc >= 0 && nfunc <= kMaxHarmonics && r0 >= 1 &&
         r0 <= nfunc;
}

int flagged(int n, const std::uint8_t* use) {
  int u = 0;
  for (int t = 0; t < n; ++t) u += (use[t] != 0);
  return u;
}

// fit_best_subset_fast; with pre, the first attempt was scored by a group
// replay from the kept reduction pre->red, and pre holds its outcome.
void fit_one(int n, int nfunc, const double* y, const std::uint8_t* use, const double* f,
             double* coef, double* fit, int& order, double& crit, BestSubsetFastScratch& ws,
             FitCache* cache, const Engine* pre) {
  const int r0 = order;
  auto plain = [&] { fit_best_subset(n, nfunc, y, use, f, coef, fit, order, crit, ws.plain); };
  const int u = flagged(n, use);
  if (!arguments_fast(n, nfunc, r0) || u == 0) {
    plain();
    return;
  }
  Engine e(ws);
  setup(e, u, r0, cache);
  const int ncol0 = 2 * r0 + 3;
  if (!load(e, n, y, use, f)) {
    plain();
    return;
  }

  // The design-side work of this flag pattern, recorded before or to be
  // recorded now (the tree of the first attempt; retries rescore it).
  bool hit = false;
  if (pre != nullptr) {
    e.red = pre->red;
    e.kept = cache->alive(e.red);
  } else if (cache != nullptr && cache->enabled()) {
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
    e.prune = ws.skip && !e.recording;
    if (first && pre != nullptr) {
      e.crit = pre->crit;
      e.istar = pre->istar;
      e.dstar = pre->dstar;
      std::copy(std::begin(pre->best), std::end(pre->best), std::begin(e.best));
      std::copy(std::begin(pre->sy), std::end(pre->sy), std::begin(e.sy));
    } else if (first && hit) {
      e.replay();
    } else if (e.rrec > r) {
      e.missing = false;
      e.rescore(0, 0, 0);
      if (e.missing) {
        // Nodes were left out of the first walk: this tree again, from the
        // recorded reflections or from the columns.
        ++ws.stats.fallbacks;
        e.crit = kCritStart;
        e.istar = 0;
        e.dstar = 0;
        if (e.kept && cache->alive(e.red)) {
          e.replay();
        } else {
          e.walk();
        }
      }
    } else if (!first && e.kept && cache->alive(e.red)) {
      e.replay();  // after a group's first attempt, which kept no nodes
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

}  // namespace

void fit_best_subset_fast(int n, int nfunc, const double* y, const std::uint8_t* use,
               const double* f, double* coef, double* fit, int& order,
               double& crit, BestSubsetFastScratch& ws, FitCache* cache) {
  fit_one(n, nfunc, y, use, f, coef, fit, order, crit, ws, cache, nullptr);
}

void fit_best_subset_group(int count, int n, int nfunc, const double* const* y,
                           const std::uint8_t* use, const double* f, double* const* coef,
                           double* const* fit, int* order, double* crit,
                           BestSubsetFastScratch& ws, FitCache* cache) {
  const int r0 = count > 0 ? order[0] : 0;
  const auto each = [&](const Engine* const* pre) {
    for (int l = 0; l < count; ++l)
      fit_one(n, nfunc, y[l], use, f, coef[l], fit[l], order[l], crit[l], ws, cache,
              pre != nullptr ? pre[l] : nullptr);
  };
  const int u = flagged(n, use);
  if (count < 2 || count > kMaxGroup || cache == nullptr || !cache->enabled() ||
      !arguments_fast(n, nfunc, r0) || r0 > kFastCacheOrder || u == 0) {
    each(nullptr);
    return;
  }
  std::optional<Engine> lanes[kMaxGroup];
  Engine& e0 = lanes[0].emplace(ws);
  setup(e0, u, r0, cache);
  const FitKey key = FitKey::of(n, nfunc, r0, use);
  const int ncol0 = 2 * r0 + 3;
  if (!load(e0, n, y[0], use, f) ||
      !cache->find(key, u, e0.x0, ncol0 - 1, e0.ld, e0.red)) {
    each(nullptr);
    return;
  }
  // The lanes: every pixel whose series the fast path takes, its flagged
  // values in a column of its own; the others are fitted on their own.
  const Engine* pre[kMaxGroup] = {};
  double* ycol[kMaxGroup];
  int lane_of[kMaxGroup];
  int g = 0;
  for (int l = 0; l < count; ++l) {
    double* c = e0.col(e0.rep, g);
    bool ok = true;
    int i = 0;
    for (int t = 0; t < n; ++t)
      if (use[t] != 0) {
        ok = ok && usable(y[l][t]);
        c[i++] = y[l][t];
      }
    if (!ok) continue;
    FitCache::Reduction red;
    if (l > 0 && !cache->find(key, u, e0.x0, ncol0 - 1, e0.ld, red)) continue;
    Engine& e = g == 0 ? e0 : lanes[g].emplace(ws);
    if (g > 0) {
      setup(e, u, r0, cache);
      e.red = e0.red;
      e.kept = true;
    }
    e.ynorm = series_norm(c, u);
    ycol[g] = c;
    lane_of[g] = l;
    ++g;
  }
  if (g < 2) {
    each(nullptr);
    return;
  }
  // The certificate depends on the design alone: once for all lanes.
  int cert = -1;
  if (ws.skip) {
    cert = cache->certificate(e0.red);
    if (cert < 0) {
      cert = e0.certified() ? 1 : 0;
      cache->keep_certificate(e0.red, cert == 1);
    }
  }
  for (int l = 0; l < g; ++l) {
    Engine& e = *lanes[l];
    e.kept = true;
    e.r = r0;
    e.crit = kCritStart;
    e.istar = 0;
    e.dstar = 0;
    e.prune = ws.skip;
    e.cert = cert;
    pre[lane_of[l]] = &e;
  }
  ws.stats.grouped += g;
  GroupReplay grp(lanes, g);
  grp.run(ycol, e0.rep + static_cast<std::size_t>(2 * kMaxHarmonics + 3) * e0.ld);
  each(pre);
}

}  // namespace kov
