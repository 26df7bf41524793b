// namespace_commands.cpp — placeholder until the command handles are built.
#include "namespace_parts.hpp"
namespace tessel::ns {
void add_command_classes(nb::module_& m) {
    (void)m;
}
} // namespace tessel::ns
