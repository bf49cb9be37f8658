// Placeholder entry points (return -1) until the solver is written.
#include "internal.h"
#include "ombrix.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

extern "C" {

int dombrix_lec_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *A, const double *b, int k, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_lec_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *A, const float *b, int k, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_lec_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *A, const double *b, int k, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_lec_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *A, const float *b, int k, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }

}  // extern "C"
