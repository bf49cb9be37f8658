"""The numeric layer under non-finite input and failed allocations: nothing
hangs, a C caller's process still ends where the C interface says so, and a
Python caller gets an exception instead and carries on.

Everything runs in a subprocess with a timeout, so that a regression (an SVD
iterating for ever, an exit) fails its test instead of stopping the suite.
Allocation failures come from tests/alloc_trace.c, preloaded."""

import json
import os
import subprocess

import numpy as np
import pytest

import ombrix
from capi import PRECISIONS
from conftest import TESTS_DIR, run_isolated

SOLVERS = ["BK", "QR", "QRLS", "Chol", "LU", "SVD"]
NON_FINITE = {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf")}


def run_json(code, env=None):
    """Runs `code` in a fresh interpreter; returns (what it printed as JSON, its stderr)."""
    result = run_isolated(code, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


# ---- non-finite input takes the failure path at once ----------------------------------------

NON_FINITE_SCRIPT = """
import json, os, tempfile
import numpy as np
import capi

def with_stderr(call):
    # (result, what the C code wrote to stderr meanwhile)
    with tempfile.TemporaryFile() as captured:
        saved = os.dup(2)
        os.dup2(captured.fileno(), 2)
        try:
            result = call()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        return result, captured.read().decode()

def matrix(bad, dt):
    # the J^T J of a hung fit: two parameters of the model, whose products
    # overflow, and a slack it ignores (an SVD of it spins on infinities)
    return np.array([[bad, bad, 0.0], [bad, bad, 0.0], [0.0, 0.0, 1.0]], dt)

out = {}
for prefix in capi.PRECISIONS:
    dt = capi.DTYPE[prefix]
    for name, bad in {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf")}.items():
        for alias in (False, True):
            jtj = matrix(bad, dt)
            cov = jtj if alias else np.full((3, 3), 7.0, dt)
            rank, err = with_stderr(lambda: capi.fn(prefix, "ombrix_covar")(capi.ptr(jtj), capi.ptr(cov), 2.0, 3, 4))
            out[f"covar {prefix} {name} {alias}"] = [rank, cov.tolist(), err]
        for solver in ("BK", "QR", "QRLS", "Chol", "LU", "SVD"):
            A = matrix(bad, dt)
            B, x = np.ones(3, dt), np.zeros(3, dt)
            f = capi.fn(prefix, "Ax_eq_b_" + solver)
            shape = (3, 3) if solver == "QRLS" else (3,)
            solved, err = with_stderr(lambda: f(capi.ptr(A), capi.ptr(B), capi.ptr(x), *shape))
            f(None, None, None, *(0,) * len(shape))
            out[f"{solver} {prefix} {name}"] = [solved, err]
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def non_finite_outcomes():
    return run_json(NON_FINITE_SCRIPT)[0]


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("alias", [False, True], ids=["separate", "in-place"])
def test_covariance_of_a_non_finite_matrix_is_all_zero(non_finite_outcomes, prefix, bad, alias):
    rank, cov, err = non_finite_outcomes[f"covar {prefix} {bad} {alias}"]
    assert (rank, cov, err) == (0, [[0.0] * 3] * 3, "")


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("bad", NON_FINITE)
def test_svd_solver_refuses_a_non_finite_matrix(non_finite_outcomes, prefix, bad):
    solved, err = non_finite_outcomes[f"SVD {prefix} {bad}"]
    assert (solved, err) == (0, f"non-finite entry in matrix A for {prefix}gesvd_ in {prefix}Ax_eq_b_SVD()\n")


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("solver", SOLVERS)
def test_every_linear_solver_returns_on_non_finite_input(non_finite_outcomes, prefix, bad, solver):
    # the factorisations end on their own; what matters is that each returns
    # a defined result and the process goes on
    solved, _ = non_finite_outcomes[f"{solver} {prefix} {bad}"]
    assert solved in (0, 1)


# The model of the reported hang: values near 1e300, so ||e||^2 and J^T J
# overflow.  From zero data the initial error is infinite: the solvers stop at
# once with invalid values (reason 7), before the covariance that used to spin.
OVERFLOW_SCRIPT = """
import json
import numpy as np
from ombrix import _ombrix

def huge(p):
    return np.full(3, 1e300) * (1.0 + p.sum())

def huge_jac(p):
    return np.full((3, 2), 1e300)

lic = (np.array([[1.0, 0.0]]), np.array([-10.0]))
lec = (np.array([[1.0, 1.0]]), np.array([3.0]))
bc = [(-100.0, 100.0), (-100.0, 100.0)]
calls = {
    "lic": lambda kw: _ombrix.ombrix_lic(huge, np.array([1.0, 2.0]), np.zeros(3), lic, **kw),
    "leic": lambda kw: _ombrix.ombrix_leic(huge, np.array([1.0, 2.0]), np.zeros(3), lec, lic, **kw),
    "blic": lambda kw: _ombrix.ombrix_blic(huge, np.array([1.0, 2.0]), np.zeros(3), bc, lic, **kw),
}
out = {}
for name, call in calls.items():
    for kind, jacf in (("dif", None), ("der", huge_jac)):
        kw = dict(args=(), jacf=jacf, mu=1e-3, eps1=1e-15, eps2=1e-15, eps3=1e-20, maxit=5, cdiff=False)
        try:
            call(kw)
            out[f"{name} {kind}"] = "returned"
        except Exception as error:
            out[f"{name} {kind}"] = [type(error).__name__, str(error)]

# An exact start (the constraint p0 = 1 is eliminated without rounding): the
# fit ends at once with a small error, and its covariance comes from a
# difference Jacobian of about 1e300, whose J^T J is infinite.
p, cov, info = _ombrix.ombrix_lec(huge, np.array([1.0, 2.0]), huge(np.array([1.0, 2.0])),
                                  (np.array([[1.0, 0.0]]), np.array([1.0])), (), None, 1e-3, 1e-15, 1e-15, 1e-20,
                                  5, False)
out["exact start"] = [p.tolist(), cov.tolist(), info[3]]
print(json.dumps(out))
"""


def test_fits_of_an_overflowing_model_finish():
    outcomes, _ = run_json(OVERFLOW_SCRIPT)
    invalid = ["RuntimeError", "Stopped by invalid values (NaN or Inf) returned by func"]
    exact = outcomes.pop("exact start")
    assert outcomes == {f"{name} {kind}": invalid for name in ("lic", "leic", "blic") for kind in ("der", "dif")}
    assert exact == [[1.0, 2.0], [[0.0, 0.0], [0.0, 0.0]], "Stopped by small ||e||_2"]


# ---- allocation failures ----------------------------------------------------------------------


@pytest.fixture(scope="module")
def failing_allocator(tmp_path_factory):
    library = tmp_path_factory.mktemp("alloc") / "alloc_trace.so"
    subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", str(library), os.path.join(TESTS_DIR, "alloc_trace.c")],
                   check=True)
    return str(library)


C_SOLVE = r"""
#include <stdio.h>
#include <ombrix.h>

enum { M = 200 };
static REAL A[M * M], B[M], x[M];

int main(void) {
  for (int i = 0; i < M; ++i) {
    A[i * M + i] = 2;
    B[i] = 1;
  }
  int solved = PREFIX##Ax_eq_b_BK(A, B, x, M);
  printf("returned %d %g\n", solved, (double)x[0]);
  return 0;
}
"""


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_c_program_still_ends_when_the_solver_buffer_cannot_be_allocated(prefix, failing_allocator, tmp_path):
    source, program = tmp_path / "solve.c", tmp_path / "solve"
    real = {"d": "double", "s": "float"}[prefix]
    source.write_text(C_SOLVE.replace("REAL", real).replace("PREFIX##", prefix))
    subprocess.run(["cc", "-std=c99", "-Wall", "-Werror", "-I", ombrix.get_include(), str(source), "-o", str(program),
                    "-L", ombrix.get_lib_dir(), "-lombrix", "-Wl,-rpath," + ombrix.get_lib_dir()], check=True)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", LD_PRELOAD=failing_allocator)
    solved = subprocess.run([str(program)], capture_output=True, text=True, timeout=60, env=env)
    assert (solved.returncode, solved.stdout) == (0, "returned 1 0.5\n")
    # the buffer holds A (M^2 reals) and more: the first allocation that large
    env["ALLOC_FAIL"] = f"1 {200 * 200 * {'d': 8, 's': 4}[prefix]}"
    failed = subprocess.run([str(program)], capture_output=True, text=True, timeout=60, env=env)
    message = f"memory allocation in {prefix}Ax_eq_b_BK() failed!\n"
    assert (failed.returncode, failed.stdout, failed.stderr) == (1, "", message)


# Helpers of the scripts below: the allocations a call makes from one shared
# object, and a call with one of them failing.
TRACER = """
import ctypes, json, os
import numpy as np

tracer = ctypes.CDLL(os.environ["LD_PRELOAD"])
tracer.trace_start.argtypes = [ctypes.c_size_t, ctypes.c_size_t]
tracer.trace_event.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_size_t)]
tracer.fail_allocation.argtypes = [ctypes.c_long, ctypes.c_size_t]

def start(path):
    with open("/proc/self/maps") as f:
        spans = [[int(a, 16) for a in line.split()[0].split("-")] for line in f if line.rstrip().endswith(path)]
    tracer.trace_start(min(s[0] for s in spans), max(s[1] for s in spans))

def allocations(path, call):
    # sizes of the allocations made from `path` during call(), in order
    start(path)
    call()
    size, sizes = ctypes.c_size_t(), []
    for i in range(tracer.trace_count()):
        if tracer.trace_event(i, ctypes.byref(size)) == ord("a"):
            sizes.append(size.value)
    return sizes

def outcome(call):
    try:
        call()
        return "returned"
    except Exception as error:
        return [type(error).__name__, str(error)]

def failing(path, nth, call, min_bytes=0):
    # call() with the nth allocation of at least min_bytes from `path` failing
    start(path)
    tracer.fail_allocation(nth, min_bytes)
    return outcome(call)
"""

# The line p0 + p1 t at five points, exact data of (1, 2).
LINE = """
t = np.arange(5.0)
def line(p, *args):
    return p[0] + p[1] * t
def line_jac(p, *args):
    return np.stack([np.ones_like(t), t], axis=1)
y = line(np.array([1.0, 2.0]))
n, m = 5, 2
"""

MODULE_SCRIPT = TRACER + LINE + """
from ombrix import _ombrix
path = _ombrix.__file__

def fit(jacf):
    return _ombrix.ombrix(line, np.zeros(2), y, (), jacf, 1e-3, 1e-15, 1e-15, 1e-20, 100, False)

out = {}
for kind, jacf, workspace in (("der", line_jac, 2 * n + 4 * m + n * m + m * m),
                              ("dif", None, 4 * n + 4 * m + n * m + m * m)):
    # the solver takes its workspace, then the linear solver its buffer
    sizes = allocations(path, lambda: fit(jacf))
    out[kind] = failing(path, sizes.index(8 * workspace) + 2, lambda: fit(jacf))
p, cov, info = fit(line_jac)  # and the module works as before
out["after"] = np.round(p, 6).tolist()
print(json.dumps(out))
"""


def test_module_fit_raises_memory_error_when_the_solver_buffer_cannot_be_allocated(failing_allocator):
    outcomes, stderr = run_json(MODULE_SCRIPT,
                                env={"LD_PRELOAD": failing_allocator})
    raised = ["MemoryError", "memory allocation in dAx_eq_b_BK() failed!"]
    assert outcomes == {"der": raised, "dif": raised, "after": [1.0, 2.0]}
    assert stderr == "memory allocation in dAx_eq_b_BK() failed!\n" * 2


FIT_SCRIPT = TRACER + LINE + """
import ombrix
from ombrix import _fit
path = _fit.__file__
out = {}
import capi
numeric = ctypes.CDLL(capi.LIB_PATH)
for dtype in (np.float64, np.float32):
    size = np.dtype(dtype).itemsize
    # the numeric layer's own solver, and the engine with the workspace the binding gives it
    fit = lambda: ombrix.fit(line, [0.0, 0.0], y, jac=line_jac, dtype=dtype, constraints="direct")
    sizes = allocations(path, fit)
    out[f"fit {size}"] = failing(path, sizes.index(size * (2 * n + 4 * m + n * m + m * m)) + 2, fit)
    engine_fit = lambda: ombrix.fit(line, [0.0, 0.0], y, jac=line_jac, dtype=dtype)
    sizes = allocations(path, engine_fit)
    engine_reals = (numeric.dombrix_solve_workspace_size if size == 8 else numeric.sombrix_solve_workspace_size)(m, n)
    out[f"engine {size}"] = failing(path, sizes.index(size * engine_reals) + 1, engine_fit)
    # the check's scratch, 2n + nm + m reals, is the first allocation that large
    point = np.array([0.5, 0.5], dtype)
    check = lambda: ombrix.check_jacobian(line, line_jac, point)
    out[f"check {size}"] = failing(path, 1, check, size * (2 * n + n * m + m))
out["after"] = [np.round(ombrix.fit(line, [0.0, 0.0], y, jac=line_jac).p, 6).tolist(),
                ombrix.check_jacobian(line, line_jac, [0.5, 0.5]).tolist()]
print(json.dumps(out))
"""


def test_fit_binding_raises_memory_error_where_the_numeric_layer_would_end_the_process(failing_allocator):
    outcomes, stderr = run_json(FIT_SCRIPT,
                                env={"LD_PRELOAD": failing_allocator})
    after = outcomes.pop("after")
    assert [outcomes.pop(f"engine {size}") for size in (8, 4)] == [["MemoryError", ""]] * 2
    assert outcomes == {
        f"{what} {size}": ["MemoryError", message.format(p=prefix)]
        for size, prefix in ((8, "d"), (4, "s"))
        for what, message in (("fit", "memory allocation in {p}Ax_eq_b_BK() failed!"),
                              ("check", "{p}ombrix_chkjac(): memory allocation request failed"))
    }
    assert stderr.splitlines() == [message for _, message in outcomes.values()]
    assert after == [[1.0, 2.0], [1.0] * 5]


# A fit that succeeded keeps its result when its covariance cannot be
# estimated for lack of memory: the equality-constrained solvers return their
# iteration count with the all-zero covariance of a failed estimate.
COVARIANCE_SCRIPT = TRACER + LINE + """
import capi
path = capi.LIB_PATH
y = y + [0.1, -0.1, 0.05, 0.0, -0.05]  # a residual, so that the covariance is not zero
A, b = np.array([[1.0, 1.0]]), np.array([3.0])
def matrix(bad, dt):
    # the J^T J of a hung fit: two parameters of the model, whose products
    # overflow, and a slack it ignores (an SVD of it spins on infinities)
    return np.array([[bad, bad, 0.0], [bad, bad, 0.0], [0.0, 0.0, 1.0]], dt)

out = {}
for prefix in capi.PRECISIONS:
    dt = capi.DTYPE[prefix]
    size = np.dtype(dt).itemsize
    model = capi.callback(prefix, line)
    jac = capi.jacobian_callback(prefix, line_jac)
    y_, A_, b_ = y.astype(dt), A.astype(dt), b.astype(dt)
    for solver in ("lec_der", "lec_dif"):
        def run():
            p, cov = np.zeros(m, dt), np.full((m, m), 7.0, dt)
            head = (model, jac) if solver == "lec_der" else (model,)
            ret = capi.fn(prefix, "ombrix_" + solver)(*head, capi.ptr(p), capi.ptr(y_), m, n, capi.ptr(A_),
                                                       capi.ptr(b_), 1, 100, None, None, None, capi.ptr(cov), None)
            return [ret, p.tolist(), cov.tolist()]
        normal = run()
        sizes = allocations(path, run)
        # the pseudoinverse's scratch 3m^2 + 6m, last; for the difference
        # solver the Jacobian (m + 2) n before it
        targets = {"pseudoinverse": size * (3 * m * m + 6 * m)}
        if solver == "lec_dif":
            targets["jacobian"] = size * (m + 2) * n
        for target, bytes_ in targets.items():
            nth = len(sizes) - sizes[::-1].index(bytes_)
            result = []
            failing(path, nth, lambda: result.append(run()))
            out[f"{prefix} {solver} {target}"] = [normal, result[0]]
print(json.dumps(out))
"""


def test_constrained_fit_keeps_its_result_when_the_covariance_cannot_be_allocated(failing_allocator):
    outcomes, stderr = run_json(COVARIANCE_SCRIPT,
                                env={"LD_PRELOAD": failing_allocator})
    assert sorted(outcomes) == sorted(f"{prefix} {solver} {target}" for prefix in PRECISIONS
                                      for solver, target in (("lec_der", "pseudoinverse"),
                                                             ("lec_dif", "pseudoinverse"), ("lec_dif", "jacobian")))
    for (normal, failed) in outcomes.values():
        assert normal[0] > 0 and 0 not in np.ravel(normal[2])
        assert failed == [normal[0], normal[1], [[0.0, 0.0], [0.0, 0.0]]]
    assert sorted(stderr.splitlines()) == sorted(
        message.format(p=prefix) for prefix in PRECISIONS
        for message in ("memory allocation in {p}ombrix_pseudoinverse() failed!",
                        "memory allocation in {p}ombrix_pseudoinverse() failed!",
                        "{p}ombrix_lec_dif(): memory allocation request failed"))


# A batch of a compiled model takes its memory once per worker: the same
# allocations from the binding for 3 rows as for 30, and all released.
BATCH_SCRIPT = TRACER + """
import ombrix
from ombrix import _fit
path = _fit.__file__
t = np.arange(8.0)
prototype = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double), ctypes.c_int,
                             ctypes.c_int, ctypes.c_void_p)

@prototype
def decay(p, out, m, n, user_data):
    a, k, c = np.ctypeslib.as_array(p, (m,))
    np.ctypeslib.as_array(out, (n,))[:] = a * np.exp(-k * t) + c

@prototype
def decay_jac(p, out, m, n, user_data):
    a, k, c = np.ctypeslib.as_array(p, (m,))
    e = np.exp(-k * t)
    np.ctypeslib.as_array(out, (n, m))[:] = np.column_stack([e, -a * t * e, np.ones_like(t)])

rng = np.random.default_rng(0)
y = 2 * np.exp(-0.5 * t) + 1 + rng.normal(0, 0.01, (30, t.size))
p0 = np.array([2.0, 0.5, 1.0]) * rng.uniform(0.8, 1.2, (30, 3))

def events(call):
    start(path)
    call()
    size, out = ctypes.c_size_t(), []
    for i in range(tracer.trace_count()):
        out.append([chr(tracer.trace_event(i, ctypes.byref(size))), size.value])
    return out

out = {}
for workers in (1, 2):
    for rows in (3, 30):
        batch = lambda: ombrix.fit_many(decay, p0[:rows], y[:rows], jac=decay_jac, workers=workers)
        assert ombrix.fit_many(decay, p0[:rows], y[:rows], jac=decay_jac, workers=workers).success.all()
        out[f"{workers} {rows}"] = events(batch)
print(json.dumps(out))
"""


def test_compiled_batch_allocates_per_worker_not_per_row(failing_allocator):
    outcomes, _ = run_json(BATCH_SCRIPT, env={"LD_PRELOAD": failing_allocator})
    for workers in (1, 2):
        few, many = (outcomes[f"{workers} {rows}"] for rows in (3, 30))
        taken = sorted(size for kind, size in many if kind == "a")
        assert taken and sorted(size for kind, size in few if kind == "a") == taken
        assert sorted(size for kind, size in many if kind == "f") == taken


# Whichever allocation of a fit fails, the fit raises MemoryError or returns
# a finite covariance; a statistic it could not compute never passes for one.
STATISTICS_SCRIPT = TRACER + LINE + """
import ombrix
from ombrix import _fit
path = _fit.__file__
noisy = y + [0.1, -0.1, 0.05, 0.0, -0.05]
fit = lambda: ombrix.fit(line, [0.0, 0.0], noisy, jac=line_jac)
normal = fit().p.tolist()
out = []
for nth in range(1, len(allocations(path, fit)) + 1):
    results = []
    failed = failing(path, nth, lambda: results.append(fit()))
    out.append(["returned", bool(np.isfinite(results[0].cov).all())] if results else failed[0])
out.append(fit().p.tolist() == normal)  # and the binding works as before
print(json.dumps(out))
"""


def test_fit_with_a_failed_allocation_raises_or_has_its_statistics(failing_allocator):
    outcomes, _ = run_json(STATISTICS_SCRIPT, env={"LD_PRELOAD": failing_allocator})
    assert outcomes.pop() is True
    assert set(map(str, outcomes)) <= {"MemoryError", str(["returned", True])}
    assert "MemoryError" in outcomes
