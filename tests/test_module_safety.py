"""ombrix._ombrix: what a model may do to its arguments, exceptions that must
end a fit, fits that must not report success, and why the solver refused."""

import sys
import warnings

import numpy as np
import pytest

from ombrix import _ombrix

# Constraints that the line's answer (1, 2) meets without any of them being
# active, so every fitting function has that answer.
INACTIVE = {"bc": [(-10.0, 10.0), (-10.0, 10.0)], "lec": ([1.0, -1.0], [-1.0]), "lic": ([0.0, 1.0], [0.0])}
CONSTRAINTS = {"ombrix": [], "ombrix_bc": ["bc"], "ombrix_lec": ["lec"], "ombrix_blec": ["bc", "lec"],
               "ombrix_bleic": ["bc", "lec", "lic"], "ombrix_blic": ["bc", "lic"], "ombrix_leic": ["lec", "lic"],
               "ombrix_lic": ["lic"]}
NAMES = list(CONSTRAINTS)


def fit(problem, name, **overrides):
    kwargs = {**problem.kwargs(**overrides), **{c: INACTIVE[c] for c in CONSTRAINTS[name]}}
    return getattr(_ombrix, name)(**kwargs)


@pytest.fixture
def unraisable(monkeypatch):
    """The reports that reach sys.unraisablehook during the test."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report))
    return reports


# ---- the model's argument belongs to the model ----

@pytest.mark.parametrize("analytic", [True, False], ids=["jacobian", "differences"])
@pytest.mark.parametrize("name", NAMES)
def test_points_kept_by_the_model_stay_valid_after_the_fit(line, name, analytic):
    # Each kept point must still hold the values the model saw: a view of the
    # solver's memory would change under it, then point into freed memory.
    kept = []

    def keep(model):
        def keeping(p):
            kept.append((p, p.copy()))
            return model(p)
        return keeping

    jacf = keep(line.jacf) if analytic else None
    p, pcov, info = fit(line, name, func=keep(line.func), jacf=jacf, maxit=500)
    np.testing.assert_allclose(p, line.answer, rtol=1e-6)
    assert len(kept) > 3
    for point, seen in kept:
        np.testing.assert_array_equal(point, seen)
    for point, _ in kept:
        point[:] = -1.0  # writing after the fit touches only the model's own arrays
    np.testing.assert_allclose(p, line.answer, rtol=1e-6)


@pytest.mark.parametrize("analytic", [True, False], ids=["jacobian", "differences"])
@pytest.mark.parametrize("name", NAMES)
def test_a_model_writing_into_its_argument_changes_neither_the_callers_p_nor_the_fit(line, name, analytic):
    reference = fit(line, name, jacf=line.jacf if analytic else None, maxit=500)

    def scribbling(model):
        def scribble(p):
            value = model(p)
            p[:] = np.nan
            return value
        return scribble

    start = line.p0.copy()
    jacf = scribbling(line.jacf) if analytic else None
    p, pcov, info = fit(line, name, func=scribbling(line.func), jacf=jacf, p=start, maxit=500)
    np.testing.assert_array_equal(start, line.p0)
    np.testing.assert_array_equal(p, reference[0])
    assert info == reference[2]


@pytest.mark.parametrize("analytic", [True, False], ids=["jacobian", "differences"])
def test_a_memoizing_model_gets_the_right_fit(analytic):
    # The cache compares each point with the last one it kept.
    t = np.linspace(0.0, 4.0, 20)

    class Memo:
        point = value = None

        def __call__(self, p):
            if self.point is None or not np.array_equal(p, self.point):
                self.point, self.value = p, p[0] * np.exp(-p[1] * t) + p[2]
            return self.value

    def jacf(p):
        e = np.exp(-p[1] * t)
        return np.stack([e, -p[0] * t * e, np.ones_like(t)], axis=1)

    y = 3.0 * np.exp(-0.7 * t) + 0.5
    p, pcov, info = _ombrix.ombrix(Memo(), [1.0, 1.0, 0.0], y, (), jacf if analytic else None, 1e-3, 1e-15, 1e-15,
                                   1e-20, 200, False)
    np.testing.assert_allclose(p, [3.0, 0.7, 0.5], rtol=1e-7)
    assert info[1][0] < 1e-15


# ---- exceptions that are not an Exception end the fit ----

# (callable that raises, its calls that succeed before it raises, Jacobian
# callable given): the probes come first, so 0 is the probe and 1 the
# solver's first call.  Without a Jacobian callable the model also makes the
# difference Jacobians.
RAISING = [("func", 0, True), ("func", 1, True), ("func", 4, True), ("func", 1, False), ("func", 6, False),
           ("jacf", 0, True), ("jacf", 1, True), ("jacf", 3, True)]


def fit_until_raised(problem, name, broken_after, which, succeeding, analytic, error):
    broken = broken_after(getattr(problem, which), succeeding, error)
    jacf = broken if which == "jacf" else problem.jacf if analytic else None
    with pytest.raises(type(error)) as raised:
        fit(problem, name, func=broken if which == "func" else problem.func, jacf=jacf, maxit=500)
    assert raised.value is error
    assert raised.traceback[-1].name == "broken"  # the traceback of the raise in the model
    assert broken.count[0] == succeeding + 1  # no call after the one that raised


@pytest.mark.parametrize("which, succeeding, analytic", RAISING)
@pytest.mark.parametrize("name", NAMES)
def test_keyboard_interrupt_stops_the_fit_and_propagates_unchanged(line, broken_after, unraisable, recwarn, name,
                                                                   which, succeeding, analytic):
    fit_until_raised(line, name, broken_after, which, succeeding, analytic, KeyboardInterrupt())
    assert not unraisable and not recwarn.list


class Abort(BaseException):
    pass


@pytest.mark.parametrize("error_type", [GeneratorExit, Abort])
@pytest.mark.parametrize("which, succeeding, analytic", [("func", 4, True), ("func", 6, False), ("jacf", 3, True)])
@pytest.mark.parametrize("name", ["ombrix", "ombrix_bleic"])
def test_other_base_exceptions_stop_the_fit_too(line, broken_after, unraisable, recwarn, name, which, succeeding,
                                                analytic, error_type):
    fit_until_raised(line, name, broken_after, which, succeeding, analytic, error_type("stop"))
    assert not unraisable and not recwarn.list


@pytest.mark.parametrize("which", ["func", "jacf"])
def test_system_exit_from_the_model_reaches_the_caller(isolated, which):
    result = isolated(f"""
import numpy as np
from ombrix import _ombrix
t = np.arange(5.0)
calls = []
def model(p):
    calls.append(1)
    if len(calls) == 3:
        raise SystemExit("from the model")
    return p[0] + p[1] * t
def jacobian(p):
    calls.append(1)
    if len(calls) == 3:
        raise SystemExit("from the model")
    return np.stack([np.ones(5), t], axis=1)
which = {which!r}
func = model if which == "func" else (lambda p: p[0] + p[1] * t)
try:
    _ombrix.ombrix(func, [0.0, 0.0], 1 + 2 * t, (), jacobian if which == "jacf" else None, 1e-3, 1e-15, 1e-15,
                   1e-20, 100, False)
except SystemExit as e:
    print("caught", e, len(calls))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "caught from the model 3\n"
    assert "from the model" not in result.stderr  # raised, not printed


# ---- a fit in which the model never succeeded has no result ----

@pytest.mark.parametrize("which, jacobian", [("func", True), ("func", False), ("jacf", True)],
                         ids=["func-jacobian", "func-differences", "jacf"])
@pytest.mark.parametrize("name", NAMES)
def test_a_fit_whose_every_evaluation_raised_has_no_result(line, broken_after, unraisable, name, which, jacobian):
    error = ValueError("never works")
    broken = broken_after(getattr(line, which), 1, error)  # only the probe succeeds
    jacf = broken if which == "jacf" else line.jacf if jacobian else None
    func = broken if which == "func" else line.func
    message = f"^every evaluation of {which} during the fit raised an exception$"
    with warnings.catch_warnings(), pytest.raises(RuntimeError, match=message) as raised:
        warnings.simplefilter("error")
        fit(line, name, func=func, jacf=jacf, maxit=500)
    assert raised.value.__cause__ is error
    assert len(unraisable) == broken.count[0] - 1 > 0  # each failure was still reported


# ---- results that are not what their stop reason says ----

def test_a_negative_mu_warns(decay):
    # The damped matrix is indefinite from the start: every step goes uphill,
    # the steps shrink as mu grows, and the fit stops "by a small step" where
    # it started.
    with pytest.warns(UserWarning, match="^mu is negative: .* Restart with a positive mu$"):
        p, pcov, info = _ombrix.ombrix(**decay.kwargs(mu=-1.0))
    np.testing.assert_array_equal(p, decay.p0)
    assert info[1][0] == info[0]


@pytest.mark.parametrize("mu", [0.0, 1e-3])
def test_mu_of_zero_or_above_does_not_warn_of_itself(decay, mu):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _ombrix.ombrix(**decay.kwargs(mu=mu))
    assert not [w for w in caught if "mu is negative" in str(w.message)]


UNMEETABLE = [
    # (function, constraints, what the warning names, the miss)
    ("ombrix_lic", {"lic": ([[0.0, 0.0]], [1.0])}, "inequality constraint 0", "1"),  # 0 >= 1
    ("ombrix_lic", {"lic": ([[1.0, 0.0], [-1.0, 0.0]], [1.0, 0.0])}, "inequality constraint 1", "0.5"),  # 1 <= p0 <= 0
    ("ombrix_leic", {"lec": ([1.0, 0.0], [0.0]), "lic": ([1.0, 0.0], [1.0])}, "inequality constraint 0", "1"),
    ("ombrix_blec", {"bc": [(None, 1.0), (None, 1.0)], "lec": ([1.0, 1.0], [10.0])}, "the bounds of parameter 0",
     "4"),
]


@pytest.mark.parametrize("analytic", [True, False], ids=["jacobian", "differences"])
@pytest.mark.parametrize("name, constraints, what, miss", UNMEETABLE)
def test_constraints_that_cannot_be_met_together_warn(line, name, constraints, what, miss, analytic):
    message = f"^The result violates {what} by {miss}: the constraints may have no common solution$"
    with pytest.warns(UserWarning, match=message):
        getattr(_ombrix, name)(**line.kwargs(jacf=line.jacf if analytic else None, maxit=500), **constraints)


@pytest.mark.parametrize("scale", [1.0, 1e3])
@pytest.mark.parametrize("name, constraints", [
    ("ombrix_lic", {"lic": ([0.0, -1.0], [-1.5])}),  # p1 <= 1.5 binds
    ("ombrix_leic", {"lec": ([1.0, 1.0], [2.5]), "lic": ([1.0, 0.0], [1.0])}),
    ("ombrix_blic", {"bc": [(None, None), (None, 1.5)], "lic": ([1.0, 0.0], [2.5])}),
])
def test_active_constraints_met_by_the_penalty_do_not_warn(line, name, constraints, scale):
    # The penalty meets an active row only approximately, the less closely
    # the larger the residuals (data scaled by 1e3: a miss of about 1e-4 of
    # the row's scale): not a reason to warn.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        getattr(_ombrix, name)(**line.kwargs(x=line.x * scale, maxit=500), **constraints)


# ---- why the solver refused the problem ----

REFUSALS = [
    # (function, p, x, constraints, note)
    ("ombrix", [1.0, 2.0], [1.0], {}, "fewer data points (n=1) than parameters (m=2)"),
    ("ombrix_bc", [1.0, 2.0], [1.0], {"bc": [(0, 1), (3, 2)]}, "fewer data points (n=1) than parameters (m=2)"),
    ("ombrix_bc", [1.0, 2.0], [1.0, 2.0], {"bc": [(0, 1), (3, 2)]}, "lower bound above upper bound for parameter 1"),
    ("ombrix_blec", [1.0, 2.0], [1.0], {"bc": [(2, 1), (None, None)], "lec": ([1.0, 1.0], [1.0])},
     "lower bound above upper bound for parameter 0"),
    ("ombrix_blic", [1.0, 2.0], [1.0, 2.0], {"bc": [(0, 1), (3, 2)], "lic": ([1.0, 0.0], [0.0])},
     "lower bound above upper bound for parameter 1"),
    ("ombrix_lec", [1.0, 2.0], [1.0, 2.0], {"lec": ([[1, 0], [0, 1], [1, 1]], [1, 2, 3])},
     "more equality constraints (3) than parameters (2)"),
    ("ombrix_leic", [1.0, 2.0], [1.0, 2.0], {"lec": ([[1, 0], [0, 1], [1, 1]], [1, 2, 3]), "lic": ([1, 0], [0])},
     "more equality constraints (3) than parameters (2)"),
    ("ombrix_lec", [1.0, 2.0, 3.0], [1.0], {"lec": ([1, 0, 0], [1])},
     "fewer data points plus equality constraints (n=1, k=1) than parameters (m=3)"),
    ("ombrix_lic", [1.0, 2.0], [1.0], {"lic": ([1.0, 0.0], [0.0])}, "fewer data points (n=1) than parameters (m=2)"),
]


@pytest.mark.parametrize("analytic", [True, False], ids=["jacobian", "differences"])
@pytest.mark.parametrize("name, p, x, constraints, note", REFUSALS)
def test_refused_problems_raise_the_bare_runtime_error_with_the_reason_as_note(name, p, x, constraints, note,
                                                                               analytic, capfd):
    n = len(x)

    def func(q):
        return np.resize(q, n)

    def jacf(q):
        return np.eye(n, len(q))

    with pytest.raises(RuntimeError) as raised:
        getattr(_ombrix, name)(func, p, x, **constraints, args=(), jacf=jacf if analytic else None, mu=1e-3,
                               eps1=1e-10, eps2=1e-10, eps3=1e-10, maxit=10, cdiff=False)
    assert raised.type is RuntimeError and raised.value.args == () and str(raised.value) == ""
    assert raised.value.__notes__ == [note]
    assert capfd.readouterr().err  # the solver's own line is still printed


def test_a_singular_system_has_its_stop_reason_as_note():
    # A Jacobian of 1e-100 makes the first step absurdly long: stop code 4.
    with pytest.raises(RuntimeError) as raised:
        _ombrix.ombrix(lambda p: 1e-100 * p, [1.0], [1.0], (), lambda p: np.array([[1e-100]]), 1e-3, 1e-300, 1e-300,
                       1e-300, 50, False)
    assert str(raised.value) == ""
    assert raised.value.__notes__ == ["Singular matrix.  Restart from current `p` with increased mu"]


# ---- the solvers' side of ending a fit early ----

# The C arguments of each solver's constraints for the line: INACTIVE as arrays.
_LB, _UB, _A, _B = np.array([-10.0, -10.0]), np.array([10.0, 10.0]), np.array([1.0, -1.0]), np.array([-1.0])
_C, _D = np.array([0.0, 1.0]), np.array([0.0])
C_CONSTRAINTS = {"": [], "bc_": [_LB, _UB, None], "lec_": [_A, _B, 1], "blec_": [_LB, _UB, _A, _B, 1, None],
                 "bleic_": [_LB, _UB, _A, _B, 1, _C, _D, 1], "blic_": [_LB, _UB, _C, _D, 1],
                 "leic_": [_A, _B, 1, _C, _D, 1], "lic_": [_C, _D, 1]}


@pytest.mark.parametrize("mode, step", [("der", 1e-6), ("dif", 1e-6), ("dif", -1e-6)],
                         ids=["jacobian", "forward", "central"])
@pytest.mark.parametrize("kind", list(C_CONSTRAINTS))
def test_the_solvers_stop_soon_once_every_evaluation_gives_nan(line, kind, mode, step):
    # What the module relies on after a BaseException: it fills every later
    # buffer with NaN, and each solver must then stop within a few
    # evaluations, at most two Jacobians' worth (2m + 1 calls each with
    # central differences), whatever the iteration limit.
    import capi

    m, n = 2, len(line.x)
    for good_calls in range(1, 25):  # NaN from every point of the first iterations on
        calls = {"all": 0, "after": 0}

        def failing(model):
            def evaluate(p):
                calls["all"] += 1
                if calls["all"] <= good_calls:
                    return model(p)
                calls["after"] += 1
                return np.full(np.shape(model(p)), np.nan)
            return evaluate

        callbacks = [capi.callback("d", failing(line.func))]
        if mode == "der":
            callbacks.append(capi.jacobian_callback("d", failing(line.jacf)))
        p, info, cov = np.zeros(m), np.zeros(10), np.zeros((m, m))
        opts = np.array([1e-3, 1e-15, 1e-15, 1e-20, step])
        constraints = [capi.ptr(a) if isinstance(a, np.ndarray) else a for a in C_CONSTRAINTS[kind]]
        capi.fn("d", f"ombrix_{kind}{mode}")(*callbacks, capi.ptr(p), capi.ptr(line.x), m, n, *constraints, 100000,
                                              capi.ptr(opts), capi.ptr(info), None, capi.ptr(cov), None)
        assert calls["after"] <= 2 * (2 * m + 1), good_calls
