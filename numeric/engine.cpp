// Trust-region Levenberg-Marquardt engine: minimises sum_i C^2 rho(r_i^2 / C^2)
// with r = w (y - f(p)), the chi-square ||r||^2 for the linear loss.
//
// Methods:
// - Damping scaled by the Jacobian's column norms, D = diag of their running
//   maximum (More, "The Levenberg-Marquardt algorithm: implementation and
//   theory", 1978), which decays slowly toward the current norms, or of the
//   current norms (Marquardt 1963), so the iteration does not depend on the
//   units of the parameters.
// - Each damped step (J^T J + mu D^2) dp = J^T r is solved without forming
//   J^T J: J = QR once per Jacobian, then for each mu the small problem
//   [R; sqrt(mu) D] dp ~ [Q^T r; 0] by Givens rotations (More's qrsolv).
// - mu follows the gain ratio rho = actual / predicted reduction: after an
//   accepted step mu *= max(1/3, 1 - (2 rho - 1)^3), twice that below
//   rho = 1/4, after a rejected one mu *= nu and nu doubles (Nielsen,
//   "Damping parameter in Marquardt's method", 1999).
// - With the linear loss and an exact Jacobian, a secant estimate S of the
//   residuals' own curvature, sum_i r_i d2r_i/dp2, which Gauss-Newton
//   drops, is updated after each accepted step (Dennis, Gay and Welsch, "An
//   adaptive nonlinear least-squares algorithm", 1981), and the steps solve
//   (J^T J + S + mu D^2) dp = J^T r once S has predicted the reductions of
//   two accepted steps in a row better than J^T J alone.  Where the residuals at the minimum are not small,
//   Gauss-Newton converges only linearly, each step falling short or
//   overshooting by their curvature; with S a noisy fit reaches the rounding
//   level in about half the iterations.
// - After a step with rho > 3/4 the undamped Gauss-Newton step is tried when
//   it is at most twice that step's length (More's rule that the damping
//   vanishes when the Gauss-Newton step lies inside the trust region): a
//   linear problem ends after one damped and one exact step.
// - Convergence: the classical tests on the relative reduction (ftol), the
//   scaled step (xtol) and the cosine between r and the columns of the
//   current Jacobian (gtol); a zero-residual fit ends once chi-square is at
//   the rounding level of the data and model values.
// - A trial point where the model or the Jacobian is not finite is rejected
//   like a point that does not reduce the loss.
// - Optional geodesic acceleration (Transtrum and Sethna, "Improvements to
//   the Levenberg-Marquardt algorithm for nonlinear least-squares
//   minimization", 2012): the second directional derivative along the step v
//   by a finite difference gives a correction a; the step v + a/2 is tried
//   when 2 ||D a|| / ||D v|| <= alpha.
// - Robust losses rescale the Jacobian's rows by s = sqrt(rho' + 2 rho'' z)
//   and the residuals by rho' / s (Triggs, McLauchlan, Hartley and
//   Fitzgibbon, "Bundle adjustment - a modern synthesis", 2000), so the same
//   Gauss-Newton model applies.
// - Near the solution the gain ratio measures rounding only: a step whose
//   predicted reduction is below the loss's rounding is accepted unless the
//   loss rises beyond it, and the run ends when such steps stop contracting.
//   With forward differences, central ones take over at that point.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "differences.h"
#include "engine.h"
#include "householder.h"
#include "engine_steps.h"
#include "losses.h"

namespace ombrix {
namespace {

using householder::apply_qt;
using householder::householder_qr;

// ---- small vector helpers ------------------------------------------------------

// ||D v||
template <typename T>
T scaled_norm(const T* D, const T* v, int m) {
  T s = 0;
  for (int j = 0; j < m; ++j) s += (D[j] * v[j]) * (D[j] * v[j]);
  return std::sqrt(s);
}

// R v for the upper triangle of column-major R (leading dimension ld).
template <typename T>
void upper_times(const T* R, std::size_t ld, const T* v, T* out, int m) {
  for (int i = 0; i < m; ++i) {
    T s = 0;
    for (int j = i; j < m; ++j) s += R[i + j * ld] * v[j];
    out[i] = s;
  }
}

// ---- losses ----------------------------------------------------------------------

// The minimised sum: ||r||^2, or C^2 sum rho(r_i^2 / C^2).
template <typename T>
T loss_sum(int loss, T f_scale, const T* r, int n) {
  T s = 0;
  if (loss == OMBRIX_LOSS_LINEAR) {
    for (int i = 0; i < n; ++i) s += r[i] * r[i];
    return s;
  }
  for (int i = 0; i < n; ++i) {
    const T u = r[i] / f_scale;
    s += loss_at(loss, u * u).rho;
  }
  return s * f_scale * f_scale;
}

// ---- workspace ------------------------------------------------------------------------

// Length of LAPACK's work array: the largest of the optimal sizes of the
// QR factorisation, the application of Q^T and the SVD, for these m and n.
template <typename T>
int lapack_work_length(int m, int n) {
  int info = 0, lwork = -1, one = 1;
  T query = 0, dummy = 0;
  Real<T>::geqrf(&n, &m, &dummy, &n, &dummy, &query, &lwork, &info);
  T longest = std::max(query, T(m));
  Real<T>::ormqr("L", "T", &n, &one, &m, &dummy, &n, &dummy, &dummy, &n, &query, &lwork, &info);
  longest = std::max(longest, query);
  Real<T>::gesvd("N", "A", &m, &m, &dummy, &m, &dummy, &dummy, &one, &dummy, &m, &query, &lwork, &info);
  longest = std::max(longest, query);
  return longest < T(INT_MAX / 2) ? int(longest) + 1 : -1;
}

constexpr int kVectorsM = 15;  // m-vectors of the workspace
constexpr int kVectorsN = 7;   // n-vectors

template <typename T>
Size workspace_reals(int m, int n, int lwork) {
  if (lwork < 0) return Size::invalid();
  return Size(kVectorsM) * m + Size(kVectorsN) * n + Size(3) * m * m + Size(2) * n * m + Size(lwork);
}

// The named arrays of one run, carved from one block.
template <typename T>
struct Workspace {
  // m-vectors; old_grad, secant_y and secant_ysharp carry a step's secant
  // pair from before its factorisation to after
  T *trial_p, *v, *accel, *step, *D, *qtr, *grad, *colnorm, *tau, *rhs, *givens_row, *perturbed, *old_grad,
      *secant_y, *secant_ysharp;
  // n-vectors
  T *f, *trial_f, *r, *trial_r, *loss_scale, *scratch1, *scratch2;
  // matrices: Givens scratch (or the secant model's Cholesky factor), V^T
  // and the secant curvature S (m x m); the Jacobian as evaluated and the QR
  // factors of the scaled Jacobian (n x m)
  T *givens, *vt, *curvature, *jac, *qr;
  T* lapack;
  int lwork;

  void carve(T* base, int m, int n, int lwork_) {
    const std::size_t mm = std::size_t(m), nn = std::size_t(n);
    T* at = base;
    for (T** slot : {&trial_p, &v, &accel, &step, &D, &qtr, &grad, &colnorm, &tau, &rhs, &givens_row, &perturbed,
                     &old_grad, &secant_y, &secant_ysharp}) {
      *slot = at;
      at += mm;
    }
    for (T** slot : {&f, &trial_f, &r, &trial_r, &loss_scale, &scratch1, &scratch2}) {
      *slot = at;
      at += nn;
    }
    givens = at;
    vt = givens + mm * mm;
    curvature = vt + mm * mm;
    jac = curvature + mm * mm;
    qr = jac + nn * mm;
    lapack = qr + nn * mm;
    lwork = lwork_;
  }
};

// ---- evaluations --------------------------------------------------------------------------

enum class Outcome { kFinite, kNonFinite, kAborted };

// The caller's problem and counters: every model and Jacobian call goes
// through here, so the counts and the abort test are kept in one place.
template <typename T>
struct Problem {
  Callback<T> f, jac;
  const T *y, *weights;
  int m, n;
  const SolveOptions<T>& o;
  void* user_data;
  int nfev = 0, njev = 0;
  bool aborted = false;
  bool polishing = false;  // forward differences have given way to central ones
  T resolution = 0;  // rounding error of the last loss sum computed by residuals()

  bool central_now() const { return o.differences == OMBRIX_DIFFERENCES_CENTRAL || polishing; }

  // The relative accuracy of the Jacobian the steps use now: the caller's
  // (eps for an analytic one), or that of the differences taken here.
  T jacobian_accuracy() const {
    if (jac) return o.jacobian_accuracy > 0 ? T(o.jacobian_accuracy) : Real<T>::eps;
    return ombrix::jacobian_accuracy<T>(false, central_now() ? Differences::kCentral : Differences::kForward,
                                        T(o.difference_step));
  }

  void after_call() {
    if (o.should_stop && o.should_stop(user_data)) aborted = true;
  }

  // Counts a model evaluation just made (by the callback or the caller).
  void counted_values() {
    ++nfev;
    after_call();
  }

  // f(p) into f_out, r = w (y - f) into r_out and the loss sum into cost.
  Outcome residuals(const T* p, T* f_out, T* r_out, T& cost) {
    f(p, f_out, m, n, user_data);
    counted_values();
    return residuals_of(f_out, r_out, cost);
  }

  // r = w (y - f) into r_out and the loss sum into cost, for model values
  // f_out just evaluated (and counted).
  Outcome residuals_of(const T* f_out, T* r_out, T& cost) {
    if (aborted) return Outcome::kAborted;
    for (int i = 0; i < n; ++i) {
      const T e = (y ? y[i] : T(0)) - f_out[i];
      r_out[i] = weights ? weights[i] * e : e;
    }
    if (!all_finite(r_out, std::size_t(n))) return Outcome::kNonFinite;
    cost = loss_sum(o.loss, o.f_scale, r_out, n);
    // Each r_i carries an error of about eps w_i (|y_i| + |f_i|), the sum
    // about eps sqrt(n) cost.
    T spread = 0;
    for (int i = 0; i < n; ++i)
      spread += std::fabs(r_out[i]) * (weights ? std::fabs(weights[i]) : T(1)) *
                ((y ? std::fabs(y[i]) : T(0)) + std::fabs(f_out[i]));
    resolution = Real<T>::eps * (T(2) * spread + std::sqrt(T(n)) * cost);
    return std::isfinite(cost) ? Outcome::kFinite : Outcome::kNonFinite;
  }

  T difference_step(const T* p, int j, T base, T& room_lo, T& room_hi) const;
};

// Step h_j = base * max(|p_j|, typical_j) (|p_j|, or 1 at zero, without
// typical values), and the room to the bounds on either side.
template <typename T>
T Problem<T>::difference_step(const T* p, int j, T base, T& room_lo, T& room_hi) const {
  const T a = std::fabs(p[j]);
  const T scale = o.typical ? std::max(a, std::fabs(o.typical[j])) : (a > 0 ? a : T(1));
  room_lo = o.lower ? std::max(p[j] - o.lower[j], T(0)) : std::numeric_limits<T>::infinity();
  room_hi = o.upper ? std::max(o.upper[j] - p[j], T(0)) : std::numeric_limits<T>::infinity();
  return base * scale;
}

// A one-sided step of length h that reaches p + reach h: forward when that
// stays inside the bounds, else backward, else shortened toward the side
// with more room.
template <typename T>
T inside_step(T h, T reach, T room_lo, T room_hi) {
  if (reach * h <= room_hi) return h;
  if (reach * h <= room_lo) return -h;
  return room_hi >= room_lo ? room_hi / reach : -(room_lo / reach);
}

// ---- linear algebra of one iteration --------------------------------------------------

// Up to householder::kSmallEntries Jacobian entries the QR factorisation
// is done here rather than by LAPACK; both store Q as geqrf does.
constexpr std::size_t kSmallQr = householder::kSmallEntries;

// QR of ws.qr (n x m) and Q^T b, here for small problems, else by LAPACK.
template <typename T>
bool factor_qr(Workspace<T>& ws, int n, int m, T* b) {
  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  if (nn * mm <= kSmallQr) {
    householder_qr(ws.qr, nn, mm, ws.tau);
    apply_qt(ws.qr, nn, mm, ws.tau, b);
    return true;
  }
  int info = 0, one = 1;
  Real<T>::geqrf(&n, &m, ws.qr, &n, ws.tau, ws.lapack, &ws.lwork, &info);
  if (info != 0) return false;
  Real<T>::ormqr("L", "T", &n, &one, &m, ws.qr, &n, ws.tau, b, &n, ws.lapack, &ws.lwork, &info);
  return info == 0;
}

// b <- Q^T b for the current factors.
template <typename T>
bool multiply_qt(Workspace<T>& ws, int n, int m, T* b) {
  if (std::size_t(n) * std::size_t(m) <= kSmallQr) {
    apply_qt(ws.qr, std::size_t(n), std::size_t(m), ws.tau, b);
    return true;
  }
  int info = 0, one = 1;
  Real<T>::ormqr("L", "T", &n, &one, &m, ws.qr, &n, ws.tau, b, &n, ws.lapack, &ws.lwork, &info);
  return info == 0;
}

// What the factorisation of the current Jacobian gives the iteration.
template <typename T>
struct Factor {
  T gradient_inf = 0;     // ||J~^T r~||_inf
  T scaled_gradient = 0;  // max_j |(J~^T r~)_j| / (||J~_j|| sqrt(loss sum)): gradient_cosine
  T value_scale = 0;      // ||w (|y| + |f|)||, see rounding_scale
};

// ||s|| with s_i = w_i (|y_i| + |f_i|), the size of the values each residual
// is computed from: a residual vector below eps ||s|| is zero to their rounding.
template <typename T>
T rounding_scale(const Problem<T>& pr, const T* f) {
  const std::size_t nn = std::size_t(pr.n);
  auto size = [&](std::size_t i) {
    const T s = (pr.y ? std::fabs(pr.y[i]) : T(0)) + std::fabs(f[i]);
    return pr.weights ? s * std::fabs(pr.weights[i]) : s;
  };
  T plain = 0;
  for (std::size_t i = 0; i < nn; ++i) plain += size(i) * size(i);
  if (plain <= std::numeric_limits<T>::max() && plain >= std::numeric_limits<T>::min() / Real<T>::eps)
    return std::sqrt(plain);
  T largest = 0, sum = 0;  // scaled by the largest against overflow and underflow, as stable_norm
  for (std::size_t i = 0; i < nn; ++i) largest = std::max(largest, size(i));
  if (largest > 0)
    for (std::size_t i = 0; i < nn; ++i) sum += (size(i) / largest) * (size(i) / largest);
  return largest * std::sqrt(sum);
}

// Where a loss flattens (huber beyond f_scale, cauchy and arctan far out)
// rho' + 2 rho'' z drops to zero or below while rho' stays: a row's
// curvature would vanish with its gradient intact, and the steps from a
// start far from the data would grow without bound (by 1/eps with an eps
// floor), through points where the model overflows.  The curvature is kept
// at this fraction of rho', the weight of plain reweighting.  The minimum
// is unchanged: the gradient J~^T r~ = J^T w^2 rho' r does not depend on js.
template <typename T>
constexpr T kFlatLossCurvature = T(0.25);

// J~ = diag(w js) J (column-major, in ws.qr) and r~ = (rho' / js) r with
// js = sqrt(max(rho' + 2 rho'' z, kFlatLossCurvature rho')) (only the
// weights for the linear loss); then J~ = QR, Q^T r~ and the gradient
// J~^T r~ = R^T (Q^T r~).
template <typename T>
bool factor(const Problem<T>& pr, bool jac_row_major, Workspace<T>& ws, Factor<T>& fac) {
  const int m = pr.m, n = pr.n;
  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  const T C = pr.o.f_scale;
  for (std::size_t i = 0; i < nn; ++i) {
    T js = 1, rscale = 1;
    if (pr.o.loss != OMBRIX_LOSS_LINEAR) {
      const T u = ws.r[i] / C;
      const LossValue<T> l = loss_at(pr.o.loss, u * u);
      const T curvature = std::max(l.d1 + 2 * l.d2 * u * u, kFlatLossCurvature<T> * l.d1);
      js = std::sqrt(std::max(curvature, std::numeric_limits<T>::min()));
      rscale = l.d1 / js;
    }
    ws.loss_scale[i] = js;
    ws.scratch1[i] = rscale * ws.r[i];                          // r~
    ws.scratch2[i] = js * (pr.weights ? pr.weights[i] : T(1));  // row scale of J~
  }
  if (jac_row_major) {  // read the rows in order; the stores may stride
    for (std::size_t i = 0; i < nn; ++i) {
      const T row_scale = ws.scratch2[i];
      const T* row = ws.jac + i * mm;
      for (std::size_t j = 0; j < mm; ++j) ws.qr[i + j * nn] = row_scale * row[j];
    }
  } else {
    for (std::size_t j = 0; j < mm; ++j)
      for (std::size_t i = 0; i < nn; ++i) ws.qr[i + j * nn] = ws.scratch2[i] * ws.jac[i + j * nn];
  }

  fac.value_scale = rounding_scale(pr, ws.f);
  if (!factor_qr(ws, n, m, ws.scratch1)) return false;
  std::memcpy(ws.qtr, ws.scratch1, mm * sizeof(T));

  fac.gradient_inf = 0;
  for (std::size_t j = 0; j < mm; ++j) {
    T g = 0, c2 = 0;
    for (std::size_t i = 0; i <= j; ++i) {
      const T rij = ws.qr[i + j * nn];
      g += rij * ws.qtr[i];
      c2 += rij * rij;
    }
    ws.grad[j] = g;
    ws.colnorm[j] = std::sqrt(c2);  // Q is orthogonal: ||J_j|| = ||R_j||
    fac.gradient_inf = std::max(fac.gradient_inf, std::fabs(g));
  }
  return all_finite(ws.qr, nn * mm);
}

// Per Jacobian, the largest fraction of D_j that the maximum scaling keeps
// when ||J_j|| has fallen below it.  A plain running maximum remembers the
// largest norm of a far start for the rest of the run: that column then stays
// damped as if it were still that steep, and the fit crawls (Chebyquad
// from 10 and 100 times its standard start takes thousands of steps).
// Letting D_j decay by a few per cent per Jacobian forgets such a norm in a
// few dozen steps, slowly enough that D still smooths the jumps of the norms
// from one step to the next, as the running maximum is meant to.
template <typename T>
constexpr T kScaleDecay = T(0.93);

// D after a new Jacobian; the first call (initial) starts from the norms.
// Returns the smallest (D_old / D_new)^2, below 1 when some D_j grew.
template <typename T>
T update_scaling(int scaling, const T* colnorm, T* D, int m, bool initial) {
  T shrink = 1;
  for (int j = 0; j < m; ++j) {
    const T c = colnorm[j] > 0 ? colnorm[j] : T(1);
    const T old = initial ? c : D[j];  // the workspace is not cleared before the first
    if (scaling == OMBRIX_SCALE_IDENTITY) D[j] = 1;
    else if (scaling == OMBRIX_SCALE_COLUMN_NORMS || initial) D[j] = c;
    // A zero column keeps its D: decayed toward zero, it would cut mu by the
    // whole decay once the parameter wakes up.
    else if (colnorm[j] > 0) D[j] = std::max(kScaleDecay<T> * D[j], colnorm[j]);
    if (!initial) shrink = std::min(shrink, (old / D[j]) * (old / D[j]));
  }
  return shrink;
}

// The classical gradient test: the largest cosine between r and a column of
// the current Jacobian, |J_j^T r| / (||J_j|| ||r||).  It uses the current
// column norms, not the damping's D: a running maximum of the norms from a
// far start can exceed them by orders of magnitude and would pass the test
// far from a minimum.  A zero column does not enter.
template <typename T>
T gradient_cosine(const T* grad, const T* colnorm, T cost, int m) {
  if (!(cost > 0)) return 0;
  const T root = std::sqrt(cost);  // ||r|| for the linear loss
  T worst = 0;
  for (int j = 0; j < m; ++j)
    if (colnorm[j] > 0) worst = std::max(worst, std::fabs(grad[j]) / (colnorm[j] * root));
  return worst;
}

// Solves min || [R; sqrt(mu) D] x - [b; 0] || for upper triangular R
// (column-major, leading dimension ldr): each row of sqrt(mu) D is rotated
// into a copy of R by Givens rotations, then back substitution.  A zero
// pivot (only possible for mu D = 0) leaves its component at zero.
template <typename T>
void solve_damped(const T* R, std::size_t ldr, const T* D, T mu, const T* b, T* x, int m, T* S, T* rhs, T* row) {
  const std::size_t mm = std::size_t(m);
  for (std::size_t j = 0; j < mm; ++j)
    for (std::size_t i = 0; i <= j; ++i) S[i + j * mm] = R[i + j * ldr];
  std::memcpy(rhs, b, mm * sizeof(T));
  const T root_mu = std::sqrt(mu);
  for (std::size_t j = 0; j < mm; ++j) {
    const T d = root_mu * D[j];
    if (d == 0) continue;
    std::fill(row + j, row + mm, T(0));
    row[j] = d;
    T extra = 0;  // right-hand side of the rotated row
    for (std::size_t k = j; k < mm; ++k) {
      if (row[k] == 0) continue;
      T& skk = S[k + k * mm];
      T c, s;
      if (std::fabs(skk) < std::fabs(row[k])) {
        const T cot = skk / row[k];
        s = T(0.5) / std::sqrt(T(0.25) + T(0.25) * cot * cot);
        c = s * cot;
      } else {
        const T tan = row[k] / skk;
        c = T(0.5) / std::sqrt(T(0.25) + T(0.25) * tan * tan);
        s = c * tan;
      }
      skk = c * skk + s * row[k];
      const T t = c * rhs[k] + s * extra;
      extra = -s * rhs[k] + c * extra;
      rhs[k] = t;
      for (std::size_t i = k + 1; i < mm; ++i) {
        T& ski = S[k + i * mm];
        const T u = c * ski + s * row[i];
        row[i] = -s * ski + c * row[i];
        ski = u;
      }
    }
  }
  for (std::size_t k = mm; k-- > 0;) {
    T s = rhs[k];
    for (std::size_t i = k + 1; i < mm; ++i) s -= S[k + i * mm] * x[i];
    const T skk = S[k + k * mm];
    x[k] = skk != 0 ? s / skk : T(0);
  }
}

// ---- the secant curvature ----------------------------------------------------------------

// s^T A s for the m x m matrix A (column-major).
template <typename T>
T quadratic_form(const T* A, const T* s, int m) {
  const std::size_t mm = std::size_t(m);
  T total = 0;
  for (std::size_t j = 0; j < mm; ++j) {
    T As = 0;
    for (std::size_t k = 0; k < mm; ++k) As += A[j + k * mm] * s[k];
    total += s[j] * As;
  }
  return total;
}

// Solves (R^T R + S + mu D^2) v = g by Cholesky, the factor in H (m x m);
// false when the matrix is not positive definite.  R is the upper triangle
// of column-major R (leading dimension ldr), S symmetric.
template <typename T>
bool solve_secant_model(const T* R, std::size_t ldr, const T* S, const T* D, T mu, const T* g, T* H, T* v, int m) {
  const std::size_t mm = std::size_t(m);
  for (std::size_t j = 0; j < mm; ++j)  // the lower triangle
    for (std::size_t i = j; i < mm; ++i) {
      T h = S[i + j * mm];
      for (std::size_t k = 0; k <= j; ++k) h += R[k + i * ldr] * R[k + j * ldr];
      H[i + j * mm] = i == j ? h + mu * D[j] * D[j] : h;
    }
  for (std::size_t j = 0; j < mm; ++j) {
    T pivot = H[j + j * mm];
    for (std::size_t k = 0; k < j; ++k) pivot -= H[j + k * mm] * H[j + k * mm];
    if (!(pivot > 0)) return false;
    pivot = std::sqrt(pivot);
    H[j + j * mm] = pivot;
    for (std::size_t i = j + 1; i < mm; ++i) {
      T t = H[i + j * mm];
      for (std::size_t k = 0; k < j; ++k) t -= H[i + k * mm] * H[j + k * mm];
      H[i + j * mm] = t / pivot;
    }
  }
  for (std::size_t i = 0; i < mm; ++i) {  // L u = g, then L^T v = u
    T t = g[i];
    for (std::size_t k = 0; k < i; ++k) t -= H[i + k * mm] * v[k];
    v[i] = t / H[i + i * mm];
  }
  for (std::size_t i = mm; i-- > 0;) {
    T t = v[i];
    for (std::size_t k = i + 1; k < mm; ++k) t -= H[k + i * mm] * v[k];
    v[i] = t / H[i + i * mm];
  }
  return all_finite(v, mm);
}

// The update of S after the step s, given y = g_old - g_new (the change of
// the loss's gradient, with g = J^T r) and y# = (J_old - J_new)^T r_new (the
// part of it that S s should explain), when y^T s > 0: S first shrinks to
// the size s^T y# asks for, then takes the symmetric rank-two correction
// that makes S s = y# (Dennis, Gay and Welsch's update).  z is m scratch reals.
template <typename T>
void update_secant(T* S, const T* s, const T* y, const T* y_sharp, T s_S_s, T* z, int m) {
  const std::size_t mm = std::size_t(m);
  T ys = 0, s_ysharp = 0;
  for (std::size_t j = 0; j < mm; ++j) {
    ys += y[j] * s[j];
    s_ysharp += s[j] * y_sharp[j];
  }
  if (!(ys > 0)) return;
  if (s_S_s != 0) {
    const T shrink = std::min(T(1), std::fabs(s_ysharp) / std::fabs(s_S_s));
    for (std::size_t i = 0; i < mm * mm; ++i) S[i] *= shrink;
  }
  T zs = 0;  // z = y# - S s
  for (std::size_t j = 0; j < mm; ++j) {
    T Ss = 0;
    for (std::size_t k = 0; k < mm; ++k) Ss += S[j + k * mm] * s[k];
    z[j] = y_sharp[j] - Ss;
    zs += z[j] * s[j];
  }
  for (std::size_t j = 0; j < mm; ++j)
    for (std::size_t i = 0; i < mm; ++i)
      S[i + j * mm] += (z[i] * y[j] + y[i] * z[j]) / ys - zs * y[i] * y[j] / (ys * ys);
  if (!all_finite(S, mm * mm)) std::fill(S, S + mm * mm, T(0));
}

// ---- covariance ---------------------------------------------------------------------------

// covariance = pinv(R^T R) chisq / (n - rank) from the SVD of R; singular
// values up to eps max(n, m) s_max count as zero.  A parameter with a
// noticeable component in that null space has an infinite variance and NaN
// covariances.  Returns the rank, 0 (and NaN everywhere) when R is unusable.
template <typename T>
int covariance_from_r(Workspace<T>& ws, int m, int n, T chisq, T* covariance) {
  const std::size_t mm = std::size_t(m), nn = std::size_t(n);
  const T nan = std::numeric_limits<T>::quiet_NaN(), inf = std::numeric_limits<T>::infinity();
  std::fill(covariance, covariance + mm * mm, nan);
  T* A = ws.givens;
  T* s = ws.rhs;
  for (std::size_t j = 0; j < mm; ++j)
    for (std::size_t i = 0; i < mm; ++i) A[i + j * mm] = i <= j ? ws.qr[i + j * nn] : T(0);
  if (!all_finite(A, mm * mm)) return 0;  // the SVD may not return on NaN or infinite input
  int info = 0, one = 1;
  T no_u = 0;
  Real<T>::gesvd("N", "A", &m, &m, A, &m, s, &no_u, &one, ws.vt, &m, ws.lapack, &ws.lwork, &info);
  if (info != 0 || !all_finite(s, mm)) return 0;
  const T threshold = Real<T>::eps * T(std::max(n, m)) * s[0];
  int rank = 0;
  while (rank < m && s[rank] > threshold) ++rank;
  const T factor = n > rank ? chisq / T(n - rank) : inf;
  // ||projection of e_i on the null space||^2, with V(i, k) = vt[k + i m]
  T* null_part = ws.givens_row;  // free once the iteration is over
  for (std::size_t i = 0; i < mm; ++i) {
    null_part[i] = 0;
    for (std::size_t k = std::size_t(rank); k < mm; ++k) null_part[i] += ws.vt[k + i * mm] * ws.vt[k + i * mm];
  }
  const T unidentified = std::sqrt(Real<T>::eps);
  for (std::size_t i = 0; i < mm; ++i)
    for (std::size_t j = 0; j < mm; ++j) {
      if (null_part[i] > unidentified || null_part[j] > unidentified) {
        covariance[i * mm + j] = i == j ? inf : nan;
        continue;
      }
      T c = 0;
      for (std::size_t k = 0; k < std::size_t(rank); ++k)
        c += ws.vt[k + i * mm] * ws.vt[k + j * mm] / (s[k] * s[k]);
      covariance[i * mm + j] = c * factor;
    }
  return rank;
}

// ---- the iteration ------------------------------------------------------------------------

// How far above its rounding error the gradient cosine still counts as
// zero (see Run::gradient_is_small).
template <typename T>
constexpr T kCosineMargin = T(16);

// How far above rounding a step must be for the secant curvature to learn
// from it, and its predicted reduction for the models to be compared (see
// Run::conclude).
template <typename T>
constexpr T kSecantSignal = T(100);

// The relative error of the secant model's predicted reduction above which
// a better Gauss-Newton prediction counts against it.
template <typename T>
constexpr T kSecantMiss = T(0.1);

// Damping (relative to the start's scale) after a non-finite trial point.
template <typename T>
constexpr T kCautiousDamping = T(100);

const char* status_message(int status) {
  switch (status) {
    case OMBRIX_SOLVE_SMALL_GRADIENT: return "the scaled gradient is below gtol";
    case OMBRIX_SOLVE_SMALL_STEP: return "the scaled step is below xtol";
    case OMBRIX_SOLVE_SMALL_REDUCTION: return "the actual and predicted reductions of the loss are below ftol or its rounding level";
    case OMBRIX_SOLVE_ZERO_RESIDUAL: return "the residuals are zero to the rounding of the data and model values";
    case OMBRIX_SOLVE_STALLED: return "the steps became negligible while the gradient is not small: the fit stalled";
    case OMBRIX_SOLVE_ITERATION_LIMIT: return "the iteration limit was reached";
    case OMBRIX_SOLVE_EVALUATION_LIMIT: return "the evaluation limit was reached";
    case OMBRIX_SOLVE_INVALID_VALUES: return "the model or its Jacobian has non-finite values and no finite step was found";
    case OMBRIX_SOLVE_ABORTED: return "stopped by the caller";
    case OMBRIX_SOLVE_LINEAR_ALGEBRA: return "a factorisation of the Jacobian failed";
    default: return "not run";
  }
}

// Why the last trial step was not taken.
enum class Rejection { kNone, kNoReduction, kNonFinite, kRefused, kAcceleration };

// The state of a run between iterations.
template <typename T>
struct Run {
  Run(Problem<T>& problem, Workspace<T>& workspace, T* point) : pr(problem), ws(workspace), p(point) {}

  Problem<T>& pr;
  Workspace<T>& ws;
  T* p;
  Factor<T> fac{};
  T cost = 0, initial_cost = 0;
  T resolution = 0;  // what the loss sum at p resolves
  // Length ||D dp|| of the last step accepted below the resolution (the
  // refinement of a converged fit), infinite otherwise.
  T refinement_step = std::numeric_limits<T>::infinity();
  T mu = 0, nu = 2;
  T trial_mu = 0;  // the damping of the last trial step: mu, or 0 for a Gauss-Newton step
  // Trust radius for the Gauss-Newton step, in ||D dp||: More's rule that the
  // damping vanishes when the undamped step lies inside the trust region,
  // with the region set by the last step's gain ratio.  0 until a step has
  // shown that the linear model holds.
  T radius = 0;
  T damping_unit = 1;  // max_j ||J_j||^2 / D_j^2 at the start: mu for initial_damping 1
  int iterations = 0;
  int status = 0;
  bool have_factor = false;
  bool jacobian_at_p = false;  // ws.jac holds the Jacobian the factors at p come from
  Rejection last = Rejection::kNone;
  // The secant curvature ws.curvature is kept (see update_secant); its
  // model makes the next trial step; the accepted steps in a row it
  // predicted better than the Gauss-Newton model.
  bool secant = false, secant_preferred = false, refinement_switched = false;
  int secant_votes = 0;
  // What the two models predicted for the step being accepted, measured
  // with the factors it was taken from.
  struct SecantCheck {
    T gauss_newton = 0, with_curvature = 0, s_S_s = 0;
  } secant_check;

  // The gradient test for a stop on a small step or reduction: the gradient
  // has to be small at the rounding level of the problem too (or the loss
  // has dropped by a factor eps, where the cosine measures rounding only).
  // The threshold is the square root of the Jacobian's relative accuracy
  // (eps analytic, sqrt(eps) forward and eps^(2/3) central differences), or
  // a margin over the cosine's own rounding if that is larger: r is known
  // to about eps ||s|| (see rounding_scale), which moves J_j^T r by up to
  // eps ||J_j|| ||s|| and the cosine by eps ||s|| / ||r||.  In float32 a
  // close fit has ||r|| / ||s|| below sqrt(eps), and without the margin
  // the last bits of the factorisation would decide between a converged
  // and a stalled fit at the same minimum.
  bool gradient_is_small() const {
    const T eps = Real<T>::eps;
    const T accuracy = std::sqrt(pr.jacobian_accuracy());
    const T rounding = cost > 0 ? kCosineMargin<T> * eps * fac.value_scale / std::sqrt(cost) : T(0);
    return fac.scaled_gradient <= std::max(accuracy, rounding) || cost <= eps * initial_cost;
  }

  // A small step is convergence too when the undamped step from p is
  // within the step tolerance: the linear model's minimum is that close.
  // That is the stop a step tolerance looser than the default asks for,
  // where the gradient is still far above its rounding; damping alone
  // cannot make the undamped step small, as it makes a stalled fit's steps.
  bool undamped_step_is_small() {
    if (!have_factor) return false;
    solve_damped(ws.qr, std::size_t(pr.n), ws.D, T(0), ws.qtr, ws.accel, pr.m, ws.givens, ws.rhs, ws.givens_row);
    return scaled_norm(ws.D, ws.accel, pr.m) <= trial.step_tolerance;
  }

  // A zero-residual fit ends once ||r|| is at the rounding level of the
  // values it is computed from, eps ||s|| (see rounding_scale): further
  // iterations only chase rounding noise toward zero.
  bool residuals_are_rounding() const {
    const T level = Real<T>::eps * fac.value_scale;
    return cost == 0 || cost <= level * level;
  }

  // New Jacobian at the accepted point: factorisation, scaling, gradient.
  bool refactor(bool initial) {
    have_factor = factor(pr, pr.jac != nullptr, ws, fac);
    jacobian_at_p = have_factor;
    if (!have_factor) return false;
    // mu D^2 must not jump where a column norm jumps (a robust loss
    // switching zones, a parameter waking up): mu shrinks with the largest growth.
    mu *= update_scaling(pr.o.scaling, ws.colnorm, ws.D, pr.m, initial);
    fac.scaled_gradient = gradient_cosine(ws.grad, ws.colnorm, cost, pr.m);
    return true;
  }

  // ---- phases ----
  //
  // The run asks for one evaluation at a time, model values or the analytic
  // Jacobian at a point, and moves on when it has them: begin() asks for the
  // first, and supplied() takes each one and asks for the next, until the run
  // has a status.  The serial solve answers through the callbacks; a caller
  // that drives many runs at once can answer them in batches.  Difference
  // Jacobians are asked for column by column (one point, or two for central
  // differences).  Geodesic acceleration still calls the model itself.
  enum class Need { kNothing, kValues, kJacobian };
  enum class Phase { kStart, kStartJacobian, kTrial, kTrialJacobian };
  Need need = Need::kNothing;
  const T* need_at = nullptr;  // the point of the evaluation asked for
  T* need_into = nullptr;      // where its values go (n, or n x m row-major)
  Phase phase = Phase::kStart;

  // What the current trial showed, between its phases.
  struct Trial {
    T dstep = 0, pred = 0, cost = 0, gain_ratio = 0, p_size = 0, step_tolerance = 0;  // p_size: ||D p||
    bool small_step = false, small_reduction = false, below_resolution = false, refined = false,
         switching = false, secant = false, secant_pair = false;
  } trial;

  // Progress through a difference Jacobian at `at` (model values f_at):
  // column j, its step h and the stage (1: f(p + h e_j) asked for, 2: the
  // second point).
  struct DifferenceProgress {
    const T *at = nullptr, *f_at = nullptr;
    T base = 0, h = 0;
    int column = 0, stage = 0;
    bool central = false, two_sided = false;
  } diff;

  void begin();
  void supplied();
  void ask(Need what, const T* at, T* into) {
    need = what;
    need_at = at;
    need_into = into;
  }
  void finish(int why) {
    status = why;
    need = Need::kNothing;
  }

  void start_with_values();
  void start_with_jacobian(Outcome j);
  void next_trial();
  int propose();
  void judge();
  int conclude(Outcome j);
  void continue_or_finish(int why) {
    if (why == 0) next_trial();
    else finish(why);
  }

  void begin_jacobian(const T* at, const T* f_at);
  void difference_values_supplied();
  void next_difference_column();
  void jacobian_done(Outcome j);

  Rejection trial_step(T& pred);
  bool secant_step(T& pred);
  T gauss_newton_reduction(const T* s);
  void measure_secant_step();
  void jacobian_times_residuals(const T* r, T* out) const;
  void learn_secant(T actual, bool vote);
  Rejection accelerate(const T* Rv, T dv);
  void accept(T gain_ratio, T dstep);
  void reject(Rejection why);
  int stop_after_trial(bool small_step, bool small_reduction);
};

// Asks for the model at the start.
template <typename T>
void Run<T>::begin() {
  // The secant pair needs exact gradients; geodesic acceleration models the
  // same curvature its own way.
  secant = pr.o.loss == OMBRIX_LOSS_LINEAR && pr.jac && pr.jacobian_accuracy() <= Real<T>::eps && !pr.o.geodesic;
  if (secant) std::fill(ws.curvature, ws.curvature + std::size_t(pr.m) * std::size_t(pr.m), T(0));
  phase = Phase::kStart;
  ask(Need::kValues, p, ws.f);
}

// Takes the evaluation asked for, made by the caller into need_into, and
// moves the run on to its next request or its status.
template <typename T>
void Run<T>::supplied() {
  if (need == Need::kJacobian) {
    pr.after_call();
    return jacobian_done(pr.aborted ? Outcome::kAborted : Outcome::kFinite);
  }
  pr.counted_values();
  switch (phase) {
    case Phase::kStart: return start_with_values();
    case Phase::kTrial: return judge();
    case Phase::kStartJacobian:
    case Phase::kTrialJacobian: return difference_values_supplied();
  }
}

// The start's residuals; then its Jacobian.
template <typename T>
void Run<T>::start_with_values() {
  const Outcome o = pr.residuals_of(ws.f, ws.r, cost);
  initial_cost = cost;
  resolution = pr.resolution;
  if (o != Outcome::kFinite) return finish(o == Outcome::kAborted ? OMBRIX_SOLVE_ABORTED : OMBRIX_SOLVE_INVALID_VALUES);
  phase = Phase::kStartJacobian;
  begin_jacobian(p, ws.f);
}

// The start's factorisation and damping; then the first trial.
template <typename T>
void Run<T>::start_with_jacobian(Outcome j) {
  if (j != Outcome::kFinite) return finish(j == Outcome::kAborted ? OMBRIX_SOLVE_ABORTED : OMBRIX_SOLVE_INVALID_VALUES);
  if (!refactor(true)) return finish(OMBRIX_SOLVE_LINEAR_ALGEBRA);
  T largest = 0;
  for (int j = 0; j < pr.m; ++j) largest = std::max(largest, (ws.colnorm[j] / ws.D[j]) * (ws.colnorm[j] / ws.D[j]));
  damping_unit = largest > 0 ? largest : T(1);
  mu = T(pr.o.initial_damping) * damping_unit;
  next_trial();
}

// The stopping tests before a trial, then trials until one asks for the
// model at its point or the run ends.
template <typename T>
void Run<T>::next_trial() {
  const SolveOptions<T>& o = pr.o;
  for (;;) {
    int why = 0;
    if (residuals_are_rounding()) why = OMBRIX_SOLVE_ZERO_RESIDUAL;
    else if (fac.scaled_gradient <= T(o.gtol)) why = OMBRIX_SOLVE_SMALL_GRADIENT;
    else if (iterations >= o.max_iterations) why = OMBRIX_SOLVE_ITERATION_LIMIT;
    else if (o.max_evaluations > 0 && pr.nfev >= o.max_evaluations) why = OMBRIX_SOLVE_EVALUATION_LIMIT;
    else why = propose();
    if (why != 0) return finish(why);
    if (need != Need::kNothing) return;
  }
}

// ---- the Jacobian, analytic or by differences, asked for point by point ----

template <typename T>
void Run<T>::begin_jacobian(const T* at, const T* f_at) {
  ++pr.njev;
  if (pr.jac) return ask(Need::kJacobian, at, ws.jac);
  diff.at = at;
  diff.f_at = f_at;
  diff.central = pr.central_now();
  diff.base = ombrix::difference_step<T>(diff.central ? Differences::kCentral : Differences::kForward,
                                        T(pr.o.difference_step));
  diff.column = -1;
  std::memcpy(ws.perturbed, at, std::size_t(pr.m) * sizeof(T));
  next_difference_column();
}

// Forward differences with h = sqrt(eps) scale, central ones with
// h = eps^(1/3) scale; next to a bound the step points inside (a one-sided
// three-point formula for central differences), shortened to fit if needed.
// Asks for f(p + h e_j) of the next column that has a step, or ends the Jacobian.
template <typename T>
void Run<T>::next_difference_column() {
  const T* at = diff.at;
  T* pw = ws.perturbed;
  while (++diff.column < pr.m) {
    const int j = diff.column;
    T room_lo, room_hi;
    T h = pr.difference_step(at, j, diff.base, room_lo, room_hi);
    diff.two_sided = diff.central && h <= room_lo && h <= room_hi;
    if (!diff.two_sided) h = inside_step(h, diff.central ? T(2) : T(1), room_lo, room_hi);
    pw[j] = at[j] + h;
    diff.h = pw[j] - at[j];  // the step actually taken
    if (diff.h != 0) {
      diff.stage = 1;
      return ask(Need::kValues, pw, ws.scratch1);
    }
    T* column = ws.jac + std::size_t(j) * std::size_t(pr.n);
    std::fill(column, column + pr.n, T(0));
  }
  jacobian_done(Outcome::kFinite);
}

// A point of the difference Jacobian has its values: the second point of
// the column, or the column and the next one.
template <typename T>
void Run<T>::difference_values_supplied() {
  if (pr.aborted) return jacobian_done(Outcome::kAborted);
  const int j = diff.column;
  const T h = diff.h;
  const T* at = diff.at;
  T* pw = ws.perturbed;
  if (diff.stage == 1 && diff.central) {
    pw[j] = diff.two_sided ? at[j] - h : at[j] + 2 * h;
    diff.stage = 2;
    return ask(Need::kValues, pw, ws.scratch2);
  }
  const std::size_t nn = std::size_t(pr.n);
  T* column = ws.jac + std::size_t(j) * nn;
  const T *f1 = ws.scratch1, *f2 = ws.scratch2, *fp = diff.f_at;
  if (diff.two_sided) {
    for (std::size_t i = 0; i < nn; ++i) column[i] = (f1[i] - f2[i]) / (2 * h);
  } else if (diff.central) {
    for (std::size_t i = 0; i < nn; ++i) column[i] = (T(-3) * fp[i] + T(4) * f1[i] - f2[i]) / (2 * h);
  } else {
    for (std::size_t i = 0; i < nn; ++i) column[i] = (f1[i] - fp[i]) / h;
  }
  pw[j] = at[j];
  next_difference_column();
}

// The Jacobian is complete (or the caller stopped the run): on to the phase
// that waited for it.
template <typename T>
void Run<T>::jacobian_done(Outcome j) {
  need = Need::kNothing;
  if (j == Outcome::kFinite && !all_finite(ws.jac, std::size_t(pr.n) * std::size_t(pr.m))) j = Outcome::kNonFinite;
  if (phase == Phase::kStartJacobian) return start_with_jacobian(j);
  continue_or_finish(conclude(j));
}

// The trial step into ws.step (v, or v + a/2 with acceleration) and the
// predicted reduction of v; kNone, or why the acceleration refuses the step.
template <typename T>
Rejection Run<T>::trial_step(T& pred) {
  const int m = pr.m;
  const std::size_t nn = std::size_t(pr.n);
  trial_mu = mu;
  if (secant_preferred && secant_step(pred)) return Rejection::kNone;
  if (radius > 0) {  // the Gauss-Newton step, taken when it lies inside the region
    solve_damped(ws.qr, nn, ws.D, T(0), ws.qtr, ws.v, m, ws.givens, ws.rhs, ws.givens_row);
    if (scaled_norm(ws.D, ws.v, m) <= radius) trial_mu = 0;
  }
  if (trial_mu > 0) solve_damped(ws.qr, nn, ws.D, mu, ws.qtr, ws.v, m, ws.givens, ws.rhs, ws.givens_row);
  T* Rv = ws.scratch2;
  upper_times(ws.qr, nn, ws.v, Rv, m);
  T rv2 = 0;
  for (int j = 0; j < m; ++j) rv2 += Rv[j] * Rv[j];
  const T dv = scaled_norm(ws.D, ws.v, m);
  pred = rv2 + 2 * trial_mu * dv * dv;  // ||J v||^2 + 2 mu ||D v||^2
  std::memcpy(ws.step, ws.v, std::size_t(m) * sizeof(T));
  // Below the loss's resolution the second difference is rounding noise.
  if (!pr.o.geodesic || pred <= resolution) return Rejection::kNone;
  return accelerate(Rv, dv);
}

// The step of the secant model into ws.v and ws.step, undamped when it lies
// inside the radius, else damped by mu, and its predicted reduction
// 2 g^T v - v^T (R^T R + S) v; false when the model is not positive
// definite (the Gauss-Newton model steps instead).
template <typename T>
bool Run<T>::secant_step(T& pred) {
  const int m = pr.m;
  const std::size_t nn = std::size_t(pr.n);
  const T* S = ws.curvature;
  trial_mu = radius > 0 && solve_secant_model(ws.qr, nn, S, ws.D, T(0), ws.grad, ws.givens, ws.v, m) &&
                     scaled_norm(ws.D, ws.v, m) <= radius
                 ? T(0)
                 : mu;
  if (trial_mu > 0 && !solve_secant_model(ws.qr, nn, S, ws.D, mu, ws.grad, ws.givens, ws.v, m)) return false;
  pred = gauss_newton_reduction(ws.v) - quadratic_form(S, ws.v, m);
  std::memcpy(ws.step, ws.v, std::size_t(m) * sizeof(T));
  trial.secant = true;
  return true;
}

// The reduction the Gauss-Newton model at p predicts for the step s,
// 2 g^T s - ||R s||^2 (R s into ws.scratch2).
template <typename T>
T Run<T>::gauss_newton_reduction(const T* s) {
  T* Rs = ws.scratch2;
  upper_times(ws.qr, std::size_t(pr.n), s, Rs, pr.m);
  T gs = 0, rs2 = 0;
  for (int j = 0; j < pr.m; ++j) {
    gs += ws.grad[j] * s[j];
    rs2 += Rs[j] * Rs[j];
  }
  return 2 * gs - rs2;
}

// Before the factors move to the accepted point: the step s = p_new - p
// into ws.step and g into ws.old_grad, and what each model predicted for s
// (J^T r_new is in ws.secant_ysharp already, see judge).
template <typename T>
void Run<T>::measure_secant_step() {
  const int m = pr.m;
  const std::size_t mm = std::size_t(m);
  for (std::size_t j = 0; j < mm; ++j) ws.step[j] = ws.trial_p[j] - p[j];
  std::memcpy(ws.old_grad, ws.grad, mm * sizeof(T));
  secant_check.gauss_newton = gauss_newton_reduction(ws.step);
  secant_check.s_S_s = quadratic_form(ws.curvature, ws.step, m);
  secant_check.with_curvature = secant_check.gauss_newton - secant_check.s_S_s;
}

// (W J)^T r for the caller's Jacobian at p (row-major, unweighted) and
// weighted residuals r: the secant pair's J^T r_new, in one pass over J
// (the linear loss: no rescaling of the rows).
template <typename T>
void Run<T>::jacobian_times_residuals(const T* r, T* out) const {
  const std::size_t nn = std::size_t(pr.n), mm = std::size_t(pr.m);
  std::fill(out, out + mm, T(0));
  for (std::size_t i = 0; i < nn; ++i) {
    const T wr = pr.weights ? pr.weights[i] * r[i] : r[i];
    const T* row = ws.jac + i * mm;
    for (std::size_t j = 0; j < mm; ++j) out[j] += row[j] * wr;
  }
}

// After the factorisation at the accepted point: S learns the step, and its
// model makes the next step once it has predicted two steps in a row better
// than the Gauss-Newton model (one lucky prediction in a curved valley,
// where neither model holds, would only unsettle the damping).
template <typename T>
void Run<T>::learn_secant(T actual, bool vote) {
  const std::size_t mm = std::size_t(pr.m);
  if (vote) {
    const T secant_error = std::fabs(actual - secant_check.with_curvature);
    const T gauss_newton_error = std::fabs(actual - secant_check.gauss_newton);
    // Against S only where it mispredicted noticeably: near the minimum of a
    // noisy fit both predict to within rounding of the comparison, and
    // Gauss-Newton there may hardly contract.
    if (secant_error < gauss_newton_error) secant_votes = std::max(secant_votes, 0) + 1;
    else if (secant_error > kSecantMiss<T> * std::fabs(secant_check.with_curvature))
      secant_votes = std::min(secant_votes, 0) - 1;
    if (secant_votes >= 2) secant_preferred = true;
    if (secant_votes <= -2) secant_preferred = false;
  }
  for (std::size_t j = 0; j < mm; ++j) {
    ws.secant_y[j] = ws.old_grad[j] - ws.grad[j];
    ws.secant_ysharp[j] -= ws.grad[j];
  }
  update_secant(ws.curvature, ws.step, ws.secant_y, ws.secant_ysharp, secant_check.s_S_s, ws.rhs, pr.m);
}

// The step v + a/2 into ws.step, given R v and ||D v||; kNone, or why the
// acceleration a refuses the step.  a solves the damped system for the
// second directional derivative of the (rescaled) model along v,
// f_vv ~ (2/h) ((r(p) - r(p + h v)) / h - J v), of which only Q^T f_vv is needed.
template <typename T>
Rejection Run<T>::accelerate(const T* Rv, T dv) {
  const int m = pr.m;
  const std::size_t nn = std::size_t(pr.n);
  const T h = T(pr.o.geodesic_h);
  for (int j = 0; j < m; ++j) ws.trial_p[j] = p[j] + h * ws.v[j];
  if (pr.o.accept_point && !pr.o.accept_point(ws.trial_p, m, pr.user_data)) return Rejection::kRefused;
  T unused;
  const Outcome o = pr.residuals(ws.trial_p, ws.trial_f, ws.trial_r, unused);
  if (o != Outcome::kFinite) return Rejection::kNonFinite;
  for (std::size_t i = 0; i < nn; ++i) ws.scratch1[i] = ws.loss_scale[i] * (ws.r[i] - ws.trial_r[i]);
  if (!multiply_qt(ws, pr.n, m, ws.scratch1)) return Rejection::kAcceleration;
  for (int j = 0; j < m; ++j) ws.rhs[j] = -(T(2) / h) * (ws.scratch1[j] / h - Rv[j]);
  std::memcpy(ws.scratch2, ws.rhs, std::size_t(m) * sizeof(T));  // R v is no longer needed
  solve_damped(ws.qr, nn, ws.D, trial_mu, ws.scratch2, ws.accel, m, ws.givens, ws.rhs, ws.givens_row);
  if (!all_finite(ws.accel, std::size_t(m)) || 2 * scaled_norm(ws.D, ws.accel, m) > T(pr.o.geodesic_alpha) * dv)
    return Rejection::kAcceleration;
  // The gain ratio keeps the velocity's predicted reduction: the linear
  // model cannot see the curvature that the acceleration follows.
  for (int j = 0; j < m; ++j) ws.step[j] = ws.v[j] + T(0.5) * ws.accel[j];
  return Rejection::kNone;
}

template <typename T>
void Run<T>::accept(T gain_ratio, T dstep) {
  // More's trust-region update, applied to the radius of the next
  // Gauss-Newton step: twice this step after a very successful one (the
  // linear model holds), closed otherwise.
  radius = gain_ratio > T(0.75) ? 2 * dstep : T(0);
  const T t = 2 * gain_ratio - 1;
  mu *= std::max(T(1) / T(3), T(1) - t * t * t);
  // Below 1/4 the linear model predicted the reduction poorly: the next
  // step is held back as after a rejected one (More's radius halves there,
  // Nielsen's factor alone would leave mu within a factor 2).
  if (gain_ratio < T(0.25)) mu *= 2;
  mu = std::max(mu, std::numeric_limits<T>::min());
  nu = 2;
  last = Rejection::kNone;
}

// A non-finite trial point says the linear model is useless that far out:
// mu jumps at least to the cautious level of a far start, instead of
// creeping up by nu (the shorter steps that follow could still be long
// enough to cross a region where the model saturates).
template <typename T>
void Run<T>::reject(Rejection why) {
  radius = 0;
  // The Gauss-Newton model makes the next step, until the secant one predicts better again.
  if (trial.secant) {
    secant_preferred = false;
    secant_votes = 0;
  }
  // A rejected Gauss-Newton step says nothing about mu: the damped step comes next.
  if (trial_mu > 0) {
    mu *= nu;
    nu *= 2;
  }
  if (why == Rejection::kNonFinite) mu = std::max(mu, kCautiousDamping<T> * damping_unit);
  last = why;
}

// The status a trial ends the run with, or 0 to go on.
template <typename T>
int Run<T>::stop_after_trial(bool small_step, bool small_reduction) {
  if (pr.aborted) return OMBRIX_SOLVE_ABORTED;
  if (!small_step && !small_reduction && std::isfinite(mu)) return 0;
  if (gradient_is_small()) return small_step ? OMBRIX_SOLVE_SMALL_STEP : OMBRIX_SOLVE_SMALL_REDUCTION;
  if (small_step && undamped_step_is_small()) return OMBRIX_SOLVE_SMALL_STEP;
  return last == Rejection::kNonFinite ? OMBRIX_SOLVE_INVALID_VALUES : OMBRIX_SOLVE_STALLED;
}

// A trial, up to its evaluation: the step and the trial point, then asks
// for the model there.  Returns 0 having asked (or to go on after a step
// refused before any evaluation), else the status the run ends with.
template <typename T>
int Run<T>::propose() {
  const int m = pr.m;
  const SolveOptions<T>& o = pr.o;
  ++iterations;
  trial = Trial{};
  const Rejection refused = trial_step(trial.pred);
  if (pr.aborted) return OMBRIX_SOLVE_ABORTED;
  trial.dstep = scaled_norm(ws.D, ws.step, m);
  trial.p_size = scaled_norm(ws.D, p, m);
  trial.step_tolerance = T(o.xtol) * (T(o.xtol) + trial.p_size);
  trial.small_step = trial.dstep <= trial.step_tolerance;
  if (refused != Rejection::kNone) {
    reject(refused);
    return stop_after_trial(trial.small_step, false);
  }
  for (int j = 0; j < m; ++j) ws.trial_p[j] = p[j] + ws.step[j];
  if (o.accept_point && !o.accept_point(ws.trial_p, m, pr.user_data)) {
    reject(Rejection::kRefused);
    return stop_after_trial(trial.small_step, false);
  }
  phase = Phase::kTrial;
  ask(Need::kValues, ws.trial_p, ws.trial_f);
  return 0;
}

// The trial point has its model values: rejected (the next trial, or the
// end), or accepted subject to its Jacobian, which it asks for.
template <typename T>
void Run<T>::judge() {
  const SolveOptions<T>& o = pr.o;
  need = Need::kNothing;
  const Outcome e = pr.residuals_of(ws.trial_f, ws.trial_r, trial.cost);
  if (e != Outcome::kFinite) {
    reject(Rejection::kNonFinite);
    return continue_or_finish(stop_after_trial(trial.small_step, false));
  }
  const T actual = cost - trial.cost;
  const T pred = trial.pred, dstep = trial.dstep;
  // A step whose predicted reduction the loss at p cannot resolve is
  // accepted unless the loss rises beyond that rounding: the linear model is
  // exact there, and the gain ratio only measures rounding noise.
  trial.below_resolution = pred >= 0 && pred <= resolution && actual >= -2 * resolution;
  trial.gain_ratio = trial.below_resolution ? T(1) : pred > 0 ? actual / pred : T(-1);
  // The refinement ends when its steps stop contracting, or when they
  // contract so fast that the rest of the way, dstep c / (1 - c) for the
  // ratio c of this step to the last, is below the step tolerance.
  // With the secant curvature kept, a refinement whose steps stop
  // contracting goes on once with the other model: Gauss-Newton may hardly
  // contract where the residuals are large, and S may have learnt noise.
  const bool stopped_contracting = trial.below_resolution && dstep >= T(0.9) * refinement_step;
  trial.refined = stopped_contracting && (!secant || refinement_switched);
  if (stopped_contracting && !trial.refined) {
    secant_preferred = !trial.secant;
    secant_votes = 0;
    refinement_switched = true;
  }
  if (trial.below_resolution && dstep < refinement_step && std::isfinite(refinement_step))
    trial.small_step = trial.small_step || dstep * dstep / (refinement_step - dstep) <= trial.step_tolerance;
  // More's test: both reductions relative to the loss below ftol, ratio <= 2
  trial.small_reduction = std::fabs(actual) <= T(o.ftol) * cost && pred <= T(o.ftol) * cost &&
                          trial.gain_ratio <= T(2);
  if (!(trial.gain_ratio > 0)) {
    reject(Rejection::kNoReduction);
    return continue_or_finish(stop_after_trial(trial.small_step, trial.small_reduction));
  }
  // Once forward differences have brought the fit to the loss's rounding,
  // their sqrt(eps) error would decide where it ends: central differences
  // take over for the refinement, which starts afresh.
  trial.switching = trial.below_resolution && !pr.jac && o.differences == OMBRIX_DIFFERENCES_FORWARD &&
                    !pr.polishing;
  if (trial.switching) pr.polishing = true;
  // J^T r_new of the secant pair, from the Jacobian at p before the trial's replaces it
  trial.secant_pair = secant && jacobian_at_p;
  if (trial.secant_pair) jacobian_times_residuals(ws.trial_r, ws.secant_ysharp);
  // The Jacobian at the trial point decides too: a non-finite one rejects it.
  phase = Phase::kTrialJacobian;
  begin_jacobian(ws.trial_p, ws.trial_f);
}

// The trial point has its Jacobian: the step is taken, or rejected for a
// Jacobian that is not finite.  Returns 0 to go on, else the status.
template <typename T>
int Run<T>::conclude(Outcome j) {
  const int m = pr.m;
  if (j == Outcome::kAborted) return OMBRIX_SOLVE_ABORTED;
  if (j == Outcome::kNonFinite) {  // ws.qr still holds the factors at p, ws.jac the trial's Jacobian
    jacobian_at_p = false;
    reject(Rejection::kNonFinite);
    return stop_after_trial(trial.small_step, false);
  }
  // S learns from steps that move the gradient well beyond its rounding,
  // and the models' predictions are compared where they differ by more
  // than the loss's rounding: near the minimum the loss stops resolving
  // the comparison long before the gradient stops resolving the step.
  const bool learn = trial.secant_pair && trial.dstep > kSecantSignal<T> * Real<T>::eps * trial.p_size;
  const bool vote = trial.pred > kSecantSignal<T> * resolution;
  if (learn) measure_secant_step();
  const T actual = cost - trial.cost;
  std::memcpy(p, ws.trial_p, std::size_t(m) * sizeof(T));
  std::swap(ws.f, ws.trial_f);
  std::swap(ws.r, ws.trial_r);
  cost = trial.cost;
  resolution = pr.resolution;
  refinement_step = trial.below_resolution && !trial.switching ? trial.dstep : std::numeric_limits<T>::infinity();
  if (!refactor(false)) return OMBRIX_SOLVE_LINEAR_ALGEBRA;
  if (learn) learn_secant(actual, vote);
  accept(trial.gain_ratio, trial.dstep);
  // Damping there only slows the refinement along weak directions; its
  // steps shrink with mu, which the end of the refinement watches, so no
  // Gauss-Newton steps there.
  if (trial.below_resolution) {
    mu = std::max(mu * T(0.01), std::numeric_limits<T>::min());
    radius = 0;
  }
  return stop_after_trial(trial.small_step, trial.small_reduction || trial.refined);
}

template <typename T>
bool check_arguments(Callback<T> f, const T* p, int m, int n, const SolveOptions<T>& o) {
  constexpr char P = Real<T>::letter;
  const char* problem = nullptr;
  if (!f) problem = "no model function";
  else if (!p) problem = "no parameter vector p";
  else if (m <= 0) problem = "the number of parameters m must be positive";
  else if (n < m) problem = "fewer residuals n than parameters m";
  else if (o.max_iterations < 0 || o.max_evaluations < 0) problem = "negative iteration or evaluation limit";
  else if (!(o.ftol >= 0) || !(o.xtol >= 0) || !(o.gtol >= 0)) problem = "ftol, xtol and gtol must be >= 0";
  else if (!(o.initial_damping > 0) || !std::isfinite(o.initial_damping)) problem = "initial_damping must be positive";
  else if (o.scaling < OMBRIX_SCALE_MAX_COLUMN_NORMS || o.scaling > OMBRIX_SCALE_IDENTITY) problem = "unknown scaling";
  else if (o.loss < OMBRIX_LOSS_LINEAR || o.loss > OMBRIX_LOSS_ARCTAN) problem = "unknown loss";
  else if (o.differences < OMBRIX_DIFFERENCES_FORWARD || o.differences > OMBRIX_DIFFERENCES_FORWARD_ONLY)
    problem = "unknown difference scheme";
  else if (!(o.f_scale > 0) || !std::isfinite(o.f_scale)) problem = "f_scale must be positive and finite";
  else if (!(o.jacobian_accuracy >= 0 && o.jacobian_accuracy < 1)) problem = "jacobian_accuracy must be in [0, 1)";
  else if (!(o.difference_step >= 0 && o.difference_step < 1)) problem = "difference_step must be in [0, 1)";
  else if (o.geodesic && (!(o.geodesic_alpha > 0) || !(o.geodesic_h > 0))) problem = "geodesic_alpha and geodesic_h must be positive";
  for (int j = 0; j < m && !problem; ++j) {
    if (o.typical && !(std::fabs(o.typical[j]) < std::numeric_limits<T>::infinity()))
      problem = "typical values must be finite";
    else if ((o.lower && std::isnan(o.lower[j])) || (o.upper && std::isnan(o.upper[j])))
      problem = "a bound is NaN";
    else if (o.lower && o.upper && o.lower[j] > o.upper[j])
      problem = "a lower bound exceeds its upper bound";
  }
  if (problem) std::fprintf(stderr, "%combrix_solve(): %s (m = %d, n = %d)\n", P, problem, m, n);
  return problem == nullptr;
}

template <typename T>
void write_result(ombrix_solve_result* result, const Run<T>& run, int rank) {
  if (!result) return;
  result->status = run.status;
  result->converged = run.status >= OMBRIX_SOLVE_SMALL_GRADIENT && run.status <= OMBRIX_SOLVE_ZERO_RESIDUAL;
  result->message = status_message(run.status);
  result->iterations = run.iterations;
  result->nfev = run.pr.nfev;
  result->njev = run.pr.njev;
  result->rank = rank;
  result->initial_chisq = double(run.initial_cost);
  result->chisq = double(run.cost);
  result->gradient = double(run.fac.gradient_inf);
  result->scaled_gradient = double(run.fac.scaled_gradient);
  result->damping = double(run.mu);
}

}  // namespace

// ---- entry points --------------------------------------------------------------------------

template <typename T>
void solve_defaults(SolveOptions<T>* options) {
  if (!options) return;
  std::memset(options, 0, sizeof *options);
  options->max_iterations = 1000;
  options->max_evaluations = 0;
  options->ftol = Real<T>::eps * Real<T>::eps;
  options->xtol = 4 * Real<T>::eps;
  options->gtol = Real<T>::eps;
  options->initial_damping = T(1e-3);
  options->scaling = OMBRIX_SCALE_MAX_COLUMN_NORMS;
  options->loss = OMBRIX_LOSS_LINEAR;
  options->f_scale = 1;
  options->geodesic_alpha = T(0.75);
  options->geodesic_h = T(0.1);
}

// LAPACK's work length for one run: none when the QR is done here and no
// covariance is asked for (its workspace queries cost more than an
// iteration of a small fit).
template <typename T>
int run_work_length(int m, int n, bool covariance) {
  if (!covariance && std::size_t(n) * std::size_t(m) <= kSmallQr) return 0;
  return lapack_work_length<T>(m, n);
}

template <typename T>
Size solve_workspace_size(int m, int n) {
  if (m <= 0 || n < m) return Size::invalid();
  return workspace_reals<T>(m, n, lapack_work_length<T>(m, n));
}

template <typename T>
int solve(Callback<T> f, Callback<T> jac, T* p, const T* y, const T* weights, int m, int n,
          const SolveOptions<T>* options, ombrix_solve_result* result, T* covariance, void* user_data) {
  constexpr char P = Real<T>::letter;
  SolveOptions<T> defaults;
  solve_defaults<T>(&defaults);
  const SolveOptions<T>& o = options ? *options : defaults;
  if (!check_arguments(f, p, m, n, o)) return -1;

  const int lwork = run_work_length<T>(m, n, covariance != nullptr);
  const Size reals = workspace_reals<T>(m, n, lwork);
  CBuffer<T> owned;
  T* block = o.workspace;
  if (!block && reals.valid) {
    owned.reset(calloc_array<T>(reals));
    block = owned.get();
  }
  if (!block || !reals.valid) {
    std::fprintf(stderr, "%combrix_solve(): memory allocation request failed (m = %d, n = %d)\n", P, m, n);
    return -1;
  }
  Workspace<T> ws;
  ws.carve(block, m, n, lwork);

  Problem<T> pr{f, jac, y, weights, m, n, o, user_data};
  Run<T> run{pr, ws, p};
  // The run's phases, each evaluation it asks for made by the callbacks.
  for (run.begin(); run.need != Run<T>::Need::kNothing; run.supplied()) {
    if (run.need == Run<T>::Need::kValues) f(run.need_at, run.need_into, m, n, user_data);
    else jac(run.need_at, run.need_into, m, n, user_data);
  }
  int rank = 0;
  if (covariance) {
    if (run.have_factor) rank = covariance_from_r(ws, m, n, run.cost, covariance);
    else std::fill(covariance, covariance + std::size_t(m) * std::size_t(m), std::numeric_limits<T>::quiet_NaN());
  }
  write_result(result, run, rank);
  return run.status;
}

// ---- a run driven from outside --------------------------------------------------------------

namespace {

// Stands in for the callbacks a stepped run never calls (its caller makes
// every evaluation): NaN values, should one be made all the same.
template <typename T>
void not_called(const T*, T* out, int, int n, void*) {
  std::fill(out, out + n, std::numeric_limits<T>::quiet_NaN());
}

}  // namespace

template <typename T>
struct SteppedSolve<T>::State {
  SolveOptions<T> options;
  CBuffer<T> block;
  Workspace<T> ws;
  Problem<T> pr;
  Run<T> run;
  // Without an analytic Jacobian the run takes differences, as solve() without jac.
  State(T* p, const T* y, int m, int n, const SolveOptions<T>& o, bool analytic_jacobian, T* memory, int lwork)
      : options(o), block(memory), ws(),
        pr{not_called<T>, analytic_jacobian ? Callback<T>(not_called<T>) : nullptr, y, nullptr, m, n, options, nullptr},
        run{pr, ws, p} {
    ws.carve(block.get(), m, n, lwork);
  }
};

template <typename T>
SteppedSolve<T>::SteppedSolve() = default;
template <typename T>
SteppedSolve<T>::~SteppedSolve() = default;

template <typename T>
bool SteppedSolve<T>::begin(T* p, const T* y, int m, int n, const SolveOptions<T>& options, bool analytic_jacobian) {
  SolveOptions<T> o = options;
  o.geodesic = 0;
  o.workspace = nullptr;
  if (!check_arguments<T>(not_called<T>, p, m, n, o)) return false;
  const int lwork = run_work_length<T>(m, n, false);
  const Size reals = workspace_reals<T>(m, n, lwork);
  T* memory = reals.valid ? calloc_array<T>(reals) : nullptr;
  if (memory) state_.reset(new (std::nothrow) State(p, y, m, n, o, analytic_jacobian, memory, lwork));
  if (!state_) {
    std::free(memory);
    std::fprintf(stderr, "%combrix_solve(): memory allocation request failed (m = %d, n = %d)\n", Real<T>::letter, m, n);
    return false;
  }
  state_->run.begin();
  return true;
}

template <typename T>
typename SteppedSolve<T>::Need SteppedSolve<T>::need() const {
  if (!state_) return Need::kNothing;
  switch (state_->run.need) {
    case Run<T>::Need::kValues: return Need::kValues;
    case Run<T>::Need::kJacobian: return Need::kJacobian;
    default: return Need::kNothing;
  }
}

template <typename T>
const T* SteppedSolve<T>::at() const { return state_->run.need_at; }
template <typename T>
T* SteppedSolve<T>::into() const { return state_->run.need_into; }
template <typename T>
void SteppedSolve<T>::supplied() { state_->run.supplied(); }

template <typename T>
int SteppedSolve<T>::result(ombrix_solve_result* result) const {
  write_result(result, state_->run, 0);
  return state_->run.status;
}

template class SteppedSolve<double>;
template class SteppedSolve<float>;

template void solve_defaults<double>(dombrix_solve_options*);
template void solve_defaults<float>(sombrix_solve_options*);
template Size solve_workspace_size<double>(int, int);
template Size solve_workspace_size<float>(int, int);
template int solve<double>(Callback<double>, Callback<double>, double*, const double*, const double*, int, int,
                           const dombrix_solve_options*, ombrix_solve_result*, double*, void*);
template int solve<float>(Callback<float>, Callback<float>, float*, const float*, const float*, int, int,
                          const sombrix_solve_options*, ombrix_solve_result*, float*, void*);

}  // namespace ombrix

using namespace ombrix;

namespace {
int workspace_size_as_int(Size reals) { return reals.valid && reals.value <= std::size_t(INT_MAX) ? int(reals.value) : -1; }
}  // namespace

extern "C" {

void dombrix_solve_defaults(dombrix_solve_options* options) { solve_defaults<double>(options); }
void sombrix_solve_defaults(sombrix_solve_options* options) { solve_defaults<float>(options); }
int dombrix_solve_workspace_size(int m, int n) { return workspace_size_as_int(solve_workspace_size<double>(m, n)); }
int sombrix_solve_workspace_size(int m, int n) { return workspace_size_as_int(solve_workspace_size<float>(m, n)); }
int dombrix_solve(dombrix_callback f, dombrix_callback jac, double* p, const double* y, const double* weights, int m, int n, const dombrix_solve_options* options, ombrix_solve_result* result, double* covariance, void* user_data) { return solve<double>(f, jac, p, y, weights, m, n, options, result, covariance, user_data); }
int sombrix_solve(sombrix_callback f, sombrix_callback jac, float* p, const float* y, const float* weights, int m, int n, const sombrix_solve_options* options, ombrix_solve_result* result, float* covariance, void* user_data) { return solve<float>(f, jac, p, y, weights, m, n, options, result, covariance, user_data); }

}  // extern "C"
