"""ombrix._ombrix: argument binding, scalar conversions and the option checks."""

import math
import re
import warnings

import numpy as np
import pytest

from ombrix import _ombrix

TAIL = ["args", "jacf", "mu", "eps1", "eps2", "eps3", "maxit", "cdiff"]
SIGNATURES = {
    "ombrix": ["func", "p", "x", *TAIL],
    "ombrix_bc": ["func", "p", "x", "bc", *TAIL],
    "ombrix_lec": ["func", "p", "x", "lec", *TAIL],
    "ombrix_blec": ["func", "p", "x", "bc", "lec", *TAIL],
    "ombrix_bleic": ["func", "p", "x", "bc", "lec", "lic", *TAIL],
    "ombrix_blic": ["func", "p", "x", "bc", "lic", *TAIL],
    "ombrix_leic": ["func", "p", "x", "lec", "lic", *TAIL],
    "ombrix_lic": ["func", "p", "x", "lic", *TAIL],
}


def _never_called(p, *args):
    raise AssertionError("the model must not be called")


# Valid values for every parameter; maxit = 0 stops each fitting function at
# its first check after binding, before the model is called.
VALID = {"func": _never_called, "p": [0.5, 0.5], "x": [1.0, 2.0, 3.0], "bc": [(0.0, 1.0), (None, None)],
         "lec": ([1.0, 1.0], [1.0]), "lic": ([1.0, -1.0], [0.0]), "args": (), "jacf": None, "mu": 1e-3,
         "eps1": 1e-10, "eps2": 1e-10, "eps3": 1e-10, "maxit": 0, "cdiff": False}


def ombrix_kwargs(**overrides):
    return {**{name: VALID[name] for name in SIGNATURES["ombrix"]}, **overrides}


class Target:
    """A function under test: its parameters, a valid call and what a
    successfully bound call does."""

    def __init__(self, name, function, params, values, bound_error=None):
        self.name, self.function, self.params, self.values = name, function, params, values
        self.bound_error = bound_error

    def __repr__(self):
        return self.name


def _targets():
    for name, params in SIGNATURES.items():
        yield Target(name, getattr(_ombrix, name), params, [VALID[p] for p in params],
                     (ValueError, "maxit must be a positive int"))
    yield Target("__pyx_unpickle__LMFunc", _ombrix.__pyx_unpickle__LMFunc,
                 ["__pyx_type", "__pyx_checksum", "__pyx_state"], [_ombrix._LMFunc, 0xc2e87f6, None])
    instance = _ombrix._LMFunc.__new__(_ombrix._LMFunc)
    yield Target("__init__", lambda *a, **k: instance.__init__(*a, **k), ["func", "args", "jacf"], [len, (), None])


TARGETS = list(_targets())


def _count_message(target, given):
    count = len(target.params)
    return rf"^{re.escape(target.name)}\(\) takes exactly {count} positional arguments \({given} given\)$"


def _case(target, case):
    """(args, kwargs, expected exception type, message pattern) of one case."""
    values, params = target.values, target.params
    everything = dict(zip(params, values))
    n = len(params)
    if case == "too few":
        return values[:-1], {}, TypeError, _count_message(target, n - 1)
    if case == "too many":
        return values + [None], {}, TypeError, _count_message(target, n + 1)
    if case == "none":
        return [], {}, TypeError, _count_message(target, 0)
    if case == "keywords in any order":
        return [], dict(reversed(everything.items())), None, None
    if case == "mixed":
        return values[:2], dict(list(everything.items())[2:]), None, None
    if case == "second missing":  # counted as given: the arguments bound before the first missing one
        return values[:1], {k: v for k, v in list(everything.items())[2:]}, TypeError, _count_message(target, 1)
    if case == "duplicate":
        return values, {params[0]: values[0]}, TypeError, \
            rf"^{re.escape(target.name)}\(\) got multiple values for keyword argument '{params[0]}'$"
    if case == "unknown":
        return values, {"bogus": 1}, TypeError, \
            rf"^{re.escape(target.name)}\(\) got an unexpected keyword argument 'bogus'$"
    if case == "missing before unknown":
        return values[:-1], {"bogus": 1}, TypeError, _count_message(target, n - 1)
    if case == "duplicate before unknown in keyword order":
        return values, {params[1]: values[1], "bogus": 1}, TypeError, \
            rf"^{re.escape(target.name)}\(\) got multiple values for keyword argument '{params[1]}'$"
    raise AssertionError(case)


CASES = ["too few", "too many", "none", "keywords in any order", "mixed", "second missing", "duplicate", "unknown",
         "missing before unknown", "duplicate before unknown in keyword order"]


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("target", TARGETS, ids=repr)
def test_argument_binding(target, case):
    args, kwargs, error, pattern = _case(target, case)
    if error is None:
        error, pattern = target.bound_error or (None, None)
    if error is None:
        target.function(*args, **kwargs)
    else:
        with pytest.raises(error, match=pattern):
            target.function(*args, **kwargs)


def test_keyword_that_is_not_a_string():
    # The interpreter refuses such keywords before a fast call; a call through
    # an argument dict reaches the binder.
    with pytest.raises(TypeError, match="keywords must be strings"):
        _ombrix.ombrix(**{1: 2})
    instance = _ombrix._LMFunc.__new__(_ombrix._LMFunc)
    with pytest.raises(TypeError, match=r"^__init__\(\) keywords must be strings$"):
        instance.__init__(len, (), None, **{1: 2})
    with pytest.raises(TypeError, match=r"^__init__\(\) keywords must be strings$"):
        _ombrix._LMFunc(len, (), None, **{1: 2})


# ---- scalar conversions, in the order mu, eps1, eps2, eps3, maxit, cdiff ----

class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class IntLike:
    def __int__(self):
        return 4


class BadInt:
    def __int__(self):
        return "four"


@pytest.mark.parametrize("overrides, error, message", [
    ({"mu": "1"}, TypeError, "must be real number, not str"),
    ({"eps3": None}, TypeError, "must be real number, not NoneType"),
    ({"maxit": "3"}, TypeError, "^an integer is required$"),
    ({"maxit": None}, TypeError, "^an integer is required$"),
    ({"maxit": BadInt()}, TypeError, r"^__int__ returned non-int \(type str\)$"),
    ({"maxit": 2 ** 31}, OverflowError, "^value too large to convert to int$"),
    ({"maxit": -2 ** 31 - 1}, OverflowError, "^value too large to convert to int$"),
    ({"maxit": 2 ** 100}, OverflowError, "^value too large to convert to int$"),
    ({"cdiff": Truthless()}, ZeroDivisionError, "no truth"),
    # conversions come before the arrays, and in parameter order
    ({"mu": "1", "eps1": "1", "p": [[1.0]]}, TypeError, "must be real number, not str"),
    ({"eps2": "x", "maxit": "x"}, TypeError, "must be real number, not str"),
    ({"maxit": "x", "cdiff": Truthless()}, TypeError, "^an integer is required$"),
    ({"cdiff": Truthless(), "p": [[1.0]]}, ZeroDivisionError, "no truth"),
])
def test_scalar_conversion_errors(overrides, error, message):
    with pytest.raises(error, match=message):
        _ombrix.ombrix(**ombrix_kwargs(**overrides))


@pytest.mark.parametrize("maxit, iterations", [(2.9, 2), (True, 1), (IntLike(), 4), (np.int64(3), 3)])
def test_maxit_integer_conversion(line, maxit, iterations):
    with pytest.warns(UserWarning, match="Stop by `maxit`"):
        p, pcov, info = _ombrix.ombrix(**line.kwargs(p=np.array([50.0, -40.0]), jacf=None, mu=1e3, maxit=maxit))
    assert info[2] == iterations


# ---- option checks and their order ----

@pytest.mark.parametrize("overrides, error, message", [
    ({"eps1": 0.0}, ValueError, "^eps1 must be less than 1$"),
    ({"eps1": 1.0}, ValueError, "^eps1 must be less than 1$"),
    ({"eps1": -0.5}, ValueError, "^eps1 must be less than 1$"),
    ({"eps1": math.nan}, ValueError, "^eps1 must be less than 1$"),
    ({"eps2": 1.0, "eps3": 5.0}, ValueError, "^eps2 must be less than 1$"),
    ({"eps3": math.inf}, ValueError, "^eps3 must be less than 1$"),
    # options before maxit, maxit before func, func before jacf
    ({"eps1": 1.0, "maxit": 0}, ValueError, "^eps1 must be less than 1$"),
    ({"func": 5, "maxit": 0}, ValueError, "^maxit must be a positive int$"),
    ({"maxit": -3}, ValueError, "^maxit must be a positive int$"),
    ({"func": 5, "jacf": 5, "maxit": 1}, TypeError, "^func must be callable$"),
    # the arrays before the options
    ({"p": [[1.0, 2.0]], "eps1": 1.0}, ValueError, "dimension|deep|depth"),
    ({"x": "abc", "eps1": 1.0}, ValueError, "depth"),
])
def test_option_checks_and_their_order(overrides, error, message):
    with pytest.raises(error, match=message):
        _ombrix.ombrix(**ombrix_kwargs(**overrides))


@pytest.mark.parametrize("eps1", [0.999, 1e-300, 5e-324])
def test_eps_strictly_between_zero_and_one_is_accepted(line, eps1):
    p, pcov, info = _ombrix.ombrix(**line.kwargs(eps1=eps1))
    assert info[3] in _ombrix._LM_STOP_REASONS.values()


@pytest.mark.parametrize("mu", [0.0, -1.0, math.nan])
def test_mu_is_not_checked(line, mu):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            _ombrix.ombrix(**line.kwargs(mu=mu, maxit=3))
        except RuntimeError:
            pass  # the solver's business; the option itself is accepted


def _difference_steps(line, cdiff):
    """Signs of p[0] - p0[0] at the model calls made for the first difference
    Jacobian (after the probe and the initial evaluation)."""
    calls = []

    def func(p):
        calls.append(np.array(p))
        return line.func(p)

    with pytest.warns(UserWarning):
        _ombrix.ombrix(**line.kwargs(func=func, jacf=None, maxit=1, cdiff=cdiff))
    first = calls[1]
    return [float(np.sign(c[0] - first[0])) for c in calls[2:4]]


@pytest.mark.parametrize("cdiff, steps", [
    (False, [1.0, 0.0]), (0, [1.0, 0.0]), ("", [1.0, 0.0]), (None, [1.0, 0.0]),  # forward: p + d e0, p + d e1
    (True, [-1.0, 1.0]), (1, [-1.0, 1.0]), ("yes", [-1.0, 1.0]), ([0], [-1.0, 1.0]),  # central: p - d e0, p + d e0
])
def test_cdiff_truth_value_selects_the_difference_scheme(line, cdiff, steps):
    assert _difference_steps(line, cdiff) == steps
