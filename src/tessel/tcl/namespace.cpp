// namespace.cpp — the module tessel.tcl.namespace: Tcl namespaces, variables and commands as
// objects. This file holds the module, the name algebra and TclNamespace; the handles live beside
// it.

#include "host/scriptify_api.hpp"
#include "host/tcl_text.hpp"
#include "namespace_parts.hpp"

#include <string>
#include <vector>

namespace nb = nanobind;

namespace tessel::ns {
namespace {

/// Cached imports, kept for the life of the process.
struct Cached {
    const ScriptifyApi* api = nullptr;
    nb::handle proxy_types, weakref_proxy;
};

Cached& cached() {
    static Cached c;
    return c;
}

nb::object check(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

/// `scriptify(value)` as a Python str.
nb::object text_of(nb::handle value) {
    nb::object text = check(cached().api->scriptify(value.ptr()));
    if (!PyUnicode_Check(text.ptr())) text = check(PyObject_Str(text.ptr()));
    return text;
}

std::u32string code_points(nb::handle text) {
    TextView view(text.ptr());
    std::u32string out(view.length, U'\0');
    for (Py_ssize_t i = 0; i < view.length; ++i)
        out[i] = view[i];
    return out;
}

nb::object to_str(const std::u32string& s) {
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), Py_ssize_t(s.size())));
}

bool starts_with_separator(const std::u32string& s) {
    return s.size() >= 2 && s[0] == ':' && s[1] == ':';
}

} // namespace

/// Components of a path split at every "::"; empty pieces dropped, an absolute
/// path led by the empty string. A piece that still holds a colon is invalid.
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
            nb::object message = nb::str("Invalid Tcl namespace '{}'").format(original);
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
    std::u32string path = code_points(text_of(first));
    for (nb::handle arg : rest) {
        std::u32string part = code_points(text_of(arg));
        if (starts_with_separator(part))
            path = part;
        else if (!part.empty())
            path += U"::" + part;
    }
    nb::object combined = to_str(path);
    return to_str(normalize_path(path, combined));
}

nb::object interpreter_proxy(nb::handle tcl) {
    nb::object interp = nb::borrow(tcl);
    int truth = PyObject_IsTrue(tcl.ptr());
    if (truth < 0) throw nb::python_error();
    if (!truth) interp = nb::module_::import_("tessel.tcl");
    int is_proxy =
        PySequence_Contains(cached().proxy_types.ptr(), (PyObject*)Py_TYPE(interp.ptr()));
    if (is_proxy < 0) throw nb::python_error();
    if (is_proxy) return interp;
    return cached().weakref_proxy(interp);
}

} // namespace tessel::ns

NB_MODULE(namespace, m) {
    using namespace tessel::ns;
    Cached& c = cached();
    c.api = tessel::import_scriptify_api();
    if (!c.api) throw nb::python_error();
    nb::module_ weakref = nb::module_::import_("weakref");
    c.proxy_types = tessel::keep(weakref.attr("ProxyTypes"));
    c.weakref_proxy = tessel::keep(weakref.attr("proxy"));

    add_variable_classes(m);
    add_command_classes(m);
    // TclNamespace, its views and TempTclNamespace come next.
}
