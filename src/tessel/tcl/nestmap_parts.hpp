// nestmap_parts.hpp — what the two sources of the tessel.tcl.nestmap module share.
// nestmap.cpp owns the module and the data model; nestmap_keyed_list.cpp reads and renders Tcl.
#pragma once

#include "host/pycall.hpp"
#include "host/stack_room.hpp"
#include "scriptify_api.hpp"

namespace tessel::nestmap {
namespace nb = nanobind;

/// Cached imports, the class itself and interned names, kept for the life of the process.
struct Names {
    nb::handle cls;
    PyTypeObject* type = nullptr;
    nb::handle mapping, tcl_obj_type, attr_dict_init;
    nb::handle dot, split, keys, all_keys, all_items, update, contains, type_name;
    nb::handle keyed_list_type, cast_list, package, interpreter_module, internal_module;
    nb::handle interpreter_class, list_splitter;
    nb::handle empty_tuple, split_args;
    const ScriptifyApi* api = nullptr;
};

inline Names& names() {
    static Names cached;
    return cached;
}

inline int check_int(int result) {
    if (result < 0) throw nb::python_error();
    return result;
}

/// True for an instance of exactly NestMap: its methods are ours and can be called directly.
inline bool exact(PyObject* obj) {
    return Py_TYPE(obj) == names().type;
}

/// A new, empty NestMap, made without a trip through its constructor.
inline nb::object new_nestmap() {
    Names& n = names();
    return check(n.type->tp_new(n.type, n.empty_tuple.ptr(), nullptr));
}

/// `self[key] = other[key]` for every key of a plain dict, in order. (nestmap.cpp)
void update_from_dict(PyObject* self, PyObject* other);

/// `NestMap.from_tcl`: reads a keyed list (text or Tcl object); raises when it is not one.
/// (nestmap_keyed_list.cpp)
nb::object from_tcl(nb::handle string);

/// `NestMap.from_tcl` as bound: a failure goes back to Python without a C++ exception.
/// (nestmap_keyed_list.cpp)
nb::object from_tcl_py(nb::handle string);

/// `NestMap.__tclobj__`: the fields as (key, value) pairs of Tcl-ready values, nested levels
/// as nested tuples. (nestmap_keyed_list.cpp)
nb::object tclobj_hook(nb::handle self);

} // namespace tessel::nestmap
