// interpreter.cpp — the module tessel.tcl.interpreter: the Interpreter class and the global one.
// Construction, start-up hooks, attribute delegation to the host, and script evaluation with
// the full Tcl trace on failure; callbacks and values live in the files beside it.

#include "host/arguments.hpp"
#include "host/host_eval.hpp"
#include "host/pyerrors.hpp"
#include "host/tcl_errors.hpp"
#include "host/tcl_library.hpp"
#include "interpreter_parts.hpp"
#include "interpreter_targets.hpp"

#include <atomic>

namespace nb = nanobind;

namespace tessel::interp {

Names& names() {
    static Names cached;
    return cached;
}

nb::object module_global(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(names().module_dict.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

namespace {

void set_item(nb::handle mapping, const char* key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), nb::str(key).ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// ---- construction and start-up hooks ----

/// Attaches the quick-call proxy, the callback table and the namespace handles with their
/// views, and sets the globals a Tcl shell would set.
void attach_handles(nb::handle self) {
    Names& n = names();
    nb::object history_class = module_global(n.History);
    set_attr(self, n.history, call(history_class));

    nb::kwargs for_self;
    for_self["tcl"] = self;
    nb::object dial = module_global(n.Dial)(**for_self);
    set_attr(self, n.dial_upper, dial);
    set_attr(self, n.dial, dial);
    set_attr(self, n.callbacks, nb::dict());

    nb::object namespace_class = module_global(n.TclNamespace);
    nb::object global_ns = namespace_class("::", **for_self);
    set_attr(self, n.global_ns, global_ns);
    nb::object local_ns = namespace_class(nb::none(), **for_self);
    set_attr(self, n.local_ns, local_ns);
    set_attr(self, n.vars, get_attr(local_ns, n.vars));
    set_attr(self, n.objs, get_attr(local_ns, n.objs));

    nb::object globals = get_attr(global_ns, n.vars);
    set_item(globals, "argc", nb::int_(0));
    set_item(globals, "argv", nb::tuple());
    set_item(globals, "argv0", nb::str(""));
    set_item(globals, "tcl_interactive", nb::int_(0));
}

// ---- lifetime across threads ----
//
// A Tcl interpreter must be deleted by the thread that made it; the host deletes it when its
// application object dies, and Tcl aborts the process when that happens on another thread
// (the cycle collector runs on whichever thread allocates). An interpreter finalised on a
// foreign thread therefore hands its host object to this list, and the owner thread lets go
// of it the next time it builds an interpreter. Owner threads that ended keep theirs.

/// A number for the calling thread, never given to another thread (thread ids are reused).
unsigned long long thread_token() {
    static std::atomic<unsigned long long> next{0};
    thread_local unsigned long long token = ++next;
    return token;
}

/// The list of (owner token, host object, callback commands, command objects) of interpreters
/// finalized on a thread other than their own, kept for the life of the process.
nb::handle orphaned_hosts() {
    static nb::handle list = keep(nb::list());
    return list;
}

/// A Tcl command that runs a Python callable holds the host object, which holds the Tcl
/// interpreter, which holds the command: a cycle that no collector sees, and the whole Tcl
/// interpreter would stay behind. Deleting the commands of the registered callbacks (named
/// in `commands`) breaks it; a command that is gone already is no error.
void delete_callback_commands(PyObject* tk, PyObject* commands) {
    Py_ssize_t count = PyList_GET_SIZE(commands);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* done =
            PyObject_CallMethod(tk, "deletecommand", "O", PyList_GET_ITEM(commands, i));
        Py_XDECREF(done);
        PyErr_Clear();
    }
}

/// Releases the host objects orphaned by interpreters of the calling thread.
void release_orphans() {
    nb::handle orphans = orphaned_hosts();
    if (PyList_GET_SIZE(orphans.ptr()) == 0) return;
    unsigned long long current = thread_token();
    nb::list keep_for_others;
    for (nb::handle entry : orphans)
        if (nb::cast<unsigned long long>(entry[0]) != current)
            keep_for_others.append(entry);
        else
            delete_callback_commands(nb::handle(entry[1]).ptr(), nb::handle(entry[2]).ptr());
    if (PyList_SetSlice(orphans.ptr(), 0, PY_SSIZE_T_MAX, keep_for_others.ptr()) < 0)
        throw nb::python_error();
}

void finalize(nb::handle self) {
    Names& n = names();
    nb::object dict = check(PyObject_GenericGetDict(self.ptr(), nullptr));
    PyObject* owner = PyDict_GetItemWithError(dict.ptr(), n.owner_thread.ptr());
    PyObject* tk = owner ? PyDict_GetItemWithError(dict.ptr(), n.tk.ptr()) : nullptr;
    if (!tk) {
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    unsigned long long owner_id = PyLong_AsUnsignedLongLong(owner);
    if (PyErr_Occurred()) throw nb::python_error();
    PyObject* table = PyDict_GetItemWithError(dict.ptr(), n.callbacks.ptr());
    if (!table && PyErr_Occurred()) throw nb::python_error();
    nb::object commands = check(table && PyDict_Check(table) ? PyDict_Keys(table) : PyList_New(0));
    if (owner_id == thread_token()) {
        delete_callback_commands(tk, commands.ptr());
        return;
    }
    // the command objects of the quick calls (dial) are Tcl objects too: released with the host
    PyObject* command_objects = PyDict_GetItemWithError(dict.ptr(), n.command_objects.ptr());
    if (!command_objects && PyErr_Occurred()) throw nb::python_error();
    nb::object orphan = nb::make_tuple(nb::borrow(owner), nb::borrow(tk), commands,
                                       nb::borrow(command_objects ? command_objects : Py_None));
    if (PyList_Append(orphaned_hosts().ptr(), orphan.ptr()) < 0) throw nb::python_error();
}

/// Loads TclX into a fresh host. The first host finds it as `package require` does, by
/// searching `auto_path`, which sources every package index there (most of what a new
/// interpreter costs; an index may also extend `auto_path`). Later hosts that start with the
/// same `auto_path` are told first where that search found TclX (`package ifneeded`), so they
/// load it without searching, and then get the `auto_path` that the search left: `package
/// present`, `package ifneeded Tclx` and `auto_path` read as after the search. (The other
/// packages' indexes are read when something else is first required.)
void require_tclx(nb::handle tk) {
    const Names& n = names();
    // starting auto_path -> (version, ifneeded script, auto_path after the search)
    static nb::handle found = keep(nb::dict());
    auto eval = [&](const char* script) { return call_method(tk, n.eval, {nb::str(script)}); };
    auto package = [&](std::initializer_list<nb::handle> words) {
        nb::list call_words;
        call_words.append(nb::str("package"));
        for (nb::handle word : words)
            call_words.append(word);
        return call_method(tk, n.call, {nb::tuple(call_words)});
    };
    nb::object start = eval("set auto_path");
    PyObject* known = PyDict_GetItemWithError(found.ptr(), start.ptr());
    if (!known && PyErr_Occurred()) throw nb::python_error();
    nb::object where = nb::borrow(known); // held: the calls below run Tcl code
    if (known) package({nb::str("ifneeded"), nb::str("Tclx"), where[0], where[1]});
    eval("package require Tclx");
    if (known) {
        call_method(tk, n.call, {nb::str("set"), nb::str("auto_path"), where[2]});
        return;
    }
    nb::object version = eval("package present Tclx");
    nb::object script =
        check(PyObject_Str(package({nb::str("ifneeded"), nb::str("Tclx"), version}).ptr()));
    if (PyUnicode_GET_LENGTH(script.ptr()) == 0) return; // provided some other way
    where = nb::make_tuple(version, script, eval("set auto_path"));
    if (PyDict_SetItem(found.ptr(), start.ptr(), where.ptr()) < 0) throw nb::python_error();
}

void init(nb::handle self) {
    Names& n = names();
    release_orphans();
    nb::kwargs no_window;
    no_window["useTk"] = 0;
    get_attr(n.tk_class, n.init)(self, **no_window);
    set_attr(self, n.owner_thread, nb::steal(PyLong_FromUnsignedLongLong(thread_token())));
    call(n.register_owner_thread, {self});
    call(n.watch_signals, {self});
    attach_handles(self);
    require_tclx(get_attr(self, n.tk));
    call_method(self, n.load_entrypoint);
}

void load_entrypoint(nb::handle self) {
    Names& n = names();
    nb::kwargs in_group;
    in_group["group"] = module_global(n.init_group);
    nb::object entry_points = module_global(n.iter_entry_points)(**in_group);
    for (nb::handle entry_point : entry_points) {
        nb::object name = get_attr(entry_point, n.name);
        nb::object allowed = module_global(n.allowed_keys);
        int known = PySequence_Contains(allowed.ptr(), name.ptr());
        if (known < 0) throw nb::python_error();
        if (!known) {
            nb::object message = nb::str("Unknown Tcl entrypoint: {} from {}")
                                     .format(name, get_attr(entry_point, n.module_name));
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            throw nb::python_error();
        }
        call_method(module_global(n.logger), n.debug,
                    {n.loading_message, get_attr(entry_point, n.module_name)});
        nb::object tcl_init = call_method(entry_point, n.load);
        if (!PyCallable_Check(tcl_init.ptr())) {
            nb::object message = nb::str("Tcl-Init must be callable, got: {!r}").format(tcl_init);
            PyErr_SetObject(PyExc_TypeError, message.ptr());
            throw nb::python_error();
        }
        call(tcl_init, {self});
    }
}

/// Entry points of the installed distributions, each with `name`, `module_name` and `load()`.
nb::object iter_entry_points(nb::handle group, nb::handle name) {
    Names& n = names();
    nb::kwargs in_group;
    in_group["group"] = group;
    nb::list found;
    for (nb::handle entry_point : n.entry_points(**in_group)) {
        nb::object ep_name = get_attr(entry_point, n.name);
        if (!name.is_none() && !ep_name.equal(name)) continue;
        nb::kwargs fields;
        fields["name"] = ep_name;
        fields["module_name"] = get_attr(entry_point, n.module);
        fields["load"] = get_attr(entry_point, n.load);
        found.append(n.simple_namespace(**fields));
    }
    return found;
}

// ---- destroying ----

/// What a destroyed interpreter holds in place of its host object: every use of it raises
/// RuntimeError naming what was asked for (not TclError, which every caller would take for
/// an error of a Tcl command).
nb::handle destroyed_host_class() {
    static nb::handle cls = [] {
        ClassBuilder builder("tessel.tcl.interpreter", "_DestroyedHost", nb::make_tuple());
        builder.attr("__doc__", nb::str("The host object of a destroyed Interpreter."))
            .def("__getattr__",
                 [](nb::handle, nb::handle attr) -> nb::object {
                     nb::object message =
                         nb::str("the Interpreter has been destroyed (it was asked for '{}')")
                             .format(attr);
                     PyErr_SetObject(PyExc_RuntimeError, message.ptr());
                     throw nb::python_error();
                 })
            .def("__repr__",
                 [](nb::handle) { return nb::str("<host of a destroyed Interpreter>"); });
        return keep(builder.finish());
    }();
    return cls;
}

bool is_destroyed_host(PyObject* tk) {
    return Py_TYPE(tk) == reinterpret_cast<PyTypeObject*>(destroyed_host_class().ptr());
}

/// Ends the interpreter: removes its callbacks (a command one displaced gets its name back)
/// and lets go of the host object, so the Tcl interpreter goes with the last reference to it.
/// Every later use raises RuntimeError. A second call does nothing.
void destroy(nb::handle self) {
    Names& n = names();
    nb::object dict = get_attr(self, n.dict);
    PyObject* tk = PyDict_GetItemWithError(dict.ptr(), n.tk.ptr());
    if (!tk && PyErr_Occurred()) throw nb::python_error();
    if (!tk || is_destroyed_host(tk)) return;
    PyObject* owner = PyDict_GetItemWithError(dict.ptr(), n.owner_thread.ptr());
    if (!owner && PyErr_Occurred()) throw nb::python_error();
    if (owner && PyLong_AsUnsignedLongLong(owner) != thread_token()) {
        if (PyErr_Occurred()) throw nb::python_error();
        PyErr_SetString(PyExc_RuntimeError,
                        "an Interpreter can only be destroyed by the thread that created it");
        throw nb::python_error();
    }
    nb::object table = get_attr(self, n.callbacks);
    for (nb::handle name : check(PySequence_List(check(PyMapping_Keys(table.ptr())).ptr())))
        call_method(self, n.remove_callback, {name});
    nb::object gone = call(destroyed_host_class());
    if (PyDict_SetItem(dict.ptr(), n.tk.ptr(), gone.ptr()) < 0) throw nb::python_error();
    for (nb::handle name : {n.command_objects, n.owner_thread})
        if (PyDict_DelItem(dict.ptr(), name.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
            PyErr_Clear();
        }
}

/// Every host operation reads as an attribute of the interpreter. The host object is taken
/// from the instance dictionary, so a half-built interpreter never recurses here.
nb::object getattr_fallback(nb::handle self, nb::handle attr) {
    Names& n = names();
    nb::object dict = get_attr(self, n.dict);
    nb::object tk = nb::borrow(PyDict_GetItemWithError(dict.ptr(), n.tk.ptr()));
    if (tk.is_valid()) {
        PyObject* value = PyObject_GetAttr(tk.ptr(), attr.ptr());
        if (value) return nb::steal(value);
        if (is_destroyed_host(tk.ptr())) throw nb::python_error(); // says it was destroyed
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_AttributeError, "'Interpreter' object has no attribute '%U'",
                 check(PyObject_Str(attr.ptr())).ptr());
    throw nb::python_error();
}

// ---- evaluation ----

/// Raises TclError(text of ::errorInfo) in place of the pending host error, whose context is
/// kept but suppressed, as `raise TclError(info) from None` would. The error carries
/// `errorcode` and `errorinfo` as host `tk` has them now.
[[noreturn]] void raise_error_info(nb::handle self, nb::handle tk, nb::handle info_view,
                                   nb::handle info_name) {
    Names& n = names();
    nb::object host_error = catch_error(n.tcl_error.ptr());
    if (!host_error.is_valid()) throw nb::python_error();
    Interruption stop = take_interruption(tk);
    if (stop.unwinding) { // (as it is: the interpreter can tell nothing more yet)
        PyErr_SetObject(n.tcl_error.ptr(), host_error.ptr());
        throw nb::python_error();
    }
    nb::object view = get_attr(self, info_view);
    nb::object text = check(PyObject_GetItem(view.ptr(), info_name.ptr()));
    nb::object error = check(PyObject_CallOneArg(n.tcl_error.ptr(), text.ptr()));
    raise_in_place_of(std::move(error), std::move(host_error), tk, text);
    if (stop.raised.is_valid()) raise_instead(stop.raised);
    throw nb::python_error();
}

nb::object eval(nb::handle self, nb::handle code, nb::handle typecast, nb::handle record) {
    Names& n = names();
    static InterpreterTargets targets({n.history.ptr(), n.tk.ptr(), n.cast_any.ptr(),
                                       n.getattribute.ptr()}); // guarded by the GIL
    if (truth(record)) {
        nb::object history = targets.attribute(self.ptr(), n.history.ptr());
        call_method(history, n.append, {code});
    }
    // (read after the record, which may have run code that changed the interpreter)
    nb::object tk = targets.attribute(self.ptr(), n.tk.ptr());
    PyObject* result = host_eval(tk.ptr(), code.ptr());
    if (!result) raise_error_info(self, tk, n.vars, n.error_info_qualified);
    nb::object value = nb::steal(result);
    if (truth(typecast)) return check(targets.cast_any(self.ptr(), value.ptr()));
    return value;
}

/// `eval` is the hottest call of the system: it is a plain method descriptor taking its
/// arguments by vectorcall, without a binding layer's dispatch in between.
PyObject* eval_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"code", "typecast", "record"};
    static constexpr Parameters kParameters("eval", kNames, 3, 1);
    PyObject* values[3] = {nullptr, Py_False, Py_True};
    if (nargs == 1 && !kwnames)
        values[0] = args[0];
    else if (!kParameters.bind(args, nargs, kwnames, values))
        return nullptr;
    // A script is text: anything else would reach the history's record first and fail there
    // with words about the record.
    if (!PyUnicode_Check(values[0])) return kParameters.wrong_type(nullptr, "str", values[0]);
    return guarded([&] { return eval(self, values[0], values[1], values[2]); });
}

PyMethodDef eval_method = {
    "eval", as_method(&eval_entry), METH_FASTCALL | METH_KEYWORDS,
    "eval($self, /, code, typecast=False, record=True)\n--\n\n"
    "Evaluates a Tcl script, recorded in the history; a Tcl error is raised as TclError\n"
    "carrying Tcl's full trace. With typecast, the result goes through cast_any."};

nb::object get_error_info(nb::handle self) {
    Names& n = names();
    nb::object view = get_attr(get_attr(self, n.global_ns), n.vars);
    return check(PyObject_GetItem(view.ptr(), n.error_info.ptr()));
}

// ---- the class and the module ----

nb::object build_interpreter_class() {
    Names& n = names();
    ClassBuilder cls("tessel.tcl.interpreter", "Interpreter", nb::make_tuple(n.tk_class));
    cls.attr("__doc__", nb::str("A Tcl interpreter (TclX loaded, no window) with call history, "
                                "typed variables, casts and Python callbacks."))
        .attr("__MAX_HISTORY__", nb::int_(9999))
        .def(
            "__init__", &init,
            "A new Tcl interpreter with TclX, its history, proxy, callbacks and namespace handles.")
        .def("_load_entrypoint", &load_entrypoint,
             "Runs the start-up hooks of the entry-point group tessel.tcl.")
        .def("__getattr__", &getattr_fallback, nb::arg("attr").none(),
             "Host operations (call, getvar, createcommand, ...) read through to tk.");
    add_callback_methods(cls);
    cls.method(&eval_method)
        .def("get_errorInfo", &get_error_info,
             "The text of ::errorInfo, Tcl's trace of the last error.");
    add_variable_methods(cls);
    add_cast_methods(cls);
    cls.def(
           "interrupt", [](nb::handle self) { return call(names().interrupt, {self}); },
           "Unwinds the Tcl script that the interpreter evaluates now (from any thread): the "
           "call evaluating it raises TclError('script interrupted'). False when it evaluates "
           "nothing.")
        .def("destroy", &destroy,
             "Ends the interpreter: removes its callbacks and lets go of the Tcl interpreter; "
             "later use raises RuntimeError.")
        .def(
            "__enter__", [](nb::handle self) { return nb::borrow(self); },
            "The interpreter itself.")
        .def(
            "__exit__",
            [](nb::handle self, nb::args) {
                destroy(self);
                return false;
            },
            "Destroys the interpreter; an exception raised in the block propagates.");
    cls.def("__del__", &finalize,
            "Hands the host object to its owner thread when finalised elsewhere.");
    return cls.finish();
}

/// `from <module> import <name>` into the module namespace.
void import_into(nb::module_& m, const char* module, const char* name) {
    m.attr(name) = nb::module_::import_(module).attr(name);
}

void intern_names(Names& n) {
    n.tk = interned("tk");
    n.history = interned("history");
    n.append = interned("append");
    n.eval = interned("eval");
    n.vars = interned("vars");
    n.objs = interned("objs");
    n.global_ns = interned("global_ns");
    n.local_ns = interned("local_ns");
    n.dial = interned("dial");
    n.dial_upper = interned("Dial");
    n.callbacks = interned("__callbacks__");
    n.init = interned("__init__");
    n.load_entrypoint = interned("_load_entrypoint");
    n.dict = interned("__dict__");
    n.owner_thread = interned("_owner_thread");
    n.command_objects = interned("_command_objects");
    n.call = interned("call");
    n.remove_callback = interned("remove_callback");
    n.getint = interned("getint");
    n.getdouble = interned("getdouble");
    n.getboolean = interned("getboolean");
    n.getattribute = interned("__getattribute__");
    n.cast_int = interned("cast_int");
    n.cast_double = interned("cast_double");
    n.cast_boolean = interned("cast_boolean");
    n.cast_list = interned("cast_list");
    n.cast_any = interned("cast_any");
    n.from_tcl = interned("from_tcl");
    n.items = interned("items");
    n.all_items = interned("all_items");
    n.type_name = interned("typename");
    n.keyed_list_type = interned("keyedList");
    n.item_cast = interned("item_cast");
    n.array_get = interned("array_get");
    n.array_set = interned("array_set");
    n.from_sequence = interned("from_sequence");
    n.func = interned("__func__");
    n.name_dunder = interned("__name__");
    n.name = interned("name");
    n.cmds = interned("cmds");
    n.exists = interned("exists");
    n.rename = interned("rename");
    n.delete_ = interned("delete");
    n.createcommand = interned("createcommand");
    n.tcl = interned("tcl");
    n.lstrip = interned("lstrip");
    n.bkup_prefix = interned("::glueKit::_cbBkup::");
    n.colon = interned(":");
    n.module_name = interned("module_name");
    n.module = interned("module");
    n.load = interned("load");
    n.debug = interned("debug");
    n.iter_entry_points = interned("iter_entry_points");
    n.allowed_keys = interned("TCL_ALLOWED_ENTRYPOINT_KEYS");
    n.init_group = interned("TCL_INIT_ENTRYPOINT");
    n.logger = interned("logger");
    n.loading_message = interned("Loading Tcl-Init from %s");
    n.Array = interned("Array");
    n.NestMap = interned("NestMap");
    n.History = interned("History");
    n.Dial = interned("Dial");
    n.TclNamespace = interned("TclNamespace");
    n.TclCommand = interned("TclCommand");
    n.error_info_qualified = interned("::errorInfo");
    n.error_info = interned("errorInfo");
    n.empty = interned("");
}

} // namespace
} // namespace tessel::interp

NB_MODULE(interpreter, m) {
    tessel::bind_host_tcl();
    using namespace tessel::interp;
    using tessel::keep;
    Names& n = names();
    intern_names(n);
    n.module_dict = keep(m.attr("__dict__"));
    n.api = tessel::import_scriptify_api();
    if (!n.api) throw nb::python_error();
    tessel::class_changes();   // imported now, not first on a hot path
    tessel::callback_errors(); // likewise, not first deep in a failing callback
    tessel::tcl_traceback_maker();
    tessel::interruption_taker();

    m.attr("os") = nb::module_::import_("os");
    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    import_into(m, "tkinter", "Tk");
    import_into(m, "tkinter", "TclError");
    import_into(m, "_tkinter", "Tcl_Obj");
    n.tk_class = keep(m.attr("Tk"));
    n.tcl_error = keep(m.attr("TclError"));
    n.tcl_obj_type = keep(m.attr("Tcl_Obj"));
    n.simple_namespace = keep(nb::module_::import_("types").attr("SimpleNamespace"));
    n.entry_points =
        keep(nb::module_::import_("tessel.tcl.host.entry_points").attr("entry_points"));
    tessel::def_function(
        m, "iter_entry_points", &iter_entry_points, nb::arg("group").none(),
        nb::arg("name").none() = nb::none(),
        "Entry points of a group in the installed distributions, each offering name, "
        "module_name and load().");

    import_into(m, "tessel.tcl.nestmap", "NestMap");
    import_into(m, "tessel.tcl.array", "Array");
    import_into(m, "tessel.tcl.history", "History");
    nb::module_ scriptify_module = nb::module_::import_("tessel.tcl.scriptify");
    m.attr("tclobj") = scriptify_module.attr("tclobj");
    m.attr("scriptify") = scriptify_module.attr("scriptify");
    n.tclobj_fn = keep(m.attr("tclobj"));
    n.scriptify_fn = keep(m.attr("scriptify"));
    import_into(m, "tessel.tcl.internal", "GetListFromAny");
    import_into(m, "tessel.tcl.internal", "TclDLL");
    n.get_list_from_any = keep(m.attr("GetListFromAny"));
    n.reset_result = keep(m.attr("TclDLL").attr("Tcl_ResetResult"));
    nb::module_ internal = nb::module_::import_("tessel.tcl.internal");
    n.register_owner_thread = keep(internal.attr("register_owner_thread"));
    n.watch_signals = keep(internal.attr("_watch_signals"));
    n.interrupt = keep(internal.attr("_interrupt"));
    import_into(m, "tessel.tcl.namespace", "TclNamespace");
    import_into(m, "tessel.tcl.namespace", "TclCommand");
    import_into(m, "tessel.tcl.dial", "Dial");

    m.attr("TCL_INIT_ENTRYPOINT") = "tessel.tcl";
    m.attr("TCL_ALLOWED_ENTRYPOINT_KEYS") = "tcl_init";
    m.attr("logger") = logging.attr("getLogger")("tessel.tcl.interpreter");

    nb::object interpreter_class = build_interpreter_class();
    n.interpreter_class = keep(interpreter_class);
    record_own_casts(interpreter_class);
    m.attr("Interpreter") = interpreter_class;

    destroyed_host_class(); // built now, never first while an error is pending
    nb::object global = interpreter_class();
    m.attr("_global_interpreter") = global;
    nb::list public_names;
    nb::str destroy_name("destroy"); // the package's interpreter is no package function
    for (nb::handle dict : {interpreter_class.attr("__dict__"), global.attr("__dict__")}) {
        for (nb::handle key : dict) {
            if (nb::isinstance<nb::str>(key) &&
                (!PyUnicode_GET_LENGTH(key.ptr()) || PyUnicode_READ_CHAR(key.ptr(), 0) != '_') &&
                !key.equal(destroy_name))
                public_names.append(key);
        }
    }
    global.attr("__all__") = public_names;
}
