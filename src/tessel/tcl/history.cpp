// history.cpp — the module tessel.tcl.history: a bounded, timestamped record of Tcl calls.
// Entry and History are native types: History.append runs on every Tcl call an interpreter makes.

#include "host/pyclass.hpp"

#include <datetime.h>
#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace nb = nanobind;

namespace tessel {
namespace {

/// Cached imports and interned names, kept for the life of the process.
struct Names {
    nb::handle module_dict;
    nb::handle logger, logger_cache; ///< the module's own logger and its level cache
    nb::handle deque_type, deque_append, re_compile, entry_type, history_type;
    nb::handle log_name, cache_name, debug_name, debug_level;
    nb::handle log_format, space, timestamp_format;
    nb::handle append, clear, remove, maxlen, search, api, enable, strftime;
};

Names& names() {
    static Names cached;
    return cached;
}

nb::object check(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

/// Runs `body` and turns any C++ exception into the pending Python exception.
template <typename Body> PyObject* guarded(Body&& body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Entry

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

int entry_set_timestamp(PyObject* self, PyObject* value, void*) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    if (!value && !e->timestamp && !e->clock_stamp) {
        PyErr_SetString(PyExc_AttributeError, "'Entry' object has no attribute 'timestamp'");
        return -1;
    }
    e->clock_stamp = false;
    Py_XSETREF(e->timestamp, Py_XNewRef(value));
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
    Py_XSETREF(self->api, text.release().ptr());
}

/// A new Entry of exactly the Entry type, as `Entry(api)` makes it.
nb::object new_entry(nb::handle api) {
    PyTypeObject* type = (PyTypeObject*)names().entry_type.ptr();
    nb::object entry = check(type->tp_alloc(type, 0));
    entry_fill(reinterpret_cast<EntryObject*>(entry.ptr()), api);
    return entry;
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

int entry_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    Py_VISIT(e->timestamp);
    Py_VISIT(e->api);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int entry_clear(PyObject* self) {
    auto* e = reinterpret_cast<EntryObject*>(self);
    Py_CLEAR(e->timestamp);
    Py_CLEAR(e->api);
    return 0;
}

void entry_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<EntryObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    entry_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef entry_members[] = {
    {"api", T_OBJECT_EX, offsetof(EntryObject, api), 0, "The call as text."},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(EntryObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef entry_getset[] = {
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
    {Py_tp_traverse, (void*)entry_traverse},
    {Py_tp_clear, (void*)entry_clear},
    {Py_tp_dealloc, (void*)entry_dealloc},
    {Py_tp_members, entry_members},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {"tessel.tcl.history.Entry", sizeof(EntryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          entry_slots};

// ---------------------------------------------------------------------------------------------
// History

struct HistoryObject {
    PyObject_HEAD PyObject* history;
    PyObject* markers;
    PyObject* active_markers;
    PyObject* enabled;
    PyObject* dict;
    PyObject* weakrefs;
};

HistoryObject* as_history(PyObject* self) {
    return reinterpret_cast<HistoryObject*>(self);
}

/// One of the record's attributes (a new reference: user code run meanwhile may replace it);
/// AttributeError when it was deleted or never set.
nb::object field(PyObject* self, PyObject* value, const char* name) {
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                     Py_TYPE(self)->tp_name, name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

/// Adds `entry` to the right end of a queue (any object with `append`).
void push(nb::handle queue, nb::handle entry) {
    Names& n = names();
    if (Py_IS_TYPE(queue.ptr(), (PyTypeObject*)n.deque_type.ptr())) {
        PyObject* args[] = {queue.ptr(), entry.ptr()};
        check(PyObject_Vectorcall(n.deque_append.ptr(), args, 2, nullptr));
    } else {
        check(PyObject_CallMethodOneArg(queue.ptr(), n.append.ptr(), entry.ptr()));
    }
}

/// The module's logger, looked up at call time so that it can be replaced.
nb::object module_logger() {
    Names& n = names();
    PyObject* log = PyDict_GetItemWithError(n.module_dict.ptr(), n.log_name.ptr());
    if (!log) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, n.log_name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(log);
}

/// The level cache of a logger (level to bool), or null when it has none.
nb::object level_cache(nb::handle log) {
    PyObject* cache = PyObject_GetAttr(log.ptr(), names().cache_name.ptr());
    if (!cache) {
        PyErr_Clear();
        return nb::object();
    }
    if (!PyDict_CheckExact(cache)) {
        Py_DECREF(cache);
        return nb::object();
    }
    return nb::steal(cache);
}

/// Version tag of a dictionary: every change to any dictionary gives it a new, never reused
/// tag. Zero (never a live tag) where the interpreter no longer offers tags.
uint64_t version_of([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    return 0;
#endif
}

/// The last "debug is off" answer of `log_call`, kept while neither the module namespace (which
/// names the logger) nor the logger's level cache has changed since.
struct QuietLogger {
    uint64_t module_version = 0, cache_version = 0;

    bool known() const {
        const Names& n = names();
        return module_version != 0 && n.logger_cache &&
               module_version == version_of(n.module_dict.ptr()) &&
               cache_version == version_of(n.logger_cache.ptr());
    }
};

/// Writes "% <item>" at debug level. The logger's own level cache answers the
/// common "debug is off" case without a call into logging.
void log_call(nb::handle item) {
    Names& n = names();
    static QuietLogger quiet; // guarded by the GIL
    if (quiet.known()) return;
    nb::object log = module_logger();
    // logging clears a logger's cache in place and never rebinds it
    nb::object cache = log.ptr() == n.logger.ptr() && n.logger_cache ? nb::borrow(n.logger_cache)
                                                                     : level_cache(log);
    if (cache.is_valid()) {
        PyObject* known = PyDict_GetItemWithError(cache.ptr(), n.debug_level.ptr());
        if (known == Py_False) {
            if (cache.ptr() == n.logger_cache.ptr())
                quiet = {version_of(n.module_dict.ptr()), version_of(cache.ptr())};
            return;
        }
        if (!known && PyErr_Occurred()) throw nb::python_error();
    }
    PyObject* args[] = {log.ptr(), n.log_format.ptr(), item.ptr()};
    check(PyObject_VectorcallMethod(n.debug_name.ptr(), args, 3, nullptr));
}

/// Records one call: logs it, then (when enabled) files one new Entry in the main
/// record and under every active marker, in the order the markers were started.
PyObject* record_call(PyObject* self, PyObject* item) {
    return guarded([&] {
        log_call(item);
        HistoryObject* h = as_history(self);
        nb::object enabled = field(self, h->enabled, "enabled");
        int on = enabled.ptr() == Py_True    ? 1
                 : enabled.ptr() == Py_False ? 0
                                             : PyObject_IsTrue(enabled.ptr());
        if (on < 0) throw nb::python_error();
        if (!on) return nb::none();
        nb::object entry = new_entry(item);
        push(field(self, h->history, "__history__"), entry);
        nb::object active = field(self, h->active_markers, "__activeMarkers__");
        if (PyList_CheckExact(active.ptr()) && PyList_GET_SIZE(active.ptr()) == 0)
            return nb::none();
        nb::object markers = field(self, h->markers, "__markers__");
        nb::object iterator = check(PyObject_GetIter(active.ptr()));
        while (PyObject* key = PyIter_Next(iterator.ptr())) {
            nb::object marker = nb::steal(key);
            nb::object queue = check(PyObject_GetItem(markers.ptr(), marker.ptr()));
            push(queue, entry);
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::none();
    });
}

nb::object set_enabled(PyObject* self, bool on, const char* message) {
    HistoryObject* h = as_history(self);
    Py_XSETREF(h->enabled, Py_NewRef(on ? Py_True : Py_False));
    nb::object log = module_logger();
    check(PyObject_CallMethod(log.ptr(), "debug", "s", message));
    return nb::none();
}

PyObject* history_enable(PyObject* self, PyObject*) {
    return guarded([&] { return set_enabled(self, true, "TclHistory is enabled."); });
}

PyObject* history_disable(PyObject* self, PyObject*) {
    return guarded([&] { return set_enabled(self, false, "TclHistory is disabled."); });
}

void clear_queue(nb::handle queue) {
    check(PyObject_CallMethodNoArgs(queue.ptr(), names().clear.ptr()));
}

/// Empties the main record (default), one marker's queue, or every queue.
PyObject* history_clear(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"marker", "clear_all", nullptr};
    PyObject* marker = Py_None;
    PyObject* clear_all = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:clear", const_cast<char**>(keywords),
                                     &marker, &clear_all))
        return nullptr;
    return guarded([&] {
        HistoryObject* h = as_history(self);
        int all = PyObject_IsTrue(clear_all);
        if (all < 0) throw nb::python_error();
        if (all) {
            nb::object markers = field(self, h->markers, "__markers__");
            nb::object queues = check(PyObject_CallMethod(markers.ptr(), "values", nullptr));
            nb::object iterator = check(PyObject_GetIter(queues.ptr()));
            while (PyObject* queue = PyIter_Next(iterator.ptr()))
                clear_queue(nb::steal(queue));
            if (PyErr_Occurred()) throw nb::python_error();
            clear_queue(field(self, h->history, "__history__"));
        } else if (marker != Py_None) {
            nb::object markers = field(self, h->markers, "__markers__");
            clear_queue(check(PyObject_GetItem(markers.ptr(), marker)));
        } else {
            clear_queue(field(self, h->history, "__history__"));
        }
        return nb::none();
    });
}

/// Opens a marker: its queue is made on first use, bounded like the main record.
PyObject* open_marker(PyObject* self, PyObject* marker) {
    return guarded([&] {
        Names& n = names();
        HistoryObject* h = as_history(self);
        nb::object markers = field(self, h->markers, "__markers__");
        int known = PySequence_Contains(markers.ptr(), marker);
        if (known < 0) throw nb::python_error();
        if (!known) {
            nb::object history = field(self, h->history, "__history__");
            nb::object bound = check(PyObject_GetAttr(history.ptr(), n.maxlen.ptr()));
            nb::object none = check(PyTuple_New(0));
            nb::object queue = check(
                PyObject_CallFunctionObjArgs(n.deque_type.ptr(), none.ptr(), bound.ptr(), nullptr));
            if (PyObject_SetItem(markers.ptr(), marker, queue.ptr()) < 0) throw nb::python_error();
        }
        nb::object active = field(self, h->active_markers, "__activeMarkers__");
        check(PyObject_CallMethodOneArg(active.ptr(), n.append.ptr(), marker));
        return nb::none();
    });
}

/// Closes one activation of a marker; its queue keeps what it holds.
PyObject* close_marker(PyObject* self, PyObject* marker) {
    return guarded([&] {
        HistoryObject* h = as_history(self);
        nb::object active = field(self, h->active_markers, "__activeMarkers__");
        check(PyObject_CallMethodOneArg(active.ptr(), names().remove.ptr(), marker));
        return nb::none();
    });
}

/// The last `count` entries of the main record or of a marker (0: all of them),
/// oldest first, keeping only those whose text `regex` matches somewhere.
PyObject* history_filter(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"marker", "count", "regex", nullptr};
    PyObject* marker = Py_None;
    PyObject* count = nullptr;
    PyObject* regex = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:filter", const_cast<char**>(keywords),
                                     &marker, &count, &regex))
        return nullptr;
    return guarded([&] {
        Names& n = names();
        HistoryObject* h = as_history(self);
        nb::object source;
        if (marker == Py_None) {
            source = field(self, h->history, "__history__");
        } else {
            nb::object markers = field(self, h->markers, "__markers__");
            int known = PySequence_Contains(markers.ptr(), marker);
            if (known < 0) throw nb::python_error();
            if (!known) {
                PyErr_Format(PyExc_Exception, "No such marker: %S", marker);
                throw nb::python_error();
            }
            source = check(PyObject_GetItem(markers.ptr(), marker));
        }
        nb::object entries = check(PySequence_List(source.ptr()));
        nb::object start = count ? check(PyNumber_Negative(count)) : nb::int_(-20);
        nb::object slice = check(PySlice_New(start.ptr(), nullptr, nullptr));
        nb::object last = check(PyObject_GetItem(entries.ptr(), slice.ptr()));
        int want_match = PyObject_IsTrue(regex);
        if (want_match < 0) throw nb::python_error();
        if (!want_match) return last;
        nb::object pattern = check(PyObject_CallOneArg(n.re_compile.ptr(), regex));
        nb::object search = check(PyObject_GetAttr(pattern.ptr(), n.search.ptr()));
        nb::object kept = check(PyList_New(0));
        nb::object iterator = check(PyObject_GetIter(last.ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            nb::object entry = nb::steal(raw);
            nb::object text = check(PyObject_GetAttr(entry.ptr(), n.api.ptr()));
            nb::object found = check(PyObject_CallOneArg(search.ptr(), text.ptr()));
            if (found.ptr() != Py_None && PyList_Append(kept.ptr(), entry.ptr()) < 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return kept;
    });
}

/// Both str() and repr() of a History show its main record as the queue renders itself.
PyObject* history_repr(PyObject* self) {
    return guarded([&] {
        nb::object history = field(self, as_history(self)->history, "__history__");
        return check(PyObject_Repr(history.ptr()));
    });
}

int history_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"max_history", nullptr};
    PyObject* bound = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:History", const_cast<char**>(keywords),
                                     &bound))
        return -1;
    PyObject* done = guarded([&] {
        Names& n = names();
        nb::object max_history = bound ? nb::borrow(bound) : nb::int_(9999);
        nb::object none = check(PyTuple_New(0));
        nb::object queue = check(PyObject_CallFunctionObjArgs(n.deque_type.ptr(), none.ptr(),
                                                              max_history.ptr(), nullptr));
        HistoryObject* h = as_history(self);
        Py_XSETREF(h->history, queue.release().ptr());
        Py_XSETREF(h->markers, check(PyDict_New()).release().ptr());
        Py_XSETREF(h->active_markers, check(PyList_New(0)).release().ptr());
        return check(PyObject_CallMethodNoArgs(self, n.enable.ptr()));
    });
    if (!done) return -1;
    Py_DECREF(done);
    return 0;
}

int history_traverse(PyObject* self, visitproc visit, void* arg) {
    HistoryObject* h = as_history(self);
    Py_VISIT(h->history);
    Py_VISIT(h->markers);
    Py_VISIT(h->active_markers);
    Py_VISIT(h->enabled);
    Py_VISIT(h->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int history_clear_refs(PyObject* self) {
    HistoryObject* h = as_history(self);
    Py_CLEAR(h->history);
    Py_CLEAR(h->markers);
    Py_CLEAR(h->active_markers);
    Py_CLEAR(h->enabled);
    Py_CLEAR(h->dict);
    return 0;
}

void history_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_history(self)->weakrefs) PyObject_ClearWeakRefs(self);
    history_clear_refs(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/// The one argument `name` of a method taking exactly one, given by position or keyword;
/// null with a TypeError otherwise.
PyObject* single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          const char* method, const char* name) {
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 1 && keywords == 0) return args[0];
    if (nargs == 0 && keywords == 1 &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), name) == 0)
        return args[0];
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument '%s'", method, name);
    return nullptr;
}

template <PyObject* (*Method)(PyObject*, PyObject*)>
PyObject* one_argument_method(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames, const char* method, const char* name) {
    PyObject* arg = single_argument(args, PyVectorcall_NARGS(nargsf), kwnames, method, name);
    return arg ? Method(self, arg) : nullptr;
}

PyObject* history_append(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) return record_call(self, args[0]);
    return one_argument_method<record_call>(self, args, nargsf, kwnames, "append", "item");
}

PyObject* history_start_marker(PyObject* self, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
    return one_argument_method<open_marker>(self, args, nargsf, kwnames, "start_marker", "marker");
}

PyObject* history_end_marker(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    return one_argument_method<close_marker>(self, args, nargsf, kwnames, "end_marker", "marker");
}

/// A fast-call method with keywords, as the method table stores it.
template <typename F> PyCFunction fast_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef history_methods[] = {
    {"enable", history_enable, METH_NOARGS,
     "enable($self, /)\n--\n\nStores new entries from now on."},
    {"disable", history_disable, METH_NOARGS,
     "disable($self, /)\n--\n\nStops storing new entries (the debug line is still written)."},
    {"append", fast_method(history_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, /, item)\n--\n\nRecords one call: a script, or a sequence of words."},
    {"clear", fast_method(history_clear), METH_VARARGS | METH_KEYWORDS,
     "clear($self, /, marker=None, clear_all=False)\n--\n\n"
     "Empties the main record, one marker's entries, or every queue."},
    {"start_marker", fast_method(history_start_marker), METH_FASTCALL | METH_KEYWORDS,
     "start_marker($self, /, marker)\n--\n\nOpens a marker: new entries are also filed "
     "under it."},
    {"end_marker", fast_method(history_end_marker), METH_FASTCALL | METH_KEYWORDS,
     "end_marker($self, /, marker)\n--\n\nCloses one activation of a marker; its entries "
     "stay."},
    {"filter", fast_method(history_filter), METH_VARARGS | METH_KEYWORDS,
     "filter($self, /, marker=None, count=20, regex=None)\n--\n\n"
     "The last `count` entries (0: all), oldest first, of the main record or a marker,\n"
     "kept only where `regex` matches the call text."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef history_members[] = {
    {"__history__", T_OBJECT_EX, offsetof(HistoryObject, history), 0,
     "The main record, oldest entry first."},
    {"__markers__", T_OBJECT_EX, offsetof(HistoryObject, markers), 0,
     "Marker key to the queue of entries filed under it."},
    {"__activeMarkers__", T_OBJECT_EX, offsetof(HistoryObject, active_markers), 0,
     "The markers receiving entries, in the order they were started."},
    {"enabled", T_OBJECT_EX, offsetof(HistoryObject, enabled), 0,
     "Whether new entries are stored."},
    {"__dictoffset__", T_PYSSIZET, offsetof(HistoryObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(HistoryObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef history_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot history_slots[] = {
    {Py_tp_doc, (void*)"History(max_history=9999)\n--\n\nThe bounded record of an "
                       "interpreter's Tcl calls, with named markers."},
    {Py_tp_init, (void*)history_init},
    {Py_tp_new, (void*)PyType_GenericNew},
    {Py_tp_str, (void*)history_repr},
    {Py_tp_repr, (void*)history_repr},
    {Py_tp_traverse, (void*)history_traverse},
    {Py_tp_clear, (void*)history_clear_refs},
    {Py_tp_dealloc, (void*)history_dealloc},
    {Py_tp_methods, history_methods},
    {Py_tp_members, history_members},
    {Py_tp_getset, history_getset},
    {0, nullptr},
};

PyType_Spec history_spec = {"tessel.tcl.history.History", sizeof(HistoryObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                            history_slots};

} // namespace
} // namespace tessel

NB_MODULE(history, m) {
    using namespace tessel;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    Names& n = names();
    nb::module_ collections = nb::module_::import_("collections");
    nb::module_ logging = nb::module_::import_("logging");
    nb::module_ re = nb::module_::import_("re");
    nb::module_ datetime = nb::module_::import_("datetime");
    n.module_dict = keep(m.attr("__dict__"));
    n.deque_type = keep(collections.attr("deque"));
    n.deque_append = keep(n.deque_type.attr("append"));
    n.re_compile = keep(re.attr("compile"));
    auto interned = [](const char* s) { return nb::handle(PyUnicode_InternFromString(s)); };
    n.log_name = interned("log");
    n.cache_name = interned("_cache");
    n.debug_name = interned("debug");
    n.debug_level = keep(logging.attr("DEBUG"));
    n.log_format = interned("%% %s");
    n.space = interned(" ");
    n.timestamp_format = interned("%Y-%m-%dT%H:%M:%S.%f");
    n.append = interned("append");
    n.clear = interned("clear");
    n.remove = interned("remove");
    n.maxlen = interned("maxlen");
    n.search = interned("search");
    n.api = interned("api");
    n.enable = interned("enable");
    n.strftime = interned("strftime");

    m.attr("re") = re;
    m.attr("logging") = logging;
    m.attr("datetime") = datetime.attr("datetime");
    m.attr("deque") = n.deque_type;
    n.logger = keep(logging.attr("getLogger")("tessel.tcl"));
    n.logger_cache = keep(level_cache(n.logger));
    m.attr("log") = n.logger;

    nb::object entry = check(PyType_FromModuleAndSpec(m.ptr(), &entry_spec, nullptr));
    n.entry_type = keep(entry);
    m.attr("Entry") = n.entry_type;

    nb::object history = check(PyType_FromModuleAndSpec(m.ptr(), &history_spec, nullptr));
    history.attr("__MAX_HISTORY__") = nb::int_(9999);
    n.history_type = keep(history);
    m.attr("History") = n.history_type;
    nb::list names_all;
    names_all.append("History");
    names_all.append("Entry");
    m.attr("__all__") = names_all;
}
