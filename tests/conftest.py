"""Shared fixtures: a fresh Interpreter per test, a plain Tcl interpreter as the oracle, and
Python code run in a process of its own (for what may crash or must start afresh)."""

import gc
import os
import pathlib
import subprocess
import sys
import textwrap
import tkinter

import pytest


@pytest.fixture(autouse=True)
def collect_garbage_here():
    """Frees each test's garbage on the main thread when the test ends. An interpreter left in
    a reference cycle would otherwise be freed by whichever thread next collects garbage, and
    Tcl aborts the process when an interpreter is deleted by a thread other than its own."""
    yield
    gc.collect()


@pytest.fixture
def oracle():
    """A plain Tcl interpreter (TclX loaded), untouched by tessel: the judge of Tcl's rules."""
    tk = tkinter.Tcl()
    tk.eval("package require Tclx")
    return tk


@pytest.fixture
def interp():
    """A fresh tessel Interpreter."""
    from tessel.tcl.interpreter import Interpreter

    return Interpreter()


def _python_apart(code, timeout=60):
    import tessel.tcl

    src = str(pathlib.Path(tessel.tcl.__file__).parents[2])  # the tessel these tests import
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        env={"PYTHONPATH": src, "PATH": "/usr/bin:/bin"},
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture(scope="session")
def python_apart():
    """Runs Python code in a fresh process that imports the same tessel; returns the finished
    process (a crash stays in it)."""
    return _python_apart


@pytest.fixture(scope="session")
def run_apart():
    """Like `python_apart`, for code that must succeed: returns its standard output."""

    def run(code, timeout=60):
        done = _python_apart(code, timeout)
        assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
        return done.stdout

    return run


pytest_plugins = ["pytester"]

# A source-tree PYTHONPATH made absolute while the working directory is still the project's:
# an inner pytest (pytester) runs elsewhere.
_ABSOLUTE_PYTHONPATH = os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry
)


@pytest.fixture
def absolute_pythonpath(monkeypatch):
    """PYTHONPATH pointing home from anywhere, for a pytest run elsewhere."""
    if _ABSOLUTE_PYTHONPATH:
        monkeypatch.setenv("PYTHONPATH", _ABSOLUTE_PYTHONPATH)


# A run under the sanitizers (tools/sanitize) is several times slower: no deadlines there, and
# fewer examples for the property tests that do not fix their own count.
from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile(
    "sanitize", max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
if os.environ.get("TESSEL_HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["TESSEL_HYPOTHESIS_PROFILE"])
