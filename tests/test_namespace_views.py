"""The four views of a namespace: what Tcl says exists is in the view, what the view deletes
is gone from Tcl, names are qualified against the viewed namespace, and Tcl's failures turn
into the mapping errors Python code expects."""

import abc
import tkinter
from collections.abc import MutableMapping

import pytest

from tessel.tcl import namespace as N
from tessel.tcl.array import Array
from tessel.tcl.interpreter import Interpreter

NS = N.TclNamespace
TclError = tkinter.TclError


@pytest.fixture
def tcl(interp):
    return interp


@pytest.fixture
def foo(tcl):
    ns = NS("::foo", tcl=tcl)
    ns.create()
    return ns


def tcl_listing(tk, ns, what):
    return [str(n) for n in tk.splitlist(tk.eval("namespace eval %s {info %s}" % (ns, what)))]


# --- the classes ---------------------------------------------------------------------------

@pytest.mark.parametrize("name, base", [
    ("VariablesView", MutableMapping),
    ("ObjectsView", NS.VariablesView),
    ("CommandsView", MutableMapping),
    ("ProcsView", NS.CommandsView),
])
def test_view_classes(name, base):
    cls = getattr(NS, name)
    assert cls.__qualname__ == "TclNamespace." + name
    assert cls.__name__ == name
    assert cls.__module__ == "tessel.tcl.namespace"
    assert type(cls) is abc.ABCMeta
    assert cls.__bases__ == (base,)
    assert not cls.__abstractmethods__


@pytest.mark.parametrize("name", ["VariablesView", "ObjectsView", "CommandsView", "ProcsView"])
def test_views_want_a_namespace(name):
    with pytest.raises(AssertionError):
        getattr(NS, name)("::foo")


def test_module_exports():
    assert N.__all__ == ["TclVariable", "TempTclVariable", "TclArrayVariable",
                         "TempTclArrayVariable", "TclCommand", "TempTclCommand",
                         "TclNamespace", "TempTclNamespace"]


# --- variables ------------------------------------------------------------------------------

def test_scalar_round_trip(tcl, foo):
    foo.vars["x"] = 5
    assert str(tcl.tk.getvar("::foo::x")) == "5"
    assert foo.vars["x"] == "5"
    assert foo.objs["x"] == tcl.tk.getvar("::foo::x")
    assert "x" in foo.vars and "x" in foo.objs
    del foo.vars["x"]
    assert not tcl.tk.call("info", "exists", "::foo::x")
    assert "x" not in foo.vars
    with pytest.raises(KeyError) as info:
        del foo.vars["x"]
    assert isinstance(info.value.args[0], TclError)
    assert info.value.__cause__ is info.value.args[0]


def test_values_keep_their_text(tcl, foo):
    for value in ["a b", "{", "$x", "é𝄞", "", "\\"]:
        foo.vars["v"] = value
        assert foo.vars["v"] == value
        assert tcl.tk.eval("set ::foo::v") == value
    foo.vars["v"] = ["a b", "c"]
    assert foo.vars["v"] == "{a b} c"


def test_missing_variables(foo):
    with pytest.raises(KeyError) as info:
        foo.vars["missing"]
    assert isinstance(info.value.args[0], TclError)
    assert info.value.__cause__ is info.value.args[0]
    with pytest.raises(TclError):
        foo.vars.get("missing")
    with pytest.raises(KeyError):
        foo.objs["missing"]
    assert foo.vars.pop("missing", 7) == 7


def test_names_the_algebra_rejects(foo):
    with pytest.raises(KeyError) as info:
        foo.vars["a:b"]
    assert isinstance(info.value.args[0], ValueError)
    assert info.value.__cause__ is info.value.args[0]
    for action in (lambda: foo.vars.get("a:b"), lambda: foo.vars.__delitem__("a:b"),
                   lambda: "a:b" in foo.vars, lambda: foo.vars.__setitem__("a:b", 1)):
        with pytest.raises(ValueError, match="Invalid Tcl namespace '::foo::a:b'"):
            action()


@pytest.mark.parametrize("name, qualified", [
    ("x", "::foo::x"),
    ("a::b", "::foo::a::b"),
    ("::y", "::y"),
    ("a b", "::foo::a b"),
])
def test_names_are_qualified_against_the_namespace(foo, name, qualified):
    assert foo.vars.byref(name).var_name == qualified
    assert foo.cmds.byref(name, []).cmd_name == qualified


def test_global_and_current_namespace(tcl):
    tcl.tk.setvar("::g", "global")
    assert NS("::foo", tcl=tcl).vars["::g"] == "global"
    assert NS("::", tcl=tcl).vars["g"] == "global"
    local = NS(None, tcl=tcl)
    local.vars["h"] = 1
    assert str(tcl.tk.getvar("::h")) == "1"
    assert list(local.vars) == [str(n) for n in tcl.tk.splitlist(tcl.tk.call("::info", "vars"))]


def test_arrays(tcl, foo):
    foo.vars.array_set("arr", {"k": 1, "l": "a b"})
    with pytest.raises(KeyError):
        foo.vars["arr"]                      # Tcl cannot read an array as one value
    assert dict(foo.vars.array_get("arr")) == {"k": "1", "l": "a b"}
    assert dict(foo.objs.array_get("arr")) == dict(Array.from_tcl(tcl.tk.call("array", "get", "::foo::arr")))
    assert dict(foo.vars.array_get("arr", "k*")) == {"k": "1"}
    assert sorted(foo.vars.array_names("arr")) == ["k", "l"]
    assert foo.vars.is_array("arr") and not foo.vars.is_array("missing")
    foo.vars.set("arr", 2, array_index="m")
    assert foo.vars.exists("arr", array_index="m")
    assert tcl.tk.eval("set ::foo::arr(m)") == "2"
    assert foo.objs.get("arr", array_index="m") == tcl.tk.getvar("::foo::arr", "m")
    foo.vars.unset("arr", array_index="m")
    assert not foo.vars.exists("arr", array_index="m")
    foo.vars.unset("arr", array_index="m", nocomplain=True)
    with pytest.raises(TclError):
        foo.vars.unset("arr", array_index="m")
    foo.vars.array_unset("arr", "k")
    assert list(foo.vars.array_names("arr")) == ["l"]
    foo.vars.array_unset("arr")
    assert not foo.vars.exists("arr")


def test_handles_from_the_view(foo):
    element = foo.vars.byref("x", array_index="k")
    assert type(element) is N.TclVariable and element.var_name == "::foo::x(k)"
    array = foo.vars.array_byref("arr", cast=int)
    assert type(array) is N.TclArrayVariable
    assert (array.var_name, array.cast) == ("::foo::arr", int)
    same = foo.vars.byref("x", var_type=N.TclArrayVariable)
    assert type(same) is type(foo.vars.array_byref("x"))
    assert same.var_name == foo.vars.array_byref("x").var_name
    assert array.tcl is foo.tcl
    with pytest.raises(TypeError, match="multiple values for keyword argument 'tcl'"):
        foo.vars.byref("x", tcl=foo.tcl)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'var_type'"):
        foo.vars.array_byref("x", var_type=N.TclVariable)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'tcl'"):
        foo.cmds.byref("x", tcl=foo.tcl)


def test_listing_is_what_tcl_lists(tcl, foo):
    foo.eval("variable a 1; variable {b c} 2; variable d")
    expected = tcl_listing(tcl.tk, "::foo", "vars")
    assert list(foo.vars) == expected
    assert list(foo.objs) == expected
    assert len(foo.vars) == len(expected)
    assert "a" in expected and "b c" in expected


def test_iteration_runs_when_first_advanced(tcl, foo):
    names = iter(foo.vars)
    foo.vars["late"] = 1
    assert "late" in list(names)


def test_mapping_methods(tcl, foo):
    foo.vars.update({"p": 1, "q": "two"})
    assert foo.vars.pop("p") == "1"
    assert "p" not in foo.vars
    assert foo.vars.setdefault("q", "other") == "two"
    assert foo.vars.setdefault("r", "3") == "3"
    assert tcl.tk.eval("set ::foo::r") == "3"


def test_clear_stops_at_the_first_name_it_cannot_remove(tcl):
    ns = NS("::", tcl=tcl)
    ns.vars.clear()                          # global arrays cannot be read as text
    assert tcl.tk.call("info", "exists", "::tcl_platform")


# --- commands -------------------------------------------------------------------------------

def test_registered_callable(tcl, foo):
    seen = []
    foo.cmds["h"] = lambda *args: seen.append(args) or "done"
    assert tcl.tk.call("::foo::h", "a b") == "done"
    assert seen == [("a b",)]
    assert "h" in foo.cmds
    assert "h" not in foo.procs
    foo.cmds["h"]("x")
    assert seen[-1] == ("x",)
    del foo.cmds["h"]
    assert not tcl.tk.call("info", "commands", "::foo::h")
    with pytest.raises(KeyError) as info:
        del foo.cmds["h"]
    assert isinstance(info.value.args[0], TclError)
    assert info.value.__cause__ is info.value.args[0]
    with pytest.raises(TclError):
        foo.cmds.delete("h")


def test_procedures(tcl, foo):
    foo.eval("proc p {a {b 5} args} {return body}")
    assert "p" in foo.procs and "p" in foo.cmds
    assert tuple(foo.procs.proc_args("p")) == ("a", "b", "args")
    assert foo.cmds.proc_body("p") == "return body"
    assert str(foo.cmds.proc_arg_default("p", "b")) == "5"
    assert foo.cmds.proc_arg_default("p", "a") is None
    assert foo.procs.exists("p") and foo.cmds.exists("p")
    assert list(foo.procs) == tcl_listing(tcl.tk, "::foo", "procs") == ["p"]


def test_item_reads_never_fail(foo):
    handle = foo.cmds["nothing"]
    assert handle.cmd_name == "::foo::nothing"
    with pytest.raises(TclError):
        handle()
    assert foo.cmds.get("nothing", 0).cmd_name == "::foo::nothing"
    assert foo.cmds["::set"].cmd_name == "::set"
    assert foo.cmds["set"].cmd_name == "::foo::set"
    assert "set" not in foo.cmds
    assert foo.cmds["my cmd"].cmd_name == "::foo::my"
    assert tuple(foo.cmds["my cmd"].args) == ("cmd",)


def test_rename_qualifies_both_names(tcl, foo):
    foo.eval("proc p {} {return p}")
    foo.cmds.rename("p", "r")
    assert tcl.tk.call("::foo::r") == "p"
    assert "p" not in foo.cmds
    foo.cmds.rename("r", "::moved")
    assert tcl.tk.call("::moved") == "p"
    assert "r" not in foo.procs


def test_bound_arguments(foo):
    assert tuple(foo.cmds.byref("p", ["a"]).args) == ("a",)
    assert foo.cmds.byref("p", keywords={"k": 1}).build_tclcmd()[-2:] == ("-k", 1)


def test_command_listing_is_what_tcl_lists(tcl, foo):
    foo.eval("proc q {} {}")
    foo.cmds["c"] = print
    listed = list(foo.cmds)
    assert listed == tcl_listing(tcl.tk, "::foo", "commands")
    assert "set" in listed and "q" in listed and "c" in listed
    assert len(foo.cmds) == len(listed)
    assert len(foo.procs) == 1


def test_origin_through_the_view(tcl, foo):
    NS("::lib", tcl=tcl).eval("namespace export f; proc f {} {}")
    foo.import_(False, "::lib::f")
    assert foo.cmds.origin("f") == "::lib::f"


def test_command_names_the_algebra_rejects(foo):
    for action in (lambda: foo.cmds["a:b"], lambda: "a:b" in foo.cmds,
                   lambda: foo.cmds.__delitem__("a:b")):
        with pytest.raises(ValueError):
            action()


def test_current_namespace_view_lists_at_the_current_level(tcl):
    local = NS("", tcl=tcl)
    assert list(local.cmds) == [str(n) for n in tcl.tk.splitlist(tcl.tk.call("::info", "commands"))]
    local.cmds["top"] = print
    assert tcl.tk.call("info", "commands", "::top")


# --- item access takes a short way to the host; replacing any step must still count ----------

@pytest.mark.parametrize("name, qualified", [
    ("x", "::foo::x"),
    ("under_score.dot-dash9", "::foo::under_score.dot-dash9"),
    ("a b", "::foo::a b"),
    ("é", "::foo::é"),
    ("𝄞", "::foo::𝄞"),
    ("$x", "::foo::$x"),
    ("{x", "::foo::{x"),
    ("sub::x", "::foo::sub::x"),
    ("sub::::x", "::foo::sub::x"),
    ("::g", "::g"),
    ("::foo::::y", "::foo::y"),
])
@pytest.mark.parametrize("space", ["::foo", "foo", "::foo::"])
def test_items_reach_the_qualified_variable(tcl, foo, space, name, qualified):
    NS("::foo::sub", tcl=tcl).create()
    view = NS(space, tcl=tcl).vars
    view[name] = "v1"
    assert tcl.tk.call("set", qualified) == "v1"
    tcl.tk.call("set", qualified, "v2")
    assert view[name] == "v2"
    assert str(NS(space, tcl=tcl).objs[name]) == "v2"


def test_current_namespace_items_are_global(tcl):
    local = NS(None, tcl=tcl)
    local.vars["cur"] = "c"
    assert tcl.tk.call("set", "::cur") == "c"
    assert local.vars["cur"] == local.objs["cur"] == "c"


def test_replaced_handle_class_is_used(monkeypatch, foo):
    seen = []

    class Spy(N.TclVariable):
        def get_str(self, array_index=None):
            seen.append(("get_str", self.var_name))
            return "spied"

        def get_obj(self, array_index=None, *rest):
            seen.append(("get_obj", self.var_name))
            return "object"

        def set(self, value, array_index=None):
            seen.append(("set", self.var_name, value))

    foo.vars["x"] = 1                        # the short way is taken at least once first
    foo.vars["x"]
    monkeypatch.setattr(N, "TclVariable", Spy)
    assert foo.vars["x"] == "spied"
    assert foo.objs["x"] == "object"
    foo.vars["x"] = 3
    assert seen == [("get_str", "::foo::x"), ("get_obj", "::foo::x"), ("set", "::foo::x", 3)]


@pytest.mark.parametrize("method, replacement, action, expected", [
    ("get_str", lambda self, array_index=None: "patched " + self.var_name,
     lambda view: view.vars["x"], "patched ::foo::x"),
    ("get_obj", lambda self, array_index=None, cast=None: "patched " + self.var_name,
     lambda view: view.objs["x"], "patched ::foo::x"),
    ("set", lambda self, value, array_index=None: "ignored",
     lambda view: view.vars.__setitem__("x", "new") or view.vars["x"], "old"),
])
def test_replaced_handle_methods_are_used(monkeypatch, tcl, foo, method, replacement, action,
                                          expected):
    foo.vars["x"] = "old"                    # each short way taken once before the change
    foo.vars["x"], foo.objs["x"]
    monkeypatch.setattr(N.TclVariable, method, replacement)
    assert action(foo) == expected
    monkeypatch.undo()
    foo.vars["x"] = "again"
    assert foo.vars["x"] == "again"


def test_view_subclasses_keep_their_own_steps(tcl, foo):
    class Loud(NS.VariablesView):
        def get(self, var_name):
            return super().get(var_name).upper()

        def set(self, var_name, value, array_index=None):
            return super().set(var_name, value * 2, array_index=array_index)

    class Elsewhere(NS.VariablesView):
        def byref(self, var_name, *args, **kwargs):
            return super().byref("other", *args, **kwargs)

    loud = Loud(foo)
    loud["x"] = "ab"
    assert tcl.tk.call("set", "::foo::x") == "abab"
    assert loud["x"] == "ABAB"
    elsewhere = Elsewhere(foo)
    elsewhere["x"] = "to other"
    assert tcl.tk.call("set", "::foo::other") == "to other"
    assert elsewhere["anything"] == "to other"


def test_views_of_a_destroyed_interpreter():
    import gc

    interp = Interpreter()
    ns = NS("::", tcl=interp)
    ns.vars["x"] = 1
    del interp
    gc.collect()
    for action in (lambda: ns.vars["x"], lambda: ns.objs["x"],
                   lambda: ns.vars.__setitem__("x", 2), lambda: list(ns.vars)):
        with pytest.raises(ReferenceError):
            action()


@pytest.mark.parametrize("how", ["subclass", "patched class"])
def test_views_read_the_namespace_as_its_text(monkeypatch, tcl, how):
    class Renamed(NS):
        def __str__(self):
            return "::foo"

    NS("::foo", tcl=tcl).create()
    if how == "subclass":
        ns = Renamed("::elsewhere", tcl=tcl)
    else:
        ns = NS("::elsewhere", tcl=tcl)
        ns.create()
        ns.vars["warm"] = 1                  # the short way, taken before the change
        monkeypatch.setattr(NS, "__str__", Renamed.__str__)
    ns.vars["x"] = "here"
    assert tcl.tk.call("set", "::foo::x") == "here"
    assert ns.vars["x"] == "here"
    assert ns.vars.byref("y").var_name == "::foo::y"
    assert ns.cmds["p"].cmd_name == "::foo::p"


def test_key_errors_chain_like_python_code(foo):
    try:
        raise RuntimeError("being handled")
    except RuntimeError:
        with pytest.raises(KeyError) as info:
            foo.vars["missing"]
    assert info.value.__context__ is info.value.__cause__ is info.value.args[0]
    assert info.value.__suppress_context__
