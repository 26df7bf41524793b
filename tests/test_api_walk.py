"""Every public callable, on real instances, called with None, a value of a wrong type and an
empty string in each argument position, and with a wrong count of arguments: each answers with a value or an exception a user can
act on. Never a crash, never the binding library's own refusal, never a bare Exception, never
an IndexError or AttributeError from our internals. New callables are walked as they appear."""

import json

import pytest

WALK = r'''
import inspect, json, sys, tkinter
import tessel.tcl
from tessel.tcl import interpreter, internal
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import (TclArrayVariable, TclCommand, TclNamespace, TclVariable,
    TempTclArrayVariable, TempTclCommand, TempTclNamespace, TempTclVariable)
from tessel.tcl.nestmap import NestMap
from tessel.tcl.history import Entry, History
from tessel.tcl.dial import Dial, Dial_Code
from tessel.tcl.array import Array

MODULES = [sys.modules["tessel.tcl." + name] for name in
           ("interpreter", "namespace", "history", "nestmap", "scriptify", "dial", "internal")]


def world(t=None):
    """An interpreter (fresh unless given, or when a call destroyed the one given) and one real
    instance of every public class on it, its Tcl state set anew."""
    try:
        t.history.disable()
        t.tk.eval("info patchlevel")
    except Exception:
        t = Interpreter()
    t.history.disable()
    t.tk.eval("proc echo args {return $args}; set ::v 1; array set ::arr {k 1}")
    t.tk.eval("namespace eval ::n {}")
    return t, {
        Interpreter: t,
        TclVariable: TclVariable("::v", tcl=t),
        TempTclVariable: TempTclVariable(tcl=t),
        TclArrayVariable: TclArrayVariable("::arr", tcl=t),
        TempTclArrayVariable: TempTclArrayVariable(tcl=t),
        TclCommand: TclCommand("echo", tcl=t),
        TempTclCommand: TempTclCommand(lambda *a: "", tcl=t),
        TclNamespace: TclNamespace("::n", tcl=t),
        TempTclNamespace: TempTclNamespace(tcl=t),
        TclNamespace.VariablesView: t.global_ns.vars,
        TclNamespace.ObjectsView: t.global_ns.objs,
        TclNamespace.CommandsView: t.global_ns.cmds,
        TclNamespace.ProcsView: t.global_ns.procs,
        NestMap: NestMap({"a": "1", "b": {"c": "2"}}),
        History: History(),
        Entry: Entry("x"),
        Dial: t.dial,
        Dial_Code: t.dial.echo,
        Array: t.cast_array("k 1"),
    }


def ours(obj):
    return (getattr(obj, "__module__", None) or "").startswith("tessel.")


def callables():
    """(label, how to reach it in a world) for every public callable."""
    found = {}
    t, instances = world()
    classes = set(instances)
    for module in MODULES + [tessel.tcl]:
        for name in dir(module):
            value = getattr(module, name)
            if name.startswith("_") or not callable(value):
                continue
            if isinstance(value, type):
                classes.add(value) if ours(value) else None
            if isinstance(value, type) and not ours(value):
                continue
            if isinstance(value, type):
                for attr, member in vars(value).items():
                    if isinstance(member, (staticmethod, classmethod)) and not attr.startswith("_"):
                        found[f"{value.__name__}.{attr}"] = (value, attr, "static")
            found[f"{module.__name__}.{name}"] = (module, name, "module")
    for cls in classes & set(instances):
        for klass in cls.__mro__:
            if not ours(klass):
                continue
            for attr, member in vars(klass).items():
                if attr in ("__init__", "__new__", "__del__", "__init_subclass__",
                            "__subclasshook__"):
                    continue
                if isinstance(member, type) or attr.startswith("_abc"):
                    continue
                if not callable(member) and not isinstance(member, classmethod):
                    continue  # (a property, a docstring, slots)
                found.setdefault(f"{cls.__name__}().{attr}", (cls, attr, "instance"))
    return found


def reach(t, instances, owner, attr, kind):
    if kind == "instance":
        return getattr(instances[owner], attr)
    return getattr(owner, attr)


def arities(fn):
    try:
        params = list(inspect.signature(fn).parameters.values())
    except Exception:  # (a quick-call path takes `__signature__` for a command name)
        return None
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    if positional and positional[0].name == "self":  # the binding's own text, bound or not
        positional = positional[1:]
    kinds = [p.kind for p in params]
    if not positional and kinds == [inspect.Parameter.VAR_POSITIONAL,
                                    inspect.Parameter.VAR_KEYWORD]:
        return None  # a binding that shows no signature of its own
    if any(p.kind == p.VAR_POSITIONAL for p in params):
        positional += [None] * 2
    low = sum(1 for p in positional if p is not None and p.default is p.empty)
    return range(low, min(len(positional), 3) + 1)


def wrong_counts(fn, counts):
    """Argument counts the callable refuses: one too few, and one too many where it is known."""
    if counts is None:
        return []
    params = inspect.signature(fn).parameters.values()
    high = None if any(p.kind == p.VAR_POSITIONAL for p in params) else len(
        [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)])
    return [n for n in (counts.start - 1, high if high is not None and high > 3 else None,
                        (high + 1) if high is not None and high <= 3 else None)
            if n is not None and n >= 0 and n not in counts]


def outcome_of(call):
    try:
        call()
        return None
    except BaseException as exc:
        return [type(exc).__name__, type(exc).__module__, str(exc)[:300]]


BAD = {"None": None, "wrong type": object(), "empty": ""}
found = callables()
print(json.dumps(sorted(found)), flush=True)
for label in sorted(found):
    owner, attr, kind = found[label]
    base = Interpreter()
    t, instances = world(base)
    fn = reach(t, instances, owner, attr, kind)
    counts = arities(fn)
    for count in wrong_counts(fn, counts):  # a wrong count of arguments is refused in words
        outcome = outcome_of(lambda: reach(*world(base), owner, attr, kind)(*["a"] * count))
        print(json.dumps([label, count, None, "wrong count", outcome]), flush=True)
    for count in counts if counts is not None else range(0, 4):
        if counts is None:  # no signature: only counts that strings are accepted with
            outcome = outcome_of(lambda: reach(*world(base), owner, attr, kind)(*["a"] * count))
            if outcome and outcome[0] == "TypeError":
                print(json.dumps([label, count, None, "wrong count", outcome]), flush=True)
                continue
        for position in range(count):
            for what, bad in BAD.items():
                t, instances = world(base)
                args = ["a"] * count
                args[position] = bad
                outcome = outcome_of(lambda: reach(t, instances, owner, attr, kind)(*args))
                print(json.dumps([label, count, position, what, outcome]), flush=True)
print(json.dumps("done"))
'''


@pytest.fixture(scope="module")
def walked(python_apart):
    done = python_apart(WALK, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert lines[-1] == "done"
    return lines[0], lines[1:-1]


def test_walk_reaches_every_public_callable(walked):
    labels, calls = walked
    # a sample of each kind: module functions, static methods, methods of each class
    for label in ["tessel.tcl.interpreter.GetListFromAny", "NestMap.from_tcl",
                  "NestMap().__setitem__", "Interpreter().eval", "VariablesView().get",
                  "History().end_marker", "Dial_Code().__call__", "tessel.tcl.scriptify.scriptify"]:
        assert label in labels
    assert {call[0] for call in calls} >= {"Interpreter().cast_list", "NestMap().__getitem__"}
    # a wrong count of arguments is walked too, and answered as CPython answers it
    assert ["Interpreter().get_var", 0, None, "wrong count",
            ["TypeError", "builtins", "get_var() missing 1 required positional argument: 'name'"]
            ] in calls


def leaked(label, name, message):
    """Why an exception is no answer a user can act on, or None when it is one."""
    if "incompatible function arguments" in message:
        return "the binding library's refusal"
    if name == "SystemError":
        return "an internal error"
    if name == "Exception":
        # the one bare Exception the history's contract names, with its own message
        return None if message.startswith("No such marker: ") else "a bare Exception"
    if name == "IndexError" and "index out of range" in message:
        return "an index taken inside our code"
    if name == "AttributeError":
        # only attribute lookups may answer that an attribute is missing, and only of the
        # object asked, not of some argument handed on inside
        owner = label.split("(")[0].split(".")[-1]
        if not (label.endswith(("__getattr__", "__getattribute__"))
                and message.startswith(f"'{owner}' object has no attribute")):
            return "an attribute missing inside our code"
    return None


def test_no_refusal_leaks_from_internals(walked):
    _, calls = walked
    bad = []
    for label, count, position, what, outcome in calls:
        if outcome is None:
            continue
        name, _, message = outcome
        why = leaked(label, name, message)
        if why:
            bad.append(f"{label} [{count} args, #{position} {what}]: {why}: {name}: {message}")
    assert not bad, "\n".join(bad)
