// py_versions.hpp — the few CPython calls that differ between Python versions, each behind one
// function. This is the only file with `PY_VERSION_HEX` branches; everything else calls these.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel {
namespace nb = nanobind;

/// The object a weak reference or weak proxy refers to. One that is gone raises the
/// ReferenceError the proxy itself would; any other failure raises too.
inline nb::object weak_referent(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) throw nb::python_error();
#else
    PyObject* obj = PyWeakref_GetObject(ref); // borrowed; taken at once
    if (!obj) throw nb::python_error();
    obj = obj == Py_None ? nullptr : Py_NewRef(obj);
#endif
    if (!obj) {
        PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
        throw nb::python_error();
    }
    return nb::steal(obj);
}

/// The object a handle reaches through `tcl`: the referent when `tcl` is a weak proxy (what
/// the proxy would forward every attribute to), `tcl` itself otherwise. A referent that is
/// gone raises ReferenceError.
inline nb::object proxy_target(PyObject* tcl) {
    if (!PyWeakref_CheckProxy(tcl)) return nb::borrow(tcl);
    return weak_referent(tcl);
}

/// The namespace of one class, as a mapping: its dict from 3.12 on; before, a read-only proxy
/// of it, kept for the last classes asked about (a proxy always shows the dict as it is now,
/// and a class keeps the same dict for life). A failure raises.
inline nb::object class_namespace(PyTypeObject* cls) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = PyType_GetDict(cls);
    if (!dict) throw nb::python_error();
    return nb::steal(dict);
#else
    struct Kept {
        PyObject* cls = nullptr; // both held: no other class can come to live at the address
        PyObject* proxy = nullptr;
    };
    constexpr unsigned kKept = 16;
    static Kept kept[kKept]; // guarded by the GIL; never released (see HeldRef)
    static unsigned next = 0;
    for (const Kept& k : kept)
        if (k.cls == reinterpret_cast<PyObject*>(cls)) return nb::borrow(k.proxy);
    PyObject* proxy = PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__dict__");
    if (!proxy) throw nb::python_error();
    Kept old = kept[next];
    kept[next] = {Py_NewRef(reinterpret_cast<PyObject*>(cls)), Py_NewRef(proxy)};
    next = (next + 1) % kKept;
    Py_XDECREF(old.cls);
    Py_XDECREF(old.proxy);
    return nb::steal(proxy);
#endif
}

/// Whether this Python's host (`_tkinter`) hands back the result of its `eval` cut at a NUL of
/// the text (before 3.13): it writes a NUL of Python text into Tcl as a raw zero byte, and
/// reads an eval's result with `Tcl_GetStringResult`, which copies it as a C string.
inline constexpr bool kHostEvalCutsAtNul = PY_VERSION_HEX < 0x030D0000;

/// Whether this Python tells when a class changes (type watchers, 3.12 on).
inline constexpr bool kClassWatchers = PY_VERSION_HEX >= 0x030C0000;

/// Registers `callback` to run whenever a watched class or one of its bases changes; the
/// watcher's id, or -1 (no error set) where classes cannot be watched.
inline int add_class_watcher([[maybe_unused]] int (*callback)(PyTypeObject*)) {
#if PY_VERSION_HEX >= 0x030C0000
    int id = PyType_AddWatcher(callback);
    if (id < 0) PyErr_Clear(); // every watcher slot taken: then nothing is remembered
    return id;
#else
    return -1;
#endif
}

/// Starts watching `cls` with watcher `id`. True only when its next change is certain to
/// reach the watcher: CPython tells a class's watchers of a change only while the class has
/// a valid version tag, and cannot always give it one. Never raises.
inline bool watch_class([[maybe_unused]] int id, [[maybe_unused]] PyTypeObject* cls) {
#if PY_VERSION_HEX >= 0x030C0000
    if (id < 0 || PyType_Watch(id, reinterpret_cast<PyObject*>(cls)) < 0) {
        PyErr_Clear();
        return false;
    }
    return PyUnstable_Type_AssignVersionTag(cls) == 1;
#else
    return false;
#endif
}

/// Registers `OnChange{}()` (a lambda without captures) to run whenever a watched dictionary
/// changes or is deallocated; the watcher's id, or -1 (no error set) where dictionaries cannot
/// be watched.
template <typename OnChange> int add_dict_watcher(OnChange) {
#if PY_VERSION_HEX >= 0x030C0000
    int id = PyDict_AddWatcher([](PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
        OnChange{}();
        return 0;
    });
    if (id < 0) PyErr_Clear(); // every watcher slot taken: then nothing is remembered
    return id;
#else
    return -1;
#endif
}

/// Starts watching the dictionary `dict` with watcher `id`. False where it cannot be watched.
/// Never raises.
inline bool watch_dict([[maybe_unused]] int id, [[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    if (id < 0 || PyDict_Watch(id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
#else
    return false;
#endif
}

} // namespace tessel
