"""Namespace paths taken apart and put together: qualifiers and tail agree with Tcl's own,
split/normalize/join follow our stricter separator rules, absolute names come from the
interpreter's current namespace."""

import tkinter

import pytest
from hypothesis import given, settings, strategies as st

from tessel.tcl.namespace import TclNamespace
from tessel.tcl.scriptify import scriptify

NS = TclNamespace

# Paths built mostly from colons, so runs of every length turn up, plus characters
# that Tcl treats specially elsewhere and some beyond ASCII.
paths = st.text(alphabet=st.sampled_from("a:::: b{}[]$\\\"é€𝄞"), max_size=14)


@pytest.fixture
def tcl(interp):
    return interp


@pytest.fixture(scope="module")
def tk():
    return tkinter.Tcl().tk


@pytest.mark.parametrize("path, qualifiers, tail", [
    ("::a::b", "::a", "b"),
    ("a::b::c", "a::b", "c"),
    ("a", "", "a"),
    ("::a", "", "a"),
    ("::", "", ""),
    ("", "", ""),
    ("a:::b", "a", "b"),       # a run of three colons is one separator
    ("a::", "a", ""),
    (":::a", "", "a"),
    ("a::::", "a", ""),
    ("a:b", "", "a:b"),        # a single colon separates nothing
    ("é::ü ß", "é", "ü ß"),
])
def test_qualifiers_and_tail(path, qualifiers, tail):
    assert NS.qualifiers(path) == qualifiers
    assert NS.tail(path) == tail


@settings(max_examples=200, deadline=None)
@given(paths)
def test_qualifiers_and_tail_agree_with_tcl(tk, path):
    assert NS.qualifiers(path) == tk.call("namespace", "qualifiers", path)
    assert NS.tail(path) == tk.call("namespace", "tail", path)


@pytest.mark.parametrize("path, parts", [
    ("::a::b", ["", "a", "b"]),
    ("a::b", ["a", "b"]),
    ("a::::b", ["a", "b"]),    # four colons: an empty component, dropped
    ("::", [""]),
    ("", []),
    ("::::", [""]),
    ("a::b::", ["a", "b"]),
    ("::a b::{c}::$d", ["", "a b", "{c}", "$d"]),
    ("\udcff::\x00", ["\udcff", "\x00"]),   # lone surrogates and NUL are characters like others
])
def test_split(path, parts):
    assert NS.split(path) == parts


@pytest.mark.parametrize("path", ["a:b", "a:::b", "::a:", ":a", "a:::::b", "::x::y:"])
def test_split_rejects_single_colons(path):
    with pytest.raises(ValueError) as info:
        NS.split(path)
    assert str(info.value) == "Invalid Tcl namespace '%s'" % path
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        NS.normalize(path)


@pytest.mark.parametrize("path, normal", [
    ("::a::b::", "::a::b"),
    ("a::::b", "a::b"),
    ("::", ""),
    ("", ""),
    ("::::a", "::a"),
    ("a", "a"),
    ("::a::b", "::a::b"),
])
def test_normalize(path, normal):
    assert NS.normalize(path) == normal


@pytest.mark.parametrize("parts, joined", [
    (("::a", "b"), "::a::b"),
    (("a", "::b"), "::b"),
    (("::", "a"), "::a"),
    (("a", "", "b"), "a::b"),
    (("a",), "a"),
    (("", "a"), "::a"),        # an empty start followed by a relative part is absolute
    (("a::", "::b::", "c"), "::b::c"),
    (("::a", "b::::c"), "::a::b::c"),
    (("::", ""), ""),
])
def test_join(parts, joined):
    assert NS.join(*parts) == joined


def test_join_reports_the_combined_path():
    with pytest.raises(ValueError) as info:
        NS.join("::a", "b:c")
    assert str(info.value) == "Invalid Tcl namespace '::a::b:c'"


@settings(max_examples=200, deadline=None)
@given(paths)
def test_normal_forms_are_stable(path):
    try:
        normal = NS.normalize(path)
    except ValueError:
        return
    assert NS.normalize(normal) == normal
    assert NS.join(path) == normal
    assert "::".join(NS.split(path)) == normal
    assert ":::" not in normal and not normal.endswith("::")


@pytest.mark.parametrize("value, text", [
    (None, ""),
    (5, "5"),
    (("a b", "c"), "{a b} c"),
])
def test_arguments_pass_through_scriptify(value, text):
    assert NS.tail(value) == text
    assert NS.join("::ns", value) == NS.normalize("::ns::" + text if text else "::ns")


def test_static_methods_work_on_instances_and_handles(tcl):
    ns = NS("::a::b", tcl=tcl)
    assert ns.qualifiers(ns) == "::a"
    assert NS.join(ns, "c") == "::a::b::c"
    assert NS.split(ns) == ["", "a", "b"]


@pytest.mark.parametrize("name, absolute", [
    ("x", "::x"),
    ("x::y", "::x::y"),
    ("", ""),                  # the current namespace, here the global one
    ("::x::", "::x::"),        # absolute names come back untouched
    ("x::::y", "::x::y"),
])
def test_absolute_at_top_level(tcl, name, absolute):
    ns = NS(name, tcl=tcl)
    assert ns.is_absolute() == name.startswith("::")
    assert ns.is_relative() != ns.is_absolute()
    assert ns.absolute() == absolute
    assert ns.ns == name
    assert ns.make_absolute() is None
    assert ns.ns == absolute


def test_make_absolute_keeps_a_name_it_cannot_qualify(tcl):
    ns = NS("a:b", tcl=tcl)
    with pytest.raises(ValueError):
        ns.make_absolute()
    assert ns.ns == "a:b"


@pytest.mark.parametrize("name", ["::a", "", "a b", "{x"])
def test_text_form_is_the_name(tcl, name):
    ns = NS(name, tcl=tcl)
    assert str(ns) == name
    assert scriptify(ns) == scriptify(name) if name else scriptify(ns) == ""
