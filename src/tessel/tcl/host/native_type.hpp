// native_type.hpp — what every native type of the package needs for the garbage collector.
// A type names its object members once; traversal, clearing and deallocation follow from that.
#pragma once

#include <Python.h>

namespace tessel {

/// The tp_traverse, tp_clear and tp_dealloc slots of a garbage-collected heap type whose
/// instances are laid out as `Object`: `Members` are its strong references (cleared in that
/// order), `Weakrefs` its list of weak references.
template <typename Object, PyObject* Object::* Weakrefs, PyObject* Object::*... Members>
struct CollectedSlots {
    /// Visits the members and the type, which every instance of a heap type holds.
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        auto* object = reinterpret_cast<Object*>(self);
        for (PyObject* Object::* member : {Members...})
            Py_VISIT(object->*member);
        Py_VISIT(Py_TYPE(self));
        return 0;
    }

    static int clear(PyObject* self) {
        auto* object = reinterpret_cast<Object*>(self);
        for (PyObject* Object::* member : {Members...})
            Py_CLEAR(object->*member);
        return 0;
    }

    /// Untracks the instance, clears its weak references and members, frees it and drops
    /// the reference it held to its type.
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        if (reinterpret_cast<Object*>(self)->*Weakrefs) PyObject_ClearWeakRefs(self);
        clear(self);
        type->tp_free(self);
        Py_DECREF(type);
    }
};

/// The `__dict__` descriptor of a native type with an instance dictionary.
inline PyGetSetDef instance_dict_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace tessel
