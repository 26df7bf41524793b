// interpreter_lists.cpp — Tcl lists into tuples of Python text: the list cast.
// Text is split by Tcl's own list parser without an interpreter, as pure data work.

#include "host/tcl_text.hpp"
#include "interpreter_parts.hpp"

#include <tcl.h>

#include <cstring>
#include <memory>
#include <string>

namespace nb = nanobind;

namespace tessel::interp {

namespace {

/// An interpreter of this thread, made on first need, only to learn Tcl's message for a
/// malformed list. It runs no script.
struct MessageInterp {
    Tcl_Interp* interp = Tcl_CreateInterp();
    ~MessageInterp() { Tcl_DeleteInterp(interp); }
};

/// Sets TclError with Tcl's message for the malformed list `utf8`. Tcl may cut the quoted
/// part of its message inside a character; the bytes are read as Tcl reads them.
void set_malformed_list_error(const char* utf8) {
    thread_local MessageInterp messages;
    int count = 0;
    const char** elements = nullptr;
    if (Tcl_SplitList(messages.interp, utf8, &count, &elements) == TCL_OK) {
        Tcl_Free(reinterpret_cast<char*>(elements));
        PyErr_SetString(names().tcl_error.ptr(), "malformed Tcl list");
        return;
    }
    Tcl_Obj* result = Tcl_GetObjResult(messages.interp);
    int size = 0;
    const char* message = Tcl_GetStringFromObj(result, &size);
    PyObject* text = from_tcl_utf8(message, size_t(size));
    Tcl_ResetResult(messages.interp);
    if (!text) return;
    PyErr_SetObject(names().tcl_error.ptr(), text);
    Py_DECREF(text);
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

/// Splits Python text as a Tcl list into a tuple of Python texts. Text that is plain UTF-8
/// to Tcl (no NUL, no lone surrogate, the usual case) is parsed straight from its cached
/// UTF-8 form; other text is converted to Tcl's bytes first. A malformed list is TclError.
nb::object split_text(PyObject* text) {
    std::string converted;
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (!bytes || std::memchr(bytes, 0, size_t(size))) {
        PyErr_Clear();
        converted = to_tcl_utf8(text);
        bytes = converted.c_str();
    }
    int count = 0;
    const char** elements = nullptr;
    if (Tcl_SplitList(nullptr, bytes, &count, &elements) != TCL_OK) {
        set_malformed_list_error(bytes);
        throw nb::python_error();
    }
    std::unique_ptr<const char*, void (*)(const char**)> owner(
        elements, [](const char** p) { Tcl_Free(reinterpret_cast<char*>(p)); });
    nb::object words = check(PyTuple_New(count));
    for (int i = 0; i < count; ++i)
        PyTuple_SET_ITEM(words.ptr(), i, check(element_text(elements[i])).release().ptr());
    return words;
}

} // namespace

nb::object cast_list(nb::handle value, nb::handle item_cast) {
    Names& n = names();
    PyObject* arg = value.ptr();
    PyObject* split = nullptr;
    if (PyUnicode_CheckExact(arg)) {
        try {
            split = split_text(arg).release().ptr();
        } catch (nb::python_error& e) {
            e.restore();
        }
    } else {
        split = PyObject_Vectorcall(n.get_list_from_any.ptr(), &arg, 1, nullptr);
    }
    if (!split) {
        nb::object malformed = catch_error(n.tcl_error.ptr());
        if (!malformed.is_valid()) throw nb::python_error();
        raise_from(PyExc_ValueError, malformed);
    }
    nb::object words = nb::steal(split);
    if (item_cast.is_none()) return words;
    Py_ssize_t count = PyTuple_GET_SIZE(split);
    nb::object result = check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* word = PyTuple_GET_ITEM(split, i);
        PyTuple_SET_ITEM(
            result.ptr(), i,
            check(PyObject_Vectorcall(item_cast.ptr(), &word, 1, nullptr)).release().ptr());
    }
    return result;
}

} // namespace tessel::interp
