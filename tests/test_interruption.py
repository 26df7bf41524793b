"""Signals and interrupt() stop a running Tcl script, whichever way it was started; signal
handlers that return let it run on; the interpreter works afterwards."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

# The child sets a wakeup fd of its own first, as asyncio does: the signal bytes must still
# reach it. `run` is the case's body; the parent then signals it, or not.
CHILD = """
import os, signal, threading, time
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclCommand

theirs, wakeup = os.pipe()
os.set_blocking(theirs, False)
os.set_blocking(wakeup, False)
signal.set_wakeup_fd(wakeup)
interp = Interpreter()
interp.eval("proc spin {} {while 1 {}}")

def run():
{body}

outcome = []
print("ready", flush=True)
try:
    try:
        outcome.append(str(run()))
    except Exception as error:
        outcome.append(f"{type(error).__name__}({str(error).splitlines()[0]})")
        for _ in range(3):  # (Python raises what a signal handler raised by now)
            pass
except KeyboardInterrupt:
    outcome.append("KeyboardInterrupt")
try:
    forwarded = sorted(set(os.read(theirs, 100)))
except BlockingIOError:
    forwarded = []
print(outcome[-1], interp.eval("set a 1"), interp.tk.eval("set b 2"), forwarded, flush=True)
"""

SIGINT = signal.SIGINT
ALARM_COUNTED = """
    hits = []
    signal.signal(signal.SIGALRM, lambda *_: hits.append(time.monotonic()))
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    start = time.monotonic()
    interp.eval("set t [clock milliseconds]; while {[clock milliseconds] - $t < 600} {}")
    return len(hits) == 1 and hits[0] - start < 0.4  # ran while Tcl ran
"""
CALLBACK_SPINS = """
    interp.create_callback(lambda: interp.eval("spin"), "py")
    interp.eval("py")
"""
IN_PYTHON = """
    try:
        time.sleep(5)
    except KeyboardInterrupt:  # Python's, while Python ran: the next script runs
        pass
    return interp.eval("after 50; set c 3")
"""
THREAD_INTERRUPTS = """
    threading.Timer(0.3, interp.interrupt).start()
    try:
        interp.eval("spin")
    finally:
        assert interp.interrupt() is False  # (nothing runs)
"""

CASES = [
    # name, body of run(), signal (SIGINT: sent by the parent), what the call came to
    ("eval loop", 'interp.eval("while 1 {}")', SIGINT, "KeyboardInterrupt"),
    ("eval after", 'interp.eval("after 100000")', SIGINT, "KeyboardInterrupt"),
    ("eval vwait", 'interp.eval("vwait forever")', SIGINT, "KeyboardInterrupt"),
    ("catch", 'interp.eval("while 1 {catch {while 1 {}}}")', SIGINT, "KeyboardInterrupt"),
    ("dial", "interp.dial.spin()", SIGINT, "KeyboardInterrupt"),
    ("TclCommand", 'TclCommand("spin", tcl=interp)()', SIGINT, "KeyboardInterrupt"),
    ("callback", CALLBACK_SPINS, SIGINT, "KeyboardInterrupt"),
    # the host's own calls: its TclError, and at Python's next instruction KeyboardInterrupt
    ("host call", 'interp.call("vwait", "forever")', SIGINT, "KeyboardInterrupt"),
    ("host eval", 'interp.tk.eval("while 1 {}")', SIGINT, "KeyboardInterrupt"),
    ("in Python", IN_PYTHON, SIGINT, "3"),
    ("handler returns", ALARM_COUNTED, signal.SIGALRM, "True"),
    ("interrupt()", THREAD_INTERRUPTS, None, "TclError(script interrupted)"),
]


@pytest.mark.parametrize("body, sent, outcome", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_a_running_script_stops(body, sent, outcome):
    code = CHILD.replace("{body}", textwrap.indent(textwrap.dedent(body).strip(), "    "))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)
        if sent == SIGINT:
            child.send_signal(sent)
        signalled = time.monotonic()
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
    assert time.monotonic() - signalled < 5, "it did not stop in time"
    forwarded = [int(sent)] if sent is not None else []
    assert (out, err) == (f"{outcome} 1 2 {forwarded}\n", "")


TIMED_OUT = """
    import pytest

    @pytest.mark.timeout(1, method="signal")
    def test_hangs(tcl_global_interp):
        tcl_global_interp.eval("while 1 {}")

    def test_next(tcl_global_interp):
        assert tcl_global_interp.eval("set x 1") == "1"
"""


def test_a_test_timeout_ends_a_hanging_script(absolute_pythonpath, pytester):
    pytest.importorskip("pytest_timeout")
    pytester.makepyfile(TIMED_OUT)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(["*Timeout*"])
