"""ombrix.fit_many: every row fitted as fit fits it, for each model form and
precision; failures stay in their row; exceptions propagate; compiled
models through ctypes, LowLevelCallable and numba; threads; Dask."""

import ctypes
import importlib.util
import shutil
import subprocess
import sys

import numpy as np
import pytest

import ombrix
from ombrix import FitBatch, Status

CC = shutil.which("cc") or shutil.which("gcc")
needs_cc = pytest.mark.skipif(CC is None, reason="no C compiler")

T = np.arange(30) / 10.0  # the C functions' times when they get no user data: t_i = i / 10
TRUE = np.array([3.0, 0.7, 0.5])
K = 12

C_SOURCE = r"""
#include <math.h>
/* a exp(-k t) + c, t from user_data (n doubles) or t_i = i / 10 */
static double time_at(const void *user_data, int i) { return user_data ? ((const double *)user_data)[i] : i / 10.0; }
void decay(const double *p, double *out, int m, int n, void *user_data) {
  (void)m;
  for (int i = 0; i < n; ++i) out[i] = p[0] * exp(-p[1] * time_at(user_data, i)) + p[2];
}
void decay_jac(const double *p, double *out, int m, int n, void *user_data) {
  for (int i = 0; i < n; ++i) {
    const double t = time_at(user_data, i), e = exp(-p[1] * t);
    out[i * m] = e; out[i * m + 1] = -p[0] * t * e; out[i * m + 2] = 1;
  }
}
void decay_float(const float *p, float *out, int m, int n, void *user_data) {
  (void)m; (void)user_data;
  for (int i = 0; i < n; ++i) out[i] = p[0] * expf(-p[1] * (i / 10.0f)) + p[2];
}
/* NaN beyond an amplitude of 5: a fit whose data need more cannot converge */
void capped(const double *p, double *out, int m, int n, void *user_data) {
  decay(p, out, m, n, user_data);
  if (p[0] > 5) for (int i = 0; i < n; ++i) out[i] = NAN;
}
"""

_REAL = {np.float64: ctypes.c_double, np.float32: ctypes.c_float}


def prototype(dtype=np.float64):
    real = ctypes.POINTER(_REAL[dtype])
    return ctypes.CFUNCTYPE(None, real, real, ctypes.c_int, ctypes.c_int, ctypes.c_void_p)


@pytest.fixture(scope="module")
def clib(tmp_path_factory):
    if CC is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("models")
    (folder / "models.c").write_text(C_SOURCE)
    library = folder / "libmodels.so"
    subprocess.run([CC, "-O2", "-shared", "-fPIC", "-ffp-contract=off", str(folder / "models.c"), "-o", str(library),
                    "-lm"], check=True)
    lib = ctypes.CDLL(str(library))
    return lib


def c_function(lib, name, dtype=np.float64):
    return prototype(dtype)((name, lib))


def decay(p, t=T):
    return p[0] * np.exp(-p[1] * t) + p[2]


def decay_jac(p, t=T):
    e = np.exp(-p[1] * t)
    return np.column_stack([e, -p[0] * t * e, np.ones_like(t)])


def decay_vectorized(P, t=T):
    return P[:, :1] * np.exp(-P[:, 1:2] * t) + P[:, 2:3]


def decay_vectorized_row(p, t=T):
    return decay_vectorized(np.asarray(p)[None, :], t)[0]


def data(k=K, amplitude=None, seed=0):
    rng = np.random.default_rng(seed)
    a = np.full(k, TRUE[0]) if amplitude is None else np.asarray(amplitude, dtype=float)
    return a[:, None] * np.exp(-TRUE[1] * T) + TRUE[2] + rng.normal(0, 0.02, (k, T.size))


def starts(k=K, seed=1):
    return TRUE * np.random.default_rng(seed).uniform(0.8, 1.2, (k, 3))


def assert_same_fit(a, b):
    """Two FitResults of the same fit, to the last bit."""
    for name in ("p", "cov", "stderr", "residuals", "jac"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    assert (a.chisq, a.status, a.nfev, a.njev, a.iterations) == (b.chisq, b.status, b.nfev, b.njev, b.iterations)


def assert_rows_are_fits(batch, fit_row, k):
    assert len(batch) == k
    for i in range(k):
        expected = fit_row(i)
        assert_same_fit(batch[i], expected)
        np.testing.assert_array_equal(batch.p[i], expected.p)
        np.testing.assert_array_equal(batch.cov[i], expected.cov)
        np.testing.assert_array_equal(batch.stderr[i], expected.stderr)
        assert (batch.chisq[i], batch.status[i], batch.success[i], batch.nfev[i]) == (
            expected.chisq, expected.status, expected.success, expected.nfev)


# ---- each row as fit fits it ----

@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("form", ["plain", "plain-jac", "vectorized", "vectorized-jac"])
def test_rows_equal_fit_for_python_models(form, dtype):
    y, p0 = data(), starts()
    sigma = np.linspace(0.01, 0.03, T.size)
    vectorized = form.startswith("vectorized")
    with_jac = form.endswith("jac")
    model = decay_vectorized if vectorized else decay
    row_model = decay_vectorized_row if vectorized else decay
    jac = None
    if with_jac:
        jac = (lambda P: np.stack([decay_jac(p) for p in P])) if vectorized else decay_jac
    batch = ombrix.fit_many(model, p0, y, jac=jac, sigma=sigma, dtype=dtype, vectorized=vectorized)
    assert batch.p.dtype == dtype and batch.p.shape == (K, 3) and batch.cov.shape == (K, 3, 3)
    assert batch.success.all()
    assert_rows_are_fits(batch, lambda i: ombrix.fit(row_model, p0[i], y[i], jac=decay_jac if with_jac else None,
                                                     sigma=sigma, dtype=dtype), K)


@needs_cc
@pytest.mark.parametrize("dtype, name, jac_name", [(np.float64, "decay", None), (np.float64, "decay", "decay_jac"),
                                                   (np.float32, "decay_float", None)])
def test_rows_equal_fit_for_compiled_models(clib, dtype, name, jac_name):
    y, p0 = data(), starts()
    model = c_function(clib, name, dtype)
    jac = c_function(clib, jac_name, dtype) if jac_name else None
    batch = ombrix.fit_many(model, p0, y, jac=jac, dtype=dtype, bounds=([0, 0, -1], [10, 5, 1]))
    assert batch.success.all()
    # the truth within what the noise leaves: 5 standard errors
    assert (np.abs(batch.p - TRUE) < 5 * batch.stderr).all()
    assert_rows_are_fits(batch, lambda i: ombrix.fit(model, p0[i], y[i], jac=jac, dtype=dtype,
                                                     bounds=([0, 0, -1], [10, 5, 1])), K)


SIGMAS = {
    "no sigma": lambda k: None,
    "shared sigma": lambda k: np.linspace(0.01, 0.03, T.size),
    "per-fit sigma": lambda k: np.random.default_rng(11).uniform(0.01, 0.05, (k, T.size)),
}


def assert_batch_rows_are_fits(batch, fit_row, k):
    """Every stacked array of the batch, and batch[i], as fit makes them for row i."""
    assert_rows_are_fits(batch, fit_row, k)
    for i in range(k):
        expected = batch[i]
        assert (batch.njev[i], batch.iterations[i]) == (expected.njev, expected.iterations)
        np.testing.assert_array_equal(batch.redchi[i], expected.redchi)


# The fits a compiled model needs no Python for: all rows in one call of the binding, row i as fit fits it.
@needs_cc
@pytest.mark.parametrize("sigma", SIGMAS)
@pytest.mark.parametrize("dtype, name, jac_name, options", [
    (np.float64, "decay", None, {}),
    (np.float64, "decay", "decay_jac", {}),
    (np.float64, "decay", None, dict(diff="central", absolute_sigma=True)),
    (np.float64, "decay", "decay_jac", dict(loss="soft_l1", f_scale=0.5, step_tol=1e-10)),
    (np.float32, "decay_float", None, {}),
])
def test_compiled_batch_rows_equal_fit(clib, monkeypatch, sigma, dtype, name, jac_name, options):
    y, p0 = data(), starts()
    sigma = SIGMAS[sigma](K)
    model = c_function(clib, name, dtype)
    jac = c_function(clib, jac_name, dtype) if jac_name else None
    with monkeypatch.context() as patch:  # no fit row by row
        patch.setattr("ombrix._many.fit", None)
        batch = ombrix.fit_many(model, p0, y, jac=jac, sigma=sigma, dtype=dtype, workers=2, **options)
    assert batch.p.dtype == dtype and batch.cov.dtype == dtype and batch.success.all()
    assert (np.abs(batch.p - TRUE) < 5 * batch.stderr).all()
    row_sigma = (lambda i: sigma[i]) if sigma is not None and sigma.ndim == 2 else (lambda i: sigma)
    assert_batch_rows_are_fits(batch, lambda i: ombrix.fit(model, p0[i], y[i], jac=jac, sigma=row_sigma(i),
                                                           dtype=dtype, **options), K)


@needs_cc
def test_compiled_batch_start_where_the_model_is_not_finite(clib):
    # capped is NaN beyond an amplitude of 5: row 1 starts there, the others fit as fit fits them
    p0 = np.tile(TRUE, (4, 1))
    p0[1, 0] = 6.0
    y = data(4)
    model = c_function(clib, "capped")
    batch = ombrix.fit_many(model, p0, y)
    assert list(batch.success) == [True, False, True, True]
    refused = batch[1]
    assert refused.status == Status.INVALID_VALUES and "not finite at the start point" in refused.message
    np.testing.assert_array_equal(refused.p, p0[1])
    np.testing.assert_array_equal(batch.p[1], p0[1])
    assert np.isnan(batch.stderr[1]).all() and np.isnan(batch.cov[1]).all() and np.isnan(batch.chisq[1])
    assert (batch.status[1], batch.nfev[1], batch.njev[1], batch.iterations[1]) == (Status.INVALID_VALUES, 1, 0, 0)
    for i in (0, 2, 3):
        assert_same_fit(batch[i], ombrix.fit(model, p0[i], y[i]))


@needs_cc
def test_compiled_batch_results_join_and_pickle(clib):
    import pickle

    y, p0 = data(6), starts(6)
    model = c_function(clib, "decay")
    first, second = ombrix.fit_many(model, p0[:4], y[:4]), ombrix.fit_many(model, p0[4:], y[4:])
    joined = FitBatch.concatenate([first, second])
    assert len(joined) == 6 and joined.p.shape == (6, 3)
    assert_same_fit(joined[-1], ombrix.fit(model, p0[5], y[5]))
    assert_same_fit(joined[1], first[1])
    copy = pickle.loads(pickle.dumps(joined))  # the model is dropped, the fits kept
    np.testing.assert_array_equal(copy[5].p, joined[5].p)
    assert copy[5].model is None and [r.status for r in copy] == [r.status for r in joined]


@needs_cc
@pytest.mark.parametrize("change, error, message", [
    (lambda a: a["p0"].__setitem__((2, 1), np.inf), ValueError, r"p0 must be finite: p0\[2, 1\] is inf"),
    (lambda a: a.update(sigma=np.where(np.arange(T.size) == 7, -1.0, np.full((K, T.size), 0.02))), ValueError,
     "sigma must be positive and finite"),
    (lambda a: a.update(args=(T,)), TypeError, "no args"),
    (lambda a: a.update(loss="squared"), ValueError, "loss"),
])
def test_compiled_batch_bad_arguments(clib, change, error, message):
    arguments = dict(p0=starts(), sigma=None)
    change(arguments)
    with pytest.raises(error, match=message):
        ombrix.fit_many(c_function(clib, "decay"), arguments.pop("p0"), data(), **arguments)


@needs_cc
def test_engine_solve_many_refuses_bad_arguments(clib):
    from ombrix import _common, _compiled, _fit

    model = _compiled.resolve(c_function(clib, "decay"), np.dtype(np.float64), 3, T.size)
    engine = _common.engine_arguments(_common.engine_settings(), None, None, TRUE, np.dtype(np.float64))
    good = dict(model=model, p0=starts(), y=data(), jac=None, weights=None, diff="forward", tau=1e-3, max_iter=100,
                engine=engine, single=False, workers=1)
    cases = [
        (dict(model=decay), TypeError, "takes a compiled model"),
        (dict(workers=0), ValueError, "workers must be at least 1"),
        (dict(weights=np.ones((K, 7))), ValueError, "weights has shape"),
        (dict(y=data(5)), ValueError, "y has shape"),
        (dict(p0=np.ones((K, 0))), ValueError, "must not be empty"),
        (dict(diff="secant"), ValueError, "forward' or 'central"),
        (dict(max_iter=0), ValueError, "max_iter must be at least 1"),
        (dict(single=True), TypeError, "double precision"),
        (dict(engine=engine[:7] + (TRUE, np.eye(3), np.zeros(3))), ValueError, "origin, basis and z0 None"),
    ]
    for change, error, message in cases:
        with pytest.raises(error, match=message):
            _fit.engine_solve_many(**{**good, **change})
    out = _fit.engine_solve_many(**good)
    assert out["p"].shape == (K, 3) and out["J"].shape == (K, T.size, 3) and (out["status"] > 0).all()


@needs_cc
def test_compiled_batch_progress_bar_counts_the_fits(clib, capsys):
    pytest.importorskip("tqdm")
    batch = ombrix.fit_many(c_function(clib, "decay"), TRUE, data(250), progress=True)
    assert len(batch) == 250 and batch.success.all()
    assert "250/250" in capsys.readouterr().err


@needs_cc
def test_compiled_model_fits_as_the_python_one(clib):
    # the same arithmetic in C and NumPy: the same fit (exp may differ in its last bit between libm and
    # NumPy, so the parameters agree to what chi-square resolves, not bit for bit)
    y = data(1)[0]
    compiled = ombrix.fit(c_function(clib, "decay"), TRUE * 1.1, y, jac=c_function(clib, "decay_jac"))
    python = ombrix.fit(decay, TRUE * 1.1, y, jac=decay_jac)
    assert compiled.success and python.success
    np.testing.assert_allclose(compiled.p, python.p, rtol=1e-6 * np.linalg.cond(python.jac))
    np.testing.assert_allclose(compiled.stderr, python.stderr, rtol=1e-6)


@needs_cc
def test_workers_share_the_fits_exactly(clib):
    y, p0 = data(40, seed=3), starts(40, seed=4)
    model, jac = c_function(clib, "decay"), c_function(clib, "decay_jac")
    one = ombrix.fit_many(model, p0, y, jac=jac, workers=1)
    two = ombrix.fit_many(model, p0, y, jac=jac, workers=2)
    for name in ("p", "cov", "stderr", "chisq", "redchi", "status", "success", "nfev", "njev", "iterations"):
        np.testing.assert_array_equal(getattr(one, name), getattr(two, name), err_msg=name)
    for i in (0, 17, 39):
        assert_same_fit(one[i], two[i])

@needs_cc
def test_a_row_owes_nothing_to_the_rows_before(clib):
    # One worker runs every row with the same memory.  Row 1 has exactly
    # constant data and starts at amplitude 0: it stops at once, and its decay
    # rate is undetermined (a zero column of J, variance +inf).  Row 3 repeats
    # row 0 after it, so both must be the same fit, and every row the fit of
    # its own.
    y, p0 = data(4), starts(4)
    y[1], p0[1] = 0.5, [0.0, 0.7, 0.5]
    y[3], p0[3] = y[0], p0[0]
    model, jac = c_function(clib, "decay"), c_function(clib, "decay_jac")
    batch = ombrix.fit_many(model, p0, y, jac=jac, workers=1)
    assert np.isinf(batch.cov[1][1]).all() and np.isinf(batch.cov[1][:, 1]).all()
    assert np.isfinite(np.delete(np.delete(batch.cov[1], 1, 0), 1, 1)).all()
    assert_same_fit(batch[3], batch[0])
    assert_rows_are_fits(batch, lambda i: ombrix.fit(model, p0[i], y[i], jac=jac), 4)



@needs_cc
def test_low_level_callable_passes_its_user_data(clib):
    scipy = pytest.importorskip("scipy")
    t = np.linspace(0, 5, T.size)  # other times than the C functions' default
    y = decay(TRUE, t)[None, :] + np.random.default_rng(5).normal(0, 0.02, (4, t.size))
    user_data = ctypes.cast(t.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), ctypes.c_void_p)
    model = scipy.LowLevelCallable(c_function(clib, "decay"), user_data)
    jac = scipy.LowLevelCallable(c_function(clib, "decay_jac"), user_data)
    batch = ombrix.fit_many(model, TRUE * 1.1, y, jac=jac)
    expected = ombrix.fit_many(decay, TRUE * 1.1, y, args=(t,), jac=decay_jac)
    assert batch.success.all()
    np.testing.assert_allclose(batch.p, expected.p, rtol=1e-9)


def test_numba_cfunc_model():
    numba = pytest.importorskip("numba")
    import math

    signature = numba.types.void(numba.types.CPointer(numba.types.double), numba.types.CPointer(numba.types.double),
                                 numba.types.intc, numba.types.intc, numba.types.voidptr)

    @numba.cfunc(signature)
    def model(p, out, m, n, user_data):
        for i in range(n):
            out[i] = p[0] * math.exp(-p[1] * (i / 10.0)) + p[2]

    y, p0 = data(6), starts(6)
    batch = ombrix.fit_many(model, p0, y, workers=2)
    assert batch.success.all()
    assert_rows_are_fits(batch, lambda i: ombrix.fit(model, p0[i], y[i]), 6)
    np.testing.assert_allclose(batch.p, ombrix.fit_many(decay, p0, y).p, rtol=1e-7)


@needs_cc
@pytest.mark.parametrize("make, message", [
    (lambda lib: c_function(lib, "decay_float", np.float32), "signature does not match"),
    (lambda lib: ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(("decay", lib)), "signature does not match"),
])
def test_compiled_signature_mismatch_is_refused(clib, make, message):
    with pytest.raises(TypeError, match=message):
        ombrix.fit(make(clib), TRUE, data(1)[0])  # a double fit


def test_low_level_callable_signature_mismatch_is_refused():
    scipy = pytest.importorskip("scipy")
    function = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_double)(lambda x: x)
    with pytest.raises(TypeError, match="signature does not match"):
        ombrix.fit(scipy.LowLevelCallable(function), TRUE, data(1)[0])


def test_compiled_model_mechanism_through_a_python_callback():
    # a ctypes callback wrapping Python goes through the same C path; a compiled model takes no args
    def body(p, out, m, n, user_data):
        values = decay(np.ctypeslib.as_array(p, (m,)))
        np.ctypeslib.as_array(out, (n,))[:] = values

    model = prototype()(body)
    y, p0 = data(3), starts(3)
    batch = ombrix.fit_many(model, p0, y)
    np.testing.assert_array_equal(batch.p, ombrix.fit_many(decay, p0, y).p)
    with pytest.raises(TypeError, match="no args"):
        ombrix.fit(model, TRUE, y[0], args=(T,))
    with pytest.raises(TypeError, match="compiled jac needs a compiled model"):
        ombrix.fit(decay, TRUE, y[0], jac=model)


# ---- failures and exceptions ----

@needs_cc
@pytest.mark.parametrize("workers", [1, 2])
def test_failing_fit_keeps_its_row(clib, workers):
    # row 2 needs an amplitude of 10, beyond which the model is NaN: it stops unconverged, the others converge
    amplitude = np.full(K, 3.0)
    amplitude[2] = 10.0
    y = data(amplitude=amplitude)
    batch = ombrix.fit_many(c_function(clib, "capped"), TRUE, y, workers=workers)
    assert not batch.success[2]
    assert batch.success[np.arange(K) != 2].all()
    assert Status(batch.status[2]) in (Status.INVALID_VALUES, Status.STALLED, Status.NO_REDUCTION)
    assert f"{K} fits: {K - 1} converged, 1 failed ({Status(batch.status[2]).name} 1)" in repr(batch)
    assert batch.failures() == {Status(batch.status[2]): 1}


def test_start_where_the_model_is_not_finite_fails_its_row_only():
    # fit raises for such a start; in a batch it is one failed fit among good ones
    def model(p):
        return np.sqrt(p[2] - 0.3) + decay(p) - np.sqrt(p[2] - 0.3)  # NaN where p[2] < 0.3

    p0 = np.tile(TRUE, (4, 1))
    p0[1, 2] = 0.1
    y = data(4)
    with np.errstate(invalid="ignore"):
        with pytest.raises(ValueError, match="not finite at the start point"):
            ombrix.fit(model, p0[1], y[1])
        batch = ombrix.fit_many(model, p0, y, ineq=([[0, 0, 1]], [0]))
    assert list(batch.success) == [True, False, True, True]
    refused = batch[1]
    assert refused.status == Status.INVALID_VALUES and "not finite at the start point" in refused.message
    np.testing.assert_array_equal(refused.p, p0[1])
    assert np.isnan(batch.stderr[1]).all() and refused.active_ineq.shape == (1,)
    assert_same_fit(batch[2], ombrix.fit(model, p0[2], y[2], ineq=([[0, 0, 1]], [0])))


class Boom(Exception):
    pass


@pytest.mark.parametrize("workers", [1, 2])
def test_model_exception_stops_the_batch(workers):
    p0 = np.tile(TRUE, (6, 1))
    p0[3, 2] = 0.123456  # row 3's start tells the model which fit it is in

    def model(p):
        if p[2] == 0.123456:
            raise Boom("row 3")
        return decay(p)

    with pytest.raises(Boom, match="row 3"):
        ombrix.fit_many(model, p0, data(6), workers=workers)


# ---- a vectorized model: every fit advances together ----

def decay_jac_vectorized(P, t=T):
    e = np.exp(-P[:, 1:2] * t)
    return np.stack([e, -P[:, :1] * t * e, np.ones_like(e)], axis=2)


class CountedCalls:
    """A vectorized function that records how many fits each call serves,
    and the dtypes of the parameters it is given."""

    def __init__(self, function):
        self.function = function
        self.rows = []
        self.dtypes = set()

    def __call__(self, P, *args):
        self.rows.append(P.shape[0])
        self.dtypes.add(P.dtype)
        return self.function(P, *args)


@pytest.mark.parametrize("options", [
    {},
    dict(sigma="per fit", absolute_sigma=True),
    dict(loss="soft_l1", f_scale=0.05),
    dict(loss="cauchy", f_scale=1.0, sigma="shared", step_tol=1e-10),
    dict(sigma="per fit", workers=2),
    # difference Jacobians, their points among the model's calls; a zero start takes the step of size 1
    dict(diff="forward", sigma="shared"),
    dict(diff="central", loss="soft_l1", f_scale=0.05, workers=3),
    dict(diff="forward", start="a zero", sigma="per fit", absolute_sigma=True),
    # in float32 the model gets float32 parameters, as fit gives them
    dict(dtype=np.float32, sigma="per fit"),
    dict(dtype=np.float32, diff="central", sigma="shared", workers=2),
    dict(dtype=np.float32, diff="forward", loss="huber", f_scale=0.05),
])
def test_lockstep_rows_equal_fit(monkeypatch, options):
    k = 16
    y, p0 = data(k), starts(k)
    if options.pop("start", None):
        p0[::3, 2] = 0.0
    t = T + 0.0  # passed through args
    sigma = {"per fit": np.random.default_rng(5).uniform(0.01, 0.04, (k, T.size)),
             "shared": np.linspace(0.01, 0.03, T.size), None: None}[options.pop("sigma", None)]
    workers = options.pop("workers", None)
    with_jac = "diff" not in options
    model, jac = CountedCalls(decay_vectorized), CountedCalls(decay_jac_vectorized) if with_jac else None
    with monkeypatch.context() as patch:  # no fit one at a time
        patch.setattr("ombrix._many.fit", None)
        batch = ombrix.fit_many(model, p0, y, args=(t,), jac=jac, sigma=sigma, vectorized=True, workers=workers,
                                **options)
    assert batch.success.all()
    # one call serves many fits: far fewer calls than evaluations
    calls = len(model.rows) + (len(jac.rows) if with_jac else 0)
    assert max(model.rows) == k and (not with_jac or max(jac.rows) == k)
    assert calls < (batch.nfev.sum() + batch.njev.sum()) / 4
    dtype = np.dtype(options.get("dtype", np.float64))
    assert model.dtypes == {dtype} and (not with_jac or jac.dtypes == {dtype})
    assert batch.p.dtype == dtype
    # a model evaluated on a stack of points may round differently: the same minimum, to far below its errors
    # (float32 values resolve chi-square to about eps32, the minimum to about sqrt(eps32) of the errors)
    p_tol, stderr_rtol, chisq_rtol = (1e-9, 1e-8, 1e-10) if dtype == np.float64 else (1e-2, 1e-3, 1e-5)
    for i in range(k):
        row_sigma = sigma[i] if sigma is not None and sigma.ndim == 2 else sigma
        expected = ombrix.fit(decay, p0[i], y[i], args=(t,), jac=decay_jac if with_jac else None, sigma=row_sigma,
                              **options)
        np.testing.assert_allclose(batch.p[i], expected.p, rtol=0, atol=p_tol * expected.stderr.max())
        np.testing.assert_allclose(batch.stderr[i], expected.stderr, rtol=stderr_rtol)
        np.testing.assert_allclose(batch.chisq[i], expected.chisq, rtol=chisq_rtol)
        assert (batch.status[i], batch.iterations[i], batch.nfev[i], batch.njev[i]) == (
            expected.status, expected.iterations, expected.nfev, expected.njev)
        assert batch[i].status == expected.status and batch[i].jac.shape == (T.size, 3)


def test_lockstep_results_do_not_depend_on_workers():
    # rows of every kind: converged, refused at the start, failing on the way (NaN beyond an amplitude of 5)
    k = 40
    amplitude = np.full(k, 3.0)
    amplitude[::7] = 10.0
    p0 = starts(k)
    p0[3, 0] = 6.0

    def capped(P):
        values = decay_vectorized(P)
        values[P[:, 0] > 5] = np.nan
        return values

    y = data(k, amplitude=amplitude)
    one, three = (ombrix.fit_many(capped, p0, y, jac=decay_jac_vectorized, sigma=np.full(T.size, 0.02),
                                  vectorized=True, workers=workers) for workers in (1, 3))
    assert not one.success.all() and one.success.any()
    for name in ("p", "stderr", "cov", "chisq", "redchi", "status", "nfev", "njev", "iterations"):
        np.testing.assert_array_equal(getattr(three, name), getattr(one, name), err_msg=name)
    for i in range(k):
        assert_same_fit(three[i], one[i])


def test_lockstep_failing_fits_keep_their_rows():
    # row 2 needs an amplitude of 10, beyond which the model is NaN; row 4 starts where it is NaN
    amplitude = np.full(6, 3.0)
    amplitude[2] = 10.0
    p0 = np.tile(TRUE, (6, 1))
    p0[4, 0] = 6.0

    def capped(P):
        values = decay_vectorized(P)
        values[P[:, 0] > 5] = np.nan
        return values

    batch = ombrix.fit_many(capped, p0, data(6, amplitude=amplitude), jac=decay_jac_vectorized, vectorized=True)
    assert list(batch.success) == [True, True, False, True, False, True]
    assert Status(batch.status[2]) in (Status.INVALID_VALUES, Status.STALLED, Status.NO_REDUCTION)
    refused = batch[4]
    assert refused.status == Status.INVALID_VALUES and "not finite at the start point" in refused.message
    np.testing.assert_array_equal(batch.p[4], p0[4])
    assert np.isnan(batch.stderr[4]).all() and batch.nfev[4] == 1
    assert (np.abs(batch.p[[0, 1, 3, 5]] - TRUE) < 5 * batch.stderr[[0, 1, 3, 5]]).all()


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("raising, diff, at", [
    ("model", None, "the fourth call"),
    ("jac", None, "the fourth call"),
    ("model", "forward", "the fourth call"),
    # 5 fits, 3 parameters: central differences at the solutions take 6 points a call
    ("model", "central", "the solutions' differences"),
])
def test_lockstep_exception_propagates(raising, diff, at, workers):
    calls = []

    def boom(P):  # after some rounds, with the threads at work
        calls.append(P)
        if (len(calls) > 3) if at == "the fourth call" else (P.shape[0] > 5):
            raise Boom(raising)
        return decay_vectorized(P) if raising == "model" else decay_jac_vectorized(P)

    model = boom if raising == "model" else decay_vectorized
    jac = None if diff else boom if raising == "jac" else decay_jac_vectorized
    with pytest.raises(Boom, match=raising):
        ombrix.fit_many(model, starts(5), data(5), jac=jac, diff=diff or "forward", vectorized=True, workers=workers)
    assert len(calls) > 3


@pytest.mark.parametrize("model, jac, message", [
    (lambda P: decay_vectorized(P)[:, :-1], decay_jac_vectorized,
     r"vectorized model returned shape \(4, 29\) for 4 fits; expected \(4, 30\)"),
    (lambda P: decay_vectorized(P)[0], decay_jac_vectorized,
     r"vectorized model returned shape \(30,\) for 4 fits; expected \(4, 30\)"),
    (lambda P: None, decay_jac_vectorized, r"vectorized model returned shape \(\) for 4 fits"),
    (decay_vectorized, lambda P: decay_jac_vectorized(P)[..., :2],
     r"vectorized jac returned shape \(4, 30, 2\) for 4 fits; expected \(4, 30, 3\)"),
])
def test_lockstep_wrong_shapes_are_refused(model, jac, message):
    with pytest.raises(ValueError, match=message):
        ombrix.fit_many(model, TRUE, data(4), jac=jac, vectorized=True)


def test_lockstep_values_that_are_not_real_are_refused():
    with pytest.raises(TypeError, match="vectorized model returned values of dtype complex128, expected real"):
        ombrix.fit_many(lambda P: decay_vectorized(P) + 0j, TRUE, data(4), vectorized=True)


# ---- arguments ----

@pytest.mark.parametrize("kwargs, error, message", [
    (dict(y=np.ones(30)), ValueError, r"y must have shape \(k, n\)"),
    (dict(y=np.where(np.arange(T.size) == 4, np.nan, data())), ValueError, r"y must be finite: y\[0, 4\] is nan"),
    (dict(p0=np.ones((5, 3))), ValueError, r"p0 must have shape \(m,\) or \(12, m\)"),
    (dict(sigma=np.ones(7)), ValueError, "sigma must have shape"),
    (dict(workers=0), ValueError, "workers must be a positive int"),
    (dict(workers=1.5), ValueError, "workers must be a positive int"),
])
def test_bad_arguments_are_refused_before_any_fit(kwargs, error, message):
    calls = []

    def model(p):
        calls.append(p)
        return decay(p)

    arguments = dict(model=model, p0=TRUE, y=data())
    arguments.update(kwargs)
    with pytest.raises(error, match=message):
        ombrix.fit_many(arguments.pop("model"), arguments.pop("p0"), arguments.pop("y"), **arguments)
    assert not calls


def test_shared_and_per_fit_sigma():
    y = data(4)
    sigma = np.random.default_rng(7).uniform(0.01, 0.05, (4, T.size))
    batch = ombrix.fit_many(decay, TRUE, y, sigma=sigma, absolute_sigma=True)
    for i in range(4):
        assert_same_fit(batch[i], ombrix.fit(decay, TRUE, y[i], sigma=sigma[i], absolute_sigma=True))


def test_progress_needs_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match="progress=True needs tqdm"):
        ombrix.fit_many(decay, TRUE, data(2), progress=True)


@pytest.mark.parametrize("vectorized", [False, True])
def test_progress_bar_counts_the_fits(capsys, vectorized):
    pytest.importorskip("tqdm")
    if vectorized:
        batch = ombrix.fit_many(decay_vectorized, TRUE, data(3), jac=decay_jac_vectorized, vectorized=True,
                                progress=True)
    else:
        batch = ombrix.fit_many(decay, TRUE, data(3), progress=True)
    assert len(batch) == 3 and batch.success.all()
    assert "3/3" in capsys.readouterr().err


def test_batch_pickles_and_concatenates():
    import pickle

    batch = ombrix.fit_many(decay, TRUE, data(4))
    copy = pickle.loads(pickle.dumps(batch))
    np.testing.assert_array_equal(copy.p, batch.p)
    joined = FitBatch.concatenate([batch, copy])
    assert len(joined) == 8 and joined.p.shape == (8, 3)


def test_a_dask_chunk_travels_as_arrays_and_makes_its_rows_on_arrival():
    # A chunk's batch pickles its arrays and its model, not a FitResult per
    # row (which took most of a chunk's time on a cluster); the rows made
    # after the journey are the fits made before it.
    import pickle

    from ombrix._many_dask import _portable_fit_many

    y, p0 = data(6), starts(6)
    batch = _portable_fit_many(ombrix.fit_many, decay_vectorized, p0, y, jac=decay_jac_vectorized, vectorized=True)
    travelled = pickle.loads(pickle.dumps(batch))
    assert not batch.results._made
    for i in range(6):
        assert_same_fit(travelled[i], batch[i])
    joined = pickle.loads(pickle.dumps(FitBatch.concatenate([travelled, batch])))
    assert_same_fit(joined[8], batch[2])


# ---- Dask ----

@pytest.fixture(scope="module")
def cluster_client():
    if importlib.util.find_spec("distributed") is None or importlib.util.find_spec("dask") is None:
        pytest.skip("dask and distributed are not installed")
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        yield client


def test_dask_arrays_on_a_local_cluster(cluster_client):
    import dask.array as da

    y, p0 = data(10, seed=8), starts(10, seed=9)
    sigma = np.full((10, T.size), 0.02)
    local = ombrix.fit_many(decay, p0, y, jac=decay_jac, sigma=sigma)
    distributed = ombrix.fit_many(decay, da.from_array(p0, chunks=(4, 3)), da.from_array(y, chunks=(4, T.size)),
                                  jac=decay_jac, sigma=da.from_array(sigma, chunks=(3, T.size)))
    assert isinstance(distributed, FitBatch) and len(distributed) == 10
    for name in ("p", "cov", "chisq", "status", "nfev"):
        np.testing.assert_array_equal(getattr(distributed, name), getattr(local, name), err_msg=name)
    assert sum(cluster_client.run(lambda: 1).values()) == 2  # both workers were there to take chunks
