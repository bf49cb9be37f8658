"""What a `FitResult` can say beyond its arrays: the model evaluated at the
fitted parameters, the confidence and prediction bands around it, and the
parameters as a table.

The bands come from the covariance of the parameters and the Jacobian of the
model with respect to them (first-order propagation): the variance of the
model at a point is ``J_i cov J_i^T``.
"""

import math
import pickle
from statistics import NormalDist
from typing import NamedTuple

import numpy as np


class Parameter(NamedTuple):
    """A fitted parameter: its value and standard error."""

    value: float
    stderr: float


def model_and_args(result, model, args, jac=None):
    """The callable model, its Jacobian (or None) and the arguments to
    evaluate them with: those given, else those the fit kept."""
    model = result.model if model is None else model
    if model is None:
        raise ValueError("this result holds no model (a model that cannot be pickled is dropped when the result "
                         "is pickled): pass it as model=")
    if not callable(model):
        raise TypeError("model must be callable")
    if jac is None and model is result.model:
        jac = result.model_jac
    if args is None:
        if result.args is None:
            raise ValueError("this result holds no model arguments (they could not be pickled): pass them")
        args = result.args
    return model, jac, tuple(args)


def evaluate(result, args=None, model=None):
    """The model at the fitted parameters, at `args` (default: the fit's)."""
    model, _, args = model_and_args(result, model, args)
    return _model_values(model, result.p.copy(), args)


def uncertainty(result, args=None, nsigma=1.0, confidence=None, prediction=False, sigma=None, model=None, jac=None):
    """Half-width of the confidence (or prediction) band at `args`; see
    `FitResult.eval_uncertainty`."""
    if sigma is not None and not prediction:
        raise ValueError("sigma is the measurements' uncertainty of a prediction band: pass prediction=True")
    given_args = args is not None
    model, jac, args = model_and_args(result, model, args, jac)
    factor = _band_factor(result, nsigma, confidence)
    J = _parameter_jacobian(model, jac, result.p, args)
    cov = np.asarray(result.cov, dtype=np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        variance = np.einsum("ij,jk,ik->i", J, cov, J)
    if prediction:
        variance = variance + _noise_variance(result, J.shape[0], sigma, given_args)
    # (rounding can leave a variance of 0 slightly negative; NaN stays NaN)
    with np.errstate(invalid="ignore"):
        half_width = factor * np.sqrt(np.maximum(variance, 0.0))
    return half_width.astype(result.p.dtype)


def _model_values(model, p, args):
    values = np.asarray(model(p, *args), dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"model must return a 1-D array, not one of shape {values.shape}")
    return values.astype(p.dtype)


def _band_factor(result, nsigma, confidence):
    """How many standard deviations wide the band is: `nsigma`, or the
    two-sided `confidence` quantile of Student's t with the fit's degrees of
    freedom (of the normal distribution when sigma was absolute)."""
    if confidence is None:
        nsigma = float(nsigma)
        if not (math.isfinite(nsigma) and nsigma > 0):
            raise ValueError(f"nsigma must be positive and finite, not {nsigma!r}")
        return nsigma
    confidence = float(confidence)
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must lie in (0, 1), not {confidence!r}")
    probability = (1 + confidence) / 2
    if result.absolute_sigma:
        return NormalDist().inv_cdf(probability)
    if result.dof < 1:
        return math.inf
    return student_t_quantile(probability, result.dof)


def _parameter_jacobian(model, jac, p, args):
    """Jacobian (k, m) of the model at `p` with respect to the parameters, in
    float64: `jac` when there is one, else central differences with steps
    ``eps**(1/3)`` relative to each parameter (1 for a parameter that is 0)."""
    if jac is not None:
        J = np.asarray(jac(p.copy(), *args), dtype=np.float64)
        k = _model_values(model, p.copy(), args).shape[0]
        if J.shape != (k, p.shape[0]):
            raise ValueError(f"jac must return an array of shape ({k}, {p.shape[0]}), not {J.shape}")
        return J
    relative = np.finfo(p.dtype).eps ** (1 / 3)
    columns = []
    for j in range(p.shape[0]):
        up, down = p.copy(), p.copy()
        h = relative * (abs(float(p[j])) or 1.0)
        up[j] += h
        down[j] -= h
        step = float(up[j]) - float(down[j])  # the step actually taken, after rounding
        difference = (_model_values(model, up, args).astype(np.float64)
                      - _model_values(model, down, args).astype(np.float64))
        columns.append(difference / step)
    return np.stack(columns, axis=1)


def _noise_variance(result, k, sigma, given_args):
    """Variance of one new measurement at each of the k points: ``sigma**2``
    (the given one; the fit's own at its points), times the reduced
    chi-square unless sigma was absolute."""
    if sigma is None:
        if result.sigma is None:
            sigma = np.ones(k)
        elif given_args:
            raise ValueError("the fit was weighted by sigma: give sigma= at the new points for a prediction band")
        else:
            fit_sigma = np.asarray(result.sigma, dtype=np.float64)
            sigma = np.sqrt(np.diag(fit_sigma)) if fit_sigma.ndim == 2 else fit_sigma
    sigma = np.broadcast_to(np.asarray(sigma, dtype=np.float64), (k,))
    if not (np.isfinite(sigma).all() and (sigma >= 0).all()):
        raise ValueError("sigma must be non-negative and finite")
    scale = 1.0 if result.absolute_sigma else result.redchi
    return sigma ** 2 * scale


def picklable(value):
    """Whether `value` survives pickling (a lambda or a local function does not)."""
    try:
        pickle.dumps(value)
    except Exception:  # noqa: BLE001 (pickling can fail with any exception type)
        return False
    return True


# ---- the parameters as a table ----

def parameters(result):
    """{name: Parameter(value, stderr)} in the order of the parameters."""
    return {name: Parameter(float(value), float(error))
            for name, value, error in zip(parameter_names(result), result.p, result.stderr)}


def parameter_names(result):
    m = result.p.shape[0]
    return list(result.names) if result.names is not None else [f"p{i}" for i in range(m)]


def columns(result):
    """The parameters table as a dict of equal-length columns."""
    m = result.p.shape[0]
    undetermined = result.undetermined if result.undetermined is not None else np.zeros(m, dtype=bool)
    return {"name": parameter_names(result),
            "value": result.p.copy(),
            "stderr": result.stderr.copy(),
            "bound": np.asarray(result.active_bounds, dtype=np.int8).copy(),
            "undetermined": np.asarray(undetermined, dtype=bool).copy()}


# ---- Student's t distribution ----

# From this many degrees of freedom on, the expansion of the quantile in 1/dof
# is accurate to rounding, while the incomplete beta function loses digits to
# the cancellation of its large log-gamma terms.
_EXPANSION_DOF = 1000


def student_t_quantile(probability, dof):
    """The `probability` quantile of Student's t with `dof` > 0 degrees of
    freedom, for probability in (0, 1): the root of its distribution
    function, found by bisection between the normal quantile (which t
    exceeds in the upper half) and a doubling upper bracket; for many
    degrees of freedom, the normal quantile's expansion in 1/dof."""
    if probability == 0.5:
        return 0.0
    if probability < 0.5:
        return -student_t_quantile(1 - probability, dof)
    z = NormalDist().inv_cdf(probability)
    if dof >= _EXPANSION_DOF:
        return _student_t_expansion(z, dof)
    tail = 1 - probability
    low = z
    high = 2 * low
    while _student_t_upper_tail(high, dof) > tail:
        low, high = high, 2 * high
    while high - low > 4 * math.ulp(high):
        middle = (low + high) / 2
        if _student_t_upper_tail(middle, dof) > tail:
            low = middle
        else:
            high = middle
    return (low + high) / 2


def _student_t_expansion(z, dof):
    """The t quantile from the normal quantile z, to the fourth power of 1/dof."""
    terms = ((z ** 3 + z) / 4,
             (5 * z ** 5 + 16 * z ** 3 + 3 * z) / 96,
             (3 * z ** 7 + 19 * z ** 5 + 17 * z ** 3 - 15 * z) / 384,
             (79 * z ** 9 + 776 * z ** 7 + 1482 * z ** 5 - 1920 * z ** 3 - 945 * z) / 92160)
    return z + sum(term / dof ** (k + 1) for k, term in enumerate(terms))


def _student_t_upper_tail(t, dof):
    """P(T > t) for t >= 0: half the regularised incomplete beta function
    I_x(dof/2, 1/2) at x = dof / (dof + t^2)."""
    return 0.5 * _regularized_beta(dof / (dof + t * t), dof / 2, 0.5)


def _regularized_beta(x, a, b):
    """I_x(a, b) by its continued fraction, evaluated where it converges fast
    (x below the mean (a+1)/(a+b+2)) and by the symmetry I_x(a, b) =
    1 - I_{1-x}(b, a) elsewhere."""
    if x <= 0:
        return 0.0
    if x >= 1:
        return 1.0
    if x > (a + 1) / (a + b + 2):
        return 1.0 - _regularized_beta(1 - x, b, a)
    log_front = (a * math.log(x) + b * math.log1p(-x) + math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b))
    return math.exp(log_front) / a * _beta_continued_fraction(x, a, b)


def _beta_continued_fraction(x, a, b):
    """1 / (1 + d1 / (1 + d2 / (1 + ...))), the continued fraction of the
    incomplete beta function, by the modified Lentz method."""
    tiny = 1e-300
    # the first term, d_1 = -(a+b) x / (a+1), is above -1 where this is called
    c, d = 1.0, 1.0 / (1 - (a + b) * x / (a + 1))
    value = d
    for k in range(1, 10_000):
        # the even term d_{2k}, then the odd term d_{2k+1}
        for coefficient in (k * (b - k) * x / ((a + 2 * k - 1) * (a + 2 * k)),
                            -(a + k) * (a + b + k) * x / ((a + 2 * k) * (a + 2 * k + 1))):
            d = 1.0 + coefficient * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + coefficient / c
            c = c if abs(c) > tiny else tiny
            value *= c * d
        if abs(c * d - 1) < 1e-16:
            break
    return value
