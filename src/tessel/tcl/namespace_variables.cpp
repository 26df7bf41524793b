// namespace_variables.cpp — placeholder until the variable handles are built.
#include "namespace_parts.hpp"
namespace tessel::ns {
void add_variable_classes(nb::module_& m) {
    (void)m;
}
} // namespace tessel::ns
