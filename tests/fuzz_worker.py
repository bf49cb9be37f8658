"""The process that runs the fuzz test's cases, so that a crash cannot take
pytest with it.

It imports NumPy and ombrix once, then reads one case per line (JSON) on
standard input and forks a child for each: the child runs the case's setup,
its call, and checks what came out (the exception or the result), and sends
back the problems found, each tagged with its kind.  A child that is killed
by a signal, exits the interpreter or does not answer within the timeout is
a problem of its own.  Everything the case prints goes to a file whose end
comes back with a failure (a sanitizer's report, a traceback).  One answer,
a JSON line, per case.
"""

import json
import os
import resource
import select
import signal
import sys
import tempfile
import time
import traceback
import warnings

import numpy as np

import ombrix
from fuzz_cases import LOW_LEVEL

# What an entry point may raise for bad input, besides what a callable raised;
# the low-level functions also raise AttributeError for a model result that
# is not array-like.
DOCUMENTED = (TypeError, ValueError, RuntimeError, OverflowError, MemoryError, ZeroDivisionError)
DOCUMENTED_LOW_LEVEL = DOCUMENTED + (AttributeError,)

# An address-space limit keeps a case that allocates without bound from taking
# the machine's memory: the allocation fails instead.  (The address sanitizer
# reserves more address space than that; it is limited by its own options.)
MEMORY_LIMIT = 3 << 30


def _describe(exc):
    notes = getattr(exc, "__notes__", None)
    return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc!s}" + (f" (notes: {notes})" if notes else "")


def check_exception(entry, exc, raised):
    """Problems with an exception that came out of the call."""
    deliberate = [e for e in raised if not isinstance(e, Exception)]
    if deliberate:
        if any(exc is e for e in deliberate):
            return []
        return [("base_exception_lost", f"the callable raised {type(deliberate[0]).__name__}, "
                                        f"the call raised {_describe(exc)}")]
    if any(exc is e for e in raised):
        return []
    if entry not in LOW_LEVEL and raised:
        return [("model_exception_replaced", f"the callable raised {_describe(raised[0])}, "
                                             f"the call raised {_describe(exc)} instead")]
    documented = DOCUMENTED_LOW_LEVEL if entry in LOW_LEVEL else DOCUMENTED
    if not isinstance(exc, documented):
        return [("undocumented_exception", _describe(exc))]
    if not str(exc) and not getattr(exc, "__notes__", None):
        # the low-level functions report solver failures by the bare RuntimeError
        if not (entry in LOW_LEVEL and type(exc) is RuntimeError):
            return [("empty_message", _describe(exc))]
    return []


def _shape(a):
    return np.shape(a) if isinstance(a, np.ndarray) else f"a {type(a).__name__}"


def check_result(entry, result, m, n, raised):
    """Problems with a result that came back."""
    deliberate = [e for e in raised if not isinstance(e, Exception)]
    if deliberate:
        return [("base_exception_lost", f"the callable raised {type(deliberate[0]).__name__}, the call returned")]
    if entry not in LOW_LEVEL and raised:
        return [("model_exception_replaced", f"the callable raised {_describe(raised[0])}, the call returned")]
    problems = []

    def expect(condition, what):
        if not condition:
            problems.append(("insane_result", what))

    if entry in LOW_LEVEL:
        expect(isinstance(result, tuple) and len(result) == 3, f"returned {type(result).__name__}, not (p, pcov, info)")
        if not problems:
            p, pcov, info = result
            expect(isinstance(p, np.ndarray) and p.dtype == np.float64 and p.shape == (m,),
                   f"p is {_shape(p)}, expected ({m},) float64")
            expect(isinstance(pcov, np.ndarray) and pcov.shape == (m, m), f"pcov is {_shape(pcov)}, expected ({m}, {m})")
            expect(isinstance(info, tuple), f"info is a {type(info).__name__}")
    elif entry == "fit":
        expect(isinstance(result, ombrix.FitResult), f"returned {type(result).__name__}")
        if not problems:
            expect(np.shape(result.p) == (m,) and np.shape(result.cov) == (m, m),
                   f"p {np.shape(result.p)}, cov {np.shape(result.cov)} for m = {m}")
            expect(np.shape(result.residuals) == (n,), f"residuals {np.shape(result.residuals)} for n = {n}")
            if result.success:
                expect(np.isfinite(result.p).all() and np.isfinite(result.chisq),
                       f"success with p = {result.p}, chisq = {result.chisq}")
    elif entry == "curve_fit":
        expect(isinstance(result, tuple) and len(result) in (2, 5), f"returned {type(result).__name__}")
        if not problems:
            popt, pcov = result[:2]
            expect(np.shape(popt) == (m,) and np.shape(pcov) == (m, m),
                   f"popt {np.shape(popt)}, pcov {np.shape(pcov)} for m = {m}")
            expect(np.isfinite(popt).all(), f"popt = {popt} returned as a fit")
    else:
        expect(isinstance(result, np.ndarray) and result.shape == (n,), f"returned {_shape(result)} for n = {n}")
        if not problems:
            expect(((result >= 0) & (result <= 1)).all(), f"agreement outside [0, 1]: {result}")
    return problems


def check_unraisable(entry, reports, raised):
    """Problems with the exceptions that callbacks reported as unraisable."""
    problems = []
    for exc in reports:
        if any(exc is e for e in raised):
            continue
        problems += check_exception(entry, exc, [])
    return problems


def run(case):
    namespace = {"__name__": "__fuzz__"}
    exec(case["setup"], namespace)
    m = n = None
    try:
        m, n = np.size(eval(case["m"], namespace)), np.size(eval(case["n"], namespace))
    except Exception:
        pass
    reports = []
    sys.unraisablehook = lambda report: (reports.append(report.exc_value), sys.__unraisablehook__(report))
    try:
        result = eval(case["call"], namespace)
        exc = None
    except BaseException as error:  # what the call raised is the outcome under test
        result, exc = None, error
    finally:
        sys.unraisablehook = sys.__unraisablehook__
    raised = list(namespace["RAISED"])
    if exc is not None:
        problems = check_exception(case["entry"], exc, raised)
        if case["valid"] and not problems:
            problems = [("valid_call_failed", "a valid, well-posed call raised")]
        summary = "raised " + _describe(exc)
    else:
        problems = check_result(case["entry"], result, m, n, raised)
        summary = f"returned a {type(result).__name__}"
    problems += check_unraisable(case["entry"], reports, raised)
    if case["after"]:
        try:
            exec(case["after"], namespace)
        except BaseException:  # only a crash matters here
            pass
    return {"summary": summary, "problems": problems}


def _tail(log):
    """The case's output, its start and its end when it is long (a sanitizer
    names the fault at the start of its report)."""
    log.seek(0)
    text = log.read().decode(errors="replace")
    return text if len(text) < 8000 else text[:4000] + "\n...\n" + text[-4000:]


def _wait(pid, timeout):
    """The child's wait status, or None if it is still running at the timeout."""
    end = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        if time.monotonic() > end:
            return None
        time.sleep(0.001)


def run_in_child(case, timeout):
    """Runs `case` in a forked child; returns the answer for the parent."""
    reader, writer = os.pipe()
    with tempfile.TemporaryFile() as log:
        sys.stdout.flush()
        sys.stderr.flush()
        began = time.monotonic()
        pid = os.fork()
        if pid == 0:  # the child: run, answer, and leave without the interpreter's clean-up
            status = 70
            try:
                os.close(reader)
                os.dup2(log.fileno(), 1)
                os.dup2(log.fileno(), 2)
                os.write(writer, json.dumps(run(case)).encode())
                status = 0
            except BaseException:  # a fault of the harness itself: shown in the output
                traceback.print_exc()
            finally:
                os._exit(status)
        os.close(writer)
        chunks = []
        while time.monotonic() - began < timeout:
            if select.select([reader], [], [], max(0.0, timeout - (time.monotonic() - began)))[0]:
                chunk = os.read(reader, 1 << 16)
                if not chunk:
                    break
                chunks.append(chunk)
        os.close(reader)
        status = _wait(pid, max(0.5, timeout - (time.monotonic() - began)))
        if status is None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return {"summary": "", "problems": [["hang", f"no answer after {timeout:.0f} s\n{_tail(log)}"]]}
        if os.WIFSIGNALED(status):
            name = signal.Signals(os.WTERMSIG(status)).name
            return {"summary": "", "problems": [["signal", f"killed by {name}\n{_tail(log)}"]]}
        if os.WEXITSTATUS(status) != 0 or not chunks:
            return {"summary": "", "problems": [
                ["exit", f"the interpreter exited with status {os.WEXITSTATUS(status)}\n{_tail(log)}"]]}
        answer = json.loads(b"".join(chunks))
        if answer["problems"]:
            answer["output"] = _tail(log)
        return answer


def main():
    timeout = float(sys.argv[1])
    if not os.environ.get("OMBRIX_SANITIZE"):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, resource.RLIM_INFINITY))
    warnings.simplefilter("ignore")
    print("ready", flush=True)
    for line in sys.stdin:
        print(json.dumps(run_in_child(json.loads(line), timeout)), flush=True)


if __name__ == "__main__":
    main()
