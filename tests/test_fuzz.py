"""Property-based fuzzing of every fitting entry point: bad arguments of every
kind and models that misbehave in every way must give a documented exception
or a sane result, never a crash, a hang or an exit of the interpreter.

Each case runs in a child of a worker process (tests/fuzz_worker.py), which
reports a child that dies, exits or hangs.  A failure shows the case as a
standalone script that reproduces it (run it with `python -P`) and the
child's output (a traceback, a sanitizer's report); hypothesis shrinks it to
the smallest such case.  Each kind of failure is an exception class of its
own, so that hypothesis reports every distinct fault of a test, not only the
first.  OMBRIX_FUZZ_EXAMPLES sets the examples per (entry point, behaviour)
test, for a longer hunt than the default.
"""

import json
import os
import select
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import SANITIZED, TESTS_DIR
from fuzz_cases import BEHAVIOURS, ENTRIES, PRELUDE, cases

# Normal cases take milliseconds; a case that runs this long hangs.
CASE_TIMEOUT = 10.0 if SANITIZED else 5.0
START_TIMEOUT = 120.0

# Fixed and reproducible: the same examples on every run, no example database.
FUZZ = settings(max_examples=int(os.environ.get("OMBRIX_FUZZ_EXAMPLES", 3 if SANITIZED else 8)),
                deadline=None, derandomize=True, database=None, print_blob=False,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])


class ChildKilledBySignal(AssertionError):
    pass


class ChildExited(AssertionError):
    pass


class ChildHung(AssertionError):
    pass


class BaseExceptionLost(AssertionError):
    pass


class ModelExceptionReplaced(AssertionError):
    pass


class UndocumentedException(AssertionError):
    pass


class EmptyMessage(AssertionError):
    pass


class InsaneResult(AssertionError):
    pass


class ValidCallFailed(AssertionError):
    pass


FAILURES = {"signal": ChildKilledBySignal, "exit": ChildExited, "hang": ChildHung,
            "base_exception_lost": BaseExceptionLost, "model_exception_replaced": ModelExceptionReplaced,
            "undocumented_exception": UndocumentedException, "empty_message": EmptyMessage,
            "insane_result": InsaneResult, "valid_call_failed": ValidCallFailed}


class Worker:
    """The fuzz_worker process, which runs each case in a child of its own;
    started again should it stop answering."""

    def __init__(self):
        self.process = None

    def start(self):
        env = dict(os.environ, PYTHONPATH=TESTS_DIR, OPENBLAS_NUM_THREADS="1")
        if SANITIZED:
            # allocations past the limit fail instead of taking the machine's memory
            env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
                                   ":max_allocation_size_mb=3072:hard_rss_limit_mb=6144").lstrip(":")
        self.process = subprocess.Popen(
            [sys.executable, "-P", os.path.join(TESTS_DIR, "fuzz_worker.py"), str(CASE_TIMEOUT)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
        assert self._answer(START_TIMEOUT) == "ready\n", "the fuzz worker did not start"

    def stop(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None

    def _answer(self, timeout):
        if not select.select([self.process.stdout], [], [], timeout)[0]:
            return ""
        return self.process.stdout.readline()

    def run(self, case):
        """Runs `case`; returns (failure class or None, description)."""
        if self.process is None:
            self.start()
        request = {"entry": case.entry, "setup": PRELUDE + "\n".join(case.setup), "call": case.call,
                   "after": "\n".join(case.after), "m": case.m, "n": case.n, "valid": case.valid}
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        answer = self._answer(CASE_TIMEOUT + 60)
        if not answer:
            self.stop()
            raise RuntimeError("the fuzz worker stopped answering")
        outcome = json.loads(answer)
        if not outcome["problems"]:
            return None, outcome["summary"]
        kind, text = outcome["problems"][0]
        output = outcome.get("output", "")
        return FAILURES[kind], "\n".join(filter(None, [text, outcome["summary"], output]))


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.stop()


def _run(worker, entry, case):
    failure, description = worker.run(case)
    if failure is not None:
        raise failure(f"{entry}: {description}\n\nreproducer (python -P):\n{case.source()}")


@pytest.mark.parametrize("entry", ENTRIES)
@given(data=st.data())
@settings(FUZZ, max_examples=FUZZ.max_examples * 4)
def test_valid_calls_return_results(worker, entry, data):
    _run(worker, entry, data.draw(cases(entry, "fine", faults=False), label="case"))


@pytest.mark.parametrize("entry", ENTRIES)
@given(data=st.data())
@settings(FUZZ, max_examples=FUZZ.max_examples * 6)
def test_bad_arguments_give_documented_errors(worker, entry, data):
    _run(worker, entry, data.draw(cases(entry, "fine"), label="case"))


# Each (entry point, behaviour) pair is a test of its own, so that each fault
# is reported, and each behaviour is tried on each entry point.
@pytest.mark.parametrize("behaviour", [b for b in BEHAVIOURS if b != "fine"])
@pytest.mark.parametrize("entry", ENTRIES)
@given(data=st.data())
@FUZZ
def test_misbehaving_callables_give_documented_outcomes(worker, entry, behaviour, data):
    _run(worker, entry, data.draw(cases(entry, behaviour), label="case"))
