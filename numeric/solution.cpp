// Statistics at a fit's solution (solution.h).
#include "solution.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "householder.h"
#include "internal.h"
#include "losses.h"

namespace ombrix {
namespace {

using R = Real<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

void fill(double* v, std::size_t count, double value) { std::fill_n(v, count, value); }

// ---- the covariance ----

// Up to this many columns (and householder::kSmallEntries entries) a tall
// matrix's SVD is done here, by a QR factorisation and one-sided Jacobi
// rotations of R: no LAPACK call, whose overhead is most of the time of a
// small fit's statistics, and singular values to high relative accuracy.
constexpr int kSmallSvdColumns = 16;
constexpr int kJacobiSweeps = 60;

// One-sided Jacobi (Hestenes) on the columns of the column-major cols x cols
// matrix a: rotations from the right orthogonalise its columns, accumulated
// in v (column-major, started at the identity).  False when the sweeps do
// not settle.
bool jacobi_orthogonalise(double* a, double* v, std::size_t cols) {
  const double tolerance = R::eps;
  for (int sweep = 0; sweep < kJacobiSweeps; ++sweep) {
    bool rotated = false;
    for (std::size_t p = 0; p + 1 < cols; ++p)
      for (std::size_t q = p + 1; q < cols; ++q) {
        double* ap = a + p * cols;
        double* aq = a + q * cols;
        const double alpha = householder::dot(ap, ap, 0, cols), beta = householder::dot(aq, aq, 0, cols);
        const double gamma = householder::dot(ap, aq, 0, cols);
        if (!(std::fabs(gamma) > tolerance * std::sqrt(alpha) * std::sqrt(beta))) continue;
        rotated = true;
        const double zeta = (beta - alpha) / (2 * gamma);
        const double t = std::copysign(1.0, zeta) / (std::fabs(zeta) + std::sqrt(1 + zeta * zeta));
        const double c = 1 / std::sqrt(1 + t * t), sn = c * t;
        for (double* m : {a, v})
          for (std::size_t i = 0; i < cols; ++i) {
            double* mp = m + p * cols;
            double* mq = m + q * cols;
            const double x = mp[i], y = mq[i];
            mp[i] = c * x - sn * y;
            mq[i] = sn * x + c * y;
          }
      }
    if (!rotated) return true;
  }
  return false;
}

// The SVD of right_svd for a small tall matrix: QR, then Jacobi on R; the
// singular values (the columns' norms) in decreasing order.  `work` holds
// 2 cols^2 + cols reals.
bool small_right_svd(int rows, int cols, double* a, double* s, double* vt, double* work) {
  const std::size_t n = std::size_t(rows), m = std::size_t(cols);
  double* tau = work;
  double* r = tau + m;
  double* v = r + m * m;
  householder::householder_qr(a, n, m, tau);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t i = 0; i < m; ++i) {
      r[i + j * m] = i <= j ? a[i + j * n] : 0.0;
      v[i + j * m] = double(i == j);
    }
  if (!jacobi_orthogonalise(r, v, m)) return false;
  std::size_t order[kSmallSvdColumns];
  double norm[kSmallSvdColumns];
  for (std::size_t j = 0; j < m; ++j) {
    order[j] = j;
    norm[j] = householder::stable_norm(r + j * m, m);
  }
  std::stable_sort(order, order + m, [&](std::size_t x, std::size_t y) { return norm[x] > norm[y]; });
  for (std::size_t k = 0; k < m; ++k) {
    s[k] = norm[order[k]];
    for (std::size_t i = 0; i < m; ++i) vt[k + i * m] = v[i + order[k] * m];  // row k of V^T
  }
  return true;
}

bool is_small_svd(int rows, int cols) {
  return rows >= cols && cols <= kSmallSvdColumns && std::size_t(rows) * std::size_t(cols) <= householder::kSmallEntries;
}

// Makes *w the work array of the SVD for rows x cols (small_right_svd's, or
// gesvd("N", "A")'s), asking LAPACK for its length only when the shape
// changed (the length decides LAPACK's blocking, so an SVD always gets the
// one LAPACK asked for at its shape).  False when memory is short.  A query LAPACK refuses leaves w->lwork 0,
// which right_svd reads as a failed SVD.
bool prepare_svd_work(int rows, int cols, SvdWork* w) {
  if (w->lwork > 0 && w->rows == rows && w->cols == cols) return true;
  const int one = 1;
  int lwork = -1, info = 0;
  double optimal = 0, unused = 0;
  if (is_small_svd(rows, cols)) {
    optimal = 2.0 * cols * cols + cols;  // small_right_svd's
  } else {
    R::gesvd("N", "A", &rows, &cols, &unused, &rows, &unused, &unused, &one, &unused, &cols, &optimal, &lwork,
             &info);
  }
  w->rows = rows;
  w->cols = cols;
  w->lwork = 0;
  if (info != 0) return true;
  lwork = std::max(1, int(optimal));
  if (std::size_t(lwork) > w->capacity) {
    w->work.reset(calloc_array<double>(Size(lwork)));
    w->capacity = w->work ? std::size_t(lwork) : 0;
    if (!w->work) return false;
  }
  w->lwork = lwork;
  return true;
}

// The singular values of the column-major rows x cols matrix `a` (destroyed)
// into s (min(rows, cols)) and all its right singular vectors V^T into vt
// (column-major, cols x cols), with the work array `w` prepared for that
// shape (prepare_svd_work).  False when the SVD fails or `a` holds NaN or
// infinity (on which LAPACK's iteration need not end).
bool right_svd(int rows, int cols, double* a, double* s, double* vt, SvdWork* w) {
  if (w->lwork <= 0 || w->rows != rows || w->cols != cols) return false;
  if (!all_finite(a, std::size_t(rows) * std::size_t(cols))) return false;
  if (is_small_svd(rows, cols)) return small_right_svd(rows, cols, a, s, vt, w->work.get());
  const int one = 1;
  int lwork = w->lwork, info = 0;
  double unused = 0;
  R::gesvd("N", "A", &rows, &cols, a, &rows, s, &unused, &one, vt, &cols, w->work.get(), &lwork, &info);
  return info == 0;
}

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

// Z, an orthonormal basis of the null space of the k x m rows g (k > 0), as
// the last m - fixed rows of V^T of their SVD, into *z (m x free,
// column-major) with the number of its columns in *free.  False with *z
// empty when memory is short; true with *z empty and *free -1 when the SVD
// failed.
bool null_space(const double* g, int k, int m, CBuffer<double>* z, int* free) {
  const std::size_t kk = std::size_t(k), mm = std::size_t(m);
  CBuffer<double> gc(calloc_array<double>(Size(k) * Size(m)));
  CBuffer<double> s(calloc_array<double>(Size(std::min(k, m))));
  CBuffer<double> vt(calloc_array<double>(Size(m) * Size(m)));
  SvdWork svd;
  if (!gc || !s || !vt || !prepare_svd_work(k, m, &svd)) return false;
  for (std::size_t i = 0; i < kk; ++i)
    for (std::size_t j = 0; j < mm; ++j) gc[i + j * kk] = g[i * mm + j];
  if (!right_svd(k, m, gc.get(), s.get(), vt.get(), &svd)) {
    *free = -1;
    return true;
  }
  const double threshold = std::max(k, m) * std::numeric_limits<double>::epsilon() * s[0];
  int fixed = 0;
  while (fixed < std::min(k, m) && s[fixed] > threshold) ++fixed;
  *free = m - fixed;
  z->reset(calloc_array<double>(Size(m) * Size(*free)));
  if (!*z) return false;
  for (std::size_t j = 0; j < std::size_t(*free); ++j)
    for (std::size_t i = 0; i < mm; ++i) (*z)[i + j * mm] = vt[(std::size_t(fixed) + j) + i * mm];
  return true;
}

// J Z (Z null: J itself), column-major n x free, into jz; false when an
// entry is not finite.
bool jacobian_times_z(const double* jw, int n, int m, const double* z, int free, double* jz) {
  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  bool finite = true;
  for (std::size_t j = 0; j < std::size_t(free); ++j) {
    double* column = jz + j * nn;
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
  return finite;
}

// Scales the columns of jz (column-major n x free) to unit norm, their norms
// (1 for a zero or non-finite one) into norms.
void unit_columns(double* jz, int n, int free, double* norms) {
  const std::size_t nn = std::size_t(n);
  for (std::size_t j = 0; j < std::size_t(free); ++j) {
    double* column = jz + j * nn;
    double norm2 = 0;
    for (std::size_t i = 0; i < nn; ++i) norm2 += column[i] * column[i];
    const double norm = std::sqrt(norm2);
    norms[j] = norm > 0 && std::isfinite(norm) ? norm : 1.0;
    for (std::size_t i = 0; i < nn; ++i) column[i] /= norms[j];
  }
}

// inner += (Z^T J^T J Z)^+ = D^-1 V S^-2 V^T D^-1 over the `kept` largest
// singular values s, from V^T (free x free, column-major) of the SVD of
// J Z D^-1 and the column norms D (inner: free x free, zero on entry).
void scaled_pseudo_inverse(const double* vt, const double* s, const double* norms, int free, std::size_t kept,
                           double* inner) {
  const std::size_t ff = std::size_t(free);
  for (std::size_t r = 0; r < kept; ++r) {
    const double weight = 1.0 / (s[r] * s[r]);
    for (std::size_t a = 0; a < ff; ++a) {
      const double va = vt[r + a * ff] / norms[a] * weight;
      for (std::size_t b = 0; b < ff; ++b) inner[a * ff + b] += va * (vt[r + b * ff] / norms[b]);
    }
  }
}

// ---- residuals, active constraints, the correction ----

// Which constraints hold with equality at p, within 10 eps of the fit's
// precision relative to the sizes involved: bounds[j] is -1 at the lower
// bound, +1 at the upper one, 0 otherwise; rows[i] is true for an active
// inequality C_i p >= d_i.
template <typename T>
void active_constraints(const T* p, int m, const Constraints<T>& c, signed char* bounds, bool* rows) {
  const double eps = Real<T>::eps;
  for (int j = 0; j < m; ++j) {
    const double pj = p[j], tol = 10 * eps * std::max(1.0, std::fabs(pj));
    bounds[j] = 0;
    if (c.lb && pj <= double(c.lb[j]) + tol) bounds[j] = -1;
    if (c.ub && pj >= double(c.ub[j]) - tol) bounds[j] = 1;
  }
  for (int i = 0; i < c.k2; ++i) {
    const T* row = c.C + std::size_t(i) * m;
    double slack = -double(c.d[i]), size = std::fabs(double(c.d[i]));
    for (int j = 0; j < m; ++j) {
      slack += double(row[j]) * double(p[j]);
      size += std::fabs(double(row[j])) * std::fabs(double(p[j]));
    }
    rows[i] = slack <= 10 * eps * size;
  }
}

// The rows the covariance must respect (row-major, m columns): the
// equalities, a unit row per active bound, the active inequalities.
template <typename T>
int constraint_rows(const Constraints<T>& c, int m, const signed char* bounds, const bool* rows, double* g) {
  int k = 0;
  auto add = [&](const T* row) {
    for (int j = 0; j < m; ++j) g[std::size_t(k) * m + j] = double(row[j]);
    ++k;
  };
  for (int i = 0; i < c.k1; ++i) add(c.A + std::size_t(i) * m);
  for (int j = 0; j < m; ++j)
    if (bounds[j]) {
      std::fill_n(g + std::size_t(k) * m, m, 0.0);
      g[std::size_t(k) * m + j] = 1.0;
      ++k;
    }
  for (int i = 0; i < c.k2; ++i)
    if (rows[i]) add(c.C + std::size_t(i) * m);
  return k;
}

// r = W (y - f) in double from values of the fit's precision (y - f formed
// in that precision); returns sum(r^2).  `scratch` holds n doubles.
template <typename T>
double weighted_residuals(const T* y, const T* f, int n, const Weights<double>& w, double* scratch, double* r) {
  for (int i = 0; i < n; ++i) scratch[i] = double(T(y[i] - f[i]));
  w.apply(scratch, r, n, 1);
  double chisq = 0;
  for (int i = 0; i < n; ++i) chisq += r[i] * r[i];
  return chisq;
}

// Chi-square of the best constant model, the weighted mean of y: the
// denominator of R^2.  `scratch` holds 3 n doubles.
double constant_model_chisq(const double* y, int n, const Weights<double>& w, double* scratch) {
  double* ones = scratch + n;
  double* wy = scratch + 2 * std::size_t(n);
  std::fill_n(scratch, n, 1.0);
  w.apply(scratch, ones, n, 1);
  w.apply(y, wy, n, 1);
  double num = 0, den = 0;
  for (int i = 0; i < n; ++i) {
    num += ones[i] * wy[i];
    den += ones[i] * ones[i];
  }
  const double mean = num / den;
  double total = 0;
  for (int i = 0; i < n; ++i) total += (wy[i] - mean * ones[i]) * (wy[i] - mean * ones[i]);
  return total;
}

// Under a robust loss the covariance is that of the loss-rescaled problem:
// each row of W J weighted by sqrt(rho'), as iteratively reweighted least
// squares would weight it at p.
void rescale_rows_for_loss(int loss, double f_scale, const double* r, int n, int m, double* jw) {
  const std::size_t mm = std::size_t(m);
  for (std::size_t i = 0; i < std::size_t(n); ++i) {
    const double u = r[i] / f_scale;
    const double s = std::sqrt(loss_at(loss, u * u).d1);
    for (std::size_t j = 0; j < mm; ++j) jw[i * mm + j] *= s;
  }
}

// A converged fit stops once chi-square no longer resolves its steps, which
// can leave the last digits short of the minimum.  The Gauss-Newton step
// dp = cov J^T r from the Jacobian at p (within the directions the active
// constraints leave free) recovers them; it is taken when it is a small
// correction (|dp| <= eps^(1/3) |p|), keeps every bound, and does not raise
// chi-square beyond its rounding: each residual y_i - f_i carries an error
// of about eps |y_i|, so chi-square one of up to 2 eps sum |r_i| |y_i| <=
// 2 eps |r| |W y| (taken twice, plus n eps chi-square for the sum itself).
// Fits with inequalities keep their point.  False only when the model failed.
template <typename T>
bool correct(const SolutionProblem<T>& problem, ModelEvaluations<T>& model, T* p, double* scratch,
             SolutionReport<T>* report) {
  const Constraints<T>& c = problem.constraints;
  if (c.C) return true;
  const int m = problem.m, n = problem.n;
  const std::size_t mm = std::size_t(m);
  const double* jw = report->weighted_jac;
  const double* cov = report->cov;
  const double* r = report->r;
  CBuffer<double> gradient(calloc_array<double>(Size(m))), step(calloc_array<double>(Size(m)));
  CBuffer<T> trial(calloc_array<T>(Size(m)));
  CBuffer<double> trial_r(calloc_array<double>(Size(n)));
  if (!gradient || !step || !trial || !trial_r) return true;  // a correction, not worth a MemoryError
  for (int i = 0; i < n; ++i)
    for (std::size_t j = 0; j < mm; ++j) gradient[j] += jw[std::size_t(i) * mm + j] * r[i];
  double step2 = 0, p2 = 0;
  for (std::size_t j = 0; j < mm; ++j) {
    for (std::size_t l = 0; l < mm; ++l) step[j] += cov[j * mm + l] * gradient[l];
    step2 += step[j] * step[j];
    p2 += double(p[j]) * double(p[j]);
  }
  const double eps = Real<T>::eps;
  if (!std::isfinite(step2) || step2 == 0 || step2 > std::cbrt(eps * eps) * p2) return true;
  bool moved = false;
  for (std::size_t j = 0; j < mm; ++j) {
    trial[j] = report->bounds[j] ? p[j] : T(double(p[j]) + step[j]);
    if ((c.lb && trial[j] < c.lb[j]) || (c.ub && trial[j] > c.ub[j])) return true;
    moved = moved || trial[j] != p[j];
  }
  if (!moved) return true;
  const T* trial_f = nullptr;
  if (!model.values_at(trial.get(), &trial_f)) return false;
  const double trial_chisq = weighted_residuals(problem.y, trial_f, n, problem.weights, scratch, trial_r.get());
  double wy2 = 0;
  for (int i = 0; i < n; ++i) wy2 += double(problem.weighted_y[i]) * double(problem.weighted_y[i]);
  const double chisq = report->chisq;
  const double rounding = eps * (4 * std::sqrt(chisq * wy2) + n * chisq);
  if (!(trial_chisq <= chisq + rounding)) return true;
  std::copy_n(trial.get(), m, p);
  std::copy_n(trial_f, n, report->values);
  std::copy_n(trial_r.get(), n, report->r);
  report->chisq = trial_chisq;
  return true;
}

}  // namespace

bool covariance(const double* jw, int n, int m, const double* g, int k, double eps, double* cov, Rank* rank,
                SolutionScratch* scratch) {
  const std::size_t mm = std::size_t(m);
  *rank = Rank{};
  fill(cov, mm * mm, 0.0);
  const bool finite_jacobian = all_finite(jw, std::size_t(n) * mm);

  CBuffer<double> z;  // m x free, column-major; null means Z = I
  int free = m;
  if (k > 0 && !null_space(g, k, m, &z, &free)) return false;
  if (free < 0) {  // the constraints' SVD failed
    fill(cov, mm * mm, kNaN);
    return true;
  }
  rank->free = free;
  if (free == 0) return true;
  if (!finite_jacobian) {
    fill(cov, mm * mm, kNaN);
    return true;
  }

  // J Z with unit-norm columns, and all of its V^T: the null space too.
  // (free <= m: the scratch's n x m and m x m arrays hold them.)
  double* jz = scratch->jz();
  double* norms = scratch->norms();
  const int singular_count = std::min(n, free);
  double* s = scratch->singular_values();
  double* vt = scratch->vt();
  double* inner = scratch->inner();
  bool* undetermined = scratch->undetermined();
  if (!prepare_svd_work(n, free, &scratch->svd())) return false;
  if (!jacobian_times_z(jw, n, m, z.get(), free, jz)) {
    fill(cov, mm * mm, kNaN);
    return true;
  }
  unit_columns(jz, n, free, norms);
  if (!right_svd(n, free, jz, s, vt, &scratch->svd())) {
    fill(cov, mm * mm, kNaN);
    return true;
  }
  if (s[0] == 0) {
    fill(cov, mm * mm, kInfinity);
    return true;
  }

  const double threshold = eps * std::max(n, free) * s[0];
  std::size_t kept = 0;
  while (kept < std::size_t(singular_count) && s[kept] > threshold) ++kept;
  rank->rank = int(kept);
  if (kept == 0) {
    fill(cov, mm * mm, kInfinity);
    return true;
  }
  fill(inner, std::size_t(free) * std::size_t(free), 0.0);
  scaled_pseudo_inverse(vt, s, norms, free, kept, inner);
  mark_undetermined(z.get(), m, free, norms, vt, int(kept), threshold / s[kept - 1], undetermined);
  if (!z) {
    std::memcpy(cov, inner, mm * mm * sizeof(double));
  } else if (!z_inner_z(z.get(), m, free, inner, cov)) {
    return false;
  }
  // The pseudo-inverse gives an undetermined parameter the variance of the
  // shortest solution only: its variance is unbounded.
  for (std::size_t i = 0; i < mm; ++i) {
    if (!undetermined[i]) continue;
    for (std::size_t j = 0; j < mm; ++j) cov[i * mm + j] = cov[j * mm + i] = kInfinity;
  }
  return true;
}

bool residual_qr(const double* jw, const double* r, int n, int m, double* factored, int* pivots, double* qtv) {
  const std::size_t mm = std::size_t(m), nn = std::size_t(n);
  if (!all_finite(jw, nn * mm) || !all_finite(r, nn)) {
    fill(factored, nn * mm, kNaN);
    for (int j = 0; j < m; ++j) pivots[j] = j;
    fill(qtv, mm, kNaN);
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
  for (std::size_t i = 0; i < nn; ++i) qv[i] = -r[i];
  for (std::size_t k = 0; k < std::size_t(reflectors); ++k) {
    const double* u = factored + k * nn;
    double dot = qv[k];
    for (std::size_t i = k + 1; i < nn; ++i) dot += u[i] * qv[i];
    const double w = tau[k] * dot;
    qv[k] -= w;
    for (std::size_t i = k + 1; i < nn; ++i) qv[i] -= w * u[i];
  }
  for (std::size_t j = 0; j < mm; ++j) qtv[j] = j < std::size_t(reflectors) ? qv[j] : 0.0;
  return true;
}

bool SolutionScratch::reserve(int n, int m, int rows) {
  if (n <= n_ && m <= m_ && rows <= rows_) return true;
  n = std::max(n, n_);
  m = std::max(m, m_);
  rows = std::max(rows, rows_);
  const Size nm = Size(n) * Size(m), mm = Size(m) * Size(m);
  CBuffer<double> residuals(calloc_array<double>(Size(3) * Size(n)));
  CBuffer<double> g(calloc_array<double>((Size(m) + Size(rows)) * Size(m)));
  CBuffer<double> unweighted(calloc_array<double>(nm)), jz(calloc_array<double>(nm));
  CBuffer<double> norms(calloc_array<double>(Size(m))), s(calloc_array<double>(Size(m)));
  CBuffer<double> vt(calloc_array<double>(mm)), inner(calloc_array<double>(mm));
  CBuffer<bool> undetermined(calloc_array<bool>(Size(m)));
  if (!residuals || !g || !unweighted || !jz || !norms || !s || !vt || !inner || !undetermined) return false;
  // the SVD of the covariance when nothing is fixed: n x m
  if (n > 0 && m > 0 && !prepare_svd_work(n, m, &svd_)) return false;
  residuals_ = std::move(residuals);
  g_ = std::move(g);
  unweighted_ = std::move(unweighted);
  jz_ = std::move(jz);
  norms_ = std::move(norms);
  s_ = std::move(s);
  vt_ = std::move(vt);
  inner_ = std::move(inner);
  undetermined_ = std::move(undetermined);
  n_ = n;
  m_ = m;
  rows_ = rows;
  return true;
}

template <typename T>
SolutionOutcome summarise_solution(const SolutionProblem<T>& problem, T* p, const T* jac, int stop,
                                   ModelEvaluations<T>* correction, SolutionReport<T>* report,
                                   SolutionScratch* scratch) {
  const int m = problem.m, n = problem.n;
  const Constraints<T>& c = problem.constraints;
  SolutionScratch own;
  if (!scratch) scratch = &own;
  if (!scratch->reserve(n, m, c.k1 + c.k2)) return SolutionOutcome::kOutOfMemory;
  double* residual_scratch = scratch->residuals();

  report->chisq = weighted_residuals(problem.y, report->values, n, problem.weights, residual_scratch, report->r);
  std::copy_n(jac, std::size_t(n) * std::size_t(m), scratch->unweighted());
  problem.weights.apply(scratch->unweighted(), report->weighted_jac, n, m);
  if (problem.loss != OMBRIX_LOSS_LINEAR)
    rescale_rows_for_loss(problem.loss, problem.f_scale, report->r, n, m, report->weighted_jac);

  active_constraints(p, m, c, report->bounds, report->rows);
  const int g_rows = constraint_rows(c, m, report->bounds, report->rows, scratch->g());
  if (!covariance(report->weighted_jac, n, m, scratch->g(), g_rows, problem.jacobian_accuracy, report->cov,
                  &report->rank, scratch))
    return SolutionOutcome::kOutOfMemory;
  if (correction && (stop == kSmallGradient || stop == kSmallStep) &&
      !correct(problem, *correction, p, residual_scratch, report))
    return SolutionOutcome::kModelFailed;
  report->total = constant_model_chisq(problem.y64, n, problem.weights, residual_scratch);
  return SolutionOutcome::kDone;
}

template SolutionOutcome summarise_solution<double>(const SolutionProblem<double>&, double*, const double*, int,
                                                    ModelEvaluations<double>*, SolutionReport<double>*,
                                                    SolutionScratch*);
template SolutionOutcome summarise_solution<float>(const SolutionProblem<float>&, float*, const float*, int,
                                                   ModelEvaluations<float>*, SolutionReport<float>*,
                                                   SolutionScratch*);

}  // namespace ombrix
