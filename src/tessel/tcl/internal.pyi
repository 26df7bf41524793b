# Type information for tessel.tcl.internal: direct Tcl library access used by the casts, and
# signals and interrupt() for running Tcl scripts.
from _tkinter import Tcl_Obj

from .interpreter import Interpreter

def GetListFromAny(value: str | Tcl_Obj | object) -> tuple[str, ...]:
    """The element strings of a Tcl list; TclError when the list is malformed."""

def register_owner_thread(interp: Interpreter) -> None: ...

class TclDLL:
    @staticmethod
    def Tcl_ResetResult(interp: Interpreter) -> None:
        """Resets the Tcl result of the interpreter."""

def _watch_signals(interp: Interpreter) -> None:
    """From now on, a Python signal handler that raises while the interpreter evaluates on
    the main thread unwinds its script."""

def _interrupt(interp: Interpreter) -> bool:
    """Unwinds the script that the interpreter evaluates now (any thread); False when idle."""

def _interruption(interp: Interpreter) -> BaseException | bool | None:
    """After a call on the interpreter failed: None when it was not interrupted, False while
    it unwinds, True when it was interrupted, or the exception that interrupted it."""

_INTERRUPTED: list[list[object]]
