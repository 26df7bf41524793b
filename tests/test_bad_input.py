"""Awkward input everywhere: lone surrogates, NUL, text beyond the BMP, huge integers, None,
objects whose text form or conversion hooks fail, and keys that are not text. Each gives
the right value or a clear Python exception; nothing crashes."""

import copy
import json
import math
from tkinter import TclError

import pytest

import tessel.tcl
from tessel.tcl.dial import Dial, Dial_Code
from tessel.tcl.history import Entry, History
from tessel.tcl.internal import TclDLL
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclNamespace,
)
from tessel.tcl.nestmap import NestMap
from tessel.tcl.scriptify import scriptify, tclobj


SURROGATE = "a\ud800b"  # the host cannot carry it into Tcl
ESCAPED = "a\udcffb"  # a surrogate the host carries (an escaped byte)
NUL = "a\x00b"
ASTRAL = "x\U0001f600\U0010ffff"
HUGE = 10**30


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


class BadTclobj:
    def __tclobj__(self):
        raise RuntimeError("no tclobj")


class BadScriptify:
    def __scriptify__(self):
        raise RuntimeError("no scriptify")


@pytest.fixture(scope="module")
def tcl():
    interp = Interpreter()
    interp.history.disable()
    interp.tk.eval("proc echo args {return $args}; array set ::arr {k 1}")
    return interp


# ---- conversion ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, text, ready",
    [
        (SURROGATE, SURROGATE, SURROGATE),
        (NUL, NUL, NUL),
        (ASTRAL, ASTRAL, ASTRAL),
        ([ASTRAL, "b c"], ASTRAL + " {b c}", (ASTRAL, "b c")),
        (HUGE, str(HUGE), str(HUGE)),  # beyond the machine word: as text
        (-(2**70), str(-(2**70)), str(-(2**70))),
        (2**63 - 1, str(2**63 - 1), 2**63 - 1),
        (None, "", ""),
        ([None], "{}", ("",)),
        (math.nan, "nan", math.nan),
        (b"a\xff", "97 255", b"a\xff"),
        ({1: None, (2, 3): "x y"}, "1 {} {2 3} {x y}", (1, "", (2, 3), "x y")),
    ],
)
def test_conversion_of_awkward_values(value, text, ready):
    assert scriptify(value) == text
    got = tclobj(value)
    assert got == ready or (got != got and ready != ready)  # nan equals nothing


@pytest.mark.parametrize("bad", [BadStr(), BadTclobj(), BadScriptify()])
@pytest.mark.parametrize(
    "convert",
    [
        scriptify,
        tclobj,
        lambda v: scriptify(["x", {"k": v}]),
        lambda v: tclobj(["x", {"k": v}]),
        lambda v: scriptify(NestMap({"a.b": v})),
        lambda v: tclobj(NestMap({"a.b": v})),
    ],
)
def test_failing_text_forms_and_hooks_propagate(convert, bad):
    with pytest.raises(RuntimeError):
        convert(bad)


# ---- casts -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cast, value, outcome",
    [
        ("cast_int", SURROGATE, UnicodeEncodeError),
        ("cast_int", NUL, ValueError),
        ("cast_int", ASTRAL, ValueError),
        ("cast_int", HUGE, HUGE),
        ("cast_int", str(-HUGE), -HUGE),
        ("cast_int", None, ValueError),
        ("cast_int", BadStr(), RuntimeError),
        ("cast_double", str(HUGE), 1e30),
        ("cast_double", "nan", ValueError),  # Tcl refuses NaN as a double
        ("cast_double", NUL, ValueError),
        ("cast_boolean", SURROGATE, UnicodeEncodeError),
        ("cast_boolean", NUL, ValueError),
        ("cast_boolean", HUGE, True),
        ("cast_boolean", None, ValueError),
        ("cast_list", None, TypeError),
        ("cast_list", BadStr(), TypeError),
        ("cast_list", SURROGATE + " " + NUL + " " + ASTRAL, (SURROGATE, NUL, ASTRAL)),
        ("cast_list", ESCAPED, (ESCAPED,)),
        ("cast_list", b"a \xff", ("a", "\udcff")),
        ("cast_array", None, TypeError),
        ("cast_array", f"{ASTRAL} {NUL}", {ASTRAL: NUL}),
        ("cast_array", ASTRAL, ValueError),
        ("cast_keyed_list", None, TypeError),
        ("cast_keyed_list", f"{{{ASTRAL} {NUL}}}", {ASTRAL: NUL}),
        ("cast_keyed_list", ASTRAL, ValueError),
        ("cast_any", None, "None"),
        ("cast_any", ASTRAL, ASTRAL),
        ("cast_any", HUGE, HUGE),
        ("cast_any", BadStr(), RuntimeError),
    ],
)
def test_casts_of_awkward_values(tcl, cast, value, outcome):
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome):
            getattr(tcl, cast)(value)
    else:
        assert getattr(tcl, cast)(value) == outcome


# ---- keyed lists -----------------------------------------------------------------------------


@pytest.mark.parametrize("text", [SURROGATE, ESCAPED, NUL, ASTRAL, "{", "\\", '"'])
def test_nestmap_keys_and_values_of_any_text_read_back(text):
    m = NestMap({text: text, "k": {text: [text, text]}})
    back = NestMap.from_tcl(scriptify(m))
    assert back[text] == text
    assert tessel.tcl.cast_list(back["k"][text]) == (text, text)


@pytest.mark.parametrize(
    "key, error",
    [(None, TypeError), (1, TypeError), (b"a", TypeError), (("a", 1), KeyError), (BadStr(), TypeError)],
)
def test_nestmap_keys_that_are_not_text(key, error):
    m = NestMap({"a": 1})
    with pytest.raises(error):
        m[key]
    assert m == {"a": 1}


# ---- handles, views and quick calls ----------------------------------------------------------


@pytest.mark.parametrize(
    "operation, outcome",
    [
        (lambda t: TclVariable(ASTRAL, tcl=t).set(ASTRAL) or t.vars[ASTRAL], ASTRAL),
        (lambda t: TclVariable("::v", tcl=t).set(NUL) or TclVariable("::v", tcl=t).get(), NUL),
        (lambda t: TclVariable("::v", tcl=t).set(ESCAPED) or t.objs["v"], ESCAPED),
        # before 3.13 the host's eval would cut these at the NUL: they read the variable whole,
        # once (a read trace fires once), and leave the host handing back objects
        (lambda t: t.set_var("z", NUL) or (t.get_var("z"), t.vars["z"], t.global_ns.vars["z"],
                                           TclVariable("z", tcl=t).get_str()), (NUL,) * 4),
        (lambda t: TclArrayVariable("::arr", tcl=t).__setitem__("n", ASTRAL + NUL) or
         TclVariable("::arr", tcl=t).get_str("n"), ASTRAL + NUL),
        (lambda t: t.tk.eval("set ::reads 0; set ::r 1; trace add variable ::r read {incr ::reads;#}")
         or (t.vars["r"], t.get_var("r"), TclVariable("::r", tcl=t).get_str(), t.tk.getvar("reads"),
             t.tk.wantobjects()), ("1", "1", "1", 3, True)),
        (lambda t: t.set_var("z", NUL) or (t.eval("list $z x"), t.global_ns.eval("set z"),
                                           TclCommand("set", tcl=t).eval("z")), (NUL + " x", NUL, NUL)),
        # (a script that moves every command of Tcl's own namespace away)
        (lambda t: t.tk.eval("foreach c [info commands ::tcl::*] {rename $c ::moved[incr i]}")
         or t.set_var("z", NUL) or t.eval("set z"), NUL),
        (lambda t: TclVariable(NUL, tcl=t).set(1), ValueError),
        (lambda t: TclVariable(SURROGATE, tcl=t).set(1), UnicodeEncodeError),
        (lambda t: TclVariable("::v", tcl=t).set(SURROGATE), UnicodeEncodeError),
        (lambda t: TclVariable(HUGE, tcl=t).set(1) or t.vars[str(HUGE)], "1"),
        (lambda t: TclVariable(None, tcl=t).var_name, ""),
        (lambda t: TclVariable(BadStr(), tcl=t), RuntimeError),
        (lambda t: TclArrayVariable("::arr", tcl=t)[HUGE], TypeError),  # the host wants text
        (lambda t: TclArrayVariable("::arr", tcl=t).__setitem__(HUGE, 2) or HUGE in
         TclArrayVariable("::arr", tcl=t), True),
        (lambda t: TclArrayVariable("::arr", tcl=t).__setitem__(ASTRAL, NUL) or
         TclArrayVariable("::arr", tcl=t)[ASTRAL], NUL),
        (lambda t: TclArrayVariable("::arr", tcl=t)[NUL], ValueError),
        (lambda t: TclArrayVariable("::arr", tcl=t)[BadStr()], TypeError),
        (lambda t: TclCommand("echo", tcl=t)(ASTRAL, NUL, HUGE, None), (ASTRAL, NUL, str(HUGE), "")),
        (lambda t: TclCommand("echo", tcl=t)(SURROGATE), UnicodeEncodeError),
        (lambda t: TclCommand("echo", tcl=t)(BadStr()), RuntimeError),
        (lambda t: TclCommand("echo", tcl=t)(**{ASTRAL: NUL}), ("-" + ASTRAL, NUL)),
        (lambda t: TclCommand(ASTRAL, tcl=t).exists(), False),
        (lambda t: TclCommand(None, tcl=t), TypeError),
        (lambda t: TclNamespace(ASTRAL, tcl=t).exists(), False),
        (lambda t: TclNamespace(BadStr(), tcl=t), RuntimeError),
        (lambda t: t.vars[NUL], KeyError),
        (lambda t: t.vars[SURROGATE], KeyError),
        (lambda t: t.vars.get(SURROGATE), UnicodeEncodeError),
        (lambda t: t.vars.__setitem__(BadStr(), 1), RuntimeError),
        (lambda t: ASTRAL in t.global_ns.cmds, False),
        (lambda t: None in t.global_ns.cmds, False),  # no command has the empty name
        (lambda t: "" in t.global_ns.procs, False),
        (lambda t: t.dial.echo(ASTRAL, NUL, HUGE, None, cast_=False), (ASTRAL, NUL, str(HUGE), "")),
        (lambda t: t.dial.echo(k=ASTRAL, cast_=False), ("-k", ASTRAL)),
        (lambda t: t.dial.echo(SURROGATE), UnicodeEncodeError),
        (lambda t: t.dial.echo(BadStr()), RuntimeError),
        (lambda t: getattr(t.dial, ASTRAL)(), TclError),
        (lambda t: t.eval(None), TypeError),
        (lambda t: t.eval(NUL), ValueError),
        (lambda t: t.eval(SURROGATE), UnicodeEncodeError),
        (lambda t: t.eval(f"set x {{{ASTRAL}}}"), ASTRAL),
    ],
)
def test_handles_with_awkward_input(tcl, operation, outcome):
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome):
            operation(tcl)
    else:
        assert operation(tcl) == outcome


def test_failed_quick_call_records_nothing(tcl):
    tcl.history.enable()
    try:
        before = len(tcl.history.__history__)
        for bad in (BadStr(), SURROGATE):
            with pytest.raises((RuntimeError, UnicodeEncodeError)):
                tcl.dial.echo("x", bad)
        # words that cannot be converted are never recorded; words the host refuses are
        assert len(tcl.history.__history__) - before in (0, 1)
        assert all(e.api != "echo x" for e in list(tcl.history.__history__)[before:])
    finally:
        tcl.history.disable()


# ---- what a refusal says ---------------------------------------------------------------------


def f():
    pass


@pytest.mark.parametrize(
    "operation, error, message",
    [
        (lambda t: t.eval(None), TypeError, "eval() argument must be str, not NoneType"),
        (lambda t: t.eval(b"set x 1"), TypeError, "eval() argument must be str, not bytes"),
        (lambda t: t.eval(), TypeError, "eval() missing 1 required positional argument: 'code'"),
        (lambda t: t.eval("", 1, 1, 1), TypeError,
         "eval() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda t: t.eval("", cast=1), TypeError,
         "eval() got an unexpected keyword argument 'cast'"),
        (lambda t: t.eval("", code=""), TypeError,
         "eval() got multiple values for argument 'code'"),
        (lambda t: t.cast_int(1, 2), TypeError,
         "cast_int() takes 2 positional arguments but 3 were given"),
        (lambda t: t.cast_list(None), TypeError,
         "a Tcl list must be str, bytes, Tcl_Obj, tuple or list, not NoneType"),
        (lambda t: t.cast_keyed_list(None), TypeError,
         "a Tcl list must be str, bytes, Tcl_Obj, tuple or list, not NoneType"),
        (lambda t: TclCommand(None, tcl=t), TypeError,
         "a Tcl list must be str, bytes, Tcl_Obj, tuple or list, not NoneType"),
        (lambda t: TclCommand("", tcl=t), IndexError,
         "TclCommand() needs a command name, but its word list is empty"),
        (lambda t: TclCommand("echo", None, "x", tcl=t), TypeError,
         "TclCommand() argument 'keywords' must be a mapping or None, not str"),
        (lambda t: t.set_var("kl", "a b c") or t.get_keyed_list("kl"), ValueError,
         "not a keyed list: field #0 has 1 element, not 2 (a key and a value)"),
        (lambda t: t.remove_callback(None), TypeError, "remove_callback() argument must be a "
         "TclCommand, a callable or a command name, not NoneType"),
        (lambda t: t.remove_callback(""), ValueError, "No callback in this interpreter named ''"),
        (lambda t: t.create_callback(f, "my cmd"), ValueError,
         "create_callback() cmd_name must be one Tcl word, not 'my cmd'"),
        (lambda t: History().end_marker("nope"), ValueError, "marker 'nope' is not active"),
        (lambda t: History().filter(marker="nope"), Exception, "No such marker: nope"),
        (lambda t: History().filter(count="5"), TypeError,
         "filter() argument 'count' must be int, not str"),
        (lambda t: History("5"), TypeError,
         "History() argument 'max_history' must be int or None, not str"),
        (lambda t: History().append(), TypeError,
         "append() missing 1 required positional argument: 'item'"),
        (lambda t: NestMap({1: "a"}), TypeError, "NestMap keys must be str, not int"),
        (lambda t: NestMap({"port": {"baud": "9600"}})["port.baud.x"], KeyError,
         "'key \"baud\" holds a value, not a keyed list: it has no key \"x\"'"),
        (lambda t: t.vars.get("nope", "dflt"), TypeError,
         "get() takes 2 positional arguments but 3 were given"),
        (lambda t: t.objs.get("nope", None, 1), TypeError,
         "get() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda t: TclArrayVariable("::arr", tcl=t).get("k", "dflt"), TypeError,
         "get_obj() argument 'cast' must be callable or None, not str"),
        (lambda t: TclVariable("::v", tcl=t).set(), TypeError,
         "set() missing 1 required positional argument: 'value'"),
        (lambda t: TempTclNamespace(None, tcl=t), TypeError,
         "TempTclNamespace() argument 'ns' must be str, not NoneType"),
        (lambda t: Dial(), TypeError,
         "Dial.__init__() missing 1 required positional argument: 'tcl'"),
        (lambda t: Dial_Code("a"), TypeError,
         "Dial_Code.__init__() missing 1 required keyword-only argument: 'tcl'"),
        (lambda t: TclDLL.Tcl_ResetResult(None), TypeError,
         "expected an Interpreter or a Tcl application object, not NoneType"),
        (lambda t: NestMap().__getattr__(None), TypeError,
         "attribute name must be string, not 'NoneType'"),
    ],
)
def test_refusals_say_what_was_wrong(tcl, operation, error, message):
    with pytest.raises(error) as info:
        operation(tcl)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "build",
    [
        lambda: NestMap({"k": None}),
        lambda: (m := NestMap()).__setitem__("k", None) or m,
        lambda: (m := NestMap()).setdefault("k") and None or m,
        lambda: (m := NestMap()).update(k=None) or m,
        lambda: (m := NestMap()).update({"k": None}) or m,
        lambda: NestMap(NestMap({"k": None})),
        lambda: copy.copy(NestMap({"k": None})),
        lambda: copy.deepcopy(NestMap({"k": None})),
    ],
)
def test_none_is_a_value_like_any_other(build):
    m = build()
    assert m == {"k": None} and "k" in m and m["k"] is None
    assert scriptify(m) == "{k {}}"
    del m["k"]
    assert m == {}


# ---- history ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "item, outcome",
    [
        (SURROGATE, SURROGATE),
        (NUL, NUL),
        ([ASTRAL, "a b"], ASTRAL + " {a b}"),
        (None, TypeError),
        (HUGE, TypeError),
        (["a", None], TypeError),
        (["a", 1], TypeError),
        (b"ab", TypeError),
        ([BadStr()], TypeError),
    ],
)
def test_history_with_awkward_items(item, outcome):
    h = History()
    h.start_marker("m")
    if isinstance(outcome, str):
        h.append(item)
        assert str(Entry(item)).endswith(": " + outcome)
        assert [e.api for e in h.filter(count=0)] == [e.api for e in h.filter("m")] == [outcome]
    else:
        with pytest.raises(outcome):
            h.append(item)
        with pytest.raises(outcome):
            Entry(item)
        assert not h.__history__ and not h.__markers__["m"]  # nothing half-stored


@pytest.mark.parametrize("marker", [None, HUGE, ASTRAL, SURROGATE, ("a", 1), math.inf])
def test_history_markers_may_be_any_hashable(marker):
    h = History()
    h.start_marker(marker)
    h.append("x")
    h.end_marker(marker)
    assert [e.api for e in h.filter(marker)] == ["x"]


@pytest.mark.parametrize("marker", [[], {}, {"a"}])
def test_unhashable_markers_change_nothing(marker):
    h = History()
    with pytest.raises(TypeError):
        h.start_marker(marker)
    assert h.__activeMarkers__ == [] and h.__markers__ == {}


# ---- values the host cannot nest -----------------------------------------------------------
# The host refuses a bad word cleanly, but dies on a bad item inside a tuple: each case runs in
# a process of its own, so that a crash fails its case only.

NESTED = {
    "command words tuple": 'TclCommand(("echo", (bad,)), tcl=t)()',
    "command bound args": 'TclCommand("echo", args=[(bad,)], tcl=t)()',
    "command call option": 'TclCommand("echo", tcl=t)(k=[bad])',
    "variable set": "TclVariable('::v', tcl=t).set([bad])",
    "element set": "TclVariable('::a', tcl=t).set([bad], array_index='k')",
    "view set": "t.vars.__setitem__('v', (bad,))",
    "objects view set": "t.objs.__setitem__('v', [[bad]])",
    "set_list": "t.set_list('l', ['x', bad])",
    "set_array value": "t.set_array('a', {'k': (bad,)})",
    "set_array key": "t.set_array('a', {bad: 1})",
    "set_keyed_list": "t.set_keyed_list('k', {'a': bad})",
    "namespace call": "t.global_ns.call('list', [bad])",
    "hook tuple": "t.vars.__setitem__('v', Hook((bad,)))",
    "hook tuple of failing text": "t.vars.__setitem__('v', Hook((BadStr(),)))",
    "list of failing text": "t.set_list('l', [Hook([BadStr()])])",
    "callback tuple": "t.create_callback(lambda: ('x', ('y', bad)), '::cb') and t.eval('::cb')",
    "callback list of failing text": "t.create_callback(lambda: [BadStr()], '::cb') and t.eval('::cb')",
    "temporary command result": "TempTclCommand(lambda: [bad], tcl=t)()",
    "command view result": "t.global_ns.cmds.__setitem__('cv', lambda: (bad,)) or t.eval('cv')",
}

NESTED_SCRIPT = """
import json
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclCommand, TclVariable, TempTclCommand

class BadStr:
    def __str__(self):
        raise RuntimeError("no text")

class Hook:
    def __init__(self, value):
        self.value = value
    def __tclobj__(self):
        return self.value

t = Interpreter()
t.tk.eval("proc echo args {return $args}")
bad = "a\\ud800b"
try:
    %s
    print(json.dumps("returned"))
except Exception as exc:
    print(json.dumps([type(exc).__name__, str(exc).split(chr(10))[0]]))
print(t.eval("expr {1+1}"))
"""


@pytest.mark.parametrize("case", NESTED)
def test_values_the_host_cannot_nest_are_refused(python_apart, case):
    done = python_apart(NESTED_SCRIPT % NESTED[case])
    assert done.returncode == 0, done.stderr[-2000:]
    outcome, alive = done.stdout.splitlines()
    name, message = json.loads(outcome)
    assert alive == "2"
    if "failing text" in case:
        assert "no text" in message
    else:
        assert "surrogates not allowed" in message
    # raised where Python converts; reported by Tcl when a callback's result is refused
    assert name in ("UnicodeEncodeError", "RuntimeError", "TclError")
