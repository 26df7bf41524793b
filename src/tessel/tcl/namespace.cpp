// namespace.cpp — the module tessel.tcl.namespace: Tcl namespaces, variables and commands as
// objects. This file holds the module, the name algebra, TclNamespace and its four views.

#include "host/nested_values.hpp"
#include "host/scriptify_api.hpp"
#include "host/tcl_text.hpp"
#include "namespace_parts.hpp"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace tessel::ns {
namespace {

/// Cached imports, classes and interned names, kept for the life of the process.
struct Cached {
    const ScriptifyApi* api = nullptr;
    nb::handle proxy_types, weakref_proxy, super_type, tcl_error;
    nb::handle chain_from_iterable, map_type;
    nb::handle module_dict;
    nb::handle namespace_cls, temp_namespace_cls;
    nb::handle listing; ///< (view, words) -> the names Tcl lists inside the viewed namespace
    bool assertions = true;

    // attribute and method names
    nb::handle str_name, own_str, tclobj_hook, scriptify_hook;
    nb::handle ns, tcl, tk, eval, call, getvar, setvar, set_space, cast_list, cast_boolean, current,
        create, delete_;
    nb::handle format, class_, name, init, enter, exit, is_absolute, absolute;
    nb::handle byref, get, set, unset, exists, get_str, get_obj, array_get_str, array_get_obj;
    nb::handle array_set, array_unset, array_names, is_array, array_index, nocomplain, pattern;
    nb::handle createcommand, rename, origin, is_proc, proc_body, proc_args, proc_arg_default;
    nb::handle TclVariable, TclArrayVariable, TclCommand, var_type;
    nb::handle VariablesView, ObjectsView, CommandsView, ProcsView;
    nb::handle vars, objs, procs, cmds;

    // Tcl words
    nb::handle w_namespace, w_eval, w_children, w_code, w_current, w_delete, w_exists, w_export;
    nb::handle w_clear, w_forget, w_import, w_force, w_origin, w_parent, w_which, w_command;
    nb::handle w_variable, w_info, w_vars, w_commands, w_procs, w_empty, w_global;
};

Cached& cached() {
    static Cached c;
    return c;
}

/// The functions a view read or write would reach when nothing has been replaced:
/// while they are all in place, the view goes to the host without building the
/// handle, with the same result. Strong references, so that no replacement can
/// ever share an address with an original.
struct Originals {
    nb::handle variables_view, objects_view;
    nb::handle vars_get, objs_get, vars_set, vars_byref;
    nb::handle variable_cls, variable_init, variable_get_str, variable_get_obj, variable_set;
};

Originals& originals() {
    static Originals o;
    return o;
}

using tessel::call_method;
using tessel::check;
using tessel::get_attr;
using tessel::kMaxCallArgs;
using tessel::truth;

void set_attr(nb::handle obj, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
}

/// `obj.name(*args, kw1=v1, ...)`: the last `kwnames` size items of `args` are keywords.
nb::object call_method_kw(nb::handle obj, nb::handle name, std::initializer_list<nb::handle> args,
                          nb::handle kwnames) {
    if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
    PyObject* stack[8];
    size_t n = 0;
    stack[n++] = obj.ptr();
    for (nb::handle a : args)
        stack[n++] = a.ptr();
    size_t positional = n - size_t(PyTuple_GET_SIZE(kwnames.ptr()));
    return check(PyObject_VectorcallMethod(
        name.ptr(), stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

nb::object call_function(nb::handle fn, std::initializer_list<nb::handle> args) {
    if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
    PyObject* stack[8];
    size_t n = 0;
    for (nb::handle a : args)
        stack[n++] = a.ptr();
    return check(PyObject_Vectorcall(fn.ptr(), stack, n, nullptr));
}

nb::tuple words(std::initializer_list<nb::handle> items) {
    nb::object t = check(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (nb::handle item : items)
        PyTuple_SET_ITEM(t.ptr(), i++, nb::borrow(item).release().ptr());
    return nb::borrow<nb::tuple>(t);
}

/// `head + tail` of two tuples.
nb::tuple concat(nb::handle head, nb::handle tail) {
    return nb::steal<nb::tuple>(check(PySequence_Concat(head.ptr(), tail.ptr())).release());
}

/// `scriptify(value)` as a Python str.
nb::object text_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    nb::object text = check(cached().api->scriptify(value.ptr()));
    if (!PyUnicode_Check(text.ptr())) text = check(PyObject_Str(text.ptr()));
    return text;
}

/// `tclobj(value)`; a str is its own Tcl-ready value.
nb::object tclobj_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return check(cached().api->tclobj(value.ptr()));
}

std::u32string code_points(nb::handle text) {
    TextView view(text.ptr());
    std::u32string out(size_t(view.length), U'\0');
    for (Py_ssize_t i = 0; i < view.length; ++i)
        out[size_t(i)] = view[i];
    return out;
}

nb::object to_str(const std::u32string& s) {
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), Py_ssize_t(s.size())));
}

bool starts_with_separator(const std::u32string& s) {
    return s.size() >= 2 && s[0] == ':' && s[1] == ':';
}

bool starts_with_separator(nb::handle text) {
    TextView v(text.ptr());
    return v.length >= 2 && v[0] == ':' && v[1] == ':';
}

/// True when a path is already in normal form: every run of colons is exactly
/// one separator and none ends the path. Such a path normalises to itself.
template <typename Ch> bool is_normal(const Ch* s, Py_ssize_t length) {
    Py_ssize_t i = 0;
    while (i < length) {
        if (s[i] != ':') {
            ++i;
            continue;
        }
        Py_ssize_t j = i;
        while (j < length && s[j] == ':')
            ++j;
        if (j - i != 2 || j == length) return false;
        i = j;
    }
    return true;
}

bool is_normal(nb::handle text) {
    PyObject* t = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    switch (PyUnicode_KIND(t)) {
    case PyUnicode_1BYTE_KIND:
        return is_normal(PyUnicode_1BYTE_DATA(t), n);
    case PyUnicode_2BYTE_KIND:
        return is_normal(PyUnicode_2BYTE_DATA(t), n);
    default:
        return is_normal(PyUnicode_4BYTE_DATA(t), n);
    }
}

/// The normal form of a path given as str; the str itself when it already is.
nb::object normalize_text(nb::handle text) {
    if (is_normal(text)) return nb::borrow(text);
    return to_str(normalize_path(code_points(text), text));
}

/// `a + "::" + b` in one allocation.
nb::object joined_text(nb::handle a, nb::handle b) {
    Py_ssize_t la = PyUnicode_GET_LENGTH(a.ptr()), lb = PyUnicode_GET_LENGTH(b.ptr());
    Py_UCS4 widest = std::max(
        {PyUnicode_MAX_CHAR_VALUE(a.ptr()), PyUnicode_MAX_CHAR_VALUE(b.ptr()), Py_UCS4(127)});
    nb::object out = check(PyUnicode_New(la + 2 + lb, widest));
    if (PyUnicode_KIND(out.ptr()) == PyUnicode_1BYTE_KIND) {
        // Both parts are one byte a character as well: plain copies.
        auto* dst = static_cast<Py_UCS1*>(PyUnicode_DATA(out.ptr()));
        std::copy_n(static_cast<const Py_UCS1*>(PyUnicode_DATA(a.ptr())), la, dst);
        dst[la] = dst[la + 1] = ':';
        std::copy_n(static_cast<const Py_UCS1*>(PyUnicode_DATA(b.ptr())), lb, dst + la + 2);
        return out;
    }
    int kind = PyUnicode_KIND(out.ptr());
    void* data = PyUnicode_DATA(out.ptr());
    if (PyUnicode_CopyCharacters(out.ptr(), 0, a.ptr(), 0, la) < 0) throw nb::python_error();
    PyUnicode_WRITE(kind, data, la, ':');
    PyUnicode_WRITE(kind, data, la + 1, ':');
    if (PyUnicode_CopyCharacters(out.ptr(), la + 2, b.ptr(), 0, lb) < 0) throw nb::python_error();
    return out;
}

/// Appends one further part to a path, as `join` does: an absolute part replaces
/// the path, an empty one is skipped.
nb::object join_part(nb::object path, nb::handle part) {
    if (starts_with_separator(part)) return nb::borrow(part);
    if (PyUnicode_GET_LENGTH(part.ptr()) == 0) return path;
    return joined_text(path, part);
}

/// A type once seen to hold the original functions, known again by its version
/// tag: CPython gives a type a new tag whenever it or one of its bases changes.
struct Verified {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;

    bool holds(PyTypeObject* t) const {
        return t == type && tag != 0 && PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) &&
               t->tp_version_tag == tag;
    }
    void note(PyTypeObject* t) {
        if (PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) type = t, tag = t->tp_version_tag;
    }
};

/// A namespace handle class whose instances read as their `ns`: our own `__str__`
/// and no conversion hook of its own.
bool plain_namespace(PyTypeObject* type) {
    static Verified seen;
    Cached& c = cached();
    if (seen.holds(type)) return true;
    if (!c.own_str.is_valid() || !PyType_IsSubtype(type, (PyTypeObject*)c.namespace_cls.ptr()))
        return false;
    if (_PyType_Lookup(type, c.str_name.ptr()) != c.own_str.ptr() ||
        _PyType_Lookup(type, c.tclobj_hook.ptr()) || _PyType_Lookup(type, c.scriptify_hook.ptr()))
        return false;
    seen.note(type);
    return true;
}

/// The name of a namespace handle as the name algebra reads it: `scriptify`
/// of the handle, which for this module's own classes is their `ns`.
nb::object namespace_text(nb::handle space) {
    if (plain_namespace(Py_TYPE(space.ptr()))) {
        nb::object name = get_attr(space, cached().ns);
        if (PyUnicode_CheckExact(name.ptr())) return name;
    }
    return text_of(space);
}

/// A name of the module looked up at call time, so that replacing it takes effect.
nb::object module_name(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(cached().module_dict.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError,
                         "module 'tessel.tcl.namespace' has no attribute '%U'", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

/// The TypeError Python raises for a keyword given twice in one call of `callee`.
[[noreturn]] void raise_multiple_values(nb::handle callee, nb::handle key) {
    nb::object shown;
    try {
        nb::object module = get_attr(callee, nb::str("__module__"));
        nb::object qualname = get_attr(callee, nb::str("__qualname__"));
        shown = truth(module) ? nb::str("{}.{}").format(module, qualname) : qualname;
    } catch (nb::python_error&) {
        shown = check(PyObject_Repr(callee.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%S() got multiple values for keyword argument '%S'", shown.ptr(),
                 key.ptr());
    throw nb::python_error();
}

/// Raises `KeyError(exc)` from `exc`, as `raise KeyError(exc) from exc` does.
[[noreturn]] void raise_key_error(nb::python_error& error) {
    nb::object exc = nb::borrow(error.value());
    nb::object key_error = call_function(PyExc_KeyError, {exc});
    PyException_SetCause(key_error.ptr(), nb::borrow(exc).release().ptr());
    PyErr_SetObject(PyExc_KeyError, key_error.ptr());
    // Raising chains whatever the caller is handling; here the context is `exc`.
    PyException_SetContext(key_error.ptr(), nb::borrow(exc).release().ptr());
    throw nb::python_error();
}

// ---------------------------------------------------------------------------------------------
// Name algebra

nb::object qualifiers(nb::handle string) {
    std::u32string s = code_points(text_of(string));
    size_t p = s.rfind(U"::");
    if (p == std::u32string::npos) return nb::borrow(cached().w_empty);
    while (p > 0 && s[p - 1] == ':')
        --p;
    return to_str(s.substr(0, p));
}

nb::object tail(nb::handle string) {
    nb::object text = text_of(string);
    std::u32string s = code_points(text);
    size_t p = s.rfind(U"::");
    if (p == std::u32string::npos) return text;
    return to_str(s.substr(p + 2));
}

nb::list split(nb::handle string) {
    nb::object text = text_of(string);
    nb::list out;
    for (const std::u32string& part : split_path(code_points(text), text))
        out.append(to_str(part));
    return out;
}

nb::object normalize(nb::handle string) {
    return normalize_text(text_of(string));
}

// ---------------------------------------------------------------------------------------------
// TclNamespace

nb::object tk_of(nb::handle self) {
    return get_attr(get_attr(self, cached().tcl), cached().tk);
}

/// The command that runs `tclcmd` (with `args` appended) inside this namespace:
/// wrapped in `namespace eval` unless the handle names the current namespace.
nb::object in_namespace(nb::handle self, nb::handle tclcmd, nb::handle args) {
    nb::object cmd = nb::borrow(tclcmd);
    if (PyTuple_GET_SIZE(args.ptr()) > 0) cmd = concat(words({tclcmd}), args);
    nb::object name = get_attr(self, cached().ns);
    if (truth(name)) cmd = words({cached().w_namespace, cached().w_eval, name, cmd});
    return cmd;
}

nb::object ns_eval(nb::handle self, nb::handle tclcmd, nb::args args) {
    nb::object script = text_of(in_namespace(self, tclcmd, args));
    return call_method(tk_of(self), cached().eval, {script});
}

nb::object ns_call(nb::handle self, nb::handle tclcmd, nb::args args) {
    nb::object cmd = tclobj_of(in_namespace(self, tclcmd, args));
    if (!tessel::host_can_take_words(cmd.ptr())) throw nb::python_error();
    return call_method(tk_of(self), cached().call, {cmd});
}

/// The handle's own `call` of one word tuple.
nb::object call_words(nb::handle self, nb::handle cmd) {
    return ns_call(self, cmd, nb::steal<nb::args>(PyTuple_New(0)));
}

/// A command run directly on the host, not inside the namespace.
nb::object host_call(nb::handle self, nb::handle cmd) {
    if (!tessel::host_can_take_words(cmd.ptr())) throw nb::python_error();
    return call_method(tk_of(self), cached().call, {cmd});
}

nb::object cast_list(nb::handle self, nb::handle value) {
    return call_method(get_attr(self, cached().tcl), cached().cast_list, {value});
}

nb::object ns_current(nb::handle self) {
    return host_call(self, words({cached().w_namespace, cached().w_current}));
}

/// The handle's name, or the name of the current namespace when it is empty.
nb::object name_or_current(nb::handle self) {
    nb::object name = get_attr(self, cached().ns);
    if (truth(name)) return name;
    return call_method(self, cached().current, {});
}

void ns_init(nb::handle self, nb::handle ns, nb::handle tcl) {
    Cached& c = cached();
    set_attr(self, c.ns, text_of(ns));
    set_attr(self, c.tcl, interpreter_proxy(tcl));
    nb::handle views[4][2] = {{c.vars, c.VariablesView},
                              {c.objs, c.ObjectsView},
                              {c.procs, c.ProcsView},
                              {c.cmds, c.CommandsView}};
    for (auto& [attribute, view_class] : views)
        set_attr(self, attribute, call_function(get_attr(c.namespace_cls, view_class), {self}));
}

nb::object ns_children(nb::handle self, nb::handle pattern) {
    Cached& c = cached();
    if (pattern.is_none())
        return cast_list(self, call_words(self, words({c.w_namespace, c.w_children})));
    // Tcl filters by pattern once it is told the namespace; inside the namespace
    // that is the name `namespace current` gives there.
    nb::object here = call_words(self, words({c.w_namespace, c.w_current}));
    nb::object found =
        call_words(self, words({c.w_namespace, c.w_children, here, text_of(pattern)}));
    return cast_list(self, found);
}

nb::object ns_code(nb::handle self, nb::handle script) {
    return call_words(self, words({cached().w_namespace, cached().w_code, script}));
}

void ns_create(nb::handle self) {
    if (!truth(get_attr(self, cached().ns))) {
        PyErr_SetString(PyExc_ValueError, "Cannot create current namespace");
        throw nb::python_error();
    }
    ns_eval(self, cached().w_empty, nb::steal<nb::args>(PyTuple_New(0)));
}

void ns_delete(nb::handle self) {
    host_call(self, words({cached().w_namespace, cached().w_delete, name_or_current(self)}));
}

nb::object ns_exists(nb::handle self) {
    nb::object found =
        host_call(self, words({cached().w_namespace, cached().w_exists, name_or_current(self)}));
    return call_method(get_attr(self, cached().tcl), cached().cast_boolean, {found});
}

nb::object ns_export(nb::handle self, nb::handle clear, nb::args patterns) {
    Cached& c = cached();
    bool clearing = truth(clear);
    nb::tuple cmd = clearing ? words({c.w_namespace, c.w_export, c.w_clear})
                             : words({c.w_namespace, c.w_export});
    nb::object result = call_words(self, concat(cmd, patterns));
    if (!clearing && patterns.size() == 0) return cast_list(self, result);
    return nb::none();
}

void ns_forget(nb::handle self, nb::args patterns) {
    call_words(self, concat(words({cached().w_namespace, cached().w_forget}), patterns));
}

void ns_import(nb::handle self, nb::handle force, nb::args patterns) {
    Cached& c = cached();
    nb::tuple cmd = truth(force) ? words({c.w_namespace, c.w_import, c.w_force})
                                 : words({c.w_namespace, c.w_import});
    call_words(self, concat(cmd, patterns));
}

nb::object ns_origin(nb::handle self, nb::handle command) {
    return call_words(self, words({cached().w_namespace, cached().w_origin, command}));
}

bool ns_is_absolute(nb::handle self) {
    nb::object name = get_attr(self, cached().ns);
    return starts_with_separator(text_of(name));
}

/// The parent of an absolute name, from the name alone, as Tcl names it: the
/// global namespace is "::" and has the empty parent. False when the name
/// algebra cannot read the name (Tcl then answers).
bool parent_from_name(nb::handle name, nb::object& out) {
    std::vector<std::u32string> parts;
    try {
        parts = split_path(code_points(name), name);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
    if (parts.size() <= 1) {
        out = nb::borrow(cached().w_empty);
    } else if (parts.size() == 2) {
        out = nb::borrow(cached().w_global);
    } else {
        std::u32string joined;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            if (i) joined += U"::";
            joined += parts[i];
        }
        out = to_str(joined);
    }
    return true;
}

nb::object ns_parent(nb::handle self, nb::handle force_eval) {
    Cached& c = cached();
    nb::object name = get_attr(self, c.ns);
    nb::object result;
    if (!truth(force_eval) && truth(call_method(self, c.is_absolute, {})) &&
        parent_from_name(text_of(name), result))
        return result;
    nb::tuple cmd =
        truth(name) ? words({c.w_namespace, c.w_parent, name}) : words({c.w_namespace, c.w_parent});
    return host_call(self, tclobj_of(cmd));
}

nb::object ns_which(nb::handle self, nb::handle name, nb::handle command, nb::handle variable) {
    Cached& c = cached();
    nb::tuple cmd = words({c.w_namespace, c.w_which});
    if (truth(command)) cmd = concat(cmd, words({c.w_command}));
    if (truth(variable)) cmd = concat(cmd, words({c.w_variable}));
    return call_words(self, concat(cmd, words({name})));
}

nb::object ns_absolute(nb::handle self) {
    nb::object name = get_attr(self, cached().ns);
    if (truth(call_method(self, cached().is_absolute, {}))) return name;
    nb::object current = call_method(self, cached().current, {});
    return normalize_text(join_part(text_of(current), text_of(name)));
}

void ns_make_absolute(nb::handle self) {
    nb::object name = call_method(self, cached().absolute, {});
    set_attr(self, cached().ns, name);
}

// ---------------------------------------------------------------------------------------------
// TempTclNamespace

nb::object super_of(nb::handle self) {
    return call_function(cached().super_type, {cached().temp_namespace_cls, self});
}

/// `getattr(super(), name, None)`.
nb::object super_method(nb::handle self, nb::handle name) {
    PyObject* found = PyObject_GetAttr(super_of(self).ptr(), name.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(found);
}

void temp_init(nb::handle self, nb::handle ns, nb::kwargs kwargs) {
    Cached& c = cached();
    nb::object class_name = get_attr(get_attr(self, c.class_), c.name);
    nb::object id = check(PyLong_FromVoidPtr(self.ptr()));
    nb::object name =
        get_attr(ns, c.format)(nb::arg("cls").none() = class_name, nb::arg("id").none() = id);
    nb::object init = get_attr(super_of(self), c.init);
    check(PyObject_Call(init.ptr(), words({name}).ptr(), kwargs.ptr()));
}

nb::object temp_enter(nb::handle self) {
    nb::object enter = super_method(self, cached().enter);
    nb::object result = truth(enter) ? call_function(enter, {}) : nb::borrow(self);
    call_method(self, cached().create, {});
    return result;
}

nb::object temp_exit(nb::handle self, nb::args exc_info) {
    try {
        call_method(self, cached().delete_, {});
    } catch (nb::python_error& e) {
        if (!e.matches(cached().tcl_error)) throw;
    }
    nb::object exit = super_method(self, cached().exit);
    if (truth(exit)) return check(PyObject_Call(exit.ptr(), exc_info.ptr(), nullptr));
    return nb::bool_(false);
}

// ---------------------------------------------------------------------------------------------
// Views: what the four views share

/// The constructor shared by the views: checks (unless assertions are off) that it
/// was given a namespace handle, runs the base constructor and keeps the handle.
/// `defining` is the view class whose constructor this is.
void view_init(nb::handle defining, nb::handle self, nb::handle ns) {
    Cached& c = cached();
    if (c.assertions) {
        int is_namespace = PyObject_IsInstance(ns.ptr(), c.namespace_cls.ptr());
        if (is_namespace < 0) throw nb::python_error();
        if (!is_namespace) {
            PyErr_SetNone(PyExc_AssertionError);
            throw nb::python_error();
        }
    }
    call_method(call_function(c.super_type, {defining, self}), c.init, {});
    set_attr(self, c.ns, ns);
}

/// `TclNamespace.join(self.ns, name)` for a view.
nb::object qualified(nb::handle view, nb::handle name) {
    nb::object space = get_attr(view, cached().ns);
    return normalize_text(join_part(namespace_text(space), text_of(name)));
}

/// `cls(qualified_name, *args, tcl=<the namespace's interpreter>, **kwargs)`.
nb::object make_handle(nb::handle view, nb::handle cls, nb::handle name, nb::handle args,
                       nb::handle kwargs) {
    Cached& c = cached();
    nb::object full = qualified(view, name);
    nb::object tcl = get_attr(get_attr(view, c.ns), c.tcl);
    Py_ssize_t extra = PyTuple_GET_SIZE(args.ptr());
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs.ptr());
    // One vector call: the name, the extra positionals, `tcl`, then the other keywords.
    std::vector<PyObject*> stack;
    stack.reserve(size_t(3 + extra + nkw));
    stack.push_back(nullptr); // spare slot the callee may use
    stack.push_back(full.ptr());
    for (Py_ssize_t i = 0; i < extra; ++i)
        stack.push_back(PyTuple_GET_ITEM(args.ptr(), i));
    stack.push_back(tcl.ptr());
    nb::object kwnames = check(PyTuple_New(nkw + 1));
    PyTuple_SET_ITEM(kwnames.ptr(), 0, nb::borrow(c.tcl).release().ptr());
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 1;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, c.tcl.ptr()) == 0)
            raise_multiple_values(cls, key);
        PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(key).release().ptr());
        stack.push_back(value);
    }
    size_t positional = size_t(1 + extra);
    return check(PyObject_Vectorcall(cls.ptr(), stack.data() + 1,
                                     positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

/// `self.byref(name)`, looked up on the view so that subclasses may replace it.
nb::object handle_for(nb::handle view, nb::handle name) {
    return call_method(view, cached().byref, {name});
}

/// A lazy iterator over the names the listing command gives inside the namespace:
/// nothing runs before it is first advanced.
nb::object lazy_listing(nb::handle view, nb::handle listing_words) {
    Cached& c = cached();
    nb::object once = call_function(c.map_type, {c.listing, words({view}), words({listing_words})});
    return call_function(c.chain_from_iterable, {once});
}

nb::object run_listing(nb::handle view, nb::handle listing_words) {
    Cached& c = cached();
    nb::object space = get_attr(view, c.ns);
    nb::object names = call_method(space, c.call, {listing_words});
    return call_method(get_attr(space, c.tcl), c.cast_list, {names});
}

Py_ssize_t view_len(nb::handle self) {
    nb::object it = check(PyObject_GetIter(self.ptr()));
    Py_ssize_t count = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        Py_DECREF(item);
        ++count;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return count;
}

/// Runs `read` and turns the listed errors into KeyError(exc) from exc.
template <typename Read> nb::object translating(Read&& read, nb::handle also = nb::handle()) {
    try {
        return read();
    } catch (nb::python_error& e) {
        if (e.matches(cached().tcl_error) || (also.is_valid() && e.matches(also)))
            raise_key_error(e);
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// VariablesView and ObjectsView

nb::object vars_byref(nb::handle self, nb::handle var_name, nb::args args, nb::kwargs kwargs) {
    Cached& c = cached();
    nb::object var_type;
    PyObject* given = PyDict_GetItemWithError(kwargs.ptr(), c.var_type.ptr());
    if (given) {
        var_type = nb::borrow(given);
        if (PyDict_DelItem(kwargs.ptr(), c.var_type.ptr()) < 0) throw nb::python_error();
    } else {
        if (PyErr_Occurred()) throw nb::python_error();
        var_type = module_name(c.TclVariable);
    }
    return make_handle(self, var_type, var_name, args, kwargs);
}

nb::object vars_array_byref(nb::handle self, nb::handle var_name, nb::args args,
                            nb::kwargs kwargs) {
    Cached& c = cached();
    int present = PyDict_Contains(kwargs.ptr(), c.var_type.ptr());
    if (present < 0) throw nb::python_error();
    nb::object byref = get_attr(self, c.byref);
    if (present) raise_multiple_values(byref, c.var_type);
    kwargs[c.var_type] = module_name(c.TclArrayVariable);
    return check(PyObject_Call(byref.ptr(), concat(words({var_name}), args).ptr(), kwargs.ptr()));
}

nb::object vars_get(nb::handle self, nb::handle var_name) {
    return call_method(handle_for(self, var_name), cached().get_str, {});
}

nb::object objs_get(nb::handle self, nb::handle var_name, nb::handle array_index) {
    return call_method_kw(handle_for(self, var_name), cached().get_obj, {array_index},
                          words({cached().array_index}));
}

nb::object vars_set(nb::handle self, nb::handle var_name, nb::handle value,
                    nb::handle array_index) {
    return call_method_kw(handle_for(self, var_name), cached().set, {value, array_index},
                          words({cached().array_index}));
}

nb::object vars_unset(nb::handle self, nb::handle var_name, nb::handle array_index,
                      nb::handle nocomplain) {
    Cached& c = cached();
    return call_method_kw(handle_for(self, var_name), c.unset, {array_index, nocomplain},
                          words({c.array_index, c.nocomplain}));
}

nb::object vars_array_get(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return call_method_kw(handle_for(self, var_name), cached().array_get_str, {pattern},
                          words({cached().pattern}));
}

nb::object objs_array_get(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return call_method_kw(handle_for(self, var_name), cached().array_get_obj, {pattern},
                          words({cached().pattern}));
}

nb::object vars_array_set(nb::handle self, nb::handle var_name, nb::handle value) {
    return call_method(handle_for(self, var_name), cached().array_set, {value});
}

nb::object vars_array_unset(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return call_method_kw(handle_for(self, var_name), cached().array_unset, {pattern},
                          words({cached().pattern}));
}

nb::object vars_array_names(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return call_method_kw(handle_for(self, var_name), cached().array_names, {pattern},
                          words({cached().pattern}));
}

nb::object vars_is_array(nb::handle self, nb::handle var_name) {
    return call_method(handle_for(self, var_name), cached().is_array, {});
}

nb::object vars_exists(nb::handle self, nb::handle var_name, nb::handle array_index) {
    return call_method_kw(handle_for(self, var_name), cached().exists, {array_index},
                          words({cached().array_index}));
}

bool is_original(PyTypeObject* type, nb::handle name, nb::handle original) {
    return original.is_valid() && _PyType_Lookup(type, name.ptr()) == original.ptr();
}

/// One quick way through a view: the view method it replaces, and the handle
/// method that method would end in.
struct Route {
    nb::handle view_method, view_original, variable_method, variable_original;
    Verified view, variable;
};

struct Routes {
    Route read_text, read_object, write;
};

Routes& routes() {
    static Routes r;
    return r;
}

/// True while the view's class (its `byref` and the route's method) and the
/// module's TclVariable (its constructor and the route's method) are the originals.
bool route_open(Route& r, PyTypeObject* view_type) {
    Originals& o = originals();
    Cached& c = cached();
    if (!o.variable_cls.is_valid()) return false;
    PyObject* current = PyDict_GetItemWithError(c.module_dict.ptr(), c.TclVariable.ptr());
    if (current != o.variable_cls.ptr()) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    if (!r.view.holds(view_type)) {
        if (!is_original(view_type, c.byref, o.vars_byref) ||
            !is_original(view_type, r.view_method, r.view_original))
            return false;
        r.view.note(view_type);
    }
    auto* variable = (PyTypeObject*)o.variable_cls.ptr();
    if (!r.variable.holds(variable)) {
        if (!is_original(variable, c.init, o.variable_init) ||
            !is_original(variable, r.variable_method, r.variable_original))
            return false;
        r.variable.note(variable);
    }
    return true;
}

/// True when a name is its own list element: no character of it needs quoting.
bool plain_char(Py_UCS4 ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '_' || ch == ':' || ch == '.' || ch == '-';
}

bool plain_word(nb::handle text) {
    TextView v(text.ptr());
    if (v.length == 0) return false;
    for (Py_ssize_t i = 0; i < v.length; ++i)
        if (!plain_char(v[i])) return false;
    return true;
}

/// `scriptify(("set", name))`.
nb::object set_script(nb::handle name) {
    Cached& c = cached();
    if (plain_word(name)) return check(PyUnicode_Concat(c.set_space.ptr(), name.ptr()));
    return check(c.api->scriptify(words({c.set, name}).ptr()));
}

/// True when one-byte text is in normal form and, if `plain` is asked for, made of
/// plain word characters only.
bool simple_text(const Py_UCS1* s, Py_ssize_t n, bool plain) {
    if (plain)
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!plain_char(s[i])) return false;
    return is_normal(s, n);
}

/// The qualified name `join(base, part)`, or with `script` its `set` script, built in
/// one step when both are one-byte texts whose join needs no normalising (the usual
/// case). False when that does not apply.
bool compose(nb::handle base, nb::handle part, bool script, nb::object& out) {
    PyObject *a = base.ptr(), *b = part.ptr();
    if (PyUnicode_KIND(a) != PyUnicode_1BYTE_KIND || PyUnicode_KIND(b) != PyUnicode_1BYTE_KIND)
        return false;
    const Py_UCS1 *sa = PyUnicode_1BYTE_DATA(a), *sb = PyUnicode_1BYTE_DATA(b);
    Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    if (lb == 0 || !simple_text(sb, lb, script)) return false;
    bool absolute = lb >= 2 && sb[0] == ':' && sb[1] == ':';
    if (absolute) {
        la = 0; // an absolute part replaces the namespace
    } else if (sb[0] == ':' || !simple_text(sa, la, script)) {
        return false;
    }
    if (absolute && !script) {
        out = nb::borrow(part);
        return true;
    }
    Py_ssize_t lead = script ? 4 : 0, middle = absolute ? 0 : 2;
    Py_UCS4 widest =
        std::max({PyUnicode_MAX_CHAR_VALUE(a), PyUnicode_MAX_CHAR_VALUE(b), Py_UCS4(127)});
    out = check(PyUnicode_New(lead + la + middle + lb, widest));
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.ptr());
    if (script) dst = std::copy_n("set ", 4, dst);
    dst = std::copy_n(sa, la, dst);
    if (middle) *dst++ = ':', *dst++ = ':';
    std::copy_n(sb, lb, dst);
    return true;
}

/// What a quick view operation needs: the host object of the view's interpreter,
/// and the qualified name as the handle would have it (with `script`, the `set`
/// script that reads it). False when the interpreter is not held the usual way
/// (through a live weak proxy to a true object); a dead one is ReferenceError.
bool quick_target(nb::handle view, nb::handle var_name, bool script, nb::object& tk,
                  nb::object& text) {
    Cached& c = cached();
    nb::object space = get_attr(view, c.ns);
    nb::object tcl = get_attr(space, c.tcl);
    if (!PyWeakref_CheckProxy(tcl.ptr())) return false;
    PyObject* interp = PyWeakref_GET_OBJECT(tcl.ptr());
    if (interp == Py_None) {
        PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
        throw nb::python_error();
    }
    if (!truth(interp)) return false;
    nb::object base = namespace_text(space), part = text_of(var_name);
    if (!compose(base, part, script, text)) {
        nb::object name = normalize_text(join_part(base, part));
        text = script ? set_script(name) : name;
    }
    tk = get_attr(interp, c.tk);
    return true;
}

/// `self.get(var_name)` for the two view classes as they stand: the value read
/// straight from the host. False when something on the way was replaced.
bool quick_read(nb::handle self, nb::handle var_name, nb::object& out) {
    Cached& c = cached();
    Routes& r = routes();
    auto* type = Py_TYPE(self.ptr());
    nb::object tk, name;
    if (route_open(r.read_text, type)) {
        if (!quick_target(self, var_name, true, tk, name)) return false;
        out = call_method(tk, c.eval, {name});
        return true;
    }
    if (route_open(r.read_object, type)) {
        if (!quick_target(self, var_name, false, tk, name)) return false;
        out = call_method(tk, c.getvar, {name});
        return true;
    }
    return false;
}

nb::object vars_getitem(nb::handle self, nb::handle var_name) {
    return translating(
        [&] {
            nb::object value;
            if (quick_read(self, var_name, value)) return value;
            return call_method(self, cached().get, {var_name});
        },
        PyExc_ValueError);
}

nb::object vars_contains(nb::handle self, nb::handle var_name) {
    return call_method(self, cached().exists, {var_name});
}

void vars_setitem(nb::handle self, nb::handle var_name, nb::handle value) {
    Cached& c = cached();
    nb::object tk, name;
    if (route_open(routes().write, Py_TYPE(self.ptr())) &&
        quick_target(self, var_name, false, tk, name)) {
        nb::object ready = tclobj_of(value);
        if (!tessel::host_can_take_value(ready.ptr())) throw nb::python_error();
        call_method(tk, c.setvar, {name, ready});
        return;
    }
    call_method(self, c.set, {var_name, value});
}

void vars_delitem(nb::handle self, nb::handle var_name) {
    translating([&] { return call_method(self, cached().unset, {var_name}); });
}

/// Runs the body of a method called straight from Python: a C++ exception
/// becomes the Python exception it carries.
template <typename Body> PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

bool argument_count(const char* name, Py_ssize_t given, Py_ssize_t wanted) {
    if (given == wanted) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, wanted + 1,
                 given + 1);
    return false;
}

// Item access is the hot path of a view: these two are plain method descriptors
// over fast calls, without a binding layer's argument dispatch.
PyObject* vars_getitem_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!argument_count("__getitem__", nargs, 1)) return nullptr;
    return guarded([&] { return vars_getitem(self, args[0]).release().ptr(); });
}

PyObject* vars_setitem_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!argument_count("__setitem__", nargs, 2)) return nullptr;
    return guarded([&] {
        vars_setitem(self, args[0], args[1]);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef vars_item_methods[] = {
    {"__getitem__", (PyCFunction)(void (*)(void))vars_getitem_fast, METH_FASTCALL,
     "view[var_name]: the variable's value; KeyError when Tcl cannot read it."},
    {"__setitem__", (PyCFunction)(void (*)(void))vars_setitem_fast, METH_FASTCALL,
     "view[var_name] = value: sets the variable."},
};

nb::object vars_iter(nb::handle self) {
    return lazy_listing(self, words({cached().w_info, cached().w_vars}));
}

// ---------------------------------------------------------------------------------------------
// CommandsView and ProcsView

nb::object cmds_byref(nb::handle self, nb::handle cmd_name, nb::args args, nb::kwargs kwargs) {
    return make_handle(self, module_name(cached().TclCommand), cmd_name, args, kwargs);
}

nb::object cmds_exists(nb::handle self, nb::handle cmd_name) {
    return call_method(handle_for(self, cmd_name), cached().exists, {});
}

nb::object procs_exists(nb::handle self, nb::handle cmd_name) {
    return call_method(handle_for(self, cmd_name), cached().is_proc, {});
}

nb::object cmds_createcommand(nb::handle self, nb::handle cmd_name, nb::handle func) {
    return call_method(handle_for(self, cmd_name), cached().createcommand, {func});
}

nb::object cmds_delete(nb::handle self, nb::handle cmd_name) {
    return call_method(handle_for(self, cmd_name), cached().delete_, {});
}

nb::object cmds_rename(nb::handle self, nb::handle cmd_name, nb::handle new_name) {
    nb::object handle = handle_for(self, cmd_name);
    return call_method(handle, cached().rename, {qualified(self, new_name)});
}

nb::object cmds_origin(nb::handle self, nb::handle cmd_name) {
    return call_method(handle_for(self, cmd_name), cached().origin, {});
}

nb::object cmds_proc_body(nb::handle self, nb::handle cmd_name) {
    return call_method(handle_for(self, cmd_name), cached().proc_body, {});
}

nb::object cmds_proc_args(nb::handle self, nb::handle cmd_name) {
    return call_method(handle_for(self, cmd_name), cached().proc_args, {});
}

nb::object cmds_proc_arg_default(nb::handle self, nb::handle cmd_name, nb::handle arg_name) {
    return call_method(handle_for(self, cmd_name), cached().proc_arg_default, {arg_name});
}

nb::object cmds_getitem(nb::handle self, nb::handle cmd_name) {
    return call_method(self, cached().byref, {cmd_name});
}

nb::object cmds_contains(nb::handle self, nb::handle cmd_name) {
    return call_method(self, cached().exists, {cmd_name});
}

void cmds_setitem(nb::handle self, nb::handle cmd_name, nb::handle func) {
    call_method(self, cached().createcommand, {cmd_name, func});
}

void cmds_delitem(nb::handle self, nb::handle cmd_name) {
    translating([&] { return call_method(self, cached().delete_, {cmd_name}); });
}

nb::object cmds_iter(nb::handle self) {
    return lazy_listing(self, words({cached().w_info, cached().w_commands}));
}

nb::object procs_iter(nb::handle self) {
    return lazy_listing(self, words({cached().w_info, cached().w_procs}));
}

// ---------------------------------------------------------------------------------------------
// Building the classes

nb::object build_variables_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "VariablesView", words({base}), abc_meta, "TclNamespace.VariablesView");
    nb::handle cls = keep(b.cls()); // the class outlives every call
    b.def(
        "__init__", [cls](nb::handle self, nb::handle ns) { view_init(cls, self, ns); },
        nb::arg("ns").none());
    b.def("byref", &vars_byref, nb::arg("var_name").none(), nb::arg("args"), nb::arg("kwargs"));
    b.def("array_byref", &vars_array_byref, nb::arg("var_name").none(), nb::arg("args"),
          nb::arg("kwargs"));
    b.def("get", &vars_get, nb::arg("var_name").none());
    b.def("set", &vars_set, nb::arg("var_name").none(), nb::arg("value").none(),
          nb::arg("array_index").none() = nb::none());
    b.def("unset", &vars_unset, nb::arg("var_name").none(),
          nb::arg("array_index").none() = nb::none(), nb::arg("nocomplain").none() = false);
    b.def("array_get", &vars_array_get, nb::arg("var_name").none(),
          nb::arg("pattern").none() = nb::none());
    b.def("array_set", &vars_array_set, nb::arg("var_name").none(), nb::arg("value").none());
    b.def("array_unset", &vars_array_unset, nb::arg("var_name").none(),
          nb::arg("pattern").none() = nb::none());
    b.def("array_names", &vars_array_names, nb::arg("var_name").none(),
          nb::arg("pattern").none() = nb::none());
    b.def("is_array", &vars_is_array, nb::arg("var_name").none());
    b.def("exists", &vars_exists, nb::arg("var_name").none(),
          nb::arg("array_index").none() = nb::none());
    b.attr("__getitem__",
           check(PyDescr_NewMethod((PyTypeObject*)cls.ptr(), &vars_item_methods[0])));
    b.def("__contains__", &vars_contains, nb::arg("var_name").none());
    b.attr("__setitem__",
           check(PyDescr_NewMethod((PyTypeObject*)cls.ptr(), &vars_item_methods[1])));
    b.def("__delitem__", &vars_delitem, nb::arg("var_name").none());
    b.def("__iter__", &vars_iter);
    b.def("__len__", &view_len);
    return b.finish();
}

nb::object build_objects_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "ObjectsView", words({base}), abc_meta, "TclNamespace.ObjectsView");
    b.def("get", &objs_get, nb::arg("var_name").none(), nb::arg("array_index").none() = nb::none());
    b.def("array_get", &objs_array_get, nb::arg("var_name").none(),
          nb::arg("pattern").none() = nb::none());
    return b.finish();
}

nb::object build_commands_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "CommandsView", words({base}), abc_meta, "TclNamespace.CommandsView");
    nb::handle cls = keep(b.cls()); // the class outlives every call
    b.def(
        "__init__", [cls](nb::handle self, nb::handle ns) { view_init(cls, self, ns); },
        nb::arg("ns").none());
    b.def("byref", &cmds_byref, nb::arg("cmd_name").none(), nb::arg("args"), nb::arg("kwargs"));
    b.def("exists", &cmds_exists, nb::arg("cmd_name").none());
    b.def("createcommand", &cmds_createcommand, nb::arg("cmd_name").none(), nb::arg("func").none());
    b.def("delete", &cmds_delete, nb::arg("cmd_name").none());
    b.def("rename", &cmds_rename, nb::arg("cmd_name").none(), nb::arg("new_name").none());
    b.def("origin", &cmds_origin, nb::arg("cmd_name").none());
    b.def("proc_body", &cmds_proc_body, nb::arg("cmd_name").none());
    b.def("proc_args", &cmds_proc_args, nb::arg("cmd_name").none());
    b.def("proc_arg_default", &cmds_proc_arg_default, nb::arg("cmd_name").none(),
          nb::arg("arg_name").none());
    b.def("__getitem__", &cmds_getitem, nb::arg("cmd_name").none());
    b.def("__contains__", &cmds_contains, nb::arg("cmd_name").none());
    b.def("__setitem__", &cmds_setitem, nb::arg("cmd_name").none(), nb::arg("func").none());
    b.def("__delitem__", &cmds_delitem, nb::arg("cmd_name").none());
    b.def("__iter__", &cmds_iter);
    b.def("__len__", &view_len);
    return b.finish();
}

nb::object build_procs_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "ProcsView", words({base}), abc_meta, "TclNamespace.ProcsView");
    b.def("exists", &procs_exists, nb::arg("cmd_name").none());
    b.def("__iter__", &procs_iter);
    return b.finish();
}

nb::object build_namespace(const char* module) {
    nb::module_ abc = nb::module_::import_("abc");
    nb::handle abc_meta = keep(abc.attr("ABCMeta"));
    nb::object mutable_mapping = nb::module_::import_("collections.abc").attr("MutableMapping");

    ClassBuilder b(module, "TclNamespace", words({(PyObject*)&PyBaseObject_Type}));
    nb::object variables = build_variables_view(module, abc_meta, mutable_mapping);
    nb::object objects = build_objects_view(module, abc_meta, variables);
    nb::object commands = build_commands_view(module, abc_meta, mutable_mapping);
    nb::object procs = build_procs_view(module, abc_meta, commands);
    b.attr("VariablesView", variables);
    b.attr("ObjectsView", objects);
    b.attr("CommandsView", commands);
    b.attr("ProcsView", procs);

    b.def("__init__", &ns_init, nb::arg("ns").none(), nb::arg("tcl").none() = nb::none());
    b.def_static("qualifiers", &qualifiers, nb::arg("string").none());
    b.def_static("tail", &tail, nb::arg("string").none());
    b.def_static("join", &join_names, nb::arg("string").none(), nb::arg("args"));
    b.def_static("split", &split, nb::arg("string").none());
    b.def_static("normalize", &normalize, nb::arg("string").none());
    b.def("is_absolute", &ns_is_absolute);
    b.def("is_relative",
          [](nb::handle self) { return !truth(call_method(self, cached().is_absolute, {})); });
    b.def("absolute", &ns_absolute);
    b.def("make_absolute", &ns_make_absolute);
    b.def("__str__", [](nb::handle self) { return get_attr(self, cached().ns); });

    b.def("eval", &ns_eval, nb::arg("tclcmd").none(), nb::arg("args"));
    b.def("call", &ns_call, nb::arg("tclcmd").none(), nb::arg("args"));
    b.def("children", &ns_children, nb::arg("pattern").none() = nb::none());
    b.def("code", &ns_code, nb::arg("script").none());
    b.def("current", &ns_current);
    b.def("create", &ns_create);
    b.def("delete", &ns_delete);
    b.def("exists", &ns_exists);
    b.def("export", &ns_export, nb::arg("clear").none() = false, nb::arg("patterns"));
    b.def("forget", &ns_forget, nb::arg("patterns"));
    b.def("import_", &ns_import, nb::arg("force").none() = false, nb::arg("patterns"));
    b.def("origin", &ns_origin, nb::arg("command").none());
    b.def("parent", &ns_parent, nb::arg("force_eval").none() = false);
    b.def("which", &ns_which, nb::arg("name").none(), nb::arg("command").none() = false,
          nb::arg("variable").none() = false);
    return b.finish();
}

nb::object build_temp_namespace(const char* module, nb::handle base) {
    ClassBuilder b(module, "TempTclNamespace", words({base}));
    b.def("__init__", &temp_init, nb::arg("ns").none() = "::__quillon__{cls}_{id}_tmp",
          nb::arg("kwargs"));
    b.def("__enter__", &temp_enter);
    b.def("__exit__", &temp_exit, nb::arg("exc_info"));
    return b.finish();
}

/// Notes the functions that the quick view paths stand in for.
void remember_originals(nb::handle namespace_cls, nb::module_& m) {
    Originals& o = originals();
    Cached& c = cached();
    auto own = [](nb::handle cls, nb::handle name) {
        return keep(nb::borrow(_PyType_Lookup((PyTypeObject*)cls.ptr(), name.ptr())));
    };
    o.variables_view = keep(get_attr(namespace_cls, c.VariablesView));
    o.objects_view = keep(get_attr(namespace_cls, c.ObjectsView));
    o.vars_get = own(o.variables_view, c.get);
    o.vars_set = own(o.variables_view, c.set);
    o.vars_byref = own(o.variables_view, c.byref);
    o.objs_get = own(o.objects_view, c.get);
    if (!nb::hasattr(m, "TclVariable")) return;
    nb::object variable = m.attr("TclVariable");
    if (!PyType_Check(variable.ptr())) return;
    o.variable_init = own(variable, c.init);
    o.variable_get_str = own(variable, c.get_str);
    o.variable_get_obj = own(variable, c.get_obj);
    o.variable_set = own(variable, c.set);
    o.variable_cls = keep(variable);

    Routes& r = routes();
    r.read_text = Route{c.get, o.vars_get, c.get_str, o.variable_get_str, {}, {}};
    r.read_object = Route{c.get, o.objs_get, c.get_obj, o.variable_get_obj, {}, {}};
    r.write = Route{c.set, o.vars_set, c.set, o.variable_set, {}, {}};
}

void intern_names(Cached& c) {
    auto in = [](const char* s) { return nb::handle(PyUnicode_InternFromString(s)); };
    c.ns = in("ns"), c.tcl = in("tcl"), c.tk = in("tk"), c.eval = in("eval"), c.call = in("call");
    c.getvar = in("getvar"), c.setvar = in("setvar"), c.set_space = in("set ");
    c.str_name = in("__str__"), c.tclobj_hook = in("__tclobj__");
    c.scriptify_hook = in("__scriptify__");
    c.cast_list = in("cast_list"), c.cast_boolean = in("cast_boolean");
    c.current = in("current"), c.create = in("create"), c.delete_ = in("delete");
    c.format = in("format"), c.class_ = in("__class__"), c.name = in("__name__");
    c.init = in("__init__"), c.enter = in("__enter__"), c.exit = in("__exit__");
    c.is_absolute = in("is_absolute"), c.absolute = in("absolute");
    c.byref = in("byref"), c.get = in("get"), c.set = in("set"), c.unset = in("unset");
    c.exists = in("exists"), c.get_str = in("get_str"), c.get_obj = in("get_obj");
    c.array_get_str = in("array_get_str"), c.array_get_obj = in("array_get_obj");
    c.array_set = in("array_set"), c.array_unset = in("array_unset");
    c.array_names = in("array_names"), c.is_array = in("is_array");
    c.array_index = in("array_index"), c.nocomplain = in("nocomplain"), c.pattern = in("pattern");
    c.createcommand = in("createcommand"), c.rename = in("rename"), c.origin = in("origin");
    c.is_proc = in("is_proc"), c.proc_body = in("proc_body"), c.proc_args = in("proc_args");
    c.proc_arg_default = in("proc_arg_default");
    c.TclVariable = in("TclVariable"), c.TclArrayVariable = in("TclArrayVariable");
    c.TclCommand = in("TclCommand"), c.var_type = in("var_type");
    c.VariablesView = in("VariablesView"), c.ObjectsView = in("ObjectsView");
    c.CommandsView = in("CommandsView"), c.ProcsView = in("ProcsView");
    c.vars = in("vars"), c.objs = in("objs"), c.procs = in("procs"), c.cmds = in("cmds");

    c.w_namespace = in("namespace"), c.w_eval = in("eval"), c.w_children = in("children");
    c.w_code = in("code"), c.w_current = in("current"), c.w_delete = in("delete");
    c.w_exists = in("exists"), c.w_export = in("export"), c.w_clear = in("-clear");
    c.w_forget = in("forget"), c.w_import = in("import"), c.w_force = in("-force");
    c.w_origin = in("origin"), c.w_parent = in("parent"), c.w_which = in("which");
    c.w_command = in("-command"), c.w_variable = in("-variable"), c.w_info = in("::info");
    c.w_vars = in("vars"), c.w_commands = in("commands"), c.w_procs = in("procs");
    c.w_empty = in(""), c.w_global = in("::");
}

} // namespace

/// Components of a path split at every "::"; empty pieces dropped, an absolute
/// path led by the empty string. A piece that still holds a colon makes the path
/// invalid; the message names `original`, or the path itself when that is null.
std::vector<std::u32string> split_path(const std::u32string& path, nb::handle original) {
    std::vector<std::u32string> parts;
    bool absolute = starts_with_separator(path);
    size_t start = 0;
    while (start <= path.size()) {
        size_t sep = path.find(U"::", start);
        size_t end = sep == std::u32string::npos ? path.size() : sep;
        if (end > start) parts.push_back(path.substr(start, end - start));
        if (sep == std::u32string::npos) break;
        start = sep + 2;
    }
    for (const std::u32string& part : parts) {
        if (part.find(U':') != std::u32string::npos) {
            nb::object shown = original.is_valid() ? nb::borrow(original) : to_str(path);
            nb::object message = nb::str("Invalid Tcl namespace '{}'").format(shown);
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            throw nb::python_error();
        }
    }
    if (absolute) parts.insert(parts.begin(), std::u32string());
    return parts;
}

std::u32string normalize_path(const std::u32string& path, nb::handle original) {
    std::u32string out;
    std::vector<std::u32string> parts = split_path(path, original);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += U"::";
        out += parts[i];
    }
    return out;
}

nb::object join_names(nb::handle first, nb::args rest) {
    nb::object path = text_of(first);
    for (nb::handle arg : rest)
        path = join_part(path, text_of(arg));
    return normalize_text(path);
}

nb::object interpreter_proxy(nb::handle tcl) {
    nb::object interp = nb::borrow(tcl);
    if (!truth(tcl)) interp = nb::module_::import_("tessel.tcl");
    int is_proxy =
        PySequence_Contains(cached().proxy_types.ptr(), (PyObject*)Py_TYPE(interp.ptr()));
    if (is_proxy < 0) throw nb::python_error();
    if (is_proxy) return interp;
    return cached().weakref_proxy(interp);
}

} // namespace tessel::ns

NB_MODULE(namespace, m) {
    using namespace tessel::ns;
    using tessel::keep;
    Cached& c = cached();
    c.api = tessel::import_scriptify_api();
    if (!c.api) throw nb::python_error();
    intern_names(c);
    nb::module_ weakref = nb::module_::import_("weakref");
    c.proxy_types = keep(weakref.attr("ProxyTypes"));
    c.weakref_proxy = keep(weakref.attr("proxy"));
    c.super_type = keep(nb::borrow(nb::handle((PyObject*)&PySuper_Type)));
    c.tcl_error = keep(nb::module_::import_("_tkinter").attr("TclError"));
    nb::module_ itertools = nb::module_::import_("itertools");
    c.chain_from_iterable = keep(itertools.attr("chain").attr("from_iterable"));
    c.map_type = keep(nb::borrow(nb::handle((PyObject*)&PyMap_Type)));
    c.assertions = nb::cast<int>(nb::module_::import_("sys").attr("flags").attr("optimize")) == 0;
    c.module_dict = keep(m.attr("__dict__"));
    c.listing = keep(nb::cpp_function(&run_listing, nb::name("_listing")));

    add_variable_classes(m);
    add_command_classes(m);

    const char* module = "tessel.tcl.namespace";
    nb::object namespace_cls = build_namespace(module);
    c.namespace_cls = keep(namespace_cls);
    c.own_str =
        keep(nb::borrow(_PyType_Lookup((PyTypeObject*)namespace_cls.ptr(), c.str_name.ptr())));
    nb::object temp = build_temp_namespace(module, namespace_cls);
    c.temp_namespace_cls = keep(temp);
    m.attr("TclNamespace") = namespace_cls;
    m.attr("TempTclNamespace") = temp;
    remember_originals(namespace_cls, m);

    m.attr("__all__") = nb::list(
        nb::make_tuple("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                       "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace"));
}
