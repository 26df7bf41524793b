"""Shared fixtures: a fresh Interpreter per test, and a plain Tcl interpreter as the oracle."""

import tkinter

import pytest


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


pytest_plugins = ["pytester"]


# A run under the sanitizers (tools/sanitize) is several times slower: no deadlines there, and
# fewer examples for the property tests that do not fix their own count.
import os  # noqa: E402

from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile(
    "sanitize", max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
if os.environ.get("TESSEL_HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["TESSEL_HYPOTHESIS_PROFILE"])
