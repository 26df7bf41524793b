// namespace_view_items.cpp — item access of the variable views: `view[name]` and `view[name] = v`.
// While nothing on the way was replaced, it goes straight to the host without building a handle.

#include "host/class_guard.hpp"
#include "host/host_eval.hpp"
#include "host/nested_values.hpp"
#include "host/py_versions.hpp"
#include "host/pyerrors.hpp"
#include "host/tcl_text.hpp"
#include "host/variable_text.hpp"
#include "namespace_parts.hpp"

#include <algorithm>

namespace nb = nanobind;

namespace tessel::ns::space {
namespace {

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

/// A namespace handle class whose instances read as their `ns`: our own `__str__`
/// and no conversion hook of its own.
bool plain_namespace(PyTypeObject* type) {
    static ClassGuard seen; // guarded by the GIL
    Cached& c = cached();
    if (seen.holds(type)) return true;
    if (!c.own_str.is_valid() || !PyType_IsSubtype(type, (PyTypeObject*)c.namespace_cls.ptr()))
        return false;
    return seen.check(type, [&] {
        return class_attribute(type, c.str_name).is(c.own_str) &&
               !class_attribute(type, c.tclobj_hook).is_valid() &&
               !class_attribute(type, c.scriptify_hook).is_valid();
    });
}

} // namespace

/// The name of a namespace handle as the name algebra reads it: `scriptify`
/// of the handle, which for this module's own classes is their `ns`.
nb::object namespace_text(nb::handle space) {
    if (plain_namespace(Py_TYPE(space.ptr()))) {
        nb::object name = get_attr(space, cached().ns);
        if (PyUnicode_CheckExact(name.ptr())) return name;
    }
    return text_of(space);
}

namespace {

bool is_original(PyTypeObject* type, nb::handle name, nb::handle original) {
    return original.is_valid() && class_reads(type, name, original);
}

/// One quick way through a view: the view method it replaces, and the handle
/// method that method would end in.
struct Route {
    nb::handle view_method, view_original, variable_method, variable_original;
    ClassGuard view, variable;
};

struct Routes {
    Route read_text, read_object, write;
};

void set_route(Route& r, nb::handle view_method, nb::handle view_original,
               nb::handle variable_method, nb::handle variable_original) {
    r.view_method = view_method;
    r.view_original = view_original;
    r.variable_method = variable_method;
    r.variable_original = variable_original;
}

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
    if (!r.view.check(view_type, [&] {
            return is_original(view_type, c.byref, o.vars_byref) &&
                   is_original(view_type, r.view_method, r.view_original);
        }))
        return false;
    auto* variable = (PyTypeObject*)o.variable_cls.ptr();
    return r.variable.check(variable, [&] {
        return is_original(variable, c.init, o.variable_init) &&
               is_original(variable, r.variable_method, r.variable_original);
    });
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
    return check(c.api->scriptify(tuple_of({c.set, name}).ptr()));
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
    // held: the hooks run below (`__bool__`, `__str__`, `__scriptify__`) may drop every other
    // reference to the interpreter
    nb::object interp = weak_referent(tcl.ptr());
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
        // (where the host's eval would cut the text, it is read by name: cheaper than the
        // evaluation that takes it whole)
        if (!quick_target(self, var_name, !kHostEvalCutsAtNul, tk, name)) return false;
        if constexpr (kHostEvalCutsAtNul) {
            if (read_variable_text(tk, name, out)) return true;
            name = set_script(name);
        }
        out = check(host_eval(tk.ptr(), name.ptr()));
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
    return guarded([&] { return vars_getitem(self, args[0]); });
}

PyObject* vars_setitem_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!argument_count("__setitem__", nargs, 2)) return nullptr;
    return guarded([&] {
        vars_setitem(self, args[0], args[1]);
        return nb::none();
    });
}

PyMethodDef vars_item_methods[] = {
    {"__getitem__", as_method(&vars_getitem_fast), METH_FASTCALL,
     "view[var_name]: the variable's value; KeyError when Tcl cannot read it."},
    {"__setitem__", as_method(&vars_setitem_fast), METH_FASTCALL,
     "view[var_name] = value: sets the variable."},
};

} // namespace

nb::object variable_getitem(nb::handle cls) {
    return check(PyDescr_NewMethod((PyTypeObject*)cls.ptr(), &vars_item_methods[0]));
}

nb::object variable_setitem(nb::handle cls) {
    return check(PyDescr_NewMethod((PyTypeObject*)cls.ptr(), &vars_item_methods[1]));
}

void remember_originals(nb::handle namespace_cls, nb::module_& m) {
    Originals& o = originals();
    Cached& c = cached();
    auto own = [](nb::handle cls, nb::handle name) {
        return keep(nb::getattr(cls, name)); // as reading it from the class gives it
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
    set_route(r.read_text, c.get, o.vars_get, c.get_str, o.variable_get_str);
    set_route(r.read_object, c.get, o.objs_get, c.get_obj, o.variable_get_obj);
    set_route(r.write, c.set, o.vars_set, c.set, o.variable_set);
}

} // namespace tessel::ns::space
