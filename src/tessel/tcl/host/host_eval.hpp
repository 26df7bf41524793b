// host_eval.hpp — a script evaluated by the host object, its result whole on every Python.
// Before 3.13 the host cuts a script's result (and error message) at the first NUL.
#pragma once

#include <Python.h>

namespace tessel {

/*
 * What `app.eval(script)` gives: a new reference, or null with the host's error set. Where
 * the host would cut the result at a NUL (see kHostEvalCutsAtNul) and `app` is the host's own
 * object, used on the thread registered as its owner, the host evaluates a command of ours
 * instead, which evaluates `script` at the same level and hands its result back with NUL in
 * Tcl's own two-byte form, which the host reads whole. The command adds nothing to errorInfo.
 * Any other case, and a script the host refuses (a NUL in it, a lone surrogate), goes to the
 * host's `eval` as it is.
 */
PyObject* host_eval(PyObject* app, PyObject* script);

} // namespace tessel
