// interpreter_values.cpp — Tcl values into Python values: the casts, as methods of the class.
// They try Tcl's own parsers through the host, with fixed fallbacks; lists: interpreter_lists.cpp.

#include "host/arguments.hpp"
#include "host/class_guard.hpp"
#include "host/pyerrors.hpp"
#include "interpreter_parts.hpp"

#include <tcl.h>

#include <cstring>

namespace nb = nanobind;

namespace tessel::interp {

nb::object catch_error(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return nb::object();
    return take_error();
}

void raise_from(PyObject* exc_type, nb::handle cause) {
    nb::object exc = check(PyObject_CallOneArg(exc_type, cause.ptr()));
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(exc.ptr(), Py_NewRef(cause.ptr()));
    PyErr_Restore(Py_NewRef(exc_type), exc.release().ptr(), nullptr);
    throw nb::python_error();
}

namespace {

/// `func(value)`, retried on the Tcl text of `value` when the host refuses its type.
nb::object convert_or_retry_as_text(nb::handle func, nb::handle value) {
    PyObject* result = PyObject_CallOneArg(func.ptr(), value.ptr());
    if (result) return nb::steal(result);
    nb::object refused = catch_error(PyExc_TypeError);
    if (!refused.is_valid()) throw nb::python_error();
    nb::object text = check(names().api->scriptify(value.ptr()));
    return check(PyObject_CallOneArg(func.ptr(), text.ptr()));
}

nb::object cast_number(nb::handle self, nb::handle parser, nb::handle value) {
    return convert_or_retry_as_text(get_attr(self, parser), value);
}

// ---- fast readings ----
//
// The casts of text go through the host's Python-level conversions (getint, getdouble), which
// hand the text to Tcl's number parser. While an instance still uses the class's own casts,
// the host class's own conversions and a host object of the host's own type, the same parser
// is called here directly, without an interpreter: the parse is pure data and runs no
// command. Whatever it cannot decide (integers beyond 64 bits, text Tcl would see differently
// from its UTF-8 form, a failure whose message has to be Tcl's) goes the documented way.

/// What the class and the host use now, recorded when the class is built.
struct OwnFunctions {
    PyObject *cast_int = nullptr, *cast_double = nullptr, *cast_boolean = nullptr;
    PyObject *getattribute = nullptr, *getint = nullptr, *getdouble = nullptr;
    PyTypeObject* host_type = nullptr;
    PyObject *host_getint = nullptr, *host_getdouble = nullptr, *host_getboolean = nullptr;
    PyObject *host_module_dict = nullptr, *host_error_name = nullptr, *host_error = nullptr;
    const Tcl_ObjType* int_type = nullptr;
};

OwnFunctions& own() {
    static OwnFunctions functions;
    return functions;
}

enum class Reading { no, yes, undecided };

/// The reading steps of a cast, in the order cast_any takes them.
enum Step { kInt, kDouble, kBoolean };

/// The class facts that reading step `step` relies on: the class's own `__getattribute__`, no
/// class `tk` attribute hiding the instance's, the class's own cast and conversion of the step
/// and the host class's own conversion.
bool step_facts_hold(PyTypeObject* type, Step step) {
    const OwnFunctions& o = own();
    const Names& n = names();
    PyTypeObject* host = o.host_type;
    if (!class_reads(type, n.getattribute, o.getattribute) ||
        class_attribute(type, n.tk).is_valid())
        return false;
    switch (step) {
    case kInt:
        return class_reads(type, n.cast_int, o.cast_int) && class_reads(type, n.getint, o.getint) &&
               class_reads(host, n.getint, o.host_getint);
    case kDouble:
        return class_reads(type, n.cast_double, o.cast_double) &&
               class_reads(type, n.getdouble, o.getdouble) &&
               class_reads(host, n.getdouble, o.host_getdouble);
    case kBoolean:
        return class_reads(type, n.cast_boolean, o.cast_boolean) &&
               class_reads(host, n.getboolean, o.host_getboolean);
    }
    return false;
}

/// The class of an instance and the host's type still hold what reading step `step` relies
/// on. Where classes can be watched, every step's facts are read at once and kept while the
/// guard holds (host/class_guard.hpp); elsewhere only the step's own, on every call.
bool types_unchanged(PyTypeObject* type, Step step) {
    static ClassGuard guard; // guarded by the GIL
    PyTypeObject* host = own().host_type;
    if (!host) return false;
    if (!kClassWatchers) return step_facts_hold(type, step);
    return guard.check(type,
                       [&] {
                           return step_facts_hold(type, kInt) && step_facts_hold(type, kDouble) &&
                                  step_facts_hold(type, kBoolean);
                       },
                       {host});
}

/// Whether the casts of `self` may read text directly, decided step by step as a cast goes:
/// the class must hold its own casts and the host class its own conversions (types_unchanged),
/// the host object must be of the host's own type, and no instance attribute may hide a method
/// that the step's documented way would call. A step refused refuses every later one. A
/// reading that says no stands for the ValueError that the documented way raises from the
/// host's error, which also needs the host module to still name the host's own error.
class FastReadings {
  public:
    explicit FastReadings(PyObject* self) : self_(self) {}

    /// True when the steps so far and `step`, which calls the methods `names`, may read
    /// directly.
    bool allow(Step step, std::initializer_list<nb::handle> names) {
        if (!allowed_ || !ready() || !types_unchanged(Py_TYPE(self_), step))
            return allowed_ = false;
        for (nb::handle name : names)
            if (optional_item(dict_, name).is_valid()) return allowed_ = false;
        return true;
    }

    /// True when a reading's no may stand for the ValueError of the documented way.
    bool no_is_value_error() {
        const OwnFunctions& o = own();
        return optional_item(nb::handle(o.host_module_dict), nb::handle(o.host_error_name))
            .is(o.host_error);
    }

  private:
    bool ready() {
        if (dict_.is_valid()) return true;
        nb::object dict = instance_dict(self_);
        if (!dict.is_valid() || !PyDict_CheckExact(dict.ptr())) return false;
        nb::object tk = optional_item(dict, names().tk);
        if (!tk.is_valid() || Py_TYPE(tk.ptr()) != own().host_type) return false;
        dict_ = std::move(dict);
        return true;
    }

    PyObject* self_;
    nb::object dict_; ///< the instance dictionary, once the types and the host object held
    bool allowed_ = true;
};

/// The UTF-8 form Tcl would be handed for `text`, or null (no error) when it has none that
/// Tcl reads alike: a lone surrogate, or a NUL.
const char* plain_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (!bytes) {
        PyErr_Clear();
        return nullptr;
    }
    return std::memchr(bytes, 0, size_t(size)) ? nullptr : bytes;
}

/// Tcl's integer reading of `utf8`: yes with `*result` set, no when Tcl reads no integer,
/// undecided when the integer needs more than 64 bits (Tcl's wide reading would wrap it).
Reading read_int(const char* utf8, nb::object* result) {
    // Plain decimals (no sign but '-', no leading zero, which Tcl reads as octal, no blanks)
    // of up to 18 digits read alike everywhere.
    const char* digits = utf8 + (*utf8 == '-');
    if (*digits >= '1' && *digits <= '9') {
        long long value = 0;
        const char* at = digits;
        while (*at >= '0' && *at <= '9' && at - digits < 18)
            value = value * 10 + (*at++ - '0');
        if (!*at) {
            *result = check(PyLong_FromLongLong(digits == utf8 ? value : -value));
            return Reading::yes;
        }
    } else if (digits[0] == '0' && !digits[1]) {
        *result = check(PyLong_FromLong(0));
        return Reading::yes;
    }
    Tcl_Obj* obj = Tcl_NewStringObj(utf8, -1);
    Tcl_IncrRefCount(obj);
    Tcl_WideInt wide = 0;
    int code = Tcl_GetWideIntFromObj(nullptr, obj, &wide);
    const Tcl_ObjType* type = obj->typePtr;
    Tcl_DecrRefCount(obj);
    if (code == TCL_OK && type && type == own().int_type) {
        *result = check(PyLong_FromLongLong(wide));
        return Reading::yes;
    }
    return code != TCL_OK && !type ? Reading::no : Reading::undecided;
}

/// Tcl's floating-point reading of `utf8` (the host reads text with the same call).
Reading read_double(const char* utf8, nb::object* result) {
    double value = 0;
    if (Tcl_GetDouble(nullptr, utf8, &value) != TCL_OK) return Reading::no;
    *result = check(PyFloat_FromDouble(value));
    return Reading::yes;
}

/// Tcl's boolean reading of `utf8` (the host reads text with the same call).
Reading read_boolean(const char* utf8, nb::object* result) {
    int value = 0;
    if (Tcl_GetBoolean(nullptr, utf8, &value) != TCL_OK) return Reading::no;
    *result = nb::bool_(value != 0);
    return Reading::yes;
}

/// The boolean cast's own first step, the reset of the interpreter's result, then the boolean
/// reading of `utf8`. Its TypeError or ValueError is the cast's (a no); other errors propagate.
Reading reset_then_read_boolean(nb::handle self, const char* utf8, nb::object* result) {
    PyObject* arg = self.ptr();
    PyObject* done = PyObject_Vectorcall(names().reset_result.ptr(), &arg, 1, nullptr);
    if (!done) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return Reading::no;
        }
        throw nb::python_error();
    }
    Py_DECREF(done);
    return read_boolean(utf8, result);
}

nb::object cast_int(nb::handle self, nb::handle value) {
    const Names& n = names();
    PyObject* arg = value.ptr();
    if ((PyUnicode_CheckExact(arg) || PyLong_CheckExact(arg)) &&
        FastReadings(self.ptr()).allow(kInt, {n.getint})) {
        if (PyLong_CheckExact(arg)) return nb::borrow(value);
        nb::object result;
        if (const char* utf8 = plain_utf8(arg))
            if (read_int(utf8, &result) == Reading::yes) return result;
    }
    return cast_number(self, n.getint, value);
}

nb::object cast_double(nb::handle self, nb::handle value) {
    const Names& n = names();
    PyObject* arg = value.ptr();
    if (PyUnicode_CheckExact(arg) && FastReadings(self.ptr()).allow(kDouble, {n.getdouble})) {
        nb::object result;
        if (const char* utf8 = plain_utf8(arg))
            if (read_double(utf8, &result) == Reading::yes) return result;
    }
    return cast_number(self, n.getdouble, value);
}

/// The result of `self.<cast>(value) != zero`, or null when the cast raised ValueError.
nb::object nonzero_unless_value_error(nb::handle self, nb::handle cast, nb::handle value,
                                      PyObject* zero) {
    PyObject* stack[] = {self.ptr(), value.ptr()};
    PyObject* number = PyObject_VectorcallMethod(cast.ptr(), stack, 2, nullptr);
    if (!number) {
        if (catch_error(PyExc_ValueError).is_valid()) return nb::object();
        throw nb::python_error();
    }
    nb::object owned = nb::steal(number);
    return check(PyObject_RichCompare(number, zero, Py_NE));
}

nb::object cast_boolean(nb::handle self, nb::handle value) {
    Names& n = names();
    call(n.reset_result, {self});
    nb::object parse = get_attr(get_attr(self, n.tk), n.getboolean);
    PyObject* parsed = PyObject_CallOneArg(parse.ptr(), value.ptr());
    if (!parsed) {
        if (!PyErr_ExceptionMatches(n.tcl_error.ptr())) {
            nb::object refused = catch_error(PyExc_TypeError);
            if (!refused.is_valid()) throw nb::python_error();
            nb::object text = check(n.api->scriptify(value.ptr()));
            parsed = PyObject_CallOneArg(parse.ptr(), text.ptr());
        }
    }
    if (parsed) return nb::bool_(truth(nb::steal(parsed)));
    nb::object not_boolean = catch_error(n.tcl_error.ptr());
    if (!not_boolean.is_valid()) throw nb::python_error();
    nb::object zero_int = nb::int_(0), zero_double = nb::float_(0.0);
    nb::object result = nonzero_unless_value_error(self, n.cast_int, value, zero_int.ptr());
    if (!result.is_valid())
        result = nonzero_unless_value_error(self, n.cast_double, value, zero_double.ptr());
    if (!result.is_valid()) raise_from(PyExc_ValueError, not_boolean);
    return result;
}

/// `item_cast` applied to every value of a mapping, in place; `pairs` lists (key, value).
void cast_values_in_place(nb::handle mapping, nb::handle pairs, nb::handle item_cast) {
    nb::object listed = check(PySequence_List(pairs.ptr()));
    for (nb::handle pair : listed) {
        nb::object key = check(PySequence_GetItem(pair.ptr(), 0));
        nb::object value = check(PySequence_GetItem(pair.ptr(), 1));
        nb::object cast = call(item_cast, {value});
        if (PyObject_SetItem(mapping.ptr(), key.ptr(), cast.ptr()) < 0) throw nb::python_error();
    }
}

nb::object cast_array(nb::handle value, nb::handle item_cast) {
    Names& n = names();
    nb::object result = call_method(module_global(n.Array), n.from_tcl, {value});
    if (!item_cast.is_none()) cast_values_in_place(result, call_method(result, n.items), item_cast);
    return result;
}

/// Tries `self.<cast>(value)`; null when it raised TypeError or ValueError.
nb::object try_cast(nb::handle self, nb::handle cast, nb::handle value) {
    PyObject* stack[] = {self.ptr(), value.ptr()};
    PyObject* result = PyObject_VectorcallMethod(cast.ptr(), stack, 2, nullptr);
    if (result) return nb::steal(result);
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return nb::object();
    }
    throw nb::python_error();
}

nb::object cast_any(nb::handle self, nb::handle value) {
    Names& n = names();
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type == &PyTuple_Type) {
        PyObject* stack[] = {self.ptr(), value.ptr(), n.scriptify_fn.ptr()};
        nb::object kwnames = nb::make_tuple(n.item_cast);
        return check(PyObject_VectorcallMethod(n.cast_list.ptr(), stack, 2, kwnames.ptr()));
    }
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type)
        return nb::borrow(value);
    if (type == (PyTypeObject*)n.tcl_obj_type.ptr()) {
        nb::object type_name = get_attr(value, n.type_name);
        int keyed = PyObject_RichCompareBool(type_name.ptr(), n.keyed_list_type.ptr(), Py_EQ);
        if (keyed < 0) throw nb::python_error();
        if (keyed) return cast_keyed_list(value, nb::none());
    }
    nb::object text = check(PyObject_Str(value.ptr()));
    const char* utf8 = PyUnicode_CheckExact(text.ptr()) ? plain_utf8(text.ptr()) : nullptr;
    FastReadings fast(self.ptr());
    // With the fast readings, a "no" is the ValueError the cast would raise and swallow here.
    // The boolean cast first resets the interpreter's result, which is also where a call from
    // a thread that does not own the interpreter is refused: that step is always taken.
    const std::initializer_list<nb::handle> step_methods[] = {
        {n.cast_int, n.getint}, {n.cast_double, n.getdouble}, {n.cast_boolean}};
    int step = 0;
    for (nb::handle cast : {n.cast_int, n.cast_double, n.cast_boolean}) {
        nb::object result;
        Reading reading = Reading::undecided;
        if (utf8 && fast.allow(Step(step), step_methods[step])) {
            if (step == 0) reading = read_int(utf8, &result);
            if (step == 1) reading = read_double(utf8, &result);
            if (step == 2) reading = reset_then_read_boolean(self, utf8, &result);
        }
        ++step;
        if (reading == Reading::yes) return result;
        if (reading == Reading::no && fast.no_is_value_error()) continue;
        result = try_cast(self, cast, text);
        if (result.is_valid()) return result;
    }
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0) {
        try {
            return cast_keyed_list(text, nb::none());
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        }
    }
    return text;
}

/// Static casts take `item_cast` by keyword or position, None meaning no item cast.
nb::object cast_list_py(nb::handle value, nb::handle item_cast) {
    return cast_list(value, item_cast);
}

nb::object cast_keyed_list_py(nb::handle value, nb::handle item_cast) {
    return cast_keyed_list(value, item_cast);
}

} // namespace

nb::object cast_keyed_list(nb::handle value, nb::handle item_cast) {
    Names& n = names();
    nb::object result = call_method(module_global(n.NestMap), n.from_tcl, {value});
    if (!item_cast.is_none())
        cast_values_in_place(result, call_method(result, n.all_items), item_cast);
    return result;
}

void record_own_casts(nb::handle cls) {
    OwnFunctions& o = own();
    const Names& n = names();
    auto type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    // as reading them from the class gives them; held for the life of the process
    auto own_attribute = [](PyTypeObject* cls, nb::handle name) {
        PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), name.ptr());
        if (!found) PyErr_Clear(); // then the fast readings stay off
        return found;
    };
    o.cast_int = own_attribute(type, n.cast_int);
    o.cast_double = own_attribute(type, n.cast_double);
    o.cast_boolean = own_attribute(type, n.cast_boolean);
    o.getattribute = own_attribute(type, n.getattribute);
    o.getint = own_attribute(type, n.getint);
    o.getdouble = own_attribute(type, n.getdouble);
    nb::module_ host = nb::module_::import_("_tkinter");
    auto host_type = reinterpret_cast<PyTypeObject*>(keep(host.attr("TkappType")).ptr());
    o.host_getint = own_attribute(host_type, n.getint);
    o.host_getdouble = own_attribute(host_type, n.getdouble);
    o.host_getboolean = own_attribute(host_type, n.getboolean);
    // The host class's conversions catch the module's TclError by its name at call time.
    nb::object globals = cls.attr(n.getint).attr("__globals__");
    o.host_module_dict = keep(globals).ptr();
    o.host_error_name = keep(nb::str("TclError")).ptr();
    o.host_error = keep(host.attr("TclError")).ptr();
    o.int_type = Tcl_GetObjType("int");
    if (o.int_type && o.cast_int && o.getint && o.getdouble && o.host_getint && o.host_getdouble &&
        o.host_getboolean && o.getattribute)
        o.host_type = host_type;
}

namespace {

/// A method `name(self, value)` taking its argument by vectorcall, as a plain method
/// descriptor: the casts are called once per Tcl result, and a binding layer's dispatch would
/// cost more than the cast of a short text.
template <nb::object (*Cast)(nb::handle, nb::handle)>
PyObject* value_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Parameters& parameters) {
    PyObject* value = nullptr;
    if (nargs == 1 && !kwnames)
        value = args[0];
    else if (!parameters.bind(args, nargs, kwnames, &value))
        return nullptr;
    return guarded([&] { return Cast(self, value); });
}

constexpr const char* kValueName[] = {"value"};

#define TESSEL_VALUE_METHOD(fn, doc)                                                               \
    PyMethodDef fn##_method = {                                                                    \
        #fn,                                                                                       \
        as_method(                                                                                 \
            +[](PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {      \
                static constexpr Parameters parameters(#fn, kValueName, 1, 1);                     \
                return value_method<&fn>(self, args, nargs, kwnames, parameters);                  \
            }),                                                                                    \
        METH_FASTCALL | METH_KEYWORDS, #fn "($self, /, value)\n--\n\n" doc};

TESSEL_VALUE_METHOD(cast_int, "Tcl's integer reading of a value.")
TESSEL_VALUE_METHOD(cast_double, "Tcl's floating-point reading of a value.")
TESSEL_VALUE_METHOD(cast_boolean, "Tcl's boolean reading of a value, numbers included.")
TESSEL_VALUE_METHOD(
    cast_any, "The value as int, float, bool or NestMap, whichever reads first; else its text.")
#undef TESSEL_VALUE_METHOD

/// A static cast `name(value, item_cast=None)` taking its arguments by vectorcall, for the
/// same reason as `value_method`.
template <nb::object (*Cast)(nb::handle, nb::handle)>
PyObject* static_cast_method(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const Parameters& parameters) {
    PyObject* bound[2] = {nullptr, Py_None};
    if (nargs == 1 && !kwnames)
        bound[0] = args[0];
    else if (!parameters.bind(args, nargs, kwnames, bound))
        return nullptr;
    return guarded([&] { return Cast(bound[0], bound[1]); });
}

constexpr const char* kCastNames[] = {"value", "item_cast"};

#define TESSEL_STATIC_CAST(name, fn, doc)                                                          \
    PyMethodDef name##_method = {                                                                  \
        #name,                                                                                     \
        as_method(+[](PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {     \
            static constexpr Parameters parameters(#name, kCastNames, 2, 1, false);                \
            return static_cast_method<&fn>(args, nargs, kwnames, parameters);                      \
        }),                                                                                        \
        METH_FASTCALL | METH_KEYWORDS, #name "(value, item_cast=None)\n--\n\n" doc};

TESSEL_STATIC_CAST(cast_list, cast_list_py,
                   "The elements of a Tcl list as a tuple, each through item_cast if given.")
TESSEL_STATIC_CAST(cast_array, cast_array,
                   "An [array get] list as an Array, values through item_cast if given.")
TESSEL_STATIC_CAST(cast_keyed_list, cast_keyed_list_py,
                   "A TclX keyed list as a NestMap, leaves through item_cast if given.")
#undef TESSEL_STATIC_CAST

void add_static_cast(ClassBuilder& cls, PyMethodDef& def) {
    nb::object module = cls.cls().attr("__module__");
    nb::object fn = nb::steal(PyCFunction_NewEx(&def, nullptr, module.ptr()));
    if (!fn.is_valid()) throw nb::python_error();
    cls.attr(def.ml_name, ClassBuilder::staticmethod(fn));
}

} // namespace

// The casts run once per Tcl result: plain vectorcall functions, without a binding layer's
// dispatch.
void add_cast_methods(ClassBuilder& cls) {
    add_static_cast(cls, cast_list_method);
    cls.method(&cast_int_method);
    cls.method(&cast_double_method);
    cls.method(&cast_boolean_method);
    add_static_cast(cls, cast_array_method);
    add_static_cast(cls, cast_keyed_list_method);
    cls.method(&cast_any_method);
}

} // namespace tessel::interp
