// arguments.hpp — binds the arguments of a function called straight from Python to its
// parameters, and words every refusal (count, keyword, type) as CPython's own functions do.
#pragma once

#include <Python.h>

namespace tessel {

/// The parameters of one function as Python would declare them:
/// `def function(self, p0, p1=..., *, k0, ...)`. `positional` of the names may be given by
/// position, the first `required` of those must be given; the names after `positional` are
/// keyword-only and required. `self` counts in the totals of the messages, as CPython counts
/// it for methods; `variadic` takes any further positional arguments (`*args`), unbound.
class Parameters {
  public:
    template <size_t N>
    constexpr Parameters(const char* function, const char* const (&names)[N], int positional,
                         int required, bool self = true, bool variadic = false)
        : function_(function), names_(names), count_(int(N)), positional_(positional),
          required_(required), self_(self), variadic_(variadic) {}

    /// The same from a names array made at run time (which must outlive this object).
    Parameters(const char* function, const char* const* names, int count, int positional,
               int required, bool self, bool variadic)
        : function_(function), names_(names), count_(count), positional_(positional),
          required_(required), self_(self), variadic_(variadic) {}

    /// Binds a vectorcall's arguments. `out` holds one slot per name: the defaults on entry
    /// (null for none), the arguments on return. False with a TypeError set on a mismatch.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
        if (nargs > positional_ && !variadic_) return too_many(nargs);
        Py_ssize_t bound = nargs < positional_ ? nargs : positional_;
        for (Py_ssize_t i = 0; i < bound; ++i)
            out[i] = args[i];
        if (kwnames) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
                if (!keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound, out))
                    return false;
        }
        return complete(out);
    }

    /// The same for a call by argument tuple and keyword dict (either may be null), as
    /// `tp_init` gets them.
    bool bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
        Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
        if (nargs > positional_ && !variadic_) return too_many(nargs);
        Py_ssize_t bound = nargs < positional_ ? nargs : positional_;
        for (Py_ssize_t i = 0; i < bound; ++i)
            out[i] = PyTuple_GET_ITEM(args, i);
        if (kwargs) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (!keyword(key, value, bound, out)) return false;
        }
        return complete(out);
    }

    /// Sets "function() argument 'name' must be expected, not type" (no name given:
    /// "function() argument must be ...") and returns null.
    PyObject* wrong_type(const char* name, const char* expected, PyObject* given) const {
        return refuse_type(function_, name, expected, given);
    }

    static PyObject* refuse_type(const char* function, const char* name, const char* expected,
                                 PyObject* given) {
        if (name)
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function,
                         name, expected, Py_TYPE(given)->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "%s() argument must be %s, not %.200s", function,
                         expected, Py_TYPE(given)->tp_name);
        return nullptr;
    }

  private:
    bool too_many(Py_ssize_t nargs) const {
        int extra = self_ ? 1 : 0;
        Py_ssize_t given = nargs + extra;
        const char* were = given == 1 ? "was" : "were";
        if (required_ == positional_)
            PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                         function_, positional_ + extra, positional_ + extra == 1 ? "" : "s", given,
                         were);
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %d to %d positional arguments but %zd %s given",
                         function_, required_ + extra, positional_ + extra, given, were);
        return false;
    }

    bool keyword(PyObject* key, PyObject* value, Py_ssize_t bound, PyObject** out) const {
        int found = -1;
        if (PyUnicode_Check(key))
            for (int i = 0; i < count_ && found < 0; ++i)
                if (PyUnicode_CompareWithASCIIString(key, names_[i]) == 0) found = i;
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_,
                         key);
            return false;
        }
        if (found < bound) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_,
                         names_[found]);
            return false;
        }
        out[found] = value;
        return true;
    }

    /// Reports the required parameters left without an argument, as CPython lists them:
    /// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
    bool complete(PyObject** out) const {
        if (!missing(0, required_, out, "positional")) return false;
        return missing(positional_, count_, out, "keyword-only");
    }

    bool missing(int from, int to, PyObject** out, const char* kind) const {
        int absent = 0;
        for (int i = from; i < to; ++i)
            absent += out[i] ? 0 : 1;
        if (absent == 0) return true;
        PyObject* list = PyUnicode_FromString("");
        int listed = 0;
        for (int i = from; i < to && list; ++i) {
            if (out[i]) continue;
            const char* joint = listed == 0           ? ""
                                : listed + 1 < absent ? ", "
                                : absent == 2         ? " and "
                                                      : ", and ";
            PyObject* more = PyUnicode_FromFormat("%U%s'%s'", list, joint, names_[i]);
            Py_DECREF(list);
            list = more;
            ++listed;
        }
        if (!list) return false;
        PyErr_Format(PyExc_TypeError, "%s() missing %d required %s argument%s: %U", function_,
                     absent, kind, absent == 1 ? "" : "s", list);
        Py_DECREF(list);
        return false;
    }

    const char* function_;
    const char* const* names_;
    int count_, positional_, required_;
    bool self_, variadic_;
};

} // namespace tessel
