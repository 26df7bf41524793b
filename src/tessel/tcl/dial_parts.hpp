// dial_parts.hpp — what the two sources of the tessel.tcl.dial module share.
// dial.cpp owns the module, Dial and the Dial_Code type; dial_call.cpp runs a Dial_Code's command.
#pragma once

#include "host/class_guard.hpp"
#include "host/pyerrors.hpp"
#include "scriptify_api.hpp"

#include <nanobind/nanobind.h>

namespace tessel::dial {
namespace nb = nanobind;

/// `Dial_Code`: the command path collected so far, and the interpreter to run it in. A path
/// that attribute access starts holds its one name in `only_name`; the list `cmd` is made from
/// it when first asked for (most paths are called at once and never read).
struct CodeObject {
    PyObject ob_base;
    PyObject* tcl;
    PyObject* cmd;
    PyObject* only_name;
    PyObject* dict;
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
};

/// The two types, the scriptify entry points, the module namespace (for call-time lookups)
/// and interned names, kept for the life of the process.
struct Names {
    PyTypeObject* dial_type = nullptr;
    PyTypeObject* code_type = nullptr;
    const ScriptifyApi* api = nullptr;
    nb::handle module_dict, own_scriptify;
    nb::handle scriptify_name, tcl_error_name, weakref_name, proxy_name;
    nb::handle history, append, tk, call, cast_any, vars, error_info, cast_keyword;
    nb::handle separator, dash, empty_command_message;
    nb::handle getattribute;
    nb::handle apply, resolve_lambda, command_objects; ///< the command objects (dial_call.cpp)
    PyTypeObject *host_type = nullptr, *host_object_type = nullptr;
    nb::handle host_call, host_error; ///< the host type's own `call`; the host's TclError
    nb::handle dial_attribute_names, code_attribute_names; ///< frozensets (dial.cpp)
};

inline Names& names() {
    static Names cached;
    return cached;
}

/// A module-level name as it stands now (callers may replace it). Borrowed; null with
/// NameError when it was deleted.
inline PyObject* module_name(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(names().module_dict.ptr(), name.ptr());
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return value;
}

/// `module_name` for the one name of each call, `scriptify`, remembered while the module's
/// namespace is unchanged (host/class_guard.hpp's KeyGuard).
inline PyObject* module_scriptify() {
    static KeyGuard guard(class_changes().dicts); // guarded by the GIL
    PyObject* value = nullptr;
    if (!guard.read(names().module_dict.ptr(), names().scriptify_name.ptr(), &value))
        return nullptr;
    if (!value)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", names().scriptify_name.ptr());
    return value;
}

/// The path list `cmd`, made from `only_name` when that is all there is. Borrowed; null with
/// AttributeError when it was deleted. (dial.cpp)
PyObject* command_path(PyObject* self);

/// The command word: the path joined with "::". A one-part path of exact `str` is its part.
/// (dial_call.cpp)
PyObject* command_word(PyObject* self);

/// Runs the command: records the words in the interpreter's history, calls them through the
/// host as one list call, turns a Tcl failure into the full error trace, and casts the result
/// unless `cast_` is false. (dial_call.cpp)
PyObject* code_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

} // namespace tessel::dial
