// host_eval.cpp — the host's eval with the result whole: before 3.13, through a command of
// ours that the host evaluates, so that Python callbacks still run inside the host's eval.

#include "host/host_eval.hpp"
#include "host/internal.hpp"
#include "host/py_versions.hpp"

#include <tcl.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

namespace tessel {
namespace {

/// The command the host evaluates. `::tcl` is Tcl's own namespace; no user command is there.
constexpr const char* kCommand = "::tcl::tessel_eval";
/// Per interpreter: its EvalState.
constexpr const char* kStateKey = "tessel.tcl eval state";

/// A script handed to the command, with what ending it needs.
struct PendingScript {
    const char* bytes;
    Py_ssize_t size;
    bool outermost; // no evaluation was under way: the host's `call` runs the command
    bool taken;
};

/*
 * What one interpreter keeps for the command: the script pending for its next run, and
 * whether the command is there. The interpreter's data and each command made hold it; the
 * last of them to go frees it (Tcl deletes commands and data in either order). Each module
 * has its own copy of this code; whichever made the state serves them all.
 */
struct EvalState {
    PendingScript* pending = nullptr;
    bool command_there = false;
    int holders = 1;
};

void release_state(ClientData data) {
    auto* state = static_cast<EvalState*>(data);
    if (--state->holders == 0) std::unique_ptr<EvalState> last(state);
}

void interp_deleted(ClientData data, Tcl_Interp*) {
    release_state(data);
}

void command_deleted(ClientData data) {
    static_cast<EvalState*>(data)->command_there = false;
    release_state(data);
}

/// The interpreter's result with every raw zero byte written as Tcl writes NUL (C0 80), so a
/// reader of C strings takes it whole. (A raw zero comes in from text the host wrote.)
void write_nul_as_tcl_does(Tcl_Interp* interp) {
    int size = 0;
    const char* text = Tcl_GetStringFromObj(Tcl_GetObjResult(interp), &size);
    if (!std::memchr(text, 0, size)) return;
    std::string whole;
    whole.reserve(size + 8);
    for (const char* c = text; c != text + size; ++c) {
        if (*c)
            whole += *c;
        else
            whole += "\xC0\x80";
    }
    Tcl_SetObjResult(interp, Tcl_NewStringObj(whole.data(), int(whole.size())));
}

/// The interpreter's result as plain text, which the host's `call` hands back as a str (it
/// would make a number, a tuple or a Tcl object of a result of another type). The host reads
/// it with its length, NUL and all.
void result_as_text(Tcl_Interp* interp) {
    Tcl_Obj* result = Tcl_GetObjResult(interp);
    if (!result->typePtr) return;
    int size = 0;
    const char* text = Tcl_GetStringFromObj(result, &size);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text, size));
}

/// The line Tcl logs for the command that failed, naming the whole script: its first 150
/// bytes, not cutting a character.
Tcl_Obj* executing_line(const PendingScript* pending) {
    constexpr int kLimit = 150;
    int shown = int(pending->size);
    if (shown > kLimit) {
        shown = kLimit;
        while (shown > 0 && (pending->bytes[shown] & 0xC0) == 0x80)
            --shown;
    }
    return Tcl_ObjPrintf("\n    while executing\n\"%.*s%s\"", shown, pending->bytes,
                         shown < pending->size ? "..." : "");
}

/// The error Tcl makes of a `break`, `continue` or other code that ends a script evaluated
/// outside any command.
int refuse_code(Tcl_Interp* interp, int code, const PendingScript* pending) {
    Tcl_ResetResult(interp);
    if (code == TCL_BREAK)
        Tcl_SetObjResult(interp, Tcl_NewStringObj("invoked \"break\" outside of a loop", -1));
    else if (code == TCL_CONTINUE)
        Tcl_SetObjResult(interp, Tcl_NewStringObj("invoked \"continue\" outside of a loop", -1));
    else
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("command returned bad code: %d", code));
    std::string number = std::to_string(code);
    Tcl_SetErrorCode(interp, "TCL", "UNEXPECTED_RESULT_CODE", number.c_str(), nullptr);
    Tcl_AppendObjToErrorInfo(interp, executing_line(pending));
    return TCL_ERROR;
}

/// The option `key` of return options (borrowed), or null.
Tcl_Obj* option(Tcl_Obj* options, const char* key) {
    Tcl_Obj* name = Tcl_NewStringObj(key, -1);
    Tcl_IncrRefCount(name);
    Tcl_Obj* value = nullptr;
    if (Tcl_DictObjGet(nullptr, options, name, &value) != TCL_OK) value = nullptr;
    Tcl_DecrRefCount(name);
    return value;
}

/// The option `key` of return options as an integer, or `absent`.
int option_number(Tcl_Obj* options, const char* key, int absent) {
    Tcl_Obj* value = option(options, key);
    int number = absent;
    if (!value || Tcl_GetIntFromObj(nullptr, value, &number) != TCL_OK) return absent;
    return number;
}

/*
 * Where the script was evaluated outside any command, the host's eval ends it as Tcl ends a
 * script at level 0: a `return` gives its value or its code, and a code that only a loop or a
 * procedure takes is an error. The host's eval does that too when it gets back this command's
 * code, but it would name this command in errorInfo; so every ending that is an error is made
 * here, naming the script. A plain `return` is left to the host's eval.
 */
int end_outermost(Tcl_Interp* interp, int code, const PendingScript* pending) {
    if (code == TCL_OK || code == TCL_ERROR) return code;
    if (code != TCL_RETURN) return refuse_code(interp, code, pending);
    Tcl_Obj* options = Tcl_GetReturnOptions(interp, code);
    Tcl_IncrRefCount(options);
    int returned = option_number(options, "-level", 1) == 1
                       ? option_number(options, "-code", TCL_OK)
                       : TCL_RETURN;
    if (returned == TCL_ERROR) {
        bool logged = option(options, "-errorinfo") != nullptr;
        Tcl_Obj* at_this_level = Tcl_DuplicateObj(options);
        Tcl_IncrRefCount(at_this_level);
        Tcl_Obj* level = Tcl_NewStringObj("-level", -1);
        Tcl_IncrRefCount(level);
        Tcl_DictObjPut(nullptr, at_this_level, level, Tcl_NewIntObj(0));
        Tcl_DecrRefCount(level);
        code = Tcl_SetReturnOptions(interp, at_this_level);
        Tcl_DecrRefCount(at_this_level);
        if (!logged) Tcl_AppendObjToErrorInfo(interp, executing_line(pending));
    } else if (returned != TCL_OK) {
        code = refuse_code(interp, returned, pending);
    }
    Tcl_DecrRefCount(options);
    return code;
}

/// Runs with the host's eval under way (no Python lock held; Python callbacks run as they do
/// in the host's own eval). It takes the pending script first, so that a script evaluated by
/// a callback inside it has its own turn.
int evaluate_pending(ClientData data, Tcl_Interp* interp, int, Tcl_Obj* const*) {
    auto* state = static_cast<EvalState*>(data);
    PendingScript* pending = state->pending;
    if (!pending) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("no script is pending", -1));
        return TCL_ERROR;
    }
    state->pending = nullptr;
    pending->taken = true;
    int code = Tcl_EvalEx(interp, pending->bytes, int(pending->size), 0);
    if (pending->outermost) {
        code = end_outermost(interp, code, pending);
        if (code == TCL_OK) result_as_text(interp);
    } else {
        write_nul_as_tcl_does(interp);
    }
    if (code == TCL_ERROR) {
        // Setting the error's own options again marks it as logged, so that this command's
        // line is not added to errorInfo: the trace reads as the host's eval would have it.
        Tcl_Obj* options = Tcl_GetReturnOptions(interp, code);
        Tcl_IncrRefCount(options);
        code = Tcl_SetReturnOptions(interp, options);
        Tcl_DecrRefCount(options);
    }
    return code;
}

/// The interpreter's state, made when missing.
EvalState* state_of(Tcl_Interp* interp) {
    auto* state = static_cast<EvalState*>(Tcl_GetAssocData(interp, kStateKey, nullptr));
    if (state) return state;
    auto made = std::make_unique<EvalState>(); // (given to the interpreter's data)
    Tcl_SetAssocData(interp, kStateKey, &interp_deleted, made.get());
    return made.release();
}

/// Makes the command (again, after a script deleted or replaced it).
void make_command(Tcl_Interp* interp, EvalState* state) {
    ++state->holders;
    state->command_there = true;
    Tcl_CreateObjCommand(interp, kCommand, &evaluate_pending, state, &command_deleted);
}

/*
 * The host object evaluated in last, its interpreter, the interpreter's state and the thread
 * that owns the interpreter, so that a run of evaluations asks the host for its interpreter
 * once. It is used only by that thread, and forgotten when the interpreter is deleted (its
 * data is deleted before the interpreter is freed, in whatever thread deletes it: hence the
 * lock); and it is not used once the interpreter is marked deleted, as its host object does
 * when it goes (another may then come to live at its address).
 */
class LastHost {
  public:
    struct Entry {
        PyObject* app = nullptr; ///< compared only
        Tcl_Interp* interp = nullptr;
        EvalState* state = nullptr;
        Tcl_ThreadId thread = nullptr;
    };

    /// The entry, when it is for `app` and this thread and its interpreter is not deleted.
    bool find(PyObject* app, Entry* found) {
        std::lock_guard<std::mutex> hold(lock_);
        if (entry_.app != app || entry_.thread != Tcl_GetCurrentThread() ||
            Tcl_InterpDeleted(entry_.interp))
            return false;
        *found = entry_;
        return true;
    }

    void remember(const Entry& entry) {
        std::lock_guard<std::mutex> hold(lock_);
        entry_ = entry;
    }

    void forget(Tcl_Interp* interp) {
        std::lock_guard<std::mutex> hold(lock_);
        if (entry_.interp == interp) entry_ = {};
    }

  private:
    std::mutex lock_;
    Entry entry_;
};

// (nothing to destroy at exit, when interpreters may still be deleted)
static_assert(std::is_trivially_destructible_v<LastHost>);

LastHost& last_host() {
    static LastHost last; // one per module: each registers its own forgetting
    return last;
}

/// Per module: the key of the interpreter data whose deletion makes `last_host` forget it
/// (Tcl copies the key; this one, too, has nothing to destroy at exit).
const char* forget_key() {
    static char key[64];
    if (!key[0])
        std::snprintf(key, sizeof key, "tessel.tcl last host %p", static_cast<void*>(&last_host()));
    return key;
}

void forget_interp(ClientData, Tcl_Interp* interp) {
    last_host().forget(interp);
}

/// The Tcl interpreter of the host object `app` when this thread may use it; null otherwise,
/// with no error set.
Tcl_Interp* usable_interp(PyObject* app) {
    static PyObject* interpaddr = PyUnicode_InternFromString("interpaddr");
    PyObject* address = PyObject_CallMethodNoArgs(app, interpaddr);
    if (!address) {
        PyErr_Clear();
        return nullptr;
    }
    auto* interp = static_cast<Tcl_Interp*>(PyLong_AsVoidPtr(address));
    Py_DECREF(address);
    if (!interp) {
        PyErr_Clear();
        return nullptr;
    }
    if (Tcl_InterpDeleted(interp)) return nullptr;
    return owner_thread(interp) == Tcl_GetCurrentThread() ? interp : nullptr;
}

/*
 * The host runs the command with `script` pending. With no evaluation under way it is the
 * host's `call`, which takes the result as an object, whole, and costs less than its `eval`;
 * it runs the command at the global level, which is then the current level. Inside an
 * evaluation (a Python callback's) only the host's `eval` runs it at the current level. Null
 * with the host's error, or with no error set when the command did not run (it was renamed
 * away): nothing was evaluated then.
 */
PyObject* eval_through_command(PyObject* app, Tcl_Interp* interp, EvalState* state,
                               const char* bytes, Py_ssize_t size) {
    static PyObject* eval = PyUnicode_InternFromString("eval");
    static PyObject* call = PyUnicode_InternFromString("call");
    static PyObject* command = PyUnicode_InternFromString(kCommand);
    PendingScript pending{bytes, size, !Tcl_InterpActive(interp), false};
    state->pending = &pending;
    PyObject* args[] = {app, command};
    PyObject* result = PyObject_VectorcallMethod(pending.outermost ? call : eval, args, 2, nullptr);
    state->pending = nullptr;
    if (pending.taken) return result;
    Py_XDECREF(result);
    PyErr_Clear();
    return nullptr;
}

} // namespace

PyObject* host_eval(PyObject* app, PyObject* script) {
    static PyObject* eval = PyUnicode_InternFromString("eval");
    if constexpr (kHostEvalCutsAtNul) {
        static PyObject* host_type = [] {
            PyObject* host = PyImport_ImportModule("_tkinter");
            PyObject* type = host ? PyObject_GetAttrString(host, "TkappType") : nullptr;
            Py_XDECREF(host);
            if (!type) PyErr_Clear();
            return type; // kept for the life of the process
        }();
        Py_ssize_t size = 0;
        const char* bytes = nullptr;
        Tcl_Interp* interp = nullptr;
        if (host_type && Py_IS_TYPE(app, reinterpret_cast<PyTypeObject*>(host_type)) &&
            PyUnicode_Check(script)) {
            bytes = PyUnicode_AsUTF8AndSize(script, &size);
            if (!bytes) PyErr_Clear(); // (the host's eval says what is wrong with it)
            if (bytes && (std::memchr(bytes, 0, size) || size > INT_MAX)) bytes = nullptr;
        }
        LastHost::Entry last;
        if (bytes && last_host().find(app, &last)) {
            interp = last.interp;
        } else if (bytes && (interp = usable_interp(app))) {
            last = {app, interp, state_of(interp), Tcl_GetCurrentThread()};
            Tcl_SetAssocData(interp, forget_key(), &forget_interp, nullptr);
            last_host().remember(last);
        }
        EvalState* state = last.state;
        if (interp) {
            if (!state->command_there) make_command(interp, state);
            PyObject* result = eval_through_command(app, interp, state, bytes, size);
            if (result || PyErr_Occurred()) return result;
            make_command(interp, state); // renamed away: made again, and tried once more
            result = eval_through_command(app, interp, state, bytes, size);
            if (result || PyErr_Occurred()) return result;
            PyErr_SetString(PyExc_RuntimeError, "the script could not be evaluated");
            return nullptr;
        }
    }
    PyObject* args[] = {app, script};
    return PyObject_VectorcallMethod(eval, args, 2, nullptr);
}

} // namespace tessel
