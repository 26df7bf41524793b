"""pytest plugin of tessel.tcl: Interpreter fixtures, and failing tests that explain themselves.

A failing test's report gets a "tcl history" section: the last history entries of every
interpreter that the fixtures handed to it, and the ::errorInfo of the last Tcl error.
"""

import pytest

_INTERPRETERS = pytest.StashKey[list]()


def pytest_addoption(parser):
    group = parser.getgroup("tessel-tcl")
    group.addoption(
        "--tcl-history",
        type=int,
        default=20,
        metavar="N",
        help="history entries of each tessel Interpreter shown for a failing test "
        "(default 20; 0 turns the section off)",
    )


def _hand_out(request, interp):
    request.node.stash.setdefault(_INTERPRETERS, []).append(interp)
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


def _error_info(interp):
    try:
        return interp.tk.call("set", "::errorInfo")
    except Exception:  # no Tcl error yet, or the interpreter is unusable
        return ""


def describe(interps, count):
    """The text of the "tcl history" section for these interpreters."""
    blocks = []
    for number, interp in enumerate(interps, 1):
        lines = [f"interpreter {number} ({interp.__class__.__name__}), last {count} calls:"]
        lines += [f"  {entry}" for entry in interp.history.filter(count=count)] or ["  (none)"]
        error_info = _error_info(interp)
        if error_info:
            lines.append("::errorInfo of the last Tcl error:")
            lines += [f"  {line}" for line in error_info.splitlines()]
        blocks.append("\n".join(lines))
    return "\n\n".join(blocks)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    count = item.config.getoption("tcl_history")
    interps = item.stash.get(_INTERPRETERS, [])
    if report.failed and count > 0 and interps:
        report.sections.append(("tcl history", describe(interps, count)))
