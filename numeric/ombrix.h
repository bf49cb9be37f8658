/*
 * ombrix: Levenberg-Marquardt nonlinear least squares, C interface.
 *
 * Every routine exists in double precision (prefix d) and in single
 * precision (prefix s) with the same arguments.  Matrices are dense and
 * row-major: a Jacobian is n x m with entry i*m + j the derivative of model
 * output i with respect to parameter j.  `user_data` is passed unchanged to
 * the callbacks.
 *
 * Solvers minimise ||x - f(p)||^2 and return the number of iterations, or -1
 * with a line on stderr when they fail.  `opts` holds 5 reals (tau, eps1,
 * eps2, eps3, difference step; the sign of the step selects forward (>= 0) or
 * central (< 0) differences) or is NULL for the defaults 1e-3, 1e-17, 1e-17,
 * 1e-17, 1e-6.  `info` (10 reals, or NULL) receives: initial ||e||^2, final
 * ||e||^2, ||J^T e||_inf, last ||dp||^2, mu / max(diag J^T J), iterations,
 * stop reason (1 small gradient, 2 small step, 3 iteration limit, 4 singular
 * system, 5 no further reduction, 6 small error, 7 invalid values), model
 * calls, Jacobian calls (or difference Jacobians), linear solves.
 * `workspace` is NULL or at least 2n + 4m + n*m + m*m reals (analytic
 * Jacobian) or 4n + 4m + n*m + m*m reals (finite differences) for the
 * unconstrained solvers.  `covariance` is NULL or m x m.
 *
 * Linear solvers (Ax_eq_b_*) return 1 when solved, 0 on a numerical failure;
 * they keep a per-thread scratch buffer that a call with A == NULL releases.
 * A failed allocation or an illegal LAPACK argument in a linear solver, and a
 * failed allocation in ombrix_chkjac or ombrix_R2, ends the process with exit
 * status 1 after its message.
 */
#ifndef OMBRIX_H
#define OMBRIX_H

#if defined(__GNUC__)
#define OMBRIX_API __attribute__((visibility("default")))
#else
#define OMBRIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Model and Jacobian callbacks: fill out[0..n) with f(p), or out[0..n*m) with
 * the row-major Jacobian at p.  p must not be modified or kept. */
typedef void (*dombrix_callback)(const double *p, double *out, int m, int n, void *user_data);
typedef void (*sombrix_callback)(const float *p, float *out, int m, int n, void *user_data);

/* ---- unconstrained solvers ---- */
OMBRIX_API int dombrix_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_dif(dombrix_callback func, double *p, const double *x, int m, int n, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_dif(sombrix_callback func, float *p, const float *x, int m, int n, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);

/* ---- box constraints lb <= p <= ub (either may be NULL; +-DBL_MAX means
 * unbounded); scale is NULL or m positive scaling constants.  lb and ub are
 * modified during a scaled solve and restored before return. ---- */
OMBRIX_API int dombrix_bc_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, double *lb, double *ub, const double *scale, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_bc_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, float *lb, float *ub, const float *scale, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_bc_dif(dombrix_callback func, double *p, const double *x, int m, int n, double *lb, double *ub, const double *scale, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_bc_dif(sombrix_callback func, float *p, const float *x, int m, int n, float *lb, float *ub, const float *scale, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);

/* ---- linear equality constraints A p = b, A k x m ---- */
OMBRIX_API int dombrix_lec_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *A, const double *b, int k, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_lec_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *A, const float *b, int k, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_lec_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *A, const double *b, int k, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_lec_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *A, const float *b, int k, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);

/* ---- box and linear equality constraints; weights is NULL or m penalty
 * weights ---- */
OMBRIX_API int dombrix_blec_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *A, const double *b, int k, const double *weights, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_blec_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *A, const float *b, int k, const float *weights, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_blec_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *A, const double *b, int k, const double *weights, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_blec_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *A, const float *b, int k, const float *weights, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);

/* ---- linear inequality constraints C p >= d, C k2 x m, with box bounds
 * and/or equalities ---- */
OMBRIX_API int dombrix_bleic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_bleic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_bleic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_bleic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_blic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_blic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_blic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_blic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_leic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_leic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_leic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_leic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_lic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_lic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);
OMBRIX_API int dombrix_lic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data);
OMBRIX_API int sombrix_lic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data);

/* ---- trust-region engine ----
 * ?ombrix_solve minimises the sum over i of f_scale^2 rho(r_i^2 / f_scale^2)
 * with r_i = w_i (y_i - f_i(p)): the chi-square ||r||^2 for the linear loss.
 * y may be NULL (zeros) and weights NULL (all 1; pass 1/sigma otherwise);
 * jac NULL selects difference Jacobians; options NULL the defaults of
 * ?ombrix_solve_defaults (1000 iterations, ftol = eps^2, xtol = 4 eps,
 * gtol = eps, initial damping 1e-3: the fit runs to the rounding level).
 * Levenberg-Marquardt steps on the QR factors of the scaled Jacobian; with
 * the linear loss and an analytic Jacobian the steps add a secant estimate
 * of the residuals' own curvature once it predicts better than J^T J alone,
 * so that fits with large residuals converge superlinearly.
 * p holds the start and receives the best point found.  result (or NULL)
 * receives the outcome; covariance (or NULL, else m x m) receives
 * pinv(J^T J) chisq / (n - rank) at the returned p (J rescaled by the loss
 * as the steps use it), with an infinite variance (and NaN covariances) for
 * a parameter that the data do not determine.  The return value is the
 * status (OMBRIX_SOLVE_*), or -1 with a line on stderr for invalid arguments
 * or failed allocation.  A run keeps no state outside its arguments:
 * concurrent runs on different data are safe. ---- */
enum {
  OMBRIX_SOLVE_SMALL_GRADIENT = 1,   /* converged: scaled gradient <= gtol */
  OMBRIX_SOLVE_SMALL_STEP = 2,       /* converged: scaled step <= xtol (xtol + ||D p||), or so would be
                                        the rest of the way of steps contracting below the loss's rounding */
  OMBRIX_SOLVE_SMALL_REDUCTION = 3,  /* converged: actual and predicted relative reduction <= ftol, or
                                        below the loss's rounding while the steps stop contracting */
  OMBRIX_SOLVE_ZERO_RESIDUAL = 4,    /* converged: chisq at the rounding level of the data and model values */
  OMBRIX_SOLVE_STALLED = 5,          /* the step or reduction became negligible, the gradient did not */
  OMBRIX_SOLVE_ITERATION_LIMIT = 6,
  OMBRIX_SOLVE_EVALUATION_LIMIT = 7,
  OMBRIX_SOLVE_INVALID_VALUES = 8,   /* non-finite model or Jacobian values and no finite step */
  OMBRIX_SOLVE_ABORTED = 9,          /* should_stop returned nonzero */
  OMBRIX_SOLVE_LINEAR_ALGEBRA = 10   /* a factorisation failed */
};
enum { OMBRIX_LOSS_LINEAR, OMBRIX_LOSS_SOFT_L1, OMBRIX_LOSS_HUBER, OMBRIX_LOSS_CAUCHY, OMBRIX_LOSS_ARCTAN };
/* Damping matrix D: running maximum of the Jacobian's column norms (each
 * D_j decaying by 7 % per Jacobian toward a smaller norm), the current
 * column norms (D^2 = diag J^T J), or the identity. */
enum { OMBRIX_SCALE_MAX_COLUMN_NORMS, OMBRIX_SCALE_COLUMN_NORMS, OMBRIX_SCALE_IDENTITY };
/* Difference Jacobians (jac NULL): forward differences with central ones
 * for the final refinement, once the steps no longer change chisq beyond
 * its rounding (the default; about the accuracy of central differences for
 * a few more evaluations); central throughout; forward throughout. */
enum { OMBRIX_DIFFERENCES_FORWARD, OMBRIX_DIFFERENCES_CENTRAL, OMBRIX_DIFFERENCES_FORWARD_ONLY };

typedef struct dombrix_solve_options {
  int max_iterations;        /* trial steps, accepted or rejected */
  int max_evaluations;       /* model evaluations, differences included, checked before each
                                trial step; 0: no limit */
  double ftol, xtol, gtol;   /* stopping tolerances, see OMBRIX_SOLVE_* */
  double initial_damping;    /* mu at the start, relative to max_j ||J_j||^2 / D_j^2 */
  int scaling;               /* OMBRIX_SCALE_* */
  int loss;                  /* OMBRIX_LOSS_* */
  double f_scale;            /* residual scale of the loss, > 0 */
  int geodesic;              /* nonzero: geodesic acceleration */
  double geodesic_alpha;     /* largest accepted 2 ||D a|| / ||D v|| */
  double geodesic_h;         /* difference step along v for the second derivative */
  int differences;           /* without jac: OMBRIX_DIFFERENCES_* */
  double difference_step;    /* without jac: the relative step of the differences, of max(|p_j|, typical_j);
                                0: sqrt(eps) forward, eps^(1/3) central */
  double jacobian_accuracy;  /* with jac: the relative accuracy of its values, which sets how small the
                                gradient must be for a stop to count as convergence; 0: an analytic
                                Jacobian (eps); about sqrt(eps) for one of forward differences */
  const double *typical;     /* NULL or m typical magnitudes of p for difference steps */
  const double *lower;       /* NULL or m bounds that difference steps stay inside (the
                                steps of the iteration are not bounded) */
  const double *upper;
  int (*should_stop)(void *user_data);                    /* NULL, or nonzero after an evaluation aborts */
  int (*accept_point)(const double *p, int m, void *user_data);  /* NULL, or 0 refuses a trial point
                                                                     before it is evaluated */
  double *workspace;         /* NULL or ?ombrix_solve_workspace_size(m, n) reals, their contents on
                                entry immaterial (a run writes each before reading it) */
} dombrix_solve_options;

typedef struct sombrix_solve_options {
  int max_iterations;
  int max_evaluations;
  float ftol, xtol, gtol;
  float initial_damping;
  int scaling;
  int loss;
  float f_scale;
  int geodesic;
  float geodesic_alpha;
  float geodesic_h;
  int differences;
  float difference_step;
  float jacobian_accuracy;
  const float *typical;
  const float *lower;
  const float *upper;
  int (*should_stop)(void *user_data);
  int (*accept_point)(const float *p, int m, void *user_data);
  float *workspace;
} sombrix_solve_options;

typedef struct ombrix_solve_result {
  int status;                /* OMBRIX_SOLVE_* */
  int converged;             /* 1 for statuses 1 to 4 */
  const char *message;       /* static text describing the status */
  int iterations;            /* trial steps */
  int nfev, njev;            /* model evaluations (differences included), Jacobians */
  int rank;                  /* numerical rank of J at p, found with the covariance (else 0) */
  double initial_chisq, chisq;  /* the loss sum at the start and at p */
  double gradient;           /* ||J^T r||_inf at p */
  double scaled_gradient;    /* max_j |(J^T r)_j| / (||J_j|| sqrt(chisq)) at p */
  double damping;            /* final mu */
} ombrix_solve_result;

OMBRIX_API void dombrix_solve_defaults(dombrix_solve_options *options);
OMBRIX_API void sombrix_solve_defaults(sombrix_solve_options *options);
/* Reals of a caller-supplied workspace for m parameters and n residuals, or -1. */
OMBRIX_API int dombrix_solve_workspace_size(int m, int n);
OMBRIX_API int sombrix_solve_workspace_size(int m, int n);
OMBRIX_API int dombrix_solve(dombrix_callback f, dombrix_callback jac, double *p, const double *y, const double *weights, int m, int n, const dombrix_solve_options *options, ombrix_solve_result *result, double *covariance, void *user_data);
OMBRIX_API int sombrix_solve(sombrix_callback f, sombrix_callback jac, float *p, const float *y, const float *weights, int m, int n, const sombrix_solve_options *options, ombrix_solve_result *result, float *covariance, void *user_data);

/* ---- dense linear solvers: A m x m row-major (QRLS: m x n, m >= n) ---- */
OMBRIX_API int dAx_eq_b_BK(const double *A, const double *B, double *x, int m);
OMBRIX_API int sAx_eq_b_BK(const float *A, const float *B, float *x, int m);
OMBRIX_API int dAx_eq_b_QR(const double *A, const double *B, double *x, int m);
OMBRIX_API int sAx_eq_b_QR(const float *A, const float *B, float *x, int m);
OMBRIX_API int dAx_eq_b_QRLS(const double *A, const double *B, double *x, int m, int n);
OMBRIX_API int sAx_eq_b_QRLS(const float *A, const float *B, float *x, int m, int n);
OMBRIX_API int dAx_eq_b_Chol(const double *A, const double *B, double *x, int m);
OMBRIX_API int sAx_eq_b_Chol(const float *A, const float *B, float *x, int m);
OMBRIX_API int dAx_eq_b_LU(const double *A, const double *B, double *x, int m);
OMBRIX_API int sAx_eq_b_LU(const float *A, const float *B, float *x, int m);
OMBRIX_API int dAx_eq_b_SVD(const double *A, const double *B, double *x, int m);
OMBRIX_API int sAx_eq_b_SVD(const float *A, const float *B, float *x, int m);

/* ---- kernels ---- */
/* product = mat^T mat, mat n x m */
OMBRIX_API void dombrix_trans_mat_mat_mult(const double *mat, double *product, int n, int m);
OMBRIX_API void sombrix_trans_mat_mat_mult(const float *mat, float *product, int n, int m);
/* diff = x - y (x NULL: -y), returns ||diff||^2; diff may alias x or y */
OMBRIX_API double dombrix_L2nrmxmy(double *diff, const double *x, const double *y, int n);
OMBRIX_API float sombrix_L2nrmxmy(float *diff, const float *x, const float *y, int n);
/* Difference Jacobians; p is perturbed in place and restored. */
OMBRIX_API void dombrix_fdif_forw_jac_approx(dombrix_callback func, double *p, const double *fp, double *scratch, double delta, double *jac_out, int m, int n, void *user_data);
OMBRIX_API void sombrix_fdif_forw_jac_approx(sombrix_callback func, float *p, const float *fp, float *scratch, float delta, float *jac_out, int m, int n, void *user_data);
OMBRIX_API void dombrix_fdif_cent_jac_approx(dombrix_callback func, double *p, double *scratch_minus, double *scratch_plus, double delta, double *jac_out, int m, int n, void *user_data);
OMBRIX_API void sombrix_fdif_cent_jac_approx(sombrix_callback func, float *p, float *scratch_minus, float *scratch_plus, float delta, float *jac_out, int m, int n, void *user_data);

/* ---- covariance and diagnostics ---- */
/* covariance = pinv(jtj) * sumsq / (n - rank); returns the rank (0 on failure).
 * jtj and covariance may be the same array. */
OMBRIX_API int dombrix_covar(const double *jtj, double *covariance, double sumsq, int m, int n);
OMBRIX_API int sombrix_covar(const float *jtj, float *covariance, float sumsq, int m, int n);
OMBRIX_API double dombrix_stddev(const double *covariance, int m, int i);
OMBRIX_API float sombrix_stddev(const float *covariance, int m, int i);
OMBRIX_API double dombrix_corcoef(const double *covariance, int m, int i, int j);
OMBRIX_API float sombrix_corcoef(const float *covariance, int m, int i, int j);
OMBRIX_API double dombrix_R2(dombrix_callback func, const double *p, const double *x, int m, int n, void *user_data);
OMBRIX_API float sombrix_R2(sombrix_callback func, const float *p, const float *x, int m, int n, void *user_data);
/* err_out[i] near 1: row i of the Jacobian agrees with differences; near 0: it does not. */
OMBRIX_API void dombrix_chkjac(dombrix_callback func, dombrix_callback jacf, const double *p, int m, int n, void *user_data, double *err_out);
OMBRIX_API void sombrix_chkjac(sombrix_callback func, sombrix_callback jacf, const float *p, int m, int n, void *user_data, float *err_out);
/* Upper triangular w with c = w^T w; 0 on success, -1 when c is not positive definite. */
OMBRIX_API int dombrix_chol(const double *c, double *w, int m);
OMBRIX_API int sombrix_chol(const float *c, float *w, int m);
/* 1 when lb[i] <= ub[i] for all i (or either is NULL), 0 otherwise */
OMBRIX_API int dombrix_box_check(const double *lb, const double *ub, int m);
OMBRIX_API int sombrix_box_check(const float *lb, const float *ub, int m);

#ifdef __cplusplus
}
#endif

#endif /* OMBRIX_H */
