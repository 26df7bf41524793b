"""The pytest plugin: fixtures, and the "tcl history" section of a failing test's report."""

import pytest

pytestmark = pytest.mark.usefixtures("absolute_pythonpath")

FAILING_TESTS = """
    def test_fails(tcl_interp):
        tcl_interp.eval("set greeting hello")
        try:
            tcl_interp.eval("error {no such thing} {} {LAB TIMEOUT}")
        except Exception:
            pass
        assert False

    def test_passes(tcl_interp, tcl_global_interp):
        tcl_interp.eval("set quiet 1")
        assert tcl_global_interp.eval("expr {1 + 1}") == "2"
"""

# Three tests share the global interpreter: each section shows only its own test's calls and
# error, and a plain assertion shows no Tcl error at all.
SHARED_TESTS = """
    import pytest

    def test_one(tcl_global_interp):
        tcl_global_interp.eval("set first 1")
        with pytest.raises(Exception):
            tcl_global_interp.eval("error first-error")
        assert False

    def test_two(tcl_global_interp):
        tcl_global_interp.eval("set second 2")
        assert 1 == 2

    def test_three(tcl_global_interp, tcl_interp):
        tcl_interp.eval("set third 3")
        assert False
"""


def run(pytester, *args, tests=FAILING_TESTS):
    pytester.makepyfile(tests)
    return pytester.runpytest_subprocess(*args)


def sections(text):
    """Section title -> its text, for every "tcl history" section of a pytest output."""
    found = {}
    parts = text.split("- tcl history: ")
    for part in parts[1:]:
        title, _, body = part.partition("\n")
        found.setdefault(title.strip(" -"), []).append(body.split("\n- ")[0].split("\n=")[0])
    return found


def test_failing_test_shows_its_history_and_its_tcl_error(pytester):
    result = run(pytester)
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(
        [
            "*- tcl history: tcl_interp -*",
            "last 20 calls of this test:",
            "  ????-??-??T??:??:??.*: set greeting hello",
            "  ????-??-??T??:??:??.*: error {no such thing} {} {LAB TIMEOUT}",
            "::errorInfo of the Tcl error in this test:",
            "  no such thing",
            "*",
            "::errorCode: LAB TIMEOUT",
        ]
    )
    assert "set quiet 1" not in result.stdout.str()  # passing tests add no section


def test_a_shared_interpreter_shows_each_test_its_own_calls_and_errors(pytester):
    result = run(pytester, tests=SHARED_TESTS)
    result.assert_outcomes(failed=3)
    found = sections(result.stdout.str())
    one, two, three = found["tcl_global_interp"]
    assert "set first 1" in one and "first-error" in one and "::errorCode: NONE" in one
    assert "set second 2" in two and "set first" not in two and "errorInfo" not in two
    assert "(none)" in three and "errorInfo" not in three
    (fresh,) = found["tcl_interp"]
    assert "set third 3" in fresh and "errorInfo" not in fresh  # not TclX's leftover


@pytest.mark.parametrize("count, shown", [("1", True), ("0", False)])
def test_history_count_option(pytester, count, shown):
    result = run(pytester, f"--tcl-history={count}")
    text = result.stdout.str()
    assert ("- tcl history" in text) is shown
    if shown:
        section = text.split("- tcl history")[1]
        assert "set greeting hello" not in section  # only the last entry
        assert ": error {no such thing}" in section


@pytest.mark.parametrize("value", ["-1", "many"])
def test_history_count_option_refuses_what_is_not_a_count(pytester, value):
    result = run(pytester, f"--tcl-history={value}")
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*argument --tcl-history*"])


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
