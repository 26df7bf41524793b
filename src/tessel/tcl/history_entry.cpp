// history_entry.cpp — Entry, one recorded Tcl call: the call as text and when it was made.
// The text is joined once, when the entry is made; the timestamp object only when it is read.

#include "history_parts.hpp"
#include "host/native_type.hpp"

#include <datetime.h>
#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace nb = nanobind;

namespace tessel::hist {
namespace {

/// One recorded call. The clock is read when the entry is made; the datetime object is
/// built from it the first time `timestamp` is read, since most entries are never looked at.
struct EntryObject {
    PyObject_HEAD PyObject* timestamp; ///< null until read or assigned
    PyObject* api;
    PyObject* weakrefs;
    timespec made;    ///< when the entry was made (realtime clock)
    bool clock_stamp; ///< `made` stands for the timestamp while `timestamp` is null
};

/// Broken-down local time of one second. Local time only changes on whole seconds,
/// so consecutive entries of the same second share one conversion.
struct LocalSecond {
    time_t second = -1;
    std::tm parts{};
};

/// A clock reading as a naive local datetime with microseconds.
nb::object local_datetime(const timespec& when) {
    static LocalSecond last; // guarded by the GIL
    if (when.tv_sec != last.second) {
        if (!localtime_r(&when.tv_sec, &last.parts)) {
            last.second = -1;
            PyErr_SetString(PyExc_OverflowError, "timestamp out of range for the local time");
            throw nb::python_error();
        }
        last.second = when.tv_sec;
    }
    const std::tm& t = last.parts;
    return check(
        PyDateTime_FromDateAndTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                                   // a leap second reads as the second before it
                                   t.tm_sec > 59 ? 59 : t.tm_sec, int(when.tv_nsec / 1000)));
}

PyObject* entry_get_timestamp(PyObject* self, void*) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    if (e->timestamp) return Py_NewRef(e->timestamp);
    if (!e->clock_stamp) {
        PyErr_SetString(PyExc_AttributeError, "'Entry' object has no attribute 'timestamp'");
        return nullptr;
    }
    PyObject* stamp = guarded([&] { return local_datetime(e->made); });
    if (stamp) e->timestamp = Py_NewRef(stamp);
    return stamp;
}

/// The entries a history makes hold a str and, once read, a datetime: nothing that can be part
/// of a reference cycle, so they are not tracked by the garbage collector (a full history would
/// otherwise be scanned again and again). Storing an object that can be part of a cycle
/// tracks the entry from then on.
void track_if_holding(PyObject* self, PyObject* value) {
    if (value && PyObject_IS_GC(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

int entry_set_timestamp(PyObject* self, PyObject* value, void*) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    if (!value && !e->timestamp && !e->clock_stamp) {
        PyErr_SetString(PyExc_AttributeError, "'Entry' object has no attribute 'timestamp'");
        return -1;
    }
    e->clock_stamp = false;
    track_if_holding(self, value);
    Py_XSETREF(e->timestamp, Py_XNewRef(value));
    return 0;
}

PyObject* entry_get_api(PyObject* self, void*) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    if (e->api) return Py_NewRef(e->api);
    PyErr_SetString(PyExc_AttributeError, "'Entry' object has no attribute 'api'");
    return nullptr;
}

int entry_set_api(PyObject* self, PyObject* value, void*) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    if (!value && !e->api) {
        PyErr_SetString(PyExc_AttributeError, "'Entry' object has no attribute 'api'");
        return -1;
    }
    track_if_holding(self, value);
    Py_XSETREF(e->api, Py_XNewRef(value));
    return 0;
}

/// True when the word (an exact `str`) holds a space character.
bool has_space(PyObject* word) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(word);
    const void* data = PyUnicode_DATA(word);
    switch (PyUnicode_KIND(word)) {
    case PyUnicode_1BYTE_KIND:
        return std::memchr(data, ' ', size_t(length)) != nullptr;
    case PyUnicode_2BYTE_KIND: {
        auto* chars = static_cast<const Py_UCS2*>(data);
        return std::find(chars, chars + length, Py_UCS2(' ')) != chars + length;
    }
    default: {
        auto* chars = static_cast<const Py_UCS4*>(data);
        return std::find(chars, chars + length, Py_UCS4(' ')) != chars + length;
    }
    }
}

/// The joined text of a list or tuple whose words are all exact `str`, written in one
/// pass; null when some word is of another type (the general path then decides).
nb::object join_plain_words(PyObject* words) {
    constexpr Py_ssize_t kRemembered = 64; // words whose space test is kept, not repeated
    bool spaced[kRemembered];
    Py_ssize_t count = PySequence_Fast_GET_SIZE(words);
    PyObject** items = PySequence_Fast_ITEMS(words);
    Py_ssize_t total = count ? count - 1 : 0;
    Py_UCS4 max_char = 127;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(items[i])) return nb::object();
        bool braced = has_space(items[i]);
        if (i < kRemembered) spaced[i] = braced;
        total += PyUnicode_GET_LENGTH(items[i]) + (braced ? 2 : 0);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(items[i]));
    }
    nb::object text = check(PyUnicode_New(total, max_char));
    PyObject* out = text.ptr();
    int kind = PyUnicode_KIND(out);
    char* data = static_cast<char*>(PyUnicode_DATA(out));
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* word = items[i];
        bool braced = i < kRemembered ? spaced[i] : has_space(word);
        Py_ssize_t length = PyUnicode_GET_LENGTH(word);
        if (i) PyUnicode_WRITE(kind, data, at++, ' ');
        if (braced) PyUnicode_WRITE(kind, data, at++, '{');
        if (PyUnicode_KIND(word) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(word), size_t(length) * kind);
        else if (PyUnicode_CopyCharacters(out, at, word, 0, length) < 0)
            throw nb::python_error();
        at += length;
        if (braced) PyUnicode_WRITE(kind, data, at++, '}');
    }
    return text;
}

/// The call as text: a string stays as it is; the words of a sequence are joined
/// with spaces, each word that holds a space wrapped in braces.
nb::object call_text(nb::handle api) {
    if (PyUnicode_Check(api.ptr())) return nb::borrow(api);
    if (PyTuple_CheckExact(api.ptr()) || PyList_CheckExact(api.ptr())) {
        nb::object text = join_plain_words(api.ptr());
        if (text.is_valid()) return text;
    }
    Names& n = names();
    nb::object iterator = check(PyObject_GetIter(api.ptr()));
    nb::object words = check(PyList_New(0));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object word = nb::steal(raw);
        int spaced = PySequence_Contains(word.ptr(), n.space.ptr());
        if (spaced < 0) throw nb::python_error();
        if (spaced) word = check(PyUnicode_FromFormat("{%S}", word.ptr()));
        if (PyList_Append(words.ptr(), word.ptr()) < 0) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return check(PyUnicode_Join(n.space.ptr(), words.ptr()));
}

void entry_fill(EntryObject* self, nb::handle api) {
    nb::object text = call_text(api);
    clock_gettime(CLOCK_REALTIME, &self->made);
    self->clock_stamp = true;
    Py_CLEAR(self->timestamp);
    track_if_holding(reinterpret_cast<PyObject*>(self), text.ptr());
    Py_XSETREF(self->api, text.release().ptr());
}

int entry_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"api", nullptr};
    PyObject* api = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Entry", const_cast<char**>(keywords), &api))
        return -1;
    PyObject* done = guarded([&] {
        entry_fill(reinterpret_cast<EntryObject*>(self), api);
        return nb::none();
    });
    if (!done) return -1;
    Py_DECREF(done);
    return 0;
}

/// "timestamp: call", the timestamp to the microsecond.
nb::object entry_text(PyObject* self) {
    Names& n = names();
    nb::object timestamp = check(PyObject_GetAttrString(self, "timestamp"));
    nb::object api = check(PyObject_GetAttr(self, n.api.ptr()));
    nb::object stamp = check(
        PyObject_CallMethodOneArg(timestamp.ptr(), n.strftime.ptr(), n.timestamp_format.ptr()));
    return check(PyUnicode_FromFormat("%S: %S", stamp.ptr(), api.ptr()));
}

PyObject* entry_str(PyObject* self) {
    return guarded([&] { return entry_text(self); });
}

PyObject* entry_repr(PyObject* self) {
    return guarded([&] {
        nb::object text = entry_text(self);
        nb::object address = check(PyLong_FromVoidPtr(self));
        nb::object hex = check(PyNumber_ToBase(address.ptr(), 16));
        return check(PyUnicode_FromFormat("<Entry '%U' at %U>", text.ptr(), hex.ptr()));
    });
}

using EntrySlots =
    CollectedSlots<EntryObject, &EntryObject::weakrefs, &EntryObject::timestamp, &EntryObject::api>;

PyMemberDef entry_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(EntryObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef entry_getset[] = {
    {"api", entry_get_api, entry_set_api, "The call as text.", nullptr},
    {"timestamp", entry_get_timestamp, entry_set_timestamp,
     "When the call was recorded (local time, naive, to the microsecond).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, (void*)"Entry(api)\n--\n\nOne recorded Tcl call: its text and when it was made."},
    {Py_tp_init, (void*)entry_init},
    {Py_tp_new, (void*)PyType_GenericNew},
    {Py_tp_str, (void*)entry_str},
    {Py_tp_repr, (void*)entry_repr},
    {Py_tp_traverse, (void*)EntrySlots::traverse},
    {Py_tp_clear, (void*)EntrySlots::clear},
    {Py_tp_dealloc, (void*)EntrySlots::dealloc},
    {Py_tp_members, entry_members},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {"tessel.tcl.history.Entry", sizeof(EntryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          entry_slots};

} // namespace

nb::object new_entry(nb::handle api) {
    PyTypeObject* type = (PyTypeObject*)names().entry_type.ptr();
    nb::object entry = check(type->tp_alloc(type, 0));
    PyObject_GC_UnTrack(entry.ptr()); // tracked again below if the text is not a plain str
    entry_fill(reinterpret_cast<EntryObject*>(entry.ptr()), api);
    return entry;
}

nb::object make_entry_type(nb::module_& m) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    return check(PyType_FromModuleAndSpec(m.ptr(), &entry_spec, nullptr));
}

} // namespace tessel::hist
