"""Namespace handles at work: commands run inside the namespace, the namespace's family,
export and import lists, and temporary namespaces that leave nothing behind. Tcl's own
`namespace` command is the judge."""

import gc
import tkinter
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclNamespace, TempTclNamespace

NS = TclNamespace
TclError = tkinter.TclError


@pytest.fixture
def tcl(interp):
    return interp


def namespaces(tk, parent="::"):
    """Every namespace below `parent`, as Tcl lists them."""
    found = set()
    for child in tk.splitlist(tk.call("namespace", "children", parent)):
        found.add(str(child))
        found |= namespaces(tk, str(child))
    return found


# Names that need quoting in a script, and names beyond ASCII.
ODD_NAMES = ["a b", "{x", "x}", "{a}", "[y]", "$z", "back\\slash", "q\"uote", "semi;colon",
             "new\nline", "é€", "𝄞", "tab\there", "\\"]


# --- running commands inside the namespace ---------------------------------------------------

def test_eval_runs_a_script_inside_the_namespace(tcl):
    assert NS("::a", tcl=tcl).eval("set x 1") == "1"
    assert tcl.tk.eval("set ::a::x") == "1"
    assert NS("", tcl=tcl).eval("set x 2") == "2"
    assert str(tcl.tk.getvar("::x")) == "2"


@pytest.mark.parametrize("value", ["1 2", "{", "}", "$x [exit]", "a\\", "", "é 𝄞"])
@pytest.mark.parametrize("name", ["::a", ""])
def test_words_reach_tcl_unchanged(tcl, name, value):
    ns = NS(name, tcl=tcl)
    full = (name or "") + "::v"
    assert ns.eval("set", "v", value) == value
    assert tcl.tk.eval("set " + full) == value
    tcl.tk.call("unset", full)
    assert str(ns.call("set", "v", value)) == value
    assert tcl.tk.eval("set " + full) == value


def test_call_of_a_word_tuple_and_of_one_word(tcl):
    ns = NS("::a", tcl=tcl)
    assert ns.call(("set", "w", "a b")) == "a b"
    assert NS("", tcl=tcl).call("list") == ""
    assert NS("", tcl=tcl).eval("list a {b c}") == "a {b c}"
    with pytest.raises(TclError):
        NS("", tcl=tcl).call("list a")       # one word: a command named "list a"


def test_results_are_not_cast(tcl):
    ns = NS("::a", tcl=tcl)
    assert ns.eval("expr {1 + 2}") == "3"
    assert ns.call("expr", "1 + 2") == 3
    assert ns.call("list", "a", "b c") == ("a", "b c")


def test_script_errors_propagate(tcl):
    with pytest.raises(TclError, match="invalid command name"):
        NS("::a", tcl=tcl).eval("no_such_command")
    with pytest.raises(TclError):
        NS("::a", tcl=tcl).call("no_such_command")


def test_nothing_is_recorded_in_history(tcl):
    before = len(tcl.history.__history__)
    NS("::a", tcl=tcl).eval("set x 1")
    NS("::a", tcl=tcl).call("set", "x", 1)
    NS("::a", tcl=tcl).vars["y"] = 2
    assert len(tcl.history.__history__) == before


# --- existence, creation, deletion, family ---------------------------------------------------

def test_lifecycle(tcl):
    ns = NS("::life", tcl=tcl)
    assert ns.exists() is False
    assert ns.create() is None
    assert ns.exists() is True
    assert ns.delete() is None
    assert ns.exists() is False
    with pytest.raises(TclError):
        ns.delete()
    assert NS("", tcl=tcl).exists() is True
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        NS("", tcl=tcl).create()
    assert NS(None, tcl=tcl).ns == ""


def test_create_makes_missing_parents(tcl):
    NS("::p::q::r", tcl=tcl).create()
    assert tcl.tk.call("namespace", "exists", "::p::q")
    NS("rel::x", tcl=tcl).create()
    assert tcl.tk.call("namespace", "exists", "::rel::x")


@pytest.mark.parametrize("name", ODD_NAMES)
def test_odd_names_are_namespace_names(tcl, name):
    full = "::" + name
    ns = NS(full, tcl=tcl)
    ns.create()
    assert tcl.tk.call("namespace", "exists", full)
    assert full in NS("::", tcl=tcl).children()
    assert ns.parent() == ns.parent(True) == "::"
    ns.eval("variable v 1")
    assert str(tcl.tk.call("set", full + "::v")) == "1"
    ns.call("proc", "p", "", "return ok")
    assert tcl.tk.call(full + "::p") == "ok"
    # the name is a glob pattern there, so Tcl decides what it matches
    expected = tcl.tk.splitlist(tcl.tk.call("namespace", "children", "::", name))
    assert NS("::", tcl=tcl).children(name) == tuple(map(str, expected))
    child = NS(full + "::" + name, tcl=tcl)
    child.create()
    assert ns.children() == (full + "::" + name,)
    assert child.parent() == full
    ns.delete()
    assert not tcl.tk.call("namespace", "exists", full)


@pytest.fixture(scope="module")
def shared():
    return Interpreter()


components = st.text(alphabet=st.sampled_from("ab: {}$\\é"), min_size=1, max_size=5)


@settings(max_examples=150, deadline=None)
@given(st.lists(components, min_size=1, max_size=4))
def test_parent_from_the_name_agrees_with_tcl(shared, parts):
    name = "::" + "::".join(parts)
    ns = NS(name, tcl=shared)
    ns.create()
    assert ns.parent() == shared.tk.call("namespace", "parent", name)
    assert ns.parent(force_eval=True) == shared.tk.call("namespace", "parent", name)


def test_parent_of_global_current_and_relative(tcl):
    assert NS("::", tcl=tcl).parent() == ""
    assert NS("", tcl=tcl).parent() == ""
    NS("::r::s", tcl=tcl).create()
    assert NS("r::s", tcl=tcl).parent() == "::r"
    with pytest.raises(TclError):
        NS("missing", tcl=tcl).parent()
    assert NS("::missing::x", tcl=tcl).parent() == "::missing"   # by name, Tcl not asked
    with pytest.raises(TclError):
        NS("::missing::x", tcl=tcl).parent(force_eval=True)


@pytest.mark.parametrize("pattern", ["*", "a*", "b?ta", "::p::al*", "a b", "[[]x]", "none", "*a*"])
@pytest.mark.parametrize("name", ["::p", "p"])
def test_children_filtered_by_pattern_as_tcl_does(tcl, name, pattern):
    for child in ["alpha", "beta", "a b", "[x]", "alpha::deep"]:
        NS("::p::" + child, tcl=tcl).create()
    expected = tcl.tk.call("namespace", "children", "::p", pattern)
    assert set(NS(name, tcl=tcl).children(pattern)) == set(tcl.tk.splitlist(expected))
    assert set(NS(name, tcl=tcl).children()) == {"::p::alpha", "::p::beta", "::p::a b", "::p::[x]"}


def test_children_of_the_current_namespace(tcl):
    NS("::kid", tcl=tcl).create()
    assert "::kid" in NS("", tcl=tcl).children()
    assert NS("", tcl=tcl).children("ki*") == ("::kid",)


def test_current_and_code(tcl):
    assert NS("::a", tcl=tcl).current() == "::"
    code = NS("::a", tcl=tcl).code("set y 5")
    tcl.tk.call("namespace", "eval", "::elsewhere", code)
    assert str(tcl.tk.getvar("::a::y")) == "5"


# --- export, import, forget, origin, which ---------------------------------------------------

@pytest.fixture
def src(tcl):
    ns = NS("::src", tcl=tcl)
    ns.eval("proc f {} {return f}; proc g {} {return g}; proc h {} {return h}")
    return ns


def test_export_list(src):
    assert src.export() == ()
    assert src.export(False, "f*", "g*") is None
    assert src.export() == ("f*", "g*")
    assert src.export(True) is None
    assert src.export() == ()
    src.export(False, "f")
    assert src.export("g*") is None          # the pattern lands on `clear`: clears only
    assert src.export() == ()
    src.export(True, "h")
    assert src.export() == ("h",)


def test_import_forget_origin_which(tcl, src):
    src.export(False, "f", "g")
    dst = NS("::dst", tcl=tcl)
    assert dst.import_(False, "::src::f", "::src::g") is None
    assert tcl.tk.call("::dst::f") == "f"
    assert dst.origin("f") == "::src::f"
    assert dst.which("f") == "::dst::f"
    assert dst.which("f", command=True) == "::dst::f"
    assert dst.which("nothing") == ""
    assert dst.forget("::src::f") is None
    assert dst.which("f", True) == ""
    with pytest.raises(TclError):
        dst.origin("f")
    dst.eval("variable v 1")
    assert dst.which("v", variable=True) == "::dst::v"
    with pytest.raises(TclError, match="wrong # args"):
        dst.which("v", True, True)           # both options go to Tcl, which refuses


def test_import_force_replaces(tcl, src):
    src.export(False, "f")
    dst = NS("::dst2", tcl=tcl)
    dst.eval("proc f {} {return mine}")
    with pytest.raises(TclError):
        dst.import_(False, "::src::f")
    dst.import_(True, "::src::f")
    assert tcl.tk.call("::dst2::f") == "f"


# --- temporary namespaces ------------------------------------------------------------------

def test_temporary_namespace_lives_for_the_block(tcl):
    before = namespaces(tcl.tk)
    temp = TempTclNamespace(tcl=tcl)
    assert temp.ns == "::__quillon__TempTclNamespace_%d_tmp" % id(temp)
    with temp as bound:
        assert bound is temp
        assert temp.exists()
        temp.eval("variable x 1; namespace eval inner {proc p {} {}}")
    assert not temp.exists()
    assert namespaces(tcl.tk) == before


def test_temporary_namespace_goes_when_the_block_raises(tcl):
    before = namespaces(tcl.tk)
    with pytest.raises(ZeroDivisionError):
        with TempTclNamespace(tcl=tcl) as temp:
            temp.create()
            NS(temp.ns + "::child", tcl=tcl).create()
            1 / 0
    assert namespaces(tcl.tk) == before


def test_temporary_namespace_deleted_inside_the_block(tcl):
    with TempTclNamespace(tcl=tcl) as temp:
        temp.delete()
    assert not temp.exists()


def test_temporary_names(tcl):
    class Mine(TempTclNamespace):
        pass

    a, b = TempTclNamespace(tcl=tcl), TempTclNamespace(tcl=tcl)
    assert a.ns != b.ns
    assert Mine(tcl=tcl).ns.startswith("::__quillon__Mine_")
    assert TempTclNamespace("::t_{cls}", tcl=tcl).ns == "::t_TempTclNamespace"
    with pytest.raises(KeyError):
        TempTclNamespace("::t_{other}", tcl=tcl)
    with pytest.raises(ValueError):
        TempTclNamespace("::t_{", tcl=tcl)


def test_temporary_namespace_defers_to_the_next_context_manager(tcl):
    class Recorder:
        def __enter__(self):
            return "entered"

        def __exit__(self, *exc_info):
            self.seen = exc_info[0]
            return True                      # swallows the exception

    class Both(TempTclNamespace, Recorder):
        pass

    both = Both(tcl=tcl)
    with both as bound:
        assert bound == "entered"
        assert both.exists()
        raise KeyError("x")
    assert both.seen is KeyError
    assert not both.exists()


def test_without_a_block_the_namespace_stays(tcl):
    temp = TempTclNamespace(tcl=tcl)
    temp.create()
    name = temp.ns
    del temp
    gc.collect()
    assert name in namespaces(tcl.tk)


# --- the interpreter reference ---------------------------------------------------------------

def test_interpreter_is_held_weakly():
    interp = Interpreter()
    ns = NS("::a", tcl=interp)
    assert type(ns.tcl) in weakref.ProxyTypes
    again = NS("::b", tcl=ns.tcl)
    assert again.tcl is ns.tcl                # a proxy is not wrapped twice
    ns.create()
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        ns.exists()
    with pytest.raises(ReferenceError):
        again.eval("set x 1")
    assert str(ns) == "::a"


def test_default_interpreter_is_the_package():
    import tessel.tcl

    ns = NS("::a")
    assert type(ns.tcl) in weakref.ProxyTypes
    assert ns.tcl.__name__ == tessel.tcl.__name__


def test_views_are_made_once_in_order(tcl):
    ns = NS("::a", tcl=tcl)
    assert list(vars(ns)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    assert type(ns.vars) is NS.VariablesView and ns.vars.ns is ns
    assert type(ns.objs) is NS.ObjectsView and ns.objs.ns is ns
    assert type(ns.procs) is NS.ProcsView and ns.procs.ns is ns
    assert type(ns.cmds) is NS.CommandsView and ns.cmds.ns is ns
