// tcl_text.hpp — Python text read by code point, and converted to and from Tcl's UTF-8.
// Tcl keeps NUL as the two bytes C0 80; everything else is ordinary UTF-8.
#pragma once

#include <Python.h>

#include <string>

namespace tessel {

/// Read access to the code points of a Python str, in place, by its storage kind.
struct TextView {
    int kind;
    const void* data;
    Py_ssize_t length;

    explicit TextView(PyObject* text)
        : kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)),
          length(PyUnicode_GET_LENGTH(text)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

/// Python text to the bytes Tcl keeps: NUL as C0 80, lone surrogates as their
/// three-byte form, everything else UTF-8. Never fails.
std::string to_tcl_utf8(PyObject* text);

/// Tcl's bytes back to Python text: the inverse of `to_tcl_utf8`, also reading
/// surrogate pairs written as two three-byte sequences, and any byte that is not
/// valid UTF-8 as the Latin-1 character of that value (as Tcl itself does).
/// Returns a new reference, or null with a Python error set.
PyObject* from_tcl_utf8(const char* bytes, size_t size);

} // namespace tessel
