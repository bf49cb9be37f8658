// Robust losses rho(z) of the trust-region engine, z = (r / f_scale)^2, with
// the derivatives that rescale its problem; the fitting binding weighs the
// rows of the covariance's Jacobian by the same rho'.
#ifndef OMBRIX_LOSSES_H
#define OMBRIX_LOSSES_H

#include <cmath>

#include "ombrix.h"

namespace ombrix {

// rho(z) and its first two derivatives at z = (r / f_scale)^2.
template <typename T>
struct LossValue {
  T rho, d1, d2;
};

template <typename T>
LossValue<T> loss_at(int loss, T z) {
  switch (loss) {
    case OMBRIX_LOSS_SOFT_L1: {
      const T t = T(1) + z, s = std::sqrt(t);
      return {T(2) * (s - T(1)), T(1) / s, T(-0.5) / (t * s)};
    }
    case OMBRIX_LOSS_HUBER:
      if (z <= T(1)) return {z, T(1), T(0)};
      return {T(2) * std::sqrt(z) - T(1), T(1) / std::sqrt(z), T(-0.5) / (z * std::sqrt(z))};
    case OMBRIX_LOSS_CAUCHY: {
      const T t = T(1) + z;
      return {std::log1p(z), T(1) / t, T(-1) / (t * t)};
    }
    case OMBRIX_LOSS_ARCTAN: {
      const T t = T(1) + z * z;
      return {std::atan(z), T(1) / t, T(-2) * z / (t * t)};
    }
    default:
      return {z, T(1), T(0)};
  }
}

}  // namespace ombrix

#endif  // OMBRIX_LOSSES_H
