// The last step of one best-subset attempt: solve the winner's triangular
// system and evaluate its model.
#pragma once

namespace kov {

// s is the system S of the attempt (kLdC rows, columns 0..50, column 0 the
// right-hand side) holding the winner's d* x d* leading block. Inverts that
// block with matinv, sets the coefficients of the constant, the trend and the
// harmonic positions best[1..istar] (coef(g) = sum over j of S(2i+1,j) S(j,0),
// j increasing), evaluates fit(t) = sum over j = 1..m of coef(j) f(t,j) at
// every step, and returns true when the inversion succeeded and every fitted
// value lies in [0, 1] (a value that is not a number lies outside). coef must
// be zero outside the winner's columns on entry.
bool tfit7sol(int n, int m, int istar, int dstar, const int* best,
              const double* f, double* s, double* coef, double* fit);

}  // namespace kov
