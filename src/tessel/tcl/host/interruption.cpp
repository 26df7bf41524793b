// interruption.cpp — Ctrl-C for a running Tcl script: while an `interruptible` block runs,
// SIGINT unwinds the script its interpreter evaluates, and the block ends in KeyboardInterrupt.

/*
 * A Tcl script that loops never returns to Python, so Python's SIGINT handler cannot run. Tcl
 * looks at asynchronous events only at its own safe points (after each command, every few
 * bytecode instructions, while it waits for events): the way in is an asynchronous handler
 * (Tcl_AsyncCreate), which Tcl runs on the interpreter's thread at its next safe point, and
 * which asks for script cancellation (Tcl_CancelEval with TCL_CANCEL_UNWIND: no `catch` in the
 * script can stop it).
 *
 * Tcl_AsyncMark, which makes that handler ready, takes a mutex and wakes Tcl's notifier: not
 * safe in a signal handler, which may have interrupted the very thread that holds them. So the
 * signal handler only writes a byte to a pipe, and a relay thread reading the pipe marks the
 * handler.
 *
 * Tcl forgets an unwound cancellation only when a command evaluated as a list returns to level
 * 0 (as the host's `call` does), not at the end of a script (the host's `eval`): until then
 * every evaluation fails at once, reading ::errorInfo too, which then holds the trace of that
 * failure instead of the interrupted script's. The block's end therefore evaluates an empty
 * command through the host, with the interpreter's result and error state saved around it,
 * and says only "script interrupted".
 */

#include "internal.hpp"
#include "pyclass.hpp"

#include <atomic>
#include <memory>
#include <thread>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace tessel {
namespace {

constexpr const char* kInterruptedMessage = "script interrupted";

/// The write end of the signal pipe while a block routes SIGINT there, else -1. The one
/// mutable global of the package besides its cached imports: a signal handler has no other
/// way to find its pipe. Lock-free, hence safe to read in the handler.
std::atomic<int> sigint_pipe_in{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_sigint(int) {
    int saved_errno = errno;
    int fd = sigint_pipe_in.load();
    if (fd >= 0) {
        char byte = 'i';
        [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
    }
    errno = saved_errno;
}

[[noreturn]] void raise_os_error() {
    PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

/// The pipe from the SIGINT handler to the relay threads, made on first need and kept open
/// for the life of the process: a handler that runs late writes into it, never into a
/// descriptor closed and reused meanwhile. Neither end blocks.
struct SignalPipe {
    int out, in;
};

const SignalPipe& signal_pipe() {
    static const SignalPipe pipe = [] {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) raise_os_error();
        return SignalPipe{fds[0], fds[1]};
    }();
    return pipe;
}

/// A file descriptor, closed by its owner.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

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

/// A Tcl asynchronous handler, deleted with its owner on the thread that made it. (Tcl
/// aborts the process when another thread deletes it; there it is left, and since nothing
/// marks it any more, its procedure runs at most once more.)
class AsyncHandler {
  public:
    AsyncHandler(Tcl_AsyncProc* proc, ClientData data)
        : handler_(Tcl_AsyncCreate(proc, data)), thread_(Tcl_GetCurrentThread()) {}
    AsyncHandler(const AsyncHandler&) = delete;
    AsyncHandler& operator=(const AsyncHandler&) = delete;
    ~AsyncHandler() {
        if (Tcl_GetCurrentThread() == thread_) Tcl_AsyncDelete(handler_);
    }
    Tcl_AsyncHandler get() const { return handler_; }

  private:
    Tcl_AsyncHandler handler_;
    Tcl_ThreadId thread_;
};

/// A pipe made for one purpose, its ends closed with it.
struct Pipe {
    Fd out, in;
};

Pipe make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) raise_os_error();
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

/// A thread that turns each byte written to the signal pipe into Tcl_AsyncMark of `handler`,
/// and notes the interruption, until the relay is destroyed. Every signal is blocked in it.
class Relay {
  public:
    Relay(Tcl_AsyncHandler handler, std::atomic<bool>& interrupted) : stop_(make_pipe()) {
        SignalsBlocked blocked; // (the new thread inherits the mask)
        thread_ =
            std::thread(run, signal_pipe().out, stop_.out.get(), handler, std::ref(interrupted));
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() {
        stop_.in.reset(); // the thread sees its stop pipe end
        thread_.join();
    }

  private:
    static void run(int signals, int stop, Tcl_AsyncHandler handler,
                    std::atomic<bool>& interrupted) {
        pollfd watched[] = {{signals, POLLIN, 0}, {stop, POLLIN, 0}};
        for (;;) {
            if (poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (watched[1].revents) return;
            char byte;
            if (read(signals, &byte, 1) == 1) {
                interrupted = true;
                Tcl_AsyncMark(handler);
            }
        }
    }

    Pipe stop_;
    std::thread thread_;
};

/// Routes SIGINT to the signal pipe while it lives, and then gives SIGINT its handler back.
/// Inactive when another route is in place, or when SIGINT is ignored or left to its default
/// action (as the process was told: a background job ignores Ctrl-C).
class SigintRoute {
  public:
    SigintRoute() {
        struct sigaction current{};
        if (sigaction(SIGINT, nullptr, &current) != 0) return;
        if (!(current.sa_flags & SA_SIGINFO) &&
            (current.sa_handler == SIG_IGN || current.sa_handler == SIG_DFL))
            return;
        const SignalPipe& pipe = signal_pipe();
        int none = -1;
        if (!sigint_pipe_in.compare_exchange_strong(none, pipe.in)) return;
        char stale;
        while (read(pipe.out, &stale, 1) == 1) {
        }
        struct sigaction action{};
        action.sa_handler = on_sigint;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGINT, &action, &previous_) != 0) {
            sigint_pipe_in.store(-1);
            return;
        }
        active_ = true;
    }
    SigintRoute(const SigintRoute&) = delete;
    SigintRoute& operator=(const SigintRoute&) = delete;
    ~SigintRoute() {
        if (!active_) return;
        sigaction(SIGINT, &previous_, nullptr);
        sigint_pipe_in.store(-1);
    }
    bool active() const { return active_; }

  private:
    struct sigaction previous_{};
    bool active_ = false;
};

/// Runs on the interpreter's thread at Tcl's next safe point after a SIGINT: asks Tcl to
/// unwind the script that the interpreter (`data`) runs. Leaves the completion code as is.
int unwind_running_script(ClientData data, Tcl_Interp*, int code) {
    // (Tcl takes the message object over)
    Tcl_CancelEval(static_cast<Tcl_Interp*>(data), Tcl_NewStringObj(kInterruptedMessage, -1),
                   nullptr, TCL_CANCEL_UNWIND);
    return code;
}

/// What one block holds, undone in reverse order: the asynchronous handler (deleted last,
/// when nothing can mark it any more), the relay, and SIGINT's route to the pipe (given
/// back first).
class Session {
  public:
    Session(Tcl_Interp* tcl, std::atomic<bool>& interrupted)
        : handler_(unwind_running_script, tcl) {
        if (route_.active()) relay_ = std::make_unique<Relay>(handler_.get(), interrupted);
    }

  private:
    AsyncHandler handler_;
    std::unique_ptr<Relay> relay_;
    SigintRoute route_;
};

/// The interpreter's result and error state, saved while it lives and then restored.
class SavedInterpState {
  public:
    explicit SavedInterpState(Tcl_Interp* tcl)
        : tcl_(tcl), state_(Tcl_SaveInterpState(tcl, TCL_OK)) {}
    SavedInterpState(const SavedInterpState&) = delete;
    SavedInterpState& operator=(const SavedInterpState&) = delete;
    ~SavedInterpState() { Tcl_RestoreInterpState(tcl_, state_); }

  private:
    Tcl_Interp* tcl_;
    Tcl_InterpState state_;
};

/// The host application object of an interpreter (its `tk`), or the object itself.
nb::object host_app(nb::handle interp) {
    PyObject* tk = PyObject_GetAttrString(interp.ptr(), "tk");
    if (tk) return nb::steal(tk);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(interp);
}

[[noreturn]] void raise_runtime_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    throw nb::python_error();
}

/*
 * The context manager. Entering routes SIGINT to the relay (unless another block does, or
 * SIGINT is ignored or left to its default action); a SIGINT then unwinds the running script
 * with the error "script interrupted", and the block ends in KeyboardInterrupt("script
 * interrupted"), whose context is the exception the block raised, if any. `cancel()`, called from
 * Tcl code the block runs (a Python callback), unwinds the script too; the block then ends quietly,
 * the error of the unwinding dropped. Either way the interpreter is usable again after the block.
 * Every call comes from the thread that owns the interpreter.
 */
class Interruptible {
  public:
    explicit Interruptible(nb::handle interp) : interp_(nb::borrow(interp)) {
        owned_interp(interp); // (an interpreter, of this thread)
    }

    void enter() {
        Tcl_Interp* tcl = owned_interp(interp_);
        if (entered_) raise_runtime_error("interruptible block entered twice");
        interrupted_ = false;
        cancelled_ = false;
        tcl_ = tcl;
        session_ = std::make_unique<Session>(tcl, interrupted_);
        entered_ = true;
    }

    bool exit(nb::handle value) {
        if (!entered_) raise_runtime_error("interruptible block not entered");
        entered_ = false;
        session_.reset(); // (on any thread: SIGINT goes back to its handler whatever comes)
        if (interrupted_ || cancelled_) settle();
        if (interrupted_) {
            PyErr_SetString(PyExc_KeyboardInterrupt, kInterruptedMessage);
            throw nb::python_error();
        }
        return cancelled_ && !value.is_none();
    }

    void cancel() {
        owned_interp(interp_);
        if (!entered_) raise_runtime_error("cancel() outside the interruptible block");
        cancelled_ = true;
        Tcl_CancelEval(tcl_, nullptr, nullptr, TCL_CANCEL_UNWIND);
    }

  private:
    /// Lets Tcl forget an unwound cancellation (see the top of this file). Inside a running
    /// evaluation there is nothing to do: the unwinding goes on to level 0, where it ends.
    void settle() {
        Tcl_Interp* tcl = owned_interp(interp_);
        if (Tcl_InterpActive(tcl)) return;
        static nb::handle tcl_error = keep(nb::module_::import_("_tkinter").attr("TclError"));
        SavedInterpState saved(tcl);
        try {
            host_app(interp_).attr("call")();
        } catch (nb::python_error& e) {
            if (!e.matches(tcl_error)) throw;
        }
    }

    nb::object interp_;
    Tcl_Interp* tcl_ = nullptr;
    std::atomic<bool> interrupted_{false};
    bool cancelled_ = false;
    bool entered_ = false;
    std::unique_ptr<Session> session_;
};

} // namespace

void def_interruptible(nb::module_& module) {
    nb::class_<Interruptible>(
        module, "interruptible",
        "Context manager: while its block runs, Ctrl-C (SIGINT) unwinds the Tcl script that "
        "`interp` runs, and the block ends in KeyboardInterrupt.")
        .def(nb::init<nb::handle>(), nb::arg("interp").none())
        .def("__enter__",
             [](nb::handle self) {
                 nb::cast<Interruptible&>(self).enter();
                 return nb::borrow(self);
             })
        .def(
            "__exit__",
            [](Interruptible& self, nb::handle, nb::handle value, nb::handle) {
                return self.exit(value);
            },
            nb::arg("type").none(), nb::arg("value").none(), nb::arg("traceback").none())
        .def("cancel", &Interruptible::cancel,
             "Unwinds the running script now; the block then ends without its error.");
}

} // namespace tessel
