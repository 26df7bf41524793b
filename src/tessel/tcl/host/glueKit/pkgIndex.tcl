package ifneeded glueKit 1.0 [list source [file join $dir glueKit.tcl]]
