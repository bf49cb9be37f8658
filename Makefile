# Two commands do all the set-up on a fresh machine:
#   make demo   build and install ombrix into .venv, then run a real fit
#   make test   build and install ombrix with its test requirements, run every test
#   make bench  regenerate the benchmark results in bench/results/
#   make examples  run the examples, writing their figures into examples/figures/
#   make docs   build the documentation into docs/_build/html (warnings are errors)
#   make sanitize  build with the address and undefined-behaviour sanitizers
#               (in build/sanitize and .venv-sanitize) and run the C-level tests
#
# (-P keeps the source folder ombrix/ off sys.path, so the installed package is used.)
# The virtual environment uses CPython 3.12 when it can be found (on PATH or
# under pyenv), otherwise python3.  Override with `make test PYTHON=...`.

PYTHON ?= $(shell for p in python3.12 $$(pyenv root 2>/dev/null)/versions/3.12*/bin/python3.12 python3; do \
            "$$p" -c 'import sys' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
# One BLAS thread: small solves gain nothing from more, and results stay reproducible.
export OPENBLAS_NUM_THREADS ?= 1

.PHONY: demo test sanitize examples docs bench bench-c install clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet ".[test]"

demo: install
	$(PY) -P -m ombrix

test: install
	$(PY) -P -m pytest -q

# The numeric layer, both extension modules and the C example instrumented with
# ASan and UBSan, in their own build folder and virtual environment.  Python and
# NumPy are not instrumented, so the sanitizer runtime is preloaded; leaks are
# not checked because CPython keeps its objects at exit, and an allocation too
# large fails as it would without the sanitizer.  The tests see OMBRIX_SANITIZE
# (the C example is compiled with its flags).  --capture=sys lets a sanitizer's
# report reach the terminal even when it ends the process.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
SAN_TESTS := tests/test_c_api.py tests/test_module_*.py tests/test_lm*.py tests/test_examples.py \
             tests/test_fit_*.py tests/test_fuzz.py

$(SAN_PY):
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install --quiet --upgrade pip

sanitize: $(SAN_PY)
	$(SAN_PY) -m pip install --quiet -Cbuild-dir=build/sanitize -Ccmake.define.OMBRIX_SANITIZE=ON ".[test]"
	OMBRIX_SANITIZE="$(SAN_FLAGS)" LD_PRELOAD="$$($(CC) -print-file-name=libasan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(SAN_PY) -P -m pytest -q --capture=sys $(SAN_TESTS)

examples: $(PY)
	$(PY) -m pip install --quiet ".[examples]"
	for example in peak_fit mixture_fractions positive_lifetimes flim; do $(PY) examples/$$example.py || exit 1; done

# Sphinx with numpydoc; -n -W: a broken reference or docstring fails the build.
# (The package is imported by autodoc: -P keeps the source folder off sys.path.)
# One install builds ombrix with the docs extra; the test extra is not needed.
docs: $(PY)
	$(PY) -m pip install --quiet ".[docs]"
	$(PY) -P -m sphinx -b html -n -W --keep-going -q docs docs/_build/html
	@echo "documentation: docs/_build/html/index.html"

# Benchmarks: regenerate bench/results/ (nist.md, nist.png, lm_overhead.md, bounded.md, mgh.md,
# engine_nist.md, many.md).
bench: install
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) -P bench/nist_bench.py
	$(PY) -P bench/lm_overhead.py
	$(PY) -P bench/bounded_bench.py
	$(PY) -P bench/mgh_bench.py
	$(PY) -P bench/engine_nist.py
	$(PY) -P bench/many_bench.py

# The same NIST problems in C: the engine against GSL and Ceres Solver (needs
# Debian's libgsl-dev and libceres-dev).
bench-c: install
	$(PY) -P bench/nist_c.py

clean:
	rm -rf build $(VENV) $(SAN_VENV) docs/_build docs/api/generated
