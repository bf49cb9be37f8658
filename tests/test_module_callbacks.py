"""ombrix._ombrix: the model wrapper _LMFunc and the solver callbacks."""

import gc
import re
import sys
import warnings

import numpy as np
import pytest

from ombrix import _ombrix


@pytest.fixture
def unraisable(monkeypatch):
    """The reports that reach sys.unraisablehook during the test."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report))
    return reports


def test_parameter_array(decay):
    seen = []

    def func(p):
        seen.append((p, p.dtype, p.shape, p.flags.c_contiguous, p.flags.aligned, p.flags.writeable, p.flags.owndata))
        return decay.func(p)

    _ombrix.ombrix(**decay.kwargs(func=func, jacf=None))
    assert len(seen) > 5
    for point, dtype, shape, contiguous, aligned, writeable, owndata in seen:  # the probe's too
        assert type(point) is np.ndarray and dtype == np.float64 and shape == (2,)
        assert contiguous and aligned and writeable and owndata
    assert len({id(s[0]) for s in seen}) == len(seen)  # each call its own array


@pytest.mark.parametrize("which, context", [("func", "ombrix._ombrix.callback_func"),
                                            ("jacf", "ombrix._ombrix.callback_jacf")])
def test_exceptions_during_the_solve_are_reported_and_the_solve_goes_on(decay, broken_after, unraisable, capsys,
                                                                         which, context):
    error = ValueError("model broke")
    # The probe and the solver's first call succeed, every later call raises.
    broken = broken_after(getattr(decay, which), 2, error)
    last_value = getattr(sys, "last_value", None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = _ombrix.ombrix(**decay.kwargs(**{which: broken}, maxit=3))
    assert result[2][2] >= 1  # the solver ended by its own rules
    assert len(unraisable) == broken.count[0] - 2 > 0  # each failed call, once
    assert all(r.exc_value is error and r.object == context for r in unraisable)
    err = capsys.readouterr().err
    assert err.count("Traceback (most recent call last)") == len(unraisable)
    assert err.count("ValueError: model broke") == len(unraisable)
    assert getattr(sys, "last_value", None) is last_value  # printed, not recorded as the last exception


def test_a_model_failing_once_does_not_end_the_fit(decay, unraisable):
    calls = [0]

    def func(p):
        calls[0] += 1
        if calls[0] == 4:
            raise FloatingPointError("once")
        return decay.func(p)

    p, pcov, info = _ombrix.ombrix(**decay.kwargs(func=func))
    assert [type(r.exc_value) for r in unraisable] == [FloatingPointError]
    assert calls[0] > 4 and info[4] == calls[0] - 1  # the solver counted the failed call too


@pytest.mark.parametrize("result, error, message", [
    ([0.0] * 20, TypeError, "^Cannot convert list to numpy.ndarray$"),
    (None, TypeError, "^Cannot convert NoneType to numpy.ndarray$"),
    (np.zeros(21), ValueError, "^func returned 21 values, expected 20$"),
    (np.zeros((4, 4)), ValueError, "^func returned 16 values, expected 20$"),
    (np.zeros(20, dtype=complex), TypeError, "^func returned complex128 values, expected real numbers$"),
    (np.array(["1"] * 20), TypeError, "^func returned <U1 values, expected real numbers$"),
    (np.array([1.0] * 20, dtype=object), TypeError, "^func returned object values, expected real numbers$"),
])
def test_rejected_model_results(decay, broken_after, unraisable, result, error, message):
    broken = broken_after(decay.func, 2, result)
    with pytest.warns(UserWarning, match="^Stop by `maxit`$"):
        _ombrix.ombrix(**decay.kwargs(func=broken, jacf=None, maxit=2))
    assert unraisable
    for report in unraisable:
        assert report.exc_type is error and report.object == "ombrix._ombrix.callback_func"
        assert re.search(message, str(report.exc_value))


def test_rejected_jacobian_result(decay, broken_after, unraisable):
    broken = broken_after(decay.jacf, 2, np.zeros(39))
    with pytest.warns(UserWarning, match="^Stop by `maxit`$"):
        _ombrix.ombrix(**decay.kwargs(jacf=broken, maxit=3))
    assert unraisable
    assert {(r.exc_type, str(r.exc_value), r.object) for r in unraisable} == {
        (ValueError, "jacf returned 39 values, expected 40", "ombrix._ombrix.callback_jacf")}


def _strided(a):
    holder = np.zeros(a.shape[:-1] + (2 * a.shape[-1],))
    holder[..., ::2] = a
    return holder[..., ::2]


@pytest.mark.parametrize("convert", [
    lambda a: _strided(a),
    lambda a: a.astype(">f8"),
    lambda a: a.astype(np.longdouble),
    lambda a: a.reshape(1, -1) if a.ndim == 1 else a.reshape(1, -1),
    lambda a: np.asfortranarray(a),
    lambda a: a.view(np.matrix) if a.ndim == 2 else a,
], ids=["strided", "big-endian", "longdouble", "reshaped", "fortran", "subclass"])
def test_converted_results_give_the_same_fit(decay, broken_after, convert):
    reference = _ombrix.ombrix(**decay.kwargs())
    # the probes check the shapes: they get the plain results
    func = broken_after(decay.func, 1, lambda p: convert(decay.func(p)))
    jacf = broken_after(decay.jacf, 1, lambda p: convert(decay.jacf(p)))
    p, pcov, info = _ombrix.ombrix(**decay.kwargs(func=func, jacf=jacf))
    np.testing.assert_array_equal(p, reference[0])
    np.testing.assert_array_equal(pcov, reference[1])
    assert info == reference[2]


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.uint8, np.bool_])
def test_other_real_dtypes_are_converted(line, broken_after, dtype):
    # The first solver evaluation sees the converted values: ||x - f(p0)||^2.
    start = np.array([0.5, 0.5])
    func = broken_after(line.func, 1, lambda p: line.func(p).astype(dtype))
    with pytest.warns(UserWarning, match="maxit"):
        p, pcov, info = _ombrix.ombrix(**line.kwargs(func=func, p=start, jacf=line.jacf, maxit=1))
    delivered = line.func(start).astype(dtype).astype(np.float64)
    assert info[0] == float(np.sum((line.x - delivered) ** 2))


# ---- the _LMFunc object ----

def test_init_binds_and_rebinds_the_fields():
    obj = _ombrix._LMFunc(len, (1,), None)
    assert obj.__reduce__()[2] == ((1,), len, None)
    obj.__init__(jacf=abs, func=max, args=())
    assert obj.__reduce__()[2] == ((), max, abs)
    fresh = _ombrix._LMFunc.__new__(_ombrix._LMFunc, "ignored")
    assert fresh.__reduce__()[1][2] == (None, None, None)


def test_garbage_collection_traverses_and_clears_the_fields():
    func, args, jacf = (lambda p: p), ("extra",), (lambda p: p)
    obj = _ombrix._LMFunc(func, args, jacf)
    assert gc.is_tracked(obj)
    assert gc.get_referents(obj)[-3:] == [func, jacf, args]

    collected = []

    class Sentinel:
        def __del__(self):
            collected.append(True)

    cycle = _ombrix._LMFunc(Sentinel(), None, None)
    cycle.__init__(cycle.__reduce__()[2][1], (cycle,), None)  # args refer back to the object
    del cycle
    gc.collect()
    assert collected == [True]
