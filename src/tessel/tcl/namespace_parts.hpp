// namespace_parts.hpp — what the sources of the tessel.tcl.namespace module share.
// namespace.cpp owns the module and TclNamespace; the views and the handle classes have their own.
#pragma once

#include "host/pycall.hpp"
#include "host/pyclass.hpp"
#include "scriptify_api.hpp"

#include <string>
#include <vector>

namespace tessel::ns {

/// The namespace module's one registry: imports, classes and interned names, kept for the life
/// of the process and filled when the module is imported (namespace.cpp). A name field holds
/// its own text (`get` is "get"), a C++ keyword with a trailing underscore (`delete_`); the
/// exceptions say what they spell: special names drop their underscores (`init` is
/// "__init__", `str_name` "__str__", `tclobj_hook` "__tclobj__"), `qualified_info` is "::info",
/// `option_force` is "-force".
struct Cached {
    const ScriptifyApi* api = nullptr;
    nb::handle proxy_types, weakref_proxy, super_type, tcl_error, update_wrapper;
    nb::handle chain_from_iterable, map_type;
    nb::handle module_dict;
    nb::handle namespace_cls, temp_namespace_cls, own_str;
    nb::handle listing; ///< (view, words) -> the names Tcl lists inside the viewed namespace
    bool assertions = true;

    // special names
    nb::handle str_name, tclobj_hook, scriptify_hook, class_, name, init, enter, exit, del, wrapped;
    // attributes of handles and interpreters, and methods of the host and of our classes
    nb::handle ns, tcl, tk, eval, call, getvar, setvar, unsetvar, cast, cast_list, cast_boolean,
        cast_array, current, create, delete_, format, is_absolute, absolute;
    nb::handle var_name, cmd_name, args, keywords, logger, items, interpaddr, info;
    nb::handle byref, get, set, unset, exists, get_str, get_obj, array_get_str, array_get_obj;
    nb::handle array_set, array_unset, array_names, array_size, is_array, array_index, nocomplain,
        pattern;
    nb::handle createcommand, rename, origin, is_proc, proc_body, proc_args, proc_arg_default;
    nb::handle build_tclcmd, kwargs_to_dashed_args;
    nb::handle package, TclVariable, TempTclVariable, TclArrayVariable, TclCommand, var_type;
    nb::handle VariablesView, ObjectsView, CommandsView, ProcsView;
    nb::handle vars, objs, procs, cmds;

    // Tcl words
    nb::handle namespace_, children, code, export_, forget, import, parent, which, commands, size,
        names, body, default_;
    nb::handle qualified_info, qualified_array, qualified_rename, qualified_namespace;
    nb::handle option_clear, option_force, option_command, option_variable;
    nb::handle empty, separator, dash, set_space;

    // texts
    nb::handle calling_format, args_part, keywords_part, cast_part;
};

inline Cached& cached() {
    static Cached c;
    return c;
}

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

/// The classes made here, our own methods (to recognise them on an instance), and the
/// dashed forms of option names met so far.
struct Classes {
    nb::handle command, temp_command;
    nb::handle own_build, own_dashed, own_call;
    nb::handle dashed_names;
};

inline Classes& classes() {
    static Classes c;
    return c;
}

/// Adds TclCommand's `__init__`, `build_tclcmd`, `kwargs_to_dashed_args`, `call` (also as the
/// call slot) and `eval` to the class being built, in that order. (namespace_command_calls.cpp)
void add_call_methods(ClassBuilder& command);

} // namespace tessel::ns::commands
