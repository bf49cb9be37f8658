// What the fitting binding reports at a solution, computed in double
// precision from the model values and Jacobian of the fit's precision: the
// weighted residuals and chi-square, the constraints that hold with
// equality, the covariance restricted to the directions they leave free
// (with the parameters the data do not determine marked), a final
// Gauss-Newton correction, and the pivoted QR factorisation of the weighted
// Jacobian.
#ifndef OMBRIX_SOLUTION_H
#define OMBRIX_SOLUTION_H

#include "differences.h"
#include "internal.h"
#include "weights.h"

namespace ombrix {

// Constraints as the solvers read them; null where absent.  Bounds use the
// largest finite value of T for "unbounded".
template <typename T>
struct Constraints {
  T *lb = nullptr, *ub = nullptr;
  const T *A = nullptr, *b = nullptr;  // equalities A p = b, k1 x m
  int k1 = 0;
  const T *C = nullptr, *d = nullptr;  // inequalities C p >= d, k2 x m
  int k2 = 0;
};

// The numerical rank of J Z and the number of its columns (free directions).
struct Rank {
  int rank = 0;
  int free = 0;
};

// The problem at a solution p.  y is the data in the fit's precision (y64 in
// double, weighted_y as the solver saw it); loss and f_scale those of the
// engine's robust loss (OMBRIX_LOSS_LINEAR for chi-square).
template <typename T>
struct SolutionProblem {
  int m = 0, n = 0;
  const T* y = nullptr;
  const double* y64 = nullptr;
  const T* weighted_y = nullptr;
  Weights<double> weights;
  Constraints<T> constraints;  // in the caller's variables
  int loss = 0;
  double f_scale = 1;
  // Relative accuracy of the Jacobian (jacobian_accuracy): singular values
  // of W J up to it count as zero, so that a difference Jacobian's error does
  // not pass for a direction the data determine.
  T jacobian_accuracy = Real<T>::eps;
};

// The statistics at p, into the caller's storage.
template <typename T>
struct SolutionReport {
  T* values = nullptr;              // n: the model values at p (on entry), moved with a correction
  double* r = nullptr;              // n: W (y - f)
  double* weighted_jac = nullptr;   // n x m: W J, rows rescaled by sqrt(rho') under a robust loss
  double* cov = nullptr;            // m x m: the unscaled covariance, see covariance()
  signed char* bounds = nullptr;    // m: -1 at the lower bound, +1 at the upper one, else 0
  bool* rows = nullptr;             // k2: the inequalities that hold with equality
  double chisq = 0;                 // r . r
  double total = 0;                 // chi-square of the best constant model (R^2's denominator)
  Rank rank;
};

enum class SolutionOutcome { kDone, kOutOfMemory, kModelFailed };

// LAPACK's work array for the SVD of a rows x cols matrix, with the length
// LAPACK asked for at that shape: kept from one SVD to the next, it asks
// again only when the shape changes.
struct SvdWork {
  int rows = 0, cols = 0;
  int lwork = 0;  // LAPACK's optimal length at rows x cols; 0 before the first query
  std::size_t capacity = 0;
  CBuffer<double> work;
};

// The memory of the statistics, reusable from one fit to the next so that a
// batch of fits allocates nothing per fit: reserve(n, m, rows) makes room
// for n residuals, m parameters and up to `rows` constraint rows, and only
// grows.  Its contents on entry do not matter to summarise_solution.
class SolutionScratch {
 public:
  // False when memory is short (or the sizes overflow); the scratch keeps
  // what it had.
  bool reserve(int n, int m, int rows);

  double* residuals() { return residuals_.get(); }      // 3 n
  double* g() { return g_.get(); }                      // (m + rows) x m
  double* unweighted() { return unweighted_.get(); }    // n x m
  double* jz() { return jz_.get(); }                    // n x m
  double* norms() { return norms_.get(); }              // m
  double* singular_values() { return s_.get(); }        // m
  double* vt() { return vt_.get(); }                    // m x m
  double* inner() { return inner_.get(); }              // m x m
  bool* undetermined() { return undetermined_.get(); }  // m
  SvdWork& svd() { return svd_; }

 private:
  int n_ = 0, m_ = 0, rows_ = 0;
  CBuffer<double> residuals_, g_, unweighted_, jz_, norms_, s_, vt_, inner_;
  CBuffer<bool> undetermined_;
  SvdWork svd_;
};

// Fills the report at p from the model values (report->values) and the
// Jacobian `jac` (n x m, row-major) there.  With `correction` (a model to
// evaluate, else null) a fit that stopped on a small gradient or step
// (`stop`) takes the final Gauss-Newton correction, which may move p.
// `scratch` is null (the memory is taken here) or the caller's, grown here
// when it is too small.
template <typename T>
SolutionOutcome summarise_solution(const SolutionProblem<T>& problem, T* p, const T* jac, int stop,
                                   ModelEvaluations<T>* correction, SolutionReport<T>* report,
                                   SolutionScratch* scratch = nullptr);

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
// J Z is zero.  `scratch` has room for n x m (reserve(n, m, 0) or more).
// False only when memory is short.
bool covariance(const double* jw, int n, int m, const double* g, int k, double eps, double* cov, Rank* rank,
                SolutionScratch* scratch);

// The QR factorisation with column pivoting J P = Q R of `jw` (n x m,
// row-major), in LAPACK's layout: `factored` receives the n x m result
// column by column (R on and above the diagonal, the Householder vectors
// below it), `pivots` the 0-based column order P, and `qtv` the first m
// entries of Q^T v for v = -r, the residuals as f - y (zero beyond
// min(n, m)).  NaN factors and the identity order when `jw` or r is not
// finite.  False when memory is short or LAPACK fails.
bool residual_qr(const double* jw, const double* r, int n, int m, double* factored, int* pivots, double* qtv);

}  // namespace ombrix

#endif  // OMBRIX_SOLUTION_H
