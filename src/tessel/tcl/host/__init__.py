"""What the tessel.tcl modules stand on: the start-up hook and the glueKit Tcl package."""
