// interpreter.cpp — placeholder until the module is built.
#include <nanobind/nanobind.h>
NB_MODULE(interpreter, m) { (void)m; }
