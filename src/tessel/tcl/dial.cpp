// dial.cpp — the quick-call proxy: attribute chains on an interpreter that run Tcl commands.
// interp.dial.ns.proc("a b", opt=1) runs ns::proc with the words {a b} -opt 1, recorded and cast.

#include "host/method_cache.hpp"
#include "host/pyclass.hpp"
#include "host/scriptify_api.hpp"

#include <nanobind/nanobind.h>

#include <structmember.h>

#include <cstddef>

namespace nb = nanobind;

namespace tessel {
namespace {

/// `Dial`: holds a weak proxy of its interpreter; every attribute it lacks starts a `Dial_Code`.
struct DialObject {
    PyObject ob_base;
    PyObject* tcl;
    PyObject* dict;
    PyObject* weakrefs;
};

/// `Dial_Code`: the command path collected so far, and the interpreter to run it in.
struct CodeObject {
    PyObject ob_base;
    PyObject* tcl;
    PyObject* cmd;
    PyObject* dict;
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
};

/// The two types, the scriptify entry points, the module namespace (for call-time lookups)
/// and interned names, kept for the life of the process.
struct Names {
    PyTypeObject* dial_type = nullptr;
    PyTypeObject* code_type = nullptr;
    const ScriptifyApi* api = nullptr;
    nb::handle module_dict, own_scriptify;
    nb::handle scriptify_name, tcl_error_name, weakref_name, proxy_name;
    nb::handle history, append, tk, call, cast_any, vars, error_info, cast_keyword;
    nb::handle separator, dash, empty_command_message;
    nb::handle getattribute;
    PyObject* object_getattribute = nullptr;
};

Names& names() {
    static Names cached;
    return cached;
}

/// A module-level name as it stands now (callers may replace it). Borrowed; null with
/// NameError when it was deleted.
PyObject* module_name(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(names().module_dict.ptr(), name.ptr());
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return value;
}

/// The interpreter behind `tcl`: the referent when `tcl` is a weak proxy, which is what the
/// proxy would forward every attribute to. New reference; null with ReferenceError when the
/// referent is gone.
PyObject* interpreter_of(PyObject* tcl) {
    if (!PyWeakref_CheckProxy(tcl)) return Py_NewRef(tcl);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(tcl, &obj) < 0) return nullptr;
#else
    PyObject* obj = PyWeakref_GET_OBJECT(tcl);
    obj = obj == Py_None ? nullptr : Py_NewRef(obj);
#endif
    if (!obj) PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return obj;
}

/// Normal attribute lookup without the cost of an AttributeError when the name is missing:
/// the type's attributes (data descriptors and methods alike), then the instance dict.
/// Returns a new reference, or null; `*found` tells a miss from an error.
PyObject* ordinary_attribute(PyObject* self, PyObject* dict, PyObject* name, bool* found) {
    *found = true;
    if (_PyType_Lookup(Py_TYPE(self), name)) return PyObject_GenericGetAttr(self, name);
    if (dict) {
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    *found = false;
    return nullptr;
}

/// The AttributeError of an attribute that a half-built object does not have yet.
PyObject* missing_attribute(PyObject* self, const char* name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                 Py_TYPE(self)->tp_name, name);
    return nullptr;
}

PyObject* code_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

/// A new `Dial_Code` with the path [name] that runs in `tcl`.
PyObject* new_code(PyObject* name, PyObject* tcl) {
    PyTypeObject* type = names().code_type;
    nb::object cmd = nb::steal(PyList_New(1));
    if (!cmd.is_valid()) return nullptr;
    PyList_SET_ITEM(cmd.ptr(), 0, Py_NewRef(name));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* code = reinterpret_cast<CodeObject*>(self);
    code->tcl = Py_NewRef(tcl);
    code->cmd = cmd.release().ptr();
    code->vectorcall = &code_vectorcall;
    return self;
}

// ---- argument parsing shared by the two constructors --------------------------------------

/// Raises the TypeError that Python gives a function for an unknown keyword argument.
int unexpected_keyword(const char* function, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
    return -1;
}

// ---- Dial ---------------------------------------------------------------------------------

PyObject* dial_new(PyTypeObject* type, PyObject*, PyObject*) {
    return type->tp_alloc(type, 0);
}

/// Dial(tcl): keeps `tcl` as a weak proxy (a proxy handed in is kept as it is, since a proxy
/// of a proxy cannot be made and would forward to the same object).
int dial_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    constexpr const char* function = "Dial.__init__";
    PyObject* tcl = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments but %zd were given",
                     function, nargs + 1);
        return -1;
    }
    if (nargs == 1) tcl = PyTuple_GET_ITEM(args, 0);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "tcl") != 0)
                return unexpected_keyword(function, key);
            if (tcl) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'tcl'",
                             function);
                return -1;
            }
            tcl = value;
        }
    }
    if (!tcl) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'tcl'",
                     function);
        return -1;
    }
    nb::object proxy;
    if (PyWeakref_CheckProxy(tcl)) {
        proxy = nb::borrow(tcl);
    } else {
        PyObject* weakref = module_name(names().weakref_name);
        if (!weakref) return -1;
        nb::object make_proxy = nb::steal(PyObject_GetAttr(weakref, names().proxy_name.ptr()));
        if (!make_proxy.is_valid()) return -1;
        proxy = nb::steal(PyObject_CallOneArg(make_proxy.ptr(), tcl));
        if (!proxy.is_valid()) return -1;
    }
    auto* dial = reinterpret_cast<DialObject*>(self);
    Py_XSETREF(dial->tcl, proxy.release().ptr());
    return 0;
}

/// Any attribute that normal lookup does not find starts a new command path.
PyObject* dial_getattro(PyObject* self, PyObject* name) {
    auto* dial = reinterpret_cast<DialObject*>(self);
    bool found;
    PyObject* value = ordinary_attribute(self, dial->dict, name, &found);
    if (found) return value;
    if (!dial->tcl) return missing_attribute(self, "tcl");
    return new_code(name, dial->tcl);
}

PyObject* dial_getattr_method(PyObject* self, PyObject* name) {
    auto* dial = reinterpret_cast<DialObject*>(self);
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    if (!dial->tcl) return missing_attribute(self, "tcl");
    return new_code(name, dial->tcl);
}

/// The proxy itself names no command: Tcl's answer to an empty command name.
PyObject* dial_call(PyObject*, PyObject*, PyObject*) {
    PyObject* error = module_name(names().tcl_error_name);
    if (!error) return nullptr;
    nb::object exc = nb::steal(PyObject_CallOneArg(error, names().empty_command_message.ptr()));
    if (!exc.is_valid()) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    return nullptr;
}

int dial_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* dial = reinterpret_cast<DialObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(dial->tcl);
    Py_VISIT(dial->dict);
    return 0;
}

int dial_clear(PyObject* self) {
    auto* dial = reinterpret_cast<DialObject*>(self);
    Py_CLEAR(dial->tcl);
    Py_CLEAR(dial->dict);
    return 0;
}

void dial_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<DialObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    dial_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- Dial_Code ------------------------------------------------------------------------------

PyObject* code_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<CodeObject*>(self)->vectorcall = &code_vectorcall;
    return self;
}

/// Dial_Code(*cmd, tcl): the path components in order; `tcl` is required and keyword-only.
int code_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    constexpr const char* function = "Dial_Code.__init__";
    PyObject* tcl = nullptr;
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "tcl") != 0)
                return unexpected_keyword(function, key);
            tcl = value;
        }
    }
    if (!tcl) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: 'tcl'",
                     function);
        return -1;
    }
    PyObject* cmd = PySequence_List(args);
    if (!cmd) return -1;
    auto* code = reinterpret_cast<CodeObject*>(self);
    Py_XSETREF(code->cmd, cmd);
    Py_XSETREF(code->tcl, Py_NewRef(tcl));
    return 0;
}

/// Appends `name` to the path and returns the same object.
PyObject* extend_path(PyObject* self, PyObject* name) {
    auto* code = reinterpret_cast<CodeObject*>(self);
    if (!code->cmd) return missing_attribute(self, "cmd");
    if (PyList_CheckExact(code->cmd)) {
        if (PyList_Append(code->cmd, name) < 0) return nullptr;
    } else {
        PyObject* call_args[] = {nullptr, code->cmd, name};
        nb::object done = nb::steal(PyObject_VectorcallMethod(
            names().append.ptr(), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!done.is_valid()) return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* code_getattro(PyObject* self, PyObject* name) {
    bool found;
    PyObject* value =
        ordinary_attribute(self, reinterpret_cast<CodeObject*>(self)->dict, name, &found);
    if (found) return value;
    return extend_path(self, name);
}

PyObject* code_getattr_method(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    return extend_path(self, name);
}

/// The command word: the path joined with "::". A one-part path of exact `str` is its part.
PyObject* command_word(PyObject* self) {
    PyObject* cmd = reinterpret_cast<CodeObject*>(self)->cmd;
    if (!cmd) return missing_attribute(self, "cmd");
    if (PyList_CheckExact(cmd) && PyList_GET_SIZE(cmd) == 1 &&
        PyUnicode_CheckExact(PyList_GET_ITEM(cmd, 0)))
        return Py_NewRef(PyList_GET_ITEM(cmd, 0));
    return PyUnicode_Join(names().separator.ptr(), cmd);
}

PyObject* code_repr(PyObject* self) {
    nb::object word = nb::steal(command_word(self));
    if (!word.is_valid()) return nullptr;
    return PyUnicode_FromFormat("<tcl.Dial magic, referring Tcl code ::%U>", word.ptr());
}

/// Tcl text of one argument: through the C entry point while the module's `scriptify` is
/// still our own function, through whatever replaced it otherwise.
PyObject* word_text(PyObject* scriptify, PyObject* value) {
    const Names& n = names();
    if (scriptify == n.own_scriptify.ptr()) return n.api->scriptify(value);
    return PyObject_CallOneArg(scriptify, value);
}

bool is_cast_keyword(PyObject* key) {
    PyObject* cast = names().cast_keyword.ptr();
    return key == cast || PyUnicode_Compare(key, cast) == 0;
}

/// The words of one call: command word, positional arguments, then -key value per keyword
/// (except `cast_`, which is ours). `*cast` receives the `cast_` value (borrowed) or null.
PyObject* call_words(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** cast) {
    const Names& n = names();
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    *cast = nullptr;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (is_cast_keyword(PyTuple_GET_ITEM(kwnames, i))) *cast = args[nargs + i];
    Py_ssize_t options = *cast ? nkw - 1 : nkw;
    nb::object words = nb::steal(PyList_New(1 + nargs + 2 * options));
    if (!words.is_valid()) return nullptr;
    PyObject* word = command_word(self);
    if (!word) return nullptr;
    PyList_SET_ITEM(words.ptr(), 0, word);
    PyObject* scriptify = nullptr;
    if (nargs + options > 0 && !(scriptify = module_name(n.scriptify_name))) return nullptr;
    Py_ssize_t at = 1;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* text = word_text(scriptify, args[i]);
        if (!text) return nullptr;
        PyList_SET_ITEM(words.ptr(), at++, text);
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (args[nargs + i] == *cast && is_cast_keyword(key)) continue;
        PyObject* option = PyUnicode_Concat(n.dash.ptr(), key);
        if (!option) return nullptr;
        PyList_SET_ITEM(words.ptr(), at++, option);
        PyObject* text = word_text(scriptify, args[nargs + i]);
        if (!text) return nullptr;
        PyList_SET_ITEM(words.ptr(), at++, text);
    }
    return words.release().ptr();
}

/// Makes the error now set the context of the error that replaces it, as an exception
/// raised inside an `except` block would have it.
void chain_onto(PyObject* previous) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    if (value && value != previous) PyException_SetContext(value, Py_NewRef(previous));
    PyErr_Restore(type, value, traceback);
}

/// Replaces the host's TclError (set now) by a new TclError carrying the full ::errorInfo
/// trace of the interpreter, with the host's error suppressed. Errors that are not the host's
/// TclError pass unchanged. Always returns null.
PyObject* raise_error_info(PyObject* interp) {
    const Names& n = names();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    nb::object host_error = nb::steal(value);
    nb::object host_type = nb::steal(type);
    nb::object host_traceback = nb::steal(traceback);

    PyObject* tcl_error = module_name(n.tcl_error_name);
    if (!tcl_error) {
        chain_onto(host_error.ptr());
        return nullptr;
    }
    if (!PyErr_GivenExceptionMatches(host_type.ptr(), tcl_error)) {
        PyErr_Restore(host_type.release().ptr(), host_error.release().ptr(),
                      host_traceback.release().ptr());
        return nullptr;
    }
    nb::object vars = nb::steal(PyObject_GetAttr(interp, n.vars.ptr()));
    nb::object info = vars.is_valid() ? nb::steal(PyObject_GetItem(vars.ptr(), n.error_info.ptr()))
                                      : nb::object();
    nb::object exc =
        info.is_valid() ? nb::steal(PyObject_CallOneArg(tcl_error, info.ptr())) : nb::object();
    if (!exc.is_valid()) {
        chain_onto(host_error.ptr());
        return nullptr;
    }
    if (!PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        chain_onto(host_error.ptr());
        return nullptr;
    }
    PyException_SetContext(exc.ptr(), host_error.release().ptr());
    PyException_SetCause(exc.ptr(), nullptr); // also suppresses the context
    PyObject* exc_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
    PyErr_Restore(exc_type, exc.release().ptr(), nullptr);
    return nullptr;
}

/// `obj.<name>` read straight from the instance dictionary when nothing else could answer
/// first: the type has no attribute of that name and keeps object's own __getattribute__.
/// Anything else, and a miss, goes through normal attribute lookup. New reference or null.
PyObject* instance_attribute(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (_PyType_Lookup(type, names().getattribute.ptr()) == names().object_getattribute &&
        !_PyType_Lookup(type, name)) {
        PyObject** dict = _PyObject_GetDictPtr(obj);
        if (dict && *dict) {
            PyObject* value = PyDict_GetItemWithError(*dict, name);
            if (value) return Py_NewRef(value);
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(obj, name);
}

/// An interpreter's `history` and `tk` as `instance_attribute` reads them, and its `cast_any`
/// method descriptor when nothing shadows it. The last answer is kept while the interpreter's
/// type and its instance dictionary keep their version tags: an assignment to the type, to a
/// base, or to any dictionary gives them new tags, never reused.
struct CallTargets {
    PyTypeObject* type = nullptr;
    unsigned int type_version = 0;
    PyObject* dict = nullptr;
    uint64_t dict_version = 0;
    PyObject* history = nullptr; // borrowed from the dictionary
    PyObject* tk = nullptr;
    PyObject* cast_any = nullptr; // borrowed from the type; null: look it up the ordinary way

    /// Both values (new references), or false when they must be read the ordinary way.
    bool read(PyObject* interp, nb::object* history_out, nb::object* tk_out) {
#if PY_VERSION_HEX < 0x030C0000
        PyTypeObject* interp_type = Py_TYPE(interp);
        if (!PyType_HasFeature(interp_type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
        PyObject** slot = _PyObject_GetDictPtr(interp);
        PyObject* current = slot ? *slot : nullptr;
        if (!current || !PyDict_CheckExact(current)) return false;
        uint64_t tag = reinterpret_cast<PyDictObject*>(current)->ma_version_tag;
        if (interp_type != type || interp_type->tp_version_tag != type_version || current != dict ||
            tag != dict_version) {
            const Names& n = names();
            if (_PyType_Lookup(interp_type, n.getattribute.ptr()) != n.object_getattribute ||
                _PyType_Lookup(interp_type, n.history.ptr()) ||
                _PyType_Lookup(interp_type, n.tk.ptr()))
                return false;
            PyObject* found_history = PyDict_GetItemWithError(current, n.history.ptr());
            PyObject* found_tk =
                found_history ? PyDict_GetItemWithError(current, n.tk.ptr()) : nullptr;
            if (!found_tk || !PyType_HasFeature(interp_type, Py_TPFLAGS_VALID_VERSION_TAG)) {
                PyErr_Clear();
                return false;
            }
            PyObject* cast = _PyType_Lookup(interp_type, n.cast_any.ptr());
            if (cast && (!PyType_HasFeature(Py_TYPE(cast), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
                         PyDict_GetItemWithError(current, n.cast_any.ptr())))
                cast = nullptr;
            if (PyErr_Occurred()) return false;
            *this = {
                interp_type, interp_type->tp_version_tag, current, tag, found_history, found_tk,
                cast};
        }
        *history_out = nb::borrow(history);
        *tk_out = nb::borrow(tk);
        return true;
#else
        (void)interp, (void)history_out, (void)tk_out;
        return false;
#endif
    }
};

/// `obj.<name>(arg)`. While the type keeps object's own __getattribute__ and nothing in the
/// instance dictionary shadows a method descriptor of the type, the descriptor is called with
/// `obj` as its first argument, as a plain method call would do, without building the bound
/// method that a type with `__getattr__` would otherwise make on every lookup.
PyObject* call_method_of(PyObject* obj, PyObject* name, PyObject* arg) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* found = _PyType_Lookup(type, name);
    if (found && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
        _PyType_Lookup(type, names().getattribute.ptr()) == names().object_getattribute) {
        PyObject** dict = _PyObject_GetDictPtr(obj);
        PyObject* shadow = dict && *dict ? PyDict_GetItemWithError(*dict, name) : nullptr;
        if (!shadow && PyErr_Occurred()) return nullptr;
        if (!shadow) {
            nb::object method = nb::borrow(found); // the call may replace the type's attribute
            PyObject* args[] = {obj, arg};
            return PyObject_Vectorcall(method.ptr(), args, 2, nullptr);
        }
    }
    PyObject* args[] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/// Runs the command: records the words in the interpreter's history, calls them through the
/// host as one list call, turns a Tcl failure into the full error trace, and casts the result
/// unless `cast_` is false.
PyObject* code_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Names& n = names();
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* cast = nullptr;
    nb::object words = nb::steal(call_words(self, args, nargs, kwnames, &cast));
    if (!words.is_valid()) return nullptr;
    PyObject* tcl = reinterpret_cast<CodeObject*>(self)->tcl;
    if (!tcl) return missing_attribute(self, "tcl");
    nb::object interp = nb::steal(interpreter_of(tcl));
    if (!interp.is_valid()) return nullptr;

    static CallTargets targets; // guarded by the GIL
    nb::object history, tk;
    if (!targets.read(interp.ptr(), &history, &tk)) {
        history = nb::steal(instance_attribute(interp.ptr(), n.history.ptr()));
        if (!history.is_valid()) return nullptr;
    }
    static MethodCache history_append, host_call;
    nb::object recorded =
        nb::steal(history_append.call(history.ptr(), n.append.ptr(), words.ptr()));
    if (!recorded.is_valid()) return nullptr;

    // the record may have run code that changed the interpreter
    if (!targets.read(interp.ptr(), &history, &tk)) {
        tk = nb::steal(instance_attribute(interp.ptr(), n.tk.ptr()));
        if (!tk.is_valid()) return nullptr;
    }
    nb::object word_tuple = nb::steal(PySequence_Tuple(words.ptr()));
    if (!word_tuple.is_valid()) return nullptr;
    nb::object result = nb::steal(host_call.call(tk.ptr(), n.call.ptr(), word_tuple.ptr()));
    if (!result.is_valid()) return raise_error_info(interp.ptr());

    if (cast) {
        int truth = PyObject_IsTrue(cast);
        if (truth < 0) return nullptr;
        if (!truth) return result.release().ptr();
    }
    // the command may have run code that changed the interpreter
    if (targets.read(interp.ptr(), &history, &tk) && targets.cast_any) {
        nb::object method = nb::borrow(targets.cast_any);
        PyObject* cast_args[] = {interp.ptr(), result.ptr()};
        return PyObject_Vectorcall(method.ptr(), cast_args, 2, nullptr);
    }
    return call_method_of(interp.ptr(), n.cast_any.ptr(), result.ptr());
}

int code_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* code = reinterpret_cast<CodeObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(code->tcl);
    Py_VISIT(code->cmd);
    Py_VISIT(code->dict);
    return 0;
}

int code_clear(PyObject* self) {
    auto* code = reinterpret_cast<CodeObject*>(self);
    Py_CLEAR(code->tcl);
    Py_CLEAR(code->cmd);
    Py_CLEAR(code->dict);
    return 0;
}

void code_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<CodeObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    code_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- type specifications --------------------------------------------------------------------

PyMemberDef dial_members[] = {
    {"tcl", T_OBJECT_EX, offsetof(DialObject, tcl), 0,
     "Weak proxy of the interpreter this proxy serves."},
    {"__dictoffset__", T_PYSSIZET, offsetof(DialObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(DialObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef code_members[] = {
    {"tcl", T_OBJECT_EX, offsetof(CodeObject, tcl), 0, "The interpreter to run the command in."},
    {"cmd", T_OBJECT_EX, offsetof(CodeObject, cmd), 0,
     "The command's path components, joined with '::' to form the command word."},
    {"__dictoffset__", T_PYSSIZET, offsetof(CodeObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CodeObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CodeObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef dict_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dial_methods[] = {
    {"__getattr__", dial_getattr_method, METH_O, "Starts a new command path at `name`."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef code_methods[] = {
    {"__getattr__", code_getattr_method, METH_O,
     "Appends `name` to the command path and returns the same object."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dial_slots[] = {
    {Py_tp_doc, const_cast<char*>("Dial(tcl)\n--\n\nCalls Tcl commands as attribute chains: "
                                  "interp.dial.ns.proc(arg, opt=value).")},
    {Py_tp_new, reinterpret_cast<void*>(dial_new)},
    {Py_tp_init, reinterpret_cast<void*>(dial_init)},
    {Py_tp_getattro, reinterpret_cast<void*>(dial_getattro)},
    {Py_tp_call, reinterpret_cast<void*>(dial_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(dial_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dial_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dial_dealloc)},
    {Py_tp_members, dial_members},
    {Py_tp_getset, dict_getset},
    {Py_tp_methods, dial_methods},
    {0, nullptr},
};

PyType_Slot code_slots[] = {
    {Py_tp_doc, const_cast<char*>("Dial_Code(*cmd, tcl)\n--\n\nOne Tcl command path; calling "
                                  "it runs the command.")},
    {Py_tp_new, reinterpret_cast<void*>(code_new)},
    {Py_tp_init, reinterpret_cast<void*>(code_init)},
    {Py_tp_getattro, reinterpret_cast<void*>(code_getattro)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(code_repr)},
    {Py_tp_str, reinterpret_cast<void*>(code_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(code_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(code_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(code_dealloc)},
    {Py_tp_members, code_members},
    {Py_tp_getset, dict_getset},
    {Py_tp_methods, code_methods},
    {0, nullptr},
};

constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec dial_spec = {"tessel.tcl.dial.Dial", sizeof(DialObject), 0, kTypeFlags, dial_slots};
PyType_Spec code_spec = {"tessel.tcl.dial.Dial_Code", sizeof(CodeObject), 0,
                         kTypeFlags | Py_TPFLAGS_HAVE_VECTORCALL, code_slots};

nb::object make_type(nb::module_& m, PyType_Spec& type_spec) {
    PyObject* type = PyType_FromModuleAndSpec(m.ptr(), &type_spec, nullptr);
    if (!type) throw nb::python_error();
    return nb::steal(type);
}

} // namespace
} // namespace tessel

NB_MODULE(dial, m) {
    using namespace tessel;
    Names& n = names();
    auto interned = [](const char* s) {
        PyObject* name = PyUnicode_InternFromString(s);
        if (!name) throw nb::python_error();
        return nb::handle(name);
    };
    n.api = import_scriptify_api();
    if (!n.api) throw nb::python_error();
    nb::module_ scriptify_module = nb::module_::import_("tessel.tcl.scriptify");
    n.own_scriptify = keep(scriptify_module.attr("scriptify"));
    n.module_dict = keep(m.attr("__dict__"));
    n.scriptify_name = interned("scriptify");
    n.tcl_error_name = interned("TclError");
    n.weakref_name = interned("weakref");
    n.proxy_name = interned("proxy");
    n.history = interned("history");
    n.append = interned("append");
    n.tk = interned("tk");
    n.call = interned("call");
    n.cast_any = interned("cast_any");
    n.vars = interned("vars");
    n.error_info = interned("::errorInfo");
    n.cast_keyword = interned("cast_");
    n.separator = interned("::");
    n.dash = interned("-");
    n.empty_command_message = interned("invalid command name \"\"");
    n.getattribute = interned("__getattribute__");
    n.object_getattribute = _PyType_Lookup(&PyBaseObject_Type, n.getattribute.ptr());

    m.attr("weakref") = nb::module_::import_("weakref");
    m.attr("TclError") = nb::module_::import_("tkinter").attr("TclError");
    m.attr("scriptify") = n.own_scriptify;

    nb::object dial = make_type(m, dial_spec);
    nb::object code = make_type(m, code_spec);
    n.dial_type = reinterpret_cast<PyTypeObject*>(keep(dial).ptr());
    n.code_type = reinterpret_cast<PyTypeObject*>(keep(code).ptr());
    m.attr("Dial") = nb::handle(reinterpret_cast<PyObject*>(n.dial_type));
    m.attr("Dial_Code") = nb::handle(reinterpret_cast<PyObject*>(n.code_type));
}
