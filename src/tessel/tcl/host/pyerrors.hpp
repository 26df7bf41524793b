// pyerrors.hpp — failures on their way between C++ and Python: a method body's C++ exception
// left as the pending Python error, and Python's own words for an attribute that is missing.
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

/// Sets the AttributeError Python raises for an attribute that `self` lacks (here: one that
/// a half-built or emptied object does not have) and returns null.
inline PyObject* missing_attribute(PyObject* self, const char* name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                 Py_TYPE(self)->tp_name, name);
    return nullptr;
}

} // namespace tessel
