// Statistics at a solution for the fitting binding: covariance by SVD and the
// pivoted QR factorisation of the weighted Jacobian (see _src/solution.h).
#include "_src/solution.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "internal.h"

namespace ombrix::solution {
namespace {

using R = Real<double>;

bool all_finite(const double* v, std::size_t count) {
  return std::all_of(v, v + count, [](double value) { return std::isfinite(value); });
}

// The singular values of the column-major rows x cols matrix `a` (destroyed)
// into s (min(rows, cols)), and with `jobvt` 'S' or 'A' its right singular
// vectors V^T into vt (column-major, ldvt rows).  False when memory is short,
// the SVD fails or `a` holds NaN or infinity (on which LAPACK's iteration
// need not end).
bool right_svd(int rows, int cols, double* a, double* s, const char* jobvt, double* vt, int ldvt) {
  if (!all_finite(a, std::size_t(rows) * std::size_t(cols))) return false;
  const int one = 1;
  int lwork = -1, info = 0;
  double optimal = 0;
  double unused = 0;
  R::gesvd("N", jobvt, &rows, &cols, a, &rows, s, &unused, &one, vt, &ldvt, &optimal, &lwork, &info);
  if (info != 0) return false;
  lwork = std::max(1, int(optimal));
  CBuffer<double> work(calloc_array<double>(Size(lwork)));
  if (!work) return false;
  R::gesvd("N", jobvt, &rows, &cols, a, &rows, s, &unused, &one, vt, &ldvt, work.get(), &lwork, &info);
  return info == 0;
}

void fill(double* v, std::size_t count, double value) { std::fill_n(v, count, value); }

// Marks the parameters the data do not determine.  Parameter i is the linear
// function c_i . u of the solver's unit-column coordinates u (c_i = D^-1
// Z^T e_i); its estimate is determined when c_i lies in the row space of the
// scaled J Z, i.e. has no component along the right singular vectors past
// the `kept` ones (the numerical null space).  Rounding turns the singular
// vectors by about `noise` radians (the dropping threshold over the smallest
// singular value kept); a relative component above sqrt(noise), far above
// that and far below 1, counts.  vt: V^T, free x free, column-major.
void mark_undetermined(const double* z, int m, int free, const double* norms, const double* vt, int kept,
                       double noise, bool* undetermined) {
  const std::size_t mm = std::size_t(m), ff = std::size_t(free);
  for (std::size_t i = 0; i < mm; ++i) {
    auto c = [&](std::size_t a) { return (z ? z[i + a * mm] : double(a == i)) / norms[a]; };
    double c2 = 0, null2 = 0;
    for (std::size_t a = 0; a < ff; ++a) c2 += c(a) * c(a);
    for (std::size_t r = std::size_t(kept); r < ff; ++r) {
      double component = 0;
      for (std::size_t a = 0; a < ff; ++a) component += vt[r + a * ff] * c(a);
      null2 += component * component;
    }
    undetermined[i] = c2 > 0 && null2 > noise * c2;
  }
}

// cov = Z inner Z^T (m x m, row-major) for Z (m x free, column-major) and
// inner (free x free); false when memory is short.
bool z_inner_z(const double* z, int m, int free, const double* inner, double* cov) {
  const std::size_t mm = std::size_t(m), ff = std::size_t(free);
  CBuffer<double> z_inner(calloc_array<double>(Size(m) * Size(free)));  // row-major m x free
  if (!z_inner) return false;
  for (std::size_t i = 0; i < mm; ++i)
    for (std::size_t b = 0; b < ff; ++b) {
      double value = 0;
      for (std::size_t a = 0; a < ff; ++a) value += z[i + a * mm] * inner[a * ff + b];
      z_inner[i * ff + b] = value;
    }
  for (std::size_t i = 0; i < mm; ++i)
    for (std::size_t j = 0; j < mm; ++j) {
      double value = 0;
      for (std::size_t b = 0; b < ff; ++b) value += z_inner[i * ff + b] * z[j + b * mm];
      cov[i * mm + j] = value;
    }
  return true;
}

}  // namespace

bool covariance(const double* jw, int n, int m, const double* g, int k, double eps, double* cov, Rank* rank) {
  const std::size_t mm = std::size_t(m), nn = std::size_t(n);
  *rank = Rank{};
  fill(cov, mm * mm, 0.0);
  const bool finite_jacobian = all_finite(jw, nn * mm);

  // Z: the null space of g, as the last m - fixed rows of V^T of its SVD.
  CBuffer<double> z;  // m x free, column-major; null means Z = I
  int free = m;
  if (k > 0) {
    const std::size_t kk = std::size_t(k);
    CBuffer<double> gc(calloc_array<double>(Size(k) * Size(m)));
    CBuffer<double> s(calloc_array<double>(Size(std::min(k, m))));
    CBuffer<double> vt(calloc_array<double>(Size(m) * Size(m)));
    if (!gc || !s || !vt) return false;
    for (std::size_t i = 0; i < kk; ++i)
      for (std::size_t j = 0; j < mm; ++j) gc[i + j * kk] = g[i * mm + j];
    if (!right_svd(k, m, gc.get(), s.get(), "A", vt.get(), m)) {
      fill(cov, mm * mm, std::numeric_limits<double>::quiet_NaN());
      return true;
    }
    const double threshold = std::max(k, m) * std::numeric_limits<double>::epsilon() * s[0];
    int fixed = 0;
    while (fixed < std::min(k, m) && s[fixed] > threshold) ++fixed;
    free = m - fixed;
    z.reset(calloc_array<double>(Size(m) * Size(free)));
    if (!z) return false;
    for (std::size_t j = 0; j < std::size_t(free); ++j)
      for (std::size_t i = 0; i < mm; ++i) z[i + j * mm] = vt[(std::size_t(fixed) + j) + i * mm];
  }
  rank->free = free;
  if (free == 0) return true;
  if (!finite_jacobian) {
    fill(cov, mm * mm, std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  const std::size_t ff = std::size_t(free);

  // J Z, column-major n x free, with unit-norm columns.
  CBuffer<double> jz(calloc_array<double>(Size(n) * Size(free)));
  CBuffer<double> norms(calloc_array<double>(Size(free)));
  const int singular_count = std::min(n, free);
  const std::size_t kept_max = std::size_t(singular_count);
  CBuffer<double> s(calloc_array<double>(Size(singular_count)));
  CBuffer<double> vt(calloc_array<double>(Size(free) * Size(free)));  // all of V^T: its null space too
  CBuffer<double> inner(calloc_array<double>(Size(free) * Size(free)));
  CBuffer<bool> undetermined(calloc_array<bool>(Size(m)));
  if (!jz || !norms || !s || !vt || !inner || !undetermined) return false;
  bool finite = true;
  for (std::size_t j = 0; j < ff; ++j) {
    double* column = jz.get() + j * nn;
    for (std::size_t i = 0; i < nn; ++i) {
      double value = 0;
      if (z) {
        for (std::size_t l = 0; l < mm; ++l) value += jw[i * mm + l] * z[l + j * mm];
      } else {
        value = jw[i * mm + j];
      }
      column[i] = value;
      finite = finite && std::isfinite(value);
    }
  }
  if (!finite) {
    fill(cov, mm * mm, std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  for (std::size_t j = 0; j < ff; ++j) {
    double* column = jz.get() + j * nn;
    double norm2 = 0;
    for (std::size_t i = 0; i < nn; ++i) norm2 += column[i] * column[i];
    const double norm = std::sqrt(norm2);
    norms[j] = norm > 0 && std::isfinite(norm) ? norm : 1.0;
    for (std::size_t i = 0; i < nn; ++i) column[i] /= norms[j];
  }
  if (!right_svd(n, free, jz.get(), s.get(), "A", vt.get(), free)) {
    fill(cov, mm * mm, std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  if (s[0] == 0) {
    fill(cov, mm * mm, std::numeric_limits<double>::infinity());
    return true;
  }

  // (Z^T J^T J Z)^+ = D^-1 V S^-2 V^T D^-1 over the singular values kept.
  const double threshold = eps * std::max(n, free) * s[0];
  std::size_t kept = 0;
  while (kept < kept_max && s[kept] > threshold) ++kept;
  rank->rank = int(kept);
  if (kept == 0) {
    fill(cov, mm * mm, std::numeric_limits<double>::infinity());
    return true;
  }
  for (std::size_t r = 0; r < kept; ++r) {
    const double weight = 1.0 / (s[r] * s[r]);
    for (std::size_t a = 0; a < ff; ++a) {
      const double va = vt[r + a * ff] / norms[a] * weight;
      for (std::size_t b = 0; b < ff; ++b) inner[a * ff + b] += va * (vt[r + b * ff] / norms[b]);
    }
  }
  mark_undetermined(z.get(), m, free, norms.get(), vt.get(), int(kept), threshold / s[kept - 1], undetermined.get());
  if (!z) {
    std::memcpy(cov, inner.get(), mm * mm * sizeof(double));
  } else {
    if (!z_inner_z(z.get(), m, free, inner.get(), cov)) return false;
  }
  // The pseudo-inverse gives an undetermined parameter the variance of the
  // shortest solution only: its variance is unbounded.
  for (std::size_t i = 0; i < mm; ++i) {
    if (!undetermined[i]) continue;
    for (std::size_t j = 0; j < mm; ++j) cov[i * mm + j] = cov[j * mm + i] = std::numeric_limits<double>::infinity();
  }
  return true;
}
bool pivoted_qr(const double* jw, int n, int m, const double* v, double* factored, int* pivots, double* qtv) {
  const std::size_t mm = std::size_t(m), nn = std::size_t(n);
  if (!all_finite(jw, nn * mm) || !all_finite(v, nn)) {
    fill(factored, nn * mm, std::numeric_limits<double>::quiet_NaN());
    for (int j = 0; j < m; ++j) pivots[j] = j;
    fill(qtv, mm, std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  for (std::size_t i = 0; i < nn; ++i)
    for (std::size_t j = 0; j < mm; ++j) factored[i + j * nn] = jw[i * mm + j];
  const int reflectors = std::min(n, m);
  CBuffer<int> jpvt(calloc_array<int>(Size(m)));  // zero: every column free to move
  CBuffer<double> tau(calloc_array<double>(Size(reflectors)));
  CBuffer<double> qv(calloc_array<double>(Size(n)));
  if (!jpvt || !tau || !qv) return false;
  int lwork = -1, info = 0;
  double optimal = 0;
  R::geqp3(&n, &m, factored, &n, jpvt.get(), tau.get(), &optimal, &lwork, &info);
  if (info != 0) return false;
  lwork = std::max(1, int(optimal));
  CBuffer<double> work(calloc_array<double>(Size(lwork)));
  if (!work) return false;
  R::geqp3(&n, &m, factored, &n, jpvt.get(), tau.get(), work.get(), &lwork, &info);
  if (info != 0) return false;
  for (std::size_t j = 0; j < mm; ++j) pivots[j] = jpvt[j] - 1;

  // Q^T v = H_r ... H_1 v with H_k = I - tau_k u_k u_k^T, u_k = (0, .., 1, factored[k+1 .., k]).
  std::memcpy(qv.get(), v, nn * sizeof(double));
  for (std::size_t r = 0; r < std::size_t(reflectors); ++r) {
    const double* u = factored + r * nn;
    double dot = qv[r];
    for (std::size_t i = r + 1; i < nn; ++i) dot += u[i] * qv[i];
    const double w = tau[r] * dot;
    qv[r] -= w;
    for (std::size_t i = r + 1; i < nn; ++i) qv[i] -= w * u[i];
  }
  for (std::size_t j = 0; j < mm; ++j) qtv[j] = j < std::size_t(reflectors) ? qv[j] : 0.0;
  return true;
}

}  // namespace ombrix::solution
