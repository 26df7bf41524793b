"""Python callables as Tcl commands: naming, registration over free and foreign names, removal
and restoring, isolation between interpreters; and the handles every interpreter carries."""

import pytest
from tkinter import TclError

from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclCommand, TclNamespace


def cb(*words):
    return "cb:" + ",".join(words)


def state(interp, name):
    """free, foreign or registered, with Tcl as the judge of existence."""
    qualified = "::" + name.lstrip(":")
    exists = interp.tk.eval(f"llength [info commands {qualified}]") == "1"
    if not exists:
        assert qualified not in interp.__callbacks__
        return "free"
    return "registered" if qualified in interp.__callbacks__ else "foreign"


def backup_exists(interp, name):
    return interp.tk.eval(f"llength [info commands ::glueKit::_cbBkup::{name}]") == "1"


# ---- names -------------------------------------------------------------------------------


class Holder:
    def method(self):
        return "m"

    def __call__(self):
        return "called"


@pytest.mark.parametrize(
    "callback, expected",
    [
        (cb, "cb"),
        (Holder().method, "method"),  # a bound method is named after its function
        (lambda: None, "<lambda>"),
        (len, "len"),
    ],
)
def test_generated_names(callback, expected):
    assert Interpreter.generate_callback_cmd_name(callback) == expected
    assert Interpreter.generate_callback_cmd_name(callback, mangle_cmd_name=True) == (
        f"{id(callback)}_{expected}"
    )


def test_nameless_callables_get_their_identity():
    holder = Holder()
    assert Interpreter.generate_callback_cmd_name(holder) == f"{id(holder)}_"


def test_name_lookup_errors_other_than_missing_propagate():
    class Odd:
        def __call__(self):
            pass

        @property
        def __name__(self):
            raise KeyError("broken name")

    with pytest.raises(KeyError):
        Interpreter.generate_callback_cmd_name(Odd())


# ---- the state machine -------------------------------------------------------------------


def test_free_to_registered_to_free(interp):
    assert state(interp, "cb") == "free"
    handle = interp.create_callback(cb)
    assert isinstance(handle, TclCommand) and str(handle) == "::cb"
    assert state(interp, "cb") == "registered"
    assert interp.__callbacks__ == {"::cb": cb}
    assert interp.tk.eval("cb a b") == "cb:a,b"
    assert handle("x") == "cb:x"
    interp.remove_callback(handle)
    assert state(interp, "cb") == "free"
    assert interp.__callbacks__ == {}


@pytest.mark.parametrize("how", ["handle", "callable", "name", "qualified name"])
def test_remove_accepts_every_form(interp, how):
    handle = interp.create_callback(cb)
    key = {"handle": handle, "callable": cb, "name": "cb", "qualified name": "::cb"}[how]
    interp.remove_callback(key)
    assert state(interp, "cb") == "free"


def test_explicit_names(interp):
    interp.tk.eval("namespace eval ::space {}")
    handle = interp.create_callback(cb, cmd_name="space::hook")
    assert str(handle) == "::space::hook"
    assert interp.tk.eval("::space::hook 1") == "cb:1"
    interp.remove_callback("::space::hook")
    assert interp.tk.eval("info commands ::space::hook") == ""


def test_nameless_callable_round_trip(interp):
    holder = Holder()
    handle = interp.create_callback(holder)
    assert str(handle) == f"::{id(holder)}_"
    assert interp.tk.eval(f"{id(holder)}_") == "called"
    interp.remove_callback(holder)
    assert interp.__callbacks__ == {}


def test_foreign_needs_force(interp):
    interp.tk.eval("proc cb {args} {return original}")
    assert state(interp, "cb") == "foreign"
    with pytest.raises(ValueError) as info:
        interp.create_callback(cb)
    assert str(info.value) == "Cannot create command '::cb': command already exists"
    assert state(interp, "cb") == "foreign" and interp.tk.eval("cb") == "original"


def test_foreign_to_registered_and_back(interp):
    interp.tk.eval("proc cb {args} {return original}")
    interp.create_callback(cb, force=True)
    assert state(interp, "cb") == "registered"
    assert interp.tk.eval("cb 1") == "cb:1"
    assert interp.tk.eval("::glueKit::_cbBkup::cb") == "original"
    interp.remove_callback(cb)
    assert state(interp, "cb") == "foreign"
    assert interp.tk.eval("cb") == "original"
    assert not backup_exists(interp, "cb")


def test_second_forced_registration_fails_in_tcl(interp):
    interp.tk.eval("proc cb {args} {return original}")
    interp.create_callback(cb, force=True)
    with pytest.raises(TclError):
        interp.create_callback(lambda: "other", cmd_name="cb", force=True)
    assert interp.tk.eval("cb") == "cb:"  # the first registration stays
    assert interp.__callbacks__ == {"::cb": cb}


def test_forced_registration_in_a_child_namespace(interp):
    # Tcl's rename makes the backup's namespace ::glueKit::_cbBkup::deep on the way
    interp.tk.eval("namespace eval ::deep {proc cmd {} {return deep}}")
    interp.create_callback(cb, cmd_name="::deep::cmd", force=True)
    assert interp.tk.eval("::glueKit::_cbBkup::deep::cmd") == "deep"
    assert interp.tk.eval("::deep::cmd x") == "cb:x"
    interp.remove_callback("deep::cmd")
    assert interp.tk.eval("::deep::cmd") == "deep"


@pytest.mark.parametrize("force", [False, True])
def test_refused_callable_leaves_the_name_as_it_was(interp, force):
    interp.tk.eval("proc cb {args} {return original}")
    with pytest.raises(TypeError):
        interp.create_callback(42, cmd_name="cb" if force else "fresh", force=force)
    assert interp.tk.eval("cb") == "original"  # a forced registration put it back
    assert not backup_exists(interp, "cb")
    assert state(interp, "fresh") == "free" and interp.__callbacks__ == {}


@pytest.mark.parametrize("name", ["set", "never_made"])
def test_removing_unregistered_names_is_refused(interp, name):
    before = interp.tk.eval("info commands ::set")
    with pytest.raises(ValueError) as info:
        interp.remove_callback(name)
    assert str(info.value) == f"No callback in this interpreter named '::{name}'"
    assert interp.tk.eval("info commands ::set") == before


def test_a_later_registration_replaces_the_entry(interp):
    interp.create_callback(cb)
    interp.remove_callback(cb)
    other = lambda *a: "other"  # noqa: E731
    interp.create_callback(other, cmd_name="cb")
    assert interp.__callbacks__ == {"::cb": other}
    assert interp.tk.eval("cb") == "other"


# ---- callbacks at work -------------------------------------------------------------------


def test_callback_that_raises_fails_the_tcl_command(interp):
    def broken(*words):
        raise RuntimeError("python side broke")

    interp.create_callback(broken)
    with pytest.raises(TclError) as info:
        interp.eval("broken 1")
    assert '"broken 1"' in str(info.value)
    assert interp.eval("catch {broken 2}") == "1"  # Tcl can catch it


def test_nested_callbacks(interp):
    def outer(word):
        return "outer(" + interp.eval("inner " + word) + ")"

    def inner(word):
        return "inner:" + word

    interp.create_callback(outer)
    interp.create_callback(inner)
    assert interp.eval("outer 5") == "outer(inner:5)"
    assert [e.api for e in interp.history.__history__] == ["outer 5", "inner 5"]


def test_interpreters_are_isolated():
    first, second = Interpreter(), Interpreter()
    handle = first.create_callback(cb)
    first.set_var("shared_name", "first")
    assert second.tk.eval("info commands cb") == ""
    assert second.tk.eval("info exists ::shared_name") == "0"
    assert second.__callbacks__ == {}
    second.create_callback(lambda *a: "second", cmd_name="cb")
    with pytest.raises(ValueError):
        second.remove_callback(handle)  # first's handle, though the name is registered here
    assert first.tk.eval("cb") == "cb:" and second.tk.eval("cb") == "second"
    first.remove_callback(handle)
    assert second.tk.eval("cb") == "second"


# ---- handles -----------------------------------------------------------------------------


def test_handles_are_bound_to_their_interpreter(interp):
    assert isinstance(interp.global_ns, TclNamespace) and isinstance(interp.local_ns, TclNamespace)
    assert interp.vars is interp.local_ns.vars
    assert interp.objs is interp.local_ns.objs
    assert interp.dial is interp.Dial
    interp.vars["x"] = 1
    assert interp.global_ns.vars["x"] == "1"
    assert interp.tk.eval("set ::x") == "1"


def test_dial_reaches_tcl(interp):
    interp.tk.eval("namespace eval ::a {proc add {x y} {expr {$x + $y}}}")
    assert interp.dial.a.add(2, 3) == 5
    assert [e.api for e in interp.history.__history__] == ["a::add 2 3"]


def test_interpreter_is_not_kept_alive_by_its_handles():
    import gc
    import weakref

    interp = Interpreter()
    interp.create_callback(cb)
    dial, ns = interp.dial, interp.global_ns
    ref = weakref.ref(interp)
    del interp
    gc.collect()
    assert ref() is None
    with pytest.raises(ReferenceError):
        dial.set("x", 1)
    with pytest.raises(ReferenceError):
        ns.vars["x"]
