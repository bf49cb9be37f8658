// The variables the fitting binding's solvers work on, and the linear rows
// that hold the fit's points: scaling by powers of two, the trust-region
// engine's variables z with p = origin + basis z, constraint rows of unit
// length, and the guard rows G p >= h of an active-set round.
#ifndef OMBRIX_VARIABLES_H
#define OMBRIX_VARIABLES_H

#include "real.h"

namespace ombrix {

// ---- scaled variables q = p / scale ----

// Powers of two near the reciprocal column norms of the weighted Jacobian
// (n x m, row-major) into scale (m values), so that every column the solver
// sees has a norm near 1 and the damping mu I weighs all parameters alike.
// Powers of two make p -> q -> p exact.  A zero or non-finite column keeps
// the scale 1.
template <typename T> void power_of_two_scales(const T* weighted_jac, int n, int m, T* scale);
// out = v * scale componentwise (m values; out may be v).
template <typename T> void multiply_by(const T* v, const T* scale, int m, T* out);
// v = v / scale componentwise (m values).
template <typename T> void divide_by(T* v, const T* scale, int m);
// Bounds lb, ub (m values each) divided by the scale, the unbounded marks
// (the largest finite value) kept.
template <typename T> void scale_bounds(T* lb, T* ub, const T* scale, int m);
// Each column j of the rows x m matrix (row-major) multiplied by scale_j.
template <typename T> void multiply_columns(T* matrix, int rows, int m, const T* scale);
// Divides each row of M p = v (M: k x m) by its norm.  The elimination's rank
// test compares the rows' pivots with the largest one: rows of very different
// lengths, as scaling the columns makes of bound rows e_j, would fail it.
template <typename T> void unit_rows(T* matrix, T* rhs, int k, int m);

// ---- the engine's variables z: p = origin + basis z (basis m x k, row-major) ----

// p (m values) of z (k values).
template <typename T> void parameters_of(const T* origin, const T* basis, int m, int k, const T* z, T* p);
// out = weighted_jac basis (n x k, row-major) for the n x m weighted Jacobian.
template <typename T> void times_basis(const T* weighted_jac, const T* basis, int n, int m, int k, T* out);
// Whether the basis is square and diagonal: parameter scales only.
template <typename T> bool diagonal_basis(const T* basis, int m, int k);
// The typical sizes and the bounds (either may be null) in the variables z of
// p = origin + diag(s) z, into out (3 m: typical, lower, upper); the
// unbounded marks (the largest finite value) are kept.
template <typename T> void to_scaled_variables(const T* origin, const T* basis, int m, const T* typical, const T* lower,
                                               const T* upper, T* out);

// ---- guard rows ----

// A guard row g p >= h counts as violated when g p - h < -kGuardSlack eps
// (|h| + sum_j |g_j p_j|): the rounding that mapping the solver's variables
// back to p (and evaluating the row) can leave on a point that lies on it.
template <typename T>
constexpr T kGuardSlack = T(16) * Real<T>::eps;

// Whether p (m values) violates one of the rows G p >= h (G: rows x m,
// row-major) by more than rounding.
template <typename T> bool violates_guard(const T* G, const T* h, int rows, int m, const T* p);

}  // namespace ombrix

#endif  // OMBRIX_VARIABLES_H
