// Kernels shared by the solvers (normal equations, error vector, difference
// Jacobians), the covariance estimate, and fit diagnostics.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {

// ---- normal equations ---------------------------------------------------------

// product = mat^T mat for the row-major n x m `mat`.  Read column-major, `mat`
// is the m x n matrix mat^T, so one gemm (N, T) gives the m x m product.
template <typename T>
void trans_mat_mat_mult(const T* mat, T* product, int n, int m) {
  if (m <= 0) return;  // nothing to write; gemm would reject a leading dimension of 0
  const T one = 1, zero = 0;
  Real<T>::gemm("N", "T", &m, &m, &n, &one, mat, &m, mat, &m, &zero, product, &m);
}

template <typename T>
void normal_equations(const T* jac, const T* err, T* jtj, T* jte, int n, int m, bool direct) {
  const std::size_t mm = std::size_t(m);
  if (direct) {
    std::memset(jtj, 0, mm * mm * sizeof(T));
    std::memset(jte, 0, mm * sizeof(T));
    for (int l = n - 1; l >= 0; --l) {
      const T* row = jac + std::size_t(l) * mm;
      for (int i = m - 1; i >= 0; --i) {
        const T alpha = row[i];
        T* jtj_row = jtj + std::size_t(i) * mm;
        for (int j = i; j >= 0; --j) jtj_row[j] += row[j] * alpha;
        jte[i] += alpha * err[l];
      }
    }
    for (int i = 0; i < m; ++i)  // mirror the lower triangle
      for (int j = i + 1; j < m; ++j) jtj[std::size_t(i) * mm + j] = jtj[std::size_t(j) * mm + i];
  } else {
    trans_mat_mat_mult(jac, jtj, n, m);
    std::memset(jte, 0, mm * sizeof(T));
    for (int l = 0; l < n; ++l) {
      const T* row = jac + std::size_t(l) * mm;
      for (int i = 0; i < m; ++i) jte[i] += row[i] * err[l];
    }
  }
}

// diff = x - y (or -y when x is null) and the sum of its squares, in a fixed
// order: blocks of eight from the top down into four partial sums, then the
// remainder from the bottom up, so that results are reproducible to the bit.
template <typename T>
T l2nrmxmy(T* diff, const T* x, const T* y, int n) {
  T sum[4] = {0, 0, 0, 0};
  if (n <= 0) return 0;
  const int blocked = n & ~7;
  for (int top = blocked - 1; top > 0; top -= 8) {
    for (int t = 0; t < 8; ++t) {
      const int i = top - t;
      diff[i] = x ? x[i] - y[i] : -y[i];
      sum[t & 3] += diff[i] * diff[i];
    }
  }
  const int rest = n - blocked;
  for (int u = 0; u < rest; ++u) {
    const int i = blocked + u;
    diff[i] = x ? x[i] - y[i] : -y[i];
    sum[(u + 7 - rest) & 3] += diff[i] * diff[i];
  }
  return ((sum[0] + sum[1]) + sum[2]) + sum[3];
}

// ---- difference Jacobians --------------------------------------------------------

// Step for parameter value v: |1e-4 v|, at least delta (a NaN product stays NaN).
template <typename T>
static T difference_step(T v, T delta) {
  T d = std::fabs(T(1e-4) * v);
  if (delta > d) d = delta;
  return d;
}

template <typename T>
void fdif_forw_jac_approx(Callback<T> func, T* p, const T* fp, T* scratch, T delta, T* jac_out, int m, int n,
                          void* user_data) {
  for (int j = 0; j < m; ++j) {
    const T d = difference_step(p[j], delta);
    const T saved = p[j];
    p[j] = saved + d;
    func(p, scratch, m, n, user_data);
    p[j] = saved;
    const T r = T(1) / d;
    for (int i = 0; i < n; ++i) jac_out[std::size_t(i) * m + j] = (scratch[i] - fp[i]) * r;
  }
}

template <typename T>
void fdif_cent_jac_approx(Callback<T> func, T* p, T* scratch_minus, T* scratch_plus, T delta, T* jac_out, int m,
                          int n, void* user_data) {
  for (int j = 0; j < m; ++j) {
    const T d = difference_step(p[j], delta);
    const T saved = p[j];
    p[j] = saved - d;
    func(p, scratch_minus, m, n, user_data);
    p[j] = saved + d;
    func(p, scratch_plus, m, n, user_data);
    p[j] = saved;
    const T r = T(0.5) / d;
    for (int i = 0; i < n; ++i) jac_out[std::size_t(i) * m + j] = (scratch_plus[i] - scratch_minus[i]) * r;
  }
}

// ---- covariance -------------------------------------------------------------------

// covariance = pinv(jtj) * sumsq / (n - rank), the pseudoinverse from an SVD with
// the singular values above eps * s[0].  Returns the rank, 0 on failure (then
// `covariance` is untouched), or for a zero or non-finite matrix (then it is
// all zeros).  `jtj` is read only before `covariance` is first written, so
// they may alias.
template <typename T>
int covar(const T* jtj, T* covariance, T sumsq, int m, int n) {
  constexpr char P = Real<T>::letter;
  if (m <= 0) return 0;  // empty matrix: nothing to estimate
  const std::size_t mm = std::size_t(m);
  const Size work_len = Size(5) * m;
  CBuffer<T> scratch(work_len.valid && work_len.value <= INT_MAX
                         ? calloc_array<T>(Size(3) * m * m + Size(m) + work_len)
                         : nullptr);
  if (!scratch) {
    std::fprintf(stderr, "memory allocation in %combrix_pseudoinverse() failed!\n", P);
    return 0;
  }
  T* svd_in = scratch.get();
  T* u = svd_in + mm * mm;
  T* s = u + mm * mm;
  T* vt = s + mm;
  T* svd_work = vt + mm * mm;

  // A NaN or infinite J^T J would keep the SVD iterating for ever; it has no
  // meaningful estimate, as for a NaN singular value below.  (J^T J is read
  // only once the scratch exists.)
  if (!all_finite(jtj, mm * mm)) {
    std::memset(covariance, 0, mm * mm * sizeof(T));
    return 0;
  }
  for (std::size_t i = 0; i < mm; ++i)  // column-major copy
    for (std::size_t j = 0; j < mm; ++j) svd_in[j * mm + i] = jtj[i * mm + j];

  const int lwork = int(work_len.value);
  int info = 0;
  Real<T>::gesvd("A", "A", &m, &m, svd_in, &m, s, u, &m, vt, &m, svd_work, &lwork, &info);
  if (info < 0) {
    std::fprintf(stderr, "LAPACK error: illegal value for argument %d of %cgesvd_\"/\" %cgesdd_ in %combrix_pseudoinverse()\n",
                 -info, P, P, P);
    return 0;
  }
  if (info > 0) {
    std::fprintf(stderr, "LAPACK error: dgesdd (dbdsdc)/dgesvd (dbdsqr) failed to converge in %combrix_pseudoinverse() [info=%d]\n",
                 P, info);
    return 0;
  }

  std::memset(covariance, 0, mm * mm * sizeof(T));
  // LAPACK does not sort a NaN singular value first, so one NaN anywhere would
  // otherwise be dropped as if it were below the threshold, leaving a finite
  // estimate of a meaningless matrix.
  if (!all_finite(s, mm)) return 0;
  const T threshold = Real<T>::eps * s[0];
  int rank = 0;
  for (; rank < m && s[rank] > threshold; ++rank) {
    const T w = T(1) / s[rank];
    const T* u_col = u + std::size_t(rank) * mm;  // left singular vector `rank`
    for (std::size_t k = 0; k < mm; ++k) {
      const T vt_ik = vt[k * mm + rank];
      T* c_row = covariance + k * mm;
      for (std::size_t j = 0; j < mm; ++j) c_row[j] += (vt_ik * u_col[j]) * w;
    }
  }
  if (rank == 0) return 0;

  const T factor = sumsq / T(n - rank);
  for (std::size_t i = 0; i < mm * mm; ++i) covariance[i] *= factor;
  return rank;
}

// ---- diagnostics -----------------------------------------------------------------

template <typename T>
int box_check(const T* lb, const T* ub, int m) {
  if (!lb || !ub || m <= 0) return 1;
  for (int i = 0; i < m; ++i)
    if (lb[i] > ub[i]) return 0;
  return 1;
}

template <typename T>
static T stddev(const T* covariance, int m, int i) {
  return std::sqrt(covariance[std::size_t(i) * m + i]);
}

template <typename T>
static T corcoef(const T* covariance, int m, int i, int j) {
  const std::size_t mm = std::size_t(m);
  return covariance[i * mm + j] / std::sqrt(covariance[j * mm + j] * covariance[i * mm + i]);
}

// Coefficient of determination 1 - SS_res / SS_tot of the model at p.
template <typename T>
static T r_squared(Callback<T> func, const T* p, const T* x, int m, int n, void* user_data) {
  if (n <= 0) return T(NAN);  // both sums are empty
  CBuffer<T> values(calloc_array<T>(Size(n)));
  if (!values) {
    fail_or_exit(Failure::kOutOfMemory, "memory allocation request failed in %combrix_R2()\n", Real<T>::letter);
    return T(NAN);
  }
  T* f = values.get();
  func(p, f, m, n, user_data);

  T mean = 0;
  if (x) {
    for (int i = n - 1; i >= 0; --i) mean += x[i];
    mean /= T(n);
  }
  T ss_res = 0, ss_tot = 0;
  for (int i = n - 1; i >= 0; --i) {
    const T xi = x ? x[i] : T(0);
    ss_res += (xi - f[i]) * (xi - f[i]);
    ss_tot += (xi - mean) * (xi - mean);
  }
  return T(1) - ss_res / ss_tot;
}

// Upper triangular w (row-major) with c = w^T w, by unblocked Cholesky.
template <typename T>
static int chol(const T* c, T* w, int m) {
  constexpr char P = Real<T>::letter;
  if (m == 0) return 0;  // the empty factor; LAPACK would reject a leading dimension of 0
  const std::size_t mm = m > 0 ? std::size_t(m) : 0;
  std::memcpy(w, c, mm * mm * sizeof(T));
  int info = 0;
  Real<T>::potf2("L", &m, w, &m, &info);  // "L" column-major = upper triangle row-major
  if (info > 0) {
    char where[80];
    std::snprintf(where, sizeof where, "and the Cholesky factorization could not be completed in %combrix_chol", P);
    std::fprintf(stderr, "LAPACK error: the leading minor of order %d is not positive definite,\n%s()\n", info, where);
    return -1;
  }
  if (info < 0) {
    char where[32];
    std::snprintf(where, sizeof where, "%combrix_chol()", P);
    std::fprintf(stderr, "LAPACK error: illegal value for argument %d of %cpotf2 in %s\n", -info, P, where);
    return -1;
  }
  for (std::size_t i = 0; i < mm; ++i)
    for (std::size_t j = 0; j < i; ++j) w[i * mm + j] = 0;
  return 0;
}

// Constants of the gradient check, per precision.
template <typename T>
struct ChkjacConstants;
template <>
struct ChkjacConstants<double> {
  static constexpr double eps_mach = 2.220446049250313e-16;
  static constexpr double eps = 1.4901161193847656e-08;  // sqrt(eps_mach) = 2^-26
  static constexpr double eps_f = 2.220446049250313e-14;  // 100 eps_mach
  static constexpr double log10_eps = -7.826779887263511;
  // (f+ - f) / eps, as a product with 1/eps = 2^26
  static double scaled_change(double df) { return df * 67108864.0; }
  static double log10(double t) { return std::log10(t); }
};
template <>
struct ChkjacConstants<float> {
  static constexpr float eps_mach = 1.1920928955078125e-07f;
  static constexpr float eps = 0.0003452669770922512f;
  static constexpr float eps_f = 1.1920928955078125e-05f;
  static constexpr float log10_eps = -3.4618449211120605f;
  static float scaled_change(float df) { return df / eps; }
  static float log10(float t) { return float(std::log10(double(t))); }
};

// Grades each row of the Jacobian against a forward difference: err_out[i]
// near 1 when row i agrees, near 0 when it does not.  Ends the process when
// its scratch cannot be allocated (see fail_or_exit).
template <typename T>
static void chkjac(Callback<T> func, Callback<T> jacf, const T* p, int m, int n, void* user_data, T* err_out) {
  using K = ChkjacConstants<T>;
  CBuffer<T> scratch(calloc_array<T>(Size(n) + Size(n) * m + Size(m) + Size(n)));
  if (!scratch) {
    fail_or_exit(Failure::kOutOfMemory, "%combrix_chkjac(): memory allocation request failed\n", Real<T>::letter);
    return;  // err_out as it was
  }
  T* f = scratch.get();
  T* jac = f + n;
  T* q = jac + std::size_t(n) * m;
  T* f_plus = q + m;

  func(p, f, m, n, user_data);
  jacf(p, jac, m, n, user_data);
  for (int j = 0; j < m; ++j) {
    T h = K::eps * std::fabs(p[j]);
    if (h == T(0)) h = K::eps;
    q[j] = p[j] + h;
  }
  func(q, f_plus, m, n, user_data);

  for (int i = 0; i < n; ++i) err_out[i] = 0;
  for (int j = 0; j < m; ++j) {
    const T s = p[j] == T(0) ? T(1) : std::fabs(p[j]);
    for (int i = 0; i < n; ++i) err_out[i] += s * jac[std::size_t(i) * m + j];
  }
  for (int i = 0; i < n; ++i) {
    if (!(f[i] != T(0) && f_plus[i] != T(0) && std::fabs(f_plus[i] - f[i]) >= K::eps_f * std::fabs(f[i]))) {
      err_out[i] = 0;
      continue;
    }
    const T t = K::eps * std::fabs(K::scaled_change(f_plus[i] - f[i]) - err_out[i]) /
                (std::fabs(f[i]) + std::fabs(f_plus[i]));
    err_out[i] = 1;
    if (t > K::eps_mach && t < K::eps) err_out[i] = (K::log10(t) - K::log10_eps) / K::log10_eps;
    if (!(t < K::eps)) err_out[i] = 0;  // also a NaN t: a Jacobian row with NaN is not correct
  }
}

#define OMBRIX_INSTANTIATE(T)                                                                                \
  template void trans_mat_mat_mult<T>(const T*, T*, int, int);                                               \
  template void normal_equations<T>(const T*, const T*, T*, T*, int, int, bool);                             \
  template T l2nrmxmy<T>(T*, const T*, const T*, int);                                                       \
  template void fdif_forw_jac_approx<T>(Callback<T>, T*, const T*, T*, T, T*, int, int, void*);              \
  template void fdif_cent_jac_approx<T>(Callback<T>, T*, T*, T*, T, T*, int, int, void*);                    \
  template int covar<T>(const T*, T*, T, int, int);                                                          \
  template int box_check<T>(const T*, const T*, int);
OMBRIX_INSTANTIATE(double)
OMBRIX_INSTANTIATE(float)
#undef OMBRIX_INSTANTIATE

}  // namespace ombrix

using namespace ombrix;

extern "C" {

void dombrix_trans_mat_mat_mult(const double* mat, double* product, int n, int m) { trans_mat_mat_mult(mat, product, n, m); }
void sombrix_trans_mat_mat_mult(const float* mat, float* product, int n, int m) { trans_mat_mat_mult(mat, product, n, m); }
double dombrix_L2nrmxmy(double* diff, const double* x, const double* y, int n) { return l2nrmxmy(diff, x, y, n); }
float sombrix_L2nrmxmy(float* diff, const float* x, const float* y, int n) { return l2nrmxmy(diff, x, y, n); }
void dombrix_fdif_forw_jac_approx(dombrix_callback func, double* p, const double* fp, double* scratch, double delta, double* jac_out, int m, int n, void* user_data) { fdif_forw_jac_approx(func, p, fp, scratch, delta, jac_out, m, n, user_data); }
void sombrix_fdif_forw_jac_approx(sombrix_callback func, float* p, const float* fp, float* scratch, float delta, float* jac_out, int m, int n, void* user_data) { fdif_forw_jac_approx(func, p, fp, scratch, delta, jac_out, m, n, user_data); }
void dombrix_fdif_cent_jac_approx(dombrix_callback func, double* p, double* scratch_minus, double* scratch_plus, double delta, double* jac_out, int m, int n, void* user_data) { fdif_cent_jac_approx(func, p, scratch_minus, scratch_plus, delta, jac_out, m, n, user_data); }
void sombrix_fdif_cent_jac_approx(sombrix_callback func, float* p, float* scratch_minus, float* scratch_plus, float delta, float* jac_out, int m, int n, void* user_data) { fdif_cent_jac_approx(func, p, scratch_minus, scratch_plus, delta, jac_out, m, n, user_data); }
int dombrix_covar(const double* jtj, double* covariance, double sumsq, int m, int n) { return covar(jtj, covariance, sumsq, m, n); }
int sombrix_covar(const float* jtj, float* covariance, float sumsq, int m, int n) { return covar(jtj, covariance, sumsq, m, n); }
double dombrix_stddev(const double* covariance, int m, int i) { return stddev(covariance, m, i); }
float sombrix_stddev(const float* covariance, int m, int i) { return stddev(covariance, m, i); }
double dombrix_corcoef(const double* covariance, int m, int i, int j) { return corcoef(covariance, m, i, j); }
float sombrix_corcoef(const float* covariance, int m, int i, int j) { return corcoef(covariance, m, i, j); }
double dombrix_R2(dombrix_callback func, const double* p, const double* x, int m, int n, void* user_data) { return r_squared(func, p, x, m, n, user_data); }
float sombrix_R2(sombrix_callback func, const float* p, const float* x, int m, int n, void* user_data) { return r_squared(func, p, x, m, n, user_data); }
void dombrix_chkjac(dombrix_callback func, dombrix_callback jacf, const double* p, int m, int n, void* user_data, double* err_out) { chkjac(func, jacf, p, m, n, user_data, err_out); }
void sombrix_chkjac(sombrix_callback func, sombrix_callback jacf, const float* p, int m, int n, void* user_data, float* err_out) { chkjac(func, jacf, p, m, n, user_data, err_out); }
int dombrix_chol(const double* c, double* w, int m) { return chol(c, w, m); }
int sombrix_chol(const float* c, float* w, int m) { return chol(c, w, m); }
int dombrix_box_check(const double* lb, const double* ub, int m) { return box_check(lb, ub, m); }
int sombrix_box_check(const float* lb, const float* ub, int m) { return box_check(lb, ub, m); }

}  // extern "C"
