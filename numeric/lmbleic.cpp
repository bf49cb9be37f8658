// Placeholder entry points (return -1) until the solver is written.
#include "internal.h"
#include "ombrix.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

extern "C" {

int dombrix_bleic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_bleic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_bleic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_bleic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_blic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_blic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_blic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *lb, const double *ub, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_blic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *lb, const float *ub, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_leic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_leic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_leic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *A, const double *b, int k1, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_leic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *A, const float *b, int k1, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_lic_der(dombrix_callback func, dombrix_callback jacf, double *p, const double *x, int m, int n, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_lic_der(sombrix_callback func, sombrix_callback jacf, float *p, const float *x, int m, int n, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }
int dombrix_lic_dif(dombrix_callback func, double *p, const double *x, int m, int n, const double *C, const double *d, int k2, int max_iter, const double *opts, double *info, double *workspace, double *covariance, void *user_data) { return -1; }
int sombrix_lic_dif(sombrix_callback func, float *p, const float *x, int m, int n, const float *C, const float *d, int k2, int max_iter, const float *opts, float *info, float *workspace, float *covariance, void *user_data) { return -1; }

}  // extern "C"
