"""The C example builds against the installed header and library, and fits."""

import shutil
import subprocess

import pytest

import ombrix
from conftest import REPO_DIR

CC = shutil.which("cc") or shutil.which("gcc")


@pytest.mark.skipif(CC is None, reason="no C compiler")
def test_c_example_links_against_the_installed_library_and_fits(tmp_path):
    exe = tmp_path / "rosenbrock"
    lib = ombrix.get_lib_dir()
    subprocess.run([CC, "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", f"{REPO_DIR}/examples/rosenbrock.c",
                    f"-I{ombrix.get_include()}", f"-L{lib}", "-lombrix", f"-Wl,-rpath,{lib}", "-lm", "-o", str(exe)],
                   check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60)
    # the example checks its own results against the minimum (1, 1)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("analytic Jacobian:") and "central differences:" in run.stdout
