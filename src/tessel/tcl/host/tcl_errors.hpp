// tcl_errors.hpp — a TclError carries what Tcl knew of the error: `errorcode` and `errorinfo`.
// Read from the host right after the failed call, before any other Tcl code can run.
#pragma once

#include "host/pycall.hpp"
#include "host/pyerrors.hpp"

#include <nanobind/nanobind.h>

namespace tessel {
namespace nb = nanobind;

/// The words of ::errorCode of `app`'s interpreter as a tuple of str; ("NONE",) when it
/// cannot be read. Never raises.
inline nb::object error_code_words(nb::handle app) {
    nb::object code = nb::steal(PyObject_CallMethod(app.ptr(), "globalgetvar", "s", "errorCode"));
    nb::object split = nb::steal(PyUnicode_FromString("splitlist"));
    PyObject* words = code.is_valid() && split.is_valid()
                          ? PyObject_CallMethodOneArg(app.ptr(), split.ptr(), code.ptr())
                          : nullptr;
    if (words && PyTuple_Check(words)) {
        // each word as text (the host hands out numbers and Tcl objects as they are)
        nb::object texts = nb::steal(PyTuple_New(PyTuple_GET_SIZE(words)));
        for (Py_ssize_t i = 0; texts.is_valid() && i < PyTuple_GET_SIZE(words); ++i) {
            PyObject* text = PyObject_Str(PyTuple_GET_ITEM(words, i));
            if (!text) {
                texts = nb::object();
                break;
            }
            PyTuple_SET_ITEM(texts.ptr(), i, text);
        }
        Py_DECREF(words);
        if (texts.is_valid() && PyTuple_GET_SIZE(texts.ptr()) > 0) return texts;
    } else {
        Py_XDECREF(words);
    }
    PyErr_Clear();
    return nb::make_tuple(nb::str("NONE"));
}

/// The exceptions of Python callbacks that failed inside Tcl, by the key that their Tcl error
/// code carries ({PYTHON <type> <key>}), until a TclError takes one as its cause (the newest
/// kept only: see remember_callback_error). A dict of tessel.tcl.internal; a failure raises.
inline nb::handle callback_errors() {
    static nb::handle errors = kept_module_attribute("tessel.tcl.internal", "_CALLBACK_ERRORS");
    return errors;
}

/// Keeps `exc` for the TclError that its failure will cause; the key to put in the error code.
/// Null (no error) when it cannot be kept.
inline nb::object remember_callback_error(PyObject* exc) {
    constexpr Py_ssize_t kKept = 16;    // errors that Tcl caught are never asked for
    static unsigned long long next = 0; // guarded by the GIL
    nb::handle errors = callback_errors();
    nb::object key = nb::steal(PyUnicode_FromFormat("%llu", ++next));
    if (!key.is_valid() || PyDict_SetItem(errors.ptr(), key.ptr(), exc) < 0) {
        PyErr_Clear();
        return nb::object();
    }
    while (PyDict_GET_SIZE(errors.ptr()) > kKept) {
        Py_ssize_t at = 0;
        PyObject *oldest, *value;
        if (!PyDict_Next(errors.ptr(), &at, &oldest, &value)) break;
        nb::object held = nb::borrow(oldest);
        if (PyDict_DelItem(errors.ptr(), held.ptr()) < 0) PyErr_Clear();
    }
    return key;
}

/// tessel.tcl.internal._interruption (import it at module init: see callback_errors).
inline nb::handle interruption_taker() {
    static nb::handle take = kept_module_attribute("tessel.tcl.internal", "_interruption");
    return take;
}

/// What stopped a failed call on host `app`: nothing, or a signal or interrupt() that unwound
/// the script (host/interruption.cpp). `unwinding` while Tcl still unwinds to level 0 (nothing
/// may be asked of the interpreter then); `raised` is the exception of the signal handler.
struct Interruption {
    bool unwinding = false;
    nb::object raised;
};

/// Takes the interruption of a call on `app` that failed, and lets the interpreter evaluate
/// again. Call with no error pending. Never raises.
inline Interruption take_interruption(nb::handle app) {
    Interruption found;
    PyObject* answer = nullptr;
    try {
        answer = PyObject_CallOneArg(interruption_taker().ptr(), app.ptr());
    } catch (nb::python_error&) {
    }
    if (!answer) {
        PyErr_Clear();
        return found;
    }
    nb::object taken = nb::steal(answer);
    found.unwinding = taken.is(Py_False);
    if (PyExceptionInstance_Check(answer)) found.raised = taken;
    return found;
}

/// Raises `raised` (a signal handler's exception) in place of the pending error, which
/// becomes its context.
inline void raise_instead(nb::handle raised) {
    nb::object replaced = take_error();
    PyObject* context = PyException_GetContext(raised.ptr()); // (raised once before: kept)
    if (replaced.is_valid() && !replaced.is(raised) && !context)
        PyException_SetContext(raised.ptr(), replaced.release().ptr());
    Py_XDECREF(context);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr()))),
                  Py_NewRef(raised.ptr()), PyException_GetTraceback(raised.ptr()));
}

/// tessel.tcl.tcl_frames.tcl_traceback (import it at module init: see callback_errors).
inline nb::handle tcl_traceback_maker() {
    static nb::handle make = kept_module_attribute("tessel.tcl.tcl_frames", "tcl_traceback");
    return make;
}

/// `traceback` (new reference, or null) followed by the entries of the Tcl levels that the
/// trace `info` of host `app` names, innermost last. Never raises: without them, `traceback`.
inline PyObject* with_tcl_levels(PyObject* traceback, nb::handle info, nb::handle app) {
    PyObject* levels = nullptr;
    try {
        levels = PyObject_CallFunctionObjArgs(tcl_traceback_maker().ptr(), info.ptr(), app.ptr(),
                                              nullptr);
    } catch (nb::python_error&) {
    }
    if (!levels || levels == Py_None) {
        Py_XDECREF(levels);
        PyErr_Clear();
        return traceback;
    }
    if (!traceback) return levels;
    nb::object last = nb::borrow(traceback); // append at the innermost end
    while (true) {
        nb::object next = nb::steal(PyObject_GetAttrString(last.ptr(), "tb_next"));
        if (!next.is_valid() || next.is_none()) break;
        last = next;
    }
    if (PyObject_SetAttrString(last.ptr(), "tb_next", levels) < 0) PyErr_Clear();
    Py_DECREF(levels);
    return traceback;
}

/// Sets `errorcode` (from `app`) and `errorinfo` (`info`, or ::errorInfo of `app` when
/// invalid) on the exception `exc`. When the error code names a failed Python callback, that
/// callback's exception becomes the cause of `exc`. Never raises; keeps no error pending.
inline void set_error_data(nb::handle exc, nb::handle app, nb::object info = nb::object()) {
    if (!info.is_valid()) {
        PyObject* text = PyObject_CallMethod(app.ptr(), "globalgetvar", "s", "errorInfo");
        PyObject* str = text ? PyObject_Str(text) : nullptr;
        Py_XDECREF(text);
        info = str ? nb::steal(str) : nb::steal(PyObject_Str(exc.ptr()));
        PyErr_Clear();
    }
    nb::object code = error_code_words(app);
    if (PyTuple_GET_SIZE(code.ptr()) == 3 &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(code.ptr(), 0), "PYTHON") == 0) {
        try {
            PyObject* cause =
                PyDict_GetItemWithError(callback_errors().ptr(), PyTuple_GET_ITEM(code.ptr(), 2));
            if (cause) {
                PyException_SetCause(exc.ptr(), Py_NewRef(cause));
                PyDict_DelItem(callback_errors().ptr(), PyTuple_GET_ITEM(code.ptr(), 2));
            }
        } catch (nb::python_error& e) {
            e.discard_as_unraisable(__func__);
        }
        PyErr_Clear();
    }
    if (PyObject_SetAttrString(exc.ptr(), "errorcode", code.ptr()) < 0 ||
        (info.is_valid() && PyObject_SetAttrString(exc.ptr(), "errorinfo", info.ptr()) < 0))
        PyErr_Clear();
}

/// When the pending error is a `tcl_error` (the host's TclError) raised by a call on `app`,
/// gives it the error's data (set_error_data) and the Tcl levels as traceback entries. Any
/// other pending error passes unchanged.
inline void add_error_data(nb::handle app, nb::handle tcl_error) {
    if (!PyErr_ExceptionMatches(tcl_error.ptr())) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Interruption stop = take_interruption(app);
    if (value && !stop.unwinding) {
        set_error_data(value, app);
        nb::object info = nb::steal(PyObject_GetAttrString(value, "errorinfo"));
        if (info.is_valid()) traceback = with_tcl_levels(traceback, info, app);
        PyErr_Clear();
        if (traceback) PyException_SetTraceback(value, traceback);
    }
    PyErr_Restore(type, value, traceback);
    if (stop.raised.is_valid()) raise_instead(stop.raised);
}

/// Makes `exc`, a new TclError made from the trace `info` of host `app`, the pending error in
/// place of `host_error`, which stays its context, suppressed (as `raise exc from None`
/// would), with the error's data and the Tcl levels as traceback entries.
inline void raise_in_place_of(nb::object exc, nb::object host_error, nb::handle app,
                              nb::handle info) {
    PyException_SetContext(exc.ptr(), host_error.release().ptr());
    PyException_SetCause(exc.ptr(), nullptr);   // also suppresses the context
    set_error_data(exc, app, nb::borrow(info)); // (a failed Python callback becomes the cause)
    PyObject* levels = with_tcl_levels(nullptr, info, app);
    if (levels) PyException_SetTraceback(exc.ptr(), levels);
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
    PyErr_Restore(type, exc.release().ptr(), levels);
}

} // namespace tessel
