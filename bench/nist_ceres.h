/* Ceres Solver's Levenberg-Marquardt for bench/nist_c.c: a C entry point to
 * the C++ fit in nist_ceres.cpp. */
#ifndef OMBRIX_BENCH_NIST_CERES_H
#define OMBRIX_BENCH_NIST_CERES_H

#ifdef __cplusplus
extern "C" {
#endif

/* The same callbacks as the ombrix solvers: f(p) into out[n]; the Jacobian
 * n x m row-major. */
typedef void (*ceres_bench_callback)(const double *p, double *out, int m, int n, void *data);

/* Why Ceres stopped, read from its summary. */
enum {
  CERES_BENCH_FUNCTION_TOLERANCE = 1,
  CERES_BENCH_GRADIENT_TOLERANCE,
  CERES_BENCH_PARAMETER_TOLERANCE,
  CERES_BENCH_MAX_ITERATIONS,
  CERES_BENCH_MIN_TRUST_REGION,
  CERES_BENCH_OTHER
};

typedef struct {
  int status;     /* CERES_BENCH_* */
  int iterations; /* trial steps, successful and not (evaluations are counted in the callbacks) */
} ceres_bench_outcome;

/* One complete fit of y ~ f(p) from p, as a caller makes it (problem built,
 * solved, destroyed); p receives the solution. */
void ceres_bench_fit(ceres_bench_callback model, ceres_bench_callback jacobian, const double *y, int m, int n,
                     int max_iterations, void *data, double *p, ceres_bench_outcome *outcome);

/* "major.minor.revision" of the Ceres headers built against. */
const char *ceres_bench_version(void);

#ifdef __cplusplus
}
#endif

#endif
