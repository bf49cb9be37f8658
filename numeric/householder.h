// Householder QR of small dense matrices, done here rather than by LAPACK,
// whose per-call overhead dominates below about a thousand entries: the
// engine's factorisations of small Jacobians and the statistics' SVD of
// small ones share these kernels.  Q is stored as LAPACK's geqrf stores it.
#ifndef OMBRIX_HOUSEHOLDER_H
#define OMBRIX_HOUSEHOLDER_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "real.h"

namespace ombrix {
namespace householder {

// Up to this many entries a matrix is factorised here: below it LAPACK's
// per-call overhead dominates (the many small fits of one batch), beyond
// about a thousand its blocked kernels are faster.
constexpr std::size_t kSmallEntries = 1024;

// sum_{i=begin}^{end-1} x_i y_i in four interleaved partial sums, which the
// processor can keep in flight together; the order is fixed, so the result
// does not depend on the machine's vector width.
template <typename T>
T dot(const T* x, const T* y, std::size_t begin, std::size_t end) {
  T s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    s0 += x[i] * y[i];
    s1 += x[i + 1] * y[i + 1];
    s2 += x[i + 2] * y[i + 2];
    s3 += x[i + 3] * y[i + 3];
  }
  for (; i < end; ++i) s0 += x[i] * y[i];
  return (s0 + s1) + (s2 + s3);
}

// ||x|| for x of length count: the plain sum of squares when it neither
// overflows nor comes near the underflow range (one pass, no divisions),
// else scaled by the largest entry.
template <typename T>
T stable_norm(const T* x, std::size_t count) {
  const T plain = dot(x, x, 0, count);
  if (plain <= std::numeric_limits<T>::max() && plain >= std::numeric_limits<T>::min() / Real<T>::eps)
    return std::sqrt(plain);
  T largest = 0;
  for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, std::fabs(x[i]));
  if (largest == 0 || !std::isfinite(largest)) return largest;
  T s = 0;
  for (std::size_t i = 0; i < count; ++i) s += (x[i] / largest) * (x[i] / largest);
  return largest * std::sqrt(s);
}

// v <- (I - tau u u^T) v for the reflector u with u_j = 1 and u_i = column[i]
// below j (entries above j are untouched).
template <typename T>
void reflect(const T* column, T tau, std::size_t j, std::size_t n, T* v) {
  T w = v[j] + dot(column, v, j + 1, n);
  w *= tau;
  v[j] -= w;
  for (std::size_t i = j + 1; i < n; ++i) v[i] -= w * column[i];
}

// sqrt(a^2 + b^2): plainly when that neither overflows nor underflows, which
// is much faster than std::hypot, else by std::hypot.
template <typename T>
T safe_hypot(T a, T b) {
  const T plain = a * a + b * b;
  if (plain <= std::numeric_limits<T>::max() && plain >= std::numeric_limits<T>::min() / Real<T>::eps)
    return std::sqrt(plain);
  return std::hypot(a, b);
}

// Householder QR of the column-major n x m matrix A (n >= m), in place:
// R in the upper triangle, reflector j = I - tau_j v v^T with v_j = 1 and
// the rest of v below the diagonal (LAPACK's dgeqr2 conventions).
template <typename T>
void householder_qr(T* A, std::size_t n, std::size_t m, T* tau) {
  for (std::size_t j = 0; j < m; ++j) {
    T* column = A + j * n;
    const T alpha = column[j];
    const T below = stable_norm(column + j + 1, n - j - 1);
    if (below == 0) {
      tau[j] = 0;
      continue;
    }
    const T beta = -std::copysign(safe_hypot(alpha, below), alpha);
    tau[j] = (beta - alpha) / beta;
    const T scale = T(1) / (alpha - beta);
    for (std::size_t i = j + 1; i < n; ++i) column[i] *= scale;
    column[j] = beta;
    for (std::size_t k = j + 1; k < m; ++k) reflect(column, tau[j], j, n, A + k * n);
  }
}

// b <- Q^T b for the reflectors stored by householder_qr (or geqrf).
template <typename T>
void apply_qt(const T* A, std::size_t n, std::size_t m, const T* tau, T* b) {
  for (std::size_t j = 0; j < m; ++j)
    if (tau[j] != 0) reflect(A + j * n, tau[j], j, n, b);
}

}  // namespace householder
}  // namespace ombrix

#endif  // OMBRIX_HOUSEHOLDER_H
