// method_cache.hpp — `obj.name(arg)` on a hot path, without the method lookup on every call.
// One cache per call site remembers the method descriptor found for the type last seen.
#pragma once

#include <Python.h>

namespace tessel {

/// Calls `obj.<name>(arg)`. For a type with ordinary attribute lookup whose attribute `name` is
/// a method descriptor, the descriptor found last time is called with `obj` directly while
/// the type keeps its version tag (any assignment to the type or a base changes it) and the
/// instance dictionary, if any, does not shadow the name; anything else takes the ordinary
/// way. Returns a new reference, or null with an error set.
class MethodCache {
  public:
    PyObject* call(PyObject* obj, PyObject* name, PyObject* arg) {
        PyObject* args[] = {obj, arg};
        PyTypeObject* type = Py_TYPE(obj);
        if (type != type_ || !current(type)) {
            PyObject* found = _PyType_Lookup(type, name);
            if (!found || type->tp_getattro != PyObject_GenericGetAttr ||
                !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
                !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
                return ordinary(name, args);
            // held for the life of the process: a call site sees a handful of types at most
            Py_XSETREF(method_, Py_NewRef(found));
            Py_XSETREF(type_, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
            version_ = type->tp_version_tag;
        }
        if (type->tp_dictoffset != 0) {
            PyObject** dict = _PyObject_GetDictPtr(obj);
            if (dict && *dict) {
                if (PyDict_GetItemWithError(*dict, name)) return ordinary(name, args);
                if (PyErr_Occurred()) return nullptr;
            }
        }
        PyObject* method = Py_NewRef(method_); // the call may replace the cached one
        PyObject* result = PyObject_Vectorcall(method, args, 2, nullptr);
        Py_DECREF(method);
        return result;
    }

  private:
    static PyObject* ordinary(PyObject* name, PyObject** args) {
        return PyObject_VectorcallMethod(name, args, 2, nullptr);
    }

    bool current(PyTypeObject* type) const {
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
               type->tp_version_tag == version_;
    }

    PyTypeObject* type_ = nullptr; // strong references
    PyObject* method_ = nullptr;
    unsigned int version_ = 0;
};

} // namespace tessel
