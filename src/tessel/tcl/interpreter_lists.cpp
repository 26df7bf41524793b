// interpreter_lists.cpp — Tcl lists into tuples of Python text: the list cast.
// Text is split by Tcl's own list parser without an interpreter, as pure data work.

#include "host/tcl_lists.hpp"
#include "host/tcl_text.hpp"
#include "interpreter_parts.hpp"

#include <cstring>
#include <string>

namespace nb = nanobind;

namespace tessel::interp {

namespace {

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
    return split_tcl_list(bytes, names().tcl_error.ptr());
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
