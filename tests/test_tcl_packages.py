"""Tcl packages load and work as in tclsh: Expect, whose library expects Tcl's symbols to be
global, drives a shell in every interpreter; tcllib's commands run through TclCommand."""

import os
import tkinter

import pytest

from tessel.tcl.namespace import TclCommand


def require(tcl, package):
    """Loads a package, or skips where the machine lacks it (tools/setup installs it)."""
    try:
        return tcl.eval(f"package require {package}")
    except tkinter.TclError as error:
        if str(error).startswith("can't find package"):
            pytest.skip(f"the Tcl package {package} is not installed")
        raise


# A shell on a terminal of its own, with a prompt Expect can wait for; `ask` sends a command
# and hands the line it prints to the Python callback `matched`.
SESSION = r"""
    log_user 0
    set timeout 10
    spawn -noecho /usr/bin/env {PS1=ready> } /bin/sh -i
    expect "ready> "
    proc ask {command} {
        send "$command\r"
        expect -re {\n([^\r]*)\r\n} {matched $expect_out(1,string)}
        expect "ready> "
    }
    exp_pid
"""


def test_expect_drives_a_shell(interp):
    require(interp, "Expect")
    matched = []
    interp.create_callback(matched.append, "matched")
    pid = interp.eval(SESSION)
    try:
        interp.eval("ask {echo $((6 * 7))}")
        assert matched == ["42"]
        # a timeout hands control back to Python, and the session goes on
        waited = "expect -timeout 1 never-printed {set r matched} timeout {set r timed-out}"
        assert interp.eval(waited) == "timed-out"
        interp.eval("ask {echo again}")
        assert matched == ["42", "again"]
    finally:
        reaped = interp.eval("close; wait")
    assert reaped.split()[0] == pid
    with pytest.raises(ChildProcessError):  # reaped: no zombie left behind
        os.waitpid(int(pid), os.WNOHANG)


def test_expect_loads_in_the_hosts_own_interpreters():
    assert require(tkinter.Tcl(), "Expect")


@pytest.mark.parametrize(
    "package, command, args, cast, expected",
    [
        ("json", "json::json2dict", ['{"a": [1, 2], "b": {"c": "d e"}}'], "cast_array",
         {"a": "1 2", "b": "c {d e}"}),
        ("struct::list", "struct::list flatten", ["-full", "1 {2 {3 {4 5}}}"], "cast_list",
         ("1", "2", "3", "4", "5")),
    ],
)
def test_tcllib_through_tclcommand(interp, package, command, args, cast, expected):
    require(interp, package)
    assert TclCommand(command, tcl=interp, cast=getattr(interp, cast))(*args) == expected
