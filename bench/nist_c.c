/*
 * NIST's reference problems through ombrix's trust-region engine
 * (dombrix_solve), its dombrix_der, GSL's multifit_nlinear
 * (Levenberg-Marquardt trust region, QR and Cholesky solvers) and Ceres
 * Solver's Levenberg-Marquardt (nist_ceres.cpp), models and Jacobians in C,
 * all fits timed side by side.
 *
 * Usage: nist_c problems.txt repeats   (built and fed by nist_c.py)
 *
 * problems.txt: a count, then per problem "name n m", the n predictor values,
 * the n responses, start 1, start 2 (m values each).
 * Output: one line per problem, start and solver:
 *   RUN name start solver status iterations model_calls jacobian_calls seconds own_seconds p_1 ... p_m
 * with the median time of `repeats` fits, the solvers taking turns, and the
 * median of the same fits' time outside the model and Jacobian callbacks.
 * First a line "VERSIONS gsl ceres" with the peers' versions.
 */
#define _POSIX_C_SOURCE 199309L
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_version.h>
#include <ombrix.h>

#include "nist_ceres.h"
#include "timing.h"

/* One tolerance set for every problem, as in the Python benchmark. */
static const double OMBRIX_OPTS[4] = {1e-3, 1e-20, 1e-15, 1e-20}; /* mu, eps1, eps2, eps3 */
static const double GSL_XTOL = 1e-15, GSL_GTOL = 1e-15, GSL_FTOL = 1e-15;
static const int MAX_ITER = 10000;

/* ---- models: f(b, x) into out[n]; Jacobian n x m row-major -------------------------- */

typedef void (*model_fn)(const double *b, const double *x, double *out, int n);

static void exp_rise(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i) f[i] = b[0] * (1.0 - exp(-b[1] * x[i]));
}
static void exp_rise_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double e = exp(-b[1] * x[i]);
    J[2 * i] = 1.0 - e, J[2 * i + 1] = b[0] * x[i] * e;
  }
}

static void chwirut2(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i) f[i] = exp(-b[0] * x[i]) / (b[1] + b[2] * x[i]);
}
static void chwirut2_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double d = 1.0 / (b[1] + b[2] * x[i]), f = exp(-b[0] * x[i]) * d, g = -f * d;
    J[3 * i] = -x[i] * f, J[3 * i + 1] = g, J[3 * i + 2] = x[i] * g;
  }
}

static void danwood(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i) f[i] = b[0] * pow(x[i], b[1]);
}
static void danwood_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double power = pow(x[i], b[1]);
    J[2 * i] = power, J[2 * i + 1] = b[0] * power * log(x[i]);
  }
}

static void gauss1(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i) {
    double u1 = x[i] - b[3], u2 = x[i] - b[6];
    f[i] = b[0] * exp(-b[1] * x[i]) + b[2] * exp(-u1 * u1 / (b[4] * b[4])) + b[5] * exp(-u2 * u2 / (b[7] * b[7]));
  }
}
static void gauss1_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double e = exp(-b[1] * x[i]), u1 = x[i] - b[3], u2 = x[i] - b[6];
    double g1 = exp(-u1 * u1 / (b[4] * b[4])), g2 = exp(-u2 * u2 / (b[7] * b[7]));
    double h1 = 2.0 * b[2] * g1 * u1 / (b[4] * b[4]), h2 = 2.0 * b[5] * g2 * u2 / (b[7] * b[7]);
    double *row = J + 8 * i;
    row[0] = e, row[1] = -b[0] * x[i] * e, row[2] = g1, row[3] = h1, row[4] = h1 * u1 / b[4];
    row[5] = g2, row[6] = h2, row[7] = h2 * u2 / b[7];
  }
}

static void kirby2(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i)
    f[i] = (b[0] + x[i] * (b[1] + x[i] * b[2])) / (1.0 + x[i] * (b[3] + x[i] * b[4]));
}
static void kirby2_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double d = 1.0 / (1.0 + x[i] * (b[3] + x[i] * b[4]));
    double q = -(b[0] + x[i] * (b[1] + x[i] * b[2])) * d * d;
    double *row = J + 5 * i;
    row[0] = d, row[1] = x[i] * d, row[2] = x[i] * x[i] * d, row[3] = x[i] * q, row[4] = x[i] * x[i] * q;
  }
}

static void lanczos3(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i)
    f[i] = b[0] * exp(-b[1] * x[i]) + b[2] * exp(-b[3] * x[i]) + b[4] * exp(-b[5] * x[i]);
}
static void lanczos3_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double e1 = exp(-b[1] * x[i]), e2 = exp(-b[3] * x[i]), e3 = exp(-b[5] * x[i]);
    double *row = J + 6 * i;
    row[0] = e1, row[1] = -b[0] * x[i] * e1, row[2] = e2, row[3] = -b[2] * x[i] * e2;
    row[4] = e3, row[5] = -b[4] * x[i] * e3;
  }
}

static void mgh09(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i) f[i] = b[0] * (x[i] * (x[i] + b[1])) / (x[i] * (x[i] + b[2]) + b[3]);
}
static void mgh09_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double d = 1.0 / (x[i] * (x[i] + b[2]) + b[3]), num = x[i] * (x[i] + b[1]), q = -b[0] * num * d * d;
    double *row = J + 4 * i;
    row[0] = num * d, row[1] = b[0] * x[i] * d, row[2] = x[i] * q, row[3] = q;
  }
}

static void thurber(const double *b, const double *x, double *f, int n) {
  for (int i = 0; i < n; ++i) {
    double x1 = x[i], x2 = x1 * x1, x3 = x2 * x1;
    f[i] = (b[0] + b[1] * x1 + b[2] * x2 + b[3] * x3) / (1.0 + b[4] * x1 + b[5] * x2 + b[6] * x3);
  }
}
static void thurber_jac(const double *b, const double *x, double *J, int n) {
  for (int i = 0; i < n; ++i) {
    double x1 = x[i], x2 = x1 * x1, x3 = x2 * x1;
    double d = 1.0 / (1.0 + b[4] * x1 + b[5] * x2 + b[6] * x3);
    double q = -(b[0] + b[1] * x1 + b[2] * x2 + b[3] * x3) * d * d;
    double *row = J + 7 * i;
    row[0] = d, row[1] = x1 * d, row[2] = x2 * d, row[3] = x3 * d, row[4] = x1 * q, row[5] = x2 * q, row[6] = x3 * q;
  }
}

static const struct {
  const char *name;
  model_fn model, jacobian;
} MODELS[] = {
    {"BoxBOD", exp_rise, exp_rise_jac}, {"Chwirut2", chwirut2, chwirut2_jac}, {"DanWood", danwood, danwood_jac},
    {"Gauss1", gauss1, gauss1_jac},     {"Kirby2", kirby2, kirby2_jac},       {"Lanczos3", lanczos3, lanczos3_jac},
    {"MGH09", mgh09, mgh09_jac},        {"Misra1a", exp_rise, exp_rise_jac},  {"Thurber", thurber, thurber_jac},
};

/* ---- problems ----------------------------------------------------------------------- */

typedef struct {
  char name[64];
  int n, m;
  double *x, *y, *start[2];
  model_fn model, jacobian;
  /* evaluation counters and time spent in the callbacks, of the current fit */
  int model_calls, jacobian_calls;
  double callback_seconds;
  double *scratch; /* n * m, for GSL's Jacobian */
} Problem;

static int read_values(FILE *in, double *v, int count) {
  for (int i = 0; i < count; ++i)
    if (fscanf(in, "%lf", &v[i]) != 1) return 0;
  return 1;
}

static int read_problem(FILE *in, Problem *pr) {
  if (fscanf(in, "%63s %d %d", pr->name, &pr->n, &pr->m) != 3) return 0;
  pr->model = pr->jacobian = NULL;
  for (size_t k = 0; k < sizeof MODELS / sizeof MODELS[0]; ++k)
    if (strcmp(MODELS[k].name, pr->name) == 0) pr->model = MODELS[k].model, pr->jacobian = MODELS[k].jacobian;
  if (!pr->model) {
    fprintf(stderr, "no C model for %s\n", pr->name);
    return 0;
  }
  int n = pr->n, m = pr->m;
  pr->x = malloc(n * sizeof(double)), pr->y = malloc(n * sizeof(double));
  pr->start[0] = malloc(m * sizeof(double)), pr->start[1] = malloc(m * sizeof(double));
  pr->scratch = malloc((size_t)n * m * sizeof(double));
  return read_values(in, pr->x, n) && read_values(in, pr->y, n) && read_values(in, pr->start[0], m) &&
         read_values(in, pr->start[1], m);
}

/* ---- the solvers ---------------------------------------------------------------------- */

typedef struct {
  int status, iterations, model_calls, jacobian_calls;
  double *p;
} Result;

static void ombrix_model(const double *p, double *out, int m, int n, void *data) {
  (void)m;
  Problem *pr = data;
  double t0 = now();
  pr->model_calls++;
  pr->model(p, pr->x, out, n);
  pr->callback_seconds += now() - t0;
}

static void ombrix_jacobian(const double *p, double *out, int m, int n, void *data) {
  (void)m;
  Problem *pr = data;
  double t0 = now();
  pr->jacobian_calls++;
  pr->jacobian(p, pr->x, out, n);
  pr->callback_seconds += now() - t0;
}

static void fit_ombrix(Problem *pr, int start, Result *r) {
  double info[10] = {0}; /* stop reason 0 stays when the solver fails before iterating */
  memcpy(r->p, pr->start[start], pr->m * sizeof(double));
  dombrix_der(ombrix_model, ombrix_jacobian, r->p, pr->y, pr->m, pr->n, MAX_ITER, OMBRIX_OPTS, info, NULL, NULL, pr);
  r->status = (int)info[6];
  r->iterations = (int)info[5];
}

/* The engine with its default options: a fit to the rounding level. */
static void fit_engine(Problem *pr, int start, Result *r) {
  ombrix_solve_result outcome = {0};
  memcpy(r->p, pr->start[start], pr->m * sizeof(double));
  r->status = dombrix_solve(ombrix_model, ombrix_jacobian, r->p, pr->y, NULL, pr->m, pr->n, NULL, &outcome, NULL, pr);
  r->iterations = outcome.iterations;
}

static void fit_ceres(Problem *pr, int start, Result *r) {
  ceres_bench_outcome outcome = {0};
  memcpy(r->p, pr->start[start], pr->m * sizeof(double));
  ceres_bench_fit(ombrix_model, ombrix_jacobian, pr->y, pr->m, pr->n, MAX_ITER, pr, r->p, &outcome);
  r->status = outcome.status;
  r->iterations = outcome.iterations;
}

static int gsl_model(const gsl_vector *b, void *data, gsl_vector *f) {
  Problem *pr = data;
  double t0 = now();
  pr->model_calls++;
  pr->model(b->data, pr->x, f->data, pr->n);
  for (int i = 0; i < pr->n; ++i) f->data[i] -= pr->y[i];
  pr->callback_seconds += now() - t0;
  return GSL_SUCCESS;
}

static int gsl_jacobian(const gsl_vector *b, void *data, gsl_matrix *J) {
  Problem *pr = data;
  double t0 = now();
  pr->jacobian_calls++;
  if (J->tda == (size_t)pr->m) {
    pr->jacobian(b->data, pr->x, J->data, pr->n);
  } else {
    pr->jacobian(b->data, pr->x, pr->scratch, pr->n);
    for (int i = 0; i < pr->n; ++i) memcpy(J->data + i * J->tda, pr->scratch + i * pr->m, pr->m * sizeof(double));
  }
  pr->callback_seconds += now() - t0;
  return GSL_SUCCESS;
}

/* One complete fit as a caller makes it: workspace allocated, initialised, driven, freed. */
static void fit_gsl(Problem *pr, int start, const gsl_multifit_nlinear_solver *solver, Result *r) {
  gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
  params.trs = gsl_multifit_nlinear_trs_lm;
  params.solver = solver;
  gsl_multifit_nlinear_workspace *w = gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, pr->n, pr->m);
  gsl_multifit_nlinear_fdf fdf = {gsl_model, gsl_jacobian, NULL, pr->n, pr->m, pr, 0, 0, 0};
  gsl_vector_const_view b0 = gsl_vector_const_view_array(pr->start[start], pr->m);
  int info = 0;
  r->status = gsl_multifit_nlinear_init(&b0.vector, &fdf, w);
  if (r->status == GSL_SUCCESS)
    r->status = gsl_multifit_nlinear_driver(MAX_ITER, GSL_XTOL, GSL_GTOL, GSL_FTOL, NULL, NULL, &info, w);
  /* success: report which test fired (1 small step, 2 small gradient) */
  if (r->status == GSL_SUCCESS) r->status = 1000 + info;
  r->iterations = (int)gsl_multifit_nlinear_niter(w);
  memcpy(r->p, gsl_multifit_nlinear_position(w)->data, pr->m * sizeof(double));
  gsl_multifit_nlinear_free(w);
}

/* ---- timing ------------------------------------------------------------------------- */

/* What the covariance costs at the end of a fit (the Python module always asks
 * for it; the fits above do not): dombrix_covar on J^T J at p.  Prints
 * "COVAR name m seconds". */
static void covariance_time(Problem *pr, const double *p, double *seconds, int repeats) {
  int n = pr->n, m = pr->m;
  double *J = pr->scratch, *jtj = malloc((size_t)m * m * sizeof(double)), *cov = malloc((size_t)m * m * sizeof(double));
  double *f = malloc(n * sizeof(double)), sumsq = 0;
  pr->jacobian(p, pr->x, J, n);
  pr->model(p, pr->x, f, n);
  for (int i = 0; i < n; ++i) sumsq += (pr->y[i] - f[i]) * (pr->y[i] - f[i]);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      double s = 0;
      for (int l = 0; l < n; ++l) s += J[l * m + i] * J[l * m + j];
      jtj[i * m + j] = s;
    }
  for (int rep = 0; rep < repeats; ++rep) {
    double t0 = now();
    dombrix_covar(jtj, cov, sumsq, m, n);
    seconds[rep] = now() - t0;
  }
  printf("COVAR %s %d %.6e\n", pr->name, m, median(seconds, repeats));
  free(jtj), free(cov), free(f);
}

enum { ENGINE, OMBRIX, GSL_QR, GSL_CHOLESKY, CERES, SOLVERS };
static const char *SOLVER_NAMES[SOLVERS] = {"engine", "ombrix", "gsl_qr", "gsl_cholesky", "ceres"};

static void fit(Problem *pr, int start, int solver, Result *r) {
  pr->model_calls = pr->jacobian_calls = 0;
  pr->callback_seconds = 0;
  switch (solver) {
    case ENGINE: fit_engine(pr, start, r); break;
    case OMBRIX: fit_ombrix(pr, start, r); break;
    case GSL_QR: fit_gsl(pr, start, gsl_multifit_nlinear_solver_qr, r); break;
    case GSL_CHOLESKY: fit_gsl(pr, start, gsl_multifit_nlinear_solver_cholesky, r); break;
    default: fit_ceres(pr, start, r); break;
  }
  r->model_calls = pr->model_calls, r->jacobian_calls = pr->jacobian_calls;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s problems.txt repeats\n", argv[0]);
    return 2;
  }
  FILE *in = fopen(argv[1], "r");
  int count = 0, repeats = atoi(argv[2]);
  if (!in || fscanf(in, "%d", &count) != 1 || repeats < 1) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  gsl_set_error_handler_off();
  printf("VERSIONS %s %s\n", GSL_VERSION, ceres_bench_version());
  double *seconds = malloc((size_t)SOLVERS * repeats * sizeof(double));
  double *own = malloc((size_t)SOLVERS * repeats * sizeof(double));
  for (int k = 0; k < count; ++k) {
    Problem pr;
    if (!read_problem(in, &pr)) {
      fprintf(stderr, "cannot read problem %d of %s\n", k + 1, argv[1]);
      return 2;
    }
    for (int start = 0; start < 2; ++start) {
      Result result[SOLVERS], scratch;
      double *p = malloc((size_t)(SOLVERS + 1) * pr.m * sizeof(double));
      for (int s = 0; s < SOLVERS; ++s) result[s].p = p + s * pr.m;
      scratch.p = p + SOLVERS * pr.m;
      for (int s = 0; s < SOLVERS; ++s) fit(&pr, start, s, &result[s]);
      /* The solvers take turns, starting with a different one each repeat. */
      for (int rep = 0; rep < repeats; ++rep)
        for (int t = 0; t < SOLVERS; ++t) {
          int s = (rep + t) % SOLVERS;
          double t0 = now();
          fit(&pr, start, s, &scratch);
          seconds[s * repeats + rep] = now() - t0;
          own[s * repeats + rep] = seconds[s * repeats + rep] - pr.callback_seconds;
        }
      for (int s = 0; s < SOLVERS; ++s) {
        Result *r = &result[s];
        printf("RUN %s %d %s %d %d %d %d %.6e %.6e", pr.name, start + 1, SOLVER_NAMES[s], r->status, r->iterations,
               r->model_calls, r->jacobian_calls, median(seconds + s * repeats, repeats),
               median(own + s * repeats, repeats));
        for (int j = 0; j < pr.m; ++j) printf(" %.17g", r->p[j]);
        printf("\n");
      }
      if (start == 1) covariance_time(&pr, result[OMBRIX].p, seconds, repeats);
      free(p);
    }
    free(pr.x), free(pr.y), free(pr.start[0]), free(pr.start[1]), free(pr.scratch);
  }
  free(seconds), free(own);
  fclose(in);
  return 0;
}
