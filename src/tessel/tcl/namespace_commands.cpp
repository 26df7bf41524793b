// namespace_commands.cpp — placeholder until the classes are built.
#include "namespace_parts.hpp"
namespace tessel::ns {
void add_commands_classes_placeholder() {}
} // namespace tessel::ns
