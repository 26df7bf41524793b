// history_parts.hpp — what the two sources of the tessel.tcl.history module share.
// history.cpp owns the module and History; history_entry.cpp holds Entry, one recorded call.
#pragma once

#include "host/class_guard.hpp"
#include "host/pycall.hpp"
#include "host/pyerrors.hpp"

namespace tessel::hist {
namespace nb = nanobind;

/// Cached imports and interned names, kept for the life of the process.
struct Names {
    nb::handle module_dict;
    nb::handle logger, logger_cache; ///< the module's own logger and its level cache
    nb::handle deque_type, deque_append, re_compile, entry_type, history_type;
    nb::handle log_name, cache_name, debug_name, debug_level;
    nb::handle log_format, space, timestamp_format;
    nb::handle append, clear, remove, maxlen, search, api, enable, strftime;
};

inline Names& names() {
    static Names cached;
    return cached;
}

/// The dictionaries whose keys the module remembers (its namespace, its logger's level
/// cache), with a watcher of the module's own: it imports nothing of the package.
inline DictChanges& watched_dicts() {
    static DictChanges changes;
    return changes;
}

/// A new Entry of exactly the Entry type, as `Entry(api)` makes it. (history_entry.cpp)
nb::object new_entry(nb::handle api);

/// Creates the Entry type in module `m` (the module is left to name it). (history_entry.cpp)
nb::object make_entry_type(nb::module_& m);

} // namespace tessel::hist
