// interpreter_variables.cpp — typed access to Tcl variables: get_int, set_list and the like.
// Each reader combines a variable view with one cast, each writer with one conversion.

#include "interpreter_parts.hpp"

namespace nb = nanobind;

namespace tessel::interp {
namespace {

nb::object vars_of(nb::handle self) {
    return get_attr(self, names().vars);
}

nb::object view_get(nb::handle self, nb::handle name) {
    return check(PyObject_GetItem(vars_of(self).ptr(), name.ptr()));
}

void view_set(nb::handle self, nb::handle name, nb::handle value) {
    if (PyObject_SetItem(vars_of(self).ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

nb::object get_var(nb::handle self, nb::handle name) {
    return view_get(self, name);
}

nb::object get_list(nb::handle self, nb::handle name) {
    return cast_list(view_get(self, name), nb::none());
}

nb::object get_keyed_list(nb::handle self, nb::handle name) {
    return cast_keyed_list(view_get(self, name), nb::none());
}

nb::object get_int(nb::handle self, nb::handle name) {
    return call_method(self, names().cast_int, {view_get(self, name)});
}

nb::object get_double(nb::handle self, nb::handle name) {
    return call_method(self, names().cast_double, {view_get(self, name)});
}

nb::object get_boolean(nb::handle self, nb::handle name) {
    return call_method(self, names().cast_boolean, {view_get(self, name)});
}

nb::object get_array(nb::handle self, nb::handle name) {
    return call_method(vars_of(self), names().array_get, {name});
}

void set_array(nb::handle self, nb::handle name, nb::handle obj) {
    call_method(vars_of(self), names().array_set, {name, obj});
}

void set_keyed_list(nb::handle self, nb::handle name, nb::handle obj) {
    nb::object nest_map = module_global(names().NestMap);
    int is_nest_map = PyObject_IsInstance(obj.ptr(), nest_map.ptr());
    if (is_nest_map < 0) throw nb::python_error();
    view_set(self, name, is_nest_map ? nb::borrow(obj) : call(nest_map, {obj}));
}

void set_var(nb::handle self, nb::handle name, nb::handle value) {
    view_set(self, name, value);
}

void set_boolean(nb::handle self, nb::handle name, nb::handle value) {
    view_set(self, name, nb::int_(truth(value) ? 1 : 0));
}

void set_list(nb::handle self, nb::handle name, nb::handle value) {
    Names& n = names();
    view_set(self, name, call_method(n.tclobj_fn, n.from_sequence, {value}));
}

} // namespace

void add_variable_methods(ClassBuilder& cls) {
    auto name = nb::arg("name").none();
    cls.def("get_array", &get_array, name, "The Tcl array as an Array.")
        .def("get_list", &get_list, name, "The variable as a tuple of strings.")
        .def("get_keyed_list", &get_keyed_list, name, "The variable as a NestMap.")
        .def("get_int", &get_int, name, "The variable as an int.")
        .def("get_boolean", &get_boolean, name, "The variable as a bool.")
        .def("get_double", &get_double, name, "The variable as a float.")
        .def("get_var", &get_var, name, "The variable's value as text.")
        .def("set_array", &set_array, name, nb::arg("obj").none(),
             "Sets array elements from a mapping or a flat key/value sequence.")
        .def("set_keyed_list", &set_keyed_list, name, nb::arg("obj").none(),
             "Stores a mapping as a TclX keyed list.")
        .def("set_var", &set_var, name, nb::arg("value").none(), "Stores a value in the variable.")
        .alias("set_int", "set_var")
        .alias("set_double", "set_var")
        .def("set_boolean", &set_boolean, name, nb::arg("value").none(),
             "Stores 1 or 0 by the truth of the value.")
        .def("set_list", &set_list, name, nb::arg("value").none(),
             "Stores a sequence as one Tcl list.");
}

} // namespace tessel::interp
