// The trust-region engine (engine.cpp): its generic entry point, for callers
// inside the numeric layer and the bindings, and the mapping from the real
// type to the C API's option structs.
#ifndef OMBRIX_ENGINE_H
#define OMBRIX_ENGINE_H

#include "internal.h"
#include "ombrix.h"

namespace ombrix {

template <typename T>
struct SolveApi;

template <>
struct SolveApi<double> {
  using Options = dombrix_solve_options;
};

template <>
struct SolveApi<float> {
  using Options = sombrix_solve_options;
};

template <typename T>
using SolveOptions = typename SolveApi<T>::Options;

// Defaults of every option for the precision T.
template <typename T> void solve_defaults(SolveOptions<T>* options);
// Reals of the workspace for m parameters and n residuals, invalid when not representable.
template <typename T> Size solve_workspace_size(int m, int n);
// Minimises the loss of r = w (y - f(p)); see ombrix.h for the contract.
template <typename T> int solve(Callback<T> f, Callback<T> jac, T* p, const T* y, const T* weights, int m, int n,
                                const SolveOptions<T>* options, ombrix_solve_result* result, T* covariance,
                                void* user_data);

}  // namespace ombrix

#endif  // OMBRIX_ENGINE_H
