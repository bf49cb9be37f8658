"""ombrix._ombrix.ombrix: probe calls, solver failures, results, warnings and real fits."""

import warnings

import numpy as np
import pytest

from ombrix import _ombrix


# ---- probe calls ----

def test_probe_passes_a_float64_copy_of_the_start(decay):
    seen = []

    def func(p, *args):
        seen.append(p.copy())
        return decay.func(p)

    start = [1, 1]  # ints: the probe sees the converted start
    p, pcov, info = _ombrix.ombrix(**decay.kwargs(func=func, p=start))
    assert all(type(q) is np.ndarray and q.dtype == np.float64 for q in seen)
    np.testing.assert_array_equal(seen[0], [1.0, 1.0])
    assert len(seen) == info[4] + 1  # the probe, then every call the solver made


@pytest.mark.parametrize("func, jacf, error, message", [
    (lambda p: np.zeros(21), None, RuntimeError, r"^func must return a 1d array-like of length 20$"),
    (lambda p: np.zeros((20, 1)), None, RuntimeError, r"^func must return a 1d array-like of length 20$"),
    (lambda p: np.float64(1.0), None, RuntimeError, r"^func must return a 1d array-like of length 20$"),
    (lambda p: [0.0] * 20, None, AttributeError, "ndim"),
    (lambda p: None, None, AttributeError, "ndim"),
    (lambda p: 1 / 0, None, ZeroDivisionError, "division by zero"),
    ("model", lambda p: np.zeros((2, 20)), RuntimeError, r"^jacf must return a 2d array-like of shape \(20, 2\)$"),
    ("model", lambda p: np.zeros(40), RuntimeError, r"^jacf must return a 2d array-like of shape \(20, 2\)$"),
    ("model", lambda p: np.zeros((20, 2, 1)), RuntimeError, r"shape \(20, 2\)$"),
    ("model", lambda p: [[0.0, 0.0]] * 20, AttributeError, "ndim"),
    ("model", 5, TypeError, "^jacf must be callable$"),
    ("model", "jacf", TypeError, "^jacf must be callable$"),
])
def test_probe_failures_come_before_any_solver_call(decay, func, jacf, error, message):
    calls = []
    model = decay.func if func == "model" else func

    def counted(p, *args):
        calls.append(p)
        return model(p)

    with pytest.raises(error, match=message):
        _ombrix.ombrix(**decay.kwargs(func=counted, jacf=jacf))
    assert len(calls) == 1


def test_probe_reads_shape_of_any_object():
    class Fake:
        ndim = 1
        shape = {0: 3}  # indexed like a tuple

    calls = []

    def func(p):
        calls.append(p)
        return Fake() if len(calls) == 1 else np.zeros(3)

    with pytest.raises(RuntimeError) as raised:  # passes the probe; n < m stops the solver
        _ombrix.ombrix(func, [1.0] * 4, [1.0, 2.0, 3.0], (), None, 1e-3, 1e-10, 1e-10, 1e-10, 5, False)
    assert str(raised.value) == "" and len(calls) == 1


@pytest.mark.parametrize("args, message", [
    ([1], r'can only concatenate tuple \(not "list"\) to tuple'),
    (None, r'can only concatenate tuple \(not "NoneType"\) to tuple'),
])
def test_args_must_add_to_a_tuple(decay, args, message):
    with pytest.raises(TypeError, match=message):
        _ombrix.ombrix(**decay.kwargs(args=args))


def test_extra_args_reach_func_and_jacf(decay):
    calls = []

    def func(p, scale, offset):
        calls.append(("func", scale, offset))
        return decay.func(p) * scale + offset

    def jacf(p, scale, offset):
        calls.append(("jacf", scale, offset))
        return decay.jacf(p) * scale

    p, pcov, info = _ombrix.ombrix(**decay.kwargs(func=func, jacf=jacf, x=decay.x * 2.0 + 1.0, args=(2.0, 1.0)))
    np.testing.assert_allclose(p, decay.answer, rtol=1e-10)
    assert {c[1:] for c in calls} == {(2.0, 1.0)}
    assert [c[0] for c in calls].count("jacf") == info[5] + 1


# ---- solver failures ----

def test_invalid_values_stop_the_fit_with_their_own_message(decay):
    with pytest.raises(RuntimeError, match=r"^Stopped by invalid values \(NaN or Inf\) returned by func$"):
        _ombrix.ombrix(**decay.kwargs(func=lambda p: np.full(20, np.nan)))


def test_early_solver_failure_raises_without_message(capfd):
    # n < m: the solver writes no information vector, which must not be read as
    # stop code 7.
    with pytest.raises(RuntimeError) as raised:
        _ombrix.ombrix(lambda p: np.zeros(2), [1.0, 2.0, 3.0], [0.0, 0.0], (), None, 1e-3, 1e-10, 1e-10, 1e-10, 10,
                       False)
    assert raised.type is RuntimeError and raised.value.args == () and str(raised.value) == ""
    assert "dombrix_dif(): cannot solve a problem with fewer measurements [2] than unknowns [3]" in capfd.readouterr().err


def test_singular_system_raises_without_message():
    # A Jacobian of 1e-100 makes the first step absurdly long: stop code 4,
    # which the solver reports as a failure (checked here through the C API).
    import capi

    func = lambda p: 1e-100 * np.asarray(p)
    jacf = lambda p: np.array([[1e-100]])
    p, info = np.array([1.0]), np.zeros(10)
    opts = np.array([1e-3, 1e-300, 1e-300, 1e-300, 1e-6])
    status = capi.fn("d", "ombrix_der")(capi.callback("d", func), capi.jacobian_callback("d", jacf), capi.ptr(p),
                                        capi.ptr(np.ones(1)), 1, 1, 50, capi.ptr(opts), capi.ptr(info), None, None,
                                        None)
    assert (status, info[6]) == (-1, 4)
    with pytest.raises(RuntimeError) as raised:
        _ombrix.ombrix(func, [1.0], [1.0], (), jacf, 1e-3, 1e-300, 1e-300, 1e-300, 50, False)
    assert raised.value.args == ()


def test_empty_parameter_vector():
    p, pcov, info = _ombrix.ombrix(lambda p: np.ones(3), [], [1.0, 2.0, 3.0], (), None, 1e-3, 1e-10, 1e-10, 1e-10,
                                   5, False)
    assert p.shape == (0,) and pcov.shape == (0, 0) and info[0] == 5.0


# ---- results and warnings ----

def test_result_layout(decay):
    start = decay.p0.copy()
    p, pcov, info = _ombrix.ombrix(**decay.kwargs(p=start))
    np.testing.assert_array_equal(start, decay.p0)  # the caller's p is untouched
    assert p is not start and p.dtype == np.float64 and p.shape == (2,) and p.flags.c_contiguous
    assert pcov.dtype == np.float64 and pcov.shape == (2, 2) and pcov.flags.c_contiguous
    assert len(info) == 7
    assert type(info[0]) is float and type(info[1]) is tuple and len(info[1]) == 4
    assert all(type(v) is float for v in info[1])
    assert all(type(info[i]) is int for i in (2, 4, 5, 6))
    assert info[3] == "Stopped by small ||e||_2"
    assert info[0] == pytest.approx(float(np.sum((decay.x - decay.func(decay.p0)) ** 2)))


def test_maxit_stop_warns_once_from_the_callers_line(decay):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p, pcov, info = _ombrix.ombrix(**decay.kwargs(maxit=2))
    assert [str(w.message) for w in caught] == ["Stop by `maxit`"]
    assert caught[0].category is UserWarning and caught[0].filename == __file__
    assert info[2] == 2 and info[3] == "Stop by `maxit`"


def test_warning_as_error_replaces_the_result(decay):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="^Stop by `maxit`$"):
            _ombrix.ombrix(**decay.kwargs(maxit=1))


def test_unwarned_stop_codes_return_silently(decay):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        p, pcov, info = _ombrix.ombrix(**decay.kwargs())
    assert info[3] == "Stopped by small ||e||_2"


def test_tables_are_looked_up_at_every_call(decay, monkeypatch):
    monkeypatch.setattr(_ombrix, "_LM_STOP_REASONS_WARNED", ())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert _ombrix.ombrix(**decay.kwargs(maxit=1))[2][3] == "Stop by `maxit`"

    monkeypatch.setattr(_ombrix, "_LM_STOP_REASONS_WARNED", [6])
    monkeypatch.setattr(_ombrix, "_LM_STOP_REASONS", {**_ombrix._LM_STOP_REASONS, 6: "tiny error"})
    with pytest.warns(UserWarning, match="^tiny error$"):
        assert _ombrix.ombrix(**decay.kwargs())[2][3] == "tiny error"

    monkeypatch.setattr(_ombrix, "_LM_STOP_REASONS", {})
    with pytest.raises(KeyError, match="6"):
        _ombrix.ombrix(**decay.kwargs())


@pytest.mark.parametrize("name", ["_LM_STOP_REASONS", "_LM_STOP_REASONS_WARNED", "warnings"])
def test_removed_tables_raise_name_error(decay, monkeypatch, name):
    monkeypatch.delattr(_ombrix, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined"):
        _ombrix.ombrix(**decay.kwargs(maxit=1))


def test_rebound_warnings_module_is_used(decay, monkeypatch):
    issued = []

    class Recorder:
        @staticmethod
        def warn(message, category):
            issued.append((message, category))

    monkeypatch.setattr(_ombrix, "warnings", Recorder)
    _ombrix.ombrix(**decay.kwargs(maxit=1))
    assert issued == [("Stop by `maxit`", UserWarning)]


# ---- real fits with known answers ----

@pytest.mark.parametrize("analytic, cdiff, rtol", [(True, False, 1e-12), (False, False, 1e-8), (False, True, 1e-10)])
def test_exponential_decay(decay, analytic, cdiff, rtol):
    p, pcov, info = _ombrix.ombrix(**decay.kwargs(jacf=decay.jacf if analytic else None, cdiff=cdiff))
    np.testing.assert_allclose(p, decay.answer, rtol=rtol)
    assert info[1][0] < 1e-15
    np.testing.assert_allclose(pcov, pcov.T)


@pytest.mark.parametrize("analytic, cdiff", [(True, False), (False, False), (False, True)])
def test_rosenbrock(rosenbrock, analytic, cdiff):
    p, pcov, info = _ombrix.ombrix(**rosenbrock.kwargs(jacf=rosenbrock.jacf if analytic else None, cdiff=cdiff,
                                                        maxit=1000))
    np.testing.assert_allclose(p, rosenbrock.answer, rtol=1e-7)


def test_covariance_of_a_linear_fit():
    # y = a + b t with noise: the covariance is s^2 (A^T A)^-1, s^2 the
    # residual variance with n - m degrees of freedom.
    t = np.arange(8.0)
    design = np.stack([np.ones_like(t), t], axis=1)
    y = 1.0 + 2.0 * t + np.array([0.1, -0.2, 0.05, 0.0, 0.15, -0.1, 0.05, -0.05])
    p, pcov, info = _ombrix.ombrix(lambda q: design @ q, [0.0, 0.0], y, (), lambda q: design, 1e-3, 1e-15, 1e-15,
                                   1e-20, 100, False)
    expected_p, residual, *_ = np.linalg.lstsq(design, y, rcond=None)
    np.testing.assert_allclose(p, expected_p, rtol=1e-10)
    np.testing.assert_allclose(pcov, residual[0] / 6 * np.linalg.inv(design.T @ design), rtol=1e-8)


def test_fit_started_from_a_model_call(decay):
    # A fit inside a callable interleaves with the outer fit only at callbacks.
    def func(p):
        inner = _ombrix.ombrix(**decay.kwargs(p=np.array([2.0, 0.5])))
        np.testing.assert_allclose(inner[0], decay.answer, rtol=1e-10)
        return decay.func(p)

    p, pcov, info = _ombrix.ombrix(**decay.kwargs(func=func))
    np.testing.assert_allclose(p, decay.answer, rtol=1e-6)
