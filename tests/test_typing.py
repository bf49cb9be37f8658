"""The public API's inline types, as a user's type checker sees them: mypy
--strict on scripts in tests/typing/ against the installed package."""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

SCRIPTS = pathlib.Path(__file__).parent / "typing"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict on a script of tests/typing/ from a temporary
    folder, so that the installed package is checked (not the source
    folder); the scripts share a cache there (NumPy's stubs are read once)."""
    folder = tmp_path_factory.mktemp("mypy")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}

    def run(script):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir",
                               str(folder / "cache"), str(SCRIPTS / script)],
                              cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    return run


def test_a_typical_script_passes_strict_checking(mypy):
    run = mypy("user_script.py")
    assert run.returncode == 0, run.stdout + run.stderr


def test_results_have_precise_types(mypy):
    notes = [line for line in mypy("reveal.py").stdout.splitlines() if "Revealed type" in line]
    assert len(notes) == 3, notes
    p, status, params = notes
    assert 'is "Any"' not in p and "numpy.ndarray" in p and "numpy.dtype[numpy.floating" in p
    assert status.endswith('.Status"')
    assert "Parameter" in params and params.split("is ")[1].startswith('"dict[str,')
