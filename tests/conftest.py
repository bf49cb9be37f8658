"""Shared test helpers."""

import os
import subprocess
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(TESTS_DIR)


def run_isolated(code, timeout=120, env=None):
    """Run `code` in a fresh interpreter (for behaviour that ends the process).

    The tests directory is importable (``import capi``); `env` adds environment
    variables.  Returns the CompletedProcess with text stdout and stderr."""
    env = dict(os.environ, PYTHONPATH=TESTS_DIR, OPENBLAS_NUM_THREADS="1", **(env or {}))
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env, cwd=TESTS_DIR)


@pytest.fixture
def isolated():
    return run_isolated
