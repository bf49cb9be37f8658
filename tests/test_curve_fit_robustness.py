"""ombrix.curve_fit on models that misbehave: values that turn NaN under
every kind of constraint, a start where the model or its Jacobian is not
finite, parameters the data do not determine, results of every shape the
docstring allows on every path, and exceptions that are not errors."""

import warnings

import numpy as np
import pytest

import ombrix
from conftest import DECAY_CONSTRAINTS as CONSTRAINTS

X = np.linspace(0.0, 4.0, 25)
Y = 2.5 * np.exp(-1.3 * X) + 0.5 + 0.02 * np.sin(7.0 * X)
P0 = [2.75, 1.0, 0.25]


def decay(x, a, b, c):
    return a * np.exp(-b * x) + c


def decay_jac(x, a, b, c):
    e = np.exp(-b * x)
    return np.stack([e, -a * x * e, np.ones_like(x)], axis=1)




# ---- values that are not finite ----

@pytest.mark.parametrize("kind", CONSTRAINTS)
@pytest.mark.parametrize("jac, start_calls", [(None, 4), ("3-point", 7), (decay_jac, 1)],
                         ids=["forward", "central", "analytic"])
@pytest.mark.parametrize("later", [1, 3])
def test_a_model_that_turns_nan_raises_under_every_constraint(kind, jac, start_calls, later):
    # NaN from a call after those of the start (its values and Jacobian) on:
    # the fit raises with constraints as it does without
    bad_from = start_calls + later
    calls = []

    def model(x, *p):
        calls.append(p)
        return decay(x, *p) + (np.nan if len(calls) >= bad_from else 0.0)

    with pytest.raises(RuntimeError, match="^Optimal parameters not found: stopped: the (model|Jacobian)"):
        ombrix.curve_fit(model, X, Y, p0=P0, jac=jac, **CONSTRAINTS[kind])


@pytest.mark.parametrize("kind", CONSTRAINTS)
def test_a_jacobian_that_turns_nan_raises_under_every_constraint(kind):
    calls = []

    def jac(x, *p):
        calls.append(p)
        return decay_jac(x, *p) * (np.nan if len(calls) >= 2 else 1.0)

    with pytest.raises(RuntimeError, match="^Optimal parameters not found: stopped: the Jacobian was not finite"):
        ombrix.curve_fit(decay, X, Y, p0=P0, jac=jac, **CONSTRAINTS[kind])


@pytest.mark.parametrize("kind", CONSTRAINTS)
@pytest.mark.parametrize("options", [{}, dict(jac="3-point"), dict(dtype=np.float32), dict(diff="secant")])
def test_a_model_not_finite_at_the_start_is_refused_naming_the_value(kind, options):
    calls = []

    def model(x, a, b, c):
        calls.append((a, b, c))
        f = decay(x, a, b, c).reshape(-1, 1)  # a column: the values are named in C order
        f[3] = np.inf
        return f

    with pytest.raises(ValueError, match="^the model is not finite at the start point: element 3 is inf$"):
        ombrix.curve_fit(model, X, Y, p0=P0, **CONSTRAINTS[kind], **options)
    assert len(calls) == 1


@pytest.mark.parametrize("kind", CONSTRAINTS)
def test_a_jacobian_not_finite_at_the_start_is_refused_naming_its_entry(kind):
    def jac(x, *p):
        J = decay_jac(x, *p)
        J[4, 1] = np.nan
        return J

    with pytest.raises(ValueError, match="^the Jacobian is not finite at the start point: row 4, column 1 is nan$"):
        ombrix.curve_fit(decay, X, Y, p0=P0, jac=jac, **CONSTRAINTS[kind])


# ---- parameters the data do not determine ----

def product(x, a, b, rate):
    return a * b * np.exp(-rate * x)


def product_jac(x, a, b, rate):
    e = np.exp(-rate * x)
    return np.stack([b * e, a * e, -a * b * x * e], axis=1)


Y_PRODUCT = 2.0 * np.exp(-1.3 * X) + 0.01 * np.cos(7.0 * X)


@pytest.mark.parametrize("absolute_sigma", [False, True])
@pytest.mark.parametrize("bounds", [None, ([0.0, 0.0, 0.0], [10.0, 10.0, 10.0])])
def test_undetermined_parameters_get_infinite_covariance_with_a_warning(absolute_sigma, bounds):
    sigma = np.full(X.size, 0.01)
    extra = {} if bounds is None else dict(bounds=bounds)
    with pytest.warns(ombrix.OptimizeWarning, match="Covariance of the parameters could not be estimated"):
        popt, pcov = ombrix.curve_fit(product, X, Y_PRODUCT, p0=[1.0, 1.0, 1.0], jac=product_jac, sigma=sigma,
                                      absolute_sigma=absolute_sigma, **extra)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the well-posed fit does not warn
        q, qcov, info, _, _ = ombrix.curve_fit(lambda x, amp, rate: amp * np.exp(-rate * x), X, Y_PRODUCT,
                                               p0=[1.0, 1.0], jac=lambda x, amp, rate: product_jac(x, amp, 1.0, rate)
                                               [:, [0, 2]], sigma=sigma, absolute_sigma=absolute_sigma,
                                               full_output=True)
    assert np.isposinf(pcov[:2]).all() and np.isposinf(pcov[:, :2]).all()
    assert popt[0] * popt[1] == pytest.approx(q[0], rel=1e-6)
    # the rate keeps its variance of the well-posed fit (with one degree of freedom fewer)
    dof_ratio = 1.0 if absolute_sigma else (X.size - 2) / (X.size - 3)
    assert pcov[2, 2] == pytest.approx(qcov[1, 1] * dof_ratio, rel=1e-6)


# ---- results of every shape the docstring allows, on every path ----

MODEL_FORMS = {
    "vector": lambda f: f,
    "column": lambda f: f.reshape(-1, 1),
    "row": lambda f: f.reshape(1, -1),
    "list": lambda f: f.tolist(),
}
JAC_FORMS = {
    "array": ({}, lambda J: J),
    "nested list": ({}, lambda J: J.tolist()),
    "Fortran order": ({}, np.asfortranarray),
    "transposed, col_deriv": (dict(col_deriv=True), lambda J: J.T.copy()),
}
PATHS = [(kind, jac) for kind in CONSTRAINTS for jac in ("analytic", "forward", "3-point")] + [
    ("none", "secant"), ("bounds", "secant"), ("ineq", "secant"),
    ("bounds", "float32 analytic"), ("ineq", "float32 forward"), ("eq", "float32 analytic"),
]


def _options(jac, jac_form):
    """curve_fit's keywords for a path: the Jacobian (analytic in `jac_form`,
    or differences), the precision."""
    options = {}
    if "float32" in jac:
        options["dtype"] = np.float32
    if "analytic" in jac:
        extra, wrap = JAC_FORMS[jac_form]
        options.update(extra, jac=lambda x, *p: wrap(decay_jac(x, *p)))
    elif jac == "secant":
        options["diff"] = "secant"
    elif jac == "3-point":
        options["jac"] = "3-point"
    return options


@pytest.mark.parametrize("kind, jac", PATHS)
@pytest.mark.parametrize("model_form", MODEL_FORMS)
def test_every_model_form_gives_the_same_fit(kind, jac, model_form):
    wrap = MODEL_FORMS[model_form]
    options = _options(jac, "array")
    reference = ombrix.curve_fit(decay, X, Y, p0=P0, **CONSTRAINTS[kind], **options)
    got = ombrix.curve_fit(lambda x, *p: wrap(decay(x, *p)), X, Y, p0=P0, **CONSTRAINTS[kind], **options)
    np.testing.assert_array_equal(got[0], reference[0])
    np.testing.assert_array_equal(got[1], reference[1])


@pytest.mark.parametrize("kind, jac", [(kind, jac) for kind, jac in PATHS if "analytic" in jac])
@pytest.mark.parametrize("jac_form", JAC_FORMS)
def test_every_jacobian_form_gives_the_same_fit(kind, jac, jac_form):
    reference = ombrix.curve_fit(decay, X, Y, p0=P0, **CONSTRAINTS[kind], **_options(jac, "array"))
    got = ombrix.curve_fit(decay, X, Y, p0=P0, **CONSTRAINTS[kind], **_options(jac, jac_form))
    np.testing.assert_array_equal(got[0], reference[0])
    np.testing.assert_array_equal(got[1], reference[1])


@pytest.mark.parametrize("kind", ["none", "bounds"])
def test_a_one_parameter_jacobian_may_be_a_vector(kind):
    bounds = dict(bounds=(0.0, 1.0)) if kind == "bounds" else {}  # binds: the free optimum is 1.3
    y = np.exp(-1.3 * X)
    vector = ombrix.curve_fit(lambda x, b: np.exp(-b * x), X, y, p0=[0.5], jac=lambda x, b: -x * np.exp(-b * x),
                              **bounds)
    column = ombrix.curve_fit(lambda x, b: np.exp(-b * x), X, y, p0=[0.5],
                              jac=lambda x, b: (-x * np.exp(-b * x))[:, None], **bounds)
    np.testing.assert_array_equal(vector[0], column[0])
    assert vector[0][0] == pytest.approx(1.0 if kind == "bounds" else 1.3, rel=1e-9)


# ---- exceptions that are not errors ----

@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("kind", ["none", "bounds", "eq", "ineq"])
@pytest.mark.parametrize("where, at", [("model", 1), ("model", 6), ("jac", 1), ("jac", 3)])
def test_interrupts_stop_the_fit_at_once_and_propagate(error, kind, where, at):
    raised = error("stop")
    calls = []

    def wrapped(name, function):
        def call(x, *p):
            calls.append(name)
            if name == where and calls.count(name) == at:
                raise raised
            return function(x, *p)
        return call

    with pytest.raises(error) as caught:
        ombrix.curve_fit(wrapped("model", decay), X, Y, p0=P0, jac=wrapped("jac", decay_jac), **CONSTRAINTS[kind])
    assert caught.value is raised
    assert calls[-1] == where and calls.count(where) == at  # nothing called after it
