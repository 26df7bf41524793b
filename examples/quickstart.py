"""A short tour of tessel.tcl: copy what you need.

Run it with `make demo` (or `.venv/bin/python examples/quickstart.py`).
"""

from tkinter import TclError

from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclCommand, TclNamespace, TclVariable, TempTclNamespace
from tessel.tcl.nestmap import NestMap
from tessel.tcl.scriptify import scriptify, tclobj

tcl = Interpreter()


def show(title, value):
    print(f"{title:<44} {value!r}")


print("== evaluating scripts")
show('eval("expr {6 * 7}")', tcl.eval("expr {6 * 7}"))
show('eval("expr {6 * 7}", typecast=True)', tcl.eval("expr {6 * 7}", typecast=True))
try:
    tcl.eval("proc fail {} { error boom }; fail")
except TclError as exc:
    print("a Tcl error carries the whole trace:")
    print("   " + str(exc).replace("\n", "\n   "))

print("\n== quoting Python values as Tcl sees them")
show('scriptify(["a b", "{", 1, [2, 3]])', scriptify(["a b", "{", 1, [2, 3]]))
show('scriptify({"key": "some value"})', scriptify({"key": "some value"}))
show("tclobj([1, [2, None]])", tclobj([1, [2, None]]))

print("\n== TclX keyed lists as NestMap")
tcl.eval("keylset person name.first Ada name.last Lovelace born 1815")
person = tcl.get_keyed_list("person")
show('person["name.first"]', person["name.first"])
show("person.all_keys()", person.all_keys())
person["name.title"] = "Countess"
tcl.set_keyed_list("person", person)
show("keylget person name.title", tcl.eval("keylget person name.title"))
show("scriptify(NestMap(a=1, b=NestMap(c=2)))", scriptify(NestMap(a=1, b=NestMap(c=2))))

print("\n== variables and arrays")
tcl.set_var("count", 3)
show('get_int("count")', tcl.get_int("count"))
tcl.vars["greeting"] = "hello world"
show('vars["greeting"]', tcl.vars["greeting"])
colors = tcl.global_ns.vars.array_byref("colors")
colors.update(red="#f00", green="#0f0")
show("dict(colors)", dict(colors))
show("TclVariable('count', tcl=tcl).exists()", TclVariable("count", tcl=tcl).exists())

print("\n== namespaces")
demo = TclNamespace("::demo", tcl=tcl)
demo.eval("proc greet {who args} { return \"hello $who $args\" }")
show('demo.exists()', demo.exists())
show('"greet" in demo.procs', "greet" in demo.procs)
show('demo.procs.proc_args("greet")', demo.procs.proc_args("greet"))
with TempTclNamespace(tcl=tcl) as scratch:
    scratch.vars["x"] = 1
    show("a temporary namespace inside its block", scratch.exists())
show("... and after it", scratch.exists())

print("\n== Python callbacks called from Tcl")


def add(a, b):
    return int(a) + int(b)


tcl.create_callback(add)
show('eval("add 2 3")', tcl.eval("add 2 3"))
tcl.remove_callback(add)

print("\n== Tcl procedures as Python callables")
tcl.eval("proc ::demo::report {value args} { return [list $value $args] }")
show('dial.demo.report("a b", level=2)', tcl.dial.demo.report("a b", level=2))
length = TclCommand("string length", tcl=tcl)
show('TclCommand("string length")("abc")', length("abc"))

print("\n== the history, with a marker for one phase")
tcl.history.start_marker("phase 2")
tcl.eval("set phase 2")
tcl.dial.incr("count")
tcl.history.end_marker("phase 2")
for entry in tcl.history.filter(marker="phase 2"):
    print("  ", entry)
print("last three calls overall:")
for entry in tcl.history.filter(count=3):
    print("  ", entry)
