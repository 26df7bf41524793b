// namespace_handles.hpp — tools shared by the variable and command handles: scriptify and
// tclobj, host calls through the interpreter's `tk`, and Python's super/with rules.
#pragma once

#include "host/arguments.hpp"
#include "host/class_guard.hpp"
#include "host/host_eval.hpp"
#include "host/nested_values.hpp"
#include "host/py_versions.hpp"
#include "host/pyerrors.hpp"
#include "host/tcl_errors.hpp"
#include "host/variable_text.hpp"
#include "namespace_parts.hpp"
#include "scriptify_api.hpp"

#include <iterator>

namespace tessel::ns::handles {

using tessel::call_method;
using tessel::check;
using tessel::get_attr;
using tessel::set_attr;
using tessel::truth;
using tessel::tuple_of;

inline nb::object scriptify(nb::handle value) {
    return check(cached().api->scriptify(value.ptr()));
}
/// True for a value of the exact built-in types that Tcl takes as they are (text, floats,
/// booleans, bytes, machine-size integers): such values cannot carry conversion hooks,
/// and `tclobj` gives them back unchanged.
inline bool plain_value(PyObject* v) {
    if (PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
        PyBytes_CheckExact(v))
        return true;
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow == 0;
}

/// `tclobj(value)`, without the call for plain values.
inline nb::object tclobj(nb::handle value) {
    if (plain_value(value.ptr())) return nb::borrow(value);
    return check(cached().api->tclobj(value.ptr()));
}

/// A handle's instance attributes, and whether its methods are still our own.
class Attributes {
  public:
    explicit Attributes(nb::handle self) : self_(self.ptr()) {}

    nb::object operator[](nb::handle name) const {
        return check(PyObject_GetAttr(self_, name.ptr()));
    }

    /// True when `self.name` resolves to `own` itself: the class attribute as reading it from
    /// the class gives it, not overridden by a subclass or by the instance.
    bool is_own(nb::handle name, nb::handle own) const {
        if (!class_reads(Py_TYPE(self_), name, own)) return false;
        nb::object dict = instance_dict(self_);
        return !dict.is_valid() || !optional_item(dict, name).is_valid();
    }

  private:
    PyObject* self_;
};

/// The host application object of an interpreter as a handle keeps it (`tcl.tk`).
/// A dead interpreter raises ReferenceError here, as the weak proxy does.
inline nb::object app_of_interpreter(nb::handle tcl) {
    return get_attr(proxy_target(tcl.ptr()), cached().tk);
}

/// The host application object of a handle: `self.tcl.tk`.
inline nb::object app_of(nb::handle self) {
    return app_of_interpreter(get_attr(self, cached().tcl));
}

/// What a call of the host object `app` gave (a new reference, or null with its error set);
/// a Tcl error carries the error's data and Tcl levels (host/tcl_errors.hpp).
inline nb::object host_answer(nb::handle app, PyObject* result) {
    if (!result) {
        add_error_data(app, cached().tcl_error);
        throw nb::python_error();
    }
    return nb::steal(result);
}

/// `app.<method>(arg)`, its error as `host_answer` makes it.
inline nb::object host_method(nb::handle app, nb::handle method, nb::handle arg) {
    PyObject* stack[] = {app.ptr(), arg.ptr()};
    return host_answer(app, PyObject_VectorcallMethod(method.ptr(), stack, 2, nullptr));
}

/// A list call: the host's `call` given one tuple of words.
inline nb::object list_call(nb::handle app, nb::handle words) {
    if (!tessel::host_can_take_words(words.ptr())) throw nb::python_error();
    return host_method(app, cached().call, words);
}

/// A script evaluation: the host's `eval` of the words rendered as one Tcl list.
inline nb::object eval_words(nb::handle app, nb::handle words) {
    nb::object script = check(cached().api->scriptify(words.ptr()));
    return host_answer(app, host_eval(app.ptr(), script.ptr()));
}

/// True when `text` is a str that starts with "::".
inline bool is_absolute_name(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), cached().separator.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// The absolute form of a handle's name: the name itself when it starts with "::",
/// otherwise the interpreter's current namespace joined with it.
inline nb::object absolute_name(nb::handle self, nb::handle name) {
    if (is_absolute_name(name)) return nb::borrow(name);
    nb::object app = app_of(self);
    nb::object current =
        check(PyObject_CallMethodObjArgs(app.ptr(), cached().call.ptr(), cached().namespace_.ptr(),
                                         cached().current.ptr(), nullptr));
    nb::object rest = check(PyTuple_Pack(1, name.ptr()));
    return join_names(current, nb::borrow<nb::args>(rest));
}

/// `getattr(super(cls, self), name, None)`: the attribute from the classes after
/// `cls` in the method resolution order of `self`'s class.
inline nb::object super_attr(nb::handle cls, nb::handle self, nb::handle name) {
    nb::object proxy = check(
        PyObject_CallFunctionObjArgs(cached().super_type.ptr(), cls.ptr(), self.ptr(), nullptr));
    PyObject* value = PyObject_GetAttr(proxy.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(value);
}

/// The default name of a temporary handle: `str(name).format(cls=..., id=id(self))`.
inline nb::object temporary_name(nb::handle self, nb::handle name) {
    nb::object text = check(PyObject_Str(name.ptr()));
    nb::object format = get_attr(text, cached().format);
    nb::object cls_name = get_attr(nb::handle((PyObject*)Py_TYPE(self.ptr())), cached().name);
    nb::object id = check(PyLong_FromVoidPtr(self.ptr()));
    nb::dict kwargs;
    kwargs["cls"] = cls_name;
    kwargs["id"] = id;
    return check(PyObject_Call(format.ptr(), nb::tuple().ptr(), kwargs.ptr()));
}

/// True when a caught Python error is the host's TclError.
inline bool is_tcl_error(const nb::python_error& e) {
    return e.matches(cached().tcl_error);
}

/// Runs `body(value)` inside `with manager as value:`, with Python's rules:
/// `__exit__` sees the exception and may suppress it (then `fallback()` is returned).
template <typename Body, typename Fallback>
nb::object run_with(nb::handle manager, Body&& body, Fallback&& fallback) {
    nb::handle type((PyObject*)Py_TYPE(manager.ptr()));
    nb::object exit = get_attr(type, cached().exit);
    nb::object value = call_method(type, cached().enter, {manager});
    nb::object result;
    try {
        result = body(value);
    } catch (nb::python_error& e) {
        nb::object exc_type = nb::borrow(e.type());
        nb::object exc_value = nb::borrow(e.value());
        nb::object exc_tb = nb::borrow(e.traceback());
        if (!exc_tb.is_valid()) exc_tb = nb::none();
        nb::object suppress = exit(manager, exc_type, exc_value, exc_tb);
        if (!truth(suppress)) throw;
        return fallback();
    }
    exit(manager, nb::none(), nb::none(), nb::none());
    return result;
}

/// Makes `call` (the `__call__` of `def`, which must outlive the process) the class's call
/// slot, the way a C type offers `__call__`: calling an instance goes straight to it. A
/// subclass, or a class whose `__call__` is replaced, gets Python's usual slot, which calls
/// whatever `__call__` it finds.
inline void set_call_slot(ClassBuilder& builder, PyMethodDef* def, ternaryfunc call) {
    builder.method(def);
    reinterpret_cast<PyTypeObject*>(builder.cls().ptr())->tp_call = call;
}

} // namespace tessel::ns::handles
