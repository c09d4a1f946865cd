// Best-subset harmonic fit: constant, trend and the subset of harmonic
// positions 1..r that minimises Akaike's criterion, refitted with a lower
// order limit while the model leaves [0, 1]; with the criterion, retry and
// solve steps that the plain and the fast path share.
#pragma once

#include <cmath>
#include <cstdint>

#include "base/limits.hpp"
#include "harmonic/householder.hpp"

namespace kov {

// Per-worker scratch of fit_best_subset; every element read in a call is written
// earlier in the same call.
struct BestSubsetScratch {
  double x[kLdT * kMaxCols];          // work matrix, one row per flagged step
  double s[kLdC * (kMaxCols + 1)];    // system S, columns 0..50 (column 0 = rhs)
  int list[kMaxCols + 1];             // term list, entry 0 = sentinel 0
  int best[kMaxCols + 1];             // best term list so far
  HouseholderScratch h;
};

// Fits y over the time steps whose use flag is nonzero. order is the order
// limit on entry and, on return, the limit of the accepted attempt or -1.
// coef must hold 2*nfunc+4 doubles (all cleared; the chosen columns set);
// fit receives the model at all n steps (-1.0 everywhere on failure); crit
// receives the criterion of the chosen model, 9.9e9 when none was scored.
// Requires n <= 200, nfunc <= 23, order <= nfunc.
void fit_best_subset(int n, int nfunc, const double* y, const std::uint8_t* use,
           const double* f, double* coef, double* fit, int& order,
           double& crit, BestSubsetScratch& ws);

// Criterion of a candidate with i harmonics whose residual sum of squares is
// rss over u flagged steps: u ln(2 pi rss / u) + u + (4i + 6), evaluated in
// that order with pi = 3.1415927f widened. Returns false (candidate not
// scored) when the residual mean square rss / u is not above 1e-20.
inline bool akaike_criterion(double rss, double u, int i, double& aic) {
  constexpr double kPiSingle = 3.1415927410125732;
  if (!(rss / u > 1e-20)) return false;
  aic = u * std::log(2.0 * kPiSingle * rss / u) + u + static_cast<double>(4 * i + 6);
  return true;
}

// After attempt r was rejected: when r > 1, stores r - 1 in order and
// returns true (try again with the lower limit); otherwise writes the
// failure marker (coef[0..m-1] = 0, fit[0..n-1] = -1.0, order = -1) and
// returns false.
bool retry_lower_order(int r, int n, int m, double* coef, double* fit, int& order);

// s is the system S of the attempt (kLdC rows, columns 0..50, column 0 the
// right-hand side) holding the winner's d* x d* leading block. Inverts that
// block with invert_in_place, sets the coefficients of the constant, the trend and the
// harmonic positions best[1..istar] (coef(g) = sum over j of S(2i+1,j) S(j,0),
// j increasing), evaluates fit(t) = sum over j = 1..m of coef(j) f(t,j) at
// every step, and returns true when the inversion succeeded and every fitted
// value lies in [0, 1] (a value that is not a number lies outside). coef must
// be zero outside the winner's columns on entry.
bool solve_winner(int n, int m, int istar, int dstar, const int* best,
              const double* f, double* s, double* coef, double* fit);

// The second half of solve_winner, for a block of s that already holds the
// inverse: coefficients, fitted series and the range test.
bool evaluate_winner(int n, int m, int istar, int dstar, const int* best,
                     const double* f, const double* s, double* coef, double* fit);

}  // namespace kov
