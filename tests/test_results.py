"""FitResult beyond its arrays: the model at new points, confidence and
prediction bands, the parameters table, plots and pickling."""

import copy
import math
import pickle
import sys

import numpy as np
import pytest

import ombrix
from ombrix import _results

# A straight line y = a + b x: its bands have a closed form.
X = np.array([0.0, 1.0, 2.0, 3.5, 5.0, 6.0])
Y = np.array([1.1, 2.9, 5.2, 7.8, 11.1, 12.8])
X_NEW = np.array([-2.0, 0.5, 3.0, 10.0])


def line(p, x):
    return p[0] + p[1] * x


def line_jac(p, x):
    return np.stack([np.ones_like(x), x], axis=1)


def line_band_variance(x_fit, x_new, weights, scale):
    """Variance of the fitted line at x_new: scale * [1, x] (X^T W X)^-1 [1, x]^T."""
    design = np.stack([np.ones_like(x_fit), x_fit], axis=1)
    inverse = np.linalg.inv(design.T @ (weights[:, None] * design))
    at = np.stack([np.ones_like(x_new), x_new], axis=1)
    return scale * np.einsum("ij,jk,ik->i", at, inverse, at)


def unweighted_line_variance(x_new):
    """The textbook form: s^2 (1/n + (x - mean)^2 / Sxx), s^2 the residual variance."""
    n = X.size
    slope, intercept = np.polyfit(X, Y, 1)
    s2 = np.sum((Y - intercept - slope * X) ** 2) / (n - 2)
    return s2 * (1 / n + (x_new - X.mean()) ** 2 / np.sum((X - X.mean()) ** 2)), s2


# Central differences in the fit's precision resolve the Jacobian of a line
# (the band's and the covariance's) to about eps**(2/3) of the values; the
# analytic one is exact.
@pytest.mark.parametrize("dtype, rtol", [(np.float64, 1e-8), (np.float32, 2e-3)])
@pytest.mark.parametrize("jac", [None, line_jac], ids=["differences", "analytic"])
def test_confidence_band_of_a_line_has_its_closed_form(dtype, rtol, jac):
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,), jac=jac, diff="central", dtype=dtype)
    variance, s2 = unweighted_line_variance(X_NEW)
    band = result.eval_uncertainty(X_NEW)
    assert band.dtype == dtype and band.shape == X_NEW.shape
    np.testing.assert_allclose(band, np.sqrt(variance), rtol=rtol)
    np.testing.assert_allclose(result.eval_uncertainty(X_NEW, nsigma=2), 2 * np.sqrt(variance), rtol=rtol)
    # without arguments, at the fitted points
    np.testing.assert_allclose(result.eval_uncertainty(), np.sqrt(unweighted_line_variance(X)[0]), rtol=rtol)
    # the prediction band adds the residual variance s^2
    predicted = result.eval_uncertainty(X_NEW, prediction=True)
    np.testing.assert_allclose(predicted ** 2 - band.astype(np.float64) ** 2, s2, rtol=10 * rtol)


def test_confidence_level_uses_students_t_with_the_fits_degrees_of_freedom():
    # 4 points, 2 parameters: dof 2, whose quantile has the closed form (2q-1) / sqrt(2q(1-q))
    x, y = X[:4], Y[:4]
    result = ombrix.fit(line, [0.0, 1.0], y, args=(x,))
    q = 0.975
    t = (2 * q - 1) / math.sqrt(2 * q * (1 - q))
    np.testing.assert_allclose(result.eval_uncertainty(X_NEW, confidence=0.95),
                               t * result.eval_uncertainty(X_NEW), rtol=1e-12)


def test_absolute_sigma_bands_use_the_given_variances_and_the_normal_quantile():
    sigma = np.array([0.2, 0.3, 0.2, 0.5, 0.4, 0.3])
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,), jac=line_jac, sigma=sigma, absolute_sigma=True)
    variance = line_band_variance(X, X_NEW, 1 / sigma ** 2, 1.0)
    np.testing.assert_allclose(result.eval_uncertainty(X_NEW), np.sqrt(variance), rtol=1e-8)
    np.testing.assert_allclose(result.eval_uncertainty(X_NEW, confidence=0.95),
                               1.959963984540054 * np.sqrt(variance), rtol=1e-8)
    new_sigma = np.array([0.1, 0.2, 0.3, 0.4])
    np.testing.assert_allclose(result.eval_uncertainty(X_NEW, prediction=True, sigma=new_sigma),
                               np.sqrt(variance + new_sigma ** 2), rtol=1e-8)
    # at the fitted points the fit's own sigma is the measurement's
    np.testing.assert_allclose(result.eval_uncertainty(prediction=True),
                               np.sqrt(line_band_variance(X, X, 1 / sigma ** 2, 1.0) + sigma ** 2), rtol=1e-8)


def test_relative_sigma_prediction_band_scales_the_measurement_variance_by_redchi():
    sigma = np.array([0.2, 0.3, 0.2, 0.5, 0.4, 0.3])
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,), sigma=sigma)
    confidence = result.eval_uncertainty()
    np.testing.assert_allclose(result.eval_uncertainty(prediction=True) ** 2 - confidence ** 2,
                               sigma ** 2 * result.redchi, rtol=1e-8)
    with pytest.raises(ValueError, match="give sigma= at the new points"):
        result.eval_uncertainty(X_NEW, prediction=True)


def test_eval_gives_the_model_at_the_fitted_parameters():
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,))
    np.testing.assert_array_equal(result.eval(X_NEW), line(result.p, X_NEW))
    np.testing.assert_allclose(result.eval(), Y - result.residuals, rtol=1e-14)


@pytest.mark.parametrize("jacobian", ["analytic", "forward", "central"])
def test_undetermined_parameter_gives_no_finite_band(jacobian):
    # the model depends on p0 * p1 only: neither is determined, nor is the band
    # claimed to be; a difference Jacobian's error must not pass for a
    # determined direction
    options = dict(jac=lambda p, x: np.column_stack([p[1] * x, p[0] * x])) if jacobian == "analytic" else \
        dict(diff=jacobian)
    result = ombrix.fit(lambda p, x: p[0] * p[1] * x, [1.0, 2.0], Y, args=(X,), **options)
    assert result.undetermined.all()
    assert not np.isfinite(result.eval_uncertainty(X_NEW)).any()


@pytest.mark.parametrize("keywords, message", [
    ({"nsigma": 0}, "nsigma must be positive"),
    ({"nsigma": math.nan}, "nsigma must be positive"),
    ({"confidence": 1.0}, r"confidence must lie in \(0, 1\)"),
    ({"confidence": 0.0}, r"confidence must lie in \(0, 1\)"),
    ({"prediction": True, "sigma": [-1.0, 1, 1, 1]}, "sigma must be non-negative"),
    ({"sigma": [1.0, 1, 1, 1]}, "pass prediction=True"),
])
def test_band_arguments_are_checked(keywords, message):
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,))
    with pytest.raises(ValueError, match=message):
        result.eval_uncertainty(X_NEW, **keywords)


def test_jacobian_of_the_wrong_shape_is_refused():
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,), jac=line_jac)
    with pytest.raises(ValueError, match=r"jac must return an array of shape \(4, 2\)"):
        result.eval_uncertainty(X_NEW, jac=lambda p, x: np.ones((4, 3)))


# ---- Student's t quantiles ----

@pytest.mark.parametrize("probability, dof, expected", [
    (0.975, 1, math.tan(math.pi * 0.475)),                         # Cauchy
    (0.9995, 1, 1 / math.tan(math.pi * 0.0005)),
    (0.975, 2, 0.95 / math.sqrt(2 * 0.975 * 0.025)),              # closed form for 2 degrees of freedom
    (0.95, 2, 0.9 / math.sqrt(2 * 0.95 * 0.05)),
    (0.975, 10, 2.228138851986273),                              # tabulated
    (0.995, 30, 2.7499956535672),
    (0.5, 7, 0.0),
    (0.025, 2, -0.95 / math.sqrt(2 * 0.975 * 0.025)),             # symmetric
    (0.975, 10**8, 1.959963984540054 + (1.959963984540054**3 + 1.959963984540054) / 4e8),  # normal + 1/dof term
])
def test_student_t_quantile(probability, dof, expected):
    assert _results.student_t_quantile(probability, dof) == pytest.approx(expected, rel=1e-11, abs=1e-15)


# ---- the parameters table ----

def test_parameters_table_round_trips_names_values_and_errors():
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,), bounds=([-10, 2.0], [10, 5]), names=["a", "b"])
    params = result.params
    assert list(params) == ["a", "b"]
    assert params["a"] == (result.p[0], result.stderr[0]) and params["b"].value == 2.0
    assert params["a"]._fields == ("value", "stderr")
    columns = result.to_columns()
    assert list(columns) == ["name", "value", "stderr", "bound", "undetermined"]
    assert {len(column) for column in columns.values()} == {2}
    rebuilt = {name: (value, error) for name, value, error in zip(columns["name"], columns["value"], columns["stderr"])}
    assert rebuilt == {name: tuple(record) for name, record in params.items()}
    assert list(columns["bound"]) == [0, -1]
    # the table is a copy: changing it leaves the result alone
    columns["value"][0] = 99.0
    assert result.p[0] != 99.0


def test_parameters_default_names_and_pandas_frame():
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,))
    assert list(result.params) == ["p0", "p1"]
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(result.to_columns())
    assert list(frame["name"]) == ["p0", "p1"] and np.array_equal(frame["value"], result.p)


# ---- pickling ----

def test_result_with_a_lambda_model_pickles_without_it():
    result = ombrix.fit(lambda p, x: p[0] + p[1] * x, [0.0, 1.0], Y, args=(X,), jac=lambda p, x: line_jac(p, x))
    restored = pickle.loads(pickle.dumps(result))
    assert restored.model is None and restored.model_jac is None
    np.testing.assert_array_equal(restored.p, result.p)
    np.testing.assert_array_equal(restored.cov, result.cov)
    np.testing.assert_array_equal(restored.args[0], X)
    assert result.model is not None  # the original keeps its model
    with pytest.raises(ValueError, match="holds no model.*pass it as model="):
        restored.eval_uncertainty(X_NEW)
    np.testing.assert_array_equal(restored.eval_uncertainty(X_NEW, model=line, jac=line_jac),
                                  result.eval_uncertainty(X_NEW))


def test_copies_keep_a_lambda_model():
    result = ombrix.fit(lambda p, x: p[0] + p[1] * x, [0.0, 1.0], Y, args=(X,))
    shallow, deep = copy.copy(result), copy.deepcopy(result)
    assert shallow.model is result.model and deep.model is result.model
    assert deep.p is not result.p and deep.args[0] is not X
    np.testing.assert_array_equal(deep.eval_uncertainty(X_NEW), result.eval_uncertainty(X_NEW))


def test_result_with_a_module_level_model_pickles_with_it():
    result = ombrix.fit(np.polyval, [1.0, 0.0], Y, args=(X,), sigma=np.full(X.size, 0.3))
    restored = pickle.loads(pickle.dumps(result))
    assert restored.model is np.polyval
    np.testing.assert_array_equal(restored.sigma, result.sigma)
    np.testing.assert_array_equal(restored.eval_uncertainty(X_NEW), result.eval_uncertainty(X_NEW))


# ---- plotting ----

@pytest.fixture
def pyplot():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib import pyplot
    yield pyplot
    pyplot.close("all")


def test_plot_draws_data_fit_band_and_residuals(pyplot):
    sigma = np.full(X.size, 0.3)
    order = np.array([3, 0, 5, 1, 4, 2])  # unsorted x: the fitted line must still be drawn in order of x
    result = ombrix.fit(line, [0.0, 1.0], Y[order], args=(X[order],), sigma=sigma)
    fig = result.plot(band=True, confidence=0.95, xlabel="x", ylabel="y")
    assert isinstance(fig, pyplot.Figure)
    ax_fit, ax_residuals = fig.axes
    data, = ax_fit.containers
    np.testing.assert_array_equal(data.lines[0].get_ydata(), Y[order])
    segments = data.lines[2][0].get_segments()
    np.testing.assert_allclose([segment[1, 1] - segment[0, 1] for segment in segments], 2 * sigma)
    fitted = ax_fit.lines[-1]
    np.testing.assert_array_equal(fitted.get_xdata(), X)
    np.testing.assert_allclose(fitted.get_ydata(), line(result.p, X), rtol=1e-14)
    band, = [c for c in ax_fit.collections if type(c).__name__ in ("PolyCollection", "FillBetweenPolyCollection")]
    vertices = band.get_paths()[0].vertices
    half = result.eval_uncertainty(X, confidence=0.95)
    assert vertices[:, 1].max() == pytest.approx(np.max(line(result.p, X) + half))
    residuals, = ax_residuals.containers
    np.testing.assert_allclose(residuals.lines[0].get_ydata(), result.residuals, atol=1e-12)
    assert ax_residuals.get_xlabel() == "x" and ax_fit.get_ylabel() == "y"


def test_plot_into_given_axes_and_explicit_x(pyplot):
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,))
    fig, ax = pyplot.subplots()
    assert result.plot(x=10 * X, ax=ax) is fig
    assert fig.axes == [ax] and not ax.collections  # no band, no residual panel
    data, = ax.containers
    assert data.has_yerr is False  # no sigma, no error bars
    np.testing.assert_array_equal(ax.lines[-1].get_xdata(), 10 * X)
    with pytest.raises(ValueError, match=r"x must have shape \(6,\)"):
        result.plot(x=X[:3])
    other = pyplot.figure()
    assert result.plot(fig=other) is other and len(other.axes) == 2
    with pytest.raises(ValueError, match="ax or fig, not both"):
        result.plot(ax=ax, fig=other)


def test_plot_without_matplotlib_says_what_to_install(monkeypatch):
    result = ombrix.fit(line, [0.0, 1.0], Y, args=(X,))
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"needs matplotlib.*ombrix\[examples\]"):
        result.plot()
