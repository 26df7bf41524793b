"""pytest plugin of tessel.tcl: Interpreter fixtures, and failing tests that explain themselves.

A failing test's report gets a "tcl history: <fixture>" section for every interpreter that a
fixture handed to it: the history entries recorded during this test, and ::errorInfo and
::errorCode when a Tcl error happened during this test.
"""

import argparse
from dataclasses import dataclass

import pytest

_HANDED_OUT = pytest.StashKey[list]()


def _entry_count(text):
    """--tcl-history's value: a count of entries, 0 or more."""
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of entries, got {text!r}")
    if count < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more (0 turns the section off), got {count}")
    return count


def pytest_addoption(parser):
    group = parser.getgroup("tessel-tcl")
    group.addoption(
        "--tcl-history",
        type=_entry_count,
        default=20,
        metavar="N",
        help="history entries of each tessel Interpreter shown for a failing test "
        "(default 20; 0 turns the section off)",
    )


@dataclass
class _HandedOut:
    """An interpreter a fixture gave to one test, and how it stood when the test began."""

    fixture: str
    interp: object
    last_entry: object  # the newest history entry before the test, or None
    error_state: tuple  # (::errorInfo, ::errorCode) before the test


def _tcl_variable(interp, name):
    """The text of a global Tcl variable; empty when unset (read without raising a Tcl error,
    which would itself change ::errorInfo)."""
    try:
        return interp.tk.eval(f"if {{[info exists {name}]}} {{set {name}}}")
    except Exception:  # the interpreter is unusable
        return ""


def _error_state(interp):
    return _tcl_variable(interp, "::errorInfo"), _tcl_variable(interp, "::errorCode")


def _entries(interp):
    try:
        return list(interp.history.filter(count=0))
    except Exception:  # a history replaced or broken by the test
        return []


def _hand_out(request, interp):
    entries = _entries(interp)
    handed = _HandedOut(request.fixturename, interp, entries[-1] if entries else None,
                        _error_state(interp))
    request.node.stash.setdefault(_HANDED_OUT, []).append(handed)
    return interp


@pytest.fixture
def tcl_interp(request):
    """A fresh tessel Interpreter for this test."""
    from tessel.tcl.interpreter import Interpreter

    return _hand_out(request, Interpreter())


@pytest.fixture
def tcl_global_interp(request):
    """The package's global interpreter (what tessel.tcl.eval and friends use)."""
    from tessel.tcl.interpreter import _global_interpreter

    return _hand_out(request, _global_interpreter)


def _entries_of_this_test(handed):
    """The history entries recorded since the interpreter was handed out, oldest first."""
    entries = _entries(handed.interp)
    for index in range(len(entries) - 1, -1, -1):
        if entries[index] is handed.last_entry:
            return entries[index + 1:]
    return entries  # the earlier entries were cleared or pushed out: all are this test's


def describe(handed, count):
    """The text of one "tcl history" section."""
    entries = _entries_of_this_test(handed)[-count:]
    lines = [f"last {count} calls of this test:"]
    lines += [f"  {entry}" for entry in entries] or ["  (none)"]
    error_info, error_code = _error_state(handed.interp)
    if (error_info, error_code) != handed.error_state:
        lines.append("::errorInfo of the Tcl error in this test:")
        lines += [f"  {line}" for line in error_info.splitlines()]
        lines.append(f"::errorCode: {error_code}")
    return "\n".join(lines)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    count = item.config.getoption("tcl_history")
    if report.failed and count > 0:
        for handed in item.stash.get(_HANDED_OUT, []):
            report.sections.append((f"tcl history: {handed.fixture}", describe(handed, count)))
