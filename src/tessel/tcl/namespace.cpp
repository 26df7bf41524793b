// namespace.cpp — placeholder until the module is built.
#include <nanobind/nanobind.h>
NB_MODULE(namespace, m) { (void)m; }
