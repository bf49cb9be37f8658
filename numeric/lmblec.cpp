// Levenberg-Marquardt under box bounds lb <= p <= ub and linear equalities
// A p = b.  The equalities stay hard (eliminated by the equality solver); the
// bounds become soft: each parameter adds one measurement with target 0 whose
// model value is a weighted penalty, zero inside the bounds and growing
// outside.  The augmented problem (n + m measurements) goes to the equality
// solver unchanged.
#include <climits>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {
namespace {

template <typename T>
constexpr T kDefaultWeight = T(10000.0);

// Which side(s) of a component's box the penalty watches.
enum BoundKind : int {
  kInterval = 0,   // lb[i] <= p[i] <= ub[i]
  kLowerOnly = 1,  // lb[i] <= p[i]
  kUpperOnly = 2,  // p[i] <= ub[i]
};

template <typename T>
struct lmblec_data {
  const T* xaug;  // x followed by m zeros, or null
  const T* lb;
  const T* ub;
  const T* weights;  // m reals
  const int* kinds;  // m bound kinds
  Callback<T> func;
  Callback<T> jacf;
  void* user_data;
};

// max(v, 0), with a NaN giving 0.
template <typename T>
T positive_part(T v) {
  return v > T(0) ? v : T(0);
}

template <typename T>
BoundKind bound_kind(const T* lb, const T* ub, int i) {
  if (!ub) return kLowerOnly;
  if (!lb || lb[i] == -Real<T>::max) return kUpperOnly;
  return ub[i] == Real<T>::max ? kLowerOnly : kInterval;
}

// Penalty measurement of component i at value v.
template <typename T>
T penalty(const lmblec_data<T>& rec, int i, T v) {
  const T w = rec.weights[i];
  switch (rec.kinds[i]) {
    case kInterval: {
      const T lb = rec.lb[i], ub = rec.ub[i];
      const T t = (T(2) * v - (lb + ub)) / (ub - lb);
      return w * positive_part(t * t - T(1));
    }
    case kLowerOnly:
      return w * positive_part(rec.lb[i] - v);
    default:
      return w * positive_part(v - rec.ub[i]);
  }
}

// Derivative of the penalty of component i with respect to p[i].
template <typename T>
T penalty_derivative(const lmblec_data<T>& rec, int i, T v) {
  const T w = rec.weights[i];
  switch (rec.kinds[i]) {
    case kInterval: {
      const T lb = rec.lb[i], ub = rec.ub[i];
      if (lb <= v && v <= ub) return T(0);
      const T width = ub - lb;
      return T(4) * (T(2) * v - lb - ub) / (width * width) * w;
    }
    case kLowerOnly:
      return v >= rec.lb[i] ? T(0) : -w;
    default:
      return v <= rec.ub[i] ? T(0) : w;
  }
}

template <typename T>
void lmblec_func(const T* p, T* hx, int m, int n_aug, void* data) {
  const auto& rec = *static_cast<const lmblec_data<T>*>(data);
  const int n = n_aug - m;
  rec.func(p, hx, m, n, rec.user_data);
  for (int i = 0; i < m; ++i) hx[n + i] = penalty(rec, i, p[i]);
}

template <typename T>
void lmblec_jacf(const T* p, T* jac, int m, int n_aug, void* data) {
  const auto& rec = *static_cast<const lmblec_data<T>*>(data);
  const int n = n_aug - m;
  rec.jacf(p, jac, m, n, rec.user_data);
  T* penalty_rows = jac + std::size_t(n) * std::size_t(m);
  std::memset(penalty_rows, 0, std::size_t(m) * std::size_t(m) * sizeof(T));
  for (int i = 0; i < m; ++i) penalty_rows[std::size_t(i) * m + i] = penalty_derivative(rec, i, p[i]);
}

// Memory of one penalty solve: the augmented measurements and the weights
// followed by the kinds.
template <typename T>
struct PenaltyProblem {
  CBuffer<T> xaug;
  CBuffer<T> weights_and_kinds;
  lmblec_data<T> rec{};
};

// Checks the bounds, builds the augmented measurements, weights and kinds.
// `mode` is "der" or "dif"; false after a message on failure.
template <typename T>
bool prepare_penalty(const char* mode, const T* x, int m, int n, const T* lb, const T* ub, const T* weights,
                     PenaltyProblem<T>& problem) {
  constexpr char P = Real<T>::letter;
  if (!lb && !ub) {
    std::fprintf(stderr,
                 "%combrix_blec_%s(): lower and upper bounds for box constraints cannot be both NULL, use %combrix_lec_%s() in this case!\n",
                 P, mode, P, mode);
    return false;
  }
  if (!box_check(lb, ub, m)) {
    std::fprintf(stderr, "%combrix_blec_%s(): at least one lower bound exceeds the upper one\n", P, mode);
    return false;
  }
  // The augmented measurement count n + m must itself be an int.
  const bool count_ok = std::int64_t(n) + m <= INT_MAX;
  if (x || !count_ok) {
    problem.xaug.reset(count_ok ? calloc_array<T>(Size(n) + Size(m)) : nullptr);
    if (!problem.xaug) {
      std::fprintf(stderr, "%combrix_blec_%s(): memory allocation request #1 failed\n", P, mode);
      return false;
    }
    std::memcpy(problem.xaug.get(), x, std::size_t(n) * sizeof(T));  // the m penalty targets stay 0
  }
  // m weights, then m ints in the same block (an int fits where a real does)
  problem.weights_and_kinds.reset(calloc_array<T>(Size(m) + Size(m)));
  if (!problem.weights_and_kinds) {
    std::fprintf(stderr, "%combrix_blec_%s(): memory allocation request #2 failed\n", P, mode);
    problem.xaug.reset();
    return false;
  }
  T* w = problem.weights_and_kinds.get();
  int* kinds = reinterpret_cast<int*>(w + std::size_t(m));
  for (int i = 0; i < m; ++i) {
    w[i] = weights ? weights[i] : kDefaultWeight<T>;
    kinds[i] = bound_kind(lb, ub, i);
  }
  problem.rec.xaug = problem.xaug.get();
  problem.rec.lb = lb;
  problem.rec.ub = ub;
  problem.rec.weights = w;
  problem.rec.kinds = kinds;
  return true;
}

}  // namespace

template <typename T>
int lm_blec_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, const T* lb, const T* ub,
                const T* A, const T* b, int k, const T* weights, int max_iter, const T* opts, T* info, T* workspace,
                T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  if (!jacf) {
    std::fprintf(stderr,
                 "No function specified for computing the Jacobian in %combrix_blec_der().\nIf no such function is available, use %combrix_blec_dif() rather than %combrix_blec_der()\n",
                 P, P, P);
    return -1;
  }
  PenaltyProblem<T> problem;
  if (!prepare_penalty("der", x, m, n, lb, ub, weights, problem)) return -1;
  problem.rec.func = func;
  problem.rec.jacf = jacf;
  problem.rec.user_data = user_data;
  return lm_lec_der<T>(lmblec_func<T>, lmblec_jacf<T>, p, problem.xaug.get(), m, n + m, A, b, k, max_iter, opts,
                       info, workspace, covariance, &problem.rec);
}

template <typename T>
int lm_blec_dif(Callback<T> func, T* p, const T* x, int m, int n, const T* lb, const T* ub, const T* A, const T* b,
                int k, const T* weights, int max_iter, const T* opts, T* info, T* workspace, T* covariance,
                void* user_data) {
  PenaltyProblem<T> problem;
  if (!prepare_penalty("dif", x, m, n, lb, ub, weights, problem)) return -1;
  problem.rec.func = func;
  problem.rec.jacf = nullptr;
  problem.rec.user_data = user_data;
  return lm_lec_dif<T>(lmblec_func<T>, p, problem.xaug.get(), m, n + m, A, b, k, max_iter, opts, info, workspace,
                       covariance, &problem.rec);
}

template int lm_blec_der<double>(Callback<double>, Callback<double>, double*, const double*, int, int, const double*, const double*, const double*, const double*, int, const double*, int, const double*, double*, double*, double*, void*);
template int lm_blec_der<float>(Callback<float>, Callback<float>, float*, const float*, int, int, const float*, const float*, const float*, const float*, int, const float*, int, const float*, float*, float*, float*, void*);
template int lm_blec_dif<double>(Callback<double>, double*, const double*, int, int, const double*, const double*, const double*, const double*, int, const double*, int, const double*, double*, double*, double*, void*);
template int lm_blec_dif<float>(Callback<float>, float*, const float*, int, int, const float*, const float*, const float*, const float*, int, const float*, int, const float*, float*, float*, float*, void*);

}  // namespace ombrix

using namespace ombrix;

extern "C" {

int dombrix_blec_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, const double* lb, const double* ub, const double* A, const double* b, int k, const double* weights, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_blec_der(func, jacf, p, x, m, n, lb, ub, A, b, k, weights, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_blec_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, const float* lb, const float* ub, const float* A, const float* b, int k, const float* weights, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_blec_der(func, jacf, p, x, m, n, lb, ub, A, b, k, weights, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_blec_dif(dombrix_callback func, double* p, const double* x, int m, int n, const double* lb, const double* ub, const double* A, const double* b, int k, const double* weights, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_blec_dif(func, p, x, m, n, lb, ub, A, b, k, weights, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_blec_dif(sombrix_callback func, float* p, const float* x, int m, int n, const float* lb, const float* ub, const float* A, const float* b, int k, const float* weights, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_blec_dif(func, p, x, m, n, lb, ub, A, b, k, weights, max_iter, opts, info, workspace, covariance, user_data); }

}  // extern "C"
