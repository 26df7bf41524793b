// namespace_variables.cpp — placeholder until the classes are built.
#include "namespace_parts.hpp"
namespace tessel::ns {
void add_variables_classes_placeholder() {}
} // namespace tessel::ns
