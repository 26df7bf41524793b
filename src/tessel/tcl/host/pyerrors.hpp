// pyerrors.hpp — failures on their way between C++ and Python: a method body's C++ exception
// left as the pending Python error, Python's own words for an attribute that is missing, and
// one error replaced by a clearer one.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

namespace tessel {
namespace nb = nanobind;

/// Runs the body of a method called straight from Python. Returns the object the body
/// returns (a new reference), or null with the failure as the pending Python exception:
/// a C++ exception never crosses into Python.
template <typename Body> PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

/// A method body written against Python's fast calling convention: positional arguments in
/// `args[0..nargs)`, keyword values after them, named by `kwnames` (or null).
using FastBody = nb::object (*)(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

/// The entry point of a fast-call method whose body is `F`, run `guarded`.
template <FastBody F>
PyObject* guarded_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    return guarded([&] { return F(self, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

/// Sets the AttributeError Python raises for an attribute that `self` lacks (here: one that
/// a half-built or emptied object does not have) and returns null.
inline PyObject* missing_attribute(PyObject* self, const char* name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                 Py_TYPE(self)->tp_name, name);
    return nullptr;
}

/// The pending Python error as one exception object: normalised, its traceback attached, and
/// no longer pending. Invalid when no error was pending.
inline nb::object take_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
}

/// Replaces the pending Python error by `type(message)`, with the replaced error as its
/// cause, as `raise type(message) from error` would. Returns null.
inline PyObject* replace_error(PyObject* type, PyObject* message) {
    nb::object replaced = take_error();
    PyObject* replacement = PyObject_CallOneArg(type, message);
    if (!replacement) return nullptr;
    if (replaced.is_valid()) {
        PyException_SetContext(replacement, Py_NewRef(replaced.ptr()));
        PyException_SetCause(replacement, replaced.release().ptr()); // steals the reference
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(replacement)), replacement);
    Py_DECREF(replacement);
    return nullptr;
}

} // namespace tessel
