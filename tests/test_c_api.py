"""The C interface as shipped: exported symbols, the installed header, and the
shared objects' run-time dependencies."""

import importlib.util
import os
import re
import subprocess

import pytest

import capi
import ombrix

LIBOMBRIX = os.path.join(ombrix.get_lib_dir(), "libombrix.so")
DECLARED = set(capi.declarations())
SHARED_OBJECTS = {"module": (capi.LIB_PATH, {"PyInit__ombrix"}), "libombrix": (LIBOMBRIX, set())}
FIT_MODULE = importlib.util.find_spec("ombrix._fit").origin
# libraries of the C/C++ runtime that every Linux system provides
SYSTEM_LIBRARIES = re.compile(r"^(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|ld-linux-[\w-]+"
                              # the sanitizer runtimes of a `make sanitize` build
                              + (r"|libasan|libubsan" if os.environ.get("OMBRIX_SANITIZE") else "")
                              + r")\.so(\.\d+)*$")


def tool(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def dynamic_section(path):
    """(NEEDED names, RUNPATH) of a shared object."""
    text = tool("readelf", "-d", path)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", text)
    runpath = re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*?)\]", text)
    return needed, runpath


def test_header_declares_every_function_in_both_precisions():
    assert len(DECLARED) > 60
    for name in DECLARED:
        twin = {"d": "s", "s": "d"}[name[0]] + name[1:]
        assert twin in DECLARED, f"{name} has no twin"


@pytest.mark.parametrize("which", SHARED_OBJECTS)
def test_dynamic_symbols_are_exactly_the_declared_ones(which):
    path, extra = SHARED_OBJECTS[which]
    exported = {line.split()[-1].split("@")[0] for line in tool("nm", "-D", "--defined-only", path).splitlines()}
    assert sorted(exported - DECLARED - extra) == [], "exported but not declared (leaked internals)"
    assert sorted((DECLARED | extra) - exported) == [], "declared but not exported"


def test_fit_module_exports_only_its_initialisation_function():
    # ombrix._fit links the numeric layer privately: nothing of it leaks out
    exported = {line.split()[-1].split("@")[0] for line in tool("nm", "-D", "--defined-only", FIT_MODULE).splitlines()}
    assert exported == {"PyInit__fit"}
    needed, runpath = dynamic_section(FIT_MODULE)
    assert runpath == ["$ORIGIN/_libs"]


C_PROGRAM = r"""
#include <stdio.h>
#include <ombrix.h>

typedef void (*any_function)(void);
static const any_function every_function[] = {
%(functions)s
};

int main(void) {
  const double A[4] = {0.0, 1.0, 1.0, 0.0}, B[2] = {3.0, -2.0};
  double x[2];
  const float lb[2] = {0.0f, 2.0f}, ub[2] = {1.0f, 1.0f};
  int solved = dAx_eq_b_BK(A, B, x, 2);
  dAx_eq_b_BK(NULL, NULL, NULL, 0);
  printf("%%d %%g %%g %%d %%u\n", solved, x[0], x[1], sombrix_box_check(lb, ub, 2),
         (unsigned)(sizeof every_function / sizeof every_function[0]));
  return 0;
}
"""


def test_installed_header_is_plain_c_and_links_against_libombrix(tmp_path):
    source = tmp_path / "caller.c"
    names = sorted(DECLARED)
    source.write_text(C_PROGRAM % {"functions": ",\n".join(f"  (any_function){name}" for name in names)})
    program = tmp_path / "caller"
    tool("cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", "-I", ombrix.get_include(), str(source),
         "-o", str(program), "-L", ombrix.get_lib_dir(), "-lombrix", "-Wl,-rpath," + ombrix.get_lib_dir())
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    output = subprocess.run([str(program)], check=True, capture_output=True, text=True, env=env).stdout
    assert output == f"1 -2 3 0 {len(names)}\n"


@pytest.mark.parametrize("which,runpath", [("module", "$ORIGIN/_libs"), ("libombrix", "$ORIGIN")])
def test_runtime_dependencies_are_bundled(which, runpath):
    # Everything beyond the C/C++ runtime comes from ombrix/_libs, found through
    # the run path relative to the object itself.
    path = SHARED_OBJECTS[which][0]
    needed, runpaths = dynamic_section(path)
    assert runpaths == [runpath]
    bundled = [name for name in needed if not SYSTEM_LIBRARIES.match(name)]
    assert "libscipy_openblas.so" in bundled
    for name in bundled:
        assert os.path.exists(os.path.join(ombrix.get_lib_dir(), name)), name
    # and the bundled LAPACK finds its own run-time libraries beside it
    for name in dynamic_section(os.path.join(ombrix.get_lib_dir(), "libscipy_openblas.so"))[0]:
        assert SYSTEM_LIBRARIES.match(name) or os.path.exists(os.path.join(ombrix.get_lib_dir(), name)), name


def test_loaded_lapack_is_the_bundled_copy(isolated):
    # After importing the module, the process maps our LAPACK from ombrix/_libs
    # and nothing from the build-time wheel (NumPy maps its own copy, whose
    # names carry a suffix, from its own directory).
    result = isolated("""
import sys
import ombrix._ombrix
with open("/proc/self/maps") as f:
    print("\\n".join(sorted({line.split()[-1] for line in f if "/" in line})))
print("scipy_openblas32" in sys.modules)
""")
    assert result.returncode == 0, result.stderr
    *mapped, imported = result.stdout.split()
    mapped = [os.path.realpath(path) for path in mapped]
    assert imported == "False"
    lapack = [path for path in mapped if os.path.basename(path) == "libscipy_openblas.so"]
    assert lapack == [os.path.join(os.path.realpath(ombrix.get_lib_dir()), "libscipy_openblas.so")]
    wheel = importlib.util.find_spec("scipy_openblas32")  # located, not imported (importing loads it)
    if wheel is not None:
        wheel_dir = os.path.realpath(os.path.dirname(wheel.origin))
        assert not [path for path in mapped if path.startswith(wheel_dir + os.sep)]
