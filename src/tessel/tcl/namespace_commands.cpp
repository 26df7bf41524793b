// namespace_commands.cpp — callable handles on Tcl commands: TclCommand, with arguments and
// dashed options bound in advance, and TempTclCommand, which owns a command for a while.

#include "host/nested_values.hpp"
#include "host/tcl_text.hpp"
#include "namespace_handles.hpp"

#include <tcl.h>

#include <climits>
#include <tuple>
#include <utility>

namespace nb = nanobind;

namespace tessel::ns {
namespace {

using namespace handles;

constexpr const char* kModule = "tessel.tcl.namespace";
constexpr const char* kTemporaryName = "::__quillon__{cls}_{id}_tmp";

/// The classes made here, our own methods (to recognise them on an instance), and
/// what the methods need at call time.
struct Classes {
    nb::handle command, temp_command;
    nb::handle own_build, own_dashed, own_call;
    nb::handle update_wrapper, package, module_dict, temp_variable_name;
    nb::handle items, interpaddr, dashed_names, calling_format, args_part, keywords_part, cast_part;
};

Classes& classes() {
    static Classes c;
    return c;
}

nb::object name_of(nb::handle self) {
    return attr_of(self, names().cmd_name);
}
nb::object interpreter_of(nb::handle self) {
    return attr_of(self, names().tcl);
}

/// `cast_list` of the package `tessel.tcl`, imported now: the default interpreter's list cast.
nb::object package_cast_list(nb::handle value) {
    nb::object package = check(PyImport_Import(classes().package.ptr()));
    return call_method(package, names().cast_list, {value});
}

bool is_command(nb::handle obj) {
    int r = PyObject_IsInstance(obj.ptr(), classes().command.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// `words[0]` and `words[1:]`, the name and the rest of a word list.
std::pair<nb::object, nb::object> split_words(nb::handle words) {
    nb::object rest = check(PySequence_GetSlice(words.ptr(), 1, PY_SSIZE_T_MAX));
    nb::object first = check(PySequence_GetItem(words.ptr(), 0));
    return {first, rest};
}

[[noreturn]] void raise_keywords_must_be_strings() {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    throw nb::python_error();
}

PyObject* dashed_name(PyObject* key) {
    if (!PyUnicode_Check(key)) raise_keywords_must_be_strings();
    // Option names come from the callers' source code, a small set: their dashed
    // forms are kept (up to a bound) instead of being made on every call.
    PyObject* known = classes().dashed_names.ptr();
    bool plain = PyUnicode_CheckExact(key);
    if (plain) {
        PyObject* hit = PyDict_GetItemWithError(known, key);
        if (hit) return Py_NewRef(hit);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyObject* option = PyUnicode_Concat(names().w_dash.ptr(), key);
    if (!option) throw nb::python_error();
    if (plain && PyDict_GET_SIZE(known) < 512 && PyDict_SetItem(known, key, option) < 0) {
        Py_DECREF(option);
        throw nb::python_error();
    }
    return option;
}

/// The dashed words of an options dict: "-name", value, ... (values as they are).
nb::object dashed_words(nb::handle options) {
    Py_ssize_t count = PyDict_GET_SIZE(options.ptr());
    nb::object words = check(PyTuple_New(2 * count));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(options.ptr(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(words.ptr(), i++, dashed_name(key));
        PyTuple_SET_ITEM(words.ptr(), i++, Py_NewRef(value));
    }
    return words;
}

nb::object kwargs_to_dashed_args(nb::kwargs kwargs) {
    return dashed_words(kwargs);
}

/// `**options` for a Python call: a dict with string keys.
nb::object as_kwargs(nb::handle options) {
    if (PyDict_CheckExact(options.ptr())) return nb::borrow(options);
    nb::object d = check(PyDict_New());
    if (PyDict_Merge(d.ptr(), options.ptr(), 1) < 0) throw nb::python_error();
    return d;
}

/// The arguments of one call as Python passed them: positional ones in an array,
/// options either named by `kwnames` (values after the positional ones) or in a dict.
struct CallArgs {
    PyObject* const* args = nullptr;
    Py_ssize_t nargs = 0;
    PyObject* kwnames = nullptr;
    PyObject* kwdict = nullptr;

    static CallArgs fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return {args, nargs, kwnames, nullptr};
    }
    static CallArgs classic(PyObject* tuple, PyObject* dict) {
        return {&PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple), nullptr, dict};
    }
    Py_ssize_t options() const {
        if (kwnames) return PyTuple_GET_SIZE(kwnames);
        return kwdict ? PyDict_GET_SIZE(kwdict) : 0;
    }
    /// Calls `f(name, value)` for every option, in the caller's order.
    template <typename F> void each_option(F&& f) const {
        if (kwnames) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
                f(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
        } else if (kwdict) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwdict, &pos, &key, &value))
                f(key, value);
        }
    }
    /// `fn(*args, **kwargs)`.
    nb::object call(nb::handle fn) const {
        if (!kwdict) return check(PyObject_Vectorcall(fn.ptr(), args, size_t(nargs), kwnames));
        nb::object tuple = check(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(tuple.ptr(), i, Py_NewRef(args[i]));
        return check(PyObject_Call(fn.ptr(), tuple.ptr(), kwdict));
    }
};

/// "-name" for an option name; TypeError for a name that is not text.

/// The options of one invocation: the bound ones, with the call's options
/// (converted by tclobj) replacing or following them. The bound dict itself when
/// the call has none.
nb::object merged_options(nb::handle bound, const CallArgs& call) {
    if (call.options() == 0) return nb::borrow(bound);
    nb::object merged = PyDict_Check(bound.ptr())
                            ? check(PyDict_Copy(bound.ptr()))
                            : check(PyObject_CallOneArg((PyObject*)&PyDict_Type, bound.ptr()));
    call.each_option([&](PyObject* key, PyObject* value) {
        nb::object converted = tclobj(value);
        if (PyDict_SetItem(merged.ptr(), key, converted.ptr()) < 0) throw nb::python_error();
    });
    return merged;
}

/// The complete word list of one invocation: name, bound arguments, the call's
/// arguments (through tclobj), then every option as "-name", value.
nb::object build_words(nb::handle self, const Attributes& attrs, const CallArgs& call) {
    nb::object name = attrs[names().cmd_name];
    nb::object bound = attrs[names().args];
    nb::object bound_options = attrs[names().keywords];
    bool own_dashed = attrs.is_own(names().m_kwargs_to_dashed_args, classes().own_dashed);

    // The call's arguments first, as Python would convert them. Conversion hooks may run
    // here; what follows runs none while it fills the word tuple, except for the call's
    // own option values, whose list nobody else can change. Plain values need no
    // conversion and no copy.
    bool plain = true;
    for (Py_ssize_t i = 0; i < call.nargs && plain; ++i)
        plain = plain_value(call.args[i]);
    nb::object extra;
    PyObject* const* converted = call.args;
    if (!plain) {
        extra = check(PyTuple_New(call.nargs));
        for (Py_ssize_t i = 0; i < call.nargs; ++i)
            PyTuple_SET_ITEM(extra.ptr(), i, tclobj(call.args[i]).release().ptr());
        converted = &PyTuple_GET_ITEM(extra.ptr(), 0);
    }

    // The usual case, done in one pass: a tuple of bound arguments, options in a dict.
    if (own_dashed && PyTuple_CheckExact(bound.ptr()) && PyDict_Check(bound_options.ptr())) {
        bool bound_only = call.options() == 0;
        bool call_only = !bound_only && PyDict_GET_SIZE(bound_options.ptr()) == 0;
        nb::object options = bound_only  ? bound_options
                             : call_only ? nb::object()
                                         : merged_options(bound_options, call);
        Py_ssize_t noptions = call_only ? call.options() : PyDict_GET_SIZE(options.ptr());
        Py_ssize_t nbound = PyTuple_GET_SIZE(bound.ptr());
        nb::object words = check(PyTuple_New(1 + nbound + call.nargs + 2 * noptions));
        PyObject* w = words.ptr();
        Py_ssize_t i = 0;
        PyTuple_SET_ITEM(w, i++, name.release().ptr());
        for (Py_ssize_t j = 0; j < nbound; ++j)
            PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(bound.ptr(), j)));
        for (Py_ssize_t j = 0; j < call.nargs; ++j)
            PyTuple_SET_ITEM(w, i++, Py_NewRef(converted[j]));
        if (call_only) {
            call.each_option([&](PyObject* key, PyObject* value) {
                PyTuple_SET_ITEM(w, i++, dashed_name(key));
                PyTuple_SET_ITEM(w, i++, tclobj(value).release().ptr());
            });
        } else {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(options.ptr(), &pos, &key, &value)) {
                PyTuple_SET_ITEM(w, i++, dashed_name(key));
                PyTuple_SET_ITEM(w, i++, Py_NewRef(value));
            }
        }
        return words;
    }

    nb::object options = merged_options(bound_options, call);
    nb::object dashed;
    if (own_dashed && PyDict_Check(options.ptr())) {
        dashed = dashed_words(options);
    } else {
        nb::object fn = get(self, names().m_kwargs_to_dashed_args);
        dashed = check(PyObject_Call(fn.ptr(), nb::tuple().ptr(), as_kwargs(options).ptr()));
    }
    if (!extra.is_valid()) {
        extra = check(PyTuple_New(call.nargs));
        for (Py_ssize_t i = 0; i < call.nargs; ++i)
            PyTuple_SET_ITEM(extra.ptr(), i, Py_NewRef(call.args[i]));
    }
    nb::object words = tuple_of({name});
    words = check(PyNumber_Add(words.ptr(), bound.ptr()));
    words = check(PyNumber_Add(words.ptr(), extra.ptr()));
    return check(PyNumber_InPlaceAdd(words.ptr(), dashed.ptr()));
}

/// `self.build_tclcmd(*args, **kwargs)`, in C++ unless a subclass replaced it.
nb::object words_for(nb::handle self, const Attributes& attrs, const CallArgs& call) {
    if (attrs.is_own(names().m_build_tclcmd, classes().own_build))
        return build_words(self, attrs, call);
    return call.call(get(self, names().m_build_tclcmd));
}

nb::object apply_cast(nb::handle self, nb::object result) {
    nb::object cast = attr_of(self, names().cast);
    if (truth(cast)) return check(PyObject_CallOneArg(cast.ptr(), result.ptr()));
    return result;
}

// ---- TclCommand: construction, words, calls ------------------------------------------------

void command_init(nb::handle self, nb::handle cmd, nb::handle args, nb::handle keywords,
                  nb::handle tcl, nb::handle cast, nb::handle logger) {
    nb::object base_init = super_attr(classes().command, self, names().m_init);
    check(PyObject_CallNoArgs(base_init.ptr()));
    set(self, names().tcl, interpreter_proxy(tcl));

    nb::object name, bound;
    if (args.is_none()) {
        nb::object words;
        if (is_command(cmd))
            words = call_method(cmd, names().m_build_tclcmd);
        else if (PyTuple_CheckExact(cmd.ptr()))
            words = nb::borrow(cmd);
        else
            words = package_cast_list(cmd);
        std::tie(name, bound) = split_words(words);
    } else {
        bound = package_cast_list(args);
        if (is_command(cmd)) {
            nb::object fn = get(cmd, names().m_build_tclcmd);
            nb::object spread = check(PySequence_Tuple(bound.ptr()));
            nb::object words = check(PyObject_Call(fn.ptr(), spread.ptr(), nullptr));
            std::tie(name, bound) = split_words(words);
        } else {
            name = nb::borrow(cmd);
        }
    }
    set(self, names().cmd_name, scriptify(name));
    set(self, names().args, tclobj(bound));

    nb::object options = check(PyDict_New());
    if (truth(keywords)) {
        nb::object items = call_method(keywords, classes().items);
        nb::object it = check(PyObject_GetIter(items.ptr()));
        while (PyObject* pair = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(pair);
            nb::object key = check(PySequence_GetItem(item.ptr(), 0));
            nb::object value = check(PySequence_GetItem(item.ptr(), 1));
            nb::object converted = tclobj(value);
            if (PyObject_SetItem(options.ptr(), key.ptr(), converted.ptr()) < 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    set(self, names().keywords, options);
    set(self, names().cast, cast);
    set(self, names().logger, logger);
}

nb::object command_build_tclcmd(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return build_words(self, Attributes(self), CallArgs::fast(args, nargs, kwnames));
}

/// Runs the words as one list call: logged first when the handle has a logger,
/// cast afterwards when it has a cast.
nb::object run_call(nb::handle self, const Attributes& attrs, const CallArgs& call) {
    nb::object words = words_for(self, attrs, call);
    nb::object logger = attrs[names().logger];
    if (truth(logger)) {
        nb::object text = scriptify(words);
        nb::object line = check(PyObject_CallMethodOneArg(classes().calling_format.ptr(),
                                                          names().m_format.ptr(), text.ptr()));
        call_method(logger, names().info, {line});
    }
    nb::object result = list_call(app_of_interpreter(attrs[names().tcl]), words);
    nb::object cast = attrs[names().cast];
    if (truth(cast)) return check(PyObject_CallOneArg(cast.ptr(), result.ptr()));
    return result;
}

nb::object command_call(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return run_call(self, Attributes(self), CallArgs::fast(args, nargs, kwnames));
}

/// The call slot of TclCommand: `self.call(*args, **kwargs)`, without a trip through
/// Python when `call` is our own.
PyObject* command_call_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        CallArgs call = CallArgs::classic(args, kwargs);
        Attributes attrs(self);
        if (attrs.is_own(names().m_call, classes().own_call))
            return run_call(self, attrs, call).release().ptr();
        return call.call(get(self, names().m_call)).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

nb::object command_eval(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    nb::object words = words_for(self, Attributes(self), CallArgs::fast(args, nargs, kwnames));
    nb::object app = app_of(self);
    return apply_cast(self, eval_words(app, words));
}

nb::object command_repr(nb::handle self) {
    nb::object cls = check(PyObject_GetAttrString(self.ptr(), "__class__"));
    nb::object text =
        check(PyUnicode_FromFormat("%S(%R", get(cls, names().m_name).ptr(), name_of(self).ptr()));
    auto append = [&](nb::handle part, nb::handle value) {
        nb::object piece = check(PyUnicode_FromFormat("%U%R", part.ptr(), value.ptr()));
        text = check(PyUnicode_Concat(text.ptr(), piece.ptr()));
    };
    nb::object args = attr_of(self, names().args);
    if (truth(args)) append(classes().args_part, args);
    nb::object keywords = attr_of(self, names().keywords);
    if (truth(keywords)) append(classes().keywords_part, keywords);
    nb::object cast = attr_of(self, names().cast);
    if (truth(cast)) append(classes().cast_part, cast);
    return check(PyUnicode_Concat(text.ptr(), nb::str(")").ptr()));
}

nb::object command_str(nb::handle self) {
    return scriptify(call_method(self, names().m_build_tclcmd));
}

nb::object command_tclobj(nb::handle self) {
    return call_method(self, names().m_build_tclcmd);
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
    PyObject* app = PyObject_GetAttr(tcl, names().tk.ptr());
    PyObject* done = app ? PyObject_CallMethod(app, "mainloop", "i", INT_MAX) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(app);
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
        if (interp && !PyErr_Occurred())
            Tcl_SetObjResult(interp, Tcl_NewStringObj(utf8.data(), int(utf8.size())));
        PyErr_Clear();
    }
    Py_XDECREF(name);
    Py_XDECREF(text);
    Py_XDECREF(message);
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

PyMethodDef callback_def = {"tcl_callback", (PyCFunction)(void (*)())run_callback, METH_FASTCALL,
                            nullptr};

void command_createcommand(nb::handle self, nb::handle func) {
    nb::object app = app_of(self);
    nb::object name = name_of(self);
    if (!PyCallable_Check(func.ptr())) {
        PyErr_SetString(PyExc_TypeError, "command not callable");
        throw nb::python_error();
    }
    nb::object address = call_method(app, classes().interpaddr);
    nb::object bound = tuple_of({func, address, attr_of(self, names().tcl)});
    nb::object callback = check(PyCFunction_New(&callback_def, bound.ptr()));
    call_method(app, names().createcommand, {name, callback});
}

bool command_exists(nb::handle self) {
    return truth(call_words(self, {names().w_info, names().w_commands, name_of(self)}));
}

bool command_is_proc(nb::handle self) {
    return truth(call_words(self, {names().w_info, names().w_procs, name_of(self)}));
}

bool command_is_command(nb::handle self) {
    if (!truth(call_method(self, names().m_exists))) return false;
    return !truth(call_method(self, names().m_is_proc));
}

void command_rename(nb::handle self, nb::handle new_name) {
    nb::object name = scriptify(new_name);
    call_words(self, {names().w_rename, name_of(self), name});
    set(self, names().cmd_name, name);
}

void command_delete(nb::handle self) {
    call_words(self, {names().w_rename, name_of(self), names().w_empty});
}

nb::object command_origin(nb::handle self) {
    return call_words(self, {names().w_ns_qualified, names().w_origin, name_of(self)});
}

nb::object command_proc_body(nb::handle self) {
    return call_words(self, {names().w_info, names().w_body, name_of(self)});
}

nb::object command_proc_args(nb::handle self) {
    nb::object result = call_words(self, {names().w_info, names().args, name_of(self)});
    return call_method(interpreter_of(self), names().cast_list, {result});
}

/// The default of one argument of a procedure, or None. Tcl writes the default into
/// a temporary variable, which is gone again when this returns.
nb::object command_proc_arg_default(nb::handle self, nb::handle arg_name) {
    nb::object temp_class =
        check(PyObject_GetItem(classes().module_dict.ptr(), classes().temp_variable_name.ptr()));
    nb::dict kwargs;
    kwargs["tcl"] = interpreter_of(self);
    nb::object temp = check(PyObject_Call(temp_class.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    return run_with(
        temp,
        [&](nb::handle tmp_var) -> nb::object {
            nb::object result = call_words(self, {names().w_info, names().w_default, name_of(self),
                                                  scriptify(arg_name), tmp_var});
            nb::object flag = call_method(interpreter_of(self), names().cast_boolean, {result});
            if (truth(flag)) return call_method(tmp_var, names().m_get);
            return nb::none();
        },
        [] { return nb::none(); });
}

nb::object command_absolute(nb::handle self) {
    return absolute_name(self, name_of(self));
}

void command_make_absolute(nb::handle self) {
    nb::object name = call_method(self, names().m_absolute);
    set(self, names().cmd_name, name);
}

// ---- TempTclCommand ------------------------------------------------------------------------

void temp_command_init(nb::handle self, nb::handle func, nb::handle cmd_name, nb::kwargs kwargs) {
    nb::object name = temporary_name(self, cmd_name);
    nb::object init = super_attr(classes().temp_command, self, names().m_init);
    nb::object args = tuple_of({name});
    check(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
    if (truth(func)) {
        call_method(self, names().m_createcommand, {func});
        check(PyObject_CallFunctionObjArgs(classes().update_wrapper.ptr(), self.ptr(), func.ptr(),
                                           nullptr));
    }
}

nb::object temp_command_enter(nb::handle self) {
    nb::object next = super_attr(classes().temp_command, self, names().m_enter);
    if (truth(next)) return check(PyObject_CallNoArgs(next.ptr()));
    return nb::borrow(self);
}

/// `self.delete()`, with a TclError (no such command) ignored.
void delete_quietly(nb::handle self, bool interpreter_may_be_gone) {
    try {
        call_method(self, names().m_delete);
    } catch (nb::python_error& e) {
        if (is_tcl_error(e)) return;
        if (interpreter_may_be_gone && e.matches(PyExc_ReferenceError)) return;
        throw;
    }
}

nb::object temp_command_exit(nb::handle self, nb::args exc_info) {
    delete_quietly(self, false);
    nb::object next = super_attr(classes().temp_command, self, names().m_exit);
    if (truth(next)) return check(PyObject_Call(next.ptr(), exc_info.ptr(), nullptr));
    return nb::borrow(Py_False);
}

/// A handle that carries a callable removes its command when it goes away. When the
/// interpreter went first, its commands went with it: there is nothing left to remove.
void temp_command_del(nb::handle self) {
    int has = PyObject_HasAttr(self.ptr(), names().wrapped.ptr());
    if (has) delete_quietly(self, true);
    nb::object next = super_attr(classes().temp_command, self, names().m_del);
    if (truth(next)) check(PyObject_CallNoArgs(next.ptr()));
}

} // namespace

void add_command_classes(nb::module_& m) {
    Classes& c = classes();
    names();
    nb::object none = nb::none();
    c.update_wrapper = keep(nb::module_::import_("functools").attr("update_wrapper"));
    c.package = interned("tessel.tcl");
    c.module_dict = keep(m.attr("__dict__"));
    c.temp_variable_name = interned("TempTclVariable");
    c.items = interned("items");
    c.interpaddr = interned("interpaddr");
    c.dashed_names = keep(nb::dict());
    c.calling_format = interned("Calling: {}");
    c.args_part = interned(", args=");
    c.keywords_part = interned(", keywords=");
    c.cast_part = interned(", cast=");

    static PyMethodDef fast_methods[] = {
        {"build_tclcmd", (PyCFunction)(void (*)())fast_entry<command_build_tclcmd>,
         METH_FASTCALL | METH_KEYWORDS,
         "build_tclcmd($self, /, *args, **kwargs)\n--\n\n"
         "The complete word list of one invocation."},
        {"call", (PyCFunction)(void (*)())fast_entry<command_call>, METH_FASTCALL | METH_KEYWORDS,
         "call($self, /, *args, **kwargs)\n--\n\n"
         "Runs the command with these extra arguments and options."},
        {"eval", (PyCFunction)(void (*)())fast_entry<command_eval>, METH_FASTCALL | METH_KEYWORDS,
         "eval($self, /, *args, **kwargs)\n--\n\n"
         "Runs the command through Tcl's script parser; the result is text."},
    };
    ClassBuilder command(kModule, "TclCommand",
                         nb::make_tuple(nb::handle((PyObject*)&PyBaseObject_Type)));
    command.attr(
        "__doc__",
        nb::str(
            "A callable handle on a Tcl command, with arguments and -options bound in advance."));
    command.def("__init__", &command_init, nb::arg("cmd").none(), nb::arg("args").none() = none,
                nb::arg("keywords").none() = none, nb::arg("tcl").none() = none,
                nb::arg("cast").none() = none, nb::arg("logger").none() = none);
    add_fast_method(command, &fast_methods[0]);
    command.def_static("kwargs_to_dashed_args", &kwargs_to_dashed_args, nb::arg("kwargs"),
                       "Options as the words -name value ..., in order.");
    add_fast_method(command, &fast_methods[1]);
    set_call_slot(command, &command_call_slot);
    add_fast_method(command, &fast_methods[2]);
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
    nb::object body = command_cls.attr("__dict__");
    c.own_build = keep(body["build_tclcmd"]);
    c.own_dashed = keep(body["kwargs_to_dashed_args"]);
    c.own_call = keep(body["call"]);
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
