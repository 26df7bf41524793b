"""The companion members: Tcl list splitting, Array, the result reset and AttrDict."""

import importlib
import re
import threading
import tkinter
from collections.abc import Mapping

import _tkinter
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.datastructures import AttrDict
from tessel.tcl.array import Array
from tessel.tcl.internal import GetListFromAny, TclDLL, register_owner_thread

scriptify = importlib.import_module("tessel.tcl.scriptify").scriptify


@pytest.fixture(scope="module")
def tcl():
    """A plain Tcl interpreter's app object: the judge of Tcl's list syntax."""
    return tkinter.Tcl().tk


def in_thread(func, timeout=10):
    """Runs `func` on a new thread; returns what it returned or raised."""
    outcome = {}

    def run():
        try:
            outcome["value"] = func()
        except BaseException as exc:  # handed back to the test
            outcome["error"] = exc

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout)
    assert not worker.is_alive(), "the call did not return"
    return outcome


# --- GetListFromAny ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, words",
    [
        ("", ()),
        ("a b  c", ("a", "b", "c")),
        ("{a b} {} c", ("a b", "", "c")),
        ('"a b" c\\ d', ("a b", "c d")),
        ("a\\nb \\{", ("a\nb", "{")),
        ("\n a \t b \n", ("a", "b")),
        ("a\0b {c\0 d}", ("a\0b", "c\0 d")),  # NUL survives both ways
        ("\U0001f600 {x \U0001f600}", ("\U0001f600", "x \U0001f600")),  # beyond the BMP
        ("\ud800 {\udfff x}", ("\ud800", "\udfff x")),  # lone surrogates too
        ("é {ü ß}", ("é", "ü ß")),
        (b"a {b c}", ("a", "b c")),
        (12, ("12",)),
        (1.5, ("1.5",)),
        (("a b", "c"), ("a b", "c")),  # already split: passed through
        (["x"], ("x",)),
        ((), ()),
    ],
)
def test_get_list_from_any(value, words):
    result = GetListFromAny(value)
    assert type(result) is tuple and result == words


def test_tcl_objects_become_text(tcl):
    obj = tcl.call("dict", "create", "a", "b c")
    assert isinstance(obj, _tkinter.Tcl_Obj)
    assert GetListFromAny(obj) == ("a", "b c")
    assert GetListFromAny(("x", obj)) == ("x", "a {b c}")
    assert GetListFromAny([obj]) == ("a {b c}",)


@pytest.mark.parametrize("text", ["{a", "a {b}c", '"a"b', "{", 'a "b', "a {{b}", "a}"])
def test_malformed_list_raises_tcl_message(tcl, text):
    try:
        tcl.call("llength", text)
    except tkinter.TclError as expected:
        message = str(expected)
    else:
        message = None
    if message is None:  # Tcl takes it: so must we
        assert GetListFromAny(text) == tcl.splitlist(text)
        return
    with pytest.raises(tkinter.TclError) as info:
        GetListFromAny(text)
    assert str(info.value) == message


# Tcl cuts the offending character to its first bytes when it quotes it.
@pytest.mark.parametrize("text", ["{}\U0001f600", '"a"\U0001f600'])
def test_error_message_with_character_beyond_the_bmp(text):
    with pytest.raises(tkinter.TclError, match="^list element in (braces|quotes) followed by"):
        GetListFromAny(text)


def test_malformed_list_in_another_thread():
    outcome = in_thread(lambda: GetListFromAny("{a"))
    assert isinstance(outcome.get("error"), tkinter.TclError)
    assert str(outcome["error"]) == "unmatched open brace in list"


@pytest.mark.parametrize("value", [None, object(), {"a": 1}])
def test_other_values_are_refused(value):
    with pytest.raises(TypeError):
        GetListFromAny(value)


# No NUL here: the host hands ASCII text to Tcl with raw NUL bytes, which Tcl's parser
# reads differently from the NUL of its own strings (see the test below).
# Nor characters beyond the BMP: see test_error_message_with_character_beyond_the_bmp.
LIST_TEXT = st.text(st.sampled_from(list('ab{}"\\ \t\n;$[]') + ["é", "\u20ac"]), max_size=16)


@settings(max_examples=200, deadline=None)
@given(LIST_TEXT)
def test_splits_like_tcl(tcl, text):
    try:
        count = tcl.call("llength", text)
        expected = tuple(tcl.call("lindex", text, i) for i in range(count))
    except tkinter.TclError as exc:
        with pytest.raises(tkinter.TclError, match="^" + re.escape(str(exc)) + "$"):
            GetListFromAny(text)
    else:
        assert GetListFromAny(text) == expected


def test_backslash_before_nul_reads_as_tcl_reads_it(tcl):
    # built inside Tcl, so that the NUL is Tcl's own
    assert tcl.eval("lindex [format %c%c%c 92 0 97] 0") == "\0a"
    assert GetListFromAny("\\\0a") == ("\0a",)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.text(max_size=10), max_size=8))
def test_reads_back_every_rendered_list(items):
    # surrogates included: no host conversion stands in between
    assert GetListFromAny(scriptify(items)) == tuple(items)


# --- Array ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        ("", {}),
        ("a 1 b {2 3}", {"a": "1", "b": "2 3"}),
        ("{x y} {} z 0", {"x y": "", "z": "0"}),
        ("k 1 k 2", {"k": "2"}),  # a repeated index: the last value wins
        (("a", "1"), {"a": "1"}),
    ],
)
def test_array_from_tcl(value, expected):
    array = Array.from_tcl(value)
    assert isinstance(array, Array) and isinstance(array, Mapping)
    assert array == expected
    assert list(array.items()) == list(expected.items())


def test_array_from_tcl_object_keeps_tcl_order(tcl):
    tcl.eval("array set demo {b 2 a 1}")
    listing = tcl.call("array", "get", "demo")
    array = Array.from_tcl(listing)
    assert array == {"a": "1", "b": "2"}
    assert list(array) == list(tcl.splitlist(listing))[0::2]
    array["c"] = "3"
    assert array["c"] == "3"


@pytest.mark.parametrize("value, cause", [("a 1 b", None), ("{a", tkinter.TclError)])
def test_array_from_invalid_list(value, cause):
    with pytest.raises(ValueError) as info:
        Array.from_tcl(value)
    if cause is None:
        assert info.value.__cause__ is None
    else:
        assert isinstance(info.value.__cause__, cause)
        assert "unmatched open brace" in str(info.value)


# --- TclDLL.Tcl_ResetResult -------------------------------------------------------------------


def test_reset_result_on_its_own_thread():
    host = tkinter.Tcl()
    host.tk.eval("set x 5")
    assert TclDLL.Tcl_ResetResult(host) is None
    assert TclDLL.Tcl_ResetResult(host.tk) is None  # the app object itself will do
    assert host.tk.eval("set x") == "5"


def test_reset_result_from_another_thread_is_refused():
    host = tkinter.Tcl()
    register_owner_thread(host)
    outcome = in_thread(lambda: TclDLL.Tcl_ResetResult(host))
    assert isinstance(outcome.get("error"), RuntimeError)
    assert "thread" in str(outcome["error"])
    TclDLL.Tcl_ResetResult(host)  # the owner still may


def test_first_user_owns_an_unregistered_interpreter():
    host = tkinter.Tcl()
    TclDLL.Tcl_ResetResult(host)
    outcome = in_thread(lambda: TclDLL.Tcl_ResetResult(host))
    assert isinstance(outcome.get("error"), RuntimeError)


def test_reset_result_of_an_interpreter(interp):
    interp.eval("set y 1")
    TclDLL.Tcl_ResetResult(interp)
    outcome = in_thread(lambda: TclDLL.Tcl_ResetResult(interp))
    assert isinstance(outcome.get("error"), RuntimeError)


def test_reset_result_needs_an_interpreter():
    with pytest.raises(TypeError, match="^expected an Interpreter or a Tcl application object, not object$"):
        TclDLL.Tcl_ResetResult(object())
    assert isinstance(TclDLL.__dict__["Tcl_ResetResult"], staticmethod)


# --- AttrDict ---------------------------------------------------------------------------------


def test_attr_dict():
    d = AttrDict()
    assert d == {} and isinstance(d, dict)
    d["name"] = "x"
    assert d.name == "x"
    with pytest.raises(AttributeError, match="'AttrDict' object has no attribute 'other'"):
        d.other
    d["keys"] = "shadowed"
    assert callable(d.keys)  # real attributes come first
    assert AttrDict(a=1, b=2).b == 2
    with pytest.raises(AttributeError):
        d.new = 1  # attributes are read-only views of keys


def test_attr_dict_subclass_message():
    class Fields(AttrDict):
        pass

    with pytest.raises(AttributeError, match="'Fields' object has no attribute 'x'"):
        Fields().x
