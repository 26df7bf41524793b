// dial_call.cpp — running a Dial_Code: its words, the history record, one host call, the full
// error trace on failure and the cast of the result. This is the hot path of a quick call.

#include "dial_parts.hpp"
#include "host/class_guard.hpp"
#include "host/py_versions.hpp"
#include "host/pycall.hpp"
#include "host/pyerrors.hpp"
#include "host/tcl_errors.hpp"
#include "interpreter_targets.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace nb = nanobind;

namespace tessel::dial {

/// The command word: the path joined with "::". A one-part path of exact `str` is its part.
PyObject* command_word(PyObject* self) {
    PyObject* only_name = reinterpret_cast<CodeObject*>(self)->only_name;
    if (only_name && PyUnicode_CheckExact(only_name)) return Py_NewRef(only_name);
    PyObject* cmd = command_path(self);
    if (!cmd) return nullptr;
    if (PyList_CheckExact(cmd) && PyList_GET_SIZE(cmd) == 1 &&
        PyUnicode_CheckExact(PyList_GET_ITEM(cmd, 0)))
        return Py_NewRef(PyList_GET_ITEM(cmd, 0));
    return PyUnicode_Join(names().separator.ptr(), cmd);
}

namespace {

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
    if (nargs + options > 0 && !(scriptify = module_scriptify())) return nullptr;
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
/// trace of the interpreter, with the host's error suppressed, and `errorcode`/`errorinfo` as
/// host `tk` has them. Errors that are not the host's TclError pass unchanged. Always
/// returns null.
PyObject* raise_error_info(PyObject* interp, PyObject* tk) {
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
    Interruption stop = take_interruption(tk);
    if (stop.unwinding) { // (as it is: the interpreter can tell nothing more yet)
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
    raise_in_place_of(std::move(exc), std::move(host_error), tk, info);
    if (stop.raised.is_valid()) raise_instead(stop.raised);
    return nullptr;
}

// ---- command objects ----
//
// Tcl finds a command faster through a Tcl object that has resolved the name once than
// through the name's text: the object keeps the command and resolves the name again by
// itself whenever commands or namespaces change. Each interpreter keeps such objects, made on
// the first call of each command word, in its `_command_objects`: a pair of the host object
// they were made in and a dict of word to object. They are handed only to that host, while it
// is of the host's own type with the type's own `call`; anything else gets the text. They are
// released with the interpreter, on its own thread (interpreter.cpp's orphaned hosts).

constexpr Py_ssize_t kMaxCommandObjects = 256; // distinct words kept; more start it afresh

/// The host's object for `word`: a Tcl object of `tk`'s interpreter that has looked the name
/// up (Tcl answers with the very object it resolved), or the word itself when that fails.
nb::object make_command_object(PyObject* tk, PyObject* word) {
    const Names& n = names();
    PyObject* args[] = {tk, n.apply.ptr(), n.resolve_lambda.ptr(), word};
    PyObject* made = PyObject_VectorcallMethod(n.call.ptr(), args, 4, nullptr);
    if (made && Py_TYPE(made) == n.host_object_type) return nb::steal(made);
    if (made) {
        Py_DECREF(made); // (the host hands out text, not objects)
    } else {
        // a Tcl that cannot resolve names this way still runs the word's text
        if (!PyErr_ExceptionMatches(n.host_error.ptr())) throw nb::python_error();
        PyErr_Clear();
    }
    return nb::borrow(word);
}

/// True when `tk` is a host object of the host's own type, which has its own `call`.
bool own_host(PyObject* tk) {
    const Names& n = names();
    static ClassGuard guard; // guarded by the GIL
    return Py_TYPE(tk) == n.host_type &&
           guard.check(n.host_type, [&] { return class_reads(n.host_type, n.call, n.host_call); });
}

/// The cache of `interp` for host `tk`, made when missing; null (no error) when `tk` is not
/// the host's own or the instance has no dict.
PyObject* command_cache(PyObject* interp, PyObject* tk) {
    const Names& n = names();
    if (!own_host(tk)) return nullptr;
    nb::object dict = instance_dict(interp);
    if (!dict.is_valid() || !PyDict_CheckExact(dict.ptr())) return nullptr;
    PyObject* pair = PyDict_GetItemWithError(dict.ptr(), n.command_objects.ptr());
    if (pair && PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2 &&
        PyTuple_GET_ITEM(pair, 0) == tk && PyDict_CheckExact(PyTuple_GET_ITEM(pair, 1)))
        return PyTuple_GET_ITEM(pair, 1);
    if (!pair && PyErr_Occurred()) throw nb::python_error();
    nb::object fresh = check(PyDict_New());
    nb::object made = check(PyTuple_Pack(2, tk, fresh.ptr()));
    if (PyDict_SetItem(dict.ptr(), n.command_objects.ptr(), made.ptr()) < 0)
        throw nb::python_error();
    return fresh.ptr(); // held by the instance dict, which the caller's interpreter holds
}

/// The host's object for the command word `word` from `cache`, made when missing (`*made`).
nb::object command_object(PyObject* cache, PyObject* tk, PyObject* word, bool* made) {
    PyObject* found = PyDict_GetItemWithError(cache, word);
    *made = !found;
    if (found) return nb::borrow(found);
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object held = nb::borrow(cache); // making it runs Tcl, which may run user code
    nb::object object = make_command_object(tk, word);
    if (PyDict_GET_SIZE(cache) >= kMaxCommandObjects) PyDict_Clear(cache);
    if (PyDict_SetItem(cache, word, object.ptr()) < 0) throw nb::python_error();
    return object;
}

constexpr Py_ssize_t kMaxDirectWords = 16; ///< calls with more words go as one tuple

/// `tk.call(*words)`. The host's own object is called through its type's `call` with the
/// words as arguments and the command object for the first; anything else as attribute
/// lookup finds `call`, with the words as one tuple. New reference, or null with the error set.
PyObject* call_host(PyObject* interp, PyObject* tk, PyObject* words) {
    const Names& n = names();
    Py_ssize_t count = PyList_CheckExact(words) ? PyList_GET_SIZE(words) : 0;
    if (count > 0 && count <= kMaxDirectWords && PyUnicode_CheckExact(PyList_GET_ITEM(words, 0))) {
        nb::object cache = nb::borrow(command_cache(interp, tk));
        nb::object word = nb::borrow(PyList_GET_ITEM(words, 0));
        if (cache.is_valid()) {
            bool made = false;
            nb::object command = command_object(cache.ptr(), tk, word.ptr(), &made);
            // Making it may have run user code that changed the words or the host type. From
            // here to the call none runs: the words are read as they stand now.
            count = PyList_GET_SIZE(words);
            if (count > 0 && count <= kMaxDirectWords && PyList_GET_ITEM(words, 0) == word.ptr() &&
                (!made || own_host(tk))) {
                std::array<PyObject*, kMaxDirectWords + 1> stack;
                stack[0] = tk;
                stack[1] = command.ptr();
                for (Py_ssize_t i = 1; i < count; ++i)
                    stack[i + 1] = PyList_GET_ITEM(words, i);
                return PyObject_Vectorcall(n.host_call.ptr(), stack.data(), size_t(count) + 1,
                                           nullptr);
            }
        }
    }
    nb::object word_tuple = check(PySequence_Tuple(words));
    PyObject* call_args[] = {tk, word_tuple.ptr()};
    return PyObject_VectorcallMethod(n.call.ptr(), call_args, 2, nullptr);
}

} // namespace

/// Runs the words of a call in `interp`: recorded in its history, one host call, the result
/// cast unless `cast` (borrowed, or null) is false.
nb::object run_code(nb::handle words, PyObject* cast, nb::object interp) {
    const Names& n = names();
    static InterpreterTargets targets({n.history.ptr(), n.tk.ptr(), n.cast_any.ptr(),
                                       n.getattribute.ptr()}); // guarded by the GIL
    nb::object history = targets.attribute(interp.ptr(), n.history.ptr());
    call_method(history, n.append, {words});
    // (read after the record, which may have run code that changed the interpreter)
    nb::object tk = targets.attribute(interp.ptr(), n.tk.ptr());
    nb::object result = nb::steal(call_host(interp.ptr(), tk.ptr(), words.ptr()));
    if (!result.is_valid()) {
        raise_error_info(interp.ptr(), tk.ptr());
        throw nb::python_error();
    }
    if (cast && !truth(cast)) return result;
    return check(targets.cast_any(interp.ptr(), result.ptr()));
}

PyObject* code_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* cast = nullptr;
    nb::object words = nb::steal(call_words(self, args, nargs, kwnames, &cast));
    if (!words.is_valid()) return nullptr;
    PyObject* tcl = reinterpret_cast<CodeObject*>(self)->tcl;
    if (!tcl) return missing_attribute(self, "tcl");
    return guarded([&] { return run_code(words, cast, proxy_target(tcl)); });
}

} // namespace tessel::dial
