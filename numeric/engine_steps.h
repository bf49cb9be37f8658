// One run of the trust-region engine driven from outside, for the bindings:
// a caller that fits many problems at once keeps one run per fit and
// answers their requests for evaluations in batches.
#ifndef OMBRIX_ENGINE_STEPS_H
#define OMBRIX_ENGINE_STEPS_H

#include <memory>

#include "engine.h"

namespace ombrix {

// The run asks for one evaluation at a time, the weighted model values
// (n reals) or the weighted analytic Jacobian (n x m, row-major) at the
// point at(), to be written into into(); supplied() takes it and moves the
// run on, until need() is kNothing and status() is the engine's.  The run
// solves exactly as solve() does with an analytic Jacobian, or without
// one, when it asks for the model values at the points of its difference
// Jacobians instead (geodesic acceleration, which calls the model itself,
// is off).
template <typename T>
class SteppedSolve {
 public:
  enum class Need { kNothing, kValues, kJacobian };

  SteppedSolve();
  ~SteppedSolve();
  SteppedSolve(const SteppedSolve&) = delete;
  SteppedSolve& operator=(const SteppedSolve&) = delete;

  // Starts from p (m reals, kept: they become the solution) toward the
  // weighted data y (n reals, kept).  Without `analytic_jacobian` the
  // Jacobians are differences placed by the options (differences, typical,
  // kept, and difference_step).  False for invalid options (reported on
  // standard error as solve() reports them) or a shortage of memory.
  bool begin(T* p, const T* y, int m, int n, const SolveOptions<T>& options, bool analytic_jacobian = true);
  Need need() const;
  const T* at() const;
  T* into() const;
  void supplied();
  // The engine's status and counts once need() is kNothing.
  int result(ombrix_solve_result* result) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ombrix

#endif  // OMBRIX_ENGINE_STEPS_H
