// namespace_commands.cpp — the classes TclCommand and TempTclCommand: what a handle asks of
// its command, renaming, deletion and Python callbacks; calls: namespace_command_calls.cpp.

#include "host/nested_values.hpp"
#include "host/stack_room.hpp"
#include "host/tcl_text.hpp"
#include "namespace_handles.hpp"

#include <tcl.h>

#include <climits>

namespace nb = nanobind;

namespace tessel::ns {
namespace {

using namespace handles;
using namespace commands;

constexpr const char* kModule = "tessel.tcl.namespace";
constexpr const char* kTemporaryName = "::__quillon__{cls}_{id}_tmp";

nb::object name_of(nb::handle self) {
    return get_attr(self, cached().cmd_name);
}
nb::object interpreter_of(nb::handle self) {
    return get_attr(self, cached().tcl);
}

// ---- TclCommand: its text forms, and reading it from a class or an instance -----------------

nb::object command_repr(nb::handle self) {
    nb::object cls = check(PyObject_GetAttrString(self.ptr(), "__class__"));
    nb::object text = check(
        PyUnicode_FromFormat("%S(%R", get_attr(cls, cached().name).ptr(), name_of(self).ptr()));
    auto append = [&](nb::handle part, nb::handle value) {
        nb::object piece = check(PyUnicode_FromFormat("%U%R", part.ptr(), value.ptr()));
        text = check(PyUnicode_Concat(text.ptr(), piece.ptr()));
    };
    nb::object args = get_attr(self, cached().args);
    if (truth(args)) append(cached().args_part, args);
    nb::object keywords = get_attr(self, cached().keywords);
    if (truth(keywords)) append(cached().keywords_part, keywords);
    nb::object cast = get_attr(self, cached().cast);
    if (truth(cast)) append(cached().cast_part, cast);
    return check(PyUnicode_Concat(text.ptr(), nb::str(")").ptr()));
}

nb::object command_str(nb::handle self) {
    return scriptify(call_method(self, cached().build_tclcmd));
}

nb::object command_tclobj(nb::handle self) {
    return call_method(self, cached().build_tclcmd);
}

/// A handle read from a class is itself; read from an instance, a method bound to it.
nb::object command_get(nb::handle self, nb::handle instance, nb::handle owner) {
    (void)owner;
    if (instance.is_none()) return nb::borrow(self);
    return check(PyMethod_New(self.ptr(), instance.ptr()));
}

// ---- TclCommand: the command as an object of the interpreter -------------------------------

nb::object call_words(nb::handle self, std::initializer_list<nb::handle> words) {
    nb::object app = app_of(self);
    return list_call(app, tuple_of(words));
}

/// The host keeps the exception of a callable that raised in one process-wide slot until a
/// main loop collects it, and overwrites the slot at the next such exception without
/// releasing the old one: each failing call would leak an exception with its frames. This
/// collects the one held (no error may be pending); the threshold keeps the loop from running
/// events. `tcl` is the handle's weak proxy to its interpreter.
void drop_held_exception(PyObject* tcl) {
    PyObject* app = PyObject_GetAttr(tcl, cached().tk.ptr());
    PyObject* done = app ? PyObject_CallMethod(app, "mainloop", "i", INT_MAX) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(app);
    PyErr_Clear();
}

/// Tells Tcl what failed in Python, after the message: the Python frames go into the error
/// trace (as `traceback` formats them, under the line naming the exception), and the error
/// code {PYTHON <type> <key>} lets the TclError that the failure causes find the exception
/// (host/tcl_errors.hpp). Errors of its own are dropped: the failure is reported either way.
void describe_python_failure(Tcl_Interp* interp, PyObject* type_name, PyObject* exc,
                             PyObject* traceback) {
    // (it runs Python code: skipped where a runaway recursion left little stack)
    if (!enough_stack("", 512 * 1024)) {
        PyErr_Clear();
        return;
    }
    try { // no C++ exception may leave: the host and Tcl called this
        if (traceback) {
            static nb::handle format_tb =
                keep(nb::module_::import_("traceback").attr("format_tb")); // cached import
            nb::object lines = check(PyObject_CallOneArg(format_tb.ptr(), traceback));
            nb::object joined = check(PyUnicode_Join(nb::str("").ptr(), lines.ptr()));
            std::string text = "\nTraceback (most recent call last):\n" + to_tcl_utf8(joined.ptr());
            while (!text.empty() && text.back() == '\n')
                text.pop_back();
            Tcl_AddObjErrorInfo(interp, text.data(), int(text.size()));
        }
        nb::object key = exc ? remember_callback_error(exc) : nb::object();
        if (key.is_valid() && type_name && PyUnicode_Check(type_name))
            Tcl_SetErrorCode(interp, "PYTHON", PyUnicode_AsUTF8(type_name),
                             PyUnicode_AsUTF8(key.ptr()), static_cast<char*>(nullptr));
    } catch (nb::python_error&) {
    } catch (...) { // (std::bad_alloc from the text, for one)
    }
    PyErr_Clear();
}

/// What a registered callable runs through: the callable itself, and when it raises,
/// the exception's name and text become the Tcl error message, so that Tcl (and the
/// TclError the caller sees) says what went wrong instead of nothing. `bound` is
/// (callable, address of the Tcl interpreter, the handle's weak proxy to its interpreter).
PyObject* run_callback(PyObject* bound, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* func = PyTuple_GET_ITEM(bound, 0);
    PyObject* result = PyObject_Vectorcall(func, args, size_t(nargs), nullptr);
    // the host crashes on a tuple or list result with an item it cannot convert
    if (result && (PyTuple_Check(result) || PyList_Check(result)) && !tessel::host_can_nest(result))
        Py_CLEAR(result);
    if (result) return result;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    drop_held_exception(PyTuple_GET_ITEM(bound, 2));
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* name = PyObject_GetAttrString(type, "__name__");
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    PyObject* message = nullptr;
    if (name && text && PyUnicode_Check(name) && PyUnicode_Check(text))
        message = PyUnicode_GET_LENGTH(text) ? PyUnicode_FromFormat("%U: %U", name, text)
                                             : Py_NewRef(name);
    else if (name && PyUnicode_Check(name))
        message = Py_NewRef(name);
    PyErr_Clear();
    if (message) {
        auto* interp = static_cast<Tcl_Interp*>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(bound, 1)));
        std::string utf8 = to_tcl_utf8(message);
        if (interp && !PyErr_Occurred()) {
            Tcl_SetObjResult(interp, Tcl_NewStringObj(utf8.data(), int(utf8.size())));
            describe_python_failure(interp, name, value, traceback);
        }
        PyErr_Clear();
    }
    Py_XDECREF(name);
    Py_XDECREF(text);
    Py_XDECREF(message);
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

PyMethodDef callback_def = {"tcl_callback", as_method(&run_callback), METH_FASTCALL, nullptr};

void command_createcommand(nb::handle self, nb::handle func) {
    nb::object app = app_of(self);
    nb::object name = name_of(self);
    if (!PyCallable_Check(func.ptr())) {
        PyErr_SetString(PyExc_TypeError, "command not callable");
        throw nb::python_error();
    }
    nb::object address = call_method(app, cached().interpaddr);
    nb::object bound = tuple_of({func, address, get_attr(self, cached().tcl)});
    nb::object callback = check(PyCFunction_New(&callback_def, bound.ptr()));
    call_method(app, cached().createcommand, {name, callback});
}

bool command_exists(nb::handle self) {
    return truth(call_words(self, {cached().qualified_info, cached().commands, name_of(self)}));
}

bool command_is_proc(nb::handle self) {
    return truth(call_words(self, {cached().qualified_info, cached().procs, name_of(self)}));
}

bool command_is_command(nb::handle self) {
    if (!truth(call_method(self, cached().exists))) return false;
    return !truth(call_method(self, cached().is_proc));
}

void command_rename(nb::handle self, nb::handle new_name) {
    nb::object name = scriptify(new_name);
    call_words(self, {cached().qualified_rename, name_of(self), name});
    set_attr(self, cached().cmd_name, name);
}

void command_delete(nb::handle self) {
    call_words(self, {cached().qualified_rename, name_of(self), cached().empty});
}

nb::object command_origin(nb::handle self) {
    return call_words(self, {cached().qualified_namespace, cached().origin, name_of(self)});
}

nb::object command_proc_body(nb::handle self) {
    return call_words(self, {cached().qualified_info, cached().body, name_of(self)});
}

nb::object command_proc_args(nb::handle self) {
    nb::object result = call_words(self, {cached().qualified_info, cached().args, name_of(self)});
    return call_method(interpreter_of(self), cached().cast_list, {result});
}

/// The default of one argument of a procedure, or None. Tcl writes the default into
/// a temporary variable, which is gone again when this returns.
nb::object command_proc_arg_default(nb::handle self, nb::handle arg_name) {
    nb::object temp_class =
        check(PyObject_GetItem(cached().module_dict.ptr(), cached().TempTclVariable.ptr()));
    nb::dict kwargs;
    kwargs["tcl"] = interpreter_of(self);
    nb::object temp = check(PyObject_Call(temp_class.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    return run_with(
        temp,
        [&](nb::handle tmp_var) -> nb::object {
            nb::object result = call_words(self, {cached().qualified_info, cached().default_,
                                                  name_of(self), scriptify(arg_name), tmp_var});
            nb::object flag = call_method(interpreter_of(self), cached().cast_boolean, {result});
            if (truth(flag)) return call_method(tmp_var, cached().get);
            return nb::none();
        },
        [] { return nb::none(); });
}

nb::object command_absolute(nb::handle self) {
    return absolute_name(self, name_of(self));
}

void command_make_absolute(nb::handle self) {
    nb::object name = call_method(self, cached().absolute);
    set_attr(self, cached().cmd_name, name);
}

// ---- TempTclCommand ------------------------------------------------------------------------

void temp_command_init(nb::handle self, nb::handle func, nb::handle cmd_name, nb::kwargs kwargs) {
    nb::object name = temporary_name(self, cmd_name);
    nb::object init = super_attr(classes().temp_command, self, cached().init);
    nb::object args = tuple_of({name});
    check(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
    if (truth(func)) {
        call_method(self, cached().createcommand, {func});
        check(PyObject_CallFunctionObjArgs(cached().update_wrapper.ptr(), self.ptr(), func.ptr(),
                                           nullptr));
    }
}

nb::object temp_command_enter(nb::handle self) {
    nb::object next = super_attr(classes().temp_command, self, cached().enter);
    if (truth(next)) return check(PyObject_CallNoArgs(next.ptr()));
    return nb::borrow(self);
}

/// `self.delete()`, with a TclError (no such command) ignored.
void delete_quietly(nb::handle self, bool interpreter_may_be_gone) {
    try {
        call_method(self, cached().delete_);
    } catch (nb::python_error& e) {
        if (is_tcl_error(e)) return;
        if (interpreter_may_be_gone && e.matches(PyExc_ReferenceError)) return;
        throw;
    }
}

nb::object temp_command_exit(nb::handle self, nb::args exc_info) {
    delete_quietly(self, false);
    nb::object next = super_attr(classes().temp_command, self, cached().exit);
    if (truth(next)) return check(PyObject_Call(next.ptr(), exc_info.ptr(), nullptr));
    return nb::borrow(Py_False);
}

/// A handle that carries a callable removes its command when it goes away. When the
/// interpreter went first, its commands went with it: there is nothing left to remove.
void temp_command_del(nb::handle self) {
    int has = PyObject_HasAttr(self.ptr(), cached().wrapped.ptr());
    if (has) delete_quietly(self, true);
    nb::object next = super_attr(classes().temp_command, self, cached().del);
    if (truth(next)) check(PyObject_CallNoArgs(next.ptr()));
}

} // namespace

void add_command_classes(nb::module_& m) {
    Classes& c = classes();
    nb::object none = nb::none();
    c.dashed_names = keep(nb::dict());

    ClassBuilder command(kModule, "TclCommand",
                         nb::make_tuple(nb::handle((PyObject*)&PyBaseObject_Type)));
    command.attr(
        "__doc__",
        nb::str(
            "A callable handle on a Tcl command, with arguments and -options bound in advance."));
    add_call_methods(command);
    command.def("__repr__", &command_repr)
        .def("__str__", &command_str)
        .def("__tclobj__", &command_tclobj)
        .def("__get__", &command_get, nb::arg("instance").none(), nb::arg("owner").none() = none)
        .def("createcommand", &command_createcommand, nb::arg("func").none(),
             "Registers a Python callable as this Tcl command.")
        .def("exists", &command_exists, "Whether a command matches the name.")
        .def("is_command", &command_is_command, "Whether it exists and is not a procedure.")
        .def("is_proc", &command_is_proc, "Whether a procedure matches the name.")
        .def("rename", &command_rename, nb::arg("new_name").none(), "Renames the command.")
        .def("delete", &command_delete, "Deletes the command.")
        .def("origin", &command_origin, "The command an imported command refers to.")
        .def("proc_body", &command_proc_body, "The procedure's body.")
        .def("proc_args", &command_proc_args, "The procedure's argument names.")
        .def("proc_arg_default", &command_proc_arg_default, nb::arg("arg_name").none(),
             "The default of one argument, or None when it has none.")
        .def("absolute", &command_absolute, "The fully qualified name.")
        .def("make_absolute", &command_make_absolute, "Qualifies the handle's name.");
    nb::object command_cls = command.finish();
    // as reading them from the class gives them (a static method: its function)
    c.own_build = keep(command_cls.attr("build_tclcmd"));
    c.own_dashed = keep(command_cls.attr("kwargs_to_dashed_args"));
    c.own_call = keep(command_cls.attr("call"));
    c.command = keep(command_cls);
    m.attr("TclCommand") = c.command;

    ClassBuilder temp_command(kModule, "TempTclCommand", nb::make_tuple(c.command));
    temp_command.attr(
        "__doc__",
        nb::str("A command handle under a unique generated name, optionally backed by a Python "
                "callable;\nthe command goes when a with block ends or the handle is discarded."));
    temp_command
        .def("__init__", &temp_command_init, nb::arg("func").none() = none,
             nb::arg("cmd_name").none() = kTemporaryName, nb::arg("kwargs"))
        .def("__enter__", &temp_command_enter)
        .def("__exit__", &temp_command_exit, nb::arg("exc_info"))
        .def("__del__", &temp_command_del);
    c.temp_command = keep(temp_command.finish());
    m.attr("TempTclCommand") = c.temp_command;
}

} // namespace tessel::ns
