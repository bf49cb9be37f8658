// ombrix._fit: the binding behind ombrix.fit.
//
// It runs one solver of the numeric layer, in double or single precision,
// under whatever constraints are given (none, bounds, equalities,
// inequalities and their combinations), on a model evaluated through an
// Evaluator.  Around the evaluations it weights the residuals, computes
// difference Jacobians with steps from the precision's epsilon, keeps the
// last model values and Jacobian with the point they belong to, and stops
// the fit at the first failing evaluation: from then on every callback
// writes NaN without evaluating, so the solver ends within an iteration,
// and the stored exception is raised to the caller when it returns.  A
// guarded fit (solve_guarded) also stops, the same way, at the first point
// the solver asks to evaluate that violates one of a set of linear rows, and
// hands back that point and the last one it took a Jacobian at.
//
// engine_solve and engine_solve_guarded run the same fit on the numeric
// layer's trust-region engine instead: the evaluations go through the same
// fit context, a failed evaluation stops the engine through its should_stop
// hook, and the guard refuses trial points through its accept_point hook.
//
// Sections: evaluators, the fit context, the solver dispatch, the engine,
// the module functions, the module definition.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "_src/arguments.h"
#include "_src/arrays.h"
#include "_src/numeric_call.h"
#include "_src/ref.h"
#include "_src/solution.h"
#include "_src/trampoline.h"
#include "internal.h"
#include "ombrix.h"

#include <numpy/arrayscalars.h>

namespace {

using ombrix::py::as_array;
using ombrix::py::data_of;
using ombrix::py::kNumpyType;
using ombrix::py::Ref;
using ombrix::py::Signature;

// ==== evaluators ==============================================================
//
// The fit reaches the model only through this interface.  A model given as
// a Python callable needs the interpreter; one given as a C function could
// report false from needs_interpreter(), and the solver would then run with
// the interpreter lock released.

template <typename T>
class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // Fills f (n values) with the model at p, or returns false and keeps the
  // reason for the caller of the fit.
  virtual bool model(const T* p, T* f) = 0;
  // Fills jac (n x m, row-major) with the Jacobian at p, or returns false.
  virtual bool jacobian(const T* p, T* jac) = 0;
  virtual bool has_jacobian() const = 0;
  virtual bool needs_interpreter() const = 0;
};

// How a Python model takes its parameters.
enum class Convention {
  kArray,     // model(p, *args): p a new array of T holding a copy of the point
  kUnpacked,  // model(*args, p_1, ..., p_m): each parameter a NumPy scalar of T
};

// A NumPy scalar of T (what iterating over an array of T gives).
template <typename T>
PyObject* numpy_scalar(T value);
template <>
PyObject* numpy_scalar<double>(double value) {
  PyObject* scalar = PyArrayScalar_New(Double);
  if (scalar) PyArrayScalar_ASSIGN(scalar, Double, value);
  return scalar;
}
template <>
PyObject* numpy_scalar<float>(float value) {
  PyObject* scalar = PyArrayScalar_New(Float);
  if (scalar) PyArrayScalar_ASSIGN(scalar, Float, value);
  return scalar;
}

// model and jac in Python, called in either convention; the callable may
// keep or change what it is given freely.  With unpacked parameters the
// model's values may come in any shape holding n of them, or as one value
// standing for all n, and so may the Jacobian of a one-parameter model.
template <typename T>
class PythonEvaluator final : public Evaluator<T> {
 public:
  // `args` must be a tuple, `jac` a callable or None.
  bool bind(PyObject* model, PyObject* jac, PyObject* args, int m, int n, Convention convention) {
    m_ = m;
    n_ = n;
    convention_ = convention;
    has_jacobian_ = jac != Py_None;
    using Items = ombrix::py::PositionalCall::Items;
    const Items where = convention == Convention::kArray ? Items::kLeading : Items::kTrailing;
    const int count = convention == Convention::kArray ? 1 : m;
    if (convention == Convention::kUnpacked) {
      scalars_.reset(static_cast<PyObject**>(PyMem_Calloc(std::size_t(m), sizeof(PyObject*))));
      if (!scalars_) {
        PyErr_NoMemory();
        return false;
      }
    }
    return model_.bind(model, args, where, count) && (!has_jacobian_ || jac_.bind(jac, args, where, count));
  }

  bool model(const T* p, T* f) override {
    Ref result = call(model_, p);
    const bool ok = result && (convention_ == Convention::kArray
                                   ? read(result, f, 1, n_, 0)
                                   : ombrix::py::read_flat_result(result.get(), f, n_, "model"));
    return ok || keep_error();
  }

  bool jacobian(const T* p, T* jac) override {
    Ref result = call(jac_, p);
    const bool flat = convention_ == Convention::kUnpacked && m_ == 1 && n_ != 1;
    const bool ok =
        result && (flat ? ombrix::py::read_flat_result(result.get(), jac, n_, "jac") : read(result, jac, 2, n_, m_));
    return ok || keep_error();
  }

  bool has_jacobian() const override { return has_jacobian_; }
  bool needs_interpreter() const override { return true; }

  // The exception of the failed evaluation (null when none failed).
  Ref take_error() { return std::move(error_); }

 private:
  struct ScalarsFree {
    void operator()(PyObject** v) const { PyMem_Free(v); }
  };

  // The callable at p, in the convention bound; null with an exception pending.
  Ref call(const ombrix::py::PositionalCall& callable, const T* p) {
    if (convention_ == Convention::kArray) {
      Ref point = ombrix::py::array_copy(p, m_);
      return point ? callable(point.get()) : Ref();
    }
    PyObject** scalars = scalars_.get();
    bool made = true;
    for (int j = 0; j < m_ && made; ++j) made = (scalars[j] = numpy_scalar<T>(p[j])) != nullptr;
    Ref result = made ? callable(scalars) : Ref();
    for (int j = 0; j < m_; ++j) Py_CLEAR(scalars[j]);
    return result;
  }

  bool read(const Ref& result, T* out, int ndim, npy_intp rows, npy_intp columns) {
    const npy_intp dims[2] = {rows, columns};
    return ombrix::py::read_real_result(result.get(), out, ndim, dims, ndim == 1 ? "model" : "jac");
  }
  bool keep_error() {
    error_ = ombrix::py::take_exception();
    return false;
  }

  ombrix::py::PositionalCall model_, jac_;
  std::unique_ptr<PyObject*[], ScalarsFree> scalars_;
  bool has_jacobian_ = false;
  Convention convention_ = Convention::kArray;
  int m_ = 0, n_ = 0;
  Ref error_;
};

// ==== the fit context =========================================================
//
// The solver's user data.  The solver sees the weighted model W f(p) and the
// weighted Jacobian W J(p); the context keeps the unweighted values.

// Memory from the C allocator, zeroed, released with the owner (the numeric
// layer's own helpers).
using ombrix::CBuffer;

// A zeroed array of a * b elements (b defaults to 1), or null when the size
// overflows or the allocator fails.
template <typename T>
T* allocate(std::size_t a, std::size_t b = 1) {
  return ombrix::calloc_array<T>(ombrix::Size(a) * ombrix::Size(b));
}

enum class Weighting { kNone, kDiagonal, kCovariance };

// Residual weights W: none, a diagonal (W = diag(w)), or the inverse of the
// lower Cholesky factor L of a covariance matrix (W v = L^-1 v, by forward
// substitution).
template <typename T>
struct Weights {
  Weighting kind = Weighting::kNone;
  const T* values = nullptr;  // w (n) or L (n x n, row-major, lower triangle read)

  // out = W v for v of n rows and `columns` columns, row-major; out != v.
  void apply(const T* v, T* out, int n, int columns) const {
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
};

enum class Differences { kForward, kCentral };

// Difference steps: sqrt(eps) for forward and eps^(1/3) for central
// differences, relative to max(|p_j|, typical_j), where typical_j is the
// parameter's typical size (with typical sizes of 1, SciPy's steps).
template <typename T>
const T kForwardStep = std::sqrt(std::numeric_limits<T>::epsilon());
template <typename T>
const T kCentralStep = std::cbrt(std::numeric_limits<T>::epsilon());

// A guard row g p >= h counts as violated when g p - h < -kGuardSlack eps
// (|h| + sum_j |g_j p_j|): the rounding that mapping the solver's variables
// back to p (and evaluating the row) can leave on a point that lies on it.
template <typename T>
const T kGuardSlack = T(16) * std::numeric_limits<T>::epsilon();

template <typename T>
bool all_finite(const T* v, std::size_t count) {
  return std::all_of(v, v + count, [](T value) { return std::isfinite(value); });
}

template <typename T>
class Fit {
 public:
  // `typical` (m sizes) and the bounds lb, ub (or null) shape the difference steps.
  Fit(Evaluator<T>& evaluator, int m, int n, Weights<T> weights, Differences differences, const T* typical,
      const T* lb, const T* ub)
      : evaluator_(evaluator),
        m_(m),
        n_(n),
        weights_(weights),
        differences_(differences),
        typical_(typical),
        lb_(lb),
        ub_(ub) {}

  // All the memory of the fit, taken once; false (MemoryError) when short.
  bool allocate_buffers() {
    f_.reset(allocate<T>(std::size_t(n_)));
    f_point_.reset(allocate<T>(std::size_t(m_)));
    jac_.reset(allocate<T>(std::size_t(n_), std::size_t(m_)));
    jac_point_.reset(allocate<T>(std::size_t(m_)));
    trial_.reset(allocate<T>(std::size_t(m_)));
    f_plus_.reset(allocate<T>(std::size_t(n_)));
    f_minus_.reset(allocate<T>(std::size_t(n_)));
    point_.reset(allocate<T>(std::size_t(m_)));
    blocked_point_.reset(allocate<T>(std::size_t(m_)));
    if (f_ && f_point_ && jac_ && jac_point_ && trial_ && f_plus_ && f_minus_ && point_ && blocked_point_) return true;
    PyErr_NoMemory();
    return false;
  }

  // ---- solver callbacks; `self` is the Fit ----

  // The solver works on q = p / scale (componentwise) when a scale is set.
  static void model_callback(const T* q, T* out, int, int, void* self) {
    auto& fit = *static_cast<Fit*>(self);
    const T* p = fit.unscaled(q);
    const T* f = nullptr;
    if (fit.jacobian_not_finite_ || !fit.admissible(p) || !fit.values_at(p, &f)) return fit.fill_invalid(out, 1);
    fit.weights_.apply(f, out, fit.n_, 1);
  }

  // A Jacobian with NaN or infinite entries stops the fit as a failed
  // evaluation does (the solver would read its NaN gradient as a small one),
  // without an exception: the caller reports it as invalid values.
  static void jacobian_callback(const T* q, T* out, int, int, void* self) {
    auto& fit = *static_cast<Fit*>(self);
    if (fit.jacobian_not_finite_) return fit.fill_invalid(out, fit.m_);  // stopped by an earlier one
    const T* jac = nullptr;
    if (!fit.jacobian_at(fit.unscaled(q), &jac) || fit.jacobian_not_finite_) return fit.fill_invalid(out, fit.m_);
    fit.weights_.apply(jac, out, fit.n_, fit.m_);
    if (!fit.scale_) return;
    for (std::size_t i = 0; i < std::size_t(fit.n_); ++i)
      for (std::size_t j = 0; j < std::size_t(fit.m_); ++j) out[i * std::size_t(fit.m_) + j] *= fit.scale_[j];
  }

  // Scales the solver's variables by powers of two near the reciprocal
  // column norms of the weighted Jacobian at p, so that every column of the
  // Jacobian the solver sees has a norm near 1 and the damping mu I weighs
  // all parameters alike.  Powers of two make p -> q -> p exact.  A zero or
  // non-finite column keeps the scale 1.  `scale` (m values) receives them.
  bool set_scale_at(const T* p, T* scale, T* weighted) {
    const T* jac = nullptr;
    if (!jacobian_at(p, &jac)) return false;
    weights_.apply(jac, weighted, n_, m_);
    for (int j = 0; j < m_; ++j) {
      T norm2 = 0;
      for (int i = 0; i < n_; ++i) norm2 += weighted[std::size_t(i) * m_ + j] * weighted[std::size_t(i) * m_ + j];
      const T norm = std::sqrt(norm2);
      scale[j] = T(1);
      if (norm > T(0) && std::isfinite(norm)) {
        int exponent = 0;
        std::frexp(T(1) / norm, &exponent);
        scale[j] = std::ldexp(T(1), exponent - 1);
        if (!(scale[j] > T(0)) || !std::isfinite(scale[j])) scale[j] = T(1);
      }
    }
    scale_ = scale;
    return true;
  }

  // p = q * scale, in a buffer of the fit (q itself without scaling).
  const T* unscaled(const T* q) {
    if (!scale_) return q;
    for (int j = 0; j < m_; ++j) point_[j] = q[j] * scale_[j];
    return point_.get();
  }

  // ---- evaluations at a point, reusing the last ones made there ----

  // *f = the unweighted model values at p.
  bool values_at(const T* p, const T** f) {
    if (!(f_known_ && same_point(p, f_point_.get()))) {
      f_known_ = false;
      if (!evaluate(p, f_.get())) return false;
      std::memcpy(f_point_.get(), p, point_bytes());
      f_known_ = true;
    }
    *f = f_.get();
    return true;
  }

  // *jac = the unweighted Jacobian at p, analytic or by differences.
  bool jacobian_at(const T* p, const T** jac) {
    if (!(jac_known_ && same_point(p, jac_point_.get()))) {
      jac_known_ = false;
      if (failed_) return false;
      ++jacobians_;
      if (evaluator_.has_jacobian()) {
        if (!evaluator_.jacobian(p, jac_.get())) return fail();
      } else if (!difference_jacobian(p, jac_.get())) {
        return false;
      }
      std::memcpy(jac_point_.get(), p, point_bytes());
      jac_known_ = true;
      if (!all_finite(jac_.get(), std::size_t(n_) * std::size_t(m_))) jacobian_not_finite_ = true;
    }
    *jac = jac_.get();
    return true;
  }

  // Rows G p >= h (G: rows x m, row-major) that every point the solver asks
  // to evaluate must satisfy.  The binding's own difference points are not
  // checked: they step inside the bounds given to the constructor.
  void set_guard(const T* G, const T* h, int rows) {
    guard_G_ = G;
    guard_h_ = h;
    guard_rows_ = rows;
  }
  // Whether the fit stopped at a point that violated a guard row; that point,
  // not evaluated, is blocked_point().
  bool blocked() const { return blocked_; }
  const T* blocked_point() const { return blocked_point_.get(); }
  // The point of the last Jacobian, or null before the first one.
  const T* jacobian_point() const { return jac_known_ ? jac_point_.get() : nullptr; }

  bool failed() const { return failed_; }
  // Whether a Jacobian evaluated so far had NaN or infinite entries; the
  // last one taken, at jacobian_point(), is then such a one.
  bool jacobian_not_finite() const { return jacobian_not_finite_; }
  // The Jacobian buffer filled with NaN, standing for one that was not
  // evaluated (at a point where the model is not finite).
  const T* unevaluated_jacobian() {
    jac_known_ = false;
    fill_invalid(jac_.get(), m_);
    return jac_.get();
  }
  long long model_calls() const { return model_calls_; }
  long long jacobians() const { return jacobians_; }

  // False, and the fit stopped as by a failed evaluation, when p violates a
  // guard row by more than rounding (see kGuardSlack).
  bool admissible(const T* p) {
    if (failed_) return true;  // the evaluation that follows refuses anyway
    for (std::size_t i = 0; i < std::size_t(guard_rows_); ++i) {
      const T* g = guard_G_ + i * std::size_t(m_);
      T excess = -guard_h_[i];
      T size = std::fabs(guard_h_[i]);
      for (int j = 0; j < m_; ++j) {
        const T term = g[j] * p[j];
        excess += term;
        size += std::fabs(term);
      }
      if (excess < -kGuardSlack<T> * size) {
        std::memcpy(blocked_point_.get(), p, point_bytes());
        blocked_ = true;
        return fail();
      }
    }
    return true;
  }

 private:
  std::size_t point_bytes() const { return std::size_t(m_) * sizeof(T); }
  bool same_point(const T* p, const T* q) const { return std::memcmp(p, q, point_bytes()) == 0; }

  bool fail() {
    failed_ = true;
    return false;
  }

  // NaN in every entry: the solver stops as for a model that returned NaN.
  void fill_invalid(T* out, int columns) const {
    std::fill_n(out, std::size_t(n_) * std::size_t(columns), std::numeric_limits<T>::quiet_NaN());
  }

  // One model call, unless an earlier one failed.
  bool evaluate(const T* p, T* f) {
    if (failed_) return false;
    ++model_calls_;
    return evaluator_.model(p, f) || fail();
  }

  bool outside(int j, T value) const { return (lb_ && value < lb_[j]) || (ub_ && value > ub_[j]); }

  // Forward or central differences, one column at a time, stepping inside
  // the bounds where they allow it: a forward step that would leave them
  // goes the other way, and a central pair that would is replaced by a
  // one-sided second-order formula.
  bool difference_jacobian(const T* p, T* jac) {
    const std::size_t m = std::size_t(m_);
    const T* f0 = nullptr;
    if (differences_ == Differences::kForward && !values_at(p, &f0)) return false;
    T* trial = trial_.get();
    std::memcpy(trial, p, point_bytes());
    for (int j = 0; j < m_; ++j) {
      const T pj = p[j];
      const T size = std::max(typical_[j], std::fabs(pj));
      if (differences_ == Differences::kForward) {
        T h = std::signbit(pj) ? -kForwardStep<T> * size : kForwardStep<T> * size;
        if (outside(j, pj + h) && !outside(j, pj - h)) h = -h;
        trial[j] = pj + h;
        h = trial[j] - pj;  // the step actually taken
        if (!evaluate(trial, f_plus_.get())) return false;
        for (int i = 0; i < n_; ++i) jac[i * m + j] = (f_plus_[i] - f0[i]) / h;
      } else if (!outside(j, pj - kCentralStep<T> * size) && !outside(j, pj + kCentralStep<T> * size)) {
        const T h = kCentralStep<T> * size;
        trial[j] = pj + h;
        const T forward = trial[j] - pj;
        if (!evaluate(trial, f_plus_.get())) return false;
        trial[j] = pj - h;
        const T backward = pj - trial[j];
        if (!evaluate(trial, f_minus_.get())) return false;
        for (int i = 0; i < n_; ++i) jac[i * m + j] = (f_plus_[i] - f_minus_[i]) / (forward + backward);
      } else {
        // f'(p) ~ (-3 f(p) + 4 f(p + h) - f(p + 2h)) / 2h, toward the side that stays inside
        T h = kCentralStep<T> * size;
        if (outside(j, pj + h + h) && !outside(j, pj - h - h)) h = -h;
        if (!values_at(p, &f0)) return false;
        trial[j] = pj + h;
        h = trial[j] - pj;
        if (!evaluate(trial, f_plus_.get())) return false;
        trial[j] = pj + (h + h);
        if (!evaluate(trial, f_minus_.get())) return false;
        for (int i = 0; i < n_; ++i)
          jac[i * m + j] = (T(4) * f_plus_[i] - T(3) * f0[i] - f_minus_[i]) / (h + h);
      }
      trial[j] = pj;
    }
    return true;
  }

  Evaluator<T>& evaluator_;
  const int m_, n_;
  const Weights<T> weights_;
  const Differences differences_;
  const T* typical_;   // typical parameter sizes, scaling the difference steps
  const T *lb_, *ub_;  // bounds of the difference steps, or null

  CBuffer<T> f_, f_point_;      // the last model values and their point
  CBuffer<T> jac_, jac_point_;  // the last Jacobian and its point
  CBuffer<T> trial_, f_plus_, f_minus_;  // scratch of the difference Jacobian
  CBuffer<T> point_;                     // p of the scaled variables q
  const T* scale_ = nullptr;            // p = q * scale, or null: q is p
  const T *guard_G_ = nullptr, *guard_h_ = nullptr;  // rows G p >= h, or none
  int guard_rows_ = 0;
  CBuffer<T> blocked_point_;  // the point that violated a guard row
  bool f_known_ = false, jac_known_ = false;
  bool failed_ = false, blocked_ = false, jacobian_not_finite_ = false;
  long long model_calls_ = 0, jacobians_ = 0;
};

// ==== the solver dispatch =====================================================

template <typename T>
struct Api;

template <>
struct Api<double> {
  static constexpr auto der = dombrix_der, dif = dombrix_dif;
  static constexpr auto bc_der = dombrix_bc_der, bc_dif = dombrix_bc_dif;
  static constexpr auto lec_der = dombrix_lec_der, lec_dif = dombrix_lec_dif;
  static constexpr auto blec_der = dombrix_blec_der, blec_dif = dombrix_blec_dif;
  static constexpr auto bleic_der = dombrix_bleic_der, bleic_dif = dombrix_bleic_dif;
  static constexpr auto blic_der = dombrix_blic_der, blic_dif = dombrix_blic_dif;
  static constexpr auto leic_der = dombrix_leic_der, leic_dif = dombrix_leic_dif;
  static constexpr auto lic_der = dombrix_lic_der, lic_dif = dombrix_lic_dif;
  static constexpr auto chkjac = dombrix_chkjac;
};

template <>
struct Api<float> {
  static constexpr auto der = sombrix_der, dif = sombrix_dif;
  static constexpr auto bc_der = sombrix_bc_der, bc_dif = sombrix_bc_dif;
  static constexpr auto lec_der = sombrix_lec_der, lec_dif = sombrix_lec_dif;
  static constexpr auto blec_der = sombrix_blec_der, blec_dif = sombrix_blec_dif;
  static constexpr auto bleic_der = sombrix_bleic_der, bleic_dif = sombrix_bleic_dif;
  static constexpr auto blic_der = sombrix_blic_der, blic_dif = sombrix_blic_dif;
  static constexpr auto leic_der = sombrix_leic_der, leic_dif = sombrix_leic_dif;
  static constexpr auto lic_der = sombrix_lic_der, lic_dif = sombrix_lic_dif;
  static constexpr auto chkjac = sombrix_chkjac;
};

// Constraints as the solvers read them; null where absent.  Bounds use the
// largest finite value of T for "unbounded".
template <typename T>
struct Constraints {
  T *lb = nullptr, *ub = nullptr;
  const T *A = nullptr, *b = nullptr;
  int k1 = 0;
  const T *C = nullptr, *d = nullptr;
  int k2 = 0;
};

// What every solver entry point takes besides its constraints.
template <typename T>
struct SolverCall {
  bool secant;  // the _dif solver: its own differences and secant updates
  T* p;
  const T* y;
  int m, n, max_iter;
  const T* opts;
  T* info;
  Fit<T>* fit;
};

template <auto analytic_solver, auto secant_solver, typename T, typename... ConstraintArg>
int run_pair(const SolverCall<T>& s, ConstraintArg... constraint) {
  constexpr T* no_workspace = nullptr;
  constexpr T* no_covariance = nullptr;  // computed by the caller, from an accurate Jacobian
  if (s.secant)
    return secant_solver(Fit<T>::model_callback, s.p, s.y, s.m, s.n, constraint..., s.max_iter, s.opts, s.info,
                         no_workspace, no_covariance, s.fit);
  return analytic_solver(Fit<T>::model_callback, Fit<T>::jacobian_callback, s.p, s.y, s.m, s.n, constraint...,
                         s.max_iter, s.opts, s.info, no_workspace, no_covariance, s.fit);
}

// Runs the solver that matches the constraints given.
template <typename T>
int run_solver(const SolverCall<T>& s, const Constraints<T>& c) {
  using A = Api<T>;
  const bool box = c.lb != nullptr, equal = c.A != nullptr, inequal = c.C != nullptr;
  constexpr T* no_scaling = nullptr;
  constexpr T* default_weights = nullptr;
  if (inequal) {
    if (box && equal) return run_pair<A::bleic_der, A::bleic_dif>(s, c.lb, c.ub, c.A, c.b, c.k1, c.C, c.d, c.k2);
    if (box) return run_pair<A::blic_der, A::blic_dif>(s, c.lb, c.ub, c.C, c.d, c.k2);
    if (equal) return run_pair<A::leic_der, A::leic_dif>(s, c.A, c.b, c.k1, c.C, c.d, c.k2);
    return run_pair<A::lic_der, A::lic_dif>(s, c.C, c.d, c.k2);
  }
  if (box && equal) return run_pair<A::blec_der, A::blec_dif>(s, c.lb, c.ub, c.A, c.b, c.k1, default_weights);
  if (box) return run_pair<A::bc_der, A::bc_dif>(s, c.lb, c.ub, no_scaling);
  if (equal) return run_pair<A::lec_der, A::lec_dif>(s, c.A, c.b, c.k1);
  return run_pair<A::der, A::dif>(s);
}

// ==== the trust-region engine =================================================
//
// The engine works on variables z with p = origin + basis z (basis m x k,
// row-major), or on p itself without a basis: a basis eliminates equality
// rows exactly (an orthonormal basis of their null space) or rescales the
// parameters.  It sees the weighted model W f(p) against the weighted data;
// its Jacobian is W J(p) basis.  It stops at the first failed evaluation
// (should_stop) and, in a guarded fit, at the first trial point that
// violates a guard row: the point is refused, and the evaluation the engine
// asks for next is not made and stops it.

template <typename T>
struct Engine;

template <>
struct Engine<double> {
  using Options = dombrix_solve_options;
  static constexpr auto defaults = dombrix_solve_defaults;
  static constexpr auto solve = dombrix_solve;
  static constexpr auto workspace_size = dombrix_solve_workspace_size;
};

template <>
struct Engine<float> {
  using Options = sombrix_solve_options;
  static constexpr auto defaults = sombrix_solve_defaults;
  static constexpr auto solve = sombrix_solve;
  static constexpr auto workspace_size = sombrix_solve_workspace_size;
};

template <typename T>
class EngineFit {
 public:
  // `origin` and `basis` (m and m x k) are both null or both given.
  EngineFit(Fit<T>& fit, Weights<T> weights, int m, int n, int k, const T* origin, const T* basis)
      : fit_(fit), weights_(weights), m_(m), n_(n), k_(k), origin_(origin), basis_(basis) {}

  bool allocate_buffers() {
    point_.reset(allocate<T>(std::size_t(m_)));
    weighted_.reset(allocate<T>(std::size_t(n_), std::size_t(m_)));
    if (point_ && weighted_) return true;
    PyErr_NoMemory();
    return false;
  }

  // p of the engine's variables z (z itself without a basis).
  const T* parameters(const T* z) {
    if (!basis_) return z;
    for (std::size_t i = 0; i < std::size_t(m_); ++i) {
      const T* row = basis_ + i * std::size_t(k_);
      T value = origin_[i];
      for (std::size_t j = 0; j < std::size_t(k_); ++j) value += row[j] * z[j];
      point_[i] = value;
    }
    return point_.get();
  }

  static void model_callback(const T* z, T* out, int, int, void* self) {
    auto& e = *static_cast<EngineFit*>(self);
    const T* f = nullptr;
    if (!e.fit_.values_at(e.parameters(z), &f)) return e.fill_invalid(out, 1);
    e.weights_.apply(f, out, e.n_, 1);
  }

  static void jacobian_callback(const T* z, T* out, int, int, void* self) {
    auto& e = *static_cast<EngineFit*>(self);
    const T* jac = nullptr;
    if (!e.fit_.jacobian_at(e.parameters(z), &jac)) return e.fill_invalid(out, e.k_);
    if (!e.basis_) return e.weights_.apply(jac, out, e.n_, e.m_);
    T* weighted = e.weighted_.get();
    e.weights_.apply(jac, weighted, e.n_, e.m_);
    const std::size_t m = std::size_t(e.m_), k = std::size_t(e.k_);
    for (std::size_t i = 0; i < std::size_t(e.n_); ++i) {
      T* out_i = out + i * k;
      std::fill_n(out_i, k, T(0));
      for (std::size_t l = 0; l < m; ++l) {
        const T factor = weighted[i * m + l];
        const T* basis_row = e.basis_ + l * k;
        for (std::size_t j = 0; j < k; ++j) out_i[j] += factor * basis_row[j];
      }
    }
  }

  // A failed evaluation, or a refused point, stops the engine.
  static int should_stop(void* self) { return static_cast<EngineFit*>(self)->fit_.failed(); }

  // Refuses a trial point that violates a guard row; once one was refused
  // every point passes, and the evaluation that follows stops the engine
  // without calling the model.
  static int accept_point(const T* z, int, void* self) {
    auto& e = *static_cast<EngineFit*>(self);
    if (e.fit_.failed()) return 1;
    return e.fit_.admissible(e.parameters(z)) ? 1 : 0;
  }

 private:
  void fill_invalid(T* out, int columns) const {
    std::fill_n(out, std::size_t(n_) * std::size_t(columns), std::numeric_limits<T>::quiet_NaN());
  }

  Fit<T>& fit_;
  const Weights<T> weights_;
  const int m_, n_, k_;
  const T *origin_, *basis_;
  CBuffer<T> point_;     // p of the last z mapped
  CBuffer<T> weighted_;  // W J, before the product with the basis
};

// The engine's statuses in the numbering of the information vector's stop
// reason (1 to 7 as the other solvers; 8 and up the engine's own).
enum EngineStop {
  kSmallReduction = 8,  // converged: the actual and predicted reductions fell below ftol
  kStalled = 9,         // the steps or reductions became negligible, the gradient did not
  kEvaluationLimit = 10,
};

int stop_reason(int status) {
  switch (status) {
    case OMBRIX_SOLVE_SMALL_GRADIENT: return ombrix::kSmallGradient;
    case OMBRIX_SOLVE_SMALL_STEP: return ombrix::kSmallStep;
    case OMBRIX_SOLVE_SMALL_REDUCTION: return kSmallReduction;
    case OMBRIX_SOLVE_ZERO_RESIDUAL: return ombrix::kSmallError;  // chi-square below any tolerance
    case OMBRIX_SOLVE_STALLED: return kStalled;
    case OMBRIX_SOLVE_ITERATION_LIMIT: return ombrix::kIterationLimit;
    case OMBRIX_SOLVE_EVALUATION_LIMIT: return kEvaluationLimit;
    case OMBRIX_SOLVE_INVALID_VALUES: return ombrix::kInvalidValues;
    default: return ombrix::kSingular;  // a factorisation failed
  }
}

// Whether a basis (m x k) is square and diagonal: parameter scales only.
template <typename T>
bool diagonal_basis(const T* basis, int m, int k) {
  if (k != m) return false;
  for (std::size_t i = 0; i < std::size_t(m); ++i)
    for (std::size_t j = 0; j < std::size_t(m); ++j)
      if (i != j && basis[i * std::size_t(m) + j] != T(0)) return false;
  return true;
}

// The typical sizes and the bounds (either may be null) in the variables z
// of p = origin + diag(s) z, into out (3 m: typical, lower, upper); the
// unbounded marks (the largest finite value) are kept.
template <typename T>
void to_scaled_variables(const T* origin, const T* basis, int m, const T* typical, const T* lower, const T* upper,
                         T* out) {
  const T largest = std::numeric_limits<T>::max();
  const std::size_t mm = std::size_t(m);
  for (std::size_t j = 0; j < mm; ++j) {
    const T s = basis[j * mm + j];
    out[j] = typical[j] / s;
    if (lower) out[mm + j] = lower[j] == -largest ? -largest : (lower[j] - origin[j]) / s;
    if (upper) out[2 * mm + j] = upper[j] == largest ? largest : (upper[j] - origin[j]) / s;
  }
}

// The engine's settings that ombrix.fit and curve_fit choose.
struct EngineSettings {
  bool enabled = false;
  int loss = OMBRIX_LOSS_LINEAR;
  double f_scale = 1, ftol = -1, xtol = -1, gtol = -1;  // negative: the engine's default
  int max_nfev = 0;
  bool identity_scaling = false;  // damping by the identity (the basis carries the scale)
};

// rho'(z) of a robust loss at z = (r / f_scale)^2: the weight of a residual
// in the loss-rescaled problem (1 for the linear loss).
double loss_weight(int loss, double z) {
  switch (loss) {
    case OMBRIX_LOSS_SOFT_L1: return 1 / std::sqrt(1 + z);
    case OMBRIX_LOSS_HUBER: return z <= 1 ? 1 : 1 / std::sqrt(z);
    case OMBRIX_LOSS_CAUCHY: return 1 / (1 + z);
    case OMBRIX_LOSS_ARCTAN: return 1 / (1 + z * z);
    default: return 1;
  }
}

bool read_loss(PyObject* loss, int* out) {
  const char* text = PyUnicode_Check(loss) ? PyUnicode_AsUTF8(loss) : nullptr;
  if (!text) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "loss must be a str");
    return false;
  }
  const std::string_view name(text);
  const std::pair<std::string_view, int> losses[] = {{"linear", OMBRIX_LOSS_LINEAR},
                                                     {"soft_l1", OMBRIX_LOSS_SOFT_L1},
                                                     {"huber", OMBRIX_LOSS_HUBER},
                                                     {"cauchy", OMBRIX_LOSS_CAUCHY},
                                                     {"arctan", OMBRIX_LOSS_ARCTAN}};
  for (const auto& [known, code] : losses)
    if (name == known) {
      *out = code;
      return true;
    }
  PyErr_Format(PyExc_ValueError, "loss must be 'linear', 'soft_l1', 'huber', 'cauchy' or 'arctan', not %R", loss);
  return false;
}

// ==== module functions ========================================================

// ---- argument conversion ----

// An array of T of exactly the given shape (C-contiguous, aligned), or None
// when `optional` and the object is None (then *out stays empty).  `dims`
// entries of -1 take any length, reported back through `dims`.
template <typename T>
bool array_argument(PyObject* object, const char* name, int ndim, npy_intp* dims, bool optional, Ref* out) {
  if (optional && object == Py_None) return true;
  Ref array(PyArray_FromAny(object, PyArray_DescrFromType(kNumpyType<T>), 0, 0,
                            NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
  if (!array) return false;
  PyArrayObject* a = as_array(array);
  bool ok = PyArray_NDIM(a) == ndim;
  for (int k = 0; ok && k < ndim; ++k) ok = dims[k] < 0 || PyArray_DIM(a, k) == dims[k];
  if (!ok) {
    Ref shape(PyObject_GetAttrString(array, "shape"));
    if (shape) PyErr_Format(PyExc_ValueError, "%s has shape %R, which does not fit the problem", name, shape.get());
    return false;
  }
  for (int k = 0; k < ndim; ++k) dims[k] = PyArray_DIM(a, k);
  *out = std::move(array);
  return true;
}

// A length as the solvers' int.
bool to_count(npy_intp value, const char* what, int* out) {
  if (value > std::numeric_limits<int>::max() / 2) {
    PyErr_Format(PyExc_ValueError, "%s is too long", what);
    return false;
  }
  *out = int(value);
  return true;
}

// The precision of a fit: that of p0, float64 or float32.
int precision_of(PyObject* p0) {
  if (PyArray_Check(p0) && PyArray_TYPE(as_array(p0)) == NPY_FLOAT) return NPY_FLOAT;
  return NPY_DOUBLE;
}

bool read_differences(PyObject* diff, Differences* out, bool* secant) {
  const char* text = PyUnicode_Check(diff) ? PyUnicode_AsUTF8(diff) : nullptr;
  if (!text) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "diff must be a str");
    return false;
  }
  const std::string_view name(text);
  *secant = name == "secant";
  if (name == "forward" || name == "secant") {
    *out = Differences::kForward;
  } else if (name == "central") {
    *out = Differences::kCentral;
  } else {
    PyErr_Format(PyExc_ValueError, "diff must be 'forward', 'central' or 'secant', not %R", diff);
    return false;
  }
  return true;
}

// The model's extra arguments as a tuple.
Ref args_tuple(PyObject* args) {
  if (PyTuple_Check(args)) return Ref::borrow(args);
  return Ref(PySequence_Tuple(args));
}

bool check_callables(PyObject* model, PyObject* jac) {
  if (!PyCallable_Check(model)) {
    PyErr_SetString(PyExc_TypeError, "model must be callable");
    return false;
  }
  if (jac != Py_None && !PyCallable_Check(jac)) {
    PyErr_SetString(PyExc_TypeError, "jac must be callable or None");
    return false;
  }
  return true;
}

// The typical parameter sizes: m positive finite values, 1 for None.
template <typename T>
bool typical_sizes(PyObject* object, int m, Ref* out) {
  npy_intp dims[1] = {m};
  if (object == Py_None) {
    *out = Ref(PyArray_SimpleNew(1, dims, kNumpyType<T>));
    if (!*out) return false;
    std::fill_n(data_of<T>(*out), m, T(1));
    return true;
  }
  if (!array_argument<T>(object, "typical", 1, dims, false, out)) return false;
  const T* v = data_of<T>(*out);
  if (!std::all_of(v, v + m, [](T t) { return t > T(0) && std::isfinite(t); })) {
    PyErr_SetString(PyExc_ValueError, "typical sizes must be positive and finite");
    return false;
  }
  return true;
}

// A new k x m array M diag(scale), for a constraint matrix M of k x m.
template <typename T>
Ref scaled_columns(const T* matrix, int k, int m, const T* scale) {
  Ref scaled = ombrix::py::array_copy(matrix, npy_intp(k) * m);
  if (!scaled) return {};
  T* v = data_of<T>(scaled);
  for (std::size_t i = 0; i < std::size_t(k); ++i)
    for (std::size_t j = 0; j < std::size_t(m); ++j) v[i * std::size_t(m) + j] *= scale[j];
  return scaled;
}

// Divides each row of M p = v (M: k x m) by its norm.  The elimination's rank
// test compares the rows' pivots with the largest one: rows of very different
// lengths, as scaling the columns makes of bound rows e_j, would fail it.
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

// The solver's information vector as a tuple of 10 floats.
template <typename T>
Ref info_values(const T* info) {
  Ref values(PyTuple_New(10));
  if (!values) return {};
  for (Py_ssize_t i = 0; i < 10; ++i) {
    PyObject* value = PyFloat_FromDouble(double(info[i]));
    if (!value) return {};
    PyTuple_SET_ITEM(values.get(), i, value);
  }
  return values;
}

// The evaluator's stored exception, raised; always null.
template <typename T>
PyObject* raise_stored(PythonEvaluator<T>& evaluator) {
  Ref error = evaluator.take_error();
  if (error) {
    ombrix::py::restore_exception(std::move(error));
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "an evaluation failed without an exception");
  }
  return nullptr;
}

// ---- the solution ----
//
// What solve() reports besides p: the weighted residuals, chi-square, the
// active constraints, the covariance and, on request, the pivoted QR
// factorisation of the weighted Jacobian.  All in double precision, from
// the model values and Jacobian of the fit's precision.

using ombrix::kInvalidValues, ombrix::kIterationLimit, ombrix::kSmallGradient,
    ombrix::kSmallStep;  // stop reasons (info entry 6)

// The weights in double precision, for the statistics (the solver's own are
// in the fit's precision).
struct Weighting64 {
  Weights<double> weights;
  Ref array;  // owns weights.values
};

// Which constraints hold with equality at p, within 10 eps of the fit's
// precision relative to the sizes involved: bounds[j] is -1 at the lower
// bound, +1 at the upper one, 0 otherwise; rows[i] is true for an active
// inequality C_i p >= d_i.
template <typename T>
void active_constraints(const T* p, int m, const Constraints<T>& c, signed char* bounds, bool* rows) {
  const double eps = std::numeric_limits<T>::epsilon();
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

// A converged fit stops once chi-square no longer resolves its steps, which
// can leave the last digits short of the minimum.  The Gauss-Newton step
// dp = cov J^T r from the Jacobian at p (within the directions the active
// constraints leave free) recovers them; it is taken when it is a small
// correction (|dp| <= eps^(1/3) |p|), keeps every bound, and does not raise
// chi-square beyond its rounding: each residual y_i - f_i carries an error
// of about eps |y_i|, so chi-square one of up to 2 eps sum |r_i| |y_i| <=
// 2 eps |r| |W y| (taken twice, plus n eps chi-square for the sum itself).
// Fits with inequalities keep their point.  `values` holds the model values
// at p on entry and on return, r the weighted residuals; false only when
// the model failed.
template <typename T>
bool polish(Fit<T>& fit, T* p, const T* y, const T* weighted_y, int m, int n, const Constraints<T>& c,
            const signed char* bounds, const double* jw, const double* cov, const Weights<double>& w, double* scratch,
            T* values, double* r, double* chisq) {
  if (c.C) return true;
  const std::size_t mm = std::size_t(m);
  CBuffer<double> gradient(allocate<double>(mm)), step(allocate<double>(mm));
  CBuffer<T> trial(allocate<T>(mm));
  CBuffer<double> trial_r(allocate<double>(std::size_t(n)));
  if (!gradient || !step || !trial || !trial_r) return true;  // a correction, not worth a MemoryError
  for (int i = 0; i < n; ++i)
    for (std::size_t j = 0; j < mm; ++j) gradient[j] += jw[std::size_t(i) * mm + j] * r[i];
  double step2 = 0, p2 = 0;
  for (std::size_t j = 0; j < mm; ++j) {
    for (std::size_t l = 0; l < mm; ++l) step[j] += cov[j * mm + l] * gradient[l];
    step2 += step[j] * step[j];
    p2 += double(p[j]) * double(p[j]);
  }
  const double eps = std::numeric_limits<T>::epsilon();
  if (!std::isfinite(step2) || step2 == 0 || step2 > std::cbrt(eps * eps) * p2) return true;
  bool moved = false;
  for (std::size_t j = 0; j < mm; ++j) {
    trial[j] = bounds[j] ? p[j] : T(double(p[j]) + step[j]);
    if ((c.lb && trial[j] < c.lb[j]) || (c.ub && trial[j] > c.ub[j])) return true;
    moved = moved || trial[j] != p[j];
  }
  if (!moved) return true;
  const T* trial_f = nullptr;
  if (!fit.values_at(trial.get(), &trial_f)) return false;
  const double trial_chisq = weighted_residuals(y, trial_f, n, w, scratch, trial_r.get());
  double wy2 = 0;
  for (int i = 0; i < n; ++i) wy2 += double(weighted_y[i]) * double(weighted_y[i]);
  const double rounding = eps * (4 * std::sqrt(*chisq * wy2) + n * *chisq);
  if (!(trial_chisq <= *chisq + rounding)) return true;
  std::copy_n(trial.get(), m, p);
  std::copy_n(trial_f, n, values);
  std::copy_n(trial_r.get(), n, r);
  *chisq = trial_chisq;
  return true;
}

// ---- solve ----

struct Tolerances {
  double tau, eps1, eps2, eps3;
  int max_iter;
};

// Runs the engine from z (k variables), with the binding's Jacobian (analytic,
// or its differences in p, which stay inside lb and ub) or the engine's
// differences; fills the information vector as the other solvers do.
// Returns the engine's status, -1 when it could not start, -2 when its
// workspace could not be allocated.
template <typename T>
int run_engine(EngineFit<T>& e, const EngineSettings& s, bool guarded, bool binding_jacobian,
               Differences differences, const T* typical, const T* lb, const T* ub, T* z, int k, int n,
               const T* weighted_y, const Tolerances& t, T* info) {
  typename Engine<T>::Options o;
  Engine<T>::defaults(&o);
  // the workspace from here, so that a shortage is a MemoryError
  const int reals = Engine<T>::workspace_size(k, n);
  CBuffer<T> workspace(reals > 0 ? allocate<T>(std::size_t(reals)) : nullptr);
  if (!workspace) return -2;
  o.workspace = workspace.get();
  o.max_iterations = t.max_iter;
  o.max_evaluations = s.max_nfev;
  if (s.ftol >= 0) o.ftol = T(s.ftol);
  if (s.xtol >= 0) o.xtol = T(s.xtol);
  if (s.gtol >= 0) o.gtol = T(s.gtol);
  o.initial_damping = T(t.tau);
  o.scaling = s.identity_scaling ? OMBRIX_SCALE_IDENTITY : OMBRIX_SCALE_MAX_COLUMN_NORMS;
  o.loss = s.loss;
  o.f_scale = T(s.f_scale);
  o.differences = differences == Differences::kCentral ? OMBRIX_DIFFERENCES_CENTRAL : OMBRIX_DIFFERENCES_FORWARD;
  if (!binding_jacobian) {
    o.typical = typical;
    o.lower = lb;
    o.upper = ub;
  }
  o.should_stop = EngineFit<T>::should_stop;
  if (guarded) o.accept_point = EngineFit<T>::accept_point;
  ombrix_solve_result result{};
  const auto jacobian = binding_jacobian ? EngineFit<T>::jacobian_callback : nullptr;
  const int status = Engine<T>::solve(EngineFit<T>::model_callback, jacobian, z, weighted_y, nullptr, k, n, &o,
                                      &result, nullptr, &e);
  if (status < 0) return status;
  info[0] = T(result.initial_chisq);
  info[1] = T(result.chisq);
  info[2] = T(result.gradient);
  info[4] = T(result.damping);
  info[5] = T(result.iterations);
  info[6] = T(stop_reason(status));
  info[7] = T(result.nfev);
  info[8] = T(result.njev);
  return status;
}

// The arguments of solve(), as given.  In a guarded fit (solve_guarded) C and
// d are the guard rows G p >= h, the bounds only shape difference steps, and
// A may fix every parameter (then nothing is solved).
struct SolveArgs {
  PyObject *model, *p0, *y, *args, *jac, *weights, *lb, *ub, *A, *b, *C, *d, *diff, *typical;
  bool scale;
  Tolerances tolerances;
  Convention convention;
  bool polish, factor;
  bool guarded = false;
  EngineSettings engine;
  PyObject *origin = Py_None, *basis = Py_None, *z0 = Py_None;  // the engine's variables, see EngineFit
};

template <typename T>
PyObject* solve_impl(const SolveArgs& a) {
  if (!check_callables(a.model, a.jac)) return nullptr;
  Differences differences;
  bool secant = false;
  if (!read_differences(a.diff, &differences, &secant)) return nullptr;
  if (a.guarded && (secant || a.polish)) {
    // the secant solver's own difference points cannot be told from the points it tries,
    // and the final correction would step past the guard
    PyErr_SetString(PyExc_ValueError, "a guarded fit takes diff='forward' or 'central' and no polish");
    return nullptr;
  }
  const bool engine = a.engine.enabled;
  if (engine && secant) {
    PyErr_SetString(PyExc_ValueError, "the engine takes diff='forward' or 'central'");
    return nullptr;
  }
  if (a.tolerances.max_iter < (a.guarded ? 0 : 1)) {
    PyErr_SetString(PyExc_ValueError, a.guarded ? "max_iter must not be negative" : "max_iter must be at least 1");
    return nullptr;
  }
  Ref args = args_tuple(a.args);
  if (!args) return nullptr;

  npy_intp p_dims[1] = {-1}, y_dims[1] = {-1};
  Ref p0, y;
  if (!array_argument<T>(a.p0, "p0", 1, p_dims, false, &p0) || !array_argument<T>(a.y, "y", 1, y_dims, false, &y))
    return nullptr;
  int m = 0, n = 0;
  if (!to_count(p_dims[0], "p0", &m) || !to_count(y_dims[0], "y", &n)) return nullptr;
  if (m < 1 || n < 1) {
    PyErr_SetString(PyExc_ValueError, "p0 and y must not be empty");
    return nullptr;
  }

  Weights<T> weights;
  Weighting64 weights64;
  Ref weight_array;
  if (a.weights != Py_None) {
    Ref probe(PyArray_FromAny(a.weights, nullptr, 0, 0, 0, nullptr));
    if (!probe) return nullptr;
    const int ndim = PyArray_NDIM(as_array(probe)) == 2 ? 2 : 1;
    npy_intp dims[2] = {n, n};
    if (!array_argument<T>(a.weights, "weights", ndim, dims, false, &weight_array) ||
        !array_argument<double>(a.weights, "weights", ndim, dims, false, &weights64.array))
      return nullptr;
    const Weighting kind = ndim == 1 ? Weighting::kDiagonal : Weighting::kCovariance;
    weights = {kind, data_of<T>(weight_array)};
    weights64.weights = {kind, data_of<double>(weights64.array)};
  }
  // The solver fits W f(p) to W y, formed in double precision.
  Ref y64, weighted_y;
  if (!array_argument<double>(a.y, "y", 1, y_dims, false, &y64)) return nullptr;
  if (weights.kind == Weighting::kNone) {
    weighted_y = Ref::borrow(y.get());
  } else {
    CBuffer<double> wy(allocate<double>(std::size_t(n)));
    weighted_y = Ref(PyArray_SimpleNew(1, y_dims, kNumpyType<T>));
    if (!weighted_y) return nullptr;
    if (!wy) return PyErr_NoMemory();
    weights64.weights.apply(data_of<double>(y64), wy.get(), n, 1);
    std::copy_n(wy.get(), n, data_of<T>(weighted_y));
  }

  npy_intp m_dims[1] = {m};
  Ref lb, ub;
  if (!array_argument<T>(a.lb, "lb", 1, m_dims, true, &lb) || !array_argument<T>(a.ub, "ub", 1, m_dims, true, &ub))
    return nullptr;
  if (bool(lb) != bool(ub)) {
    PyErr_SetString(PyExc_ValueError, "lb and ub must be given together");
    return nullptr;
  }
  if ((a.A == Py_None) != (a.b == Py_None) || (a.C == Py_None) != (a.d == Py_None)) {
    PyErr_SetString(PyExc_ValueError, "A and b (and C and d) must be given together");
    return nullptr;
  }
  npy_intp A_dims[2] = {-1, m}, C_dims[2] = {-1, m};
  Ref A, b, C, d;
  const char* C_name = a.guarded ? "G" : "C";
  if (!array_argument<T>(a.A, "A", 2, A_dims, true, &A) || !array_argument<T>(a.C, C_name, 2, C_dims, true, &C))
    return nullptr;
  npy_intp b_dims[1] = {A ? A_dims[0] : -1}, d_dims[1] = {C ? C_dims[0] : -1};
  if (!array_argument<T>(a.b, "b", 1, b_dims, true, &b) ||
      !array_argument<T>(a.d, a.guarded ? "h" : "d", 1, d_dims, true, &d))
    return nullptr;
  int k1 = 0, k2 = 0;
  if (A && !to_count(A_dims[0], "A", &k1)) return nullptr;
  if (C && !to_count(C_dims[0], C_name, &k2)) return nullptr;
  if (A && (k1 < 1 || k1 > m || (k1 == m && !a.guarded))) {
    PyErr_SetString(PyExc_ValueError, "A must have at least one row and fewer rows than parameters");
    return nullptr;
  }
  // A guarded fit solves nothing when its rows fix every parameter (the
  // gradient left is 0) or when it has no iteration left: it reports the
  // statistics at p0, which must satisfy the rows.
  const bool nothing_free = k1 == m, no_solve = nothing_free || a.tolerances.max_iter == 0;
  if (C && k2 < 1) {
    PyErr_Format(PyExc_ValueError, "%s must have at least one row", C_name);
    return nullptr;
  }
  if (n < m - k1) {
    PyErr_Format(PyExc_ValueError, "fewer data points (%d) than free parameters (%d)", n, m - k1);
    return nullptr;
  }

  if (engine && !a.guarded && (C || lb)) {
    PyErr_SetString(PyExc_ValueError, "engine_solve takes no bounds and no inequalities");
    return nullptr;
  }
  if (engine && A && !nothing_free && a.basis == Py_None) {
    PyErr_SetString(PyExc_ValueError, "the engine eliminates the rows of A through a basis of their null space");
    return nullptr;
  }
  Ref typical;
  if (!typical_sizes<T>(a.typical, m, &typical)) return nullptr;
  Ref p = ombrix::py::array_copy(data_of<T>(p0), m);
  if (!p) return nullptr;
  PythonEvaluator<T> evaluator;
  if (!evaluator.bind(a.model, a.jac, args, m, n, a.convention)) return nullptr;
  Fit<T> fit(evaluator, m, n, weights, differences, data_of<T>(typical), lb ? data_of<T>(lb) : nullptr,
             ub ? data_of<T>(ub) : nullptr);
  if (!fit.allocate_buffers()) return nullptr;
  if (C && a.guarded) fit.set_guard(data_of<T>(C), data_of<T>(d), k2);  // on p itself, not on the scaled variables

  // The engine's variables: z = p, or p = origin + basis z from z0.
  Ref origin, basis, z;
  int k = m;
  if (engine && a.basis != Py_None) {
    npy_intp basis_dims[2] = {m, -1}, z_dims[1] = {-1};
    if (!array_argument<T>(a.origin, "origin", 1, m_dims, false, &origin) ||
        !array_argument<T>(a.basis, "basis", 2, basis_dims, false, &basis) ||
        !to_count(basis_dims[1], "basis", &k))
      return nullptr;
    z_dims[0] = k;
    if (!array_argument<T>(a.z0, "z0", 1, z_dims, false, &z)) return nullptr;
    z = ombrix::py::array_copy(data_of<T>(z), k);
    if (!z) return nullptr;
    if (k < 1 || n < k) {
      PyErr_SetString(PyExc_ValueError, "basis must have between 1 and n columns");
      return nullptr;
    }
  }
  EngineFit<T> engine_fit(fit, weights, m, n, k, origin ? data_of<T>(origin) : nullptr,
                          basis ? data_of<T>(basis) : nullptr);
  if (engine && !engine_fit.allocate_buffers()) return nullptr;
  if (z) std::copy_n(engine_fit.parameters(data_of<T>(z)), m, data_of<T>(p));  // the start, as the engine maps it

  // The solver's variables q = p / scale, and its constraints in them: the
  // bounds divided (the unbounded marks kept), the columns of A and C
  // multiplied.  Without scaling the scale is 1 and these are copies (the
  // box solver may change the bounds it is given).
  CBuffer<T> scale(allocate<T>(std::size_t(m)));
  CBuffer<T> scratch(a.scale ? allocate<T>(std::size_t(n), std::size_t(m)) : allocate<T>(1));
  if (!scale || !scratch) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::fill_n(scale.get(), m, T(1));
  // The model at the start first (unless the guard refuses it): where it is
  // not finite, or the Jacobian there is not, nothing is solved and no
  // Jacobian is taken at such a point; the caller names the value.
  const T* f_start = nullptr;
  const bool start_evaluated = fit.admissible(data_of<T>(p)) && fit.values_at(data_of<T>(p), &f_start);
  if (!start_evaluated && !fit.blocked()) return raise_stored(evaluator);
  const bool start_invalid = start_evaluated && !all_finite(f_start, std::size_t(n));
  if (a.scale && !engine && start_evaluated && !start_invalid &&
      !fit.set_scale_at(data_of<T>(p), scale.get(), scratch.get()))
    return raise_stored(evaluator);
  const bool start_refused = start_invalid || fit.jacobian_not_finite();
  scratch.reset();
  T* q = data_of<T>(p);
  for (int j = 0; j < m; ++j) q[j] /= scale[j];
  Ref lb_work, ub_work, A_work, b_work, C_work;
  Constraints<T> constraints;
  if (lb && !a.guarded) {
    lb_work = ombrix::py::array_copy(data_of<T>(lb), m);
    ub_work = ombrix::py::array_copy(data_of<T>(ub), m);
    if (!lb_work || !ub_work) return nullptr;
    constraints.lb = data_of<T>(lb_work);
    constraints.ub = data_of<T>(ub_work);
    for (int j = 0; j < m; ++j) {
      if (constraints.lb[j] != -std::numeric_limits<T>::max()) constraints.lb[j] /= scale[j];
      if (constraints.ub[j] != std::numeric_limits<T>::max()) constraints.ub[j] /= scale[j];
    }
  }
  if (A) {
    A_work = scaled_columns(data_of<T>(A), k1, m, scale.get());
    b_work = ombrix::py::array_copy(data_of<T>(b), k1);
    if (!A_work || !b_work) return nullptr;
    unit_rows(data_of<T>(A_work), data_of<T>(b_work), k1, m);
    constraints.A = data_of<T>(A_work);
    constraints.b = data_of<T>(b_work);
    constraints.k1 = k1;
  }
  if (C && !a.guarded) {
    C_work = scaled_columns(data_of<T>(C), k2, m, scale.get());
    if (!C_work) return nullptr;
    constraints.C = data_of<T>(C_work);
    constraints.d = data_of<T>(d);
    constraints.k2 = k2;
  }

  // In secant mode the numeric layer differences with the step
  // max(1e-4 |p_j|, delta); delta is kept above the precision's resolution.
  const T delta = std::max(T(1e-6), kForwardStep<T>);
  const Tolerances& t = a.tolerances;
  const T opts[5] = {T(t.tau), T(t.eps1), T(t.eps2), T(t.eps3), differences == Differences::kCentral ? -delta : delta};
  T info[10] = {};  // stop code 0 until the solver writes its own
  const SolverCall<T> call{secant && !evaluator.has_jacobian(), data_of<T>(p), data_of<T>(weighted_y), m, n, t.max_iter, opts,
                           info, &fit};
  int status = 0;
  ombrix::py::NumericCall numeric;
  if (start_refused) {
    info[6] = T(kInvalidValues);
  } else if (no_solve) {
    info[6] = T(nothing_free ? kSmallGradient : kIterationLimit);  // nothing free, or no iteration given
  } else if (engine) {
    // The engine's own differences (central ones to end a forward-difference fit), but in
    // the binding's where a basis mixes the parameters: there only p-space steps keep the bounds.
    const T* basis_data = basis ? data_of<T>(basis) : nullptr;
    const bool diagonal = !basis || diagonal_basis(basis_data, m, k);
    const bool binding_jacobian = evaluator.has_jacobian() || !diagonal;
    CBuffer<T> z_sizes(allocate<T>(3, std::size_t(m)));
    if (!z_sizes) return PyErr_NoMemory();
    const T *z_typical = data_of<T>(typical), *z_lower = lb ? data_of<T>(lb) : nullptr,
            *z_upper = ub ? data_of<T>(ub) : nullptr;
    if (basis && diagonal) {
      to_scaled_variables(data_of<T>(origin), basis_data, m, z_typical, z_lower, z_upper, z_sizes.get());
      z_typical = z_sizes.get();
      z_lower = lb ? z_sizes.get() + m : nullptr;
      z_upper = ub ? z_sizes.get() + 2 * std::size_t(m) : nullptr;
    }
    status = run_engine(engine_fit, a.engine, a.guarded, binding_jacobian, differences, z_typical, z_lower, z_upper,
                        z ? data_of<T>(z) : q, k, n, data_of<T>(weighted_y), a.tolerances, info);
    if (z) std::copy_n(engine_fit.parameters(data_of<T>(z)), m, q);
  } else if (evaluator.needs_interpreter()) {
    status = run_solver(call, constraints);
  } else {
    Py_BEGIN_ALLOW_THREADS
    status = run_solver(call, constraints);
    Py_END_ALLOW_THREADS
  }
  if (numeric.raise_if_failed()) return nullptr;
  if (status == -2) return PyErr_NoMemory();
  if (fit.blocked()) {
    // (the last Jacobian point, or the start when none was taken, None, None, info, ..., None for
    // the statistics, the point refused)
    const T* current = engine ? q : fit.jacobian_point() ? fit.jacobian_point() : data_of<T>(p0);
    Ref current_array = ombrix::py::array_copy(current, m);
    Ref blocked_array = ombrix::py::array_copy(fit.blocked_point(), m);
    Ref info_tuple = info_values(info);
    if (!current_array || !blocked_array || !info_tuple) return nullptr;
    PyObject* none = Py_None;
    return Py_BuildValue("(OOOOLLiOOOOOOOOOO)", current_array.get(), none, none, info_tuple.get(),
                         fit.model_calls(), fit.jacobians(), status, none, none, none, none, none, none, none, none,
                         none, blocked_array.get());
  }
  if (fit.failed()) return raise_stored(evaluator);
  if (status == -1 && info[6] == T(0)) {
    PyErr_SetString(PyExc_RuntimeError, "the solver could not start; its reason is on standard error");
    return nullptr;
  }
  for (int j = 0; j < m; ++j) q[j] *= scale[j];  // p, exactly
  T* const p_out = q;
  if (!engine && fit.jacobian_not_finite()) std::copy_n(fit.jacobian_point(), m, p_out);  // where the fit stopped

  // Model values and Jacobian at the returned point, for the residuals and the covariance.
  const T* f = nullptr;
  const T* jac = nullptr;
  if (!fit.values_at(p_out, &f)) return raise_stored(evaluator);
  if (start_invalid) {
    jac = fit.unevaluated_jacobian();
  } else if (!fit.jacobian_at(p_out, &jac)) {
    return raise_stored(evaluator);
  }
  // also one first taken here; the engine refuses the points of others
  if (engine ? !all_finite(jac, std::size_t(n) * std::size_t(m)) : fit.jacobian_not_finite())
    info[6] = T(kInvalidValues);
  // The constraints in the caller's variables; in a guarded fit only the rows
  // eliminated, which the caller chose as those that hold.
  Constraints<T> given;
  if (lb && !a.guarded) {
    given.lb = data_of<T>(lb);
    given.ub = data_of<T>(ub);
  }
  if (A) {
    given.A = data_of<T>(A);
    given.b = data_of<T>(b);
    given.k1 = k1;
  }
  if (C && !a.guarded) {
    given.C = data_of<T>(C);
    given.d = data_of<T>(d);
    given.k2 = k2;
  }

  const std::size_t nn = std::size_t(n), mm = std::size_t(m);
  npy_intp f_dims[1] = {n}, jac_dims[2] = {n, m}, cov_dims[2] = {m, m}, m_dims1[1] = {m}, k2_dims[1] = {k2};
  Ref f_array(PyArray_SimpleNew(1, f_dims, kNumpyType<T>));
  Ref jac_array(PyArray_SimpleNew(2, jac_dims, kNumpyType<T>));
  Ref r_array(PyArray_SimpleNew(1, f_dims, NPY_DOUBLE));
  Ref cov_array(PyArray_SimpleNew(2, cov_dims, NPY_DOUBLE));
  Ref bounds_array(PyArray_ZEROS(1, m_dims1, NPY_INT8, 0));
  Ref rows_array(PyArray_ZEROS(1, k2_dims, NPY_BOOL, 0));
  CBuffer<double> jw(allocate<double>(nn, mm)), work(allocate<double>(3 * nn)), g(allocate<double>(mm + k1 + k2, mm));
  if (!f_array || !jac_array || !r_array || !cov_array || !bounds_array || !rows_array) return nullptr;
  if (!jw || !work || !g) return PyErr_NoMemory();
  T* values = data_of<T>(f_array);
  std::copy_n(f, nn, values);
  std::copy_n(jac, nn * mm, data_of<T>(jac_array));
  double* r = data_of<double>(r_array);
  double chisq = weighted_residuals(data_of<T>(y), values, n, weights64.weights, work.get(), r);
  {
    CBuffer<double> unweighted(allocate<double>(nn, mm));
    if (!unweighted) return PyErr_NoMemory();
    std::copy_n(jac, nn * mm, unweighted.get());
    weights64.weights.apply(unweighted.get(), jw.get(), n, m);
  }

  // Under a robust loss the covariance is that of the loss-rescaled problem:
  // each row of W J weighted by sqrt(rho'), as iteratively reweighted least
  // squares would weight it at p.
  if (engine && a.engine.loss != OMBRIX_LOSS_LINEAR)
    for (std::size_t i = 0; i < nn; ++i) {
      const double u = r[i] / a.engine.f_scale;
      const double s = std::sqrt(loss_weight(a.engine.loss, u * u));
      for (std::size_t j = 0; j < mm; ++j) jw[i * mm + j] *= s;
    }
  auto* bounds = static_cast<signed char*>(PyArray_DATA(as_array(bounds_array)));
  auto* rows = static_cast<bool*>(PyArray_DATA(as_array(rows_array)));
  active_constraints(p_out, m, given, bounds, rows);
  const int g_rows = constraint_rows(given, m, bounds, rows, g.get());
  ombrix::solution::Rank rank;
  double* cov = data_of<double>(cov_array);
  // Singular values count as zero up to the Jacobian's relative accuracy:
  // eps when analytic, but about sqrt(eps) (forward) or eps^(2/3) (central)
  // for the differences taken above, whose error would otherwise pass for a
  // direction the data determine (a model of p0 * p1 alone got finite
  // variances of 1e13 instead of none).
  const T eps = std::numeric_limits<T>::epsilon();
  const T accuracy = evaluator.has_jacobian() ? eps
                     : differences == Differences::kCentral ? std::cbrt(eps) * std::cbrt(eps)
                                                            : std::sqrt(eps);
  if (!ombrix::solution::covariance(jw.get(), n, m, g.get(), g_rows, accuracy, cov, &rank))
    return PyErr_NoMemory();
  const int stop = int(info[6]);
  if (a.polish && (stop == kSmallGradient || stop == kSmallStep) &&
      !polish(fit, p_out, data_of<T>(y), data_of<T>(weighted_y), m, n, given, bounds, jw.get(), cov,
              weights64.weights, work.get(), values, r, &chisq))
    return raise_stored(evaluator);
  const double total = constant_model_chisq(data_of<double>(y64), n, weights64.weights, work.get());

  Ref factored = Ref::borrow(Py_None);
  if (a.factor) {
    npy_intp qr_dims[2] = {m, n};
    Ref fjac(PyArray_SimpleNew(2, qr_dims, NPY_DOUBLE));
    Ref ipvt(PyArray_SimpleNew(1, m_dims1, NPY_INT32));
    Ref qtf(PyArray_SimpleNew(1, m_dims1, NPY_DOUBLE));
    if (!fjac || !ipvt || !qtf) return nullptr;
    for (std::size_t i = 0; i < nn; ++i) work[i] = -r[i];  // the residuals as f - y
    if (!ombrix::solution::pivoted_qr(jw.get(), n, m, work.get(), data_of<double>(fjac),
                                      static_cast<int*>(PyArray_DATA(as_array(ipvt))), data_of<double>(qtf)))
      return PyErr_NoMemory();
    factored = Ref(PyTuple_Pack(3, fjac.get(), ipvt.get(), qtf.get()));
    if (!factored) return nullptr;
  }

  if (no_solve || start_refused) info[0] = info[1] = T(chisq);
  Ref info_tuple = info_values(info);
  if (!info_tuple) return nullptr;
  if (a.guarded)
    return Py_BuildValue("(OOOOLLiOdOiidOOOO)", p.get(), f_array.get(), jac_array.get(), info_tuple.get(),
                         fit.model_calls(), fit.jacobians(), status, r_array.get(), chisq, cov_array.get(), rank.rank,
                         rank.free, total, bounds_array.get(), rows_array.get(), factored.get(), Py_None);
  return Py_BuildValue("(OOOOLLiOdOiidOOO)", p.get(), f_array.get(), jac_array.get(), info_tuple.get(),
                       fit.model_calls(), fit.jacobians(), status, r_array.get(), chisq, cov_array.get(), rank.rank,
                       rank.free, total, bounds_array.get(), rows_array.get(), factored.get());
}

const char* const kSolveParams[] = {"model", "p0", "y", "args", "jac", "weights", "lb", "ub", "A", "b", "C", "d",
                                    "diff", "typical", "scale", "tau", "eps1", "eps2", "eps3", "max_iter",
                                    "unpack", "polish", "factor"};
const char* const kSolveGuardedParams[] = {"model", "p0", "y", "args", "jac", "weights", "lb", "ub", "A", "b",
                                           "G", "h", "diff", "typical", "scale", "tau", "eps1", "eps2", "eps3",
                                           "max_iter", "unpack", "polish", "factor"};
static_assert(std::size(kSolveParams) == std::size(kSolveGuardedParams));
constexpr std::size_t kSolveCount = std::size(kSolveParams);

// solve()'s parameters followed by `engine`, for the engine's entry points.
template <std::size_t N>
struct EngineParams {
  const char* names[N + 1];
  constexpr explicit EngineParams(const char* const (&base)[N]) : names{} {
    for (std::size_t i = 0; i < N; ++i) names[i] = base[i];
    names[N] = "engine";
  }
};
constexpr EngineParams kEngineSolveParams(kSolveParams);
constexpr EngineParams kEngineGuardedParams(kSolveGuardedParams);

// The engine's settings, given as the tuple (loss, f_scale, ftol, xtol, gtol,
// max_nfev, identity_scaling, origin, basis, z0): tolerances below 0 keep
// the engine's defaults; origin, basis and z0 are None or arrays (see
// EngineFit).
bool read_engine(PyObject* tuple, SolveArgs* a) {
  EngineSettings& s = a->engine;
  PyObject* loss = nullptr;
  int identity = 0;
  if (!PyTuple_Check(tuple)) {
    PyErr_SetString(PyExc_TypeError, "engine must be a tuple");
    return false;
  }
  if (!PyArg_ParseTuple(tuple, "OddddipOOO:engine", &loss, &s.f_scale, &s.ftol, &s.xtol, &s.gtol, &s.max_nfev,
                        &identity, &a->origin, &a->basis, &a->z0) ||
      !read_loss(loss, &s.loss))
    return false;
  if (s.max_nfev < 0) {
    PyErr_SetString(PyExc_ValueError, "max_nfev must not be negative");
    return false;
  }
  if (!(s.f_scale > 0) || !std::isfinite(s.f_scale)) {
    PyErr_SetString(PyExc_ValueError, "f_scale must be positive and finite");
    return false;
  }
  if ((a->basis == Py_None) != (a->origin == Py_None) || (a->basis == Py_None) != (a->z0 == Py_None)) {
    PyErr_SetString(PyExc_ValueError, "origin, basis and z0 must be given together");
    return false;
  }
  s.identity_scaling = identity;
  s.enabled = true;
  return true;
}

// Binds the arguments of solve() or solve_guarded(), which come in the same
// order, and runs the fit.
PyObject* bind_and_solve(ombrix::py::Signature signature, bool guarded, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* v[kSolveCount + 1];
  if (!ombrix::py::bind_arguments(signature, args, nargs, kwnames, v)) return nullptr;
  SolveArgs a{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13],
              false, {}, Convention::kArray, false, false};
  a.guarded = guarded;
  const int scale = PyObject_IsTrue(v[14]), unpack = PyObject_IsTrue(v[20]), polish = PyObject_IsTrue(v[21]),
            factor = PyObject_IsTrue(v[22]);
  if (scale < 0 || unpack < 0 || polish < 0 || factor < 0) return nullptr;
  a.scale = scale;
  a.convention = unpack ? Convention::kUnpacked : Convention::kArray;
  a.polish = polish;
  a.factor = factor;
  if (signature.params.size() > kSolveCount && !read_engine(v[kSolveCount], &a)) return nullptr;
  Tolerances& t = a.tolerances;
  if (!ombrix::py::to_double(v[15], &t.tau) || !ombrix::py::to_double(v[16], &t.eps1) ||
      !ombrix::py::to_double(v[17], &t.eps2) || !ombrix::py::to_double(v[18], &t.eps3) ||
      !ombrix::py::to_int(v[19], &t.max_iter))
    return nullptr;
  return precision_of(a.p0) == NPY_FLOAT ? solve_impl<float>(a) : solve_impl<double>(a);
}

PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve({"solve", kSolveParams}, false, args, nargs, kwnames);
}

PyObject* solve_guarded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve({"solve_guarded", kSolveGuardedParams}, true, args, nargs, kwnames);
}

PyObject* engine_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve({"engine_solve", kEngineSolveParams.names}, false, args, nargs, kwnames);
}

PyObject* engine_solve_guarded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve({"engine_solve_guarded", kEngineGuardedParams.names}, true, args, nargs, kwnames);
}

// ---- evaluations at one point ----

// The arguments of jacobian() and check_jacobian(): the callables, the
// model's arguments as a tuple, the point p as an array of T and its length m.
template <typename T>
bool point_arguments(PyObject* model, PyObject* jac, PyObject* p_object, PyObject* args_object, int n, Ref* args,
                     Ref* p, int* m) {
  if (!check_callables(model, jac)) return false;
  *args = args_tuple(args_object);
  if (!*args) return false;
  npy_intp p_dims[1] = {-1};
  if (!array_argument<T>(p_object, "p", 1, p_dims, false, p) || !to_count(p_dims[0], "p", m)) return false;
  if (*m < 1 || n < 1) {
    PyErr_SetString(PyExc_ValueError, "p must not be empty and n must be positive");
    return false;
  }
  return true;
}

// ---- jacobian ----

template <typename T>
PyObject* jacobian_impl(PyObject* model, PyObject* p_object, PyObject* args_object, PyObject* jac, PyObject* diff,
                        PyObject* typical_object, PyObject* lb_object, PyObject* ub_object, int n) {
  Differences differences;
  bool secant = false;
  if (!read_differences(diff, &differences, &secant)) return nullptr;
  Ref args, p;
  int m = 0;
  if (!point_arguments<T>(model, jac, p_object, args_object, n, &args, &p, &m)) return nullptr;
  npy_intp m_dims[1] = {m};
  Ref lb, ub;
  if (!array_argument<T>(lb_object, "lb", 1, m_dims, true, &lb) ||
      !array_argument<T>(ub_object, "ub", 1, m_dims, true, &ub))
    return nullptr;

  Ref typical;
  if (!typical_sizes<T>(typical_object, m, &typical)) return nullptr;
  PythonEvaluator<T> evaluator;
  if (!evaluator.bind(model, jac, args, m, n, Convention::kArray)) return nullptr;
  Fit<T> fit(evaluator, m, n, {}, differences, data_of<T>(typical), lb ? data_of<T>(lb) : nullptr,
             ub ? data_of<T>(ub) : nullptr);
  if (!fit.allocate_buffers()) return nullptr;
  const T* f = nullptr;
  const T* J = nullptr;
  if (!fit.values_at(data_of<T>(p), &f) || !fit.jacobian_at(data_of<T>(p), &J)) return raise_stored(evaluator);
  Ref f_array = ombrix::py::array_copy(f, n);
  if (!f_array) return nullptr;
  npy_intp jac_dims[2] = {n, m};
  Ref jac_array(PyArray_SimpleNew(2, jac_dims, kNumpyType<T>));
  if (!jac_array) return nullptr;
  std::memcpy(data_of<T>(jac_array), J, std::size_t(n) * std::size_t(m) * sizeof(T));
  return Py_BuildValue("(OOL)", f_array.get(), jac_array.get(), fit.model_calls());
}

const char* const kJacobianParams[] = {"model", "p", "args", "jac", "diff", "typical", "lb", "ub", "n"};

PyObject* jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* v[std::size(kJacobianParams)];
  int n = 0;
  if (!ombrix::py::bind_arguments({"jacobian", kJacobianParams}, args, nargs, kwnames, v) ||
      !ombrix::py::to_int(v[8], &n))
    return nullptr;
  if (precision_of(v[1]) == NPY_FLOAT) return jacobian_impl<float>(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], n);
  return jacobian_impl<double>(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], n);
}

// ---- check_jacobian ----

template <typename T>
PyObject* check_jacobian_impl(PyObject* model, PyObject* jac, PyObject* p_object, PyObject* args_object, int n) {
  if (jac == Py_None) {
    PyErr_SetString(PyExc_TypeError, "jac must be callable");
    return nullptr;
  }
  Ref args, p;
  int m = 0;
  if (!point_arguments<T>(model, jac, p_object, args_object, n, &args, &p, &m)) return nullptr;
  PythonEvaluator<T> evaluator;
  if (!evaluator.bind(model, jac, args, m, n, Convention::kArray)) return nullptr;
  const T unused_typical = T(1);  // chkjac makes its own differences
  Fit<T> fit(evaluator, m, n, {}, Differences::kForward, &unused_typical, nullptr, nullptr);
  if (!fit.allocate_buffers()) return nullptr;
  npy_intp n_dims[1] = {n};
  Ref err(PyArray_ZEROS(1, n_dims, kNumpyType<T>, 0));
  if (!err) return nullptr;
  ombrix::py::NumericCall numeric;
  Api<T>::chkjac(Fit<T>::model_callback, Fit<T>::jacobian_callback, data_of<T>(p), m, n, &fit, data_of<T>(err));
  if (numeric.raise_if_failed()) return nullptr;
  if (fit.failed()) return raise_stored(evaluator);
  return err.release();
}

const char* const kCheckParams[] = {"model", "jac", "p", "args", "n"};

PyObject* check_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* v[std::size(kCheckParams)];
  int n = 0;
  if (!ombrix::py::bind_arguments({"check_jacobian", kCheckParams}, args, nargs, kwnames, v) ||
      !ombrix::py::to_int(v[4], &n))
    return nullptr;
  if (precision_of(v[2]) == NPY_FLOAT) return check_jacobian_impl<float>(v[0], v[1], v[2], v[3], n);
  return check_jacobian_impl<double>(v[0], v[1], v[2], v[3], n);
}

// ==== module definition =======================================================

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyDoc_STRVAR(solve_doc,
             "solve(model, p0, y, args, jac, weights, lb, ub, A, b, C, d, diff, typical, scale, tau, eps1, eps2,\n"
             "      eps3, max_iter, unpack, polish, factor)\n"
             "--\n\n"
             "Fit model(p, *args) (or model(*args, *p) with unpack) to the data y, weighted by W\n"
             "(weights: 1-D w for W = diag(w), 2-D L for W = L^-1); returns (p, f, J, info, nfev, njev,\n"
             "status, r, chisq, cov, rank, free, total, active_bounds, active_ineq, qr): f and J the\n"
             "model values and Jacobian at p, r = W (y - f) and chisq = r.r in double precision, cov the\n"
             "unscaled covariance on the `free` directions the active constraints leave, of rank `rank`,\n"
             "total the chi-square of the best constant model, and with factor qr = (fjac, ipvt, qtf),\n"
             "the pivoted QR factorisation of W J (else None).  polish takes a final Gauss-Newton\n"
             "correction.  A Jacobian that is not finite stops the fit (stop reason 7) where it was\n"
             "taken; a model or Jacobian that is not finite at p0 leaves it unsolved (stop reason 7, no\n"
             "iteration, J NaN when the model is not finite there).\n\n"
             "Internal: ombrix.fit and ombrix.curve_fit prepare the arguments.  The precision is that\n"
             "of p0 (float32 or float64); every other array is converted to it.");
PyDoc_STRVAR(solve_guarded_doc,
             "solve_guarded(model, p0, y, args, jac, weights, lb, ub, A, b, G, h, diff, typical, scale, tau,\n"
             "              eps1, eps2, eps3, max_iter, unpack, polish, factor)\n"
             "--\n\n"
             "solve() subject to A p = b only (eliminated exactly; None: no rows), stopping at the first\n"
             "point the solver asks to evaluate that violates G p >= h beyond rounding.  The bounds lb, ub\n"
             "only keep difference steps inside; diff is 'forward' or 'central'; polish must be false.\n"
             "With as many rows in A as parameters, or max_iter 0, nothing is solved: the statistics are\n"
             "those at p0 (stop reason 1 or 3).  The statistics count the rows of A as the active\n"
             "constraints.  Returns solve()'s tuple and None, or when a point\n"
             "was refused (current, None, None, info, nfev, njev, status, None ..., refused), where\n"
             "current is the point of the last Jacobian (the start before the first) and the model was\n"
             "not called at refused.");
PyDoc_STRVAR(engine_solve_doc,
             "engine_solve(model, p0, y, args, jac, weights, lb, ub, A, b, C, d, diff, typical, scale, tau, eps1,\n"
             "             eps2, eps3, max_iter, unpack, polish, factor, engine)\n"
             "--\n\n"
             "solve() on the trust-region engine, without C and d: engine = (loss, f_scale, ftol, xtol, gtol,\n"
             "max_nfev, identity_scaling, origin, basis, z0).  The engine works on z with p = origin + basis z\n"
             "from z0 (A and b, when given, are then the rows that basis eliminates, for the statistics), or on\n"
             "p itself when they are None; tau is its initial damping, max_iter its trial steps; eps1 to eps3,\n"
             "scale and polish are not used.  Tolerances below 0 keep the engine's defaults; max_nfev 0 sets\n"
             "no limit.  diff 'forward' differences forward, then central ones to end the fit.  The stop\n"
             "reason adds 8 (converged: small reduction), 9 (stalled) and 10 (evaluation limit).");
PyDoc_STRVAR(engine_solve_guarded_doc,
             "engine_solve_guarded(model, p0, y, args, jac, weights, lb, ub, A, b, G, h, diff, typical, scale,\n"
             "                     tau, eps1, eps2, eps3, max_iter, unpack, polish, factor, engine)\n"
             "--\n\n"
             "solve_guarded() on the engine, as engine_solve(): the engine refuses a trial point that violates\n"
             "G p >= h and stops; the tuple returned is solve_guarded()'s, current being the engine's last\n"
             "accepted point.");
PyDoc_STRVAR(jacobian_doc,
             "jacobian(model, p, args, jac, diff, typical, lb, ub, n)\n"
             "--\n\n"
             "Model values and Jacobian at p; returns (f, J, nfev).");
PyDoc_STRVAR(check_jacobian_doc,
             "check_jacobian(model, jac, p, args, n)\n"
             "--\n\n"
             "Per-output agreement of jac with forward differences of model (1: agrees, 0: does not).");

PyMethodDef module_functions[] = {
    {"solve", as_cfunction(solve), METH_FASTCALL | METH_KEYWORDS, solve_doc},
    {"solve_guarded", as_cfunction(solve_guarded), METH_FASTCALL | METH_KEYWORDS, solve_guarded_doc},
    {"engine_solve", as_cfunction(engine_solve), METH_FASTCALL | METH_KEYWORDS, engine_solve_doc},
    {"engine_solve_guarded", as_cfunction(engine_solve_guarded), METH_FASTCALL | METH_KEYWORDS,
     engine_solve_guarded_doc},
    {"jacobian", as_cfunction(jacobian), METH_FASTCALL | METH_KEYWORDS, jacobian_doc},
    {"check_jacobian", as_cfunction(check_jacobian), METH_FASTCALL | METH_KEYWORDS, check_jacobian_doc},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject*) { return ombrix::py::import_numpy_api(); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_fit",
    "The binding behind ombrix.fit: solvers of every constraint kind in double and single precision.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// ==== initialisation ==========================================================

PyMODINIT_FUNC PyInit__fit(void) { return PyModuleDef_Init(&module_def); }
