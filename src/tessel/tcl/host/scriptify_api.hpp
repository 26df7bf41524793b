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
inline const ScriptifyApi* import_scriptify_api() {
    return static_cast<const ScriptifyApi*>(PyCapsule_Import(kScriptifyCapsule, 0));
}

} // namespace tessel
