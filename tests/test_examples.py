"""The examples: the C program builds against the installed header and library
and fits; the Python examples reach their known answers."""

import importlib
import importlib.util
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import ombrix
import ombrix.nist
from conftest import REPO_DIR

CC = shutil.which("cc") or shutil.which("gcc")


@pytest.mark.skipif(CC is None, reason="no C compiler")
def test_c_example_builds_with_the_config_flags_and_fits(tmp_path):
    # exactly the flags of `python -m ombrix.config --cflags --libs`; the rpath
    # lets the program run without LD_LIBRARY_PATH
    exe = tmp_path / "rosenbrock"
    flags = subprocess.run([sys.executable, "-P", "-m", "ombrix.config", "--cflags", "--libs"], capture_output=True,
                           text=True, check=True).stdout.split()
    # under `make sanitize` the example is instrumented like the library
    sanitize = os.environ.get("OMBRIX_SANITIZE", "").split()
    subprocess.run([CC, "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", *sanitize,
                    f"{REPO_DIR}/examples/rosenbrock.c", *flags, "-o", str(exe)], check=True)
    env = {name: value for name, value in os.environ.items() if name != "LD_LIBRARY_PATH"}
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60, env=env)
    # the example checks its own results against the minimum (1, 1)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("analytic Jacobian:") and "central differences:" in run.stdout


# ---- the Python examples ------------------------------------------------------

@pytest.fixture
def example(monkeypatch):
    """Imports an example script from examples/ as a module."""
    monkeypatch.syspath_prepend(f"{REPO_DIR}/examples")
    return lambda name: importlib.import_module(name)


def test_figures_go_to_examples_figures_whatever_the_current_folder(example, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert example("plotting").figure_path("peak_fit") == os.path.join(REPO_DIR, "examples", "figures", "peak_fit.png")


def _figure(tmp_path, name):
    """A path for the example's figure when matplotlib can draw it, else None."""
    return str(tmp_path / f"{name}.png") if importlib.util.find_spec("matplotlib") else None


def test_peak_fit_reproduces_the_certified_values(example, tmp_path, capsys):
    figure = _figure(tmp_path, "peak")
    result = example("peak_fit").main(figure)
    data = ombrix.nist.load("Gauss1")
    assert result.success
    np.testing.assert_allclose(result.p, data.certified, rtol=1e-8)
    np.testing.assert_allclose(result.stderr, data.certified_sd, rtol=1e-6)
    assert (result.active_bounds == 0).all()  # the physical bounds hold at the solution without binding
    assert figure is None or os.path.getsize(figure) > 10_000


def test_mixture_fractions_sum_to_one(example, tmp_path):
    mixture = example("mixture_fractions")
    result = mixture.main(_figure(tmp_path, "mixture"))
    assert result.success
    assert result.p[2:].sum() == pytest.approx(1.0, abs=1e-12)
    # the truth lies within four standard errors of every estimate
    assert np.all(np.abs(result.p - mixture.TRUE) < 4 * result.stderr)
    assert result.dof == 261 - 5 + 1  # the equality takes one parameter out


def test_positive_lifetimes_are_non_negative_and_sparse(example, tmp_path):
    lifetimes = example("positive_lifetimes")
    result = lifetimes.main(_figure(tmp_path, "lifetimes"))
    amplitudes = result.p[:-1]
    assert result.success
    assert amplitudes.min() >= 0.0  # held at zero exactly (the active set eliminates a_k = 0)
    assert result.active_ineq.sum() >= 10
    # the weight sits on the candidates next to the true lifetimes 3 and 25
    heavy = lifetimes.TAUS[amplitudes > 1.0]
    assert len(heavy) and all(2 < tau < 4 or 17 < tau < 30 for tau in heavy)


def test_flim_lifetime_map_is_close_to_the_truth(example, tmp_path):
    flim = example("flim")
    batch = flim.main(_figure(tmp_path, "flim"), size=6)
    truth, _ = flim.image(6)
    assert len(batch) == 36 and batch.success.mean() >= 0.9
    assert (batch.p[:, [0, 2]] >= 0).all()  # the amplitudes keep their bounds
    # the noise (about 5 % of the counts at the peak) leaves the mean lifetime within 0.3 ns
    error = np.abs(flim.mean_lifetime(batch.p) - flim.mean_lifetime(truth))
    assert np.median(error) < 0.3


def test_flim_scipy_loop_reaches_the_same_minimum(example):
    # curve_fit's conventions differ (f(t, *p), jac(t, *p)): a slip in the
    # wrapping, or sigma or bounds not passed, moves its minimum by whole
    # standard errors.  Its stopping tolerance leaves it about 1e-3 of them
    # short of fit_many's.
    pytest.importorskip("scipy")
    flim = example("flim")
    _, y = flim.image(6)
    sigma = np.sqrt(np.maximum(y, 1.0))
    batch, _ = flim.fit_pixels(y, sigma, flim.START)
    p, stderr, seconds = flim.scipy_loop(y, sigma, flim.START)
    assert p.shape == stderr.shape == batch.p.shape and seconds > 0
    assert (flim.deviation(batch, p, stderr) < 0.01).all()


def test_flim_runs_without_scipy(example, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "scipy.optimize", None)  # makes its import fail
    monkeypatch.delitem(sys.modules, "flim", raising=False)  # imported afresh, as a script would be
    batch = example("flim").main(size=3)
    assert len(batch) == 9
    assert "SciPy is not installed" in capsys.readouterr().out
