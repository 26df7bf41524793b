"""Threads: every operation that reaches an interpreter from a thread other than its own
raises a Python exception, never crashes or hangs; finalisers that run on a foreign thread
are harmless. Each scenario runs in its own process, so that a crash fails a test instead of
ending the test run."""

import json

import pytest


# Every operation is started on its own thread at once: the host waits about a second before
# refusing a foreign call, so waiting for them one by one would take a minute.
FOREIGN_CALLS = """
import json, threading
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import *
from tessel.tcl.dial import Dial_Code

t = Interpreter()
t.tk.eval("proc echo args {return $args}; namespace eval ::n {}; set ::v 1; array set ::a {k 1}")
ns = TclNamespace("::n", tcl=t)
var = TclVariable("::v", tcl=t)
arr = TclArrayVariable("::a", tcl=t)
cmd = TclCommand("echo", tcl=t)
code = Dial_Code("echo", tcl=t)
registered = t.create_callback(lambda *words: len(words), "::registered")

OPERATIONS = {
    "eval": lambda: t.eval("set ::v 2"),
    "eval error": lambda: t.eval("error boom"),
    "get_errorInfo": lambda: t.get_errorInfo(),
    "get_var": lambda: t.get_var("v"),
    "set_var": lambda: t.set_var("v", 2),
    "get_list": lambda: t.get_list("v"),
    "set_list": lambda: t.set_list("v", [2, 3]),
    "get_array": lambda: t.get_array("a"),
    "set_array": lambda: t.set_array("a", {"k": 2}),
    "get_keyed_list": lambda: t.get_keyed_list("v"),
    "set_keyed_list": lambda: t.set_keyed_list("v", {"k": 2}),
    "get_int": lambda: t.get_int("v"),
    "set_boolean": lambda: t.set_boolean("v", False),
    "cast_boolean": lambda: t.cast_boolean("yes"),
    "create_callback": lambda: t.create_callback(len, "::cb"),
    "remove_callback": lambda: t.remove_callback(registered),
    "dial": lambda: t.dial.echo("x"),
    "dial code": lambda: code("x"),
    "variable get": lambda: var.get(),
    "variable get_str": lambda: var.get_str(),
    "variable set": lambda: var.set(2),
    "variable unset": lambda: var.unset(),
    "variable exists": lambda: var.exists(),
    "variable absolute": lambda: TclVariable("v", tcl=t).absolute(),
    "array item": lambda: arr["k"],
    "array set item": lambda: arr.__setitem__("k", 2),
    "array len": lambda: len(arr),
    "array clear": lambda: arr.clear(),
    "command call": lambda: cmd("x"),
    "command eval": lambda: cmd.eval("x"),
    "command exists": lambda: cmd.exists(),
    "command rename": lambda: cmd.rename("echo2"),
    "command delete": lambda: cmd.delete(),
    "command createcommand": lambda: TclCommand("::c2", tcl=t).createcommand(len),
    "command proc_body": lambda: cmd.proc_body(),
    "namespace exists": lambda: ns.exists(),
    "namespace children": lambda: ns.children(),
    "namespace eval": lambda: ns.eval("set x 1"),
    "namespace delete": lambda: ns.delete(),
    "vars view read": lambda: t.vars["v"],
    "vars view write": lambda: t.vars.__setitem__("v", 2),
    "vars view iterate": lambda: list(t.vars),
    "objs view read": lambda: t.objs["v"],
    "cmds view write": lambda: ns.cmds.__setitem__("c", len),
    "procs view contains": lambda: "echo" in t.global_ns.procs,
    "temporary variable": lambda: TempTclVariable(tcl=t).__enter__().set(1),
    "temporary array": lambda: TempTclArrayVariable(tcl=t).__enter__().update(k=1),
    "temporary command": lambda: TempTclCommand(len, tcl=t).__enter__(),
    "temporary namespace": lambda: TempTclNamespace(tcl=t).__enter__(),
    "host call": lambda: t.tk.call("set", "::v", "2"),
}

outcomes = {}

def attempt(name, operation):
    try:
        operation()
        outcomes[name] = "returned"
    except BaseException as exc:
        outcomes[name] = type(exc).__name__

workers = [threading.Thread(target=attempt, args=item, daemon=True) for item in OPERATIONS.items()]
for w in workers:
    w.start()
for w in workers:
    w.join(timeout=30)
for name in OPERATIONS:
    outcomes.setdefault(name, "hung")

# the owner is untouched and still works
owner = [t.eval("set ::v"), t.eval("array get ::a"), cmd.eval("y"), str(registered("a", "b")),
         t.eval("namespace exists ::n"), t.eval("info commands ::cb")]
print(json.dumps({"outcomes": outcomes, "owner": owner}))
"""


@pytest.fixture(scope="module")
def foreign_outcomes(run_apart):
    return json.loads(run_apart(FOREIGN_CALLS, timeout=120))


FOREIGN_NAMES = [
    line.split('"')[1]
    for line in FOREIGN_CALLS.split("OPERATIONS = {")[1].split("}\n")[0].splitlines()
    if line.strip().startswith('"')
]


def test_foreign_calls_leave_the_owner_untouched(foreign_outcomes):
    assert foreign_outcomes["owner"] == ["1", "k 1", "y", "2", "1", ""]


@pytest.mark.parametrize("name", FOREIGN_NAMES)
def test_foreign_thread_gets_an_exception(foreign_outcomes, name):
    assert foreign_outcomes["outcomes"][name] == "RuntimeError"


def test_data_operations_work_on_any_thread(run_apart):
    out = run_apart(
        """
        import threading
        from tessel.tcl.interpreter import Interpreter
        from tessel.tcl.history import History
        from tessel.tcl.nestmap import NestMap
        from tessel.tcl.scriptify import scriptify, tclobj

        t = Interpreter()
        results = []

        def work():
            h = History(3)
            h.start_marker("m")
            h.append(["a b", "c"])
            m = NestMap.from_tcl("{a {{b 1}}} {c 2}")
            results.extend([
                scriptify(["a b", {"k": None}]), tclobj(["x", 1]), scriptify(m),
                t.cast_list("a {b c}"), t.cast_list("1 2", int), t.cast_array("k v"),
                t.cast_keyed_list("{a 1}")["a"], h.filter(marker="m")[0].api,
            ])
            try:
                t.cast_list("{a")
            except ValueError as exc:
                results.append(type(exc.__cause__).__name__)

        w = threading.Thread(target=work)
        w.start()
        w.join(timeout=30)
        print(repr(results))
        """
    )
    assert out.strip() == repr(
        [
            "{a b} {k {}}",
            ("x", 1),
            "{a {{b 1}}} {c 2}",
            ("a", "b c"),
            (1, 2),
            {"k": "v"},
            "1",
            "{a b} c",
            "TclError",
        ]
    )


def test_temporary_command_finalised_on_another_thread(run_apart):
    # The owner's command cannot be deleted from there: reported, never a crash; the owner
    # goes on working and still owns a command that works.
    out = run_apart(
        """
        import gc, sys, threading
        from tessel.tcl.interpreter import Interpreter
        from tessel.tcl.namespace import TempTclCommand

        reported = []
        sys.unraisablehook = lambda u: reported.append(type(u.exc_value).__name__)
        t = Interpreter()
        holder = [TempTclCommand(lambda *a: "ran", tcl=t)]
        name = holder[0].cmd_name
        w = threading.Thread(target=holder.clear)
        w.start()
        w.join(timeout=30)
        gc.collect()
        print(w.is_alive(), reported, t.tk.call(name) if t.tk.call("info", "commands", name) else "gone")
        """
    )
    assert out.split() in (["False", "['RuntimeError']", "ran"], ["False", "[]", "gone"])


def test_interpreter_with_callbacks_dropped_on_another_thread(run_apart):
    # The owner lets go of the host object when it next builds an interpreter; the
    # registered callbacks' commands go with it, so the callable is released too.
    out = run_apart(
        """
        import gc, threading, weakref
        from tessel.tcl.interpreter import Interpreter

        class Callable:
            def __call__(self, *args):
                return len(args)

        callback = Callable()
        ref = weakref.ref(callback)
        t = Interpreter()
        t.create_callback(callback, "::cb")
        assert t.eval("::cb a b") == "2"
        holder = [t]
        del t, callback
        w = threading.Thread(target=lambda: (holder.clear(), gc.collect()))
        w.start()
        w.join(timeout=30)
        gc.collect()
        print(ref() is not None, end=" ")
        fresh = Interpreter()
        gc.collect()
        print(ref() is not None, fresh.eval("expr {1+1}"))
        """
    )
    assert out.split() == ["True", "False", "2"]


def test_interpreter_of_an_ended_thread(run_apart):
    # Made on a thread that has ended: unusable from here, and dropping it here is harmless.
    out = run_apart(
        """
        import gc, threading
        from tessel.tcl.interpreter import Interpreter

        made = []
        w = threading.Thread(target=lambda: made.append(Interpreter()))
        w.start()
        w.join(timeout=30)
        t = made.pop()
        try:
            t.eval("set x 1")
        except RuntimeError:
            print("refused", end=" ")
        del t
        gc.collect()
        print(Interpreter().eval("expr {2+2}"))
        """
    )
    assert out.split() == ["refused", "4"]
