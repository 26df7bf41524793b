// interruption.cpp — signals and interrupt() stop a running Tcl script: Python's signal handlers
// run at Tcl's safe points, and a handler's exception unwinds the script and reaches the caller.

/*
 * A Tcl script that loops never returns to Python, so Python's signal handlers cannot run:
 * Python runs them only between its own instructions. Tcl looks at asynchronous events at its
 * own safe points (after each command, every few bytecode instructions, while it waits for
 * events or sleeps), through asynchronous handlers (Tcl_AsyncCreate) that run on the thread
 * that made them.
 *
 * The way in: Python's C signal handler writes the signal's number to the "wakeup fd"
 * (signal.set_wakeup_fd). Ours is a pipe, read by a relay thread that passes every byte on to
 * the descriptor set before ours (asyncio's or the user's: nothing they expect is lost) and
 * marks the main thread's asynchronous handler. At Tcl's next safe point that handler runs
 * Python's pending signal handlers (PyErr_CheckSignals). A handler that returns lets the
 * script go on; one that raises (KeyboardInterrupt, a test timeout) has its exception kept and
 * the script unwound (Tcl_CancelEval with TCL_CANCEL_UNWIND: no `catch` stops it). A mark
 * that comes while no Tcl code runs finds no signal pending when Tcl next runs (Python has
 * run the handlers by then) and does nothing; a mark that finds no interpreter evaluating
 * leaves the handlers to Python.
 *
 * The kept exception reaches Python in one of two ways. The package's own calls (eval, dial,
 * TclCommand) ask for it on their error path (`_interruption`) and raise it in place of their
 * TclError, which becomes its context. For a call that Python made on the host directly, a
 * pending call (Py_AddPendingCall) raises it at Python's next instruction, as a signal would.
 *
 * Tcl forgets an unwound cancellation only when a command evaluated as a list returns to level
 * 0, not at the end of a script: until then every evaluation fails at once. Whoever takes the
 * interruption therefore settles the interpreter, once it has unwound to level 0, with an
 * empty command evaluated as a list, the interpreter's result and error state saved around it.
 *
 * `interrupt()` unwinds what an interpreter runs from any thread (Tcl_CancelEval is
 * thread-safe), and is settled the same way; no Python exception is kept, so the caller gets
 * the TclError "script interrupted".
 */

#include "internal.hpp"
#include "pyclass.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace tessel {
namespace {

constexpr const char* kInterruptedMessage = "script interrupted";

[[noreturn]] void raise_os_error() {
    PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

/// Blocks every signal in the calling thread while it lives.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

  private:
    sigset_t previous_;
};

int run_signal_handlers(ClientData, Tcl_Interp* interp, int code);

/*
 * The relay: made once, on the main thread, and stopped when Python exits (a thread left
 * running then would outlive the interpreter it serves). Its pipe stays open for the life of
 * the process: a byte that Python writes late goes into it, never into a descriptor closed
 * and reused meanwhile. Its thread blocks every signal; it only reads, writes and marks.
 * `forward` is the one value that changes: the wakeup fd set before ours.
 */
class Relay {
  public:
    Relay() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) raise_os_error();
        out_ = fds[0];
        in_ = fds[1];
        if (pipe2(fds, O_CLOEXEC) != 0) raise_os_error();
        stop_out_ = fds[0];
        stop_in_ = fds[1];
        handler_ = Tcl_AsyncCreate(run_signal_handlers, nullptr);
        SignalsBlocked blocked; // (the new thread inherits the mask)
        thread_ = std::thread(run, out_, stop_out_, handler_, &forward_);
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() { stop(); }

    /// Makes the pipe Python's wakeup fd, passing on to the one set before, unless it is
    /// already. Main thread only.
    void install() {
        if (!thread_.joinable()) return;
        int fd = set_wakeup_fd(in_);
        if (fd != in_) forward_.store(fd);
    }

    /// Ends the thread and gives Python's wakeup fd back to the one set before ours (one set
    /// after ours stays). Main thread only, while Python runs.
    void stop_watching() {
        if (!thread_.joinable()) return;
        int current = set_wakeup_fd(forward_.load());
        if (current != in_) set_wakeup_fd(current);
        stop();
    }

  private:
    static int set_wakeup_fd(int fd) {
        static nb::handle set = keep(nb::module_::import_("signal").attr("set_wakeup_fd"));
        return nb::cast<int>(set(fd, nb::arg("warn_on_full_buffer") = false));
    }

    void stop() {
        if (!thread_.joinable()) return;
        close(stop_in_); // the thread sees its stop pipe end
        thread_.join();
        close(stop_out_);
    }

    static void run(int signals, int stop, Tcl_AsyncHandler handler, std::atomic<int>* forward) {
        pollfd watched[] = {{signals, POLLIN, 0}, {stop, POLLIN, 0}};
        char bytes[64];
        for (;;) {
            if (poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (watched[1].revents) return;
            ssize_t count = read(signals, bytes, sizeof bytes);
            if (count <= 0) continue;
            int fd = forward->load();
            if (fd >= 0) [[maybe_unused]]
                ssize_t written = write(fd, bytes, static_cast<size_t>(count));
            Tcl_AsyncMark(handler);
        }
    }

    int out_ = -1, in_ = -1, stop_out_ = -1, stop_in_ = -1;
    Tcl_AsyncHandler handler_ = nullptr;
    std::atomic<int> forward_{-1};
    std::thread thread_;
};

/*
 * The interpreters of the main thread that signals may unwind: Tcl runs asynchronous handlers
 * with no interpreter while it waits for events (`vwait`, `update`), so the handler looks
 * here for the ones evaluating. An interpreter leaves the list when Tcl deletes it, on
 * whatever thread and with or without the GIL: hence the mutex.
 */
class Watched {
  public:
    void add(Tcl_Interp* tcl) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Tcl_Interp* each : interps_)
            if (each == tcl) return;
        interps_.push_back(tcl);
        Tcl_CallWhenDeleted(tcl, forget, this);
    }
    /// Those evaluating now (call on the main thread).
    std::vector<Tcl_Interp*> active() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Tcl_Interp*> found;
        for (Tcl_Interp* each : interps_)
            if (!Tcl_InterpDeleted(each) && Tcl_InterpActive(each)) found.push_back(each);
        return found;
    }

  private:
    static void forget(ClientData self, Tcl_Interp* tcl) {
        Watched& watched = *static_cast<Watched*>(self);
        std::lock_guard<std::mutex> lock(watched.mutex_);
        std::erase(watched.interps_, tcl);
    }

    std::mutex mutex_;
    std::vector<Tcl_Interp*> interps_;
};

Watched& watched() {
    static Watched interps;
    return interps;
}

bool on_main_thread() {
    static nb::handle threading = keep(nb::module_::import_("threading"));
    return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

/// Routes Python's signals to Tcl's safe points while Tcl runs on the main thread, from now
/// on. Does nothing on other threads (Python runs signal handlers on the main thread only).
void watch_signals(nb::handle interp) {
    if (!on_main_thread()) return;
    static Relay& relay = []() -> Relay& { // guarded by the GIL
        static Relay made;
        nb::module_::import_("atexit").attr("register")(
            nb::cpp_function([] { made.stop_watching(); }));
        return made;
    }();
    relay.install();
    watched().add(owned_interp(interp));
}

// ---- interruptions ----
//
// Each unwound interpreter has an entry in tessel.tcl.internal._INTERRUPTED until it is
// settled: a list [address, owner thread, exception or None]. The interpreter is preserved
// (Tcl_Preserve) while it has one. Guarded by the GIL.

enum Field { kAddress, kOwner, kRaised };

nb::list& interrupted() {
    static nb::handle list = keep(nb::module_::import_("tessel.tcl.internal").attr("_INTERRUPTED"));
    return reinterpret_cast<nb::list&>(list);
}

Tcl_Interp* address_of(nb::handle entry) {
    return reinterpret_cast<Tcl_Interp*>(PyLong_AsVoidPtr(PyList_GET_ITEM(entry.ptr(), kAddress)));
}

nb::handle entry_of(Tcl_Interp* tcl) {
    for (nb::handle entry : interrupted())
        if (address_of(entry) == tcl) return entry;
    return nb::handle();
}

/// The owner of `tcl`: the registered thread, else the calling one.
Tcl_ThreadId owner_of(Tcl_Interp* tcl) {
    Tcl_ThreadId owner = owner_thread(tcl);
    return owner ? owner : Tcl_GetCurrentThread();
}

/// Unwinds what `tcl` runs and gives it an entry (or `raised` to the entry it has without one).
void unwind(Tcl_Interp* tcl, nb::handle raised) {
    nb::handle entry = entry_of(tcl);
    if (entry.is_valid()) {
        if (!raised.is_none() && PyList_GET_ITEM(entry.ptr(), kRaised) == Py_None)
            PyList_SetItem(entry.ptr(), kRaised, Py_NewRef(raised.ptr()));
    } else {
        nb::object address = nb::steal(PyLong_FromVoidPtr(tcl));
        nb::object owner = nb::steal(PyLong_FromVoidPtr(owner_of(tcl)));
        if (!address.is_valid() || !owner.is_valid()) throw nb::python_error();
        nb::list item;
        item.append(address);
        item.append(owner);
        item.append(raised);
        interrupted().append(item);
        Tcl_Preserve(tcl);
    }
    // (Tcl takes the message object over)
    Tcl_CancelEval(tcl, Tcl_NewStringObj(kInterruptedMessage, -1), nullptr, TCL_CANCEL_UNWIND);
}

/// Lets Tcl forget the unwound cancellation of `tcl`, back at level 0 (see the top of this file).
void settle(Tcl_Interp* tcl) {
    if (Tcl_InterpDeleted(tcl)) return;
    Tcl_InterpState saved = Tcl_SaveInterpState(tcl, TCL_OK);
    Tcl_EvalObjv(tcl, 0, nullptr, TCL_EVAL_GLOBAL);
    Tcl_RestoreInterpState(tcl, saved);
}

/// What settling found: for the interpreter asked about, None when it had no entry, False
/// while it still unwinds, True when its entry held no exception, else the exception; and the
/// first exception of any entry settled.
struct Taken {
    nb::object answer = nb::none();
    nb::object raised;
};

/// Settles the entries of this thread's interpreters that have unwound to level 0, and ends
/// them. `tcl` is the interpreter asked about (or null).
Taken take(Tcl_Interp* tcl) {
    Taken taken;
    Tcl_ThreadId here = Tcl_GetCurrentThread();
    nb::list& list = interrupted();
    for (Py_ssize_t at = PyList_GET_SIZE(list.ptr()); at-- > 0;) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(list.ptr(), at));
        Tcl_Interp* each = address_of(entry);
        if (reinterpret_cast<Tcl_ThreadId>(
                PyLong_AsVoidPtr(PyList_GET_ITEM(entry.ptr(), kOwner))) != here)
            continue;
        if (!Tcl_InterpDeleted(each) && Tcl_InterpActive(each)) {
            if (each == tcl) taken.answer = nb::bool_(false);
            continue;
        }
        if (PySequence_DelItem(list.ptr(), at) < 0) throw nb::python_error();
        settle(each);
        Tcl_Release(each);
        nb::handle raised = PyList_GET_ITEM(entry.ptr(), kRaised);
        if (!raised.is_none()) taken.raised = nb::borrow(raised);
        if (each == tcl)
            taken.answer = raised.is_none() ? nb::object(nb::bool_(true)) : nb::borrow(raised);
    }
    return taken;
}

/// Python's pending call for host calls made directly: settles this thread's unwound
/// interpreters and raises the exception one of them kept, if any. (Python runs it between
/// its instructions: Tcl has returned.)
int deliver_pending(void*) {
    try {
        nb::object raised = take(nullptr).raised;
        if (raised.is_valid()) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
            return -1;
        }
    } catch (nb::python_error& error) {
        error.restore();
        return -1;
    } catch (const std::exception& error) { // (no C++ exception may leave: Python called this)
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return -1;
    }
    return 0;
}

/// The outermost interpreter of `tcl` (the one whose master has none).
Tcl_Interp* outermost(Tcl_Interp* tcl) {
    while (Tcl_Interp* master = Tcl_GetMaster(tcl))
        tcl = master;
    return tcl;
}

/// Runs on the main thread at Tcl's next safe point after a signal, `interp` evaluating (or
/// null while Tcl waits for events): runs Python's pending signal handlers when an interpreter
/// evaluates. When one raises, unwinds them all: `interp` and its masters, and the watched
/// interpreters evaluating; the outermost of each keeps the exception. Leaves the completion
/// code as it is.
int run_signal_handlers(ClientData, Tcl_Interp* interp, int code) {
    if (!Py_IsInitialized()) return code;
    std::vector<Tcl_Interp*> outer = watched().active();
    if (!interp && outer.empty()) return code; // (no script runs: the handlers wait for Python)
    PyGILState_STATE gil = PyGILState_Ensure();
    try {
        // (with an error pending, as when Tcl runs inside C++ code that cleans up after one,
        // the handlers wait for Python; a handler that evaluates Tcl leaves the interrupted
        // command's result as it was)
        Tcl_InterpState saved = interp ? Tcl_SaveInterpState(interp, TCL_OK) : nullptr;
        int checked = PyErr_Occurred() ? 0 : PyErr_CheckSignals();
        if (saved) Tcl_RestoreInterpState(interp, saved);
        if (checked < 0) {
            nb::python_error raised;
            if (interp) {
                Tcl_Interp* top = outermost(interp);
                for (Tcl_Interp* each = interp; each != top; each = Tcl_GetMaster(each))
                    unwind(each, nb::none());
                outer.push_back(top);
            }
            for (Tcl_Interp* each : outer)
                unwind(each, raised.value());
            if (Py_AddPendingCall(deliver_pending, nullptr) < 0) PyErr_Clear();
        }
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("while running signal handlers inside Tcl");
    } catch (...) {
        PyErr_Clear();
    }
    PyGILState_Release(gil);
    return code;
}

/// Unwinds what `interp` evaluates now, from any thread; False when it evaluates nothing.
bool interrupt(nb::handle interp) {
    Tcl_Interp* tcl = interp_of(interp);
    if (Tcl_InterpDeleted(tcl) || !Tcl_InterpActive(tcl)) return false;
    unwind(tcl, nb::none());
    return true;
}

} // namespace

void def_interruption(nb::module_& module) {
    module.attr("_INTERRUPTED") = nb::list();
    def_function(module, "_watch_signals", &watch_signals, nb::arg("interp").none(),
                 "From now on, a Python signal handler that raises while the interpreter "
                 "evaluates on the main thread unwinds its script.");
    def_function(
        module, "_interrupt", &interrupt, nb::arg("interp").none(),
        "Unwinds the script that the interpreter evaluates now (any thread); False when idle.");
    def_function(
        module, "_interruption",
        [](nb::handle interp) { return take(owned_interp(interp)).answer; },
        nb::arg("interp").none(),
        "After a call on the interpreter failed: None when it was not interrupted, False while "
        "it unwinds, True when it was interrupted, or the exception that interrupted it.");
}

} // namespace tessel
