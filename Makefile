# Two commands do all the set-up on a fresh machine:
#   make demo   build and install ombrix into .venv, then run a real fit
#   make test   build and install ombrix with its test requirements, run every test
#   make bench  regenerate the benchmark results in bench/results/
#   make examples  run the examples, writing their figures into examples/figures/
#   make docs   build the documentation into docs/_build/html (warnings are errors)
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

.PHONY: demo test examples docs bench bench-c install clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet ".[test]"

demo: install
	$(PY) -P -m ombrix

test: install
	$(PY) -P -m pytest -q

examples: $(PY)
	$(PY) -m pip install --quiet ".[examples]"
	for example in peak_fit mixture_fractions positive_lifetimes; do $(PY) examples/$$example.py || exit 1; done

# Sphinx with numpydoc; -n -W: a broken reference or docstring fails the build.
# (The package is imported by autodoc: -P keeps the source folder off sys.path.)
# One install builds ombrix with the docs extra; the test extra is not needed.
docs: $(PY)
	$(PY) -m pip install --quiet ".[docs]"
	$(PY) -P -m sphinx -b html -n -W --keep-going -q docs docs/_build/html
	@echo "documentation: docs/_build/html/index.html"

# Benchmarks: regenerate bench/results/ (nist.md, nist.png, lm_overhead.md, bounded.md).
bench: install
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) -P bench/nist_bench.py
	$(PY) -P bench/lm_overhead.py
	$(PY) -P bench/bounded_bench.py
	$(PY) -P bench/mgh_bench.py

# The same NIST problems in C: the engine against GSL and Ceres Solver (needs
# Debian's libgsl-dev and libceres-dev).
bench-c: install
	$(PY) -P bench/nist_c.py

clean:
	rm -rf build $(VENV) docs/_build docs/api/generated
