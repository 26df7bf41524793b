// nested_values.hpp — checks values bound for the inside of a tuple that the host turns into
// a Tcl list: the host refuses a bad word cleanly, but crashes on a bad item inside a tuple.
#pragma once

#include "stack_room.hpp"

#include <Python.h>

#include <cstring>

namespace tessel {

/// False, with the host's own UnicodeEncodeError set, when `text` holds a surrogate that the
/// host cannot carry into Tcl (it passes only the escaped bytes U+DC80..U+DCFF).
inline bool host_can_carry_text(PyObject* text) {
    int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) return true;
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF && (c < 0xDC80 || c > 0xDCFF)) {
            PyObject* encoded = PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape");
            if (encoded) { // not expected; refuse all the same
                Py_DECREF(encoded);
                PyErr_SetString(PyExc_ValueError, "text with a lone surrogate");
            }
            return false;
        }
    }
    return true;
}

/// False, with an exception set, when the host could not convert `item` as an item of a
/// tuple or list: text it cannot carry, or an object whose text form fails or is such text.
/// Tuples and lists are checked item by item.
inline bool host_can_nest(PyObject* item) {
    if (PyUnicode_Check(item)) return host_can_carry_text(item);
    if (PyBytes_Check(item) || PyLong_Check(item) || PyFloat_Check(item)) return true;
    if (PyTuple_Check(item) || PyList_Check(item)) {
        if (!enter_nesting(" while checking a value for Tcl")) return false;
        bool fine = true;
        for (Py_ssize_t i = 0; fine && i < PySequence_Fast_GET_SIZE(item); ++i)
            fine = host_can_nest(PySequence_Fast_GET_ITEM(item, i));
        leave_nesting();
        return fine;
    }
    if (std::strcmp(Py_TYPE(item)->tp_name, "_tkinter.Tcl_Obj") == 0) return true;
    PyObject* text = PyObject_Str(item); // what the host makes of any other object
    if (!text) return false;
    bool fine = host_can_carry_text(text);
    Py_DECREF(text);
    return fine;
}

/// Checks one value for the host: a tuple or list item by item (the host refuses anything
/// else cleanly on its own). False with an exception set when the host could not take it.
inline bool host_can_take_value(PyObject* value) {
    return !(PyTuple_Check(value) || PyList_Check(value)) || host_can_nest(value);
}

/// Checks the words of one list call (a tuple or list of words; anything else passes): the
/// host refuses a bad word cleanly, so only words that are tuples or lists are looked into.
inline bool host_can_take_words(PyObject* words) {
    if (!PyTuple_Check(words) && !PyList_Check(words)) return true;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(words); ++i)
        if (!host_can_take_value(PySequence_Fast_GET_ITEM(words, i))) return false;
    return true;
}

} // namespace tessel
