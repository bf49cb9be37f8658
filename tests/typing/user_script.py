"""A user's script, checked by mypy --strict against the installed package."""

import numpy as np
import numpy.typing as npt

import ombrix
from ombrix import FitResult, Status, nist


def model(p: npt.NDArray[np.float64], t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    values: npt.NDArray[np.float64] = p[0] * np.exp(-p[1] * t) + p[2]
    return values


def jacobian(p: npt.NDArray[np.float64], t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    decay = np.exp(-p[1] * t)
    return np.stack([decay, -p[0] * t * decay, np.ones_like(t)], axis=1)


def curve(t: npt.NDArray[np.float64], amplitude: float, rate: float, offset: float) -> npt.NDArray[np.float64]:
    return amplitude * np.exp(-rate * t) + offset


t = np.linspace(0.0, 4.0, 40)
y = curve(t, 3.0, 0.7, 0.5)

result: FitResult = ombrix.fit(model, [1.0, 1.0, 0.0], y, args=(t,), jac=jacobian, bounds=([0, 0, -1], [10, 5, 1]),
                               diff="central", loss="soft_l1", f_scale=0.1, names=["amplitude", "rate", "offset"])
errors: npt.NDArray[np.floating] = result.stderr
chisq: float = result.chisq
converged: bool = result.success and result.status is not Status.MAX_ITERATIONS
rate = result.params["rate"].value
band = result.eval_uncertainty(np.linspace(0.0, 6.0, 10), confidence=0.95)
summary: str = result.report(min_correlation=0.5)
agreement = ombrix.check_jacobian(model, jacobian, result.p, args=(t,))

batch: ombrix.FitBatch = ombrix.fit_many(model, [1.0, 1.0, 0.0], np.stack([y, 2 * y]), args=(t,), jac=jacobian,
                                         sigma=np.full(t.size, 0.1), workers=2)
rates: npt.NDArray[np.floating] = batch.p[:, 1]
first: FitResult = batch[0]
failed: dict[Status, int] = batch.failures()

popt, pcov = ombrix.curve_fit(curve, t, y, p0=[1.0, 1.0, 0.0], jac="3-point", method="trf")
problem = nist.load(nist.problems()[0])
certified_digits = nist.lre(problem.rss(problem.certified), problem.certified_rss)
print(errors, chisq, converged, rate + 1.0, band.max(), summary, agreement.min(), popt, pcov, problem.n,
      certified_digits, rates.mean(), first.chisq, len(failed), batch.summary())
