// Fortran LAPACK and BLAS prototypes used by the numeric layer (internal).
//
// Every argument is passed by reference.  gfortran-built libraries expect one
// trailing hidden length argument per CHARACTER argument; we always pass them.
// BLAS_SYMBOL_PREFIX (for example scipy_) is prepended to every name.
#ifndef OMBRIX_LAPACK_H
#define OMBRIX_LAPACK_H

#include <cstddef>

#ifndef BLAS_SYMBOL_PREFIX
#define BLAS_SYMBOL_PREFIX
#endif
#define OMBRIX_F77_(prefix, name) prefix##name##_
#define OMBRIX_F77X(prefix, name) OMBRIX_F77_(prefix, name)
#define F77(name) OMBRIX_F77X(BLAS_SYMBOL_PREFIX, name)

using fstrlen = std::size_t;  // hidden CHARACTER length

extern "C" {
// Bunch-Kaufman L D L^T
void F77(dsytrf)(const char* uplo, const int* n, double* a, const int* lda, int* ipiv, double* work, const int* lwork, int* info, fstrlen);
void F77(ssytrf)(const char* uplo, const int* n, float* a, const int* lda, int* ipiv, float* work, const int* lwork, int* info, fstrlen);
void F77(dsytrs)(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda, const int* ipiv, double* b, const int* ldb, int* info, fstrlen);
void F77(ssytrs)(const char* uplo, const int* n, const int* nrhs, const float* a, const int* lda, const int* ipiv, float* b, const int* ldb, int* info, fstrlen);

// QR
void F77(dgeqrf)(const int* m, const int* n, double* a, const int* lda, double* tau, double* work, const int* lwork, int* info);
void F77(sgeqrf)(const int* m, const int* n, float* a, const int* lda, float* tau, float* work, const int* lwork, int* info);
void F77(dorgqr)(const int* m, const int* n, const int* k, double* a, const int* lda, const double* tau, double* work, const int* lwork, int* info);
void F77(sorgqr)(const int* m, const int* n, const int* k, float* a, const int* lda, const float* tau, float* work, const int* lwork, int* info);
void F77(dormqr)(const char* side, const char* trans, const int* m, const int* n, const int* k, const double* a, const int* lda, const double* tau, double* c, const int* ldc, double* work, const int* lwork, int* info, fstrlen, fstrlen);
void F77(sormqr)(const char* side, const char* trans, const int* m, const int* n, const int* k, const float* a, const int* lda, const float* tau, float* c, const int* ldc, float* work, const int* lwork, int* info, fstrlen, fstrlen);
void F77(dgeqp3)(const int* m, const int* n, double* a, const int* lda, int* jpvt, double* tau, double* work, const int* lwork, int* info);
void F77(sgeqp3)(const int* m, const int* n, float* a, const int* lda, int* jpvt, float* tau, float* work, const int* lwork, int* info);

// triangular
void F77(dtrtrs)(const char* uplo, const char* trans, const char* diag, const int* n, const int* nrhs, const double* a, const int* lda, double* b, const int* ldb, int* info, fstrlen, fstrlen, fstrlen);
void F77(strtrs)(const char* uplo, const char* trans, const char* diag, const int* n, const int* nrhs, const float* a, const int* lda, float* b, const int* ldb, int* info, fstrlen, fstrlen, fstrlen);
void F77(dtrtri)(const char* uplo, const char* diag, const int* n, double* a, const int* lda, int* info, fstrlen, fstrlen);
void F77(strtri)(const char* uplo, const char* diag, const int* n, float* a, const int* lda, int* info, fstrlen, fstrlen);

// Cholesky
void F77(dpotrf)(const char* uplo, const int* n, double* a, const int* lda, int* info, fstrlen);
void F77(spotrf)(const char* uplo, const int* n, float* a, const int* lda, int* info, fstrlen);
void F77(dpotf2)(const char* uplo, const int* n, double* a, const int* lda, int* info, fstrlen);
void F77(spotf2)(const char* uplo, const int* n, float* a, const int* lda, int* info, fstrlen);
void F77(dpotrs)(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda, double* b, const int* ldb, int* info, fstrlen);
void F77(spotrs)(const char* uplo, const int* n, const int* nrhs, const float* a, const int* lda, float* b, const int* ldb, int* info, fstrlen);

// LU
void F77(dgetrf)(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void F77(sgetrf)(const int* m, const int* n, float* a, const int* lda, int* ipiv, int* info);
void F77(dgetrs)(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda, const int* ipiv, double* b, const int* ldb, int* info, fstrlen);
void F77(sgetrs)(const char* trans, const int* n, const int* nrhs, const float* a, const int* lda, const int* ipiv, float* b, const int* ldb, int* info, fstrlen);

// SVD
void F77(dgesvd)(const char* jobu, const char* jobvt, const int* m, const int* n, double* a, const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt, double* work, const int* lwork, int* info, fstrlen, fstrlen);
void F77(sgesvd)(const char* jobu, const char* jobvt, const int* m, const int* n, float* a, const int* lda, float* s, float* u, const int* ldu, float* vt, const int* ldvt, float* work, const int* lwork, int* info, fstrlen, fstrlen);

// BLAS
void F77(dgemm)(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha, const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c, const int* ldc, fstrlen, fstrlen);
void F77(sgemm)(const char* transa, const char* transb, const int* m, const int* n, const int* k, const float* alpha, const float* a, const int* lda, const float* b, const int* ldb, const float* beta, float* c, const int* ldc, fstrlen, fstrlen);
double F77(dnrm2)(const int* n, const double* x, const int* incx);
float F77(snrm2)(const int* n, const float* x, const int* incx);  // gfortran returns REAL as float
}

#endif  // OMBRIX_LAPACK_H
