// dial.cpp — the quick-call proxy: attribute chains on an interpreter that run Tcl commands.
// interp.dial.ns.proc("a b", opt=1) runs ns::proc with the words {a b} -opt 1, recorded and cast.

#include "dial_parts.hpp"
#include "host/arguments.hpp"
#include "host/class_guard.hpp"
#include "host/native_type.hpp"
#include "host/pycall.hpp"
#include "host/pyclass.hpp"
#include "host/tcl_errors.hpp"

#include <structmember.h>

#include <cstddef>

namespace nb = nanobind;

namespace tessel::dial {
namespace {

/// `Dial`: holds a weak proxy of its interpreter; every attribute it lacks starts a `Dial_Code`.
struct DialObject {
    PyObject ob_base;
    PyObject* tcl;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* spare; ///< the Dial_Code it made last, used again once nothing else refers to it
};

/// The names of every attribute of `type` and its bases, while they cannot change: our two
/// types are immutable (as is `object`); for a subclass, an invalid handle.
nb::handle fixed_attribute_names(PyTypeObject* type) {
    const Names& n = names();
    if (type == n.dial_type) return n.dial_attribute_names;
    if (type == n.code_type) return n.code_attribute_names;
    return nb::handle();
}

/// Normal attribute lookup without the cost of an AttributeError when the name is missing:
/// the type's attributes (data descriptors and methods alike), then the instance dict.
/// Returns a new reference, or null; `*found` tells a miss from an error.
PyObject* ordinary_attribute(PyObject* self, PyObject* dict, PyObject* name, bool* found) {
    *found = true;
    PyTypeObject* type = Py_TYPE(self);
    int in_class = 0;
    if (nb::handle fixed = fixed_attribute_names(type)) {
        in_class = PySet_Contains(fixed.ptr(), name);
    } else {
        try {
            in_class = class_attribute(type, name).is_valid();
        } catch (nb::python_error& e) {
            e.restore();
            in_class = -1;
        }
    }
    if (in_class < 0) return nullptr;
    if (in_class) return PyObject_GenericGetAttr(self, name);
    if (dict) {
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    *found = false;
    return nullptr;
}

/// A new `Dial_Code` with the path [name] that runs in `tcl`.
PyObject* new_code(PyObject* name, PyObject* borrowed_tcl) {
    // held: an allocation below may collect garbage, whose finalizers may replace `dial.tcl`
    nb::object tcl = nb::borrow(borrowed_tcl);
    PyTypeObject* type = names().code_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* code = reinterpret_cast<CodeObject*>(self);
    code->tcl = tcl.release().ptr();
    code->only_name = Py_NewRef(name);
    code->vectorcall = &code_vectorcall;
    return self;
}

/// The `Dial_Code` with the path [name] that an attribute read on `dial` starts. Most are
/// called at once and dropped, so the dial keeps the one it made last and hands it out again,
/// with the new path, once nothing else refers to it: no reference, no weak reference, no
/// attribute of its own and the dial's own interpreter. It is then as good as new.
PyObject* start_code(DialObject* dial, PyObject* name) {
    if (PyObject* spare = dial->spare; spare && Py_REFCNT(spare) == 1) {
        auto* code = reinterpret_cast<CodeObject*>(spare);
        if (!code->weakrefs && !code->dict && code->tcl == dial->tcl) {
            // (the reference is taken first: releasing the old path may run code that reads
            // an attribute of this dial, which must not be handed the same object)
            PyObject* reused = Py_NewRef(spare);
            PyObject* old_cmd = code->cmd;
            PyObject* old_name = code->only_name;
            code->cmd = nullptr;
            code->only_name = Py_NewRef(name);
            Py_XDECREF(old_cmd);
            Py_XDECREF(old_name);
            return reused;
        }
    }
    PyObject* made = new_code(name, dial->tcl);
    if (made) Py_XSETREF(dial->spare, Py_NewRef(made));
    return made;
}

constexpr const char* kTcl[] = {"tcl"};

// ---- Dial ---------------------------------------------------------------------------------

PyObject* dial_new(PyTypeObject* type, PyObject*, PyObject*) {
    return type->tp_alloc(type, 0);
}

/// Dial(tcl): keeps `tcl` as a weak proxy (a proxy handed in is kept as it is, since a proxy
/// of a proxy cannot be made and would forward to the same object).
int dial_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Parameters kParameters("Dial.__init__", kTcl, 1, 1);
    PyObject* tcl = nullptr;
    if (!kParameters.bind(args, kwargs, &tcl)) return -1;
    nb::object proxy;
    if (PyWeakref_CheckProxy(tcl)) {
        proxy = nb::borrow(tcl);
    } else {
        PyObject* weakref = module_name(names().weakref_name);
        if (!weakref) return -1;
        nb::object make_proxy = nb::steal(PyObject_GetAttr(weakref, names().proxy_name.ptr()));
        if (!make_proxy.is_valid()) return -1;
        proxy = nb::steal(PyObject_CallOneArg(make_proxy.ptr(), tcl));
        if (!proxy.is_valid()) return -1;
    }
    auto* dial = reinterpret_cast<DialObject*>(self);
    Py_XSETREF(dial->tcl, proxy.release().ptr());
    return 0;
}

/// Any attribute that normal lookup does not find starts a new command path.
PyObject* dial_getattro(PyObject* self, PyObject* name) {
    auto* dial = reinterpret_cast<DialObject*>(self);
    bool found;
    PyObject* value = ordinary_attribute(self, dial->dict, name, &found);
    if (found) return value;
    if (!dial->tcl) return missing_attribute(self, "tcl");
    return start_code(dial, name);
}

PyObject* dial_getattr_method(PyObject* self, PyObject* name) {
    auto* dial = reinterpret_cast<DialObject*>(self);
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    if (!dial->tcl) return missing_attribute(self, "tcl");
    return start_code(dial, name);
}

/// The proxy itself names no command: Tcl's answer to an empty command name.
PyObject* dial_call(PyObject*, PyObject*, PyObject*) {
    PyObject* error = module_name(names().tcl_error_name);
    if (!error) return nullptr;
    nb::object exc = nb::steal(PyObject_CallOneArg(error, names().empty_command_message.ptr()));
    if (!exc.is_valid()) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    return nullptr;
}

using DialSlots = CollectedSlots<DialObject, &DialObject::weakrefs, &DialObject::tcl,
                                 &DialObject::dict, &DialObject::spare>;

// ---- Dial_Code ------------------------------------------------------------------------------

PyObject* code_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<CodeObject*>(self)->vectorcall = &code_vectorcall;
    return self;
}

/// Dial_Code(*cmd, tcl): the path components in order; `tcl` is required and keyword-only.
int code_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    // (*cmd, tcl): every positional argument is a path component, `tcl` keyword-only
    static constexpr Parameters kParameters("Dial_Code.__init__", kTcl, 0, 0, true, true);
    PyObject* tcl = nullptr;
    if (!kParameters.bind(nullptr, kwargs, &tcl)) return -1;
    PyObject* cmd = PySequence_List(args);
    if (!cmd) return -1;
    auto* code = reinterpret_cast<CodeObject*>(self);
    Py_XSETREF(code->cmd, cmd);
    Py_CLEAR(code->only_name);
    Py_XSETREF(code->tcl, Py_NewRef(tcl));
    return 0;
}

} // namespace

PyObject* command_path(PyObject* self) {
    auto* code = reinterpret_cast<CodeObject*>(self);
    if (code->cmd) return code->cmd;
    if (!code->only_name) return missing_attribute(self, "cmd");
    PyObject* cmd = PyList_New(1);
    if (!cmd) return nullptr;
    PyList_SET_ITEM(cmd, 0, code->only_name); // the reference moves into the list
    code->only_name = nullptr;
    code->cmd = cmd;
    return cmd;
}

namespace {

PyObject* code_get_cmd(PyObject* self, void*) {
    return Py_XNewRef(command_path(self));
}

int code_set_cmd(PyObject* self, PyObject* value, void*) {
    auto* code = reinterpret_cast<CodeObject*>(self);
    if (!value && !code->cmd && !code->only_name) {
        missing_attribute(self, "cmd");
        return -1;
    }
    Py_CLEAR(code->only_name);
    Py_XSETREF(code->cmd, Py_XNewRef(value));
    return 0;
}

/// Appends `name` to the path and returns the same object.
PyObject* extend_path(PyObject* self, PyObject* name) {
    PyObject* path = command_path(self);
    if (!path) return nullptr;
    if (PyList_CheckExact(path)) {
        if (PyList_Append(path, name) < 0) return nullptr;
    } else {
        nb::object cmd = nb::borrow(path); // held while its own `append` runs
        PyObject* call_args[] = {nullptr, cmd.ptr(), name};
        nb::object done = nb::steal(PyObject_VectorcallMethod(
            names().append.ptr(), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!done.is_valid()) return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* code_getattro(PyObject* self, PyObject* name) {
    bool found;
    PyObject* value =
        ordinary_attribute(self, reinterpret_cast<CodeObject*>(self)->dict, name, &found);
    if (found) return value;
    return extend_path(self, name);
}

PyObject* code_getattr_method(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    return extend_path(self, name);
}

PyObject* code_repr(PyObject* self) {
    nb::object word = nb::steal(command_word(self));
    if (!word.is_valid()) return nullptr;
    return PyUnicode_FromFormat("<tcl.Dial magic, referring Tcl code ::%U>", word.ptr());
}

using CodeSlots = CollectedSlots<CodeObject, &CodeObject::weakrefs, &CodeObject::tcl,
                                 &CodeObject::cmd, &CodeObject::only_name, &CodeObject::dict>;

// ---- type specifications --------------------------------------------------------------------

PyMemberDef dial_members[] = {
    {"tcl", T_OBJECT_EX, offsetof(DialObject, tcl), 0,
     "Weak proxy of the interpreter this proxy serves."},
    {"__dictoffset__", T_PYSSIZET, offsetof(DialObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(DialObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef code_members[] = {
    {"tcl", T_OBJECT_EX, offsetof(CodeObject, tcl), 0, "The interpreter to run the command in."},
    {"__dictoffset__", T_PYSSIZET, offsetof(CodeObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CodeObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CodeObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef code_getset[] = {
    {"cmd", code_get_cmd, code_set_cmd,
     "The command's path components, joined with '::' to form the command word.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dial_methods[] = {
    {"__getattr__", dial_getattr_method, METH_O,
     "__getattr__($self, name, /)\n--\n\nStarts a new command path at `name`."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef code_methods[] = {
    {"__getattr__", code_getattr_method, METH_O,
     "__getattr__($self, name, /)\n--\n\n"
     "Appends `name` to the command path and returns the same object."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dial_slots[] = {
    {Py_tp_doc, const_cast<char*>("Dial(tcl)\n--\n\nCalls Tcl commands as attribute chains: "
                                  "interp.dial.ns.proc(arg, opt=value).")},
    {Py_tp_new, reinterpret_cast<void*>(dial_new)},
    {Py_tp_init, reinterpret_cast<void*>(dial_init)},
    {Py_tp_getattro, reinterpret_cast<void*>(dial_getattro)},
    {Py_tp_call, reinterpret_cast<void*>(dial_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(DialSlots::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(DialSlots::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DialSlots::dealloc)},
    {Py_tp_members, dial_members},
    {Py_tp_getset, instance_dict_getset},
    {Py_tp_methods, dial_methods},
    {0, nullptr},
};

PyType_Slot code_slots[] = {
    {Py_tp_doc, const_cast<char*>("Dial_Code(*cmd, tcl)\n--\n\nOne Tcl command path; calling "
                                  "it runs the command.")},
    {Py_tp_new, reinterpret_cast<void*>(code_new)},
    {Py_tp_init, reinterpret_cast<void*>(code_init)},
    {Py_tp_getattro, reinterpret_cast<void*>(code_getattro)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(code_repr)},
    {Py_tp_str, reinterpret_cast<void*>(code_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(CodeSlots::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(CodeSlots::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CodeSlots::dealloc)},
    {Py_tp_members, code_members},
    {Py_tp_getset, code_getset},
    {Py_tp_methods, code_methods},
    {0, nullptr},
};

// Immutable, so that the attributes they have are known once for all (a subclass may differ)
constexpr unsigned kTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec dial_spec = {"tessel.tcl.dial.Dial", sizeof(DialObject), 0, kTypeFlags, dial_slots};
PyType_Spec code_spec = {"tessel.tcl.dial.Dial_Code", sizeof(CodeObject), 0,
                         kTypeFlags | Py_TPFLAGS_HAVE_VECTORCALL, code_slots};

nb::object make_type(nb::module_& m, PyType_Spec& type_spec) {
    PyObject* type = PyType_FromModuleAndSpec(m.ptr(), &type_spec, nullptr);
    if (!type) throw nb::python_error();
    return nb::steal(type);
}

/// The names of every attribute of `type` and its bases, as a frozenset.
nb::handle attribute_names(PyTypeObject* type) {
    nb::object names_ = nb::steal(PySet_New(nullptr));
    if (!names_.is_valid()) throw nb::python_error();
    nb::object mro = nb::borrow(type->tp_mro);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.ptr()); ++i) {
        nb::object space =
            class_namespace(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.ptr(), i)));
        for (nb::handle key : check(PyMapping_Keys(space.ptr())))
            if (PySet_Add(names_.ptr(), key.ptr()) < 0) throw nb::python_error();
    }
    return keep(check(PyFrozenSet_New(names_.ptr())));
}

} // namespace
} // namespace tessel::dial

NB_MODULE(dial, m) {
    using namespace tessel;
    using namespace tessel::dial;
    Names& n = names();
    n.api = import_scriptify_api();
    if (!n.api) throw nb::python_error();
    nb::module_ scriptify_module = nb::module_::import_("tessel.tcl.scriptify");
    n.own_scriptify = keep(scriptify_module.attr("scriptify"));
    n.module_dict = keep(m.attr("__dict__"));
    n.scriptify_name = interned("scriptify");
    n.tcl_error_name = interned("TclError");
    n.weakref_name = interned("weakref");
    n.proxy_name = interned("proxy");
    n.history = interned("history");
    n.append = interned("append");
    n.tk = interned("tk");
    n.call = interned("call");
    n.cast_any = interned("cast_any");
    n.vars = interned("vars");
    n.error_info = interned("::errorInfo");
    n.cast_keyword = interned("cast_");
    n.separator = interned("::");
    n.dash = interned("-");
    n.empty_command_message = interned("invalid command name \"\"");
    n.getattribute = interned("__getattribute__");
    n.apply = interned("apply");
    // answers with the very object whose name it looked up
    n.resolve_lambda = interned("word {namespace which -command $word; set word}");
    n.command_objects = interned("_command_objects");
    nb::module_ host_module = nb::module_::import_("_tkinter");
    n.host_type = reinterpret_cast<PyTypeObject*>(keep(host_module.attr("TkappType")).ptr());
    n.host_object_type = reinterpret_cast<PyTypeObject*>(keep(host_module.attr("Tcl_Obj")).ptr());
    n.host_call = keep(class_attribute(n.host_type, n.call));
    n.host_error = keep(host_module.attr("TclError"));

    m.attr("weakref") = nb::module_::import_("weakref");
    m.attr("TclError") = nb::module_::import_("tkinter").attr("TclError");
    m.attr("scriptify") = n.own_scriptify;

    nb::object dial = make_type(m, dial_spec);
    nb::object code = make_type(m, code_spec);
    n.dial_type = reinterpret_cast<PyTypeObject*>(keep(dial).ptr());
    n.code_type = reinterpret_cast<PyTypeObject*>(keep(code).ptr());
    n.dial_attribute_names = attribute_names(n.dial_type);
    class_changes();   // imported now, not first on a hot path
    callback_errors(); // likewise, not first deep in a failing callback
    tcl_traceback_maker();
    interruption_taker();
    n.code_attribute_names = attribute_names(n.code_type);
    m.attr("Dial") = nb::handle(reinterpret_cast<PyObject*>(n.dial_type));
    m.attr("Dial_Code") = nb::handle(reinterpret_cast<PyObject*>(n.code_type));
}
