// Residual weights (weights.h).
#include "weights.h"

#include <cstddef>
#include <cstring>

namespace ombrix {

template <typename T>
void Weights<T>::apply(const T* v, T* out, int n, int columns) const {
  const std::size_t c = std::size_t(columns);
  const std::size_t count = std::size_t(n) * c;
  switch (kind) {
    case Weighting::kNone:
      std::memcpy(out, v, count * sizeof(T));
      return;
    case Weighting::kDiagonal:
      for (std::size_t i = 0; i < std::size_t(n); ++i)
        for (std::size_t j = 0; j < c; ++j) out[i * c + j] = values[i] * v[i * c + j];
      return;
    case Weighting::kCovariance:
      for (std::size_t i = 0; i < std::size_t(n); ++i) {
        const T* row = values + i * std::size_t(n);
        T* out_i = out + i * c;
        for (std::size_t j = 0; j < c; ++j) out_i[j] = v[i * c + j];
        for (std::size_t k = 0; k < i; ++k) {
          const T factor = row[k];
          if (factor == T(0)) continue;
          const T* out_k = out + k * c;
          for (std::size_t j = 0; j < c; ++j) out_i[j] -= factor * out_k[j];
        }
        for (std::size_t j = 0; j < c; ++j) out_i[j] /= row[i];
      }
      return;
  }
}

template struct Weights<double>;
template struct Weights<float>;

}  // namespace ombrix
