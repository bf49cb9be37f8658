"""python -m ombrix: the README's main job, a real fit of a bundled NIST problem."""

import os
import re
import subprocess
import sys

import pytest


@pytest.fixture(scope="module")
def demo_output():
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-P", "-m", "ombrix"], capture_output=True, text=True, timeout=120,
                            env=env, cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def test_the_fit_reproduces_nist_certified_values(demo_output):
    assert demo_output.startswith("Misra1a, a NIST reference problem: y = b1*(1-exp[-b2*x]), 14 observations")
    digits = [float(d) for d in re.findall(r"fitted value agrees to (\S+) digits", demo_output)]
    assert len(digits) == 2 and min(digits) >= 8
    fitted = re.search(r"residual sum of squares (\S+), fitted (\S+)", demo_output)
    assert float(fitted[2]) == pytest.approx(float(fitted[1]), rel=1e-9)


def test_the_reports_show_parameters_and_the_active_bound(demo_output):
    first, bounded = demo_output.split("The same fit with b2 bounded")
    # which convergence test ends the fit first is decided by rounding
    assert re.search(r"^status:\s+(SMALL_STEP|SMALL_REDUCTION|SMALL_GRADIENT) \(converged", first, re.M)
    assert "b1 ~ b2" in first
    assert re.search(r"^b2\s+0\.0005\s+0\s.*at upper bound$", bounded, re.M)
