// Unconstrained Levenberg-Marquardt: minimise ||x - f(p)||^2 with an analytic
// Jacobian (lm_der) or with finite differences kept current by Broyden
// rank-one secant updates (lm_dif).
//
// Each iteration forms J^T J and J^T e, then solves the damped system
// (J^T J + mu I) dp = J^T e.  A step that lowers the error is accepted and mu
// shrinks by the gain ratio; a rejected step multiplies mu by nu, which doubles.
#include <cstdio>
#include <cstring>
#include <utility>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {
namespace {

// After J^T J and J^T e are formed: ||J^T e||_inf, the undamped diagonal and ||p||^2.
template <typename T>
void gradient_and_diagonal(const T* jtj, const T* jte, const T* p, T* jtj_diag, int m, T& jte_inf, T& p2) {
  jte_inf = 0;
  p2 = 0;
  for (int i = 0; i < m; ++i) {
    const T g = std::fabs(jte[i]);
    if (g > jte_inf) jte_inf = g;  // a NaN never enters
    jtj_diag[i] = jtj[std::size_t(i) * m + i];
    p2 += p[i] * p[i];
  }
}

// dp = trial_p - p written as trial_p = p + dp; returns ||dp||^2.
template <typename T>
T take_step(const T* p, const T* step, T* trial_p, int m) {
  T dp2 = 0;
  for (int i = 0; i < m; ++i) {
    trial_p[i] = p[i] + step[i];
    dp2 += step[i] * step[i];
  }
  return dp2;
}

// The end of every run that got past the checks: undamped diagonal, info,
// covariance, workspace, linear solver buffer; returns k, or -1 for a run that
// stopped on a singular system or invalid values.
template <typename T>
int finish_run(int stop, const RunCounts& counts, T initial_e2, T e2, T jte_inf, T dp2, T mu, T* jtj,
               const T* jtj_diag, int m, int n, T* info, T* covariance, CBuffer<T>& owned_workspace) {
  restore_diagonal(jtj, jtj_diag, m);
  write_info(info, initial_e2, e2, jte_inf, dp2, mu / largest(jtj_diag, m), counts.iterations, stop,
             counts.model_calls, counts.jacobians, counts.solves);
  if (covariance) covar(jtj, covariance, e2, m, n);
  owned_workspace.reset();
  if (counts.solves > 0) ax_eq_b_bk<T>(nullptr, nullptr, nullptr, 0);
  return stop == kSingular || stop == kInvalidValues ? -1 : counts.iterations;
}

// The end of a run whose linear solve was aborted under a FailureScope
// (internal.h): like an early failure, nothing is written to `info` or the
// covariance; the allocated workspace goes with its owner.
template <typename T>
int abandon_run() {
  ax_eq_b_bk<T>(nullptr, nullptr, nullptr, 0);
  return -1;
}

}  // namespace

// ---- analytic Jacobian ------------------------------------------------------------

template <typename T>
int lm_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, int max_iter, const T* opts, T* info,
           T* workspace, T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  if (n < m) {
    std::fprintf(stderr, "%combrix_der(): cannot solve a problem with fewer measurements [%d] than unknowns [%d]\n", P,
                 n, m);
    return -1;
  }
  if (!jacf) {
    std::fprintf(stderr,
                 "No function specified for computing the Jacobian in %combrix_der().\nIf no such function is available, use %combrix_dif() rather than %combrix_der()\n",
                 P, P, P);
    return -1;
  }
  const Options<T> o(opts, false);
  CBuffer<T> owned;
  T* const w = obtain_workspace(workspace, Size(2) * n + Size(4) * m + Size(n) * m + Size(m) * m, owned);
  if (!w) {
    std::fprintf(stderr, "%combrix_der(): memory allocation request failed\n", P);
    return -1;
  }
  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  T* err = w;                   // x - f(p) at the current point
  T* trial = err + nn;          // f at the trial point, then its error vector
  T* jte = trial + nn;          // J^T e
  T* jac = jte + mm;            // J, n x m
  T* jtj = jac + nn * mm;       // J^T J; its diagonal is damped in place
  T* step = jtj + mm * mm;      // dp
  T* jtj_diag = step + mm;      // undamped diagonal of J^T J
  T* trial_p = jtj_diag + mm;   // p + dp
  std::memset(jtj, 0, mm * mm * sizeof(T));  // defined contents when no Jacobian is ever formed
  std::memset(jtj_diag, 0, mm * sizeof(T));
  const bool direct = nn * mm <= 1023;

  RunCounts counts;
  func(p, trial, m, n, user_data);
  counts.model_calls = 1;
  T e2 = l2nrmxmy(err, x, trial, n);
  const T initial_e2 = e2;
  int nu = 2;
  T mu = 0, dp2 = Real<T>::max, jte_inf = 0, p2 = 0;
  int stop = std::isfinite(e2) ? kRunning : kInvalidValues;
  int& k = counts.iterations;

  while (k < max_iter && stop == kRunning) {
    if (e2 <= o.eps3) {
      stop = kSmallError;
      break;
    }
    jacf(p, jac, m, n, user_data);
    ++counts.jacobians;
    normal_equations(jac, err, jtj, jte, n, m, direct);
    gradient_and_diagonal(jtj, jte, p, jtj_diag, m, jte_inf, p2);
    if (jte_inf <= o.eps1) {
      dp2 = 0;
      stop = kSmallGradient;
      break;
    }
    if (k == 0) mu = o.tau * largest(jtj_diag, m);

    // Damping search: solve, test, accept or grow mu, until a step is accepted
    // or a stop reason is set.
    for (;;) {
      ++counts.solves;
      add_to_diagonal(jtj, mu, m);
      const int solved = ax_eq_b_bk(jtj, jte, step, m);
      if (solved == kSolveAborted) return abandon_run<T>();
      if (solved) {
        dp2 = take_step(p, step, trial_p, m);
        if ((stop = step_stop_reason(dp2, p2, o)) != kRunning) break;
        func(trial_p, trial, m, n, user_data);
        ++counts.model_calls;
        const T trial_e2 = l2nrmxmy(trial, x, trial, n);
        if (!std::isfinite(trial_e2)) {
          stop = kInvalidValues;
          break;
        }
        const T dL = predicted_reduction(step, jte, mu, m);
        const T dF = e2 - trial_e2;
        if (dL > 0 && dF > 0) {
          mu = shrink_damping(mu, dF, dL);
          nu = 2;
          std::memcpy(p, trial_p, mm * sizeof(T));
          std::swap(err, trial);
          e2 = trial_e2;
          break;
        }
      }
      // rejected (or not solved): more damping
      if (!grow_damping(mu, nu)) {
        stop = kNoReduction;
        break;
      }
      restore_diagonal(jtj, jtj_diag, m);
    }
    ++k;
  }
  // The last permitted iteration reports the limit, whatever stopped it.
  if (k >= max_iter) stop = kIterationLimit;
  return finish_run(stop, counts, initial_e2, e2, jte_inf, dp2, mu, jtj, jtj_diag, m, n, info, covariance, owned);
}

// ---- finite differences with secant updates ----------------------------------------------

template <typename T>
int lm_dif(Callback<T> func, T* p, const T* x, int m, int n, int max_iter, const T* opts, T* info, T* workspace,
           T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  if (n < m) {
    std::fprintf(stderr, "%combrix_dif(): cannot solve a problem with fewer measurements [%d] than unknowns [%d]\n", P,
                 n, m);
    return -1;
  }
  const Options<T> o(opts, true);
  CBuffer<T> owned;
  T* const w = obtain_workspace(workspace, Size(4) * n + Size(4) * m + Size(n) * m + Size(m) * m, owned);
  if (!w) {
    std::fprintf(stderr, "%combrix_dif(): memory allocation request failed\n", P);
    return -1;
  }
  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  T* err = w;                   // x - f(p) at the current point
  T* fp = err + nn;             // f(p) at the current point
  T* jte = fp + nn;             // J^T e
  T* jac = jte + mm;            // Jacobian approximation, n x m
  T* jtj = jac + nn * mm;       // J^T J; its diagonal is damped in place
  T* step = jtj + mm * mm;      // dp
  T* jtj_diag = step + mm;      // undamped diagonal of J^T J
  T* trial_p = jtj_diag + mm;   // p + dp
  T* trial_f = trial_p + mm;    // f at the trial point; scratch of the difference kernels
  T* trial_err = trial_f + nn;  // error vector at the trial point; scratch likewise
  std::memset(jtj, 0, mm * mm * sizeof(T));
  std::memset(jtj_diag, 0, mm * sizeof(T));
  const bool direct = nn * mm <= 1024;
  const int updates_per_jacobian = m > 10 ? m : 10;

  RunCounts counts;
  func(p, fp, m, n, user_data);
  counts.model_calls = 1;
  T e2 = l2nrmxmy(err, x, fp, n);
  const T initial_e2 = e2;
  int nu = 20;                // above 16: the first iteration makes a difference Jacobian
  bool fresh_update = true;   // an accepted step since the last difference Jacobian
  int update_count = 0;       // secant updates since the last difference Jacobian
  bool normal_stale = false;  // J changed since J^T J and J^T e were formed
  T mu = 0, dp2 = Real<T>::max, jte_inf = 0, p2 = 0;
  int stop = kRunning;
  if (!std::isfinite(e2)) stop = max_iter <= 0 ? kIterationLimit : kInvalidValues;
  int& k = counts.iterations;

  while (stop == kRunning) {
    if (k >= max_iter) {
      stop = kIterationLimit;
      break;
    }
    if (e2 <= o.eps3) {
      stop = kSmallError;
      break;
    }
    // A fresh difference Jacobian after four rejections that follow an
    // acceptance, or after K secant updates.
    if ((fresh_update && nu > 16) || update_count == updates_per_jacobian) {
      if (o.central) {
        fdif_cent_jac_approx(func, p, trial_f, trial_err, o.delta, jac, m, n, user_data);
        counts.model_calls += 2 * m;
      } else {
        fdif_forw_jac_approx(func, p, fp, trial_f, o.delta, jac, m, n, user_data);
        counts.model_calls += m;
      }
      ++counts.jacobians;
      nu = 2;
      update_count = 0;
      fresh_update = false;
      normal_stale = true;
    }
    if (normal_stale) {
      normal_stale = false;
      normal_equations(jac, err, jtj, jte, n, m, direct);
      gradient_and_diagonal(jtj, jte, p, jtj_diag, m, jte_inf, p2);
    }
    if (jte_inf <= o.eps1) {
      dp2 = 0;
      stop = kSmallGradient;
      break;
    }
    if (k == 0) mu = o.tau * largest(jtj_diag, m);

    ++counts.solves;
    add_to_diagonal(jtj, mu, m);
    bool accepted = false;
    const int solved = ax_eq_b_bk(jtj, jte, step, m);
    if (solved == kSolveAborted) return abandon_run<T>();
    if (solved) {
      dp2 = take_step(p, step, trial_p, m);
      if ((stop = step_stop_reason(dp2, p2, o)) != kRunning) break;
      func(trial_p, trial_f, m, n, user_data);
      ++counts.model_calls;
      const T trial_e2 = l2nrmxmy(trial_err, x, trial_f, n);
      if (!std::isfinite(trial_e2)) {
        stop = kInvalidValues;
        break;
      }
      const T dF = e2 - trial_e2;

      // Broyden rank-one update J += ((f(p + dp) - f(p) - J dp) / ||dp||^2) dp^T
      if (fresh_update || dF > 0) {
        for (std::size_t i = 0; i < nn; ++i) {
          T* row = jac + i * mm;
          T s = 0;
          for (std::size_t l = 0; l < mm; ++l) s += row[l] * step[l];
          const T u = ((trial_f[i] - fp[i]) - s) / dp2;
          for (std::size_t j = 0; j < mm; ++j) row[j] += step[j] * u;
        }
        ++update_count;
        normal_stale = true;
      }

      const T dL = predicted_reduction(step, jte, mu, m);  // J^T e from before the update
      if (dL > 0 && dF > 0) {
        mu = shrink_damping(mu, dF, dL);
        nu = 2;
        std::memcpy(p, trial_p, mm * sizeof(T));
        std::swap(err, trial_err);
        std::swap(fp, trial_f);
        e2 = trial_e2;
        fresh_update = true;
        accepted = true;
      }
    }
    if (!accepted) {
      if (!grow_damping(mu, nu)) {
        stop = kNoReduction;
        break;
      }
      restore_diagonal(jtj, jtj_diag, m);
    }
    ++k;
  }
  return finish_run(stop, counts, initial_e2, e2, jte_inf, dp2, mu, jtj, jtj_diag, m, n, info, covariance, owned);
}

template int lm_der<double>(Callback<double>, Callback<double>, double*, const double*, int, int, int, const double*, double*, double*, double*, void*);
template int lm_der<float>(Callback<float>, Callback<float>, float*, const float*, int, int, int, const float*, float*, float*, float*, void*);
template int lm_dif<double>(Callback<double>, double*, const double*, int, int, int, const double*, double*, double*, double*, void*);
template int lm_dif<float>(Callback<float>, float*, const float*, int, int, int, const float*, float*, float*, float*, void*);

}  // namespace ombrix

using namespace ombrix;

extern "C" {

int dombrix_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_der(func, jacf, p, x, m, n, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_der(func, jacf, p, x, m, n, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_dif(dombrix_callback func, double* p, const double* x, int m, int n, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_dif(func, p, x, m, n, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_dif(sombrix_callback func, float* p, const float* x, int m, int n, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_dif(func, p, x, m, n, max_iter, opts, info, workspace, covariance, user_data); }

}  // extern "C"
