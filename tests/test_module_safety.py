"""ombrix._ombrix: what a model may do to its arguments, exceptions that must
end a fit, fits that must not report success, and why the solver refused."""

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
