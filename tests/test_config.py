"""The package as a user meets it: its version, the C build helper
`python -m ombrix.config`, and a clear error when the source folder shadows
the installed package."""

import importlib.machinery
import os
import subprocess
import sys
import tomllib

import pytest

import ombrix
from conftest import REPO_DIR


def config(*options):
    return subprocess.run([sys.executable, "-P", "-m", "ombrix.config", *options], capture_output=True, text=True,
                          timeout=60)


def test_version_is_the_project_version():
    with open(os.path.join(REPO_DIR, "pyproject.toml"), "rb") as file:
        assert ombrix.__version__ == tomllib.load(file)["project"]["version"]


def test_config_points_at_the_installed_header_and_library():
    run = config("--includedir", "--libdir")
    assert run.returncode == 0, run.stderr
    include, lib = run.stdout.split()
    assert os.path.isfile(os.path.join(include, "ombrix.h"))
    assert os.path.isfile(os.path.join(lib, "libombrix.so"))
    # --cflags and --libs on one line, in the order asked
    assert config("--cflags", "--libs").stdout.split() == [f"-I{include}", f"-L{lib}", f"-Wl,-rpath,{lib}",
                                                            "-lombrix"]
    assert config("--libs", "--cflags").stdout.split()[-1] == f"-I{include}"


@pytest.mark.parametrize("options", [[], ["--cflag"]])
def test_config_refuses_no_or_unknown_options(options):
    run = config(*options)
    assert run.returncode == 2 and run.stdout == "" and "usage: python -m ombrix.config" in run.stderr


@pytest.mark.skipif(any(os.path.exists(os.path.join(REPO_DIR, "ombrix", "_ombrix" + suffix))
                        for suffix in importlib.machinery.EXTENSION_SUFFIXES),
                    reason="the source folder holds a compiled module (an in-place build)")
def test_importing_the_source_folder_says_how_to_reach_the_installed_package(tmp_path):
    os.symlink(os.path.join(REPO_DIR, "ombrix"), tmp_path / "ombrix")
    run = subprocess.run([sys.executable, "-c", "import ombrix"], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path)
    assert run.returncode == 1
    assert run.stderr.rstrip().splitlines()[-1].startswith("ImportError: ombrix was imported from ")
    assert "python -P" in run.stderr and "circular import" not in run.stderr
