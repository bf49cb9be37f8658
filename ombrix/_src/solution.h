// What the fitting binding computes at a solution, in double precision and
// without Python: the covariance of the parameters from the weighted
// Jacobian, restricted to the directions the constraints leave free, and the
// QR factorisation with column pivoting of that Jacobian.
#ifndef OMBRIX_SRC_SOLUTION_H
#define OMBRIX_SRC_SOLUTION_H

namespace ombrix::solution {

// The numerical rank of J Z and the number of its columns (free directions).
struct Rank {
  int rank = 0;
  int free = 0;
};

// The unscaled covariance (J^T J)^+ of the weighted Jacobian `jw` (n x m,
// row-major), restricted to the null space of the k x m rows `g` (row-major;
// k may be 0): cov = Z (Z^T J^T J Z)^+ Z^T, Z an orthonormal basis of that
// null space from an SVD of g (singular values above max(k, m) eps_double
// times the largest count as constraints).  The pseudo-inverse comes from an
// SVD of J Z with its columns scaled to unit norm; singular values at most
// eps * max(n, free) times the largest are dropped.  A parameter with a
// component along the dropped directions (the numerical null space) beyond
// rounding is not determined by the data: its row and column of `cov` are
// +inf.  `cov` (m x m, row-major) is all zero when nothing is free, all NaN
// when J is not finite (no SVD is attempted) or an SVD fails, all +inf when
// J Z is zero.  False only when memory is short.
bool covariance(const double* jw, int n, int m, const double* g, int k, double eps, double* cov, Rank* rank);

// The QR factorisation with column pivoting J P = Q R of `jw` (n x m,
// row-major), in LAPACK's layout: `factored` receives the n x m result
// column by column (R on and above the diagonal, the Householder vectors
// below it), `pivots` the 0-based column order P, and `qtv` the first m
// entries of Q^T v for the n-vector v (zero beyond min(n, m)).  NaN factors
// and the identity order when `jw` or v is not finite.  False when memory
// is short or LAPACK fails.
bool pivoted_qr(const double* jw, int n, int m, const double* v, double* factored, int* pivots, double* qtv);

}  // namespace ombrix::solution

#endif  // OMBRIX_SRC_SOLUTION_H
