// class_guard.hpp — what the fast paths may remember about a class, and when they must forget it.
// One type watcher for the whole package counts the changes of every class a fast path read.
#pragma once

#include "host/py_versions.hpp"
#include "host/pycall.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>

namespace tessel {
namespace nb = nanobind;

/*
 * The invariant. A fast path skips an attribute lookup only on facts about classes that it read
 * with `class_attribute` (the lookup along the method resolution order that attribute access
 * does) and remembered in a `ClassGuard`. The guard holds while
 *   - the object's class is the remembered class (the guard keeps it alive, so no other class
 *     can come to live at its address), and
 *   - the package's count of class changes has not moved since the facts were read.
 * Every class a guard remembers is watched, with a version tag that CPython confirmed, and
 * CPython calls a class's watchers whenever the class or any of its bases changes (an attribute
 * set or deleted on it or a base, `__bases__` assigned, a `__getattribute__` added), before any
 * lookup can see the change. The package's one watcher then moves the count, so every guard
 * fails at its next check and reads its facts afresh. A subclass is a class of its own: it is
 * read and remembered for itself. Instance dictionaries are never remembered: each call reads
 * them, so an attribute replaced on an instance, or a host replaced while a command runs, is
 * seen by the next read. Facts are read with the class already watched, and kept only if the
 * count did not move meanwhile, so user code run by the reading itself cannot slip a change in.
 *
 * A `KeyGuard` remembers what one key of a plain dictionary reads (a module's namespace, a
 * logger's level cache): the value, borrowed, or its absence. It holds while the dictionary is
 * the remembered one (the guard keeps it alive) and the package's count of dictionary changes
 * has not moved. The dictionary is watched, and CPython calls its watchers before any item is
 * set, deleted or cleared, so the value is still there, alive. (Instance dictionaries are not
 * remembered this way: 3.13 keeps an object's attributes in the object itself and tells no
 * watcher when those change.)
 *
 * Where Python has no watchers (before 3.12) a guard never holds: each call either reads the
 * facts afresh (`check`, where reading them is cheap) or takes the ordinary lookup.
 */

/// A record of dictionary changes: one watcher, and the count it moves.
struct DictChanges {
    uint64_t count = 0; ///< moved on every change of a dictionary the watcher watches
    int watcher = -1;   ///< the watcher's id; -1 where dictionaries cannot be watched
};

/// The package's record of class changes, kept by the module tessel.tcl.internal.
struct ClassChanges {
    uint64_t count = 0; ///< moved by the watcher on every change of a watched class
    int watcher = -1;   ///< the watcher's id; -1 where classes cannot be watched
    DictChanges dicts;  ///< the dictionaries the other modules' KeyGuards watch
};

inline constexpr const char* kClassChangesCapsule = "tessel.tcl.internal._CLASS_CHANGES";

/// The record, from tessel.tcl.internal (imported on first use: call it once at module init,
/// never first on a hot path). A failure raises.
inline const ClassChanges& class_changes() {
    // (by module, not by PyCapsule_Import's attribute path: the package may still be importing)
    static const ClassChanges* changes = [] {
        nb::object module = nb::steal(PyImport_ImportModule("tessel.tcl.internal"));
        if (!module.is_valid()) throw nb::python_error();
        nb::object capsule = nb::steal(PyObject_GetAttrString(module.ptr(), "_CLASS_CHANGES"));
        void* found = capsule.is_valid() ? PyCapsule_GetPointer(capsule.ptr(), kClassChangesCapsule)
                                         : nullptr;
        if (!found) throw nb::python_error();
        return static_cast<const ClassChanges*>(found);
    }();
    return *changes;
}

/// A strong reference held by a cache that lives as long as the process: replaced as the cache
/// changes, and never released at exit, so that nothing touches Python while it shuts down.
class HeldRef {
  public:
    HeldRef() = default;
    HeldRef(const HeldRef&) = delete;
    HeldRef& operator=(const HeldRef&) = delete;

    void set(nb::handle obj) {
        PyObject* old = ptr_;
        ptr_ = Py_XNewRef(obj.ptr());
        Py_XDECREF(old); // last, as releasing it may run code that reads this cache
    }
    void reset() { set(nb::handle()); }
    nb::handle get() const { return ptr_; }

  private:
    PyObject* ptr_ = nullptr;
};

/// Remembers one class for a fast path, for as long as the invariant above allows.
class ClassGuard {
  public:
    /// True while `cls` is the remembered class and no watched class has changed since.
    bool holds(PyTypeObject* cls) const {
        return cls == remembered_ && class_changes().count == count_;
    }

    /// Watches `cls` (and `also`), runs `read()` to read the facts about them, and remembers
    /// `cls` when `read` returns true and nothing changed meanwhile. Returns whether the facts
    /// may be used now; false also where classes cannot be watched (then `read` is not run).
    template <typename Read>
    bool renew(PyTypeObject* cls, Read&& read, std::initializer_list<PyTypeObject*> also = {}) {
        forget();
        const ClassChanges& changes = class_changes();
        if (!watch_class(changes.watcher, cls)) return false;
        for (PyTypeObject* other : also)
            if (!watch_class(changes.watcher, other)) return false;
        uint64_t before = changes.count;
        if (!read() || changes.count != before) return false;
        held_.set(reinterpret_cast<PyObject*>(cls));
        remembered_ = cls;
        count_ = before;
        return true;
    }

    /// `holds(cls)`, or else `renew(cls, read)`; where classes cannot be watched, `read()` on
    /// every call instead (then it should be cheap: see `class_reads`).
    template <typename Read>
    bool check(PyTypeObject* cls, Read&& read, std::initializer_list<PyTypeObject*> also = {}) {
        if (holds(cls) || renew(cls, read, also)) return true;
        return !kClassWatchers && read();
    }

    void forget() {
        remembered_ = nullptr;
        held_.reset();
    }

  private:
    PyTypeObject* remembered_ = nullptr;
    HeldRef held_; ///< the remembered class
    uint64_t count_ = 0;
};

/// `mapping[key]`, or an invalid object when the key is missing. A failure raises.
inline nb::object optional_item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!value && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(value);
    }
    // (membership first: a miss then costs no KeyError)
    int present = PySequence_Contains(mapping.ptr(), key.ptr());
    if (present < 0) throw nb::python_error();
    if (!present) return nb::object();
    return check(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

/// What attribute lookup finds for `name` in the classes of `cls` (the first class along its
/// method resolution order whose namespace has it), or an invalid object. A failure raises.
inline nb::object class_attribute(PyTypeObject* cls, nb::handle name) {
    nb::object mro = nb::borrow(cls->tp_mro);
    if (!mro.is_valid() || !PyTuple_Check(mro.ptr())) return nb::object();
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro.ptr()); i < n; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.ptr(), i));
        nb::object found = optional_item(class_namespace(base), name);
        if (found.is_valid()) return found;
    }
    return nb::object();
}

/// True when reading `name` from class `cls` gives `expected` itself, as it does for the
/// functions and method descriptors a class holds. A missing attribute is false. Cheap for
/// names the class has (CPython's own lookup cache answers); a miss costs an exception.
inline bool class_reads(PyTypeObject* cls, nb::handle name, nb::handle expected) {
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), name.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    bool same = found == expected.ptr();
    Py_DECREF(found);
    return same;
}

/// The instance dictionary of `obj`, or an invalid object when it has none (no error left).
inline nb::object instance_dict(PyObject* obj) {
    if (Py_TYPE(obj)->tp_dictoffset == 0) return nb::object();
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict) PyErr_Clear();
    return nb::steal(dict);
}

/// Remembers what one key of a watched plain dictionary reads, for as long as the invariant
/// above allows, with the watcher of `changes` (which must outlive it).
class KeyGuard {
  public:
    explicit KeyGuard(const DictChanges& changes) : changes_(changes) {}

    /// `dict[key]` into `*value` (borrowed; null when the key is missing). False with the
    /// error set when the lookup failed.
    bool read(PyObject* dict, PyObject* key, PyObject** value) {
        if (dict == dict_.get().ptr() && key == key_ && changes_.count == count_) {
            *value = value_;
            return true;
        }
        uint64_t before = changes_.count;
        *value = PyDict_GetItemWithError(dict, key);
        if (!*value && PyErr_Occurred()) return false;
        // kept only when the lookup ran no code that changed a watched dictionary
        if (watch_dict(changes_.watcher, dict) && changes_.count == before) {
            dict_.set(dict);
            key_ = key;
            value_ = *value;
            count_ = before;
        } else {
            dict_.reset();
        }
        return true;
    }

  private:
    const DictChanges& changes_;
    HeldRef dict_;
    PyObject* key_ = nullptr; ///< compared only (a cached interned name)
    PyObject* value_ = nullptr;
    uint64_t count_ = 0;
};

/// Registers the package's watchers and offers its record to the other modules as a capsule
/// (module tessel.tcl.internal only).
inline void export_class_changes(nb::module_& m) {
    static ClassChanges changes;
    changes.watcher = add_class_watcher([](PyTypeObject*) {
        ++changes.count;
        return 0;
    });
    changes.dicts.watcher = add_dict_watcher([] { ++changes.dicts.count; });
    PyObject* capsule = PyCapsule_New(&changes, kClassChangesCapsule, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_CLASS_CHANGES") = nb::steal(capsule);
}

} // namespace tessel
