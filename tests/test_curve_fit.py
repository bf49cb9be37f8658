"""ombrix.curve_fit: NIST's certified answers, the weighted least-squares
answer under SciPy's meaning of sigma, SciPy's exceptions and warnings for
bad input, SciPy's conventions (p0 from the signature, bounds in SciPy's
forms, full_output), and ombrix's linear constraints."""

import importlib.metadata
import inspect
import warnings

import numpy as np
import pytest

import ombrix
from ombrix import Status, nist

scipy_optimize = pytest.importorskip("scipy.optimize")
SCIPY_VERSION = tuple(int(v) for v in importlib.metadata.version("scipy").split(".")[:2])
scipy_curve_fit = scipy_optimize.curve_fit

X = np.linspace(0.0, 4.0, 25)
Y = 2.5 * np.exp(-1.3 * X) + 0.5 + 0.02 * np.sin(7.0 * X)


def decay(x, a, b, c):
    return a * np.exp(-b * x) + c


def decay_jac(x, a, b, c):
    e = np.exp(-b * x)
    return np.stack([e, -a * x * e, np.ones_like(x)], axis=1)


def line(x, a, b):
    return a + b * x


# ---- NIST's reference problems ----

@pytest.fixture(scope="module")
def problems():
    return {name: nist.load(name) for name in nist.problems()}


def _nist_fit(fit, prob, start, analytic, **kwargs):
    def model(x, *b):
        return prob.model(b, x)

    def jac(x, *b):
        return prob.jacobian(b, x)

    return fit(model, prob.x, prob.y, p0=prob.starts[start - 1], jac=jac if analytic else None, **kwargs)


# BoxBOD's first start overflows exp on the first step (tested below).
NIST_CASES = [(name, start) for name in nist.problems() for start in (1, 2) if (name, start) != ("BoxBOD", 1)]


@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "forward"])
@pytest.mark.parametrize("name, start", NIST_CASES)
def test_nist_problems_give_the_certified_answer(problems, name, start, analytic, resolved_digits, stderr_digits):
    prob = problems[name]
    popt, pcov = _nist_fit(ombrix.curve_fit, prob, start, analytic)
    diff = None if analytic else "forward"
    # every parameter to the digits the sum of squares resolves (less, for
    # differences, what their truncation and rounding move the minimum by)
    assert (nist.lre(popt, prob.certified, prob.digits) >= resolved_digits(prob, start, diff)).all()
    # pcov is SciPy's: s^2 (J^T J)^-1, whose diagonal NIST certifies ...
    sd_digits = stderr_digits(prob, start, diff)
    assert (nist.lre(np.sqrt(np.diag(pcov)), prob.certified_sd, prob.digits) >= sd_digits).all()
    # ... and whose correlations are those at the certified parameters:
    # C_jk / sqrt(C_jj C_kk) moves by the change of C_jk on the scale
    # sqrt(C_jj C_kk) plus half the relative changes of C_jj and C_kk, each
    # at most twice the relative error of a standard error: 4 times in all
    J = prob.jacobian(prob.certified, prob.x)
    inverse = np.linalg.inv(J.T @ J)
    expected = inverse / np.sqrt(np.outer(np.diag(inverse), np.diag(inverse)))
    np.testing.assert_allclose(pcov / np.sqrt(np.outer(np.diag(pcov), np.diag(pcov))), expected, rtol=0,
                               atol=4 * 10.0 ** -sd_digits.min())


def test_nist_analytic_fits_reach_the_certified_minimum_to_rounding(problems, chisq_noise):
    # The target of the benchmark, on every problem and start at once:
    # ombrix.curve_fit (analytic Jacobian, its defaults) ends where the sum
    # of squares cannot be told from its certified minimum any more, i.e.
    # within the rounding noise of computing and comparing two such sums.
    short = []
    for name, start in NIST_CASES:
        prob = problems[name]
        popt = _nist_fit(ombrix.curve_fit, prob, start, True)[0]
        residuals = prob.y - prob.model(prob.certified, prob.x)
        excess = prob.rss(popt) - prob.rss(prob.certified)
        noise = chisq_noise(residuals, prob.y)
        if excess > noise:
            short.append((name, start, excess / noise))
    assert short == []


@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "forward"])
def test_a_start_where_the_model_overflows_still_reaches_the_certified_answer(problems, analytic, resolved_digits):
    # BoxBOD from its first start: the first steps send exp(-b2 x) to infinity; those trial
    # points are refused and shorter steps lead to the certified answer
    prob = problems["BoxBOD"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        popt, _ = _nist_fit(ombrix.curve_fit, prob, 1, analytic)
    diff = None if analytic else "forward"
    assert (nist.lre(popt, prob.certified, prob.digits) >= resolved_digits(prob, 1, diff)).all()


# ---- weighted fits ----

RNG = np.random.default_rng(7)
SIGMA_1D = 0.02 + 0.05 * RNG.random(X.size)
_A = RNG.standard_normal((X.size, X.size))
SIGMA_2D = 1e-4 * (_A @ _A.T / X.size + np.eye(X.size))


def _decay_answer(weighted_least_squares, x=X, y=Y, sigma=None, absolute_sigma=False):
    """The weighted least-squares answer of `decay` on (x, y), from (1, 1, 0)."""
    return weighted_least_squares(lambda p: decay(x, *p), lambda p: decay_jac(x, *p), [1.0, 1.0, 0.0], y, sigma,
                                  absolute_sigma)


# SciPy's meaning of sigma and absolute_sigma: pcov is (J_w^T J_w)^-1 for the
# whitened residuals, scaled by chi-square / dof unless absolute_sigma.
@pytest.mark.parametrize("sigma, jac", [(SIGMA_1D, decay_jac), (SIGMA_1D, None), (SIGMA_2D, decay_jac),
                                        (SIGMA_2D, None), (0.03, decay_jac), (0.03, None)],
                         ids=["1-D, analytic", "1-D, forward", "2-D, analytic", "2-D, forward", "scalar, analytic",
                              "scalar, forward"])
@pytest.mark.parametrize("absolute_sigma", [False, True])
def test_weighted_fits_give_the_weighted_least_squares_answer(sigma, jac, absolute_sigma, weighted_least_squares):
    got = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], sigma=sigma, absolute_sigma=absolute_sigma, jac=jac)
    _decay_answer(weighted_least_squares, sigma=sigma, absolute_sigma=absolute_sigma).assert_fit(*got)


@pytest.mark.parametrize("sigma, same", [(np.diag(SIGMA_1D ** 2), SIGMA_1D), (0.03, np.full(X.size, 0.03))],
                         ids=["diagonal covariance", "scalar"])
def test_sigma_forms_that_mean_the_same(sigma, same, weighted_least_squares):
    # (SciPy refuses a scalar sigma with a Jacobian function; here it works)
    answer = _decay_answer(weighted_least_squares, sigma=same)
    for form in (same, sigma):
        answer.assert_fit(*ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], sigma=form, jac=decay_jac))


# ---- bad input: SciPy's exceptions and messages ----

_NAN_Y = np.r_[np.nan, Y[1:]]
BAD_INPUT = [
    ("NaN in ydata", dict(ydata=_NAN_Y)),
    ("NaN in a list ydata", dict(ydata=[np.nan, *Y[1:]])),
    ("infinity in xdata", dict(xdata=np.r_[np.inf, X[1:]])),
    ("empty ydata", dict(xdata=X[:0], ydata=Y[:0])),
    ("more parameters than points", dict(xdata=X[:2], ydata=Y[:2])),
    ("p0 outside the bounds", dict(bounds=([0, 0, 0], [2, 3, 4]), p0=[5.0, 1.0, 1.0])),
    ("crossed bounds", dict(bounds=([3, 0, 0], [2, 3, 4]))),
    ("bounds of another length", dict(bounds=([0, 0], [2, 3]))),
    ("bounds with three items", dict(bounds=(0, 1, 2))),
    ("'lm' with bounds", dict(bounds=(0, 5), method="lm")),
    ("unknown method", dict(method="newton")),
    ("sigma of another shape", dict(sigma=np.ones(3))),
    ("sigma not positive definite", dict(sigma=-np.eye(X.size))),
    ("args=", dict(args=(1.0,))),
    ("unknown nan_policy", dict(nan_policy="skip", check_finite=False)),
    ("nan_policy='propagate'", dict(nan_policy="propagate", check_finite=False)),
    ("nan_policy='raise' with NaN", dict(nan_policy="raise", ydata=_NAN_Y)),
    ("nan_policy with check_finite", dict(nan_policy="omit", check_finite=True, ydata=_NAN_Y)),
    ("no p0, *args model", dict(f=lambda *a: a[1] * a[0], p0=None)),
    ("no p0, one-argument model", dict(f=lambda x: x, p0=None)),
    ("unknown jac string", dict(jac="4-point", bounds=(-10, 10))),
    ("complex p0", dict(p0=[1 + 1j, 1.0, 0.0], bounds=(-10, 10))),
    ("two-dimensional p0 with bounds", dict(p0=[[1.0, 1.0, 0.0]], bounds=(-10, 10))),
    ("maxfev exhausted", dict(maxfev=5)),
    ("maxfev exhausted with bounds", dict(maxfev=5, bounds=(-10, 10))),
    ("NaN in ydata unchecked, with bounds", dict(ydata=_NAN_Y, check_finite=False, bounds=(-10, 10))),
]


# curve_fit raises the exceptions and messages of this SciPy release
MESSAGES_OF = (1, 18)


def _raised(call, *args, **kwargs):
    """The exception `call` raises, or None."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001  (any exception is the answer)
        return error
    return None


@pytest.mark.parametrize("name, change", BAD_INPUT, ids=[case[0] for case in BAD_INPUT])
def test_bad_input_raises_what_scipy_raises(name, change):
    call = {"f": decay, "xdata": X, "ydata": Y, "p0": [1.0, 1.0, 0.0], **change}
    f, xdata, ydata = call.pop("f"), call.pop("xdata"), call.pop("ydata")
    expected = _raised(scipy_curve_fit, f, xdata, ydata, **call)
    got = _raised(ombrix.curve_fit, f, xdata, ydata, **call)
    assert got is not None
    same = expected is not None and (type(got), str(got)) == (type(expected), str(expected))
    if not same and SCIPY_VERSION != MESSAGES_OF:
        pytest.skip(f"SciPy {'.'.join(map(str, SCIPY_VERSION))} raises otherwise than SciPy "
                    f"{'.'.join(map(str, MESSAGES_OF))}, whose messages curve_fit gives")
    assert expected is not None and (type(got), str(got)) == (type(expected), str(expected))


# Where SciPy's message names its internals, the exception's type is SciPy's.
SAME_EXCEPTION_TYPE = [
    ("complex p0", dict(p0=[1 + 1j, 1.0, 0.0]), TypeError, "p0 must be real"),
    ("transposed jac", dict(jac=lambda x, a, b, c: decay_jac(x, a, b, c).T), TypeError,
     r"jac returned an array of shape \(3, 25\), expected \(25, 3\)"),
    ("jac with a column short", dict(jac=lambda x, a, b, c: decay_jac(x, a, b, c)[:, :2]), TypeError,
     r"jac returned an array of shape \(25, 2\), expected \(25, 3\)"),
]


@pytest.mark.parametrize("name, change, error, message", SAME_EXCEPTION_TYPE, ids=[c[0] for c in SAME_EXCEPTION_TYPE])
def test_bad_input_raises_the_type_scipy_raises(name, change, error, message):
    with pytest.raises(error, match=message):
        ombrix.curve_fit(decay, X, Y, **{"p0": [1.0, 1.0, 0.0], **change})
    assert isinstance(_raised(scipy_curve_fit, decay, X, Y, **{"p0": [1.0, 1.0, 0.0], **change}), error)


@pytest.mark.parametrize("change, error, message", [
    (dict(callback=print), ValueError, "callback is not supported"),
    (dict(workers=4), TypeError, "workers must be a map-like callable or None"),
    (dict(sigma=np.zeros(X.size)), ValueError, "`sigma` must be finite and non-zero."),
    (dict(sigma=np.triu(np.ones((X.size, X.size))) + np.eye(X.size)), ValueError, "`sigma` must be symmetric."),
    (dict(bounds=(0, 5), eq=([1.0, 1.0, 1.0, 1.0], [1.0])), ValueError, "eq: the matrix must have shape"),
    (dict(damping=0.0), ValueError, "damping must lie in"),
])
def test_what_scipy_lets_through_or_does_not_have_is_refused(change, error, message):
    with pytest.raises(error, match=message):
        ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], **change)


# ---- the covariance warning ----

@pytest.mark.parametrize("absolute_sigma", [False, True])
def test_no_degrees_of_freedom_warns_like_scipy(absolute_sigma):
    # three points, three parameters: nothing left to estimate the scale from
    x, y = X[:3], Y[:3]
    kwargs = dict(p0=[2.0, 1.0, 0.5], absolute_sigma=absolute_sigma, sigma=np.full(3, 0.1))
    with warnings.catch_warnings(record=True) as scipy_warnings:
        warnings.simplefilter("always")
        expected = scipy_curve_fit(decay, x, y, **kwargs)
    with warnings.catch_warnings(record=True) as ombrix_warnings:
        warnings.simplefilter("always")
        got = ombrix.curve_fit(decay, x, y, **kwargs)
    assert [(w.category, str(w.message)) for w in ombrix_warnings] == \
        [(w.category, str(w.message)) for w in scipy_warnings]
    assert np.isinf(got[1]).all() == np.isinf(expected[1]).all() == (not absolute_sigma)
    if not absolute_sigma:
        assert ombrix_warnings[0].category is scipy_optimize.OptimizeWarning is ombrix.OptimizeWarning
        assert ombrix_warnings[0].filename == __file__  # attributed to the caller
    np.testing.assert_allclose(got[0], expected[0], rtol=1e-6)


def test_without_scipy_the_warning_is_ombrixs_own(isolated):
    code = """
import sys
sys.modules["scipy"] = None  # SciPy cannot be imported
import warnings
import numpy as np
import ombrix
x = np.linspace(0.0, 1.0, 2)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    popt, pcov = ombrix.curve_fit(lambda x, a, b: a + b * x, x, 1.0 + 2.0 * x)
w = caught[0]
assert w.category is ombrix.OptimizeWarning and issubclass(w.category, UserWarning), w.category
assert str(w.message) == "Covariance of the parameters could not be estimated"
assert np.isinf(pcov).all() and np.allclose(popt, [1.0, 2.0])
assert "scipy" not in [m.split(".")[0] for m in sys.modules if sys.modules[m] is not None]
print("ok")
"""
    result = isolated(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# ---- SciPy's conventions ----

class Recorder:
    """f(x, *params) that keeps the parameters it was called with."""

    def __init__(self, f):
        self.f, self.calls = f, []
        self.__signature__ = inspect.signature(f)

    def __call__(self, x, *params):
        self.calls.append(params)
        return self.f(x, *params)


@pytest.mark.parametrize("bounds", [None, ([0.0, 0.5, -1.0], [5.0, np.inf, np.inf]),
                                    ([-np.inf, -np.inf, 0.0], [np.inf, 3.0, np.inf])],
                         ids=["unbounded", "interval and lower bound", "upper and lower bound"])
def test_p0_comes_from_the_signature_as_in_scipy(bounds, weighted_least_squares):
    kwargs = {} if bounds is None else dict(bounds=bounds)
    expected_model, got_model = Recorder(decay), Recorder(decay)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scipy_curve_fit(expected_model, X, Y, **kwargs)
    got = ombrix.curve_fit(got_model, X, Y, **kwargs)
    assert got_model.calls[0] == expected_model.calls[0]
    # (the bounds do not bind)
    _decay_answer(weighted_least_squares).assert_fit(*got)


def test_parameters_arrive_as_numpy_scalars():
    model = Recorder(line)
    ombrix.curve_fit(model, X, Y, p0=[1, 2])
    assert all(type(v) is np.float64 for call in model.calls for v in call)
    model32 = Recorder(line)
    popt, pcov = ombrix.curve_fit(model32, X, Y, p0=[1, 2], dtype=np.float32)
    assert all(type(v) is np.float32 for call in model32.calls for v in call)
    assert popt.dtype == pcov.dtype == np.float32


def test_full_output_reports_the_solution():
    model, jac = Recorder(decay), Recorder(decay_jac)
    popt, pcov, info, mesg, ier = ombrix.curve_fit(model, X, Y, p0=[1.0, 1.0, 0.0], sigma=SIGMA_1D, jac=jac,
                                                   full_output=True)
    expected_keys = scipy_curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], jac=decay_jac, full_output=True)[2].keys()
    assert list(expected_keys) == list(info)[:len(expected_keys)]
    np.testing.assert_allclose(info["fvec"], (decay(X, *popt) - Y) / SIGMA_1D, rtol=1e-12, atol=1e-14)
    assert (info["nfev"], info["njev"]) == (len(model.calls), len(jac.calls))
    assert info["status"] in (Status.SMALL_STEP, Status.SMALL_GRADIENT) and info["iterations"] > 0
    assert ier == {Status.SMALL_STEP: 2, Status.SMALL_GRADIENT: 4}[info["status"]]
    assert isinstance(mesg, str) and mesg.startswith("converged")
    # fjac, ipvt, qtf: J P = Q R for the weighted Jacobian at the solution
    m = popt.size
    J = decay_jac(X, *popt) / SIGMA_1D[:, None]
    R = np.triu(info["fjac"].T[:m])
    P = info["ipvt"]
    assert sorted(P) == list(range(m))
    # (from the Jacobian before the final correction, which moves popt by about 1e-9)
    np.testing.assert_allclose(R.T @ R, J[:, P].T @ J[:, P], rtol=1e-7)
    np.testing.assert_allclose(np.linalg.solve(R, info["qtf"]),
                               np.linalg.lstsq(J[:, P], info["fvec"], rcond=None)[0], rtol=1e-6, atol=1e-9)
    without_jac = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], full_output=True)[2]
    assert "njev" not in without_jac


@pytest.mark.parametrize("bounds", [
    (0.0, 2.0),
    ([0.0, 0.0, 0.0], [2.0, 2.0, 2.0]),
    [np.zeros(3), np.full(3, 2.0)],
    "Bounds",
])
def test_bounds_in_scipys_forms(bounds, weighted_least_squares):
    if bounds == "Bounds":
        bounds = scipy_optimize.Bounds(np.zeros(3), np.full(3, 2.0))
    # a ceiling of 2 on a = 2.5: the bound binds, and b, c fit the rest
    got = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], bounds=bounds)
    assert got[0][0] == 2.0
    rest = weighted_least_squares(lambda p: decay(X, 2.0, *p), lambda p: decay_jac(X, 2.0, *p)[:, 1:], [1.0, 0.0], Y)
    np.testing.assert_allclose(got[0][1:], rest.p, rtol=rest.rtol)
    # a parameter held at its bound has no variance here (SciPy ignores the bound)
    assert got[1][0, 0] == 0.0 and (np.diag(got[1])[1:] > 0).all()


def test_inactive_bounds_change_nothing():
    free = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0])
    bounded = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], bounds=(-10, 10))
    np.testing.assert_allclose(bounded[0], free[0], rtol=1e-8)
    np.testing.assert_allclose(bounded[1], free[1], rtol=1e-6)


def test_equal_bounds_hold_a_parameter_fixed(weighted_least_squares):
    popt, pcov = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.5], bounds=([-10, -10, 0.5], [10, 10, 0.5]))
    assert popt[2] == 0.5
    free = weighted_least_squares(lambda p: decay(X, *p, 0.5), lambda p: decay_jac(X, *p, 0.5)[:, :2], [1.0, 1.0], Y)
    free.assert_fit(popt[:2], pcov[:2, :2])


# ---- linear constraints ----

T = np.linspace(0.0, 1.0, 21)
YT = 1.0 + 2.0 * T + 0.05 * np.sin(7.0 * T)


@pytest.mark.parametrize("constraints, answer", [
    # a + b = 2.5: b by least squares on (T - 1) b = YT - 2.5
    (dict(eq=([1.0, 1.0], [2.5])), "sum"),
    # b <= 1.5, active: a is the mean of YT - 1.5 T
    (dict(ineq=([[0.0, -1.0]], [-1.5])), "slope"),
    (dict(ineq=([[0.0, -1.0]], [-1.5]), bounds=(0.0, 10.0)), "slope"),
])
def test_linear_constraints_reach_the_known_answer(constraints, answer):
    popt, pcov = ombrix.curve_fit(line, T, YT, p0=[0.0, 0.0], **constraints)
    if answer == "sum":
        b = ((T - 1) @ (YT - 2.5)) / ((T - 1) @ (T - 1))
        expected, direction = [2.5 - b, b], np.array([1.0, 1.0])
    else:
        expected, direction = [np.mean(YT - 1.5 * T), 1.5], np.array([0.0, 1.0])
    np.testing.assert_allclose(popt, expected, rtol=1e-7)
    # no variance along the constrained direction
    assert abs(direction @ pcov @ direction) <= 1e-12 * np.abs(pcov).max()
    assert pcov[0, 0] > 0


def test_an_inactive_inequality_changes_nothing():
    free = ombrix.curve_fit(line, T, YT)
    constrained = ombrix.curve_fit(line, T, YT, ineq=([[0.0, 1.0]], [0.0]))
    np.testing.assert_allclose(constrained[0], free[0], rtol=1e-7)
    np.testing.assert_allclose(constrained[1], free[1], rtol=1e-6)


# ---- Jacobians ----

@pytest.mark.parametrize("jac", [decay_jac, None, "2-point", "3-point"])
def test_every_jacobian_form_gives_the_same_fit(jac, weighted_least_squares):
    # (what differences move the minimum by is far below the resolution here)
    got = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], jac=jac)
    _decay_answer(weighted_least_squares).assert_fit(*got)


def test_jacobians_of_other_layouts():
    # SciPy's col_deriv: the Jacobian transposed; a one-parameter Jacobian as a vector
    reference = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], jac=decay_jac)
    transposed = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], jac=lambda x, *p: decay_jac(x, *p).T,
                                  col_deriv=True)
    np.testing.assert_allclose(transposed[0], reference[0], rtol=1e-12)
    one = ombrix.curve_fit(lambda x, b: np.exp(-b * x), X, np.exp(-0.7 * X), p0=[1.0],
                           jac=lambda x, b: -x * np.exp(-b * x))
    np.testing.assert_allclose(one[0], [0.7], rtol=1e-12)


def test_a_constant_model_stands_for_every_point(weighted_least_squares):
    # f returning one value for all the data, as SciPy broadcasts it: the
    # mean, with the variance of the mean
    got = ombrix.curve_fit(lambda x, c: c, X, Y, p0=[1.0])
    answer = weighted_least_squares(lambda p: np.full(X.size, p[0]), lambda p: np.ones((X.size, 1)), [1.0], Y)
    answer.assert_fit(*got)
    np.testing.assert_allclose(answer.p, [Y.mean()], rtol=1e-14)
    np.testing.assert_allclose(answer.covariance, [[Y.var(ddof=1) / X.size]], rtol=1e-12)


@pytest.mark.parametrize("ydata", [2.0, [2.0], np.array([[2.0]])], ids=["scalar", "length 1", "1 x 1"])
@pytest.mark.parametrize("options", [{}, dict(bounds=([-5, -5], [5, 5])), dict(sigma=0.5, method="trf")],
                         ids=["free", "bounded", "scalar sigma"])
def test_a_single_data_value_stands_for_every_model_value(ydata, options):
    # As in SciPy, the value is subtracted from each of the model's 25 values:
    # a line fitted to a constant is that constant, with slope 0.
    popt, pcov = ombrix.curve_fit(line, X, ydata, p0=[1.0, 1.0], **options)
    np.testing.assert_allclose(popt, [2.0, 0.0], atol=1e-12)
    assert pcov.shape == (2, 2) and np.isfinite(pcov).all()


def test_workers_gives_the_same_fit():
    # a map-like callable only spreads evaluations; the fit is the same
    popt, pcov = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0])
    with_workers = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], workers=map)
    np.testing.assert_array_equal(with_workers[0], popt)
    np.testing.assert_array_equal(with_workers[1], pcov)


@pytest.mark.parametrize("full_output", [False, True])
def test_nan_data_unchecked_returns_the_start_with_a_warning(full_output):
    # SciPy's 'lm' path: p0 back, an infinite covariance and an OptimizeWarning;
    # nothing iterates on a chi-square that is NaN.
    p0 = [1.0, 1.0, 0.0]
    with pytest.warns(ombrix.OptimizeWarning, match="^Covariance of the parameters could not be estimated.*"
                                                    "nothing was fitted"):
        out = ombrix.curve_fit(decay, X, _NAN_Y, p0=p0, check_finite=False, full_output=full_output)
    np.testing.assert_array_equal(out[0], p0)
    assert np.isposinf(out[1]).all()
    if full_output:
        assert np.isnan(out[2]["fvec"][0]) and np.isfinite(out[2]["fvec"][1:]).all()


def test_ydata_of_any_shape_is_flattened():
    x2 = X.reshape(5, 5)
    got = ombrix.curve_fit(decay, x2, Y.reshape(5, 5), p0=[1.0, 1.0, 0.0])
    flat = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0])
    np.testing.assert_allclose(got[0], flat[0], rtol=1e-12)


# ---- failures ----

@pytest.mark.parametrize("where", ["model", "jac"])
def test_an_exception_from_the_model_propagates_unchanged(where):
    class Stop(Exception):
        pass

    calls = []

    def failing(f):
        def wrapped(x, *p):
            calls.append(p)
            if len(calls) == 3:
                raise Stop("third call")
            return f(x, *p)
        return wrapped

    model = failing(decay) if where == "model" else decay
    jac = failing(decay_jac) if where == "jac" else decay_jac
    with pytest.raises(Stop, match="third call"):
        ombrix.curve_fit(model, X, Y, p0=[1.0, 1.0, 0.0], jac=jac)
    assert len(calls) == 3  # nothing after the failing call


def test_a_fit_that_does_not_converge_raises_runtime_error():
    with pytest.raises(RuntimeError, match="^Optimal parameters not found: stopped after max_iterations"):
        ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], max_iterations=2)


def test_scipy_solver_options_run_the_engine():
    reference = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], full_output=True)
    # the methods run the same engine; x_scale only changes the path
    for options in (dict(method="lm"), dict(method="trf"), dict(method="dogbox"), dict(x_scale="jac")):
        np.testing.assert_array_equal(ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], **options)[0], reference[0])
    for options in (dict(x_scale=[2.0, 0.5, 1.0]), dict(diag=[0.5, 2.0, 1.0]), dict(x_scale=10.0)):
        np.testing.assert_allclose(ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], **options)[0], reference[0],
                                   rtol=1e-7)
    # loose tolerances stop sooner
    for key in ("ftol", "xtol"):
        loose = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], full_output=True, **{key: 1e-3})
        assert loose[2]["nfev"] < reference[2]["nfev"]
        np.testing.assert_allclose(loose[0], reference[0], rtol=1e-2)


@pytest.mark.parametrize("limit", ["maxfev", "max_nfev"])
@pytest.mark.parametrize("bounds", [None, ([0.0, 0.0, -1.0], [10.0, 10.0, 10.0])], ids=["free", "bounded"])
def test_maxfev_limits_the_model_evaluations(limit, bounds):
    calls = []

    def model(x, *p):
        calls.append(p)
        return decay(x, *p)

    extra = {} if bounds is None else dict(bounds=bounds)
    # SciPy's words: those of 'lm' without bounds, of 'trf' with them
    message = ("Number of calls to function has reached maxfev = 6." if bounds is None
               else "The maximum number of function evaluations is exceeded.")
    with pytest.raises(RuntimeError, match=f"^Optimal parameters not found: {message}$"):
        ombrix.curve_fit(model, X, Y, p0=[1.0, 1.0, 0.0], **{limit: 6}, **extra)
    # checked before each trial step, which takes one evaluation and a difference Jacobian (3
    # more); the difference Jacobian at the result for pcov follows
    assert 6 <= len(calls) <= 6 + 2 * (1 + 3)


def test_verbose_prints_progress(capsys):
    _, _, info, _, _ = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], verbose=2, full_output=True)
    lines = capsys.readouterr().out.splitlines()
    assert sum(line.startswith("evaluation ") for line in lines) == info["nfev"]
    assert lines[-1].startswith(f"Function evaluations {info['nfev']}, initial cost")
    ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], verbose=1)
    assert capsys.readouterr().out.count("\n") == 2
    ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0])
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("options", [dict(diff_step=1e-3), dict(epsfcn=1e-6)], ids=["diff_step", "epsfcn"])
def test_difference_step_sets_the_relative_step(options):
    # From p0 = (1, 1, 0) the first difference Jacobian steps each parameter by 1e-3 times
    # max(|p0_j|, 1): the model sees exactly those points, and the fit still ends at the minimum.
    points = []

    def recorded(x, *p):
        points.append(np.array(p))
        return decay(x, *p)

    p0 = np.array([1.0, 1.0, 0.0])
    popt, _ = ombrix.curve_fit(recorded, X, Y, p0=p0, **options)
    steps = [point - p0 for point in points[1:4]]
    np.testing.assert_allclose(np.abs(steps), 1e-3 * np.eye(3), rtol=1e-12, atol=1e-15)
    exact, _ = ombrix.curve_fit(decay, X, Y, p0=p0, jac=decay_jac)
    np.testing.assert_allclose(popt, exact, rtol=1e-7)


@pytest.mark.parametrize("options, message", [
    (dict(diff_step=[1e-3, 1e-3, 1e-3]), "diff_step must be a scalar"),
    (dict(diff_step=1e-3, epsfcn=1e-6), "diff_step or epsfcn, not both"),
    (dict(diff_step=2.0), "diff_step must be at least 0 and below 1"),
    (dict(diff_step=1e-3, diff="secant"), "diff_step need the engine"),
    (dict(factor=10), "factor is not supported"),
    (dict(tr_solver="lsmr"), "tr_solver is not supported"),
    (dict(tr_options={"atol": 1e-3}), "tr_options are not supported"),
    (dict(jac_sparsity=np.ones((X.size, 3))), "jac_sparsity is not supported"),
    (dict(verbose=3), "verbose must be 0, 1 or 2"),
    (dict(x_scale="auto"), "x_scale must be 'jac'"),
    (dict(x_scale=[1.0, 0.0, 1.0]), "x_scale must be 'jac' or positive"),
    (dict(f_scale=-1.0), "f_scale must be positive"),
    (dict(loss="l1"), "loss must be one of"),
    (dict(ftol=1e-8, diff="secant"), "ftol need the engine"),
])
def test_unsupported_solver_options_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], **options)


def test_robust_loss_down_weighs_gross_outliers():
    # the residuals of Y are within 0.02; f_scale 0.2 keeps rho' near 1 on them, and the
    # outliers' influence rho' r ~ f_scale^2 / |r| is below 1e-3 of theirs
    y = Y.copy()
    y[[4, 12]] += [50.0, -50.0]
    clean = ombrix.curve_fit(decay, np.delete(X, [4, 12]), np.delete(Y, [4, 12]), p0=[1.0, 1.0, 0.0])[0]
    with np.errstate(over="ignore", invalid="ignore"):  # the outliers' pull tries steep decays on the way
        robust = ombrix.curve_fit(decay, X, y, p0=[1.0, 1.0, 0.0], loss="cauchy", f_scale=0.2)[0]
        plain = ombrix.curve_fit(decay, X, y, p0=[1.0, 1.0, 0.0])[0]
    np.testing.assert_allclose(robust, clean, rtol=1e-3)
    assert np.abs(plain - clean).max() > 100 * np.abs(robust - clean).max()


def test_nan_policy_omit_drops_the_points_as_scipy_does(weighted_least_squares):
    # the points where x or y is NaN go, and their sigma with them
    y = Y.copy()
    y[[3, 11]] = np.nan
    x = X.copy()
    x[17] = np.nan
    got = ombrix.curve_fit(decay, x, y, p0=[1.0, 1.0, 0.0], sigma=SIGMA_1D, check_finite=False, nan_policy="omit")
    kept = np.isfinite(x) & np.isfinite(y)
    _decay_answer(weighted_least_squares, X[kept], Y[kept], SIGMA_1D[kept]).assert_fit(*got)


def test_bounds_hold_exactly_and_the_bounded_fit_converges():
    # Misra1a with b2 held below its unconstrained value: the bound binds.
    prob = ombrix.nist.load("Misra1a")
    f = lambda x, b1, b2: b1 * (1 - np.exp(-b2 * x))  # noqa: E731
    evaluated = []

    def model(x, b1, b2):
        evaluated.append(b2)
        return f(x, b1, b2)

    popt, pcov, info, mesg, ier = ombrix.curve_fit(model, prob.x, prob.y, p0=prob.start1,
                                                   bounds=([0, 0], [np.inf, 5e-4]),
                                                   full_output=True)
    g = 1 - np.exp(-5e-4 * prob.x)
    assert popt[1] == 5e-4 and popt[0] == pytest.approx(g @ prob.y / (g @ g), rel=1e-10)
    assert max(evaluated) <= 5e-4  # never evaluated outside the bound
    assert info["active_bounds"].tolist() == [0, 1] and pcov[1, 1] == 0
    assert info["nfev"] < 100 and set(info) >= {"nfev", "fvec"}


def test_complex_step_jacobian_is_exact_to_rounding():
    reference = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], jac=decay_jac, full_output=True)
    got = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.0], jac="cs", full_output=True)
    np.testing.assert_allclose(got[0], reference[0], rtol=1e-12)
    np.testing.assert_allclose(got[1], reference[1], rtol=1e-9)
    # the model is called at complex points for the Jacobian, at real ones otherwise
    seen = []

    def model(x, *p):
        seen.append(np.iscomplexobj(np.asarray(p)))
        return decay(x, *p)

    ombrix.curve_fit(model, X, Y, p0=[1.0, 1.0, 0.0], jac="cs")
    assert any(seen) and not all(seen)


def test_complex_step_needs_a_model_that_takes_complex_parameters():
    def real_only(x, a, b, c):
        return np.real(decay(x, a, b, c))

    with pytest.raises(TypeError, match="jac='cs' needs a model that returns complex values"):
        ombrix.curve_fit(real_only, X, Y, p0=[1.0, 1.0, 0.0], jac="cs")


@pytest.mark.parametrize("constraints", [dict(), dict(eq=([1.0, 0.0, 1.0], [3.0])),
                                         dict(bounds=([0.0, 0.0, 0.55], [10.0, 10.0, 10.0]))],
                         ids=["free", "eq", "bounds"])
def test_x_scale_changes_the_path_not_the_answer(constraints):
    reference = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.6], jac=decay_jac, **constraints)
    scaled = ombrix.curve_fit(decay, X, Y, p0=[1.0, 1.0, 0.6], jac=decay_jac, x_scale=[10.0, 0.1, 1.0], **constraints)
    np.testing.assert_allclose(scaled[0], reference[0], rtol=1e-9)
    np.testing.assert_allclose(scaled[1], reference[1], rtol=1e-6)
