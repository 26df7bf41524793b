# Type information for tessel.tcl.dial: Tcl procedures called as attribute chains.
import weakref as weakref
from tkinter import TclError as TclError
from typing import Any, NoReturn

from typing_extensions import disjoint_base

from .interpreter import Interpreter
from .scriptify import scriptify as scriptify

@disjoint_base
class Dial:
    """Calls Tcl commands as attribute chains: ``interp.dial.ns.proc(arg, opt=value)``."""

    tcl: Interpreter  # a weak proxy
    def __init__(self, tcl: Interpreter) -> None: ...
    def __getattr__(self, name: str, /) -> Dial_Code: ...
    def __call__(self, *args: object, **kwargs: object) -> NoReturn: ...

@disjoint_base
class Dial_Code:
    """One command path being collected; calling it runs the command."""

    tcl: Interpreter
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Interpreter) -> None: ...
    def __getattr__(self, name: str, /) -> Dial_Code: ...
    def __call__(self, *args: object, cast_: bool = True, **kwargs: object) -> Any: ...
