// refusals.hpp — a call that fits none of a bound function's parameters is refused in Python's
// own words ("get_var() missing 1 required positional argument: 'name'").
#pragma once

#include "host/arguments.hpp"

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace tessel {
namespace nb = nanobind;

namespace refusal_detail {

/// The parameter types of a function, a function pointer or a lambda.
template <typename T> struct parameters_of : parameters_of<decltype(&T::operator())> {};
template <typename R, typename... A> struct parameters_of<R (*)(A...)> {
    using types = std::tuple<std::decay_t<A>...>;
};
template <typename R, typename... A> struct parameters_of<R(A...)> : parameters_of<R (*)(A...)> {};
template <typename R, typename C, typename... A> struct parameters_of<R (C::*)(A...) const> {
    using types = std::tuple<std::decay_t<A>...>;
};
template <typename R, typename C, typename... A> struct parameters_of<R (C::*)(A...)> {
    using types = std::tuple<std::decay_t<A>...>;
};

template <typename Tuple, typename T> struct counts;
template <typename... A, typename T> struct counts<std::tuple<A...>, T> {
    static constexpr int value = (0 + ... + (std::is_same_v<A, T> ? 1 : 0));
};

/// The parameters the refusal describes, kept as long as the function (its names too).
struct Described {
    std::string function;
    std::vector<std::string> names;
    std::vector<const char*> pointers;
    int positional = 0, required = 0;
    bool method = false, variadic = false, var_keywords = false, named = true;

    template <typename Extra> void add(const Extra& extra) {
        using Traits = nb::detail::arg_traits<Extra>;
        if constexpr (std::is_same_v<Extra, nb::kw_only>) {
            keyword_only = true;
        } else if constexpr (Traits::is_arg) {
            if (!extra.name_) named = false;
            names.emplace_back(extra.name_ ? extra.name_ : "");
            defaults.push_back(Traits::has_default);
            keyword.push_back(keyword_only);
        }
    }

    bool knows(nb::handle key) const {
        for (const std::string& n : names)
            if (PyUnicode_Check(key.ptr()) &&
                PyUnicode_CompareWithASCIIString(key.ptr(), n.c_str()) == 0)
                return true;
        return false;
    }

    std::vector<bool> defaults, keyword;
    bool keyword_only = false;
};

} // namespace refusal_detail

/*
 * A second overload for a function just bound by nanobind, taking whatever the first refused,
 * so that a call with a wrong count of arguments, an unknown keyword or a keyword given twice
 * gets CPython's message rather than the binding library's list of signatures. Made only for
 * functions whose parameters are all named; otherwise the returned object is invalid and the
 * function is left as it is. The function bound must be `scope`'s attribute `name` (nanobind
 * chains overloads that way; the returned object, both overloads, takes its place there).
 * `method`: called with the instance first. Costs a call that fits nothing more than
 * nanobind's simpler dispatch would (measured: about 10 to 15 ns a call).
 */
template <typename Func, typename... Extra>
nb::object refusing_overload(nb::handle scope, const char* name, bool method,
                             const Extra&... extra) {
    using namespace refusal_detail;
    using Types = typename parameters_of<std::decay_t<Func>>::types;
    constexpr int var_positional = counts<Types, nb::args>::value;
    constexpr int var_keywords = counts<Types, nb::kwargs>::value;
    auto described = std::make_shared<Described>();
    Described& d = *described;
    d.function = name;
    d.method = method;
    (d.add(extra), ...);
    int declared = int(std::tuple_size_v<Types>) - (method ? 1 : 0);
    if (!d.named || (declared > 0 && int(d.names.size()) != declared)) return nb::object();
    // (`*args` and `**kwargs` come last, in that order, and bind no name of their own)
    for (bool variadic : {var_keywords > 0, var_positional > 0}) {
        if (!variadic || d.names.empty()) continue;
        d.names.pop_back(), d.defaults.pop_back(), d.keyword.pop_back();
    }
    d.variadic = var_positional > 0;
    d.var_keywords = var_keywords > 0;
    for (size_t i = 0; i < d.names.size(); ++i) {
        if (d.keyword[i]) continue;
        ++d.positional;
        if (!d.defaults[i]) d.required = d.positional;
    }
    for (const std::string& n : d.names)
        d.pointers.push_back(n.c_str());
    auto refuse = [described](nb::args args, nb::kwargs kwargs) -> nb::object {
        const Described& d = *described;
        Parameters parameters(d.function.c_str(), d.pointers.data(), int(d.pointers.size()),
                              d.positional, d.required, d.method, d.variadic);
        std::vector<PyObject*> bound(d.pointers.size() + 1, nullptr);
        for (size_t i = 0; i < d.defaults.size(); ++i)
            if (d.defaults[i]) bound[i] = Py_None; // (present: only absence is reported)
        nb::dict named;
        for (auto [key, value] : kwargs) // (a `**kwargs` takes the names it does not know)
            if (!d.var_keywords || d.knows(key)) named[key] = value;
        if (!parameters.bind(args.ptr(), named.size() ? named.ptr() : nullptr, bound.data()))
            throw nb::python_error();
        // the count and the keywords fit: a type did not
        std::string given;
        for (nb::handle arg : args)
            given += (given.empty() ? "" : ", ") + std::string(Py_TYPE(arg.ptr())->tp_name);
        PyErr_Format(PyExc_TypeError, "%s() got an argument of a type it does not take (%s)",
                     d.function.c_str(), given.c_str());
        throw nb::python_error();
    };
    std::string signature = "def " + d.function + (method ? "(self, " : "(") + "*args, **kwargs)";
    if (!method)
        return nb::cpp_function(refuse, nb::name(name), nb::scope(scope),
                                nb::sig(signature.c_str()));
    auto refuse_method = [refuse](nb::handle, nb::args args, nb::kwargs kwargs) {
        return refuse(std::move(args), std::move(kwargs));
    };
    return nb::cpp_function(refuse_method, nb::name(name), nb::is_method(), nb::scope(scope),
                            nb::sig(signature.c_str()));
}

} // namespace tessel
