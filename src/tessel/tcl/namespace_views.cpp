// namespace_views.cpp — the four views of a TclNamespace: its variables (as text or as objects),
// its commands and its procs. A view method forwards to the handle that the view's byref makes.

#include "namespace_handles.hpp"
#include "namespace_parts.hpp"

#include <stdexcept>
#include <vector>

namespace nb = nanobind;

namespace tessel::ns::space {
namespace {

/// `obj.name(*args, kw1=v1, ...)`: the last `kwnames` size items of `args` are keywords.
nb::object call_method_kw(nb::handle obj, nb::handle name, std::initializer_list<nb::handle> args,
                          nb::handle kwnames) {
    if (args.size() > kMaxCallArgs) throw std::length_error("too many call arguments");
    PyObject* stack[8];
    size_t n = 0;
    stack[n++] = obj.ptr();
    for (nb::handle a : args)
        stack[n++] = a.ptr();
    size_t positional = n - size_t(PyTuple_GET_SIZE(kwnames.ptr()));
    return check(PyObject_VectorcallMethod(name.ptr(), stack, positional, kwnames.ptr()));
}

/// A name of the module looked up at call time, so that replacing it takes effect.
nb::object module_name(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(cached().module_dict.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError,
                         "module 'tessel.tcl.namespace' has no attribute '%U'", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

/// The TypeError Python raises for a keyword given twice in one call of `callee`.
[[noreturn]] void raise_multiple_values(nb::handle callee, nb::handle key) {
    nb::object shown;
    try {
        nb::object module = get_attr(callee, nb::str("__module__"));
        nb::object qualname = get_attr(callee, nb::str("__qualname__"));
        shown = truth(module) ? nb::str("{}.{}").format(module, qualname) : qualname;
    } catch (nb::python_error&) {
        shown = check(PyObject_Repr(callee.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%S() got multiple values for keyword argument '%S'", shown.ptr(),
                 key.ptr());
    throw nb::python_error();
}

} // namespace

/// Raises `KeyError(exc)` from `exc`, as `raise KeyError(exc) from exc` does.
[[noreturn]] void raise_key_error(nb::python_error& error) {
    nb::object exc = nb::borrow(error.value());
    nb::object key_error = call(PyExc_KeyError, {exc});
    PyException_SetCause(key_error.ptr(), nb::borrow(exc).release().ptr());
    PyErr_SetObject(PyExc_KeyError, key_error.ptr());
    // Raising chains whatever the caller is handling; here the context is `exc`.
    PyException_SetContext(key_error.ptr(), nb::borrow(exc).release().ptr());
    throw nb::python_error();
}

nb::object run_listing(nb::handle view, nb::handle listing_words) {
    Cached& c = cached();
    nb::object space = get_attr(view, c.ns);
    nb::object names = call_method(space, c.call, {listing_words});
    return call_method(get_attr(space, c.tcl), c.cast_list, {names});
}

namespace {

// ---------------------------------------------------------------------------------------------
// Views: what the four views share

/// The constructor shared by the views: checks (unless assertions are off) that it
/// was given a namespace handle, runs the base constructor and keeps the handle.
/// `defining` is the view class whose constructor this is.
void view_init(nb::handle defining, nb::handle self, nb::handle ns) {
    Cached& c = cached();
    if (c.assertions) {
        int is_namespace = PyObject_IsInstance(ns.ptr(), c.namespace_cls.ptr());
        if (is_namespace < 0) throw nb::python_error();
        if (!is_namespace) {
            PyErr_SetNone(PyExc_AssertionError);
            throw nb::python_error();
        }
    }
    call_method(call(c.super_type, {defining, self}), c.init, {});
    set_attr(self, c.ns, ns);
}

/// `TclNamespace.join(self.ns, name)` for a view.
nb::object qualified(nb::handle view, nb::handle name) {
    nb::object space = get_attr(view, cached().ns);
    return normalize_text(join_part(namespace_text(space), text_of(name)));
}

/// `cls(qualified_name, *args, tcl=<the namespace's interpreter>, **kwargs)`.
nb::object make_handle(nb::handle view, nb::handle cls, nb::handle name, nb::handle args,
                       nb::handle kwargs) {
    Cached& c = cached();
    nb::object full = qualified(view, name);
    nb::object tcl = get_attr(get_attr(view, c.ns), c.tcl);
    Py_ssize_t extra = PyTuple_GET_SIZE(args.ptr());
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs.ptr());
    // One vector call: the name, the extra positionals, `tcl`, then the other keywords.
    std::vector<PyObject*> stack;
    stack.reserve(size_t(3 + extra + nkw));
    stack.push_back(nullptr); // spare slot the callee may use
    stack.push_back(full.ptr());
    for (Py_ssize_t i = 0; i < extra; ++i)
        stack.push_back(PyTuple_GET_ITEM(args.ptr(), i));
    stack.push_back(tcl.ptr());
    nb::object kwnames = check(PyTuple_New(nkw + 1));
    PyTuple_SET_ITEM(kwnames.ptr(), 0, nb::borrow(c.tcl).release().ptr());
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 1;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, c.tcl.ptr()) == 0)
            raise_multiple_values(cls, key);
        PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(key).release().ptr());
        stack.push_back(value);
    }
    size_t positional = size_t(1 + extra);
    return check(PyObject_Vectorcall(cls.ptr(), stack.data() + 1,
                                     positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

/// `self.byref(name)`, looked up on the view so that subclasses may replace it.
nb::object handle_for(nb::handle view, nb::handle name) {
    return call_method(view, cached().byref, {name});
}

/// A lazy iterator over the names the listing command gives inside the namespace:
/// nothing runs before it is first advanced.
nb::object lazy_listing(nb::handle view, nb::handle listing_words) {
    Cached& c = cached();
    nb::object once = call(c.map_type, {c.listing, tuple_of({view}), tuple_of({listing_words})});
    return call(c.chain_from_iterable, {once});
}

Py_ssize_t view_len(nb::handle self) {
    nb::object it = check(PyObject_GetIter(self.ptr()));
    Py_ssize_t count = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        Py_DECREF(item);
        ++count;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return count;
}

// ---------------------------------------------------------------------------------------------
// Forwarding: most view methods run one method of the handle that `byref` makes for the name.

/// `view.byref(name).<Method>()`.
template <nb::handle Cached::* Method> nb::object forward(nb::handle view, nb::handle name) {
    return call_method(handle_for(view, name), cached().*Method, {});
}

/// `view.byref(name).<Method>(value)`.
template <nb::handle Cached::* Method>
nb::object forward_value(nb::handle view, nb::handle name, nb::handle value) {
    return call_method(handle_for(view, name), cached().*Method, {value});
}

/// `view.byref(name).<Method>(<Keyword>=value)`.
template <nb::handle Cached::* Method, nb::handle Cached::* Keyword>
nb::object forward_keyword(nb::handle view, nb::handle name, nb::handle value) {
    Cached& c = cached();
    return call_method_kw(handle_for(view, name), c.*Method, {value}, tuple_of({c.*Keyword}));
}

/// `name in view`, through the view's own `exists`.
/// No command has the empty name (a handle cannot even be made for it): it is not in the view.
nb::object view_contains(nb::handle self, nb::handle name) {
    try {
        return call_method(self, cached().exists, {name});
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_IndexError)) throw;
    }
    return nb::bool_(false);
}

/// `del view[name]`, through the view's own `Method`; a Tcl error becomes KeyError.
template <nb::handle Cached::* Method> void delete_item(nb::handle self, nb::handle name) {
    translating([&] { return call_method(self, cached().*Method, {name}); });
}

/// `iter(view)`: the names that `info <Kind>` lists inside the namespace, run when first needed.
template <nb::handle Cached::* Kind> nb::object iterate(nb::handle self) {
    return lazy_listing(self, tuple_of({cached().qualified_info, cached().*Kind}));
}

// ---------------------------------------------------------------------------------------------
// VariablesView and ObjectsView

nb::object vars_byref(nb::handle self, nb::handle var_name, nb::args args, nb::kwargs kwargs) {
    Cached& c = cached();
    nb::object var_type;
    PyObject* given = PyDict_GetItemWithError(kwargs.ptr(), c.var_type.ptr());
    if (given) {
        var_type = nb::borrow(given);
        if (PyDict_DelItem(kwargs.ptr(), c.var_type.ptr()) < 0) throw nb::python_error();
    } else {
        if (PyErr_Occurred()) throw nb::python_error();
        var_type = module_name(c.TclVariable);
    }
    return make_handle(self, var_type, var_name, args, kwargs);
}

nb::object vars_array_byref(nb::handle self, nb::handle var_name, nb::args args,
                            nb::kwargs kwargs) {
    Cached& c = cached();
    int present = PyDict_Contains(kwargs.ptr(), c.var_type.ptr());
    if (present < 0) throw nb::python_error();
    nb::object byref = get_attr(self, c.byref);
    if (present) raise_multiple_values(byref, c.var_type);
    kwargs[c.var_type] = module_name(c.TclArrayVariable);
    return check(
        PyObject_Call(byref.ptr(), concat(tuple_of({var_name}), args).ptr(), kwargs.ptr()));
}

nb::object vars_set(nb::handle self, nb::handle var_name, nb::handle value,
                    nb::handle array_index) {
    return call_method_kw(handle_for(self, var_name), cached().set, {value, array_index},
                          tuple_of({cached().array_index}));
}

nb::object vars_unset(nb::handle self, nb::handle var_name, nb::handle array_index,
                      nb::handle nocomplain) {
    Cached& c = cached();
    return call_method_kw(handle_for(self, var_name), c.unset, {array_index, nocomplain},
                          tuple_of({c.array_index, c.nocomplain}));
}

// ---------------------------------------------------------------------------------------------
// CommandsView and ProcsView

nb::object cmds_byref(nb::handle self, nb::handle cmd_name, nb::args args, nb::kwargs kwargs) {
    return make_handle(self, module_name(cached().TclCommand), cmd_name, args, kwargs);
}

nb::object cmds_rename(nb::handle self, nb::handle cmd_name, nb::handle new_name) {
    nb::object handle = handle_for(self, cmd_name);
    return call_method(handle, cached().rename, {qualified(self, new_name)});
}

void cmds_setitem(nb::handle self, nb::handle cmd_name, nb::handle func) {
    call_method(self, cached().createcommand, {cmd_name, func});
}

// ---------------------------------------------------------------------------------------------
// `get` of the variable views: a mapping's `get` takes a default, these do not, so a call
// with one is refused in Python's words for a call with too many arguments.

nb::object vars_get(nb::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"var_name"};
    static constexpr Parameters kParameters("get", kNames, 1, 1);
    PyObject* name = nullptr;
    if (!kParameters.bind(args, nargs, kwnames, &name)) throw nb::python_error();
    return forward<&Cached::get_str>(self, name);
}

nb::object objs_get(nb::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"var_name", "array_index"};
    static constexpr Parameters kParameters("get", kNames, 2, 1);
    PyObject* bound[2] = {nullptr, Py_None};
    if (!kParameters.bind(args, nargs, kwnames, bound)) throw nb::python_error();
    return forward_keyword<&Cached::get_obj, &Cached::array_index>(self, bound[0], bound[1]);
}

PyMethodDef vars_get_method = {"get", as_method(&guarded_fast<vars_get>),
                               METH_FASTCALL | METH_KEYWORDS,
                               "get($self, /, var_name)\n--\n\nThe variable's value as text."};
PyMethodDef objs_get_method = {
    "get", as_method(&guarded_fast<objs_get>), METH_FASTCALL | METH_KEYWORDS,
    "get($self, /, var_name, array_index=None)\n--\n\nThe variable's value as the host "
    "returns it."};

// ---------------------------------------------------------------------------------------------
// Building the classes

nb::object build_variables_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "VariablesView", tuple_of({base}), abc_meta,
                   "TclNamespace.VariablesView");
    nb::handle cls = keep(b.cls()); // the class outlives every call
    b.def(
        "__init__", [cls](nb::handle self, nb::handle ns) { view_init(cls, self, ns); },
        nb::arg("ns").none());
    b.def("byref", &vars_byref, nb::arg("var_name").none(), nb::arg("args"), nb::arg("kwargs"));
    b.def("array_byref", &vars_array_byref, nb::arg("var_name").none(), nb::arg("args"),
          nb::arg("kwargs"));
    b.method(&vars_get_method);
    b.def("set", &vars_set, nb::arg("var_name").none(), nb::arg("value").none(),
          nb::arg("array_index").none() = nb::none());
    b.def("unset", &vars_unset, nb::arg("var_name").none(),
          nb::arg("array_index").none() = nb::none(), nb::arg("nocomplain").none() = false);
    b.def("array_get", &forward_keyword<&Cached::array_get_str, &Cached::pattern>,
          nb::arg("var_name").none(), nb::arg("pattern").none() = nb::none());
    b.def("array_set", &forward_value<&Cached::array_set>, nb::arg("var_name").none(),
          nb::arg("value").none());
    b.def("array_unset", &forward_keyword<&Cached::array_unset, &Cached::pattern>,
          nb::arg("var_name").none(), nb::arg("pattern").none() = nb::none());
    b.def("array_names", &forward_keyword<&Cached::array_names, &Cached::pattern>,
          nb::arg("var_name").none(), nb::arg("pattern").none() = nb::none());
    b.def("is_array", &forward<&Cached::is_array>, nb::arg("var_name").none());
    b.def("exists", &forward_keyword<&Cached::exists, &Cached::array_index>,
          nb::arg("var_name").none(), nb::arg("array_index").none() = nb::none());
    b.attr("__getitem__", variable_getitem(cls));
    b.def("__contains__", &view_contains, nb::arg("var_name").none());
    b.attr("__setitem__", variable_setitem(cls));
    b.def("__delitem__", &delete_item<&Cached::unset>, nb::arg("var_name").none());
    b.def("__iter__", &iterate<&Cached::vars>);
    b.def("__len__", &view_len);
    return b.finish();
}

nb::object build_objects_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "ObjectsView", tuple_of({base}), abc_meta, "TclNamespace.ObjectsView");
    b.method(&objs_get_method);
    b.def("array_get", &forward_keyword<&Cached::array_get_obj, &Cached::pattern>,
          nb::arg("var_name").none(), nb::arg("pattern").none() = nb::none());
    return b.finish();
}

nb::object build_commands_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "CommandsView", tuple_of({base}), abc_meta, "TclNamespace.CommandsView");
    nb::handle cls = keep(b.cls()); // the class outlives every call
    b.def(
        "__init__", [cls](nb::handle self, nb::handle ns) { view_init(cls, self, ns); },
        nb::arg("ns").none());
    b.def("byref", &cmds_byref, nb::arg("cmd_name").none(), nb::arg("args"), nb::arg("kwargs"));
    b.def("exists", &forward<&Cached::exists>, nb::arg("cmd_name").none());
    b.def("createcommand", &forward_value<&Cached::createcommand>, nb::arg("cmd_name").none(),
          nb::arg("func").none());
    b.def("delete", &forward<&Cached::delete_>, nb::arg("cmd_name").none());
    b.def("rename", &cmds_rename, nb::arg("cmd_name").none(), nb::arg("new_name").none());
    b.def("origin", &forward<&Cached::origin>, nb::arg("cmd_name").none());
    b.def("proc_body", &forward<&Cached::proc_body>, nb::arg("cmd_name").none());
    b.def("proc_args", &forward<&Cached::proc_args>, nb::arg("cmd_name").none());
    b.def("proc_arg_default", &forward_value<&Cached::proc_arg_default>, nb::arg("cmd_name").none(),
          nb::arg("arg_name").none());
    b.def("__getitem__", &handle_for, nb::arg("cmd_name").none());
    b.def("__contains__", &view_contains, nb::arg("cmd_name").none());
    b.def("__setitem__", &cmds_setitem, nb::arg("cmd_name").none(), nb::arg("func").none());
    b.def("__delitem__", &delete_item<&Cached::delete_>, nb::arg("cmd_name").none());
    b.def("__iter__", &iterate<&Cached::commands>);
    b.def("__len__", &view_len);
    return b.finish();
}

nb::object build_procs_view(const char* module, nb::handle abc_meta, nb::handle base) {
    ClassBuilder b(module, "ProcsView", tuple_of({base}), abc_meta, "TclNamespace.ProcsView");
    b.def("exists", &forward<&Cached::is_proc>, nb::arg("cmd_name").none());
    b.def("__iter__", &iterate<&Cached::procs>);
    return b.finish();
}

} // namespace

void add_views(ClassBuilder& namespace_class, const char* module) {
    nb::module_ abc = nb::module_::import_("abc");
    nb::handle abc_meta = keep(abc.attr("ABCMeta"));
    nb::object mutable_mapping = nb::module_::import_("collections.abc").attr("MutableMapping");

    nb::object variables = build_variables_view(module, abc_meta, mutable_mapping);
    nb::object objects = build_objects_view(module, abc_meta, variables);
    nb::object commands = build_commands_view(module, abc_meta, mutable_mapping);
    nb::object procs = build_procs_view(module, abc_meta, commands);
    namespace_class.attr("VariablesView", variables);
    namespace_class.attr("ObjectsView", objects);
    namespace_class.attr("CommandsView", commands);
    namespace_class.attr("ProcsView", procs);
}

} // namespace tessel::ns::space
