// namespace_variables.cpp — handles on Tcl variables: TclVariable, TempTclVariable, and the
// array mapping TclArrayVariable with its temporary form. Handles keep names, never values.

#include "namespace_handles.hpp"

namespace nb = nanobind;

namespace tessel::ns {
namespace {

using namespace handles;

constexpr const char* kModule = "tessel.tcl.namespace";
constexpr const char* kTemporaryName = "::__quillon__{cls}_{id}_tmp";

/// The classes made here, and what their methods need at call time.
struct Classes {
    nb::handle variable, temp_variable, array_variable, temp_array_variable;
    nb::handle marker;
    nb::handle array_names_caller;
};

Classes& classes() {
    static Classes c;
    return c;
}

nb::object name_of(nb::handle self) {
    return get_attr(self, cached().var_name);
}

/// "name(index)" of two texts, as Tcl spells an array element.
nb::object element_name(nb::handle name, nb::handle index) {
    return check(PyUnicode_FromFormat("%S(%S)", name.ptr(), index.ptr()));
}

/// The word that names the variable or one of its elements: the handle's name,
/// or "name(index)" with the index as Tcl text (not quoted).
nb::object element_word(nb::handle self, nb::handle array_index) {
    nb::object name = name_of(self);
    if (array_index.is_none()) return name;
    return element_name(name, scriptify(array_index));
}

/// The array command "::array <sub> N" with an optional last word.
nb::object array_words(nb::handle self, nb::handle sub, nb::handle last = nb::handle()) {
    nb::object name = name_of(self);
    if (last.is_valid()) return tuple_of({cached().qualified_array, sub, name, last});
    return tuple_of({cached().qualified_array, sub, name});
}

/// "::array <sub> N", and the pattern when it is not None: as Tcl text for a list call, or as
/// it is for a script (`raw`), whose words are rendered together.
nb::object pattern_words(nb::handle self, nb::handle sub, nb::handle pattern, bool raw = false) {
    if (pattern.is_none()) return array_words(self, sub);
    return array_words(self, sub, raw ? nb::borrow(pattern) : scriptify(pattern));
}

nb::object interpreter_of(nb::handle self) {
    return get_attr(self, cached().tcl);
}

// ---- TclVariable -------------------------------------------------------------------------

void variable_init(nb::handle self, nb::handle var_name, nb::handle array_index, nb::handle tcl,
                   nb::handle cast) {
    nb::object interp = interpreter_proxy(tcl);
    set_attr(self, cached().tcl, interp);
    set_attr(self, cached().cast, cast);
    nb::object name = scriptify(var_name);
    if (!array_index.is_none()) name = element_name(name, scriptify(array_index));
    set_attr(self, cached().var_name, name);
}

/// Reads the variable (or element) as the host returns it, then applies the cast in force:
/// the argument when given, else the handle's own.
nb::object variable_get_obj(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static constexpr const char* kNames[] = {"array_index", "cast"};
    static constexpr Parameters kParameters("get_obj", kNames, 2, 0);
    PyObject* bound[2] = {Py_None, classes().marker.ptr()};
    if ((nargs || kwnames) && !kParameters.bind(args, nargs, kwnames, bound))
        throw nb::python_error();
    nb::handle array_index(bound[0]), cast(bound[1]);
    Attributes attrs(self);
    nb::object app = app_of_interpreter(attrs[cached().tcl]);
    nb::object name = attrs[cached().var_name];
    nb::object result = array_index.is_none()
                            ? call_method(app, cached().getvar, {name})
                            : call_method(app, cached().getvar, {name, array_index});
    nb::object conversion = cast.is(classes().marker) ? attrs[cached().cast] : nb::borrow(cast);
    if (!truth(conversion)) return result;
    if (!PyCallable_Check(conversion.ptr())) {
        kParameters.wrong_type("cast", "callable or None", conversion.ptr());
        throw nb::python_error();
    }
    return check(PyObject_CallOneArg(conversion.ptr(), result.ptr()));
}

nb::object variable_get_str(nb::handle self, nb::handle array_index) {
    nb::object app = app_of(self);
    nb::object element = element_word(self, array_index), text;
    if (read_variable_text(app, element, text)) return text; // (cheaper than the evaluation)
    return eval_words(app, tuple_of({cached().set, element}));
}

nb::object variable_set(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static constexpr const char* kNames[] = {"value", "array_index"};
    static constexpr Parameters kParameters("set", kNames, 2, 1);
    PyObject* bound[2] = {nullptr, Py_None};
    if (!kParameters.bind(args, nargs, kwnames, bound)) throw nb::python_error();
    nb::handle value(bound[0]), array_index(bound[1]);
    Attributes attrs(self);
    nb::object app = app_of_interpreter(attrs[cached().tcl]);
    nb::object name = attrs[cached().var_name];
    if (array_index.is_none()) {
        nb::object ready = tclobj(value);
        if (!tessel::host_can_take_value(ready.ptr())) throw nb::python_error();
        return call_method(app, cached().setvar, {name, ready});
    }
    nb::object index = scriptify(array_index);
    nb::object ready = tclobj(value);
    if (!tessel::host_can_take_value(ready.ptr())) throw nb::python_error();
    return call_method(app, cached().setvar, {name, index, ready});
}

void variable_unset(nb::handle self, nb::handle array_index, nb::handle nocomplain) {
    nb::object app = app_of(self);
    nb::object name = name_of(self);
    try {
        if (array_index.is_none())
            call_method(app, cached().unsetvar, {name});
        else
            call_method(app, cached().unsetvar, {name, scriptify(array_index)});
    } catch (nb::python_error& e) {
        if (!is_tcl_error(e) || !truth(nocomplain)) throw;
    }
}

bool variable_exists(nb::handle self, nb::handle array_index) {
    nb::object app = app_of(self);
    nb::object words =
        tuple_of({cached().qualified_info, cached().exists, element_word(self, array_index)});
    nb::object result = list_call(app, words);
    return truth(call_method(interpreter_of(self), cached().cast_boolean, {result}));
}

nb::object variable_array_item_byref(nb::handle self, nb::handle array_index, nb::handle cast) {
    nb::object interp = interpreter_of(self);
    nb::dict kwargs;
    kwargs["array_index"] = array_index;
    kwargs["tcl"] = interp;
    kwargs["cast"] = cast;
    nb::object args = tuple_of({self});
    return check(PyObject_Call(classes().variable.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object variable_array_get_obj(nb::handle self, nb::handle pattern) {
    nb::object result = list_call(app_of(self), pattern_words(self, cached().get, pattern));
    return call_method(interpreter_of(self), cached().cast_array, {result});
}

nb::object variable_array_get_str(nb::handle self, nb::handle pattern) {
    nb::object result = eval_words(app_of(self), pattern_words(self, cached().get, pattern, true));
    return call_method(interpreter_of(self), cached().cast_array, {result});
}

void variable_array_set(nb::handle self, nb::handle value) {
    nb::object app = app_of(self);
    list_call(app, array_words(self, cached().set, tclobj(value)));
}

void variable_array_unset(nb::handle self, nb::handle pattern) {
    list_call(app_of(self), pattern_words(self, cached().unset, pattern));
}

nb::object variable_array_size(nb::handle self) {
    nb::object app = app_of(self);
    return list_call(app, array_words(self, cached().size));
}

nb::object variable_array_names(nb::handle self, nb::handle pattern) {
    nb::object result = list_call(app_of(self), pattern_words(self, cached().names, pattern));
    return call_method(interpreter_of(self), cached().cast_list, {result});
}

bool variable_is_array(nb::handle self) {
    nb::object app = app_of(self);
    nb::object result = list_call(app, array_words(self, cached().exists));
    return truth(call_method(interpreter_of(self), cached().cast_boolean, {result}));
}

nb::object variable_absolute(nb::handle self) {
    return absolute_name(self, name_of(self));
}

void variable_make_absolute(nb::handle self) {
    nb::object name = call_method(self, cached().absolute);
    set_attr(self, cached().var_name, name);
}

nb::object variable_str(nb::handle self) {
    return name_of(self);
}

nb::object variable_tclobj(nb::handle self) {
    return scriptify(name_of(self));
}

nb::object class_name(nb::handle self) {
    nb::object cls = check(PyObject_GetAttrString(self.ptr(), "__class__"));
    return get_attr(cls, cached().name);
}

nb::object variable_repr(nb::handle self) {
    return check(PyUnicode_FromFormat("%S(%R)", class_name(self).ptr(), name_of(self).ptr()));
}

// ---- TempTclVariable ---------------------------------------------------------------------

void temp_variable_init(nb::handle self, nb::handle var_name, nb::kwargs kwargs) {
    nb::object name = temporary_name(self, var_name);
    nb::object init = super_attr(classes().temp_variable, self, cached().init);
    nb::object args = tuple_of({name});
    check(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object temp_variable_enter(nb::handle self) {
    nb::object next = super_attr(classes().temp_variable, self, cached().enter);
    if (truth(next)) return check(PyObject_CallNoArgs(next.ptr()));
    return nb::borrow(self);
}

/// Removes the variable (missing is fine), then hands the exception on to the next
/// `__exit__` along the method resolution order, if any.
nb::object temp_variable_exit(nb::handle self, nb::args exc_info) {
    nb::object unset = get_attr(self, cached().unset);
    nb::dict kwargs;
    kwargs[cached().nocomplain] = nb::borrow(Py_True);
    check(PyObject_Call(unset.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    nb::object next = super_attr(classes().temp_variable, self, cached().exit);
    if (truth(next)) return check(PyObject_Call(next.ptr(), exc_info.ptr(), nullptr));
    return nb::borrow(Py_False);
}

// ---- TclArrayVariable --------------------------------------------------------------------

void array_init(nb::handle self, nb::handle var_name, nb::handle tcl, nb::handle cast) {
    nb::object init = super_attr(classes().array_variable, self, cached().init);
    nb::dict kwargs;
    kwargs["tcl"] = tcl;
    kwargs["cast"] = cast;
    nb::object args = tuple_of({var_name});
    check(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object array_len(nb::handle self) {
    return call_method(self, cached().array_size);
}

/// Iterates over the element names, asking Tcl for them once, when first advanced.
nb::object array_iter(nb::handle self) {
    nb::object once = tuple_of({self});
    nb::object lists = check(PyObject_CallFunctionObjArgs(
        cached().map_type.ptr(), classes().array_names_caller.ptr(), once.ptr(), nullptr));
    return check(PyObject_CallOneArg(cached().chain_from_iterable.ptr(), lists.ptr()));
}

/// `self.<method>(array_index=key)`.
nb::object call_with_index(nb::handle self, nb::handle method, nb::handle key,
                           nb::handle value = nb::handle()) {
    nb::object fn = get_attr(self, method);
    PyObject* stack[3];
    size_t n = 0;
    stack[n++] = nullptr;
    if (value.is_valid()) stack[n++] = value.ptr();
    stack[n++] = key.ptr();
    static nb::handle kwnames = keep(nb::make_tuple("array_index"));
    return check(PyObject_Vectorcall(fn.ptr(), stack + 1, (n - 2) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames.ptr()));
}

bool array_contains(nb::handle self, nb::handle key) {
    return truth(call_with_index(self, cached().exists, key));
}

nb::object array_getitem(nb::handle self, nb::handle key) {
    return call_with_index(self, cached().get, key);
}

void array_setitem(nb::handle self, nb::handle key, nb::handle value) {
    call_with_index(self, cached().set, key, value);
}

void array_delitem(nb::handle self, nb::handle key) {
    call_with_index(self, cached().unset, key);
}

void array_clear(nb::handle self) {
    call_method(self, cached().array_unset);
}

void array_update(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object contents = check(PyObject_Call((PyObject*)&PyDict_Type, args.ptr(), kwargs.ptr()));
    call_method(self, cached().array_set, {contents});
}

} // namespace

void add_variable_classes(nb::module_& m) {
    Classes& c = classes();
    nb::module_ abc = nb::module_::import_("abc");
    nb::module_ collections_abc = nb::module_::import_("collections.abc");
    c.array_names_caller =
        keep(nb::module_::import_("operator").attr("methodcaller")("array_names"));
    static PyMethodDef fast_methods[] = {
        {"get_obj", as_method(&guarded_fast<variable_get_obj>), METH_FASTCALL | METH_KEYWORDS,
         "get_obj(array_index=None, cast=<the handle's cast>)\n\n"
         "The value as the host returns it, converted by the cast in force."},
        {"set", as_method(&guarded_fast<variable_set>), METH_FASTCALL | METH_KEYWORDS,
         "set($self, /, value, array_index=None)\n--\n\n"
         "Stores a value in the variable or one of its elements."},
    };
    nb::object none = nb::none();
    nb::handle abc_meta = abc.attr("ABCMeta");

    // TclVariable
    ClassBuilder variable(kModule, "TclVariable",
                          nb::make_tuple(nb::handle((PyObject*)&PyBaseObject_Type)));
    variable.attr(
        "__doc__",
        nb::str("A handle on one Tcl variable, array or array element, known by its name only."));
    c.marker = keep(nb::steal(PyObject_CallNoArgs((PyObject*)&PyBaseObject_Type)));
    variable.attr("_TclVariable__marker", c.marker)
        .def("__init__", &variable_init, nb::arg("var_name").none(),
             nb::arg("array_index").none() = none, nb::arg("tcl").none() = none,
             nb::arg("cast").none() = none);
    variable.method(&fast_methods[0]);
    variable.alias("get", "get_obj")
        .def("get_str", &variable_get_str, nb::arg("array_index").none() = none,
             "The value as Tcl text.");
    variable.method(&fast_methods[1]);
    variable
        .def("unset", &variable_unset, nb::arg("array_index").none() = none,
             nb::arg("nocomplain").none() = false, "Removes the variable or one of its elements.")
        .def("exists", &variable_exists, nb::arg("array_index").none() = none,
             "Whether the variable (or element) exists in Tcl.")
        .def("array_item_byref", &variable_array_item_byref, nb::arg("array_index").none(),
             nb::arg("cast").none() = none, "A TclVariable for one element of this array.")
        .def("array_get_obj", &variable_array_get_obj, nb::arg("pattern").none() = none,
             "The array's elements as a mapping.")
        .alias("array_get", "array_get_obj")
        .def("array_get_str", &variable_array_get_str, nb::arg("pattern").none() = none,
             "The array's elements as a mapping, read through a script.")
        .def("array_set", &variable_array_set, nb::arg("value").none(),
             "Sets elements from a mapping or a flat index/value list.")
        .def("array_unset", &variable_array_unset, nb::arg("pattern").none() = none,
             "Removes matching elements, or the whole array without a pattern.")
        .def("array_size", &variable_array_size, "The number of elements.")
        .def("array_names", &variable_array_names, nb::arg("pattern").none() = none,
             "The element names.")
        .def("is_array", &variable_is_array, "Whether the variable is an array.")
        .def("absolute", &variable_absolute, "The fully qualified name.")
        .def("make_absolute", &variable_make_absolute, "Qualifies the handle's name.")
        .def("__str__", &variable_str)
        .def("__tclobj__", &variable_tclobj)
        .def("__repr__", &variable_repr);
    c.variable = keep(variable.finish());
    m.attr("TclVariable") = c.variable;

    // TempTclVariable
    ClassBuilder temp_variable(kModule, "TempTclVariable", nb::make_tuple(c.variable));
    temp_variable.attr(
        "__doc__",
        nb::str(
            "A variable handle under a unique generated name; a with block removes the variable."));
    temp_variable
        .def("__init__", &temp_variable_init, nb::arg("var_name").none() = kTemporaryName,
             nb::arg("kwargs"))
        .def("__enter__", &temp_variable_enter)
        .def("__exit__", &temp_variable_exit, nb::arg("exc_info"));
    c.temp_variable = keep(temp_variable.finish());
    m.attr("TempTclVariable") = c.temp_variable;

    // TclArrayVariable: `get` keeps the signature of TclVariable.get, not the mapping's.
    nb::object variable_get = c.variable.attr("__dict__")["get"];
    ClassBuilder array(kModule, "TclArrayVariable",
                       nb::make_tuple(collections_abc.attr("MutableMapping"), c.variable),
                       abc_meta);
    array.attr("__doc__", nb::str("A Tcl array as a mutable mapping of element index to value."));
    array
        .def("__init__", &array_init, nb::arg("var_name").none(), nb::arg("tcl").none() = none,
             nb::arg("cast").none() = none)
        .def("__len__", &array_len)
        .def("__iter__", &array_iter)
        .def("__contains__", &array_contains, nb::arg("key").none())
        .def("__getitem__", &array_getitem, nb::arg("key").none())
        .def("__setitem__", &array_setitem, nb::arg("key").none(), nb::arg("value").none())
        .def("__delitem__", &array_delitem, nb::arg("key").none())
        .def("clear", &array_clear, "Removes the whole array variable.")
        .def("update", &array_update, nb::arg("args"), nb::arg("kwargs"),
             "Sets all given pairs with one Tcl command.")
        .attr("get", variable_get);
    c.array_variable = keep(array.finish());
    m.attr("TclArrayVariable") = c.array_variable;

    // TempTclArrayVariable
    ClassBuilder temp_array(kModule, "TempTclArrayVariable",
                            nb::make_tuple(c.temp_variable, c.array_variable), abc_meta);
    temp_array.attr(
        "__doc__",
        nb::str("An array handle under a unique generated name; a with block removes the array."));
    c.temp_array_variable = keep(temp_array.finish());
    m.attr("TempTclArrayVariable") = c.temp_array_variable;
}

} // namespace tessel::ns
