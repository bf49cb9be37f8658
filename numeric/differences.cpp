// Difference Jacobians of the fitting binding (differences.h).
#include "differences.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace ombrix {
namespace {

template <typename T>
bool outside(const DifferenceSteps<T>& steps, int j, T value) {
  return (steps.lb && value < steps.lb[j]) || (steps.ub && value > steps.ub[j]);
}

}  // namespace

template <typename T>
bool difference_jacobian(ModelEvaluations<T>& model, const DifferenceSteps<T>& steps, const T* p, int m, int n,
                         const DifferenceScratch<T>& scratch, T* jac) {
  const std::size_t columns = std::size_t(m);
  const bool forward = steps.rule == Differences::kForward;
  const T* f0 = nullptr;  // f(p): needed by every forward column, by few central ones
  if (forward && !model.values_at(p, &f0)) return false;
  T* trial = scratch.trial;
  T* f_plus = scratch.f_plus;
  T* f_minus = scratch.f_minus;
  std::memcpy(trial, p, columns * sizeof(T));
  const T step = difference_step(steps.rule, steps.relative);
  for (int j = 0; j < m; ++j) {
    const T pj = p[j];
    const T size = std::max(steps.typical[j], std::fabs(pj));
    if (forward) {
      T h = std::signbit(pj) ? -step * size : step * size;
      if (outside(steps, j, pj + h) && !outside(steps, j, pj - h)) h = -h;
      trial[j] = pj + h;
      h = trial[j] - pj;  // the step actually taken
      if (!model.evaluate(trial, f_plus)) return false;
      for (int i = 0; i < n; ++i) jac[i * columns + j] = (f_plus[i] - f0[i]) / h;
    } else if (!outside(steps, j, pj - step * size) && !outside(steps, j, pj + step * size)) {
      const T h = step * size;
      trial[j] = pj + h;
      const T ahead = trial[j] - pj;
      if (!model.evaluate(trial, f_plus)) return false;
      trial[j] = pj - h;
      const T behind = pj - trial[j];
      if (!model.evaluate(trial, f_minus)) return false;
      for (int i = 0; i < n; ++i) jac[i * columns + j] = (f_plus[i] - f_minus[i]) / (ahead + behind);
    } else {
      // f'(p) ~ (-3 f(p) + 4 f(p + h) - f(p + 2h)) / 2h, toward the side that stays inside
      T h = step * size;
      if (outside(steps, j, pj + h + h) && !outside(steps, j, pj - h - h)) h = -h;
      if (!model.values_at(p, &f0)) return false;
      trial[j] = pj + h;
      h = trial[j] - pj;
      if (!model.evaluate(trial, f_plus)) return false;
      trial[j] = pj + (h + h);
      if (!model.evaluate(trial, f_minus)) return false;
      for (int i = 0; i < n; ++i) jac[i * columns + j] = (T(4) * f_plus[i] - T(3) * f0[i] - f_minus[i]) / (h + h);
    }
    trial[j] = pj;
  }
  return true;
}

template bool difference_jacobian<double>(ModelEvaluations<double>&, const DifferenceSteps<double>&, const double*,
                                          int, int, const DifferenceScratch<double>&, double*);
template bool difference_jacobian<float>(ModelEvaluations<float>&, const DifferenceSteps<float>&, const float*, int,
                                         int, const DifferenceScratch<float>&, float*);

}  // namespace ombrix
