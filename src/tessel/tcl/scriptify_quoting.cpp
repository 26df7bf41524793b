// scriptify_quoting.cpp — Tcl list text from the texts of its elements, each quoted like
// Tcl's list elements: braces or backslashes, decided character by character, over code points.

#include "host/stack_room.hpp"
#include "host/tcl_text.hpp"
#include "scriptify_parts.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
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

/// What a scan found before it is read as flags: the counts, and the state the scan ended
/// in. That state is enough to tell the scan of texts joined with blanks from the scans of
/// the texts (see ListScan).
struct TextScan {
    Py_ssize_t specials = 0, braces = 0, controls = 0;
    Py_ssize_t nesting = 0;  ///< braces opened less braces closed
    Py_ssize_t lowest = 0;   ///< the lowest nesting on the way (never above 0)
    bool use_braces = false; ///< USE_BRACES as the scan left it
    bool escapes = false;    ///< a backslash before a newline or a brace
    bool ends_in_backslash = false;
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

/// Scans one element, counting what decides its quoting. A backslash before
/// a newline, before a brace, or at the end cannot live inside braces, since
/// Tcl's list parser skips the character after it: such elements take
/// backslash quoting (and the backslash clears USE_BRACES found before it).
template <typename Ch> TextScan scan_element(const Ch* s, Py_ssize_t length) {
    TextScan scan;
    scan.use_braces = length == 0 || s[0] == '{' || s[0] == '"';
    for (Py_ssize_t p = 0; p < length; ++p) {
        Py_UCS4 c = s[p];
        if (!is_special(c)) continue;
        switch (c) {
        case '{':
            ++scan.nesting;
            ++scan.braces;
            break;
        case '}':
            ++scan.braces;
            if (--scan.nesting < scan.lowest) scan.lowest = scan.nesting;
            break;
        case '[':
        case '$':
        case ';':
        case ' ':
            scan.use_braces = true;
            ++scan.specials;
            break;
        case '\f':
        case '\n':
        case '\r':
        case '\t':
        case '\v':
            scan.use_braces = true;
            ++scan.controls;
            break;
        case '\\': {
            ++scan.specials;
            if (p + 1 == length) {
                scan.ends_in_backslash = true;
                scan.use_braces = false;
                break;
            }
            Py_UCS4 next = s[p + 1];
            bool escapes = next == '\n' || next == '{' || next == '}';
            scan.escapes |= escapes;
            scan.use_braces = !escapes;
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
    return scan;
}

/// The flags a scan decides: unbalanced braces and a backslash that escapes forbid braces.
ElementScan element_scan(const TextScan& scan) {
    unsigned flags = scan.nesting != 0 || scan.ends_in_backslash
                         ? kBackslashOnly
                         : (scan.use_braces ? USE_BRACES : 0) |
                               (scan.escapes || scan.lowest < 0 ? kBackslashOnly : 0);
    return {flags, scan.specials, scan.braces, scan.controls};
}

TextScan scan_text_state(PyObject* text) {
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

ElementScan scan_text(PyObject* text) {
    return element_scan(scan_text_state(text));
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

/// Lists nested in a list being rendered, written as code points in their final quoted
/// form: each nested list is written where it stands and quoted in place, so that no
/// intermediate str is made for any level below the top.
class NestedText {
  public:
    /// Starts on the storage the thread's last nested text left, if any: the text of a
    /// large structure is then not grown (and its memory not touched afresh) call after call.
    NestedText() {
        Storage& spare = spare_storage();
        data_ = std::move(spare.data);
        capacity_ = std::exchange(spare.capacity, 0);
    }
    ~NestedText() {
        Storage& spare = spare_storage();
        if (capacity_ <= kKeptCapacity && capacity_ > spare.capacity) {
            spare.data = std::move(data_);
            spare.capacity = capacity_;
        }
    }
    NestedText(const NestedText&) = delete;
    NestedText& operator=(const NestedText&) = delete;

    Py_UCS4* data() { return data_.get(); }
    const Py_UCS4* data() const { return data_.get(); }
    Py_ssize_t size() const { return size_; }
    Py_UCS4 max_char() const { return max_char_; }

    /// Room for `count` more code points after the end; `end_at` then marks how far they
    /// were written. (The room moves when the text grows.)
    Py_UCS4* room(Py_ssize_t count) {
        if (count > capacity_ - size_) grow(count);
        return data_.get() + size_;
    }
    void end_at(const Py_UCS4* end) { size_ = end - data_.get(); }
    void truncate(Py_ssize_t size) { size_ = size; }
    void push(Py_UCS4 c) { *room(1) = c, ++size_; }
    /// Notes the widest code point a copied text may hold: the result's storage must fit it.
    void note_max_char(Py_UCS4 c) { max_char_ = std::max(max_char_, c); }

  private:
    struct Storage {
        std::unique_ptr<Py_UCS4[]> data;
        Py_ssize_t capacity = 0;
    };
    /// Storage kept between calls up to this many code points (1 MiB), never more.
    static constexpr Py_ssize_t kKeptCapacity = Py_ssize_t(1) << 18;
    /// Per thread: a text being written while another is (a hook that renders a list)
    /// simply starts without the spare.
    static Storage& spare_storage() {
        thread_local Storage spare;
        return spare;
    }

    void grow(Py_ssize_t count) {
        Py_ssize_t capacity = std::max<Py_ssize_t>({256, 2 * capacity_, size_ + count});
        auto data = std::make_unique_for_overwrite<Py_UCS4[]>(size_t(capacity));
        if (size_) std::memcpy(data.get(), data_.get(), size_t(size_) * sizeof(Py_UCS4));
        data_ = std::move(data);
        capacity_ = capacity;
    }

    std::unique_ptr<Py_UCS4[]> data_;
    Py_ssize_t size_ = 0, capacity_ = 0;
    Py_UCS4 max_char_ = 127;
};

/// The scan of a text that stands in braces, "{text}", from the scan of the text: braced
/// text has no escaping backslash and balanced braces, so the braces change nothing else.
TextScan scan_in_braces(const TextScan& text) {
    TextScan scan = text;
    scan.braces += 2;
    scan.nesting = scan.lowest = 0;
    scan.use_braces = true; // (a leading brace)
    scan.escapes = scan.ends_in_backslash = false;
    return scan;
}

/// The scan of the quoted form of a text, written from `start` to the end of `out`, given
/// the scan of the text: derived from it where the quoted form is the text braced or the
/// text itself, scanned afresh where backslashes were added.
TextScan scan_of_quoted(const NestedText& out, Py_ssize_t start, Py_ssize_t length,
                        const TextScan& text, unsigned flags) {
    Py_ssize_t quoted = out.size() - start;
    if (length == 0 || braced(flags)) return scan_in_braces(text);
    if (quoted == length) return text;
    return scan_element(out.data() + start, quoted);
}

/// The scan of a list's text, put together from the scans of its elements' quoted forms as
/// they are written one after another with a blank between: no character is scanned twice.
/// It holds because the scan reads each character in order, looking ahead only from a
/// backslash: a blank after an element makes its final backslash an ordinary one, and an
/// element after a blank starts with USE_BRACES set, which only a backslash that escapes
/// (recorded in that element's own scan) clears again.
class ListScan {
  public:
    void add(const TextScan& element) {
        if (count_++ == 0) {
            total_ = element;
            return;
        }
        total_.specials += element.specials + 1; // (the blank)
        total_.braces += element.braces;
        total_.controls += element.controls;
        total_.lowest = std::min(total_.lowest, total_.nesting + element.lowest);
        total_.nesting += element.nesting;
        total_.escapes |= element.escapes;
        total_.ends_in_backslash = element.ends_in_backslash;
        total_.use_braces =
            element.escapes || element.ends_in_backslash ? element.use_braces : true;
    }
    /// The scan of the list's text (of the empty text for no elements).
    TextScan result() const {
        if (count_ > 0) return total_;
        TextScan empty;
        empty.use_braces = true;
        return empty;
    }

  private:
    TextScan total_;
    Py_ssize_t count_ = 0;
};

/// Appends the quoted form of one element's text; returns the scan of what it appended.
TextScan write_quoted(NestedText& out, PyObject* text) {
    TextScan scan = scan_text_state(text);
    ElementScan element = element_scan(scan);
    Quoting quoting = quoting_of(text, element, element.flags);
    Py_ssize_t start = out.size();
    out.end_at(write_element(text, quoting, out.room(quoting.quoted)));
    out.note_max_char(PyUnicode_MAX_CHAR_VALUE(text));
    return scan_of_quoted(out, start, PyUnicode_GET_LENGTH(text), scan, element.flags);
}

/// Quotes in place the list text written after `start`, where a placeholder stands (it
/// becomes the opening brace, or the text moves onto it), given the scan of that text.
/// Returns the scan of the quoted form.
TextScan quote_in_place(NestedText& out, Py_ssize_t start, const TextScan& list) {
    const Py_UCS4* s = out.data() + start + 1;
    Py_ssize_t length = out.size() - start - 1;
    ElementScan element = element_scan(list);
    if (length == 0 || braced(element.flags)) {
        out.data()[start] = '{';
        out.push('}');
        return scan_in_braces(list);
    }
    if (quoted_length(element, element.flags, length, s[0] == '{') == length) {
        std::memmove(out.data() + start, s, size_t(length) * sizeof(Py_UCS4));
        out.truncate(start + length);
        return list;
    }
    // (room for the longest quoted form, every character escaped: it does not rest on the
    // counts put together above)
    std::vector<Py_UCS4> plain(s, s + length);
    out.truncate(start);
    out.end_at(convert_element(plain.data(), length, element.flags, out.room(2 * length + 2)));
    return scan_element(out.data() + start, out.size() - start);
}

/// True when `item` is a list or tuple that `scriptify` would hand to this module's own
/// list renderer: exactly a list or tuple, and `_scriptify_from_sequence` not replaced.
bool own_nested_list(PyObject* item) {
    if (!PyList_CheckExact(item) && !PyTuple_CheckExact(item)) return false;
    Names& n = names();
    PyObject* current = PyDict_GetItemWithError(n.module_dict.ptr(), n.from_sequence_name.ptr());
    if (!current && PyErr_Occurred()) throw nb::python_error();
    return current == n.own_from_sequence.ptr();
}

TextScan write_nested(NestedText& out, PyObject* list);

/// Appends the quoted form of one list element; returns the scan of what it appended.
TextScan write_item(NestedText& out, nb::handle item) {
    if (PyUnicode_CheckExact(item.ptr())) return write_quoted(out, item.ptr());
    if (own_nested_list(item.ptr())) return write_nested(out, item.ptr());
    return write_quoted(out, element_text(item).ptr());
}

/// Appends the quoted form of a nested list (exactly a list or tuple): its elements
/// written after a placeholder, then quoted in place. Returns the scan of what it appended.
TextScan write_nested(NestedText& out, PyObject* list) {
    RecursionGuard guard(kConverting);
    Py_ssize_t start = out.size();
    out.push(0);
    ListScan scan;
    // A list may change under a hook: index it afresh each time.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list); ++i) {
        if (i) out.push(' ');
        scan.add(write_item(out, nb::borrow(PySequence_Fast_GET_ITEM(list, i))));
    }
    return quote_in_place(out, start, scan.result());
}

/// Writes a list nested in the list being rendered into `nested` (made at the first one);
/// returns the length of its quoted form.
Py_ssize_t write_nested_element(std::unique_ptr<NestedText>& nested, PyObject* list) {
    if (!nested) nested = std::make_unique<NestedText>();
    Py_ssize_t start = nested->size();
    write_nested(*nested, list);
    return nested->size() - start;
}

/// One element of a list being rendered: its Tcl text and how it is written; or, with
/// text null, the length of its quoted form, which stands next in the nested text.
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

/// Quotes every element as its record says (a `str`, or already quoted in `nested`) and
/// joins them with single spaces.
nb::object join_quoted(const RenderedElements& elements, const NestedText* nested = nullptr) {
    size_t count = elements.size();
    Py_ssize_t total = count == 0 ? 0 : Py_ssize_t(count) - 1;
    Py_UCS4 max_char = nested ? nested->max_char() : 127;
    for (size_t i = 0; i < count; ++i) {
        total += elements[i].quoting.quoted;
        if (elements[i].text.is_valid())
            max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(elements[i].text.ptr()));
    }
    nb::object result = check(PyUnicode_New(total, max_char));
    auto write_all = [&](auto* dst) {
        const Py_UCS4* next_nested = nested ? nested->data() : nullptr;
        for (size_t i = 0; i < count; ++i) {
            if (i) *dst++ = ' ';
            const RenderedElement& element = elements[i];
            if (element.text.is_valid()) {
                dst = write_element(element.text.ptr(), element.quoting, dst);
            } else {
                dst = copy_text(next_nested, element.quoting.quoted, dst);
                next_nested += element.quoting.quoted;
            }
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
/// hand), then quoted and joined. Lists nested in it (at any depth) are written in their
/// quoted form as they come, without a str of their own.
nb::object render_list(nb::handle list_obj) {
    RenderedElements elements;
    std::unique_ptr<NestedText> nested; // made at the first nested list
    PyObject* obj = list_obj.ptr();
    auto add = [&](nb::object item) {
        nb::object text;
        Quoting quoting;
        if (own_nested_list(item.ptr())) {
            quoting = {write_nested_element(nested, item.ptr()), 0};
        } else {
            // (text is its own Tcl text)
            text = PyUnicode_CheckExact(item.ptr()) ? std::move(item) : element_text(item);
            ElementScan scan = scan_text(text.ptr());
            quoting = quoting_of(text.ptr(), scan, scan.flags);
        }
        elements.push(std::move(text), quoting);
    };
    {
        RecursionGuard guard(kConverting);
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
            elements.reserve(size_t(n));
            // A list may change under a hook: index it afresh each time.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i)
                add(nb::borrow(PySequence_Fast_GET_ITEM(obj, i)));
        } else {
            nb::object iterator = check(PyObject_GetIter(obj));
            while (PyObject* item = PyIter_Next(iterator.ptr()))
                add(nb::steal(item));
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    return join_quoted(elements, nested.get());
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
