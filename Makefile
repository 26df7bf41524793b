# Everyday commands; each sets up first what is missing or out of date (tools/setup).
# They use the machine's python3 and its environment .venv; PYTHON=3.13 (or python3.13, or a
# path) runs them with another Python, in .venv-3.13 (tools/pythons lists the Pythons found).
SHELL := /bin/bash
.PHONY: setup demo test bench bench-quick check-stubs check-docs check-public-api check-tcl-linkage \
        sanitize ci dev

ifneq ($(strip $(PYTHON)),)
  FOUND := $(shell tools/pythons '$(PYTHON)')
  ifeq ($(FOUND),)
    $(error PYTHON=$(PYTHON) names no Python that can build and test this package)
  endif
  VENV := .venv-$(firstword $(FOUND))
  override PYTHON := $(word 2,$(FOUND))
  export PYTHON
else
  VENV := .venv
endif
export VENV

INSTALLED := $(VENV)/.tessel-installed
SOURCES := $(shell git ls-files src pyproject.toml CMakeLists.txt 2>/dev/null)

$(INSTALLED): $(SOURCES) tools/setup
	tools/setup
	touch $@

setup: $(INSTALLED)

demo: setup
	$(VENV)/bin/python examples/quickstart.py

# (-n auto: one test worker per core)
test: setup
	$(VENV)/bin/python -m pytest -n auto

bench: setup
	$(VENV)/bin/python bench/run.py

bench-quick: setup
	$(VENV)/bin/python bench/run.py --quick

check-stubs: setup
	tools/check-stubs $(VENV)/bin/python

check-docs: setup
	tools/check-docs $(VENV)/bin/python

# The built modules reach Tcl only through the host's stubs: no Tcl library linked.
check-tcl-linkage: setup
	tools/check-tcl-linkage $(VENV)/bin/python

# Only CPython's public C API in src/ (no setup needed).
check-public-api:
	tools/check-public-api

# The test suite again, on modules built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	PYTHON=$(CURDIR)/$(VENV)/bin/python tools/sanitize

# Everything CI checks, with one Python (.ci/run also runs the tests with every other Python
# that tools/pythons finds).
ci: check-public-api test check-stubs check-docs check-tcl-linkage bench-quick sanitize

# Development loop: modules built into src/, tests run from the tree.
dev:
	tools/devbuild dev
	PYTHONPATH=$(CURDIR)/src python3 -m pytest -q
