// pyclass.hpp — builds ordinary Python classes whose methods are C++ functions.
// Every module makes its classes this way, so they can have Python bases and metaclasses.
#pragma once

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
    template <typename Func, typename... Extra>
    ClassBuilder& def(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                           extra...));
    }

    /// Adds a static method (wrapped in `staticmethod`).
    template <typename Func, typename... Extra>
    ClassBuilder& def_static(const char* name, Func&& f, const Extra&... extra) {
        nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
        return attr(name, staticmethod(fn));
    }

    /// Binds `name` to the very object already stored under `existing`.
    ClassBuilder& alias(const char* name, const char* existing);

    /// Stores any object in the class namespace.
    ClassBuilder& attr(const char* name, nb::handle value);

    /// The class object (complete once `finish` ran).
    nb::object cls() const { return cls_; }

    /// Recomputes the abstract methods of ABC-made classes and returns the class.
    nb::object finish();

    static nb::object staticmethod(nb::handle fn);

  private:
    nb::object cls_;
};

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
