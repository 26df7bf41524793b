// tcl_lists.hpp — Tcl list text split by Tcl's own parser into Python text, as pure data work.
// Shared by the list cast and GetListFromAny; no interpreter of the host's is touched.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel {
namespace nb = nanobind;

/// Splits Tcl's bytes of a list (NUL as C0 80) into a tuple of Python texts. A malformed list
/// raises `error_type` with Tcl's own message.
nb::tuple split_tcl_list(const char* bytes, PyObject* error_type);

} // namespace tessel
