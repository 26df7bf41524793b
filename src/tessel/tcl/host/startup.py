"""The package's own start-up hook: makes glueKit loadable and loads it."""

import os

GLUEKIT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "glueKit")

# Runs glueKit's package index as Tcl's package search would, with $dir set to its folder.
_SOURCE_INDEX = "dir {source [file join $dir pkgIndex.tcl]}"


def tcl_init(interp):
    """Adds glueKit's folder to ::auto_path and requires the package. Its index is read
    directly: a plain `package require` would make Tcl read every package index on
    ::auto_path again."""
    interp.tk.call("lappend", "::auto_path", GLUEKIT_DIR)
    interp.tk.call("apply", _SOURCE_INDEX, GLUEKIT_DIR)
    interp.tk.call("package", "require", "glueKit")
