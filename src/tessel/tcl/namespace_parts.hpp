// namespace_parts.hpp — what the sources of the tessel.tcl.namespace module share.
// namespace.cpp owns the module and TclNamespace; the views and the handle classes have their own.
#pragma once

#include "host/pycall.hpp"
#include "host/pyclass.hpp"
#include "scriptify_api.hpp"

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

// ---------------------------------------------------------------------------------------------
// What TclNamespace and its four views share (namespace.cpp, namespace_views.cpp and
// namespace_view_items.cpp).

namespace tessel::ns::space {

/// Cached imports, classes and interned names, kept for the life of the process.
struct Cached {
    const ScriptifyApi* api = nullptr;
    nb::handle proxy_types, weakref_proxy, super_type, tcl_error;
    nb::handle chain_from_iterable, map_type;
    nb::handle module_dict;
    nb::handle namespace_cls, temp_namespace_cls;
    nb::handle listing; ///< (view, words) -> the names Tcl lists inside the viewed namespace
    bool assertions = true;

    // attribute and method names
    nb::handle str_name, own_str, tclobj_hook, scriptify_hook;
    nb::handle ns, tcl, tk, eval, call, getvar, setvar, set_space, cast_list, cast_boolean, current,
        create, delete_;
    nb::handle format, class_, name, init, enter, exit, is_absolute, absolute;
    nb::handle byref, get, set, unset, exists, get_str, get_obj, array_get_str, array_get_obj;
    nb::handle array_set, array_unset, array_names, is_array, array_index, nocomplain, pattern;
    nb::handle createcommand, rename, origin, is_proc, proc_body, proc_args, proc_arg_default;
    nb::handle TclVariable, TclArrayVariable, TclCommand, var_type;
    nb::handle VariablesView, ObjectsView, CommandsView, ProcsView;
    nb::handle vars, objs, procs, cmds;

    // Tcl words
    nb::handle w_namespace, w_eval, w_children, w_code, w_current, w_delete, w_exists, w_export;
    nb::handle w_clear, w_forget, w_import, w_force, w_origin, w_parent, w_which, w_command;
    nb::handle w_variable, w_info, w_vars, w_commands, w_procs, w_empty, w_global;
};

inline Cached& cached() {
    static Cached c;
    return c;
}

/// `head + tail` of two tuples.
inline nb::tuple concat(nb::handle head, nb::handle tail) {
    return nb::steal<nb::tuple>(check(PySequence_Concat(head.ptr(), tail.ptr())).release());
}

/// `scriptify(value)` as a Python str.
inline nb::object text_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    nb::object text = check(cached().api->scriptify(value.ptr()));
    if (!PyUnicode_Check(text.ptr())) text = check(PyObject_Str(text.ptr()));
    return text;
}

/// `tclobj(value)`; a str is its own Tcl-ready value.
inline nb::object tclobj_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return check(cached().api->tclobj(value.ptr()));
}

/// True when a path is already in normal form: every run of colons is exactly
/// one separator and none ends the path. Such a path normalises to itself.
template <typename Ch> inline bool is_normal(const Ch* s, Py_ssize_t length) {
    Py_ssize_t i = 0;
    while (i < length) {
        if (s[i] != ':') {
            ++i;
            continue;
        }
        Py_ssize_t j = i;
        while (j < length && s[j] == ':')
            ++j;
        if (j - i != 2 || j == length) return false;
        i = j;
    }
    return true;
}

/// The normal form of a path given as str; the str itself when it already is. (namespace.cpp)
nb::object normalize_text(nb::handle text);

/// Appends one further part to a path, as `join` does: an absolute part replaces
/// the path, an empty one is skipped. (namespace.cpp)
nb::object join_part(nb::object path, nb::handle part);

/// The name of a namespace handle as the name algebra reads it: `scriptify`
/// of the handle, which for this module's own classes is their `ns`. (namespace_view_items.cpp)
nb::object namespace_text(nb::handle space);

/// The names Tcl lists inside a view's namespace for the listing words. (namespace_views.cpp)
nb::object run_listing(nb::handle view, nb::handle listing_words);

/// Raises `KeyError(exc)` from `exc`, as `raise KeyError(exc) from exc` does. (namespace_views.cpp)
[[noreturn]] void raise_key_error(nb::python_error& error);

/// Runs `read` and turns the listed errors into KeyError(exc) from exc.
template <typename Read> nb::object translating(Read&& read, nb::handle also = nb::handle()) {
    try {
        return read();
    } catch (nb::python_error& e) {
        if (e.matches(cached().tcl_error) || (also.is_valid() && e.matches(also)))
            raise_key_error(e);
        throw;
    }
}

/// Builds VariablesView, ObjectsView, CommandsView and ProcsView and stores them in the
/// TclNamespace class being built, in that order. (namespace_views.cpp)
void add_views(ClassBuilder& namespace_class, const char* module);

/// VariablesView's `__getitem__` and `__setitem__` as method descriptors of `cls`: item access
/// is the hot path of a view. (namespace_view_items.cpp)
nb::object variable_getitem(nb::handle cls);
nb::object variable_setitem(nb::handle cls);

/// Notes the functions that the quick view paths stand in for. (namespace_view_items.cpp)
void remember_originals(nb::handle namespace_cls, nb::module_& m);

} // namespace tessel::ns::space

// ---------------------------------------------------------------------------------------------
// What the two sources of TclCommand share (namespace_commands.cpp and
// namespace_command_calls.cpp).

namespace tessel::ns::commands {

/// The classes made here, our own methods (to recognise them on an instance), and
/// what the methods need at call time.
struct Classes {
    nb::handle command, temp_command;
    nb::handle own_build, own_dashed, own_call;
    nb::handle update_wrapper, package, module_dict, temp_variable_name;
    nb::handle items, interpaddr, dashed_names, calling_format, args_part, keywords_part, cast_part;
};

inline Classes& classes() {
    static Classes c;
    return c;
}

/// Adds TclCommand's `__init__`, `build_tclcmd`, `kwargs_to_dashed_args`, `call` (also as the
/// call slot) and `eval` to the class being built, in that order. (namespace_command_calls.cpp)
void add_call_methods(ClassBuilder& command);

} // namespace tessel::ns::commands
