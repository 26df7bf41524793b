// scriptify_quoting.cpp — Tcl list text from the texts of its elements, each quoted like
// Tcl's list elements: braces or backslashes, decided character by character, over code points.

#include "host/stack_room.hpp"
#include "host/tcl_text.hpp"
#include "scriptify_parts.hpp"

#include <cstring>
#include <vector>

namespace nb = nanobind;

namespace tessel::scripting {
namespace {

constexpr unsigned USE_BRACES = 1, DONT_USE_BRACES = 2, BRACES_UNMATCHED = 4;
constexpr unsigned kBackslashOnly = DONT_USE_BRACES | BRACES_UNMATCHED;

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

} // namespace

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

} // namespace tessel::scripting
