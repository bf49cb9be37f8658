// Levenberg-Marquardt under linear equality constraints A p = b (A k x m).
//
// The constraints are eliminated once: a pivoted QR factorisation of A^T gives
// a particular solution s (A s = b) and an orthonormal basis Z of the null
// space of A, so every feasible point is p = s + Z u.  The unconstrained
// solvers then fit the m - k reduced parameters u through adapters that expand
// u into p before calling the caller's model and Jacobian.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {
namespace {

// Above this many Jacobian entries the reduced Jacobian Jf Z is formed in
// cache-sized blocks.
constexpr std::size_t kBlockedProductThreshold = 1024;
constexpr int kBlock = 32;

// What the adapters need to turn reduced parameters u into p = s + Z u.
template <typename T>
struct lmlec_data {
  const T* offset;  // particular solution s, m reals
  const T* basis;   // null-space basis Z, m x (m - k), row-major
  T* full_p;        // the caller's p: receives every expanded point
  T* full_jac;      // n x m Jacobian of the last evaluation (analytic solver only)
  int ncon;         // k
  Callback<T> func;
  Callback<T> jacf;
  void* user_data;
};

// full_p = s + Z u, each component accumulated from s[i] in ascending j.
template <typename T>
void expand(const lmlec_data<T>& rec, const T* u, int m) {
  const int mr = m - rec.ncon;
  for (int i = 0; i < m; ++i) {
    const T* z_row = rec.basis + std::size_t(i) * mr;
    T sum = rec.offset[i];
    for (int j = 0; j < mr; ++j) sum += z_row[j] * u[j];
    rec.full_p[i] = sum;
  }
}

template <typename T>
void lmlec_func(const T* u, T* out, int mr, int n, void* data) {
  const auto& rec = *static_cast<const lmlec_data<T>*>(data);
  const int m = mr + rec.ncon;
  expand(rec, u, m);
  rec.func(rec.full_p, out, m, n, rec.user_data);
}

// jac = Jf Z, n x mr, with Jf n x m and Z m x mr (all row-major).
template <typename T>
void reduce_jacobian(const T* jf, const T* z, T* jac, int n, int m, int mr) {
  const std::size_t nn = std::size_t(n), mm = std::size_t(m), rr = std::size_t(mr);
  if (nn * mm <= kBlockedProductThreshold) {
    for (std::size_t i = 0; i < nn; ++i)
      for (std::size_t j = 0; j < rr; ++j) {
        T sum = 0;
        for (std::size_t l = 0; l < mm; ++l) sum += jf[i * mm + l] * z[l * rr + j];
        jac[i * rr + j] = sum;
      }
    return;
  }
  for (std::size_t jj = 0; jj < rr; jj += kBlock) {
    const std::size_t j_end = std::min(jj + kBlock, rr);
    for (std::size_t i = 0; i < nn; ++i)
      for (std::size_t j = jj; j < j_end; ++j) jac[i * rr + j] = 0;
    for (std::size_t ll = 0; ll < mm; ll += kBlock) {
      const std::size_t l_end = std::min(ll + kBlock, mm);
      for (std::size_t i = 0; i < nn; ++i)
        for (std::size_t j = jj; j < j_end; ++j) {
          T sum = 0;
          for (std::size_t l = ll; l < l_end; ++l) sum += jf[i * mm + l] * z[l * rr + j];
          jac[i * rr + j] += sum;
        }
    }
  }
}

template <typename T>
void lmlec_jacf(const T* u, T* jac, int mr, int n, void* data) {
  const auto& rec = *static_cast<const lmlec_data<T>*>(data);
  const int m = mr + rec.ncon;
  expand(rec, u, m);
  rec.jacf(rec.full_p, rec.full_jac, m, n, rec.user_data);
  reduce_jacobian(rec.full_jac, rec.basis, jac, n, m, mr);
}

// Refuses more constraints than parameters (with the elimination's message).
template <typename T>
bool constraint_count_ok(int k, int m) {
  if (k <= m) return true;
  std::fprintf(stderr, "matrix of constraints cannot have more rows than columns in%clmlec_elim()!\n",
               Real<T>::letter);
  return false;
}

// Optimal LAPACK work length reported by a workspace query, at least 1.
template <typename T>
int queried_length(T reported) {
  return reported >= T(INT_MAX) ? INT_MAX : reported > T(1) ? int(reported) : 1;
}

// Reports a failure of the LAPACK routine `routine` (named without its
// precision letter) in the elimination; true when `info` is 0.
template <typename T>
bool lapack_succeeded(int info, const char* routine) {
  constexpr char P = Real<T>::letter;
  if (info < 0)
    std::fprintf(stderr, "LAPACK error: illegal value for argument %d of %c%s_ in %clmlec_elim()\n", -info, P, routine,
                 P);
  else if (info > 0)
    std::fprintf(stderr, "unknown LAPACK error (%d) for %c%s_ in %clmlec_elim()\n", info, P, routine, P);
  return info == 0;
}

// Eliminates A p = b: fills s (m reals) with a particular solution and Z
// (m x (m - k), row-major) with an orthonormal basis of the null space of A.
// Returns the rank (= k), or -1 with a message when A has more rows than
// columns, is not of full row rank, or LAPACK fails.  With k = 0 nothing is
// eliminated: s = 0 and Z = I.
template <typename T>
int lmlec_elim(const T* A, const T* b, T* s, T* Z, int k, int m) {
  constexpr char P = Real<T>::letter;
  if (!constraint_count_ok<T>(k, m)) return -1;
  const std::size_t mm = std::size_t(m), kk = std::size_t(k);
  if (k == 0) {
    std::memset(s, 0, mm * sizeof(T));
    std::memset(Z, 0, mm * mm * sizeof(T));
    for (std::size_t i = 0; i < mm; ++i) Z[i * mm + i] = 1;
    return 0;
  }

  // Work length: the larger of the pivoted QR's and the Q generation's needs.
  const int lwork_query = -1;
  int info = 0;
  T reported = 0;
  Real<T>::geqp3(&m, &k, nullptr, &m, nullptr, nullptr, &reported, &lwork_query, &info);
  int lwork = queried_length(reported);
  reported = 0;
  Real<T>::orgqr(&m, &m, &k, nullptr, &m, nullptr, &reported, &lwork_query, &info);
  lwork = std::max(lwork, queried_length(reported));

  // a (m^2: A^T, later Q), tau (k), r (k^2), work, Y (m k), pivots (k ints)
  CBuffer<T> memory(calloc_array<T>(Size(m) * m + Size(k) + Size(k) * k + Size(lwork) + Size(m) * k + Size(k)));
  if (!memory) {
    std::fprintf(stderr, "Memory allocation request failed in %clmlec_elim()\n", P);
    return -1;
  }
  T* a = memory.get();
  T* tau = a + mm * mm;
  T* r = tau + kk;
  T* work = r + kk * kk;
  T* Y = work + std::size_t(lwork);
  int* pivot = reinterpret_cast<int*>(Y + mm * kk);

  // Row-major A read column-major is A^T (m x k, leading dimension m).
  std::memcpy(a, A, kk * mm * sizeof(T));
  std::fill(pivot, pivot + kk, 0);  // every column free to move

  // A^T P = Q R
  Real<T>::geqp3(&m, &k, a, &m, pivot, tau, work, &lwork, &info);
  if (!lapack_succeeded<T>(info, "geqp3")) return -1;

  // Rank: the leading diagonal entries of R above the tolerance.
  T tol = T(10) * T(m) * Real<T>::eps * std::fabs(a[0]);
  if (!(tol > T(1e-12))) tol = T(1e-12);
  int rank = 0;
  for (; rank < k; ++rank) {
    const T r_ii = a[std::size_t(rank) * mm + rank];
    if (!(r_ii > tol || r_ii < -tol)) break;
  }
  if (rank < k) {
    std::fprintf(stderr,
                 "\nConstraints matrix in %clmlec_elim() is not of full row rank (i.e. %d < %d)!\nMake sure that you do not specify redundant or inconsistent constraints.\n\n",
                 P, rank, k);
    return -1;
  }

  // r = R^T (lower triangular, column-major), then inverted in place: R^-T.
  const std::size_t rk = std::size_t(rank);
  for (std::size_t i = 0; i < rk; ++i)
    for (std::size_t j = 0; j < rk; ++j) r[j + i * rk] = i <= j ? a[i + j * mm] : T(0);
  Real<T>::trtri("L", "N", &rank, r, &rank, &info);
  if (info > 0) {
    std::fprintf(stderr, "A(%d, %d) is exactly zero for %ctrtri_ (singular matrix) in %clmlec_elim()\n", info, info,
                 P, P);
    return -1;
  }
  if (!lapack_succeeded<T>(info, "trtri")) return -1;

  // r = R^-T P^T: column j moves to column pivot[j] - 1 (through Y as scratch).
  for (std::size_t j = 0; j < rk; ++j)
    std::memcpy(Y + std::size_t(pivot[j] - 1) * rk, r + j * rk, rk * sizeof(T));
  std::memcpy(r, Y, rk * rk * sizeof(T));

  // The full m x m Q from the k reflectors.
  std::memset(a + mm * kk, 0, (mm * mm - mm * kk) * sizeof(T));
  Real<T>::orgqr(&m, &m, &k, a, &m, tau, work, &lwork, &info);
  if (!lapack_succeeded<T>(info, "orgqr")) return -1;

  // Y = Q1 R^-T P^T (m x rank, row-major), a right inverse of A; s = Y b.
  for (std::size_t i = 0; i < mm; ++i)
    for (std::size_t j = 0; j < rk; ++j) {
      T sum = 0;
      for (std::size_t l = 0; l < rk; ++l) sum += a[i + l * mm] * r[l + j * rk];
      Y[i * rk + j] = sum;
    }
  if (b && s)
    for (std::size_t i = 0; i < mm; ++i) {
      T sum = 0;
      for (std::size_t j = 0; j < rk; ++j) sum += Y[i * rk + j] * b[j];
      s[i] = sum;
    }

  // Z: the last m - rank columns of Q.
  const std::size_t zr = mm - rk;
  for (std::size_t i = 0; i < mm; ++i)
    for (std::size_t j = 0; j < zr; ++j) Z[i * zr + j] = a[i + (rk + j) * mm];
  return rank;
}

// u = Z^T (p - s); p - s is formed in p, which is scratch afterwards.
template <typename T>
void project_start(T* p, const T* s, const T* Z, T* u, int m, int mr) {
  for (int i = 0; i < m; ++i) p[i] -= s[i];
  for (int j = 0; j < mr; ++j) {
    T sum = 0;
    for (int i = 0; i < m; ++i) sum += Z[std::size_t(i) * mr + j] * p[i];
    u[j] = sum;
  }
}

// Number of reduced parameters m - k as a size; invalid for a negative k.
inline Size reduced_count(int m, int k) { return k < 0 ? Size::invalid() : Size(m - k); }

// The eliminated problem of one call: working memory s (m), Z (m (m - k)), the
// full Jacobian (n m, analytic solver only) and u (m - k), and the record.
template <typename T>
struct Reduction {
  CBuffer<T> memory;
  lmlec_data<T> rec{};
  T* u = nullptr;
  int mr = 0;  // m - k
};

// Checks the sizes, allocates, eliminates A p = b and projects the start:
// u = Z^T (p - s).  `mode` is "der" or "dif"; false after a message on
// failure, with p unchanged.
template <typename T>
bool reduce(const char* mode, bool with_jacobian, T* p, int m, int n, const T* A, const T* b, int k,
            Reduction<T>& red) {
  constexpr char P = Real<T>::letter;
  if (!A) k = 0;  // no constraint matrix: nothing to eliminate
  if (std::int64_t(m) - k > n) {
    std::fprintf(stderr,
                 "%combrix_lec_%s(): cannot solve a problem with fewer measurements + equality constraints [%d + %d] than unknowns [%d]\n",
                 P, mode, n, k, m);
    return false;
  }
  if (!constraint_count_ok<T>(k, m)) return false;
  const Size mr_size = reduced_count(m, k);
  const Size jac_size = with_jacobian ? Size(n) * m : Size(0);
  red.memory.reset(calloc_array<T>(Size(m) + Size(m) * mr_size + jac_size + mr_size));
  if (!red.memory) {
    std::fprintf(stderr, "%combrix_lec_%s(): memory allocation request failed\n", P, mode);
    return false;
  }
  red.mr = m - k;
  T* s = red.memory.get();
  T* Z = s + std::size_t(m);
  T* full_jac = Z + std::size_t(m) * std::size_t(red.mr);
  red.u = full_jac + jac_size.value;
  red.rec.offset = s;
  red.rec.basis = Z;
  red.rec.full_p = p;
  red.rec.full_jac = with_jacobian ? full_jac : nullptr;
  red.rec.ncon = k;
  if (lmlec_elim(A, b, s, Z, k, m) < 0) return false;
  project_start(p, s, Z, red.u, m, red.mr);
  return true;
}

// An information vector the reduced solver always writes (entry 6 is a stop
// reason 1-7 once it has run), copied to the caller's afterwards.  Entry 6
// still 0 means the solver failed before starting.
template <typename T>
struct RunInfo {
  T v[10] = {};
  bool ran() const { return v[6] != T(0); }
  void copy_to(T* info) const {
    if (info && ran()) std::memcpy(info, v, sizeof v);
  }
};

template <typename T>
void clear_covariance(T* covariance, int m) {
  std::memset(covariance, 0, std::size_t(m) * std::size_t(m) * sizeof(T));
}

// covariance = pinv(J^T J) ||e||^2 / (n - rank) for the full parameter vector,
// all zeros when it cannot be estimated.
template <typename T>
void full_covariance(const T* jac, T* covariance, T e2, int m, int n) {
  trans_mat_mat_mult(jac, covariance, n, m);
  // covar reads J^T J before writing; a failed estimate would leave J^T J in
  // place of a covariance (rank 0 has written zeros already).
  if (covar(covariance, covariance, e2, m, n) == 0) clear_covariance(covariance, m);
}

}  // namespace

// ---- analytic Jacobian ------------------------------------------------------------

template <typename T>
int lm_lec_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, const T* A, const T* b, int k,
               int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  if (!jacf) {
    std::fprintf(stderr,
                 "No function specified for computing the Jacobian in %combrix_lec_der().\nIf no such function is available, use %combrix_lec_dif() rather than %combrix_lec_der()\n",
                 P, P, P);
    return -1;
  }
  Reduction<T> red;
  red.rec.func = func;
  red.rec.jacf = jacf;
  red.rec.user_data = user_data;
  if (!reduce("der", true, p, m, n, A, b, k, red)) return -1;

  RunInfo<T> run;
  const int ret = lm_der<T>(lmlec_func<T>, lmlec_jacf<T>, red.u, x, red.mr, n, max_iter, opts, run.v, workspace,
                            nullptr, &red.rec);
  expand(red.rec, red.u, m);
  run.copy_to(info);
  // A solve that never evaluated the Jacobian leaves full_jac zero: the
  // covariance is then all zeros.
  if (covariance && run.ran()) full_covariance(red.rec.full_jac, covariance, run.v[1], m, n);
  return ret;
}

// ---- finite differences -----------------------------------------------------------

template <typename T>
int lm_lec_dif(Callback<T> func, T* p, const T* x, int m, int n, const T* A, const T* b, int k, int max_iter,
               const T* opts, T* info, T* workspace, T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  Reduction<T> red;
  red.rec.func = func;
  red.rec.jacf = nullptr;
  red.rec.user_data = user_data;
  if (!reduce("dif", false, p, m, n, A, b, k, red)) return -1;

  RunInfo<T> run;
  const int ret = lm_dif<T>(lmlec_func<T>, red.u, x, red.mr, n, max_iter, opts, run.v, workspace, nullptr,
                            &red.rec);
  expand(red.rec, red.u, m);
  run.copy_to(info);
  if (!covariance || !run.ran()) return ret;

  // The covariance from a fresh forward-difference Jacobian at the returned
  // point, whatever scheme the solve used: f(p) (n), scratch (n), J (n m).
  // Without memory for it the fit still stands, with the all-zero covariance
  // of an estimate that failed.
  red.memory.reset();
  CBuffer<T> jac_memory(calloc_array<T>((Size(m) + Size(2)) * n));
  if (!jac_memory) {
    std::fprintf(stderr, "%combrix_lec_dif(): memory allocation request failed\n", P);
    clear_covariance(covariance, m);
    return ret;
  }
  T* fp = jac_memory.get();
  T* scratch = fp + std::size_t(n);
  T* jac = scratch + std::size_t(n);
  func(p, fp, m, n, user_data);
  fdif_forw_jac_approx(func, p, fp, scratch, T(1e-6), jac, m, n, user_data);
  full_covariance(jac, covariance, run.v[1], m, n);
  return ret;
}

template int lm_lec_der<double>(Callback<double>, Callback<double>, double*, const double*, int, int, const double*, const double*, int, int, const double*, double*, double*, double*, void*);
template int lm_lec_der<float>(Callback<float>, Callback<float>, float*, const float*, int, int, const float*, const float*, int, int, const float*, float*, float*, float*, void*);
template int lm_lec_dif<double>(Callback<double>, double*, const double*, int, int, const double*, const double*, int, int, const double*, double*, double*, double*, void*);
template int lm_lec_dif<float>(Callback<float>, float*, const float*, int, int, const float*, const float*, int, int, const float*, float*, float*, float*, void*);

}  // namespace ombrix

using namespace ombrix;

extern "C" {

int dombrix_lec_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, const double* A, const double* b, int k, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_lec_der(func, jacf, p, x, m, n, A, b, k, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_lec_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, const float* A, const float* b, int k, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_lec_der(func, jacf, p, x, m, n, A, b, k, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_lec_dif(dombrix_callback func, double* p, const double* x, int m, int n, const double* A, const double* b, int k, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_lec_dif(func, p, x, m, n, A, b, k, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_lec_dif(sombrix_callback func, float* p, const float* x, int m, int n, const float* A, const float* b, int k, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_lec_dif(func, p, x, m, n, A, b, k, max_iter, opts, info, workspace, covariance, user_data); }

}  // extern "C"
