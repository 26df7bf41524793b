"""Command line: run Tcl through a tessel Interpreter (TclX and the start-up hooks loaded),
with tclsh's conventions.

    python -m tessel.tcl [--cast] [--history N] [FILE | - | -c SCRIPT] [ARG ...]
"""

import argparse
import sys

PROG = "tessel-tcl"
INTERRUPTED = 130  # the status a shell gives a program that Ctrl-C ended
INTERRUPTED_MESSAGE = "script interrupted"

# The host deletes Tcl's `exit`; this one checks its status as tclsh's does, then has Python
# unwind the running script and end the run with that status.
EXIT_REQUEST = "::tessel_tcl::exit"
EXIT_PROC = """
proc ::exit {{returnCode 0}} {
    if {[catch {incr returnCode 0} message options]} {
        return -code error -errorcode [dict get $options -errorcode] $message
    }
    %s [expr {$returnCode & 255}]
}
""" % EXIT_REQUEST

# Bytes that are not UTF-8 are read as the characters of those codes, as Tcl's `source` reads
# them (surrogateescape decoding leaves each as the lone surrogate U+DC00 + byte).
_LONE_BYTES = {0xDC00 + byte: byte for byte in range(0x80, 0x100)}


def tcl_text(text):
    """Text decoded with surrogateescape, each undecodable byte made a character Tcl takes."""
    return text.translate(_LONE_BYTES)


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        allow_abbrev=False,
        usage="%(prog)s [-h] [--cast] [--history N] [FILE | - | -c SCRIPT] [ARG ...]",
        description=(
            "Run Tcl through a tessel Interpreter, with TclX and the start-up hooks loaded. "
            "Runs FILE as Tcl's source command does, or the script read from standard input "
            "(-), or the script given with -c, or else reads commands at a prompt (with line "
            "editing when the input is a terminal). The ARGs after FILE, - or SCRIPT go to "
            "the script in argv (argc, argv0 and info script are set as tclsh sets them); "
            "options come before them. Every script goes through Interpreter.eval, so it is "
            "recorded in the history. A Tcl error prints Tcl's full error trace; the exit "
            "status is then 1 (after piped commands: if any command failed). exit ?code? ends "
            "the run with that status; Ctrl-C interrupts the running script (status 130 "
            "unless at an interactive prompt)."
        ),
    )
    parser.add_argument("file", nargs="?", metavar="FILE", help="a Tcl script file to run")
    parser.add_argument("args", nargs="*", metavar="ARG", help="the script's argv")
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


def split_command_line(words):
    """(options, source, args): the options before the script, where the script comes from
    (("file", FILE), ("stdin",), ("-c", SCRIPT), or None for the prompt) and the words after
    it, which are the script's argv whatever they look like."""
    options = []
    at = 0
    while at < len(words):
        word = words[at]
        if word == "--":
            at += 1
            break
        if word == "-":
            return options, ("stdin",), words[at + 1 :]
        if word.startswith("-c"):
            if word != "-c":
                return options, ("-c", word[2:]), words[at + 1 :]
            if at + 1 == len(words):
                return options + [word], None, []  # (argparse says what is missing)
            return options, ("-c", words[at + 1]), words[at + 2 :]
        if not word.startswith("-"):
            break
        options.append(word)
        if word == "--history" and at + 1 < len(words):
            options.append(words[at + 1])
            at += 1
        at += 1
    if at < len(words):
        return options, ("file", words[at]), words[at + 1 :]
    return options, None, []


def python_repr(value):
    """repr of a cast value, keyed lists shown as NestMap(...) at every level."""
    from tessel.tcl.nestmap import NestMap

    if isinstance(value, NestMap):
        fields = ", ".join(f"{key!r}: {python_repr(item)}" for key, item in value.items())
        return f"NestMap({{{fields}}})"
    return repr(value)


def without_outer_command(trace, command):
    """Tcl's error trace without its last entry when that entry is `command` (Tcl shortens a
    long command and ends it with ...): the trace of a file run with `source` then ends at the
    file's own line, as tclsh shows it."""
    at = max(trace.rfind('\n    while executing\n"'), trace.rfind('\n    invoked from within\n"'))
    if at < 0 or not trace.endswith('"'):
        return trace
    logged = trace[trace.index('"', at) + 1 : -1]
    if logged == command or (logged.endswith("...") and command.startswith(logged[:-3])):
        return trace[:at]
    return trace


class Session:
    """One run of the command line: the interpreter, the block in which Ctrl-C interrupts its
    Tcl code, and the status that `exit` asked for."""

    def __init__(self, interp, cast):
        self.interp = interp
        self.cast = cast
        self.exit_status = None
        self.interactive = False
        interp.tk.createcommand(EXIT_REQUEST, self.request_exit)
        interp.tk.eval(EXIT_PROC)

    def close(self):
        """Flushes Tcl's standard channels and takes `exit` away again."""
        self.flush()
        self.interp.tk.eval("catch {rename ::exit {}}; catch {namespace delete ::tessel_tcl}")

    def request_exit(self, status):
        self.exit_status = int(status)
        self.interp.interrupt()
        return ""

    def flush(self):
        """Writes out what Tcl holds for its stdout and stderr (a closed one is skipped)."""
        from tkinter import TclError

        for channel in ("stdout", "stderr"):
            try:
                self.interp.tk.call("flush", channel)
            except TclError:
                pass

    def set_command_line(self, argv0, args, interactive=False):
        tk = self.interp.tk
        tk.call("set", "::argv0", tcl_text(argv0))
        tk.call("set", "::argv", tuple(tcl_text(arg) for arg in args))
        tk.call("set", "::argc", len(args))
        tk.call("set", "::tcl_interactive", int(interactive))

    def run(self, script, outer_command=None):
        """Evaluates one script and shows its result, or Tcl's error trace; returns False when
        the script failed. Raises SystemExit when the script ran `exit`, KeyboardInterrupt
        (shown) when Ctrl-C interrupted it."""
        from tkinter import TclError

        try:
            result = self.interp.eval(script)
        except KeyboardInterrupt:
            self.flush()
            # (at a terminal, after the ^C it echoed)
            print("\n" * self.interactive + INTERRUPTED_MESSAGE, file=sys.stderr, flush=True)
            raise
        except TclError as error:
            if self.exit_status is not None:
                raise SystemExit(self.exit_status) from None
            self.flush()
            trace = str(error)
            if outer_command is not None:
                trace = without_outer_command(trace, outer_command)
            print(trace, file=sys.stderr, flush=True)
            return False
        if self.exit_status is not None:
            raise SystemExit(self.exit_status)
        self.flush()
        if self.cast:
            print(python_repr(self.interp.cast_any(result)), flush=True)
        elif result != "":
            print(result, flush=True)
        return True

    def run_file(self, path):
        """Runs a file as Tcl's `source` does (UTF-8), so that `info script` names it and an
        error's trace ends at the file's line."""
        from tessel.tcl.scriptify import scriptify

        command = scriptify(["source", "-encoding", "utf-8", tcl_text(path)])
        return self.run(command, outer_command=command)

    def prompt(self):
        """Reads commands until end of input, a command spanning lines until Tcl says it is
        complete; returns False when a command failed (at a terminal: only when the input
        ended in the middle of a command). Ctrl-C at a terminal drops the line being typed or
        interrupts the running command, and prompts again."""
        interactive = self.interactive = sys.stdin.isatty()
        if interactive:
            try:
                import readline  # noqa: F401  (line editing for input())
            except ImportError:
                pass
            sys.stdin.reconfigure(errors="surrogateescape")
        failed = False
        pending = ""
        while True:
            try:
                if interactive:
                    line = tcl_text(input("% " if not pending else "> "))
                else:
                    line = sys.stdin.buffer.readline()
                    if not line:
                        break
                    line = tcl_text(line.decode("utf-8", "surrogateescape")).rstrip("\n")
            except EOFError:
                break
            except KeyboardInterrupt:
                if not interactive:
                    raise
                print()
                pending = ""
                continue
            pending += line + "\n"
            if not self.interp.tk.call("info", "complete", pending):
                continue
            script, pending = pending, ""
            if not script.strip():
                continue
            try:
                failed = not self.run(script) or failed
            except KeyboardInterrupt:
                if not interactive:
                    raise
        if interactive:
            print()
        if pending.strip():
            first_line = pending.lstrip("\n").partition("\n")[0]
            print(f"incomplete command at end of input: {first_line}", file=sys.stderr)
            return False
        return interactive or not failed


def start(session, source, args):
    """Runs what the command line names; returns the exit status."""
    if source is None:
        session.set_command_line(PROG, args, interactive=sys.stdin.isatty())
        return 0 if session.prompt() else 1
    if source[0] == "file":
        session.set_command_line(source[1], args)
        ok = session.run_file(source[1])
    elif source[0] == "stdin":
        session.set_command_line(PROG, args)
        ok = session.run(tcl_text(sys.stdin.buffer.read().decode("utf-8", "surrogateescape")))
    else:
        session.set_command_line(PROG, args)
        ok = session.run(tcl_text(source[1]))
    return 0 if ok else 1


def main(argv=None):
    parser = build_parser()
    options, source, args = split_command_line(sys.argv[1:] if argv is None else list(argv))
    settings = parser.parse_args(options)
    try:
        from tessel.tcl.interpreter import _global_interpreter as interp
    except ImportError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    session = Session(interp, settings.cast)
    try:
        status = start(session, source, args)
    except SystemExit as end:
        status = end.code
    except KeyboardInterrupt:
        status = INTERRUPTED
    finally:
        session.close()
    if settings.history > 0:
        for entry in interp.history.filter(count=settings.history):
            print(entry)
    return status


if __name__ == "__main__":
    sys.exit(main())
