// interpreter_targets.hpp — an interpreter's history, host and cast_any for the hot calls.
// Read from the instance dictionary while the class's facts hold (host/class_guard.hpp).
#pragma once

#include "host/class_guard.hpp"
#include "host/pyclass.hpp"

#include <nanobind/nanobind.h>

namespace tessel {
namespace nb = nanobind;

/// The interned names the reading needs (each module interns its own).
struct TargetNames {
    PyObject *history, *tk, *cast_any, *getattribute;
};

/// `interp.history`, `interp.tk` and `interp.cast_any(value)` as attribute lookup does them.
/// While the interpreter's class keeps object's own `__getattribute__` and has no attribute
/// named `history` or `tk`, lookup finds those two in the instance dictionary, and the
/// dictionary is read directly; while `cast_any` is a method descriptor of the class that the
/// instance does not shadow, it is called without a bound method (tkinter's `Tk.__getattr__`
/// otherwise makes one on every lookup). Anything else takes the ordinary lookup.
class InterpreterTargets {
  public:
    explicit InterpreterTargets(const TargetNames& names) : names_(names) {}

    /// `interp.<name>` for `name` one of `history`, `tk`. New reference; a failure raises.
    nb::object attribute(PyObject* interp, PyObject* name) {
        if (facts_hold(Py_TYPE(interp))) {
            nb::object dict = instance_dict(interp);
            if (dict.is_valid()) {
                nb::object value = optional_item(dict, name);
                if (value.is_valid()) return value;
            }
        }
        PyObject* value = PyObject_GetAttr(interp, name);
        if (!value) throw nb::python_error();
        return nb::steal(value);
    }

    /// `interp.cast_any(value)`. New reference, or null with the error set.
    PyObject* cast_any(PyObject* interp, PyObject* value) {
        PyObject* args[] = {interp, value};
        if (facts_hold(Py_TYPE(interp)) && cast_any_.get().is_valid()) {
            nb::object dict = instance_dict(interp);
            PyObject* shadow =
                dict.is_valid() ? PyDict_GetItemWithError(dict.ptr(), names_.cast_any) : nullptr;
            if (!shadow && PyErr_Occurred()) return nullptr;
            if (!shadow) {
                // the call may run code that renews the facts
                nb::object method = nb::borrow(cast_any_.get());
                return PyObject_Vectorcall(method.ptr(), args, 2, nullptr);
            }
        }
        return PyObject_VectorcallMethod(names_.cast_any, args, 2, nullptr);
    }

  private:
    bool facts_hold(PyTypeObject* cls) {
        return guard_.holds(cls) || guard_.renew(cls, [&] { return read_facts(cls); });
    }

    bool read_facts(PyTypeObject* cls) {
        static nb::handle object_getattribute =
            keep(class_attribute(&PyBaseObject_Type, names_.getattribute));
        if (!dict_instances(cls) ||
            !class_attribute(cls, names_.getattribute).is(object_getattribute) ||
            class_attribute(cls, names_.history).is_valid() ||
            class_attribute(cls, names_.tk).is_valid())
            return false;
        nb::object cast = class_attribute(cls, names_.cast_any);
        bool descriptor =
            cast.is_valid() && PyType_HasFeature(Py_TYPE(cast.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR);
        cast_any_.set(descriptor ? nb::handle(cast) : nb::handle());
        return true;
    }

    static bool dict_instances(PyTypeObject* cls) { return cls->tp_dictoffset != 0; }

    TargetNames names_;
    ClassGuard guard_;
    HeldRef cast_any_; ///< the class's `cast_any` method descriptor, while the facts hold
};

} // namespace tessel
