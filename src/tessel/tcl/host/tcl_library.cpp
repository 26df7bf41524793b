// tcl_library.cpp — binds a module's Tcl stubs to the host's Tcl library at import, and makes
// that library's symbols global where it is a shared library of its own.

#include "tcl_library.hpp"

#include <nanobind/nanobind.h>

#include <tcl.h>

#include <dlfcn.h>

namespace nb = nanobind;

namespace tessel {
namespace {

/// The address of the first instruction of a C function, for the dynamic linker's questions.
template <typename Function> void* code_address(Function* function) {
    return reinterpret_cast<void*>(function);
}

/*
 * Python loads `_tkinter`, and with it a shared Tcl library, with local symbol scope; an
 * extension that calls Tcl without stubs (Expect) then finds no Tcl symbols when Tcl loads it.
 * Loading the library that holds the host's Tcl once more with RTLD_GLOBAL (RTLD_NOLOAD: only
 * if already loaded) puts its symbols in the global scope, where tclsh has them. Nothing is
 * done when they are there already (a second module, or a program that exports Tcl), nor when
 * Tcl is built into `_tkinter` itself: that module's symbols are not the library's to share.
 * The handle is kept on purpose: the library stays loaded as long as `_tkinter` does anyway.
 */
void make_tcl_symbols_global(nb::handle host_module) {
    void* tcl_code = code_address(tclStubsPtr->tcl_PkgRequireEx);
    if (dlsym(RTLD_DEFAULT, "Tcl_PkgRequireEx") == tcl_code) return;
    Dl_info tcl{};
    if (!dladdr(tcl_code, &tcl) || !tcl.dli_fname || !*tcl.dli_fname) return;
    nb::object create = host_module.attr("create");
    PyCFunction host_code =
        PyCFunction_Check(create.ptr()) ? PyCFunction_GetFunction(create.ptr()) : nullptr;
    Dl_info host{};
    if (host_code && dladdr(code_address(host_code), &host) && host.dli_fbase == tcl.dli_fbase)
        return;
    dlopen(tcl.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_GLOBAL);
}

} // namespace

void bind_host_tcl() {
    nb::module_ library = nb::module_::import_("tessel.tcl.host.tcl_library");
    nb::object address = library.attr("interpaddr")();
    auto* interp = static_cast<Tcl_Interp*>(PyLong_AsVoidPtr(address.ptr()));
    if (!interp) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "the host made no Tcl interpreter");
        throw nb::python_error();
    }
    nb::module_ host = nb::module_::import_("_tkinter");
    if (!Tcl_InitStubs(interp, TCL_VERSION, 0)) {
        nb::object version = host.attr("TCL_VERSION");
        PyErr_Format(PyExc_ImportError,
                     "tessel.tcl needs Tcl %s or a later 8.x; the host's tkinter has Tcl %S",
                     TCL_VERSION, version.ptr());
        throw nb::python_error();
    }
    make_tcl_symbols_global(host);
}

} // namespace tessel
