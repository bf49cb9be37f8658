"""python -m ombrix: a real fit of NIST's Misra1a problem through ombrix._ombrix.ombrix."""

import os
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
    return result.stdout.splitlines()


def test_fitted_parameters_and_deviations_agree_with_the_certified_ones(demo_output):
    rows = {line.split()[0]: [float(v) for v in line.split()[1:]] for line in demo_output
            if line.startswith(("b1 ", "b2 "))}
    assert set(rows) == {"b1", "b2"}
    for fitted, stddev, certified, certified_stddev in rows.values():
        assert fitted == pytest.approx(certified, rel=1e-9)
        assert stddev == pytest.approx(certified_stddev, rel=1e-8)


def test_summary_lines(demo_output):
    text = "\n".join(demo_output)
    assert "14 observations, from b1 = 500, b2 = 0.0001" in text
    rss_line = next(line for line in demo_output if line.startswith("residual sum of squares"))
    rss, certified = float(rss_line.split()[4]), float(rss_line.split()[6].rstrip("),"))
    assert rss == pytest.approx(certified, rel=1e-9)
    assert next(line for line in demo_output if line.startswith("stop reason: ")) in {
        "stop reason: Stop by small Dp", "stop reason: Stopped by small gradient J^T e"}
    assert demo_output[-1].endswith("Jacobian evaluations") and " iterations, " in demo_output[-1]
