// namespace_parts.hpp — what the three sources of the tessel.tcl.namespace module share.
// namespace.cpp owns the module and TclNamespace; the handle classes live in their own files.
#pragma once

#include "host/pycall.hpp"
#include "host/pyclass.hpp"

#include <string>
#include <vector>

namespace tessel::ns {

/// `TclNamespace.join(first, *rest)`: paths combined and normalised (ValueError
/// "Invalid Tcl namespace '%s'" for an invalid path). Pure text work. (namespace.cpp)
nb::object join_names(nb::handle first, nb::args rest);

/// The interpreter a handle keeps: `tcl` when true, else the package `tessel.tcl`
/// imported now; wrapped in `weakref.proxy` unless it already is one. (namespace.cpp)
nb::object interpreter_proxy(nb::handle tcl);

/// Creates TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable
/// as attributes of the module. (namespace_variables.cpp)
void add_variable_classes(nb::module_& m);

/// Creates TclCommand and TempTclCommand as attributes of the module.
/// (namespace_commands.cpp)
void add_command_classes(nb::module_& m);

} // namespace tessel::ns

namespace tessel::ns {

/// The components of a path (`TclNamespace.split`), raising ValueError with
/// "Invalid Tcl namespace '%s'" filled with `original`. (namespace.cpp)
std::vector<std::u32string> split_path(const std::u32string& path, nb::handle original);

/// `TclNamespace.normalize` of a path. (namespace.cpp)
std::u32string normalize_path(const std::u32string& path, nb::handle original);

} // namespace tessel::ns
