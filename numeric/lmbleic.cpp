// Levenberg-Marquardt under linear inequalities C p >= d (C k2 x m), with
// optional box bounds and linear equalities A p = b (A k1 x m).
//
// Each inequality row j gets a slack s_j >= 0 and becomes the equality
// C_j p - s_j = d_j.  The extended problem (m + k2 parameters, k1 + k2
// equalities, the slacks bounded below by 0) goes to the box-and-equality
// penalty solver; the model and Jacobian never see the slacks.
#include <climits>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {
namespace {

template <typename T>
struct lmbleic_data {
  T* full_jac;  // the caller's n x m Jacobian (analytic solver only)
  int nslack;   // k2
  Callback<T> func;
  Callback<T> jacf;
  void* user_data;
};

// The model reads only the first m entries of the extended vector.
template <typename T>
void lmbleic_func(const T* pext, T* hx, int mext, int n, void* data) {
  const auto& rec = *static_cast<const lmbleic_data<T>*>(data);
  rec.func(pext, hx, mext - rec.nslack, n, rec.user_data);
}

// The caller's Jacobian with zero columns for the slacks.
template <typename T>
void lmbleic_jacf(const T* pext, T* jac, int mext, int n, void* data) {
  const auto& rec = *static_cast<const lmbleic_data<T>*>(data);
  const int m = mext - rec.nslack;
  rec.jacf(pext, rec.full_jac, m, n, rec.user_data);
  const std::size_t mm = std::size_t(m), me = std::size_t(mext);
  for (std::size_t i = 0; i < std::size_t(n); ++i) {
    std::memcpy(jac + i * me, rec.full_jac + i * mm, mm * sizeof(T));
    std::memset(jac + i * me + mm, 0, (me - mm) * sizeof(T));
  }
}

// The extended problem: its vectors live in one allocation, released on every
// exit.
template <typename T>
struct SlackProblem {
  CBuffer<T> memory;
  int mext = 0, ncon = 0;  // m + k2 parameters, k1 + k2 equalities
  T* pext = nullptr;
  T* lb = nullptr;
  T* ub = nullptr;
  T* A = nullptr;  // ncon x mext, row-major
  T* b = nullptr;
  T* full_jac = nullptr;
  T* covariance = nullptr;
};

// Argument checks, allocation and the extended problem.  `mode` is "der" or
// "dif"; false after a message on failure.
template <typename T>
bool prepare_slacks(const char* mode, const T* p, int m, int n, const T* lb, const T* ub, const T* A, const T* b,
                    int k1, const T* C, const T* d, int k2, bool with_jacobian, bool with_covariance,
                    SlackProblem<T>& ext) {
  constexpr char P = Real<T>::letter;
  if (!C || !d) {
    std::fprintf(stderr, "%combrix_bleic_%s(): missing inequality constraints, use %combrix_blec_%s() in this case!\n",
                 P, mode, P, mode);
    return false;
  }
  if (!A || !b) k1 = 0;
  if (n < std::int64_t(m) - k1) {
    std::fprintf(stderr,
                 "%combrix_bleic_%s(): cannot solve a problem with fewer measurements + equality constraints [%d + %d] than unknowns [%d]\n",
                 P, mode, n, k1, m);
    return false;
  }

  // Counts that are negative or exceed an int make the sizes unrepresentable.
  const std::int64_t mext = std::int64_t(m) + k2, ncon = std::int64_t(k1) + k2;
  const bool counts_ok = m >= 0 && k1 >= 0 && k2 >= 0 && mext <= INT_MAX && ncon <= INT_MAX;
  const Size me = counts_ok ? Size(int(mext)) : Size::invalid();
  const Size K = counts_ok ? Size(int(ncon)) : Size::invalid();
  Size reals = K + me * (K + Size(3));
  if (with_jacobian) reals = reals + Size(m) * n;
  if (with_covariance) reals = reals + me * me;
  ext.memory.reset(calloc_array<T>(reals));
  if (!ext.memory) {
    std::fprintf(stderr, "%combrix_bleic_%s(): memory allocation request failed\n", P, mode);
    return false;
  }
  ext.mext = int(mext);
  ext.ncon = int(ncon);
  const std::size_t mm = std::size_t(m), me_ = std::size_t(mext), kk = std::size_t(ncon);
  ext.pext = ext.memory.get();
  ext.lb = ext.pext + me_;
  ext.ub = ext.lb + me_;
  ext.A = ext.ub + me_;
  ext.b = ext.A + kk * me_;
  T* after = ext.b + kk;
  if (with_jacobian) {
    ext.full_jac = after;
    after += std::size_t(n) * mm;
  }
  if (with_covariance) ext.covariance = after;

  // Slacks: s_j = C_j p - d_j, so the slack rows hold exactly at the start.
  for (int j = 0; j < k2; ++j) {
    const T* c_row = C + std::size_t(j) * mm;
    T sum = 0;
    for (std::size_t i = 0; i < mm; ++i) sum += c_row[i] * p[i];
    ext.pext[mm + j] = sum - d[j];
  }
  std::memcpy(ext.pext, p, mm * sizeof(T));
  for (std::size_t i = 0; i < mm; ++i) {
    ext.lb[i] = lb ? lb[i] : -Real<T>::max;
    ext.ub[i] = ub ? ub[i] : Real<T>::max;
  }
  for (std::size_t j = mm; j < me_; ++j) {
    ext.lb[j] = T(0);
    ext.ub[j] = Real<T>::max;
  }
  // [A 0; C -I], right-hand side [b; d]
  for (int i = 0; i < k1; ++i) {
    std::memcpy(ext.A + std::size_t(i) * me_, A + std::size_t(i) * mm, mm * sizeof(T));
    ext.b[i] = b[i];
  }
  for (int j = 0; j < k2; ++j) {
    T* row = ext.A + std::size_t(k1 + j) * me_;
    std::memcpy(row, C + std::size_t(j) * mm, mm * sizeof(T));
    row[mm + j] = T(-1);
    ext.b[k1 + j] = d[j];
  }
  return true;
}

// The leading m components of the solution, the leading m x m block of the
// covariance.
template <typename T>
void extract(const SlackProblem<T>& ext, T* p, T* covariance, int m) {
  const std::size_t mm = std::size_t(m), me = std::size_t(ext.mext);
  std::memcpy(p, ext.pext, mm * sizeof(T));
  if (covariance)
    for (std::size_t i = 0; i < mm; ++i) std::memcpy(covariance + i * mm, ext.covariance + i * me, mm * sizeof(T));
}

// The extended covariance starts as a copy of the caller's block, so that a
// solve that fails before estimating it leaves the caller's array as it was.
template <typename T>
void seed_covariance(const SlackProblem<T>& ext, const T* covariance, int m) {
  if (!covariance) return;
  const std::size_t mm = std::size_t(m), me = std::size_t(ext.mext);
  for (std::size_t i = 0; i < mm; ++i) std::memcpy(ext.covariance + i * me, covariance + i * mm, mm * sizeof(T));
}

}  // namespace

template <typename T>
int lm_bleic_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, const T* lb, const T* ub,
                 const T* A, const T* b, int k1, const T* C, const T* d, int k2, int max_iter, const T* opts, T* info,
                 T* workspace, T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  if (!jacf) {
    std::fprintf(stderr,
                 "No function specified for computing the Jacobian in %combrix_bleic_der().\nIf no such function is available, use %combrix_bleic_dif() rather than %combrix_bleic_der()\n",
                 P, P, P);
    return -1;
  }
  SlackProblem<T> ext;
  if (!prepare_slacks("der", p, m, n, lb, ub, A, b, k1, C, d, k2, true, covariance != nullptr, ext)) return -1;
  seed_covariance(ext, covariance, m);
  lmbleic_data<T> rec{ext.full_jac, k2, func, jacf, user_data};
  const int ret = lm_blec_der<T>(lmbleic_func<T>, lmbleic_jacf<T>, ext.pext, x, ext.mext, n, ext.lb, ext.ub, ext.A,
                                 ext.b, ext.ncon, nullptr, max_iter, opts, info, workspace, ext.covariance, &rec);
  extract(ext, p, covariance, m);
  return ret;
}

template <typename T>
int lm_bleic_dif(Callback<T> func, T* p, const T* x, int m, int n, const T* lb, const T* ub, const T* A, const T* b,
                 int k1, const T* C, const T* d, int k2, int max_iter, const T* opts, T* info, T* workspace,
                 T* covariance, void* user_data) {
  SlackProblem<T> ext;
  if (!prepare_slacks("dif", p, m, n, lb, ub, A, b, k1, C, d, k2, false, covariance != nullptr, ext)) return -1;
  seed_covariance(ext, covariance, m);
  lmbleic_data<T> rec{nullptr, k2, func, nullptr, user_data};
  const int ret = lm_blec_dif<T>(lmbleic_func<T>, ext.pext, x, ext.mext, n, ext.lb, ext.ub, ext.A, ext.b, ext.ncon,
                                 nullptr, max_iter, opts, info, workspace, ext.covariance, &rec);
  extract(ext, p, covariance, m);
  return ret;
}

}  // namespace ombrix

using namespace ombrix;

extern "C" {

int dombrix_bleic_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, const double* lb, const double* ub, const double* A, const double* b, int k1, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_der<double>(func, jacf, p, x, m, n, lb, ub, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_bleic_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, const float* lb, const float* ub, const float* A, const float* b, int k1, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_der<float>(func, jacf, p, x, m, n, lb, ub, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_bleic_dif(dombrix_callback func, double* p, const double* x, int m, int n, const double* lb, const double* ub, const double* A, const double* b, int k1, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_dif<double>(func, p, x, m, n, lb, ub, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_bleic_dif(sombrix_callback func, float* p, const float* x, int m, int n, const float* lb, const float* ub, const float* A, const float* b, int k1, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_dif<float>(func, p, x, m, n, lb, ub, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }

int dombrix_blic_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, const double* lb, const double* ub, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_der<double>(func, jacf, p, x, m, n, lb, ub, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_blic_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, const float* lb, const float* ub, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_der<float>(func, jacf, p, x, m, n, lb, ub, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_blic_dif(dombrix_callback func, double* p, const double* x, int m, int n, const double* lb, const double* ub, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_dif<double>(func, p, x, m, n, lb, ub, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_blic_dif(sombrix_callback func, float* p, const float* x, int m, int n, const float* lb, const float* ub, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_dif<float>(func, p, x, m, n, lb, ub, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }

int dombrix_leic_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, const double* A, const double* b, int k1, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_der<double>(func, jacf, p, x, m, n, nullptr, nullptr, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_leic_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, const float* A, const float* b, int k1, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_der<float>(func, jacf, p, x, m, n, nullptr, nullptr, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_leic_dif(dombrix_callback func, double* p, const double* x, int m, int n, const double* A, const double* b, int k1, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_dif<double>(func, p, x, m, n, nullptr, nullptr, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_leic_dif(sombrix_callback func, float* p, const float* x, int m, int n, const float* A, const float* b, int k1, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_dif<float>(func, p, x, m, n, nullptr, nullptr, A, b, k1, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }

int dombrix_lic_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_der<double>(func, jacf, p, x, m, n, nullptr, nullptr, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_lic_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_der<float>(func, jacf, p, x, m, n, nullptr, nullptr, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_lic_dif(dombrix_callback func, double* p, const double* x, int m, int n, const double* C, const double* d, int k2, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bleic_dif<double>(func, p, x, m, n, nullptr, nullptr, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_lic_dif(sombrix_callback func, float* p, const float* x, int m, int n, const float* C, const float* d, int k2, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bleic_dif<float>(func, p, x, m, n, nullptr, nullptr, nullptr, nullptr, 0, C, d, k2, max_iter, opts, info, workspace, covariance, user_data); }

}  // extern "C"
