"""tessel.tcl: drive a Tcl interpreter (TclX loaded) from Python test scripts.

The package stands for the global interpreter: its public operations are module attributes
(``tessel.tcl.eval``, ``tessel.tcl.cast_list``, ``tessel.tcl.tk`` ...), so it is the default
interpreter of every handle made without one.
"""

try:
    import tkinter as _tkinter_check  # noqa: F401
except ImportError:
    raise ImportError(
        "tessel.tcl needs Python's tkinter and Tcl 8.6; install them, e.g. "
        "'apt-get install python3-tk tcl8.6'"
    ) from None

from tkinter import TclError as _TclError


def _tcl_error_in(exc):
    """The TclError behind an import failure (the extension reports it as its cause), or None."""
    while exc is not None and not isinstance(exc, _TclError):
        exc = exc.__cause__ or exc.__context__
    return exc


try:
    from .interpreter import _global_interpreter
except (ImportError, _TclError) as _exc:
    _cause = _tcl_error_in(_exc)
    if _cause is None or "Tclx" not in str(_cause):
        raise
    raise ImportError(
        "tessel.tcl needs the TclX extension in its Tcl (%s); install it, e.g. "
        "'apt-get install tclx8.4'" % _cause
    ) from None

from .host import tcl_library as _tcl_library  # noqa: E402

_tcl_library.release()  # every module that calls Tcl is bound to the host's library by now
del _tcl_library

for _name in _global_interpreter.__all__:
    globals()[_name] = getattr(_global_interpreter, _name)
del _name

from .scriptify import scriptify, tclobj  # noqa: E402  (the functions, not the module)
