// interpreter_callbacks.cpp — Python callables registered as Tcl commands of an interpreter.
// A forced registration moves the command it displaces into ::glueKit::_cbBkup; removal puts it
// back. The interpreter's table of callbacks decides what it may remove.

#include "interpreter_parts.hpp"

namespace nb = nanobind;

namespace tessel::interp {
namespace {

nb::object generate_callback_cmd_name(nb::handle callback, nb::handle mangle_cmd_name) {
    Names& n = names();
    nb::object cmd_name = nb::borrow(n.empty);
    nb::object callback_func = nb::borrow(callback);
    if (PyObject* func = PyObject_GetAttr(callback.ptr(), n.func.ptr()))
        callback_func = nb::steal(func);
    else if (!catch_error(PyExc_AttributeError).is_valid())
        throw nb::python_error();
    if (PyObject* name = PyObject_GetAttr(callback_func.ptr(), n.name_dunder.ptr()))
        cmd_name = nb::steal(name);
    else if (!catch_error(PyExc_AttributeError).is_valid())
        throw nb::python_error();
    if (!truth(cmd_name) || truth(mangle_cmd_name)) {
        nb::object identity = check(PyLong_FromVoidPtr(callback.ptr()));
        cmd_name = nb::str("{}_{}").format(identity, cmd_name);
    }
    return cmd_name;
}

/// "::glueKit::_cbBkup::" and the qualified name without its leading colons.
nb::object backup_name(nb::handle cmd_name) {
    Names& n = names();
    nb::object bare = call_method(cmd_name, n.lstrip, {n.colon});
    return check(PyUnicode_Concat(n.bkup_prefix.ptr(), bare.ptr()));
}

nb::object command_handle(nb::handle self, nb::handle name) {
    Names& n = names();
    nb::object cmds = get_attr(get_attr(self, n.global_ns), n.cmds);
    return check(PyObject_GetItem(cmds.ptr(), name.ptr()));
}

[[noreturn]] void no_callback_named(nb::handle cmd_name) {
    nb::object message = nb::str("No callback in this interpreter named '{}'").format(cmd_name);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

/// The handle for a command name; a name that names no command (the empty one) has no callback.
nb::object named_handle(nb::handle self, nb::handle name) {
    try {
        return command_handle(self, name);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_IndexError)) throw;
    }
    no_callback_named(check(PyObject_Str(name.ptr())));
}

nb::object create_callback(nb::handle self, nb::handle callback, nb::handle cmd_name_in,
                           nb::handle force) {
    Names& n = names();
    nb::object cmd_name = nb::borrow(cmd_name_in);
    if (cmd_name.is_none() || !truth(cmd_name))
        cmd_name = generate_callback_cmd_name(callback, Py_False);
    cmd_name = check(PyObject_Str(cmd_name.ptr()));
    nb::object tclcmd = command_handle(self, cmd_name);
    // The view reads a name as a Tcl list: a name of several words would register only the
    // first of them, under a name the caller never gave.
    nb::object extra_words = check(PyObject_GetAttrString(tclcmd.ptr(), "args"));
    if (PyObject_Length(extra_words.ptr()) != 0) {
        if (PyErr_Occurred()) throw nb::python_error();
        nb::object message =
            nb::str("create_callback() cmd_name must be one Tcl word, not {!r}").format(cmd_name);
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw nb::python_error();
    }
    cmd_name = check(PyObject_Str(tclcmd.ptr()));
    if (truth(call_method(tclcmd, n.exists))) {
        if (!truth(force)) {
            nb::object message =
                nb::str("Cannot create command '{}': command already exists").format(cmd_name);
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            throw nb::python_error();
        }
        nb::object displaced = command_handle(self, cmd_name);
        call_method(displaced, n.rename, {backup_name(cmd_name)});
        try {
            call_method(tclcmd, n.createcommand, {callback});
        } catch (nb::python_error&) {
            // the host refused the callable: the displaced command goes back to its name
            try {
                call_method(displaced, n.rename, {cmd_name});
            } catch (nb::python_error&) {
            }
            throw;
        }
    } else {
        call_method(tclcmd, n.createcommand, {callback});
    }
    nb::object table = get_attr(self, n.callbacks);
    if (PyObject_SetItem(table.ptr(), cmd_name.ptr(), callback.ptr()) < 0) throw nb::python_error();
    return tclcmd;
}

/// True when a command handle runs in this interpreter.
bool same_interpreter(nb::handle self, nb::handle handle) {
    Names& n = names();
    PyObject* tcl = PyObject_GetAttr(handle.ptr(), n.tcl.ptr());
    if (!tcl) {
        PyErr_Clear();
        return false;
    }
    nb::object owner = nb::steal(tcl);
    PyObject* owner_tk = PyObject_GetAttr(owner.ptr(), n.tk.ptr());
    if (!owner_tk) {
        PyErr_Clear();
        return false;
    }
    nb::object mine = get_attr(self, n.tk);
    bool same = owner_tk == mine.ptr();
    Py_DECREF(owner_tk);
    return same;
}

void remove_callback(nb::handle self, nb::handle callback) {
    Names& n = names();
    nb::object command_class = module_global(n.TclCommand);
    int is_handle = PyObject_IsInstance(callback.ptr(), command_class.ptr());
    if (is_handle < 0) throw nb::python_error();
    nb::object handle;
    if (is_handle)
        handle = nb::borrow(callback);
    else if (PyCallable_Check(callback.ptr()))
        handle = command_handle(self, generate_callback_cmd_name(callback, Py_False));
    else if (callback.is_none())
        throw nb::type_error("remove_callback() argument must be a TclCommand, a callable or a "
                             "command name, not NoneType");
    else
        handle = named_handle(self, callback);
    nb::object cmd_name = check(PyObject_Str(handle.ptr()));
    nb::object table = get_attr(self, n.callbacks);
    int known = PySequence_Contains(table.ptr(), cmd_name.ptr());
    if (known < 0) throw nb::python_error();
    // A handle on another interpreter's command is never one of ours, whatever its name.
    if (!known || (is_handle && !same_interpreter(self, handle))) no_callback_named(cmd_name);
    call_method(handle, n.delete_);
    if (PyObject_DelItem(table.ptr(), cmd_name.ptr()) < 0) throw nb::python_error();
    nb::kwargs in_self;
    in_self["tcl"] = self;
    nb::object backup = command_class(backup_name(cmd_name), **in_self);
    if (truth(call_method(backup, n.exists))) call_method(backup, n.rename, {cmd_name});
}

} // namespace

void add_callback_methods(ClassBuilder& cls) {
    cls.def_static("generate_callback_cmd_name", &generate_callback_cmd_name,
                   nb::arg("callback").none(), nb::arg("mangle_cmd_name").none() = false,
                   "The Tcl command name for a callable: its function name, or its identity.")
        .def("create_callback", &create_callback, nb::arg("callback").none(),
             nb::arg("cmd_name").none() = nb::none(), nb::arg("force").none() = false,
             "Registers a callable as a global Tcl command; returns its TclCommand.")
        .def("remove_callback", &remove_callback, nb::arg("callback").none(),
             "Deletes a registered callback and restores the command it displaced.");
}

} // namespace tessel::interp
