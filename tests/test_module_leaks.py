"""ombrix._ombrix: repeated fits, successful and failing, keep references and memory flat."""

import copy
import gc
import sys
import tracemalloc
import warnings

import pytest

from ombrix import _ombrix


CONSTRAINTS = {"bc": [(-10.0, 10.0), (-10.0, 10.0)], "lec": ([1.0, -1.0], [-1.0]), "lic": ([0.0, 1.0], [0.0])}


def _failing_after(model, calls, error, every=1):
    """The model for its first `calls` calls, then raising `error` on every
    `every`-th call."""
    count = [0]

    def failing(p, *args):
        count[0] += 1
        if count[0] > calls and (count[0] - calls) % every == 0:
            raise error("failing")
        return model(p, *args)

    return failing


def _each_path(problem, func, jacf, args):
    """One round over the module's paths: fits with and without a Jacobian, a
    warned result, argument, option and probe errors, callbacks failing now
    and then, always, or with a BaseException, constraint preparation errors
    and copying."""
    kwargs = problem.kwargs(func=func, jacf=jacf, args=args)
    _ombrix.ombrix(**kwargs)
    _ombrix.ombrix(**{**kwargs, "jacf": None, "cdiff": True})
    with warnings.catch_warnings():  # warned results
        warnings.simplefilter("ignore")
        _ombrix.ombrix(**{**kwargs, "maxit": 1})
        _ombrix.ombrix(**{**kwargs, "mu": -1.0})
        _ombrix.ombrix_lic(**{**kwargs, "lic": ([0.0, 0.0], [1.0])})
    with pytest.raises(RuntimeError):  # refused by the solver, with a note
        _ombrix.ombrix(**{**kwargs, "func": lambda p, *a: func(p, *a)[:1], "jacf": None, "x": problem.x[:1]})
    for bad in ({"eps2": 2.0}, {"bogus": 1}, {"maxit": "x"}, {"x": [[1.0]]}, {"p": [1.0, 2.0, 3.0]}):
        with pytest.raises((TypeError, ValueError, RuntimeError)):
            _ombrix.ombrix(**{**kwargs, **bad})
    with warnings.catch_warnings():  # model raising now and then, reported as unraisable
        warnings.simplefilter("ignore")
        _ombrix.ombrix(**{**kwargs, "func": _failing_after(func, 3, ZeroDivisionError, every=2)})
    with pytest.raises(RuntimeError):  # every evaluation raising: no result
        _ombrix.ombrix(**{**kwargs, "jacf": None, "func": _failing_after(func, 1, ZeroDivisionError)})
    for name, extra in (("ombrix", {}), ("ombrix_bleic", CONSTRAINTS)):  # a BaseException ends the fit
        with pytest.raises(KeyboardInterrupt):
            getattr(_ombrix, name)(**{**kwargs, **extra, "jacf": _failing_after(jacf, 2, KeyboardInterrupt)})
    for bc, lec in ((5, None), ([(0, 1)], None), (None, [1.0, 2.0]), (None, ([1.0, 2.0, 3.0], [1.0]))):
        with pytest.raises((TypeError, ValueError)):
            if bc is not None:
                _ombrix.ombrix_bc(**{**kwargs, "bc": bc})
            else:
                _ombrix.ombrix_lec(**{**kwargs, "lec": lec})
    copy.copy(_ombrix._LMFunc(func, args, jacf))  # through __reduce__ and the unpickling function


def test_repeated_fits_keep_references_and_memory_flat(line, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    monkeypatch.setattr(sys, "excepthook", lambda *exc: None)  # the traceback printed for each report

    def func(p, scale):
        return line.func(p) * scale

    def jacf(p, scale):
        return line.jacf(p) * scale

    args = (1.0,)
    for _ in range(30):  # warm-up: caches, interned strings, free lists
        _each_path(line, func, jacf, args)
    gc.collect()
    counts = [sys.getrefcount(o) for o in (func, jacf, args)]
    tracemalloc.start()
    try:
        for _ in range(50):
            _each_path(line, func, jacf, args)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(600):
            _each_path(line, func, jacf, args)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in (func, jacf, args)] == counts
    assert after - before < 64 * 1024, f"traced memory grew by {after - before} bytes"
