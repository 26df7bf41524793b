// scriptify.cpp — Python values to Tcl text and Tcl-ready values: scriptify, tclobj, the module.
// Hooks are asked first; sequences and mappings become lists (quoted in scriptify_quoting.cpp).

#include "host/pyclass.hpp"
#include "host/pyerrors.hpp"
#include "host/stack_room.hpp"
#include "scriptify_api.hpp"
#include "scriptify_parts.hpp"

#include <string>

namespace nb = nanobind;

namespace tessel::scripting {
namespace {

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// Calls the function now stored under `name` in the module, or `own` directly
/// when nobody replaced it.
nb::object call_module_function(nb::handle name, nb::handle own, nb::handle arg,
                                nb::object (*direct)(nb::handle)) {
    PyObject* current = PyDict_GetItemWithError(names().module_dict.ptr(), name.ptr());
    if (!current) {
        if (PyErr_Occurred()) throw nb::python_error();
        PyErr_SetObject(PyExc_NameError, name.ptr());
        throw nb::python_error();
    }
    if (current == own.ptr()) return direct(arg);
    return check(PyObject_CallOneArg(current, arg.ptr()));
}

/// Flat key, value, key, value list of a mapping, values fetched by subscription.
nb::list mapping_pairs(nb::handle mapping) {
    nb::list pairs;
    PyObject* obj = mapping.ptr();
    nb::object iterator = check(PyObject_GetIter(obj));
    while (PyObject* raw_key = PyIter_Next(iterator.ptr())) {
        nb::object key = nb::steal(raw_key);
        nb::object value = check(PyObject_GetItem(obj, key.ptr()));
        pairs.append(key);
        pairs.append(value);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return pairs;
}

nb::object scriptify_from_sequence(nb::handle obj);

nb::object scriptify_from_mapping(nb::handle obj) {
    nb::list pairs = mapping_pairs(obj);
    Names& n = names();
    return call_module_function(n.from_sequence_name, n.own_from_sequence, pairs,
                                &scriptify_from_sequence);
}

nb::object scriptify_from_sequence(nb::handle obj) {
    return render_list(obj);
}

/// Builtin types that cannot carry conversion hooks.
bool hookless(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           obj == Py_None || t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type ||
           t == &PyBytes_Type || t == &PySet_Type || t == &PyFrozenSet_Type;
}

nb::object scriptify(nb::handle handle) {
    PyObject* obj = handle.ptr();
    Names& n = names();
    if (PyUnicode_CheckExact(obj)) return nb::borrow(handle);
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(obj, &overflow);
        if (!overflow && value >= Names::kSmallLow && value < Names::kSmallHigh)
            return nb::borrow(n.small_int_texts[value - Names::kSmallLow]);
        if (value == -1 && PyErr_Occurred()) throw nb::python_error();
        return check(PyObject_Str(obj));
    }
    if (!hookless(obj)) {
        nb::object hook;
        if (true_attribute(handle, n.scriptify_hook, hook))
            return check(PyObject_CallNoArgs(hook.ptr()));
        if (true_attribute(handle, n.tclobj_hook, hook)) {
            nb::object value = check(PyObject_CallNoArgs(hook.ptr()));
            RecursionGuard guard(kConverting);
            return scriptify(value);
        }
    }
    if (obj == Py_None) return nb::borrow(n.empty);
    if (PyUnicode_Check(obj)) return check(PyObject_Str(obj));
    if (PyBool_Check(obj)) return nb::borrow(obj == Py_True ? n.true_text : n.false_text);
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyAnySet_CheckExact(obj) ||
        PyBytes_CheckExact(obj) ||
        (!PyLong_CheckExact(obj) && !PyFloat_CheckExact(obj) && !PyDict_CheckExact(obj) &&
         (is_instance(handle, n.sequence) || is_instance(handle, n.set))))
        return call_module_function(n.from_sequence_name, n.own_from_sequence, handle,
                                    &scriptify_from_sequence);
    if (PyDict_CheckExact(obj) ||
        (!PyLong_CheckExact(obj) && !PyFloat_CheckExact(obj) && is_instance(handle, n.mapping)))
        return call_module_function(n.from_mapping_name, n.own_from_mapping, handle,
                                    &scriptify_from_mapping);
    return check(PyObject_Str(obj));
}

nb::object tclobj(nb::handle obj);

nb::object tclobj_from_sequence(nb::handle obj) {
    RecursionGuard guard(kConverting);
    nb::list items;
    nb::object iterator = check(PyObject_GetIter(obj.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr()))
        items.append(tclobj(nb::steal(item)));
    if (PyErr_Occurred()) throw nb::python_error();
    return check(PyList_AsTuple(items.ptr()));
}

nb::object tclobj_from_mapping(nb::handle obj) {
    return tclobj_from_sequence(mapping_pairs(obj));
}

nb::object tclobj(nb::handle handle) {
    PyObject* obj = handle.ptr();
    Names& n = names();
    if (!hookless(obj)) {
        nb::object hook;
        if (true_attribute(handle, n.tclobj_hook, hook))
            return check(PyObject_CallNoArgs(hook.ptr()));
    }
    if (obj == Py_None) return nb::borrow(n.empty);
    // The builtin containers and numbers are never Tcl objects: only other types need the
    // (costly) instance test.
    if (PyBytes_Check(obj) || PyBool_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) ||
        Py_TYPE(obj) == (PyTypeObject*)n.tcl_obj_type.ptr() ||
        (!hookless(obj) && is_instance(handle, n.tcl_obj_type)))
        return nb::borrow(handle);
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (!overflow) return nb::borrow(handle);
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyAnySet_CheckExact(obj) ||
        (!PyLong_Check(obj) && !PyDict_CheckExact(obj) &&
         (is_instance(handle, n.sequence) || is_instance(handle, n.set))))
        return tclobj_from_sequence(handle);
    if (PyDict_CheckExact(obj) || (!PyLong_Check(obj) && is_instance(handle, n.mapping)))
        return tclobj_from_mapping(handle);
    return scriptify(handle);
}

// C entry points for the other modules: new reference, or null with an error set.
template <nb::object (*F)(nb::handle)> PyObject* c_entry(PyObject* obj) {
    return guarded([&] { return F(obj); });
}

const ScriptifyApi kApi{&c_entry<scriptify>, &c_entry<tclobj>, &c_entry<render_list>};

} // namespace

/// `scriptify` of a value, applied again until it is text (a `__scriptify__`
/// hook may return anything), so that it can be scanned character by character.
nb::object element_text(nb::handle obj) {
    nb::object text = scriptify(obj);
    if (!PyUnicode_Check(text.ptr())) text = scriptify(text);
    if (!PyUnicode_Check(text.ptr()))
        throw nb::type_error("a list element's Tcl text must be a str");
    return text;
}

} // namespace tessel::scripting

NB_MODULE(scriptify, m) {
    using namespace tessel;
    using namespace tessel::scripting;
    Names& n = names();
    nb::module_ abc = nb::module_::import_("collections.abc");
    nb::module_ sys = nb::module_::import_("sys");
    n.mapping = keep(abc.attr("Mapping"));
    n.sequence = keep(abc.attr("Sequence"));
    n.set = keep(abc.attr("Set"));
    n.tcl_obj_type = keep(nb::module_::import_("_tkinter").attr("Tcl_Obj"));
    n.module_dict = keep(m.attr("__dict__"));
    n.scriptify_hook = interned("__scriptify__");
    n.tclobj_hook = interned("__tclobj__");
    n.from_sequence_name = interned("_scriptify_from_sequence");
    n.from_mapping_name = interned("_scriptify_from_mapping");
    n.use_braces = interned("USE_BRACES");
    n.dont_use_braces = interned("TCL_DONT_USE_BRACES");
    n.braces_unmatched = interned("BRACES_UNMATCHED");
    n.add = interned("add");
    for (long value = Names::kSmallLow; value < Names::kSmallHigh; ++value)
        n.small_int_texts[value - Names::kSmallLow] = keep(nb::str(std::to_string(value).c_str()));
    n.empty = interned("");
    n.true_text = interned("true");
    n.false_text = interned("false");

    m.attr("Mapping") = n.mapping;
    m.attr("Sequence") = n.sequence;
    m.attr("Set") = n.set;
    m.attr("_tkTcl_Obj") = n.tcl_obj_type;
    m.attr("sys") = sys;
    m.attr("unicode") = nb::handle((PyObject*)&PyUnicode_Type);

    def_function(m, "_Tcl_ScanElement", &scan_element_py, nb::arg("string").none(),
                 "Decides how one list element must be quoted: (space bound, flag set).");
    def_function(m, "_Tcl_ConvertElement", &convert_element_py, nb::arg("src").none(),
                 nb::arg("flags").none(),
                 "The quoted form of one list element, given the flags its scan returned.");
    def_function(
        m, "_tcl_UpdateStringOfList", &scriptify_from_sequence, nb::arg("listObj").none(),
        "The Tcl list string of an iterable, each element quoted like Tcl's list elements.");
    n.own_from_sequence = keep(m.attr("_tcl_UpdateStringOfList"));
    m.attr("_scriptify_from_sequence") = n.own_from_sequence;
    def_function(m, "_scriptify_from_mapping", &scriptify_from_mapping, nb::arg("obj").none(),
                 "The Tcl list key value key value ... of a mapping.");
    n.own_from_mapping = keep(m.attr("_scriptify_from_mapping"));
    nb::object scriptify_fn = function_with_attributes(ClassBuilder::function<false>(
        m, "scriptify", &scriptify, nb::arg("obj").none(), "The Tcl text of any Python value."));
    m.attr("scriptify") = scriptify_fn;

    nb::object max_size;
    try {
        max_size = sys.attr("maxsize");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        max_size = sys.attr("maxint");
    }
    m.attr("_sysmaxsize") = max_size;
    m.attr("_long_type") = nb::borrow(max_size + nb::int_(1)).type();

    def_function(m, "_tclobj_from_sequence", &tclobj_from_sequence, nb::arg("obj").none(),
                 "A tuple of the Tcl-ready values of the elements.");
    def_function(m, "_tclobj_from_mapping", &tclobj_from_mapping, nb::arg("obj").none(),
                 "A flat tuple key, value, ... of Tcl-ready values.");
    nb::object tclobj_fn = function_with_attributes(
        ClassBuilder::function<false>(m, "tclobj", &tclobj, nb::arg("obj").none(),
                                      "A value the Tcl host takes as one Tcl object."));
    m.attr("tclobj") = tclobj_fn;

    scriptify_fn.attr("from_sequence") = m.attr("_scriptify_from_sequence");
    scriptify_fn.attr("from_mapping") = m.attr("_scriptify_from_mapping");
    tclobj_fn.attr("from_sequence") = m.attr("_tclobj_from_sequence");
    tclobj_fn.attr("from_mapping") = m.attr("_tclobj_from_mapping");

    m.attr("_C_API") =
        nb::steal(PyCapsule_New(const_cast<ScriptifyApi*>(&kApi), kScriptifyCapsule, nullptr));
}
