// namespace_command_calls.cpp — TclCommand built and called: the words of one invocation
// (name, bound arguments and options, then the call's own), run as a list call or a script.

#include "host/pyerrors.hpp"
#include "namespace_handles.hpp"

#include <array>
#include <tuple>
#include <utility>

namespace nb = nanobind;

namespace tessel::ns {
namespace {

using namespace handles;
using namespace commands;

/// `cast_list` of the package `tessel.tcl`, imported now: the default interpreter's list cast.
nb::object package_cast_list(nb::handle value) {
    nb::object package = check(PyImport_Import(cached().package.ptr()));
    return call_method(package, cached().cast_list, {value});
}

bool is_command(nb::handle obj) {
    int r = PyObject_IsInstance(obj.ptr(), classes().command.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// `words[0]` and `words[1:]`, the name and the rest of a word list.
/// An empty list has no name: IndexError, as taking its first word gives, in words that say so.
std::pair<nb::object, nb::object> split_words(nb::handle words) {
    nb::object rest = check(PySequence_GetSlice(words.ptr(), 1, PY_SSIZE_T_MAX));
    PyObject* first = PySequence_GetItem(words.ptr(), 0);
    if (!first && PyErr_ExceptionMatches(PyExc_IndexError)) {
        nb::object message = check(
            PyUnicode_FromString("TclCommand() needs a command name, but its word list is empty"));
        replace_error(PyExc_IndexError, message.ptr());
    }
    return {check(first), rest};
}

[[noreturn]] void raise_keywords_must_be_strings() {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    throw nb::python_error();
}

/// "-name" for an option name; TypeError for a name that is not text.
PyObject* dashed_name(PyObject* key) {
    if (!PyUnicode_Check(key)) raise_keywords_must_be_strings();
    // Option names come from the callers' source code, a small set: their dashed
    // forms are kept (up to a bound) instead of being made on every call.
    PyObject* known = classes().dashed_names.ptr();
    bool plain = PyUnicode_CheckExact(key);
    if (plain) {
        PyObject* hit = PyDict_GetItemWithError(known, key);
        if (hit) return Py_NewRef(hit);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyObject* option = PyUnicode_Concat(cached().dash.ptr(), key);
    if (!option) throw nb::python_error();
    if (plain && PyDict_GET_SIZE(known) < 512 && PyDict_SetItem(known, key, option) < 0) {
        Py_DECREF(option);
        throw nb::python_error();
    }
    return option;
}

/// The dashed words of an options dict: "-name", value, ... (values as they are).
nb::object dashed_words(nb::handle options) {
    Py_ssize_t count = PyDict_GET_SIZE(options.ptr());
    nb::object words = check(PyTuple_New(2 * count));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(options.ptr(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(words.ptr(), i++, dashed_name(key));
        PyTuple_SET_ITEM(words.ptr(), i++, Py_NewRef(value));
    }
    return words;
}

nb::object kwargs_to_dashed_args(nb::kwargs kwargs) {
    return dashed_words(kwargs);
}

/// `**options` for a Python call: a dict with string keys.
nb::object as_kwargs(nb::handle options) {
    if (PyDict_CheckExact(options.ptr())) return nb::borrow(options);
    nb::object d = check(PyDict_New());
    if (PyDict_Merge(d.ptr(), options.ptr(), 1) < 0) throw nb::python_error();
    return d;
}

/// The arguments of one call as Python passed them: positional ones in an array,
/// options either named by `kwnames` (values after the positional ones) or in a dict.
struct CallArgs {
    PyObject* const* args = nullptr;
    Py_ssize_t nargs = 0;
    PyObject* kwnames = nullptr;
    PyObject* kwdict = nullptr;

    static CallArgs fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return {args, nargs, kwnames, nullptr};
    }
    static CallArgs classic(PyObject* tuple, PyObject* dict) {
        return {&PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple), nullptr, dict};
    }
    Py_ssize_t options() const {
        if (kwnames) return PyTuple_GET_SIZE(kwnames);
        return kwdict ? PyDict_GET_SIZE(kwdict) : 0;
    }
    /// Calls `f(name, value)` for every option, in the caller's order.
    template <typename F> void each_option(F&& f) const {
        if (kwnames) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
                f(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
        } else if (kwdict) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwdict, &pos, &key, &value))
                f(key, value);
        }
    }
    /// `fn(*args, **kwargs)`.
    nb::object call(nb::handle fn) const {
        if (!kwdict) return check(PyObject_Vectorcall(fn.ptr(), args, size_t(nargs), kwnames));
        nb::object tuple = check(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(tuple.ptr(), i, Py_NewRef(args[i]));
        return check(PyObject_Call(fn.ptr(), tuple.ptr(), kwdict));
    }
};

/// The options of one invocation: the bound ones, with the call's options
/// (converted by tclobj) replacing or following them. The bound dict itself when
/// the call has none.
nb::object merged_options(nb::handle bound, const CallArgs& call) {
    if (call.options() == 0) return nb::borrow(bound);
    nb::object merged = PyDict_Check(bound.ptr())
                            ? check(PyDict_Copy(bound.ptr()))
                            : check(PyObject_CallOneArg((PyObject*)&PyDict_Type, bound.ptr()));
    call.each_option([&](PyObject* key, PyObject* value) {
        nb::object converted = tclobj(value);
        if (PyDict_SetItem(merged.ptr(), key, converted.ptr()) < 0) throw nb::python_error();
    });
    return merged;
}

/// The options of one invocation with every value converted and every hook run, ready to
/// become words: a tuple of dashed words, or (the usual case: a few options given to the
/// call alone) the call's values through tclobj, to be named "-name" as they are filled in.
struct OptionWords {
    static constexpr Py_ssize_t kQuick = 8;
    nb::object dashed;
    std::array<nb::object, kQuick> values;
    Py_ssize_t count = 0;
};

/// The options as words: the bound ones, with the call's (through tclobj) replacing or
/// following them, made by `kwargs_to_dashed_args` (a subclass's own when it has one).
/// `quick` allows the quick form of OptionWords.
void option_words(nb::handle self, bool own_dashed, bool quick, nb::handle bound_options,
                  const CallArgs& call, OptionWords& out) {
    if (quick && own_dashed && PyDict_Check(bound_options.ptr()) &&
        PyDict_GET_SIZE(bound_options.ptr()) == 0 && call.options() > 0 &&
        call.options() <= OptionWords::kQuick) {
        call.each_option(
            [&](PyObject*, PyObject* value) { out.values[size_t(out.count++)] = tclobj(value); });
        return;
    }
    nb::object options = merged_options(bound_options, call);
    if (own_dashed && PyDict_Check(options.ptr())) {
        out.dashed = dashed_words(options);
        return;
    }
    nb::object fn = get_attr(self, cached().kwargs_to_dashed_args);
    out.dashed = check(PyObject_Call(fn.ptr(), nb::tuple().ptr(), as_kwargs(options).ptr()));
}

/// The complete word list of one invocation: name, bound arguments, the call's
/// arguments (through tclobj), then every option as "-name", value.
/// Every conversion and hook runs first; the word tuple is filled afterwards, by code that
/// runs no user code.
nb::object build_words(nb::handle self, const Attributes& attrs, const CallArgs& call) {
    nb::object name = attrs[cached().cmd_name];
    nb::object bound = attrs[cached().args];
    nb::object bound_options = attrs[cached().keywords];
    bool own_dashed = attrs.is_own(cached().kwargs_to_dashed_args, classes().own_dashed);

    // The call's arguments as Python would convert them; plain values need neither
    // conversion nor copy.
    bool plain = true;
    for (Py_ssize_t i = 0; i < call.nargs && plain; ++i)
        plain = plain_value(call.args[i]);
    nb::object extra;
    PyObject* const* converted = call.args;
    if (!plain) {
        extra = check(PyTuple_New(call.nargs));
        for (Py_ssize_t i = 0; i < call.nargs; ++i)
            PyTuple_SET_ITEM(extra.ptr(), i, tclobj(call.args[i]).release().ptr());
        converted = &PyTuple_GET_ITEM(extra.ptr(), 0);
    }
    bool bound_tuple = PyTuple_CheckExact(bound.ptr());
    OptionWords options;
    option_words(self, own_dashed, bound_tuple, bound_options, call, options);
    nb::handle dashed = options.dashed;

    if (!bound_tuple || (dashed.is_valid() && !PyTuple_CheckExact(dashed.ptr()))) {
        // other kinds of sequence: combined as `(name,) + bound + args + dashed` combines them
        if (!extra.is_valid()) {
            extra = check(PyTuple_New(call.nargs));
            for (Py_ssize_t i = 0; i < call.nargs; ++i)
                PyTuple_SET_ITEM(extra.ptr(), i, Py_NewRef(call.args[i]));
        }
        nb::object words = tuple_of({name});
        words = check(PyNumber_Add(words.ptr(), bound.ptr()));
        words = check(PyNumber_Add(words.ptr(), extra.ptr()));
        return check(PyNumber_InPlaceAdd(words.ptr(), dashed.ptr()));
    }
    Py_ssize_t nbound = PyTuple_GET_SIZE(bound.ptr());
    Py_ssize_t noptions = dashed.is_valid() ? PyTuple_GET_SIZE(dashed.ptr()) : 2 * options.count;
    nb::object words = check(PyTuple_New(1 + nbound + call.nargs + noptions));
    PyObject* w = words.ptr();
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(w, i++, name.release().ptr());
    for (Py_ssize_t j = 0; j < nbound; ++j)
        PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(bound.ptr(), j)));
    for (Py_ssize_t j = 0; j < call.nargs; ++j)
        PyTuple_SET_ITEM(w, i++, Py_NewRef(converted[j]));
    if (dashed.is_valid()) {
        for (Py_ssize_t j = 0; j < noptions; ++j)
            PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(dashed.ptr(), j)));
        return words;
    }
    size_t k = 0;
    call.each_option([&](PyObject* key, PyObject*) {
        PyTuple_SET_ITEM(w, i++, dashed_name(key));
        PyTuple_SET_ITEM(w, i++, options.values[k++].release().ptr());
    });
    return words;
}

/// `self.build_tclcmd(*args, **kwargs)`, in C++ unless a subclass replaced it.
nb::object words_for(nb::handle self, const Attributes& attrs, const CallArgs& call) {
    if (attrs.is_own(cached().build_tclcmd, classes().own_build))
        return build_words(self, attrs, call);
    return call.call(get_attr(self, cached().build_tclcmd));
}

nb::object apply_cast(nb::handle self, nb::object result) {
    nb::object cast = get_attr(self, cached().cast);
    if (truth(cast)) return check(PyObject_CallOneArg(cast.ptr(), result.ptr()));
    return result;
}

// ---- TclCommand: construction, words, calls ------------------------------------------------

void command_init(nb::handle self, nb::handle cmd, nb::handle args, nb::handle keywords,
                  nb::handle tcl, nb::handle cast, nb::handle logger) {
    nb::object base_init = super_attr(classes().command, self, cached().init);
    check(PyObject_CallNoArgs(base_init.ptr()));
    set_attr(self, cached().tcl, interpreter_proxy(tcl));

    nb::object name, bound;
    if (args.is_none()) {
        nb::object words;
        if (is_command(cmd))
            words = call_method(cmd, cached().build_tclcmd);
        else if (PyTuple_CheckExact(cmd.ptr()))
            words = nb::borrow(cmd);
        else
            words = package_cast_list(cmd);
        std::tie(name, bound) = split_words(words);
    } else {
        bound = package_cast_list(args);
        if (is_command(cmd)) {
            nb::object fn = get_attr(cmd, cached().build_tclcmd);
            nb::object spread = check(PySequence_Tuple(bound.ptr()));
            nb::object words = check(PyObject_Call(fn.ptr(), spread.ptr(), nullptr));
            std::tie(name, bound) = split_words(words);
        } else {
            name = nb::borrow(cmd);
        }
    }
    set_attr(self, cached().cmd_name, scriptify(name));
    set_attr(self, cached().args, tclobj(bound));

    nb::object options = check(PyDict_New());
    if (truth(keywords)) {
        nb::object items_of = nb::steal(PyObject_GetAttr(keywords.ptr(), cached().items.ptr()));
        if (!items_of.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            Parameters::refuse_type("TclCommand", "keywords", "a mapping or None", keywords.ptr());
            throw nb::python_error();
        }
        nb::object items = check(PyObject_CallNoArgs(items_of.ptr()));
        nb::object it = check(PyObject_GetIter(items.ptr()));
        while (PyObject* pair = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(pair);
            nb::object key = check(PySequence_GetItem(item.ptr(), 0));
            nb::object value = check(PySequence_GetItem(item.ptr(), 1));
            nb::object converted = tclobj(value);
            if (PyObject_SetItem(options.ptr(), key.ptr(), converted.ptr()) < 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    set_attr(self, cached().keywords, options);
    set_attr(self, cached().cast, cast);
    set_attr(self, cached().logger, logger);
}

nb::object command_build_tclcmd(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return build_words(self, Attributes(self), CallArgs::fast(args, nargs, kwnames));
}

/// Runs the words as one list call: logged first when the handle has a logger,
/// cast afterwards when it has a cast.
nb::object run_call(nb::handle self, const Attributes& attrs, const CallArgs& call) {
    nb::object words = words_for(self, attrs, call);
    nb::object logger = attrs[cached().logger];
    if (truth(logger)) {
        nb::object text = scriptify(words);
        nb::object line = check(PyObject_CallMethodOneArg(cached().calling_format.ptr(),
                                                          cached().format.ptr(), text.ptr()));
        call_method(logger, cached().info, {line});
    }
    nb::object result = list_call(app_of_interpreter(attrs[cached().tcl]), words);
    nb::object cast = attrs[cached().cast];
    if (truth(cast)) return check(PyObject_CallOneArg(cast.ptr(), result.ptr()));
    return result;
}

nb::object command_call(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return run_call(self, Attributes(self), CallArgs::fast(args, nargs, kwnames));
}

/// The call slot of TclCommand: `self.call(*args, **kwargs)`, without a trip through
/// Python when `call` is our own.
PyObject* command_call_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        CallArgs call = CallArgs::classic(args, kwargs);
        Attributes attrs(self);
        if (attrs.is_own(cached().call, classes().own_call)) return run_call(self, attrs, call);
        return call.call(get_attr(self, cached().call));
    });
}

nb::object command_eval(nb::handle self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    nb::object words = words_for(self, Attributes(self), CallArgs::fast(args, nargs, kwnames));
    nb::object app = app_of(self);
    return apply_cast(self, eval_words(app, words));
}

} // namespace

void commands::add_call_methods(ClassBuilder& command) {
    nb::object none = nb::none();
    static PyMethodDef fast_methods[] = {
        {"build_tclcmd", as_method(&guarded_fast<command_build_tclcmd>),
         METH_FASTCALL | METH_KEYWORDS,
         "build_tclcmd($self, /, *args, **kwargs)\n--\n\n"
         "The complete word list of one invocation."},
        {"call", as_method(&guarded_fast<command_call>), METH_FASTCALL | METH_KEYWORDS,
         "call($self, /, *args, **kwargs)\n--\n\n"
         "Runs the command with these extra arguments and options."},
        {"eval", as_method(&guarded_fast<command_eval>), METH_FASTCALL | METH_KEYWORDS,
         "eval($self, /, *args, **kwargs)\n--\n\n"
         "Runs the command through Tcl's script parser; the result is text."},
    };
    command.def("__init__", &command_init, nb::arg("cmd").none(), nb::arg("args").none() = none,
                nb::arg("keywords").none() = none, nb::arg("tcl").none() = none,
                nb::arg("cast").none() = none, nb::arg("logger").none() = none);
    command.method(&fast_methods[0]);
    command.def_static("kwargs_to_dashed_args", &kwargs_to_dashed_args, nb::arg("kwargs"),
                       "Options as the words -name value ..., in order.");
    command.method(&fast_methods[1]);
    static PyMethodDef call_def = {"__call__", as_method(&command_call_slot),
                                   METH_VARARGS | METH_KEYWORDS, "Call self as a function."};
    set_call_slot(command, &call_def, &command_call_slot);
    command.method(&fast_methods[2]);
}

} // namespace tessel::ns
