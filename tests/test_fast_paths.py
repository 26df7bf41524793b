"""The shortcuts of the hot paths against the general way: same results, same errors.

Each shortcut applies only while nothing it skips has been replaced; an instance whose class
overrides the host's conversions always takes the general way, so the two can be compared."""

import tkinter

import _tkinter
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.tcl.interpreter import Interpreter


class GeneralInterpreter(Interpreter):
    """The same conversions, as overrides: the casts cannot take their shortcut."""

    def getint(self, s):
        return tkinter.Misc.getint(self, s)

    def getdouble(self, s):
        return tkinter.Misc.getdouble(self, s)


@pytest.fixture(scope="module")
def pair():
    return Interpreter(), GeneralInterpreter()


def outcome(fn, value):
    try:
        result = fn(value)
    except Exception as exc:  # the error is part of the behaviour compared
        return ("raised", type(exc), str(exc))
    return ("returned", type(result), result if result == result else "nan")


NUMBER_LIKE = [
    "0", "1", "-1", "+3", " 7 ", "\t8\n", "007", "010", "08", "0x1F", "0X1f", "0o17", "0b101",
    "0x", "1_000", "- 3", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
    "-9223372036854775809", "18446744073709551615", "18446744073709551616",
    "0xFFFFFFFFFFFFFFFF", "0x10000000000000000", "-0xFFFFFFFFFFFFFFFF",
    "1" * 40, "-0", "-", "--1", "123456789012345678", "-999999999999999999", "1234567890123456789",
    "1.5", ".5", "5.", "1e3", "1E-3", "-0.0", "inf", "-Inf", "nan", "NaN", "1e400",
    "0x1p3", "yes", "no", "true", "FALSE", "on", "off", "ye", "t", "f", "y", "n", "", " ",
    "a", "{a 1} {b 2}", "١٢", "５", "1\x00", "\ud800", "1 2", "12abc",
]

text_values = st.one_of(
    st.sampled_from(NUMBER_LIKE),
    st.from_regex(r"\s{0,2}[+-]?(0[xXoObB])?[0-9a-fA-F_.eE]{0,22}\s{0,2}", fullmatch=True),
    st.text(max_size=12),
)


@pytest.mark.parametrize("cast", ["cast_int", "cast_double", "cast_boolean", "cast_any"])
@pytest.mark.parametrize("value", NUMBER_LIKE)
def test_casts_agree_on_number_like_text(pair, cast, value):
    fast, general = pair
    assert outcome(getattr(fast, cast), value) == outcome(getattr(general, cast), value)


@settings(max_examples=200, deadline=None)
@given(value=text_values)
def test_casts_agree_on_any_text(pair, value):
    fast, general = pair
    for cast in ("cast_int", "cast_double", "cast_any"):
        assert outcome(getattr(fast, cast), value) == outcome(getattr(general, cast), value)


@settings(max_examples=100, deadline=None)
@given(value=st.one_of(st.integers(), st.integers(min_value=-(2**70), max_value=2**70),
                       st.floats(allow_nan=False), st.booleans()))
def test_casts_agree_on_numbers(pair, value):
    fast, general = pair
    for cast in ("cast_int", "cast_double", "cast_any"):
        assert outcome(getattr(fast, cast), value) == outcome(getattr(general, cast), value)
        assert outcome(getattr(fast, cast), str(value)) == outcome(getattr(general, cast),
                                                                  str(value))


def test_int_input_comes_back_as_itself(pair):
    fast, _ = pair
    big = 2**80 + 1
    assert fast.cast_int(big) is big


def test_bignum_text_keeps_its_value(pair):
    fast, _ = pair
    assert fast.cast_int("18446744073709551615") == 2**64 - 1
    assert fast.cast_any("-18446744073709551616") == -(2**64)
    assert fast.cast_int("0xFFFFFFFFFFFFFFFF") == 2**64 - 1


# ---- anything replaced is called ------------------------------------------------------------


def test_instance_override_of_cast_int_is_used_by_cast_any():
    interp = Interpreter()
    interp.cast_int = lambda value: "mine:" + value
    assert interp.cast_any("5") == "mine:5"


def test_instance_override_of_getint_is_used():
    interp = Interpreter()
    interp.getint = lambda value: 42
    assert interp.cast_int("5") == 42
    assert interp.cast_any("5") == 42


@pytest.mark.parametrize("name, cast, expected", [
    ("getint", "cast_int", 11),
    ("getdouble", "cast_double", 2.5),
])
def test_monkeypatched_host_class_conversion_is_used(monkeypatch, pair, name, cast, expected):
    fast, _ = pair
    monkeypatch.setattr(tkinter.Misc, name, lambda self, s: expected)
    assert getattr(fast, cast)("7") == expected


@pytest.mark.parametrize("name", ["getint", "getdouble", "getboolean"])
def test_monkeypatched_host_object_conversion_is_used(monkeypatch, pair, name):
    fast, _ = pair
    calls = []
    original = getattr(_tkinter.TkappType, name)

    def spy(tk, s):
        calls.append(s)
        return original(tk, s)

    monkeypatch.setattr(_tkinter.TkappType, name, spy)
    fast.cast_any("yes" if name == "getboolean" else "1.5" if name == "getdouble" else "3")
    assert calls


def test_replaced_host_object_is_used(pair):
    fast, _ = pair

    class StandIn:
        def getint(self, s):
            return -1

    interp = Interpreter()
    real = interp.tk
    interp.tk = StandIn()
    try:
        assert interp.cast_int("5") == -1
    finally:
        interp.tk = real


def test_replaced_tcl_error_name_changes_what_is_swallowed(monkeypatch, pair):
    fast, general = pair

    class Other(Exception):
        pass

    monkeypatch.setattr(tkinter, "TclError", Other)
    # Misc.getint no longer turns Tcl's failure into ValueError: it escapes cast_any.
    for interp in (fast, general):
        with pytest.raises(_tkinter.TclError):
            interp.cast_any("abc")


def test_subclass_cast_override_is_used_by_cast_any():
    class Mine(Interpreter):
        def cast_double(self, value):
            return "double:" + value

    interp = Mine()
    assert interp.cast_any("1.5") == "double:1.5"
    assert interp.cast_any("2") == 2


@pytest.mark.parametrize("cast", ["cast_int", "cast_double", "cast_any"])
def test_casts_take_value_by_position_or_keyword(pair, cast):
    fast, _ = pair
    method = getattr(fast, cast)
    assert method("5") == method(value="5") == getattr(Interpreter, cast)(fast, "5")
    for args, kwargs in [((), {}), (("1", "2"), {}), (("1",), {"value": "2"}), ((), {"v": "1"})]:
        with pytest.raises(TypeError, match=cast):
            method(*args, **kwargs)


def test_quick_call_reads_history_and_host_as_attributes_do():
    recorded = []

    class Recorder:
        def append(self, words):
            recorded.append(list(words))

    class Mine(Interpreter):
        @property
        def history(self):
            return Recorder()

        @history.setter
        def history(self, value):
            pass

    interp = Mine()
    assert interp.dial.set("x", 3) == 3
    assert recorded == [["set", "x", "3"]]

    plain = Interpreter()
    plain.history = Recorder()
    plain.dial.set("y", "a b")
    assert recorded[-1] == ["set", "y", "a b"]


def test_quick_call_follows_commands_changed_after_its_first_call(monkeypatch):
    interp = Interpreter()
    interp.eval("proc p {} {return one}")
    assert interp.dial.p() == "one"
    interp.eval("proc p {} {return two}")
    assert interp.dial.p() == "two"
    interp.eval("rename p {}; namespace eval n {proc p {} {return three}}; namespace path n")
    assert interp.dial.p() == "three"
    seen = []

    def spy(tk, *args):
        seen.append(args)
        return original(tk, *args)

    original = _tkinter.TkappType.call
    monkeypatch.setattr(_tkinter.TkappType, "call", spy)
    assert interp.dial.p() == "three"
    assert seen == [(("p",),)] and type(seen[0][0][0]) is str  # a host's own call sees text


@pytest.mark.parametrize("value", ["1", "2.5", "yes", "abc", "{a 1}", ""])
def test_casts_agree_from_a_thread_that_does_not_own_the_interpreter(pair, value):
    import threading

    fast, general = pair
    seen = {}

    def run():
        for side, interp in (("fast", fast), ("general", general)):
            seen[side] = outcome(interp.cast_any, value)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    assert seen["fast"] == seen["general"]
    if value in ("yes", "abc", "{a 1}"):
        assert seen["fast"][1] is RuntimeError


# ---- list rendering: copied elements and quoted ones side by side ---------------------------

ELEMENT = st.one_of(
    st.sampled_from(["", "{", "}", "{a}", "a b", "a\\", "\\n", "[x]", "$v", "\"q\"", "#h",
                     "é", "日本", "\U0001f600", "x\ty", "{a", "a}", "\\{"]),
    st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=8),
    st.text(alphabet="ab{}[]$; \\\"\n\té日", max_size=6),
)


@pytest.fixture(scope="module")
def plain_tcl():
    return tkinter.Tcl().tk


@settings(max_examples=200, deadline=None)
@given(items=st.lists(ELEMENT, max_size=12))
def test_rendered_list_joins_its_elements_and_reads_back(plain_tcl, items):
    from tessel.tcl.scriptify import scriptify

    text = scriptify(items)
    # each element is written alike alone (where the text is as wide as the element) and among
    # others (where wider elements widen the whole text)
    assert text == " ".join(scriptify([item]) for item in items)
    assert plain_tcl.splitlist(text) == tuple(items)


# ---- eval records through the history's append as attribute lookup finds it -----------------


def test_eval_uses_an_append_put_on_the_history_instance():
    interp = Interpreter()
    interp.history.enable()
    seen = []
    interp.eval("set a 1")
    interp.history.append = seen.append
    interp.eval("set b 2")
    del interp.history.append
    interp.eval("set c 3")
    assert seen == ["set b 2"]
    assert [e.api for e in interp.history.__history__][-2:] == ["set a 1", "set c 3"]


def test_eval_uses_the_attribute_lookup_of_a_history_subclass():
    from tessel.tcl.history import History

    seen = []

    class Watched(History):
        def __getattribute__(self, name):
            if name == "append":
                return seen.append
            return super().__getattribute__(name)

    interp = Interpreter()
    interp.history = Watched()
    interp.eval("set d 4")
    assert seen == ["set d 4"]


def test_eval_follows_replaced_history_and_host():
    from tessel.tcl.history import History

    interp, other = Interpreter(), Interpreter()
    interp.eval("set x 1")
    interp.history = History()
    interp.eval("set x 2")
    assert [e.api for e in interp.history.__history__] == ["set x 2"]

    interp.tk = other.tk  # the next script runs in the other interpreter
    interp.eval("set y 3")
    assert other.tk.getvar("y") == "3"


def test_eval_runs_in_the_host_that_recording_left_in_place():
    interp, other = Interpreter(), Interpreter()
    interp.eval("set z 0")

    class Swapping:
        def append(self, item):
            interp.tk = other.tk

    interp.history = Swapping()
    interp.eval("set z 1")
    assert other.tk.getvar("z") == "1"


class RoutedHistory(Interpreter):
    """A class-level `history` property, which wins over the instance dictionary."""

    seen = []

    @property
    def history(self):
        return type("Recorder", (), {"append": staticmethod(RoutedHistory.seen.append)})()

    @history.setter
    def history(self, value):
        self.__dict__["history"] = value  # shadowed by the property, as lookup has it


@pytest.mark.parametrize("call", [lambda t: t.eval("set q 1"), lambda t: t.dial.set("q", 1)])
def test_hot_calls_read_history_as_attribute_lookup_does(call):
    RoutedHistory.seen.clear()
    interp = RoutedHistory()
    call(interp)
    call(interp)
    assert len(RoutedHistory.seen) == 2
    assert len(interp.__dict__["history"].__history__) == 0  # the shadowed one records nothing
