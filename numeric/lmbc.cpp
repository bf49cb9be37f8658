// Box-constrained Levenberg-Marquardt: minimise ||x - f(p)||^2 subject to
// lb <= p <= ub, with an analytic Jacobian (lm_bc_der) or finite differences
// (lm_bc_dif, an adapter over lm_bc_der).
//
// Each iteration solves the damped normal equations and projects the step
// onto the box.  A projected step that lowers the error enough is taken; if
// not, a backtracking line search runs along it when it is a descent
// direction, and a projected-gradient search runs when that is not possible
// or fails.  Optional diagonal scaling makes the iteration work on
// q = p / scale; the callbacks always see parameters in the caller's units.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "internal.h"
#include "ombrix.h"

namespace ombrix {
namespace {

// An LM step is taken when it lowers the error by this factor at least.
template <typename T>
constexpr T kAcceptFactor = T(0.99995);

// Sufficient-decrease constants of the line search (for E/2) and of the
// projected-gradient search (for E).
template <typename T>
constexpr T kLineSearchDecrease = T(1e-4);
template <typename T>
constexpr T kGradientDecrease = T(2e-4);
// A remembered projected-gradient length that already gives nearly the full
// first-order decrease was too cautious: the search restarts from t0.
template <typename T>
constexpr T kGradientRestart = T(1.99998);

constexpr int kLineSearchTrials = 150;
constexpr double kLineSearchStepMax = 1000;

// Smallest line-search parameter relative to the largest relative component of
// the direction: 1000 sqrt(machine epsilon).
template <typename T>
constexpr T kLambdaMinNumerator = T(1.4901161193847656e-05);
template <>
constexpr float kLambdaMinNumerator<float> = 0.3452669680118561f;

// Square roots and powers are taken in double precision, on widened values in a
// single-precision run.
template <typename T>
T wide_sqrt(T v) {
  return T(std::sqrt(double(v)));
}

// Projects p onto the box, components from the last to the first.  With both
// bounds each component becomes the median of (lb, p, ub) by the rule below,
// which is clamping when lb <= ub; a NaN becomes ub.  With one bound only, a
// NaN stays.
template <typename T>
void box_project(T* p, const T* lb, const T* ub, int m) {
  if (!lb && !ub) return;
  for (int i = m - 1; i >= 0; --i) {
    if (!lb) {
      if (p[i] > ub[i]) p[i] = ub[i];
    } else if (!ub) {
      if (p[i] < lb[i]) p[i] = lb[i];
    } else if (lb[i] >= p[i]) {
      p[i] = ub[i] >= lb[i] ? lb[i] : ub[i] <= p[i] ? p[i] : ub[i];
    } else {
      p[i] = ub[i] >= p[i] ? p[i] : ub[i] <= lb[i] ? lb[i] : ub[i];
    }
  }
}

template <typename T>
T dot(const T* a, const T* b, int m) {
  T s = 0;
  for (int i = 0; i < m; ++i) s += a[i] * b[i];
  return s;
}

// dp = trial_p - p for a projected trial point; returns ||dp||^2.
template <typename T>
T projected_step(const T* p, const T* trial_p, T* dp, int m) {
  T dp2 = 0;
  for (int i = 0; i < m; ++i) {
    dp[i] = trial_p[i] - p[i];
    dp2 += dp[i] * dp[i];
  }
  return dp2;
}

// One run of the box-constrained iteration.  p, lb and ub are in scaled units
// from the end of the set-up to the finish; the callbacks get caller units.
template <typename T>
struct BoxRun {
  // problem
  Callback<T> func, jacf;
  const T* x;
  int m, n;
  const T* lb;
  const T* ub;
  const T* scale;  // null: no scaling
  T* scaled_p;     // a point in caller units, for the callbacks when scaling
  void* user_data;
  Options<T> o;

  // workspace regions, carved by use_workspace
  T* err = nullptr;       // x - f(p) at the current point
  T* trial = nullptr;     // f at a trial point, then its error vector
  T* jte = nullptr;       // J^T e; negated into the gradient g when the LM step is not taken
  T* jac = nullptr;       // J, n x m, with respect to the scaled parameters
  T* jtj = nullptr;       // J^T J; its diagonal is damped in place
  T* step = nullptr;      // dp
  T* jtj_diag = nullptr;  // undamped diagonal of J^T J
  T* trial_p = nullptr;   // the trial point

  // state
  RunCounts counts{};
  int stop = kRunning;
  int nu = 2;
  T mu = 0;
  T e2 = 0;                      // ||e||^2 at the current point
  T free_gradient = 0;           // ||J^T e||_inf over the components not at a bound
  T dp2 = Real<T>::max;          // the last ||dp||^2
  T p2 = 0;                      // ||p||^2 at the start of the iteration
  bool gradient_stepped = false; // the previous iteration took a projected-gradient step
  T gradient_length = 0;         // ... with this step length
  bool aborted = false;          // a linear solve was aborted under a FailureScope (internal.h)

  // Workspace of 2n + 4m + n m + m^2 reals.  J^T J and its diagonal start
  // zeroed, so that a run ending before the first Jacobian reports from them.
  void use_workspace(T* w) {
    const std::size_t nn = std::size_t(n), mm = std::size_t(m);
    err = w;
    trial = err + nn;
    jte = trial + nn;
    jac = jte + mm;
    jtj = jac + nn * mm;
    step = jtj + mm * mm;
    jtj_diag = step + mm;
    trial_p = jtj_diag + mm;
    std::memset(jtj, 0, mm * mm * sizeof(T));
    std::memset(jtj_diag, 0, mm * sizeof(T));
  }

  // Model at q (scaled units) into `trial`; returns ||x - f(q)||^2 with the
  // trial error vector left in `trial`.
  T evaluate(const T* q) {
    if (scale) {
      for (int i = 0; i < m; ++i) scaled_p[i] = q[i] * scale[i];
      q = scaled_p;
    }
    func(q, trial, m, n, user_data);
    ++counts.model_calls;
    return l2nrmxmy(trial, x, trial, n);
  }

  // The same, converting q itself to caller units around the call.
  T evaluate_in_place(T* q) {
    if (!scale) return evaluate(q);
    for (int i = 0; i < m; ++i) q[i] *= scale[i];
    func(q, trial, m, n, user_data);
    for (int i = 0; i < m; ++i) q[i] /= scale[i];
    ++counts.model_calls;
    return l2nrmxmy(trial, x, trial, n);
  }

  // A non-finite trial error whose residual has a finite Euclidean norm only
  // overflowed in the squares: the trial counts as one that did not reduce
  // the error.  Otherwise the model produced invalid values.
  bool invalid_trial(T trial_e2) const {
    if (std::isfinite(trial_e2)) return false;
    const int one = 1;
    return !std::isfinite(Real<T>::nrm2(&n, trial, &one));
  }

  // J at p, with respect to the scaled parameters: J(p scale) diag(scale).
  void evaluate_jacobian(const T* p) {
    if (scale) {
      for (int i = 0; i < m; ++i) scaled_p[i] = p[i] * scale[i];
      jacf(scaled_p, jac, m, n, user_data);
      for (std::size_t l = 0; l < std::size_t(n); ++l) {
        T* row = jac + l * std::size_t(m);
        for (int i = 0; i < m; ++i) row[i] *= scale[i];
      }
    } else {
      jacf(p, jac, m, n, user_data);
    }
    ++counts.jacobians;
  }

  // Active-set scan.  A component at a bound is active, and its multiplier
  // has the right sign when J^T e points out of the box there; the largest
  // |J^T e| over the free components, the undamped diagonal and ||p||^2 are
  // gathered on the way.  Returns whether every active multiplier is right.
  bool scan_active_set(const T* p) {
    int active = 0, correct = 0;
    free_gradient = 0;
    p2 = 0;
    for (int i = 0; i < m; ++i) {
      if (ub && p[i] == ub[i]) {  // a pinned component (lb == ub) counts here
        ++active;
        if (jte[i] > 0) ++correct;
      } else if (lb && p[i] == lb[i]) {
        ++active;
        if (jte[i] < 0) ++correct;
      } else {
        const T g = std::fabs(jte[i]);
        if (g > free_gradient) free_gradient = g;  // a NaN never enters
      }
      jtj_diag[i] = jtj[std::size_t(i) * m + i];
      p2 += p[i] * p[i];
    }
    return correct == active;
  }

  // p <- trial_p with its error vector and squared error.
  void move_to_trial(T* p, T trial_e2) {
    std::memcpy(p, trial_p, std::size_t(m) * sizeof(T));
    std::swap(err, trial);
    e2 = trial_e2;
  }

  // Takes a point found by the line search or the projected-gradient search,
  // unless it is too close to p.
  void take_candidate(T* p, T trial_e2) {
    dp2 = projected_step(p, trial_p, step, m);
    if (dp2 <= o.eps2_sq * p2) {
      stop = kSmallStep;
      return;
    }
    move_to_trial(p, trial_e2);
  }

  bool step_search(T* p);
  bool line_search(const T* p, const T* g, T* d, T& trial_e2);
  enum class Gradient { kAccepted, kNotFound, kInvalid };
  Gradient projected_gradient_search(const T* p, const T* g, T& trial_e2);
};

// One step search from p: the projected LM step, else the line search along
// it, else the projected-gradient search.  It ends with a new point, with no
// progress, or with a stop reason.  Returns false when the run must end at
// once without counting the iteration (invalid values in the gradient search,
// an aborted linear solve).
template <typename T>
bool BoxRun<T>::step_search(T* p) {
  // Damped solve; a failed one only asks for more damping.
  for (;;) {
    add_to_diagonal(jtj, mu, m);
    ++counts.solves;
    const int solved = ax_eq_b_bk(jtj, jte, step, m);
    if (solved == kSolveAborted) {
      aborted = true;
      return false;
    }
    if (solved) break;
    if (!grow_damping(mu, nu)) {
      stop = kNoReduction;
      return true;
    }
    restore_diagonal(jtj, jtj_diag, m);
  }

  for (int i = 0; i < m; ++i) trial_p[i] = p[i] + step[i];
  box_project(trial_p, lb, ub, m);
  dp2 = projected_step(p, trial_p, step, m);
  if ((stop = step_stop_reason(dp2, p2, o)) != kRunning) return true;
  T trial_e2 = evaluate(trial_p);
  if (invalid_trial(trial_e2)) {
    stop = kInvalidValues;
    return true;
  }

  // LM acceptance
  if (trial_e2 <= kAcceptFactor<T> * e2) {
    const T dL = predicted_reduction(step, jte, mu, m);
    if (dL > 0) {
      mu = shrink_damping(mu, e2 - trial_e2, dL);
    } else {
      const T limit = T(0.1) * trial_e2;
      if (limit < mu) mu = limit;
    }
    nu = 2;
    move_to_trial(p, trial_e2);
    gradient_stepped = false;
    return true;
  }

  // The LM step did not lower the error enough.  From here on the J^T e
  // region holds the gradient g = -J^T e of E/2.
  T* g = jte;
  for (int i = 0; i < m; ++i) g[i] = -g[i];
  const T s = dot(g, step, m);
  const bool descent = double(s) <= double(T(-1e-8)) * std::pow(double(dp2), double(T(1.05)));
  if (descent && line_search(p, g, step, trial_e2) && std::isfinite(trial_e2)) {
    gradient_stepped = false;
    take_candidate(p, trial_e2);
    return true;
  }
  switch (projected_gradient_search(p, g, trial_e2)) {
    case Gradient::kAccepted:
      take_candidate(p, trial_e2);
      return true;
    case Gradient::kNotFound:
      return true;
    case Gradient::kInvalid:
      stop = kInvalidValues;
      return false;
  }
  return true;
}

// Backtracking line search for E/2 from p along d (shortened in place when
// longer than the step bound), with a quadratic and then cubic model of the
// decrease.  On success trial_p, `trial` and trial_e2 hold the new point.
template <typename T>
bool BoxRun<T>::line_search(const T* p, const T* g, T* d, T& trial_e2) {
  const T step_max = T(kLineSearchStepMax * std::fmax(std::sqrt(double(p2)), 1.0));
  const T f0 = T(0.5) * e2;
  const T d_norm = wide_sqrt(dot(d, d, m));
  if (d_norm > step_max) {
    const T shorten = step_max / d_norm;
    for (int i = 0; i < m; ++i) d[i] *= shorten;
  }
  const T slope = dot(g, d, m);
  T rel = 0;  // largest component of d relative to max(|p|, 1)
  for (int i = 0; i < m; ++i) {
    const T a = std::fabs(p[i]);
    const T r = std::fabs(d[i]) / (a > T(1) ? a : T(1));
    if (r > rel) rel = r;
  }
  const T lambda_min = kLambdaMinNumerator<T> / rel;

  T lambda = 1, lambda_prev = 0, f_prev = 0;
  bool first_backtrack = true;
  for (int trial_count = 0; trial_count < kLineSearchTrials; ++trial_count) {
    for (int i = 0; i < m; ++i) trial_p[i] = p[i] + lambda * d[i];
    box_project(trial_p, lb, ub, m);
    trial_e2 = evaluate_in_place(trial_p);
    const T f = T(0.5) * trial_e2;
    if (f <= f0 + kLineSearchDecrease<T> * slope * lambda) return true;
    if (lambda < lambda_min) return false;
    if (!std::isfinite(f)) {
      lambda *= T(0.1);
      first_backtrack = true;
      continue;
    }
    T candidate;
    if (first_backtrack) {  // minimum of the quadratic through f0, slope and f
      candidate = -lambda * slope / (T(2) * (f - f0 - slope));
      first_backtrack = false;
    } else {  // minimum of the cubic through f0, slope, f and f_prev
      const T t1 = f - f0 - lambda * slope;
      const T t2 = f_prev - f0 - lambda_prev * slope;
      const T t3 = T(1) / (lambda - lambda_prev);
      const T a = T(3) * t3 * (t1 / (lambda * lambda) - t2 / (lambda_prev * lambda_prev));
      const T b = t3 * (t2 * lambda / (lambda_prev * lambda_prev) - t1 * lambda_prev / (lambda * lambda));
      const T disc = b * b - a * slope;
      T sigma;
      if (disc > b * b)
        sigma = a < 0 ? T(-1) : T(1);
      else
        sigma = a < 0 ? T(1) : T(-1);
      candidate = (-b + sigma * wide_sqrt(disc)) / a;
      // At most half the last length; a NaN (a = 0, negative discriminant)
      // takes the half as well.
      const T half = T(0.5) * lambda;
      if (!(candidate <= half)) candidate = half;
    }
    lambda_prev = lambda;
    f_prev = f;
    const T tenth = T(0.1) * lambda;
    lambda = candidate < tenth ? tenth : candidate;
  }
  return false;
}

// Projected-gradient search p' = P(p - t g) with t shrinking by 0.9 from t0,
// or from the length of the previous iteration's gradient step.  On
// acceptance trial_p, `trial` and trial_e2 hold the new point.
template <typename T>
typename BoxRun<T>::Gradient BoxRun<T>::projected_gradient_search(const T* p, const T* g, T& trial_e2) {
  const T g_norm = wide_sqrt(dot(g, g, m));
  const T t0_bound = T(100) / (T(1) + g_norm);
  const T t0 = t0_bound < T(1) ? t0_bound : T(1);
  T t = gradient_stepped ? gradient_length : t0;
  while (t > T(1e-18)) {
    for (int i = 0; i < m; ++i) trial_p[i] = p[i] - t * g[i];
    box_project(trial_p, lb, ub, m);
    dp2 = projected_step(p, trial_p, step, m);
    trial_e2 = evaluate(trial_p);
    if (invalid_trial(trial_e2)) return Gradient::kInvalid;
    const T s = dot(g, step, m);
    if (gradient_stepped && trial_e2 <= e2 + kGradientRestart<T> * s) {
      t = t0;
      gradient_stepped = false;
    } else if (trial_e2 <= e2 + kGradientDecrease<T> * s) {
      gradient_stepped = true;
      gradient_length = t;
      return Gradient::kAccepted;
    }
    t *= T(0.9);
  }
  gradient_stepped = false;
  return Gradient::kNotFound;
}

// The solver.  `info_written` tells the difference adapter whether the run got
// past the set-up (an early failure leaves `info` untouched).
template <typename T>
int box_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, T* lb, T* ub, const T* scale,
            int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data, bool& info_written) {
  constexpr char P = Real<T>::letter;
  info_written = false;
  if (n < m) {
    std::fprintf(stderr, "%combrix_bc_der(): cannot solve a problem with fewer measurements [%d] than unknowns [%d]\n",
                 P, n, m);
    return -1;
  }
  if (!jacf) {
    std::fprintf(stderr,
                 "No function specified for computing the Jacobian in %combrix_bc_der().\nIf no such function is available, use %combrix_bc_dif() rather than %combrix_bc_der()\n",
                 P, P, P);
    return -1;
  }
  if (!box_check(lb, ub, m)) {
    std::fprintf(stderr, "%combrix_bc_der(): at least one lower bound exceeds the upper one\n", P);
    return -1;
  }
  // With scaling: the point in caller units for the callbacks, then the
  // caller's bounds, kept so that they come back exactly as given.
  CBuffer<T> scaling;
  if (scale) {
    for (int i = m - 1; i >= 0; --i) {
      if (scale[i] <= 0) {
        std::fprintf(stderr, "%combrix_bc_der(): scaling constants should be positive (scale %d: %g <= 0)\n", P, i,
                     double(scale[i]));
        return -1;
      }
    }
    scaling.reset(calloc_array<T>(Size(3) * m));
    if (!scaling) {
      std::fprintf(stderr, "%combrix_bc_der(): memory allocation request failed\n", P);
      return -1;
    }
  }
  Options<T> o(opts, false);
  if (!opts) o.eps2_sq = T(1e-34);
  CBuffer<T> owned;
  T* const w = obtain_workspace(workspace, Size(2) * n + Size(4) * m + Size(n) * m + Size(m) * m, owned);
  if (!w) {
    std::fprintf(stderr, "%combrix_bc_der(): memory allocation request failed\n", P);
    return -1;
  }

  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  BoxRun<T> run{func, jacf, x, m, n, lb, ub, scale, scaling.get(), user_data, o};
  run.use_workspace(w);
  const bool direct = nn * mm <= 1023;
  T* saved_lb = scale ? scaling.get() + mm : nullptr;
  T* saved_ub = scale ? scaling.get() + 2 * mm : nullptr;

  box_project(p, lb, ub, m);
  func(p, run.trial, m, n, user_data);
  run.counts.model_calls = 1;
  run.e2 = l2nrmxmy(run.err, x, run.trial, n);
  const T initial_e2 = run.e2;
  if (!std::isfinite(run.e2)) run.stop = kInvalidValues;

  // From here on p and the bounds are in scaled units; unbounded sentinels
  // stay as they are.
  if (scale) {
    for (std::size_t i = 0; i < mm; ++i) p[i] /= scale[i];
    if (ub) {
      std::memcpy(saved_ub, ub, mm * sizeof(T));
      for (std::size_t i = 0; i < mm; ++i)
        if (ub[i] != Real<T>::max) ub[i] /= scale[i];
    }
    if (lb) {
      std::memcpy(saved_lb, lb, mm * sizeof(T));
      for (std::size_t i = 0; i < mm; ++i)
        if (lb[i] != -Real<T>::max) lb[i] /= scale[i];
    }
  }

  int& k = run.counts.iterations;
  while (k < max_iter && run.stop == kRunning) {
    if (run.e2 <= o.eps3) {
      run.stop = kSmallError;
      break;
    }
    run.evaluate_jacobian(p);
    normal_equations(run.jac, run.err, run.jtj, run.jte, n, m, direct);
    const bool multipliers_right = run.scan_active_set(p);
    // First-order optimality on the box: small free gradient, and every
    // component at a bound held there by the gradient.
    if (multipliers_right && run.free_gradient <= o.eps1) {
      run.dp2 = 0;
      run.stop = kSmallGradient;
      break;
    }
    if (k == 0)
      run.mu = !lb && !ub ? o.tau * largest(run.jtj_diag, m) : T(0.5) * o.tau * run.e2;
    if (!run.step_search(p)) break;
    ++k;
  }
  // The last permitted iteration reports the limit, whatever stopped it.  The
  // exits above that do not count their iteration leave k < max_iter.
  if (k >= max_iter) run.stop = kIterationLimit;

  // An aborted run, like an early failure, writes neither info nor the covariance.
  if (!run.aborted) {
    restore_diagonal(run.jtj, run.jtj_diag, m);
    write_info(info, initial_e2, run.e2, run.free_gradient, run.dp2, run.mu / largest(run.jtj_diag, m), k,
               run.stop, run.counts.model_calls, run.counts.jacobians, run.counts.solves);
    info_written = true;
    // A failed estimate leaves the caller's covariance untouched: scale only a
    // computed one (rank 0 gives zeros, which scaling keeps).
    if (covariance && covar(run.jtj, covariance, run.e2, m, n) > 0 && scale) {
      for (std::size_t i = 0; i < mm; ++i)
        for (std::size_t j = 0; j < mm; ++j) covariance[i * mm + j] *= scale[i] * scale[j];
    }
  }
  owned.reset();
  if (run.counts.solves > 0) ax_eq_b_bk<T>(nullptr, nullptr, nullptr, 0);
  if (scale) {
    for (std::size_t i = 0; i < mm; ++i) p[i] *= scale[i];
    if (ub) std::memcpy(ub, saved_ub, mm * sizeof(T));
    if (lb) std::memcpy(lb, saved_lb, mm * sizeof(T));
  }
  if (run.aborted) return -1;
  return run.stop == kSingular || run.stop == kInvalidValues ? -1 : k;
}

// ---- finite differences ----------------------------------------------------

// What the difference adapters need; passed to box_der as its user pointer.
template <typename T>
struct lmbc_dif_data {
  int forward;  // nonzero: forward differences, zero: central
  Callback<T> func;
  T* buf1;  // n reals: f(p) for forward differences, f(p - d) for central ones
  T* buf2;  // n reals after buf1: f(p + d)
  void* user_data;
  T diff_step;
};

template <typename T>
void lmbc_dif_func(const T* p, T* out, int m, int n, void* data) {
  const auto* d = static_cast<const lmbc_dif_data<T>*>(data);
  d->func(p, out, m, n, d->user_data);
}

// The difference kernels perturb one entry of p at a time and restore it;
// the solver always passes a point it owns.
template <typename T>
void lmbc_dif_jacf(const T* p, T* jac, int m, int n, void* data) {
  const auto* d = static_cast<const lmbc_dif_data<T>*>(data);
  T* q = const_cast<T*>(p);
  if (d->forward) {
    d->func(p, d->buf1, m, n, d->user_data);
    fdif_forw_jac_approx(d->func, q, d->buf1, d->buf2, d->diff_step, jac, m, n, d->user_data);
  } else {
    fdif_cent_jac_approx(d->func, q, d->buf1, d->buf2, d->diff_step, jac, m, n, d->user_data);
  }
}

}  // namespace

template <typename T>
int lm_bc_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, T* lb, T* ub, const T* scale,
              int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data) {
  bool info_written;
  return box_der(func, jacf, p, x, m, n, lb, ub, scale, max_iter, opts, info, workspace, covariance, user_data,
                 info_written);
}

template <typename T>
int lm_bc_dif(Callback<T> func, T* p, const T* x, int m, int n, T* lb, T* ub, const T* scale, int max_iter,
              const T* opts, T* info, T* workspace, T* covariance, void* user_data) {
  const bool forward = !opts || opts[4] >= T(0);  // a NaN step selects central differences
  CBuffer<T> buffers(calloc_array<T>(Size(2) * n));
  if (!buffers) {
    std::fprintf(stderr, "%combrix_bc_dif(): memory allocation request failed\n", Real<T>::letter);
    return -1;
  }
  lmbc_dif_data<T> data{forward, func, buffers.get(), buffers.get() + std::size_t(n), user_data,
                        opts ? std::fabs(opts[4]) : T(1e-6)};
  bool info_written;
  const int result = box_der<T>(lmbc_dif_func<T>, lmbc_dif_jacf<T>, p, x, m, n, lb, ub, scale, max_iter, opts, info,
                                workspace, covariance, &data, info_written);
  // Model calls made inside the Jacobian adapter: f(p) and m perturbed
  // points per forward-difference Jacobian, 2m per central one.
  if (info && info_written) info[7] += info[8] * (forward ? T(m) + T(1) : T(2) * T(m));
  return result;
}

template int lm_bc_der<double>(Callback<double>, Callback<double>, double*, const double*, int, int, double*, double*, const double*, int, const double*, double*, double*, double*, void*);
template int lm_bc_der<float>(Callback<float>, Callback<float>, float*, const float*, int, int, float*, float*, const float*, int, const float*, float*, float*, float*, void*);
template int lm_bc_dif<double>(Callback<double>, double*, const double*, int, int, double*, double*, const double*, int, const double*, double*, double*, double*, void*);
template int lm_bc_dif<float>(Callback<float>, float*, const float*, int, int, float*, float*, const float*, int, const float*, float*, float*, float*, void*);

}  // namespace ombrix

using namespace ombrix;

extern "C" {

int dombrix_bc_der(dombrix_callback func, dombrix_callback jacf, double* p, const double* x, int m, int n, double* lb, double* ub, const double* scale, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bc_der(func, jacf, p, x, m, n, lb, ub, scale, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_bc_der(sombrix_callback func, sombrix_callback jacf, float* p, const float* x, int m, int n, float* lb, float* ub, const float* scale, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bc_der(func, jacf, p, x, m, n, lb, ub, scale, max_iter, opts, info, workspace, covariance, user_data); }
int dombrix_bc_dif(dombrix_callback func, double* p, const double* x, int m, int n, double* lb, double* ub, const double* scale, int max_iter, const double* opts, double* info, double* workspace, double* covariance, void* user_data) { return lm_bc_dif(func, p, x, m, n, lb, ub, scale, max_iter, opts, info, workspace, covariance, user_data); }
int sombrix_bc_dif(sombrix_callback func, float* p, const float* x, int m, int n, float* lb, float* ub, const float* scale, int max_iter, const float* opts, float* info, float* workspace, float* covariance, void* user_data) { return lm_bc_dif(func, p, x, m, n, lb, ub, scale, max_iter, opts, info, workspace, covariance, user_data); }

}  // extern "C"
