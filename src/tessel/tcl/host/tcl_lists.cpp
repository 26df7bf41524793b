// tcl_lists.cpp — Tcl list text split by Tcl's own parser into Python text.
// Runs no script: the only interpreter made is one of this thread's, to learn Tcl's messages.

#include "tcl_lists.hpp"
#include "tcl_text.hpp"

#include <tcl.h>

#include <cstring>
#include <memory>

namespace tessel {
namespace {

/// An interpreter of this thread, made on first need, only to learn Tcl's message for a
/// malformed list. It runs no script.
struct MessageInterp {
    Tcl_Interp* interp = Tcl_CreateInterp();
    ~MessageInterp() { Tcl_DeleteInterp(interp); }
};

/// Raises `error_type` with Tcl's message for the malformed list `bytes`. Tcl may cut the
/// quoted part of its message inside a character; the bytes are read as Tcl reads them.
[[noreturn]] void raise_malformed_list(const char* bytes, PyObject* error_type) {
    thread_local MessageInterp messages;
    int count = 0;
    const char** elements = nullptr;
    if (Tcl_SplitList(messages.interp, bytes, &count, &elements) == TCL_OK) {
        Tcl_Free(reinterpret_cast<char*>(elements));
        PyErr_SetString(error_type, "malformed Tcl list");
        throw nb::python_error();
    }
    int size = 0;
    const char* message = Tcl_GetStringFromObj(Tcl_GetObjResult(messages.interp), &size);
    PyObject* text = from_tcl_utf8(message, size_t(size));
    Tcl_ResetResult(messages.interp);
    if (!text) throw nb::python_error();
    PyErr_SetObject(error_type, text);
    Py_DECREF(text);
    throw nb::python_error();
}

/// One element of a split list as Python text: plain UTF-8 in the common case, Tcl's own
/// forms (C0 80 for NUL, surrogate halves, stray bytes) through the full conversion.
PyObject* element_text(const char* bytes) {
    Py_ssize_t size = Py_ssize_t(std::strlen(bytes));
    if (PyObject* text = PyUnicode_DecodeUTF8(bytes, size, nullptr)) return text;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    PyErr_Clear();
    return from_tcl_utf8(bytes, size_t(size));
}

} // namespace

nb::tuple split_tcl_list(const char* bytes, PyObject* error_type) {
    int count = 0;
    const char** elements = nullptr;
    if (Tcl_SplitList(nullptr, bytes, &count, &elements) != TCL_OK)
        raise_malformed_list(bytes, error_type);
    std::unique_ptr<const char*, void (*)(const char**)> owner(
        elements, [](const char** p) { Tcl_Free(reinterpret_cast<char*>(p)); });
    PyObject* words = PyTuple_New(count);
    if (!words) throw nb::python_error();
    nb::tuple result = nb::steal<nb::tuple>(words);
    for (int i = 0; i < count; ++i) {
        PyObject* item = element_text(elements[i]);
        if (!item) throw nb::python_error();
        PyTuple_SET_ITEM(words, i, item);
    }
    return result;
}

} // namespace tessel
