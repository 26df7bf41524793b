"""Variable handles: what they read, write and remove is what Tcl then holds."""

import abc
import collections.abc
import gc
import re
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tkinter import TclError

import tessel.tcl
from tessel.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclVariable,
    TempTclArrayVariable,
    TempTclVariable,
)
from tessel.tcl.scriptify import scriptify, tclobj

# Text Tcl keeps exactly (no lone surrogates); ':' is left out of names only,
# since "::" there means a namespace.
tcl_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
AWKWARD_NAMES = ["a b", "a{b", "a}b", "{ab}", "a[b]", "$x", "a\\b", "a\\", "ünï ∂", '"q"', ";x", "a\nb"]


def tcl_vars(tk, pattern="::__quillon__*"):
    return set(tk.splitlist(tk.call("info", "vars", pattern)))


# ---- construction and class shapes ------------------------------------------------------------


@pytest.mark.parametrize(
    "var_name, array_index, expected",
    [
        ("a", None, "a"),
        ("a", "k", "a(k)"),
        ("a", 1, "a(1)"),
        ("a", "", "a()"),  # an empty index is still an index
        (None, None, ""),
        ("a b", "c d", "a b(c d)"),  # the index is not quoted
        (["x", "y z"], None, "x {y z}"),
        (TclVariable("v"), "i", "v(i)"),  # a handle stands for its name
    ],
)
def test_var_name_is_the_text_tcl_sees(interp, var_name, array_index, expected):
    assert TclVariable(var_name, array_index, tcl=interp).var_name == expected


def test_instance_holds_exactly_its_three_attributes(interp):
    v = TclVariable("x", tcl=interp, cast=int)
    assert list(vars(v)) == ["tcl", "cast", "var_name"]
    assert type(v.tcl) in weakref.ProxyTypes and v.cast is int
    proxy = weakref.proxy(interp)
    assert TclVariable("x", tcl=proxy).tcl is proxy  # never wrapped twice


def test_default_interpreter_is_the_package():
    v = TclVariable("tessel_default_probe")
    v.set("seen")
    assert tessel.tcl.tk.getvar("tessel_default_probe") == "seen"
    v.unset()


def test_class_shapes():
    d = TclVariable.__dict__
    assert d["get"] is d["get_obj"] and d["array_get"] is d["array_get_obj"]
    assert type(d["_TclVariable__marker"]) is object
    assert TclArrayVariable.__dict__["get"] is d["get"]
    assert type(TclArrayVariable) is abc.ABCMeta
    assert TempTclArrayVariable.__mro__ == (
        TempTclArrayVariable,
        TempTclVariable,
        TclArrayVariable,
        collections.abc.MutableMapping,
        collections.abc.Mapping,
        collections.abc.Collection,
        collections.abc.Sized,
        collections.abc.Iterable,
        collections.abc.Container,
        TclVariable,
        object,
    )


def test_text_forms(interp):
    v = TclVariable("a b", tcl=interp)
    assert str(v) == "a b" and repr(v) == "TclVariable('a b')"
    assert tclobj(v) == "a b" and scriptify([v]) == "{a b}"
    assert repr(TclArrayVariable("arr", tcl=interp)) == "TclArrayVariable('arr')"
    # Passed to Tcl as a word, a handle is its name.
    v.set(7)
    assert interp.tk.call("set", v) == 7


# ---- reading, writing, removing ---------------------------------------------------------------


@pytest.mark.parametrize("name", AWKWARD_NAMES)
def test_awkward_variable_names(interp, name):
    tk = interp.tk
    v = TclVariable(name, tcl=interp)
    assert not v.exists()
    v.set("val ue")
    assert tk.call("set", name) == "val ue"
    assert v.exists() and v.get() == "val ue" and v.get_str() == "val ue"
    v.unset()
    assert not tk.call("info", "exists", name)


@pytest.mark.parametrize("index", AWKWARD_NAMES + ["a(b)", "a)b", "", ")"])
def test_awkward_array_indexes(interp, index):
    tk = interp.tk
    a = TclArrayVariable("arr", tcl=interp)
    a[index] = "v"
    assert tk.splitlist(tk.call("array", "get", "arr")) == (index, "v")
    assert index in a and a[index] == "v" and list(a) == [index]
    assert a.get_str(array_index=index) == "v"
    del a[index]
    assert index not in a and len(a) == 0


@settings(max_examples=150, deadline=None)
@given(index=tcl_text.filter(lambda s: "\0" not in s), value=tcl_text)
def test_element_round_trip_through_every_path(index, value):
    # The host takes no NUL in an index, and its eval result ends at a NUL.
    tk = tessel.tcl.tk
    v = TclVariable("::tessel_prop")
    tk.call("array", "unset", "::tessel_prop")
    v.set(value, array_index=index)
    assert tk.splitlist(tk.call("array", "names", "::tessel_prop")) == (index,)
    assert v.get(array_index=index) == value  # host getvar
    if "\0" not in value:
        assert v.get_str(array_index=index) == value  # script through our quoting
    assert v.exists(array_index=index)
    assert v.array_get() == {index: value}
    v.unset(array_index=index)
    assert not v.exists(array_index=index)


@pytest.mark.parametrize(
    "handle_cast, kwargs, expected",
    [
        (int, {}, 42),
        (int, {"cast": None}, "42"),  # explicit None: no conversion
        (int, {"cast": float}, 42.0),
        (None, {}, "42"),
        (0, {}, "42"),  # a false cast is never applied
        (int, {"cast": ""}, "42"),
    ],
)
def test_get_casts(interp, handle_cast, kwargs, expected):
    interp.tk.eval("set x 42")
    got = TclVariable("x", tcl=interp, cast=handle_cast).get(**kwargs)
    assert got == expected and type(got) is type(expected)


def test_errors_pass_through(interp):
    tk = interp.tk
    tk.eval("array set arr {a 1}; set s 1")
    with pytest.raises(TclError):
        TclVariable("missing", tcl=interp).get()
    with pytest.raises(TclError):
        TclVariable("arr", tcl=interp).get_str()
    with pytest.raises(TclError):
        TclVariable("arr", tcl=interp).get()
    with pytest.raises(TclError):
        TclVariable("missing", tcl=interp).unset()
    with pytest.raises(TclError):
        TclVariable("s", tcl=interp).set(1, array_index="k")  # element of a scalar
    assert TclVariable("missing", tcl=interp).unset(nocomplain=True) is None
    assert TclVariable("arr", tcl=interp).exists("zz") is False
    assert TclVariable("s", tcl=interp).is_array() is False
    m = TclVariable("missing", tcl=interp)
    assert m.array_size() == 0 and tuple(m.array_names()) == ()


def test_array_operations(interp):
    tk = interp.tk
    v = TclVariable("arr", tcl=interp)
    v.array_set({"a1": 1, "a2": "x y", "b": ""})
    assert dict(v.array_get()) == {"a1": "1", "a2": "x y", "b": ""}
    assert dict(v.array_get("a*")) == {"a1": "1", "a2": "x y"}
    assert dict(v.array_get_str("a*")) == {"a1": "1", "a2": "x y"}
    assert sorted(v.array_names()) == ["a1", "a2", "b"]
    assert tuple(v.array_names("b")) == ("b",)
    assert v.array_size() == 3 and v.is_array()
    v.array_unset("a*")
    assert tk.splitlist(tk.call("array", "names", "arr")) == ("b",)
    v.array_unset()
    assert not v.exists() and not tk.call("info", "exists", "arr")


def test_array_item_byref(interp):
    for base in (TclVariable("a", tcl=interp, cast=str), TclArrayVariable("a", tcl=interp)):
        item = base.array_item_byref("k", int)
        assert type(item) is TclVariable
        assert (item.var_name, item.cast) == ("a(k)", int)
        assert base.array_item_byref("k").cast is None  # not inherited
        item.set("5")
        assert item.get() == 5 and interp.tk.call("set", "a(k)") == "5"


# ---- qualified names --------------------------------------------------------------------------


def test_absolute_at_top_level(interp):
    v = TclVariable("x", tcl=interp)
    assert v.absolute() == "::x"
    assert TclVariable("a::x", tcl=interp).absolute() == "::a::x"
    v.make_absolute()
    assert v.var_name == "::x"


def test_absolute_name_needs_no_interpreter():
    interp = tessel.tcl.interpreter.Interpreter()
    absolute, relative = TclVariable("::a::x", tcl=interp), TclVariable("x", tcl=interp)
    del interp
    gc.collect()
    assert absolute.absolute() == "::a::x"
    with pytest.raises(ReferenceError):
        relative.absolute()


def test_make_absolute_rejects_invalid_name(interp):
    v = TclVariable("a:b", tcl=interp)
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        v.make_absolute()
    assert v.var_name == "a:b"


def test_dead_interpreter():
    interp = tessel.tcl.interpreter.Interpreter()
    v = TclVariable("x", tcl=interp)
    del interp
    gc.collect()
    assert str(v) == "x" and repr(v) == "TclVariable('x')" and tclobj(v) == "x"
    for op in (lambda: v.set(1), v.get, v.get_str, v.exists, v.unset, v.array_get, v.is_array):
        with pytest.raises(ReferenceError):
            op()


# ---- temporary variables ----------------------------------------------------------------------


def test_temporary_names(interp):
    t1, t2 = TempTclVariable(tcl=interp), TempTclArrayVariable(tcl=interp)
    assert t1.var_name == "::__quillon__TempTclVariable_%d_tmp" % id(t1)
    assert t2.var_name == "::__quillon__TempTclArrayVariable_%d_tmp" % id(t2)
    assert list(vars(t1)) == ["tcl", "cast", "var_name"]
    alive = [TempTclVariable(tcl=interp) for _ in range(3)]
    assert len({t.var_name for t in alive}) == 3
    assert TempTclVariable("mine_{cls}", tcl=interp).var_name == "mine_TempTclVariable"


@pytest.mark.parametrize("name, error", [("{x}", KeyError), ("{0}", IndexError), ("{", ValueError)])
def test_bad_temporary_name(interp, name, error):
    with pytest.raises(error):
        TempTclVariable(name, tcl=interp)


def test_temporary_array_takes_no_index(interp):
    with pytest.raises(TypeError):
        TempTclArrayVariable(tcl=interp, array_index="k")


@pytest.mark.parametrize("cls", [TempTclVariable, TempTclArrayVariable])
@pytest.mark.parametrize("raises", [False, True])
def test_temporary_leaves_nothing_behind(interp, cls, raises):
    before = tcl_vars(interp.tk)
    with pytest.raises(RuntimeError) if raises else _nothing():
        with cls(tcl=interp) as t:
            assert isinstance(t, cls)
            t.set("1", array_index="k")
            assert t.exists("k") and tcl_vars(interp.tk) - before
            if raises:
                raise RuntimeError("in the block")
    assert tcl_vars(interp.tk) == before


def test_temporary_never_set_exits_quietly(interp):
    with TempTclVariable(tcl=interp) as t:
        pass
    assert not t.exists()


def test_context_methods_follow_the_mro(interp):
    class Outer:
        def __enter__(self):
            return "outer"

        def __exit__(self, *exc_info):
            return True  # swallows

    class Mixed(TempTclVariable, Outer):
        pass

    with Mixed(tcl=interp) as got:
        got_value = got
        raise KeyError("swallowed by Outer")
    assert got_value == "outer"


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False


# ---- arrays as mappings -----------------------------------------------------------------------


def test_new_array_is_empty(interp):
    a = TclArrayVariable("nothing_here", tcl=interp)
    assert len(a) == 0 and list(a) == [] and "k" not in a
    with pytest.raises(KeyError):
        a.popitem()


def test_mapping_reads_and_writes(interp):
    a = TclArrayVariable("arr", tcl=interp)
    a["k"] = 1
    assert a["k"] == 1 and a.get("k") == 1
    assert a.get("k", str) == "1"  # second argument is a cast, not a default
    assert TclArrayVariable("arr", tcl=interp, cast=str)["k"] == "1"
    with pytest.raises(TclError):
        a.get()  # reads the whole array
    with pytest.raises(TclError):
        a["missing"]
    with pytest.raises(TclError):
        a.pop("missing", None)  # Tcl's error, not the default
    a.update({"x": "1"}, y="2")
    assert a == {"k": 1, "x": "1", "y": "2"} and a != {"k": 1}
    assert sorted(a.items()) == [("k", 1), ("x", "1"), ("y", "2")]
    for key in a:  # the index list is read once: removing while looping is fine
        del a[key]
    assert len(a) == 0 and a.is_array()


def test_iteration_reads_names_when_first_advanced(interp):
    a = TclArrayVariable("arr", tcl=interp)
    it = iter(a)
    a["late"] = 1
    assert list(it) == ["late"]


def test_update_and_clear(interp):
    a = TclArrayVariable("fresh", tcl=interp)
    a.update()
    assert a.is_array() and len(a) == 0
    a.update(p=1)
    a.clear()
    assert not a.exists() and not a.is_array()


def test_array_handle_is_its_name_in_tcl(interp):
    a = TclArrayVariable("arr", tcl=interp)
    a["k"] = "v"
    assert tclobj(a) == "arr" and scriptify(a) == "arr"
    TclVariable("copy", tcl=interp).array_set(dict(a))
    assert interp.tk.splitlist(interp.tk.call("array", "get", "copy")) == ("k", "v")
