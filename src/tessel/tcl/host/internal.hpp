// internal.hpp — what the files of the module tessel.tcl.internal share, and the owner-thread
// record that host_eval.cpp reads too. interruption.cpp: signals and interrupt().
#pragma once

#include <nanobind/nanobind.h>

#include <tcl.h>

namespace tessel {
namespace nb = nanobind;

/// The Tcl interpreter behind an interpreter (or host application object). Raises
/// RuntimeError unless the calling thread owns it. (internal.cpp)
Tcl_Interp* owned_interp(nb::handle interp);

/// The key of the interpreter data that names an interpreter's owner thread.
inline constexpr const char* kOwnerThreadKey = "tessel.tcl owner thread";

/// The thread registered as the owner of `tcl`, or null when none is.
inline Tcl_ThreadId owner_thread(Tcl_Interp* tcl) {
    return reinterpret_cast<Tcl_ThreadId>(Tcl_GetAssocData(tcl, kOwnerThreadKey, nullptr));
}

/// The Tcl interpreter behind an interpreter (or host application object), of any thread.
/// (internal.cpp)
Tcl_Interp* interp_of(nb::handle interp);

/// Adds the functions that interrupt running scripts to the module. (interruption.cpp)
void def_interruption(nb::module_& module);

} // namespace tessel
