"""Command handles: the words they run are exactly the words Tcl receives."""

import gc
import logging
import sys
import threading
import traceback
import types
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tkinter import TclError

import tessel.tcl
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclCommand, TempTclCommand, TempTclVariable
from tessel.tcl.scriptify import scriptify, tclobj

tcl_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=10)
# Command names with blanks, braces, brackets, $, backslashes and non-ASCII text; none has a
# glob character, so [info commands] matches only the name itself.
AWKWARD_NAMES = ["my cmd", "a{b", "a}b", "{ab}", "$x", "ünï ∂", '"q"', ";x", "a\nb", "x y z"]


def tcl_commands(tk, pattern="::__quillon__*"):
    return set(tk.splitlist(tk.call("info", "commands", pattern)))


@pytest.fixture
def base(interp):
    return TclCommand("mycmd", args=["a"], keywords={"k": 1}, tcl=interp)


# ---- construction -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cmd, args, cmd_name, bound",
    [
        ("string length", None, "string", ("length",)),  # text is split as a Tcl list
        ("a {b c} d", None, "a", ("b c", "d")),
        ("my cmd", [], "my cmd", ()),  # with args the name is used whole
        (("my cmd",), None, "my cmd", ()),  # an exact tuple is taken as the words
        (("x", None, [1, "a b"]), None, "x", ("", (1, "a b"))),
        ("x", "p {q r}", "x", ("p", "q r")),  # args text is split too
        ("x", [None, 2], "x", ("", 2)),
    ],
)
def test_construction_forms(interp, cmd, args, cmd_name, bound):
    c = TclCommand(cmd, args, tcl=interp)
    assert (c.cmd_name, c.args, c.keywords) == (cmd_name, bound, {})


def test_instance_attributes_in_order(interp):
    log = logging.getLogger("t")
    c = TclCommand("x", keywords={"n": None, "l": [1, "a b"]}, tcl=interp, cast=int, logger=log)
    assert list(vars(c)) == ["tcl", "cmd_name", "args", "keywords", "cast", "logger"]
    assert c.keywords == {"n": "", "l": (1, "a b")} and c.cast is int and c.logger is log
    assert type(c.tcl) in weakref.ProxyTypes


def test_keywords_are_a_copy(interp):
    options = {"k": 1}
    c = TclCommand("x", keywords=options, tcl=interp)
    options["k"] = 2
    assert c.keywords == {"k": 1}


def test_derived_handles(base):
    plain = TclCommand(base)
    assert (plain.cmd_name, plain.args, plain.keywords) == ("mycmd", ("a", "-k", 1), {})
    assert plain.build_tclcmd("x") == ("mycmd", "a", "-k", 1, "x")
    extended = TclCommand(base, args=["b"])
    assert extended.args == ("a", "b", "-k", 1)
    # Neither takes over the other's interpreter.
    assert plain.tcl.tk is tessel.tcl.tk and extended.tcl.tk is tessel.tcl.tk


@pytest.mark.parametrize("cmd", ["", (), "   "])
def test_empty_word_list(interp, cmd):
    with pytest.raises(IndexError):
        TclCommand(cmd, tcl=interp)


def test_malformed_list_text(interp):
    with pytest.raises(ValueError):
        TclCommand("a {b", tcl=interp)


# ---- word lists -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, words",
    [
        (("x",), {"opt": 2}, ("mycmd", "a", "x", "-k", 1, "-opt", 2)),
        ((), {"k": 5}, ("mycmd", "a", "-k", 5)),  # replaces, keeps the position
        ((None, [1, [2]]), {}, ("mycmd", "a", "", (1, (2,)), "-k", 1)),
        # Integers beyond a machine word travel as text; other plain values as they are.
        ((2**63 - 1, 2**63, -(2**63), True, 1.5, b"b"), {}, ("mycmd", "a", 2**63 - 1, "9223372036854775808", -(2**63), True, 1.5, b"b", "-k", 1)),
        ((), {"n": None, "l": ["x y"]}, ("mycmd", "a", "-k", 1, "-n", "", "-l", ("x y",))),
    ],
)
def test_build_tclcmd(base, args, kwargs, words):
    assert base.build_tclcmd(*args, **kwargs) == words
    assert base.keywords == {"k": 1}


def test_conversion_hooks_that_change_the_handle(interp):
    c = TclCommand("list", keywords={"k": 1}, tcl=interp)

    class Grows:
        def __tclobj__(self):
            c.keywords["extra"] = 2  # runs while the words are being built
            return "g"

    class Shrinks:
        def __tclobj__(self):
            c.keywords.clear()
            return "s"

    assert c.build_tclcmd(Grows()) == ("list", "g", "-k", 1, "-extra", 2)
    assert c(Shrinks(), o=Shrinks()) == ("s", "-o", "s")


def test_kwargs_to_dashed_args():
    assert TclCommand.kwargs_to_dashed_args(a=1, b="x") == ("-a", 1, "-b", "x")
    assert TclCommand.kwargs_to_dashed_args() == ()
    assert TclCommand.kwargs_to_dashed_args(**{"-x": 1, "no-case": 2}) == ("--x", 1, "-no-case", 2)


def test_option_name_must_be_text(interp):
    c = TclCommand("x", keywords={1: "v"}, tcl=interp)  # accepted here...
    for use in (c.build_tclcmd, c, c.eval, lambda: str(c), lambda: tclobj(c)):
        with pytest.raises(TypeError):  # ...refused when the words are built
            use()


def test_subclass_overrides_are_used(interp):
    class Equals(TclCommand):
        @staticmethod
        def kwargs_to_dashed_args(**kwargs):
            return tuple("-%s=%s" % item for item in kwargs.items())

    class Reversed(TclCommand):
        def build_tclcmd(self, *args, **kwargs):
            return TclCommand.build_tclcmd(self, *reversed(args), **kwargs)

    class Counted(TclCommand):
        calls = 0

        def call(self, *args, **kwargs):
            Counted.calls += 1
            return TclCommand.call(self, *args, **kwargs)

    assert Equals("list", tcl=interp)("a", o=1) == ("a", "-o=1")
    assert Reversed("list", tcl=interp)("a", "b") == ("b", "a")
    assert Reversed("list", tcl=interp).eval("a", "b") == "b a"
    assert Counted("list", tcl=interp)("a") == ("a",) and Counted.calls == 1


def test_text_forms(base):
    assert str(base) == "mycmd a -k 1"
    assert repr(base) == "TclCommand('mycmd', args=('a',), keywords={'k': 1})"
    assert repr(TclCommand("x")) == "TclCommand('x')"
    assert repr(TclCommand("x", cast=int)) == "TclCommand('x', cast=<class 'int'>)"
    assert tclobj(base) == base.build_tclcmd() and scriptify(base) == "mycmd a -k 1"


# ---- running ----------------------------------------------------------------------------------


def test_call_and_eval(interp):
    assert TclCommand("string length", tcl=interp)("abc") == 3
    assert TclCommand("string length", tcl=interp).eval("abc") == "3"
    assert TclCommand("set x", tcl=interp, cast=int).eval(42) == 42
    assert TclCommand("set x", tcl=interp, cast=0).eval(42) == "42"
    # A handle passed as a word arrives as one word: its whole command prefix.
    assert TclCommand("llength", tcl=interp)(TclCommand("a b c")) == 3


@settings(max_examples=150, deadline=None)
@given(words=st.lists(tcl_text, max_size=6))
def test_words_reach_tcl_exactly(words):
    tk = tessel.tcl.tk
    echo = TclCommand("list")
    assert tk.splitlist(echo(*words)) == tuple(words)  # list call: no substitution
    if not any("\0" in w for w in words):  # the host's eval result ends at a NUL
        assert tk.splitlist(echo.eval(*words)) == tuple(words)  # through Tcl's parser


@pytest.mark.parametrize("name", AWKWARD_NAMES)
def test_awkward_command_names(interp, name):
    tk = interp.tk
    tk.call("proc", name, "args", "return [list called {*}$args]")
    c = TclCommand((name,), tcl=interp)
    assert c.exists() and c.is_proc() and not c.is_command()
    assert tk.splitlist(c("x y")) == ("called", "x y")
    assert tk.splitlist(c.eval("$z")) == ("called", "$z")
    assert c.proc_args() == ("args",)
    c.rename(name + " 2")
    assert tk.call("info", "procs", name + " 2") and not tk.call("info", "procs", name)
    c.delete()
    assert not c.exists()


@pytest.mark.parametrize("name", ["a[b]", "a\\b", "[x]", "a*", "a?"])
def test_pattern_characters_in_command_names(interp, name):
    # Calls, renames and deletions take the name literally; only the listing commands
    # behind exists() and is_proc() read it as a pattern.
    tk = interp.tk
    tk.call("proc", name, "", "return ok")
    c = TclCommand((name,), tcl=interp)
    assert c() == "ok" and c.eval() == "ok" and c.proc_body() == "return ok"
    c.rename(name + "2")
    assert name + "2" in tk.splitlist(tk.call("info", "commands"))
    c.delete()
    assert name + "2" not in tk.splitlist(tk.call("info", "commands"))


def test_logger_line(base):
    lines = []
    base.logger = types.SimpleNamespace(info=lines.append)
    with pytest.raises(TclError):  # mycmd does not exist; the line comes first
        base("x")
    assert lines == ["Calling: mycmd a x -k 1"]
    with pytest.raises(TclError):
        base.eval("x")
    assert len(lines) == 1


def test_logger_with_logging(interp, caplog):
    c = TclCommand("list", tcl=interp, logger=logging.getLogger("tessel.test"))
    with caplog.at_level(logging.INFO, logger="tessel.test"):
        c("a b", k=None)
    assert [r.getMessage() for r in caplog.records] == ["Calling: list {a b} -k {}"]


def test_errors_are_the_hosts(interp):
    with pytest.raises(TclError, match='invalid command name "nope"'):
        TclCommand("nope", tcl=interp)()


CALLS = {
    "eval": lambda t, script: t.eval(script),
    "dial": lambda t, script: t.dial.eval(script),
    "TclCommand": lambda t, script: TclCommand("::eval", tcl=t)(script),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("script, code, message", [
    ("error msg {} {LAB TIMEOUT}", ("LAB", "TIMEOUT"), "msg"),
    ("open /no/such/file", ("POSIX", "ENOENT", "no such file or directory"), "couldn't open"),
    ("error plain", ("NONE",), "plain"),
])
def test_tcl_errors_carry_error_code_and_trace(interp, call, script, code, message):
    with pytest.raises(TclError) as info:
        call(interp, script)
    assert info.value.errorcode == code
    assert info.value.errorinfo.startswith(message) and "while executing" in info.value.errorinfo


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_tcl_levels_end_the_python_traceback(interp, call, tmp_path):
    interp.eval("namespace eval lab {proc configure {port} {\n  set x 1\n  check $port\n}}\n"
                "proc lab::check {p} {error bad}")
    script = tmp_path / "run.tcl"
    script.write_text("set a 1\nlab::configure 5\n")
    with pytest.raises(TclError) as info:
        call(interp, f"foreach i 1 {{source {script}}}")
    levels = [(f.filename, f.name, f.lineno, f.line) for f in
              traceback.extract_tb(info.value.__traceback__)][-4:]
    assert levels == [
        ('<tcl "foreach" body>', '<tcl "foreach" body>', 1, ""),
        (str(script), "<tcl file>", 2, "lab::configure 5"),
        ("<tcl proc ::lab::configure>", "::lab::configure", 3, "check $port"),
        ("<tcl proc ::lab::check>", "::lab::check", 1, "error bad"),
    ]
    assert interp.get_errorInfo() == info.value.errorinfo  # reading the levels left it alone


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_failing_callback_shows_its_python_traceback(interp, call):
    def lab_logger(level):
        raise RuntimeError(f"logger down ({level})")

    interp.create_callback(lab_logger)
    with pytest.raises(TclError) as info:
        call(interp, "lab_logger info")
    trace = info.value.errorinfo
    assert trace.startswith("RuntimeError: logger down (info)\nTraceback (most recent call last):")
    assert 'raise RuntimeError(f"logger down ({level})")' in trace and "in lab_logger" in trace
    assert info.value.errorcode[:2] == ("PYTHON", "RuntimeError")
    assert isinstance(info.value.__cause__, RuntimeError)  # the callback's own exception


def test_method_binding(interp):
    class K:
        f = TclCommand("list", args=["z"], tcl=interp)

        def __tclobj__(self):
            return "the k"

    assert K.f is K.__dict__["f"]
    k = K()
    assert isinstance(k.f, types.MethodType) and k.f.__self__ is k
    assert k.f(1) == ("z", "the k", 1)


def test_dead_interpreter():
    interp = Interpreter()
    c = TclCommand("list", args=["a"], tcl=interp)
    del interp
    gc.collect()
    assert str(c) == "list a" and repr(c) == "TclCommand('list', args=('a',))"
    for op in (c, c.eval, c.exists, c.delete, c.proc_args, lambda: c.createcommand(print)):
        with pytest.raises(ReferenceError):
            op()


# ---- the command as an object of the interpreter ---------------------------------------------


def test_registered_callable_lifecycle(interp):
    got = []
    c = TclCommand("::p", tcl=interp)
    c.createcommand(lambda *a: got.append(a) or "r")
    assert (c.exists(), c.is_proc(), c.is_command()) == (True, False, True)
    assert interp.tk.eval("::p 1 {2 3}") == "r" and got == [("1", "2 3")]
    with pytest.raises(TclError):
        c.proc_body()
    c.delete()
    assert (c.exists(), c.is_proc(), c.is_command()) == (False, False, False)
    with pytest.raises(TclError):
        c.delete()


def test_callable_that_raises(interp):
    def broken(*args):
        raise KeyError("boom")

    c = TclCommand("::broken", tcl=interp)
    c.createcommand(broken)
    with pytest.raises(TclError, match="KeyError: 'boom'"):
        c()
    assert interp.tk.eval("catch ::broken msg; set msg") == "KeyError: 'boom'"
    assert interp.tk.eval("expr {1 + 1}") == "2"  # still usable
    with pytest.raises(TypeError):
        c.createcommand("not callable")


def test_proc_introspection(interp):
    tk = interp.tk
    tk.eval("proc ::p {a {b 5} {c {}} args} {return $a}")
    p = TclCommand("::p", tcl=interp)
    before = set(tk.splitlist(tk.eval("info vars ::*")))
    assert tuple(p.proc_args()) == ("a", "b", "c", "args")
    assert p.proc_arg_default("b") == "5" and p.proc_arg_default("a") is None
    assert p.proc_arg_default("c") == ""  # an empty default is not "no default"
    with pytest.raises(TclError):
        p.proc_arg_default("x")
    assert p.proc_body() == "return $a"
    assert set(tk.splitlist(tk.eval("info vars ::*"))) == before  # no scratch variable left


def test_proc_arg_default_uses_the_module_temporary(interp, monkeypatch):
    made = []

    class Spy(TempTclVariable):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    import tessel.tcl.namespace as module

    monkeypatch.setattr(module, "TempTclVariable", Spy)
    interp.tk.eval("proc ::q {{a 1}} {}")
    assert TclCommand("::q", tcl=interp).proc_arg_default("a") == "1"
    assert len(made) == 1 and not made[0].exists()


def test_glob_names_are_patterns(interp):
    assert TclCommand("*", tcl=interp).exists()
    assert not TclCommand("no_such_*", tcl=interp).exists()


def test_rename_keeps_the_name_as_given(interp):
    tk = interp.tk
    tk.eval("proc ::p {} {return p}")
    p = TclCommand("::p", tcl=interp)
    p.rename("p2")
    assert p.cmd_name == "p2" and p.absolute() == "::p2" and tk.eval("p2") == "p"
    tk.eval("proc ::taken {} {}")
    with pytest.raises(TclError):
        p.rename("taken")
    assert p.cmd_name == "p2"  # unchanged after a failure
    p.rename("")
    assert p.cmd_name == "" and not tk.call("info", "commands", "p2")


def test_absolute_and_origin(interp):
    tk = interp.tk
    tk.eval("namespace eval ::lib { proc f {} {}; namespace export f }")
    tk.eval("namespace eval ::user { namespace import ::lib::f }")
    assert TclCommand("::user::f", tcl=interp).origin() == "::lib::f"
    assert TclCommand("::lib::f", tcl=interp).origin() == "::lib::f"
    assert TclCommand("::a::b", tcl=interp).absolute() == "::a::b"
    c = TclCommand("lib::f", tcl=interp)
    c.make_absolute()
    assert c.cmd_name == "::lib::f"
    bad = TclCommand("a:b", tcl=interp)
    with pytest.raises(ValueError):
        bad.make_absolute()
    assert bad.cmd_name == "a:b"


# ---- temporary commands -----------------------------------------------------------------------


def sample(*args):
    """Joins its words."""
    return "+".join(args)


sample.extra = "kept"


@pytest.mark.parametrize("raises", [False, True])
def test_temporary_command_block(interp, raises):
    tk = interp.tk
    before = tcl_commands(tk)
    with pytest.raises(RuntimeError) if raises else _nothing():
        with TempTclCommand(sample, tcl=interp) as c:
            assert str(c) == "::__quillon__TempTclCommand_%d_tmp" % id(c)
            assert tcl_commands(tk) - before == {str(c)}
            assert c("a", "b") == "a+b" and tk.eval("%s x y" % c) == "x+y"
            assert (c.__name__, c.__doc__, c.__wrapped__, c.extra) == (
                "sample",
                sample.__doc__,
                sample,
                "kept",
            )
            if raises:
                raise RuntimeError("in the block")
    assert tcl_commands(tk) == before


def test_temporary_name_only(interp):
    tk = interp.tk
    with TempTclCommand(tcl=interp) as c:
        assert not c.exists() and not hasattr(c, "__wrapped__")
        tk.call("proc", str(c), "", "return 1")
        assert c() == 1
    assert not c.exists()
    with TempTclCommand(tcl=interp):
        pass  # nothing defined: nothing to remove, no error


def test_temporary_command_lives_with_its_handle(interp):
    c = TempTclCommand(sample, tcl=interp)
    name = str(c)
    assert interp.tk.call("info", "commands", name)
    del c
    gc.collect()
    assert not interp.tk.call("info", "commands", name)


def test_handle_without_callable_leaves_the_command(interp):
    c = TempTclCommand(tcl=interp)
    name = str(c)
    interp.tk.call("proc", name, "", "")
    del c
    gc.collect()
    assert interp.tk.call("info", "commands", name)


def test_temporary_command_applied_to_a_function(interp):
    handle = TempTclCommand(sample, "::my_{cls}", tcl=interp)
    assert str(handle) == "::my_TempTclCommand" and handle("q") == "q"


def test_decorator_form_on_the_default_interpreter():
    @TempTclCommand
    def joined(*args):
        return "-".join(args)

    name = str(joined)
    assert tessel.tcl.tk.eval("%s a b" % name) == "a-b" and joined.__name__ == "joined"
    del joined
    gc.collect()
    assert not tessel.tcl.tk.call("info", "commands", name)


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def test_finalised_after_its_interpreter(unraisable):
    interp = Interpreter()
    c = TempTclCommand(sample, tcl=interp)
    del interp
    gc.collect()
    del c
    gc.collect()
    assert unraisable == []


def test_finalised_on_another_thread(interp, unraisable):
    holder = [TempTclCommand(sample, tcl=interp)]
    name = str(holder[0])
    worker = threading.Thread(target=holder.clear)
    worker.start()
    worker.join()
    # The host refuses calls from a foreign thread; at worst that is reported, never a crash.
    assert not interp.tk.call("info", "commands", name) or unraisable


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False
