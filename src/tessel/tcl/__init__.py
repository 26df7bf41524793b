"""tessel.tcl: drive a Tcl interpreter (TclX loaded) from Python test scripts."""
