// interpreter_parts.hpp — what the sources of the interpreter module share.
// Cached imports and interned names, small call helpers, and the casts the core calls directly.
#pragma once

#include "host/pycall.hpp"
#include "host/pyclass.hpp"
#include "scriptify_api.hpp"

#include <initializer_list>

namespace tessel::interp {
namespace nb = nanobind;

/// Cached imports and interned names, kept for the life of the process.
struct Names {
    const ScriptifyApi* api = nullptr;
    nb::handle module_dict, interpreter_class;
    nb::handle tk_class, tcl_error, tcl_obj_type;
    nb::handle scriptify_fn, tclobj_fn, get_list_from_any, reset_result, register_owner_thread;
    nb::handle watch_signals, interrupt;
    nb::handle simple_namespace, entry_points;

    // attribute names of the interpreter and its parts
    nb::handle tk, history, append, eval, vars, objs, global_ns, local_ns, dial, dial_upper,
        callbacks, init, load_entrypoint, dict, owner_thread, command_objects, call,
        remove_callback;
    // host and cast operations
    nb::handle getint, getdouble, getboolean, getattribute, cast_int, cast_double, cast_boolean,
        cast_list, cast_any, from_tcl, items, all_items, type_name, keyed_list_type, item_cast;
    // typed variables
    nb::handle array_get, array_set, from_sequence;
    // callbacks
    nb::handle func, name, name_dunder, lstrip, cmds, exists, rename, delete_, createcommand, tcl,
        bkup_prefix, colon;
    // entry points and module-level names looked up at call time
    nb::handle module_name, module, load, debug, group, iter_entry_points, allowed_keys, init_group,
        logger, loading_message;
    nb::handle Array, NestMap, History, Dial, TclNamespace, TclCommand;
    // texts
    nb::handle error_info_qualified, error_info, empty;
};

Names& names();

using tessel::call;
using tessel::call_method;
using tessel::check;
using tessel::get_attr;
using tessel::truth;

/// A module-level name, read at call time so that callers may replace it.
nb::object module_global(nb::handle name);

/// Raises `exc_type(cause)` with `cause` as both cause and context, like
/// `raise exc_type(cause) from cause` inside the handler of `cause`.
[[noreturn]] void raise_from(PyObject* exc_type, nb::handle cause);

/// Takes the pending Python error if it is an instance of `type` (normalised),
/// leaving any other error pending; returns a null object then.
nb::object catch_error(PyObject* type);

/// The casts the rest of the module calls directly. (interpreter_lists.cpp,
/// interpreter_values.cpp)
nb::object cast_list(nb::handle value, nb::handle item_cast);
nb::object cast_keyed_list(nb::handle value, nb::handle item_cast);

/// Add the callback methods, the typed variable access and the casts to the class, each
/// group in class-body order. (interpreter_callbacks.cpp, interpreter_variables.cpp,
/// interpreter_values.cpp)
void add_callback_methods(ClassBuilder& cls);
void add_variable_methods(ClassBuilder& cls);
void add_cast_methods(ClassBuilder& cls);

/// Records the class's own casts and the host's conversions, which the fast readings of
/// text require an instance to be still using. (interpreter_values.cpp)
void record_own_casts(nb::handle cls);

} // namespace tessel::interp
