# Everyday commands; each sets up first what is missing or out of date (tools/setup).
SHELL := /bin/bash
.PHONY: setup demo test bench bench-quick check-stubs check-docs sanitize ci dev

INSTALLED := .venv/.tessel-installed
SOURCES := $(shell git ls-files src pyproject.toml CMakeLists.txt 2>/dev/null)

$(INSTALLED): $(SOURCES) tools/setup
	tools/setup
	touch $@

setup: $(INSTALLED)

demo: setup
	.venv/bin/python examples/quickstart.py

test: setup
	.venv/bin/python -m pytest

bench: setup
	.venv/bin/python bench/run.py

bench-quick: setup
	.venv/bin/python bench/run.py --quick

check-stubs: setup
	tools/check-stubs .venv/bin/python

check-docs: setup
	tools/check-docs .venv/bin/python

# The test suite again, on modules built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	tools/sanitize

# Everything CI checks.
ci: test check-stubs check-docs bench-quick sanitize

# Development loop: modules built into src/, tests run from the tree.
dev:
	tools/devbuild dev
	PYTHONPATH=$(CURDIR)/src python3 -m pytest -q
