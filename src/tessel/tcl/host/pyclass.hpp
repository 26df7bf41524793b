// pyclass.hpp — builds ordinary Python classes whose methods are C++ functions.
// Every module makes its classes this way, so they can have Python bases and metaclasses.
#pragma once

#include "host/refusals.hpp"

#include <nanobind/nanobind.h>

#include <utility>

namespace tessel {
namespace nb = nanobind;

/// Builds one Python class: created by its metaclass first, then filled with
/// C++ methods in class-body order, and finally checked for abstract methods.
class ClassBuilder {
  public:
    /// Creates class `name` in module `module_name` from `bases`, made by
    /// `metaclass` (`type` when null). `qualname` defaults to `name`.
    ClassBuilder(const char* module_name, const char* name, nb::tuple bases,
                 nb::handle metaclass = nb::handle(), const char* qualname = nullptr);

    /// Adds an instance method; the C++ callable takes the instance first.
    /// A call that fits none of its parameters is refused in CPython's words (refusals.hpp).
    template <typename Func, typename... Extra>
    ClassBuilder& def(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, function<true>(scope_, name, std::forward<Func>(f), extra...));
    }

    /// Adds a static method (wrapped in `staticmethod`), refusing as `def` does.
    template <typename Func, typename... Extra>
    ClassBuilder& def_static(const char* name, Func&& f, const Extra&... extra) {
        return attr(name,
                    staticmethod(function<false>(scope_, name, std::forward<Func>(f), extra...)));
    }

    /// A function bound by nanobind as attribute `name` of `scope` (which must outlive it),
    /// refusing a call in CPython's words (refusals.hpp); `Method`: called with the instance
    /// first. Returns the function.
    template <bool Method, typename Func, typename... Extra>
    static nb::object function(nb::handle scope, const char* name, Func&& f,
                               const Extra&... extra) {
        nb::object fn;
        // (a class's function defined anew replaces the old one rather than overloading it)
        if (!PyModule_Check(scope.ptr())) {
            nb::dict own = nb::borrow<nb::dict>(scope.attr("__dict__"));
            if (own.contains(name)) nb::del(own[name]);
        }
        if constexpr (Method)
            fn = nb::cpp_function(f, nb::name(name), nb::scope(scope), nb::is_method(), extra...);
        else
            fn = nb::cpp_function(f, nb::name(name), nb::scope(scope), extra...);
        nb::object refusing = refusing_overload<Func>(scope, name, Method, extra...);
        return refusing.is_valid() ? refusing : fn;
    }

    /// Binds `name` to the very object already stored under `existing`.
    ClassBuilder& alias(const char* name, const char* existing);

    /// Stores a method descriptor for `def` (which must outlive the process): the kind of
    /// method Python calls without building argument tuples or bound methods.
    ClassBuilder& method(PyMethodDef* def);

    /// Stores any object in the class namespace.
    ClassBuilder& attr(const char* name, nb::handle value);

    /// The class object (complete once `finish` ran).
    nb::object cls() const { return cls_; }

    /// Recomputes the abstract methods of ABC-made classes and returns the class.
    nb::object finish();

    static nb::object staticmethod(nb::handle fn);

  private:
    nb::object cls_;
    /// Where nanobind puts the class's functions (and chains their overloads) before they
    /// reach the class: a namespace naming the class's module and qualified name, kept for
    /// good (the functions name it). The class itself could not be it: nanobind refuses to
    /// chain to an attribute a base class gives that is no function of its own.
    nb::handle scope_;
};

/// Adds function `name` to a module, refusing a call as ClassBuilder::def does.
template <typename Func, typename... Extra>
void def_function(nb::module_& module, const char* name, Func&& f, const Extra&... extra) {
    ClassBuilder::function<false>(module, name, std::forward<Func>(f), extra...);
}

/// A C function of any calling convention as a method table stores it.
template <typename F> PyCFunction as_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// Keeps a cached import or interned name for the life of the process: it is
/// never released, so nothing touches Python while the interpreter shuts down.
inline nb::handle keep(nb::object obj) {
    return obj.release();
}

/// Wraps a function so that it accepts attributes (`f.from_sequence = ...`):
/// a `functools.partial` without bound arguments, called as fast as the function.
nb::object function_with_attributes(nb::handle fn);

/// True when `obj` has the attribute `name` with a true value; the value lands in `out`.
/// Only `AttributeError` counts as absence; other errors propagate.
bool true_attribute(nb::handle obj, nb::handle name, nb::object& out);

} // namespace tessel
