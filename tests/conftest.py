"""Shared test helpers."""

import os
import subprocess
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(TESTS_DIR)

# Set by `make sanitize` to the sanitizer flags: the numeric layer and the
# extension modules are instrumented, the sanitizer runtime is preloaded.
SANITIZED = bool(os.environ.get("OMBRIX_SANITIZE"))


def library_stderr(text):
    """What the library printed on standard error, without the warnings the
    address sanitizer adds when an allocation fails."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if not (SANITIZED and "AddressSanitizer failed to allocate" in line))


def run_isolated(code, timeout=120, env=None):
    """Run `code` in a fresh interpreter (for behaviour that ends the process).

    The tests directory is importable (``import capi``); `env` adds environment
    variables.  Returns the CompletedProcess with text stdout and stderr."""
    env = dict(os.environ, PYTHONPATH=TESTS_DIR, OPENBLAS_NUM_THREADS="1", **(env or {}))
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env, cwd=TESTS_DIR)


@pytest.fixture
def isolated():
    return run_isolated


# ---- models with known answers, for the tests of ombrix._ombrix ----

import numpy as np  # noqa: E402  (kept with the fixtures that use it)

# Tuning values under which the test problems converge to machine precision.
TUNING = {"mu": 1e-3, "eps1": 1e-15, "eps2": 1e-15, "eps3": 1e-20, "maxit": 200, "cdiff": False}


class Problem:
    """A model, its Jacobian, a start, exact data and the parameters that fit it."""

    def __init__(self, func, jacf, p0, x, answer):
        self.func, self.jacf = func, jacf
        self.p0, self.x, self.answer = p0, x, answer

    def kwargs(self, **overrides):
        """Keyword arguments of a fitting function for this problem (with its
        Jacobian), with `overrides` added or replacing them."""
        return {"func": self.func, "p": self.p0.copy(), "x": self.x, "args": (), "jacf": self.jacf, **TUNING,
                **overrides}


def _decay():
    t = np.linspace(0.0, 4.0, 20)

    def func(p):
        return p[0] * np.exp(-p[1] * t)

    def jacf(p):
        e = np.exp(-p[1] * t)
        return np.stack([e, -p[0] * t * e], axis=1)

    answer = np.array([3.0, 0.7])
    return Problem(func, jacf, np.array([1.0, 1.0]), func(answer), answer)


@pytest.fixture
def decay():
    """y = a exp(-b t) at 20 points, fitted from (1, 1) to exact data of (3, 0.7)."""
    return _decay()


@pytest.fixture
def rosenbrock():
    """Rosenbrock's function as two residuals, minimised at (1, 1) from (-1.2, 1)."""

    def func(p):
        return np.array([10.0 * (p[1] - p[0] ** 2), 1.0 - p[0]])

    def jacf(p):
        return np.array([[-20.0 * p[0], 10.0], [-1.0, 0.0]])

    return Problem(func, jacf, np.array([-1.2, 1.0]), np.zeros(2), np.array([1.0, 1.0]))


@pytest.fixture
def line():
    """The linear model p0 + p1 t at 5 points, exact data of (1, 2): a problem
    on which every fit, constrained or not, takes a known path."""
    t = np.arange(5.0)
    design = np.stack([np.ones_like(t), t], axis=1)
    return Problem(lambda p: design @ p, lambda p: design.copy(), np.array([0.0, 0.0]), design @ [1.0, 2.0],
                   np.array([1.0, 2.0]))


@pytest.fixture
def broken_after():
    """broken_after(model, calls, outcome): the model for its first `calls`
    calls (the probe counts), then `outcome` on every later call: raised when
    it is an exception, returned otherwise."""

    def make(model, calls, outcome):
        count = [0]

        def broken(p, *args):
            count[0] += 1
            if count[0] <= calls:
                return model(p, *args)
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome(p) if callable(outcome) else outcome

        broken.count = count
        return broken

    return make
