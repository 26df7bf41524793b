// history.cpp — the module tessel.tcl.history: a bounded, timestamped record of Tcl calls.
// History is a native type: its append runs on every Tcl call an interpreter makes.

#include "history_parts.hpp"
#include "host/arguments.hpp"
#include "host/native_type.hpp"
#include "host/pyclass.hpp"

#include <structmember.h>

namespace nb = nanobind;

namespace tessel::hist {
namespace {

/// The record: the main queue, a queue per marker, the markers now receiving entries, and
/// whether entries are stored at all.
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
        missing_attribute(self, name);
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

/// The module's logger, looked up at call time so that it can be replaced (remembered while
/// the module's namespace is unchanged: host/class_guard.hpp's KeyGuard).
nb::object module_logger() {
    Names& n = names();
    static KeyGuard guard(watched_dicts()); // guarded by the GIL
    PyObject* log = nullptr;
    if (!guard.read(n.module_dict.ptr(), n.log_name.ptr(), &log)) throw nb::python_error();
    if (!log) {
        PyErr_SetObject(PyExc_NameError, n.log_name.ptr());
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

/// Writes "% <item>" at debug level. The logger's own level cache answers the
/// common "debug is off" case without a call into logging.
void log_call(nb::handle item) {
    Names& n = names();
    nb::object log = module_logger();
    // logging clears a logger's cache in place and never rebinds it
    nb::object cache = log.ptr() == n.logger.ptr() && n.logger_cache ? nb::borrow(n.logger_cache)
                                                                     : level_cache(log);
    if (cache.is_valid()) {
        static KeyGuard guard(watched_dicts()); // guarded by the GIL
        PyObject* known = nullptr;
        if (!guard.read(cache.ptr(), n.debug_level.ptr(), &known)) throw nb::python_error();
        if (known == Py_False) return;
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
        PyObject* done = PyObject_CallMethodOneArg(active.ptr(), names().remove.ptr(), marker);
        if (!done && PyErr_ExceptionMatches(PyExc_ValueError)) {
            // (the list's own words name neither the method nor the marker)
            nb::object message = check(PyUnicode_FromFormat("marker %R is not active", marker));
            replace_error(PyExc_ValueError, message.ptr());
        }
        check(done);
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
        if (count && !PyLong_Check(count)) {
            Parameters::refuse_type("filter", "count", "int", count);
            throw nb::python_error();
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
        if (bound && bound != Py_None && !PyLong_Check(bound)) {
            Parameters::refuse_type("History", "max_history", "int or None", bound);
            throw nb::python_error();
        }
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

using HistorySlots =
    CollectedSlots<HistoryObject, &HistoryObject::weakrefs, &HistoryObject::history,
                   &HistoryObject::markers, &HistoryObject::active_markers, &HistoryObject::enabled,
                   &HistoryObject::dict>;

template <PyObject* (*Method)(PyObject*, PyObject*)>
PyObject* one_argument_method(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames, const Parameters& parameters) {
    PyObject* arg = nullptr;
    if (!parameters.bind(args, PyVectorcall_NARGS(nargsf), kwnames, &arg)) return nullptr;
    return Method(self, arg);
}

constexpr const char* kItem[] = {"item"};
constexpr const char* kMarker[] = {"marker"};

PyObject* history_append(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) return record_call(self, args[0]);
    static constexpr Parameters parameters("append", kItem, 1, 1);
    return one_argument_method<record_call>(self, args, nargsf, kwnames, parameters);
}

PyObject* history_start_marker(PyObject* self, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
    static constexpr Parameters parameters("start_marker", kMarker, 1, 1);
    return one_argument_method<open_marker>(self, args, nargsf, kwnames, parameters);
}

PyObject* history_end_marker(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    static constexpr Parameters parameters("end_marker", kMarker, 1, 1);
    return one_argument_method<close_marker>(self, args, nargsf, kwnames, parameters);
}

PyMethodDef history_methods[] = {
    {"enable", history_enable, METH_NOARGS,
     "enable($self, /)\n--\n\nStores new entries from now on."},
    {"disable", history_disable, METH_NOARGS,
     "disable($self, /)\n--\n\nStops storing new entries (the debug line is still written)."},
    {"append", as_method(history_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, /, item)\n--\n\nRecords one call: a script, or a sequence of words."},
    {"clear", as_method(history_clear), METH_VARARGS | METH_KEYWORDS,
     "clear($self, /, marker=None, clear_all=False)\n--\n\n"
     "Empties the main record, one marker's entries, or every queue."},
    {"start_marker", as_method(history_start_marker), METH_FASTCALL | METH_KEYWORDS,
     "start_marker($self, /, marker)\n--\n\nOpens a marker: new entries are also filed "
     "under it."},
    {"end_marker", as_method(history_end_marker), METH_FASTCALL | METH_KEYWORDS,
     "end_marker($self, /, marker)\n--\n\nCloses one activation of a marker; its entries "
     "stay."},
    {"filter", as_method(history_filter), METH_VARARGS | METH_KEYWORDS,
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

PyType_Slot history_slots[] = {
    {Py_tp_doc, (void*)"History(max_history=9999)\n--\n\nThe bounded record of an "
                       "interpreter's Tcl calls, with named markers."},
    {Py_tp_init, (void*)history_init},
    {Py_tp_new, (void*)PyType_GenericNew},
    {Py_tp_str, (void*)history_repr},
    {Py_tp_repr, (void*)history_repr},
    {Py_tp_traverse, (void*)HistorySlots::traverse},
    {Py_tp_clear, (void*)HistorySlots::clear},
    {Py_tp_dealloc, (void*)HistorySlots::dealloc},
    {Py_tp_methods, history_methods},
    {Py_tp_members, history_members},
    {Py_tp_getset, instance_dict_getset},
    {0, nullptr},
};

PyType_Spec history_spec = {"tessel.tcl.history.History", sizeof(HistoryObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                            history_slots};

} // namespace
} // namespace tessel::hist

NB_MODULE(history, m) {
    using namespace tessel;
    using namespace tessel::hist;
    Names& n = names();
    nb::module_ collections = nb::module_::import_("collections");
    nb::module_ logging = nb::module_::import_("logging");
    nb::module_ re = nb::module_::import_("re");
    nb::module_ datetime = nb::module_::import_("datetime");
    n.module_dict = keep(m.attr("__dict__"));
    n.deque_type = keep(collections.attr("deque"));
    n.deque_append = keep(n.deque_type.attr("append"));
    n.re_compile = keep(re.attr("compile"));
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
    watched_dicts().watcher = add_dict_watcher([] { ++watched_dicts().count; });

    nb::object entry = make_entry_type(m);
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
