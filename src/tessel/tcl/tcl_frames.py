"""Tcl levels as Python traceback frames: a TclError's traceback ends with one frame per level
of Tcl's error trace, so that `traceback` and pytest show the Tcl source like Python's own.

Each level that the trace names ("(procedure "p" line 3)", "(file "run.tcl" line 2)",
"("eval" body line 1)", ...) becomes a frame of a small code object whose file name and
function name point at that source; procedure bodies are registered with `linecache` under
"<tcl proc ::name>" (from `info body`, read right after the error), files are read as files.
"""

import linecache
import re
import types

# "    (procedure "name" line 3)", "    (file "x.tcl" line 2)", "    ("eval" body line 1)", ...
_LEVEL = re.compile(r'^    \((.*) line (\d+)\)$')
_PROCEDURE = re.compile(r'^procedure "(.*)"$')
_FILE = re.compile(r'^file "(.*)"$')


class _FrameMaker(Exception):
    """Raised inside a frame made for a Tcl level, only to take that frame."""


def _frame(filename, name):
    """A frame whose code has this file name and function name."""
    code = compile("raise _FrameMaker", filename, "exec").replace(co_name=name)
    try:
        exec(code, {"_FrameMaker": _FrameMaker, "__name__": "tcl"})
    except _FrameMaker as made:
        return made.__traceback__.tb_next.tb_frame
    raise AssertionError("unreachable")


# The queries below never raise a Tcl error: one would overwrite ::errorInfo and ::errorCode
# of the error being described.


def _qualified_procedure(tk, name, namespace):
    """The fully qualified name of procedure `name` as called from `namespace`, or None."""
    if name.startswith("::"):
        return name
    try:
        if not tk.getboolean(tk.call("namespace", "exists", namespace)):
            return None
        found = str(tk.call("namespace", "eval", namespace,
                            ("namespace", "which", "-command", name)))
    except Exception:
        found = ""
    return found or None


def _procedure_source(tk, qualified):
    """The file name under which the body of `qualified` is known to linecache."""
    filename = f"<tcl proc {qualified}>"
    try:
        procedures = tk.splitlist(tk.call("info", "procs", qualified))
        if qualified not in procedures and qualified.lstrip(":") not in procedures:
            return filename  # not a procedure (any more)
        body = str(tk.call("info", "body", qualified))
    except Exception:
        return filename
    lines = body.splitlines(keepends=True)
    linecache.cache[filename] = (len(body), None, lines, filename)
    return filename


def _levels(tk, error_info):
    """(file name, function name, line) for each Tcl level of the trace, outermost first."""
    named = [(m.group(1), int(m.group(2))) for m in map(_LEVEL.match, error_info.splitlines()) if m]
    levels = []
    namespace = "::"
    for where, line in reversed(named):  # the trace lists the innermost level first
        procedure, file = _PROCEDURE.match(where), _FILE.match(where)
        if procedure:
            qualified = _qualified_procedure(tk, procedure.group(1), namespace)
            if qualified:
                namespace = qualified.rsplit("::", 1)[0] or "::"
                levels.append((_procedure_source(tk, qualified), qualified, line))
            else:
                levels.append((f"<tcl proc {procedure.group(1)}>", procedure.group(1), line))
        elif file:
            levels.append((file.group(1), "<tcl file>", line))
        else:
            levels.append((f"<tcl {where}>", f"<tcl {where}>", line))
    return levels


def tcl_traceback(error_info, tk):
    """A chain of traceback entries for the Tcl levels of `error_info`, innermost last; None
    when the trace names no level. `tk` is the host the error happened in."""
    chain = None
    for filename, name, line in reversed(_levels(tk, str(error_info))):
        # (no instruction index: traceback shows the line number given, without columns)
        chain = types.TracebackType(chain, _frame(filename, name), -1, line)
    return chain
