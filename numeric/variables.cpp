// Variables and rows of the fitting binding's solvers (variables.h).
#include "variables.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace ombrix {

template <typename T>
void power_of_two_scales(const T* weighted_jac, int n, int m, T* scale) {
  for (int j = 0; j < m; ++j) {
    T norm2 = 0;
    for (int i = 0; i < n; ++i)
      norm2 += weighted_jac[std::size_t(i) * m + j] * weighted_jac[std::size_t(i) * m + j];
    const T norm = std::sqrt(norm2);
    scale[j] = T(1);
    if (norm > T(0) && std::isfinite(norm)) {
      int exponent = 0;
      std::frexp(T(1) / norm, &exponent);
      scale[j] = std::ldexp(T(1), exponent - 1);
      if (!(scale[j] > T(0)) || !std::isfinite(scale[j])) scale[j] = T(1);
    }
  }
}

template <typename T>
void multiply_by(const T* v, const T* scale, int m, T* out) {
  for (int j = 0; j < m; ++j) out[j] = v[j] * scale[j];
}

template <typename T>
void divide_by(T* v, const T* scale, int m) {
  for (int j = 0; j < m; ++j) v[j] /= scale[j];
}

template <typename T>
void scale_bounds(T* lb, T* ub, const T* scale, int m) {
  for (int j = 0; j < m; ++j) {
    if (lb[j] != -Real<T>::max) lb[j] /= scale[j];
    if (ub[j] != Real<T>::max) ub[j] /= scale[j];
  }
}

template <typename T>
void multiply_columns(T* matrix, int rows, int m, const T* scale) {
  for (std::size_t i = 0; i < std::size_t(rows); ++i)
    for (std::size_t j = 0; j < std::size_t(m); ++j) matrix[i * std::size_t(m) + j] *= scale[j];
}

template <typename T>
void unit_rows(T* matrix, T* rhs, int k, int m) {
  for (std::size_t i = 0; i < std::size_t(k); ++i) {
    T* row = matrix + i * std::size_t(m);
    T norm2 = 0;
    for (int j = 0; j < m; ++j) norm2 += row[j] * row[j];
    const T norm = std::sqrt(norm2);
    if (!(norm > T(0)) || !std::isfinite(norm)) continue;
    for (int j = 0; j < m; ++j) row[j] /= norm;
    rhs[i] /= norm;
  }
}

template <typename T>
void parameters_of(const T* origin, const T* basis, int m, int k, const T* z, T* p) {
  for (std::size_t i = 0; i < std::size_t(m); ++i) {
    const T* row = basis + i * std::size_t(k);
    T value = origin[i];
    for (std::size_t j = 0; j < std::size_t(k); ++j) value += row[j] * z[j];
    p[i] = value;
  }
}

template <typename T>
void times_basis(const T* weighted_jac, const T* basis, int n, int m, int k, T* out) {
  const std::size_t mm = std::size_t(m), kk = std::size_t(k);
  for (std::size_t i = 0; i < std::size_t(n); ++i) {
    T* out_i = out + i * kk;
    std::fill_n(out_i, kk, T(0));
    for (std::size_t l = 0; l < mm; ++l) {
      const T factor = weighted_jac[i * mm + l];
      const T* basis_row = basis + l * kk;
      for (std::size_t j = 0; j < kk; ++j) out_i[j] += factor * basis_row[j];
    }
  }
}

template <typename T>
bool diagonal_basis(const T* basis, int m, int k) {
  if (k != m) return false;
  for (std::size_t i = 0; i < std::size_t(m); ++i)
    for (std::size_t j = 0; j < std::size_t(m); ++j)
      if (i != j && basis[i * std::size_t(m) + j] != T(0)) return false;
  return true;
}

template <typename T>
void to_scaled_variables(const T* origin, const T* basis, int m, const T* typical, const T* lower, const T* upper,
                         T* out) {
  const T largest = Real<T>::max;
  const std::size_t mm = std::size_t(m);
  for (std::size_t j = 0; j < mm; ++j) {
    const T s = basis[j * mm + j];
    out[j] = typical[j] / s;
    if (lower) out[mm + j] = lower[j] == -largest ? -largest : (lower[j] - origin[j]) / s;
    if (upper) out[2 * mm + j] = upper[j] == largest ? largest : (upper[j] - origin[j]) / s;
  }
}

template <typename T>
bool violates_guard(const T* G, const T* h, int rows, int m, const T* p) {
  for (std::size_t i = 0; i < std::size_t(rows); ++i) {
    const T* g = G + i * std::size_t(m);
    T excess = -h[i];
    T size = std::fabs(h[i]);
    for (int j = 0; j < m; ++j) {
      const T term = g[j] * p[j];
      excess += term;
      size += std::fabs(term);
    }
    if (excess < -kGuardSlack<T> * size) return true;
  }
  return false;
}

#define OMBRIX_INSTANTIATE(T)                                                                        \
  template void power_of_two_scales<T>(const T*, int, int, T*);                                      \
  template void multiply_by<T>(const T*, const T*, int, T*);                                         \
  template void divide_by<T>(T*, const T*, int);                                                     \
  template void scale_bounds<T>(T*, T*, const T*, int);                                              \
  template void multiply_columns<T>(T*, int, int, const T*);                                         \
  template void unit_rows<T>(T*, T*, int, int);                                                      \
  template void parameters_of<T>(const T*, const T*, int, int, const T*, T*);                        \
  template void times_basis<T>(const T*, const T*, int, int, int, T*);                               \
  template bool diagonal_basis<T>(const T*, int, int);                                               \
  template void to_scaled_variables<T>(const T*, const T*, int, const T*, const T*, const T*, T*);   \
  template bool violates_guard<T>(const T*, const T*, int, int, const T*);
OMBRIX_INSTANTIATE(double)
OMBRIX_INSTANTIATE(float)
#undef OMBRIX_INSTANTIATE

}  // namespace ombrix
