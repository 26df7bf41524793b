"""The package's own start-up hook: makes glueKit loadable and loads it."""

import os

GLUEKIT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "glueKit")


def tcl_init(interp):
    """Adds glueKit's folder to ::auto_path and requires the package."""
    interp.tk.call("lappend", "::auto_path", GLUEKIT_DIR)
    interp.tk.call("package", "require", "glueKit")
