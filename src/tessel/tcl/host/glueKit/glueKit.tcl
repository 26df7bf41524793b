# glueKit — the tessel framework's Tcl-side helpers.
# _cbBkup keeps the commands that a forced Python callback registration displaced.
namespace eval ::glueKit {
    namespace eval _cbBkup {}
}
package provide glueKit 1.0
