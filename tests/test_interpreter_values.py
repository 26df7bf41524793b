"""Casts of Tcl values into Python values, script evaluation with Tcl's trace, and typed access
to Tcl variables."""

import logging
import tkinter

import pytest
from hypothesis import given, settings, strategies as st
from tkinter import TclError

from tessel.tcl.array import Array
from tessel.tcl.internal import GetListFromAny
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.nestmap import NestMap


# ---- casts -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, item_cast, expected",
    [
        ("1 2 3", None, ("1", "2", "3")),
        ("1 2 3", int, (1, 2, 3)),
        ("a {b c} {}", None, ("a", "b c", "")),
        ("", None, ()),
        (("x", 1), str, ("x", "1")),  # an already split value keeps its items
    ],
)
def test_cast_list(value, item_cast, expected):
    assert Interpreter.cast_list(value, item_cast=item_cast) == expected


@pytest.mark.parametrize("text", ["{a", 'a "b', "{a}b"])
def test_cast_list_of_malformed_text(interp, oracle, text):
    with pytest.raises(TclError) as tcl:
        oracle.call("llength", text)
    with pytest.raises(ValueError) as info:
        interp.cast_list(text)
    cause = info.value.__cause__
    assert isinstance(cause, TclError) and info.value.args == (cause,)
    assert str(cause) == str(tcl.value)  # Tcl's own message


ORACLE = tkinter.Tcl()


# NUL is left out: the host's eval hands back a result text cut at a NUL.
@settings(max_examples=150, deadline=None)
@given(st.lists(st.text(st.characters(blacklist_categories=["Cs"], blacklist_characters="\x00"))))
def test_cast_list_reads_what_tcl_builds(items):
    ORACLE.call("set", "l", tuple(items))  # a list object: Tcl writes its text
    assert Interpreter.cast_list(ORACLE.eval("set l")) == tuple(items)


LIST_TEXT = st.lists(
    st.one_of(
        st.text(),  # any code point, lone surrogates and NUL included
        st.sampled_from(["\\0", "\\U1F600", "\\x41", "{a b}", "\\", "\"", "\udcff", "\x00"]),
    )
).map("".join)


@settings(max_examples=200, deadline=None)
@given(LIST_TEXT)
def test_cast_list_agrees_with_the_list_splitter(text):
    try:
        expected = GetListFromAny(text)
    except (TclError, UnicodeError) as exc:
        with pytest.raises(ValueError) as info:
            Interpreter.cast_list(text)
        assert isinstance(info.value.__cause__, TclError)
        if isinstance(exc, TclError):
            assert str(info.value.__cause__) == str(exc)
    else:
        assert Interpreter.cast_list(text) == expected


def test_malformed_list_message_cut_inside_a_character():
    # Tcl quotes a few bytes of the offending text, which may end inside a character
    with pytest.raises(ValueError) as info:
        Interpreter.cast_list("{a b}\U00010000")
    assert str(info.value.__cause__).startswith("list element in braces followed by")


def test_cast_list_item_cast_errors_propagate():
    with pytest.raises(ValueError, match="invalid literal"):
        Interpreter.cast_list("1 x", item_cast=int)


@pytest.mark.parametrize(
    "cast, value, expected",
    [
        ("cast_int", "42", 42),
        ("cast_int", "0x10", 16),
        ("cast_int", 7, 7),
        ("cast_double", "1.5", 1.5),
        ("cast_double", 2, 2.0),
        ("cast_double", 2.5, 2.5),  # the host refuses floats: retried on its text
        ("cast_boolean", "yes", True),
        ("cast_boolean", "off", False),
        ("cast_boolean", 1, True),
        ("cast_boolean", "2", True),  # through the integer fallback
        ("cast_boolean", "0.0", False),  # through the double fallback
        ("cast_boolean", 0.0, False),  # text of a float
        ("cast_boolean", 2.5, True),
    ],
)
def test_scalar_casts(interp, cast, value, expected):
    result = getattr(interp, cast)(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("cast", ["cast_int", "cast_double"])
@pytest.mark.parametrize("value", ["x", "1.5.", "", 1.5j])
def test_number_casts_refuse_non_numbers(interp, cast, value):
    with pytest.raises(ValueError):
        getattr(interp, cast)(value)


def test_cast_int_of_float_fails_on_its_text(interp):
    with pytest.raises(ValueError, match='expected integer but got "1.5"'):
        interp.cast_int(1.5)


@pytest.mark.parametrize("word", ["maybe", "", "1x"])
def test_cast_boolean_refusal_is_chained(interp, word):
    with pytest.raises(ValueError) as info:
        interp.cast_boolean(word)
    cause = info.value.__cause__
    assert isinstance(cause, TclError) and info.value.args == (cause,)
    assert str(cause).startswith("expected boolean value but got")


def test_cast_boolean_fallbacks_go_through_the_instance(interp):
    class Counting(Interpreter):
        seen = []

        def cast_int(self, value):
            self.seen.append(("int", value))
            raise ValueError("no")

        def cast_double(self, value):
            self.seen.append(("double", value))
            return 0.0

    sub = Counting()
    assert sub.cast_boolean("zero") is False
    assert Counting.seen == [("int", "zero"), ("double", "zero")]


def test_cast_boolean_resets_the_result(interp):
    interp.tk.eval("set r leftover")
    interp.cast_boolean("yes")
    assert interp.tk.eval("") == ""


@pytest.mark.parametrize(
    "value, item_cast, expected",
    [
        ("a 1 b 2", None, {"a": "1", "b": "2"}),
        ("a 1 b 2", int, {"a": 1, "b": 2}),
        ("", None, {}),
    ],
)
def test_cast_array(value, item_cast, expected):
    result = Interpreter.cast_array(value, item_cast=item_cast)
    assert isinstance(result, Array) and result == expected


@pytest.mark.parametrize("value", ["a 1 b", "{a"])
def test_cast_array_refuses_bad_lists(value):
    with pytest.raises(ValueError):
        Interpreter.cast_array(value)


@pytest.mark.parametrize(
    "value, item_cast, expected",
    [
        ("{a 1} {b 2}", None, {"a": "1", "b": "2"}),
        ("{a 1} {b {{c 2} {d 3}}}", int, {"a": 1, "b": {"c": 2, "d": 3}}),  # leaves only
    ],
)
def test_cast_keyed_list(value, item_cast, expected):
    result = Interpreter.cast_keyed_list(value, item_cast=item_cast)
    assert isinstance(result, NestMap) and result == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (7, 7),
        (7.5, 7.5),
        (True, True),
        ("7", 7),  # integer beats boolean
        ("1", 1),
        ("1.5", 1.5),
        ("1e3", 1000.0),
        ("yes", True),
        ("false", False),
        ("", ""),
        ("a b", "a b"),  # a list that is no keyed list stays text
        ("word", "word"),
        ("{a", "{a"),  # malformed list: every cast fails, the text stays
        (None, "None"),
        (("a b", 1, 2.5, True, ["x", "y z"]), ("a b", "1", "2.5", "true", "x {y z}")),
    ],
)
def test_cast_any_order(interp, value, expected):
    result = interp.cast_any(value)
    assert result == expected and type(result) is type(expected)


def test_cast_any_tuple_with_none(interp):
    assert interp.cast_any(("a", None)) == ("a", "")


def test_cast_any_keyed_lists(interp):
    assert interp.cast_any("{a 1} {b 2}") == {"a": "1", "b": "2"}
    interp.tk.eval("keylset k a 1 b.c 2")
    obj = interp.tk.call("set", "k")
    assert obj.typename == "keyedList"
    result = interp.cast_any(obj)
    assert isinstance(result, NestMap) and result == {"a": "1", "b": {"c": "2"}}


def test_cast_any_lets_other_errors_through(interp):
    class Broken(Interpreter):
        def cast_double(self, value):
            raise KeyError("not a cast failure")

    with pytest.raises(KeyError):
        Broken().cast_any("x")


# ---- evaluation --------------------------------------------------------------------------


def entries(interp):
    return [e.api for e in interp.history.__history__]


@pytest.mark.parametrize(
    "kwargs, result, recorded",
    [
        ({}, "5", True),
        ({"typecast": True}, 5, True),
        ({"typecast": 1, "record": 0}, 5, False),  # flags are tested for truth
        ({"record": False}, "5", False),
    ],
)
def test_eval(interp, kwargs, result, recorded):
    assert interp.eval("set x 5", **kwargs) == result
    assert entries(interp) == (["set x 5"] if recorded else [])


def test_eval_positional_flags(interp):
    assert interp.eval("expr {1+1}", True, False) == 2
    assert entries(interp) == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 1 required positional argument: 'code'"),
        (("a", 1, 1, 1), {}, "takes from 2 to 4 positional arguments but 5 were given"),
        (("a",), {"code": "b"}, "multiple values for argument 'code'"),
        (("a",), {"cast": 1}, "unexpected keyword argument 'cast'"),
    ],
)
def test_eval_argument_errors(interp, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        interp.eval(*args, **kwargs)


def test_eval_error_carries_the_trace(interp):
    script = "proc p {} {error {it broke}}\np"
    with pytest.raises(TclError) as info:
        interp.eval(script)
    text = str(info.value)
    assert text.startswith("it broke\n    while executing")
    assert '"p"' in text
    assert info.value.args == (text,)
    assert info.value.__cause__ is None and info.value.__suppress_context__
    assert entries(interp) == [script]
    assert interp.get_errorInfo() == text


def test_eval_error_inside_an_except_block(interp):
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(TclError) as info:
            interp.eval("error inner")
    assert str(info.value).startswith("inner")
    assert info.value.__suppress_context__


def test_eval_with_history_disabled_still_logs(interp, caplog):
    interp.history.disable()
    with caplog.at_level(logging.DEBUG, logger="tessel.tcl"):
        assert interp.eval("set y 1") == "1"
    assert entries(interp) == []
    assert "% set y 1" in [r.getMessage() for r in caplog.records]


def test_get_errorinfo_before_any_error():
    fresh = Interpreter()
    if fresh.tk.eval("info exists ::errorInfo") == "1":
        fresh.tk.eval("unset ::errorInfo")
    with pytest.raises(KeyError):
        fresh.get_errorInfo()


def test_eval_typecast_uses_the_instance_cast(interp):
    class Tagged(Interpreter):
        def cast_any(self, value):
            return ("cast", value)

    assert Tagged().eval("set z 3", typecast=True) == ("cast", "3")


# ---- typed variables ---------------------------------------------------------------------


def test_scalar_readers_and_writers(interp):
    interp.set_int("i", 5)
    interp.set_var("v", 5)
    interp.set_double("d", 2.5)
    assert interp.get_var("i") == interp.get_var("v") == "5"
    assert interp.get_int("i") == 5
    assert interp.get_double("d") == 2.5
    assert interp.tk.eval("set ::d") == "2.5"


@pytest.mark.parametrize("value, stored, read", [("no", "1", True), ("", "0", False), (0, "0", False)])
def test_set_boolean_stores_one_or_zero(interp, value, stored, read):
    interp.set_boolean("flag", value)
    assert interp.tk.eval("set ::flag") == stored
    assert interp.get_boolean("flag") is read


def test_lists(interp):
    interp.set_list("l", [1, "two words", []])
    assert interp.tk.eval("llength $::l") == "3"
    assert interp.tk.eval("lindex $::l 1") == "two words"
    assert interp.get_list("l") == ("1", "two words", "")


def test_keyed_lists(interp):
    interp.set_keyed_list("k", {"a": 1})
    assert interp.tk.eval("keylget ::k a") == "1"
    result = interp.get_keyed_list("k")
    assert isinstance(result, NestMap) and result == {"a": "1"}
    nested = NestMap({"b": {"c": "x y"}})
    interp.set_keyed_list("k2", nested)
    assert interp.tk.eval("keylget ::k2 b.c") == "x y"


def test_arrays(interp):
    interp.set_array("arr", {"a": 1, "b": "x y"})
    assert interp.tk.eval("array size ::arr") == "2"
    assert interp.get_array("arr") == {"a": "1", "b": "x y"}
    interp.tk.eval("array set ::empty {}")
    empty = interp.get_array("empty")
    assert isinstance(empty, Array) and empty == {}


def test_names_are_global_unless_qualified(interp):
    interp.tk.eval("namespace eval ::ns { variable v inner }")
    interp.set_var("g", 1)
    assert interp.tk.eval("set ::g") == "1"
    assert interp.get_var("ns::v") == interp.get_var("::ns::v") == "inner"


@pytest.mark.parametrize("reader", ["get_var", "get_int", "get_list", "get_boolean"])
def test_readers_of_missing_variables(interp, reader):
    with pytest.raises(KeyError):
        getattr(interp, reader)("missing_var")


def test_readers_cast_failures(interp):
    interp.set_var("text", "abc")
    with pytest.raises(ValueError):
        interp.get_int("text")
    interp.set_var("brace", "{")
    with pytest.raises(ValueError):
        interp.get_list("brace")


def test_typed_access_is_not_recorded(interp):
    interp.set_var("x", 1)
    interp.get_int("x")
    assert entries(interp) == []
