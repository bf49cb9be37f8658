/*
 * How close dombrix_der comes to the unavoidable work of an iteration.
 *
 * A dense linear model f(p) = J p with n x m Jacobian J (large enough for the
 * gemm path).  A large initial damping keeps every step accepted, so each
 * iteration is exactly one Jacobian, one J^T J, one solve and one trial.  The
 * solver's time per iteration (the callbacks' own time subtracted) is compared
 * with one gemm for J^T J plus one dsytrf + dsytrs of order m, timed alone.
 *
 * Usage: lm_overhead n m iterations repeats   (built by lm_overhead.py)
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ombrix.h>

#include "timing.h"

#ifndef BLAS_PREFIX
#define BLAS_PREFIX
#endif
#define F77_(p, n) p##n##_
#define F77X(p, n) F77_(p, n)
#define F77(n) F77X(BLAS_PREFIX, n)

void F77(dgemm)(const char *, const char *, const int *, const int *, const int *, const double *, const double *,
                const int *, const double *, const int *, const double *, double *, const int *, size_t, size_t);
void F77(dsytrf)(const char *, const int *, double *, const int *, int *, double *, const int *, int *, size_t);
void F77(dsytrs)(const char *, const int *, const int *, const double *, const int *, const int *, double *,
                 const int *, int *, size_t);

static const double *J;
static double callback_seconds;

static void model(const double *p, double *out, int m, int n, void *user_data) {
  (void)user_data;
  double t0 = now();
  for (int i = 0; i < n; ++i) {
    const double *row = J + (size_t)i * m;
    double s = 0;
    for (int j = 0; j < m; ++j) s += row[j] * p[j];
    out[i] = s;
  }
  callback_seconds += now() - t0;
}

static void jacobian(const double *p, double *out, int m, int n, void *user_data) {
  (void)p, (void)user_data;
  double t0 = now();
  memcpy(out, J, (size_t)n * m * sizeof(double));
  callback_seconds += now() - t0;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s n m iterations repeats\n", argv[0]);
    return 2;
  }
  const int n = atoi(argv[1]), m = atoi(argv[2]), iterations = atoi(argv[3]), repeats = atoi(argv[4]);
  double *jac = malloc((size_t)n * m * sizeof *jac), *x = malloc((size_t)n * sizeof *x);
  double *p = malloc((size_t)m * sizeof *p), *jtj = malloc((size_t)m * m * sizeof *jtj);
  double *rhs = malloc((size_t)m * sizeof *rhs), *seconds = malloc((size_t)repeats * sizeof *seconds);
  int *ipiv = malloc((size_t)m * sizeof *ipiv);
  srand(12345);
  for (size_t i = 0; i < (size_t)n * m; ++i) jac[i] = rand() / (double)RAND_MAX - 0.5;
  for (int i = 0; i < n; ++i) x[i] = rand() / (double)RAND_MAX;
  J = jac;

  /* Each repeat times the solver (per iteration, callbacks excluded) and then
   * the unavoidable work alone (J^T J by gemm, then dsytrf + dsytrs), so that
   * machine noise hits both alike. */
  const double opts[4] = {1e4, 1e-30, 1e-30, 1e-30};
  const double one = 1, zero = 0;
  int info_lapack, lwork = 64 * m, nrhs = 1;
  double info[10], callbacks = 0;
  double *work = malloc((size_t)lwork * sizeof *work), *alone = malloc((size_t)repeats * sizeof *alone);
  for (int r = 0; r < repeats; ++r) {
    memset(p, 0, (size_t)m * sizeof *p);
    callback_seconds = 0;
    double t0 = now();
    int k = dombrix_der(model, jacobian, p, x, m, n, iterations, opts, info, NULL, NULL, NULL);
    double total = now() - t0;
    if (k != iterations || info[9] != iterations) {
      fprintf(stderr, "unexpected run: %d iterations, %g solves\n", k, info[9]);
      return 1;
    }
    seconds[r] = (total - callback_seconds) / iterations;
    callbacks += callback_seconds / iterations / repeats;

    t0 = now();
    for (int it = 0; it < iterations; ++it) {
      F77(dgemm)("N", "T", &m, &m, &n, &one, jac, &m, jac, &m, &zero, jtj, &m, 1, 1);
      for (int i = 0; i < m; ++i) jtj[(size_t)i * m + i] += 1.0, rhs[i] = 1.0;
      F77(dsytrf)("L", &m, jtj, &m, ipiv, work, &lwork, &info_lapack, 1);
      F77(dsytrs)("L", &m, &nrhs, jtj, &m, ipiv, rhs, &m, &info_lapack, 1);
    }
    alone[r] = (now() - t0) / iterations;
  }
  const double per_iteration = median(seconds, repeats);
  const double unavoidable = median(alone, repeats);

  printf("n = %d, m = %d, %d iterations per run, median of %d runs (solver and work alone interleaved)\n", n, m, iterations, repeats);
  printf("solver time per iteration (callbacks excluded): %.3f ms\n", 1e3 * per_iteration);
  printf("callbacks per iteration (model + Jacobian):     %.3f ms\n", 1e3 * callbacks);
  printf("gemm + dsytrf + dsytrs alone:                    %.3f ms\n", 1e3 * unavoidable);
  printf("ratio: %.3f\n", per_iteration / unavoidable);
  free(jac), free(x), free(p), free(jtj), free(rhs), free(seconds), free(alone), free(ipiv), free(work);
  return 0;
}
