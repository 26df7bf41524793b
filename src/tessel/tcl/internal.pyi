# Type information for tessel.tcl.internal: direct Tcl library access used by the casts.
from _tkinter import Tcl_Obj

from .interpreter import Interpreter

def GetListFromAny(value: str | Tcl_Obj | object) -> tuple[str, ...]:
    """The element strings of a Tcl list; TclError when the list is malformed."""

def register_owner_thread(interp: Interpreter) -> None: ...

class TclDLL:
    @staticmethod
    def Tcl_ResetResult(interp: Interpreter) -> None:
        """Resets the Tcl result of the interpreter."""
