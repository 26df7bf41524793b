# Type information for tessel.tcl.internal: direct Tcl library access used by the casts, and
# Ctrl-C for running Tcl scripts (used by the command line).
from types import TracebackType

from _tkinter import Tcl_Obj
from typing_extensions import disjoint_base

from .interpreter import Interpreter

def GetListFromAny(value: str | Tcl_Obj | object) -> tuple[str, ...]:
    """The element strings of a Tcl list; TclError when the list is malformed."""

def register_owner_thread(interp: Interpreter) -> None: ...

class TclDLL:
    @staticmethod
    def Tcl_ResetResult(interp: Interpreter) -> None:
        """Resets the Tcl result of the interpreter."""

@disjoint_base
class interruptible:
    """While the block runs, Ctrl-C (SIGINT) unwinds the Tcl script that `interp` runs
    ("script interrupted", past any catch); the block then ends in KeyboardInterrupt."""

    def __init__(self, interp: Interpreter) -> None: ...
    def __enter__(self) -> interruptible: ...
    def __exit__(
        self,
        type: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    def cancel(self) -> None:
        """Unwinds the running script now; the block then ends without its error."""
