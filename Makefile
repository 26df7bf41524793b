# Everyday commands; each sets up what is missing first (tools/setup).
.PHONY: setup demo test bench bench-quick dev

setup:
	tools/setup

demo: setup
	.venv/bin/python examples/quickstart.py

test: setup
	.venv/bin/python -m pytest

bench: setup
	.venv/bin/python bench/run.py

bench-quick: setup
	.venv/bin/python bench/run.py --quick

# Development loop: modules built into src/, tests run from the tree.
dev:
	tools/devbuild dev
	PYTHONPATH=src python3 -m pytest -q
