"""The public API's inline types, as a user's type checker sees them: mypy
--strict on scripts in tests/typing/ against the installed package."""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

SCRIPTS = pathlib.Path(__file__).parent / "typing"


def _mypy(script, tmp_path):
    # From a temporary folder, with its own cache, so that the installed
    # package is checked (not the source folder) and nothing is left behind.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir",
                           str(tmp_path / "cache"), str(SCRIPTS / script)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)


def test_a_typical_script_passes_strict_checking(tmp_path):
    run = _mypy("user_script.py", tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_results_have_precise_types(tmp_path):
    notes = [line for line in _mypy("reveal.py", tmp_path).stdout.splitlines() if "Revealed type" in line]
    assert len(notes) == 3, notes
    p, status, params = notes
    assert 'is "Any"' not in p and "numpy.ndarray" in p and "numpy.dtype[numpy.floating" in p
    assert status.endswith('.Status"')
    assert "Parameter" in params and params.split("is ")[1].startswith('"dict[str,')
