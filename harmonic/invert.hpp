// In-place inversion of a square matrix by Gauss-Jordan elimination with full
// pivoting.
#pragma once

namespace kov {

// Replaces the leading n x n block of a (column-major, leading dimension lda)
// by its inverse and returns 0, or returns nonzero when a step of the
// elimination finds only exact zeros among the unused rows and columns (the
// block is then partly reduced and must not be used). n = 0 touches nothing
// and returns 0. Requires 0 <= n <= 50 and lda >= n.
int invert_in_place(double* a, int n, int lda);

}  // namespace kov
