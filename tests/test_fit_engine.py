"""ombrix.fit on the trust-region engine: its statuses as Status, a stop by
the model's exception (BaseException too) through every path, and robust
losses with known answers."""

import numpy as np
import pytest

from ombrix import Status, fit

X = np.linspace(0.0, 3.0, 30)
TRUE = np.array([2.0, 0.5])


def decay(p):
    return p[0] * np.exp(-p[1] * X)


def decay_jac(p):
    e = np.exp(-p[1] * X)
    return np.stack([e, -p[0] * X * e], axis=1)


Y = decay(TRUE)


def test_a_wrong_jacobian_stalls_as_a_failure_that_says_so():
    # the sign of the second column is wrong: no step lowers chi-square
    def wrong(p):
        return decay_jac(p) * [1.0, -1.0]

    r = fit(decay, [1.0, 1.0], Y, jac=wrong)
    assert r.status is Status.STALLED and not r.success
    assert "Jacobian may be wrong" in r.message
    assert r.chisq <= r.initial_chisq


class Interrupt(BaseException):
    pass


# every path the engine runs: its own differences, the binding's differences with
# equalities eliminated, guarded rounds of the active-set method, an analytic Jacobian
PATHS = {
    "differences": dict(),
    "central": dict(diff="central"),
    "eq": dict(eq=([1.0, 1.0], [2.5])),
    "bounds": dict(bounds=([0.0, 0.0], [10.0, 0.4])),
    "analytic": dict(jac=decay_jac),
}


@pytest.mark.parametrize("error", [ValueError("model failed"), Interrupt()], ids=["Exception", "BaseException"])
@pytest.mark.parametrize("fail_at", [1, 3, 9])
@pytest.mark.parametrize("path", PATHS)
def test_an_exception_from_the_model_stops_the_fit_and_propagates_unchanged(path, fail_at, error):
    calls = []

    def model(p):
        calls.append(p)
        if len(calls) == fail_at:
            raise error
        return decay(p)

    with pytest.raises(type(error)) as caught:
        fit(model, [1.0, 1.0], Y, **PATHS[path])
    assert caught.value is error
    assert len(calls) == fail_at  # nothing called after it


@pytest.mark.parametrize("path", ["differences", "eq", "bounds"])
def test_an_exception_from_the_jacobian_stops_the_fit(path):
    calls = []

    def jac(p):
        calls.append(p)
        if len(calls) == 2:
            raise Interrupt()
        return decay_jac(p)

    with pytest.raises(Interrupt):
        fit(decay, [1.0, 1.0], Y, jac=jac, **{k: v for k, v in PATHS[path].items()})
    assert len(calls) == 2
