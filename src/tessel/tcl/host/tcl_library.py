"""The host's Tcl library, as the C++ modules reach it: through an interpreter of the host's.

A module that calls Tcl binds its stubs at import to the library of an interpreter that
`_tkinter` makes, so that it runs the very Tcl the host's interpreters run. The package's
import makes one such interpreter for all its modules and lets it go once they are bound.
"""

import _tkinter

_interp = None  # the host's interpreter while modules bind to its library


def interpaddr():
    """The address of an interpreter of the host's, made on first need: a bare one, as
    `tkinter.Tcl()` makes but without reading the user's Tk profile files."""
    global _interp
    if _interp is None:
        _interp = _tkinter.create(None, "tessel", "Tk", False, True, False, False, None)
    return _interp.interpaddr()


def release():
    """Lets the interpreter go; the modules' stubs stay bound to its library."""
    global _interp
    _interp = None
