// tcl_library.hpp — how a module reaches the host's Tcl library: through its stubs table.
// Every module that calls Tcl binds itself once, first thing in its init.
#pragma once

namespace tessel {

/// Points this module's Tcl stubs at the library of the host's own interpreters (those of
/// `_tkinter`), reached through an interpreter the host makes (`host/tcl_library.py`). Where
/// that library is a shared library of its own, it also makes the library's symbols global,
/// as they are in tclsh, so that Tcl extensions expecting them (Expect) load. Throws with an
/// ImportError pending if the host's Tcl is not one these modules can use.
void bind_host_tcl();

} // namespace tessel
