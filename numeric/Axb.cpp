// Dense linear solvers A x = B through LAPACK.
//
// Contract shared by all six: A is row-major and left unchanged; the result is
// 1 when x holds the solution, 0 after a numerical failure (singular or
// indefinite matrix, no convergence, a NaN or infinite entry in the matrix
// of the SVD solver; a message is on stderr).  An illegal LAPACK
// argument or a failed allocation is a programming or resource error:
// message, then exit(1), or kSolveAborted under a FailureScope
// (internal.h).  Each solver keeps a scratch buffer between calls so
// that an iteration does not allocate on every solve; a call with A == NULL
// releases it.  The buffers are per thread, so independent fits may run on
// several threads.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {
namespace {

// Scratch memory of one solver on one thread: grows only, released by a call
// with a null matrix (or when the thread ends).
struct Retained {
  void* buf = nullptr;
  std::size_t capacity = 0;  // bytes
  int nb = 0;                // LAPACK block size, 0 until queried; never reset

  ~Retained() { std::free(buf); }

  void release() {
    std::free(buf);
    buf = nullptr;
    capacity = 0;
  }

  // Makes room for `bytes`; false when the size is not representable or the
  // allocation fails (the old buffer is then gone too).
  bool reserve(Size bytes) {
    if (!bytes.valid) return false;
    if (capacity >= bytes.value && buf) return true;
    release();
    buf = std::calloc(bytes.value ? bytes.value : 1, 1);
    if (!buf) return false;
    capacity = bytes.value;
    return true;
  }
};

enum class Solver { kBK, kQR, kQRLS, kChol, kLU, kSVD };

// The calling thread's state of one solver in one precision.  A function-local
// thread_local rather than a variable template: GCC (12 at least) never runs
// the destructor of a thread_local variable template, so every thread that
// had solved a system would leak its buffer when it ended.
template <typename T, Solver S>
Retained& retained() {
  static thread_local Retained state;
  return state;
}

// Resource and programming errors: the message, then exit(1), or kSolveAborted
// under a FailureScope.
[[gnu::format(printf, 1, 2)]] int out_of_memory(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vfail_or_exit(Failure::kOutOfMemory, format, args);
  va_end(args);
  return kSolveAborted;
}

[[gnu::format(printf, 1, 2)]] int illegal_argument(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vfail_or_exit(Failure::kIllegalArgument, format, args);
  va_end(args);
  return kSolveAborted;
}

template <typename T>
void copy_transposed(const T* A, T* column_major, int rows, int cols) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) column_major[std::size_t(j) * rows + i] = A[std::size_t(i) * cols + j];
}

// LAPACK's optimal work length from a query, truncated to int.
template <typename T>
int optimal_length(T cell) {
  return int(cell);
}

// The block size LAPACK's QR prefers, from one workspace query for order m.
template <typename T>
int query_qr_block(int m) {
  T cell = 0;
  int lwork = -1, info = 0;
  Real<T>::geqrf(&m, &m, nullptr, &m, nullptr, &cell, &lwork, &info);
  return m > 0 ? optimal_length(cell) / m : 0;
}

// LAPACK work length nb * m as an int, or -1 when it does not fit.
inline int work_length(int nb, int m) {
  const Size w = Size(nb) * m;
  return w.valid && w.value <= INT_MAX ? int(w.value) : -1;
}

}  // namespace

// ---- Bunch-Kaufman L D L^T, symmetric A ------------------------------------------

template <typename T>
int ax_eq_b_bk(const T* A, const T* B, T* x, int m) {
  constexpr char P = Real<T>::letter;
  Retained& state = retained<T, Solver::kBK>();
  if (!A) {
    state.release();
    return 1;
  }
  if (m == 0) return 1;  // empty system

  if (state.nb == 0) {
    T cell = 0;
    int lwork = -1, info = 0;
    Real<T>::sytrf("L", &m, nullptr, &m, nullptr, &cell, &lwork, &info);
    state.nb = m > 0 ? optimal_length(cell) / m : 0;
  }
  const int w = state.nb == -1 ? 1 : work_length(state.nb, m);
  const Size bytes = (Size(m) * m + Size(w)) * Size(sizeof(T)) + Size(m) * Size(sizeof(int));
  if (!state.reserve(bytes)) return out_of_memory("memory allocation in %cAx_eq_b_BK() failed!\n", P);

  T* factor = static_cast<T*>(state.buf);
  T* lapack_work = factor + std::size_t(m) * m;
  int* ipiv = reinterpret_cast<int*>(lapack_work + w);
  // Symmetric: the row-major copy is also the column-major matrix.
  std::memcpy(factor, A, std::size_t(m) * m * sizeof(T));
  std::memcpy(x, B, std::size_t(m) * sizeof(T));

  int info = 0;
  Real<T>::sytrf("L", &m, factor, &m, ipiv, lapack_work, &w, &info);
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %csytrf_ in %cAx_eq_b_BK()\n", -info, P, P);
  if (info > 0) {
    std::fprintf(stderr, "LAPACK error: singular block diagonal matrix D for%csytrf_ in %cAx_eq_b_BK() [D(%d, %d) is zero]\n",
                 P, P, info, info);
    return 0;
  }
  const int nrhs = 1;
  Real<T>::sytrs("L", &m, &nrhs, factor, &m, ipiv, x, &m, &info);
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %csytrs_ in %cAx_eq_b_BK()\n", -info, P, P);
  return 1;
}

// ---- QR, general square A --------------------------------------------------------

template <typename T>
static int ax_eq_b_qr(const T* A, const T* B, T* x, int m) {
  constexpr char P = Real<T>::letter;
  Retained& state = retained<T, Solver::kQR>();
  if (!A) {
    state.release();
    return 1;
  }
  if (m == 0) return 1;
  if (state.nb == 0) state.nb = query_qr_block<T>(m);

  const int lwork = work_length(state.nb, m);
  const Size reals = Size(2) * m * m + Size(m) + Size(lwork);
  if (lwork < 0 || !state.reserve(reals * Size(sizeof(T))))
    return out_of_memory("memory allocation in %cAx_eq_b_QR() failed!\n", P);
  const std::size_t mm = std::size_t(m);
  T* qr_a = static_cast<T*>(state.buf);
  T* tau = qr_a + mm * mm;
  T* r = tau + mm;
  T* lapack_work = r + mm * mm;

  copy_transposed(A, qr_a, m, m);
  int info = 0;
  Real<T>::geqrf(&m, &m, qr_a, &m, tau, lapack_work, &lwork, &info);
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %cgeqrf_ in %cAx_eq_b_QR()\n", -info, P, P);
  if (info > 0) {
    std::fprintf(stderr, "Unknown LAPACK error %d for %cgeqrf_ in %cAx_eq_b_QR()\n", info, P, P);
    return 0;
  }
  std::memcpy(r, qr_a, mm * mm * sizeof(T));  // R is its upper triangle

  Real<T>::orgqr(&m, &m, &m, qr_a, &m, tau, lapack_work, &lwork, &info);  // qr_a becomes Q
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %corgqr_ in %cAx_eq_b_QR()\n", -info, P, P);
  if (info > 0) {
    std::fprintf(stderr, "Unknown LAPACK error (%d) in %cAx_eq_b_QR()\n", info, P);
    return 0;
  }

  for (std::size_t i = 0; i < mm; ++i) {  // x = Q^T B
    T sum = 0;
    for (std::size_t j = 0; j < mm; ++j) sum += qr_a[i * mm + j] * B[j];
    x[i] = sum;
  }
  const int nrhs = 1;
  Real<T>::trtrs("U", "N", "N", &m, &nrhs, r, &m, x, &m, &info);  // R x = Q^T B
  if (info > 0) {
    std::fprintf(stderr, "LAPACK error: the %d-th diagonal element of A is zero (singular matrix) in %cAx_eq_b_QR()\n",
                 info, P);
    return 0;
  }
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %ctrtrs_ in %cAx_eq_b_QR()\n", -info, P, P);
  return 1;
}

// ---- least squares through R of A (m x n, m >= n): R^T R x = A^T B -------------------

template <typename T>
static int ax_eq_b_qrls(const T* A, const T* B, T* x, int m, int n) {
  constexpr char P = Real<T>::letter;
  Retained& state = retained<T, Solver::kQRLS>();
  if (!A) {
    state.release();
    return 1;
  }
  if (m < n)
    return illegal_argument("Normal equations require that the number of rows is greater than number of columns in %cAx_eq_b_QRLS() [%d x %d]! -- try transposing\n",
          P, m, n);
  if (n == 0) return 1;
  if (state.nb == 0) state.nb = query_qr_block<T>(m);  // queried for an m x m shape

  const int lwork = work_length(state.nb, m);
  const Size reals = Size(m) * n + Size(n) * n + Size(n) + Size(lwork);
  if (lwork < 0 || !state.reserve(reals * Size(sizeof(T))))
    return out_of_memory("memory allocation in %cAx_eq_b_QRLS() failed!\n", P);
  const std::size_t mm = std::size_t(m), nn = std::size_t(n);
  T* qr_a = static_cast<T*>(state.buf);
  T* tau = qr_a + mm * nn;
  T* r = tau + nn;
  T* lapack_work = r + nn * nn;

  copy_transposed(A, qr_a, m, n);
  for (std::size_t j = 0; j < nn; ++j) {  // x = A^T B
    T sum = 0;
    for (std::size_t i = 0; i < mm; ++i) sum += A[i * nn + j] * B[i];
    x[j] = sum;
  }

  int info = 0;
  Real<T>::geqrf(&m, &n, qr_a, &m, tau, lapack_work, &lwork, &info);
  if (info > 0) {
    std::fprintf(stderr, "Unknown LAPACK error %d for %cgeqrf_ in %cAx_eq_b_QRLS()\n", info, P, P);
    return 0;
  }
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %cgeqrf_ in %cAx_eq_b_QRLS()\n", -info, P, P);

  for (std::size_t j = 0; j < nn; ++j)  // upper triangle of the leading n x n block
    for (std::size_t i = 0; i < nn; ++i) r[j * nn + i] = i <= j ? qr_a[j * mm + i] : T(0);

  const int nrhs = 1;
  for (const char* trans : {"T", "N"}) {  // R^T y = A^T B, then R x = y
    Real<T>::trtrs("U", trans, "N", &n, &nrhs, r, &n, x, &n, &info);
    if (info > 0) {
      std::fprintf(stderr, "LAPACK error: the %d-th diagonal element of A is zero (singular matrix) in %cAx_eq_b_QRLS()\n",
                   info, P);
      return 0;
    }
    if (info < 0)
      return illegal_argument("LAPACK error: illegal value for argument %d of %ctrtrs_ in %cAx_eq_b_QRLS()\n", -info, P, P);
  }
  return 1;
}

// ---- Cholesky, symmetric positive definite A ------------------------------------------

template <typename T>
static int ax_eq_b_chol(const T* A, const T* B, T* x, int m) {
  constexpr char P = Real<T>::letter;
  Retained& state = retained<T, Solver::kChol>();
  if (!A) {
    state.release();
    return 1;
  }
  if (m == 0) return 1;
  if (!state.reserve(Size(m) * m * Size(sizeof(T))))
    return out_of_memory("memory allocation in %cAx_eq_b_Chol() failed!\n", P);
  T* factor = static_cast<T*>(state.buf);
  std::memcpy(factor, A, std::size_t(m) * m * sizeof(T));
  std::memcpy(x, B, std::size_t(m) * sizeof(T));

  int info = 0;
  Real<T>::potrf("L", &m, factor, &m, &info);
  if (info > 0) {
    std::fprintf(stderr,
                 "LAPACK error: the leading minor of order %d is not positive definite,\nthe factorization could not be completed for %cpotf2_/%cpotrf_ in %cAx_eq_b_Chol()\n",
                 info, P, P, P);
    return 0;
  }
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %cpotf2_/%cpotrf_ in %cAx_eq_b_Chol()\n", -info, P, P, P);
  const int nrhs = 1;
  Real<T>::potrs("L", &m, &nrhs, factor, &m, x, &m, &info);
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %cpotrs_ in %cAx_eq_b_Chol()\n", -info, P, P);
  return 1;
}

// ---- LU with partial pivoting, general square A ------------------------------------------

template <typename T>
static int ax_eq_b_lu(const T* A, const T* B, T* x, int m) {
  constexpr char P = Real<T>::letter;
  Retained& state = retained<T, Solver::kLU>();
  if (!A) {
    state.release();
    return 1;
  }
  if (m == 0) return 1;
  if (!state.reserve(Size(m) * m * Size(sizeof(T)) + Size(m) * Size(sizeof(int))))
    return out_of_memory("memory allocation in %cAx_eq_b_LU() failed!\n", P);
  const std::size_t mm = std::size_t(m);
  T* factor = static_cast<T*>(state.buf);
  int* ipiv = reinterpret_cast<int*>(factor + mm * mm);
  for (std::size_t i = 0; i < mm; ++i) {
    for (std::size_t j = 0; j < mm; ++j) factor[j * mm + i] = A[i * mm + j];
    x[i] = B[i];
  }

  int info = 0;
  Real<T>::getrf(&m, &m, factor, &m, ipiv, &info);
  if (info > 0) {
    std::fprintf(stderr, "singular matrix A for %cgetrf_ in %cAx_eq_b_LU()\n", P, P);
    return 0;
  }
  if (info < 0) return illegal_argument("argument %d of %cgetrf_ illegal in %cAx_eq_b_LU()\n", -info, P, P);
  const int nrhs = 1;
  Real<T>::getrs("N", &m, &nrhs, factor, &m, ipiv, x, &m, &info);
  if (info > 0) {
    std::fprintf(stderr, "unknown error for %cgetrs_ in %cAx_eq_b_LU()\n", P, P);
    return 0;
  }
  if (info < 0) return illegal_argument("argument %d of %cgetrs_ illegal in %cAx_eq_b_LU()\n", -info, P, P);
  return 1;
}

// ---- pseudoinverse solution x = pinv(A) B through an SVD -----------------------------------

template <typename T>
static int ax_eq_b_svd(const T* A, const T* B, T* x, int m) {
  constexpr char P = Real<T>::letter;
  Retained& state = retained<T, Solver::kSVD>();
  if (!A) {
    state.release();
    return 1;
  }
  if (m == 0) return 1;

  T cell = 0;
  int lwork = -1, info = 0;
  Real<T>::gesvd("A", "A", &m, &m, nullptr, &m, nullptr, nullptr, &m, nullptr, &m, &cell, &lwork, &info);
  lwork = optimal_length(cell);
  if (!state.reserve((Size(3) * m * m + Size(m) + Size(lwork)) * Size(sizeof(T))))
    return out_of_memory("memory allocation in %cAx_eq_b_SVD() failed!\n", P);
  const std::size_t mm = std::size_t(m);
  T* svd_a = static_cast<T*>(state.buf);
  T* u = svd_a + mm * mm;
  T* s = u + mm * mm;
  T* vt = s + mm;
  T* lapack_work = vt + mm * mm;

  // The SVD iterates without end on a NaN or infinite entry.  (A is read only
  // once the buffer exists.)
  if (!all_finite(A, mm * mm)) {
    std::fprintf(stderr, "non-finite entry in matrix A for %cgesvd_ in %cAx_eq_b_SVD()\n", P, P);
    return 0;
  }
  copy_transposed(A, svd_a, m, m);
  Real<T>::gesvd("A", "A", &m, &m, svd_a, &m, s, u, &m, vt, &m, lapack_work, &lwork, &info);
  if (info < 0)
    return illegal_argument("LAPACK error: illegal value for argument %d of %cgesvd_\"/\" %cgesdd_ in %cAx_eq_b_SVD()\n", -info, P, P, P);
  if (info > 0) {
    std::fprintf(stderr, "LAPACK error: %cgesdd (%cbdsdc)/%cgesvd (%cbdsqr) failed to converge in %cAx_eq_b_SVD() [info=%d]\n",
                 P, P, P, P, P, info);
    return 0;
  }

  T* pinv = svd_a;  // row-major pseudoinverse, accumulated over the kept singular values
  std::memset(pinv, 0, mm * mm * sizeof(T));
  const T threshold = s[0] * Real<T>::eps;
  for (int i = 0; i < m && s[i] > threshold; ++i) {
    const T w = T(1) / s[i];
    const T* u_col = u + std::size_t(i) * mm;
    for (std::size_t k = 0; k < mm; ++k) {
      const T vt_ik = vt[k * mm + i];
      T* row = pinv + k * mm;
      for (std::size_t j = 0; j < mm; ++j) row[j] += (u_col[j] * vt_ik) * w;
    }
  }
  for (std::size_t i = 0; i < mm; ++i) {
    T sum = 0;
    for (std::size_t j = 0; j < mm; ++j) sum += pinv[i * mm + j] * B[j];
    x[i] = sum;
  }
  return 1;
}

template int ax_eq_b_bk<double>(const double*, const double*, double*, int);
template int ax_eq_b_bk<float>(const float*, const float*, float*, int);

}  // namespace ombrix

using namespace ombrix;

extern "C" {

int dAx_eq_b_BK(const double* A, const double* B, double* x, int m) { return ax_eq_b_bk(A, B, x, m); }
int sAx_eq_b_BK(const float* A, const float* B, float* x, int m) { return ax_eq_b_bk(A, B, x, m); }
int dAx_eq_b_QR(const double* A, const double* B, double* x, int m) { return ax_eq_b_qr(A, B, x, m); }
int sAx_eq_b_QR(const float* A, const float* B, float* x, int m) { return ax_eq_b_qr(A, B, x, m); }
int dAx_eq_b_QRLS(const double* A, const double* B, double* x, int m, int n) { return ax_eq_b_qrls(A, B, x, m, n); }
int sAx_eq_b_QRLS(const float* A, const float* B, float* x, int m, int n) { return ax_eq_b_qrls(A, B, x, m, n); }
int dAx_eq_b_Chol(const double* A, const double* B, double* x, int m) { return ax_eq_b_chol(A, B, x, m); }
int sAx_eq_b_Chol(const float* A, const float* B, float* x, int m) { return ax_eq_b_chol(A, B, x, m); }
int dAx_eq_b_LU(const double* A, const double* B, double* x, int m) { return ax_eq_b_lu(A, B, x, m); }
int sAx_eq_b_LU(const float* A, const float* B, float* x, int m) { return ax_eq_b_lu(A, B, x, m); }
int dAx_eq_b_SVD(const double* A, const double* B, double* x, int m) { return ax_eq_b_svd(A, B, x, m); }
int sAx_eq_b_SVD(const float* A, const float* B, float* x, int m) { return ax_eq_b_svd(A, B, x, m); }

}  // extern "C"
