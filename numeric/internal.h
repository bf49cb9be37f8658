// Internal interfaces of the numeric layer: overflow-checked sizes, C
// allocation helpers, the guard for non-finite input, the failure scope of the
// bindings, and the generic routines that several sources share.
// Each template is defined once in the source named beside it and explicitly
// instantiated there for double and float.
#ifndef OMBRIX_INTERNAL_H
#define OMBRIX_INTERNAL_H

#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "real.h"

namespace ombrix {

template <typename T>
using Callback = void (*)(const T* p, T* out, int m, int n, void* user_data);

// ---- sizes -----------------------------------------------------------------

// An element or byte count computed without wrapping: a negative operand or an
// overflow makes it invalid, and it stays invalid through further arithmetic.
struct Size {
  std::size_t value = 0;
  bool valid = true;

  constexpr Size(std::size_t v) : value(v) {}
  constexpr Size(int v) : value(v < 0 ? 0 : std::size_t(v)), valid(v >= 0) {}
  static constexpr Size invalid() { Size s(std::size_t(0)); s.valid = false; return s; }
};

inline Size operator+(Size a, Size b) {
  std::size_t r;
  if (!a.valid || !b.valid || __builtin_add_overflow(a.value, b.value, &r)) return Size::invalid();
  return Size(r);
}

inline Size operator*(Size a, Size b) {
  std::size_t r;
  if (!a.valid || !b.valid || __builtin_mul_overflow(a.value, b.value, &r)) return Size::invalid();
  return Size(r);
}

// ---- C-allocator memory -----------------------------------------------------

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Owns memory from the C allocator; released on every exit path.
template <typename T>
using CBuffer = std::unique_ptr<T[], FreeDeleter>;

// Zero-initialised array of `count` elements, or null when the count is not
// representable or the allocator fails.  Never asks the allocator for 0 bytes,
// whose result may be null on some platforms.
template <typename T>
T* calloc_array(Size count) {
  if (!count.valid) return nullptr;
  return static_cast<T*>(std::calloc(count.value ? count.value : 1, sizeof(T)));
}

// ---- non-finite input ------------------------------------------------------------

// True when none of the `count` values is NaN or infinite.  LAPACK's SVD
// iterates without end on such input, so every SVD is guarded by this test.
template <typename T>
bool all_finite(const T* v, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

// ---- failures that end a C caller's process --------------------------------------

// A failed allocation or an illegal LAPACK argument in a linear solver, the
// Jacobian check or R2 writes its message and ends the process: that is the
// C interface.  A caller that must survive (a Python binding) opens a
// FailureScope around the call instead; on its thread these paths then record
// what failed and take the routine's failure path: a linear solver returns
// kSolveAborted, a solver that sees it ends with -1 (writing neither `info`
// nor the covariance), chkjac leaves err_out as it was, R2 returns NaN.
enum class Failure : int {
  kNone,
  kOutOfMemory,
  kIllegalArgument,  // LAPACK rejected an argument, or a shape is unusable
};

struct FailureRecord {
  Failure kind = Failure::kNone;
  char message[256] = {};  // as written to stderr, without the newline
};

// The innermost open scope's record on this thread, or null.  One copy per
// shared object (hidden visibility), so each binding sees only its own calls.
inline thread_local FailureRecord* active_failure_record = nullptr;

class FailureScope {
 public:
  FailureScope() : outer_(active_failure_record) { active_failure_record = &record_; }
  ~FailureScope() { active_failure_record = outer_; }
  FailureScope(const FailureScope&) = delete;
  FailureScope& operator=(const FailureScope&) = delete;

  const FailureRecord& record() const { return record_; }

 private:
  FailureRecord record_;
  FailureRecord* outer_;
};

// Writes the message (a printf format ending in a newline) to stderr; then
// ends the process with status 1, or under a FailureScope records the failure
// and returns.
inline void vfail_or_exit(Failure kind, const char* format, std::va_list args) {
  char message[sizeof FailureRecord::message];
  std::vsnprintf(message, sizeof message, format, args);
  std::fputs(message, stderr);
  FailureRecord* record = active_failure_record;
  if (!record) std::exit(1);
  if (record->kind != Failure::kNone) return;  // the first failure is the cause
  record->kind = kind;
  std::size_t length = std::strlen(message);
  while (length > 0 && message[length - 1] == '\n') --length;
  std::memcpy(record->message, message, length);
  record->message[length] = '\0';
}

[[gnu::format(printf, 2, 3)]] inline void fail_or_exit(Failure kind, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vfail_or_exit(kind, format, args);
  va_end(args);
}

// What a linear solver returns after vfail_or_exit returned under a scope.
constexpr int kSolveAborted = -1;

// ---- solver vocabulary --------------------------------------------------------

// Why a run ended (information vector entry 6).
enum StopReason : int {
  kRunning = 0,
  kSmallGradient = 1,   // ||J^T e||_inf <= eps1
  kSmallStep = 2,       // ||dp||^2 <= eps2^2 ||p||^2
  kIterationLimit = 3,  // the iteration count reached max_iter
  kSingular = 4,        // ||dp||^2 >= (||p||^2 + eps2) / 1e-24: an absurdly long step
  kNoReduction = 5,     // a step was rejected while nu = 2^30 (2 nu would overflow an int)
  kSmallError = 6,      // ||e||^2 <= eps3
  kInvalidValues = 7,   // ||e||^2 is NaN or infinite
};

constexpr int kNuLimit = 1 << 30;  // nu doubles after each rejection up to here

// Tuning values of a run, from the caller's options vector or the defaults.
template <typename T>
struct Options {
  T tau = T(1e-3);  // initial damping: tau * max diag(J^T J)
  T eps1 = T(1e-17), eps2 = T(1e-17), eps3 = T(1e-17);
  T eps2_sq = eps2 * eps2;  // the square taken in T, so defaults and explicit values agree
  T delta = T(1e-6);        // finite-difference step
  bool central = false;     // central instead of forward differences

  Options() = default;
  // Reads opts[0..3], and opts[4] when `with_step`: a negative step selects
  // central differences with step -opts[4] (NaN: forward).
  Options(const T* opts, bool with_step) {
    if (!opts) return;
    tau = opts[0];
    eps1 = opts[1];
    eps2 = opts[2];
    eps2_sq = opts[2] * opts[2];
    eps3 = opts[3];
    if (with_step) {
      central = opts[4] < T(0);
      delta = central ? -opts[4] : opts[4];
    }
  }
};

// Largest entry, seeded with -max so that only strictly greater entries count.
template <typename T>
inline T largest(const T* v, int count) {
  T r = -Real<T>::max;
  for (int i = 0; i < count; ++i)
    if (v[i] > r) r = v[i];
  return r;
}

// Writes the ten entries of the information vector (when given).
template <typename T>
inline void write_info(T* info, T initial_e2, T e2, T jte_inf, T dp2, T mu_ratio, int iterations, int stop,
                       int model_calls, int jacobians, int solves) {
  if (!info) return;
  info[0] = initial_e2;
  info[1] = e2;
  info[2] = jte_inf;
  info[3] = dp2;
  info[4] = mu_ratio;
  info[5] = T(iterations);
  info[6] = T(stop);
  info[7] = T(model_calls);
  info[8] = T(jacobians);
  info[9] = T(solves);
}

// ---- pieces of the Levenberg-Marquardt iteration (lm.cpp, lmbc.cpp) ---------

// Smallest factor applied to mu after an accepted step (not exactly 1/3).
template <typename T>
constexpr T kMuShrinkFloor = T(0.3333333334);

// A step this long relative to ||p|| means a (numerically) singular system.
template <typename T>
constexpr T kSingularDivisor = T(1e-24);

// mu after an accepted step with actual reduction dF and predicted reduction dL.
template <typename T>
T shrink_damping(T mu, T dF, T dL) {
  const T t = (dF + dF) / dL - T(1);
  const T g = T(1) - t * t * t;
  return mu * (g >= kMuShrinkFloor<T> ? g : kMuShrinkFloor<T>);  // a NaN g takes the floor
}

// Predicted reduction dL = dp . (mu dp + J^T e).
template <typename T>
T predicted_reduction(const T* step, const T* jte, T mu, int m) {
  T dL = 0;
  for (int i = 0; i < m; ++i) dL += step[i] * (mu * step[i] + jte[i]);
  return dL;
}

template <typename T>
void restore_diagonal(T* jtj, const T* jtj_diag, int m) {
  for (int i = 0; i < m; ++i) jtj[std::size_t(i) * m + i] = jtj_diag[i];
}

template <typename T>
void add_to_diagonal(T* jtj, T mu, int m) {
  for (int i = 0; i < m; ++i) jtj[std::size_t(i) * m + i] += mu;
}

// The stop reason a computed step sets, if any: small relative to ||p||, or
// absurdly long (a numerically singular system).
template <typename T>
int step_stop_reason(T dp2, T p2, const Options<T>& o) {
  if (dp2 <= o.eps2_sq * p2) return kSmallStep;
  if (dp2 >= (p2 + o.eps2) / kSingularDivisor<T>) return kSingular;
  return kRunning;
}

// After a rejected step or a failed solve: mu grows by nu and nu doubles.
// False, with mu grown and nu unchanged, when nu can double no more.
template <typename T>
bool grow_damping(T& mu, int& nu) {
  mu *= T(nu);
  if (nu >= kNuLimit) return false;
  nu *= 2;
  return true;
}

// Counters of one run, reported in the information vector.
struct RunCounts {
  int iterations = 0, model_calls = 0, jacobians = 0, solves = 0;
};

// Workspace of `reals` elements: the caller's, or a zeroed allocation owned by
// `owned`.  Null when the size cannot be represented or allocated.
template <typename T>
T* obtain_workspace(T* workspace, Size reals, CBuffer<T>& owned) {
  if (!reals.valid) return nullptr;
  if (workspace) return workspace;
  owned.reset(calloc_array<T>(reals));
  return owned.get();
}

// ---- shared routines ---------------------------------------------------------

// misc.cpp
template <typename T> void trans_mat_mat_mult(const T* mat, T* product, int n, int m);
template <typename T> T l2nrmxmy(T* diff, const T* x, const T* y, int n);
template <typename T> void fdif_forw_jac_approx(Callback<T> func, T* p, const T* fp, T* scratch, T delta, T* jac_out, int m, int n, void* user_data);
template <typename T> void fdif_cent_jac_approx(Callback<T> func, T* p, T* scratch_minus, T* scratch_plus, T delta, T* jac_out, int m, int n, void* user_data);
template <typename T> int covar(const T* jtj, T* covariance, T sumsq, int m, int n);
template <typename T> int box_check(const T* lb, const T* ub, int m);
// J^T J (full, symmetric) and J^T e.  `direct` selects the plain loops over the
// lower triangle (small problems) instead of one gemm.
template <typename T> void normal_equations(const T* jac, const T* err, T* jtj, T* jte, int n, int m, bool direct);

// Axb.cpp: 1 solved, 0 a numerical failure, kSolveAborted (under a FailureScope)
template <typename T> int ax_eq_b_bk(const T* A, const T* B, T* x, int m);

// lm.cpp
template <typename T> int lm_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);
template <typename T> int lm_dif(Callback<T> func, T* p, const T* x, int m, int n, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);

// lmbc.cpp
template <typename T> int lm_bc_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, T* lb, T* ub, const T* scale, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);
template <typename T> int lm_bc_dif(Callback<T> func, T* p, const T* x, int m, int n, T* lb, T* ub, const T* scale, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);

// lmlec.cpp
template <typename T> int lm_lec_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, const T* A, const T* b, int k, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);
template <typename T> int lm_lec_dif(Callback<T> func, T* p, const T* x, int m, int n, const T* A, const T* b, int k, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);

// lmblec.cpp
template <typename T> int lm_blec_der(Callback<T> func, Callback<T> jacf, T* p, const T* x, int m, int n, const T* lb, const T* ub, const T* A, const T* b, int k, const T* weights, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);
template <typename T> int lm_blec_dif(Callback<T> func, T* p, const T* x, int m, int n, const T* lb, const T* ub, const T* A, const T* b, int k, const T* weights, int max_iter, const T* opts, T* info, T* workspace, T* covariance, void* user_data);

}  // namespace ombrix

#endif  // OMBRIX_INTERNAL_H
