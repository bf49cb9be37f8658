// ombrix._fit: the binding behind ombrix.fit.
//
// It runs one solver of the numeric layer, in double or single precision,
// under whatever constraints are given (none, bounds, equalities,
// inequalities and their combinations), on a model evaluated through an
// Evaluator.  The binding converts the arguments, calls the model and its
// Jacobian in Python, keeps the last model values and Jacobian with the
// point they belong to, and stops the fit at the first failing evaluation:
// from then on every callback writes NaN without evaluating, so the solver
// ends within an iteration, and the stored exception is raised to the caller
// when it returns.  A guarded fit (solve_guarded) also stops, the same way,
// at the first point the solver asks to evaluate that violates one of a set
// of linear rows, and hands back that point and the last one it took a
// Jacobian at.  The numerics around the evaluations (weights, difference
// Jacobians, scaled variables, the guard test, the statistics at the
// solution) are the numeric layer's (weights.h, differences.h, variables.h,
// solution.h).
//
// engine_solve and engine_solve_guarded run the same fit on the numeric
// layer's trust-region engine instead: the evaluations go through the same
// fit context, a failed evaluation stops the engine through its should_stop
// hook, and the guard refuses trial points through its accept_point hook.
//
// A model given as a C function (an object carrying `_c_function`, see
// _src/c_function.h) is evaluated without the interpreter, and the solver
// then runs with the interpreter lock released.  engine_solve_many runs
// engine_solve's steps for such a model on every row of a batch, in
// threads that share the rows, with one set of buffers per thread.
// engine_solve_lockstep fits the rows of a vectorized Python model together,
// one call of the model per round for all of them, the engine's work
// between the calls shared by threads without the interpreter lock.
//
// Sections: evaluators, the fit context, the solver dispatch, the engine,
// the module state (the solution types), the module functions, the module
// definition.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "_src/arguments.h"
#include "_src/arrays.h"
#include "_src/c_function.h"
#include "_src/numeric_call.h"
#include "_src/ref.h"
#include "_src/trampoline.h"
#include "differences.h"
#include "engine_steps.h"
#include "internal.h"
#include "ombrix.h"
#include "solution.h"
#include "variables.h"
#include "weights.h"

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

// model and jac as C functions (see _src/c_function.h): no interpreter is
// needed, so the solver runs with the lock released.  They cannot fail;
// values that are not finite are the fit's to judge.
template <typename T>
class CEvaluator final : public Evaluator<T> {
 public:
  CEvaluator(ombrix::py::CFunction<T> model, ombrix::py::CFunction<T> jac, int m, int n)
      : model_(model), jac_(jac), m_(m), n_(n) {}

  bool model(const T* p, T* f) override {
    model_.function(p, f, m_, n_, model_.user_data);
    return true;
  }
  bool jacobian(const T* p, T* jac) override {
    jac_.function(p, jac, m_, n_, jac_.user_data);
    return true;
  }
  bool has_jacobian() const override { return jac_.function != nullptr; }
  bool needs_interpreter() const override { return false; }

 private:
  ombrix::py::CFunction<T> model_, jac_;
  int m_, n_;
};

// ==== the fit context =========================================================
//
// The solver's user data.  The solver sees the weighted model W f(p) and the
// weighted Jacobian W J(p); the context keeps the unweighted values.

using ombrix::CBuffer;
using ombrix::Constraints;
using ombrix::Differences;
using ombrix::Weighting;
using ombrix::Weights;

// A zeroed array of a * b elements (b defaults to 1), or null when the size
// overflows or the allocator fails.
template <typename T>
T* allocate(std::size_t a, std::size_t b = 1) {
  return ombrix::calloc_array<T>(ombrix::Size(a) * ombrix::Size(b));
}

template <typename T>
class Fit final : public ombrix::ModelEvaluations<T> {
 public:
  // `steps` places the difference steps (typical sizes, bounds).
  Fit(Evaluator<T>& evaluator, int m, int n, Weights<T> weights, ombrix::DifferenceSteps<T> steps)
      : evaluator_(evaluator), m_(m), n_(n), weights_(weights), steps_(steps) {}

  // All the memory of the fit, taken once; false (MemoryError) when short.
  bool allocate_buffers() {
    if (take_buffers()) return true;
    PyErr_NoMemory();
    return false;
  }

  // The same without the interpreter: false, and no exception, when short.
  bool take_buffers() {
    f_.reset(allocate<T>(std::size_t(n_)));
    f_point_.reset(allocate<T>(std::size_t(m_)));
    jac_.reset(allocate<T>(std::size_t(n_), std::size_t(m_)));
    jac_point_.reset(allocate<T>(std::size_t(m_)));
    trial_.reset(allocate<T>(std::size_t(m_)));
    f_plus_.reset(allocate<T>(std::size_t(n_)));
    f_minus_.reset(allocate<T>(std::size_t(n_)));
    point_.reset(allocate<T>(std::size_t(m_)));
    blocked_point_.reset(allocate<T>(std::size_t(m_)));
    return f_ && f_point_ && jac_ && jac_point_ && trial_ && f_plus_ && f_minus_ && point_ && blocked_point_;
  }

  // Makes the fit new for another data set weighted by `weights`, keeping
  // its buffers: nothing known, nothing counted, no scale, no failure.
  void restart(Weights<T> weights) {
    weights_ = weights;
    scale_ = nullptr;
    f_known_ = jac_known_ = false;
    failed_ = blocked_ = jacobian_not_finite_ = false;
    model_calls_ = jacobians_ = 0;
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
    if (fit.scale_) ombrix::multiply_columns(out, fit.n_, fit.m_, fit.scale_);
  }

  // Scales the solver's variables by powers of two near the reciprocal
  // column norms of the weighted Jacobian at p (ombrix::power_of_two_scales).
  // `scale` (m values) receives them; `weighted` holds n x m reals.
  bool set_scale_at(const T* p, T* scale, T* weighted) {
    const T* jac = nullptr;
    if (!jacobian_at(p, &jac)) return false;
    weights_.apply(jac, weighted, n_, m_);
    ombrix::power_of_two_scales(weighted, n_, m_, scale);
    scale_ = scale;
    return true;
  }

  // p = q * scale, in a buffer of the fit (q itself without scaling).
  const T* unscaled(const T* q) {
    if (!scale_) return q;
    ombrix::multiply_by(q, scale_, m_, point_.get());
    return point_.get();
  }

  // ---- evaluations at a point, reusing the last ones made there ----

  // *f = the unweighted model values at p.
  bool values_at(const T* p, const T** f) override {
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
      } else if (!ombrix::difference_jacobian<T>(*this, steps_, p, m_, n_, {trial_.get(), f_plus_.get(), f_minus_.get()},
                                                 jac_.get())) {
        return false;
      }
      std::memcpy(jac_point_.get(), p, point_bytes());
      jac_known_ = true;
      if (!ombrix::all_finite(jac_.get(), std::size_t(n_) * std::size_t(m_))) jacobian_not_finite_ = true;
    }
    *jac = jac_.get();
    return true;
  }

  // Rows G p >= h (G: rows x m, row-major) that every point the solver asks
  // to evaluate must satisfy.  The binding's own difference points are not
  // checked: they step inside the bounds of the difference steps.
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
  // guard row by more than rounding (ombrix::violates_guard).
  bool admissible(const T* p) {
    if (failed_) return true;  // the evaluation that follows refuses anyway
    if (!ombrix::violates_guard(guard_G_, guard_h_, guard_rows_, m_, p)) return true;
    std::memcpy(blocked_point_.get(), p, point_bytes());
    blocked_ = true;
    return fail();
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
  bool evaluate(const T* p, T* f) override {
    if (failed_) return false;
    ++model_calls_;
    return evaluator_.model(p, f) || fail();
  }

  Evaluator<T>& evaluator_;
  const int m_, n_;
  Weights<T> weights_;
  const ombrix::DifferenceSteps<T> steps_;

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
    ombrix::parameters_of(origin_, basis_, m_, k_, z, point_.get());
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
    e.weights_.apply(jac, e.weighted_.get(), e.n_, e.m_);
    ombrix::times_basis(e.weighted_.get(), e.basis_, e.n_, e.m_, e.k_, out);
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

// The engine's settings that ombrix.fit and curve_fit choose.
struct EngineSettings {
  bool enabled = false;
  int loss = OMBRIX_LOSS_LINEAR;
  double f_scale = 1, ftol = -1, xtol = -1, gtol = -1;  // negative: the engine's default
  double diff_step = 0;  // the relative difference step; 0: the default of the rule
  int max_nfev = 0;
  bool identity_scaling = false;  // damping by the identity (the basis carries the scale)
};

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

// ==== module state: the solution types ========================================
//
// solve() and its siblings return a named result, a structseq: its fields
// by name or, as a tuple, by position.  Solution shows the first 16 fields
// as a tuple and `refused` by name only; GuardedSolution, the result of the
// guarded fits, shows all 17.

enum SolutionField : int {
  kP, kF, kJ, kInfo, kNfev, kNjev, kStatus, kR, kChisq, kCov, kRank, kFree, kTotal, kActiveBounds, kActiveIneq, kQr,
  kRefused, kSolutionFieldCount
};

PyStructSequence_Field solution_fields[] = {
    {"p", "the parameters reached; when a point was refused, those of the last Jacobian (the start before it)"},
    {"f", "the model values at p (None when a point was refused)"},
    {"J", "the model's Jacobian at p, n x m (None when a point was refused)"},
    {"info", "the information vector: initial and final chi-square, ||J^T r||_inf, ||dp||^2, the damping, "
             "iterations, stop reason, model evaluations, Jacobians, linear solves"},
    {"nfev", "the model calls of the binding"},
    {"njev", "the Jacobians taken (analytic or by differences)"},
    {"status", "the solver's return value (-1 when it failed; the engine's status on the engine)"},
    {"r", "the weighted residuals W (y - f) in double precision"},
    {"chisq", "r . r"},
    {"cov", "the unscaled covariance on the free directions (inf for parameters the data do not determine)"},
    {"rank", "the numerical rank of the weighted Jacobian on the free directions"},
    {"free", "the number of free directions the active constraints leave"},
    {"total", "chi-square of the best constant model (the denominator of R^2)"},
    {"active_bounds", "per parameter: -1 at its lower bound, +1 at its upper one, 0 otherwise"},
    {"active_ineq", "per inequality: whether it holds with equality"},
    {"qr", "(fjac, ipvt, qtf), the pivoted QR factorisation of W J, when asked for; else None"},
    {"refused", "the point a guarded fit refused to evaluate, else None"},
    {nullptr, nullptr},
};
static_assert(std::size(solution_fields) == kSolutionFieldCount + 1);

PyStructSequence_Desc solution_desc = {"ombrix._fit.Solution", "The outcome of solve() and engine_solve().",
                                       solution_fields, kRefused};
PyStructSequence_Desc guarded_solution_desc = {
    "ombrix._fit.GuardedSolution", "The outcome of solve_guarded() and engine_solve_guarded().", solution_fields,
    kSolutionFieldCount};

struct ModuleState {
  PyTypeObject* solution;
  PyTypeObject* guarded_solution;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

using SolutionFields = std::array<Ref, kSolutionFieldCount>;

// A new solution of `type` holding the fields; null, with the exception
// pending, when a field is null (its creation failed).
PyObject* new_solution(PyTypeObject* type, SolutionFields* fields) {
  for (const Ref& field : *fields)
    if (!field) return nullptr;
  PyObject* solution = PyStructSequence_New(type);
  if (!solution) return nullptr;
  for (int i = 0; i < kSolutionFieldCount; ++i) PyStructSequence_SetItem(solution, i, (*fields)[i].release());
  return solution;
}

void set_counters(SolutionFields* fields, long long model_calls, long long jacobians, int status) {
  (*fields)[kNfev] = Ref(PyLong_FromLongLong(model_calls));
  (*fields)[kNjev] = Ref(PyLong_FromLongLong(jacobians));
  (*fields)[kStatus] = Ref(PyLong_FromLong(status));
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

using ombrix::kInvalidValues, ombrix::kIterationLimit, ombrix::kSmallGradient,
    ombrix::kSmallStep;  // stop reasons (info entry 6)

// ---- solve ----

struct Tolerances {
  double tau, eps1, eps2, eps3;
  int max_iter;
};

constexpr int kEngineOutOfMemory = -2;  // run_engine could not allocate

// The engine's options of the binding's settings and tolerances.
template <typename T>
void set_engine_options(const EngineSettings& s, const Tolerances& t, Differences differences,
                        typename Engine<T>::Options* o) {
  o->max_iterations = t.max_iter;
  o->max_evaluations = s.max_nfev;
  if (s.ftol >= 0) o->ftol = T(s.ftol);
  if (s.xtol >= 0) o->xtol = T(s.xtol);
  if (s.gtol >= 0) o->gtol = T(s.gtol);
  o->initial_damping = T(t.tau);
  o->scaling = s.identity_scaling ? OMBRIX_SCALE_IDENTITY : OMBRIX_SCALE_MAX_COLUMN_NORMS;
  o->loss = s.loss;
  o->f_scale = T(s.f_scale);
  o->differences = differences == Differences::kCentral ? OMBRIX_DIFFERENCES_CENTRAL : OMBRIX_DIFFERENCES_FORWARD;
  o->difference_step = T(s.diff_step);
}

// The information vector's entries from the engine's result and status,
// as the other solvers fill them (3 and 9 stay as they are).
template <typename T>
void engine_info(const ombrix_solve_result& result, int status, T* info) {
  info[0] = T(result.initial_chisq);
  info[1] = T(result.chisq);
  info[2] = T(result.gradient);
  info[4] = T(result.damping);
  info[5] = T(result.iterations);
  info[6] = T(stop_reason(status));
  info[7] = T(result.nfev);
  info[8] = T(result.njev);
}

// Runs the engine from z (k variables), with the binding's Jacobian (analytic,
// or its differences in p, which stay inside lb and ub) or the engine's
// differences; fills the information vector as the other solvers do.
// Returns the engine's status, -1 when it could not start, kEngineOutOfMemory
// when its workspace could not be allocated.  `workspace` is empty or the
// caller's Engine<T>::workspace_size(k, n) reals (a batch reuses one for
// every fit, and asks for its size once: the size takes LAPACK's workspace
// queries); a fit does not depend on what the one before left there.
template <typename T>
int run_engine(EngineFit<T>& e, const EngineSettings& s, bool guarded, bool binding_jacobian, T jacobian_accuracy,
               Differences differences, const T* typical, const T* lb, const T* ub, T* z, int k, int n,
               const T* weighted_y, const Tolerances& t, T* info, std::span<T> workspace = {}) {
  typename Engine<T>::Options o;
  Engine<T>::defaults(&o);
  // the workspace from here, so that a shortage is a MemoryError
  CBuffer<T> owned;
  if (workspace.empty()) {
    const int reals = Engine<T>::workspace_size(k, n);
    owned.reset(reals > 0 ? allocate<T>(std::size_t(reals)) : nullptr);
    if (!owned) return kEngineOutOfMemory;
    workspace = {owned.get(), std::size_t(reals)};
  }  // the engine writes every part of the workspace before it reads it: no need to clear a reused one
  o.workspace = workspace.data();
  set_engine_options<T>(s, t, differences, &o);
  if (binding_jacobian) {
    o.jacobian_accuracy = jacobian_accuracy;
  } else {
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
  engine_info(result, status, info);
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

// The model and Jacobian as C functions, when the model is one: 1, 0 for a
// Python model, -1 with an exception.  A C model takes a C Jacobian or none,
// and its parameters as an array.
template <typename T>
int bind_c_functions(const SolveArgs& a, ombrix::py::CFunction<T>* model, ombrix::py::CFunction<T>* jac) {
  constexpr char letter = ombrix::Real<T>::letter;
  const int compiled = ombrix::py::read_c_function(a.model, letter, model);
  if (compiled <= 0) return compiled;
  const int compiled_jac = ombrix::py::read_c_function(a.jac, letter, jac);
  if (compiled_jac < 0) return -1;
  if (a.jac != Py_None && !compiled_jac) {
    PyErr_SetString(PyExc_TypeError, "a compiled model takes a compiled jac or none");
    return -1;
  }
  if (a.convention != Convention::kArray) {
    PyErr_SetString(PyExc_TypeError, "a compiled model takes its parameters as an array");
    return -1;
  }
  return 1;
}

// ---- solve, step 1: the arguments ----

// The arrays of one fit in its precision T (y and the weights in double as
// well) and their sizes; empty where not given.
template <typename T>
struct FitArrays {
  Ref args, p0, y, y64, weighted_y, typical;
  Ref weight_array, weight64_array;  // hold weights.values and weights64.values
  Weights<T> weights;                // as the solver applies them
  Weights<double> weights64;         // the same, for the statistics
  Ref lb, ub, A, b, C, d;
  Ref origin, basis, z;  // the engine's variables, p = origin + basis z, from a copy of z0
  int m = 0, n = 0, k1 = 0, k2 = 0, k = 0;
  // A guarded fit solves nothing when its rows fix every parameter (the
  // gradient left is 0) or when it has no iteration left: it reports the
  // statistics at p0, which must satisfy the rows.
  bool nothing_free = false, no_solve = false;

  static T* data(const Ref& array) { return array ? data_of<T>(array) : nullptr; }
};

// The difference rule and whether the secant solver runs; refuses the modes
// that do not go together.
bool read_modes(const SolveArgs& a, Differences* differences, bool* secant) {
  if (!check_callables(a.model, a.jac)) return false;
  if (!read_differences(a.diff, differences, secant)) return false;
  if (a.guarded && (*secant || a.polish)) {
    // the secant solver's own difference points cannot be told from the points it tries,
    // and the final correction would step past the guard
    PyErr_SetString(PyExc_ValueError, "a guarded fit takes diff='forward' or 'central' and no polish");
    return false;
  }
  if (a.engine.enabled && *secant) {
    PyErr_SetString(PyExc_ValueError, "the engine takes diff='forward' or 'central'");
    return false;
  }
  if (a.tolerances.max_iter < (a.guarded ? 0 : 1)) {
    PyErr_SetString(PyExc_ValueError, a.guarded ? "max_iter must not be negative" : "max_iter must be at least 1");
    return false;
  }
  return true;
}

// The model's arguments, p0 and y.
template <typename T>
bool read_data(const SolveArgs& a, FitArrays<T>* f) {
  f->args = args_tuple(a.args);
  if (!f->args) return false;
  npy_intp p_dims[1] = {-1}, y_dims[1] = {-1};
  if (!array_argument<T>(a.p0, "p0", 1, p_dims, false, &f->p0) ||
      !array_argument<T>(a.y, "y", 1, y_dims, false, &f->y))
    return false;
  if (!to_count(p_dims[0], "p0", &f->m) || !to_count(y_dims[0], "y", &f->n)) return false;
  if (f->m < 1 || f->n < 1) {
    PyErr_SetString(PyExc_ValueError, "p0 and y must not be empty");
    return false;
  }
  return true;
}

// The weights W, and the data the solver fits: W y, formed in double precision.
template <typename T>
bool read_weights(const SolveArgs& a, FitArrays<T>* f) {
  const int n = f->n;
  if (a.weights != Py_None) {
    Ref probe(PyArray_FromAny(a.weights, nullptr, 0, 0, 0, nullptr));
    if (!probe) return false;
    const int ndim = PyArray_NDIM(as_array(probe)) == 2 ? 2 : 1;
    npy_intp dims[2] = {n, n};
    if (!array_argument<T>(a.weights, "weights", ndim, dims, false, &f->weight_array) ||
        !array_argument<double>(a.weights, "weights", ndim, dims, false, &f->weight64_array))
      return false;
    const Weighting kind = ndim == 1 ? Weighting::kDiagonal : Weighting::kCovariance;
    f->weights = {kind, data_of<T>(f->weight_array)};
    f->weights64 = {kind, data_of<double>(f->weight64_array)};
  }
  npy_intp y_dims[1] = {n};
  if (!array_argument<double>(a.y, "y", 1, y_dims, false, &f->y64)) return false;
  if (f->weights.kind == Weighting::kNone) {
    f->weighted_y = Ref::borrow(f->y.get());
    return true;
  }
  CBuffer<double> wy(allocate<double>(std::size_t(n)));
  f->weighted_y = Ref(PyArray_SimpleNew(1, y_dims, kNumpyType<T>));
  if (!f->weighted_y) return false;
  if (!wy) {
    PyErr_NoMemory();
    return false;
  }
  f->weights64.apply(data_of<double>(f->y64), wy.get(), n, 1);
  std::copy_n(wy.get(), n, data_of<T>(f->weighted_y));
  return true;
}

// The bounds, equalities and inequalities (guard rows), and what they leave
// to solve.
template <typename T>
bool read_constraints(const SolveArgs& a, FitArrays<T>* f) {
  const int m = f->m;
  npy_intp m_dims[1] = {m};
  if (!array_argument<T>(a.lb, "lb", 1, m_dims, true, &f->lb) || !array_argument<T>(a.ub, "ub", 1, m_dims, true, &f->ub))
    return false;
  if (bool(f->lb) != bool(f->ub)) {
    PyErr_SetString(PyExc_ValueError, "lb and ub must be given together");
    return false;
  }
  if ((a.A == Py_None) != (a.b == Py_None) || (a.C == Py_None) != (a.d == Py_None)) {
    PyErr_SetString(PyExc_ValueError, "A and b (and C and d) must be given together");
    return false;
  }
  npy_intp A_dims[2] = {-1, m}, C_dims[2] = {-1, m};
  const char* C_name = a.guarded ? "G" : "C";
  if (!array_argument<T>(a.A, "A", 2, A_dims, true, &f->A) || !array_argument<T>(a.C, C_name, 2, C_dims, true, &f->C))
    return false;
  npy_intp b_dims[1] = {f->A ? A_dims[0] : -1}, d_dims[1] = {f->C ? C_dims[0] : -1};
  if (!array_argument<T>(a.b, "b", 1, b_dims, true, &f->b) ||
      !array_argument<T>(a.d, a.guarded ? "h" : "d", 1, d_dims, true, &f->d))
    return false;
  if (f->A && !to_count(A_dims[0], "A", &f->k1)) return false;
  if (f->C && !to_count(C_dims[0], C_name, &f->k2)) return false;
  if (f->A && (f->k1 < 1 || f->k1 > m || (f->k1 == m && !a.guarded))) {
    PyErr_SetString(PyExc_ValueError, "A must have at least one row and fewer rows than parameters");
    return false;
  }
  f->nothing_free = f->k1 == m;
  f->no_solve = f->nothing_free || a.tolerances.max_iter == 0;
  if (f->C && f->k2 < 1) {
    PyErr_Format(PyExc_ValueError, "%s must have at least one row", C_name);
    return false;
  }
  if (f->n < m - f->k1) {
    PyErr_Format(PyExc_ValueError, "fewer data points (%d) than free parameters (%d)", f->n, m - f->k1);
    return false;
  }
  if (a.engine.enabled && !a.guarded && (f->C || f->lb)) {
    PyErr_SetString(PyExc_ValueError, "engine_solve takes no bounds and no inequalities");
    return false;
  }
  if (a.engine.enabled && f->A && !f->nothing_free && a.basis == Py_None) {
    PyErr_SetString(PyExc_ValueError, "the engine eliminates the rows of A through a basis of their null space");
    return false;
  }
  return true;
}

// Every array of a fit but the engine's variables, in the order their errors are reported.
template <typename T>
bool read_arrays(const SolveArgs& a, FitArrays<T>* f) {
  return read_data(a, f) && read_weights(a, f) && read_constraints(a, f) && typical_sizes<T>(a.typical, f->m, &f->typical);
}

// The engine's variables: z = p (k = m), or p = origin + basis z from z0.
template <typename T>
bool read_engine_variables(const SolveArgs& a, FitArrays<T>* f) {
  f->k = f->m;
  if (!a.engine.enabled || a.basis == Py_None) return true;
  npy_intp m_dims[1] = {f->m}, basis_dims[2] = {f->m, -1}, z_dims[1] = {-1};
  if (!array_argument<T>(a.origin, "origin", 1, m_dims, false, &f->origin) ||
      !array_argument<T>(a.basis, "basis", 2, basis_dims, false, &f->basis) ||
      !to_count(basis_dims[1], "basis", &f->k))
    return false;
  z_dims[0] = f->k;
  if (!array_argument<T>(a.z0, "z0", 1, z_dims, false, &f->z)) return false;
  f->z = ombrix::py::array_copy(data_of<T>(f->z), f->k);
  if (!f->z) return false;
  if (f->k < 1 || f->n < f->k) {
    PyErr_SetString(PyExc_ValueError, "basis must have between 1 and n columns");
    return false;
  }
  return true;
}

// What one fit works with, for the steps below.
template <typename T>
struct FitParts {
  const SolveArgs& a;
  const FitArrays<T>& arrays;
  PythonEvaluator<T>& evaluator;  // holds what a Python model raised
  Evaluator<T>& model;            // what the fit evaluates: the Python or the C model
  Fit<T>& fit;
  EngineFit<T>& engine_fit;
  Differences differences;
  bool secant;
};

// ---- solve, step 2: the start and the solver's variables ----

struct Start {
  bool evaluated = false;  // the guard let the model be evaluated at the start
  bool invalid = false;    // the model is not finite there
  bool refused = false;    // the model or its Jacobian is not finite there: nothing is solved
};

// evaluate_start's steps on the fit alone (a batch runs them without the
// interpreter): false when an evaluation failed (a Python model raised).
template <typename T>
bool start_at(Fit<T>& fit, const T* p, int n, bool scale_here, T* scale, T* scratch, Start* start) {
  const T* f_start = nullptr;
  start->evaluated = fit.admissible(p) && fit.values_at(p, &f_start);
  if (!start->evaluated && !fit.blocked()) return false;
  start->invalid = start->evaluated && !ombrix::all_finite(f_start, std::size_t(n));
  if (scale_here && start->evaluated && !start->invalid && !fit.set_scale_at(p, scale, scratch)) return false;
  start->refused = start->invalid || fit.jacobian_not_finite();
  return true;
}

// The model at the start first (unless the guard refuses it): where it is
// not finite, or the Jacobian there is not, nothing is solved and no
// Jacobian is taken at such a point; the caller names the value.  With
// `scale_here` the solver's variables are scaled by the Jacobian at the
// start (`scratch`: n x m reals).  False with the evaluation's exception
// raised when one failed.
template <typename T>
bool evaluate_start(const FitParts<T>& s, const T* p, bool scale_here, T* scale, T* scratch, Start* start) {
  if (start_at(s.fit, p, s.arrays.n, scale_here, scale, scratch, start)) return true;
  raise_stored(s.evaluator);
  return false;
}

// A new k x m array M diag(scale), for a constraint matrix M of k x m.
template <typename T>
Ref scaled_columns(const T* matrix, int k, int m, const T* scale) {
  Ref scaled = ombrix::py::array_copy(matrix, npy_intp(k) * m);
  if (scaled) ombrix::multiply_columns(data_of<T>(scaled), k, m, scale);
  return scaled;
}

// The constraints of the solver's variables q = p / scale, in arrays of their own.
template <typename T>
struct SolverConstraints {
  Ref lb, ub, A, b, C;  // hold the arrays of `c`
  Constraints<T> c;
};

// The bounds divided (the unbounded marks kept), the columns of A and C
// multiplied, the rows of A p = b made unit.  Without scaling the scale is 1
// and these are copies (the box solver may change the bounds it is given).
// A guarded fit gives the solver its equalities only.
template <typename T>
bool solver_constraints(const SolveArgs& a, const FitArrays<T>& f, const T* scale, SolverConstraints<T>* out) {
  const int m = f.m;
  if (f.lb && !a.guarded) {
    out->lb = ombrix::py::array_copy(data_of<T>(f.lb), m);
    out->ub = ombrix::py::array_copy(data_of<T>(f.ub), m);
    if (!out->lb || !out->ub) return false;
    out->c.lb = data_of<T>(out->lb);
    out->c.ub = data_of<T>(out->ub);
    ombrix::scale_bounds(out->c.lb, out->c.ub, scale, m);
  }
  if (f.A) {
    out->A = scaled_columns(data_of<T>(f.A), f.k1, m, scale);
    out->b = ombrix::py::array_copy(data_of<T>(f.b), f.k1);
    if (!out->A || !out->b) return false;
    ombrix::unit_rows(data_of<T>(out->A), data_of<T>(out->b), f.k1, m);
    out->c.A = data_of<T>(out->A);
    out->c.b = data_of<T>(out->b);
    out->c.k1 = f.k1;
  }
  if (f.C && !a.guarded) {
    out->C = scaled_columns(data_of<T>(f.C), f.k2, m, scale);
    if (!out->C) return false;
    out->c.C = data_of<T>(out->C);
    out->c.d = data_of<T>(f.d);
    out->c.k2 = f.k2;
  }
  return true;
}

// The constraints in the caller's variables, for the statistics; in a
// guarded fit only the rows eliminated, which the caller chose as those that
// hold.
template <typename T>
Constraints<T> given_constraints(const SolveArgs& a, const FitArrays<T>& f) {
  Constraints<T> given;
  if (f.lb && !a.guarded) {
    given.lb = data_of<T>(f.lb);
    given.ub = data_of<T>(f.ub);
  }
  if (f.A) {
    given.A = data_of<T>(f.A);
    given.b = data_of<T>(f.b);
    given.k1 = f.k1;
  }
  if (f.C && !a.guarded) {
    given.C = data_of<T>(f.C);
    given.d = data_of<T>(f.d);
    given.k2 = f.k2;
  }
  return given;
}

// ---- solve, step 3: the run ----

// The engine from z (or from q without a basis), q updated to where it
// ended.  Its own differences (central ones to end a forward-difference
// fit), but the binding's where a basis mixes the parameters: there only
// p-space steps keep the bounds.
template <typename T>
int run_engine_fit(const FitParts<T>& s, T* q, T* info) {
  const FitArrays<T>& f = s.arrays;
  const int m = f.m;
  const T* basis = f.data(f.basis);
  const bool diagonal = !basis || ombrix::diagonal_basis(basis, m, f.k);
  const bool binding_jacobian = s.model.has_jacobian() || !diagonal;
  CBuffer<T> z_sizes(allocate<T>(3, std::size_t(m)));
  if (!z_sizes) return kEngineOutOfMemory;
  const T *typical = f.data(f.typical), *lower = f.data(f.lb), *upper = f.data(f.ub);
  if (basis && diagonal) {
    ombrix::to_scaled_variables(f.data(f.origin), basis, m, typical, lower, upper, z_sizes.get());
    typical = z_sizes.get();
    lower = f.lb ? z_sizes.get() + m : nullptr;
    upper = f.ub ? z_sizes.get() + 2 * std::size_t(m) : nullptr;
  }
  T* z = f.z ? data_of<T>(f.z) : q;
  const T accuracy = ombrix::jacobian_accuracy<T>(s.model.has_jacobian(), s.differences, T(s.a.engine.diff_step));
  auto run = [&] {
    return run_engine(s.engine_fit, s.a.engine, s.a.guarded, binding_jacobian, accuracy, s.differences, typical,
                      lower, upper, z, f.k, f.n, data_of<T>(f.weighted_y), s.a.tolerances, info);
  };
  int status = 0;
  if (s.model.needs_interpreter()) {
    status = run();
  } else {
    Py_BEGIN_ALLOW_THREADS
    status = run();
    Py_END_ALLOW_THREADS
  }
  if (f.z) std::copy_n(s.engine_fit.parameters(z), m, q);
  return status;
}

// Runs the solver the fit asks for from q, which it updates, and fills the
// information vector; returns the solver's status.  A fit refused at the
// start, or one with nothing to solve, only sets its stop reason.
template <typename T>
int run_fit(const FitParts<T>& s, const Start& start, const Constraints<T>& constraints, T* q, T* info) {
  const FitArrays<T>& f = s.arrays;
  if (start.refused) {
    info[6] = T(kInvalidValues);
    return 0;
  }
  if (f.no_solve) {
    info[6] = T(f.nothing_free ? kSmallGradient : kIterationLimit);  // nothing free, or no iteration given
    return 0;
  }
  if (s.a.engine.enabled) return run_engine_fit(s, q, info);
  // In secant mode the numeric layer differences with the step
  // max(1e-4 |p_j|, delta); delta is kept above the precision's resolution.
  const T delta = std::max(T(1e-6), ombrix::kForwardStep<T>);
  const Tolerances& t = s.a.tolerances;
  const T opts[5] = {T(t.tau), T(t.eps1), T(t.eps2), T(t.eps3),
                     s.differences == Differences::kCentral ? -delta : delta};
  const SolverCall<T> call{s.secant && !s.model.has_jacobian(), q, data_of<T>(f.weighted_y), f.m, f.n,
                           t.max_iter, opts, info, &s.fit};
  if (s.model.needs_interpreter()) return run_solver(call, constraints);
  int status = 0;
  Py_BEGIN_ALLOW_THREADS
  status = run_solver(call, constraints);
  Py_END_ALLOW_THREADS
  return status;
}

// ---- solve, step 4: the result ----

// A guarded fit that stopped at a point violating a guard row: the point of
// the last Jacobian (the start before the first; the engine's last accepted
// point), the counters and the point refused, without statistics.
template <typename T>
PyObject* refused_solution(PyTypeObject* type, const FitParts<T>& s, const T* q, int status, const T* info) {
  const int m = s.arrays.m;
  const T* jacobian_point = s.fit.jacobian_point();
  const T* current = s.a.engine.enabled ? q : jacobian_point ? jacobian_point : data_of<T>(s.arrays.p0);
  SolutionFields fields;
  fields[kP] = ombrix::py::array_copy(current, m);
  fields[kInfo] = info_values(info);
  set_counters(&fields, s.fit.model_calls(), s.fit.jacobians(), status);
  for (int i = kR; i <= kQr; ++i) fields[i] = Ref::borrow(Py_None);
  fields[kF] = Ref::borrow(Py_None);
  fields[kJ] = Ref::borrow(Py_None);
  fields[kRefused] = ombrix::py::array_copy(s.fit.blocked_point(), m);
  return new_solution(type, &fields);
}

// (fjac, ipvt, qtf): the pivoted QR factorisation of the weighted Jacobian
// (n x m) and Q^T of the residuals f - y, as ombrix.curve_fit reports them.
Ref factor_solution(const double* weighted_jac, const double* r, int n, int m) {
  npy_intp qr_dims[2] = {m, n}, m_dims[1] = {m};
  Ref fjac(PyArray_SimpleNew(2, qr_dims, NPY_DOUBLE));
  Ref ipvt(PyArray_SimpleNew(1, m_dims, NPY_INT32));
  Ref qtf(PyArray_SimpleNew(1, m_dims, NPY_DOUBLE));
  if (!fjac || !ipvt || !qtf) return {};
  if (!ombrix::residual_qr(weighted_jac, r, n, m, data_of<double>(fjac), static_cast<int*>(PyArray_DATA(as_array(ipvt))),
                           data_of<double>(qtf))) {
    PyErr_NoMemory();
    return {};
  }
  return Ref(PyTuple_Pack(3, fjac.get(), ipvt.get(), qtf.get()));
}

// The arrays of a solution's statistics (f, J, r, cov, the active
// constraints); false with the exception pending when one cannot be made.
template <typename T>
bool statistics_arrays(int n, int m, int k2, SolutionFields* fields) {
  npy_intp f_dims[1] = {n}, jac_dims[2] = {n, m}, cov_dims[2] = {m, m}, m_dims[1] = {m}, k2_dims[1] = {k2};
  SolutionFields& out = *fields;
  out[kF] = Ref(PyArray_SimpleNew(1, f_dims, kNumpyType<T>));
  out[kJ] = Ref(PyArray_SimpleNew(2, jac_dims, kNumpyType<T>));
  out[kR] = Ref(PyArray_SimpleNew(1, f_dims, NPY_DOUBLE));
  out[kCov] = Ref(PyArray_SimpleNew(2, cov_dims, NPY_DOUBLE));
  out[kActiveBounds] = Ref(PyArray_ZEROS(1, m_dims, NPY_INT8, 0));
  out[kActiveIneq] = Ref(PyArray_ZEROS(1, k2_dims, NPY_BOOL, 0));
  return out[kF] && out[kJ] && out[kR] && out[kCov] && out[kActiveBounds] && out[kActiveIneq];
}

// The problem at the solution, for the numeric layer's statistics.
template <typename T>
ombrix::SolutionProblem<T> solution_problem(const FitParts<T>& s) {
  const FitArrays<T>& f = s.arrays;
  ombrix::SolutionProblem<T> problem;
  problem.m = f.m;
  problem.n = f.n;
  problem.y = data_of<T>(f.y);
  problem.y64 = data_of<double>(f.y64);
  problem.weighted_y = data_of<T>(f.weighted_y);
  problem.weights = f.weights64;
  problem.constraints = given_constraints(s.a, f);
  problem.loss = s.a.engine.loss;
  problem.f_scale = s.a.engine.f_scale;
  problem.jacobian_accuracy =
      ombrix::jacobian_accuracy<T>(s.model.has_jacobian(), s.differences, T(s.a.engine.diff_step));
  return problem;
}

// The statistics' storage: the arrays of `fields` and the weighted Jacobian.
template <typename T>
ombrix::SolutionReport<T> solution_report(const SolutionFields& fields, double* weighted_jac) {
  ombrix::SolutionReport<T> report;
  report.values = data_of<T>(fields[kF]);
  report.r = data_of<double>(fields[kR]);
  report.weighted_jac = weighted_jac;
  report.cov = data_of<double>(fields[kCov]);
  report.bounds = static_cast<signed char*>(PyArray_DATA(as_array(fields[kActiveBounds])));
  report.rows = static_cast<bool*>(PyArray_DATA(as_array(fields[kActiveIneq])));
  return report;
}

// The model values (into report->values) and Jacobian (into `jac_out`,
// n x m) at the point p a fit returns, and the statistics there (with the
// final correction when `correction` is given, which may move p).  A
// Jacobian that is not finite sets the stop reason in `info`; a fit that
// did not run (`solved` false, or refused at its start) takes chi-square
// there as its initial and final one.  `scratch`: see summarise_solution.
template <typename T>
ombrix::SolutionOutcome statistics_at(Fit<T>& fit, bool engine, const ombrix::SolutionProblem<T>& problem, T* p,
                                      const Start& start, bool solved, ombrix::ModelEvaluations<T>* correction,
                                      T* info, T* jac_out, ombrix::SolutionReport<T>* report,
                                      ombrix::SolutionScratch* scratch = nullptr) {
  const std::size_t nn = std::size_t(problem.n), mm = std::size_t(problem.m);
  const T* values = nullptr;
  const T* jac = nullptr;
  if (!fit.values_at(p, &values)) return ombrix::SolutionOutcome::kModelFailed;
  if (start.invalid) {
    jac = fit.unevaluated_jacobian();
  } else if (!fit.jacobian_at(p, &jac)) {
    return ombrix::SolutionOutcome::kModelFailed;
  }
  // also one first taken here; the engine refuses the points of others
  if (engine ? !ombrix::all_finite(jac, nn * mm) : fit.jacobian_not_finite()) info[6] = T(kInvalidValues);
  std::copy_n(values, nn, report->values);
  std::copy_n(jac, nn * mm, jac_out);
  const auto outcome = ombrix::summarise_solution(problem, p, jac, int(info[6]), correction, report, scratch);
  if (outcome == ombrix::SolutionOutcome::kDone && (!solved || start.refused)) info[0] = info[1] = T(report->chisq);
  return outcome;
}

// The solution of a fit at the point p it returns, with its statistics.
template <typename T>
PyObject* solution_at(PyTypeObject* type, const FitParts<T>& s, Ref p, const Start& start, int status, T* info) {
  const FitArrays<T>& f = s.arrays;
  SolutionFields fields;
  const bool made = statistics_arrays<T>(f.n, f.m, f.k2, &fields);
  CBuffer<double> weighted_jac(allocate<double>(std::size_t(f.n), std::size_t(f.m)));
  if (!made) return nullptr;
  if (!weighted_jac) return PyErr_NoMemory();
  ombrix::SolutionReport<T> report = solution_report<T>(fields, weighted_jac.get());
  ombrix::ModelEvaluations<T>* correction = s.a.polish ? &s.fit : nullptr;
  switch (statistics_at(s.fit, s.a.engine.enabled, solution_problem(s), data_of<T>(p), start, !f.no_solve,
                        correction, info, data_of<T>(fields[kJ]), &report)) {
    case ombrix::SolutionOutcome::kDone: break;
    case ombrix::SolutionOutcome::kOutOfMemory: return PyErr_NoMemory();
    case ombrix::SolutionOutcome::kModelFailed: return raise_stored(s.evaluator);
  }

  fields[kQr] = s.a.factor ? factor_solution(weighted_jac.get(), report.r, f.n, f.m) : Ref::borrow(Py_None);
  if (!fields[kQr]) return nullptr;
  fields[kP] = std::move(p);
  fields[kInfo] = info_values(info);
  set_counters(&fields, s.fit.model_calls(), s.fit.jacobians(), status);
  fields[kChisq] = Ref(PyFloat_FromDouble(report.chisq));
  fields[kRank] = Ref(PyLong_FromLong(report.rank.rank));
  fields[kFree] = Ref(PyLong_FromLong(report.rank.free));
  fields[kTotal] = Ref(PyFloat_FromDouble(report.total));
  fields[kRefused] = Ref::borrow(Py_None);
  return new_solution(type, &fields);
}

template <typename T>
PyObject* solve_impl(PyTypeObject* type, const SolveArgs& a) {
  Differences differences;
  bool secant = false;
  FitArrays<T> f;
  if (!read_modes(a, &differences, &secant) || !read_arrays(a, &f)) return nullptr;
  const int m = f.m, n = f.n;
  Ref p = ombrix::py::array_copy(data_of<T>(f.p0), m);
  if (!p) return nullptr;
  PythonEvaluator<T> evaluator;  // raises what a Python model raised (a C model cannot fail)
  ombrix::py::CFunction<T> c_model, c_jac;
  const int compiled = bind_c_functions(a, &c_model, &c_jac);
  if (compiled < 0 || (!compiled && !evaluator.bind(a.model, a.jac, f.args, m, n, a.convention))) return nullptr;
  CEvaluator<T> c_evaluator(c_model, c_jac, m, n);
  Evaluator<T>& model = compiled ? static_cast<Evaluator<T>&>(c_evaluator) : evaluator;
  Fit<T> fit(model, m, n, f.weights,
             {differences, data_of<T>(f.typical), f.data(f.lb), f.data(f.ub), T(a.engine.diff_step)});
  if (!fit.allocate_buffers()) return nullptr;
  if (f.C && a.guarded) fit.set_guard(data_of<T>(f.C), data_of<T>(f.d), f.k2);  // on p itself, not on q
  if (!read_engine_variables(a, &f)) return nullptr;
  EngineFit<T> engine_fit(fit, f.weights, m, n, f.k, f.data(f.origin), f.data(f.basis));
  if (a.engine.enabled && !engine_fit.allocate_buffers()) return nullptr;
  T* q = data_of<T>(p);
  if (f.z) std::copy_n(engine_fit.parameters(data_of<T>(f.z)), m, q);  // the start, as the engine maps it
  const FitParts<T> parts{a, f, evaluator, model, fit, engine_fit, differences, secant};

  // The solver's variables q = p / scale (the scale 1 unless set at the start).
  CBuffer<T> scale(allocate<T>(std::size_t(m)));
  CBuffer<T> scratch(a.scale ? allocate<T>(std::size_t(n), std::size_t(m)) : allocate<T>(1));
  if (!scale || !scratch) return PyErr_NoMemory();
  std::fill_n(scale.get(), m, T(1));
  Start start;
  if (!evaluate_start(parts, q, a.scale && !a.engine.enabled, scale.get(), scratch.get(), &start)) return nullptr;
  scratch.reset();
  ombrix::divide_by(q, scale.get(), m);
  SolverConstraints<T> constraints;
  if (!solver_constraints(a, f, scale.get(), &constraints)) return nullptr;

  T info[10] = {};  // stop code 0 until the solver writes its own
  int status = 0;
  {
    ombrix::py::NumericCall numeric;
    status = run_fit(parts, start, constraints.c, q, info);
    if (numeric.raise_if_failed()) return nullptr;
  }
  if (status == kEngineOutOfMemory) return PyErr_NoMemory();
  if (fit.blocked()) return refused_solution(type, parts, q, status, info);
  if (fit.failed()) return raise_stored(evaluator);
  if (status == -1 && info[6] == T(0)) {
    PyErr_SetString(PyExc_RuntimeError, "the solver could not start; its reason is on standard error");
    return nullptr;
  }
  ombrix::multiply_by(q, scale.get(), m, q);  // p, exactly
  if (!a.engine.enabled && fit.jacobian_not_finite()) std::copy_n(fit.jacobian_point(), m, q);  // where it stopped
  return solution_at(type, parts, std::move(p), start, status, info);
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
  if (!PyArg_ParseTuple(tuple, "OddddipOOO|d:engine", &loss, &s.f_scale, &s.ftol, &s.xtol, &s.gtol, &s.max_nfev,
                        &identity, &a->origin, &a->basis, &a->z0, &s.diff_step) ||
      !read_loss(loss, &s.loss))
    return false;
  if (!(s.diff_step >= 0 && s.diff_step < 1)) {
    PyErr_SetString(PyExc_ValueError, "diff_step must be at least 0 and below 1");
    return false;
  }
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
// order, and runs the fit; its result is a solution of the module's types.
PyObject* bind_and_solve(PyObject* module, ombrix::py::Signature signature, bool guarded, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
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
  const ModuleState* state = state_of(module);
  PyTypeObject* type = guarded ? state->guarded_solution : state->solution;
  return precision_of(a.p0) == NPY_FLOAT ? solve_impl<float>(type, a) : solve_impl<double>(type, a);
}

PyObject* solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve(module, {"solve", kSolveParams}, false, args, nargs, kwnames);
}

PyObject* solve_guarded(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve(module, {"solve_guarded", kSolveGuardedParams}, true, args, nargs, kwnames);
}

PyObject* engine_solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve(module, {"engine_solve", kEngineSolveParams.names}, false, args, nargs, kwnames);
}

PyObject* engine_solve_guarded(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_and_solve(module, {"engine_solve_guarded", kEngineGuardedParams.names}, true, args, nargs, kwnames);
}

// ---- engine_solve_many ----
//
// Many fits of one compiled model on the engine, without constraints: row i
// fits p0[i] to y[i] through the steps engine_solve runs for it (start_at,
// run_engine, statistics_at), so its results equal engine_solve's on that
// row.  `workers` threads take rows from a shared counter, each with one
// set of buffers for all its rows; the interpreter lock is released for the
// whole loop (a compiled model cannot raise).

// The rows' inputs, the settings they share and the arrays their results go to.
template <typename T>
struct Batch {
  int k = 0, m = 0, n = 0;
  const double* p0 = nullptr;       // k x m starts, cast to T as engine_solve casts them
  const double* y = nullptr;        // k x n
  const double* weights = nullptr;  // null, or n shared, or k x n (weights_per_row)
  bool weights_per_row = false;
  ombrix::py::CFunction<T> model, jac;
  Differences differences = Differences::kForward;
  EngineSettings settings;
  Tolerances tolerances{};
  // the results, row i at i times each row's size
  T *p = nullptr, *f = nullptr, *J = nullptr;              // k x m, k x n, k x n x m
  double *r = nullptr, *cov = nullptr, *info = nullptr;   // k x n, k x m x m, k x 10
  double *chisq = nullptr, *total = nullptr;              // k
  long long *nfev = nullptr, *njev = nullptr;             // k
  int *status = nullptr, *rank = nullptr, *free = nullptr;  // k

  // The statistics' storage for `row`: its slots of the result arrays, and
  // the caller's scratch for W J and the active bounds (no inequalities).
  ombrix::SolutionReport<T> report_into(std::size_t row, double* weighted_jac, signed char* bounds,
                                        bool* no_rows) const {
    ombrix::SolutionReport<T> report;
    report.values = f + row * std::size_t(n);
    report.r = r + row * std::size_t(n);
    report.weighted_jac = weighted_jac;
    report.cov = cov + row * std::size_t(m) * std::size_t(m);
    report.bounds = bounds;
    report.rows = no_rows;
    return report;
  }

  // What the statistics found for `row` beyond its slots.
  void store(std::size_t row, const ombrix::SolutionReport<T>& report) const {
    chisq[row] = report.chisq;
    total[row] = report.total;
    rank[row] = report.rank.rank;
    free[row] = report.rank.free;
  }
};

// What stopped a batch: the first failure of any worker (none when all rows ran).
struct BatchFailure {
  enum Kind { kNone, kOutOfMemory, kNumeric, kNotStarted } kind = kNone;
  ombrix::FailureRecord numeric;  // the numeric layer's message, for kNumeric
  int row = -1;
};

// One thread's share of a batch: its buffers, taken once, serve every row it runs.
template <typename T>
class BatchWorker {
 public:
  explicit BatchWorker(const Batch<T>& b)
      : b_(b),
        evaluator_(b.model, b.jac, b.m, b.n),
        typical_(allocate<T>(std::size_t(b.m))),
        fit_(evaluator_, b.m, b.n, {}, {b.differences, typical_.get(), nullptr, nullptr, T(b.settings.diff_step)}) {}

  // False when memory is short.
  bool take_buffers() {
    const std::size_t m = std::size_t(b_.m), n = std::size_t(b_.n);
    const int reals = Engine<T>::workspace_size(b_.m, b_.n);  // LAPACK's queries: once, not per row
    workspace_reals_ = reals > 0 ? std::size_t(reals) : 0;
    workspace_.reset(reals > 0 ? allocate<T>(workspace_reals_) : nullptr);
    y_.reset(allocate<T>(n));
    weighted_y_.reset(allocate<T>(n));
    weights_.reset(allocate<T>(n));
    weighted_y64_.reset(allocate<double>(n));
    weighted_jac_.reset(allocate<double>(n, m));
    bounds_.reset(ombrix::calloc_array<signed char>(ombrix::Size(m)));
    return fit_.take_buffers() && typical_ && workspace_ && y_ && weighted_y_ && weights_ && weighted_y64_ &&
           weighted_jac_ && bounds_ && statistics_.reserve(b_.n, b_.m, 0);
  }

  // Fits row i into the batch's results; false, with the reason in *failure, when it could not.
  bool run_row(int i, BatchFailure* failure) {
    const std::size_t m = std::size_t(b_.m), n = std::size_t(b_.n), row = std::size_t(i);
    T* p = b_.p + row * m;
    const double* p0 = b_.p0 + row * m;
    for (std::size_t j = 0; j < m; ++j) {
      p[j] = T(p0[j]);
      typical_[j] = T(p0[j] != 0 ? std::fabs(p0[j]) : 1.0);  // the difference steps' sizes, as fit sets them
    }
    const ombrix::SolutionProblem<T> problem = row_problem(row);
    fit_.restart(row_weights_);
    EngineFit<T> engine_fit(fit_, row_weights_, b_.m, b_.n, b_.m, nullptr, nullptr);

    Start start;
    T info[10] = {};
    int status = 0;
    start_at<T>(fit_, p, b_.n, false, nullptr, nullptr, &start);  // a C model cannot fail
    if (start.refused) {
      info[6] = T(kInvalidValues);
    } else {
      const bool analytic = evaluator_.has_jacobian();
      status = run_engine<T>(engine_fit, b_.settings, false, analytic,
                             ombrix::jacobian_accuracy<T>(analytic, b_.differences, T(b_.settings.diff_step)),
                             b_.differences, typical_.get(),
                             nullptr, nullptr, p, b_.m, b_.n, problem.weighted_y, b_.tolerances, info,
                             {workspace_.get(), workspace_reals_});
      if (status == -1 && info[6] == T(0)) return fail(i, BatchFailure::kNotStarted, failure);
    }
    ombrix::SolutionReport<T> report = b_.report_into(row, weighted_jac_.get(), bounds_.get(), &no_rows_);
    if (statistics_at<T>(fit_, true, problem, p, start, true, nullptr, info, b_.J + row * n * m, &report,
                         &statistics_) != ombrix::SolutionOutcome::kDone)
      return fail(i, BatchFailure::kOutOfMemory, failure);
    std::copy_n(info, 10, b_.info + row * 10);  // as the binding's info tuple: each entry a double
    b_.store(row, report);
    b_.nfev[row] = fit_.model_calls();
    b_.njev[row] = fit_.jacobians();
    b_.status[row] = status;
    return true;
  }

 private:
  // Row i's data in T, its weights (as the binding converts them) and the
  // data the engine fits, W y formed in double precision; sets row_weights_.
  ombrix::SolutionProblem<T> row_problem(std::size_t row) {
    const std::size_t n = std::size_t(b_.n);
    const double* y64 = b_.y + row * n;
    std::copy_n(y64, n, y_.get());
    ombrix::SolutionProblem<T> problem;
    problem.m = b_.m;
    problem.n = b_.n;
    problem.y = y_.get();
    problem.y64 = y64;
    problem.weighted_y = y_.get();
    problem.loss = b_.settings.loss;
    problem.f_scale = b_.settings.f_scale;
    problem.jacobian_accuracy =
        ombrix::jacobian_accuracy<T>(evaluator_.has_jacobian(), b_.differences, T(b_.settings.diff_step));
    row_weights_ = {};
    if (b_.weights) {
      const double* w64 = b_.weights + (b_.weights_per_row ? row * n : 0);
      std::copy_n(w64, n, weights_.get());
      row_weights_ = {Weighting::kDiagonal, weights_.get()};
      problem.weights = {Weighting::kDiagonal, w64};
      problem.weights.apply(y64, weighted_y64_.get(), b_.n, 1);
      std::copy_n(weighted_y64_.get(), n, weighted_y_.get());
      problem.weighted_y = weighted_y_.get();
    }
    return problem;
  }

  static bool fail(int row, BatchFailure::Kind kind, BatchFailure* failure) {
    failure->kind = kind;
    failure->row = row;
    return false;
  }

  const Batch<T>& b_;
  CEvaluator<T> evaluator_;
  CBuffer<T> typical_;  // before fit_, which keeps its address
  Fit<T> fit_;
  CBuffer<T> workspace_, y_, weighted_y_, weights_;
  std::size_t workspace_reals_ = 0;
  CBuffer<double> weighted_y64_, weighted_jac_;
  CBuffer<signed char> bounds_;
  ombrix::SolutionScratch statistics_;  // the statistics' memory, for every row
  bool no_rows_ = false;  // the active inequalities: there are none
  Weights<T> row_weights_;
};

// Runs rows from the shared counter until none is left or a worker failed;
// the worker's first failure in *failure.
template <typename T>
void run_batch_rows(const Batch<T>& b, std::atomic<int>* next_row, std::atomic<bool>* stop, BatchFailure* failure) {
  ombrix::FailureScope scope;  // the numeric layer's failures on this thread
  BatchWorker<T> worker(b);
  if (!worker.take_buffers()) {
    failure->kind = BatchFailure::kOutOfMemory;
    stop->store(true);
    return;
  }
  for (int i = next_row->fetch_add(1); i < b.k && !stop->load(std::memory_order_relaxed); i = next_row->fetch_add(1)) {
    const bool ok = worker.run_row(i, failure);
    if (scope.record().kind != ombrix::Failure::kNone) {
      failure->kind = BatchFailure::kNumeric;
      failure->numeric = scope.record();
      failure->row = i;
    }
    if (!ok || failure->kind != BatchFailure::kNone) {
      stop->store(true);
      return;
    }
  }
}

// Every row of the batch by `workers` threads (this one among them; fewer
// when threads cannot be started, which changes no result); the failure
// that stopped it, if any.
template <typename T>
BatchFailure run_batch(const Batch<T>& b, int workers) {
  std::atomic<int> next_row{0};
  std::atomic<bool> stop{false};
  std::vector<BatchFailure> failures(std::size_t(std::min(workers, b.k)));
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < failures.size(); ++t) {
    try {
      threads.emplace_back(run_batch_rows<T>, std::cref(b), &next_row, &stop, &failures[t]);
    } catch (const std::system_error&) {
      break;
    }
  }
  run_batch_rows(b, &next_row, &stop, &failures[0]);
  for (std::thread& thread : threads) thread.join();
  for (const BatchFailure& failure : failures)
    if (failure.kind != BatchFailure::kNone) return failure;
  return {};
}

// Raises the batch's failure; always null.
PyObject* raise_batch_failure(const BatchFailure& failure) {
  switch (failure.kind) {
    case BatchFailure::kNumeric:
      PyErr_Format(failure.numeric.kind == ombrix::Failure::kOutOfMemory ? PyExc_MemoryError : PyExc_RuntimeError,
                   "row %d: %s", failure.row, failure.numeric.message);
      break;
    case BatchFailure::kNotStarted:
      PyErr_Format(PyExc_RuntimeError, "row %d: the solver could not start; its reason is on standard error",
                   failure.row);
      break;
    default:
      PyErr_NoMemory();
  }
  return nullptr;
}

// The result arrays of a batch, as a dict by name, with the batch's
// pointers into them; null with the exception pending.
template <typename T>
Ref batch_results(Batch<T>* b) {
  const npy_intp k = b->k, m = b->m, n = b->n;
  struct Column {
    const char* name;
    int ndim;
    npy_intp dims[3];
    int type;
    void** data;
  };
  const Column columns[] = {
      {"p", 2, {k, m}, kNumpyType<T>, reinterpret_cast<void**>(&b->p)},
      {"f", 2, {k, n}, kNumpyType<T>, reinterpret_cast<void**>(&b->f)},
      {"J", 3, {k, n, m}, kNumpyType<T>, reinterpret_cast<void**>(&b->J)},
      {"r", 2, {k, n}, NPY_DOUBLE, reinterpret_cast<void**>(&b->r)},
      {"cov", 3, {k, m, m}, NPY_DOUBLE, reinterpret_cast<void**>(&b->cov)},
      {"info", 2, {k, 10}, NPY_DOUBLE, reinterpret_cast<void**>(&b->info)},
      {"chisq", 1, {k}, NPY_DOUBLE, reinterpret_cast<void**>(&b->chisq)},
      {"total", 1, {k}, NPY_DOUBLE, reinterpret_cast<void**>(&b->total)},
      {"nfev", 1, {k}, NPY_LONGLONG, reinterpret_cast<void**>(&b->nfev)},
      {"njev", 1, {k}, NPY_LONGLONG, reinterpret_cast<void**>(&b->njev)},
      {"status", 1, {k}, NPY_INT, reinterpret_cast<void**>(&b->status)},
      {"rank", 1, {k}, NPY_INT, reinterpret_cast<void**>(&b->rank)},
      {"free", 1, {k}, NPY_INT, reinterpret_cast<void**>(&b->free)},
  };
  Ref results(PyDict_New());
  if (!results) return {};
  for (const Column& column : columns) {
    Ref array(PyArray_ZEROS(column.ndim, const_cast<npy_intp*>(column.dims), column.type, 0));
    if (!array || PyDict_SetItemString(results, column.name, array) < 0) return {};
    *column.data = PyArray_DATA(as_array(array));
  }
  return results;
}

// The arrays of a batch: starts (k x m) and data (k x n) as double, weights
// None, shared (n) or per row (k x n).
template <typename T>
bool read_batch_arrays(PyObject* p0, PyObject* y, PyObject* weights, Batch<T>* b, Ref* p0_array, Ref* y_array,
                       Ref* weight_array) {
  npy_intp p_dims[2] = {-1, -1};
  if (!array_argument<double>(p0, "p0", 2, p_dims, false, p0_array)) return false;
  npy_intp y_dims[2] = {p_dims[0], -1};
  if (!array_argument<double>(y, "y", 2, y_dims, false, y_array)) return false;
  if (!to_count(p_dims[0], "p0", &b->k) || !to_count(p_dims[1], "p0", &b->m) || !to_count(y_dims[1], "y", &b->n))
    return false;
  if (b->k < 1 || b->m < 1 || b->n < 1) {
    PyErr_SetString(PyExc_ValueError, "p0 and y must not be empty");
    return false;
  }
  if (b->n < b->m) {
    PyErr_Format(PyExc_ValueError, "fewer data points (%d) than free parameters (%d)", b->n, b->m);
    return false;
  }
  if (weights != Py_None) {
    Ref probe(PyArray_FromAny(weights, nullptr, 0, 0, 0, nullptr));
    if (!probe) return false;
    b->weights_per_row = PyArray_NDIM(as_array(probe)) == 2;
    npy_intp w_dims[2] = {b->weights_per_row ? npy_intp(b->k) : npy_intp(b->n), b->n};
    if (!array_argument<double>(weights, "weights", b->weights_per_row ? 2 : 1, w_dims, false, weight_array))
      return false;
    b->weights = data_of<double>(*weight_array);
  }
  b->p0 = data_of<double>(*p0_array);
  b->y = data_of<double>(*y_array);
  return true;
}

template <typename T>
PyObject* solve_many_impl(const SolveArgs& a, PyObject* weights, int workers) {
  Batch<T> b;
  Ref p0, y, weight_array;
  Differences differences;
  bool secant = false;
  if (!read_modes(a, &differences, &secant) ||
      !read_batch_arrays(a.p0, a.y, weights, &b, &p0, &y, &weight_array))
    return nullptr;
  const int compiled = bind_c_functions(a, &b.model, &b.jac);
  if (compiled < 0) return nullptr;
  if (!compiled) {
    PyErr_SetString(PyExc_TypeError, "engine_solve_many takes a compiled model");
    return nullptr;
  }
  if (a.origin != Py_None) {
    PyErr_SetString(PyExc_ValueError, "engine_solve_many fits the parameters themselves: origin, basis and z0 None");
    return nullptr;
  }
  b.differences = differences;
  b.settings = a.engine;
  b.tolerances = a.tolerances;
  Ref results = batch_results(&b);
  if (!results) return nullptr;
  BatchFailure failure;
  Py_BEGIN_ALLOW_THREADS
  failure = run_batch(b, workers);
  Py_END_ALLOW_THREADS
  if (failure.kind != BatchFailure::kNone) return raise_batch_failure(failure);
  return results.release();
}

const char* const kSolveManyParams[] = {"model", "p0", "y", "jac", "weights", "diff", "tau", "max_iter", "engine",
                                        "single", "workers"};

PyObject* engine_solve_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* v[std::size(kSolveManyParams)];
  if (!ombrix::py::bind_arguments({"engine_solve_many", kSolveManyParams}, args, nargs, kwnames, v)) return nullptr;
  SolveArgs a{v[0], v[1], v[2], Py_None, v[3], Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None,
              v[5], Py_None, false, {}, Convention::kArray, false, false, false, {}};
  int workers = 0;
  const int single = PyObject_IsTrue(v[9]);
  if (single < 0 || !read_engine(v[8], &a) || !ombrix::py::to_double(v[6], &a.tolerances.tau) ||
      !ombrix::py::to_int(v[7], &a.tolerances.max_iter) || !ombrix::py::to_int(v[10], &workers))
    return nullptr;
  if (workers < 1) {
    PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
    return nullptr;
  }
  return single ? solve_many_impl<float>(a, v[4], workers) : solve_many_impl<double>(a, v[4], workers);
}

// ---- engine_solve_lockstep ----
//
// Many fits of one vectorized Python model (model(P, *args) with P of j x m
// returns j x n values, jac(P, *args) j x n x m) on the engine, without
// constraints, all advancing together: each fit keeps its own engine run,
// and each round gathers every pending request of one kind into one call.
// Without jac the runs take difference Jacobians, whose points are requests
// for model values like any other.  The statistics at the solutions take
// one more call of each (the model's at the difference points of the
// Jacobians there, in calls of at most k points or one row's).

// function(P, *args) as a C-contiguous array of T of the shape `dims` (ndim
// entries): any real values converted, as a single fit reads them; null
// with the exception pending.
template <typename T>
Ref call_vectorized(PyObject* function, PyObject* args, PyObject* points, const char* name, int ndim,
                    const npy_intp* dims) {
  const Py_ssize_t extra = PyTuple_GET_SIZE(args);
  Ref call_args(PyTuple_New(1 + extra));
  if (!call_args) return {};
  PyTuple_SET_ITEM(call_args.get(), 0, Ref::borrow(points).release());
  for (Py_ssize_t i = 0; i < extra; ++i)
    PyTuple_SET_ITEM(call_args.get(), 1 + i, Ref::borrow(PyTuple_GET_ITEM(args, i)).release());
  Ref out(PyObject_Call(function, call_args, nullptr));
  if (!out) return {};
  Ref array = PyArray_Check(out) ? std::move(out) : Ref(PyArray_FromAny(out, nullptr, 0, 0, 0, nullptr));
  if (!array) return {};
  PyArrayObject* a = as_array(array);
  if (PyArray_NDIM(a) == ndim && std::equal(dims, dims + ndim, PyArray_DIMS(a))) {
    if (!PyArray_ISBOOL(a) && !PyArray_ISINTEGER(a) && !PyArray_ISFLOAT(a)) {
      PyErr_Format(PyExc_TypeError, "the vectorized %s returned values of dtype %S, expected real numbers", name,
                   reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
      return {};
    }
    return Ref(PyArray_FromAny(array, PyArray_DescrFromType(kNumpyType<T>), 0, 0,
                               NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
  }
  Ref shape(PyObject_GetAttrString(array, "shape"));
  if (!shape) return {};
  if (ndim == 2)
    PyErr_Format(PyExc_ValueError, "the vectorized %s returned shape %R for %zd fits; expected (%zd, %zd)", name,
                 shape.get(), Py_ssize_t(dims[0]), Py_ssize_t(dims[0]), Py_ssize_t(dims[1]));
  else
    PyErr_Format(PyExc_ValueError, "the vectorized %s returned shape %R for %zd fits; expected (%zd, %zd, %zd)", name,
                 shape.get(), Py_ssize_t(dims[0]), Py_ssize_t(dims[0]), Py_ssize_t(dims[1]), Py_ssize_t(dims[2]));
  return {};
}

// The last evaluation of one kind for each row, reused when its run asks
// at the same point again (as a single fit reuses it), and the count of
// evaluations made.
template <typename T>
struct LastEvaluations {
  std::size_t m = 0, size = 0;  // reals of a point and of an evaluation
  CBuffer<T> points, values;
  std::vector<char> known;
  std::vector<long long> made;

  bool take(std::size_t k, std::size_t m_, std::size_t size_) {
    m = m_;
    size = size_;
    points.reset(allocate<T>(k, m));
    values.reset(allocate<T>(k, size));
    known.assign(k, 0);
    made.assign(k, 0);
    return points && values;
  }
  bool reusable(std::size_t row, const T* p) const {
    return known[row] && std::memcmp(points.get() + row * m, p, m * sizeof(T)) == 0;
  }
  const T* at(std::size_t row) const { return values.get() + row * size; }
  // Keeps an evaluation just made at p (weighted, `size` reals).
  void keep(std::size_t row, const T* p, const T* weighted) {
    std::copy_n(p, m, points.get() + row * m);
    std::copy_n(weighted, size, values.get() + row * size);
    known[row] = 1;
    ++made[row];
  }
};

// Threads that share the rows of a lockstep batch between its calls into
// Python: share(count, work) runs work(row, thread) for every row below
// count, each row on one of the threads (this one is thread 0), and returns
// when all are done; work is borrowed, not copied (no allocation per share).
// The helpers wait between shares, so a batch starts them once for all its
// rounds; fewer start when the system refuses one, which changes no result.
// A share does not wait for a helper that has not woken yet (on a busy
// machine that can take a while): a helper takes rows only once it has
// joined the share under the mutex, and the share ends when every row is
// taken and no helper that joined is still at work.  Called without the
// interpreter lock; the work must not throw.
class RowThreads {
 public:
  explicit RowThreads(int workers) {
    for (int t = 1; t < workers; ++t) {
      try {
        helpers_.emplace_back(&RowThreads::help, this, t);
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~RowThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
  }
  RowThreads(const RowThreads&) = delete;
  RowThreads& operator=(const RowThreads&) = delete;

  // The threads that share the rows, this one included.
  int count() const { return int(helpers_.size()) + 1; }

  template <typename Work>
  void share(int rows, const Work& work) {
    if (helpers_.empty() || rows <= 1) {
      for (int row = 0; row < rows; ++row) work(row, 0);
      return;
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [this] { return working_ == 0; });  // a late helper leaving the last share
      work_ = &work;
      call_ = [](const void* w, int row, int thread) { (*static_cast<const Work*>(w))(row, thread); };
      rows_ = rows;
      next_row_.store(0);
      ++generation_;
    }
    wake_.notify_all();
    take_rows(0);  // every row is taken when it returns
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return working_ == 0; });
  }

 private:
  void take_rows(int thread) {
    for (int row = next_row_.fetch_add(1); row < rows_; row = next_row_.fetch_add(1)) call_(work_, row, thread);
  }

  void help(int thread) {
    unsigned seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        ++working_;
      }
      take_rows(thread);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--working_ == 0) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  // the current share's work and how to call it (set under the mutex)
  const void* work_ = nullptr;
  void (*call_)(const void* work, int row, int thread) = nullptr;
  int rows_ = 0;
  std::atomic<int> next_row_{0};
  int working_ = 0;          // helpers that joined a share and are still taking rows
  unsigned generation_ = 0;  // counts the shares, so that a helper sees each once
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

// The fits of a lockstep batch in the precision T: one engine run per row,
// the model (and jac, or None for difference Jacobians), the rows' data
// and weights in T, their last evaluations, and the threads that move the
// runs on between the calls.
template <typename T>
struct Lockstep {
  const Batch<T>& b;
  PyObject *model, *jac, *args;
  RowThreads& threads;
  std::vector<std::unique_ptr<ombrix::SteppedSolve<T>>> runs;
  CBuffer<T> y;           // k x n: the data in T
  CBuffer<T> weighted_y;  // k x n: W y formed in double, what each engine fits
  CBuffer<T> weights;     // n or k x n as b.weights: W in T, which weights the model's values
  CBuffer<T> typical;     // k x m: the sizes of each row's difference steps, |p0| or 1
  LastEvaluations<T> last_values, last_jacobian;
  // The rows of the current round: those answered from their last
  // evaluation, and those that the call answers (in the call's order).
  std::vector<int> reusing, asking;

  bool analytic() const { return jac != Py_None; }
  std::size_t weights_offset(std::size_t row) const { return b.weights_per_row ? row * std::size_t(b.n) : 0; }
  const double* row_weights64(std::size_t row) const { return b.weights ? b.weights + weights_offset(row) : nullptr; }
  const T* row_weights(std::size_t row) const { return b.weights ? weights.get() + weights_offset(row) : nullptr; }
  // Where row's difference steps go, as fit places them at its solution.
  ombrix::DifferenceSteps<T> row_steps(std::size_t row) const {
    return {b.differences, typical.get() + row * std::size_t(b.m), nullptr, nullptr, T(b.settings.diff_step)};
  }
};

// Moves on every run of the round, sharing them among the threads without
// the interpreter lock: each takes its last evaluation or its part of the
// call's values `out` (weighted, and kept as its last evaluation).
template <typename T>
void supply_round(Lockstep<T>& s, bool values, const T* out) {
  const std::size_t m = std::size_t(s.b.m), n = std::size_t(s.b.n);
  LastEvaluations<T>& last = values ? s.last_values : s.last_jacobian;
  const std::size_t width = values ? 1 : m;  // reals per data point
  const int reused = int(s.reusing.size());
  const auto work = [&](int a, int) {
    if (a < reused) {
      const std::size_t row = std::size_t(s.reusing[std::size_t(a)]);
      std::copy_n(last.at(row), last.size, s.runs[row]->into());
      return s.runs[row]->supplied();
    }
    const std::size_t asked = std::size_t(a - reused), row = std::size_t(s.asking[asked]);
    const T* from = out + asked * n * width;
    ombrix::SteppedSolve<T>& run = *s.runs[row];
    T* into = run.into();
    const T* w = s.row_weights(row);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t c = 0; c < width; ++c) {
        const std::size_t at = i * width + c;
        into[at] = w ? w[i] * from[at] : from[at];
      }
    last.keep(row, run.at(), into);
    run.supplied();
  };
  Py_BEGIN_ALLOW_THREADS
  s.threads.share(reused + int(s.asking.size()), work);
  Py_END_ALLOW_THREADS
}

// Answers every run asking for `need`: from its last evaluation when it
// asks at the same point, the others with one call.  *any true when one
// asked; false with the exception pending.
template <typename T>
bool answer_round(Lockstep<T>& s, typename ombrix::SteppedSolve<T>::Need need, bool* any) {
  using Need = typename ombrix::SteppedSolve<T>::Need;
  const std::size_t m = std::size_t(s.b.m), n = std::size_t(s.b.n);
  const bool values = need == Need::kValues;
  const LastEvaluations<T>& last = values ? s.last_values : s.last_jacobian;
  s.reusing.clear();
  s.asking.clear();
  for (int i = 0; i < s.b.k; ++i) {
    const ombrix::SteppedSolve<T>& run = *s.runs[std::size_t(i)];
    if (run.need() != need) continue;
    *any = true;
    (last.reusable(std::size_t(i), run.at()) ? s.reusing : s.asking).push_back(i);
  }
  if (s.asking.empty()) {
    if (!s.reusing.empty()) supply_round<T>(s, values, nullptr);
    return true;
  }
  const npy_intp j = npy_intp(s.asking.size());
  npy_intp p_dims[2] = {j, npy_intp(m)};
  Ref points(PyArray_SimpleNew(2, p_dims, kNumpyType<T>));
  if (!points) return false;
  for (npy_intp a = 0; a < j; ++a)
    std::copy_n(s.runs[std::size_t(s.asking[std::size_t(a)])]->at(), m, data_of<T>(points) + std::size_t(a) * m);
  const npy_intp dims[3] = {j, npy_intp(n), npy_intp(m)};
  Ref out =
      call_vectorized<T>(values ? s.model : s.jac, s.args, points, values ? "model" : "jac", values ? 2 : 3, dims);
  if (!out) return false;
  supply_round(s, values, data_of<T>(out));
  return true;
}

// The rows' data, weights and weighted data in T, as a single fit converts
// them; false when memory is short.
template <typename T>
bool convert_rows(Lockstep<T>& s) {
  const Batch<T>& b = s.b;
  const std::size_t k = std::size_t(b.k), n = std::size_t(b.n), m = std::size_t(b.m);
  const std::size_t weight_rows = b.weights ? (b.weights_per_row ? k : 1) : 0;
  s.y.reset(allocate<T>(k, n));
  s.weighted_y.reset(allocate<T>(k, n));
  s.weights.reset(allocate<T>(std::max<std::size_t>(weight_rows, 1), n));
  s.typical.reset(allocate<T>(k, m));
  if (!s.y || !s.weighted_y || !s.weights || !s.typical) return false;
  std::copy_n(b.weights, weight_rows * n, s.weights.get());
  for (std::size_t row = 0; row < k; ++row) {
    const double* y64 = b.y + row * n;
    const double* w64 = s.row_weights64(row);
    for (std::size_t i = 0; i < n; ++i) {
      s.y[row * n + i] = T(y64[i]);
      s.weighted_y[row * n + i] = T(w64 ? w64[i] * y64[i] : y64[i]);
    }
  }
  return true;
}

// Starts one engine run per row from its start, its difference steps sized
// as fit sizes them; false with the exception pending.
template <typename T>
bool start_runs(Lockstep<T>& s, typename Engine<T>::Options options) {
  const std::size_t m = std::size_t(s.b.m), n = std::size_t(s.b.n);
  if (!convert_rows(s) || !s.last_values.take(std::size_t(s.b.k), m, n) ||
      (s.analytic() && !s.last_jacobian.take(std::size_t(s.b.k), m, n * m)))
    return PyErr_NoMemory(), false;
  s.runs.reserve(std::size_t(s.b.k));
  s.reusing.reserve(std::size_t(s.b.k));
  s.asking.reserve(std::size_t(s.b.k));
  for (std::size_t row = 0; row < std::size_t(s.b.k); ++row) {
    const double* p0 = s.b.p0 + row * m;
    T* typical = s.typical.get() + row * m;
    for (std::size_t j = 0; j < m; ++j) {
      s.b.p[row * m + j] = T(p0[j]);
      typical[j] = T(p0[j] != 0 ? std::fabs(p0[j]) : 1.0);
    }
    options.typical = typical;
    s.runs.push_back(std::make_unique<ombrix::SteppedSolve<T>>());
    if (!s.runs.back()->begin(s.b.p + row * m, s.weighted_y.get() + row * n, s.b.m, s.b.n, options, s.analytic())) {
      PyErr_Format(PyExc_RuntimeError, "row %zd: the solver could not start; its reason is on standard error",
                   Py_ssize_t(row));
      return false;
    }
  }
  return true;
}

// The model evaluations of the binding's difference Jacobian at a solution:
// one per column forward, two central (no bounds to step around); none
// with an analytic Jacobian.
template <typename T>
int difference_evaluations(const Lockstep<T>& s) {
  if (s.analytic()) return 0;
  return s.b.differences == Differences::kCentral ? 2 * s.b.m : s.b.m;
}

// One thread's scratch for the statistics: W J, the active bounds, the
// statistics' own arrays, and a difference Jacobian's trial point, values
// and (while its points are written down) Jacobian.
template <typename T>
struct StatisticsScratch {
  CBuffer<double> weighted_jac;
  CBuffer<T> trial, f_plus, f_minus, jac;
  CBuffer<signed char> bounds;
  ombrix::SolutionScratch solution;

  bool take(std::size_t m, std::size_t n) {
    weighted_jac.reset(allocate<double>(n, m));
    trial.reset(allocate<T>(m));
    f_plus.reset(allocate<T>(n));
    f_minus.reset(allocate<T>(n));
    jac.reset(allocate<T>(n, m));
    bounds.reset(ombrix::calloc_array<signed char>(ombrix::Size(m)));
    return weighted_jac && trial && f_plus && f_minus && jac && bounds && solution.reserve(int(n), int(m), 0);
  }
  ombrix::DifferenceScratch<T> differences() { return {trial.get(), f_plus.get(), f_minus.get()}; }
};

// The statistics of one row at its solution from the model values and
// Jacobian there (in b.f and b.J), into the batch's results, in the
// thread's scratch.  False when memory is short.
template <typename T>
bool row_statistics(const Lockstep<T>& s, std::size_t row, StatisticsScratch<T>& scratch) {
  const Batch<T>& b = s.b;
  const std::size_t m = std::size_t(b.m), n = std::size_t(b.n);
  ombrix_solve_result result{};
  const int status = s.runs[row]->result(&result);
  T info[10] = {};  // in T, as a single fit keeps it
  engine_info(result, status, info);
  const T* jac = b.J + row * n * m;
  if (!ombrix::all_finite(jac, n * m)) info[6] = T(kInvalidValues);
  std::copy_n(info, 10, b.info + row * 10);
  ombrix::SolutionProblem<T> problem;
  problem.m = b.m;
  problem.n = b.n;
  problem.y = s.y.get() + row * n;
  problem.y64 = b.y + row * n;
  problem.weighted_y = s.weighted_y.get() + row * n;
  if (const double* w = s.row_weights64(row)) problem.weights = {Weighting::kDiagonal, w};
  problem.loss = b.settings.loss;
  problem.f_scale = b.settings.f_scale;
  problem.jacobian_accuracy = ombrix::jacobian_accuracy<T>(s.analytic(), b.differences, T(b.settings.diff_step));
  bool no_rows = false;
  ombrix::SolutionReport<T> report = b.report_into(row, scratch.weighted_jac.get(), scratch.bounds.get(), &no_rows);
  if (ombrix::summarise_solution<T>(problem, b.p + row * m, jac, int(info[6]), nullptr, &report, &scratch.solution) !=
      ombrix::SolutionOutcome::kDone)
    return false;
  b.store(row, report);
  // counted as a single fit counts them: the statistics' evaluations where the run made none at p;
  // with differences the single fit takes one Jacobian, there, from the model values at its steps
  const T* p = b.p + row * m;
  b.nfev[row] = s.last_values.made[row] + !s.last_values.reusable(row, p) + difference_evaluations(s);
  b.njev[row] = s.analytic() ? s.last_jacobian.made[row] + !s.last_jacobian.reusable(row, p) : 1;
  b.status[row] = status;
  return true;
}

// `function` (the model, `name`, or its jac) at every solution, from one
// call at all of them, into `into` (k x n values, or k x n x m Jacobians:
// `ndim` 2 or 3); false with the exception pending.
template <typename T>
bool call_at_solutions(Lockstep<T>& s, PyObject* function, const char* name, int ndim, T* into) {
  const Batch<T>& b = s.b;
  npy_intp p_dims[2] = {b.k, b.m};
  Ref points(PyArray_SimpleNew(2, p_dims, kNumpyType<T>));
  if (!points) return false;
  std::copy_n(b.p, std::size_t(b.k) * std::size_t(b.m), data_of<T>(points));
  const npy_intp dims[3] = {b.k, b.n, b.m};
  Ref out = call_vectorized<T>(function, s.args, points, name, ndim, dims);
  if (!out) return false;
  const std::size_t width = ndim == 3 ? std::size_t(b.m) : 1;
  std::copy_n(data_of<T>(out), std::size_t(b.k) * std::size_t(b.n) * width, into);
  return true;
}

// The model as the binding's difference Jacobian of one row reaches it, in
// two passes over the same steps: first each evaluation's point is written
// down (its values zero), then the values made at those points by one
// vectorized call are handed out in the same order.  values_at gives the
// values at the solution, where the difference Jacobian is taken.
template <typename T>
class DifferencePoints final : public ombrix::ModelEvaluations<T> {
 public:
  DifferencePoints(int m, int n, int capacity) : m_(std::size_t(m)), n_(std::size_t(n)), capacity_(capacity) {}

  void record(const T* f_at_p, T* points) {
    start(f_at_p);
    points_ = points;
  }
  void serve(const T* f_at_p, const T* values) {
    start(f_at_p);
    values_ = values;
  }

  bool evaluate(const T* p, T* f) override {
    if (made_ == capacity_) return false;  // more points than the difference rule takes: a fault here
    const std::size_t e = std::size_t(made_++);
    if (points_) {
      std::copy_n(p, m_, points_ + e * m_);
      std::fill_n(f, n_, T(0));
    } else {
      std::copy_n(values_ + e * n_, n_, f);
    }
    return true;
  }
  bool values_at(const T*, const T** f) override {
    *f = f_at_p_;
    return true;
  }

 private:
  void start(const T* f_at_p) {
    f_at_p_ = f_at_p;
    points_ = nullptr;
    values_ = nullptr;
    made_ = 0;
  }

  const std::size_t m_, n_;
  const int capacity_;
  const T* f_at_p_ = nullptr;
  T* points_ = nullptr;        // recording: where the points go
  const T* values_ = nullptr;  // serving: the values at them
  int made_ = 0;
};

// The difference Jacobians at the solutions into b.J, as fit takes them
// (the binding's steps, not the engine's), and each row's statistics.  The
// rows go in groups whose difference points make one call of at most k
// points (one row's m or 2m when k is smaller), so that a call's values
// take no more memory than a round's; the threads write the points down
// and make the Jacobians from the values.  False with the exception pending.
template <typename T>
bool difference_statistics(Lockstep<T>& s, std::vector<StatisticsScratch<T>>& scratch,
                           std::atomic<bool>* short_of_memory) {
  std::atomic<bool> miscounted{false};  // a difference Jacobian asked for more points than it takes
  const Batch<T>& b = s.b;
  const std::size_t m = std::size_t(b.m), n = std::size_t(b.n);
  const int per_row = difference_evaluations(s);
  const int group = std::max(1, b.k / per_row);
  std::vector<DifferencePoints<T>> models(scratch.size(), DifferencePoints<T>(b.m, b.n, per_row));
  for (int first = 0; first < b.k; first += group) {
    const int rows = std::min(group, b.k - first);
    npy_intp p_dims[2] = {npy_intp(rows) * per_row, b.m};
    Ref points(PyArray_SimpleNew(2, p_dims, kNumpyType<T>));
    if (!points) return false;
    T* at = data_of<T>(points);
    const auto write_points = [&](int a, int thread) {
      const std::size_t row = std::size_t(first + a), t = std::size_t(thread);
      models[t].record(b.f + row * n, at + std::size_t(a) * std::size_t(per_row) * m);
      if (!ombrix::difference_jacobian<T>(models[t], s.row_steps(row), b.p + row * m, b.m, b.n,
                                          scratch[t].differences(), scratch[t].jac.get()))
        miscounted.store(true);
    };
    Py_BEGIN_ALLOW_THREADS
    s.threads.share(rows, write_points);
    Py_END_ALLOW_THREADS
    if (miscounted.load()) {
      PyErr_SetString(PyExc_SystemError, "a difference Jacobian took more points than its rule");
      return false;
    }
    const npy_intp dims[2] = {p_dims[0], b.n};
    Ref values = call_vectorized<T>(s.model, s.args, points, "model", 2, dims);
    if (!values) return false;
    const T* from = data_of<T>(values);
    const auto take_values = [&](int a, int thread) {
      const std::size_t row = std::size_t(first + a), t = std::size_t(thread);
      models[t].serve(b.f + row * n, from + std::size_t(a) * std::size_t(per_row) * n);
      ombrix::difference_jacobian<T>(models[t], s.row_steps(row), b.p + row * m, b.m, b.n, scratch[t].differences(),
                                     b.J + row * n * m);
      if (!row_statistics(s, row, scratch[t]))
        short_of_memory->store(true);
    };
    Py_BEGIN_ALLOW_THREADS
    s.threads.share(rows, take_values);
    Py_END_ALLOW_THREADS
  }
  return true;
}

// The statistics of every row at its solution, as fit computes them there:
// the model values (and the analytic Jacobian) from one call at all of
// them, or the difference Jacobians from calls at their points; the rows
// shared among the threads.  False with the exception pending.
template <typename T>
bool lockstep_statistics(Lockstep<T>& s) {
  const Batch<T>& b = s.b;
  const std::size_t m = std::size_t(b.m), n = std::size_t(b.n);
  if (!call_at_solutions(s, s.model, "model", 2, b.f) || (s.analytic() && !call_at_solutions(s, s.jac, "jac", 3, b.J)))
    return false;
  std::vector<StatisticsScratch<T>> scratch(std::size_t(s.threads.count()));
  for (StatisticsScratch<T>& mine : scratch)
    if (!mine.take(m, n)) return PyErr_NoMemory(), false;
  std::atomic<bool> short_of_memory{false};
  if (!s.analytic()) {
    if (!difference_statistics(s, scratch, &short_of_memory)) return false;
  } else {
    const auto work = [&](int row, int thread) {
      StatisticsScratch<T>& mine = scratch[std::size_t(thread)];
      if (!row_statistics(s, std::size_t(row), mine))
        short_of_memory.store(true);
    };
    Py_BEGIN_ALLOW_THREADS
    s.threads.share(b.k, work);
    Py_END_ALLOW_THREADS
  }
  if (short_of_memory.load()) return PyErr_NoMemory(), false;
  return true;
}

// The lockstep batch in the precision T, from the checked arguments.
template <typename T>
PyObject* solve_lockstep_impl(const SolveArgs& a, PyObject* model_args, PyObject* weights, Differences differences,
                              int workers) {
  using Need = typename ombrix::SteppedSolve<T>::Need;
  Batch<T> b;
  Ref p0, y, weight_array;
  if (!read_batch_arrays(a.p0, a.y, weights, &b, &p0, &y, &weight_array)) return nullptr;
  b.settings = a.engine;
  b.differences = differences;
  Ref results = batch_results(&b);
  if (!results) return nullptr;
  typename Engine<T>::Options options;
  Engine<T>::defaults(&options);
  set_engine_options<T>(b.settings, a.tolerances, differences, &options);
  if (a.jac != Py_None) options.jacobian_accuracy = ombrix::jacobian_accuracy<T>(true, differences);
  RowThreads threads(std::min(workers, b.k));
  Lockstep<T> s{b, a.model, a.jac, model_args, threads, {}, {}, {}, {}, {}, {}, {}, {}, {}};
  if (!start_runs(s, options)) return nullptr;
  for (bool any = true; any;) {
    any = false;
    if (!answer_round(s, Need::kValues, &any) || !answer_round(s, Need::kJacobian, &any)) return nullptr;
  }
  if (!lockstep_statistics(s)) return nullptr;
  return results.release();
}

const char* const kSolveLockstepParams[] = {"model", "p0", "y", "jac", "args", "weights", "diff", "tau",
                                            "max_iter", "engine", "single", "workers"};

PyObject* engine_solve_lockstep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* v[std::size(kSolveLockstepParams)];
  if (!ombrix::py::bind_arguments({"engine_solve_lockstep", kSolveLockstepParams}, args, nargs, kwnames, v))
    return nullptr;
  SolveArgs a{v[0], v[1], v[2], Py_None, v[3], Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None,
              v[6], Py_None, false, {}, Convention::kArray, false, false, false, {}};
  int workers = 0;
  Differences differences;
  bool secant = false;
  const int single = PyObject_IsTrue(v[10]);
  if (single < 0 || !read_engine(v[9], &a) || !ombrix::py::to_double(v[7], &a.tolerances.tau) ||
      !ombrix::py::to_int(v[8], &a.tolerances.max_iter) || !ombrix::py::to_int(v[11], &workers) ||
      !read_modes(a, &differences, &secant))
    return nullptr;
  if (workers < 1) {
    PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
    return nullptr;
  }
  Ref model_args = args_tuple(v[4]);
  if (!model_args) return nullptr;
  return single ? solve_lockstep_impl<float>(a, model_args.get(), v[5], differences, workers)
                : solve_lockstep_impl<double>(a, model_args.get(), v[5], differences, workers);
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
  Fit<T> fit(evaluator, m, n, {},
             {differences, data_of<T>(typical), lb ? data_of<T>(lb) : nullptr, ub ? data_of<T>(ub) : nullptr});
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
  Fit<T> fit(evaluator, m, n, {}, {Differences::kForward, &unused_typical, nullptr, nullptr});
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
             "(weights: 1-D w for W = diag(w), 2-D L for W = L^-1); returns a Solution (p, f, J, info, nfev,\n"
             "njev, status, r, chisq, cov, rank, free, total, active_bounds, active_ineq, qr): f and J the\n"
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
             "constraints.  Returns a GuardedSolution: solve()'s fields and refused None, or when a point\n"
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
             "G p >= h and stops; the result is solve_guarded()'s, current being the engine's last\n"
             "accepted point.");
PyDoc_STRVAR(engine_solve_lockstep_doc,
             "engine_solve_lockstep(model, p0, y, jac, args, weights, diff, tau, max_iter, engine, single,\n"
             "                      workers)\n"
             "--\n\n"
             "Fits every row of y (k x n) from p0 (k x m) on the engine, without constraints, with a\n"
             "vectorized Python model and Jacobian: model(P, *args) -> (j, n), jac(P, *args) -> (j, n, m)\n"
             "for the j x m points of the fits that ask for them, one call per round for all of them.\n"
             "With jac None the Jacobians are differences ('forward' or 'central' diff), their points\n"
             "gathered into the model's calls as well.  In single precision with single: P and the values\n"
             "in float32, as engine_solve() in float32 calls a model.\n"
             "Between the calls `workers` threads share the engine's work on the rows, without the\n"
             "interpreter lock; the results do not depend on their number.  Returns the arrays of\n"
             "engine_solve_many.");

PyDoc_STRVAR(engine_solve_many_doc,
             "engine_solve_many(model, p0, y, jac, weights, diff, tau, max_iter, engine, single, workers)\n"
             "--\n\n"
             "engine_solve() of a compiled model on each row: p0 (k x m) and y (k x n) in double, weights None,\n"
             "shared (n) or per row (k x n), no constraints, engine's origin, basis and z0 None; in single\n"
             "precision with single.  Row i's results equal engine_solve()'s on that row.  `workers` threads\n"
             "share the rows, without the interpreter lock.  Returns a dict of arrays with the rows first: p,\n"
             "f, J, r, cov, info, chisq, total, nfev, njev, status, rank, free (as Solution's fields).");
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
    {"engine_solve_many", as_cfunction(engine_solve_many), METH_FASTCALL | METH_KEYWORDS, engine_solve_many_doc},
    {"engine_solve_lockstep", as_cfunction(engine_solve_lockstep), METH_FASTCALL | METH_KEYWORDS,
     engine_solve_lockstep_doc},
    {"jacobian", as_cfunction(jacobian), METH_FASTCALL | METH_KEYWORDS, jacobian_doc},
    {"check_jacobian", as_cfunction(check_jacobian), METH_FASTCALL | METH_KEYWORDS, check_jacobian_doc},
    {nullptr, nullptr, 0, nullptr},
};

// NumPy's C API, and the solution types, kept in the state and added to the module.
int module_exec(PyObject* module) {
  if (ombrix::py::import_numpy_api() < 0) return -1;
  ModuleState* state = state_of(module);
  state->solution = PyStructSequence_NewType(&solution_desc);
  if (!state->solution || PyModule_AddObjectRef(module, "Solution", reinterpret_cast<PyObject*>(state->solution)) < 0)
    return -1;
  state->guarded_solution = PyStructSequence_NewType(&guarded_solution_desc);
  if (!state->guarded_solution ||
      PyModule_AddObjectRef(module, "GuardedSolution", reinterpret_cast<PyObject*>(state->guarded_solution)) < 0)
    return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  Py_VISIT(state->solution);
  Py_VISIT(state->guarded_solution);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* state = state_of(module);
  Py_CLEAR(state->solution);
  Py_CLEAR(state->guarded_solution);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_fit",
    "The binding behind ombrix.fit: solvers of every constraint kind in double and single precision.",
    sizeof(ModuleState),
    module_functions,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

// ==== initialisation ==========================================================

PyMODINIT_FUNC PyInit__fit(void) { return PyModuleDef_Init(&module_def); }