// scriptify_parts.hpp — what the two sources of the tessel.tcl.scriptify module share.
// scriptify.cpp converts Python values and owns the module; scriptify_quoting.cpp quotes lists.
#pragma once

#include "host/pycall.hpp"

namespace tessel::scripting {
namespace nb = nanobind;

/// Cached imports, interned names and the module namespace (for call-time lookups).
/// They are kept for the life of the process, never released at exit.
struct Names {
    nb::handle mapping, sequence, set, tcl_obj_type;
    nb::handle module_dict;
    nb::handle scriptify_hook, tclobj_hook;
    nb::handle from_sequence_name, from_mapping_name;
    nb::handle own_from_sequence, own_from_mapping;
    nb::handle use_braces, dont_use_braces, braces_unmatched, add;
    nb::handle empty, true_text, false_text;
    /// Text of the integers that calls pass most (counts, indexes, flags), made once.
    static constexpr long kSmallLow = -128, kSmallHigh = 1024;
    nb::handle small_int_texts[kSmallHigh - kSmallLow];
};

inline Names& names() {
    static Names cached;
    return cached;
}

/// What a recursion error while converting a nested value says of where it happened.
inline constexpr const char* kConverting = " while converting a value for Tcl";

/// `scriptify` of a value, applied again until it is text (a `__scriptify__`
/// hook may return anything), so that it can be scanned character by character.
/// (scriptify.cpp)
nb::object element_text(nb::handle obj);

/// The Tcl list string of an iterable: every element converted and scanned (while it is at
/// hand), then quoted and joined. (scriptify_quoting.cpp)
nb::object render_list(nb::handle list_obj);

/// `_Tcl_ScanElement` and `_Tcl_ConvertElement`: the scan of one element as (space bound,
/// flag set), and its quoted form given those flags. (scriptify_quoting.cpp)
nb::tuple scan_element_py(nb::handle string);
nb::object convert_element_py(nb::handle src, nb::handle flags);

} // namespace tessel::scripting
