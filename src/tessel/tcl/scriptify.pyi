# Type information for tessel.tcl.scriptify: Python values as Tcl text and Tcl-ready values.
import sys as sys
from collections.abc import Iterable
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, Protocol, type_check_only

from _tkinter import Tcl_Obj

_tkTcl_Obj = Tcl_Obj
unicode = str

@type_check_only
class _Scriptify(Protocol):
    """scriptify(obj): the Tcl text of any value (lists quoted as Tcl list elements)."""

    def __call__(self, obj: object) -> str: ...
    def from_sequence(self, listObj: Iterable[object]) -> str: ...
    def from_mapping(self, obj: Mapping[Any, object]) -> str: ...

@type_check_only
class _Tclobj(Protocol):
    """tclobj(obj): a value the Tcl host takes as one word (containers become tuples)."""

    def __call__(self, obj: object) -> Any: ...
    def from_sequence(self, obj: Iterable[object]) -> tuple[Any, ...]: ...
    def from_mapping(self, obj: Mapping[Any, object]) -> tuple[Any, ...]: ...

def _Tcl_ScanElement(string: object) -> tuple[int, set[str]]: ...
def _Tcl_ConvertElement(src: object, flags: set[str]) -> str: ...
def _tcl_UpdateStringOfList(listObj: Iterable[object]) -> str: ...

_scriptify_from_sequence = _tcl_UpdateStringOfList

def _scriptify_from_mapping(obj: Mapping[Any, object]) -> str: ...

scriptify: _Scriptify

_sysmaxsize: int
_long_type: type[int]

def _tclobj_from_sequence(obj: Iterable[object]) -> tuple[Any, ...]: ...
def _tclobj_from_mapping(obj: Mapping[Any, object]) -> tuple[Any, ...]: ...

tclobj: _Tclobj
