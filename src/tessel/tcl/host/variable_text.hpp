// variable_text.hpp — a Tcl variable's value as text, read whole on every Python.
// What `set name` evaluated by the host gives, except where the host would cut it at a NUL.
#pragma once

#include "host/py_versions.hpp"
#include "host/pyclass.hpp"

#include <nanobind/nanobind.h>

namespace tessel {
namespace nb = nanobind;

/*
 * Reads the variable (or element) `name` of the host object `app` as text, in place of
 * evaluating the script `set name`, where the host's own eval would cut its result at a NUL
 * (Pythons before 3.13, see kHostEvalCutsAtNul; `host_eval` takes it whole, at the cost of one
 * more Tcl command, which this read saves): the host's `getvar`, told to hand back text
 * (`wantobjects` off just for that read), takes the value with its length. It is one read of
 * the variable at the current level, as the script is, so read traces fire once. True with
 * the text in `out`; false when the caller is to evaluate the script as usual: always from
 * 3.13, for a host object of another type, and when the read fails, so that a failure is
 * the script's own (its error, its errorInfo). Raises only what no read may swallow.
 */
inline bool read_variable_text(nb::handle app, nb::handle name, nb::object& out) {
    if constexpr (!kHostEvalCutsAtNul) return false;
    static nb::handle host_type = keep(nb::module_::import_("_tkinter").attr("TkappType"));
    static nb::handle wantobjects = keep(nb::str("wantobjects"));
    static nb::handle getvar = keep(nb::str("getvar"));
    static nb::handle text_only = keep(nb::int_(0));
    if (!Py_IS_TYPE(app.ptr(), (PyTypeObject*)host_type.ptr())) return false;
    PyObject* wanted = PyObject_CallMethodNoArgs(app.ptr(), wantobjects.ptr());
    if (!wanted) throw nb::python_error();
    nb::object previous = nb::steal(wanted);
    int objects = PyObject_IsTrue(wanted);
    if (objects < 0) throw nb::python_error();
    if (objects &&
        !nb::steal(PyObject_CallMethodOneArg(app.ptr(), wantobjects.ptr(), text_only.ptr())))
        throw nb::python_error();
    PyObject* value = PyObject_CallMethodOneArg(app.ptr(), getvar.ptr(), name.ptr());
    if (objects) {
        // put back what the caller had, keeping the read's own error if there is one
        PyObject *type, *error, *trace;
        PyErr_Fetch(&type, &error, &trace);
        nb::object restored =
            nb::steal(PyObject_CallMethodOneArg(app.ptr(), wantobjects.ptr(), previous.ptr()));
        if (!restored.is_valid()) {
            Py_XDECREF(value);
            Py_XDECREF(type), Py_XDECREF(error), Py_XDECREF(trace);
            throw nb::python_error();
        }
        PyErr_Restore(type, error, trace);
    }
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    out = nb::steal(value);
    return true;
}

} // namespace tessel
