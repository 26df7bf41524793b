// scriptify.cpp — Python values to Tcl text and Tcl-ready values.
// Quoting follows Tcl's list-element rules, character by character, over code points.

#include "host/pyclass.hpp"
#include "host/scriptify_api.hpp"
#include "host/stack_room.hpp"
#include "host/tcl_text.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace tessel {
namespace {

constexpr unsigned USE_BRACES = 1, DONT_USE_BRACES = 2, BRACES_UNMATCHED = 4;
constexpr unsigned kBackslashOnly = DONT_USE_BRACES | BRACES_UNMATCHED;

/// Cached imports, interned names and the module namespace (for call-time lookups).
/// They are kept for the life of the process, never released at exit.
struct Names {
    nb::handle mapping, sequence, set, tcl_obj_type;
    nb::handle module_dict;
    nb::handle scriptify_hook, tclobj_hook;
    nb::handle from_sequence_name, from_mapping_name;
    nb::handle own_from_sequence, own_from_mapping;
    nb::handle use_braces, dont_use_braces, braces_unmatched, add;
    nb::handle empty, true_text, false_text;
    /// Text of the integers that calls pass most (counts, indexes, flags), made once.
    static constexpr long kSmallLow = -128, kSmallHigh = 1024;
    nb::handle small_int_texts[kSmallHigh - kSmallLow];
};

Names& names() {
    static Names cached;
    return cached;
}

/// What a recursion error while converting a nested value says of where it happened.
constexpr const char* kConverting = " while converting a value for Tcl";

nb::object check(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// What the scan of one element found: its flags, and the counts that size its quoted form.
struct ElementScan {
    unsigned flags = 0;
    Py_ssize_t specials = 0; ///< characters always backslashed in backslash quoting
    Py_ssize_t braces = 0;   ///< braces, backslashed when they are unmatched
    Py_ssize_t controls = 0; ///< control characters written as a letter escape
};

/// The characters that quoting looks at, all below 128; every other one is copied as it is.
struct SpecialCharacters {
    bool table[128] = {};
    constexpr SpecialCharacters() {
        for (char c : {'{', '}', '[', ']', '$', ';', ' ', '\f', '\n', '\r', '\t', '\v', '\\', '"'})
            table[static_cast<unsigned char>(c)] = true;
    }
    bool operator()(Py_UCS4 c) const { return c < 128 && table[c]; }
};
constexpr SpecialCharacters is_special;

/// Scans one element and decides how it must be quoted. A backslash before
/// a newline, before a brace, or at the end cannot live inside braces, since
/// Tcl's list parser skips the character after it: such elements take
/// backslash quoting.
template <typename Ch> ElementScan scan_element(const Ch* s, Py_ssize_t length) {
    ElementScan scan;
    long nesting = 0;
    if (length == 0 || s[0] == '{' || s[0] == '"') scan.flags |= USE_BRACES;
    for (Py_ssize_t p = 0; p < length; ++p) {
        Py_UCS4 c = s[p];
        if (!is_special(c)) continue;
        switch (c) {
        case '{':
            ++nesting;
            ++scan.braces;
            break;
        case '}':
            ++scan.braces;
            if (--nesting < 0) scan.flags |= kBackslashOnly;
            break;
        case '[':
        case '$':
        case ';':
        case ' ':
            scan.flags |= USE_BRACES;
            ++scan.specials;
            break;
        case '\f':
        case '\n':
        case '\r':
        case '\t':
        case '\v':
            scan.flags |= USE_BRACES;
            ++scan.controls;
            break;
        case '\\': {
            ++scan.specials;
            Py_UCS4 next = p + 1 < length ? Py_UCS4(s[p + 1]) : 0;
            if (p + 1 == length || next == '\n' || next == '{' || next == '}')
                scan.flags = kBackslashOnly;
            else
                scan.flags |= USE_BRACES;
            break;
        }
        case ']':
        case '"':
            ++scan.specials;
            break;
        default:
            break;
        }
    }
    if (nesting != 0) scan.flags = kBackslashOnly;
    return scan;
}

ElementScan scan_text(PyObject* text) {
    TextView v(text);
    switch (v.kind) {
    case PyUnicode_1BYTE_KIND:
        return scan_element(static_cast<const Py_UCS1*>(v.data), v.length);
    case PyUnicode_2BYTE_KIND:
        return scan_element(static_cast<const Py_UCS2*>(v.data), v.length);
    default:
        return scan_element(static_cast<const Py_UCS4*>(v.data), v.length);
    }
}

bool braced(unsigned flags) {
    return (flags & USE_BRACES) && !(flags & DONT_USE_BRACES);
}

/// Length of the quoted form of an element of `length` characters.
Py_ssize_t quoted_length(const ElementScan& scan, unsigned flags, Py_ssize_t length,
                         bool leading_brace) {
    if (length == 0) return 2;
    if (braced(flags)) return length + 2;
    bool unmatched = (flags & BRACES_UNMATCHED) || leading_brace;
    return length + scan.specials + scan.controls + (unmatched ? scan.braces : 0);
}

/// Writes the quoted form of one element; returns the end of what was written.
template <typename In, typename Out>
Out* convert_element(const In* s, Py_ssize_t length, unsigned flags, Out* dst) {
    if (length == 0) {
        *dst++ = '{';
        *dst++ = '}';
        return dst;
    }
    if (braced(flags)) {
        *dst++ = '{';
        for (Py_ssize_t i = 0; i < length; ++i)
            *dst++ = static_cast<Out>(s[i]);
        *dst++ = '}';
        return dst;
    }
    Py_ssize_t i = 0;
    if (s[0] == '{') {
        // A leading brace may spoil the balance: from here on every brace is escaped.
        *dst++ = '\\';
        *dst++ = '{';
        i = 1;
        flags |= BRACES_UNMATCHED;
    }
    for (; i < length; ++i) {
        Py_UCS4 c = s[i];
        switch (c) {
        case '[':
        case ']':
        case '$':
        case ';':
        case ' ':
        case '\\':
        case '"':
            *dst++ = '\\';
            *dst++ = static_cast<Out>(c);
            break;
        case '{':
        case '}':
            if (flags & BRACES_UNMATCHED) *dst++ = '\\';
            *dst++ = static_cast<Out>(c);
            break;
        case '\f':
            *dst++ = '\\';
            *dst++ = 'f';
            break;
        case '\n':
            *dst++ = '\\';
            *dst++ = 'n';
            break;
        case '\r':
            *dst++ = '\\';
            *dst++ = 'r';
            break;
        case '\t':
            *dst++ = '\\';
            *dst++ = 't';
            break;
        case '\v':
            *dst++ = '\\';
            *dst++ = 'v';
            break;
        default:
            *dst++ = static_cast<Out>(c);
        }
    }
    return dst;
}

bool leading_brace(PyObject* text) {
    return PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) == '{';
}

/// How one element is written: its flags and the length of its quoted form.
struct Quoting {
    Py_ssize_t quoted;
    unsigned flags;
};

Quoting quoting_of(PyObject* text, const ElementScan& scan, unsigned flags) {
    return {quoted_length(scan, flags, PyUnicode_GET_LENGTH(text), leading_brace(text)), flags};
}

/// Copies `length` characters unchanged; returns the end of what was written.
template <typename In, typename Out> Out* copy_text(const In* s, Py_ssize_t length, Out* dst) {
    if constexpr (sizeof(In) == sizeof(Out)) {
        std::memcpy(dst, s, size_t(length) * sizeof(Out));
        return dst + length;
    } else {
        for (Py_ssize_t i = 0; i < length; ++i)
            *dst++ = static_cast<Out>(s[i]);
        return dst;
    }
}

/// Writes the quoted form of `text`. An element that is not braced and whose quoted form is
/// as long as itself has nothing escaped: it is copied as it stands.
template <typename Out> Out* write_element(PyObject* text, const Quoting& q, Out* dst) {
    TextView v(text);
    bool verbatim = v.length > 0 && q.quoted == v.length && !braced(q.flags);
    switch (v.kind) {
    case PyUnicode_1BYTE_KIND: {
        auto s = static_cast<const Py_UCS1*>(v.data);
        return verbatim ? copy_text(s, v.length, dst) : convert_element(s, v.length, q.flags, dst);
    }
    case PyUnicode_2BYTE_KIND: {
        auto s = static_cast<const Py_UCS2*>(v.data);
        return verbatim ? copy_text(s, v.length, dst) : convert_element(s, v.length, q.flags, dst);
    }
    default: {
        auto s = static_cast<const Py_UCS4*>(v.data);
        return verbatim ? copy_text(s, v.length, dst) : convert_element(s, v.length, q.flags, dst);
    }
    }
}

/// One element of a list being rendered: its Tcl text and how it is written.
struct RenderedElement {
    nb::object text;
    Quoting quoting;
};

/// The elements of one list being rendered. Short lists, the common case of nested data
/// (keyed-list fields are pairs), stay in place; longer ones move to the heap.
class RenderedElements {
  public:
    void reserve(size_t count) {
        if (count > kInPlace) heap_.reserve(count);
    }
    void push(nb::object text, Quoting quoting) {
        if (size_ < kInPlace && heap_.empty()) {
            in_place_[size_++] = {std::move(text), quoting};
            return;
        }
        if (heap_.empty()) {
            heap_.reserve(2 * kInPlace);
            for (auto& element : in_place_)
                heap_.push_back(std::move(element));
        }
        heap_.push_back({std::move(text), quoting});
        ++size_;
    }
    size_t size() const { return size_; }
    const RenderedElement& operator[](size_t i) const {
        return heap_.empty() ? in_place_[i] : heap_[i];
    }

  private:
    static constexpr size_t kInPlace = 8;
    RenderedElement in_place_[kInPlace];
    std::vector<RenderedElement> heap_;
    size_t size_ = 0;
};

/// Quotes every element (all `str`) as its record says and joins them with single spaces.
nb::object join_quoted(const RenderedElements& elements) {
    size_t count = elements.size();
    Py_ssize_t total = count == 0 ? 0 : Py_ssize_t(count) - 1;
    Py_UCS4 max_char = 127;
    for (size_t i = 0; i < count; ++i) {
        total += elements[i].quoting.quoted;
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(elements[i].text.ptr()));
    }
    nb::object result = check(PyUnicode_New(total, max_char));
    auto write_all = [&](auto* dst) {
        for (size_t i = 0; i < count; ++i) {
            if (i) *dst++ = ' ';
            dst = write_element(elements[i].text.ptr(), elements[i].quoting, dst);
        }
    };
    void* data = PyUnicode_DATA(result.ptr());
    switch (PyUnicode_KIND(result.ptr())) {
    case PyUnicode_1BYTE_KIND:
        write_all(static_cast<Py_UCS1*>(data));
        break;
    case PyUnicode_2BYTE_KIND:
        write_all(static_cast<Py_UCS2*>(data));
        break;
    default:
        write_all(static_cast<Py_UCS4*>(data));
    }
    return result;
}

nb::object scriptify(nb::handle obj);

/// `scriptify` of a value, applied again until it is text (a `__scriptify__`
/// hook may return anything), so that it can be scanned character by character.
nb::object element_text(nb::handle obj) {
    nb::object text = scriptify(obj);
    if (!PyUnicode_Check(text.ptr())) text = scriptify(text);
    if (!PyUnicode_Check(text.ptr()))
        throw nb::type_error("a list element's Tcl text must be a str");
    return text;
}

/// The Tcl list string of an iterable: every element converted and scanned (while it is at
/// hand), then quoted and joined.
nb::object render_list(nb::handle list_obj) {
    RenderedElements elements;
    PyObject* obj = list_obj.ptr();
    auto add = [&](nb::object text) {
        ElementScan scan = scan_text(text.ptr());
        Quoting quoting = quoting_of(text.ptr(), scan, scan.flags);
        elements.push(std::move(text), quoting);
    };
    {
        RecursionGuard guard(kConverting);
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
            elements.reserve(size_t(n));
            // A list may change under a hook: index it afresh each time.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
                nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(obj, i));
                add(element_text(item));
            }
        } else {
            nb::object iterator = check(PyObject_GetIter(obj));
            while (PyObject* item = PyIter_Next(iterator.ptr()))
                add(element_text(nb::steal(item)));
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    return join_quoted(elements);
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

nb::object flag_set(unsigned flags) {
    Names& n = names();
    nb::object result = check(PySet_New(nullptr));
    if (flags & USE_BRACES) PySet_Add(result.ptr(), n.use_braces.ptr());
    if (flags & DONT_USE_BRACES) PySet_Add(result.ptr(), n.dont_use_braces.ptr());
    if (flags & BRACES_UNMATCHED) PySet_Add(result.ptr(), n.braces_unmatched.ptr());
    return result;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::tuple scan_element_py(nb::handle string) {
    nb::object text = element_text(string);
    ElementScan scan = scan_text(text.ptr());
    return nb::make_tuple(2 * PyUnicode_GET_LENGTH(text.ptr()) + 2, flag_set(scan.flags));
}

nb::object convert_element_py(nb::handle src, nb::handle flags) {
    Names& n = names();
    nb::object text = element_text(src);
    unsigned bits = (contains(flags, n.use_braces) ? USE_BRACES : 0) |
                    (contains(flags, n.dont_use_braces) ? DONT_USE_BRACES : 0) |
                    (contains(flags, n.braces_unmatched) ? BRACES_UNMATCHED : 0);
    if (!braced(bits) && leading_brace(text.ptr())) flags.attr(n.add)(n.braces_unmatched);
    RenderedElements elements;
    Quoting quoting = quoting_of(text.ptr(), scan_text(text.ptr()), bits);
    elements.push(std::move(text), quoting);
    return join_quoted(elements);
}

// C entry points for the other modules: new reference, or null with an error set.
template <nb::object (*F)(nb::handle)> PyObject* c_entry(PyObject* obj) {
    try {
        return F(obj).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

const ScriptifyApi kApi{&c_entry<scriptify>, &c_entry<tclobj>, &c_entry<render_list>};

} // namespace
} // namespace tessel

NB_MODULE(scriptify, m) {
    using namespace tessel;
    Names& n = names();
    nb::module_ abc = nb::module_::import_("collections.abc");
    nb::module_ sys = nb::module_::import_("sys");
    n.mapping = keep(abc.attr("Mapping"));
    n.sequence = keep(abc.attr("Sequence"));
    n.set = keep(abc.attr("Set"));
    n.tcl_obj_type = keep(nb::module_::import_("_tkinter").attr("Tcl_Obj"));
    n.module_dict = keep(m.attr("__dict__"));
    auto interned = [](const char* s) { return nb::handle(PyUnicode_InternFromString(s)); };
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

    m.def("_Tcl_ScanElement", &scan_element_py, nb::arg("string").none(),
          "Decides how one list element must be quoted: (space bound, flag set).");
    m.def("_Tcl_ConvertElement", &convert_element_py, nb::arg("src").none(),
          nb::arg("flags").none(),
          "The quoted form of one list element, given the flags its scan returned.");
    m.def("_tcl_UpdateStringOfList", &scriptify_from_sequence, nb::arg("listObj").none(),
          "The Tcl list string of an iterable, each element quoted like Tcl's list elements.");
    n.own_from_sequence = keep(m.attr("_tcl_UpdateStringOfList"));
    m.attr("_scriptify_from_sequence") = n.own_from_sequence;
    m.def("_scriptify_from_mapping", &scriptify_from_mapping, nb::arg("obj").none(),
          "The Tcl list key value key value ... of a mapping.");
    n.own_from_mapping = keep(m.attr("_scriptify_from_mapping"));
    nb::object scriptify_fn = function_with_attributes(
        nb::cpp_function(&scriptify, nb::name("scriptify"), nb::arg("obj").none(),
                         "The Tcl text of any Python value."));
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

    m.def("_tclobj_from_sequence", &tclobj_from_sequence, nb::arg("obj").none(),
          "A tuple of the Tcl-ready values of the elements.");
    m.def("_tclobj_from_mapping", &tclobj_from_mapping, nb::arg("obj").none(),
          "A flat tuple key, value, ... of Tcl-ready values.");
    nb::object tclobj_fn = function_with_attributes(
        nb::cpp_function(&tclobj, nb::name("tclobj"), nb::arg("obj").none(),
                         "A value the Tcl host takes as one Tcl object."));
    m.attr("tclobj") = tclobj_fn;

    scriptify_fn.attr("from_sequence") = m.attr("_scriptify_from_sequence");
    scriptify_fn.attr("from_mapping") = m.attr("_scriptify_from_mapping");
    tclobj_fn.attr("from_sequence") = m.attr("_tclobj_from_sequence");
    tclobj_fn.attr("from_mapping") = m.attr("_tclobj_from_mapping");

    m.attr("_C_API") =
        nb::steal(PyCapsule_New(const_cast<ScriptifyApi*>(&kApi), kScriptifyCapsule, nullptr));
}
