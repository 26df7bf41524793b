"""Lifetimes: objects that outlive their interpreter, callbacks that delete themselves or nest
deeply, and recursion that runs away. Whatever can crash runs in its own process, so that a
crash fails a test instead of ending the test run."""

import json

import pytest


# ---- an interpreter dropped under its objects ------------------------------------------------

ORPHANS = """
import gc, json, weakref
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import *
from tessel.tcl.dial import Dial_Code

t = Interpreter()
t.tk.eval("proc echo args {return $args}; namespace eval ::n {}; set ::v 1; array set ::a {k 1}")
t.tk.call("keylset", "::kl", "a.b", "1")
objects = {
    "variable": TclVariable("::v", tcl=t),
    "array": TclArrayVariable("::a", tcl=t),
    "command": TclCommand("echo", args=["x"], tcl=t),
    "namespace": TclNamespace("::n", tcl=t),
    "vars view": t.global_ns.vars,
    "objs view": t.objs,
    "cmds view": t.global_ns.cmds,
    "procs view": t.global_ns.procs,
    "dial": t.dial,
    "dial code": t.dial.echo,
    "free dial code": Dial_Code("echo", tcl=t.dial.tcl),
    "callback handle": t.create_callback(lambda *a: "cb", "::cb"),
    "temporary command": TempTclCommand(lambda *a: "tmp", tcl=t).__enter__(),
    "temporary variable": TempTclVariable(tcl=t).__enter__(),
    "temporary namespace": TempTclNamespace(tcl=t).__enter__(),
    "history": t.history,
}
value = t.tk.call("set", "::kl")
text_before = {name: str(obj) for name, obj in objects.items() if "view" not in name}
ref = weakref.ref(t)
del t
gc.collect()
assert ref() is None, "the interpreter was kept alive"

USES = {
    "variable": lambda o: o.get(),
    "array": lambda o: o["k"],
    "command": lambda o: o(),
    "namespace": lambda o: o.exists(),
    "vars view": lambda o: o["v"],
    "objs view": lambda o: o["v"],
    "cmds view": lambda o: "echo" in o,
    "procs view": lambda o: list(o),
    "dial": lambda o: o.echo(),
    "dial code": lambda o: o(),
    "free dial code": lambda o: o(),
    "callback handle": lambda o: o(),
    "temporary command": lambda o: o.__exit__(None, None, None),
    "temporary variable": lambda o: o.__exit__(None, None, None),
    "temporary namespace": lambda o: o.__exit__(None, None, None),
    "history": lambda o: len(o.filter(count=0)),
}
outcomes = {}
for name, use in USES.items():
    try:
        outcomes[name] = ["returned", repr(use(objects[name]))]
    except BaseException as exc:
        outcomes[name] = [type(exc).__name__, str(exc)]
texts = {name: str(objects[name]) == text for name, text in text_before.items()}
outcomes["Tcl_Obj"] = [value.typename, str(value)]
objects.clear()
gc.collect()
print(json.dumps({"outcomes": outcomes, "texts": texts}))
"""


@pytest.fixture(scope="module")
def orphans(run_apart):
    return json.loads(run_apart(ORPHANS))


@pytest.mark.parametrize(
    "name",
    [
        "variable",
        "array",
        "command",
        "namespace",
        "vars view",
        "objs view",
        "cmds view",
        "procs view",
        "dial",
        "dial code",
        "free dial code",
        "callback handle",
        "temporary command",
        "temporary variable",
        "temporary namespace",
    ],
)
def test_objects_of_a_dropped_interpreter_raise_reference_error(orphans, name):
    assert orphans["outcomes"][name][0] == "ReferenceError"


def test_values_and_texts_outlive_the_interpreter(orphans):
    assert orphans["outcomes"]["history"] == ["returned", "0"]
    assert orphans["outcomes"]["Tcl_Obj"] == ["keyedList", "{a {{b 1}}}"]
    assert all(orphans["texts"].values()), orphans["texts"]


# ---- callbacks -------------------------------------------------------------------------------


def test_callbacks_that_delete_their_own_command(run_apart):
    out = run_apart(
        """
        from tessel.tcl.interpreter import Interpreter
        from tessel.tcl.namespace import TclCommand, TempTclCommand

        t = Interpreter()
        results = []

        def by_table(*args):
            t.remove_callback("::by_table")
            return "removed"

        def by_handle(*args):
            TclCommand("::by_handle", tcl=t).delete()
            return "deleted"

        def by_rename(*args):
            t.tk.eval("rename ::by_rename ::renamed")
            return "renamed"

        for func in (by_table, by_handle, by_rename):
            t.create_callback(func, "::" + func.__name__)
            results.append(t.eval("::" + func.__name__))
            results.append(t.tk.call("info", "commands", "::" + func.__name__))

        holder = []
        temp = TempTclCommand(lambda: holder[0].delete() or "gone", tcl=t)
        holder.append(temp)
        with temp:
            results.append(temp())
        results.append(t.tk.call("info", "commands", temp.cmd_name))
        print(repr(results))
        """
    )
    assert out.strip() == repr(["removed", "", "deleted", "", "renamed", "", "gone", ""])


def test_callbacks_nested_two_hundred_levels_deep(run_apart):
    out = run_apart(
        """
        from tessel.tcl.interpreter import Interpreter
        t = Interpreter()
        t.history.disable()

        def down(n):
            n = int(n)
            return 0 if n == 0 else 1 + int(t.eval(f"::down {n - 1}"))

        def across(n):  # through a quick call and a command handle in turn
            n = int(n)
            if n == 0:
                return 0
            step = t.dial.across if n % 2 else t.global_ns.cmds["across"]
            return 1 + int(step(n - 1))

        t.create_callback(down, "::down")
        t.create_callback(across, "::across")
        print(t.eval("::down 200"), t.eval("::across 200"))
        """
    )
    assert out.split() == ["200", "200"]


@pytest.mark.parametrize("limit", [None, 100_000])
@pytest.mark.parametrize(
    "recursion",
    [
        "t.create_callback(lambda: t.eval('::again'), '::again')",
        "t.create_callback(lambda: t.dial.again(), '::again')",
        "t.create_callback(lambda: t.tk.call('::again'), '::again')",
        "holder = [TempTclCommand(lambda: holder[0](), '::again', tcl=t)]",
    ],
)
def test_runaway_callback_recursion_ends_in_an_error(run_apart, recursion, limit):
    # Python's or Tcl's nesting limit, whichever comes first, ends it; Tcl carries the
    # innermost error outwards, so the outermost call raises TclError.
    out = run_apart(
        f"""
        import sys
        from tkinter import TclError
        from tessel.tcl.interpreter import Interpreter
        from tessel.tcl.namespace import TempTclCommand
        t = Interpreter()
        t.history.disable()
        if {limit!r}:
            sys.setrecursionlimit({limit!r})
        {recursion}
        try:
            t.eval("::again")
        except TclError as exc:
            print("TclError")
        print(t.eval("expr {{1+1}}"))
        """
    )
    assert out.split() == ["TclError", "2"]


# ---- deep values under a raised recursion limit -----------------------------------------------


@pytest.mark.parametrize(
    "operation",
    [
        "scriptify(deep_list)",
        "tclobj(deep_list)",
        "scriptify(deep_dict)",
        "tclobj(deep_dict)",
        "NestMap(deep_dict)",
        "scriptify(NestMap({'a': deep_dict}))",
    ],
)
def test_deep_values_stop_before_the_stack_runs_out(run_apart, operation):
    # A recursion limit far beyond what the machine stack holds: the conversions stop with
    # RecursionError on their own instead of overflowing the stack.
    out = run_apart(
        f"""
        import sys, threading
        from tessel.tcl.nestmap import NestMap
        from tessel.tcl.scriptify import scriptify, tclobj
        sys.setrecursionlimit(1_000_000)
        deep_list, deep_dict = [], {{"a": 1}}
        for _ in range(300_000):
            deep_list, deep_dict = [deep_list], {{"k": deep_dict}}

        def attempt():
            try:
                {operation}
                print("returned")
            except RecursionError:
                print("RecursionError")

        attempt()
        threading.stack_size(1 << 20)  # and on a thread with a small stack
        worker = threading.Thread(target=attempt)
        worker.start()
        worker.join()
        """,
        timeout=120,
    )
    assert out.split() == ["RecursionError", "RecursionError"]


def test_deep_keyed_list_text_under_a_raised_limit(run_apart):
    out = run_apart(
        """
        import sys
        from tessel.tcl.nestmap import NestMap
        sys.setrecursionlimit(100_000)
        text = "x"
        for _ in range(3000):
            text = "{k {" + text + "}}"
        m = NestMap.from_tcl(text)
        print(m["." .join(["k"] * 3000)])
        """
    )
    assert out.strip() == "x"


DROPPED_BY_A_HOOK = """
import gc
from tessel.tcl.interpreter import Interpreter
t = Interpreter()
t.tk.eval("set ::v 1")
view = t.vars

class Name:
    def __str__(self):  # drops the last reference to the interpreter mid-read
        global t
        del t
        gc.collect()
        return "v"

try:
    print(view[Name()])
except ReferenceError:
    print("ReferenceError")
"""


def test_a_hook_that_drops_the_interpreter_mid_read(run_apart):
    # the read either still reaches the interpreter or says it is gone; it never crashes
    assert run_apart(DROPPED_BY_A_HOOK).split() in (["1"], ["ReferenceError"])
