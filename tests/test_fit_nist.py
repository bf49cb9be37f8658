"""ombrix.fit on NIST's reference problems: certified parameters, residual sum
of squares and standard deviations, with analytic and difference Jacobians,
to the digits the sum of squares resolves on each problem."""

import numpy as np
import pytest

from ombrix import Status, fit, nist
from ombrix import _fit as _fit_module

# BoxBOD's first start overflows exp on the first step (tested below).
CASES = [(name, start) for name in nist.problems() for start in (1, 2) if (name, start) != ("BoxBOD", 1)]


@pytest.fixture(scope="module")
def problems():
    return {name: nist.load(name) for name in nist.problems()}


def _fit(prob, start, **options):
    return fit(prob.model, prob.starts[start - 1], prob.y, args=(prob.x,), **options)


@pytest.mark.parametrize("name, start", CASES)
def test_analytic_jacobian_reaches_certified_values_and_standard_deviations(problems, name, start,
                                                                           resolved_digits, stderr_digits):
    prob = problems[name]
    r = _fit(prob, start, jac=prob.jacobian)
    assert r.success
    # every parameter to the digits the sum of squares tells apart
    assert (nist.lre(r.p, prob.certified, prob.digits) >= resolved_digits(prob)).all()
    assert nist.lre(r.chisq, prob.certified_rss, prob.digits) >= 10.0
    # the covariance from an SVD of the scaled Jacobian keeps the digits of
    # the certified standard deviations, ill-conditioned problems included
    assert (nist.lre(r.stderr, prob.certified_sd, prob.digits) >= stderr_digits(prob)).all()
    assert r.dof == prob.dof
    assert np.sqrt(r.redchi) == pytest.approx(prob.residual_sd, rel=1e-8)


@pytest.mark.parametrize("diff", ["forward", "central"])
@pytest.mark.parametrize("name, start", CASES)
def test_difference_jacobians_reach_the_digits_their_steps_allow(problems, name, start, diff, resolved_digits,
                                                                 stderr_digits):
    prob = problems[name]
    r = _fit(prob, start, diff=diff)
    assert r.success
    # the resolution of the sum of squares, less what the truncation and
    # rounding of the documented difference steps move the minimum by
    assert (nist.lre(r.p, prob.certified, prob.digits) >= resolved_digits(prob, start, diff)).all()
    assert nist.lre(r.chisq, prob.certified_rss, prob.digits) >= 9.0
    # the covariance uses a fresh difference Jacobian at the result
    assert (nist.lre(r.stderr, prob.certified_sd, prob.digits) >= stderr_digits(prob, start, diff)).all()


@pytest.mark.parametrize("name", ["Misra1a", "Kirby2", "Thurber"])
def test_secant_mode_covariance_comes_from_a_fresh_difference_jacobian(problems, name):
    prob = problems[name]
    r = _fit(prob, 2, diff="secant")
    assert r.status in (Status.SMALL_STEP, Status.NO_REDUCTION, Status.SMALL_GRADIENT)
    # whatever the secant updates made of the Jacobian, the result carries
    # (and the covariance uses) a forward-difference Jacobian at r.p
    typical = np.abs(prob.start2)
    f, J, _ = _fit_module.jacobian(prob.model, r.p, (prob.x,), None, "forward", typical, None, None, prob.n)
    np.testing.assert_array_equal(r.jac, J)
    np.testing.assert_array_equal(r.residuals, prob.y - f)
    assert nist.lre(r.stderr, prob.certified_sd, prob.digits).min() >= 3.0


@pytest.mark.parametrize("options", [dict(jac="analytic"), dict(diff="forward"), dict(diff="secant")],
                         ids=["analytic", "forward", "secant"])
def test_boxbod_first_start_overflows_on_the_way(problems, options, resolved_digits):
    # exp overflows on the first steps from start 1: the engine refuses those trial points and
    # goes on to the certified answer; the numeric layer's secant solver stops there, saying so
    prob = problems["BoxBOD"]
    if options.get("jac") == "analytic":
        options = dict(jac=prob.jacobian)
    with np.errstate(over="ignore"):
        r = _fit(prob, 1, scale=False, **options)
    if options.get("diff") == "secant":
        assert r.status is Status.INVALID_VALUES and not r.success
        return
    assert r.success
    assert (nist.lre(r.p, prob.certified, prob.digits) >= resolved_digits(prob, 1, options.get("diff"))).all()
    assert nist.lre(r.chisq, prob.certified_rss, prob.digits) >= 9.0
