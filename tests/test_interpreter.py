"""Interpreter construction, start-up hooks, host delegation, the global interpreter and the
package mirror, threads and lifetime."""

import gc
import logging
import threading
import types
import weakref

import pytest
from tkinter import TclError

import tessel.tcl
from tessel.tcl import interpreter as module
from tessel.tcl.interpreter import Interpreter


def entry_point(name, obj, module_name="hooks.mod"):
    return types.SimpleNamespace(name=name, module_name=module_name, load=lambda: obj)


@pytest.fixture
def hooks(monkeypatch):
    """Replaces the entry-point lookup; the test fills the list it returns."""
    found = []
    calls = []

    def fake_iter_entry_points(**kwargs):
        calls.append(kwargs)
        return list(found)

    monkeypatch.setattr(module, "iter_entry_points", fake_iter_entry_points)
    return found, calls


def has_namespace(interp, name):
    return interp.tk.eval(f"namespace exists {name}") == "1"


# ---- construction -------------------------------------------------------------------------


def test_construction_without_hooks(hooks):
    found, calls = hooks
    interp = Interpreter()
    assert calls == [{"group": "tessel.tcl"}]
    assert len(interp.history.__history__) == 0
    assert not has_namespace(interp, "::glueKit")  # only the framework's hook makes it
    assert interp.tk.eval("package present Tclx")
    assert interp.__callbacks__ == {}


def test_later_interpreters_load_tclx_as_the_first_did():
    first, later = Interpreter(), Interpreter()
    for query in ["package present Tclx", "package ifneeded Tclx [package present Tclx]",
                  "set auto_path", "package require opt"]:  # another index is still searched
        assert later.eval(query) == first.eval(query)


def test_construction_sets_shell_globals(interp):
    assert interp.tk.eval("list $::argc $::tcl_interactive $::argv0 [llength $::argv]") == (
        "0 0 {} 0"
    )
    assert len(interp.history.__history__) == 0  # nothing of the set-up is recorded


def test_construction_attributes(interp):
    assert interp.dial is interp.Dial
    assert interp.__MAX_HISTORY__ == 9999
    assert isinstance(interp.__callbacks__, dict)
    assert Interpreter.__mro__[1] is module.Tk
    assert Interpreter.set_int is Interpreter.set_var is Interpreter.set_double


def test_installed_hook_loads_gluekit(interp):
    assert has_namespace(interp, "::glueKit::_cbBkup")


def test_real_entry_points_have_the_adapter_fields():
    points = list(module.iter_entry_points(group="tessel.tcl"))
    assert [(p.name, p.module_name) for p in points] == [
        ("tcl_init", "tessel.tcl.host.startup")
    ]
    from tessel.tcl.host.startup import tcl_init

    assert points[0].load() is tcl_init
    assert list(module.iter_entry_points(group="tessel.tcl", name="other")) == []


@pytest.mark.parametrize("name", ["tcl_init", "init", "tcl", "cl_i", ""])
def test_hook_names_inside_tcl_init_are_run(hooks, name):
    found, _ = hooks
    seen = []

    def hook(interp):
        seen.append(interp)
        interp.marker_from_hook = name

    found.append(entry_point(name, hook))
    interp = Interpreter()
    assert seen == [interp]
    assert interp.marker_from_hook == name


@pytest.mark.parametrize("name", ["setup", "tcl_init2", "TCL_INIT", "init "])
def test_unknown_hook_name_is_refused(hooks, name):
    found, _ = hooks
    found.append(entry_point(name, lambda interp: None, module_name="pkg.boot"))
    with pytest.raises(ValueError) as info:
        Interpreter()
    assert str(info.value) == f"Unknown Tcl entrypoint: {name} from pkg.boot"


@pytest.mark.parametrize("obj, text", [(42, "42"), ("abc", "'abc'"), (None, "None")])
def test_hook_must_be_callable(hooks, obj, text):
    found, _ = hooks
    found.append(entry_point("init", obj))
    with pytest.raises(TypeError) as info:
        Interpreter()
    assert str(info.value) == f"Tcl-Init must be callable, got: {text}"


def test_first_failing_hook_stops_the_rest(hooks):
    found, _ = hooks
    ran = []
    found.append(entry_point("init", lambda interp: ran.append(1)))
    found.append(entry_point("bad", lambda interp: ran.append(2)))
    found.append(entry_point("init", lambda interp: ran.append(3)))
    with pytest.raises(ValueError):
        Interpreter()
    assert ran == [1]


def test_hook_errors_and_load_errors_propagate(hooks):
    found, _ = hooks

    def failing_load():
        raise ImportError("no such hook module")

    found.append(types.SimpleNamespace(name="init", module_name="m", load=failing_load))
    with pytest.raises(ImportError, match="no such hook module"):
        Interpreter()
    found[:] = [entry_point("init", lambda interp: interp.tk.eval("error {hook broke}"))]
    with pytest.raises(TclError, match="hook broke"):
        Interpreter()


def test_hook_loading_is_logged(hooks, caplog):
    found, _ = hooks
    found.append(entry_point("init", lambda interp: None, module_name="pkg.start"))
    with caplog.at_level(logging.DEBUG, logger="tessel.tcl.interpreter"):
        Interpreter()
    assert [r.getMessage() for r in caplog.records if r.name == "tessel.tcl.interpreter"] == [
        "Loading Tcl-Init from pkg.start"
    ]


def test_allowed_keys_are_read_when_hooks_load(hooks, monkeypatch):
    found, _ = hooks
    monkeypatch.setattr(module, "TCL_ALLOWED_ENTRYPOINT_KEYS", "setup_hooks")
    ran = []
    found.append(entry_point("setup", ran.append))
    interp = Interpreter()  # "setup" is part of the replaced key text
    assert ran == [interp]


# ---- attribute delegation -----------------------------------------------------------------


@pytest.mark.parametrize("name", ["call", "splitlist", "createcommand", "interpaddr"])
def test_host_operations_read_through(interp, name):
    assert getattr(interp, name) == getattr(interp.tk, name)


@pytest.mark.parametrize("name", ["no_such_thing", "__deepcopy__", "_private"])
def test_missing_attribute_names_it(interp, name):
    with pytest.raises(AttributeError) as info:
        getattr(interp, name)
    assert str(info.value) == f"'Interpreter' object has no attribute '{name}'"


def test_half_built_interpreter_does_not_recurse():
    bare = Interpreter.__new__(Interpreter)
    with pytest.raises(AttributeError, match="'Interpreter' object has no attribute 'tk'"):
        bare.tk


# ---- the global interpreter and the package -----------------------------------------------


def test_global_interpreter_public_names():
    names = module._global_interpreter.__all__
    assert names[:4] == ["generate_callback_cmd_name", "create_callback", "remove_callback", "eval"]
    assert names.index("interrupt") + 1 == names.index("master")  # class names, then instance's
    for name in ["set_int", "set_double", "tk", "history", "Dial", "dial"]:
        assert name in names
    for name in ["__init__", "_load_entrypoint", "__getattr__", "__MAX_HISTORY__", "__callbacks__",
                 "destroy"]:  # the package's own interpreter is not destroyed from the package
        assert name not in names
    tail = [n for n in names if n in ("history", "Dial", "dial", "global_ns", "local_ns", "vars", "objs")]
    assert tail == ["history", "Dial", "dial", "global_ns", "local_ns", "vars", "objs"]


def test_package_mirrors_the_global_interpreter():
    g = module._global_interpreter
    for name in g.__all__:
        mirrored, own = getattr(tessel.tcl, name), getattr(g, name)
        if getattr(own, "__self__", None) is g:  # a bound method: a fresh object each read
            assert mirrored.__self__ is g, name
            assert getattr(mirrored, "__func__", mirrored) == getattr(own, "__func__", own), name
        else:
            assert mirrored is own, name
    assert tessel.tcl.tk is g.tk
    assert tessel.tcl.eval("set mirrored 7", typecast=True) == 7
    assert g.tk.getvar("mirrored") == "7"
    assert tessel.tcl.cast_list("a {b c}") == ("a", "b c")


def test_handles_without_interpreter_use_the_package():
    from tessel.tcl.namespace import TclCommand, TclVariable

    TclVariable("pkg_default").set(5)
    assert module._global_interpreter.get_int("pkg_default") == 5
    assert TclCommand("set")("pkg_other", 3) == 3  # the host hands back the integer object
    assert tessel.tcl.vars["pkg_other"] == "3"


def test_package_offers_the_conversions():
    from tessel.tcl.scriptify import scriptify, tclobj

    assert tessel.tcl.scriptify is scriptify and tessel.tcl.tclobj is tclobj
    assert tessel.tcl.scriptify(["a b", "c"]) == "{a b} c"


# ---- threads and lifetime -----------------------------------------------------------------


def run_in_thread(func):
    outcome = {}

    def target():
        try:
            outcome["result"] = func()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            outcome["error"] = exc

    gc.collect()  # garbage of this thread's Tcl interpreters must not meet the worker
    worker = threading.Thread(target=target, daemon=True)
    worker.start()
    worker.join(timeout=20)
    assert not worker.is_alive(), "call from another thread hung"
    return outcome


@pytest.mark.parametrize(
    "operation",
    [
        lambda i: i.eval("set x 1"),
        lambda i: i.cast_boolean("yes"),
        lambda i: i.tk.call("set", "x", "1"),
    ],
)
def test_foreign_thread_gets_an_exception(interp, operation):
    outcome = run_in_thread(lambda: operation(interp))
    assert isinstance(outcome.get("error"), RuntimeError)
    assert interp.eval("set x 2") == "2"  # the owner still works


def test_interpreter_made_in_a_thread_works_there():
    outcome = run_in_thread(lambda: Interpreter().eval("expr {6*7}", typecast=True))
    assert outcome == {"result": 42}


def test_values_outlive_their_interpreter():
    interp = Interpreter()
    try:
        interp.eval("error gone")
    except TclError as exc:
        error = exc
    interp.tk.call("keylset", "k", "a", "1")
    obj = interp.tk.call("set", "k")
    assert obj.typename == "keyedList"
    ref = weakref.ref(interp)
    del interp
    gc.collect()
    assert ref() is None
    assert str(error).startswith("gone")
    assert str(obj) == "{a 1}"
    del obj
    gc.collect()


def test_interpreter_collected_on_a_foreign_thread_does_not_abort(python_apart):
    # Tcl aborts the process when an interpreter is deleted by another thread: run apart
    code = (
        "import gc, threading\n"
        "from tessel.tcl.interpreter import Interpreter\n"
        "interp = Interpreter()\n"
        "cycle = [interp]; cycle.append(cycle)\n"
        "del interp, cycle\n"
        "worker = threading.Thread(target=gc.collect); worker.start(); worker.join()\n"
        "assert Interpreter().eval('expr {1+1}') == '2'\n"  # the owner lets go of it here
        "print('alive')\n"
    )
    done = python_apart(code)
    assert (done.returncode, done.stdout) == (0, "alive\n"), done.stderr


# ---- missing system parts ------------------------------------------------------------------

@pytest.mark.parametrize(
    "setup, expected",
    [
        ("import sys; sys.modules['tkinter'] = None", "apt-get install python3-tk"),
        (  # a Tcl that finds no packages: TclX cannot load
            "import tkinter\n"
            "tkinter.Tk.readprofile = lambda self, *a: self.tk.eval('package unknown {}')",
            "apt-get install tclx8.4",
        ),
    ],
)
def test_import_explains_what_to_install(python_apart, setup, expected):
    code = f"{setup}\ntry:\n    import tessel.tcl\nexcept ImportError as exc:\n    print(exc)\n"
    done = python_apart(code)
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout and len(done.stdout.strip().splitlines()) == 1


# ---- destroying ------------------------------------------------------------------------------


@pytest.mark.parametrize("use", [
    lambda t: t.eval("set x 1"), lambda t: t.dial.set("x", 1), lambda t: t.vars["x"],
    lambda t: t.call("set", "x"), lambda t: t.get_var("x"), lambda t: t.cast_boolean("1"),
    lambda t: t.global_ns.eval("set x"), lambda t: t.create_callback(print),
])
def test_a_destroyed_interpreter_says_so_on_every_use(use):
    def callback():
        return "py"

    with Interpreter() as tcl:
        tcl.eval("proc shadowed {} {return tcl}")
        tcl.create_callback(callback, cmd_name="shadowed", force=True)
        tcl.create_callback(callback, cmd_name="mine")
        host = tcl.tk
    assert host.call("shadowed") == "tcl" and not host.call("info", "commands", "mine")
    with pytest.raises(RuntimeError, match="Interpreter has been destroyed"):
        use(tcl)
    tcl.destroy()  # a second time does nothing
    referent = weakref.ref(callback)
    del callback, host
    gc.collect()
    assert referent() is None  # the Tcl commands let go of the Python callable


def test_only_the_owner_thread_destroys():
    tcl = Interpreter()
    failures = []
    worker = threading.Thread(target=lambda: failures.append(pytest.raises(RuntimeError,
                                                                           tcl.destroy)))
    worker.start()
    worker.join()
    assert failures and tcl.eval("set x 1") == "1"
