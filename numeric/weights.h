// Residual weights W of a fit: none, a diagonal, or the inverse of the lower
// Cholesky factor of a covariance matrix.  The fitting binding applies them
// to the model values and Jacobians the solvers see, and again in double
// precision for the statistics at the solution.
#ifndef OMBRIX_WEIGHTS_H
#define OMBRIX_WEIGHTS_H

namespace ombrix {

enum class Weighting { kNone, kDiagonal, kCovariance };

// W = I, W = diag(w), or W = L^-1 (W v = L^-1 v by forward substitution).
template <typename T>
struct Weights {
  Weighting kind = Weighting::kNone;
  const T* values = nullptr;  // w (n) or L (n x n, row-major, lower triangle read)

  // out = W v for v of n rows and `columns` columns, row-major; out != v.
  void apply(const T* v, T* out, int n, int columns) const;
};

}  // namespace ombrix

#endif  // OMBRIX_WEIGHTS_H
