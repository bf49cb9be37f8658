// Precision traits: what the generic algorithms need to know about the real
// type T (double or float), including its LAPACK and BLAS entry points.
#ifndef OMBRIX_REAL_H
#define OMBRIX_REAL_H

#include <cfloat>

#include "lapack.h"

namespace ombrix {

template <typename T>
struct Real;

template <>
struct Real<double> {
  static constexpr char letter = 'd';     // first letter of names in messages
  static constexpr double max = DBL_MAX;  // also the "unbounded" sentinel
  static constexpr double eps = 0x1p-52;  // machine epsilon

  static void sytrf(const char* uplo, const int* n, double* a, const int* lda, int* ipiv, double* work, const int* lwork, int* info) { F77(dsytrf)(uplo, n, a, lda, ipiv, work, lwork, info, 1); }
  static void sytrs(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda, const int* ipiv, double* b, const int* ldb, int* info) { F77(dsytrs)(uplo, n, nrhs, a, lda, ipiv, b, ldb, info, 1); }
  static void geqrf(const int* m, const int* n, double* a, const int* lda, double* tau, double* work, const int* lwork, int* info) { F77(dgeqrf)(m, n, a, lda, tau, work, lwork, info); }
  static void orgqr(const int* m, const int* n, const int* k, double* a, const int* lda, const double* tau, double* work, const int* lwork, int* info) { F77(dorgqr)(m, n, k, a, lda, tau, work, lwork, info); }
  static void ormqr(const char* side, const char* trans, const int* m, const int* n, const int* k, const double* a, const int* lda, const double* tau, double* c, const int* ldc, double* work, const int* lwork, int* info) { F77(dormqr)(side, trans, m, n, k, a, lda, tau, c, ldc, work, lwork, info, 1, 1); }
  static void geqp3(const int* m, const int* n, double* a, const int* lda, int* jpvt, double* tau, double* work, const int* lwork, int* info) { F77(dgeqp3)(m, n, a, lda, jpvt, tau, work, lwork, info); }
  static void trtrs(const char* uplo, const char* trans, const char* diag, const int* n, const int* nrhs, const double* a, const int* lda, double* b, const int* ldb, int* info) { F77(dtrtrs)(uplo, trans, diag, n, nrhs, a, lda, b, ldb, info, 1, 1, 1); }
  static void trtri(const char* uplo, const char* diag, const int* n, double* a, const int* lda, int* info) { F77(dtrtri)(uplo, diag, n, a, lda, info, 1, 1); }
  static void potrf(const char* uplo, const int* n, double* a, const int* lda, int* info) { F77(dpotrf)(uplo, n, a, lda, info, 1); }
  static void potf2(const char* uplo, const int* n, double* a, const int* lda, int* info) { F77(dpotf2)(uplo, n, a, lda, info, 1); }
  static void potrs(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda, double* b, const int* ldb, int* info) { F77(dpotrs)(uplo, n, nrhs, a, lda, b, ldb, info, 1); }
  static void getrf(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info) { F77(dgetrf)(m, n, a, lda, ipiv, info); }
  static void getrs(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda, const int* ipiv, double* b, const int* ldb, int* info) { F77(dgetrs)(trans, n, nrhs, a, lda, ipiv, b, ldb, info, 1); }
  static void gesvd(const char* jobu, const char* jobvt, const int* m, const int* n, double* a, const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt, double* work, const int* lwork, int* info) { F77(dgesvd)(jobu, jobvt, m, n, a, lda, s, u, ldu, vt, ldvt, work, lwork, info, 1, 1); }
  static void gemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha, const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c, const int* ldc) { F77(dgemm)(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1); }
  static double nrm2(const int* n, const double* x, const int* incx) { return F77(dnrm2)(n, x, incx); }
};

template <>
struct Real<float> {
  static constexpr char letter = 's';
  static constexpr float max = FLT_MAX;
  static constexpr float eps = 0x1p-23f;

  static void sytrf(const char* uplo, const int* n, float* a, const int* lda, int* ipiv, float* work, const int* lwork, int* info) { F77(ssytrf)(uplo, n, a, lda, ipiv, work, lwork, info, 1); }
  static void sytrs(const char* uplo, const int* n, const int* nrhs, const float* a, const int* lda, const int* ipiv, float* b, const int* ldb, int* info) { F77(ssytrs)(uplo, n, nrhs, a, lda, ipiv, b, ldb, info, 1); }
  static void geqrf(const int* m, const int* n, float* a, const int* lda, float* tau, float* work, const int* lwork, int* info) { F77(sgeqrf)(m, n, a, lda, tau, work, lwork, info); }
  static void orgqr(const int* m, const int* n, const int* k, float* a, const int* lda, const float* tau, float* work, const int* lwork, int* info) { F77(sorgqr)(m, n, k, a, lda, tau, work, lwork, info); }
  static void ormqr(const char* side, const char* trans, const int* m, const int* n, const int* k, const float* a, const int* lda, const float* tau, float* c, const int* ldc, float* work, const int* lwork, int* info) { F77(sormqr)(side, trans, m, n, k, a, lda, tau, c, ldc, work, lwork, info, 1, 1); }
  static void geqp3(const int* m, const int* n, float* a, const int* lda, int* jpvt, float* tau, float* work, const int* lwork, int* info) { F77(sgeqp3)(m, n, a, lda, jpvt, tau, work, lwork, info); }
  static void trtrs(const char* uplo, const char* trans, const char* diag, const int* n, const int* nrhs, const float* a, const int* lda, float* b, const int* ldb, int* info) { F77(strtrs)(uplo, trans, diag, n, nrhs, a, lda, b, ldb, info, 1, 1, 1); }
  static void trtri(const char* uplo, const char* diag, const int* n, float* a, const int* lda, int* info) { F77(strtri)(uplo, diag, n, a, lda, info, 1, 1); }
  static void potrf(const char* uplo, const int* n, float* a, const int* lda, int* info) { F77(spotrf)(uplo, n, a, lda, info, 1); }
  static void potf2(const char* uplo, const int* n, float* a, const int* lda, int* info) { F77(spotf2)(uplo, n, a, lda, info, 1); }
  static void potrs(const char* uplo, const int* n, const int* nrhs, const float* a, const int* lda, float* b, const int* ldb, int* info) { F77(spotrs)(uplo, n, nrhs, a, lda, b, ldb, info, 1); }
  static void getrf(const int* m, const int* n, float* a, const int* lda, int* ipiv, int* info) { F77(sgetrf)(m, n, a, lda, ipiv, info); }
  static void getrs(const char* trans, const int* n, const int* nrhs, const float* a, const int* lda, const int* ipiv, float* b, const int* ldb, int* info) { F77(sgetrs)(trans, n, nrhs, a, lda, ipiv, b, ldb, info, 1); }
  static void gesvd(const char* jobu, const char* jobvt, const int* m, const int* n, float* a, const int* lda, float* s, float* u, const int* ldu, float* vt, const int* ldvt, float* work, const int* lwork, int* info) { F77(sgesvd)(jobu, jobvt, m, n, a, lda, s, u, ldu, vt, ldvt, work, lwork, info, 1, 1); }
  static void gemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const float* alpha, const float* a, const int* lda, const float* b, const int* ldb, const float* beta, float* c, const int* ldc) { F77(sgemm)(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1); }
  static float nrm2(const int* n, const float* x, const int* incx) { return F77(snrm2)(n, x, incx); }
};

}  // namespace ombrix

#endif  // OMBRIX_REAL_H
