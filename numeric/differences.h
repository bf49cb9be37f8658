// Difference Jacobians of the fitting binding: steps from the precision's
// epsilon relative to each parameter's size, kept inside the bounds.  The
// engine (engine.cpp) takes the same step sizes and places them by its own
// rule.
#ifndef OMBRIX_DIFFERENCES_H
#define OMBRIX_DIFFERENCES_H

#include <algorithm>
#include <cmath>

#include "real.h"

namespace ombrix {

// Relative difference steps: sqrt(eps) for forward and eps^(1/3) for central
// differences, the steps that balance truncation against rounding.
template <typename T>
inline const T kForwardStep = std::sqrt(Real<T>::eps);
template <typename T>
inline const T kCentralStep = std::cbrt(Real<T>::eps);

enum class Differences { kForward, kCentral };

// The relative difference step: `relative` when positive, else the rule's.
template <typename T>
T difference_step(Differences rule, T relative) {
  if (relative > 0) return relative;
  return rule == Differences::kCentral ? kCentralStep<T> : kForwardStep<T>;
}

// The relative accuracy of a Jacobian: eps when analytic; for differences
// with relative step h the larger of their truncation (h forward, h^2
// central) and their rounding (eps / h): sqrt(eps) and eps^(2/3) with the
// default steps, which balance the two.
template <typename T>
T jacobian_accuracy(bool analytic, Differences rule, T relative = 0) {
  if (analytic) return Real<T>::eps;
  const T h = difference_step(rule, relative);
  const T truncation = rule == Differences::kCentral ? h * h : h;
  return std::max(truncation, Real<T>::eps / h);
}

// The model as a difference Jacobian (and the final correction of a fit)
// reaches it.
template <typename T>
class ModelEvaluations {
 public:
  // f(p) into f, one model call; false when it failed or the fit has stopped.
  virtual bool evaluate(const T* p, T* f) = 0;
  // *f = the model values at p, reusing the last ones when they were taken
  // there; false when the evaluation failed.
  virtual bool values_at(const T* p, const T** f) = 0;

 protected:
  ~ModelEvaluations() = default;
};

// Where the steps go: step j is the relative step times max(|p_j|, typical_j);
// lb and ub (m values each, or null) are the bounds they stay inside.
template <typename T>
struct DifferenceSteps {
  Differences rule = Differences::kForward;
  const T* typical = nullptr;  // m positive sizes
  const T *lb = nullptr, *ub = nullptr;
  T relative = 0;  // the relative step; 0: the rule's (kForwardStep, kCentralStep)
};

// Scratch of one difference Jacobian: m reals for the trial point, n each
// for the model values at the steps.
template <typename T>
struct DifferenceScratch {
  T *trial, *f_plus, *f_minus;
};

// The n x m Jacobian (row-major) at p, one column at a time.  A forward step
// goes the way of p's sign unless only the other way stays inside the
// bounds; a central pair that would leave them is replaced by a one-sided
// second-order formula toward the side that stays inside.  False as soon as
// an evaluation fails.
template <typename T>
bool difference_jacobian(ModelEvaluations<T>& model, const DifferenceSteps<T>& steps, const T* p, int m, int n,
                         const DifferenceScratch<T>& scratch, T* jac);

}  // namespace ombrix

#endif  // OMBRIX_DIFFERENCES_H
