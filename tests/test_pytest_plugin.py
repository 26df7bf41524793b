"""The pytest plugin: fixtures, and the "tcl history" section of a failing test's report."""

import os

import pytest


@pytest.fixture(autouse=True)
def absolute_pythonpath(monkeypatch):
    """The inner pytest runs elsewhere: keep a source-tree PYTHONPATH pointing home."""
    entries = os.environ.get("PYTHONPATH", "")
    if entries:
        absolute = os.pathsep.join(os.path.abspath(e) for e in entries.split(os.pathsep) if e)
        monkeypatch.setenv("PYTHONPATH", absolute)

FAILING_TESTS = """
    def test_fails(tcl_interp):
        tcl_interp.eval("set greeting hello")
        try:
            tcl_interp.eval("error {no such thing}")
        except Exception:
            pass
        assert False

    def test_passes(tcl_interp, tcl_global_interp):
        tcl_interp.eval("set quiet 1")
        assert tcl_global_interp.eval("expr {1 + 1}") == "2"
"""


def run(pytester, *args):
    pytester.makepyfile(FAILING_TESTS)
    return pytester.runpytest_subprocess(*args)


def test_failing_test_shows_history_and_error_info(pytester):
    result = run(pytester)
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(
        [
            "*- tcl history -*",
            "interpreter 1 (Interpreter), last 20 calls:",
            "  ????-??-??T??:??:??.*: set greeting hello",
            "  ????-??-??T??:??:??.*: error {no such thing}",
            "::errorInfo of the last Tcl error:",
            "  no such thing",
        ]
    )
    assert "set quiet 1" not in result.stdout.str()  # passing tests add no section


@pytest.mark.parametrize("count, shown", [("1", True), ("0", False)])
def test_history_count_option(pytester, count, shown):
    result = run(pytester, f"--tcl-history={count}")
    text = result.stdout.str()
    assert ("- tcl history -" in text) is shown
    if shown:
        section = text.split("- tcl history -")[1]
        assert "set greeting hello" not in section  # only the last entry
        assert ": error {no such thing}" in section


def test_fixtures_hand_out_fresh_and_global_interpreters(pytester):
    pytester.makepyfile(
        """
        import tessel.tcl
        from tessel.tcl.interpreter import Interpreter, _global_interpreter

        def test_kinds(tcl_interp, tcl_global_interp):
            assert isinstance(tcl_interp, Interpreter)
            assert tcl_interp is not _global_interpreter
            assert tcl_global_interp is _global_interpreter
        """
    )
    pytester.runpytest_subprocess().assert_outcomes(passed=1)


def test_option_is_documented(pytester):
    result = pytester.runpytest_subprocess("--help")
    result.stdout.fnmatch_lines(["*--tcl-history=N*"])
