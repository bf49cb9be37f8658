"""Dense linear solvers A x = B: round trips, the retained scratch buffer,
numerical failures with their messages, and the paths that end the process."""

import json
import os
import subprocess
import threading

import numpy as np
import pytest

import capi
from capi import PRECISIONS, fn, ptr
from conftest import run_isolated

SQUARE = ["BK", "QR", "Chol", "LU", "SVD"]
SOLVERS = SQUARE + ["QRLS"]
EPS = {"d": np.finfo(np.float64).eps, "s": np.finfo(np.float32).eps}
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def solve(prefix, solver, A, B):
    """Runs one solver; returns (result, x).  A and B must stay unchanged."""
    dt = capi.DTYPE[prefix]
    A, B = np.ascontiguousarray(A, dt), np.ascontiguousarray(B, dt)
    A_before, B_before = A.copy(), B.copy()
    x = np.full(A.shape[1], np.nan, dt)
    if solver == "QRLS":
        result = fn(prefix, "Ax_eq_b_QRLS")(ptr(A), ptr(B), ptr(x), *A.shape)
    else:
        result = fn(prefix, "Ax_eq_b_" + solver)(ptr(A), ptr(B), ptr(x), A.shape[0])
    assert A.tobytes() == A_before.tobytes() and B.tobytes() == B_before.tobytes()
    return result, x


def release(prefix, solver):
    if solver == "QRLS":
        return fn(prefix, "Ax_eq_b_QRLS")(None, None, None, 0, 0)
    return fn(prefix, "Ax_eq_b_" + solver)(None, None, None, 0)


def well_conditioned(solver, m, seed):
    """A matrix the solver is made for, with condition number below 10: SPD
    for Cholesky, symmetric indefinite for Bunch-Kaufman, general otherwise
    (m x (m // 2 + 1) for the least-squares solver)."""
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.standard_normal((m, m)))
    if solver in ("BK", "Chol"):
        spectrum = rng.uniform(1.0, 5.0, m)
        if solver == "BK":
            spectrum[::2] *= -1
        return (q * spectrum) @ q.T
    q2, _ = np.linalg.qr(rng.standard_normal((m, m)))
    cols = m // 2 + 1 if solver == "QRLS" else m
    return (q[:, :cols] * rng.uniform(1.0, 5.0, cols)) @ q2[:cols, :cols]


def assert_accurate(prefix, solver, A, x, x_true):
    """Relative error within a few eps times the condition number (squared
    for the least-squares solver, which solves the normal equations)."""
    condition = np.linalg.cond(A.astype(np.float64)) ** (2 if solver == "QRLS" else 1)
    error = np.linalg.norm(x - x_true) / np.linalg.norm(x_true)
    assert error < 8 * EPS[prefix] * condition * np.sqrt(len(x)), f"relative error {error:.3g}"


def round_trip(prefix, solver, m, seed=0):
    dt = capi.DTYPE[prefix]
    A = well_conditioned(solver, m, seed).astype(dt)
    x_true = np.random.default_rng(seed + 1).uniform(-2, 2, A.shape[1])
    B = A.astype(np.float64) @ x_true  # consistent, also for least squares
    result, x = solve(prefix, solver, A, B)
    assert result == 1
    assert_accurate(prefix, solver, A, x, x_true)


# ---- round trips ----------------------------------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_round_trips_with_growing_and_shrinking_orders(prefix, solver):
    # the retained buffer is reused for smaller orders and replaced for larger ones
    for m in (1, 5, 3, 17, 8, 17):
        round_trip(prefix, solver, m, seed=m)
    assert release(prefix, solver) == 1
    round_trip(prefix, solver, 6)  # after a release the next call allocates anew
    assert release(prefix, solver) == 1


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_release_before_any_call_and_twice(prefix, solver):
    # the buffers are per thread: a new thread starts without one
    results = []
    thread = threading.Thread(target=lambda: results.extend(release(prefix, solver) for _ in range(2)))
    thread.start()
    thread.join()
    assert results == [1, 1]


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_empty_system_is_solved_trivially(prefix, solver, capfd):
    dt = capi.DTYPE[prefix]
    A, B = np.ones(1, dt), np.ones(1, dt)
    x = np.full(1, 7.0, dt)
    if solver == "QRLS":
        assert fn(prefix, "Ax_eq_b_QRLS")(ptr(A), ptr(B), ptr(x), 0, 0) == 1
        assert fn(prefix, "Ax_eq_b_QRLS")(ptr(A), ptr(B), ptr(x), 4, 0) == 1
    else:
        assert fn(prefix, "Ax_eq_b_" + solver)(ptr(A), ptr(B), ptr(x), 0) == 1
    assert x[0] == 7.0
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_threads_keep_separate_buffers(prefix, solver):
    # Two threads solve at the same time (ctypes releases the interpreter lock
    # during the call), each alternating between a small and a large order of
    # its own.  A buffer shared between them would be overwritten, or freed and
    # replaced, under the other thread's solve.  Each result must equal the
    # one the same system gives on a single thread.
    dt = capi.DTYPE[prefix]
    repeats = 300
    barrier = threading.Barrier(2)

    def system(m, seed):
        A = well_conditioned(solver, m, seed).astype(dt)
        x_true = np.random.default_rng(seed).uniform(-2, 2, A.shape[1])
        return A, (A.astype(np.float64) @ x_true).astype(dt)

    def worker(orders, seed, solutions):
        systems = [system(m, seed + m) for m in orders]
        barrier.wait()
        for k in range(repeats):
            A, B = systems[k % 2]
            solutions.append(solve(prefix, solver, A, B))
        release(prefix, solver)

    plans = [((4, 23), 0), ((31, 7), 100)]
    results = [[], []]
    threads = [threading.Thread(target=worker, args=(*plan, out)) for plan, out in zip(plans, results)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for (orders, seed), solutions in zip(plans, results):
        assert len(solutions) == repeats
        references = [solve(prefix, solver, *system(m, seed + m))[1] for m in orders]
        for k, (ok, x) in enumerate(solutions):
            assert ok == 1
            assert x.tobytes() == references[k % 2].tobytes(), f"solve {k} of orders {orders}"


# ---- particular systems -------------------------------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", ["BK", "QR", "LU", "SVD"])
def test_symmetric_indefinite_system(prefix, solver):
    # zero diagonal: Cholesky cannot, the others can
    result, x = solve(prefix, solver, [[0.0, 1.0], [1.0, 0.0]], [3.0, -2.0])
    assert result == 1
    np.testing.assert_allclose(x, [-2.0, 3.0], rtol=4 * EPS[prefix])


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_svd_gives_the_minimum_norm_solution_of_a_singular_system(prefix):
    result, x = solve(prefix, "SVD", np.ones((2, 2)), [2.0, 2.0])
    assert result == 1
    np.testing.assert_allclose(x, [1.0, 1.0], rtol=8 * EPS[prefix])
    result, x = solve(prefix, "SVD", np.zeros((3, 3)), [1.0, 2.0, 3.0])
    assert result == 1 and np.array_equal(x, np.zeros(3))


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_qrls_least_squares_solution(prefix):
    A = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    B = np.array([1.0, 2.0, 2.0])  # not in the range of A
    result, x = solve(prefix, "QRLS", A, B)
    assert result == 1
    np.testing.assert_allclose(x, np.linalg.lstsq(A, B, rcond=None)[0], rtol=16 * EPS[prefix])


# Numerical failures: result 0, a message naming the solver and the LAPACK
# routine (with the pivot or order LAPACK reports), and the process goes on.
FAILURES = [
    ("BK", np.zeros((2, 2)), "LAPACK error: singular block diagonal matrix D for{p}sytrf_ in {p}Ax_eq_b_BK() [D(1, 1) is zero]\n"),
    ("BK", np.ones((2, 2)), "LAPACK error: singular block diagonal matrix D for{p}sytrf_ in {p}Ax_eq_b_BK() [D(2, 2) is zero]\n"),
    ("Chol", np.zeros((2, 2)), "LAPACK error: the leading minor of order 1 is not positive definite,\n"
                               "the factorization could not be completed for {p}potf2_/{p}potrf_ in {p}Ax_eq_b_Chol()\n"),
    ("Chol", [[0.0, 1.0], [1.0, 0.0]], "LAPACK error: the leading minor of order 1 is not positive definite,\n"
                                        "the factorization could not be completed for {p}potf2_/{p}potrf_ in {p}Ax_eq_b_Chol()\n"),
    ("Chol", [[1.0, 2.0], [2.0, 1.0]], "LAPACK error: the leading minor of order 2 is not positive definite,\n"
                                        "the factorization could not be completed for {p}potf2_/{p}potrf_ in {p}Ax_eq_b_Chol()\n"),
    ("LU", np.zeros((2, 2)), "singular matrix A for {p}getrf_ in {p}Ax_eq_b_LU()\n"),
    ("LU", [[1.0, 0.0], [2.0, 0.0]], "singular matrix A for {p}getrf_ in {p}Ax_eq_b_LU()\n"),
    ("QR", np.zeros((2, 2)), "LAPACK error: the 1-th diagonal element of A is zero (singular matrix) in {p}Ax_eq_b_QR()\n"),
    ("QR", [[1.0, 0.0], [2.0, 0.0]], "LAPACK error: the 2-th diagonal element of A is zero (singular matrix) in {p}Ax_eq_b_QR()\n"),
    ("QRLS", np.zeros((3, 2)), "LAPACK error: the 1-th diagonal element of A is zero (singular matrix) in {p}Ax_eq_b_QRLS()\n"),
    ("QRLS", [[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]],
     "LAPACK error: the 2-th diagonal element of A is zero (singular matrix) in {p}Ax_eq_b_QRLS()\n"),
]


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver,A,message", FAILURES)
def test_numerical_failure_message(prefix, solver, A, message, capfd):
    A = np.asarray(A)
    result, _ = solve(prefix, solver, A, np.ones(A.shape[0]))
    assert result == 0
    assert capfd.readouterr().err == message.format(p=prefix)
    round_trip(prefix, solver, 4)  # the solver keeps working after a failure


# ---- paths that end the process ----------------------------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_qrls_with_fewer_rows_than_columns_exits(prefix, isolated):
    result = isolated(f"""
import numpy as np, capi
A, B, x = np.ones(6, capi.DTYPE["{prefix}"]), np.ones(2, capi.DTYPE["{prefix}"]), np.zeros(3, capi.DTYPE["{prefix}"])
capi.fn("{prefix}", "Ax_eq_b_QRLS")(capi.ptr(A), capi.ptr(B), capi.ptr(x), 2, 3)
print("returned")
""")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "Normal equations require that the number of rows is greater than number of columns in "
        f"{prefix}Ax_eq_b_QRLS() [2 x 3]! -- try transposing\n"
    )


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_buffer_allocation_failure_exits(prefix, solver, isolated):
    # order 30000: several GiB of scratch, more than the address space allowed;
    # nothing is read from A or B before the buffer exists
    order = 30000
    args = f"{order}, {order}" if solver == "QRLS" else f"{order}"
    result = isolated(f"""
import resource
import numpy as np, capi
A = np.ones(1, capi.DTYPE["{prefix}"])
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), size + (512 << 20)))
capi.fn("{prefix}", "Ax_eq_b_{solver}")(capi.ptr(A), capi.ptr(A), capi.ptr(A), {args})
print("returned")
""")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"memory allocation in {prefix}Ax_eq_b_{solver}() failed!\n"


# ---- the retained buffer, seen from the allocator ----------------------------------------------

TRACE_SCRIPT = """
import ctypes, json, sys, threading, time
import numpy as np
import capi

tracer = ctypes.CDLL(sys.argv[1])
tracer.trace_start.argtypes = [ctypes.c_size_t, ctypes.c_size_t]
tracer.trace_event.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_size_t)]
with open("/proc/self/maps") as f:
    spans = [[int(a, 16) for a in line.split()[0].split("-")] for line in f if line.rstrip().endswith(capi.LIB_PATH)]
lo, hi = min(s[0] for s in spans), max(s[1] for s in spans)

def events():
    size = ctypes.c_size_t()
    out = [(chr(tracer.trace_event(i, ctypes.byref(size))), size.value) for i in range(tracer.trace_count())]
    tracer.trace_start(lo, hi)
    return out

result = {}
for prefix in capi.PRECISIONS:
    dt = capi.DTYPE[prefix]
    systems = {m: (np.eye(m, dtype=dt) * 4, np.ones(m, dt), np.zeros(m, dt)) for m in (3, 5, 8)}
    for solver in ("BK", "QR", "QRLS", "Chol", "LU", "SVD"):
        f = capi.fn(prefix, "Ax_eq_b_" + solver)
        extra = (0,) if solver == "QRLS" else ()
        def call(m):
            A, B, x = systems[m]
            ok = f(capi.ptr(A), capi.ptr(B), capi.ptr(x), m, *((m,) if solver == "QRLS" else ()))
            assert ok == 1 and np.all(x == 0.25), (solver, m, x)
        def release():
            assert f(None, None, None, 0, *extra) == 1
        steps = [("release first", release), ("solve 5", lambda: call(5)), ("solve 3", lambda: call(3)),
                 ("solve 8", lambda: call(8)), ("solve 5 again", lambda: call(5)),
                 ("release", release), ("release again", release)]
        log = []
        tracer.trace_start(lo, hi)
        for name, step in steps:
            step()
            log.append([name, events()])
        go = threading.Event()
        worker = threading.Thread(target=lambda: (go.wait(), call(3)))
        worker.start()  # the thread's own start-up allocations happen before tracing
        events()
        go.set()
        worker.join()
        # join returns before the thread has finished exiting, which is when
        # its thread_local objects are destroyed
        deadline = time.monotonic() + 5
        while tracer.trace_count() < 2 and time.monotonic() < deadline:
            time.sleep(0.005)
        log.append(["thread solves 3 and ends", events()])
        result[prefix + solver] = log
print(json.dumps(result))
"""


@pytest.fixture(scope="module")
def allocation_log(tmp_path_factory):
    library = tmp_path_factory.mktemp("trace") / "alloc_trace.so"
    subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", str(library), os.path.join(TESTS_DIR, "alloc_trace.c")],
                   check=True)
    result = run_isolated(f"import sys; sys.argv = ['', {str(library)!r}]\n" + TRACE_SCRIPT,
                      env={"LD_PRELOAD": str(library)})
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_retained_buffer_lifecycle(allocation_log, prefix, solver):
    log = dict((name, [kind for kind, _ in events]) for name, events in allocation_log[prefix + solver])
    sizes = dict((name, [size for _, size in events]) for name, events in allocation_log[prefix + solver])
    assert log == {
        "release first": [],  # nothing held, nothing done
        "solve 5": ["a"],  # one buffer
        "solve 3": [],  # reused
        "solve 8": ["f", "a"],  # replaced by a larger one
        "solve 5 again": [],  # never shrinks
        "release": ["f"],
        "release again": [],
        "thread solves 3 and ends": ["a", "f"],  # a buffer of its own, freed with the thread
    }
    assert sizes["solve 8"][0] == sizes["solve 5"][0] < sizes["solve 8"][1] == sizes["release"][0]
