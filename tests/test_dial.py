"""Quick calls through attribute chains: the words Tcl receives, what is recorded, errors, casts."""

import copy
import gc
import importlib
import pickle
import sys
import tkinter
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.tcl.dial import Dial, Dial_Code
from tessel.tcl.interpreter import Interpreter

dial_module = importlib.import_module("tessel.tcl.dial")  # the package's `dial` is the proxy

ECHO = "proc {%s} args {return $args}"


@pytest.fixture
def tcl(interp):
    interp.tk.eval("namespace eval ns_a::ns_b {}")
    for name in ("echo", "ns_a::ns_b::echo"):
        interp.tk.eval(ECHO % name)
    return interp


@pytest.fixture(scope="module")
def shared():
    """One interpreter for the property tests (hypothesis reruns a test, not its fixtures)."""
    interp = Interpreter()
    interp.tk.eval(ECHO % "echo")
    return interp


def received(code, *args, **kwargs):
    """The words after the command word, as the Tcl command saw them."""
    return code(*args, cast_=False, **kwargs)


def recorded(interp):
    """The text of the last recorded call."""
    return interp.history.__history__[-1].api


# ---- words ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, words",
    [
        (("a",), {}, ("a",)),
        (("a b", "c"), {}, ("a b", "c")),  # one Python argument is one word, blanks and all
        (("a",), {"k1": 1, "k2": "v w"}, ("a", "-k1", "1", "-k2", "v w")),
        ((), {"zeta": 1, "alpha": 2}, ("-zeta", "1", "-alpha", "2")),  # caller's keyword order
        (([1, "x y", [2, 3]],), {}, ("1 {x y} {2 3}",)),  # a list is one word of list text
        ((None, True, False), {}, ("", "true", "false")),
        (({"k": "v w"},), {}, ("k {v w}",)),
        ((1.5, 7), {"opt": None}, ("1.5", "7", "-opt", "")),
        (("$x [exit] {", "a\\"), {}, ("$x [exit] {", "a\\")),  # never substituted
    ],
)
def test_words_reach_tcl_unchanged(tcl, args, kwargs, words):
    assert received(tcl.dial.ns_a.ns_b.echo, *args, **kwargs) == words


@pytest.mark.parametrize("cast_value", [False, 0, "", None, ()])
def test_cast_keyword_is_never_a_tcl_word(tcl, cast_value):
    assert tcl.dial.echo("a", cast_=cast_value, b=1) == ("a", "-b", "1")


@given(st.lists(st.text(st.characters(blacklist_categories=("Cs",))), min_size=1, max_size=6))
@settings(max_examples=150, deadline=None)
def test_any_text_arrives_as_the_same_word(shared, words):
    assert shared.dial.echo(*words, cast_=False) == tuple(words)


def test_replaced_scriptify_is_used(tcl, monkeypatch):
    assert received(tcl.dial.echo, 1) == ("1",)  # the module's own, looked up and remembered
    monkeypatch.setattr(dial_module, "scriptify", lambda value: "<%s>" % (value,))
    assert received(tcl.dial.echo, 1, k=2) == ("<1>", "-k", "<2>")
    monkeypatch.delattr(dial_module, "scriptify")
    with pytest.raises(NameError, match="scriptify"):
        tcl.dial.echo(1)


# ---- casting and results ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, result",
    [({}, 5), ({"cast_": True}, 5), ({"cast_": 1}, 5), ({"cast_": False}, "5")],
)
def test_result_is_cast_unless_asked_not_to(tcl, kwargs, result):
    value = tcl.dial.set("x", 5, **kwargs)
    assert value == result and type(value) is type(result)
    assert tcl.tk.getvar("x") in ("5", 5)


def test_uncast_result_is_the_host_value(tcl):
    assert tcl.dial.list("a", "b c", cast_=False) == ("a", "b c")
    assert tcl.dial.expr("1.5", cast_=False) == 1.5


# ---- history ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, text",
    [
        (("x", "a b"), "set x {a b}"),
        (("x", ""), "set x "),  # an empty word stays empty
        (("x", [1, 2]), "set x {1 2}"),
    ],
)
def test_history_entry_text(tcl, args, text):
    before = len(tcl.history.__history__)
    tcl.dial.set(*args)
    assert len(tcl.history.__history__) == before + 1
    assert tcl.history.__history__[-1].api == text


def test_history_receives_the_word_list(tcl, monkeypatch):
    seen = []
    monkeypatch.setattr(tcl, "history", type("H", (), {"append": lambda self, w: seen.append(w)})())
    tcl.dial.ns_a.ns_b.echo("a b", k=None)
    assert seen == [["ns_a::ns_b::echo", "a b", "-k", ""]]


# ---- errors ---------------------------------------------------------------------------------


def test_tcl_error_carries_the_full_trace(tcl):
    tcl.tk.eval('proc fails {x} {error "boom $x"}')
    with pytest.raises(dial_module.TclError) as caught:
        tcl.dial.fails("now")
    err = caught.value
    text = str(err)
    assert text.startswith("boom now\n")
    assert '(procedure "fails" line 1)' in text and '"fails now"' in text
    assert err.args == (tcl.tk.eval("set ::errorInfo"),)
    assert err.__cause__ is None and err.__suppress_context__ is True
    assert isinstance(err.__context__, tkinter.TclError) and str(err.__context__) == "boom now"
    assert recorded(tcl) == "fails now"  # recorded before it ran


def test_unknown_command(tcl):
    with pytest.raises(tkinter.TclError, match=r'^invalid command name "no_such::command"'):
        tcl.dial.no_such.command(1)


def test_conversion_errors_pass_unchanged(tcl):
    class Broken:
        def __scriptify__(self):
            raise KeyError("hook")

    with pytest.raises(KeyError, match="hook"):
        tcl.dial.echo(Broken())


def test_host_errors_other_than_tcl_errors_pass_unchanged(tcl, monkeypatch):
    class Host:
        def call(self, words):
            raise RuntimeError("host broke")

    monkeypatch.setattr(tcl, "tk", Host())
    with pytest.raises(RuntimeError, match="host broke") as caught:
        tcl.dial.anything()
    assert caught.traceback[-1].name == "call"  # raised where it happened, not re-raised by us


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "a"), {}), ((), {"cast_": False, "x": 1})])
def test_calling_the_dial_itself(tcl, args, kwargs):
    with pytest.raises(tkinter.TclError) as caught:
        tcl.dial(*args, **kwargs)
    assert caught.value.args == ('invalid command name ""',)


# ---- objects ---------------------------------------------------------------------------------


def test_repr_and_str(tcl):
    code = tcl.dial.ns_a.ns_b.procname
    text = "<tcl.Dial magic, referring Tcl code ::ns_a::ns_b::procname>"
    assert str(code) == repr(code) == text


def test_path_grows_in_place(tcl):
    code = tcl.dial.a
    assert code.b is code
    code.c
    assert code.cmd == ["a", "b", "c"]
    assert tcl.dial.a.cmd == ["a"]  # every read on the Dial starts afresh
    assert code.tcl is tcl.dial.tcl


@pytest.mark.parametrize("keep", [
    lambda code: code,                    # a reference
    lambda code: weakref.ref(code),       # a weak reference only
    lambda code: setattr(code, "note", 1),  # an attribute of its own
])
def test_a_path_someone_still_sees_is_not_handed_out_again(tcl, keep):
    code = tcl.dial.first.more
    kept = keep(code)
    code_id = id(code)
    del code
    later = tcl.dial.second
    assert later.cmd == ["second"]
    if isinstance(kept, weakref.ref):
        assert kept() is None or kept() is not later
    elif kept is None:
        assert id(later) != code_id
    else:
        assert kept.cmd == ["first", "more"] and kept is not later


def test_dial_holds_a_weak_proxy(tcl):
    assert type(tcl.dial.tcl) in (weakref.ProxyType, weakref.CallableProxyType)
    assert tcl.dial.tcl.tk is tcl.tk


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a",), {}, "Dial_Code.__init__() missing 1 required keyword-only argument: 'tcl'"),
        (("a",), {"tcl": 1, "x": 2}, "Dial_Code.__init__() got an unexpected keyword argument 'x'"),
    ],
)
def test_code_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        Dial_Code(*args, **kwargs)
    assert str(caught.value) == message


def test_code_constructor_keeps_what_it_is_given(tcl):
    code = Dial_Code("a", "b", tcl=tcl)
    assert code.cmd == ["a", "b"] and code.tcl is tcl


def test_own_attributes_are_not_path_components(tcl):
    code = tcl.dial.ns_a
    assert code.cmd == ["ns_a"] and code.tcl is tcl.dial.tcl
    assert code.__class__ is Dial_Code and tcl.dial.__class__ is Dial


def test_dead_interpreter_raises_reference_error():
    interp = Interpreter()
    dial, code = interp.dial, interp.dial.set
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        code("x", 1)
    with pytest.raises(ReferenceError):
        dial.set("x", 1)


@pytest.mark.parametrize("make", [lambda t: t.dial, lambda t: t.dial.a])
@pytest.mark.parametrize("operation", [copy.copy, pickle.dumps])
def test_copying_fails_cleanly(tcl, make, operation):
    # Before 3.11 object has no __getstate__: copy and pickle ask for it through __getattr__,
    # which makes it a command path, and running the command "__getstate__" fails in Tcl.
    with pytest.raises(TypeError if sys.version_info >= (3, 11) else tkinter.TclError):
        operation(make(tcl))


@pytest.mark.parametrize("cls", [Dial, Dial_Code])
def test_half_built_objects_do_not_crash(cls):
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError):
        obj.anything("x")


def test_subclasses_and_instance_attributes(tcl):
    class MyCode(Dial_Code):
        pass

    code = MyCode("echo", tcl=tcl)
    assert code("a", cast_=False) == ("a",)
    code.note = "kept"  # instance attributes win over the path
    assert code.note == "kept" and code.cmd == ["echo"]


def test_disabled_history_records_nothing_but_the_call_runs(tcl):
    tcl.history.disable()
    before = len(tcl.history.__history__)
    assert tcl.dial.set("x", "7") == 7
    assert len(tcl.history.__history__) == before
    assert tcl.tk.getvar("x") == "7"


class CastingInterpreter(Interpreter):
    def cast_any(self, value):
        return ("subclass", value)


class LookupInterpreter(Interpreter):
    def __getattribute__(self, name):
        if name == "cast_any":
            return lambda value: ("getattribute", value)
        return super().__getattribute__(name)


def instance_cast(interp, monkeypatch):
    monkeypatch.setattr(interp, "cast_any", lambda value: ("instance", value))
    return interp


def class_cast(interp, monkeypatch):
    monkeypatch.setattr(Interpreter, "cast_any", lambda self, value: ("class", value))
    return interp


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda monkeypatch: Interpreter(), 7),
        (lambda monkeypatch: instance_cast(Interpreter(), monkeypatch), ("instance", "7")),
        (lambda monkeypatch: class_cast(Interpreter(), monkeypatch), ("class", "7")),
        (lambda monkeypatch: CastingInterpreter(), ("subclass", "7")),
        (lambda monkeypatch: LookupInterpreter(), ("getattribute", "7")),
    ],
    ids=["own", "instance", "class", "subclass", "getattribute"],
)
def test_result_goes_through_the_cast_that_lookup_finds(monkeypatch, make, expected):
    interp = make(monkeypatch)
    assert interp.dial.set("x", "7") == expected
    assert interp.dial.set("x", "7") == expected  # and again, once the lookup is known


def test_a_proxy_handed_in_is_kept(tcl):
    proxy = weakref.proxy(tcl)
    assert Dial(proxy).tcl is proxy
    assert Dial(tcl=proxy).set("x", 3) == 3


def test_cast_replaced_while_the_command_runs_is_used(tcl):
    tcl.dial.set("x", "1")  # the ordinary cast, once

    def replace_cast():
        tcl.cast_any = lambda value: ("replaced", value)
        return "7"

    tcl.tk.createcommand("replace_cast", replace_cast)
    assert tcl.dial.replace_cast() == ("replaced", "7")
