# Type information for tessel.tcl.array: the mapping that Tcl array casts return.
from typing import Any

from _tkinter import Tcl_Obj

class Array(dict[str, Any]):
    """Tcl array elements by index, in the order Tcl listed them (values are text unless an
    item cast changed them)."""

    @staticmethod
    def from_tcl(value: str | Tcl_Obj) -> Array: ...
