// pyclass.cpp — the class builder shared by every module.
// Classes are made by calling their metaclass, exactly as a class statement would.

#include "pyclass.hpp"

namespace tessel {

ClassBuilder::ClassBuilder(const char* module_name, const char* name, nb::tuple bases,
                           nb::handle metaclass, const char* qualname) {
    nb::dict ns;
    ns["__module__"] = nb::str(module_name);
    ns["__qualname__"] = nb::str(qualname ? qualname : name);
    nb::handle meta = metaclass ? metaclass : nb::handle((PyObject*)&PyType_Type);
    cls_ = meta(nb::str(name), bases, ns);
    nb::object space = nb::module_::import_("types").attr("SimpleNamespace")();
    nb::setattr(space, "__module__", ns["__module__"]);
    nb::setattr(space, "__qualname__", ns["__qualname__"]);
    scope_ = keep(space);
}

ClassBuilder& ClassBuilder::alias(const char* name, const char* existing) {
    nb::object value = cls_.attr("__dict__")[existing];
    return attr(name, value);
}

ClassBuilder& ClassBuilder::method(PyMethodDef* def) {
    PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls_.ptr()), def);
    if (!descr) throw nb::python_error();
    return attr(def->ml_name, nb::steal(descr));
}

ClassBuilder& ClassBuilder::attr(const char* name, nb::handle value) {
    nb::setattr(cls_, name, value);
    return *this;
}

nb::object ClassBuilder::finish() {
    if (nb::hasattr(cls_, "__abstractmethods__"))
        nb::module_::import_("abc").attr("update_abstractmethods")(cls_);
    return cls_;
}

nb::object ClassBuilder::staticmethod(nb::handle fn) {
    return nb::borrow(nb::handle((PyObject*)&PyStaticMethod_Type))(fn);
}

nb::object function_with_attributes(nb::handle fn) {
    return nb::module_::import_("functools").attr("partial")(fn);
}

bool true_attribute(nb::handle obj, nb::handle name, nb::object& out) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    out = nb::steal(value);
    int truth = PyObject_IsTrue(value);
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

} // namespace tessel
