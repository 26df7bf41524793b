// nestmap.cpp — NestMap, the Python form of a TclX keyed list: a dict whose keys may be
// "."-separated paths through nested levels. The module, dotted-key access, flattening, update.

#include "host/pyclass.hpp"
#include "host/pyerrors.hpp"
#include "host/tcl_library.hpp"
#include "nestmap_parts.hpp"

namespace nb = nanobind;

namespace tessel::nestmap {
namespace {

/// `isinstance(obj, NestMap)`, answered without a call for the common value types.
bool is_nestmap(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == names().type) return true;
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        obj == Py_None || t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type ||
        t == &PyBytes_Type)
        return false;
    return check_int(PyObject_IsInstance(obj, names().cls.ptr())) == 1;
}

[[noreturn]] void raise_value_target(PyObject* key) {
    nb::object text = check(PyObject_Str(key));
    nb::object message = check(PyUnicode_FromFormat(
        "target key \"%U\" is a value, cannot update value against another keyed list",
        text.ptr()));
    PyErr_SetObject(PyExc_KeyError, message.ptr());
    throw nb::python_error();
}

/// Splits `key` once at its first "." into `head` and `rest`; false when it has no ".".
/// A key on which `"." in key` fails raises that test's error.
bool split_key(PyObject* key, nb::object& head, nb::object& rest) {
    Names& n = names();
    if (PyUnicode_CheckExact(key)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        Py_ssize_t at = PyUnicode_FindChar(key, '.', 0, length, 1);
        if (at == -2) throw nb::python_error();
        if (at < 0) return false;
        head = check(PyUnicode_Substring(key, 0, at));
        rest = check(PyUnicode_Substring(key, at + 1, length));
        return true;
    }
    int dotted = PySequence_Contains(key, n.dot.ptr());
    if (dotted < 0) {
        // The containment test's own message names no key ("argument of type 'int' is
        // not iterable"): say what a key must be.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "NestMap keys must be str, not %.200s",
                         Py_TYPE(key)->tp_name);
        }
        throw nb::python_error();
    }
    if (!dotted) return false;
    nb::object parts =
        check(PyObject_Call(nb::handle(key).attr(n.split).ptr(), n.split_args.ptr(), nullptr));
    nb::object seq = check(PySequence_Fast(parts.ptr(), "split() must return a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected 2 parts of a dotted key, got %zd",
                     PySequence_Fast_GET_SIZE(seq.ptr()));
        throw nb::python_error();
    }
    head = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0));
    rest = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1));
    return true;
}

/// The item stored under `key` at this level only (dict's own lookup; KeyError if absent).
nb::object base_lookup(PyObject* self, PyObject* key) {
    return check(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
}

// ---------------------------------------------------------------------------------------------
// Dotted-key item access. Each operation recurses directly into children that are exactly
// NestMap, and goes through Python's item protocol for anything else (subclasses included).

PyObject* get_item_raw(PyObject* self, PyObject* key);
void set_item(nb::handle self, nb::handle key, nb::handle value);
void del_item(nb::handle self, nb::handle key);
nb::object contains(nb::handle self, nb::handle key);

void assign(PyObject* obj, PyObject* key, PyObject* value) {
    if (!exact(obj)) {
        check_int(PyObject_SetItem(obj, key, value));
        return;
    }
    RecursionGuard guard(" while storing under a dotted key");
    set_item(obj, key, value);
}

void remove(PyObject* obj, PyObject* key) {
    if (!exact(obj)) {
        check_int(PyObject_DelItem(obj, key));
        return;
    }
    RecursionGuard guard(" while deleting a dotted key");
    del_item(obj, key);
}

/// `self[key]` for a key that may be missing: null (no error set) on KeyError. `plain`
/// says the key is known to hold no ".", so an exact NestMap answers from its own level.
nb::object lookup_or_null(PyObject* self, PyObject* key, bool plain) {
    if (exact(self) && plain) {
        PyObject* found = PyDict_GetItemWithError(self, key);
        if (!found && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(found);
    }
    PyObject* found = exact(self) ? get_item_raw(self, key) : PyObject_GetItem(self, key);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
    }
    return nb::steal(found);
}

/// Replaces the TypeError of a leaf that cannot be indexed with text (a string, a number,
/// a list) by the KeyError of a path that goes on past a value, as `in` answers False.
void raise_past_value(PyObject* head, PyObject* rest) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    nb::object message = nb::steal(PyUnicode_FromFormat(
        "key \"%S\" holds a value, not a keyed list: it has no key \"%S\"", head, rest));
    if (message.is_valid()) replace_error(PyExc_KeyError, message.ptr());
}

/// `self[key]` as a new reference, or null with the error set: a missing key (common under
/// `get` and attribute access) costs no C++ exception.
PyObject* get_item_raw(PyObject* self, PyObject* key) {
    nb::object head, rest;
    if (!split_key(key, head, rest)) return PyDict_Type.tp_as_mapping->mp_subscript(self, key);
    nb::object child = nb::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, head.ptr()));
    if (!child.is_valid()) return nullptr;
    if (!exact(child.ptr())) {
        PyObject* found = PyObject_GetItem(child.ptr(), rest.ptr());
        if (!found && !is_nestmap(child.ptr())) raise_past_value(head.ptr(), rest.ptr());
        return found;
    }
    RecursionGuard guard(" while looking up a dotted key");
    return get_item_raw(child.ptr(), rest.ptr());
}

nb::object get_item(nb::handle self, nb::handle key) {
    return nb::steal(get_item_raw(self.ptr(), key.ptr()));
}

/// A Tcl object of TclX's keyed-list type becomes a NestMap; anything else stays as it is.
nb::object keyed_list_value(nb::handle value) {
    Names& n = names();
    if (!PyObject_TypeCheck(value.ptr(), (PyTypeObject*)n.tcl_obj_type.ptr()))
        return nb::borrow(value);
    nb::object type_name = value.attr(n.type_name);
    if (check_int(PyObject_RichCompareBool(type_name.ptr(), n.keyed_list_type.ptr(), Py_EQ)))
        return from_tcl(value);
    return nb::borrow(value);
}

void set_item(nb::handle self, nb::handle key, nb::handle given) {
    nb::object value = keyed_list_value(given);
    nb::object head, rest;
    PyObject* s = self.ptr();
    if (split_key(key.ptr(), head, rest)) {
        nb::object level = lookup_or_null(s, head.ptr(), PyUnicode_CheckExact(key.ptr()));
        if (!level.is_valid()) {
            level = new_nestmap();
            check_int(PyDict_SetItem(s, head.ptr(), level.ptr()));
        } else if (!is_nestmap(level.ptr())) {
            raise_value_target(head.ptr());
        }
        assign(level.ptr(), rest.ptr(), value.ptr());
        return;
    }
    if (is_nestmap(value.ptr())) {
        PyObject* current = PyDict_GetItemWithError(s, key.ptr());
        if (!current && PyErr_Occurred()) throw nb::python_error();
        if (current && !is_nestmap(current)) raise_value_target(key.ptr());
    }
    check_int(PyDict_SetItem(s, key.ptr(), value.ptr()));
}

nb::object contains(nb::handle self, nb::handle key) {
    nb::object head, rest;
    PyObject* s = self.ptr();
    if (!split_key(key.ptr(), head, rest))
        return nb::bool_(check_int(PyDict_Contains(s, key.ptr())) == 1);
    PyObject* child = PyDict_GetItemWithError(s, head.ptr());
    if (!child) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::bool_(false);
    }
    nb::object held = nb::borrow(child);
    if (exact(child)) {
        RecursionGuard guard(" while testing a dotted key");
        return contains(held, rest);
    }
    return check(PyObject_CallMethodOneArg(child, names().contains.ptr(), rest.ptr()));
}

void del_item(nb::handle self, nb::handle key) {
    nb::object head, rest;
    PyObject* s = self.ptr();
    if (!split_key(key.ptr(), head, rest)) {
        check_int(PyDict_DelItem(s, key.ptr()));
        return;
    }
    nb::object child = base_lookup(s, head.ptr());
    try {
        remove(child.ptr(), rest.ptr());
    } catch (nb::python_error& e) {
        if (is_nestmap(child.ptr()) || !e.matches(PyExc_TypeError)) throw;
        e.restore();
        raise_past_value(head.ptr(), rest.ptr());
        throw nb::python_error();
    }
    // A level left empty goes too, so deleting a branch's last leaf prunes the branch.
    if (!check_int(PyObject_IsTrue(child.ptr()))) check_int(PyDict_DelItem(s, head.ptr()));
}

// ---------------------------------------------------------------------------------------------
// Flattening: every leaf with its full dotted path, depth first.

/// `prefix + key`, or `key` itself at the top.
nb::object path_of(PyObject* prefix, PyObject* key) {
    if (!prefix) return nb::borrow(key);
    return check(PyNumber_Add(prefix, key));
}

/// Walks one level, appending paths (or (path, value) pairs) of its leaves to `out`.
void flatten(PyObject* level, PyObject* prefix, PyObject* out, bool with_values) {
    Names& n = names();
    RecursionGuard guard(" while flattening a NestMap");
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(level);
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(level, &pos, &raw_key, &raw_value)) {
        nb::object key = nb::borrow(raw_key), value = nb::borrow(raw_value);
        nb::object path = path_of(prefix, key.ptr());
        if (!is_nestmap(value.ptr())) {
            nb::object entry =
                with_values ? nb::object(nb::make_tuple(path, value)) : nb::object(path);
            check_int(PyList_Append(out, entry.ptr()));
        } else {
            nb::object below = check(PyNumber_Add(path.ptr(), n.dot.ptr()));
            if (exact(value.ptr())) {
                flatten(value.ptr(), below.ptr(), out, with_values);
            } else {
                // A subclass may flatten its own way: take its answer and prefix it.
                nb::object inner = check(PyObject_CallMethodNoArgs(
                    value.ptr(), (with_values ? n.all_items : n.all_keys).ptr()));
                nb::object iterator = check(PyObject_GetIter(inner.ptr()));
                while (PyObject* raw = PyIter_Next(iterator.ptr())) {
                    nb::object item = nb::steal(raw);
                    nb::object entry;
                    if (with_values) {
                        nb::object sub_path = check(PySequence_GetItem(item.ptr(), 0));
                        nb::object sub_value = check(PySequence_GetItem(item.ptr(), 1));
                        entry = nb::make_tuple(check(PyNumber_Add(below.ptr(), sub_path.ptr())),
                                               sub_value);
                    } else {
                        entry = check(PyNumber_Add(below.ptr(), item.ptr()));
                    }
                    check_int(PyList_Append(out, entry.ptr()));
                }
                if (PyErr_Occurred()) throw nb::python_error();
            }
        }
        if (PyDict_GET_SIZE(level) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
    }
}

nb::object all_items_of(PyObject* map, bool with_values) {
    nb::object out = check(PyList_New(0));
    if (exact(map))
        flatten(map, nullptr, out.ptr(), with_values);
    else
        out = check(PyObject_CallMethodNoArgs(
            map, (with_values ? names().all_items : names().all_keys).ptr()));
    return out;
}

nb::object all_keys(nb::handle self) {
    nb::object out = check(PyList_New(0));
    flatten(self.ptr(), nullptr, out.ptr(), false);
    return out;
}

nb::object all_items(nb::handle self) {
    nb::object out = check(PyList_New(0));
    flatten(self.ptr(), nullptr, out.ptr(), true);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Update and construction.

/// Unpacks one item of a pair sequence into exactly two values, with Python's own errors.
void unpack_pair(PyObject* item, nb::object& first, nb::object& second) {
    PyObject* raw_iterator = PyObject_GetIter(item);
    if (!raw_iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iterator = nb::steal(raw_iterator);
    nb::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* part = PyIter_Next(iterator.ptr());
        if (!part) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
        parts[i] = nb::steal(part);
    }
    if (PyObject* extra = PyIter_Next(iterator.ptr())) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    first = parts[0];
    second = parts[1];
}

} // namespace

/// `self[key] = other[key]` for every key of a plain dict, in order.
void update_from_dict(PyObject* self, PyObject* other) {
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(other);
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(other, &pos, &raw_key, &raw_value)) {
        nb::object key = nb::borrow(raw_key), value = nb::borrow(raw_value);
        assign(self, key.ptr(), value.ptr());
        if (PyDict_GET_SIZE(other) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
    }
}

namespace {

/// The positional part of MutableMapping's update, every pair stored through `self[key]`.
void update_from(PyObject* self, PyObject* other) {
    Names& n = names();
    if (PyDict_CheckExact(other)) {
        update_from_dict(self, other);
        return;
    }
    // A mapping gives its keys by iteration, anything else with keys() by that method;
    // the values come by subscription either way.
    nb::object keys;
    if (check_int(PyObject_IsInstance(other, n.mapping.ptr()))) {
        keys = nb::borrow(other);
    } else if (PyObject* method = PyObject_GetAttr(other, n.keys.ptr())) {
        keys = check(PyObject_CallNoArgs(nb::steal(method).ptr()));
    }
    if (keys.is_valid()) {
        nb::object iterator = check(PyObject_GetIter(keys.ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            nb::object key = nb::steal(raw);
            nb::object value = check(PyObject_GetItem(other, key.ptr()));
            assign(self, key.ptr(), value.ptr());
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object iterator = check(PyObject_GetIter(other));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw), key, value;
        unpack_pair(item.ptr(), key, value);
        assign(self, key.ptr(), value.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

void merge(PyObject* self, PyObject* other, PyObject* kwargs);

/// `target.update(other)`: directly for exactly NestMap, else through the method.
void call_update(PyObject* target, PyObject* other) {
    if (exact(target)) {
        RecursionGuard guard(" while merging NestMaps");
        merge(target, other, nullptr);
        return;
    }
    check(PyObject_CallMethodOneArg(target, names().update.ptr(), other));
}

/// The merging update: `other` (may be null) first, then the keywords (may be null).
void merge(PyObject* self, PyObject* other, PyObject* kwargs) {
    if (other && is_nestmap(other)) {
        // Merge leaf by leaf, so nested levels already here keep their other keys.
        nb::object items = all_items_of(other, true);
        nb::object iterator = check(PyObject_GetIter(items.ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            nb::object item = nb::steal(raw), key, value;
            unpack_pair(item.ptr(), key, value);
            assign(self, key.ptr(), value.ptr());
        }
        if (PyErr_Occurred()) throw nb::python_error();
    } else if (other) {
        update_from(self, other);
    }
    if (!kwargs) return;
    Py_ssize_t pos = 0;
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(kwargs, &pos, &raw_key, &raw_value)) {
        nb::object key = nb::borrow(raw_key), value = nb::borrow(raw_value);
        if (!is_nestmap(value.ptr())) {
            assign(self, key.ptr(), value.ptr());
            continue;
        }
        nb::object level = lookup_or_null(self, key.ptr(), false);
        if (!level.is_valid()) {
            level = new_nestmap();
            assign(self, key.ptr(), level.ptr());
        }
        if (!is_nestmap(level.ptr())) raise_value_target(key.ptr());
        call_update(level.ptr(), value.ptr());
    }
}

void update(nb::handle self, nb::args args, nb::kwargs kwargs) {
    Py_ssize_t given = PyTuple_GET_SIZE(args.ptr());
    if (given > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)",
                     given);
        throw nb::python_error();
    }
    merge(self.ptr(), given ? PyTuple_GET_ITEM(args.ptr(), 0) : nullptr, kwargs.ptr());
}

void fill(PyObject* self, PyObject* dsc);

/// `NestMap(value)` for one constructor value, or null (no error set) when the dict
/// constructor rejects it with ValueError or TypeError and the value stays a leaf.
nb::object nested_from(PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    // These never make a dict (non-empty text has one-character elements; numbers
    // and None are not iterable), so they are settled without raising anything.
    if (t == &PyUnicode_Type)
        return PyUnicode_GET_LENGTH(value) == 0 ? new_nestmap() : nb::object();
    if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || value == Py_None ||
        t == &PyComplex_Type || t == (PyTypeObject*)names().tcl_obj_type.ptr())
        return nb::object();
    // Most values dict() rejects are settled here without a C++ exception.
    nb::object dsc = nb::steal(PyObject_CallOneArg((PyObject*)&PyDict_Type, value));
    if (!dsc.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    nb::object level = new_nestmap();
    try {
        RecursionGuard guard(" while building a NestMap");
        fill(level.ptr(), dsc.ptr());
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) return nb::object();
        throw;
    }
    return level;
}

/// The constructor's work once the arguments are one dict: values that make a dict become
/// levels, then everything is stored through the merging update.
void fill(PyObject* self, PyObject* dsc) {
    Py_ssize_t pos = 0;
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(dsc, &pos, &raw_key, &raw_value)) {
        if (is_nestmap(raw_value)) continue;
        nb::object key = nb::borrow(raw_key);
        nb::object level = nested_from(raw_value);
        // Replacing the value of a present key leaves the dict's layout alone.
        if (level.is_valid()) check_int(PyDict_SetItem(dsc, key.ptr(), level.ptr()));
    }
    if (exact(self)) {
        update_from_dict(self, dsc);
        return;
    }
    check(PyObject_CallMethodOneArg(self, names().update.ptr(), dsc));
}

void construct(PyObject* self, PyObject* args, PyObject* kwargs) {
    check(PyObject_CallOneArg(names().attr_dict_init.ptr(), self));
    nb::object dsc = check(PyObject_Call((PyObject*)&PyDict_Type, args, kwargs));
    fill(self, dsc.ptr());
}

void init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    construct(self.ptr(), args.ptr(), kwargs.ptr());
}
} // namespace
} // namespace tessel::nestmap

NB_MODULE(nestmap, m) {
    using namespace tessel;
    bind_host_tcl();
    using namespace tessel::nestmap;
    Names& n = names();
    const ScriptifyApi* api = import_scriptify_api();
    if (!api) throw nb::python_error();
    n.api = api;
    nb::module_ abc = nb::module_::import_("abc");
    nb::module_ collections_abc = nb::module_::import_("collections.abc");
    nb::object attr_dict = nb::module_::import_("tessel.datastructures").attr("AttrDict");
    nb::object mutable_mapping = collections_abc.attr("MutableMapping");
    nb::object tcl_obj = nb::module_::import_("_tkinter").attr("Tcl_Obj");
    nb::object tclobj = nb::module_::import_("tessel.tcl.scriptify").attr("tclobj");
    n.mapping = keep(collections_abc.attr("Mapping"));
    n.tcl_obj_type = keep(tcl_obj);
    n.attr_dict_init = keep(attr_dict.attr("__init__"));
    n.dot = interned(".");
    n.split = interned("split");
    n.keys = interned("keys");
    n.all_keys = interned("all_keys");
    n.all_items = interned("all_items");
    n.update = interned("update");
    n.contains = interned("__contains__");
    n.type_name = interned("typename");
    n.keyed_list_type = interned("keyedList");
    n.cast_list = interned("cast_list");
    n.package = interned("tessel.tcl");
    n.interpreter_module = interned("tessel.tcl.interpreter");
    n.internal_module = interned("tessel.tcl.internal");
    n.interpreter_class = interned("Interpreter");
    n.list_splitter = interned("GetListFromAny");
    n.empty_tuple = keep(nb::tuple());
    n.split_args = keep(nb::make_tuple(".", 1));

    m.attr("AttrDict") = attr_dict;
    m.attr("MutableMapping") = mutable_mapping;
    m.attr("Tcl_Obj") = tcl_obj;
    m.attr("tclobj") = tclobj;

    ClassBuilder nest("tessel.tcl.nestmap", "NestMap", nb::make_tuple(attr_dict, mutable_mapping),
                      abc.attr("ABCMeta"));
    n.cls = keep(nest.cls());
    n.type = (PyTypeObject*)n.cls.ptr();
    nest.attr("__doc__", nb::str("A dict whose keys may be \".\"-separated paths through nested "
                                 "levels: the Python form of a TclX keyed list."));
    nest.def("__init__", &init);
    nest.def_static("from_tcl", &from_tcl_py, nb::arg("string").none(),
                    "Reads a TclX keyed list (text or Tcl object) into a NestMap.");
    nest.def("__getitem__", &get_item, nb::arg("key").none());
    nest.def("__setitem__", &set_item, nb::arg("key").none(), nb::arg("value").none());
    nest.def("__contains__", &contains, nb::arg("key").none());
    nest.def("__delitem__", &del_item, nb::arg("key").none());
    nest.attr("get", mutable_mapping.attr("get"));
    nest.attr("pop", mutable_mapping.attr("pop"));
    nest.attr("setdefault", mutable_mapping.attr("setdefault"));
    nest.def("update", &update,
             "Merges a mapping, pairs or keywords in; nested NestMaps merge leaf by leaf.");
    nest.def("all_keys", &all_keys, "Every leaf's full dotted key, depth first.");
    nest.def("all_items", &all_items, "Every leaf as (full dotted key, value), depth first.");
    nest.alias("has_key", "__contains__");
    nest.def("__tclobj__", &tclobj_hook, "The fields as (key, value) pairs, ready for Tcl.");
    // The dict base serves its keys as attributes; without this, a field named
    // "__scriptify__" (from Tcl data, say) would be taken for the text hook and called.
    nest.attr("__scriptify__", nb::none());
    m.attr("NestMap") = nest.finish();
}
