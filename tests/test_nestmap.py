"""NestMap: dotted keys through nested levels, merging updates, and TclX keyed lists
read and written exactly (TclX's own keylset/keylget are the judge)."""

import collections.abc
import sys
import tkinter
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import tessel.datastructures
import tessel.tcl
from tessel.tcl.internal import GetListFromAny
from tessel.tcl.nestmap import NestMap
from tessel.tcl.scriptify import scriptify, tclobj

ORACLE = tkinter.Tcl()
ORACLE.eval("package require Tclx")
# A value reads back as a nested level exactly when it is a list of two-element lists.
ORACLE.eval(
    """proc looks_keyed {v} {
        if {[catch {llength $v}]} {return 0}
        foreach e $v {
            if {[catch {llength $e} n] || $n != 2} {return 0}
        }
        return 1
    }"""
)

SETTINGS = settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


def tcl_cast_list(value):
    """The package's cast_list: Tcl's list split, a malformed list as ValueError."""
    try:
        return GetListFromAny(value)
    except tkinter.TclError as exc:
        raise ValueError(exc) from exc


@pytest.fixture(params=["general", "quick", "package"])
def reader(request, monkeypatch):
    """Runs a test with each keyed-list reader: the general one asks cast_list for every
    split; the quick one is taken when cast_list is the interpreter's own splitter (a
    stand-in here, the real one under "package"). Yields the values cast_list was given."""
    calls = []
    if request.param == "package":
        return calls

    def cast_list(value):
        calls.append(value)
        return tcl_cast_list(value)

    monkeypatch.setattr(tessel.tcl, "cast_list", cast_list)
    if request.param == "quick":
        interpreter = types.ModuleType("tessel.tcl.interpreter")
        interpreter.Interpreter = type("Interpreter", (), {"cast_list": staticmethod(cast_list)})
        monkeypatch.setitem(sys.modules, "tessel.tcl.interpreter", interpreter)
    return calls


def plain(value):
    """A NestMap as nested plain dicts, every level checked to be a NestMap."""
    if isinstance(value, NestMap):
        assert type(value) is NestMap
        return {key: plain(item) for key, item in value.items()}
    return value


def sample():
    return NestMap({"name.first": "a", "name.last": "b", "age": 7})


# --- the container ---------------------------------------------------------------------------


BODY = ["__init__", "from_tcl", "__getitem__", "__setitem__", "__contains__", "__delitem__",
        "get", "pop", "setdefault", "update", "all_keys", "all_items", "has_key", "__tclobj__"]


def test_class_shape():
    assert NestMap.__mro__[1:4] == (tessel.datastructures.AttrDict, dict,
                                    collections.abc.MutableMapping)
    assert [name for name in NestMap.__dict__ if name in BODY] == BODY
    for name in ("get", "pop", "setdefault"):
        assert NestMap.__dict__[name] is getattr(collections.abc.MutableMapping, name)
    assert NestMap.__dict__["has_key"] is NestMap.__dict__["__contains__"]
    assert isinstance(NestMap.__dict__["from_tcl"], staticmethod)
    assert not NestMap.__abstractmethods__


def test_dotted_keys_build_levels():
    m = sample()
    assert list(m.keys()) == ["name", "age"]
    assert type(m["name"]) is NestMap
    assert m.all_keys() == ["name.first", "name.last", "age"]
    assert m.all_items() == [("name.first", "a"), ("name.last", "b"), ("age", 7)]
    assert m.name.first == "a"  # attribute access of the dict base


@pytest.mark.parametrize("key, expected", [
    ("name.first", "a"), ("age", 7), ("name", {"first": "a", "last": "b"})])
def test_getitem(key, expected):
    assert sample()[key] == expected


@pytest.mark.parametrize("key, error, args", [
    ("nope", KeyError, ("nope",)),
    ("nope.x", KeyError, ("nope",)),        # the first missing level is reported
    ("name.middle", KeyError, ("middle",)),
    ("name.", KeyError, ("",)),              # an empty last component is a key like any other
    # past a leaf that takes no text index: a missing key, as `in` answers False
    ("name.first.x", KeyError, ('key "first" holds a value, not a keyed list: it has no key "x"',)),
    ("age.x", KeyError, ('key "age" holds a value, not a keyed list: it has no key "x"',)),
])
def test_getitem_failures(key, error, args):
    with pytest.raises(error) as info:
        sample()[key]
    assert args is None or info.value.args == args


def test_only_the_first_dot_splits_a_level():
    m = NestMap()
    m["a.b.c"] = 1
    assert plain(m) == {"a": {"b": {"c": 1}}}
    assert m["a"]["b.c"] == 1 and m["a.b"]["c"] == 1


@pytest.mark.parametrize("key, value, component", [
    ("name.first.x", 1, "first"),        # through a leaf
    ("age.x", 1, "age"),
    ("age", NestMap(), "age"),            # a level onto a leaf
    ("name.last", NestMap({"x": 1}), "last"),
])
def test_setitem_onto_a_leaf_fails_and_changes_nothing(key, value, component):
    m = sample()
    before = plain(m)
    with pytest.raises(KeyError) as info:
        m[key] = value
    assert info.value.args == (
        f'target key "{component}" is a value, cannot update value against another keyed list',)
    assert plain(m) == before


@pytest.mark.parametrize("key, value, expected", [
    ("name", "x", {"name": "x", "age": 7}),                     # a value replaces a level
    ("name", NestMap({"z": 1}), {"name": {"z": 1}, "age": 7}),  # a level replaces, no merge
    ("age", 8, {"name": {"first": "a", "last": "b"}, "age": 8}),
    ("name.middle", "c", {"name": {"first": "a", "last": "b", "middle": "c"}, "age": 7}),
    ("new.deep.er", 1, {"name": {"first": "a", "last": "b"}, "age": 7,
                        "new": {"deep": {"er": 1}}}),
])
def test_setitem(key, value, expected):
    m = sample()
    m[key] = value
    assert plain(m) == expected


def test_setitem_reads_tclx_keyed_list_objects():
    ORACLE.eval("unset -nocomplain kl; keylset kl a.b 1 c {2 3}")
    keyed = ORACLE.getvar("kl")
    assert keyed.typename == "keyedList"
    other = ORACLE.call("dict", "create", "a", "1")  # a Tcl object of another type
    m = NestMap()
    m["x.y"] = keyed
    m["z"] = other
    assert plain(m) == {"x": {"y": {"a": {"b": "1"}, "c": "2 3"}}, "z": other}


@pytest.mark.parametrize("key, expected", [
    ("name.last", True),
    ("name.middle", False),
    ("nope.x", False),
    ("age", True),
    ("name", True),
    ("name.first.a", True),   # a text leaf answers with its own containment: a substring
    ("name.first.z", False),
])
def test_contains(key, expected):
    m = sample()
    assert (key in m) is expected
    assert bool(m.has_key(key)) is expected


@pytest.mark.parametrize("keys, expected", [
    (["name.first"], {"name": {"last": "b"}, "age": 7}),
    (["name.first", "name.last"], {"age": 7}),   # the emptied level goes too
    (["name"], {"age": 7}),
    (["age", "name.last", "name.first"], {}),
])
def test_delitem_prunes_emptied_levels(keys, expected):
    m = sample()
    for key in keys:
        del m[key]
    assert plain(m) == expected


@pytest.mark.parametrize("key, missing", [("nope.x", "nope"), ("name.zzz", "zzz"), ("zzz", "zzz")])
def test_delitem_missing_changes_nothing(key, missing):
    m = sample()
    with pytest.raises(KeyError) as info:
        del m[key]
    assert info.value.args == (missing,)
    assert plain(m) == plain(sample())


@pytest.mark.parametrize("operation", [
    lambda m: m[1],
    lambda m: m.__setitem__(1, 2),
    lambda m: 1 in m,
    lambda m: m.__delitem__(1),
    lambda m: m.update({1: 2}),
    lambda m: m.get(1),
    lambda m: NestMap({1: 2}),   # only nested construction absorbs the error
])
def test_non_text_keys_raise_type_error(operation):
    with pytest.raises(TypeError):
        operation(sample())


@pytest.mark.parametrize("value, expected, level", [
    ("", {}, True),                     # anything dict() accepts becomes a level...
    ([], {}, True),
    ([("x", 1)], {"x": 1}, True),
    ({"b": {"c": 1}}, {"b": {"c": 1}}, True),
    ({"b.c": 1}, {"b": {"c": 1}}, True),
    (b"", {}, True),
    (5, 5, False),                      # ...everything else stays a leaf
    ("xy", "xy", False),
    (None, None, False),
    ({1: 2}, {1: 2}, False),            # nested TypeError absorbed: stays a plain dict
    ([("x", 1, 2)], [("x", 1, 2)], False),  # nested ValueError absorbed
])
def test_constructor_converts_values(value, expected, level):
    m = NestMap({"a": value})
    assert plain(m) == {"a": expected}
    assert isinstance(m["a"], NestMap) is level


def test_constructor_forms():
    level = NestMap({"x": 1})
    m = NestMap([("p.q", 1)], level=level, **{"r.s": 2})
    assert plain(m) == {"p": {"q": 1}, "level": {"x": 1}, "r": {"s": 2}}
    assert m["level"] is level  # a NestMap value is kept, not copied
    tcl_value = ORACLE.call("dict", "create", "a", "1")
    assert NestMap(t=tcl_value)["t"] is tcl_value


def test_constructor_lets_key_errors_through():
    with pytest.raises(KeyError, match='target key "b" is a value'):
        NestMap({"a": {"b": 1, "b.c": 2}})


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {"name": NestMap({"middle": "c"})},                      # keyword level: merged
     {"name": {"first": "a", "last": "b", "middle": "c"}, "age": 7}),
    ((NestMap({"name.middle": "c"}),), {},                        # NestMap: merged leaf by leaf
     {"name": {"first": "a", "last": "b", "middle": "c"}, "age": 7}),
    (({"name": NestMap({"middle": "c"})},), {},                   # plain mapping: replaced
     {"name": {"middle": "c"}, "age": 7}),
    (([("name.middle", "c"), ("x.y", 1)],), {},
     {"name": {"first": "a", "last": "b", "middle": "c"}, "age": 7, "x": {"y": 1}}),
    ((), {"new": NestMap({"x": 1}), "age": 8},
     {"name": {"first": "a", "last": "b"}, "age": 8, "new": {"x": 1}}),
    ((), {"name.first": "z"}, {"name": {"first": "z", "last": "b"}, "age": 7}),
])
def test_update_merges(args, kwargs, expected):
    m = sample()
    level = m["name"]
    assert m.update(*args, **kwargs) is None
    assert plain(m) == expected
    if "middle" in expected["name"] and "first" in expected["name"]:
        assert m["name"] is level  # merged in place


def test_update_with_an_object_that_has_keys():
    class Keyed:
        def keys(self):
            return ["a.b", "c"]

        def __getitem__(self, key):
            return key.upper()

    m = NestMap()
    m.update(Keyed())
    assert plain(m) == {"a": {"b": "A.B"}, "c": "C"}


def test_update_stores_plain_dicts_as_leaves():
    m = NestMap()
    m.update({"a": {"b": 1}})
    assert type(m["a"]) is dict and m["a.b"] == 1 and m.all_keys() == ["a"]


@pytest.mark.parametrize("args, kwargs, error, message", [
    (({}, {}), {}, TypeError, "update() takes at most 1 positional arguments (2 given)"),
    (({}, {}, {}), {}, TypeError, "update() takes at most 1 positional arguments (3 given)"),
    ((), {"age": NestMap({"x": 1})}, KeyError,
     'target key "age" is a value, cannot update value against another keyed list'),
    (([("a",)],), {}, ValueError, "not enough values to unpack (expected 2, got 1)"),
    (([("a", 1, 2)],), {}, ValueError, "too many values to unpack (expected 2)"),
    (([1],), {}, TypeError, "cannot unpack non-iterable int object"),
])
def test_update_errors(args, kwargs, error, message):
    m = sample()
    with pytest.raises(error) as info:
        m.update(*args, **kwargs)
    assert info.value.args == (message,)
    assert plain(m) == plain(sample())


def test_mapping_mixins_use_dotted_keys():
    m = sample()
    assert m.get("name.first") == "a"
    assert m.get("name.zzz", 0) == 0 and m.get("nope.x") is None
    assert m.setdefault("name.first", "q") == "a"
    assert m.setdefault("x.y", 5) == 5 and m["x"] == {"y": 5}
    assert m.pop("name.first") == "a"
    assert m.pop("name.last") == "b"
    assert "name" not in m  # pop deletes through del, so the emptied level went
    assert m.pop("nope.x", "d") == "d"
    with pytest.raises(KeyError):
        m.pop("nope.x")


def test_flattening_order_and_empty_levels():
    m = NestMap({"a": {}, "b.c": 1, "b.d.e": 2, "f": 3})
    m["b.g"] = NestMap()
    assert m.all_keys() == ["b.c", "b.d.e", "f"]
    assert m.all_items() == [("b.c", 1), ("b.d.e", 2), ("f", 3)]


def test_subclass_levels_go_through_their_own_methods():
    class Upper(NestMap):
        def all_items(self):
            return [(k.upper(), v) for k, v in NestMap.all_items(self)]

        def __tclobj__(self):
            return "custom"

    m = NestMap()
    dict.__setitem__(m, "s", Upper({"x": 1}))
    assert m.all_items() == [("s.X", 1)]
    assert tclobj(m) == (("s", "custom"),)
    target = NestMap({"s.y": 2})
    target.update(m)
    assert plain(target) == {"s": {"y": 2, "X": 1}}


# --- reading keyed lists -----------------------------------------------------------------------


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    ("{name {{first a} {last b}}}", {"name": {"first": "a", "last": "b"}}),
    ("{k {}}", {"k": {}}),
    ("{k {a b}}", {"k": "a b"}),            # two one-element fields: a value
    ("{k {{a b}}}", {"k": {"a": "b"}}),
    ("{k {1 2 3}}", {"k": "1 2 3"}),
    ("{k a}", {"k": "a"}),
    ("{k {{a b} c}}", {"k": "{a b} c"}),    # one field too short: the whole value is plain
    ("{k {{a b} {c d e}}}", {"k": "{a b} {c d e}"}),
    ("{k {{a b} {c}d}}", {"k": "{a b} {c}d"}),  # a malformed nested list stays plain
    ("{k {a {b}c}}", {"k": "a {b}c"}),
    ("{a {{b {{c 1}}}}}", {"a": {"b": {"c": "1"}}}),
    ("{a.b 1} {a.c 2}", {"a": {"b": "1", "c": "2"}}),   # dotted keys build levels
    ("{a 1} {b 2} {a 3}", {"a": "3", "b": "2"}),         # a repeated key keeps its place
    ("{a {{x 1}}} {a 2}", {"a": "2"}),
    ("{a.b 1} {a 2}", {"a": "2"}),
    ("  {k  v}  ", {"k": "v"}),
    ("{k {\\{x 1\\}}}", {"k": "\\{x 1\\}"}),  # splits into "{x" and "1}": plain
    ("{{a b} {c d}}", {"a b": "c d"}),
    ("{k \\{}", {"k": "{"}),
    ("{k {  {x 1}  }}", {"k": {"x": "1"}}),
    ("{é {{ü \u4e2d}}}", {"é": {"ü": "\u4e2d"}}),
])
def test_from_tcl(reader, text, expected):
    m = NestMap.from_tcl(text)
    assert type(m) is NestMap
    assert plain(m) == expected
    assert list(m) == list(expected)


def test_quick_reader_needs_no_cast_list_calls(reader, request):
    NestMap.from_tcl("{a {{b 1} {c {x y}}}} {d e}")
    assert bool(reader) is (request.node.callspec.params["reader"] == "general")


@pytest.mark.parametrize("text, error, message", [
    ("{a}", ValueError, "not a keyed list: field #0 has 1 element, not 2 (a key and a value)"),
    ("{a b c}", ValueError, "not a keyed list: field #0 has 3 elements, not 2 (a key and a value)"),
    ("hello", ValueError, "not a keyed list: field #0 has 1 element, not 2 (a key and a value)"),
    ("{a b} c", ValueError, "not a keyed list: field #1 has 1 element, not 2 (a key and a value)"),
    ("{a 1} {a.b 2}", KeyError, 'target key "a" is a value, cannot update value against '
                                "another keyed list"),
])
def test_from_tcl_errors(reader, text, error, message):
    with pytest.raises(error) as info:
        NestMap.from_tcl(text)
    assert info.value.args == (message,)


@pytest.mark.parametrize("text", ["{", "{a b} {c", "{a {b}c}", '"a'])
def test_from_tcl_malformed_lists_raise_value_error_from_tcl(reader, text):
    with pytest.raises(ValueError) as info:
        NestMap.from_tcl(text)
    assert isinstance(info.value.__cause__, tkinter.TclError)
    assert info.value.args == (info.value.__cause__,)


def test_from_tcl_reads_tcl_objects(reader):
    ORACLE.eval("unset -nocomplain kl; keylset kl a.b 1 a.c {x y} d {}")
    assert plain(NestMap.from_tcl(ORACLE.getvar("kl"))) == {"a": {"b": "1", "c": "x y"}, "d": {}}


def test_from_tcl_absorbs_only_value_errors_of_nested_values(monkeypatch):
    def cast_list(value):
        if value == "boom":
            raise LookupError(value)
        return tcl_cast_list(value)

    monkeypatch.setattr(tessel.tcl, "cast_list", cast_list)
    assert NestMap.from_tcl("{a {b c}}") == {"a": "b c"}
    with pytest.raises(LookupError):
        NestMap.from_tcl("{a boom}")
    with pytest.raises(LookupError):
        NestMap.from_tcl("boom")


def read_with(text, quick):
    """from_tcl's result (or its error) with the general or the quick reader."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tessel.tcl, "cast_list", tcl_cast_list)
        if quick:
            interpreter = types.ModuleType("tessel.tcl.interpreter")
            interpreter.Interpreter = type("Interpreter", (), {"cast_list": tcl_cast_list})
            patch.setitem(sys.modules, "tessel.tcl.interpreter", interpreter)
        try:
            m = NestMap.from_tcl(text)
        except (ValueError, KeyError) as exc:
            return type(exc), str(exc)
        return plain(m), m.all_items()


# Text shaped like keyed lists, fields "{key {value}}" nested, with words made of list-special
# characters, so that it is often almost, but not quite, a keyed list.
words = st.lists(st.sampled_from(
    ["a", "b.c", "a\\ b", "\\{", "\\", "{", "}", '"', "x y", "{x y}", " ", "\t"]),
    max_size=2).map("".join)
list_texts = st.recursive(
    words,
    lambda inner: st.lists(st.one_of(st.tuples(words, inner).map("{%s {%s}}".__mod__), words),
                           max_size=3).map(" ".join),
    max_leaves=10,
)


@settings(max_examples=400, deadline=None)
@given(list_texts)
def test_quick_and_general_readers_agree_on_any_text(text):
    assert read_with(text, quick=True) == read_with(text, quick=False)


# --- rendering ---------------------------------------------------------------------------------


@pytest.mark.parametrize("m, text, ready", [
    (NestMap({"name.first": "a", "name.last": "b"}), "{name {{first a} {last b}}}",
     (("name", (("first", "a"), ("last", "b"))),)),
    (NestMap(), "", ()),
    (NestMap({"k": NestMap()}), "{k {}}", (("k", ()),)),
    (NestMap({"a": 1, "b": NestMap({"c": None})}), "{a 1} {b {{c {}}}}",
     (("a", 1), ("b", (("c", ""),)))),
    (NestMap({"a b": "c d"}), "{{a b} {c d}}", (("a b", "c d"),)),
    (NestMap({"k": [1, "x y"]}), "{k {1 {x y}}}", (("k", (1, "x y")),)),
])
def test_rendering(m, text, ready):
    assert scriptify(m) == text
    assert tclobj(m) == ready
    assert m.__tclobj__() == ready


def test_fields_named_like_conversion_hooks_are_data(reader):
    m = NestMap.from_tcl("{__scriptify__ x} {__tclobj__ y}")
    assert scriptify(m) == "{__scriptify__ x} {__tclobj__ y}"
    assert tclobj(m) == (("__scriptify__", "x"), ("__tclobj__", "y"))


def test_rendering_a_plain_dict_leaf_uses_the_mapping_rules():
    m = NestMap()
    m.update({"a": {"b": 1}})
    assert tclobj(m) == (("a", ("b", 1)),)


def test_rendered_text_reads_back(reader):
    m = NestMap({"a.b": "x y", "a.c": "{", "d": NestMap(), "e": "1", "f\x00": "\x00 \ud800"})
    assert plain(NestMap.from_tcl(scriptify(m))) == plain(m)


# --- deep and cyclic structures end in RecursionError ----------------------------------------


def deep_map(depth):
    m = level = NestMap()
    for _ in range(depth):
        below = NestMap()
        dict.__setitem__(level, "a", below)
        level = below
    dict.__setitem__(level, "b", 1)
    return m


def deep_text(depth):
    text = "{b c}"
    for _ in range(depth):
        text = "{a {" + text + "}}"
    return text


def deep_dict(depth):
    d = {"b": 1}
    for _ in range(depth):
        d = {"a": d}
    return d


def cyclic_map():
    m = NestMap({"x": 1})
    m["self"] = m
    return m


@pytest.mark.parametrize("operation", [
    lambda: NestMap(deep_dict(5000)),
    lambda: scriptify(deep_map(5000)),
    lambda: tclobj(deep_map(5000)),
    lambda: deep_map(5000).all_keys(),
    lambda: deep_map(5000).all_items(),
    lambda: deep_map(5000)[".".join(["a"] * 5000 + ["b"])],
    lambda: ".".join(["a"] * 5000 + ["b"]) in deep_map(5000),
    lambda: NestMap().__setitem__(".".join(["a"] * 5000), 1),
    lambda: deep_map(5000).__delitem__(".".join(["a"] * 5000 + ["b"])),
    lambda: tclobj(cyclic_map()),
    lambda: cyclic_map().all_items(),
    lambda: NestMap().update(x=deep_map(5000)),
])
def test_deep_nesting_raises_recursion_error(operation):
    with pytest.raises(RecursionError):
        operation()


def test_reading_deep_nesting_raises_recursion_error(reader):
    with pytest.raises(RecursionError):
        NestMap.from_tcl(deep_text(5000))


def test_moderate_nesting_is_fine(reader):
    depth = 100
    m = NestMap.from_tcl(deep_text(depth))
    path = ".".join(["a"] * depth + ["b"])
    assert m[path] == "c" and m.all_keys() == [path]
    assert plain(NestMap.from_tcl(scriptify(m))) == plain(m)


# --- TclX as the judge -------------------------------------------------------------------------

# The host passes neither lone surrogates nor NUL through to Tcl intact.
tcl_text = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
                   max_size=10)
keys = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters=".\x00"),
               min_size=1, max_size=6)
# Leaves that read back as themselves: text that is not a list of two-element lists.
leaves = tcl_text.filter(lambda v: ORACLE.call("looks_keyed", v) in (0, "0"))
trees = st.dictionaries(
    keys,
    st.recursive(leaves, lambda inner: st.dictionaries(keys, inner, min_size=1, max_size=4),
                 max_leaves=10),
    max_size=5,
)


def flatten(tree, prefix=()):
    for key, value in tree.items():
        if isinstance(value, dict):
            yield from flatten(value, prefix + (key,))
        else:
            yield prefix + (key,), value


@SETTINGS
@given(tree=trees)
def test_reads_what_tclx_keylset_builds(reader, tree):
    ORACLE.eval("unset -nocomplain kl; set kl {}")
    for path, value in flatten(tree):
        ORACLE.call("keylset", "kl", ".".join(path), value)
    keyed = ORACLE.getvar("kl")
    from_object = NestMap.from_tcl(keyed)
    from_text = NestMap.from_tcl(ORACLE.eval("set kl"))
    assert plain(from_object) == tree
    assert plain(from_text) == tree
    assert from_text.all_items() == [(".".join(p), v) for p, v in flatten(tree)]


@SETTINGS
@given(tree=trees, as_text=st.booleans())
def test_tclx_keylget_reads_what_we_render(tree, as_text):
    m = NestMap(tree)
    ORACLE.setvar("kl", scriptify(m) if as_text else tclobj(m))
    for path, value in flatten(tree):
        ORACLE.setvar("path", ".".join(path))
        assert ORACLE.eval("keylget kl $path") == value
    assert ORACLE.eval("llength [keylkeys kl]") == str(len(tree))


# --- dotted-key operations against a model of nested plain dicts ------------------------------

COMPONENTS = st.sampled_from(["a", "b", "c"])
PATHS = st.lists(COMPONENTS, min_size=1, max_size=3)
VALUES = st.one_of(st.integers(0, 9), st.just("level"))


class Model:
    """Nested plain dicts with the dotted-key rules, written level by level."""

    def __init__(self):
        self.root = {}

    def walk(self, path):
        level = self.root
        for key in path[:-1]:
            level = level[key]          # KeyError: missing level
            if not isinstance(level, dict):
                raise KeyError(key)     # a path cannot go on past a value
        return level

    def get(self, path):
        value = self.walk(path)[path[-1]]
        return value

    def set(self, path, value):
        level = self.root
        for key in path[:-1]:
            if key not in level:
                level[key] = {}
            elif not isinstance(level[key], dict):
                raise KeyError(key)
            level = level[key]
        last = path[-1]
        if isinstance(value, dict) and last in level and not isinstance(level[last], dict):
            raise KeyError(last)
        level[last] = value

    def delete(self, path, level=None):
        level = self.root if level is None else level
        if len(path) == 1:
            del level[path[0]]
            return
        child = level[path[0]]
        if not isinstance(child, dict):
            raise KeyError(path[0])
        self.delete(path[1:], child)
        if not child:
            del level[path[0]]

    def flat(self):
        return [(".".join(p), v) for p, v in flatten(self.root)]


def outcome(action):
    try:
        return ("ok", action())
    except (KeyError, TypeError) as exc:
        return (type(exc), exc.args if isinstance(exc, KeyError) else None)


class DottedKeys(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m = NestMap()
        self.model = Model()

    @rule(path=PATHS, value=VALUES)
    def set(self, path, value):
        key = ".".join(path)
        mine = NestMap() if value == "level" else value
        model_value = {} if value == "level" else value
        expected = outcome(lambda: self.model.set(path, model_value))
        got = outcome(lambda: self.m.__setitem__(key, mine))
        if expected[0] is KeyError:
            assert got[0] is KeyError and "target key" in got[1][0]
            assert f'"{expected[1][0]}"' in got[1][0]
        else:
            assert got == expected

    @rule(path=PATHS)
    def get(self, path):
        expected = outcome(lambda: self.model.get(path))
        got = outcome(lambda: plain(self.m[".".join(path)]))
        assert got[0] == expected[0]
        if got[0] == "ok":
            assert got == expected

    @rule(path=PATHS)
    def delete(self, path):
        assert outcome(lambda: self.model.delete(path))[0] == outcome(
            lambda: self.m.__delitem__(".".join(path)))[0]

    @rule(path=PATHS)
    def contains(self, path):
        try:
            self.model.get(path)
            expected = True
        except (KeyError, TypeError):
            expected = False
        try:
            got = ".".join(path) in self.m
        except AttributeError:  # an int leaf has no containment of its own
            got = False
        assert got is expected

    @rule(path=PATHS, value=st.integers(0, 9))
    def merge(self, path, value):
        key = ".".join(path)
        other = NestMap()
        other[key] = value
        expected = outcome(lambda: self.model.set(path, value))
        got = outcome(lambda: self.m.update(other))
        assert got[0] == expected[0]

    @invariant()
    def same_contents(self):
        assert plain(self.m) == self.model.root
        assert self.m.all_items() == self.model.flat()


TestDottedKeys = DottedKeys.TestCase
TestDottedKeys.settings = settings(max_examples=100, stateful_step_count=30, deadline=None)
