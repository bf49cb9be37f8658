"""ombrix.fit on models that misbehave: Jacobians and model values that are
not finite, parameters the data do not determine, results of every shape
and type the docstring allows, and exceptions that are not errors
(KeyboardInterrupt and the like)."""

import numpy as np
import pytest

from conftest import DECAY_CONSTRAINTS as CONSTRAINTS
from ombrix import Status, check_jacobian, fit

X = np.linspace(0.0, 4.0, 30)
Y = 2.5 * np.exp(-1.3 * X) + 0.5 + 0.02 * np.sin(7.0 * X)
START = [1.0, 1.0, 0.1]


def decay(p):
    return p[0] * np.exp(-p[1] * X) + p[2]


def decay_jac(p):
    e = np.exp(-p[1] * X)
    return np.stack([e, -p[0] * X * e, np.ones_like(X)], axis=1)


class Log:
    """Wraps a model and its Jacobian, recording each call in order; from the
    `bad_from`-th call of `which` on, that callable's values are replaced by
    `value`."""

    def __init__(self, which=None, bad_from=None, value=np.nan):
        self.calls = []  # ("model" or "jac", point)
        self.which, self.bad_from, self.value = which, bad_from, value

    def _call(self, name, function, p):
        self.calls.append((name, np.array(p, dtype=np.float64)))
        out = function(p)
        if name == self.which and sum(c[0] == name for c in self.calls) >= self.bad_from:
            out = np.full_like(out, self.value)
        return out

    def model(self, p):
        return self._call("model", decay, p)

    def jac(self, p):
        return self._call("jac", decay_jac, p)

    def points(self, name):
        return [p for n, p in self.calls if n == name]


PATHS = [(kind, method) for kind in CONSTRAINTS for method in ("active-set", "direct")
         if kind not in ("none", "eq") or method == "active-set"]


# ---- a Jacobian that is not finite ----

@pytest.mark.parametrize("kind, method", PATHS)
@pytest.mark.parametrize("dtype, value", [(np.float64, np.nan), (np.float64, np.inf), (np.float32, np.nan)])
def test_a_jacobian_that_turns_non_finite_ends_the_fit_as_invalid(kind, method, dtype, value):
    log = Log("jac", bad_from=2, value=value)
    r = fit(log.model, START, Y, jac=log.jac, dtype=dtype, constraints=method, **CONSTRAINTS[kind])
    assert not r.success and r.status is Status.INVALID_VALUES
    assert "Jacobian was not finite" in r.message
    # the fit stops where that Jacobian was taken, and calls nothing after it
    bad = len(log.calls) - 1 - [n for n, _ in log.calls][::-1].index("jac")
    np.testing.assert_array_equal(r.p, log.calls[bad][1].astype(dtype))
    assert log.calls[bad + 1:] == []
    assert np.isfinite(r.residuals).all()
    assert np.isnan(r.cov).all() and np.isnan(r.stderr).all()


@pytest.mark.parametrize("kind", ["none", "bounds", "eq", "ineq"])
@pytest.mark.parametrize("diff", ["forward", "central"])
def test_a_model_that_turns_nan_is_never_a_success(kind, diff):
    # NaN from the eighth call on (after the start's Jacobian): at difference
    # points (a difference Jacobian that is not finite) or at a trial point,
    # the fit stops either way
    log = Log("model", bad_from=8)
    r = fit(log.model, START, Y, diff=diff, **CONSTRAINTS[kind])
    assert not r.success and r.status is Status.INVALID_VALUES
    assert np.isfinite(r.p).all()


@pytest.mark.parametrize("diff", ["forward", "central", "secant"])
@pytest.mark.parametrize("bad_from", [4, 6, 9, 15])
def test_a_model_that_stays_nan_leaves_nothing_to_call_converged(diff, bad_from):
    # NaN from some call on, wherever it is evaluated: a fit that still ends
    # must not report convergence at a point whose chi-square is not finite
    # (unless the start check refuses the model first)
    log = Log("model", bad_from=bad_from)
    try:
        r = fit(log.model, START, Y, diff=diff)
    except ValueError as e:
        assert "start point" in str(e)
        return
    if not (np.isfinite(r.chisq) and np.isfinite(r.p).all()):
        assert not r.success and r.status is Status.INVALID_VALUES


@pytest.mark.parametrize("diff", ["forward", "central"])
def test_model_values_whose_squares_overflow_are_never_a_success(diff):
    # finite values near 1e300 from the second call on, after a finite start:
    # chi-square overflows everywhere the fit goes
    log = Log("model", bad_from=2, value=1e300)
    r = fit(log.model, START, Y, diff=diff)
    assert not r.success and r.status is Status.INVALID_VALUES


# ---- a start where the model or its Jacobian is not finite ----

START_CASES = [
    ("none", {}), ("bounds", {}), ("eq", {}), ("ineq", {}), ("bounds", dict(constraints="direct")),
    ("ineq", dict(constraints="direct")), ("none", dict(diff="secant")), ("none", dict(scale=False)),
    ("bounds", dict(dtype=np.float32)),
]


@pytest.mark.parametrize("kind, options", START_CASES)
@pytest.mark.parametrize("value, shown", [(np.nan, "nan"), (-np.inf, "-inf")])
def test_a_model_not_finite_at_the_start_is_refused_before_iterating(kind, options, value, shown):
    calls = []

    def model(p):
        calls.append(p.copy())
        f = decay(p)
        f[3] = value
        return f

    start = [2.75, 1.0, 0.25]  # satisfies every constraint of CONSTRAINTS
    with pytest.raises(ValueError, match=f"^the model is not finite at the start point: element 3 is {shown}$"):
        fit(model, start, Y, **CONSTRAINTS[kind], **options)
    assert len(calls) == 1


@pytest.mark.parametrize("kind, options", START_CASES[:6] + START_CASES[7:])
@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "differences"])
def test_a_jacobian_not_finite_at_the_start_is_refused_naming_its_entry(kind, options, analytic):
    start = np.array([2.75, 1.0, 0.25])
    if analytic:
        def model(p):
            return decay(p)

        def jac(p):
            J = decay_jac(p)
            J[4, 1] = np.inf
            return J
    else:
        # finite at the start, NaN in element 4 at the difference point of parameter 1
        def model(p):
            f = decay(p)
            if p[1] != np.float32(start[1]) and p[0] == np.float32(start[0]) and p[2] == np.float32(start[2]):
                f[4] = np.nan
            return f
        jac = None
    message = f"^the Jacobian is not finite at the start point: row 4, column 1 is {'inf' if analytic else 'nan'}$"
    with pytest.raises(ValueError, match=message):
        fit(model, start, Y, jac=jac, **CONSTRAINTS[kind], **options)


# ---- parameters the data do not determine ----

def product_model(p):
    # the amplitude as a product: only a * b is determined
    return p[0] * p[1] * np.exp(-p[2] * X)


def product_jac(p):
    e = np.exp(-p[2] * X)
    return np.stack([p[1] * e, p[0] * e, -p[0] * p[1] * X * e], axis=1)


Y_PRODUCT = 2.0 * np.exp(-1.3 * X) + 0.01 * np.cos(7.0 * X)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("absolute_sigma", [False, True])
def test_parameters_the_data_do_not_determine_have_infinite_errors(dtype, absolute_sigma):
    r = fit(product_model, [1.0, 1.0, 1.0], Y_PRODUCT, jac=product_jac, dtype=dtype, sigma=np.full(X.size, 0.01),
            absolute_sigma=absolute_sigma, names=["a", "b", "rate"])
    # the same data fitted with the amplitude as one parameter
    reduced = fit(lambda q: q[0] * np.exp(-q[1] * X), [1.0, 1.0], Y_PRODUCT,
                  jac=lambda q: product_jac([q[0], 1.0, q[1]])[:, [0, 2]], dtype=dtype, sigma=np.full(X.size, 0.01),
                  absolute_sigma=absolute_sigma)
    # (in float32 the gradient at the minimum is near what chi-square resolves:
    # whether the fit calls it converged or stalled is decided by rounding)
    assert r.rank == 2 and (r.success or dtype == np.float32)
    assert r.undetermined.tolist() == [True, True, False]
    assert np.isposinf(r.stderr[:2]).all() and np.isposinf(r.cov[:2]).all() and np.isposinf(r.cov[:, :2]).all()
    rtol = 1e-6 if dtype == np.float64 else 1e-2
    assert r.p[0] * r.p[1] == pytest.approx(reduced.p[0], rel=rtol)
    # the determined parameter keeps the error it has in the well-posed fit (up to the
    # reduced chi-square, whose degrees of freedom count every parameter)
    unscaled = (1.0, 1.0) if absolute_sigma else (np.sqrt(r.redchi), np.sqrt(reduced.redchi))
    assert r.stderr[2] / unscaled[0] == pytest.approx(reduced.stderr[1] / unscaled[1], rel=rtol)
    assert np.isnan(r.corr[:2]).all() and r.corr[2, 2] == pytest.approx(1.0)
    report = r.report()
    assert "not determined by the data (rank 2): a, b" in report
    assert report.count("not determined by the data") == 3  # the two rows and the summary


def test_a_constraint_that_removes_the_ambiguity_leaves_finite_errors():
    fixed = fit(product_model, [1.0, 1.0, 1.0], Y_PRODUCT, jac=product_jac, eq=([[0.0, 1.0, 0.0]], [1.0]))
    free = fit(lambda q: q[0] * np.exp(-q[1] * X), [1.0, 1.0], Y_PRODUCT)
    assert fixed.success and not fixed.undetermined.any() and fixed.rank == 2
    np.testing.assert_allclose(fixed.stderr[[0, 2]], free.stderr, rtol=1e-6)
    assert fixed.stderr[1] < 1e-12


def test_a_perfect_fit_keeps_infinite_errors_infinite():
    # chi-square 0 scales the covariance by 0: what is undetermined stays inf, not NaN
    answer = [1.0, 2.0, 1.3]
    r = fit(product_model, answer, product_model(answer), jac=product_jac)
    assert r.success and r.chisq == 0.0
    assert np.isposinf(r.stderr[:2]).all() and r.stderr[2] == 0.0


# ---- results of every shape and type the docstring allows ----

RESULT_FORMS = {
    "array": (lambda f: f, lambda J: J),
    "list": (lambda f: f.tolist(), lambda J: J.tolist()),
    "tuple, Fortran order": (tuple, np.asfortranarray),
    "strided view": (lambda f: np.repeat(f, 2)[::2], lambda J: np.repeat(J, 2, axis=1)[:, ::2]),
}
FIT_PATHS = [
    ("none", dict(diff="forward")), ("none", dict(diff="central")), ("none", dict(diff="secant")),
    ("none", dict(jac=True)), ("bounds", dict(jac=True)), ("bounds", dict(diff="central")),
    ("bounds", dict(jac=True, constraints="direct")), ("bounds", dict(diff="secant")), ("eq", dict(jac=True)),
    ("ineq", dict(jac=True)), ("ineq", dict(diff="forward")), ("ineq", dict(jac=True, constraints="direct")),
    ("bounds+eq", dict(jac=True)), ("bounds", dict(jac=True, dtype=np.float32)),
    ("ineq", dict(diff="forward", dtype=np.float32)),
]


@pytest.mark.parametrize("form", RESULT_FORMS)
@pytest.mark.parametrize("kind, options", FIT_PATHS)
def test_every_result_form_gives_the_same_fit(form, kind, options):
    wrap_f, wrap_J = RESULT_FORMS[form]
    options = dict(options)
    analytic = options.pop("jac", False)

    def run(wrap_f, wrap_J):
        return fit(lambda p: wrap_f(decay(p)), START, Y, jac=(lambda p: wrap_J(decay_jac(p))) if analytic else None,
                   **CONSTRAINTS[kind], **options)

    reference, got = run(*RESULT_FORMS["array"]), run(wrap_f, wrap_J)
    assert got.success and reference.success
    np.testing.assert_array_equal(got.p, reference.p)
    np.testing.assert_array_equal(got.cov, reference.cov)


# ---- exceptions that are not errors ----

@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("kind, options", [
    ("none", {}), ("none", dict(diff="secant")), ("bounds", {}), ("ineq", {}), ("bounds+eq", {}),
    ("bounds", dict(constraints="direct")), ("ineq", dict(constraints="direct")), ("none", dict(jac=True)),
    ("bounds", dict(jac=True)),
])
@pytest.mark.parametrize("where", ["model", "jac"])
@pytest.mark.parametrize("at", [1, 4])
def test_interrupts_stop_the_fit_at_once_and_propagate(error, kind, options, where, at):
    options = dict(options)
    analytic = options.pop("jac", False) or where == "jac"
    if where == "jac" and options.get("diff") == "secant":
        pytest.skip("the secant solver takes no Jacobian")
    raised = error("stop")
    calls = []

    def wrapped(name, function):
        def call(p):
            calls.append(name)
            if name == where and calls.count(name) == at:
                raise raised
            return function(p)
        return call

    with pytest.raises(error) as caught:
        fit(wrapped("model", decay), START, Y, jac=wrapped("jac", decay_jac) if analytic else None,
            **CONSTRAINTS[kind], **options)
    assert caught.value is raised
    assert calls[-1] == where and calls.count(where) == at  # nothing called after it


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("where", ["model", "jac"])
def test_interrupts_propagate_from_check_jacobian(error, where):
    raised = error("stop")
    calls = []

    def wrapped(name, function):
        def call(p):
            calls.append(name)
            if name == where and calls.count(name) == 2 - (where == "jac"):
                raise raised
            return function(p)
        return call

    with pytest.raises(error) as caught:
        check_jacobian(wrapped("model", decay), wrapped("jac", decay_jac), START)
    assert caught.value is raised and calls[-1] == where
