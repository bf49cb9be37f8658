"""The README's snippets run as written: its Python blocks in order in one
fresh interpreter, and its C build commands from a folder laid out like the
repository's root (where the source folder ombrix/ shadows the installed
package for a plain `python -c`)."""

import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import REPO_DIR

CC = shutil.which("cc")


def readme_blocks(language):
    """(first line number, code) of each ```language block of README.md."""
    with open(os.path.join(REPO_DIR, "README.md"), encoding="utf-8") as file:
        lines = file.read().splitlines()
    blocks, start = [], None
    for number, line in enumerate(lines, 1):
        if start is None and re.fullmatch(rf"```{language}\s*", line):
            start = number + 1
        elif start is not None and line.strip() == "```":
            blocks.append((start, "\n".join(lines[start - 1:number - 1])))
            start = None
    assert start is None, f"README.md: the ```{language} block from line {start} is not closed"
    return blocks


def readme_env(tmp_path):
    """The environment of a reader who activated .venv: this interpreter first on PATH."""
    env = {name: value for name, value in os.environ.items() if name not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    return dict(env, PATH=os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", ""), MPLBACKEND="Agg",
                OPENBLAS_NUM_THREADS="1", HOME=str(tmp_path))


def test_python_blocks_run_in_order_in_a_fresh_interpreter(tmp_path):
    blocks = readme_blocks("python")
    assert len(blocks) >= 3
    # Each block at its own line number, so that a traceback points into README.md.
    source = [""] * max(start + code.count("\n") for start, code in blocks)
    for start, code in blocks:
        source[start - 1:start + code.count("\n")] = code.split("\n")
    script = tmp_path / "README.md.py"
    script.write_text("\n".join(source) + "\n", encoding="utf-8")
    run = subprocess.run([sys.executable, "-P", str(script)], capture_output=True, text=True, timeout=300,
                         cwd=tmp_path, env=readme_env(tmp_path))
    assert run.returncode == 0, f"README.md.py's line numbers are README.md's:\n{run.stderr}"
    assert run.stderr == "", run.stderr  # the snippets warn about nothing
    assert "amplitude" in run.stdout and "chi-square" in run.stdout  # the report printed by the first block


def shell_blocks():
    """The ```sh blocks a reader runs in an activated environment: all but
    those that build or install (make, pip)."""
    return [code for _, code in readme_blocks("sh") if not re.search(r"^\s*(make|pip)\b", code, re.MULTILINE)]


def test_the_c_example_is_built_by_a_shell_block():
    assert any("ombrix.config --cflags --libs" in code and "examples/rosenbrock.c" in code for code in shell_blocks())


@pytest.mark.skipif(CC is None, reason="no C compiler")
@pytest.mark.parametrize("code", shell_blocks(), ids=lambda code: code.split("\n")[-1][:40])
def test_shell_blocks_run_from_the_repository_root(code, tmp_path):
    for name in ("examples", "ombrix"):  # the repository root as the commands see it
        os.symlink(os.path.join(REPO_DIR, name), tmp_path / name)
    activate = tmp_path / ".venv" / "bin" / "activate"
    activate.parent.mkdir(parents=True)
    activate.write_text("# PATH already leads to the test's interpreter\n")
    run = subprocess.run(["bash", "-e", "-c", code], capture_output=True, text=True, timeout=120, cwd=tmp_path,
                         env=readme_env(tmp_path))
    assert run.returncode == 0, run.stdout + run.stderr
    if "rosenbrock" in code:
        # the example checks its own results against the minimum (1, 1)
        assert run.stdout.startswith("analytic Jacobian:") and "central differences:" in run.stdout
