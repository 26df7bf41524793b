// pycall.hpp — the small Python C-API call helpers every module uses.
// Each raises the pending Python error as nb::python_error; calls go through vectorcall.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace tessel {
namespace nb = nanobind;

/// Room for the arguments of one call (the callee's object not counted).
inline constexpr size_t kMaxCallArgs = 7;

/// Takes ownership of a new reference, raising the pending Python error for null.
inline nb::object check(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

/// Python truth of a value; an error in `__bool__` propagates.
inline bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

/// The interned str for a cached name, kept for the life of the process; a failure raises.
inline nb::handle interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return nb::handle(s);
}

/// `obj.name`.
inline nb::object get_attr(nb::handle obj, nb::handle name) {
    return check(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

/// `obj.name = value`.
inline void set_attr(nb::handle obj, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
}

/// A tuple of the given items (new references taken).
inline nb::tuple tuple_of(std::initializer_list<nb::handle> items) {
    PyObject* t = PyTuple_New(Py_ssize_t(items.size()));
    if (!t) throw nb::python_error();
    Py_ssize_t i = 0;
    for (nb::handle item : items)
        PyTuple_SET_ITEM(t, i++, Py_NewRef(item.ptr()));
    return nb::steal<nb::tuple>(t);
}

/// `module.name`, imported now and kept for the life of the process (call it at module init,
/// not first on a hot path); a failure raises.
inline nb::handle kept_module_attribute(const char* module, const char* name) {
    nb::object imported = check(PyImport_ImportModule(module));
    return check(PyObject_GetAttrString(imported.ptr(), name)).release();
}

[[noreturn]] inline void too_many_arguments() {
    PyErr_SetString(PyExc_SystemError, "too many call arguments");
    throw nb::python_error();
}

/// `obj.name(*args)`, looked up on the object as Python does, without a bound method.
inline nb::object call_method(nb::handle obj, nb::handle name,
                              std::initializer_list<nb::handle> args = {}) {
    if (args.size() > kMaxCallArgs) too_many_arguments();
    PyObject* stack[kMaxCallArgs + 2] = {nullptr, obj.ptr()}; // slot 0 is the callee's to use
    size_t n = 1;
    for (nb::handle arg : args)
        stack[1 + n++] = arg.ptr();
    return check(PyObject_VectorcallMethod(name.ptr(), stack + 1,
                                           n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `fn(*args)`.
inline nb::object call(nb::handle fn, std::initializer_list<nb::handle> args = {}) {
    if (args.size() > kMaxCallArgs) too_many_arguments();
    PyObject* stack[kMaxCallArgs + 1] = {nullptr}; // slot 0 is the callee's to use
    size_t n = 0;
    for (nb::handle arg : args)
        stack[1 + n++] = arg.ptr();
    return check(
        PyObject_Vectorcall(fn.ptr(), stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

} // namespace tessel
