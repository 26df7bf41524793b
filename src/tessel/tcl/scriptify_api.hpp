// scriptify_api.hpp — the C entry points that tessel.tcl.scriptify exports to the other modules.
// They convert without a trip through Python calls; each returns a new reference or null.
#pragma once

#include <Python.h>

namespace tessel {

struct ScriptifyApi {
    PyObject* (*scriptify)(PyObject* obj);   ///< Tcl text of any value
    PyObject* (*tclobj)(PyObject* obj);      ///< Tcl-ready value of any value
    PyObject* (*render_list)(PyObject* seq); ///< Tcl list text of an iterable
};

inline constexpr const char* kScriptifyCapsule = "tessel.tcl.scriptify._C_API";

/// Imports tessel.tcl.scriptify and returns its entry points; null with a Python error on failure.
/// (The package later offers the function `scriptify` under the module's name, so the
/// module is taken from the import system, not by attribute.)
inline const ScriptifyApi* import_scriptify_api() {
    PyObject* module = PyImport_ImportModule("tessel.tcl.scriptify");
    if (!module) return nullptr;
    PyObject* capsule = PyObject_GetAttrString(module, "_C_API");
    Py_DECREF(module);
    if (!capsule) return nullptr;
    void* api = PyCapsule_GetPointer(capsule, kScriptifyCapsule);
    Py_DECREF(capsule);
    return static_cast<const ScriptifyApi*>(api);
}

} // namespace tessel
