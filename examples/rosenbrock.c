/*
 * Fit of Rosenbrock's function written as residuals, from C.
 *
 *   r0 = 10 (p1 - p0^2),  r1 = 1 - p0;   minimum 0 at p = (1, 1)
 *
 * Build against an installed ombrix (the header and libombrix.so ship inside
 * the Python package):
 *
 *   cc rosenbrock.c $(python -P -m ombrix.config --cflags --libs) -o rosenbrock
 */
#include <math.h>
#include <stdio.h>

#include <ombrix.h>

static void residuals(const double *p, double *r, int m, int n, void *user_data) {
  (void)m, (void)n, (void)user_data;
  r[0] = 10.0 * (p[1] - p[0] * p[0]);
  r[1] = 1.0 - p[0];
}

/* Row-major 2 x 2 Jacobian: entry i*m + j is d r_i / d p_j. */
static void jacobian(const double *p, double *jac, int m, int n, void *user_data) {
  (void)m, (void)n, (void)user_data;
  jac[0] = -20.0 * p[0];
  jac[1] = 10.0;
  jac[2] = -1.0;
  jac[3] = 0.0;
}

int main(void) {
  double info[10];
  int failures = 0;

  /* With the analytic Jacobian; x = NULL fits the residuals to zero. */
  double p[2] = {-1.2, 1.0};
  int iterations = dombrix_der(residuals, jacobian, p, NULL, 2, 2, 1000, NULL, info, NULL, NULL, NULL);
  printf("analytic Jacobian:   p = (%.12f, %.12f)  ||e||^2 = %.3g  iterations %d  stop reason %d\n", p[0], p[1],
         info[1], iterations, (int)info[6]);
  failures += iterations < 0 || fabs(p[0] - 1.0) > 1e-8 || fabs(p[1] - 1.0) > 1e-8;

  /* With central differences: a negative step in opts[4]. */
  double q[2] = {-1.2, 1.0};
  const double opts[5] = {1e-3, 1e-17, 1e-17, 1e-17, -1e-6};
  iterations = dombrix_dif(residuals, q, NULL, 2, 2, 1000, opts, info, NULL, NULL, NULL);
  printf("central differences: p = (%.12f, %.12f)  ||e||^2 = %.3g  iterations %d  model calls %d\n", q[0], q[1],
         info[1], iterations, (int)info[7]);
  failures += iterations < 0 || fabs(q[0] - 1.0) > 1e-6 || fabs(q[1] - 1.0) > 1e-6;

  return failures ? 1 : 0;
}
