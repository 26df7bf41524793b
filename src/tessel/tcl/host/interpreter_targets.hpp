// interpreter_targets.hpp — an interpreter's history, host and cast_any for the hot calls.
// Read as attribute lookup would, then kept while the interpreter's type and dictionary hold.
#pragma once

#include "host/pycall.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>

namespace tessel {
namespace nb = nanobind;

/// The interned names the reading needs (each module interns its own).
struct TargetNames {
    PyObject *history, *tk, *cast_any, *getattribute;
};

/// An interpreter's `history` and `tk` from its instance dictionary, as attribute lookup finds
/// them while the type keeps object's own `__getattribute__` and has no attribute of either
/// name, and its `cast_any` method descriptor while the dictionary does not shadow it. The last
/// answer is kept while the type and the dictionary keep their version tags: any assignment to
/// the type, to a base or to any dictionary gives them new tags, never used before, so an
/// unchanged pair of tags means the values read are still the ones lookup would find.
class InterpreterTargets {
  public:
    /// `history` and `tk` (new references), or false (no error set) when they must be looked
    /// up the ordinary way.
    bool read(const TargetNames& names, PyObject* interp, nb::object* history_out,
              nb::object* tk_out) {
        PyTypeObject* type = Py_TYPE(interp);
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
        PyObject** slot = _PyObject_GetDictPtr(interp);
        PyObject* dict = slot ? *slot : nullptr;
        if (!dict || !PyDict_CheckExact(dict)) return false;
        uint64_t tag = dict_version(dict);
        if (tag == 0) return false;
        if (type != type_ || type->tp_version_tag != type_version_ || dict != dict_ ||
            tag != dict_version_) {
            if (!look_up(names, type, dict)) return false;
            type_ = type;
            type_version_ = type->tp_version_tag;
            dict_ = dict;
            dict_version_ = tag;
        }
        *history_out = nb::borrow(history_);
        *tk_out = nb::borrow(tk_);
        return true;
    }

    /// The type's `cast_any` method descriptor found by the last successful `read`, or null
    /// when it must be looked up the ordinary way (borrowed).
    PyObject* cast_any() const { return cast_any_; }

  private:
    bool look_up(const TargetNames& names, PyTypeObject* type, PyObject* dict) {
        static PyObject* object_getattribute =
            _PyType_Lookup(&PyBaseObject_Type, names.getattribute);
        if (_PyType_Lookup(type, names.getattribute) != object_getattribute ||
            _PyType_Lookup(type, names.history) || _PyType_Lookup(type, names.tk))
            return false;
        PyObject* history = PyDict_GetItemWithError(dict, names.history);
        PyObject* tk = history ? PyDict_GetItemWithError(dict, names.tk) : nullptr;
        PyObject* cast = _PyType_Lookup(type, names.cast_any);
        if (tk && cast &&
            (!PyType_HasFeature(Py_TYPE(cast), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
             PyDict_GetItemWithError(dict, names.cast_any)))
            cast = nullptr;
        // the lookups above give the type a version tag when it had none
        if (!tk || PyErr_Occurred() || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            PyErr_Clear();
            return false;
        }
        history_ = history;
        tk_ = tk;
        cast_any_ = cast;
        return true;
    }

    PyTypeObject* type_ = nullptr;
    unsigned int type_version_ = 0;
    PyObject* dict_ = nullptr;
    uint64_t dict_version_ = 0;
    PyObject* history_ = nullptr; // borrowed from the dictionary
    PyObject* tk_ = nullptr;
    PyObject* cast_any_ = nullptr; // borrowed from the type
};

} // namespace tessel
