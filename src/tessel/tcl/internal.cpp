// internal.cpp — the module tessel.tcl.internal: direct, data-only access to the Tcl library.
// Splits Tcl lists with Tcl's own parser and resets an interpreter's result, thread-checked.

#include "host/internal.hpp"
#include "host/class_guard.hpp"
#include "host/pyclass.hpp"
#include "host/tcl_library.hpp"
#include "host/tcl_lists.hpp"
#include "host/tcl_text.hpp"

#include <tcl.h>

namespace nb = nanobind;

namespace tessel {
namespace {

/// Cached imports of the host module, kept for the life of the process.
struct Host {
    nb::handle tcl_error;
    nb::handle tcl_obj_type;
};

Host& host() {
    static Host cached = [] {
        nb::module_ tkinter = nb::module_::import_("_tkinter");
        return Host{keep(tkinter.attr("TclError")), keep(tkinter.attr("Tcl_Obj"))};
    }();
    return cached;
}

/// A tuple or list is already split: its items, Tcl objects turned into text.
nb::tuple items_of_sequence(nb::handle sequence) {
    nb::object fast = nb::steal(PySequence_Fast(sequence.ptr(), "expected a sequence"));
    if (!fast.is_valid()) throw nb::python_error();
    Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
    nb::object result = nb::steal(PyTuple_New(count));
    if (!result.is_valid()) throw nb::python_error();
    PyObject* tcl_obj_type = host().tcl_obj_type.ptr();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = items[i];
        PyObject* converted =
            Py_TYPE(item) == (PyTypeObject*)tcl_obj_type ? PyObject_Str(item) : Py_NewRef(item);
        if (!converted) throw nb::python_error();
        PyTuple_SET_ITEM(result.ptr(), i, converted);
    }
    return nb::borrow<nb::tuple>(result);
}

} // namespace

nb::tuple get_list_from_any(nb::handle value) {
    PyObject* obj = value.ptr();
    if (PyTuple_CheckExact(obj)) return items_of_sequence(value);
    if (PyList_Check(obj) || PyTuple_Check(obj)) return items_of_sequence(value);
    nb::object text;
    if (PyUnicode_Check(obj)) {
        text = nb::borrow(value);
    } else if (PyBytes_Check(obj)) {
        text = nb::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), "surrogateescape"));
    } else if (Py_TYPE(obj) == (PyTypeObject*)host().tcl_obj_type.ptr() || PyLong_Check(obj) ||
               PyFloat_Check(obj)) {
        text = nb::steal(PyObject_Str(obj));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "a Tcl list must be str, bytes, Tcl_Obj, tuple or list, not %.200s",
                     Py_TYPE(obj)->tp_name);
        throw nb::python_error();
    }
    if (!text.is_valid()) throw nb::python_error();
    return split_tcl_list(to_tcl_utf8(text.ptr()).c_str(), host().tcl_error.ptr());
}

/// The Tcl interpreter behind a host application object (or an object with `tk`).
Tcl_Interp* interp_of(nb::handle interp) {
    nb::object app;
    PyObject* tk = PyObject_GetAttrString(interp.ptr(), "tk");
    if (tk) {
        app = nb::steal(tk);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        app = nb::borrow(interp);
    } else {
        throw nb::python_error();
    }
    nb::object addressof = nb::steal(PyObject_GetAttrString(app.ptr(), "interpaddr"));
    if (!addressof.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "expected an Interpreter or a Tcl application object, not %.200s",
                     Py_TYPE(interp.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t address = nb::cast<Py_ssize_t>(addressof());
    if (address == 0) throw nb::value_error("the Tcl interpreter has been deleted");
    return reinterpret_cast<Tcl_Interp*>(address);
}

void register_owner_thread(nb::handle interp) {
    Tcl_SetAssocData(interp_of(interp), kOwnerThreadKey, nullptr,
                     reinterpret_cast<ClientData>(Tcl_GetCurrentThread()));
}

/// An interpreter nobody registered is owned by the first thread that asks.
Tcl_Interp* owned_interp(nb::handle interp) {
    Tcl_Interp* tcl = interp_of(interp);
    Tcl_ThreadId owner = owner_thread(tcl);
    Tcl_ThreadId current = Tcl_GetCurrentThread();
    if (!owner) {
        Tcl_SetAssocData(tcl, kOwnerThreadKey, nullptr, reinterpret_cast<ClientData>(current));
    } else if (owner != current) {
        throw nb::builtin_exception(nb::exception_type::runtime_error,
                                    "Tcl interpreter used from a thread other than the "
                                    "one that created it");
    }
    return tcl;
}

void reset_result(nb::handle interp) {
    Tcl_ResetResult(owned_interp(interp));
}

} // namespace tessel

NB_MODULE(internal, m) {
    using namespace tessel;
    bind_host_tcl();
    def_function(m, "GetListFromAny", &get_list_from_any, nb::arg("value").none(),
                 "The elements of a Tcl list (text or Tcl object) as a tuple of strings.");
    def_function(m, "register_owner_thread", &register_owner_thread, nb::arg("interp").none(),
                 "Marks the calling thread as the owner of the interpreter.");
    ClassBuilder dll("tessel.tcl.internal", "TclDLL", nb::make_tuple());
    dll.def_static("Tcl_ResetResult", &reset_result, nb::arg("interp").none());
    m.attr("TclDLL") = dll.finish();
    def_interruption(m);
    export_class_changes(m);
    // failed Python callbacks' exceptions, until a TclError takes one (host/tcl_errors.hpp)
    m.attr("_CALLBACK_ERRORS") = nb::dict();
}
