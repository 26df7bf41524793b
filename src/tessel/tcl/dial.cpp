// dial.cpp — placeholder until the module is built.
#include <nanobind/nanobind.h>
NB_MODULE(dial, m) { (void)m; }
