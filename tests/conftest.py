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
