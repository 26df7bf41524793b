// nestmap_keyed_list.cpp — TclX keyed lists read into NestMaps (NestMap.from_tcl) and NestMaps
// rendered back as nested (key, value) pairs for Tcl (NestMap.__tclobj__).

#include "host/tcl_text.hpp"
#include "nestmap_parts.hpp"

#include <tcl.h>

#include <cstring>
#include <memory>
#include <string>

namespace nb = nanobind;

namespace tessel::nestmap {
namespace {

// ---------------------------------------------------------------------------------------------
// Reading keyed lists.
//
// The rule: a value is a nested keyed list exactly when it splits, recursively, into fields
// of two elements each. The general reader asks the package-level `cast_list` for every
// split. When that is the interpreter's own Tcl list splitter, the quick reader below splits
// with Tcl's parser on one UTF-8 copy of the text instead, making Python objects only for
// keys and leaves; it gives the same result and hands every failure back to the general
// reader, which raises the exact error.

using SplitList = std::unique_ptr<const char*, void (*)(const char**)>;

SplitList split_list(const char* text, int& count, bool& ok) {
    const char** elements = nullptr;
    ok = Tcl_SplitList(nullptr, text, &count, &elements) == TCL_OK;
    return SplitList(ok ? elements : nullptr,
                     [](const char** p) { Tcl_Free(reinterpret_cast<char*>(p)); });
}

bool list_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/// True when Tcl reads `text` as a list of exactly one element, the text itself: it is
/// non-empty and has no white space, brace, double quote or backslash.
bool single_word(const char* text) {
    if (!*text) return false;
    for (const char* p = text; *p; ++p) {
        if (list_space(*p) || *p == '{' || *p == '}' || *p == '"' || *p == '\\') return false;
    }
    return true;
}

/// True when the first element of `text` is a bare word without backslashes. Such a word
/// is a field of one element, so `text` cannot be a keyed list (whatever follows it).
bool starts_with_word(const char* text) {
    const char* p = text;
    while (list_space(*p))
        ++p;
    if (!*p || *p == '{' || *p == '"') return false;
    for (; *p && !list_space(*p); ++p) {
        if (*p == '\\') return false;
    }
    return true;
}

/// Sets the ValueError for a top-level field `index` that has `length` elements, not 2.
void unpaired_field(Py_ssize_t index, Py_ssize_t length) {
    PyErr_Format(PyExc_ValueError,
                 "not a keyed list: field #%zd has %zd element%s, not 2 (a key and a value)", index,
                 length, length == 1 ? "" : "s");
}

nb::object text_object(const char* utf8) {
    return check(from_tcl_utf8(utf8, std::strlen(utf8)));
}

/// Reads Tcl list text as a keyed list. When it is not one, returns null: without an error
/// for a nested value, or at the top level (`top`) with the dict constructor's ValueError
/// for the first field that is no pair. Text that Tcl cannot split gives null without an
/// error, even at the top: the general reader then raises the splitter's own error.
nb::object quick_keyed_list(const char* text, bool top) {
    int count = 0;
    bool ok = false;
    SplitList fields = split_list(text, count, ok);
    if (!ok) return nb::object();
    // The fields pair up with dict semantics (a repeated key keeps its first place and
    // its last value). Only keys with a "." need the dotted update into a fresh map.
    nb::object dsc = new_nestmap();
    bool dotted = false;
    int unpaired = -1, unpaired_length = 0;
    for (int i = 0; i < count; ++i) {
        const char* field = fields.get()[i];
        int parts = 1;
        SplitList pair(nullptr, nullptr);
        if (!single_word(field)) {
            pair = split_list(field, parts, ok);
            if (!ok) return nb::object();
        }
        if (parts != 2) {
            if (!top) return nb::object();
            if (unpaired < 0) {
                unpaired = i;
                unpaired_length = parts;
            }
        }
        // After a field that is no pair, the rest are only checked for malformed lists.
        if (unpaired >= 0) continue;
        const char* raw_key = pair.get()[0];
        const char* raw = pair.get()[1];
        dotted = dotted || std::strchr(raw_key, '.');
        nb::object key = text_object(raw_key);
        nb::object value;
        if (!starts_with_word(raw)) {
            RecursionGuard guard(" while reading a keyed list");
            value = quick_keyed_list(raw, false);
        }
        if (!value.is_valid()) value = text_object(raw);
        check_int(PyDict_SetItem(dsc.ptr(), key.ptr(), value.ptr()));
    }
    if (unpaired >= 0) {
        unpaired_field(unpaired, unpaired_length);
        return nb::object();
    }
    if (!dotted) return dsc;
    nb::object klist = new_nestmap();
    update_from_dict(klist.ptr(), dsc.ptr());
    return klist;
}

/// True when `cast_list` is the interpreter's own splitter over Tcl's list parser.
bool is_tcl_splitter(PyObject* cast_list) {
    Names& n = names();
    nb::object module = nb::steal(PyImport_GetModule(n.interpreter_module.ptr()));
    if (!module.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    auto attribute = [](PyObject* obj, PyObject* name) {
        PyObject* value = PyObject_GetAttr(obj, name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
        }
        return nb::steal(value);
    };
    nb::object cls = attribute(module.ptr(), n.interpreter_class.ptr());
    if (!cls.is_valid()) return false;
    nb::object own = attribute(cls.ptr(), n.cast_list.ptr());
    if (!own.is_valid() || own.ptr() != cast_list) return false;
    // The interpreter module's splitter may have been replaced; then its casts use that one.
    nb::object splitter = attribute(module.ptr(), n.list_splitter.ptr());
    if (!splitter.is_valid()) return true;
    nb::object internal = nb::steal(PyImport_GetModule(n.internal_module.ptr()));
    if (!internal.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    nb::object original = attribute(internal.ptr(), n.list_splitter.ptr());
    return original.is_valid() && original.ptr() == splitter.ptr();
}

/// The general reader, exactly as written: split with `cast_list`, pair the fields up with
/// the dict constructor, then try every value as a nested keyed list. Returns the NestMap,
/// or null: with the error set when splitting or pairing failed (cheaper than a C++
/// exception on this common path), without one when a nested value (`nested` true) simply
/// has fields that are not all pairs.
nb::object general_keyed_list(PyObject* cast_list, PyObject* value, bool nested) {
    nb::object elements = nb::steal(PyObject_CallOneArg(cast_list, value));
    if (!elements.is_valid()) return nb::object();
    nb::object fields = check(PyList_New(0));
    bool pairs_only = true;
    nb::object iterator = check(PyObject_GetIter(elements.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object element = nb::steal(raw);
        nb::object field = nb::steal(PyObject_CallOneArg(cast_list, element.ptr()));
        if (!field.is_valid()) return nb::object();
        if ((PyTuple_Check(field.ptr()) || PyList_Check(field.ptr())) &&
            PySequence_Fast_GET_SIZE(field.ptr()) != 2)
            pairs_only = false;
        check_int(PyList_Append(fields.ptr(), field.ptr()));
    }
    if (PyErr_Occurred()) return nb::object();
    if (nested && !pairs_only) return nb::object();
    if (!pairs_only) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fields.ptr()); ++i) {
            PyObject* field = PyList_GET_ITEM(fields.ptr(), i);
            if ((PyTuple_Check(field) || PyList_Check(field)) &&
                PySequence_Fast_GET_SIZE(field) != 2) {
                unpaired_field(i, PySequence_Fast_GET_SIZE(field));
                return nb::object();
            }
        }
    }
    nb::object dsc = check(PyDict_New());
    if (PyDict_MergeFromSeq2(dsc.ptr(), fields.ptr(), 1) < 0) return nb::object();
    Py_ssize_t pos = 0;
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(dsc.ptr(), &pos, &raw_key, &raw_value)) {
        nb::object key = nb::borrow(raw_key), plain = nb::borrow(raw_value);
        nb::object level;
        {
            RecursionGuard guard(" while reading a keyed list");
            level = general_keyed_list(cast_list, plain.ptr(), true);
        }
        if (level.is_valid()) {
            check_int(PyDict_SetItem(dsc.ptr(), key.ptr(), level.ptr()));
        } else if (PyErr_Occurred()) {
            // A value that is no keyed list stays plain; any other failure leaves.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            PyErr_Clear();
        }
    }
    nb::object klist = new_nestmap();
    update_from_dict(klist.ptr(), dsc.ptr());
    return klist;
}

/// Reads a keyed list; null with the error set when it is not one.
nb::object read_keyed_list(PyObject* value) {
    Names& n = names();
    nb::object package = nb::steal(PyImport_GetModule(n.package.ptr()));
    if (!package.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        package = check(PyImport_Import(n.package.ptr()));
    }
    nb::object cast_list = check(PyObject_GetAttr(package.ptr(), n.cast_list.ptr()));
    if ((PyUnicode_Check(value) || Py_TYPE(value) == (PyTypeObject*)n.tcl_obj_type.ptr()) &&
        is_tcl_splitter(cast_list.ptr())) {
        nb::object text = PyUnicode_Check(value) ? nb::borrow(value) : check(PyObject_Str(value));
        std::string utf8 = to_tcl_utf8(text.ptr());
        nb::object klist = quick_keyed_list(utf8.c_str(), true);
        if (klist.is_valid() || PyErr_Occurred()) return klist;
    }
    return general_keyed_list(cast_list.ptr(), value, false);
}

} // namespace

nb::object from_tcl(nb::handle string) {
    nb::object klist = read_keyed_list(string.ptr());
    if (!klist.is_valid()) throw nb::python_error();
    return klist;
}

/// `NestMap.from_tcl` as bound: a failure goes back to Python without a C++ exception.
nb::object from_tcl_py(nb::handle string) {
    return read_keyed_list(string.ptr());
}

namespace {

// ---------------------------------------------------------------------------------------------
// Rendering: the fields as (key, value) pairs of Tcl-ready values, nested levels as nested
// tuples.

/// `tclobj(value)`; text, the common case, is already Tcl-ready.
nb::object tcl_ready(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return nb::borrow(value);
    return check(names().api->tclobj(value));
}

nb::object fields_of(PyObject* self) {
    RecursionGuard guard(" while converting a NestMap for Tcl");
    Py_ssize_t size = PyDict_GET_SIZE(self);
    nb::object result = check(PyTuple_New(size));
    Py_ssize_t pos = 0, i = 0;
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(self, &pos, &raw_key, &raw_value)) {
        nb::object key = nb::borrow(raw_key), value = nb::borrow(raw_value);
        nb::object ready_key = tcl_ready(key.ptr());
        nb::object ready_value =
            exact(value.ptr()) ? fields_of(value.ptr()) : tcl_ready(value.ptr());
        if (PyDict_GET_SIZE(self) != size || i >= size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
        PyObject* pair = PyTuple_New(2);
        if (!pair) throw nb::python_error();
        PyTuple_SET_ITEM(pair, 0, ready_key.release().ptr());
        PyTuple_SET_ITEM(pair, 1, ready_value.release().ptr());
        PyTuple_SET_ITEM(result.ptr(), i++, pair);
    }
    if (i != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        throw nb::python_error();
    }
    return result;
}

} // namespace

nb::object tclobj_hook(nb::handle self) {
    return fields_of(self.ptr());
}

} // namespace tessel::nestmap
