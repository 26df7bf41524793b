// namespace.cpp — the module tessel.tcl.namespace: Tcl namespaces, variables and commands as
// objects. This file holds the module, the name algebra, TclNamespace and TempTclNamespace.

#include "host/arguments.hpp"
#include "host/class_guard.hpp"
#include "host/host_eval.hpp"
#include "host/nested_values.hpp"
#include "host/tcl_errors.hpp"
#include "host/tcl_library.hpp"
#include "host/tcl_text.hpp"
#include "namespace_parts.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace tessel::ns::space {
namespace {

// ---------------------------------------------------------------------------------------------
// Paths as text

std::u32string code_points(nb::handle text) {
    TextView view(text.ptr());
    std::u32string out(size_t(view.length), U'\0');
    for (Py_ssize_t i = 0; i < view.length; ++i)
        out[size_t(i)] = view[i];
    return out;
}

nb::object to_str(const std::u32string& s) {
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), Py_ssize_t(s.size())));
}

bool starts_with_separator(const std::u32string& s) {
    return s.size() >= 2 && s[0] == ':' && s[1] == ':';
}

bool starts_with_separator(nb::handle text) {
    TextView v(text.ptr());
    return v.length >= 2 && v[0] == ':' && v[1] == ':';
}

/// `is_normal` of a str, read in place by its kind.
bool is_normal(nb::handle text) {
    PyObject* t = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    switch (PyUnicode_KIND(t)) {
    case PyUnicode_1BYTE_KIND:
        return space::is_normal(PyUnicode_1BYTE_DATA(t), n);
    case PyUnicode_2BYTE_KIND:
        return space::is_normal(PyUnicode_2BYTE_DATA(t), n);
    default:
        return space::is_normal(PyUnicode_4BYTE_DATA(t), n);
    }
}

/// `a + "::" + b` in one allocation.
nb::object joined_text(nb::handle a, nb::handle b) {
    Py_ssize_t la = PyUnicode_GET_LENGTH(a.ptr()), lb = PyUnicode_GET_LENGTH(b.ptr());
    Py_UCS4 widest = std::max(
        {PyUnicode_MAX_CHAR_VALUE(a.ptr()), PyUnicode_MAX_CHAR_VALUE(b.ptr()), Py_UCS4(127)});
    nb::object out = check(PyUnicode_New(la + 2 + lb, widest));
    if (PyUnicode_KIND(out.ptr()) == PyUnicode_1BYTE_KIND) {
        // Both parts are one byte a character as well: plain copies.
        auto* dst = static_cast<Py_UCS1*>(PyUnicode_DATA(out.ptr()));
        std::copy_n(static_cast<const Py_UCS1*>(PyUnicode_DATA(a.ptr())), la, dst);
        dst[la] = dst[la + 1] = ':';
        std::copy_n(static_cast<const Py_UCS1*>(PyUnicode_DATA(b.ptr())), lb, dst + la + 2);
        return out;
    }
    int kind = PyUnicode_KIND(out.ptr());
    void* data = PyUnicode_DATA(out.ptr());
    if (PyUnicode_CopyCharacters(out.ptr(), 0, a.ptr(), 0, la) < 0) throw nb::python_error();
    PyUnicode_WRITE(kind, data, la, ':');
    PyUnicode_WRITE(kind, data, la + 1, ':');
    if (PyUnicode_CopyCharacters(out.ptr(), la + 2, b.ptr(), 0, lb) < 0) throw nb::python_error();
    return out;
}

} // namespace

/// The normal form of a path given as str; the str itself when it already is.
nb::object normalize_text(nb::handle text) {
    if (is_normal(text)) return nb::borrow(text);
    return to_str(normalize_path(code_points(text), text));
}

/// Appends one further part to a path, as `join` does: an absolute part replaces
/// the path, an empty one is skipped.
nb::object join_part(nb::object path, nb::handle part) {
    if (starts_with_separator(part)) return nb::borrow(part);
    if (PyUnicode_GET_LENGTH(part.ptr()) == 0) return path;
    return joined_text(path, part);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Name algebra

nb::object qualifiers(nb::handle string) {
    std::u32string s = code_points(text_of(string));
    size_t p = s.rfind(U"::");
    if (p == std::u32string::npos) return nb::borrow(cached().empty);
    while (p > 0 && s[p - 1] == ':')
        --p;
    return to_str(s.substr(0, p));
}

nb::object tail(nb::handle string) {
    nb::object text = text_of(string);
    std::u32string s = code_points(text);
    size_t p = s.rfind(U"::");
    if (p == std::u32string::npos) return text;
    return to_str(s.substr(p + 2));
}

nb::list split(nb::handle string) {
    nb::object text = text_of(string);
    nb::list out;
    for (const std::u32string& part : split_path(code_points(text), text))
        out.append(to_str(part));
    return out;
}

nb::object normalize(nb::handle string) {
    return normalize_text(text_of(string));
}

// ---------------------------------------------------------------------------------------------
// TclNamespace

nb::object tk_of(nb::handle self) {
    return get_attr(get_attr(self, cached().tcl), cached().tk);
}

/// The command that runs `tclcmd` (with `args` appended) inside this namespace:
/// wrapped in `namespace eval` unless the handle names the current namespace.
nb::object in_namespace(nb::handle self, nb::handle tclcmd, nb::handle args) {
    nb::object cmd = nb::borrow(tclcmd);
    if (PyTuple_GET_SIZE(args.ptr()) > 0) cmd = concat(tuple_of({tclcmd}), args);
    nb::object name = get_attr(self, cached().ns);
    if (truth(name)) cmd = tuple_of({cached().namespace_, cached().eval, name, cmd});
    return cmd;
}

nb::object ns_eval(nb::handle self, nb::handle tclcmd, nb::args args) {
    nb::object script = text_of(in_namespace(self, tclcmd, args));
    return check(host_eval(tk_of(self).ptr(), script.ptr()));
}

nb::object ns_call(nb::handle self, nb::handle tclcmd, nb::args args) {
    nb::object cmd = tclobj_of(in_namespace(self, tclcmd, args));
    if (!tessel::host_can_take_words(cmd.ptr())) throw nb::python_error();
    return call_method(tk_of(self), cached().call, {cmd});
}

/// The handle's own `call` of one word tuple.
nb::object call_words(nb::handle self, nb::handle cmd) {
    return ns_call(self, cmd, nb::steal<nb::args>(PyTuple_New(0)));
}

/// A command run directly on the host, not inside the namespace.
nb::object host_call(nb::handle self, nb::handle cmd) {
    if (!tessel::host_can_take_words(cmd.ptr())) throw nb::python_error();
    return call_method(tk_of(self), cached().call, {cmd});
}

nb::object cast_list(nb::handle self, nb::handle value) {
    return call_method(get_attr(self, cached().tcl), cached().cast_list, {value});
}

nb::object ns_current(nb::handle self) {
    return host_call(self, tuple_of({cached().namespace_, cached().current}));
}

/// The handle's name, or the name of the current namespace when it is empty.
nb::object name_or_current(nb::handle self) {
    nb::object name = get_attr(self, cached().ns);
    if (truth(name)) return name;
    return call_method(self, cached().current, {});
}

void ns_init(nb::handle self, nb::handle ns, nb::handle tcl) {
    Cached& c = cached();
    set_attr(self, c.ns, text_of(ns));
    set_attr(self, c.tcl, interpreter_proxy(tcl));
    nb::handle views[4][2] = {{c.vars, c.VariablesView},
                              {c.objs, c.ObjectsView},
                              {c.procs, c.ProcsView},
                              {c.cmds, c.CommandsView}};
    for (auto& [attribute, view_class] : views)
        set_attr(self, attribute, call(get_attr(c.namespace_cls, view_class), {self}));
}

nb::object ns_children(nb::handle self, nb::handle pattern) {
    Cached& c = cached();
    if (pattern.is_none())
        return cast_list(self, call_words(self, tuple_of({c.namespace_, c.children})));
    // Tcl filters by pattern once it is told the namespace; inside the namespace
    // that is the name `namespace current` gives there.
    nb::object here = call_words(self, tuple_of({c.namespace_, c.current}));
    nb::object found =
        call_words(self, tuple_of({c.namespace_, c.children, here, text_of(pattern)}));
    return cast_list(self, found);
}

nb::object ns_code(nb::handle self, nb::handle script) {
    return call_words(self, tuple_of({cached().namespace_, cached().code, script}));
}

void ns_create(nb::handle self) {
    if (!truth(get_attr(self, cached().ns))) {
        PyErr_SetString(PyExc_ValueError, "Cannot create current namespace");
        throw nb::python_error();
    }
    ns_eval(self, cached().empty, nb::steal<nb::args>(PyTuple_New(0)));
}

void ns_delete(nb::handle self) {
    host_call(self, tuple_of({cached().namespace_, cached().delete_, name_or_current(self)}));
}

nb::object ns_exists(nb::handle self) {
    nb::object found =
        host_call(self, tuple_of({cached().namespace_, cached().exists, name_or_current(self)}));
    return call_method(get_attr(self, cached().tcl), cached().cast_boolean, {found});
}

nb::object ns_export(nb::handle self, nb::handle clear, nb::args patterns) {
    Cached& c = cached();
    bool clearing = truth(clear);
    nb::tuple cmd = clearing ? tuple_of({c.namespace_, c.export_, c.option_clear})
                             : tuple_of({c.namespace_, c.export_});
    nb::object result = call_words(self, concat(cmd, patterns));
    if (!clearing && patterns.size() == 0) return cast_list(self, result);
    return nb::none();
}

void ns_forget(nb::handle self, nb::args patterns) {
    call_words(self, concat(tuple_of({cached().namespace_, cached().forget}), patterns));
}

void ns_import(nb::handle self, nb::handle force, nb::args patterns) {
    Cached& c = cached();
    nb::tuple cmd = truth(force) ? tuple_of({c.namespace_, c.import, c.option_force})
                                 : tuple_of({c.namespace_, c.import});
    call_words(self, concat(cmd, patterns));
}

nb::object ns_origin(nb::handle self, nb::handle command) {
    return call_words(self, tuple_of({cached().namespace_, cached().origin, command}));
}

bool ns_is_absolute(nb::handle self) {
    nb::object name = get_attr(self, cached().ns);
    return starts_with_separator(text_of(name));
}

/// The parent of an absolute name, from the name alone, as Tcl names it: the
/// global namespace is "::" and has the empty parent. False when the name
/// algebra cannot read the name (Tcl then answers).
bool parent_from_name(nb::handle name, nb::object& out) {
    std::vector<std::u32string> parts;
    try {
        parts = split_path(code_points(name), name);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
    if (parts.size() <= 1) {
        out = nb::borrow(cached().empty);
    } else if (parts.size() == 2) {
        out = nb::borrow(cached().separator);
    } else {
        std::u32string joined;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            if (i) joined += U"::";
            joined += parts[i];
        }
        out = to_str(joined);
    }
    return true;
}

nb::object ns_parent(nb::handle self, nb::handle force_eval) {
    Cached& c = cached();
    nb::object name = get_attr(self, c.ns);
    nb::object result;
    if (!truth(force_eval) && truth(call_method(self, c.is_absolute, {})) &&
        parent_from_name(text_of(name), result))
        return result;
    nb::tuple cmd =
        truth(name) ? tuple_of({c.namespace_, c.parent, name}) : tuple_of({c.namespace_, c.parent});
    return host_call(self, tclobj_of(cmd));
}

nb::object ns_which(nb::handle self, nb::handle name, nb::handle command, nb::handle variable) {
    Cached& c = cached();
    nb::tuple cmd = tuple_of({c.namespace_, c.which});
    if (truth(command)) cmd = concat(cmd, tuple_of({c.option_command}));
    if (truth(variable)) cmd = concat(cmd, tuple_of({c.option_variable}));
    return call_words(self, concat(cmd, tuple_of({name})));
}

nb::object ns_absolute(nb::handle self) {
    nb::object name = get_attr(self, cached().ns);
    if (truth(call_method(self, cached().is_absolute, {}))) return name;
    nb::object current = call_method(self, cached().current, {});
    return normalize_text(join_part(text_of(current), text_of(name)));
}

void ns_make_absolute(nb::handle self) {
    nb::object name = call_method(self, cached().absolute, {});
    set_attr(self, cached().ns, name);
}

// ---------------------------------------------------------------------------------------------
// TempTclNamespace

nb::object super_of(nb::handle self) {
    return call(cached().super_type, {cached().temp_namespace_cls, self});
}

/// `getattr(super(), name, None)`.
nb::object super_method(nb::handle self, nb::handle name) {
    PyObject* found = PyObject_GetAttr(super_of(self).ptr(), name.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(found);
}

void temp_init(nb::handle self, nb::handle ns, nb::kwargs kwargs) {
    Cached& c = cached();
    if (!PyUnicode_Check(ns.ptr())) {
        Parameters::refuse_type("TempTclNamespace", "ns", "str", ns.ptr());
        throw nb::python_error();
    }
    nb::object class_name = get_attr(get_attr(self, c.class_), c.name);
    nb::object id = check(PyLong_FromVoidPtr(self.ptr()));
    nb::object name =
        get_attr(ns, c.format)(nb::arg("cls").none() = class_name, nb::arg("id").none() = id);
    nb::object init = get_attr(super_of(self), c.init);
    check(PyObject_Call(init.ptr(), tuple_of({name}).ptr(), kwargs.ptr()));
}

nb::object temp_enter(nb::handle self) {
    nb::object enter = super_method(self, cached().enter);
    nb::object result = truth(enter) ? call(enter, {}) : nb::borrow(self);
    call_method(self, cached().create, {});
    return result;
}

nb::object temp_exit(nb::handle self, nb::args exc_info) {
    try {
        call_method(self, cached().delete_, {});
    } catch (nb::python_error& e) {
        if (!e.matches(cached().tcl_error)) throw;
    }
    nb::object exit = super_method(self, cached().exit);
    if (truth(exit)) return check(PyObject_Call(exit.ptr(), exc_info.ptr(), nullptr));
    return nb::bool_(false);
}

nb::object build_namespace(const char* module) {
    ClassBuilder b(module, "TclNamespace", tuple_of({(PyObject*)&PyBaseObject_Type}));
    add_views(b, module);

    b.def("__init__", &ns_init, nb::arg("ns").none(), nb::arg("tcl").none() = nb::none());
    b.def_static("qualifiers", &qualifiers, nb::arg("string").none());
    b.def_static("tail", &tail, nb::arg("string").none());
    b.def_static("join", &join_names, nb::arg("string").none(), nb::arg("args"));
    b.def_static("split", &split, nb::arg("string").none());
    b.def_static("normalize", &normalize, nb::arg("string").none());
    b.def("is_absolute", &ns_is_absolute);
    b.def("is_relative",
          [](nb::handle self) { return !truth(call_method(self, cached().is_absolute, {})); });
    b.def("absolute", &ns_absolute);
    b.def("make_absolute", &ns_make_absolute);
    b.def("__str__", [](nb::handle self) { return get_attr(self, cached().ns); });

    b.def("eval", &ns_eval, nb::arg("tclcmd").none(), nb::arg("args"));
    b.def("call", &ns_call, nb::arg("tclcmd").none(), nb::arg("args"));
    b.def("children", &ns_children, nb::arg("pattern").none() = nb::none());
    b.def("code", &ns_code, nb::arg("script").none());
    b.def("current", &ns_current);
    b.def("create", &ns_create);
    b.def("delete", &ns_delete);
    b.def("exists", &ns_exists);
    b.def("export", &ns_export, nb::arg("clear").none() = false, nb::arg("patterns"));
    b.def("forget", &ns_forget, nb::arg("patterns"));
    b.def("import_", &ns_import, nb::arg("force").none() = false, nb::arg("patterns"));
    b.def("origin", &ns_origin, nb::arg("command").none());
    b.def("parent", &ns_parent, nb::arg("force_eval").none() = false);
    b.def("which", &ns_which, nb::arg("name").none(), nb::arg("command").none() = false,
          nb::arg("variable").none() = false);
    return b.finish();
}

nb::object build_temp_namespace(const char* module, nb::handle base) {
    ClassBuilder b(module, "TempTclNamespace", tuple_of({base}));
    b.def("__init__", &temp_init, nb::arg("ns").none() = "::__quillon__{cls}_{id}_tmp",
          nb::arg("kwargs"));
    b.def("__enter__", &temp_enter);
    b.def("__exit__", &temp_exit, nb::arg("exc_info"));
    return b.finish();
}

void intern_names(Cached& c) {
    const auto in = &interned;
    c.str_name = in("__str__"), c.tclobj_hook = in("__tclobj__");
    c.scriptify_hook = in("__scriptify__"), c.class_ = in("__class__"), c.name = in("__name__");
    c.init = in("__init__"), c.enter = in("__enter__"), c.exit = in("__exit__");
    c.del = in("__del__"), c.wrapped = in("__wrapped__");

    c.ns = in("ns"), c.tcl = in("tcl"), c.tk = in("tk"), c.eval = in("eval"), c.call = in("call");
    c.getvar = in("getvar"), c.setvar = in("setvar"), c.unsetvar = in("unsetvar");
    c.cast = in("cast"), c.cast_list = in("cast_list"), c.cast_boolean = in("cast_boolean");
    c.cast_array = in("cast_array"), c.current = in("current"), c.create = in("create");
    c.delete_ = in("delete"), c.format = in("format");
    c.is_absolute = in("is_absolute"), c.absolute = in("absolute");
    c.var_name = in("var_name"), c.cmd_name = in("cmd_name"), c.args = in("args");
    c.keywords = in("keywords"), c.logger = in("logger"), c.items = in("items");
    c.interpaddr = in("interpaddr"), c.info = in("info");
    c.byref = in("byref"), c.get = in("get"), c.set = in("set"), c.unset = in("unset");
    c.exists = in("exists"), c.get_str = in("get_str"), c.get_obj = in("get_obj");
    c.array_get_str = in("array_get_str"), c.array_get_obj = in("array_get_obj");
    c.array_set = in("array_set"), c.array_unset = in("array_unset");
    c.array_names = in("array_names"), c.array_size = in("array_size");
    c.is_array = in("is_array"), c.array_index = in("array_index");
    c.nocomplain = in("nocomplain"), c.pattern = in("pattern");
    c.createcommand = in("createcommand"), c.rename = in("rename"), c.origin = in("origin");
    c.is_proc = in("is_proc"), c.proc_body = in("proc_body"), c.proc_args = in("proc_args");
    c.proc_arg_default = in("proc_arg_default");
    c.build_tclcmd = in("build_tclcmd"), c.kwargs_to_dashed_args = in("kwargs_to_dashed_args");
    c.package = in("tessel.tcl"), c.TclVariable = in("TclVariable");
    c.TempTclVariable = in("TempTclVariable"), c.TclArrayVariable = in("TclArrayVariable");
    c.TclCommand = in("TclCommand"), c.var_type = in("var_type");
    c.VariablesView = in("VariablesView"), c.ObjectsView = in("ObjectsView");
    c.CommandsView = in("CommandsView"), c.ProcsView = in("ProcsView");
    c.vars = in("vars"), c.objs = in("objs"), c.procs = in("procs"), c.cmds = in("cmds");

    c.namespace_ = in("namespace"), c.children = in("children"), c.code = in("code");
    c.export_ = in("export"), c.forget = in("forget"), c.import = in("import");
    c.parent = in("parent"), c.which = in("which"), c.commands = in("commands");
    c.size = in("size"), c.names = in("names"), c.body = in("body"), c.default_ = in("default");
    c.qualified_info = in("::info"), c.qualified_array = in("::array");
    c.qualified_rename = in("::rename"), c.qualified_namespace = in("::namespace");
    c.option_clear = in("-clear"), c.option_force = in("-force");
    c.option_command = in("-command"), c.option_variable = in("-variable");
    c.empty = in(""), c.separator = in("::"), c.dash = in("-"), c.set_space = in("set ");

    c.calling_format = in("Calling: {}"), c.args_part = in(", args=");
    c.keywords_part = in(", keywords="), c.cast_part = in(", cast=");
}

} // namespace
} // namespace tessel::ns::space

namespace tessel::ns {

using namespace space;

/// Components of a path split at every "::"; empty pieces dropped, an absolute
/// path led by the empty string. A piece that still holds a colon makes the path
/// invalid; the message names `original`, or the path itself when that is null.
std::vector<std::u32string> split_path(const std::u32string& path, nb::handle original) {
    std::vector<std::u32string> parts;
    bool absolute = starts_with_separator(path);
    size_t start = 0;
    while (start <= path.size()) {
        size_t sep = path.find(U"::", start);
        size_t end = sep == std::u32string::npos ? path.size() : sep;
        if (end > start) parts.push_back(path.substr(start, end - start));
        if (sep == std::u32string::npos) break;
        start = sep + 2;
    }
    for (const std::u32string& part : parts) {
        if (part.find(U':') != std::u32string::npos) {
            nb::object shown = original.is_valid() ? nb::borrow(original) : to_str(path);
            nb::object message = nb::str("Invalid Tcl namespace '{}'").format(shown);
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            throw nb::python_error();
        }
    }
    if (absolute) parts.insert(parts.begin(), std::u32string());
    return parts;
}

std::u32string normalize_path(const std::u32string& path, nb::handle original) {
    std::u32string out;
    std::vector<std::u32string> parts = split_path(path, original);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += U"::";
        out += parts[i];
    }
    return out;
}

nb::object join_names(nb::handle first, nb::args rest) {
    nb::object path = text_of(first);
    for (nb::handle arg : rest)
        path = join_part(path, text_of(arg));
    return normalize_text(path);
}

nb::object interpreter_proxy(nb::handle tcl) {
    nb::object interp = nb::borrow(tcl);
    if (!truth(tcl)) interp = nb::module_::import_("tessel.tcl");
    int is_proxy =
        PySequence_Contains(cached().proxy_types.ptr(), (PyObject*)Py_TYPE(interp.ptr()));
    if (is_proxy < 0) throw nb::python_error();
    if (is_proxy) return interp;
    return cached().weakref_proxy(interp);
}

} // namespace tessel::ns

NB_MODULE(namespace, m) {
    tessel::bind_host_tcl();
    using namespace tessel::ns;
    using namespace tessel::ns::space;
    using tessel::keep;
    Cached& c = cached();
    c.api = tessel::import_scriptify_api();
    if (!c.api) throw nb::python_error();
    intern_names(c);
    nb::module_ weakref = nb::module_::import_("weakref");
    c.proxy_types = keep(weakref.attr("ProxyTypes"));
    c.weakref_proxy = keep(weakref.attr("proxy"));
    c.super_type = keep(nb::borrow(nb::handle((PyObject*)&PySuper_Type)));
    c.tcl_error = keep(nb::module_::import_("_tkinter").attr("TclError"));
    c.update_wrapper = keep(nb::module_::import_("functools").attr("update_wrapper"));
    nb::module_ itertools = nb::module_::import_("itertools");
    c.chain_from_iterable = keep(itertools.attr("chain").attr("from_iterable"));
    c.map_type = keep(nb::borrow(nb::handle((PyObject*)&PyMap_Type)));
    c.assertions = nb::cast<int>(nb::module_::import_("sys").attr("flags").attr("optimize")) == 0;
    c.module_dict = keep(m.attr("__dict__"));
    tessel::class_changes();   // imported now, not first on a hot path
    tessel::callback_errors(); // likewise, not first deep in a failing callback
    tessel::tcl_traceback_maker();
    tessel::interruption_taker();
    c.listing = keep(nb::cpp_function(&run_listing, nb::name("_listing")));

    add_variable_classes(m);
    add_command_classes(m);

    const char* module = "tessel.tcl.namespace";
    nb::object namespace_cls = build_namespace(module);
    c.namespace_cls = keep(namespace_cls);
    c.own_str = keep(tessel::class_attribute((PyTypeObject*)namespace_cls.ptr(), c.str_name));
    nb::object temp = build_temp_namespace(module, namespace_cls);
    c.temp_namespace_cls = keep(temp);
    m.attr("TclNamespace") = namespace_cls;
    m.attr("TempTclNamespace") = temp;
    remember_originals(namespace_cls, m);

    m.attr("__all__") = nb::list(
        nb::make_tuple("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                       "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace"));
}
