// internal.hpp — what the files of the module tessel.tcl.internal share.
// internal.cpp holds the data-only Tcl calls; interruption.cpp, signals and interrupt() for running
// scripts.
#pragma once

#include <nanobind/nanobind.h>

#include <tcl.h>

namespace tessel {
namespace nb = nanobind;

/// The Tcl interpreter behind an interpreter (or host application object). Raises
/// RuntimeError unless the calling thread owns it. (internal.cpp)
Tcl_Interp* owned_interp(nb::handle interp);

/// The thread registered as the owner of `tcl`, or null when none is. (internal.cpp)
Tcl_ThreadId owner_thread(Tcl_Interp* tcl);

/// The Tcl interpreter behind an interpreter (or host application object), of any thread.
/// (internal.cpp)
Tcl_Interp* interp_of(nb::handle interp);

/// Adds the functions that interrupt running scripts to the module. (interruption.cpp)
void def_interruption(nb::module_& module);

} // namespace tessel
