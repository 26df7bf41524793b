"""Command line: run Tcl through a tessel Interpreter (TclX and the start-up hooks loaded).

    python -m tessel.tcl [options] [FILE]
"""

import argparse
import sys


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tessel-tcl",
        description=(
            "Run Tcl through a tessel Interpreter, with TclX and the start-up hooks loaded. "
            "Runs FILE, or the script given with -c, or else reads commands at a prompt "
            "(with line editing when the input is a terminal). Every script goes through "
            "Interpreter.eval, so it is recorded in the history. A Tcl error prints Tcl's "
            "full error trace; with FILE or -c the exit status is then 1."
        ),
    )
    parser.add_argument("file", nargs="?", metavar="FILE", help="a Tcl script file to run")
    parser.add_argument("-c", dest="script", metavar="SCRIPT", help="a Tcl script to run")
    parser.add_argument(
        "--cast",
        action="store_true",
        help="print each result as the Python repr of cast_any(result) "
        "(a keyed list shows as a NestMap)",
    )
    parser.add_argument(
        "--history",
        type=int,
        default=0,
        metavar="N",
        help="print the last N history entries at exit",
    )
    return parser


def python_repr(value):
    """repr of a cast value, keyed lists shown as NestMap(...) at every level."""
    from tessel.tcl.nestmap import NestMap

    if isinstance(value, NestMap):
        fields = ", ".join(f"{key!r}: {python_repr(item)}" for key, item in value.items())
        return f"NestMap({{{fields}}})"
    return repr(value)


def show(interp, result, cast):
    if cast:
        print(python_repr(interp.cast_any(result)))
    elif result != "":
        print(result)


def run_script(interp, script, cast):
    """Evaluates one script; returns False when Tcl raised an error."""
    from tkinter import TclError

    try:
        result = interp.eval(script)
    except TclError as exc:
        print(exc, file=sys.stderr)
        return False
    show(interp, result, cast)
    return True


def prompt(interp, cast):
    """Reads commands until end of input; a command may span lines until Tcl says it is complete."""
    interactive = sys.stdin.isatty()
    if interactive:
        try:
            import readline  # noqa: F401  (line editing for input())
        except ImportError:
            pass
    ok = True
    buffered = ""
    while True:
        try:
            line = input("% " if not buffered else "> ") if interactive else sys.stdin.readline()
        except EOFError:
            break
        if not interactive and line == "":
            break
        buffered += line.rstrip("\n") + "\n"
        if not interp.tk.call("info", "complete", buffered):
            continue
        script, buffered = buffered, ""
        if script.strip():
            ok = run_script(interp, script, cast)
    if interactive:
        print()
    return ok


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        from tessel.tcl.interpreter import _global_interpreter as interp
    except ImportError as exc:
        print(f"tessel-tcl: {exc}", file=sys.stderr)
        return 2
    if args.script is not None:
        ok = run_script(interp, args.script, args.cast)
    elif args.file is not None:
        with open(args.file, encoding="utf-8") as source:
            ok = run_script(interp, source.read(), args.cast)
    else:
        ok = prompt(interp, args.cast)
    if args.history > 0:
        for entry in interp.history.filter(count=args.history):
            print(entry)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
